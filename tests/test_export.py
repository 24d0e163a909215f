"""export_table / export_all / export_rows: the JSON Lines text of every value kind, member order, escaping,
file handling, error messages, file names from hostile table names, one row set (deleted rows marked) in every
format and view, CSV formulas, and agreement with read_table on the real samples."""

from __future__ import annotations

import csv
import errno
import json
import math
import os
import random
import struct
from decimal import Decimal
from pathlib import Path
from urllib.parse import unquote_to_bytes

import pyarrow.parquet as pq
import pytest
from builder import Column, DatabaseBuilder, LongValue, MultiValue, Raw, Tagged, damage

import pagewright
from pagewright_cli.main import main

BOOLEAN, UNSIGNED_BYTE, SHORT, LONG, CURRENCY, SINGLE, DOUBLE, DATETIME = 1, 2, 3, 4, 5, 6, 7, 8
BINARY, TEXT, LONG_BINARY, LONG_TEXT = 9, 10, 11, 12
UNSIGNED_LONG, LONG_LONG, GUID, UNSIGNED_SHORT = 14, 15, 16, 17
ALL_ONES_64 = str(2**64 - 1)
PAGE_SIZE = 8192
FILE, DIR = "Failed to create output file: ", "Failed to create output directory: "


def os_text(code: int) -> str:
    return f"{os.strerror(code)} (os error {code})"


def build(tmp_path: Path, tables):
    """tables: iterable of (name, columns, rows[, add_table options]). Returns (path, layout)."""
    builder = DatabaseBuilder(page_size=PAGE_SIZE)
    for name, columns, rows, *options in tables:
        table = builder.add_table(name, columns=columns, **(options[0] if options else {}))
        for row in rows:
            table.add_row(row)
    path = tmp_path / "db.edb"
    return str(path), builder.write(path)


def open_db(tmp_path: Path, tables) -> pagewright.EseDatabase:
    return pagewright.EseDatabase(build(tmp_path, tables)[0])


def export_text(db: pagewright.EseDatabase, table: str, out: Path) -> str:
    db.export_table(table, str(out))
    return out.read_bytes().decode("utf-8")


def raw(form: str, value) -> Raw:  # the value stored as the given struct form, whatever the column type
    return Raw(struct.pack(form, value))


def col(kind, column_id=1, **options) -> Column:
    return Column(column_id, "V", kind, **options)


# "value text" pairs of floats (a lone value stands for both): positional form for decimal exponents -5..15,
# exponential form outside. SINGLE values are widened to double before they are written.
DOUBLE_CASES = """1e16 1e+16, 1e15 1000000000000000.0, 0.00001, 0.000001 1e-6, 2.0, -2.0, 0.0, -0.0, 12.34,
    0.00001234, 0.000012345, 0.0000012345 1.2345e-6, 1.5e300 1.5e+300, 2.5e-10, -1e-7, 1e100 1e+100, 0.1,
    0.3333333333333333, 123456789.125, 9999999999999998.0, 12345678901234567.0 1.2345678901234568e+16,
    -13391339.13391339, 5e-324, 1.7976931348623157e308 1.7976931348623157e+308"""
SINGLE_CASES = """1.1 1.100000023841858, 1.0, -2.0, 0.1 0.10000000149011612, 16777216.0,
    3.4028234663852886e38 3.4028234663852886e+38, 1.401298464324817e-45"""


def pairs(table: str) -> list[tuple[float, str]]:
    return [(float(pair.split()[0]), pair.split()[-1]) for pair in table.split(",")]


# kind: (column, [(value stored, its JSON text), ...]), one row a value. Non-finite floats are written as 0.
VALUE_CASES = {
    "bool": (col(BOOLEAN), [(False, "false"), (Raw(b"\x02"), "true"), (None, "null")]),
    "u8-by-length": (col(UNSIGNED_BYTE, 128), [(b"\x01\x02", "513"), (b"\xff" * 4, "4294967295"),
                     (b"\xff" * 8, ALL_ONES_64), (b"\x01\x02\x03", '"010203"')]),  # 3 bytes: binary
    "i16": (col(SHORT), [(Raw(b"\x00\x80"), "-32768")]),
    "i32": (col(LONG), [(-2147483648, "-2147483648"), (2147483647, "2147483647"), (None, "null")]),
    "currency": (col(CURRENCY), [(Raw(b"\xff" * 8), ALL_ONES_64), (raw("<Q", 1 << 63), str(1 << 63))]),
    "datetime": (col(DATETIME), [(raw("<Q", 13909671945135194112), "13909671945135194112")]),
    "u32": (col(UNSIGNED_LONG), [(4294967295, "4294967295")]),
    "i64": (col(LONG_LONG), [(Raw(b"\xff" * 8), "-1"), (raw("<Q", 1 << 63), str(-(1 << 63)))]),
    "u16": (col(UNSIGNED_SHORT), [(65535, "65535")]),
    "guid": (col(GUID), [(bytes(range(0, 256, 17)), '"33221100-5544-7766-8899-aabbccddeeff"')]),
    "binary": (col(BINARY, 256), [(bytes(range(256)), '"' + bytes(range(256)).hex() + '"'),
               (Tagged(b"", flags=0x08), '""'),  # an empty multi-value, then one of two: offsets, values
               (MultiValue([b"ab", b"cd"]), '"' + b"\x04\x00\x06\x00abcd".hex() + '"')]),
    "long-binary": (col(LONG_BINARY, 256), [(b"\xab\xcd", '"abcd"'), (LongValue(b""), '""'),
                    (LongValue(b"\x00\x01" * 700), '"' + "0001" * 700 + '"')]),
    "long-text": (col(LONG_TEXT, 256), [(LongValue("x" * 3000), '"' + "x" * 3000 + '"'), (None, "null")]),
    "text-1200": (col(TEXT, 128, codepage=1200), [(None, "null"),
                  ('tab\there "q" \x01 a/b \\ été 🦊', '"tab\\there \\"q\\" \\u0001 a/b \\\\ été 🦊"')]),
    "text-1252": (col(TEXT, 128, codepage=1252), [("café €", '"café €"')]),
    "text-controls": (col(TEXT, 256, codepage=1200), [("".join(map(chr, range(0x20))) + "\x7f",
        '"\\u0000\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n\\u000b\\f\\r\\u000e\\u000f'
        "\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017\\u0018\\u0019\\u001a\\u001b\\u001c\\u001d"
        '\\u001e\\u001f\x7f"')]),
    "f64": (col(DOUBLE), [(raw("<d", math.nan), "0"), (raw("<Q", 0xFFF8000000000001), "0"),
            (raw("<d", -math.inf), "0")]),
    "f32": (col(SINGLE), [(raw("<f", math.nan), "0"), (raw("<f", math.inf), "0")]),
    "f64-forms": (col(DOUBLE), pairs(DOUBLE_CASES)),
    "f32-forms": (col(SINGLE), pairs(SINGLE_CASES)),
}  # fmt: skip


@pytest.mark.parametrize(("column", "cases"), VALUE_CASES.values(), ids=VALUE_CASES)
def test_value_json_text(tmp_path, column, cases):
    db = open_db(tmp_path, [("t", [column], [{"V": value} for value, _ in cases])])
    assert export_text(db, "t", tmp_path / "t.jsonl") == "".join('{"V":' + text + "}\n" for _, text in cases)


def random_values(kind: int, seed: int) -> list[float]:
    rng, (width, code) = random.Random(seed), ((4, "<f") if kind == SINGLE else (8, "<d"))
    out = [struct.unpack(code, rng.getrandbits(8 * width).to_bytes(width, "little"))[0] for _ in range(1200)]
    if kind == DOUBLE:
        out += [rng.randrange(1, 10 ** rng.randrange(1, 18)) / 10 ** rng.randrange(0, 25) for _ in range(400)]
        scale = [1, -1, 0.999999, 1.5, 9.999999999999998]
        out += [10.0 ** rng.randrange(-8, 19) * rng.choice(scale) for _ in range(400)]
        out += [0.0, -0.0, 1e-5, 9.999999999999999e-6, 1e15, 1e16, 9999999999999999.0, 999999999999999.9]
    return [value for value in out if math.isfinite(value)]


@pytest.mark.parametrize(("kind", "seed"), [(DOUBLE, 1), (DOUBLE, 2), (SINGLE, 7)])
def test_float_round_trip(tmp_path, kind, seed):
    values = random_values(kind, seed)
    rows = [{"Id": i, "V": raw("<f", v) if kind == SINGLE else v} for i, v in enumerate(values)]
    db = open_db(tmp_path, [("f", [Column(1, "Id", LONG), Column(2, "V", kind)], rows)])
    lines = export_text(db, "f", tmp_path / "f.jsonl").split("\n")
    assert [reference_float(value) for value, _ in pairs(DOUBLE_CASES)] == [t for _, t in pairs(DOUBLE_CASES)]
    assert lines == [f'{{"Id":{i},"V":{reference_float(v)}}}' for i, v in enumerate(values)] + [""]
    assert [json.loads(line)["V"] for line in lines[:-1]] == values


def longs(*names, ids=None):
    return [Column(i, name, LONG) for i, name in zip(ids or range(1, len(names) + 1), names, strict=True)]


# Members are in the byte order of the names' UTF-8; bytes that are not UTF-8 are escaped one by one as
# \udcXX (the text surrogateescape gives them) and take their place by their raw byte.
NAMES = ["b", "a", "B", "é", "z", "Z", "aa", "_", "zz", "zzz", "🦊", "\uffff"]
ODD_NAMES = [b"\xff", b"\xfe", "x", "\ufffd", b"a\xc3"]


@pytest.mark.parametrize(
    ("columns", "row", "expected"),
    [
        (longs(*NAMES), {n: k for k, n in enumerate(NAMES)},
         '{"B":2,"Z":5,"_":7,"a":1,"aa":6,"b":0,"z":4,"zz":8,"zzz":9,"é":3,"\uffff":11,"🦊":10}'),
        (longs(*ODD_NAMES), {n: k for k, n in enumerate(ODD_NAMES)},
         '{"a\\udcc3":4,"x":2,"\ufffd":3,"\\udcfe":1,"\\udcff":0}'),
        (longs(b"\xfe", b"\xff", ids=[5, 2]), {b"\xff": 1}, '{"\\udcfe":null,"\\udcff":1}'),
        (longs('q"b\\s\tc/é\x01'), {'q"b\\s\tc/é\x01': 7}, '{"q\\"b\\\\s\\tc/é\\u0001":7}'),
        ([], {}, "{}"),
    ],
)  # fmt: skip
def test_keys_and_member_order(tmp_path, columns, row, expected):
    db = open_db(tmp_path, [("t", columns, [row])])
    assert export_text(db, "t", tmp_path / "t.jsonl") == expected + "\n"


@pytest.fixture
def small_db(tmp_path):
    return open_db(tmp_path, [("t", [Column(1, "Id", LONG)], [{"Id": 1}, {"Id": 2}])])


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda db, p: db.export_table(b"t", str(p)), TypeError, "table_name"),
        (lambda db, p: db.export_table("t", p), TypeError, "output_path"),
        (lambda db, p: db.export_all(None), TypeError, "output_dir"),
        (lambda db, p: db.export_table("NoSuchTable", str(p)), ValueError, "^Table not found: NoSuchTable$"),
    ],
)
def test_bad_calls_touch_no_file(small_db, tmp_path, call, error, message):
    target = tmp_path / "x.jsonl"
    for before in (None, "keep"):
        if before:
            target.write_text(before)
        with pytest.raises(error, match=message):
            call(small_db, target)
        assert (target.read_text() if target.exists() else None) == before


FILE_ERRORS = [
    ("no/such/dir/t.jsonl", FILE + os_text(errno.ENOENT)),
    ("", FILE + os_text(errno.EISDIR)),
    ("a_file/t.jsonl", FILE + os_text(errno.ENOTDIR)),
    ("n" * 300 + ".jsonl", FILE + os_text(errno.ENAMETOOLONG)),
    ("a\0b.jsonl", FILE + os_text(errno.EINVAL)),
    ("/dev/full", FILE + "the path exists and is not a regular file"),
    ("locked/t.jsonl", FILE + os_text(errno.EACCES)),
]
DIR_ERRORS = [
    ("a_file", DIR + os_text(errno.EEXIST)),
    ("a_file/sub/deeper", DIR + os_text(errno.ENOTDIR)),
    ("d\0ir", DIR + os_text(errno.EINVAL)),
]


@pytest.mark.parametrize(
    ("method", "target", "message"),
    [(m, *case) for m in ("export_table", "export_rows") for case in FILE_ERRORS]
    + [("export_all", *case) for case in DIR_ERRORS],
)
def test_os_errors_name_the_path(small_db, tmp_path, method, target, message):
    if (target == "/dev/full" and not os.path.exists(target)) or ("locked" in target and os.geteuid() == 0):
        pytest.skip("needs /dev/full, or a user to whom permissions apply")
    (tmp_path / "a_file").write_text("x")
    (tmp_path / "locked").mkdir(mode=0o500)
    path = str(tmp_path / target)
    with pytest.raises(OSError) as info:
        getattr(small_db, method)(*(() if method == "export_all" else ("t",)), path)
    # the errno's own subclass (FileNotFoundError, ...), the method's text, and the path concerned
    assert str(info.value) == f"{message}: {path!r}"
    assert type(info.value) is type(OSError(info.value.errno, ""))
    assert sorted(os.listdir(tmp_path)) == ["a_file", "db.edb", "locked"] and not os.listdir(
        tmp_path / "locked"
    )
    assert (tmp_path / "a_file").read_text() == "x"


def test_read_error_keeps_lines_written_before_it_and_export_all_goes_on(tmp_path):
    one = [Column(1, "Id", LONG)]
    tables = [("A", one, [{"Id": 1}]), ("B", one, [{"Id": i} for i in range(1, 7)], {"rows_per_page": 2})]
    path, layout = build(tmp_path, tables + [("C", one, [{"Id": 9}])])
    data = Path(path).read_bytes()
    Path(path).write_bytes(damage.set_next_page(data, PAGE_SIZE, layout.tables["B"].leaf_pages[0], 99999))
    db, out = pagewright.EseDatabase(path), tmp_path / "out"
    reason = "Error reading record: Invalid page number: 99999"
    for call, message in (
        (lambda: db.export_table("B", str(tmp_path / "B.jsonl")), reason),
        (lambda: db.export_all(str(out)), f"Failed to export 1 of 4 tables: 'B' ({reason})"),
    ):
        with pytest.raises(OSError) as info:
            call()
        assert type(info.value) is OSError and str(info.value) == message
    assert (tmp_path / "B.jsonl").read_text() == (out / "B.jsonl").read_text() == '{"Id":1}\n{"Id":2}\n'
    assert (out / "A.jsonl").read_text() == '{"Id":1}\n' and (out / "C.jsonl").read_text() == '{"Id":9}\n'


def directory_contents(path: Path) -> dict[str, bytes]:
    return {entry.name: entry.read_bytes() for entry in path.iterdir()}


@pytest.mark.parametrize("relative", ["out", "a/b/c/", "deep//er/./x", "existing", ""])
def test_export_all_writes_every_table(tmp_path, monkeypatch, relative):
    one, rows = [Column(1, "Id", LONG)], [{"Id": i, "Name": f"n{i}"} for i in range(1, 301)]
    first = ("First", [*one, Column(128, "Name", TEXT)], rows, {"rows_per_page": 7})
    db = open_db(tmp_path, [first, ("Second", one, [{"Id": 2}, {"Id": 3}]), ("Empty", one, [])])
    # one file for every table, each written over the last: it is truncated
    expected = {name + ".jsonl": export_text(db, name, tmp_path / "one").encode() for name in db.get_tables()}
    assert set(expected) == {"MSysObjects.jsonl", "First.jsonl", "Second.jsonl", "Empty.jsonl"}
    assert (
        expected["First.jsonl"]
        == "".join(f'{{"Id":{r["Id"]},"Name":"{r["Name"]}"}}\n' for r in rows).encode()
    )
    assert expected["Second.jsonl"] == b'{"Id":2}\n{"Id":3}\n' and expected["Empty.jsonl"] == b""
    undecodable = os.fsencode(str(tmp_path)) + b"/o\xff"
    assert db.export_table(table_name="First", output_path=os.fsdecode(undecodable)) is None
    with open(undecodable, "rb") as handle:
        assert handle.read() == expected["First.jsonl"]
    target, kept = tmp_path / (relative or "cwd"), {}
    if relative in ("existing", ""):  # "" is the current directory
        target.mkdir()
        (target / "First.jsonl").write_text("stale " * 1000)
        kept = {"other.txt": b"untouched"}
        (target / "other.txt").write_bytes(kept["other.txt"])
    monkeypatch.chdir(tmp_path / "cwd" if relative == "" else tmp_path)
    for _ in range(2):  # the second run overwrites
        assert db.export_all(relative and str(tmp_path) + "/" + relative) is None
        assert directory_contents(target) == expected | kept
    assert db.export_all(output_dir=str(tmp_path / "kw")) is None
    assert directory_contents(tmp_path / "kw") == expected


# Each table name must give one file directly inside the output directory: well-formed UTF-8 kept,
# `/ \ %`, control bytes and bytes of malformed UTF-8 as %XX, and the names "." and ".." with dots escaped.
HOSTILE_FILES = [
    name.strip()
    for name in """a%2Fb|%2E%2E|%2E|%2Fabs%2Fpath|..%2Fescape|%FF%FE|%2541|a%5Cb|tab%09name%0A|del%7F|caf%C3
    |%ED%A0%80x|%C0%AF|%E2%82|%F4%90%80%80|été 🦊|...|.hidden|with space-and_dots.x|MSysObjects2""".split("|")
]


def test_export_all_file_names_from_hostile_table_names(tmp_path):
    # percent-decoding each file name gives back the raw table name
    one = [Column(1, "Id", LONG)]
    db = open_db(tmp_path, [(unquote_to_bytes(f), one, [{"Id": i}]) for i, f in enumerate(HOSTILE_FILES)])
    assert "\udcff\udcfe" in db.get_tables()  # names not valid UTF-8 are still exported
    db.export_all(str(tmp_path / "out"))
    contents = directory_contents(tmp_path / "out")
    assert all((tmp_path / "out" / name).is_file() for name in contents)
    assert contents.pop("MSysObjects.jsonl").startswith(b"{")
    assert contents == {f + ".jsonl": f'{{"Id":{i}}}\n'.encode() for i, f in enumerate(HOSTILE_FILES)}
    assert sorted(os.listdir(tmp_path)) == ["db.edb", "out"] and not os.path.exists("/abs")


def reference_float(value: float) -> str:
    """The float form, worked out from Python's shortest repr."""
    if value == 0:
        return "-0.0" if math.copysign(1.0, value) < 0 else "0.0"
    number = Decimal(repr(value))
    digits = "".join(map(str, number.as_tuple().digits)).strip("0")
    exponent, sign = number.adjusted(), "-" if value < 0 else ""
    if -5 <= exponent <= 15:
        if exponent < 0:
            return sign + "0." + "0" * (-exponent - 1) + digits
        return sign + digits[: exponent + 1].ljust(exponent + 1, "0") + "." + (digits[exponent + 1 :] or "0")
    mantissa = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
    return f"{sign}{mantissa}e{'-' if exponent < 0 else '+'}{abs(exponent)}"


def reference_line(row: dict) -> str:
    """An independent JSON encoding of a read_table row: members in the byte order of their names."""

    def value(v) -> str:
        if isinstance(v, float):
            return reference_float(v) if math.isfinite(v) else "0"
        return '"' + v.hex() + '"' if isinstance(v, bytes) else json.dumps(v, ensure_ascii=False)

    members = (f"{json.dumps(k, ensure_ascii=False)}:{value(row[k])}" for k in sorted(row, key=str.encode))
    return "{" + ",".join(members) + "}\n"


@pytest.mark.parametrize("name", ["basic.edb", "text.edb", "default.edb", "SRUDB.dat"])
def test_samples_match_read_table(sample, tmp_path, name):
    db = pagewright.EseDatabase(sample(name))
    db.export_all(str(tmp_path / "all"))
    contents = directory_contents(tmp_path / "all")
    assert set(contents) == {t + ".jsonl" for t in db.get_tables()}
    for table in db.get_tables():
        text = export_text(db, table, tmp_path / "one.jsonl")
        assert contents[table + ".jsonl"] == text.encode()
        assert text == "".join(map(reference_line, db.read_table(table)))


def with_deleted(path: Path, rows: int = 6, deleted: tuple[int, ...] = (1, 3), page_size: int = 8192) -> str:
    """Table T: Id, two columns named A, text S; the entries of rows `deleted` flagged deleted."""
    builder = DatabaseBuilder(page_size=page_size)
    columns = [Column(1, "Id", LONG), Column(2, "A", LONG), Column(3, "A", LONG), Column(128, "S", TEXT)]
    table = builder.add_table("T", columns=columns)
    for i in range(rows):
        table.add_row({1: i, 2: 10 * i, 3: -i, "S": f"s{i}"})
    image, leaf = builder.build(), builder.layout.tables["T"].leaf_pages[0]
    for row in deleted:
        flags = damage.read_tag(image, page_size, leaf, row + 1)[2]
        image = damage.set_entry_flags(image, page_size, leaf, row + 1, flags | 0x2, large=False)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(image)
    return str(path)


def read_back(path: Path) -> tuple[list[tuple[int, object]], set[str]]:
    """(Id, _deleted marker or None) of each row of an exported file, and the keys its rows carry."""
    if path.suffix == ".parquet":
        rows = pq.read_table(path).to_pylist()
    elif path.suffix == ".csv":
        rows = [{k: {"true": True, "false": False}.get(v, v) for k, v in r.items()} for r in csv.DictReader(
            path.open(newline=""))]  # fmt: skip
    else:
        rows = [json.loads(line) for line in path.read_text().splitlines()]
    return [(int(r["Id"]), r.get("_deleted")) for r in rows], {k for r in rows for k in r}


@pytest.mark.parametrize(
    ("mode", "expected"),
    [
        ("exclude", [(0, None), (2, None), (4, None), (5, None)]),
        ("only", [(1, True), (3, True)]),
        ("include", [(i, i in (1, 3)) for i in range(6)]),
    ],
)
def test_every_export_and_view_gives_one_row_set_and_marks_deleted_rows(capsys, tmp_path, mode, expected):
    db_path = with_deleted(tmp_path / "host1" / "db.edb")
    with_deleted(tmp_path / "host2" / "db.edb")
    db, out, files = pagewright.EseDatabase(db_path), tmp_path / "out", []
    out.mkdir()
    for fmt in ("jsonl", "csv", "parquet"):
        report: dict = {}
        rows = db.export_rows("T", str(out / f"api.{fmt}"), format=fmt, deleted=mode, report=report)
        dead = sum(m is True for _, m in expected)
        assert (rows, report["live"], report["deleted"]) == (len(expected), len(expected) - dead, dead)
        options = ["--format", fmt, "--deleted", mode, "--table", "T"]
        assert main(["export", db_path, str(out / f"cli-{fmt}"), *options]) == 0
        assert (
            main(["export", str(tmp_path / "host1"), str(tmp_path / "host2"), str(out / fmt), *options]) == 0
        )
        files += [out / f"api.{fmt}", out / f"cli-{fmt}" / f"T.{fmt}"]
        files += [out / fmt / f"host{n}_db.edb" / f"T.{fmt}" for n in (1, 2)]
    capsys.readouterr()  # the exports' summaries
    assert main(["dump", db_path, "T", "--deleted", mode]) == 0
    (out / "dump.jsonl").write_text(capsys.readouterr().out)
    (out / "lines.jsonl").write_text("".join(line + "\n" for line in db.table("T").json_lines(deleted=mode)))
    keys = {"Id", "A", "A#2", "S"} | ({"_deleted"} if mode != "exclude" else set())
    for file in [*files, out / "dump.jsonl", out / "lines.jsonl"]:
        assert read_back(file) == (expected, keys), file
    assert len(db.read_table("T")) == 6  # the raw views keep every entry


@pytest.mark.parametrize("escape", [True, False])
def test_csv_cells_that_a_spreadsheet_would_run(tmp_path, escape):
    cells = ["=1+1", "+1", "-1", "@SUM(A1)", "\tx", "\rx", "a=b", "'q", ""]
    columns = [Column(1, "N", LONG), Column(128, "=H", TEXT, codepage=1200)]
    db = open_db(tmp_path, [("t", columns, [{"N": -1, "=H": cell} for cell in cells])])
    db.export_rows("t", str(tmp_path / "t.csv"), format="csv", escape_formulas=escape)
    header, *rows = list(csv.reader((tmp_path / "t.csv").open(newline="")))
    mark = "'" if escape else ""
    assert header == ["N", mark + "=H"] and [r[0] for r in rows] == ["-1"] * len(cells)  # numbers stay
    assert [r[1] for r in rows] == [mark * (c[:1] in ("=", "+", "-", "@", "\t", "\r") and c != "") + c
        for c in cells]  # fmt: skip
