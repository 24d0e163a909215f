"""Recovery throughput: recover_records over every leaf page of the generated 500 000-row database (the
"rows" dataset of generate.py), all sources, and over the same file with deleted entries, stale slots and
slack records made on a share of its leaf pages. With --memory: the peak memory of Table.recover(),
recover_records() and `pagewright recover --json` on two hostile files, each in a fresh process: tiny records
filling the free space of 100 leaf pages, and slack records that all refer to one 1 MB long value.

    PYTHONPATH=build python3 bench/recover_bench.py [--quick] [--repeat 3] [--memory]
"""

from __future__ import annotations

import argparse
import os
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import generate  # noqa: E402
from builder import damage  # noqa: E402
from builder.page import fix_page_checksum  # noqa: E402
from builder.readback import read_page  # noqa: E402


def with_removed_records(source: Path, target: Path, page_size: int, every: int) -> int:
    """A copy of the database where every `every`-th leaf page lost two entries into slack (tags zeroed) or
    into stale slots; returns the number of removed records."""
    image = bytearray(source.read_bytes())
    removed = 0
    for pgno in range(every, len(image) // page_size - 1, every):
        at = (pgno + 1) * page_size
        page = bytes(image[at : at + page_size])
        if read_page(page, False, 40).flags & 0xE6 != 0x2 or len(read_page(page, False, 40).tags) < 4:
            continue
        # compact_page edits a file: hand it this page alone as page 0 of a two-page image.
        new = bytearray(
            damage.compact_page(
                bytes(page_size) + page, page_size, 0, [1, 2], large=False, keep_slots=pgno % 2 == 0
            )[page_size:]
        )
        fix_page_checksum(new, pgno)
        image[at : at + page_size] = new
        removed += 2
    target.write_bytes(image)
    return removed


def timed(path: Path, table: str, repeat: int) -> tuple[float, int]:
    import pagewright

    best, found = float("inf"), 0
    for _ in range(repeat):
        db = pagewright.EseDatabase(str(path))
        start = time.perf_counter()
        found = len(db.recover_records(table))
        best = min(best, time.perf_counter() - start)
    return best, found


def crowded_slack(lv_refs: int) -> bytes:
    """Records left in the free space of 100 leaf pages of 32 KiB (each page full of 9-byte records), or, with
    lv_refs, that many slack records on 8 KiB pages all referring to the one 1 MB long value of a live row."""
    from builder import Column, DatabaseBuilder, LongValue

    page_size = 8192 if lv_refs else 32768
    db = DatabaseBuilder(page_size=page_size)
    t = db.add_table("t", [Column(1, "Id", 4), Column(256, "Blob", 11)], rows_per_page=1)
    pages = (lv_refs + 399) // 400 if lv_refs else 100
    for n in range(pages):
        t.add_row(
            {"Id": n, "Blob": LongValue(b"x" * (1 << 20), lv_id=1, store=n == 0)} if lv_refs else {"Id": n}
        )
    record = struct.pack("<BBHIB", 1, 127, 9, 7, 0xFE)
    if lv_refs:
        record = t.encode_row({"Id": 7, "Blob": LongValue(b"", lv_id=1, store=False)})
    image = db.build()
    for pgno in db.layout.tables["t"].leaf_pages:
        image, _ = damage.write_free_space(
            image, page_size, pgno, record * (page_size // len(record)), large=db.large, skip=16
        )
    return image


PROBE = """
import resource, sys, pagewright
db = pagewright.EseDatabase(sys.argv[1])
way = sys.argv[2]
if way == "recover()":
    found = sum(1 for _ in db.table("t").recover())
elif way == "recover_records()":
    found = len(db.recover_records("t"))
else:
    from pagewright_cli.main import main
    sys.stdout = open(os.devnull, "w")
    found = main(["recover", sys.argv[1], "--json", "--all"])
print(found, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024, file=sys.__stdout__)
""".replace("import resource", "import os, resource")


def memory() -> None:
    with tempfile.TemporaryDirectory() as scratch:
        for label, lv_refs in (("tiny records in 100 pages", 0), ("2000 references to 1 MB", 2000)):
            path = os.path.join(scratch, "hostile.edb")
            Path(path).write_bytes(crowded_slack(lv_refs))
            size = os.path.getsize(path) / 1e6
            for way in ("recover()", "recover_records()", "recover --json"):
                out = subprocess.run([sys.executable, "-c", PROBE, path, way], capture_output=True, text=True)
                figures = out.stdout.split() or ["-", out.stderr.strip().splitlines()[-1][:60]]
                print(f"{label:<28} {size:6.1f} MB file  {way:<18} peak {figures[1]:>6} MB  ({figures[0]})")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="the 20 000-row database")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--memory", action="store_true", help="peak memory on two hostile files instead")
    args = parser.parse_args()
    if args.memory:
        memory()
        return 0
    path, facts = generate.ensure("rows", args.quick)
    damaged = path.with_name(path.stem + "-recover.edb")
    if not damaged.exists() or damaged.stat().st_mtime < path.stat().st_mtime:
        removed = with_removed_records(path, damaged, 8192, 10)
    else:
        removed = -1
    for name, file in (("as generated", path), ("with removed records", damaged)):
        seconds, found = timed(file, facts["main_table"], args.repeat)
        print(f"recover_records, {name:<22} {seconds * 1000:8.1f} ms  {found:>7} records  ({file.name})")
    if removed >= 0:
        print(f"(removed {removed} records)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
