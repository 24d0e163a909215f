"""Resources: no file descriptor, mapping, memory or reference is leaked by opening, reading, exporting or
carving — on success and on every failure path."""

from __future__ import annotations

import gc
import os
import resource
import signal
import sys
import tracemalloc
from collections.abc import Callable

import pytest
from builder import Column, Compressed, DatabaseBuilder, LongValue, Tagged, damage

from pagewright import EseDatabase

PAGE = os.sysconf("SC_PAGE_SIZE")
SCOPES = ("slack", "all", "tag_data", "lv_all", "lv_slack")


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
    """A column name built at run time: no code constant or interned string shares its object, so the
    reference counts of dict keys count only what the reader handed out."""
    return "".join([stem, "_", str(len(stem) * 7919)])


def build_database(page_size: int = 8192, rows: int = 3000) -> DatabaseBuilder:
    db = DatabaseBuilder(page_size=page_size)
    columns = [
        Column(1, name("Id"), 4),
        Column(2, name("Big"), 15),
        Column(3, name("Score"), 7),
        Column(128, name("Text"), 10),
        Column(256, name("Tag"), 10),
        Column(257, name("Blob"), 11),
        Column(258, name("Note"), 12, codepage=1200),
    ]
    table = db.add_table("big", columns, rows_per_page=40)
    for i in range(rows):
        row = {
            name("Id"): i,
            name("Big"): i * 1_000_003 + 2**40,
            name("Score"): i / 7,
            name("Text"): f"row text number {i} " * 2,
            name("Tag"): Tagged(f"tagged value {i}".encode()),
        }
        if i % 10 == 0:
            row[name("Blob")] = LongValue(bytes([i % 251]) * 3000)
        if i % 10 == 5:
            row[name("Note")] = Compressed(f"compressed note {i} " * 4, scheme="7bit_unicode")
        table.add_row(row)
    db.add_table("one", [Column(1, name("Only"), 4), Column(128, name("Word"), 10)]).add_row(
        {name("Only"): 7, name("Word"): "just one row"}
    )
    db.add_raw_page(("Carved leftover words " * 200).encode("utf-16-le")[:page_size])
    return db


@pytest.fixture(scope="module")
def files(tmp_path_factory) -> dict[str, str]:
    """A sound database, one whose big table breaks mid-way, and files that fail to open."""
    folder = tmp_path_factory.mktemp("resources")
    db = build_database()
    good = db.build()
    leaves = db.layout.tables["big"].leaf_pages
    broken = damage.set_next_page(good, db.page_size, leaves[len(leaves) // 2], 99999)
    paths = {
        "good": good,
        "broken": broken,
        "empty": b"",
        "garbage": bytes(range(256)) * 64,
        "truncated": good[: 5 * db.page_size + 100],
        "large": build_database(page_size=32768, rows=400).build(),
    }
    out = {}
    for key, data in paths.items():
        path = folder / f"{key}.edb"
        path.write_bytes(data)
        out[key] = str(path)
    out["missing"] = str(folder / "missing.edb")
    out["directory"] = str(folder)
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


# Opening and dropping ---------------------------------------------------------------------------------------


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


def test_mapping_goes_with_the_last_holder(files) -> None:
    path = files["good"]
    before = mappings_of(path)
    with EseDatabase(path) as db:
        tables = db.tables()
    assert mappings_of(path) == before + 1  # the Table objects still hold the file
    del tables
    assert mappings_of(path) == before
    del db


@pytest.mark.parametrize(
    ("key", "exception"),
    [
        ("missing", FileNotFoundError),
        ("empty", OSError),
        ("garbage", OSError),
        ("truncated", OSError),
        ("directory", OSError),
    ],
)
def test_failed_opens_leak_nothing(files, key, exception) -> None:
    path = files[key]

    def attempt() -> None:
        with pytest.raises(exception):
            EseDatabase(path)

    fds, resident, traced = repeat_flat(attempt, 1000)
    assert fds == 0
    assert mappings_of(path) == 0
    assert traced < 16 * 1024, f"{traced} bytes of Python objects left by 1000 failed opens"
    assert resident < 2 * 1024 * 1024, f"RSS grew by {resident} bytes over 1000 failed opens"


def test_open_drop_keeps_memory_flat(files) -> None:
    path = files["good"]
    fds, resident, traced = repeat_flat(lambda: EseDatabase(path).get_tables(), 1000)
    assert fds == 0 and mappings_of(path) == 0
    assert traced < 16 * 1024, f"{traced} bytes of Python objects left by 1000 opens"
    assert resident < 2 * 1024 * 1024, f"RSS grew by {resident} bytes over 1000 opens"


# Reading, exporting, carving in loops -----------------------------------------------------------------------


@pytest.fixture(scope="module")
def good_db(files) -> EseDatabase:
    return EseDatabase(files["good"])


@pytest.mark.parametrize(
    ("what", "times"),
    [
        ("read_big", 30),
        ("read_one", 3000),
        ("schema", 3000),
        ("tables", 3000),
        ("export_big", 20),
        ("export_all", 20),
        ("carve", 30),
    ],
)
def test_loops_keep_memory_flat(good_db, tmp_path, what, times) -> None:
    out = str(tmp_path / "out.jsonl")
    actions: dict[str, Callable[[], object]] = {
        "read_big": lambda: good_db.read_table("big"),
        "read_one": lambda: good_db.read_table("one"),
        "schema": lambda: good_db.get_table_schema("big"),
        "tables": good_db.get_tables,
        "export_big": lambda: good_db.export_table("big", out),
        "export_all": lambda: good_db.export_all(str(tmp_path / "all")),
        "carve": lambda: [good_db.carve_utf16le_strings_scoped(s, max_hits=500) for s in SCOPES],
    }
    fds, resident, traced = repeat_flat(actions[what], times)
    assert fds == 0, f"{what}: {fds} descriptors left open"
    assert traced < 32 * 1024, f"{what}: traced Python memory grew by {traced} bytes over {times} calls"
    assert resident < 8 * 1024 * 1024, f"{what}: RSS grew by {resident} bytes over {times} calls"


def test_rows_are_released_with_the_result(good_db) -> None:
    """Memory taken by a big result is given back when the result is dropped."""
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        rows = good_db.read_table("big")
        held = tracemalloc.get_traced_memory()[0] - base
        del rows
        gc.collect()
        left = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    assert held > 1_000_000, f"3000 rows with long values should take more than {held} bytes"
    assert left < 16 * 1024, f"{left} bytes stay allocated after the rows are dropped"


# Failure paths ----------------------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def broken_db(files) -> EseDatabase:
    return EseDatabase(files["broken"])


def test_broken_table_is_really_broken(broken_db, tmp_path) -> None:
    with pytest.raises(OSError, match=r"^Error reading record: Invalid page number: 99999$"):
        broken_db.read_table("big")
    with pytest.raises(OSError, match=r"^Error reading record: Invalid page number: 99999$"):
        broken_db.export_table("big", str(tmp_path / "x.jsonl"))
    assert (tmp_path / "x.jsonl").stat().st_size > 0  # the rows before the break were written


@pytest.mark.parametrize(
    "what", ["read", "export", "export_all", "missing_table", "bad_output", "not_a_file", "write_error"]
)
def test_failures_leak_nothing(broken_db, tmp_path, what) -> None:
    if what == "not_a_file" and not os.path.exists("/dev/full"):
        pytest.skip("/dev/full is not available")
    out = str(tmp_path / "out.jsonl")

    def export_past_file_size_limit() -> None:
        """Writes fail with EFBIG past a 4-byte file size limit (SIGXFSZ ignored), for this call only."""
        limits = resource.getrlimit(resource.RLIMIT_FSIZE)
        handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4, limits[1]))
        try:
            broken_db.export_table("one", out)
        finally:
            resource.setrlimit(resource.RLIMIT_FSIZE, limits)
            signal.signal(signal.SIGXFSZ, handler)

    actions: dict[str, tuple[Callable[[], object], type[Exception], str]] = {
        "read": (lambda: broken_db.read_table("big"), OSError, "Error reading record: "),
        "export": (lambda: broken_db.export_table("big", out), OSError, "Error reading record: "),
        "export_all": (
            lambda: broken_db.export_all(str(tmp_path / "all")),
            OSError,
            "Failed to export 1 of 3 tables: 'big' (Error reading record: ",
        ),
        "missing_table": (lambda: broken_db.read_table("nope"), ValueError, "Table not found: nope"),
        "bad_output": (
            lambda: broken_db.export_table("one", str(tmp_path / "no" / "such" / "dir.jsonl")),
            OSError,
            "Failed to create output file: ",
        ),
        "not_a_file": (
            lambda: broken_db.export_table("one", "/dev/full"),
            OSError,
            "Failed to create output file: ",
        ),
        "write_error": (export_past_file_size_limit, OSError, "Write error: File too large"),
    }
    action, exception, prefix = actions[what]

    def attempt() -> None:
        with pytest.raises(exception) as caught:
            action()
        assert str(caught.value).startswith(prefix)

    fds, resident, traced = repeat_flat(attempt, 200 if what in ("read", "export", "export_all") else 2000)
    assert fds == 0, f"{what}: {fds} descriptors left open by failed calls"
    assert traced < 32 * 1024, f"{what}: traced Python memory grew by {traced} bytes"
    assert resident < 8 * 1024 * 1024, f"{what}: RSS grew by {resident} bytes"


# Reference counts -------------------------------------------------------------------------------------------


def holders(obj: object) -> int:
    """References to `obj` besides the argument of this call."""
    return sys.getrefcount(obj) - 2


def test_read_table_reference_counts(good_db) -> None:
    rows = good_db.read_table("big")
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
        if (
            isinstance(value, (bytes, float))
            or (isinstance(value, str) and len(value) > 1)
            or (isinstance(value, int) and not isinstance(value, bool) and value > 256)
        ):
            assert holders(value) == 2, (
                f"{column}: {value!r:.40} has {holders(value)} holders"
            )  # dict + `value`
    del value


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
def test_returned_containers_are_owned_by_the_caller(good_db, call) -> None:
    result = call(good_db)
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


def test_export_returns_none_without_leaking_it(good_db, tmp_path) -> None:
    before = sys.getrefcount(None)
    for _ in range(200):
        good_db.export_table("one", str(tmp_path / "one.jsonl"))
    assert abs(sys.getrefcount(None) - before) < 50  # 200 leaked references to None would show
