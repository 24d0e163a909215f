"""The real engine-written samples: every value their facts list must come back exactly."""

from __future__ import annotations

import hashlib

import pytest
from sample_facts import BASIC_COLUMNS, BASIC_ROWS

from pagewright import EseDatabase

FOX = "\U0001f98a"

SYSTEM_TABLES = ["MSysObjects", "MSysObjectsShadow", "MSysObjids", "MSysLocales"]


def test_basic(sample) -> None:
    db = EseDatabase(sample("basic.edb"))
    assert db.get_tables() == [*SYSTEM_TABLES, "basic"]
    schema = db.get_table_schema("basic")
    assert [(c["id"], c["name"], c["type"], c["nullable"]) for c in schema] == [
        (cid, name, type_name, nullable) for cid, name, type_name, _, nullable in BASIC_COLUMNS
    ]
    assert all(list(c) == ["name", "type", "id", "nullable"] for c in schema)
    rows = db.read_table("basic")
    assert rows == BASIC_ROWS
    assert all(type(row["IEEESingle"]) is float for row in rows)
    assert [len(db.read_table(t)) for t in ("MSysObjects", "MSysObjids", "MSysLocales")] == [87, 7, 7]


def test_text(sample) -> None:
    db = EseDatabase(sample("text.edb"))
    (row,) = db.read_table("text")
    a = "a"
    expected = {
        "Id": 1,
        "FixedASCII": "Fixed ASCII text".ljust(255),
        # 255 bytes of UTF-16LE: 127 code units (two for the fox), then an odd last byte read as U+FFFD
        "FixedUnicode": f"Fixed Unicode text {FOX}".ljust(126) + "\ufffd",
        "NullableFixedASCII": None,
        "NullableFixedUnicode": None,
        "ASCII": "Simple ASCII text",
        "Unicode": f"Simple Unicode text {FOX}",
        "NullableASCII": None,
        "NullableUnicode": None,
        "MaxASCII": "Max ASCII text that can't be that long",
        "MaxUnicode": f"Max Unicode text that can't be that long {FOX}",
        "TaggedASCII": "Tagged ASCII text",
        "TaggedUnicode": f"Tagged Unicode text {FOX}",
        "NullableTaggedASCII": None,
        "NullableTaggedUnicode": None,
        "LongASCII": "Long ASCII text " + a * 1024,
        "LongUnicode": f"Long Unicode text {FOX} " + a * 1024,
        "LongCompressedASCII": "Long compressed ASCII text " + a * 1024,
        "LongCompressedUnicode": f"Long compressed Unicode text {FOX} " + a * 1024,
        "LongTinyASCII": "Tiny ASCII",
        "LongTinyUnicode": f"Tiny {FOX}",
        "LongTinyCompressedASCII": "Tiny c ASCII",
        "LongTinyCompressedUnicode": f"Tiny c {FOX}",
        "MaxLongASCII": "Max long ASCII text that can be a bit longer " + a * 900,
        "MaxLongUnicode": f"Max long Unicode text that can be a bit longer {FOX} " + a * 900,
        "MaxLongCompressedASCII": "Max long compressed ASCII text that can be a bit longer " + a * 900,
        "MaxLongCompressedUnicode": f"Max long compressed Unicode text that can be a bit longer {FOX} "
        + a * 900,
    }
    assert row == expected
    columns = db.table("text").columns[1:]  # after Id: codepage by name, and the compression flag
    assert [(c.codepage, c.compressed) for c in columns] == [
        (1200 if "Unicode" in c.name else 1252, "Compressed" in c.name) for c in columns
    ]


def test_default(sample) -> None:
    db = EseDatabase(sample("default.edb"))
    (row,) = db.read_table("default")
    assert row == {
        "Id": 1, "Bit": True, "UnsignedByte": 69, "Short": 4660, "Long": 305419896,
        "Currency": 1311768467463790320, "IEEESingle": 1.0, "IEEEDouble": 2.0,
        "DateTime": 4676395301378981888, "UnsignedLong": 12345678, "LongLong": 211114263433229,
        "GUID": "c001d00d-dead-beef-face-feeddeadbeef", "UnsignedShort": 61453,
        "Binary": b"Short default binary", "ASCII": "Short default ASCII",
        "Unicode": f"Short default Unicode {FOX}",
        "LongBinary": b"Long default binary " + b"a" * 200, "LongASCII": "Long default ASCII " + "a" * 200,
        "LongUnicode": f"Long default Unicode {FOX} " + "a" * 64,
    }  # fmt: skip


SRUM_TABLES = {
    "MSysObjects": 161, "MSysObjectsShadow": 161, "MSysObjids": 28, "MSysLocales": 7, "SruDbIdMapTable": 106,
    "SruDbCheckpointTable": 0, "{17F4D97B-F26A-5E79-3A82-90040A47D13D}": 6,
    "{841A7317-3805-518B-C2EA-AD224CB4AF84}": 3, "{D10CA2FE-6FCF-4F6D-848E-B2E99266FA89}": 203,
    "{DC3D3B50-BB90-5066-FA4E-A5F90DD8B677}": 3, "{DD6636C4-8929-4683-974E-22C046A43763}": 3,
    "{EEE2F477-0659-5C47-EF03-6D6BEFD441B3}": 2,
}  # fmt: skip


def test_srudb(sample) -> None:
    db = EseDatabase(sample("SRUDB.dat"))
    assert db.get_tables() == list(SRUM_TABLES)
    assert {t: len(db.read_table(t)) for t in SRUM_TABLES} == SRUM_TABLES
    idmap = db.read_table("SruDbIdMapTable")
    assert [(c["id"], c["name"], c["type"]) for c in db.get_table_schema("SruDbIdMapTable")] == [
        (1, "IdType", "Unsigned byte"),
        (2, "IdIndex", "Signed long"),
        (256, "IdBlob", "Long Binary"),
    ]
    assert idmap[0] == {"IdType": 0, "IdIndex": 1, "IdBlob": None}
    assert (idmap[2]["IdType"], idmap[2]["IdIndex"]) == (4, 3)
    assert idmap[2]["IdBlob"].startswith("6cb9f58e-0000-0000-".encode("utf-16-le"))
    usage = db.read_table("{D10CA2FE-6FCF-4F6D-848E-B2E99266FA89}")[0]
    assert len(usage) == 19
    named = {"AutoIncId": 55, "TimeStamp": 4676351156559788988, "AppId": 19, "UserId": 65,
             "ForegroundCycleTime": 68229922, "FaceTime": 157506984,
             "ForegroundContextSwitches": 166}  # fmt: skip
    assert {k: usage[k] for k in named} == named
    assert all(v == 0 for k, v in usage.items() if k not in named)


@pytest.mark.parametrize(
    ("name", "tables", "counts"),
    [
        ("qmgr-win10.db", ["Jobs", "Files"], [82, 82, 10, 7, 1, 1]),
        (
            "secedit-rev12c.sdb",
            ["SmTblVersion", "SmTblSection", "SmTblScp", "SmTblSmp", "SmTblScp2", "SmTblGpo"],
            [110, 110, 17, 7, 1, 15, 0, 1, 0, 0],
        ),
    ],
)
def test_modern_samples_count_only_live_tags(sample, name: str, tables: list[str], counts: list[int]) -> None:
    db = EseDatabase(sample(name))
    assert db.get_tables() == [*SYSTEM_TABLES, *tables]
    assert [len(db.read_table(t)) for t in db.get_tables()] == counts


@pytest.mark.parametrize(
    ("table", "guid", "size", "sha1"),
    [
        ("Jobs", "266504ac-d974-446c-96ad-2be13a5665b0", 2055, "09fa09ba30b4"),
        ("Files", "95d6889c-b2d3-4748-8eb1-9da0650cb892", 1072, "058179c2901e"),
    ],
)
def test_qmgr_long_values_under_8_byte_ids(sample, table: str, guid: str, size: int, sha1: str) -> None:
    (row,) = EseDatabase(sample("qmgr-win10.db")).read_table(table)
    assert (row["Id"], len(row["Blob"]), hashlib.sha1(row["Blob"]).hexdigest()[:12]) == (guid, size, sha1)


def test_secedit_values(sample) -> None:
    db = EseDatabase(sample("secedit-rev12c.sdb"))
    names = [r["Name"].decode("utf-16-le") for r in db.read_table("SmTblSection")]
    assert names[:3] == ["account profiles", "application log", "ds security"] and names[-1] == "user list"
    (smp,) = db.read_table("SmTblSmp")
    assert (smp["SectionID"], hashlib.sha1(smp["Value"]).hexdigest()[:12]) == (2, "3e671991a37f")


@pytest.mark.parametrize("name", ["basic.edb", "text.edb", "default.edb", "SRUDB.dat"])
def test_rows_have_every_column_in_id_order(sample, name: str) -> None:
    db = EseDatabase(sample(name))
    for table in db.get_tables():
        by_id = [c["name"] for c in sorted(db.get_table_schema(table), key=lambda c: c["id"])]
        for row in db.read_table(table):
            assert list(row) == by_id
