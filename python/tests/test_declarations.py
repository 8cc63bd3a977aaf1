"""The package's declarations against the C header: every export with its
exact C types, the records' layouts, the notification codes and the sizes.
Nothing here needs a running server; the header is read, not compiled."""

from __future__ import annotations

import ctypes
import re
from pathlib import Path
from typing import Dict, List, Tuple

import pytest

from conftest import HEADER

import ks318
from ks318 import _lib

HEADER_TEXT = HEADER.read_text(encoding="utf-8")

# "KQ_API int32_t KQ_CALL kq_startserverex(void *window, ...);" across lines
EXPORT = re.compile(r"KQ_API\s+([^;{}]*?)\s*\bKQ_CALL\s+(\w+)\s*\(([^)]*)\)\s*;", re.S)

SCALARS = {
    "int32_t": ctypes.c_int32,
    "uint32_t": ctypes.c_uint32,
    "int16_t": ctypes.c_int16,
    "uint16_t": ctypes.c_uint16,
    "uint8_t": ctypes.c_uint8,
    "unsigned char": ctypes.c_ubyte,
    "char": ctypes.c_char,
}

# Records the exports take by their own type rather than as void *.
TYPED_RECORDS = {
    "KqTerminalInfo": ks318.TerminalInfoRecord,
}


def c_to_ctypes(declaration: str) -> object:
    """The ctypes type the package must use for a C type (a parameter's name, if
    any, already taken away)."""
    text = " ".join(declaration.replace("*", " * ").split())
    text = re.sub(r"\bconst\b\s*", "", text).strip()
    if text == "void":
        return None
    if text.endswith("*"):
        pointee = text[:-1].strip()
        if pointee == "void":
            return ctypes.c_void_p
        if pointee == "char":
            return ctypes.c_char_p
        if pointee in TYPED_RECORDS:
            return ctypes.POINTER(TYPED_RECORDS[pointee])
        return ctypes.POINTER(SCALARS[pointee])
    return SCALARS[text]


def header_exports() -> Dict[str, Tuple[object, List[object]]]:
    exports: Dict[str, Tuple[object, List[object]]] = {}
    for result, name, parameters in EXPORT.findall(HEADER_TEXT):
        argtypes: List[object] = []
        parameters = " ".join(parameters.split())
        if parameters and parameters != "void":
            for parameter in parameters.split(","):
                # Take the parameter's name off: the last word, after any '*'.
                typed = re.sub(r"\b\w+\s*$", "", parameter.strip())
                argtypes.append(c_to_ctypes(typed))
        exports[name] = (c_to_ctypes(result), argtypes)
    return exports


HEADER_EXPORTS = header_exports()


class TestExports:
    def test_the_header_is_read(self) -> None:
        # The parse itself must see the interface, or the checks below prove nothing.
        assert len(HEADER_EXPORTS) >= 100
        assert HEADER_EXPORTS["kq_startserverex"] == (
            ctypes.c_int32,
            [ctypes.c_void_p, ctypes.c_uint32, ctypes.c_uint32, ctypes.c_char_p, ctypes.c_int32],
        )
        assert HEADER_EXPORTS["kq_TemResposta"][0] is ctypes.c_ubyte
        assert HEADER_EXPORTS["kq_listterminals"] == (
            ctypes.c_int32, [ctypes.POINTER(ks318.TerminalInfoRecord), ctypes.c_int32])

    def test_every_header_export_is_declared(self) -> None:
        missing = sorted(set(HEADER_EXPORTS) - set(_lib.EXPORTS))
        assert missing == [], f"exports of the header not declared in ks318._lib: {missing}"

    def test_nothing_is_declared_that_the_header_lacks(self) -> None:
        extra = sorted(set(_lib.EXPORTS) - set(HEADER_EXPORTS))
        assert extra == [], f"declared in ks318._lib but not in the header: {extra}"

    @pytest.mark.parametrize("name", sorted(HEADER_EXPORTS))
    def test_declared_types_are_the_headers(self, name: str) -> None:
        if name not in _lib.EXPORTS:
            pytest.fail(f"{name} is not declared")
        restype, argtypes = _lib.EXPORTS[name]
        expected_result, expected_arguments = HEADER_EXPORTS[name]
        assert restype is expected_result, f"{name}: result {restype} for {expected_result}"
        assert list(argtypes) == expected_arguments, f"{name}: arguments {argtypes} for {expected_arguments}"

    def test_the_loaded_library_has_every_export_declared(self) -> None:
        library = ks318.library()
        for name, (restype, argtypes) in _lib.EXPORTS.items():
            if name in _lib.OPTIONAL_EXPORTS and not hasattr(library, name):
                continue
            function = getattr(library, name)
            assert function.restype is restype, name
            assert list(function.argtypes) == list(argtypes), name

    def test_library_answers_through_the_declarations(self) -> None:
        assert ks318.version() == 32
        library = ks318.library()
        assert library.kq_inet_addr(b"1.2.3.4") == 0x04030201  # network byte order on a little-endian host
        assert library.kq_inet_addr(b"no address") == 0xFFFFFFFF
        buffer = ctypes.create_string_buffer(16)
        assert library.KQinet_ntoa(0x04030201, buffer) == b"1.2.3.4"
        assert library.kq_getserverport() == 0  # nothing started

    def test_terminal_id_exports_answer_without_a_server(self) -> None:
        library = ks318.library()
        previous = library.kq_addressby(ks318.ADDRESS_BY_ID)
        try:
            assert library.kq_addressby(7) == -1  # not a mode: this thread's mode stays
            assert library.kq_addressby(ks318.ADDRESS_BY_ID) == ks318.ADDRESS_BY_ID
        finally:
            library.kq_addressby(previous)
        assert library.kq_terminalnumber(ks318.FIRST_TERMINAL_ID) == 0
        assert library.kq_terminalid(1) == 0
        assert library.kq_notifiedterminal(1, 2, 3) == 0  # outside a handler
        assert library.kq_listterminals(None, 0) == 0
        assert library.kq_listterminals(None, 1) == -1


# ---- records -------------------------------------------------------------------------------

RECORDS = {
    "KqTextRecord": (ks318.TextRecord, 170,
                     {"x": 0, "y": 2, "text": 4, "font": 132, "one": 164, "colour": 166, "height": 168}),
    "KqConfigRecord": (ks318.ConfigRecord, 222,
                       {"address": 0, "text1": 20, "number1": 52, "text2": 54, "text3": 154, "text4": 184,
                        "number2": 214, "number3": 218}),
    "KqWifiRecord": (ks318.WifiRecord, 100,
                     {"number1": 0, "number2": 4, "text1": 8, "number3": 28, "number4": 32, "text2": 36}),
    "KqSerialConfigRecord": (ks318.SerialConfigRecord, 12,
                             {"setting1": 0, "setting2": 4, "setting3": 8, "setting4": 9, "ten": 10}),
    "KqImageUpdateConfig": (ks318.ImageUpdateConfig, 112,
                            {"number1": 0, "text": 4, "number2": 104, "number3": 108}),
    "KqConnectedTable": (ks318.ConnectedTable, 8196, {"number": 0, "address": 4096, "count": 8192}),
    "KqTerminalInfo": (ks318.TerminalInfoRecord, 56,
                       {"number": 0, "id": 4, "address": 8, "model": 12, "version": 16, "reserved": 20,
                        "identifier": 24}),
    "KqTerminalList": (ks318.TerminalList, 47108,
                       {"text": 0, "number": 34816, "address": 38912, "model": 43008, "count": 47104}),
}

# "typedef struct KqWifiRecord { ... } KqWifiRecord;"
STRUCT = re.compile(r"typedef\s+struct\s+(\w+)\s*\{(.*?)\}\s*(\w+)\s*;", re.S)
# "    char text1[20];   /*  8 */"
FIELD = re.compile(r"^\s*([A-Za-z_][\w ]*?)\s+(\w+)((?:\[\w+\])*)\s*;\s*(?:/\*\s*(\d+))?", re.M)


def header_struct(name: str) -> List[Tuple[str, str, List[int], int]]:
    """The header's fields of a record: C type, name, array sizes, the offset its
    comment gives (-1 when none)."""
    for tag, body, alias in STRUCT.findall(HEADER_TEXT):
        if alias == name:
            fields = []
            for c_type, field, dims, offset in FIELD.findall(body):
                sizes = [int(eval(d, {"KQ_MAX_TERMINALS": ks318.MAX_TERMINALS}))
                         for d in re.findall(r"\[(\w+)\]", dims)]
                fields.append((c_type.strip(), field, sizes, int(offset) if offset else -1))
            return fields
    raise AssertionError(f"the header has no record {name}")


class TestRecords:
    @pytest.mark.parametrize("name", sorted(RECORDS))
    def test_size_and_offsets(self, name: str) -> None:
        record, size, offsets = RECORDS[name]
        assert ctypes.sizeof(record) == size
        assert [field for field, *_ in record._fields_] == list(offsets)
        for field, offset in offsets.items():
            assert getattr(record, field).offset == offset, f"{name}.{field}"

    @pytest.mark.parametrize("name", sorted(RECORDS))
    def test_fields_are_the_headers(self, name: str) -> None:
        record = RECORDS[name][0]
        fields = header_struct(name)
        assert [field for _, field, _, _ in fields] == [field for field, *_ in record._fields_]
        for (c_type, field, sizes, offset), (_, ctype) in zip(fields, record._fields_):
            expected: object = SCALARS[c_type]
            for size in reversed(sizes):
                expected = (expected,  size)
            actual: object = ctype
            while hasattr(actual, "_length_"):
                expected_element, expected_length = expected  # type: ignore[misc]
                assert actual._length_ == expected_length, f"{name}.{field}"  # type: ignore[attr-defined]
                actual, expected = actual._type_, expected_element  # type: ignore[attr-defined]
            assert actual is expected, f"{name}.{field}: {actual} for {c_type}"
            if offset >= 0:
                assert getattr(record, field).offset == offset, f"{name}.{field}"

    @pytest.mark.parametrize("name", sorted(RECORDS))
    def test_sizes_the_header_checks(self, name: str) -> None:
        sizes = re.findall(rf"sizeof\({name}\)\s*==\s*(\d+)", HEADER_TEXT)
        assert sizes, f"the header checks no size of {name}"
        assert all(int(size) == ctypes.sizeof(RECORDS[name][0]) for size in sizes)
        for field, offset in re.findall(rf"offsetof\({name},\s*(\w+)\)\s*==\s*(\d+)", HEADER_TEXT):
            assert getattr(RECORDS[name][0], field).offset == int(offset), f"{name}.{field}"

    def test_config_record_is_packed(self) -> None:
        record = ks318.ConfigRecord()
        record.number2, record.number3 = 0x01020304, -2
        raw = record.to_bytes()
        assert raw[214:218] == bytes([4, 3, 2, 1])
        assert raw[218:222] == b"\xfe\xff\xff\xff"
        assert ks318.ConfigRecord.from_bytes(raw).number3 == -2
        with pytest.raises(ValueError):
            ks318.ConfigRecord.from_bytes(raw[:-1])


# ---- numbers -------------------------------------------------------------------------------

DEFINE = re.compile(r"^#define\s+(KQ_\w+)\s+(\d+)\b", re.M)
HEADER_NUMBERS = {name: int(value) for name, value in DEFINE.findall(HEADER_TEXT)}


class TestNumbers:
    def test_notification_codes_are_the_headers(self) -> None:
        header = {name[len("KQ_NOTIFY_"):]: value for name, value in HEADER_NUMBERS.items()
                  if name.startswith("KQ_NOTIFY_")}
        assert len(header) >= 30
        assert {member.name: int(member) for member in ks318.Notification} == header

    def test_sizes_are_the_headers(self) -> None:
        mirrored = {name: HEADER_NUMBERS[name] for name in HEADER_NUMBERS if not name.startswith("KQ_NOTIFY_")}
        assert "KQ_GETFILE_MAX_BYTES" in mirrored and "KQ_PIXELS_318" in mirrored
        for name, value in mirrored.items():
            assert getattr(ks318, name[len("KQ_"):]) == value, name

    def test_the_loaded_library_is_the_headers_version(self) -> None:
        expected = ks318.VERSION_MAJOR * 1000000 + ks318.VERSION_MINOR * 1000 + ks318.VERSION_PATCH
        assert ks318.library().kq_libraryversion() == expected
        project = (Path(__file__).parents[1] / "pyproject.toml").read_text()
        assert f'version = "{ks318.VERSION_MAJOR}.{ks318.VERSION_MINOR}.{ks318.VERSION_PATCH}"' in project

    def test_answer_and_screen_numbers(self) -> None:
        assert ks318.Notification.KEY == 53
        assert ks318.ANSWER_DISPLAY_TIME == 42
        assert ks318.screen_size(318) == (320, 240) and ks318.pixel_count(318) == 320 * 240
        assert ks318.screen_size(320) == (480, 272) and ks318.pixel_count(7) == 480 * 272
