"""The broker's own round trip, the soak's baseline: a paho publisher in a
process of its own (baseline_publisher.py, as the terminals are) and a paho
subscriber in the soak's process, QoS 1, messages of the bridge's key event
size at the soak's rate. A message's latency runs from the moment before
publish() to the moment the subscriber's paho hands it over: the same two
clocks (CLOCK_MONOTONIC) the soak reads for a key."""

from __future__ import annotations

import json
import sys
import threading
import time
from pathlib import Path
from typing import Callable, Dict

from baseline_publisher import NUMBER_DIGITS
from fleet_processes import HERE, START_WAIT, LineDrivenProcess
from latency_stats import latency_summary
from mqtt_link import MqttLink

DRAIN_WAIT = 30.0  # seconds: bound of the wait for the last messages after the last publish


class _Receiver:
    def __init__(self, clock: Callable[[], int]) -> None:
        self.clock = clock
        self.changed = threading.Condition()
        self.arrivals: Dict[int, int] = {}  # number -> first arrival (ns)
        self.received = 0
        self.duplicated = 0
        self.out_of_order = 0
        self.malformed = 0
        self.highest = -1

    def on_message(self, client, userdata, message) -> None:
        arrived_ns = self.clock()
        try:
            number = int(message.payload[:NUMBER_DIGITS])
        except ValueError:
            with self.changed:
                self.malformed += 1
            return
        with self.changed:
            self.received += 1
            if number in self.arrivals:
                self.duplicated += 1
            else:
                self.arrivals[number] = arrived_ns
                if number < self.highest:
                    self.out_of_order += 1
                self.highest = max(self.highest, number)
            self.changed.notify_all()


def run_baseline(host: str, port: int, rate: float, seconds: float, payload_size: int, topic: str,
                 folder: Path) -> dict:
    """Publishes round(rate * seconds) messages at `rate` a second and waits for
    them (at most DRAIN_WAIT s after the last); the counts and latencies.
    `folder` takes the publisher's send log."""
    if rate <= 0 or seconds <= 0:
        raise ValueError("the baseline needs a rate and a time above 0")
    receiver = _Receiver(time.monotonic_ns)
    subscriber = MqttLink(host, port, f"ks318-soak-baseline-sub-{time.monotonic_ns()}", receiver.on_message)
    log_path = folder / "baseline-sent.json"
    publisher = LineDrivenProcess([sys.executable, str(HERE / "baseline_publisher.py"), "--host", host,
                                   "--port", str(port), "--topic", topic, "--rate", repr(rate),
                                   "--seconds", repr(seconds), "--size", str(payload_size), "--log", str(log_path)])
    total = round(rate * seconds)
    try:
        subscriber.connect()
        subscriber.subscribe([(topic, 1)])
        publisher.start()
        publisher.wait_line("ready", START_WAIT)
        publisher.tell("go")
        publisher.wait_line("done", seconds + START_WAIT + DRAIN_WAIT)
        with receiver.changed:
            receiver.changed.wait_for(lambda: len(receiver.arrivals) >= total, DRAIN_WAIT)
    finally:
        publisher.stop()
        subscriber.close()
    sent_ns = json.loads(log_path.read_text())["sent_ns"]
    with receiver.changed:
        latencies = [receiver.arrivals[n] - sent_ns[n] for n in receiver.arrivals if n < len(sent_ns)]
        return {
            "sent": len(sent_ns),
            "received": receiver.received,
            "missing": len(sent_ns) - len(latencies),
            "duplicated": receiver.duplicated,
            "out_of_order": receiver.out_of_order,
            "malformed": receiver.malformed,
            "payload_bytes": payload_size,
            "rate": rate,
            "seconds": seconds,
            "latency": latency_summary(latencies),
        }
