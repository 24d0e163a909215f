"""Page verification throughput: EseDatabase.verify_pages over the ~1 GB "carve" dataset of generate.py (8 KiB
pages, every page checksummed in the XOR-ECC form), as generated and with one flipped bit in every 64th page;
and the open with repair_ecc=True of the flipped file (every page checked, the flipped ones copied).

    PYTHONPATH=build python3 bench/verify_bench.py [--quick] [--repeat 3]
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import generate  # noqa: E402

import pagewright  # noqa: E402


def flipped_copy(source: Path, page_size: int, every: int) -> Path:
    target = source.with_name(source.stem + f"-flipped{every}.edb")
    if not target.is_file():
        image = bytearray(source.read_bytes())
        for pgno in range(every, len(image) // page_size - 1, every):
            image[(pgno + 1) * page_size + 1000 + pgno % 4000] ^= 1 << (pgno % 8)
        target.write_bytes(image)
    return target


def best(repeat: int, work) -> tuple[float, object]:
    times, result = [], None
    for _ in range(repeat):
        start = time.perf_counter()
        result = work()
        times.append(time.perf_counter() - start)
    return min(times), result


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    path, _ = generate.ensure("carve", args.quick)
    flipped = flipped_copy(path, generate.PAGE_SIZE, 64)
    size = path.stat().st_size
    for label, target in (("as generated", path), ("a bit flipped in 1/64 pages", flipped)):
        with pagewright.EseDatabase(target) as db:
            seconds, report = best(args.repeat, db.verify_pages)
        counts = {k: report[k] for k in ("ok", "mismatched", "correctable", "uninitialized")}  # type: ignore[index]
        print(f"verify_pages, {label}: {seconds:.3f} s, {size / seconds / 1e9:.2f} GB/s, {counts}")
    seconds, repairs = best(
        args.repeat, lambda: len(pagewright.EseDatabase(flipped, repair_ecc=True).header["page_repairs"])
    )
    print(f"open, repair_ecc=True: {seconds:.3f} s, {size / seconds / 1e9:.2f} GB/s, {repairs} bits repaired")


if __name__ == "__main__":
    main()
