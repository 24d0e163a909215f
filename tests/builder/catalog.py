"""Catalog (MSysObjects) records and keys.

A catalog record is an ordinary record of the MSysObjects table: fixed columns 1 ObjidTable, 2 Type,
3 Id, 4 ColtypOrPgnoFDP, 5 SpaceUsage, 6 Flags, 7 PagesOrLocale, 8 RootFlag, 9 RecordOffset,
10 LCMapFlags, 11 KeyMost, 12 LVChunkMax; variable 128 Name, 129 Stats, 130 TemplateTable,
131 DefaultValue, 132 KeyFldIDs, ...; tagged 256 CallbackData and up. As the engine does, a record stores
fixed columns only up to the last one that has a value (table records end with RootFlag, column records of
fixed columns with RecordOffset, other column records with PagesOrLocale).
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field

from .constants import (
    BINARY,
    BOOLEAN,
    CATALOG_CALLBACK,
    CATALOG_COLUMN,
    CATALOG_INDEX,
    CATALOG_LONG_VALUE,
    CATALOG_OBJECT_ID,
    CATALOG_ROOT_PAGE,
    CATALOG_TABLE,
    COLUMN_HAS_DEFAULT,
    LONG,
    LONG_BINARY,
    SHORT,
    TEXT,
    TV_LONG_COLUMN,
    UNSIGNED_SHORT,
)
from .encode import encode_value
from .record import RecordFormat
from .values import Column

MSYSOBJECTS = "MSysObjects"

# The catalog's own columns, as the engine registers them (all with codepage 1252).
MSYSOBJECTS_COLUMNS: list[Column] = [
    Column(1, "ObjidTable", LONG, codepage=1252, flags=1),
    Column(2, "Type", SHORT, codepage=1252, flags=1),
    Column(3, "Id", LONG, codepage=1252, flags=1),
    Column(4, "ColtypOrPgnoFDP", LONG, codepage=1252, flags=1),
    Column(5, "SpaceUsage", LONG, codepage=1252, flags=1),
    Column(6, "Flags", LONG, codepage=1252, flags=1),
    Column(7, "PagesOrLocale", LONG, codepage=1252, flags=1),
    Column(8, "RootFlag", BOOLEAN, codepage=1252),
    Column(9, "RecordOffset", SHORT, codepage=1252),
    Column(10, "LCMapFlags", LONG, codepage=1252),
    Column(11, "KeyMost", UNSIGNED_SHORT, codepage=1252),
    Column(12, "LVChunkMax", LONG, codepage=1252),
    Column(128, "Name", TEXT, codepage=1252, flags=1),
    Column(129, "Stats", BINARY, codepage=1252),
    Column(130, "TemplateTable", TEXT, codepage=1252),
    Column(131, "DefaultValue", BINARY, codepage=1252),
    Column(132, "KeyFldIDs", BINARY, codepage=1252),
    Column(133, "VarSegMac", BINARY, codepage=1252),
    Column(134, "ConditionalColumns", BINARY, codepage=1252),
    Column(135, "TupleLimits", BINARY, codepage=1252),
    Column(136, "Version", BINARY, codepage=1252),
    Column(137, "SortID", BINARY, codepage=1252),
    Column(256, "CallbackData", LONG_BINARY, codepage=1252),
    Column(257, "CallbackDependencies", LONG_BINARY, codepage=1252),
    Column(258, "SeparateLV", LONG_BINARY, codepage=1252),
    Column(259, "SpaceHints", LONG_BINARY, codepage=1252),
    Column(260, "SpaceDeferredLVHints", LONG_BINARY, codepage=1252),
    Column(261, "LocaleName", LONG_BINARY, codepage=1252),
]

_FIXED_FORMATS = {1: "<i", 2: "<h", 3: "<i", 4: "<I", 5: "<I", 6: "<I", 7: "<I", 8: "<B", 9: "<H", 10: "<I"}
_FIXED_FORMATS.update({11: "<H", 12: "<I"})
_FIELD_IDS = {
    "object_id": 1,
    "type": 2,
    "id": 3,
    "coltyp_or_fdp": 4,
    "space_usage": 5,
    "flags": 6,
    "pages_or_locale": 7,
    "root_flag": 8,
    "record_offset": 9,
    "lcmap_flags": 10,
    "key_most": 11,
    "lv_chunk_max": 12,
}


@dataclass
class CatalogEntry:
    """One catalog record. Fixed fields left as None are NULL (and trailing NULL ones are not stored)."""

    object_id: int | None
    type: int | None
    id: int | None
    coltyp_or_fdp: int | None = 0
    space_usage: int | None = 0
    flags: int | None = 0
    pages_or_locale: int | None = 0
    root_flag: int | None = None
    record_offset: int | None = None
    lcmap_flags: int | None = None
    key_most: int | None = None
    lv_chunk_max: int | None = None
    name: bytes | str | None = b""
    variable: dict[int, bytes] = field(default_factory=dict)
    tagged: dict[int, bytes] = field(default_factory=dict)
    key: bytes | None = None

    def encode(self, large: bool = False) -> bytes:
        """The record bytes, laid out like the engine's MSysObjects records."""
        fixed: dict[int, bytes] = {}
        for attribute, column_id in _FIELD_IDS.items():
            value = getattr(self, attribute)
            if value is not None:
                fmt = _FIXED_FORMATS[column_id]
                if fmt in ("<i", "<h") and value >= 1 << (8 * struct.calcsize(fmt) - 1):
                    fmt = fmt.upper()
                fixed[column_id] = struct.pack(fmt, value)
        variable = dict(self.variable)
        if self.name is not None:
            variable[128] = self.name.encode("utf-8") if isinstance(self.name, str) else self.name
        tagged = [(column_id, TV_LONG_COLUMN, data) for column_id, data in sorted(self.tagged.items())]
        return catalog_format(large).encode(fixed, variable, tagged)

    def catalog_key(self) -> bytes:
        """The entry's B-tree key: normalized (ObjidTable, Type, Id), or the explicit key."""
        if self.key is not None:
            return self.key
        return catalog_key(self.object_id or 0, self.type or 0, self.id or 0)


def catalog_format(large: bool) -> RecordFormat:
    return RecordFormat({column.id: column.size for column in MSYSOBJECTS_COLUMNS if column.is_fixed}, large)


def _normalized_long(value: int) -> bytes:
    return b"\x7f" + struct.pack(">I", (value ^ 0x80000000) & 0xFFFFFFFF)


def catalog_key(object_id: int, record_type: int, record_id: int) -> bytes:
    """Normalized key of the catalog's Id index: per column 0x7F + big-endian value, sign bit flipped."""
    return (
        _normalized_long(object_id)
        + b"\x7f"
        + struct.pack(">H", (record_type ^ 0x8000) & 0xFFFF)
        + _normalized_long(record_id)
    )


def table_entry(
    name: bytes | str,
    object_id: int,
    root_page: int,
    *,
    space_usage: int = 80,
    pages: int = 1,
    flags: int = 0,
    template: str | None = None,
) -> CatalogEntry:
    """A table record (type 1): Id = the table's object id, ColtypOrPgnoFDP = its root page, RootFlag set;
    TemplateTable (variable column 130) names the table it was created from."""
    variable = {130: template.encode()} if template else {}
    return CatalogEntry(
        object_id, CATALOG_TABLE, object_id, root_page, space_usage, flags, pages, root_flag=0xFF, name=name,
        variable=variable,
    )  # fmt: skip


def column_entry(table_object_id: int, column: Column, record_offset: int | None = None) -> CatalogEntry:
    """A column record (type 2): Id = column id, ColtypOrPgnoFDP = type code, PagesOrLocale = codepage."""
    flags = column.flags
    variable: dict[int, bytes] = {}
    if column.default is not None:
        if column.type == BOOLEAN and isinstance(column.default, bool):
            variable[131] = b"\x01" if column.default else b"\x00"  # as the engine keeps a Boolean default
        else:
            variable[131] = encode_value(column, column.default)
        flags |= COLUMN_HAS_DEFAULT
    return CatalogEntry(
        table_object_id,
        CATALOG_COLUMN,
        column.id,
        column.type,
        column.space_usage,
        flags,
        column.codepage,
        record_offset=record_offset,
        name=column.name_bytes,
        variable=variable,
    )


def index_entry(
    table_object_id: int,
    index_id: int,
    name: bytes | str,
    root_page: int,
    *,
    flags: int = 0x1,
    locale: int = 1033,
    space_usage: int = 80,
    key_columns: bytes = b"",
    lcmap_flags: int | None = 0x00030401,
    key_most: int | None = None,
) -> CatalogEntry:
    """An index record (type 3): ColtypOrPgnoFDP = the index's root page, PagesOrLocale = locale."""
    variable = {132: key_columns} if key_columns else {}
    return CatalogEntry(
        table_object_id,
        CATALOG_INDEX,
        index_id,
        root_page,
        space_usage,
        flags,
        locale,
        lcmap_flags=lcmap_flags,
        key_most=key_most,
        name=name,
        variable=variable,
    )


def long_value_entry(
    table_object_id: int, lv_object_id: int, root_page: int, name: bytes | str = "LV"
) -> CatalogEntry:
    """A long-value tree record (type 4): ColtypOrPgnoFDP = the tree's root page."""
    return CatalogEntry(table_object_id, CATALOG_LONG_VALUE, lv_object_id, root_page, 100, 0, 1, name=name)


def callback_entry(
    table_object_id: int, callback_id: int, name: bytes | str, callback_data: bytes = b""
) -> CatalogEntry:
    """A callback record (type 5): the callback's name, its description in tagged column CallbackData."""
    tagged = {256: callback_data} if callback_data else {}
    return CatalogEntry(table_object_id, CATALOG_CALLBACK, callback_id, 0, 0, 0, 0, name=name, tagged=tagged)


def msysobjects_entries() -> list[CatalogEntry]:
    """The catalog's description of itself: its table record (root page 4) and its column records."""
    entries = [table_entry(MSYSOBJECTS, CATALOG_OBJECT_ID, CATALOG_ROOT_PAGE, flags=0xC0000000, pages=20)]
    entries.extend(column_entries(CATALOG_OBJECT_ID, MSYSOBJECTS_COLUMNS))
    return entries


def column_entries(table_object_id: int, columns: list[Column]) -> list[CatalogEntry]:
    """Column records of a table; fixed columns carry RecordOffset (4 + sizes of the fixed columns before)."""
    entries = []
    offset = 4
    for column in sorted(columns, key=lambda c: c.id):
        record_offset = None
        if column.is_fixed:
            record_offset = offset
            offset += column.size
        entries.append(column_entry(table_object_id, column, record_offset))
    return entries
