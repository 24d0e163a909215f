"""Crafted trees that once multiplied, hid or borrowed rows: each is read for what its bytes hold, and the
damage is counted where scan_table reports it."""

from __future__ import annotations

import pytest
from builder import Column, DatabaseBuilder, LongValue, damage

COLUMNS = [Column(1, "Id", 4), Column(256, "Blob", 11)]
CLEAN = {"bad_entries": 0, "overlapping_entries": 0, "foreign_pages": 0, "loops": 0, "unreadable_pages": 0}
CLEAN |= {"missing_long_values": {}}


def two_tables(page_size: int, rows: int = 30, **options) -> DatabaseBuilder:
    db = DatabaseBuilder(page_size=page_size)
    for name in ("a", "b"):
        t = db.add_table(name, COLUMNS, **options)
        t.add_rows({"Id": n} for n in range(1, rows + 1))
    return db


def overlapping_tags(db: DatabaseBuilder, image: bytes) -> bytes:
    """Every tag of a's first leaf after the first entry points at that entry's bytes."""
    leaf = db.layout.tables["a"].leaf_pages[0]
    size, offset, flags = damage.read_tag(image, db.page_size, leaf, 1, large=db.large)
    for tag in range(2, db.layout.tables["a"].data.leaf_entry_counts[0] + 1):
        image = damage.set_tag(
            image, db.page_size, leaf, tag, size=size, offset=offset, flags=flags, large=db.large
        )
    return image


def chain_into_b(db: DatabaseBuilder, image: bytes) -> bytes:
    a, b = db.layout.tables["a"], db.layout.tables["b"]
    return damage.set_next_page(image, db.page_size, a.leaf_pages[-1], b.leaf_pages[0])


def root_to_itself(db: DatabaseBuilder, image: bytes) -> bytes:
    root = db.layout.tables["a"].root_page
    return damage.set_child(image, db.page_size, root, 1, root, large=db.large)


@pytest.mark.parametrize("page_size", [4096, 32768])
@pytest.mark.parametrize(
    ("harm", "options", "rows", "counted"),
    [
        (overlapping_tags, {}, [1], "overlapping_entries"),
        (chain_into_b, {"rows_per_page": 10}, list(range(1, 31)), "foreign_pages"),
        (root_to_itself, {"rows_per_page": 10}, [], "loops"),
    ],
)
def test_damaged_trees_yield_only_their_own_rows_and_say_so(open_db, page_size, harm, options, rows, counted):
    db = two_tables(page_size, **options)
    ese = open_db(harm(db, db.build()))
    assert [r["Id"] for r in ese.read_table("a")] == rows
    scan = ese.scan_table("a")
    assert scan["rows"] == len(rows) and scan[counted] > 0
    assert ese.scan_table("b") == {"rows": 30, "deleted": 0, **CLEAN}


@pytest.mark.parametrize("page_size", [4096, 16384])
def test_long_values_take_each_chunk_once_and_never_pass_their_stated_size(open_db, page_size):
    db = DatabaseBuilder(page_size=page_size)
    t = db.add_table("t", COLUMNS)
    data = bytes(range(256)) * 20
    t.add_row({"Id": 1, "Blob": LongValue(data, chunk_size=700, lv_id=1)})
    for _ in range(40):  # the same keys again and again: the value must not grow with them
        t.add_long_value(LongValue(data, chunk_size=700, lv_id=1), "Blob")
    t.add_row({"Id": 2, "Blob": LongValue(data, chunk_size=700, lv_id=2, total_size=1000)})
    t.add_row({"Id": 3, "Blob": LongValue(data, chunk_size=700, lv_id=3, total_size=10**9)})
    assert open_db(db).read_table("t") == [
        {"Id": 1, "Blob": data},
        {"Id": 2, "Blob": data[:1000]},
        {"Id": 3, "Blob": data},
    ]


def test_columns_of_one_name_keep_every_value_under_distinct_keys(open_db):
    db = DatabaseBuilder(page_size=4096)
    db.add_table("t", [Column(5, "d", 4), Column(2, "d", 4), Column(7, "k", 4)]).add_row(
        {5: 1, 2: 2, "k": -1}
    )
    ese = open_db(db)
    assert [(c["id"], c["name"]) for c in ese.get_table_schema("t")] == [(2, "d"), (5, "d"), (7, "k")]
    # The higher id keeps the shared name; the other is keyed by its id, in every row view.
    assert ese.read_table("t") == list(ese.table("t").rows()) == [{"d#2": 2, "d": 1, "k": -1}]
    assert list(ese.table("t").rows(columns=["d#2"])) == [{"d#2": 2}]
    assert ese.catalog_damage["notes"] == [
        "table 't': columns that share a name are keyed 'd' (id 2) as 'd#2', 'd' (id 5) as 'd'; the JSON "
        "Lines of export_table and export_all keep only the last of each name"
    ]
