"""UTF-16LE string carving: the range scan, the page regions of each scope, the owning table of leaf pages,
and the two Python methods.

The oracle for whole-file comparisons is `reference_carve` below: the carving rules written out plainly in
Python (a unit-by-unit scan, the page regions computed from the raw page bytes, and the owner search walking
every table's tree again for every leaf page), sharing no code and no shortcuts with the extension.
"""

from __future__ import annotations

import random
import struct
from pathlib import Path

import pytest
from builder import Column, DatabaseBuilder, LongValue, build_page, damage
from builder.constants import BINARY, LONG_TEXT

import pagewright

PAGE = 8192
SMALL_HEADER = 40
HIT_KEYS = [
    "page",
    "offset",
    "slack_start",
    "slack_end",
    "region_kind",
    "page_flags",
    "page_type",
    "table",
    "text",
]
SCOPES = ["slack", "all", "tag_data", "lv_all", "lv_slack"]
LEAF, SPACE_TREE, INDEX, LONG_VALUE = 0x2, 0x20, 0x40, 0x80
EVERYTHING = 10**9  # a max_hits that never stops a scan of these small files


def utf16(text: str) -> bytes:
    return text.encode("utf-16-le")


def both_parities(text: str) -> bytes:
    """Two copies of the UTF-16LE text, one byte apart: whatever the parity of the value's position in the
    record, exactly one copy lies at even positions of the page (only those can be found). The 0x01 bytes
    around them keep neighbouring record bytes from joining the string."""
    return b"\x01\x01" + utf16(text) + b"\x01" + utf16(text) + b"\x01\x01"


# ---------------------------------------------------------------------------------------------------------
# Reference carver
# ---------------------------------------------------------------------------------------------------------


def reference_range(page, data, start, end, kind, flags, page_type, table, needle, min_chars, max_hits, hits):
    """The range scan, one code unit at a time, exactly as the carving rules state it."""
    if start >= end or start + 2 > end:
        return
    pos = start
    while True:
        if len(hits) >= max_hits:
            return
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
                    {
                        "page": page,
                        "offset": pos,
                        "slack_start": start,
                        "slack_end": end,
                        "region_kind": kind,
                        "page_flags": flags,
                        "page_type": page_type,
                        "table": table,
                        "text": text,
                    }
                )
                if len(hits) >= max_hits:
                    return
            pos = p + 2
        if pos + 2 > end:
            return


class ReferenceFile:
    """Pages of a database file read straight from its bytes."""

    def __init__(self, image: bytes) -> None:
        self.image = image
        self.version = struct.unpack_from("<I", image, 8)[0]
        self.revision = struct.unpack_from("<I", image, 232)[0]
        self.page_size = struct.unpack_from("<I", image, 236)[0]
        self.total_pages = max(len(image) // self.page_size - 2, 0)
        extended = self.version > 0x620 or (self.version == 0x620 and self.revision >= 17)
        self.header_size = 80 if extended and self.page_size > 8192 else 40
        self.large = self.version == 0x620 and self.revision >= 17 and self.page_size > 8192

    def page(self, n: int) -> bytes | None:
        start = (n + 1) * self.page_size
        if start + self.page_size > len(self.image):
            return None
        return self.image[start : start + self.page_size]

    def tag_count(self, page: bytes) -> int:
        count = struct.unpack_from("<H", page, 34)[0]
        if self.page_size > 8192:
            available = struct.unpack_from("<H", page, 28)[0]
            count = min(count, max(len(page) - available, 0) // 4 & 0xFFFF)
        return count

    def tag(self, page: bytes, i: int) -> tuple[int, int] | None:
        """(size, offset) of tag i, or None when its 4 bytes are not inside the page."""
        at = len(page) - 4 * (i + 1)
        if at < 0:
            return None
        size, offset = struct.unpack_from("<HH", page, at)
        mask = 0x7FFF if self.large else 0x1FFF
        return size & mask, offset & mask

    def tag_ranges(self, page: bytes) -> list[tuple[int, int]]:
        ranges = []
        for i in range(self.tag_count(page)):
            tag = self.tag(page, i)
            if tag is None:
                continue
            start = self.header_size + tag[1]
            end = start + tag[0]
            if end > len(page) or end == start:
                continue
            ranges.append((start, end))
        return ranges

    def slack_gaps(self, page: bytes) -> list[tuple[int, int]]:
        length = len(page)
        occupied = [(0, min(self.header_size, length)), (max(length - 4 * self.tag_count(page), 0), length)]
        occupied += self.tag_ranges(page)
        occupied.sort(key=lambda r: r[0])
        merged: list[list[int]] = []
        for s, e in occupied:
            if merged and s <= merged[-1][1]:
                merged[-1][1] = max(merged[-1][1], e)
            else:
                merged.append([s, e])
        gaps, cursor = [], 0
        for s, e in merged:
            if cursor < s:
                gaps.append((cursor, s))
            cursor = max(cursor, e)
        if cursor < length:
            gaps.append((cursor, length))
        return gaps

    def branch_child(self, page: bytes) -> int | None:
        """Child page of the branch entry in tag 1, or None when it cannot be read."""
        if self.tag_count(page) < 2:
            return None
        tag = self.tag(page, 1)
        if tag is None:
            return None
        size, offset = tag
        start = self.header_size + offset
        if start + size > len(page):
            return None
        entry = bytearray(page[start : start + size])
        if self.large:
            flags = entry[1] >> 5 if len(entry) >= 2 else 0
            if len(entry) >= 2:
                entry[1] &= 0x1F
        else:
            flags = struct.unpack_from("<H", page, len(page) - 8 + 2)[0] >> 13
        key_start = 4 if flags & 0x4 else 2
        if len(entry) < key_start + 4:
            return None
        key_size = struct.unpack_from("<H", entry, key_start - 2)[0] & 0x7FFF
        p = key_start + min(key_size, len(entry) - key_start)
        if p + 4 > len(entry):
            return None
        child = struct.unpack_from("<I", entry, p)[0]
        if child == 0 or child > max(100000, self.total_pages):
            return None
        return child

    def owner(self, n: int, roots: list[tuple[str, int]]) -> str | None:
        """The owner search for leaf page n: every table's tree and leaf chain walked from its root."""
        for name, root in roots:
            p = root
            page = self.page(p)
            if page is None:
                continue
            depth = 0
            while not struct.unpack_from("<I", page, 36)[0] & LEAF and depth < 64:
                child = self.branch_child(page)
                if child is None:
                    break
                p = child
                page = self.page(p)
                depth += 1
                if page is None:
                    break
            steps = 0
            while p != 0:
                if p == n:
                    return name
                page = self.page(p)
                if page is None:
                    break
                steps += 1
                if steps > self.total_pages:
                    break
                p = struct.unpack_from("<I", page, 20)[0]
        return None


def page_type_word(flags: int) -> str:
    for bit, word in (
        (LONG_VALUE, "long_value"),
        (SPACE_TREE, "space_tree"),
        (INDEX, "index"),
        (LEAF, "leaf"),
    ):
        if flags & bit:
            return word
    return "branch"


def reference_carve(image, roots, scope, needle=None, min_chars=6, max_hits=1000):
    ref = ReferenceFile(image)
    min_chars, max_hits = max(min_chars, 2), max(max_hits, 1)
    hits: list[dict] = []
    for n in range(1, ref.total_pages + 1):
        if len(hits) >= max_hits:
            break
        page = ref.page(n)
        if page is None or len(page) < ref.header_size:
            continue
        flags = struct.unpack_from("<I", page, 36)[0]
        if scope.startswith("lv_") and not flags & LONG_VALUE:
            continue
        word = page_type_word(flags)
        table = ref.owner(n, roots) if word == "leaf" and roots else None
        if scope in ("all", "lv_all"):
            regions, kind = [(0, len(page))], "all"
        elif scope in ("slack", "lv_slack"):
            regions, kind = ref.slack_gaps(page), "slack"
        else:
            regions, kind = ref.tag_ranges(page), "tag_data"
        for start, end in regions:
            if len(hits) >= max_hits:
                break
            reference_range(n, page, start, end, kind, flags, word, table, needle, min_chars, max_hits, hits)
    return hits


def registry_roots(db: pagewright.EseDatabase) -> list[tuple[str, int]]:
    """(name, root page) of every table in registry order, from the table records of the catalog."""
    roots = {r["Name"]: r["ColtypOrPgnoFDP"] for r in db.read_table("MSysObjects") if r["Type"] == 1}
    return [(name, roots[name]) for name in db.get_tables()]


# ---------------------------------------------------------------------------------------------------------
# Files
# ---------------------------------------------------------------------------------------------------------


def open_image(tmp_path: Path, image: bytes, name: str = "carve.edb") -> pagewright.EseDatabase:
    path = tmp_path / name
    path.write_bytes(image)
    return pagewright.EseDatabase(str(path))


def raw_page_db(tmp_path: Path, pages: list[bytes], page_size: int = PAGE, **options) -> tuple:
    """A database whose last pages are the given raw pages (no tree reaches them); returns the open file,
    the page numbers of the raw pages and the file bytes."""
    builder = DatabaseBuilder(page_size=page_size, **options)
    numbers = [builder.add_raw_page(p) for p in pages]
    image = builder.build()
    db = open_image(tmp_path, image)
    return db, [builder.layout.raw_pages[i] for i in numbers], image


def bytes_at(placements: dict[int, bytes], size: int = PAGE) -> bytes:
    """A zero page with bytes placed at the given offsets."""
    page = bytearray(size)
    for offset, data in placements.items():
        page[offset : offset + len(data)] = data
    return bytes(page)


def found(hits: list[dict], page: int | None = None) -> list[tuple[int, str]]:
    return [(h["offset"], h["text"]) for h in hits if page is None or h["page"] == page]


def person(i: int) -> str:
    return f"Person number {i:04d}"


def people_db(page_size=PAGE, rows=24, rows_per_page=3, fanout=2, **table_options):
    """A database with one table whose rows hold the UTF-16LE text person(i); returns the builder."""
    builder = DatabaseBuilder(page_size=page_size)
    table = builder.add_table(
        "people",
        columns=[Column(1, "Id", 4, flags=0x1), Column(128, "Name", BINARY)],
        rows_per_page=rows_per_page,
        fanout=fanout,
        **table_options,
    )
    for i in range(rows):
        table.add_row({"Id": i, "Name": both_parities(person(i))})
    return builder


# ---------------------------------------------------------------------------------------------------------
# The range scan, through whole raw pages (scope "all": one region [0, page length))
# ---------------------------------------------------------------------------------------------------------

HELLO = utf16("Hello")


@pytest.mark.parametrize(
    "placements, min_chars, needle, expected",
    [
        pytest.param({200: HELLO}, 5, None, [(200, "Hello")], id="five-letters-min-5"),
        pytest.param({200: HELLO}, 6, None, [], id="five-letters-min-6"),
        pytest.param({201: HELLO}, 2, None, [], id="odd-position-never-found"),
        pytest.param(
            {200: HELLO + b"\0\0" + utf16("World")}, 5, None, [(200, "Hello"), (212, "World")], id="nul-split"
        ),
        pytest.param(
            {200: utf16("Caf\u00e9Latte")}, 3, None, [(200, "Caf"), (208, "Latte")], id="non-ascii-split"
        ),
        pytest.param(
            {200: utf16("ab\x7fcdefg")}, 2, None, [(200, "ab"), (206, "cdefg")], id="0x7f-ends-a-run"
        ),
        pytest.param(
            {200: utf16("ab\x1fcdefg")}, 2, None, [(200, "ab"), (206, "cdefg")], id="control-ends-a-run"
        ),
        pytest.param({200: utf16(" ~ ~")}, 4, None, [(200, " ~ ~")], id="space-and-tilde-are-text"),
        pytest.param({200: HELLO}, 5, "ell", [(200, "Hello")], id="needle-kept"),
        pytest.param({200: HELLO}, 5, "ELL", [], id="needle-is-case-sensitive"),
        pytest.param({200: HELLO}, 5, "", [(200, "Hello")], id="empty-needle-keeps-all"),
        pytest.param({200: HELLO}, 5, "Hello!", [], id="needle-longer-than-text"),
        pytest.param({200: HELLO}, 5, "h\u00e9", [], id="non-ascii-needle"),
        pytest.param({200: HELLO, 300: utf16("World")}, 5, "orl", [(300, "World")], id="needle-filters-runs"),
        pytest.param(
            {200: utf16("abc") + b"\x01\x00" + utf16("defghij")},
            4,
            None,
            [(208, "defghij")],
            id="short-run-skipped",
        ),
        pytest.param({PAGE - 10: HELLO}, 5, None, [(PAGE - 10, "Hello")], id="ends-at-page-end"),
        pytest.param({200: utf16("A" * 300)}, 6, None, [(200, "A" * 300)], id="run-spanning-many-windows"),
        pytest.param(
            {200: utf16("B" * 64) + b"\0\0" + utf16("C" * 63)},
            6,
            None,
            [(200, "B" * 64), (330, "C" * 63)],
            id="window-boundaries",
        ),
        pytest.param({0: utf16("head text")}, 6, None, [(0, "head text")], id="string-in-the-header"),
    ],
)
def test_range_scan_on_a_whole_page(tmp_path, placements, min_chars, needle, expected):
    db, (pgno,), _ = raw_page_db(tmp_path, [bytes_at(placements)])
    hits = db.carve_utf16le_strings_scoped("all", needle=needle, min_chars=min_chars, max_hits=EVERYTHING)
    assert found(hits, pgno) == expected
    for h in hits:
        if h["page"] == pgno:
            assert (h["slack_start"], h["slack_end"], h["region_kind"]) == (0, PAGE, "all")


@pytest.mark.parametrize("min_chars", [0, 1, 2])
def test_min_chars_below_two_acts_as_two(tmp_path, min_chars):
    page = bytes_at({100: utf16("A"), 104: utf16("B"), 200: utf16("OK"), 300: utf16("x")})
    db, (pgno,), _ = raw_page_db(tmp_path, [page])
    hits = db.carve_utf16le_strings_scoped("all", min_chars=min_chars, max_hits=EVERYTHING)
    assert found(hits, pgno) == [(200, "OK")]


@pytest.mark.parametrize(
    "max_hits, expected_count",
    [(0, 1), (1, 1), (3, 3), (5, 5), (100, 5)],
)
def test_max_hits_limits_the_total(tmp_path, max_hits, expected_count):
    words = {100 + 40 * i: utf16(f"word{i}x") for i in range(5)}
    db, (pgno,), _ = raw_page_db(tmp_path, [bytes_at(words)])
    hits = db.carve_utf16le_strings_scoped("all", min_chars=5, max_hits=max_hits)
    assert len(hits) == expected_count
    assert found(hits) == [(100 + 40 * i, f"word{i}x") for i in range(expected_count)]


def test_max_hits_stops_in_the_middle_of_a_page_and_across_pages(tmp_path):
    pages = [
        bytes_at({100: utf16("first page one"), 300: utf16("first page two")}),
        bytes_at({100: utf16("second page")}),
    ]
    db, numbers, _ = raw_page_db(tmp_path, pages)
    all_hits = db.carve_utf16le_strings_scoped("all", max_hits=EVERYTHING)
    assert [(h["page"], h["text"]) for h in all_hits] == [
        (numbers[0], "first page one"),
        (numbers[0], "first page two"),
        (numbers[1], "second page"),
    ]
    for limit in range(1, 4):
        assert db.carve_utf16le_strings_scoped("all", max_hits=limit) == all_hits[:limit]


# ---------------------------------------------------------------------------------------------------------
# Regions of a page
# ---------------------------------------------------------------------------------------------------------


def test_slack_tag_data_and_all_see_their_own_regions(tmp_path):
    """One page with two records and a string in the free space between the data area and the tag array."""
    records = [
        (0, b"\x00" * 16),
        (0, b"\x01\x02" + utf16("record text") + b"\x03"),
        (0, b"\x05" + utf16("odd record")),
    ]
    page = bytearray(build_page(PAGE, False, LEAF, records, pgno=0, checksum=False))
    data_end = SMALL_HEADER + sum(len(d) for _, d in records)  # records are stored back to back
    free_text_at = 1000
    page[free_text_at : free_text_at + 22] = utf16("free space!")
    header_text = utf16("hdr")  # the page header is not slack either
    page[24:30] = header_text
    db, (pgno,), _ = raw_page_db(tmp_path, [bytes(page)])

    slack = [
        h
        for h in db.carve_utf16le_strings_scoped("slack", min_chars=3, max_hits=EVERYTHING)
        if h["page"] == pgno
    ]
    assert [(h["offset"], h["text"], h["slack_start"], h["slack_end"], h["region_kind"]) for h in slack] == [
        (free_text_at, "free space!", data_end, PAGE - 4 * len(records), "slack")
    ]

    tag_data = [
        h
        for h in db.carve_utf16le_strings_scoped("tag_data", min_chars=3, max_hits=EVERYTHING)
        if h["page"] == pgno
    ]
    record_start = SMALL_HEADER + 16
    second_start = record_start + len(records[1][1])
    assert [
        (h["offset"], h["text"], h["slack_start"], h["slack_end"], h["region_kind"]) for h in tag_data
    ] == [
        (record_start + 2, "record text", record_start, second_start, "tag_data"),
        # the second record starts at an odd position: its text lies at even positions again
        (second_start + 1, "odd record", second_start, second_start + len(records[2][1]), "tag_data"),
    ]

    whole = found(
        [
            h
            for h in db.carve_utf16le_strings_scoped("all", min_chars=3, max_hits=EVERYTHING)
            if h["page"] == pgno
        ]
    )
    assert whole == [
        (24, "hdr"),
        (record_start + 2, "record text"),
        (second_start + 1, "odd record"),
        (free_text_at, "free space!"),
    ]


def test_slack_gap_with_odd_start_reads_from_the_next_even_position(tmp_path):
    records = [(0, b"\x00" * 5)]  # data [40, 45): the gap starts at 45
    page = bytearray(build_page(PAGE, False, LEAF, records, pgno=0, checksum=False))
    page[46:58] = utf16("gap at 46")[:12]
    db, (pgno,), _ = raw_page_db(tmp_path, [bytes(page)])
    hits = [
        h
        for h in db.carve_utf16le_strings_scoped("slack", min_chars=3, max_hits=EVERYTHING)
        if h["page"] == pgno
    ]
    assert [(h["offset"], h["text"], h["slack_start"]) for h in hits] == [(46, "gap at", 45)]


def test_string_crossing_region_ends_is_cut(tmp_path):
    """Strings running from a tag's data into the slack, and from the slack into a tag's data."""
    page = bytearray(
        build_page(PAGE, False, LEAF, [(0, b"\x00" * 8), (0, b"\x00" * 20)], pgno=0, checksum=False)
    )
    struct.pack_into("<HH", page, PAGE - 8, 20, 1000)  # move tag 1's data to [1040, 1060)
    page[44 : 44 + 16] = utf16("QRSTUVWX")  # tag 0 is [40, 48): it holds "QR"
    page[1020 : 1020 + 32] = utf16("abcdefghijklmnop")  # [1020, 1052): "klmnop" lies in tag 1
    db, (pgno,), _ = raw_page_db(tmp_path, [bytes(page)])

    def on_page(scope):
        return [
            (h["offset"], h["text"], h["slack_start"], h["slack_end"])
            for h in db.carve_utf16le_strings_scoped(scope, min_chars=2, max_hits=EVERYTHING)
            if h["page"] == pgno
        ]

    assert on_page("slack") == [(48, "STUVWX", 48, 1040), (1020, "abcdefghij", 48, 1040)]
    assert on_page("tag_data") == [(44, "QR", 40, 48), (1040, "klmnop", 1040, 1060)]
    assert on_page("all") == [(44, "QRSTUVWX", 0, PAGE), (1020, "abcdefghijklmnop", 0, PAGE)]


@pytest.mark.parametrize("page_size", [8192, 32768])
def test_damaged_tag_count_is_scanned_without_failure(tmp_path, page_size):
    builder = people_db(page_size=page_size, rows=6)
    builder.add_raw_page(bytes_at({3000: utf16("left over text")}, page_size))
    image = builder.build()
    leaf = builder.layout.tables["people"].leaf_pages[0]
    raw = builder.layout.raw_pages[0]
    for pgno in (leaf, raw):
        image = damage.set_tag_count(image, page_size, pgno, 0xFFFF)
        if page_size > 8192:  # the tag count is capped by available_data_size on large pages: leave no room
            image = damage.set_page_field(image, page_size, pgno, "available", 0)
    db = open_image(tmp_path, image)
    for scope in SCOPES:
        hits = db.carve_utf16le_strings_scoped(scope, max_hits=EVERYTHING)
        assert hits == reference_carve(image, registry_roots(db), scope, max_hits=EVERYTHING)
    slack_pages = {h["page"] for h in db.carve_utf16le_strings_scoped("slack", max_hits=EVERYTHING)}
    assert leaf not in slack_pages and raw not in slack_pages  # the tag array covers the whole page
    all_hits = db.carve_utf16le_strings_scoped("all", max_hits=EVERYTHING)
    assert (raw, 3000, "left over text") in [(h["page"], h["offset"], h["text"]) for h in all_hits]


def test_page_fully_covered_by_tags_has_no_slack(tmp_path):
    data_room = PAGE - SMALL_HEADER - 4 * 2
    records = [(0, b"\x00" * 100), (0, utf16("x" * ((data_room - 100) // 2)))]
    page = build_page(PAGE, False, LEAF, records, pgno=0, checksum=False)
    db, (pgno,), _ = raw_page_db(tmp_path, [page])
    assert [
        h for h in db.carve_utf16le_strings_scoped("slack", max_hits=EVERYTHING) if h["page"] == pgno
    ] == []
    tag_hits = [
        h for h in db.carve_utf16le_strings_scoped("tag_data", max_hits=EVERYTHING) if h["page"] == pgno
    ]
    assert [len(h["text"]) for h in tag_hits] == [(data_room - 100) // 2]


def test_overlapping_tags_report_a_string_once_per_tag(tmp_path):
    page = bytearray(
        build_page(PAGE, False, LEAF, [(0, b"\x00" * 40), (0, b"\x00" * 40)], pgno=0, checksum=False)
    )
    page[SMALL_HEADER + 4 : SMALL_HEADER + 4 + 20] = utf16("shared str")
    struct.pack_into("<HH", page, PAGE - 8, 40, 0)  # tag 1 now covers the same bytes as tag 0
    db, (pgno,), _ = raw_page_db(tmp_path, [bytes(page)])
    hits = [h for h in db.carve_utf16le_strings_scoped("tag_data", max_hits=EVERYTHING) if h["page"] == pgno]
    assert [(h["offset"], h["text"]) for h in hits] == [(44, "shared str"), (44, "shared str")]


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
    page = build_page(PAGE, False, flags, [(0, b""), (0, utf16("typed page"))], pgno=0, checksum=False)
    db, (pgno,), _ = raw_page_db(tmp_path, [page])
    hits = [h for h in db.carve_utf16le_strings_scoped("all", max_hits=EVERYTHING) if h["page"] == pgno]
    assert [(h["text"], h["page_type"], h["page_flags"], h["table"]) for h in hits] == [
        ("typed page", word, flags, None)
    ]


def test_long_value_scopes_only_see_long_value_pages(tmp_path):
    builder = DatabaseBuilder(page_size=PAGE)
    table = builder.add_table(
        "docs",
        columns=[Column(1, "Id", 4, flags=0x1), Column(256, "Body", LONG_TEXT, codepage=1200)],
        lv_tree="always",
    )
    for i in range(3):
        table.add_row({"Id": i, "Body": LongValue(f"long value body {i} " * 120)})
    lv_page = bytearray(build_page(PAGE, False, LONG_VALUE | LEAF, [(0, b"")], pgno=0, checksum=False))
    lv_page[5000:5026] = utf16("lv slack text")
    builder.add_raw_page(bytes(lv_page))
    image = builder.build()
    db = open_image(tmp_path, image)
    lv_pages = set(builder.layout.tables["docs"].lv_leaf_pages) | {builder.layout.raw_pages[0]}

    lv_all = db.carve_utf16le_strings_scoped("lv_all", max_hits=EVERYTHING)
    assert lv_all and {h["page"] for h in lv_all} == lv_pages
    assert {(h["page_type"], h["table"], h["region_kind"]) for h in lv_all} == {("long_value", None, "all")}
    assert any(h["text"].startswith("long value body 2") for h in lv_all)

    lv_slack = db.carve_utf16le_strings_scoped("lv_slack", max_hits=EVERYTHING)
    assert [(h["page"], h["offset"], h["text"], h["region_kind"], h["table"]) for h in lv_slack] == [
        (builder.layout.raw_pages[0], 5000, "lv slack text", "slack", None)
    ]
    # the same strings are found on those pages by the unrestricted scopes
    all_on_lv = [
        h for h in db.carve_utf16le_strings_scoped("all", max_hits=EVERYTHING) if h["page"] in lv_pages
    ]
    assert found(all_on_lv) == found(lv_all)


def test_long_value_scopes_on_a_file_without_long_values(tmp_path):
    db, _, _ = raw_page_db(tmp_path, [bytes_at({100: utf16("not a long value")})])
    assert db.carve_utf16le_strings_scoped("lv_all") == []
    assert db.carve_utf16le_strings_scoped("lv_slack") == []


# ---------------------------------------------------------------------------------------------------------
# Owning table of leaf pages
# ---------------------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "page_size, rows_per_page, fanout, min_depth",
    [(8192, 3, 2, 1), (8192, 2, 2, 4), (8192, 50, None, 1), (32768, 2, 2, 3), (4096, 1, 3, 1)],
    ids=["depth-3", "depth-4", "single-leaf", "large-pages-depth-3", "4k-pages"],
)
def test_leaf_pages_carry_their_table(tmp_path, page_size, rows_per_page, fanout, min_depth):
    builder = people_db(
        page_size=page_size, rows=24, rows_per_page=rows_per_page, fanout=fanout, min_depth=min_depth
    )
    image = builder.build()
    db = open_image(tmp_path, image)
    layout = builder.layout.tables["people"]
    hits = db.carve_utf16le_strings_scoped("tag_data", max_hits=EVERYTHING)
    on_leaves = [h for h in hits if h["page"] in layout.leaf_pages]
    assert sorted(h["text"] for h in on_leaves) == [person(i) for i in range(24)]
    assert {(h["table"], h["page_type"]) for h in on_leaves} == {("people", "leaf")}
    assert all(
        h["table"] is None
        for h in db.carve_utf16le_strings_scoped("all", max_hits=EVERYTHING)
        if h["page_type"] != "leaf"
    )
    assert hits == reference_carve(image, registry_roots(db), "tag_data", max_hits=EVERYTHING)


@pytest.mark.parametrize("tag_flags", [0x1, 0x2, 0x3])
def test_large_page_branch_entries_keep_tag_flags_in_their_second_byte(tmp_path, tag_flags):
    """On large pages the tag flags of an entry are the top 3 bits of its second byte, which is also the high
    byte of the key size: the descent must read the key size with those bits cleared."""
    builder = people_db(
        page_size=32768, rows=24, rows_per_page=2, fanout=2, min_depth=3, key_compression="none"
    )
    image = builder.build()
    layout = builder.layout.tables["people"]
    for pgno in layout.branch_pages:
        start, _ = damage.entry_position(image, 32768, pgno, 1, large=True)
        image = damage.patch(image, start + 1, bytes([image[start + 1] | tag_flags << 5]))
    db = open_image(tmp_path, image)
    assert owners(db, set(layout.leaf_pages)) == {p: {"people"} for p in layout.leaf_pages}
    assert db.carve_utf16le_strings_scoped("tag_data", max_hits=EVERYTHING) == reference_carve(
        image, registry_roots(db), "tag_data", max_hits=EVERYTHING
    )


def two_tables(page_size=PAGE, **options):
    builder = DatabaseBuilder(page_size=page_size)
    for name in ("alpha", "beta"):
        table = builder.add_table(
            name,
            columns=[Column(1, "Id", 4, flags=0x1), Column(128, "Name", BINARY)],
            rows_per_page=2,
            fanout=2,
            **options,
        )
        for i in range(8):
            table.add_row({"Id": i, "Name": both_parities(f"{name} row {i}")})
    return builder


def owners(db, pages):
    """page -> set of table values of the "all" hits on that page."""
    result: dict[int, set] = {}
    for h in db.carve_utf16le_strings_scoped("all", max_hits=EVERYTHING):
        if h["page"] in pages:
            result.setdefault(h["page"], set()).add(h["table"])
    return result


def test_two_tables_each_own_their_leaves(tmp_path):
    builder = two_tables()
    db = open_image(tmp_path, builder.build())
    for name in ("alpha", "beta"):
        leaves = builder.layout.tables[name].leaf_pages
        assert owners(db, set(leaves)) == {p: {name} for p in leaves}


def test_first_table_in_registry_order_wins_a_shared_chain(tmp_path):
    """alpha's last leaf is linked to beta's first leaf: alpha's walk reaches beta's leaves first."""
    builder = two_tables()
    image = builder.build()
    alpha, beta = builder.layout.tables["alpha"].leaf_pages, builder.layout.tables["beta"].leaf_pages
    image = damage.set_next_page(image, PAGE, alpha[-1], beta[0])
    db = open_image(tmp_path, image)
    assert owners(db, set(alpha + beta)) == {p: {"alpha"} for p in alpha + beta}
    assert db.carve_utf16le_strings_scoped("all", max_hits=EVERYTHING) == reference_carve(
        image, registry_roots(db), "all", max_hits=EVERYTHING
    )


def test_later_table_keeps_pages_the_earlier_chain_misses(tmp_path):
    """beta's last leaf is linked back into alpha's chain: alpha keeps its leaves, beta keeps its own."""
    builder = two_tables()
    image = builder.build()
    alpha, beta = builder.layout.tables["alpha"].leaf_pages, builder.layout.tables["beta"].leaf_pages
    image = damage.set_next_page(image, PAGE, beta[-1], alpha[1])
    db = open_image(tmp_path, image)
    expected = {p: {"alpha"} for p in alpha} | {p: {"beta"} for p in beta}
    assert owners(db, set(alpha + beta)) == expected


@pytest.mark.parametrize("target", ["first", "self", "middle"])
def test_leaf_chain_cycles_end(tmp_path, target):
    builder = two_tables()
    image = builder.build()
    beta = builder.layout.tables["beta"].leaf_pages
    back_to = {"first": beta[0], "self": beta[-1], "middle": beta[len(beta) // 2]}[target]
    image = damage.set_next_page(image, PAGE, beta[-1], back_to)
    db = open_image(tmp_path, image)
    assert owners(db, set(beta)) == {p: {"beta"} for p in beta}
    assert db.carve_utf16le_strings_scoped("all", max_hits=EVERYTHING) == reference_carve(
        image, registry_roots(db), "all", max_hits=EVERYTHING
    )


def test_descent_loop_ends_and_the_table_keeps_no_leaves(tmp_path):
    """The root's tag 1 points back at the root: the descent stops there and the root has no next page."""
    builder = two_tables()
    image = builder.build()
    beta = builder.layout.tables["beta"]
    image = damage.set_child(image, PAGE, beta.root_page, 1, beta.root_page)
    db = open_image(tmp_path, image)
    assert owners(db, set(beta.leaf_pages)) == {p: {None} for p in beta.leaf_pages}
    alpha = builder.layout.tables["alpha"].leaf_pages
    assert owners(db, set(alpha)) == {p: {"alpha"} for p in alpha}


@pytest.mark.parametrize(
    "damage_kind",
    ["child-outside-file", "tag1-missing", "branch-entry-too-short", "child-zero"],
)
def test_unreadable_trees_are_passed_over(tmp_path, damage_kind):
    builder = two_tables()
    image = builder.build()
    alpha = builder.layout.tables["alpha"]
    total = builder.layout.total_pages
    if damage_kind == "child-outside-file":
        image = damage.set_child(image, PAGE, alpha.root_page, 1, total + 50)
    elif damage_kind == "tag1-missing":
        image = damage.set_tag_count(image, PAGE, alpha.root_page, 1)
    elif damage_kind == "branch-entry-too-short":
        image = damage.set_tag(image, PAGE, alpha.root_page, 1, size=3)
    elif damage_kind == "child-zero":
        image = damage.set_child(image, PAGE, alpha.root_page, 1, 0)
    db = open_image(tmp_path, image)
    roots = registry_roots(db)
    assert db.carve_utf16le_strings_scoped("all", max_hits=EVERYTHING) == reference_carve(
        image, roots, "all", max_hits=EVERYTHING
    )
    beta = builder.layout.tables["beta"].leaf_pages
    assert owners(db, set(beta)) == {p: {"beta"} for p in beta}


def test_table_whose_root_is_outside_the_file(tmp_path):
    from builder import table_entry

    builder = two_tables()
    builder.add_catalog_entry(table_entry("ghost", 3, 999999))  # object id 3 sorts before alpha and beta
    image = builder.build()
    db = open_image(tmp_path, image)
    assert "ghost" in db.get_tables()
    for name in ("alpha", "beta"):
        leaves = builder.layout.tables[name].leaf_pages
        assert owners(db, set(leaves)) == {p: {name} for p in leaves}
    assert db.carve_utf16le_strings_scoped("all", max_hits=EVERYTHING) == reference_carve(
        image, registry_roots(db), "all", max_hits=EVERYTHING
    )


def test_orphan_leaf_page_has_no_table(tmp_path):
    builder = people_db(rows=6)
    builder.add_raw_page(
        build_page(PAGE, False, LEAF, [(0, b""), (0, utf16("orphaned row"))], pgno=0, checksum=False)
    )
    image = builder.build()
    db = open_image(tmp_path, image)
    orphan = builder.layout.raw_pages[0]
    hits = [
        h for h in db.carve_utf16le_strings_scoped("tag_data", max_hits=EVERYTHING) if h["page"] == orphan
    ]
    assert [(h["text"], h["page_type"], h["table"]) for h in hits] == [("orphaned row", "leaf", None)]


def test_non_utf8_table_name_is_decoded_with_replacement(tmp_path):
    builder = DatabaseBuilder(page_size=PAGE)
    table = builder.add_table(
        "caf\u00e9", columns=[Column(1, "Id", 4, flags=0x1), Column(128, "Name", BINARY)]
    )
    table.add_row({"Id": 1, "Name": both_parities("named row")})
    image = builder.build()
    name_bytes = "caf\u00e9".encode()
    image = image.replace(name_bytes, b"caf\xff\xfe")  # the catalog keeps names as raw bytes
    db = open_image(tmp_path, image)
    hits = [
        h
        for h in db.carve_utf16le_strings_scoped("tag_data", max_hits=EVERYTHING)
        if h["text"] == "named row"
    ]
    assert [h["table"] for h in hits] == ["caf\ufffd\ufffd"]


# ---------------------------------------------------------------------------------------------------------
# Whole files against the reference
# ---------------------------------------------------------------------------------------------------------


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
    del out[size:]
    struct.pack_into("<H", out, 28, rng.randrange(0, size // 2))  # available_data_size (caps large pages)
    struct.pack_into("<H", out, 34, rng.choice([0, 1, 3, 17, 60]))
    struct.pack_into(
        "<I", out, 36, rng.choice([0, LEAF, LONG_VALUE, SPACE_TREE | LEAF, INDEX, rng.getrandbits(32)])
    )
    return bytes(out)


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("page_size", [4096, 32768])
def test_random_pages_match_the_unit_by_unit_scan(tmp_path, seed, page_size):
    rng = random.Random(seed * 1000 + page_size)
    pages = [random_page(rng, page_size) for _ in range(6)]
    db, numbers, image = raw_page_db(tmp_path, pages, page_size=page_size)
    roots = registry_roots(db)
    for min_chars, needle in [(2, None), (3, "a"), (6, None), (6, "ab"), (1, "~"), (200, None)]:
        for scope in SCOPES:
            got = db.carve_utf16le_strings_scoped(
                scope, needle=needle, min_chars=min_chars, max_hits=EVERYTHING
            )
            assert got == reference_carve(image, roots, scope, needle, min_chars, EVERYTHING), (
                scope,
                min_chars,
                needle,
            )
    # and each random page scanned whole equals the scan of its bytes
    hits = db.carve_utf16le_strings_scoped("all", min_chars=3, max_hits=EVERYTHING)
    for pgno, page in zip(numbers, pages, strict=True):
        expected: list[dict] = []
        reference_range(pgno, page, 0, page_size, "all", 0, "", None, None, 3, EVERYTHING, expected)
        assert found(hits, pgno) == [(h["offset"], h["text"]) for h in expected]


@pytest.mark.parametrize("max_hits", [1, 7, 50])
def test_random_pages_stop_at_the_same_hit(tmp_path, max_hits):
    """The limit only cuts the ordered list of hits short, wherever it falls (mid-region, mid-page)."""
    rng = random.Random(max_hits)
    pages = [random_page(rng, PAGE) for _ in range(4)]
    db, _, image = raw_page_db(tmp_path, pages)
    roots = registry_roots(db)
    for scope in ("slack", "all", "tag_data"):
        every = reference_carve(image, roots, scope, None, 2, EVERYTHING)
        assert scope != "all" or len(every) > max_hits
        got = db.carve_utf16le_strings_scoped(scope, min_chars=2, max_hits=max_hits)
        assert got == every[:max_hits]
        assert got == reference_carve(image, roots, scope, None, 2, max_hits)


def test_built_table_files_match_the_reference(tmp_path):
    builder = two_tables()
    table = builder.add_table(
        "docs",
        columns=[Column(1, "Id", 4, flags=0x1), Column(256, "Body", LONG_TEXT, codepage=1200)],
        lv_tree="always",
    )
    for i in range(4):
        table.add_row({"Id": i, "Body": LongValue(f"document {i} " * 300)})
    rng = random.Random(7)
    builder.add_raw_page(random_page(rng, PAGE))
    image = builder.build()
    db = open_image(tmp_path, image)
    roots = registry_roots(db)
    for scope in SCOPES:
        for needle in (None, "row", "ment 3"):
            got = db.carve_utf16le_strings_scoped(scope, needle=needle, min_chars=4, max_hits=EVERYTHING)
            assert got == reference_carve(image, roots, scope, needle, 4, EVERYTHING)


@pytest.mark.parametrize("scope", SCOPES)
def test_real_sample_matches_the_reference(sample, scope):
    path = sample("SRUDB.dat")
    db = pagewright.EseDatabase(path)
    image = Path(path).read_bytes()
    roots = registry_roots(db)
    for needle, min_chars in [(None, 6), (None, 2), ("4.0", 4)]:
        got = db.carve_utf16le_strings_scoped(scope, needle=needle, min_chars=min_chars, max_hits=EVERYTHING)
        assert got == reference_carve(image, roots, scope, needle, min_chars, EVERYTHING)


def test_real_sample_leftover_pages(sample):
    db = pagewright.EseDatabase(sample("SRUDB.dat"))
    hits = db.carve_utf16le_strings_scoped("all", max_hits=EVERYTHING)
    leftover = [(h["page"], h["offset"], h["text"]) for h in hits if 143 <= h["page"] <= 157]
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
    needle_hits = db.carve_utf16le_strings_scoped("all", needle="4.0.15713.0#", max_hits=EVERYTHING)
    assert {h["page"] for h in needle_hits} >= set(range(143, 158))
    assert all("4.0.15713.0#" in h["text"] for h in needle_hits)


def test_real_sample_table_pages(sample):
    db = pagewright.EseDatabase(sample("SRUDB.dat"))
    hits = db.carve_utf16le_strings_scoped("tag_data", max_hits=EVERYTHING)
    tables = {h["table"] for h in hits if h["page_type"] == "leaf"}
    assert "SruDbIdMapTable" in tables
    assert all(h["table"] is None for h in hits if h["page_type"] != "leaf")
    id_map = [h["text"] for h in hits if h["table"] == "SruDbIdMapTable"]
    assert any(text.startswith("6cb9f58e-0000-0000-") for text in id_map)


# ---------------------------------------------------------------------------------------------------------
# The Python methods
# ---------------------------------------------------------------------------------------------------------


@pytest.fixture
def small_db(tmp_path):
    builder = people_db(rows=9)
    builder.add_raw_page(bytes_at({3000: utf16("slack words here"), 3100: utf16("more slack words")}))
    return open_image(tmp_path, builder.build())


def test_hit_dicts_have_the_nine_keys_in_order(small_db):
    for scope in ("slack", "all", "tag_data"):
        hits = small_db.carve_utf16le_strings_scoped(scope, max_hits=EVERYTHING)
        assert hits
        for h in hits:
            assert list(h) == HIT_KEYS
            assert [type(h[k]) for k in HIT_KEYS if k != "table"] == [int, int, int, int, str, int, str, str]
            assert h["table"] is None or isinstance(h["table"], str)
            assert h["slack_start"] <= h["offset"] < h["offset"] + 2 * len(h["text"]) <= h["slack_end"]


@pytest.mark.parametrize(
    "kwargs",
    [
        {},
        {"needle": None},
        {"needle": "slack"},
        {"needle": "nothing like this"},
        {"min_chars": 3},
        {"max_hits": 1},
        {"needle": "", "min_chars": 0, "max_hits": 0},
    ],
)
def test_unscoped_method_equals_scope_slack(small_db, kwargs):
    assert small_db.carve_utf16le_strings(**kwargs) == small_db.carve_utf16le_strings_scoped(
        "slack", **kwargs
    )


def test_unscoped_method_finds_slack_strings(small_db):
    assert [h["text"] for h in small_db.carve_utf16le_strings()] == ["slack words here", "more slack words"]
    assert small_db.carve_utf16le_strings(needle=None) == small_db.carve_utf16le_strings()


def test_positional_and_keyword_arguments_agree(small_db):
    by_keyword = small_db.carve_utf16le_strings_scoped(scope="all", needle="Person", min_chars=4, max_hits=5)
    assert small_db.carve_utf16le_strings_scoped("all", "Person", 4, 5) == by_keyword
    assert len(by_keyword) == 5 and all("Person" in h["text"] for h in by_keyword)
    assert small_db.carve_utf16le_strings("slack", 4, 5) == small_db.carve_utf16le_strings(
        needle="slack", min_chars=4, max_hits=5
    )


def test_defaults_are_min_6_and_1000_hits(tmp_path):
    six = [bytes_at({100 + 16 * i: utf16("abcdef") for i in range(500)}) for _ in range(3)]
    five = bytes_at({100 + 12 * i: utf16("abcde") for i in range(600)})  # below the default minimum
    db, numbers, _ = raw_page_db(tmp_path, [five] + six)
    for hits in (db.carve_utf16le_strings_scoped("all"), db.carve_utf16le_strings()):
        assert len(hits) == 1000
    default_hits = db.carve_utf16le_strings_scoped("all", max_hits=EVERYTHING)
    assert [h["text"] for h in default_hits if h["page"] in numbers] == ["abcdef"] * 1500
    with_five = db.carve_utf16le_strings_scoped("all", min_chars=5, max_hits=EVERYTHING)
    assert len([h for h in with_five if h["page"] in numbers]) == 2100


@pytest.mark.parametrize(
    "call, exc, fragment",
    [
        (
            lambda db: db.carve_utf16le_strings_scoped("Slack"),
            ValueError,
            "Invalid scope: Slack (expected: slack, all, tag_data, lv_all, lv_slack)",
        ),
        (
            lambda db: db.carve_utf16le_strings_scoped(" all"),
            ValueError,
            "Invalid scope:  all (expected: slack, all, tag_data, lv_all, lv_slack)",
        ),
        (lambda db: db.carve_utf16le_strings_scoped(""), ValueError, "Invalid scope:  (expected"),
        (lambda db: db.carve_utf16le_strings_scoped("lv-all"), ValueError, "Invalid scope: lv-all ("),
        (lambda db: db.carve_utf16le_strings_scoped(b"all"), TypeError, "scope"),
        (lambda db: db.carve_utf16le_strings_scoped(None), TypeError, "scope"),
        (lambda db: db.carve_utf16le_strings_scoped("all", needle=b"x"), TypeError, "needle"),
        (lambda db: db.carve_utf16le_strings_scoped("all", needle=3), TypeError, "needle"),
        (lambda db: db.carve_utf16le_strings_scoped("all", min_chars=None), TypeError, "min_chars"),
        (lambda db: db.carve_utf16le_strings_scoped("all", min_chars="6"), TypeError, "min_chars"),
        (lambda db: db.carve_utf16le_strings_scoped("all", min_chars=6.0), TypeError, "min_chars"),
        (lambda db: db.carve_utf16le_strings_scoped("all", max_hits=None), TypeError, "max_hits"),
        (lambda db: db.carve_utf16le_strings_scoped("all", min_chars=-1), OverflowError, ""),
        (lambda db: db.carve_utf16le_strings_scoped("all", max_hits=-1), OverflowError, ""),
        (lambda db: db.carve_utf16le_strings_scoped("all", max_hits=2**64), OverflowError, ""),
        (lambda db: db.carve_utf16le_strings(min_chars=-1), OverflowError, ""),
        (lambda db: db.carve_utf16le_strings(needle=1), TypeError, "needle"),
        (lambda db: db.carve_utf16le_strings(max_hits=[]), TypeError, "max_hits"),
        (lambda db: db.carve_utf16le_strings_scoped(), TypeError, "scope"),
        (lambda db: db.carve_utf16le_strings_scoped("all", bogus=1), TypeError, "bogus"),
        (lambda db: db.carve_utf16le_strings("slack", 6, 10, 1), TypeError, "at most"),
        # converted before the scope is checked: the wrongly typed argument is reported first
        (lambda db: db.carve_utf16le_strings_scoped("nope", min_chars=None), TypeError, "min_chars"),
        (lambda db: db.carve_utf16le_strings_scoped("nope", max_hits=-1), OverflowError, ""),
        (lambda db: db.carve_utf16le_strings_scoped(7, min_chars=None), TypeError, "scope"),
        (lambda db: db.carve_utf16le_strings_scoped("all", needle=1, min_chars=None), TypeError, "needle"),
    ],
)
def test_argument_errors(small_db, call, exc, fragment):
    with pytest.raises(exc) as info:
        call(small_db)
    assert type(info.value) is exc
    assert fragment in str(info.value)


@pytest.mark.parametrize("value", [True, 2**64 - 1, 7])
def test_index_integers_are_accepted(small_db, value):
    class Index:
        def __index__(self):
            return 3

    assert small_db.carve_utf16le_strings_scoped("all", min_chars=Index(), max_hits=value) == (
        small_db.carve_utf16le_strings_scoped("all", min_chars=3, max_hits=int(value))
    )


def test_large_limits_are_passed_through(small_db):
    assert small_db.carve_utf16le_strings_scoped("all", min_chars=2**64 - 1) == []
    assert small_db.carve_utf16le_strings_scoped(
        "all", max_hits=2**64 - 1
    ) == small_db.carve_utf16le_strings_scoped("all", max_hits=EVERYTHING)
