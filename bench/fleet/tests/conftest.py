"""Shared pieces of the soak's own tests: the soak's folder on the import path,
a Mosquitto broker started and stopped per test, a terminal server written
with plain sockets that the test drives frame by frame, and bounded waits."""

from __future__ import annotations

import socket
import struct
import sys
from pathlib import Path
from typing import Callable, List, Optional, Tuple

import pytest

HERE = Path(__file__).resolve().parent
SOAK = HERE.parent
REPOSITORY = SOAK.parent.parent
sys.path.insert(0, str(SOAK))
sys.path.insert(0, str(REPOSITORY / "tests" / "support"))

from mqtt_broker import MqttBroker  # noqa: E402
from waits import WAIT, wait_until  # noqa: E402,F401

@pytest.fixture
def broker(tmp_path):
    started = MqttBroker(tmp_path / "broker")
    started.start()
    yield started
    started.stop()


class ServerSide:
    """One accepted terminal connection, read and written by the test."""

    def __init__(self, connection: socket.socket) -> None:
        self.connection = connection
        self.connection.settimeout(WAIT)

    def send(self, code: int, payload: bytes = b"") -> None:
        self.connection.sendall(struct.pack("<BHI", 2, code, len(payload)) + payload, socket.MSG_NOSIGNAL)

    def send_raw(self, data: bytes) -> None:
        self.connection.sendall(data, socket.MSG_NOSIGNAL)

    def receive_exactly(self, count: int) -> bytes:
        data = b""
        while len(data) < count:
            piece = self.connection.recv(count - len(data))
            if not piece:
                raise AssertionError(f"the terminal closed after {len(data)} of {count} bytes")
            data += piece
        return data

    def receive_frame(self) -> Tuple[int, bytes]:
        start, code, length = struct.unpack("<BHI", self.receive_exactly(7))
        assert start == 2
        return code, self.receive_exactly(length)

    def handshake(self) -> Tuple[bytes, bytes]:
        """19 out, 20 in; 21 and 27 out in one write, 28 in: the two answers' payloads."""
        self.send(19)
        code, word = self.receive_frame()
        assert code == 20
        self.send_raw(struct.pack("<BHI", 2, 21, 4) + struct.pack("<I", 1) + struct.pack("<BHI", 2, 27, 0))
        code, uid = self.receive_frame()
        assert code == 28
        return word, uid

    def close(self) -> None:
        self.connection.close()


class TerminalServer:
    """A listening socket on loopback whose connections the test accepts one by one."""

    def __init__(self) -> None:
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(64)
        self.port = self.listener.getsockname()[1]
        self.accepted: List[ServerSide] = []

    def accept(self, timeout: float = WAIT) -> ServerSide:
        self.listener.settimeout(timeout)
        connection, _ = self.listener.accept()
        side = ServerSide(connection)
        self.accepted.append(side)
        return side

    def accept_waiting(self) -> Optional[ServerSide]:
        """A connection already waiting in the backlog, or None."""
        self.listener.setblocking(False)
        try:
            connection, _ = self.listener.accept()
        except BlockingIOError:
            return None
        finally:
            self.listener.setblocking(True)
        side = ServerSide(connection)
        self.accepted.append(side)
        return side

    def close(self) -> None:
        for side in self.accepted:
            side.close()
        self.listener.close()


@pytest.fixture
def terminal_server():
    server = TerminalServer()
    yield server
    server.close()
