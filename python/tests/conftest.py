"""Shared pieces of the tests: the simulated terminals (ks318-term processes)
and bounded waits for events and for the terminals' frame logs."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Callable, Iterator, List, Optional

import pytest

HERE = Path(__file__).resolve().parent
PACKAGE_ROOT = HERE.parent
REPOSITORY = PACKAGE_ROOT.parent
HEADER = REPOSITORY / "include" / "ks318.h"

# The package as it lies in the repository, unless an installed one is asked for.
if os.environ.get("KS318_TEST_INSTALLED") != "1":
    sys.path.insert(0, str(PACKAGE_ROOT))

import ks318  # noqa: E402

WAIT = 20.0  # seconds: upper bound of every wait; each ends as soon as its event comes


def _find_term() -> Optional[str]:
    explicit = os.environ.get("KS318_TERM")
    if explicit:
        return explicit
    for candidate in (REPOSITORY / "build" / "default" / "tools" / "ks318-term",):
        if candidate.exists():
            return str(candidate)
    return shutil.which("ks318-term")


TERM = _find_term()


# ---- frames of the simulated terminals --------------------------------------------------

# "   0.005  T1 <-  35 text      170 B  x 3 y 4 ..."
FRAME = re.compile(r"^\s*[\d.]+\s+T(\d+)\s+(<-|->)\s+(\d+)\s+\S+\s+(\d+) B(?:\s+(.*))?$")


class Frame:
    def __init__(self, terminal: int, direction: str, code: int, length: int, detail: str) -> None:
        self.terminal = terminal
        self.direction = direction
        self.code = code
        self.length = length
        self.detail = detail

    def __repr__(self) -> str:
        return f"T{self.terminal} {self.direction} {self.code} {self.length} B {self.detail}"


class Term:
    """A ks318-term process playing one or more terminals against a port."""

    def __init__(self, port: int, *args: str) -> None:
        if TERM is None or not os.path.exists(TERM):
            pytest.fail("ks318-term not found: set KS318_TERM to the simulated terminal program")
        self.files = tempfile.mkdtemp(prefix="ks318-py-term-")
        self.lines: List[str] = []
        self._changed = threading.Condition()
        self.process = subprocess.Popen(
            [TERM, "--port", str(port), "--files", self.files, *args],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            bufsize=1,
        )
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

    def send(self, line: str) -> None:
        assert self.process.stdin is not None
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def frames(self, terminal: Optional[int] = None, code: Optional[int] = None, direction: str = "<-") -> List[Frame]:
        with self._changed:
            lines = list(self.lines)
        found = []
        for line in lines:
            match = FRAME.match(line)
            if not match:
                continue
            frame = Frame(int(match[1]), match[2], int(match[3]), int(match[4]), match[5] or "")
            if frame.direction != direction:
                continue
            if terminal is not None and frame.terminal != terminal:
                continue
            if code is not None and frame.code != code:
                continue
            found.append(frame)
        return found

    def wait_for(self, predicate: Callable[[], object], what: str, timeout: float = WAIT) -> object:
        deadline = time.monotonic() + timeout
        with self._changed:  # re-entrant: the predicate may read the lines
            while True:
                result = predicate()
                if result:
                    return result
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    tail = "\n".join(self.lines[-30:])
                    raise AssertionError(f"ks318-term: no {what} within {timeout} s; its last lines:\n{tail}")
                self._changed.wait(min(remaining, 0.5))

    def wait_frame(self, terminal: int, code: int, count: int = 1, direction: str = "<-") -> List[Frame]:
        def enough() -> Optional[List[Frame]]:
            frames = self.frames(terminal, code, direction)
            return frames if len(frames) >= count else None

        return self.wait_for(enough, f"{count} frame(s) {direction} {code} for T{terminal}")  # type: ignore[return-value]

    def wait_line(self, pattern: str) -> str:
        regex = re.compile(pattern)

        def seen() -> Optional[str]:
            with self._changed:
                for line in self.lines:
                    if regex.search(line):
                        return line
            return None

        return self.wait_for(seen, f"line matching {pattern!r}")  # type: ignore[return-value]

    def wait_file(self, relative: str, size: int) -> bytes:
        """The bytes of a file the terminals keep, once it has ``size`` bytes (the
        frame is logged as it arrives, the file written after)."""
        path = Path(self.files) / relative
        deadline = time.monotonic() + WAIT
        while True:
            if path.is_file() and path.stat().st_size == size:
                return path.read_bytes()
            if time.monotonic() >= deadline:
                raise AssertionError(f"ks318-term kept no {size}-byte {relative} within {WAIT} s")
            time.sleep(0.05)

    def end_input(self) -> int:
        """Closes the input: the process ends once the server has dropped every
        terminal (each logged as "connection closed"). Its exit status."""
        assert self.process.stdin is not None
        self.process.stdin.close()
        try:
            status = self.process.wait(timeout=WAIT)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"ks318-term still runs {WAIT} s after its input ended") from None
        self._reader.join(timeout=WAIT)
        return status

    def close(self) -> None:
        """Ends the process: input closed, then quit if it lingers."""
        if self.process.poll() is None:
            try:
                assert self.process.stdin is not None
                if not self.process.stdin.closed:
                    self.process.stdin.close()
            except (BrokenPipeError, OSError):
                pass
            try:
                self.process.wait(timeout=WAIT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=WAIT)
        self._reader.join(timeout=WAIT)
        shutil.rmtree(self.files, ignore_errors=True)

    def quit(self) -> None:
        if self.process.poll() is None:
            try:
                self.send("quit")
            except (BrokenPipeError, OSError):
                pass
        self.close()


class Events:
    """Events of a server gathered in arrival order, with bounded waits."""

    def __init__(self, server: "ks318.Server") -> None:
        self.server = server
        self.seen: List[ks318.Event] = []

    def wait(self, predicate: Callable[[ks318.Event], bool], what: str, timeout: float = WAIT) -> ks318.Event:
        for event in self.seen:
            if predicate(event):
                self.seen.remove(event)
                return event
        deadline = time.monotonic() + timeout
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise AssertionError(f"no {what} within {timeout} s; seen: {self.seen!r}")
            try:
                event = self.server.get_event(timeout=remaining)
            except TimeoutError:
                continue
            if predicate(event):
                return event
            self.seen.append(event)

    def wait_many(self, predicate: Callable[[ks318.Event], bool], count: int, what: str) -> List[ks318.Event]:
        return [self.wait(predicate, f"{what} ({index + 1} of {count})") for index in range(count)]


@pytest.fixture
def term_factory() -> Iterator[Callable[..., Term]]:
    started: List[Term] = []

    def start(port: int, *args: str) -> Term:
        term = Term(port, *args)
        started.append(term)
        return term

    yield start
    for term in started:
        term.quit()


@pytest.fixture
def server() -> Iterator["ks318.Server"]:
    server = ks318.Server(port=0, bind="127.0.0.1")
    server.start()
    try:
        yield server
    finally:
        if server.running:
            server.stop()


@pytest.fixture
def events(server: "ks318.Server") -> Events:
    return Events(server)


def connected(events: Events, count: int) -> List["ks318.ConnectEvent"]:
    """Waits for ``count`` connects, then for every terminal's identifier answer
    (the last frame of the greeting), so the terminals are settled."""
    connects = events.wait_many(lambda e: isinstance(e, ks318.ConnectEvent), count, "connect")
    events.wait_many(lambda e: isinstance(e, ks318.UidEvent), count, "identifier answer")
    return connects  # type: ignore[return-value]
