"""Export of many databases at once: `pagewright export A.edb B.dat DIR/ ... OUT [--recursive] [--jobs N]`.

Sources: every file named on the command line, and in each named directory the regular files whose header
holds the ESE signature (0x89ABCDEF at offset 4), whatever their name; subdirectories only with --recursive
(without it, how many were passed over is said). Inside a directory symbolic links are not followed (no
loops, no reading outside the tree); a linked directory can be named on the command line. An entry that
cannot be read is skipped with a warning, and the exit status is 1. One file reached by two paths is exported
once, under the path that sorts first.

Output: OUT/<folder>/<table file>, where <folder> is the database's file name escaped as table names are for
their files. Databases of one file name (compared as Windows and macOS volumes compare names: ignoring case
and Unicode normalisation) carry the parts of their paths that tell them apart: host1/SRUDB.dat and
host2/SRUDB.dat go to host1_SRUDB.dat/ and host2_SRUDB.dat/; names still alike get ~2, ~3, ... "manifest.json"
is taken by OUT/manifest.json, which lists every source, its folder, its tables with their rows (live and
deleted), damage and incomplete files, and the errors. It is written when the run ends, not when it is
interrupted.

Each database is exported by one of N worker processes (run_pool, which any per-database job can use). A
worker that dies (the kernel's out-of-memory killer, a crash) fails only the database it was exporting; a new
worker takes its place for the others.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import stat
import sys
import time
import unicodedata
from collections import deque
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from multiprocessing import get_context
from multiprocessing.connection import Connection, wait
from pathlib import Path
from typing import Any

from .commands import SIGNATURE, CliError, load_module, write_text
from .exporting import (
    ExportOptions,
    Progress,
    count_words,
    database_record,
    ensure_output_dir,
    export_table,
    file_names,
    needs_attention,
    strict_failure,
    summary_line,
    table_note,
)
from .formatting import clean, json_text, render_table

MANIFEST = "manifest.json"


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


def scan_directory(top: str, recursive: bool, found: list[str], skipped: list[Skipped]) -> int:
    """Adds the ESE files under `top` to `found`; returns the subdirectories passed over (not --recursive)."""
    pending, passed_over = [top], 0
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
                    else:
                        passed_over += 1
                elif entry.is_file(follow_symlinks=False) and has_ese_signature(entry.path):
                    found.append(entry.path)
            except OSError as exc:
                skipped.append(Skipped(entry.path, describe(exc)))
    return passed_over


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


def find_databases(inputs: Sequence[str], recursive: bool) -> tuple[list[str], list[Skipped], int]:
    """Named files as they are, and the ESE files of named directories; sorted, without repeats. Also the
    number of subdirectories passed over."""
    found: list[str] = []
    skipped: list[Skipped] = []
    passed_over = 0
    for path in inputs:
        if os.path.isdir(path):
            passed_over += scan_directory(path, recursive, found, skipped)
        else:
            found.append(path)
    skipped.sort(key=lambda s: s.path)
    return unique_sorted(found), skipped, passed_over


def fold(name: str) -> str:
    """A name as a volume that ignores case and Unicode normalisation compares it (as the library's rule)."""
    return unicodedata.normalize("NFD", unicodedata.normalize("NFD", name).casefold())


def distinguishing_labels(paths: Sequence[str]) -> list[str]:
    """Each path's file name; where several paths share one, preceded by the parts of their folders that
    differ between them ("host2_SRUDB.dat"), from the nearest folder outwards until they are told apart."""
    parents = [Path(os.path.abspath(p)).parent.parts[1:] for p in paths]
    bases = [os.path.basename(os.path.normpath(p)) or "database" for p in paths]
    labels = list(bases)
    groups: dict[str, list[int]] = {}
    for index, base in enumerate(bases):
        groups.setdefault(fold(base), []).append(index)
    for members in (m for m in groups.values() if len(m) > 1):

        def part(index: int, level: int) -> str:
            return parents[index][-level] if level <= len(parents[index]) else ""

        chosen: list[int] = []
        for level in range(1, max(len(parents[i]) for i in members) + 1):
            if len({fold(part(i, level)) for i in members}) > 1:
                chosen.append(level)
                named = {i: [part(i, lv) for lv in reversed(chosen)] for i in members}
                for i in members:
                    labels[i] = "_".join([p for p in named[i] if p] + [bases[i]])
                if len({fold(labels[i]) for i in members}) == len(members):
                    break
    return labels


def folder_names(paths: Sequence[str]) -> list[str]:
    """One output folder per database (see above): escaped, distinct, never the manifest's name."""
    names: list[str] = load_module().export_file_names(distinguishing_labels(paths), "", [MANIFEST])
    return names


# Worker processes ------------------------------------------------------------------------------------------


class PoolInterrupted(KeyboardInterrupt):
    """Ctrl-C during run_pool; `unfinished` holds the indexes of the tasks that did not end."""

    def __init__(self, unfinished: list[int]) -> None:
        super().__init__()
        self.unfinished = unfinished


def _stop_on_sigterm(signum: int, frame: object) -> None:
    raise KeyboardInterrupt  # the export in progress leaves its .partial file and the worker ends


def _serve(conn: Connection, job: Callable[..., Any]) -> None:
    """A worker: runs job(*args, progress=...) for each (index, args) it is sent, until None."""
    # Ctrl-C reaches the whole process group: the parent alone handles it and ends the workers with SIGTERM.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, _stop_on_sigterm)
    try:
        while (task := conn.recv()) is not None:
            index, args = task
            try:
                result = job(*args, progress=lambda rows: conn.send(("rows", rows)))
            except Exception as exc:  # a fault of the job's own: this task fails, the worker goes on
                conn.send(("failed", index, f"{type(exc).__name__}: {exc}"))
            else:
                conn.send(("done", index, result))
    except (KeyboardInterrupt, EOFError, BrokenPipeError):
        pass


def death(exitcode: int | None) -> str:
    if exitcode is not None and exitcode < 0:
        try:
            name = signal.Signals(-exitcode).name
        except ValueError:
            name = f"signal {-exitcode}"
        cause = " (as the kernel's out-of-memory killer does)" if -exitcode == signal.SIGKILL else ""
        return f"the worker process exporting it was killed by {name}{cause}"
    return f"the worker process exporting it ended with status {exitcode}"


class _Worker:
    def __init__(self, context: Any, job: Callable[..., Any]) -> None:
        self.conn, child = context.Pipe()
        self.process = context.Process(target=_serve, args=(child, job), daemon=True)
        self.process.start()
        child.close()
        self.task: int | None = None


def run_pool(
    job: Callable[..., Any],
    tasks: Sequence[tuple[Any, ...]],
    jobs: int,
    on_failure: Callable[[int, str], Any],
    on_event: Callable[[int, int], None] = lambda done, rows: None,
) -> list[Any]:
    """Runs job(*task, progress=callback) for every task in `jobs` worker processes and returns the results
    in task order. A task whose job raises, or whose worker dies, gets on_failure(index, reason); a dead
    worker is replaced, so the other tasks go on. `on_event(done, rows)` follows the progress (rows: what
    the jobs' progress callbacks report). Ctrl-C ends the workers (SIGTERM, then SIGKILL after a grace
    period) and raises PoolInterrupted."""
    context = get_context("fork")  # the command starts no thread of its own: forking here is safe
    results: list[Any] = [None] * len(tasks)
    pending = deque(range(len(tasks)))
    workers = [_Worker(context, job) for _ in range(max(1, min(jobs, len(tasks))))]
    done, rows = 0, 0

    def finish(worker: _Worker, index: int, result: Any) -> None:
        nonlocal done
        results[index] = result
        worker.task = None
        done += 1

    try:
        while True:
            for slot, worker in enumerate(workers):
                if worker.task is None and not worker.process.is_alive() and pending:
                    workers[slot] = worker = _Worker(context, job)
                if worker.task is None and pending:
                    worker.task = pending.popleft()
                    worker.conn.send((worker.task, tasks[worker.task]))
            busy = [w for w in workers if w.task is not None]
            if not busy:
                break
            wait([w.conn for w in busy] + [w.process.sentinel for w in busy], timeout=0.2)
            for worker in busy:
                try:
                    while worker.task is not None and worker.conn.poll():
                        message = worker.conn.recv()
                        if message[0] == "rows":
                            rows += message[1]
                        elif message[0] == "done":
                            finish(worker, message[1], message[2])
                        else:
                            finish(worker, message[1], on_failure(message[1], message[2]))
                except (EOFError, OSError):
                    pass  # the worker died: seen below
                if worker.task is not None and not worker.process.is_alive():
                    worker.process.join()
                    finish(worker, worker.task, on_failure(worker.task, death(worker.process.exitcode)))
            on_event(done, rows)
    except KeyboardInterrupt:
        unfinished = sorted([w.task for w in workers if w.task is not None] + list(pending))
        _end(workers)
        raise PoolInterrupted(unfinished) from None
    for worker in workers:
        with contextlib.suppress(OSError):  # a worker that died idle
            worker.conn.send(None)
    _end(workers, grace=5.0)
    return results


def _end(workers: Sequence[_Worker], grace: float = 10.0) -> None:
    """Ends the workers: SIGTERM (a worker's export then leaves its .partial file), SIGKILL after `grace`."""
    for worker in workers:
        if worker.process.is_alive():
            worker.process.terminate()
    deadline = time.monotonic() + grace
    for worker in workers:
        worker.process.join(max(0.0, deadline - time.monotonic()))
        if worker.process.is_alive():
            worker.process.kill()
            worker.process.join()


# One database, in a worker process -------------------------------------------------------------------------


def make_folder(path: str) -> None:
    """Create the database's folder; an existing one must be a directory, not a link to elsewhere."""
    try:
        os.mkdir(path)
    except FileExistsError:
        if not stat.S_ISDIR(os.lstat(path).st_mode):
            raise NotADirectoryError(f"{path} exists and is not a directory") from None


def export_database(
    source: str,
    outdir: str,
    folder: str,
    tables: Sequence[str] | None,
    options: ExportOptions,
    progress: Callable[[int], object] | None = None,
) -> dict[str, Any]:
    """Export the tables of `source` (all, or those of `tables` it has) into OUTDIR/FOLDER.
    Returns its manifest record; a table that fails is recorded and the others are still exported."""
    record = database_record(source, folder)
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
    for name, file in zip(names, file_names(names, options.suffix), strict=True):
        entry = export_table(db, name, target, file, options, folder=folder)
        if progress is not None:
            progress(entry["rows"] or 0)
        record["tables"].append(entry)
    return record


# The run ---------------------------------------------------------------------------------------------------


def write_manifest(outdir: str, manifest: dict[str, Any]) -> str:
    """OUTDIR/manifest.json, replaced in one step (a new file of a random name, then renamed)."""
    import tempfile

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


def show_attention(records: Sequence[dict[str, Any]]) -> None:
    """The tables that were damaged, failed or left incomplete, one line each."""
    rows = [
        (r["folder"], t["name"], table_note(t)) for r in records for t in r["tables"] if needs_attention(t)
    ]
    if rows:
        write_text(render_table(("FOLDER", "TABLE", "NOTE"), rows))


def interrupted_line(outdir: str, folders: Sequence[str], unfinished: Sequence[int]) -> str:
    """What an interrupted run left incomplete: the unfinished databases and their .partial files."""
    partial = sorted(
        os.path.join(folders[i], name)
        for i in unfinished
        if os.path.isdir(os.path.join(outdir, folders[i]))
        for name in os.listdir(os.path.join(outdir, folders[i]))
        if name.endswith(".partial")
    )
    left = f"; left incomplete: {', '.join(clean(p) for p in partial)}" if partial else ""
    return f"pagewright: interrupted: {count_words(len(unfinished), 'database')} not exported in full{left}"


def export_batch(
    inputs: Sequence[str],
    outdir: str,
    tables: Sequence[str] | None,
    recursive: bool,
    jobs: int,
    options: ExportOptions,
    args: argparse.Namespace | None = None,
) -> int:
    started = time.monotonic()
    sources, skipped, passed_over = find_databases(inputs, recursive)
    for entry in skipped:
        print(f"pagewright: warning: skipped {clean(entry.path)}: {clean(entry.error)}", file=sys.stderr)
    subdirectories = count_words(passed_over, "subdirectory", "subdirectories")
    if passed_over:
        print(f"pagewright: note: passed over {subdirectories} (--recursive searches them)", file=sys.stderr)
    if not sources:
        hint = f" (passed over {subdirectories}: --recursive searches them)" if passed_over else ""
        raise CliError(f"no ESE databases found in {', '.join(clean(p) for p in inputs)}{hint}")
    ensure_output_dir(outdir)
    folders = folder_names(sources)
    requested = list(dict.fromkeys(tables)) if tables else None
    progress = Progress(len(sources))
    tasks = [
        (source, outdir, folder, requested, options) for source, folder in zip(sources, folders, strict=True)
    ]
    try:
        records = run_pool(
            export_database,
            tasks,
            jobs or os.cpu_count() or 1,
            lambda index, reason: database_record(sources[index], folders[index], reason),
            lambda done, rows: progress.show(done, rows, None),
        )
    except PoolInterrupted as exc:
        progress.close()
        print(interrupted_line(outdir, folders, exc.unfinished), file=sys.stderr)
        raise
    progress.close()
    manifest = {
        "tables_requested": requested,
        "databases": records,
        "skipped": [{"path": s.path, "error": s.error} for s in skipped],
        "subdirectories_passed_over": passed_over,
    }
    manifest_path = write_manifest(outdir, manifest)

    entries = [t for r in records for t in r["tables"]]
    opened = sum(1 for r in records if r["error"] is None)
    count = f"{opened} database" if opened == len(records) else f"{opened} of {len(records)} database"
    count += "" if len(records) == 1 else "s"
    what = f"{count}, {count_words(sum(1 for t in entries if t['error'] is None), 'table')}"
    if args is not None and args.json:
        write_text(json_text(manifest, indent=2))
    else:
        show_attention(records)
        line = summary_line(entries, what, outdir, time.monotonic() - started)
        write_text(f"{line}; manifest: {clean(manifest_path)}")
    failed = [record for record in records if failures(record)]
    missing = not_found(records, requested)
    for line in [line for record in failed for line in failures(record)]:
        print(f"pagewright: warning: {clean(line)}", file=sys.stderr)
    parts = [f"{len(failed)} of {len(records)} databases could not be exported in full"] if failed else []
    parts += [f"table not found in any database: {', '.join(missing)}"] if missing else []
    parts += [f"{len(skipped)} entries could not be read"] if skipped else []
    if args is not None and args.strict and (why := strict_failure(entries)):
        parts.append(why)
    if parts:
        raise CliError("; ".join(parts))
    return 0
