"""UAL (User Access Logging on Windows Server: `Current.mdb`, `{GUID}.mdb`, `SystemIdentity.mdb`): clients per
role and per day, DNS, virtual machines, roles.

    import pagewright.artifacts.ual as ual
    clients = ual.read_table("Current.mdb", "clients")     # one row per role, tenant, user and address
    days = ual.read_table("Current.mdb", "daily")          # one row per client and day with accesses

Every table of the database is a view under its lower-case name (`clients`, `dns`, `role_access`,
`virtual_machines`, `role_ids`, `system_identity`, `chained_databases`, and any other), read with the same
rules: `RoleGuid` named through `ROLE_IDS` (of this database, or of the `SystemIdentity.mdb` beside it),
`Address` bytes as IPv4 or IPv6 text, instants typed by the reader. `CLIENTS` keeps its 366 `DayN` counts
out of `clients`; `daily` gives them as dated rows: day N of the year of the row's `InsertDate` (else of its
`LastAccess`), the days with a count above zero.
"""

from __future__ import annotations

import datetime
import os
import re
from typing import TYPE_CHECKING, Any

from . import _base
from ._base import Columns, Notes
from ._decode import ip_text

if TYPE_CHECKING:
    from collections.abc import Iterator

    from pagewright import EseDatabase

    from ._base import Database

__all__ = ["TABLES", "read", "read_table", "records", "roles", "views"]

TABLES = (
    "CLIENTS",
    "ROLE_ACCESS",
    "DNS",
    "VIRTUALMACHINES",
    "ROLE_IDS",
    "SYSTEM_IDENTITY",
    "CHAINED_DATABASES",
)
SYSTEM_IDENTITY = "systemidentity.mdb"
VIEW_NAMES = {"VIRTUALMACHINES": "virtual_machines"}
_DAY = re.compile(r"^Day(\d+)$")
ROLE_RULE = "ROLE_IDS entry of RoleGuid"


def _open(db: Database) -> EseDatabase:
    database = _base.open_database(db)
    _base.require(database, "a User Access Logging database", TABLES, mode="any")
    return database


def _views(db: EseDatabase) -> dict[str, str]:
    names = [t for t in db.get_tables() if not t.startswith("MSys")]
    out = {VIEW_NAMES.get(t, t.lower()): t for t in names}
    if "CLIENTS" in names:
        out["daily"] = "CLIENTS"
    return out


def views(db: Database) -> list[str]:
    """The names read() takes for this database."""
    return list(_views(_open(db)))


def _sibling(path: str) -> str | None:
    """The SystemIdentity.mdb in the folder of `path` (name compared case-insensitively), if another file."""
    folder = os.path.dirname(os.path.abspath(path))
    try:
        names = sorted(os.listdir(folder))
    except OSError:
        return None
    found = next((n for n in names if n.casefold() == SYSTEM_IDENTITY), None)
    if found is None or os.path.basename(path).casefold() == SYSTEM_IDENTITY:
        return None
    return os.path.join(folder, found)


def roles(db: Database, system_identity: str | None = None) -> Any:
    """ROLE_IDS as (RoleGuid lower-case, ProductName, RoleName, origin): from the database itself, else from
    `system_identity` or the SystemIdentity.mdb beside the file; an empty table when there is none."""
    pa, _ = _base.arrow()
    database = _open(db)
    schema = pa.schema(
        [
            ("RoleGuid", pa.string()),
            ("ProductName", pa.string()),
            ("RoleName", pa.string()),
            ("origin", pa.string()),
        ]
    )
    source: Any = database
    if "ROLE_IDS" not in database.get_tables():
        path = system_identity or (_sibling(database.path) if database.path else None)
        if path is None:
            return schema.empty_table()
        source = _base.open_database(path)
        if "ROLE_IDS" not in source.get_tables():
            return schema.empty_table()
    rows = [r for b in _base.batches(source, "ROLE_IDS") for r in b.to_pylist()]
    origin = _base.source_of(source)
    return pa.Table.from_pylist(
        [
            {
                "RoleGuid": str(r.get("RoleGuid") or "").lower() or None,
                "ProductName": r.get("ProductName"),
                "RoleName": r.get("RoleName"),
                "origin": origin,
            }
            for r in rows
        ],
        schema=schema,
    )


def _addresses(column: Any, notes: Notes) -> Any:
    """Address values as text: each distinct value decoded once, then looked up."""
    pa, pc = _base.arrow()
    distinct = pc.unique(column)
    decoded = [ip_text(v) for v in distinct.to_pylist()]
    texts = pa.array([t for t, _ in decoded], pa.string())
    problems = pa.array([n for _, n in decoded], pa.string())
    (text, problem), _ = _base.Lookup(distinct, text=texts, problem=problems)(column, "text", "problem")
    notes.values(pc.is_valid(problem), "Address: ", problem)
    return text


def _identity(out: Columns, source: str, table: str, first_row: int) -> None:
    pa, _ = _base.arrow()
    out.constant("source", source)
    out.constant("table", table)
    out.add(
        "row",
        pa.array(range(first_row, first_row + out.length), pa.int64()),
        "position of the row in the table, from 0",
    )


def _transform(batch: Any, source: str, table: str, first_row: int, role_map: Any) -> Any:
    pa, pc = _base.arrow()
    out, notes = Columns(batch.num_rows), Notes(batch.num_rows)
    _identity(out, source, table, first_row)
    for f in batch.schema:
        if table == "CLIENTS" and _DAY.match(f.name):
            continue  # in the daily view
        column = batch.column(f.name)
        if f.name == "Address" and (pa.types.is_binary(f.type) or pa.types.is_string(f.type)):
            out.add(
                "Address",
                _addresses(column, notes),
                "4 bytes IPv4, 16 bytes IPv6, text as stored",
                f.metadata,
            )
            continue
        out.keep(batch, f.name)
        if f.name == "RoleGuid":
            keys = pc.utf8_lower(pc.cast(column, pa.string()))
            (role, product), missing = role_map(keys, "RoleName", "ProductName")
            out.add("RoleName", role, ROLE_RULE)
            out.add("ProductName", product, ROLE_RULE)
            if len(role_map):
                notes.values(missing, "RoleGuid ", keys, " is not in ROLE_IDS")
    out.add("notes", notes.text, "what a value is or why it is null, where not obvious")
    return out.batch()


_DAILY_KEEP = ("RoleGuid", "RoleName", "ProductName", "TenantId", "AuthenticatedUserName", "Address")


def _years(values: Any) -> tuple[Any, Any, Any]:
    """(years, days from 1970-01-01 to each year's 1 January, days in each year) for the distinct years."""
    pa, pc = _base.arrow()
    years = [y for y in pc.unique(values).to_pylist() if y is not None and 1 <= y <= 9999]
    epoch = datetime.date(1970, 1, 1)
    starts = [(datetime.date(y, 1, 1) - epoch).days for y in years]
    lengths = [366 if y % 4 == 0 and (y % 100 != 0 or y % 400 == 0) else 365 for y in years]
    return pa.array(years, pa.int64()), pa.array(starts, pa.int64()), pa.array(lengths, pa.int64())


def _daily(batch: Any, source: str, table: str, first_row: int, role_map: Any) -> Any:
    """One row per client row and day N with a count above zero; date = day N of the row's year."""
    pa, pc = _base.arrow()
    clients = _transform(batch, source, table, first_row, role_map)
    when = next(
        (
            batch.column(n)
            for n in ("InsertDate", "LastAccess")
            if n in batch.schema.names and pa.types.is_timestamp(batch.schema.field(n).type)
        ),
        None,
    )
    year = pc.year(when) if when is not None else pa.nulls(batch.num_rows, pa.int64())
    if (
        when is not None
        and "LastAccess" in batch.schema.names
        and pa.types.is_timestamp(batch.schema.field("LastAccess").type)
    ):
        year = pc.coalesce(year, pc.year(batch.column("LastAccess")))
    years, starts, lengths = _years(year)
    (start, length), _ = _base.Lookup(years, start=starts, length=lengths)(year, "start", "length")
    rows, days, counts = [], [], []
    for f in batch.schema:
        day = _DAY.match(f.name)
        if not day or not pa.types.is_integer(f.type):
            continue
        count = pc.cast(batch.column(f.name), pa.int64())
        picked = pc.indices_nonzero(pc.fill_null(pc.greater(count, 0), False))
        rows.append(picked)
        days.append(pa.repeat(pa.scalar(int(day.group(1)), pa.int64()), len(picked)))
        counts.append(pc.take(count, picked))
    index = pa.concat_arrays(rows) if rows else pa.array([], pa.uint64())
    day = pa.concat_arrays(days) if days else pa.array([], pa.int64())
    order = pc.sort_indices(
        pa.table({"r": index, "d": day}), sort_keys=[("r", "ascending"), ("d", "ascending")]
    )
    index, day = pc.take(index, order), pc.take(day, order)
    out, notes = Columns(len(index)), Notes(len(index))
    for name in ("source", "table", "row", *(n for n in _DAILY_KEEP if n in clients.schema.names)):
        position = clients.schema.get_field_index(name)
        out.arrays.append(pc.take(clients.column(position), index))
        out.fields.append(clients.schema.field(position))
    out.add("day", day, "N of the DayN column")
    first = pc.take(start, index)
    valid = pc.less_equal(day, pc.take(length, index))
    notes.where(pc.is_null(first), "no InsertDate or LastAccess gives the year: no date")
    notes.values(
        pc.and_(pc.is_valid(first), pc.invert(pc.fill_null(valid, True))),
        "Day",
        day,
        " is past the end of the row's year: no date",
    )
    dates = pc.if_else(
        pc.fill_null(valid, False), pc.add(first, pc.subtract(day, 1)), pa.scalar(None, pa.int64())
    )
    out.add(
        "date",
        pc.cast(pc.cast(dates, pa.int32()), pa.date32()),
        "day N of the year of InsertDate (else LastAccess), 1 January being day 1",
    )
    total = pa.concat_arrays(counts) if counts else pa.array([], pa.int64())
    out.add("accesses", pc.take(total, order), "the DayN count")
    out.add("notes", notes.text, "what a value is or why it is null, where not obvious")
    return out.batch()


def read(db: Database, view: str, *, batch_rows: int = 65536, system_identity: str | None = None) -> Any:
    """The view `view` (see views()) as a pyarrow.RecordBatchReader, decoded batch by batch: source, table and
    row (position) first, RoleName and ProductName after RoleGuid, Address as text, notes last."""
    database = _open(db)
    found = _views(database)
    name = found.get(view.lower()) or next((t for t in found.values() if t == view), None)
    if name is None:
        raise ValueError(
            f"{_base.source_of(database)}: no UAL table {view!r} (this database has: {', '.join(found)})"
        )
    known = roles(database, system_identity)
    role_map = _base.Lookup(
        known.column("RoleGuid").combine_chunks(),
        **{n: known.column(n).combine_chunks() for n in ("RoleName", "ProductName")},
    )
    source = _base.source_of(database)
    make = _daily if view.lower() == "daily" else _transform
    position = [0]

    def step(batch: Any) -> Any:
        result = make(batch, source, name, position[0], role_map)
        position[0] += batch.num_rows
        return result

    schema = _base.source_schema(database, name)
    parts = _base.batches(database, name, batch_rows=batch_rows)
    return _base.transformed(schema, parts, step)


def read_table(db: Database, view: str, **options: Any) -> Any:
    """read(db, view) as one pyarrow.Table."""
    return read(db, view, **options).read_all()


def records(db: Database, view: str, **options: Any) -> Iterator[dict[str, Any]]:
    """The rows of read(db, view) as dicts of Python values."""
    return _base.records(read(db, view, **options))
