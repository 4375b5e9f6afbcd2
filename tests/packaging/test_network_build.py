"""Building without Cyclone DDS: configuring says so in one line and the rest builds, the native
module among it, which then says it has no network part."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest
from buildtools import tool

ROOT = Path(__file__).resolve().parents[2]
MESSAGE = "Cyclone DDS not found (cyclonedds-dev): the network part is left out"


@pytest.mark.slow
def test_without_cyclone_dds_the_rest_builds(tmp_path: Path) -> None:
    build = tmp_path / "build"
    configure = subprocess.run(
        [tool("cmake"), "-S", str(ROOT), "-B", str(build), "-G", "Ninja"]
        + [f"-DCMAKE_MAKE_PROGRAM={tool('ninja')}", f"-DPython_EXECUTABLE={sys.executable}"]
        + ["-DCMAKE_DISABLE_FIND_PACKAGE_CycloneDDS=ON", "-DTAMRO_BUILD_SIMULATOR=OFF"],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert configure.returncode == 0, configure.stdout + configure.stderr
    assert (configure.stdout + configure.stderr).count(MESSAGE) == 1
    built = subprocess.run(
        [tool("cmake"), "--build", str(build), "--target", "tamro_native"],
        capture_output=True,
        text=True,
        timeout=900,
    )
    assert built.returncode == 0, built.stdout[-3000:] + built.stderr[-3000:]
    assert "Network/Node.cpp" not in built.stdout
    said = subprocess.run(
        [sys.executable, "-c", "import _native; print(_native.HAVE_DDS, hasattr(_native, 'Node'))"],
        cwd=build / "Bindings",
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert said.stdout.split() == ["False", "False"], said.stderr
