"""A private /dev for end-to-end tests: inside `unshare --mount`, the real /dev is hidden under
an empty tmpfs, so the tests decide which serial nodes exist."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

TESTS = str(Path(__file__).resolve().parent)


def namespace_unavailable() -> str | None:
    """Why a private mount namespace cannot be made here, or None."""
    if os.geteuid() != 0:
        return "mounting a private /dev needs root"
    if not shutil.which("unshare") or not shutil.which("mount"):
        return "unshare or mount is not installed"
    probe = subprocess.run(
        ["unshare", "--mount", "--propagation", "private", "true"], capture_output=True, text=True
    )
    if probe.returncode != 0:
        return f"cannot make a private mount namespace: {probe.stderr.strip()}"
    return None


def run(*command: str) -> None:
    subprocess.run(command, check=True, capture_output=True)


def hide_dev(work: str) -> str:
    """Mounts an empty tmpfs on /dev (call it inside the namespace). The pseudo-terminals stay
    reachable in the folder returned, work/pts."""
    pts = os.path.join(work, "pts")
    os.mkdir(pts)
    run("mount", "--bind", "/dev/pts", pts)
    run("mount", "-t", "tmpfs", "tamro-test-dev", "/dev")
    return pts


def run_child(script: str, work: Path) -> subprocess.CompletedProcess[str]:
    """Runs a Python script in a private mount namespace as `python child.py WORK TESTS`
    (TESTS: this folder, for its imports). Skips the test where no namespace can be made."""
    reason = namespace_unavailable()
    if reason:
        pytest.skip(reason)
    child = work / "child.py"
    child.write_text(script)
    return subprocess.run(
        ["unshare", "--mount", "--propagation", "private", sys.executable, str(child), str(work), TESTS],
        capture_output=True,
        text=True,
        timeout=120,
    )
