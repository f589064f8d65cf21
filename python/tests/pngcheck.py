"""Reads the PNG files the library writes, to check them pixel by pixel.

Chunks and CRCs are checked, the image data is inflated with zlib and the row
filters are undone. Only 8-bit RGBA without interlacing is accepted: that is
the only kind the library writes, so anything else is a fault.
"""

from __future__ import annotations

import struct
import zlib
from typing import List, NamedTuple, Tuple

SIGNATURE = b"\x89PNG\r\n\x1a\n"

Pixel = Tuple[int, int, int, int]


class Image(NamedTuple):
    width: int
    height: int
    rows: List[bytes]  # width * 4 bytes each, R G B A

    def pixel(self, x: int, y: int) -> Pixel:
        r, g, b, a = self.rows[y][4 * x : 4 * x + 4]
        return (r, g, b, a)


def _paeth(a: int, b: int, c: int) -> int:
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def decode(data: bytes) -> Image:
    if data[:8] != SIGNATURE:
        raise ValueError("no PNG signature")
    pos, chunks = 8, []
    while pos < len(data):
        if pos + 12 > len(data):
            raise ValueError("truncated chunk")
        (length,) = struct.unpack(">I", data[pos : pos + 4])
        kind = data[pos + 4 : pos + 8]
        body = data[pos + 8 : pos + 8 + length]
        (crc,) = struct.unpack(">I", data[pos + 8 + length : pos + 12 + length])
        if len(body) != length or zlib.crc32(kind + body) != crc:
            raise ValueError(f"bad chunk {kind!r}")
        chunks.append((kind, body))
        pos += 12 + length
        if kind == b"IEND":
            break
    if pos != len(data):
        raise ValueError("bytes after IEND")
    kinds = [kind for kind, _ in chunks]
    if kinds[0] != b"IHDR" or kinds[-1] != b"IEND" or b"IDAT" not in kinds:
        raise ValueError(f"chunk order {kinds}")
    width, height, depth, colour, compression, filtering, interlace = struct.unpack(
        ">IIBBBBB", chunks[0][1]
    )
    if (depth, colour, compression, filtering, interlace) != (8, 6, 0, 0, 0):
        raise ValueError(f"not 8-bit RGBA: depth {depth} colour type {colour}")
    raw = zlib.decompress(b"".join(body for kind, body in chunks if kind == b"IDAT"))
    stride = width * 4
    if len(raw) != height * (stride + 1):
        raise ValueError(f"{len(raw)} bytes of image data for {width}x{height}")
    rows: List[bytes] = []
    previous = bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        row = bytearray(raw[y * (stride + 1) + 1 : (y + 1) * (stride + 1)])
        for i in range(stride):
            left = row[i - 4] if i >= 4 else 0
            up = previous[i]
            corner = previous[i - 4] if i >= 4 else 0
            if kind == 1:
                row[i] = (row[i] + left) & 0xFF
            elif kind == 2:
                row[i] = (row[i] + up) & 0xFF
            elif kind == 3:
                row[i] = (row[i] + ((left + up) >> 1)) & 0xFF
            elif kind == 4:
                row[i] = (row[i] + _paeth(left, up, corner)) & 0xFF
            elif kind != 0:
                raise ValueError(f"filter type {kind} in row {y}")
        rows.append(bytes(row))
        previous = row
    return Image(width, height, rows)


def decode_file(path: str) -> Image:
    with open(path, "rb") as file:
        return decode(file.read())
