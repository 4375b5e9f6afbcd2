"""How stiff a wall the servo loop renders steadily: the bounds to choose stiffness and damping by.

The loop computes each force from the state in the arm's previous reply and the arm holds that
force until the next one. So when a force acts, the state it came from is already old: by the
state's **age** (from the request that brought the state to the request that carries the force:
one period while every exchange succeeds) and, on average, by half the **period** the force is
held for. A virtual spring ``K`` that lags by ``T/2 + age`` pushes energy into the arm as a
negative damping ``K (T/2 + age)`` would, and the arm's own damping ``b`` and the effect's
virtual damping ``B`` must pay for it::

    b + B > K (T/2 + age)          the wall is stable: its ringing dies away
    b + B >= 2 K (T/2 + age)       the bound given here: half the damping is kept

``max_stiffness`` and ``min_damping`` give the second line, which leaves a margin of two in
stiffness for what the model does not know (the arm's own structure, the hand on it).
``stability_limit`` gives the first line's exact counterpart for an arm of known mass, from the
sampled loop's characteristic equation, with or without the delay compensation
(``ServoLoop(..., compensate_delay=True)``, the loop's default). The compensation predicts the
position over the delay and so cancels the first-order share above: its bound
(``max_stiffness(..., compensated=True, mass=...)``) is half that exact limit for the horizon the
loop predicts over, ``T/2 + age``, the same margin of two, and needs the arm's mass. The
derivation, its sources and the sweep on the simulator that checks them are in
docs/servo-loop.md.

The loop as users run it compensates, so that is the bound to choose by; it needs the arm's
mass and damping (``Arm``), which ``tamro-tune`` measures on a real arm and saves for
``Arm.load``. ``Timing.measured`` takes a loop's figures of the last second or so, so a stall
long ago does not lower the bounds for good.

The virtual damping helps only while it is small against the moving mass, ``B (T/2 + age)``
well below ``m``; for the simulated arm (``m`` = 0.25 kg, ``b`` = 2 N s/m) that holds far beyond
the dampings effects need.
"""

from __future__ import annotations

import json
import math
import os
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _native
from ._values import number, whole

__all__ = [
    "Arm",
    "Timing",
    "Settling",
    "max_stiffness",
    "min_damping",
    "settling",
    "stability_limit",
    "SIMULATED_ARM",
]

MAX_ARM_FILE = 1 << 16
"""Bytes: the most ``Arm.load`` reads; a saved arm is a few hundred."""


@dataclass(frozen=True)
class Arm:
    """An arm's own moving mass (kg) and physical damping (N s/m), one figure for every axis.

    ``tamro-tune`` measures them on an arm and saves them (``--save FILE``): ``Arm.load(FILE)``
    reads them back, with whatever else the file holds left aside."""

    mass: float
    damping: float

    def __post_init__(self) -> None:
        if not number(self.mass, "mass") > 0:
            raise ValueError(f"mass must be above 0, not {self.mass!r}")
        if number(self.damping, "damping") < 0:
            raise ValueError(f"damping must be >= 0, not {self.damping!r}")

    def to_json(self) -> dict[str, float]:
        return {"mass": float(self.mass), "damping": float(self.damping)}

    def save(self, path: str | os.PathLike[str], **extra: Any) -> None:
        """Writes the arm as JSON (``{"arm": {"mass": ..., "damping": ...}, ...extra}``)."""
        text = json.dumps({"arm": self.to_json(), **extra}, indent=2, allow_nan=False)
        with open(path, "w", encoding="utf-8") as out:
            out.write(text + "\n")

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> Arm:
        """The arm a file written by ``save`` (or ``tamro-tune --save``) holds. Raises ``ValueError``
        for a file that is too large, not JSON, or without a valid ``arm``."""
        with open(path, "rb") as source:
            data = source.read(MAX_ARM_FILE + 1)
        if len(data) > MAX_ARM_FILE:
            raise ValueError(f"{os.fspath(path)!r} is over {MAX_ARM_FILE} bytes: not a saved arm")
        try:
            arm = json.loads(data.decode("utf-8"))["arm"]
            return cls(mass=arm["mass"], damping=arm["damping"])
        except (UnicodeDecodeError, json.JSONDecodeError, KeyError, TypeError) as error:
            raise ValueError(f"{os.fspath(path)!r} holds no saved arm ({error})") from None


SIMULATED_ARM = Arm(mass=0.25, damping=2.0)
"""The arm ``tamro-simulator`` plays (Simulator/ArmModel.hpp)."""


@dataclass(frozen=True)
class Timing:
    """How a loop delays its forces: ``period``, the longest a force is held (s), ``age``, how
    old the state a force comes from is when the force is sent (s), and ``in_flight``, the
    requests the loop keeps on the line (which lets a compensating loop predict further)."""

    period: float
    age: float
    in_flight: int = 1

    def __post_init__(self) -> None:
        for name in ("period", "age"):
            value = number(getattr(self, name), name)
            if value <= 0:
                raise ValueError(f"{name} must be above 0, not {value!r}")
        if whole(self.in_flight, "in_flight") < 1:
            raise ValueError(f"in_flight must be at least 1, not {self.in_flight!r}")

    @classmethod
    def nominal(cls, rate_hz: float, in_flight: int = 1) -> Timing:
        """A loop that keeps its rate: each force held one period, from a state ``in_flight``
        periods old."""
        rate = number(rate_hz, "rate_hz")
        if rate <= 0:
            raise ValueError(f"rate_hz must be above 0, not {rate!r}")
        return cls(1.0 / rate, whole(in_flight, "in_flight") / rate, in_flight)

    @classmethod
    def measured(cls, stats: Mapping[str, Any], *, recent: bool = True) -> Timing:
        """From a loop's figures (``ServoLoop.stats()``): the 99th percentiles of its period and
        of its state's age, so the rare late cycle counts and a single stall does not. With
        ``recent`` (the default) over the last second or so (``recent_period_p99_us``,
        ``recent_state_age_p99_us``): what the loop does now, not a stall long ago; the figures
        since the start when there are no recent ones. Raises ``ValueError`` before the loop has
        run two cycles."""
        period, age = stats["period_p99_us"], stats["state_age_p99_us"]
        if (
            recent
            and stats.get("recent_period_p99_us", 0) > 0
            and stats.get("recent_state_age_p99_us", 0) > 0
        ):
            period, age = stats["recent_period_p99_us"], stats["recent_state_age_p99_us"]
        if not period > 0 or not age > 0:
            raise ValueError("the loop has no figures yet: it must run at least two cycles")
        return cls(period * 1e-6, age * 1e-6, max(1, int(stats.get("in_flight_max", 1))))

    @property
    def delay(self) -> float:
        """``period / 2 + age``: how far behind the arm a force is, on average, while it acts."""
        return self.period / 2 + self.age

    @property
    def horizon(self) -> float:
        """How far ahead a compensating loop predicts: the delay, but no further than
        ``MAX_PREDICTED_HOLDS`` periods beyond the pipeline's own ``in_flight - 1``, as the
        loop does."""
        furthest = (_native.MAX_PREDICTED_HOLDS + self.in_flight - 1) * self.period
        return min(self.delay, furthest)


def _timing(timing: float | Timing) -> Timing:
    return timing if isinstance(timing, Timing) else Timing.nominal(timing)


def _non_negative(value: float, name: str) -> float:
    result = number(value, name)
    if result < 0:
        raise ValueError(f"{name} must be >= 0, not {result!r}")
    return result


def max_stiffness(
    timing: float | Timing,
    device_damping: float,
    damping: float = 0.0,
    *,
    compensated: bool = False,
    mass: float | None = None,
) -> float:
    """The largest virtual stiffness (N/m) to choose, with a margin of two.

    Uncompensated (the default here): the one that keeps half the damping after the delay's
    share, ``K = (b + B) / (2 (T/2 + age))``.

    ``compensated=True`` is for a loop that predicts the position over the delay
    (``ServoLoop(..., compensate_delay=True)``, the loop's default). The prediction
    ``x + v (age + T/2)`` cancels the delay's first-order share, so the first-order bound says
    nothing; what is left depends on the arm's moving ``mass`` (kg), which must be given. The
    bound is then half of ``stability_limit`` for the same loop with the prediction's horizon
    ``age + T/2`` (``Timing.horizon``: capped as the loop caps it): the sampled loop's exact
    limit, with the same margin of two in stiffness. On the simulator that bound sits between
    half and all of the stiffest wall that settles in every cell of the sweep
    (docs/servo-loop.md), nine to eighteen times the uncompensated bound.

    ``timing`` is a loop rate in Hz (a loop that keeps it: ``Timing.nominal``) or a ``Timing``,
    for example ``Timing.measured(loop.stats())``; ``device_damping`` is the arm's own damping
    ``b`` and ``damping`` the effect's ``B`` (N s/m)."""
    t = _timing(timing)
    b = _non_negative(device_damping, "device_damping")
    total = b + _non_negative(damping, "damping")
    if not compensated:
        return total / (2.0 * t.delay)
    if mass is None:
        raise ValueError("a compensated bound needs the arm's mass")
    arm = Arm(mass=number(mass, "mass"), damping=b)
    return 0.5 * stability_limit(t, arm, damping, horizon=t.horizon)


def min_damping(
    timing: float | Timing,
    device_damping: float,
    stiffness: float,
    *,
    compensated: bool = False,
    mass: float | None = None,
) -> float:
    """The least virtual damping (N s/m) that keeps a stiffness within ``max_stiffness`` (with
    the same ``compensated`` and ``mass``), and 0 when the arm's own damping is enough.

    Uncompensated: ``B = 2 K (T/2 + age) - b``. Compensated: found by bisection on the bound
    (within 1 %); ``math.inf`` when no damping brings the stiffness within it."""
    t = _timing(timing)
    k = _non_negative(stiffness, "stiffness")
    b = _non_negative(device_damping, "device_damping")
    if not compensated:
        return max(0.0, 2.0 * k * t.delay - b)

    def enough(damping: float) -> bool:
        return max_stiffness(t, b, damping, compensated=True, mass=mass) >= k

    if enough(0.0):
        return 0.0
    high = max(1.0, b)
    for _ in range(30):
        bound = max_stiffness(t, b, high, compensated=True, mass=mass)
        if bound >= k:
            break
        if bound == 0.0:  # damping this large is unstable on its own: more only makes it worse
            return math.inf
        high *= 2.0
    else:
        return math.inf
    low = 0.0
    while high - low > 0.01 * high:
        middle = 0.5 * (low + high)
        if enough(middle):
            high = middle
        else:
            low = middle
    return high


def stability_limit(
    timing: float | Timing,
    arm: Arm,
    damping: float = 0.0,
    *,
    horizon: float = 0.0,
) -> float:
    """The stiffness (N/m) at which a sampled wall on this arm stops settling at all.

    Exact for a mass-damper arm (``arm``) whose force is computed from its state ``timing.age``
    before the force is sent and held for ``timing.period``: the largest ``K`` for which every
    root of the loop's characteristic equation lies inside the unit circle. ``horizon`` (s) is
    how far ahead a delay-compensating loop predicts the position (``x + v * horizon``); 0 for
    none. Returns 0 when no stiffness is stable beside this damping.
    """
    t = _timing(timing)
    b = _non_negative(damping, "damping")
    h = _non_negative(horizon, "horizon")
    mass = number(arm.mass, "arm.mass")
    if mass <= 0:
        raise ValueError(f"arm.mass must be above 0, not {mass!r}")
    c = _non_negative(arm.damping, "arm.damping") / mass
    whole_periods = math.floor(t.age / t.period + 1e-9)
    if whole_periods > 100:
        raise ValueError("the state's age must be at most 100 periods")
    fraction = max(0.0, t.age / t.period - whole_periods)

    # The loop's matrix is affine in the stiffness (its velocity gain is K h + b), so a whole
    # row of candidates is one stacked eigenvalue call: the panel asks this on its page's
    # thread, where one scalar bisection (dozens of calls) cost milliseconds.
    base = _loop_matrix(0.0, b, t.period, fraction, whole_periods, mass, c)
    per_stiffness = _loop_matrix(1.0, h + b, t.period, fraction, whole_periods, mass, c) - base

    def first_unstable(stiffnesses: npt.NDArray[np.floating[Any]]) -> int:
        """The index of the first candidate that does not settle (len when all do)."""
        with np.errstate(over="ignore", invalid="ignore"):
            matrices = base + stiffnesses[:, None, None] * per_stiffness
        finite = np.all(np.isfinite(matrices), axis=(1, 2))  # beyond what a float carries: no answer
        stable = np.zeros(len(stiffnesses), dtype=bool)
        if finite.any():
            radius = np.max(np.abs(np.linalg.eigvals(matrices[finite])), axis=1)
            stable[finite] = radius < 1.0
        unstable = np.flatnonzero(~stable)
        return int(unstable[0]) if unstable.size else len(stiffnesses)

    # From the first-order estimate up by doublings until unstable (a few at a time), then
    # narrow the bracket by a grid of candidates a round, to a millionth of where it started.
    start = max(1.0, 2.0 * (arm.damping + b + 1.0) / t.delay)
    if not math.isfinite(start):
        return math.inf
    low = high = 0.0
    for chunk in range(0, 60, 6):
        doublings = start * 2.0 ** np.arange(chunk, chunk + 6)
        first = first_unstable(doublings)
        if first < len(doublings):
            low, high = (float(doublings[first - 1]) if first else low), float(doublings[first])
            break
        low = float(doublings[-1])
    else:
        return math.inf
    width = high - low
    while high - low > 1e-6 * width:
        grid = np.linspace(low, high, 17)[1:-1]
        first = first_unstable(grid)
        if first < len(grid):
            high = float(grid[first])
        if first > 0:
            low = float(grid[first - 1])
    return low


def _mass_damper(h: float, mass: float, c: float) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Over a time h, x'' = (F - c m x') / m: the state's transition and a constant force's
    effect on [x, v]."""
    if c * h < 1e-6:  # series, where the closed form cancels
        g1 = h - c * h * h / 2.0
        g2 = h * h / 2.0 - c * h**3 / 6.0
    else:
        g1 = -math.expm1(-c * h) / c  # the integral of e^(-c s) over [0, h]
        g2 = (h - g1) / c  # the integral of g1
    phi = np.array([[1.0, g1], [0.0, math.exp(-c * h)]])
    gamma = np.array([g2, g1]) / mass
    return phi, gamma


def _loop_matrix(
    stiffness: float, velocity_gain: float, period: float, fraction: float, whole: int, mass: float, c: float
) -> npt.NDArray[np.float64]:
    """The closed loop over one period, on the states at the sampling instants.

    The force made from the state at instant j acts from j + (whole + fraction) periods for
    one period, so over [k, k+1] the force of state k - whole - 1 acts first (for fraction of
    the period) and that of state k - whole after it. State: [s_k, s_k-1, ..., s_k-whole-1].
    """
    phi, _ = _mass_damper(period, mass, c)
    first_phi, _ = _mass_damper((1.0 - fraction) * period, mass, c)
    _, first = _mass_damper(fraction * period, mass, c)
    _, second = _mass_damper((1.0 - fraction) * period, mass, c)
    early = first_phi @ first  # the older force's push, carried to the end of the period
    gain = np.array([stiffness, velocity_gain])  # force = -gain . [x, v]
    blocks = whole + 2
    matrix = np.zeros((2 * blocks, 2 * blocks))
    matrix[0:2, 0:2] = phi
    matrix[0:2, 2 * whole : 2 * whole + 2] -= np.outer(second, gain)
    matrix[0:2, 2 * whole + 2 : 2 * whole + 4] -= np.outer(early, gain)
    for block in range(1, blocks):
        matrix[2 * block : 2 * block + 2, 2 * block - 2 : 2 * block] = np.eye(2)
    return matrix


@dataclass(frozen=True)
class Settling:
    """A wall's trial: its ringing (peak to peak, m) early and late, and whether it settled."""

    early: float
    late: float
    settles: bool


SETTLING_EARLY = (0.1, 0.3)
"""s after the push: the window of the ringing a wall starts with."""
SETTLING_LATE = 0.2
"""s: the window at the end of a trial."""


def settling(time: npt.NDArray[np.float64], position: npt.NDArray[np.float64], depth: float) -> Settling:
    """Whether a wall settles, the criterion of the stability sweep and of ``tamro-tune``: from
    the position along the wall's normal against the time since a constant push into it began,
    its ringing at least halves from ``SETTLING_EARLY`` to the trial's last ``SETTLING_LATE``, or
    is by then under 1 % of the rest ``depth`` (the push over the stiffness). A trial too short
    for both windows does not settle."""
    end = float(time[-1]) if len(time) else 0.0
    early = position[(time > SETTLING_EARLY[0]) & (time < SETTLING_EARLY[1])]
    late = position[time > end - SETTLING_LATE]
    if not len(early) or not len(late) or end < SETTLING_EARLY[1] + SETTLING_LATE:
        return Settling(math.nan, math.nan, False)
    before, after = float(np.ptp(early)), float(np.ptp(late))
    return Settling(before, after, after <= 0.5 * before or after < 0.01 * depth)
