"""Transaction logs: LogSet (generations, segments, fragments, checkpoint, attached databases, records), the
change journal of Table.log_changes(), the coverage of a dirty database, the `logs`/`info`/`recover` command
lines, and the real SRUM logs."""

from __future__ import annotations

import collections
import json
import struct
from pathlib import Path
from types import SimpleNamespace

import pytest
from builder import Column, DatabaseBuilder
from builder import logs as L
from builder.table import row_key

import pagewright
from pagewright_cli.logs import dirty_note
from pagewright_cli.main import main

SIG = L.signature()
DB_SIG = L.signature(0xD8)
LAG = 0x100  # the dbtime of every page the builder writes: log records above it are newer than the pages


def write(path: Path, data: bytes) -> Path:
    path.write_bytes(data)
    return path


@pytest.fixture
def stream(tmp_path: Path) -> SimpleNamespace:
    """A dirty database (generations 5-6 required) and its logs: inserts, a difference from the page, a record
    longer than a segment, a rolled-back and an open transaction."""
    patches = L.dirty_header_patches(SIG, DB_SIG, (5, 6))
    builder = DatabaseBuilder(page_size=8192, db_state=2, header_patches=patches)
    t = builder.add_table("t", [Column(1, "Id", 4), Column(128, "Name", 10)], rows_per_page=4)
    for i in range(1, 9):
        t.add_row({"Id": i, "Name": f"row{i}"})
    db = write(tmp_path / "db.edb", builder.build())
    layout = builder.layout.tables["t"]
    leaf, oid = layout.leaf_pages[0], layout.object_id
    rec = lambda i, name: t.encode_row({"Id": i, "Name": name})  # noqa: E731
    old = rec(1, "row1")
    g5 = L.LogWriter(5).add(L.attach_db(1, "C:\\evidence\\db.edb", DB_SIG, SIG), L.begin0(3))
    g5.add(L.insert(3, leaf, 4, 0x200, LAG, oid, row_key(100), rec(100, "new row")))
    g5.add(
        L.replace_diff(3, leaf, 0, 0x201, LAG, oid, L.diff_piece(len(old) - 4, b"ROW1"), len(old), len(old))
    )
    g5.add(L.insert(3, leaf, 5, 0x202, 0x200, oid, row_key(101), rec(101, "x" * 6000)), L.commit0(3))
    g6 = L.LogWriter(6).add(
        L.begin0(4), L.insert(4, leaf, 6, 0x300, 0x202, oid, row_key(102), rec(102, "gone"))
    )
    g6.add(
        L.rollback(4), L.begin0(4), L.insert(4, leaf, 6, 0x301, 0x202, oid, row_key(103), rec(103, "open"))
    )
    logs = tmp_path / "logs"
    logs.mkdir()
    write(logs / "E0000005.log", g5.build())
    write(logs / "E00.log", g6.build())
    write(logs / "E00.chk", L.checkpoint_file(SIG, (5, 1, 0)))
    write(logs / "E00res00001.jrs", bytes(2 * L.SEGMENT))
    return SimpleNamespace(db=db, logs=logs, leaf=leaf, oid=oid, rec=rec, g5=g5)


def test_log_set_summary(stream) -> None:
    ls = pagewright.LogSet(stream.logs)
    g5, g6 = ls.generations
    assert (g5["generation"], g6["generation"], ls.missing_generations) == (5, 6, [])
    assert g5["records"] == {"AttachDB": 1, "Begin0": 1, "Insert": 2, "ReplaceD": 1, "Commit0": 1}
    assert g5["segments"] == 2 and g5["end"] == "end of file" and g6["signature_matches"]
    assert sum(ls.damage.values()) == 0 and ls.signature["random"] == L.DEFAULT_SIGNATURE_RANDOM
    assert ls.checkpoint["position"] == {"generation": 5, "sector": 1, "block": 0}
    assert [(d["dbid"], d["path"]) for d in ls.databases] == [(1, "C:\\evidence\\db.edb")]
    kinds = {Path(f["path"]).name: f["kind"] for f in ls.files}
    assert kinds == {
        "E0000005.log": "log",
        "E00.log": "log",
        "E00.chk": "checkpoint",
        "E00res00001.jrs": "unused",
    }
    assert len(pagewright.LogSet([stream.logs, stream.logs / "E00.log"]).files) == 4  # each file once
    big = [r for r in ls.records(types=["Insert"]) if r["fragmented"]]
    assert [r["position"] for r in big] == [
        dict(zip(("generation", "sector", "block"), stream.g5.positions[4], strict=True))
    ]
    assert len(big[0]["data"]) > L.SEGMENT


def test_record_fields(stream) -> None:
    db = pagewright.EseDatabase(stream.db)
    records = list(db.log_records(stream.logs, types=["Insert", "Begin0", "Rollback"]))
    first = records[1]
    assert first["type"] == "Insert" and (first["page"], first["line"], first["dbtime"]) == (
        stream.leaf,
        4,
        0x200,
    )
    assert (first["dbtime_before"], first["object_id"], first["session"], first["level"]) == (
        LAG,
        stream.oid,
        3,
        1,
    )
    assert (first["key"], first["data"], first["table"], first["tree"]) == (
        row_key(100),
        stream.rec(100, "new row"),
        "t",
        "data",
    )
    assert (records[0]["type"], records[0]["session"], records[0]["levels"]) == ("Begin0", 3, 1)
    assert [r["type"] for r in records].count("Rollback") == 1
    with pytest.raises(ValueError, match="Unknown log record type"):
        db.log_records(stream.logs, types=["Inserted"])
    with pytest.raises(ValueError, match="needs the logs"):
        db.log_coverage()


def changes(stream, *records: bytes, generation: int = 7) -> list[dict]:
    """The journal of table t over the stream's logs plus one more generation holding `records`."""
    write(stream.logs / f"E{generation:07X}.log", L.LogWriter(generation).add(*records).build())
    return [
        c
        for c in pagewright.EseDatabase(stream.db).table("t").log_changes(stream.logs)
        if c["position"]["generation"] == generation
    ]


def ins(session: int, dbtime: int, i: int, level: int = 1, s=None) -> bytes:
    return L.insert(session, s.leaf, 7, dbtime, LAG, s.oid, row_key(i), s.rec(i, f"r{i}"), level=level)


@pytest.mark.parametrize(
    "steps, states",
    [
        (lambda s: [L.begin0(9), ins(9, 0x400, 1, s=s), L.commit0(9)], ["committed"]),
        (lambda s: [L.begin0(9), ins(9, 0x400, 1, s=s), L.rollback(9)], ["rolled back"]),
        (lambda s: [L.begin0(9), ins(9, 0x400, 1, s=s), L.init2()], ["rolled back"]),  # restart before commit
        (lambda s: [L.begin0(9), ins(9, 0x400, 1, s=s)], ["open"]),
        # nested: level 2 rolled back, level 1 committed; a commit to level 1 merges into the outer one
        (
            lambda s: [
                L.begin0(9),
                ins(9, 0x400, 1, s=s),
                L.begin(9, 1),
                ins(9, 0x401, 2, 2, s),
                L.rollback(9),
                L.begin(9, 1),
                ins(9, 0x402, 3, 2, s),
                L.commit(9, 1),
                L.commit0(9),
            ],
            ["committed", "rolled back", "committed"],
        ),
        (
            lambda s: [L.begin0(9), ins(9, 0x400, 1, s=s), L.begin0(8), ins(8, 0x401, 2, s=s), L.commit0(8)],
            ["open", "committed"],
        ),  # sessions apart
        (lambda s: [ins(9, 0x400, 1, 0, s)], ["committed"]),  # level 0: no transaction to undo it
    ],
)
def test_journal_transactions(stream, steps, states) -> None:
    assert [c["transaction"] for c in changes(stream, *steps(stream))] == states


def test_journal_images(stream) -> None:
    s = stream
    journal = list(pagewright.EseDatabase(s.db).table("t").log_changes(s.logs))
    assert [(c["operation"], c["transaction"], c["flushed"]) for c in journal] == [
        ("insert", "committed", False),
        ("replace_diff", "committed", False),
        ("insert", "committed", False),
        ("insert", "rolled back", False),
        ("insert", "open", False),
    ]
    assert [c["values"]["Id"] for c in journal] == [100, 1, 101, 102, 103]
    assert journal[1]["values"]["Name"] == "ROW1" and journal[1]["before_image"] == "page"
    assert journal[2]["values"]["Name"] == "x" * 6000 and journal[0]["key"] == row_key(100)
    assert journal[0]["page_dbtime"] == LAG and journal[0]["dbtime_before"] == LAG
    new = s.rec(200, "abc")
    got = changes(
        s,
        L.insert(1, s.leaf, 9, 0x400, LAG, s.oid, row_key(200), new, level=0),
        # a difference on what the insert just wrote (the second diff form), one on an unknown before image
        L.replace_diff(
            1,
            s.leaf,
            9,
            0x401,
            0x400,
            s.oid,
            L.diff_piece(len(new) - 3, b"XYZ", second_form=True),
            len(new),
            len(new),
            second_form=True,
            level=0,
        ),
        L.replace_diff(1, s.leaf, 9, 0x403, 0x402, s.oid, L.diff_piece(0, b"?"), len(new), len(new), level=0),
        L.replace(1, s.leaf, 2, 0x404, LAG, s.oid, s.rec(3, "full"), level=0),
        L.flag_insert(
            1, s.leaf, 3, 0x405, LAG, s.oid, row_key(4), s.rec(4, "again"), replace_data=True, level=0
        ),
        L.delete(1, s.leaf, 3, 0x406, 0x405, s.oid, flag=True, level=0),
        L.insert(
            1, s.leaf, 1, LAG, 0x99, s.oid, row_key(5), s.rec(5, "row5"), level=0
        ),  # already on the page
        L.insert(1, 3, 0, 0x407, LAG, s.oid, b"k", b"space", level=0, flags=L.FLAG_SPACE),  # a space tree
    )
    assert [(c["operation"], c["before_image"], c["values"] and c["values"]["Name"]) for c in got] == [
        ("insert", None, "abc"),
        ("replace_diff", "log", "XYZ"),
        ("replace_diff", None, None),
        ("replace", None, "full"),
        ("flag_insert_and_replace_data", None, "again"),
        ("flag_delete", None, None),
        ("insert", None, "row5"),
    ]
    assert got[2]["diff"] == L.diff_piece(0, b"?") and got[6]["flushed"] and not got[0]["flushed"]


@pytest.mark.parametrize(
    "change, expect",
    [
        (None, dict(covered=True, missing=[], required=[5, 6], newer=5)),
        ("missing", dict(covered=False, missing=[6])),
        ("damaged", dict(covered=False, damaged=[5])),
        ("other stream", dict(covered=False, signature_matches=False, database_named=True)),
        ("clean", dict(covered=True, required=None)),
    ],
)
def test_coverage(stream, change, expect) -> None:
    if change == "missing":
        (stream.logs / "E00.log").unlink()
    elif change == "damaged":
        write(stream.logs / "E0000005.log", stream.g5.build(damage=[2]))
    elif change == "other stream":
        write(stream.logs / "E00.chk", L.checkpoint_file(L.signature(7), (5, 1, 0)))
    db = stream.db
    if change == "clean":
        db = write(db.parent / "clean.edb", DatabaseBuilder(header_patches={24: DB_SIG, 108: SIG}).build())
    cov = pagewright.EseDatabase(db, logs=stream.logs).log_coverage()
    assert {k: cov[k] for k in expect} == expect
    if change is None:
        # the difference's page was already past the insert's before time: a change between them is missing
        assert cov["tables"] == {"t": {"changes": 5, "newer": 5, "out_of_sequence": 3}}
        assert (cov["present"], cov["page_changes"], cov["newer_unattributed"]) == ([5, 6], 5, 0)


@pytest.mark.parametrize(
    "state, name", [(6, "incremental reseed"), (7, "dirty and patched shutdown"), (8, "revert in progress")]
)
def test_header_log_fields(tmp_path: Path, state: int, name: str) -> None:
    patches = L.dirty_header_patches(SIG, DB_SIG, (11, 12), committed=13)
    patches[644] = struct.pack("<I", 9)
    path = write(tmp_path / "d.edb", DatabaseBuilder(db_state=state, header_patches=patches).build())
    header = pagewright.read_header(path)
    got = [
        header[k]
        for k in (
            "state_name",
            "gen_min_required",
            "gen_max_required",
            "gen_max_committed",
            "gen_min_consistent",
            "update_minor",
        )
    ]
    assert got == [name, 11, 12, 13, 11, 9]
    assert (
        header["log_signature"]["random"] == L.DEFAULT_SIGNATURE_RANDOM
        and header["database_signature"]["random"] == 0xD8
    )


def run(capsys, *argv: str) -> tuple[int, str, str]:
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def test_cli(stream, capsys) -> None:
    code, out, _ = run(capsys, "logs", stream.logs)
    assert code == 0 and "generations: 5-6 (2), none missing" in out and "C:\\evidence\\db.edb" in out
    code, out, _ = run(capsys, "logs", stream.logs / "E00.log", "--json")
    assert code == 0 and [g["generation"] for g in json.loads(out)["generations"]] == [6]
    code, out, _ = run(capsys, "info", stream.db)  # the logs are not beside it
    assert code == 0 and "required 5-6" in out and "logs:" not in out
    code, out, _ = run(capsys, "info", stream.db, "--logs", stream.logs)
    assert "they cover what it requires (5-6)" in out and "5 newer than its pages (t 5)" in out
    db = pagewright.EseDatabase(stream.db)
    assert dirty_note(db, str(stream.db)) == "no transaction logs beside it"
    write(stream.db.parent / "E0000006.log", L.LogWriter(6).build())  # beside it: generation 5 missing
    assert "do not cover what it requires (5-6): missing 5" in dirty_note(db, str(stream.db))
    code, out, _ = run(capsys, "info", stream.db, "--json")
    assert json.loads(out)["logs"]["missing"] == [5] and json.loads(out)["logs"]["found_beside"]
    code, out, _ = run(capsys, "recover", stream.db, "--source", "log", "--logs", stream.logs, "--json")
    lines = [json.loads(line) for line in out.splitlines()]
    assert [(r["source"], r["operation"], r["values"]["Id"]) for r in lines][:2] == [
        ("log", "insert", 100),
        ("log", "replace_diff", 1),
    ]
    code, _, err = run(capsys, "recover", stream.db, "--source", "log")
    assert code == 1 and "--source log needs the transaction logs" in err


def test_real_logs(log_samples: Path, capsys) -> None:
    dirty, clean = log_samples / "win10-dirty", log_samples / "win10-clean"
    ls = pagewright.LogSet(dirty)
    gens = {g["generation"]: g for g in ls.generations}
    assert list(gens) == [78, 79, 80, 81, 82] and sum(ls.damage.values()) == 0
    assert [gens[n]["segments"] for n in gens] == [14, 14, 14, 11, 0]
    assert sum(g["record_count"] for g in gens.values()) == 1553 and gens[81]["records"]["Insert"] == 148
    assert gens[78]["version"] == (8, 4000, 5, 16) and gens[82]["version"] == (8, 4000, 60, 140)
    assert ls.checkpoint["position"] == {"generation": 81, "sector": 9, "block": 0}
    assert [Path(d["path"].replace("\\", "/")).name for d in ls.databases] == ["SRUDB.dat"]
    db = pagewright.EseDatabase(dirty / "SRUDB.dat", logs=ls)
    cov = db.log_coverage()
    assert (cov["covered"], cov["required"], cov["newer"], cov["database_named"]) == (True, [81, 81], 0, True)
    assert pagewright.EseDatabase(clean / "SRUDB.dat").log_coverage(ls)["required"] is None
    # Every insert the logs carry for a page already written equals a live row of its table.
    inserts = agree = 0
    for table in db.tables():
        live = collections.Counter(repr(sorted(r.items())) for r in table.rows())
        for c in table.log_changes():
            if c["operation"] == "insert" and c["flushed"] and c["transaction"] == "committed":
                inserts += 1
                agree += repr(sorted(c["values"].items())) in live
    assert (inserts, agree) == (265, 265)
    code, out, _ = run(capsys, "info", dirty / "SRUDB.dat")
    assert "beside it: generations 78-82 of its log stream; they cover what it requires (81)" in out
