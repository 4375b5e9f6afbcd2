"""tamro-tune: measures the arm it runs on and finds the stiffest wall that settles on it.

First, with the arm at rest and nobody holding it, a spring at its position: an arm that rests
against something or is moved is refused. Then, along each axis, two small steps of that
spring's anchor (``STEP`` metres, ``ID_STIFFNESS * STEP`` newtons at most): from the cycles the
loop records, a fit of ``m dv + b dx = ∫F dt`` gives the arm's effective mass and damping.
Then, along the axis whose bound is lowest, the wall trials of the stability sweep (a wall at
the arm's rest position, a constant ``PUSH`` into it; it settles when its ringing at least halves
within a second): from the compensated bound of the fitted arm up by doublings to the first
that rings, then halving the bracket, with and without delay compensation. A trial whose ringing
passes ``RING_STOP`` is ended at once with zero force. Every force goes through a loop whose
``max_force`` is ``FORCE_CAP``: the loop clamps anything above it.

Ctrl-C or SIGTERM ends at once with zero force. See docs/servo-loop.md.

Exit status: 0 when measured, 1 when refused (the arm held) or a fault or a stop ended it, 2 for
a usage error.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import math
import os
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import asdict, dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from tamro import (
    ConstantForce,
    DeviceFault,
    Plane,
    ServoLoop,
    Simulator,
    Spring,
    detect_arms,
    passivity,
)
from tamro.passivity import Settling, settling
from tamro.terminal import shown

from .._cli import Signals, on_signals, rate
from ._measure import Fit, held_force, identify, swing

__all__ = ["main", "run", "Result", "FORCE_CAP", "Stopped", "Refused"]

FORCE_CAP = 4.0
"""N: the loop's ``max_force`` throughout: no force the program makes is sent above it."""
STEP = 0.005  # m: each identification step
ID_STIFFNESS = 200.0  # N/m: the identification spring (1 N at a step)
ID_DAMPING = 1.0  # N s/m: so that a light arm's steps die away within the step's time
STEP_SECONDS = 0.6
HELD_FORCE = 0.3  # N: more than this on the arm at rest and it is held (or rests on something)
HELD_SPEED = 0.02  # m/s: faster than this at rest and someone moves it
PUSH = 2.0  # N: into each trial's wall
SETTLE = 1.2  # s: each trial after the push
RESET_SECONDS = 0.3  # the stiff, damped spring that brings the arm to rest before each trial
RESET_SPRING = (400.0, 20.0)  # N/m, N s/m
RING_STOP = 0.005  # m: a trial whose ringing passes this beyond the approach is ended at once
MAX_STIFFNESS = 100_000.0  # N/m: the search goes no higher
BISECTIONS = 4  # halvings of the bracket's ratio: within 2^(1/16), about 4.4 %
ANNOUNCE_SECONDS = 3.0  # a real arm waits this long after the announcement before it moves
HOLE_PERIODS, HOLE_SECONDS = 10, 0.02  # a longer hole between two cycles: the trial is run again
ATTEMPTS = 3
KEPT_RATE = 1.5  # periods: a loop whose p99 period is longer did not keep its rate
AXES = "xyz"
SLICE = 0.05  # s: how often a trial looks at its cycles


class Stopped(Exception):
    """Ctrl-C or SIGTERM: the arm has been left at zero force."""


class Refused(Exception):
    """The arm is held, or rests on something: nothing was measured."""


@dataclass
class Search:
    compensated: bool
    bound: float
    largest_settling: float = 0.0
    edge: str = ""  # "<" or ">=" when at the search's end, else ""
    trials: list[dict[str, Any]] = field(default_factory=list)
    period_p99_us: float = 0.0  # the loop's, over the search: did it keep its rate?
    kept_rate: bool = True


@dataclass
class Result:
    port: str
    rate_hz: float
    force_cap_n: float
    axes: dict[str, Fit]
    arm: passivity.Arm
    search_axis: str
    searches: list[Search]

    def to_json(self) -> dict[str, Any]:
        return {
            "port": self.port,
            "rate_hz": self.rate_hz,
            "force_cap_n": self.force_cap_n,
            "axes": {name: _finite(asdict(fit)) for name, fit in self.axes.items()},
            "arm": self.arm.to_json(),
            "search_axis": self.search_axis,
            "stiffness": {
                ("compensated" if s.compensated else "uncompensated"): asdict(s) for s in self.searches
            },
        }


def _finite(values: dict[str, Any]) -> dict[str, Any]:
    """Figures as JSON carries them: a number that is not finite (nothing measured) as null."""
    return {k: None if isinstance(v, float) and not math.isfinite(v) else v for k, v in values.items()}


class _Run:
    """One loop's session on the arm: every wait cut short by a stop."""

    def __init__(self, loop: ServoLoop, signals: Signals | None) -> None:
        self.loop = loop
        self.signals = signals
        loop.record(1 << 15)
        # Every anchor is where the arm is: never before its first reply.
        for _ in range(100):
            if loop.state().cycle > 0:
                break
            self.wait(0.01)
        else:
            raise Refused("the arm sent no state within a second")

    def wait(self, seconds: float) -> None:
        if self.signals is None:
            time.sleep(seconds)
        elif self.signals.stop.wait(seconds):
            self.loop.effects = []
            raise Stopped

    def origin(self) -> npt.NDArray[np.float64]:
        return np.asarray(self.loop.state().position, dtype=np.float64)

    def hold_at(self, anchor: npt.NDArray[np.float64], seconds: float) -> Any:
        self.loop.effects = [Spring(anchor=tuple(anchor), stiffness=ID_STIFFNESS, damping=ID_DAMPING)]
        self.wait(seconds)
        return self.loop.drain()

    def check_unheld(self) -> tuple[float, float]:
        anchor = self.origin()
        self.hold_at(anchor, 0.3)  # settle
        rows = self.hold_at(anchor, 0.3)
        pull, speed = held_force(rows, anchor, ID_STIFFNESS)
        if pull > HELD_FORCE or speed > HELD_SPEED:
            self.loop.effects = []
            raise Refused(
                f"something holds the arm: {pull:.2f} N on it at rest (at most {HELD_FORCE:g}), "
                f"moving at up to {speed * 1e3:.0f} mm/s (at most {HELD_SPEED * 1e3:.0f}). Let go of it "
                "and run again."
            )
        return pull, speed

    def identify(self, axis: int) -> Fit:
        anchor = self.origin()
        self.hold_at(anchor, 0.2)
        moved = anchor.copy()
        moved[axis] += STEP
        rows = [self.hold_at(moved, STEP_SECONDS), self.hold_at(anchor, STEP_SECONDS)]
        return identify(np.concatenate(rows), axis)

    def trial(self, stiffness: float, axis: int, origin: npt.NDArray[np.float64]) -> Settling:
        """One wall, run again (up to ``ATTEMPTS`` in all) while the machine held the loop
        through part of it: a hole of ``HOLE_PERIODS`` periods or ``HOLE_SECONDS`` rings any wall."""
        hole = max(HOLE_SECONDS, HOLE_PERIODS / self.loop.rate_hz if self.loop.rate_hz else 0.0)
        for _ in range(ATTEMPTS - 1):
            outcome, gap = self.attempt(stiffness, axis, origin)
            if gap <= hole:
                return outcome
        return self.attempt(stiffness, axis, origin)[0]

    def attempt(self, stiffness: float, axis: int, origin: npt.NDArray[np.float64]) -> tuple[Settling, float]:
        loop = self.loop
        loop.effects = [Spring(anchor=tuple(origin), stiffness=RESET_SPRING[0], damping=RESET_SPRING[1])]
        self.wait(RESET_SECONDS)
        surface = tuple(float(v) for v in loop.state().position)
        normal = tuple(1.0 if i == axis else 0.0 for i in range(3))
        loop.drain()
        pushed = time.monotonic()
        loop.effects = [
            Plane(point=surface, normal=normal, stiffness=stiffness, damping=0.0),
            ConstantForce(tuple(-PUSH * n for n in normal)),
        ]
        times: list[npt.NDArray[np.float64]] = []
        positions: list[npt.NDArray[np.float64]] = []
        deadline = pushed + SETTLE + 5.0  # a stalled machine delays the cycles, not the trial
        while time.monotonic() < deadline:
            self.wait(SLICE)
            rows = loop.drain()
            if not len(rows):
                continue
            times.append(rows["time"].astype(np.float64) - pushed)
            positions.append(rows["position"][:, axis].astype(np.float64))
            after, where = np.concatenate(times), np.concatenate(positions)
            # Beyond the approach to rest (up to twice the rest depth, undamped), by RING_STOP.
            if swing(where[after > 0.1]) > RING_STOP + 2 * PUSH / stiffness:
                loop.effects = []  # ringing: zero force at once
                return Settling(math.nan, swing(where[after > 0.1]), False), 0.0
            if after[-1] >= SETTLE:
                break
        if not times:  # no cycle came back: a fault, which the next look at the loop raises
            return Settling(math.nan, math.nan, False), math.inf
        after, where = np.concatenate(times), np.concatenate(positions)
        kept = after <= SETTLE
        gap = float(np.max(np.diff(np.concatenate(([0.0], after[kept]))), initial=SETTLE))
        return settling(after[kept], where[kept], PUSH / stiffness), gap


def _largest_settling(try_one: Callable[[float], Settling], search: Search) -> None:
    """Up from the bound by doublings to the first wall that rings (down by halvings when the
    bound itself rings), then the bracket halved ``BISECTIONS`` times on a geometric scale."""

    def settles(stiffness: float) -> bool:
        outcome = try_one(stiffness)
        search.trials.append({"stiffness": stiffness, **_finite(asdict(outcome))})
        return outcome.settles

    low, high = 0.0, 0.0
    stiffness = min(search.bound, MAX_STIFFNESS)
    if settles(stiffness):
        low = stiffness
        while high == 0.0:
            if low * 2 > MAX_STIFFNESS:
                search.largest_settling, search.edge = low, ">="
                return
            if settles(low * 2):
                low *= 2
            else:
                high = low * 2
    else:
        high = stiffness
        for _ in range(4):
            if settles(high / 2):
                low = high / 2
                break
            high /= 2
        else:
            search.largest_settling, search.edge = high, "<"
            return
    for _ in range(BISECTIONS):
        middle = math.sqrt(low * high)
        if settles(middle):
            low = middle
        else:
            high = middle
    search.largest_settling = low


def run(
    port: str,
    rate_hz: float = 1000.0,
    *,
    signals: Signals | None = None,
    realtime: bool = False,
    say: Callable[[str], None] = print,
    open_loop: Callable[..., ServoLoop] | None = None,
) -> Result:
    """Measures the arm on ``port``: see the module's text. ``open_loop`` makes each loop (as
    ``ServoLoop`` takes its arguments; ``ServoLoop`` itself by default). Raises ``Refused``,
    ``Stopped`` or ``DeviceFault``."""
    if open_loop is None:
        open_loop = ServoLoop
    options: dict[str, Any] = {"rate_hz": rate_hz, "max_force": FORCE_CAP, "realtime": realtime}
    fits: dict[str, Fit] = {}
    searches: list[Search] = []
    with open_loop(port, compensate_delay=True, **options) as loop:
        session = _Run(loop, signals)
        session.check_unheld()
        for axis, name in enumerate(AXES):
            fits[name] = session.identify(axis)
            fit = fits[name]
            say(f"  {name}: mass {fit.mass:.3f} kg, damping {fit.damping:.2f} N s/m")
        bad = [n for n, f in fits.items() if not (f.mass > 0 and f.damping >= 0 and math.isfinite(f.mass))]
        if bad:
            raise Refused(f"the fit along {', '.join(bad)} is not an arm's (a mass or damping below 0)")
        timing = passivity.Timing.nominal(rate_hz)

        def bound(fit: Fit, compensated: bool) -> float:
            return passivity.max_stiffness(timing, fit.damping, compensated=compensated, mass=fit.mass)

        search_axis = min(fits, key=lambda n: bound(fits[n], True))
        chosen = fits[search_axis]
        arm = passivity.Arm(mass=chosen.mass, damping=chosen.damping)
        axis = AXES.index(search_axis)
        origin = session.origin()
        say(f"  walls along {search_axis}, compensated:")
        searches.append(Search(True, bound(chosen, True)))
        _largest_settling(lambda k: _said(session.trial(k, axis, origin), k, say), searches[-1])
        loop.effects = []
        _timing_of(loop, searches[-1])
    with open_loop(port, compensate_delay=False, **options) as loop:
        session = _Run(loop, signals)
        say(f"  walls along {search_axis}, not compensated:")
        searches.append(Search(False, bound(chosen, False)))
        _largest_settling(lambda k: _said(session.trial(k, axis, origin), k, say), searches[-1])
        loop.effects = []
        _timing_of(loop, searches[-1])
    return Result(port, rate_hz, FORCE_CAP, fits, arm, search_axis, searches)


def _timing_of(loop: ServoLoop, search: Search) -> None:
    """Whether the loop kept its rate through the search: the walls a machine held the loop
    through say more about the machine than about the arm."""
    search.period_p99_us = float(loop.stats()["period_p99_us"])
    if loop.rate_hz:
        search.kept_rate = search.period_p99_us <= KEPT_RATE * 1e6 / loop.rate_hz


def _said(outcome: Settling, stiffness: float, say: Callable[[str], None]) -> Settling:
    verdict = "settles" if outcome.settles else "rings"
    say(f"    {stiffness:>9,.0f} N/m {verdict}")
    return outcome


def table(result: Result) -> list[str]:
    head = f"tamro-tune on {shown(result.port)} at {result.rate_hz:g} Hz"
    out = [f"{head} (forces capped at {result.force_cap_n:g} N)"]
    out.append(f"  {'axis':<5} {'mass kg':>8} {'damping N s/m':>14} {'offset N':>9} {'misfit':>7}")
    for name, fit in result.axes.items():
        out.append(
            f"  {name:<5} {fit.mass:>8.3f} {fit.damping:>14.2f} {fit.offset:>9.3f} {fit.residual:>7.1%}"
        )
    out.append(f"  largest wall (N/m, B 0) that settles along {result.search_axis}:")
    out.append(f"  {'':<16} {'bound':>8} {'settles':>10} {'trials':>7}")
    for search in result.searches:
        name = "compensated" if search.compensated else "not compensated"
        measured = f"{search.edge}{search.largest_settling:,.0f}"
        out.append(f"  {name:<16} {search.bound:>8,.0f} {measured:>10} {len(search.trials):>7}")
        if not search.kept_rate:
            out.append(
                f"    the loop ran late (p99 period {search.period_p99_us / 1e3:.1f} ms): this machine held "
                "it, so the walls say more about the machine; run again with --realtime or when it is quieter"
            )
    arm = result.arm
    out.append(f"  the arm to use: tamro.passivity.Arm(mass={arm.mass:.3g}, damping={arm.damping:.3g})")
    return out


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tamro-tune",
        description="Measure the arm's mass and damping with small steps, then find the stiffest "
        "wall that settles on it with and without delay compensation.",
        epilog=f"The arm moves by {STEP * 1e3:g} mm steps and pushes into walls with {PUSH:g} N; no force "
        f"above {FORCE_CAP:g} N is sent. Let go of the arm first. Ctrl-C stops at once with zero "
        "force. Exit status: 0 measured, 1 refused or stopped, 2 usage error. See docs/servo-loop.md.",
    )
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--port", help="the arm's serial port (default: the first attached arm)")
    where.add_argument("--simulate", action="store_true", help="start the simulator and tune its arm")
    parser.add_argument("--rate", type=rate, default=1000.0, help="the loop's rate in Hz (default 1000)")
    parser.add_argument(
        "--realtime",
        action="store_true",
        help="run the loop (and the simulator, with --simulate) at real-time priority",
    )
    parser.add_argument("--json", action="store_true", help="print the result as one JSON document")
    parser.add_argument("--save", metavar="FILE", help="write the result (tamro.passivity.Arm.load reads it)")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)

    def say(line: str) -> None:
        print(line, file=sys.stderr, flush=True)

    simulator = Simulator(arms=1, handles=0) if args.simulate else None
    if simulator is not None and args.realtime:
        # Below the loop's priority, so the simulated arm answers on time as a real one does.
        with contextlib.suppress(OSError):
            os.sched_setscheduler(simulator.process.pid, os.SCHED_FIFO, os.sched_param(70))
    try:
        port = simulator.arms[0] if simulator is not None else args.port
        if port is None:
            arms = detect_arms()
            if not arms:
                say("tamro-tune: no arm attached (--port PORT names one, --simulate uses the simulator)")
                return 1
            port = arms[0]
        say(
            f"tamro-tune: about to move the arm on {shown(port)}: steps of {STEP * 1e3:g} mm "
            f"({ID_STIFFNESS * STEP:g} N at most), then walls pushed with {PUSH:g} N; no force above "
            f"{FORCE_CAP:g} N. Hands off the arm; Ctrl-C stops at once."
        )
        with on_signals() as signals:
            if simulator is None and signals.stop.wait(ANNOUNCE_SECONDS):
                return 1
            try:
                result = run(port, args.rate, signals=signals, realtime=args.realtime, say=say)
            except Stopped:
                say("tamro-tune: stopped; the arm is at zero force")
                return 1
            except Refused as refusal:
                say(f"tamro-tune: refused: {refusal}")
                return 1
            except (DeviceFault, OSError) as fault:
                say(f"tamro-tune: the arm failed: {shown(str(fault))}")
                return 1
    finally:
        if simulator is not None:
            simulator.stop()
    if args.save:
        try:
            result.arm.save(args.save, tune=result.to_json())
        except OSError as error:
            say(f"tamro-tune: cannot save to {shown(args.save)}: {shown(error.strerror or str(error))}")
            print("\n".join(table(result)))
            return 1
    if args.json:
        print(json.dumps(result.to_json(), indent=2, allow_nan=False))
    else:
        print("\n".join(table(result)))
    return 0
