"""`pagewright recover`: deleted and superseded records of a table, with their place in the file."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

from . import logs
from .commands import check_table, open_database, write_text
from .formatting import clean, json_text, plain, render_table

if TYPE_CHECKING:
    from pagewright import EseDatabase, RecoveredRecord

SOURCES = ("deleted", "stale", "slack", "free")
_SUMMARY_WIDTH = 80

CONFIDENCE_HELP = """\
Each record passed every required check of a record of its table (header, offsets, tagged directory,
plausible fixed values, decodable text). CONFIDENCE counts the optional checks that also held, each one
point (--json names them under "checks"):
  null_bitmap_filler     the unused bits of the fixed-column null bitmap are set, as the engine writes them
  null_variable_offsets  each empty variable column repeats the previous end offset, as the engine writes it
  not_null_columns       every NotNull column holds a value
  printable_text         every text value is printable
  fixed_size_values      every tagged value of a fixed-size type has exactly that size
  long_values_resolve    every long-value reference is answered by the long-value tree
A check that does not apply to a record (no text, no long value, ...) adds nothing, so compare records of
one table. INFERRED END names the value whose end was read from the bytes that follow it (a record in page
slack has no tag to state its length): that value may run on past its true end. A record whose bytes (or key
and values) equal a live row's is an old copy of it (a page left behind by a split): such records are hidden
unless --all is given, and counted. Values are typed as `dump` gives them; a long value that no longer
exists shows as <long value N missing>, one shown so often already that showing it again would pass the
output bound (32 times the file size for values repeated) as <long value N withheld>."""


def _summary(record: RecoveredRecord) -> str:
    """The record's values on one line, shortened to the summary width."""
    refs = record["long_value_refs"]
    withheld = set(record["withheld_long_values"])
    parts = []
    for name, value in record["values"].items():
        if name in refs:
            state = "withheld" if name in withheld else "missing"
            parts.append(f"{name}=<long value {refs[name]} {state}>")
        elif value is not None:
            parts.append(f"{name}={plain(value)!r}")
    text = clean(", ".join(parts))
    return text if len(text) <= _SUMMARY_WIDTH else text[: _SUMMARY_WIDTH - 3] + "..."


def add_parser(sub: Any) -> None:
    text = "Recover deleted and superseded records (deleted entries, stale tags, page slack, freed pages)."
    p = sub.add_parser(
        "recover",
        help=text,
        description=text,
        epilog=CONFIDENCE_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.set_defaults(handler=cmd_recover)
    p.add_argument("db", metavar="DB", help="database file")
    p.add_argument(
        "--table", action="append", metavar="NAME", help="only this table (repeatable; default: all)"
    )
    p.add_argument(
        "--source",
        action="append",
        choices=SOURCES + (logs.RECOVER_SOURCE,),
        help="only records from this source (repeatable; default: all; 'log': the transaction logs' changes, "
        "with --logs)",
    )
    logs.add_recover_options(p)
    p.add_argument(
        "--json",
        action="store_true",
        help="print JSON Lines, one object per record, with full typed values (bytes as hex, ISO 8601 times)",
    )
    p.add_argument("--all", action="store_true", help="also show records that are copies of live rows")


def page_records(db: EseDatabase, names: list[str], sources: tuple[str, ...]) -> Iterator[tuple[str, Any]]:
    """(table, record) for every record recovered from the database's pages, table by table."""
    for name in names:
        for record in db.table(name).recover(sources=sources):  # type: ignore[arg-type]
            yield name, record


def cmd_recover(args: argparse.Namespace) -> int:
    db = open_database(args.db)
    names = args.table or db.get_tables()
    for name in names:
        check_table(db, name)
    sources = tuple(args.source or SOURCES + ((logs.RECOVER_SOURCE,) if args.logs else ()))
    from_logs = logs.RECOVER_SOURCE in sources
    sources = tuple(s for s in sources if s != logs.RECOVER_SOURCE)
    rows: list[tuple[object, ...]] = []
    shown = hidden = 0
    for name, record in page_records(db, names, sources) if sources else ():
        if record["duplicate_of_live"] and not args.all:
            hidden += 1
            continue
        shown += 1
        if args.json:
            values = {k: plain(v) for k, v in record["values"].items()}
            sys.stdout.write(json_text({"table": name, **record, "values": values}) + "\n")
        else:
            inferred = record["inferred_end"] or "-"
            copy = "yes" if record["duplicate_of_live"] else "-"
            rows.append(
                (
                    name,
                    record["source"],
                    record["page"],
                    record["offset"],
                    record["confidence"],
                    inferred,
                    copy,
                    _summary(record),
                )
            )
    if rows:
        headers = ("TABLE", "SOURCE", "PAGE", "OFFSET", "CONFIDENCE", "INFERRED END", "LIVE COPY", "VALUES")
        write_text(render_table(headers, rows, right=(2, 3, 4)))
    found = logs.recover_from_logs(db, names, args.logs, args.json) if from_logs else 0
    if not shown and not found:
        print("pagewright: no records recovered", file=sys.stderr)
    if hidden:
        note = f"pagewright: {hidden} records that are copies of live rows hidden (--all shows them)"
        print(note, file=sys.stderr)
    return 0
