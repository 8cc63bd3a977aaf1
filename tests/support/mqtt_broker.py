"""A Mosquitto broker for tests: Debian's `mosquitto` on a free loopback port,
with its own configuration and persistence folder, started and stopped by the
test that needs it. Standard library only.

    broker = MqttBroker(folder)      # folder: a private temporary directory
    broker.start()                   # returns once the broker accepts connections
    broker.url                       # "mqtt://127.0.0.1:PORT"
    broker.stop()                    # SIGTERM: the broker saves its persistence first
    broker.start()                   # the same port and state again
    broker.kill()                    # SIGKILL, nothing saved

Persistence is on, so sessions, retained messages and queued QoS 1 messages
outlive a stop and start, as they do on a broker that is restarted in service.
"""

from __future__ import annotations

import os
import pwd
import shutil
import signal
import socket
import subprocess
import time
from pathlib import Path
from typing import Optional

START_WAIT = 20.0  # seconds: bound of the wait for the broker to listen


def mosquitto_program() -> str:
    found = os.environ.get("KS318_MOSQUITTO") or shutil.which("mosquitto") or "/usr/sbin/mosquitto"
    if not Path(found).exists():
        raise RuntimeError("mosquitto not found: apt-get install mosquitto (scripts/setup.sh installs it)")
    return found


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class MqttBroker:
    def __init__(self, folder: Path, port: Optional[int] = None, extra_config: str = "") -> None:
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.port = port or free_port()
        self.log_path = self.folder / "mosquitto.log"
        self.config_path = self.folder / "mosquitto.conf"
        (self.folder / "data").mkdir(exist_ok=True)
        self.config_path.write_text(
            f"listener {self.port} 127.0.0.1\n"
            # Run as root, mosquitto would drop to its own user, who cannot
            # write in a private test folder.
            f"user {pwd.getpwuid(os.getuid()).pw_name}\n"
            "allow_anonymous true\n"
            "persistence true\n"
            f"persistence_location {self.folder / 'data'}/\n"
            "autosave_interval 0\n"
            "max_queued_messages 100000\n"
            "log_type error\nlog_type warning\nlog_type notice\n"
            f"log_dest file {self.log_path}\n"
            + extra_config
        )
        self.process: Optional[subprocess.Popen] = None

    @property
    def url(self) -> str:
        return f"mqtt://127.0.0.1:{self.port}"

    def start(self) -> None:
        if self.process is not None:
            raise RuntimeError("the broker already runs")
        self.process = subprocess.Popen([mosquitto_program(), "-c", str(self.config_path)],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + START_WAIT
        while True:
            if self.process.poll() is not None:
                log = self.log_path.read_text(errors="replace") if self.log_path.exists() else ""
                self.process = None
                raise RuntimeError(f"mosquitto ended at start:\n{log}")
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1.0):
                    return
            except OSError:
                if time.monotonic() >= deadline:
                    self.kill()
                    raise RuntimeError(f"mosquitto did not listen on {self.port} within {START_WAIT} s")
                time.sleep(0.02)

    def stop(self) -> None:
        self._end(signal.SIGTERM)

    def kill(self) -> None:
        self._end(signal.SIGKILL)

    def _end(self, how: int) -> None:
        if self.process is None:
            return
        if self.process.poll() is None:
            self.process.send_signal(how)
            try:
                self.process.wait(timeout=START_WAIT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def __enter__(self) -> "MqttBroker":
        self.start()
        return self

    def __exit__(self, *exc) -> None:
        self.stop()
