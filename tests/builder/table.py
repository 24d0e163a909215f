"""A table being built: its columns, records, long values and indexes."""

from __future__ import annotations

import dataclasses
import struct
from collections.abc import Iterable, Mapping
from typing import Any

from .btree import TreeOptions
from .catalog import CatalogEntry, column_entries, index_entry, long_value_entry, table_entry
from .constants import PAGE_INDEX, PAGE_LONG_VALUE
from .geometry import Geometry
from .longvalue import StoredLongValue, default_chunk_size
from .rows import RowEncoder, as_bytes
from .values import Column, LongValue

_ROW_KEY = struct.Struct(">I")


def row_key(number: int) -> bytes:
    """Key of the number-th row: 0x7F + big-endian u32 with the sign bit flipped (a normalized Long)."""
    return b"\x7f" + _ROW_KEY.pack((number ^ 0x80000000) & 0xFFFFFFFF)


@dataclasses.dataclass
class IndexSpec:
    name: str | bytes
    index_id: int
    primary: bool
    flags: int
    locale: int
    key_columns: bytes


class TableBuilder:
    """Collects the rows of one table. Rows get keys 1, 2, 3, ... unless a key is given."""

    def __init__(
        self,
        geometry: Geometry,
        name: str,
        columns: list[Column],
        object_id: int,
        *,
        rows_per_page: int | None = None,
        fanout: int | None = None,
        min_depth: int = 1,
        key_compression: str = "auto",
        leaf_order: str = "sequential",
        register: bool = True,
        lv_tree: str = "auto",
        lv_rows_per_page: int | None = None,
        seed: int = 0,
        lv_id_width: int = 4,
        template: str | None = None,
    ) -> None:
        self.geometry = geometry
        self.name = name
        self.columns = list(columns)
        self.object_id = object_id
        self.register = register
        self.template = template
        if lv_tree not in ("auto", "always", "never"):
            raise ValueError(f"lv_tree must be 'auto', 'always' or 'never', not {lv_tree!r}")
        self.lv_tree = lv_tree
        self.lv_id_width = lv_id_width
        self.entries: list[tuple[bytes, bytes]] = []
        self.long_values: list[StoredLongValue] = []
        self.indexes: list[IndexSpec] = []
        self.lv_overrides: dict[str, Any] = {}
        self._next_row = 1
        self._next_lv_id = 1
        self._needs_sort = False
        self.encoder = RowEncoder(self.columns, geometry.large, self._store_long_value, lv_id_width)
        self.data_options = TreeOptions(
            object_id=object_id,
            max_per_leaf=rows_per_page,
            fanout=fanout,
            min_depth=min_depth,
            key_compression=key_compression,
            leaf_order=leaf_order,
            seed=seed,
        )
        self.lv_options = TreeOptions(
            kind_flags=PAGE_LONG_VALUE,
            max_per_leaf=lv_rows_per_page,
            fanout=fanout,
            key_compression=key_compression,
            leaf_order=leaf_order,
            seed=seed,
        )

    # Rows -----------------------------------------------------------------------------------------------

    def _key(self, key: bytes | int | None) -> bytes:
        if key is None:
            key = row_key(self._next_row)
            self._next_row += 1
            return key
        self._needs_sort = True
        return row_key(key) if isinstance(key, int) else bytes(key)

    def add_row(
        self, values: Mapping[Any, Any] | None = None, key: bytes | int | None = None, **named: Any
    ) -> int:
        """Add a row of Python values keyed by column name (or id); returns its insertion position."""
        merged = dict(values or {})
        merged.update(named)
        record = self.encoder.encode(merged)
        self.entries.append((self._key(key), record))
        return len(self.entries) - 1

    def add_rows(self, rows: Iterable[Mapping[Any, Any]]) -> None:
        encode = self.encoder.encode
        for values in rows:
            self.entries.append((self._key(None), encode(values)))

    def encode_row(self, values: Mapping[Any, Any]) -> bytes:
        """The record a row would get, without adding it (long values it holds are still stored)."""
        return self.encoder.encode(values)

    def add_raw_record(self, data: bytes, key: bytes | int | None = None) -> int:
        """Add a record given as raw bytes."""
        self.entries.append((self._key(key), bytes(data)))
        return len(self.entries) - 1

    def sorted_entries(self) -> list[tuple[bytes, bytes]]:
        if self._needs_sort:
            return sorted(self.entries, key=lambda entry: entry[0])
        return self.entries

    # Long values -------------------------------------------------------------------------------------------

    def _store_long_value(self, value: LongValue, column: Column) -> int:
        if value.lv_id is None:
            lv_id = self._next_lv_id
            self._next_lv_id += 1
        else:
            lv_id = value.lv_id
            self._next_lv_id = max(self._next_lv_id, lv_id + 1)
        if not value.store:
            return lv_id
        scheme = value.compress
        if scheme == "7bit":
            scheme = "7bit_unicode" if column.codepage == 1200 else "7bit_ascii"
        chunk = value.chunk_size or default_chunk_size(self.geometry, scheme is not None)
        self.long_values.append(
            StoredLongValue(
                lv_id,
                as_bytes(column, value.data),
                chunk,
                scheme,
                value.order,
                value.total_size,
                value.refcount,
            )
        )
        return lv_id

    def add_long_value(self, value: LongValue, column: Column | str | int | None = None) -> int:
        """Store a long value in the tree without a row referring to it; returns its id."""
        target = self.encoder.column(column) if column is not None else Column(0, "", 11)
        return self._store_long_value(value, target)

    @property
    def has_lv_tree(self) -> bool:
        return self.lv_tree == "always" or (self.lv_tree == "auto" and bool(self.long_values))

    # Indexes and catalog -----------------------------------------------------------------------------------

    def add_index(
        self,
        name: str | bytes,
        *,
        primary: bool = False,
        index_id: int | None = None,
        flags: int = 0x1,
        locale: int = 1033,
        key_columns: bytes = b"",
    ) -> None:
        """Register an index. A primary index shares the data tree's root; a secondary one gets its own tree
        (index pages) holding one entry per row: key = the row's key, data = the row's key."""
        spec_id = index_id if index_id is not None else (self.object_id if primary else -1)
        self.indexes.append(IndexSpec(name, spec_id, primary, flags, locale, key_columns))

    def override_lv_catalog(self, **fields: Any) -> None:
        """Replace fields of the catalog record of the table's long-value tree."""
        self.lv_overrides.update(fields)

    def catalog_entries(
        self,
        root_page: int,
        pages: int,
        lv_object_id: int | None,
        lv_root: int | None,
        index_roots: Mapping[str | bytes, tuple[int, int]],
    ) -> list[CatalogEntry]:
        """The table's catalog records: table, columns, indexes, long-value tree."""
        if not self.register:
            return []
        table = table_entry(self.name, self.object_id, root_page, pages=pages, template=self.template)
        entries = [table]
        entries.extend(column_entries(self.object_id, self.columns))
        for spec in self.indexes:
            index_id, index_root = index_roots[spec.name]
            entries.append(
                index_entry(
                    self.object_id,
                    index_id,
                    spec.name,
                    index_root,
                    flags=spec.flags,
                    locale=spec.locale,
                    key_columns=spec.key_columns,
                )
            )
        if lv_object_id is not None and lv_root is not None:
            lv = long_value_entry(self.object_id, lv_object_id, lv_root)
            entries.append(dataclasses.replace(lv, **self.lv_overrides))
        return entries

    def index_options(self, object_id: int) -> TreeOptions:
        return dataclasses.replace(
            self.data_options, kind_flags=PAGE_INDEX, object_id=object_id, max_per_leaf=None
        )
