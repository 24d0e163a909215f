"""DatabaseBuilder: the high-level description of a database, and the assembly of the whole file."""

from __future__ import annotations

import dataclasses
import os
import struct
from typing import Any

from .btree import TreeLayout, TreeOptions, TreePlan, assign_pages, plan_tree, render_tree, space_header
from .catalog import CatalogEntry, catalog_key, msysobjects_entries
from .constants import (
    CATALOG_OBJECT_ID,
    CATALOG_ROOT_PAGE,
    DB_STATE_CLEAN_SHUTDOWN,
    FORMAT_REVISION,
    FORMAT_VERSION,
    PAGE_IN_USE,
    PAGE_LEAF,
    PAGE_ROOT,
    PAGE_SPACE_TREE,
)
from .geometry import Geometry
from .header import build_header
from .layout import DatabaseLayout, TableLayout
from .longvalue import long_value_entries
from .page import write_page
from .table import TableBuilder
from .values import Column

FIRST_USER_OBJECT_ID = 8
SYSTEM_PAGES = (1, 2, 3)
_RAW_KEY_PREFIX = b"\xff\xff\xff\xff\xff"

Entry = tuple[bytes, bytes]


class _Allocator:
    """Hands out page numbers in increasing order."""

    def __init__(self, first: int) -> None:
        self.next = first

    def __call__(self) -> int:
        pgno = self.next
        self.next += 1
        return pgno


class DatabaseBuilder:
    """Describe a database (tables, rows, catalog oddities), then build() the file bytes.

    Page layout: header block 0 and its shadow in block 1; pages 1-3 the database root and its space trees;
    page 4 the catalog root, then the rest of the catalog; then, table by table, the data tree, the
    long-value tree and secondary index trees; then raw pages.
    """

    def __init__(
        self,
        page_size: int = 8192,
        format_version: int = FORMAT_VERSION,
        format_revision: int = FORMAT_REVISION,
        *,
        system_catalog: bool = True,
        system_pages: bool = True,
        key_compression: str = "auto",
        catalog_rows_per_page: int | None = None,
        catalog_fanout: int | None = None,
        catalog_sorted: bool = True,
        db_state: int = DB_STATE_CLEAN_SHUTDOWN,
        file_type: int = 0,
        header_patches: dict[int, bytes] | None = None,
        extra_pages: int = 0,
    ) -> None:
        self.geometry = Geometry(page_size, format_version, format_revision)
        self.system_catalog = system_catalog
        self.system_pages = system_pages
        self.key_compression = key_compression
        self.catalog_options = TreeOptions(
            object_id=CATALOG_OBJECT_ID,
            space_header=space_header(20, 1, 1, 5),
            max_per_leaf=catalog_rows_per_page,
            fanout=catalog_fanout,
            key_compression=key_compression,
        )
        self.catalog_sorted = catalog_sorted
        self.db_state = db_state
        self.file_type = file_type
        self.header_patches = dict(header_patches or {})
        self.extra_pages = extra_pages
        self.tables: dict[str, TableBuilder] = {}
        self.extra_catalog: list[tuple[bytes, bytes | CatalogEntry]] = []
        self.raw_pages: list[bytes] = []
        self._next_object_id = FIRST_USER_OBJECT_ID
        self._layout: DatabaseLayout | None = None

    @property
    def page_size(self) -> int:
        return self.geometry.page_size

    @property
    def large(self) -> bool:
        return self.geometry.large

    # Description -------------------------------------------------------------------------------------------

    def allocate_object_id(self) -> int:
        object_id = self._next_object_id
        self._next_object_id += 1
        return object_id

    def add_table(
        self,
        name: str,
        columns: list[Column],
        rows_per_page: int | None = None,
        *,
        object_id: int | None = None,
        **options: Any,
    ) -> TableBuilder:
        """Add a table. Options: fanout, min_depth, key_compression, leaf_order ("sequential", "reversed",
        "shuffled"), register (False: no catalog records), lv_tree ("auto", "always", "never"),
        lv_rows_per_page, seed, template (the TemplateTable name)."""
        if name in self.tables:
            raise ValueError(f"table {name!r} added twice (use add_catalog_entry for duplicate records)")
        options.setdefault("key_compression", self.key_compression)
        table_id = self.allocate_object_id() if object_id is None else object_id
        table = TableBuilder(self.geometry, name, columns, table_id, rows_per_page=rows_per_page, **options)
        self.tables[name] = table
        return table

    def add_raw_catalog_record(self, data: bytes, key: bytes | None = None) -> None:
        """Add a catalog leaf entry with arbitrary data. Without a key, one is derived from the data's
        object id, type and id when it has 14 bytes or more; shorter data sorts after everything else."""
        if key is None:
            if len(data) >= 14:
                object_id, record_type, record_id = struct.unpack_from("<IHI", data, 4)
                key = catalog_key(object_id, record_type, record_id)
            else:
                key = _RAW_KEY_PREFIX + struct.pack(">I", len(self.extra_catalog))
        self.extra_catalog.append((key, bytes(data)))

    def add_catalog_entry(self, entry: CatalogEntry) -> None:
        """Add a catalog record built from fields (see catalog.table_entry, column_entry, ...)."""
        self.extra_catalog.append((entry.catalog_key(), entry))

    def add_raw_page(self, data: bytes = b"") -> int:
        """Append a page that no tree reaches, holding `data` (zero-padded); returns its index in
        layout.raw_pages."""
        if len(data) > self.page_size:
            raise ValueError("raw page data longer than a page")
        self.raw_pages.append(bytes(data))
        return len(self.raw_pages) - 1

    # Assembly ----------------------------------------------------------------------------------------------

    @property
    def layout(self) -> DatabaseLayout:
        if self._layout is None:
            raise RuntimeError("call build() first")
        return self._layout

    def _catalog_entries(
        self, table_info: dict[str, tuple[int, int, int | None, int | None, dict[Any, tuple[int, int]]]]
    ) -> list[Entry]:
        large = self.large
        entries: list[tuple[bytes, bytes]] = []
        if self.system_catalog:
            entries.extend((e.catalog_key(), e.encode(large)) for e in msysobjects_entries())
        for name, table in self.tables.items():
            root, pages, lv_id, lv_root, index_roots = table_info[name]
            for entry in table.catalog_entries(root, pages, lv_id, lv_root, index_roots):
                entries.append((entry.catalog_key(), entry.encode(large)))
        for key, item in self.extra_catalog:
            entries.append((key, item.encode(large) if isinstance(item, CatalogEntry) else item))
        if self.catalog_sorted:
            entries.sort(key=lambda entry: entry[0])
        return entries

    def build(self) -> bytes:
        """Lay out and render the whole file."""
        return bytes(self._build())

    def write(self, path: str | os.PathLike[str]) -> DatabaseLayout:
        """Build and write the file; returns the layout."""
        image = self._build()
        with open(path, "wb") as handle:
            handle.write(image)
        return self.layout

    def _build(self) -> bytearray:
        first_free_object_id = self._next_object_id
        try:
            return self._assemble()
        finally:  # object ids of long-value and index trees are handed out anew on every build
            self._next_object_id = first_free_object_id

    def _assemble(self) -> bytearray:
        geometry = self.geometry
        allocate = _Allocator(CATALOG_ROOT_PAGE)

        # The catalog's shape depends only on record sizes, which do not depend on page numbers: plan it
        # with placeholder roots, give it the first pages, then place the tables after it.
        placeholder = self._placeholder_info()
        catalog_plan = plan_tree(self._catalog_entries(placeholder), geometry, self.catalog_options)
        catalog_layout = assign_pages(catalog_plan, allocate, self.catalog_options)

        trees: list[tuple[TreePlan, TreeLayout, list[Entry], TreeOptions]] = []
        table_layouts: dict[str, TableLayout] = {}
        info: dict[str, tuple[int, int, int | None, int | None, dict[Any, tuple[int, int]]]] = {}
        for name, table in self.tables.items():
            data_entries = table.sorted_entries()
            data_plan = plan_tree(data_entries, geometry, table.data_options)
            data_layout = assign_pages(data_plan, allocate, table.data_options)
            trees.append((data_plan, data_layout, data_entries, table.data_options))
            layout = TableLayout(name, table.object_id, data_layout)
            if table.has_lv_tree:
                lv_object_id = self.allocate_object_id()
                lv_options = dataclasses.replace(table.lv_options, object_id=lv_object_id)
                lv_entries = long_value_entries(table.long_values, table.lv_id_width)
                lv_plan = plan_tree(lv_entries, geometry, lv_options)
                lv_layout = assign_pages(lv_plan, allocate, lv_options)
                trees.append((lv_plan, lv_layout, lv_entries, lv_options))
                layout.lv_object_id = lv_object_id
                layout.lv = lv_layout
                layout.long_value_ids = sorted({value.lv_id for value in table.long_values})
            index_roots: dict[Any, tuple[int, int]] = {}
            for spec in table.indexes:
                if spec.primary:
                    index_roots[spec.name] = (spec.index_id, data_layout.root_page)
                    continue
                index_id = spec.index_id if spec.index_id >= 0 else self.allocate_object_id()
                options = table.index_options(index_id)
                index_entries = [(key, key) for key, _ in data_entries]
                index_plan = plan_tree(index_entries, geometry, options)
                index_layout = assign_pages(index_plan, allocate, options)
                trees.append((index_plan, index_layout, index_entries, options))
                index_roots[spec.name] = (index_id, index_layout.root_page)
            layout.index_roots = {
                (k.decode("utf-8", "replace") if isinstance(k, bytes) else k): v[1]
                for k, v in index_roots.items()
            }
            table_layouts[name] = layout
            info[name] = (
                data_layout.root_page,
                data_plan.page_count,
                layout.lv_object_id,
                layout.lv_root_page,
                index_roots,
            )

        catalog_entries = self._catalog_entries(info)
        catalog_sizes = [len(data) for _, data in self._catalog_entries(placeholder)]
        if catalog_sizes != [len(data) for _, data in catalog_entries]:  # pragma: no cover - sanity check
            raise AssertionError("catalog record sizes changed between planning and rendering")

        raw_numbers = [allocate() for _ in self.raw_pages]
        total_pages = allocate.next - 1 + self.extra_pages
        self._layout = DatabaseLayout(
            page_size=geometry.page_size,
            large=geometry.large,
            header_size=geometry.header_size,
            total_pages=total_pages,
            catalog=catalog_layout,
            tables=table_layouts,
            raw_pages=raw_numbers,
            system_pages=list(SYSTEM_PAGES) if self.system_pages else [],
        )

        image = bytearray((total_pages + 2) * geometry.page_size)
        header = build_header(
            geometry.page_size,
            geometry.format_version,
            geometry.format_revision,
            file_type=self.file_type,
            db_state=self.db_state,
            patches=self.header_patches,
        )
        image[0 : len(header)] = header
        image[geometry.page_size : geometry.page_size + len(header)] = header
        if self.system_pages:
            self._render_system_pages(image, total_pages)
        render_tree(image, geometry, catalog_plan, catalog_layout, catalog_entries, self.catalog_options)
        for plan, tree_layout, entries, options in trees:
            render_tree(image, geometry, plan, tree_layout, entries, options)
        for pgno, data in zip(raw_numbers, self.raw_pages, strict=True):
            start = geometry.page_offset(pgno)
            image[start : start + len(data)] = data
        return image

    def _placeholder_info(
        self,
    ) -> dict[str, tuple[int, int, int | None, int | None, dict[Any, tuple[int, int]]]]:
        info: dict[str, tuple[int, int, int | None, int | None, dict[Any, tuple[int, int]]]] = {}
        for name, table in self.tables.items():
            lv = (0, 0) if table.has_lv_tree else (None, None)
            roots = {spec.name: (0, 0) for spec in table.indexes}
            info[name] = (0, 0, lv[0], lv[1], roots)
        return info

    def _render_system_pages(self, image: bytearray, total_pages: int) -> None:
        """Page 1: the database root; pages 2 and 3: its owned-extent and available-extent space trees."""
        geometry = self.geometry

        def put(pgno: int, flags: int, tags: list[tuple[int, bytes]]) -> None:
            write_page(
                image,
                geometry.page_offset(pgno),
                geometry.page_size,
                geometry.large,
                flags | PAGE_IN_USE,
                tags,
                0,
                0,
                pgno,
                objid=1,
                dbtime=0x100,
                header_size=geometry.header_size,
            )

        put(1, PAGE_ROOT | PAGE_LEAF, [(0, struct.pack("<IIII", total_pages, 0, 1, 2))])
        # One owned extent: key = its last page (big-endian), data = its page count.
        owned = struct.pack("<H", 4) + struct.pack(">I", total_pages) + struct.pack("<I", total_pages)
        put(2, PAGE_ROOT | PAGE_LEAF | PAGE_SPACE_TREE, [(0, bytes(16)), (0, owned)])
        put(3, PAGE_ROOT | PAGE_LEAF | PAGE_SPACE_TREE, [(0, bytes(16))])
