"""Builds the core's own unit tests (pure C++, no Python) and runs them."""

from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="session")
def native_tests(tmp_path_factory: pytest.TempPathFactory) -> Path:
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.skip("cmake is not installed")
    build = tmp_path_factory.mktemp("native-build")
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    subprocess.run(
        [
            cmake,
            "-S",
            str(ROOT),
            "-B",
            str(build),
            *generator,
            "-DPAGEWRIGHT_PYTHON=OFF",
            "-DPAGEWRIGHT_NATIVE_TESTS=ON",
            "-DCMAKE_BUILD_TYPE=Debug",
        ],
        check=True,
        capture_output=True,
    )
    jobs = str(os.cpu_count() or 2)
    done = subprocess.run([cmake, "--build", str(build), "-j", jobs], capture_output=True, text=True)
    assert done.returncode == 0, done.stdout[-4000:] + done.stderr[-4000:]
    return build / "pagewright_core_tests"


def test_core_unit_tests_pass(native_tests: Path) -> None:
    run = subprocess.run([str(native_tests)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout[-6000:]
    assert " 0 failed checks" in run.stdout
