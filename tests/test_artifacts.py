"""pagewright.artifacts and `pagewright srum|ual|webcache|bits` on builder-made and real databases."""

from __future__ import annotations

import datetime
import gzip
import json
import shutil
import sys
import warnings

import pytest
from builder import LongValue, damage
from builder import artifacts as A
from conftest import SAMPLES_DIR

pa = pytest.importorskip("pyarrow")
import pyarrow.parquet as pq  # noqa: E402

import pagewright  # noqa: E402
import pagewright_artifacts  # noqa: E402
from pagewright_artifacts import ArtifactError, ArtifactWarning, MissingArrow, bits, srum, ual, webcache  # noqa: E402
from pagewright_cli.main import main  # noqa: E402

UTC = datetime.UTC


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    folder = tmp_path_factory.mktemp("artifacts")
    for name, db in (
        ("SRUDB.dat", A.srum()),
        ("Current.mdb", A.ual()),
        ("SystemIdentity.mdb", A.system_identity()),
        ("WebCacheV01.dat", A.webcache()),
        ("qmgr.db", A.bits()),
    ):
        db.write(folder / name)
    return folder


def rows_by(table, key):
    return {row[key]: row for row in table.to_pylist()}


def test_one_module_object_per_name():
    import pagewright.artifacts.srum as imported

    assert (
        imported
        is pagewright_artifacts.srum
        is pagewright.artifacts.srum
        is sys.modules["pagewright.artifacts.srum"]
    )


@pytest.mark.parametrize(
    ("index", "kind", "name", "well_known", "note"),
    [
        (2, "application", "\\device\\harddiskvolume2\\windows\\system32\\svchost.exe", None, None),
        (3, "service", "Dnscache", None, None),
        (4, "user", A.USER_SID, None, None),
        (5, "user", "S-1-5-18", "Local System", None),
        (6, None, None, None, "IdType 9 is not a known kind: IdBlob kept raw"),
        (7, "user", None, None, "IdBlob 010500 is no binary SID"),
        (
            9,
            None,
            "6cb9f58e-0000-0000-0000-100000000000\t\tSystem Reserved\t0",
            None,
            "IdType 4 is not a known kind: IdBlob read as UTF-16LE text (kind left empty)",
        ),
    ],
)
def test_srum_id_map_decodes_each_kind(made, index, kind, name, well_known, note):
    entry = rows_by(srum.id_map(made / "SRUDB.dat"), "IdIndex")[index]
    assert (entry["kind"], entry["name"], entry["sid_name"], entry["notes"]) == (kind, name, well_known, note)
    assert entry["IdBlob"] == A.ID_MAP[index][1]  # the raw blob is kept


def test_srum_rows_resolve_app_user_and_interface(made):
    table = srum.read_table(made / "SRUDB.dat", "network_usage")
    rows = rows_by(table, "AutoIncId")
    assert len(rows) == 12 and set(table["source"].to_pylist()) == {str(made / "SRUDB.dat")}
    assert (rows[2]["App"], rows[2]["User"], rows[2]["UserName"], rows[2]["InterfaceType"]) == (
        "\\device\\harddiskvolume2\\windows\\system32\\svchost.exe",
        A.USER_SID,
        None,
        "ethernet",
    )
    assert (
        rows[3]["App"],
        rows[3]["AppKind"],
        rows[3]["User"],
        rows[3]["UserName"],
        rows[3]["InterfaceType"],
    ) == ("Dnscache", "service", "S-1-5-18", "Local System", "wireless (IEEE 802.11)")
    assert rows[5]["App"] is None and rows[5]["notes"] == "AppId 999 is not in SruDbIdMapTable"
    assert rows[7]["notes"] == "AppId 6: IdType 9 is not a known kind: IdBlob kept raw"
    assert rows[11]["User"] is None and rows[11]["notes"] == "UserId 7: IdBlob 010500 is no binary SID"
    assert rows[2]["TimeStamp"] == datetime.datetime(2021, 11, 16, 2, tzinfo=UTC)
    assert b"SruDbIdMapTable" in table.schema.field("App").metadata[b"pagewright.decoded"]
    assert table.to_pandas()["App"].iloc[1].startswith("\\device")  # dictionary-encoded text reaches pandas


def test_srum_filetimes_unknown_interfaces_variants_and_unknown_tables(made):
    path = made / "SRUDB.dat"
    connectivity = srum.read_table(path, "{dd6636c4-8929-4683-974e-22c046a43763}").to_pylist()
    assert [r["ConnectStartTime"] for r in connectivity] == [
        datetime.datetime(2021, 11, 19, 12, 53, 20, tzinfo=UTC),
        None,
        None,
    ]  # a FILETIME, 0 (not set), -5
    assert [r["notes"] for r in connectivity] == [None, None, "ConnectStartTime: FILETIME -5 is no instant"]
    assert {r["InterfaceType"] for r in connectivity} == {"ifType 999"}
    assert srum.views(path) == [
        "id_map",
        "network_usage",
        "network_connectivity",
        "energy_usage_lt",
        A.UNKNOWN_TABLE,
    ]
    assert rows_by(srum.tables(path), "table")[A.ENERGY_LT]["name"] == "Energy Usage (long term)"
    unknown = srum.read_table(path, A.UNKNOWN_TABLE).to_pylist()[0]
    assert (unknown["App"], unknown["User"], unknown["Later"]) == ("Dnscache", A.USER_SID, 42)
    with pytest.raises(ValueError, match="no SRUM table 'nope'.*network_usage"):
        srum.read(path, "nope")


def test_srum_real_sample_resolves_names(sample):
    rows = srum.read_table(sample("SRUDB.dat"), "app_resource_usage").to_pylist()
    first = rows[0]
    assert len(rows) == 203 and first["AutoIncId"] == 55 and first["ForegroundCycleTime"] == 68229922
    assert first["AppId"] == 19 and first["App"].startswith("svc.ownproc.") and first["AppKind"] == "package"
    assert (first["UserId"], first["User"], first["UserName"]) == (65, "S-1-5-5-0-195563", "Logon Session")
    assert first["TimeStamp"] == datetime.datetime(2021, 11, 16, 19, 18, tzinfo=UTC)


def test_srum_dirty_sample_is_read_with_its_variant_tables(samples_dir, tmp_path, capsys):
    packed = SAMPLES_DIR / "logs" / "win10-dirty" / "SRUDB.dat.gz"
    if not packed.is_file():
        pytest.skip("the dirty SRUM sample is not available")
    path = tmp_path / "SRUDB.dat"
    with gzip.open(packed) as src, open(path, "wb") as dst:
        shutil.copyfileobj(src, dst)
    assert {"energy_usage_lt", "app_timeline", "vfu", "network_usage"} <= set(srum.views(path))
    usage = srum.read_table(path, "network_usage")
    assert usage.num_rows == 465 and usage["App"].null_count < 465
    assert main(["srum", str(path), "--table", "energy_usage_lt", "--format", "jsonl"]) == 0
    assert "not shut down cleanly" in capsys.readouterr().err


def test_ual_clients_roles_addresses_and_days(made, tmp_path):
    clients = ual.read_table(made / "Current.mdb", "clients").to_pylist()
    assert [(c["row"], c["RoleName"], c["Address"]) for c in clients] == [
        (0, "File Server", "10.0.0.7"),
        (1, "File Server", "2001:db8::1"),
        (2, None, None),
    ]
    assert clients[2]["notes"] == (
        "RoleGuid 00000000-0000-0000-0000-0000000000aa is not in ROLE_IDS; "
        "Address: 5 bytes 0102030405 are no IPv4 or IPv6 address"
    )
    assert not any(key.startswith("Day") for key in clients[0])
    days = [
        (d["row"], d["day"], d["date"], d["accesses"], d["notes"])
        for d in ual.records(made / "Current.mdb", "daily")
    ]
    past = "Day366 is past the end of the row's year: no date"
    assert days == [
        (0, 1, datetime.date(2021, 1, 1), 3, None),
        (0, 366, None, 5, past),
        (1, 1, datetime.date(2020, 1, 1), 3, None),
        (1, 60, datetime.date(2020, 2, 29), 1, None),
        (1, 366, datetime.date(2020, 12, 31), 5, None),
        (2, 1, datetime.date(2021, 1, 1), 3, None),
        (2, 60, datetime.date(2021, 3, 1), 2, None),
        (2, 366, None, 5, past),
    ]
    assert ual.read_table(made / "Current.mdb", "dns").to_pylist()[0]["Address"] == "fe80::1"
    alone = tmp_path / "Current.mdb"  # without SystemIdentity.mdb beside it: roles unnamed, not noted
    shutil.copy(made / "Current.mdb", alone)
    assert [(c["RoleName"], c["notes"]) for c in ual.records(alone, "clients")][0] == (None, None)


def test_webcache_reads_every_container(made):
    with pytest.warns(ArtifactWarning, match="ContainerId 5 \\(Cookies\\) has no table Container_5"):
        entries = webcache.read_table(made / "WebCacheV01.dat").to_pylist()
    assert [(e["table"], e["container"], e["kind"], e["EntryId"]) for e in entries] == [
        ("Container_1", "History", "history", 10),
        ("Container_2", "Content", "cache", 20),
        ("Container_9", None, None, 90),
    ]
    cache = entries[1]
    assert cache["directory"].endswith("\\Content\\") and cache["Url"] == "https://example.com/logo.png"
    assert cache["AccessedTime"] == datetime.datetime(2021, 11, 19, 12, 53, 20, tzinfo=UTC)
    assert (cache["ModifiedTime"], cache["ExpiryTime"]) == (None, None)
    assert cache["notes"] == "ExpiryTime: FILETIME 9223372036854775807 is no instant"
    assert cache["ResponseHeadersText"] == "HTTP/1.1 200 OK\r\nContent-Type: text/html"
    assert entries[2]["notes"].startswith("Container_9 is not named in Containers")


def test_webcache_damaged_container_keeps_the_rest(tmp_path):
    db = A.webcache()
    image = damage.set_next_page(db.build(), 8192, db.layout.tables["Container_1"].leaf_pages[0], 99_999)
    (tmp_path / "w.dat").write_bytes(image)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        tables = webcache.read_table(tmp_path / "w.dat")["table"].to_pylist()
    assert tables == ["Container_1", "Container_2", "Container_9"]
    assert any("Container_1: read stopped after 1 rows" in str(w.message) for w in caught)


def test_bits_real_sample_jobs_and_files(sample):
    job = bits.read_table(sample("qmgr-win10.db"), "jobs").to_pylist()[0]
    assert (job["job_id"], job["name"], job["type"], job["priority"], job["state"]) == (
        "266504ac-d974-446c-96ad-2be13a5665b0",
        "Chrome Component Updater",
        "download",
        "normal",
        "transferred",
    )
    assert job["owner_sid"] == "S-1-5-21-1079689790-2336414676-942872339-1001"
    assert (job["notify_program"], job["notify_parameters"], job["notify_flags"]) == ("", "", 3)
    assert job["created"] == datetime.datetime(2022, 12, 21, 2, 18, 3, 120465, tzinfo=UTC)
    assert (job["minimum_retry_delay"], job["no_progress_timeout"], job["notes"]) == (60, 86400, None)
    assert "1899: C:\\Program Files\\Chromium\\Application\\chrome.exe" in job["tail_strings"]
    item = bits.read_table(sample("qmgr-win10.db"), "files").to_pylist()[0]
    assert item["job_id"] == job["job_id"] and item["job_name"] == "Chrome Component Updater"
    assert item["remote_url"].startswith("http://edgedl.me.gvt1.com/edgedl/release2/chrome_component/")
    assert item["local_path"].endswith("_372_all_ZZ_djv5ss66g7sivnpz6ljtwr2zji.crx3")
    assert (item["bytes_total"], item["bytes_transferred"], item["transfer_complete"]) == (4782, 4782, True)


def test_bits_blob_too_short_is_kept_and_noted(made):
    whole, short = bits.read_table(made / "qmgr.db", "jobs").to_pylist()
    assert (whole["type"], whole["priority"], whole["state"], whole["owner_name"]) == (
        "upload",
        "low",
        "error",
        "Local System",
    )
    assert (whole["notify_program"], whole["notify_parameters"]) == ("C:\\Windows\\Temp\\evil.exe", "--run")
    assert (whole["completed"], whole["file_ids"], whole["notes"]) == (None, [A.FILE_ID], None)
    assert (short["name"], short["description"], short["Blob"]) == ("evil job", None, A.job_blob()[:70])
    assert "ends at byte 70 inside description" in short["notes"]
    item = bits.read_table(made / "qmgr.db", "files").to_pylist()[0]
    assert (item["job_name"], item["bytes_total"], item["notes"]) == (
        "evil job",
        None,
        "bytes_total: unknown (2^64-1)",
    )


def test_a_missing_long_value_is_noted_and_warned(tmp_path):
    db = A.bits(jobs=[])
    db.tables["Jobs"].add_row(Id=A.JOB_ID, Blob=LongValue(A.job_blob(), store=False))  # no long value answers
    db.write(tmp_path / "q.db")
    with pytest.warns(ArtifactWarning, match="table Jobs: missing_long_values \\(read as null\\): Blob 1"):
        assert bits.read_table(tmp_path / "q.db", "jobs").to_pylist()[0]["notes"] == "no Blob"


@pytest.mark.parametrize(
    ("module", "name", "what", "view"),
    [
        (srum, "qmgr.db", "SRUM", "network_usage"),
        (ual, "SRUDB.dat", "User Access Logging", "clients"),
        (webcache, "qmgr.db", "WebCache", "entries"),
        (bits, "WebCacheV01.dat", "BITS", "jobs"),
    ],
)
def test_another_kind_of_database_is_one_clear_error(made, module, name, what, view, capsys):
    with pytest.raises(ArtifactError, match=f"not a {what} database"):
        module.read(made / name, view)
    assert main([module.__name__.rsplit(".", 1)[1], str(made / name)]) == 1
    assert capsys.readouterr().err.count("\n") == 1


def test_without_pyarrow_one_error_names_the_install(made, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    with pytest.raises(MissingArrow, match=r"pip install '\.\[arrow\]'"):
        srum.read(made / "SRUDB.dat", "network_usage")
    assert (
        main(["srum", str(made / "SRUDB.dat")]) == 1 and "pip install '.[arrow]'" in capsys.readouterr().err
    )


@pytest.mark.parametrize("fmt", ["jsonl", "csv", "parquet"])
def test_cli_writes_every_view(made, tmp_path, fmt, capsys):
    assert main(["srum", str(made / "SRUDB.dat"), "--out", str(tmp_path), "--format", fmt]) == 0
    files = sorted(p.name for p in tmp_path.iterdir())
    assert files == sorted(
        f"{pagewright.export_file_name(v)[:-6]}.{fmt}" for v in srum.views(made / "SRUDB.dat")
    )
    usage = tmp_path / f"network_usage.{fmt}"
    if fmt == "parquet":
        table = pq.read_table(usage)
        assert table.num_rows == 12 and b"pagewright.decoded" in table.schema.field("App").metadata
        return
    text = usage.read_bytes().decode()
    if fmt == "jsonl":
        first = json.loads(text.splitlines()[0])
        assert (first["TimeStamp"], first["BytesSent"], first["App"]) == (
            "2021-11-16T01:00:00Z",
            1000,
            "Dnscache",
        )
        return
    assert text.count("\r\n") == 13 and "\n" not in text.replace("\r\n", "")
    assert '\'=HYPERLINK(""http://x"")' in (tmp_path / "id_map.csv").read_text()


def test_cli_fleet_leaves_other_kinds_out(made, tmp_path, capsys):
    for host in ("a", "b"):
        (tmp_path / "in" / host).mkdir(parents=True)
        shutil.copy(made / "SRUDB.dat", tmp_path / "in" / host / "SRUDB.dat")
    shutil.copy(made / "qmgr.db", tmp_path / "in" / "qmgr.db")
    out = tmp_path / "out"
    assert main(["srum", str(tmp_path / "in"), "--recursive", "--jobs", "2", "--out", str(out)]) == 0
    records = json.loads((out / "manifest.json").read_text())["databases"]
    assert [(r["folder"], r["not_artifact"]) for r in records] == [
        ("a_SRUDB.dat", False),
        ("b_SRUDB.dat", False),
        (None, True),
    ]
    assert (out / "b_SRUDB.dat" / "network_usage.jsonl").read_text().count("\n") == 12
    assert "read 2 srum databases (1 other ESE files left out)" in capsys.readouterr().out


def test_cli_table_output_and_damage_warning(made, capsys):
    assert (
        main(["webcache", str(made / "WebCacheV01.dat"), "--table", "entries"]) == 1
    )  # Container_5 is missing
    captured = capsys.readouterr()
    assert "== entries (3 rows)" in captured.out and "Visited: bob@https://example.com/" in captured.out
    assert "has no table Container_5" in captured.err


def test_dask_view_over_many_files(made):
    dask_view = pytest.importorskip("pagewright_artifacts.dask")
    pytest.importorskip("dask.dataframe")
    with pytest.warns(UserWarning, match="qmgr.db"):
        frame = dask_view.read_view(
            [made / "SRUDB.dat", made / "qmgr.db"], "srum", "network_usage", on_error="skip"
        )
    assert frame.npartitions == 1 and len(frame.compute(scheduler="sync")) == 12
