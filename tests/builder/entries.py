"""Leaf and branch entries (nodes) of a B-tree page, with or without a common key prefix."""

from __future__ import annotations

import struct

from .constants import TAG_COMMON

_U16 = struct.Struct("<H")
_U16_U16 = struct.Struct("<HH")
_U32 = struct.Struct("<I")


def _key_part(key: bytes, common: int | None) -> bytes:
    if common is None:
        return _U16.pack(len(key)) + key
    return _U16_U16.pack(common, len(key)) + key


def leaf_entry(key: bytes, data: bytes, common: int | None = None) -> bytes:
    """[u16 common key size] u16 local key size, the local key bytes, then the data.

    With `common` given, `key` is only the local part (the bytes after the common prefix).
    """
    return _key_part(key, common) + data


def branch_entry(key: bytes, child: int, common: int | None = None) -> bytes:
    """[u16 common key size] u16 local key size, the local key bytes, then the u32 child page number."""
    return _key_part(key, common) + _U32.pack(child)


def common_prefix_length(a: bytes, b: bytes) -> int:
    """Length of the longest common prefix of two byte strings."""
    limit = min(len(a), len(b))
    if a[:limit] == b[:limit]:
        return limit
    low, high = 0, limit
    while low < high:  # a[:low] == b[:low] holds; a[:high] != b[:high]
        middle = (low + high + 1) // 2
        if a[:middle] == b[:middle]:
            low = middle
        else:
            high = middle - 1
    return low


def compress_key(key: bytes, prefix: bytes, min_common: int = 3) -> tuple[int, int | None, bytes]:
    """Split `key` against the page prefix: (tag flags, common size or None, local key)."""
    common = common_prefix_length(key, prefix)
    if common >= min_common:
        return TAG_COMMON, common, key[common:]
    return 0, None, key
