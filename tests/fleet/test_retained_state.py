"""What a subscriber learns from retained messages alone across a bridge's stop,
kill and restart: the site's online flag and each terminal's state, never a
terminal shown connected that is not."""

from __future__ import annotations

import shutil
import time

from conftest import retained_snapshot, terminal_state, wait_states, wait_until, without_since

UIDS = (0x0E, 0, 0, 0, 0, 0x10)


def site_topics(site: str, ids: list) -> set:
    return {f"ks318/{site}/online", f"ks318/{site}/dropped"} | {f"ks318/{site}/terminals/{id}" for id in ids}


def check_snapshot(fleet, site: str, online: bytes, states: list) -> dict:
    """A fresh subscriber's view: exactly the flag, the count and these states."""
    snapshot = retained_snapshot(fleet, site)
    assert set(snapshot) == site_topics(site, [state["id"] for state in states]), sorted(snapshot)
    assert snapshot[f"ks318/{site}/online"].payload == online
    assert snapshot[f"ks318/{site}/dropped"].payload == b"0"
    assert snapshot[f"ks318/{site}/online"].qos == 1 and snapshot[f"ks318/{site}/dropped"].qos == 1
    kept = {}
    for state in states:
        message = snapshot[f"ks318/{site}/terminals/{state['id']}"]
        assert message.qos == 1
        kept[state["id"]] = message.json()
        assert without_since(kept[state["id"]]) == state
    return kept


def test_stopped_bridge_goes_offline_and_its_restart_with_fewer_terminals_is_shown_right(fleet):
    site = "east"
    watcher = fleet.watcher()
    bridge = fleet.bridge(site, folder="east")
    term = fleet.term(bridge, 4, "318,320", UIDS, folder="terms-before")
    ids = term.ids()
    models = [318, 320, 318, 320]
    connected = [terminal_state(site, ids[n - 1], n, models[n - 1], n) for n in range(1, 5)]
    wait_states(watcher, site, connected, "four connected states")
    watcher.wait_latest(f"ks318/{site}/online", b"true")

    assert bridge.stop() == 0, bridge.output()
    stopped_ms = int(time.time() * 1000)
    offline = [terminal_state(site, ids[n - 1], n, models[n - 1], n, connected=False) for n in range(1, 5)]
    # Told before the bridge leaves, so a subscriber that sees it offline sees its terminals gone too.
    wait_states(watcher, site, offline, "four disconnected states")
    flag = watcher.wait_latest(f"ks318/{site}/online", b"false")
    assert all(watcher.position(watcher.latest(f"ks318/{site}/terminals/{id}")) < watcher.position(flag) for id in ids)
    term.close()
    check_snapshot(fleet, site, b"false", offline)

    again = fleet.bridge(site, folder="east")
    fewer = fleet.term(again, 2, "318,320", UIDS, folder="terms-after")
    assert fewer.ids() == ids[:2]
    now = connected[:2] + offline[2:]
    watcher.wait_latest(f"ks318/{site}/online", b"true")
    wait_states(watcher, site, now, "two connected and two disconnected states")
    kept = check_snapshot(fleet, site, b"true", now)
    assert all(stopped_ms <= kept[id]["connected_since"] <= int(time.time() * 1000) for id in ids[:2]), kept


def test_killed_bridge_leaves_its_will_and_its_restart_corrects_what_it_left(fleet):
    site = "west"
    watcher = fleet.watcher()
    bridge = fleet.bridge(site, folder="west")
    term = fleet.term(bridge, 3, "320", UIDS, folder="terms-before")
    ids = term.ids()
    connected = [terminal_state(site, ids[n - 1], n, 320, n) for n in range(1, 4)]
    wait_states(watcher, site, connected, "three connected states")
    first_boot = watcher.wait_message(f"ks318/{site}/terminals/{ids[0]}/events/connect").json()["boot"]
    watcher.wait_latest(f"ks318/{site}/online", b"true")

    bridge.kill()
    # The broker sees the connection end and publishes the will.
    watcher.wait_latest(f"ks318/{site}/online", b"false", timeout=30)
    term.close()
    # Nobody told the broker of the terminals: their states still say connected.
    check_snapshot(fleet, site, b"false", connected)

    again = fleet.bridge(site, folder="west")
    one = fleet.term(again, 1, "320", UIDS, folder="terms-after")
    watcher.wait_latest(f"ks318/{site}/online", b"true")
    # Alone in its ks318-term, the terminal's identifier text has no number.
    now = [{**connected[0], "text": "SIM TERMINAL"}] + \
        [terminal_state(site, id, n, 320, n, connected=False) for n, id in enumerate(ids, 1)][1:]
    wait_states(watcher, site, now, "one connected and two corrected states")
    check_snapshot(fleet, site, b"true", now)

    connects = watcher.wait_count(f"ks318/{site}/terminals/{ids[0]}/events/connect", 2)
    restarted = connects[-1].json()
    assert restarted["boot"] > first_boot and restarted["seq"] == 1, restarted
    one.send("key 66")
    key = watcher.wait_message(f"ks318/{site}/terminals/{ids[0]}/events/key").json()
    assert (key["boot"], key["seq"], key["key"], key["terminal"]) == (restarted["boot"], 2, 66, 1)


def test_states_come_back_to_a_broker_that_lost_them_and_departed_ones_expire(fleet):
    site = "south"
    watcher = fleet.watcher()
    bridge = fleet.bridge(site, "--departed-expiry", "2")
    term = fleet.term(bridge, 3, "320", UIDS)
    connected = [terminal_state(site, id, n, 320, n) for n, id in enumerate(term.ids(), 1)]
    wait_states(watcher, site, connected, "three connected states")

    # The broker comes back without anything it held.
    fleet.broker.kill()
    shutil.rmtree(fleet.broker.folder / "data")
    (fleet.broker.folder / "data").mkdir()
    fleet.broker.start()
    wait_until(lambda: set(retained_snapshot(fleet, site)) >= {f"ks318/{site}/terminals/{id}" for id in term.ids()},
               "the three states back at the broker", step=0.5)
    check_snapshot(fleet, site, b"true", connected)

    # A terminal that came and went: its state says so, then the broker forgets it.
    watcher = fleet.watcher()  # the first one's session went with the broker's state
    visitor = fleet.term(bridge, 1, "320", (0x0E, 0, 0, 0, 0, 0x99), folder="visitor")
    (gone,) = visitor.ids()
    visitor.close()
    watcher.wait_message(f"ks318/{site}/terminals/{gone}", lambda m: m.json()["connected"] is False)
    wait_until(lambda: f"ks318/{site}/terminals/{gone}" not in retained_snapshot(fleet, site),
               "the departed state forgotten", step=0.5)
    check_snapshot(fleet, site, b"true", connected)
