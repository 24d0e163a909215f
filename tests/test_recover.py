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

import pagewright
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
    # Only a record in slack has an end that its tag does not state: its last value (text or binary) is named.
    last = {r["values"]["Id"]: "Blob" if r["values"]["Blob"] else "Note" for r in found}
    assert [r["inferred_end"] for r in found] == [
        last[r["values"]["Id"]] if r["source"] == "slack" else None for r in found
    ]
    assert all(r["confidence"] == len(r["checks"]) > 0 and not r["duplicate_of_live"] for r in found)
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
    typed = {r["values"]["Id"]: r for r in open_db(image).table("t").recover()}
    assert (typed[2]["values"]["Blob"], typed[2]["long_value_refs"]) == (None, {"Blob": 77})
    assert "long_values_resolve" in typed[1]["checks"] and "long_values_resolve" not in typed[2]["checks"]


NOISE = {
    "random bytes": lambda t: random.Random(7).randbytes(60),
    "a later record": lambda t: leaf_entry(row_key(9), t.encode_row(row(9))),
    "UTF-16 text": lambda t: "The quick brown fox".encode("utf-16-le"),
}


@pytest.mark.parametrize("page_size", PAGE_SIZES)
@pytest.mark.parametrize("noise", NOISE)
def test_slack_records_followed_directly_by_noise(open_db, page_size, noise):
    """Row 3 (a binary value last) is followed by row 2's entry, row 2 (text last) directly by the noise."""
    db = DatabaseBuilder(page_size=page_size)
    t = db.add_table("t", COLUMNS)
    t.add_row(row(1))
    blob = leaf_entry(row_key(3), t.encode_row(row(3))) + leaf_entry(row_key(2), t.encode_row(row(2)))
    image = db.build()
    leaf = db.layout.tables["t"].leaf_pages[0]
    image, _ = damage.write_free_space(image, page_size, leaf, blob + NOISE[noise](t), large=db.large)
    found = {r["values"]["Id"]: r for r in open_db(image).recover_records("t", sources=["slack"])}
    assert (found[3]["values"], found[3]["inferred_end"], found[2]["inferred_end"]) == (
        expect(3),
        "Blob",
        "Note",
    )
    note = found[2]["values"]["Note"]
    ran_on = noise == "UTF-16 text"  # text after text: where one ends is not in the bytes
    assert {**found[2]["values"], "Note": None} == {**expect(2), "Note": None}
    assert note.startswith(expect(2)["Note"]) and (note == expect(2)["Note"]) != ran_on
    assert sorted(found) == ([2, 3, 9] if noise == "a later record" else [2, 3])


@pytest.mark.parametrize("page_size", PAGE_SIZES)
def test_copies_of_live_rows_are_marked_and_hidden_by_the_command(tmp_path, capsys, page_size):
    """An old copy of a leaf page no tree reaches: rows 1..6 as they are live, except row 3 changed since and
    row 2 deleted since (flagged on the live page)."""

    def build(copy: bytes | None) -> tuple[bytes, DatabaseBuilder]:
        db = DatabaseBuilder(page_size=page_size)
        t = db.add_table("t", COLUMNS, rows_per_page=6)
        for n in range(1, 13):
            t.add_row(row(n))
        if copy:
            db.add_raw_page(copy)
        return db.build(), db

    image, db = build(None)
    leaf = db.layout.tables["t"].leaf_pages[0]
    old = damage.get_page(image, page_size, leaf).replace(b"name 3", b"nom 3!")
    image, db = build(old)
    image = damage.set_entry_flags(
        image, page_size, leaf, 2, flags_of(image, page_size, leaf, 2, db.large) | 2, large=db.large
    )
    path = tmp_path / "copy.edb"
    path.write_bytes(image)
    with pagewright.EseDatabase(str(path)) as ese:
        found = [(r["source"], r["values"]["Id"], r["duplicate_of_live"]) for r in ese.table("t").recover()]
    copies = [("free", n, n not in (2, 3)) for n in range(1, 7)]
    assert sorted(found) == sorted([("deleted", 2, False), *copies])
    assert main(["recover", str(path)]) == 0
    out, err = capsys.readouterr()
    shown = sorted((line.split()[1], line.split("Id=")[1].split(",")[0]) for line in out.splitlines()[1:])
    assert shown == [("deleted", "2"), ("free", "2"), ("free", "3")]
    assert "4 records that are copies of live rows hidden" in err
    assert main(["recover", str(path), "--all"]) == 0
    assert len(capsys.readouterr().out.splitlines()) == 1 + 7


def test_many_references_to_one_long_value_are_given_within_the_budget(open_db):
    """Slack records filling a page refer to one 60 000-byte value: those past 32 times the file's size of
    repeats are withheld, named, and None in the typed view."""
    db = DatabaseBuilder(page_size=8192)
    t = db.add_table("t", COLUMNS)
    t.add_row({**row(1), "Blob": LongValue(b"x" * 60000, lv_id=5)})
    image = db.build()
    ref = t.encode_row({**row(7), "Blob": LongValue(b"", lv_id=5, store=False)})
    image, _ = damage.write_free_space(
        image, 8192, db.layout.tables["t"].leaf_pages[0], ref * 300, large=False
    )
    found = open_db(image).table("t").recover()
    assert iter(found) is found  # handed out page by page, not collected
    records = list(found)
    given = [r["values"]["Blob"] == b"x" * 60000 for r in records]
    allowed = 1 + 32 * len(image) // 60000
    assert given == [True] * allowed + [False] * (len(records) - allowed) and len(records) > allowed
    assert all(r["withheld_long_values"] == ([] if r["values"]["Blob"] else ["Blob"]) for r in records)


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
    assert "When='2023-03-17T06:00:00Z'" in table  # typed values, as rows() gives them
    assert main(["recover", str(path), "--table", "t", "--json"]) == 0
    lines = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert sorted(r["values"]["Id"] for r in lines) == sorted(n for ids in SOURCES.values() for n in ids)


def test_real_srum_records_left_by_a_split_are_copies_of_live_rows(sample):
    with pagewright.EseDatabase(sample("SRUDB.dat")) as db:
        for name in db.get_tables():
            live = [sorted(r.items()) for r in db.read_table(name)]
            for record in db.recover_records(name):
                assert record["duplicate_of_live"] == (sorted(record["values"].items()) in live), name
        found = [r["duplicate_of_live"] for n in db.get_tables() for r in db.recover_records(n)]
    assert found and all(found)
