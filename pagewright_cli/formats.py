"""Output formats of `pagewright export --format`: JSON Lines (the default), CSV and Parquet.

JSON Lines and CSV are written by the core (export_table, export_rows); Parquet through pyarrow from the
table's Arrow stream, one row group per batch, so memory stays bounded by a batch.
"""

from __future__ import annotations

import contextlib
import importlib
import os
import queue
import stat
import threading
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from pagewright import EseDatabase

FORMATS = ("jsonl", "csv", "parquet")


class FormatError(Exception):
    """An export format that cannot be written here (e.g. Parquet without pyarrow)."""


def file_name(base: str, fmt: str) -> str:
    """export_file_name(table) with '.jsonl' replaced by the format's extension."""
    return base if fmt == "jsonl" else base.removesuffix(".jsonl") + "." + fmt


def _parquet_module() -> Any:
    try:
        return importlib.import_module("pyarrow.parquet")  # untyped: imported by name
    except ImportError:
        raise FormatError("--format parquet needs pyarrow: pip install 'pagewright[arrow]'") from None


def check_available(fmt: str) -> None:
    """Fails with FormatError before any file is written when the format's writer is missing."""
    if fmt == "parquet":
        _parquet_module()


def _open_regular(path: str) -> int:
    """A descriptor for writing `path`, created or truncated; a symbolic link or non-regular file there is
    refused and left untouched (as the core's exports do)."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, 0o666)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise OSError(f"Failed to create output file: not a regular file: {path!r}")
        os.set_blocking(fd, True)
        os.ftruncate(fd, 0)
    except BaseException:
        os.close(fd)
        raise
    return fd


def write_parquet(db: EseDatabase, name: str, path: str) -> int:
    """Writes the typed rows of table `name` to a Parquet file, batch by batch; returns the rows written."""
    pq = _parquet_module()
    pa = importlib.import_module("pyarrow")

    reader = pa.RecordBatchReader.from_stream(db.table(name).arrow())
    # Dictionary encoding for the text columns only: names and paths repeat, while trying it on counters,
    # ids and instants costs more time than it saves space.
    text = [f.name for f in reader.schema if pa.types.is_string(f.type)]
    rows = 0
    with (
        os.fdopen(_open_regular(path), "wb") as handle,
        pq.ParquetWriter(handle, reader.schema, use_dictionary=text) as writer,
    ):
        for batch in _read_ahead(reader):
            writer.write_batch(batch)
            rows += batch.num_rows
    return rows


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


def export_table(db: EseDatabase, name: str, path: str, fmt: str) -> int | None:
    """Writes table `name` to `path` as CSV or Parquet and returns the rows written (None for JSON Lines,
    which the caller writes itself)."""
    if fmt == "csv":
        return db.export_rows(name, path, typed=True, format="csv")
    if fmt == "parquet":
        return write_parquet(db, name, path)
    return None
