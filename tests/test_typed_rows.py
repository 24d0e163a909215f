"""Table objects and the typed view: timestamp readings, signed types, GUIDs, multi-values, deleted entries,
projection, and a database closed under a live iterator."""

from __future__ import annotations

import datetime
import struct
import uuid

import pytest
from builder import Column, DatabaseBuilder, LongValue, MultiValue, Raw, damage

UTC = datetime.UTC
OLE_2020 = struct.pack("<d", 43900.5)  # 2020-03-10 12:00 as an OLE date
FILETIME_2020 = struct.pack("<Q", 132282720000000000)  # 2020-03-10 00:00 as a FILETIME
WEB_CACHE = struct.pack("<q", 132282720000000000)  # a FILETIME in a Long long column
COLUMNS = [
    Column(1, "Id", 4),
    Column(2, "When", 8),
    Column(3, "Money", 5),
    Column(4, "Big", 15),
    Column(5, "Guid", 16),
    Column(128, "Name", 10),
    Column(256, "Tags", 10, flags=0x8),
    Column(257, "Numbers", 4, flags=0x8),
    Column(258, "Notes", 12, codepage=1200, flags=0x8),
]
GUID = "3f360af1-6766-46dc-9af2-0dacf295c2a1"


def database(page_size: int = 4096) -> DatabaseBuilder:
    db = DatabaseBuilder(page_size=page_size)
    t = db.add_table("t", COLUMNS)
    t.add_row(
        {
            "Id": 1,
            "When": Raw(OLE_2020),
            "Money": -5,
            "Big": Raw(WEB_CACHE),
            "Guid": GUID,
            "Name": "ab\0\0",
            "Tags": MultiValue(["x", "yz"]),
            "Numbers": MultiValue([7, -1], form="two"),
            "Notes": MultiValue(
                ["compressed " * 9, LongValue("separate " * 400)], compress_first="7bit_unicode"
            ),
        }
    )
    t.add_row({"Id": 2, "When": Raw(FILETIME_2020)})
    t.add_row({"Id": 3, "When": Raw(b"\xff" * 8)})  # no reading accepts it
    t.add_row({"Id": 4})
    return db


@pytest.mark.parametrize("page_size", [4096, 32768])
def test_typed_values(open_db, page_size):
    rows = list(open_db(database(page_size)).table("t").rows(timestamps={"Big": "filetime"}))
    first = rows[0]
    assert first["When"] == datetime.datetime(2020, 3, 10, 12, tzinfo=UTC)
    assert (first["Money"], first["Big"], first["Guid"]) == (
        -5,
        datetime.datetime(2020, 3, 10, tzinfo=UTC),
        uuid.UUID(GUID),
    )
    assert (first["Name"], first["Tags"], first["Numbers"]) == ("ab", ["x", "yz"], [7, -1])
    assert first["Notes"] == ["compressed " * 9, "separate " * 400]
    assert [r["When"] for r in rows[1:]] == [datetime.datetime(2020, 3, 10, tzinfo=UTC), 2**64 - 1, None]


@pytest.mark.parametrize(
    ("reading", "expected"),
    [
        ("ole", datetime.datetime(2020, 3, 10, 12, tzinfo=UTC)),
        ("raw", struct.unpack("<Q", OLE_2020)[0]),
        ("unix", struct.unpack("<Q", OLE_2020)[0]),
    ],  # seconds far past the year 9999 stay an integer
)
def test_forced_readings(open_db, reading, expected):
    rows = open_db(database()).table("t").rows(columns=["When"], timestamps={"When": reading}, typed=True)
    assert next(rows) == {"When": expected}


def test_untyped_rows_are_read_table_rows_and_projection_limits_keys(open_db):
    ese = open_db(database())
    table = ese.table("t")
    assert list(table.rows(typed=False)) == ese.read_table("t")
    first = next(table.rows(columns=["Name", "Id", "Name"]))  # in the order asked, each once
    assert list(first.items()) == [("Name", "ab"), ("Id", 1)]
    assert next(table.rows(columns="Name")) == {"Name": "ab"}  # a str is one name
    listed = r"\(the columns of table 't': Id, When, Money, Big, Guid, Name, Tags, Numbers, Notes\)$"
    for bad in ("nope", ["Id", "nope"]):
        with pytest.raises(ValueError, match="^Column not found: nope " + listed):
            table.rows(columns=bad)
    for column in ("Id", "Guid", "Name"):  # no 8-byte values: a reading cannot apply
        with pytest.raises(ValueError, match=rf"^rows\(\): timestamps: column '{column}' is of type .*, not"):
            table.rows(timestamps={column: "filetime"})


@pytest.mark.parametrize(("mode", "ids"), [("exclude", [1, 4]), ("only", [2, 3]), ("include", [1, 2, 3, 4])])
def test_deleted_entries(open_db, mode, ids):
    db = database()
    image = db.build()
    leaf = db.layout.tables["t"].leaf_pages[0]
    for tag in (2, 3):
        flags = damage.read_tag(image, 4096, leaf, tag)[2]
        image = damage.set_entry_flags(image, 4096, leaf, tag, flags | 0x2, large=False)
    table = open_db(image).table("t")
    assert [r["Id"] for r in table.rows(deleted=mode)] == ids
    assert len(table) == table.count() == 2


def test_schema_objects_and_closing(open_db):
    ese = open_db(database())
    table = ese.table("t")
    notes = table.columns[-1]
    assert (notes.kind, notes.codepage, notes.multi_valued, notes.type) == ("tagged", 1200, True, "Long Text")
    assert [t.name for t in ese.tables()][-1] == "t"
    rows = table.rows()
    assert next(rows)["Id"] == 1
    ese.close()
    for call in (lambda: next(rows), table.count, lambda: ese.table("t")):
        with pytest.raises(ValueError, match="closed"):
            call()


def test_samples_typed(sample):
    from pagewright import EseDatabase

    srum = EseDatabase(sample("SRUDB.dat"))
    first = next(iter(srum.table("{D10CA2FE-6FCF-4F6D-848E-B2E99266FA89}")))
    assert first["TimeStamp"] == datetime.datetime(2021, 11, 16, 19, 18, tzinfo=UTC)
    basic = list(EseDatabase(sample("basic.edb")).table("basic"))
    assert (basic[0]["LongLong"], basic[1]["Currency"], basic[0]["GUID"]) == (
        -13371337,
        -1339133913391339,
        uuid.UUID("3f360af1-6766-46dc-9af2-0dacf295c2a1"),
    )
    header = srum.header
    assert (header["state_name"], header["page_size"], header["checksum_ok"]) == (
        "clean shutdown",
        4096,
        True,
    )


def filetime(*when: int) -> bytes:
    ticks = (datetime.datetime(*when, tzinfo=UTC) - datetime.datetime(1601, 1, 1, tzinfo=UTC)) // (
        datetime.timedelta(microseconds=1)
    )
    return struct.pack("<Q", ticks * 10)


@pytest.mark.parametrize(
    ("stored", "expected"),
    [  # the automatic reading's edges: OLE dates from 1900 and FILETIMEs from 1970, both before 2200
        (struct.pack("<d", 2.0), datetime.datetime(1900, 1, 1, tzinfo=UTC)),
        (struct.pack("<d", 109574.5), datetime.datetime(2199, 12, 31, 12, tzinfo=UTC)),
        (struct.pack("<d", 109575.0), struct.unpack("<Q", struct.pack("<d", 109575.0))[0]),
        (filetime(1970, 1, 1), datetime.datetime(1970, 1, 1, tzinfo=UTC)),
        (filetime(1969, 12, 31, 23, 59, 59), struct.unpack("<Q", filetime(1969, 12, 31, 23, 59, 59))[0]),
        (filetime(2199, 12, 31, 23, 59, 59), datetime.datetime(2199, 12, 31, 23, 59, 59, tzinfo=UTC)),
        (filetime(2200, 1, 1), struct.unpack("<Q", filetime(2200, 1, 1))[0]),
    ],
)
def test_automatic_reading_edges(open_db, stored, expected):
    db = DatabaseBuilder()
    db.add_table("t", [Column(1, "When", 8)]).add_row({"When": Raw(stored)})
    assert next(open_db(db).table("t").rows()) == {"When": expected}
