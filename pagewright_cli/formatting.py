"""Text output helpers: safe display of untrusted strings, aligned tables, sizes and export file names."""

from __future__ import annotations

import unicodedata
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
        if unicodedata.category(ch) in _UNSAFE_CATEGORIES:
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


_ESCAPED_ASCII = frozenset("/\\%")


def export_file_name(table: str) -> str:
    """The file name a table is exported to: the name with `/`, `\\`, `%` and control characters (below
    0x20, and 0x7F) written as %XX, the names "." and ".." as dots written %2E, then ".jsonl". Distinct
    names give distinct files, and the result is always a single path component."""
    if table in (".", ".."):
        return "%2E" * len(table) + ".jsonl"
    out = []
    for ch in table:
        code = ord(ch)
        if code < 0x20 or code == 0x7F or ch in _ESCAPED_ASCII:
            out.append(f"%{code:02X}")
        else:
            out.append(ch)
    return "".join(out) + ".jsonl"
