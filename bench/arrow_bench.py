"""Columnar output: Arrow streams, CSV, JSON Lines and Parquet over the generated 500 000-row, 20-column
table.

    PYTHONPATH=build python bench/arrow_bench.py [--quick] [--repeat K]

Operations (each in a fresh interpreter, so its peak memory is its own; the runs of all operations are
interleaved and the fastest of --repeat is kept, with its CPU time and the load average before it):
- arrow:          pyarrow.table(db.table(name))
- arrow_stream:   the batches of one stream read and dropped (memory bounded by a batch)
- arrow_stream_4k: the same in batches of 4096 rows
- arrow_2threads: two threads, each reading its own stream of the table at the same time
- jsonl / csv:    export_rows(typed=True, format=...)
- parquet:        pagewright_cli.formats.write_parquet (pyarrow ParquetWriter, batch by batch)
Peak memory is the growth of VmHWM during the operation less the mapped database pages read meanwhile. It is
bounded by a batch (two with pyarrow's read-ahead), not by the table: arrow_stream_4k (batches of 4096 rows)
runs on the full and the --quick (20 000-row) database to show it.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import generate  # noqa: E402

OPERATIONS = ("arrow", "arrow_stream", "arrow_stream_4k", "arrow_2threads", "jsonl", "csv", "parquet")


def memory() -> dict[str, int]:
    with open("/proc/self/status") as handle:
        fields = dict(line.split(":", 1) for line in handle)
    return {key: int(fields[key].split()[0]) * 1024 for key in ("VmHWM", "RssFile")}


def drain(source) -> int:
    import pyarrow as pa

    return sum(batch.num_rows for batch in pa.RecordBatchReader.from_stream(source))


def run_one(operation: str, db_path: str, table: str, out_dir: str) -> dict:
    import pyarrow as pa

    import pagewright
    from pagewright_cli import formats

    db = pagewright.EseDatabase(db_path)
    t = db.table(table)
    # First uses load parts of pyarrow lazily: not part of the measurement.
    pa.table(pa.RecordBatchReader.from_stream(t.arrow(batch_rows=16)).read_next_batch())
    base = memory()
    started, cpu = time.perf_counter(), time.process_time()
    if operation == "arrow":
        rows = pa.table(t).num_rows
    elif operation == "arrow_stream":
        rows = drain(t)
    elif operation == "arrow_stream_4k":
        rows = drain(t.arrow(batch_rows=4096))
    elif operation == "arrow_2threads":
        counts: list[int] = []
        threads = [threading.Thread(target=lambda: counts.append(drain(t.arrow()))) for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        rows = sum(counts) // 2
    elif operation in ("jsonl", "csv"):
        rows = db.export_rows(table, os.path.join(out_dir, "t." + operation), typed=True, format=operation)
    elif operation == "parquet":
        rows = formats.write_parquet(db, table, os.path.join(out_dir, "t.parquet"))
    else:
        raise SystemExit(f"unknown operation {operation}")
    return {
        "seconds": time.perf_counter() - started,
        "cpu": time.process_time() - cpu,
        "rows": rows,
        # The peak less the pages of the mapped database file read meanwhile (they stay resident, and count
        # in the peak, but belong to the page cache rather than to the reader).
        "peak_extra": (end := memory())["VmHWM"] - base["VmHWM"] - (end["RssFile"] - base["RssFile"]),
    }


def measure(operation: str, db_path: str, table: str) -> dict:
    with tempfile.TemporaryDirectory() as out_dir:
        load = os.getloadavg()[0]
        child = subprocess.run(
            [sys.executable, __file__, "--run", operation, db_path, table, out_dir],
            check=True,
            capture_output=True,
            text=True,
        )
    return dict(json.loads(child.stdout), load=load)


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--quick", action="store_true", help="the 20 000-row database only")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--run", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.run:
        print(json.dumps(run_one(*args.run)))
        return
    path, facts = generate.ensure("rows", args.quick, log=lambda text: print(text, file=sys.stderr))
    table = facts["main_table"]
    best: dict[str, dict] = {}
    for _ in range(args.repeat):
        for operation in OPERATIONS:
            result = measure(operation, str(path), table)
            if operation not in best or result["seconds"] < best[operation]["seconds"]:
                best[operation] = result
    print(f"{path.name}: {facts['tables'][table]} rows; fastest of {args.repeat}, runs interleaved")
    print(f"{'operation':<16}{'rows/s':>12}{'rows/CPU-s':>12}{'seconds':>9}{'peak MiB':>10}{'load':>6}")
    for operation, r in best.items():
        print(
            f"{operation:<16}{r['rows'] / r['seconds']:>12,.0f}{r['rows'] / max(r['cpu'], 1e-9):>12,.0f}"
            f"{r['seconds']:>9.3f}{r['peak_extra'] / 2**20:>10.1f}{r['load']:>6.2f}"
        )
    if not args.quick:
        small, small_facts = generate.ensure("rows", True, log=lambda text: print(text, file=sys.stderr))
        runs = [measure("arrow_stream_4k", str(small), small_facts["main_table"]) for _ in range(args.repeat)]
        peak = min(r["peak_extra"] for r in runs)
        print(f"arrow_stream_4k peak MiB at {small_facts['tables'][table]} rows: {peak / 2**20:.1f}")
    one, two = best["arrow_stream"]["seconds"], best["arrow_2threads"]["seconds"]
    print(f"two streams in two threads: {two / one:.2f}x the time of one")


if __name__ == "__main__":
    main()
