"""Plain LZ77 (LZXPRESS) streams: an encoder with every length form."""

from __future__ import annotations

import struct
from collections import Counter

MAX_OFFSET = 8192
MIN_MATCH = 3

# Length classes of a match, named by where the length is stored.
CLASS_SHORT = "short"  # 3..9, in the low 3 bits of the match word
CLASS_NIBBLE = "nibble"  # 10..24, in a shared half byte
CLASS_BYTE = "byte"  # 25..279, in one extra byte
CLASS_U16 = "u16"  # up to 65538, in an extra u16
CLASS_U32 = "u32"  # any length of 25 or more, in an extra u32 after a zero u16


class Lz77Writer:
    """Builds a stream item by item: 32-bit flag words (MSB first) interleaved with literals and matches."""

    def __init__(self, *, force_u32: bool = False) -> None:
        self.out = bytearray()
        self._flag_pos = -1
        self._flag_bits = 0
        self._flag_count = 0
        self._nibble_pos: int | None = None
        self.force_u32 = force_u32
        self.classes: Counter[str] = Counter()

    def _next_flag(self, bit: int) -> None:
        if self._flag_count == 0:
            self._flush_flags()
            self._flag_pos = len(self.out)
            self.out += b"\0\0\0\0"
            self._flag_bits = 0
            self._flag_count = 32
        self._flag_count -= 1
        self._flag_bits |= bit << self._flag_count
        struct.pack_into("<I", self.out, self._flag_pos, self._flag_bits)

    def _flush_flags(self) -> None:
        if self._flag_pos >= 0:
            struct.pack_into("<I", self.out, self._flag_pos, self._flag_bits)

    def literal(self, data: bytes) -> None:
        """Append literal bytes, one flag bit 0 each."""
        for byte in data:
            self._next_flag(0)
            self.out.append(byte)

    def match(self, offset: int, length: int) -> None:
        """Append a copy of `length` bytes from `offset` bytes back in the output."""
        if not 1 <= offset <= MAX_OFFSET:
            raise ValueError(f"match offset {offset} out of 1..{MAX_OFFSET}")
        if length < MIN_MATCH:
            raise ValueError(f"match length {length} below {MIN_MATCH}")
        self._next_flag(1)
        extra = length - MIN_MATCH
        word = (offset - 1) << 3
        if extra < 7:
            self.out += struct.pack("<H", word | extra)
            self.classes[CLASS_SHORT] += 1
            return
        self.out += struct.pack("<H", word | 7)
        extra -= 7
        nibble = min(extra, 15)
        if self.force_u32 and length >= 25:
            nibble = 15
        self._put_nibble(nibble)
        if nibble < 15:
            self.classes[CLASS_NIBBLE] += 1
            return
        extra -= 15
        if extra < 255 and not (self.force_u32 and length >= 25):
            self.out.append(extra)
            self.classes[CLASS_BYTE] += 1
            return
        self.out.append(255)
        total = length - MIN_MATCH  # the u16 / u32 forms store the whole length minus 3
        if total <= 0xFFFF and not self.force_u32:
            self.out += struct.pack("<H", total)
            self.classes[CLASS_U16] += 1
        else:
            self.out += struct.pack("<HI", 0, total)
            self.classes[CLASS_U32] += 1

    def _put_nibble(self, value: int) -> None:
        if self._nibble_pos is None:
            self._nibble_pos = len(self.out)
            self.out.append(value)
        else:
            self.out[self._nibble_pos] |= value << 4
            self._nibble_pos = None

    def getvalue(self) -> bytes:
        self._flush_flags()
        return bytes(self.out)


def _match_length(data: bytes, pos: int, candidate: int, limit: int) -> int:
    """Length of the match of data[pos:] against data[candidate:] (overlapping copies allowed)."""
    length = 0
    step = 64
    while length < limit:
        size = min(step, limit - length)
        if data[pos + length : pos + length + size] == data[candidate + length : candidate + length + size]:
            length += size
            step *= 2
        elif size == 1:
            break
        else:
            step = max(1, size // 2)
    return length


def lz77_encode(data: bytes, *, max_chain: int = 8, force_u32: bool = False) -> tuple[bytes, Counter[str]]:
    """Greedy LZ77 encoding of `data`; returns the stream and the count of matches per length class."""
    writer = Lz77Writer(force_u32=force_u32)
    chains: dict[bytes, list[int]] = {}
    size = len(data)
    pos = 0
    while pos < size:
        best_len, best_off = 0, 0
        if pos + MIN_MATCH <= size:
            key = data[pos : pos + MIN_MATCH]
            candidates = chains.get(key)
            if candidates:
                for candidate in reversed(candidates[-max_chain:]):
                    if pos - candidate > MAX_OFFSET:
                        break
                    length = _match_length(data, pos, candidate, size - pos)
                    if length > best_len:
                        best_len, best_off = length, pos - candidate
            chains.setdefault(key, []).append(pos)
        if best_len >= MIN_MATCH:
            writer.match(best_off, best_len)
            # Index only a few positions inside long matches to keep long runs fast.
            for inner in range(pos + 1, min(pos + best_len, size - MIN_MATCH + 1), max(1, best_len // 16)):
                chains.setdefault(data[inner : inner + MIN_MATCH], []).append(inner)
            pos += best_len
        else:
            writer.literal(data[pos : pos + 1])
            pos += 1
    return writer.getvalue(), writer.classes
