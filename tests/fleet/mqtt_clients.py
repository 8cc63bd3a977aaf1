"""MQTT 5 clients for the fleet's tests (paho-mqtt): a watcher that keeps every
message it receives, in order, with bounded waits, and a commander that sends
a bridge commands with a response topic and correlation data and waits for the
answer that carries them back."""

from __future__ import annotations

import itertools
import json
import os
import threading
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Sequence, Tuple, Union

import paho.mqtt.client as mqtt
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties

from waits import WAIT, wait_on, wait_until  # noqa: F401  (the fleet tests take them from here)


_client_numbers = itertools.count(1)


@dataclass
class Message:
    topic: str
    payload: bytes
    qos: int
    retain: bool
    correlation: Optional[bytes]
    response_topic: Optional[str]
    _parsed: object = field(default=None, repr=False, compare=False)

    def text(self) -> str:
        return self.payload.decode("utf-8")

    def json(self) -> object:
        """The payload as JSON, read once (waits ask for it again and again) and
        shared: not to be changed."""
        if self._parsed is None:
            self._parsed = json.loads(self.payload.decode("utf-8"))
        return self._parsed

    def __repr__(self) -> str:
        return f"<{self.topic}{' (retained)' if self.retain else ''} {self.payload[:160]!r}>"


def _message_of(raw: mqtt.MQTTMessage) -> Message:
    properties = getattr(raw, "properties", None)
    correlation = getattr(properties, "CorrelationData", None) if properties is not None else None
    response_topic = getattr(properties, "ResponseTopic", None) if properties is not None else None
    return Message(raw.topic, bytes(raw.payload), raw.qos, bool(raw.retain), correlation, response_topic)


class MqttWatcher:
    """A subscriber on its own network thread. `persistent`: clean start off and a
    session that outlives the connection, so the broker keeps QoS 1 messages for
    it while it is away (also across a broker restart); paho reconnects on its own."""

    def __init__(self, port: int, filters: Sequence[str] = ("ks318/#",), persistent: bool = False,
                 name: str = "watcher", credentials: Optional[Tuple[str, str]] = None) -> None:
        self.messages: List[Message] = []
        self.connections = 0
        self._changed = threading.Condition()
        self._granted: Optional[list] = None
        self.client_id = f"fleet-test-{name}-{os.getpid()}-{next(_client_numbers)}"
        # "{client_id}" in a filter stands for this client's id.
        self._filters = [topic.replace("{client_id}", self.client_id) for topic in filters]
        self.client = mqtt.Client(client_id=self.client_id, protocol=mqtt.MQTTv5)
        self.client.on_connect = self._on_connect
        self.client.on_subscribe = self._on_subscribe
        self.client.on_message = self._on_message
        self.client.reconnect_delay_set(min_delay=1, max_delay=2)
        if credentials:
            self.client.username_pw_set(*credentials)
        properties = Properties(PacketTypes.CONNECT)
        if persistent:
            properties.SessionExpiryInterval = 600
        self.client.connect("127.0.0.1", port, keepalive=30, clean_start=not persistent, properties=properties)
        self.client.loop_start()
        wait_on(self._changed, lambda: self._granted is not None,
                lambda: f"{self.client_id}: no subscription to {self._filters} within {WAIT} s")
        assert all(getattr(code, "value", code) == 1 for code in self._granted), \
            f"{self.client_id}: subscriptions granted {self._granted}, QoS 1 asked"

    # paho's callbacks, on its network thread

    def _on_connect(self, client, userdata, flags, reason, properties) -> None:
        with self._changed:
            self.connections += 1
            first = self.connections == 1
            self._changed.notify_all()
        # A resumed session keeps its subscriptions; subscribing again would bring
        # the retained messages once more.
        if first and getattr(reason, "value", reason) < 128:
            client.subscribe([(topic, 1) for topic in self._filters])

    def _on_subscribe(self, client, userdata, mid, reason_codes, properties) -> None:
        with self._changed:
            self._granted = list(reason_codes)
            self._changed.notify_all()

    def _on_message(self, client, userdata, raw) -> None:
        message = _message_of(raw)
        with self._changed:
            self.messages.append(message)
            self._changed.notify_all()

    # reading

    def on(self, topic_filter: str) -> List[Message]:
        """The messages so far whose topic matches the filter, in arrival order."""
        with self._changed:
            return [m for m in self.messages if mqtt.topic_matches_sub(topic_filter, m.topic)]

    def position(self, message: Message) -> int:
        """Where the message came in the order of all this watcher received."""
        with self._changed:
            return next(i for i, kept in enumerate(self.messages) if kept is message)

    def latest(self, topic: str) -> Optional[Message]:
        found = self.on(topic)
        return found[-1] if found else None

    def wait_for(self, predicate: Callable[[], object], what: str, timeout: float = WAIT) -> object:
        def failure() -> str:
            tail = "\n".join(repr(m) for m in self.messages[-15:])
            return f"{self.client_id}: no {what} within {timeout} s; its last messages:\n{tail}"
        return wait_on(self._changed, predicate, failure, timeout)

    def wait_message(self, topic_filter: str, match: Callable[[Message], bool] = lambda m: True,
                     timeout: float = WAIT) -> Message:
        def found() -> Optional[Message]:
            for message in self.on(topic_filter):
                if match(message):
                    return message
            return None
        return self.wait_for(found, f"message on {topic_filter}", timeout)  # type: ignore[return-value]

    def wait_latest(self, topic: str, payload: bytes, timeout: float = WAIT) -> Message:
        """Waits until the last message on the topic carries exactly `payload`."""
        def found() -> Optional[Message]:
            last = self.latest(topic)
            return last if last is not None and last.payload == payload else None
        what = f"{payload!r} as the last message on {topic}"
        return self.wait_for(found, what, timeout)  # type: ignore[return-value]

    def wait_count(self, topic_filter: str, count: int, timeout: float = WAIT) -> List[Message]:
        def enough() -> Optional[List[Message]]:
            found = self.on(topic_filter)
            return found if len(found) >= count else None
        return self.wait_for(enough, f"{count} messages on {topic_filter}", timeout)  # type: ignore[return-value]

    def close(self) -> None:
        self.client.disconnect()
        self.client.loop_stop()


Payload = Union[dict, list, str, bytes, None]


def _payload_bytes(payload: Payload) -> bytes:
    if payload is None:
        return b""
    if isinstance(payload, (dict, list)):
        return json.dumps(payload).encode()
    if isinstance(payload, str):
        return payload.encode()
    return payload


@dataclass
class Pending:
    """A command sent, its answer not yet read."""
    topic: str
    response_topic: str
    correlation: bytes


class Commander:
    """Sends commands (QoS 1) with a response topic of its own and fresh
    correlation data, and waits for the answer that carries them back."""

    def __init__(self, port: int, credentials: Optional[Tuple[str, str]] = None) -> None:
        # Bridges answer only under the reply prefix, where each client reads its own part.
        self.answers = MqttWatcher(port, filters=("ks318-reply/{client_id}/#",), name="commander", credentials=credentials)
        self.client = self.answers.client
        self._numbers = itertools.count(1)

    def send(self, topic: str, payload: Payload = None, timeout: float = WAIT) -> Dict:
        """Publishes the command and returns its answer's JSON."""
        return self.answer(self.start(topic, payload), timeout)

    def start(self, topic: str, payload: Payload = None) -> "Pending":
        """Publishes the command; its answer is waited for with answer()."""
        number = next(self._numbers)
        pending = Pending(topic, f"ks318-reply/{self.answers.client_id}/{number}",
                          os.urandom(8) + number.to_bytes(4, "big"))
        properties = Properties(PacketTypes.PUBLISH)
        properties.ResponseTopic = pending.response_topic
        properties.CorrelationData = pending.correlation
        self._publish(topic, payload, properties)
        return pending

    def answer(self, pending: "Pending", timeout: float = WAIT) -> Dict:
        """The answer's JSON; it must carry the command's correlation data, and come once."""
        answer = self.answers.wait_message(pending.response_topic, timeout=timeout)
        assert answer.correlation == pending.correlation, (
            f"the answer to {pending.topic} carries correlation data {answer.correlation!r}, "
            f"not {pending.correlation!r}")
        assert len(self.answers.on(pending.response_topic)) == 1, f"more than one answer to {pending.topic}"
        return answer.json()  # type: ignore[return-value]

    def send_unanswered(self, topic: str, payload: Payload = None) -> None:
        """Publishes the command without a response topic."""
        self._publish(topic, payload, None)

    def send_with(self, topic: str, payload: Payload = None, response_topic: Optional[str] = None,
                  expiry: Optional[int] = None) -> None:
        """Publishes the command with this response topic and message expiry interval, as given."""
        properties = Properties(PacketTypes.PUBLISH)
        if response_topic is not None:
            properties.ResponseTopic = response_topic
            properties.CorrelationData = b"given"
        if expiry is not None:
            properties.MessageExpiryInterval = expiry
        self._publish(topic, payload, properties)

    def _publish(self, topic: str, payload: Payload, properties: Optional[Properties]) -> None:
        info = self.client.publish(topic, _payload_bytes(payload), qos=1, properties=properties)
        assert info.rc == mqtt.MQTT_ERR_SUCCESS, f"publish to {topic}: {mqtt.error_string(info.rc)}"
        info.wait_for_publish(WAIT)
        assert info.is_published(), f"the broker did not take the command on {topic} within {WAIT} s"

    def close(self) -> None:
        self.answers.close()
