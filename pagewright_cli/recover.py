"""`pagewright recover`: deleted and superseded records of a table, with their place in the file."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from . import logs
from .commands import check_table, open_database, write_text
from .formatting import clean, json_text, render_table

SOURCES = ("deleted", "stale", "slack", "free")
_SUMMARY_WIDTH = 80


def _plain(value: object) -> object:
    """A value as JSON can hold it: bytes as lower-case hexadecimal."""
    return value.hex() if isinstance(value, bytes) else value


def _summary(values: dict[str, Any]) -> str:
    parts = [f"{name}={_plain(value)!r}" for name, value in values.items() if value is not None]
    text = clean(", ".join(parts))
    return text if len(text) <= _SUMMARY_WIDTH else text[: _SUMMARY_WIDTH - 3] + "..."


def add_parser(sub: Any) -> None:
    text = "Recover deleted and superseded records (deleted entries, stale tags, page slack, freed pages)."
    p = sub.add_parser("recover", help=text, description=text)
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
        "--json", action="store_true", help="print JSON Lines, one object per record (bytes as hex)"
    )


def cmd_recover(args: argparse.Namespace) -> int:
    db = open_database(args.db)
    names = args.table or db.get_tables()
    for name in names:
        check_table(db, name)
    sources = tuple(args.source or SOURCES + ((logs.RECOVER_SOURCE,) if args.logs else ()))
    from_logs = logs.RECOVER_SOURCE in sources
    sources = tuple(s for s in sources if s != logs.RECOVER_SOURCE)
    rows: list[tuple[object, ...]] = []
    for name in names if sources else ():
        for record in db.recover_records(name, sources=sources):
            if args.json:
                values = {k: _plain(v) for k, v in record["values"].items()}
                sys.stdout.write(json_text({"table": name, **record, "values": values}) + "\n")
            else:
                summary = _summary(record["values"])
                rows.append(
                    (name, record["source"], record["page"], record["offset"], record["confidence"], summary)
                )
    if rows and not args.json:
        headers = ("TABLE", "SOURCE", "PAGE", "OFFSET", "CONFIDENCE", "VALUES")
        write_text(render_table(headers, rows, right=(2, 3, 4)))
    found = logs.recover_from_logs(db, names, args.logs, args.json) if from_logs else 0
    if not args.json and not rows and not found:
        print("pagewright: no records recovered", file=sys.stderr)
    return 0
