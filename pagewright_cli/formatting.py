"""Text output helpers: safe display of untrusted strings and JSON, aligned tables, sizes."""

from __future__ import annotations

import datetime
import json
import math
import unicodedata
import uuid
from collections.abc import Sequence

# Characters that must not reach a terminal as they stand: control characters (C0, DEL, C1, which include
# terminal escape sequences), format characters (bidirectional overrides) and lone surrogates.
_UNSAFE_CATEGORIES = frozenset({"Cc", "Cf", "Cs"})


def clean(text: str) -> str:
    """`text` with every unsafe character written as a backslash escape (\\x1b, \\u202e, ...)."""
    if text.isprintable():
        return text
    out = []
    for ch in text:
        if _is_unsafe(ch):
            code = ord(ch)
            if code < 0x100:
                out.append(f"\\x{code:02x}")
            elif code < 0x10000:
                out.append(f"\\u{code:04x}")
            else:
                out.append(f"\\U{code:08x}")
        else:
            out.append(ch)
    return "".join(out)


def _is_unsafe(ch: str) -> bool:
    return unicodedata.category(ch) in _UNSAFE_CATEGORIES


def json_text(value: object, *, indent: int | None = None) -> str:
    """`value` as JSON whose unsafe characters are all written as \\uXXXX escapes (surrogate pairs above
    U+FFFF, lone surrogates as themselves): the same JSON value, safe on a terminal and always encodable."""
    separators = None if indent is not None else (",", ":")
    return escape_unsafe_json(json.dumps(value, ensure_ascii=False, indent=indent, separators=separators))


def escape_unsafe_json(text: str) -> str:
    """JSON text with every unsafe character written as a \\uXXXX escape. Outside strings JSON holds only
    ASCII punctuation, digits and letters, so every unsafe character found is inside a string."""
    if text.isprintable():
        return text
    # Line by line: a line that is printable is safe as it stands (indented JSON has many lines).
    lines = text.split("\n")
    if len(lines) > 1:
        return "\n".join(line if line.isprintable() else escape_unsafe_json(line) for line in lines)
    out = []
    for ch in text:
        code = ord(ch)
        if not _is_unsafe(ch) or ch in "\n\r\t":  # whitespace between JSON tokens stays as it is
            out.append(ch)
        elif code < 0x10000:
            out.append(f"\\u{code:04x}")
        else:
            code -= 0x10000
            out.append(f"\\u{0xD800 + (code >> 10):04x}\\u{0xDC00 + (code & 0x3FF):04x}")
    return "".join(out)


def render_table(headers: Sequence[str], rows: Sequence[Sequence[object]], right: Sequence[int] = ()) -> str:
    """Rows as aligned columns under a header line; columns whose index is in `right` are right-aligned.
    The last column is never padded. Cells are shown through clean()."""
    cells = [[clean(str(value)) for value in row] for row in rows]
    widths = [len(h) for h in headers]
    for row in cells:
        for index, cell in enumerate(row):
            widths[index] = max(widths[index], len(cell))
    last = len(headers) - 1

    def line(values: Sequence[str]) -> str:
        parts = []
        for index, value in enumerate(values):
            if index in right:
                parts.append(value.rjust(widths[index]))
            elif index == last:
                parts.append(value)
            else:
                parts.append(value.ljust(widths[index]))
        return "  ".join(parts).rstrip()

    return "\n".join([line(headers), *(line(row) for row in cells)])


def human_size(size: int) -> str:
    """1536 -> "1.5 KiB"."""
    value = float(size)
    for unit in ("bytes", "KiB", "MiB", "GiB", "TiB"):
        if value < 1024 or unit == "TiB":
            return f"{size} bytes" if unit == "bytes" else f"{value:.1f} {unit}"
        value /= 1024
    raise AssertionError("unreachable")


def plain(value: object) -> object:
    """A value as JSON can hold it: bytes as hexadecimal, points in time as ISO 8601 text, GUIDs as text,
    non-finite floats as 0 (as the export writes them)."""
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, datetime.datetime):
        return value.astimezone(datetime.UTC).isoformat().replace("+00:00", "Z")
    if isinstance(value, uuid.UUID):
        return str(value)
    if isinstance(value, float) and not math.isfinite(value):
        return 0
    if isinstance(value, list | tuple):
        return [plain(v) for v in value]
    if isinstance(value, dict):
        return {key: plain(v) for key, v in value.items()}
    return value
