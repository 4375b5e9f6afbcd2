"""`make demo` end to end: examples/demo.py against the simulator, for a second or two."""

from __future__ import annotations

import glob
import math
import re
import subprocess
import sys
from pathlib import Path

import pytest

DEMO = Path(__file__).resolve().parents[2] / "examples" / "demo.py"

NUMBER = r"([-+]?\d+(?:\.\d+)?)"


def run_demo(*args: str, prelude: str = "", timeout: float = 60) -> subprocess.CompletedProcess:
    # The prelude runs in the demo's interpreter first, to hide a module from it.
    code = (
        f"{prelude}\nimport runpy, sys\nsys.argv = {[str(DEMO), *args]!r}\n"
        f"runpy.run_path({str(DEMO)!r}, run_name='__main__')"
    )
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout)


def arm_columns(out: str) -> dict[str, list[str]]:
    """The arm's summary table: row label -> one cell per way of driving it."""
    block = out[out.index("  arm     ") :]
    header, *rows = block.splitlines()[1:7]
    names = re.findall(r"(servo loop|Python loop)", header)
    table = {"names": names}
    for row in rows:
        label, cells = row[:34].strip(), row[34:]
        table[label] = [c.strip() for c in re.findall(r".{26}", cells.ljust(26 * len(names)))]
    return table


def check_servo_arm(out: str, column: int = 0) -> None:
    table = arm_columns(out)
    assert table["names"][column] == "servo loop", out
    rate = float(re.match(NUMBER, table["rate"][column]).group(1))
    assert rate > 0, out
    late, of = map(int, re.match(r"(\d+) of (\d+)", table["late cycles (> 1.5 periods)"][column]).groups())
    assert of > 0 and late <= of
    x, y, z = map(float, re.findall(NUMBER, table["end effector at the end"][column]))
    # Led round the 40 mm circle, pressed onto the wall 20 mm down.
    assert 25 <= math.hypot(x, y) <= 55, out
    assert -25 <= z <= -19, out


def check_handle(out: str) -> None:
    match = re.search(
        r"handle +\S+\n +(\d+) status messages, ([\d.]+)/s, latency p50 (\d+) us, p99 (\d+) us, "
        r"user data echoed (\d+)/(\d+)\n +q \(([-+\d.]+), ([-+\d.]+), ([-+\d.]+), ([-+\d.]+)\) level +(\d+)",
        out,
    )
    assert match, out
    count, rate, p50, p99, echoed, sent = match.groups()[:6]
    assert int(count) > 0 and float(rate) > 0 and 0 < int(p50) <= int(p99)
    assert int(sent) > 0 and int(sent) - 1 <= int(echoed) <= int(sent)  # the last may be in flight
    quaternion = [float(q) for q in match.groups()[6:10]]
    assert math.isclose(math.hypot(*quaternion), 1.0, abs_tol=0.02)


def test_simulated_session(tmp_path):
    plot = tmp_path / "session.png"
    result = run_demo("--simulate", "--seconds", "2", "--plot", str(plot))
    assert result.returncode == 0, result.stdout + result.stderr
    out = result.stdout
    assert re.search(
        r"arm +/dev/pts/\d+: device id 1, model 4, hardware 1, firmware 3, "
        r"uuid 54616d72-6f53-696d-0000-000000000001",
        out,
    )
    assert re.search(r"handle +/dev/pts/\d+: device id 2, model 2, hardware 1, firmware 3", out)
    assert "servo loop at 1000 Hz" in out
    assert re.search(r"Summary \(\d+\.\d s\)", out)
    check_servo_arm(out)
    check_handle(out)
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_busy_thread_and_the_python_loop_side_by_side():
    result = run_demo("--simulate", "--seconds", "3", "--busy", "--python-loop")
    assert result.returncode == 0, result.stdout + result.stderr
    out = result.stdout
    assert "A busy Python thread computes alongside (--busy)." in out
    assert re.search(r"Summary \(\d+\.\d s, with a busy Python thread\)", out)
    table = arm_columns(out)
    assert table["names"] == ["servo loop", "Python loop"]
    check_servo_arm(out, 0)
    python_rate = float(re.match(NUMBER, table["rate"][1]).group(1))
    assert python_rate > 0


def test_plot_without_matplotlib_says_so(tmp_path):
    plot = tmp_path / "session.png"
    result = run_demo(
        "--simulate",
        "--seconds",
        "0.5",
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
    result = run_demo("--seconds", "2")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Found 0 arm(s) and 0 handle(s)." in result.stdout
    assert "No arm or handle is attached: using the simulator instead." in result.stdout
    check_servo_arm(result.stdout)
    check_handle(result.stdout)


def test_given_port_drives_only_that_device(simulator):
    result = run_demo("--arm", simulator.arms[0], "--seconds", "2")
    assert result.returncode == 0, result.stdout + result.stderr
    check_servo_arm(result.stdout)
    assert f"  arm     {simulator.arms[0]}" in result.stdout
    assert "handle" not in result.stdout.lower() and "simulator" not in result.stdout.lower()


def test_port_that_does_not_answer(fake_device):
    result = run_demo("--arm", fake_device.path, "--seconds", "1")  # one wake-up time-out
    assert result.returncode == 1
    assert (
        f"arm     {fake_device.path}: no arm answered the wake-up within 1 s; not driving it" in result.stdout
    )
    assert "Nothing to drive." in result.stdout
