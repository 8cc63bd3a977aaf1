"""The example host (examples/host.py) run as its own process against
simulated terminals, as a host developer would run it."""

from __future__ import annotations

import os
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import List

from conftest import PACKAGE_ROOT, WAIT, Term

HOST = PACKAGE_ROOT / "examples" / "host.py"


class HostProcess:
    def __init__(self, *args: str) -> None:
        environment = dict(os.environ)
        if environment.get("KS318_TEST_INSTALLED") != "1":
            environment["PYTHONPATH"] = os.pathsep.join(
                filter(None, [str(PACKAGE_ROOT), environment.get("PYTHONPATH")]))
        self.lines: List[str] = []
        self.changed = threading.Condition()
        self.process = subprocess.Popen([sys.executable, str(HOST), *args], stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True, env=environment)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self) -> None:
        assert self.process.stdout is not None
        for line in self.process.stdout:
            with self.changed:
                self.lines.append(line.rstrip("\n"))
                self.changed.notify_all()
        with self.changed:
            self.changed.notify_all()

    def wait_line(self, pattern: str) -> re.Match:
        regex = re.compile(pattern)
        deadline = time.monotonic() + WAIT
        with self.changed:
            while True:
                for line in self.lines:
                    match = regex.search(line)
                    if match:
                        return match
                remaining = deadline - time.monotonic()
                if remaining <= 0 or (self.process.poll() is not None and not self.reader.is_alive()):
                    raise AssertionError(f"host.py printed no {pattern!r}; it printed:\n" + "\n".join(self.lines))
                self.changed.wait(min(remaining, 0.5))

    def kill(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=WAIT)


def test_example_host_echoes_keys_shows_pictures_and_stops_on_sigint() -> None:
    host = HostProcess("-p", "0")
    term = None
    try:
        port = int(host.wait_line(r"^host: listening on 127\.0\.0\.1 port (\d+)$")[1])
        term = Term(port, "--count", "2", "--model", "318,320")
        # Terminals are named by id (65536 up), never by their moving numbers.
        first = host.wait_line(r"^terminal (\d{5,}) connected from 127\.0\.0\.1: model 318, "
                               r"terminal version 32, number [12]$")[1]
        second = host.wait_line(r"^terminal (\d{5,}) connected from 127\.0\.0\.1: model 320, "
                                r"terminal version 32, number [12]$")[1]
        assert first != second and min(int(first), int(second)) >= 65536
        host.wait_line(rf'^terminal {first} identifier 00:1A:2B:3C:4D:5E "SIM TERMINAL 1"$')
        host.wait_line(rf'^terminal {second} identifier 00:1A:2B:3C:4D:5F "SIM TERMINAL 2"$')
        # The host's own picture on each screen, at each model's size.
        assert term.wait_frame(1, 37)[0].length == 768 + 320 * 240
        assert term.wait_frame(2, 37)[0].length == 768 + 130560
        term.send("@1 keys A")
        term.send("@2 key 13")
        echo = term.wait_frame(1, 35)[0]
        assert "\"key 'A' (65)\"" in echo.detail and "colour 15" in echo.detail and "y 220" in echo.detail
        block = term.wait_frame(1, 131)[0]
        assert "x 0 y 216 width 320 height 24" in block.detail
        assert '"key 13"' in term.wait_frame(2, 35)[0].detail and "y 252" in term.frames(2, 35)[0].detail
        host.wait_line(rf"^terminal {first} key 'A' \(65\)$")
        host.process.send_signal(signal.SIGINT)
        assert host.process.wait(timeout=WAIT) == 0
        host.reader.join(timeout=WAIT)
        assert host.lines[-1] == "host: stopped"
        assert sum("disconnected" in line for line in host.lines) == 2
        term.end_input()
        term.wait_line(r"T1 connection closed")
        term.wait_line(r"T2 connection closed")
        assert "Traceback" not in "\n".join(host.lines)
    finally:
        host.kill()
        if term is not None:
            term.quit()


def test_example_host_reports_a_port_it_cannot_take() -> None:
    host = HostProcess("-b", "192.0.2.300", "-p", "0")
    assert host.process.wait(timeout=WAIT) == 1
    host.reader.join(timeout=WAIT)
    assert any("192.0.2.300" in line for line in host.lines), host.lines
