"""Helpers that damage a built file. Every function takes the file bytes and returns new bytes."""

from __future__ import annotations

import struct
from typing import Any

from .header import fix_header_checksum
from .page import (
    OFFSET_AVAILABLE_DATA_SIZE,
    OFFSET_FATHER_OBJECT_ID,
    OFFSET_FIRST_AVAILABLE_DATA,
    OFFSET_NEXT_PAGE,
    OFFSET_PAGE_FLAGS,
    OFFSET_PREVIOUS_PAGE,
    OFFSET_TAG_COUNT,
    Tag,
    build_page,
    fix_page_checksum,
)
from .readback import PageView, read_page

Data = bytes | bytearray

PAGE_FIELDS: dict[str, tuple[int, str]] = {
    "prev_page": (OFFSET_PREVIOUS_PAGE, "<I"),
    "next_page": (OFFSET_NEXT_PAGE, "<I"),
    "objid": (OFFSET_FATHER_OBJECT_ID, "<I"),
    "available": (OFFSET_AVAILABLE_DATA_SIZE, "<H"),
    "first_available": (OFFSET_FIRST_AVAILABLE_DATA, "<H"),
    "tag_count": (OFFSET_TAG_COUNT, "<H"),
    "flags": (OFFSET_PAGE_FLAGS, "<I"),
}


def page_offset(page_size: int, pgno: int) -> int:
    """File offset of page `pgno`: (pgno + 1) * page_size."""
    return (pgno + 1) * page_size


def get_page(data: Data, page_size: int, pgno: int) -> bytes:
    start = page_offset(page_size, pgno)
    return bytes(data[start : start + page_size])


def truncate(data: Data, n: int) -> bytes:
    """The first n bytes of the file."""
    return bytes(data[:n])


def append(data: Data, extra: bytes) -> bytes:
    return bytes(data) + extra


def patch(data: Data, offset: int, new_bytes: bytes) -> bytes:
    """Overwrite bytes at a file offset (the file grows if the patch runs past its end)."""
    out = bytearray(data)
    if offset + len(new_bytes) > len(out):
        out.extend(bytes(offset + len(new_bytes) - len(out)))
    out[offset : offset + len(new_bytes)] = new_bytes
    return bytes(out)


def overwrite_page(data: Data, page_size: int, pgno: int, new_bytes: bytes, *, pad: bool = True) -> bytes:
    """Replace page `pgno`; shorter content is zero-padded to a whole page unless pad=False."""
    if len(new_bytes) > page_size:
        raise ValueError("new page content longer than a page")
    content = new_bytes + bytes(page_size - len(new_bytes)) if pad else new_bytes
    return patch(data, page_offset(page_size, pgno), content)


def fill_page(data: Data, page_size: int, pgno: int, byte: int = 0xFF) -> bytes:
    """Fill a whole page with one byte value (garbage page)."""
    return overwrite_page(data, page_size, pgno, bytes([byte]) * page_size)


def set_page_field(
    data: Data, page_size: int, pgno: int, field: str, value: int, *, fix_checksum: bool = False
) -> bytes:
    """Set a page header field: prev_page, next_page, objid, available, first_available, tag_count, flags."""
    offset, fmt = PAGE_FIELDS[field]
    out = bytearray(data)
    base = page_offset(page_size, pgno)
    struct.pack_into(fmt, out, base + offset, value)
    if fix_checksum:
        page = out[base : base + page_size]
        fix_page_checksum(page, pgno)
        out[base : base + page_size] = page
    return bytes(out)


def set_next_page(data: Data, page_size: int, pgno: int, value: int) -> bytes:
    return set_page_field(data, page_size, pgno, "next_page", value)


def set_page_flags(data: Data, page_size: int, pgno: int, value: int) -> bytes:
    return set_page_field(data, page_size, pgno, "flags", value)


def set_tag_count(data: Data, page_size: int, pgno: int, value: int) -> bytes:
    return set_page_field(data, page_size, pgno, "tag_count", value)


def tag_position(page_size: int, pgno: int, tag: int) -> int:
    """File offset of the 4 bytes of tag `tag` of page `pgno`."""
    return page_offset(page_size, pgno) + page_size - 4 * (tag + 1)


def read_tag(data: Data, page_size: int, pgno: int, tag: int, *, large: bool = False) -> tuple[int, int, int]:
    """(size, offset, flags) of a tag; flags are 0 on large pages (they live in the entry)."""
    size_word, offset_word = struct.unpack_from("<HH", data, tag_position(page_size, pgno, tag))
    if large:
        return size_word & 0x7FFF, offset_word & 0x7FFF, 0
    return size_word & 0x1FFF, offset_word & 0x1FFF, offset_word >> 13


def set_tag(
    data: Data,
    page_size: int,
    pgno: int,
    tag: int,
    *,
    size: int | None = None,
    offset: int | None = None,
    flags: int | None = None,
    large: bool = False,
    size_word: int | None = None,
    offset_word: int | None = None,
) -> bytes:
    """Rewrite a tag's size, offset and (small pages) flags, or its raw words."""
    old_size, old_offset, old_flags = read_tag(data, page_size, pgno, tag, large=large)
    new_size = old_size if size is None else size
    new_offset = old_offset if offset is None else offset
    new_flags = old_flags if flags is None else flags
    words_size = new_size if size_word is None else size_word
    if offset_word is not None:
        words_offset = offset_word
    elif large:
        words_offset = new_offset
    else:
        words_offset = (new_offset & 0x1FFF) | ((new_flags & 7) << 13)
    return patch(data, tag_position(page_size, pgno, tag), struct.pack("<HH", words_size, words_offset))


def entry_position(
    data: Data, page_size: int, pgno: int, tag: int, *, large: bool = False, header_size: int | None = None
) -> tuple[int, int]:
    """(file offset, size) of the entry of a tag. The header is 80 bytes on large pages, else 40."""
    size, offset, _ = read_tag(data, page_size, pgno, tag, large=large)
    hsize = header_size if header_size is not None else (80 if large else 40)
    return page_offset(page_size, pgno) + hsize + offset, size


def set_child(data: Data, page_size: int, pgno: int, tag: int, child: int, *, large: bool = False) -> bytes:
    """Point the branch entry of a tag at another child page (its last 4 bytes)."""
    start, size = entry_position(data, page_size, pgno, tag, large=large)
    return patch(data, start + size - 4, struct.pack("<I", child))


def set_entry_bytes(
    data: Data, page_size: int, pgno: int, tag: int, new_bytes: bytes, at: int = 0, *, large: bool = False
) -> bytes:
    """Overwrite bytes inside the entry of a tag, starting `at` bytes into the entry."""
    start, _ = entry_position(data, page_size, pgno, tag, large=large)
    return patch(data, start + at, new_bytes)


def set_header_field(data: Data, offset: int, fmt: str, value: int, *, fix_checksum: bool = True) -> bytes:
    """Set a header field (in block 0 only) and, by default, recompute the header checksum."""
    out = bytearray(data)
    struct.pack_into(fmt, out, offset, value)
    if fix_checksum and len(out) >= 4096:
        block = out[:4096]
        fix_header_checksum(block)
        out[:4096] = block
    return bytes(out)


def set_page_size(data: Data, value: int) -> bytes:
    return set_header_field(data, 236, "<I", value)


def relayout_page(
    data: Data,
    page_size: int,
    pgno: int,
    *,
    large: bool,
    reserved: list[bytes] = (),  # type: ignore[assignment]
    stale: list[tuple[int, bytes]] = (),  # type: ignore[assignment]
    nibble: int | None = None,
) -> bytes:
    """Lay page `pgno` out again as a newer engine does: tag 0, `reserved` tags, the page's entries, then
    `stale` entries in tag slots past the count. The tag state word holds the live tag count in its low 12
    bits and the reserved-tag count in its upper 4 (`nibble`; by default 1 + len(reserved) when there are
    reserved tags, else 0)."""
    header_size = 80 if large else 40
    view = read_page(get_page(data, page_size, pgno), large, header_size)
    tags = [view.tags[0], *((0, r) for r in reserved), *view.tags[1:]]
    if nibble is None:
        nibble = 1 + len(reserved) if reserved else 0
    page = _rebuilt(view, page_size, large, pgno, [*tags, *stale], tag_count=(nibble << 12) | len(tags))
    return overwrite_page(data, page_size, pgno, page)


def _rebuilt(view: PageView, page_size: int, large: bool, pgno: int, tags: list[Tag], **fields: Any) -> bytes:
    """A page with the header fields of `view` and the given tags (header fields overridden by `fields`)."""
    header_size = 80 if large else 40
    return build_page(
        page_size,
        large,
        view.flags,
        tags,
        view.prev,
        view.next,
        pgno,
        objid=view.objid,
        dbtime=view.dbtime,
        header_size=header_size,
        **fields,
    )


def set_entry_flags(data: Data, page_size: int, pgno: int, tag: int, flags: int, *, large: bool) -> bytes:
    """Set the tag flags of an entry: the offset word's top bits on small pages, the entry's second byte's on
    large pages (0x2 deleted, 0x4 common key)."""
    if not large:
        return set_tag(data, page_size, pgno, tag, flags=flags)
    start, _ = entry_position(data, page_size, pgno, tag, large=True)
    return patch(data, start + 1, bytes([(data[start + 1] & 0x1F) | (flags << 5)]))


def compact_page(
    data: Data, page_size: int, pgno: int, remove: list[int], *, large: bool, keep_slots: bool
) -> bytes:
    """Remove the entries of tags `remove` the way a page reorganisation does: the kept entries are laid out
    again from the start of the data area and the removed entries' bytes follow them in the free space. With
    keep_slots their tags stay behind as stale slots past the count; otherwise those slots are zeroed."""
    header_size = 80 if large else 40
    view = read_page(get_page(data, page_size, pgno), large, header_size)
    kept = [t for i, t in enumerate(view.tags) if i not in remove]
    gone = [t for i, t in enumerate(view.tags) if i in remove]
    available = page_size - header_size - sum(len(d) + 4 for _, d in kept)
    page = bytearray(
        _rebuilt(
            view,
            page_size,
            large,
            pgno,
            [*kept, *gone],
            available=available,
            tag_count=len(kept),
            checksum=False,
        )
    )
    if not keep_slots:
        page[page_size - 4 * len(view.tags) : page_size - 4 * len(kept)] = bytes(4 * len(gone))
    fix_page_checksum(page, pgno)
    return overwrite_page(data, page_size, pgno, bytes(page))


def free_leaf(data: Data, page_size: int, pgno: int, tree_pages: list[int], *, large: bool) -> bytes:
    """Free leaf page `pgno` as the engine does: its neighbours in the chain skip it and its parent (among
    `tree_pages`) loses the entry that points at it; the page itself keeps its bytes and its object id."""
    header_size = 80 if large else 40
    view = read_page(get_page(data, page_size, pgno), large, header_size)
    out = bytes(data)
    if view.prev:
        out = set_page_field(out, page_size, view.prev, "next_page", view.next, fix_checksum=True)
    if view.next:
        out = set_page_field(out, page_size, view.next, "prev_page", view.prev, fix_checksum=True)
    for parent in tree_pages:
        pview = read_page(get_page(out, page_size, parent), large, header_size)
        children = [
            i
            for i, (_, d) in enumerate(pview.tags)
            if i and len(d) >= 4 and d[-4:] == struct.pack("<I", pgno)
        ]
        if children and not pview.flags & 0x2:
            tags = [t for i, t in enumerate(pview.tags) if i not in children]
            out = overwrite_page(out, page_size, parent, _rebuilt(pview, page_size, large, parent, tags))
    return out


def write_free_space(
    data: Data, page_size: int, pgno: int, blob: bytes, *, large: bool, skip: int = 0
) -> tuple[bytes, int]:
    """Write `blob` into the free space of page `pgno`, `skip` bytes past the end of its entries, cut where
    the tag array begins; returns the new bytes and the offset within the page where the blob starts."""
    header_size = 80 if large else 40
    view = read_page(get_page(data, page_size, pgno), large, header_size)
    start = header_size + view.first_available + skip
    room = max(0, page_size - 4 * view.tag_count - start)
    return patch(data, page_offset(page_size, pgno) + start, blob[:room]), start
