"""Pictures converted once for many terminals."""

from __future__ import annotations

import os
from ctypes import create_string_buffer
from typing import Tuple, Union

from . import _lib
from .constants import PALETTE_BYTES, pixel_count
from .errors import PictureError

__all__ = ["convert_picture"]


def convert_picture(path: Union[str, "os.PathLike[str]"], model: int) -> Tuple[bytes, bytes]:
    """Converts a .bmp, .jpg, .jpeg, .ico, .wmf or .emf file for a terminal of
    ``model`` exactly as :meth:`Server.send_picture` would, without a terminal
    or a running server: the 768-byte palette and one index per pixel (76,800
    for model 318, 130,560 for every other model). Send the result to as many
    terminals of that model as needed with :meth:`Server.send_image`. Raises
    PictureError with the library's reason when the file cannot be used."""
    if not -(2**31) <= model < 2**31:
        raise ValueError(f"a model number is a signed 32-bit value, not {model}")
    palette = create_string_buffer(PALETTE_BYTES)
    pixels = create_string_buffer(pixel_count(model))
    result = int(_lib.library().kq_convertimgfromfile(os.fsencode(path), model, palette, pixels))
    if result != len(pixels):
        reason = _lib.last_failure()
        raise PictureError(f"cannot convert {os.fsdecode(path)} for model {model}", function="kq_convertimgfromfile",
                           result=result, reason=reason)
    return palette.raw, pixels.raw
