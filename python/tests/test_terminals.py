"""Terminals played by ks318-term against the package's server: what they send
arrives as events for the right terminal number, and what the host sends
reaches them (checked in ks318-term's log of the frames it receives)."""

from __future__ import annotations

import ctypes
import os
import re
import socket
import struct
from ipaddress import IPv4Address
from pathlib import Path
from typing import Dict, Tuple

import pytest

from conftest import WAIT, Events, Term, connected

import ks318

LOOPBACK = IPv4Address("127.0.0.1")


def identify(events: Events, count: int) -> Tuple[Dict[int, int], Dict[int, ks318.ConnectEvent]]:
    """Which server number each simulated terminal got (by its identifier text,
    "SIM TERMINAL k"), and the connect event of each number."""
    connects = events.wait_many(lambda e: isinstance(e, ks318.ConnectEvent), count, "connect")
    uids = events.wait_many(lambda e: isinstance(e, ks318.UidEvent), count, "identifier answer")
    numbers = {}
    for uid in uids:
        match = re.fullmatch(r"SIM TERMINAL(?: (\d+))?", uid.text)  # type: ignore[attr-defined]
        assert match, uid
        numbers[int(match[1] or 1)] = uid.number
    assert sorted(numbers.values()) == list(range(1, count + 1))
    return numbers, {event.number: event for event in connects}  # type: ignore[misc]


@pytest.fixture
def pair(server: ks318.Server, events: Events, term_factory) -> Tuple[Term, Dict[int, int]]:
    """A model-318 terminal (T1) and a model-320 terminal (T2), version 33."""
    term = term_factory(server.port, "--count", "2", "--model", "318,320", "--terminal-version", "33")
    numbers, _ = identify(events, 2)
    return term, numbers


class TestConnect:
    def test_connect_events_carry_model_and_version(self, server: ks318.Server, events: Events,
                                                    term_factory) -> None:
        term_factory(server.port, "--count", "2", "--model", "318,320", "--terminal-version", "33")
        numbers, connects = identify(events, 2)
        first, second = connects[numbers[1]], connects[numbers[2]]
        assert (first.model, first.version) == (318, 33)
        assert (second.model, second.version) == (320, 33)
        assert first.address == second.address == LOOPBACK
        assert first.ident == 33 | (318 >> 8) << 8 | (318 & 0xFF) << 16
        assert [(c.address, c.model) for c in server.connections] == [
            (LOOPBACK, connects[1].model), (LOOPBACK, connects[2].model)]
        listing = {terminal.number: terminal for terminal in server.terminals()}
        assert listing[numbers[1]].model == 318 and listing[numbers[2]].model == 320
        assert listing[numbers[2]].identifier == "SIM TERMINAL 2"
        # The listing gives the very objects the events carry.
        assert listing[numbers[1]] is first.terminal and listing[numbers[2]] is second.terminal
        assert first.terminal.id >= ks318.FIRST_TERMINAL_ID and first.terminal != second.terminal
        assert server.ident(numbers[1]) == (318, 33)
        assert server.address(numbers[2]) == LOOPBACK

    def test_uid_event_carries_the_identifier(self, server: ks318.Server, events: Events, term_factory) -> None:
        term_factory(server.port, "--uid", "0A:0B:0C:0D:0E:0F", "--uid-text", "DOOR")
        connect = events.wait(lambda e: isinstance(e, ks318.ConnectEvent), "connect")
        uid = events.wait(lambda e: isinstance(e, ks318.UidEvent), "identifier answer")
        assert uid.terminal is connect.terminal and uid.number == connect.number == 1
        assert connect.terminal.number == 1 and connect.terminal.identifier == "DOOR"
        assert (uid.uid, uid.text) == ("0A:0B:0C:0D:0E:0F", "DOOR")  # type: ignore[attr-defined]
        assert uid.kind is ks318.Notification.UID

    def test_terminal_behind_one_still_in_its_handshake(self, server: ks318.Server, events: Events,
                                                        term_factory) -> None:
        # A connection that takes the greeting (code 19) and never answers stays
        # in its handshake, where it has no number: the next terminal is number 1.
        silent = socket.create_connection(("127.0.0.1", server.port), timeout=WAIT)
        try:
            greeting = b""
            while len(greeting) < 7:
                piece = silent.recv(7 - len(greeting))
                assert piece, "the server closed the silent connection"
                greeting += piece
            assert greeting[0] != 0 or greeting[1:] != b"\0" * 6
            term = term_factory(server.port)
            connect = events.wait(lambda e: isinstance(e, ks318.ConnectEvent), "connect")
            uid = events.wait(lambda e: isinstance(e, ks318.UidEvent), "identifier answer")
            assert connect.number == 1 and connect.model == 320
            assert uid.number == 1 and uid.text == "SIM TERMINAL"  # type: ignore[attr-defined]
            term.send("keys b")
            key = events.wait(lambda e: isinstance(e, ks318.KeyEvent), "key")
            assert (key.number, key.key) == (1, ord("b"))  # type: ignore[attr-defined]
            assert key.terminal is connect.terminal
            assert server.connection(1) is connect.terminal and server.connection(2) is None
        finally:
            silent.close()
        # The silent one's handshake fails: connect (numbered behind the terminal
        # for that moment), then disconnect; the terminal keeps number 1.
        silent_connect = events.wait(lambda e: isinstance(e, ks318.ConnectEvent), "the silent connection's connect")
        gone = events.wait(lambda e: isinstance(e, ks318.DisconnectEvent), "the silent connection's disconnect")
        assert silent_connect.number == 2
        assert gone.terminal is silent_connect.terminal and gone.terminal != connect.terminal
        assert gone.number == 0 and gone.terminal.number == 0
        term.send("keys c")
        key = events.wait(lambda e: isinstance(e, ks318.KeyEvent), "key")
        assert (key.number, key.key) == (1, ord("c"))  # type: ignore[attr-defined]
        assert key.terminal is connect.terminal and connect.terminal.number == 1
        assert server.send_text(1, "first now") == 177
        assert '"first now"' in term.wait_frame(1, 35)[0].detail

    def test_numbers_close_up_when_an_earlier_terminal_leaves(self, server: ks318.Server, events: Events,
                                                              term_factory) -> None:
        first = term_factory(server.port, "--uid-text", "FIRST")
        connected(events, 1)
        second = term_factory(server.port, "--uid-text", "SECOND", "--model", "318")
        connect = events.wait(lambda e: isinstance(e, ks318.ConnectEvent), "second connect")
        events.wait(lambda e: isinstance(e, ks318.UidEvent) and e.text == "SECOND", "second identifier")
        assert connect.number == 2
        first.quit()
        gone = events.wait(lambda e: isinstance(e, ks318.DisconnectEvent), "first terminal's disconnect")
        assert gone.number == 0 and gone.terminal != connect.terminal
        second.send("keys k")
        key = events.wait(lambda e: isinstance(e, ks318.KeyEvent), "key")
        assert (key.number, key.key) == (1, ord("k"))  # type: ignore[attr-defined]
        assert key.terminal is connect.terminal
        assert server.send_text(1, "moved up") == 177
        second.wait_frame(1, 35)
        assert "moved up" in second.frames(1, 35)[0].detail
        with pytest.raises(ks318.NoTerminal):
            server.live(2)


class TestInput:
    def test_keys_arrive_for_the_right_terminal(self, server: ks318.Server, events: Events, pair) -> None:
        term, numbers = pair
        term.send("@2 keys AB")
        term.send("@1 keys z")
        keys = events.wait_many(lambda e: isinstance(e, ks318.KeyEvent), 3, "key")
        by_terminal: Dict[int, list] = {}
        for key in keys:
            assert key.kind is ks318.Notification.KEY and key.extra == key.key  # type: ignore[attr-defined]
            by_terminal.setdefault(key.number, []).append(key.key)  # type: ignore[attr-defined]
        assert by_terminal == {numbers[2]: [ord("A"), ord("B")], numbers[1]: [ord("z")]}
        term.send("@1 key 13")
        enter = events.wait(lambda e: isinstance(e, ks318.KeyEvent), "key 13")
        assert (enter.number, enter.key) == (numbers[1], 13)  # type: ignore[attr-defined]

    def test_serial_data(self, server: ks318.Server, events: Events, pair) -> None:
        term, numbers = pair
        term.send("@1 serial 0 hello world")
        first = events.wait(lambda e: isinstance(e, ks318.SerialEvent), "serial data")
        assert (first.number, first.kind, first.port, first.data) == (  # type: ignore[attr-defined]
            numbers[1], ks318.Notification.SERIAL0, 0, b"hello world")
        term.send("@2 serial 1 abc")
        second = events.wait(lambda e: isinstance(e, ks318.SerialEvent), "serial data")
        assert (second.number, second.kind, second.port, second.data) == (  # type: ignore[attr-defined]
            numbers[2], ks318.Notification.SERIAL1, 1, b"abc")
        # Read in the notification: nothing is left in the store.
        source, buffer = ctypes.c_int32(-1), ctypes.create_string_buffer(256)
        assert ks318.library().kq_getserial(numbers[1], ctypes.byref(source), buffer) == 0

    def test_card_reads(self, server: ks318.Server, events: Events, pair) -> None:
        term, numbers = pair
        term.send("@2 card 'first text' 'second'")
        card = events.wait(lambda e: isinstance(e, ks318.CardEvent), "card read")
        assert (card.number, card.extra, card.first, card.second) == (  # type: ignore[attr-defined]
            numbers[2], 3, "first text", "second")
        term.send("@1 card '' 'only the second'")
        card = events.wait(lambda e: isinstance(e, ks318.CardEvent), "card read")
        assert (card.number, card.extra, card.first, card.second) == (  # type: ignore[attr-defined]
            numbers[1], 2, "", "only the second")
        assert card.raw_second == b"only the second"  # type: ignore[attr-defined]

    def test_config_round_trip_reads_addresses_and_texts(self, server: ks318.Server, events: Events, pair) -> None:
        _, numbers = pair
        sent = ks318.ConfigRecord(text1="Olá", number1=7)
        sent.addresses = ["10.1.2.3", "192.168.0.1", "0.0.0.0", "255.255.255.255", "127.0.0.1"]
        sent.text2 = b"caf\xe9"  # not UTF-8: kept as sent, read with a replacement character
        assert server.send_config(numbers[1], sent) > 0
        assert server.request_config(numbers[1]) > 0
        answer = events.wait(lambda e: isinstance(e, ks318.ConfigEvent), "configuration")
        record = answer.record  # type: ignore[attr-defined]
        assert record.addresses == [IPv4Address(a) for a in ("10.1.2.3", "192.168.0.1", "0.0.0.0",
                                                              "255.255.255.255", "127.0.0.1")]
        assert (record.text1, record.number1, record.text2) == ("Olá", 7, "caf\ufffd")
        assert record.raw("text2")[:5] == b"caf\xe9\0" and record.to_bytes() == sent.to_bytes()


def write_bmp(path: Path, width: int, height: int) -> None:
    """A 24-bit BMP: left half red, right half blue."""
    row = b"".join(b"\x00\x00\xff" if x < width // 2 else b"\xff\x00\x00" for x in range(width))
    row += b"\0" * ((4 - len(row) % 4) % 4)
    pixels = row * height
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    path.write_bytes(header + info + pixels)


class TestScreen:
    def test_text_fill_and_image_reach_the_terminal(self, server: ks318.Server, pair) -> None:
        term, numbers = pair
        t318, t320 = numbers[1], numbers[2]
        assert server.send_text(t318, "Hello 318", 12, 34, colour=9, height=20) == 177
        assert server.fill(t320, 7) == 9
        text = term.wait_frame(1, 35)[0]
        assert text.length == 170
        assert "x 12 y 34 colour 9 height 20" in text.detail and '"Hello 318"' in text.detail
        fill = term.wait_frame(2, 33)[0]
        assert fill.length == 2 and "index 7" in fill.detail
        palette = bytes(range(256)) * 3
        assert server.send_image(t318, palette, bytes(ks318.PIXELS_318)) == 1
        assert server.send_image(t320, palette, b"\x05" * ks318.PIXELS_OTHER) == 1
        assert term.wait_frame(1, 37)[0].length == 768 + 320 * 240
        assert term.wait_frame(2, 37)[0].length == 768 + 130560
        assert term.frames(1, 33) == [] and term.frames(2, 35) == []

    def test_image_of_the_wrong_size_is_refused_unsent(self, server: ks318.Server, pair) -> None:
        term, numbers = pair
        palette = bytes(768)
        with pytest.raises(ValueError):
            server.send_image(numbers[1], palette, bytes(ks318.PIXELS_OTHER))  # a 320 x 240 screen
        with pytest.raises(ValueError):
            server.send_image(numbers[2], palette[:-1], bytes(ks318.PIXELS_OTHER))
        with pytest.raises(ValueError):
            server.send_text(numbers[1], "x" * 128)
        # What follows is the first image frame either terminal gets.
        assert server.send_image(numbers[2], palette, bytes(ks318.PIXELS_OTHER)) == 1
        term.wait_frame(2, 37)
        assert term.frames(1, 37) == [] and len(term.frames(2, 37)) == 1 and term.frames(1, 35) == []

    def test_picture_file(self, server: ks318.Server, pair, tmp_path: Path) -> None:
        term, numbers = pair
        picture = tmp_path / "halves.bmp"
        write_bmp(picture, 64, 32)
        assert server.send_picture(numbers[2], picture) == 1
        assert term.wait_frame(2, 37)[0].length == 768 + 130560
        with pytest.raises(ks318.PictureError) as failure:
            server.send_picture(numbers[1], tmp_path / "missing.bmp")
        assert failure.value.terminal == numbers[1] and failure.value.result == 0
        with pytest.raises(ks318.NoTerminal):
            server.send_picture(9, picture)


class TestFiles:
    def test_send_and_request_round_trip(self, server: ks318.Server, events: Events, pair) -> None:
        term, numbers = pair
        data = os.urandom(300_000) + b"\0end"
        assert server.send_file(numbers[2], "docs/blob.bin", data) == len(data)
        term.wait_frame(2, 99)
        assert term.frames(2, 99)[0].length == 128 + len(data)
        assert term.wait_file("2/docs/blob.bin", len(data)) == data
        assert server.request_file(numbers[2], "docs/blob.bin") == 1
        answer = events.wait(lambda e: isinstance(e, ks318.FileEvent), "file answer")
        assert answer.number == numbers[2] and answer.kept  # type: ignore[attr-defined]
        assert answer.name == "docs/blob.bin" and answer.data == data  # type: ignore[attr-defined]

    def test_local_file_and_missing_answer(self, server: ks318.Server, events: Events, pair,
                                           tmp_path: Path) -> None:
        term, numbers = pair
        local = tmp_path / "notes.txt"
        local.write_bytes(b"line one\r\nline two\r\n")
        assert server.send_local_file(numbers[1], local, "notes.txt") == 20
        term.wait_frame(1, 99)
        assert server.send_file(numbers[1], "empty.txt", b"") == 0
        term.wait_frame(1, 99, 2)
        assert term.wait_file("1/empty.txt", 0) == b""
        assert server.request_file(numbers[1], "nowhere.txt") == 1
        answer = events.wait(lambda e: isinstance(e, ks318.FileEvent), "file answer")
        assert answer.number == numbers[1] and not answer.kept and answer.data == b""  # type: ignore[attr-defined]
        assert server.request_file(numbers[1], "notes.txt") == 1
        answer = events.wait(lambda e: isinstance(e, ks318.FileEvent), "file answer")
        assert answer.kept and answer.data == b"line one\r\nline two\r\n"  # type: ignore[attr-defined]


class TestCommandsAndAnswers:
    def test_answers_of_a_model_320(self, server: ks318.Server, events: Events, pair) -> None:
        term, numbers = pair
        assert server.set_volume(numbers[2], 40) == 11
        done = events.wait(lambda e: isinstance(e, ks318.AnswerEvent), "volume set answer")
        assert (done.number, done.kind, done.code) == (numbers[2], ks318.Notification.VOLUME_SET, 177)  # type: ignore[attr-defined]
        assert server.ask_volume(numbers[2]) == 7
        volume = events.wait(lambda e: isinstance(e, ks318.AnswerEvent), "volume answer")
        assert (volume.kind, volume.code, volume.value) == (ks318.Notification.VOLUME, 179, 40)  # type: ignore[attr-defined]
        server.ask_display_time(numbers[2])
        shown = events.wait(lambda e: isinstance(e, ks318.AnswerEvent), "display time answer")
        assert shown.kind is ks318.Notification.SENSOR and shown.code == ks318.ANSWER_DISPLAY_TIME  # type: ignore[attr-defined]
        term.wait_frame(2, 41)

    def test_keyboard_card_reader_live_and_serial(self, server: ks318.Server, pair) -> None:
        term, numbers = pair
        assert server.keyboard(numbers[1], False) == 11
        assert server.card_reader(numbers[1], True) == 11
        assert server.live(numbers[1]) == 7
        assert server.write_serial(numbers[1], 1, b"to the port") == 265
        assert "off" in term.wait_frame(1, 49)[0].detail
        assert "on" in term.wait_frame(1, 65)[0].detail
        term.wait_frame(1, 17)
        serial = term.wait_frame(1, 91)[0]
        assert serial.length == 258 and '"to the port"' in serial.detail

    def test_failures_raise(self, server: ks318.Server, pair) -> None:
        term, numbers = pair
        with pytest.raises(ks318.NoTerminal) as failure:
            server.live(5)
        error = failure.value
        assert isinstance(error, ks318.TerminalError) and isinstance(error, ks318.KS318Error)
        assert (error.terminal, error.function, error.result) == (5, "kq_sendlive", 0)
        if ks318.library_has("kq_lastfailure"):
            assert error.reason and error.reason in str(error)
        for call in (lambda: server.send_text(0, "x"), lambda: server.fill(-1, 0),
                     lambda: server.send_file(3, "a", b"data"), lambda: server.request_file(3, "a"),
                     lambda: server.keyboard(3), lambda: server.set_volume(3, 1)):
            with pytest.raises(ks318.NoTerminal):
                call()
        with pytest.raises(ks318.NotSupported) as failure:
            server.set_volume(numbers[1], 10)  # model 318
        assert failure.value.result == -1 and "320" in str(failure.value)
        with pytest.raises(ks318.NoTerminal):
            server.ident(3)
        with pytest.raises(ks318.NoTerminal):
            server.address(3)
        assert term.frames(1, 176) == []


def test_older_terminal_refuses_version_32_commands(server: ks318.Server, events: Events, term_factory) -> None:
    term = term_factory(server.port, "--terminal-version", "31")
    connect = events.wait(lambda e: isinstance(e, ks318.ConnectEvent), "connect")
    assert connect.version == 31
    with pytest.raises(ks318.NotSupported) as failure:
        server.request_file(1, "anything")
    assert failure.value.result == -1
    assert term.frames(1, 97) == []
