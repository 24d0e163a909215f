"""What the interpreters share: pyarrow, opening a database, reading a table batch by batch with its damage
reported, the identity columns, per-row notes, FILETIME columns, and the readers they return."""

from __future__ import annotations

import functools
import importlib
import os
import sys
import warnings
from collections.abc import Callable, Iterable, Iterator
from typing import TYPE_CHECKING, Any, TypeAlias

if TYPE_CHECKING:
    from pagewright import EseDatabase

    Database: TypeAlias = EseDatabase | str | os.PathLike[str]
    """What the interpreters open: a database, or the path of one."""

# pyarrow is optional and untyped: imported by name when used, its objects typed Any.
Batch = Any
Schema = Any
Reader = Any

ARROW_HINT = "pip install '.[arrow]'"
DECODED = b"pagewright.decoded"  # field metadata: the rule that made the column's values
FILETIME_EPOCH_US = 11_644_473_600_000_000  # 1970-01-01 in microseconds since 1601-01-01
FILETIME_MAX = 2_650_467_743_999_999_999  # 9999-12-31T23:59:59.9999999 as a FILETIME
FILETIME_RULE = "FILETIME (100 ns since 1601, UTC); 0 (not set) is null; a value past 9999 is null and noted"


class MissingArrow(ImportError):
    """pyarrow is not installed: the interpreters build every output with it."""


class ArtifactError(ValueError):
    """The database is not the artefact asked for (e.g. `srum` on a web cache)."""


class ArtifactWarning(UserWarning):
    """A table read only in part, or values the reader could not give: `source`, `table`, `problem`."""

    def __init__(self, source: str, table: str, problem: str) -> None:
        self.source, self.table, self.problem = source, table, problem
        super().__init__(f"{source}: table {table}: {problem}")


_ARROW: tuple[Any, Any] | None = None


def arrow() -> tuple[Any, Any]:
    """(pyarrow, pyarrow.compute), or MissingArrow naming the install command."""
    global _ARROW
    if _ARROW is None or sys.modules.get("pyarrow") is not _ARROW[0]:
        try:
            _ARROW = importlib.import_module("pyarrow"), importlib.import_module("pyarrow.compute")
        except ImportError:
            raise MissingArrow(f"pagewright.artifacts needs pyarrow: {ARROW_HINT}") from None
    return _ARROW


def open_database(db: Database) -> EseDatabase:
    """An open database, from itself or from a path."""
    if isinstance(db, str | os.PathLike):
        from pagewright import EseDatabase

        return EseDatabase(db)
    return db


def source_of(db: EseDatabase) -> str:
    return db.path or "<buffer>"


def require(db: EseDatabase, what: str, tables: Iterable[str], mode: str = "all") -> None:
    """ArtifactError unless the database has all (or, mode "any", one) of `tables`."""
    names = set(db.get_tables())
    wanted = list(tables)
    lacking = [t for t in wanted if t not in names]
    if (lacking and mode == "all") or len(lacking) == len(wanted):
        need = " and ".join(lacking) if mode == "all" else "one of " + ", ".join(wanted)
        raise ArtifactError(f"{source_of(db)}: not {what}: it has no table {need}")


def batches(db: EseDatabase, table: str, **options: Any) -> Iterator[Batch]:
    """The table's batches (Table.arrow(**options)). A read error ends them after the batches delivered, with
    an ArtifactWarning; values the reader could not give (unreadable_values) and long-value references that
    no long value answers (missing_long_values), null in the batches, are counted per column in one too."""
    pa, _ = arrow()
    stream = db.table(table).arrow(**options)
    rows = 0
    try:
        for batch in pa.RecordBatchReader.from_stream(stream):
            rows += batch.num_rows
            yield batch
    except OSError as exc:
        warnings.warn(
            ArtifactWarning(source_of(db), table, f"read stopped after {rows} rows: {exc}"), stacklevel=2
        )
        return
    for kind, counted in (
        ("unreadable_values", stream.unreadable_values),
        ("missing_long_values", getattr(stream, "missing_long_values", {})),
    ):
        if counted:
            counts = ", ".join(f"{column} {n}" for column, n in sorted(counted.items()))
            warnings.warn(
                ArtifactWarning(source_of(db), table, f"{kind} (read as null): {counts}"), stacklevel=2
            )


def source_schema(db: EseDatabase, table: str, **options: Any) -> Schema:
    """The schema of Table.arrow(**options), known before any row is read."""
    pa, _ = arrow()
    return pa.RecordBatchReader.from_stream(db.table(table).arrow(**options)).schema


def reader(schema: Schema, parts: Iterable[Batch]) -> Reader:
    """A RecordBatchReader over `parts` (record batches or tables) under `schema`, empty ones left out."""
    pa, _ = arrow()

    def chunks() -> Iterator[Batch]:
        for part in parts:
            for batch in part.to_batches() if isinstance(part, pa.Table) else [part]:
                if batch.num_rows:
                    yield batch

    return pa.RecordBatchReader.from_batches(schema, chunks())


def transformed(schema: Schema, parts: Iterable[Batch], transform: Callable[[Batch], Batch]) -> Reader:
    """A reader of transform(batch) for each batch; its schema is the transform of an empty batch."""
    pa, _ = arrow()
    out = transform(pa.RecordBatch.from_pylist([], schema=schema))
    return reader(out.schema, (transform(b) for b in parts))


def records(source: Reader) -> Iterator[dict[str, Any]]:
    """The rows of a reader as dicts of Python values, one batch at a time."""
    for batch in source:
        yield from batch.to_pylist()


def field(name: str, array: Any, rule: str | None = None, metadata: dict[bytes, bytes] | None = None) -> Any:
    """A field for `array`, with the rule that made its values as metadata (and `metadata` kept)."""
    pa, _ = arrow()
    meta = dict(metadata or {})
    if rule:
        meta[DECODED] = rule.encode()
    return pa.field(name, array.type, metadata=meta or None)


@functools.lru_cache(maxsize=4)
def _zeros(length: int) -> Any:
    pa, _ = arrow()
    return pa.repeat(pa.scalar(0, pa.int32()), length)


class Columns:
    """The columns of an output batch in order, each with its field (name, type, metadata)."""

    def __init__(self, length: int) -> None:
        self.length = length
        self.arrays: list[Any] = []
        self.fields: list[Any] = []

    def add(
        self, name: str, array: Any, rule: str | None = None, metadata: dict[bytes, bytes] | None = None
    ) -> None:
        self.arrays.append(array)
        self.fields.append(field(name, array, rule, metadata))

    def constant(self, name: str, value: str | None, rule: str | None = None) -> None:
        """A text column of one value (dictionary-encoded)."""
        pa, _ = arrow()
        if value is None:
            self.add(name, pa.nulls(self.length, text_type()), rule)
        else:
            zeros = _zeros(self.length)
            self.add(
                name, pa.DictionaryArray.from_arrays(zeros, pa.array([value], pa.string()), safe=False), rule
            )

    def keep(self, batch: Batch, name: str) -> None:
        """A column of the source batch as it is, with its field."""
        index = batch.schema.get_field_index(name)
        self.arrays.append(batch.column(index))
        self.fields.append(batch.schema.field(index))

    def batch(self) -> Batch:
        pa, _ = arrow()
        return pa.RecordBatch.from_arrays(self.arrays, schema=pa.schema(self.fields))


class Notes:
    """Per-row notes (what a value is, why it is null), joined with "; " into one text column. Notes are few:
    each is built only on the rows it concerns, from the distinct values there, and they are joined only
    on the rows that have more than one."""

    def __init__(self, length: int) -> None:
        self.length = length
        self.parts: list[tuple[Any, Any]] = []  # (mask, the note of each row of the mask)

    def where(self, mask: Any, text: str) -> None:
        self.values(mask, text, None)

    def values(self, mask: Any, prefix: str, values: Any, suffix: str = "") -> None:
        """prefix + value + suffix (or prefix alone when `values` is None) on the rows of `mask`."""
        self.by_value(mask, values, lambda value: f"{prefix}{'' if values is None else value}{suffix}")

    def by_value(self, mask: Any, values: Any, describe: Callable[[Any], str]) -> None:
        """describe(value) on the rows of `mask`, computed once per distinct value there."""
        pa, pc = arrow()
        mask = pc.fill_null(mask, False)
        if not pc.any(mask).as_py():
            return
        if values is None:
            chosen = pa.repeat(pa.scalar(describe(None)), pc.sum(mask).as_py())
        else:
            picked = pc.filter(values, mask)
            if pa.types.is_dictionary(picked.type):
                picked = picked.dictionary_decode()
            distinct = pc.unique(picked)
            texts = pa.array([describe(v) for v in distinct.to_pylist()], pa.string())
            chosen = pc.take(texts, pc.index_in(picked, value_set=distinct))
        self.parts.append((mask, chosen))

    @property
    def text(self) -> Any:
        pa, pc = arrow()
        empty = pa.nulls(self.length, pa.string())
        if len(self.parts) <= 1:
            return pc.replace_with_mask(empty, *self.parts[0]) if self.parts else empty
        anywhere = self.parts[0][0]
        for mask, _ in self.parts[1:]:
            anywhere = pc.or_(anywhere, mask)
        noted = pc.sum(anywhere).as_py()
        joined = None
        for mask, chosen in self.parts:
            note = pc.replace_with_mask(pa.nulls(noted, pa.string()), pc.filter(mask, anywhere), chosen)
            if joined is None:
                joined = note
                continue
            both = pc.binary_join_element_wise(joined, note, "; ")
            joined = pc.if_else(pc.is_null(joined), note, pc.if_else(pc.is_null(note), joined, both))
        return pc.replace_with_mask(empty, anywhere, joined)


def filetimes(array: Any, name: str, notes: Notes) -> Any:
    """An integer column of FILETIMEs as instants (timestamp[us, UTC]): 0 is null (not set); a negative
    value or one past 9999 is null too, and noted with its integer."""
    pa, pc = arrow()
    ticks = pc.cast(array, pa.int64())
    bad = pc.or_(pc.less(ticks, 0), pc.greater(ticks, FILETIME_MAX))
    notes.values(bad, f"{name}: FILETIME ", ticks, " is no instant")
    micros = pc.subtract(pc.divide(ticks, 10), FILETIME_EPOCH_US)
    micros = pc.if_else(pc.or_(pc.equal(ticks, 0), bad), pa.scalar(None, pa.int64()), micros)
    return pc.cast(micros, pa.timestamp("us", tz="UTC"))


def text_type() -> Any:
    """Text that repeats (names looked up, constants): dictionary-encoded, so no string is copied per row."""
    pa, _ = arrow()
    return pa.dictionary(pa.int32(), pa.string())


class Lookup:
    """A small table to look keys up in (an id map, the roles, the distinct addresses of a batch): its keys
    and value columns, text ones prepared once as a dictionary of their distinct values (no null among them,
    as pandas requires) and the position of each entry's value in it."""

    def __init__(self, keys: Any, **values: Any) -> None:
        pa, _ = arrow()
        self.keys = keys
        self._cast: dict[Any, Any] = {keys.type: keys}
        self.values: dict[str, tuple[Any, Any]] = {}
        for name, column in values.items():
            if not pa.types.is_string(column.type):
                self.values[name] = (column, None)
                continue
            items = column.to_pylist()
            distinct = list(dict.fromkeys(v for v in items if v is not None))
            index = {v: i for i, v in enumerate(distinct)}
            remap = pa.array([None if v is None else index[v] for v in items], pa.int32())
            self.values[name] = (remap, pa.array(distinct, pa.string()))

    def __len__(self) -> int:
        return len(self.keys)

    def _keys_as(self, kind: Any) -> Any:
        """The keys in the type of the keys looked up (cast once per type, when they fit it)."""
        _, pc = arrow()
        if kind not in self._cast:
            try:
                self._cast[kind] = pc.cast(self.keys, kind)
            except (ValueError, TypeError, NotImplementedError):  # ArrowInvalid is a ValueError
                self._cast[kind] = None
        cast = self._cast[kind]
        if cast is None:
            raise TypeError(f"keys of type {kind} cannot be looked up among keys of type {self.keys.type}")
        return cast

    def __call__(self, keys: Any, *names: str) -> tuple[list[Any], Any]:
        """([the values `names` at each of `keys`], mask of the keys not found)."""
        pa, pc = arrow()
        positions = pc.index_in(keys, value_set=self._keys_as(keys.type))
        out = []
        for name in names:
            column, dictionary = self.values[name]
            taken = pc.take(column, positions)
            out.append(
                taken if dictionary is None else pa.DictionaryArray.from_arrays(taken, dictionary, safe=False)
            )
        return out, pc.and_(pc.is_valid(keys), pc.is_null(positions))
