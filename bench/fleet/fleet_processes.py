"""The processes a soak runs besides the broker: a bridge per site and a
terminal crowd per site. Each is started and stopped here, by its own process
id; every wait is bounded and ends as soon as what it waits for has happened."""

from __future__ import annotations

import queue
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import List, Optional

START_WAIT = 30.0   # seconds: a program's start (a port file, a first line)
STOP_WAIT = 30.0    # seconds: a program's exit after it was asked to leave
HERE = Path(__file__).resolve().parent


def resident_kib(pid: int) -> Optional[int]:
    """VmRSS of a live process in KiB; None once it is gone."""
    try:
        with open(f"/proc/{pid}/status", encoding="ascii", errors="replace") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except (OSError, ValueError, IndexError):
        return None
    return None


def _end(process: subprocess.Popen, how: int) -> Optional[int]:
    """Signals the process (if it still runs) and waits for it; its exit status."""
    if process.poll() is None:
        process.send_signal(how)
        try:
            process.wait(timeout=STOP_WAIT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    return process.returncode


class BridgeProcess:
    def __init__(self, program: str, broker_url: str, site: str, folder: Path) -> None:
        self.program, self.broker_url, self.site = program, broker_url, site
        self.folder = folder
        self.port_file = folder / "port"
        self.log_path = folder / "bridge.log"
        self.process: Optional[subprocess.Popen] = None
        self.port = 0
        self.stopped_by_us = False

    def start(self) -> None:
        self.folder.mkdir(parents=True, exist_ok=True)
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(
                [self.program, "--broker", self.broker_url, "--site", self.site, "--port", "0", "--bind", "127.0.0.1",
                 "--port-file", str(self.port_file), "--queue-dir", str(self.folder / "queue")],
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + START_WAIT
        while True:
            if self.process.poll() is not None:
                raise RuntimeError(f"ks318-bridge for {self.site} ended at start ({self.process.returncode}):\n"
                                   + self.log())
            text = self.port_file.read_text().strip() if self.port_file.exists() else ""
            if text.isdigit() and int(text) > 0:
                self.port = int(text)
                return
            if time.monotonic() >= deadline:
                raise RuntimeError(f"ks318-bridge for {self.site} wrote no port within {START_WAIT} s:\n" + self.log())
            time.sleep(0.05)

    @property
    def pid(self) -> int:
        return self.process.pid if self.process else 0

    def alive(self) -> bool:
        return self.process is not None and self.process.poll() is None

    def resident_kib(self) -> Optional[int]:
        return resident_kib(self.pid) if self.alive() else None

    def stop(self) -> Optional[int]:
        """SIGTERM (the bridge's orderly stop); its exit status."""
        if self.process is None:
            return None
        self.stopped_by_us = self.process.poll() is None
        return _end(self.process, signal.SIGTERM)

    def log(self) -> str:
        return self.log_path.read_text(errors="replace")[-4000:] if self.log_path.exists() else ""


class LineDrivenProcess:
    """A program of this folder driven by lines on its standard input and output
    (terminal_crowd.py, baseline_publisher.py)."""

    def __init__(self, arguments: List[str]) -> None:
        self.arguments = arguments
        self.process: Optional[subprocess.Popen] = None
        self.lines: "queue.Queue[Optional[str]]" = queue.Queue()
        self.said: List[str] = []
        self.status: Optional[int] = None
        self._reader: Optional[threading.Thread] = None

    def start(self) -> None:
        self.process = subprocess.Popen(self.arguments, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True, bufsize=1)
        self._reader = threading.Thread(target=self._read_lines, daemon=True)
        self._reader.start()

    def _read_lines(self) -> None:
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def wait_line(self, word: str, timeout: float, required: bool = True) -> Optional[List[str]]:
        """The words after `word` of the first line starting with it. RuntimeError
        on an `error` line or the end of the process, and on the timeout when the
        line is required (otherwise None)."""
        deadline = time.monotonic() + timeout
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                if not required:
                    return None
                raise RuntimeError(f"{self.name} said no '{word}' within {timeout} s: {self.said[-5:]}")
            try:
                line = self.lines.get(timeout=remaining)
            except queue.Empty:
                continue
            if line is None:
                self.lines.put(None)  # the end stays visible to the next wait
                raise RuntimeError(f"{self.name} ended before '{word}': {self.said[-5:]}")
            self.said.append(line)
            words = line.split()
            if words and words[0] == word:
                return words[1:]
            if words and words[0] == "error":
                raise RuntimeError(f"{self.name} failed: {line}")

    def tell(self, line: str) -> None:
        if self.process is None or self.process.stdin.closed:
            return
        try:
            self.process.stdin.write(line + "\n")
            self.process.stdin.flush()
        except (BrokenPipeError, OSError):
            pass  # already gone: stop() reports how it ended

    @property
    def name(self) -> str:
        return Path(self.arguments[1]).stem

    def stop(self) -> Optional[int]:
        """Asks the program to leave (once) and waits for it; its exit status."""
        if self.process is None or self.process.stdin.closed:
            return self.status
        self.tell("quit")
        try:
            self.process.stdin.close()
        except OSError:
            pass
        try:
            self.process.wait(timeout=STOP_WAIT)
            self.status = self.process.returncode
        except subprocess.TimeoutExpired:
            self.status = _end(self.process, signal.SIGKILL)
        self._reader.join(STOP_WAIT)  # it reads to the end of the output, then the pipe is ours to close
        if not self._reader.is_alive():
            self.process.stdout.close()
        return self.status


class CrowdProcess(LineDrivenProcess):
    """A terminal_crowd.py process (see that file for its lines)."""

    def __init__(self, port: int, count: int, uid: str, text: str, rate: float, seconds: float, log_path: Path) -> None:
        super().__init__([sys.executable, str(HERE / "terminal_crowd.py"), "--port", str(port), "--count", str(count),
                          "--uid", uid, "--text", text, "--rate", repr(rate), "--seconds", repr(seconds),
                          "--log", str(log_path)])
        self.log_path = log_path
