"""LZ4 values decoded; values compressed in schemes not decoded, corrupt or encrypted: null in the typed
views, the stored bytes in the raw one, and counted by reason where rows and Arrow streams report."""

from __future__ import annotations

import pytest
from builder import Column, Compressed, DatabaseBuilder, LongValue, MultiValue, Tagged
from builder.compress import compress

TEXT = "".join(f"entry {n}: C:\\Windows\\System32\\svchost.exe -k netsvcs; " for n in range(60))
MIXED = b"abc" * 7 + bytes(range(40)) + b"abc" * 300  # literals past 15, matches past 19, overlapping
LZ4_DATA = [b"", b"a" * 1000, TEXT.encode(), bytes(range(256)) * 3, MIXED]
X9, X10 = compress(b"x" * 40, "xpress9"), compress(b"x" * 40, "xpress10")
COLUMNS = [
    Column(1, "Id", 4),
    Column(256, "Lz4", 11, flags=0x1000),
    Column(257, "LongLz4", 12, codepage=1252, flags=0x1000),
    Column(258, "X9", 12, codepage=1252, flags=0x1000),
    Column(259, "X10", 11, flags=0x1000),
    Column(260, "Corrupt", 11, flags=0x1000),
    Column(261, "Secret", 12, codepage=1200, flags=0x2000),
    Column(262, "LongSecret", 11, flags=0x2000),
    Column(263, "LongX9", 12, codepage=1252, flags=0x1000),
    Column(264, "Multi", 12, codepage=1252, flags=0x1000 | 0x8),
    Column(265, "LongScrubbed", 11, flags=0x1000),
]
ROW = {
    "Id": 1,
    "Lz4": Compressed(MIXED, scheme="lz4"),
    "LongLz4": LongValue(TEXT, chunk_size=1000, compress="lz4"),
    "X9": Tagged(X9, flags=0x02),
    "X10": Tagged(X10, flags=0x02),
    "Corrupt": Tagged(b"\x38\x40\x00\xf0", flags=0x02),  # 15+ literals stated, none stored
    "Secret": Tagged(b"\x12ciphertext", flags=0x01),
    "LongSecret": LongValue(b"\x13" * 3000),
    "LongX9": LongValue(TEXT, chunk_size=1000, compress="xpress9"),
    "Multi": MultiValue(["first", "second"], compress_first="scrubbed"),
    "LongScrubbed": LongValue(b"\x01" * 4000, chunk_size=1000, compress="scrubbed"),
}
REASONS = {
    "X9": {"xpress9": 1},
    "X10": {"xpress10": 1},
    "Corrupt": {"corrupt_compression": 1},
    "Secret": {"encrypted": 1},
    "LongSecret": {"encrypted": 1},
    "LongX9": {"xpress9": 1},
    "LongScrubbed": {"scrubbed": 1},
}


@pytest.mark.parametrize("data", LZ4_DATA)
def test_lz4_values_decode(open_db, data: bytes) -> None:
    db = DatabaseBuilder(page_size=8192)
    db.add_table("t", [Column(256, "B", 11, flags=0x1000)]).add_row({"B": Compressed(data, scheme="lz4")})
    assert open_db(db).read_table("t") == [{"B": data}]


@pytest.mark.parametrize("page_size", [4096, 32768])
def test_unreadable_values_are_null_and_counted(open_db, page_size: int) -> None:
    db = DatabaseBuilder(page_size=page_size)
    db.add_table("t", COLUMNS).add_row(ROW)
    ese = open_db(db)
    (raw,) = ese.read_table("t")
    assert (raw["Lz4"], raw["LongLz4"]) == (MIXED, TEXT)
    assert (raw["X9"], raw["X10"], raw["Secret"]) == (X9, X10, b"\x12ciphertext")  # the stored bytes
    assert raw["LongSecret"] == b"\x13" * 3000 and raw["Corrupt"] == b"\x38\x40\x00\xf0"

    table = ese.table("t")
    rows = table.rows()
    (typed,) = rows
    assert (typed["Lz4"], typed["LongLz4"], typed["Multi"]) == (MIXED, TEXT, [None, "second"])
    assert all(typed[name] is None for name in REASONS)
    assert rows.unreadable_reasons == {**REASONS, "Multi": {"scrubbed": 1}}

    pa = pytest.importorskip("pyarrow")
    source = table.arrow()
    arrow = pa.table(source).to_pylist()[0]
    assert all(arrow[name] is None for name in REASONS) and arrow["LongLz4"] == TEXT
    assert source.unreadable_reasons == {**REASONS, "Multi": {"scrubbed": 1}}
    assert source.unreadable_values == dict.fromkeys([*REASONS, "Multi"], 1)
    raw_arrow = table.arrow(typed=False)  # an Arrow column holds values of its type: null in both views
    assert pa.table(raw_arrow).to_pylist()[0]["Secret"] is None and raw_arrow.unreadable_values["X9"] == 1


def test_lz4_streams_hostile(open_db) -> None:
    cases = [
        b"\x38\x05\x00\x10a\x00\x00",  # offset 0
        b"\x38\x05\x00\x10a\x09\x00",  # offset before the output
        b"\x38\xff\xff\xff" + b"\xff" * 64,  # a literal length that never ends within the input
        b"\x38\x0a\x00\x1fa\x01\x00" + b"\xff" * 40 + b"\x07",  # a huge match, cut at the stated size
    ]
    db = DatabaseBuilder(page_size=8192)
    table = db.add_table("t", [Column(256 + k, f"c{k}", 11, flags=0x1000) for k in range(len(cases))])
    table.add_row({f"c{k}": Tagged(v, flags=0x02) for k, v in enumerate(cases)})
    t = open_db(db).table("t")
    rows = t.rows()
    assert list(rows) == [{"c0": None, "c1": None, "c2": None, "c3": b"a" * 10}]
    assert rows.unreadable_reasons == {f"c{k}": {"corrupt_compression": 1} for k in range(3)}
