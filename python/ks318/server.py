"""The server: starts the library, turns its notifications into events and
offers the common commands per terminal, raising exceptions on failure."""

from __future__ import annotations

import ctypes
import logging
import os
import queue
import threading
from ctypes import byref, c_int16, c_int32, c_ubyte, create_string_buffer
from ipaddress import IPv4Address
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple, Type, Union

from . import _lib
from ._addressing import Addressed, TerminalName, resolve
from .constants import (
    ADDRESS_BY_ID,
    ANSWER_DISPLAY_TIME,
    ANSWER_NOTIFICATIONS,
    CARD_TEXT_BYTES,
    FILE_NAME_BYTES,
    GETFILE_MAX_BYTES,
    PALETTE_BYTES,
    PIXELS_OTHER,
    SC_BYTES,
    SERIAL_DATA_BYTES,
    UID_TEXT_BYTES,
    Notification,
    pixel_count,
)
from .errors import (
    AlreadyRunning,
    Busy,
    CommandFailed,
    KS318Error,
    NotRunning,
    NoTerminal,
    NotSupported,
    PictureError,
    SendFailed,
    StartFailed,
    TerminalError,
)
from .events import (
    AnswerEvent,
    CardEvent,
    ConfigEvent,
    ConnectEvent,
    DataEvent,
    DisconnectEvent,
    Event,
    FileEvent,
    ImageUpdateEvent,
    KeyEvent,
    ScEvent,
    SerialEvent,
    SerialStatusEvent,
    UidEvent,
    WifiEvent,
)
from .records import (
    ipv4,
    ConfigRecord,
    ImageUpdateConfig,
    SerialConfigRecord,
    TerminalInfoRecord,
    TextRecord,
    WifiRecord,
)
from .terminal import Terminal

__all__ = ["Server", "Connection"]

log = logging.getLogger("ks318")

# The library keeps calling through these as long as one of its threads may be
# on its way out; they are never released.
_keep_alive: List[Any] = []

BytesLike = Union[bytes, bytearray, memoryview]


def _text(raw: bytes) -> str:
    """A zero-ended (or full) byte field as text."""
    end = raw.find(b"\0")
    if end >= 0:
        raw = raw[:end]
    return raw.decode("utf-8", "replace")


def _model(ident: int) -> int:
    """The model number of kq_getident's word."""
    return ((ident >> 8) & 0xFF) * 256 + ((ident >> 16) & 0xFF)


def _encode(text: Union[str, bytes], limit: int, what: str) -> bytes:
    data = text.encode("utf-8") if isinstance(text, str) else bytes(text)
    if b"\0" in data:
        raise ValueError(f"{what} must not hold a zero byte")
    if len(data) > limit:
        raise ValueError(f"{what} is {len(data)} bytes; at most {limit}")
    return data


#: The name this package gave a connected terminal before terminals had ids.
Connection = Terminal

#: The terminal of a notification the library could not tell (it names nothing).
_UNKNOWN_ID = 0


_ConnectHook = Callable[[ConnectEvent], Any]
_DisconnectHook = Callable[[DisconnectEvent], Any]
_DataHook = Callable[[DataEvent], Any]

_STOPPED = object()  # wakes a reader of the event queue when the server stops


class Server:
    """The KS318 server.

    ::

        with ks318.Server(port=0, bind="127.0.0.1") as server:
            for event in server.events(timeout=10):
                ...

    Notifications reach the host as calls of ``on_connect``, ``on_disconnect``
    and ``on_data`` (given here, or methods of a subclass), made on the
    terminal's own connection thread (connect first, disconnect last), and,
    unless ``queue_events`` is false, as events in a queue read with
    :meth:`events` or :meth:`get_event`. By default events are queued when no
    handler is given.

    Every event names its terminal as a :class:`Terminal` (one object per
    connection, kept from its connect to its disconnect). Every command takes
    a Terminal, addressed by its id: it reaches that connection or raises
    :class:`NoTerminal`, never reaching another terminal. A plain int is a
    terminal number, as the library's exports take it, and may name another
    terminal by the time it is used when terminals come and go.

    The library holds one server per process: starting a second raises
    :class:`AlreadyRunning`.
    """

    _running_lock = threading.Lock()
    _running: Optional["Server"] = None

    def __init__(
        self,
        port: int = 0,
        bind: Optional[str] = "127.0.0.1",
        *,
        on_connect: Optional[_ConnectHook] = None,
        on_disconnect: Optional[_DisconnectHook] = None,
        on_data: Optional[_DataHook] = None,
        queue_events: Optional[bool] = None,
    ) -> None:
        self._requested_port = port
        self._bind = bind
        if on_connect is not None:
            setattr(self, "on_connect", on_connect)  # an instance's handler in place of the method
        if on_disconnect is not None:
            setattr(self, "on_disconnect", on_disconnect)  # an instance's handler in place of the method
        if on_data is not None:
            setattr(self, "on_data", on_data)  # an instance's handler in place of the method
        if queue_events is None:
            overridden = any(
                getattr(type(self), name) is not getattr(Server, name)
                for name in ("on_connect", "on_disconnect", "on_data")
            )
            queue_events = not (overridden or on_connect or on_disconnect or on_data)
        self._queue_events = queue_events
        self._queue: "queue.Queue[object]" = queue.Queue()
        self._lib = _lib.library()
        self._port = 0
        self._started = False
        self._stopping = False
        # The connected terminals by id, from connect to disconnect: every event
        # of one connection carries the same Terminal.
        self._registry_lock = threading.Lock()
        self._registry: Dict[int, Terminal] = {}
        # Notifications in flight, per thread, so that a stop can wait for them.
        self._gate = threading.Condition()
        self._closed = True
        self._active: Dict[int, int] = {}
        # One buffer for the files collected in notifications.
        self._file_lock = threading.Lock()
        self._file_buffer = (c_ubyte * GETFILE_MAX_BYTES)()
        # Answers popped for another terminal than the one being notified, by id.
        self._answer_lock = threading.Lock()
        self._answer_stash: Dict[int, List[Tuple[int, int, int]]] = {}
        self._answer_sequence = 0
        #: Exceptions raised by the host's handlers (they cannot reach the library).
        self.handler_errors: List[BaseException] = []
        self._post = _lib.PostFunction(self._posted)
        self._send = _lib.SendFunction(self._sent)
        self._target = _lib.KqHostTarget(None, self._post, self._send)

    # ---- hooks -------------------------------------------------------------------

    def on_connect(self, event: ConnectEvent) -> None:
        """Called on the terminal's connection thread when it has connected."""

    def on_disconnect(self, event: DisconnectEvent) -> None:
        """Called on the terminal's connection thread when it has left."""

    def on_data(self, event: DataEvent) -> None:
        """Called on the terminal's connection thread for each data notification;
        the terminal is not read until it returns."""

    # ---- lifecycle ---------------------------------------------------------------

    @property
    def port(self) -> int:
        """The port listened on; 0 while stopped."""
        return self._port if self._started else 0

    @property
    def running(self) -> bool:
        return self._started

    def start(self) -> "Server":
        """Starts listening; raises :class:`AlreadyRunning` when a server runs
        in this process, :class:`StartFailed` when the library did not start."""
        port = self._requested_port
        if not isinstance(port, int) or not 0 <= port <= 65535:
            raise ValueError(f"port {port!r} is not in 0 ... 65535")
        with Server._running_lock:
            if Server._running is not None:
                raise AlreadyRunning("a KS318 server runs in this process already")
            _keep_alive.extend((self._post, self._send, self._target))
            with self._gate:
                self._closed = False
            bind = self._bind.encode() if self._bind else None
            result = self._lib.kq_startserverex(ctypes.byref(self._target), 1, 2, bind, port)
            if result != 1:
                reason = _lib.last_failure()
                with self._gate:
                    self._closed = True
                raise StartFailed(
                    f"cannot listen on {self._bind or 'every address'} port {port}",
                    function="kq_startserverex",
                    result=result,
                    reason=reason,
                )
            Server._running = self
            self._started = True
            self._port = int(self._lib.kq_getserverport())
        return self

    def stop(self) -> None:
        """Stops the server: every terminal is dropped and its disconnect
        handled before this returns; no handler is called after it. Called
        from a handler, it does not wait for that handler."""
        with Server._running_lock:
            if not self._started or Server._running is not self or self._stopping:
                raise NotRunning("the server is not running")
            self._stopping = True
        # Not under the lock: a handler may stop the server while the host does.
        try:
            self._lib.kq_finishserver()
        finally:
            me = threading.get_ident()
            with self._gate:
                self._closed = True
                while any(count for thread, count in self._active.items() if thread != me):
                    self._gate.wait()
            with self._registry_lock:
                self._registry.clear()
            with Server._running_lock:
                self._started = False
                self._stopping = False
                Server._running = None
            self._queue.put(_STOPPED)

    def __enter__(self) -> "Server":
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        if self._started:
            try:
                self.stop()
            except NotRunning:
                pass  # a handler is stopping it

    # ---- events ------------------------------------------------------------------

    def get_event(self, timeout: Optional[float] = None) -> Event:
        """The next queued event; raises TimeoutError when none came within
        ``timeout`` seconds (None: wait as long as it takes)."""
        while True:
            try:
                item = self._queue.get(timeout=timeout)
            except queue.Empty:
                raise TimeoutError(f"no event within {timeout} s") from None
            if item is not _STOPPED:
                return item  # type: ignore[return-value]
            if not self._started and self._queue.empty():
                raise TimeoutError("the server has stopped and no event is left")

    def events(self, timeout: Optional[float] = None) -> Iterator[Event]:
        """Queued events as they come; ends when none came within ``timeout``
        seconds, or once the server has stopped and the queue is empty."""
        while True:
            try:
                item = self._queue.get(timeout=timeout) if self._started else self._queue.get_nowait()
            except queue.Empty:
                return
            if item is _STOPPED:
                continue
            yield item  # type: ignore[misc]

    # ---- notifications ----------------------------------------------------------

    def _enter(self) -> bool:
        me = threading.get_ident()
        with self._gate:
            if self._closed:
                return False
            self._active[me] = self._active.get(me, 0) + 1
            return True

    def _leave(self) -> None:
        me = threading.get_ident()
        with self._gate:
            count = self._active[me] - 1
            if count:
                self._active[me] = count
            else:
                del self._active[me]
            self._gate.notify_all()

    def _deliver(self, event: Event, hook: Callable[[Any], Any]) -> None:
        if self._queue_events:
            self._queue.put(event)
        try:
            hook(event)
        except BaseException as error:  # nothing may reach the library
            self.handler_errors.append(error)
            log.exception("KS318 handler failed on %r", event)

    def _posted(self, context: Any, message: int, wparam: int, lparam: int) -> None:
        if not self._enter():
            return
        try:
            # Asked on the terminal's own connection thread: exact while this runs.
            terminal_id = int(self._lib.kq_notifiedterminal(message, wparam, lparam))
            if lparam & 0xFFFF == 1:
                self._connected(terminal_id, wparam, lparam >> 16)
            else:
                self._disconnected(terminal_id, wparam, lparam >> 16)
        except BaseException:
            log.exception("KS318 notification failed")
        finally:
            self._leave()

    def _sent(self, context: Any, message: int, wparam: int, lparam: int) -> None:
        if not self._enter():
            return
        try:
            terminal_id = int(self._lib.kq_notifiedterminal(message, wparam, lparam))
            self._data(terminal_id, wparam, lparam & 0xFFFF, lparam >> 16)
        except BaseException:
            log.exception("KS318 notification failed")
        finally:
            self._leave()

    def _by_id(self) -> Addressed:
        """The package's own reads in a handler name the terminal by id; the
        host's handler then runs in the thread's own mode again."""
        return Addressed(self._lib, ADDRESS_BY_ID)

    @staticmethod
    def _address(value: int) -> IPv4Address:
        # The notifications' address is the one the records hold: network byte order.
        return ipv4(value & 0xFFFFFFFF)

    def _connected(self, terminal_id: int, address: int, number: int) -> None:
        ident = 0
        if terminal_id != _UNKNOWN_ID:
            with self._by_id():
                ident = int(self._lib.kq_getident(terminal_id))
        model, version = _model(ident), ident & 0xFF
        terminal = Terminal(terminal_id, self._address(address), model, version)
        if terminal_id != _UNKNOWN_ID:
            with self._registry_lock:
                terminal = self._registry.setdefault(terminal_id, terminal)
        event = ConnectEvent(terminal, number, terminal.address, model, version, ident)
        self._deliver(event, self.on_connect)

    def _disconnected(self, terminal_id: int, address: int, handle: int) -> None:
        with self._registry_lock:
            terminal = self._registry.pop(terminal_id, None)
        if terminal is None:
            terminal = Terminal(terminal_id, self._address(address))
        with self._answer_lock:
            self._answer_stash.pop(terminal_id, None)
        # The library takes a terminal out of its table before telling: it has
        # no number any more.
        self._deliver(DisconnectEvent(terminal, 0, terminal.address, handle), self.on_disconnect)

    def _known(self, terminal_id: int) -> Terminal:
        """The registry's Terminal of the id; a new one, not kept, when the
        registry has none (the id 0 of a notification the library could not tell)."""
        with self._registry_lock:
            terminal = self._registry.get(terminal_id)
        return terminal if terminal is not None else Terminal(terminal_id)

    def _data(self, terminal_id: int, code: int, handle: int, extra: int) -> None:
        terminal = self._known(terminal_id)
        terminal.handle = handle
        try:
            kind: Union[Notification, int] = Notification(code)
        except ValueError:
            kind = code
        with self._by_id():
            number = int(self._lib.kq_terminalnumber(terminal_id)) if terminal_id != _UNKNOWN_ID else 0
            event = self._read(kind, terminal, number, handle, extra)
        if isinstance(event, UidEvent) and event.text:
            terminal.identifier = event.text
        self._deliver(event, self.on_data)

    def _read(self, kind: Union[Notification, int], terminal: Terminal, number: int, handle: int,
              extra: int) -> DataEvent:
        """What the read exports give for a notification, read on its thread
        with the thread addressing by id."""
        lib = self._lib
        base = (terminal, number, kind, handle, extra)
        tid = terminal.id
        if kind == Notification.KEY:
            # The key is the extra value; the server-wide key store is emptied of
            # one entry so that it never fills up.
            lib.Get_KBD_char(byref(c_int32()), byref(c_ubyte()))
            return KeyEvent(*base, key=extra & 0xFF)
        if tid == _UNKNOWN_ID:
            return DataEvent(*base)
        if kind in (Notification.SERIAL0, Notification.SERIAL1):
            source = c_int32(0 if kind == Notification.SERIAL0 else 1)
            buffer = create_string_buffer(SERIAL_DATA_BYTES)
            length = lib.kq_getserial(tid, byref(source), buffer)
            return SerialEvent(*base, port=source.value, data=buffer.raw[: max(0, min(length, SERIAL_DATA_BYTES))])
        if kind == Notification.CARD:
            first = create_string_buffer(CARD_TEXT_BYTES)
            second = create_string_buffer(CARD_TEXT_BYTES)
            if lib.kq_getmag(tid, first, second) != 1:
                return CardEvent(*base, first="", second="", raw_first=b"", raw_second=b"")
            return CardEvent(*base, first=_text(first.value), second=_text(second.value),
                             raw_first=first.value, raw_second=second.value)
        if kind == Notification.CONFIG:
            config = ConfigRecord()
            return ConfigEvent(*base, record=config if lib.kq_getconfig(tid, byref(config)) == 1 else None)
        if kind == Notification.WIFI:
            wifi = WifiRecord()
            return WifiEvent(*base, record=wifi if lib.kq_getconfigwifi(tid, byref(wifi)) == 1 else None)
        if kind == Notification.UID:
            text = create_string_buffer(64)
            name = create_string_buffer(UID_TEXT_BYTES)
            lib.kq_getuid(tid, text, name)
            return UidEvent(*base, uid=_text(text.raw), text=_text(name.raw))
        if kind == Notification.SC:
            sc = create_string_buffer(SC_BYTES)
            lib.kq_getsc(tid, sc)
            return ScEvent(*base, sc=sc.raw)
        if kind == Notification.IMAGE_UPDATE:
            update = ImageUpdateConfig()
            lib.kq_getimageupdateconfig(tid, byref(update))
            return ImageUpdateEvent(*base, config=update)
        if kind == Notification.FILE:
            return self._collect_file(base, tid)
        if kind == Notification.SERIAL_STATUS:
            port = 0 if extra == 0 else 1
            status = c_int16(0)
            lib.kq_sergetstatus(tid, port, byref(status))
            return SerialStatusEvent(*base, port=port, status=status.value & 0xFFFF)
        if kind in ANSWER_NOTIFICATIONS:
            return self._answer(base, tid, int(kind))
        return DataEvent(*base)

    def _collect_file(self, base: Tuple[Terminal, int, Any, int, int], terminal_id: int) -> FileEvent:
        name = create_string_buffer(FILE_NAME_BYTES)
        size = c_int32(0)
        with self._file_lock:
            if self._lib.kq_getfile(terminal_id, name, byref(size), self._file_buffer) != 1:
                return FileEvent(*base, name="", data=b"")
            length = max(0, min(size.value, GETFILE_MAX_BYTES))
            data = bytes(memoryview(self._file_buffer)[:length])
        return FileEvent(*base, name=_text(name.raw), data=data)

    def _answer(self, base: Tuple[Terminal, int, Any, int, int], terminal_id: int, code: int) -> AnswerEvent:
        """The answer event of this notification. The answer store is popped for
        the lowest-numbered terminal that holds one (named by its id, the thread
        addressing by id); answers of other terminals popped on the way are kept
        here for their own notifications."""
        expected = {code, ANSWER_DISPLAY_TIME} if code == Notification.SENSOR else {code}
        found: Optional[Tuple[int, int]] = None
        with self._answer_lock:
            self._answer_sequence += 1
            position = 0
            while True:
                terminal, answer, word, count = c_int32(), c_ubyte(), c_int32(), c_int32()
                if not self._lib.kq_TemResposta(byref(terminal), byref(answer), byref(word), byref(count)):
                    break
                if terminal.value == terminal_id and answer.value in expected:
                    found = (answer.value, word.value)
                    break
                # Newest of its terminal first within one pass; later passes newer.
                self._answer_stash.setdefault(terminal.value, []).append(
                    (self._answer_sequence, -position, answer.value << 32 | (word.value & 0xFFFFFFFF))
                )
                position += 1
            if found is None:
                stash = self._answer_stash.get(terminal_id, [])
                matching = [entry for entry in stash if entry[2] >> 32 in expected]
                if matching:
                    newest = max(matching)
                    stash.remove(newest)
                    value32 = newest[2] & 0xFFFFFFFF
                    found = (newest[2] >> 32, value32 - (1 << 32) if value32 >= 1 << 31 else value32)
        if found is None:
            return AnswerEvent(*base, code=None, value=None)
        answer_code, value = found
        # The status answers keep their whole value in the terminal's record.
        getter = {
            Notification.SENSOR: self._lib.kq_getsensorstatus,
            Notification.AUDIO: self._lib.kq_getaudiostatus,
            Notification.VOLUME: self._lib.kq_getvolume,
            Notification.BRIGHTNESS: self._lib.kq_getbrightness,
        }.get(Notification(code))
        if getter is not None and answer_code == code:
            value = int(getter(terminal_id))
        return AnswerEvent(*base, code=answer_code, value=value)

    # ---- terminals ---------------------------------------------------------------

    @property
    def connections(self) -> List[Terminal]:
        """The terminals whose connect has been handled and that are still
        connected, in terminal-number order (each number read in turn)."""
        with self._registry_lock:
            known = list(self._registry.values())
        numbered = sorted(((terminal.number, terminal) for terminal in known), key=lambda pair: pair[0])
        return [terminal for number, terminal in numbered if number]

    def connection(self, terminal: TerminalName) -> Optional[Terminal]:
        """The connected Terminal of a Terminal, or of the terminal number
        ``terminal`` has now; None when there is none (or its connect has not
        been handled yet)."""
        mode, value = resolve(terminal)
        if mode != ADDRESS_BY_ID:
            value = int(self._lib.kq_terminalid(value)) if value > 0 else 0
        with self._registry_lock:
            return self._registry.get(value)

    def terminals(self) -> List[Terminal]:
        """The identified terminals in terminal-number order, as one snapshot
        of the library's table (kq_listterminals): the Terminal objects events
        carry, with the identifier text each has now."""
        capacity = 64
        while True:
            entries = (TerminalInfoRecord * capacity)()
            count = int(self._lib.kq_listterminals(entries, capacity))
            if count < 0:
                raise KS318Error("the listing could not be made", function="kq_listterminals",
                                 reason=_lib.last_failure())
            if count <= capacity:
                break
            capacity = count  # more came meanwhile: one more try with room for them
        listed = [(entry.id, entry.ip, entry.model, entry.version, entry.identifier) for entry in entries[:count]]
        result = []
        with self._registry_lock:
            for terminal_id, address, model, version, identifier in listed:
                terminal = self._registry.get(terminal_id)
                if terminal is None:  # identified, its connect not handled yet
                    terminal = Terminal(terminal_id, address, model, version)
                terminal.identifier = identifier
                result.append(terminal)
        return result

    def ident(self, terminal: TerminalName) -> Tuple[int, int]:
        """The terminal's model and version; raises NoTerminal."""
        mode, value = resolve(terminal)
        with Addressed(self._lib, mode):
            ident = int(self._lib.kq_getident(value))
            reason = _lib.last_failure() if ident == 0 else ""
        if ident == 0:
            raise NoTerminal(f"no terminal {terminal}", terminal=terminal, function="kq_getident", result=0,
                             reason=reason)
        return _model(ident), ident & 0xFF

    def address(self, terminal: TerminalName) -> IPv4Address:
        """The terminal's IPv4 address; raises NoTerminal."""
        mode, value = resolve(terminal)
        with Addressed(self._lib, mode):
            raw = self._lib.kq_ipfromid(value)
            reason = _lib.last_failure() if not raw else ""
        if not raw:
            raise NoTerminal(f"no terminal {terminal}", terminal=terminal, function="kq_ipfromid", reason=reason)
        return IPv4Address(bytes(raw).decode("ascii"))

    # ---- command results -----------------------------------------------------------

    def _failure(
        self,
        function: str,
        terminal: TerminalName,
        value: int,
        result: int,
        reason: str,
        *,
        model320: bool = False,
        version32: bool = False,
        failed: Type[TerminalError] = CommandFailed,
    ) -> TerminalError:
        """What a failed command raises; called with the thread still in the
        command's addressing mode, ``value`` being what the command was given."""
        details: Dict[str, Any] = {"terminal": terminal, "function": function, "result": result, "reason": reason}
        if result == -2:
            return Busy(f"terminal {terminal} is busy ({function})", **details)
        ident = int(self._lib.kq_getident(value)) if value > 0 else 0
        if ident == 0:
            return NoTerminal(f"no terminal {terminal} ({function})", **details)
        model = _model(ident)
        if model320 and model != 320:
            return NotSupported(f"terminal {terminal} is model {model}; {function} needs model 320", **details)
        if version32 and (ident & 0xFF) < 32:
            return NotSupported(
                f"terminal {terminal} has version {ident & 0xFF}; {function} needs version 32", **details
            )
        if result == -1:
            return SendFailed(f"sending to terminal {terminal} failed ({function})", **details)
        return failed(f"{function} failed for terminal {terminal} (result {result})", **details)

    def _command(
        self,
        function: str,
        terminal: TerminalName,
        *args: Any,
        model320: bool = False,
        version32: bool = False,
        failed: Type[TerminalError] = CommandFailed,
        success: Optional[Callable[[int, int], bool]] = None,
    ) -> int:
        """Calls ``function`` for a Terminal by its id, for an int by number,
        the calling thread switched to that addressing for the call alone.
        ``success(result, value)`` decides on results other than above 0."""
        mode, value = resolve(terminal)
        with Addressed(self._lib, mode):
            result = int(getattr(self._lib, function)(value, *args))
            if success(result, value) if success is not None else result > 0:
                return result
            reason = _lib.last_failure()  # before any other export starts it afresh
            error = self._failure(function, terminal, value, result, reason, model320=model320,
                                  version32=version32, failed=failed)
        raise error

    def _require(self, terminal: TerminalName) -> int:
        """The model of a connected terminal; raises NoTerminal."""
        return self.ident(terminal)[0]

    # ---- screen --------------------------------------------------------------------

    def send_text(
        self,
        terminal: TerminalName,
        text: Union[str, bytes],
        x: int = 0,
        y: int = 0,
        *,
        colour: int = 15,
        height: int = 0,
        font: Union[str, bytes] = "",
    ) -> int:
        """Draws a text (code 35) at x, y in palette entry ``colour``; ``height``
        is the line height (0: the terminal's default), ``font`` the name of a
        font sent to the terminal. Queued behind a frame on its way."""
        record = TextRecord(x=x, y=y, colour=colour, height=height, text=_encode(text, 127, "the text"),
                            font=_encode(font, 31, "the font name"))
        return self._command("kq_sendtext", terminal, byref(record))

    def fill(self, terminal: TerminalName, index: int) -> int:
        """Fills the screen with palette entry ``index`` (code 33)."""
        return self._command("kq_fillscreen", terminal, index)

    def send_image(self, terminal: TerminalName, palette: BytesLike, pixels: BytesLike) -> int:
        """Sends a full-screen image: a 768-byte palette and one index per pixel
        (76,800 for model 318, 130,560 for the others)."""
        if len(palette) != PALETTE_BYTES:
            raise ValueError(f"a palette is {PALETTE_BYTES} bytes, not {len(palette)}")
        needed = pixel_count(self._require(terminal))
        if len(pixels) != needed:
            raise ValueError(f"terminal {terminal} takes {needed} pixel bytes, not {len(pixels)}")
        # The library reads as many pixels as the terminal's model takes: a buffer
        # of the larger size is safe whatever terminal the number names by then.
        palette_buffer = create_string_buffer(bytes(palette), PALETTE_BYTES)
        pixel_buffer = create_string_buffer(bytes(pixels), PIXELS_OTHER)
        return self._command("kq_sendimage", terminal, palette_buffer, pixel_buffer)

    def send_block(self, terminal: TerminalName, x: int, y: int, width: int, height: int, pixels: BytesLike) -> int:
        """Sends a width x height block of palette indices at x, y (code 131)."""
        if width < 0 or height < 0 or len(pixels) != width * height:
            raise ValueError(f"a {width} x {height} block takes {max(width * height, 0)} bytes, not {len(pixels)}")
        buffer = create_string_buffer(bytes(pixels), max(len(pixels), 1))
        return self._command("kq_sendimageblock", terminal, x, y, width, height, buffer)

    def send_palette(self, terminal: TerminalName, palette: BytesLike) -> int:
        """Sends a 768-byte palette (code 133; version 32)."""
        if len(palette) != PALETTE_BYTES:
            raise ValueError(f"a palette is {PALETTE_BYTES} bytes, not {len(palette)}")
        buffer = create_string_buffer(bytes(palette), PALETTE_BYTES)
        return self._command("kq_enviapaleta", terminal, buffer, version32=True)

    def send_picture(self, terminal: TerminalName, path: Union[str, "os.PathLike[str]"]) -> int:
        """Shows a .bmp, .jpg, .jpeg, .ico, .wmf or .emf file, converted by the
        library for the terminal's screen. Raises PictureError when the file
        cannot be used."""
        return self._command("kq_sendimgfromfile", terminal, os.fsencode(path), failed=PictureError)

    def load_image(self, terminal: TerminalName, number: int) -> int:
        """Shows the terminal's stored image ``number`` (code 129; version 32)."""
        return self._command("kq_loadimage", terminal, number, version32=True)

    # ---- files ---------------------------------------------------------------------

    def send_file(self, terminal: TerminalName, name: str, data: BytesLike) -> int:
        """Sends ``data`` to be kept on the terminal as ``name`` (code 99); the
        bytes sent (0 for empty data)."""
        encoded = _encode(name, 127, "the file name")
        payload = bytes(data)
        buffer = create_string_buffer(payload, max(len(payload), 1))
        return self._command(
            "kq_sendfileptr",
            terminal,
            encoded,
            buffer,
            len(payload),
            success=lambda r, value: r > 0 or (r == 0 and not payload and self._lib.kq_getident(value) != 0),
        )

    def send_local_file(self, terminal: TerminalName, path: Union[str, "os.PathLike[str]"], name: str) -> int:
        """Sends the local file at ``path`` whole, to be kept as ``name``."""
        encoded = _encode(name, 127, "the file name")
        path_bytes = os.fsencode(path)
        empty = os.path.isfile(path_bytes) and os.path.getsize(path_bytes) == 0
        return self._command(
            "kq_sendfile",
            terminal,
            path_bytes,
            encoded,
            success=lambda r, value: r > 0 or (r == 0 and empty and self._lib.kq_getident(value) != 0),
        )

    def request_file(self, terminal: TerminalName, name: str) -> int:
        """Asks the terminal for its file ``name`` (code 97; version 32). The
        answer arrives as a :class:`FileEvent`."""
        return self._command("kq_reqfile", terminal, _encode(name, 127, "the file name"), version32=True)

    # ---- input devices ----------------------------------------------------------------

    def keyboard(self, terminal: TerminalName, enabled: bool = True) -> int:
        """Enables or disables the terminal's keyboard (code 49)."""
        return self._command("HabilitaTeclado", terminal, 1 if enabled else 0)

    def card_reader(self, terminal: TerminalName, enabled: bool = True) -> int:
        """Enables or disables the terminal's card reader (code 65)."""
        return self._command("HabilitaLEC", terminal, 1 if enabled else 0)

    def write_serial(self, terminal: TerminalName, port: int, data: BytesLike) -> int:
        """Writes up to 256 bytes to serial port ``port`` (0 or 1) of the terminal."""
        payload = bytes(data)
        if len(payload) > SERIAL_DATA_BYTES:
            raise ValueError(f"at most {SERIAL_DATA_BYTES} serial bytes at a time, not {len(payload)}")
        buffer = create_string_buffer(payload, SERIAL_DATA_BYTES)
        return self._command("kq_writeserial", terminal, port, len(payload), buffer)

    def configure_serial(self, terminal: TerminalName, port: int, settings: SerialConfigRecord) -> int:
        """Sends a serial port's configuration (code 81 or 87)."""
        return self._command("kq_sendconfigserial", terminal, port, byref(settings))

    def request_serial_status(self, terminal: TerminalName, port: int) -> int:
        """Asks for a serial port's status; a :class:`SerialStatusEvent` answers."""
        return self._command("kq_serreqstatus", terminal, port)

    # ---- terminal state ---------------------------------------------------------------

    def live(self, terminal: TerminalName) -> int:
        """Sends a live signal (code 17)."""
        return self._command("kq_sendlive", terminal)

    def always_live(self, terminal: TerminalName) -> int:
        """Tells the terminal to stay alive for good (code 29)."""
        return self._command("kq_sendalwayslive", terminal)

    def request_uid(self, terminal: TerminalName) -> int:
        """Asks for the unique identifier (version 32); a :class:`UidEvent` answers."""
        return self._command("kq_requid", terminal, version32=True)

    def request_sc(self, terminal: TerminalName) -> int:
        """Asks for the SC block (version 32); a :class:`ScEvent` answers."""
        return self._command("kq_reqsc", terminal, version32=True)

    def request_config(self, terminal: TerminalName) -> int:
        """Asks for the configuration record; a :class:`ConfigEvent` answers."""
        return self._command("kq_reqconfig", terminal)

    def send_config(self, terminal: TerminalName, record: ConfigRecord) -> int:
        """Sends a configuration record; Notification.CONFIG_SET answers."""
        return self._command("kq_sendconfig", terminal, byref(record))

    def request_wifi(self, terminal: TerminalName) -> int:
        """Asks for the wifi record; a :class:`WifiEvent` answers."""
        return self._command("kq_reqconfigwifi", terminal)

    def send_wifi(self, terminal: TerminalName, record: WifiRecord) -> int:
        """Sends a wifi record; Notification.WIFI_SET answers."""
        return self._command("kq_sendconfigwifi", terminal, byref(record))

    def restart(self, terminal: TerminalName) -> int:
        """Restarts the terminal (version 32)."""
        return self._command("kq_restart", terminal, version32=True)

    def update_software(self, terminal: TerminalName) -> int:
        """Tells the terminal to update its software."""
        return self._command("kq_updatesoft", terminal)

    def set_display_time(self, terminal: TerminalName, time: int) -> int:
        """Sets the display time (code 39)."""
        return self._command("SetaTempoExib", terminal, time)

    def ask_display_time(self, terminal: TerminalName) -> None:
        """Asks for the display time; an :class:`AnswerEvent` (Notification.SENSOR,
        code 42) answers."""
        self._require(terminal)
        mode, value = resolve(terminal)
        with Addressed(self._lib, mode):
            self._lib.PedeTempoExib(value)

    # ---- model 320 --------------------------------------------------------------------

    def _m320(self, function: str, terminal: TerminalName, *args: Any) -> int:
        return self._command(function, terminal, *args, model320=True)

    def set_volume(self, terminal: TerminalName, value: int) -> int:
        return self._m320("kq_setvolume", terminal, value)

    def ask_volume(self, terminal: TerminalName) -> int:
        """Asks for the volume; an :class:`AnswerEvent` (VOLUME) answers."""
        return self._m320("kq_pedevolume", terminal)

    def set_brightness(self, terminal: TerminalName, value: int) -> int:
        return self._m320("kq_setbrightness", terminal, value)

    def ask_brightness(self, terminal: TerminalName) -> int:
        return self._m320("kq_pedebrightness", terminal)

    def set_audio(self, terminal: TerminalName, value: int) -> int:
        return self._m320("kq_setaudio", terminal, value)

    def ask_audio(self, terminal: TerminalName) -> int:
        return self._m320("kq_pedeaudiostatus", terminal)

    def set_sensor(self, terminal: TerminalName, value: int) -> int:
        return self._m320("kq_setsensor", terminal, value)

    def ask_sensor(self, terminal: TerminalName) -> int:
        return self._m320("kq_pedesensorstatus", terminal)

    def show_media(self, terminal: TerminalName, name: str) -> int:
        return self._m320("kq_ShowLocalMedia", terminal, _encode(name, 255, "the media name"))

    def delete_media(self, terminal: TerminalName, name: str) -> int:
        return self._m320("kq_DeleteLocalMedia", terminal, _encode(name, 255, "the media name"))

    def clean_internal(self, terminal: TerminalName) -> int:
        return self._m320("kq_CleanInternalMem", terminal)

    def clean_external(self, terminal: TerminalName) -> int:
        return self._m320("kq_CleanExternalMem", terminal)
