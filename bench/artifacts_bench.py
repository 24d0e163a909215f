"""The artefact interpreters against reading the same tables with pyarrow.table(): the overhead they add.

    python bench/artifacts_bench.py [--quick] [--repeat K]

Databases: a generated SRUM-shaped SRUDB.dat (the test builder's SruDbIdMapTable and 500 000 network usage
rows, 3 in 1000 of them with an id the map lacks or cannot decode; 20 000 rows with --quick; cached in
bench/.cache/), and the real samples of ../shared/samples when present (SRUDB.dat, qmgr-win10.db). Each
operation runs in a fresh interpreter; the fastest of --repeat runs is kept.
Pairs: srum.read_table(network_usage) against pyarrow.table() of that table and of SruDbIdMapTable (what the
interpreter reads); on the samples every SRUM view, and the BITS jobs and files, against pyarrow.table() of
their tables. The ratio is interpreter time / pyarrow time, on the second and third call of each in its
process (the first loads parts of pyarrow and its compute kernels: its ratio is shown apart).
"""

from __future__ import annotations

import argparse
import gzip
import json
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CACHE = Path(__file__).resolve().parent / ".cache"
SAMPLES = ROOT.parent / "shared" / "samples"
VERSION = 2
sys.path.insert(0, str(ROOT / "tests"))


def generated(rows: int) -> Path:
    path = CACHE / f"srum_{rows}_v{VERSION}.dat"
    if not path.exists():
        from builder import artifacts

        CACHE.mkdir(exist_ok=True)
        started = time.perf_counter()
        artifacts.srum(network=rows, odd=1000).write(path)  # 3 odd rows in 1000
        print(f"generated {path.name} in {time.perf_counter() - started:.1f}s", file=sys.stderr)
    return path


def run_one(kind: str, path: str, view: str) -> dict:
    import pyarrow as pa
    import pyarrow.compute
    from pagewright.artifacts import bits, srum

    import pagewright

    db = pagewright.EseDatabase(path)
    # First uses load parts of pyarrow and its compute kernels lazily: not part of either measurement.
    first = db.get_tables()[-1]
    pa.table(pa.RecordBatchReader.from_stream(db.table(first).arrow(batch_rows=16)).read_next_batch())
    pa.compute.index_in(pa.array([1]), value_set=pa.array([1]))

    def once() -> tuple[float, int]:
        started = time.perf_counter()
        if kind == "pyarrow":
            rows = sum(pa.table(db.table(name)).num_rows for name in view.split("|"))
        elif kind == "srum":
            rows = srum.read_table(db, view).num_rows
        else:
            rows = bits.read_table(db, view).num_rows
        return time.perf_counter() - started, rows

    first, rows = once()
    return {"first": first, "seconds": min(once()[0] for _ in range(2)), "rows": rows}


def best(repeat: int, *args: str) -> dict:
    runs = []
    for _ in range(repeat):
        out = subprocess.run(
            [sys.executable, __file__, "--run", *args], check=True, capture_output=True, text=True
        )
        runs.append(json.loads(out.stdout))
    return min(runs, key=lambda r: r["seconds"])


def pairs(quick: bool, work: Path) -> list[tuple[str, str, str, str]]:
    """(label, database, interpreter kind and view, the tables pyarrow reads for it)."""
    rows = 20_000 if quick else 500_000
    out = [
        (
            f"generated {rows} rows",
            str(generated(rows)),
            "srum:network_usage",
            "{973F5D5C-1D90-4944-BE8E-24B94231A174}|SruDbIdMapTable",
        )
    ]
    if (SAMPLES / "SRUDB.dat.gz").is_file() and (SAMPLES / "qmgr-win10.db.gz").is_file():
        for name in ("SRUDB.dat", "qmgr-win10.db"):
            with gzip.open(SAMPLES / f"{name}.gz") as src, open(work / name, "wb") as dst:
                shutil.copyfileobj(src, dst)
        from pagewright.artifacts import srum

        import pagewright

        db = pagewright.EseDatabase(str(work / "SRUDB.dat"))
        for key, table in zip(
            srum.tables(db)["key"].to_pylist(), srum.tables(db)["table"].to_pylist(), strict=True
        ):
            out.append(
                (f"SRUDB.dat {key}", str(work / "SRUDB.dat"), f"srum:{key}", f"{table}|SruDbIdMapTable")
            )
        for view, table in (("jobs", "Jobs"), ("files", "Jobs|Files")):
            out.append((f"qmgr-win10.db {view}", str(work / "qmgr-win10.db"), f"bits:{view}", table))
    return out


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--run", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.run:
        print(json.dumps(run_one(*args.run)))
        return
    with tempfile.TemporaryDirectory() as work:
        print(f"{'view':<34}{'rows':>9}{'pyarrow s':>11}{'interp. s':>11}{'ratio':>7}{'first call':>12}")
        for label, path, interpreter, tables in pairs(args.quick, Path(work)):
            kind, view = interpreter.split(":", 1)
            base, mine = best(args.repeat, "pyarrow", path, tables), best(args.repeat, kind, path, view)
            print(
                f"{label:<34}{mine['rows']:>9}{base['seconds']:>11.4f}{mine['seconds']:>11.4f}"
                f"{mine['seconds'] / base['seconds']:>7.2f}{mine['first'] / base['first']:>12.2f}"
            )


if __name__ == "__main__":
    main()
