"""Listing a wide table's indexes: Table.indexes and `pagewright schema --json` on a table of many columns
with many indexes of many key columns (a crafted catalog; the default is 60 000 columns and 100 indexes of
7 000 key columns each). The database is made once with the test suite's builder and cached in bench/.cache/.

    PYTHONPATH=build python3 bench/schema_bench.py [--columns 60000] [--indexes 100] [--keys 7000]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import struct
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT))
CACHE = Path(__file__).resolve().parent / ".cache"

from builder import Column, DatabaseBuilder  # noqa: E402


def ensure(columns: int, indexes: int, keys: int) -> Path:
    path = CACHE / f"schema-{columns}c-{indexes}i-{keys}k-v1.edb"
    if path.exists():
        return path
    CACHE.mkdir(parents=True, exist_ok=True)
    db = DatabaseBuilder(page_size=32768)
    ids = [256 + k for k in range(columns)]
    table = db.add_table("wide", [Column(i, f"c{i}", 4) for i in ids])
    for n in range(indexes):
        key_ids = ids[n % 7 :: max(1, columns // keys)][:keys]
        table.add_index(f"ix{n}", key_columns=b"".join(struct.pack("<HH", 0, i) for i in key_ids))
    tmp = path.with_suffix(".part")
    db.write(tmp)
    tmp.rename(path)
    return path


def best_of(repeat: int, run) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--columns", type=int, default=60000)
    parser.add_argument("--indexes", type=int, default=100)
    parser.add_argument("--keys", type=int, default=7000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    import pagewright
    from pagewright_cli.main import main as cli

    path = ensure(args.columns, args.indexes, args.keys)
    table = pagewright.EseDatabase(str(path)).table("wide")
    keys = sum(len(index.columns or ()) for index in table.indexes)
    seconds = best_of(args.repeat, lambda: table.indexes)
    print(f"Table.indexes         {seconds:8.3f} s  ({len(table.indexes)} indexes, {keys} key columns)")

    def schema() -> None:
        with contextlib.redirect_stdout(io.StringIO()):
            cli(["schema", str(path), "wide", "--json"])

    print(f"schema --json         {best_of(args.repeat, schema):8.3f} s  ({len(table.columns)} columns)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
