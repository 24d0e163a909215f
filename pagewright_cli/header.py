"""The few fields of the database file header that `pagewright info` shows."""

from __future__ import annotations

import struct
from dataclasses import dataclass

SIGNATURE = 0x89ABCDEF
_HEADER_BYTES = 240  # everything up to and including the page size field

DATABASE_STATES = {
    1: "just created",
    2: "dirty shutdown",
    3: "clean shutdown",
    4: "being converted",
    5: "force detach",
}
FILE_TYPES = {0: "database", 1: "streaming file"}


@dataclass(frozen=True)
class Header:
    signature: int
    format_version: int
    file_type: int
    state: int
    format_revision: int
    page_size: int

    @property
    def state_name(self) -> str:
        return DATABASE_STATES.get(self.state, "unknown")

    @property
    def file_type_name(self) -> str:
        return FILE_TYPES.get(self.file_type, "unknown")


def read_header(path: str, offset: int = 0) -> Header:
    """Read the header fields at their fixed offsets (little-endian u32 each) of the header block at `offset`
    (0: the primary; the page size: its shadow copy).

    Raises ValueError when the file is too short to hold them.
    """
    with open(path, "rb") as handle:
        handle.seek(offset)
        data = handle.read(_HEADER_BYTES)
    if len(data) < _HEADER_BYTES:
        raise ValueError(f"{path}: file too short for a database header ({len(data)} bytes)")

    def u32(offset: int) -> int:
        value: int = struct.unpack_from("<I", data, offset)[0]
        return value

    return Header(
        signature=u32(4),
        format_version=u32(8),
        file_type=u32(12),
        state=u32(52),
        format_revision=u32(232),
        page_size=u32(236),
    )
