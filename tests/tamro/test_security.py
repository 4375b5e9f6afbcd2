"""A secured bridge (DDS Security, a tamro-keystore enclave) in another process on loopback:
an open outsider cannot move the arm, an observer cannot command it, an operator can, an
observer records it; credentials that cannot be loaded stop a participant with a clear message."""

from __future__ import annotations

import datetime
import os
import shutil
import time
from collections.abc import Iterator
from pathlib import Path

import numpy as np
import pytest
from fakedevice import FakeArm, wait_until
from program import Program

import tamro
from tamro import network

if not network.available():
    pytest.skip("this build has no network part (no Cyclone DDS)", allow_module_level=True)
ros2peer = pytest.importorskip("ros2peer", reason="needs the cyclonedds package (the dds extra)")
pytest.importorskip("cryptography", reason="needs the cryptography package (the keystore extra)")

from tamro.programs.keystore._store import create_enclave, create_keystore  # noqa: E402

PUSH = (0.0, 0.0, 0.5)


@pytest.fixture(scope="module")
def keys(tmp_path_factory: pytest.TempPathFactory) -> Path:
    root = tmp_path_factory.mktemp("security") / "keys"
    create_keystore(root)
    for name, role in (
        ("/lab/bridge", "bridge"),
        ("/lab/operator", "operator"),
        ("/lab/observer", "observer"),
    ):
        create_enclave(root, name, role, namespace="lab")  # type: ignore[arg-type]
    return root


class SecuredBridge:
    def __init__(self, keys: Path, domain: int) -> None:
        self.domain = domain
        self.arm = FakeArm()
        self.program = Program(
            "tamro.programs.bridge",
            "--name", "lab", "--arm", self.arm.path, "--domain", str(domain),
            "--keystore", str(keys), "--enclave", "/lab/bridge",
        )  # fmt: skip

    def close(self) -> None:
        self.program.kill()
        self.arm.close()


@pytest.fixture
def bridge(keys: Path, monkeypatch: pytest.MonkeyPatch) -> Iterator[SecuredBridge]:
    monkeypatch.setenv("CYCLONEDDS_URI", network.LOOPBACK_CONFIG.as_uri())
    for variable in ("ROS_SECURITY_ENABLE", "ROS_SECURITY_KEYSTORE", "ROS_SECURITY_ENCLAVE_OVERRIDE"):
        monkeypatch.delenv(variable, raising=False)
    served = SecuredBridge(keys, ros2peer.random_domain())
    try:
        served.program.wait_for("ready")
        yield served
    finally:
        served.close()


def test_a_secured_bridge_takes_commands_from_its_operator_only(bridge: SecuredBridge, keys: Path) -> None:
    lines = bridge.program.lines
    assert any(line.startswith("security enclave /lab/bridge") for line in lines), lines
    assert "commands on: only writers the keystore's permissions allow are matched" in lines
    # An open participant (no security at all) streams 1 kHz for 2 s: it never matches.
    peer = ros2peer.Peer(bridge.domain)
    writer = peer.writer("/lab/arm/servo_cf", ros2peer.WrenchStamped)
    push = ros2peer.WrenchStamped(wrench=ros2peer.Wrench(force=ros2peer.Vector3(*PUSH)))
    end = time.monotonic() + 2.0
    while time.monotonic() < end:
        writer.write(ros2peer.stamped(push))
        time.sleep(0.001)
    assert bridge.arm.forces and all(f == (0.0, 0.0, 0.0) for f in bridge.arm.forces), (
        "the outsider moved the arm"
    )

    # The operator reads the arm and moves it.
    with tamro.RemoteArm("lab", domain=bridge.domain, keystore=keys, enclave="/lab/operator") as arm:
        state = arm.wait_for_state(timeout=20.0)
        assert np.all(np.isfinite(state.position))

        def pushed() -> bool:
            arm.servo_cf(PUSH)
            return bool(bridge.arm.forces) and bridge.arm.forces[-1] == PUSH

        assert wait_until(pushed, 20.0), "the operator's command never reached the arm"


def test_an_observer_reads_and_records_but_cannot_command(
    bridge: SecuredBridge, keys: Path, tmp_path: Path
) -> None:
    with tamro.RemoteArm("lab", domain=bridge.domain, keystore=keys, enclave="/lab/observer") as arm:
        assert arm.wait_for_state(timeout=20.0) is not None
        with pytest.raises(RuntimeError, match="servo_cf"):
            arm.servo_cf(PUSH)  # its permissions do not grant the command topic
    out = tmp_path / "secured.mcap"
    recorder = Program(
        "tamro.programs.record",
        "--domain", str(bridge.domain), "-o", str(out), "--seconds", "3",
        "--keystore", str(keys), "--enclave", "/lab/observer",
    )  # fmt: skip
    code, err = recorder.finish(60)
    assert code == 0, err
    recorded = next(line for line in recorder.lines if line.startswith("recorded "))
    assert not recorded.startswith("recorded 0 topics"), recorder.lines
    assert any("/lab/arm/measured_cp" in line for line in recorder.lines), recorder.lines
    assert all(f == (0.0, 0.0, 0.0) for f in bridge.arm.forces)


def _copy(keys: Path, tmp_path: Path) -> Path:
    root = tmp_path / "keys"
    shutil.copytree(keys, root, symlinks=True)
    return root


def _tampered(root: Path) -> str:
    signed = root / "enclaves/lab/bridge/permissions.p7s"
    signed.write_bytes(signed.read_bytes().replace(b"<default>DENY</default>", b"<default>ALLOW</default>"))
    return "/lab/bridge"


def _expired(root: Path) -> str:
    long_ago = datetime.datetime(2020, 1, 1, tzinfo=datetime.timezone.utc)
    create_enclave(
        root, "/lab/old", "bridge", not_before=long_ago, not_after=long_ago + datetime.timedelta(days=1)
    )
    return "/lab/old"


def _keyless(root: Path) -> str:
    (root / "enclaves/lab/bridge/key.pem").unlink()
    return "/lab/bridge"


@pytest.mark.parametrize(
    "spoil, words",
    [
        (_keyless, ["key.pem", "No such file"]),
        (_tampered, ["permissions.p7s refused", "signature"]),
        (_expired, ["cert.pem refused", "expired"]),
    ],
)
def test_credentials_that_cannot_be_loaded_stop_the_participant(
    keys: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, spoil, words
) -> None:
    monkeypatch.setenv("CYCLONEDDS_URI", network.LOOPBACK_CONFIG.as_uri())
    root = _copy(keys, tmp_path)
    enclave = spoil(root)
    with pytest.raises(RuntimeError) as raised:
        network.Node("lab", domain=ros2peer.random_domain(), keystore=root, enclave=enclave)
    message = str(raised.value)
    assert all(word.lower() in message.lower() for word in words) and "\n" not in message, message


def test_a_teleoperation_pair_couples_with_operator_enclaves(keys: Path) -> None:
    """Both sides secured with operator enclaves find each other and engage; an open follower of
    the same leader never finds it."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("ROS_SECURITY_")} | {
        "CYCLONEDDS_URI": network.LOOPBACK_CONFIG.as_uri()
    }
    domain = str(ros2peer.random_domain())
    if not (keys / "enclaves/teleop").exists():  # any namespace: the sides are /left and /right
        create_enclave(keys, "/teleop/operator", "operator")
    secured = ("--keystore", str(keys), "--enclave", "/teleop/operator")

    def side(name: str, peer: str, *extra: str) -> Program:
        return Program(
            "tamro.programs.teleop",
            "--name",
            name,
            "--peer",
            peer,
            "--simulate",
            "--domain",
            domain,
            *extra,
            env=env,
        )

    started = time.monotonic()
    sides = [side("left", "right", *secured), side("right", "left", *secured), side("open", "left")]
    try:
        sides[0].wait_for("peer /right/arm found", 60)
        took = time.monotonic() - started
        sides[0].wait_for("engaged", 60)
        sides[1].wait_for("engaged", 60)
        # The open side has had twice as long as the secured pair needed to find each other.
        with pytest.raises(AssertionError, match="no such line"):
            sides[2].wait_for("peer /left/arm found", max(0.0, 2 * took - (time.monotonic() - started)))
    finally:
        for program in sides:
            program.kill()
