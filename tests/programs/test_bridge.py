"""tamro-bridge: the program serves a fake arm and a fake handle as ROS 2 topics (read by an
independent peer), takes commands, and brings the arm to zero force on Ctrl-C; and what it
says when it cannot serve."""

from __future__ import annotations

import contextlib
import json
import math
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from fakedevice import FakeArm, FakeHandle, wait_until
from program import Program

from tamro import network
from tamro.programs._cli import RefusalReport

if not network.available():
    pytest.skip("this build has no network part (no Cyclone DDS)", allow_module_level=True)
ros2peer = pytest.importorskip("ros2peer", reason="needs the cyclonedds package (the dds extra)")


def bridge(*args: str, env: dict[str, str] | None = None) -> Program:
    return Program("tamro.programs.bridge", *args, env=env)


def until_ready(program: Program) -> list[str]:
    """The lines the program printed up to and with ``ready``."""
    program.wait_for("ready")
    return program.lines[: program.lines.index("ready") + 1]


def test_the_bridge_serves_the_devices_and_stops_at_zero_force(monkeypatch):
    monkeypatch.setenv("CYCLONEDDS_URI", network.LOOPBACK_CONFIG.as_uri())
    domain = ros2peer.random_domain()
    arm, handle = FakeArm(), FakeHandle()
    program = bridge(
        "--name", "lab", "--arm", arm.path, "--handle", handle.path, "--domain", str(domain), "--commands"
    )
    with contextlib.closing(arm), contextlib.closing(handle), program:
        lines = until_ready(program)
        assert lines[0] == f"config {network.LOOPBACK_CONFIG.as_uri()}"
        assert lines[1] == f"domain {domain}"
        assert lines[2] == "interfaces lo (loopback: this machine only)"
        assert lines[3].startswith("security none"), lines[3]
        assert lines[4].startswith(
            f"commands open: anyone who reaches DDS domain {domain} (interfaces: lo (loopback"
        ), lines[4]
        topics = [line.split()[1] for line in lines[5:-1]]
        assert topics == [
            "/lab/arm/measured_cp",
            "/lab/arm/measured_cv",
            "/lab/arm/measured_cf",
            "/lab/arm/servo_cp",
            "/lab/arm/servo_cf",
            "/lab/handle/measured_cp",
            "/lab/handle/sensor_level",
            "/lab/handle/user_data",
        ]
        qos = "best-effort keep-last-1"
        assert lines[5] == f"out /lab/arm/measured_cp geometry_msgs/msg/PoseStamped {qos}"
        assert lines[9] == f"in  /lab/arm/servo_cf geometry_msgs/msg/WrenchStamped {qos}"

        peer = ros2peer.Peer(domain)
        cp = peer.reader("/lab/arm/measured_cp", ros2peer.PoseStamped, depth=10)
        level = peer.reader("/lab/handle/sensor_level", ros2peer.UInt8, depth=10)
        assert ros2peer.take_until(cp, 5) and ros2peer.take_until(level, 5)

        writer = peer.writer("/lab/arm/servo_cf", ros2peer.WrenchStamped)
        push = ros2peer.WrenchStamped(wrench=ros2peer.Wrench(force=ros2peer.Vector3(0, 0.5, 0)))
        assert wait_until(
            lambda: writer.write(ros2peer.stamped(push)) or (arm.forces and arm.forces[-1] == (0, 0.5, 0))
        )

        writer.write(ros2peer.stamped(push))
        out = program.stop()
        assert out[-1] == "stopped: the arms are at zero force", out
        taken = re.compile(r"in /lab/arm/servo_cf taken (\d+) refused (\d+) \((.*)\) clamped \d+")
        report = [m for line in out if (m := taken.fullmatch(line))]
        assert len(report) == 1 and int(report[0][1]) > 0 and report[0][2] == "0", out
        assert report[0][3] == ", ".join(f"{reason} 0" for reason in network.REFUSAL_REASONS)
        assert arm.forces[-1] == (0.0, 0.0, 0.0), "the last force the arm was sent is zero"


def test_without_commands_the_bridge_ignores_every_command(monkeypatch):
    """No --commands and no keystore: the configuration says commands are off, and a peer that
    sees the measured topics streams forces for a second without the arm ever pushing."""
    monkeypatch.setenv("CYCLONEDDS_URI", network.LOOPBACK_CONFIG.as_uri())
    domain = ros2peer.random_domain()
    arm = FakeArm()
    program = bridge("--name", "lab", "--arm", arm.path, "--domain", str(domain))
    with contextlib.closing(arm), program:
        lines = until_ready(program)
        assert lines[4].startswith("commands off: servo_cp and servo_cf are not read"), lines
        assert not any(line.startswith("in ") for line in lines), lines
        peer = ros2peer.Peer(domain)
        # The peer reaches the bridge: it reads what the bridge publishes.
        assert ros2peer.take_until(peer.reader("/lab/arm/measured_cp", ros2peer.PoseStamped), 5)
        writer = peer.writer("/lab/arm/servo_cf", ros2peer.WrenchStamped)
        push = ros2peer.WrenchStamped(wrench=ros2peer.Wrench(force=ros2peer.Vector3(0, 0.5, 0)))
        end = time.monotonic() + 1.0
        while time.monotonic() < end:
            writer.write(ros2peer.stamped(push))
            time.sleep(0.002)
        out = "\n".join(program.stop())
    assert arm.forces and all(f == (0.0, 0.0, 0.0) for f in arm.forces), "a command moved the arm"
    assert "servo_cf" not in out


def stopped(pid: int) -> bool:
    """Whether every thread of the process is stopped (state T in /proc)."""
    states = []
    for task in Path(f"/proc/{pid}/task").iterdir():
        try:
            states.append((task / "stat").read_text().rsplit(")", 1)[1].split()[0])
        except (FileNotFoundError, ProcessLookupError):
            continue  # a thread that ended meanwhile
    return bool(states) and all(state == "T" for state in states)


def test_a_frozen_bridge_renders_nothing_that_queued_while_it_was_frozen(monkeypatch):
    """The bridge stopped (SIGSTOP) for 2.5 s while a sender streams: 0.5 N along y for the
    first 2 s, along z after. On waking, what queued for it arrives at once: the samples sent
    long before are refused by their stamps, and only z is rendered."""
    monkeypatch.setenv("CYCLONEDDS_URI", network.LOOPBACK_CONFIG.as_uri())
    domain = ros2peer.random_domain()
    arm = FakeArm()
    program = bridge("--name", "lab", "--arm", arm.path, "--domain", str(domain), "--commands")

    def force(x: float, y: float, z: float) -> object:
        return ros2peer.stamped(
            ros2peer.WrenchStamped(wrench=ros2peer.Wrench(force=ros2peer.Vector3(x, y, z)))
        )

    def stream(sample: tuple[float, float, float], seconds: float) -> None:
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            writer.write(force(*sample))
            time.sleep(0.005)

    with contextlib.closing(arm), program:
        until_ready(program)
        peer = ros2peer.Peer(domain)
        writer = peer.writer("/lab/arm/servo_cf", ros2peer.WrenchStamped)
        assert wait_until(
            lambda: writer.write(force(0.5, 0, 0)) or (arm.forces and arm.forces[-1] == (0.5, 0, 0))
        )
        program.send(signal.SIGSTOP)
        try:
            # Every thread of it stopped before the first sample is sent: a receive thread still
            # running for a moment would take it fresh.
            assert wait_until(lambda: stopped(program.process.pid), timeout=10)
            stream((0, 0.5, 0), 2.0)
            stream((0, 0, 0.5), 0.5)
        finally:
            program.send(signal.SIGCONT)
        assert wait_until(lambda: writer.write(force(0, 0, 0.5)) or arm.forces[-1] == (0, 0, 0.5))
        out = "\n".join(program.stop())
    assert all(f[1] == 0.0 for f in arm.forces), "a sample that queued while frozen was rendered"
    refused = re.search(r"in /lab/arm/servo_cf taken \d+ refused \d+ \(.*implausible (\d+).*\)", out)
    assert refused and int(refused[1]) > 0, out


def test_the_bridge_names_what_it_refuses_and_counts_it_by_reason(monkeypatch):
    """A peer sends targets in a foreign frame (with a terminal escape in it, longer than is
    kept) and forces that are not finite: the bridge names each within a second or so, with the
    frame escaped and cut, counts them on SIGUSR1, and its JSON status shows them."""
    monkeypatch.setenv("CYCLONEDDS_URI", network.LOOPBACK_CONFIG.as_uri())
    domain = ros2peer.random_domain()
    program = Program(
        "tamro.programs.bridge",
        "--name",
        "lab",
        "--simulate",
        "--domain",
        str(domain),
        "--status-json",
        "--commands",
    )
    with program:
        program.wait_for("ready")
        peer = ros2peer.Peer(domain)
        cp = peer.writer("/lab/arm/servo_cp", ros2peer.PoseStamped)
        cf = peer.writer("/lab/arm/servo_cf", ros2peer.WrenchStamped)
        assert ros2peer.wait_matched(cp) and ros2peer.wait_matched(cf)
        frame = "world\x1b[2J" + "x" * 100
        wrong = ros2peer.PoseStamped(header=ros2peer.Header(frame_id=frame), pose=ros2peer.Pose())
        nan = ros2peer.WrenchStamped(wrench=ros2peer.Wrench(force=ros2peer.Vector3(0, math.nan, 0)))
        for _ in range(20):
            cp.write(ros2peer.stamped(wrong))
            cf.write(ros2peer.stamped(nan))
            time.sleep(0.005)

        kept = "x" * (network.MAX_SHOWN_FRAME - len("world\x1b[2J"))
        named = program.wait_for_line(lambda line: line.startswith("refused ") and "servo_cp" in line, 20)
        assert named.endswith(f": frame 'world\\x1b[2J{kept}', expected 'lab/arm_base' or empty"), named
        named = program.wait_for_line(lambda line: line.startswith("refused ") and "servo_cf" in line, 20)
        assert named.endswith(": not finite, expected finite numbers"), named

        program.send(signal.SIGUSR1)
        counted = {}
        for topic in ("servo_cp", "servo_cf"):
            line = program.wait_for(f"in /lab/arm/{topic} ", 20)
            match = re.fullmatch(r"in \S+ taken (\d+) refused (\d+) \((.*)\) clamped 0", line)
            assert match, line
            reasons = {w: int(n) for w, n in (part.split() for part in match[3].split(", "))}
            assert list(reasons) == list(network.REFUSAL_REASONS)
            assert sum(reasons.values()) == int(match[2]) and int(match[2]) > 0
            counted[topic] = {w for w, n in reasons.items() if n}
        assert counted == {"servo_cp": {"frame"}, "servo_cf": {"not_finite"}}

        def refusing(line: str) -> bool:
            return line.startswith("{") and all(t["refused"] > 0 for t in json.loads(line)["topics"])

        status = json.loads(program.wait_for_line(refusing, 20))  # one a second, from the start
        assert status["arms"][0]["name"] == "arm" and status["arms"][0]["rate_hz"] > 0
        program.stop()


def test_refusals_are_named_at_most_once_a_second_per_topic_and_reason():
    def stats(frame: int, nan: int) -> list[network.TopicStats]:
        reasons = dict.fromkeys(network.REFUSAL_REASONS, 0) | {"frame": frame, "not_finite": nan}
        return [
            network.TopicStats(
                topic="/lab/arm/servo_cp", ros_type="", direction="in", samples=frame + nan,
                dropped=0, refused=frame + nan, clamped=0, reasons=reasons,
                expected={"frame": "'lab/arm_base' or empty", "not_finite": "finite numbers"},
                refused_frame="world",
            )
        ]  # fmt: skip

    report = RefusalReport()
    assert report.lines(stats(0, 0), now=0.0) == []
    assert report.lines(stats(3, 0), now=0.1) == [
        "refused 3 samples on /lab/arm/servo_cp: frame 'world', expected 'lab/arm_base' or empty"
    ]
    # Within the second: the frame waits, a reason not yet named is named.
    assert report.lines(stats(10, 2), now=0.6) == [
        "refused 2 samples on /lab/arm/servo_cp: not finite, expected finite numbers"
    ]
    # The second is up: only what came since the last line, and nothing where nothing came.
    assert report.lines(stats(12, 2), now=1.1) == [
        "refused 9 samples on /lab/arm/servo_cp: frame 'world', expected 'lab/arm_base' or empty"
    ]
    assert report.lines(stats(12, 2), now=5.0) == []


def test_a_users_own_dds_configuration_wins_over_loopback(tmp_path):
    mine = tmp_path / "mine.xml"
    mine.write_text(network.LOOPBACK_CONFIG.read_text())  # still loopback only: it is a test
    arm = FakeArm()
    domain = str(ros2peer.random_domain())
    env = dict(os.environ, CYCLONEDDS_URI=mine.as_uri())
    program = bridge("--name", "lab", "--arm", arm.path, "--loopback", "--domain", domain, env=env)
    with contextlib.closing(arm), program:
        assert until_ready(program)[0] == f"config {mine.as_uri()}"
        program.stop(signal.SIGTERM)


@pytest.mark.parametrize(
    "args, message",
    [
        (["--name", "lab"], "nothing to serve"),
        (["--name", "lab-1", "--arm", "/dev/null"], "namespace"),
        (["--name", "lab", "--arm", "/nonexistent/port"], "nonexistent"),
        (["--name", "lab", "--domain", "300", "--arm", "/dev/null"], "domain"),
    ],
)
def test_the_bridge_says_why_it_cannot_serve(monkeypatch, args, message):
    monkeypatch.setenv("CYCLONEDDS_URI", network.LOOPBACK_CONFIG.as_uri())
    done = subprocess.run(
        [sys.executable, "-m", "tamro.programs.bridge", *args], capture_output=True, text=True, timeout=60
    )
    assert done.returncode in (1, 2)
    assert done.stderr.splitlines()[-1].startswith("tamro-bridge: ")  # after usage, for argparse
    assert message in done.stderr
    assert "ready" not in done.stdout


def test_the_network_example_serves_a_simulated_arm(simulator, monkeypatch):
    monkeypatch.setenv("CYCLONEDDS_URI", network.LOOPBACK_CONFIG.as_uri())
    example = Path(__file__).resolve().parents[2] / "examples" / "serve_on_network.py"
    domain = str(ros2peer.random_domain())
    done = subprocess.run(
        [sys.executable, str(example), simulator.arms[0], "--seconds", "1.5", "--domain", domain],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    assert "serving /lab/arm/servo_cf" in done.stdout
    assert re.search(r"measured_cp \d+, .*; commands waiting, force \[0\.0, 0\.0, 0\.0\]", done.stdout)
    assert done.stdout.rstrip().endswith("0 records dropped")
