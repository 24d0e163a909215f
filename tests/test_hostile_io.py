"""Hostile files: a database file that shrinks while open fails with OSError instead of a bus error, and a
damaged primary header falls back to its intact shadow copy."""

from __future__ import annotations

import struct
import subprocess
import sys
from pathlib import Path

import pytest
from builder import Column, DatabaseBuilder, damage

from pagewright import EseDatabase
from pagewright_cli.main import main

PAGE = 8192
SHRANK = "the database file shrank or could not be read while open"

# Opens the database (argv[3]: by its path, or a mmap.mmap of the file), cuts the file to argv[2] bytes,
# then runs one operation; an OSError is printed.
SHRINK_SCRIPT = """
import mmap, os, sys, pagewright
source = sys.argv[1]
if sys.argv[3] == "mmap":
    handle = open(source, "rb")
    source = mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ)
db = pagewright.EseDatabase(source)
os.truncate(sys.argv[1], int(sys.argv[2]))
try:
    {operation}
except OSError as exc:
    print("OSError:", exc)
"""
OPERATIONS = {
    "read_table": 'db.read_table("t")',
    "export_table": 'db.export_table("t", sys.argv[1] + ".jsonl")',
    "carve": "db.carve_utf16le_strings()",
    "carve all": 'db.carve_utf16le_strings_scoped("all")',
    "arrow": 'db.table("t").to_arrow()',
}


def build() -> DatabaseBuilder:
    db = DatabaseBuilder(page_size=PAGE)
    table = db.add_table("t", [Column(1, "Id", 4), Column(2, "Name", 10, codepage=1200)], rows_per_page=20)
    table.add_rows({"Id": i, "Name": f"name {i:05d}"} for i in range(600))
    return db


@pytest.fixture(scope="module")
def image() -> bytes:
    return build().build()


@pytest.mark.parametrize("operation", OPERATIONS)
@pytest.mark.parametrize("cut", ["half, mid-page", "past the header"])
@pytest.mark.parametrize("source", ["path", "mmap"])
def test_file_that_shrinks_while_open_raises_oserror(
    tmp_path: Path, image: bytes, operation: str, cut: str, source: str
) -> None:
    path = tmp_path / "shrinks.edb"
    path.write_bytes(image)
    length = len(image) // PAGE // 2 * PAGE + PAGE // 2 if cut == "half, mid-page" else 2 * PAGE + 1
    script = SHRINK_SCRIPT.format(operation=OPERATIONS[operation])
    argv = [sys.executable, "-c", script, str(path), str(length), source]
    done = subprocess.run(argv, capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout.startswith("OSError: ") and SHRANK in done.stdout
    if operation == "read_table":
        assert done.stdout.startswith("OSError: Error reading record: ")


def test_bus_errors_elsewhere_still_end_the_process(tmp_path: Path, image: bytes) -> None:
    """A fault outside the database mappings goes to the handler installed before (here the default)."""
    (tmp_path / "db.edb").write_bytes(image)
    (tmp_path / "other").write_bytes(b"x" * 65536)
    script = (
        "import mmap, os, sys, pagewright\n"
        "db = pagewright.EseDatabase(sys.argv[1] + '/db.edb')\n"
        "f = open(sys.argv[1] + '/other', 'rb')\n"
        "m = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)\n"
        "os.truncate(sys.argv[1] + '/other', 0)\n"
        "print(m[40000])\n"
    )
    done = subprocess.run([sys.executable, "-c", script, str(tmp_path)], capture_output=True, timeout=60)
    assert done.returncode == -7  # SIGBUS


def with_checksum(data: bytes, block: int, value: int) -> bytes:
    return damage.patch(data, block * PAGE, struct.pack("<I", value))


def checksum_of(data: bytes, block: int) -> int:
    value: int = struct.unpack_from("<I", data, block * PAGE)[0]
    return value


@pytest.mark.parametrize(
    ("damaged", "source"),
    [
        (lambda d: with_checksum(d, 0, checksum_of(d, 0) ^ 1), "shadow"),
        (lambda d: damage.set_page_size(d, 0), "shadow"),
        (lambda d: damage.set_page_size(d, 12345), "shadow"),
        # Both copies damaged: as without a shadow, the primary is read.
        (lambda d: with_checksum(with_checksum(d, 0, 0), 1, 0), "primary"),
        (lambda d: with_checksum(damage.set_page_size(d, 0), 1, 0), "Invalid page size: 0"),
    ],
    ids=["checksum", "page size 0", "page size 12345", "both checksums", "page size 0, shadow checksum"],
)
def test_damaged_primary_header_falls_back_to_the_shadow(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], image: bytes, damaged, source: str
) -> None:
    path = tmp_path / "damaged.edb"
    path.write_bytes(damaged(image))
    if source not in ("primary", "shadow"):
        with pytest.raises(OSError, match=f"^Failed to open database: .*{source}"):
            EseDatabase(str(path))
        return
    (tmp_path / "intact.edb").write_bytes(image)
    intact = EseDatabase(str(tmp_path / "intact.edb"))
    db = EseDatabase(str(path))
    assert (db.header_source, db.page_size, db.read_table("t")) == (source, PAGE, intact.read_table("t"))
    assert main(["info", str(path)]) == 0
    shown = "header:      read from the shadow copy (block 1)" in capsys.readouterr().out
    assert shown == (source == "shadow")
