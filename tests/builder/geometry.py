"""Page geometry derived from the header's page size, format version and revision."""

from __future__ import annotations

from dataclasses import dataclass

from .constants import (
    EXTENDED_HEADER_MIN_REVISION,
    FORMAT_VERSION,
    LARGE_PAGE_HEADER,
    LARGE_PAGE_MIN_REVISION,
    SMALL_PAGE_HEADER,
)


@dataclass(frozen=True)
class Geometry:
    """How pages of a database are laid out: header size and tag encoding."""

    page_size: int
    format_version: int = FORMAT_VERSION
    format_revision: int = 0x14

    @property
    def large(self) -> bool:
        """Large-page mode: 15-bit tag fields, tag flags in the entry, a flag byte on every tagged value."""
        return (
            self.format_version == FORMAT_VERSION
            and self.format_revision >= LARGE_PAGE_MIN_REVISION
            and self.page_size > 8192
        )

    @property
    def header_size(self) -> int:
        extended = self.format_version > FORMAT_VERSION or (
            self.format_version == FORMAT_VERSION and self.format_revision >= EXTENDED_HEADER_MIN_REVISION
        )
        return LARGE_PAGE_HEADER if extended and self.page_size > 8192 else SMALL_PAGE_HEADER

    @property
    def data_size(self) -> int:
        """Bytes between the page header and the end of the page."""
        return self.page_size - self.header_size

    def page_offset(self, pgno: int) -> int:
        """File offset of database page `pgno` (page N lives in block N + 1)."""
        return (pgno + 1) * self.page_size
