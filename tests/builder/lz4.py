"""An LZ4 block compressor: greedy matches of 4 bytes and more, found through the last place each 4 bytes
were seen.

A block is a run of sequences: a token (high nibble: literal count, low nibble: match length - 4; 15 means
bytes follow that add to it, 255 each until a smaller one), the literals, a u16 little-endian offset back
into the output, the match (which may overlap itself). The last sequence has literals only; matches end at
least 5 bytes before the end of the data.
"""

from __future__ import annotations

import struct


def _length(out: bytearray, extra: int) -> None:
    while extra >= 255:
        out.append(255)
        extra -= 255
    out.append(extra)


def _sequence(out: bytearray, literals: bytes, offset: int = 0, match: int = 0) -> None:
    token = min(len(literals), 15) << 4 | (min(match - 4, 15) if match else 0)
    out.append(token)
    if len(literals) >= 15:
        _length(out, len(literals) - 15)
    out += literals
    if match:
        out += struct.pack("<H", offset)
        if match - 4 >= 15:
            _length(out, match - 4 - 15)


def lz4_block(data: bytes) -> bytes:
    out = bytearray()
    seen: dict[bytes, int] = {}
    anchor = at = 0
    end = len(data) - 5
    while at + 4 <= end:
        key = data[at : at + 4]
        before = seen.get(key)
        seen[key] = at
        if before is None or at - before > 0xFFFF:
            at += 1
            continue
        length = 4
        while at + length < end and data[before + length] == data[at + length]:
            length += 1
        _sequence(out, data[anchor:at], at - before, length)
        at = anchor = at + length
    _sequence(out, data[anchor:])
    return bytes(out)
