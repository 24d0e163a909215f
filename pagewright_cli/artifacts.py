"""`pagewright srum|ual|webcache|bits DB|DIR ... [--table VIEW] [--format FMT] [--out DIR]`: the interpreters
of pagewright.artifacts on the command line.

Without --out the views are printed (an aligned table by default; jsonl; csv for one view). With --out each
view is written to DIR/<view>.<jsonl|csv|parquet>, batch by batch. Several databases, or directories
(searched for ESE files as `export` does, --recursive), need --out: each database goes to DIR/<folder>/
(the folders of `export`) by worker processes (--jobs), and DIR/manifest.json lists every source, its
views, files, rows and warnings. A file found in a directory that is not the artefact asked for is listed
and left out; one named on the command line is an error. Damage (a view read only in part, values the
reader could not give) is a warning and makes the exit status 1.
"""

from __future__ import annotations

import argparse
import datetime
import importlib
import os
import sys
import time
import warnings
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING, Any

from pagewright_artifacts import ArtifactError, ArtifactWarning

from . import batch, commands, exporting
from .commands import CliError, write_text
from .exporting import Progress
from .formatting import clean, json_text, plain, render_table

if TYPE_CHECKING:
    from pagewright import EseDatabase

ARTIFACTS = {
    "srum": "SRUM (SRUDB.dat): the extension tables by name, AppId/UserId resolved, instants typed",
    "ual": "User Access Logging (Current.mdb, {GUID}.mdb, SystemIdentity.mdb): clients per role and day",
    "webcache": "WebCache (WebCacheV01.dat): history, cache and cookies of every container in one view",
    "bits": "BITS (qmgr.db, Windows 10/11): jobs and files decoded from their blobs",
}
OUTPUT_FORMATS = ("table", "jsonl", "csv", "parquet")
CSV_GUARDED = ("=", "+", "-", "@", "\t", "\r")


def _jobs(text: str) -> int:
    if not text.isdigit():
        raise argparse.ArgumentTypeError(f"not a non-negative integer: {text!r}")
    return int(text)


def add_parsers(sub: Any) -> None:
    for name, text in ARTIFACTS.items():
        p = sub.add_parser(name, help=text, description=f"{text}. {__doc__.split(chr(10) * 2)[1]}")
        p.set_defaults(handler=run, artifact=name, usage_error=p.error)
        p.add_argument("paths", nargs="+", metavar="DB|DIR", help="databases and directories")
        p.add_argument("--table", action="append", metavar="VIEW", help="only this view (repeatable)")
        p.add_argument(
            "--format",
            choices=OUTPUT_FORMATS,
            help="table (default on the terminal), jsonl, "
            "csv (RFC 4180, CRLF) or parquet (with --out; field metadata kept)",
        )
        p.add_argument("--out", metavar="DIR", help="write one file per view into DIR")
        p.add_argument("--recursive", action="store_true", help="search the subdirectories of each DIR too")
        p.add_argument("--jobs", type=_jobs, default=0, metavar="N", help="worker processes (0: one per CPU)")


def _module(artifact: str) -> Any:
    interpreter = importlib.import_module(f"pagewright_artifacts.{artifact}")
    try:
        interpreter._base.arrow()
    except ImportError as exc:
        raise CliError(str(exc)) from None
    return interpreter


# Values as text -------------------------------------------------------------------------------------------


def _plain(value: object) -> object:
    if isinstance(value, datetime.date) and not isinstance(value, datetime.datetime):
        return value.isoformat()
    if isinstance(value, list):
        return [_plain(v) for v in value]
    return plain(value)


def _csv_cell(value: object) -> str:
    """RFC 4180: quoted when holding a comma, quote, CR or LF, or when empty text (a null is empty); text that
    a spreadsheet would run as a formula gets a leading '."""
    if value is None:
        return ""
    shown = _plain(value)
    if isinstance(shown, list):
        text = json_text(shown)
    elif isinstance(shown, bool):
        text = "true" if shown else "false"
    else:
        text = str(shown)
    if isinstance(value, str) and text.startswith(CSV_GUARDED):
        text = "'" + text
    if text == "" or any(c in text for c in ',"\r\n'):
        return '"' + text.replace('"', '""') + '"'
    return text


TABLE_BYTES = 24  # bytes of a binary value the table view shows; the file formats carry every byte


def _shown(value: object) -> str:
    if isinstance(value, bytes) and len(value) > TABLE_BYTES:
        return f"{value[:TABLE_BYTES].hex()}… ({len(value)} bytes)"
    shown = _plain(value)
    if shown is None:
        return ""
    return ", ".join(map(str, shown)) if isinstance(shown, list) else str(shown)


# Writing one view -----------------------------------------------------------------------------------------


def _lines(reader: Any, fmt: str) -> Iterator[str]:
    """The view as JSON Lines or CSV lines, one batch at a time."""
    names = reader.schema.names
    if fmt == "csv":
        yield ",".join(_csv_cell(n) for n in names) + "\r\n"
    for part in reader:
        for row in part.to_pylist():
            if fmt == "csv":
                yield ",".join(_csv_cell(row[n]) for n in names) + "\r\n"
            else:
                yield json_text({n: _plain(row[n]) for n in names}) + "\n"


def write_view(reader: Any, path: str, fmt: str) -> int:
    """The view into `path`, written as the exports write (under a temporary name, renamed into place once
    complete, else left as `path`.partial; a link there is refused); returns rows."""
    rows = 0
    if fmt == "parquet":
        pq = importlib.import_module("pyarrow.parquet")
        with exporting.replacing(path) as handle, pq.ParquetWriter(handle, reader.schema) as writer:
            for part in reader:
                writer.write_batch(part)
                rows += part.num_rows
        return rows
    with exporting.replacing(path, "w") as text:
        for line in _lines(reader, fmt):
            text.write(line)
            rows += 1
    return rows - (fmt == "csv")


def _print_view(reader: Any, fmt: str, title: str) -> int:
    if fmt != "table":
        count = 0
        for line in _lines(reader, fmt):
            sys.stdout.write(line)
            count += 1
        return count - (fmt == "csv")
    table = reader.read_all()
    rows = [[_shown(v) for v in row.values()] for row in table.to_pylist()]
    write_text(f"== {clean(title)} ({len(rows)} rows)")
    write_text(render_table(table.schema.names, rows) if rows else "(no rows)")
    return len(rows)


# One database ---------------------------------------------------------------------------------------------


def _views(module: Any, db: EseDatabase, wanted: Sequence[str] | None) -> list[str]:
    found = list(module.views(db))  # ArtifactError for a database of another kind
    return list(dict.fromkeys(wanted)) if wanted else found


def interpret(
    module: Any,
    db: EseDatabase,
    views: Sequence[str],
    fmt: str,
    outdir: str | None,
    counted: Callable[[int], None] | None = None,
) -> list[dict[str, Any]]:
    """Each view printed or written to OUTDIR/<view>.<fmt>: [{name, file, rows, warnings, error}]."""
    done = []
    for view in views:
        entry: dict[str, Any] = {"name": view, "file": None, "rows": None, "warnings": [], "error": None}
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                reader = module.read(db, view)
                if outdir is None:
                    entry["rows"] = _print_view(reader, fmt, view)
                else:
                    entry["file"] = commands.load_module().export_file_name(view, "." + fmt)
                    entry["rows"] = write_view(reader, os.path.join(outdir, entry["file"]), fmt)
            except BrokenPipeError:
                raise
            except (OSError, ValueError) as exc:
                entry["error"] = str(exc)
        entry["warnings"] = [str(w.message) for w in caught if issubclass(w.category, ArtifactWarning)]
        for other in (w for w in caught if not issubclass(w.category, ArtifactWarning)):
            warnings.warn_explicit(other.message, other.category, other.filename, other.lineno)
        if counted is not None and entry["rows"]:
            counted(entry["rows"])
        done.append(entry)
    return done


def _problems(source: str, entries: Sequence[dict[str, Any]]) -> list[str]:
    lines = [f"{source}: view {e['name']}: {e['error']}" for e in entries if e["error"]]
    return lines + [w for e in entries for w in e["warnings"]]


def _one(args: argparse.Namespace, module: Any, fmt: str) -> int:
    started = time.monotonic()
    path = args.paths[0]
    db = commands.open_database(path)
    try:
        views = _views(module, db, args.table)
    except ValueError as exc:
        raise CliError(str(exc)) from None
    commands.warn_if_dirty(db, path)
    if fmt == "csv" and args.out is None and len(views) > 1:
        raise CliError(
            f"--format csv prints one view (--table VIEW); these are {len(views)}: {', '.join(views)}"
        )
    if args.out is not None:
        exporting.ensure_output_dir(args.out)
    entries = interpret(module, db, views, fmt, args.out)
    problems = _problems(path, entries)
    for line in problems:
        print(f"pagewright: warning: {clean(line)}", file=sys.stderr)
    if args.out is not None:
        rows = sum(e["rows"] or 0 for e in entries)
        written = sum(1 for e in entries if e["error"] is None)
        write_text(
            f"wrote {written} views, {rows} rows to {clean(args.out)} in {time.monotonic() - started:.2f}s"
        )
    failed = [e for e in entries if e["error"]]
    if failed and len(failed) == len(entries):
        raise CliError(failed[0]["error"])
    return 1 if problems else 0


# Many databases -------------------------------------------------------------------------------------------


def _record(source: str, folder: str | None, error: str | None = None) -> dict[str, Any]:
    """A database's manifest record: its views, whether it is another kind of database, its dirty line."""
    record: dict[str, Any] = {"source": source, "folder": folder, "error": error, "views": []}
    record.update(not_artifact=False, dirty=None)
    return record


def interpret_database(
    artifact: str,
    source: str,
    outdir: str,
    folder: str,
    wanted: Sequence[str] | None,
    fmt: str,
    named: bool,
    progress: Callable[[int], None] | None = None,
) -> dict[str, Any]:
    """One database into OUTDIR/FOLDER, in a worker process: its manifest record."""
    module = _module(artifact)
    record = _record(source, folder)
    try:
        db = commands.load_module().EseDatabase(source)
        record["dirty"] = commands.dirty_line(db, source)
        views = _views(module, db, wanted)
        target = os.path.join(outdir, folder)
        batch.make_folder(target)
    except ArtifactError as exc:
        record.update(error=str(exc), not_artifact=not named, folder=None)
        return record
    except (OSError, ValueError) as exc:
        record["error"] = str(exc)
        return record
    record["views"] = interpret(module, db, views, fmt, target, progress)
    for entry in record["views"]:
        if entry["file"]:
            entry["file"] = f"{folder}/{entry['file']}"
    return record


def _run_pool(
    args: argparse.Namespace, sources: Sequence[str], folders: Sequence[str], named: set[str], fmt: str
) -> list[dict[str, Any]]:
    """interpret_database over the sources in the worker processes of batch.py's export (a worker that dies
    fails only its database)."""
    progress = Progress(len(sources))
    tasks = [
        (args.artifact, source, args.out, folder, args.table, fmt, os.path.abspath(source) in named)
        for source, folder in zip(sources, folders, strict=True)
    ]
    try:
        return batch.run_pool(
            interpret_database,
            tasks,
            args.jobs or os.cpu_count() or 1,
            lambda index, reason: _record(sources[index], folders[index], reason),
            lambda done, rows: progress.show(done, rows, None),
        )
    finally:
        progress.close()


def _many(args: argparse.Namespace, fmt: str) -> int:
    started = time.monotonic()
    if args.out is None:
        args.usage_error("several databases or a directory need --out DIR")
    sources, skipped, _ = batch.find_databases(args.paths, args.recursive)
    for entry in skipped:
        print(f"pagewright: warning: skipped {clean(entry.path)}: {clean(entry.error)}", file=sys.stderr)
    if not sources:
        raise CliError(f"no ESE databases found in {', '.join(clean(p) for p in args.paths)}")
    exporting.ensure_output_dir(args.out)
    named = {os.path.abspath(p) for p in args.paths if not os.path.isdir(p)}
    records = _run_pool(args, sources, batch.folder_names(sources), named, fmt)
    manifest = {
        "artifact": args.artifact,
        "views_requested": args.table,
        "databases": records,
        "skipped": [{"path": s.path, "error": s.error} for s in skipped],
    }
    manifest_path = batch.write_manifest(args.out, manifest)
    problems: list[str] = []
    for record in records:
        if record.get("dirty"):
            print(f"pagewright: warning: {clean(record['dirty'])}", file=sys.stderr)
        if record["error"] and not record.get("not_artifact"):
            problems.append(f"{record['source']}: {record['error']}")
        problems += _problems(record["source"], record.get("views", []))
    for line in problems:
        print(f"pagewright: warning: {clean(line)}", file=sys.stderr)
    read = [r for r in records if r["error"] is None]
    rows = sum(e["rows"] or 0 for r in read for e in r["views"])
    others = len(records) - len(read) - sum(1 for r in records if r["error"] and not r.get("not_artifact"))
    write_text(
        f"read {len(read)} {args.artifact} databases ({others} other ESE files left out), {rows} rows to "
        f"{clean(args.out)} in {time.monotonic() - started:.2f}s; manifest: {clean(manifest_path)}"
    )
    return 1 if problems or skipped else 0


def run(args: argparse.Namespace) -> int:
    module = _module(args.artifact)
    fmt = args.format or ("jsonl" if args.out else "table")
    if fmt == "table" and args.out is not None:
        args.usage_error("--format table prints to the terminal: with --out choose jsonl, csv or parquet")
    if fmt == "parquet":
        exporting.check_available(fmt)
        if args.out is None:
            args.usage_error("--format parquet writes files: give --out DIR")
    if len(args.paths) > 1 or os.path.isdir(args.paths[0]):
        return _many(args, fmt)
    return _one(args, module, fmt)
