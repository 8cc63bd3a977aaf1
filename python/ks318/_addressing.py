"""How the package names a terminal to the library: a :class:`Terminal` by its
id, a plain int as a terminal number, each call made with the calling thread
in the matching addressing mode (kq_addressby) and the thread's own mode put
back after, so the host's own calls of the library mean what they meant."""

from __future__ import annotations

import ctypes
from types import TracebackType
from typing import Optional, Tuple, Type, Union

from .constants import ADDRESS_BY_ID, ADDRESS_BY_NUMBER
from .terminal import Terminal

__all__ = ["TerminalName", "Addressed", "resolve"]

#: What every command takes: a Terminal (by id), or a terminal number.
TerminalName = Union[int, Terminal]


def resolve(terminal: TerminalName) -> Tuple[int, int]:
    """The addressing mode and the value to pass for ``terminal``."""
    if isinstance(terminal, Terminal):
        return ADDRESS_BY_ID, terminal.id
    if isinstance(terminal, int):
        return ADDRESS_BY_NUMBER, terminal
    raise TypeError(f"a terminal is a ks318.Terminal or a terminal number, not {type(terminal).__name__}")


class Addressed:
    """``with Addressed(library, mode):`` the calling thread's exports take
    that kind of name; the thread's previous mode is restored on leaving."""

    __slots__ = ("_library", "_mode", "_previous")

    def __init__(self, library: ctypes.CDLL, mode: int) -> None:
        self._library = library
        self._mode = mode
        self._previous = -1

    def __enter__(self) -> "Addressed":
        self._previous = int(self._library.kq_addressby(self._mode))
        return self

    def __exit__(
        self,
        kind: Optional[Type[BaseException]],
        error: Optional[BaseException],
        trace: Optional[TracebackType],
    ) -> None:
        if self._previous >= 0 and self._previous != self._mode:
            self._library.kq_addressby(self._previous)
