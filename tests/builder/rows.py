"""Turns a row given as Python values into the record of a table, registering its long values."""

from __future__ import annotations

import struct
from collections.abc import Callable, Mapping, Sequence
from typing import Any

from .compress import compress
from .constants import (
    BOOLEAN,
    FIRST_TAGGED_ID,
    FIRST_VARIABLE_ID,
    FIXED_TYPE_SIZES,
    IEEE_DOUBLE,
    IEEE_SINGLE,
    TEXT_TYPES,
    TV_COMPRESSED,
    TV_LONG_COLUMN,
    TV_LONG_VALUE,
    TV_MULTI_VALUE,
    TV_TWO_VALUES,
)
from .encode import CODECS, encode_text, encode_value, fit_fixed
from .record import RAW, RecordFormat, TaggedPiece
from .values import Column, Compressed, LongValue, MultiValue, Raw, Tagged

MULTI_VALUE_LONG_REF = 0x8000
INLINE_LONG_LIMIT = 1024  # longer values of long columns go to the long-value tree

LongValueSink = Callable[[LongValue, Column], int]


def as_bytes(column: Column, data: bytes | str) -> bytes:
    """bytes as given; str encoded by the column's codepage (1252 when it has none)."""
    if isinstance(data, str):
        return encode_text(data, column.codepage or 1252)
    return bytes(data)


class RowEncoder:
    """Encodes rows of one table. Long values go to `store_long_value`, which returns their ids."""

    def __init__(
        self,
        columns: Sequence[Column],
        large: bool,
        store_long_value: LongValueSink,
        lv_id_width: int = 4,
    ) -> None:
        self.columns = sorted(columns, key=lambda c: c.id)
        self.by_key: dict[Any, Column] = {}
        for column in self.columns:
            self.by_key[column.name] = column
            self.by_key[column.name_bytes] = column
            self.by_key[column.id] = column
        self.format = RecordFormat({c.id: c.size for c in self.columns if c.is_fixed}, large)
        self.large = large
        self.store_long_value = store_long_value
        self.lv_ref = struct.Struct("<Q" if lv_id_width == 8 else "<I")  # 8-byte ids in newer databases
        self.defaults = [c for c in self.columns if c.default is not None and not c.is_tagged]
        self.fast = {c.id: fast_encoders(c) for c in self.columns}

    def column(self, key: Any) -> Column:
        if isinstance(key, Column):
            return key
        try:
            return self.by_key[key]
        except KeyError:
            raise KeyError(f"no column {key!r} in this table") from None

    def encode(self, values: Mapping[Any, Any]) -> bytes:
        """The record of one row. A fixed or variable column that has a default and is absent from
        `values` stores its default, as the engine does; None stores no value."""
        fixed: dict[int, bytes] = {}
        variable: dict[int, bytes] = {}
        tagged: list[TaggedPiece] = []
        by_key = self.by_key
        fast = self.fast
        for key, value in values.items():
            column = by_key.get(key) if not isinstance(key, Column) else key
            if column is None:
                column = self.column(key)
            if value is None:
                continue
            column_id = column.id
            encoder = fast[column_id].get(type(value))
            if column_id < FIRST_VARIABLE_ID:
                fixed[column_id] = encoder(value) if encoder else self._fixed(column, value)
            elif column_id < FIRST_TAGGED_ID:
                variable[column_id] = encoder(value) if encoder else self._variable(column, value)
            else:
                tagged.append(self._tagged(column, value))
        for column in self.defaults:
            if column.name not in values and column.name_bytes not in values and column.id not in values:
                if column.is_fixed:
                    fixed[column.id] = self._fixed(column, column.default)
                else:
                    variable[column.id] = self._variable(column, column.default)
        return self.format.encode(fixed, variable, tagged)

    def _fixed(self, column: Column, value: Any) -> bytes:
        if isinstance(value, Raw):
            return value.data
        self._reject_tagged_forms(column, value)
        return fit_fixed(column, encode_value(column, value))

    def _variable(self, column: Column, value: Any) -> bytes:
        if isinstance(value, Raw):
            return value.data
        self._reject_tagged_forms(column, value)
        return encode_value(column, value)

    @staticmethod
    def _reject_tagged_forms(column: Column, value: Any) -> None:
        if isinstance(value, Tagged | LongValue | MultiValue | Compressed):
            raise TypeError(
                f"{type(value).__name__} needs a tagged column; {column.name!r} has id {column.id}"
            )

    def _marker(self, column: Column) -> int:
        return TV_LONG_COLUMN if column.is_long else 0

    def _tagged(self, column: Column, value: Any) -> TaggedPiece:
        if isinstance(value, Raw):
            return column.id, RAW, value.data
        if isinstance(value, Tagged):
            return column.id, value.flags, value.data
        if isinstance(value, LongValue):
            lv_id = self.store_long_value(value, column)
            return column.id, self._marker(column) | TV_LONG_VALUE, self.lv_ref.pack(lv_id)
        if isinstance(value, MultiValue):
            return self._multi_value(column, value)
        if isinstance(value, Compressed):
            return column.id, self._marker(column) | TV_COMPRESSED, compressed_value(column, value)
        data = encode_value(column, value)
        if column.is_long:
            if len(data) > INLINE_LONG_LIMIT:
                lv_id = self.store_long_value(LongValue(data), column)
                return column.id, TV_LONG_COLUMN | TV_LONG_VALUE, self.lv_ref.pack(lv_id)
            return column.id, TV_LONG_COLUMN, data
        return column.id, None, data

    def _element(self, column: Column, value: Any) -> bytes:
        if isinstance(value, Raw):
            return value.data
        return encode_value(column, value)

    def _multi_value(self, column: Column, value: MultiValue) -> TaggedPiece:
        flags = self._marker(column) | TV_MULTI_VALUE
        elements: list[bytes] = []
        long_refs: list[bool] = []
        for index, element in enumerate(value.values):
            if isinstance(element, LongValue):
                elements.append(self.lv_ref.pack(self.store_long_value(element, column)))
                long_refs.append(True)
                continue
            data = self._element(column, element)
            if index == 0 and value.compress_first:
                data = compress(data, value.compress_first)
            elements.append(data)
            long_refs.append(False)
        if value.compress_first:
            flags |= TV_COMPRESSED
        if value.form == "two":
            if len(elements) != 2 or len(elements[0]) > 255:
                raise ValueError("the two-value form holds exactly two values, the first under 256 bytes")
            return column.id, flags | TV_TWO_VALUES, bytes([len(elements[0])]) + elements[0] + elements[1]
        if value.form != "offsets":
            raise ValueError(f"unknown multi-value form {value.form!r}")
        offsets = []
        position = 2 * len(elements)
        for data, is_ref in zip(elements, long_refs, strict=True):
            offsets.append(position | (MULTI_VALUE_LONG_REF if is_ref else 0))
            position += len(data)
        header = struct.pack(f"<{len(offsets)}H", *offsets)
        return column.id, flags, header + b"".join(elements)


def fast_encoders(column: Column) -> dict[type, Callable[[Any], bytes]]:
    """Encoders for the common plain Python types of a fixed or variable column, by value type."""
    if column.is_tagged:
        return {}
    kind = column.type
    size = column.size
    encoders: dict[type, Callable[[Any], bytes]] = {bytes: bytes}
    if kind in FIXED_TYPE_SIZES and size == FIXED_TYPE_SIZES[kind] and kind not in (IEEE_SINGLE, IEEE_DOUBLE):
        if kind == BOOLEAN:
            encoders[bool] = lambda value: b"\xff" if value else b"\x00"
            encoders[int] = lambda value: value.to_bytes(1, "little", signed=value < 0)
        else:
            encoders[int] = lambda value: value.to_bytes(size, "little", signed=value < 0)
    if kind == IEEE_DOUBLE:
        encoders[float] = struct.Struct("<d").pack
    if kind == IEEE_SINGLE:
        encoders[float] = struct.Struct("<f").pack
    if kind in TEXT_TYPES and not column.is_fixed:
        codec = CODECS.get(column.codepage or 1252, "utf-8")
        encoders[str] = lambda value: value.encode(codec)
    if column.is_fixed:
        exact = kind in FIXED_TYPE_SIZES and size == FIXED_TYPE_SIZES[kind]
        return {
            python_type: encode if exact and python_type is not bytes else _padded(column, encode)
            for python_type, encode in encoders.items()
        }
    return encoders


def _padded(column: Column, encode: Callable[[Any], bytes]) -> Callable[[Any], bytes]:
    def padded(value: Any) -> bytes:
        return fit_fixed(column, encode(value))

    return padded


def compressed_value(column: Column, value: Compressed) -> bytes:
    """The stored bytes of an inline compressed value (header byte first)."""
    if isinstance(value.data, str):
        codepage = 1200 if value.scheme == "7bit_unicode" else (column.codepage or 1252)
        raw = encode_text(value.data, codepage)
    else:
        raw = bytes(value.data)
    packed = compress(raw, value.scheme)
    if value.header is not None:
        packed = bytes([value.header & 0xFF]) + packed[1:]
    return packed
