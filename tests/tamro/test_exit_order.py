"""What the end of the interpreter closes, and in which order."""

from __future__ import annotations

import json
import subprocess
import sys
import textwrap

import pytest

import tamro

# A program that leaves a simulator and a loop rendering a force open. Its first atexit hook
# (registered before tamro is imported, so it runs after tamro's) reports what the loop saw last.
_PROGRAM = textwrap.dedent(
    """
    import atexit, json, time

    def report():
        records = loop.drain()
        print(json.dumps({
            "fault": None if loop.fault is None else str(loop.fault),
            "closed": loop.closed,
            "pushed": bool((abs(records["force"]) > 0).any()),
            "last_force": records["force"][-1].tolist() if len(records) else None,
        }), flush=True)

    atexit.register(report)

    import tamro

    simulator = tamro.Simulator(arms=1, handles=0)
    loop = tamro.ServoLoop(simulator.arms[0])
    loop.record(capacity=100_000)
    loop.effects = [tamro.ConstantForce([0.0, 0.0, 1.0])]
    loop.start()
    deadline = time.monotonic() + 20
    while loop.state().cycle < 50 and time.monotonic() < deadline:
        time.sleep(0.01)
    """
)


def test_exit_closes_loops_before_their_simulated_arm():
    try:
        tamro.find_simulator()
    except FileNotFoundError as missing:
        pytest.skip(str(missing))
    done = subprocess.run([sys.executable, "-c", _PROGRAM], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout.strip().splitlines()[-1])
    assert report["pushed"], "the loop rendered the force before exit"
    assert report["closed"]
    assert report["fault"] is None, "the arm was gone before the loop's last exchange"
    assert report["last_force"] == [0.0, 0.0, 0.0], "the last request the arm answered is zero force"
    assert "Exception ignored" not in done.stderr, done.stderr
