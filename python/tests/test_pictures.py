"""convert_picture: a picture file converted once, as send_picture would send it,
without a server or a terminal."""

from __future__ import annotations

import ctypes
import struct
from pathlib import Path

import pytest

import ks318
from ks318 import _lib


def write_bmp(path: Path, width: int, height: int) -> None:
    """A 24-bit BMP: left half red, right half blue."""
    row = b"".join(b"\x00\x00\xff" if x < width // 2 else b"\xff\x00\x00" for x in range(width))
    row += b"\0" * ((4 - len(row) % 4) % 4)
    pixels = row * height
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    path.write_bytes(header + info + pixels)


def colour(palette: bytes, pixels: bytes, width: int, x: int, y: int) -> bytes:
    index = pixels[y * width + x]
    return palette[index * 3 : index * 3 + 3]


def test_each_model_gets_its_screen(tmp_path: Path) -> None:
    picture = tmp_path / "halves.bmp"
    write_bmp(picture, 64, 48)
    palette, pixels = ks318.convert_picture(picture, 318)
    assert len(palette) == ks318.PALETTE_BYTES and len(pixels) == ks318.PIXELS_318
    # 4:3 fills the 320 x 240 screen: red on the left, blue on the right.
    left, right = colour(palette, pixels, 320, 40, 120), colour(palette, pixels, 320, 280, 120)
    assert left[0] > 150 and left[2] < 100 and right[2] > 150 and right[0] < 100
    wide = ks318.convert_picture(str(picture), 320)
    assert len(wide[1]) == ks318.PIXELS_OTHER
    assert ks318.convert_picture(picture, 330) == wide
    # The same bytes the export itself writes.
    raw_palette = ctypes.create_string_buffer(ks318.PALETTE_BYTES)
    raw_pixels = ctypes.create_string_buffer(ks318.PIXELS_OTHER)
    assert _lib.library().kq_convertimgfromfile(bytes(picture), 320, raw_palette, raw_pixels) == ks318.PIXELS_OTHER
    assert (raw_palette.raw, raw_pixels.raw) == wide


def test_refusals_raise_picture_error_with_the_reason(tmp_path: Path) -> None:
    missing = tmp_path / "missing.bmp"
    with pytest.raises(ks318.PictureError) as failure:
        ks318.convert_picture(missing, 318)
    assert failure.value.result == 0 and failure.value.function == "kq_convertimgfromfile"
    assert failure.value.reason == f"no file {missing}"
    damaged = tmp_path / "damaged.bmp"
    damaged.write_bytes(b"BM" + b"\x5a" * 300)
    with pytest.raises(ks318.PictureError) as failure:
        ks318.convert_picture(damaged, 320)
    assert failure.value.reason != ""
    with pytest.raises(ValueError):
        ks318.convert_picture(missing, 2**31)
