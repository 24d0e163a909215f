"""Many evidence files as one Dask DataFrame (imported as ``pagewright.dask``).

    import pagewright.dask
    frame = pagewright.dask.read_table(paths, "SruDbIdMapTable", on_error="skip")

One partition per file, each built on a Dask worker through the table's Arrow stream, with a ``source`` column
naming the file. The same code runs on ``distributed.LocalCluster`` and on a cluster's
``Client("tcp://scheduler:8786")``: the workers open the paths themselves, so they must see the same files.
"""

from __future__ import annotations

import importlib
import os
import warnings
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any, Literal, cast

if TYPE_CHECKING:
    import dask.dataframe

# pyarrow and pandas are imported by name when used (they are optional), so their objects are typed Any.
ArrowTable = Any
ArrowSchema = Any
PandasFrame = Any

__all__ = ["SkippedFilesWarning", "read_table"]

SOURCE = "source"


class SkippedFilesWarning(UserWarning):
    """read_table(on_error="skip") left files out; `skipped` lists (path, reason) for each."""

    def __init__(self, skipped: list[tuple[str, str]]) -> None:
        self.skipped = skipped
        lines = "".join(f"\n  {path}: {reason}" for path, reason in skipped)
        super().__init__(f"{len(skipped)} file(s) left out:{lines}")


def _arrow_table(path: str, table: str, options: dict[str, Any]) -> ArrowTable:
    pa = importlib.import_module("pyarrow")

    from pagewright import EseDatabase

    with EseDatabase(path) as db:
        return pa.table(db.table(table).arrow(**options))


def _schema(path: str, table: str, options: dict[str, Any]) -> ArrowSchema:
    pa = importlib.import_module("pyarrow")

    from pagewright import EseDatabase

    with EseDatabase(path) as db:
        return pa.RecordBatchReader.from_stream(db.table(table).arrow(**options)).schema


def _frame(arrow: ArrowTable, schema: ArrowSchema, path: str) -> PandasFrame:
    """The partition as pandas with Arrow-backed dtypes (the same dtypes whether or not a column holds nulls),
    aligned to the schema of the meta, plus the source column."""
    pd = importlib.import_module("pandas")
    pa = importlib.import_module("pyarrow")

    columns = [
        arrow.column(f.name).cast(f.type) if f.name in arrow.column_names else pa.nulls(len(arrow), f.type)
        for f in schema
    ]
    frame = pa.Table.from_arrays(columns, schema=schema).to_pandas(types_mapper=pd.ArrowDtype)
    frame[SOURCE] = pd.Series([path] * len(frame), dtype=pd.ArrowDtype(pa.string()), index=frame.index)
    return frame


def _partition(path: str, table: str, options: dict[str, Any], schema: ArrowSchema, skip: bool) -> Any:
    try:
        arrow = _arrow_table(path, table, options)
    except (OSError, ValueError) as exc:
        if not skip:
            raise
        warnings.warn(SkippedFilesWarning([(path, str(exc))]), stacklevel=2)
        arrow = schema.empty_table()
    return _frame(arrow, schema, path)


def read_table(
    paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    table: str,
    *,
    typed: bool = True,
    columns: Iterable[str] | None = None,
    deleted: Literal["exclude", "only", "include"] = "exclude",
    on_error: Literal["raise", "skip"] = "raise",
) -> dask.dataframe.DataFrame:
    """The table `table` of every file in `paths` as one Dask DataFrame, one partition per file, with a
    `source` column naming the file. typed, columns and deleted are those of Table.rows(). The meta (column
    names and Arrow-backed dtypes) comes from the first file that has the table.

    on_error="raise": a file that cannot be opened or lacks the table raises when the frame is built (for the
    first files, while looking for the meta) or computed. on_error="skip": every file is checked while the
    frame is built; those that cannot be opened or lack the table are left out and reported in one
    SkippedFilesWarning (its `skipped` attribute lists (path, reason)); a file that fails later, on a worker,
    gives an empty partition and the same warning there.
    """
    dd = importlib.import_module("dask.dataframe")

    if on_error not in ("raise", "skip"):
        raise ValueError(f"on_error must be 'raise' or 'skip', not {on_error!r}")
    if isinstance(paths, str | os.PathLike):
        paths = [paths]
    names = [os.fspath(p) for p in paths]
    options: dict[str, Any] = {"typed": typed, "columns": list(columns) if columns is not None else None}
    options["deleted"] = deleted
    skip = on_error == "skip"
    schema = None
    usable: list[str] = []
    skipped: list[tuple[str, str]] = []
    for path in names:
        if schema is not None and not skip:
            usable.append(path)
            continue
        try:
            found = _schema(path, table, options)
        except (OSError, ValueError) as exc:
            if not skip:
                raise
            skipped.append((path, str(exc)))
            continue
        schema = schema or found
        usable.append(path)
    if skipped:
        warnings.warn(SkippedFilesWarning(skipped), stacklevel=2)
    if schema is None:
        raise ValueError(f"no file has the table {table!r}")
    meta = _frame(schema.empty_table(), schema, "")
    return cast(
        "dask.dataframe.DataFrame",
        dd.from_map(_partition, usable, table=table, options=options, schema=schema, skip=skip, meta=meta),
    )
