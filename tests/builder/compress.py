"""Compressed column values: 7-bit ASCII, 7-bit Unicode, XPRESS and LZ4, and the frames of schemes this
builder has no encoder for.

The first byte is a header whose top five bits select the scheme (header >> 3): 1 = 7-bit ASCII,
2 = 7-bit Unicode, 3 = XPRESS, 4 = scrubbed, 5 = Xpress9, 6 = Xpress10, 7 = LZ4. For the 7-bit schemes the
low three bits hold the number of valid bits in the last packed byte, minus one.
"""

from __future__ import annotations

import struct

from .lz4 import lz4_block
from .lzxpress import lz77_encode

SCHEME_7BIT_ASCII = 1
SCHEME_7BIT_UNICODE = 2
SCHEME_XPRESS = 3

HEADER_7BIT_ASCII = SCHEME_7BIT_ASCII << 3
HEADER_7BIT_UNICODE = SCHEME_7BIT_UNICODE << 3
HEADER_XPRESS = SCHEME_XPRESS << 3


def pack_7bit(units: bytes) -> tuple[bytes, int]:
    """Pack 7-bit units LSB-first; returns the packed bytes and the number of valid bits in the last byte."""
    if any(unit > 0x7F for unit in units):
        raise ValueError("7-bit packing needs every unit below 0x80")
    if not units:
        return b"", 8
    total_bits = 7 * len(units)
    out = bytearray()
    for start in range(0, len(units), 8):  # 8 units of 7 bits make 7 bytes
        value = 0
        for index, unit in enumerate(units[start : start + 8]):
            value |= unit << (7 * index)
        out += value.to_bytes(7, "little")
    packed = bytes(out[: (total_bits + 7) // 8])
    last_bits = total_bits - 8 * (len(packed) - 1)
    return packed, last_bits


def compress_7bit_ascii(data: bytes) -> bytes:
    """Header 0x08 | (valid bits - 1), then each byte packed as a 7-bit unit."""
    packed, last_bits = pack_7bit(data)
    return bytes([HEADER_7BIT_ASCII | (last_bits - 1)]) + packed


def compress_7bit_unicode(utf16le: bytes) -> bytes:
    """Header 0x10 | (valid bits - 1), then each UTF-16LE code unit (all below 0x80) as a 7-bit unit."""
    if len(utf16le) % 2 or any(utf16le[1::2]):
        raise ValueError("7-bit Unicode packing needs UTF-16LE code units below 0x80")
    packed, last_bits = pack_7bit(utf16le[0::2])
    return bytes([HEADER_7BIT_UNICODE | (last_bits - 1)]) + packed


def compress_xpress(data: bytes, *, force_u32: bool = False) -> bytes:
    """Header 0x18, the u16 uncompressed size, then a plain LZ77 stream."""
    if len(data) > 0xFFFF:
        raise ValueError("an XPRESS value holds at most 65535 uncompressed bytes")
    stream, _ = lz77_encode(data, force_u32=force_u32)
    return struct.pack("<BH", HEADER_XPRESS, len(data)) + stream


def compress_lz4(data: bytes) -> bytes:
    """Header 0x38, the u16 uncompressed size, then an LZ4 block."""
    return struct.pack("<BH", 7 << 3, len(data)) + lz4_block(data)


def frame_undecoded(data: bytes, scheme: str) -> bytes:
    """The frame of a scheme with no encoder here, around a stream that is no real one (shorter than the
    data): "scrubbed" (0x20, then one fill byte repeated), "xpress9" (0x28, a u32 checksum), "xpress10"
    (0x30, the u16 size, u32 and u64 checksums)."""
    half = data[: len(data) // 2]
    if scheme == "scrubbed":
        return b"\x20" + b"\xbd" * (len(data) // 2)
    if scheme == "xpress9":
        return struct.pack("<BI", 5 << 3, 0x1234) + half
    return struct.pack("<BHIQ", 6 << 3, len(data), 0x1234, 0x5678) + half


def compress(data: bytes, scheme: str) -> bytes:
    """Compress by scheme name: "7bit_ascii", "7bit_unicode", "xpress", "lz4", or frame_undecoded's names."""
    if scheme == "7bit_ascii":
        return compress_7bit_ascii(data)
    if scheme == "7bit_unicode":
        return compress_7bit_unicode(data)
    if scheme == "xpress":
        return compress_xpress(data)
    if scheme == "lz4":
        return compress_lz4(data)
    if scheme in ("scrubbed", "xpress9", "xpress10"):
        return frame_undecoded(data, scheme)
    raise ValueError(f"unknown compression scheme {scheme!r}")
