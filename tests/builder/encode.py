"""Python values to the bytes a column of a given type stores."""

from __future__ import annotations

import struct
import uuid
from typing import Any

from .constants import (
    BOOLEAN,
    CURRENCY,
    DATETIME,
    FIXED_TYPE_SIZES,
    GUID,
    IEEE_DOUBLE,
    IEEE_SINGLE,
    TEXT_TYPES,
)
from .values import Column

CODECS = {1200: "utf-16-le", 1252: "cp1252", 20127: "ascii", 65001: "utf-8", 0: "cp1252"}


def encode_text(text: str, codepage: int) -> bytes:
    """Text in a column codepage: 1200 UTF-16LE, 1252 windows-1252, 20127 ASCII (anything else UTF-8)."""
    return text.encode(CODECS.get(codepage, "utf-8"))


def guid_bytes(text: str) -> bytes:
    """The 16 stored bytes of a GUID written in its text form (first three groups little-endian)."""
    return uuid.UUID(text.strip("{}")).bytes_le


def _int_bytes(value: int, size: int) -> bytes:
    if -(1 << (8 * size - 1)) <= value < 0:
        return value.to_bytes(size, "little", signed=True)
    if 0 <= value < (1 << (8 * size)):
        return value.to_bytes(size, "little")
    raise ValueError(f"integer {value} does not fit {size} bytes")


def encode_value(column: Column, value: Any) -> bytes:
    """Bytes of a plain Python value for `column`.

    bool and int: little-endian of the type's width (signed or unsigned, whichever fits); float: IEEE
    single / double (DateTime and Currency accept a float as a double too); str: by the column's codepage
    for text columns, a GUID's text form for GUID columns; uuid.UUID: its 16 stored bytes; bytes as given.
    """
    kind = column.type
    if isinstance(value, bytes | bytearray | memoryview):
        return bytes(value)
    if isinstance(value, str):
        if kind == GUID:
            return guid_bytes(value)
        if kind in TEXT_TYPES or column.codepage:
            return encode_text(value, column.codepage or 1252)
        raise TypeError(f"column {column.name!r} of type {kind} takes no str")
    if isinstance(value, uuid.UUID):
        return value.bytes_le
    size = FIXED_TYPE_SIZES.get(kind)
    if isinstance(value, bool):
        if kind == BOOLEAN:
            return b"\xff" if value else b"\x00"  # the engine stores True as 0xFF
        return _int_bytes(int(value), size or 1)
    if isinstance(value, float):
        if kind == IEEE_SINGLE:
            return struct.pack("<f", value)
        if kind in (IEEE_DOUBLE, DATETIME, CURRENCY):
            return struct.pack("<d", value)
        raise TypeError(f"column {column.name!r} of type {kind} takes no float")
    if isinstance(value, int):
        if kind == IEEE_SINGLE:
            return struct.pack("<f", float(value))
        if kind == IEEE_DOUBLE:
            return struct.pack("<d", float(value))
        if kind == BOOLEAN:
            return _int_bytes(value, 1)
        if size is None:
            raise TypeError(f"column {column.name!r} of type {kind} takes no int")
        return _int_bytes(value, size)
    raise TypeError(f"cannot encode {type(value).__name__} for column {column.name!r}")


def fit_fixed(column: Column, data: bytes) -> bytes:
    """Pad a value to the column's fixed size: text with spaces in its codepage, anything else with zeros."""
    size = column.size
    if len(data) > size:
        raise ValueError(f"{len(data)} bytes do not fit fixed column {column.name!r} of {size} bytes")
    if len(data) == size:
        return data
    if column.type in TEXT_TYPES:
        pad = encode_text(" ", column.codepage or 1252) * size
        return data + pad[: size - len(data)]
    return data + bytes(size - len(data))
