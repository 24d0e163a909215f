"""The Dask reader against the batch export: len() of pagewright.dask.read_table over the fleet of
bench/batch_bench.py (20 databases of 50 000 rows) on a local cluster of two worker processes, next to
`pagewright export --jobs 2` of the same files. The fastest of --repeat runs of each is reported.

    PYTHONPATH=build python bench/dask_bench.py [--repeat 3]
"""

from __future__ import annotations

import argparse
import sys
import time

from batch_bench import fleet, load, run_once


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    import distributed
    import pagewright.dask

    source = fleet(20, 50_000)
    paths = sorted(str(p) for p in source.glob("*/SRUDB.dat"))
    print(f"load before: {load()}")
    export = min(run_once(source, 2)[0] for _ in range(args.repeat))
    print(f"batch export --jobs 2: {export:.2f} s")
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    )
    with cluster, distributed.Client(cluster):
        best = float("inf")
        for _ in range(args.repeat):
            started = time.perf_counter()
            rows = len(pagewright.dask.read_table(paths, "Events"))
            best = min(best, time.perf_counter() - started)
    print(f"dask len(): {rows} rows in {best:.2f} s ({best / export:.2f} x the batch export)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
