"""C++ users: the installed device library works through find_package.

The library is installed into a temporary prefix (without the Python module), then the
project in tests/packaging/consumer, which knows nothing of this source tree, is configured with that
prefix, built and run. And a plain `cmake -S . -B build` configures the library whether or not
pybind11 can be found.
"""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest
from buildtools import tool

ROOT = Path(__file__).resolve().parents[2]
CONSUMER = Path(__file__).resolve().parent / "consumer"


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


def configure_plainly(build: Path, python: str) -> subprocess.CompletedProcess[str]:
    """`cmake -S . -B build` as on a machine where pybind11's CMake files are on no search path:
    neither this environment's bin folder on PATH nor any prefix given."""
    env = {k: v for k, v in os.environ.items() if k not in ("CMAKE_PREFIX_PATH", "pybind11_DIR")}
    venv_bin = str(Path(sys.prefix) / "bin")
    env["PATH"] = os.pathsep.join(p for p in env.get("PATH", "").split(os.pathsep) if p != venv_bin)
    generator = ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={tool('ninja')}"]
    args = [tool("cmake"), "-S", str(ROOT), "-B", str(build), *generator, f"-DPython_EXECUTABLE={python}"]
    return subprocess.run(args, capture_output=True, text=True, timeout=300, env=env)


def test_plain_configure_finds_pybind11_through_the_python_it_found(tmp_path: Path) -> None:
    result = configure_plainly(tmp_path / "build", sys.executable)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "not built" not in result.stderr
    modules = tmp_path / "build" / "Bindings" / "CMakeFiles"
    assert (modules / "TamroHardwareAPI.dir").is_dir() and (modules / "tamro_native.dir").is_dir()


def test_plain_configure_without_pybind11_leaves_the_modules_out_and_keeps_the_library(
    tmp_path: Path,
) -> None:
    # A Python with headers but without pybind11: a fresh environment without pip.
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(tmp_path / "bare")], check=True)
    python = str(tmp_path / "bare" / "bin" / "python")
    result = configure_plainly(tmp_path / "build", python)
    assert result.returncode == 0, result.stdout + result.stderr
    message = " ".join(result.stderr.split())  # CMake wraps its warnings
    assert message.count("the Python modules TamroHardwareAPI and tamro._native are not built") == 1
    assert not (tmp_path / "build" / "Bindings").exists()
    assert (tmp_path / "build" / "Library" / "CMakeFiles" / "TamroHardwareAPILibrary.dir").is_dir()
