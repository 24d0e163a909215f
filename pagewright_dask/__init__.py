"""Many evidence files as one Dask DataFrame (imported as ``pagewright.dask``).

    import pagewright.dask
    frame = pagewright.dask.read_table(paths, "SruDbIdMapTable", on_error="skip")

One partition per file, each built on a Dask worker through the table's Arrow stream, with a ``source`` column
naming the file; the columns are the union of the files' columns. The same code runs on
``distributed.LocalCluster`` and on a cluster's ``Client("tcp://scheduler:8786")``: the workers open the paths
themselves, so they must see the same files.
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
MARKER = "_deleted"


class SkippedFilesWarning(UserWarning):
    """read_table(on_error="skip") left files out; `skipped` lists (path, reason) for each."""

    def __init__(self, skipped: list[tuple[str, str]]) -> None:
        self.skipped = skipped
        lines = "".join(f"\n  {path}: {reason}" for path, reason in skipped)
        super().__init__(f"{len(skipped)} file(s) left out:{lines}")


def _is_marker(field: Any) -> bool:
    return bool(field.metadata) and field.metadata.get(b"pagewright.marker") == b"deleted"


def _free_name(name: str, taken: set[str]) -> str:
    while name in taken:
        name = "_" + name
    return name


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


def _common_type(a: Any, b: Any) -> Any:
    """The type that holds every value of a and of b exactly, or None: integers widen (a signed type twice
    as wide holds an unsigned one), float32 widens to float64; nothing else is converted."""
    pa = importlib.import_module("pyarrow")

    if a == b:
        return a
    if pa.types.is_integer(a) and pa.types.is_integer(b):
        signed_a, signed_b = pa.types.is_signed_integer(a), pa.types.is_signed_integer(b)
        if signed_a == signed_b:
            return a if a.bit_width >= b.bit_width else b
        signed, unsigned = (a, b) if signed_a else (b, a)
        width = max(signed.bit_width, 2 * unsigned.bit_width)
        return {16: pa.int16(), 32: pa.int32(), 64: pa.int64()}.get(width)
    if {str(a), str(b)} == {"float", "double"}:
        return pa.float64()
    return None


def _frame(arrow: ArrowTable, schema: ArrowSchema, path: str, source: str) -> PandasFrame:
    """The partition as pandas with Arrow-backed dtypes (the same dtypes whether or not a column holds nulls),
    aligned to the schema of the meta (columns it lacks are null, the deleted marker under the meta's name,
    widened types cast), plus the source column."""
    pd = importlib.import_module("pandas")
    pa = importlib.import_module("pyarrow")

    names = [schema.field(-1).name if _is_marker(f) else f.name for f in arrow.schema]
    arrow = arrow.rename_columns(names)
    columns = [
        arrow.column(f.name).cast(f.type) if f.name in names else pa.nulls(len(arrow), f.type) for f in schema
    ]
    frame = pa.Table.from_arrays(columns, schema=schema).to_pandas(types_mapper=pd.ArrowDtype)
    frame[source] = pd.Series([path] * len(frame), dtype=pd.ArrowDtype(pa.string()), index=frame.index)
    return frame


def _partition(
    path: str,
    wanted: list[str] | None,
    table: str,
    options: dict[str, Any],
    schema: ArrowSchema,
    source: str,
    skip: bool,
) -> Any:
    try:
        arrow = _arrow_table(path, table, {**options, "columns": wanted})
    except (OSError, ValueError) as exc:
        if not skip:
            raise
        warnings.warn(SkippedFilesWarning([(path, str(exc))]), stacklevel=2)
        arrow = schema.empty_table()
    return _frame(arrow, schema, path, source)


class _Union:
    """The meta's columns: every column of every file, in the order of the first file that has each (or in
    the order asked), each of the type that holds all files' values."""

    def __init__(self, asked: list[str] | None) -> None:
        self.asked = asked
        self.fields: dict[str, Any] = {}
        self.marker: Any = None

    def conflict(self, schema: ArrowSchema) -> str | None:
        """Why the file of `schema` cannot join the union (a column no common type holds), else None."""
        for f in schema:
            known = self.fields.get(f.name)
            if not _is_marker(f) and known is not None and _common_type(known.type, f.type) is None:
                return f"column {f.name!r} is {f.type} here, {known.type} in the files before"
        return None

    def add(self, schema: ArrowSchema) -> None:
        for f in schema:
            if _is_marker(f):
                self.marker = self.marker or f
            elif (known := self.fields.get(f.name)) is not None:
                self.fields[f.name] = known.with_type(_common_type(known.type, f.type))
            else:
                self.fields[f.name] = f

    def columns_of(self, schema: ArrowSchema) -> list[str] | None:
        """The columns asked that the file of `schema` has (a name no file has is passed on: refused)."""
        if self.asked is None:
            return None
        have = {f.name for f in schema}
        return [c for c in self.asked if c in have or c not in self.fields]

    def schema(self) -> tuple[ArrowSchema, str]:
        pa = importlib.import_module("pyarrow")

        order = list(self.fields) if self.asked is None else [c for c in self.asked if c in self.fields]
        fields = [self.fields[name] for name in order]
        taken = set(self.fields)
        if self.marker is not None:
            fields.append(self.marker.with_name(_free_name(MARKER, taken)))
            taken.add(fields[-1].name)
        return pa.schema(fields), _free_name(SOURCE, taken)


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
    column naming the file. typed, columns and deleted are those of Table.rows() (deleted rows are left out by
    default; where they are included, a boolean column `_deleted` marks them).

    Every file is opened while the frame is built, to read its columns. The meta (column names and
    Arrow-backed dtypes) is the union of the files' columns, in the order of the first file that has each (or
    the order of `columns`); a file that lacks a column gives nulls there. A column whose type differs between
    files takes the type that holds both exactly (a wider integer; float64 for float32); where none does
    (text in one file, integers in another), the file is refused: on_error="raise" raises ValueError naming
    the column, the types and the file; on_error="skip" leaves it out and reports it.

    The file column is named `source`; should a column of the table already hold that name (or the deleted
    marker's), "_" is prepended until the name is free, so it never hides a column. The deleted marker is
    `_deleted` likewise.

    on_error="raise": a file that cannot be opened or lacks the table raises when the frame is built, and one
    that fails on a worker when it is computed. on_error="skip": those files are left out and reported in one
    SkippedFilesWarning (its `skipped` attribute lists (path, reason)); a file that fails later, on a worker,
    gives an empty partition and the same warning there.
    """
    dd = importlib.import_module("dask.dataframe")

    if on_error not in ("raise", "skip"):
        raise ValueError(f"on_error must be 'raise' or 'skip', not {on_error!r}")
    if isinstance(paths, str | os.PathLike):
        paths = [paths]
    if isinstance(columns, str):
        columns = [columns]
    names = [os.fspath(p) for p in paths]
    asked = list(dict.fromkeys(columns)) if columns is not None else None
    options: dict[str, Any] = {"typed": typed, "deleted": deleted}
    skip = on_error == "skip"
    union = _Union(asked)
    found: list[tuple[str, ArrowSchema]] = []
    skipped: list[tuple[str, str]] = []
    for path in names:
        try:
            schema = _schema(path, table, options)
            reason = union.conflict(schema)
            if reason is not None:
                raise ValueError(f"{path}: {reason}")
        except (OSError, ValueError) as exc:
            if not skip:
                raise
            skipped.append((path, str(exc)))
            continue
        union.add(schema)
        found.append((path, schema))
    if skipped:
        warnings.warn(SkippedFilesWarning(skipped), stacklevel=2)
    if not found:
        raise ValueError(f"no file has the table {table!r}")
    if asked is not None and not any(c in union.fields for c in asked):
        raise ValueError(f"Column not found in any file: {', '.join(map(repr, asked))}")
    meta_schema, source = union.schema()
    meta = _frame(meta_schema.empty_table(), meta_schema, "", source)
    usable = [path for path, _ in found]
    per_file = [union.columns_of(schema) for _, schema in found]
    return cast(
        "dask.dataframe.DataFrame",
        dd.from_map(
            _partition,
            usable,
            per_file,
            table=table,
            options=options,
            schema=meta_schema,
            source=source,
            skip=skip,
            meta=meta,
        ),
    )
