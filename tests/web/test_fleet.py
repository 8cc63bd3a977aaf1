"""ks318-web's fleet mode (--fleet URL) against a real Mosquitto broker on loopback.

Most tests play the sites' bridges with paho (MQTT 5): they publish the retained
online flags, dropped counts and terminal states and the terminals' events, take
the commands the dashboard publishes and answer them on their response topic with
their correlation data. One test runs a real ks318-bridge with a simulated
terminal (when KS318_BRIDGE names one), one drives the page in headless Chromium.

Environment: KS318_WEB, KS318_TERM (conftest.py), KS318_BRIDGE (optional),
KS318_ARTIFACTS (screenshots), KS318_MOSQUITTO (the broker; default: Debian's).
Every wait ends as soon as what it waits for comes and fails only after WAIT s.
"""

from __future__ import annotations

import base64
import json
import os
import signal
import subprocess
import sys
import threading
from pathlib import Path
from typing import Callable, Dict, List, Optional

import pytest

from conftest import (REPOSITORY, WAIT, Term, WebServer, _program, assert_error, bmp_picture, close_pipes, pixel,
                      read_png, wait_on, wait_until)

sys.path.insert(0, str(REPOSITORY / "tests" / "support"))
from mqtt_broker import MqttBroker, free_port  # noqa: E402

import paho.mqtt.client as mqtt  # noqa: E402
from paho.mqtt.packettypes import PacketTypes  # noqa: E402
from paho.mqtt.properties import Properties  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402

# The browser and the helpers of the page's own tests (the module-scoped fixture `driver` among them).
from test_browser import artifacts_dir, driver, open_page, png_size, waiter  # noqa: E402,F401

TOKEN = "t0ken-for-the-tests"


# ---- the dashboard in fleet mode ------------------------------------------------------------------


class FleetWeb(WebServer):
    """ks318-web with --fleet and the options given, on free loopback ports."""

    def __init__(self, directory: Path, *fleet_arguments: str) -> None:
        super().__init__(directory, token=TOKEN, extra_arguments=fleet_arguments)

    def fleet(self) -> dict:
        return self.get_json("/api/fleet")  # type: ignore[return-value]

    def wait_fleet(self, predicate: Callable[[dict], object], what: str) -> dict:
        return wait_until(lambda: (lambda f: f if predicate(f) else None)(self.fleet()), what)  # type: ignore

    def wait_connected(self) -> dict:
        return self.wait_fleet(lambda f: f["connected"], "the dashboard connected to the broker")

    def site(self, name: str) -> Optional[dict]:
        return next((s for s in self.fleet()["sites"] if s["site"] == name), None)

    def fleet_action(self, body: dict):
        return self.request("POST", "/api/fleet/actions", body)

    def wait_line(self, text: str) -> str:
        return wait_until(lambda: next((line for line in list(self.lines) if text in line), None),
                          f"a line with {text!r} from ks318-web")  # type: ignore[return-value]


# ---- the bridges' side, played with paho ------------------------------------------------------------


class MqttPeer:
    """A paho MQTT 5 client of the test broker; its network loop runs on paho's thread."""

    def __init__(self, broker: MqttBroker, client_id: str) -> None:
        self.messages: List[mqtt.MQTTMessage] = []
        self.changed = threading.Condition()
        self._subscribed: Dict[int, threading.Event] = {}
        self.client = mqtt.Client(client_id=client_id, protocol=mqtt.MQTTv5)
        connected = threading.Event()
        self.client.on_connect = lambda client, userdata, flags, reason, properties=None: connected.set()
        self.client.on_subscribe = self._on_subscribe
        self.client.on_message = self._on_message
        self.client.connect("127.0.0.1", broker.port)
        self.client.loop_start()
        assert connected.wait(WAIT), f"{client_id} did not connect to the broker"

    def _on_subscribe(self, client, userdata, mid, granted, properties=None) -> None:
        self._subscribed.setdefault(mid, threading.Event()).set()

    def _on_message(self, client, userdata, message) -> None:
        with self.changed:
            self.messages.append(message)
            self.changed.notify_all()
        self.received(message)

    def received(self, message) -> None:
        """Called on paho's thread for every message (after it is recorded)."""

    def subscribe(self, *topics: str) -> None:
        for topic in topics:
            result, mid = self.client.subscribe(topic, qos=1)
            assert result == mqtt.MQTT_ERR_SUCCESS
            assert self._subscribed.setdefault(mid, threading.Event()).wait(WAIT), f"no SUBACK for {topic}"

    def publish(self, topic: str, payload, retain: bool = False, properties: Optional[Properties] = None) -> None:
        """Publishes (QoS 1) and waits for the broker's PUBACK. Not from paho's thread."""
        if isinstance(payload, (dict, list)):
            payload = json.dumps(payload)
        info = self.client.publish(topic, payload, qos=1, retain=retain, properties=properties)
        info.wait_for_publish(WAIT)
        assert info.is_published(), f"{topic} was not published"

    def wait_messages(self, predicate: Callable[[List[mqtt.MQTTMessage]], object], what: str) -> object:
        return wait_on(self.changed, lambda: predicate(self.messages), lambda: f"no {what} within {WAIT} s")

    def close(self) -> None:
        self.client.disconnect()
        self.client.loop_stop()


class Command:
    def __init__(self, message: mqtt.MQTTMessage) -> None:
        self.topic = message.topic
        self.raw = message.payload
        self.payload = json.loads(message.payload) if message.payload else {}
        # When the command stops being carried out (ms since 1970), apart from the action's fields.
        self.deadline = self.payload.pop("deadline", None)
        properties = message.properties
        self.expiry = getattr(properties, "MessageExpiryInterval", None)
        self.response_topic = getattr(properties, "ResponseTopic", None)
        self.correlation = getattr(properties, "CorrelationData", None)

    @property
    def target(self) -> str:
        """The terminal id, or "all"."""
        parts = self.topic.split("/")
        return "all" if parts[2] == "all" else parts[3]

    @property
    def action(self) -> str:
        return self.topic.split("/")[-1]


def terminal_state(site: str, terminal_id: str, number: int, connected: bool = True, model: int = 320) -> dict:
    return {"site": site, "id": terminal_id, "number": number if connected else 0, "model": model, "version": 32,
            "uid": terminal_id, "text": f"SIM {terminal_id}", "address": "127.0.0.1",
            "connected_since": 1700000000000 + number, "connected": connected}


class FakeBridge(MqttPeer):
    """A site's bridge: its retained state, its events, and answers to its commands.

    `answer(command)` gives the answer's body (None: stays silent); by default every
    targeted terminal is answered "sent"."""

    def __init__(self, broker: MqttBroker, site: str) -> None:
        self.site = site
        self.commands: List[Command] = []
        self.seq = 0
        self.answer: Callable[[Command], Optional[dict]] = self.answer_sent
        super().__init__(broker, f"fake-bridge-{site}")
        self.subscribe(f"ks318/{site}/terminals/+/commands/+", f"ks318/{site}/all/commands/+")

    def answer_sent(self, command: Command) -> dict:
        return {"site": self.site, "action": command.action,
                "results": [{"id": command.target, "terminal": 1, "result": 9, "status": "sent", "reason": ""}]}

    def received(self, message) -> None:
        if "/commands/" not in message.topic:
            return
        command = Command(message)
        with self.changed:
            self.commands.append(command)
            self.changed.notify_all()
        body = self.answer(command)
        if body is not None:
            self.respond(command, body)

    def respond(self, command: Command, body) -> None:
        """Answers on the command's response topic (callable on paho's thread: no wait)."""
        properties = Properties(PacketTypes.PUBLISH)
        properties.CorrelationData = command.correlation
        payload = body if isinstance(body, (bytes, str)) else json.dumps(body)
        self.client.publish(command.response_topic, payload, qos=1, properties=properties)

    def wait_commands(self, count: int) -> List[Command]:
        return wait_on(self.changed, lambda: list(self.commands) if len(self.commands) >= count else None,
                       lambda: f"{self.site}: {count} command(s), got {[c.topic for c in self.commands]}")  # type: ignore

    def online(self, flag) -> None:
        self.publish(f"ks318/{self.site}/online", "true" if flag is True else "false" if flag is False else flag,
                     retain=True)

    def dropped(self, count) -> None:
        self.publish(f"ks318/{self.site}/dropped", str(count), retain=True)

    def terminal(self, terminal_id: str, state) -> None:
        """Retains a terminal's state (a dict, a raw payload, or None: the retained message cleared)."""
        self.publish(f"ks318/{self.site}/terminals/{terminal_id}", b"" if state is None else state, retain=True)

    def event(self, terminal_id: str, kind: str, fields: dict, boot: int = 1700000000000,
              seq: Optional[int] = None) -> dict:
        if seq is None:
            self.seq += 1
            seq = self.seq
        body = {"seq": seq, "boot": boot, "time": 1700000000000 + seq, "kind": kind, "terminal": 1,
                "site": self.site, "id": terminal_id, **fields}
        self.publish(f"ks318/{self.site}/terminals/{terminal_id}/events/{kind}", body)
        return body


# ---- fixtures ----------------------------------------------------------------------------------------


class Started:
    """Everything a test started, stopped at its end in reverse order."""

    def __init__(self, directory: Path) -> None:
        self.directory = directory
        self.stops: List[Callable[[], object]] = []

    def web(self, *fleet_arguments: str) -> FleetWeb:
        web = FleetWeb(self.directory / f"web-{len(self.stops)}", *fleet_arguments)
        self.stops.append(web.stop)
        return web

    def bridge(self, broker: MqttBroker, site: str) -> FakeBridge:
        bridge = FakeBridge(broker, site)
        self.stops.append(bridge.close)
        return bridge

    def broker(self, name: str = "broker", **options) -> MqttBroker:
        """A started broker, stopped after everything started later."""
        server = MqttBroker(self.directory / name, **options)
        server.start()
        self.stops.append(server.stop)
        return server

    def peer(self, broker: MqttBroker, client_id: str) -> MqttPeer:
        peer = MqttPeer(broker, client_id)
        self.stops.append(peer.close)
        return peer

    def stop_all(self) -> None:
        for stop in reversed(self.stops):
            stop()


@pytest.fixture
def started(tmp_path: Path):
    everything = Started(tmp_path)
    yield everything
    everything.stop_all()


@pytest.fixture
def broker(started) -> MqttBroker:
    return started.broker()


@pytest.fixture
def web(started, broker) -> FleetWeb:
    server = started.web("--fleet", broker.url)
    server.wait_connected()
    return server


# ---- the fleet view ---------------------------------------------------------------------------------


def test_fleet_lists_retained_state_and_follows_its_changes(started, broker):
    zulu = started.bridge(broker, "zulu")
    alpha = started.bridge(broker, "Alpha-1")
    # Retained before the dashboard starts: it learns them when it subscribes.
    zulu.online(True)
    zulu.dropped(3)
    zulu.terminal("00:1A:2B:3C:4D:5F", terminal_state("zulu", "00:1A:2B:3C:4D:5F", 2))
    zulu.terminal("00:1A:2B:3C:4D:5E", terminal_state("zulu", "00:1A:2B:3C:4D:5E", 1, model=318))
    alpha.online(False)
    alpha.terminal("10.0.0.7", terminal_state("Alpha-1", "10.0.0.7", 0, connected=False))

    web = started.web("--fleet", broker.url)
    assert web.get_json("/api/info")["fleet"] == broker.url
    fleet = web.wait_fleet(lambda f: f["connected"] and len(f["sites"]) == 2 and
                           sum(len(s["terminals"]) for s in f["sites"]) == 3, "two sites with three terminals")
    assert fleet == {"broker": broker.url, "connected": True, "sites": [
        {"site": "Alpha-1", "online": False, "dropped": 0,
         "terminals": [terminal_state("Alpha-1", "10.0.0.7", 0, connected=False)]},
        {"site": "zulu", "online": True, "dropped": 3,
         "terminals": [terminal_state("zulu", "00:1A:2B:3C:4D:5E", 1, model=318),
                       terminal_state("zulu", "00:1A:2B:3C:4D:5F", 2)]},
    ]}

    stream = web.events()
    alpha.online(True)
    event = stream.wait_event("fleet-state", lambda e: e.get("site") == "Alpha-1")
    assert {k: event[k] for k in ("terminal", "site", "online", "dropped")} == \
        {"terminal": 0, "site": "Alpha-1", "online": True, "dropped": 0}
    # The same flag again changes nothing; the next change is the next event.
    alpha.online(True)
    zulu.terminal("00:1A:2B:3C:4D:5F", terminal_state("zulu", "00:1A:2B:3C:4D:5F", 2, connected=False))
    event = stream.wait_event("fleet-state", lambda e: e.get("id") == "00:1A:2B:3C:4D:5F")
    assert event["state"] == terminal_state("zulu", "00:1A:2B:3C:4D:5F", 2, connected=False)
    zulu.dropped(7)
    stream.wait_event("fleet-state", lambda e: e.get("site") == "zulu" and e.get("dropped") == 7)
    # A cleared retained state takes the terminal off the listing.
    zulu.terminal("00:1A:2B:3C:4D:5E", None)
    event = stream.wait_event("fleet-state", lambda e: e.get("id") == "00:1A:2B:3C:4D:5E")
    assert event["state"] is None
    states = [(e.get("site"), e.get("id"), e.get("online"), e.get("dropped"))
              for kind, e in stream.events if kind == "fleet-state"]
    assert states == [("Alpha-1", None, True, 0), ("zulu", "00:1A:2B:3C:4D:5F", None, None),
                      ("zulu", None, True, 7), ("zulu", "00:1A:2B:3C:4D:5E", None, None)]

    fleet = web.fleet()
    assert [(s["site"], s["online"], s["dropped"], [t["id"] for t in s["terminals"]]) for s in fleet["sites"]] == \
        [("Alpha-1", True, 0, ["10.0.0.7"]), ("zulu", True, 7, ["00:1A:2B:3C:4D:5F"])]
    assert fleet["sites"][1]["terminals"][0]["connected"] is False
    recent = [e for e in web.get_json("/api/events/recent")["events"] if e["kind"] == "fleet-state" and "site" in e]
    assert len(recent) >= 4 and recent[-1]["id"] == "00:1A:2B:3C:4D:5E"


def test_what_does_not_fit_is_left_out(started, broker, web):
    bridge = started.bridge(broker, "north")
    bridge.online(True)
    bridge.terminal("T1", terminal_state("north", "T1", 1))
    web.wait_fleet(lambda f: f["sites"] and f["sites"][0]["terminals"], "site north with T1")
    before = web.fleet()
    stream = web.events()
    other = started.peer(broker, "someone-else")
    for topic, payload in [
        ("ks318/north/online", "maybe"),
        ("ks318/north/dropped", "-1"),
        ("ks318/north/dropped", "12 events"),
        ("ks318/north/terminals/T1", "{not json"),
        ("ks318/north/terminals/T1", "[1, 2]"),
        ("ks318/north/terminals/T1", json.dumps("text")),
        ("ks318/north/terminals/" + "x" * 65, json.dumps(terminal_state("north", "x", 3))),
        ("ks318/bad.site/online", "true"),
        ("ks318/" + "s" * 65 + "/online", "true"),
        ("ks318/north/terminals/T1/events/key", "{not json"),
        ("ks318/north/terminals/T1/events/key", "[]"),
        ("ks318/north/terminals/T1/events/Bad Kind", json.dumps({"kind": "key"})),
        ("ks318/north/extra/online", "true"),
        ("ks318/north", "true"),
    ]:
        other.publish(topic, payload, retain=True)
    other.publish("ks318/north/terminals/T1/events/key", b"\xff" * (1024 * 1024 + 1))
    # A change after all of them: once it shows, every one of them has been read.
    bridge.dropped(1)
    stream.wait_event("fleet-state", lambda e: e.get("dropped") == 1)
    assert [kind for kind, _ in stream.events] == ["fleet-state"], stream.events
    after = web.fleet()
    before["sites"][0]["dropped"] = 1
    assert after == before
    assert web.process.poll() is None


def test_fleet_events_reach_the_stream_and_the_recent_list_once_each(started, broker, web):
    bridge = started.bridge(broker, "depot")
    bridge.online(True)
    web.wait_fleet(lambda f: f["sites"], "site depot")
    stream = web.events()
    key = bridge.event("00:1A:2B:3C:4D:5E", "key", {"key": 97, "char": "a"})
    card = bridge.event("00:1A:2B:3C:4D:5F", "card", {"first": "BADGE 1", "second": ""})
    # A QoS 1 message that came twice (same boot and seq) is one event; another boot is another.
    bridge.event("00:1A:2B:3C:4D:5E", "key", {"key": 97, "char": "a"}, seq=key["seq"])
    restarted = bridge.event("00:1A:2B:3C:4D:5E", "connect", {"model": 320, "version": 32, "address": "127.0.0.1"},
                             boot=1700000009999, seq=1)
    serial = bridge.event("00:1A:2B:3C:4D:5E", "serial", {"port": 1, "text": "hel\u00e9", "hex": "68 65 6c e9"})
    stream.wait_event("fleet", lambda e: e["event"]["seq"] == serial["seq"])

    fleet_events = [e for kind, e in stream.events if kind == "fleet"]
    card = {**card, "first": "***GE 1"}  # a site's card texts are masked as the dashboard's own
    assert [e["event"] for e in fleet_events] == [key, card, restarted, serial]
    for event, sent in zip(fleet_events, [key, card, restarted, serial]):
        assert event["kind"] == "fleet" and event["terminal"] == 0
        assert (event["site"], event["id"]) == ("depot", sent["id"])
    recent = [e for e in web.get_json("/api/events/recent")["events"] if e["kind"] == "fleet"]
    assert [e["event"] for e in recent] == [key, card, restarted, serial]
    assert [e["seq"] for e in recent] == sorted(e["seq"] for e in recent)
    assert [e["seq"] for e in recent] == [e["seq"] for e in fleet_events]


# ---- fleet actions ------------------------------------------------------------------------------------


def test_action_becomes_one_command_per_target_and_returns_the_answers(started, broker, web):
    bridge = started.bridge(broker, "harbour")
    bridge.online(True)
    web.wait_fleet(lambda f: f["sites"], "site harbour")
    held: List[Command] = []

    def answer_b_before_a(command: Command) -> Optional[dict]:
        # The second terminal's answer comes first: the results keep the targets' order.
        if command.target == "A":
            held.append(command)
            return None
        bridge.respond(command, {"site": "harbour", "action": "fill", "results": [
            {"id": "B", "terminal": 2, "result": 9, "status": "sent", "reason": ""}]})
        bridge.respond(held[0], {"site": "harbour", "action": "fill", "results": [
            {"id": "A", "terminal": 1, "result": -2, "status": "busy", "reason": "busy"}]})
        return None

    bridge.answer = answer_b_before_a
    response = web.fleet_action({"site": "harbour", "targets": ["A", "B", "A"], "action": "fill", "index": 5})
    assert response.status == 200, response
    assert response.json() == {"site": "harbour", "action": "fill", "unanswered": [], "results": [
        {"id": "A", "terminal": 1, "result": -2, "status": "busy", "reason": "busy"},
        {"id": "B", "terminal": 2, "result": 9, "status": "sent", "reason": ""}]}
    first, second = bridge.wait_commands(2)
    assert [first.topic, second.topic] == ["ks318/harbour/terminals/A/commands/fill",
                                           "ks318/harbour/terminals/B/commands/fill"]
    assert first.payload == second.payload == {"index": 5}
    # Each expires before the dashboard stops waiting: an unanswered one is never carried out.
    assert all(isinstance(c.deadline, int) and c.expiry and c.expiry <= 15 for c in (first, second))
    assert first.response_topic and second.response_topic and first.response_topic != second.response_topic
    assert first.correlation and second.correlation and first.correlation != second.correlation
    assert all(not t.startswith("ks318/") for t in (first.response_topic, second.response_topic))

    # "all": one command on the site's topic, with every field of the action but those the topic says.
    def answer_all(command: Command) -> dict:
        return {"site": "harbour", "action": command.action, "results": [
            {"id": i, "terminal": n, "result": 177, "status": "sent", "reason": ""} for n, i in ((1, "A"), (2, "B"))]}

    bridge.answer = answer_all
    text = {"site": "harbour", "targets": "all", "action": "text", "x": 3, "y": 4, "text": "h\u00e9llo", "colour": 12,
            "font": "x.ttf"}
    response = web.fleet_action(text)
    assert response.status == 200, response
    assert [(r["id"], r["status"]) for r in response.json()["results"]] == [("A", "sent"), ("B", "sent")]
    command = bridge.wait_commands(3)[2]
    assert command.topic == "ks318/harbour/all/commands/text"
    assert command.payload == {"x": 3, "y": 4, "text": "h\u00e9llo", "colour": 12, "font": "x.ttf"}
    assert "\u00e9".encode() in command.raw

    # An asking action: each result's value comes back as the bridge gave it.
    bridge.answer = lambda c: {"site": "harbour", "action": "volume", "results": [
        {"id": "B", "terminal": 2, "result": 1, "status": "sent", "reason": "", "value": 37}]}
    response = web.fleet_action({"site": "harbour", "targets": ["B"], "action": "volume"})
    assert response.json()["results"][0]["value"] == 37
    assert bridge.wait_commands(4)[3].payload == {}


def test_uploaded_file_travels_in_the_command_as_base64(started, broker, web):
    bridge = started.bridge(broker, "yard")
    bridge.online(True)
    web.wait_fleet(lambda f: f["sites"], "site yard")
    picture = bmp_picture(16, 16, lambda x, y: (x * 16, y * 16, 0))
    upload = web.upload("Logo.BMP", picture)
    response = web.fleet_action({"site": "yard", "targets": "all", "action": "picture", "upload": upload["upload"]})
    assert response.status == 200, response
    command = bridge.wait_commands(1)[0]
    assert command.topic == "ks318/yard/all/commands/picture"
    assert set(command.payload) == {"data", "filename"}
    assert base64.b64decode(command.payload["data"], validate=True) == picture
    assert command.payload["filename"] == upload["upload"] + ".bmp"

    clip = bytes(range(256)) * 40 + b"\0\0"  # not a multiple of 3: base64 padding
    upload = web.upload("../clip.bin", clip)
    response = web.fleet_action({"site": "yard", "targets": ["T9"], "action": "file", "upload": upload["upload"],
                                 "name": "media/clip.bin"})
    assert response.status == 200, response
    command = bridge.wait_commands(2)[1]
    assert command.topic == "ks318/yard/terminals/T9/commands/file"
    assert set(command.payload) == {"data", "filename", "name"} and command.payload["name"] == "media/clip.bin"
    assert base64.b64decode(command.payload["data"], validate=True) == clip
    assert "/" not in command.payload["filename"] and ".." not in command.payload["filename"]

    assert_error(web.fleet_action({"site": "yard", "targets": "all", "action": "font", "upload": "0123456789abcdef"}),
                 404)
    assert len(bridge.commands) == 2


def test_refusals_and_silence_from_the_bridges(started, broker, web):
    bridge = started.bridge(broker, "quarry")
    bridge.online(True)
    web.wait_fleet(lambda f: f["sites"], "site quarry")

    # A command refused as a whole: 400 with the bridge's reason.
    bridge.answer = lambda c: {"site": "quarry", "action": c.action, "error": "unknown terminal id " + c.target}
    reason = assert_error(web.fleet_action({"site": "quarry", "targets": ["nobody"], "action": "live"}), 400)
    assert reason == "unknown terminal id nobody"
    # One refused among answered ones still refuses the request.
    bridge.answer = lambda c: ({"site": "quarry", "action": c.action, "error": "\"index\" is out of range"}
                               if c.target == "B" else bridge.answer_sent(c))
    assert assert_error(web.fleet_action({"site": "quarry", "targets": ["A", "B"], "action": "fill", "index": 1}),
                        400) == "\"index\" is out of range"
    # An answer that is no answer does not count as one.
    bridge.answer = lambda c: "not json at all" if c.target == "A" else {"site": "quarry", "action": "live"}
    response = web.fleet_action({"site": "quarry", "targets": ["A", "B"], "action": "live"})
    assert response.status == 200
    assert response.json() == {"site": "quarry", "action": "live", "results": [], "unanswered": [
        "ks318/quarry/terminals/A/commands/live", "ks318/quarry/terminals/B/commands/live"]}

    # A terminal whose bridge stays silent is listed once the wait (15 s) is over; the others' answers come back.
    bridge.answer = lambda c: None if c.target == "silent" else bridge.answer_sent(c)
    response = web.fleet_action({"site": "quarry", "targets": ["A", "silent", "C"], "action": "restart"})
    assert response.status == 200, response
    assert response.json() == {"site": "quarry", "action": "restart",
                               "results": [bridge.answer_sent(c)["results"][0] for c in bridge.commands[-3::2]],
                               "unanswered": ["ks318/quarry/terminals/silent/commands/restart"]}
    # A late answer to a command no longer waited for is dropped without harm.
    bridge.respond(bridge.commands[-2], bridge.answer_sent(bridge.commands[-2]))
    assert web.fleet_action({"site": "quarry", "targets": ["A"], "action": "live"}).status == 200


def test_short_wait_option_ends_a_silent_command(started, broker):
    web = started.web("--fleet", broker.url, "--fleet-wait", "0.5")
    web.wait_connected()
    bridge = started.bridge(broker, "mute")
    bridge.answer = lambda c: None
    bridge.online(True)
    web.wait_fleet(lambda f: f["sites"], "site mute")
    response = web.fleet_action({"site": "mute", "targets": "all", "action": "live"})
    assert response.status == 200
    assert response.json() == {"site": "mute", "action": "live", "results": [],
                               "unanswered": ["ks318/mute/all/commands/live"]}
    assert bridge.wait_commands(1)[0].topic == "ks318/mute/all/commands/live"


def test_bad_fleet_requests_are_refused_before_anything_is_published(started, broker, web):
    bridge = started.bridge(broker, "east")
    bridge.online(True)
    web.wait_fleet(lambda f: f["sites"], "site east")
    good = {"site": "east", "targets": "all", "action": "live"}
    assert assert_error(web.request("POST", "/api/fleet/actions", good, token=False), 401) == "missing access token"
    assert assert_error(web.request("POST", "/api/fleet/actions", good, token="Bearer nope"), 403) == "wrong access token"
    assert assert_error(web.request("POST", "/api/fleet/actions", "{not json"), 400) == "malformed JSON"
    assert_error(web.request("POST", "/api/fleet/actions", ""), 400)
    assert_error(web.request("POST", "/api/fleet/actions", b" " * ((1 << 20) + 1)), 413)
    assert_error(web.request("GET", "/api/fleet/actions"), 405)
    assert_error(web.request("POST", "/api/fleet", good), 405)
    bad_bodies = [
        [good],
        {"targets": "all", "action": "live"},
        {**good, "site": ""},
        {**good, "site": "a b"},
        {**good, "site": "a/b"},
        {**good, "site": "+"},
        {**good, "site": "s" * 65},
        {**good, "site": 7},
        {"site": "east", "targets": "all"},
        {**good, "action": "dance"},
        {**good, "action": ["live"]},
        {"site": "east", "action": "live"},
        {**good, "targets": []},
        {**good, "targets": "some"},
        {**good, "targets": [1]},
        {**good, "targets": {"model": 320}},
        {**good, "targets": ["a/b"]},
        {**good, "targets": ["+"]},
        {**good, "targets": ["#"]},
        {**good, "targets": [""]},
        {**good, "targets": ["has space"]},
        {**good, "targets": ["x" * 65]},
        {**good, "targets": [f"T{i}" for i in range(1025)]},
        {**good, "action": "picture"},
        {**good, "action": "file", "upload": 12},
    ]
    for body in bad_bodies:
        reason = assert_error(web.fleet_action(body), 400)
        if isinstance(body, dict) and body.get("action") == "dance":
            assert "dance" in reason
    assert "nowhere" in assert_error(web.fleet_action({**good, "site": "nowhere"}), 404)
    # Only now a good one: it is the first command the bridge sees.
    assert web.fleet_action(good).status == 200
    commands = bridge.wait_commands(1)
    assert [c.topic for c in commands] == ["ks318/east/all/commands/live"]


def test_broker_not_there_gives_503_until_it_comes(started, tmp_path):
    port = free_port()
    broker = MqttBroker(tmp_path / "late-broker", port=port)
    started.stops.append(broker.stop)
    web = started.web("--fleet", f"mqtt://127.0.0.1:{port}")
    fleet = web.fleet()
    assert fleet == {"broker": f"mqtt://127.0.0.1:{port}", "connected": False, "sites": []}
    reason = assert_error(web.fleet_action({"site": "east", "targets": "all", "action": "live"}), 503)
    assert "not connected" in reason
    # Bad input is still told as bad input.
    assert_error(web.fleet_action({"site": "east", "targets": [], "action": "live"}), 400)

    broker.start()
    web.wait_connected()
    bridge = started.bridge(broker, "east")
    bridge.online(True)
    web.wait_fleet(lambda f: f["sites"], "site east")
    assert web.fleet_action({"site": "east", "targets": "all", "action": "live"}).status == 200
    stream = web.events()
    broker.stop()
    web.wait_fleet(lambda f: not f["connected"], "the dashboard to see the broker gone")
    event = stream.wait_event("fleet-state", lambda e: e.get("connected") is False)
    assert event["broker"] == f"mqtt://127.0.0.1:{port}"
    assert_error(web.fleet_action({"site": "east", "targets": "all", "action": "live"}), 503)
    # What it knew stays listed while the broker is away.
    assert [s["site"] for s in web.fleet()["sites"]] == ["east"]
    broker.start()
    web.wait_connected()
    stream.wait_event("fleet-state", lambda e: e.get("connected") is True)
    assert web.stop() == 0


def test_fleet_mode_off_and_bad_options(started, broker, tmp_path):
    plain = WebServer(tmp_path / "plain")
    started.stops.append(plain.stop)
    assert plain.get_json("/api/info")["fleet"] is None
    assert "fleet" in assert_error(plain.get("/api/fleet"), 404)
    assert_error(plain.request("POST", "/api/fleet/actions", {"site": "a", "targets": "all", "action": "live"}), 404)
    assert_error(plain.request("POST", "/api/fleet/actions", {}, token=False), 401)

    missing = str(tmp_path / "no-such-file")
    for arguments, words in [
        (["--fleet", "http://127.0.0.1:1883"], "mqtt://"),
        (["--fleet", "mqtt://"], "host"),
        (["--fleet", "mqtt://127.0.0.1:0"], "port"),
        (["--fleet", "mqtt://127.0.0.1:70000"], "port"),
        (["--fleet", "mqtt://127.0.0.1:12ab"], "port"),
        (["--fleet", "mqtt://127.0.0.1:"], "port"),
        (["--fleet", "mqtts://[::1"], "["),
        (["--fleet", "mqtt://user@host"], "host"),
        (["--fleet", broker.url, "--fleet-credentials", missing], "credentials"),
        (["--fleet", broker.url, "--fleet-cafile", missing], "CA"),
        (["--fleet-credentials", str(tmp_path / "plain" / "token")], "--fleet"),
    ]:
        result = subprocess.run([_program("KS318_WEB", "ks318-web"), "--port", "0", "--http", "127.0.0.1:0",
                                 *arguments], capture_output=True, text=True, timeout=WAIT)
        assert result.returncode == 2, (arguments, result)
        assert words in result.stderr, (arguments, result.stderr)


def test_credentials_and_tls_to_the_broker(started, tmp_path):
    users = tmp_path / "users"
    subprocess.run(["mosquitto_passwd", "-c", "-b", str(users), "dashboard", "s3cret pass"], check=True,
                   capture_output=True, timeout=WAIT)
    users.chmod(0o600)
    certificates = make_certificates(tmp_path / "tls")
    broker = started.broker("secure-broker", extra_config=(
        f"allow_anonymous false\npassword_file {users}\n"
        f"cafile {certificates['ca']}\ncertfile {certificates['cert']}\nkeyfile {certificates['key']}\n"))
    good = tmp_path / "good"
    good.write_text("dashboard\ns3cret pass\n")
    bad = tmp_path / "bad"
    bad.write_text("dashboard\nwrong\n")
    url = f"mqtts://127.0.0.1:{broker.port}"
    web = started.web("--fleet", url, "--fleet-credentials", str(good), "--fleet-cafile", str(certificates["ca"]))
    assert web.wait_connected()["broker"] == url
    refused = started.web("--fleet", url, "--fleet-credentials", str(bad), "--fleet-cafile",
                          str(certificates["ca"]))
    assert "refused" in refused.wait_line("not connected")
    untrusted = started.web("--fleet", url, "--fleet-credentials", str(good))  # the system's CAs only
    assert "TLS" in untrusted.wait_line("not connected")
    plain = started.web("--fleet", f"mqtt://127.0.0.1:{broker.port}", "--fleet-credentials", str(good))
    plain.wait_line("not connected")
    for other in (refused, untrusted, plain):
        assert other.fleet()["connected"] is False


def make_certificates(folder: Path) -> Dict[str, Path]:
    """A CA and a server certificate for 127.0.0.1 signed by it (openssl's command line)."""
    folder.mkdir()
    paths = {name: folder / f"{name}.pem" for name in ("ca", "ca-key", "cert", "key", "request")}
    extensions = folder / "extensions"
    extensions.write_text("subjectAltName=IP:127.0.0.1\n")
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    for command in (
        ["openssl", "req", "-x509", *ec, "-keyout", paths["ca-key"], "-out", paths["ca"], "-days", "2",
         "-subj", "/CN=KS318 test CA"],
        ["openssl", "req", *ec, "-keyout", paths["key"], "-out", paths["request"], "-subj", "/CN=127.0.0.1"],
        ["openssl", "x509", "-req", "-in", paths["request"], "-CA", paths["ca"], "-CAkey", paths["ca-key"],
         "-CAcreateserial", "-out", paths["cert"], "-days", "2", "-extfile", extensions],
    ):
        subprocess.run([str(part) for part in command], check=True, capture_output=True, timeout=WAIT)
    return paths


# ---- with a real bridge -------------------------------------------------------------------------------


class Bridge:
    """A ks318-bridge process for one site, terminals on a free loopback port."""

    def __init__(self, program: str, broker: MqttBroker, site: str, directory: Path) -> None:
        directory.mkdir(parents=True)
        port_file = directory / "terminal.port"
        self.lines: List[str] = []
        self.process = subprocess.Popen(
            [program, "--broker", broker.url, "--site", site, "--port", "0", "--bind", "127.0.0.1",
             "--port-file", str(port_file), "--queue-dir", str(directory / "queue")],
            cwd=directory, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, bufsize=1)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        wait_until(lambda: port_file.exists() or self.process.poll() is not None, "the bridge's port file")
        if self.process.poll() is not None:
            self._reader.join(WAIT)
            raise AssertionError("ks318-bridge ended at start:\n" + "\n".join(self.lines))
        self.port = int(port_file.read_text())

    def _read(self) -> None:
        assert self.process.stdout is not None
        for line in self.process.stdout:
            self.lines.append(line.rstrip("\n"))

    def stop(self) -> int:
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=WAIT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=WAIT)
        self._reader.join(WAIT)
        close_pipes(self.process)
        return self.process.returncode


def test_fill_and_picture_through_a_real_bridge_reach_the_terminal(started, broker, web, tmp_path):
    program = os.environ.get("KS318_BRIDGE")
    if not program or not Path(program).exists():
        pytest.skip("KS318_BRIDGE does not name a built ks318-bridge")
    bridge = Bridge(program, broker, "depot", tmp_path / "bridge")
    started.stops.append(bridge.stop)
    term = Term(bridge.port, tmp_path / "term", 1, "320")
    started.stops.append(term.close)
    uid = "00:1A:2B:3C:4D:5E"
    site = web.wait_fleet(lambda f: any(s["site"] == "depot" and s["online"] and
                                        any(t["id"] == uid and t["connected"] for t in s["terminals"])
                                        for s in f["sites"]), "depot online with its terminal connected")
    state = next(t for s in site["sites"] if s["site"] == "depot" for t in s["terminals"] if t["id"] == uid)
    assert (state["model"], state["number"], state["text"]) == (320, 1, "SIM TERMINAL")

    response = web.fleet_action({"site": "depot", "targets": [uid], "action": "fill", "index": 9})
    assert response.status == 200, response
    answer = response.json()
    assert answer["unanswered"] == [] and len(answer["results"]) == 1
    assert answer["results"][0]["id"] == uid and answer["results"][0]["status"] == "sent"
    assert "index 9" in term.wait_frames(1, 33)[0][2]
    screen = term.screen_path(1)
    wait_until(lambda: screen_pixel(screen, 240, 136) == (255, 0, 0), "the terminal's screen to turn red (entry 9)")

    upload = web.upload("halves.bmp", bmp_picture(64, 48, lambda x, y: (230, 20, 20) if x < 32 else (20, 20, 230)))
    response = web.fleet_action({"site": "depot", "targets": "all", "action": "picture", "upload": upload["upload"]})
    assert response.status == 200, response
    assert [r["status"] for r in response.json()["results"]] == ["sent"]
    term.wait_frames(1, 37)
    wait_until(lambda: (p := screen_pixel(screen, 120, 136)) and p[0] > 150 and p[2] < 100,
               "the picture's red half on the terminal's screen")

    stream = web.events()
    term.send("key 97")
    event = stream.wait_event("fleet", lambda e: e["event"].get("kind") == "key")
    assert (event["site"], event["id"], event["event"]["key"]) == ("depot", uid, 97)
    assert bridge.stop() == 0
    web.wait_fleet(lambda f: any(s["site"] == "depot" and not s["online"] for s in f["sites"]),
                   "depot offline after its bridge stopped")


def screen_pixel(path: Path, x: int, y: int):
    try:
        return pixel(read_png(path.read_bytes()), x, y)
    except Exception:  # noqa: BLE001 - a PNG still being written
        return None


# ---- the page ----------------------------------------------------------------------------------------

SITES_JS = """
return [...document.querySelectorAll('#fleet-sites li.site')].map(li => ({
  site: li.dataset.site, online: li.dataset.online, dropped: li.dataset.dropped,
  pressed: li.querySelector('button.site-choice').getAttribute('aria-pressed'),
  words: li.textContent}));
"""
ROWS_JS = """
return [...document.querySelectorAll('#fleet-terminal-rows tr')].map(tr => ({
  id: tr.dataset.id, connected: tr.dataset.connected, model: tr.dataset.model,
  text: tr.querySelector('td.f-text').textContent, state: tr.querySelector('td.f-state').textContent}));
"""


def test_page_lists_sites_and_sends_to_the_chosen_one(driver, started, broker, web):
    plain = WebServer(web.directory.parent / "plain-web")
    started.stops.append(plain.stop)
    open_page(driver, plain)
    assert not driver.find_element(By.ID, "fleet-section").is_displayed()
    assert not driver.find_element(By.ID, "target-fleet-label").is_displayed()

    # An offline site first by name, whose bridge said last that its terminal was connected.
    anchor = started.bridge(broker, "anchor")
    anchor.online(False)
    anchor.terminal("AA:00", terminal_state("anchor", "AA:00", 1))
    harbour = started.bridge(broker, "harbour")
    quarry = started.bridge(broker, "quarry")
    harbour.online(True)
    harbour.terminal("00:1A:2B:3C:4D:5E", terminal_state("harbour", "00:1A:2B:3C:4D:5E", 1))
    harbour.terminal("00:1A:2B:3C:4D:5F", terminal_state("harbour", "00:1A:2B:3C:4D:5F", 2, model=318))
    quarry.online(False)
    quarry.dropped(4)
    quarry.terminal("10.1.2.3", terminal_state("quarry", "10.1.2.3", 0, connected=False))

    open_page(driver, web)
    assert driver.find_element(By.ID, "fleet-section").is_displayed()
    sites = waiter(driver).until(lambda b: (s := b.execute_script(SITES_JS)) and len(s) == 3 and s,
                                 "three sites in the Fleet section")
    assert [(s["site"], s["online"], s["dropped"]) for s in sites] == [("anchor", "false", "0"), ("harbour", "true", "0"),
                                                                       ("quarry", "false", "4")]
    assert "online" in sites[1]["words"] and "offline" in sites[2]["words"] and "4 dropped" in sites[2]["words"]
    assert "offline" in sites[0]["words"] and "connected" not in sites[0]["words"]
    assert [s["pressed"] for s in sites] == ["false", "true", "false"], "the first online site is chosen at first"
    rows = waiter(driver).until(lambda b: (r := b.execute_script(ROWS_JS)) and len(r) == 2 and r, "harbour's terminals")
    assert [(r["id"], r["model"], r["connected"]) for r in rows] == [("00:1A:2B:3C:4D:5E", "320", "true"),
                                                                    ("00:1A:2B:3C:4D:5F", "318", "true")]
    waiter(driver).until(lambda b: b.find_element(By.ID, "fleet-broker").get_attribute("data-connected") == "true",
                         "the broker shown as connected")

    # An offline site's terminal is not shown as connected.
    driver.find_element(By.CSS_SELECTOR, '#fleet-sites li[data-site="anchor"] button').click()
    offline = waiter(driver).until(lambda b: (r := b.execute_script(ROWS_JS)) and r[0]["id"] == "AA:00" and r,
                                   "anchor's terminal")
    assert [(r["connected"], r["state"]) for r in offline] == [("false", "site offline")]

    # The other site, as the page shows it; then back to harbour and a fill for one of its terminals.
    driver.find_element(By.CSS_SELECTOR, '#fleet-sites li[data-site="quarry"] button').click()
    waiter(driver).until(lambda b: [r["id"] for r in b.execute_script(ROWS_JS)] == ["10.1.2.3"], "quarry's terminal")
    path = artifacts_dir() / "fleet.png"
    assert driver.save_screenshot(str(path))
    print(f"screenshot: {path}")
    assert png_size(path) == (1280, 800)

    driver.find_element(By.CSS_SELECTOR, '#fleet-sites li[data-site="harbour"] button').click()
    box = waiter(driver).until(lambda b: b.find_element(
        By.CSS_SELECTOR, '#fleet-terminal-rows tr[data-id="00:1A:2B:3C:4D:5F"] input.fleet-select'), "the checkbox")
    box.click()
    assert driver.find_element(By.ID, "target-fleet").is_selected()
    driver.find_element(By.ID, "tab-fill").click()
    index = driver.find_element(By.ID, "fill-index")
    index.clear()
    index.send_keys("12")
    driver.find_element(By.ID, "do-fill").click()
    command = harbour.wait_commands(1)[0]
    assert command.topic == "ks318/harbour/terminals/00:1A:2B:3C:4D:5F/commands/fill"
    assert command.payload == {"index": 12}
    lines = waiter(driver).until(lambda b: b.execute_script("""
const card = document.querySelector('#results section.result[data-action="fill"]');
if (!card || card.dataset.state !== 'done') return null;
return [...card.querySelectorAll('li')].map(li => ({id: li.dataset.id, status: li.dataset.status}));"""),
        "the fill's result card")
    assert lines == [{"id": "00:1A:2B:3C:4D:5F", "status": "sent"}]
    assert quarry.commands == []

    # A site's change shows without a reload.
    quarry.online(True)
    waiter(driver).until(lambda b: [s["online"] for s in b.execute_script(SITES_JS)] == ["false", "true", "true"],
                         "quarry shown online")
