"""Shared fixtures: the project's ESE file builder on sys.path, and the real sample databases."""

from __future__ import annotations

import gzip
import shutil
import sys
from pathlib import Path

import pytest

TESTS_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(TESTS_DIR))

SAMPLES_DIR = TESTS_DIR.parent.parent / "shared" / "samples"
SAMPLE_NAMES = ("basic.edb", "text.edb", "default.edb", "SRUDB.dat", "qmgr-win10.db", "secedit-rev12c.sdb")


@pytest.fixture(scope="session")
def samples_dir(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """The real sample databases, unpacked into a temporary folder (skips when they are absent)."""
    if not all((SAMPLES_DIR / f"{name}.gz").is_file() for name in SAMPLE_NAMES):
        pytest.skip("real sample databases (../shared/samples) are not available")
    out = tmp_path_factory.mktemp("samples")
    for name in SAMPLE_NAMES:
        with gzip.open(SAMPLES_DIR / f"{name}.gz", "rb") as src, open(out / name, "wb") as dst:
            shutil.copyfileobj(src, dst)
    return out


@pytest.fixture(scope="session")
def log_samples(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """The real SRUM folders with their transaction logs (logs/win10-dirty as collected, logs/win10-clean
    after the engine's recovery), unpacked into a temporary folder (skips when they are absent)."""
    source = SAMPLES_DIR / "logs"
    folders = ("win10-dirty", "win10-clean")
    if not all((source / name).is_dir() for name in folders):
        pytest.skip("real sample logs (../shared/samples/logs) are not available")
    out = tmp_path_factory.mktemp("log-samples")
    for name in folders:
        (out / name).mkdir()
        for packed in (source / name).glob("*.gz"):
            with gzip.open(packed, "rb") as src, open(out / name / packed.stem, "wb") as dst:
                shutil.copyfileobj(src, dst)
    return out


@pytest.fixture(scope="session")
def sample(samples_dir: Path):
    """sample("basic.edb") -> path of that unpacked real sample."""

    def get(name: str) -> str:
        return str(samples_dir / name)

    return get


@pytest.fixture
def open_db(tmp_path: Path):
    """open_db(builder_or_bytes) -> EseDatabase over a file holding what the builder (or the bytes) gives."""
    from pagewright import EseDatabase

    counter = iter(range(10**6))

    def opener(source) -> EseDatabase:
        path = tmp_path / f"db{next(counter)}.edb"
        path.write_bytes(source if isinstance(source, (bytes, bytearray)) else source.build())
        return EseDatabase(str(path))

    return opener
