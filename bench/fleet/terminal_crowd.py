"""A crowd of simulated terminals on one thread: each connects to a KS318
server, goes through the handshake, answers the server's probe, and sends keys
on a schedule shared by the whole crowd (a steady total rate, the terminals in
turn). Every key's send time is the moment its last byte was accepted by the
socket (CLOCK_MONOTONIC, which every process of the machine shares), so a
subscriber in another process can time the key's way through server, bridge
and broker.

Terminal i's keys are numbered 0, 1, 2 ...; key n carries the code n % 256,
which is how a receiver tells which key arrived and in what order.

As a program (the soak runs one per site), it is driven by lines:
    stdout  `identified N`            every terminal is through the handshake
    stdin   `go`                      start sending keys
    stdout  `done SENT CLOSED LAG_MS` the schedule is over; the send log is written
    stdin   `quit` (or end of input)  close every connection and leave
and `error TEXT` on stdout before a failure exit.
"""

from __future__ import annotations

import argparse
import errno
import json
import os
import selectors
import socket
import sys
import time
from collections import deque
from dataclasses import dataclass, field
from typing import Callable, Deque, Dict, List, Optional, Tuple

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from terminal_wire import (CODE_REQUEST_UID, FrameReader, WireError, answer_to, key_frame,  # noqa: E402
                           parse_uid, uid_plus, uid_text)

# The library's listen backlog holds a whole table: a crowd of up to 1,024
# terminals starts every handshake at once, as terminals do when the host
# restarts. Against a server with a smaller backlog, a crowd keeps no more
# handshakes under way than it holds: more SYNs at once overflow into SYN
# cookies whose connections the server never accepts, waiting for ever.
SERVER_BACKLOG = 1024
RECONNECT_PAUSE_NS = 100_000_000


class CrowdError(Exception):
    pass


@dataclass
class CrowdTerminal:
    index: int
    uid: bytes
    text: str
    sock: Optional[socket.socket] = None
    state: str = "waiting"  # waiting, connecting, handshake, identified, closed
    reader: FrameReader = field(default_factory=FrameReader)
    outbox: bytearray = field(default_factory=bytearray)
    written: int = 0                       # bytes accepted by the socket so far
    queued: int = 0                        # bytes ever put into the outbox
    key_ends: Deque[Tuple[int, int]] = field(default_factory=deque)  # (end offset, key number)
    sent_ns: List[int] = field(default_factory=list)
    keys_queued: int = 0
    retry_at_ns: int = 0
    close_reason: str = ""

    @property
    def uid_text(self) -> str:
        return uid_text(self.uid)


class TerminalCrowd:
    def __init__(self, host: str, port: int, count: int, uid_base: bytes, model: int = 320, version: int = 32,
                 text_prefix: str = "SOAK", clock: Callable[[], int] = time.monotonic_ns,
                 handshakes_at_once: int = SERVER_BACKLOG) -> None:
        if count < 1 or handshakes_at_once < 1:
            raise ValueError("a crowd has at least one terminal, and starts at least one handshake at a time")
        self.host, self.port = host, port
        self.handshakes_at_once = handshakes_at_once
        self.model, self.version = model, version
        self.clock = clock
        self.terminals = [CrowdTerminal(i, uid_plus(uid_base, i), f"{text_prefix} {i + 1}") for i in range(count)]
        self.selector = selectors.DefaultSelector()
        self._watched: Dict[int, Callable[[], None]] = {}
        self.keys_due = 0
        self.keys_unsent = 0   # due while the terminal was not connected
        self.max_lag_ns = 0
        self.keys_started_ns = 0
        self.keys_finished_ns = 0
        self.closed_log: List[str] = []

    # ---- connections ------------------------------------------------------------------------

    def _open(self, terminal: CrowdTerminal) -> None:
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setblocking(False)
        # A terminal sends each key as it is pressed, not when a segment fills.
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        result = sock.connect_ex((self.host, self.port))
        if result not in (0, errno.EINPROGRESS):
            sock.close()
            terminal.state, terminal.retry_at_ns = "waiting", self.clock() + RECONNECT_PAUSE_NS
            return
        terminal.sock, terminal.state = sock, "connecting"
        self.selector.register(sock, selectors.EVENT_WRITE, terminal)

    def _close(self, terminal: CrowdTerminal, reason: str) -> None:
        if terminal.sock is not None:
            self.selector.unregister(terminal.sock)
            terminal.sock.close()
            terminal.sock = None
        if terminal.state in ("handshake", "identified"):
            self.closed_log.append(f"{terminal.uid_text}: {reason}")
        terminal.state, terminal.close_reason = "closed", reason

    def _connected(self, terminal: CrowdTerminal, deadline_ns: int) -> None:
        error = terminal.sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
        if error == 0:
            terminal.state = "handshake"
            self._want_write(terminal, False)
            return
        # Nobody listens yet: try again until the deadline.
        self.selector.unregister(terminal.sock)
        terminal.sock.close()
        terminal.sock = None
        if self.clock() >= deadline_ns:
            raise CrowdError(f"cannot connect to {self.host}:{self.port}: {os.strerror(error)}")
        terminal.state, terminal.retry_at_ns = "waiting", self.clock() + RECONNECT_PAUSE_NS

    def _want_write(self, terminal: CrowdTerminal, wanted: bool) -> None:
        events = selectors.EVENT_READ | (selectors.EVENT_WRITE if wanted else 0)
        self.selector.modify(terminal.sock, events, terminal)

    # ---- bytes in and out -------------------------------------------------------------------

    def _queue(self, terminal: CrowdTerminal, data: bytes, key_number: Optional[int] = None) -> None:
        terminal.outbox += data
        terminal.queued += len(data)
        if key_number is not None:
            terminal.key_ends.append((terminal.queued, key_number))
        self._flush(terminal)

    def _flush(self, terminal: CrowdTerminal) -> None:
        if terminal.sock is None or not terminal.outbox:
            return
        try:
            count = terminal.sock.send(terminal.outbox, socket.MSG_NOSIGNAL)
        except BlockingIOError:
            count = 0
        except OSError as error:
            self._close(terminal, f"send failed: {error.strerror}")
            return
        now = self.clock()
        del terminal.outbox[:count]
        terminal.written += count
        while terminal.key_ends and terminal.key_ends[0][0] <= terminal.written:
            _, number = terminal.key_ends.popleft()
            terminal.sent_ns.append(now)
            assert number == len(terminal.sent_ns) - 1
        self._want_write(terminal, bool(terminal.outbox))

    def _receive(self, terminal: CrowdTerminal) -> None:
        try:
            data = terminal.sock.recv(65536)
        except BlockingIOError:
            return
        except OSError as error:
            self._close(terminal, f"receive failed: {error.strerror}")
            return
        if not data:
            self._close(terminal, "the server closed the connection")
            return
        try:
            headers = terminal.reader.feed(data)
        except WireError as error:
            self._close(terminal, str(error))
            return
        for header in headers:
            answer = answer_to(header.code, self.model, self.version, terminal.uid, terminal.text)
            if answer is not None:
                self._queue(terminal, answer)
            if terminal.sock is None:
                return
            if header.code == CODE_REQUEST_UID and terminal.state == "handshake":
                terminal.state = "identified"

    # ---- the loop ---------------------------------------------------------------------------

    def watch(self, fd: int, on_readable: Callable[[], None]) -> None:
        """Calls on_readable from the loop whenever fd has something to read."""
        self._watched[fd] = on_readable
        self.selector.register(fd, selectors.EVENT_READ, None)

    def unwatch(self, fd: int) -> None:
        if self._watched.pop(fd, None) is not None:
            self.selector.unregister(fd)

    def poll(self, timeout_s: float, deadline_ns: int = 0) -> None:
        for key, events in self.selector.select(max(timeout_s, 0)):
            terminal: Optional[CrowdTerminal] = key.data
            if terminal is None:
                self._watched[key.fd]()
                continue
            if terminal.sock is None:
                continue  # closed by an earlier event of this round
            if terminal.state == "connecting":
                self._connected(terminal, deadline_ns)
                continue
            if events & selectors.EVENT_READ:
                self._receive(terminal)
            if events & selectors.EVENT_WRITE and terminal.sock is not None:
                self._flush(terminal)

    def count(self, state: str) -> int:
        return sum(1 for t in self.terminals if t.state == state)

    def connect_all(self, wait_seconds: float) -> None:
        """Connects every terminal, handshakes_at_once at a time, and returns once
        each is identified; CrowdError when one cannot be, within wait_seconds."""
        deadline = self.clock() + int(wait_seconds * 1e9)
        while True:
            now = self.clock()
            if any(t.state == "closed" for t in self.terminals):
                closed = next(t for t in self.terminals if t.state == "closed")
                raise CrowdError(f"terminal {closed.uid_text} lost its connection in the handshake: "
                                 f"{closed.close_reason}")
            if all(t.state == "identified" for t in self.terminals):
                return
            if now >= deadline:
                raise CrowdError(f"{self.count('identified')} of {len(self.terminals)} terminals identified "
                                 f"within {wait_seconds} s")
            busy = self.count("connecting") + self.count("handshake")
            for terminal in self.terminals:
                if busy >= self.handshakes_at_once:
                    break
                if terminal.state == "waiting" and terminal.retry_at_ns <= now:
                    self._open(terminal)
                    busy += 1
            self.poll(0.05, deadline)

    def send_keys(self, rate: float, seconds: float, keep_going: Callable[[], bool] = lambda: True) -> None:
        """Keys at `rate` a second for `seconds`, the terminals in turn; a key
        that falls due late leaves at once (the lag is kept)."""
        if rate <= 0 or seconds < 0:
            raise ValueError("the rate must be above 0 and the time not below 0")
        total = round(rate * seconds)
        interval_ns = 1e9 / rate
        start = self.keys_started_ns = self.clock()
        for number in range(total):
            due = start + int(number * interval_ns)
            while True:
                now = self.clock()
                if now >= due or not keep_going():
                    break
                self.poll((due - now) / 1e9)
            if not keep_going():
                return
            self.max_lag_ns = max(self.max_lag_ns, self.clock() - due)
            terminal = self.terminals[number % len(self.terminals)]
            self.keys_due += 1
            if terminal.state != "identified":
                self.keys_unsent += 1
                continue
            key_number = terminal.keys_queued
            terminal.keys_queued += 1
            self._queue(terminal, key_frame(key_number % 256), key_number)
        self.keys_finished_ns = self.clock()
        # The last keys may still sit in an outbox.
        deadline = self.clock() + 5_000_000_000
        while any(t.outbox and t.sock for t in self.terminals) and self.clock() < deadline:
            self.poll(0.05)

    def keys_sent(self) -> int:
        return sum(len(t.sent_ns) for t in self.terminals)

    def send_log(self) -> dict:
        return {
            "keys_due": self.keys_due,
            "keys_sent": self.keys_sent(),
            "keys_unsent": self.keys_unsent,
            "max_lag_ms": self.max_lag_ns / 1e6,
            "sending_seconds": (self.keys_finished_ns - self.keys_started_ns) / 1e9,
            "closed": self.closed_log,
            "terminals": [{"uid": t.uid_text, "sent_ns": t.sent_ns} for t in self.terminals],
        }

    def close(self) -> None:
        for terminal in self.terminals:
            if terminal.sock is not None:
                self._close(terminal, "closed by the crowd")
        for fd in list(self._watched):
            self.unwatch(fd)
        self.selector.close()


# ---- the program ----------------------------------------------------------------------------


class ControlInput:
    """Lines from standard input, read from the crowd's loop."""

    def __init__(self, fd: int) -> None:
        self.fd = fd
        self.lines: Deque[str] = deque()
        self.ended = False
        self._partial = b""

    def read(self) -> None:
        data = os.read(self.fd, 4096)
        if not data:
            self.ended = True
            return
        self._partial += data
        *complete, self._partial = self._partial.split(b"\n")
        self.lines.extend(line.decode(errors="replace").strip() for line in complete)

    def take(self) -> Optional[str]:
        return self.lines.popleft() if self.lines else None


def say(line: str) -> None:
    print(line, flush=True)


def run_program(arguments: argparse.Namespace) -> int:
    crowd = TerminalCrowd(arguments.server, arguments.port, arguments.count, parse_uid(arguments.uid),
                          arguments.model, arguments.version, arguments.text)
    control = ControlInput(sys.stdin.fileno())
    crowd.watch(control.fd, control.read)
    try:
        crowd.connect_all(arguments.wait_server)
        say(f"identified {len(crowd.terminals)}")
        command = None
        while command is None and not control.ended:
            crowd.poll(0.5)
            command = control.take()
        if command != "go":
            return 0  # told to leave (or the soak is gone) before the start
        crowd.send_keys(arguments.rate, arguments.seconds, keep_going=lambda: not control.ended)
        with open(arguments.log, "w", encoding="utf-8") as log:
            json.dump(crowd.send_log(), log)
        say(f"done {crowd.keys_sent()} {len(crowd.closed_log)} {crowd.max_lag_ns / 1e6:.1f}")
        # The terminals stay until the soak has its last events and figures.
        while not control.ended and control.take() != "quit":
            crowd.poll(0.5)
        return 0
    except CrowdError as error:
        say(f"error {error}")
        return 1
    finally:
        crowd.close()


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="Simulated terminals sending keys at a steady rate "
                                                 "(driven by lines on standard input: go, quit)")
    parser.add_argument("--server", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--count", type=int, default=128, help="terminals")
    parser.add_argument("--uid", default="02:00:00:00:00:00", help="first terminal's identifier; each next one +1")
    parser.add_argument("--text", default="SOAK", help="identifier text, numbered per terminal")
    parser.add_argument("--model", type=int, default=320)
    parser.add_argument("--version", type=int, default=32)
    parser.add_argument("--rate", type=float, default=100.0, help="keys a second, all terminals together")
    parser.add_argument("--seconds", type=float, default=300.0)
    parser.add_argument("--wait-server", type=float, default=60.0, help="seconds to get every terminal identified")
    parser.add_argument("--log", required=True, help="JSON file of each key's send time")
    arguments = parser.parse_args(argv)
    if not 1 <= arguments.port <= 65535 or arguments.count < 1 or arguments.rate <= 0 or arguments.seconds < 0:
        parser.error("port 1-65535, at least one terminal, a rate above 0 and a time not below 0")
    try:
        parse_uid(arguments.uid)
        uid_plus(parse_uid(arguments.uid), arguments.count - 1)
    except ValueError as error:
        parser.error(str(error))
    return run_program(arguments)


if __name__ == "__main__":
    sys.exit(main())
