"""tamro-bridge across two machines, played by two network namespaces joined by a veth pair
(tests/fakes/netns.py: made by the test, as root, and removed after): samples cross, commands cross back, and
taking the link down fades the commanded force within the time-out plus the ramp.

Nothing leaves the two namespaces: each has only its end of the pair and its own loopback,
and the addresses are link-local."""

from __future__ import annotations

import os
import select
import subprocess
import sys
import time
from pathlib import Path

import pytest
from fakedevice import FakeArm, wait_until
from netns import stop

from tamro import network

if not network.available():
    pytest.skip("this build has no network part (no Cyclone DDS)", allow_module_level=True)
ros2peer = pytest.importorskip("ros2peer", reason="needs the cyclonedds package (the dds extra)")

FAKES = Path(__file__).resolve().parents[1] / "fakes"
TIMEOUT, RAMP = 0.25, 0.1

PEER = """
import select, sys, time
sys.path.insert(0, {fakes!r})
import ros2peer as rp
peer = rp.Peer({domain})
reader = peer.reader("/lab/arm/measured_cp", rp.PoseStamped, depth=100)
writer = peer.writer("/lab/arm/servo_cf", rp.WrenchStamped)
push = rp.WrenchStamped(wrench=rp.Wrench(force=rp.Vector3(0, 0, 0.5)))
got, end = 0, time.monotonic() + 60
while time.monotonic() < end and not select.select([sys.stdin], [], [], 0)[0]:
    writer.write(rp.stamped(push))
    got += len(reader.take(N=100))
    print(got, flush=True)
    time.sleep(0.01)
"""


def run_script(link, side: int, script: Path, env: dict[str, str]) -> subprocess.Popen[str]:
    """A Python script in a side's namespace, its standard streams piped (closing its input
    asks it to end)."""
    return subprocess.Popen(
        link.command(side, sys.executable, str(script)),
        env=env,
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def test_samples_cross_and_a_link_down_fades_the_command(veth_link, tmp_path):
    link = veth_link
    domain = ros2peer.random_domain()
    arm = FakeArm()
    env_a = dict(os.environ, CYCLONEDDS_URI=link.config(0, tmp_path))
    env_b = dict(os.environ, CYCLONEDDS_URI=link.config(1, tmp_path))
    command = link.command(0, sys.executable, "-m", "tamro.programs.bridge", "--name", "lab")
    command += ["--arm", arm.path, "--domain", str(domain), "--servo-timeout", str(TIMEOUT), "--commands"]
    bridge = subprocess.Popen(command, env=env_a, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    script = tmp_path / "peer.py"
    script.write_text(PEER.format(fakes=str(FAKES), domain=domain))
    peer = run_script(link, 1, script, env_b)
    try:
        assert peer.stdout is not None
        received = 0
        deadline = time.monotonic() + 30
        while received < 50 and time.monotonic() < deadline:
            if select.select([peer.stdout], [], [], 1.0)[0]:
                line = peer.stdout.readline()
                if not line:
                    break
                received = int(line)
        assert received >= 50, f"no samples crossed: {peer.stderr.read() if peer.poll() is not None else ''}"
        assert wait_until(lambda: bool(arm.forces) and arm.forces[-1] == (0.0, 0.0, 0.5), timeout=10)

        before = len(arm.forces)
        down = time.monotonic()
        link.down(0)
        assert wait_until(lambda: arm.forces[-1] == (0.0, 0.0, 0.0), timeout=5)
        faded = time.monotonic() - down
        # The design's bound, with room for a slow machine; and gradual, not a jump.
        assert TIMEOUT <= faded + 0.05 and faded <= TIMEOUT + RAMP + 0.5
        between = [f[2] for f in arm.forces[before:]]
        assert any(0.0 < z < 0.5 for z in between), "the force jumped to zero"
    finally:
        if peer.stdin is not None:
            peer.stdin.close()
        stop(peer, bridge)
        arm.close()


OPERATOR = """
import select, sys, time
import tamro
with tamro.RemoteArm("lab", domain={domain}, keystore={keys!r}, enclave="/lab/operator") as arm:
    end = time.monotonic() + 60
    while time.monotonic() < end and not select.select([sys.stdin], [], [], 0)[0]:
        arm.servo_cf((0.0, 0.0, 0.5))
        time.sleep(0.01)
"""


def test_across_the_link_only_an_enclave_of_the_keystore_moves_a_secured_bridge(veth_link, tmp_path):
    """The other machine's operator (an enclave of the lab's keystore) moves the arm; once it
    has gone, an open participant there streaming the same command for 3 s moves nothing and
    sees nothing."""
    pytest.importorskip("cryptography", reason="needs the cryptography package (the keystore extra)")
    from tamro.programs.keystore._store import create_enclave, create_keystore

    keys = tmp_path / "keys"
    create_keystore(keys)
    create_enclave(keys, "/lab/bridge", "bridge", namespace="lab")
    create_enclave(keys, "/lab/operator", "operator", namespace="lab")
    link, domain, arm = veth_link, ros2peer.random_domain(), FakeArm()
    env = {k: v for k, v in os.environ.items() if not k.startswith("ROS_SECURITY_")}
    env_a = dict(env, CYCLONEDDS_URI=link.config(0, tmp_path))
    env_b = dict(env, CYCLONEDDS_URI=link.config(1, tmp_path))
    command = link.command(0, sys.executable, "-m", "tamro.programs.bridge", "--name", "lab")
    command += ["--arm", arm.path, "--domain", str(domain), "--servo-timeout", str(TIMEOUT)]
    command += ["--keystore", str(keys), "--enclave", "/lab/bridge"]
    bridge = subprocess.Popen(command, env=env_a, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    operator_script, outsider_script = tmp_path / "enclave_peer.py", tmp_path / "open_peer.py"
    operator_script.write_text(OPERATOR.format(domain=domain, keys=str(keys)))
    outsider_script.write_text(PEER.format(fakes=str(FAKES), domain=domain))

    operator = outsider = None
    try:
        operator = run_script(link, 1, operator_script, env_b)
        if not wait_until(lambda: bool(arm.forces) and arm.forces[-1] == (0.0, 0.0, 0.5), timeout=60):
            stop(operator, bridge)
            raise AssertionError(
                f"the operator's command never crossed: {operator.stderr.read() if operator.stderr else ''}"
                f" / bridge: {bridge.stdout.read() if bridge.stdout else ''}"
                f"{bridge.stderr.read() if bridge.stderr else ''}"
            )
        assert operator.stdin is not None
        operator.stdin.close()
        stop(operator)
        assert wait_until(lambda: arm.forces[-1] == (0.0, 0.0, 0.0), timeout=10)
        quiet_from = len(arm.forces)
        outsider = run_script(link, 1, outsider_script, env_b)
        assert outsider.stdout is not None
        received, end = 0, time.monotonic() + 3.0
        while time.monotonic() < end:
            if select.select([outsider.stdout], [], [], 0.5)[0]:
                line = outsider.stdout.readline()
                if not line:
                    break
                received = int(line)
        assert outsider.poll() is None, outsider.stderr.read() if outsider.stderr else ""
        assert received == 0, "an open participant read the secured bridge's measured topics"
        assert all(force == (0.0, 0.0, 0.0) for force in arm.forces[quiet_from:])
        assert len(arm.forces) > quiet_from + 1000, "the bridge's loop stood still meanwhile"
    finally:
        for process in (outsider, operator):
            if process is not None and process.stdin is not None and not process.stdin.closed:
                process.stdin.close()
        stop(*(p for p in (outsider, operator, bridge) if p is not None))
        arm.close()
