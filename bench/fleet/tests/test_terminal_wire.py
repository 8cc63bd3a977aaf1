"""The terminal's frames byte for byte, and the reader of the server's frames
fed in every way a stream can cut them."""

import pytest

from terminal_wire import (FrameReader, WireError, answer_to, encode_frame, identification_word, key_frame,
                           parse_uid, uid_answer, uid_plus, uid_text)


def test_frames_are_start_byte_code_and_length_little_endian_then_payload():
    assert key_frame(0x41) == bytes([0x02, 53, 0, 1, 0, 0, 0, 0x41])
    assert encode_frame(0x1234, b"xy") == bytes([0x02, 0x34, 0x12, 2, 0, 0, 0]) + b"xy"
    assert identification_word(model=320, version=32) == bytes([32, 0x01, 0x40, 0])
    answer = uid_answer(bytes([0, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E]), "SOAK 1")
    assert answer[:7] == bytes([0x02, 28, 0, 38, 0, 0, 0])
    assert answer[7:13] == bytes([0, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E])
    assert answer[13:] == b"SOAK 1" + bytes(26)
    # A text that fills the field is cut, unterminated.
    assert uid_answer(bytes(6), "X" * 40)[13:] == b"X" * 32
    for bad in (lambda: key_frame(256), lambda: encode_frame(70000), lambda: uid_answer(bytes(5), ""),
                lambda: identification_word(70000, 1)):
        with pytest.raises(ValueError):
            bad()


def test_answers_to_the_server():
    uid = bytes([2, 0, 0, 1, 0, 7])
    word_frame = encode_frame(20, bytes([32, 1, 0x40, 0]))
    assert answer_to(19, 320, 32, uid, "T") == word_frame
    assert answer_to(17, 320, 32, uid, "T") == word_frame  # the probe keeps an idle terminal connected
    assert answer_to(27, 320, 32, uid, "T") == uid_answer(uid, "T")
    assert answer_to(21, 320, 32, uid, "T") is None
    assert answer_to(53, 320, 32, uid, "T") is None


def test_identifiers_are_read_written_and_counted_over_48_bits():
    assert parse_uid("00:1a:2B:3c:4D:5e") == bytes([0, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E])
    assert parse_uid("02-00-00-01-00-FF") == bytes([2, 0, 0, 1, 0, 0xFF])
    assert uid_text(bytes([2, 0, 0, 1, 0, 0xAB])) == "02:00:00:01:00:AB"
    assert uid_plus(bytes([2, 0, 0, 1, 0, 0xFF]), 1) == bytes([2, 0, 0, 1, 1, 0])
    assert uid_plus(bytes([0, 0, 0, 0, 0xFF, 0xFF]), 2) == bytes([0, 0, 0, 1, 0, 1])
    with pytest.raises(ValueError):
        uid_plus(bytes([0xFF] * 6), 1)
    for bad in ("00:1A:2B:3C:4D", "00:1A:2B:3C:4D:5E:6F", "00:1A:2B:3C:4D:GG", "001:A:2B:3C:4D:5E", ""):
        with pytest.raises(ValueError):
            parse_uid(bad)


STREAM = (encode_frame(19) + encode_frame(21, b"\1\0\0\0") + encode_frame(27) + encode_frame(9, bytes(range(256)) * 40)
          + encode_frame(17))
CODES = [19, 21, 27, 9, 17]


@pytest.mark.parametrize("piece", [1, 2, 6, 7, 8, 1000, len(STREAM)])
def test_reader_finds_every_header_however_the_stream_is_cut(piece):
    reader = FrameReader()
    codes = []
    for offset in range(0, len(STREAM), piece):
        codes += [header.code for header in reader.feed(STREAM[offset:offset + piece])]
    assert codes == CODES
    assert reader.between_frames


def test_reader_gives_a_header_before_its_payload_and_skips_the_payload():
    reader = FrameReader()
    headers = reader.feed(encode_frame(9, bytes(100))[:10])
    assert [(h.code, h.length) for h in headers] == [(9, 100)]
    assert not reader.between_frames
    # Payload bytes that look like a header are not taken for one.
    assert reader.feed(encode_frame(17)[:7] * 13 + bytes(6)) == []
    assert [h.code for h in reader.feed(encode_frame(17))] == [17]


def test_reader_refuses_bytes_that_cannot_start_a_frame():
    with pytest.raises(WireError, match="0x02"):
        FrameReader().feed(bytes([0x05, 19, 0, 0, 0, 0, 0]))
    # A length with the top bit set (negative as the server's signed field) or
    # beyond any real frame: out of step, not a buffer to allocate.
    with pytest.raises(WireError, match="announces"):
        FrameReader().feed(bytes([0x02, 19, 0, 0xFF, 0xFF, 0xFF, 0xFF]))
    with pytest.raises(WireError):
        FrameReader().feed(encode_frame(19) + bytes([0x02, 9, 0, 0, 0, 0, 0x40]))
