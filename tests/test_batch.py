"""`pagewright export` over many databases: ESE files found by header, one folder per database (told apart by
their paths, also where case or Unicode normalisation alone differ), the manifest, worker processes that give
the same output as one, and failures (a worker killed, Ctrl-C) that do not stop or hide the others."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time
import unicodedata
from pathlib import Path

import pytest
from builder import Column, DatabaseBuilder, damage

from pagewright_cli import batch
from pagewright_cli.main import main

PARTIAL = "host3_SRUDB.dat/Events.jsonl.partial"


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
        assert out.splitlines()[-1].startswith("exported 4 of 5 databases, 11 tables, ")
        assert out.splitlines()[1].split() == ["host3_SRUDB.dat", "Events", "incomplete:", PARTIAL]
        assert err.splitlines()[-1] == "pagewright: error: 2 of 5 databases could not be exported in full"
        outputs.append(files(tmp_path / jobs))
    assert outputs[0] == outputs[1]
    manifest = json.loads(outputs[0]["manifest.json"])
    found = {Path(d["source"]).relative_to(tree).as_posix(): d for d in manifest["databases"]}
    rows = sum(t["rows"] or 0 for d in manifest["databases"] for t in d["tables"])
    assert f" tables, {rows} rows ({rows} live, 0 deleted) to " in out  # the summary counts the manifest's
    assert {source: d["folder"] for source, d in found.items()} == {
        "host1/SRUDB.dat": "host1_SRUDB.dat",
        "host2/SRUDB.dat": "host2_SRUDB.dat",
        "host2/deep/renamed.txt": "renamed.txt",
        "host3/SRUDB.dat": "host3_SRUDB.dat",
        "host3/cut.edb": "cut.edb",
    }
    for source, count in {"host1/SRUDB.dat": 5, "host2/SRUDB.dat": 7, "host2/deep/renamed.txt": 3}.items():
        tables = {t["name"]: t for t in found[source]["tables"]}
        assert tables["Events"]["rows"] == count and tables["Other"]["rows"] == 1
        names = [json.loads(line)["Name"] for line in outputs[0][tables["Events"]["file"]].splitlines()]
        assert names == [f"{Path(source).parent.name}-{i}" for i in range(count)]
    broken = {t["name"]: t for t in found["host3/SRUDB.dat"]["tables"]}
    assert broken["Events"]["rows"] is None and "9999" in broken["Events"]["error"]
    assert broken["Events"]["partial"] == PARTIAL  # what was read before the break
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
        (["{a}", "{b}", "{out}"], 0, under("host1_SRUDB.dat", "host2_SRUDB.dat")),
        (
            ["{a}", "--table", "Other", "{b}", "{out}"],
            0,
            under("host1_SRUDB.dat", "host2_SRUDB.dat", tables=("Other",)),
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


def test_a_killed_worker_fails_only_its_database(capsys, monkeypatch, tmp_path: Path, tree: Path) -> None:
    def dies_on_host2(source: str, *args, **kwargs):
        if source.endswith("host2/SRUDB.dat"):
            os.kill(os.getpid(), signal.SIGKILL)  # as the kernel's out-of-memory killer would
        return real(source, *args, **kwargs)

    real = batch.export_database
    monkeypatch.setattr(batch, "export_database", dies_on_host2)
    sources = [
        tree / "host1" / "SRUDB.dat",
        tree / "host2" / "SRUDB.dat",
        tree / "host2" / "deep" / "renamed.txt",
    ]
    code, out, _ = export(capsys, *map(str, sources), str(tmp_path / "o"), "--jobs", "1")
    manifest = json.loads((tmp_path / "o" / "manifest.json").read_text())
    assert code == 1 and out.splitlines()[-1].startswith("exported 2 of 3 databases, 6 tables, ")
    killed = "the worker process exporting it was killed by SIGKILL (as the kernel's out-of-memory killer"
    assert [d["error"] and d["error"][: len(killed)] for d in manifest["databases"]] == [None, killed, None]


def test_folders_of_names_alike_stay_apart_on_any_volume(tmp_path: Path) -> None:
    nfc, nfd = "\u00c9v\u00e9nement.edb", unicodedata.normalize("NFD", "\u00c9v\u00e9nement.edb")
    paths = [tmp_path / "c" / "a" / "SRUDB.dat", tmp_path / "c" / "A" / "srudb.dat", tmp_path / "x" / nfc,
             tmp_path / "y" / nfd, tmp_path / "y" / "manifest.JSON"]  # fmt: skip
    folders = batch.folder_names([str(p) for p in paths])
    assert folders == ["SRUDB.dat", "srudb.dat~2", "x_" + nfc, "y_" + nfd, "manifest.JSON~2"]
    assert len({batch.fold(f) for f in folders}) == len(folders) == len(set(folders))


def _size(path: Path) -> int:
    try:
        return path.stat().st_size
    except FileNotFoundError:
        return 0


def test_ctrl_c_leaves_no_complete_looking_file(tmp_path: Path) -> None:
    db = DatabaseBuilder(page_size=8192)
    db.add_table("Big", columns=[Column(1, "N", 4), Column(128, "Text", 10)]).add_rows(
        {"N": i, "Text": "x" * 200} for i in range(60_000)
    )
    for host in ("h1", "h2"):
        (tmp_path / host).mkdir()
        db.write(tmp_path / host / "big.edb")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    argv = [sys.executable, "-m", "pagewright_cli", "export", str(tmp_path / "h1"), str(tmp_path / "h2")]
    child = subprocess.Popen([*argv, str(tmp_path / "out"), "--jobs", "1"], env=env, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:  # until Big's rows are being written (the catalog's file is small)
        temps = (tmp_path / "out").glob("*/.pagewright-*.tmp")
        if any(_size(temp) > 1 << 20 for temp in temps):
            break
        time.sleep(0.002)
    child.send_signal(signal.SIGINT)
    _, err = child.communicate(timeout=60)
    assert child.returncode == 130 and b"pagewright: interrupted: " in err
    assert not (tmp_path / "out" / "manifest.json").exists()
    for file in (tmp_path / "out").glob("*/Big.jsonl"):  # a file under its own name is complete
        assert len(file.read_bytes().splitlines()) == 60_000
    assert list((tmp_path / "out").glob("*/*.jsonl.partial")) and not list((tmp_path / "out").glob("*/.*"))
