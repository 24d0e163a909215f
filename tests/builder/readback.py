"""A tiny decoder of the builder's own output, used only by the builder's self-checks."""

from __future__ import annotations

import struct
from dataclasses import dataclass

from .constants import TAG_COMMON

_COMMON_HEADER = struct.Struct("<QQIIIHHHHI")


@dataclass
class PageView:
    checksum: int
    dbtime: int
    prev: int
    next: int
    objid: int
    available: int
    uncommitted: int
    first_available: int
    tag_count: int
    flags: int
    tags: list[tuple[int, bytes]]


def read_page(page: bytes, large: bool, header_size: int = 40) -> PageView:
    """Header fields and tags (flags, entry bytes as stored; on large pages flags from the entry)."""
    fields = _COMMON_HEADER.unpack_from(page, 0)
    count = fields[8]
    mask = 0x7FFF if large else 0x1FFF
    tags: list[tuple[int, bytes]] = []
    for index in range(count):
        size_word, offset_word = struct.unpack_from("<HH", page, len(page) - 4 * (index + 1))
        start = header_size + (offset_word & mask)
        data = page[start : start + (size_word & mask)]
        if large:
            flags = data[1] >> 5 if index > 0 and len(data) >= 2 else 0
            if index > 0 and len(data) >= 2:
                data = data[:1] + bytes([data[1] & 0x1F]) + data[2:]
        else:
            flags = offset_word >> 13
        tags.append((flags, data))
    checksum, dbtime, prev, nxt, objid, available, uncommitted, first_available, _, flags = fields
    return PageView(
        checksum, dbtime, prev, nxt, objid, available, uncommitted, first_available, count, flags, tags
    )


def split_entry(flags: int, data: bytes, prefix: bytes = b"") -> tuple[bytes, bytes]:
    """(full key, rest) of a leaf or branch entry; the common part of the key comes from `prefix`."""
    position = 0
    common = 0
    if flags & TAG_COMMON:
        (common,) = struct.unpack_from("<H", data, 0)
        position = 2
    (local,) = struct.unpack_from("<H", data, position)
    local &= 0x7FFF
    key_start = position + 2
    return prefix[:common] + data[key_start : key_start + local], data[key_start + local :]
