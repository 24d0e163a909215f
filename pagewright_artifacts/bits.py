"""BITS (the Background Intelligent Transfer Service's `qmgr.db`, Windows 10 and 11): jobs and their files,
decoded from the `Blob` column of the `Jobs` and `Files` tables.

    import pagewright.artifacts.bits as bits
    jobs = bits.read_table("qmgr.db", "jobs")
    files = bits.read_table("qmgr.db", "files")     # each file with the job that lists it

Both tables have two columns, `Id` (GUID) and `Blob` (Long Binary). The layouts below were established from a
real Windows 10 database (a finished download job of one file) and the BITS API (the enumerations and the
order of BG_JOB_TIMES and BG_FILE_PROGRESS). Strings are a u32 count of UTF-16LE code units that includes the
terminating NUL, then the units. Integers are little-endian.

Job blob:
    0   GUID {E10956A1-AF43-42C9-92E6-6F9856EBA7F6}: starts (and ends) every job blob
    16  u32  type (BG_JOB_TYPE)  -- download 0 in the sample, as is the unlabelled u32 at 28: the order
             type, priority, state of the API is taken
    20  u32  priority (BG_JOB_PRIORITY; normal 2 in the sample)
    24  u32  state (BG_JOB_STATE; transferred 6 in the sample, whose file is complete)
    28  u32  unlabelled
    32  GUID job id (the row's Id)
    48  str  display name, str description, str notify program, str notify parameters (the two arguments
             of SetNotifyCmdLine, in their order; both empty in the sample), str owner SID
        u32  notify flags (BG_NOTIFY_*; 3, the default, in the sample)
        5 x u32 unlabelled
        u32  length of the security descriptor, then the descriptor (self-relative)
        GUID {7756DA36-516F-435A-ACAC-44A248FFF34D}, u32 number of files, one GUID per file (its Files Id),
             the same GUID again
        2 x u32 unlabelled
        u32  minimum retry delay (s), u32 no-progress timeout (s)
        3 x FILETIME creation, modification, transfer completion (the order of BG_JOB_TIMES)
        the rest is not labelled (in the sample: three more FILETIMEs, two copies of a GUID, the path of
        the program that created the job, the HTTP method): kept raw, its strings listed
File blob:
    0   GUID {519ECFE4-D946-4397-B73E-268513051AB2}: starts (and ends) every file blob
    16  str  local path, str remote URL, str temporary file
        u64  bytes total (2^64-1: unknown), u64 bytes transferred (the order of BG_FILE_PROGRESS; equal in
             the sample)
        u8   unlabelled
        str  volume mount point, str volume GUID path
        the rest is not labelled: kept raw, its strings listed
A field that the blob is too short for is null, with a note; the raw blob is always kept.
"""

from __future__ import annotations

import datetime
import struct
import uuid
from typing import TYPE_CHECKING, Any

from . import _base
from ._base import FILETIME_MAX
from ._decode import sid_name

if TYPE_CHECKING:
    from collections.abc import Iterator

    from pagewright import EseDatabase

    from ._base import Database

__all__ = [
    "JOB_DELIMITER",
    "FILE_DELIMITER",
    "parse_file",
    "parse_job",
    "read",
    "read_table",
    "records",
    "views",
]

JOB_DELIMITER = uuid.UUID("e10956a1-af43-42c9-92e6-6f9856eba7f6")
FILE_LIST_DELIMITER = uuid.UUID("7756da36-516f-435a-acac-44a248fff34d")
FILE_DELIMITER = uuid.UUID("519ecfe4-d946-4397-b73e-268513051ab2")
JOB_TYPES = {0: "download", 1: "upload", 2: "upload-reply"}
PRIORITIES = {0: "foreground", 1: "high", 2: "normal", 3: "low"}
STATES = {
    0: "queued",
    1: "connecting",
    2: "transferring",
    3: "suspended",
    4: "error",
    5: "transient error",
    6: "transferred",
    7: "acknowledged",
    8: "cancelled",
}
NOTIFY_FLAGS = {
    1: "job transferred",
    2: "job error",
    4: "disable",
    8: "job modification",
    0x10: "file transferred",
    0x20: "file ranges transferred",
}
SIZE_UNKNOWN = (1 << 64) - 1
MAX_STRING = 1 << 16  # code units; longer counts are no string of these records
TAIL_SCAN = 1 << 16  # bytes of a blob's unlabelled rest searched for strings


class Short(Exception):
    """The blob ends inside a field."""


class Cursor:
    """Reads the fields of one blob in order; every read is bounds-checked."""

    def __init__(self, blob: bytes) -> None:
        self.blob, self.at = blob, 0
        self.unlabelled: list[str] = []
        self.field = ""

    def take(self, size: int, field: str) -> bytes:
        self.field = field
        if self.at + size > len(self.blob):
            raise Short(f"the blob ({len(self.blob)} bytes) ends at byte {len(self.blob)} inside {field}")
        data = self.blob[self.at : self.at + size]
        self.at += size
        return data

    def u32(self, field: str) -> int:
        return int(struct.unpack("<I", self.take(4, field))[0])

    def u64(self, field: str) -> int:
        return int(struct.unpack("<Q", self.take(8, field))[0])

    def guid(self, field: str) -> uuid.UUID:
        return uuid.UUID(bytes_le=self.take(16, field))

    def text(self, field: str) -> str:
        count = self.u32(field)
        if count > MAX_STRING:
            raise Short(f"{field}: a string of {count} code units is no string of this record")
        return self.take(2 * count, field).decode("utf-16-le", "replace").rstrip("\x00")

    def skip(self, kind: str, count: int = 1) -> None:
        """Unlabelled fields, listed as "offset: kind value"."""
        for _ in range(count):
            at = self.at
            value = self.u32("an unlabelled u32") if kind == "u32" else self.take(1, "an unlabelled u8")[0]
            self.unlabelled.append(f"{at}: {kind} {value}")


def filetime(value: int) -> datetime.datetime | None:
    """A FILETIME as an aware datetime; 0 (not set) and values past 9999 are None."""
    if value == 0 or value > FILETIME_MAX:
        return None
    return datetime.datetime(1601, 1, 1, tzinfo=datetime.UTC) + datetime.timedelta(microseconds=value // 10)


def tail_strings(blob: bytes, start: int) -> list[str]:
    """The length-prefixed UTF-16LE strings found in blob[start:] (its first TAIL_SCAN bytes), as "offset:
    text": a u32 count of 2 or more code units, the last NUL, the others printable."""
    found, at, end_of_scan = [], start, min(len(blob), start + TAIL_SCAN)
    while at + 4 <= end_of_scan:
        count = struct.unpack_from("<I", blob, at)[0]
        end = at + 4 + 2 * count
        if 2 <= count <= MAX_STRING and end <= len(blob) and blob[end - 2 : end] == b"\0\0":
            units = struct.unpack_from(f"<{count - 1}H", blob, at + 4)
            if all(u >= 0x20 for u in units):
                found.append(f"{at}: {blob[at + 4 : end - 2].decode('utf-16-le', 'replace')}")
                at = end
                continue
        at += 1
    if end_of_scan < len(blob):
        found.append(
            f"{end_of_scan}: (the {len(blob) - end_of_scan} bytes after this offset were not searched)"
        )
    return found


def _named(names: dict[int, str], code: int | None, what: str, notes: list[str]) -> str | None:
    if code is None:
        return None
    if code not in names:
        notes.append(f"{what} {code} is not a known value")
    return names.get(code)


def _decode(blob: bytes, delimiter: uuid.UUID, what: str, fields: Any) -> dict[str, Any]:
    """A blob that starts and ends with `delimiter`: fields(cursor, record) reads its fields in order; a blob
    too short ends them with a note. The unlabelled rest (tail) and fixed fields are listed."""
    record: dict[str, Any] = {"notes": []}
    c = Cursor(blob)
    try:
        if c.guid(f"the {what} delimiter") != delimiter:
            record["notes"].append(
                f"the blob does not start with the {what} delimiter {{{delimiter}}}: not decoded"
            )
            return record
        fields(c, record)
    except Short as exc:
        record["notes"].append(str(exc))
    record.update(tail_offset=c.at, tail_strings=tail_strings(blob, c.at), unlabelled=c.unlabelled)
    if blob[-16:] != delimiter.bytes_le:
        record["notes"].append(f"the blob does not end with the {what} delimiter")
    return record


def _job_fields(c: Cursor, job: dict[str, Any]) -> None:
    job["type_code"], job["priority_code"], job["state_code"] = (
        c.u32(f) for f in ("type", "priority", "state")
    )
    c.skip("u32")
    job["job_id"] = str(c.guid("the job id"))
    for name in ("name", "description", "notify_program", "notify_parameters", "owner_sid"):
        job[name] = c.text(name.replace("_", " "))
    job["notify_flags"] = c.u32("notify flags")
    c.skip("u32", 5)
    job["security_descriptor"] = c.take(c.u32("the security descriptor's length"), "the security descriptor")
    if c.guid("the file list delimiter") != FILE_LIST_DELIMITER:
        raise Short(f"no file list delimiter {{{FILE_LIST_DELIMITER}}} at byte {c.at - 16}")
    count = c.u32("the number of files")
    job["file_ids"] = [str(c.guid("a file id")) for _ in range(min(count, len(c.blob) // 16 + 1))]
    if c.guid("the end of the file list") != FILE_LIST_DELIMITER:
        raise Short(f"the file list does not end with its delimiter at byte {c.at - 16}")
    c.skip("u32", 2)
    job["minimum_retry_delay"] = c.u32("the minimum retry delay")
    job["no_progress_timeout"] = c.u32("the no-progress timeout")
    for name in ("created", "modified", "completed"):
        ticks = c.u64(f"the {name} time")
        job[name] = filetime(ticks)
        if job[name] is None and ticks:
            job["notes"].append(f"{name}: FILETIME {ticks} is no instant")


def parse_job(blob: bytes) -> dict[str, Any]:
    """The fields of a job blob (see the module's layout); missing ones None, with "notes"."""
    job = _decode(blob, JOB_DELIMITER, "job", _job_fields)
    job["type"] = _named(JOB_TYPES, job.get("type_code"), "type", job["notes"])
    job["priority"] = _named(PRIORITIES, job.get("priority_code"), "priority", job["notes"])
    job["state"] = _named(STATES, job.get("state_code"), "state", job["notes"])
    if job.get("notify_flags") is not None:
        job["notify_flag_names"] = [n for bit, n in NOTIFY_FLAGS.items() if job["notify_flags"] & bit]
    job["owner_name"] = sid_name(job.get("owner_sid"))
    return job


def _file_fields(c: Cursor, item: dict[str, Any]) -> None:
    for name in ("local_path", "remote_url", "temp_path"):
        item[name] = c.text(name.replace("_", " "))
    for name in ("bytes_total", "bytes_transferred"):
        value = c.u64(name.replace("_", " "))
        item[name] = None if value == SIZE_UNKNOWN else value
        if value == SIZE_UNKNOWN:
            item["notes"].append(f"{name}: unknown (2^64-1)")
    c.skip("u8")
    item["volume_mount"] = c.text("the volume mount point")
    item["volume_path"] = c.text("the volume path")


def parse_file(blob: bytes) -> dict[str, Any]:
    """The fields of a file blob (see the module's layout); missing ones None, with "notes"."""
    item = _decode(blob, FILE_DELIMITER, "file", _file_fields)
    total, done = item.get("bytes_total"), item.get("bytes_transferred")
    item["transfer_complete"] = None if total is None or done is None else total == done
    return item


def _schema(kind: str) -> Any:
    pa, _ = _base.arrow()
    text, when, u32 = pa.string(), pa.timestamp("us", tz="UTC"), pa.int64()
    head = [("source", text), ("table", text), ("Id", text)]
    tail = [
        ("tail_offset", u32),
        ("tail_strings", pa.list_(text)),
        ("unlabelled", pa.list_(text)),
        ("Blob", pa.binary()),
        ("notes", text),
    ]
    if kind == "jobs":
        body = [
            ("job_id", text),
            ("name", text),
            ("description", text),
            ("type", text),
            ("type_code", u32),
            ("priority", text),
            ("priority_code", u32),
            ("state", text),
            ("state_code", u32),
            ("owner_sid", text),
            ("owner_name", text),
            ("notify_program", text),
            ("notify_parameters", text),
            ("notify_flags", u32),
            ("notify_flag_names", pa.list_(text)),
            ("minimum_retry_delay", u32),
            ("no_progress_timeout", u32),
            ("created", when),
            ("modified", when),
            ("completed", when),
            ("file_ids", pa.list_(text)),
            ("security_descriptor", pa.binary()),
        ]
    else:
        body = [
            ("job_id", text),
            ("job_name", text),
            ("local_path", text),
            ("remote_url", text),
            ("temp_path", text),
            ("bytes_total", u32),
            ("bytes_transferred", u32),
            ("transfer_complete", pa.bool_()),
            ("volume_mount", text),
            ("volume_path", text),
        ]
    return pa.schema(head + body + tail)


def _rows(db: EseDatabase, table: str, parse: Any, batch_rows: int) -> Iterator[list[dict[str, Any]]]:
    """The rows of `table` with their blob parsed, one list per batch read."""
    source = _base.source_of(db)
    for batch in _base.batches(db, table, batch_rows=batch_rows):
        rows = []
        for row in batch.to_pylist():
            blob = row.get("Blob")
            fields = parse(blob) if isinstance(blob, bytes) else {"notes": ["no Blob"]}
            rows.append({"source": source, "table": table, "Id": row.get("Id"), "Blob": blob, **fields})
        yield rows


def _jobs(db: EseDatabase, batch_rows: int) -> Iterator[list[dict[str, Any]]]:
    for jobs in _rows(db, "Jobs", parse_job, batch_rows):
        for job in jobs:
            if job.get("job_id") and job["Id"] and job["job_id"] != str(job["Id"]).lower():
                job["notes"].append(f"the blob's job id {job['job_id']} differs from the row's Id")
        yield jobs


def _files(db: EseDatabase, batch_rows: int) -> Iterator[list[dict[str, Any]]]:
    """The files, each with the job that lists it (the jobs are read first, keeping only that index)."""
    owners = {
        f: (j.get("job_id"), j.get("name"))
        for jobs in _jobs(db, batch_rows)
        for j in jobs
        for f in j.get("file_ids") or ()
    }
    for files in _rows(db, "Files", parse_file, batch_rows):
        for item in files:
            item["job_id"], item["job_name"] = owners.get(str(item["Id"]).lower(), (None, None))
            if str(item["Id"]).lower() not in owners:
                item["notes"].append("no job lists this file")
        yield files


def _open(db: Database) -> EseDatabase:
    database = _base.open_database(db)
    _base.require(database, "a BITS database", ["Jobs", "Files"])
    return database


def views(db: Database) -> list[str]:
    """The names read() takes: "jobs" and "files"."""
    _open(db)
    return ["jobs", "files"]


def read(db: Database, view: str = "jobs", *, batch_rows: int = 65536) -> Any:
    """The view "jobs" or "files" as a pyarrow.RecordBatchReader, parsed batch by batch."""
    pa, _ = _base.arrow()
    database = _open(db)
    if view not in ("jobs", "files"):
        raise ValueError(
            f"{_base.source_of(database)}: no BITS view {view!r} (this database has: jobs, files)"
        )
    schema = _schema(view)

    def batches() -> Iterator[Any]:
        for rows in (_jobs if view == "jobs" else _files)(database, batch_rows):
            for row in rows:
                row["notes"] = "; ".join(row["notes"]) or None
            yield pa.Table.from_pylist(rows, schema=schema)

    return _base.reader(schema, batches())


def read_table(db: Database, view: str = "jobs") -> Any:
    """read(db, view) as one pyarrow.Table."""
    return read(db, view).read_all()


def records(db: Database, view: str = "jobs") -> Iterator[dict[str, Any]]:
    """The rows of read(db, view) as dicts of Python values."""
    return _base.records(read(db, view))
