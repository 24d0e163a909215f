"""Rows as the lines `export_rows` writes, made in Python so that `dump` can stream a table row by row.

The layout is the export's: a compact object whose members are sorted by the UTF-8 bytes of the column names
(a name byte that is not UTF-8, read as a lone surrogate U+DC80..U+DCFF, is written as \\udcXX); integers in
decimal, floats with the shortest round-trip digits (fixed notation for exponents -5..15, else d.ddde+NN;
NaN and infinities as 0), bytes as lower-case hexadecimal, GUIDs and timestamps as text (timestamps as
YYYY-MM-DDTHH:MM:SS[.ffffff]Z), multi-values of the typed view as arrays.
"""

from __future__ import annotations

import datetime
import json
import math
import uuid
from collections.abc import Callable, Mapping, Sequence

_encode_string = json.JSONEncoder(ensure_ascii=False).encode  # escapes '"', '\\' and U+0000..U+001F only


def _name(name: str) -> str:
    """A member name as JSON text: as a value string, but a lone surrogate as its \\udcXX escape."""
    if not any("\udc80" <= ch <= "\udcff" for ch in name):
        return _encode_string(name)
    body = "".join(
        f"\\u{ord(ch):04x}" if "\udc80" <= ch <= "\udcff" else _encode_string(ch)[1:-1] for ch in name
    )
    return f'"{body}"'


def _float(value: float) -> str:
    if not math.isfinite(value):
        return "0"
    sign = "-" if math.copysign(1.0, value) < 0 else ""
    if value == 0:
        return sign + "0.0"
    mantissa, _, exp = repr(abs(value)).partition("e")
    whole, _, fraction = mantissa.partition(".")
    digits = (whole + fraction).lstrip("0")
    exponent = (int(exp) if exp else 0) + len(whole) - 1 - (len(whole + fraction) - len(digits))
    digits = digits.rstrip("0") or "0"
    if -5 <= exponent <= 15:
        if exponent < 0:
            return f"{sign}0.{'0' * (-exponent - 1)}{digits}"
        if len(digits) <= exponent + 1:
            return f"{sign}{digits}{'0' * (exponent + 1 - len(digits))}.0"
        return f"{sign}{digits[: exponent + 1]}.{digits[exponent + 1 :]}"
    body = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
    return f"{sign}{body}e{'-' if exponent < 0 else '+'}{abs(exponent)}"


def time_text(value: datetime.datetime) -> str:
    """An aware point in time as YYYY-MM-DDTHH:MM:SS[.ffffff]Z (UTC)."""
    value = value.astimezone(datetime.UTC)
    text = (
        f"{value.year:04d}-{value.month:02d}-{value.day:02d}"
        f"T{value.hour:02d}:{value.minute:02d}:{value.second:02d}"
    )
    return f"{text}.{value.microsecond:06d}Z" if value.microsecond else f"{text}Z"


def plain(value: object) -> object:
    """A value as JSON can hold it, written as the export writes it: bytes as hexadecimal, points in time and
    GUIDs as text, non-finite floats as 0."""
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, datetime.datetime):
        return time_text(value)
    if isinstance(value, uuid.UUID):
        return str(value)
    if isinstance(value, float) and not math.isfinite(value):
        return 0
    if isinstance(value, list | tuple):
        return [plain(v) for v in value]
    return value


def value_text(value: object) -> str:
    """One value as the export writes it."""
    if value is None:
        return "null"
    if value is True:
        return "true"
    if value is False:
        return "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return _float(value)
    if isinstance(value, str):
        return _encode_string(value)
    if isinstance(value, bytes):
        return f'"{value.hex()}"'
    if isinstance(value, datetime.datetime):
        return f'"{time_text(value)}"'
    if isinstance(value, uuid.UUID):
        return f'"{value}"'
    if isinstance(value, list):
        return "[" + ",".join(value_text(v) for v in value) + "]"
    raise TypeError(f"no JSON form for a {type(value).__name__}")


def line_encoder(names: Sequence[str]) -> Callable[[Mapping[str, object]], str]:
    """A function that writes a row with the members `names` (the keys of the table's rows) as one line."""
    order = sorted(dict.fromkeys(names), key=lambda n: n.encode("utf-8", "surrogateescape"))
    prefixes = [(name, ("{" if i == 0 else ",") + _name(name) + ":") for i, name in enumerate(order)]

    def encode(row: Mapping[str, object]) -> str:
        if not prefixes:
            return "{}\n"
        return "".join(prefix + value_text(row.get(name)) for name, prefix in prefixes) + "}\n"

    return encode
