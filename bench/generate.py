"""Synthetic databases for the benchmarks, made with the test suite's ESE builder, cached in bench/.cache/.

    python bench/generate.py [--quick] [rows] [long_values] [catalog] [carve]

Four databases (full size / --quick size):
- rows:        one table "Events" of 500 000 / 20 000 rows and 20 columns: 17 fixed integer columns, a
               variable text column and two tagged columns (UTF-16 text and binary).
- long_values: one table "Documents" of 100 000 / 5 000 rows, each row with a long value of its own
               (UTF-16 text of 300 to 900 characters, in the table's long-value tree).
- catalog:     2 000 / 200 tables of 20 columns and 3 rows each: a large catalog.
- carve:       about 1 GiB / 64 MiB. A small database whose table's leaf chain is extended by copies of
               realistic leaf pages (records with ASCII and UTF-16 text, leftover text in their free space),
               interleaved with copies of long-value pages and of unused pages of tiled UTF-16 text. Copies
               get their leaf-chain links patched, so the file is a valid database that opens and reads.

A cached file is named by dataset, size and the dataset's GENERATOR_VERSION: changing a generator means
bumping its version (files of other versions are then deleted).
Each file has a .json file of facts beside it (rows, tables, bytes of text...) that run.py uses.
"""

from __future__ import annotations

import argparse
import json
import random
import struct
import sys
import time
from collections.abc import Callable, Iterator
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CACHE = Path(__file__).resolve().parent / ".cache"
# Version of each generator: bump one when its output changes, and its cached files are made anew.
GENERATOR_VERSION = {"rows": 1, "long_values": 1, "catalog": 1, "carve": 4}
PAGE_SIZE = 8192

sys.path.insert(0, str(ROOT / "tests"))
from builder import Column, DatabaseBuilder, LongValue, Tagged  # noqa: E402
from builder.checksum import stamp_page  # noqa: E402

# Column type codes of the format.
BOOLEAN, UBYTE, SHORT, LONG, CURRENCY, DOUBLE, DATETIME, BINARY, TEXT = 1, 2, 3, 4, 5, 7, 8, 9, 10
LONG_BINARY, LONG_TEXT, ULONG, LONGLONG, USHORT = 11, 12, 14, 15, 17

SIZES = {
    "rows": {"full": 500_000, "quick": 20_000},
    "long_values": {"full": 100_000, "quick": 5_000},
    "catalog": {"full": 2_000, "quick": 200},
    "carve": {"full": 1024, "quick": 64},  # MiB
}

WORDS = (
    "Microsoft Windows System32 svchost explorer update network adapter service host process user session "
    "resource monitor application foreground background cycle time bytes sent received battery energy usage "
    "C:\\Program Files\\Common Files registry hive event log security audit policy desktop document download"
).split()


def sentence(rng: random.Random, low: int, high: int) -> str:
    return " ".join(rng.choice(WORDS) for _ in range(rng.randint(low, high)))


# rows -------------------------------------------------------------------------------------------------------

FIXED_TYPES = [
    LONG,
    SHORT,
    ULONG,
    USHORT,
    UBYTE,
    LONGLONG,
    LONG,
    ULONG,
    SHORT,
    LONGLONG,
    UBYTE,
    USHORT,
    LONG,
    ULONG,
    LONGLONG,
    SHORT,
]


def event_columns() -> list[Column]:
    columns = [Column(1, "Id", LONG, flags=0x1)]
    columns += [Column(i + 2, f"F{i:02d}", kind) for i, kind in enumerate(FIXED_TYPES)]
    columns += [
        Column(128, "Name", TEXT),
        Column(256, "Note", TEXT, codepage=1200),
        Column(257, "Blob", BINARY),
    ]
    assert len(columns) == 20
    return columns


def event_rows(count: int, seed: int) -> Iterator[dict]:
    rng = random.Random(seed)
    limits = {
        LONG: 1 << 31,
        SHORT: 1 << 15,
        ULONG: 1 << 32,
        USHORT: 1 << 16,
        UBYTE: 1 << 8,
        LONGLONG: 1 << 63,
    }
    fixed = [
        (f"F{i:02d}", limits[kind], kind in (LONG, SHORT, LONGLONG)) for i, kind in enumerate(FIXED_TYPES)
    ]
    names = [f"{rng.choice(WORDS).lower()}-{n}.exe" for n in range(997)]
    for n in range(1, count + 1):
        row = {
            "Id": n,
            "Name": names[n % 997],
            "Note": Tagged(f"note {n} {names[n % 13]}".encode("utf-16-le")),
        }
        for column, limit, signed in fixed:
            value = (n * 2654435761 + limit // 3) % limit
            row[column] = value - limit // 2 if signed else value
        if n % 3 == 0:
            row["Blob"] = n.to_bytes(8, "little")
        yield row


def make_rows(path: Path, rows: int) -> dict:
    db = DatabaseBuilder(page_size=PAGE_SIZE)
    db.add_table("Events", event_columns()).add_rows(event_rows(rows, 1))
    db.write(path)
    return {"tables": {"Events": rows}, "main_table": "Events"}


# long values ------------------------------------------------------------------------------------------------


def make_long_values(path: Path, rows: int) -> dict:
    rng = random.Random(2)
    db = DatabaseBuilder(page_size=PAGE_SIZE)
    columns = [
        Column(1, "Id", LONG, flags=0x1),
        Column(2, "Created", DATETIME),
        Column(3, "Size", ULONG),
        Column(128, "Title", TEXT),
        Column(256, "Body", LONG_TEXT, codepage=1200),
    ]
    table = db.add_table("Documents", columns)
    text_bytes = 0
    for n in range(1, rows + 1):
        body = sentence(rng, 50, 150)[: rng.randint(300, 900)]
        text_bytes += 2 * len(body)
        table.add_row(
            {
                "Id": n,
                "Created": 0x01D9000000000000 + n * 10_000_000,
                "Size": len(body),
                "Title": f"doc {n}",
                "Body": LongValue(body),
            }
        )
    db.write(path)
    return {"tables": {"Documents": rows}, "main_table": "Documents", "long_value_bytes": text_bytes}


# catalog ----------------------------------------------------------------------------------------------------


def make_catalog(path: Path, tables: int) -> dict:
    db = DatabaseBuilder(page_size=PAGE_SIZE)
    names = {}
    for t in range(tables):
        name = f"Table{t:05d}"
        table = db.add_table(name, event_columns())
        table.add_rows(event_rows(3, t))
        names[name] = 3
    db.write(path)
    return {"tables": names}


# carve ------------------------------------------------------------------------------------------------------

OFFSET_PREV, OFFSET_NEXT, HEADER = 16, 20, 40


def free_space(page: bytes) -> tuple[int, int]:
    """[start, end) of the free space of a small page: after the last entry, before the tag array."""
    (count,) = struct.unpack_from("<H", page, 34)
    end = len(page) - 4 * count
    start = HEADER
    for index in range(count):
        size, offset = struct.unpack_from("<HH", page, len(page) - 4 * (index + 1))
        start = max(start, HEADER + (offset & 0x1FFF) + (size & 0x1FFF))
    return start, end


def make_carve(path: Path, size_mib: int) -> dict:
    """A template database, then copies of its leaf, long-value and text pages up to the wanted size."""
    rng = random.Random(3)
    db = DatabaseBuilder(page_size=PAGE_SIZE)
    columns = [
        Column(1, "Id", LONG, flags=0x1),
        Column(2, "When", DATETIME),
        Column(3, "Flags", ULONG),
        Column(128, "Path", TEXT),
        Column(129, "Hash", BINARY),
        Column(256, "Title", TEXT, codepage=1200),
        Column(257, "Content", LONG_TEXT, codepage=1200),
    ]
    table = db.add_table("Activity", columns, rows_per_page=30)
    for n in range(1, 30 * 48 + 1):
        row = {
            "Id": n,
            "When": 0x01D9000000000000 + n,
            "Flags": n * 37 % 1000,
            "Path": "C:\\" + "\\".join(rng.choice(WORDS) for _ in range(3)),
            "Hash": rng.randbytes(16),
        }
        if n % 4 == 0:
            row["Title"] = sentence(rng, 2, 5)
        if n % 120 == 0:
            row["Content"] = LongValue(sentence(rng, 600, 900))
        table.add_row(row)
    # unused pages: an empty page header, then leftover UTF-16 text
    text_pages = [
        db.add_raw_page(bytes(HEADER) + sentence(rng, 800, 900).encode("utf-16-le")[: PAGE_SIZE - 512])
        for _ in range(8)
    ]
    image = bytearray(db.build())
    layout = db.layout
    activity = layout.tables["Activity"]

    def page(pgno: int) -> bytearray:
        start = (pgno + 1) * PAGE_SIZE
        return image[start : start + PAGE_SIZE]

    def leave_text(content: bytearray) -> None:
        """Leftover text of a deleted record somewhere in the free space of a page."""
        start, end = free_space(bytes(content))
        fragment = ("\x00" + sentence(rng, 3, 8) + "\x00").encode("utf-16-le")
        if end - start > len(fragment) + 64:
            at = (start + rng.randrange(0, end - start - len(fragment))) & ~1
            content[at : at + len(fragment)] = fragment

    leaves = [page(p) for p in activity.leaf_pages]
    for leaf in leaves[::3]:
        leave_text(leaf)
    lv_pages = [page(p) for p in activity.lv_leaf_pages]
    for lv_page in lv_pages[::2]:
        leave_text(lv_page)
    raw = [page(layout.raw_pages[i]) for i in range(len(text_pages))]
    block = leaves + lv_pages + raw
    base_pages = layout.total_pages
    wanted = size_mib * 1024 * 1024 // PAGE_SIZE - 2
    blocks = max(1, (wanted - base_pages) // len(block))

    # Chain: the table's last leaf -> the first copied leaf -> ... -> the last copied leaf of the last block.
    leaf_numbers = [base_pages + 1 + b * len(block) + i for b in range(blocks) for i in range(len(leaves))]
    last_original = activity.leaf_pages[-1]
    struct.pack_into("<I", image, (last_original + 1) * PAGE_SIZE + OFFSET_NEXT, leaf_numbers[0])
    for pgno in [last_original, *layout.raw_pages]:
        with memoryview(image)[(pgno + 1) * PAGE_SIZE : (pgno + 2) * PAGE_SIZE] as written:
            stamp_page(written, pgno)
    with open(path, "wb") as out:
        out.write(image)
        chain_index = 0
        for b in range(blocks):
            chunk = bytearray()
            for i, content in enumerate(block):
                content = bytearray(content)
                if i < len(leaves):
                    prev = leaf_numbers[chain_index - 1] if chain_index else last_original
                    nxt = leaf_numbers[chain_index + 1] if chain_index + 1 < len(leaf_numbers) else 0
                    struct.pack_into("<II", content, OFFSET_PREV, prev, nxt)
                    chain_index += 1
                stamp_page(content, base_pages + 1 + b * len(block) + i)  # every copy verifies at its place
                chunk += content
            out.write(chunk)
    rows = 30 * 48 * (blocks + 1)
    return {
        "tables": {"Activity": rows},
        "main_table": "Activity",
        "pages": base_pages + blocks * len(block),
        "copied_blocks": blocks,
        "block": {"leaf": len(leaves), "long_value": len(lv_pages), "text": len(raw)},
    }


# cache ------------------------------------------------------------------------------------------------------

MAKERS: dict[str, Callable[[Path, int], dict]] = {
    "rows": make_rows,
    "long_values": make_long_values,
    "catalog": make_catalog,
    "carve": make_carve,
}


def cache_path(kind: str, quick: bool) -> Path:
    size = SIZES[kind]["quick" if quick else "full"]
    unit = "mib" if kind == "carve" else "n"
    return CACHE / f"gen-{kind}-{size}{unit}-v{GENERATOR_VERSION[kind]}.edb"


def ensure(kind: str, quick: bool = False, log: Callable[[str], None] = print) -> tuple[Path, dict]:
    """The cached database of a dataset and its facts, generated first when absent or from another version."""
    path = cache_path(kind, quick)
    facts_path = path.with_suffix(".json")
    if path.exists() and facts_path.exists():
        return path, json.loads(facts_path.read_text())
    CACHE.mkdir(parents=True, exist_ok=True)
    version = f"-v{GENERATOR_VERSION[kind]}."
    for stale in CACHE.glob(f"gen-{kind}-*"):
        if version not in stale.name:
            stale.unlink()
    size = SIZES[kind]["quick" if quick else "full"]
    log(f"generating {path.name} ...")
    started = time.perf_counter()
    tmp = path.with_suffix(".part")
    facts = MAKERS[kind](tmp, size)
    tmp.replace(path)
    facts.update(generator_version=GENERATOR_VERSION[kind], size=size, bytes=path.stat().st_size)
    facts_path.write_text(json.dumps(facts, indent=1))
    log(f"  {path.stat().st_size / 1e6:.1f} MB in {time.perf_counter() - started:.1f} s")
    return path, facts


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--quick", action="store_true", help="the small versions")
    parser.add_argument(
        "kinds", nargs="*", metavar="KIND", help=f"some of {', '.join(MAKERS)} (default: all)"
    )
    args = parser.parse_args()
    unknown = set(args.kinds) - set(MAKERS)
    if unknown:
        parser.error(f"unknown dataset(s): {', '.join(sorted(unknown))}")
    for kind in args.kinds or MAKERS:
        path, facts = ensure(kind, args.quick)
        print(f"{kind}: {path} ({facts['bytes'] / 1e6:.1f} MB)")


if __name__ == "__main__":
    main()
