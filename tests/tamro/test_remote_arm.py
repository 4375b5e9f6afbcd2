"""tamro.RemoteArm driving a tamro-bridge on the simulator in another process: the state it
reads is the bridge's, a force stream moves the arm, and stop() lets the far side fade it."""

from __future__ import annotations

import numpy as np
import pytest
from fakedevice import wait_until
from program import Program

import tamro
from tamro import network

if not network.available():
    pytest.skip("this build has no network part (no Cyclone DDS)", allow_module_level=True)
ros2peer = pytest.importorskip("ros2peer", reason="needs the cyclonedds package (the dds extra)")


@pytest.fixture
def bridge(monkeypatch: pytest.MonkeyPatch):
    monkeypatch.setenv("CYCLONEDDS_URI", network.LOOPBACK_CONFIG.as_uri())
    domain = ros2peer.random_domain()
    program = Program(
        "tamro.programs.bridge",
        "--name",
        "lab",
        "--simulate",
        "--loopback",
        "--domain",
        str(domain),
        "--commands",
    )
    try:
        program.wait_for("ready")
        yield domain
    finally:
        program.kill()


def test_a_script_drives_a_bridge_in_another_process(bridge: int) -> None:
    with tamro.RemoteArm("lab", domain=bridge) as arm:
        first = arm.wait_for_state(timeout=10.0)
        assert np.all(np.abs(first.position) < 0.2) and 0 <= first.age < 5.0
        later = arm.wait_for_state(timeout=5.0)
        assert later.stamp > first.stamp, "the state does not follow the bridge's cycles"

        def pushed() -> bool:
            arm.servo_cf((1.0, 0.0, 0.0))
            state = arm.state()
            return state is not None and state.force[0] == pytest.approx(1.0, abs=0.05)

        assert wait_until(pushed, timeout=10.0), arm.state()
        arm.stop()
        # The stream ended: the bridge's time-out and ramp bring the force back to zero.
        assert wait_until(lambda: abs(arm.wait_for_state(timeout=5.0).force[0]) < 1e-9, timeout=5.0)

        with pytest.raises(ValueError):
            arm.servo_cf((float("nan"), 0.0, 0.0))
    with pytest.raises(RuntimeError, match="closed"):
        arm.state()


def test_state_never_waits_and_a_silent_namespace_times_out(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("CYCLONEDDS_URI", network.LOOPBACK_CONFIG.as_uri())
    with tamro.RemoteArm("nobody_here", domain=ros2peer.random_domain()) as arm:
        assert arm.state() is None
        with pytest.raises(TimeoutError):
            arm.wait_for_state(timeout=0.2)
