"""The subcommands of `pagewright`. Each takes the parsed arguments and returns the exit status."""

from __future__ import annotations

import argparse
import contextlib
import difflib
import itertools
import os
import re
import sys
from collections.abc import Iterator, Sequence
from importlib import resources
from typing import TYPE_CHECKING, Any, Protocol

from .formatting import clean, escape_unsafe_json, human_size, json_text, plain, render_table

if TYPE_CHECKING:
    from pagewright import (
        CarvedHit,
        CarvedHits,
        CarveScope,
        CatalogDamage,
        EseDatabase,
        HeaderRead,
        Table,
        Truncation,
    )

SCOPES: tuple[CarveScope, ...] = ("slack", "all", "tag_data", "lv_all", "lv_slack")
SIGNATURE = b"\xef\xcd\xab\x89"  # 0x89ABCDEF, little-endian, at offset 4 of a header block
FILE_TYPES = {0: "database", 1: "streaming file"}
CLEAN_SHUTDOWN = 3
SKIP_COUNTS = ("bad_entries", "overlapping_entries", "foreign_pages", "loops", "unreadable_pages")
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


def refuse_directory(path: str) -> None:
    """A directory is not a database: say so, and how to read the databases in it."""
    if os.path.isdir(path):
        command = f"pagewright export {path} OUT --recursive"
        raise CliError(f"{path} is a directory; to export the databases in it, run: {command}")


def open_database(path: str) -> EseDatabase:
    """Open a database, turning the library's exceptions into one-line errors."""
    refuse_directory(path)
    module = load_module()
    try:
        db: EseDatabase = module.EseDatabase(path)
    except FileNotFoundError as exc:
        raise CliError(str(exc)) from None
    except OSError as exc:
        raise CliError(f"{path}: {exc}") from None
    return db


def warn(message: str) -> None:
    print(f"pagewright: warning: {clean(message)}", file=sys.stderr)


def dirty_line(db: EseDatabase, path: str) -> str | None:
    """For a database whose header says it was not shut down cleanly, one line saying so and what the
    transaction logs beside it hold for it; None for a clean one."""
    if db.header["state"] == CLEAN_SHUTDOWN:
        return None
    from .logs import dirty_note  # the log reader's view of the folder (logs.py builds on this module)

    try:
        beside = dirty_note(db, path)
    except (OSError, ValueError, CliError) as exc:
        beside = f"the logs beside it cannot be read: {exc}"
    return (
        f"{path}: the database was not shut down cleanly ({db.header['state_name']}): rows written since the "
        f"last clean shutdown may be only in its transaction logs ({beside})"
    )


def warn_if_dirty(db: EseDatabase, path: str) -> None:
    """One line on stderr when the header says the database was not shut down cleanly."""
    if (line := dirty_line(db, path)) is not None:
        warn(line)


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


@contextlib.contextmanager
def sample_database() -> Iterator[str]:
    """Path of the sample database shipped with the package."""
    resource = resources.files("pagewright_cli").joinpath("data", "sample.edb")
    with resources.as_file(resource) as path:
        if not path.is_file():
            raise CliError(f"the bundled sample database is missing: {path}")
        yield str(path)


# info ------------------------------------------------------------------------------------------------------


def has_signature(path: str, header: HeaderRead) -> bool:
    """Whether the header block that was read holds the ESE signature (else the file is no ESE database)."""
    offset = header["page_size"] if header["header_source"] == "shadow" else 0
    try:
        with open(path, "rb") as handle:
            handle.seek(offset)
            return handle.read(8)[4:8] == SIGNATURE
    except OSError:
        return False


def truncation(size: int, page_size: int, error: str | None, found: Truncation | None) -> str | None:
    """Why the file looks cut short: a size that cuts a page, pages that the database or its trees name past
    the file's end (`found`, the open database's finding), or an open that failed for that reason."""
    if page_size and size % page_size:
        return f"the size is not a multiple of the page size ({size % page_size} bytes past the last page)"
    if found is not None:
        pages, last = found["file_pages"], found["last_page"]
        return f"the file holds {pages} pages, but {found['named_by']} names page {last}"
    if error is not None and (past_end := re.search(r"page \d+ lies past the end of the file[^:]*", error)):
        return past_end.group()
    return None


def catalog_damage_lines(damage: CatalogDamage | None) -> list[str]:
    """The catalog's damage, one finding a line (nothing for a sound catalog)."""
    if damage is None:
        return []
    values: dict[str, Any] = dict(damage)
    counts = [f"{key.replace('_', ' ')} {values[key]}" for key in SKIP_COUNTS if values[key]]
    lines = [f"the catalog walk passed over {', '.join(counts)}"] if counts else []
    if damage["error"] is not None:
        lines.append(f"part of the catalog cannot be read, its tables are missing: {damage['error']}")
    for kind, n in damage["skipped_records"].items():
        records = "1 catalog record" if n == 1 else f"{n} catalog records"
        lines.append(f"{records} of type {kind} could not be read: skipped")
    return lines + damage["notes"]


def info_fields(path: str, db: EseDatabase | None, error: str | None = None) -> dict[str, Any]:
    """The header of the file at `path` and its geometry; the table count when `db` (its open database) is
    given, else `error`, why it could not be opened."""
    try:
        header = load_module().read_header(path)
    except (OSError, ValueError) as exc:
        raise CliError(f"{path}: cannot read the header: {exc}") from None
    size, page_size = header["file_size"], header["page_size"]
    pages = max(size // page_size - 2, 0) if page_size else 0  # blocks 0 and 1 hold the header and its copy
    fields: dict[str, Any] = {
        "path": path,
        "size": size,
        "page_size": page_size,
        "total_pages": db.total_pages if db is not None else pages,
        "format_version": header["format_version"],
        "format_revision": header["format_revision"],
        "file_type": header["file_type"],
        "file_type_name": FILE_TYPES.get(header["file_type"], "unknown"),
        "state": header["state"],
        "state_name": header["state_name"],
        "tables": len(db.get_tables()) if db is not None else None,
        "header_source": header["header_source"],
    }
    fields.update(
        (key, plain(value)) for key, value in header.items() if key not in fields and key != "file_size"
    )
    found = db.header["truncation"] if db is not None else None
    fields.update(
        truncated=truncation(size, page_size, error, found) is not None,
        truncation=found,
        catalog_damage=db.catalog_damage if db is not None else None,
        error=error,
    )
    return fields


def show_info(f: dict[str, Any]) -> None:
    size = f["size"]
    lines = [
        ("path", clean(f["path"])),
        ("size", f"{size} bytes" + (f" ({human_size(size)})" if size >= 1024 else "")),
        ("page size", str(f["page_size"])),
        ("total pages", str(f["total_pages"])),
        ("format", f"version 0x{f['format_version']:x}, revision 0x{f['format_revision']:x}"),
        ("file type", f"{f['file_type_name']} ({f['file_type']})"),
        ("state", f"{f['state_name']} ({f['state']})"),
    ]
    times = [
        ("created", "creation"),
        ("consistent", "consistent"),
        ("attached", "attach"),
        ("detached", "detach"),
    ]
    lines += [(label, f[f"{key}_time"]) for label, key in times if f[f"{key}_time"] is not None]
    lines.append(("os version", ".".join(str(part) for part in f["os_version"])))
    lines.append(("checksum", f"0x{f['checksum']:08x} ({'ok' if f['checksum_ok'] else 'does not match'})"))
    lines.append(("tables", "? (the database cannot be opened)" if f["tables"] is None else str(f["tables"])))
    if f["header_source"] == "shadow":
        lines.append(("header", "read from the shadow copy (block 1): the primary header is damaged"))
    cut = truncation(f["size"], f["page_size"], f["error"], f["truncation"])
    if cut is not None:
        lines.append(("truncated", clean(cut)))
    lines += [("catalog", clean(line)) for line in catalog_damage_lines(f["catalog_damage"])]
    if f.get("log_signature") is not None or f["state"] != 3 or f.get("logs") is not None:
        from .logs import info_lines

        lines += info_lines(f)
    write_text("\n".join(f"{key + ':':<13}{value}" for key, value in lines))


def cmd_info(args: argparse.Namespace) -> int:
    refuse_directory(args.db)
    module = load_module()
    db: EseDatabase | None = None
    error: str | None = None
    try:
        db = module.EseDatabase(args.db)
    except FileNotFoundError as exc:
        raise CliError(str(exc)) from None
    except OSError as exc:
        # The header of a database whose catalog cannot be read is still shown, then why it cannot be read.
        error = str(exc)
        try:
            header = module.read_header(args.db)
        except (OSError, ValueError):
            header = None
        if header is None or not has_signature(args.db, header):
            raise CliError(f"{args.db}: {exc}") from None
    fields = info_fields(args.db, db, error)
    from .logs import info_logs

    fields["logs"] = info_logs(db, args.db, getattr(args, "logs", None))
    if args.json:
        write_json(fields)
    else:
        show_info(fields)
    if error is not None:
        raise CliError(f"{args.db}: the database cannot be opened: {error}")
    return 0


# tables ----------------------------------------------------------------------------------------------------


def table_summaries(db: EseDatabase) -> list[dict[str, Any]]:
    """Name, column count and row count of every table, counted without decoding a row. "damage" holds the
    skip counts and the missing long values ({column: count}) of a walk that met any (else None); a table
    that cannot be walked to its end has rows None and its "error" (also a warning on stderr)."""
    out = []
    for table in db.tables():
        summary: dict[str, Any] = {"name": table.name, "columns": len(table.columns), "rows": None}
        try:
            scan = db.scan_table(table.name)
        except (OSError, ValueError) as exc:
            warn(f"table {table.name}: {exc}")
            out.append({**summary, "damage": None, "error": str(exc)})
            continue
        counts: dict[str, Any] = dict(scan)
        damage = {key: counts[key] for key in (*SKIP_COUNTS, "missing_long_values")}
        found = any(damage.values())
        out.append({**summary, "rows": scan["rows"], "damage": damage if found else None, "error": None})
    return out


def damage_note(summary: dict[str, Any]) -> str:
    if summary["error"] is not None:
        return "unreadable"
    damage = summary["damage"]
    if damage is None:
        return ""
    skipped = [f"{key.replace('_', ' ')} {damage[key]}" for key in SKIP_COUNTS if damage[key]]
    if missing := damage["missing_long_values"]:
        skipped.append(f"missing long values {sum(missing.values())}")
    return "damaged: " + ", ".join(skipped)


def warn_about_the_file(db: EseDatabase, path: str) -> None:
    """The file's truncation and the catalog's damage, one warning a finding, on stderr."""
    found = db.header["truncation"]
    if found is not None:
        warn(f"{path}: the file is truncated: {truncation(0, 0, None, found)}")
    for line in catalog_damage_lines(db.catalog_damage):
        warn(f"{path}: {line}")


def show_tables(summaries: list[dict[str, Any]]) -> None:
    rows: list[tuple[object, ...]] = [
        (s["name"], s["columns"], "?" if s["rows"] is None else s["rows"], damage_note(s)) for s in summaries
    ]
    headers: tuple[str, ...] = ("TABLE", "COLUMNS", "ROWS", "NOTE")
    if not any(row[-1] for row in rows):
        headers, rows = headers[:-1], [row[:-1] for row in rows]
    write_text(render_table(headers, rows, right=(1, 2)))


def cmd_tables(args: argparse.Namespace) -> int:
    """Exit status 1 when a table cannot be read to its end (the others are listed)."""
    db = open_database(args.db)
    warn_if_dirty(db, args.db)
    warn_about_the_file(db, args.db)
    summaries = table_summaries(db)
    if args.json:
        write_json(summaries)
    else:
        show_tables(summaries)
    return 1 if any(s["error"] is not None for s in summaries) else 0


# schema ----------------------------------------------------------------------------------------------------


def schema_fields(table: Table) -> dict[str, Any]:
    columns = [
        {
            "id": c.id,
            "name": c.name,
            "type": c.type,
            "type_code": c.type_code,
            "kind": c.kind,
            "codepage": c.codepage,
            "size": c.size,
            "nullable": c.nullable,
            "multi_valued": c.multi_valued,
            "compressed": c.compressed,
            "default": plain(c.default),
        }
        for c in table.columns
    ]
    indexes = [
        {
            "name": i.name,
            "columns": None if i.columns is None else list(i.columns),
            "unique": i.unique,
            "primary": i.primary,
        }
        for i in table.indexes
    ]
    return {"table": table.name, "columns": columns, "indexes": indexes}


def flags(pairs: Sequence[tuple[str, bool]]) -> str:
    return ",".join(name for name, present in pairs if present) or "-"


def show_schema(schema: dict[str, Any]) -> None:
    rows = [
        (
            c["id"],
            c["name"],
            c["type"],
            c["kind"],
            "-" if c["codepage"] is None else c["codepage"],
            flags([(flag, c[flag.replace("-", "_")]) for flag in ("nullable", "multi-valued", "compressed")]),
            "" if c["default"] is None else json_text(c["default"]),
        )
        for c in schema["columns"]
    ]
    headers = ("ID", "NAME", "TYPE", "KIND", "CODEPAGE", "FLAGS", "DEFAULT")
    text = render_table(headers, rows, right=(0, 4))
    if schema["indexes"]:
        indexes = [
            (
                i["name"],
                flags([("primary", i["primary"]), ("unique", i["unique"])]),
                "?" if i["columns"] is None else ", ".join(i["columns"]),
            )
            for i in schema["indexes"]
        ]
        text += "\n\n" + render_table(("INDEX", "FLAGS", "KEY"), indexes)
    write_text(text)


def cmd_schema(args: argparse.Namespace) -> int:
    db = open_database(args.db)
    check_table(db, args.table)
    schema = schema_fields(db.table(args.table))
    if args.json:
        write_json(schema)
    else:
        show_schema(schema)
    return 0


# dump ------------------------------------------------------------------------------------------------------


def cmd_dump(args: argparse.Namespace) -> int:
    """The rows as `export` writes them to JSON Lines, read and written one at a time (--limit N reads N);
    what the rows read passed over or could not give whole is said on stderr once they are written."""
    from .exporting import damage_words, note_damage, options_of, table_readings

    options = options_of(args)
    db = open_database(args.db)
    warn_if_dirty(db, args.db)
    check_table(db, args.table)
    readings = table_readings(db, args.table, options.timestamps)
    if unknown := sorted(set(options.timestamps) - set(readings)):
        raise CliError(f"--timestamps: table {args.table} has no column {', '.join(map(repr, unknown))}")
    lines = db.table(args.table).json_lines(
        typed=options.typed,
        deleted=options.deleted,
        timestamps=readings,
    )
    out = binary_stdout()
    # On a terminal, characters that could drive it are written as JSON escapes: the same JSON value.
    terminal = sys.stdout.isatty()
    for line in itertools.islice(lines, args.limit):
        out.write(((escape_unsafe_json(line) if terminal else line) + "\n").encode())
    out.flush()
    entry: dict[str, Any] = {}
    note_damage(entry, dict(lines.damage))
    if words := damage_words(entry):
        warn(f"{args.db}: table {args.table}: {words}")
    return 0


# export ----------------------------------------------------------------------------------------------------


def cmd_export(args: argparse.Namespace) -> int:
    from .exporting import check_available, options_of, run_single, strict_failure

    options = options_of(args)
    check_available(options.fmt)
    if len(args.inputs) > 1 or os.path.isdir(args.inputs[0]):
        from .batch import export_batch

        return export_batch(args.inputs, args.outdir, args.table, args.recursive, args.jobs, options, args)
    db = open_database(args.inputs[0])
    warn_if_dirty(db, args.inputs[0])
    if args.table:
        names = list(dict.fromkeys(args.table))
        for name in names:
            check_table(db, name)
    else:
        names = db.get_tables()
    if options.timestamps:
        from .exporting import table_readings

        used = {column for name in names for column in table_readings(db, name, options.timestamps)}
        if unknown := sorted(set(options.timestamps) - used):
            raise CliError(f"--timestamps: no exported table has a column {', '.join(map(repr, unknown))}")
    entries = run_single(db, args.inputs[0], args.outdir, names, options, args.json, args.table)
    failed = [e for e in entries if e["error"] is not None]
    if failed:
        raise CliError(f"{len(failed)} of {len(names)} tables could not be exported")
    if args.strict and (why := strict_failure(entries)):
        raise CliError(why)
    return 0


# carve -----------------------------------------------------------------------------------------------------


def carve(
    db: EseDatabase, scope: CarveScope, needle: str | None, min_chars: int, max_hits: int, ascii: bool = False
) -> CarvedHits:
    """Strings of every script with the owner of every tree page named, or (ascii) the library's default."""
    if ascii:
        return db.carve_utf16le_strings_scoped(scope, needle, min_chars, max_hits)
    return db.carve_utf16le_strings_scoped(scope, needle, min_chars, max_hits, script="any", owners="tree")


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
    hits = carve(db, args.scope, args.needle, args.min_chars, args.max_hits, args.ascii)
    if args.json:
        for hit in hits:
            sys.stdout.write(json_text(hit) + "\n")
    elif hits:
        show_hits(db, hits)
    else:
        print("pagewright: no strings found", file=sys.stderr)
    if hits.stopped_at_max_hits:
        note = f"pagewright: stopped after {len(hits)} hits, more strings remain (--max-hits)"
        print(note, file=sys.stderr)
    return 0


# demo ------------------------------------------------------------------------------------------------------


def cmd_demo(args: argparse.Namespace) -> int:
    with sample_database() as path:
        db = open_database(path)
        write_text(f"pagewright demo on the bundled sample database\n  SAMPLE = {path}")
        write_text("\n$ pagewright info SAMPLE")
        show_info(info_fields(path, db))
        write_text("\n$ pagewright tables SAMPLE")
        show_tables(table_summaries(db))
        write_text(f"\n$ pagewright export SAMPLE {DEMO_DIR}")
        from .exporting import ExportOptions, export_tables, show_summary

        names = db.get_tables()
        entries, seconds = export_tables(db, DEMO_DIR, names, ExportOptions())
        show_summary(entries, DEMO_DIR, seconds)
        if failed := [e for e in entries if e["error"] is not None]:
            raise CliError(f"{len(failed)} of {len(names)} tables could not be exported")
        for entry in entries:
            write_text(f"  {clean(os.path.join(DEMO_DIR, entry['file']))}")
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
