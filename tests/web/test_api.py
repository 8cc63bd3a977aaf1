"""The dashboard's HTTP API against simulated terminals: every endpoint, the
access token, bad input, actions reaching every terminal, the screen mirror
and the event stream."""

from __future__ import annotations

import re
import threading
import time
from pathlib import Path

from conftest import PAGE_DIRECTORY, WAIT, EventStream, assert_error, bmp_picture, pixel, read_png, wait_until

TOKEN_ERRORS = {401: "missing access token", 403: "wrong access token"}


# ---- pages and reading ------------------------------------------------------------------------


def test_page_files_and_info(dashboard):
    web = dashboard.web
    index = web.get("/")
    assert index.status == 200
    assert index.headers["content-type"] == "text/html; charset=utf-8"
    assert b"<" in index.body
    source = PAGE_DIRECTORY / "index.html"
    if source.exists():
        assert index.body == source.read_bytes(), "the program serves another index.html than the source tree's"
    for name, kind in (("app.js", "text/javascript"), ("app.css", "text/css")):
        source = PAGE_DIRECTORY / name
        if source.exists():
            served = web.get("/" + name)
            assert served.status == 200 and served.headers["content-type"].startswith(kind)
            assert served.body == source.read_bytes()
    assert_error(web.get("/no-such-file.js"), 404)
    assert_error(web.get("/api/nothing-here"), 404)
    # Nothing a browser would take as leave to share or remember.
    for header in index.headers:
        assert not header.startswith("access-control-") and header != "set-cookie"

    info = web.get_json("/api/info")
    assert info == {"library_version": 32, "terminal_port": web.terminal_port, "terminals": 2,
                    "max_upload": 16777216, "fleet": None}


def test_terminal_listing_and_paging(dashboard):
    web = dashboard.web
    listing = web.get_json("/api/terminals")
    assert listing["count"] == 2 and listing["offset"] == 0
    first, second = listing["terminals"]
    assert [first["number"], second["number"]] == [1, 2]
    assert 65536 <= first["id"] < second["id"], "ids, above every number, in the order of arrival"
    assert (first["model"], second["model"]) == (318, 320)
    assert (first["screen"]["width"], first["screen"]["height"]) == (320, 240)
    assert (second["screen"]["width"], second["screen"]["height"]) == (480, 272)
    assert first["uid"] == "00:1A:2B:3C:4D:5E" and second["uid"] == "00:1A:2B:3C:4D:5F"
    assert first["text"] == "SIM TERMINAL 1" and second["text"] == "SIM TERMINAL 2"
    for entry in (first, second):
        assert entry["version"] == 32 and entry["address"] == "127.0.0.1"
        assert entry["frames_in"] >= 1  # the identifier's answer at least
        assert entry["frames_out"] == 0
        assert 0 < entry["connected_since"] <= entry["last_heard"] <= time.time() * 1000 + 1000
        assert entry["screen"]["revision"] == 0

    page = web.get_json("/api/terminals?offset=1&limit=5")
    assert page["count"] == 2 and page["offset"] == 1 and [t["number"] for t in page["terminals"]] == [2]
    assert web.get_json("/api/terminals?limit=1")["terminals"][0]["number"] == 1
    assert web.get_json("/api/terminals?offset=7")["terminals"] == []
    assert web.get_json("/api/terminals/2") == web.get_json("/api/terminals")["terminals"][1]
    assert web.get_json(f"/api/terminals/{second['id']}") == web.get_json("/api/terminals/2"), "a path takes the id"
    for bad in ("offset=-1", "limit=abc", "limit=100000", "offset=1.5"):
        assert_error(web.get("/api/terminals?" + bad), 400)
    for missing in ("/api/terminals/3", "/api/terminals/0", "/api/terminals/3/screen.png",
                    "/api/terminals/x", "/api/terminals/65535", f"/api/terminals/{second['id'] + 1}",
                    "/api/terminals/9999999999"):
        assert_error(web.get(missing), 404)
    assert_error(web.request("POST", "/api/terminals/3/device"), 404)


def test_numbers_close_up_when_a_terminal_leaves_and_ids_stay(dashboard_factory):
    dashboard = dashboard_factory(3, "320")
    web = dashboard.web
    ids = [t["id"] for t in web.get_json("/api/terminals")["terminals"]]
    stream = web.events()
    dashboard.term.send("@1 disconnect")
    event = stream.wait_event("disconnect")
    assert event["terminal_id"] == ids[0] and event["address"] == "127.0.0.1"
    listed = web.wait_terminals(2)
    assert [t["number"] for t in listed] == [1, 2]
    assert [t["id"] for t in listed] == ids[1:]
    assert [t["text"] for t in listed] == ["SIM TERMINAL 2", "SIM TERMINAL 3"]
    # The number a terminal has now reaches that terminal; so does its id, which did not move.
    result = web.action({"action": "fill", "targets": [2], "index": 12})["results"]
    assert (result[0]["status"], result[0]["terminal_id"]) == ("sent", ids[2])
    dashboard.term.wait_frames(3, 33)
    result = web.action({"action": "fill", "targets": [ids[1], ids[0]], "index": 13})["results"]
    assert [(r["terminal"], r["terminal_id"], r["status"]) for r in result] == [
        (1, ids[1], "sent"), (0, ids[0], "no terminal")]
    assert f"no terminal id {ids[0]}" in result[1]["reason"]
    fills = dashboard.term.wait_frames(2, 33)
    assert len(fills) == 1 and fills[0][2].startswith("index 13"), fills
    assert [detail.split()[:2] for _, _, detail in dashboard.term.frames(3, 33)] == [["index", "12"]], \
        "terminal 3 got only its own fill"


def test_device_asks_the_terminal(dashboard):
    web = dashboard.web
    answer = web.request("POST", "/api/terminals/2/device")
    assert answer.status == 200, answer
    device = answer.json()
    assert device["unanswered"] == []
    assert len(device["config"]["addresses"]) == 5
    assert all(re.fullmatch(r"\d+\.\d+\.\d+\.\d+", a) for a in device["config"]["addresses"])
    assert set(device["config"]) == {"addresses", "text1", "number1", "text2", "text3", "text4", "number2", "number3"}
    assert set(device["wifi"]) == {"number1", "number2", "text1", "number3", "number4", "text2"}
    assert isinstance(device["serial_status"], list) and len(device["serial_status"]) == 2
    for code, count in ((25, 1), (153, 1), (161, 2)):
        dashboard.term.wait_frames(2, code, count)


# ---- access token and bad input -------------------------------------------------------------------


def test_token_is_needed_to_change_anything(dashboard):
    web = dashboard.web
    action = {"action": "fill", "targets": "all", "index": 1}
    for method, path, body in (("POST", "/api/actions", action), ("POST", "/api/uploads?name=a.bin", b"x"),
                               ("PUT", "/api/info", b""), ("DELETE", "/api/terminals/1", b"")):
        assert assert_error(web.request(method, path, body, token=False), 401) == TOKEN_ERRORS[401]
        assert assert_error(web.request(method, path, body, token="Bearer wrong"), 403) == TOKEN_ERRORS[403]
        assert assert_error(web.request(method, path, body, token="t0ken-for-the-tests"), 403) == TOKEN_ERRORS[403]
    # Nothing reached a terminal.
    assert dashboard.term.frames(code=33) == []
    # Reading needs it too; a wrong method on a known path is refused.
    assert assert_error(web.request("GET", "/api/info", token=False), 401) == TOKEN_ERRORS[401]
    assert web.request("GET", "/api/info").status == 200
    assert_error(web.request("PUT", "/api/info"), 405)
    assert_error(web.request("DELETE", "/api/terminals/1"), 405)
    assert_error(web.request("GET", "/api/actions"), 405)


def test_bad_actions_are_refused_before_anything_is_sent(dashboard):
    web = dashboard.web
    upload = web.upload("p.bmp", bmp_picture(8, 8, lambda x, y: (255, 0, 0)))["upload"]
    assert assert_error(web.request("POST", "/api/actions", "{not json"), 400) == "malformed JSON"
    assert_error(web.request("POST", "/api/actions", ""), 400)
    assert_error(web.request("POST", "/api/actions", b" " * ((1 << 20) + 1)), 413)
    assert_error(web.request("POST", "/api/no-such-thing", {"action": "live", "targets": "all"}), 404)
    bad_bodies = [
        [1, 2],
        {"targets": "all"},
        {"action": 5, "targets": "all"},
        {"action": "dance", "targets": "all"},
        {"action": "fill", "index": 1},
        {"action": "fill", "targets": "some", "index": 1},
        {"action": "fill", "targets": ["1"], "index": 1},
        {"action": "fill", "targets": [0], "index": 1},
        {"action": "fill", "targets": {"model": "320"}, "index": 1},
        {"action": "fill", "targets": "all"},
        {"action": "fill", "targets": "all", "index": "1"},
        {"action": "fill", "targets": "all", "index": 1.5},
        {"action": "fill", "targets": "all", "index": True},
        {"action": "fill", "targets": "all", "index": 70000},
        {"action": "text", "targets": "all", "x": 1, "y": 2},
        {"action": "text", "targets": "all", "x": 1, "y": 2, "text": 7},
        {"action": "text", "targets": "all", "x": 1, "y": 2, "text": "x" * 128},
        {"action": "text", "targets": "all", "x": 40000, "y": 2, "text": "x"},
        {"action": "text", "targets": "all", "x": 1, "y": 2, "text": "x", "font": ["a"]},
        {"action": "keyboard", "targets": "all", "on": 1},
        {"action": "volume", "targets": "all", "value": "loud"},
        {"action": "file", "targets": "all", "upload": upload},
        {"action": "file", "targets": "all", "upload": upload, "name": "n" * 128},
        {"action": "picture", "targets": "all", "upload": 12},
    ]
    for body in bad_bodies:
        reason = assert_error(web.request("POST", "/api/actions", body), 400)
        if isinstance(body, dict) and body.get("action") == "dance":
            assert "dance" in reason
    for body in ({"action": "picture", "targets": "all", "upload": "0123456789abcdef"},
                 {"action": "font", "targets": "all", "upload": "../etc/passwd"}):
        assert_error(web.request("POST", "/api/actions", body), 404)
    assert dashboard.term.frames(code=33) == [] and dashboard.term.frames(code=35) == []
    assert dashboard.term.frames(code=37) == [] and dashboard.term.frames(code=99) == []


def test_uploads_keep_names_as_metadata_only(dashboard_factory, tmp_path):
    dashboard = dashboard_factory(0, max_upload=4096)
    web = dashboard.web
    names = ["../../escaped.bmp", "a/b/../c.JPG", "/etc/passwd", "..", "ünïcode name.conf"]
    seen = set()
    for name in names:
        answer = web.upload(name, b"0123456789")
        assert answer["name"] == name and answer["size"] == 10
        assert re.fullmatch(r"[0-9a-f]{16}", answer["upload"]), answer
        seen.add(answer["upload"])
    assert len(seen) == len(names)
    # Nothing was written where the names point.
    assert not (tmp_path / "escaped.bmp").exists() and not (web.directory / "escaped.bmp").exists()
    assert not (web.directory.parent / "escaped.bmp").exists()
    stored = [p.name for p in web.temporary.rglob("*") if p.is_file()]
    assert len(stored) == len(names)
    assert all(re.fullmatch(r"[0-9a-f]{16}(\.(bmp|jpg|conf))?", name) for name in stored), stored
    assert sorted(n.split(".")[-1] for n in stored if "." in n) == ["bmp", "conf", "jpg"]

    assert web.upload("exact.bin", b"x" * 4096)["size"] == 4096
    assert_error(web.request("POST", "/api/uploads?name=big.bin", b"x" * 4097), 413)
    assert_error(web.request("POST", "/api/uploads", b"abc"), 400)
    assert_error(web.request("POST", "/api/uploads?name=", b"abc"), 400)
    # The server is still whole after refusing; an action is not held to the upload limit.
    assert web.get_json("/api/info")["max_upload"] == 4096
    padded = web.action({"action": "live", "targets": "all", "note": "x" * 5000})
    assert padded["action"] == "live" and padded["results"] == []


# ---- actions ----------------------------------------------------------------------------------


def test_fill_and_text_reach_every_one_of_64_terminals(dashboard_factory):
    dashboard = dashboard_factory(64, "318,320")
    web, term = dashboard.web, dashboard.term
    answer = web.action({"action": "fill", "targets": "all", "index": 196})
    assert answer["action"] == "fill"
    assert [r["terminal"] for r in answer["results"]] == list(range(1, 65))
    assert all(r["status"] == "sent" and r["result"] == 9 and r["reason"] == "" for r in answer["results"])
    for n in range(1, 65):
        frames = term.wait_frames(n, 33)
        assert len(frames) == 1 and frames[0][2].startswith("index 196")

    answer = web.action({"action": "text", "targets": {"model": 318}, "x": 4, "y": 5, "text": "model 318",
                         "colour": 15, "height": 20})
    assert [r["terminal"] for r in answer["results"]] == list(range(1, 65, 2))
    assert all(r["status"] == "sent" and r["result"] == 177 for r in answer["results"])
    for n in range(1, 65, 2):
        frame = term.wait_frames(n, 35)[0]
        assert "x 4 y 5 colour 15 height 20" in frame[2] and "model 318" in frame[2]
    for n in range(2, 65, 2):
        assert term.frames(n, 35) == []
    listed = web.terminals()
    assert all(t["frames_out"] == (2 if t["model"] == 318 else 1) for t in listed)
    assert all(t["screen"]["revision"] == (2 if t["model"] == 318 else 1) for t in listed)

    # A picture on all of them: sent from several threads, converted once per screen size,
    # one image shared by the mirrors; each terminal shows what its own mirror shows.
    picture = bmp_picture(64, 48, lambda x, y: (230, 20, 20) if x < 32 else (20, 20, 230))
    upload = web.upload("halves.bmp", picture)
    answer = web.action({"action": "picture", "targets": "all", "upload": upload["upload"]})
    assert [(r["terminal"], r["status"], r["result"]) for r in answer["results"]] == [(n, "sent", 1)
                                                                                       for n in range(1, 65)]
    for n in range(1, 65):
        assert len(term.wait_frames(n, 37)) == 1
        mirror = read_png(web.get(f"/api/terminals/{n}/screen.png").body)
        assert mirror[:2] == ((320, 240) if n % 2 else (480, 272))
        terminal_png = term.screen_path(n)
        assert wait_until(lambda: terminal_png.exists() and read_png(terminal_png.read_bytes()) == mirror,
                          f"terminal {n}'s screen to match its mirror")
    assert all(t["frames_out"] == (3 if t["model"] == 318 else 2) for t in web.terminals())


def test_picture_is_shown_on_each_screen_and_in_its_mirror(dashboard):
    web, term = dashboard.web, dashboard.term
    stream = web.events()
    before = [read_png(web.get(f"/api/terminals/{n}/screen.png").body) for n in (1, 2)]
    assert all(pixel(p, 10, 10) == (0, 0, 0) for p in before)
    picture = bmp_picture(64, 48, lambda x, y: (230, 20, 20) if x < 32 else (20, 20, 230))
    upload = web.upload("Two Halves.BMP", picture)
    answer = web.action({"action": "picture", "targets": "all", "upload": upload["upload"]})
    assert [(r["terminal"], r["status"], r["result"]) for r in answer["results"]] == [(1, "sent", 1), (2, "sent", 1)]

    for n, (width, height) in ((1, (320, 240)), (2, (480, 272))):
        term.wait_frames(n, 37)
        stream.wait_event("screen", lambda e, n=n: e["terminal"] == n and e["revision"] == 1)
        mirror_response = web.get(f"/api/terminals/{n}/screen.png")
        assert mirror_response.headers["content-type"] == "image/png"
        assert mirror_response.headers["x-screen-revision"] == "1"
        mirror = read_png(mirror_response.body)
        assert mirror[:2] == (width, height)
        # The terminal writes its PNG before it counts the frame as shown; wait for that picture.
        terminal_png = term.screen_path(n)
        shown = wait_until(lambda: terminal_png.exists() and read_png(terminal_png.read_bytes()) == mirror,
                           f"terminal {n}'s screen to match its mirror")
        assert shown
        left, right = pixel(mirror, width // 2 - 40, height // 2), pixel(mirror, width // 2 + 40, height // 2)
        assert left[0] > 150 and left[2] < 100, left
        assert right[2] > 150 and right[0] < 100, right
    assert all(t["screen"]["revision"] == 1 and t["frames_out"] == 1 for t in web.terminals())

    small = web.get("/api/terminals/2/screen.png?scale=0.5")
    assert small.status == 200 and read_png(small.body)[:2] == (240, 136)
    assert read_png(web.get("/api/terminals/1/screen.png?scale=0.25").body)[:2] == (80, 60)
    for bad in ("2", "0.1", "abc", ""):
        assert_error(web.get("/api/terminals/1/screen.png?scale=" + bad), 400)


def test_picture_that_cannot_be_converted_fails_for_each_terminal(dashboard):
    web = dashboard.web
    upload = web.upload("broken.bmp", b"BM" + b"\0" * 20)
    answer = web.action({"action": "picture", "targets": "all", "upload": upload["upload"]})
    for result in answer["results"]:
        assert result["status"] == "failed" and result["result"] == 0 and result["reason"]
    assert dashboard.term.frames(code=37) == []


def test_settings_switches_and_commands(dashboard):
    web, term = dashboard.web, dashboard.term
    answer = web.action({"action": "volume", "targets": "all", "value": 37})
    first, second = answer["results"]
    assert first["status"] == "refused by model" and "318" in first["reason"] and first["result"] == -1
    assert second["status"] == "sent" and second["result"] > 0
    asked = web.action({"action": "volume", "targets": [2]})["results"][0]
    assert asked["status"] == "sent" and asked["value"] == 37
    web.action({"action": "brightness", "targets": [2], "value": 80})
    assert web.action({"action": "brightness", "targets": [2]})["results"][0]["value"] == 80

    assert web.action({"action": "keyboard", "targets": [1], "on": False})["results"][0]["status"] == "sent"
    assert "off" in term.wait_frames(1, 49)[0][2]
    assert web.action({"action": "cardreader", "targets": [2], "on": True})["results"][0]["status"] == "sent"
    assert "on" in term.wait_frames(2, 65)[0][2]
    assert web.action({"action": "live", "targets": "all"})["results"][1]["status"] == "sent"
    term.wait_frames(1, 17)
    term.wait_frames(2, 17)
    assert web.action({"action": "restart", "targets": [2]})["results"][0]["status"] == "sent"
    term.wait_frames(2, 121)
    missing = web.action({"action": "live", "targets": [9]})["results"][0]
    assert missing == {"terminal": 9, "terminal_id": 0, "result": 0, "status": "no terminal", "reason": "no terminal 9"}


def test_file_transfer_reports_progress_and_arrives(dashboard):
    web, term = dashboard.web, dashboard.term
    stream = web.events()
    data = bytes(range(256)) * 1200  # 307,200 bytes
    upload = web.upload("../clip.bin", data)
    answer = web.action({"action": "file", "targets": [2], "upload": upload["upload"], "name": "media/clip.bin"})
    result = answer["results"][0]
    assert result["status"] == "sent" and result["result"] == 1
    end = stream.wait_event("action", lambda e: e["id"] == answer["id"] and e["status"] != "sending")
    assert end == {**end, "terminal": 2, "status": "sent", "progress": 100}
    progress = [e["progress"] for kind, e in stream.events if kind == "action" and e["id"] == answer["id"]]
    assert progress == sorted(progress) and progress[-1] == 100
    received = term.files_of(2) / "media" / "clip.bin"
    wait_until(lambda: received.exists() and received.stat().st_size == len(data), "the file on terminal 2")
    assert received.read_bytes() == data
    assert "media/clip.bin" in term.wait_frames(2, 99)[0][2]
    assert term.frames(1, 99) == []


def test_font_goes_to_the_fonts_directory_and_texts_use_it_on_the_mirror(dashboard):
    web, term = dashboard.web, dashboard.term
    font = Path("/usr/share/fonts/truetype/dejavu/DejaVuSerif-Bold.ttf").read_bytes()
    upload = web.upload("My Font.TTF", font)
    result = web.action({"action": "font", "targets": [2], "upload": upload["upload"]})["results"][0]
    assert result["status"] == "sent" and result["result"] == len(font)
    stored = f"{upload['upload']}.ttf"
    assert f"FONTS_DIR/{stored}" in term.wait_frames(2, 99)[0][2]
    kept = term.files_of(2) / "FONTS_DIR" / stored
    wait_until(lambda: kept.exists() and kept.stat().st_size == len(font), "the font on terminal 2")

    # Drawn in that font by the terminal and by the mirror alike (a serif face, not the terminal's own).
    answer = web.action({"action": "text", "targets": [2], "x": 10, "y": 20, "text": "Serif Wg", "colour": 11,
                         "height": 40, "font": stored})
    assert answer["results"][0]["status"] == "sent"
    term.wait_frames(2, 35)
    mirror = read_png(web.get("/api/terminals/2/screen.png").body)
    assert any(pixel(mirror, x, y) == (255, 255, 0) for x in range(10, 200) for y in range(20, 60))
    screen = term.screen_path(2)
    wait_until(lambda: screen.exists() and read_png(screen.read_bytes()) == mirror,
               "terminal 2's screen to match its mirror")


# ---- events -----------------------------------------------------------------------------------


def test_terminal_input_arrives_as_events(dashboard):
    web, term = dashboard.web, dashboard.term
    stream = web.events()
    term.send("@2 keys a")
    key = stream.wait_event("key")
    assert key["terminal"] == 2 and key["key"] == 97 and key["char"] == "a" and key["kind"] == "key"
    term.send("@1 key 13")
    assert stream.wait_event("key", lambda e: e["terminal"] == 1)["char"] is None
    term.send("@1 serial 1 hel\xe9")
    serial = stream.wait_event("serial")
    assert serial["terminal"] == 1 and serial["port"] == 1
    assert serial["hex"].startswith("68 65 6c")
    term.send("@2 card '4111 1111 1111 1234' 'PIN 9876'")
    card = stream.wait_event("card")
    # Card texts show their last four characters only, in the stream and in the list.
    assert (card["terminal"], card["first"], card["second"]) == (2, "***************1234", "****9876")
    term.send("@1 card '' 'ab\xe9d'")
    short = stream.wait_event("card", lambda e: e["terminal"] == 1)
    assert (short["first"], short["second"]) == ("", "ab\xe9d")

    seqs = [e["seq"] for _, e in stream.events]
    assert seqs == sorted(seqs) and len(set(seqs)) == len(seqs)
    recent = web.get_json("/api/events/recent?limit=3")["events"]
    assert [e["kind"] for e in recent][-1] == "card" and len(recent) == 3
    assert [(e["first"], e["second"]) for e in recent if e["kind"] == "card"] == [
        ("***************1234", "****9876"), ("", "ab\xe9d")]
    assert [e["seq"] for e in recent] == sorted(e["seq"] for e in recent)
    every = web.get_json("/api/events/recent")["events"]
    # Each terminal's connect comes before its identification; between terminals any order.
    first_four = [(e["kind"], e["terminal"]) for e in every[:4]]
    assert sorted(first_four) == [("connect", 1), ("connect", 2), ("identified", 1), ("identified", 2)]
    assert first_four.index(("connect", 1)) < first_four.index(("identified", 1))
    assert first_four.index(("connect", 2)) < first_four.index(("identified", 2))
    assert web.get_json("/api/events/recent?limit=0")["events"] == []
    assert_error(web.get("/api/events/recent?limit=5000"), 400)
    assert web.get_json("/api/terminals/2")["frames_in"] >= 3


def test_connect_identify_and_disconnect_events(dashboard_factory):
    dashboard = dashboard_factory(0)
    web = dashboard.web
    stream = web.events()
    term = dashboard_factory.add_term(dashboard, 1, "318")
    connect = stream.wait_event("connect")
    assert connect["terminal"] == 1 and connect["model"] == 318 and connect["version"] == 32
    assert connect["address"] == "127.0.0.1" and connect["terminal_id"] >= 65536
    identified = stream.wait_event("identified")
    assert identified["uid"] == "00:1A:2B:3C:4D:5E" and identified["text"] == "SIM TERMINAL"
    assert identified["terminal_id"] == connect["terminal_id"]
    assert web.get_json("/api/info")["terminals"] == 1
    term.send("disconnect")
    gone = stream.wait_event("disconnect")
    assert (gone["terminal"], gone["terminal_id"]) == (0, connect["terminal_id"]), "no number any more; its id"
    wait_until(lambda: web.get_json("/api/info")["terminals"] == 0, "the terminal to leave the listing")
    kinds = [kind for kind, _ in stream.events]
    assert kinds.index("connect") < kinds.index("identified") < kinds.index("disconnect")


def test_a_hundred_event_streams_are_all_served(dashboard):
    web = dashboard.web
    streams = [EventStream(web.http_port, web.token) for _ in range(100)]
    web.streams.extend(streams)
    for stream in streams:
        stream.wait_open()
    answer = web.action({"action": "live", "targets": [1]})
    for stream in streams:
        event = stream.wait_event("action", lambda e: e["id"] == answer["id"])
        assert event["terminal"] == 1 and event["status"] == "sent"
    # Requests are still served while the streams are held, and a stop ends every stream.
    assert web.get_json("/api/info")["terminals"] == 2
    assert web.stop() == 0
    for stream in streams:
        assert stream.ended.wait(WAIT), "a stream outlived the program"


def test_stop_ends_every_stream_and_removes_the_uploads(dashboard_factory):
    dashboard = dashboard_factory(1, "320")
    web = dashboard.web
    streams = [web.events() for _ in range(5)]
    web.upload("kept.bin", b"abc")
    assert any(p.is_file() for p in web.temporary.rglob("*"))
    assert web.stop() == 0
    for stream in streams:
        assert stream.ended.wait(WAIT), "a stream outlived the program"
    assert list(web.temporary.iterdir()) == [], "the upload directory was left behind"
    # Its output is no terminal: it names the token's file, not the token.
    assert any(line.startswith("ks318-web: open http://127.0.0.1:") and line.endswith(f"/ with the access token in {web.directory / 'token'}")
               for line in web.lines), web.lines
    assert not any("t0ken-for-the-tests" in line for line in web.lines)
    assert f"ks318-web: terminals on port {web.terminal_port}" in web.lines
