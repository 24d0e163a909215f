"""Malformed-input smoke: damaged files of every kind through every public entry point, in a subprocess. A
crash, a hang, an exception other than the documented OSError texts, entry points that disagree, or a file
written outside the output directory fails. The fuzz targets (fuzz/) cover the core far more widely."""

from __future__ import annotations

import contextlib
import importlib.util
import io
import json
import os
import random
import re
import resource
import struct
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest
from builder import Column, Compressed, DatabaseBuilder, LongValue, MultiValue, Tagged, damage
from builder import logs as L

import pagewright
from pagewright_cli.main import main

pyarrow = importlib.import_module("pyarrow") if importlib.util.find_spec("pyarrow") else None

KINDS = r"(Invalid (database header|signature|page number|tag number|catalog entry)|Page data too short"
KINDS += r"|Unsupported (catalog|column) type|Tag offset out of bounds|Unknown codepage|Parse error|IO error"
KINDS += r"|page \d+ lies past the end of the file \(\d+ pages?\): the file is truncated)"
DOCUMENTED = {  # the only failures on a damaged file: exactly OSError, with these texts
    "open": "Failed to open database: " + KINDS,
    "header": "Failed to read the header: " + KINDS,
    "table": "(Error reading record: )?" + KINDS,  # without the prefix when the table's root is unreadable
    "recover": "Error recovering records: " + KINDS,
    "export_all": r"Failed to export \d+ of \d+ tables?: '.*' \((Error reading record: )?" + KINDS,
}
SCOPES = ("slack", "all", "tag_data", "lv_all", "lv_slack")


def attempt(what: str, func):
    """(True, result), or (False, text) for a documented failure; any other exception propagates."""
    try:
        return True, func()
    except OSError as exc:
        if type(exc) is not OSError or not re.match(DOCUMENTED[what], str(exc)):
            raise
        return False, str(exc).removeprefix("Error reading record: ")


def cli(*argv: str) -> int:
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()) as err:
        code = main(list(argv))
    assert code in (0, 1) and re.fullmatch(r"(pagewright: .*\n)*", e := err.getvalue()), (argv, code, e)
    return code


def check_table(db, t, path: str, out: str) -> bool:
    """Every road through a table's rows fails alike or gives the same rows; True when they are readable."""
    n = t.name
    assert [(c["name"], c["id"]) for c in db.get_table_schema(n)] == [(c.name, c.id) for c in t.columns]
    roads = {
        "read_table": lambda: repr(db.read_table(n)),
        "raw rows": lambda: repr(list(t.rows(typed=False, deleted="include"))),
        "export_table": lambda: db.export_table(n, out) or len([json.loads(s) for s in open(out, "rb")]),
        "json_lines": lambda: len([json.loads(line) for line in t.json_lines()]),
        "export_rows": lambda: db.export_rows(n, out + ".csv", typed=True, format="csv"),
        "count": t.count,
        "typed rows": lambda: len(list(t.rows())),
        "arrow": lambda: pyarrow.table(t.arrow()).num_rows if pyarrow else t.count(),
        "scan_table": lambda: db.scan_table(n)["rows"],
    }
    got = {key: attempt("table", road) for key, road in roads.items()}
    ok = got["count"][0]
    # the raw views keep every entry; the others leave out those flagged deleted
    want = [got["read_table"]] * 2 + [(True, len(db.read_table(n)))] + [got["count"]] * 6 if ok else None
    assert list(got.values()) == (want or [got["count"]] * len(roads)), (n, got)
    recovered = attempt("recover", lambda: len(list(t.recover(typed=False))))
    assert recovered == attempt("recover", lambda: len(db.recover_records(n))), n
    dumps = [cli("dump", *typed, path, n) for typed in ([], ["--typed"])]
    assert cli("schema", path, n) == 0 and dumps == [1 - ok] * 2, (n, dumps)
    return ok


def exercise(path: str, out: str) -> int | None:
    for argv in (["info"], ["tables"], ["carve", "--scope", "all"], ["recover"], ["export", f"{out}/cli"]):
        cli(argv[0], path, *argv[1:])
    header_ok = attempt("header", lambda: pagewright.read_header(path))[0]
    opened, db = attempt("open", lambda: pagewright.EseDatabase(path))
    if not opened:
        return None
    tables = db.tables()
    assert header_ok and repr(db) and db.header and [t.name for t in tables] == db.get_tables()
    unreadable = sum(not check_table(db, t, path, f"{out}/t{i}") for i, t in enumerate(tables))
    ok, text = attempt("export_all", lambda: db.export_all(f"{out}/all"))
    assert ok != bool(unreadable) and (ok or text.startswith(f"Failed to export {unreadable} of ")), text
    assert set(os.listdir(f"{out}/all")) <= {pagewright.export_file_name(t.name) for t in tables}
    image, size = Path(path).read_bytes(), db.page_size
    for scope, needle in [*((s, None) for s in SCOPES), ("all", "e")]:
        for h in db.carve_utf16le_strings_scoped(scope, needle=needle, max_hits=40):
            at, raw = (h["page"] + 1) * size + h["offset"], h["text"].encode("utf-16-le")
            assert h["slack_start"] <= h["offset"] < h["offset"] + len(raw) <= h["slack_end"] <= size, h
            assert image[at : at + len(raw)] == raw and (needle or "") in h["text"], h
    return unreadable


def base(page_size: int) -> tuple[bytes, dict[str, int]]:
    """A file with values of every kind, values that lie about themselves, deep trees; and its pages."""
    db = DatabaseBuilder(page_size=page_size, catalog_rows_per_page=4)
    cols = [Column(1, "Id", 4), Column(2, "Score", 7), Column(3, "When", 8), Column(4, "Guid", 16)]
    cols += [Column(128, "Name", 10), Column(256, "Note", 12, codepage=1200), Column(257, "Blob", 11)]
    cols += [Column(258, "Pack", 12, flags=0x1000), Column(259, "Many", 9, flags=8)]
    t = db.add_table("mixed", cols, rows_per_page=3, fanout=2, lv_rows_per_page=2)
    for i in range(24):
        text = f"Microsoft row {i} " * (1 + i % 4)
        row = {"Id": i, "Score": i / 3, "When": 1 << 56 | i, "Guid": bytes(range(i, i + 16)), "Name": text}
        row["Note"] = LongValue(text * 40, chunk_size=700, compress=ZIP[i % 2], order=ORDER[i % 3])
        row["Pack"] = Compressed(text * 3, scheme=SCHEMES[i % 3])
        row["Many"] = MultiValue([text.encode(), LongValue(b"m" * 1200)]) if i % 4 == 0 else None
        t.add_row(row)
    for n, flags in enumerate(f for f in (1, 2, 4, 5, 8, 0xA, 0xC, 0x10, 0x18, 0xFF) for _ in range(5)):
        pack = Compressed("text" * 9, scheme=SCHEMES[n % 2], header=(0x00, 0x0F, 0x1F, 0xFF)[n % 4])
        t.add_row({"Id": 100 + n, "Pack": pack, TAGGED[n % 3]: Tagged(GARBAGE[n % 5], flags=flags)})
    for n, blob in enumerate(LIES):
        t.add_row(Id=300 + n, Blob=blob, Many=MultiValue([b"one", LongValue(b"w" * 2000, total_size=3)]))
    t.add_long_value(LongValue(b"orphan " * 300, lv_id=5000))
    for record in (b"\xff\xff\xff\xff", b"\x7f\x80\x04\x00", b"\x01", b"\x04\x85\xf0\x7f\x00\x00"):
        t.add_raw_record(record)
    db.add_table("other", [Column(1, "N", 4)]).add_rows({"N": n} for n in range(5))
    db.add_raw_page(("leftover text " * 300).encode("utf-16-le")[:page_size])
    data, t = db.build(), db.layout.tables["mixed"]
    pages = {"leaf": t.leaf_pages[1], "last leaf": t.leaf_pages[-1], "root": t.root_page}
    return data, {**pages, "lv leaf": t.lv_leaf_pages[1], "catalog": db.layout.catalog_leaf_pages[0]}


ZIP, ORDER, SCHEMES = (None, "xpress"), ("asc", "asc", "reversed"), ("7bit_ascii", "xpress", "7bit_unicode")
TAGGED, TAG = ("Note", "Blob", "Many"), {"size_word": 0xFFFF, "offset_word": 0xFFFF}
GARBAGE = [b"", b"\x18\xff\xff" + bytes(30), b"\x0f" * 9, b"\xff" * 4, b"\x06\x00\xff\xff\x02"]
LIES = [LongValue(b"x" * 3000, total_size=0xFFFFFFFF), LongValue(b"y" * 3000, total_size=1)]
LIES += [LongValue("dangling", store=False), LongValue("z" * 2000, compress="xpress", refcount=0)]
# Damage to the bytes d (p: pages, s: page size); FAILS: unreadable tables in the 8 and 32 KiB files after it
# (None: the file does not open; [0, 0] when not listed).
DAMAGES = {
    "truncated in the header": lambda d, p, s: d[:300],
    "truncated mid-file": lambda d, p, s: d[: len(d) // 2 + 77],
    "header garbage in both copies": lambda d, p, s: random.Random(2).randbytes(2 * s) + d[2 * s :],
    "leaf page header": lambda d, p, s: damage.set_page_flags(d, s, p["leaf"], 0xFFFFFFFF),
    "leaf tag count": lambda d, p, s: damage.set_tag_count(d, s, p["leaf"], 0xFFFF),
    "leaf tag array": lambda d, p, s: damage.set_tag(d, s, p["leaf"], 1, **TAG),
    "catalog tag array": lambda d, p, s: damage.set_tag(d, s, p["catalog"], 1, **TAG),
    "catalog page garbage": lambda d, p, s: damage.fill_page(d, s, p["catalog"], 0xFF),
    "catalog record": lambda d, p, s: damage.patch(d, d.find(b"other") - 33, b"\xff"),  # last variable id 255
    "long-value chain loop": lambda d, p, s: damage.set_next_page(d, s, p["lv leaf"], p["lv leaf"]),
    "branch loop": lambda d, p, s: damage.set_child(d, s, p["root"], 1, p["root"], large=s > 8192),
    "leaf chain cycle": lambda d, p, s: damage.set_next_page(d, s, p["last leaf"], p["leaf"]),
    "random page": lambda d, p, s: damage.overwrite_page(d, s, p["leaf"], random.Random(1).randbytes(s)),
    "bit flips": lambda d, p, s: flips(d, 5),
}
FAILS = {"truncated in the header": [None] * 2, "header garbage in both copies": [None] * 2}
FAILS.update({"truncated mid-file": [1, 1]})


def flips(d: bytes, seed: int) -> bytes:  # one bit every 4999 bytes past the two header copies
    return d[:65536] + bytes(b ^ 1 << i % 8 if i % 4999 == seed else b for i, b in enumerate(d[65536:]))


def run_worker(files: list[Path], tmp: Path) -> list[int | None]:
    """Each file's unreadable tables; a crash, a hang, a problem (exit status 1) or a stray file fails."""
    (tmp / "cwd").mkdir(), (tmp / "out").mkdir()
    argv = [sys.executable, __file__, *map(str, files)]
    try:
        done = subprocess.run(argv, cwd=tmp / "cwd", capture_output=True, text=True, timeout=120)
    except subprocess.TimeoutExpired as exc:
        pytest.fail(f"hang in {exc.stdout.splitlines()[-1:]}")
    assert done.returncode == 0, (
        f"{done.returncode} in {done.stdout.splitlines()[-1:]}: {done.stderr[-2000:]}"
    )
    given = [f for path in files for f in (path, *path.rglob("*"))]  # a log folder and what it holds
    assert sorted(tmp.rglob("*")) == sorted([*given, tmp / "cwd", tmp / "out", *(tmp / "out").rglob("*")])
    return [json.loads(line) for line in done.stdout.splitlines()[1::2]]


@pytest.mark.parametrize("kind", DAMAGES)
def test_damaged_files_fail_cleanly(tmp_path: Path, kind: str) -> None:
    for n, page_size in enumerate((8192, 32768)):
        (tmp_path / f"{n}.edb").write_bytes(DAMAGES[kind](*base(page_size), page_size))
    assert run_worker(sorted(tmp_path.glob("*.edb")), tmp_path) == FAILS.get(kind, [0, 0])


def test_damaged_sample(tmp_path: Path, sample) -> None:
    data = Path(sample("SRUDB.dat")).read_bytes()
    (tmp_path / "cut.edb").write_bytes(data[: len(data) // 3])
    (tmp_path / "flipped.edb").write_bytes(flips(data, 11))
    assert run_worker([tmp_path / "cut.edb", tmp_path / "flipped.edb"], tmp_path) == [6, 0]


def exercise_logs(folder: str) -> dict[str, object]:
    """Every road through a damaged log folder; what the reader counted, the notes on files, the changes."""
    logs = pagewright.LogSet(folder)
    count = sum(1 for _ in logs.records())
    assert count == sum(g["record_count"] for g in logs.generations), count
    db = pagewright.EseDatabase(f"{folder}/db.edb", logs=logs)
    assert db.log_coverage()["page_changes"] == sum(1 for r in db.log_records() if r.get("table") == "t")
    changes = list(db.table("t").log_changes())
    for argv in (
        ["logs", folder],
        ["info", f"{folder}/db.edb"],
        ["recover", f"{folder}/db.edb", "--logs", folder],
    ):
        assert cli(*argv) == 0, argv
    notes = sorted(Path(f["path"]).name + ": " + f["note"].split(" (")[0] for f in logs.files if f["note"])
    return {**{k: v for k, v in logs.damage.items() if v}, "changes": len(changes), "notes": notes}


def log_folder(folder: Path, prepare: Callable[[Any], object], finish: Callable[[Any], bytes] | None) -> Path:
    """A dirty database and one generation of its logs: two transactions (the second's record longer than a
    segment), `prepare` adding to the generation between them, `finish` making the file of it."""
    folder.mkdir()
    patches = L.dirty_header_patches(L.signature(), L.signature(9), (5, 5))
    build = DatabaseBuilder(db_state=2, header_patches=patches)
    t = build.add_table("t", [Column(1, "Id", 4), Column(128, "Name", 10)])
    t.add_row({"Id": 1, "Name": "one"})
    (folder / "db.edb").write_bytes(build.build())
    oid, page = build.layout.tables["t"].object_id, build.layout.tables["t"].leaf_pages[0]
    gen = L.LogWriter(5).add(
        L.begin0(1), L.insert(1, page, 1, 0x200, 0x100, oid, b"k2", t.encode_row({"Id": 2}))
    )
    gen.add(L.commit0(1), L.begin0(2))
    prepare(gen)
    big = t.encode_row({"Id": 3, "Name": "x" * 5000})
    gen.new_segment().add(L.insert(2, page, 2, 0x201, 0x200, oid, b"k3", big), L.commit0(2))
    (folder / "E0000005.log").write_bytes(finish(gen) if finish else gen.build())
    return folder


def _chain(gen: Any) -> None:  # a fragment chain announcing 1 MiB, its pieces running over three segments
    gen.add(struct.pack("<BIH", L.FRAGMENT_BEGIN, 1 << 20, 100) + bytes(100))
    for _ in range(3):
        gen.new_segment().add(struct.pack("<BH", L.FRAGMENT, 4000) + bytes(4000))


def _nothing(gen: Any) -> None:
    pass


HOSTILE_LOGS = {  # name: (added to the generation, how its file is made, what the reader reports)
    "fragment size past the segment": (
        lambda g: g.add(struct.pack("<BIH", L.FRAGMENT_BEGIN, 9000, 60000) + bytes(20)),
        None,
        {"bad_fragments": 1, "changes": 2},
    ),
    "fragment total past any record": (
        lambda g: g.add(struct.pack("<BIH", L.FRAGMENT_BEGIN, 0xFFFFFFFF, 10) + bytes(10)),
        None,
        {"bad_fragments": 1, "changes": 2},
    ),
    "fragment chain that never ends": (_chain, None, {"bad_fragments": 1, "changes": 2}),  # ended by a record
    "fragments past the end of the file": (
        _chain,
        lambda g: g.build()[: 5 * L.SEGMENT],
        {"incomplete_records": 1, "changes": 1},
    ),
    "record type with a huge size": (
        lambda g: g.add(struct.pack("<BI", 67, 0xFFFFFFFF)),
        None,
        {"bad_records": 1, "changes": 2},
    ),
    "unknown record type": (
        lambda g: g.add(b"\xc8" + bytes(60)),
        None,
        {"unknown_records": 1, "changes": 1},  # it ends the generation: the second transaction is not read
    ),
    "levels past the deepest": (  # the second transaction's insert claims level 200 of session 2
        lambda g: g.add(L.insert(2, 1, 1, 0x300, 0x100, 8, b"k", bytes(8), level=200), L.rollback(2, 200)),
        None,
        {"changes": 3},
    ),
    "damaged segment": (_nothing, lambda g: g.build(damage=[1]), {"damaged_segments": 1, "changes": 1}),
    "generation that names another": (  # generation 5's segments under a header saying 6: an earlier use's
        _nothing,
        lambda g: g.build(header_generation=6),
        {"changes": 0},
    ),
    "header garbage": (  # not a log by its header: not listed
        _nothing,
        lambda g: random.Random(3).randbytes(L.SEGMENT) + g.build()[L.SEGMENT :],
        {"changes": 0},
    ),
}


@pytest.mark.parametrize("name", HOSTILE_LOGS)
def test_hostile_logs(tmp_path: Path, name: str) -> None:
    prepare, finish, expect = HOSTILE_LOGS[name]
    folder = log_folder(tmp_path / "logs", prepare, finish)
    notes = []
    if name == "damaged segment":  # and a copy of the generation under another name
        (folder / "E0000006.log").write_bytes((folder / "E0000005.log").read_bytes())
        notes = [f"E0000006.log: generation 5 is also in {folder / 'E0000005.log'}"]
    assert run_worker([folder], tmp_path) == [{**expect, "notes": notes}]


if __name__ == "__main__":
    if "asan" not in os.environ.get("LD_PRELOAD", ""):  # a runaway allocation becomes a MemoryError
        resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
    for file in sys.argv[1:]:
        print(f"BEGIN {file}", flush=True)
        out = (
            exercise_logs(file)
            if Path(file).is_dir()
            else exercise(file, f"{Path(file).parent}/out/{Path(file).name}")
        )
        print(json.dumps(out), flush=True)
