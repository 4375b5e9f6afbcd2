"""tamro-bridge under its guard: a bridge rendering a 3 N command from a ROS 2 peer is killed
or stopped, and the fake arm (which logs every force request) is sent zero force soon after."""

from __future__ import annotations

import contextlib
import signal
import threading
import time

import pytest
from fakedevice import FakeArm, wait_until
from test_bridge import bridge, until_ready

from tamro import network

if not network.available():
    pytest.skip("this build has no network part (no Cyclone DDS)", allow_module_level=True)
ros2peer = pytest.importorskip("ros2peer", reason="needs the cyclonedds package (the dds extra)")

PUSH = (0.0, 0.0, 3.0)
ZERO = (0.0, 0.0, 0.0)
DEADLINE = 0.3  # the guard's bound is 50 ms; a loaded machine is allowed this much


def stamped_push() -> object:
    now = time.time()
    stamp = ros2peer.Time(sec=int(now), nanosec=int((now % 1) * 1e9))
    force = ros2peer.Wrench(force=ros2peer.Vector3(*PUSH))
    return ros2peer.WrenchStamped(header=ros2peer.Header(stamp=stamp), wrench=force)


@pytest.mark.parametrize("how", [signal.SIGKILL, signal.SIGSTOP], ids=["killed", "stopped"])
def test_a_killed_or_stopped_bridge_leaves_the_arm_at_zero_force(monkeypatch, how):
    monkeypatch.setenv("CYCLONEDDS_URI", network.LOOPBACK_CONFIG.as_uri())
    domain = ros2peer.random_domain()
    arm = FakeArm()
    program = bridge("--name", "lab", "--arm", arm.path, "--domain", str(domain), "--commands")
    done = threading.Event()
    sender: threading.Thread | None = None
    with contextlib.closing(arm), program:
        try:
            until_ready(program)
            writer = ros2peer.Peer(domain).writer("/lab/arm/servo_cf", ros2peer.WrenchStamped)

            def send() -> None:  # a live stream up to the end, so nothing but the guard stops it
                while not done.wait(0.01):
                    writer.write(stamped_push())

            sender = threading.Thread(target=send)
            sender.start()
            assert wait_until(lambda: bool(arm.forces) and arm.forces[-1] == PUSH, 20.0), (
                "the bridge renders 3 N"
            )
            program.send(how)
            assert arm.wait_for(lambda: arm.forces[-1] == ZERO, DEADLINE), "zero force soon after"
            assert arm.quiet(0.2), "and the arm keeps it"
        finally:
            done.set()
            if sender is not None:
                sender.join()
