"""A writer of ESE database files for tests and benchmarks, written from the on-disk format.

db = DatabaseBuilder(page_size=8192)                       # 16384 / 32768: large pages (80-byte header)
t = db.add_table("t", columns=[Column(1, "Id", 4), Column(128, "Name", 10)], rows_per_page=2)
t.add_row({"Id": 1, "Name": "abc"})                        # rows_per_page / fanout / min_depth: deep trees
data = db.build()                                          # db.layout: page numbers of every tree
broken = damage.set_next_page(data, 8192, db.layout.tables["t"].leaf_pages[0], 99999)
"""

from . import damage
from .catalog import CatalogEntry, callback_entry, column_entry, table_entry
from .checksum import header_checksum
from .compress import compress, compress_7bit_ascii, compress_7bit_unicode, compress_xpress
from .database import DatabaseBuilder
from .encode import encode_value
from .entries import leaf_entry
from .header import build_header
from .lzxpress import Lz77Writer, lz77_encode
from .page import build_page
from .table import row_key
from .values import Column, Compressed, LongValue, MultiValue, Raw, Tagged

__all__ = [
    "CatalogEntry",
    "Column",
    "Compressed",
    "DatabaseBuilder",
    "LongValue",
    "Lz77Writer",
    "MultiValue",
    "Raw",
    "Tagged",
    "build_header",
    "build_page",
    "callback_entry",
    "column_entry",
    "compress",
    "compress_7bit_ascii",
    "compress_7bit_unicode",
    "compress_xpress",
    "damage",
    "encode_value",
    "header_checksum",
    "leaf_entry",
    "lz77_encode",
    "row_key",
    "table_entry",
]
