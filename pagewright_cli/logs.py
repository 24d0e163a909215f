"""Transaction logs on the command line: `pagewright logs`, the log lines of `info`, the journal source of
`recover`, and the note on the logs beside a dirty database."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from .commands import CliError, load_module, write_json, write_text
from .formatting import clean, json_text, plain, render_table

if TYPE_CHECKING:
    from pagewright import EseDatabase, LogPosition, LogSet

CLEAN_SHUTDOWN = 3
RECOVER_SOURCE = "log"
_SUMMARY_WIDTH = 80


def open_logs(paths: Sequence[str]) -> LogSet:
    """The log set of `paths` (directories or files), with the library's errors as one-line errors."""
    try:
        logs: LogSet = load_module().LogSet(list(paths))
    except (OSError, ValueError) as exc:
        raise CliError(str(exc)) from None
    return logs


def signature_text(signature: dict[str, Any] | None) -> str:
    if signature is None:
        return "none"
    created = plain(signature["created"]) or "no time"
    name = f", computer {clean(signature['computer_name'])}" if signature["computer_name"] else ""
    return f"0x{signature['random']:08x}, created {created}{name}"


def _position(p: LogPosition) -> str:
    return f"{p['generation']}:{p['sector']}:{p['block']}"


def _generations_text(numbers: Sequence[int]) -> str:
    return f"{numbers[0]}-{numbers[-1]}" if numbers[-1] != numbers[0] else str(numbers[0])


# logs ------------------------------------------------------------------------------------------------------


def logs_fields(logs: LogSet) -> dict[str, Any]:
    checkpoint = logs.checkpoint
    return plain(
        {
            "paths": list(logs.paths),
            "signature": logs.signature,
            "checkpoint": checkpoint,
            "generations": logs.generations,
            "missing_generations": logs.missing_generations,
            "databases": logs.databases,
            "damage": logs.damage,
            "files": logs.files,
        }
    )  # type: ignore[return-value]


def _damage_note(generation: dict[str, Any]) -> str:
    damage = {k: v for k, v in generation["damage"].items() if v and k != "torn_records"}
    parts = [f"{k.replace('_', ' ')} {v}" for k, v in damage.items()]
    if generation["damaged_segments"]:
        parts.append("segments " + ",".join(str(s) for s in generation["damaged_segments"]))
    if not generation["signature_matches"]:
        parts.append("another log stream")
    return "; ".join(parts) or "-"


def show_logs(f: dict[str, Any]) -> None:
    generations = f["generations"]
    numbers = [g["generation"] for g in generations]
    lines = [f"signature:   {signature_text(f['signature'])}"]
    checkpoint = f["checkpoint"]
    if checkpoint is not None:
        lines.append(
            f"checkpoint:  {clean(os.path.basename(checkpoint['path']))}: recovery starts at "
            f"{_position(checkpoint['position'])}"
        )
    if numbers:
        missing = f["missing_generations"]
        gap = f", missing {', '.join(str(n) for n in missing)}" if missing else ", none missing"
        lines.append(f"generations: {_generations_text(numbers)} ({len(numbers)}){gap}")
    else:
        lines.append("generations: none")
    text = "\n".join(lines)
    if generations:
        rows = [
            (
                g["generation"],
                os.path.basename(g["path"]),
                g["created"] or "-",
                ".".join(str(v) for v in g["version"]),
                g["segments"],
                g["record_count"],
                g["end"],
                _damage_note(g),
            )
            for g in generations
        ]
        headers = ("GEN", "FILE", "CREATED", "VERSION", "SEGMENTS", "RECORDS", "END", "DAMAGE")
        text += "\n\n" + render_table(headers, rows, right=(0, 4, 5))
        totals: dict[str, int] = {}
        for g in generations:
            for name, count in g["records"].items():
                totals[name] = totals.get(name, 0) + count
        by_count = sorted(totals.items(), key=lambda kv: (-kv[1], kv[0]))
        text += "\n\nrecords: " + ", ".join(f"{name} {count}" for name, count in by_count)
    if f["databases"]:
        text += "\n\ndatabases attached:"
        for db in f["databases"]:
            signed = signature_text(db["database_signature"])
            text += f"\n  dbid {db['dbid']}  {clean(db['path'])}  (signature {signed})"
    others = [x for x in f["files"] if x["kind"] != "log" and x["kind"] != "checkpoint" or x["note"]]
    if others:
        text += "\n\nother files:"
        for x in others:
            note = f": {x['note']}" if x["note"] else ""
            text += f"\n  {clean(os.path.basename(x['path']))} ({x['kind']}){clean(note)}"
    write_text(text)


def cmd_logs(args: argparse.Namespace) -> int:
    fields = logs_fields(open_logs(args.paths))
    if args.json:
        write_json(fields)
    else:
        show_logs(fields)
    return 0


def add_parser(sub: Any) -> None:
    text = "List what transaction logs hold: generations, checkpoint, attached databases, records, damage."
    p = sub.add_parser(
        "logs", help=text, description=text + " Directories are searched for log files by header."
    )
    p.set_defaults(handler=cmd_logs)
    p.add_argument("paths", nargs="+", metavar="DIR|FILE", help="log directories or files")
    p.add_argument("--json", action="store_true", help="print a JSON object")


# info and the dirty-database note -------------------------------------------------------------------------


def logs_beside(db_path: str) -> LogSet | None:
    """The logs in the database's own directory, when there are any."""
    directory = os.path.dirname(os.path.abspath(db_path))
    try:
        logs: LogSet = load_module().LogSet(directory)
    except (OSError, ValueError):
        return None
    return logs if logs.generations else None


def coverage_fields(db: EseDatabase, logs: LogSet, found_beside: bool) -> dict[str, Any]:
    fields = dict(db.log_coverage(logs))
    fields["paths"] = list(logs.paths)
    fields["found_beside"] = found_beside
    return fields


def info_logs(db: EseDatabase | None, db_path: str, given: Sequence[str] | None) -> dict[str, Any] | None:
    """The coverage of the database by the logs given, or by those beside it when it is not consistent."""
    if db is None:
        return None
    if given:
        return coverage_fields(db, open_logs(given), False)
    if db.header["state"] == CLEAN_SHUTDOWN:
        return None
    logs = logs_beside(db_path)
    return coverage_fields(db, logs, True) if logs is not None else None


def coverage_text(c: dict[str, Any]) -> str:
    """One line: which logs, whether they are the database's, whether they cover what it requires."""
    where = "beside it" if c["found_beside"] else ", ".join(clean(p) for p in c["paths"])
    if c["present"] is None:
        return f"{where}: no generation of its log stream"
    present = f"generations {_generations_text(c['present'])} of its log stream"
    required = c["required"]
    if required is None:
        verdict = "it requires none (consistent)"
    elif c["covered"]:
        verdict = f"they cover what it requires ({_generations_text(required)})"
    else:
        missing = c["missing"]
        reasons = []
        if missing:
            reasons.append(
                "missing "
                + ", ".join(str(n) for n in missing[:10])
                + (" ..." if c["missing_count"] > 10 else "")
            )
        if c["damaged"]:
            reasons.append(f"damaged {', '.join(str(n) for n in c['damaged'])}")
        if not c["signature_matches"]:
            reasons.append("the checkpoint belongs to another log stream")
        verdict = f"they do not cover what it requires ({_generations_text(required)}): {'; '.join(reasons)}"
    return f"{where}: {present}; {verdict}"


def changes_text(c: dict[str, Any]) -> str:
    text = f"{c['page_changes']} page changes in the logs, {c['newer']} newer than its pages"
    newer = {name: t["newer"] for name, t in c["tables"].items() if t["newer"]}
    if newer:
        text += " (" + ", ".join(f"{clean(name)} {n}" for name, n in newer.items()) + ")"
    if c["newer_unattributed"]:
        text += f", {c['newer_unattributed']} to trees of no table"
    return text


def info_lines(fields: dict[str, Any]) -> list[tuple[str, str]]:
    """The log lines of `info`."""
    lines = [
        ("log stream", signature_text(fields["log_signature"])),
        (
            "generations",
            f"required {fields['gen_min_required']}-{fields['gen_max_required']}, "
            f"committed {fields['gen_max_committed']}, consistent {fields['gen_min_consistent']}",
        ),
        ("update", f"minor {fields['update_minor']}"),
    ]
    coverage = fields.get("logs")
    if coverage is not None:
        lines.append(("logs", coverage_text(coverage)))
        lines.append(("changes", changes_text(coverage)))
    return lines


def dirty_note(db: EseDatabase, db_path: str) -> str | None:
    """What the logs beside a database that was not shut down cleanly hold for it (one line), or None for a
    clean database."""
    if db.header["state"] == CLEAN_SHUTDOWN:
        return None
    logs = logs_beside(db_path)
    if logs is None:
        return "no transaction logs beside it"
    coverage = coverage_fields(db, logs, True)
    return f"logs {coverage_text(coverage)}; {changes_text(coverage)}"


# recover --source log -------------------------------------------------------------------------------------


def add_recover_options(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "--logs",
        action="append",
        metavar="DIR|FILE",
        help="transaction logs to read records from (source 'log': the change journal; repeatable)",
    )


def _summary(values: dict[str, Any] | None) -> str:
    if values is None:
        return ""
    parts = [f"{name}={plain(value)!r}" for name, value in values.items() if value is not None]
    text = clean(", ".join(parts))
    return text if len(text) <= _SUMMARY_WIDTH else text[: _SUMMARY_WIDTH - 3] + "..."


def recover_from_logs(
    db: EseDatabase, names: Sequence[str], paths: Sequence[str] | None, as_json: bool
) -> int:
    """The change journal of each table, as JSON Lines or a table; returns how many changes were shown."""
    if not paths:
        raise CliError("--source log needs the transaction logs: --logs DIR")
    logs = open_logs(paths)
    rows: list[tuple[object, ...]] = []
    count = 0
    for name in names:
        for change in db.table(name).log_changes(logs):
            count += 1
            if as_json:
                sys.stdout.write(json_text({"table": name, "source": RECOVER_SOURCE, **plain(change)}) + "\n")  # type: ignore[dict-item]
            else:
                rows.append(
                    (
                        name,
                        change["operation"],
                        _position(change["position"]),
                        change["transaction"],
                        "yes" if change["flushed"] else "no",
                        _summary(change["values"]),
                    )
                )
    if rows:
        headers = ("TABLE", "OPERATION", "LOG POSITION", "TRANSACTION", "ON DISK", "VALUES")
        write_text(render_table(headers, rows))
    return count
