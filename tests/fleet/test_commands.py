"""Commands through the broker: a site's `all` topic reaches each of its terminals
and none of another site's, a terminal's own topic that terminal alone; the
answer comes on the response topic with the correlation data and a result per
terminal. Bad commands are refused as a whole with a reason, and the bridge
keeps working."""

from __future__ import annotations

import base64
import json
import signal
import time
from pathlib import Path
from typing import Optional

from conftest import bmp_picture, pixel, read_png, terminal_state, wait_states

NORTH, SOUTH = "north", "south"
NORTH_UIDS = (0x0A, 0, 0, 0, 0, 0x01)
SOUTH_UIDS = (0x0B, 0, 0, 0, 0, 0x01)


def two_sites(fleet, count: int = 3):
    """Two bridges on one broker, `count` terminals each (models 318, 320 in turn)."""
    watcher = fleet.watcher()
    north = fleet.bridge(NORTH)
    south = fleet.bridge(SOUTH)
    north_term = fleet.term(north, count, "318,320", uid_base=NORTH_UIDS)
    south_term = fleet.term(south, count, "318,320", uid_base=SOUTH_UIDS)
    for site, term in ((NORTH, north_term), (SOUTH, south_term)):
        wait_states(watcher, site, [terminal_state(site, id, n, 318 if n % 2 else 320, n)
                                    for n, id in enumerate(term.ids(), start=1)], f"{site}'s terminals")
    return watcher, north_term, south_term


def results_of(answer: dict, site: str, action: str) -> list:
    assert set(answer) == {"site", "action", "results"}, answer
    assert (answer["site"], answer["action"]) == (site, action), answer
    for result in answer["results"]:
        assert isinstance(result.get("terminal_id"), int) and result["terminal_id"] >= 65536, answer
    return sorted(({k: v for k, v in r.items() if k != "terminal_id"} for r in answer["results"]),
                  key=lambda result: result["terminal"])


def assert_all_sent(answer: dict, site: str, action: str, ids: list, result: Optional[int] = None) -> None:
    """Sent to each of the terminals, with the library's result (when given; else one above 0)."""
    results = results_of(answer, site, action)
    assert [(r["id"], r["terminal"]) for r in results] == [(id, n) for n, id in enumerate(ids, start=1)], answer
    assert all(r["status"] == "sent" and r["reason"] == "" and r["result"] > 0 for r in results), answer
    if result is not None:
        assert all(r["result"] == result for r in results), answer


def test_site_wide_commands_reach_that_site_only(fleet):
    _, north_term, south_term = two_sites(fleet)
    commander = fleet.commander()

    answer = commander.send(f"ks318/{NORTH}/all/commands/fill", {"index": 196})
    assert_all_sent(answer, NORTH, "fill", north_term.ids(), 9)
    for n in (1, 2, 3):
        frames = north_term.wait_frames(n, 33)
        assert len(frames) == 1 and frames[0][2].startswith("index 196"), frames

    answer = commander.send(f"ks318/{SOUTH}/all/commands/text",
                            {"x": 4, "y": 5, "text": "south side", "colour": 15, "height": 20})
    assert_all_sent(answer, SOUTH, "text", south_term.ids(), 177)
    for n in (1, 2, 3):
        frames = south_term.wait_frames(n, 35)
        assert len(frames) == 1 and "x 4 y 5 colour 15 height 20" in frames[0][2] and '"south side"' in frames[0][2]

    # A picture carried in the command itself: left half red, right half blue.
    picture = bmp_picture(64, 48, lambda x, y: (230, 20, 20) if x < 32 else (20, 20, 230))
    answer = commander.send(f"ks318/{NORTH}/all/commands/picture",
                            {"data": base64.b64encode(picture).decode(), "filename": "Two Halves.BMP"})
    assert_all_sent(answer, NORTH, "picture", north_term.ids(), 1)
    for n, (width, height) in ((1, (320, 240)), (2, (480, 272)), (3, (320, 240))):
        north_term.wait_frames(n, 37)
        path = north_term.screen_path(n)

        def halves_shown():
            shown = read_png(path.read_bytes())
            left, right = pixel(shown, width // 2 - 40, height // 2), pixel(shown, width // 2 + 40, height // 2)
            return shown[:2] == (width, height) and left[0] > 150 and left[2] < 100 and right[2] > 150 \
                and right[0] < 100
        north_term.wait_for(halves_shown, f"the picture on terminal {n}'s screen")

    # Nothing of one site's commands reached the other's terminals.
    assert south_term.frames(code=33) == [] and south_term.frames(code=37) == []
    assert north_term.frames(code=35) == []


def test_terminal_topic_reaches_that_terminal_alone(fleet):
    _, north_term, south_term = two_sites(fleet)
    commander = fleet.commander()
    first, second, third = north_term.ids()

    answer = commander.send(f"ks318/{NORTH}/terminals/{second}/commands/text",
                            {"x": 10, "y": 20, "text": "only you"})
    assert results_of(answer, NORTH, "text") == [
        {"id": second, "terminal": 2, "result": 177, "status": "sent", "reason": ""}]
    frame = north_term.wait_frames(2, 35)[0]
    assert "x 10 y 20 colour 15 height 0" in frame[2] and '"only you"' in frame[2]

    # Asking actions carry the value read back; model 318 does not take them.
    answer = commander.send(f"ks318/{NORTH}/all/commands/volume", {"value": 37})
    results = results_of(answer, NORTH, "volume")
    assert [(r["id"], r["status"]) for r in results] == [(first, "refused by model"), (second, "sent"),
                                                         (third, "refused by model")]
    assert "318" in results[0]["reason"] and results[0]["result"] == -1
    asked = results_of(commander.send(f"ks318/{NORTH}/terminals/{second}/commands/volume"), NORTH, "volume")
    assert len(asked) == 1 and asked[0]["status"] == "sent" and asked[0]["value"] == 37, asked

    # Without a response topic a command is still carried out.
    commander.send_unanswered(f"ks318/{SOUTH}/terminals/{south_term.ids()[0]}/commands/fill", {"index": 7})
    assert south_term.wait_frames(1, 33)[0][2].startswith("index 7")
    # An empty payload stands for {}.
    assert_all_sent(commander.send(f"ks318/{SOUTH}/all/commands/restart", b""), SOUTH, "restart", south_term.ids())
    for n in (1, 2, 3):
        south_term.wait_frames(n, 121)

    assert north_term.frames(1, 35) == [] and north_term.frames(3, 35) == [] and north_term.frames(code=33) == []
    assert south_term.frames(2, 33) == [] and south_term.frames(3, 33) == []
    assert south_term.frames(code=35) == []


def assert_refused(answer: dict, site: str, action: str) -> str:
    assert set(answer) == {"site", "action", "error"}, answer
    assert (answer["site"], answer["action"]) == (site, action), answer
    assert isinstance(answer["error"], str) and answer["error"].strip(), answer
    return answer["error"]


def test_bad_commands_are_refused_with_a_reason_and_the_bridge_keeps_working(fleet):
    limit = 4096
    watcher = fleet.watcher()
    bridge = fleet.bridge(NORTH, "--max-payload", str(limit))
    term = fleet.term(bridge, 2, "318,320", uid_base=NORTH_UIDS)
    first, second = term.ids()
    wait_states(watcher, NORTH, [terminal_state(NORTH, first, 1, 318, 1), terminal_state(NORTH, second, 2, 320, 2)],
                "both terminals' states")
    commander = fleet.commander()
    all_topic = f"ks318/{NORTH}/all/commands/"

    # A picture just under the payload limit is taken; the same kind just over it is not.
    small = base64.b64encode(bmp_picture(8, 8, lambda x, y: (0, 200, 0))).decode()
    big = base64.b64encode(bmp_picture(40, 30, lambda x, y: (0, 200, 0))).decode()
    small_payload = {"data": small, "filename": "small.bmp"}
    big_payload = {"data": big, "filename": "big.bmp"}
    assert len(json_bytes(small_payload)) < limit < len(json_bytes(big_payload))

    # Refused before anything is sent, also when nobody waits for the answer, or when the
    # broker drops it (the bridge asks it for no packet much larger than its limit).
    commander.send_unanswered(all_topic + "fill", b"{not json")
    commander.send_unanswered(all_topic + "picture", {"data": "A" * 4000000, "filename": "huge.bmp"})
    cases = [
        ("fill", b"{index: 3"),                                     # not JSON
        ("fill", b"[1, 2]"),                                        # JSON, not an object
        ("fill", b"\xff\xfe{}"),                                    # not UTF-8
        ("explode", {}),                                            # unknown action
        ("fill", {"index": "red"}),                                 # wrong type
        ("fill", {"index": 70000}),                                 # out of range
        ("fill", {"index": 3.5}),                                   # not whole
        ("fill", {"index": True}),                                  # not a number
        ("text", {"x": 1, "y": 2}),                                 # text missing
        ("text", {"x": 1, "y": 2, "text": "x" * 200}),              # text too long
        ("keyboard", {"on": "yes"}),                                # wrong type
        ("picture", {"filename": "a.bmp"}),                         # no file
        ("picture", {"data": "***not base64***", "filename": "a.bmp"}),
        ("picture", big_payload),                                   # over --max-payload
        ("fill", b'{"index": 1, "pad": "' + b"x" * 20000 + b'"}'),   # far over it
    ]
    reasons = {}
    for action, payload in cases:
        answer = commander.send(all_topic + action, payload)
        reasons[(action, repr(payload)[:40])] = assert_refused(answer, NORTH, action)
    unknown = "0A:00:00:00:00:99"
    assert_refused(commander.send(f"ks318/{NORTH}/terminals/{unknown}/commands/fill", {"index": 1}), NORTH, "fill")
    assert len(set(reasons.values())) > 3, f"the reasons do not tell the faults apart: {reasons}"

    # None of them reached a terminal; the bridge still serves commands and events.
    assert bridge.running(), bridge.output()
    assert_all_sent(commander.send(all_topic + "picture", small_payload), NORTH, "picture", [first, second], 1)
    assert_all_sent(commander.send(all_topic + "fill", {"index": 5}), NORTH, "fill", [first, second], 9)
    for n in (1, 2):
        assert len(term.wait_frames(n, 37)) == 1
        fills = term.wait_frames(n, 33)
        assert len(fills) == 1 and fills[0][2].startswith("index 5"), fills
    assert term.frames(code=35) == [] and term.frames(code=49) == []
    term.send("@2 keys z")
    key = watcher.wait_message(f"ks318/{NORTH}/terminals/{second}/events/key").json()
    assert (key["key"], key["terminal"]) == (ord("z"), 2)
    assert bridge.stop() == 0


def json_bytes(payload: dict) -> bytes:
    return json.dumps(payload).encode()


def test_commands_sent_together_each_get_their_own_answer_and_keep_their_order(fleet):
    watcher = fleet.watcher()
    bridge = fleet.bridge(NORTH)
    term = fleet.term(bridge, 4, "320", uid_base=NORTH_UIDS)
    ids = term.ids()
    wait_states(watcher, NORTH, [terminal_state(NORTH, id, n, 320, n) for n, id in enumerate(ids, start=1)],
                "four terminals' states")
    commander = fleet.commander()

    # All published before any answer is read; every fifth goes to the whole site.
    sent = []
    for i in range(40):
        if i % 5 == 4:
            topic = f"ks318/{NORTH}/all/commands/fill"
            sent.append((commander.start(topic, {"index": i}), None, i))
        else:
            n = 1 + i % 4
            topic = f"ks318/{NORTH}/terminals/{ids[n - 1]}/commands/text"
            sent.append((commander.start(topic, {"x": i, "y": 1, "text": f"command {i}"}), n, i))
    for pending, n, i in sent:
        answer = commander.answer(pending)
        if n is None:
            assert_all_sent(answer, NORTH, "fill", ids, 9)
        else:
            assert results_of(answer, NORTH, "text") == [
                {"id": ids[n - 1], "terminal": n, "result": 177, "status": "sent", "reason": ""}], (i, answer)

    # Each terminal was given its commands in the order they were published (a fill
    # overtaking a text would wipe it).
    for n in range(1, 5):
        expected = [f"index {i}" if target is None else f'"command {i}"' for _, target, i in sent
                    if target in (None, n)]
        term.wait_for(lambda: len(term.frames(n, 33)) + len(term.frames(n, 35)) >= len(expected),
                      f"{len(expected)} commands on terminal {n}")
        got = [detail for _, code, detail in term.frames(n) if code in (33, 35)]
        assert len(got) == len(expected) and all(want in detail for want, detail in zip(expected, got)), (n, got)


def test_files_carried_in_base64_arrive_byte_for_byte(fleet):
    watcher = fleet.watcher()
    bridge = fleet.bridge(NORTH)
    term = fleet.term(bridge, 2, "318,320", uid_base=NORTH_UIDS)
    first, second = term.ids()
    wait_states(watcher, NORTH, [terminal_state(NORTH, first, 1, 318, 1), terminal_state(NORTH, second, 2, 320, 2)],
                "both terminals' states")
    commander = fleet.commander()

    # Every byte value, and lengths that leave one and two bytes over a whole base64 group.
    for length, name in ((256 * 1200 + 1, "media/clip.bin"), (256 * 3 + 2, "media/short.bin")):
        data = bytes(range(256)) * (length // 256) + bytes(range(length % 256))
        answer = commander.send(f"ks318/{NORTH}/terminals/{second}/commands/file",
                                {"data": base64.b64encode(data).decode(), "filename": "clip.bin", "name": name})
        assert results_of(answer, NORTH, "file") == [
            {"id": second, "terminal": 2, "result": 1, "status": "sent", "reason": ""}], answer
        received = term.directory / "files" / "2" / name
        term.wait_for(lambda: received.exists() and received.stat().st_size == len(data), f"{name} on terminal 2")
        assert received.read_bytes() == data
    assert not (term.directory / "files" / "1" / "media").exists()

    font = Path("/usr/share/fonts/truetype/dejavu/DejaVuSerif-Bold.ttf").read_bytes()
    answer = commander.send(f"ks318/{NORTH}/all/commands/font",
                            {"data": base64.b64encode(font).decode(), "filename": "Serif.TTF"})
    assert_all_sent(answer, NORTH, "font", [first, second], len(font))
    for n, files_before in ((1, 0), (2, 2)):
        stored = term.wait_frames(n, 99, files_before + 1)[files_before][2]
        assert stored.startswith('name "FONTS_DIR/') and '.ttf"' in stored, stored
        name = stored.split('"')[1]
        kept = term.directory / "files" / str(n) / name
        term.wait_for(lambda: kept.exists() and kept.stat().st_size == len(font), f"the font on terminal {n}")
        assert kept.read_bytes() == font


def test_a_command_past_its_deadline_is_never_carried_out(fleet):
    bridge = fleet.bridge(NORTH)
    term = fleet.term(bridge, 1, "320", uid_base=NORTH_UIDS)
    commander = fleet.commander()
    topic = f"ks318/{NORTH}/all/commands/fill"
    # A frozen bridge: the command waits in its socket while its deadline passes.
    bridge.process.send_signal(signal.SIGSTOP)
    try:
        late = commander.start(topic, {"index": 11, "deadline": int(time.time() * 1000) + 500})
        time.sleep(1.5)
    finally:
        bridge.process.send_signal(signal.SIGCONT)
    answer = commander.answer(late)
    assert answer == {"site": NORTH, "action": "fill",
                      "error": "the command expired before it could be carried out; it was not"}, answer
    # One within its deadline, and one without any (older senders), are carried out.
    for payload in ({"index": 12, "deadline": int(time.time() * 1000) + 60000}, {"index": 13}):
        assert_all_sent(commander.send(topic, payload), NORTH, "fill", term.ids(), 9)
    frames = term.wait_frames(1, 33, 2)
    assert [detail.split()[:2] for _, _, detail in frames] == [["index", "12"], ["index", "13"]], frames
    bad = commander.send(topic, {"index": 1, "deadline": "soon"})
    assert bad["error"] == '"deadline" must be a time in ms since 1970', bad
