"""`make demo` end to end: examples/demo.py against the simulator, for a second or two."""

from __future__ import annotations

import glob
import math
import re
import subprocess
import sys
from pathlib import Path

import pytest

DEMO = Path(__file__).resolve().parent.parent / "examples" / "demo.py"

ARM_SUMMARY = re.compile(
    r"arm +(\S+): (\d+) exchanges in [\d.]+ s, (\d+)/s, latency p50 (\d+) us, p99 (\d+) us\n"
    r" +end effector at \(([-+\d.]+), ([-+\d.]+), ([-+\d.]+)\) m"
)
HANDLE_SUMMARY = re.compile(
    r"handle +(\S+): (\d+) status messages in [\d.]+ s, (\d+)/s, latency p50 (\d+) us, p99 (\d+) us, "
    r"user data echoed (\d+)/(\d+)\n +q \(([-+\d.]+), ([-+\d.]+), ([-+\d.]+), ([-+\d.]+)\) level +(\d+)"
)


def run_demo(*args: str, prelude: str = "", timeout: float = 60) -> subprocess.CompletedProcess:
    # The prelude runs in the demo's interpreter first, to hide a module from it.
    code = (
        f"{prelude}\nimport runpy, sys\nsys.argv = {[str(DEMO), *args]!r}\n"
        f"runpy.run_path({str(DEMO)!r}, run_name='__main__')"
    )
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout)


def check_arm(out: str, path: str | None = None) -> None:
    match = ARM_SUMMARY.search(out)
    assert match, out
    arm_path, count, rate, p50, p99, x, y, z = match.groups()
    assert path is None or arm_path == path
    assert int(count) > 0 and int(rate) > 0 and 0 < int(p50) <= int(p99)
    # Led round the 4 cm circle, resting on the wall 2 cm down.
    assert 0.025 <= math.hypot(float(x), float(y)) <= 0.055, out
    assert -0.03 <= float(z) <= -0.015, out


def check_handle(out: str) -> None:
    match = HANDLE_SUMMARY.search(out)
    assert match, out
    _, count, rate, p50, p99, echoed, total = match.groups()[:7]
    assert int(count) > 0 and int(rate) > 0 and 0 < int(p50) <= int(p99)
    assert echoed == total == count
    quaternion = [float(q) for q in match.groups()[7:11]]
    assert math.isclose(math.hypot(*quaternion), 1.0, abs_tol=0.02)


def test_simulated_session(tmp_path):
    plot = tmp_path / "session.png"
    result = run_demo("--simulate", "--seconds", "1.5", "--plot", str(plot))
    assert result.returncode == 0, result.stdout + result.stderr
    out = result.stdout
    assert re.search(
        r"arm +/dev/pts/\d+: device id 1, model 4, hardware 1, firmware 3, "
        r"uuid 54616d72-6f53-696d-0000-000000000001",
        out,
    )
    assert re.search(r"handle +/dev/pts/\d+: device id 2, model 2, hardware 1, firmware 3", out)
    assert re.search(r"Summary \(\d+\.\d s\)", out)
    check_arm(out)
    check_handle(out)
    if "matplotlib is not installed" in out:
        assert not plot.exists()
    else:
        assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_plot_without_matplotlib_says_so(tmp_path):
    plot = tmp_path / "session.png"
    result = run_demo(
        "--simulate",
        "--seconds",
        "0.5",
        "--mode",
        "spring",
        "--plot",
        str(plot),
        prelude="import sys; sys.modules['matplotlib'] = None",
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert f"Not plotting to {plot}: matplotlib is not installed" in result.stdout
    assert not plot.exists()


@pytest.mark.skipif(
    any(glob.glob(f"/dev/{p}*") for p in ("ttyACM", "ttyUSB", "rfcomm")),
    reason="serial nodes are attached here: the demo would drive them",
)
def test_without_devices_it_says_so_and_simulates():
    result = run_demo("--seconds", "1")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Found 0 arm(s) and 0 handle(s)." in result.stdout
    assert "No arm or handle is attached: using the simulator instead." in result.stdout
    check_arm(result.stdout)
    check_handle(result.stdout)


def test_given_port_drives_only_that_device(simulator):
    result = run_demo("--arm", simulator.arms[0], "--seconds", "1.5")
    assert result.returncode == 0, result.stdout + result.stderr
    check_arm(result.stdout, simulator.arms[0])
    assert "handle" not in result.stdout.lower() and "simulator" not in result.stdout.lower()


def test_port_that_does_not_answer(fake_device):
    result = run_demo("--arm", fake_device.path, "--seconds", "1")  # one read time-out
    assert result.returncode == 1
    assert f"arm     {fake_device.path}: no answer to the wake-up; not driving it" in result.stdout
    assert "Nothing to drive." in result.stdout
