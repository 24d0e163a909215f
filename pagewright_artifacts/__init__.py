"""Interpreters of Windows artefacts kept in ESE databases (imported as ``pagewright.artifacts``).

    import pagewright.artifacts.srum as srum
    net = srum.read_table("SRUDB.dat", "network_usage")

One module per artefact: `srum` (SRUDB.dat), `ual` (User Access Logging: Current.mdb, {GUID}.mdb,
SystemIdentity.mdb), `webcache` (WebCacheV01.dat), `bits` (qmgr.db); `dask` reads a view of many files as one
Dask DataFrame. Each reads the database through the typed API of `pagewright` (Arrow streams) and returns
pyarrow tables, readers of record batches and iterators of records. Repeated text (names looked up, the source
and table) is dictionary-encoded. Every output row names its source file and table and keeps the row's
identity; a `notes` column says what a value is or why it is null where that is not obvious, and field
metadata (`pagewright.decoded`) names the rule that made a column. pyarrow is needed: pip install '.[arrow]'.

A database that is not the artefact asked for raises ArtifactError (a ValueError). A table read only in
part (damage) or holding values the reader could not give is reported with an ArtifactWarning.
"""

from __future__ import annotations

import sys

from . import bits, dask, srum, ual, webcache
from ._base import ArtifactError, ArtifactWarning, MissingArrow

__all__ = ["ArtifactError", "ArtifactWarning", "MissingArrow", "bits", "dask", "srum", "ual", "webcache"]

# One module object per name: `import pagewright.artifacts.srum` finds these, not second copies.
for _module in (bits, dask, srum, ual, webcache):
    sys.modules.setdefault(f"pagewright.artifacts.{_module.__name__.rsplit('.', 1)[1]}", _module)
