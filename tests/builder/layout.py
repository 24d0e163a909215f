"""Where a built database put things: page numbers of every tree, for tests that inspect or damage them."""

from __future__ import annotations

from dataclasses import dataclass, field

from .btree import TreeLayout


@dataclass
class TableLayout:
    """Pages of one table: its data tree, its long-value tree and its secondary index trees."""

    name: str
    object_id: int
    data: TreeLayout
    lv_object_id: int | None = None
    lv: TreeLayout | None = None
    index_roots: dict[str, int] = field(default_factory=dict)
    long_value_ids: list[int] = field(default_factory=list)

    @property
    def root_page(self) -> int:
        return self.data.root_page

    @property
    def leaf_pages(self) -> list[int]:
        """Leaf pages in chain (key) order."""
        return self.data.leaf_pages

    @property
    def branch_pages(self) -> list[int]:
        return self.data.branch_pages

    @property
    def lv_root_page(self) -> int | None:
        return self.lv.root_page if self.lv else None

    @property
    def lv_leaf_pages(self) -> list[int]:
        return self.lv.leaf_pages if self.lv else []


@dataclass
class DatabaseLayout:
    """Page numbers of a built file. Page N starts at file offset (N + 1) * page_size."""

    page_size: int
    large: bool
    header_size: int
    total_pages: int
    catalog: TreeLayout
    tables: dict[str, TableLayout] = field(default_factory=dict)
    raw_pages: list[int] = field(default_factory=list)
    system_pages: list[int] = field(default_factory=list)

    @property
    def catalog_root(self) -> int:
        return self.catalog.root_page

    @property
    def catalog_leaf_pages(self) -> list[int]:
        return self.catalog.leaf_pages

    @property
    def catalog_branch_pages(self) -> list[int]:
        return self.catalog.branch_pages

    def page_offset(self, pgno: int) -> int:
        return (pgno + 1) * self.page_size
