"""One database page: the page header, the entries and the tag array at the end of the page."""

from __future__ import annotations

import struct
from collections.abc import Sequence

from .checksum import stamp_page
from .constants import LARGE_PAGE_HEADER, SMALL_PAGE_HEADER

_COMMON_HEADER = struct.Struct("<QQIIIHHHHI")
TAG = struct.Struct("<HH")

OFFSET_PREVIOUS_PAGE = 16
OFFSET_NEXT_PAGE = 20
OFFSET_FATHER_OBJECT_ID = 24
OFFSET_AVAILABLE_DATA_SIZE = 28
OFFSET_FIRST_AVAILABLE_DATA = 32
OFFSET_TAG_COUNT = 34
OFFSET_PAGE_FLAGS = 36
OFFSET_LARGE_PAGE_NUMBER = 64

SMALL_FIELD_MASK = 0x1FFF
LARGE_FIELD_MASK = 0x7FFF

Tag = tuple[int, bytes]


def encode_tag(size: int, offset: int, flags: int, large: bool) -> tuple[int, int]:
    """The size word and offset word of a tag. On large pages the flags are not part of the tag."""
    if large:
        if size > LARGE_FIELD_MASK or offset > LARGE_FIELD_MASK:
            raise ValueError(f"tag size {size} / offset {offset} do not fit 15 bits")
        return size, offset
    if size > SMALL_FIELD_MASK or offset > SMALL_FIELD_MASK:
        raise ValueError(f"tag size {size} / offset {offset} do not fit 13 bits")
    return size, offset | ((flags & 0x7) << 13)


def build_page(
    page_size: int,
    large: bool,
    flags: int,
    tags: Sequence[Tag],
    prev: int = 0,
    next: int = 0,
    pgno: int = 0,
    *,
    objid: int = 0,
    dbtime: int = 0,
    header_size: int | None = None,
    available: int | None = None,
    tag_count: int | None = None,
    checksum: bool = True,
) -> bytes:
    """Lay out one page and return its bytes.

    `tags` is a list of (tag flags, entry bytes); the first element is tag 0, stored raw. For tags 1 and up
    on large pages the 3 flag bits are stored in the top bits of the entry's second byte; on small pages
    they are the top 3 bits of the tag's offset word. Entries are stored back to back from the start of
    the data area in tag order. `available` and `tag_count` override the computed header fields.
    """
    page = bytearray(page_size)
    write_page(
        page,
        0,
        page_size,
        large,
        flags,
        tags,
        prev,
        next,
        pgno,
        objid=objid,
        dbtime=dbtime,
        header_size=header_size,
        available=available,
        tag_count=tag_count,
        checksum=checksum,
    )
    return bytes(page)


def write_page(
    buffer: bytearray,
    base: int,
    page_size: int,
    large: bool,
    flags: int,
    tags: Sequence[Tag],
    prev: int = 0,
    next: int = 0,
    pgno: int = 0,
    *,
    objid: int = 0,
    dbtime: int = 0,
    header_size: int | None = None,
    available: int | None = None,
    tag_count: int | None = None,
    checksum: bool = True,
) -> None:
    """Lay out one page into buffer[base : base + page_size], which must be zero-filled."""
    hsize = header_size if header_size is not None else (LARGE_PAGE_HEADER if large else SMALL_PAGE_HEADER)
    data_total = sum(len(data) for _, data in tags)
    free = page_size - hsize - data_total - 4 * len(tags)
    if free < 0:
        raise ValueError(f"{len(tags)} tags of {data_total} bytes do not fit a {page_size}-byte page")
    offset = 0
    tag_base = base + page_size
    for index, (tag_flags, data) in enumerate(tags):
        start = base + hsize + offset
        buffer[start : start + len(data)] = data
        if large and index > 0 and tag_flags and len(data) >= 2:
            buffer[start + 1] = (buffer[start + 1] & 0x1F) | ((tag_flags & 0x7) << 5)
        size_word, offset_word = encode_tag(len(data), offset, tag_flags, large)
        TAG.pack_into(buffer, tag_base - 4 * (index + 1), size_word, offset_word)
        offset += len(data)
    _COMMON_HEADER.pack_into(
        buffer,
        base,
        0,
        dbtime,
        prev,
        next,
        objid,
        free if available is None else available,
        0,
        data_total,
        len(tags) if tag_count is None else tag_count,
        flags,
    )
    if hsize >= LARGE_PAGE_HEADER:
        struct.pack_into("<Q", buffer, base + OFFSET_LARGE_PAGE_NUMBER, pgno)
    if checksum:
        with memoryview(buffer)[base : base + page_size] as view:
            stamp_page(view, pgno)


def fix_page_checksum(page: bytearray, pgno: int) -> None:
    """Recompute the checksum(s) of a page held in a bytearray."""
    stamp_page(page, pgno)
