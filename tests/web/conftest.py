"""Shared pieces of the dashboard's tests: a ks318-web process on free loopback
ports, simulated terminals (ks318-term processes) connected to it, plain HTTP
requests, an event-stream reader and a small PNG reader. Standard library only.

Fixtures for other test files:
  dashboard_factory(count=2, models="318,320", max_upload=...) -> Dashboard
      a started ks318-web with `count` identified terminals (count 0: none);
      everything it started is stopped at the end of the test.
  dashboard            a Dashboard with two terminals (models 318 and 320)
  web_server, token, base_url   the pieces of `dashboard`.
"""

from __future__ import annotations

import http.client
import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import zlib
from pathlib import Path
from typing import Callable, Dict, List, Optional, Sequence, Tuple

import pytest

HERE = Path(__file__).resolve().parent
REPOSITORY = HERE.parent.parent
PAGE_DIRECTORY = REPOSITORY / "tools" / "web" / "page"

sys.path.insert(0, str(REPOSITORY / "tests" / "support"))
from waits import WAIT, wait_on, wait_until  # noqa: E402  (the bound of every wait, and the waits)


def _program(variable: str, name: str) -> str:
    explicit = os.environ.get(variable)
    if explicit:
        return explicit
    built = REPOSITORY / "build" / "default" / "tools" / name
    if name == "ks318-web":
        built = REPOSITORY / "build" / "default" / "tools" / "web" / name
    if built.exists():
        return str(built)
    found = shutil.which(name)
    if not found:
        pytest.fail(f"{name} not found: set {variable} to the program")
    return found


def close_pipes(process: subprocess.Popen) -> None:
    for pipe in (process.stdin, process.stdout):
        if pipe is not None and not pipe.closed:
            try:
                pipe.close()
            except OSError:
                pass


# ---- PNG pictures ---------------------------------------------------------------------------


def read_png(data: bytes) -> Tuple[int, int, List[bytes]]:
    """Width, height and RGB rows of an 8-bit RGB, non-interlaced PNG (what the
    screens write)."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    position = 8
    width = height = 0
    compressed = b""
    while position < len(data):
        length, kind = struct.unpack(">I4s", data[position:position + 8])
        chunk = data[position + 8:position + 8 + length]
        position += 12 + length
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", chunk)
            assert (depth, colour, interlace) == (8, 2, 0), "only 8-bit RGB without interlace is read here"
        elif kind == b"IDAT":
            compressed += chunk
        elif kind == b"IEND":
            break
    raw = zlib.decompress(compressed)
    stride = width * 3
    rows: List[bytes] = []
    previous = bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind = raw[start]
        line = bytearray(raw[start + 1:start + 1 + stride])
        for i in range(stride):
            left = line[i - 3] if i >= 3 else 0
            up = previous[i]
            upper_left = previous[i - 3] if i >= 3 else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                estimate = left + up - upper_left
                pa, pb, pc = abs(estimate - left), abs(estimate - up), abs(estimate - upper_left)
                predictor = left if pa <= pb and pa <= pc else (up if pb <= pc else upper_left)
                line[i] = (line[i] + predictor) & 0xFF
        rows.append(bytes(line))
        previous = line
    return width, height, rows


def pixel(picture: Tuple[int, int, List[bytes]], x: int, y: int) -> Tuple[int, int, int]:
    row = picture[2][y]
    return row[x * 3], row[x * 3 + 1], row[x * 3 + 2]


def bmp_picture(width: int, height: int, colour_at: Callable[[int, int], Tuple[int, int, int]]) -> bytes:
    """A 24-bit BMP file, rows bottom first as the format keeps them."""
    stride = (width * 3 + 3) & ~3
    pixels = bytearray()
    for y in range(height - 1, -1, -1):
        row = bytearray()
        for x in range(width):
            r, g, b = colour_at(x, y)
            row += bytes((b, g, r))
        row += b"\0" * (stride - len(row))
        pixels += row
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    return header + info + bytes(pixels)


# ---- HTTP -----------------------------------------------------------------------------------


class Response:
    def __init__(self, status: int, headers: Dict[str, str], body: bytes) -> None:
        self.status = status
        self.headers = headers
        self.body = body

    def json(self) -> object:
        return json.loads(self.body.decode("utf-8"))

    def __repr__(self) -> str:
        return f"<{self.status} {self.body[:200]!r}>"


class EventStream:
    """One /api/events stream read on its own thread: its events in order, with
    bounded waits. `opened` is set once the server has answered (it subscribes
    the stream before it answers)."""

    def __init__(self, port: int, token: Optional[str] = None) -> None:
        self._headers = {"Accept": "text/event-stream"}
        if token is not None:
            self._headers["Authorization"] = f"Bearer {token}"
        self.events: List[Tuple[str, dict]] = []
        self.comments = 0
        self.ended = threading.Event()
        self.opened = threading.Event()
        self.status = 0
        self._changed = threading.Condition()
        self._connection = http.client.HTTPConnection("127.0.0.1", port, timeout=WAIT * 3)
        self._thread = threading.Thread(target=self._read, daemon=True)
        self._thread.start()

    def _read(self) -> None:
        try:
            self._connection.request("GET", "/api/events", headers=self._headers)
            response = self._connection.getresponse()
            self.status = response.status
            self.opened.set()
            if response.status != 200:
                return
            kind, data = "message", []
            while True:
                line = response.readline()
                if not line:
                    break
                line = line.decode("utf-8").rstrip("\r\n")
                if line == "":
                    if data:
                        with self._changed:
                            self.events.append((kind, json.loads("\n".join(data))))
                            self._changed.notify_all()
                    kind, data = "message", []
                elif line.startswith(":"):
                    with self._changed:
                        self.comments += 1
                        self._changed.notify_all()
                elif line.startswith("event:"):
                    kind = line[6:].strip()
                elif line.startswith("data:"):
                    data.append(line[5:].strip())
        except Exception:  # noqa: BLE001 - the stream ends however its connection is cut
            pass
        finally:
            self.opened.set()
            self.ended.set()
            with self._changed:
                self._changed.notify_all()

    def wait_open(self) -> None:
        """Waits until the stream is open: its first comment has come."""
        assert self.opened.wait(WAIT), "the event stream did not open"
        assert self.status == 200, f"the event stream was answered with {self.status}"
        self.wait_for(lambda: self.comments > 0, "first comment")

    def wait_for(self, predicate: Callable[[], object], what: str, timeout: float = WAIT) -> object:
        return wait_on(self._changed, predicate,
                       lambda: f"event stream: no {what} within {timeout} s; got {self.events[-10:]}", timeout)

    def wait_event(self, kind: str, match: Callable[[dict], bool] = lambda event: True) -> dict:
        def found() -> Optional[dict]:
            for event_kind, event in self.events:
                if event_kind == kind and match(event):
                    return event
            return None

        return self.wait_for(found, f"{kind} event")  # type: ignore[return-value]

    def close(self) -> None:
        """Cuts the connection under the reader, which then ends; closed after it."""
        try:
            if self._connection.sock is not None:
                self._connection.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._thread.join(WAIT)
        self._connection.close()


def assert_error(response: "Response", status: int) -> str:
    """The reason of a JSON error answer with this status (and nothing else in it)."""
    assert response.status == status, response
    assert response.headers["content-type"].startswith("application/json")
    body = response.json()
    assert set(body) == {"error"} and isinstance(body["error"], str) and body["error"], body
    return body["error"]


class WebServer:
    """A ks318-web process on free loopback ports with a known token."""

    def __init__(self, directory: Path, max_upload: Optional[int] = None, token: str = "t0ken-for-the-tests",
                 extra_arguments: Sequence[str] = ()) -> None:
        self.directory = directory
        self.token = token
        self.temporary = directory / "tmp"  # where the program makes its private directory
        self.temporary.mkdir(parents=True)
        token_file = directory / "token"
        token_file.write_text(token + "\n")
        self.port_file = directory / "terminal.port"
        self.http_file = directory / "http.port"
        arguments = [_program("KS318_WEB", "ks318-web"), "--port", "0", "--http", "127.0.0.1:0",
                     "--port-file", str(self.port_file), "--http-file", str(self.http_file),
                     "--token-file", str(token_file), "--bind", "127.0.0.1"]
        if max_upload is not None:
            arguments += ["--max-upload", str(max_upload)]
        arguments += list(extra_arguments)
        environment = dict(os.environ, TMPDIR=str(self.temporary))
        self.lines: List[str] = []
        self.process = subprocess.Popen(arguments, cwd=directory, env=environment, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True, bufsize=1)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        wait_until(lambda: self.http_file.exists() and self.port_file.exists() or self.process.poll() is not None,
                   "port files from ks318-web")
        if self.process.poll() is not None:
            self._reader.join(WAIT)
            raise AssertionError("ks318-web ended at start:\n" + "\n".join(self.lines))
        self.terminal_port = int(self.port_file.read_text())
        self.http_port = int(self.http_file.read_text())
        self.base_url = f"http://127.0.0.1:{self.http_port}"
        self.streams: List[EventStream] = []

    def _read(self) -> None:
        assert self.process.stdout is not None
        for line in self.process.stdout:
            self.lines.append(line.rstrip("\n"))

    def request(self, method: str, path: str, body: object = None, token: object = True,
                headers: Optional[Dict[str, str]] = None) -> Response:
        """`token`: True sends the right one, False none, a text that text."""
        sent = dict(headers or {})
        if token is True:
            sent["Authorization"] = f"Bearer {self.token}"
        elif isinstance(token, str):
            sent["Authorization"] = token
        if isinstance(body, (dict, list)):
            body = json.dumps(body).encode()
            sent.setdefault("Content-Type", "application/json")
        elif isinstance(body, str):
            body = body.encode()
        connection = http.client.HTTPConnection("127.0.0.1", self.http_port, timeout=WAIT * 3)
        try:
            connection.request(method, path, body=body, headers=sent)
            response = connection.getresponse()
            return Response(response.status, {k.lower(): v for k, v in response.getheaders()}, response.read())
        finally:
            connection.close()

    def get(self, path: str, token: object = True) -> Response:
        """Every /api/ read needs the token: sent unless told otherwise."""
        return self.request("GET", path, token=token)

    def get_json(self, path: str) -> object:
        response = self.get(path)
        assert response.status == 200, f"GET {path}: {response}"
        return response.json()

    def action(self, body: dict) -> dict:
        response = self.request("POST", "/api/actions", body)
        assert response.status == 200, f"action {body}: {response}"
        return response.json()  # type: ignore[return-value]

    def upload(self, name: str, data: bytes) -> dict:
        from urllib.parse import quote
        response = self.request("POST", "/api/uploads?name=" + quote(name, safe=""), data,
                                headers={"Content-Type": "application/octet-stream"})
        assert response.status == 201, f"upload {name}: {response}"
        return response.json()  # type: ignore[return-value]

    def events(self) -> EventStream:
        """An open event stream, closed at the end of the test."""
        stream = EventStream(self.http_port, self.token)
        self.streams.append(stream)
        stream.wait_open()
        return stream

    def terminals(self) -> List[dict]:
        return self.get_json("/api/terminals?limit=1000")["terminals"]  # type: ignore[index]

    def wait_terminals(self, count: int) -> List[dict]:
        """Waits until exactly `count` terminals are listed, each identified."""
        def ready() -> Optional[List[dict]]:
            listed = self.terminals()
            if len(listed) == count and all(entry["uid"] for entry in listed):
                return listed
            return None

        return wait_until(ready, f"{count} identified terminals on ks318-web")  # type: ignore[return-value]

    def stop(self) -> int:
        """SIGINT, then its exit status (bounded)."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.wait(timeout=WAIT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=WAIT)
                raise AssertionError("ks318-web did not stop within 20 s of SIGINT")
        self._reader.join(WAIT)
        close_pipes(self.process)
        for stream in self.streams:
            stream.close()
        return self.process.returncode


# ---- simulated terminals ------------------------------------------------------------------------

# "   0.005  T1 <-  35 text      170 B  x 3 y 4 ..."
FRAME = re.compile(r"^\s*[\d.]+\s+T(\d+)\s+(<-|->)\s+(\d+)\s+\S+\s+(\d+) B(?:\s+(.*))?$")


class Term:
    """A ks318-term process playing terminals against ks318-web; its screens are
    written to screen-N.png (screen.png for one terminal) in its directory."""

    def __init__(self, port: int, directory: Path, count: int = 1, models: str = "320", *extra: str) -> None:
        self.directory = directory
        self.count = count
        self.files = directory / "files"
        self.files.mkdir(parents=True, exist_ok=True)
        self.lines: List[str] = []
        self._changed = threading.Condition()
        self.process = subprocess.Popen(
            [_program("KS318_TERM", "ks318-term"), "--port", str(port), "--count", str(count), "--model", models,
             "--files", str(self.files), "--screen", str(directory / "screen.png"), *extra],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, bufsize=1)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self) -> None:
        assert self.process.stdout is not None
        for line in self.process.stdout:
            with self._changed:
                self.lines.append(line.rstrip("\n"))
                self._changed.notify_all()
        with self._changed:
            self._changed.notify_all()

    def screen_path(self, terminal: int) -> Path:
        return self.directory / ("screen.png" if self.count == 1 else f"screen-{terminal}.png")

    def files_of(self, terminal: int) -> Path:
        return self.files if self.count == 1 else self.files / str(terminal)

    def send(self, line: str) -> None:
        assert self.process.stdin is not None
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def frames(self, terminal: Optional[int] = None, code: Optional[int] = None, direction: str = "<-") -> List[Tuple[int, int, str]]:
        """(terminal, code, detail) of the frames logged so far."""
        with self._changed:
            lines = list(self.lines)
        found = []
        for line in lines:
            match = FRAME.match(line)
            if not match or match[2] != direction:
                continue
            if terminal is not None and int(match[1]) != terminal:
                continue
            if code is not None and int(match[3]) != code:
                continue
            found.append((int(match[1]), int(match[3]), match[5] or ""))
        return found

    def wait_for(self, predicate: Callable[[], object], what: str, timeout: float = WAIT) -> object:
        def failure() -> str:
            tail = "\n".join(self.lines[-20:])
            return f"ks318-term: no {what} within {timeout} s; its last lines:\n{tail}"
        return wait_on(self._changed, predicate, failure, timeout)

    def wait_frames(self, terminal: int, code: int, count: int = 1) -> List[Tuple[int, int, str]]:
        return self.wait_for(lambda: (lambda f: f if len(f) >= count else None)(self.frames(terminal, code)),
                             f"{count} frame(s) {code} on T{terminal}")  # type: ignore[return-value]

    def close(self) -> None:
        if self.process.poll() is None:
            try:
                self.send("quit")
            except (BrokenPipeError, OSError):
                pass
            try:
                self.process.wait(timeout=WAIT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=WAIT)
        self._reader.join(WAIT)
        close_pipes(self.process)


class Dashboard:
    def __init__(self, web: WebServer, term: Optional[Term]) -> None:
        self.web = web
        self.term = term
        self.token = web.token
        self.base_url = web.base_url


class DashboardFactory:
    """Starts dashboards (and more terminals for them); stops all it started."""

    def __init__(self, directory: Path) -> None:
        self.directory = directory
        self.started: List[Dashboard] = []
        self.terms: List[Term] = []

    def __call__(self, count: int = 2, models: str = "318,320", max_upload: Optional[int] = None,
                 extra_arguments: Sequence[str] = ()) -> Dashboard:
        directory = self.directory / f"dashboard-{len(self.started) + 1}"
        web = WebServer(directory, max_upload=max_upload, extra_arguments=extra_arguments)
        dashboard = Dashboard(web, None)
        self.started.append(dashboard)
        if count:
            dashboard.term = Term(web.terminal_port, directory / "term", count, models)
            web.wait_terminals(count)
        return dashboard

    def add_term(self, dashboard: Dashboard, count: int = 1, models: str = "320") -> Term:
        """Another ks318-term process for the dashboard; not waited for."""
        term = Term(dashboard.web.terminal_port, dashboard.web.directory / f"term-{len(self.terms) + 2}", count, models)
        self.terms.append(term)
        return term

    def stop_all(self) -> None:
        for term in self.terms:
            term.close()
        for dashboard in self.started:
            if dashboard.term:
                dashboard.term.close()
            dashboard.web.stop()


@pytest.fixture
def dashboard_factory(tmp_path: Path):
    factory = DashboardFactory(tmp_path)
    yield factory
    factory.stop_all()


@pytest.fixture
def dashboard(dashboard_factory) -> Dashboard:
    return dashboard_factory(2, "318,320")


@pytest.fixture
def web_server(dashboard) -> WebServer:
    return dashboard.web


@pytest.fixture
def token(dashboard) -> str:
    return dashboard.token


@pytest.fixture
def base_url(dashboard) -> str:
    return dashboard.base_url
