"""Recovery throughput: recover_records over every leaf page of the generated 500 000-row database (the
"rows" dataset of generate.py), all sources, and over the same file with deleted entries, stale slots and
slack records made on a share of its leaf pages.

    PYTHONPATH=build python3 bench/recover_bench.py [--quick] [--repeat 3]
"""

from __future__ import annotations

import argparse
import sys
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


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="the 20 000-row database")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
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
