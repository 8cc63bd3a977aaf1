"""The server: starts the library, turns its notifications into events and
offers the common commands per terminal, raising exceptions on failure."""

from __future__ import annotations

import ctypes
import logging
import os
import queue
import threading
from ctypes import byref, c_int16, c_int32, c_ubyte, create_string_buffer
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple, Type, Union

from . import _lib
from .constants import (
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
from .records import ConfigRecord, ImageUpdateConfig, SerialConfigRecord, TerminalList, TextRecord, WifiRecord

__all__ = ["Server", "TerminalInfo", "Connection"]

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


def _encode(text: Union[str, bytes], limit: int, what: str) -> bytes:
    data = text.encode("utf-8") if isinstance(text, str) else bytes(text)
    if b"\0" in data:
        raise ValueError(f"{what} must not hold a zero byte")
    if len(data) > limit:
        raise ValueError(f"{what} is {len(data)} bytes; at most {limit}")
    return data


class Connection:
    """A connected terminal as the server keeps it (its number is its position
    among the live connections)."""

    __slots__ = ("address", "model", "version", "handle", "__weakref__")

    def __init__(self, address: str, model: int, version: int) -> None:
        self.address = address
        self.model = model
        self.version = version
        self.handle = -1

    def __repr__(self) -> str:
        return f"Connection(address={self.address!r}, model={self.model}, version={self.version})"


class TerminalInfo(Tuple[int, str, int, str]):
    """One line of the library's listing: number, address, model, text."""

    __slots__ = ()

    def __new__(cls, number: int, address: str, model: int, text: str) -> "TerminalInfo":
        return tuple.__new__(cls, (number, address, model, text))  # type: ignore[arg-type]

    @property
    def number(self) -> int:
        return self[0]

    @property
    def address(self) -> str:
        return self[1]

    @property
    def model(self) -> int:
        return self[2]

    @property
    def text(self) -> str:
        return self[3]

    def __repr__(self) -> str:
        return f"TerminalInfo(number={self[0]}, address={self[1]!r}, model={self[2]}, text={self[3]!r})"


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
            self.on_connect = on_connect  # type: ignore[method-assign]
        if on_disconnect is not None:
            self.on_disconnect = on_disconnect  # type: ignore[method-assign]
        if on_data is not None:
            self.on_data = on_data  # type: ignore[method-assign]
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
        # Live connections in the library's order: a terminal's number is its
        # position here. Each connection thread finds its own by its thread id.
        self._live_lock = threading.Lock()
        self._live: List[Optional[Connection]] = []
        self._by_thread: Dict[int, Connection] = {}
        # Notifications in flight, per thread, so that a stop can wait for them.
        self._gate = threading.Condition()
        self._closed = True
        self._active: Dict[int, int] = {}
        # One buffer for the files collected in notifications.
        self._file_lock = threading.Lock()
        self._file_buffer = (c_ubyte * GETFILE_MAX_BYTES)()
        # Answers popped for another terminal than the one being notified.
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
            with self._live_lock:
                self._live.clear()
                self._by_thread.clear()
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
            if lparam & 0xFFFF == 1:
                self._connected(wparam, lparam >> 16)
            else:
                self._disconnected(wparam, lparam >> 16)
        except BaseException:
            log.exception("KS318 notification failed")
        finally:
            self._leave()

    def _sent(self, context: Any, message: int, wparam: int, lparam: int) -> None:
        if not self._enter():
            return
        try:
            self._data(wparam, lparam & 0xFFFF, lparam >> 16)
        except BaseException:
            log.exception("KS318 notification failed")
        finally:
            self._leave()

    def _address(self, value: int) -> str:
        buffer = create_string_buffer(16)
        self._lib.KQinet_ntoa(value, buffer)
        return buffer.value.decode("ascii", "replace")

    def _connected(self, address: int, number: int) -> None:
        ident = int(self._lib.kq_getident(number))
        model = ((ident >> 8) & 0xFF) * 256 + ((ident >> 16) & 0xFF)
        connection = Connection(self._address(address), model, ident & 0xFF)
        with self._live_lock:
            # The number is the terminal's position. Terminals that arrived
            # earlier but are still in their handshake hold places (None) before
            # it until their own connect fills them, so that positions, and so
            # numbers, stay the library's when handshakes end out of order.
            at = max(number - 1, 0)
            while len(self._live) < at:
                self._live.append(None)
            if at < len(self._live) and self._live[at] is None:
                self._live[at] = connection
            else:
                self._live.insert(at, connection)
            self._by_thread[threading.get_ident()] = connection
        event = ConnectEvent(number, connection.address, model, connection.version, ident)
        self._deliver(event, self.on_connect)

    def _disconnected(self, address: int, handle: int) -> None:
        with self._live_lock:
            connection = self._by_thread.pop(threading.get_ident(), None)
            number = 0
            if connection is not None and connection in self._live:
                number = self._live.index(connection) + 1
                self._live.remove(connection)
        with self._answer_lock:
            self._answer_stash.clear()  # numbers have moved
        self._deliver(DisconnectEvent(number, self._address(address), handle), self.on_disconnect)

    def _current_number(self) -> int:
        with self._live_lock:
            connection = self._by_thread.get(threading.get_ident())
            if connection is None:
                return 0
            try:
                return self._live.index(connection) + 1
            except ValueError:
                return 0

    def _data(self, code: int, handle: int, extra: int) -> None:
        with self._live_lock:
            connection = self._by_thread.get(threading.get_ident())
            if connection is not None:
                connection.handle = handle
        number = self._current_number()
        try:
            kind: Union[Notification, int] = Notification(code)
        except ValueError:
            kind = code
        event = self._read(kind, number, handle, extra)
        self._deliver(event, self.on_data)

    def _read(self, kind: Union[Notification, int], number: int, handle: int, extra: int) -> DataEvent:
        """What the read exports give for a notification, read on its thread."""
        lib = self._lib
        base = (number, kind, handle, extra)
        if kind == Notification.KEY:
            # The key is the extra value; the server-wide key store is emptied of
            # one entry so that it never fills up.
            lib.Get_KBD_char(byref(c_int32()), byref(c_ubyte()))
            return KeyEvent(*base, key=extra & 0xFF)
        if number <= 0:
            return DataEvent(*base)
        if kind in (Notification.SERIAL0, Notification.SERIAL1):
            source = c_int32(0 if kind == Notification.SERIAL0 else 1)
            buffer = create_string_buffer(SERIAL_DATA_BYTES)
            length = lib.kq_getserial(number, byref(source), buffer)
            return SerialEvent(*base, port=source.value, data=buffer.raw[: max(0, min(length, SERIAL_DATA_BYTES))])
        if kind == Notification.CARD:
            first = create_string_buffer(CARD_TEXT_BYTES)
            second = create_string_buffer(CARD_TEXT_BYTES)
            if lib.kq_getmag(number, first, second) != 1:
                return CardEvent(*base, first=b"", second=b"")
            return CardEvent(*base, first=first.value, second=second.value)
        if kind == Notification.CONFIG:
            config = ConfigRecord()
            return ConfigEvent(*base, record=config if lib.kq_getconfig(number, byref(config)) == 1 else None)
        if kind == Notification.WIFI:
            wifi = WifiRecord()
            return WifiEvent(*base, record=wifi if lib.kq_getconfigwifi(number, byref(wifi)) == 1 else None)
        if kind == Notification.UID:
            text = create_string_buffer(64)
            name = create_string_buffer(UID_TEXT_BYTES)
            lib.kq_getuid(number, text, name)
            return UidEvent(*base, uid=_text(text.raw), text=_text(name.raw))
        if kind == Notification.SC:
            sc = create_string_buffer(SC_BYTES)
            lib.kq_getsc(number, sc)
            return ScEvent(*base, sc=sc.raw)
        if kind == Notification.IMAGE_UPDATE:
            update = ImageUpdateConfig()
            lib.kq_getimageupdateconfig(number, byref(update))
            return ImageUpdateEvent(*base, config=update)
        if kind == Notification.FILE:
            return self._collect_file(base, number)
        if kind == Notification.SERIAL_STATUS:
            port = 0 if extra == 0 else 1
            status = c_int16(0)
            lib.kq_sergetstatus(number, port, byref(status))
            return SerialStatusEvent(*base, port=port, status=status.value & 0xFFFF)
        if kind in ANSWER_NOTIFICATIONS:
            return self._answer(base, number, int(kind))
        return DataEvent(*base)

    def _collect_file(self, base: Tuple[int, Any, int, int], number: int) -> FileEvent:
        name = create_string_buffer(FILE_NAME_BYTES)
        size = c_int32(0)
        with self._file_lock:
            if self._lib.kq_getfile(number, name, byref(size), self._file_buffer) != 1:
                return FileEvent(*base, name="", data=b"")
            length = max(0, min(size.value, GETFILE_MAX_BYTES))
            data = bytes(memoryview(self._file_buffer)[:length])
        return FileEvent(*base, name=_text(name.raw), data=data)

    def _answer(self, base: Tuple[int, Any, int, int], number: int, code: int) -> AnswerEvent:
        """The answer event of this notification. The answer store is popped for
        the lowest-numbered terminal that holds one; answers of other terminals
        popped on the way are kept here for their own notifications."""
        expected = {code, ANSWER_DISPLAY_TIME} if code == Notification.SENSOR else {code}
        found: Optional[Tuple[int, int]] = None
        with self._answer_lock:
            self._answer_sequence += 1
            position = 0
            while True:
                terminal, answer, value, count = c_int32(), c_ubyte(), c_int32(), c_int32()
                if not self._lib.kq_TemResposta(byref(terminal), byref(answer), byref(value), byref(count)):
                    break
                if terminal.value == number and answer.value in expected:
                    found = (answer.value, value.value)
                    break
                # Newest of its terminal first within one pass; later passes newer.
                self._answer_stash.setdefault(terminal.value, []).append(
                    (self._answer_sequence, -position, answer.value << 32 | (value.value & 0xFFFFFFFF))
                )
                position += 1
            if found is None:
                stash = self._answer_stash.get(number, [])
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
            value = int(getter(number))
        return AnswerEvent(*base, code=answer_code, value=value)

    # ---- terminals ---------------------------------------------------------------

    @property
    def connections(self) -> List[Connection]:
        """The live connections that have connected, in terminal-number order (a
        snapshot; terminals still in their handshake are not among them)."""
        with self._live_lock:
            return [connection for connection in self._live if connection is not None]

    def connection(self, terminal: int) -> Optional[Connection]:
        """The connection that has terminal number ``terminal`` now, if known."""
        with self._live_lock:
            return self._live[terminal - 1] if 0 < terminal <= len(self._live) else None

    def terminals(self) -> List[TerminalInfo]:
        """The library's listing of identified terminals."""
        listing = TerminalList()
        if not self._lib.kq_gettermconectados(byref(listing)):
            raise KS318Error("the listing could not be made", function="kq_gettermconectados",
                             reason=_lib.last_failure())
        result = []
        for index in range(min(listing.count, len(listing.number))):
            if listing.number[index] == 0:
                continue  # still in its handshake
            result.append(
                TerminalInfo(
                    listing.number[index],
                    self._address(listing.address[index]),
                    listing.model[index],
                    _text(bytes(listing.text[index])),
                )
            )
        return result

    def ident(self, terminal: int) -> Tuple[int, int]:
        """The terminal's model and version; raises NoTerminal."""
        ident = int(self._lib.kq_getident(terminal))
        if ident == 0:
            raise NoTerminal(f"no terminal {terminal}", terminal=terminal, function="kq_getident", result=0)
        return ((ident >> 8) & 0xFF) * 256 + ((ident >> 16) & 0xFF), ident & 0xFF

    def address(self, terminal: int) -> str:
        """The terminal's dotted IPv4 address; raises NoTerminal."""
        raw = self._lib.kq_ipfromid(terminal)
        if not raw:
            raise NoTerminal(f"no terminal {terminal}", terminal=terminal, function="kq_ipfromid")
        return raw.decode("ascii", "replace")

    # ---- command results -----------------------------------------------------------

    def _failure(
        self,
        function: str,
        terminal: int,
        result: int,
        reason: str,
        *,
        model320: bool = False,
        version32: bool = False,
        failed: Type[TerminalError] = CommandFailed,
    ) -> TerminalError:
        details: Dict[str, Any] = {"terminal": terminal, "function": function, "result": result, "reason": reason}
        if result == -2:
            return Busy(f"terminal {terminal} is busy ({function})", **details)
        ident = int(self._lib.kq_getident(terminal)) if terminal > 0 else 0
        if ident == 0:
            return NoTerminal(f"no terminal {terminal} ({function})", **details)
        model = ((ident >> 8) & 0xFF) * 256 + ((ident >> 16) & 0xFF)
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
        terminal: int,
        *args: Any,
        model320: bool = False,
        version32: bool = False,
        failed: Type[TerminalError] = CommandFailed,
        success: Optional[Callable[[int], bool]] = None,
    ) -> int:
        result = int(getattr(self._lib, function)(terminal, *args))
        if success(result) if success is not None else result > 0:
            return result
        reason = _lib.last_failure()
        raise self._failure(function, terminal, result, reason, model320=model320, version32=version32,
                            failed=failed)

    def _require(self, terminal: int) -> int:
        """The model of a connected terminal; raises NoTerminal."""
        return self.ident(terminal)[0]

    # ---- screen --------------------------------------------------------------------

    def send_text(
        self,
        terminal: int,
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
        record = TextRecord(x=x, y=y, colour=colour, height=height)
        record.text = _encode(text, 127, "the text")
        record.font = _encode(font, 31, "the font name")
        return self._command("kq_sendtext", terminal, byref(record))

    def fill(self, terminal: int, index: int) -> int:
        """Fills the screen with palette entry ``index`` (code 33)."""
        return self._command("kq_fillscreen", terminal, index)

    def send_image(self, terminal: int, palette: BytesLike, pixels: BytesLike) -> int:
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

    def send_block(self, terminal: int, x: int, y: int, width: int, height: int, pixels: BytesLike) -> int:
        """Sends a width x height block of palette indices at x, y (code 131)."""
        if width < 0 or height < 0 or len(pixels) != width * height:
            raise ValueError(f"a {width} x {height} block takes {max(width * height, 0)} bytes, not {len(pixels)}")
        buffer = create_string_buffer(bytes(pixels), max(len(pixels), 1))
        return self._command("kq_sendimageblock", terminal, x, y, width, height, buffer)

    def send_palette(self, terminal: int, palette: BytesLike) -> int:
        """Sends a 768-byte palette (code 133; version 32)."""
        if len(palette) != PALETTE_BYTES:
            raise ValueError(f"a palette is {PALETTE_BYTES} bytes, not {len(palette)}")
        buffer = create_string_buffer(bytes(palette), PALETTE_BYTES)
        return self._command("kq_enviapaleta", terminal, buffer, version32=True)

    def send_picture(self, terminal: int, path: Union[str, "os.PathLike[str]"]) -> int:
        """Shows a .bmp, .jpg, .jpeg, .ico, .wmf or .emf file, converted by the
        library for the terminal's screen. Raises PictureError when the file
        cannot be used."""
        return self._command("kq_sendimgfromfile", terminal, os.fsencode(path), failed=PictureError)

    def load_image(self, terminal: int, number: int) -> int:
        """Shows the terminal's stored image ``number`` (code 129; version 32)."""
        return self._command("kq_loadimage", terminal, number, version32=True)

    # ---- files ---------------------------------------------------------------------

    def send_file(self, terminal: int, name: str, data: BytesLike) -> int:
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
            success=lambda r: r > 0 or (r == 0 and not payload and self._lib.kq_getident(terminal) != 0),
        )

    def send_local_file(self, terminal: int, path: Union[str, "os.PathLike[str]"], name: str) -> int:
        """Sends the local file at ``path`` whole, to be kept as ``name``."""
        encoded = _encode(name, 127, "the file name")
        path_bytes = os.fsencode(path)
        empty = os.path.isfile(path_bytes) and os.path.getsize(path_bytes) == 0
        return self._command(
            "kq_sendfile",
            terminal,
            path_bytes,
            encoded,
            success=lambda r: r > 0 or (r == 0 and empty and self._lib.kq_getident(terminal) != 0),
        )

    def request_file(self, terminal: int, name: str) -> int:
        """Asks the terminal for its file ``name`` (code 97; version 32). The
        answer arrives as a :class:`FileEvent`."""
        return self._command("kq_reqfile", terminal, _encode(name, 127, "the file name"), version32=True)

    # ---- input devices ----------------------------------------------------------------

    def keyboard(self, terminal: int, enabled: bool = True) -> int:
        """Enables or disables the terminal's keyboard (code 49)."""
        return self._command("HabilitaTeclado", terminal, 1 if enabled else 0)

    def card_reader(self, terminal: int, enabled: bool = True) -> int:
        """Enables or disables the terminal's card reader (code 65)."""
        return self._command("HabilitaLEC", terminal, 1 if enabled else 0)

    def write_serial(self, terminal: int, port: int, data: BytesLike) -> int:
        """Writes up to 256 bytes to serial port ``port`` (0 or 1) of the terminal."""
        payload = bytes(data)
        if len(payload) > SERIAL_DATA_BYTES:
            raise ValueError(f"at most {SERIAL_DATA_BYTES} serial bytes at a time, not {len(payload)}")
        buffer = create_string_buffer(payload, SERIAL_DATA_BYTES)
        return self._command("kq_writeserial", terminal, port, len(payload), buffer)

    def configure_serial(self, terminal: int, port: int, settings: SerialConfigRecord) -> int:
        """Sends a serial port's configuration (code 81 or 87)."""
        return self._command("kq_sendconfigserial", terminal, port, byref(settings))

    def request_serial_status(self, terminal: int, port: int) -> int:
        """Asks for a serial port's status; a :class:`SerialStatusEvent` answers."""
        return self._command("kq_serreqstatus", terminal, port)

    # ---- terminal state ---------------------------------------------------------------

    def live(self, terminal: int) -> int:
        """Sends a live signal (code 17)."""
        return self._command("kq_sendlive", terminal)

    def always_live(self, terminal: int) -> int:
        """Tells the terminal to stay alive for good (code 29)."""
        return self._command("kq_sendalwayslive", terminal)

    def request_uid(self, terminal: int) -> int:
        """Asks for the unique identifier (version 32); a :class:`UidEvent` answers."""
        return self._command("kq_requid", terminal, version32=True)

    def request_sc(self, terminal: int) -> int:
        """Asks for the SC block (version 32); a :class:`ScEvent` answers."""
        return self._command("kq_reqsc", terminal, version32=True)

    def request_config(self, terminal: int) -> int:
        """Asks for the configuration record; a :class:`ConfigEvent` answers."""
        return self._command("kq_reqconfig", terminal)

    def send_config(self, terminal: int, record: ConfigRecord) -> int:
        """Sends a configuration record; Notification.CONFIG_SET answers."""
        return self._command("kq_sendconfig", terminal, byref(record))

    def request_wifi(self, terminal: int) -> int:
        """Asks for the wifi record; a :class:`WifiEvent` answers."""
        return self._command("kq_reqconfigwifi", terminal)

    def send_wifi(self, terminal: int, record: WifiRecord) -> int:
        """Sends a wifi record; Notification.WIFI_SET answers."""
        return self._command("kq_sendconfigwifi", terminal, byref(record))

    def restart(self, terminal: int) -> int:
        """Restarts the terminal (version 32)."""
        return self._command("kq_restart", terminal, version32=True)

    def update_software(self, terminal: int) -> int:
        """Tells the terminal to update its software."""
        return self._command("kq_updatesoft", terminal)

    def set_display_time(self, terminal: int, time: int) -> int:
        """Sets the display time (code 39)."""
        return self._command("SetaTempoExib", terminal, time)

    def ask_display_time(self, terminal: int) -> None:
        """Asks for the display time; an :class:`AnswerEvent` (Notification.SENSOR,
        code 42) answers."""
        self._require(terminal)
        self._lib.PedeTempoExib(terminal)

    # ---- model 320 --------------------------------------------------------------------

    def _m320(self, function: str, terminal: int, *args: Any) -> int:
        return self._command(function, terminal, *args, model320=True)

    def set_volume(self, terminal: int, value: int) -> int:
        return self._m320("kq_setvolume", terminal, value)

    def ask_volume(self, terminal: int) -> int:
        """Asks for the volume; an :class:`AnswerEvent` (VOLUME) answers."""
        return self._m320("kq_pedevolume", terminal)

    def set_brightness(self, terminal: int, value: int) -> int:
        return self._m320("kq_setbrightness", terminal, value)

    def ask_brightness(self, terminal: int) -> int:
        return self._m320("kq_pedebrightness", terminal)

    def set_audio(self, terminal: int, value: int) -> int:
        return self._m320("kq_setaudio", terminal, value)

    def ask_audio(self, terminal: int) -> int:
        return self._m320("kq_pedeaudiostatus", terminal)

    def set_sensor(self, terminal: int, value: int) -> int:
        return self._m320("kq_setsensor", terminal, value)

    def ask_sensor(self, terminal: int) -> int:
        return self._m320("kq_pedesensorstatus", terminal)

    def show_media(self, terminal: int, name: str) -> int:
        return self._m320("kq_ShowLocalMedia", terminal, _encode(name, 255, "the media name"))

    def delete_media(self, terminal: int, name: str) -> int:
        return self._m320("kq_DeleteLocalMedia", terminal, _encode(name, 255, "the media name"))

    def clean_internal(self, terminal: int) -> int:
        return self._m320("kq_CleanInternalMem", terminal)

    def clean_external(self, terminal: int) -> int:
        return self._m320("kq_CleanExternalMem", terminal)
