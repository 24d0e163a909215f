"""Small Windows structures found in artefact columns: binary SIDs, IP addresses, UTF-16LE text, NET_LUIDs."""

from __future__ import annotations

import ipaddress
import re

# Names of well-known SIDs (Microsoft's "Well-known SIDs" list); the domain-relative ones by their last part.
WELL_KNOWN_SIDS = {
    "S-1-0-0": "Nobody",
    "S-1-1-0": "Everyone",
    "S-1-2-0": "Local",
    "S-1-2-1": "Console Logon",
    "S-1-3-0": "Creator Owner",
    "S-1-3-1": "Creator Group",
    "S-1-3-4": "Owner Rights",
    "S-1-5-1": "Dialup",
    "S-1-5-2": "Network",
    "S-1-5-3": "Batch",
    "S-1-5-4": "Interactive",
    "S-1-5-6": "Service",
    "S-1-5-7": "Anonymous Logon",
    "S-1-5-9": "Enterprise Domain Controllers",
    "S-1-5-10": "Principal Self",
    "S-1-5-11": "Authenticated Users",
    "S-1-5-12": "Restricted Code",
    "S-1-5-13": "Terminal Server Users",
    "S-1-5-14": "Remote Interactive Logon",
    "S-1-5-15": "This Organization",
    "S-1-5-17": "IUSR",
    "S-1-5-18": "Local System",
    "S-1-5-19": "Local Service",
    "S-1-5-20": "Network Service",
    "S-1-5-32-544": "Administrators",
    "S-1-5-32-545": "Users",
    "S-1-5-32-546": "Guests",
    "S-1-5-32-547": "Power Users",
    "S-1-5-32-551": "Backup Operators",
    "S-1-5-32-555": "Remote Desktop Users",
    "S-1-5-80-0": "All Services",
    "S-1-5-113": "Local Account",
    "S-1-5-114": "Local Account and member of Administrators group",
    "S-1-16-4096": "Low Mandatory Level",
    "S-1-16-8192": "Medium Mandatory Level",
    "S-1-16-12288": "High Mandatory Level",
    "S-1-16-16384": "System Mandatory Level",
}
DOMAIN_RIDS = {
    500: "Administrator",
    501: "Guest",
    502: "krbtgt",
    503: "DefaultAccount",
    504: "WDAGUtilityAccount",
}
PREFIXES = (
    ("S-1-5-5-", "Logon Session"),
    ("S-1-5-80-", "NT SERVICE account"),
    ("S-1-5-90-0-", "Window Manager (DWM) session user"),
    ("S-1-5-96-0-", "Font Driver Host (UMFD) session user"),
)
_DOMAIN = re.compile(r"^S-1-5-21-\d+-\d+-\d+-(\d+)$")


def sid_text(blob: bytes) -> str | None:
    """The S-1-... form of a binary SID: revision (1), count of sub-authorities (n), 48-bit big-endian
    identifier authority, n little-endian u32 sub-authorities. None when the bytes are not exactly one."""
    if len(blob) < 8 or blob[0] != 1 or len(blob) != 8 + 4 * blob[1]:
        return None
    parts = [str(int.from_bytes(blob[2:8], "big"))]
    parts += [str(int.from_bytes(blob[8 + 4 * i : 12 + 4 * i], "little")) for i in range(blob[1])]
    return "S-1-" + "-".join(parts)


def sid_name(sid: str | None) -> str | None:
    """The name of a well-known SID (or of a well-known account of a domain or machine), else None."""
    if sid is None:
        return None
    if sid in WELL_KNOWN_SIDS:
        return WELL_KNOWN_SIDS[sid]
    domain = _DOMAIN.match(sid)
    if domain:
        return DOMAIN_RIDS.get(int(domain.group(1)))
    return next((name for prefix, name in PREFIXES if sid.startswith(prefix)), None)


def utf16_text(blob: bytes) -> tuple[str, bool]:
    """(UTF-16LE text without trailing NULs, whether it was well-formed: else U+FFFD replaced the faults)."""
    try:
        return blob.decode("utf-16-le").rstrip("\x00"), True
    except UnicodeDecodeError:
        return blob.decode("utf-16-le", "replace").rstrip("\x00"), False


def ip_text(value: bytes | str | None) -> tuple[str | None, str | None]:
    """(address text, note): 4 bytes read as IPv4, 16 as IPv6; text is kept as it is; other bytes give
    no address and a note with their hex."""
    if value is None or isinstance(value, str):
        return value, None
    if len(value) in (4, 16):
        return str(ipaddress.ip_address(value)), None
    return None, f"{len(value)} bytes {value.hex()} are no IPv4 or IPv6 address"


# Interface types (IANA ifType, the `Type` of MIB_IF_ROW2 in Windows' ipifcons.h) by their number.
INTERFACE_TYPES = {
    1: "other",
    6: "ethernet",
    9: "token ring",
    15: "FDDI",
    23: "PPP",
    24: "software loopback",
    37: "ATM",
    53: "virtual",
    71: "wireless (IEEE 802.11)",
    131: "tunnel",
    144: "IEEE 1394 (FireWire)",
    243: "mobile broadband (WWAN, GSM)",
    244: "mobile broadband (WWAN, CDMA)",
}
