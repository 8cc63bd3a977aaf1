"""The records the library sends and returns unchanged, as ctypes structures.

Their fields keep the header's names and layout. A text field reads as ``str``
(UTF-8, up to its first zero byte; bytes that are not UTF-8 read as U+FFFD) and
takes ``str`` or ``bytes``; :meth:`_Record.raw` gives a field's bytes as they
stand. An address field holds an IPv4 address in network byte order, as the
terminal sends it; the ``addresses`` and ``ip`` views give
:class:`ipaddress.IPv4Address` values."""

from __future__ import annotations

import ctypes
from ctypes import c_char, c_int16, c_int32, c_uint8, c_uint16, c_uint32
from ipaddress import IPv4Address
from typing import Any, ClassVar, FrozenSet, List, Sequence, Type, TypeVar, Union

from .constants import MAX_TERMINALS

TEXT_ENCODING = "utf-8"

_R = TypeVar("_R", bound="_Record")

__all__ = [
    "TextRecord",
    "ConfigRecord",
    "WifiRecord",
    "SerialConfigRecord",
    "ImageUpdateConfig",
    "ConnectedTable",
    "TerminalList",
    "TerminalInfoRecord",
    "TEXT_ENCODING",
    "ipv4",
]


def ipv4(raw: int) -> IPv4Address:
    """An address field's value (network byte order, as stored) as an address."""
    return IPv4Address(int(raw).to_bytes(4, "little"))


def _raw_address(address: Union[IPv4Address, str]) -> int:
    return int.from_bytes(IPv4Address(address).packed, "little")


class _Record(ctypes.Structure):
    #: The fields that hold texts: read as str, set from str or bytes.
    _texts_: ClassVar[FrozenSet[str]] = frozenset()

    def __getattribute__(self, name: str) -> Any:
        value = super().__getattribute__(name)
        if name in type(self)._texts_:
            return value.decode(TEXT_ENCODING, "replace")
        return value

    def __setattr__(self, name: str, value: Any) -> None:
        if name in type(self)._texts_ and isinstance(value, str):
            value = value.encode(TEXT_ENCODING)
        super().__setattr__(name, value)

    def raw(self, name: str) -> bytes:
        """A field's bytes as they stand in the record, zero padding included."""
        field = getattr(type(self), name)
        return self.to_bytes()[field.offset:field.offset + field.size]

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
    def from_bytes(cls: Type[_R], data: bytes) -> _R:
        """A record made of exactly ``sizeof`` bytes."""
        if len(data) != ctypes.sizeof(cls):
            raise ValueError(f"{cls.__name__} takes {ctypes.sizeof(cls)} bytes, not {len(data)}")
        return cls.from_buffer_copy(data)


class TextRecord(_Record):
    """A text for the screen (code 35), 170 bytes."""

    _texts_ = frozenset({"text", "font"})
    x: int
    y: int
    text: str
    font: str
    one: int
    colour: int
    height: int
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
    _texts_ = frozenset({"text1", "text2", "text3", "text4"})
    text1: str
    number1: int
    text2: str
    text3: str
    text4: str
    number2: int
    number3: int
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

    @property
    def addresses(self) -> List[IPv4Address]:
        """The five addresses."""
        return [ipv4(raw) for raw in super().__getattribute__("address")]

    @addresses.setter
    def addresses(self, values: Sequence[Union[IPv4Address, str]]) -> None:
        if len(values) != 5:
            raise ValueError(f"a configuration holds 5 addresses, not {len(values)}")
        self.address = (c_uint32 * 5)(*(_raw_address(value) for value in values))


class WifiRecord(_Record):
    """A terminal's wifi settings (codes 151 and 154), 100 bytes."""

    _texts_ = frozenset({"text1", "text2"})
    number1: int
    number2: int
    text1: str
    number3: int
    number4: int
    text2: str
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

    _texts_ = frozenset({"text"})
    number1: int
    text: str
    number2: int
    number3: int
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

    _texts_ = frozenset({"identifier"})
    number: int
    id: int
    address: int
    model: int
    version: int
    identifier: str
    _fields_ = [
        ("number", c_int32),  # its number at the moment of the listing
        ("id", c_int32),
        ("address", c_uint32),  # network byte order
        ("model", c_int32),
        ("version", c_int32),
        ("reserved", c_int32),
        ("identifier", c_char * 32),  # zero-ended
    ]

    @property
    def ip(self) -> IPv4Address:
        """The terminal's address."""
        return ipv4(self.address)
