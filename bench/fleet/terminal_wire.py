"""The terminal's side of the wire: frames (0x02, code as 16 bits, length as 32
bits, little-endian, then the payload), the answers a terminal gives to the
server's handshake and probe, and the key frame. Written from the protocol,
apart from the server's code, so that the soak measures the server and not a
copy of it.

The reader keeps no payload: a terminal of the crowd answers only frames whose
payload it does not need, so whatever the server sends (pictures included) is
skipped as it arrives and never held in memory.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass
from typing import List, Optional

FRAME_START = 0x02
HEADER_BYTES = 7

CODE_PROBE = 17           # the server heard nothing for a while
CODE_IDENTIFY = 19        # the server asks for the identification word
CODE_IDENTIFICATION = 20  # the terminal's answer: version, model (high, low), extra
CODE_ACCEPTED = 21        # the identification was taken
CODE_REQUEST_UID = 27     # the server asks for the unique identifier
CODE_UID = 28             # 6 identifier bytes and a 32-byte text
CODE_KEY = 53             # a key pressed: one byte, its code

UID_TEXT_BYTES = 32
# The longest frame the server sends is a picture of a few hundred KiB or a
# file piece; a length far above that means the stream is out of step.
LONGEST_FRAME = 64 * 1024 * 1024


class WireError(Exception):
    """The server's bytes do not form frames."""


def encode_frame(code: int, payload: bytes = b"") -> bytes:
    if not 0 <= code <= 0xFFFF:
        raise ValueError(f"frame code {code} is not a 16-bit number")
    return struct.pack("<BHI", FRAME_START, code, len(payload)) + payload


def identification_word(model: int, version: int, extra: int = 0) -> bytes:
    if not 0 <= model <= 0xFFFF or not 0 <= version <= 0xFF or not 0 <= extra <= 0xFF:
        raise ValueError("model is 16 bits, version and extra 8 bits each")
    return bytes([version, model >> 8, model & 0xFF, extra])


def uid_answer(uid: bytes, text: str) -> bytes:
    if len(uid) != 6:
        raise ValueError("a unique identifier is 6 bytes")
    field = text.encode("latin-1", errors="replace")[:UID_TEXT_BYTES]
    return encode_frame(CODE_UID, uid + field.ljust(UID_TEXT_BYTES, b"\0"))


def key_frame(key: int) -> bytes:
    if not 0 <= key <= 0xFF:
        raise ValueError(f"key code {key} is not a byte")
    return encode_frame(CODE_KEY, bytes([key]))


def parse_uid(text: str) -> bytes:
    """`00:1A:2B:3C:4D:5E` (or with '-') into its six bytes."""
    parts = text.replace("-", ":").split(":")
    if len(parts) != 6 or any(not 1 <= len(p) <= 2 for p in parts):
        raise ValueError(f"a unique identifier is six hexadecimal bytes such as 00:1A:2B:3C:4D:5E, not {text!r}")
    try:
        return bytes(int(p, 16) for p in parts)
    except ValueError:
        raise ValueError(f"not hexadecimal: {text!r}") from None


def uid_text(uid: bytes) -> str:
    """The identifier as the server writes it: upper-case hexadecimal pairs joined by ':'."""
    return ":".join(f"{b:02X}" for b in uid)


def uid_plus(uid: bytes, offset: int) -> bytes:
    """The identifier `offset` further on, counting over all 48 bits."""
    value = int.from_bytes(uid, "big") + offset
    if not 0 <= value < 1 << 48:
        raise ValueError("the identifiers run past 48 bits")
    return value.to_bytes(6, "big")


@dataclass
class FrameHeader:
    code: int
    length: int


class FrameReader:
    """Splits the bytes the server sends into frame headers, skipping payloads."""

    def __init__(self) -> None:
        self._header = bytearray()
        self._skip = 0

    def feed(self, data: bytes) -> List[FrameHeader]:
        """Every header completed by `data`; a frame's payload need not have
        arrived yet (the reader skips it as it comes). WireError on bytes that
        cannot start a frame."""
        headers: List[FrameHeader] = []
        view = memoryview(data)
        position = 0
        while position < len(view):
            if self._skip:
                taken = min(self._skip, len(view) - position)
                self._skip -= taken
                position += taken
                continue
            wanted = HEADER_BYTES - len(self._header)
            piece = view[position:position + wanted]
            self._header += piece
            position += len(piece)
            if len(self._header) < HEADER_BYTES:
                break
            header = self._take_header()
            headers.append(header)
            self._skip = header.length
        return headers

    def _take_header(self) -> FrameHeader:
        start, code, length = struct.unpack("<BHI", bytes(self._header))
        self._header.clear()
        if start != FRAME_START:
            raise WireError(f"a frame starts with 0x02, not 0x{start:02x}")
        if length > LONGEST_FRAME:
            raise WireError(f"frame {code} announces {length} bytes, more than any frame the server sends")
        return FrameHeader(code, length)

    @property
    def between_frames(self) -> bool:
        return not self._header and not self._skip


def answer_to(code: int, model: int, version: int, uid: bytes, text: str) -> Optional[bytes]:
    """What a terminal sends back on a frame from the server, if anything. The
    probe is answered with the identification word, which the server takes
    silently: an idle terminal stays connected."""
    if code in (CODE_IDENTIFY, CODE_PROBE):
        return encode_frame(CODE_IDENTIFICATION, identification_word(model, version))
    if code == CODE_REQUEST_UID:
        return uid_answer(uid, text)
    return None
