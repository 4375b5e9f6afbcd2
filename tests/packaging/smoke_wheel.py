"""The smoke suite of a built wheel, for every Python version the wheels are made for.

tools/wheels.py runs it inside a fresh virtual environment of the wheel's version, holding the
wheel and what it depends on (plus pytest and mypy), from an empty folder with nothing of the
source tree on the path (python -I). The name keeps it out of the main suite, which tests the
tree's own build.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

import pytest

import tamro
import TamroHardwareAPI as api
from tamro import _native

# Where pip put the wheel's programs and modules: this environment, not the source tree.
SCRIPTS = Path(sysconfig.get_path("scripts"))
PREFIX = Path(sys.prefix)


def wait_until(condition, seconds: float, what: str) -> None:
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, f"{what}: not within {seconds} s"
        time.sleep(0.01)


def test_both_packages_come_from_this_environment() -> None:
    for module in (api, tamro, _native):
        assert module.__file__ is not None and Path(module.__file__).is_relative_to(PREFIX), module
    built_for = f"cpython-{sys.version_info.major}{sys.version_info.minor}"
    assert built_for in Path(api.__file__).name and built_for in Path(_native.__file__).name
    # The low-level module's identity is the same on every version.
    assert api.__version__ == "dev"
    assert api.get_cpp_version() == _native.library_version() == "0.1.1"


# The other supported versions' interpreters (tools/wheels.py names them).
OTHER_PYTHONS = [p for p in os.environ.get("TAMRO_SMOKE_OTHER_PYTHONS", "").split(os.pathsep) if p]

GATE = """
import json, sys
sys.path.insert(0, sys.argv[1])
try:
    import TamroHardwareAPI
except ImportError as error:
    print(json.dumps([str(error), sys.version]))
else:
    print(json.dumps(None))
"""


@pytest.mark.skipif(not OTHER_PYTHONS, reason="no other interpreter named in TAMRO_SMOKE_OTHER_PYTHONS")
def test_the_module_refuses_every_other_version(tmp_path: Path) -> None:
    # Refused by the module's own check, or by the loader before it (a symbol that version lacks).
    shutil.copy(api.__file__, tmp_path / "TamroHardwareAPI.so")
    built_for = f"{sys.version_info.major}.{sys.version_info.minor}"
    for python in OTHER_PYTHONS:
        result = subprocess.run(
            [python, "-I", "-c", GATE, str(tmp_path)], capture_output=True, text=True, timeout=60
        )
        assert result.returncode == 0, result.stderr
        outcome = json.loads(result.stdout)
        assert outcome is not None, f"{python} imported the module built for {built_for}"
        message, version = outcome
        if message.startswith("Python version mismatch"):
            assert message == (
                f"Python version mismatch: module was compiled for Python {built_for}, but "
                f"the interpreter version is incompatible: {version}."
            )
        else:
            assert "undefined symbol" in message, message


def test_servo_loop_runs_a_second_on_the_carried_simulator() -> None:
    assert tamro.find_simulator() == str(SCRIPTS / "tamro-simulator")
    with tamro.Simulator() as simulator, tamro.ServoLoop(simulator.arms[0], rate_hz=1000.0) as loop:
        assert loop.device_info["device_model_number"] != 0
        loop.effects = [tamro.Spring(anchor=(0.0, 0.0, -0.02), stiffness=100.0, damping=4.0)]
        time.sleep(1.0)
        stats = loop.stats()
        state = loop.state()
        assert loop.fault is None
    # Loose on purpose: the matrix shares two cores with builds; the rate is benchmarked elsewhere.
    assert stats["cycles"] >= 200, stats
    assert state.cycle >= 200 and all(abs(float(x)) < 1.0 for x in state.position), state


def test_handle_reader_reads_the_carried_simulator() -> None:
    with tamro.Simulator() as simulator, tamro.HandleReader(simulator.handles[0], rate_hz=200.0) as reader:
        assert reader.info["device_model_number"] != 0  # the wake-up was answered
        wait_until(lambda: reader.latest().count >= 20, 5.0, "20 status messages")
        status = reader.latest()
        assert status.quaternion.shape == (4,) and abs(float((status.quaternion**2).sum()) - 1.0) < 1e-3
        assert reader.fault is None


def test_doctor_reports_the_simulated_devices_as_json(tmp_path: Path) -> None:
    # The simulator links its devices where the doctor looks, under a root of their own.
    with tamro.Simulator(arms=1, handles=1, link_dir=str(tmp_path / "dev")) as simulator:
        result = subprocess.run(
            [SCRIPTS / "tamro-doctor", "--json", "--root", str(tmp_path)],
            capture_output=True,
            text=True,
            timeout=60,
        )
        assert result.returncode == 0, result.stdout + result.stderr
        document = json.loads(result.stdout)
        assert document["exit_status"] == 0
        assert sorted(document["usable"]) == sorted([simulator.arms[0], simulator.handles[0]])


@pytest.mark.parametrize("module", ["TamroHardwareAPI", "tamro._native"])
def test_installed_stub_matches_module(module: str, tmp_path: Path) -> None:
    env = {name: value for name, value in os.environ.items() if name not in ("MYPYPATH", "PYTHONPATH")}
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", module],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr


# The independent DDS client (tests/fakes/ros2peer.py on PyPI's cyclonedds, with its own CDR and
# its own copy of the C library): tools/wheels.py copies it beside this file and installs the
# client into this environment.
def test_bridge_serves_an_independent_dds_client() -> None:
    if not tamro.network.available():
        pytest.fail("this wheel was built without the network part")
    import math
    import select
    import signal

    import ros2peer

    ros2peer.loopback_environment()  # nothing leaves the loopback interface
    domain = ros2peer.random_domain()
    program = subprocess.Popen(
        [SCRIPTS / "tamro-bridge", "--simulate", "--name", "smoke", "--domain", str(domain)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    try:
        assert program.stdout is not None
        printed, deadline = b"", time.monotonic() + 60
        while b"ready\n" not in printed:
            readable, _, _ = select.select([program.stdout], [], [], max(0.0, deadline - time.monotonic()))
            chunk = os.read(program.stdout.fileno(), 4096) if readable else b""
            assert chunk, f"the bridge never said ready: {printed!r}"
            printed += chunk
        assert b"/smoke/arm/measured_cp" in printed
        reader = ros2peer.Peer(domain).reader("/smoke/arm/measured_cp", ros2peer.PoseStamped)
        samples = ros2peer.take_until(reader, 20, timeout=30)
        assert len(samples) >= 20, f"{len(samples)} samples"
        assert {s.header.frame_id for s in samples} == {"smoke/arm_base"}
        assert all(math.isfinite(s.pose.position.z) and abs(s.pose.position.z) < 1.0 for s in samples)
    finally:
        program.send_signal(signal.SIGINT)  # the bridge brings the arm to zero force and ends
        try:
            program.wait(30)
        except subprocess.TimeoutExpired:
            program.kill()
            program.wait()
    assert program.returncode == 0, program.stderr.read() if program.stderr else ""
