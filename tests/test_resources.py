"""Resources: no file descriptor, mapping, memory or reference is leaked by opening, reading, exporting or
carving — on success and on every failure path."""

from __future__ import annotations

import contextlib
import gc
import os
import resource
import signal
import sys
import tracemalloc
from collections.abc import Callable
from types import SimpleNamespace

import pytest
from builder import Column, Compressed, DatabaseBuilder, LongValue, Tagged, damage

from pagewright import EseDatabase

PAGE = os.sysconf("SC_PAGE_SIZE")
SCOPES = ("slack", "all", "tag_data", "lv_all", "lv_slack")
KB, MB = 1024, 1024 * 1024


def fd_count() -> int:
    return len(os.listdir("/proc/self/fd"))


def mappings_of(path: str) -> int:
    """Lines of /proc/self/maps that map `path`."""
    real = os.path.realpath(path)
    with open("/proc/self/maps") as maps:
        return sum(1 for line in maps if line.rstrip("\n").endswith(" " + real))


def rss() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def name(stem: str) -> str:
    """A name built at run time (no constant shares its object): key reference counts are the reader's."""
    return "".join([stem, "_", str(len(stem) * 7919)])


def build_database(page_size: int = 8192, rows: int = 3000) -> DatabaseBuilder:
    db = DatabaseBuilder(page_size=page_size)
    columns = [Column(1, name("Id"), 4), Column(2, name("Big"), 15), Column(3, name("Score"), 7)]
    columns += [Column(128, name("Text"), 10), Column(256, name("Tag"), 10), Column(257, name("Blob"), 11)]
    table = db.add_table("big", [*columns, Column(258, name("Note"), 12, codepage=1200)], rows_per_page=40)
    for i in range(rows):
        row = {name("Id"): i, name("Big"): i * 1_000_003 + 2**40, name("Score"): i / 7}
        row[name("Text")] = f"row text number {i} " * 2
        row[name("Tag")] = Tagged(f"tagged value {i}".encode())
        if i % 10 == 0:
            row[name("Blob")] = LongValue(bytes([i % 251]) * 3000)
        if i % 10 == 5:
            row[name("Note")] = Compressed(f"compressed note {i} " * 4, scheme="7bit_unicode")
        table.add_row(row)
    one = db.add_table("one", [Column(1, name("Only"), 4), Column(128, name("Word"), 10)])
    one.add_row({name("Only"): 7, name("Word"): "just one row"})
    db.add_raw_page(("Carved leftover words " * 200).encode("utf-16-le")[:page_size])
    return db


@pytest.fixture(scope="module")
def files(tmp_path_factory) -> dict[str, str]:
    """A sound database, one whose big table breaks mid-way, and files that fail to open."""
    folder = tmp_path_factory.mktemp("resources")
    db = build_database()
    good = db.build()
    leaves = db.layout.tables["big"].leaf_pages
    contents = {
        "good": good,
        "broken": damage.set_next_page(good, db.page_size, leaves[len(leaves) // 2], 99999),
        "empty": b"",
        "garbage": bytes(range(256)) * 64,
        "truncated": good[: 5 * db.page_size + 100],
        "large": build_database(page_size=32768, rows=400).build(),
    }
    out = {"missing": str(folder / "missing.edb"), "directory": str(folder)}
    for key, data in contents.items():
        (folder / f"{key}.edb").write_bytes(data)
        out[key] = str(folder / f"{key}.edb")
    return out


def repeat_flat(action: Callable[[], object], times: int, warmup: int = 5) -> tuple[int, int, int]:
    """Run `action` warmup times, then `times` times; returns the growth of (fds, RSS bytes, traced bytes)."""
    for _ in range(warmup):
        action()
    gc.collect()
    fds, resident = fd_count(), rss()
    tracemalloc.start()
    try:
        for _ in range(2):
            action()
        gc.collect()
        traced = tracemalloc.get_traced_memory()[0]
        for _ in range(times):
            action()
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced
    finally:
        tracemalloc.stop()
    return fd_count() - fds, rss() - resident, traced_growth


@pytest.mark.parametrize("key", ["good", "large", "SRUDB.dat"])
def test_open_and_drop_leaks_no_descriptor_or_mapping(files, key, request) -> None:
    path = request.getfixturevalue("sample")(key) if key.endswith(".dat") else files[key]
    before_fds, before_maps = fd_count(), mappings_of(path)
    db = EseDatabase(path)
    assert mappings_of(path) == before_maps + 1, "an open database maps its file once"
    assert fd_count() == before_fds, "the descriptor is closed once the file is mapped"
    del db
    assert mappings_of(path) == before_maps
    for _ in range(1000):
        EseDatabase(path)
    held = [EseDatabase(path) for _ in range(50)]
    assert mappings_of(path) == before_maps + 50
    del held
    gc.collect()
    assert (fd_count(), mappings_of(path)) == (before_fds, before_maps)
    with EseDatabase(path) as db:
        tables = db.tables()
    assert mappings_of(path) == before_maps + 1  # the Table objects still hold the file
    del tables
    assert mappings_of(path) == before_maps


@pytest.fixture(scope="module")
def dbs(files) -> dict[str, EseDatabase]:
    return {"good": EseDatabase(files["good"]), "broken": EseDatabase(files["broken"])}


def export_past_file_size_limit(db: EseDatabase, out: str) -> None:
    """Writes fail with EFBIG past a 4-byte file size limit (SIGXFSZ ignored), for this call only."""
    limits = resource.getrlimit(resource.RLIMIT_FSIZE)
    handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (4, limits[1]))
    try:
        db.export_table("one", out)
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, limits)
        signal.signal(signal.SIGXFSZ, handler)


READ = "Error reading record: Invalid page number: 99999"
OPEN, CREATE = "Failed to open database: ", "Failed to create output file: "
ALL = f"Failed to export 1 of 3 tables: 'big' ({READ})"
# what: (call on x (x.good, x.broken, x.f: paths, x.out: output), times, exception raised, its text's start)
CALLS: dict[str, tuple[Callable, int, type[Exception] | None, str]] = {
    "open good": (lambda x: EseDatabase(x.f["good"]).get_tables(), 1000, None, ""),
    "read big": (lambda x: x.good.read_table("big"), 30, None, ""),
    "read one": (lambda x: x.good.read_table("one"), 3000, None, ""),
    "schema": (lambda x: x.good.get_table_schema("big"), 3000, None, ""),
    "tables": (lambda x: x.good.get_tables(), 3000, None, ""),
    "export big": (lambda x: x.good.export_table("big", x.out), 20, None, ""),
    "export_all": (lambda x: x.good.export_all(x.out + ".d"), 20, None, ""),
    "carve": (lambda x: [x.good.carve_utf16le_strings_scoped(s, max_hits=500) for s in SCOPES], 30, None, ""),
    "open missing": (
        lambda x: EseDatabase(x.f["missing"]),
        1000,
        FileNotFoundError,
        "Database file not found",
    ),
    "open empty": (lambda x: EseDatabase(x.f["empty"]), 1000, OSError, OPEN),
    "open garbage": (lambda x: EseDatabase(x.f["garbage"]), 1000, OSError, OPEN),
    "open truncated": (lambda x: EseDatabase(x.f["truncated"]), 1000, OSError, OPEN),
    "open directory": (lambda x: EseDatabase(x.f["directory"]), 1000, OSError, OPEN + "IO error: "),
    "read broken": (lambda x: x.broken.read_table("big"), 200, OSError, READ),
    "export broken": (lambda x: x.broken.export_table("big", x.out), 200, OSError, READ),
    "export_all broken": (
        lambda x: x.broken.export_all(x.out + ".d"),
        200,
        OSError,
        ALL,
    ),
    "missing table": (lambda x: x.broken.read_table("nope"), 2000, ValueError, "Table not found: nope"),
    "bad output": (
        lambda x: x.broken.export_table("one", x.out + "/no/such.jsonl"),
        2000,
        FileNotFoundError,
        CREATE,
    ),
    "not a file": (lambda x: x.broken.export_table("one", "/dev/full"), 2000, FileExistsError, CREATE),
    "write error": (
        lambda x: export_past_file_size_limit(x.broken, x.out),
        2000,
        OSError,
        "Write error: File",
    ),
}


@pytest.mark.parametrize("what", CALLS)
def test_repeated_calls_leak_nothing(files, dbs, tmp_path, what) -> None:
    call, times, exception, text = CALLS[what]
    if what == "not a file" and not os.path.exists("/dev/full"):
        pytest.skip("/dev/full is not available")
    x = SimpleNamespace(**dbs, f=files, out=str(tmp_path / "out.jsonl"))

    def attempt() -> None:
        with pytest.raises(exception) if exception else contextlib.nullcontext() as caught:
            call(x)
        if exception:
            assert type(caught.value) is exception and str(caught.value).startswith(text)

    fds, resident, traced = repeat_flat(attempt, times)
    opening = what.startswith("open")
    assert fds == 0, f"{what}: {fds} descriptors left open"
    assert traced < (16 if opening else 32) * KB, f"{what}: traced memory grew by {traced} bytes"
    assert resident < (2 if opening else 8) * MB, f"{what}: RSS grew by {resident} bytes"
    assert [mappings_of(files[k]) for k in ("good", "empty", "garbage", "truncated")] == [1, 0, 0, 0]


def test_rows_are_released_with_the_result(dbs) -> None:
    """Memory taken by a big result is given back when the result is dropped."""
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        rows = dbs["good"].read_table("big")
        held = tracemalloc.get_traced_memory()[0] - base
        del rows
        gc.collect()
        left = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    assert held > 1_000_000, f"3000 rows with long values should take more than {held} bytes"
    assert left < 16 * KB, f"{left} bytes stay allocated after the rows are dropped"


def holders(obj: object) -> int:
    """References to `obj` besides the argument of this call."""
    return sys.getrefcount(obj) - 2


def test_read_table_and_export_reference_counts(dbs, tmp_path) -> None:
    rows = dbs["good"].read_table("big")
    assert holders(rows) == 1  # the local variable only
    for row in rows:
        assert holders(row) == 2  # the list and `row`
    key_uses: dict[int, int] = {}
    keys: dict[int, str] = {}
    for row in rows:
        for key in row:
            key_uses[id(key)] = key_uses.get(id(key), 0) + 1
            keys[id(key)] = key
    for ident in keys:  # (not .items(): the items iterator keeps its last pair alive)
        key = keys[ident]
        # every reference to a key comes from a row dict, plus `keys` here and the loop variable
        assert holders(key) == key_uses[ident] + 2, f"key {key!r} is referenced {holders(key)} times"
    del key
    sample = rows[1234]
    for column in sample:
        value = sample[column]
        fresh = type(value) in (bytes, float) or (type(value) is str and len(value) > 1)  # no shared constant
        if fresh or (type(value) is int and value > 256):
            assert holders(value) == 2, (
                f"{column}: {value!r:.40} has {holders(value)} holders"
            )  # dict, `value`
    del value
    before = sys.getrefcount(None)
    for _ in range(200):
        assert dbs["good"].export_table("one", str(tmp_path / "one.jsonl")) is None
    assert abs(sys.getrefcount(None) - before) < 50  # 200 leaked references to None would show


@pytest.mark.parametrize(
    "call",
    [
        lambda db: db.get_tables(),
        lambda db: db.get_table_schema("big"),
        lambda db: db.carve_utf16le_strings_scoped("all", max_hits=200),
        lambda db: db.carve_utf16le_strings(needle="leftover", max_hits=50),
    ],
    ids=["get_tables", "get_table_schema", "carve_all", "carve_needle"],
)
def test_returned_containers_are_owned_by_the_caller(dbs, call) -> None:
    result = call(dbs["good"])
    assert result, "the call returns something to check"
    assert holders(result) == 1
    for item in result:
        assert holders(item) == 2  # the list and `item`
        if isinstance(item, dict):
            for key in item:
                value = item[key]
                if key in ("text", "name"):  # made for this result (other words may be shared constants)
                    assert holders(value) == 2, f"{key}: {value!r} has {holders(value)} holders"
    del item
