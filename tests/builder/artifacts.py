"""SRUM-, UAL-, WebCache- and BITS-shaped databases with known values, written from the artefacts' table
layouts (and, for BITS, the blob layout documented in pagewright_artifacts/bits.py)."""

from __future__ import annotations

import struct
import uuid
from collections.abc import Iterator
from typing import Any

from .constants import (
    BINARY,
    DATETIME,
    GUID,
    LONG,
    LONG_BINARY,
    LONG_LONG,
    LONG_TEXT,
    SHORT,
    TEXT,
    UNSIGNED_BYTE,
)
from .database import DatabaseBuilder
from .values import Column, LongValue

NETWORK_USAGE = "{973F5D5C-1D90-4944-BE8E-24B94231A174}"
CONNECTIVITY = "{DD6636C4-8929-4683-974E-22C046A43763}"
ENERGY_LT = "{FEE4E14F-02A9-4550-B5CE-5FA2DA202E37}LT"
UNKNOWN_TABLE = "{01234567-89AB-CDEF-0123-456789ABCDEF}"
USER_SID = "S-1-5-21-1079689790-2336414676-942872339-1001"
ROLE = "10a9226f-50ee-49d8-a393-9a501d47ce04"
FILETIME_2021 = 132_818_000_000_000_000  # 2021-11-17T01:06:40Z


def sid_bytes(text: str) -> bytes:
    parts = [int(p) for p in text.split("-")[2:]]
    return (
        bytes([1, len(parts) - 1])
        + parts[0].to_bytes(6, "big")
        + b"".join(p.to_bytes(4, "little") for p in parts[1:])
    )


def utf16(text: str) -> bytes:
    return (text + "\0").encode("utf-16-le")


# IdIndex -> (IdType, IdBlob)
ID_MAP = {
    1: (0, None),
    2: (0, utf16("\\device\\harddiskvolume2\\windows\\system32\\svchost.exe")),
    3: (1, utf16("Dnscache")),
    4: (3, sid_bytes(USER_SID)),
    5: (3, sid_bytes("S-1-5-18")),
    6: (9, b"\x01\x02\x03"),  # an IdType of no known kind
    7: (3, b"\x01\x05\x00"),  # a SID blob too short for its layout
    8: (0, utf16('=HYPERLINK("http://x")')),  # text a spreadsheet would run
    9: (4, utf16("6cb9f58e-0000-0000-0000-100000000000\t\tSystem Reserved\t0")),  # Windows 10's IdType 4
}
SRUM_COLUMNS = [
    Column(1, "AutoIncId", LONG),
    Column(2, "TimeStamp", DATETIME),
    Column(3, "AppId", LONG),
    Column(4, "UserId", LONG),
]


def network_rows(count: int, first: int = 1, odd: int = 12) -> Iterator[dict[str, Any]]:
    """Rows of the network usage table. AppId and UserId alternate between entries of the id map; in every
    `odd` rows one AppId has an unknown IdType, one is missing from the map and one UserId is a short SID."""
    for n in range(first, first + count):
        app = {5: 999, 7: 6}.get(n % odd, 2 + n % 2)
        yield {
            "AutoIncId": n,
            "TimeStamp": 44516.0 + n / 24,
            "AppId": app,
            "UserId": 7 if n % odd == 11 else 4 + n % 2,
            "InterfaceLuid": ((71 if n % 2 else 6) << 48) | (n << 24),
            "L2ProfileId": n % 5,
            "L2ProfileFlags": 0,
            "BytesSent": 1000 * n,
            "BytesRecvd": 3000 * n,
        }


def srum(network: int = 12, page_size: int = 8192, odd: int = 12) -> DatabaseBuilder:
    db = DatabaseBuilder(page_size=page_size)
    ids = db.add_table(
        "SruDbIdMapTable",
        [Column(1, "IdType", UNSIGNED_BYTE), Column(2, "IdIndex", LONG), Column(256, "IdBlob", LONG_BINARY)],
    )
    ids.add_rows({"IdType": t, "IdIndex": i, "IdBlob": b} for i, (t, b) in ID_MAP.items())
    net = db.add_table(
        NETWORK_USAGE,
        SRUM_COLUMNS
        + [
            Column(5, "InterfaceLuid", LONG_LONG),
            Column(6, "L2ProfileId", LONG),
            Column(7, "L2ProfileFlags", LONG),
            Column(8, "BytesSent", LONG_LONG),
            Column(9, "BytesRecvd", LONG_LONG),
        ],
    )
    net.add_rows(network_rows(network, odd=odd))
    conn = db.add_table(
        CONNECTIVITY,
        SRUM_COLUMNS
        + [
            Column(5, "InterfaceLuid", LONG_LONG),
            Column(6, "ConnectedTime", LONG),
            Column(7, "ConnectStartTime", LONG_LONG),
        ],
    )
    for n, start in enumerate((FILETIME_2021, 0, -5)):  # a FILETIME, one of 0 (not set), one of no instant
        conn.add_row(
            AutoIncId=n + 1,
            TimeStamp=44516.5,
            AppId=3,
            UserId=5,
            InterfaceLuid=(999 << 48) | 1,
            ConnectedTime=60,
            ConnectStartTime=start,
        )
    db.add_table(ENERGY_LT, SRUM_COLUMNS + [Column(5, "ActiveAcTime", LONG)]).add_row(
        AutoIncId=1, TimeStamp=44516.25, AppId=2, UserId=4, ActiveAcTime=7
    )
    db.add_table(UNKNOWN_TABLE, SRUM_COLUMNS + [Column(5, "Later", LONG)]).add_row(
        AutoIncId=9, TimeStamp=44516.0, AppId=3, UserId=4, Later=42
    )
    return db


def system_identity() -> DatabaseBuilder:
    db = DatabaseBuilder(page_size=4096)
    roles = db.add_table(
        "ROLE_IDS",
        [
            Column(1, "RoleGuid", GUID),
            Column(128, "ProductName", TEXT, codepage=1200),
            Column(129, "RoleName", TEXT, codepage=1200),
        ],
    )
    roles.add_row(RoleGuid=ROLE, ProductName="Windows Server 2019", RoleName="File Server")
    return db


UAL_ADDRESSES = (
    bytes([10, 0, 0, 7]),
    bytes.fromhex("20010db8000000000000000000000001"),
    b"\x01\x02\x03\x04\x05",
)


def ual() -> DatabaseBuilder:
    """Current.mdb: three CLIENTS rows (IPv4, IPv6, 5 bytes; the last of an unknown role) and a DNS table."""
    db = DatabaseBuilder(page_size=4096)
    days = [Column(256 + i, f"Day{n}", SHORT) for i, n in enumerate((1, 2, 60, 366))]
    clients = db.add_table(
        "CLIENTS",
        [
            Column(1, "RoleGuid", GUID),
            Column(2, "TenantId", GUID),
            Column(3, "TotalAccesses", LONG),
            Column(4, "InsertDate", DATETIME),
            Column(5, "LastAccess", DATETIME),
            Column(128, "Address", BINARY),
            Column(129, "AuthenticatedUserName", TEXT, codepage=1200),
        ]
        + days,
    )
    for n, address in enumerate(UAL_ADDRESSES):
        role = ROLE if n < 2 else "00000000-0000-0000-0000-0000000000aa"
        clients.add_row(
            RoleGuid=role,
            TenantId=str(uuid.UUID(int=n)),
            TotalAccesses=10 + n,
            InsertDate=[44197.5, 43831.5, 44197.5][n],  # 2021-01-01, 2020-01-01 (a leap year)
            LastAccess=44200.0,
            Address=address,
            AuthenticatedUserName=f"corp\\user{n}",
            Day1=3,
            Day2=0,
            Day60=n,
            Day366=5,
        )
    dns = db.add_table(
        "DNS",
        [
            Column(1, "LastSeen", DATETIME),
            Column(128, "Address", TEXT),
            Column(129, "HostName", TEXT, codepage=1200),
        ],
    )
    dns.add_row(LastSeen=44200.0, Address="fe80::1", HostName="host.corp.example")
    return db


def webcache() -> DatabaseBuilder:
    """Containers names 1 (History), 2 (Content) and 5 (no table); Container_9 exists but is not named."""
    db = DatabaseBuilder(page_size=8192)
    containers = db.add_table(
        "Containers",
        [
            Column(1, "ContainerId", LONG_LONG),
            Column(2, "LastAccessTime", LONG_LONG),
            Column(256, "Name", LONG_TEXT, codepage=1200),
            Column(257, "Directory", LONG_TEXT, codepage=1200),
        ],
    )
    for number, name in ((1, "History"), (2, "Content"), (5, "Cookies")):
        containers.add_row(
            ContainerId=number,
            LastAccessTime=FILETIME_2021,
            Name=name,
            Directory=f"C:\\Users\\bob\\AppData\\Local\\Microsoft\\Windows\\{name}\\",
        )
    columns = [
        Column(1, "EntryId", LONG_LONG),
        Column(2, "ContainerId", LONG_LONG),
        Column(3, "AccessCount", LONG),
        Column(4, "AccessedTime", LONG_LONG),
        Column(5, "ModifiedTime", LONG_LONG),
        Column(6, "ExpiryTime", LONG_LONG),
        Column(256, "Url", LONG_TEXT, codepage=1200),
        Column(257, "ResponseHeaders", LONG_BINARY),
    ]
    headers = b"\x01\x00\x00\x00HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n\x00junk"
    for number, url in (
        (1, "Visited: bob@https://example.com/"),
        (2, "https://example.com/logo.png"),
        (9, "https://orphan.example/"),
    ):
        db.add_table(f"Container_{number}", columns).add_row(
            EntryId=number * 10,
            ContainerId=number,
            AccessCount=number,
            AccessedTime=FILETIME_2021,
            ModifiedTime=0,
            ExpiryTime=0x7FFFFFFFFFFFFFFF,
            Url=LongValue(url),
            ResponseHeaders=headers if number == 2 else None,
        )
    return db


def _text(value: str) -> bytes:
    return struct.pack("<I", len(value) + 1) + utf16(value)


JOB_MARK = uuid.UUID("e10956a1-af43-42c9-92e6-6f9856eba7f6").bytes_le
FILE_LIST_MARK = uuid.UUID("7756da36-516f-435a-acac-44a248fff34d").bytes_le
FILE_MARK = uuid.UUID("519ecfe4-d946-4397-b73e-268513051ab2").bytes_le
JOB_ID, FILE_ID = "11111111-2222-3333-4444-555555555555", "66666666-7777-8888-9999-000000000000"


def job_blob(name: str = "evil job", program: str = "C:\\Windows\\Temp\\evil.exe", state: int = 4) -> bytes:
    """A job: upload (1), low priority (3), state `state`, a notify command line, one file, three times."""
    head = JOB_MARK + struct.pack("<4I", 1, 3, state, 0) + uuid.UUID(JOB_ID).bytes_le
    texts = b"".join(_text(t) for t in (name, "descr", program, "--run", "S-1-5-18"))
    body = struct.pack("<6I", 1 | 2, 0, 0, 0, 0, 0) + struct.pack("<I", 4) + b"SDSD"
    files = FILE_LIST_MARK + struct.pack("<I", 1) + uuid.UUID(FILE_ID).bytes_le + FILE_LIST_MARK
    times = struct.pack("<4I3Q", 0, 0, 600, 1209600, FILETIME_2021, FILETIME_2021 + 10**7, 0)
    return head + texts + body + files + times + _text("C:\\tool.exe") + JOB_MARK


def file_blob(total: int = 2**64 - 1, done: int = 100) -> bytes:
    paths = b"".join(
        _text(t) for t in ("C:\\Temp\\payload.bin", "https://evil.example/p", "C:\\Temp\\BIT1.tmp")
    )
    return (
        FILE_MARK
        + paths
        + struct.pack("<QQB", total, done, 0)
        + _text("C:\\")
        + _text("\\\\?\\Volume{x}\\")
        + FILE_MARK
    )


def bits(jobs: list[bytes] | None = None) -> DatabaseBuilder:
    db = DatabaseBuilder(page_size=8192)
    columns = [Column(1, "Id", GUID), Column(256, "Blob", LONG_BINARY)]
    job_table = db.add_table("Jobs", columns)
    for n, blob in enumerate(jobs if jobs is not None else [job_blob(), job_blob()[:70]]):
        job_table.add_row(Id=JOB_ID if n == 0 else str(uuid.UUID(int=n)), Blob=LongValue(blob))
    db.add_table("Files", columns).add_row(Id=FILE_ID, Blob=LongValue(file_blob()))
    return db
