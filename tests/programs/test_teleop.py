"""tamro-teleop: the demo's two processes and its figures, the passivity controller against
a 50 ms delay, and one side on its own saying what it couples to before ready."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys

import pytest

from tamro import network

if not network.available():
    pytest.skip("this build has no network part (no Cyclone DDS)", allow_module_level=True)


def demo(*args: str) -> dict:
    done = subprocess.run(
        [sys.executable, "-m", "tamro.teleop", "--demo", "--json", *args],
        capture_output=True,
        text=True,
        timeout=120,
        env=dict(os.environ, CYCLONEDDS_URI=network.LOOPBACK_CONFIG.as_uri()),
    )
    assert done.returncode == 0, done.stderr
    result: dict = json.loads(done.stdout.strip().splitlines()[-1])
    return result


def test_the_demo_tracks_touches_the_wall_and_fades_after_the_cut():
    r = demo("--seconds", "5")
    for side in ("leader", "follower"):
        assert set(r[side]) >= {"rate_hz", "period_p99_us"} and r[side]["rate_hz"] > 0
    assert r["stable"] is True and r["impairment"] == "none"
    assert 0 < r["tracking_rms_mm"] < 2.0 and r["tracking_peak_mm"] >= r["tracking_rms_mm"]
    assert r["contact_force_n"] > 0 and r["wall_force_n"] > 0, "the follower met the wall, the leader felt it"
    # The link time-out and the fade, with room for a loaded machine.
    assert 20 <= r["link_cut_to_zero_ms"] <= 20 + 50 + 250
    assert r["energy_observed_j"] > -0.05


def test_with_fifty_milliseconds_of_delay_only_the_passivity_controller_keeps_the_energy_bounded():
    stiff = (
        "--seconds",
        "5",
        "--delay-ms",
        "50",
        "--stiffness",
        "1000",
        "--damping",
        "0",
        "--link-timeout",
        "0.2",
    )
    on = demo(*stiff)
    off = demo(*stiff, "--no-passivity")
    assert on["impairment"] == "delay 50 ms"
    # With the controller the network takes in more than it gives, whatever the delay; without
    # it the same run has it give energy, growing until the force limit holds it.
    assert on["energy_observed_j"] > -0.05 and on["energy_dissipated_j"] > 0
    assert off["energy_observed_j"] < -1.0 and off["stable"] is False


def test_one_side_says_what_it_couples_to_then_ready_without_its_peer():
    program = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "tamro.teleop",
            "--name",
            "left",
            "--peer",
            "right",
            "--simulate",
            "--loopback",
        ],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env={k: v for k, v in os.environ.items() if k != "CYCLONEDDS_URI"}
        | {"CYCLONEDDS_URI": network.LOOPBACK_CONFIG.as_uri()},
    )
    try:
        assert program.stdout is not None
        first = program.stdout.readline()
        assert first.startswith("coupling /left/arm to /right/arm:") and "passivity on" in first
        assert program.stdout.readline().strip() == "ready"
        program.send_signal(signal.SIGINT)
        out, _ = program.communicate(timeout=30)
        assert "zero force" in out and program.returncode == 0
    finally:
        if program.poll() is None:
            program.kill()
            program.wait()
