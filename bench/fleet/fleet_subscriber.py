"""What the soak hears from the bridges: every terminal's key events (timed
the moment paho hands them over, then entered in the key ledger), the retained
terminal states and each site's online flag."""

from __future__ import annotations

import json
import threading
import time
from typing import Callable, Dict, Tuple

from key_ledger import KeyLedger
from mqtt_link import MqttLink

KEY_EVENTS = "ks318/+/terminals/+/events/key"
STATES = "ks318/+/terminals/+"
ONLINE = "ks318/+/online"


class FleetSubscriber:
    def __init__(self, host: str, port: int, ledger: KeyLedger, clock: Callable[[], int] = time.monotonic_ns) -> None:
        self.ledger = ledger
        self.clock = clock
        self.changed = threading.Condition()
        self.connected: Dict[Tuple[str, str], bool] = {}  # (site, id) -> the retained state's flag
        self.online: Dict[str, bool] = {}
        self.malformed: list = []          # (topic, why), the first few
        self.malformed_count = 0
        self.key_payload_bytes = 0
        self.key_events = 0
        self.link = MqttLink(host, port, f"ks318-soak-listener-{time.monotonic_ns()}", self._on_message)

    def start(self) -> None:
        self.link.connect()
        self.link.subscribe([(KEY_EVENTS, 1), (STATES, 1), (ONLINE, 1)])

    def stop(self) -> None:
        self.link.close()

    def _bad(self, topic: str, why: str) -> None:
        with self.changed:
            self.malformed_count += 1
            if len(self.malformed) < 10:
                self.malformed.append((topic, why))
            self.changed.notify_all()

    def _on_message(self, client, userdata, message) -> None:
        arrived_ns = self.clock()
        parts = message.topic.split("/")
        if len(parts) == 6 and parts[4] == "events" and parts[5] == "key":
            self._key_event(message.topic, parts[1], parts[3], message.payload, arrived_ns)
        elif len(parts) == 4 and parts[2] == "terminals":
            self._state(message.topic, parts[1], parts[3], message.payload)
        elif len(parts) == 3 and parts[2] == "online":
            with self.changed:
                self.online[parts[1]] = message.payload == b"true"
                self.changed.notify_all()

    def _key_event(self, topic: str, site: str, terminal_id: str, payload: bytes, arrived_ns: int) -> None:
        try:
            event = json.loads(payload)
            key, boot, seq = event["key"], event["boot"], event["seq"]
            consistent = event.get("site") == site and event.get("id") == terminal_id and event.get("kind") == "key"
        except (ValueError, KeyError, TypeError) as error:
            self._bad(topic, f"not a key event: {error}")
            return
        if not consistent or not all(isinstance(v, int) for v in (key, boot, seq)) or not 0 <= key <= 255:
            self._bad(topic, f"fields disagree with the topic or have wrong types: {payload[:200]!r}")
            return
        with self.changed:
            self.key_events += 1
            self.key_payload_bytes += len(payload)
        self.ledger.add(site, terminal_id.upper(), key, boot, seq, arrived_ns)
        with self.changed:
            self.changed.notify_all()

    def _state(self, topic: str, site: str, terminal_id: str, payload: bytes) -> None:
        if not payload:
            return  # a retained state cleared
        try:
            connected = json.loads(payload)["connected"]
        except (ValueError, KeyError, TypeError) as error:
            self._bad(topic, f"not a terminal state: {error}")
            return
        with self.changed:
            self.connected[(site, terminal_id.upper())] = connected is True
            self.changed.notify_all()

    def wait_for(self, predicate: Callable[[], bool], timeout: float) -> bool:
        """Waits (woken by every message) until predicate() holds under the lock, at most timeout s."""
        with self.changed:
            return self.changed.wait_for(predicate, timeout)

    def mean_key_payload(self) -> int:
        with self.changed:
            return round(self.key_payload_bytes / self.key_events) if self.key_events else 0
