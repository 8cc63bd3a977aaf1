"""The fleet's processes for tests: ks318-bridge on a free loopback port with its
queue in a private folder, and ks318-term playing a site's terminals with known
identifiers, each read on its own thread, with bounded waits."""

from __future__ import annotations

import os
import re
import shutil
import signal
import subprocess
import threading
from pathlib import Path
from typing import Callable, List, Optional, Tuple

import pytest

from mqtt_clients import WAIT, wait_on

HERE = Path(__file__).resolve().parent
REPOSITORY = HERE.parent.parent


def program(variable: str, name: str, built: Path) -> str:
    explicit = os.environ.get(variable)
    if explicit:
        return explicit
    if built.exists():
        return str(built)
    found = shutil.which(name)
    if not found:
        pytest.fail(f"{name} not found: set {variable} to the program")
    return found


def bridge_program() -> str:
    built = REPOSITORY / "build" / "default" / "tools" / "bridge" / "ks318-bridge"
    return program("KS318_BRIDGE", "ks318-bridge", built)


def term_program() -> str:
    return program("KS318_TERM", "ks318-term", REPOSITORY / "build" / "default" / "tools" / "ks318-term")


def terminal_id(uid_base: Tuple[int, ...], index: int) -> str:
    """The identifier text of terminal `index` (1-based) of a ks318-term started
    with --uid uid_base: it adds index-1 to the last byte."""
    uid = list(uid_base)
    uid[5] = (uid[5] + index - 1) & 0xFF
    return ":".join(f"{byte:02X}" for byte in uid)


def uid_argument(uid_base: Tuple[int, ...]) -> str:
    return ":".join(f"{byte:02X}" for byte in uid_base)


class LoggedProcess:
    """A process whose standard output (and error) lines are kept as they come."""

    def __init__(self, arguments: List[str], name: str, log: Path, stdin: bool = False) -> None:
        self.name = name
        self.lines: List[str] = []
        self._log = open(log, "a", encoding="utf-8", buffering=1)  # kept for a look after a failure
        self._changed = threading.Condition()
        self.process = subprocess.Popen(arguments, stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, bufsize=1,
                                        errors="replace")
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self) -> None:
        assert self.process.stdout is not None
        for line in self.process.stdout:
            with self._changed:
                self.lines.append(line.rstrip("\n"))
                self._took(self.lines[-1])
                self._changed.notify_all()
            self._log.write(line)
        self._log.close()
        with self._changed:
            self._changed.notify_all()

    def _took(self, line: str) -> None:
        """Called with each line as it comes, holding the lock."""

    def output(self) -> List[str]:
        with self._changed:
            return list(self.lines)

    def wait_for(self, predicate: Callable[[], object], what: str, timeout: float = WAIT) -> object:
        def failure() -> str:
            tail = "\n".join(self.lines[-25:])
            return f"{self.name}: no {what} within {timeout} s; its last lines:\n{tail}"
        return wait_on(self._changed, predicate, failure, timeout)

    def running(self) -> bool:
        return self.process.poll() is None

    def end(self, how: int) -> int:
        """Sends the signal and waits (bounded) for the exit status."""
        if self.process.poll() is None:
            self.process.send_signal(how)
            try:
                self.process.wait(timeout=WAIT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=WAIT)
                raise AssertionError(f"{self.name} did not end within {WAIT} s of signal {how}")
        self._reader.join(WAIT)
        for pipe in (self.process.stdin, self.process.stdout):
            if pipe is not None and not pipe.closed:
                try:
                    pipe.close()
                except OSError:
                    pass
        return self.process.returncode


class Bridge(LoggedProcess):
    """ks318-bridge for one site; `port` is its terminals' port."""

    def __init__(self, directory: Path, broker_url: str, site: str, *extra: str) -> None:
        directory.mkdir(parents=True, exist_ok=True)
        self.directory = directory
        self.site = site
        self.queue_dir = directory / "queue"
        self.port_file = directory / "terminal.port"
        if self.port_file.exists():
            self.port_file.unlink()
        arguments = [bridge_program(), "--broker", broker_url, "--site", site, "--port", "0", "--bind", "127.0.0.1",
                     "--port-file", str(self.port_file), "--queue-dir", str(self.queue_dir), *extra]
        super().__init__(arguments, f"ks318-bridge {site}", directory / "bridge.log")

        def port_known() -> Optional[int]:
            text = self.port_file.read_text() if self.port_file.exists() else ""
            if re.fullmatch(r"\s*\d+\s*", text):
                return int(text)
            return -1 if not self.running() else None

        try:
            port = self.wait_for(port_known, "port file")
        finally:
            if not self.running() or not self.port_file.exists():
                self.end(signal.SIGKILL)
        if port == -1:
            raise AssertionError(f"{self.name} ended at start:\n" + "\n".join(self.lines))
        self.port = int(port)  # type: ignore[arg-type]

    def holds_connection_to(self, port: int) -> bool:
        """Whether the bridge still holds a TCP socket to that port, also one whose
        peer has gone but which it has not closed yet (it has not noticed)."""
        sockets = set()
        for descriptor in Path(f"/proc/{self.process.pid}/fd").iterdir():
            try:
                target = os.readlink(descriptor)
            except OSError:
                continue  # closed meanwhile
            if target.startswith("socket:["):
                sockets.add(target[8:-1])
        for table in ("/proc/net/tcp", "/proc/net/tcp6"):
            try:
                rows = Path(table).read_text().splitlines()[1:]
            except OSError:
                continue
            for row in rows:
                fields = row.split()
                if len(fields) > 9 and fields[9] in sockets and int(fields[2].rsplit(":", 1)[1], 16) == port:
                    return True
        return False

    def stop(self) -> int:
        """SIGTERM, then its exit status."""
        return self.end(signal.SIGTERM)

    def kill(self) -> None:
        self.end(signal.SIGKILL)


# "   0.005  T1 <-  35 text      170 B  x 3 y 4 ..."
FRAME = re.compile(r"^\s*[\d.]+\s+T(\d+)\s+(<-|->)\s+(\d+)\s+\S+\s+(\d+) B(?:\s+(.*))?$")


class Term(LoggedProcess):
    """ks318-term playing `count` terminals against a bridge; terminal i has the
    identifier terminal_id(uid_base, i) and writes its screen to screen-i.png."""

    def __init__(self, port: int, directory: Path, count: int, models: str, uid_base: Tuple[int, ...]) -> None:
        directory.mkdir(parents=True, exist_ok=True)
        self.directory = directory
        self.count = count
        self.uid_base = uid_base
        files = directory / "files"
        files.mkdir(exist_ok=True)
        arguments = [term_program(), "--port", str(port), "--count", str(count), "--model", models,
                     "--uid", uid_argument(uid_base), "--files", str(files), "--screen", str(directory / "screen.png"),
                     "--wait-server", "20"]
        self._frames: List[Tuple[int, str, int, str]] = []  # terminal, direction, code, detail
        super().__init__(arguments, "ks318-term", directory / "term.log", stdin=True)

    def _took(self, line: str) -> None:
        match = FRAME.match(line)
        if match:
            self._frames.append((int(match[1]), match[2], int(match[3]), match[5] or ""))

    def wait_identified(self) -> None:
        self.wait_for(lambda: sum(1 for line in self.lines if line.endswith(" identified")) >= self.count,
                      f"handshake of all {self.count} terminals")

    def ids(self) -> List[str]:
        return [terminal_id(self.uid_base, i) for i in range(1, self.count + 1)]

    def screen_path(self, terminal: int) -> Path:
        return self.directory / ("screen.png" if self.count == 1 else f"screen-{terminal}.png")

    def send(self, *lines: str) -> None:
        assert self.process.stdin is not None
        self.process.stdin.write("".join(line + "\n" for line in lines))
        self.process.stdin.flush()

    def frames(self, terminal: Optional[int] = None, code: Optional[int] = None,
               direction: str = "<-") -> List[Tuple[int, int, str]]:
        """(terminal, code, detail) of the frames logged so far; `<-` received from
        the bridge, `->` sent to it."""
        with self._changed:
            return [(number, kind, detail) for number, way, kind, detail in self._frames
                    if way == direction and (terminal is None or number == terminal) and (code is None or kind == code)]

    def wait_frames(self, terminal: Optional[int], code: int, count: int = 1,
                    direction: str = "<-") -> List[Tuple[int, int, str]]:
        def enough() -> Optional[List[Tuple[int, int, str]]]:
            found = self.frames(terminal, code, direction)
            return found if len(found) >= count else None
        where = f"T{terminal}" if terminal is not None else "all terminals"
        return self.wait_for(enough, f"{count} frame(s) {code} {direction} on {where}")  # type: ignore[return-value]

    def close(self) -> None:
        if self.running():
            try:
                self.send("quit")
            except (BrokenPipeError, OSError):
                pass
            try:
                self.process.wait(timeout=WAIT)
            except subprocess.TimeoutExpired:
                pass
        self.end(signal.SIGKILL)
