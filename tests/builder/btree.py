"""Lay out (key, data) entries as a B-tree: chained leaf pages and branch levels up to one root page."""

from __future__ import annotations

import random
import struct
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

from .constants import PAGE_IN_USE, PAGE_LEAF, PAGE_PARENT, PAGE_ROOT
from .entries import branch_entry, common_prefix_length, compress_key, leaf_entry
from .geometry import Geometry
from .page import Tag, write_page

# Tag 0 of a root page holds a 16-byte space header; other pages keep their key prefix there.
SPACE_HEADER_SIZE = 16
_ENTRY_OVERHEAD = 2  # u16 local key size
_TAG_SIZE = 4
_CHILD_SIZE = 4

Entry = tuple[bytes, bytes]


@dataclass
class TreeOptions:
    """How one tree is laid out.

    key_compression: "auto" (median prefix on small pages, whole-page common prefix on large pages),
    "median" (tag 0 = the page's middle key; each entry shares what it has in common with it), "lcp"
    (tag 0 = the prefix common to every key of the page) or "none". Root pages never use a prefix: their
    tag 0 is the space header.
    leaf_order: page numbering of the leaf chain: "sequential", "reversed" or "shuffled".
    """

    kind_flags: int = 0
    object_id: int = 0
    max_per_leaf: int | None = None
    fanout: int | None = None
    min_depth: int = 1
    key_compression: str = "auto"
    leaf_order: str = "sequential"
    entry_tag_flags: int = 0
    space_header: bytes | None = None
    dbtime: int = 0x100
    seed: int = 0


@dataclass
class TreeLayout:
    """Page numbers of a laid-out tree."""

    root_page: int
    leaf_pages: list[int]
    branch_pages: list[int]
    levels: list[list[int]]
    leaf_entry_counts: list[int]


@dataclass
class TreePlan:
    """The shape of a tree, independent of page numbers.

    groups[0] splits the entries into leaf pages (start, end); groups[k] splits the pages of level k - 1
    into the branch pages of level k. The last level has one page, the root.
    """

    groups: list[list[tuple[int, int]]]
    high_keys: list[list[bytes]] = field(default_factory=list)

    @property
    def page_count(self) -> int:
        return sum(len(level) for level in self.groups)


def _capacity(geometry: Geometry) -> int:
    """Bytes for entries and their tags on a page, keeping tag 0 (up to 16 bytes) free. Outside large-page
    mode tag offsets have 13 bits, so entries must end within the first 8191 bytes after the header."""
    room = geometry.data_size if geometry.large else min(geometry.data_size, 0x1FFF)
    return room - _TAG_SIZE - SPACE_HEADER_SIZE


def _split(sizes: Sequence[int], capacity: int, limit: int | None, what: str) -> list[tuple[int, int]]:
    groups: list[tuple[int, int]] = []
    start = 0
    used = 0
    count = 0
    for index, size in enumerate(sizes):
        if size > capacity:
            raise ValueError(f"{what} {index} needs {size} bytes; a page holds at most {capacity}")
        if count and (used + size > capacity or (limit is not None and count >= limit)):
            groups.append((start, index))
            start, used, count = index, 0, 0
        used += size
        count += 1
    groups.append((start, len(sizes)))
    return groups


def plan_tree(entries: Sequence[Entry], geometry: Geometry, options: TreeOptions) -> TreePlan:
    """Split the entries into leaf pages and build branch levels until a single root remains."""
    capacity = _capacity(geometry)
    sizes = [_ENTRY_OVERHEAD + len(key) + len(data) + _TAG_SIZE for key, data in entries]
    leaves = _split(sizes, capacity, options.max_per_leaf, "leaf entry") if entries else [(0, 0)]
    groups = [leaves]
    high = [[entries[end - 1][0] if end > start else b"" for start, end in leaves]]
    while len(groups[-1]) > 1 or len(groups) < options.min_depth:
        below = high[-1]
        keys = below[:-1] + [b""]
        branch_sizes = [_ENTRY_OVERHEAD + len(key) + _CHILD_SIZE + _TAG_SIZE for key in keys]
        fanout = None if options.fanout is None else max(2, options.fanout)
        level = _split(branch_sizes, capacity, fanout, "branch entry")
        groups.append(level)
        high.append([below[end - 1] for _, end in level])
    return TreePlan(groups, high)


def assign_pages(plan: TreePlan, allocate: Callable[[], int], options: TreeOptions) -> TreeLayout:
    """Give every page of the plan a number: the root first, then branch pages, then the leaf chain."""
    depth = len(plan.groups)
    levels: list[list[int]] = [[] for _ in range(depth)]
    levels[-1] = [allocate()]
    for level in range(depth - 2, 0, -1):
        levels[level] = [allocate() for _ in plan.groups[level]]
    if depth > 1:
        numbers = [allocate() for _ in plan.groups[0]]
        if options.leaf_order == "reversed":
            numbers.reverse()
        elif options.leaf_order == "shuffled":
            random.Random(options.seed).shuffle(numbers)
        elif options.leaf_order != "sequential":
            raise ValueError(f"unknown leaf order {options.leaf_order!r}")
        levels[0] = numbers
    counts = [end - start for start, end in plan.groups[0]]
    branches = [pgno for level in reversed(levels[1:]) for pgno in level]  # root first, then down
    return TreeLayout(levels[-1][0], levels[0], branches, levels, counts)


def space_header(page_count: int, parent_fdp: int = 1, flags: int = 0, pgno_owned_extents: int = 0) -> bytes:
    """Tag 0 of a root page: initial page count, father tree's root page, flags, owned-extent tree page.

    The page count is at least 20, as in the engine's own catalog root: read as an entry, the header then
    has a key size that swallows the rest of it, so it never looks like a record or a child pointer.
    """
    return struct.pack("<IIII", max(page_count, 20), parent_fdp, flags, pgno_owned_extents)


def _entry(leaf: bool, key: bytes, value: bytes | int, common: int | None = None) -> bytes:
    """A leaf entry (value = data) or a branch entry (value = child page number)."""
    if leaf:
        assert isinstance(value, bytes)
        return leaf_entry(key, value, common)
    assert isinstance(value, int)
    return branch_entry(key, value, common)


def _compressed_tags(
    keyed: Sequence[tuple[bytes, bytes | int]],
    geometry: Geometry,
    options: TreeOptions,
    is_root: bool,
    leaf: bool,
) -> tuple[bytes, list[Tag]]:
    """Tag 0 (prefix) and the entry tags of a non-root page, with key compression where it saves bytes."""

    def plain() -> list[Tag]:
        return [(options.entry_tag_flags, _entry(leaf, key, value)) for key, value in keyed]

    mode = options.key_compression
    if mode == "auto":
        mode = "lcp" if geometry.large else "median"
    if is_root or mode == "none" or not keyed:
        return b"", plain()
    keys = [key for key, _ in keyed if key]
    if not keys:
        return b"", plain()
    if mode == "median":
        prefix = keys[len(keys) // 2]
    elif mode == "lcp":
        first, last = min(keys), max(keys)
        prefix = first[: common_prefix_length(first, last)]
    else:
        raise ValueError(f"unknown key compression {options.key_compression!r}")
    if not prefix:
        return b"", plain()
    tags: list[Tag] = []
    saved = 0
    for key, value in keyed:
        flags, common, local = compress_key(key, prefix)
        if common is not None:
            saved += common - 2
        tags.append((flags | options.entry_tag_flags, _entry(leaf, local, value, common)))
    if saved <= len(prefix):
        return b"", plain()
    return prefix, tags


def render_tree(
    buffer: bytearray,
    geometry: Geometry,
    plan: TreePlan,
    layout: TreeLayout,
    entries: Sequence[Entry],
    options: TreeOptions,
    page_base: Callable[[int], int] | None = None,
) -> None:
    """Write every page of the tree into `buffer` (a whole file image, or whatever `page_base` maps to)."""
    base_of = page_base or geometry.page_offset
    depth = len(plan.groups)
    header = options.space_header if options.space_header is not None else space_header(plan.page_count)
    for level in range(depth):
        pages = layout.levels[level]
        leaf = level == 0
        for index, (start, end) in enumerate(plan.groups[level]):
            pgno = pages[index]
            is_root = level == depth - 1
            if leaf:
                keyed: list[tuple[bytes, bytes | int]] = list(entries[start:end])
            else:
                below_pages = layout.levels[level - 1]
                below_high = plan.high_keys[level - 1]
                last = len(below_pages) - 1
                keyed = [(below_high[i] if i < last else b"", below_pages[i]) for i in range(start, end)]
            prefix, tags = _compressed_tags(keyed, geometry, options, is_root, leaf)
            tag0 = header if is_root else prefix
            flags = PAGE_IN_USE | options.kind_flags | (PAGE_LEAF if leaf else PAGE_PARENT)
            if is_root:
                flags |= PAGE_ROOT
            prev = pages[index - 1] if index > 0 else 0
            nxt = pages[index + 1] if index + 1 < len(pages) else 0
            write_page(
                buffer,
                base_of(pgno),
                geometry.page_size,
                geometry.large,
                flags,
                [(0, tag0), *tags],
                prev,
                nxt,
                pgno,
                objid=options.object_id,
                dbtime=options.dbtime,
                header_size=geometry.header_size,
            )
