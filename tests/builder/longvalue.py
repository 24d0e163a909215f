"""Long-value trees: a root record per long value, then its chunks.

Root record: key = id (u32 big-endian), data = u32 reference count, u32 total logical size.
Chunk: key = id (big-endian) + logical byte offset (big-endian u32), data = the chunk's bytes, each chunk
compressed on its own when the value is compressed and the compressed form is shorter (like the engine, which
keeps a chunk as it is when compression would not save space).
"""

from __future__ import annotations

import struct
from collections.abc import Iterable
from dataclasses import dataclass

from .btree import SPACE_HEADER_SIZE
from .compress import compress
from .geometry import Geometry

_ROOT = struct.Struct("<II")
_KEY = struct.Struct(">I")
_CHUNK_KEY = struct.Struct(">II")
_WIDE_KEY = struct.Struct(">Q")
_WIDE_CHUNK_KEY = struct.Struct(">QI")
_CHUNK_ENTRY_OVERHEAD = 2 + 2 + _CHUNK_KEY.size + 4  # common size, local size, key, tag


@dataclass
class StoredLongValue:
    """One long value as it goes into the tree. `scheme` is a compression scheme name or None."""

    lv_id: int
    data: bytes
    chunk_size: int
    scheme: str | None = None
    order: str = "asc"
    total_size: int | None = None
    refcount: int = 1


def default_chunk_size(geometry: Geometry, compressed: bool = False) -> int:
    """The largest chunk whose entry fits one page (leaving room for compression overhead)."""
    room = geometry.data_size - 4 - SPACE_HEADER_SIZE - _CHUNK_ENTRY_OVERHEAD
    return (room - 8) * 8 // 9 if compressed else room


def long_value_entries(values: Iterable[StoredLongValue], id_width: int = 4) -> list[tuple[bytes, bytes]]:
    """Leaf entries of the tree in id order: for each value its root record, then its chunks (ids of 4 or 8
    bytes, big-endian in the key)."""
    key, chunk_key = (_KEY, _CHUNK_KEY) if id_width == 4 else (_WIDE_KEY, _WIDE_CHUNK_KEY)
    entries: list[tuple[bytes, bytes]] = []
    for value in sorted(values, key=lambda v: v.lv_id):
        total = len(value.data) if value.total_size is None else value.total_size
        entries.append((key.pack(value.lv_id), _ROOT.pack(value.refcount, total)))
        chunks = []
        step = max(1, value.chunk_size)
        for offset in range(0, len(value.data), step):
            piece = value.data[offset : offset + step]
            stored = piece
            if value.scheme:
                packed = compress(piece, value.scheme)
                if len(packed) < len(piece):
                    stored = packed
            chunks.append((chunk_key.pack(value.lv_id, offset), stored))
        if value.order == "reversed":
            chunks.reverse()
        elif value.order != "asc":
            raise ValueError(f"unknown chunk order {value.order!r}")
        entries.extend(chunks)
    return entries
