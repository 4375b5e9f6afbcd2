"""The examples and the README's quick starts, run as a user runs them, against the simulator
and against ports where nothing answers."""

from __future__ import annotations

import math
import os
import re
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import TamroHardwareAPI as api
from tamro import Simulator

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"


def run(script: Path, *args: str, timeout: float = 60) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, str(script), *args], capture_output=True, text=True, timeout=timeout
    )


def numbers(line: str) -> list[float]:
    return [float(v) for v in re.findall(r"[-+]\d+\.\d+", line)]


def test_arm_force_loop_holds_the_point(simulator: Simulator) -> None:
    result = run(EXAMPLES / "arm_force_loop.py", simulator.arms[0], "--seconds", "1.5")
    assert result.returncode == 0, result.stdout + result.stderr
    assert f"arm 1 on {simulator.arms[0]}: model 4, hardware 1, firmware 3, uuid 54616d72-" in result.stdout
    exchanges = int(re.search(r"(\d+) exchanges in", result.stdout)[1])  # type: ignore[index]
    assert exchanges > 100
    hold = numbers(re.search(r"hold point .*", result.stdout)[0])  # type: ignore[index]
    final = numbers(re.search(r"final position .*", result.stdout)[0])  # type: ignore[index]
    # The simulated arm starts at rest at the origin and is pulled 1 cm along x.
    assert hold == pytest.approx([0.01, 0.0, 0.0], abs=1e-4)
    assert math.dist(hold, final) < 0.002, result.stdout


def test_position_control_follows_the_circle(simulator: Simulator) -> None:
    result = run(EXAMPLES / "position_control.py", simulator.arms[0], "--points", "4", "--dwell", "0.3")
    assert result.returncode == 0, result.stdout + result.stderr
    rows = [numbers(line) for line in result.stdout.splitlines() if re.match(r"\s+\d+\s", line)]
    assert len(rows) == 4
    for row in rows:
        commanded, reported = row[:3], row[3:]
        assert math.dist(commanded, reported) < 0.003, result.stdout
    assert re.search(r"^joints +\S+ \S+ \S+$", result.stdout, re.M)


def test_handle_callbacks_print_messages(simulator: Simulator) -> None:
    result = run(EXAMPLES / "handle_callbacks.py", simulator.handles[0], "--count", "5", "--user-byte", "171")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "info: handle 2, model 2, hardware 1, firmware 3" in result.stdout
    statuses = re.findall(
        r"^status: handle 2, quaternion (.*), hall level \d+, error flag 0, user data (\w+)$",
        result.stdout,
        re.M,
    )
    assert len(statuses) == 5 and "5 status messages" in result.stdout
    for quaternion, user_data in statuses:
        assert math.hypot(*numbers(quaternion)) == pytest.approx(1.0, abs=0.01)
        assert user_data == "ab"  # the simulator echoes the byte of the state message


def test_detect_devices_judges_named_ports(simulator: Simulator, fake_device) -> None:
    result = run(EXAMPLES / "detect_devices.py", simulator.arms[0], simulator.handles[0], fake_device.path)
    lines = result.stdout.splitlines()
    assert re.fullmatch(
        rf"{simulator.arms[0]}: arm 1, uuid 54616d72-6f53-696d-0000-000000000001 \(\S+ s\)", lines[0]
    )
    assert re.fullmatch(rf"{simulator.handles[0]}: handle \(\S+ s\)", lines[1])
    assert re.fullmatch(rf"{fake_device.path}: nothing recognised \(\S+ s\)", lines[2])
    assert result.returncode == 0


@pytest.mark.parametrize(
    "script, message",
    [
        ("arm_force_loop.py", "no arm answered the wake-up"),
        ("position_control.py", "no arm answered the wake-up"),
        ("handle_callbacks.py", "no handle answered the wake-up"),
        ("detect_devices.py", "nothing recognised"),
    ],
)
def test_examples_on_a_silent_port(fake_device, script: str, message: str) -> None:
    result = run(EXAMPLES / script, fake_device.path)
    assert result.returncode == 1
    assert message in result.stdout + result.stderr


def test_arm_force_loop_notices_a_lost_arm() -> None:
    with Simulator(arms=1, handles=0) as sim:
        loop = subprocess.Popen(
            [sys.executable, "-u", str(EXAMPLES / "arm_force_loop.py"), sim.arms[0], "--seconds", "30"],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        try:
            assert loop.stdout is not None
            ready, _, _ = select.select([loop.stdout], [], [], 30)
            assert ready and loop.stdout.readline().startswith("arm 1 on ")
            sim.stop()  # the arm goes away in the middle of the loop
            started = time.monotonic()
            _, err = loop.communicate(timeout=30)
        finally:
            loop.kill()
    assert loop.returncode == 1
    assert "the arm stopped answering" in err
    assert time.monotonic() - started < 10  # well before the 30-second loop would end


def quick_start(title: str) -> str:
    readme = (ROOT / "README.md").read_text()
    match = re.search(rf"^## {re.escape(title)}\n.*?```python\n(.*?)```", readme, re.M | re.S)
    assert match, f"README has no section '{title}' with a python block"
    return match[1]


def attached_devices() -> list[str]:
    return api.detect_velkin3s() + api.detect_handles()


def test_readme_servo_loop_quick_start(simulator: Simulator, tmp_path: Path) -> None:
    script = tmp_path / "servo.py"
    script.write_text(quick_start("Quick start: the servo loop"))
    for args in ((simulator.arms[0],), ()):  # a port named, and none: the script's own simulator
        if not args and attached_devices():
            continue
        result = run(script, *args)
        assert result.returncode == 0, result.stdout + result.stderr
        lines = result.stdout.splitlines()
        if not args:
            assert lines.pop(0).endswith("using the simulator (tamro-simulator) instead.")
        assert lines[0] == "arm 1 uuid 54616d72-6f53-696d-0000-000000000001"
        positions = [numbers(line) for line in lines[1:11]]
        assert len(positions) == 10 and all(len(p) == 3 for p in positions), result.stdout
        x, y, z = positions[-1]
        # Pulled out toward x = 30 mm and into the wall at z = -20 mm, where the wall holds it.
        assert 27 < x < 33 and abs(y) < 1 and -22 < z < -19.9, result.stdout
        assert re.fullmatch(r"[\d.]+ Hz, period p99 \d+ us, \d+ late", lines[11]), result.stdout


def test_readme_quick_starts_on_the_simulator(simulator: Simulator, tmp_path: Path) -> None:
    arm_script = tmp_path / "arm.py"
    arm_script.write_text(quick_start("Quick start: an arm"))
    arm = run(arm_script, simulator.arms[0])
    assert arm.returncode == 0, arm.stdout + arm.stderr
    lines = arm.stdout.splitlines()
    assert lines[0] == "arm 1 uuid 54616d72-6f53-696d-0000-000000000001"
    pattern = re.compile(r"t \d\.\d s: height +([-+.\d]+) mm, speed [-+.\d]+ m/s")
    heights = [float(match[1]) for match in map(pattern.fullmatch, lines[1:]) if match]
    # The arm starts at the origin, falls and comes to rest on the floor 20 mm below, just in.
    assert len(heights) == len(lines) - 1 >= 5 and heights[0] == 0.0, arm.stdout
    assert -21.5 < heights[-1] < -20.0, arm.stdout

    handle_script = tmp_path / "handle.py"
    handle_script.write_text(quick_start("Quick start: a handle"))
    handle = run(handle_script, simulator.handles[0])
    assert handle.returncode == 0, handle.stdout + handle.stderr
    lines = handle.stdout.splitlines()
    assert lines[0] == "handle 2 model 2 firmware 3"
    assert len(lines) == 21 and all(line.startswith("quaternion [") for line in lines[1:])


@pytest.mark.parametrize(
    "source, found",
    [
        ("Quick start: an arm", "No arm found"),
        ("Quick start: a handle", "No handle found"),
        ("detect_devices.py", "No device found in /dev"),
    ],
)
def test_without_a_device_the_scripts_say_how_to_use_the_simulator(
    tmp_path: Path, source: str, found: str
) -> None:
    if attached_devices():
        pytest.skip("a device is attached to this machine")
    script = tmp_path / "script.py"
    script.write_text((EXAMPLES / source).read_text() if source.endswith(".py") else quick_start(source))
    result = run(script)
    assert result.returncode == 1
    said = result.stdout + result.stderr
    assert found in said and "tamro-simulator" in said and f"python {script} /dev/pts/" in said
    assert "Traceback" not in said


class Output:
    """The lines a running example prints, each waited for with a deadline."""

    def __init__(self, process: subprocess.Popen[str]) -> None:
        assert process.stdout is not None
        self.fd = process.stdout.fileno()
        self.pending = b""
        self.lines: list[str] = []

    def wait_for(self, pattern: str, timeout: float = 30) -> re.Match[str]:
        deadline = time.monotonic() + timeout
        while True:
            while b"\n" in self.pending:
                raw, self.pending = self.pending.split(b"\n", 1)
                self.lines.append(raw.decode())
                match = re.search(pattern, self.lines[-1])
                if match:
                    return match
            ready, _, _ = select.select([self.fd], [], [], max(deadline - time.monotonic(), 0))
            chunk = os.read(self.fd, 4096) if ready else b""
            if not chunk:
                pytest.fail(f"no line matching {pattern!r} in time; printed: {self.lines}")
            self.pending += chunk

    def rest(self, process: subprocess.Popen[str]) -> tuple[str, str]:
        """What the example prints until it ends: the remaining output and its errors."""
        out, err = process.communicate(timeout=30)
        return self.pending.decode() + out, err


def test_reconnect_carries_on_when_the_simulator_comes_back(tmp_path: Path) -> None:
    link = tmp_path / "links" / "ttyACM0"
    progress = r"^(\d+) exchanges in the last second, end effector at \(([-+.\d]+), "
    example = subprocess.Popen(
        [sys.executable, "-u", str(EXAMPLES / "reconnect.py"), str(link), "--seconds", "120"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        out = Output(example)
        out.wait_for("does not exist yet: waiting for it")  # started before any simulator
        with Simulator(arms=1, handles=0, link_dir=link.parent):
            out.wait_for(rf"^connected to arm 1, uuid 54616d72-\S+ on {link}$")
            out.wait_for(progress)
        out.wait_for("the arm stopped answering; waiting for it to come back")
        with Simulator(arms=1, handles=0, link_dir=link.parent, device_id=7):
            out.wait_for(rf"^reconnected to arm 7, uuid \S+ on {link}$")
            # The new simulator's arm starts at the origin and is pulled back to the same point.
            out.wait_for(progress)
            match = out.wait_for(progress)
            assert int(match[1]) > 100 and float(match[2]) == pytest.approx(0.01, abs=0.002)
            example.send_signal(signal.SIGINT)
            rest, err = out.rest(example)
    finally:
        example.kill()
    assert example.returncode == 0, err
    assert rest.splitlines()[-1] == f"2 connection(s) to {link}"


# --- the tamro package's examples ----------------------------------------------------------------


def test_servo_wall_rests_against_the_wall(simulator: Simulator) -> None:
    result = run(EXAMPLES / "servo_wall.py", simulator.arms[0], "--seconds", "2")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "arm 1, model 4, uuid 54616d72-6f53-696d-0000-000000000001" in result.stdout
    figures = re.search(r"(\d+) cycles at ([\d.]+) Hz;.* (\d+) failed", result.stdout)
    assert figures and int(figures.group(1)) > 1000 and figures.group(3) == "0", result.stdout
    depth, expected = map(
        float, re.search(r"resting ([\d.]+) mm into the wall \(about ([\d.]+)", result.stdout).groups()
    )
    assert depth == pytest.approx(expected, abs=0.3), result.stdout


def test_handle_steers_arm_keeps_the_arm_near_the_anchor() -> None:
    with Simulator(arms=1, handles=1) as sim:
        result = run(EXAMPLES / "handle_steers_arm.py", sim.arms[0], sim.handles[0], "--seconds", "2")
    assert result.returncode == 0, result.stdout + result.stderr
    assert re.search(r"handle status +\d+: anchor \(", result.stdout)
    median = float(re.search(r"within ([\d.]+) mm of the anchor", result.stdout).group(1))
    assert median < 5.0, result.stdout


def test_record_and_plot_saves_every_cycle(simulator: Simulator, tmp_path: Path) -> None:
    out, plot = tmp_path / "loop.npz", tmp_path / "loop.png"
    result = run(
        EXAMPLES / "record_and_plot.py",
        simulator.arms[0],
        "--seconds",
        "2",
        "--out",
        str(out),
        "--plot",
        str(plot),
    )
    assert result.returncode == 0, result.stdout + result.stderr
    import numpy as np

    records = np.load(out)["records"]
    assert len(records) > 1000 and np.all(np.diff(records["cycle"]) > 0)
    assert records["position"][:, 0].max() > 0.015, "the step moved the arm toward the 2 cm anchor"
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("script", ["servo_wall.py", "record_and_plot.py"])
def test_tamro_examples_without_a_device_run_on_the_simulator(script: str, tmp_path: Path) -> None:
    if any(any(Path("/dev").glob(p)) for p in ("ttyACM*", "ttyUSB*", "rfcomm*")):
        pytest.skip("serial nodes are attached here")
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / script), "--seconds", "1"],
        capture_output=True,
        text=True,
        timeout=60,
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "using the simulator (tamro-simulator) instead" in result.stdout


def test_a_tamro_example_on_a_silent_port(fake_device) -> None:
    result = run(EXAMPLES / "servo_wall.py", fake_device.path, "--seconds", "1")
    assert result.returncode == 1
    assert result.stdout.strip() == f"{fake_device.path}: no arm answered the wake-up within 1 s"
