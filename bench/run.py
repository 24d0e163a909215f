"""pagewright benchmarks: open, read, export and carve on generated databases; prints one table.

    python bench/run.py            full size: 500 000 rows, 100 000 long values, 2 000 tables, ~1 GiB to carve
    python bench/run.py --quick    small versions of the same databases (a smoke run of a few seconds)

The databases come from bench/generate.py and are cached under bench/.cache/ (generated on first use, in a
separate process). Every measurement runs in a fresh interpreter, so the peak memory it reports (ru_maxrss) is
its own; within it the operation runs --repeat times and the fastest run is reported. Files are read once
before measuring so that they are in the page cache. The peak memory includes the resident pages of the mapped
database file.

pagewright is imported as installed (or from PYTHONPATH), or else from the newest Release build directory of
the repository (build*/, sanitizer builds left out).
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
SCOPES = ("slack", "all", "tag_data", "lv_all", "lv_slack")
NEEDLE = "svchost"
UNLIMITED = 10**12


# In the measuring child -------------------------------------------------------------------------------------


def best_of(repeat: int, action) -> tuple[float, object]:
    best, result = float("inf"), None
    for _ in range(repeat):
        result = None
        started = time.perf_counter()
        result = action()
        best = min(best, time.perf_counter() - started)
    return best, result


def lines_in(paths: list[str]) -> tuple[int, int]:
    """(lines, bytes) of the output files, read in pieces (the peak memory is already taken)."""
    lines = size = 0
    for path in paths:
        with open(path, "rb") as handle:
            while piece := handle.read(1 << 22):
                lines += piece.count(b"\n")
                size += len(piece)
    return lines, size


def peak_kib() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def child(spec: dict) -> dict:
    import pagewright

    path, operation, repeat = spec["path"], spec["operation"], spec["repeat"]
    out: dict = {"module": pagewright.__file__}
    if operation == "open":
        seconds, db = best_of(repeat, lambda: pagewright.EseDatabase(path))
        out.update(
            seconds=seconds, ru_maxrss_kib=peak_kib(), tables=len(db.get_tables()), pages=db.total_pages
        )
        return out
    db = pagewright.EseDatabase(path)
    if operation == "read_table":
        names = spec["tables"]

        # The rows stay alive until the clock has stopped: freeing them is the caller's cost, not the read's.
        out["seconds"], tables = best_of(repeat, lambda: [db.read_table(name) for name in names])
        out["rows"] = sum(len(rows) for rows in tables)
        out["ru_maxrss_kib"] = peak_kib()
    elif operation == "export_table":
        target = os.path.join(spec["out_dir"], "table.jsonl")
        out["seconds"], _ = best_of(repeat, lambda: db.export_table(spec["tables"][0], target))
        out["ru_maxrss_kib"] = peak_kib()
        out["rows"], out["bytes"] = lines_in([target])
    elif operation == "export_all":
        directory = spec["out_dir"]
        out["seconds"], _ = best_of(repeat, lambda: db.export_all(directory))
        out["ru_maxrss_kib"] = peak_kib()
        out["rows"], out["bytes"] = lines_in(
            [e.path for e in os.scandir(directory) if e.name.endswith(".jsonl")]
        )
    elif operation == "carve":
        scope, needle = spec["scope"], spec["needle"]

        def carve() -> int:
            return len(db.carve_utf16le_strings_scoped(scope, needle=needle, max_hits=UNLIMITED))

        out["seconds"], out["hits"] = best_of(repeat, carve)
        out["ru_maxrss_kib"] = peak_kib()
    else:
        raise SystemExit(f"unknown operation {operation!r}")
    return out


# In the parent ----------------------------------------------------------------------------------------------


def module_path_env() -> dict[str, str]:
    """Environment for the children: PYTHONPATH gains the newest build if pagewright is not importable."""
    env = dict(os.environ)
    probe = subprocess.run([sys.executable, "-c", "import pagewright"], env=env, capture_output=True)
    if probe.returncode == 0:
        return env

    def release(module: Path) -> bool:
        cache = module.parent / "CMakeCache.txt"
        text = cache.read_text(errors="replace") if cache.exists() else ""
        return "CMAKE_BUILD_TYPE:STRING=Release" in text and "PAGEWRIGHT_SANITIZE:BOOL=ON" not in text

    built = sorted(
        (p for p in ROOT.glob("build*/pagewright*.so") if release(p)),
        key=lambda p: p.stat().st_mtime,
        reverse=True,
    )
    if not built:
        raise SystemExit(
            "pagewright is neither installed nor built in Release mode under build*/ "
            "(or set PYTHONPATH to the directory of the module)"
        )
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(built[0].parent), env.get("PYTHONPATH", "")]))
    return env


def dataset(kind: str, quick: bool) -> tuple[Path, dict]:
    """Generate (in a separate process, which keeps this one small) or find the cached dataset."""
    sys.path.insert(0, str(HERE))
    import generate  # noqa: PLC0415 - the builder is only imported when it is needed

    path = generate.cache_path(kind, quick)
    if not (path.exists() and path.with_suffix(".json").exists()):
        command = [sys.executable, str(HERE / "generate.py"), kind] + (["--quick"] if quick else [])
        subprocess.run(command, check=True)
    facts = json.loads(path.with_suffix(".json").read_text())
    with open(path, "rb") as handle:  # into the page cache
        while handle.read(1 << 24):
            pass
    return path, facts


def measure(spec: dict, env: dict[str, str]) -> dict:
    with tempfile.TemporaryDirectory(prefix="pagewright-bench-") as out_dir:
        spec = dict(spec, out_dir=out_dir)
        done = subprocess.run(
            [sys.executable, __file__, "--child", json.dumps(spec)], env=env, capture_output=True, text=True
        )
    if done.returncode != 0:
        raise SystemExit(f"measurement {spec} failed:\n{done.stderr}")
    result = json.loads(done.stdout.strip().splitlines()[-1])
    return result


def fmt(value: float | None, pattern: str) -> str:
    return "-" if value is None else format(value, pattern)


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--quick", action="store_true", help="small databases: a smoke run")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each operation; the fastest counts")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(child(json.loads(args.child))))
        return

    env = module_path_env()
    started = time.perf_counter()
    data = {kind: dataset(kind, args.quick) for kind in ("rows", "long_values", "catalog", "carve")}
    repeat = args.repeat
    plan: list[tuple[str, str, dict]] = []  # (dataset, label, spec)
    for kind in data:
        plan.append((kind, "open", {"operation": "open", "repeat": max(repeat, 5)}))
    for kind in ("rows", "long_values", "catalog"):
        tables = list(data[kind][1]["tables"])
        plan.append((kind, "read_table", {"operation": "read_table", "tables": tables}))
    for kind in ("rows", "long_values"):
        plan.append(
            (kind, "export_table", {"operation": "export_table", "tables": [data[kind][1]["main_table"]]})
        )
    for kind in ("rows", "catalog"):
        plan.append((kind, "export_all", {"operation": "export_all"}))
    for scope in SCOPES:
        for needle in (None, NEEDLE):
            label = f"carve {scope}" + (f" needle={needle}" if needle else "")
            plan.append(("carve", label, {"operation": "carve", "scope": scope, "needle": needle}))

    rows_out = []
    module = None
    for kind, label, spec in plan:
        path, facts = data[kind]
        spec = dict(spec, path=str(path), repeat=spec.get("repeat", repeat))
        result = measure(spec, env)
        module = result["module"]
        seconds = result["seconds"]
        size = facts["bytes"]
        rows = result.get("rows")
        out_bytes = result.get("bytes")
        rows_out.append(
            {
                "dataset": kind,
                "operation": label,
                "ms": seconds * 1000 if label == "open" else None,
                "seconds": seconds,
                "rows_s": rows / seconds if rows else None,
                "mb_s": out_bytes / seconds / 1e6 if out_bytes else None,
                "gb_s": size / seconds / 1e9 if label.startswith("carve") else None,
                "hits": result.get("hits"),
                "rows": rows,
                "peak_mb": result["ru_maxrss_kib"] / 1024,
            }
        )
        print(f"  measured {kind:<11} {label:<30} {seconds:8.3f} s", file=sys.stderr, flush=True)

    sys.stderr.flush()
    print()
    print(
        f"pagewright benchmarks{' (--quick)' if args.quick else ''}: {platform.python_implementation()} "
        f"{platform.python_version()}, {os.cpu_count()} CPUs, module {module}"
    )
    print(f"best of {repeat} runs (open: best of {max(repeat, 5)}), each operation in a fresh process")
    for kind, (path, facts) in data.items():
        tables = facts["tables"]
        print(
            f"  {kind:<11} {path.name}: {facts['bytes'] / 1e6:8.1f} MB, {len(tables)} table(s), "
            f"{sum(tables.values()):,} rows"
        )
    print()
    header = (
        f"{'dataset':<11} {'operation':<30} {'time s':>8} {'open ms':>8} {'rows/s':>12} {'out MB/s':>9} "
        f"{'GB/s':>6} {'hits':>9} {'peak MB':>8}"
    )
    print(header)
    print("-" * len(header))
    for row in rows_out:
        print(
            f"{row['dataset']:<11} {row['operation']:<30} {row['seconds']:8.3f} {fmt(row['ms'], '8.2f'):>8} "
            f"{fmt(row['rows_s'], '12,.0f'):>12} {fmt(row['mb_s'], '9.1f'):>9} {fmt(row['gb_s'], '6.2f'):>6} "
            f"{fmt(row['hits'], '9d'):>9} {row['peak_mb']:8.1f}"
        )
    peak = max(row["peak_mb"] for row in rows_out)
    print("-" * len(header))
    print(
        f"peak memory of any measurement (ru_maxrss): {peak:.1f} MB; "
        f"wall time {time.perf_counter() - started:.0f} s"
    )
    print(
        "GB/s = database file bytes / time (each scope visits every page); out MB/s = JSON Lines bytes / time"
    )
    if shutil.disk_usage(HERE).free < 2e9:
        print("note: less than 2 GB free next to bench/.cache", file=sys.stderr)


if __name__ == "__main__":
    main()
