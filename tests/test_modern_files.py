"""Newer engines' on-disk forms: reserved tags and stale slots, 8-byte long-value ids, deleted catalog
definitions, and long values found by id past a damaged leaf."""

from __future__ import annotations

import pytest
from builder import Column, DatabaseBuilder, LongValue, Tagged, column_entry, damage, table_entry
from builder.entries import leaf_entry
from builder.readback import read_page
from builder.table import row_key

PAGE_SIZES = [4096, 8192, 16384, 32768]
COLUMNS = [Column(1, "Id", 4), Column(256, "Note", 12, codepage=1200)]


@pytest.mark.parametrize("page_size", PAGE_SIZES)
@pytest.mark.parametrize(
    ("reserved", "nibble", "live"),
    [
        (0, 1, [1, 2]),
        (1, None, [1, 2]),
        (0, 15, []),
    ],  # the BITS form, a reserved tag, a nibble past the count
)
def test_only_tags_below_the_count_and_past_the_reserved_ones_are_rows(
    open_db, page_size, reserved, nibble, live
):
    db = DatabaseBuilder(page_size=page_size)
    table = db.add_table("t", COLUMNS)
    for n in (1, 2):
        table.add_row({"Id": n, "Note": f"live {n}"})
    ghosts = [
        leaf_entry(row_key(n), table.encode_row({"Id": n, "Note": f"stale version {n}"})) for n in (1, 2, 3)
    ]
    image = db.build()
    leaf = db.layout.tables["t"].leaf_pages[0]
    image = damage.relayout_page(
        image,
        page_size,
        leaf,
        large=db.large,
        reserved=ghosts[:reserved],
        stale=[(0, g) for g in ghosts],
        nibble=nibble,
    )
    ese = open_db(image)
    assert ese.read_table("t") == [{"Id": n, "Note": f"live {n}"} for n in live]
    # The stale versions are slack now, where carving finds them (those at even offsets).
    assert any(h["page"] == leaf for h in ese.carve_utf16le_strings_scoped("slack", needle="stale version"))


BLOB = Column(256, "Blob", 11)


@pytest.mark.parametrize("page_size", PAGE_SIZES)
def test_long_values_under_4_and_8_byte_ids(open_db, page_size):
    db = DatabaseBuilder(page_size=page_size)
    payloads = {n: bytes([n]) * (3000 + 500 * n) for n in (1, 2, 3)}
    for name, width in (("wide", 8), ("narrow", 4), ("wide2", 8)):
        t = db.add_table(name, [Column(1, "Id", 4), BLOB], lv_id_width=width)
        for n, data in payloads.items():  # several chunks each, stored in reverse order for the last
            t.add_row(
                {"Id": n, "Blob": LongValue(data, chunk_size=1000, order="reversed" if n == 3 else "asc")}
            )
        t.add_row({"Id": 4, "Blob": LongValue(b"gone", lv_id=99, store=False)})  # a reference to a missing id
        t.add_row({"Id": 5, "Blob": Tagged(b"\x01\x00\x00\x00\x00\x00", flags=0x05)})  # a 6-byte reference
        # the root's stated size bounds the value, whatever its chunks hold
        t.add_row({"Id": 6, "Blob": LongValue(b"\x06" * 4000, chunk_size=1000, total_size=2500)})
    ese = open_db(db)
    expected = [{"Id": n, "Blob": data} for n, data in payloads.items()] + [
        {"Id": 4, "Blob": b""},
        {"Id": 5, "Blob": b""},
        {"Id": 6, "Blob": b"\x06" * 2500},
    ]
    for name in ("wide", "narrow", "wide2"):
        assert ese.read_table(name) == expected
        # The typed view has no value for a reference that nothing answers: null, not empty bytes.
        assert [r["Blob"] for r in ese.table(name).rows()][3:5] == [None, None]


@pytest.mark.parametrize("page_size", PAGE_SIZES)
def test_deleted_catalog_definitions_are_not_schema(open_db, page_size):
    db = DatabaseBuilder(page_size=page_size)
    db.add_table("t", COLUMNS).add_row({"Id": 7, "Note": "kept"})
    dropped = [
        table_entry("t", 40, 4),
        column_entry(40, Column(1, "Id", 4)),
        column_entry(40, Column(128, "Old", 10)),
    ]
    for entry in dropped:  # the dropped definition sorts after the live one
        db.add_catalog_entry(entry)
    image = db.build()
    page = db.layout.catalog_leaf_pages[-1]
    count = read_page(damage.get_page(image, page_size, page), db.large, db.layout.header_size).tag_count
    for tag in range(count - len(dropped), count):
        flags = damage.read_tag(image, page_size, page, tag)[2] if not db.large else 0
        image = damage.set_entry_flags(image, page_size, page, tag, flags | 0x2, large=db.large)
    ese = open_db(image)
    assert [c["name"] for c in ese.get_table_schema("t")] == ["Id", "Note"]
    assert ese.read_table("t") == [{"Id": 7, "Note": "kept"}]


@pytest.mark.parametrize("page_size", PAGE_SIZES)
def test_long_values_past_a_leaf_with_an_out_of_order_key(open_db, page_size):
    db = DatabaseBuilder(page_size=page_size, key_compression="none")
    t = db.add_table("t", [Column(1, "Id", 4), BLOB], lv_rows_per_page=2)
    payloads = {n: bytes([n]) * 2000 for n in range(1, 9)}
    for n, data in payloads.items():
        t.add_row({"Id": n, "Blob": LongValue(data)})
    image = db.build()
    lv_leaves = db.layout.tables["t"].lv.leaf_pages
    damaged = lv_leaves[1]
    # The page's first entry now claims an id larger than any: a chain scan that stops there loses the rest.
    image = damage.set_entry_bytes(image, page_size, damaged, 1, b"\xff\xff\xff\xff", at=2, large=db.large)
    rows = open_db(image).read_table("t")
    assert sum(row["Blob"] != payloads[row["Id"]] for row in rows) <= 1
    assert rows[-1]["Blob"] == payloads[8]
