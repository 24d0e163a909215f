"""The analyst's API on the generated 500 000-row, 20-column table: rows/s of read_table, rows(typed=False)
and rows() (typed), the time of count() and of the first row, and the memory of a full rows() pass next to
that of a table 25 times smaller (peak RSS counts the mapped file's resident pages; anon MB is the process's
own memory at the end). Each figure comes from a fresh interpreter, the fastest of --repeat runs.

    PYTHONPATH=build python3 bench/typed_bench.py [--repeat 3]
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import generate  # noqa: E402

PROBE = """
import json, resource, sys, time
from pagewright import EseDatabase
path, table, what = sys.argv[1:]
db = EseDatabase(path)
t = db.table(table)
start = time.perf_counter()
if what == "read_table":
    n = len(db.read_table(table))
elif what == "count":
    n = t.count()
elif what == "first_row":
    next(iter(t))
    n = 1
else:
    n = sum(1 for _ in t.rows(typed=what == "typed"))
seconds = time.perf_counter() - start
anon = [l for l in open("/proc/self/status") if l.startswith("RssAnon")][0].split()[1]
print(json.dumps({"n": n, "s": seconds, "rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
                  "anon_mb": int(anon) / 1024}))
"""


def probe(path: Path, table: str, what: str, repeat: int) -> dict[str, float]:
    runs = []
    for _ in range(repeat):
        out = subprocess.run(
            [sys.executable, "-c", PROBE, str(path), table, what], capture_output=True, text=True
        )
        if out.returncode != 0:
            raise SystemExit(out.stderr)
        runs.append(json.loads(out.stdout))
    return min(runs, key=lambda r: r["s"])


def report(what: str, r: dict[str, float]) -> None:
    rate = r["n"] / r["s"]
    print(f"{what:<22}{r['n']:>10.0f}{r['s']:>10.4f}{rate:>12,.0f}{r['rss_mb']:>10.0f}{r['anon_mb']:>10.0f}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    big, facts = generate.ensure("rows", quick=False)
    small, _ = generate.ensure("rows", quick=True)
    table = facts["main_table"]
    print(f"{'measure':<22}{'rows':>10}{'seconds':>10}{'rows/s':>12}{'peak MB':>10}{'anon MB':>10}")
    for what in ("read_table", "untyped", "typed", "count", "first_row"):
        report(what, probe(big, table, what, args.repeat))
    report("typed (20 000 rows)", probe(small, table, "typed", args.repeat))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
