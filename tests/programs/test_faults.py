"""A program whose arm stops answering says why (what, which port, how many failures) and
ends with a non-zero status: it never stays up rendering nothing."""

from __future__ import annotations

import contextlib

import pytest
from fakedevice import FakeArm, counting_reply
from program import Program

from tamro import network

if not network.available():
    pytest.skip("this build has no network part (no Cyclone DDS)", allow_module_level=True)
ros2peer = pytest.importorskip("ros2peer", reason="needs the cyclonedds package (the dds extra)")


@pytest.mark.parametrize(
    "program, args",
    [
        ("bridge", ["--name", "lab"]),
        ("teleop", ["--name", "left", "--peer", "right"]),
    ],
)
def test_an_arm_that_stops_answering_ends_the_program(monkeypatch, program: str, args: list[str]) -> None:
    monkeypatch.setenv("CYCLONEDDS_URI", network.LOOPBACK_CONFIG.as_uri())
    # Answers the first 300 force requests, then nothing.
    arm = FakeArm(reply=lambda n, force: counting_reply(n, force) if n < 300 else None)
    domain = str(ros2peer.random_domain())
    with (
        contextlib.closing(arm),
        Program(f"tamro.programs.{program}", *args, "--arm", arm.path, "--domain", domain) as running,
    ):
        running.wait_for("ready")
        code, err = running.finish(30)
    assert code == 1, err
    last = err.splitlines()[-1]
    assert last.startswith(f"tamro-{program}: the arm on {arm.path} gave up after ")
    failed = int(last.split("gave up after ")[1].split()[0])
    assert failed >= 3
    # The loop's last word to the arm was zero force.
    assert arm.forces[-1] == (0.0, 0.0, 0.0)
