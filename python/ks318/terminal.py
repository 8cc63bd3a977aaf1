"""A terminal as one connection: named by the id the library gave it at accept.

A terminal number is a position among the connected terminals and moves when
an earlier terminal leaves, so a number kept even for a moment can name another
terminal. An id never moves and is never given to another connection while the
library is loaded: a :class:`Terminal` keeps its id, and every command given one
reaches that connection or fails.
"""

from __future__ import annotations

from ipaddress import IPv4Address

from . import _lib

__all__ = ["Terminal"]


class Terminal:
    """One connection, from its connect to its disconnect (and after, as a name
    that no longer reaches anything).

    Equal to, and hashed as, any other :class:`Terminal` with the same id; never
    equal to a plain number. ``address``, ``model`` and ``version`` are what the
    terminal reported in its handshake, ``identifier`` its identifier text once
    it has answered (``""`` until then), ``handle`` the low 16 bits of its
    connection handle once a data notification has named it (-1 until then).
    """

    __slots__ = ("_id", "address", "model", "version", "identifier", "handle", "__weakref__")

    def __init__(self, id: int, address: IPv4Address = IPv4Address(0), model: int = 0, version: int = 0,
                 identifier: str = "") -> None:
        self._id = int(id)
        self.address = address
        self.model = model
        self.version = version
        self.identifier = identifier
        self.handle = -1

    @property
    def id(self) -> int:
        """The library's id of the connection (from FIRST_TERMINAL_ID up; 0 for
        a terminal the server could not tell)."""
        return self._id

    @property
    def number(self) -> int:
        """The terminal number the connection has now; 0 once it has gone. It
        moves when an earlier terminal leaves: use it at once or not at all."""
        if self._id <= 0:
            return 0
        return int(_lib.library().kq_terminalnumber(self._id))

    @property
    def connected(self) -> bool:
        """Whether the connection is still among the server's terminals."""
        return self.number != 0

    def __eq__(self, other: object) -> bool:
        if isinstance(other, Terminal):
            return self._id == other._id
        return NotImplemented

    def __ne__(self, other: object) -> bool:
        if isinstance(other, Terminal):
            return self._id != other._id
        return NotImplemented

    def __hash__(self) -> int:
        return hash((Terminal, self._id))

    def __str__(self) -> str:
        return f"id {self._id}"

    def __repr__(self) -> str:
        return (f"Terminal(id={self._id}, address={self.address!r}, model={self.model}, "
                f"version={self.version}, identifier={self.identifier!r})")
