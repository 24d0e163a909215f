"""`pagewright export` over many databases: ESE files found by header, one folder per database, the manifest,
worker processes that give the same output as one, and failures that do not stop the others."""

from __future__ import annotations

import json
import os
from pathlib import Path

import pytest
from builder import Column, DatabaseBuilder, damage

from pagewright_cli.main import main


def build(path: Path, rows: int, broken_link: bool = False) -> None:
    db = DatabaseBuilder(page_size=8192)
    events = db.add_table("Events", columns=[Column(1, "Id", 4), Column(128, "Name", 10)], rows_per_page=2)
    for i in range(rows):
        events.add_row(Id=i, Name=f"{path.parent.name}-{i}")
    db.add_table("Other", columns=[Column(1, "N", 4)]).add_row(N=rows)
    data = db.build()
    if broken_link:  # the Events leaf chain links to a page past the end of the file
        data = damage.set_next_page(data, 8192, db.layout.tables["Events"].leaf_pages[1], 9999)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)


@pytest.fixture(scope="module")
def tree(tmp_path_factory: pytest.TempPathFactory) -> Path:
    top = tmp_path_factory.mktemp("fleet")
    build(top / "host1" / "SRUDB.dat", 5)
    build(top / "host2" / "SRUDB.dat", 7)
    build(top / "host2" / "deep" / "renamed.txt", 3)  # an ESE file whatever its name
    build(top / "host3" / "SRUDB.dat", 9, broken_link=True)
    (top / "host3" / "fake.edb").write_bytes(b"not a database, whatever its name says" * 100)
    (top / "host3" / "cut.edb").write_bytes((top / "host1" / "SRUDB.dat").read_bytes()[:20000])
    os.symlink("..", top / "host2" / "deep" / "loop")  # not followed: no loop, no repeats
    return top


def files(top: Path) -> dict[str, bytes]:
    return {str(p.relative_to(top)): p.read_bytes() for p in sorted(top.rglob("*")) if p.is_file()}


def export(capsys: pytest.CaptureFixture[str], *argv: str) -> tuple[int, str, str]:
    code = main(["export", *argv])
    out, err = capsys.readouterr()
    return code, out, err


def test_fleet_export_is_the_same_with_one_or_two_workers(
    capsys: pytest.CaptureFixture[str], tmp_path: Path, tree: Path
) -> None:
    outputs = []
    for jobs in ("1", "2"):
        code, out, err = export(capsys, str(tree), str(tmp_path / jobs), "--recursive", "--jobs", jobs)
        assert code == 1
        assert out.startswith("exported 4 of 5 databases, 11 tables, ")
        assert err.splitlines()[-1] == "pagewright: error: 2 of 5 databases could not be exported in full"
        outputs.append(files(tmp_path / jobs))
    assert outputs[0] == outputs[1]
    manifest = json.loads(outputs[0]["manifest.json"])
    found = {Path(d["source"]).relative_to(tree).as_posix(): d for d in manifest["databases"]}
    rows = sum(t["rows"] or 0 for d in manifest["databases"] for t in d["tables"])
    assert f" tables, {rows} rows to " in out  # the summary counts what the manifest lists
    assert {source: d["folder"] for source, d in found.items()} == {
        "host1/SRUDB.dat": "SRUDB.dat",
        "host2/SRUDB.dat": "SRUDB.dat~2",
        "host2/deep/renamed.txt": "renamed.txt",
        "host3/SRUDB.dat": "SRUDB.dat~3",
        "host3/cut.edb": "cut.edb",
    }
    for source, count in {"host1/SRUDB.dat": 5, "host2/SRUDB.dat": 7, "host2/deep/renamed.txt": 3}.items():
        tables = {t["name"]: t for t in found[source]["tables"]}
        assert tables["Events"]["rows"] == count and tables["Other"]["rows"] == 1
        names = [json.loads(line)["Name"] for line in outputs[0][tables["Events"]["file"]].splitlines()]
        assert names == [f"{Path(source).parent.name}-{i}" for i in range(count)]
    broken = {t["name"]: t for t in found["host3/SRUDB.dat"]["tables"]}
    assert broken["Events"]["rows"] is None and "9999" in broken["Events"]["error"]
    assert broken["Other"]["rows"] == 1 and broken["Other"]["error"] is None
    assert found["host3/cut.edb"]["error"] and found["host3/cut.edb"]["tables"] == []
    assert f"pagewright: warning: {tree}/host3/cut.edb: " in err


def under(*folders: str, tables: tuple[str, ...] = ("Events", "MSysObjects", "Other")) -> list[str]:
    manifest = ["manifest.json"] if folders != ("",) else []
    return sorted(
        [os.path.join(folder, f"{table}.jsonl") for folder in folders for table in tables] + manifest
    )


@pytest.mark.parametrize(
    ("argv", "code", "written"),
    [
        (["{a}", "{out}"], 0, under("")),  # one database: its tables directly under OUT, as always
        (["{a}", "{b}", "{out}"], 0, under("SRUDB.dat", "SRUDB.dat~2")),
        (
            ["{a}", "--table", "Other", "{b}", "{out}"],
            0,
            under("SRUDB.dat", "SRUDB.dat~2", tables=("Other",)),
        ),
        (["{fake}", "{a}", "{out}"], 1, under("SRUDB.dat")),  # a named file is tried whatever its header
        (["{a}", "{b}", "--table", "Nope", "{out}"], 1, ["manifest.json"]),
        (["{tree}", "{out}"], 1, []),  # subdirectories only with --recursive
    ],
)
def test_export_arguments(
    capsys: pytest.CaptureFixture[str],
    tmp_path: Path,
    tree: Path,
    argv: list[str],
    code: int,
    written: list[str],
) -> None:
    paths = {
        "a": tree / "host1" / "SRUDB.dat",
        "b": tree / "host2" / "SRUDB.dat",
        "fake": tree / "host3" / "fake.edb",
    }
    assert export(capsys, *(a.format(**paths, tree=tree, out=tmp_path / "out") for a in argv))[0] == code
    assert sorted(files(tmp_path / "out")) == written
