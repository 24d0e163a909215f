"""Type information for the `pagewright` extension module: a reader of Microsoft ESE database files.

CarvedHit, ColumnInfo, RowValue, Row and CarveScope exist for type checkers only; import them under
`if typing.TYPE_CHECKING:` (or with `from __future__ import annotations`).
"""

from types import TracebackType
from typing import Final, Literal, Self, SupportsIndex, TypeAlias, TypedDict, final

__all__ = ["EseDatabase", "__version__"]

__version__: Final[str]

RowValue: TypeAlias = bool | int | float | str | bytes | None
"""One column value of a row: None, bool, int (also DateTime and Currency, as raw unsigned 64 bits), float,
str (text and GUIDs), or bytes (binary, long binary and multi-valued columns)."""

Row: TypeAlias = dict[str, RowValue]
"""One row: column name -> value, every column of the table in ascending column id order."""

CarveScope: TypeAlias = Literal["slack", "all", "tag_data", "lv_all", "lv_slack"]
"""Which bytes of each page are carved: free space, whole pages, record data, or long-value pages only."""

class ColumnInfo(TypedDict):
    """One column of a table, as returned by EseDatabase.get_table_schema."""

    name: str
    type: str
    id: int
    nullable: bool

class CarvedHit(TypedDict):
    """One UTF-16LE string found by carving; offsets are byte positions within the page."""

    page: int
    offset: int
    slack_start: int
    slack_end: int
    region_kind: Literal["slack", "all", "tag_data"]
    page_flags: int
    page_type: Literal["long_value", "space_tree", "index", "leaf", "branch"]
    table: str | None
    text: str

@final
class EseDatabase:
    """An open ESE database file (mapped read-only; never written)."""

    def __new__(cls, path: str) -> Self: ...
    @property
    def path(self) -> str: ...
    @property
    def page_size(self) -> int: ...
    @property
    def total_pages(self) -> int: ...
    @property
    def header_source(self) -> Literal["primary", "shadow"]:
        """Which copy of the file header was read: "shadow" (block 1) when block 0 is damaged (wrong checksum
        or page size) and the shadow is intact, else "primary"."""
    def get_tables(self) -> list[str]: ...
    def read_table(self, table_name: str) -> list[Row]: ...
    def get_table_schema(self, table_name: str) -> list[ColumnInfo]: ...
    def export_table(self, table_name: str, output_path: str) -> None: ...
    def carve_utf16le_strings(
        self, needle: str | None = None, min_chars: SupportsIndex = 6, max_hits: SupportsIndex = 1000
    ) -> list[CarvedHit]: ...
    def carve_utf16le_strings_scoped(
        self,
        scope: CarveScope,
        needle: str | None = None,
        min_chars: SupportsIndex = 6,
        max_hits: SupportsIndex = 1000,
    ) -> list[CarvedHit]: ...
    def export_all(self, output_dir: str) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_value: BaseException | None,
        _traceback: TracebackType | None,
    ) -> Literal[False]: ...
