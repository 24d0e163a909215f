"""WebCache (`WebCacheV01.dat` of Internet Explorer 10+ and legacy Edge): history, cache, cookies and every
other container as one view.

    import pagewright.artifacts.webcache as webcache
    entries = webcache.read_table("WebCacheV01.dat", "entries")
    history = entries.filter(pyarrow.compute.equal(entries["kind"], "history"))

`Containers` lists the containers (ContainerId, Name, Directory); each keeps its entries in the table
`Container_<ContainerId>`. The `entries` view reads every `Container_N` table — those `Containers` names and
those it does not (noted) — into one schema: the container's name, directory and kind, the entry's columns
with the FILETIME columns typed, and the response headers decoded. A container table that cannot be read
to its end gives the rows read before the damage and an ArtifactWarning; the other containers are read.
"""

from __future__ import annotations

import re
import warnings
from typing import TYPE_CHECKING, Any

from . import _base
from ._base import FILETIME_RULE, ArtifactError, ArtifactWarning, Columns, Notes

if TYPE_CHECKING:
    from collections.abc import Iterator

    from pagewright import EseDatabase

    from ._base import Database

__all__ = ["ENTRY_COLUMNS", "KINDS", "containers", "read", "read_table", "records", "views"]

CONTAINERS = "Containers"
_CONTAINER = re.compile(r"^Container_(\d+)$")
# The columns of a Container_N table, in the order of the entries view, by the form they take there.
ENTRY_COLUMNS: tuple[tuple[str, str], ...] = (
    ("EntryId", "int"),
    ("ContainerId", "int"),
    ("CacheId", "int"),
    ("Url", "text"),
    ("RedirectUrl", "text"),
    ("Filename", "text"),
    ("FileExtension", "text"),
    ("FileSize", "int"),
    ("SecureDirectory", "int"),
    ("Type", "int"),
    ("Flags", "int"),
    ("AccessCount", "int"),
    ("SyncCount", "int"),
    ("AccessedTime", "time"),
    ("ModifiedTime", "time"),
    ("ExpiryTime", "time"),
    ("SyncTime", "time"),
    ("CreationTime", "time"),
    ("PostCheckTime", "time"),
    ("ExemptionDelta", "int"),
    ("UrlHash", "int"),
    ("Group", "int"),
    ("RequestHeaders", "bytes"),
    ("ResponseHeaders", "bytes"),
    ("ExtraData", "bytes"),
)
CONTAINER_TIMES = ("LastScavengeTime", "LastAccessTime")
# Container name (case-insensitive) -> kind; MSHist… containers (daily and weekly history) are history.
KINDS = {
    "content": "cache",
    "cookies": "cookies",
    "history": "history",
    "iedownload": "downloads",
    "domstore": "dom storage",
}
HEADERS_RULE = "ResponseHeaders from its HTTP status line (or first header line) to the blank line, as text"


def _open(db: Database) -> EseDatabase:
    database = _base.open_database(db)
    names = database.get_tables()
    if CONTAINERS not in names and not any(_CONTAINER.match(n) for n in names):
        raise ArtifactError(
            f"{_base.source_of(database)}: not a WebCache database: it has no Containers "
            "table and no Container_N table"
        )
    return database


def views(db: Database) -> list[str]:
    """The names read() takes: "entries" (every container) and "containers" (the Containers table)."""
    database = _open(db)
    return ["entries"] + (["containers"] if CONTAINERS in database.get_tables() else [])


def _kind(name: str | None) -> str | None:
    if name is None:
        return None
    folded = name.casefold()
    return "history" if folded.startswith("mshist") else KINDS.get(folded)


def containers(db: Database) -> dict[int, dict[str, Any]]:
    """ContainerId -> the Containers row (Name, Directory, ... as the reader types them)."""
    database = _open(db)
    if CONTAINERS not in database.get_tables():
        return {}
    out: dict[int, dict[str, Any]] = {}
    for batch in _base.batches(database, CONTAINERS):
        for row in batch.to_pylist():
            if isinstance(row.get("ContainerId"), int):
                out[row["ContainerId"]] = row
    return out


def response_headers(blob: bytes | None) -> str | None:
    """The HTTP response headers of a ResponseHeaders value as text (from "HTTP/", else from the start when
    its first line is a header line, to the blank line or a NUL), or None when it holds no header block."""
    if not blob:
        return None
    start = blob.find(b"HTTP/")
    if start < 0:
        first = blob.split(b"\r\n", 1)[0]
        if b":" not in first or not all(32 <= c < 127 for c in first):
            return None
        start = 0
    text = blob[start:]
    for end in (b"\r\n\r\n", b"\x00"):
        if end in text:
            text = text[: text.index(end)]
    try:
        return text.decode("utf-8")
    except UnicodeDecodeError:
        return text.decode("latin-1")


def _entry_column(batch: Any, name: str, form: str, notes: Notes, problems: set[str]) -> Any:
    """Column `name` of a container batch in its form of the entries view (null when the table lacks it)."""
    pa, pc = _base.arrow()
    target = {"int": pa.int64(), "time": pa.int64(), "text": pa.string(), "bytes": pa.binary()}[form]
    if name not in batch.schema.names:
        column = pa.nulls(batch.num_rows, target)
    else:
        column = batch.column(name)
        kind = column.type
        fits = {
            "int": pa.types.is_integer,
            "time": pa.types.is_integer,
            "text": pa.types.is_string,
            "bytes": pa.types.is_binary,
        }[form](kind)
        if not fits:
            problems.add(f"column {name} is {kind}, not {form}: left out (null)")
            column = pa.nulls(batch.num_rows, target)
        column = pc.cast(column, target)
    return _base.filetimes(column, name, notes) if form == "time" else column


def _entries(batch: Any, source: str, table: str, info: dict[str, Any] | None, problems: set[str]) -> Any:
    pa, _ = _base.arrow()
    out, notes = Columns(batch.num_rows), Notes(batch.num_rows)
    out.constant("source", source)
    out.constant("table", table)
    name = None if info is None else info.get("Name")
    out.constant("container", name)
    out.constant("directory", None if info is None else info.get("Directory"))
    out.constant("kind", _kind(name))
    if info is None:
        notes.where(pa.repeat(True, batch.num_rows), f"{table} is not named in {CONTAINERS}")
    for column, form in ENTRY_COLUMNS:
        array = _entry_column(batch, column, form, notes, problems)
        out.add(column, array, FILETIME_RULE if form == "time" else None)
        if column == "ResponseHeaders":
            texts = (
                [response_headers(v) for v in array.to_pylist()] if array.null_count < len(array) else None
            )
            out.add("ResponseHeadersText", pa.array(texts or [None] * len(array), pa.string()), HEADERS_RULE)
    extra = [n for n in batch.schema.names if n not in dict(ENTRY_COLUMNS)]
    if extra:
        problems.add(f"columns not in the entries view: {', '.join(extra)} (read them with db.table)")
    out.add("notes", notes.text, "what a value is or why it is null, where not obvious")
    return out.batch()


def _container_tables(db: EseDatabase, known: dict[int, dict[str, Any]]) -> list[tuple[str, int]]:
    source = _base.source_of(db)
    found = sorted((int(m.group(1)), t) for t in db.get_tables() if (m := _CONTAINER.match(t)))
    present = {number for number, _ in found}
    for missing in sorted(set(known) - present):
        problem = f"ContainerId {missing} ({known[missing].get('Name')}) has no table Container_{missing}"
        warnings.warn(ArtifactWarning(source, CONTAINERS, problem), stacklevel=3)
    return [(table, number) for number, table in found]


def _read_entries(db: EseDatabase, batch_rows: int) -> Any:
    pa, _ = _base.arrow()
    known = containers(db)
    source = _base.source_of(db)
    empty = pa.RecordBatch.from_pylist([])
    schema = _entries(empty, source, "", None, set()).schema

    def parts() -> Iterator[Any]:
        for table, number in _container_tables(db, known):
            problems: set[str] = set()
            try:
                for batch in _base.batches(db, table, batch_rows=batch_rows):
                    yield _entries(batch, source, table, known.get(number), problems)
            except (OSError, ValueError) as exc:
                problems.add(f"cannot be read: {exc}")
            for problem in sorted(problems):
                warnings.warn(ArtifactWarning(source, table, problem), stacklevel=2)

    return _base.reader(schema, parts())


def _containers_view(batch: Any, source: str) -> Any:
    pa, _ = _base.arrow()
    out, notes = Columns(batch.num_rows), Notes(batch.num_rows)
    out.constant("source", source)
    out.constant("table", CONTAINERS)
    for f in batch.schema:
        if f.name in CONTAINER_TIMES and pa.types.is_integer(f.type):
            out.add(f.name, _base.filetimes(batch.column(f.name), f.name, notes), FILETIME_RULE, f.metadata)
        else:
            out.keep(batch, f.name)
    out.add("notes", notes.text, "what a value is or why it is null, where not obvious")
    return out.batch()


def read(db: Database, view: str = "entries", *, batch_rows: int = 65536) -> Any:
    """The view `view` ("entries" or "containers") as a pyarrow.RecordBatchReader, decoded batch by batch.
    entries: source, table, container, directory, kind, the ENTRY_COLUMNS (FILETIMEs typed; a column a
    container lacks is null), ResponseHeadersText after ResponseHeaders, notes."""
    database = _open(db)
    if view == "entries":
        return _read_entries(database, batch_rows)
    if view == "containers" and CONTAINERS in database.get_tables():
        source = _base.source_of(database)
        schema = _base.source_schema(database, CONTAINERS)
        parts = _base.batches(database, CONTAINERS, batch_rows=batch_rows)
        return _base.transformed(schema, parts, lambda b: _containers_view(b, source))
    raise ValueError(
        f"{_base.source_of(database)}: no WebCache view {view!r} (this database has: "
        f"{', '.join(views(database))})"
    )


def read_table(db: Database, view: str = "entries", **options: Any) -> Any:
    """read(db, view) as one pyarrow.Table."""
    return read(db, view, **options).read_all()


def records(db: Database, view: str = "entries", **options: Any) -> Iterator[dict[str, Any]]:
    """The rows of read(db, view) as dicts of Python values."""
    return _base.records(read(db, view, **options))
