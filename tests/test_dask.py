"""pagewright.dask.read_table on a real (local, multi-process) Dask cluster over many builder-made files."""

from __future__ import annotations

import warnings

import pytest
from builder import Column, DatabaseBuilder, damage

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
pytest.importorskip("pyarrow")

import pagewright.dask  # noqa: E402

COLUMNS = [Column(1, "Id", 4), Column(2, "When", 8), Column(128, "Host", 10)]


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as c:
        with distributed.Client(c) as client:
            yield client


@pytest.fixture(scope="module")
def evidence(tmp_path_factory):
    """20 files: every fifth lacks the table, the eighth's leaf chain points past the end of the file."""
    folder = tmp_path_factory.mktemp("fleet")
    paths, broken = [], set()
    for n in range(20):
        db = DatabaseBuilder(page_size=4096)
        name = "other" if n % 5 == 4 else "t"
        t = db.add_table(name, COLUMNS, rows_per_page=5)
        t.add_rows({"Id": k, "When": 43900.0 + k, "Host": f"host{n}"} for k in range(3 * n + 1))
        image = db.build()
        if n == 7:
            image = damage.set_next_page(image, 4096, db.layout.tables["t"].leaf_pages[0], 99_999)
            broken.add(str(folder / f"{n}.edb"))
        (folder / f"{n}.edb").write_bytes(image)
        paths.append(str(folder / f"{n}.edb"))
    return paths, broken


def alone(path: str) -> list[tuple]:
    with pagewright.EseDatabase(path) as db:
        return [(r["Id"], r["When"], r["Host"], path) for r in db.table("t").rows()]


def test_one_partition_per_file_equals_each_file_read_alone(client, evidence):
    paths, broken = evidence
    with pytest.warns(pagewright.dask.SkippedFilesWarning) as caught:
        frame = pagewright.dask.read_table(paths, "t", on_error="skip")
    skipped = {path for path, _ in caught[0].message.skipped}
    assert skipped == {p for n, p in enumerate(paths) if n % 5 == 4}
    assert frame.npartitions == 16
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        got = sorted(map(tuple, frame.compute()[["Id", "When", "Host", "source"]].itertuples(index=False)))
    expected = sorted(row for p in paths if p not in skipped and p not in broken for row in alone(p))
    assert [(i, w.to_pydatetime(), h, s) for i, w, h, s in got] == expected


def test_errors_raise_by_default(client, evidence):
    paths, broken = evidence
    with pytest.raises(ValueError, match="Table not found"):
        pagewright.dask.read_table(paths[4:6], "t")
    with pytest.raises(OSError, match="Error reading record"):
        pagewright.dask.read_table(sorted(broken), "t").compute()


def test_union_of_columns_types_and_names(client, tmp_path):
    """Columns of later files are kept (null elsewhere), an int32/int64 column widens, a column of another
    kind refuses its file, the path column never hides a real `source`, deleted rows are marked, shared
    names stay apart."""
    specs = [
        [Column(1, "Id", 4), Column(3, "A", 4), Column(4, "A", 4), Column(128, "source", 10)],
        [Column(1, "Id", 15), Column(128, "Extra", 10)],
        [Column(1, "Id", 4), Column(2, "source", 4)],
    ]
    rows = [{"Id": 1, 3: 5, 4: 6, "source": "evtx"}, {"Id": 2**40, "Extra": "x"}, {"Id": 3, "source": 7}]
    paths = []
    for n, (columns, row) in enumerate(zip(specs, rows, strict=True)):
        db = DatabaseBuilder(page_size=4096)
        db.add_table("t", columns).add_rows([row, {"Id": 9}])
        image = db.build()
        leaf = db.layout.tables["t"].leaf_pages[0]
        flags = damage.read_tag(image, 4096, leaf, 2)[2] | 2
        image = damage.set_entry_flags(image, 4096, leaf, 2, flags, large=False)
        (tmp_path / f"{n}.edb").write_bytes(image)
        paths.append(str(tmp_path / f"{n}.edb"))
    with pytest.warns(pagewright.dask.SkippedFilesWarning) as caught:
        frame = pagewright.dask.read_table(paths, "t", deleted="include", on_error="skip")
    assert caught[0].message.skipped[0][0] == paths[2] and "'source'" in caught[0].message.skipped[0][1]
    assert list(frame.columns) == ["Id", "A#3", "A", "source", "Extra", "_deleted", "_source"]
    computed = frame.compute()
    got = computed.astype(object).where(computed.notna(), None).values.tolist()
    deleted = [9, None, None, None, None, True]
    assert got == [[1, 5, 6, "evtx", None, False, paths[0]], [*deleted, paths[0]],
                   [2**40, None, None, None, "x", False, paths[1]], [*deleted, paths[1]]]  # fmt: skip
    assert str(frame.dtypes["Id"]) == "int64[pyarrow]"
    with pytest.raises(ValueError, match="column 'source' is int32 here, string in the files before"):
        pagewright.dask.read_table([paths[0], paths[2]], "t")
