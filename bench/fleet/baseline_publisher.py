"""The publishing half of the broker baseline, in a process of its own as the
terminal crowds are, so that the subscriber's process is the same in both
measurements. paho writes each message from this thread, in publish() itself
(no network thread), and reads the broker's acknowledgements while it waits
for the next message's time.

Driven by lines like the crowd: `ready` on stdout once connected, `go` on
stdin, `done SENT` once every message is published and the send log written.
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from typing import List, Optional

import paho.mqtt.client as mqtt

NUMBER_DIGITS = 10
CONNECT_WAIT = 30.0  # seconds


def baseline_payload(number: int, size: int) -> bytes:
    """The message's number in its first digits, filled up to `size` bytes."""
    head = f"{number:0{NUMBER_DIGITS}d}".encode()
    return head + b"-" * max(size - len(head), 0)


def connect(host: str, port: int) -> mqtt.Client:
    client = mqtt.Client(client_id=f"ks318-soak-baseline-pub-{time.monotonic_ns()}", protocol=mqtt.MQTTv5)
    answered = []
    client.on_connect = lambda c, u, flags, reason, properties=None: answered.append(reason)
    client.connect(host, port, keepalive=30, clean_start=True)
    deadline = time.monotonic() + CONNECT_WAIT
    while not answered:
        if time.monotonic() >= deadline:
            raise RuntimeError(f"no answer from the broker within {CONNECT_WAIT} s")
        if client.loop(timeout=0.1) != mqtt.MQTT_ERR_SUCCESS:
            raise RuntimeError("the broker closed the connection")
    if getattr(answered[0], "value", answered[0]) != 0:
        raise RuntimeError(f"the broker refused the connection ({answered[0]})")
    return client


def publish_paced(client: mqtt.Client, topic: str, rate: float, seconds: float, size: int) -> List[int]:
    """round(rate * seconds) QoS 1 messages at `rate` a second; each one's send time (ns)."""
    total = round(rate * seconds)
    interval_ns = 1e9 / rate
    sent_ns: List[int] = []
    acknowledged = []
    client.on_publish = lambda c, u, mid: acknowledged.append(mid)
    start = time.monotonic_ns()
    for number in range(total):
        due = start + int(number * interval_ns)
        while (remaining := due - time.monotonic_ns()) > 0:
            client.loop(timeout=remaining / 1e9)  # acknowledgements while waiting
        sent_ns.append(time.monotonic_ns())
        client.publish(topic, baseline_payload(number, size), qos=1)
    # The last acknowledgements, so that the broker has every message.
    deadline = time.monotonic() + CONNECT_WAIT
    while len(acknowledged) < total and time.monotonic() < deadline:
        client.loop(timeout=0.05)
    return sent_ns


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="Publishes numbered QoS 1 messages at a steady rate "
                                                 "(driven by lines: ready, go, done)")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--topic", required=True)
    parser.add_argument("--rate", type=float, required=True)
    parser.add_argument("--seconds", type=float, required=True)
    parser.add_argument("--size", type=int, required=True, help="bytes per message")
    parser.add_argument("--log", required=True, help="JSON file of each message's send time")
    arguments = parser.parse_args(argv)
    if arguments.rate <= 0 or arguments.seconds <= 0 or not 0 <= arguments.size <= 1 << 20:
        parser.error("a rate and a time above 0, a size from 0 to 1 MiB")
    try:
        client = connect(arguments.host, arguments.port)
    except (RuntimeError, OSError) as error:
        print(f"error {error}", flush=True)
        return 1
    print("ready", flush=True)
    if sys.stdin.readline().strip() != "go":
        client.disconnect()
        return 0
    sent_ns = publish_paced(client, arguments.topic, arguments.rate, arguments.seconds, arguments.size)
    with open(arguments.log, "w", encoding="utf-8") as log:
        json.dump({"sent_ns": sent_ns}, log)
    client.disconnect()
    print(f"done {len(sent_ns)}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
