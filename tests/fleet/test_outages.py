"""Nothing lost while the broker is away: the bridge keeps the terminals' events
in its on-disk queue and sends them, in order, once the broker is back; a full
queue drops its oldest events and the retained `dropped` count says how many."""

from __future__ import annotations

import string
import time
from typing import Dict, List

from conftest import retained_snapshot, wait_until

SITE = "harbour"
ALPHABET = string.ascii_letters + string.digits
OUTAGE = 10.0  # seconds the broker stays away in the long outage


def keys_for(terminal: int, start: int, count: int) -> str:
    """Keys a terminal types, different from its neighbours'."""
    return "".join(ALPHABET[(terminal * 11 + i) % len(ALPHABET)] for i in range(start, start + count))


def first_copies(messages) -> List[dict]:
    """The events in the order they first came; a repeat (same boot and seq, a
    QoS 1 duplicate) must be the same event."""
    seen: Dict[tuple, bytes] = {}
    events = []
    for message in messages:
        event = message.json()
        mark = (event["boot"], event["seq"])
        if mark in seen:
            assert seen[mark] == message.payload, f"two different events with boot and seq {mark}"
            continue
        seen[mark] = message.payload
        events.append(event)
    return events


def test_keys_typed_while_the_broker_is_down_all_arrive_in_order(fleet):
    terminals, per_line, lines = 10, 10, 10  # 1,000 keys in all
    key_filter = f"ks318/{SITE}/terminals/+/events/key"
    watcher = fleet.watcher(key_filter, f"ks318/{SITE}/dropped", persistent=True)
    bridge = fleet.bridge(SITE)
    term = fleet.term(bridge, terminals, "320", uid_base=(0x0C, 0, 0, 0, 0, 0))
    ids = term.ids()
    typed = {id: "" for id in ids}

    def type_line(line: int) -> None:
        """A line of keys on every terminal."""
        sent = []
        for n, id in enumerate(ids, start=1):
            text = keys_for(n, line * per_line, per_line)
            typed[id] += text
            sent.append(f"@{n} keys {text}")
        term.send(*sent)

    def typed_count() -> int:
        return len(term.frames(code=53, direction="->"))

    for line in range(2):
        type_line(line)
    fleet.broker.stop()
    stopped = time.monotonic()
    for line in range(2, lines - 2):
        type_line(line)
    term.wait_for(lambda: typed_count() >= (lines - 2) * per_line * terminals, "the keys typed in the outage")
    time.sleep(max(0.0, OUTAGE - (time.monotonic() - stopped)))  # the outage's length, not a condition
    fleet.broker.start()
    for line in range(lines - 2, lines):
        type_line(line)

    total = terminals * per_line * lines
    watcher.wait_for(lambda: len({m.json()["seq"] for m in watcher.on(key_filter)}) >= total,
                     f"{total} different key events", timeout=90)
    assert watcher.connections >= 2, "the watcher was never cut off: the broker did not go away"
    events = first_copies(watcher.on(key_filter))
    assert len(events) == total
    assert len({event["boot"] for event in events}) == 1
    for n, id in enumerate(ids, start=1):
        mine = [event for event in events if event["id"] == id]
        assert all(event["terminal"] == n for event in mine)
        assert "".join(chr(event["key"]) for event in mine) == typed[id], f"{id}: keys missing or out of order"
        seqs = [event["seq"] for event in mine]
        assert seqs == sorted(seqs), f"{id}: seqs out of order"

    dropped = [m.payload for m in watcher.on(f"ks318/{SITE}/dropped")]
    assert dropped and set(dropped) == {b"0"}, dropped
    assert retained_snapshot(fleet, SITE)[f"ks318/{SITE}/dropped"].payload == b"0"


def test_full_queue_drops_its_oldest_events_and_counts_them(fleet):
    limit, outage_keys = 20, ALPHABET[:50]
    key_topic = f"ks318/{SITE}/terminals/0C:00:00:00:00:00/events/key"
    dropped_topic = f"ks318/{SITE}/dropped"
    watcher = fleet.watcher(key_topic, dropped_topic, persistent=True)
    bridge = fleet.bridge(SITE, "--queue-limit", str(limit))
    term = fleet.term(bridge, 1, "320", uid_base=(0x0C, 0, 0, 0, 0, 0))
    term.send("keys !")
    watcher.wait_message(key_topic)

    fleet.broker.stop()
    # Typed once the bridge has seen the broker go (closed its connection), so each goes to the queue.
    wait_until(lambda: not bridge.holds_connection_to(fleet.broker.port), "end of the bridge's broker connection")
    term.send(f"keys {outage_keys}")
    term.wait_frames(1, 53, 1 + len(outage_keys), direction="->")
    fleet.broker.start()
    # Back on the broker the bridge tells its dropped count first; keys typed after that are newer than the queue's.
    watcher.wait_message(dropped_topic, lambda m: m.payload != b"0", timeout=60)
    term.send("keys 789")
    watcher.wait_message(key_topic, lambda m: m.json()["key"] == ord("9"))

    dropped = int(watcher.latest(dropped_topic).text())
    received = "".join(chr(event["key"]) for event in first_copies(watcher.on(key_topic)))
    # Events handed to the broker connection before the bridge saw it go are not the queue's.
    straight = len(outage_keys) - limit - dropped
    assert 0 <= straight < len(outage_keys) - limit, f"{dropped} dropped, received {received!r}"
    assert received == "!" + outage_keys[:straight] + outage_keys[straight + dropped:] + "789", \
        f"{dropped} dropped, received {received!r}"
    counts = [int(m.text()) for m in watcher.on(dropped_topic)]
    assert counts == sorted(counts), f"the dropped count went down: {counts}"
    assert retained_snapshot(fleet, SITE)[dropped_topic].payload == str(dropped).encode()


def test_queue_outlives_a_bridge_restart_while_the_broker_is_down(fleet):
    event_filter = f"ks318/{SITE}/terminals/+/events/+"
    watcher = fleet.watcher(event_filter, f"ks318/{SITE}/dropped", persistent=True)
    bridge = fleet.bridge(SITE, folder="kept")
    term = fleet.term(bridge, 2, "320", uid_base=(0x0D, 0, 0, 0, 0, 0), folder="terms-before")
    first, second = term.ids()
    old_boot = watcher.wait_count(f"ks318/{SITE}/terminals/+/events/connect", 2)[0].json()["boot"]

    fleet.broker.stop()
    wait_until(lambda: not bridge.holds_connection_to(fleet.broker.port), "end of the bridge's broker connection")
    term.send("@1 keys abcdefghij", "@2 keys klmnopqrst")
    # The bridge has the keys once the last of them lies in its queue folder.
    last_key = f"ks318/{SITE}/terminals/{second}/events/key".encode()

    def queued_keys() -> int:
        return sum(path.read_bytes().count(last_key) for path in bridge.queue_dir.rglob("*") if path.is_file())
    wait_until(lambda: queued_keys() >= 10, "the keys in the bridge's queue folder")
    assert bridge.stop() == 0, "a bridge without its broker must still stop in good order"
    term.close()

    fleet.broker.start()
    again = fleet.bridge(SITE, folder="kept")
    later = fleet.term(again, 1, "320", uid_base=(0x0D, 0, 0, 0, 0, 0), folder="terms-after")
    later.send("keys z")
    watcher.wait_message(f"ks318/{SITE}/terminals/{first}/events/key", lambda m: m.json()["boot"] != old_boot)
    watcher.wait_for(lambda: len([m for m in first_copies(watcher.on(event_filter)) if m["kind"] == "key"]) >= 21,
                     "21 different key events")

    events = [e for e in first_copies(watcher.on(event_filter)) if e["kind"] in ("connect", "key")]
    before = [e for e in events if e["boot"] == old_boot]
    after = [e for e in events if e["boot"] != old_boot]
    # The earlier run's events come first, all of them, in order, with their own boot and seq.
    assert events == before + after, "an event of the new run came before the queued ones"
    for id, typed in ((first, "abcdefghij"), (second, "klmnopqrst")):
        keys = [e for e in before if e["id"] == id and e["kind"] == "key"]
        assert "".join(chr(e["key"]) for e in keys) == typed
        assert [e["seq"] for e in keys] == sorted(e["seq"] for e in keys)
    assert [(e["kind"], e["id"], e["seq"]) for e in after] == [("connect", first, 1), ("key", first, 2)]
    assert after[0]["boot"] > old_boot and after[1]["key"] == ord("z")
    assert retained_snapshot(fleet, SITE)[f"ks318/{SITE}/dropped"].payload == b"0"
