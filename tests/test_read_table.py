"""Reading rows: column types, record areas, compression, long values and the cursor's walk."""

from __future__ import annotations

import math
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
    damage,
    lz77_encode,
)

PAGE_SIZES = [4096, 8192, 16384, 32768]


def one_table(columns, rows, page_size=8192, **options):
    db = DatabaseBuilder(page_size=page_size)
    t = db.add_table("t", columns, **options)
    for row in rows:
        t.add_row(row)
    return db


def read_one(open_db, columns, row, page_size=8192):
    (got,) = open_db(one_table(columns, [row], page_size)).read_table("t")
    return got


ALL_TYPES = [
    Column(1, "Bit", 1), Column(2, "UByte", 2), Column(3, "Short", 3), Column(4, "Long", 4),
    Column(5, "Currency", 5), Column(6, "Single", 6), Column(7, "Double", 7), Column(8, "DateTime", 8),
    Column(9, "ULong", 14), Column(10, "LongLong", 15), Column(11, "Guid", 16), Column(12, "UShort", 17),
    Column(13, "ULongLong", 18),
    Column(128, "Bin", 9), Column(129, "Text", 10, codepage=1252), Column(130, "Wide", 10, codepage=1200),
    Column(256, "LongBin", 11), Column(257, "LongText", 12, codepage=1200),
    Column(258, "Ascii", 12, codepage=20127),
]  # fmt: skip


@pytest.mark.parametrize("page_size", PAGE_SIZES)
def test_every_column_type(open_db, page_size: int) -> None:
    row = {"Bit": True, "UByte": 200, "Short": -2, "Long": -70000, "Currency": 2**64 - 5, "Single": 1.1,
           "Double": -2.5e300, "DateTime": 2**63 + 1, "ULong": 4_000_000_000, "LongLong": -1,
           "Guid": bytes.fromhex("00112233445566778899aabbccddeeff"), "UShort": 65535, "ULongLong": 2**64 - 1,
           "Bin": b"\x00\xffbin", "Text": "caf\xe9 \u20ac", "Wide": "wide \U0001f98a",
           "LongBin": b"\x01" * 50, "LongText": "long \u00e9", "Ascii": "plain"}  # fmt: skip
    ese = open_db(one_table(ALL_TYPES, [row, {}], page_size))
    first, empty = ese.read_table("t")
    single = struct.unpack("<f", struct.pack("<f", 1.1))[0]
    assert first == dict(row, Single=single, Guid="33221100-5544-7766-8899-aabbccddeeff")
    assert empty == dict.fromkeys(row)
    assert len({c["type"] for c in ese.get_table_schema("t")}) == 17  # each type code has a name of its own


def test_nullable_column_order_and_special_floats(open_db) -> None:
    cols = [Column(257, "Z", 12), Column(1, "A", 4, flags=1), Column(3, "F", 7), Column(2, "S", 6)]
    ese = open_db(
        one_table(cols, [{"A": 1, "Z": "z", "F": math.nan, "S": math.inf}, {"F": -0.0, "S": -math.inf}])
    )
    nullable = {c["name"]: c["nullable"] for c in ese.get_table_schema("t")}
    assert nullable == {"Z": True, "A": False, "F": True, "S": True}
    first, second = ese.read_table("t")
    assert list(first) == ["A", "S", "F", "Z"]  # a row is in column id order
    assert math.isnan(first["F"]) and first["S"] == math.inf
    assert math.copysign(1, second["F"]) == -1 and second["S"] == -math.inf


def test_null_bitmap_and_columns_added_later(open_db) -> None:
    cols = [
        Column(1, "A", 4),
        Column(2, "B", 4),
        Column(3, "C", 17),
        Column(128, "V", 10),
        Column(129, "W", 10),
    ]
    first = {"A": None, "B": 5, "C": None, "V": None, "W": "w"}
    rows = open_db(one_table(cols, [first, {"A": 9}])).read_table("t")
    assert rows == [first, dict.fromkeys("ABCVW") | {"A": 9}]


@pytest.mark.parametrize("page_size", [4096, 32768])
def test_defaults_fill_absent_columns_and_a_stated_null_overrides_them(open_db, page_size: int) -> None:
    cols = [Column(1, "Id", 4), Column(2, "Fixed", 4, default=77), Column(128, "Var", 10, default="dv"),
            Column(256, "Tag", 11, default=b"tag default"), Column(257, "After", 11)]  # fmt: skip
    db = DatabaseBuilder(page_size=page_size)
    t = db.add_table("t", cols)
    t.add_raw_record(b"\x01\x7f\x09\x00\x05\x00\x00\x00\xfe")  # only Id stored: the others fall back
    t.add_row({"Id": 6, "Fixed": 1, "Var": "own", "Tag": b"own"})
    # Small pages state the null in the offset word (bit 0x2000), large pages in the flag byte (0x20).
    t.add_row({"Id": 7, "Tag": Tagged(b"", flags=0x20), "After": b"kept"})
    assert open_db(db).read_table("t") == [
        {"Id": 5, "Fixed": 77, "Var": "dv", "Tag": b"tag default", "After": None},
        {"Id": 6, "Fixed": 1, "Var": "own", "Tag": b"own", "After": None},
        {"Id": 7, "Fixed": 77, "Var": "dv", "Tag": None, "After": b"kept"},
    ]


@pytest.mark.parametrize("page_size", [4096, 32768])
def test_tagged_flags_and_multi_values(open_db, page_size: int) -> None:
    cols = [Column(256, "Multi", 10), Column(257, "MultiC", 12, codepage=1200), Column(258, "Plain", 9),
            Column(259, "Flagged", 9)]  # fmt: skip
    compressed_first = MultiValue(["first value text", "second"], compress_first="7bit_unicode")
    row = {"Multi": MultiValue([b"one", b"two"]), "MultiC": compressed_first, "Plain": Raw(b"raw!"),
           "Flagged": Tagged(b"\x10data", flags=0x10)}  # fmt: skip
    row = read_one(open_db, cols, row, page_size)
    assert isinstance(row["Multi"], bytes) and b"one" in row["Multi"] and b"two" in row["Multi"]
    assert isinstance(row["MultiC"], bytes) and "second".encode("utf-16-le") in row["MultiC"]
    assert row["Plain"] == (b"raw!" if page_size == 4096 else b"aw!")  # large pages: first byte is a flag
    assert row["Flagged"] == b"\x10data"


TEXTS = ["", "A", "AB", "abcdefg", "abcdefgh", "x" * 15, "y" * 16, "Mixed Case 123 !?", "z" * 700]
SCHEMES = [
    ("7bit_ascii", 1252),
    ("7bit_unicode", 1200),
    ("7bit_unicode", 1252),
    ("xpress", 1252),
    ("xpress", 1200),
]


@pytest.mark.parametrize("text", TEXTS)
@pytest.mark.parametrize(("scheme", "codepage"), SCHEMES)
def test_inline_compression(open_db, text: str, scheme: str, codepage: int) -> None:
    if scheme == "xpress" and not text:
        pytest.skip("an empty value is never compressed")
    cols = [Column(256, "T", 12, codepage=codepage, flags=0x1000), Column(257, "B", 11, flags=0x1000)]
    raw = text.encode("utf-16-le" if scheme == "7bit_unicode" or codepage == 1200 else "cp1252")
    row = read_one(open_db, cols, {"T": Compressed(text, scheme=scheme), "B": Compressed(raw, scheme=scheme)})
    assert row == {"T": text, "B": raw}


def xpress(size: int, stream: bytes) -> Tagged:
    return Tagged(bytes([0x18]) + struct.pack("<H", size) + stream, flags=0x02)


def test_xpress_every_length_class(open_db) -> None:
    w = Lz77Writer()
    w.literal(b"abcdefgh")
    lengths = [3, 9, 10, 24, 25, 280, 300, 1000]  # plain, nibble, byte and u16 length forms
    for length in lengths:
        w.match(8, length)
    expected = (b"abcdefgh" * 200)[: 8 + sum(lengths)]
    encoded, _ = lz77_encode(b"q" * 2000 + b"abc" * 100, force_u32=True)
    # a literal, then a match in the u32 length form stating 4 GiB: the copy stops at the stated size
    huge = struct.pack("<I", 0x40000000) + b"a" + struct.pack("<HBBHI", 7, 0x0F, 0xFF, 0, 0xFFFFFFFF)
    cols = [
        Column(256 + k, name, kind, flags=0x1000)
        for k, (name, kind) in enumerate([("B", 11), ("C", 11), ("T", 12)])
    ]
    row = {"B": xpress(len(expected), w.getvalue()), "C": xpress(2300, encoded), "T": xpress(100, huge)}
    assert read_one(open_db, cols, row) == {"B": expected, "C": b"q" * 2000 + b"abc" * 100, "T": "a" * 100}


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (b"\x18\x50\x00garbage", b"\x50\x00garbage"),  # corrupt stream: bytes after the header
        # a hostile size
        (b"\x18\xff\xff\xff\xff\xff\xff\x07\x00\x00", b"\xff\xff\xff\xff\xff\xff\x07\x00\x00"),
        (b"\x28abc", b"\x28abc"),  # unknown scheme: all bytes
        (b"", b""),
    ],
)
def test_malformed_compressed_values(open_db, value: bytes, expected: bytes) -> None:
    row = read_one(open_db, [Column(256, "B", 11, flags=0x1000)], {"B": Tagged(value, flags=0x02)})
    assert row == {"B": expected}


@pytest.mark.parametrize("page_size", PAGE_SIZES)
@pytest.mark.parametrize("order", ["asc", "reversed"])
@pytest.mark.parametrize("compress", [None, "xpress", "7bit"])
def test_long_values(open_db, page_size: int, order: str, compress) -> None:
    text = "".join(f"line {k} of a long value. " for k in range(400))
    blob = bytes(range(256)) * 20
    cols = [Column(1, "Id", 4), Column(256, "Text", 12, codepage=1200, flags=0x1000),
            Column(257, "Blob", 11, flags=0x1000)]  # fmt: skip
    lv_compress = compress if compress != "7bit" else None
    rows = [
        {"Id": k, "Text": LongValue(text + str(k), chunk_size=1000, order=order, compress=compress),
         "Blob": LongValue(blob, chunk_size=700, order=order, compress=lv_compress)}
        for k in range(5)
    ]  # fmt: skip
    got = open_db(one_table(cols, rows, page_size, lv_rows_per_page=3)).read_table("t")
    assert [(r["Text"], r["Blob"]) for r in got] == [(text + str(k), blob) for k in range(5)]


@pytest.mark.parametrize("key_compression", ["median", "lcp", "none"])
def test_large_page_long_values_with_key_prefixes(open_db, key_compression: str) -> None:
    """On large pages the tag flags sit in each entry's second byte; keys must be read with them cleared."""
    db = DatabaseBuilder(page_size=32768, key_compression=key_compression)
    t = db.add_table("t", [Column(1, "Id", 4), Column(256, "B", 11)], rows_per_page=5, lv_rows_per_page=4)
    values = [bytes([k]) * (3000 + k) for k in range(40)]
    for k, v in enumerate(values):
        t.add_row({"Id": k, "B": LongValue(v, chunk_size=1000)})
    assert [r["B"] for r in open_db(db).read_table("t")] == values


@pytest.mark.parametrize(("total_size", "length"), [(1500, 1500), (5000, 2048), (0, 0)])
def test_long_value_total_size_cuts(open_db, total_size: int, length: int) -> None:
    data = bytes(range(256)) * 8  # 2048 bytes in two chunks
    value = LongValue(data, chunk_size=1024, total_size=total_size)
    assert read_one(open_db, [Column(256, "B", 11)], {"B": value}) == {"B": data[:length]}


def test_compressed_chunks_only_in_compressed_columns(open_db) -> None:
    text = "abc " * 600
    cols = [Column(256, "Plain", 12, flags=0), Column(257, "Packed", 12, flags=0x1000)]
    value = LongValue(text, chunk_size=1200, compress="xpress")
    row = read_one(open_db, cols, {"Plain": value, "Packed": value})
    assert row["Packed"] == text
    assert row["Plain"] != text  # without the column flag, the stored chunks are taken as they are


def test_dangling_and_unreadable_long_values(open_db) -> None:
    cols = [Column(256, "T", 12), Column(257, "B", 11), Column(258, "M", 11, flags=8)]
    gone = {"T": LongValue("gone", store=False), "B": LongValue(b"gone", store=False)}
    gone["M"] = MultiValue([b"a", LongValue(b"q", store=False)])
    db = one_table(cols, [gone, {"T": LongValue("x" * 3000), "B": Tagged(b"\x01\x02\x03", flags=0x04)}])
    ese = open_db(db)
    got = [{k: row[k] for k in "TB"} for row in ese.read_table("t")]
    assert got == [{"T": "", "B": b""}, {"T": "x" * 3000, "B": b""}]  # 3 bytes: no id
    # Counted where they are found (the scan reads no value), and null in the typed view.
    rows = ese.table("t").rows()
    assert [row["M"] for row in rows] == [[b"a", None], None]
    missing = {"T": 1, "B": 2, "M": 1}
    assert ese.scan_table("t")["missing_long_values"] == rows.damage["missing_long_values"] == missing
    no_tree = damage.overwrite_page(db.build(), 8192, db.layout.tables["t"].lv_root_page, b"")
    assert open_db(no_tree).read_table("t")[1]["T"] == ""  # a root that is no page of a tree
    db = one_table([Column(256, "B", 11)], [{"B": LongValue(b"z" * 3000, lv_id=7)}])
    db.tables["t"].override_lv_catalog(coltyp_or_fdp=99999)  # a tree past the end: the reference is kept
    ese = open_db(db)
    assert ese.read_table("t") == [{"B": struct.pack("<I", 7)}]
    assert ese.scan_table("t")["missing_long_values"] == {"B": 1}


def test_many_long_values(open_db) -> None:
    rows = [{"Id": k, "B": LongValue(b"%06d" % k * 200)} for k in range(3000)]
    got = open_db(one_table([Column(1, "Id", 4), Column(256, "B", 11)], rows, 4096)).read_table("t")
    assert [r["B"] for r in got] == [b"%06d" % k * 200 for k in range(3000)]


@pytest.mark.parametrize("page_size", PAGE_SIZES)
@pytest.mark.parametrize("rows_per_page", [1, 3, None])
def test_multi_level_trees_in_order(open_db, page_size: int, rows_per_page) -> None:
    rows = [{"Id": k, "S": f"row {k}"} for k in range(200)]
    cols = [Column(1, "Id", 4), Column(128, "S", 10)]
    db = one_table(cols, rows, page_size, rows_per_page=rows_per_page, fanout=3)
    assert open_db(db).read_table("t") == rows


def test_root_leaf_and_single_tag_branch_root(open_db) -> None:
    db = one_table([Column(1, "Id", 4)], [{"Id": 1}], 4096)
    assert open_db(db).read_table("t") == [{"Id": 1}]
    data, root = db.build(), db.layout.tables["t"].root_page
    leaf_flags = struct.unpack_from("<I", damage.get_page(data, 4096, root), 36)[0]
    as_branch = damage.set_page_flags(data, 4096, root, leaf_flags & ~0x2)
    with pytest.raises(OSError, match="^Parse error: Branch entry has invalid child page number"):
        open_db(as_branch).read_table("t")  # its record is no branch entry
    lone_branch = damage.set_tag_count(as_branch, 4096, root, 1)
    assert open_db(lone_branch).read_table("t") == []  # a branch with only tag 0: no rows, no next page


def test_empty_tables_and_short_records(open_db) -> None:
    db = DatabaseBuilder(page_size=4096)
    db.add_table("empty", [Column(1, "Id", 4)])
    nocols = db.add_table("nocols", [])
    for raw in (b"\x00\x7f\x04\x00", b""):
        nocols.add_raw_record(raw)
    t = db.add_table("t", [Column(1, "A", 4), Column(128, "V", 10), Column(256, "T", 10)])
    for raw in (b"", b"\x01", b"\x01\x80\x04", b"\x01\x80\xff\xff\x07\x00\x00\x00", b"\xff\xff\xff\xff"):
        t.add_raw_record(raw)
    ese = open_db(db)
    assert (ese.read_table("empty"), ese.read_table("nocols")) == ([], [{}, {}])
    rows = ese.read_table("t")
    assert len(rows) == 5 and all(list(r) == ["A", "V", "T"] for r in rows)
    assert rows[0] == rows[1] == rows[2] == {"A": None, "V": None, "T": None}


def test_next_page_past_end_and_cycles(open_db) -> None:
    db = one_table([Column(1, "Id", 4)], [{"Id": k} for k in range(12)], 4096, rows_per_page=4)
    data, leaves = db.build(), db.layout.tables["t"].leaf_pages
    with pytest.raises(OSError) as info:
        open_db(damage.set_next_page(data, 4096, leaves[1], 9999)).read_table("t")
    assert type(info.value) is OSError
    assert str(info.value) == "Error reading record: Invalid page number: 9999"
    for source, target, count in ((2, 0, 12), (2, 2, 12), (0, 0, 4)):
        looped = damage.set_next_page(data, 4096, leaves[source], leaves[target])
        assert [r["Id"] for r in open_db(looped).read_table("t")] == list(range(count))


def test_unreadable_entries_are_skipped(open_db) -> None:
    db = one_table([Column(1, "Id", 4)], [{"Id": k} for k in range(6)], 4096, rows_per_page=6)
    data, (leaf,) = db.build(), db.layout.tables["t"].leaf_pages
    bad = damage.set_tag(data, 4096, leaf, 3, offset=4096 - 40 - 2, size=50)
    assert [r["Id"] for r in open_db(bad).read_table("t")] == [0, 1, 3, 4, 5]
    assert open_db(damage.set_page_flags(data, 4096, leaf, 0x2883)).read_table("t") == []  # a long-value page


def test_large_page_records_with_4096_tagged_values(open_db) -> None:
    cols = [Column(1, "Id", 4)] + [Column(256 + k, f"c{k}", 2) for k in range(4096)]
    row = {"Id": 1} | {f"c{k}": k & 0xFF for k in range(4096)}
    assert read_one(open_db, cols, row, 32768) == row
