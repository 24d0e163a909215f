"""Batch export speed: `pagewright export DIR OUT --recursive --jobs N` over a fleet of 20 databases.

The fleet is 20 folders host00/ .. host19/, each holding an SRUDB.dat of one table "Events" of 50 000 rows
and 20 columns (bench/generate.py's `rows` layout, a different seed per host), generated once with the test
suite's builder and cached under bench/.cache/. Each run is a fresh `python -m pagewright_cli` process writing
into an empty temporary folder; the fastest of --repeat runs of each --jobs value is reported, with the CPU
time the run used and the load average before it (other processes on the machine slow the parallel run first).

    PYTHONPATH=build python bench/batch_bench.py [--jobs 1 2] [--repeat 3] [--hosts 20] [--rows 50000]
"""

from __future__ import annotations

import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from generate import CACHE, ROOT, DatabaseBuilder, event_columns, event_rows

FLEET_VERSION = 1  # bump when the generated files change


def fleet(hosts: int, rows: int) -> Path:
    """The cached fleet folder, generated first when absent."""
    folder = CACHE / f"fleet-{hosts}x{rows}-v{FLEET_VERSION}"
    if folder.is_dir():
        return folder
    started = time.perf_counter()
    print(f"generating {folder.name} ...", flush=True)
    partial = folder.with_suffix(".part")
    shutil.rmtree(partial, ignore_errors=True)
    for host in range(hosts):
        db = DatabaseBuilder(page_size=8192)
        db.add_table("Events", event_columns()).add_rows(event_rows(rows, 100 + host))
        (partial / f"host{host:02d}").mkdir(parents=True)
        db.write(partial / f"host{host:02d}" / "SRUDB.dat")
    partial.rename(folder)
    print(f"  generated in {time.perf_counter() - started:.1f} s", flush=True)
    return folder


def load() -> str:
    with open("/proc/loadavg") as handle:
        return " ".join(handle.read().split()[:3])


def run_once(source: Path, jobs: int) -> tuple[float, float]:
    """(wall seconds, CPU seconds of the process and its workers) of one export."""
    env = dict(
        os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(ROOT), os.environ.get("PYTHONPATH")]))
    )
    with tempfile.TemporaryDirectory(prefix="batch-bench-") as out:
        command = [sys.executable, "-m", "pagewright_cli", "export", str(source), out, "--recursive"]
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        started = time.perf_counter()
        subprocess.run([*command, "--jobs", str(jobs)], check=True, env=env, stdout=subprocess.DEVNULL)
        wall = time.perf_counter() - started
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    return wall, cpu


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--jobs", type=int, nargs="+", default=[1, 2])
    parser.add_argument(
        "--repeat", type=int, default=3, help="runs per --jobs value; the fastest is reported"
    )
    parser.add_argument("--hosts", type=int, default=20)
    parser.add_argument("--rows", type=int, default=50_000)
    args = parser.parse_args()

    source = fleet(args.hosts, args.rows)
    size = sum(p.stat().st_size for p in source.rglob("*.dat"))
    print(f"{args.hosts} databases x {args.rows} rows, {size / 1e6:.0f} MB, {os.cpu_count()} CPUs")
    # CPU/wall: the cores a run kept busy (workers and parent); under 2 with --jobs 2: it did not get both.
    print(
        f"{'jobs':>4} {'best s':>7} {'CPU s':>6} {'CPU/wall':>8} {'rows/s':>10} {'speed-up':>8}  load, runs"
    )
    base = None
    # Interleave the --jobs values so that a change of load on the machine touches each of them alike.
    runs: dict[int, list[tuple[float, float, str]]] = {jobs: [] for jobs in args.jobs}
    for _ in range(args.repeat):
        for jobs in args.jobs:
            before = load()
            wall, cpu = run_once(source, jobs)
            runs[jobs].append((wall, cpu, before))
    for jobs in args.jobs:
        wall, cpu, before = min(runs[jobs])
        base = base or wall
        every = " ".join(f"{w:.2f}" for w, _, _ in runs[jobs])
        print(
            f"{jobs:>4} {wall:7.2f} {cpu:6.2f} {cpu / wall:8.2f} {args.hosts * args.rows / wall:10,.0f} "
            f"{base / wall:7.2f}x  {before} / {every}"
        )


if __name__ == "__main__":
    main()
