"""Exceptions raised instead of the exports' fail values."""

from __future__ import annotations

from typing import TYPE_CHECKING, Optional, Union

if TYPE_CHECKING:
    from .terminal import Terminal

__all__ = [
    "KS318Error",
    "ServerError",
    "AlreadyRunning",
    "NotRunning",
    "StartFailed",
    "TerminalError",
    "NoTerminal",
    "NotSupported",
    "SendFailed",
    "Busy",
    "CommandFailed",
    "PictureError",
]


class KS318Error(Exception):
    """Base of every error of this package.

    ``function`` names the export that failed, ``result`` is what it returned
    and ``reason`` the library's own account of the failure ("" when it gave
    none).
    """

    def __init__(
        self,
        message: str,
        *,
        function: Optional[str] = None,
        result: Optional[int] = None,
        reason: str = "",
    ) -> None:
        self.function = function
        self.result = result
        self.reason = reason
        if reason and reason not in message:
            message = f"{message}: {reason}"
        super().__init__(message)


class ServerError(KS318Error):
    """The server could not be started or stopped."""


class AlreadyRunning(ServerError):
    """A server runs in this process already: the library holds only one."""


class NotRunning(ServerError):
    """The server is not running."""


class StartFailed(ServerError):
    """The library did not start listening (address, port)."""


class TerminalError(KS318Error):
    """A command for one terminal failed; ``terminal`` is what the command was
    given: a :class:`Terminal`, or a terminal number."""

    def __init__(self, message: str, *, terminal: "Optional[Union[int, Terminal]]" = None,
                 **kwargs: object) -> None:
        self.terminal = terminal
        super().__init__(message, **kwargs)  # type: ignore[arg-type]


class NoTerminal(TerminalError):
    """No terminal has that number, or the Terminal's connection has gone."""


class NotSupported(TerminalError):
    """The terminal's model or version does not take the command."""


class SendFailed(TerminalError):
    """The frame could not be written (result -1); the connection has ended."""


class Busy(TerminalError):
    """The terminal's send gate stayed busy, or an image is on its way (result -2)."""


class CommandFailed(TerminalError):
    """The command was not sent for another reason (no memory, nothing to send)."""


class PictureError(CommandFailed):
    """The picture file could not be used: missing, unknown, damaged or too large."""
