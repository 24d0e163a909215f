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
from builder.readback import read_page

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
    ("record", "skipped", "bad_entries"),
    [
        (CatalogEntry(8, 256, 50, name="x"), {256: 1}, 0),  # of a type no engine writes (NTDS temp.edb)
        (CatalogEntry(8, 0, 50, name="x"), {0: 1}, 0),
        (b"\x00" * 13, {}, 1),  # too short to be a record
        (CatalogEntry(9, 2, 7, coltyp_or_fdp=4, name="cut").encode()[:24], {2: 1}, 0),  # no name
    ],
    ids=["type 256", "type 0", "13 bytes", "no name"],
)
@pytest.mark.parametrize("page_size", PAGE_SIZES)
def test_a_bad_catalog_record_costs_only_itself(open_db, record, skipped, bad_entries, page_size) -> None:
    db = two_tables(page_size)
    db.add_raw_catalog_record(record) if isinstance(record, bytes) else db.add_catalog_entry(record)
    # A column of a type code no engine writes keeps its place: its values are its stored bytes.
    columns = [Column(1, "Id", 4), Column(2, "Odd", 19, space_usage=3), Column(3, "After", 4)]
    odd = db.add_table("odd", columns)
    odd.add_row({"Id": 1, "Odd": b"\x01\x02\x03", "After": 7})
    ese = open_db(db)
    assert ese.get_tables() == ["MSysObjects", "zeta", "alpha", "odd"]
    assert ese.read_table("odd") == [{"Id": 1, "Odd": b"\x01\x02\x03", "After": 7}]
    damage = ese.catalog_damage
    assert (damage["skipped_records"], damage["bad_entries"], damage["error"]) == (skipped, bad_entries, None)
    assert damage["notes"] == [
        "table 'odd': column 'Odd' (id 2) has type code 19, which no engine writes: its values are given as "
        "their stored bytes"
    ]


def test_two_table_records_of_one_name_are_two_tables(open_db) -> None:
    db = two_tables()
    db.build()
    alpha_root = db.layout.tables["alpha"].root_page
    db.add_catalog_entry(table_entry("zeta", 500, alpha_root))  # later record, same name
    ese = open_db(db)
    # The later keeps the name (and reads alpha's tree, without columns: none name its object id).
    assert ese.get_tables() == ["MSysObjects", "zeta#8", "alpha", "zeta"]
    assert ese.read_table("zeta#8") == [{"Id": 1, "Name": "zeta"}] and ese.read_table("zeta") == [{}]
    assert ese.catalog_damage["notes"][0].startswith("two table records share the name 'zeta'")


def test_a_table_derived_from_a_template_says_so(open_db) -> None:
    db = two_tables()
    db.add_table("Derived", [Column(1, "Id", 4)], template="Template\xe9").add_row({"Id": 3})
    ese = open_db(db)
    assert ese.read_table("Derived") == [{"Id": 3}] and "Derived" in ese.get_tables()
    assert ese.catalog_damage["notes"] == [
        "table 'Derived' is derived from the template table 'Template\xe9': the columns it takes from the "
        "template are not read, and its own fixed and variable columns may be read from the wrong place"
    ]


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


def test_catalog_branch_past_end_costs_its_subtree(open_db) -> None:
    db = two_tables(4096, catalog_rows_per_page=4)
    data, root = db.build(), db.layout.catalog_root
    last = len(read_page(damage.get_page(data, 4096, root), False).tags) - 1
    ese = open_db(damage.set_child(data, 4096, root, last, 9999))  # the subtree with alpha's records
    assert ese.get_tables() == ["MSysObjects", "zeta"]
    catalog = ese.catalog_damage
    assert (catalog["unreadable_pages"], catalog["error"]) == (1, "Invalid page number: 9999")  # not a cut
    # A catalog that gives no table at all fails the open with its error.
    for tag in range(1, last + 1):
        data = damage.set_child(data, 4096, root, tag, 9999)
    with pytest.raises(OSError, match="^Failed to open database: Invalid page number: 9999$"):
        open_db(data)


@pytest.mark.parametrize("target", ["root", "self"])
def test_catalog_cycles_terminate(open_db, target: str) -> None:
    db = two_tables(4096, catalog_rows_per_page=3, catalog_fanout=2)
    data = db.build()
    branches = db.layout.catalog_branch_pages
    inner = [p for p in branches if p != db.layout.catalog_root][0]
    damaged = damage.set_child(data, 4096, inner, 1, db.layout.catalog_root if target == "root" else inner)
    ese = open_db(damaged)  # must not loop or exhaust the stack; the subtree cut off is lost, and counted
    assert 0 < len(ese.get_tables()) < 3
    assert set(ese.get_tables()) <= {"MSysObjects", "zeta", "alpha"} and ese.catalog_damage["loops"] == 1


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
