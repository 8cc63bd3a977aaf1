"""paho-mqtt (1.6) MQTT 5 clients for the soak: connected, subscribed and
disconnected with bounded waits, the network loop on paho's own thread."""

from __future__ import annotations

import threading
from typing import Callable, List, Optional, Tuple

import paho.mqtt.client as mqtt

WAIT = 30.0  # seconds: bound of the wait for the broker's acknowledgements

MessageHandler = Callable[[mqtt.Client, object, mqtt.MQTTMessage], None]


class MqttLink:
    def __init__(self, host: str, port: int, client_id: str, on_message: Optional[MessageHandler] = None) -> None:
        self.host, self.port = host, port
        self.client = mqtt.Client(client_id=client_id, protocol=mqtt.MQTTv5)
        self._changed = threading.Condition()
        self._connected: Optional[int] = None  # the CONNACK's reason code
        self._subscribed: dict = {}            # mid -> reason codes
        self.client.on_connect = self._on_connect
        self.client.on_subscribe = self._on_subscribe
        if on_message is not None:
            self.client.on_message = on_message

    def _on_connect(self, client, userdata, flags, reason, properties=None) -> None:
        with self._changed:
            self._connected = reason.value if hasattr(reason, "value") else int(reason)
            self._changed.notify_all()

    def _on_subscribe(self, client, userdata, mid, reasons, properties=None) -> None:
        with self._changed:
            self._subscribed[mid] = reasons
            self._changed.notify_all()

    def connect(self) -> None:
        self.client.connect(self.host, self.port, keepalive=30, clean_start=True)
        self.client.loop_start()
        with self._changed:
            if not self._changed.wait_for(lambda: self._connected is not None, WAIT):
                raise RuntimeError(f"no answer from the broker at {self.host}:{self.port} within {WAIT} s")
            if self._connected != 0:
                raise RuntimeError(f"the broker refused the connection (reason {self._connected})")

    def subscribe(self, topics: List[Tuple[str, int]]) -> None:
        result, mid = self.client.subscribe(topics)
        if result != mqtt.MQTT_ERR_SUCCESS:
            raise RuntimeError(f"cannot subscribe: {mqtt.error_string(result)}")
        with self._changed:
            if not self._changed.wait_for(lambda: mid in self._subscribed, WAIT):
                raise RuntimeError(f"the broker did not acknowledge the subscription within {WAIT} s")
            granted = [getattr(code, "value", code) for code in self._subscribed[mid]]
        if any(code >= 0x80 for code in granted):
            raise RuntimeError(f"the broker refused a subscription: {granted}")

    def close(self) -> None:
        self.client.disconnect()
        self.client.loop_stop()
