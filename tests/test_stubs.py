"""The type stub pagewright.pyi: mypy --strict accepts correct use and rejects wrong use, the stub agrees
with the compiled module (stubtest), and the `pagewright` command type-checks against it."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import pagewright

pytest.importorskip("mypy")

REPO = Path(__file__).resolve().parent.parent
STUB = REPO / "pagewright.pyi"

GOOD = """
from __future__ import annotations

import datetime
from pathlib import Path
from typing import TYPE_CHECKING

import pagewright
from pagewright import EseDatabase

if TYPE_CHECKING:
    from pagewright import CarvedHit, CarveScope, ColumnInfo, Row, RowValue


def summary(path: str, scope: CarveScope = "slack") -> tuple[str, int, list[str]]:
    with EseDatabase(path) as db:
        tables: list[str] = db.get_tables()
        columns: list[ColumnInfo] = db.get_table_schema(table_name=tables[0])
        nullable: bool = columns[0]["nullable"]
        rows: list[Row] = db.read_table(tables[0])
        value: RowValue = rows[0][columns[0]["name"]]
        if isinstance(value, bytes):
            value = value.hex()
        db.export_table(tables[0], "out.jsonl")
        db.export_all(output_dir="out")
        hits: list[CarvedHit] = db.carve_utf16le_strings(needle="http", min_chars=8, max_hits=10)
        hits += db.carve_utf16le_strings_scoped(scope, None, 6, 1000)
        owners = [h["table"] or "-" for h in hits if h["page_type"] == "leaf"]
        size: int = db.page_size * db.total_pages + hits[0]["offset"]
        return pagewright.__version__ + db.path + str(value) + str(nullable), size, owners


def typed(source: bytes | Path) -> list[str]:
    db = EseDatabase(source)
    created = db.header["creation_time"]
    table: pagewright.Table = db.table("t")
    kinds = [c.kind for c in table.columns if c.multi_valued or c.codepage == 1200] + [str(created)]
    keys = [i.columns or () for i in db.tables()[0].indexes if i.unique]
    for row in table.rows(typed=True, columns=["a"], deleted="include", timestamps={"a": "filetime"}):
        when = row["a"]
        if isinstance(when, datetime.datetime):
            kinds.append(when.isoformat())
    n: int = table.count() + len(table) + len(keys)
    rows = table.rows(columns="a")
    for _ in rows:
        pass
    missing: dict[str, int] = rows.damage["missing_long_values"]
    n += sum(missing.values()) + db.scan_table("t")["loops"]
    found = db.header["truncation"]
    damage = db.catalog_damage
    notes: list[str] = damage["notes"] if damage else [] if found is None else [found["named_by"]]
    db.close()
    return kinds + notes + [str(n), str(db.closed)]


def streams(raw: bytes) -> int:
    import gzip
    import io

    with gzip.open(io.BytesIO(raw)) as unpacked:
        return len(EseDatabase(unpacked).get_tables()) + len(EseDatabase(io.BytesIO(raw)).get_tables())
"""

# Each wrong use, and a word the error message of mypy must contain.
BAD = {
    "table_name_not_str": ("EseDatabase('x').read_table(1)", "incompatible type"),
    "path_int": ("EseDatabase(1)", "incompatible type"),
    "deleted_word": ("EseDatabase('x').table('t').rows(deleted='all')", "incompatible type"),
    "unknown_scope": ("EseDatabase('x').carve_utf16le_strings_scoped('Slack')", "incompatible type"),
    "hit_key_typo": ("EseDatabase('x').carve_utf16le_strings()[0]['pgae']", "TypedDict"),
    "value_is_a_union": ("n: int = EseDatabase('x').read_table('t')[0]['c']", "incompatible types"),
    "schema_key_typo": ("EseDatabase('x').get_table_schema('t')[0]['nulable']", "TypedDict"),
    "export_returns_none": ("n = EseDatabase('x').export_all('d')", "does not return a value"),
    "no_such_method": ("EseDatabase('x').open()", "has no attribute"),
}


def run_mypy(args: list[str], cwd: Path, cache: Path) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, MYPYPATH=str(REPO))
    env.pop("PYTHONPATH", None)
    command = [
        sys.executable,
        "-m",
        "mypy",
        "--strict",
        "--no-error-summary",
        "--cache-dir",
        str(cache),
        *args,
    ]
    return subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True, timeout=300)


@pytest.fixture(scope="module")
def mypy_results(tmp_path_factory: pytest.TempPathFactory) -> tuple[subprocess.CompletedProcess[str], Path]:
    """One mypy run over the good script and one file per wrong use."""
    work = tmp_path_factory.mktemp("stubs")
    (work / "good.py").write_text(textwrap.dedent(GOOD))
    for name, (line, _) in BAD.items():
        (work / f"bad_{name}.py").write_text(
            f"from pathlib import Path\n\nfrom pagewright import EseDatabase\n\n{line}\n"
        )
    result = run_mypy(sorted(p.name for p in work.glob("*.py")), work, work / ".cache")
    return result, work


def test_module_contract() -> None:
    """__all__ holds the module's contract, EseDatabase and __version__; the rest are attributes."""
    assert pagewright.__all__ == ["EseDatabase", "__version__"]
    stub_all = re.search(r"^__all__ = (\[.*\])$", STUB.read_text(), re.M)
    assert stub_all and eval(stub_all.group(1)) == pagewright.__all__
    names = ("Table", "Column", "ArrowStream", "read_header", "export_file_name", "verify_file")
    assert all(callable(getattr(pagewright, name)) for name in names)


def test_correct_use_passes(mypy_results: tuple[subprocess.CompletedProcess[str], Path]) -> None:
    result, _ = mypy_results
    assert not [line for line in result.stdout.splitlines() if line.startswith("good.py")], result.stdout


@pytest.mark.parametrize("name", sorted(BAD))
def test_wrong_use_is_rejected(
    name: str, mypy_results: tuple[subprocess.CompletedProcess[str], Path]
) -> None:
    result, _ = mypy_results
    errors = [line for line in result.stdout.splitlines() if re.match(rf"bad_{name}\.py:5: error", line)]
    assert errors, result.stdout
    assert any(BAD[name][1].lower() in line.lower() for line in errors), errors


def test_stub_matches_the_module(tmp_path: Path) -> None:
    """stubtest compares every name and signature of the stub with the compiled module; the type-only names
    (TypedDicts and aliases) are allowed to be absent at runtime."""
    allow = tmp_path / "allowlist.txt"
    pattern = r"^class (\w+)\((?:TypedDict|FileHeader|WalkDamage|Protocol\[\w+\])\)|^(\w+): TypeAlias"
    type_only = re.findall(pattern, STUB.read_text(), re.M)
    allow.write_text("".join(f"pagewright.{a or b}\n" for a, b in type_only))
    env = dict(os.environ, MYPYPATH=str(REPO), PYTHONPATH=str(Path(pagewright.__file__).resolve().parent))
    command = [sys.executable, "-m", "mypy.stubtest", "pagewright", "--allowlist", str(allow)]
    command += ["--mypy-config-file", str(tmp_path / "none.ini")]
    (tmp_path / "none.ini").write_text("[mypy]\n")
    result = subprocess.run(command, cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


def test_command_type_checks_against_the_stub(tmp_path: Path) -> None:
    result = run_mypy([str(REPO / "pagewright_cli")], tmp_path, tmp_path / ".cache")
    assert result.returncode == 0, result.stdout + result.stderr
