"""Arrow streams of tables (pyarrow, Polars, DuckDB read them directly) and CSV / Parquet export."""

from __future__ import annotations

import csv
import datetime
import gc
import io
import pathlib
import struct
import sys
import uuid
from concurrent.futures import ThreadPoolExecutor

import pytest
from builder import Column, Compressed, LongValue, MultiValue, Tagged, damage
from test_read_table import ALL_TYPES, one_table

from pagewright_cli.main import main

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

OLE = struct.unpack("<Q", struct.pack("<d", 45000.25))[0]  # 2023-03-15 06:00 as an OLE date
FILETIME = 133_000_000_000_000_000  # 2022-06-18 as a FILETIME
COLUMNS = [*ALL_TYPES, Column(259, "Multi", 10, flags=0x8), Column(260, "FT", 15)]
ROWS = [
    {"Bit": True, "UByte": 200, "Short": -2, "Long": -70000, "Currency": 2**64 - 5, "Single": 1.1,
     "Double": -2.5e300, "DateTime": 2**63 + 1, "ULong": 4_000_000_000, "LongLong": -1,
     "Guid": bytes(range(16)), "UShort": 65535, "ULongLong": 2**64 - 2, "Bin": b"\x00\xffbin",
     "Text": 'caf\xe9, "q"\r\nx',
     "Wide": "wide \U0001f98a", "LongBin": b"", "LongText": LongValue("long " * 900),
     "Multi": MultiValue(["a", "b,c"]), "FT": FILETIME},
    {},
    {"DateTime": OLE, "Multi": "solo", "LongBin": LongValue(b"\x02" * 3000), "Text": "\0"},
    {"DateTime": FILETIME, "Ascii": "plain", "LongText": Compressed("packed " * 9),
     "LongBin": MultiValue([b"1", b"2"])},  # a multi-value in a single-valued column: null, counted
    {"Bit": False, "UByte": 1, "Short": 1, "Long": 3, "Currency": 1, "Single": 0.5, "Double": 0.25,
     "ULong": 1, "LongLong": 2, "Guid": bytes(16), "UShort": 7},  # all fixed columns stored but DateTime
]  # fmt: skip


def normalize(value, kind):
    """A value of rows() as the Arrow column of `kind` holds it: None when it has no form of that type."""
    name = str(kind)
    if "list" in name:
        items = value if isinstance(value, list) else [value]
        return None if value is None else [normalize(v, kind.value_type) for v in items]
    if isinstance(value, uuid.UUID) or (isinstance(value, str) and "binary" in name):
        value = str(value).encode() if "binary" in name else str(value)
    fits = {"timestamp": datetime.datetime, "bool": bool, "float": float, "double": float, "binary": bytes,
            "string": str, "utf8": str}  # fmt: skip
    kinds = next((k for word, k in fits.items() if word in name), int)
    return value if isinstance(value, kinds) and (kinds is bool or not isinstance(value, bool)) else None


def check_equal(rows, table, unreadable):
    """table equals rows value for value; the values it nulls are exactly those counted as unreadable. The
    deleted marker (its own field) is left to the caller while rows() does not carry it."""
    nulled = {}
    names = [f.name for f in table.schema if not f.metadata or b"pagewright.marker" not in f.metadata]
    for row, got in zip(rows, table.select(names).to_pylist(), strict=True):
        expected = {name: normalize(row[name], table.schema.field(name).type) for name in names}
        assert got == expected
        for name in names:
            nulled[name] = nulled.get(name, 0) + (row[name] is not None and expected[name] is None)
    assert unreadable == {k: v for k, v in nulled.items() if v}
    return nulled


def consume(consumer, src):
    if consumer == "polars":
        return pytest.importorskip("polars").DataFrame(src).to_arrow()
    if consumer == "duckdb":
        result = pytest.importorskip("duckdb").sql("select * from src").arrow()  # found by its variable name
        return result.read_all() if hasattr(result, "read_all") else result
    return pa.table(src)


@pytest.mark.parametrize(
    ("consumer", "typed"), [("pyarrow", True), ("polars", True), ("duckdb", True), ("pyarrow", False)]
)
def test_consumers_read_every_type(open_db, consumer, typed) -> None:
    t = open_db(one_table(COLUMNS, ROWS, 4096)).table("t")
    options = {"typed": typed, "timestamps": {"FT": "filetime"} if typed else None}
    src = t.arrow(**options, batch_rows=3)
    table = consume(consumer, src)
    rows = list(t.rows(**options)) if typed else t.rows(typed=False)
    nulled = check_equal(list(rows), table, src.unreadable_values)
    assert nulled["DateTime"] == typed  # 2**63 + 1 is no instant; the raw view keeps it
    if typed and consumer == "pyarrow":
        assert [str(f.type) for f in table.schema][-3:] == [
            "string",
            "list<item: string>",
            "timestamp[us, tz=UTC]",
        ]
        assert table.schema.field("Text").metadata == {
            b"pagewright.column_id": b"129",
            b"pagewright.type": b"Text",
            b"pagewright.codepage": b"1252",
        }


@pytest.mark.parametrize(
    "name", ["basic.edb", "text.edb", "default.edb", "SRUDB.dat", "qmgr-win10.db", "secedit-rev12c.sdb"]
)
def test_samples_equal_rows(sample, name) -> None:
    from pagewright import EseDatabase

    with EseDatabase(sample(name)) as db:
        for t in db.tables():
            src = t.arrow(batch_rows=1000, deleted="include")
            table = pa.table(src)
            check_equal(list(t.rows(deleted="include")), table, src.unreadable_values)
            assert table.column(-1).to_pylist().count(True) == len(list(t.rows(deleted="only")))


@pytest.mark.parametrize("values", [["a", "b,c"], [b"\x01", b"x"]], ids=["text", "binary"])
def test_list_columns_of_many_elements(open_db, values) -> None:
    """A batch with more list elements than a list column first has room for (64) keeps every value."""
    kind = 10 if isinstance(values[0], str) else 9
    rows = [{"Multi": MultiValue(values * 3)} for _ in range(30)]
    t = open_db(one_table([Column(259, "Multi", kind, flags=0x8)], rows)).table("t")
    table = pa.table(t)
    table.validate(full=True)
    assert table.column("Multi").to_pylist() == [r["Multi"] for r in t.rows()] == [values * 3] * 30


def test_stream_errors_and_release(open_db, tmp_path) -> None:
    db = one_table([Column(1, "Id", 4)], [{"Id": k} for k in range(12)], 4096, rows_per_page=4)
    data = db.build()
    broken = damage.set_next_page(data, 4096, db.layout.tables["t"].leaf_pages[1], 9999)
    reader = pa.RecordBatchReader.from_stream(open_db(broken).table("t").arrow(batch_rows=4))
    assert reader.read_next_batch().column(0).to_pylist() == [0, 1, 2, 3]  # whole batches, then the error
    assert reader.read_next_batch().num_rows == 4
    with pytest.raises(OSError, match="Error reading record: Invalid page number: 9999"):
        reader.read_next_batch()
    ese = open_db(data)
    t = ese.table("t")
    half, rest = (pa.RecordBatchReader.from_stream(t.arrow(batch_rows=5)) for _ in range(2))
    half.read_next_batch()
    rest.read_next_batch()
    unread = t.__arrow_c_stream__()  # a capsule no consumer takes
    ese.close()
    del half, unread  # released half-way, and never taken
    assert rest.read_all().num_rows == 7  # a stream keeps its database open
    del rest
    gc.collect()
    fresh = open_db(data).table("t")
    for call in (t.arrow, lambda: fresh.arrow(columns=["x"]), lambda: fresh.arrow(batch_rows=0)):
        with pytest.raises(ValueError):
            call()


def test_to_arrow_and_pandas(open_db, monkeypatch, capsys, tmp_path) -> None:
    ese = open_db(one_table(COLUMNS, ROWS))
    t = ese.table("t")
    assert t.to_arrow().equals(pa.table(t))
    pytest.importorskip("pandas")
    assert t.to_pandas()["Long"].tolist()[0] == -70000
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    monkeypatch.setitem(sys.modules, "pyarrow.parquet", None)
    with pytest.raises(
        ImportError, match=r"pyarrow is required for Table.to_arrow\(\): pip install 'pagewright\[arrow\]'"
    ):
        t.to_arrow()
    assert main(["export", ese.path, str(tmp_path), "--format", "parquet"]) == 1
    assert "Parquet export needs pyarrow: pip install pyarrow" in capsys.readouterr().err
    with pytest.raises(ImportError, match="^Parquet export needs pyarrow: pip install pyarrow"):
        ese.export_rows("t", str(tmp_path / "t.parquet"), format="parquet")
    assert not list(tmp_path.glob("*.parquet"))


@pytest.mark.parametrize("fmt", ["csv", "parquet"])
def test_cli_export_formats(open_db, tmp_path, fmt) -> None:
    ese = open_db(one_table(COLUMNS, ROWS))
    assert main(["export", ese.path, str(tmp_path / "out"), "--table", "t", "--format", fmt]) == 0
    path = tmp_path / "out" / f"t.{fmt}"
    t = ese.table("t")
    if fmt == "parquet":
        written, expected = pq.read_table(path), pa.table(t)
        assert written.to_pylist() == expected.to_pylist()
        assert [f.metadata for f in written.schema] == [f.metadata for f in expected.schema]
        return
    raw = path.read_bytes()
    assert raw.count(b"\r\n") == len(ROWS) + 2  # one per row and header, one inside the quoted text
    header, *records = csv.reader(io.StringIO(raw.decode(), newline=""))
    assert header == [c.name for c in t.columns]
    first, empty, third, *_ = (dict(zip(header, r, strict=True)) for r in records)
    assert (first["Text"], first["Multi"], first["Bit"], first["Guid"]) == (
        'caf\xe9, "q"\r\nx',
        '["a","b,c"]',
        "true",
        "03020100-0504-0706-0809-0a0b0c0d0e0f",
    )
    assert (first["Bin"], first["LongBin"], empty["Text"], third["Text"]) == ("00ff62696e", "", "", "")
    assert raw.split(b"\r\n")[4].startswith(b",,,,,,,2023-03-15T06:00:00Z,")
    assert b',"",' in raw.split(b"\r\n")[4]  # an empty text is "", a null nothing


NAMED = [Column(1, "Big", 15), Column(2, "A", 4), Column(3, "A", 4), Column(128, b"x\xff", 10),
         Column(129, b"x\x00", 10), Column(130, "x%FF", 10)]  # fmt: skip
FIELDS = ["Big", "A#2", "A", "x%FF#128", "x%00", "x%FF"]


@pytest.mark.parametrize("consumer", ["pandas", "polars", "duckdb", "parquet"])
def test_frames_keep_values_and_names(open_db, tmp_path, consumer) -> None:
    """int64 beside nulls and 2**63-1 stay exact; shared and undecodable names are distinct fields, each
    holding its own column's values, and keep the raw name in their metadata; columns= gives its order."""
    first = {"Big": 2**63 - 1, 2: 1, 3: 2, b"x\xff": "a", b"x\x00": "b", "x%FF": "c"}
    rows = [first, {}, {"Big": 38702878017191937}]
    t = open_db(one_table(NAMED, rows)).table("t")
    if consumer == "pandas":
        frame = t.to_pandas()
        got = [list(frame.columns), frame["Big"].astype(object).where(frame["Big"].notna(), None).tolist(), 1]
        assert str(frame["Big"].dtype) == "int64[pyarrow]" and frame["A#2"][0] == 1
        assert list(t.to_pandas(columns=["x%FF", "Big"]).columns) == ["x%FF", "Big"]
    elif consumer == "parquet":
        pq.write_table(pa.table(t), tmp_path / "t.parquet")
        back = pq.read_table(tmp_path / "t.parquet")
        assert back.schema.field("x%FF#128").metadata[b"pagewright.raw_name"] == b"78ff"
        got = [back.column_names, back.column("Big").to_pylist(), back.column("A#2")[0].as_py()]
    else:
        table = consume(consumer, t)
        got = [table.column_names, table.column("Big").to_pylist(), table.column("A#2")[0].as_py()]
    assert got == [FIELDS, [2**63 - 1, None, 38702878017191937], 1]
    assert pa.table(t.arrow(columns=["x\x00", "A#2", "Big"])).column("x%00").to_pylist() == ["b", None, None]


def test_deleted_marker_and_missing_long_values(open_db) -> None:
    db = one_table([Column(1, "Id", 4), Column(256, "_deleted", 12)], [{"Id": k} for k in range(600)])
    db.tables["t"].add_row({"Id": 600, "_deleted": LongValue("gone", store=False)})
    image = db.build()
    leaf = db.layout.tables["t"].leaf_pages[0]
    flags = damage.read_tag(image, 8192, leaf, 2)[2]
    image = damage.set_entry_flags(image, 8192, leaf, 2, flags | 0x2, large=False)
    t = open_db(image).table("t")
    src = t.arrow(deleted="include")
    table = pa.table(src)
    assert table.schema.field(-1).name == "__deleted" and table.schema.field(-1).metadata == {
        b"pagewright.marker": b"deleted"
    }
    assert table.column("__deleted").to_pylist() == [k == 1 for k in range(601)]
    assert src.missing_long_values == {"_deleted": 1} and table.column("_deleted").null_count == 601
    assert "__deleted" not in pa.table(t).column_names


def test_one_stream_read_from_eight_threads(open_db) -> None:
    """Unserialised, concurrent get_next calls corrupt the heap here within a few rounds."""
    rows = [{"Id": k, "Name": f"name {k}" * 3} for k in range(5000)]
    t = open_db(one_table([Column(1, "Id", 4), Column(256, "Name", 10, codepage=1200)], rows)).table("t")
    for _ in range(5):
        reader = pa.RecordBatchReader.from_stream(t.arrow(batch_rows=16))
        with ThreadPoolExecutor(8) as pool:
            parts = list(pool.map(lambda _: drain(reader), range(8)))
        assert sorted(i for part in parts for i in part) == list(range(5000))


def drain(reader):
    ids = []
    while True:
        try:
            ids += reader.read_next_batch().column(0).to_pylist()
        except StopIteration:
            return ids


def test_amplification_bounds(open_db) -> None:
    """Element offsets that go back end the list (counted); a long value shared by many records is joined
    again only within the budget (32x the file); batches end at their byte budget; a huge batch_rows works."""
    body = struct.pack("<4H", 8, 1008, 8, 1008) + b"v" * 1000  # every second element would span the value
    columns = [Column(1, "Id", 4), Column(256, "Multi", 11, flags=0x8), Column(257, "Blob", 11)]
    rows = [{"Id": 0, "Multi": Tagged(body, 0x08), "Blob": LongValue(b"b" * 60_000, lv_id=7)}]
    rows += [{"Id": k, "Blob": LongValue(b"", lv_id=7, store=False)} for k in range(1, 300)]
    ese = open_db(one_table(columns, rows))
    t = ese.table("t")
    size = pathlib.Path(ese.path).stat().st_size
    src = t.arrow(batch_bytes=1 << 20)
    batches = list(pa.RecordBatchReader.from_stream(src))
    assert pa.Table.from_batches(batches).column("Multi")[0].as_py() == [b"v" * 1000, None]
    blobs = [b for r in t.rows() if (b := r["Blob"]) is not None]
    assert 32 * size - 60_000 <= len(blobs) * 60_000 <= 33 * size
    assert src.unreadable_values == {"Multi": 1, "Blob": 300 - len(blobs)}
    assert max(b.nbytes for b in batches) < (1 << 20) + 70_000 and sum(b.num_rows for b in batches) == 300
    assert pa.table(t.arrow(batch_rows=10**12)).num_rows == 300
