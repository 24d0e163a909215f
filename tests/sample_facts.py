"""Values known to be in the real sample databases (what the real engine wrote), shared by the tests."""

from __future__ import annotations

# (id, name, type name, type code, nullable) of the table `basic` in basic.edb.
BASIC_COLUMNS = [
    (1, "Id", "Signed long", 4, False),
    (2, "Bit", "Boolean", 1, True),
    (3, "UnsignedByte", "Unsigned byte", 2, True),
    (4, "Short", "Signed short", 3, True),
    (5, "Long", "Signed long", 4, True),
    (6, "Currency", "Currency", 5, True),
    (7, "IEEESingle", "Single precision FP", 6, True),
    (8, "IEEEDouble", "Double precision FP", 7, True),
    (9, "DateTime", "DateTime", 8, True),
    (10, "UnsignedLong", "Unsigned long", 14, True),
    (11, "LongLong", "Long long", 15, True),
    (12, "GUID", "GUID", 16, True),
    (13, "UnsignedShort", "Unsigned short", 17, True),
]

BASIC_ROWS = [
    {
        "Id": 1,
        "Bit": False,
        "UnsignedByte": 213,
        "Short": -1337,
        "Long": -13371337,
        "Currency": 1337133713371337,
        "IEEESingle": 1.0,
        "IEEEDouble": 13371337.13371337,
        "DateTime": 4675210852477960192,
        "UnsignedLong": 13371337,
        "LongLong": -13371337,
        "GUID": "3f360af1-6766-46dc-9af2-0dacf295c2a1",
        "UnsignedShort": 1337,
    },
    {
        "Id": 2,
        "Bit": True,
        "UnsignedByte": 255,
        "Short": 1339,
        "Long": 13391339,
        "Currency": 18445404939796160277,
        "IEEESingle": -2.0,
        "IEEEDouble": -13391339.13391339,
        "DateTime": 13909671945135194112,
        "UnsignedLong": None,
        "LongLong": None,
        "GUID": None,
        "UnsignedShort": None,
    },
]
