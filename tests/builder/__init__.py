"""A writer of ESE database files for tests and benchmarks, written from the on-disk format.

db = DatabaseBuilder(page_size=8192)                       # 16384 / 32768: large pages (80-byte header)
t = db.add_table("t", columns=[Column(1, "Id", 4), Column(128, "Name", 10)], rows_per_page=2)
t.add_row({"Id": 1, "Name": "abc"})                        # rows_per_page / fanout / min_depth: deep trees
data = db.build()                                          # db.layout: page numbers of every tree
broken = damage.set_next_page(data, 8192, db.layout.tables["t"].leaf_pages[0], 99999)
"""

from . import damage
from .btree import TreeLayout, TreeOptions, assign_pages, plan_tree, render_tree
from .catalog import (
    MSYSOBJECTS_COLUMNS,
    CatalogEntry,
    callback_entry,
    catalog_key,
    column_entry,
    index_entry,
    long_value_entry,
    table_entry,
)
from .checksum import header_checksum, page_checksum
from .compress import (
    compress,
    compress_7bit_ascii,
    compress_7bit_unicode,
    compress_xpress,
    decompress,
    pack_7bit,
    unpack_7bit,
)
from .database import DatabaseBuilder
from .encode import encode_text, encode_value, guid_bytes
from .entries import branch_entry, leaf_entry
from .geometry import Geometry
from .header import build_header
from .layout import DatabaseLayout, TableLayout
from .lzxpress import Lz77Writer, lz77_decode, lz77_encode
from .page import build_page, write_page
from .record import NO_FLAG, RAW, RecordFormat
from .table import TableBuilder, row_key
from .values import Column, Compressed, LongValue, MultiValue, Raw, Tagged

__all__ = [
    "MSYSOBJECTS_COLUMNS",
    "NO_FLAG",
    "RAW",
    "CatalogEntry",
    "Column",
    "Compressed",
    "DatabaseBuilder",
    "DatabaseLayout",
    "Geometry",
    "LongValue",
    "Lz77Writer",
    "MultiValue",
    "Raw",
    "RecordFormat",
    "TableBuilder",
    "TableLayout",
    "Tagged",
    "TreeLayout",
    "TreeOptions",
    "assign_pages",
    "branch_entry",
    "build_header",
    "build_page",
    "callback_entry",
    "catalog_key",
    "column_entry",
    "compress",
    "compress_7bit_ascii",
    "compress_7bit_unicode",
    "compress_xpress",
    "damage",
    "decompress",
    "encode_text",
    "encode_value",
    "guid_bytes",
    "header_checksum",
    "index_entry",
    "leaf_entry",
    "long_value_entry",
    "lz77_decode",
    "lz77_encode",
    "pack_7bit",
    "page_checksum",
    "plan_tree",
    "render_tree",
    "row_key",
    "table_entry",
    "unpack_7bit",
    "write_page",
]
