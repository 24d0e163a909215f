"""Carving throughput: carve_utf16le_strings_scoped over a generated database of about 1 GB, per scope, with
and without a needle, for printable ASCII (script="ascii", the default) and text of every script ("any").

The file is a small database built with the test suite's ESE builder (one table) whose leaf chain is
extended by many generated 8 KiB leaf pages, so that every page is a leaf of that table (the owner search
covers the whole chain). Each page holds ~25 records mixing small integers (many zero high bytes, hence many
one-character "runs"), random bytes and short UTF-16LE codes, plus slack with leftover bytes. About one page
in four holds a long string; short codes meeting text-like integers make a few more reportable runs per page
(~3 hits per page in all). The file is cached under bench/.cache/.

    PYTHONPATH=build python3 bench/carve_bench.py [--size-mb 1024] [--repeat 3]
"""

from __future__ import annotations

import argparse
import json
import random
import struct
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CACHE = Path(__file__).resolve().parent / ".cache"
PAGE_SIZE = 8192
HEADER = 40
TEMPLATES = 64
FORMAT_TAG = "v1"  # bump when the generated layout changes
NEVER_FOUND = "qzqzqzq"  # a needle that no generated string contains
LEAF_FLAGS = 0x0002 | 0x0800 | 0x2000


def record(rng: random.Random, with_string: bool) -> bytes:
    out = bytearray()
    size = rng.randrange(150, 260)
    while len(out) < size:
        kind = rng.random()
        if kind < 0.5:
            out += struct.pack("<I", rng.randrange(0, 256))  # small integers: units (x, 0), (0, 0)
        elif kind < 0.8:
            out += rng.randbytes(rng.randrange(4, 24))
        else:
            out += b"\x01" + "".join(rng.choice("ABCDEFGH0123") for _ in range(rng.randrange(2, 6))).encode(
                "utf-16-le"
            )
    if with_string:
        out += b"\x01\x01" + f"bench string number {rng.randrange(10**6)}".encode("utf-16-le") + b"\x01\x01"
    return bytes(out)


def template_pages(rng: random.Random) -> tuple[list[bytes], int, int]:
    """Leaf pages (next_page left 0) and the bytes of tag data and of slack summed over them."""
    sys.path.insert(0, str(ROOT / "tests"))
    from builder import build_page

    pages, tag_bytes, slack_bytes = [], 0, 0
    for _ in range(TEMPLATES):
        tags = [(0, b"\x7f\x80\x00\x00")]
        room = int((PAGE_SIZE - HEADER) * rng.uniform(0.6, 0.85))
        used = len(tags[0][1]) + 4
        strings_left = 1 if rng.random() < 0.25 else 0
        while True:
            entry = struct.pack("<H", 5) + b"\x7f" + rng.randbytes(4) + record(rng, strings_left > 0)
            if used + len(entry) + 4 > room:
                break
            strings_left = 0
            tags.append((0, entry))
            used += len(entry) + 4
        page = bytearray(build_page(PAGE_SIZE, False, LEAF_FLAGS, tags, checksum=False))
        data_end = HEADER + sum(len(d) for _, d in tags)
        array_start = PAGE_SIZE - 4 * len(tags)
        leftover = bytearray(rng.randbytes(array_start - data_end))
        for _ in range(rng.randrange(0, 4)):  # leftover integers and short text in the free space
            at = rng.randrange(0, max(len(leftover) - 16, 1)) & ~1
            leftover[at : at + 8] = "oldx".encode("utf-16-le")
        page[data_end:array_start] = leftover
        pages.append(bytes(page))
        tag_bytes += data_end - HEADER
        slack_bytes += array_start - data_end
    return pages, tag_bytes, slack_bytes


def generate(path: Path, size_mb: int) -> dict:
    sys.path.insert(0, str(ROOT / "tests"))
    from builder import Column, DatabaseBuilder

    rng = random.Random(20240601)
    builder = DatabaseBuilder(page_size=PAGE_SIZE)
    table = builder.add_table("Bench", columns=[Column(1, "Id", 4, flags=0x1), Column(128, "Note", 9)])
    for i in range(10):
        table.add_row({"Id": i, "Note": f"seed row {i}".encode("utf-16-le")})
    base = bytearray(builder.build())
    layout = builder.layout
    last_leaf = layout.tables["Bench"].leaf_pages[-1]
    first_extra = layout.total_pages + 1
    extra = max(size_mb * 1024 * 1024 // PAGE_SIZE - layout.total_pages - 2, TEMPLATES)
    extra -= extra % TEMPLATES
    struct.pack_into("<I", base, (last_leaf + 1) * PAGE_SIZE + 20, first_extra)

    pages, tag_bytes, slack_bytes = template_pages(rng)
    block = bytearray(b"".join(pages))
    blocks = extra // TEMPLATES
    tmp = path.with_suffix(".tmp")
    with open(tmp, "wb") as out:
        out.write(base)
        for b in range(blocks):
            for j in range(TEMPLATES):
                n = first_extra + b * TEMPLATES + j
                nxt = 0 if (b == blocks - 1 and j == TEMPLATES - 1) else n + 1
                struct.pack_into("<I", block, j * PAGE_SIZE + 20, nxt)
            out.write(block)
    tmp.rename(path)
    meta = {"tag_bytes": tag_bytes * blocks, "slack_bytes": slack_bytes * blocks, "pages": extra}
    path.with_suffix(".json").write_text(json.dumps(meta))
    return meta


def measure(db, scope: str, needle: str | None, script: str, repeat: int) -> tuple[float, int]:
    best = float("inf")
    hits = 0
    for _ in range(repeat):
        start = time.perf_counter()
        result = db.carve_utf16le_strings_scoped(scope, needle=needle, max_hits=10**12, script=script)
        best = min(best, time.perf_counter() - start)
        hits = len(result)
        del result
    return best, hits


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--size-mb", type=int, default=1024)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    import pagewright

    CACHE.mkdir(parents=True, exist_ok=True)
    path = CACHE / f"carve_{args.size_mb}mb_{PAGE_SIZE}_{FORMAT_TAG}.edb"
    if not path.exists() or not path.with_suffix(".json").exists():
        print(f"generating {path} ...", flush=True)
        generate(path, args.size_mb)
    meta = json.loads(path.with_suffix(".json").read_text())
    size = path.stat().st_size
    with open(path, "rb") as f:  # bring the file into the page cache
        while f.read(1 << 24):
            pass

    db = pagewright.EseDatabase(str(path))
    scanned = {
        "all": size,
        "slack": meta["slack_bytes"],
        "tag_data": meta["tag_bytes"],
        "lv_all": 0,
        "lv_slack": 0,
    }
    print(f"file: {size / 1e9:.3f} GB, {db.total_pages} pages of {db.page_size} bytes")
    header = f"{'scope':<10} {'script':<7} {'needle':<8} {'seconds':>8} {'hits':>8} {'file GB/s':>10}"
    print(f"{header} {'scanned GB/s':>13}")
    for scope in ("all", "slack", "tag_data", "lv_all", "lv_slack"):
        for script in ("ascii", "any"):
            for needle in (None, NEVER_FOUND):
                seconds, hits = measure(db, scope, needle, script, args.repeat)
                per_scanned = f"{scanned[scope] / seconds / 1e9:13.2f}" if scanned[scope] else f"{'-':>13}"
                label = "none" if needle is None else "yes"
                speed = size / seconds / 1e9
                print(
                    f"{scope:<10} {script:<7} {label:<8} {seconds:8.3f} {hits:8d} {speed:10.2f} {per_scanned}"
                )


if __name__ == "__main__":
    main()
