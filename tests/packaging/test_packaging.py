"""Packaging: a wheel built the way a user builds it, from a clean virtual environment with
build isolation, carries the module, its type stub, the simulator program and the panel's page, installs,
imports and reports complete metadata. Builds the whole project afresh: a few minutes.
"""

from __future__ import annotations

import re
import subprocess
import sys
import zipfile
from pathlib import Path

import numpy
import pytest

ROOT = Path(__file__).resolve().parents[2]
STUB = ROOT / "Bindings" / "TamroHardwareAPI.pyi"


def run(*args: str | Path, cwd: Path | None = None) -> str:
    result = subprocess.run([str(a) for a in args], cwd=cwd, capture_output=True, text=True, timeout=1800)
    assert result.returncode == 0, f"{args}\n{result.stdout}\n{result.stderr}"
    return result.stdout


@pytest.fixture(scope="module")
def wheel_and_venv(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, Path]:
    work = tmp_path_factory.mktemp("packaging")
    venv = work / "venv"
    # A venv made from this interpreter is based on the base installation, not on .venv.
    run(sys.executable, "-m", "venv", venv)
    python = venv / "bin" / "python"
    run(python, "-m", "pip", "wheel", "-q", "--no-deps", "-w", work / "wheels", ROOT, cwd=work)
    wheels = list((work / "wheels").glob("*.whl"))
    assert len(wheels) == 1, wheels
    run(python, "-m", "pip", "install", "-q", "--no-deps", "--no-index", wheels[0], cwd=work)
    # The package's one required dependency, the version the tests run with; not the panel's
    # extra, whose absence the panel must explain.
    run(python, "-m", "pip", "install", "-q", f"numpy=={numpy.__version__}", cwd=work)
    return wheels[0], venv


@pytest.mark.slow
def test_wheel_carries_module_stub_and_simulator(wheel_and_venv: tuple[Path, Path]) -> None:
    wheel, _ = wheel_and_venv
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        stub = STUB.read_bytes()
        assert archive.read("TamroHardwareAPI.pyi") == stub
        assert archive.read("TamroHardwareAPI-stubs/__init__.pyi") == stub
    built_for = f"cpython-{sys.version_info.major}{sys.version_info.minor}"
    for module in ("TamroHardwareAPI", "tamro/_native"):
        assert any(n.startswith(f"{module}.{built_for}") and n.endswith(".so") for n in names), names
    assert "tamro/_native.pyi" in names, names
    assert any(n.endswith(".data/scripts/tamro-simulator") for n in names), names
    # The panel's page comes with it: the package is all the panel needs (nothing is fetched).
    for page in ("index.html", "panel.js", "panel.css"):
        assert f"tamro/programs/panel/static/{page}" in names, names
    with zipfile.ZipFile(wheel) as archive:
        metadata = next(n for n in archive.namelist() if n.endswith(".dist-info/METADATA"))
        requirements = [line for line in archive.read(metadata).decode().splitlines() if "aiohttp" in line]
        entry_points = archive.read(metadata.replace("METADATA", "entry_points.txt")).decode()
    assert requirements and all('extra == "panel"' in line for line in requirements), requirements
    assert "tamro-panel = tamro.programs.panel:main" in entry_points


@pytest.mark.slow
def test_installed_package_works(wheel_and_venv: tuple[Path, Path], tmp_path: Path) -> None:
    _, venv = wheel_and_venv
    python = venv / "bin" / "python"
    # Run from an empty folder so nothing of the source tree can be imported instead.
    version = run(
        python, "-c", "import TamroHardwareAPI as t; print(t.get_cpp_version(), t.__file__)", cwd=tmp_path
    )
    assert version.split()[0] == "0.1.1" and str(venv) in version
    assert "usage: tamro-simulator" in run(venv / "bin" / "tamro-simulator", "--help")
    assert "usage: tamro-doctor" in run(venv / "bin" / "tamro-doctor", "--help")
    # Installed without its extra the panel still explains itself, and says what it lacks.
    assert "usage: tamro-panel" in run(venv / "bin" / "tamro-panel", "--help")
    without = subprocess.run(
        [venv / "bin" / "tamro-panel", "--simulate", "--no-browser"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert without.returncode == 1 and "TamroHardwareAPI[panel]" in without.stderr, without.stderr

    # mypy, run for that environment, finds the installed stub without help.
    example = tmp_path / "use.py"
    example.write_text(
        "import TamroHardwareAPI as api\n"
        "arm = api.Velkin3(api.SerialStream('/dev/null'))\n"
        "position, velocity = arm.end_effector_force((1.0, 2.0, 3.0))\n"
        "reveal_type(position)\n"
    )
    checked = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-incremental",
            "--python-executable",
            str(python),
            str(example),
        ],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert checked.returncode == 0, checked.stdout + checked.stderr
    assert re.search(r'Revealed type is "(builtins\.)?list\[(builtins\.)?float\]"', checked.stdout), (
        checked.stdout
    )


@pytest.mark.slow
def test_metadata_is_complete(wheel_and_venv: tuple[Path, Path], tmp_path: Path) -> None:
    _, venv = wheel_and_venv
    shown = run(venv / "bin" / "python", "-m", "pip", "show", "--verbose", "TamroHardwareAPI", cwd=tmp_path)
    fields: dict[str, str] = {}
    classifiers: list[str] = []
    in_classifiers = False
    for line in shown.splitlines():
        if in_classifiers and line.startswith("  "):
            classifiers.append(line.strip())
            continue
        key, _, value = line.partition(":")
        in_classifiers = key == "Classifiers"
        fields[key] = value.strip()
    assert fields["Name"] == "TamroHardwareAPI"
    assert fields["Version"] == "0.1.1"
    assert fields["Summary"]
    assert fields["License"]
    assert "Operating System :: POSIX :: Linux" in classifiers
    version = f"{sys.version_info.major}.{sys.version_info.minor}"
    assert f"Programming Language :: Python :: {version}" in classifiers
