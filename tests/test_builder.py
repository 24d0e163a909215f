"""The test-data writer against facts it did not produce: the real engine's files and bytes worked out by hand
from the format notes. Only what the reader could share a misreading of: the header checksum, records and
catalog records, compressed values and the long-value tree."""

from __future__ import annotations

import struct
from pathlib import Path

import pytest
from builder import (
    Column,
    DatabaseBuilder,
    LongValue,
    Lz77Writer,
    build_header,
    compress_7bit_ascii,
    compress_7bit_unicode,
    header_checksum,
)
from builder.readback import read_page, split_entry
from sample_facts import BASIC_COLUMNS, BASIC_ROWS


def tree_entries(image: bytes, root: int, page_size: int = 4096) -> list[tuple[bytes, bytes]]:
    """(key, data) of the leaf entries of the tree at `root` (small pages): down its first children, then
    along the leaf chain, key prefixes resolved."""
    view = read_page(image[(root + 1) * page_size :][:page_size], False)
    while not view.flags & 0x2:
        (child,) = struct.unpack("<I", view.tags[1][1][-4:])
        view = read_page(image[(child + 1) * page_size :][:page_size], False)
    entries = []
    while True:
        prefix = b"" if view.flags & 0x1 else view.tags[0][1]  # a root's tag 0 is no key prefix
        entries += [split_entry(flags, data, prefix) for flags, data in view.tags[1:]]
        if not view.next:
            return entries
        view = read_page(image[(view.next + 1) * page_size :][:page_size], False)


def catalog_records(image: bytes, object_id: int) -> dict[int, list[bytes]]:
    """Record type -> the catalog records of one object id, in key order."""
    records: dict[int, list[bytes]] = {}
    for _, record in tree_entries(image, 4):
        if struct.unpack_from("<I", record, 4)[0] == object_id:
            records.setdefault(struct.unpack_from("<H", record, 8)[0], []).append(record)
    return records


@pytest.mark.parametrize(
    "name", ["basic.edb", "text.edb", "SRUDB.dat", "qmgr-win10.db", "secedit-rev12c.sdb"]
)
def test_header_checksum_and_fields_are_the_engine_s(sample, name: str) -> None:
    real = Path(sample(name)).read_bytes()[:4096]
    assert header_checksum(real) == struct.unpack_from("<I", real, 0)[0]
    page_size, revision = struct.unpack_from("<I", real, 236)[0], struct.unpack_from("<I", real, 232)[0]
    built = build_header(page_size, 0x620, revision)[:4096]
    assert struct.unpack_from("<I", built, 0)[0] == header_checksum(built)
    for offset in (4, 8, 232, 236):  # signature, format version, format revision, page size
        assert built[offset : offset + 4] == real[offset : offset + 4]


def test_records_and_catalog_records_are_the_engine_s(sample) -> None:
    """basic.edb's rows, and the catalog records of its table (object id 8) and columns, byte for byte."""
    real = Path(sample("basic.edb")).read_bytes()
    db = DatabaseBuilder(page_size=4096)
    columns = [Column(cid, name, code, flags=5 if cid == 1 else 0) for cid, name, _, code, _ in BASIC_COLUMNS]
    table = db.add_table("basic", columns=columns)
    for row in BASIC_ROWS:
        table.add_row({name: value for name, value in row.items() if value is not None})
    built = db.build()
    mine, theirs = catalog_records(built, 8), catalog_records(real, 8)
    assert mine[2] == theirs[2]  # the columns
    (table_record,), (real_table_record,) = mine[1], theirs[1]  # up to Flags, but for the root page [14, 18)
    assert table_record[:14] + table_record[18:22] == real_table_record[:14] + real_table_record[18:22]
    rows = [record for _, record in tree_entries(built, db.layout.tables["basic"].root_page)]
    assert rows == [record for _, record in tree_entries(real, 31)]


def test_long_value_tree_is_the_engine_s(sample) -> None:
    """text.edb's first two long values (ids 1 and 2, a chunk each) in its long-value tree (root page 32)."""
    db = DatabaseBuilder(page_size=4096)
    columns = [Column(1, "Id", 4), Column(256, "A", 12), Column(257, "U", 12, codepage=1200)]
    ascii_text, unicode_text = "Long ASCII text " + "a" * 1024, "Long Unicode text \U0001f98a " + "a" * 1024
    db.add_table("text", columns).add_row({"Id": 1, "A": LongValue(ascii_text), "U": LongValue(unicode_text)})
    built = db.build()
    real = tree_entries(Path(sample("text.edb")).read_bytes(), 32)
    assert tree_entries(built, db.layout.tables["text"].lv_root_page) == real[:4]


def test_seven_bit_values_are_the_engine_s(sample) -> None:
    text = b"Max long compressed ASCII text that can be a bit longer " + b"a" * 900
    value = compress_7bit_ascii(text)
    assert value[0] == 0x0B and value in Path(sample("text.edb")).read_bytes()
    # "AB": units 0x41, 0x42 packed from the lowest bit, 14 bits, 6 of them in the last byte
    assert compress_7bit_ascii(b"AB") == bytes.fromhex("0d4121")
    assert compress_7bit_unicode("AB".encode("utf-16-le")) == bytes.fromhex("154121")


def test_lz77_stream_forms_worked_out_from_the_format_notes() -> None:
    """A literal, then matches of lengths 3 (in the match word), 10 and 11 (two halves of one shared byte), 25
    (a byte), 280 (a u16 of length - 3) and 70000 (a zero u16, then a u32); 33 literals use two flag words."""
    writer = Lz77Writer()
    writer.literal(b"a")
    for length in (3, 10, 11, 25, 280, 70000):
        writer.match(1, length)
    expected = "0000007e 61 0000 0700 10 0700 0700 ff 00 0700 ff 1501 0700 0f ff 0000 6d110100"
    assert writer.getvalue() == bytes.fromhex(expected)
    writer = Lz77Writer()
    writer.literal(b"x" * 33)
    assert writer.getvalue() == bytes(4) + b"x" * 32 + bytes(4) + b"x"
