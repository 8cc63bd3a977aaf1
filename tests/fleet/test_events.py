"""Terminals' events through ks318-bridge: each on its terminal's own topic, with
the dashboard's fields plus site, id, boot and seq, once and in the order the
terminal sent them; the terminals' retained states beside them."""

from __future__ import annotations

import time

from conftest import retained_snapshot, terminal_state, wait_states, without_since

SITE = "plant-7"
EVENT_FIELDS = {"seq", "time", "kind", "terminal", "terminal_id", "site", "id", "boot"}


def key_code(terminal: int, round_number: int) -> int:
    """A printable key, different for neighbouring terminals and rounds."""
    return 33 + (terminal * 7 + round_number * 3) % 94


def check_event(message, site: str, id: str, kind: str, terminal: int, fields: dict) -> dict:
    """The event's JSON, checked against its topic and the fields it must carry."""
    assert message.topic == f"ks318/{site}/terminals/{id}/events/{kind}"
    assert not message.retain and message.qos == 1, message
    event = message.json()
    assert set(event) == EVENT_FIELDS | set(fields), f"fields of {event}"
    assert (event["site"], event["id"], event["kind"], event["terminal"]) == (site, id, kind, terminal), event
    assert {name: event[name] for name in fields} == fields, event
    assert isinstance(event["seq"], int) and isinstance(event["boot"], int) and isinstance(event["time"], int)
    return event


def test_keys_of_64_terminals_arrive_once_and_in_order_with_their_states(fleet):
    started_ms = int(time.time() * 1000)
    watcher = fleet.watcher()
    bridge = fleet.bridge(SITE)
    watcher.wait_latest(f"ks318/{SITE}/online", b"true")
    assert watcher.wait_message(f"ks318/{SITE}/dropped").payload == b"0"
    banner = f"ks318-bridge: site {SITE}, terminals on port {bridge.port}, broker {fleet.broker.url}"
    bridge.wait_for(lambda: banner in bridge.lines, "its banner")

    term = fleet.term(bridge, 64, "318,320", uid_base=(0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x00))
    ids = term.ids()
    assert ids[0] == "00:1A:2B:3C:4D:00" and ids[63] == "00:1A:2B:3C:4D:3F"
    models = [318 if n % 2 else 320 for n in range(1, 65)]
    expected_states = [terminal_state(SITE, ids[n - 1], n, models[n - 1], n) for n in range(1, 65)]
    states = wait_states(watcher, SITE, expected_states, "the connected states of 64 terminals")
    now_ms = int(time.time() * 1000)
    assert all(started_ms - 1000 <= state["connected_since"] <= now_ms for state in states), states

    connects = watcher.wait_count(f"ks318/{SITE}/terminals/+/events/connect", 64)
    boots = set()
    connect_seq = {}
    for message in connects:
        id = message.topic.split("/")[3]
        n = ids.index(id) + 1
        event = check_event(message, SITE, id, "connect", n, {"model": models[n - 1], "version": 32,
                                                                "address": "127.0.0.1"})
        boots.add(event["boot"])
        connect_seq[id] = event["seq"]
    assert sorted(connect_seq) == sorted(ids), "a connect event is missing or came twice"

    # Five rounds, each a key from every terminal in turn, so terminals' keys interleave.
    rounds = 5
    term.send(*(f"@{n} key {key_code(n, r)}" for r in range(rounds) for n in range(1, 65)))
    key_filter = f"ks318/{SITE}/terminals/+/events/key"
    watcher.wait_for(lambda: len({m.json()["seq"] for m in watcher.on(key_filter)}) >= 64 * rounds,
                     f"{64 * rounds} different key events", timeout=60)
    keys = watcher.on(key_filter)
    assert len(keys) == 64 * rounds, "a key event came more than once"

    by_terminal = {id: [] for id in ids}
    for message in keys:
        by_terminal[message.topic.split("/")[3]].append(message)
    all_seqs = list(connect_seq.values())
    for n, id in enumerate(ids, start=1):
        events = [check_event(m, SITE, id, "key", n, {"key": key_code(n, r), "char": chr(key_code(n, r))})
                  for r, m in enumerate(by_terminal[id])]
        assert len(events) == rounds, f"{id}: {len(events)} keys, {rounds} sent"
        seqs = [connect_seq[id]] + [event["seq"] for event in events]
        assert seqs == sorted(seqs), f"{id}: events out of the terminal's order: {seqs}"
        boots.update(event["boot"] for event in events)
        all_seqs += seqs[1:]
    # The bridge counts its events 1, 2, 3 ... from its start; these are all it had.
    assert sorted(all_seqs) == list(range(1, 64 + 64 * rounds + 1)), "seqs repeated or missing"
    assert len(boots) == 1, f"one bridge run, several boots: {boots}"
    assert started_ms - 1000 <= boots.pop() <= now_ms

    # A fresh subscriber gets the states, the online flag and the dropped count; no event is retained.
    snapshot = retained_snapshot(fleet, SITE)
    assert set(snapshot) == {f"ks318/{SITE}/online", f"ks318/{SITE}/dropped"} | {
        f"ks318/{SITE}/terminals/{id}" for id in ids}
    assert snapshot[f"ks318/{SITE}/online"].payload == b"true"
    assert snapshot[f"ks318/{SITE}/dropped"].payload == b"0"
    for expected, live in zip(expected_states, states):
        kept = snapshot[f"ks318/{SITE}/terminals/{expected['id']}"]
        assert kept.qos == 1 and kept.json() == live


def test_card_serial_and_disconnect_events_carry_their_fields(fleet):
    watcher = fleet.watcher()
    bridge = fleet.bridge(SITE)
    term = fleet.term(bridge, 2, "318,320", uid_base=(0x02, 0, 0, 0, 0, 0xFE))
    first, second = term.ids()
    assert (first, second) == ("02:00:00:00:00:FE", "02:00:00:00:00:FF")
    wait_states(watcher, SITE, [terminal_state(SITE, first, 1, 318, 1), terminal_state(SITE, second, 2, 320, 2)],
                "both terminals' states")

    term.send("@1 card 'first text' 'second'", "@2 serial 1 hello world", "@2 key 13", "@1 card 4711 ''")
    cards = watcher.wait_count(f"ks318/{SITE}/terminals/{first}/events/card", 2)
    card = check_event(cards[0], SITE, first, "card", 1, {"first": "first text", "second": "second"})
    later_card = check_event(cards[1], SITE, first, "card", 1, {"first": "4711", "second": ""})
    serial = check_event(watcher.wait_message(f"ks318/{SITE}/terminals/{second}/events/serial"), SITE, second,
                         "serial", 2, {"port": 1, "text": "hello world",
                                       "hex": "68 65 6c 6c 6f 20 77 6f 72 6c 64"})
    key = check_event(watcher.wait_message(f"ks318/{SITE}/terminals/{second}/events/key"), SITE, second, "key", 2,
                      {"key": 13, "char": None})
    assert card["seq"] < later_card["seq"] and serial["seq"] < key["seq"]

    term.send("@1 disconnect")
    # A terminal that left has no number any more: its disconnect says 0.
    gone = check_event(watcher.wait_message(f"ks318/{SITE}/terminals/{first}/events/disconnect"), SITE, first,
                       "disconnect", 0, {"address": "127.0.0.1"})
    assert gone["seq"] > later_card["seq"]
    state = wait_states(watcher, SITE, [terminal_state(SITE, first, 1, 318, 1, connected=False)],
                        "the left terminal's state")[0]
    assert state["connected"] is False and state["number"] == 0
    # Each event and state names its connection by terminal_id, which no departure moves.
    assert card["terminal_id"] == gone["terminal_id"] == state["terminal_id"] >= 65536
    second_id = watcher.latest(f"ks318/{SITE}/terminals/{second}").json()["terminal_id"]
    assert key["terminal_id"] == second_id != card["terminal_id"]
    # The other terminal is still served (its number may have closed up to 1), under the same id.
    term.send("@2 key 65")
    late = watcher.wait_message(f"ks318/{SITE}/terminals/{second}/events/key", lambda m: m.json()["key"] == 65)
    assert late.json()["terminal"] in (1, 2) and late.json()["terminal_id"] == second_id
    check_event(late, SITE, second, "key", late.json()["terminal"], {"key": 65, "char": "A"})


def test_terminals_without_identifier_go_by_address_and_connection_each_apart(fleet):
    watcher = fleet.watcher()
    bridge = fleet.bridge(SITE)
    # Three terminals without an identifier behind one address.
    terms = [fleet.term(bridge, 1, "320", uid_base=(0, 0, 0, 0, 0, 0), folder=f"bare-{n}") for n in (1, 2, 3)]
    states = [m.json() for m in watcher.wait_count(f"ks318/{SITE}/terminals/+", 3)]
    ids = {state["number"]: state["id"] for state in states}
    assert sorted(ids) == [1, 2, 3], states
    assert all(state["id"] == f"127.0.0.1~{state['terminal_id']}" for state in states), states
    second = ids[2]
    terms[1].send("keys ok")
    keys = watcher.wait_count(f"ks318/{SITE}/terminals/{second}/events/key", 2)
    assert [check_event(m, SITE, second, "key", 2, {"key": ord(c), "char": c})["key"]
            for m, c in zip(keys, "ok")] == [ord("o"), ord("k")]
    connect = watcher.wait_message(f"ks318/{SITE}/terminals/{second}/events/connect").json()
    assert connect["seq"] < keys[0].json()["seq"]
    expected = {**terminal_state(SITE, second, 2, 320, 2), "text": "SIM TERMINAL"}
    del expected["uid"]  # how a missing identifier is shown is the registry's affair
    state = next(state for state in states if state["id"] == second)
    assert {name: value for name, value in without_since(state).items() if name != "uid"} == expected
    # A command to that id reaches that terminal alone.
    answer = fleet.commander().send(f"ks318/{SITE}/terminals/{second}/commands/fill", {"index": 9})
    assert [(result["id"], result["terminal"]) for result in answer["results"]] == [(second, 2)], answer
    terms[1].wait_frames(1, 33)
    answer = fleet.commander().send(f"ks318/{SITE}/all/commands/fill", {"index": 10})
    for term in terms:  # each terminal's frames come in order: a fill of 9 would come before 10
        frames = term.wait_frames(1, 33, 2 if term is terms[1] else 1)
        assert [detail.split()[1] for _, _, detail in frames] == (["9", "10"] if term is terms[1] else ["10"])
