"""SRUM (System Resource Usage Monitor, `SRUDB.dat`): its extension tables by readable names, with `AppId`
and `UserId` resolved through `SruDbIdMapTable`, instants typed and interface LUIDs decoded.

    import pagewright.artifacts.srum as srum
    usage = srum.read_table("SRUDB.dat", "network_usage")          # a pyarrow.Table
    for row in srum.records("SRUDB.dat", "app_resource_usage"): ...

Each extension writes one table named by its GUID ("{973F5D5C-…}"); a table named by a GUID and a suffix
(the long-term "{FEE4E14F-…}LT", or any other variant a build or a dirty shutdown leaves) is read with the
rules of its GUID and keyed `<key>_<suffix>`. Tables of GUIDs not listed below are passed through under
their own name, with the same resolution of AppId and UserId. Every column a table has is kept, so columns
that only some Windows builds write come through as the reader types them.
"""

from __future__ import annotations

import functools
import re
from typing import TYPE_CHECKING, Any

from . import _base
from ._base import FILETIME_RULE, Columns, Notes
from ._decode import INTERFACE_TYPES, sid_name, sid_text, utf16_text

if TYPE_CHECKING:
    from collections.abc import Iterator

    from pagewright import EseDatabase

    from ._base import Database

__all__ = ["ID_KINDS", "TABLES", "id_map", "read", "read_table", "records", "tables", "views"]

ID_MAP = "SruDbIdMapTable"

# Extension GUID -> (key, readable name, columns holding FILETIMEs in Long long columns). Names as the
# SRUM\Extensions registry key and public descriptions of the database give them.
TABLES: dict[str, tuple[str, str, tuple[str, ...]]] = {
    "{973F5D5C-1D90-4944-BE8E-24B94231A174}": ("network_usage", "Network Data Usage", ()),
    "{DD6636C4-8929-4683-974E-22C046A43763}": (
        "network_connectivity",
        "Network Connectivity Usage",
        ("ConnectStartTime",),
    ),
    "{D10CA2FE-6FCF-4F6D-848E-B2E99266FA89}": ("app_resource_usage", "Application Resource Usage", ()),
    "{D10CA2FE-6FCF-4F6D-848E-B2E99266FA86}": ("push_notifications", "Push Notifications", ()),
    "{FEE4E14F-02A9-4550-B5CE-5FA2DA202E37}": ("energy_usage", "Energy Usage", ("EventTimestamp",)),
    "{5C8CF1C7-7257-4F13-B223-970EF5939312}": ("app_timeline", "Application Timeline", ("EndTime",)),
    "{7ACBBAA3-D029-4BE4-9A7A-0885927F1D8F}": ("vfu", "VFU Provider", ("StartTime", "EndTime")),
    "{DA73FB89-2BEA-4DDC-86B8-6E048C6DA477}": ("energy_estimation", "Energy Estimation Provider", ()),
    "{B6D82AF1-F780-4E17-8077-6CB9AD8A6FC4}": ("tagged_energy", "Tagged Energy Provider", ()),
    "{17F4D97B-F26A-5E79-3A82-90040A47D13D}": ("sdp_volume", "SDP Volume Provider", ()),
    "{841A7317-3805-518B-C2EA-AD224CB4AF84}": ("sdp_physical_disk", "SDP Physical Disk Provider", ()),
    "{DC3D3B50-BB90-5066-FA4E-A5F90DD8B677}": ("sdp_cpu", "SDP CPU Provider", ()),
    "{EEE2F477-0659-5C47-EF03-6D6BEFD441B3}": ("sdp_network", "SDP Network Provider", ()),
}
SUFFIX_NAMES = {"LT": "long term"}
# IdType of SruDbIdMapTable -> what IdBlob holds: UTF-16LE text for 0-2, a binary SID for 3.
ID_KINDS = {0: "application", 1: "service", 2: "package", 3: "user"}
_GUID = re.compile(
    r"^(\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\})(.*)$", re.S
)
_RESOLVED = {"AppId": ("App", "AppKind", None), "UserId": ("User", "UserKind", "UserName")}


def _describe(table: str) -> dict[str, Any] | None:
    """key, name, GUID, variant and FILETIME columns of an extension table; None for a table of no GUID."""
    match = _GUID.match(table)
    if match is None:
        return None
    guid, suffix = match.group(1).upper(), match.group(2)
    known = TABLES.get(guid)
    key, name, times = known if known else (table, guid, ())
    if known and suffix:
        key = f"{key}_{suffix.lower()}"
        name = f"{name} ({SUFFIX_NAMES.get(suffix, suffix)})"
    return {
        "table": table,
        "guid": guid,
        "key": key,
        "name": name,
        "variant": suffix or None,
        "known": known is not None,
        "filetimes": times,
    }


def _open(db: Database) -> EseDatabase:
    database = _base.open_database(db)
    _base.require(database, "a SRUM database", [ID_MAP])
    return database


def _extensions(db: EseDatabase) -> list[dict[str, Any]]:
    return [d for d in map(_describe, db.get_tables()) if d is not None]


def tables(db: Database) -> Any:
    """The extension tables of the database: table, guid, key, name, variant (the suffix), known, rows."""
    pa, _ = _base.arrow()
    database = _open(db)
    found = _extensions(database)
    for d in found:
        d["rows"] = database.table(d["table"]).count()
        del d["filetimes"]
    return pa.Table.from_pylist(
        found,
        schema=pa.schema(
            [
                ("table", pa.string()),
                ("guid", pa.string()),
                ("key", pa.string()),
                ("name", pa.string()),
                ("variant", pa.string()),
                ("known", pa.bool_()),
                ("rows", pa.int64()),
            ]
        ),
    )


def views(db: Database) -> list[str]:
    """The names read() takes for this database: "id_map", then the key of every extension table."""
    return ["id_map"] + [d["key"] for d in _extensions(_open(db))]


def _id_entry(kind: int | None, blob: bytes | None) -> tuple[str | None, str | None, str | None]:
    """(name, well-known name, note) of one SruDbIdMapTable entry."""
    if blob is None or kind is None:
        return None, None, None
    if kind == 3:
        sid = sid_text(blob)
        return sid, sid_name(sid), None if sid else f"IdBlob {blob.hex()} is no binary SID"
    if kind in ID_KINDS:
        text, sound = utf16_text(blob)
        return (
            text,
            None,
            None if sound else "IdBlob is not well-formed UTF-16LE (U+FFFD replaces the faults)",
        )
    text, sound = utf16_text(blob)
    if sound and len(blob) % 2 == 0 and text.isprintable() or sound and "\t" in text:
        # Windows 10 writes IdType 4 entries as tab-separated UTF-16LE text (a GUID-like id, then fields).
        note = f"IdType {kind} is not a known kind: IdBlob read as UTF-16LE text (kind left empty)"
        return text, None, note
    return None, None, f"IdType {kind} is not a known kind: IdBlob kept raw"


def id_map(db: Database) -> Any:
    """SruDbIdMapTable decoded: IdIndex, IdType, kind, name (text, or the SID string of a user), sid_name
    (the name of a well-known SID), IdBlob (raw) and notes; source and table on every row."""
    pa, _ = _base.arrow()
    database = _open(db)
    rows = []
    for batch in _base.batches(database, ID_MAP):
        for row in batch.to_pylist():
            kind = row.get("IdType")
            name, well_known, note = _id_entry(kind, row.get("IdBlob"))
            rows.append(
                {
                    "IdIndex": row.get("IdIndex"),
                    "IdType": kind,
                    "kind": ID_KINDS.get(kind),
                    "name": name,
                    "sid_name": well_known,
                    "IdBlob": row.get("IdBlob"),
                    "notes": note,
                }
            )
    schema = pa.schema(
        [
            ("source", pa.string()),
            ("table", pa.string()),
            ("IdIndex", pa.int64()),
            ("IdType", pa.int64()),
            ("kind", pa.string()),
            ("name", pa.string()),
            ("sid_name", pa.string()),
            ("IdBlob", pa.binary()),
            ("notes", pa.string()),
        ]
    )
    source = _base.source_of(database)
    return pa.Table.from_pylist([{"source": source, "table": ID_MAP, **r} for r in rows], schema=schema)


def _resolver(ids: Any) -> tuple[_base.Lookup, dict[int, str]]:
    """The id map to look AppId and UserId up in (per IdIndex its name, kind and well-known name), and the
    note of each entry that has one."""
    keys = ids.column("IdIndex").combine_chunks()
    lookup = _base.Lookup(keys, **{n: ids.column(n).combine_chunks() for n in ("name", "kind", "sid_name")})
    notes = {i: n for i, n in zip(keys.to_pylist(), ids.column("notes").to_pylist(), strict=True) if n}
    return lookup, notes


def _interface_types(luid: Any) -> Any:
    """The interface type of each NET_LUID (bits 48-63, the IANA ifType): its name, or "ifType N"."""
    pa, pc = _base.arrow()
    if_type = pc.bit_wise_and(pc.shift_right(pc.cast(luid, pa.int64()), 48), 0xFFFF)
    distinct = pc.drop_null(pc.unique(if_type))
    labels = pa.array([INTERFACE_TYPES.get(t, f"ifType {t}") for t in distinct.to_pylist()], pa.string())
    return pa.DictionaryArray.from_arrays(pc.index_in(if_type, value_set=distinct), labels, safe=False)


def _problem(column: str, problems: dict[int, str], key: int) -> str:
    return f"{column} {key}: {problems[key]}"


def _transform(
    batch: Any, source: str, table: str, times: tuple[str, ...], ids: tuple[_base.Lookup, dict[int, str]]
) -> Any:
    pa, pc = _base.arrow()
    lookup, problems = ids
    out, notes = Columns(batch.num_rows), Notes(batch.num_rows)
    out.constant("source", source)
    out.constant("table", table)
    for f in batch.schema:
        column = batch.column(f.name)
        if f.name in times and pa.types.is_integer(f.type):
            out.add(f.name, _base.filetimes(column, f.name, notes), FILETIME_RULE, f.metadata)
        else:
            out.keep(batch, f.name)
        if f.name in _RESOLVED and pa.types.is_integer(f.type):
            name, kind, well_known = _RESOLVED[f.name]
            keys = column if pa.types.is_int32(f.type) else pc.cast(column, pa.int64())
            (found, kinds, *names), missing = lookup(
                keys, "name", "kind", *(["sid_name"] if well_known else [])
            )
            rule = f"{ID_MAP} entry of {f.name} (IdIndex): IdBlob as UTF-16LE text, or as a SID for IdType 3"
            out.add(name, found, rule)
            out.add(kind, kinds, f"IdType of the {f.name} entry")
            if well_known:
                out.add(well_known, names[0], "name of a well-known SID")
            notes.values(missing, f"{f.name} ", keys, f" is not in {ID_MAP}")
            if problems:
                flagged = pc.is_in(keys, value_set=pa.array(list(problems), keys.type))
                notes.by_value(flagged, keys, functools.partial(_problem, f.name, problems))
        if f.name == "InterfaceLuid" and pa.types.is_integer(f.type):
            out.add("InterfaceType", _interface_types(column), "NET_LUID bits 48-63: IANA ifType")
    out.add("notes", notes.text, "what a value is or why it is null, where not obvious")
    return out.batch()


def _find(db: EseDatabase, view: str) -> dict[str, Any]:
    """The extension table `view` names: its key, its ESE name, its GUID (braces optional) or its name."""
    wanted = view.casefold().strip()
    found = _extensions(db)
    for d in found:
        names = (d["key"], d["table"], d["name"], d["table"].strip("{}"))
        if view == d["table"] or wanted in (n.casefold() for n in names):
            return d
    keys = ", ".join(["id_map"] + [d["key"] for d in found])
    raise ValueError(f"{_base.source_of(db)}: no SRUM table {view!r} (this database has: {keys})")


def read(db: Database, view: str, *, batch_rows: int = 65536, ids: Any = None) -> Any:
    """The table `view` (a key such as "network_usage", a GUID, the table's name or readable name; or
    "id_map") as a pyarrow.RecordBatchReader, read and decoded batch by batch. Output columns: source, table,
    then the table's columns in order with App/AppKind after AppId, User/UserKind/UserName after UserId,
    InterfaceType after InterfaceLuid, FILETIME columns typed; notes last. `ids`: id_map(db), when already
    read. A read error or unreadable values end the reader or are noted with an ArtifactWarning."""
    database = _open(db)
    if view == "id_map":
        table = id_map(database)
        return _base.reader(table.schema, [table])
    d = _find(database, view)
    ids = _resolver(ids if ids is not None else id_map(database))
    source = _base.source_of(database)
    schema = _base.source_schema(database, d["table"])
    parts = _base.batches(database, d["table"], batch_rows=batch_rows)
    return _base.transformed(schema, parts, lambda b: _transform(b, source, d["table"], d["filetimes"], ids))


def read_table(db: Database, view: str, **options: Any) -> Any:
    """read(db, view) as one pyarrow.Table."""
    return read(db, view, **options).read_all()


def records(db: Database, view: str, **options: Any) -> Iterator[dict[str, Any]]:
    """The rows of read(db, view) as dicts of Python values (instants as aware datetimes)."""
    return _base.records(read(db, view, **options))
