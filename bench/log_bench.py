"""Transaction-log reading speed: LogSet over ~100 MB of log generations the test builder writes (1 MiB files
SRUM-like transactions: inserts of 300-byte records into three trees, replaces, a record longer than a segment
now and then), cached in bench/.cache/. Reported: MB/s of LogSet() (every record read once, in the core), of
records() as dicts, and of Table.log_changes() (the journal: transactions, records decoded as rows) against a
database whose table the inserts name; peak memory of each, in a fresh interpreter.

    python3 bench/log_bench.py [--quick] [--repeat 3]
"""

from __future__ import annotations

import argparse
import json
import resource
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from builder import Column, DatabaseBuilder  # noqa: E402
from builder import logs as L  # noqa: E402

VERSION = 1
FILE_SECTORS = 256  # 1 MiB generations


def generate(folder: Path, megabytes: int) -> Path:
    """The log folder (and the database its inserts name), made once."""
    done = folder / "done.json"
    if done.exists():
        return folder
    folder.mkdir(parents=True, exist_ok=True)
    db = DatabaseBuilder(page_size=8192)
    t = db.add_table("Usage", [Column(1, "Id", 4), Column(2, "When", 8), Column(128, "App", 10)])
    t.add_row({"Id": 0, "When": 0, "App": "none"})
    (folder / "db.edb").write_bytes(db.build())
    oid = db.layout.tables["Usage"].object_id
    n = 0
    for generation in range(1, megabytes + 1):
        writer = L.LogWriter(generation)
        while len(writer.segments) < FILE_SECTORS - 2:
            session = 1 + n % 7
            row = t.encode_row({"Id": n, "When": n * 36_000_000_000, "App": f"\\Device\\app{n % 97}.exe" * 8})
            big = b"x" * 6000 if n % 97 == 0 else b""
            writer.add(
                L.begin0(session),
                L.insert(
                    session,
                    10 + n % 500,
                    n % 40,
                    0x1000 + n,
                    0x1000 + n - 1,
                    oid,
                    n.to_bytes(4, "big"),
                    row + big,
                ),
            )
            writer.add(
                L.insert(session, 600 + n % 50, n % 60, 0x1000 + n, 0x0FFF + n, oid + 1, b"ix", bytes(14))
            )
            writer.add(L.replace(session, 10 + n % 500, n % 40, 0x2000 + n, 0x1000 + n, oid, row[::-1]))
            writer.add(L.commit0(session))
            n += 1
        (folder / f"E{generation:05X}.log").write_bytes(writer.build(FILE_SECTORS))
    done.write_text(json.dumps({"transactions": n}))
    return folder


def measure(folder: Path, what: str) -> tuple[float, float]:
    """(seconds, peak MB) of one reading in this interpreter."""
    import pagewright

    start = time.perf_counter()
    logs = pagewright.LogSet(folder)
    if what == "records":
        for _ in logs.records():
            pass
    elif what == "journal":
        db = pagewright.EseDatabase(folder / "db.edb")
        start = time.perf_counter()
        for _ in db.table("Usage").log_changes(logs):
            pass
    seconds = time.perf_counter() - start
    return seconds, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="8 MB of logs instead of 100")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--measure", nargs=2, metavar=("FOLDER", "WHAT"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.measure:
        print(json.dumps(measure(Path(args.measure[0]), args.measure[1])))
        return 0
    megabytes = 8 if args.quick else 100
    folder = generate(HERE / ".cache" / f"logs-{megabytes}mb-v{VERSION}", megabytes)
    size = sum(p.stat().st_size for p in folder.glob("*.log")) / 1e6
    print(f"{size:.0f} MB of logs in {folder}")
    for what in ("LogSet", "records", "journal"):
        runs = []
        for _ in range(args.repeat):
            argv = [sys.executable, __file__, "--measure", str(folder), what]
            out = subprocess.run(argv, capture_output=True, text=True, check=True).stdout
            runs.append(json.loads(out))
        seconds, peak = min(runs)
        print(f"{what:<8} {seconds:7.3f} s  {size / seconds:8.1f} MB/s  peak {peak:6.1f} MB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
