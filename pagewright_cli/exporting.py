"""`pagewright export` of one database: the options every export shares, one table's export and its record,
the progress line, the summary (text, or JSON with --json) and --strict.

Every table goes through EseDatabase.export_rows (JSON Lines, CSV and Parquet alike): the file is written
under a temporary name and renamed into place once complete, so an interrupted or failed table leaves
<file>.partial, never a file that looks complete. A table's record (the summary's row, the manifest's entry)
holds its rows (live and deleted), the deleted entries left out, its damage (what the walk passed over, long
values that no long value answers, values without a form of their column's type) and what it left incomplete.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import os
import sys
import tempfile
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import IO, TYPE_CHECKING, Any, cast

from .commands import CliError
from .formatting import clean, json_text, render_table

if TYPE_CHECKING:
    from pagewright import DeletedMode, EseDatabase, ExportFormat, TimestampReading

FORMATS = ("jsonl", "csv", "parquet")
READINGS = ("ole", "filetime", "unix", "raw")
DELETED_MODES = ("exclude", "only", "include")
WALK_COUNTS = ("bad_entries", "overlapping_entries", "foreign_pages", "loops", "unreadable_pages")
VALUE_COUNTS = ("missing_long_values", "unreadable_values")
DAMAGE_COUNTS = WALK_COUNTS + VALUE_COUNTS


@dataclass(frozen=True)
class ExportOptions:
    """What every table of a run is exported with (picklable: worker processes get it)."""

    fmt: ExportFormat = "jsonl"
    typed: bool = True
    deleted: DeletedMode = "exclude"
    timestamps: dict[str, TimestampReading] = field(default_factory=dict)
    escape_formulas: bool = True

    @property
    def suffix(self) -> str:
        return "." + self.fmt


def options_of(args: argparse.Namespace) -> ExportOptions:
    return ExportOptions(
        fmt=getattr(args, "format", "jsonl"),
        typed=not getattr(args, "raw", False),
        deleted=getattr(args, "deleted", "exclude"),
        timestamps=timestamp_readings(getattr(args, "timestamps", None) or []),
        escape_formulas=not getattr(args, "raw_formulas", False),
    )


def timestamp_readings(values: Sequence[str]) -> dict[str, TimestampReading]:
    """--timestamps COL=READING, repeated: {column: reading}."""
    readings: dict[str, TimestampReading] = {}
    for value in values:
        column, sep, reading = value.rpartition("=")
        if not sep or not column or reading not in READINGS:
            raise CliError(
                f"--timestamps {value!r}: expected COLUMN=READING, READING one of {', '.join(READINGS)}"
            )
        readings[column] = cast("TimestampReading", reading)
    return readings


@contextlib.contextmanager
def replacing(path: str, mode: str = "wb") -> Iterator[IO[Any]]:
    """A file for writing `path` as the exports write theirs: under a temporary name beside it, renamed to
    `path` when the block ends, kept as `path`.partial when it ends with an exception (a link or anything but
    a regular file at `path` is refused)."""
    from pagewright_parquet import create_temporary, keep_partial

    fd, temp = create_temporary(path)
    try:
        text = "b" not in mode
        with open(fd, mode, encoding="utf-8" if text else None, newline="" if text else None) as handle:
            yield handle
        os.replace(temp, path)
    except BaseException:
        keep_partial(temp, path)
        raise


def check_available(fmt: str) -> None:
    """Fails before any file is written when the format's writer is missing (Parquet without pyarrow)."""
    if fmt == "parquet":
        from pagewright_parquet import MISSING_PYARROW

        try:
            importlib.import_module("pyarrow.parquet")
        except ImportError:
            raise CliError(MISSING_PYARROW) from None


def table_readings(
    db: EseDatabase, name: str, readings: dict[str, TimestampReading]
) -> dict[str, TimestampReading]:
    """The --timestamps readings of the columns table `name` has (a column is named by its name, or by
    name#id where several share the name)."""
    if not readings:
        return {}
    columns = db.table(name).columns
    keys = {c.name for c in columns} | {f"{c.name}#{c.id}" for c in columns}
    return {column: reading for column, reading in readings.items() if column in keys}


# One table ------------------------------------------------------------------------------------------------


def new_entry(name: str) -> dict[str, Any]:
    """A table's record; "rows", "live" and "deleted" count only a table exported in full."""
    return {
        "name": name,
        "file": None,
        "rows": None,
        "live": None,
        "deleted": None,
        "deleted_left_out": None,
        "damage": None,
        "damage_by_column": None,
        "partial": None,
        "error": None,
    }


def note_damage(entry: dict[str, Any], report: dict[str, Any]) -> None:
    """The damage counts of export_rows' report, in the entry (None for a sound table)."""
    by_column = {key: dict(report.get(key) or {}) for key in VALUE_COUNTS}
    counts = {key: int(report.get(key) or 0) for key in WALK_COUNTS}
    counts.update((key, sum(by_column[key].values())) for key in VALUE_COUNTS)
    entry["damage"] = counts if any(counts.values()) else None
    entry["damage_by_column"] = by_column if any(by_column.values()) else None


def export_table(
    db: EseDatabase,
    name: str,
    outdir: str,
    file_name: str,
    options: ExportOptions,
    progress: Callable[[int], object] | None = None,
    folder: str = "",
) -> dict[str, Any]:
    """Exports table `name` to OUTDIR/FILE_NAME and returns its record (files named relative to OUTDIR's
    parent run: FOLDER/FILE_NAME). A failure is recorded; Ctrl-C is raised after the record notes the partial
    file, as `interrupted.entry` of the KeyboardInterrupt."""
    entry = new_entry(name)
    report: dict[str, Any] = {}
    shown = f"{folder}/{file_name}" if folder else file_name
    try:
        rows = db.export_rows(
            name,
            os.path.join(outdir, file_name),
            typed=options.typed,
            progress=progress,
            format=options.fmt,
            deleted=options.deleted,
            timestamps=table_readings(db, name, options.timestamps),
            escape_formulas=options.escape_formulas,
            report=report,
        )
        entry.update(file=shown, rows=rows, live=report.get("live"), deleted=report.get("deleted"))
    except KeyboardInterrupt as exc:
        entry["partial"] = _partial(report, outdir, shown)
        exc.entry = entry  # type: ignore[attr-defined]
        raise
    except (OSError, ValueError, ImportError) as exc:
        entry["error"] = str(exc)
        entry["partial"] = _partial(report, outdir, shown)
    entry["deleted_left_out"] = report.get("deleted_left_out")
    note_damage(entry, report)
    return entry


def _partial(report: dict[str, Any], outdir: str, shown: str) -> str | None:
    """The incomplete file export_rows left, named as the record names files."""
    partial = report.get("partial")
    if partial is None:
        return None
    inside = os.path.relpath(partial, outdir)
    return os.path.join(os.path.dirname(shown), inside) if not inside.startswith("..") else partial


def damage_words(entry: dict[str, Any]) -> str:
    """The damage as `tables` words it ("damaged: bad entries 3, ..."); "" for a sound table."""
    damage = entry.get("damage")
    if not damage:
        return ""
    return "damaged: " + ", ".join(f"{key.replace('_', ' ')} {n}" for key, n in damage.items() if n)


def needs_attention(entry: dict[str, Any]) -> bool:
    """A table that --strict fails for: damaged, failed or left incomplete."""
    return bool(entry["damage"] or entry["error"] or entry["partial"])


# The progress line ----------------------------------------------------------------------------------------


class Progress:
    """One self-overwriting status line on stderr, shown only when stderr is a terminal."""

    def __init__(self, total: int) -> None:
        self.total = total
        self.enabled = sys.stderr.isatty()
        self.started = time.monotonic()

    def elapsed(self) -> float:
        return time.monotonic() - self.started

    def show(
        self,
        done: int,
        rows: int,
        current: str | None,
        table_rows: int | None = None,
        count: int | None = None,
    ) -> None:
        """`done` of the total finished, `rows` in all; within `current`, `table_rows` of its `count` rows."""
        if not self.enabled:
            return
        elapsed = self.elapsed()
        rate = f", {rows / elapsed:.0f} rows/s" if rows and elapsed > 0 else ""
        status = f"[{done}/{self.total}] {rows} rows{rate}, {elapsed:.1f}s"
        if current is not None:
            status += f"  {clean(current)}"
            if table_rows is not None:
                status += f" {table_rows}/{'?' if count is None else count}"
        sys.stderr.write("\r\x1b[K" + status)
        sys.stderr.flush()

    def within(self, done: int, rows: int, name: str, count: int | None) -> Callable[[int], None]:
        """The progress callback of table `name` of `count` rows, after `done` tables of `rows` rows."""
        return lambda table_rows: self.show(done, rows + table_rows, name, table_rows, count)

    def close(self) -> None:
        if self.enabled:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()


# One database ---------------------------------------------------------------------------------------------


def ensure_output_dir(outdir: str) -> None:
    """Create OUTDIR and make sure a file can be created in it: one error rather than one per table."""
    try:
        os.makedirs(outdir, exist_ok=True)
    except OSError as exc:
        raise CliError(f"cannot create directory {outdir!r}: {exc.strerror or exc}") from None
    try:
        fd, probe = tempfile.mkstemp(prefix=".pagewright-", suffix=".tmp", dir=outdir)
    except OSError as exc:
        raise CliError(f"cannot write to directory {outdir!r}: {exc.strerror or exc}") from None
    os.close(fd)
    os.unlink(probe)


def file_names(names: Sequence[str], suffix: str) -> list[str]:
    """The files of `names` in one directory (the library's rule: escaped, kept apart on volumes that ignore
    case or Unicode normalisation)."""
    import pagewright

    names_in_dir: list[str] = pagewright.export_file_names(names, suffix)
    return names_in_dir


def _count(db: EseDatabase, name: str) -> int | None:
    try:
        return db.table(name).count()
    except (OSError, ValueError):
        return None  # the export reports why


def export_tables(
    db: EseDatabase, outdir: str, names: Sequence[str], options: ExportOptions
) -> tuple[list[dict[str, Any]], float]:
    """Export `names` into OUTDIR; returns their records and the seconds taken. A table that cannot be
    exported is reported on stderr and the others are still exported. Ctrl-C prints one line naming what it
    left incomplete and is raised again."""
    ensure_output_dir(outdir)
    progress = Progress(len(names))
    entries: list[dict[str, Any]] = []
    rows = 0
    try:
        for done, (name, file) in enumerate(zip(names, file_names(names, options.suffix), strict=True)):
            progress.show(done, rows, name)
            show = progress.within(done, rows, name, _count(db, name) if progress.enabled else None)
            try:
                entry = export_table(db, name, outdir, file, options, show)
            except KeyboardInterrupt as exc:
                progress.close()
                left = getattr(exc, "entry", {}).get("partial")
                where = (
                    f"{clean(os.path.join(outdir, left))} left incomplete"
                    if left
                    else "no file left incomplete"
                )
                print(f"pagewright: interrupted in table {clean(name)}: {where}", file=sys.stderr)
                raise
            entries.append(entry)
            rows += entry["rows"] or 0
            if entry["error"] is not None:
                progress.close()
                print(f"pagewright: warning: table {clean(name)}: {clean(entry['error'])}", file=sys.stderr)
        progress.show(len(names), rows, None)
    finally:
        progress.close()
    return entries, progress.elapsed()


def totals(entries: Sequence[dict[str, Any]]) -> dict[str, int]:
    """Rows, live, deleted and deleted left out over the tables exported in full."""
    done = [e for e in entries if e["error"] is None]
    return {key: sum(e[key] or 0 for e in done) for key in ("rows", "live", "deleted", "deleted_left_out")}


def count_words(count: int, word: str, plural: str | None = None) -> str:
    return f"{count} {word}" if count == 1 else f"{count} {plural or word + 's'}"


def summary_line(entries: Sequence[dict[str, Any]], what: str, outdir: str, seconds: float) -> str:
    """'exported 3 tables, 12 rows (11 live, 1 deleted) to OUT in 0.01s[; 2 deleted rows left out ...]'."""
    sums = totals(entries)
    line = (
        f"exported {what}, {sums['rows']} rows ({sums['live']} live, {sums['deleted']} deleted) "
        f"to {clean(outdir)} in {seconds:.2f}s"
    )
    if sums["deleted_left_out"]:
        line += (
            f"; {count_words(sums['deleted_left_out'], 'entry', 'entries')} flagged deleted left out "
            "(--deleted include exports them, marked)"
        )
    return line


def table_note(entry: dict[str, Any]) -> str:
    if entry["partial"] is not None:
        return f"incomplete: {entry['partial']}"
    if entry["error"] is not None:
        return "failed"
    return damage_words(entry)


def show_summary(entries: Sequence[dict[str, Any]], outdir: str, seconds: float) -> None:
    """The per-table table (rows, live, deleted, damage or what was left incomplete), then the totals."""
    rows: list[tuple[object, ...]] = [
        (e["name"], *("-" if e[k] is None else e[k] for k in ("rows", "live", "deleted")), table_note(e))
        for e in entries
    ]
    headers: tuple[str, ...] = ("TABLE", "ROWS", "LIVE", "DELETED", "NOTE")
    if not any(row[-1] for row in rows):
        headers, rows = headers[:-1], [row[:-1] for row in rows]
    done = sum(1 for e in entries if e["error"] is None)
    what = count_words(done, "table")
    text = render_table(headers, rows, right=(1, 2, 3)) + "\n" if entries else ""
    sys.stdout.write(text + summary_line(entries, what, outdir, seconds) + "\n")


def database_record(source: str, folder: str, error: str | None = None) -> dict[str, Any]:
    """A database's entry in the manifest (and in --json)."""
    return {"source": source, "folder": folder, "error": error, "tables": [], "missing_tables": []}


def strict_failure(entries: Sequence[dict[str, Any]]) -> str | None:
    """--strict: why the run fails although every table was written (damage found)."""
    damaged = [e for e in entries if e["damage"]]
    if not damaged:
        return None
    return f"{count_words(len(damaged), 'table')} damaged (--strict)"


def run_single(
    db: EseDatabase,
    source: str,
    outdir: str,
    names: Sequence[str],
    options: ExportOptions,
    as_json: bool,
    requested: Sequence[str] | None = None,
) -> list[dict[str, Any]]:
    """Exports one database into OUTDIR and prints the summary (text, or the manifest's form with --json)."""
    entries, seconds = export_tables(db, outdir, names, options)
    if as_json:
        record = database_record(source, "")
        record["tables"] = entries
        manifest = {
            "tables_requested": None if requested is None else list(requested),
            "databases": [record],
            "skipped": [],
            "seconds": round(seconds, 3),
        }
        sys.stdout.write(json_text(manifest, indent=2) + "\n")
    else:
        show_summary(entries, outdir, seconds)
    return entries
