"""export_table / export_all: the JSON Lines text of every value kind, member order, escaping, file handling,
error messages, export file names derived from hostile table names, and agreement with read_table."""

from __future__ import annotations

import errno
import json
import math
import os
import random
import re
import struct
from decimal import Decimal
from pathlib import Path
from urllib.parse import unquote_to_bytes

import pytest
from builder import Column, DatabaseBuilder, LongValue, MultiValue, Raw, Tagged, damage

import pagewright

# Column type codes.
BOOLEAN, UNSIGNED_BYTE, SHORT, LONG, CURRENCY, SINGLE, DOUBLE, DATETIME = 1, 2, 3, 4, 5, 6, 7, 8
BINARY, TEXT, LONG_BINARY, LONG_TEXT = 9, 10, 11, 12
UNSIGNED_LONG, LONG_LONG, GUID, UNSIGNED_SHORT = 14, 15, 16, 17

ALL_ONES_64 = 18446744073709551615
PAGE_SIZE = 8192


def os_text(code: int) -> str:
    return f"{os.strerror(code)} (os error {code})"


def build(tmp_path: Path, tables, *, file_name: str = "db.edb"):
    """tables: iterable of (name, columns, rows[, add_table options]). Returns (path, layout)."""
    builder = DatabaseBuilder(page_size=PAGE_SIZE)
    for entry in tables:
        name, columns, rows = entry[:3]
        options = entry[3] if len(entry) > 3 else {}
        table = builder.add_table(name, columns=columns, **options)
        for row in rows:
            table.add_row(row)
    path = tmp_path / file_name
    layout = builder.write(path)
    return str(path), layout


def open_db(tmp_path: Path, tables) -> pagewright.EseDatabase:
    path, _ = build(tmp_path, tables)
    return pagewright.EseDatabase(path)


def export_text(db: pagewright.EseDatabase, table: str, out: Path) -> str:
    assert db.export_table(table, str(out)) is None
    return out.read_bytes().decode("utf-8")


def single_value_line(tmp_path: Path, column: Column, value) -> str:
    db = open_db(tmp_path, [("t", [column], [{column.name: value}])])
    return export_text(db, "t", tmp_path / "t.jsonl")


# --- value kinds --------------------------------------------------------------------------------------------

NAN_F64 = Raw(struct.pack("<d", math.nan))
NEG_NAN_F64 = Raw(struct.pack("<Q", 0xFFF8000000000001))
INF_F64 = Raw(struct.pack("<d", math.inf))
NEG_INF_F64 = Raw(struct.pack("<d", -math.inf))
GUID_00_TO_FF = bytes(range(0, 256, 17))  # 00 11 22 ... ff

VALUE_CASES = [
    ("bool-true", Column(1, "V", BOOLEAN), True, "true"),
    ("bool-false", Column(1, "V", BOOLEAN), False, "false"),
    ("bool-byte-2", Column(1, "V", BOOLEAN), Raw(b"\x02"), "true"),
    ("u8", Column(1, "V", UNSIGNED_BYTE), 213, "213"),
    ("u8-by-length-2", Column(128, "V", UNSIGNED_BYTE), b"\x01\x02", "513"),
    ("u8-by-length-4", Column(128, "V", UNSIGNED_BYTE), b"\xff" * 4, "4294967295"),
    ("u8-by-length-8", Column(128, "V", UNSIGNED_BYTE), b"\xff" * 8, str(ALL_ONES_64)),
    ("u8-by-length-3-is-binary", Column(128, "V", UNSIGNED_BYTE), b"\x01\x02\x03", '"010203"'),
    ("i16", Column(1, "V", SHORT), -1337, "-1337"),
    ("i16-min", Column(1, "V", SHORT), Raw(b"\x00\x80"), "-32768"),
    ("i32-min", Column(1, "V", LONG), -2147483648, "-2147483648"),
    ("i32-max", Column(1, "V", LONG), 2147483647, "2147483647"),
    ("i32-zero", Column(1, "V", LONG), 0, "0"),
    ("currency", Column(1, "V", CURRENCY), 1337133713371337, "1337133713371337"),
    ("currency-all-ones", Column(1, "V", CURRENCY), Raw(b"\xff" * 8), str(ALL_ONES_64)),
    ("currency-top-bit", Column(1, "V", CURRENCY), Raw(b"\x00" * 7 + b"\x80"), "9223372036854775808"),
    (
        "datetime",
        Column(1, "V", DATETIME),
        Raw(struct.pack("<Q", 4675210852477960192)),
        "4675210852477960192",
    ),
    (
        "datetime-top-bit",
        Column(1, "V", DATETIME),
        Raw(struct.pack("<Q", 13909671945135194112)),
        "13909671945135194112",
    ),
    ("u32", Column(1, "V", UNSIGNED_LONG), 4294967295, "4294967295"),
    ("u64-all-ones", Column(1, "V", LONG_LONG), Raw(b"\xff" * 8), str(ALL_ONES_64)),
    ("u64-top-bit", Column(1, "V", LONG_LONG), Raw(struct.pack("<Q", 1 << 63)), "9223372036854775808"),
    ("u16", Column(1, "V", UNSIGNED_SHORT), 65535, "65535"),
    ("guid", Column(1, "V", GUID), GUID_00_TO_FF, '"33221100-5544-7766-8899-aabbccddeeff"'),
    ("binary", Column(128, "V", BINARY), b"\x00\xff\x10", '"00ff10"'),
    (
        "binary-all-bytes",
        Column(256, "V", BINARY),
        bytes(range(256)),
        '"' + "".join(f"{b:02x}" for b in range(256)) + '"',
    ),
    ("long-binary-inline", Column(256, "V", LONG_BINARY), b"\xab\xcd", '"abcd"'),
    (
        "long-binary-tree",
        Column(256, "V", LONG_BINARY),
        LongValue(b"\x00\x01" * 700),
        '"' + "0001" * 700 + '"',
    ),
    ("long-binary-empty", Column(256, "V", LONG_BINARY), LongValue(b""), '""'),
    ("multi-value-empty", Column(256, "V", BINARY), Tagged(b"", flags=0x08), '""'),
    ("long-text-tree", Column(256, "V", LONG_TEXT), LongValue("x" * 3000), '"' + "x" * 3000 + '"'),
    ("text-plain", Column(128, "V", TEXT), "Simple ASCII text", '"Simple ASCII text"'),
    (
        "text-escapes",
        Column(128, "V", TEXT, codepage=1200),
        'tab\there "q" \x01 a/b \\ été 🦊',
        '"tab\\there \\"q\\" \\u0001 a/b \\\\ été 🦊"',
    ),
    ("text-1252-non-ascii", Column(128, "V", TEXT, codepage=1252), "café €", '"café €"'),
    (
        "text-every-control",
        Column(256, "V", TEXT, codepage=1200),
        "".join(map(chr, range(0x20))) + "\x7f",
        '"\\u0000\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n\\u000b\\f\\r\\u000e\\u000f'
        "\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017\\u0018\\u0019\\u001a\\u001b\\u001c\\u001d"
        '\\u001e\\u001f\x7f"',
    ),
    ("null-fixed", Column(1, "V", LONG), None, "null"),
    ("null-variable", Column(128, "V", TEXT), None, "null"),
    ("null-tagged", Column(256, "V", LONG_TEXT), None, "null"),
]


@pytest.mark.parametrize(
    ("column", "value", "expected"), [c[1:] for c in VALUE_CASES], ids=[c[0] for c in VALUE_CASES]
)
def test_value_json_text(tmp_path, column, value, expected):
    assert single_value_line(tmp_path, column, value) == '{"V":' + expected + "}\n"


def test_multi_value_is_hex_of_its_payload(tmp_path):
    db = open_db(tmp_path, [("t", [Column(256, "V", BINARY)], [{"V": MultiValue([b"ab", b"cd"])}])])
    payload = db.read_table("t")[0]["V"]
    assert isinstance(payload, bytes) and b"abcd" in payload
    assert export_text(db, "t", tmp_path / "t.jsonl") == '{"V":"' + payload.hex() + '"}\n'


FLOAT_CASES = [
    (1e16, "1e+16"),
    (1e15, "1000000000000000.0"),
    (0.00001, "0.00001"),
    (0.000001, "1e-6"),
    (2.0, "2.0"),
    (-2.0, "-2.0"),
    (0.0, "0.0"),
    (-0.0, "-0.0"),
    (12.34, "12.34"),
    (0.00001234, "0.00001234"),
    (0.000012345, "0.000012345"),
    (0.0000012345, "1.2345e-6"),
    (1.5e300, "1.5e+300"),
    (2.5e-10, "2.5e-10"),
    (-1e-7, "-1e-7"),
    (1e100, "1e+100"),
    (0.1, "0.1"),
    (1 / 3, "0.3333333333333333"),
    (123456789.125, "123456789.125"),
    (9999999999999998.0, "9999999999999998.0"),
    (12345678901234567.0, "1.2345678901234568e+16"),
    (-13391339.13391339, "-13391339.13391339"),
    (5e-324, "5e-324"),
    (1.7976931348623157e308, "1.7976931348623157e+308"),
]


@pytest.mark.parametrize(("value", "expected"), FLOAT_CASES, ids=[c[1] for c in FLOAT_CASES])
def test_double_form(tmp_path, value, expected):
    assert single_value_line(tmp_path, Column(1, "V", DOUBLE), value) == '{"V":' + expected + "}\n"


@pytest.mark.parametrize(
    ("column", "stored"),
    [
        (Column(1, "V", DOUBLE), NAN_F64),
        (Column(1, "V", DOUBLE), NEG_NAN_F64),
        (Column(1, "V", DOUBLE), INF_F64),
        (Column(1, "V", DOUBLE), NEG_INF_F64),
        (Column(1, "V", SINGLE), Raw(struct.pack("<f", math.nan))),
        (Column(1, "V", SINGLE), Raw(struct.pack("<f", math.inf))),
        (Column(1, "V", SINGLE), Raw(struct.pack("<f", -math.inf))),
    ],
    ids=["f64-nan", "f64-negative-nan", "f64-inf", "f64-minus-inf", "f32-nan", "f32-inf", "f32-minus-inf"],
)
def test_non_finite_floats_are_zero(tmp_path, column, stored):
    assert single_value_line(tmp_path, column, stored) == '{"V":0}\n'


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (1.1, "1.100000023841858"),
        (1.0, "1.0"),
        (-2.0, "-2.0"),
        (0.1, "0.10000000149011612"),
        (3.4028234663852886e38, "3.4028234663852886e+38"),
        (1.401298464324817e-45, "1.401298464324817e-45"),
        (16777216.0, "16777216.0"),
    ],
)
def test_single_is_widened_to_double(tmp_path, value, expected):
    assert single_value_line(tmp_path, Column(1, "V", SINGLE), value) == '{"V":' + expected + "}\n"


# --- float round trip ---------------------------------------------------------------------------------------

POSITIONAL = re.compile(r"-?(0|[1-9]\d*)\.\d+")
EXPONENTIAL = re.compile(r"-?[1-9](\.\d*[1-9])?e[+-][1-9]\d*")


def significant_digits(text: str) -> str:
    mantissa = re.split("[eE]", text.lstrip("-"))[0]
    return mantissa.replace(".", "").lstrip("0").rstrip("0")


def check_float_text(text: str, value: float) -> None:
    assert text == reference_float(value)
    assert json.loads(text) == value
    assert math.copysign(1.0, json.loads(text)) == math.copysign(1.0, value)
    if value == 0:
        assert text == ("-0.0" if math.copysign(1.0, value) < 0 else "0.0")
        return
    # Same digits as Python's shortest round-trip repr.
    assert significant_digits(text) == significant_digits(repr(value))
    exponent = Decimal(repr(value)).adjusted()
    if -5 <= exponent <= 15:
        assert POSITIONAL.fullmatch(text), text
        integral, fraction = text.lstrip("-").split(".")
        if abs(value) >= 1:
            assert len(integral) == exponent + 1
        else:
            assert (
                integral == "0"
                and fraction.startswith("0" * (-exponent - 1))
                and fraction[-exponent - 1] != "0"
            )
        if value == int(value):
            assert fraction == "0"
    else:
        assert EXPONENTIAL.fullmatch(text), text
        assert int(text.split("e")[1]) == exponent


def random_doubles(rng: random.Random, count: int) -> list[float]:
    out: list[float] = []
    while len(out) < count:
        kind = len(out) % 4
        if kind == 0:
            value = struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
        elif kind == 1:
            value = rng.randrange(1, 10 ** rng.randrange(1, 18)) / 10 ** rng.randrange(0, 25)
        elif kind == 2:
            value = float(10 ** rng.randrange(-8, 19)) * rng.choice([1, -1, 0.999999, 1.5, 9.999999999999998])
        else:
            value = math.ldexp(rng.getrandbits(53), rng.randrange(-1100, 970))
        if math.isfinite(value):
            out.append(value)
    return out


def export_column_values(tmp_path: Path, column_type: int, stored: list) -> list[str]:
    db = open_db(
        tmp_path,
        [
            (
                "f",
                [Column(1, "Id", LONG), Column(2, "V", column_type)],
                [{"Id": i, "V": v} for i, v in enumerate(stored)],
            )
        ],
    )
    lines = export_text(db, "f", tmp_path / "f.jsonl").split("\n")
    assert lines[-1] == ""
    texts = []
    for i, line in enumerate(lines[:-1]):
        prefix = '{"Id":' + str(i) + ',"V":'
        assert line.startswith(prefix) and line.endswith("}")
        texts.append(line[len(prefix) : -1])
    assert len(texts) == len(stored)
    return texts


@pytest.mark.parametrize("seed", [1, 2])
def test_double_round_trip(tmp_path, seed):
    values = random_doubles(random.Random(seed), 1500) + [
        0.0,
        -0.0,
        1e-5,
        9.999999999999999e-6,
        1e15,
        1e16,
        9999999999999999.0,
        999999999999999.9,
        0.00009999,
    ]
    for text, value in zip(export_column_values(tmp_path, DOUBLE, values), values, strict=True):
        check_float_text(text, value)


def test_single_round_trip(tmp_path):
    rng = random.Random(7)
    widened = []
    while len(widened) < 1500:
        bits = rng.getrandbits(32).to_bytes(4, "little")
        value = struct.unpack("<f", bits)[0]
        if math.isfinite(value):
            widened.append(value)
    texts = export_column_values(tmp_path, SINGLE, [Raw(struct.pack("<f", v)) for v in widened])
    for text, value in zip(texts, widened, strict=True):
        check_float_text(text, value)


# --- member order and keys ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("names", "expected_order"),
    [
        (["b", "a", "B"], ["B", "a", "b"]),
        (["é", "z", "Z", "aa", "a", "_"], ["Z", "_", "a", "aa", "z", "é"]),
        (["Id"], ["Id"]),
        (["zz", "z", "zzz"], ["z", "zz", "zzz"]),
        (["🦊", "\uffff", "é"], ["é", "\uffff", "🦊"]),
    ],
)
def test_members_sorted_by_key_bytes(tmp_path, names, expected_order):
    columns = [Column(i + 1, name, LONG) for i, name in enumerate(names)]
    row = {name: 100 + i for i, name in enumerate(names)}
    line = export_text(open_db(tmp_path, [("t", columns, [row])]), "t", tmp_path / "t.jsonl")
    expected = "{" + ",".join(f'"{name}":{row[name]}' for name in expected_order) + "}\n"
    assert line == expected


@pytest.mark.parametrize(
    ("columns", "row", "expected"),
    [
        # Two names that are not UTF-8 both read as U+FFFD: the later column (in id order) wins.
        (
            [Column(1, b"\xff", LONG), Column(2, b"\xfe", LONG), Column(3, "x", LONG)],
            {b"\xff": 1, b"\xfe": 2, "x": 3},
            '{"x":3,"\ufffd":2}\n',
        ),
        # The winner's value is kept even when it is null.
        ([Column(1, b"\xff", LONG), Column(2, b"\xfe", LONG)], {b"\xff": 1}, '{"\ufffd":null}\n'),
        # A name that really is U+FFFD joins the same key.
        (
            [Column(1, b"\xff", LONG), Column(2, "\ufffd", LONG), Column(3, b"a\xc3", LONG)],
            {b"\xff": 1, "\ufffd": 2, b"a\xc3": 3},
            '{"a\ufffd":3,"\ufffd":2}\n',
        ),
        # Row order is by column id, not by the order the columns were declared.
        ([Column(5, b"\xfe", LONG), Column(2, b"\xff", LONG)], {b"\xff": 1, b"\xfe": 2}, '{"\ufffd":2}\n'),
    ],
    ids=["later-wins", "later-null-wins", "literal-replacement-char", "by-column-id"],
)
def test_keys_that_read_the_same(tmp_path, columns, row, expected):
    assert export_text(open_db(tmp_path, [("t", columns, [row])]), "t", tmp_path / "t.jsonl") == expected


def test_many_keys_that_read_the_same(tmp_path):
    # Enough equal keys that an unstable sort would mix them up: the highest column id must win.
    names = [bytes([0x80 + i]) for i in range(40)]
    columns = [Column(i + 1, name, LONG) for i, name in enumerate(names)] + [Column(60, "k", LONG)]
    row = {name: i for i, name in enumerate(names)} | {"k": -1}
    line = export_text(open_db(tmp_path, [("t", columns, [row])]), "t", tmp_path / "t.jsonl")
    assert line == '{"k":-1,"\ufffd":39}\n'


def test_keys_are_escaped(tmp_path):
    columns = [Column(1, 'q"b\\s\tc/é\x01', LONG)]
    line = export_text(open_db(tmp_path, [("t", columns, [{columns[0].name: 7}])]), "t", tmp_path / "t.jsonl")
    assert line == '{"q\\"b\\\\s\\tc/é\\u0001":7}\n'
    assert json.loads(line) == {'q"b\\s\tc/é\x01': 7}


# --- file structure -----------------------------------------------------------------------------------------


def test_rows_are_lines_in_cursor_order(tmp_path):
    columns = [Column(1, "Id", LONG), Column(128, "Name", TEXT)]
    rows = [{"Id": i, "Name": f"n{i}"} for i in range(1, 301)]
    db = open_db(tmp_path, [("t", columns, rows, {"rows_per_page": 7})])
    text = export_text(db, "t", tmp_path / "t.jsonl")
    assert "\r" not in text and text.endswith("\n") and not text.startswith("\ufeff")
    assert text.split("\n")[:-1] == [f'{{"Id":{r["Id"]},"Name":"{r["Name"]}"}}' for r in rows]


def test_empty_table_gives_empty_file(tmp_path):
    db = open_db(tmp_path, [("empty", [Column(1, "Id", LONG)], [])])
    out = tmp_path / "empty.jsonl"
    out.write_bytes(b"old content")
    db.export_table("empty", str(out))
    assert out.read_bytes() == b""


def test_table_without_columns(tmp_path):
    db = open_db(tmp_path, [("nocol", [], [{}, {}])])
    assert export_text(db, "nocol", tmp_path / "n.jsonl") == "{}\n{}\n"


def test_existing_file_is_truncated_and_rewritten(tmp_path):
    db = open_db(tmp_path, [("t", [Column(1, "Id", LONG)], [{"Id": 1}])])
    out = tmp_path / "t.jsonl"
    out.write_text("x" * 10000)
    assert export_text(db, "t", out) == '{"Id":1}\n'
    assert export_text(db, "t", out) == '{"Id":1}\n'


def test_keyword_arguments(tmp_path):
    db = open_db(tmp_path, [("t", [Column(1, "Id", LONG)], [{"Id": 1}])])
    assert db.export_table(table_name="t", output_path=str(tmp_path / "k.jsonl")) is None
    assert (tmp_path / "k.jsonl").read_text() == '{"Id":1}\n'
    assert db.export_all(output_dir=str(tmp_path / "all")) is None
    assert (tmp_path / "all" / "t.jsonl").read_text() == '{"Id":1}\n'


def test_path_with_undecodable_bytes(tmp_path):
    db = open_db(tmp_path, [("t", [Column(1, "Id", LONG)], [{"Id": 1}])])
    target = os.fsencode(str(tmp_path)) + b"/out\xff.jsonl"
    db.export_table("t", os.fsdecode(target))
    with open(target, "rb") as handle:
        assert handle.read() == b'{"Id":1}\n'


# --- errors -------------------------------------------------------------------------------------------------


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


def test_unknown_table(small_db, tmp_path):
    out = tmp_path / "missing.jsonl"
    with pytest.raises(ValueError) as info:
        small_db.export_table("NoSuchTable", str(out))
    assert str(info.value) == "Table not found: NoSuchTable"
    assert not out.exists()
    out.write_text("keep")
    with pytest.raises(ValueError):
        small_db.export_table("NoSuchTable", str(out))
    assert out.read_text() == "keep"


def assert_os_error(info, text: str) -> None:
    assert type(info.value) is OSError
    assert str(info.value) == text


@pytest.mark.parametrize(
    ("target", "code"),
    [
        (lambda tmp: tmp / "no" / "such" / "dir" / "t.jsonl", errno.ENOENT),
        (lambda tmp: tmp, errno.EISDIR),
        (lambda tmp: tmp / "a_file" / "t.jsonl", errno.ENOTDIR),
        (lambda tmp: tmp / ("n" * 300 + ".jsonl"), errno.ENAMETOOLONG),
    ],
    ids=["missing-parent", "is-a-directory", "parent-is-a-file", "name-too-long"],
)
def test_output_file_cannot_be_created(small_db, tmp_path, target, code):
    (tmp_path / "a_file").write_text("")
    with pytest.raises(OSError) as info:
        small_db.export_table("t", str(target(tmp_path)))
    assert_os_error(info, "Failed to create output file: " + os_text(code))


def test_output_file_in_read_only_directory(small_db, tmp_path):
    if os.geteuid() == 0:
        pytest.skip("permissions do not apply to root")
    locked = tmp_path / "locked"
    locked.mkdir(mode=0o500)
    try:
        with pytest.raises(OSError) as info:
            small_db.export_table("t", str(locked / "t.jsonl"))
        assert_os_error(info, "Failed to create output file: " + os_text(errno.EACCES))
    finally:
        locked.chmod(0o700)


def test_nul_in_paths(small_db, tmp_path):
    with pytest.raises(OSError) as info:
        small_db.export_table("t", str(tmp_path / "a\0b.jsonl"))
    assert_os_error(info, "Failed to create output file: " + os_text(errno.EINVAL))
    with pytest.raises(OSError) as info:
        small_db.export_all(str(tmp_path / "d\0ir"))
    assert_os_error(info, "Failed to create output directory: " + os_text(errno.EINVAL))
    assert os.listdir(tmp_path) == ["db.edb"]


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_write_error(small_db, tmp_path):
    with pytest.raises(OSError) as info:
        small_db.export_table("t", "/dev/full")
    assert_os_error(info, "Write error: " + os_text(errno.ENOSPC))


def test_read_error_keeps_lines_written_before_it(tmp_path):
    rows = [{"Id": i} for i in range(1, 7)]
    path, layout = build(tmp_path, [("t", [Column(1, "Id", LONG)], rows, {"rows_per_page": 2})])
    leaves = layout.tables["t"].leaf_pages
    assert len(leaves) == 3
    data = Path(path).read_bytes()
    Path(path).write_bytes(damage.set_next_page(data, PAGE_SIZE, leaves[0], 99999))
    db = pagewright.EseDatabase(path)
    out = tmp_path / "t.jsonl"
    with pytest.raises(OSError) as info:
        db.export_table("t", str(out))
    assert_os_error(info, "Error reading record: Invalid page number: 99999")
    assert out.read_text() == '{"Id":1}\n{"Id":2}\n'


# --- export_all ---------------------------------------------------------------------------------------------


@pytest.fixture
def two_tables(tmp_path):
    return open_db(
        tmp_path,
        [
            ("First", [Column(1, "Id", LONG), Column(128, "Name", TEXT)], [{"Id": 1, "Name": "a"}]),
            ("Second", [Column(1, "Id", LONG)], [{"Id": 2}, {"Id": 3}]),
            ("Empty", [Column(1, "Id", LONG)], []),
        ],
    )


def expected_files(db, tmp_path: Path) -> dict[str, bytes]:
    """What export_table writes for every table, by file name."""
    scratch = tmp_path / "scratch.jsonl"
    out = {}
    for name in db.get_tables():
        db.export_table(name, str(scratch))
        out[name + ".jsonl"] = scratch.read_bytes()
    scratch.unlink()
    return out


def directory_contents(path: Path) -> dict[str, bytes]:
    return {entry.name: entry.read_bytes() for entry in path.iterdir()}


@pytest.mark.parametrize("relative", ["out", "a/b/c", "a/b/c/", "deep//er/./x"])
def test_export_all_writes_every_table(two_tables, tmp_path, relative):
    expected = expected_files(two_tables, tmp_path)
    assert set(expected) == {"MSysObjects.jsonl", "First.jsonl", "Second.jsonl", "Empty.jsonl"}
    assert expected["Second.jsonl"] == b'{"Id":2}\n{"Id":3}\n' and expected["Empty.jsonl"] == b""
    target = tmp_path / relative
    for _ in range(2):  # the second run overwrites
        assert two_tables.export_all(str(tmp_path) + "/" + relative) is None
        assert directory_contents(target) == expected


def test_export_all_into_existing_directory(two_tables, tmp_path):
    target = tmp_path / "existing"
    target.mkdir()
    (target / "First.jsonl").write_text("stale " * 1000)
    (target / "other.txt").write_text("untouched")
    two_tables.export_all(str(target))
    contents = directory_contents(target)
    assert contents.pop("other.txt") == b"untouched"
    assert contents == expected_files(two_tables, tmp_path)


def test_export_all_empty_dir_is_current_directory(two_tables, tmp_path, monkeypatch):
    cwd = tmp_path / "cwd"
    cwd.mkdir()
    monkeypatch.chdir(cwd)
    two_tables.export_all("")
    assert directory_contents(cwd) == expected_files(two_tables, tmp_path)


@pytest.mark.parametrize(
    ("relative", "code"),
    [("a_file", errno.EEXIST), ("a_file/sub", errno.ENOTDIR), ("a_file/sub/deeper", errno.ENOTDIR)],
)
def test_export_all_directory_errors(two_tables, tmp_path, relative, code):
    (tmp_path / "a_file").write_text("x")
    before = sorted(os.listdir(tmp_path))
    with pytest.raises(OSError) as info:
        two_tables.export_all(str(tmp_path / relative))
    assert_os_error(info, "Failed to create output directory: " + os_text(code))
    assert sorted(os.listdir(tmp_path)) == before
    assert (tmp_path / "a_file").read_text() == "x"


def test_export_all_stops_at_first_failing_table(tmp_path):
    rows = [{"Id": i} for i in range(1, 7)]
    path, layout = build(
        tmp_path,
        [
            ("A", [Column(1, "Id", LONG)], [{"Id": 1}]),
            ("B", [Column(1, "Id", LONG)], rows, {"rows_per_page": 2}),
            ("C", [Column(1, "Id", LONG)], [{"Id": 9}]),
        ],
    )
    data = Path(path).read_bytes()
    Path(path).write_bytes(damage.set_next_page(data, PAGE_SIZE, layout.tables["B"].leaf_pages[0], 99999))
    db = pagewright.EseDatabase(path)
    out = tmp_path / "out"
    with pytest.raises(OSError) as info:
        db.export_all(str(out))
    assert_os_error(info, "Error reading record: Invalid page number: 99999")
    assert (out / "A.jsonl").read_text() == '{"Id":1}\n'
    assert (out / "B.jsonl").read_text() == '{"Id":1}\n{"Id":2}\n'
    assert not (out / "C.jsonl").exists()


# Table names from the file decide the export file names; each must give one file directly inside the
# output directory. Expected names follow the escaping rule: well-formed UTF-8 kept, `/ \ %`, control bytes
# and bytes of malformed UTF-8 as %XX, and the names "." and ".." with their dots escaped.
HOSTILE_NAMES = [
    (b"a/b", "a%2Fb.jsonl"),
    (b"..", "%2E%2E.jsonl"),
    (b".", "%2E.jsonl"),
    (b"/abs/path", "%2Fabs%2Fpath.jsonl"),
    (b"../escape", "..%2Fescape.jsonl"),
    (b"\xff\xfe", "%FF%FE.jsonl"),
    (b"%41", "%2541.jsonl"),
    (b"a\\b", "a%5Cb.jsonl"),
    (b"tab\tname\n", "tab%09name%0A.jsonl"),
    (b"del\x7f", "del%7F.jsonl"),
    (b"caf\xc3", "caf%C3.jsonl"),
    (b"\xed\xa0\x80x", "%ED%A0%80x.jsonl"),
    (b"\xc0\xaf", "%C0%AF.jsonl"),
    (b"\xe2\x82", "%E2%82.jsonl"),
    (b"\xf4\x90\x80\x80", "%F4%90%80%80.jsonl"),
    ("été 🦊".encode(), "été 🦊.jsonl"),
    (b"...", "....jsonl"),
    (b".hidden", ".hidden.jsonl"),
    (b"with space-and_dots.x", "with space-and_dots.x.jsonl"),
    (b"MSysObjects2", "MSysObjects2.jsonl"),
]


def test_export_all_file_names_from_hostile_table_names(tmp_path):
    tables = [(name, [Column(1, "Id", LONG)], [{"Id": i}]) for i, (name, _) in enumerate(HOSTILE_NAMES)]
    path, _ = build(tmp_path, tables)
    db = pagewright.EseDatabase(path)
    out = tmp_path / "out"
    db.export_all(str(out))
    contents = directory_contents(out)
    assert all((out / name).is_file() for name in contents)
    expected = {file_name: f'{{"Id":{i}}}\n'.encode() for i, (_, file_name) in enumerate(HOSTILE_NAMES)}
    assert contents.pop("MSysObjects.jsonl").startswith(b"{")
    assert contents == expected
    # Nothing was written outside the output directory.
    assert sorted(os.listdir(tmp_path)) == ["db.edb", "out"]
    assert not os.path.exists("/abs")
    # Percent-decoding the file name gives back the raw table name.
    for name, file_name in HOSTILE_NAMES:
        assert unquote_to_bytes(file_name.removesuffix(".jsonl")) == name


def test_export_all_exports_table_whose_name_is_not_utf8(tmp_path):
    db = open_db(tmp_path, [(b"bad\xffname", [Column(1, "Id", LONG)], [{"Id": 5}])])
    assert "bad\ufffdname" in db.get_tables()
    db.export_all(str(tmp_path / "out"))
    assert (tmp_path / "out" / "bad%FFname.jsonl").read_text() == '{"Id":5}\n'


# --- real samples -------------------------------------------------------------------------------------------


def reference_float(value: float) -> str:
    """The float form, worked out from Python's shortest repr."""
    if not math.isfinite(value):
        return "0"
    if value == 0:
        return "-0.0" if math.copysign(1.0, value) < 0 else "0.0"
    number = Decimal(repr(value))
    digits = "".join(map(str, number.as_tuple().digits)).strip("0")
    exponent = number.adjusted()
    sign = "-" if value < 0 else ""
    if -5 <= exponent <= 15:
        if exponent < 0:
            return sign + "0." + "0" * (-exponent - 1) + digits
        return sign + digits[: exponent + 1].ljust(exponent + 1, "0") + "." + (digits[exponent + 1 :] or "0")
    mantissa = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
    return f"{sign}{mantissa}e{'-' if exponent < 0 else '+'}{abs(exponent)}"


SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r"}


def reference_string(text: str) -> str:
    out = []
    for ch in text:
        if ch in SHORT_ESCAPES:
            out.append(SHORT_ESCAPES[ch])
        elif ord(ch) < 0x20:
            out.append(f"\\u{ord(ch):04x}")
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def reference_value(value) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return reference_float(value)
    if isinstance(value, bytes):
        return '"' + value.hex() + '"'
    return reference_string(value)


def json_form(value):
    """A read_table value as the JSON parser gives it back."""
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, float) and not math.isfinite(value):
        return 0
    return value


def reference_line(row: dict) -> str:
    """The expected line of a read_table row, by an independent encoding in Python."""
    keys = sorted(row, key=lambda key: key.encode("utf-8"))
    return "{" + ",".join(reference_string(k) + ":" + reference_value(row[k]) for k in keys) + "}"


@pytest.mark.parametrize(("value", "expected"), FLOAT_CASES, ids=[c[1] for c in FLOAT_CASES])
def test_reference_float_agrees_with_fixed_cases(value, expected):
    # Keeps the Python reference used on the real samples honest.
    assert reference_float(value) == expected


@pytest.mark.parametrize("name", ["basic.edb", "text.edb", "default.edb", "SRUDB.dat"])
def test_samples_match_read_table(sample, tmp_path, name):
    db = pagewright.EseDatabase(sample(name))
    checked_rows = 0
    for table in db.get_tables():
        out = tmp_path / "t.jsonl"
        db.export_table(table, str(out))
        raw = out.read_bytes()
        lines = raw.decode("utf-8").split("\n")
        assert lines[-1] == ""
        rows = db.read_table(table)
        assert len(lines) - 1 == len(rows)
        for line, row in zip(lines[:-1], rows, strict=True):
            pairs = json.loads(line, object_pairs_hook=list)
            keys = [k for k, _ in pairs]
            assert keys == sorted(row, key=lambda key: key.encode("utf-8"))
            assert dict(pairs) == {k: json_form(v) for k, v in row.items()}
            assert line == reference_line(row), table
            checked_rows += 1
    assert checked_rows > 0


@pytest.mark.parametrize("name", ["basic.edb", "SRUDB.dat"])
def test_samples_export_all(sample, tmp_path, name):
    db = pagewright.EseDatabase(sample(name))
    out = tmp_path / "all"
    db.export_all(str(out))
    contents = directory_contents(out)
    assert set(contents) == {t + ".jsonl" for t in db.get_tables()}
    for table in db.get_tables():
        db.export_table(table, str(tmp_path / "one.jsonl"))
        assert contents[table + ".jsonl"] == (tmp_path / "one.jsonl").read_bytes()


def test_basic_sample_row_text(sample, tmp_path):
    db = pagewright.EseDatabase(sample("basic.edb"))
    lines = export_text(db, "basic", tmp_path / "basic.jsonl").split("\n")
    assert lines[0] == (
        '{"Bit":false,"Currency":1337133713371337,"DateTime":4675210852477960192,'
        '"GUID":"3f360af1-6766-46dc-9af2-0dacf295c2a1","IEEEDouble":13371337.13371337,"IEEESingle":1.0,'
        '"Id":1,"Long":-13371337,"LongLong":18446744073696180279,"Short":-1337,"UnsignedByte":213,'
        '"UnsignedLong":13371337,"UnsignedShort":1337}'
    )
    assert lines[1].startswith('{"Bit":true,"Currency":18445404939796160277,"DateTime":13909671945135194112,')
    assert '"IEEESingle":-2.0,' in lines[1] and '"IEEEDouble":-13391339.13391339,' in lines[1]
