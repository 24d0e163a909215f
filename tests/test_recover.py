"""Recovery of deleted and superseded records: each source on built files, overlap with live records, dedupe,
hostile bytes, and the `pagewright recover` command."""

from __future__ import annotations

import json
import random
import struct

import pytest
from builder import Column, DatabaseBuilder, LongValue, damage
from builder.entries import leaf_entry
from builder.table import row_key

from pagewright_cli.main import main

PAGE_SIZES = [4096, 8192, 32768]
COLUMNS = [
    Column(1, "Id", 4),
    Column(2, "When", 8),
    Column(128, "Name", 10),
    Column(256, "Note", 12, codepage=1200),
    Column(257, "Blob", 11),
]


def row(n: int) -> dict[str, object]:
    blob = {"Blob": bytes([n, 0xB1])} if n % 2 else {}  # a binary value last in the record, zeros after it
    return {"Id": n, "When": 45000.25 + n, "Name": f"name {n}", "Note": f"note \u202e{n}", **blob}


def expect(n: int) -> dict[str, object]:
    return {"Blob": None, **row(n), "When": struct.unpack("<Q", struct.pack("<d", 45000.25 + n))[0]}


def flags_of(image: bytes, page_size: int, pgno: int, tag: int, large: bool) -> int:
    start, _ = damage.entry_position(image, page_size, pgno, tag, large=large)
    return image[start + 1] >> 5 if large else damage.read_tag(image, page_size, pgno, tag)[2]


def removed_four_ways(page_size: int) -> tuple[bytes, DatabaseBuilder]:
    """Rows 1..24, six per leaf: row 2 flagged deleted, rows 8 and 10 stale slots, rows 13 and 15 in slack,
    the leaf of rows 19..24 freed."""
    db = DatabaseBuilder(page_size=page_size)
    t = db.add_table("t", COLUMNS, rows_per_page=6)
    for n in range(1, 25):
        t.add_row(row(n))
    image, large = db.build(), db.large
    leaves = db.layout.tables["t"].leaf_pages
    image = damage.set_entry_flags(
        image, page_size, leaves[0], 2, flags_of(image, page_size, leaves[0], 2, large) | 2, large=large
    )
    image = damage.compact_page(image, page_size, leaves[1], [2, 4], large=large, keep_slots=True)
    image = damage.compact_page(image, page_size, leaves[2], [1, 3], large=large, keep_slots=False)
    image = damage.free_leaf(image, page_size, leaves[3], db.layout.tables["t"].branch_pages, large=large)
    return image, db


SOURCES = {"deleted": [2], "stale": [8, 10], "slack": [13, 15], "free": [19, 20, 21, 22, 23, 24]}


@pytest.mark.parametrize("page_size", PAGE_SIZES)
@pytest.mark.parametrize("source", [*SOURCES, None])
def test_each_source_finds_exactly_its_records(open_db, page_size, source):
    image, db = removed_four_ways(page_size)
    sources = (source,) if source else ("deleted", "stale", "slack", "free")
    found = open_db(image).recover_records("t", sources=sources)
    # Alone, slack also finds the records of the stale slots: their bytes lie in the free space too.
    wanted = {(n, s) for s in sources for n in SOURCES[s]} | (
        {(8, "slack"), (10, "slack")} if source == "slack" else set()
    )
    assert sorted((r["values"]["Id"], r["source"]) for r in found) == sorted(wanted)
    assert all(r["values"] == expect(r["values"]["Id"]) for r in found)
    page = damage.get_page(image, page_size, found[0]["page"])
    record = page[found[0]["offset"] : found[0]["offset"] + found[0]["length"]]
    assert record == db.tables["t"].encode_row(row(found[0]["values"]["Id"]))


@pytest.mark.parametrize("page_size", PAGE_SIZES)
def test_stale_slots_over_live_bytes_and_over_each_other_give_one_record(open_db, page_size):
    db = DatabaseBuilder(page_size=page_size)
    t = db.add_table("t", COLUMNS)
    for n in (1, 2):
        t.add_row(row(n))
    ghost = leaf_entry(row_key(3), t.encode_row(row(3)))
    image = db.build()
    leaf = db.layout.tables["t"].leaf_pages[0]
    image = damage.relayout_page(image, page_size, leaf, large=db.large, stale=[(0, ghost)])
    stale = damage.read_tag(image, page_size, leaf, 3, large=db.large)
    # Slot 5 points at the bytes of the live entry of tag 1; slots 3 and 4 at the same ghost.
    live = damage.read_tag(image, page_size, leaf, 1, large=db.large)
    image = damage.set_tag(image, page_size, leaf, 4, size=stale[0], offset=stale[1], large=db.large)
    image = damage.set_tag(image, page_size, leaf, 5, size=live[0], offset=live[1], large=db.large)
    found = open_db(image).recover_records("t")
    assert [(r["source"], r["values"]) for r in found] == [("stale", expect(3))]


@pytest.mark.parametrize("page_size", PAGE_SIZES)
def test_long_values_resolve_or_stay_references(open_db, page_size):
    db = DatabaseBuilder(page_size=page_size)
    t = db.add_table("t", COLUMNS)
    t.add_row({**row(1), "Blob": LongValue(b"x" * 3000)})
    t.add_row({**row(2), "Blob": LongValue(b"gone", lv_id=77, store=False)})
    t.add_row(row(3))
    image = db.build()
    leaf = db.layout.tables["t"].leaf_pages[0]
    image = damage.compact_page(image, page_size, leaf, [1, 2], large=db.large, keep_slots=False)
    found = {r["values"]["Id"]: r for r in open_db(image).recover_records("t")}
    assert found[1]["values"]["Blob"] == b"x" * 3000 and found[1]["unresolved_long_values"] == []
    assert found[2]["values"]["Blob"] == struct.pack("<I", 77) and found[2]["unresolved_long_values"] == [
        "Blob"
    ]


@pytest.mark.parametrize("page_size", PAGE_SIZES)
@pytest.mark.parametrize("hostile", ["random", "claimed_size", "header_repeated"])
def test_hostile_pages_give_no_crash_and_bounded_output(open_db, page_size, hostile):
    image, db = removed_four_ways(page_size)
    rng = random.Random(page_size)
    leaves = db.layout.tables["t"].leaf_pages
    for pgno in leaves[:3]:
        base = damage.page_offset(page_size, pgno)
        if hostile == "random":
            image = damage.patch(image, base + 40, rng.randbytes(page_size - 40))
        elif hostile == "claimed_size":  # every slot claims more than the page
            image = damage.patch(image, base + page_size - 400, struct.pack("<HH", 0x7FFF, 0x10) * 100)
        else:  # a plausible record header on every byte of the data area
            image = damage.patch(image, base + 80, bytes([2, 128, 17, 0]) * ((page_size - 500) // 4))
    found = open_db(image).recover_records("t")
    assert len(found) <= len(leaves) * page_size // 4
    assert all(r["offset"] + r["length"] <= page_size for r in found)


def test_unknown_table_and_source_are_value_errors(open_db):
    ese = open_db(removed_four_ways(4096)[0])
    for call in (lambda: ese.recover_records("nope"), lambda: ese.recover_records("t", sources=["gone"])):
        with pytest.raises(ValueError):
            call()
    with pytest.raises(TypeError):
        ese.recover_records("t", sources="slack")


def test_command_escapes_names_and_values(tmp_path, capsys):
    path = tmp_path / "db.edb"
    path.write_bytes(removed_four_ways(8192)[0])
    assert main(["recover", str(path), "--source", "deleted"]) == 0
    table = capsys.readouterr().out
    assert "\u202e" not in table and "\\u202e2" in table and "deleted" in table
    assert main(["recover", str(path), "--table", "t", "--json"]) == 0
    lines = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert sorted(r["values"]["Id"] for r in lines) == sorted(n for ids in SOURCES.values() for n in ids)
