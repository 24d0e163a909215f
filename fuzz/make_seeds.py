#!/usr/bin/env python3
"""Seed inputs for the fuzz targets, made with the project's test-data builder (tests/builder).

    python3 fuzz/make_seeds.py OUT_DIR [--small]

writes OUT_DIR/<target>/* for each target (fuzz_database, fuzz_record, fuzz_decompress, fuzz_amplification,
fuzz_log). --small leaves out the largest seeds (a 16 KiB page database with long values, the 32 KiB page
one).
The input layouts are those the targets' sources describe: fuzz_database takes a database image, fuzz_record a
table description followed by one record, fuzz_decompress a selector byte, a 3-byte LZ77 size and a value,
fuzz_log a mode byte and segment record areas or a whole log file.
"""

from __future__ import annotations

import argparse
import hashlib
import struct
import sys
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from builder import (  # noqa: E402
    Column,
    Compressed,
    DatabaseBuilder,
    LongValue,
    MultiValue,
    Raw,
    Tagged,
    compress,
    compress_7bit_ascii,
    compress_7bit_unicode,
    compress_xpress,
    damage,
    lz77_encode,
)
from builder import logs as L  # noqa: E402
from builder.compress import compress_lz4  # noqa: E402

# Column type codes.
BIT, UBYTE, SHORT, LONG, CURRENCY, SINGLE, DOUBLE, DATETIME = 1, 2, 3, 4, 5, 6, 7, 8
BINARY, TEXT, LONG_BINARY, LONG_TEXT, ULONG, LONGLONG, GUID, USHORT = 9, 10, 11, 12, 14, 15, 16, 17

HAS_DEFAULT = 0x10
COMPRESSED = 0x1000

# Column ids stay inside what fuzz_record's id selector can express: 0-63, 128-191, 256-319.
FIXED_COLUMNS = [
    Column(1, "Id", LONG, flags=1),
    Column(2, "Bit", BIT),
    Column(3, "UnsignedByte", UBYTE),
    Column(4, "Short", SHORT),
    Column(5, "Currency", CURRENCY),
    Column(6, "Single", SINGLE),
    Column(7, "Double", DOUBLE),
    Column(8, "DateTime", DATETIME),
    Column(9, "UnsignedLong", ULONG),
    Column(10, "LongLong", LONGLONG),
    Column(11, "Guid", GUID),
    Column(12, "UnsignedShort", USHORT, default=7),
]
VARIABLE_COLUMNS = [
    Column(128, "Name", TEXT),
    Column(129, "Blob", BINARY),
    Column(130, "Wide", TEXT, codepage=1200),
    Column(131, "Ascii", TEXT, codepage=20127, default="dflt"),
]
TAGGED_COLUMNS = [
    Column(256, "Notes", LONG_TEXT, codepage=1200),
    Column(257, "Data", LONG_BINARY),
    Column(258, "Packed", LONG_TEXT, flags=COMPRESSED),
    Column(259, "Multi", BINARY),
    Column(260, "Flagged", TEXT),
    Column(261, "TaggedDefault", LONG, default=42),
]
ALL_COLUMNS = FIXED_COLUMNS + VARIABLE_COLUMNS + TAGGED_COLUMNS


def plain_row(n: int) -> dict[str, Any]:
    return {
        "Id": n,
        "Bit": n % 2 == 0,
        "UnsignedByte": n % 256,
        "Short": -n,
        "Currency": 1337 * n,
        "Single": n / 4,
        "Double": -n / 3,
        "DateTime": 4675210852477960192 + n,
        "UnsignedLong": 0xFFFF0000 + n,
        "LongLong": n << 40,
        "Guid": "3f360af1-6766-46dc-9af2-0dacf295c2a1",
        "Name": f"row {n}",
        "Blob": bytes(range(n % 16)),
        "Wide": f"wide \u00e9 {n}",
        "Notes": f"note {n} " * (n % 3),
    }


def tagged_forms(n: int) -> dict[str, Any]:
    """Rows that use the tagged value forms: compressed, multi-valued, flagged, raw."""
    forms: list[dict[str, Any]] = [
        {"Packed": Compressed("compressed seven bit text", scheme="7bit_ascii")},
        {"Packed": Compressed("unicode seven bit", scheme="7bit_unicode")},
        {"Packed": Compressed("xpress " * 12, scheme="xpress")},
        {"Multi": MultiValue([b"one", b"three", b"five"])},
        {"Multi": MultiValue([b"ab", b"cd"], form="two")},
        {"Multi": MultiValue([b"first packed", b"second"], compress_first="7bit_ascii")},
        {"Flagged": Tagged(b"xy", flags=0x10)},
        {"Data": Raw(b"raw bytes without a flag")},
    ]
    return forms[n % len(forms)]


def long_values() -> list[dict[str, Any]]:
    """Long values of several chunks (small chunks keep the seeds small), compressed ones, odd ones."""
    text = "Long text value " * 40
    return [
        {"Data": LongValue(bytes(range(256)) * 3, chunk_size=256, order="reversed")},
        {"Notes": LongValue(text, chunk_size=512)},
        {"Packed": LongValue("packed long value " * 30, compress="xpress", chunk_size=256)},
        {"Packed": LongValue("seven bit long value " * 20, compress="7bit", chunk_size=256)},
        {"Data": LongValue(b"short total", total_size=5)},
        {"Data": LongValue(b"dangling", store=False)},
        {"Multi": MultiValue([LongValue(b"multi long " * 40, chunk_size=256), b"inline"])},
    ]


def database(
    page_size: int,
    *,
    rows: int,
    rows_per_page: int,
    fanout: int,
    lv: bool,
    lv_rows_per_page: int | None = None,
    **db_options: Any,
) -> bytes:
    db = DatabaseBuilder(page_size=page_size, **db_options)
    table = db.add_table("values", columns=ALL_COLUMNS, rows_per_page=rows_per_page, fanout=fanout)
    for n in range(1, rows + 1):
        row = plain_row(n)
        row.update(tagged_forms(n))
        table.add_row(row)
    if lv:
        lv_table = db.add_table(
            "long",
            columns=ALL_COLUMNS,
            rows_per_page=rows_per_page,
            lv_rows_per_page=lv_rows_per_page,
            fanout=fanout,
        )
        for n, row in enumerate(long_values(), start=1):
            row["Id"] = n
            lv_table.add_row(row)
    return db.build()


def database_seeds(small: bool) -> Iterator[tuple[str, bytes]]:
    # Multi-level data trees (two rows a leaf, fanout 2), long-value trees, every page size.
    yield "db_4k_tree", database(4096, rows=12, rows_per_page=2, fanout=2, lv=False)
    yield "db_4k_lv", database(4096, rows=3, rows_per_page=3, fanout=4, lv=True)
    yield "db_8k_tree_lv", database(8192, rows=6, rows_per_page=2, fanout=2, lv=True, lv_rows_per_page=8)
    if not small:
        yield (
            "db_16k_tree_lv",
            database(16384, rows=3, rows_per_page=3, fanout=4, lv=True, lv_rows_per_page=None),
        )
        yield "db_32k", database(32768, rows=3, rows_per_page=3, fanout=4, lv=False)
    # The older page header layouts, a multi-level catalog, no key compression.
    yield "db_4k_legacy", database(4096, rows=4, rows_per_page=2, fanout=2, lv=False, format_revision=0x09)
    yield "db_4k_revised", database(4096, rows=4, rows_per_page=2, fanout=2, lv=False, format_revision=0x0C)
    yield (
        "db_4k_catalog_tree",
        database(
            4096, rows=2, rows_per_page=2, fanout=2, lv=False, catalog_rows_per_page=12, catalog_fanout=3
        ),
    )
    yield (
        "db_4k_no_key_compression",
        database(
            4096, rows=4, rows_per_page=2, fanout=2, lv=True, lv_rows_per_page=6, key_compression="none"
        ),
    )
    yield (
        "db_4k_prefix_keys",
        database(4096, rows=6, rows_per_page=3, fanout=2, lv=False, key_compression="lcp"),
    )

    # Compact files of 1 KiB pages (cheap to fuzz and to keep): the same structures in far fewer bytes.
    yield "db_1k_lv", database(1024, rows=3, rows_per_page=3, fanout=4, lv=True)
    yield "db_1k_tree_lv", database(1024, rows=6, rows_per_page=2, fanout=2, lv=True, lv_rows_per_page=6)
    yield "db_1k_legacy", database(1024, rows=4, rows_per_page=2, fanout=2, lv=False, format_revision=0x09)
    yield (
        "db_1k_catalog_tree",
        database(
            1024, rows=2, rows_per_page=2, fanout=2, lv=False, catalog_rows_per_page=6, catalog_fanout=3
        ),
    )
    # The smallest large-page file: one leaf per tree.
    yield "db_16k_small", database(16384, rows=3, rows_per_page=3, fanout=4, lv=False)

    # Damaged files: loops in the leaf chain and in the tree, a truncated file.
    db = DatabaseBuilder(page_size=4096)
    table = db.add_table("t", columns=FIXED_COLUMNS + VARIABLE_COLUMNS, rows_per_page=2, fanout=2)
    names = {c.name for c in FIXED_COLUMNS + VARIABLE_COLUMNS}
    for n in range(1, 9):
        table.add_row({k: v for k, v in plain_row(n).items() if k in names})
    data = db.build()
    layout = db.layout.tables["t"]
    yield "db_4k_chain_loop", damage.set_next_page(data, 4096, layout.leaf_pages[-1], layout.leaf_pages[0])
    yield "db_4k_child_loop", damage.set_child(data, 4096, layout.root_page, 1, layout.root_page)
    yield "db_4k_truncated", damage.truncate(data, len(data) - 4096 - 100)
    yield from tiny_seeds()


# Hand-laid databases of tiny pages ----------------------------------------------------------------------

TINY_PAGE = 128
TINY_FILE = 262144  # 2046 pages of 128 bytes
PAGE_LEAF = 0x0002
MANY_TAGS = 0xFFFF  # a tag count far above the 32 tags a 128-byte page can hold


def tiny_page(flags: int, entries: list[bytes], next_page: int = 0, tag_count: int = MANY_TAGS) -> bytes:
    """A 128-byte page (40-byte header, normal tags): the entries packed after the header, one tag each."""
    page = bytearray(TINY_PAGE)
    struct.pack_into("<I", page, 20, next_page)
    struct.pack_into("<H", page, 34, tag_count)
    struct.pack_into("<I", page, 36, flags)
    offset = 0
    for index, entry in enumerate(entries):
        page[40 + offset : 40 + offset + len(entry)] = entry
        struct.pack_into("<HH", page, TINY_PAGE - 4 * (index + 1), len(entry), offset)
        offset += len(entry)
    assert 40 + offset <= TINY_PAGE - 4 * len(entries)
    return bytes(page)


def tiny_database(pages: dict[int, bytes]) -> bytes:
    image = bytearray(TINY_FILE)
    struct.pack_into("<II", image, 4, 0x89ABCDEF, 0x620)
    struct.pack_into("<II", image, 232, 0x14, TINY_PAGE)
    for number, page in sorted(pages.items()):
        start = (number + 1) * TINY_PAGE
        image[start : start + TINY_PAGE] = page
    return bytes(image)


def table_record(name: bytes, object_id: int, root_page: int) -> bytes:
    """Catalog record of a table: fixed part of 22 bytes, one variable column (the name)."""
    fixed = struct.pack("<BBHIHIII", 8, 128, 22, 2, 1, object_id, root_page, 0)
    return fixed + struct.pack("<H", len(name)) + name


def tiny_seeds() -> Iterator[tuple[str, bytes]]:
    last = TINY_FILE // TINY_PAGE - 2
    # A table whose leaf chain runs through every page, each page claiming 65535 tags.
    pages = {4: tiny_page(PAGE_LEAF, [b"\x00\x00" + table_record(b"t", 8, 5)], tag_count=1)}
    for number in range(5, last + 1):
        pages[number] = tiny_page(PAGE_LEAF, [], next_page=number + 1 if number < last else 0)
    yield "db_tiny_pages_leaf_chain", tiny_database(pages)
    # A catalog tree of branch pages (8 children each) over every page, each page claiming 65535 tags.
    pages = {}
    for number in range(4, last + 1):
        children = [c for c in range(8 * (number - 4) + 5, 8 * (number - 4) + 13) if c <= last]
        entries = [b"\x00\x00" + struct.pack("<I", child) for child in children]
        pages[number] = tiny_page(0 if children else PAGE_LEAF, entries)
    yield "db_tiny_pages_catalog_tree", tiny_database(pages)


# fuzz_record --------------------------------------------------------------------------------------------

CODEPAGE_SELECTOR = {1200: 4 | 0, 1252: 4 | 1, 20127: 4 | 2}


def id_selector(column_id: int) -> int:
    if column_id < 64:
        return column_id
    if 128 <= column_id < 192:
        return 0x40 | (column_id - 128)
    if 256 <= column_id < 320:
        return 0x80 | (column_id - 256)
    raise ValueError(f"column id {column_id} has no selector")


def record_input(columns: list[Column], record: bytes, *, large: bool) -> bytes:
    """fuzz_record's layout: head byte, 6-byte descriptors, default values, the record."""
    assert 1 <= len(columns) <= 8
    head = (1 if large else 0) | ((len(columns) - 1) << 1)
    descriptors = bytearray([head])
    defaults = bytearray()
    for column in columns:
        flags = (1 if column.flags & 1 else 0) | (4 if column.flags & COMPRESSED else 0)
        default = b""
        if column.default is not None:
            from builder import encode_value

            default = encode_value(column, column.default)
            flags |= 2 | 8
        descriptors += bytes(
            [
                id_selector(column.id),
                column.type,
                column.size & 0xFF,
                CODEPAGE_SELECTOR.get(column.codepage or 0, 0),
                flags,
                len(default),
            ]
        )
        defaults += default
    return bytes(descriptors + defaults) + record


def record_seeds() -> Iterator[tuple[str, bytes]]:
    groups = [
        FIXED_COLUMNS[:8],
        FIXED_COLUMNS[8:] + VARIABLE_COLUMNS[:3] + TAGGED_COLUMNS[:1],
        [FIXED_COLUMNS[0]] + VARIABLE_COLUMNS[:2] + TAGGED_COLUMNS[1:],
        [FIXED_COLUMNS[0], VARIABLE_COLUMNS[3], TAGGED_COLUMNS[5]],
    ]
    for page_size in (4096, 32768):
        db = DatabaseBuilder(page_size=page_size)
        large = db.large
        for g, columns in enumerate(groups):
            table = db.add_table(f"g{g}", columns=columns)
            names = {c.name for c in columns}
            for n in range(1, 9):
                row = {k: v for k, v in plain_row(n).items() if k in names}
                row.update({k: v for k, v in tagged_forms(n).items() if k in names})
                if n == 8:
                    row = {}  # defaults and absent columns
                yield (
                    f"rec_{page_size // 1024}k_g{g}_{n}",
                    record_input(columns, table.encode_row(row), large=large),
                )
            if any(c.id == 257 for c in columns):
                ref = table.encode_row({"Data": LongValue(b"x" * 5000)})
                yield f"rec_{page_size // 1024}k_g{g}_lvref", record_input(columns, ref, large=large)


# fuzz_decompress ----------------------------------------------------------------------------------------


def decompress_input(selector: int, lz_size: int, value: bytes) -> bytes:
    return bytes([selector]) + struct.pack("<HB", lz_size & 0xFFFF, lz_size >> 16) + value


def decompress_seeds() -> Iterator[tuple[str, bytes]]:
    text = b"The quick brown fox jumps over the lazy dog. " * 6
    wide = "wide text \u00e9\u4e2d".encode("utf-16-le")
    stream, _ = lz77_encode(text)
    long_stream, _ = lz77_encode(bytes(range(40)) * 200)
    u32_stream, _ = lz77_encode(b"a" * 70000, force_u32=True)
    # selector: bit 0 long text, bit 1 text, bit 2 codepage given, bits 3-4 which codepage.
    yield "xpress_text", decompress_input(0x01 | 0x04 | (1 << 3), 0, compress_xpress(text))
    yield "xpress_binary", decompress_input(0x00, 0, compress_xpress(bytes(range(40)) * 50))
    yield "seven_bit_ascii", decompress_input(0x03 | 0x04 | (2 << 3), 0, compress_7bit_ascii(text))
    yield (
        "seven_bit_unicode",
        decompress_input(0x01 | 0x04, 0, compress_7bit_unicode("seven bit unicode".encode("utf-16-le"))),
    )
    yield (
        "seven_bit_unicode_1252",
        decompress_input(0x01 | 0x04 | (1 << 3), 0, compress_7bit_unicode("units".encode("utf-16-le"))),
    )
    yield "no_scheme", decompress_input(0x01, 0, b"\x00" + text[:20])
    yield "unknown_scheme", decompress_input(0x01, 0, b"\xf8" + text[:20])
    yield "lz4_text", decompress_input(0x01 | 0x04 | (1 << 3), 0, compress_lz4(text * 3))
    yield "lz4_block", decompress_input(0x00, 3 * len(text), compress_lz4(text * 3)[3:])
    yield "xpress9_frame", decompress_input(0x01, 0, compress(text, "xpress9"))
    yield "lz77_stream", decompress_input(0x00, len(text), stream)
    yield "lz77_long_matches", decompress_input(0x00, 8000, long_stream)
    yield "lz77_u32_length", decompress_input(0x00, 70000, u32_stream)
    yield "utf16_bom", decompress_input(0x01 | 0x04, 0, b"\xff\xfe" + wide)
    yield "utf16_be_bom", decompress_input(0x01 | 0x04, 0, b"\xfe\xff" + "be".encode("utf-16-be"))
    yield "utf8_bom", decompress_input(0x01 | 0x04 | (1 << 3), 0, b"\xef\xbb\xbf" + "\u00e9\u20ac".encode())
    yield "surrogates", decompress_input(0x01 | 0x04, 0, b"\x3d\xd8\x00\xde\x00\xd8a\x00\x00\xdc")
    yield "windows_1252", decompress_input(0x01 | 0x04 | (1 << 3), 0, bytes(range(0x20, 0x100)))


def amplification_seeds() -> Iterator[tuple[str, bytes]]:
    """What an attacker multiplies: a long value's keys repeated, many tags on one page, a wide table."""
    db = DatabaseBuilder(page_size=1024)
    t = db.add_table("lv", ALL_COLUMNS, rows_per_page=4)
    t.add_row({"Id": 1, "Data": LongValue(b"repeated chunk " * 20, chunk_size=100, lv_id=1)})
    for _ in range(6):
        t.add_long_value(LongValue(b"repeated chunk " * 20, chunk_size=100, lv_id=1), "Data")
    yield "amp_1k_repeated_lv", db.build()
    db = DatabaseBuilder(page_size=4096)
    db.add_table("many", [Column(1, "Id", 4)], rows_per_page=300).add_rows({"Id": n} for n in range(300))
    yield "amp_4k_many_tags", db.build()
    db = DatabaseBuilder(page_size=4096)
    wide = [Column(256 + k, f"c{k}", 11) for k in range(200)]
    db.add_table("wide", [Column(1, "Id", 4), *wide]).add_row(
        {"Id": 1, **{f"c{k}": b"w" for k in range(200)}}
    )
    yield "amp_4k_wide", db.build()


# fuzz_log -------------------------------------------------------------------------------------------------


def log_seeds() -> Iterator[tuple[str, bytes]]:
    """Generations of every record the reader interprets: byte 0 = 0 gives the segments' record areas (the
    target frames them), byte 0 = 1 a whole file."""
    row = bytes(range(40))
    records = [
        L.attach_db(1, "C:\\db.edb", L.signature(2)),
        L.begin0(3, levels=2),
        L.insert(3, 10, 0, 0x200, 0x100, 8, b"key", row, prefix=1, level=2),
        L.flag_insert(3, 10, 1, 0x201, 0x200, 8, b"k2", row, replace_data=True, level=2),
        L.replace(3, 10, 0, 0x202, 0x201, 8, row[::-1], len(row), level=2),
        L.replace_diff(
            3, 10, 0, 0x203, 0x202, 8, L.diff_piece(3, b"ab") + L.diff_piece(9, b"xyz", 1), 40, 43, level=2
        ),
        L.replace_diff(
            3,
            10,
            0,
            0x204,
            0x203,
            8,
            L.diff_piece(2, b"q", second_form=True, insert_only=True),
            43,
            44,
            second_form=True,
            level=2,
        ),
        L.delete(3, 10, 1, 0x205, 0x204, 8, flag=True, level=2),
        L.commit(3, 1),
        L.begin(3, 1),
        L.delete(3, 10, 0, 0x206, 0x205, 8, level=2),
        L.rollback(3),
        L.commit0(3),
        L.init2(),
    ]
    gen = L.LogWriter(5).add(*records)
    yield "log_records", b"\x00" + b"".join(bytes(s[40:]) for s in gen.segments)
    big = L.LogWriter(5).add(
        L.begin0(1), L.insert(1, 11, 0, 0x300, 0x100, 8, b"big", bytes(9000)), L.commit0(1)
    )
    yield "log_fragments", b"\x00" + b"".join(bytes(s[40:]) for s in big.segments)
    yield "log_damaged_segment", b"\x02" + b"".join(bytes(s[40:]) for s in big.segments)
    yield "log_whole_file", b"\x01" + gen.build()
    yield "log_checkpoint", b"\x01" + L.checkpoint_file()


def write(out: Path, target: str, seeds: Iterator[tuple[str, bytes]], report: Callable[[str], None]) -> None:
    directory = out / target
    directory.mkdir(parents=True, exist_ok=True)
    total = 0
    count = 0
    for name, data in seeds:
        digest = hashlib.sha1(data).hexdigest()[:12]
        (directory / f"{name}-{digest}").write_bytes(data)
        total += len(data)
        count += 1
    report(f"{target}: {count} seeds, {total} bytes")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", type=Path, help="output directory (one sub-directory per target)")
    parser.add_argument("--small", action="store_true", help="leave out the largest database seeds")
    args = parser.parse_args()
    write(args.out, "fuzz_database", database_seeds(args.small), print)
    write(args.out, "fuzz_record", record_seeds(), print)
    write(args.out, "fuzz_decompress", decompress_seeds(), print)
    write(args.out, "fuzz_amplification", amplification_seeds(), print)
    write(args.out, "fuzz_log", log_seeds(), print)


if __name__ == "__main__":
    main()
