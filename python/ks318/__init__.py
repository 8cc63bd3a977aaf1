"""KS318 for Python: drive networked display terminals through the KS318 library.

::

    import ks318

    with ks318.Server(port=0, bind="127.0.0.1") as server:
        print("listening on", server.port)
        for event in server.events(timeout=30):
            if isinstance(event, ks318.KeyEvent):
                server.send_text(event.terminal, f"key {event.key}", 8, 8)

``event.terminal`` is a :class:`Terminal`: the connection itself, named by the
id the library gave it, so the text reaches the terminal that pressed the key
or fails with NoTerminal once it has gone, never another terminal. A plain int
is still taken as a terminal number.

The shared library is found through ``KS318_LIBRARY``, else
``ctypes.util.find_library("ks318")``, else ``libks318.so.0``.
"""

from __future__ import annotations

from ._addressing import TerminalName
from ._lib import has_export as library_has
from ._lib import last_failure, library
from .constants import *  # noqa: F401,F403
from .constants import __all__ as _constant_names
from .errors import *  # noqa: F401,F403
from .errors import __all__ as _error_names
from .events import *  # noqa: F401,F403
from .events import __all__ as _event_names
from .pictures import convert_picture
from .records import *  # noqa: F401,F403
from .records import __all__ as _record_names
from .server import Connection, Server
from .terminal import Terminal

__version__ = "0.1.0"


def version() -> int:
    """The library's version number (32)."""
    return int(library().kq_version())


__all__ = [
    "Server",
    "Terminal",
    "TerminalName",
    "Connection",
    "convert_picture",
    "library",
    "last_failure",
    "library_has",
    "version",
    *_constant_names,
    *_error_names,
    *_event_names,
    *_record_names,
]
