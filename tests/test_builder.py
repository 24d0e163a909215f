"""Self-checks of the test-data writer (tests/builder), independent of the reader under test."""

from __future__ import annotations

import os
import random
import struct

import pytest
from builder import (
    Column,
    Compressed,
    DatabaseBuilder,
    LongValue,
    Lz77Writer,
    MultiValue,
    Raw,
    Tagged,
    branch_entry,
    build_header,
    build_page,
    compress_7bit_ascii,
    compress_7bit_unicode,
    compress_xpress,
    damage,
    decompress,
    leaf_entry,
    lz77_decode,
    lz77_encode,
    pack_7bit,
    unpack_7bit,
)
from builder.readback import read_page, split_entry
from sample_facts import BASIC_COLUMNS, BASIC_ROWS

ALL_CLASSES = {"short", "nibble", "byte", "u16", "u32"}


def xor_u32(data: bytes) -> int:
    value = 0
    for (word,) in struct.iter_unpack("<I", data):
        value ^= word
    return value


def page_of(data: bytes, page_size: int, pgno: int) -> bytes:
    return data[(pgno + 1) * page_size : (pgno + 2) * page_size]


def leaf_records(
    data: bytes, db: DatabaseBuilder | None, first_page: int, page_size: int = 4096
) -> list[tuple[bytes, bytes]]:
    """(full key, data) of every entry along a leaf chain, prefixes resolved (db None: a real 4 KiB file)."""
    large, header_size = (db.layout.large, db.layout.header_size) if db else (False, 40)
    page_size = db.layout.page_size if db else page_size
    out: list[tuple[bytes, bytes]] = []
    pgno = first_page
    seen = set()
    while pgno and pgno not in seen:
        seen.add(pgno)
        view = read_page(page_of(data, page_size, pgno), large, header_size)
        assert view.flags & 0x2, f"page {pgno} in a leaf chain is not a leaf"
        prefix = view.tags[0][1] if not view.flags & 0x1 else b""
        out.extend(split_entry(flags, entry, prefix) for flags, entry in view.tags[1:])
        pgno = view.next
    return out


def leftmost_leaf(data: bytes, db: DatabaseBuilder | None, root: int) -> int:
    large, header_size = (db.layout.large, db.layout.header_size) if db else (False, 40)
    page_size = db.layout.page_size if db else 4096
    pgno = root
    while True:
        view = read_page(page_of(data, page_size, pgno), large, header_size)
        if view.flags & 0x2:
            return pgno
        _, rest = split_entry(*view.tags[1])
        (pgno,) = struct.unpack("<I", rest)


# Header and pages -----------------------------------------------------------------------------------


@pytest.mark.parametrize("page_size", [4096, 8192, 16384, 32768])
def test_header_checksum_and_fields(page_size: int) -> None:
    block = build_header(page_size, 0x620, 0x14)
    assert len(block) == page_size
    assert struct.unpack_from("<I", block, 0)[0] == xor_u32(block[8:4096])
    assert struct.unpack_from("<I", block, 4)[0] == 0x89ABCDEF
    assert struct.unpack_from("<I", block, 8)[0] == 0x620
    assert struct.unpack_from("<I", block, 232)[0] == 0x14
    assert struct.unpack_from("<I", block, 236)[0] == page_size
    assert struct.unpack_from("<II", block, 340) == (0x620, 0x14)


def test_small_page_round_trip_and_checksum() -> None:
    tags = [(0, b"PFX"), (0x4, leaf_entry(b"k1", b"data", common=2)), (0x1, leaf_entry(b"key2", b"more"))]
    page = build_page(8192, False, 0x2802, tags, prev=7, next=9, pgno=42, objid=5)
    view = read_page(page, large=False)
    assert view.tags == tags
    assert (view.prev, view.next, view.objid, view.flags, view.tag_count) == (7, 9, 5, 0x2802, 3)
    used = sum(len(d) for _, d in tags)
    assert view.available == 8192 - 40 - used - 4 * len(tags)
    assert view.first_available == used
    assert struct.unpack_from("<I", page, 0)[0] == xor_u32(page[8:]) ^ 42


def test_large_page_flags_live_in_the_entry() -> None:
    tags = [(0, b"\xff\xff prefix"), (0x4, leaf_entry(b"x", b"y", common=3)), (0x1, branch_entry(b"ab", 77))]
    page = build_page(32768, True, 0x2802, tags, pgno=1234)
    assert struct.unpack_from("<Q", page, 64)[0] == 1234
    size_word, offset_word = struct.unpack_from("<HH", page, 32768 - 8)
    assert offset_word >> 15 == 0 and size_word == len(tags[1][1])
    entry = page[80 + offset_word : 80 + offset_word + size_word]
    assert entry[1] >> 5 == 0x4
    view = read_page(page, large=True, header_size=80)
    assert view.tags == tags  # tag 0 raw, the others with their flags taken back out
    assert (32768 - view.available) // 4 >= view.tag_count


def test_entries_with_common_prefix() -> None:
    assert leaf_entry(b"ABC", b"D") == bytes.fromhex("0300414243") + b"D"
    assert branch_entry(b"", 1) == bytes.fromhex("000001000000")
    entry = leaf_entry(b"Z", b"rest", common=4)
    assert split_entry(0x4, entry, b"KEY-PREFIX") == (b"KEY-Z", b"rest")


# Compression ----------------------------------------------------------------------------------------


@pytest.mark.parametrize("count", range(0, 20))
def test_7bit_packing_round_trip_and_header_bits(count: int) -> None:
    text = bytes(random.Random(count).randrange(0x80) for _ in range(count))
    packed, last_bits = pack_7bit(text)
    assert len(packed) == (7 * count + 7) // 8
    assert unpack_7bit(packed, last_bits) == text
    if count:
        assert last_bits == 7 * count - 8 * (len(packed) - 1)
        value = compress_7bit_ascii(text)
        assert value[0] >> 3 == 1 and (value[0] & 7) + 1 == last_bits
        assert decompress(value) == text
        unicode = compress_7bit_unicode(text.decode("ascii").encode("utf-16-le"))
        assert unicode[0] >> 3 == 2 and unicode[1:] == value[1:]
        assert decompress(unicode) == text.decode("ascii").encode("utf-16-le")


def test_7bit_known_value() -> None:
    assert pack_7bit(b"AA") == (bytes([0xC1, 0x20]), 6)
    assert compress_7bit_ascii(b"AA") == bytes([0x0D, 0xC1, 0x20])
    with pytest.raises(ValueError):
        pack_7bit(b"\x80")


def test_lz77_writer_every_length_class() -> None:
    source = bytes(random.Random(1).randrange(256) for _ in range(64))
    writer = Lz77Writer()
    writer.literal(source)
    expected = bytearray(source)
    for length in (3, 9, 10, 24, 25, 279, 280, 4000, 65538, 70000, 3, 11, 13):
        writer.match(64, length)
        for _ in range(length):
            expected.append(expected[-64])
    stream = writer.getvalue()
    out, classes = lz77_decode(stream, len(expected))
    assert out == bytes(expected)
    assert set(classes) == ALL_CLASSES
    assert classes == writer.classes


def test_lz77_encoder_round_trip() -> None:
    rng = random.Random(7)
    parts = [os.urandom(50), b"a" * 5, os.urandom(20), b"xyz" * 6, os.urandom(30), b"q" * 200, b"w" * 5000]
    parts += [bytes(rng.randrange(4) for _ in range(3000)), b"Long text " * 100]
    data = b"".join(parts)
    stream, classes = lz77_encode(data)
    out, seen = lz77_decode(stream, len(data))
    assert out == data and seen == classes
    assert {"short", "nibble", "byte", "u16"} <= set(classes)
    big = b"z" * 70000
    stream, classes = lz77_encode(big)
    assert lz77_decode(stream, len(big))[0] == big and "u32" in classes
    stream, classes = lz77_encode(b"0123456789" * 10, force_u32=True)
    assert lz77_decode(stream, 100)[0] == b"0123456789" * 10 and "u32" in classes


def test_xpress_value() -> None:
    data = b"Long compressed ASCII text " + b"a" * 1024
    value = compress_xpress(data)
    assert value[0] == 0x18 and struct.unpack_from("<H", value, 1)[0] == len(data)
    assert len(value) < len(data) and decompress(value) == data


# Whole files ----------------------------------------------------------------------------------------


def catalog_rows(data: bytes, db: DatabaseBuilder | None) -> list[tuple[int, int, int, int, bytes, bytes]]:
    """(object id, type, id, coltyp/fdp, name, record) of every catalog record, read at the fixed offsets."""
    rows = []
    for _, record in leaf_records(data, db, leftmost_leaf(data, db, 4)):
        object_id, record_type, record_id, fdp = struct.unpack_from("<IHII", record, 4)
        last_variable = record[1]
        count = last_variable - 127 if last_variable >= 128 else last_variable
        (start,) = struct.unpack_from("<H", record, 2)
        (length,) = struct.unpack_from("<H", record, start)
        name = record[start + 2 * count : start + 2 * count + (length & 0x7FFF)]
        rows.append((object_id, record_type, record_id, fdp, name, record))
    return rows


@pytest.mark.parametrize("page_size", [4096, 8192, 16384, 32768])
def test_multi_level_tree_and_catalog(page_size: int) -> None:
    db = DatabaseBuilder(page_size=page_size)
    columns = [Column(1, "Id", 4, flags=1), Column(128, "Name", 10), Column(256, "Notes", 12, codepage=1200)]
    table = db.add_table("basic", columns=columns, rows_per_page=3, fanout=4)
    for number in range(1, 101):
        table.add_row({"Id": number, "Name": f"row {number}", "Notes": "n" * (number % 7)})
    data = db.build()
    layout = db.layout
    assert len(data) == (layout.total_pages + 2) * page_size
    info = layout.tables["basic"]
    assert info.depth == 4 and len(info.leaf_pages) == 34  # 34 leaves, 9 and 3 branch pages, the root
    assert leftmost_leaf(data, db, info.root_page) == info.leaf_pages[0]
    records = leaf_records(data, db, info.leaf_pages[0])
    assert [record for _, record in records] == [record for _, record in table.entries]
    assert [key for key, _ in records] == sorted(key for key, _ in records)
    for pgno in info.leaf_pages:  # the tag count cap of large pages keeps every tag
        view = read_page(page_of(data, page_size, pgno), layout.large, layout.header_size)
        assert (page_size - view.available) // 4 >= view.tag_count
    catalog = catalog_rows(data, db)
    tables = [(row[4], row[3]) for row in catalog if row[1] == 1]
    assert tables == [(b"MSysObjects", 4), (b"basic", info.root_page)]
    columns_of_basic = [
        (row[2], row[3], row[4]) for row in catalog if row[1] == 2 and row[0] == info.object_id
    ]
    assert columns_of_basic == [(1, 4, b"Id"), (128, 10, b"Name"), (256, 12, b"Notes")]


def test_long_values_in_tree() -> None:
    db = DatabaseBuilder(page_size=8192)
    table = db.add_table("lv", columns=[Column(1, "Id", 4), Column(256, "Blob", 11), Column(257, "Text", 12)])
    blob = os.urandom(20000)
    text = "Long compressed text " + "a" * 3000
    table.add_row({"Id": 1, "Blob": LongValue(blob, chunk_size=4096, order="reversed")})
    table.add_row({"Id": 2, "Text": LongValue(text, compress="xpress", chunk_size=1024)})
    table.add_row({"Id": 3, "Text": "x" * 2000})  # over the inline limit: moved to the tree
    data = db.build()
    info = db.layout.tables["lv"]
    assert info.long_value_ids == [1, 2, 3] and info.lv_root_page is not None
    entries = leaf_records(data, db, leftmost_leaf(data, db, info.lv_root_page))
    chunks: dict[int, list[tuple[int, bytes]]] = {}
    sizes = {}
    for key, value in entries:
        (lv_id,) = struct.unpack_from(">I", key)
        if len(key) == 4:
            sizes[lv_id] = struct.unpack("<II", value)[1]
        else:
            chunks.setdefault(lv_id, []).append((struct.unpack_from(">I", key, 4)[0], value))
    assert [offset for offset, _ in chunks[1]] == [16384, 12288, 8192, 4096, 0]
    assert b"".join(v for _, v in sorted(chunks[1])) == blob and sizes[1] == len(blob)
    assert b"".join(decompress(v) for _, v in sorted(chunks[2])) == text.encode("cp1252")
    assert all(v[0] == 0x18 for _, v in chunks[2]) and sizes[2] == len(text)
    assert b"".join(v for _, v in sorted(chunks[3])) == b"x" * 2000
    catalog = catalog_rows(data, db)
    assert (info.object_id, 4, info.lv_object_id, info.lv_root_page, b"LV") in [row[:5] for row in catalog]


def test_record_layout_and_value_forms() -> None:
    db = DatabaseBuilder(page_size=8192)
    columns = [
        Column(1, "Id", 4),
        Column(2, "Flag", 1),
        Column(3, "Short", 3),
        Column(128, "A", 10),
        Column(129, "B", 9),
        Column(130, "C", 10, codepage=1200),
        Column(256, "T", 10),
        Column(257, "L", 12, flags=0x1000),
        Column(258, "M", 9),
        Column(259, "R", 9),
    ]
    table = db.add_table("forms", columns=columns)
    record = table.encode_row(
        {
            "Id": 7,
            "Short": -2,
            "A": "ab",
            "C": "é",
            "T": Tagged(b"xy", flags=0x10),
            "L": Compressed("hello", scheme="7bit_ascii"),
            "M": MultiValue([b"one", b"three"]),
            "R": Raw(b"raw"),
        }
    )
    last_fixed, last_variable, variable_start = struct.unpack_from("<BBH", record)
    assert (last_fixed, last_variable) == (3, 130)
    assert record[4:8] == (7).to_bytes(4, "little") and record[8:9] == b"*" and record[9:11] == b"\xfe\xff"
    assert record[11] == 0b11111010  # column 2 NULL, unused bits set
    assert variable_start == 12
    assert struct.unpack_from("<3H", record, 12) == (2, 0x8002, 4)
    assert record[18:22] == b"ab\xe9\x00"
    tagged = record[22:]
    directory = [struct.unpack_from("<HH", tagged, 4 * i) for i in range(4)]
    assert [column_id for column_id, _ in directory] == [256, 257, 258, 259]
    assert [word & 0x4000 for _, word in directory] == [0x4000, 0x4000, 0x4000, 0]
    offsets = [word & 0x3FFF for _, word in directory] + [len(tagged)]
    values = [tagged[offsets[i] : offsets[i + 1]] for i in range(4)]
    assert values[0] == b"\x10xy"
    assert values[1][0] == 0x03 and decompress(values[1][1:]) == b"hello"
    assert values[2] == b"\x08" + struct.pack("<HH", 4, 7) + b"onethree"
    assert values[3] == b"raw"


def test_matches_real_engine_records(sample) -> None:
    """basic.edb's rows, and the catalog records of its table and columns, come out byte for byte."""
    with open(sample("basic.edb"), "rb") as handle:
        real = handle.read()
    db = DatabaseBuilder(page_size=4096)
    columns = [Column(cid, name, code, flags=5 if cid == 1 else 0) for cid, name, _, code, _ in BASIC_COLUMNS]
    table = db.add_table("basic", columns=columns)
    for row in BASIC_ROWS:
        table.add_row({name: value for name, value in row.items() if value is not None})
    built = db.build()
    real_catalog = [row for row in catalog_rows(real, None) if row[0] == 8 and row[1] in (1, 2)]
    mine = [row for row in catalog_rows(built, db) if row[0] == 8 and row[1] in (1, 2)]
    assert real_catalog[0][3] == 31  # the basic table's root page in the real file
    assert [row[5] for row in mine[1:]] == [row[5] for row in real_catalog[1:]]
    assert mine[0][5][:14] == real_catalog[0][5][:14] and mine[0][5][18:22] == real_catalog[0][5][18:22]
    real_rows = [record for _, record in leaf_records(real, None, 31)]
    mine_rows = [record for _, record in leaf_records(built, db, db.layout.tables["basic"].root_page)]
    assert mine_rows == real_rows


def test_damage_helpers() -> None:
    db = DatabaseBuilder(page_size=4096)
    db.add_table("t", columns=[Column(1, "Id", 4)], rows_per_page=1).add_rows({"Id": i} for i in range(5))
    data = db.build()
    info = db.layout.tables["t"]
    assert damage.truncate(data, 100) == data[:100]
    cut = damage.set_next_page(data, 4096, info.leaf_pages[0], 99999)
    assert read_page(page_of(cut, 4096, info.leaf_pages[0]), False).next == 99999
    moved = damage.set_child(data, 4096, info.root_page, 1, 3)
    assert leftmost_leaf(moved, db, info.root_page) == 3
    garbage = damage.fill_page(data, 4096, info.leaf_pages[1])
    assert page_of(garbage, 4096, info.leaf_pages[1]) == b"\xff" * 4096
    bad = damage.set_signature(data, 0xEFCDAB89)
    assert struct.unpack_from("<I", bad, 4)[0] == 0xEFCDAB89
    assert struct.unpack_from("<I", bad, 0)[0] == xor_u32(bad[8:4096])
    assert len(damage.overwrite_page(data, 4096, 2, b"abc")) == len(data)
