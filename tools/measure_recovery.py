"""Precision and recall of record recovery on built databases with known deleted records and noise.

Each database holds a table "t" (fixed, variable, tagged UTF-16 text and tagged binary columns) and a table
"u" of a similar layout (another tagged id). Records of "t" are removed the four ways the engine leaves them:
flagged deleted, moved to slack by a page reorganisation (tags zeroed), left behind stale tag slots, or on a
freed leaf page.
Right after the used bytes of each page comes noise: random bytes, a later entry (of "u", or of "t": then a
removed record too), or UTF-16 text. Then recover_records("t") runs over all sources.

exact     = recovered records with exactly the values of a removed record of "t" / recovered records
precision = recovered records that are exact, or where only the value named by inferred_end runs on past its
            true end (the true value is a prefix of it) / recovered records
recall    = removed records recovered precisely / removed records

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

import pagewright  # noqa: E402

T_COLUMNS = [
    Column(1, "Id", 4),
    Column(2, "When", 8),
    Column(3, "Flag", 1),
    Column(128, "Name", 10),
    Column(256, "Note", 12, codepage=1200),
    Column(258, "Blob", 11),
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
    if rng.random() < 0.3:
        row["Blob"] = rng.randbytes(rng.randint(1, 24))
    return row


def expected(row: dict[str, object]) -> dict[str, object]:
    when = struct.unpack("<Q", struct.pack("<d", row["When"]))[0]
    names = ("Id", "Flag", "Name", "Note", "Blob")
    return {"When": when, **{name: row.get(name) for name in names}}


def noise(rng: random.Random, later: list[bytes], kind: int) -> bytes:
    if kind == 0:
        return rng.randbytes(rng.randint(8, 120))
    if kind == 1:  # a later entry: key size, key, record
        return struct.pack("<H", 4) + rng.randbytes(4) + rng.choice(later)
    return "".join(rng.choice("The quick brown fox ") for _ in range(rng.randint(4, 40))).encode("utf-16-le")


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
        # Right after the page's used bytes: random bytes, a later entry (of "u", or of "t": then a removed
        # record too) or UTF-16 text; then more noise.
        first = rng.randrange(4)
        if first == 3:
            row = t_row(rng, rows + 1 + i)
            removed.append(expected(row))
            pieces = [struct.pack("<H", 4) + rng.randbytes(4) + t.encode_row(row)]
        else:
            pieces = [noise(rng, u_records, first)]
        pieces += [noise(rng, u_records, rng.randrange(3)) for _ in range(rng.randint(0, 2))]
        blob = b"".join(pieces)
        image, _ = damage.write_free_space(image, page_size, pgno, blob[: page_size // 4], large=large)
    for i in sorted(freed):
        image = damage.free_leaf(image, page_size, leaves[i], layout.branch_pages, large=large)
    return image, removed


def runs_on(found: object, true: object) -> bool:
    """The recovered value is the true one followed by more characters or bytes."""
    if not (
        isinstance(found, str)
        and isinstance(true, str)
        or isinstance(found, bytes)
        and isinstance(true, bytes)
    ):
        return False
    return len(found) > len(true) and found.startswith(true)  # type: ignore[arg-type]


def measure(page_size: int, rows: int, seed: int) -> tuple[float, float, float, int, int]:
    rng = random.Random(seed)
    image, removed = build(page_size, rows, rng)
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "db.edb")
        with open(path, "wb") as handle:
            handle.write(image)
        found = pagewright.EseDatabase(path).recover_records("t")
    truth = {r["Id"]: r for r in removed}
    exact = precise = 0
    recovered: set[object] = set()
    for record in found:
        values = record["values"]
        true = truth.get(values["Id"])
        if true is None:
            continue
        named = record.get("inferred_end")
        if values == true:
            exact += 1
        elif not (named and runs_on(values[named], true[named]) and {**values, named: true[named]} == true):
            continue
        precise += 1
        recovered.add(values["Id"])
    n = len(found) or 1
    return precise / n, len(recovered) / len(truth), exact / n, len(found), len(truth)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--rows", type=int, default=1200)
    args = parser.parse_args()
    print(f"{'page':>6} {'precision':>10} {'recall':>8} {'exact':>8} {'recovered':>10} {'removed':>8}")
    for page_size in (4096, 8192, 16384, 32768):
        precision, recall, exact, found, truth = measure(page_size, args.rows, args.seed)
        print(f"{page_size:>6} {precision:>10.2%} {recall:>8.2%} {exact:>8.2%} {found:>10} {truth:>8}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
