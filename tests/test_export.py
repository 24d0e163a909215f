"""export_table / export_all: the JSON Lines text of every value kind, member order, escaping, file handling,
error messages, export file names derived from hostile table names, and agreement with read_table."""

from __future__ import annotations

import errno
import json
import math
import os
import random
import struct
from decimal import Decimal
from pathlib import Path
from urllib.parse import unquote_to_bytes

import pytest
from builder import Column, DatabaseBuilder, LongValue, MultiValue, Raw, Tagged, damage

import pagewright

BOOLEAN, UNSIGNED_BYTE, SHORT, LONG, CURRENCY, SINGLE, DOUBLE, DATETIME = 1, 2, 3, 4, 5, 6, 7, 8
BINARY, TEXT, LONG_BINARY, LONG_TEXT = 9, 10, 11, 12
UNSIGNED_LONG, LONG_LONG, GUID, UNSIGNED_SHORT = 14, 15, 16, 17
ALL_ONES_64 = str(2**64 - 1)
PAGE_SIZE = 8192


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


def one_row_text(tmp_path: Path, columns, row) -> str:
    return export_text(open_db(tmp_path, [("t", columns, [row])]), "t", tmp_path / "t.jsonl")


# --- value kinds --------------------------------------------------------------------------------------------


def raw(form: str, value) -> Raw:
    """The value stored as the given struct form, whatever the column type."""
    return Raw(struct.pack(form, value))


def col(kind, column_id=1, **options) -> Column:
    return Column(column_id, "V", kind, **options)


VALUE_CASES = [
    ("bool-true", col(BOOLEAN), True, "true"),
    ("bool-false", col(BOOLEAN), False, "false"),
    ("bool-byte-2", col(BOOLEAN), Raw(b"\x02"), "true"),
    ("u8", col(UNSIGNED_BYTE), 213, "213"),
    ("u8-by-length-2", col(UNSIGNED_BYTE, 128), b"\x01\x02", "513"),
    ("u8-by-length-4", col(UNSIGNED_BYTE, 128), b"\xff" * 4, "4294967295"),
    ("u8-by-length-8", col(UNSIGNED_BYTE, 128), b"\xff" * 8, ALL_ONES_64),
    ("u8-by-length-3-is-binary", col(UNSIGNED_BYTE, 128), b"\x01\x02\x03", '"010203"'),
    ("i16", col(SHORT), -1337, "-1337"),
    ("i16-min", col(SHORT), Raw(b"\x00\x80"), "-32768"),
    ("i32-min", col(LONG), -2147483648, "-2147483648"),
    ("i32-max", col(LONG), 2147483647, "2147483647"),
    ("i32-zero", col(LONG), 0, "0"),
    ("currency", col(CURRENCY), 1337133713371337, "1337133713371337"),
    ("currency-all-ones", col(CURRENCY), Raw(b"\xff" * 8), ALL_ONES_64),
    ("currency-top-bit", col(CURRENCY), Raw(b"\x00" * 7 + b"\x80"), str(1 << 63)),
    ("datetime", col(DATETIME), raw("<Q", 4675210852477960192), "4675210852477960192"),
    ("datetime-top-bit", col(DATETIME), raw("<Q", 13909671945135194112), "13909671945135194112"),
    ("u32", col(UNSIGNED_LONG), 4294967295, "4294967295"),
    ("i64-all-ones", col(LONG_LONG), Raw(b"\xff" * 8), "-1"),
    ("i64-top-bit", col(LONG_LONG), raw("<Q", 1 << 63), str(-(1 << 63))),
    ("u16", col(UNSIGNED_SHORT), 65535, "65535"),
    ("guid", col(GUID), bytes(range(0, 256, 17)), '"33221100-5544-7766-8899-aabbccddeeff"'),
    ("binary", col(BINARY, 128), b"\x00\xff\x10", '"00ff10"'),
    ("binary-all-bytes", col(BINARY, 256), bytes(range(256)), '"' + bytes(range(256)).hex() + '"'),
    ("long-binary-inline", col(LONG_BINARY, 256), b"\xab\xcd", '"abcd"'),
    ("long-binary-tree", col(LONG_BINARY, 256), LongValue(b"\x00\x01" * 700), '"' + "0001" * 700 + '"'),
    ("long-binary-empty", col(LONG_BINARY, 256), LongValue(b""), '""'),
    ("multi-value-empty", col(BINARY, 256), Tagged(b"", flags=0x08), '""'),
    ("long-text-tree", col(LONG_TEXT, 256), LongValue("x" * 3000), '"' + "x" * 3000 + '"'),
    ("text-plain", col(TEXT, 128), "Simple ASCII text", '"Simple ASCII text"'),
    (
        "text-escapes",
        col(TEXT, 128, codepage=1200),
        'tab\there "q" \x01 a/b \\ été 🦊',
        '"tab\\there \\"q\\" \\u0001 a/b \\\\ été 🦊"',
    ),
    ("text-1252-non-ascii", col(TEXT, 128, codepage=1252), "café €", '"café €"'),
    (
        "text-every-control",
        col(TEXT, 256, codepage=1200),
        "".join(map(chr, range(0x20))) + "\x7f",
        '"\\u0000\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n\\u000b\\f\\r\\u000e\\u000f'
        "\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017\\u0018\\u0019\\u001a\\u001b\\u001c\\u001d"
        '\\u001e\\u001f\x7f"',
    ),
    ("null-fixed", col(LONG), None, "null"),
    ("null-variable", col(TEXT, 128), None, "null"),
    ("null-tagged", col(LONG_TEXT, 256), None, "null"),
    # non-finite floats are written as 0
    ("f64-nan", col(DOUBLE), raw("<d", math.nan), "0"),
    ("f64-negative-nan", col(DOUBLE), raw("<Q", 0xFFF8000000000001), "0"),
    ("f64-inf", col(DOUBLE), raw("<d", math.inf), "0"),
    ("f64-minus-inf", col(DOUBLE), raw("<d", -math.inf), "0"),
    ("f32-nan", col(SINGLE), raw("<f", math.nan), "0"),
    ("f32-inf", col(SINGLE), raw("<f", math.inf), "0"),
    ("f32-minus-inf", col(SINGLE), raw("<f", -math.inf), "0"),
]


@pytest.mark.parametrize(
    ("column", "value", "expected"), [c[1:] for c in VALUE_CASES], ids=[c[0] for c in VALUE_CASES]
)
def test_value_json_text(tmp_path, column, value, expected):
    assert one_row_text(tmp_path, [column], {"V": value}) == '{"V":' + expected + "}\n"


def test_multi_value_is_hex_of_its_payload(tmp_path):
    db = open_db(tmp_path, [("t", [Column(256, "V", BINARY)], [{"V": MultiValue([b"ab", b"cd"])}])])
    payload = db.read_table("t")[0]["V"]
    assert isinstance(payload, bytes) and b"abcd" in payload
    assert export_text(db, "t", tmp_path / "t.jsonl") == '{"V":"' + payload.hex() + '"}\n'


# "value text" pairs (a lone value is written as itself): positional form for decimal exponents -5..15,
# exponential form outside. SINGLE values are widened to double before they are written.
DOUBLE_CASES = """1e16 1e+16, 1e15 1000000000000000.0, 0.00001, 0.000001 1e-6, 2.0, -2.0, 0.0, -0.0, 12.34,
    0.00001234, 0.000012345, 0.0000012345 1.2345e-6, 1.5e300 1.5e+300, 2.5e-10, -1e-7, 1e100 1e+100, 0.1,
    0.3333333333333333, 123456789.125, 9999999999999998.0, 12345678901234567.0 1.2345678901234568e+16,
    -13391339.13391339, 5e-324, 1.7976931348623157e308 1.7976931348623157e+308"""
SINGLE_CASES = """1.1 1.100000023841858, 1.0, -2.0, 0.1 0.10000000149011612, 16777216.0,
    3.4028234663852886e38 3.4028234663852886e+38, 1.401298464324817e-45"""


def float_cases(kind: int, table: str) -> list:
    return [(kind, *(pair.split() * 2)[:2]) for pair in table.split(",")]


@pytest.mark.parametrize(
    ("kind", "value", "expected"), float_cases(DOUBLE, DOUBLE_CASES) + float_cases(SINGLE, SINGLE_CASES)
)
def test_float_form(tmp_path, kind, value, expected):
    assert one_row_text(tmp_path, [Column(1, "V", kind)], {"V": float(value)}) == '{"V":' + expected + "}\n"
    if kind == DOUBLE:  # keeps the Python reference used below honest
        assert reference_float(float(value)) == expected


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
    assert lines[-1] == "" and len(lines) == len(values) + 1
    for i, (line, value) in enumerate(zip(lines, values, strict=False)):
        prefix = '{"Id":' + str(i) + ',"V":'
        assert line.startswith(prefix) and line.endswith("}")
        text = line[len(prefix) : -1]
        assert text == reference_float(value)
        assert json.loads(text) == value and math.copysign(1, json.loads(text)) == math.copysign(1, value)


# --- member order and keys ----------------------------------------------------------------------------------


def longs(*names, ids=None):
    return [Column(i, name, LONG) for i, name in zip(ids or range(1, len(names) + 1), names, strict=True)]


@pytest.mark.parametrize(
    ("columns", "row", "expected"),
    [
        (longs("b", "a", "B"), {"b": 1, "a": 2, "B": 3}, '{"B":3,"a":2,"b":1}'),
        (
            longs("é", "z", "Z", "aa", "a", "_"),
            dict(zip("é z Z aa a _".split(), range(6), strict=True)),
            '{"Z":2,"_":5,"a":4,"aa":3,"z":1,"é":0}',
        ),
        (longs("zz", "z", "zzz"), {"zz": 1, "z": 2, "zzz": 3}, '{"z":2,"zz":1,"zzz":3}'),
        (longs("🦊", "\uffff", "é"), {"🦊": 1, "\uffff": 2, "é": 3}, '{"é":3,"\uffff":2,"🦊":1}'),
        # bytes that are not UTF-8 are escaped one by one as \udcXX, the text surrogateescape gives them
        (longs(b"\xff", b"\xfe", "x"), {b"\xff": 1, b"\xfe": 2, "x": 3}, '{"x":3,"\\udcfe":2,"\\udcff":1}'),
        (
            longs(b"\xff", "\ufffd", b"a\xc3"),
            {b"\xff": 1, "\ufffd": 2, b"a\xc3": 3},
            '{"a\\udcc3":3,"\ufffd":2,"\\udcff":1}',
        ),
        (longs(b"\xfe", b"\xff", ids=[5, 2]), {b"\xff": 1}, '{"\\udcfe":null,"\\udcff":1}'),
        (longs('q"b\\s\tc/é\x01'), {'q"b\\s\tc/é\x01': 7}, '{"q\\"b\\\\s\\tc/é\\u0001":7}'),
        ([], {}, "{}"),
    ],
)
def test_keys_and_member_order(tmp_path, columns, row, expected):
    assert one_row_text(tmp_path, columns, row) == expected + "\n"


# --- files --------------------------------------------------------------------------------------------------


def test_rows_are_lines_in_cursor_order(tmp_path):
    rows = [{"Id": i, "Name": f"n{i}"} for i in range(1, 301)]
    db = open_db(
        tmp_path, [("t", [Column(1, "Id", LONG), Column(128, "Name", TEXT)], rows, {"rows_per_page": 7})]
    )
    out = tmp_path / "t.jsonl"
    out.write_text("x" * 10000)  # an existing file is truncated
    text = export_text(db, "t", out)
    assert "\r" not in text and text.endswith("\n") and not text.startswith("\ufeff")
    assert text.split("\n")[:-1] == [f'{{"Id":{r["Id"]},"Name":"{r["Name"]}"}}' for r in rows]
    undecodable = os.fsencode(str(tmp_path)) + b"/o\xff"
    assert db.export_table(table_name="t", output_path=os.fsdecode(undecodable)) is None
    with open(undecodable, "rb") as handle:
        assert handle.read().decode() == text


@pytest.fixture
def small_db(tmp_path):
    return open_db(tmp_path, [("t", [Column(1, "Id", LONG)], [{"Id": 1}, {"Id": 2}])])


@pytest.mark.parametrize(
    ("call", "argument"),
    [
        (lambda db, p: db.export_table(b"t", str(p)), "table_name"),
        (lambda db, p: db.export_table("t", p), "output_path"),
        (lambda db, p: db.export_table("t", bytes(p)), "output_path"),
        (lambda db, p: db.export_all(p), "output_dir"),
        (lambda db, p: db.export_all(None), "output_dir"),
        (lambda db, p: db.export_table("t"), "output_path"),
        (lambda db, p: db.export_table(), "table_name"),
        (lambda db, p: db.export_all(), "output_dir"),
        (lambda db, p: db.export_table("t", str(p), str(p)), "at most 2"),
        (lambda db, p: db.export_all(directory=str(p)), "output_dir"),
    ],
)
def test_argument_errors(small_db, tmp_path, call, argument):
    with pytest.raises(TypeError, match=argument):
        call(small_db, tmp_path / "x.jsonl")
    assert not (tmp_path / "x.jsonl").exists()


def test_unknown_table_creates_no_file(small_db, tmp_path):
    out = tmp_path / "missing.jsonl"
    with pytest.raises(ValueError) as info:
        small_db.export_table("NoSuchTable", str(out))
    assert str(info.value) == "Table not found: NoSuchTable" and not out.exists()
    out.write_text("keep")
    with pytest.raises(ValueError):
        small_db.export_table("NoSuchTable", str(out))
    assert out.read_text() == "keep"


FILE, DIR = "Failed to create output file: ", "Failed to create output directory: "


@pytest.mark.parametrize(
    ("method", "target", "message"),
    [
        ("export_table", "no/such/dir/t.jsonl", FILE + os_text(errno.ENOENT)),
        ("export_table", "", FILE + os_text(errno.EISDIR)),
        ("export_table", "a_file/t.jsonl", FILE + os_text(errno.ENOTDIR)),
        ("export_table", "n" * 300 + ".jsonl", FILE + os_text(errno.ENAMETOOLONG)),
        ("export_table", "a\0b.jsonl", FILE + os_text(errno.EINVAL)),
        ("export_table", "/dev/full", FILE + "the path exists and is not a regular file"),
        ("export_all", "a_file", DIR + os_text(errno.EEXIST)),
        ("export_all", "a_file/sub", DIR + os_text(errno.ENOTDIR)),
        ("export_all", "a_file/sub/deeper", DIR + os_text(errno.ENOTDIR)),
        ("export_all", "d\0ir", DIR + os_text(errno.EINVAL)),
    ],
)
def test_os_errors(small_db, tmp_path, method, target, message):
    (tmp_path / "a_file").write_text("x")
    if target == "/dev/full" and not os.path.exists(target):
        pytest.skip("needs /dev/full")
    args = ("t", str(tmp_path / target)) if method == "export_table" else (str(tmp_path / target),)
    with pytest.raises(OSError) as info:
        getattr(small_db, method)(*args)
    assert type(info.value) is OSError and str(info.value) == message
    assert sorted(os.listdir(tmp_path)) == ["a_file", "db.edb"] and (tmp_path / "a_file").read_text() == "x"


def test_output_file_in_read_only_directory(small_db, tmp_path):
    if os.geteuid() == 0:
        pytest.skip("permissions do not apply to root")
    locked = tmp_path / "locked"
    locked.mkdir(mode=0o500)
    try:
        with pytest.raises(OSError, match=r"^Failed to create output file: " + os_text(errno.EACCES)):
            small_db.export_table("t", str(locked / "t.jsonl"))
    finally:
        locked.chmod(0o700)


def test_read_error_keeps_lines_written_before_it_and_export_all_goes_on(tmp_path):
    one = [Column(1, "Id", LONG)]
    tables = [("A", one, [{"Id": 1}]), ("B", one, [{"Id": i} for i in range(1, 7)], {"rows_per_page": 2})]
    path, layout = build(tmp_path, tables + [("C", one, [{"Id": 9}])])
    assert len(layout.tables["B"].leaf_pages) == 3
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


# --- export_all ---------------------------------------------------------------------------------------------


def directory_contents(path: Path) -> dict[str, bytes]:
    return {entry.name: entry.read_bytes() for entry in path.iterdir()}


@pytest.mark.parametrize("relative", ["out", "a/b/c", "a/b/c/", "deep//er/./x", "existing", ""])
def test_export_all_writes_every_table(tmp_path, monkeypatch, relative):
    tables = [
        ("First", [Column(1, "Id", LONG), Column(128, "Name", TEXT)], [{"Id": 1, "Name": "a"}]),
        ("Second", [Column(1, "Id", LONG)], [{"Id": 2}, {"Id": 3}]),
        ("Empty", [Column(1, "Id", LONG)], []),
    ]
    db = open_db(tmp_path, tables)
    expected = {name + ".jsonl": export_text(db, name, tmp_path / "one").encode() for name in db.get_tables()}
    assert set(expected) == {"MSysObjects.jsonl", "First.jsonl", "Second.jsonl", "Empty.jsonl"}
    assert expected["Second.jsonl"] == b'{"Id":2}\n{"Id":3}\n' and expected["Empty.jsonl"] == b""
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
    tables = [
        (unquote_to_bytes(f), [Column(1, "Id", LONG)], [{"Id": i}]) for i, f in enumerate(HOSTILE_FILES)
    ]
    db = open_db(tmp_path, tables)
    assert "\udcff\udcfe" in db.get_tables()  # names not valid UTF-8 are still exported
    db.export_all(str(tmp_path / "out"))
    contents = directory_contents(tmp_path / "out")
    assert all((tmp_path / "out" / name).is_file() for name in contents)
    assert contents.pop("MSysObjects.jsonl").startswith(b"{")
    assert contents == {f + ".jsonl": f'{{"Id":{i}}}\n'.encode() for i, f in enumerate(HOSTILE_FILES)}
    assert sorted(os.listdir(tmp_path)) == ["db.edb", "out"] and not os.path.exists("/abs")


# --- real samples -------------------------------------------------------------------------------------------


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


SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r"}


def reference_value(value) -> str:
    """An independent JSON encoding of a read_table value."""
    if value is None or isinstance(value, bool):
        return {None: "null", True: "true", False: "false"}[value]
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return reference_float(value) if math.isfinite(value) else "0"
    if isinstance(value, bytes):
        return '"' + value.hex() + '"'
    escaped = (SHORT_ESCAPES.get(ch, f"\\u{ord(ch):04x}" if ord(ch) < 0x20 else ch) for ch in value)
    return '"' + "".join(escaped) + '"'


def json_form(value):
    """A read_table value as the JSON parser gives it back."""
    if isinstance(value, bytes):
        return value.hex()
    return 0 if isinstance(value, float) and not math.isfinite(value) else value


@pytest.mark.parametrize("name", ["basic.edb", "text.edb", "default.edb", "SRUDB.dat"])
def test_samples_match_read_table(sample, tmp_path, name):
    db = pagewright.EseDatabase(sample(name))
    db.export_all(str(tmp_path / "all"))
    contents = directory_contents(tmp_path / "all")
    assert set(contents) == {t + ".jsonl" for t in db.get_tables()}
    checked_rows = 0
    for table in db.get_tables():
        text = export_text(db, table, tmp_path / "one.jsonl")
        assert contents[table + ".jsonl"] == text.encode()
        lines, rows = text.split("\n"), db.read_table(table)
        assert lines[-1] == "" and len(lines) - 1 == len(rows)
        for line, row in zip(lines, rows, strict=False):
            keys = sorted(row, key=lambda key: key.encode("utf-8"))
            pairs = json.loads(line, object_pairs_hook=list)
            assert [k for k, _ in pairs] == keys
            assert dict(pairs) == {k: json_form(v) for k, v in row.items()}
            assert (
                line == "{" + ",".join(reference_value(k) + ":" + reference_value(row[k]) for k in keys) + "}"
            )
            checked_rows += 1
    assert checked_rows > 0


def test_basic_sample_row_text(sample, tmp_path):
    db = pagewright.EseDatabase(sample("basic.edb"))
    lines = export_text(db, "basic", tmp_path / "basic.jsonl").split("\n")
    assert lines[0] == (
        '{"Bit":false,"Currency":1337133713371337,"DateTime":4675210852477960192,'
        '"GUID":"3f360af1-6766-46dc-9af2-0dacf295c2a1","IEEEDouble":13371337.13371337,"IEEESingle":1.0,'
        '"Id":1,"Long":-13371337,"LongLong":-13371337,"Short":-1337,"UnsignedByte":213,'
        '"UnsignedLong":13371337,"UnsignedShort":1337}'
    )
