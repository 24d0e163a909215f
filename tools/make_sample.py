#!/usr/bin/env python3
"""Write the sample database bundled with the `pagewright` command (pagewright_cli/data/sample.edb).

The file is made by the project's own ESE writer (tests/builder) from the description below, so running this
script again gives the same bytes. It looks like something met in an investigation:

- "Applications": an id map in the style of the System Resource Usage Monitor: application paths and user
  SIDs as binary blobs, some rows with a long code-signing blob stored in the table's long-value tree;
- "NetworkUsage": per-application network counters, one column of every fixed-size type, enough rows for a
  two-level tree;
- "BrowserHistory": visited URLs and page titles as Unicode long text (some titles 7-bit compressed),
  response headers as XPRESS-compressed long values, and a secondary index;
- two deleted records whose bytes are still in the free space of leaf pages, for `pagewright carve`.

Usage: python tools/make_sample.py [OUTPUT]   (default: pagewright_cli/data/sample.edb)
"""

from __future__ import annotations

import random
import struct
import sys
import uuid
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from builder import Column, Compressed, DatabaseBuilder, LongValue  # noqa: E402
from builder import constants as c  # noqa: E402
from builder.page import fix_page_checksum  # noqa: E402

DEFAULT_OUTPUT = ROOT / "pagewright_cli" / "data" / "sample.edb"
PAGE_SIZE = 4096
SEED = 20240317
NOT_NULL = c.COLUMN_NOT_NULL
COMPRESSED = 0x1000  # catalog column flag: values and long-value chunks may be compressed

# 2024-03-11 08:00:00 UTC as a FILETIME (100 ns ticks since 1601-01-01).
EPOCH_FILETIME = (1710144000 + 11644473600) * 10_000_000
HOUR = 3600 * 10_000_000

APPLICATIONS = [
    r"\Device\HarddiskVolume3\Program Files\Mozilla Firefox\firefox.exe",
    r"\Device\HarddiskVolume3\Program Files (x86)\Microsoft\Edge\Application\msedge.exe",
    r"\Device\HarddiskVolume3\Windows\System32\svchost.exe",
    r"\Device\HarddiskVolume3\Program Files\Microsoft Office\root\Office16\OUTLOOK.EXE",
    r"\Device\HarddiskVolume3\Users\jdoe\AppData\Local\Microsoft\Teams\current\Teams.exe",
    r"\Device\HarddiskVolume3\Windows\System32\WindowsPowerShell\v1.0\powershell.exe",
    r"\Device\HarddiskVolume3\Program Files\OpenVPN\bin\openvpn.exe",
    r"\Device\HarddiskVolume3\Users\jdoe\AppData\Local\Programs\Microsoft VS Code\Code.exe",
    r"\Device\HarddiskVolume3\Windows\System32\OneDriveSetup.exe",
    r"\Device\HarddiskVolume3\Program Files\7-Zip\7zG.exe",
    "DoSvc",
    "wuauserv",
    "Microsoft.WindowsStore_8wekyb3d8bbwe",
    "Microsoft.MicrosoftEdge.Stable_8wekyb3d8bbwe",
]
SIGNED = {0: "Mozilla Corporation", 1: "Microsoft Corporation", 3: "Microsoft Corporation", 6: "OpenVPN Inc."}
USERS = ["S-1-5-18", "S-1-5-19", "S-1-5-21-3623811015-3361044348-30300820-1001"]

PROFILES = [
    ("CORP-WIFI", 1, -52),
    ("Hotel_Guest", 0, -71),
    ("Ethernet 2", None, None),
    ("iPhone (J.)", 1, -60),
]

SITES = [
    ("www.bing.com", "/search?q=quarterly+payroll+template&form=QBLH", "quarterly payroll template - Search"),
    ("outlook.office.com", "/mail/inbox", "Mail - John Doe - Outlook"),
    ("github.com", "/rclone/rclone/releases", "Releases - rclone/rclone"),
    ("rclone.org", "/downloads/", "Rclone downloads"),
    ("docs.example-corp.com", "/finance/2024/Q3/payroll.xlsx", "payroll.xlsx"),
    ("www.wikipedia.org", "/wiki/Extensible_Storage_Engine", "Extensible Storage Engine - Wikipedia"),
    ("intranet.example-corp.com", "/hr/benefits", "Benefits | Example Corp Intranet"),
    ("stackoverflow.com", "/questions/tagged/powershell", "Newest 'powershell' Questions - Stack Overflow"),
    ("www.youtube.com", "/watch?v=dQw4w9WgXcQ", "YouTube"),
    ("login.microsoftonline.com", "/common/oauth2/v2.0/authorize", "Sign in to your account"),
]

# Bytes left behind by deleted rows: found again in page slack by `pagewright carve`.
DELETED_VISIT = {
    "url": "https://filedrop.example.net/u/7f3a9c/Q3_payroll_export.7z",
    "title": "Q3_payroll_export.7z - FileDrop",
    "host": "filedrop.example.net",
}
DELETED_APPLICATION = r"\Device\HarddiskVolume3\Users\jdoe\AppData\Local\Temp\rc\rclone.exe"


def utf16z(text: str) -> bytes:
    """A NUL-terminated UTF-16LE string, the way the id map stores application names."""
    return (text + "\0").encode("utf-16-le")


def sid_bytes(text: str) -> bytes:
    parts = [int(p) for p in text.split("-")[1:]]
    revision, authority, subs = parts[0], parts[1], parts[2:]
    return bytes([revision, len(subs)]) + authority.to_bytes(6, "big") + struct.pack(f"<{len(subs)}I", *subs)


def signature_blob(rng: random.Random, signer: str) -> bytes:
    """A stand-in for a PKCS#7 signature: DER-looking framing, the signer's name, and opaque bytes."""
    body = bytes(rng.getrandbits(8) for _ in range(rng.randrange(1400, 2600)))
    subject = f"CN={signer}, O={signer}, C=US".encode("ascii")
    inner = b"\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x07\x02" + b"\x0c" + bytes([len(subject)]) + subject + body
    return b"\x30\x82" + len(inner).to_bytes(2, "big") + inner


def response_headers(rng: random.Random, host: str, length: int) -> str:
    lines = [
        "HTTP/1.1 200 OK",
        "Content-Type: text/html; charset=utf-8",
        f"Server: {rng.choice(['nginx', 'ECAcc (lhd/3A1B)', 'Microsoft-IIS/10.0', 'cloudflare'])}",
        "Cache-Control: private, max-age=0",
        f"Set-Cookie: SID={rng.getrandbits(128):032x}; domain={host}; path=/; Secure; HttpOnly",
        "Strict-Transport-Security: max-age=31536000; includeSubDomains",
        f"X-Request-Id: {uuid.UUID(int=rng.getrandbits(128))}",
    ]
    text = "\r\n".join(lines)
    while len(text) < length:
        text += f"\r\nX-Trace-{len(text):05d}: {rng.getrandbits(96):024x}"
    return text + "\r\n\r\n"


def add_applications(db: DatabaseBuilder, rng: random.Random) -> None:
    table = db.add_table(
        "Applications",
        columns=[
            Column(1, "IdType", c.UNSIGNED_BYTE, flags=NOT_NULL),
            Column(2, "IdIndex", c.LONG, flags=NOT_NULL),
            Column(3, "FirstSeen", c.DATETIME),
            Column(4, "Signed", c.BOOLEAN),
            Column(256, "IdBlob", c.LONG_BINARY),
            Column(257, "SignatureBlob", c.LONG_BINARY),
        ],
        rows_per_page=8,
    )
    index = 1
    for sid in USERS:
        table.add_row(
            IdType=3, IdIndex=index, FirstSeen=EPOCH_FILETIME - 90 * 24 * HOUR, IdBlob=sid_bytes(sid)
        )
        index += 1
    for number, name in enumerate(APPLICATIONS):
        signer = SIGNED.get(number)
        row: dict[str, object] = {
            "IdType": 0 if name.startswith("\\") else 1,
            "IdIndex": index,
            "FirstSeen": EPOCH_FILETIME - rng.randrange(1, 2000) * HOUR,
            "Signed": signer is not None,
            "IdBlob": utf16z(name),
        }
        if signer is not None:
            row["SignatureBlob"] = LongValue(signature_blob(rng, signer))
        table.add_row(row)
        index += 1


def add_network_usage(db: DatabaseBuilder, rng: random.Random) -> None:
    table = db.add_table(
        "NetworkUsage",
        columns=[
            Column(1, "AutoIncId", c.LONG, flags=NOT_NULL),
            Column(2, "TimeStamp", c.DATETIME, flags=NOT_NULL),
            Column(3, "AppId", c.LONG, flags=NOT_NULL),
            Column(4, "UserId", c.LONG, flags=NOT_NULL),
            Column(5, "InterfaceLuid", c.LONG_LONG),
            Column(6, "L2ProfileId", c.UNSIGNED_LONG),
            Column(7, "Metered", c.BOOLEAN),
            Column(8, "SignalBars", c.UNSIGNED_BYTE),
            Column(9, "Rssi", c.SHORT),
            Column(10, "Channel", c.UNSIGNED_SHORT),
            Column(11, "LinkSpeedMbps", c.IEEE_SINGLE),
            Column(12, "AvgRttMs", c.IEEE_DOUBLE),
            Column(13, "DataCost", c.CURRENCY),
            Column(14, "InterfaceGuid", c.GUID),
            Column(15, "BytesSent", c.LONG_LONG),
            Column(16, "BytesRecvd", c.LONG_LONG),
            Column(128, "ProfileName", c.TEXT, codepage=1200),
        ],
        rows_per_page=24,
    )
    guids = [uuid.UUID(int=rng.getrandbits(128), version=4) for _ in PROFILES]
    for number in range(1, 289):
        profile = rng.randrange(len(PROFILES))
        name, metered, rssi = PROFILES[profile]
        radio: dict[str, object] = {"Metered": False}
        if rssi is not None:  # wireless
            radio = {
                "L2ProfileId": profile + 1,
                "Metered": bool(metered),
                "SignalBars": min(5, max(1, (rssi + 100) // 10)),
                "Rssi": rssi + rng.randrange(-6, 7),
                "Channel": rng.choice([1, 6, 11, 36, 44, 149]),
            }
        app = rng.randrange(4, 4 + len(APPLICATIONS))
        sent = int(rng.lognormvariate(11, 2))
        table.add_row(
            radio,
            AutoIncId=number,
            TimeStamp=EPOCH_FILETIME + (number // 6) * HOUR + rng.randrange(HOUR // 4),
            AppId=app,
            UserId=3 if app not in (6, 14, 15) else 1,
            InterfaceLuid=(0x47 if rssi is not None else 0x6) << 48 | (profile + 1),
            LinkSpeedMbps=rng.choice([72.2, 144.4, 866.7, 1000.0]),
            AvgRttMs=round(rng.uniform(4, 180), 3),
            DataCost=sent * 15 // 1000 if metered else 0,
            InterfaceGuid=guids[profile],
            BytesSent=sent,
            BytesRecvd=sent * rng.randrange(2, 40),
            ProfileName=name,
        )


def add_browser_history(db: DatabaseBuilder, rng: random.Random) -> tuple[list[Column], dict[str, object]]:
    columns = [
        Column(1, "EntryId", c.LONG, flags=NOT_NULL),
        Column(2, "ContainerId", c.LONG, flags=NOT_NULL),
        Column(3, "AccessCount", c.UNSIGNED_LONG),
        Column(4, "AccessedTime", c.DATETIME),
        Column(5, "ExpiryTime", c.DATETIME),
        Column(128, "Host", c.TEXT, codepage=20127),
        Column(129, "ResponseHash", c.BINARY),
        Column(256, "Url", c.LONG_TEXT, codepage=1200),
        Column(257, "Title", c.LONG_TEXT, codepage=1200, flags=COMPRESSED),
        Column(258, "ResponseHeaders", c.LONG_TEXT, codepage=1252, flags=COMPRESSED),
    ]
    table = db.add_table("BrowserHistory", columns=columns, rows_per_page=6)
    table.add_index("EntryIdIndex", primary=True)
    table.add_index("HostIndex")
    time = EPOCH_FILETIME
    deleted_after = 37
    deleted: dict[str, object] = {}
    for number in range(1, 73):
        host, path, title = SITES[rng.randrange(len(SITES))]
        time += rng.randrange(HOUR // 60, HOUR)
        row: dict[str, object] = {
            "EntryId": number,
            "ContainerId": 1 if number % 9 else 4,
            "AccessCount": rng.randrange(1, 40),
            "AccessedTime": time,
            "ExpiryTime": time + 30 * 24 * HOUR if number % 4 else None,
            "Host": host,
            "ResponseHash": bytes(rng.getrandbits(8) for _ in range(20)),
            "Url": f"https://{host}{path}",
            "Title": Compressed(title, "7bit_unicode") if number % 3 == 0 else title,
        }
        if number % 7 == 0:
            row["ResponseHeaders"] = LongValue(response_headers(rng, host, 1800), compress="xpress")
        elif number % 11 == 0:
            row["ResponseHeaders"] = response_headers(rng, host, 1300)  # long enough to leave the record
        elif number % 2 == 0:
            row["ResponseHeaders"] = response_headers(rng, host, 0)
        table.add_row(row)
        if number == deleted_after:
            deleted = {
                "EntryId": number + 1000,
                "ContainerId": 1,
                "AccessCount": 1,
                "AccessedTime": time + HOUR // 2,
                "ExpiryTime": time + 30 * 24 * HOUR,
                "Host": DELETED_VISIT["host"],
                "ResponseHash": bytes(rng.getrandbits(8) for _ in range(20)),
                "Url": DELETED_VISIT["url"],
                "Title": DELETED_VISIT["title"],
            }
    return columns, deleted


def leave_in_slack(image: bytearray, pgno: int, data: bytes, text: bytes) -> None:
    """Copy `data` into the free space of page `pgno` so that `text` (a part of it) starts at an even offset
    within the page, as a deleted record's bytes stay behind; then fix the page checksum."""
    base = (pgno + 1) * PAGE_SIZE
    page = bytearray(image[base : base + PAGE_SIZE])
    first_free = 40 + struct.unpack_from("<H", page, 32)[0]
    tag_array = PAGE_SIZE - 4 * struct.unpack_from("<H", page, 34)[0]
    at = first_free + 32
    position = at + data.index(text)
    at += position % 2
    if at + len(data) > tag_array - 16:
        raise ValueError(f"page {pgno} has no room for {len(data)} bytes")
    page[at : at + len(data)] = data
    fix_page_checksum(page, pgno)
    image[base : base + PAGE_SIZE] = page


def build() -> bytes:
    rng = random.Random(SEED)
    db = DatabaseBuilder(page_size=PAGE_SIZE)
    add_applications(db, rng)
    add_network_usage(db, rng)
    _, deleted = add_browser_history(db, rng)
    history = db.tables["BrowserHistory"]
    deleted_record = history.encode_row(deleted)
    applications = db.tables["Applications"]
    deleted_app = applications.encode_row(
        {
            "IdType": 0,
            "IdIndex": 99,
            "FirstSeen": EPOCH_FILETIME + 40 * HOUR,
            "Signed": False,
            "IdBlob": utf16z(DELETED_APPLICATION),
        }
    )
    image = bytearray(db.build())
    layout = db.layout
    pages = layout.tables["BrowserHistory"].leaf_pages
    leave_in_slack(image, pages[len(pages) // 2], deleted_record, DELETED_VISIT["url"].encode("utf-16-le"))
    app_pages = layout.tables["Applications"].leaf_pages
    leave_in_slack(image, app_pages[-1], deleted_app, DELETED_APPLICATION.encode("utf-16-le"))
    return bytes(image)


def main(argv: list[str]) -> int:
    output = Path(argv[1]) if len(argv) > 1 else DEFAULT_OUTPUT
    data = build()
    output.parent.mkdir(parents=True, exist_ok=True)
    output.write_bytes(data)
    print(f"wrote {output} ({len(data)} bytes, {len(data) // PAGE_SIZE - 2} pages)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
