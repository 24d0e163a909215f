"""An interpreter's view over many files as one Dask DataFrame (``pagewright.artifacts.dask``).

    import pagewright.artifacts.dask
    frame = pagewright.artifacts.dask.read_view(paths, "srum", "network_usage", on_error="skip")

One partition per file, built on a worker with the interpreter's read_table; its `source` column names the
file. The meta (columns and Arrow-backed dtypes) comes from the first file that has the view.
"""

from __future__ import annotations

import importlib
import os
import warnings
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any, Literal, cast

from pagewright_dask import SkippedFilesWarning

if TYPE_CHECKING:
    import dask.dataframe

__all__ = ["read_view"]

ARTIFACTS = ("srum", "ual", "webcache", "bits")


def _reader(path: str, artifact: str, view: str) -> Any:
    return importlib.import_module(f"pagewright_artifacts.{artifact}").read(path, view)


def _frame(table: Any, schema: Any) -> Any:
    """The partition as pandas with Arrow-backed dtypes, its columns cast to the meta's schema (a column
    that a file lacks is null)."""
    pa = importlib.import_module("pyarrow")
    pd = importlib.import_module("pandas")
    columns = [
        table.column(f.name).cast(f.type) if f.name in table.column_names else pa.nulls(len(table), f.type)
        for f in schema
    ]
    return pa.Table.from_arrays(columns, schema=schema).to_pandas(types_mapper=pd.ArrowDtype)


def _partition(path: str, artifact: str, view: str, schema: Any, skip: bool) -> Any:
    try:
        table = _reader(path, artifact, view).read_all()
    except (OSError, ValueError) as exc:
        if not skip:
            raise
        warnings.warn(SkippedFilesWarning([(path, str(exc))]), stacklevel=2)
        table = schema.empty_table()
    return _frame(table, schema)


def read_view(
    paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    artifact: Literal["srum", "ual", "webcache", "bits"],
    view: str,
    *,
    on_error: Literal["raise", "skip"] = "raise",
) -> dask.dataframe.DataFrame:
    """The view `view` of interpreter `artifact` over every file of `paths`, one partition per file.
    on_error="skip": files that cannot be opened, are not the artefact or lack the view are left out and
    listed in one SkippedFilesWarning (a file failing later, on a worker, gives an empty partition)."""
    dd = importlib.import_module("dask.dataframe")
    if artifact not in ARTIFACTS or on_error not in ("raise", "skip"):
        raise ValueError(f"artifact must be one of {', '.join(ARTIFACTS)} and on_error 'raise' or 'skip'")
    names = [os.fspath(p) for p in ([paths] if isinstance(paths, str | os.PathLike) else paths)]
    schema, usable, skipped = None, [], []
    for path in names:
        if schema is None or on_error == "skip":
            try:
                found = _reader(path, artifact, view).schema
            except (OSError, ValueError) as exc:
                if on_error == "raise":
                    raise
                skipped.append((path, str(exc)))
                continue
            schema = schema or found
        usable.append(path)
    if skipped:
        warnings.warn(SkippedFilesWarning(skipped), stacklevel=2)
    if schema is None:
        raise ValueError(f"no file has the {artifact} view {view!r}")
    meta = _frame(schema.empty_table(), schema)
    frame = dd.from_map(
        _partition, usable, artifact=artifact, view=view, schema=schema, skip=on_error == "skip", meta=meta
    )
    return cast("dask.dataframe.DataFrame", frame)
