"""What a server reports: connects, disconnects and data, as event objects.

Data events are read from the library inside its notification, on the
terminal's own connection thread, so what they carry is complete and nothing
is left in the library's stores for later.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from ipaddress import IPv4Address
from typing import Optional, Union

from .constants import Notification
from .records import ConfigRecord, ImageUpdateConfig, WifiRecord
from .terminal import Terminal

__all__ = [
    "Event",
    "ConnectEvent",
    "DisconnectEvent",
    "DataEvent",
    "KeyEvent",
    "SerialEvent",
    "CardEvent",
    "ConfigEvent",
    "WifiEvent",
    "UidEvent",
    "ScEvent",
    "ImageUpdateEvent",
    "FileEvent",
    "SerialStatusEvent",
    "AnswerEvent",
]


@dataclass(frozen=True)
class Event:
    """Something a server reported about ``terminal``: the connection it is
    about, named by its id, the same object for every event of one connection
    (its id 0 when the server could not tell). Give it to a command and the
    command reaches that connection or fails, never another terminal.
    ``number`` is the terminal number it had when the event was made, for
    display: numbers move when an earlier terminal leaves."""

    terminal: Terminal
    number: int


@dataclass(frozen=True)
class ConnectEvent(Event):
    """A terminal connected and went through its handshake."""

    address: IPv4Address
    model: int  #: model number (318: 320 x 240 screen; others 480 x 272)
    version: int  #: terminal version
    ident: int  #: the identification word: b0 version, b1 b2 model; 0 when not identified


@dataclass(frozen=True)
class DisconnectEvent(Event):
    """A terminal left. ``number`` is 0: the library has taken it out of its
    table before telling; ``terminal.number`` is 0 from now on."""

    address: IPv4Address
    handle: int  #: the low 16 bits of its connection handle


@dataclass(frozen=True)
class DataEvent(Event):
    """A data notification. ``kind`` is a :class:`Notification` (a plain int
    for a code this package does not know), ``extra`` the notification's extra
    value."""

    kind: Union[Notification, int]
    handle: int
    extra: int

    @property
    def flag(self) -> bool:
        """For the answers that report success as a flag: whether it was 1."""
        return self.extra == 1


@dataclass(frozen=True)
class KeyEvent(DataEvent):
    """A key pressed on the terminal."""

    key: int


@dataclass(frozen=True)
class SerialEvent(DataEvent):
    """Bytes that arrived on one of the terminal's serial ports."""

    port: int
    data: bytes


@dataclass(frozen=True)
class CardEvent(DataEvent):
    """A card read: both texts (empty when absent; UTF-8, bytes that are not
    read as U+FFFD), and their bytes as the terminal sent them; ``extra`` holds
    the flags (1: first text present, 2: second text present)."""

    first: str
    second: str
    raw_first: bytes = field(repr=False)
    raw_second: bytes = field(repr=False)


@dataclass(frozen=True)
class ConfigEvent(DataEvent):
    """The terminal's configuration record (None when the store had none)."""

    record: Optional[ConfigRecord]


@dataclass(frozen=True)
class WifiEvent(DataEvent):
    """The terminal's wifi record (None when the store had none)."""

    record: Optional[WifiRecord]


@dataclass(frozen=True)
class UidEvent(DataEvent):
    """The terminal's unique identifier (00:1A:2B:3C:4D:5E) and its text."""

    uid: str
    text: str


@dataclass(frozen=True)
class ScEvent(DataEvent):
    """The terminal's 8-byte SC block."""

    sc: bytes


@dataclass(frozen=True)
class ImageUpdateEvent(DataEvent):
    """The terminal's image-update configuration."""

    config: ImageUpdateConfig


@dataclass(frozen=True)
class FileEvent(DataEvent):
    """A file answer: ``kept`` when the file arrived whole and ``data`` holds it;
    otherwise ``data`` is empty. ``name`` is the name the terminal answered
    with ("" when nothing was left to collect)."""

    name: str
    data: bytes = field(repr=False)

    @property
    def kept(self) -> bool:
        return self.extra == 1


@dataclass(frozen=True)
class SerialStatusEvent(DataEvent):
    """A serial port's status word."""

    port: int
    status: int


@dataclass(frozen=True)
class AnswerEvent(DataEvent):
    """An answer of a model-320 terminal: its answer code (``kind``'s code, or
    42 for the display time) and value; both None when the answer was not
    found. For the status answers (sensor, audio, volume, brightness)
    ``value`` is the whole 32-bit value the terminal reported."""

    code: Optional[int]
    value: Optional[int]
