"""Parquet files of ESE tables: the one Parquet writer, behind ``EseDatabase.export_rows(format="parquet")``
and ``pagewright export --format parquet``.

The rows come from the table's Arrow stream (``Table.arrow``), one row group per batch, so memory stays
bounded by a batch; the fields keep their metadata (column id, type name, codepage). As the other exports do,
the file is written under a temporary name beside its path and renamed into place once complete; an export
that stops (Ctrl-C, a read or write error) leaves ``<path>.partial``, a readable Parquet file of the batches
written.
"""

from __future__ import annotations

import contextlib
import errno
import importlib
import os
import queue
import secrets
import stat
import threading
from collections.abc import Callable, Iterator, Mapping
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from pagewright import DeletedMode, EseDatabase, TimestampReading

__all__ = ["MISSING_PYARROW", "create_temporary", "export_rows", "keep_partial"]

PARTIAL = ".partial"
MISSING_PYARROW = "Parquet export needs pyarrow: pip install pyarrow (or pagewright's [arrow] extra)"
_LINK = "the path is a symbolic link, which is not followed"
_NOT_A_FILE = "the path exists and is not a regular file"
WALK_COUNTS = ("bad_entries", "overlapping_entries", "foreign_pages", "loops", "unreadable_pages")


def _pyarrow() -> tuple[Any, Any]:
    """pyarrow and pyarrow.parquet (imported by name: optional, so untyped)."""
    try:
        return importlib.import_module("pyarrow"), importlib.import_module("pyarrow.parquet")
    except ImportError:
        raise ImportError(MISSING_PYARROW) from None


def _os_error(code: int, prefix: str, path: str) -> OSError:
    """The errno's own OSError subclass, its text the writer's own followed by the path (as the core
    raises)."""
    error = type(OSError(code, ""))(f"{prefix}{os.strerror(code)} (os error {code}): {path!r}")
    error.errno = code
    return error


def create_temporary(path: str) -> tuple[int, str]:
    """A new file beside `path` for writing, and its name. As the core's exports: a symbolic link or anything
    but a regular file at `path` is refused and left untouched."""
    if not path:
        raise _os_error(errno.ENOENT, "Failed to create output file: ", path)
    try:
        mode = os.lstat(path).st_mode
    except FileNotFoundError:
        mode = None
    except OSError as exc:
        raise _os_error(exc.errno or errno.EIO, "Failed to create output file: ", path) from None
    if mode is not None and stat.S_ISLNK(mode):
        raise OSError(errno.ELOOP, "Failed to create output file: " + _LINK, path)
    if mode is not None and stat.S_ISDIR(mode):
        raise _os_error(errno.EISDIR, "Failed to create output file: ", path)
    if mode is not None and not stat.S_ISREG(mode):
        raise OSError(errno.EEXIST, "Failed to create output file: " + _NOT_A_FILE, path)
    folder = os.path.dirname(path)
    while True:
        temp = os.path.join(folder, f".pagewright-{secrets.token_hex(8)}.tmp")
        try:
            flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
            return os.open(temp, flags, 0o666), temp
        except FileExistsError:
            continue
        except OSError as exc:
            raise _os_error(exc.errno or errno.EIO, "Failed to create output file: ", path) from None


def keep_partial(temp: str, path: str) -> str:
    """Renames the incomplete file to <path>.partial (its temporary name stays when that fails) and removes a
    file an earlier run left at `path`; returns where the incomplete file is."""
    kept = path + PARTIAL
    try:
        os.rename(temp, kept)
    except OSError:
        kept = temp
    with contextlib.suppress(OSError):
        if stat.S_ISREG(os.lstat(path).st_mode):
            os.unlink(path)
    return kept


def _read_ahead(reader: Any, depth: int = 2) -> Iterator[Any]:
    """The batches of `reader`, the next ones built in a second thread (both sides run without the GIL)
    while the caller encodes the current one; at most `depth` batches wait. Reader errors are raised here."""
    waiting: queue.Queue[Any] = queue.Queue(depth)
    stop = threading.Event()
    done = object()

    def produce() -> None:
        try:
            for batch in reader:
                while not stop.is_set():
                    try:
                        waiting.put(batch, timeout=0.1)
                        break
                    except queue.Full:
                        continue
                if stop.is_set():
                    return
            waiting.put(done)
        except BaseException as exc:  # handed to the consumer
            waiting.put(exc)

    thread = threading.Thread(target=produce, name="pagewright-parquet-reader", daemon=True)
    thread.start()
    try:
        while (item := waiting.get()) is not done:
            if isinstance(item, BaseException):
                raise item
            yield item
    finally:
        stop.set()
        while thread.is_alive():
            with contextlib.suppress(queue.Empty):
                waiting.get(timeout=0.1)


def _marker_field(schema: Any) -> int | None:
    """The position of the deleted-row marker (the field whose metadata says so), if the stream has one."""
    for index, field in enumerate(schema):
        if (field.metadata or {}).get(b"pagewright.marker") == b"deleted":
            return index
    return None


def _fill_report(
    report: dict[str, Any],
    db: EseDatabase,
    name: str,
    source: Any,
    written: tuple[int, int | None],
    deleted: str,
) -> None:
    """export_rows' report, as the core fills it: rows (live and deleted), what the walk passed over (from the
    same walk, counted without decoding), values missing or without a form of their type, the partial file."""
    rows, marked = written
    scan: Any
    try:
        scan = db.scan_table(name)
    except (OSError, ValueError):
        scan = None
    stored_deleted: int | None = scan["deleted"] if scan is not None else None
    live: int | None
    dead: int | None
    left_out: int | None
    if deleted == "exclude":
        live, dead, left_out = rows, 0, stored_deleted
    elif deleted == "only":
        live, dead, left_out = 0, rows, 0
    else:
        dead = marked if marked is not None else stored_deleted
        live, left_out = (rows - dead if dead is not None else None), 0
    report.update(rows=rows, live=live, deleted=dead, deleted_left_out=left_out)
    report.update((key, scan[key] if scan is not None else None) for key in WALK_COUNTS)
    report["missing_long_values"] = dict(getattr(source, "missing_long_values", {}))
    report["unreadable_values"] = dict(source.unreadable_values)


def export_rows(
    db: EseDatabase,
    table_name: str,
    output_path: str,
    *,
    typed: bool = False,
    progress: Callable[[int], object] | None = None,
    deleted: DeletedMode = "exclude",
    timestamps: Mapping[str, TimestampReading] | None = None,
    escape_formulas: bool = True,
    report: dict[str, Any] | None = None,
) -> int:
    """Writes the rows of `table_name` to a Parquet file at `output_path` and returns the rows written;
    arguments as EseDatabase.export_rows (escape_formulas concerns CSV only). ImportError without pyarrow."""
    del escape_formulas  # Parquet cells are typed values, never run as formulas
    pa, pq = _pyarrow()
    source = db.table(table_name).arrow(typed=typed, deleted=deleted, timestamps=timestamps)
    reader = pa.RecordBatchReader.from_stream(source)
    # Dictionary encoding for the text columns only: names and paths repeat, while trying it on counters,
    # ids and instants costs more time than it saves space.
    text = [f.name for f in reader.schema if pa.types.is_string(f.type)]
    marker = _marker_field(reader.schema)
    rows, marked = 0, 0 if marker is not None else None
    fd, temp = create_temporary(output_path)
    completed = False
    try:
        with (
            os.fdopen(fd, "wb") as handle,
            pq.ParquetWriter(handle, reader.schema, use_dictionary=text) as writer,
        ):
            for batch in _read_ahead(reader):
                try:
                    writer.write_batch(batch)
                except OSError as exc:
                    raise _os_error(exc.errno or errno.EIO, "Write error: ", output_path) from None
                rows += batch.num_rows
                if marked is not None:
                    marked += batch.column(marker).true_count
                if progress is not None:
                    progress(rows)
        os.replace(temp, output_path)
        completed = True
    finally:
        partial = None if completed else keep_partial(temp, output_path)
        if report is not None:
            _fill_report(report, db, table_name, source, (rows, marked), deleted)
            report["partial"] = partial
    return rows
