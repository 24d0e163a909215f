"""The catalog walk and the registry, on builder-made databases (and their damaged forms)."""

from __future__ import annotations

import struct

import pytest
from builder import (
    CatalogEntry,
    Column,
    DatabaseBuilder,
    callback_entry,
    column_entry,
    damage,
    table_entry,
)

from pagewright import EseDatabase

PAGE_SIZES = [4096, 8192, 16384, 32768]


def two_tables(page_size: int = 8192, **options) -> DatabaseBuilder:
    db = DatabaseBuilder(page_size=page_size, **options)
    for name in ("zeta", "alpha"):
        t = db.add_table(name, [Column(1, "Id", 4, flags=1), Column(128, "Name", 10)])
        t.add_row({"Id": 1, "Name": name})
    return db


@pytest.mark.parametrize("page_size", PAGE_SIZES)
@pytest.mark.parametrize("catalog_rows_per_page", [None, 3])
def test_tables_in_catalog_order_over_any_tree_shape(open_db, page_size: int, catalog_rows_per_page) -> None:
    db = DatabaseBuilder(page_size=page_size, catalog_rows_per_page=catalog_rows_per_page, catalog_fanout=3)
    names = [f"table{k:02d}" for k in range(12)]
    for name in names:
        db.add_table(name, [Column(1, "Id", 4), Column(256, "Tag", 12, codepage=1200)]).add_row({"Id": 7})
    ese = open_db(db)
    if catalog_rows_per_page:
        assert len(db.layout.catalog_branch_pages) >= 2  # a catalog of several levels
    # Catalog keys order tables by object id, which follows the order of add_table.
    assert ese.get_tables() == ["MSysObjects", *names]
    assert ese.read_table("table11") == [{"Id": 7, "Tag": None}]
    assert [c["name"] for c in ese.get_table_schema("MSysObjects")][:3] == ["ObjidTable", "Type", "Id"]


@pytest.mark.parametrize("page_size", PAGE_SIZES)
def test_catalog_records_that_describe_no_table_are_skipped(open_db, page_size) -> None:
    db = two_tables(page_size)
    db.add_catalog_entry(callback_entry(8, 99, "cb"))
    db.add_catalog_entry(CatalogEntry(8, 6, 50, name="stream"))
    db.add_catalog_entry(CatalogEntry(9, 7, 51, name="stream2"))
    db.add_catalog_entry(column_entry(4242, Column(5, "Orphan", 4)))  # no table with object id 4242
    db.tables["zeta"].add_index("ByName", key_columns=b"\x80\x00")
    for tiny in (b"", b"\x01", b"\x01\x02\x03"):  # too short to be a catalog entry
        db.add_raw_catalog_record(tiny)
    ese = open_db(db)
    assert ese.get_tables() == ["MSysObjects", "zeta", "alpha"]
    assert [c["name"] for c in ese.get_table_schema("zeta")] == ["Id", "Name"]
    assert ese.read_table("zeta") == [{"Id": 1, "Name": "zeta"}]
    catalog_names = {
        row["Name"] for row in ese.read_table("MSysObjects")
    }  # the catalog reads its own records
    assert {"zeta", "alpha", "Id", "Name", "MSysObjects", "ByName"} <= catalog_names


@pytest.mark.parametrize(
    ("record", "message"),
    [
        (column_entry(8, Column(7, "bad", 19)), "Unsupported column type: 19"),
        (CatalogEntry(8, 8, 50, name="x"), "Unsupported catalog type: 8"),
        (b"\x00" * 13, "Invalid catalog entry"),
    ],
)
@pytest.mark.parametrize("page_size", PAGE_SIZES)
def test_bad_catalog_records_fail_small_pages_and_are_skipped_on_large(
    open_db, record, message, page_size
) -> None:
    db = two_tables(page_size)
    if isinstance(record, bytes):
        db.add_raw_catalog_record(record)
    else:
        db.add_catalog_entry(record)
    if page_size <= 8192:
        with pytest.raises(OSError) as info:
            open_db(db)
        assert str(info.value) == f"Failed to open database: {message}"
    else:
        assert open_db(db).get_tables() == ["MSysObjects", "zeta", "alpha"]


def test_duplicate_table_records_keep_first_position_and_last_root(open_db) -> None:
    db = two_tables()
    db.build()
    alpha_root = db.layout.tables["alpha"].root_page
    db.add_catalog_entry(table_entry("zeta", 500, alpha_root))  # later record, same name
    ese = open_db(db)
    assert ese.get_tables() == ["MSysObjects", "zeta", "alpha"]
    # zeta now reads alpha's tree, and its columns are those registered under either object id.
    assert [row["Name"] for row in ese.read_table("zeta")] == ["alpha"]


def test_lookup_is_by_exact_bytes(open_db) -> None:
    db = two_tables(4096)
    db.add_table(b"bad\xffname", [Column(1, "Id", 4)]).add_row({"Id": 3})
    db.add_table("", [Column(1, "Id", 4)]).add_row({"Id": 4})
    ese = open_db(db)
    assert ese.get_tables() == ["MSysObjects", "zeta", "alpha", "bad\udcffname", ""]  # surrogateescape
    assert (ese.read_table("bad\udcffname"), ese.read_table("")) == ([{"Id": 3}], [{"Id": 4}])
    for name in ("Zeta", "ZETA", "zeta ", "bad\ufffdname"):
        for call in (ese.read_table, ese.get_table_schema):
            with pytest.raises(ValueError, match=f"^Table not found: {name}$"):
                call(name)


@pytest.mark.parametrize("flag", [0x40, 0x80, 0x20])
def test_catalog_leaf_flagged_as_other_tree_yields_nothing(open_db, flag: int) -> None:
    db = two_tables(4096, catalog_rows_per_page=4)
    data = db.build()
    leaves = db.layout.catalog_leaf_pages
    flags = struct.unpack_from("<I", damage.get_page(data, 4096, leaves[-1]), 36)[0]
    damaged = open_db(damage.set_page_flags(data, 4096, leaves[-1], flags | flag))
    assert len(damaged.read_table("MSysObjects")) < len(open_db(data).read_table("MSysObjects"))


def test_catalog_branch_past_end_fails_open(open_db) -> None:
    db = two_tables(4096, catalog_rows_per_page=4)
    damaged = damage.set_child(db.build(), 4096, db.layout.catalog_root, 1, 9999)
    with pytest.raises(OSError, match="^Failed to open database: Invalid page number: 9999$"):
        open_db(damaged)


@pytest.mark.parametrize("target", ["root", "self"])
def test_catalog_cycles_terminate(open_db, target: str) -> None:
    db = two_tables(4096, catalog_rows_per_page=3, catalog_fanout=2)
    data = db.build()
    branches = db.layout.catalog_branch_pages
    inner = [p for p in branches if p != db.layout.catalog_root][0]
    damaged = damage.set_child(data, 4096, inner, 1, db.layout.catalog_root if target == "root" else inner)
    ese = open_db(damaged)  # must not loop or exhaust the stack; the subtree cut off is lost
    assert 0 < len(ese.get_tables()) < 3
    assert set(ese.get_tables()) <= {"MSysObjects", "zeta", "alpha"}


def test_child_pages_above_100000_in_a_large_database(tmp_path) -> None:
    """A 160 000-page file (sparse) whose table leaf lives at page 150 000 is read."""
    page_size = 4096
    db = DatabaseBuilder(page_size=page_size)
    t = db.add_table("big", [Column(1, "Id", 4)], min_depth=2)
    t.add_row({"Id": 42})
    data = bytearray(db.build())
    layout = db.layout.tables["big"]
    (leaf,) = layout.leaf_pages
    far = 150_000
    leaf_bytes = damage.get_page(data, page_size, leaf)
    data = bytearray(damage.set_child(data, page_size, layout.root_page, 1, far))
    path = tmp_path / "sparse.edb"
    with open(path, "wb") as out:
        out.write(data)
        out.seek((far + 1) * page_size)
        out.write(leaf_bytes)
        out.truncate((160_000 + 2) * page_size)
    ese = EseDatabase(str(path))
    assert ese.total_pages == 160_000
    assert ese.read_table("big") == [{"Id": 42}]
