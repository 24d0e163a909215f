"""The subcommands of `pagewright`. Each takes the parsed arguments and returns the exit status."""

from __future__ import annotations

import argparse
import contextlib
import difflib
import os
import stat
import sys
import tempfile
import time
from collections.abc import Iterator, Sequence
from importlib import resources
from typing import TYPE_CHECKING, Any, Protocol

from . import formats
from .formatting import clean, escape_unsafe_json, human_size, json_text, render_table
from .header import read_header

if TYPE_CHECKING:
    from pagewright import CarvedHit, CarveScope, EseDatabase

SCOPES: tuple[CarveScope, ...] = ("slack", "all", "tag_data", "lv_all", "lv_slack")
DEMO_DIR = "pagewright-demo"
DEMO_HITS = 10


class CliError(Exception):
    """A failure reported as one line "pagewright: error: ..." and exit status 1."""


# Helpers ---------------------------------------------------------------------------------------------------


def load_module() -> Any:
    try:
        import pagewright
    except ImportError as exc:
        raise CliError(f"the pagewright extension module cannot be loaded: {exc}") from None
    return pagewright


def open_database(path: str) -> EseDatabase:
    """Open a database, turning the library's exceptions into one-line errors."""
    module = load_module()
    try:
        db: EseDatabase = module.EseDatabase(path)
    except FileNotFoundError as exc:
        raise CliError(str(exc)) from None
    except OSError as exc:
        raise CliError(f"{path}: {exc}") from None
    return db


def check_table(db: EseDatabase, name: str) -> None:
    """Raise a CliError naming the closest table names when `name` is not a table of `db`."""
    tables = db.get_tables()
    if name in tables:
        return
    folded = [t for t in tables if t.casefold() == name.casefold()]
    close = folded or difflib.get_close_matches(name, tables, n=3)
    hint = f" (did you mean {', '.join(repr(t) for t in close)}?)" if close else ""
    raise CliError(f"Table not found: {name}{hint}")


def write_text(text: str) -> None:
    sys.stdout.write(text)
    if not text.endswith("\n"):
        sys.stdout.write("\n")


def write_json(value: object) -> None:
    sys.stdout.write(json_text(value, indent=2) + "\n")


def export_file_name(table: str) -> str:
    """The file name export_all gives `table` (the library's rule)."""
    name: str = load_module().export_file_name(table)
    return name


class ByteSink(Protocol):
    def write(self, data: bytes, /) -> object: ...
    def flush(self) -> None: ...


def binary_stdout() -> ByteSink:
    """stdout for raw bytes (JSON Lines copied from an export file unchanged); its text layer is flushed."""
    sys.stdout.flush()
    buffer: ByteSink | None = getattr(sys.stdout, "buffer", None)
    return buffer if buffer is not None else _TextSink()


class _TextSink:
    """Writes bytes to a replaced, text-only stdout."""

    def write(self, data: bytes) -> None:
        sys.stdout.write(data.decode("utf-8", "replace"))

    def flush(self) -> None:
        sys.stdout.flush()


def count_lines(path: str) -> int:
    """Lines of the regular file at `path`: a link or a FIFO put there since the export is not followed."""
    fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    count = 0
    with open(fd, "rb") as handle:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return 0
        while chunk := handle.read(1 << 20):
            count += chunk.count(b"\n")
    return count


@contextlib.contextmanager
def sample_database() -> Iterator[str]:
    """Path of the sample database shipped with the package."""
    resource = resources.files("pagewright_cli").joinpath("data", "sample.edb")
    with resources.as_file(resource) as path:
        if not path.is_file():
            raise CliError(f"the bundled sample database is missing: {path}")
        yield str(path)


# info ------------------------------------------------------------------------------------------------------


def info_fields(db: EseDatabase) -> dict[str, Any]:
    try:
        header = read_header(db.path, db.page_size if db.header_source == "shadow" else 0)
        size = os.path.getsize(db.path)
    except (OSError, ValueError) as exc:
        raise CliError(f"{db.path}: cannot read the header: {exc}") from None
    return {
        "path": db.path,
        "size": size,
        "page_size": db.page_size,
        "total_pages": db.total_pages,
        "format_version": header.format_version,
        "format_revision": header.format_revision,
        "file_type": header.file_type,
        "file_type_name": header.file_type_name,
        "state": header.state,
        "state_name": header.state_name,
        "tables": len(db.get_tables()),
        "header_source": db.header_source,
    }


def show_info(db: EseDatabase) -> None:
    f = info_fields(db)
    size = f["size"]
    lines = [
        ("path", clean(f["path"])),
        ("size", f"{size} bytes" + (f" ({human_size(size)})" if size >= 1024 else "")),
        ("page size", str(f["page_size"])),
        ("total pages", str(f["total_pages"])),
        ("format", f"version 0x{f['format_version']:x}, revision 0x{f['format_revision']:x}"),
        ("file type", f"{f['file_type_name']} ({f['file_type']})"),
        ("state", f"{f['state_name']} ({f['state']})"),
        ("tables", str(f["tables"])),
    ]
    if f["header_source"] == "shadow":
        lines.append(("header", "read from the shadow copy (block 1): the primary header is damaged"))
    write_text("\n".join(f"{key + ':':<13}{value}" for key, value in lines))


def cmd_info(args: argparse.Namespace) -> int:
    db = open_database(args.db)
    if args.json:
        write_json(info_fields(db))
    else:
        show_info(db)
    return 0


# tables ----------------------------------------------------------------------------------------------------


def table_summaries(db: EseDatabase) -> list[dict[str, Any]]:
    """Name, column count and row count of every table; rows is None (with a warning on stderr) when the
    table cannot be read to its end."""
    out = []
    for name in db.get_tables():
        columns = len(db.get_table_schema(name))
        rows: int | None
        try:
            rows = len(db.read_table(name))
        except (OSError, ValueError) as exc:
            print(f"pagewright: warning: table {clean(name)}: {clean(str(exc))}", file=sys.stderr)
            rows = None
        out.append({"name": name, "columns": columns, "rows": rows})
    return out


def show_tables(db: EseDatabase) -> None:
    summaries = table_summaries(db)
    rows = [(s["name"], s["columns"], "?" if s["rows"] is None else s["rows"]) for s in summaries]
    write_text(render_table(("TABLE", "COLUMNS", "ROWS"), rows, right=(1, 2)))


def cmd_tables(args: argparse.Namespace) -> int:
    db = open_database(args.db)
    if args.json:
        write_json(table_summaries(db))
    else:
        show_tables(db)
    return 0


# schema ----------------------------------------------------------------------------------------------------


def cmd_schema(args: argparse.Namespace) -> int:
    db = open_database(args.db)
    check_table(db, args.table)
    columns = db.get_table_schema(args.table)
    if args.json:
        write_json(columns)
        return 0
    rows = [(c["id"], c["name"], c["type"], "yes" if c["nullable"] else "no") for c in columns]
    write_text(render_table(("ID", "NAME", "TYPE", "NULLABLE"), rows, right=(0,)))
    return 0


# dump ------------------------------------------------------------------------------------------------------


def cmd_dump(args: argparse.Namespace) -> int:
    db = open_database(args.db)
    check_table(db, args.table)
    if args.limit == 0:
        return 0
    with tempfile.TemporaryDirectory(prefix="pagewright-") as scratch:
        path = os.path.join(scratch, "table.jsonl")
        db.export_table(args.table, path)
        out = binary_stdout()
        # On a terminal, characters that could drive it are written as JSON escapes: the same JSON value.
        terminal = sys.stdout.isatty()
        with open(path, "rb") as handle:
            for number, line in enumerate(handle):
                if args.limit is not None and number >= args.limit:
                    break
                out.write(escape_unsafe_json(line.decode("utf-8", "replace")).encode() if terminal else line)
        out.flush()
    return 0


# export ----------------------------------------------------------------------------------------------------


class Progress:
    """One self-overwriting status line on stderr, shown only when stderr is a terminal."""

    def __init__(self, total: int) -> None:
        self.total = total
        self.enabled = sys.stderr.isatty()
        self.started = time.monotonic()

    def elapsed(self) -> float:
        return time.monotonic() - self.started

    def show(self, done: int, rows: int, current: str | None) -> None:
        if not self.enabled:
            return
        status = f"[{done}/{self.total}] {rows} rows, {self.elapsed():.1f}s"
        if current is not None:
            status += f"  {clean(current)}"
        sys.stderr.write("\r\x1b[K" + status)
        sys.stderr.flush()

    def close(self) -> None:
        if self.enabled:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()


def export_one(db: EseDatabase, name: str, outdir: str, fmt: str = "jsonl") -> tuple[str, int]:
    """Export table `name` to OUTDIR/<its file name>; returns (file name, rows written)."""
    file_name = formats.file_name(export_file_name(name), fmt)
    path = os.path.join(outdir, file_name)
    rows = formats.export_table(db, name, path, fmt)
    if rows is None:
        db.export_table(name, path)
        rows = count_lines(path)
    return file_name, rows


def export_tables(
    db: EseDatabase, outdir: str, names: Sequence[str], fmt: str = "jsonl"
) -> tuple[int, list[str], float]:
    """Export `names` to OUTDIR/<file name>.jsonl. A table that cannot be exported is reported on stderr and
    the others are still exported. Returns (rows written, names of the failed tables, seconds)."""
    try:
        os.makedirs(outdir, exist_ok=True)
    except OSError as exc:
        raise CliError(f"cannot create directory {outdir!r}: {exc.strerror or exc}") from None
    progress = Progress(len(names))
    rows = 0
    failed: list[str] = []
    try:
        for done, name in enumerate(names):
            progress.show(done, rows, name)
            try:
                rows += export_one(db, name, outdir, fmt)[
                    1
                ]  # only a table whose whole export succeeded counts
            except (OSError, ValueError) as exc:
                progress.close()
                print(f"pagewright: warning: table {clean(name)}: {clean(str(exc))}", file=sys.stderr)
                failed.append(name)
        progress.show(len(names), rows, None)
    finally:
        progress.close()
    return rows, failed, progress.elapsed()


def export_summary(
    names: Sequence[str], failed: Sequence[str], rows: int, outdir: str, seconds: float
) -> None:
    done = len(names) - len(failed)
    tables = f"{done} table" if done == 1 else f"{done} tables"
    write_text(f"exported {tables}, {rows} rows to {clean(outdir)} in {seconds:.2f}s")
    if failed:
        raise CliError(f"{len(failed)} of {len(names)} tables could not be exported")


def cmd_export(args: argparse.Namespace) -> int:
    fmt = getattr(args, "format", "jsonl")
    try:
        formats.check_available(fmt)
    except formats.FormatError as exc:
        raise CliError(str(exc)) from None
    if len(args.inputs) > 1 or os.path.isdir(args.inputs[0]):
        from .batch import export_batch

        if fmt != "jsonl":
            raise CliError(f"--format {fmt} exports one database at a time (several databases: jsonl only)")

        return export_batch(args.inputs, args.outdir, args.table, args.recursive, args.jobs)
    db = open_database(args.inputs[0])
    if args.table:
        names = list(dict.fromkeys(args.table))
        for name in names:
            check_table(db, name)
    else:
        names = db.get_tables()
    rows, failed, seconds = export_tables(db, args.outdir, names, fmt)
    export_summary(names, failed, rows, args.outdir, seconds)
    return 0


# carve -----------------------------------------------------------------------------------------------------


def carve(
    db: EseDatabase, scope: CarveScope, needle: str | None, min_chars: int, max_hits: int
) -> list[CarvedHit]:
    return db.carve_utf16le_strings_scoped(scope, needle, min_chars, max_hits)


def show_hits(db: EseDatabase, hits: Sequence[CarvedHit]) -> None:
    rows = [
        (
            h["page"],
            h["offset"],
            f"0x{(h['page'] + 1) * db.page_size + h['offset']:x}",
            h["region_kind"],
            h["page_type"],
            "-" if h["table"] is None else h["table"],
            h["text"],
        )
        for h in hits
    ]
    headers = ("PAGE", "OFFSET", "FILE OFFSET", "REGION", "PAGE TYPE", "TABLE", "TEXT")
    write_text(render_table(headers, rows, right=(0, 1, 2)))


def cmd_carve(args: argparse.Namespace) -> int:
    db = open_database(args.db)
    hits = carve(db, args.scope, args.needle, args.min_chars, args.max_hits)
    if args.json:
        for hit in hits:
            sys.stdout.write(json_text(hit) + "\n")
    elif hits:
        show_hits(db, hits)
    else:
        print("pagewright: no strings found", file=sys.stderr)
    if hits and len(hits) >= args.max_hits:
        print(f"pagewright: stopped after {len(hits)} hits (--max-hits)", file=sys.stderr)
    return 0


# demo ------------------------------------------------------------------------------------------------------


def cmd_demo(args: argparse.Namespace) -> int:
    with sample_database() as path:
        db = open_database(path)
        write_text(f"pagewright demo on the bundled sample database\n  SAMPLE = {path}")
        write_text("\n$ pagewright info SAMPLE")
        show_info(db)
        write_text("\n$ pagewright tables SAMPLE")
        show_tables(db)
        write_text(f"\n$ pagewright export SAMPLE {DEMO_DIR}")
        names = db.get_tables()
        rows, failed, seconds = export_tables(db, DEMO_DIR, names)
        export_summary(names, failed, rows, DEMO_DIR, seconds)
        for name in names:
            write_text(f"  {clean(os.path.join(DEMO_DIR, export_file_name(name)))}")
        write_text(f"\n$ pagewright carve SAMPLE --max-hits {DEMO_HITS}    # UTF-16LE strings in page slack")
        hits = carve(db, "slack", None, 6, DEMO_HITS)
        if hits:
            show_hits(db, hits)
        else:
            write_text("(no strings found)")
        write_text(
            "\nNext, try for example:\n"
            "  pagewright schema SAMPLE BrowserHistory\n"
            "  pagewright dump SAMPLE BrowserHistory --limit 3\n"
            "  pagewright carve SAMPLE --scope all --needle https"
        )
    return 0
