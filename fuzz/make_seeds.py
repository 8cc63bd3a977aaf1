#!/usr/bin/env python3
"""Writes the seed corpus: one valid frame of every inbound code, each after the
fuzzer's leading choice byte (0: the stream follows a valid handshake)."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def frame(code, payload, length=None):
    return struct.pack('<BHi', 2, code, len(payload) if length is None else length) + payload


def i32(value):
    return struct.pack('<i', value)


def text(value, width):
    return value.encode()[:width].ljust(width, b'\0')


SEEDS = {
    'identification': frame(20, bytes([32, 1, 0x40, 0])),
    'result24': frame(24, i32(1)),
    'config26': frame(26, bytes(range(222))),
    'uid28': frame(28, bytes([1, 2, 3, 4, 5, 6]) + text('terminal', 32)),
    'text36': frame(36, i32(1)),
    'time42': frame(42, bytes([10, 0])),
    'result46': frame(46, i32(1)),
    'key53': frame(53, b'7'),
    'card69': frame(69, text('first', 128) + text('second', 128) + bytes(128) + i32(3)),
    'serial83': frame(83, struct.pack('<H', 5) + b'hello'),
    'serial89': frame(89, struct.pack('<H', 300) + bytes(300)),
    'file98': frame(98, text('CONF_DIR/all_medias.conf', 128) + i32(1) + b'[a]\nmedia1=x\n'),
    'result114': frame(114, i32(1)),
    'result118': frame(118, i32(0)),
    'result122': frame(122, i32(1)),
    'sc124': frame(124, bytes(range(8))),
    'imageupdate148': frame(148, i32(7) + text('images/', 100) + i32(8) + i32(9)),
    'updated150': frame(150, i32(1)),
    'result152': frame(152, i32(1)),
    'wifi154': frame(154, bytes(range(100))),
    'status162': frame(162, bytes([1, 5])),
    'unknown18': frame(18, i32(4)),
    'split_lengths': frame(171, b'', 0) + i32(0x10002) + frame(5000, bytes(64)),
}
for code in range(167, 190, 2):
    SEEDS['answer%d' % code] = frame(code, i32(0x10002))

os.makedirs(os.path.join(HERE, 'corpus'), exist_ok=True)
for name, data in SEEDS.items():
    with open(os.path.join(HERE, 'corpus', name), 'wb') as out:
        out.write(b'\0' + data)
