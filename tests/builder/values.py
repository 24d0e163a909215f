"""Column definitions and the value forms a row can hold."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

from .constants import (
    BINARY,
    FIRST_TAGGED_ID,
    FIRST_VARIABLE_ID,
    FIXED_TYPE_SIZES,
    LONG_TYPES,
    TEXT,
    TEXT_TYPES,
)

VARIABLE_SPACE_USAGE = 255


@dataclass
class Column:
    """A column of a table: id (1-127 fixed, 128-255 variable, 256+ tagged), name, type code.

    codepage defaults to 1252 for text types and 0 otherwise; space_usage defaults to the type's fixed
    size (255 for Text / Binary, 0 for long types). A default value (bytes, or a value encoded by the
    column's type) sets the catalog flag 0x10 and is stored as the column's DefaultValue.
    """

    id: int
    name: str | bytes
    type: int
    codepage: int | None = None
    space_usage: int | None = None
    flags: int = 0
    default: Any = None

    def __post_init__(self) -> None:
        if self.codepage is None:
            self.codepage = 1252 if self.type in TEXT_TYPES else 0
        if self.space_usage is None:
            if self.type in FIXED_TYPE_SIZES:
                self.space_usage = FIXED_TYPE_SIZES[self.type]
            elif self.type in (TEXT, BINARY):
                self.space_usage = VARIABLE_SPACE_USAGE
            else:
                self.space_usage = 0

    @property
    def name_bytes(self) -> bytes:
        return self.name if isinstance(self.name, bytes) else self.name.encode("utf-8")

    @property
    def is_fixed(self) -> bool:
        return self.id < FIRST_VARIABLE_ID

    @property
    def is_tagged(self) -> bool:
        return self.id >= FIRST_TAGGED_ID

    @property
    def is_long(self) -> bool:
        return self.type in LONG_TYPES

    @property
    def size(self) -> int:
        """Bytes the column occupies in the fixed area."""
        return int(self.space_usage or 0)


@dataclass(frozen=True)
class Raw:
    """Bytes stored exactly as given: no padding, and in the tagged area no flag byte at all."""

    data: bytes


@dataclass(frozen=True)
class Tagged:
    """A tagged value stored behind the given flag byte."""

    data: bytes
    flags: int = 0


@dataclass(frozen=True)
class LongValue:
    """A value stored in the table's long-value tree; the record holds flag 0x04 and the 4-byte id.

    data: bytes, or str encoded by the column's codepage.
    chunk_size: logical bytes per chunk (default: what fits a page).
    compress: None, "xpress" or "7bit" (ASCII or Unicode by the column's codepage); each chunk alone.
    order: "asc" stores the chunks in key order; "reversed" stores them in reverse order in the tree.
    total_size: the logical size written in the root record (default: the real size).
    lv_id: force the long-value id; store=False leaves the value out of the tree (a dangling reference);
    refcount: the reference count of the root record.
    """

    data: bytes | str
    chunk_size: int | None = None
    compress: str | None = None
    order: str = "asc"
    total_size: int | None = None
    lv_id: int | None = None
    store: bool = True
    refcount: int = 1


@dataclass(frozen=True)
class MultiValue:
    """A multi-valued tagged column (flag 0x08).

    form "offsets": u16 offsets (count = offset[0] / 2), then the values; an element given as a LongValue
    is stored in the long-value tree and referenced by its 4-byte id with offset bit 0x8000.
    form "two": flag 0x18; byte 0 = length of the first value, then the first and second values.
    compress_first: a compression scheme for the first value (sets flag 0x02).
    """

    values: list[Any] = field(default_factory=list)
    form: str = "offsets"
    compress_first: str | None = None


@dataclass(frozen=True)
class Compressed:
    """An inline compressed value (flag 0x02): scheme "7bit_ascii", "7bit_unicode" or "xpress".

    data: the uncompressed bytes, or str (encoded by the column's codepage; 7bit_unicode always uses
    UTF-16LE). header: replace the compression header byte.
    """

    data: bytes | str
    scheme: str = "7bit_ascii"
    header: int | None = None
