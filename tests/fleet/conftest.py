"""Shared pieces of the fleet's tests: a Mosquitto broker on a free loopback port,
ks318-bridge processes serving sites, ks318-term processes playing their
terminals, MQTT watchers and a commander; everything a test starts is stopped
at its end (terminals first, then bridges, clients and the broker).

Fixture:
  fleet   a Fleet with its broker started; fleet.bridge(site), fleet.term(bridge, count),
          fleet.watcher(filters), fleet.commander() start the rest.
"""

from __future__ import annotations

import importlib.util
import sys
from pathlib import Path
from typing import Dict, List, Optional, Sequence, Tuple

import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "support"))
sys.path.insert(0, str(HERE))

from mqtt_broker import MqttBroker  # noqa: E402
from fleet_processes import Bridge, Term, terminal_id  # noqa: E402
from mqtt_clients import WAIT, Commander, Message, MqttWatcher, wait_until  # noqa: E402


def _dashboard_test_pictures():
    """The PNG reader and BMP writer of the dashboard's tests (one copy of each)."""
    spec = importlib.util.spec_from_file_location("ks318_dashboard_test_pieces", HERE.parent / "web" / "conftest.py")
    module = importlib.util.module_from_spec(spec)  # type: ignore[arg-type]
    spec.loader.exec_module(module)  # type: ignore[union-attr]
    return module


_pictures = _dashboard_test_pictures()
read_png = _pictures.read_png
pixel = _pictures.pixel
bmp_picture = _pictures.bmp_picture


def terminal_state(site: str, id: str, number: int, model: int, index: int, connected: bool = True) -> dict:
    """The retained state expected for terminal `index` of a ks318-term (all but
    connected_since, which the caller checks apart)."""
    return {"site": site, "id": id, "number": number if connected else 0, "model": model, "version": 32, "uid": id,
            "text": f"SIM TERMINAL {index}", "address": "127.0.0.1", "connected": connected}


def without_since(state: dict) -> dict:
    """The state but for connected_since and terminal_id (the library's id of the
    connection, which the callers that need it check apart)."""
    return {key: value for key, value in state.items() if key not in ("connected_since", "terminal_id")}


class Fleet:
    """One broker and what a test starts around it."""

    def __init__(self, directory: Path, broker_config: str = "",
                 credentials: Optional[Tuple[str, str]] = None) -> None:
        """`broker_config`: more lines for the broker's configuration; `credentials`:
        the user name and password the tests' own clients give it."""
        self.directory = directory
        self.credentials = credentials
        self.broker = MqttBroker(directory / "broker", extra_config=broker_config)
        self.broker.start()
        self.bridges: List[Bridge] = []
        self.terms: List[Term] = []
        self.clients: List[object] = []

    def watcher(self, *filters: str, persistent: bool = False) -> MqttWatcher:
        watcher = MqttWatcher(self.broker.port, filters or ("ks318/#",), persistent=persistent,
                              credentials=self.credentials)
        self.clients.append(watcher)
        return watcher

    def commander(self) -> Commander:
        commander = Commander(self.broker.port, self.credentials)
        self.clients.append(commander)
        return commander

    def bridge(self, site: str, *extra: str, folder: Optional[str] = None, broker: Optional[str] = None) -> Bridge:
        """A started bridge; `folder` names its directory (and queue) so that a
        restarted bridge can take the same one; `broker`: another URL of the broker."""
        bridge = Bridge(self.directory / (folder or f"bridge-{site}"), broker or self.broker.url, site, *extra)
        self.bridges.append(bridge)
        return bridge

    def term(self, bridge: Bridge, count: int, models: str = "320",
             uid_base: Tuple[int, ...] = (0, 0x1A, 0x2B, 0x3C, 0x4D, 0), folder: Optional[str] = None) -> Term:
        """Terminals connected to the bridge, each through its handshake."""
        term = Term(bridge.port, self.directory / (folder or f"term-{len(self.terms) + 1}"), count, models, uid_base)
        self.terms.append(term)
        term.wait_identified()
        return term

    def close(self) -> None:
        """Stops everything, also when one of them will not stop; the first such fault is raised."""
        faults = []
        stops = [term.close for term in self.terms] + [bridge.kill for bridge in self.bridges] + \
            [client.close for client in self.clients] + [self.broker.kill]  # type: ignore[attr-defined]
        for stop in stops:
            try:
                stop()
            except Exception as fault:  # noqa: BLE001 - the rest must still be stopped
                faults.append(fault)
        if faults:
            raise faults[0]


@pytest.fixture
def fleet(tmp_path: Path):
    started = Fleet(tmp_path)
    yield started
    started.close()


def wait_states(watcher: MqttWatcher, site: str, expected: Sequence[dict], what: str) -> List[dict]:
    """Waits until the last state of each terminal in `expected` equals it (but
    for connected_since); returns those last states."""
    def all_there() -> Optional[List[dict]]:
        found = []
        for state in expected:
            last = watcher.latest(f"ks318/{site}/terminals/{state['id']}")
            if last is None or without_since(last.json()) != state:  # type: ignore[arg-type]
                return None
            found.append(last.json())
        return found
    return watcher.wait_for(all_there, what)  # type: ignore[return-value]


def retained_snapshot(fleet: Fleet, site: str) -> Dict[str, Message]:
    """What a fresh subscriber to the site gets from retained messages, by topic.
    A marker published after subscribing comes after every retained message, so
    its arrival says they are all in."""
    watcher = MqttWatcher(fleet.broker.port, (f"ks318/{site}/#", "fleet-tests/marker/#"), name="snapshot",
                          credentials=fleet.credentials)
    try:
        marker = f"fleet-tests/marker/{watcher.client_id}"
        watcher.client.publish(marker, b"end", qos=1)
        watcher.wait_message(marker)
        retained = [m for m in watcher.on(f"ks318/{site}/#") if m.retain]
    finally:
        watcher.close()
    snapshot = {m.topic: m for m in retained}
    assert len(snapshot) == len(retained), f"a retained topic came twice: {retained}"
    return snapshot


__all__ = ["WAIT", "Fleet", "Message", "MqttWatcher", "Commander", "Bridge", "Term", "terminal_id", "terminal_state",
           "without_since", "wait_states", "read_png", "pixel", "bmp_picture", "retained_snapshot", "wait_until"]
