"""What the dashboard lets in, and when: no body read before the request is let
in, the Host it must be called by, the token on every read, device queries that
neither pile up frames nor hold other requests, and the token kept out of logs."""

from __future__ import annotations

import http.client
import json
import os
import re
import signal
import socket
import stat
import subprocess
import threading
import time
from pathlib import Path

from conftest import REPOSITORY, WAIT, EventStream, _program, assert_error, wait_until

BODY = 128 << 20  # each refused body the tests offer; the server must not keep any of it


def peak_megabytes(pid: int) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) // 1024
    raise AssertionError("no VmHWM")


def offer_body(port: int, head: str) -> bytes:
    """Sends a request's head, reads the answer's first line (it must come before any
    body byte), then offers the announced body and returns what the server sent after."""
    with socket.create_connection(("127.0.0.1", port), timeout=WAIT) as connection:
        connection.sendall(head.encode())
        answer = b""
        while b"\r\n" not in answer:
            piece = connection.recv(4096)
            assert piece, f"the connection ended without an answer to {head!r}"
            answer += piece
        chunk = b"x" * (1 << 20)
        try:
            for _ in range(BODY // len(chunk)):
                connection.sendall(chunk)
        except OSError:
            pass  # the server closed: what it was offered is not its to read
        return answer


def test_no_body_is_read_before_the_request_is_let_in(dashboard_factory):
    dashboard = dashboard_factory(0, max_upload=4096)
    web = dashboard.web
    host = f"Host: 127.0.0.1:{web.http_port}\r\n"
    auth = f"Authorization: Bearer {web.token}\r\n"
    before = peak_megabytes(web.process.pid)
    refused = [
        (f"POST /api/actions HTTP/1.1\r\n{host}Content-Length: {BODY}\r\n\r\n", b"401"),
        (f"GET /api/info HTTP/1.1\r\n{host}{auth}Content-Length: {BODY}\r\n\r\n", b"413"),
        (f"POST /api/uploads?name=a.bin HTTP/1.1\r\n{host}{auth}Content-Length: {BODY}\r\n\r\n", b"413"),
        (f"POST /api/nowhere HTTP/1.1\r\n{host}{auth}Content-Length: {BODY}\r\n\r\n", b"404"),
        # Asked to go on, it refuses instead: the client never sends the body.
        (f"POST /api/uploads?name=a.bin HTTP/1.1\r\n{host}Expect: 100-continue\r\nContent-Length: {BODY}\r\n\r\n",
         b"401"),
    ]
    answers = [offer_body(web.http_port, head).split(b"\r\n")[0] for head, _ in refused]
    grown = peak_megabytes(web.process.pid) - before
    assert grown < 32, f"the server's peak memory grew by {grown} MB on refused bodies"
    assert [answer.split()[1] for answer in answers] == [status for _, status in refused], answers

    # A body that is let in is read, and the connection serves the next request.
    connection = http.client.HTTPConnection("127.0.0.1", web.http_port, timeout=WAIT)
    headers = {"Authorization": f"Bearer {web.token}"}
    connection.request("POST", "/api/uploads?name=b.bin", body=b"y" * 4096, headers=headers)
    response = connection.getresponse()
    assert response.status == 201 and response.read()
    connection.request("GET", "/api/info", headers=headers)
    assert connection.getresponse().status == 200
    connection.close()


def test_host_must_name_this_server_and_every_read_needs_the_token(dashboard_factory):
    dashboard = dashboard_factory(1, "320", extra_arguments=["--allow-host", "Kiosk.Shop"])
    web = dashboard.web
    port = web.http_port
    secret = {"Authorization": f"Bearer {web.token}"}

    def status(path, host, headers=None):
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=WAIT)
        try:
            connection.request("GET", path, headers={"Host": host, **(headers or {})})
            return connection.getresponse().status
        finally:
            connection.close()

    # A name that merely resolves here (DNS rebinding) is refused, token or not.
    for host in (f"evil.example:{port}", "evil.example", f"127.0.0.1.evil.example:{port}", ""):
        assert status("/api/events/recent", host, secret) == 421, host
        assert status("/", host) == 421, host
    for host in (f"127.0.0.1:{port}", f"localhost:{port}", f"kiosk.shop:{port}", "KIOSK.SHOP.", f"[::1]:{port}"):
        assert status("/api/events/recent", host, secret) == 200, host
    # What terminals sent, their list and their screens: none without the token.
    for path in ("/api/events/recent", "/api/events", "/api/terminals", "/api/terminals/1",
                 "/api/terminals/1/screen.png", "/api/info"):
        assert status(path, f"127.0.0.1:{port}") == 401, path
        assert status(path, f"127.0.0.1:{port}", {"Authorization": "Bearer wrong"}) == 403, path
    assert stream_status(port) == 401
    # The page itself carries nothing of the terminals' and is served to anyone.
    assert status("/", f"127.0.0.1:{port}") == 200 and status("/app.js", f"127.0.0.1:{port}") == 200


def stream_status(port: int) -> int:
    stream = EventStream(port)
    assert stream.opened.wait(WAIT)
    stream.close()
    return stream.status


def test_device_query_is_a_post_and_never_piles_up(dashboard_factory):
    dashboard = dashboard_factory(1, "320")
    web, term = dashboard.web, dashboard.term
    assert_error(web.get("/api/terminals/1/device"), 405)
    before = web.get_json("/api/terminals/1")["frames_out"]
    assert before == 0

    # A terminal that answers nothing: each query waits its 5 s out.
    os.kill(term.process.pid, signal.SIGSTOP)
    statuses = []
    first_done = threading.Event()
    info_answered_while_asking = []
    try:
        def ask():
            answer = web.request("POST", "/api/terminals/1/device")
            statuses.append(answer.status)
            if answer.status == 200:
                first_done.set()

        askers = [threading.Thread(target=ask) for _ in range(200)]
        for asker in askers:
            asker.start()
        wait_until(lambda: len(statuses) >= 150, "the refused device queries")
        # The other routes are not held by the queries.
        assert web.get_json("/api/info")["terminals"] == 1
        info_answered_while_asking.append(not first_done.is_set())
        for asker in askers:
            asker.join(WAIT)
    finally:
        os.kill(term.process.pid, signal.SIGCONT)
    answered = statuses.count(200)
    assert 1 <= answered <= 2 and statuses.count(409) == 200 - answered, sorted(set(statuses))
    assert info_answered_while_asking == [True]
    sent = web.get_json("/api/terminals/1")["frames_out"]
    assert sent == 4 * answered, f"{sent} frames for {answered} device queries"
    term.wait_frames(1, 25, answered)
    assert len(term.frames(1, 25)) == answered


def test_token_stays_out_of_the_output_and_the_dashboard_script_log(tmp_path):
    web = _program("KS318_WEB", "ks318-web")
    out = tmp_path / "dashboard"
    environment = dict(os.environ, KS318_WEB=web, KS318_TERM=_program("KS318_TERM", "ks318-term"),
                       KS318_DASHBOARD_OUT=str(out))
    script = subprocess.Popen(["bash", str(REPOSITORY / "scripts" / "dashboard.sh"), "0", "1"], env=environment,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, start_new_session=True)
    lines = []
    try:
        for line in script.stdout:
            lines.append(line)
            if "Ctrl-C" in line:
                break
        token_file = out / "token"
        token = token_file.read_text().strip()
        assert len(token) >= 32
        # Said where to find it; never shown on output that is no terminal, nor logged.
        assert not any(token in line for line in lines), lines
        log = (out / "web.log").read_text()
        assert "ks318-web: open http://127.0.0.1:" in log and token not in log
        for path in [out, *out.iterdir()]:
            mode = stat.S_IMODE(path.stat().st_mode)
            assert mode & 0o077 == 0, f"{path} is {oct(mode)}"
        port = int((out / "http.port").read_text())
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=WAIT)
        connection.request("GET", "/api/info", headers={"Authorization": f"Bearer {token}"})
        assert connection.getresponse().status == 200
        connection.close()
    finally:
        os.killpg(script.pid, signal.SIGINT)
        script.wait(timeout=WAIT)
        script.stdout.close()


def test_a_program_made_token_is_kept_in_a_private_file(tmp_path):
    # Without --token-file and without a terminal: the file is named, the token is not printed.
    process = subprocess.Popen([_program("KS318_WEB", "ks318-web"), "--port", "0", "--http", "127.0.0.1:0",
                                "--bind", "127.0.0.1", "--http-file", str(tmp_path / "http.port")], env=dict(os.environ, TMPDIR=str(tmp_path)),
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        line = process.stdout.readline()
        assert re.fullmatch(r"ks318-web: open http://127\.0\.0\.1:\d+/ with the access token in \S+\n", line), line
        token_file = Path(line.split(" in ", 1)[1].strip())
        assert stat.S_IMODE(token_file.stat().st_mode) == 0o600
        assert token_file.read_text().strip() not in line
    finally:
        process.send_signal(signal.SIGINT)
        process.wait(timeout=WAIT)
        process.stdout.close()


def test_a_slow_reader_gets_gap_markers_in_place_of_what_it_missed(dashboard_factory):
    dashboard = dashboard_factory(1, "320")
    web, term = dashboard.web, dashboard.term
    reader = socket.socket()
    reader.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    reader.settimeout(WAIT)
    reader.connect(("127.0.0.1", web.http_port))
    reader.sendall(f"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer {web.token}\r\n\r\n".encode())
    received = b""
    while b": connected" not in received:
        received += reader.recv(4096)
    last = web.get_json("/api/events/recent?limit=1")["events"][-1]["seq"]
    # Far more key events (about 130 bytes each) than the stream's send buffer (128 KiB)
    # and queue hold, while the reader reads nothing; it reads again soon after (well
    # before the server's 5 s write timeout would end its stream).
    burst = 8000
    term.send("@1 keys " + "a" * burst)
    wait_until(lambda: web.get_json("/api/events/recent?limit=1")["events"][-1]["seq"] >= last + burst,
               "the end of the burst", step=0.01)

    def events_read():
        # One chunk of the chunked answer per event.
        return [(kind.decode(), json.loads(data))
                for kind, data in re.findall(rb"event: (\S+)\ndata: ([^\n]+)\n\n", received)]

    def read_until(pattern: bytes) -> None:
        nonlocal received
        deadline = time.monotonic() + WAIT
        while not re.search(pattern, received):
            assert time.monotonic() < deadline, f"no {pattern!r} in the stream"
            piece = reader.recv(65536)
            assert piece, "the stream ended"
            received += piece

    # Every event of the burst read or counted by a marker; then the stream is whole again.
    read_until(rb'"(last_)?seq":%d[,}]' % (last + burst))
    term.send("@1 keys b")
    read_until(rb'"char":"b"')
    reader.close()
    events = events_read()
    gaps = [event for kind, event in events if kind == "gap"]
    assert gaps and all(set(gap) == {"kind", "time", "terminal", "dropped", "first_seq", "last_seq"} for gap in gaps)
    # Every event in order and none twice; each marker stands exactly where the events it counts were.
    expected = last + 1
    for kind, event in events:
        if kind == "gap":
            assert (event["first_seq"], event["dropped"]) == (expected, event["last_seq"] - expected + 1), event
            expected = event["last_seq"] + 1
        else:
            assert event["seq"] == expected, (kind, event)
            expected += 1
    assert sum(kind == "key" for kind, _ in events) + sum(gap["dropped"] for gap in gaps) == burst + 1



def test_a_stream_frees_its_place_when_its_reader_leaves(dashboard_factory):
    # No keep-alive write for ten minutes: a place can only come back by the reader leaving.
    dashboard = dashboard_factory(0, extra_arguments=["--stream-keepalive", "600"])
    web = dashboard.web
    streams = [EventStream(web.http_port, web.token) for _ in range(160)]
    for stream in streams:
        stream.wait_open()
    extra = EventStream(web.http_port, web.token)
    assert extra.opened.wait(WAIT) and extra.status == 429
    extra.close()
    for stream in streams:
        stream.close()

    def opens() -> bool:
        stream = EventStream(web.http_port, web.token)
        assert stream.opened.wait(WAIT)
        stream.close()
        return stream.status == 200

    wait_until(opens, "a stream's place back after its reader left", step=0.2)
