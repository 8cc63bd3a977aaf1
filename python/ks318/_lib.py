"""Loading the KS318 shared library and declaring every export's C types.

The table below is the whole C interface: one entry per export, with the
result type and the argument types exactly as the library defines them. Every
function the package calls goes through the handle :func:`library` returns,
so a wrong argument type is caught by ctypes rather than passed on silently.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading
from ctypes import (
    CFUNCTYPE,
    POINTER,
    Structure,
    c_char_p,
    c_int16,
    c_int32,
    c_ubyte,
    c_uint32,
    c_void_p,
)
from typing import Any, Dict, Optional, Sequence, Tuple

from .records import TerminalInfoRecord

__all__ = [
    "EXPORTS",
    "OPTIONAL_EXPORTS",
    "PostFunction",
    "SendFunction",
    "KqHostTarget",
    "library",
    "library_path",
    "last_failure",
]

# void (*)(void *context, uint32_t message, uint32_t wParam, uint32_t lParam)
PostFunction = CFUNCTYPE(None, c_void_p, c_uint32, c_uint32, c_uint32)
SendFunction = CFUNCTYPE(None, c_void_p, c_uint32, c_uint32, c_uint32)


class KqHostTarget(Structure):
    """Where the library delivers notifications: a context and two functions."""

    _fields_ = [
        ("context", c_void_p),
        ("post", PostFunction),
        ("send", SendFunction),
    ]


_i32 = c_int32
_u32 = c_uint32
_ub = c_ubyte
_text = c_char_p  # const char * in, or a zero-ended text out
_buf = c_void_p  # a record or a byte buffer
_pi32 = POINTER(c_int32)
_pi16 = POINTER(c_int16)
_pub = POINTER(c_ubyte)

Signature = Tuple[Any, Sequence[Any]]

#: Every export of the library: name -> (result type, argument types).
EXPORTS: Dict[str, Signature] = {
    # server lifecycle
    "kq_startserver": (_i32, (_buf, _u32, _u32)),
    "kq_startserverex": (_i32, (_buf, _u32, _u32, _text, _i32)),
    "kq_getserverport": (_i32, ()),
    "kq_finishserver": (_i32, ()),
    "StartServerKQ318": (_i32, ()),
    "CloseKQ318": (_i32, ()),
    "InitKQ318": (_i32, ()),
    # listings and addresses
    "GetTabConectados": (_buf, (_buf,)),
    "kq_gettermconectados": (_buf, (_buf,)),
    "kq_ipfromid": (_text, (_i32,)),
    "kq_version": (_ub, ()),
    "kq_gethostip": (_text, (_text,)),
    "GetIPFromHost": (_text, (_text,)),
    "kq_inet_ntoa": (_text, (_u32,)),
    "kq_inet_addr": (_u32, (_text,)),
    "KQinet_ntoa": (_text, (_u32, _text)),
    "KQinet_addr": (_u32, (_text,)),
    # commands
    "kq_sendlive": (_i32, (_i32,)),
    "kq_sendalwayslive": (_i32, (_i32,)),
    "kq_reqconfig": (_i32, (_i32,)),
    "kq_sendconfig": (_i32, (_i32, _buf)),
    "kq_reqconfigwifi": (_i32, (_i32,)),
    "kq_sendconfigwifi": (_i32, (_i32, _buf)),
    "kq_updatesoft": (_i32, (_i32,)),
    "kq_restart": (_i32, (_i32,)),
    "kq_requid": (_i32, (_i32,)),
    "kq_reqsc": (_i32, (_i32,)),
    "kq_stopadv": (_i32, (_i32,)),
    "kq_goadv": (_i32, (_i32,)),
    "kq_reloadadv": (_i32, (_i32, _i32)),
    "kq_deleteadv": (_i32, (_i32,)),
    "kq_reloadpreimg": (_i32, (_i32, _i32)),
    "kq_deletepreimg": (_i32, (_i32,)),
    "kq_sendtext": (_i32, (_i32, _buf)),
    "kq_fillscreen": (_i32, (_i32, _i32)),
    "SetaTempoExib": (_i32, (_i32, _i32)),
    "PedeTempoExib": (None, (_i32,)),
    "HabilitaTeclado": (_i32, (_i32, _i32)),
    "HabilitaLEC": (_i32, (_i32, _i32)),
    "kq_sendconfigserial": (_i32, (_i32, _i32, _buf)),
    "kq_writeserial": (_i32, (_i32, _i32, _i32, _buf)),
    "kq_serreqstatus": (_i32, (_i32, _i32)),
    "kq_sersetstatus": (_i32, (_i32, _i32, _i32)),
    "kq_pedesensorstatus": (_i32, (_i32,)),
    "kq_setsensor": (_i32, (_i32, _i32)),
    "kq_ShowLocalMedia": (_i32, (_i32, _text)),
    "kq_DeleteLocalMedia": (_i32, (_i32, _text)),
    "kq_CleanInternalMem": (_i32, (_i32,)),
    "kq_CleanExternalMem": (_i32, (_i32,)),
    "kq_setaudio": (_i32, (_i32, _i32)),
    "kq_pedeaudiostatus": (_i32, (_i32,)),
    "kq_setvolume": (_i32, (_i32, _i32)),
    "kq_pedevolume": (_i32, (_i32,)),
    "kq_setbrightness": (_i32, (_i32, _i32)),
    "kq_pedebrightness": (_i32, (_i32,)),
    # reading what terminals sent
    "kq_getserial": (_i32, (_i32, _pi32, _buf)),
    "kq_getmag": (_i32, (_i32, _text, _text)),
    "kq_getconfig": (_i32, (_i32, _buf)),
    "kq_getconfigwifi": (_i32, (_i32, _buf)),
    "kq_getsensorstatus": (_i32, (_i32,)),
    "kq_getaudiostatus": (_i32, (_i32,)),
    "kq_getvolume": (_i32, (_i32,)),
    "kq_getbrightness": (_i32, (_i32,)),
    "kq_getuid": (_i32, (_i32, _text, _buf)),
    "kq_getsc": (_i32, (_i32, _buf)),
    "kq_getident": (_i32, (_i32,)),
    "kq_sergetstatus": (_i32, (_i32, _i32, _pi16)),
    "kq_TemResposta": (_ub, (_pi32, _pub, _pi32, _pi32)),
    "kq_GetResposta": (_i32, (_i32, _i32)),
    # configuration records
    "SendConfig": (
        _i32,
        (_i32, _text, _text, _text, _text, _text, _text, _i32, _text, _text, _text, _i32, _i32),
    ),
    "GetConfig": (
        _ub,
        (_pi32, _text, _text, _text, _text, _text, _text, _pi16, _text, _text, _text, _pub, _pub),
    ),
    "SendConfigWifi": (_i32, (_i32, _i32, _i32, _text, _i32, _i32, _text)),
    "AbreSerialCOM": (_i32, (_i32, _i32, _i32, _i32, _i32, _i32)),
    # images
    "kq_sendimage": (_i32, (_i32, _buf, _buf)),
    "kq_sendimageblock": (_i32, (_i32, _i32, _i32, _i32, _i32, _buf)),
    "kq_loadimage": (_i32, (_i32, _i32)),
    "kq_enviapaleta": (_i32, (_i32, _buf)),
    "kq_sendimageupdate": (_i32, (_i32, _buf)),
    "kq_reqimageupdate": (_i32, (_i32,)),
    "kq_sendupdateimages": (_i32, (_i32,)),
    "kq_getimageupdateconfig": (_i32, (_i32, _buf)),
    "kq_sendimgfromfile": (_i32, (_i32, _text)),
    "kq_convertimgfromfile": (_i32, (_text, _i32, _buf, _buf)),
    # files and media configuration
    "kq_sendfileptr": (_i32, (_i32, _text, _text, _u32)),
    "kq_sendfile": (_i32, (_i32, _text, _text)),
    "kq_sendfileStatus": (_i32, (_i32, _text, _text, _pi32)),
    "kq_sendfontfile": (_i32, (_i32, _text)),
    "kq_reqfile": (_i32, (_i32, _text)),
    "kq_getfile": (_i32, (_i32, _text, _pi32, _buf)),
    "kq_savemedias": (_i32, (_buf, _text)),
    "kq_sendmediaconf": (_i32, (_i32, _text)),
    "kq_sendpresencesensorconf": (_i32, (_i32, _text)),
    "kq_pedeallmedias": (_i32, (_i32,)),
    "kq_getallmedias": (None, (_i32, _buf)),
    # legacy export set
    "EnviaVivo": (_i32, (_i32,)),
    "EnviaSempreVivo": (_i32, (_i32,)),
    "PedeConfig": (_i32, (_i32,)),
    "EnviaTexto": (_i32, (_i32, _i32, _i32, _text, _text, _i32, _i32)),
    "ClearDisplay": (_i32, (_i32, _i32)),
    "EnviaImagem": (_i32, (_i32, _buf, _buf)),
    "EnviaImagemDoArquivo": (_i32, (_i32, _text)),
    "UpdateSoft": (_i32, (_i32,)),
    "StopAdv": (_i32, (_i32,)),
    "DeleteAdv": (_i32, (_i32,)),
    "PedeHabilitaTeclado": (None, (_i32,)),
    "AtualizaAdv": (_i32, (_i32, _i32)),
    "PedeHabilitaLEC": (None, (_i32,)),
    "EnviaArquivo": (_i32, (_i32, _text, _text)),
    "EscreveSerial": (_i32, (_i32, _i32, _i32, _buf)),
    "GetSerial": (_ub, (_pi32, _pi32, _buf, _pi32)),
    "GetLEC": (_ub, (_pi32, _text, _pi32)),
    "Get_KBD_char": (_ub, (_pi32, _pub)),
    # extensions
    "kq_lastfailure": (c_char_p, ()),
    # terminal ids
    "kq_addressby": (_i32, (_i32,)),
    "kq_notifiedterminal": (_i32, (_u32, _u32, _u32)),
    "kq_terminalnumber": (_i32, (_i32,)),
    "kq_terminalid": (_i32, (_i32,)),
    "kq_listterminals": (_i32, (POINTER(TerminalInfoRecord), _i32)),
    # transfer outcomes
    "kq_transferoutcome": (_i32, (_i32, POINTER(c_uint32), POINTER(c_uint32))),
    # the package's version
    "kq_libraryversion": (_i32, ()),
}

#: Exports a library build may lack; they are looked up when first needed.
OPTIONAL_EXPORTS = frozenset({"kq_lastfailure"})

_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None
_path: Optional[str] = None


def library_path() -> str:
    """The name or path the library is loaded from.

    ``KS318_LIBRARY`` when set, else what ``ctypes.util.find_library("ks318")``
    finds, else ``libks318.so.0``.
    """
    explicit = os.environ.get("KS318_LIBRARY")
    if explicit:
        return explicit
    return ctypes.util.find_library("ks318") or "libks318.so.0"


def _declare(handle: ctypes.CDLL) -> None:
    for name, (restype, argtypes) in EXPORTS.items():
        try:
            function = getattr(handle, name)
        except AttributeError:
            if name in OPTIONAL_EXPORTS:
                continue
            raise OSError(f"{_path}: the library has no export {name}") from None
        function.restype = restype
        function.argtypes = list(argtypes)


def library() -> ctypes.CDLL:
    """The loaded library, every export declared; loaded on the first call."""
    global _library, _path
    with _lock:
        if _library is None:
            _path = library_path()
            handle = ctypes.CDLL(_path)
            _declare(handle)
            _library = handle
        return _library


def has_export(name: str) -> bool:
    """Whether the loaded library has the export ``name``."""
    return hasattr(library(), name)


def last_failure() -> str:
    """Text of the calling thread's last failure in the library ("" when none, or
    when the library cannot tell)."""
    handle = library()
    function = getattr(handle, "kq_lastfailure", None)
    if function is None:
        return ""
    raw: Optional[bytes] = function()
    return raw.decode("utf-8", "replace") if raw else ""
