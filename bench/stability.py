"""The stability sweep (bench/run.py): the stiffest wall that settles on the simulated arm, for
each loop rate and virtual damping, without and with delay compensation, beside the bounds.

A trial: a stiff, well-damped spring brings the arm to rest at the origin (0.3 s); then a wall
(``tamro.Plane``, stiffness K, damping B) through that point and a constant 2 N push into it.
The wall **settles** when the position's ringing (its peak-to-peak) at least halves from the
window 0.1-0.3 s after the push to the window 1.0-1.2 s, or is by then under 1 % of the rest
depth 2 N / K. The largest K that settles is found by bisection on a geometric scale, six
trials from a bracket of a quarter to 1.5 times the analysis's stability limit
(``tamro.passivity.stability_limit``): within 3 %. A result at the bracket's edge is shown as
such (``<`` or ``>=``).

The loop (``realtime=True``) and the simulator run at real-time priority when the system allows
it, so that the machine's other work disturbs the timing less; the output says whether it did,
and the loop's measured period and exchange percentiles go beside each row. About 2.5 minutes.
"""

from __future__ import annotations

import math
import os
import time
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any

import numpy as np

import tamro
from tamro import passivity

RATES = (250.0, 500.0, 1000.0)
DAMPINGS = (0.0, 1.0, 5.0)
PUSH = 2.0  # N, into the wall
SETTLE = 1.2  # s, the trial after the push
RESET = 0.3  # s, the spring that brings the arm to rest first
STEPS = 6
TARGET_STIFFNESS = 2000.0  # with compensation, B = 0, at 1 kHz: must settle


@dataclass
class Trial:
    stiffness: float
    settles: bool
    early_mm: float
    late_mm: float


def trial(loop: tamro.ServoLoop, stiffness: float, damping: float) -> Trial:
    loop.effects = [tamro.Spring(anchor=(0, 0, 0), stiffness=400.0, damping=20.0)]
    time.sleep(RESET)
    surface = float(loop.state().position[2])
    loop.drain()
    pushed = time.monotonic()
    loop.effects = [
        tamro.Plane(point=(0, 0, surface), normal=(0, 0, 1), stiffness=stiffness, damping=damping),
        tamro.ConstantForce((0, 0, -PUSH)),
    ]
    # Until the loop has run the whole trial: a stalled machine delays it, the cycles stay.
    parts = []
    deadline = pushed + SETTLE + 10.0
    while time.monotonic() < deadline:
        time.sleep(0.1)
        parts.append(loop.drain())
        if len(parts[-1]) and parts[-1]["time"][-1] >= pushed + SETTLE:
            break
    rows = np.concatenate(parts)
    after = rows["time"] - pushed
    z = rows["position"][:, 2]
    windows = [z[(after > 0.1) & (after < 0.3)], z[(after > SETTLE - 0.2) & (after <= SETTLE)]]
    if not all(len(w) for w in windows):
        raise RuntimeError(f"the loop ran no cycle in a window of the trial ({len(rows)} cycles)")
    early, late = (float(np.ptp(w)) for w in windows)
    settles = late <= 0.5 * early or late < 0.01 * PUSH / stiffness
    return Trial(stiffness, settles, early * 1e3, late * 1e3)


def largest_settling(loop: tamro.ServoLoop, damping: float, limit: float) -> tuple[float, str]:
    """The largest stiffness that settles, and "<" or ">=" when it is at the bracket's edge."""
    low, high = limit / 4, limit * 1.5
    if not trial(loop, low, damping).settles:
        return low, "<"
    if trial(loop, high, damping).settles:
        return high, ">="
    for _ in range(STEPS - 2):
        middle = math.sqrt(low * high)
        if trial(loop, middle, damping).settles:
            low = middle
        else:
            high = middle
    return low, ""


@contextmanager
def simulator() -> Iterator[tuple[tamro.Simulator, bool]]:
    with tamro.Simulator(arms=1, handles=0) as sim:
        try:
            os.sched_setscheduler(sim.process.pid, os.SCHED_FIFO, os.sched_param(70))
            realtime = True
        except OSError:
            realtime = False
        yield sim, realtime


def run(quick: bool = False) -> dict[str, Any]:
    """Every cell of the sweep; quick: 1 kHz only."""
    arm = passivity.SIMULATED_ARM
    rows: list[dict[str, Any]] = []
    started = time.monotonic()
    with simulator() as (sim, simulator_realtime):
        for compensate in (False, True):
            for rate in RATES[-1:] if quick else RATES:
                horizon = 1.5 / rate if compensate else 0.0
                with tamro.ServoLoop(
                    sim.arms[0], rate_hz=rate, realtime=True, compensate_delay=compensate
                ) as loop:
                    loop.record(1 << 14)
                    for damping in DAMPINGS:
                        limit = passivity.stability_limit(rate, arm, damping, horizon=horizon)
                        measured, edge = largest_settling(loop, damping, limit)
                        stats = loop.stats()
                        rows.append(
                            {
                                "rate_hz": rate,
                                "damping": damping,
                                "compensated": compensate,
                                "bound": passivity.max_stiffness(rate, arm.damping, damping),
                                "bound_measured": passivity.max_stiffness(
                                    passivity.Timing.measured(stats), arm.damping, damping
                                ),
                                "limit": limit,
                                "largest_settling": measured,
                                "edge": edge,
                                "period_p99_us": stats["period_p99_us"],
                                "exchange_p99_us": stats["exchange_p99_us"],
                                "realtime": stats["realtime"],
                            }
                        )
                    if compensate and rate == 1000.0:
                        target = trial(loop, TARGET_STIFFNESS, 0.0)
    return {
        "rows": rows,
        "target": {"stiffness": TARGET_STIFFNESS, "settles": target.settles, "late_mm": target.late_mm},
        "simulator_realtime": simulator_realtime,
        "seconds": time.monotonic() - started,
    }


def lines(results: dict[str, Any], width: int) -> list[str]:
    rows = results["rows"]
    out = [
        "",
        "stability sweep on the simulated arm (m 0.25 kg, b 2 N s/m): largest K (N/m) that settles",
        f"  {'rate':>6} {'B':>4}  {'bound':>7} {'bound now':>9}  {'limit':>7} {'measured':>10}  "
        f"{'compensated: limit':>18} {'measured':>10}  {'p99 period/exchange µs':>22}",
    ]
    plain = {(r["rate_hz"], r["damping"]): r for r in rows if not r["compensated"]}
    compensated = {(r["rate_hz"], r["damping"]): r for r in rows if r["compensated"]}
    failures = []
    for key, row in plain.items():
        comp = compensated.get(key)
        measured = f"{row['edge']}{row['largest_settling']:,.0f}"
        if row["bound"] > row["largest_settling"]:
            failures.append(f"bound above the measured at {key[0]:g} Hz, B {key[1]:g}")
        comp_text = ""
        if comp is not None:
            comp_text = (
                f"{comp['limit']:>18,.0f} {comp['edge'] + format(comp['largest_settling'], ',.0f'):>10}"
            )
            if comp["largest_settling"] < row["largest_settling"]:
                failures.append(f"compensation lowers the largest K at {key[0]:g} Hz, B {key[1]:g}")
        out.append(
            f"  {row['rate_hz']:>6,.0f} {row['damping']:>4g}  {row['bound']:>7,.0f} "
            f"{row['bound_measured']:>9,.0f}  {row['limit']:>7,.0f} {measured:>10}  {comp_text:>29}  "
            f"{row['period_p99_us']:>10,.0f} /{row['exchange_p99_us']:>9,.0f}"
        )
    target = results["target"]
    out.append(
        f"  target: with compensation a {target['stiffness']:,.0f} N/m wall, B 0, 1 kHz, settles: "
        + ("met" if target["settles"] else f"MISSED ({target['late_mm']:.3f} mm peak to peak at the end)")
    )
    out.append(
        "  target: the bound never above the measured largest K: "
        + ("met" if not failures else "MISSED: " + "; ".join(failures))
    )
    realtime = all(r["realtime"] for r in rows) and results["simulator_realtime"]
    out.append(
        f"  bound: (b + B) / (2 (T/2 + age)) at the nominal rate; bound now: from the loop's measured "
        f"p99 period and state age. Real-time priority: {'granted' if realtime else 'NOT granted'}. "
        f"{results['seconds']:.0f} s."
    )
    return out
