"""The database file header (block 0) and its shadow copy (block 1)."""

from __future__ import annotations

import struct
from collections.abc import Mapping

from .checksum import header_checksum
from .constants import DB_STATE_CLEAN_SHUTDOWN, FORMAT_REVISION, FORMAT_VERSION, SIGNATURE

OFFSET_CHECKSUM = 0
OFFSET_SIGNATURE = 4
OFFSET_FORMAT_VERSION = 8
OFFSET_FILE_TYPE = 12
OFFSET_DATABASE_TIME = 16
OFFSET_DB_STATE = 52
OFFSET_OS_VERSION = 216
OFFSET_FORMAT_REVISION = 232
OFFSET_PAGE_SIZE = 236
OFFSET_CREATION_VERSION = 340
OFFSET_CREATION_REVISION = 344

HEADER_BLOCK_MIN = 4096


def build_header(
    page_size: int,
    version: int = FORMAT_VERSION,
    revision: int = FORMAT_REVISION,
    *,
    file_type: int = 0,
    db_state: int = DB_STATE_CLEAN_SHUTDOWN,
    database_time: int = 0x1000,
    creation_version: int | None = None,
    creation_revision: int | None = None,
    os_version: tuple[int, int, int, int] = (10, 0, 19041, 0),
    signature: int = SIGNATURE,
    block_size: int | None = None,
    patches: Mapping[int, bytes] | None = None,
    checksum: int | None = None,
) -> bytes:
    """One header block: `block_size` bytes (the page size by default, at least 4096).

    `patches` writes raw bytes at given offsets before the checksum is computed; `checksum` stores a
    given value instead of the computed one.
    """
    size = block_size if block_size is not None else max(page_size, HEADER_BLOCK_MIN)
    block = bytearray(max(size, HEADER_BLOCK_MIN))
    struct.pack_into("<I", block, OFFSET_SIGNATURE, signature)
    struct.pack_into("<I", block, OFFSET_FORMAT_VERSION, version)
    struct.pack_into("<I", block, OFFSET_FILE_TYPE, file_type)
    struct.pack_into("<Q", block, OFFSET_DATABASE_TIME, database_time)
    struct.pack_into("<I", block, OFFSET_DB_STATE, db_state)
    struct.pack_into("<4I", block, OFFSET_OS_VERSION, *os_version)
    struct.pack_into("<I", block, OFFSET_FORMAT_REVISION, revision)
    struct.pack_into("<I", block, OFFSET_PAGE_SIZE, page_size)
    struct.pack_into(
        "<I", block, OFFSET_CREATION_VERSION, version if creation_version is None else creation_version
    )
    struct.pack_into(
        "<I", block, OFFSET_CREATION_REVISION, revision if creation_revision is None else creation_revision
    )
    for offset, raw in (patches or {}).items():
        block[offset : offset + len(raw)] = raw
    value = header_checksum(block) if checksum is None else checksum
    struct.pack_into("<I", block, OFFSET_CHECKSUM, value)
    return bytes(block[:size])


def fix_header_checksum(block: bytearray) -> None:
    """Recompute the checksum of a header block in place."""
    struct.pack_into("<I", block, OFFSET_CHECKSUM, header_checksum(block))
