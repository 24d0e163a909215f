"""Data records: header, fixed columns, null bitmap, variable end offsets and the tagged area."""

from __future__ import annotations

import struct
from collections.abc import Mapping, Sequence

from .constants import (
    FIRST_VARIABLE_ID,
    NO_VARIABLE_COLUMNS,
    TAGGED_HAS_FLAG_BYTE,
    TAGGED_NULL_SMALL,
    TV_NULL,
    VARIABLE_NULL,
)

_HEADER = struct.Struct("<BBH")
_TAGGED_ENTRY = struct.Struct("<HH")

NULL_FILLER = b"*"

# Flag value of a tagged piece: NO_FLAG = no flag byte on small pages (0x00 on large pages, where every
# value has one); RAW = the bytes exactly as given, never a flag byte.
NO_FLAG: int | None = None
RAW = -1

TaggedPiece = tuple[int, int | None, bytes]


class RecordFormat:
    """Encodes records of one table from the sizes of its fixed columns.

    `fixed_sizes` maps each fixed column id (1-127) to its size in bytes; ids not declared take no room.
    """

    def __init__(self, fixed_sizes: Mapping[int, int], large: bool) -> None:
        self.fixed = sorted(fixed_sizes.items())
        self.large = large

    def encode(
        self,
        fixed: Mapping[int, bytes],
        variable: Mapping[int, bytes],
        tagged: Sequence[TaggedPiece],
    ) -> bytes:
        """One record. `fixed` and `variable` hold the columns that have a value; tagged pieces are stored
        in ascending column id order (pieces with equal ids keep their order)."""
        parts: list[bytes] = []
        last_fixed = max(fixed) if fixed else 0
        present_mask = 0
        for column_id, size in self.fixed:
            if column_id > last_fixed:
                break
            data = fixed.get(column_id)
            if data is None:
                parts.append(NULL_FILLER * size)
            else:
                parts.append(data)
                present_mask |= 1 << (column_id - 1)
        bitmap_len = (last_fixed + 7) // 8
        null_bits = ((1 << (8 * bitmap_len)) - 1) & ~present_mask
        parts.append(null_bits.to_bytes(bitmap_len, "little"))
        fixed_part = b"".join(parts)

        last_variable = max(variable) if variable else NO_VARIABLE_COLUMNS
        ends: list[int] = []
        values: list[bytes] = []
        end = 0
        for column_id in range(FIRST_VARIABLE_ID, last_variable + 1):
            data = variable.get(column_id)
            if data is None:
                ends.append(VARIABLE_NULL | end)
            else:
                end += len(data)
                if end > 0x7FFF:
                    raise ValueError("variable columns exceed 32767 bytes")
                ends.append(end)
                values.append(data)
        variable_part = struct.pack(f"<{len(ends)}H", *ends) + b"".join(values)

        header = _HEADER.pack(last_fixed, last_variable, _HEADER.size + len(fixed_part))
        return header + fixed_part + variable_part + self.encode_tagged(tagged)

    def encode_tagged(self, pieces: Sequence[TaggedPiece]) -> bytes:
        """The tagged area: 4-byte directory entries (id, offset word), then the values."""
        if not pieces:
            return b""
        ordered = sorted(pieces, key=lambda piece: piece[0])
        offset = 4 * len(ordered)
        directory: list[bytes] = []
        blobs: list[bytes] = []
        for column_id, flags, payload in ordered:
            if flags == RAW:
                value, marker = payload, 0
            elif flags is None and not self.large:
                value, marker = payload, 0
            elif flags == TV_NULL and not self.large:  # said in the offset word, with no flag byte
                value, marker = payload, TAGGED_NULL_SMALL
            else:
                value, marker = bytes([(flags or 0) & 0xFF]) + payload, TAGGED_HAS_FLAG_BYTE
            limit = 0x7FFF if self.large else 0x1FFF
            if offset > limit:
                raise ValueError(f"tagged value offset {offset} exceeds 0x{limit:x}")
            word = offset if self.large else offset | marker
            directory.append(_TAGGED_ENTRY.pack(column_id, word))
            blobs.append(value)
            offset += len(value)
        return b"".join(directory) + b"".join(blobs)
