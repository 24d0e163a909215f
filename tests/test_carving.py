"""UTF-16LE string carving: strings planted on builder-made pages are found at the offsets they were written
to, in the regions of each scope; the owners of leaf pages; the real sample; the methods' arguments."""

from __future__ import annotations

import random
from functools import partial

import pytest
from builder import Column, DatabaseBuilder, LongValue, build_page, damage, table_entry
from builder.constants import BINARY, LONG_TEXT

import pagewright

S, L = 8192, 32768
HIT_KEYS = "page offset slack_start slack_end region_kind page_flags page_type table text".split()
LEAF, SPACE_TREE, INDEX, LONG_VALUE = 0x2, 0x20, 0x40, 0x80
EVERYTHING = 10**9  # a max_hits that never stops a scan of these small files
REGION = "offset text slack_start slack_end region_kind"


def u(text: str) -> bytes:
    return text.encode("utf-16-le")


def open_image(tmp_path, image: bytes) -> pagewright.EseDatabase:
    (tmp_path / "carve.edb").write_bytes(image)
    return pagewright.EseDatabase(str(tmp_path / "carve.edb"))


def raw_page_db(tmp_path, pages: list[bytes], page_size: int = S) -> tuple:
    """A database whose last pages are the given pages (no tree reaches them), and their page numbers."""
    builder = DatabaseBuilder(page_size=page_size)
    for page in pages:
        builder.add_raw_page(page)
    return open_image(tmp_path, builder.build()), builder.layout.raw_pages


def make_page(tags=(), plants=None, size=S, flags=LEAF, **header) -> bytes:
    """A page from the builder (entries from the header's end in tag order), then `plants` {offset: bytes}."""
    tags = [t if isinstance(t, tuple) else (0, t) for t in tags]
    page = bytearray(build_page(size, size > S, flags, tags, checksum=False, **header))
    for offset, data in (plants or {}).items():
        page[offset : offset + len(data)] = data
    return bytes(page)


def carve(db, scope, **options) -> list[dict]:
    return db.carve_utf16le_strings_scoped(scope, **({"max_hits": EVERYTHING} | options))


def on_page(db, pgno, scope, fields, **options) -> list[tuple]:
    """The given fields (space separated) of the hits on one page."""
    return [tuple(h[f] for f in fields.split()) for h in carve(db, scope, **options) if h["page"] == pgno]


# --- planted strings --------------------------------------------------------------------------------------

R1, R2 = b"\x01\x02" + u("record text") + b"\x03", b"\x05" + u("after an odd byte")  # 25 and 35 bytes
NOISE = {200: u("abcd"), 220: u("abcde"), 240: u("ab\x7fcdefg"), 270: u("Caf\u00e9Latte")}
NOISE |= {300: u("ab\x1fcdefgh"), 330: u(" ~ ~ "), 350: u("hello") + b"A\x01" + u("world")}
NOISE |= {400: u("abc") + b"\x01\x00" + u("defghij"), 500: u("B" * 64) + b"\0\0" + u("C" * 63)}
NOISE_HITS = [(220, "abcde"), (246, "cdefg"), (278, "Latte"), (306, "cdefgh"), (330, " ~ ~ "), (350, "hello")]
NOISE_HITS += [(362, "world"), (408, "defghij"), (500, "B" * 64), (630, "C" * 63)]  # "abc": too short
LIVE, DELETED, REMOVED = (b"\0\0" + u(t) for t in ("live record", "deleted flag", "removed record"))
CROSSING = {44: u("QRSTUVWX"), 1020: u("abcdefghijklmnop"), 2000: u("gap 2")}
CROSSING_SLACK = [(48, "STUVWX", 48, 1040), (1020, "abcdefghij", 48, 1040), (2000, "gap 2", 1060, S - 8)]
LEFT = u("left over text")
X4022 = "x" * ((S - 40 - 8 - 100) // 2)  # fills the data area of a page with two tags
PAGES = {
    # tags [40, 48), [48, 73), [73, 108); the tag array [8180, 8192)
    "records": make_page([b"\0" * 8, R1, R2], {1000: u("free space!")}),
    # one tag [40, 45): the gap starts at 45 and is read from 46; strings at odd offsets are never found
    "odd": make_page([u("12") + b"\0"], {46: u("gap at"), 201: u("odd"), 300: u("pair"), 311: u("pair")}),
    "edges": make_page([], {0: u("head text"), S - 18: u("tail text")}),
    "noise": make_page([], NOISE),
    "short": make_page([], {100: u("A"), 104: u("B"), 200: u("OK"), 300: u("x")}),
    # a deleted entry is still tag data; the entry of a slot past the tag count is slack
    "deleted": make_page([b"", LIVE, (0x2, DELETED), REMOVED], tag_count=3),
    # tag 1 moved to [1040, 1060): strings run from a tag's data into the slack and back; one in the next gap
    "crossing": make_page([b"\0" * 8, b"\0" * 20], CROSSING | {S - 8: b"\x14\0\xe8\3"}),
    # tag 1 at (size 100, offset 8100) ends past the page: neither tag data nor occupied
    "outside": make_page([b"\0" * 8, b"\0" * 20], {8150: u("beyond"), S - 8: b"\x64\0\xa4\x1f"}),
    "overlap": make_page([b"\0" * 40, b"\0" * 40], {44: u("shared str"), S - 8: b"(\0\0\0"}),  # tag 1 = tag 0
    "full": make_page([b"\0" * 100, u(X4022)]),
    # 80-byte header; the top bits of the size and offset words are not part of them on large pages
    "large": make_page([b"\0" * 4, LIVE], {20000: u("large slack"), L - 8: b"\x18\x80\4\x80"}, L),
    # tag count 0xFFFF: 4095, capped at the 2048 tags an 8 KiB page holds, or on large pages by
    # available_data_size: (32768 - 32672) / 4 = 24 tags
    "count": make_page([LIVE], {3000: LEFT}, tag_count=0xFFFF),
    # 2048 tags: the tag array is the whole page, and tag 1947's slot (at 400) points at a string
    "count-2048": make_page([], {400: b"\x1c\0\x90\x0b", 3000: LEFT}, tag_count=2048, available=0),
    "count-large": make_page([LIVE], {3000: LEFT}, L, tag_count=0xFFFF, available=L - 96),
    "lv": make_page([b"", LIVE], {5000: u("lv slack text")}, flags=LONG_VALUE | LEAF),
}


@pytest.mark.parametrize(
    "page, scope, min_chars, hits",
    [
        ("records", "slack", 3, [(1000, "free space!", 108, S - 12)]),
        ("records", "tag_data", 3, [(50, "record text", 48, 73), (74, "after an odd byte", 73, 108)]),
        ("records", "lv_slack", 3, []),  # not a long-value page
        ("records", "all", 3, [(50, "record text"), (74, "after an odd byte"), (1000, "free space!")]),
        ("odd", "slack", 3, [(46, "gap at", 45, S - 4), (300, "pair", 45, S - 4)]),
        ("odd", "tag_data", 2, [(40, "12", 40, 45)]),
        ("odd", "all", 3, [(46, "gap at"), (300, "pair")]),
        ("edges", "slack", 6, [(S - 18, "tail text", 40, S)]),
        ("edges", "all", 6, [(0, "head text"), (S - 18, "tail text")]),
        ("noise", "slack", 5, [(o, t, 40, S) for o, t in NOISE_HITS]),
        ("noise", "all", 7, [(o, t) for o, t in NOISE_HITS if len(t) >= 7]),
        ("short", "all", 0, [(200, "OK")]),  # a minimum below 2 counts as 2
        ("deleted", "tag_data", 6, [(42, "live record", 40, 64), (66, "deleted flag", 64, 90)]),
        ("deleted", "slack", 6, [(92, "removed record", 90, S - 12)]),
        ("crossing", "slack", 2, CROSSING_SLACK),
        ("crossing", "tag_data", 2, [(44, "QR", 40, 48), (1040, "klmnop", 1040, 1060)]),
        ("crossing", "all", 6, [(44, "QRSTUVWX"), (1020, "abcdefghijklmnop")]),
        ("outside", "tag_data", 6, []),
        ("outside", "slack", 6, [(8150, "beyond", 48, S - 8)]),
        ("overlap", "tag_data", 6, [(44, "shared str", 40, 80)] * 2),
        ("full", "slack", 6, []),
        ("full", "tag_data", 6, [(140, X4022, 140, S - 8)]),
        ("full", "all", 6, [(140, X4022)]),
        ("large", "slack", 6, [(20000, "large slack", 108, L - 8)]),
        ("large", "tag_data", 6, [(86, "live record", 84, 108)]),
        ("count", "slack", 6, []),
        ("count", "all", 6, [(42, "live record"), (3000, "left over text")]),
        ("count-2048", "tag_data", 6, [(3000, "left over text", 3000, 3028)]),
        ("count-large", "slack", 6, [(3000, "left over text", 104, L - 96)]),
        ("lv", "lv_slack", 6, [(5000, "lv slack text", 64, S - 8)]),
        ("lv", "lv_all", 6, [(42, "live record"), (5000, "lv slack text")]),
    ],
)
def test_planted_strings_are_found_where_they_were_written(tmp_path, page, scope, min_chars, hits):
    db, (pgno,) = raw_page_db(tmp_path, [PAGES[page]], len(PAGES[page]))
    kind, size = scope.removeprefix("lv_"), len(PAGES[page])
    expected = [(*hit, *((0, size) if len(hit) == 2 else ()), kind) for hit in hits]  # whole page: (0, size)
    assert on_page(db, pgno, scope, REGION, min_chars=min_chars) == expected


@pytest.mark.parametrize(
    "needle, expected",
    [(None, "Hello World"), ("", "Hello World"), ("o", "Hello World"), ("ell", "Hello"), ("orl", "World")]
    + [("ELL", ""), ("Hello!", ""), ("h\u00e9", "")],
)
def test_needle_selects_strings_by_exact_substring(tmp_path, needle, expected):
    db, (pgno,) = raw_page_db(tmp_path, [make_page([], {100: u("Hello"), 300: u("World")})])
    assert on_page(db, pgno, "all", "text", needle=needle, min_chars=5) == [(t,) for t in expected.split()]


@pytest.mark.parametrize("max_hits, count", [(0, 1), (1, 1), (2, 2), (3, 3), (100, 3)])
def test_max_hits_stops_in_the_middle_of_a_page_and_across_pages(tmp_path, max_hits, count):
    pages = [make_page([], {100: u("first one"), 300: u("first two")}), make_page([], {100: u("second")})]
    db, (one, two) = raw_page_db(tmp_path, pages)
    every = [(one, "first one"), (one, "first two"), (two, "second")]
    hits = db.carve_utf16le_strings_scoped("all", max_hits=max_hits)
    assert [(h["page"], h["text"]) for h in hits] == every[:count]
    assert hits.stopped_at_max_hits == (max_hits < 3) and isinstance(hits, list)


@pytest.mark.parametrize(
    "flags, word",
    [(LONG_VALUE, "long_value"), (LONG_VALUE | SPACE_TREE | INDEX | LEAF, "long_value"), (0, "branch")]
    + [(SPACE_TREE | LEAF, "space_tree"), (SPACE_TREE | INDEX, "space_tree"), (INDEX | LEAF, "index")]
    + [(LEAF, "leaf"), (LEAF | 0x2800, "leaf"), (0x4 | 0x1, "branch")],
)
def test_page_type_words(tmp_path, flags, word):
    db, (pgno,) = raw_page_db(tmp_path, [make_page([b"", u("typed page")], flags=flags)])
    assert on_page(db, pgno, "all", "text page_type page_flags table") == [("typed page", word, flags, None)]


# --- tables: long-value trees and the owners of leaf pages ------------------------------------------------


def tables_db(*names, page_size=S, rows=24, rows_per_page=3, fanout=2, **options):
    """The builder of tables whose rows hold "<table> row <i>" in UTF-16LE at an even and at an odd offset."""
    builder = DatabaseBuilder(page_size=page_size)
    for name in names:
        columns = [Column(1, "Id", 4), Column(128, "Name", BINARY)]
        table = builder.add_table(name, columns, rows_per_page, fanout=fanout, **options)
        for i in range(rows):
            text = u(f"{name} row {i:04d}")
            table.add_row({"Id": i, "Name": b"\x01\x01" + text + b"\x01" + text + b"\x01\x01"})
    return builder


# Each text stored with a NUL after it, as a value's text is; the ASCII scan finds only the ASCII fragments.
SCRIPTS = [
    "Próxima página",
    "Привет мир",
    "日本語のテキスト",
    "中文字符串测试",
    "\U0001d400\U0001d401\U0001d402 bold math",
    "Привет a+b=c мир",  # printable ASCII symbols continue a string of any script, as in the ASCII scan
]
SCRIPT_PAGE = {200 + 100 * k: b"\x01\x08" + u(t) + b"\0\0" for k, t in enumerate(SCRIPTS)}


@pytest.mark.parametrize("size", [S, L])
def test_text_of_every_script_is_one_hit_when_asked(tmp_path, size):
    noise = random.Random(size).randbytes(2000)  # random bytes read as Han or Hangul must not pass as text
    db, (pgno,) = raw_page_db(tmp_path, [make_page([], SCRIPT_PAGE | {2000: noise}, size)], size)
    offsets = [offset + 2 for offset in SCRIPT_PAGE]
    assert on_page(db, pgno, "all", "offset text", script="any") == list(zip(offsets, SCRIPTS, strict=True))
    assert on_page(db, pgno, "all", "offset text") == [(208, "xima p"), (614, " bold math"), (714, " a+b=c ")]
    for needle, found in [
        ("ágina", SCRIPTS[:1]),
        ("\U0001d401", SCRIPTS[4:5]),
        ("мир", SCRIPTS[1:6:4]),
        ("ł", []),
    ]:
        assert on_page(db, pgno, "all", "text", script="any", needle=needle) == [(t,) for t in found]


def test_long_value_scopes_see_the_long_value_tree_only(tmp_path):
    builder = tables_db("alpha", rows=8, rows_per_page=2)
    columns = [Column(1, "Id", 4, flags=0x1), Column(256, "Body", LONG_TEXT, codepage=1200)]
    table = builder.add_table("docs", columns=columns, lv_tree="always")
    for i in range(4):
        table.add_row({"Id": i, "Body": LongValue(f"long value body {i} " * 120)})
    lv_all = carve(open_image(tmp_path, builder.build()), "lv_all")  # each value fills one page
    lv_pages = builder.layout.tables["docs"].lv_leaf_pages
    expected = [(p, f"long value body {i} " * 120) for i, p in enumerate(lv_pages)]
    assert [(h["page"], h["text"]) for h in lv_all] == expected
    assert {(h["page_type"], h["table"], h["region_kind"]) for h in lv_all} == {("long_value", None, "all")}
    db = open_image(tmp_path, builder.build())
    trees = carve(db, "all", owners="tree")
    assert {(h["page_type"], h["table"]) for h in trees if h["page"] in lv_pages} == {("long_value", "docs")}
    leaves = [h for h in carve(db, "all") if h["page_type"] == "leaf"]
    assert [h for h in trees if h["page_type"] == "leaf"] == leaves and leaves


@pytest.mark.parametrize(
    "page_size, rows_per_page, fanout, min_depth, tag_flags",
    [(S, 3, 2, 1, 0), (S, 2, 2, 4, 0), (S, 50, None, 1, 0), (4096, 1, 3, 1, 0)]
    + [(L, 2, 2, 3, flags) for flags in range(4)],
)
def test_leaf_pages_carry_their_table(tmp_path, page_size, rows_per_page, fanout, min_depth, tag_flags):
    """On large pages the tag flags of an entry are the top 3 bits of its key size: cleared to descend."""
    options = {"min_depth": min_depth} | ({"key_compression": "none"} if tag_flags else {})
    builder = tables_db("people", page_size=page_size, rows_per_page=rows_per_page, fanout=fanout, **options)
    image = builder.build()
    layout = builder.layout.tables["people"]
    for pgno in layout.branch_pages if tag_flags else []:
        start, _ = damage.entry_position(image, page_size, pgno, 1, large=True)
        image = damage.patch(image, start + 1, bytes([image[start + 1] | tag_flags << 5]))
    hits = carve(open_image(tmp_path, image), "tag_data")
    leaf_hits = [h for h in hits if h["page"] in layout.leaf_pages]
    assert sorted(h["text"] for h in leaf_hits) == [f"people row {i:04d}" for i in range(24)]
    assert {(h["table"], h["page_type"]) for h in leaf_hits} == {("people", "leaf")}


# Each case: a damage to the two-table file ("a-1": alpha's last leaf page, "b0": beta's first, "aroot": its
# root, numbers as they are), and who owns alpha's and beta's leaves then ("a", "b", or "-" for nobody).
OWNER_CASES = {
    "intact": (None, (), "ab"),
    "shared-chain": (damage.set_next_page, ("a-1", "b0"), "ab"),  # alpha's walk stops at beta's object id
    "chain-into-earlier": (damage.set_next_page, ("b-1", "a1"), "ab"),  # each keeps its own
    "cycle-to-first": (damage.set_next_page, ("b-1", "b0"), "ab"),
    "cycle-to-self": (damage.set_next_page, ("b-1", "b-1"), "ab"),
    "descent-loop": (damage.set_child, ("broot", 1, "broot"), "a-"),  # and the root has no next page
    "child-outside-file": (damage.set_child, ("aroot", 1, 999), "-b"),
    "tag1-missing": (damage.set_tag_count, ("aroot", 1), "-b"),
    "branch-entry-too-short": (partial(damage.set_tag, size=3), ("aroot", 1), "-b"),
    "child-zero": (damage.set_child, ("aroot", 1, 0), "-b"),
}


@pytest.mark.parametrize("case", OWNER_CASES)
def test_owner_of_leaf_pages(tmp_path, case):
    change, args, (alpha_owner, beta_owner) = OWNER_CASES[case]
    builder = tables_db("alpha", "beta", rows=8, rows_per_page=2)
    if case == "intact":  # a table whose root is outside the file (object id 3 sorts before alpha and beta)
        builder.add_catalog_entry(table_entry("ghost", 3, 999999))
    image = builder.build().replace(b"beta", b"b\xffta")  # the catalog's name bytes, not UTF-8
    a, b = builder.layout.tables["alpha"], builder.layout.tables["beta"]
    pages = {f"{n}{i}": t.leaf_pages[i] for n, t in (("a", a), ("b", b)) for i in (-1, 0, 1, 2)}
    pages |= {"aroot": a.root_page, "broot": b.root_page}
    image = change(image, S, *[pages.get(x, x) for x in args]) if change else image
    names = {"a": "alpha", "b": "b\udcffta", "-": None}  # with surrogate escapes
    expected = {p: {names[alpha_owner]} for p in a.leaf_pages}
    expected |= {p: {names[beta_owner]} for p in b.leaf_pages}
    hits = carve(open_image(tmp_path, image), "all")
    assert {p: {h["table"] for h in hits if h["page"] == p} for p in expected} == expected


def test_real_sample(sample):
    db = pagewright.EseDatabase(sample("SRUDB.dat"))
    leftover = [(h["page"], h["offset"], h["text"]) for h in carve(db, "all") if 143 <= h["page"] <= 157]
    for expected in [
        (143, 4, "jEq7OSh7rcyTdteDONn4rzZB6iUZUAynU4qH6xPzF6Q=!4.0.15713.0#"),
        (143, 508, "g+K+bHWYKpz6fJSy7qbA3NUBThPrO6ZVMLC43HxaY3o=!4.0.15713.0#"),
        (156, 116, "X7smr2kEkacABHKg98nSPLSSCD9Ipa4WDrwOzzoDcLY=!4.0.15713.0#"),
        # a string cut by the end of page 156 goes on at the start of page 157
        (156, 4020, "Fzq4o6zLTxb3N2f/Pu6wU+ztC+5xWW7UMONI0o"),
        (157, 0, "UW4vI=!4.0.15713.0#"),
    ]:
        assert expected in leftover
    assert {page for page, _, _ in leftover} == set(range(143, 158))
    hits = carve(db, "tag_data")
    assert all(h["table"] is None for h in hits if h["page_type"] != "leaf")
    id_map = [h["text"] for h in hits if h["table"] == "SruDbIdMapTable"]
    assert any(text.startswith("6cb9f58e-0000-0000-") for text in id_map)


# --- the Python methods -----------------------------------------------------------------------------------


@pytest.fixture
def small_db(tmp_path):
    builder = tables_db("people", rows=9)
    builder.add_raw_page(make_page([], {3000: u("slack words here"), 3100: u("more slack words")}))
    return open_image(tmp_path, builder.build())


def test_hit_dicts_and_the_unscoped_method(small_db):
    hits = [
        h for scope in ("slack", "all", "tag_data", "lv_all") for h in carve(small_db, scope, min_chars=2)
    ]
    assert len(hits) > 20 and all(list(h) == HIT_KEYS for h in hits)
    assert [h["text"] for h in small_db.carve_utf16le_strings()] == ["slack words here", "more slack words"]
    by_keyword = small_db.carve_utf16le_strings_scoped(scope="all", needle="people", min_chars=4, max_hits=5)
    assert small_db.carve_utf16le_strings_scoped("all", "people", 4, 5) == by_keyword
    by_position = small_db.carve_utf16le_strings("more", 4, 1)
    assert by_position == small_db.carve_utf16le_strings(needle="more", min_chars=4, max_hits=1) != []


def test_defaults_are_min_6_and_1000_hits(tmp_path):
    six = [make_page([], {100 + 16 * i: u("abcdef") for i in range(500)}) for _ in range(3)]
    five = make_page([], {100 + 12 * i: u("abcde") for i in range(600)})  # below the default minimum
    db, numbers = raw_page_db(tmp_path, [five, *six])
    assert len(db.carve_utf16le_strings_scoped("all")) == len(db.carve_utf16le_strings()) == 1000
    assert [h["text"] for h in carve(db, "all") if h["page"] in numbers] == ["abcdef"] * 1500
    assert len([h for h in carve(db, "all", min_chars=5) if h["page"] in numbers]) == 2100


THREE = type("Three", (), {"__index__": lambda self: 3})()  # an integer by __index__ only


@pytest.mark.parametrize("min_chars, max_hits", [(THREE, True), (THREE, 7), (3, 2**64 - 1), (2**64 - 1, 1)])
def test_index_integers_and_large_limits_are_accepted(small_db, min_chars, max_hits):
    got = small_db.carve_utf16le_strings_scoped("all", min_chars=min_chars, max_hits=max_hits)
    assert got == (carve(small_db, "all", min_chars=3)[: int(max_hits)] if min_chars != 2**64 - 1 else [])


@pytest.mark.parametrize(
    "method, args, kwargs, exc, fragment",
    [
        ("scoped", ("Slack",), {}, ValueError, "Slack (expected: slack, all, tag_data, lv_all, lv_slack)"),
        ("scoped", ("",), {}, ValueError, "Invalid scope:  (expected"),
        ("scoped", (b"all",), {}, TypeError, "scope"),
        ("scoped", ("all",), {"needle": b"x"}, TypeError, "needle"),
        ("scoped", ("all",), {"min_chars": 6.0}, TypeError, "min_chars"),
        ("scoped", ("all",), {"max_hits": None}, TypeError, "max_hits"),
        ("scoped", ("all",), {"min_chars": -1}, OverflowError, ""),
        ("scoped", ("all",), {"max_hits": 2**64}, OverflowError, ""),
        ("scoped", (), {}, TypeError, "scope"),
        ("plain", ("slack", 6, 10, 1), {}, TypeError, "at most"),
        # converted before the scope is checked: the wrongly typed argument is reported first
        ("scoped", ("nope",), {"min_chars": None}, TypeError, "min_chars"),
        ("scoped", ("nope",), {"max_hits": -1}, OverflowError, ""),
        ("scoped", ("all",), {"needle": 1, "min_chars": None}, TypeError, "needle"),
        ("scoped", ("all",), {"script": "utf8"}, ValueError, "Invalid script: utf8 (expected: ascii, any)"),
        ("plain", (), {"owners": "trees"}, ValueError, "Invalid owners: trees (expected: leaf, tree)"),
        ("plain", (None, 6, 10, "any"), {}, TypeError, "at most"),  # script is keyword-only
    ],
)
def test_argument_errors(small_db, method, args, kwargs, exc, fragment):
    call = small_db.carve_utf16le_strings_scoped if method == "scoped" else small_db.carve_utf16le_strings
    with pytest.raises(exc) as info:
        call(*args, **kwargs)
    assert type(info.value) is exc and fragment in str(info.value)
