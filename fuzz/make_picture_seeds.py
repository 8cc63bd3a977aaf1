#!/usr/bin/env python3
"""Writes the picture fuzzers' seed corpora, fuzz/corpus_<format>/seed-*, and the
metafile dictionaries, fuzz/wmf.dict and fuzz/emf.dict: small valid files of
every format the picture path takes, each reaching a different part of its
decoder or player (bitmap depths and compressions; baseline and progressive
JPEG; icons of bitmap and PNG images; metafile records of every kind drawn).
Standard library only; the output is the same on every run."""
import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def u16(v):
    return struct.pack('<H', v & 0xFFFF)


def u32(v):
    return struct.pack('<I', v & 0xFFFFFFFF)


def s32(v):
    return struct.pack('<i', v)


def pad(data, unit):
    return data + bytes(-len(data) % unit)


# ---------------------------------------------------------------- test pictures

def colour_at(x, y, w, h):
    """A picture with gradients, a disc and bars: many colours, hard edges."""
    r = 255 * x // max(1, w - 1)
    g = 255 * y // max(1, h - 1)
    b = 255 - (r + g) // 2
    cx, cy, radius = w / 2, h / 2, min(w, h) / 3
    if (x - cx) ** 2 + (y - cy) ** 2 < radius * radius:
        r, g, b = 230, 40, 40
    if x % 8 < 2:
        r, g, b = 20, 20, 160
    return r, g, b


PALETTE16 = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
             (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
             (255, 0, 255), (0, 255, 255), (255, 255, 255)]
PALETTE256 = [((i * 37) & 255, (i * 91) & 255, (i * 151) & 255) for i in range(256)]


def index_at(x, y, colours):
    return (x // 3 + y // 2 + (x * y) // 7) % colours


def bgr0(palette):
    return b''.join(bytes((b, g, r, 0)) for r, g, b in palette)


# ---------------------------------------------------------------------- bitmaps

def pack_indices(indices, bits):
    out = bytearray()
    per_byte = 8 // bits
    for i in range(0, len(indices), per_byte):
        byte = 0
        for j in range(per_byte):
            value = indices[i + j] if i + j < len(indices) else 0
            byte |= value << (8 - bits * (j + 1))
        out.append(byte)
    return bytes(out)


def rows_bytes(width, height, bits, row_of, top_down=False):
    """The pixel rows of an uncompressed DIB, each padded to 4 bytes, bottom row first
    unless top_down."""
    order = range(height) if top_down else range(height - 1, -1, -1)
    return b''.join(pad(row_of(y), 4) for y in order)


def info_header(width, height, bits, compression=0, image_size=0, colours_used=0, size=40, masks=None):
    header = struct.pack('<IiiHHIIiiII', size, width, height, 1, bits, compression, image_size, 2835, 2835,
                         colours_used, 0)
    if size > 40:
        header += struct.pack('<IIII', *(masks or (0, 0, 0, 0)))
    if size >= 108:
        header += u32(0x73524742) + bytes(36) + bytes(12)  # sRGB, no end points or gamma
    if size == 124:
        header += u32(4) + u32(0) + u32(0) + u32(0)  # perceptual intent, no profile
    assert len(header) == size
    return header


def bmp_file(header, table, pixels):
    at = 14 + len(header) + len(table)
    return b'BM' + u32(at + len(pixels)) + u32(0) + u32(at) + header + table + pixels


def dib_rgb(width, height, colour=colour_at):
    """A 24-bit bottom-up DIB (header and rows) for the metafiles."""
    def row(y):
        return b''.join(bytes(colour(x, y, width, height)[::-1]) for x in range(width))
    bits = rows_bytes(width, height, 24, row)
    return info_header(width, height, 24, image_size=len(bits)) + bits


def dib_indexed(width, height, bits, palette):
    def row(y):
        return pack_indices([index_at(x, y, len(palette)) for x in range(width)], bits)
    rows = rows_bytes(width, height, bits, row)
    return info_header(width, height, bits, image_size=len(rows), colours_used=len(palette)) + bgr0(palette) + rows


def bmp_indexed(width, height, bits, palette, top_down=False):
    def row(y):
        return pack_indices([index_at(x, y, len(palette)) for x in range(width)], bits)
    rows = rows_bytes(width, height, bits, row, top_down)
    header = info_header(width, -height if top_down else height, bits, image_size=len(rows),
                         colours_used=len(palette))
    return bmp_file(header, bgr0(palette), rows)


def bmp_core(width, height, bits, palette):
    """OS/2 core header: 16-bit sizes, 3-byte palette entries."""
    def row(y):
        return pack_indices([index_at(x, y, len(palette)) for x in range(width)], bits)
    header = struct.pack('<IHHHH', 12, width, height, 1, bits)
    table = b''.join(bytes((b, g, r)) for r, g, b in palette)
    return bmp_file(header, table, rows_bytes(width, height, bits, row))


def bmp16(width, height, masks=None):
    def row(y):
        out = b''
        for x in range(width):
            r, g, b = colour_at(x, y, width, height)
            if masks:
                out += u16(((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3))
            else:
                out += u16(((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3))
        return out
    rows = rows_bytes(width, height, 16, row)
    if masks:
        return bmp_file(info_header(width, height, 16, 3, len(rows)), b''.join(u32(m) for m in masks), rows)
    return bmp_file(info_header(width, height, 16, 0, len(rows)), b'', rows)


def bmp24(width, height):
    def row(y):
        return b''.join(bytes(colour_at(x, y, width, height)[::-1]) for x in range(width))
    rows = rows_bytes(width, height, 24, row)
    return bmp_file(info_header(width, height, 24, 0, len(rows)), b'', rows)


def bmp32(width, height, header_size=40, alpha=False):
    def row(y):
        out = b''
        for x in range(width):
            r, g, b = colour_at(x, y, width, height)
            out += bytes((b, g, r, (255 * x // max(1, width - 1)) if alpha else 0))
        return out
    rows = rows_bytes(width, height, 32, row)
    if header_size == 40:
        return bmp_file(info_header(width, height, 32, 0, len(rows)), b'', rows)
    masks = (0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000 if alpha else 0)
    return bmp_file(info_header(width, height, 32, 3, len(rows), size=header_size, masks=masks), b'', rows)


def rle8_file(width, height):
    """8-bit RLE: runs, literal (absolute) stretches, a skip (delta) and every
    end code, rows bottom first."""
    palette = PALETTE16
    stream = bytearray()
    for row in range(height):
        x = 0
        if row == 2:
            stream += bytes((0, 2, 4, 0))  # skip four pixels of this row
            x = 4
        if row % 3 == 1:
            literal = [index_at(i, row, 16) for i in range(x, x + 5)]
            stream += bytes((0, len(literal))) + pad(bytes(literal), 2)
            x += len(literal)
        while x < width:
            run = min(width - x, 3 + row % 4)
            stream += bytes((run, (row + x) % 16))
            x += run
        stream += bytes((0, 1)) if row == height - 1 else bytes((0, 0))
    header = info_header(width, height, 8, 1, len(stream), colours_used=16)
    return bmp_file(header, bgr0(palette), bytes(stream))


def rle4_file(width, height):
    stream = bytearray()
    for row in range(height):
        x = 0
        if row % 2 == 0:
            literal = [index_at(i, row, 16) for i in range(6)]
            packed = bytes((literal[i] << 4 | literal[i + 1]) for i in range(0, 6, 2))
            stream += bytes((0, 6)) + pad(packed, 2)
            x = 6
        while x < width:
            run = min(width - x, 5)
            a, b = row % 16, (row + x + 7) % 16
            stream += bytes((run, a << 4 | b))
            x += run
        stream += bytes((0, 0))
    stream += bytes((0, 1))
    header = info_header(width, height, 4, 2, len(stream), colours_used=16)
    return bmp_file(header, bgr0(PALETTE16), bytes(stream))


def bmp_seeds():
    return {
        'bmp1': bmp_indexed(37, 21, 1, [(10, 20, 200), (250, 240, 20)]),
        'bmp4': bmp_indexed(29, 19, 4, PALETTE16),
        'bmp4_rle': rle4_file(30, 12),
        'bmp8': bmp_indexed(23, 17, 8, PALETTE256[:64]),
        'bmp8_topdown': bmp_indexed(40, 9, 8, PALETTE256, top_down=True),
        'bmp8_rle': rle8_file(33, 14),
        'bmp4_core': bmp_core(21, 13, 4, PALETTE16),
        'bmp16_555': bmp16(25, 15),
        'bmp16_565_bitfields': bmp16(18, 22, masks=(0xF800, 0x07E0, 0x001F)),
        'bmp24': bmp24(31, 19),
        'bmp24_wide': bmp24(64, 8),
        'bmp32': bmp32(20, 14),
        'bmp32_v4_bitfields': bmp32(16, 16, header_size=108),
        'bmp32_v5_alpha': bmp32(19, 12, header_size=124, alpha=True),
    }


# ------------------------------------------------------------------------- JPEG

def zigzag_order():
    order = []
    for s in range(15):
        diagonal = [(y, s - y) for y in range(8) if 0 <= s - y < 8]
        if s % 2 == 0:
            diagonal.reverse()  # even diagonals run up and to the right
        order += [y * 8 + x for y, x in diagonal]
    return order


ZIGZAG = zigzag_order()
COS = [[math.cos((2 * x + 1) * u * math.pi / 16) for u in range(8)] for x in range(8)]
LUMA_Q = [16, 11, 10, 16, 24, 40, 51, 61, 12, 12, 14, 19, 26, 58, 60, 55, 14, 13, 16, 24, 40, 57, 69, 56,
          14, 17, 22, 29, 51, 87, 80, 62, 18, 22, 37, 56, 68, 109, 103, 77, 24, 35, 55, 64, 81, 104, 113, 92,
          49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99]
CHROMA_Q = [min(99, 17 + 6 * (i // 8 + i % 8) ** 2) for i in range(64)]


def halve(table):
    return [max(1, q // 2) for q in table]


def fdct_quantised(block, table):
    """Forward DCT of 64 level-shifted samples (natural order), quantised, in zigzag order."""
    tmp = [[sum(block[y * 8 + x] * COS[x][u] for x in range(8)) for u in range(8)] for y in range(8)]
    out = [0] * 64
    for v in range(8):
        cv = math.sqrt(0.5) if v == 0 else 1.0
        for u in range(8):
            cu = math.sqrt(0.5) if u == 0 else 1.0
            value = 0.25 * cu * cv * sum(tmp[y][u] * COS[y][v] for y in range(8))
            out[v * 8 + u] = int(round(value / table[v * 8 + u]))
    return [out[n] for n in ZIGZAG]


def huffman_table(frequencies):
    """Code lengths for the symbols used, limited to 16 bits, no code of all ones
    (the JPEG way: a reserved extra symbol), as the DHT's counts and symbols."""
    symbols = sorted(frequencies)
    weights = [[frequencies[s], [s]] for s in symbols] + [[1, [256]]]
    length = {s: 0 for s in symbols + [256]}
    while len(weights) > 1:
        weights.sort(key=lambda w: (w[0], -max(w[1])))
        a, b = weights.pop(0), weights.pop(0)
        for s in a[1] + b[1]:
            length[s] += 1
        weights.append([a[0] + b[0], a[1] + b[1]])
    bits = [0] * 40
    for s in length:
        bits[length[s]] += 1
    for i in range(39, 16, -1):
        while bits[i] > 0:
            j = i - 2
            while bits[j] == 0:
                j -= 1
            bits[i] -= 2
            bits[i - 1] += 1
            bits[j + 1] += 2
            bits[j] -= 1
    i = 16
    while bits[i] == 0:
        i -= 1
    bits[i] -= 1  # the reserved symbol's code goes
    ordered = sorted(symbols, key=lambda s: (length[s], s))
    codes, code, k = {}, 0, 0
    for n in range(1, 17):
        for _ in range(bits[n]):
            codes[ordered[k]] = (code, n)
            code += 1
            k += 1
        code <<= 1
    return bits[1:17], ordered, codes


class BitWriter:
    def __init__(self):
        self.out = bytearray()
        self.value = 0
        self.count = 0

    def put(self, value, count):
        for i in range(count - 1, -1, -1):
            self.value = (self.value << 1) | ((value >> i) & 1)
            self.count += 1
            if self.count == 8:
                self.out.append(self.value)
                if self.value == 0xFF:
                    self.out.append(0)
                self.value = self.count = 0

    def flush(self):
        while self.count:
            self.put(1, 1)


def magnitude(value):
    size = abs(value).bit_length()
    return size, (value if value >= 0 else value + (1 << size) - 1)


def segment(marker, body):
    return bytes((0xFF, marker)) + struct.pack('>H', len(body) + 2) + body


class JpegComponent:
    def __init__(self, ident, h, v, table):
        self.ident, self.h, self.v, self.table = ident, h, v, table
        self.blocks = {}


def jpeg_file(width, height, colour=colour_at, sampling=((1, 1), (1, 1), (1, 1)), gray=False,
              progressive=False, restart=0, extra=b''):
    if gray:
        sampling = ((1, 1),)
    hmax = max(h for h, _ in sampling)
    vmax = max(v for _, v in sampling)
    mcus_x = -(-width // (8 * hmax))
    mcus_y = -(-height // (8 * vmax))
    tables = [halve(LUMA_Q), halve(CHROMA_Q)]
    components = [JpegComponent(i + 1, h, v, 0 if i == 0 else 1) for i, (h, v) in enumerate(sampling)]

    def sample(index, x, y):
        r, g, b = colour(min(x, width - 1), min(y, height - 1), width, height)
        if index == 0:
            return 0.299 * r + 0.587 * g + 0.114 * b
        if index == 1:
            return -0.168736 * r - 0.331264 * g + 0.5 * b + 128
        return 0.5 * r - 0.418688 * g - 0.081312 * b + 128

    memo = {}
    for index, comp in enumerate(components):
        sx, sy = hmax // comp.h, vmax // comp.v
        comp.width = -(-width * comp.h // hmax)
        comp.height = -(-height * comp.v // vmax)
        for by in range(mcus_y * comp.v):
            for bx in range(mcus_x * comp.h):
                block = []
                for y in range(8):
                    for x in range(8):
                        px, py = (bx * 8 + x) * sx, (by * 8 + y) * sy
                        total = sum(sample(index, px + i, py + j) for j in range(sy) for i in range(sx))
                        block.append(total / (sx * sy) - 128)
                key = (comp.table, tuple(round(s, 3) for s in block))
                if key not in memo:
                    memo[key] = fdct_quantised(block, tables[comp.table])
                comp.blocks[by, bx] = memo[key]

    out = bytearray(b'\xFF\xD8')
    out += segment(0xE0, b'JFIF\0\x01\x01\x00\x00\x01\x00\x01\x00\x00')
    out += extra
    for t, table in enumerate(tables[:1 if gray else 2]):
        out += segment(0xDB, bytes([t]) + bytes(table[n] for n in ZIGZAG))
    frame = struct.pack('>BHHB', 8, height, width, len(components))
    for comp in components:
        frame += bytes((comp.ident, comp.h << 4 | comp.v, comp.table))
    out += segment(0xC2 if progressive else 0xC0, frame)
    if restart:
        out += segment(0xDD, struct.pack('>H', restart))

    if not progressive:
        scans = [(components, 0, 63, 0, 0)]
    elif gray:
        scans = [(components, 0, 0, 0, 1), (components, 1, 9, 0, 0), (components, 10, 63, 0, 0),
                 (components, 0, 0, 1, 0)]
    else:
        y, cb, cr = components
        scans = [(components, 0, 0, 0, 1), ([y], 1, 5, 0, 0), ([cb], 1, 63, 0, 0), ([cr], 1, 63, 0, 0),
                 ([y], 6, 63, 0, 0), (components, 0, 0, 1, 0)]
    for scan in scans:
        out += jpeg_scan(scan, components, mcus_x, mcus_y, restart)
    out += b'\xFF\xD9'
    return bytes(out)


def jpeg_scan(scan, components, mcus_x, mcus_y, restart):
    """One scan: its Huffman tables (made for it), header and entropy-coded data."""
    members, ss, se, ah, al = scan
    # The units of the scan: an interleaved scan goes MCU by MCU; a scan of one
    # component block by block over the component's own size.
    units = []
    if len(members) > 1:
        for my in range(mcus_y):
            for mx in range(mcus_x):
                units.append([(c, c.blocks[my * c.v + j, mx * c.h + i])
                              for c in members for j in range(c.v) for i in range(c.h)])
    else:
        c = members[0]
        for by in range(-(-c.height // 8)):
            for bx in range(-(-c.width // 8)):
                units.append([(c, c.blocks[by, bx])])

    events = []  # (table key or None for raw bits, symbol or bits, extra value, extra length)
    predictor = {}
    for n, unit in enumerate(units):
        if restart and n and n % restart == 0:
            events.append(('restart', (n // restart - 1) % 8, 0, 0))
            predictor = {}
        for comp, coefficients in unit:
            if ss == 0 and ah == 0:
                dc = coefficients[0] >> al
                size, bits = magnitude(dc - predictor.get(comp.ident, 0))
                predictor[comp.ident] = dc
                events.append((('dc', comp.table), size, bits, size))
            elif ss == 0:
                events.append((None, (coefficients[0] >> al) & 1, 0, 1))
            first = max(ss, 1)
            if se == 0:
                continue
            run = 0
            for k in range(first, se + 1):
                value = coefficients[k] >> al if coefficients[k] >= 0 else -((-coefficients[k]) >> al)
                if value == 0:
                    run += 1
                    continue
                while run > 15:
                    events.append((('ac', comp.table), 0xF0, 0, 0))
                    run -= 16
                size, bits = magnitude(value)
                events.append((('ac', comp.table), run << 4 | size, bits, size))
                run = 0
            if run:
                events.append((('ac', comp.table), 0x00, 0, 0))

    frequencies = {}
    for key, symbol, _, _ in events:
        if key not in (None, 'restart'):
            frequencies.setdefault(key, {}).setdefault(symbol, 0)
            frequencies[key][symbol] += 1
    out = bytearray()
    codes = {}
    for key in sorted(frequencies):
        counts, symbols, codes[key] = huffman_table(frequencies[key])
        out += segment(0xC4, bytes([(0 if key[0] == 'dc' else 1) << 4 | key[1]]) + bytes(counts) + bytes(symbols))
    header = bytes([len(members)])
    for comp in members:
        header += bytes((comp.ident, comp.table << 4 | comp.table))
    out += segment(0xDA, header + bytes((ss, se, ah << 4 | al)))
    writer = BitWriter()
    for key, symbol, extra, length in events:
        if key == 'restart':
            writer.flush()
            writer.out += bytes((0xFF, 0xD0 + symbol))
        elif key is None:
            writer.put(symbol, length)
        else:
            code, size = codes[key][symbol]
            writer.put(code, size)
            writer.put(extra, length)
    writer.flush()
    return bytes(out + writer.out)


def exif_orientation(value):
    """APP1 Exif: a little-endian TIFF header and one IFD holding the orientation."""
    tiff = b'II*\0' + u32(8) + u16(1) + u16(0x0112) + u16(3) + u32(1) + u16(value) + u16(0) + u32(0)
    return segment(0xE1, b'Exif\0\0' + tiff)


def icc_profile():
    profile = struct.pack('>I', 132) + b'none' + bytes(28) + b'acsp' + bytes(92)
    return segment(0xE2, b'ICC_PROFILE\0\x01\x01' + profile)


def banded_gray(x, y, w, h):
    """Flat 8 × 8 blocks, one grey per block row and a few dark blocks: a large picture
    in few bytes."""
    level = 40 + (y // 8) % 160
    if (x // 8 + y // 8) % 37 == 0:
        level = 10
    return level, level, level


def jpeg_seeds():
    return {
        'jpg_baseline_444': jpeg_file(48, 32),
        'jpg_baseline_420_restart': jpeg_file(40, 30, sampling=((2, 2), (1, 1), (1, 1)), restart=2),
        'jpg_baseline_422_exif_icc': jpeg_file(35, 21, sampling=((2, 1), (1, 1), (1, 1)),
                                               extra=exif_orientation(6) + icc_profile() +
                                               segment(0xFE, b'seed comment')),
        'jpg_baseline_gray': jpeg_file(33, 17, gray=True),
        'jpg_progressive_420': jpeg_file(40, 30, sampling=((2, 2), (1, 1), (1, 1)), progressive=True),
        'jpg_progressive_444_restart': jpeg_file(24, 24, progressive=True, restart=1),
        'jpg_progressive_gray': jpeg_file(27, 20, gray=True, progressive=True),
        # Decoded at a quarter of its size for the 320 × 240 screen.
        'jpg_baseline_gray_1280x960': jpeg_file(1280, 960, colour=banded_gray, gray=True),
    }


# -------------------------------------------------------------------- PNG, icons

def png_chunk(kind, data):
    return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))


def png_filter(kind, row, previous, bpp):
    out = bytearray([kind])
    for i, value in enumerate(row):
        left = row[i - bpp] if i >= bpp else 0
        up = previous[i] if previous else 0
        corner = previous[i - bpp] if previous and i >= bpp else 0
        if kind == 0:
            predicted = 0
        elif kind == 1:
            predicted = left
        elif kind == 2:
            predicted = up
        elif kind == 3:
            predicted = (left + up) // 2
        else:
            p = left + up - corner
            pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
            predicted = left if pa <= pb and pa <= pc else up if pb <= pc else corner
        out.append((value - predicted) & 0xFF)
    return out


ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]


def png_file(width, height, colour_type, depth, pixel_bytes, extra=b'', interlace=False):
    """pixel_bytes(x, y) gives one pixel's samples (depth 8 or 16); every filter type
    is used in turn."""
    bpp = max(1, len(pixel_bytes(0, 0)))
    passes = ADAM7 if interlace else [(0, 0, 1, 1)]
    raw = bytearray()
    n = 0
    for x0, y0, dx, dy in passes:
        xs, ys = range(x0, width, dx), range(y0, height, dy)
        if not xs or not ys:
            continue
        previous = None
        for y in ys:
            row = b''.join(pixel_bytes(x, y) for x in xs)
            raw += png_filter(n % 5, row, previous, bpp)
            previous = row
            n += 1
    header = struct.pack('>IIBBBBB', width, height, depth, colour_type, 0, 0, 1 if interlace else 0)
    return (b'\x89PNG\r\n\x1a\n' + png_chunk(b'IHDR', header) + extra +
            png_chunk(b'IDAT', zlib.compress(bytes(raw), 9)) + png_chunk(b'IEND', b''))


def png_rgba(width, height, interlace=False):
    def pixel(x, y):
        r, g, b = colour_at(x, y, width, height)
        return bytes((r, g, b, 255 if (x + y) % 5 else 96))
    return png_file(width, height, 6, 8, pixel, interlace=interlace)


def png_palette(width, height):
    palette = PALETTE16
    plte = png_chunk(b'PLTE', b''.join(bytes(c) for c in palette))
    trns = png_chunk(b'tRNS', bytes([0, 128] + [255] * 14))
    return png_file(width, height, 3, 8, lambda x, y: bytes([index_at(x, y, 16)]), extra=plte + trns,
                    interlace=True)


def png_gray16(width, height):
    return png_file(width, height, 0, 16, lambda x, y: struct.pack('>H', (x * 4099 + y * 977) & 0xFFFF))


def png_rgb16(width, height):
    def pixel(x, y):
        return b''.join(struct.pack('>H', c * 257) for c in colour_at(x, y, width, height))
    return png_file(width, height, 2, 16, pixel)


def icon_bitmap(width, height, bits, palette=None, alpha=False):
    """An icon's bitmap image: header (height counting the mask), colour table,
    colour rows, mask rows, all bottom row first."""
    def colour_row(y):
        if bits <= 8:
            return pack_indices([index_at(x, y, len(palette)) for x in range(width)], bits)
        out = b''
        for x in range(width):
            r, g, b = colour_at(x, y, width, height)
            out += bytes((b, g, r)) + (bytes([255 * y // max(1, height - 1)]) if bits == 32 else b'')
        return out

    def mask_row(y):
        # Transparent corners where the image has no alpha of its own.
        return pack_indices([0 if alpha else int((x < 3 or x >= width - 3) and (y < 3 or y >= height - 3))
                             for x in range(width)], 1)
    colours = rows_bytes(width, height, bits, colour_row)
    mask = rows_bytes(width, height, 1, mask_row)
    table = bgr0(palette) if bits <= 8 else b''
    header = info_header(width, 2 * height, bits, image_size=len(colours) + len(mask),
                         colours_used=len(palette) if bits <= 8 else 0)
    return header + table + colours + mask


def icon_file(images, kind=1):
    """images: (width, height, colour count, bit count, data); for a cursor (kind 2)
    the planes and bit count fields hold the hot spot."""
    out = u16(0) + u16(kind) + u16(len(images))
    at = 6 + 16 * len(images)
    for width, height, colours, bits, data in images:
        a, b = (width // 2, height // 2) if kind == 2 else (1, bits)
        out += bytes((width & 255, height & 255, colours, 0)) + u16(a) + u16(b) + u32(len(data)) + u32(at)
        at += len(data)
    return out + b''.join(image[4] for image in images)


def ico_seeds():
    return {
        'ico_1bit_4bit': icon_file([(16, 16, 2, 1, icon_bitmap(16, 16, 1, [(0, 0, 0), (255, 200, 0)])),
                                    (24, 24, 16, 4, icon_bitmap(24, 24, 4, PALETTE16))]),
        'ico_8bit': icon_file([(20, 20, 0, 8, icon_bitmap(20, 20, 8, PALETTE256[:100]))]),
        'ico_24bit_32bit': icon_file([(16, 16, 0, 24, icon_bitmap(16, 16, 24)),
                                      (22, 22, 0, 32, icon_bitmap(22, 22, 32, alpha=True))]),
        'ico_png_rgba': icon_file([(16, 16, 0, 32, icon_bitmap(16, 16, 32, alpha=True)),
                                   (32, 32, 0, 32, png_rgba(32, 32))]),
        'ico_png_palette_interlaced': icon_file([(30, 26, 16, 8, png_palette(30, 26))]),
        'ico_png_gray16': icon_file([(12, 12, 16, 4, icon_bitmap(12, 12, 4, PALETTE16)),
                                     (20, 18, 0, 16, png_gray16(20, 18))]),
        'ico_png_rgb16_large': icon_file([(0, 0, 0, 48, png_rgb16(256, 4))]),
        'cur_24bit': icon_file([(18, 18, 0, 24, icon_bitmap(18, 18, 24))], kind=2),
    }


# ------------------------------------------------------------- Windows metafiles

WMF = {
    'EOF': 0x0000, 'SAVEDC': 0x001E, 'REALIZEPALETTE': 0x0035, 'SETPALENTRIES': 0x0037,
    'CREATEPALETTE': 0x00F7, 'SETBKMODE': 0x0102, 'SETMAPMODE': 0x0103, 'SETROP2': 0x0104,
    'SETRELABS': 0x0105, 'SETPOLYFILLMODE': 0x0106, 'SETSTRETCHBLTMODE': 0x0107,
    'SETTEXTCHAREXTRA': 0x0108, 'RESTOREDC': 0x0127, 'INVERTREGION': 0x012A, 'PAINTREGION': 0x012B,
    'SELECTCLIPREGION': 0x012C, 'SELECTOBJECT': 0x012D, 'SETTEXTALIGN': 0x012E, 'RESIZEPALETTE': 0x0139,
    'DIBCREATEPATTERNBRUSH': 0x0142, 'SETLAYOUT': 0x0149, 'DELETEOBJECT': 0x01F0,
    'CREATEPATTERNBRUSH': 0x01F9, 'SETBKCOLOR': 0x0201, 'SETTEXTCOLOR': 0x0209,
    'SETTEXTJUSTIFICATION': 0x020A, 'SETWINDOWORG': 0x020B, 'SETWINDOWEXT': 0x020C,
    'SETVIEWPORTORG': 0x020D, 'SETVIEWPORTEXT': 0x020E, 'OFFSETWINDOWORG': 0x020F,
    'OFFSETVIEWPORTORG': 0x0211, 'LINETO': 0x0213, 'MOVETO': 0x0214, 'OFFSETCLIPRGN': 0x0220,
    'FILLREGION': 0x0228, 'SETMAPPERFLAGS': 0x0231, 'SELECTPALETTE': 0x0234,
    'CREATEPENINDIRECT': 0x02FA, 'CREATEFONTINDIRECT': 0x02FB, 'CREATEBRUSHINDIRECT': 0x02FC,
    'POLYGON': 0x0324, 'POLYLINE': 0x0325, 'SCALEWINDOWEXT': 0x0410, 'SCALEVIEWPORTEXT': 0x0412,
    'EXCLUDECLIPRECT': 0x0415, 'INTERSECTCLIPRECT': 0x0416, 'ELLIPSE': 0x0418, 'FLOODFILL': 0x0419,
    'RECTANGLE': 0x041B, 'SETPIXEL': 0x041F, 'FRAMEREGION': 0x0429, 'ANIMATEPALETTE': 0x0436,
    'TEXTOUT': 0x0521, 'POLYPOLYGON': 0x0538, 'EXTFLOODFILL': 0x0548, 'ROUNDRECT': 0x061C,
    'PATBLT': 0x061D, 'ESCAPE': 0x0626, 'CREATEREGION': 0x06FF, 'ARC': 0x0817, 'PIE': 0x081A,
    'CHORD': 0x0830, 'BITBLT': 0x0922, 'DIBBITBLT': 0x0940, 'EXTTEXTOUT': 0x0A32,
    'STRETCHBLT': 0x0B23, 'DIBSTRETCHBLT': 0x0B41, 'SETDIBTODEV': 0x0D33, 'STRETCHDIB': 0x0F43,
}
SRCCOPY = 0x00CC0020


def rec(name, *words, data=b''):
    """A WMF record: its size in 16-bit words, the function, parameters (16-bit
    words, coordinates y before x as the format has them), then raw data."""
    params = b''.join(u16(w) for w in words) + pad(data, 2)
    return u32(3 + len(params) // 2) + u16(WMF[name]) + params


def colorref(r, g, b):
    return u32(r | g << 8 | b << 16)


def words32(value):
    return value & 0xFFFF, (value >> 16) & 0xFFFF


def pen(style, width, rgb):
    return rec('CREATEPENINDIRECT', style, width, 0, data=colorref(*rgb))


def brush(style, rgb, hatch=0):
    return rec('CREATEBRUSHINDIRECT', style, data=colorref(*rgb) + u16(hatch))


def font(height, weight=400, italic=0, escapement=0, face=b'Helvetica'):
    return rec('CREATEFONTINDIRECT', height, 0, escapement, escapement, weight,
               data=bytes((italic, 0, 0, 0, 0, 0, 0, 0)) + face + b'\0')


def points(pts):
    return [c for x, y in pts for c in (x, y)]


def wmf_file(records, objects, placeable=None):
    body = b''.join(records) + rec('EOF')
    largest = max(len(r) // 2 for r in records + [rec('EOF')])
    data = struct.pack('<HHHIHIH', 1, 9, 0x0300, (18 + len(body)) // 2, objects, largest, 0) + body
    if placeable is None:
        return data
    left, top, right, bottom, inch = placeable
    head = struct.pack('<IHhhhhHI', 0x9AC6CDD7, 0, left, top, right, bottom, inch, 0)
    checksum = 0
    for (word,) in struct.iter_unpack('<H', head):
        checksum ^= word
    return head + u16(checksum) + data


def wmf_shapes(inch, anisotropic=False):
    """Pens, brushes and every outline shape, in a placeable file of 300 × 400
    units at `inch` units per inch."""
    r = [rec('SETMAPMODE', 8)] if anisotropic else []
    r += [rec('SETWINDOWORG', 0, 0), rec('SETWINDOWEXT', 400, 300),
         rec('SETBKMODE', 1), rec('SETPOLYFILLMODE', 2), rec('SETROP2', 13),
         pen(0, 4, (200, 0, 0)), rec('SELECTOBJECT', 0),
         brush(0, (0, 160, 40)), rec('SELECTOBJECT', 1),
         rec('RECTANGLE', 120, 180, 20, 20),
         rec('ROUNDRECT', 30, 30, 120, 280, 20, 200),
         rec('ELLIPSE', 280, 180, 140, 20),
         brush(2, (0, 0, 200), hatch=3), rec('SELECTOBJECT', 2),
         rec('PIE', 150, 245, 195, 290, 240, 290, 150, 200),
         rec('CHORD', 285, 200, 285, 290, 320, 290, 250, 200),
         pen(2, 1, (0, 0, 0)), rec('SELECTOBJECT', 3),
         rec('ARC', 360, 20, 360, 120, 390, 120, 330, 20),
         rec('MOVETO', 10, 10), rec('LINETO', 390, 290), rec('LINETO', 390, 10),
         rec('POLYLINE', 4, *points([(10, 200), (60, 240), (110, 200), (160, 240)])),
         rec('DELETEOBJECT', 3), pen(0, 2, (90, 40, 0)), rec('SELECTOBJECT', 3),
         rec('POLYGON', 5, *points([(200, 150), (240, 160), (250, 200), (220, 230), (190, 200)])),
         rec('POLYPOLYGON', 2, 3, 4, *points([(20, 300), (80, 300), (50, 350),
                                               (100, 300), (150, 300), (150, 350), (100, 350)])),
         rec('SETPIXEL', *words32(0x0000FF), 5, 5),
         rec('PATBLT', *words32(0x00F00021), 10, 40, 250, 250),
         rec('DELETEOBJECT', 0), rec('DELETEOBJECT', 1), rec('DELETEOBJECT', 2), rec('DELETEOBJECT', 3)]
    return wmf_file(r, 4, placeable=(0, 0, 300, 400, inch))


def wmf_flipped_text():
    """Not placeable; a window whose extents run right to left and bottom up, a
    saved and restored state, fonts and text."""
    r = [rec('SETMAPMODE', 8), rec('SETWINDOWORG', 600, 800), rec('SETWINDOWEXT', -600, -800),
         rec('SETVIEWPORTORG', 0, 0), rec('SETVIEWPORTEXT', 240, 320),
         brush(0, (250, 230, 120)), rec('SELECTOBJECT', 0),
         rec('RECTANGLE', 590, 790, 10, 10),
         rec('SAVEDC'),
         rec('OFFSETWINDOWORG', 20, 20), rec('SCALEWINDOWEXT', 1, 2, 1, 2),
         rec('INTERSECTCLIPRECT', 500, 700, 100, 100),
         pen(0, 6, (0, 90, 200)), rec('SELECTOBJECT', 1),
         rec('ELLIPSE', 500, 700, 100, 100),
         rec('RESTOREDC', -1 & 0xFFFF),
         rec('EXCLUDECLIPRECT', 300, 400, 250, 350),
         font(60, 700), rec('SELECTOBJECT', 2),
         rec('SETTEXTCOLOR', data=colorref(120, 0, 120)), rec('SETBKCOLOR', data=colorref(200, 255, 200)),
         rec('SETBKMODE', 2), rec('SETTEXTALIGN', 24),
         rec('TEXTOUT', 5, data=pad(b'KS318', 2) + u16(400) + u16(100)),
         rec('DELETEOBJECT', 2), font(40, 400, italic=1, escapement=450, face=b'Times'), rec('SELECTOBJECT', 2),
         rec('EXTTEXTOUT', 300, 80, 4, 6, 60, 250, 560, 360, data=b'wmf!' + u16(30) + u16(30) + u16(30) + u16(30)),
         rec('EXTTEXTOUT', 120, 650, 3, 0, data=pad(b'abc', 2)),
         rec('DELETEOBJECT', 0), rec('DELETEOBJECT', 1), rec('DELETEOBJECT', 2)]
    return wmf_file(r, 3)


def wmf_bitmaps():
    """DIBs drawn by STRETCHDIB, DIBSTRETCHBLT and DIBBITBLT, a DIB pattern brush."""
    rgb = dib_rgb(12, 10)
    indexed = dib_indexed(16, 8, 4, PALETTE16)
    indexed8 = dib_indexed(9, 7, 8, PALETTE256[:20])
    r = [rec('SETWINDOWORG', 0, 0), rec('SETWINDOWEXT', 200, 200),
         rec('SETSTRETCHBLTMODE', 3),
         rec('STRETCHDIB', *words32(SRCCOPY), 0, 10, 12, 0, 0, 100, 120, 10, 10, data=rgb),
         rec('DIBSTRETCHBLT', *words32(SRCCOPY), 8, 16, 0, 0, 80, 70, 110, 20, data=indexed),
         rec('DIBBITBLT', *words32(SRCCOPY), 0, 0, 7, 9, 150, 150, data=indexed8),
         rec('DIBCREATEPATTERNBRUSH', 5, 0, data=dib_indexed(8, 8, 1, [(0, 0, 0), (255, 128, 0)])),
         rec('SELECTOBJECT', 0),
         rec('RECTANGLE', 190, 190, 160, 10),
         rec('DELETEOBJECT', 0)]
    return wmf_file(r, 1, placeable=(0, 0, 200, 200, 144))


def wmf_regions_palette():
    """Not placeable, anisotropic mapping with a negative y extent; palette,
    regions and clip regions."""
    palette = rec('CREATEPALETTE', 0x300, 4, data=b''.join(bytes((r, g, b, 0)) for r, g, b in PALETTE16[9:13]))
    # Two scans: one band of [10, 90) over rows [20, 50), two bands below it.
    scans = [(20, 50, [(10, 90)]), (50, 80, [(10, 40), (60, 90)])]
    scan_words = []
    for top, bottom, bands in scans:
        scan_words += [2 * len(bands), top, bottom] + [c for band in bands for c in band] + [2 * len(bands)]
    region = rec('CREATEREGION', 0, 6, 0, 0, 22 + 2 * len(scan_words), len(scans), 4, 10, 20, 90, 80, *scan_words)
    r = [rec('SETMAPMODE', 8), rec('SETWINDOWORG', 100, 0), rec('SETWINDOWEXT', -100, 100),
         rec('SETVIEWPORTEXT', 200, 200),
         palette, rec('SELECTPALETTE', 0), rec('REALIZEPALETTE'),
         brush(0, (30, 100, 200)), rec('SELECTOBJECT', 1),
         rec('RECTANGLE', 0, 100, 100, 0),
         region, brush(0, (220, 40, 40)),
         rec('FILLREGION', 2, 3), rec('FRAMEREGION', 2, 1, 2, 2),
         rec('SELECTCLIPREGION', 2),
         pen(0, 3, (0, 0, 0)), rec('SELECTOBJECT', 4),
         rec('ELLIPSE', 5, 95, 95, 5),
         rec('DELETEOBJECT', 4), rec('DELETEOBJECT', 3), rec('DELETEOBJECT', 2), rec('DELETEOBJECT', 1),
         rec('DELETEOBJECT', 0)]
    return wmf_file(r, 5)


def wmf_seeds():
    return {
        'wmf_placeable_shapes': wmf_shapes(1440),
        'wmf_placeable_anisotropic': wmf_shapes(96, anisotropic=True),
        'wmf_flipped_text': wmf_flipped_text(),
        'wmf_placeable_bitmaps': wmf_bitmaps(),
        'wmf_regions_palette': wmf_regions_palette(),
    }


# ------------------------------------------------------------ enhanced metafiles

EMR = {
    'HEADER': 1, 'POLYBEZIER': 2, 'POLYGON': 3, 'POLYLINE': 4, 'POLYBEZIERTO': 5, 'POLYLINETO': 6,
    'POLYPOLYLINE': 7, 'POLYPOLYGON': 8, 'SETWINDOWEXTEX': 9, 'SETWINDOWORGEX': 10,
    'SETVIEWPORTEXTEX': 11, 'SETVIEWPORTORGEX': 12, 'SETBRUSHORGEX': 13, 'EOF': 14, 'SETPIXELV': 15,
    'SETMAPPERFLAGS': 16, 'SETMAPMODE': 17, 'SETBKMODE': 18, 'SETPOLYFILLMODE': 19, 'SETROP2': 20,
    'SETSTRETCHBLTMODE': 21, 'SETTEXTALIGN': 22, 'SETCOLORADJUSTMENT': 23, 'SETTEXTCOLOR': 24,
    'SETBKCOLOR': 25, 'OFFSETCLIPRGN': 26, 'MOVETOEX': 27, 'SETMETARGN': 28, 'EXCLUDECLIPRECT': 29,
    'INTERSECTCLIPRECT': 30, 'SCALEVIEWPORTEXTEX': 31, 'SCALEWINDOWEXTEX': 32, 'SAVEDC': 33,
    'RESTOREDC': 34, 'SETWORLDTRANSFORM': 35, 'MODIFYWORLDTRANSFORM': 36, 'SELECTOBJECT': 37,
    'CREATEPEN': 38, 'CREATEBRUSHINDIRECT': 39, 'DELETEOBJECT': 40, 'ANGLEARC': 41, 'ELLIPSE': 42,
    'RECTANGLE': 43, 'ROUNDRECT': 44, 'ARC': 45, 'CHORD': 46, 'PIE': 47, 'SELECTPALETTE': 48,
    'CREATEPALETTE': 49, 'SETPALETTEENTRIES': 50, 'RESIZEPALETTE': 51, 'REALIZEPALETTE': 52,
    'EXTFLOODFILL': 53, 'LINETO': 54, 'ARCTO': 55, 'POLYDRAW': 56, 'SETARCDIRECTION': 57,
    'SETMITERLIMIT': 58, 'BEGINPATH': 59, 'ENDPATH': 60, 'CLOSEFIGURE': 61, 'FILLPATH': 62,
    'STROKEANDFILLPATH': 63, 'STROKEPATH': 64, 'FLATTENPATH': 65, 'WIDENPATH': 66,
    'SELECTCLIPPATH': 67, 'ABORTPATH': 68, 'GDICOMMENT': 70, 'FILLRGN': 71, 'FRAMERGN': 72,
    'INVERTRGN': 73, 'PAINTRGN': 74, 'EXTSELECTCLIPRGN': 75, 'BITBLT': 76, 'STRETCHBLT': 77,
    'MASKBLT': 78, 'PLGBLT': 79, 'SETDIBITSTODEVICE': 80, 'STRETCHDIBITS': 81,
    'EXTCREATEFONTINDIRECTW': 82, 'EXTTEXTOUTA': 83, 'EXTTEXTOUTW': 84, 'POLYBEZIER16': 85,
    'POLYGON16': 86, 'POLYLINE16': 87, 'POLYBEZIERTO16': 88, 'POLYLINETO16': 89,
    'POLYPOLYLINE16': 90, 'POLYPOLYGON16': 91, 'POLYDRAW16': 92, 'CREATEMONOBRUSH': 93,
    'CREATEDIBPATTERNBRUSHPT': 94, 'EXTCREATEPEN': 95, 'POLYTEXTOUTA': 96, 'POLYTEXTOUTW': 97,
    'SETICMMODE': 98, 'CREATECOLORSPACE': 99, 'SETCOLORSPACE': 100, 'DELETECOLORSPACE': 101,
    'SETLAYOUT': 115, 'SMALLTEXTOUT': 108, 'ALPHABLEND': 114, 'TRANSPARENTBLT': 116,
    'GRADIENTFILL': 118,
}
STOCK = 0x80000000


def emr(name, data=b''):
    data = pad(data, 4)
    return u32(EMR[name]) + u32(8 + len(data)) + data


def rectl(left, top, right, bottom):
    return s32(left) + s32(top) + s32(right) + s32(bottom)


def ints(*values):
    return b''.join(s32(v) for v in values)


def bounds_of(pts):
    xs, ys = [x for x, _ in pts], [y for _, y in pts]
    return rectl(min(xs), min(ys), max(xs), max(ys))


def poly32(name, pts):
    return emr(name, bounds_of(pts) + u32(len(pts)) + b''.join(s32(x) + s32(y) for x, y in pts))


def poly16(name, pts):
    return emr(name, bounds_of(pts) + u32(len(pts)) + b''.join(struct.pack('<hh', x, y) for x, y in pts))


def polypoly16(name, figures):
    pts = [p for figure in figures for p in figure]
    return emr(name, bounds_of(pts) + u32(len(figures)) + u32(len(pts)) +
               b''.join(u32(len(f)) for f in figures) + b''.join(struct.pack('<hh', x, y) for x, y in pts))


def polypoly32(name, figures):
    pts = [p for figure in figures for p in figure]
    return emr(name, bounds_of(pts) + u32(len(figures)) + u32(len(pts)) +
               b''.join(u32(len(f)) for f in figures) + b''.join(s32(x) + s32(y) for x, y in pts))


def emf_pen(handle, style, width, rgb):
    return emr('CREATEPEN', u32(handle) + u32(style) + s32(width) + s32(0) + colorref(*rgb))


def emf_brush(handle, style, rgb, hatch=0):
    return emr('CREATEBRUSHINDIRECT', u32(handle) + u32(style) + colorref(*rgb) + u32(hatch))


def emf_ext_pen(handle, style, width, rgb, dashes=()):
    return emr('EXTCREATEPEN', u32(handle) + u32(0) * 4 + u32(style) + u32(width) + u32(0) +
               colorref(*rgb) + u32(0) + u32(len(dashes)) + b''.join(u32(d) for d in dashes))


def emf_font(handle, height, weight=400, italic=0, escapement=0, face='DejaVu Sans'):
    name = face.encode('utf-16-le')[:62]
    logfont = (ints(height, 0, escapement, escapement, weight) + bytes((italic, 0, 0, 1, 0, 0, 0, 0)) +
               name.ljust(64, b'\0'))
    return emr('EXTCREATEFONTINDIRECTW', u32(handle) + logfont)


def emf_text(x, y, text, box=None, options=0, spacing=None):
    chars = text.encode('utf-16-le')
    string = pad(chars, 4)
    dx = b''.join(u32(spacing) for _ in text) if spacing else b''
    at = 76
    emrtext = (ints(x, y) + u32(len(text)) + u32(at) + u32(options) + rectl(*(box or (0, 0, -1, -1))) +
               u32(at + len(string) if spacing else 0))
    return emr('EXTTEXTOUTW', rectl(0, 0, -1, -1) + u32(1) + struct.pack('<ff', 1.0, 1.0) + emrtext + string + dx)


def emf_stretch_dib(dest, size, dib_header_and_table, bits):
    x, y = dest
    cx, cy = size
    width, height = struct.unpack_from('<ii', dib_header_and_table, 4)
    fixed = 80
    body = (rectl(x, y, x + cx - 1, y + cy - 1) + ints(x, y, 0, 0, width, abs(height)) +
            u32(fixed) + u32(len(dib_header_and_table)) + u32(fixed + len(dib_header_and_table)) +
            u32(len(bits)) + u32(0) + u32(SRCCOPY) + ints(cx, cy))
    return emr('STRETCHDIBITS', body + dib_header_and_table + bits)


def xform(m11, m12, m21, m22, dx, dy):
    return struct.pack('<ffffff', m11, m12, m21, m22, dx, dy)


def emf_file(records, width, height, handles, description=None):
    """width × height pixels at 96 dots per inch, on a reference device of
    1920 × 1080 pixels and 508 × 286 mm."""
    eof = emr('EOF', u32(0) + u32(16) + u32(20))
    desc = pad(description.encode('utf-16-le'), 4) if description else b''
    header_size = 108 + len(desc)
    body = b''.join(records) + eof
    total = header_size + 8 + len(body) - 8
    frame = rectl(0, 0, round(width * 2540 / 96) - 1, round(height * 2540 / 96) - 1)
    header = (rectl(0, 0, width - 1, height - 1) + frame + u32(0x464D4520) + u32(0x10000) + u32(total) +
              u32(len(records) + 2) + u16(handles) + u16(0) +
              u32(len(description) if description else 0) + u32(108 if description else 0) + u32(0) +
              ints(1920, 1080, 508, 286) + u32(0) + u32(0) + u32(0) + ints(508000, 286000))
    head = u32(1) + u32(header_size) + header + desc
    assert len(head) == header_size
    data = head + body
    assert len(data) == total
    return data


def emf_shapes():
    r = [emr('SETMAPMODE', u32(1)), emr('SETBKMODE', u32(1)), emr('SETPOLYFILLMODE', u32(1)),
         emf_pen(1, 0, 3, (200, 0, 0)), emr('SELECTOBJECT', u32(1)),
         emf_brush(2, 0, (0, 150, 60)), emr('SELECTOBJECT', u32(2)),
         emr('RECTANGLE', rectl(10, 10, 90, 60)),
         emr('ELLIPSE', rectl(100, 10, 190, 70)),
         emr('ROUNDRECT', rectl(10, 80, 90, 130) + ints(20, 20)),
         emf_brush(3, 2, (0, 0, 200), hatch=4), emr('SELECTOBJECT', u32(3)),
         emr('PIE', rectl(100, 80, 160, 140) + ints(160, 110, 130, 80)),
         emr('CHORD', rectl(160, 80, 200, 120) + ints(200, 100, 180, 80)),
         emr('ARC', rectl(10, 140, 80, 190) + ints(80, 165, 10, 165)),
         emr('MOVETOEX', ints(5, 195)), emr('LINETO', ints(195, 195)),
         emr('SELECTOBJECT', u32(STOCK | 5)),  # NULL_BRUSH
         emr('SELECTOBJECT', u32(STOCK | 7)),  # BLACK_PEN
         poly32('POLYGON', [(120, 150), (150, 145), (170, 170), (140, 190)]),
         poly32('POLYLINE', [(90, 150), (100, 180), (110, 150)]),
         poly32('POLYBEZIER', [(10, 100), (40, 60), (60, 140), (90, 100)]),
         emr('SETPIXELV', ints(3, 3) + colorref(255, 0, 255)),
         emr('DELETEOBJECT', u32(1)), emr('DELETEOBJECT', u32(2)), emr('DELETEOBJECT', u32(3))]
    return emf_file(r, 200, 200, 4)


def emf_polys16():
    """The 16-bit point forms, with the drawing-position ones, and the 32-bit
    multi-figure ones; an extended dashed pen."""
    r = [emr('SETWINDOWORGEX', ints(0, 0)), emr('SETWINDOWEXTEX', ints(300, 150)),
         emr('SETVIEWPORTORGEX', ints(0, 0)), emr('SETVIEWPORTEXTEX', ints(300, 150)),
         emf_ext_pen(1, 0x00010000 | 0x1000 | 1, 4, (10, 10, 150)), emr('SELECTOBJECT', u32(1)),
         emf_brush(2, 0, (250, 200, 0)), emr('SELECTOBJECT', u32(2)),
         poly16('POLYGON16', [(10, 10), (60, 15), (50, 60), (5, 40)]),
         poly16('POLYLINE16', [(70, 10), (90, 60), (110, 10), (130, 60)]),
         poly16('POLYBEZIER16', [(140, 60), (160, 0), (180, 120), (200, 60)]),
         emr('MOVETOEX', ints(210, 10)),
         poly16('POLYLINETO16', [(240, 30), (220, 60)]),
         poly16('POLYBEZIERTO16', [(230, 80), (260, 70), (290, 100)]),
         polypoly16('POLYPOLYGON16', [[(10, 80), (40, 80), (25, 110)], [(50, 80), (80, 80), (80, 120), (50, 120)]]),
         polypoly16('POLYPOLYLINE16', [[(90, 80), (120, 140)], [(120, 80), (90, 140), (100, 145)]]),
         emf_ext_pen(3, 0, 1, (0, 120, 0), ()), emr('SELECTOBJECT', u32(3)),
         polypoly32('POLYPOLYGON', [[(140, 90), (170, 90), (155, 140)], [(175, 90), (200, 140), (180, 145)]]),
         polypoly32('POLYPOLYLINE', [[(210, 110), (290, 110)], [(210, 130), (290, 145)]]),
         poly32('POLYLINETO', [(280, 20), (290, 40)]),
         poly32('POLYBEZIERTO', [(260, 50), (250, 60), (240, 40)]),
         emr('DELETEOBJECT', u32(1)), emr('DELETEOBJECT', u32(2)), emr('DELETEOBJECT', u32(3))]
    return emf_file(r, 300, 150, 4, description='KS318\0seed\0')


def emf_text_seed():
    r = [emr('SETBKMODE', u32(2)), emr('SETBKCOLOR', colorref(220, 255, 220)),
         emf_brush(1, 0, (255, 240, 200)), emr('SELECTOBJECT', u32(1)),
         emr('RECTANGLE', rectl(0, 0, 239, 119)),
         emf_font(2, -28, 700), emr('SELECTOBJECT', u32(2)),
         emr('SETTEXTCOLOR', colorref(0, 0, 160)), emr('SETTEXTALIGN', u32(24)),
         emf_text(10, 40, 'KS318 terminal'),
         emr('DELETEOBJECT', u32(2)),
         emf_font(2, -20, 400, italic=1, escapement=300, face='DejaVu Serif'), emr('SELECTOBJECT', u32(2)),
         emr('SETTEXTCOLOR', colorref(180, 0, 0)), emr('SETTEXTALIGN', u32(0)),
         emf_text(20, 100, 'spaced', box=(10, 70, 200, 110), options=4, spacing=14),
         emr('SETTEXTALIGN', u32(6)),
         emf_text(200, 60, '\u00e9t\u00e9'),
         emr('DELETEOBJECT', u32(1)), emr('DELETEOBJECT', u32(2))]
    return emf_file(r, 240, 120, 3)


def emf_transform_clip():
    """Saved and restored states around world transforms and clip rectangles, a
    path filled and stroked, an anisotropic window with flipped extents."""
    r = [emf_brush(1, 0, (90, 160, 250)), emr('SELECTOBJECT', u32(1)),
         emf_pen(2, 0, 2, (0, 0, 0)), emr('SELECTOBJECT', u32(2)),
         emr('SAVEDC'),
         emr('SETWORLDTRANSFORM', xform(0.866, 0.5, -0.5, 0.866, 100, 20)),
         emr('RECTANGLE', rectl(0, 0, 80, 40)),
         emr('MODIFYWORLDTRANSFORM', xform(1.5, 0, 0, 0.5, 0, 0) + u32(2)),
         emr('ELLIPSE', rectl(0, 60, 60, 120)),
         emr('RESTOREDC', s32(-1)),
         emr('SAVEDC'),
         emr('INTERSECTCLIPRECT', rectl(20, 20, 180, 150)),
         emr('EXCLUDECLIPRECT', rectl(60, 60, 100, 100)),
         emr('RECTANGLE', rectl(0, 0, 200, 200)),
         emr('RESTOREDC', s32(-1)),
         emr('MODIFYWORLDTRANSFORM', xform(1, 0, 0, 1, 0, 0) + u32(1)),
         emr('BEGINPATH'), emr('MOVETOEX', ints(20, 180)), emr('LINETO', ints(60, 150)),
         emr('LINETO', ints(100, 190)), emr('CLOSEFIGURE'), emr('ENDPATH'),
         emr('STROKEANDFILLPATH', rectl(20, 150, 100, 190)),
         emr('BEGINPATH'), emr('MOVETOEX', ints(120, 160)), emr('LINETO', ints(190, 190)), emr('ENDPATH'),
         emr('STROKEPATH', rectl(120, 160, 190, 190)),
         emr('SAVEDC'),
         emr('SETMAPMODE', u32(8)), emr('SETWINDOWORGEX', ints(200, 200)), emr('SETWINDOWEXTEX', ints(-200, -200)),
         emr('SETVIEWPORTORGEX', ints(0, 0)), emr('SETVIEWPORTEXTEX', ints(100, 100)),
         emf_brush(3, 0, (240, 60, 60)), emr('SELECTOBJECT', u32(3)),
         emr('ELLIPSE', rectl(20, 20, 80, 80)),
         emr('RESTOREDC', s32(-1)),
         emr('DELETEOBJECT', u32(1)), emr('DELETEOBJECT', u32(2)), emr('DELETEOBJECT', u32(3))]
    return emf_file(r, 200, 200, 4)


def emf_bitmaps():
    rgb = dib_rgb(12, 10)
    width = 16
    indexed_rows = rows_bytes(width, 8, 8, lambda y: bytes(index_at(x, y, 16) for x in range(width)))
    indexed_head = info_header(width, 8, 8, image_size=len(indexed_rows), colours_used=16) + bgr0(PALETTE16)
    topdown_rows = rows_bytes(10, 6, 24, lambda y: b''.join(bytes((0, 40 * y, 25 * x)) for x in range(10)),
                              top_down=True)
    r = [emr('SETSTRETCHBLTMODE', u32(4)),
         emf_stretch_dib((10, 10), (120, 100), rgb[:40], rgb[40:]),
         emf_stretch_dib((140, 20), (50, 40), indexed_head, indexed_rows),
         emf_stretch_dib((20, 130), (160, 60), info_header(10, -6, 24), topdown_rows)]
    return emf_file(r, 200, 200, 1)


def emf_seeds():
    return {
        'emf_shapes': emf_shapes(),
        'emf_polys16_extpen': emf_polys16(),
        'emf_text': emf_text_seed(),
        'emf_transform_clip_path': emf_transform_clip(),
        'emf_stretchdibits': emf_bitmaps(),
    }


# ------------------------------------------------------------------ dictionaries

def dictionary(path, title, entries):
    with open(path, 'w') as out:
        out.write('# %s for libFuzzer (-dict=); written by make_picture_seeds.py.\n' % title)
        for name, token in entries:
            out.write('%s="%s"\n' % (name, ''.join('\\x%02X' % b for b in token)))


def main():
    corpora = {'bmp': bmp_seeds(), 'jpg': jpeg_seeds(), 'ico': ico_seeds(), 'wmf': wmf_seeds(),
               'emf': emf_seeds()}
    for fmt, seeds in corpora.items():
        folder = os.path.join(HERE, 'corpus_' + fmt)
        os.makedirs(folder, exist_ok=True)
        for name in os.listdir(folder):  # earlier seeds; found inputs (repro-*) stay
            if name.startswith('seed-'):
                os.remove(os.path.join(folder, name))
        for name, data in seeds.items():
            assert len(data) <= 8192, (name, len(data))
            with open(os.path.join(folder, 'seed-' + name), 'wb') as out:
                out.write(data)
    dictionary(os.path.join(HERE, 'wmf.dict'), 'WMF record functions (16-bit) and the placeable key',
               [('wmf_' + name.lower(), u16(value)) for name, value in sorted(WMF.items(), key=lambda i: i[1])] +
               [('wmf_placeable', u32(0x9AC6CDD7)), ('wmf_version', u16(0x0300)), ('wmf_srccopy', u32(SRCCOPY))])
    dictionary(os.path.join(HERE, 'emf.dict'), 'EMF record types (32-bit), signature and stock objects',
               [('emr_' + name.lower(), u32(value)) for name, value in sorted(EMR.items(), key=lambda i: i[1])] +
               [('emf_signature', b' EMF'), ('emf_version', u32(0x10000)), ('emf_stock', u32(STOCK)),
                ('emf_srccopy', u32(SRCCOPY)), ('emf_one', struct.pack('<f', 1.0))])


if __name__ == '__main__':
    main()
