"""Page checksums in both forms and their ECC: builder pages and real files, located bits, repairs."""

from __future__ import annotations

import gzip
import json

import pytest
from builder import Column, DatabaseBuilder
from builder.checksum import flip_bit, to_xor_form
from conftest import SAMPLES_DIR

import pagewright
from pagewright_cli.main import main

MARK = "needle-in-a-page " * 4


def built(page_size: int) -> tuple[bytes, int, int]:
    """A database, the page holding MARK and the offset of MARK's bytes in it."""
    db = DatabaseBuilder(page_size=page_size)
    t = db.add_table("t", [Column(1, "Id", 4), Column(128, "Text", 10, codepage=1252)])
    for n in range(20):
        t.add_row({"Id": n, "Text": MARK if n == 7 else f"row {n}"})
    image = db.build()
    for pgno in db.layout.tables["t"].leaf_pages:
        at = image.find(MARK.encode(), (pgno + 1) * page_size, (pgno + 2) * page_size)
        if at >= 0:
            return image, pgno, at - (pgno + 1) * page_size
    raise AssertionError("MARK not stored")


CASES = [
    (4096, "xor_ecc"),
    (8192, "xor_ecc"),
    (16384, "xor_ecc"),
    (32768, "xor_ecc"),
    (4096, "xor"),
    (8192, "xor"),
]


@pytest.mark.parametrize(("page_size", "form"), CASES)
def test_flipped_bits_are_found_located_and_repaired(tmp_path, page_size, form) -> None:
    image, pgno, at = built(page_size)
    if form == "xor":
        image = to_xor_form(image, page_size)
    path = tmp_path / "db.edb"
    path.write_bytes(image)
    clean = pagewright.verify_file(path)
    assert clean["mismatched"] == clean["correctable"] == 0 and clean["header_ok"] and clean["shadow_ok"]
    assert clean["forms"][form] == clean["ok"] > 0 and clean["ok"] + clean["uninitialized"] == clean["pages"]

    one = bytearray(image)
    flip_bit(one, (pgno + 1) * page_size + at, 3)
    path.write_bytes(one)
    (failure,) = pagewright.verify_file(path)["failures"]
    assert (failure["page"], failure["form"]) == (pgno, form)
    with pagewright.EseDatabase(path, repair_ecc=True) as db:
        rows = db.read_table("t")
        repairs = db.header["page_repairs"]
    if form == "xor":  # the XOR form detects, never locates
        assert failure["status"] == "mismatch" and failure["bits"] == [] and repairs == []
        assert rows[7]["Text"] != MARK
        return
    block = at // (page_size if page_size <= 8192 else page_size // 4)
    located = {
        "page": pgno,
        "offset": at,
        "bit": 3,
        "block": block,
        "file_offset": (pgno + 1) * page_size + at,
    }
    assert failure["status"] == "correctable" and failure["bits"] == [located] and repairs == [located]
    assert rows[7]["Text"] == MARK
    with pagewright.EseDatabase(path) as db:
        assert db.read_table("t")[7]["Text"] != MARK and db.header["page_repairs"] is None
        assert db.verify_pages()["failures"] == [failure]  # the file's bytes, not the repaired copy

    flip_bit(one, (pgno + 1) * page_size + at + 1, 0)  # two bits in one block: detected, not located
    path.write_bytes(one)
    (failure,) = pagewright.verify_file(path)["failures"]
    assert failure["status"] == "mismatch" and failure["bits"] == []
    assert main(["verify", str(path)]) == 1


def test_verify_command_and_hints(tmp_path, capsys) -> None:
    image, pgno, at = built(4096)
    path = tmp_path / "db.edb"
    moved = bytearray(image)
    start = (pgno + 1) * 4096
    moved[start + 4096 : start + 8192] = moved[start : start + 4096]  # page pgno copied over page pgno + 1
    flip_bit(moved, start + 5, 0)  # a bit of the stored ECC: the data is intact
    path.write_bytes(moved)
    assert main(["verify", str(path), "--json"]) == 1
    report = json.loads(capsys.readouterr().out)
    first, second = report["failures"]
    assert (first["page"], first["checksum_bit_only"], first["checksum_of_page"]) == (pgno, True, None)
    assert (second["page"], second["checksum_of_page"]) == (pgno + 1, pgno)
    assert main(["verify", str(path), "--max-failures", "1"]) == 1
    assert "1 more failing pages" in capsys.readouterr().out
    path.write_bytes(image[:4096] + bytes(4096 * 3))  # the shadow header gone: only that fails
    assert pagewright.verify_file(path)["shadow_ok"] is False and main(["verify", str(path)]) == 1
    path.write_bytes(b"not a database" * 1000)
    with pytest.raises(ValueError, match="no page checksums are known for a page size"):
        pagewright.verify_file(path)
    assert pagewright.verify_file(path, page_size=4096)["pages"] == 1
    assert main(["verify", str(path), "--page-size", "-4096"]) == 1  # an error line, no traceback


def test_real_files_verify_clean(sample, tmp_path) -> None:
    dirty = SAMPLES_DIR / "logs" / "win10-dirty" / "SRUDB.dat.gz"
    paths = [
        sample(n) for n in ("basic.edb", "text.edb", "default.edb", "qmgr-win10.db", "secedit-rev12c.sdb")
    ]
    if dirty.is_file():
        (tmp_path / "dirty.dat").write_bytes(gzip.decompress(dirty.read_bytes()))
        paths.append(str(tmp_path / "dirty.dat"))
    for path in paths:
        report = pagewright.verify_file(path)
        assert report["ok"] > 0 and report["failures"] == [] and report["header_ok"] and report["shadow_ok"]
    # SRUDB.dat's last 16 pages hold text that no tree reaches (no page headers): they fail, nothing else.
    assert [f["page"] for f in pagewright.verify_file(sample("SRUDB.dat"))["failures"]] == list(
        range(143, 159)
    )
