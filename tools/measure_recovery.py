"""Precision and recall of record recovery on built databases with known deleted records and noise.

Each database holds a table "t" (fixed, variable and tagged UTF-16 columns) and a table "u" of a similar
layout. Records of "t" are removed the four ways the engine leaves them: flagged deleted, moved to slack by a
page reorganisation (tags zeroed), left behind stale tag slots, or on a freed leaf page. Slack is salted with
noise: random bytes, records of "u" and UTF-16 text. Then recover_records("t") runs over all sources.

precision = recovered rows that are real removed records of "t" with exactly their values / recovered rows
recall    = removed records recovered with exact values / removed records whose bytes are intact

Usage: PYTHONPATH=<build dir> python tools/measure_recovery.py [--seed N] [--rows N]
"""

from __future__ import annotations

import argparse
import os
import random
import struct
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from builder import Column, DatabaseBuilder, damage  # noqa: E402
from builder.readback import read_page  # noqa: E402

import pagewright  # noqa: E402

T_COLUMNS = [
    Column(1, "Id", 4),
    Column(2, "When", 8),
    Column(3, "Flag", 1),
    Column(128, "Name", 10),
    Column(256, "Note", 12, codepage=1200),
]
# Similar to "t": the same kinds of columns, a wider second fixed column and another tagged id.
U_COLUMNS = [
    Column(1, "Id", 4),
    Column(2, "Size", 15),
    Column(3, "Flag", 1),
    Column(128, "Name", 10),
    Column(257, "Text", 12, codepage=1200),
]


def t_row(rng: random.Random, n: int) -> dict[str, object]:
    word = "".join(rng.choice("abcdefghijklmnopqrstuvwxyz ÄÖé") for _ in range(rng.randint(0, 40)))
    row: dict[str, object] = {"Id": n, "When": 40000.0 + rng.random() * 10000, "Flag": rng.random() < 0.5}
    if rng.random() < 0.8:
        row["Name"] = f"name-{n}-{word[:10]}"
    if rng.random() < 0.8:
        row["Note"] = f"note {n}: {word}"
    return row


def expected(row: dict[str, object]) -> dict[str, object]:
    when = struct.unpack("<Q", struct.pack("<d", row["When"]))[0]
    return {
        "Id": row["Id"],
        "When": when,
        "Flag": row["Flag"],
        "Name": row.get("Name"),
        "Note": row.get("Note"),
    }


def noise(rng: random.Random, u_records: list[bytes]) -> bytes:
    kind = rng.randrange(3)
    if kind == 0:
        return rng.randbytes(rng.randint(8, 120))
    if kind == 1:
        return (
            struct.pack("<HH", 1, 1) + b"\x07" + rng.choice(u_records)
        )  # an entry of "u": key size, key, record
    return "".join(rng.choice("The quick brown fox ") for _ in range(rng.randint(4, 40))).encode("utf-16-le")


def salt_slack(
    image: bytes, page_size: int, pgno: int, large: bool, rng: random.Random, u_records: list[bytes]
) -> bytes:
    """Write noise into the free space past the last entry's bytes (removed records stay intact)."""
    header = 80 if large else 40
    view = read_page(damage.get_page(image, page_size, pgno), large, header)
    used_end = header + view.first_available  # the builder lays every entry, removed ones too, below this
    limit = page_size - 4 * 64
    blob = b"".join(noise(rng, u_records) for _ in range(rng.randint(1, 4)))
    # At least two zero bytes after the last record: text written right behind a record's last text value
    # would read as part of it (where such a value ends is not stored anywhere).
    start = used_end + rng.randint(2, 16)
    blob = blob[: max(0, limit - start)]
    return damage.patch(image, damage.page_offset(page_size, pgno) + start, blob)


def build(page_size: int, rows: int, rng: random.Random) -> tuple[bytes, list[dict[str, object]]]:
    db = DatabaseBuilder(page_size=page_size)
    t = db.add_table("t", T_COLUMNS, rows_per_page=12)
    u = db.add_table("u", U_COLUMNS)
    values = [t_row(rng, n) for n in range(1, rows + 1)]
    for row in values:
        t.add_row(row)
    u_records = [
        u.encode_row({"Id": n, "Size": n * 1000, "Flag": True, "Name": f"u{n}", "Text": f"u text {n}"})
        for n in range(20)
    ]
    for n in range(5):
        u.add_row({"Id": n, "Name": f"u{n}"})
    image = db.build()
    large = db.large
    layout = db.layout.tables["t"]
    removed: list[dict[str, object]] = []
    leaves = layout.leaf_pages
    per_leaf = layout.data.leaf_entry_counts
    first_row = [sum(per_leaf[:i]) for i in range(len(leaves))]
    freed = set(rng.sample(range(1, len(leaves) - 1), k=max(1, len(leaves) // 10)))
    for i, pgno in enumerate(leaves):
        count = per_leaf[i]
        if i in freed:
            removed += [expected(values[first_row[i] + k]) for k in range(count)]
            continue
        kind = rng.randrange(3)
        tags = sorted(rng.sample(range(1, count + 1), k=rng.randint(1, min(4, count - 1))))
        removed += [expected(values[first_row[i] + tag - 1]) for tag in tags]
        if kind == 0:
            for tag in tags:
                pos, _ = damage.entry_position(image, page_size, pgno, tag, large=large)
                flags = image[pos + 1] >> 5 if large else damage.read_tag(image, page_size, pgno, tag)[2]
                image = damage.set_entry_flags(image, page_size, pgno, tag, flags | 0x2, large=large)
        else:
            image = damage.compact_page(image, page_size, pgno, tags, large=large, keep_slots=kind == 2)
        image = salt_slack(image, page_size, pgno, large, rng, u_records)
    for i in sorted(freed):
        image = damage.free_leaf(image, page_size, leaves[i], layout.branch_pages, large=large)
    return image, removed


def measure(page_size: int, rows: int, seed: int) -> tuple[float, float, int, int]:
    rng = random.Random(seed)
    image, removed = build(page_size, rows, rng)
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "db.edb")
        with open(path, "wb") as handle:
            handle.write(image)
        found = [r["values"] for r in pagewright.EseDatabase(path).recover_records("t")]
    truth = [tuple(sorted(r.items())) for r in removed]
    hits = [tuple(sorted(v.items())) in truth for v in found]
    recovered = {tuple(sorted(v.items())) for v in found} & set(truth)
    precision = sum(hits) / len(found) if found else 1.0
    recall = len(recovered) / len(set(truth))
    return precision, recall, len(found), len(truth)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--rows", type=int, default=1200)
    args = parser.parse_args()
    print(f"{'page':>6} {'precision':>10} {'recall':>8} {'recovered':>10} {'removed':>8}")
    for page_size in (4096, 8192, 32768):
        precision, recall, found, truth = measure(page_size, args.rows, args.seed)
        print(f"{page_size:>6} {precision:>10.2%} {recall:>8.2%} {found:>10} {truth:>8}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
