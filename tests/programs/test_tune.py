"""tamro-tune: on the simulator it finds the simulated arm and the walls the stability sweep
found, without a force above its cap (as the loop recorded them, not as the program says); on a
fake arm it refuses a held arm and stops at zero force on Ctrl-C."""

from __future__ import annotations

import json
import signal
import subprocess
import sys
from typing import Any

import numpy as np
import pytest
from fakedevice import FakeArm, state_reply

import tamro
from tamro import passivity
from tamro.programs import tune

# The sweep's stiffest wall that settles at 1 kHz with B = 0 (docs/servo-loop.md), with and
# without compensation.
SWEEP_1KHZ = {"compensated": 18417.0, "uncompensated": 1024.0}


class RecordedLoop(tamro.ServoLoop):
    """A loop that keeps a copy of every cycle the program drains from it."""

    made: list[RecordedLoop] = []

    def __init__(self, *args: Any, **options: Any) -> None:
        super().__init__(*args, **options)
        self.rows: list[np.ndarray] = []
        RecordedLoop.made.append(self)

    def drain(self) -> np.ndarray:
        rows = super().drain()
        self.rows.append(rows.copy())
        return rows


def test_on_the_simulator_it_finds_the_arm_and_the_sweeps_walls_within_its_cap(tmp_path, monkeypatch, capsys):
    monkeypatch.setattr(tune, "ServoLoop", RecordedLoop)
    saved = tmp_path / "arm.json"
    assert tune.main(["--simulate", "--json", "--save", str(saved)]) == 0
    result = json.loads(capsys.readouterr().out)

    for axis, fit in result["axes"].items():
        assert fit["mass"] == pytest.approx(passivity.SIMULATED_ARM.mass, rel=0.15), axis
        assert fit["damping"] == pytest.approx(passivity.SIMULATED_ARM.damping, rel=0.15), axis
    late = []
    for name, search in result["stiffness"].items():
        # The sweep's walls are those of a loop that keeps its rate: a machine that held the
        # loop through the search (its p99 period over 1.5 periods) measured itself instead.
        if search["kept_rate"]:
            assert search["largest_settling"] == pytest.approx(SWEEP_1KHZ[name], rel=0.2), search
        else:
            late.append(f"{name}: p99 period {search['period_p99_us']:.0f} us")
    arm = passivity.Arm.load(saved)
    assert arm == passivity.Arm(**result["arm"])

    # What the loops sent, cycle by cycle: never above the cap, and the loops did the clamping.
    assert len(RecordedLoop.made) == 2
    sent = np.concatenate([rows for loop in RecordedLoop.made for rows in loop.rows])
    assert len(sent) > 4000  # the identification's steps at least
    assert np.max(np.linalg.norm(sent["force"], axis=1)) <= tune.FORCE_CAP * (1 + 1e-6)
    assert all(loop.max_force == tune.FORCE_CAP for loop in RecordedLoop.made)
    if late:
        pytest.skip(f"the walls not compared: this machine held the loop ({'; '.join(late)})")


def still_arm(pushed_after: int | None = None) -> FakeArm:
    """An arm that stays at the origin; from request ``pushed_after`` on, 3 mm off it (a hand)."""

    def reply(n: int, force: tuple[float, float, float]) -> bytes:
        x = 0.003 if pushed_after is not None and n >= pushed_after else 0.0
        return state_reply((x, 0.0, 0.0), (0.0, 0.0, 0.0))

    return FakeArm(reply=reply)


def tune_on(arm: FakeArm) -> subprocess.Popen[str]:
    return subprocess.Popen(
        [sys.executable, "-m", "tamro.programs.tune", "--port", arm.path],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


@pytest.mark.parametrize("held", [True, False], ids=["held: refused", "Ctrl-C while moving"])
def test_it_ends_with_zero_force_when_held_or_stopped(held):
    arm = still_arm(pushed_after=100 if held else None)
    program = tune_on(arm)
    try:
        if not held:
            # Stopped in the middle of a step: the spring pulls 1 N.
            assert arm.wait_for(lambda: any(abs(f[0]) > 0.5 for f in arm.forces[-5:]), timeout=20)
            program.send_signal(signal.SIGINT)
        _, err = program.communicate(timeout=20)
        assert program.returncode == 1, err
        assert ("refused: something holds the arm" if held else "stopped; the arm is at zero force") in err
        assert arm.wait_for_zero_force_last()
    finally:
        if program.poll() is None:
            program.kill()
        arm.close()
