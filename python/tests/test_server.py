"""Starting and stopping the server, alone and with terminals connected."""

from __future__ import annotations

import threading
from ipaddress import IPv4Address
from typing import List

import pytest

from conftest import WAIT, Events, connected

import ks318


class TestLifecycle:
    def test_start_listens_and_stop_releases(self, term_factory) -> None:
        server = ks318.Server(port=0, bind="127.0.0.1")
        assert not server.running and server.port == 0
        server.start()
        try:
            assert server.running
            assert 0 < server.port <= 65535
            assert ks318.library().kq_getserverport() == server.port
            term = term_factory(server.port)
            connect = Events(server).wait(lambda e: isinstance(e, ks318.ConnectEvent), "connect")
            assert connect.number == 1 and connect.terminal.number == 1
        finally:
            server.stop()
        assert not server.running and server.port == 0
        assert ks318.library().kq_getserverport() == 0
        with pytest.raises(ks318.NotRunning):
            server.stop()
        term.close()

    def test_context_manager_starts_and_stops(self) -> None:
        with ks318.Server() as server:
            assert server.running and server.port > 0
            port = server.port
        assert not server.running
        # The port is free again: a new server may take it.
        with ks318.Server(port=port) as again:
            assert again.port == port

    def test_context_manager_stops_on_an_exception(self) -> None:
        with pytest.raises(RuntimeError):
            with ks318.Server() as server:
                raise RuntimeError("host failure")
        assert not server.running
        with ks318.Server() as server:
            assert server.running

    def test_second_start_raises_and_first_keeps_serving(self, server: ks318.Server, term_factory) -> None:
        second = ks318.Server(port=0)
        with pytest.raises(ks318.AlreadyRunning):
            second.start()
        with pytest.raises(ks318.AlreadyRunning):
            with ks318.Server():
                pass
        assert not second.running
        term_factory(server.port)
        connect = Events(server).wait(lambda e: isinstance(e, ks318.ConnectEvent), "connect")
        assert connect.model == 320

    def test_bad_bind_address_raises_with_a_reason(self) -> None:
        with pytest.raises(ks318.StartFailed) as failure:
            ks318.Server(port=0, bind="not-an-address").start()
        error = failure.value
        assert isinstance(error, ks318.ServerError) and isinstance(error, ks318.KS318Error)
        assert error.function == "kq_startserverex" and error.result == 0
        assert "not-an-address" in str(error)
        if ks318.library_has("kq_lastfailure"):
            assert error.reason, "the library gave no reason"
            assert error.reason in str(error)
        # Nothing was left running.
        with ks318.Server() as server:
            assert server.running

    def test_port_outside_range_raises(self) -> None:
        with pytest.raises(ValueError):
            ks318.Server(port=70000).start()
        with pytest.raises(ValueError):
            ks318.Server(port=-1).start()


class TestStopWithTerminals:
    def test_stop_delivers_every_disconnect_and_nothing_after(self, term_factory) -> None:
        calls: List[tuple] = []
        stopped = threading.Event()
        late: List[object] = []
        lock = threading.Lock()

        def record(kind: str):
            def hook(event: ks318.Event) -> None:
                if stopped.is_set():
                    late.append(event)
                with lock:
                    calls.append((kind, event))
            return hook

        server = ks318.Server(on_connect=record("connect"), on_disconnect=record("disconnect"),
                              on_data=record("data"), queue_events=True)
        server.start()
        term = term_factory(server.port, "--count", "3")
        events = Events(server)
        connected(events, 3)
        # Keys keep arriving while the server stops.
        for index in range(1, 4):
            term.send(f"@{index} keys {'x' * 40}")
        events.wait(lambda e: isinstance(e, ks318.KeyEvent), "a key")
        server.stop()
        stopped.set()
        term.end_input()  # it ends once the server has dropped all three
        for index in range(1, 4):
            term.wait_line(rf"T{index} connection closed")
        assert late == []
        with lock:
            disconnects = [event for kind, event in calls if kind == "disconnect"]
            handles = {event.handle for kind, event in calls if kind == "data"}
            order = [kind for kind, _ in calls]
        assert len(disconnects) == 3
        assert all(e.number == 0 and e.terminal.number == 0 and e.address == IPv4Address("127.0.0.1") for e in disconnects)
        assert len({e.terminal for e in disconnects}) == 3
        assert all(e.terminal.id >= ks318.FIRST_TERMINAL_ID for e in disconnects)
        assert len({e.handle for e in disconnects}) == 3
        assert handles <= {event.handle for event in disconnects}
        # Per terminal: connect first, disconnect last.
        assert order[:1] == ["connect"] and order.count("connect") == 3
        for disconnect in disconnects:
            index = next(i for i, (kind, event) in enumerate(calls) if event is disconnect)
            assert not any(kind == "data" and event.handle == disconnect.handle for kind, event in calls[index:])
        queued = list(server.events(timeout=0))
        assert sum(isinstance(e, ks318.DisconnectEvent) for e in events.seen + queued) == 3

    def test_stop_from_a_handler(self, term_factory) -> None:
        done = threading.Event()
        outcome: List[object] = []

        class StoppingServer(ks318.Server):
            def on_data(self, event: ks318.DataEvent) -> None:
                if isinstance(event, ks318.KeyEvent) and event.key == ord("q"):
                    self.stop()
                    outcome.append(self.running)

            def on_disconnect(self, event: ks318.DisconnectEvent) -> None:
                outcome.append(event)
                done.set()

        server = StoppingServer()
        server.start()
        term = term_factory(server.port)
        term.wait_line(r"T1 identified")
        term.send("keys q")
        assert done.wait(WAIT), "no disconnect after a stop made in a handler"
        term.end_input()
        term.wait_line(r"T1 connection closed")
        assert not server.running
        assert False in outcome
        assert any(isinstance(item, ks318.DisconnectEvent) for item in outcome)
        assert server.handler_errors == []
        with ks318.Server() as again:
            assert again.running
