"""Opening a database: the module's identity, the constructor's checks and errors, geometry, repr."""

from __future__ import annotations

import inspect
import os
import struct
import subprocess
import sys

import pytest

import pagewright
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


@pytest.fixture
def write(tmp_path):
    def write_file(data: bytes, name: str = "db.edb") -> str:
        path = tmp_path / name
        path.write_bytes(bytes(data))
        return str(path)

    return write_file


def test_module_identity() -> None:
    assert pagewright.__version__ == "0.1.8"
    assert pagewright.__all__ == [
        "EseDatabase",
        "Table",
        "Column",
        "Index",
        "ArrowStream",
        "__version__",
        "read_header",
        "export_file_name",
    ]
    assert pagewright.__doc__ == ""
    assert EseDatabase.__name__ == "EseDatabase"
    assert EseDatabase.__text_signature__ == "(path)"
    assert EseDatabase.__doc__.startswith("Python wrapper for ESE database.\n\nThis class provides access")
    assert EseDatabase.__doc__.endswith('>>> records = db.read_table("MSysObjects")')


@pytest.mark.parametrize(
    ("member", "signature", "doc_start"),
    [
        ("get_tables", "(self)", "Get a list of all table names in the database."),
        ("read_table", "(self, table_name)", "Read all records from a table."),
        ("get_table_schema", "(self, table_name)", "Get the schema (columns) for a table."),
        ("export_table", "(self, table_name, output_path)", "Export a table to JSONL format."),
        ("carve_utf16le_strings", "(self, needle=None, min_chars=6, max_hits=1000)", None),
        ("carve_utf16le_strings_scoped", "(self, scope, needle=None, min_chars=6, max_hits=1000)", None),
        ("export_all", "(self, output_dir)", "Export all tables to JSONL files in a directory."),
        ("__enter__", "(self)", "Context manager support: enter"),
        ("__exit__", "(self, _exc_type, _exc_value, _traceback)", "Context manager support: exit"),
    ],
)
def test_method_signatures_and_docs(member: str, signature: str, doc_start: str | None) -> None:
    method = getattr(EseDatabase, member)
    # $self in the text signature marks the bound instance: positional-only on the class.
    assert str(inspect.signature(method)) == signature.replace("(self", "(self, /", 1).replace("/)", "/)")
    if doc_start is None:
        assert method.__doc__ in (None, "")
    else:
        assert method.__doc__.startswith(doc_start)


@pytest.mark.parametrize(
    ("prop", "doc"),
    [
        ("path", "Get the path to the database file.\n\nReturns:\n    str: Path to the database file"),
        ("page_size", "Get the database page size.\n\nReturns:\n    int: Page size in bytes"),
        (
            "total_pages",
            "Get the total number of pages in the database.\n\nReturns:\n    int: Total number of pages",
        ),
    ],
)
def test_property_docs(prop: str, doc: str) -> None:
    assert getattr(EseDatabase, prop).__doc__ == doc


@pytest.mark.parametrize(
    ("content", "message"),
    [
        (b"", "Failed to open database: Invalid database header"),
        (b"x" * 100, "Failed to open database: Invalid database header"),
        (b"\0" * 4095 + b"\0", "Failed to open database: Invalid signature, expected 0x89ABCDEF, got 0x0"),
        (
            b"\0\0\0\0\x89\xab\xcd\xef" + b"\0" * 4088,
            "Failed to open database: Invalid signature, expected 0x89ABCDEF, got 0xefcdab89",
        ),
        (bytes(minimal_image(blocks=1)), "Failed to open database: Invalid page number: 4"),
        (bytes(minimal_image(blocks=5)), "Failed to open database: Invalid page number: 4"),
    ],
)
def test_open_failures_are_plain_oserrors(write, content: bytes, message: str) -> None:
    with pytest.raises(OSError) as info:
        EseDatabase(write(content))
    assert type(info.value) is OSError
    assert str(info.value) == message
    assert info.value.errno is None


def test_page_size_zero_is_refused(write) -> None:
    image = minimal_image()
    struct.pack_into("<I", image, 236, 0)
    with pytest.raises(OSError, match=r"^Failed to open database: ") as info:
        EseDatabase(write(image))
    assert type(info.value) is OSError


def test_missing_file_and_nul_path(tmp_path, monkeypatch) -> None:
    monkeypatch.chdir(tmp_path)
    with pytest.raises(FileNotFoundError) as info:
        EseDatabase("missing.edb")
    assert str(info.value) == "Database file not found: missing.edb"
    with pytest.raises(FileNotFoundError, match="Database file not found: a\0b"):
        EseDatabase("a\0b")


def test_directory_fails_in_open_with_the_os_text(tmp_path) -> None:
    with pytest.raises(OSError) as info:
        EseDatabase(str(tmp_path))
    assert str(info.value).startswith("Failed to open database: IO error: ")
    assert str(info.value).endswith(")") and "(os error " in str(info.value)


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads a mode-000 file anyway")
def test_unreadable_file(write) -> None:
    path = write(minimal_image())
    os.chmod(path, 0)
    with pytest.raises(OSError) as info:
        EseDatabase(path)
    assert str(info.value) == "Failed to open database: IO error: Permission denied (os error 13)"


@pytest.mark.parametrize("bad", [42, None, object()])
def test_source_of_another_type_is_refused(bad) -> None:
    with pytest.raises(TypeError, match="path"):
        EseDatabase(bad)


def test_every_kind_of_source_reads_the_same(write) -> None:
    import mmap
    import pathlib

    path = write(minimal_image())
    data = pathlib.Path(path).read_bytes()
    with open(path, "rb") as handle, mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        sources = [path, pathlib.Path(path), data, bytearray(data), memoryview(data), mapped, handle]
        for source in sources:
            with EseDatabase(source) as db:
                assert db.get_tables() == EseDatabase(path).get_tables()
            assert db.closed
            with pytest.raises(ValueError, match="closed"):
                db.get_tables()
    assert EseDatabase(path=pathlib.Path(path)).path == path
    with pytest.raises(OSError, match="Invalid database header"):
        EseDatabase(b"db.edb")
    with pytest.raises(TypeError):
        EseDatabase()


@pytest.mark.parametrize(
    ("page_size", "blocks", "total"),
    [(8192, 10, 8), (4096, 7, 5), (16384, 6, 4), (32768, 8, 6)],
)
def test_geometry(write, page_size: int, blocks: int, total: int) -> None:
    image = minimal_image(page_size=page_size, blocks=blocks)
    db = EseDatabase(write(image + b"\1" * (page_size - 1)))  # a partial last block does not count
    assert (db.page_size, db.total_pages) == (page_size, total)
    assert db.get_tables() == []
    assert repr(db) == f"EseDatabase(path='{db.path}', tables=0, page_size={page_size})"


def test_repr_keeps_quotes_in_path(tmp_path) -> None:
    path = tmp_path / "it's.edb"
    path.write_bytes(bytes(minimal_image()))
    assert repr(EseDatabase(str(path))) == f"EseDatabase(path='{path}', tables=0, page_size=4096)"


def test_any_version_opens(write) -> None:
    for version, revision in [(0x620, 0x14), (0x623, 0), (0x600, 3)]:
        assert EseDatabase(write(minimal_image(version=version, revision=revision))).page_size == 4096


def test_context_manager(write) -> None:
    db = EseDatabase(write(minimal_image()))
    with db as entered:
        assert entered is db
        assert db.get_tables() == []
    with pytest.raises(ValueError, match="closed database"):  # leaving the block closes the database
        db.get_tables()
    assert db.__exit__(None, None, None) is False
    with pytest.raises(KeyError):
        with EseDatabase(write(minimal_image(), "other.edb")):
            raise KeyError("propagates")
    with pytest.raises(TypeError):
        db.__exit__(None, None)


def test_unknown_table_is_value_error(write) -> None:
    db = EseDatabase(write(minimal_image()))
    for method in (db.read_table, db.get_table_schema):
        with pytest.raises(ValueError) as info:
            method("NoSuchTable")
        assert str(info.value) == "Table not found: NoSuchTable"
    with pytest.raises(TypeError, match="table_name"):
        db.read_table(b"x")
    with pytest.raises(TypeError, match="table_name"):
        db.read_table(table_name=1)


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


def test_fifo_does_not_block(tmp_path) -> None:
    fifo = tmp_path / "pipe.edb"
    os.mkfifo(fifo)
    with pytest.raises(OSError, match=r"^Failed to open database: IO error: .* \(os error \d+\)$"):
        EseDatabase(str(fifo))
