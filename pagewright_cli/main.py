"""Argument parsing and the error policy of the `pagewright` command.

Failures print one line "pagewright: error: ..." on stderr and exit with status 1 (usage errors: 2, from
argparse). Output into a closed pipe (`pagewright dump ... | head`) ends quietly with status 0.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable

from . import artifacts, commands, exporting, logs, recover, verify
from .commands import SCOPES, CliError
from .formatting import clean

PROG = "pagewright"
VIEW_HELP = (
    "--typed (the default): dates as ISO 8601 text (UTC), Currency signed, multi-values as arrays; "
    "--raw: the raw values of export_table (dates and money as their stored integers, multi-values as hex)"
)


def _version() -> str:
    try:
        import pagewright
    except ImportError:
        return f"{PROG} (extension module not loadable)"
    return f"{PROG} {pagewright.__version__}"


def _count(text: str) -> int:
    """A non-negative integer argument."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {value}")
    return value


def _row_options(p: argparse.ArgumentParser) -> None:
    """The options of dump and export that choose the rows and their values."""
    view = p.add_mutually_exclusive_group()
    view.add_argument("--typed", dest="raw", action="store_false", help=VIEW_HELP)
    view.add_argument("--raw", dest="raw", action="store_true", help="the raw values (see --typed)")
    p.set_defaults(raw=False)
    p.add_argument(
        "--deleted",
        choices=exporting.DELETED_MODES,
        default="exclude",
        help="entries flagged deleted (not yet cleaned away): exclude (default), only, or include; rows of "
        "an export that includes them carry the boolean marker _deleted",
    )
    p.add_argument(
        "--timestamps",
        action="append",
        metavar="COL=READING",
        help="read the 8-byte column COL as a point in time: ole, filetime, unix, or raw (repeatable; "
        "applied to the tables that have COL)",
    )


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Read Microsoft ESE databases (.edb, .dat, .mdb, .dit): list tables and columns, "
        "dump and export rows as JSON Lines, and carve UTF-16LE strings out of the pages.",
        epilog="Try `pagewright demo` for a tour on a bundled sample database.",
    )
    parser.add_argument("--version", action="version", version=_version())
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(
        name: str, handler: Callable[[argparse.Namespace], int], text: str, details: str = ""
    ) -> argparse.ArgumentParser:
        # `help` goes through %-formatting, `description` does not.
        p = sub.add_parser(name, help=text.replace("%", "%%"), description=f"{text} {details}".strip())
        p.set_defaults(handler=handler)
        return p

    p = command("info", commands.cmd_info, "Show the file header and geometry of a database.")
    p.add_argument("db", metavar="DB", help="database file")
    p.add_argument("--json", action="store_true", help="print a JSON object")
    p.add_argument(
        "--logs",
        action="append",
        metavar="DIR|FILE",
        help="its transaction logs: whether they cover what it requires, how many changes its pages lack "
        "(default: the logs in its directory, for a database not shut down cleanly)",
    )

    p = command(
        "tables",
        commands.cmd_tables,
        "List the tables with their column and row counts; a table whose tree walk skipped pages or entries "
        "is marked damaged.",
    )
    p.add_argument("db", metavar="DB", help="database file")
    p.add_argument("--json", action="store_true", help="print a JSON array")

    p = command(
        "schema",
        commands.cmd_schema,
        "List the columns of a table (id, name, type, kind, codepage, flags, default) and its indexes.",
    )
    p.add_argument("db", metavar="DB", help="database file")
    p.add_argument("table", metavar="TABLE", help="table name (case-sensitive)")
    p.add_argument("--json", action="store_true", help="print a JSON object with columns and indexes")

    p = command("dump", commands.cmd_dump, "Print the rows of a table as JSON Lines (the export format).")
    p.add_argument("db", metavar="DB", help="database file")
    p.add_argument("table", metavar="TABLE", help="table name (case-sensitive)")
    p.add_argument("--limit", type=_count, metavar="N", help="print at most N rows")
    _row_options(p)

    p = command(
        "export",
        commands.cmd_export,
        "Export tables to OUTDIR/<table>.jsonl (.csv, .parquet), one row per line.",
        "In file names, '/', '\\', '%' and control characters of a table name are written as %XX, and "
        "the names '.' and '..' as %2E and %2E%2E; a file name over 255 bytes (with '.partial') is "
        "shortened and ends in '%~' and a hash of the table name; names that only case or Unicode "
        "normalisation tell apart get ~2, ~3, ... Each file is written under a temporary name and renamed "
        "into place once complete: a table that fails or is interrupted leaves <file>.partial. A table "
        "that cannot be exported is reported and the others are still exported (exit status 1). The "
        "summary lists every table's rows (live and deleted) and damage. With several databases or a "
        "directory, each database goes to OUTDIR/<its file name>/ (prefixed with the part of its path that "
        "tells it apart from others of the same name) and OUTDIR/manifest.json lists the sources, folders, "
        "tables, rows, damage and errors; directories are searched for files with an ESE header.",
    )
    p.usage = (
        "%(prog)s [-h] [--table NAME] [--typed|--raw] [--deleted MODE] [--timestamps COL=READING] "
        "[--format FMT] [--raw-formulas] [--json] [--strict] [--recursive] [--jobs N] "
        "DB|DIR [DB|DIR ...] OUTDIR"
    )
    p.add_argument(
        "paths",
        nargs="+",
        metavar="DB|DIR",
        help="database files and directories, then OUTDIR (the output directory, created if missing)",
    )
    p.add_argument(
        "--table", action="append", metavar="NAME", help="export only this table (repeatable; default: all)"
    )
    _row_options(p)
    p.add_argument(
        "--format",
        choices=exporting.FORMATS,
        default="jsonl",
        help="jsonl (default); csv: header row, RFC 4180 with CRLF; parquet: Arrow columns with column "
        "metadata (needs pyarrow). File names end in .jsonl, .csv or .parquet",
    )
    p.add_argument(
        "--raw-formulas",
        action="store_true",
        help="CSV: write text cells that begin with = + - @, a tab or CR as they are (by default they get a "
        "leading ' so that a spreadsheet does not run them as formulas)",
    )
    p.add_argument(
        "--json", action="store_true", help="print the summary as JSON (the manifest's form) instead of text"
    )
    p.add_argument(
        "--strict",
        action="store_true",
        help="exit with status 1 when any table is damaged (entries passed "
        "over, long values missing, values without a form of their type)",
    )
    p.add_argument("--recursive", action="store_true", help="search the subdirectories of each DIR too")
    p.add_argument(
        "--jobs",
        type=_count,
        default=0,
        metavar="N",
        help="worker processes for several databases (default 0: one per CPU)",
    )
    p.set_defaults(usage_error=p.error)

    p = command("carve", commands.cmd_carve, "Find UTF-16LE strings in the raw pages (deleted data).")
    p.add_argument("db", metavar="DB", help="database file")
    p.add_argument(
        "--scope",
        choices=SCOPES,
        default="slack",
        help="slack: free space of each page (default); all: whole pages; tag_data: record data; "
        "lv_all / lv_slack: long-value pages only",
    )
    p.add_argument("--needle", metavar="TEXT", help="keep only strings containing TEXT (case-sensitive)")
    p.add_argument("--min-chars", type=_count, default=6, metavar="N", help="minimum length (default 6)")
    p.add_argument(
        "--max-hits", type=_count, default=1000, metavar="N", help="stop after N hits (default 1000)"
    )
    p.add_argument("--json", action="store_true", help="print JSON Lines, one object per hit")
    p.add_argument(
        "--ascii",
        action="store_true",
        help="printable ASCII only, and the owning table named on data leaf pages only (the library's "
        "default); without it: text of every script, and every page of a table's trees names the table",
    )

    recover.add_parser(sub)
    verify.add_parser(sub)
    artifacts.add_parsers(sub)
    logs.add_parser(sub)

    command(
        "demo",
        commands.cmd_demo,
        f"Tour the bundled sample database: info, tables, export into ./{commands.DEMO_DIR}/, carving.",
    )
    return parser


def _silence_stdout() -> None:
    """After a broken pipe: point stdout at /dev/null so the interpreter's final flush cannot fail."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = build_parser()
    args, extra = parser.parse_known_args(argv)
    if args.command == "export":
        # Paths after an option (`export A --table T B OUTDIR`) are left over by argparse; they follow the
        # first ones on the command line, so appending keeps their order.
        paths = args.paths + [a for a in extra if not a.startswith("-")]
        extra = [a for a in extra if a.startswith("-")]
        if len(paths) < 2:
            args.usage_error("the following arguments are required: OUTDIR")
        args.inputs, args.outdir = paths[:-1], paths[-1]
    elif hasattr(args, "artifact"):  # paths after an option, as for export
        args.paths += [a for a in extra if not a.startswith("-")]
        extra = [a for a in extra if a.startswith("-")]
    if extra:
        parser.error(f"unrecognized arguments: {' '.join(extra)}")
    return args


def main(argv: list[str] | None = None) -> int:
    """Run the command line `argv` (default: sys.argv[1:]) and return the exit status."""
    args = parse_arguments(argv)
    try:
        status: int = args.handler(args)
        sys.stdout.flush()
        return status
    except BrokenPipeError:
        _silence_stdout()
        return 0
    except CliError as exc:
        message = str(exc)
    except (OSError, ValueError) as exc:
        message = f"{exc.strerror}: {exc.filename}" if isinstance(exc, OSError) and exc.filename else str(exc)
    except KeyboardInterrupt:
        return 130
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        _silence_stdout()
    print(f"{PROG}: error: {clean(message)}", file=sys.stderr)
    return 1


def entry() -> None:
    """Console-script entry point."""
    sys.exit(main())
