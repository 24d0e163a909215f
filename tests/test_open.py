"""Opening a database: the constructor's checks and errors, the kinds of source, geometry, repr, the context
manager, a second interpreter, and the geometry of real samples."""

from __future__ import annotations

import gzip
import io
import mmap
import os
import re
import struct
import subprocess
import sys
import zipfile

import pytest

from pagewright import EseDatabase


def minimal_image(
    page_size: int = 4096, blocks: int = 7, version: int = 0x620, revision: int = 0x14
) -> bytearray:
    """A header and an empty catalog leaf at page 4: the smallest file that opens."""
    data = bytearray(page_size * blocks)
    struct.pack_into("<III", data, 4, 0x89ABCDEF, version, 0)
    struct.pack_into("<II", data, 232, revision, page_size)
    if blocks >= 6:
        struct.pack_into("<I", data, 5 * page_size + 36, 0x2803)  # page 4: root leaf, no tags
    return data


def zero_page_size() -> bytearray:
    image = minimal_image()
    struct.pack_into("<I", image, 236, 0)
    return image


OPEN = "Failed to open database: "
SIGNATURE = OPEN + "Invalid signature, expected 0x89ABCDEF, got "
IO = OPEN + r"IO error: .* \(os error \d+\)"
CUT = "page 4 lies past the end of the file ({} pages): the file is truncated"
FILENO = r"EseDatabase\(\): fileno\(\) returned {}, which is not a file descriptor"
SOURCE = r"EseDatabase\(\) argument 'path' must be str, os\.PathLike, a buffer or a binary file, not "


@pytest.mark.parametrize(
    ("content", "message"),
    [
        (b"", OPEN + "Invalid database header"),
        (b"x" * 100, OPEN + "Invalid database header"),
        (b"\0" * 4096, SIGNATURE + "0x0"),
        (b"\0\0\0\0\x89\xab\xcd\xef" + b"\0" * 4088, SIGNATURE + "0xefcdab89"),
        (minimal_image(blocks=1), OPEN + CUT.format(0)),
        (minimal_image(blocks=5), OPEN + CUT.format(3)),
        (zero_page_size(), OPEN + "Parse error: Invalid page size: 0"),
    ],
)
def test_open_failures_are_plain_oserrors(tmp_path, content: bytes, message: str) -> None:
    (tmp_path / "db.edb").write_bytes(content)
    for source in (str(tmp_path / "db.edb"), bytes(content)):
        with pytest.raises(OSError) as info:
            EseDatabase(source)
        assert (type(info.value), str(info.value), info.value.errno) == (OSError, message, None)


@pytest.mark.parametrize(
    ("make", "exception", "message"),
    [
        (lambda p: "missing.edb", FileNotFoundError, r"Database file not found: missing\.edb"),
        (lambda p: "a\0b", FileNotFoundError, "Database file not found: a\0b"),
        (lambda p: str(p), OSError, OPEN + r"IO error: Is a directory \(os error 21\)"),
        (lambda p: os.mkfifo(p / "pipe") or str(p / "pipe"), OSError, IO),
        (lambda p: b"db.edb", OSError, OPEN + "Invalid database header"),  # bytes are the file, not its name
        (lambda p: 42, TypeError, SOURCE + "int"),
        (lambda p: None, TypeError, SOURCE + "NoneType"),
        (lambda p: object(), TypeError, SOURCE + "object"),
        (lambda p: Wrapper(io.BytesIO(), 2**32 + 2), ValueError, FILENO.format(4294967298)),
        (lambda p: Wrapper(io.BytesIO(), -1 - 2**70), ValueError, FILENO.format(-1 - 2**70)),
        (lambda p: io.StringIO("text"), TypeError, r"EseDatabase\(\): read\(\) .* gave str, not bytes.*"),
    ],
    ids=["missing", "nul", "directory", "fifo", "bytes", "int", "None", "object", "fd+2**32", "fd<0", "text"],
)
def test_sources_that_cannot_be_opened(tmp_path, monkeypatch, make, exception, message) -> None:
    monkeypatch.chdir(tmp_path)
    with pytest.raises(exception) as info:
        EseDatabase(make(tmp_path))  # a FIFO without a writer must not block
    assert type(info.value) is exception and re.fullmatch(message, str(info.value))


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads a mode-000 file anyway")
def test_unreadable_file(tmp_path) -> None:
    path = tmp_path / "db.edb"
    path.write_bytes(minimal_image())
    path.chmod(0)
    with pytest.raises(OSError) as info:
        EseDatabase(str(path))
    assert str(info.value) == OPEN + "IO error: Permission denied (os error 13)"


class Wrapper:
    """A binary file object that reads `reader` and whose fileno() says `fileno`, true or not."""

    def __init__(self, reader: io.BufferedIOBase, fileno: int) -> None:
        self.reader, self.number = reader, fileno

    def fileno(self) -> int:
        return self.number

    def read(self, size: int = -1) -> bytes:
        return self.reader.read(size)


def test_every_kind_of_source_reads_the_same(tmp_path) -> None:
    path = tmp_path / "db.edb"
    path.write_bytes(minimal_image())
    data = path.read_bytes()
    (tmp_path / "db.gz").write_bytes(gzip.compress(data))
    with zipfile.ZipFile(tmp_path / "db.zip", "w") as archive:
        archive.writestr("db.edb", data)
    with (
        open(path, "rb") as handle,
        mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ) as mapped,
        gzip.open(tmp_path / "db.gz") as unpacked,  # its fileno() is the compressed file's
        zipfile.ZipFile(tmp_path / "db.zip").open("db.edb") as member,
        open(tmp_path / "db.gz", "rb") as packed,
        open(path, encoding="latin-1") as text,  # read through its binary buffer
    ):
        handle.read(100)  # the position of a file object does not matter and is kept
        lying = Wrapper(io.BytesIO(data), packed.fileno())  # fileno() names other bytes than read() gives
        streams = [io.BytesIO(data), unpacked, member, lying, text]
        for source in [str(path), path, data, bytearray(data), memoryview(data), mapped, handle, *streams]:
            with EseDatabase(source) as db:
                assert (db.get_tables(), db.page_size, db.total_pages) == ([], 4096, 5)
            assert db.closed
            with pytest.raises(ValueError, match="closed"):
                db.get_tables()
        assert (handle.tell(), unpacked.tell()) == (100, 0)
    assert EseDatabase(path=path).path == str(path)
    with pytest.raises(TypeError):
        EseDatabase()


@pytest.mark.parametrize(
    ("page_size", "blocks", "total", "version", "revision", "name"),
    [
        (8192, 10, 8, 0x620, 0x14, "db.edb"),
        (4096, 7, 5, 0x623, 0, "it's.edb"),
        (16384, 6, 4, 0x600, 3, "db.edb"),
        (32768, 8, 6, 0x620, 0x14, "db.edb"),
    ],
)
def test_geometry_and_repr(
    tmp_path, page_size: int, blocks: int, total: int, version, revision, name
) -> None:
    path = tmp_path / name
    image = minimal_image(page_size, blocks, version, revision)
    path.write_bytes(image + b"\1" * (page_size - 1))  # a partial last block does not count
    db = EseDatabase(str(path))
    assert (db.page_size, db.total_pages, db.get_tables()) == (page_size, total, [])
    assert repr(db) == f"EseDatabase(path='{path}', tables=0, page_size={page_size})"


def test_context_manager_and_table_arguments(tmp_path) -> None:
    (tmp_path / "db.edb").write_bytes(minimal_image())
    db = EseDatabase(str(tmp_path / "db.edb"))
    with db as entered:
        assert entered is db and db.get_tables() == []
        for method in (db.read_table, db.get_table_schema):
            with pytest.raises(ValueError) as info:
                method("NoSuchTable")
            assert str(info.value) == "Table not found: NoSuchTable"
        for call in (lambda: db.read_table(b"x"), lambda: db.read_table(table_name=1)):
            with pytest.raises(TypeError, match="table_name"):
                call()
    with pytest.raises(ValueError, match="closed database"):  # leaving the block closes the database
        db.get_tables()
    assert db.__exit__(None, None, None) is False
    with pytest.raises(KeyError), EseDatabase(bytes(minimal_image())):
        raise KeyError("propagates")
    with pytest.raises(TypeError):
        db.__exit__(None, None)


def test_second_interpreter_is_refused() -> None:
    code = (
        "import pagewright, _xxsubinterpreters as si\n"
        "interp = si.create()\n"
        "try:\n"
        "    si.run_string(interp, 'import pagewright')\n"
        "except Exception as e:\n"
        "    print(type(e).__name__, e)\n"
        "else:\n"
        "    print('imported')\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert "ImportError" in out.stdout and "subinterpreters" in out.stdout


@pytest.mark.parametrize(("name", "pages"), [("basic.edb", 254), ("text.edb", 254), ("SRUDB.dat", 158)])
def test_real_samples_geometry(sample, name: str, pages: int) -> None:
    db = EseDatabase(sample(name))
    assert (db.page_size, db.total_pages) == (4096, pages)
