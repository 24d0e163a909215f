"""Type information for the `pagewright` extension module: a reader of Microsoft ESE database files.

CarvedHit, CarvedHits, ColumnInfo, TableScan, WalkDamage, RowDamage, CatalogDamage, Truncation, DatabaseHeader,
RecoveredRecord, RecordCheck, RowValue, Row, CarveScope, CarveScript, CarveOwners and RecoverSource exist for type
checkers only; import them under
`if typing.TYPE_CHECKING:` (or with `from __future__ import annotations`).

`__all__` lists EseDatabase and __version__ (the module's contract); the other classes and functions below are
importable by name.

Table and column names are the raw bytes the file stores, decoded as UTF-8 with "surrogateescape": a byte
that is not part of well-formed UTF-8 becomes the lone surrogate U+DC80..U+DCFF, so distinct names stay
distinct, and a table_name argument is encoded back the same way to find the table. JSON Lines member names
write such a byte as the escape \\udcXX, which json.loads reads back as the same str. Text values are
decoded with U+FFFD replacement instead.
"""

import datetime
import os
import uuid
from collections.abc import Callable, Iterable, Iterator, Mapping
from types import TracebackType
from typing import (
    Any,
    ClassVar,
    Final,
    Literal,
    Protocol,
    Self,
    SupportsIndex,
    TypeAlias,
    TypedDict,
    TypeVar,
    final,
)

from typing_extensions import Buffer

import pagewright_artifacts as artifacts  # pagewright.artifacts.srum, .ual, .webcache, .bits: artefact interpreters
import pagewright_dask as dask  # pagewright.dask.read_table: many files as one Dask DataFrame


__all__ = ["EseDatabase", "__version__"]

__version__: Final[str]

RowValue: TypeAlias = bool | int | float | str | bytes | None
"""One column value of a row: None, bool, int (also DateTime and Currency, as raw unsigned 64 bits), float,
str (text and GUIDs), or bytes (binary, long binary and multi-valued columns)."""

Row: TypeAlias = dict[str, RowValue]
"""One row: column name -> value, every column of the table in ascending column id order."""

CarveScope: TypeAlias = Literal["slack", "all", "tag_data", "lv_all", "lv_slack"]
"""Which bytes of each page are carved: free space, whole pages, record data, or long-value pages only."""

RecoverSource: TypeAlias = Literal["deleted", "stale", "slack", "free"]
"""Where recover_records looks: entries flagged deleted, tag slots past a leaf page's count, the free space of
the table's leaf pages, and leaf pages of the table that no tree reaches."""

RecordCheck: TypeAlias = Literal[
    "null_bitmap_filler",
    "null_variable_offsets",
    "not_null_columns",
    "printable_text",
    "fixed_size_values",
    "long_values_resolve",
]
"""An optional check of a recovered record, beyond the required ones that every record passed: the unused bits
of the fixed-column null bitmap set as the engine writes them; empty variable columns repeating the previous end
offset as the engine writes them; every NotNull column holding a value; every text value printable; every
tagged value of a fixed-size type of exactly that size; every long-value reference answered by the tree."""

class RecoveredRecord(TypedDict):
    """One recovered record: its values (recover_records: converted as read_table converts them; Table.recover:
    typed as rows() gives them) and its place in the file (offset and length of the record's bytes within the
    page)."""

    values: Row
    source: RecoverSource
    page: int
    offset: int
    length: int
    confidence: int
    """How many of the optional checks held (len(checks)); a check that does not apply to the record adds
    nothing, so compare the confidence of records of one table."""
    checks: list[RecordCheck]
    """The optional checks that held, in the order of RecordCheck."""
    inferred_end: str | None
    """The column whose value's end was inferred from the bytes that follow it (a record in page slack has no
    tag to state its length; that value may run on past its true end), or None when the tag or the record
    itself states every end."""
    duplicate_of_live: bool
    """The same record bytes are live under the same key (or under any key when the record's own key is not
    known), or the same key is live with equal values: an old copy of a live row (a page left behind by a
    split), not lost data."""
    unresolved_long_values: list[str]
    """Columns whose long value no longer exists: the raw value is the reference's bytes, the typed one None."""
    withheld_long_values: list[str]
    """Columns whose long value this recovery gave out before and may not give again (slack can hold thousands
    of records referring to one value; values given again draw on 32 times the file's size): the raw value is
    the reference's bytes, the typed one None."""
    long_value_refs: dict[str, int]
    """The long-value id of each column above."""

class ColumnInfo(TypedDict):
    """One column of a table, as returned by EseDatabase.get_table_schema."""

    name: str
    type: str
    id: int
    nullable: bool

class CarvedHit(TypedDict):
    """One UTF-16LE string found by carving; offsets are byte positions within the page."""

    page: int
    offset: int
    slack_start: int
    slack_end: int
    region_kind: Literal["slack", "all", "tag_data"]
    page_flags: int
    page_type: Literal["long_value", "space_tree", "index", "leaf", "branch"]
    table: str | None
    text: str

CarveScript: TypeAlias = Literal["ascii", "any"]
"""What carving reports as text: printable ASCII, or text of every script (printable ASCII and the letters, marks,
numbers, punctuation and currency signs of every script, surrogate pairs whole, one script besides Latin per
string; strings of Han or Hangul need twice min_chars characters unless kana, CJK punctuation or a NUL after
them vouch for them, since random bytes often read as those)."""

CarveOwners: TypeAlias = Literal["leaf", "tree"]
"""Which hits name a table: those of the leaf pages of its data tree, or those of every page of its trees
(branch pages, its long-value and index trees too)."""

class CarvedHits(list[CarvedHit]):
    """The hits of a carving call, as a list."""

    stopped_at_max_hits: bool
    """True when the scan stopped at max_hits with more strings left to find; False when every page was scanned."""

class WalkDamage(TypedDict):
    """What a walk of a table passed over; nonzero counts mean damage."""

    bad_entries: int
    overlapping_entries: int
    foreign_pages: int
    loops: int
    unreadable_pages: int
    missing_long_values: dict[str, int]
    """{column: count} of long-value references that no long value answers (None in the typed view, empty in
    the raw one); columns without any are left out."""

class RowDamage(WalkDamage):
    """What the rows of a RowIterator passed over (RowIterator.damage)."""

    unreadable_values: dict[str, int]
    """{column: count} of values the cursor could not give whole (see RowIterator.unreadable_reasons) or gave in
    no form of their column's type (a fixed value stored short or long, given as its bytes), as exports count."""

class TableScan(WalkDamage):
    """A table's leaf entries counted without decoding (EseDatabase.scan_table); nonzero skip counts mean damage.
    missing_long_values counts the references of every entry, deleted ones included."""

    rows: int
    deleted: int

class CatalogDamage(TypedDict):
    """What reading the catalog passed over, lost or renamed (EseDatabase.catalog_damage)."""

    bad_entries: int
    overlapping_entries: int
    foreign_pages: int
    loops: int
    unreadable_pages: int
    error: str | None
    """Why a part of the catalog could not be read (the tables it described are missing), or None."""
    skipped_records: dict[int, int]
    """{record type: count} of catalog records that could not be read (of a type no engine writes, too short)."""
    notes: list[str]
    """Tables or columns that share a name and the keys they were given, columns of a type code no engine
    writes, records that name no table."""

class Truncation(TypedDict):
    """The file holds fewer pages than the database names (EseDatabase.header["truncation"])."""

    file_pages: int
    last_page: int
    named_by: str
    """What names last_page: the database's space tree, or the root page or owned extents of a tree."""

class _BinaryReader(Protocol):
    def read(self, size: int = ..., /) -> bytes: ...

Source: TypeAlias = str | os.PathLike[str] | os.PathLike[bytes] | Buffer | _BinaryReader
"""What EseDatabase opens: a path, a buffer read in place, or a binary file object."""

TimestampReading: TypeAlias = Literal["ole", "filetime", "unix", "raw"]
"""How an 8-byte column reads as a point in time: OLE Automation date, FILETIME, Unix seconds, or the integer."""

DeletedMode: TypeAlias = Literal["exclude", "only", "include"]
"""Which rows: the live ones (the engine's view), only entries flagged deleted, or both. Where deleted rows are
included, the exports and json_lines give every row a boolean marker under the key "_deleted" (with more "_"
prepended while a column of the table holds that key)."""

ExportFormat: TypeAlias = Literal["jsonl", "csv", "parquet"]

TypedValue: TypeAlias = (
    bool | int | float | str | bytes | datetime.datetime | uuid.UUID | list[Any] | None
)
"""A value of the typed view: aware datetimes in UTC for DateTime, uuid.UUID for GUIDs, lists for multi-values."""

class LogPosition(TypedDict):
    generation: int
    sector: int
    block: int

class Signature(TypedDict):
    """A database's or log stream's signature: files belong together when their signatures are equal."""

    random: int
    created: datetime.datetime | None
    computer_name: str

class FileHeader(TypedDict):
    """The database file header."""

    format_version: int
    format_revision: int
    page_size: int
    file_type: int
    state: int
    state_name: Literal[
        "just created",
        "dirty shutdown",
        "clean shutdown",
        "being converted",
        "force detach",
        "incremental reseed",
        "dirty and patched shutdown",
        "revert in progress",
        "unknown",
    ]
    database_time: int
    creation_time: datetime.datetime | None
    consistent_time: datetime.datetime | None
    attach_time: datetime.datetime | None
    detach_time: datetime.datetime | None
    consistent_position: LogPosition
    attach_position: LogPosition
    detach_position: LogPosition
    os_version: tuple[int, int, int, int]
    checksum: int
    checksum_ok: bool
    database_signature: Signature | None
    log_signature: Signature | None
    """The log stream the database writes to (None once it is consistent)."""
    gen_min_required: int
    """The first log generation recovery needs (0: none)."""
    gen_max_required: int
    gen_max_committed: int
    gen_min_consistent: int
    update_minor: int

class LogFile(TypedDict):
    path: str
    kind: Literal["log", "checkpoint", "unused", "other"]
    size: int
    generation: int | None
    note: str | None
    """Why the file is not read, or what is odd about it."""

class LogDamage(TypedDict):
    """What reading log records met: each count is damage, except torn_records (a dirty shutdown's torn write)."""

    damaged_segments: int
    bad_records: int
    bad_fragments: int
    unknown_records: int
    incomplete_records: int
    torn_records: int

class LogGeneration(TypedDict):
    generation: int
    path: str
    created: datetime.datetime | None
    previous_created: datetime.datetime | None
    signature: Signature | None
    signature_matches: bool
    version: tuple[int, int, int, int]
    header_checksum_ok: bool
    sector_size: int
    sectors: int
    checkpoint: LogPosition
    segments: int
    damaged_segments: list[int]
    records: dict[str, int]
    record_count: int
    first_segment_time: datetime.datetime | None
    last_segment_time: datetime.datetime | None
    last_record: LogPosition | None
    end: Literal["end of data", "end of file", "unknown record type", "unsupported log format", "file unreadable"]
    damage: LogDamage

class LogCheckpoint(TypedDict):
    path: str
    position: LogPosition
    consistent_position: LogPosition
    signature: Signature | None
    checksum_ok: bool
    header_source: Literal["primary", "shadow"]

class AttachedDatabase(TypedDict):
    dbid: int
    path: str
    database_signature: Signature | None
    log_signature: Signature | None
    attach_position: LogPosition
    consistent_position: LogPosition

LogRecord: TypeAlias = dict[str, Any]
"""One log record: 'position', 'segment_time', 'type' (the engine's name), 'type_code', 'size', 'fragmented',
and the fields of its kind (see LogSet.records)."""

class TableLogChanges(TypedDict):
    changes: int
    newer: int
    out_of_sequence: int

class LogCoverage(TypedDict):
    """What a database lacks without its logs (EseDatabase.log_coverage)."""

    covered: bool
    signature_matches: bool
    database_named: bool
    required: list[int] | None
    present: list[int] | None
    missing: list[int]
    missing_count: int
    damaged: list[int]
    page_changes: int
    newer: int
    newer_unattributed: int
    pages_past_end: int
    tables: dict[str, TableLogChanges]

class LogChange(TypedDict):
    """One change the logs carry for a table's records (Table.log_changes)."""

    operation: Literal[
        "insert", "flag_insert", "flag_insert_and_replace_data", "replace", "replace_diff", "delete", "flag_delete"
    ]
    position: LogPosition
    segment_time: datetime.datetime | None
    session: int
    transaction: Literal["committed", "rolled back", "open"]
    page: int
    line: int
    dbtime: int
    dbtime_before: int | None
    page_dbtime: int | None
    flushed: bool
    """The database page already holds the change (its dbtime is at least the record's)."""
    key: bytes | None
    values: dict[str, TypedValue] | None
    diff: bytes | None
    before_image: Literal["page", "log"] | None
    missing_long_values: list[str]
    unreadable_values: list[str]

LogPaths: TypeAlias = str | os.PathLike[str] | Iterable[str | os.PathLike[str]]
"""Directories and files of transaction logs."""

@final
class LogSet:
    """The transaction logs of an ESE log stream, read-only: directories (their log files, found by header) and
    files. Every record is read once when the set is made, for the summaries."""

    def __new__(cls, paths: LogPaths) -> Self: ...
    @property
    def paths(self) -> tuple[str, ...]: ...
    @property
    def files(self) -> list[LogFile]: ...
    @property
    def generations(self) -> list[LogGeneration]: ...
    @property
    def checkpoint(self) -> LogCheckpoint | None: ...
    @property
    def databases(self) -> list[AttachedDatabase]: ...
    @property
    def signature(self) -> Signature | None: ...
    @property
    def missing_generations(self) -> list[int]: ...
    @property
    def damage(self) -> LogDamage: ...
    def records(self, *, types: Iterable[str] | None = None) -> Iterator[LogRecord]:
        """The records of every generation in log order, as dicts, read lazily; `types`: engine type names."""

class LocatedBit(TypedDict):
    """A bit the XOR-ECC checksum locates: its page, byte offset in the page and in the file, bit (0 = lowest) and
    checksum block (0-3)."""

    page: int
    offset: int
    bit: int
    block: int
    file_offset: int

class DatabaseHeader(FileHeader):
    page_repairs: list[LocatedBit] | None
    """None, or with EseDatabase(..., repair_ecc=True) the bits read corrected (in memory only)."""
    truncation: Truncation | None
    """None when the file holds every page the database names; else the file was cut short (at a page
    boundary, or within a page)."""

class BlockChecksum(TypedDict):
    block: int
    stored: int
    computed: int

class PageFailure(TypedDict):
    """A page whose stored checksum disagrees with its bytes."""

    page: int
    form: Literal["xor", "xor_ecc"]
    status: Literal["mismatch", "correctable"]
    blocks: list[BlockChecksum]
    """The disagreeing checksum blocks (one for pages up to 8 KiB, up to four above)."""
    bits: list[LocatedBit]
    """status "correctable": one flipped bit per disagreeing block, located by the ECC."""
    checksum_bit_only: bool
    """Only the stored checksum differs, in one bit per block: the page's data is likely intact."""
    checksum_of_page: int | None
    """The page number whose checksum the page carries (a page written at another page's place)."""

class PageVerification(TypedDict):
    """Every page's checksum checked (EseDatabase.verify_pages, verify_file)."""

    page_size: int
    pages: int
    ok: int
    uninitialized: int
    """Pages of zeros only: never written."""
    mismatched: int
    correctable: int
    forms: dict[Literal["xor", "xor_ecc"], int]
    header_ok: bool
    shadow_ok: bool
    failures: list[PageFailure]
    """The first max_failures mismatched or correctable pages, in page order."""
    failures_omitted: int

@final
class Column(tuple[Any, ...]):
    """A column of a table (read-only)."""

    @property
    def id(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def type(self) -> str: ...
    @property
    def type_code(self) -> int: ...
    @property
    def kind(self) -> Literal["fixed", "variable", "tagged"]: ...
    @property
    def codepage(self) -> int | None: ...
    @property
    def size(self) -> int: ...
    @property
    def nullable(self) -> bool: ...
    @property
    def multi_valued(self) -> bool: ...
    @property
    def compressed(self) -> bool: ...
    @property
    def default(self) -> TypedValue: ...
    __match_args__: ClassVar[tuple[str, ...]]
    n_fields: ClassVar[int]
    n_sequence_fields: ClassVar[int]
    n_unnamed_fields: ClassVar[int]

@final
class Index(tuple[Any, ...]):
    """An index of a table (read-only); columns is None when the catalog's key layout is not known."""

    @property
    def name(self) -> str: ...
    @property
    def columns(self) -> tuple[str, ...] | None: ...
    @property
    def unique(self) -> bool: ...
    @property
    def primary(self) -> bool: ...
    __match_args__: ClassVar[tuple[str, ...]]
    n_fields: ClassVar[int]
    n_sequence_fields: ClassVar[int]
    n_unnamed_fields: ClassVar[int]

UnreadableReason: TypeAlias = Literal[
    "scrubbed", "xpress9", "xpress10", "unknown_compression", "corrupt_compression", "encrypted"
]
"""Why a stored value has no readable form: overwritten by the engine, compressed in a scheme not decoded
(Xpress9, Xpress10, an unknown one), a corrupt XPRESS or LZ4 stream, or an encrypted column."""

_Item = TypeVar("_Item", covariant=True)

class RowIterator(Protocol[_Item]):
    """What rows() and json_lines() return (a type for checkers only): an iterator that also reports."""

    def __iter__(self) -> Self: ...
    def __next__(self) -> _Item: ...
    @property
    def damage(self) -> RowDamage:
        """What the rows read so far passed over; complete once the iteration has ended."""
    @property
    def unreadable_reasons(self) -> dict[str, dict[UnreadableReason, int]]:
        """{column: {reason: count}} of the values read so far whose stored form cannot be read: None in the
        typed view, the stored bytes in the raw one."""

@final
class Table:
    """A table of an open database; iterating gives rows() with its defaults."""

    @property
    def name(self) -> str: ...
    @property
    def columns(self) -> tuple[Column, ...]: ...
    @property
    def indexes(self) -> list[Index]: ...
    def rows(
        self,
        *,
        typed: bool = True,
        columns: str | Iterable[str] | None = None,
        deleted: DeletedMode = "exclude",
        timestamps: Mapping[str, TimestampReading] | None = None,
    ) -> RowIterator[dict[str, TypedValue]]:
        """The rows as dicts, read lazily in the table's order. columns: one name or several, the dicts' keys in
        the order asked (ValueError naming the table's columns for an unknown one). timestamps: only for
        columns of 8-byte values (Currency, IEEE double, DateTime, Long long, binary), else ValueError."""
    def json_lines(
        self,
        *,
        typed: bool = False,
        deleted: DeletedMode = "exclude",
        timestamps: Mapping[str, TimestampReading] | None = None,
    ) -> RowIterator[str]:
        """The rows as JSON Lines text (no line feed), encoded as export_rows writes them: members named by the
        columns' distinct keys, the deleted marker where deleted rows are included."""
    def count(self) -> int:
        """The number of rows rows() yields by default, counted without decoding a value."""
    def log_changes(self, logs: LogSet | LogPaths | None = None, *, typed: bool = True) -> Iterator[LogChange]:
        """The changes the transaction logs carry for the table's records, read lazily in log order, each once its
        transaction is decided (logs: by default those the database was opened with)."""
    def recover(
        self, *, typed: bool = True, sources: Iterable[RecoverSource] = ("deleted", "stale", "slack", "free")
    ) -> Iterator[RecoveredRecord]:
        """Deleted and superseded records, read page by page, values decoded as rows(typed=typed) decodes live
        ones (a long value that no longer exists, or may not be given again, is None)."""
    def arrow(
        self,
        *,
        typed: bool = True,
        columns: Iterable[str] | None = None,
        deleted: DeletedMode = "exclude",
        timestamps: Mapping[str, TimestampReading] | None = None,
        batch_rows: int = 65536,
        batch_bytes: int = 67108864,
    ) -> ArrowStream:
        """The rows as an Arrow stream source (pyarrow.table(), polars.DataFrame(), DuckDB read it directly), in
        batches of at most batch_rows rows, each ending before the row that would take it past batch_bytes (at
        least one row). Fields follow the order of `columns` (else column id order) and are named by the rows'
        keys, with each byte that is not UTF-8, and NUL, written %XX, then made distinct again by the keys'
        rule ("name#id"); a field named otherwise than its column keeps the raw name as hexadecimal in its
        metadata (pagewright.raw_name). Where deleted rows are included ("include", "only"), a last boolean
        field named like the rows' deleted marker ("_deleted" unless taken; metadata pagewright.marker=deleted)
        is true for rows whose entry is flagged deleted."""
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """A PyCapsule 'arrow_array_stream' of the rows with arrow()'s defaults."""
    def to_arrow(
        self,
        *,
        typed: bool = True,
        columns: Iterable[str] | None = None,
        deleted: DeletedMode = "exclude",
        timestamps: Mapping[str, TimestampReading] | None = None,
        batch_rows: int = 65536,
        batch_bytes: int = 67108864,
    ) -> Any:
        """pyarrow.table(self.arrow(...)); needs pyarrow (pip install 'pagewright[arrow]')."""
    def to_pandas(
        self,
        *,
        typed: bool = True,
        columns: Iterable[str] | None = None,
        deleted: DeletedMode = "exclude",
        timestamps: Mapping[str, TimestampReading] | None = None,
        batch_rows: int = 65536,
        batch_bytes: int = 67108864,
    ) -> Any:
        """to_arrow(...) as a pandas.DataFrame of Arrow-backed dtypes (pandas.ArrowDtype): 64-bit integers
        stay exact beside nulls, instants stay timezone-aware (UTC); needs pyarrow and pandas."""
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[dict[str, TypedValue]]: ...

@final
class ArrowStream:
    """The rows of a table as an Arrow stream source (Table.arrow()); each stream reads the table anew."""

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...
    @property
    def unreadable_values(self) -> dict[str, int]:
        """{field: count} of values the latest stream wrote as null (no form of the column's Arrow type, or a
        stored form that cannot be read: see unreadable_reasons) or could not give whole (a multi-value whose
        element offsets go back, cut there; a long value joined again past the read's budget of 32 times the
        file's size)."""
    @property
    def missing_long_values(self) -> dict[str, int]:
        """{field: count} of long-value references of the latest stream that no long value answers (null)."""
    @property
    def unreadable_reasons(self) -> dict[str, dict[UnreadableReason, int]]:
        """{field: {reason: count}} of the values whose stored form cannot be read."""

class HeaderRead(FileHeader):
    header_source: Literal["primary", "shadow"]
    file_size: int

def read_header(path: str | os.PathLike[str]) -> HeaderRead:
    """The file header, read without opening the database (also when its catalog is damaged)."""

def verify_file(
    path: str | os.PathLike[str], *, page_size: SupportsIndex | None = None, max_failures: SupportsIndex = 1000
) -> PageVerification:
    """Every page's checksum, checked without opening the database (also when its catalog is damaged);
    page_size overrides the header's."""

def export_file_name(table_name: str, suffix: str = ".jsonl") -> str:
    """The file name of a table's export: its name with '/', '\\', '%', control characters and bytes that
    are not UTF-8 written as %XX, '.' and '..' as %2E and %2E%2E, then the suffix ('' for a folder). A result
    that with '.partial' after it would pass 255 bytes keeps a prefix of whole characters, then '%~' and 32
    hexadecimal digits of the SHA-256 of the raw name. Distinct names give distinct file names."""

def export_file_names(table_names: Iterable[str], suffix: str = ".jsonl", taken: Iterable[str] = ()) -> list[str]:
    """The files export_all (and the command line) writes tables to in one directory: export_file_name of each,
    except that a name equal to an earlier one's (or to one in taken) once case and Unicode normalisation are
    ignored, as Windows and macOS volumes compare names, gets '~2', '~3', ... before the suffix."""

@final
class EseDatabase:
    """An open ESE database file (mapped read-only; never written)."""

    def __new__(cls, path: Source, *, repair_ecc: bool = False, logs: LogSet | LogPaths | None = None) -> Self:
        """path: a str or os.PathLike naming the file; an object with the buffer protocol (bytes, bytearray,
        memoryview, mmap.mmap), read in place and held (so not resizable) until close() — memory that maps a
        file is guarded, so a file that shrinks makes reads raise OSError; or a binary file object: mapped
        through its fileno() when that is a regular file holding what read() gives, else (io.BytesIO,
        gzip.open(), a zip member) read through read() into memory, from its start, up to 4 GiB (more is a
        ValueError: write it to a file). A fileno() that is no descriptor (negative, past the int range) is a
        ValueError. repair_ecc: check every page at the open and read those in which the ECC
        locates one flipped bit per block with the bit corrected, in memory only (header["page_repairs"]).
        logs: its transaction logs, for log_coverage(), log_records() and Table.log_changes()."""
    @property
    def logs(self) -> LogSet | None:
        """The LogSet given with EseDatabase(path, logs=...), or None."""
    def log_records(
        self, logs: LogSet | LogPaths | None = None, *, types: Iterable[str] | None = None
    ) -> Iterator[LogRecord]:
        """The log records as LogSet.records() gives them, with 'table' and 'tree' for this database's trees."""
    def log_coverage(self, logs: LogSet | LogPaths | None = None) -> LogCoverage:
        """Whether the logs cover what the header requires, and how many of their page changes its pages lack."""
    @property
    def path(self) -> str: ...
    @property
    def page_size(self) -> int: ...
    @property
    def total_pages(self) -> int: ...
    @property
    def header_source(self) -> Literal["primary", "shadow"]:
        """Which copy of the file header was read: "shadow" (block 1) when block 0 is damaged (wrong checksum
        or page size) and the shadow is intact, else "primary"."""
    @property
    def header(self) -> DatabaseHeader:
        """The file header (of the copy that was read), and whether the file holds every page named."""
    @property
    def catalog_damage(self) -> CatalogDamage | None:
        """What reading the catalog passed over, lost or renamed; None when it was read whole. A catalog that
        cannot be walked to its end opens with the tables read so far."""
    def verify_pages(self, *, max_failures: SupportsIndex = 1000) -> PageVerification:
        """Every page's checksum as the file stores it (also with repair_ecc=True)."""
    @property
    def closed(self) -> bool: ...
    def close(self) -> None:
        """Release the file or buffer; later calls (also on Table objects and row iterators) raise ValueError."""
    def table(self, name: str) -> Table: ...
    def tables(self) -> list[Table]:
        """Every table, in catalog order."""
    def get_tables(self) -> list[str]: ...
    def read_table(self, table_name: str) -> list[Row]: ...
    def get_table_schema(self, table_name: str) -> list[ColumnInfo]: ...
    def scan_table(self, table_name: str) -> TableScan: ...
    def export_table(self, table_name: str, output_path: str) -> None: ...
    def carve_utf16le_strings(
        self,
        needle: str | None = None,
        min_chars: SupportsIndex = 6,
        max_hits: SupportsIndex = 1000,
        *,
        script: CarveScript = "ascii",
        owners: CarveOwners = "leaf",
    ) -> CarvedHits: ...
    def carve_utf16le_strings_scoped(
        self,
        scope: CarveScope,
        needle: str | None = None,
        min_chars: SupportsIndex = 6,
        max_hits: SupportsIndex = 1000,
        *,
        script: CarveScript = "ascii",
        owners: CarveOwners = "leaf",
    ) -> CarvedHits: ...
    def recover_records(
        self, table_name: str, *, sources: Iterable[RecoverSource] = ("deleted", "stale", "slack", "free")
    ) -> list[RecoveredRecord]:
        """Deleted and superseded records of a table, page by page. A candidate becomes a record only when its
        bytes fit the table's record layout and share no byte with a live entry or a stronger source's record
        (deleted, stale, free, slack in that order). ValueError for an unknown table or source."""
    def export_rows(
        self,
        table_name: str,
        output_path: str,
        *,
        typed: bool = False,
        progress: Callable[[int], object] | None = None,
        format: ExportFormat = "jsonl",
        deleted: DeletedMode = "exclude",
        timestamps: Mapping[str, TimestampReading] | None = None,
        escape_formulas: bool = True,
        report: dict[str, Any] | None = None,
    ) -> int:
        """Export a table to JSON Lines, CSV or Parquet (values named by the columns' distinct keys) and return
        the number of rows written. The file is written under a temporary name and renamed to output_path once
        complete; an export that stops leaves output_path + '.partial'. `deleted` and `timestamps` as rows();
        `escape_formulas`: CSV text cells beginning with = + - @, tab or CR get a leading '. `report` is filled
        (also on failure) with 'rows', 'live', 'deleted', 'deleted_left_out', the walk's 'bad_entries',
        'overlapping_entries', 'foreign_pages', 'loops', 'unreadable_pages', {column: count} of
        'missing_long_values' and 'unreadable_values', and 'partial' (the incomplete file left, or None).
        Parquet needs pyarrow (ImportError without it)."""
    def export_all(self, output_dir: str) -> None:
        """Export every table to output_dir/export_file_name(table). A table that fails does not stop the
        others; afterwards one OSError "Failed to export N of M tables: 'name' (reason); ..." names them."""
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_value: BaseException | None,
        _traceback: TracebackType | None,
    ) -> Literal[False]: ...
