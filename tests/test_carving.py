"""UTF-16LE string carving: the range scan, page regions of each scope, owners of leaf pages, the methods.
The oracle for whole files, `reference_carve`, writes the carving rules out plainly in Python (a unit-by-unit
scan, regions from the raw page bytes, a fresh tree walk per leaf page), sharing no code with the extension.
"""

from __future__ import annotations

import random
import struct
from operator import itemgetter
from pathlib import Path

import pytest
from builder import Column, DatabaseBuilder, LongValue, build_page, damage, table_entry
from builder.constants import BINARY, LONG_TEXT

import pagewright

PAGE = 8192
HIT_KEYS = "page offset slack_start slack_end region_kind page_flags page_type table text".split()
SCOPES = ["slack", "all", "tag_data", "lv_all", "lv_slack"]
LEAF, SPACE_TREE, INDEX, LONG_VALUE = 0x2, 0x20, 0x40, 0x80
PAGE_TYPES = [(LONG_VALUE, "long_value"), (SPACE_TREE, "space_tree"), (INDEX, "index"), (LEAF, "leaf")]
EVERYTHING = 10**9  # a max_hits that never stops a scan of these small files


def utf16(text: str) -> bytes:
    return text.encode("utf-16-le")


def both_parities(text: str) -> bytes:
    """Two copies of the text one byte apart: exactly one lies at even positions of the page (only those can
    be found). The 0x01 bytes around them keep neighbouring record bytes from joining the string."""
    return b"\x01\x01" + utf16(text) + b"\x01" + utf16(text) + b"\x01\x01"


# --- reference carver -------------------------------------------------------------------------------------


def reference_range(data, start, end, fields, needle, min_chars, max_hits, hits):
    """The range scan, one code unit at a time. fields: (page, kind, flags, page type, table)."""
    page, kind, flags, word, table = fields
    pos = start
    while start + 2 <= end and len(hits) < max_hits:
        if pos % 2:
            if pos + 3 > end:
                return
            pos += 1
        p = pos
        while p + 2 <= end and data[p + 1] == 0 and 0x20 <= data[p] <= 0x7E:
            p += 2
        if (p - pos) // 2 < min_chars:
            pos += 2
        else:
            text = bytes(data[pos:p:2]).decode("ascii")
            if not needle or needle in text:
                hits.append(
                    dict(zip(HIT_KEYS, (page, pos, start, end, kind, flags, word, table, text), strict=True))
                )
            pos = p + 2
        if pos + 2 > end:
            return


class ReferenceFile:
    """Pages of a database file read straight from its bytes."""

    def __init__(self, image: bytes) -> None:
        version, revision, self.page_size = (struct.unpack_from("<I", image, at)[0] for at in (8, 232, 236))
        self.image, self.total_pages = image, max(len(image) // self.page_size - 2, 0)
        extended = version > 0x620 or (version == 0x620 and revision >= 17)
        self.header_size = 80 if extended and self.page_size > 8192 else 40
        self.large = version == 0x620 and revision >= 17 and self.page_size > 8192

    def page(self, n: int) -> bytes | None:
        start = (n + 1) * self.page_size
        end = start + self.page_size
        return self.image[start:end] if end <= len(self.image) else None

    def tag_count(self, page: bytes) -> int:
        count = min(struct.unpack_from("<H", page, 34)[0] & 0x0FFF, len(page) // 4)
        if self.page_size > 8192:  # capped by available_data_size
            count = min(count, max(len(page) - struct.unpack_from("<H", page, 28)[0], 0) // 4 & 0xFFFF)
        return count

    def tag(self, page: bytes, i: int) -> tuple[int, int] | None:
        """(size, offset) of tag i, or None when its 4 bytes are not inside the page."""
        at, mask = len(page) - 4 * (i + 1), 0x7FFF if self.large else 0x1FFF
        return None if at < 0 else tuple(v & mask for v in struct.unpack_from("<HH", page, at))

    def tag_ranges(self, page: bytes) -> list[tuple[int, int]]:
        tags = [self.tag(page, i) for i in range(self.tag_count(page))]
        ranges = [(self.header_size + off, self.header_size + off + size) for size, off in filter(None, tags)]
        return [(s, e) for s, e in ranges if e <= len(page) and e != s]

    def slack_gaps(self, page: bytes) -> list[tuple[int, int]]:
        length = len(page)
        occupied = [(0, min(self.header_size, length)), (max(length - 4 * self.tag_count(page), 0), length)]
        gaps, cursor = [], 0
        for s, e in sorted(occupied + self.tag_ranges(page)):
            if cursor < s:
                gaps.append((cursor, s))
            cursor = max(cursor, e)
        return gaps + [(cursor, length)] * (cursor < length)

    def branch_child(self, page: bytes) -> int | None:
        """Child page of the branch entry in tag 1, or None when it cannot be read."""
        tag = self.tag(page, 1) if self.tag_count(page) >= 2 else None
        if tag is None or self.header_size + tag[1] + tag[0] > len(page):
            return None
        entry = bytearray(page[self.header_size + tag[1] :][: tag[0]])
        if self.large:
            flags = entry[1] >> 5 if len(entry) >= 2 else 0
            entry[1:2] = bytes([entry[1] & 0x1F]) if len(entry) >= 2 else b""
        else:
            flags = struct.unpack_from("<H", page, len(page) - 6)[0] >> 13
        key_start = 4 if flags & 0x4 else 2
        if len(entry) < key_start + 4:
            return None
        key_size = struct.unpack_from("<H", entry, key_start - 2)[0] & 0x7FFF
        p = key_start + min(key_size, len(entry) - key_start)
        child = struct.unpack_from("<I", entry, p)[0] if p + 4 <= len(entry) else 0
        return child if 0 < child <= max(100000, self.total_pages) else None

    def owner(self, n: int, roots: list[tuple[str, int]]) -> str | None:
        """The owner search for leaf page n: every table's tree and leaf chain walked from its root."""
        for name, p in roots:
            page, depth = self.page(p), 0
            while page is not None and not struct.unpack_from("<I", page, 36)[0] & LEAF and depth < 64:
                child = self.branch_child(page)
                if child is None:
                    break
                p, page, depth = child, self.page(child), depth + 1
            if page is None:
                continue
            steps, objid = 0, struct.unpack_from("<I", page, 24)[0]
            while p != 0 and (page := self.page(p)) is not None and steps <= self.total_pages:
                if struct.unpack_from("<I", page, 24)[0] != objid:
                    break
                if p == n:
                    return name
                p, steps = struct.unpack_from("<I", page, 20)[0], steps + 1
        return None


def reference_carve(image, roots, scope, needle=None, min_chars=6, max_hits=EVERYTHING):
    ref, hits = ReferenceFile(image), []
    min_chars, max_hits = max(min_chars, 2), max(max_hits, 1)
    for n in range(1, ref.total_pages + 1):
        page = ref.page(n)
        if page is None or len(page) < ref.header_size:
            continue
        flags = struct.unpack_from("<I", page, 36)[0]
        if scope.startswith("lv_") and not flags & LONG_VALUE:
            continue
        word = next((w for bit, w in PAGE_TYPES if flags & bit), "branch")
        table = ref.owner(n, roots) if word == "leaf" and roots else None
        kind = scope.removeprefix("lv_")
        regions = {"all": [(0, len(page))], "slack": ref.slack_gaps(page), "tag_data": ref.tag_ranges(page)}
        for start, end in regions[kind]:
            fields = (n, kind, flags, word, table)
            reference_range(page, start, end, fields, needle, min_chars, max_hits, hits)
    return hits


def registry_roots(db: pagewright.EseDatabase) -> list:
    """(name, root page) of every table in registry order, from the table records of the catalog."""
    roots = {r["Name"]: r["ColtypOrPgnoFDP"] for r in db.read_table("MSysObjects") if r["Type"] == 1}
    return [(name, roots[name]) for name in db.get_tables()]


def carve(db, scope, **options) -> list[dict]:
    return db.carve_utf16le_strings_scoped(scope, **({"max_hits": EVERYTHING} | options))


def matches_reference(db, image, scopes=SCOPES, **options) -> bool:
    roots = registry_roots(db)
    return all(carve(db, s, **options) == reference_carve(image, roots, s, **options) for s in scopes)


# --- files ------------------------------------------------------------------------------------------------


def open_image(tmp_path: Path, image: bytes) -> pagewright.EseDatabase:
    (tmp_path / "carve.edb").write_bytes(image)
    return pagewright.EseDatabase(str(tmp_path / "carve.edb"))


def raw_page_db(tmp_path: Path, pages: list[bytes], page_size: int = PAGE) -> tuple:
    """A database whose last pages are the given raw pages (no tree reaches them); returns the open file,
    the page numbers of the raw pages and the file bytes."""
    builder = DatabaseBuilder(page_size=page_size)
    numbers = [builder.add_raw_page(p) for p in pages]
    image = builder.build()
    return open_image(tmp_path, image), [builder.layout.raw_pages[i] for i in numbers], image


def bytes_at(placements: dict[int, bytes], size: int = PAGE) -> bytes:
    """A zero page with bytes placed at the given offsets."""
    page = bytearray(size)
    for offset, data in placements.items():
        page[offset : offset + len(data)] = data
    return bytes(page)


def leaf_page(records, flags=LEAF) -> bytearray:
    return bytearray(build_page(PAGE, False, flags, [(0, r) for r in records], pgno=0, checksum=False))


def on_page(db, pgno, scope, fields, **options) -> list[tuple]:
    """The given fields (space separated) of the hits on one page."""
    return [tuple(h[f] for f in fields.split()) for h in carve(db, scope, **options) if h["page"] == pgno]


def tables_db(*names, page_size=PAGE, rows=24, rows_per_page=3, fanout=2, **options):
    """A database with tables whose rows hold the UTF-16LE text "<table> row <i>"; returns the builder."""
    builder = DatabaseBuilder(page_size=page_size)
    for name in names:
        columns = [Column(1, "Id", 4, flags=0x1), Column(128, "Name", BINARY)]
        table = builder.add_table(
            name, columns=columns, rows_per_page=rows_per_page, fanout=fanout, **options
        )
        for i in range(rows):
            table.add_row({"Id": i, "Name": both_parities(f"{name} row {i:04d}")})
    return builder


# --- the range scan, through whole raw pages (scope "all": one region [0, page length)) -------------------

HELLO = utf16("Hello")
REGION = "offset text slack_start slack_end region_kind"


@pytest.mark.parametrize(
    "placements, min_chars, needle, expected",
    [
        ({200: HELLO}, 5, None, [(200, "Hello")]),
        ({200: HELLO}, 6, None, []),
        ({201: HELLO}, 2, None, []),  # odd positions are never found
        ({200: HELLO + b"\0\0" + utf16("World")}, 5, None, [(200, "Hello"), (212, "World")]),
        ({200: utf16("Caf\u00e9Latte")}, 3, None, [(200, "Caf"), (208, "Latte")]),
        ({200: utf16("ab\x7fcdefg")}, 2, None, [(200, "ab"), (206, "cdefg")]),
        ({200: utf16("ab\x1fcdefg")}, 2, None, [(200, "ab"), (206, "cdefg")]),
        ({200: utf16(" ~ ~")}, 4, None, [(200, " ~ ~")]),
        ({200: HELLO}, 5, "ell", [(200, "Hello")]),
        ({200: HELLO}, 5, "ELL", []),
        ({200: HELLO}, 5, "", [(200, "Hello")]),
        ({200: HELLO}, 5, "Hello!", []),
        ({200: HELLO}, 5, "h\u00e9", []),
        ({200: HELLO, 300: utf16("World")}, 5, "orl", [(300, "World")]),
        # a run too short is skipped one unit at a time; after a hit the scan resumes past the terminator
        ({200: utf16("abc") + b"\x01\x00" + utf16("defghij")}, 4, None, [(208, "defghij")]),
        ({200: utf16("abcd") + b"\x01\x00" + utf16("efgh")}, 4, None, [(200, "abcd"), (210, "efgh")]),
        ({PAGE - 10: HELLO}, 5, None, [(PAGE - 10, "Hello")]),
        ({200: utf16("A" * 300)}, 6, None, [(200, "A" * 300)]),
        ({200: utf16("B" * 64) + b"\0\0" + utf16("C" * 63)}, 6, None, [(200, "B" * 64), (330, "C" * 63)]),
        ({0: utf16("head text")}, 6, None, [(0, "head text")]),
        ({100: utf16("A"), 104: utf16("B"), 200: utf16("OK"), 300: utf16("x")}, 0, None, [(200, "OK")]),
        ({100: utf16("A"), 104: utf16("B"), 200: utf16("OK"), 300: utf16("x")}, 1, None, [(200, "OK")]),
    ],
)
def test_range_scan_on_a_whole_page(tmp_path, placements, min_chars, needle, expected):
    db, (pgno,), _ = raw_page_db(tmp_path, [bytes_at(placements)])
    hits = on_page(db, pgno, "all", REGION, needle=needle, min_chars=min_chars)
    assert hits == [(offset, text, 0, PAGE, "all") for offset, text in expected]


@pytest.mark.parametrize("max_hits, count", [(0, 1), (1, 1), (2, 2), (3, 3), (100, 3)])
def test_max_hits_stops_in_the_middle_of_a_page_and_across_pages(tmp_path, max_hits, count):
    pages = [
        bytes_at({100: utf16("first page one"), 300: utf16("first page two")}),
        bytes_at({100: utf16("second page")}),
    ]
    db, numbers, _ = raw_page_db(tmp_path, pages)
    every = [(numbers[0], "first page one"), (numbers[0], "first page two"), (numbers[1], "second page")]
    hits = db.carve_utf16le_strings_scoped("all", max_hits=max_hits)
    assert [(h["page"], h["text"]) for h in hits] == every[:count]


# --- regions of a page ------------------------------------------------------------------------------------


X4022 = "x" * ((PAGE - 40 - 8 - 100) // 2)  # fills the data area of a page with two tags


# (records, {offset: bytes written}, {tag: (size, offset) it is moved to}, min_chars,
#  {scope: [(offset, text, region start, region end)]})
REGION_CASES = {
    # two records (the second at an odd position), a string in the free space and one in the header
    "three-regions": (
        [b"\x00" * 16, b"\x01\x02" + utf16("record text") + b"\x03", b"\x05" + utf16("odd record")],
        {1000: utf16("free space!"), 24: utf16("hdr")},
        {},
        3,
        {
            "slack": [(1000, "free space!", 102, PAGE - 12)],
            "tag_data": [(58, "record text", 56, 81), (82, "odd record", 81, 102)],
            "all": [(24, "hdr", 0, PAGE), (58, "record text", 0, PAGE), (82, "odd record", 0, PAGE)]
            + [(1000, "free space!", 0, PAGE)],
        },
    ),
    # data [40, 45): the gap starts at 45 and is read from 46
    "odd-gap": ([b"\x00" * 5], {46: utf16("gap at")}, {}, 3, {"slack": [(46, "gap at", 45, PAGE - 4)]}),
    # strings running from a tag's data into the slack, and from the slack into a tag's data
    "crossing": (
        [b"\x00" * 8, b"\x00" * 20],
        {44: utf16("QRSTUVWX"), 1020: utf16("abcdefghijklmnop")},
        {1: (20, 1000)},
        2,
        {
            "slack": [(48, "STUVWX", 48, 1040), (1020, "abcdefghij", 48, 1040)],
            "tag_data": [(44, "QR", 40, 48), (1040, "klmnop", 1040, 1060)],
            "all": [(44, "QRSTUVWX", 0, PAGE), (1020, "abcdefghijklmnop", 0, PAGE)],
        },
    ),
    "no-slack": (
        [b"\x00" * 100, utf16(X4022)],
        {},
        {},
        6,
        {"slack": [], "tag_data": [(140, X4022, 140, PAGE - 8)]},
    ),
    # tag 1 covers the same bytes as tag 0: the string is reported once per tag
    "overlapping-tags": (
        [b"\x00" * 40, b"\x00" * 40],
        {44: utf16("shared str")},
        {1: (40, 0)},
        6,
        {"tag_data": [(44, "shared str", 40, 80)] * 2},
    ),
}


@pytest.mark.parametrize("case", REGION_CASES)
def test_each_scope_sees_its_own_regions(tmp_path, case):
    records, writes, moves, min_chars, expected = REGION_CASES[case]
    page = leaf_page(records)
    for offset, data in writes.items():
        page[offset : offset + len(data)] = data
    for tag, entry in moves.items():
        struct.pack_into("<HH", page, PAGE - 4 * (tag + 1), *entry)
    db, (pgno,), _ = raw_page_db(tmp_path, [bytes(page)])
    for scope, hits in expected.items():
        assert on_page(db, pgno, scope, REGION, min_chars=min_chars) == [(*hit, scope) for hit in hits]


@pytest.mark.parametrize("page_size", [8192, 32768])
def test_damaged_tag_count_is_scanned_without_failure(tmp_path, page_size):
    builder = tables_db("people", page_size=page_size, rows=6)
    builder.add_raw_page(bytes_at({3000: utf16("left over text")}, page_size))
    image = builder.build()
    leaf, raw = builder.layout.tables["people"].leaf_pages[0], builder.layout.raw_pages[0]
    for pgno in (leaf, raw):
        image = damage.set_tag_count(image, page_size, pgno, 0xFFFF)
        if page_size > 8192:  # the tag count is capped by available_data_size on large pages: leave no room
            image = damage.set_page_field(image, page_size, pgno, "available", 0)
    db = open_image(tmp_path, image)
    assert matches_reference(db, image)
    if page_size == 8192:  # 4095 tags cover the whole page
        assert not {leaf, raw} & {h["page"] for h in carve(db, "slack")}
    assert on_page(db, raw, "all", "offset text") == [(3000, "left over text")]


@pytest.mark.parametrize(
    "flags, word",
    [
        (LONG_VALUE, "long_value"),
        (LONG_VALUE | SPACE_TREE | INDEX | LEAF, "long_value"),
        (SPACE_TREE | LEAF, "space_tree"),
        (SPACE_TREE | INDEX, "space_tree"),
        (INDEX | LEAF, "index"),
        (LEAF, "leaf"),
        (LEAF | 0x2800, "leaf"),
        (0, "branch"),
        (0x4 | 0x1, "branch"),
    ],
)
def test_page_type_words(tmp_path, flags, word):
    db, (pgno,), _ = raw_page_db(tmp_path, [bytes(leaf_page([b"", utf16("typed page")], flags))])
    assert on_page(db, pgno, "all", "text page_type page_flags table") == [("typed page", word, flags, None)]


def test_long_value_scopes_only_see_long_value_pages(tmp_path):
    builder = tables_db("alpha", "beta", rows=8, rows_per_page=2)
    columns = [Column(1, "Id", 4, flags=0x1), Column(256, "Body", LONG_TEXT, codepage=1200)]
    table = builder.add_table("docs", columns=columns, lv_tree="always")
    for i in range(4):
        table.add_row({"Id": i, "Body": LongValue(f"long value body {i} " * 120)})
    lv_page = leaf_page([b""], LONG_VALUE | LEAF)
    lv_page[5000:5026] = utf16("lv slack text")
    builder.add_raw_page(bytes(lv_page))
    image = builder.build()
    db, raw = open_image(tmp_path, image), builder.layout.raw_pages[0]
    lv_pages = set(builder.layout.tables["docs"].lv_leaf_pages) | {raw}
    lv_all = carve(db, "lv_all")
    assert lv_all and {h["page"] for h in lv_all} == lv_pages
    assert {(h["page_type"], h["table"], h["region_kind"]) for h in lv_all} == {("long_value", None, "all")}
    assert any(h["text"].startswith("long value body 3") for h in lv_all)
    same = itemgetter("page", "offset", "text")  # the unrestricted scope finds the same strings there
    assert [same(h) for h in carve(db, "all") if h["page"] in lv_pages] == list(map(same, lv_all))
    lv_slack = [(h["page"], h["offset"], h["text"], h["region_kind"]) for h in carve(db, "lv_slack")]
    assert lv_slack == [(raw, 5000, "lv slack text", "slack")]
    for needle in (None, "row", "body 3"):
        assert matches_reference(db, image, needle=needle, min_chars=4), needle
    db, _, _ = raw_page_db(tmp_path, [bytes_at({100: utf16("not a long value")})])
    assert db.carve_utf16le_strings_scoped("lv_all") == db.carve_utf16le_strings_scoped("lv_slack") == []


# --- owning table of leaf pages ---------------------------------------------------------------------------


def owners(db, pages):
    """page -> set of table values of the "all" hits on that page."""
    result: dict[int, set] = {}
    for h in carve(db, "all"):
        if h["page"] in pages:
            result.setdefault(h["page"], set()).add(h["table"])
    return result


@pytest.mark.parametrize(
    "page_size, rows_per_page, fanout, min_depth, tag_flags",
    [(8192, 3, 2, 1, 0), (8192, 2, 2, 4, 0), (8192, 50, None, 1, 0), (4096, 1, 3, 1, 0)]
    + [(32768, 2, 2, 3, flags) for flags in range(4)],
)
def test_leaf_pages_carry_their_table(tmp_path, page_size, rows_per_page, fanout, min_depth, tag_flags):
    """On large pages the tag flags of an entry are the top 3 bits of its second byte, which is also the high
    byte of the key size: the descent must read the key size with those bits cleared."""
    options = {"key_compression": "none"} if tag_flags else {}
    builder = tables_db(
        "people",
        page_size=page_size,
        rows_per_page=rows_per_page,
        fanout=fanout,
        min_depth=min_depth,
        **options,
    )
    image = builder.build()
    layout = builder.layout.tables["people"]
    for pgno in layout.branch_pages if tag_flags else []:
        start, _ = damage.entry_position(image, page_size, pgno, 1, large=True)
        image = damage.patch(image, start + 1, bytes([image[start + 1] | tag_flags << 5]))
    db = open_image(tmp_path, image)
    hits = [h for h in carve(db, "tag_data") if h["page"] in layout.leaf_pages]
    assert sorted(h["text"] for h in hits) == [f"people row {i:04d}" for i in range(24)]
    assert {(h["table"], h["page_type"]) for h in hits} == {("people", "leaf")}
    assert all(h["table"] is None for h in carve(db, "all") if h["page_type"] != "leaf")
    assert matches_reference(db, image, ["tag_data"])


# Each case: a damage to the two-table file with its page arguments ("a-1": alpha's last leaf, "b0": beta's
# first, "aroot": alpha's root), and who owns alpha's and beta's leaves then ("a", "b", or "-" for nobody).
OWNER_CASES = {
    "intact": (None, (), "ab"),
    "shared-chain": ("set_next_page", ("a-1", "b0"), "ab"),  # alpha's walk stops at beta's object id
    "chain-into-earlier": ("set_next_page", ("b-1", "a1"), "ab"),  # each keeps its own
    "cycle-to-first": ("set_next_page", ("b-1", "b0"), "ab"),
    "cycle-to-self": ("set_next_page", ("b-1", "b-1"), "ab"),
    "cycle-to-middle": ("set_next_page", ("b-1", "b2"), "ab"),
    "descent-loop": ("set_child", ("broot", 1, "broot"), "a-"),  # and the root has no next page
    "child-outside-file": ("set_child", ("aroot", 1, 999), "-b"),
    "tag1-missing": ("set_tag_count", ("aroot", 1), "-b"),
    "branch-entry-too-short": ("set_tag", ("aroot", 1, {"size": 3}), "-b"),
    "child-zero": ("set_child", ("aroot", 1, 0), "-b"),
}


@pytest.mark.parametrize("case", OWNER_CASES)
def test_owner_of_leaf_pages(tmp_path, case):
    change, args, (alpha_owner, beta_owner) = OWNER_CASES[case]
    builder = tables_db("alpha", "beta", rows=8, rows_per_page=2)
    if case == "intact":  # a table whose root is outside the file (object id 3 sorts before alpha and beta)
        builder.add_catalog_entry(table_entry("ghost", 3, 999999))
    image = builder.build()
    a, b = builder.layout.tables["alpha"], builder.layout.tables["beta"]

    def page(arg):
        if not isinstance(arg, str):
            return arg
        table = a if arg[0] == "a" else b
        return table.root_page if arg[1:] == "root" else table.leaf_pages[int(arg[1:])]

    if change:
        options = args[-1] if isinstance(args[-1], dict) else {}
        image = getattr(damage, change)(image, PAGE, *[page(x) for x in args if x is not options], **options)
    db = open_image(tmp_path, image)
    names = {"a": "alpha", "b": "beta", "-": None}
    expected = {p: {names[alpha_owner]} for p in a.leaf_pages} | {
        p: {names[beta_owner]} for p in b.leaf_pages
    }
    assert owners(db, set(a.leaf_pages + b.leaf_pages)) == expected
    assert matches_reference(db, image, ["all"])


def test_orphan_leaf_and_non_utf8_table_name(tmp_path):
    builder = tables_db("people", rows=6)
    builder.add_raw_page(bytes(leaf_page([b"", utf16("orphaned row")])))
    image = builder.build().replace(b"people", b"pe\xff\xfele")  # the catalog keeps names as raw bytes
    db = open_image(tmp_path, image)
    orphan = builder.layout.raw_pages[0]
    assert on_page(db, orphan, "tag_data", "text page_type table") == [("orphaned row", "leaf", None)]
    leaf = builder.layout.tables["people"].leaf_pages[0]
    assert {h[0] for h in on_page(db, leaf, "tag_data", "table")} == {"pe\udcff\udcfele"}


# --- whole files against the reference --------------------------------------------------------------------


def random_page(rng: random.Random, size: int) -> bytes:
    """Random bytes biased towards text: runs of printable units, NUL units, odd shifts and noise. The header
    gets random flags and a modest tag count, so the random tag array yields a mix of usable, overlapping,
    empty and out-of-page tags."""
    out = bytearray()
    while len(out) < size:
        choice = rng.random()
        if choice < 0.35:
            n = rng.choice([1, 2, 3, 5, 6, 7, 12, 40, 70, 130])
            out += "".join(rng.choice("abAB xyz~ 019") for _ in range(n)).encode("utf-16-le")
        elif choice < 0.5:
            out += b"\x00" * rng.choice([1, 2, 3, 8])
        elif choice < 0.6:
            out += bytes([rng.choice([0x1F, 0x20, 0x7E, 0x7F, 0x41]), rng.choice([0, 0, 0, 1, 0xFF])])
        else:
            out += rng.randbytes(rng.choice([1, 2, 7, 33]))
    # available_data_size (caps the tag count of large pages), tag count and flags
    header = [rng.randrange(0, size // 2), rng.choice([0, 1, 3, 17, 60])]
    header.append(rng.choice([0, LEAF, LONG_VALUE, SPACE_TREE | LEAF, INDEX, rng.getrandbits(32)]))
    struct.pack_into("<HxxxxHI", out, 28, *header)
    return bytes(out[:size])


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("page_size", [4096, 32768])
def test_random_pages_match_the_unit_by_unit_scan(tmp_path, seed, page_size):
    rng = random.Random(seed * 1000 + page_size)
    pages = [random_page(rng, page_size) for _ in range(6)]
    db, numbers, image = raw_page_db(tmp_path, pages, page_size=page_size)
    for min_chars, needle in [(2, None), (3, "a"), (6, None), (6, "ab"), (1, "~"), (200, None)]:
        assert matches_reference(db, image, needle=needle, min_chars=min_chars), (min_chars, needle)
    roots = registry_roots(db)
    for scope in ("slack", "all", "tag_data"):  # the limit only cuts the ordered list of hits short
        every = reference_carve(image, roots, scope, None, 2)
        assert scope != "all" or len(every) > 50
        for max_hits in (1, 7, 50):
            assert db.carve_utf16le_strings_scoped(scope, min_chars=2, max_hits=max_hits) == every[:max_hits]


def test_real_sample(sample):
    db = pagewright.EseDatabase(sample("SRUDB.dat"))
    image = Path(sample("SRUDB.dat")).read_bytes()
    for needle, min_chars in [(None, 6), (None, 2), ("4.0", 4)]:
        assert matches_reference(db, image, needle=needle, min_chars=min_chars), (needle, min_chars)
    # strings left on pages 143-157
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
    needle_hits = carve(db, "all", needle="4.0.15713.0#")
    assert {h["page"] for h in needle_hits} >= set(range(143, 158))
    assert all("4.0.15713.0#" in h["text"] for h in needle_hits)
    hits = carve(db, "tag_data")
    assert all(h["table"] is None for h in hits if h["page_type"] != "leaf")
    id_map = [h["text"] for h in hits if h["table"] == "SruDbIdMapTable"]
    assert any(text.startswith("6cb9f58e-0000-0000-") for text in id_map)


# --- the Python methods -----------------------------------------------------------------------------------


@pytest.fixture
def small_db(tmp_path):
    builder = tables_db("people", rows=9)
    builder.add_raw_page(bytes_at({3000: utf16("slack words here"), 3100: utf16("more slack words")}))
    return open_image(tmp_path, builder.build())


def test_hit_dicts_have_the_nine_keys_in_order(small_db):
    for scope in ("slack", "all", "tag_data"):
        hits = carve(small_db, scope)
        assert hits
        for h in hits:
            assert list(h) == HIT_KEYS
            assert [type(h[k]) for k in HIT_KEYS if k != "table"] == [int, int, int, int, str, int, str, str]
            assert h["table"] is None or isinstance(h["table"], str)
            assert h["slack_start"] <= h["offset"] < h["offset"] + 2 * len(h["text"]) <= h["slack_end"]


UNSCOPED = [{}, {"needle": "slack"}, {"needle": "x y"}, {"min_chars": 3}, {"needle": "", "max_hits": 0}]


@pytest.mark.parametrize("kwargs", UNSCOPED)
def test_unscoped_method_equals_scope_slack(small_db, kwargs):
    assert small_db.carve_utf16le_strings(**kwargs) == small_db.carve_utf16le_strings_scoped(
        "slack", **kwargs
    )
    texts = [h["text"] for h in small_db.carve_utf16le_strings(needle=None)]
    assert texts == ["slack words here", "more slack words"]


def test_positional_and_keyword_arguments_agree(small_db):
    by_keyword = small_db.carve_utf16le_strings_scoped(scope="all", needle="people", min_chars=4, max_hits=5)
    assert small_db.carve_utf16le_strings_scoped("all", "people", 4, 5) == by_keyword
    assert len(by_keyword) == 5 and all("people" in h["text"] for h in by_keyword)
    by_position = small_db.carve_utf16le_strings("slack", 4, 5)
    assert by_position == small_db.carve_utf16le_strings(needle="slack", min_chars=4, max_hits=5) != []


def test_defaults_are_min_6_and_1000_hits(tmp_path):
    six = [bytes_at({100 + 16 * i: utf16("abcdef") for i in range(500)}) for _ in range(3)]
    five = bytes_at({100 + 12 * i: utf16("abcde") for i in range(600)})  # below the default minimum
    db, numbers, _ = raw_page_db(tmp_path, [five] + six)
    assert len(db.carve_utf16le_strings_scoped("all")) == len(db.carve_utf16le_strings()) == 1000
    assert [h["text"] for h in carve(db, "all") if h["page"] in numbers] == ["abcdef"] * 1500
    assert len([h for h in carve(db, "all", min_chars=5) if h["page"] in numbers]) == 2100


EXPECTED = "(expected: slack, all, tag_data, lv_all, lv_slack)"


@pytest.mark.parametrize(
    "method, args, kwargs, exc, fragment",
    [
        ("scoped", ("Slack",), {}, ValueError, "Invalid scope: Slack " + EXPECTED),
        ("scoped", (" all",), {}, ValueError, "Invalid scope:  all " + EXPECTED),
        ("scoped", ("",), {}, ValueError, "Invalid scope:  (expected"),
        ("scoped", (b"all",), {}, TypeError, "scope"),
        ("scoped", (None,), {}, TypeError, "scope"),
        ("scoped", ("all",), {"needle": b"x"}, TypeError, "needle"),
        ("scoped", ("all",), {"min_chars": None}, TypeError, "min_chars"),
        ("scoped", ("all",), {"min_chars": 6.0}, TypeError, "min_chars"),
        ("scoped", ("all",), {"max_hits": None}, TypeError, "max_hits"),
        ("scoped", ("all",), {"min_chars": -1}, OverflowError, ""),
        ("scoped", ("all",), {"max_hits": -1}, OverflowError, ""),
        ("scoped", ("all",), {"max_hits": 2**64}, OverflowError, ""),
        ("plain", (), {"min_chars": -1}, OverflowError, ""),
        ("plain", (), {"max_hits": []}, TypeError, "max_hits"),
        ("scoped", (), {}, TypeError, "scope"),
        ("scoped", ("all",), {"bogus": 1}, TypeError, "bogus"),
        ("plain", ("slack", 6, 10, 1), {}, TypeError, "at most"),
        # converted before the scope is checked: the wrongly typed argument is reported first
        ("scoped", ("nope",), {"min_chars": None}, TypeError, "min_chars"),
        ("scoped", ("nope",), {"max_hits": -1}, OverflowError, ""),
        ("scoped", (7,), {"min_chars": None}, TypeError, "scope"),
        ("scoped", ("all",), {"needle": 1, "min_chars": None}, TypeError, "needle"),
    ],
)
def test_argument_errors(small_db, method, args, kwargs, exc, fragment):
    call = small_db.carve_utf16le_strings_scoped if method == "scoped" else small_db.carve_utf16le_strings
    with pytest.raises(exc) as info:
        call(*args, **kwargs)
    assert type(info.value) is exc and fragment in str(info.value)


class Index:
    def __index__(self):
        return 3


@pytest.mark.parametrize(
    "min_chars, max_hits", [(Index(), True), (Index(), 7), (3, 2**64 - 1), (2**64 - 1, 7)]
)
def test_index_integers_and_large_limits_are_accepted(small_db, min_chars, max_hits):
    got = small_db.carve_utf16le_strings_scoped("all", min_chars=min_chars, max_hits=max_hits)
    limit = int(max_hits)
    assert got == (carve(small_db, "all", min_chars=3)[:limit] if min_chars != 2**64 - 1 else [])
