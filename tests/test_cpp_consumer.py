"""C++ users: the installed device library works through find_package.

The library is installed into a temporary prefix (without the Python module), then the
project in tests/consumer, which knows nothing of this source tree, is configured with that
prefix, built and run.
"""

from __future__ import annotations

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
CONSUMER = Path(__file__).resolve().parent / "consumer"


def tool(name: str) -> str:
    # The project's own tools first (make build puts them in .venv), then the system's.
    local = Path(sys.executable).parent / name
    found = str(local) if local.exists() else shutil.which(name)
    if found is None:
        pytest.skip(f"{name} not found")
    return found


def run(*args: str) -> str:
    result = subprocess.run(args, capture_output=True, text=True, timeout=900)
    assert result.returncode == 0, f"{' '.join(args)}\n{result.stdout}\n{result.stderr}"
    return result.stdout


@pytest.mark.slow
def test_consumer_project_builds_against_installed_library(tmp_path: Path) -> None:
    cmake = tool("cmake")
    generator = ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={tool('ninja')}"]
    prefix = tmp_path / "prefix"

    run(
        cmake,
        "-S",
        str(ROOT),
        "-B",
        str(tmp_path / "library"),
        *generator,
        "-DCMAKE_BUILD_TYPE=Release",
        "-DTAMRO_BUILD_PYTHON=OFF",
        "-DTAMRO_BUILD_TESTS=OFF",
        "-DTAMRO_BUILD_SIMULATOR=OFF",
        "-DTAMRO_BUILD_BENCH=OFF",
        f"-DCMAKE_INSTALL_PREFIX={prefix}",
    )
    run(cmake, "--build", str(tmp_path / "library"))
    run(cmake, "--install", str(tmp_path / "library"))

    installed = {p.relative_to(prefix).as_posix() for p in prefix.rglob("*") if p.is_file()}
    assert "include/Tamro/HardwareAPI/HardwareAPI.hpp" in installed
    assert any(p.endswith("cmake/TamroHardwareAPI/TamroHardwareAPIConfig.cmake") for p in installed)
    assert any(p.endswith("libTamroHardwareAPI.a") for p in installed)
    # Private headers of the implementation stay private.
    assert not any(p.endswith("serialib.hpp") for p in installed)

    run(
        cmake,
        "-S",
        str(CONSUMER),
        "-B",
        str(tmp_path / "consumer"),
        *generator,
        f"-DCMAKE_PREFIX_PATH={prefix}",
    )
    run(cmake, "--build", str(tmp_path / "consumer"))
    output = run(str(tmp_path / "consumer" / "app")).splitlines()
    assert output == ["TamroHardwareAPI 0.1.1", "position 0.5 -0.25 1 velocity 0 0 2", "wall 0 0 20"]
