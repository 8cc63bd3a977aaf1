"""The records the library sends and returns unchanged, as ctypes structures."""

from __future__ import annotations

import ctypes
from ctypes import c_char, c_int16, c_int32, c_uint8, c_uint16, c_uint32

from .constants import MAX_TERMINALS

__all__ = [
    "TextRecord",
    "ConfigRecord",
    "WifiRecord",
    "SerialConfigRecord",
    "ImageUpdateConfig",
    "ConnectedTable",
    "TerminalList",
    "TerminalInfoRecord",
]


class _Record(ctypes.Structure):
    def __repr__(self) -> str:
        parts = []
        for name, *_ in self._fields_:
            value = getattr(self, name)
            if isinstance(value, ctypes.Array):
                value = list(value)
            parts.append(f"{name}={value!r}")
        return f"{type(self).__name__}({', '.join(parts)})"

    def to_bytes(self) -> bytes:
        """The record's bytes as the library sends them."""
        return ctypes.string_at(ctypes.addressof(self), ctypes.sizeof(self))

    @classmethod
    def from_bytes(cls, data: bytes):  # type: ignore[no-untyped-def]
        """A record made of exactly ``sizeof`` bytes."""
        if len(data) != ctypes.sizeof(cls):
            raise ValueError(f"{cls.__name__} takes {ctypes.sizeof(cls)} bytes, not {len(data)}")
        return cls.from_buffer_copy(data)


class TextRecord(_Record):
    """A text for the screen (code 35), 170 bytes."""

    _fields_ = [
        ("x", c_int16),
        ("y", c_int16),
        ("text", c_char * 128),
        ("font", c_char * 32),  # a font sent to the terminal, or empty
        ("one", c_int16),  # 1 when built by EnviaTexto
        ("colour", c_int16),  # palette entry
        ("height", c_int16),  # line height in pixels; 0: the terminal's default
    ]


class ConfigRecord(_Record):
    """A terminal's configuration (codes 23 and 26), 222 bytes, packed."""

    _pack_ = 1
    _fields_ = [
        ("address", c_uint32 * 5),  # IPv4 addresses, network byte order
        ("text1", c_char * 32),
        ("number1", c_int16),
        ("text2", c_char * 100),
        ("text3", c_char * 30),
        ("text4", c_char * 30),
        ("number2", c_int32),
        ("number3", c_int32),
    ]


class WifiRecord(_Record):
    """A terminal's wifi settings (codes 151 and 154), 100 bytes."""

    _fields_ = [
        ("number1", c_int32),
        ("number2", c_int32),
        ("text1", c_char * 20),
        ("number3", c_int32),
        ("number4", c_int32),
        ("text2", c_char * 64),
    ]


class SerialConfigRecord(_Record):
    """A serial port's configuration (codes 81 and 87), 12 bytes."""

    _fields_ = [
        ("setting1", c_uint32),
        ("setting2", c_int32),
        ("setting3", c_uint8),
        ("setting4", c_uint8),
        ("ten", c_uint16),
    ]


class ImageUpdateConfig(_Record):
    """The image-update configuration (codes 145 and 148), 112 bytes."""

    _fields_ = [
        ("number1", c_int32),
        ("text", c_char * 100),
        ("number2", c_int32),
        ("number3", c_int32),
    ]


class ConnectedTable(_Record):
    """What GetTabConectados fills, 8196 bytes."""

    _fields_ = [
        ("number", c_int32 * MAX_TERMINALS),
        ("address", c_uint32 * MAX_TERMINALS),  # network byte order
        ("count", c_int32),
    ]


class TerminalList(_Record):
    """What kq_gettermconectados fills, 47108 bytes."""

    _fields_ = [
        ("text", (c_char * 34) * MAX_TERMINALS),
        ("number", c_int32 * MAX_TERMINALS),
        ("address", c_uint32 * MAX_TERMINALS),  # network byte order
        ("model", c_int32 * MAX_TERMINALS),
        ("count", c_int32),
    ]


class TerminalInfoRecord(_Record):
    """One entry of kq_listterminals, 56 bytes."""

    _fields_ = [
        ("number", c_int32),  # its number at the moment of the listing
        ("id", c_int32),
        ("address", c_uint32),  # network byte order
        ("model", c_int32),
        ("version", c_int32),
        ("reserved", c_int32),
        ("identifier", c_char * 32),  # zero-ended
    ]
