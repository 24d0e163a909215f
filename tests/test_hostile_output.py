"""Hostile names and output paths: names that decode alike, over-long names and names that case or Unicode
normalisation alone tell apart (in every format), links and FIFOs planted at an export target, and names
that would drive a terminal."""

from __future__ import annotations

import csv
import hashlib
import json
import os
import stat
import subprocess
import sys
import unicodedata
from pathlib import Path

import pyarrow.parquet as pq
import pytest
from builder import Column, DatabaseBuilder, damage

import pagewright
from pagewright_cli.batch import fold
from pagewright_cli.main import main

LONG, TEXT = 4, 10
# Raw names that the old U+FFFD decoding made equal, with the str each must read as.
ALIKE = {b"\xff": "\udcff", "\ufffd": "\ufffd"}


def write_db(path: Path, names, columns=None) -> pagewright.EseDatabase:
    """One table per name, whose one row holds the table's position (from 1) in every LONG column."""
    builder = DatabaseBuilder(page_size=8192)
    columns = columns or [Column(1, "N", LONG)]
    for n, name in enumerate(names, 1):
        table = builder.add_table(name, columns=columns)
        table.add_row({c.id: n if c.type == LONG else f"row of table {n}" for c in columns})
    builder.write(path)
    return pagewright.EseDatabase(str(path))


@pytest.mark.parametrize(("n", "name"), list(enumerate(ALIKE.values(), 1)))
def test_names_that_decode_alike_stay_distinct(tmp_path: Path, n: int, name: str) -> None:
    columns = [Column(1, b"\xff", LONG), Column(2, "\ufffd", LONG), Column(128, "Note", TEXT, codepage=1200)]
    db = write_db(tmp_path / "db.edb", ALIKE, columns)
    row = dict.fromkeys(ALIKE.values(), n) | {"Note": f"row of table {n}"}
    assert db.get_tables().count(name) == 1 and db.read_table(name) == [row]
    assert [c["name"] for c in db.get_table_schema(name)] == list(row)
    db.export_all(str(tmp_path / "out"))
    assert len(os.listdir(tmp_path / "out")) == 3
    assert json.loads((tmp_path / "out" / pagewright.export_file_name(name)).read_text()) == row
    hits = db.carve_utf16le_strings_scoped("tag_data", needle=row["Note"])
    assert [h["table"] for h in hits] == [name]


def read_numbers(path: Path) -> list[int]:
    """The N column of an exported JSON Lines, CSV or Parquet file (also one left .partial)."""
    kind = Path(path.name.removesuffix(".partial")).suffix
    if kind == ".parquet":
        return pq.read_table(path).column("N").to_pylist()
    if kind == ".csv":
        return [int(row["N"]) for row in csv.DictReader(path.open(newline=""))]
    return [json.loads(line)["N"] for line in path.read_text().splitlines()]


@pytest.mark.parametrize("fmt", ["jsonl", "csv", "parquet"])
def test_long_names_and_names_alike_in_every_format(tmp_path: Path, fmt: str) -> None:
    prefix = "é" * 150  # 300 bytes: the cut must fall between characters
    nfc = "\u00e9t\u00e9"
    names = ["a", prefix + "1", prefix + "2", "Usage", "usage", nfc, unicodedata.normalize("NFD", nfc), "z"]
    builder = DatabaseBuilder(page_size=8192)
    for n, name in enumerate(names, 1):
        builder.add_table(name, columns=[Column(1, "N", LONG)]).add_row(N=n)
    data = builder.build()  # the chain of the third table breaks after its row
    leaf = builder.layout.tables[names[2]].leaf_pages[0]
    (tmp_path / "db.edb").write_bytes(damage.set_next_page(data, 8192, leaf, 99999))
    assert main(["export", str(tmp_path / "db.edb"), str(tmp_path / "out"), "--format", fmt]) == 1
    files = pagewright.export_file_names(
        pagewright.EseDatabase(str(tmp_path / "db.edb")).get_tables(), "." + fmt
    )
    on_disk = os.listdir(tmp_path / "out")
    assert sorted(on_disk) == sorted([f for k, f in enumerate(files) if k != 3] + [files[3] + ".partial"])
    assert all(len(f.encode()) <= 255 for f in on_disk) and len({fold(f) for f in on_disk}) == len(on_disk)
    for n, file in enumerate(files[1:], 1):  # every table in a file of its own, on any volume
        assert read_numbers(tmp_path / "out" / (file + ".partial" * (n == 3))) == [n]
    digest = hashlib.sha256(names[1].encode()).hexdigest()[:32]
    cut = {"jsonl": 103, "csv": 104, "parquet": 102}[fmt]  # whole characters, room kept for '.partial'
    assert files[2] == pagewright.export_file_name(names[1], "." + fmt) == prefix[:cut] + f"%~{digest}.{fmt}"
    if fmt == "jsonl":  # export_all writes the same files (the failing one as its lines before the break)
        with pytest.raises(OSError, match=r"^Failed to export 1 of 9 tables: "):
            pagewright.EseDatabase(str(tmp_path / "db.edb")).export_all(str(tmp_path / "all"))
        assert sorted(os.listdir(tmp_path / "all")) == sorted(files)


@pytest.mark.parametrize(
    ("plant", "reason"),
    [
        (lambda target, victim: target.symlink_to(victim), "the path is a symbolic link, which is not "),
        (lambda target, victim: os.mkfifo(target), "the path exists and is not a regular file"),
    ],
)
def test_nothing_but_a_regular_file_is_written(tmp_path: Path, plant, reason: str) -> None:
    write_db(tmp_path / "db.edb", ["t"])
    victim = tmp_path / "victim"
    victim.write_text("keep")
    target = tmp_path / "out" / "t.jsonl"
    target.parent.mkdir()
    plant(target, victim)
    env = dict(os.environ, PYTHONPATH=str(Path(pagewright.__file__).resolve().parent))
    for call in ("db.export_table('t', 'out/t.jsonl')", "db.export_all('out')"):
        code = "import pagewright\ndb = pagewright.EseDatabase('db.edb')\n"
        code += f"try: {call}\nexcept OSError as e: print(e)"
        # a child with a deadline: an export that blocks on the FIFO fails the test instead of hanging it
        child = subprocess.run(
            [sys.executable, "-c", code], cwd=tmp_path, env=env, capture_output=True, timeout=30
        )
        assert f"Failed to create output file: {reason}" in child.stdout.decode(), child.stderr
    assert victim.read_text() == "keep" and not stat.S_ISREG(target.lstat().st_mode)


@pytest.mark.parametrize(
    ("argv", "escapes"), [(["--json"], ["\\u202e", "\\u0085"]), ([], ["\\u202e", "\\x85"])]
)
def test_cli_names_cannot_drive_the_terminal(capsys, tmp_path: Path, argv, escapes) -> None:
    names = ["evil\u202egpj.exe", "next\u0085line", b"\xff"]
    db = write_db(tmp_path / "db.edb", names)
    assert main(["tables", str(tmp_path / "db.edb"), *argv]) == 0
    out = capsys.readouterr().out
    assert not [ch for ch in out if ch != "\n" and unicodedata.category(ch) in ("Cc", "Cf", "Cs")]
    assert all(escape in out for escape in [*escapes, "\\udcff"])
    if argv:
        assert [t["name"] for t in json.loads(out)] == db.get_tables()
