"""Damaged databases: thousands of deterministic mutations of real and generated files.

Every mutated file goes through every public operation (open, list, schema, read, export one and all
tables, carve every scope) in a worker subprocess (tests/malformed_worker.py), many files per worker. A file
may only fail with the documented OSError / ValueError texts; a crash (signal), a hang, an undocumented
exception, inconsistent results or a file written outside the export directory fails the test, naming the
file, its base, the mutation and the seed. Failing files are kept under the pytest temporary directory with
a command that reproduces them.
"""

from __future__ import annotations

import os
import random
import selectors
import shutil
import struct
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path

import pytest
from builder import Column, Compressed, DatabaseBuilder, LongValue, MultiValue, Tagged, damage

WORKER = Path(__file__).resolve().parent / "malformed_worker.py"
FILE_TIMEOUT = 20.0  # seconds without progress before a worker counts as hung on its current file
WORKERS = 2

SIGNATURE_OFFSET, VERSION_OFFSET, REVISION_OFFSET, PAGE_SIZE_OFFSET = 4, 8, 232, 236
HEADER_BYTES = 660

FLAG_ROOT, FLAG_LEAF, FLAG_PARENT = 0x1, 0x2, 0x4
FLAG_SPACE, FLAG_INDEX, FLAG_LV = 0x20, 0x40, 0x80
CATALOG_OBJECT = 2


# Page map of a file: which pages are leaves, branches, long-value pages, and where their links are ----------


@dataclass
class PageInfo:
    pgno: int
    flags: int
    objid: int
    next: int
    prev: int
    tag_count: int
    tags: list[tuple[int, int, int]]  # (offset within the page, size, flags) of each in-page tag

    @property
    def leaf(self) -> bool:
        return bool(self.flags & FLAG_LEAF)


@dataclass
class FileMap:
    page_size: int
    large: bool
    header_size: int
    total_pages: int
    pages: dict[int, PageInfo] = field(default_factory=dict)

    def offset(self, pgno: int) -> int:
        return (pgno + 1) * self.page_size

    def select(self, test: Callable[[PageInfo], bool]) -> list[PageInfo]:
        return [p for p in self.pages.values() if test(p)]

    @property
    def catalog(self) -> list[PageInfo]:
        return self.select(lambda p: p.objid == CATALOG_OBJECT and not p.flags & FLAG_SPACE)

    @property
    def data_leaves(self) -> list[PageInfo]:
        return self.select(
            lambda p: (
                p.leaf and p.objid > CATALOG_OBJECT and not p.flags & (FLAG_SPACE | FLAG_INDEX | FLAG_LV)
            )
        )

    @property
    def branches(self) -> list[PageInfo]:
        return self.select(lambda p: not p.leaf and p.flags & FLAG_PARENT and len(p.tags) > 1)

    @property
    def lv_leaves(self) -> list[PageInfo]:
        return self.select(lambda p: p.leaf and p.flags & FLAG_LV)


def map_file(data: bytes, page_size: int, large: bool, header_size: int) -> FileMap:
    total = len(data) // page_size - 2
    fmap = FileMap(page_size, large, header_size, total)
    mask = 0x7FFF if large else 0x1FFF
    for pgno in range(1, total + 1):
        base = (pgno + 1) * page_size
        _, _, prev, nxt, objid, _, _, _, count, flags = struct.unpack_from("<QQIIIHHHHI", data, base)
        if flags == 0 or count == 0 or count * 4 > page_size - header_size:
            continue
        tags = []
        for index in range(count):
            size_word, offset_word = struct.unpack_from("<HH", data, base + page_size - 4 * (index + 1))
            start, size = header_size + (offset_word & mask), size_word & mask
            if start + size <= page_size - 4 * count:
                if large:
                    tag_flags = data[base + start + 1] >> 5 if index and size >= 2 else 0
                else:
                    tag_flags = offset_word >> 13
                tags.append((start, size, tag_flags))
        fmap.pages[pgno] = PageInfo(pgno, flags, objid, nxt, prev, count, tags)
    return fmap


# Base files -------------------------------------------------------------------------------------------------


def add_mixed_table(db: DatabaseBuilder, name: str, rows: int, content_seed: int, **options) -> None:
    """A table with fixed, variable, tagged, multi-valued, compressed and long values, in a deep tree."""
    columns = [
        Column(1, "Id", 4, flags=1),
        Column(2, "Flag", 1),
        Column(3, "Score", 7),
        Column(4, "When", 8),
        Column(5, "Guid", 16),
        Column(6, "Big", 15),
        Column(128, "Name", 10),
        Column(129, "Wide", 10, codepage=1200),
        Column(130, "Raw", 9),
        Column(256, "Note", 12, codepage=1200),
        Column(257, "Blob", 11),
        Column(258, "Packed", 12, flags=0x1000),
        Column(259, "Many", 9, flags=0x8),
        Column(260, "Short", 10),
    ]
    table = db.add_table(name, columns=columns, **options)
    rng = random.Random(content_seed)
    words = ["Microsoft", "Windows", "explorer.exe", "svchost", "C:\\Users\\Public", "network", "resource"]
    for i in range(rows):
        text = " ".join(rng.choice(words) for _ in range(rng.randint(1, 6)))
        row = {
            "Id": i + 1,
            "Flag": i % 2 == 0,
            "Score": i * 1.5,
            "When": 0x01D0000000000000 + i,
            "Guid": bytes(range(i % 200, i % 200 + 16)),
            "Big": -i,
            "Name": text,
            "Wide": text[::-1],
            "Raw": bytes([i % 256]) * (i % 9),
            "Short": Tagged(text.encode("cp1252")),
        }
        kind = i % 6
        if kind == 0:
            row["Note"] = LongValue(text * 40, chunk_size=700)
        elif kind == 1:
            row["Blob"] = LongValue(
                bytes(rng.randrange(256) for _ in range(1500)), order="reversed", chunk_size=512
            )
        elif kind == 2:
            row["Note"] = LongValue(text * 30, compress="xpress", chunk_size=900)
        elif kind == 3:
            row["Packed"] = Compressed(text * 3, scheme="7bit_ascii")
        elif kind == 4:
            row["Packed"] = Compressed(text * 4, scheme="xpress")
            row["Note"] = Compressed(text, scheme="7bit_unicode")
        else:
            row["Many"] = MultiValue([text.encode(), b"second", LongValue(b"m" * 1200)])
        table.add_row(row)


def build_4k() -> DatabaseBuilder:
    db = DatabaseBuilder(page_size=4096)
    add_mixed_table(db, "mixed", 48, 1, rows_per_page=3, fanout=3)
    add_mixed_table(db, "shuffled", 24, 2, rows_per_page=2, fanout=2, leaf_order="shuffled", seed=5)
    return db


def build_32k() -> DatabaseBuilder:
    db = DatabaseBuilder(page_size=32768)
    add_mixed_table(db, "mixed", 30, 3, rows_per_page=4, fanout=3, lv_rows_per_page=6)
    add_mixed_table(db, "reversed", 12, 4, rows_per_page=2, fanout=2, leaf_order="reversed")
    return db


def build_8k_deep_catalog() -> DatabaseBuilder:
    db = DatabaseBuilder(page_size=8192, catalog_rows_per_page=4, catalog_fanout=3)
    for index in range(6):
        add_mixed_table(db, f"t{index}", 8, 10 + index, rows_per_page=3, fanout=2)
    return db


def build_16k() -> DatabaseBuilder:
    db = DatabaseBuilder(page_size=16384)
    add_mixed_table(db, "mixed", 36, 7, rows_per_page=3, fanout=2, lv_rows_per_page=2, min_depth=3)
    db.add_raw_page(("leftover text " * 300).encode("utf-16-le")[:16384])
    return db


def build_odd_values() -> DatabaseBuilder:
    """Records whose values are well placed but odd inside: garbage behind every tagged-value flag, compressed
    streams that lie about their size, long values with wrong total sizes, dangling or missing chunks."""
    db = DatabaseBuilder(page_size=8192)
    columns = [
        Column(1, "Id", 4, flags=1),
        Column(128, "Name", 10),
        Column(256, "Text", 10),
        Column(257, "Wide", 12, codepage=1200),
        Column(258, "Bin", 9),
        Column(259, "LongBin", 11),
        Column(260, "Many", 10, flags=0x8),
        Column(261, "Packed", 12, flags=0x1000),
    ]
    table = db.add_table("odd", columns, rows_per_page=6, fanout=3)
    rng = random.Random(99)
    payloads = [
        lambda: rng.randbytes(rng.randrange(0, 40)),
        lambda: b"\x18" + struct.pack("<H", rng.choice((0, 1, 0xFFFF))) + rng.randbytes(rng.randrange(0, 60)),
        lambda: bytes([0x08 | rng.randrange(8)]) + rng.randbytes(rng.randrange(0, 30)),
        lambda: bytes([0x10 | rng.randrange(8)]) + rng.randbytes(rng.randrange(0, 30)),
        lambda: struct.pack("<I", rng.choice((0, 1, 2, 0xFFFFFFFF))),
        lambda: struct.pack("<HHH", 6, 0xFFFF, 2) + b"abc",
        lambda: struct.pack("<HH", 0, 0),
    ]
    flags = (0x00, 0x01, 0x02, 0x04, 0x05, 0x06, 0x08, 0x0A, 0x0C, 0x10, 0x18, 0x1A, 0xFF)
    for i in range(1, 121):
        row = {"Id": i, "Name": f"odd row {i}"}
        for column in ("Text", "Wide", "Bin", "LongBin", "Many"):
            if rng.random() < 0.6:
                row[column] = Tagged(rng.choice(payloads)(), flags=rng.choice(flags))
        text = f"odd long value {i} " * rng.randrange(20, 200)
        kind = i % 5
        if kind == 0:
            row["LongBin"] = LongValue(text.encode(), total_size=rng.choice((0, 1, 1 << 31, 0xFFFFFFFF)))
        elif kind == 1:
            row["Wide"] = LongValue(text, store=False)  # a reference to a long value that is not there
        elif kind == 2:
            row["Wide"] = LongValue(text, compress="xpress", chunk_size=333, order="reversed", refcount=0)
        elif kind == 3:
            row["Packed"] = Compressed(
                text[:200],
                scheme=rng.choice(("7bit_ascii", "xpress")),
                header=rng.choice((0x00, 0x0F, 0x18, 0x1F, 0x28, 0xFF)),
            )
        else:
            row["Many"] = MultiValue([b"one", LongValue(text.encode(), total_size=3), b""], form="offsets")
        table.add_row(row)
    table.add_long_value(LongValue(b"orphan long value " * 50, lv_id=5000))
    return db


BUILT: dict[str, Callable[[], DatabaseBuilder]] = {
    "built-4k": build_4k,
    "built-32k": build_32k,
    "built-8k-deep-catalog": build_8k_deep_catalog,
    "built-16k": build_16k,
    "built-odd-values": build_odd_values,
}
SAMPLES = ("SRUDB.dat", "basic.edb", "text.edb", "default.edb")


@dataclass
class Base:
    name: str
    data: bytes
    fmap: FileMap


def load_base(name: str, sample) -> Base:
    if name in BUILT:
        db = BUILT[name]()
        data = db.build()
        layout = db.layout
        return Base(name, data, map_file(data, layout.page_size, layout.large, layout.header_size))
    data = Path(sample(name)).read_bytes()
    page_size = struct.unpack_from("<I", data, PAGE_SIZE_OFFSET)[0]
    return Base(name, data, map_file(data, page_size, page_size > 8192, 80 if page_size > 8192 else 40))


# Mutations --------------------------------------------------------------------------------------------------

Mutation = tuple[str, bytes]


def pick(rng: random.Random, items: list, count: int) -> list:
    return (
        items
        if len(items) <= count
        else sorted(rng.sample(items, count), key=lambda p: getattr(p, "pgno", 0))
    )


def truncations(base: Base, rng: random.Random) -> Iterator[Mutation]:
    data, fm = base.data, base.fmap
    ps = fm.page_size
    lengths = {0, 1, 4, 8, 100, 236, 240, HEADER_BYTES - 1, HEADER_BYTES, HEADER_BYTES + 1}
    interesting = {1, 4, fm.total_pages}
    for group in (fm.catalog, fm.data_leaves, fm.branches, fm.lv_leaves):
        interesting |= {p.pgno for p in pick(rng, group, 2)}
    for block in sorted(interesting | {-1, 0}):  # -1, 0: the header block and its shadow
        start = (block + 1) * ps  # page `block` ends at start + ps
        lengths |= {start - 1, start, start + 1, start + fm.header_size, start + ps // 2}
    lengths.add(len(data) - 1)
    for length in sorted(n for n in lengths if 0 <= n < len(data)):
        yield f"truncate to {length} bytes", data[:length]


def header_fields(base: Base, rng: random.Random) -> Iterator[Mutation]:
    data = base.data
    cases = [
        (PAGE_SIZE_OFFSET, v, f"page size {v}") for v in (0, 1, 2048, 4097, 65536, 1 << 31, 0xFFFFFFFF)
    ] + [
        (SIGNATURE_OFFSET, 0x89ABCDEE, "signature"),
        (VERSION_OFFSET, 0, "format version 0"),
        (VERSION_OFFSET, 0x623, "format version 0x623"),
        (REVISION_OFFSET, 0, "revision 0"),
        (REVISION_OFFSET, 0xFFFF, "revision 0xffff"),
    ]
    for offset, value, what in cases:
        yield f"header: {what}", damage.set_header_field(data, offset, "<I", value)


def page_fields(base: Base, rng: random.Random) -> Iterator[Mutation]:
    data, fm = base.data, base.fmap
    ps, total = fm.page_size, fm.total_pages
    targets = {4: fm.pages.get(4)}
    for group in (fm.catalog, fm.data_leaves, fm.branches, fm.lv_leaves):
        for page in pick(rng, group, 1):
            targets[page.pgno] = page
    for pgno, page in sorted((k, v) for k, v in targets.items() if v is not None):
        cases = [
            ("tag_count", 0),
            ("tag_count", page.tag_count + 1),
            ("tag_count", 0xFFFF),
            ("tag_count", (ps - fm.header_size) // 4),
            ("flags", 0xFFFFFFFF),
            ("flags", page.flags ^ FLAG_LEAF),
            ("flags", page.flags ^ FLAG_LV),
            ("first_available", 0xFFFF),
            ("objid", CATALOG_OBJECT if page.objid != CATALOG_OBJECT else 99),
        ]
        for name, value in cases:
            yield f"page {pgno}: {name} = {value:#x}", damage.set_page_field(data, ps, pgno, name, value)
        if page.leaf:
            for value in sorted({0, pgno, total + 1, 0xFFFFFFFF, 4}):
                yield f"page {pgno}: next_page = {value:#x}", damage.set_next_page(data, ps, pgno, value)


def leaf_links(base: Base, rng: random.Random) -> Iterator[Mutation]:
    """Leaf chains pointed back at themselves, at their start (a cycle), past the end, at branch pages."""
    data, fm = base.data, base.fmap
    ps, total = fm.page_size, fm.total_pages
    chained = [p for p in fm.select(lambda p: p.leaf and p.next) if p.next in fm.pages]
    branches = fm.branches
    for page in pick(rng, chained, 4):
        first = page.pgno
        while fm.pages.get(first) and fm.pages[first].prev in fm.pages and fm.pages[first].prev != page.pgno:
            first = fm.pages[first].prev
            if first == page.pgno:
                break
        targets = {page.pgno: "itself", first: "the chain's first page", total + 3: "past the end"}
        if branches:
            targets.setdefault(rng.choice(branches).pgno, "a branch page")
        for target, what in targets.items():
            yield (
                f"page {page.pgno}: next_page -> {target} ({what})",
                damage.set_next_page(data, ps, page.pgno, target),
            )


def child_links(base: Base, rng: random.Random) -> Iterator[Mutation]:
    """Branch entries pointed at 0, at their own page, at an ancestor, past the end, at other trees."""
    data, fm = base.data, base.fmap
    total = fm.total_pages
    parents = {}
    for page in fm.branches:
        for start, size, _ in page.tags[1:]:
            if size >= 4:
                (child,) = struct.unpack_from("<I", data, fm.offset(page.pgno) + start + size - 4)
                parents.setdefault(child, page.pgno)
    lv = fm.lv_leaves
    for page in pick(rng, fm.branches, 5):
        entries = [(i, t) for i, t in enumerate(page.tags) if i > 0 and t[1] >= 4]
        for index, (start, size, _) in pick(rng, entries, 1):
            ancestor = parents.get(page.pgno, page.pgno)
            targets = {
                0: "0",
                page.pgno: "its own page",
                ancestor: "its parent",
                total + 1: "past the end",
                0xFFFFFFFF: "0xffffffff",
                4: "the catalog root",
                1: "the database root",
            }
            if lv:
                targets.setdefault(rng.choice(lv).pgno, "a long-value page")
            at = fm.offset(page.pgno) + start + size - 4
            for target, what in targets.items():
                yield (
                    f"page {page.pgno} tag {index}: child -> {target} ({what})",
                    damage.patch(data, at, struct.pack("<I", target)),
                )


def tag_damage(base: Base, rng: random.Random) -> Iterator[Mutation]:
    data, fm = base.data, base.fmap
    ps, mask = fm.page_size, (0x7FFF if fm.large else 0x1FFF)
    pages = [fm.pages[4]] if 4 in fm.pages else []
    for group in (fm.catalog, fm.data_leaves, fm.branches, fm.lv_leaves):
        pages += pick(rng, group, 1)
    for page in {p.pgno: p for p in pages}.values():
        for tag in sorted({0, 1, page.tag_count - 1} & set(range(page.tag_count))):
            cases = {
                "offset at the page end": dict(offset=mask),
                "size past the page": dict(size=mask),
                "data in the tag array": dict(offset=ps - fm.header_size - 8, size=64),
                "raw words 0xffff": dict(size_word=0xFFFF, offset_word=0xFFFF),
            }
            for what, change in cases.items():
                yield (
                    f"page {page.pgno} tag {tag}: {what}",
                    damage.set_tag(data, ps, page.pgno, tag, large=fm.large, **change),
                )


def page_overwrites(base: Base, rng: random.Random) -> Iterator[Mutation]:
    data, fm = base.data, base.fmap
    ps = fm.page_size
    victims = {4: "catalog root"}
    for group, what in (
        (fm.catalog, "catalog"),
        (fm.data_leaves, "data leaf"),
        (fm.branches, "branch"),
        (fm.lv_leaves, "long-value leaf"),
    ):
        for page in pick(rng, group, 1):
            victims.setdefault(page.pgno, what)
    donors = [p.pgno for p in (fm.data_leaves[:1] + fm.branches[:1] + fm.lv_leaves[:1])]
    for pgno, what in sorted(victims.items()):
        if pgno > fm.total_pages:
            continue
        yield f"{what} page {pgno}: zeros", damage.fill_page(data, ps, pgno, 0)
        yield f"{what} page {pgno}: 0xff", damage.fill_page(data, ps, pgno, 0xFF)
        garbage_seed = rng.randrange(1 << 30)
        garbage = random.Random(garbage_seed).randbytes(ps)
        yield (
            f"{what} page {pgno}: random bytes (seed {garbage_seed})",
            damage.overwrite_page(data, ps, pgno, garbage),
        )
        header_only = bytearray(damage.get_page(data, ps, pgno))
        header_only[fm.header_size :] = random.Random(garbage_seed + 1).randbytes(ps - fm.header_size)
        yield (
            f"{what} page {pgno}: random body under its header (seed {garbage_seed + 1})",
            damage.overwrite_page(data, ps, pgno, bytes(header_only)),
        )
        for donor in donors:
            if donor != pgno:
                yield (
                    f"{what} page {pgno}: copy of page {donor}",
                    damage.overwrite_page(data, ps, pgno, damage.get_page(data, ps, donor)),
                )


def long_value_roots(base: Base, rng: random.Random) -> Iterator[Mutation]:
    """Root records of long values (4-byte key, 8-byte data) given absurd sizes and reference counts."""
    data, fm = base.data, base.fmap
    done = 0
    for page in fm.lv_leaves:
        for index, (start, size, flags) in enumerate(page.tags[1:], 1):
            entry = fm.offset(page.pgno) + start
            # a root record: a 4-byte key (an optional u16 common part, u16 local size, the local key)
            # and 8 bytes of data: reference count, total size
            common, position = (struct.unpack_from("<H", data, entry)[0] & 0x1FFF, 2) if flags & 4 else (0, 0)
            local = struct.unpack_from("<H", data, entry + position)[0] & 0x1FFF
            if common + local == 4 and size == position + 2 + local + 8:
                for value in (0xFFFFFFFF, 0x7FFFFFFF, 0):
                    yield (
                        f"page {page.pgno} tag {index}: long-value size {value:#x}",
                        damage.patch(data, entry + size - 4, struct.pack("<I", value)),
                    )
                done += 1
                if done >= 3:
                    return


def record_headers(base: Base, rng: random.Random) -> Iterator[Mutation]:
    """Data records whose header (last fixed id, last variable id, variable area offset), variable offsets
    or tagged directory hold out-of-range values."""
    data, fm = base.data, base.fmap
    mask = 0x7FFF if fm.large else 0x1FFF
    records = []
    for page in fm.data_leaves:
        for index, (start, size, flags) in enumerate(page.tags[1:], 1):
            entry = fm.offset(page.pgno) + start
            position = 2 if flags & 4 else 0
            local = struct.unpack_from("<H", data, entry + position)[0] & mask
            record = entry + position + 2 + local
            if record + 4 <= entry + size:
                records.append((page.pgno, index, record, entry + size))
    cases = [
        ("header ff ff ffff", 0, b"\xff\xff\xff\xff"),
        ("last fixed id 127", 0, b"\x7f"),
        ("last variable id 255, variable offset 4", 1, b"\xff\x04\x00"),
        ("variable offset 0", 2, b"\x00\x00"),
        ("variable offset past the record", 2, b"\xf0\x7f"),
        ("last variable id 127 (none)", 1, b"\x7f"),
    ]
    for pgno, index, record, end in pick(rng, records, 4):
        for what, at, patch in cases:
            yield f"page {pgno} tag {index}: record {what}", damage.patch(data, record + at, patch)
        for what, patch in (
            ("tagged directory id/offset 0xffff", b"\xff\xff\xff\xff"),
            ("tagged directory zeros", bytes(4)),
        ):
            yield (
                f"page {pgno} tag {index}: record tail {what}",
                damage.patch(data, max(record, end - 8), patch),
            )


def catalog_records(base: Base, rng: random.Random) -> Iterator[Mutation]:
    """Catalog records (object id, type, id, then the root page of a tree or the type of a column) that
    point trees at page 0, the catalog, themselves or past the end, and give columns unknown types."""
    data, fm = base.data, base.fmap
    mask = 0x7FFF if fm.large else 0x1FFF
    by_type: dict[int, list[tuple[int, int, int]]] = {}
    for page in fm.catalog:
        if not page.leaf:
            continue
        for index, (start, size, flags) in enumerate(page.tags[1:], 1):
            entry = fm.offset(page.pgno) + start
            position = 2 if flags & 4 else 0
            local = struct.unpack_from("<H", data, entry + position)[0] & mask
            record = entry + position + 2 + local
            if record + 18 <= entry + size:
                kind = struct.unpack_from("<H", data, record + 8)[0]
                by_type.setdefault(kind, []).append((page.pgno, index, record))
    total = fm.total_pages
    for kind, what in ((1, "table"), (4, "long-value tree"), (3, "index")):
        for pgno, index, record in pick(rng, by_type.get(kind, []), 2):
            (root,) = struct.unpack_from("<I", data, record + 14)
            for value in sorted({0, 1, 4, total + 1, 0xFFFFFFFF, root + 1}):
                yield (
                    f"catalog page {pgno} tag {index}: {what} root page {root} -> {value}",
                    damage.patch(data, record + 14, struct.pack("<I", value)),
                )
    for pgno, index, record in pick(rng, by_type.get(2, []), 4):
        for value in (0, 13, 99, 0xFFFFFFFF):
            yield (
                f"catalog page {pgno} tag {index}: column type -> {value}",
                damage.patch(data, record + 14, struct.pack("<I", value)),
            )
    for pgno, index, record in pick(rng, [r for rs in by_type.values() for r in rs], 3):
        for value in (0, 0xFFFF, 7):
            yield (
                f"catalog page {pgno} tag {index}: record type -> {value}",
                damage.patch(data, record + 8, struct.pack("<H", value)),
            )


def bit_flips(base: Base, rng: random.Random, count: int) -> Iterator[Mutation]:
    data, fm = base.data, base.fmap
    ps = fm.page_size
    regions: list[tuple[str, int, int]] = [("header", 0, HEADER_BYTES), ("file", 0, len(data))]
    for what, group in (
        ("catalog", fm.catalog),
        ("data leaf", fm.data_leaves),
        ("branch", fm.branches),
        ("long-value leaf", fm.lv_leaves),
    ):
        for page in group:
            start = fm.offset(page.pgno)
            regions.append((f"{what} page {page.pgno}", start, start + ps))
            regions.append((f"{what} page {page.pgno} header", start, start + fm.header_size))
            regions.append((f"{what} page {page.pgno} tags", start + ps - 4 * page.tag_count, start + ps))
            if page.tags[1:]:
                t_start, t_size, _ = rng.choice(page.tags[1:])
                regions.append(
                    (f"{what} page {page.pgno} entry", start + t_start, start + t_start + max(t_size, 1))
                )
    for _ in range(count):
        seed = rng.randrange(1 << 30)
        local = random.Random(seed)
        what, lo, hi = local.choice(regions)
        flips = local.choice((1, 1, 2, 4, 8, 32))
        out = bytearray(data)
        for _ in range(flips):
            position = local.randrange(lo, min(hi, len(out)))
            out[position] ^= 1 << local.randrange(8)
        yield f"{flips} bit flips in {what} (flip seed {seed})", bytes(out)


def all_mutations(base: Base, seed: int, flips: int) -> Iterator[Mutation]:
    """Every mutation of a base file, in a fixed order; the same seed gives the same files."""
    rng = random.Random(seed)
    for family in (
        truncations,
        header_fields,
        page_fields,
        leaf_links,
        child_links,
        tag_damage,
        page_overwrites,
        long_value_roots,
        record_headers,
        catalog_records,
    ):
        yield from family(base, rng)
    yield from bit_flips(base, rng, flips)


# Running the worker -----------------------------------------------------------------------------------------


@dataclass
class Failure:
    file: str
    reason: str


def run_worker(
    input_dir: Path, out_root: Path, files: list[str], cwd: Path, python_path: str | None = None
) -> tuple[dict[str, str], list[Failure]]:
    """Run a worker over `files`, restarting it after the file that crashed or hung it; returns each file's
    result line and the faults found."""
    results: dict[str, str] = {}
    failures: list[Failure] = []
    remaining = list(files)
    env = dict(os.environ, PYTHONFAULTHANDLER="1")
    if python_path is not None:
        env["PYTHONPATH"] = python_path
    while remaining:
        batch_dir = input_dir / f"batch-{remaining[0]}"
        batch_dir.mkdir()
        for name in remaining:
            os.link(input_dir / name, batch_dir / name)
        errors = tempfile.TemporaryFile()  # a file, not a pipe: a chatty stderr can never block the worker
        process = subprocess.Popen(
            [sys.executable, str(WORKER), str(batch_dir), str(out_root)],
            stdout=subprocess.PIPE,
            stderr=errors,
            cwd=cwd,
            env=env,
        )
        current: str | None = None
        done = hung = False
        buffer = b""
        with selectors.DefaultSelector() as selector:
            selector.register(process.stdout, selectors.EVENT_READ)
            deadline = time.monotonic() + FILE_TIMEOUT
            while True:
                if not selector.select(timeout=max(0.0, deadline - time.monotonic())):
                    process.kill()
                    hung = True
                    break
                chunk = os.read(process.stdout.fileno(), 65536)
                if not chunk:
                    break
                buffer += chunk
                *lines, buffer = buffer.split(b"\n")
                for raw in lines:
                    line = raw.decode("utf-8", "replace")
                    if line.startswith("BEGIN "):
                        current = line[6:]
                        deadline = time.monotonic() + FILE_TIMEOUT
                    elif line.startswith("END "):
                        name, status, detail = (line[4:].split(" ", 2) + ["", ""])[:3]
                        results[name] = f"{status} {detail}"
                        if status != "OK":
                            failures.append(Failure(name, detail))
                        current = None
                    elif line == "DONE":
                        done = True
        code = process.wait()
        process.stdout.close()
        errors.seek(0)
        stderr = errors.read().decode("utf-8", "replace").strip()[-1500:]
        errors.close()
        if hung:
            failures.append(Failure(current or "?", f"hang: no progress for {FILE_TIMEOUT:.0f} s"))
        elif not done or code != 0:
            how = f"signal {-code}" if code < 0 else f"exit code {code}"
            failures.append(Failure(current or "?", f"crash ({how}): {stderr}"))
        if done or current is None:
            break  # finished, or died outside any file: nothing left to attribute
        remaining = [name for name in remaining if name not in results and name != current]
    return results, failures


def stray_files(sandbox: Path, out_root: Path, input_dir: Path, inputs: set[str]) -> list[str]:
    """Files the reader wrote anywhere but inside the per-file export directories."""
    problems = []
    for path in sandbox.rglob("*"):
        if path.is_dir():
            continue
        if path.is_relative_to(input_dir):
            if path.name not in inputs:
                problems.append(f"a file appeared beside the databases: {path}")
        elif not path.is_relative_to(out_root):
            problems.append(f"unexpected file {path}")
        elif path.suffix != ".jsonl":
            problems.append(f"export wrote a file without the .jsonl suffix: {path}")
    return problems


FLIPS = {"SRUDB.dat": 60, "basic.edb": 30, "text.edb": 30, "default.edb": 30}


@pytest.mark.parametrize("base_name", [*BUILT, *SAMPLES])
def test_mutated_files_fail_cleanly(base_name: str, request, tmp_path_factory) -> None:
    sample = request.getfixturevalue("sample") if base_name in SAMPLES else None
    base = load_base(base_name, sample)
    seed = sum(base_name.encode()) * 7919
    sandbox = tmp_path_factory.mktemp(f"malformed-{base_name}")
    input_dir, out_root, cwd = sandbox / "in", sandbox / "out", sandbox / "cwd"
    for directory in (input_dir, out_root, cwd):
        directory.mkdir()
    described = {}
    for index, (description, content) in enumerate(all_mutations(base, seed, FLIPS.get(base_name, 40))):
        name = f"{index:04d}.edb"
        (input_dir / name).write_bytes(content)
        described[name] = description
    names = sorted(described)
    assert len(names) >= 150, f"only {len(names)} mutations of {base_name}"
    shares = [names[i::WORKERS] for i in range(WORKERS)]
    results: dict[str, str] = {}
    failures: list[Failure] = []
    with ThreadPoolExecutor(WORKERS) as pool:
        for share_results, share_failures in pool.map(
            lambda s: run_worker(input_dir, out_root, s, cwd), shares
        ):
            results.update(share_results)
            failures.extend(share_failures)

    stray = stray_files(sandbox, out_root, input_dir, set(names)) + [
        f"worker wrote into its cwd: {p}" for p in cwd.iterdir()
    ]
    missing = [n for n in names if n not in results and n not in {f.file for f in failures}]
    if missing and failures:
        missing = []  # a worker that died outside any file leaves the rest unrun; its failure says so
    if failures or stray or missing:
        keep = tmp_path_factory.getbasetemp() / "malformed-failures" / base_name
        keep.mkdir(parents=True, exist_ok=True)
        lines = []
        for failure in failures:
            where = "?"
            if failure.file in described:
                where = str(keep / failure.file)
                shutil.copyfile(input_dir / failure.file, where)
            what = described.get(failure.file, "?")
            lines.append(
                f"{failure.file} [{base_name}, seed {seed}: {what}]: {failure.reason}\n"
                f"    reproduce: PYTHONPATH=<build dir> {sys.executable} {WORKER} --single {where} /tmp/out"
            )
        lines += stray + [f"{n}: no result from the worker" for n in missing]
        pytest.fail(
            f"{len(lines)} fault(s) in {len(names)} mutations of {base_name}:\n" + "\n".join(lines[:40])
        )
    # The mutations must really exercise the reader: some open and read, some are rejected.
    opened = [r for r in results.values() if "tables=" in r]
    rejected = [r for r in results.values() if "open failed" in r]
    assert opened and rejected, f"{len(opened)} opened, {len(rejected)} rejected of {len(results)}"
    assert any("read_ok=0" not in r for r in opened)
    shutil.rmtree(sandbox, ignore_errors=True)  # hundreds of MB of mutated files; failures keep theirs


FAKE_MODULE = """
import os, signal, time

class EseDatabase:
    def __init__(self, path):
        with open(path, "rb") as handle:
            head = handle.read(8)
        if head.startswith(b"CRASH"):
            os.kill(os.getpid(), signal.SIGSEGV)
        if head.startswith(b"HANG"):
            time.sleep(600)
        if head.startswith(b"TYPE"):
            raise TypeError("not a documented failure")
        raise OSError("Failed to open database: Invalid database header")
"""


def test_harness_names_crashes_hangs_and_wrong_errors(tmp_path, monkeypatch) -> None:
    """The worker and its runner catch each kind of fault, name its file and go on with the rest."""
    fake = tmp_path / "fake"
    fake.mkdir()
    (fake / "pagewright.py").write_text(FAKE_MODULE)
    input_dir, out_root, cwd = tmp_path / "in", tmp_path / "out", tmp_path / "cwd"
    for directory in (input_dir, out_root, cwd):
        directory.mkdir()
    contents = {
        "0.edb": b"fine",
        "1.edb": b"CRASH",
        "2.edb": b"fine",
        "3.edb": b"HANG",
        "4.edb": b"TYPE",
        "5.edb": b"fine",
    }
    for name, content in contents.items():
        (input_dir / name).write_bytes(content)
    monkeypatch.setattr(sys.modules[__name__], "FILE_TIMEOUT", 3.0)
    results, failures = run_worker(input_dir, out_root, sorted(contents), cwd, python_path=str(fake))
    reasons = {failure.file: failure.reason for failure in failures}
    assert sorted(reasons) == ["1.edb", "3.edb", "4.edb"]
    assert reasons["1.edb"].startswith("crash (")  # signal 11 (or exit code 1 under a sanitizer)
    assert reasons["3.edb"].startswith("hang")
    assert "undocumented TypeError" in reasons["4.edb"]
    assert {name for name, line in results.items() if line.startswith("OK")} == {"0.edb", "2.edb", "5.edb"}
