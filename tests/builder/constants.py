"""Numeric constants of the ESE on-disk format used by the builder."""

from __future__ import annotations

SIGNATURE = 0x89ABCDEF
FORMAT_VERSION = 0x620
FORMAT_REVISION = 0x14
LARGE_PAGE_MIN_REVISION = 0x11
EXTENDED_HEADER_MIN_REVISION = 0x11

SMALL_PAGE_HEADER = 40
LARGE_PAGE_HEADER = 80

# Database state stored at header offset 52: clean shutdown.
DB_STATE_CLEAN_SHUTDOWN = 3

# Page flags.
PAGE_ROOT = 0x0001
PAGE_LEAF = 0x0002
PAGE_PARENT = 0x0004
PAGE_SPACE_TREE = 0x0020
PAGE_INDEX = 0x0040
PAGE_LONG_VALUE = 0x0080
PAGE_NEW_RECORD_FORMAT = 0x0800
PAGE_NEW_CHECKSUM_FORMAT = 0x2000
PAGE_IN_USE = PAGE_NEW_RECORD_FORMAT | PAGE_NEW_CHECKSUM_FORMAT

# Tag flag (3 bits): the entry starts with a common-prefix size.
TAG_COMMON = 0x4

# Flag byte in front of a tagged value.
TV_LONG_COLUMN = 0x01
TV_COMPRESSED = 0x02
TV_LONG_VALUE = 0x04
TV_MULTI_VALUE = 0x08
TV_TWO_VALUES = 0x10
TV_NULL = 0x20  # set to null over the column's default (large pages; small pages: TAGGED_NULL_SMALL)

# Tagged directory offset word, small pages.
TAGGED_HAS_FLAG_BYTE = 0x4000
TAGGED_NULL_SMALL = 0x2000

# Variable end offset with no value.
VARIABLE_NULL = 0x8000

# Catalog record types.
CATALOG_TABLE = 1
CATALOG_COLUMN = 2
CATALOG_INDEX = 3
CATALOG_LONG_VALUE = 4
CATALOG_CALLBACK = 5

CATALOG_ROOT_PAGE = 4
CATALOG_OBJECT_ID = 2

# Column flags as stored in the catalog.
COLUMN_NOT_NULL = 0x1
COLUMN_HAS_DEFAULT = 0x10

# Column type codes.
BOOLEAN = 1
UNSIGNED_BYTE = 2
SHORT = 3
LONG = 4
CURRENCY = 5
IEEE_SINGLE = 6
IEEE_DOUBLE = 7
DATETIME = 8
BINARY = 9
TEXT = 10
LONG_BINARY = 11
LONG_TEXT = 12
UNSIGNED_LONG = 14
LONG_LONG = 15
GUID = 16
UNSIGNED_SHORT = 17
UNSIGNED_LONG_LONG = 18  # Windows 10 and later

FIXED_TYPE_SIZES: dict[int, int] = {
    BOOLEAN: 1,
    UNSIGNED_BYTE: 1,
    SHORT: 2,
    LONG: 4,
    CURRENCY: 8,
    IEEE_SINGLE: 4,
    IEEE_DOUBLE: 8,
    DATETIME: 8,
    UNSIGNED_LONG: 4,
    LONG_LONG: 8,
    GUID: 16,
    UNSIGNED_SHORT: 2,
    UNSIGNED_LONG_LONG: 8,
}
TEXT_TYPES = frozenset({TEXT, LONG_TEXT})
LONG_TYPES = frozenset({LONG_BINARY, LONG_TEXT})

# Column id ranges of the three record areas.
FIRST_VARIABLE_ID = 128
FIRST_TAGGED_ID = 256
NO_VARIABLE_COLUMNS = 127
