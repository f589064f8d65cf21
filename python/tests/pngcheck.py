"""Reads the PNG files the library writes, to check them pixel by pixel.

The structure is checked here: signature, chunk CRCs, IHDR, one IDAT and IEND
and nothing else, 8-bit RGBA without interlacing (what the capture exports
write) or, from the compact encoder for an opaque picture, 8-bit RGB or an
8-bit palette (then a PLTE chunk before the IDAT), anything else being a
fault, and image data that inflates to exactly one filter byte and one row
per line. The pixels come from libpng (its
simplified reader, through ctypes): an independent decoder, and fast enough
for whole-screen captures.
"""

from __future__ import annotations

import ctypes
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


class _PngImage(ctypes.Structure):
    _fields_ = [
        ("opaque", ctypes.c_void_p),
        ("version", ctypes.c_uint32),
        ("width", ctypes.c_uint32),
        ("height", ctypes.c_uint32),
        ("format", ctypes.c_uint32),
        ("flags", ctypes.c_uint32),
        ("colormap_entries", ctypes.c_uint32),
        ("warning_or_error", ctypes.c_uint32),
        ("message", ctypes.c_char * 64),
    ]


_PNG_IMAGE_VERSION = 1
_PNG_FORMAT_RGBA = 3
_libpng = ctypes.CDLL("libpng16.so.16")
_libpng.png_image_begin_read_from_memory.argtypes = [
    ctypes.POINTER(_PngImage), ctypes.c_void_p, ctypes.c_size_t,
]
_libpng.png_image_finish_read.argtypes = [
    ctypes.POINTER(_PngImage), ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int32, ctypes.c_void_p,
]
_libpng.png_image_free.argtypes = [ctypes.POINTER(_PngImage)]


def check_structure(data: bytes) -> Tuple[int, int]:
    """Width and height of a well-formed 8-bit RGBA or RGB PNG; ValueError otherwise."""
    if data[:8] != SIGNATURE:
        raise ValueError("no PNG signature")
    pos, chunks = 8, []
    while pos < len(data):
        if pos + 12 > len(data):
            raise ValueError("truncated chunk")
        (length,) = struct.unpack(">I", data[pos : pos + 4])
        kind = data[pos + 4 : pos + 8]
        body = data[pos + 8 : pos + 8 + length]
        crc = data[pos + 8 + length : pos + 12 + length]
        if len(body) != length or len(crc) != 4 or zlib.crc32(kind + body) != struct.unpack(">I", crc)[0]:
            raise ValueError(f"bad chunk {kind!r}")
        chunks.append((kind, body))
        pos += 12 + length
        if kind == b"IEND":
            break
    if pos != len(data):
        raise ValueError("bytes after IEND")
    kinds = [kind for kind, _ in chunks]
    if not chunks or chunks[0][0] != b"IHDR":
        raise ValueError(f"chunks {kinds}")
    width, height, depth, colour, compression, filtering, interlace = struct.unpack(
        ">IIBBBBB", chunks[0][1]
    )
    if (depth, compression, filtering, interlace) != (8, 0, 0, 0) or colour not in (2, 3, 6):
        raise ValueError(f"not 8-bit RGBA, RGB or a palette: depth {depth} colour type {colour}")
    wanted = [b"IHDR", b"PLTE", b"IDAT", b"IEND"] if colour == 3 else [b"IHDR", b"IDAT", b"IEND"]
    if kinds != wanted:
        raise ValueError(f"chunks {kinds}")
    if colour == 3 and (len(chunks[1][1]) % 3 or not 3 <= len(chunks[1][1]) <= 768):
        raise ValueError(f"a palette of {len(chunks[1][1])} bytes")
    row = width * {2: 3, 3: 1, 6: 4}[colour] + 1
    raw = zlib.decompress(chunks[-2][1])
    if len(raw) != height * row:
        raise ValueError(f"{len(raw)} bytes of image data for {width}x{height}")
    if any(raw[y * row] > 4 for y in range(height)):
        raise ValueError("unknown row filter")
    return width, height


def colour_type(data: bytes) -> int:
    """The IHDR's colour type: 6 RGBA, 2 RGB, 3 a palette."""
    check_structure(data)
    return data[25]


def decode(data: bytes) -> Image:
    """The pixels as R G B A rows; an RGB or palette PNG's alpha reads 255."""
    width, height = check_structure(data)
    image = _PngImage(version=_PNG_IMAGE_VERSION)
    if not _libpng.png_image_begin_read_from_memory(ctypes.byref(image), data, len(data)):
        raise ValueError("libpng: " + image.message.decode())
    image.format = _PNG_FORMAT_RGBA
    pixels = ctypes.create_string_buffer(width * height * 4)
    if not _libpng.png_image_finish_read(ctypes.byref(image), None, pixels, width * 4, None):
        message = image.message.decode()
        _libpng.png_image_free(ctypes.byref(image))
        raise ValueError("libpng: " + message)
    raw = pixels.raw
    stride = width * 4
    return Image(width, height, [raw[y * stride : (y + 1) * stride] for y in range(height)])


def decode_file(path: str) -> Image:
    with open(path, "rb") as file:
        return decode(file.read())
