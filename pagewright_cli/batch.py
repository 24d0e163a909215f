"""Export of many databases at once: `pagewright export A.edb B.dat DIR/ ... OUT [--recursive] [--jobs N]`.

Sources: every file named on the command line, and in each named directory the regular files whose header
holds the ESE signature (0x89ABCDEF at offset 4), whatever their name; subdirectories only with --recursive.
Inside a directory symbolic links are not followed (no loops, no reading outside the tree); a linked directory
can be named on the command line. An entry that cannot be read is skipped with a warning, and the exit status
is 1. One file reached by two paths is exported once, under the path that sorts first.

Output: OUT/<folder>/<table file>, where <folder> is the database's file name escaped as table names are for
their files (export_file_name without ".jsonl"). Databases of one file name get <name>, <name>~2, <name>~3,
... in sorted path order; names are compared case-insensitively (OUT may be on such a file system) and
"manifest.json" is taken by OUT/manifest.json, which lists every source, its folder, its tables with their
rows, and the errors. It is written when the run ends, not when it is interrupted.

Each database is exported by one of N worker processes, forked before the pool starts any thread of its own
(with the fork method the pool launches every worker first): no worker pays a fresh interpreter's start.
A database that cannot be opened or whose table fails is reported at the end; the others are exported.
"""

from __future__ import annotations

import os
import signal
import stat
import sys
import tempfile
import time
from collections.abc import Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from dataclasses import dataclass
from multiprocessing import get_context
from multiprocessing.queues import Queue
from typing import Any

from .commands import (
    SIGNATURE,
    CliError,
    Progress,
    ensure_output_dir,
    export_file_name,
    export_one,
    load_module,
    write_text,
)
from .formatting import clean, json_text

MANIFEST = "manifest.json"
TABLE_SUFFIX = ".jsonl"


@dataclass(frozen=True)
class Skipped:
    path: str
    error: str


def describe(exc: OSError) -> str:
    return exc.strerror or str(exc)


# Finding the databases -------------------------------------------------------------------------------------


def has_ese_signature(path: str) -> bool:
    """Whether `path` is a regular file (not a link) whose first 8 bytes end in the ESE signature."""
    fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    with open(fd, "rb") as handle:
        return stat.S_ISREG(os.fstat(fd).st_mode) and handle.read(8)[4:8] == SIGNATURE


def scan_directory(top: str, recursive: bool, found: list[str], skipped: list[Skipped]) -> None:
    pending = [top]
    while pending:
        folder = pending.pop()
        try:
            with os.scandir(folder) as listing:
                entries = list(listing)
        except OSError as exc:
            skipped.append(Skipped(folder, describe(exc)))
            continue
        for entry in entries:
            try:
                if entry.is_dir(follow_symlinks=False):
                    if recursive:
                        pending.append(entry.path)
                elif entry.is_file(follow_symlinks=False) and has_ese_signature(entry.path):
                    found.append(entry.path)
            except OSError as exc:
                skipped.append(Skipped(entry.path, describe(exc)))


def unique_sorted(paths: list[str]) -> list[str]:
    """`paths` sorted, each file once (by device and inode; a path that cannot be examined stays)."""
    seen: set[object] = set()
    out = []
    for path in sorted(paths):
        try:
            info = os.stat(path)
            key: object = (info.st_dev, info.st_ino)
        except OSError:
            key = path  # the export reports why it cannot be opened
        if key not in seen:
            seen.add(key)
            out.append(path)
    return out


def find_databases(inputs: Sequence[str], recursive: bool) -> tuple[list[str], list[Skipped]]:
    """Named files as they are, and the ESE files of named directories; sorted, without repeats."""
    found: list[str] = []
    skipped: list[Skipped] = []
    for path in inputs:
        if os.path.isdir(path):
            scan_directory(path, recursive, found, skipped)
        else:
            found.append(path)
    skipped.sort(key=lambda s: s.path)
    return unique_sorted(found), skipped


def folder_names(paths: Sequence[str]) -> list[str]:
    """One output folder per database: its escaped file name, then ~2, ~3, ... for repeats (see above)."""
    used = {MANIFEST.casefold()}
    out = []
    for path in paths:
        base = export_file_name(os.path.basename(os.path.normpath(path)))[: -len(TABLE_SUFFIX)] or "database"
        name, number = base, 1
        while name.casefold() in used:
            number += 1
            name = f"{base}~{number}"
        used.add(name.casefold())
        out.append(name)
    return out


# One database, in a worker process -------------------------------------------------------------------------

_progress: Queue[int] | None = None


def start_worker(progress: Queue[int]) -> None:
    # Ctrl-C reaches the whole process group: the parent alone handles it and ends the workers.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    global _progress
    _progress = progress


def make_folder(path: str) -> None:
    """Create the database's folder; an existing one must be a directory, not a link to elsewhere."""
    try:
        os.mkdir(path)
    except FileExistsError:
        if not stat.S_ISDIR(os.lstat(path).st_mode):
            raise NotADirectoryError(f"{path} exists and is not a directory") from None


def new_record(source: str, folder: str, error: str | None = None) -> dict[str, Any]:
    """A database's entry in the manifest; "rows" of a table count only a table exported in full."""
    return {"source": source, "folder": folder, "error": error, "tables": [], "missing_tables": []}


def export_database(
    source: str, outdir: str, folder: str, tables: Sequence[str] | None, typed: bool = False
) -> dict[str, Any]:
    """Export the tables of `source` (all, or those of `tables` it has) into OUTDIR/FOLDER.
    Returns its manifest record; a table that fails is recorded and the others are still exported."""
    record = new_record(source, folder)
    try:
        db = load_module().EseDatabase(source)
        names: list[str] = db.get_tables()
        if tables is not None:
            record["missing_tables"] = [t for t in tables if t not in names]
            names = [t for t in tables if t in names]
        target = os.path.join(outdir, folder)
        make_folder(target)
    except (OSError, ValueError) as exc:
        record["error"] = str(exc)
        return record
    for name in names:
        entry: dict[str, Any] = {"name": name, "file": None, "rows": None, "error": None}
        try:
            file_name, rows = export_one(db, name, target, typed=typed)
            entry.update(file=f"{folder}/{file_name}", rows=rows)
            if _progress is not None:
                _progress.put(rows)
        except (OSError, ValueError) as exc:
            entry["error"] = str(exc)
        record["tables"].append(entry)
    return record


# The run ---------------------------------------------------------------------------------------------------


def result_of(future: Future[dict[str, Any]], source: str, folder: str) -> dict[str, Any]:
    try:
        return future.result()
    except Exception as exc:  # a worker that died, or a fault of ours: this database fails, not the run
        return new_record(source, folder, f"{type(exc).__name__}: {exc}")


def stop_workers(executor: ProcessPoolExecutor) -> None:
    for process in list((getattr(executor, "_processes", None) or {}).values()):
        process.terminate()
    executor.shutdown(wait=False, cancel_futures=True)


def run_workers(
    sources: Sequence[str],
    folders: Sequence[str],
    outdir: str,
    tables: Sequence[str] | None,
    jobs: int,
    typed: bool = False,
) -> list[dict[str, Any]]:
    context = get_context("fork")  # the command has started no thread: forking here is safe
    queue: Queue[int] = context.Queue()
    progress = Progress(len(sources))
    rows, done = 0, 0
    records: list[dict[str, Any] | None] = [None] * len(sources)
    executor = ProcessPoolExecutor(jobs, mp_context=context, initializer=start_worker, initargs=(queue,))
    try:
        futures = {
            executor.submit(export_database, source, outdir, folder, tables, typed): index
            for index, (source, folder) in enumerate(zip(sources, folders, strict=True))
        }
        pending: set[Future[dict[str, Any]]] = set(futures)
        progress.show(0, 0, None)
        while pending:
            finished, pending = wait(pending, timeout=0.1, return_when=FIRST_COMPLETED)
            for future in finished:
                index = futures[future]
                records[index] = result_of(future, sources[index], folders[index])
                done += 1
            while not queue.empty():
                rows += queue.get()
            progress.show(done, rows, None)
    except BaseException:
        stop_workers(executor)
        raise
    finally:
        progress.close()
    executor.shutdown()
    return [record for record in records if record is not None]


def write_manifest(outdir: str, manifest: dict[str, Any]) -> str:
    """OUTDIR/manifest.json, replaced in one step (a new file of a random name, then renamed)."""
    path = os.path.join(outdir, MANIFEST)
    with tempfile.NamedTemporaryFile("w", encoding="utf-8", dir=outdir, suffix=".tmp", delete=False) as out:
        out.write(json_text(manifest, indent=2) + "\n")
    os.replace(out.name, path)
    return path


def failures(record: dict[str, Any]) -> list[str]:
    """The errors of one database: it could not be opened, or some of its tables failed."""
    source = record["source"]
    lines = [f"{source}: {record['error']}"] if record["error"] is not None else []
    return lines + [f"{source}: table {t['name']}: {t['error']}" for t in record["tables"] if t["error"]]


def not_found(records: Sequence[dict[str, Any]], tables: Sequence[str] | None) -> list[str]:
    """The requested tables that no opened database has (a database may lack some: machines differ)."""
    opened = [r for r in records if r["error"] is None]
    return [name for name in tables or () if opened and all(name in r["missing_tables"] for r in opened)]


def export_batch(
    inputs: Sequence[str],
    outdir: str,
    tables: Sequence[str] | None,
    recursive: bool,
    jobs: int,
    typed: bool = False,
) -> int:
    started = time.monotonic()
    sources, skipped = find_databases(inputs, recursive)
    for entry in skipped:
        print(f"pagewright: warning: skipped {clean(entry.path)}: {clean(entry.error)}", file=sys.stderr)
    if not sources:
        raise CliError(f"no ESE databases found in {', '.join(clean(p) for p in inputs)}")
    ensure_output_dir(outdir)
    folders = folder_names(sources)
    requested = list(dict.fromkeys(tables)) if tables else None
    workers = min(jobs or os.cpu_count() or 1, len(sources))
    records = run_workers(sources, folders, outdir, requested, workers, typed)
    manifest = {
        "tables_requested": requested,
        "databases": records,
        "skipped": [{"path": s.path, "error": s.error} for s in skipped],
    }
    manifest_path = write_manifest(outdir, manifest)

    exported = [t for r in records for t in r["tables"] if t["error"] is None]
    rows = sum(t["rows"] for t in exported)
    opened = sum(1 for r in records if r["error"] is None)
    count = f"{opened} database" if opened == len(records) else f"{opened} of {len(records)} database"
    count += "" if len(records) == 1 else "s"
    write_text(
        f"exported {count}, {len(exported)} tables, {rows} rows to {clean(outdir)} in "
        f"{time.monotonic() - started:.2f}s; manifest: {clean(manifest_path)}"
    )
    failed = [record for record in records if failures(record)]
    missing = not_found(records, requested)
    for line in [line for record in failed for line in failures(record)]:
        print(f"pagewright: warning: {clean(line)}", file=sys.stderr)
    parts = [f"{len(failed)} of {len(records)} databases could not be exported in full"] if failed else []
    parts += [f"table not found in any database: {', '.join(missing)}"] if missing else []
    parts += [f"{len(skipped)} entries could not be read"] if skipped else []
    if parts:
        raise CliError("; ".join(parts))
    return 0
