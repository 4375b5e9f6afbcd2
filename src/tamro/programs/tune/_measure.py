"""What tamro-tune reads from the cycles a loop recorded: the arm's mass and damping along an
axis, whether something holds the arm, how far a wall swings (whether it settles is
``tamro.passivity.settling``). Plain arithmetic on recorded rows (``tamro.RECORD_DTYPE``), apart
from any device."""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

__all__ = ["Fit", "identify", "held_force", "swing"]

Rows = npt.NDArray[np.void]

FIT_WINDOW = 20
"""Cycles each equation of the fit spans: long enough that the velocity's change is well above
its noise, short against the step's own motion."""


@dataclass(frozen=True)
class Fit:
    """The mass (kg) and damping (N s/m) along one axis, the constant force on it (N: gravity
    left over, a hand) and how much of the force the model leaves unexplained (0 to 1)."""

    mass: float
    damping: float
    offset: float
    residual: float


def identify(rows: Rows, axis: int) -> Fit:
    """Fits ``m dv + b dx + c dt = ∫F dt`` over spans of ``FIT_WINDOW`` cycles.

    Each recorded cycle holds the arm's state at the instant its request arrived and the force
    that request carried, which then acts until the next request: so between two states the
    force's impulse is the sum of each cycle's force times the time to the next. Integrated this
    way the fit needs no acceleration, which differentiating a velocity would make noisy."""
    if len(rows) < 2 * FIT_WINDOW:
        raise ValueError(f"too few cycles to fit: {len(rows)}")
    time = rows["time"].astype(np.float64)
    x = rows["position"][:, axis].astype(np.float64)
    v = rows["velocity"][:, axis].astype(np.float64)
    force = rows["force"][:, axis].astype(np.float64)
    impulse = np.concatenate(([0.0], np.cumsum(force[:-1] * np.diff(time))))
    start = np.arange(0, len(rows) - FIT_WINDOW)
    end = start + FIT_WINDOW
    design = np.stack([v[end] - v[start], x[end] - x[start], time[end] - time[start]], axis=1)
    target = impulse[end] - impulse[start]
    solution, *_ = np.linalg.lstsq(design, target, rcond=None)
    left = target - design @ solution
    scale = float(np.linalg.norm(target))
    residual = float(np.linalg.norm(left)) / scale if scale > 0 else math.inf
    mass, damping, offset = (float(value) for value in solution)
    return Fit(mass, damping, offset, residual)


def held_force(rows: Rows, anchor: npt.ArrayLike, stiffness: float) -> tuple[float, float]:
    """What pushes on an arm that a spring of ``stiffness`` at ``anchor`` holds still: the
    spring's mean force (N, its magnitude: whatever the arm rests against) and the largest speed
    (m/s: someone moving it)."""
    offset = rows["position"].astype(np.float64) - np.asarray(anchor, dtype=np.float64)
    pull = stiffness * float(np.linalg.norm(offset.mean(axis=0)))
    speed = float(np.max(np.linalg.norm(rows["velocity"].astype(np.float64), axis=1), initial=0.0))
    return pull, speed


def swing(position: npt.NDArray[np.float64]) -> float:
    """Peak to peak (m) of the positions given: the live check for ringing."""
    return float(np.ptp(position)) if len(position) else 0.0
