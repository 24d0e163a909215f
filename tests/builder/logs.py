"""Transaction log generations and checkpoints, written from the log format: a 4 096-byte header, then
4 096-byte segments (a 40-byte header with the segment checksum, records packed after it, a record longer than
the room left split into FragmentBegin/Fragment pieces), the last sector left unwritten.

gen = LogWriter(81)                                   # generation 81 of the default log stream
gen.add(begin0(session=5), insert(5, page=10, line=0, dbtime=0x200, before=0x100, object_id=8, key=k, data=d))
gen.add(commit0(session=5))
data = gen.build()                                    # the file bytes
"""

from __future__ import annotations

import struct
from collections.abc import Sequence

from .checksum import xor_ecc_checksum, xor_words

SEGMENT = 4096
SEGMENT_HEADER = 40
HEADER_SEED = 0x89ABCDEF
FILE_TYPE_LOG, FILE_TYPE_CHECKPOINT = 3, 4
DEFAULT_SIGNATURE_RANDOM = 0x5EED1065
NOT_CHECKED = 0xFFFFFFFFFFFFFFFF

# Record types.
INIT2, TERM2 = 49, 50
BEGIN, COMMIT, ROLLBACK, BEGIN0, COMMIT0 = 5, 6, 7, 8, 9
ATTACH_DB = 15
INSERT, FLAG_INSERT, FLAG_INSERT_REPLACE, FLAG_DELETE, REPLACE, REPLACE_DIFF, DELETE = (
    29,
    30,
    31,
    32,
    33,
    34,
    35,
)
FRAGMENT_BEGIN, FRAGMENT = 76, 77
FLAG_VERSIONED, FLAG_UNIQUE, FLAG_SPACE = 0x01, 0x04, 0x08
DIFF_SAME_LENGTH, DIFF_INSERT, DIFF_TWO_BYTES = 0x20, 0x40, 0x80


def log_time(
    year: int = 2024,
    month: int = 3,
    day: int = 11,
    hour: int = 8,
    minute: int = 0,
    second: int = 0,
    millisecond: int = 0,
) -> bytes:
    """LOGTIME: seconds, minutes, hours, day, month, years since 1900, UTC flag + milliseconds."""
    low = 1 | ((millisecond & 0x7F) << 1)
    return bytes([second, minute, hour, day, month, year - 1900, low, (millisecond >> 7) << 1])


def signature(
    random: int = DEFAULT_SIGNATURE_RANDOM, created: bytes | None = None, computer: bytes = b""
) -> bytes:
    """SIGNATURE: u32 random, creation LOGTIME, 16-byte computer name."""
    return struct.pack("<I", random) + (created or log_time(2020)) + computer.ljust(16, b"\0")[:16]


def position(generation: int, sector: int, block: int = 0) -> bytes:
    return struct.pack("<HHI", block, sector, generation)


def xor_checksum(block: bytes | bytearray) -> int:
    """Log and checkpoint headers: XOR of the u32 words of [4, 4096) seeded with 0x89ABCDEF."""
    return HEADER_SEED ^ xor_words(block, 4, SEGMENT)


def segment_checksum(segment: bytes | bytearray, sector: int) -> int:
    """A segment carries a database page's XOR-ECC checksum, its sector as the page number."""
    return xor_ecc_checksum(segment, sector, True)


# Records --------------------------------------------------------------------------------------------------


def begin0(session: int, levels: int = 1, trx: int = 1) -> bytes:
    return struct.pack("<BHBI", BEGIN0, session, levels << 4, trx)


def begin(session: int, level_from: int, levels: int = 1) -> bytes:
    return struct.pack("<BHB", BEGIN, session, level_from | (levels << 4))


def commit(session: int, level_to: int) -> bytes:
    return struct.pack("<BHB", COMMIT, session, level_to)


def commit0(session: int, trx: int = 2) -> bytes:
    return struct.pack("<BHBI", COMMIT0, session, 0, trx)


def rollback(session: int, levels: int = 1) -> bytes:
    return struct.pack("<BHB", ROLLBACK, session, levels)


def init2() -> bytes:
    return bytes([INIT2]) + bytes(567) + log_time()


def _node(
    type_: int,
    session: int,
    page: int,
    line: int,
    dbtime: int,
    before: int,
    object_id: int,
    level: int,
    flags: int,
    fdp_page: int = 0,
) -> bytes:
    """LRNODE_: the page record header (32 bytes), then rceid, pgnoFDP and objidFDP."""
    head = struct.pack("<BHBIQQIBHB", type_, session, 1, page, dbtime, before, 1, level, line, flags)
    return head + struct.pack("<III", 0, fdp_page, object_id)


def insert(
    session: int,
    page: int,
    line: int,
    dbtime: int,
    before: int,
    object_id: int,
    key: bytes,
    data: bytes,
    *,
    prefix: int = 0,
    level: int = 1,
    flags: int = FLAG_VERSIONED | FLAG_UNIQUE,
) -> bytes:
    """Insert: the first `prefix` bytes of the key are the part the page's prefix holds."""
    node = _node(INSERT, session, page, line, dbtime, before, object_id, level, flags)
    return node + struct.pack("<HHH", len(key) - prefix, prefix, len(data)) + key + data


def flag_insert(
    session: int,
    page: int,
    line: int,
    dbtime: int,
    before: int,
    object_id: int,
    key: bytes,
    data: bytes,
    *,
    replace_data: bool = False,
    level: int = 1,
) -> bytes:
    type_ = FLAG_INSERT_REPLACE if replace_data else FLAG_INSERT
    node = _node(type_, session, page, line, dbtime, before, object_id, level, FLAG_VERSIONED)
    extra = struct.pack("<I", 7) if replace_data else b""
    return node + struct.pack("<HH", len(key), len(data)) + extra + key + data


def replace(
    session: int,
    page: int,
    line: int,
    dbtime: int,
    before: int,
    object_id: int,
    after: bytes,
    old_size: int = 0,
    *,
    level: int = 1,
    flags: int = FLAG_VERSIONED,
) -> bytes:
    node = _node(REPLACE, session, page, line, dbtime, before, object_id, level, flags)
    return node + struct.pack("<HHH", len(after), old_size, len(after)) + after


def replace_diff(
    session: int,
    page: int,
    line: int,
    dbtime: int,
    before: int,
    object_id: int,
    diff: bytes,
    old_size: int,
    new_size: int,
    *,
    second_form: bool = False,
    level: int = 1,
) -> bytes:
    node = _node(REPLACE_DIFF, session, page, line, dbtime, before, object_id, level, FLAG_VERSIONED)
    size = len(diff) | (0x8000 if second_form else 0)
    return node + struct.pack("<HHH", size, old_size, new_size) + diff


def diff_piece(
    offset: int,
    new: bytes,
    old_size: int | None = None,
    *,
    second_form: bool = False,
    insert_only: bool = False,
) -> bytes:
    """One piece of a ReplaceD difference: at `offset` of the before image, insert `new` (insert_only), or
    replace `old_size` bytes with it (the same length when old_size is None)."""
    flags = DIFF_INSERT if insert_only else (DIFF_SAME_LENGTH if old_size is None else 0)
    two = len(new) > 255 or (old_size or 0) > 255
    flags |= DIFF_TWO_BYTES if two else 0
    head = struct.pack("<HB", offset, flags) if second_form else struct.pack("<H", offset | (flags << 8))
    length = "<H" if two else "<B"
    lengths = struct.pack(length, len(new))
    if not insert_only and old_size is not None:
        lengths += struct.pack(length, old_size)
    return head + lengths + new


def delete(
    session: int,
    page: int,
    line: int,
    dbtime: int,
    before: int,
    object_id: int,
    *,
    flag: bool = False,
    level: int = 1,
) -> bytes:
    return _node(FLAG_DELETE if flag else DELETE, session, page, line, dbtime, before, object_id, level, 0)


def attach_db(dbid: int, path: str, db_signature: bytes, log_signature: bytes | None = None) -> bytes:
    names = (path + "\0").encode("utf-16-le")
    head = struct.pack("<BHBI", ATTACH_DB, 0, dbid, 0) + position(1, 1) + db_signature
    return head + (log_signature or signature()) + struct.pack("<HB", len(names), 0x08) + names


# Files ----------------------------------------------------------------------------------------------------


class LogWriter:
    """One log generation: records go into segments in order; build() gives the file."""

    def __init__(
        self,
        generation: int,
        *,
        log_signature: bytes | None = None,
        created: bytes | None = None,
        previous_created: bytes | None = None,
        version: tuple[int, int, int, int] = (8, 4000, 5, 16),
        checkpoint: tuple[int, int, int] | None = None,
    ) -> None:
        self.generation = generation
        self.log_signature = log_signature or signature()
        self.created = created or log_time(minute=generation % 60)
        self.previous_created = previous_created or log_time(minute=(generation - 1) % 60)
        self.version = version
        self.checkpoint = checkpoint or (generation, 1, 0)
        self.segments: list[bytearray] = []
        self.positions: list[tuple[int, int, int]] = []

    def _segment(self) -> bytearray:
        sector = len(self.segments) + 1
        segment = bytearray(SEGMENT)
        segment[8:16] = position(self.generation, sector)
        segment[16:24] = log_time(minute=sector % 60)
        struct.pack_into("<I", segment, 36, 0x2000)
        self.segments.append(segment)
        self.used = SEGMENT_HEADER
        return segment

    def new_segment(self) -> LogWriter:
        """Starts the next segment (the rest of the current one stays NOP)."""
        self._segment()
        return self

    def add(self, *records: bytes) -> LogWriter:
        """Appends records; each one's position (generation, sector, offset) goes to self.positions."""
        for record in records:
            if not self.segments:
                self._segment()
            room = SEGMENT - self.used
            if len(record) <= room:
                self.segments[-1][self.used : self.used + len(record)] = record
                self.positions.append((self.generation, len(self.segments), self.used))
                self.used += len(record)
                continue
            if room < 7 + 32:  # too little room to start a fragment: the rest of the segment stays NOP
                self._segment()
                self.add(record)
                continue
            self.positions.append((self.generation, len(self.segments), self.used))
            piece = record[: room - 7]
            self.segments[-1][self.used :] = (
                struct.pack("<BIH", FRAGMENT_BEGIN, len(record), len(piece)) + piece
            )
            rest = record[len(piece) :]
            while rest:
                self._segment()
                piece = rest[: SEGMENT - SEGMENT_HEADER - 3]
                self.segments[-1][SEGMENT_HEADER : SEGMENT_HEADER + 3 + len(piece)] = (
                    struct.pack("<BH", FRAGMENT, len(piece)) + piece
                )
                self.used = SEGMENT_HEADER + 3 + len(piece)
                rest = rest[len(piece) :]
        return self

    def header(self, sectors: int, generation: int | None = None) -> bytearray:
        block = bytearray(SEGMENT)
        struct.pack_into("<IHHHH", block, 4, generation or self.generation, SEGMENT, 1, sectors, 0)
        block[16:24] = self.created
        block[24:32] = self.previous_created
        struct.pack_into("<III", block, 32, *self.version[:3])
        block[44:72] = self.log_signature
        block[640:648] = position(*self.checkpoint)
        struct.pack_into("<I", block, 648, self.version[3])
        struct.pack_into("<I", block, 667, FILE_TYPE_LOG)
        struct.pack_into("<I", block, 0, xor_checksum(block))
        return block

    def build(
        self, sectors: int | None = None, *, damage: Sequence[int] = (), header_generation: int | None = None
    ) -> bytes:
        """The file: header, segments with their checksums, zeros up to `sectors` (one more than needed by
        default: the engine never writes the last sector). Segments whose number is in `damage` keep a wrong
        checksum; `header_generation` makes the header name another generation than its segments."""
        count = sectors or len(self.segments) + 2
        out = self.header(count, header_generation)
        for sector, segment in enumerate(self.segments, start=1):
            wrong = 1 << 40 if sector in damage else 0  # an ECC bit: no other sector's checksum either
            struct.pack_into("<Q", segment, 0, segment_checksum(segment, sector) ^ wrong)
            out += segment
        return bytes(out.ljust(count * SEGMENT, b"\0"))


def checkpoint_file(log_signature: bytes | None = None, at: tuple[int, int, int] = (1, 1, 0)) -> bytes:
    """A checkpoint file (the header and its shadow copy): where recovery starts, the log signature."""
    block = bytearray(SEGMENT)
    block[12:20] = position(*at)
    block[20:48] = log_signature or signature()
    block[648:656] = position(*at)
    struct.pack_into("<I", block, 667, FILE_TYPE_CHECKPOINT)
    struct.pack_into("<I", block, 0, xor_checksum(block))
    return bytes(block) * 2


def dirty_header_patches(
    log_signature: bytes, db_signature: bytes, required: tuple[int, int], committed: int | None = None
) -> dict[int, bytes]:
    """Header patches (DatabaseBuilder(header_patches=...)) of a database written to a log stream and not
    shut down cleanly: its signature, its log signature, the generations recovery needs."""
    low, high = required
    return {
        24: db_signature,
        108: log_signature,
        296: struct.pack("<II", low, high),
        416: struct.pack("<I", high if committed is None else committed),
        640: struct.pack("<I", low),
    }
