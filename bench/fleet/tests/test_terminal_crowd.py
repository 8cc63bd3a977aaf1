"""The terminal crowd against a server the test plays byte by byte, against the
library itself (ks318-web), and as the program the soak drives."""

import json
import os
import subprocess
import sys
import threading
import urllib.request

import pytest

from conftest import SOAK, WAIT, wait_until
from terminal_crowd import CrowdError, TerminalCrowd
from terminal_wire import key_frame, parse_uid

BASE = "02:00:00:01:00:FE"


class CrowdThread:
    """Runs one step of the crowd (it is single-threaded) while the test serves it."""

    def __init__(self, step):
        self.error = None
        self.thread = threading.Thread(target=self._run, args=(step,))
        self.thread.start()

    def _run(self, step):
        try:
            step()
        except BaseException as error:  # handed to the test
            self.error = error

    def join(self):
        self.thread.join(WAIT)
        assert not self.thread.is_alive(), "the crowd did not finish"
        if self.error:
            raise self.error


def poll_until(crowd, condition):
    wait_until(lambda: (crowd.poll(0.05), condition())[1], "the crowd's answer")


def test_handshake_probe_and_keys_byte_for_byte(terminal_server):
    crowd = TerminalCrowd("127.0.0.1", terminal_server.port, 2, parse_uid(BASE), model=318, version=40,
                          text_prefix="HALL")
    try:
        step = CrowdThread(lambda: crowd.connect_all(WAIT))
        sides = [terminal_server.accept(), terminal_server.accept()]
        answers = [side.handshake() for side in sides]
        step.join()
        assert answers[0] == (bytes([40, 0x01, 0x3E, 0]), bytes([2, 0, 0, 1, 0, 0xFE]) + b"HALL 1".ljust(32, b"\0"))
        # The identifiers run on over the byte boundary.
        assert answers[1][1][:6] == bytes([2, 0, 0, 1, 0, 0xFF]) and answers[1][1][6:12] == b"HALL 2"

        # A picture-sized frame is skipped unread; the probe behind it is answered.
        written = crowd.terminals[0].written
        sides[0].send(9, bytes(300_000))
        sides[0].send(17)
        step = CrowdThread(lambda: poll_until(crowd, lambda: crowd.terminals[0].written > written))
        assert sides[0].receive_frame() == (20, bytes([40, 0x01, 0x3E, 0]))
        step.join()
        step = CrowdThread(lambda: crowd.send_keys(rate=400, seconds=0.02))  # 8 keys, the terminals in turn
        for side in sides:
            assert side.receive_exactly(4 * 8) == b"".join(key_frame(n) for n in range(4))
        step.join()
        assert [len(t.sent_ns) for t in crowd.terminals] == [4, 4]
        for terminal in crowd.terminals:
            assert terminal.sent_ns == sorted(terminal.sent_ns)
        log = crowd.send_log()
        assert (log["keys_due"], log["keys_sent"], log["keys_unsent"], log["closed"]) == (8, 8, 0, [])
        assert [t["uid"] for t in log["terminals"]] == ["02:00:00:01:00:FE", "02:00:00:01:00:FF"]
    finally:
        crowd.close()


def test_the_whole_crowd_starts_its_handshakes_at_once(terminal_server):
    count = 24  # more than a window of 8 (what a backlog of 10 once allowed); the played server's backlog holds them
    crowd = TerminalCrowd("127.0.0.1", terminal_server.port, count, parse_uid(BASE))
    try:
        step = CrowdThread(lambda: crowd.connect_all(WAIT))
        # Every terminal is connected before any is greeted, as after a host restart.
        sides = [terminal_server.accept() for _ in range(count)]
        for side in sides:
            side.handshake()
        step.join()
        assert crowd.count("identified") == count
    finally:
        crowd.close()


def test_no_more_handshakes_at_once_than_a_smaller_server_backlog_takes(terminal_server):
    window = 8
    count = window + 4
    crowd = TerminalCrowd("127.0.0.1", terminal_server.port, count, parse_uid(BASE), handshakes_at_once=window)
    try:
        step = CrowdThread(lambda: crowd.connect_all(WAIT))
        waiting = [terminal_server.accept() for _ in range(window)]
        # A connection beyond the limit would already sit in the backlog.
        assert terminal_server.accept_waiting() is None
        waiting[0].handshake()
        waiting.append(terminal_server.accept())  # one through, one more comes
        for side in waiting[1:]:
            side.handshake()
        for _ in range(count - len(waiting)):
            terminal_server.accept().handshake()
        step.join()
        assert crowd.count("identified") == count
    finally:
        crowd.close()


def test_lost_connections_and_garbage_are_reported_and_keys_for_them_not_sent(terminal_server):
    crowd = TerminalCrowd("127.0.0.1", terminal_server.port, 3, parse_uid(BASE))
    try:
        step = CrowdThread(lambda: crowd.connect_all(WAIT))
        sides = [terminal_server.accept() for _ in range(3)]
        for side in sides:
            side.handshake()
        step.join()
        sides[1].close()
        sides[2].send_raw(bytes([0x05, 1, 2, 3, 4, 5, 6]))
        poll_until(crowd, lambda: crowd.count("closed") == 2)
        crowd.send_keys(rate=300, seconds=0.03)  # 9 keys: 3 each
        assert sides[0].receive_exactly(24) == b"".join(key_frame(n) for n in range(3))
        log = crowd.send_log()
        assert (log["keys_due"], log["keys_sent"], log["keys_unsent"]) == (9, 3, 6)
        assert len(log["closed"]) == 2
        assert any("closed the connection" in line for line in log["closed"])
        assert any("0x02" in line for line in log["closed"])
    finally:
        crowd.close()


def test_a_server_that_never_listens_is_an_error(terminal_server):
    port = terminal_server.port
    terminal_server.close()  # nobody listens on the port any more
    crowd = TerminalCrowd("127.0.0.1", port, 2, parse_uid(BASE))
    try:
        with pytest.raises(CrowdError, match="identified|cannot connect"):
            crowd.connect_all(0.5)
    finally:
        crowd.close()


def test_the_program_follows_its_lines_and_writes_the_send_log(terminal_server, tmp_path):
    log_path = tmp_path / "sent.json"
    program = subprocess.Popen(
        [sys.executable, str(SOAK / "terminal_crowd.py"), "--port", str(terminal_server.port), "--count", "2",
         "--uid", BASE, "--rate", "200", "--seconds", "0.03", "--log", str(log_path)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        sides = [terminal_server.accept() for _ in range(2)]
        for side in sides:
            side.handshake()
        assert program.stdout.readline().split() == ["identified", "2"]
        program.stdin.write("go\n")
        program.stdin.flush()
        for side in sides:
            assert side.receive_exactly(24) == b"".join(key_frame(n) for n in range(3))
        words = program.stdout.readline().split()
        assert words[:3] == ["done", "6", "0"]
        log = json.loads(log_path.read_text())
        assert [len(t["sent_ns"]) for t in log["terminals"]] == [3, 3]
        program.stdin.write("quit\n")
        program.stdin.flush()
        assert program.wait(WAIT) == 0
        # The crowd closed its connections on leaving.
        assert sides[0].connection.recv(1) == b""
    finally:
        if program.poll() is None:
            program.kill()
            program.wait()
        program.stdin.close()
        program.stdout.close()


def test_the_library_identifies_the_crowd_and_hears_every_key_in_order(tmp_path):
    web = os.environ.get("KS318_WEB")
    if not web:
        pytest.fail("KS318_WEB must name the ks318-web program (ctest sets it)")
    port_file, http_file, token_file = tmp_path / "port", tmp_path / "http", tmp_path / "token"
    token = "0123456789abcdef0123456789abcdef"
    token_file.write_text(token + "\n")
    token_file.chmod(0o600)
    server = subprocess.Popen([web, "--port", "0", "--bind", "127.0.0.1", "--http", "127.0.0.1:0", "--port-file",
                               str(port_file), "--http-file", str(http_file), "--token-file", str(token_file)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    crowd = None
    try:
        wait_until(lambda: port_file.exists() and port_file.read_text().strip() and http_file.exists()
                   and http_file.read_text().strip(), "ports from ks318-web")
        base_url = f"http://127.0.0.1:{int(http_file.read_text())}"
        crowd = TerminalCrowd("127.0.0.1", int(port_file.read_text()), 16, parse_uid(BASE))
        crowd.connect_all(WAIT)
        crowd.send_keys(rate=1000, seconds=0.08)  # 80 keys: 5 per terminal

        def events():
            # Reads need the token too: they show what terminals sent.
            request = urllib.request.Request(f"{base_url}/api/events/recent?limit=1000",
                                             headers={"Authorization": f"Bearer {token}"})
            with urllib.request.urlopen(request, timeout=WAIT) as answer:
                return json.load(answer)["events"]

        wait_until(lambda: sum(e["kind"] == "key" for e in events()) >= 80, "80 key events")
        everything = events()
        uid_of = {e["terminal"]: e["uid"] for e in everything if e["kind"] == "identified"}
        assert sorted(uid_of.values()) == sorted(t.uid_text for t in crowd.terminals)
        keys = {}
        for event in everything:
            if event["kind"] == "key":
                keys.setdefault(uid_of[event["terminal"]], []).append(event["key"])
        assert keys == {t.uid_text: [0, 1, 2, 3, 4] for t in crowd.terminals}
    finally:
        if crowd is not None:
            crowd.close()
        server.terminate()
        server.wait(WAIT)
