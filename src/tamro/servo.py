"""The servo loop: a native thread that drives one arm at a fixed rate and renders effects.

::

    with tamro.ServoLoop("/dev/ttyACM0", rate_hz=1000.0) as loop:   # opens, wakes; the block starts it
        wall = tamro.Plane(point=(0, 0, -0.02), normal=(0, 0, 1), stiffness=2000.0, damping=5.0)
        loop.effects = [wall]
        print(loop.state().position, loop.stats()["rate_hz"])

Every cycle the loop computes the force of its effects at the last state, clamps it to
``max_force`` (a sum that is not finite is sent as zero), runs the force exchange and publishes
the new state. No Python code runs per cycle: Python sets effect parameters and reads state,
figures and records at its own pace, and the loop never waits for it.
"""

from __future__ import annotations

import math
import os
import uuid
import warnings
import weakref
from collections.abc import Iterable
from dataclasses import dataclass
from typing import TypedDict

import numpy as np
import numpy.typing as npt

from . import _native
from ._loop import NativeLoop
from ._values import frozen_array, number, whole
from .effects import Effect, _changes

__all__ = [
    "ServoLoop",
    "State",
    "DeviceInfo",
    "ServoStats",
    "RECORD_DTYPE",
    "MAX_IN_FLIGHT",
    "MAX_DEVICE_FORCE",
    "GUARD_SILENCE",
    "in_flight_for",
]

RECORD_DTYPE = np.dtype(
    [
        ("cycle", "<u8"),
        ("time", "<f8"),
        ("position", "<f8", (3,)),
        ("velocity", "<f8", (3,)),
        ("force", "<f8", (3,)),
    ]
)
"""The rows ``drain()`` returns: one per cycle."""

MAX_EFFECTS: int = _native.MAX_EFFECTS
MAX_IN_FLIGHT: int = _native.MAX_IN_FLIGHT
#: The largest ``max_force`` a loop accepts, newtons.
MAX_DEVICE_FORCE: float = _native.MAX_DEVICE_FORCE
#: Seconds a running loop's thread may go without a sign of life before its guard sends zero force.
GUARD_SILENCE: float = _native.GUARD_SILENCE


# The share of each period a round trip may fill: the rest is the cycle's own work and how late
# the system wakes the loop.
_PERIOD_SHARE = 0.9


def in_flight_for(round_trip: float, rate_hz: float = 1000.0) -> int | None:
    """The smallest ``in_flight`` that holds ``rate_hz`` over a link whose round trip (seconds;
    give its p99) is ``round_trip``, or None when not even ``MAX_IN_FLIGHT`` does.

    A pipeline of n requests waits for a reply only once n are on the line, so it keeps its
    schedule while the round trip fits in n periods, less what the cycle itself takes.
    """
    round_trip = number(round_trip, "round_trip")
    rate_hz = number(rate_hz, "rate_hz")
    if round_trip < 0 or rate_hz <= 0:
        raise ValueError("round_trip must be at least 0 and rate_hz above 0")
    needed = max(1, math.ceil(round_trip * rate_hz / _PERIOD_SHARE - 1e-9))  # 0.9 ms fits in 1
    return needed if needed <= MAX_IN_FLIGHT else None


class DeviceInfo(TypedDict):
    device_id: int
    device_model_number: int
    hardware_version: int
    firmware_version: int
    device_id_ext: uuid.UUID


class ServoStats(TypedDict):
    cycles: int
    rate_hz: float
    period_p50_us: float
    period_p99_us: float
    period_max_us: float
    late_cycles: int
    longest_late_run: int
    exchange_p50_us: float
    exchange_p99_us: float
    exchange_max_us: float
    state_age_p50_us: float
    state_age_p99_us: float
    longest_stall_us: float
    recent_period_p99_us: float
    recent_state_age_p99_us: float
    wake_late_max_us: float
    in_flight_mean: float
    in_flight_max: int
    resyncs: int
    guard_firings: int
    failed_exchanges: int
    non_finite_forces: int
    clamped_forces: int
    dropped_records: int
    realtime: bool
    coupling_energy_observed_j: float
    coupling_energy_dissipated_j: float
    contact_p99_us: float
    contact_max_us: float


@dataclass(frozen=True)
class State:
    """One cycle of the loop: its number (0 before the first reply), when the arm's reply came
    (seconds on the ``time.monotonic()`` clock), the arm's position and velocity in that reply,
    and the force that cycle sent. The arrays are read-only."""

    cycle: int
    time: float
    position: npt.NDArray[np.float64]
    velocity: npt.NDArray[np.float64]
    force: npt.NDArray[np.float64]


_realtime_refusal_said = False


class ServoLoop(NativeLoop):
    """A native servo loop on one arm.

    ``ServoLoop(port, *, rate_hz=1000.0, max_force=10.0, realtime=False, fault_timeout=0.05,
    max_faults=3, compensate_delay=True, in_flight=1, guard=True)`` opens the port and wakes the arm,
    waiting up to a second for its answer, but does not start the loop, so effects can be in
    place before the first cycle; ``start()`` (or entering a ``with`` block) starts it.
    ``rate_hz=None`` runs free, as fast as the arm answers. ``compensate_delay`` renders the
    effects where the arm will be while each force acts.

    ``in_flight`` (1 to ``MAX_IN_FLIGHT``) is how many requests may be on the line at once. With
    1 each cycle waits for its reply, so a round trip of about a period or more slows the loop;
    with 2 or 3 a cycle sends its request on schedule while earlier replies are still on
    their way, and makes its force from the newest state that has arrived, which is then older
    (``stats()["state_age_p50_us"]``). Replies are matched to requests in order, each within its
    own ``fault_timeout``; a failure ends the pipeline until the arm has answered a wake-up
    again. ``tamro-doctor`` says which value holds 1 kHz on a port; docs/servo-loop.md says
    what an older state costs.

    Raises ``OSError`` (with errno and path) when the port cannot be opened or the device
    answers as another model (``ENODEV``), ``TimeoutError`` when no arm answers the wake-up,
    ``ValueError``/``TypeError`` for invalid arguments. A loop that gives up on its arm
    (``max_faults`` failed exchanges in a row; each waits at most ``fault_timeout`` seconds)
    stops, sends zero force once more, and keeps the reason as ``fault``; the next ``state()``,
    ``start()`` or assignment to ``effects`` raises it as ``tamro.DeviceFault``, while
    ``stats()``, ``drain()`` and ``close()`` still work. A reply always answers its own request:
    after a failure the loop re-pairs with the wake-up as a barrier before it trusts one again,
    so an arm that is always late latches too (within ``(2 * max_faults - 1) * fault_timeout``).

    ``guard`` (on unless turned off) runs a dead-man beside the loop: a small process of its own
    that holds the port and writes a zero-force request when the loop's thread, while running,
    has shown no sign of life for ``GUARD_SILENCE`` seconds (the process frozen, stopped or
    stuck), or at once when the process dies, ``kill -9`` included. The arm keeps that zero
    until the loop resumes, re-pairs with the wake-up and renders from a fresh state
    (``stats()["guard_firings"]`` counts them). ``close()`` releases and reaps it. It cannot
    help when the machine or the cable fails, or when it is killed itself: docs/servo-loop.md.

    ``record(capacity)`` and ``drain()`` give every cycle (``RECORD_DTYPE``): see ``NativeLoop``.
    ``stop()``, ``close()``, leaving the ``with`` block and the end of the interpreter cut the
    exchange in flight short and send one zero-force request, waiting for its reply 0.1 s at
    most, before they return. ``realtime=True`` asks for SCHED_FIFO scheduling and
    locked memory; when the system refuses, the loop runs at normal priority, a
    ``RuntimeWarning`` says how to allow it, and ``stats()["realtime"]`` is False.
    """

    _record_dtype = RECORD_DTYPE
    _what = "servo loop"

    def __init__(
        self,
        port: str | os.PathLike[str],
        *,
        rate_hz: float | None = 1000.0,
        max_force: float = 10.0,
        realtime: bool = False,
        fault_timeout: float = 0.05,
        max_faults: int = 3,
        compensate_delay: bool = True,
        in_flight: int = 1,
        guard: bool = True,
    ) -> None:
        if rate_hz is not None:
            rate_hz = number(rate_hz, "rate_hz")
        for name, value in (("realtime", realtime), ("compensate_delay", compensate_delay), ("guard", guard)):
            if not isinstance(value, bool):
                raise TypeError(f"{name} must be True or False, not {type(value).__name__}")
        max_faults = whole(max_faults, "max_faults")
        in_flight = whole(in_flight, "in_flight")
        super().__init__()
        self._effects: list[Effect] = []
        self._native = _native.ServoLoop(
            os.fspath(port),
            rate_hz,
            number(max_force, "max_force"),
            realtime,
            number(fault_timeout, "fault_timeout"),
            max_faults,
            compensate_delay,
            in_flight,
            guard,
        )
        self._max_force = float(max_force)
        device_id, model, hardware, firmware, identifier = self._native.info()
        self._info = DeviceInfo(
            device_id=device_id,
            device_model_number=model,
            hardware_version=hardware,
            firmware_version=firmware,
            device_id_ext=uuid.UUID(bytes=identifier),
        )
        self._opened()

    # --- identity and settings ---------------------------------------------------------------

    @property
    def device_info(self) -> DeviceInfo:
        """The arm's answer to the wake-up (a copy)."""
        return DeviceInfo(**self._info)

    @property
    def max_force(self) -> float:
        """The largest force magnitude sent; larger sums are scaled down to it."""
        return self._max_force

    @max_force.setter
    def max_force(self, newtons: float) -> None:
        value = number(newtons, "max_force")
        self._native.set_max_force(value)
        self._max_force = value

    @property
    def in_flight(self) -> int:
        """How many requests may be on the line at once."""
        return int(self._native.in_flight)

    @property
    def guard(self) -> bool:
        """Whether a guard process sends zero force when this loop falls silent or its process dies."""
        return bool(self._native.guard)

    @property
    def compensate_delay(self) -> bool:
        """Whether effects are rendered at the position predicted for when the force acts."""
        return bool(self._native.compensate_delay)

    # --- running -------------------------------------------------------------------------------

    def start(self) -> None:
        """Starts the loop's thread (nothing happens when it runs already)."""
        with self._lock:
            self._raise_fault()
            self._refuse_closed()
            if not self._native.start():
                self._raise_fault()
        self._say_realtime_refusal()

    def stop(self) -> None:
        """Stops the loop after one zero-force request (about 0.1 s at most, whatever the arm
        does); ``start()`` runs it again."""
        self._native.stop()

    def close(self) -> None:
        """Stops the loop, sends zero force, closes the port and frees the effects for other
        loops. Never raises for a fault; closing twice does nothing."""
        super().close()

    def _after_close(self) -> None:
        for effect in self._effects:
            effect._owner = None

    # --- effects ---------------------------------------------------------------------------------

    @property
    def effects(self) -> list[Effect]:
        """The effects the loop renders, in order (a copy of the list). Assign a new list to
        change the set; it reaches the loop whole at its next cycle."""
        with self._lock:
            return list(self._effects)

    @effects.setter
    def effects(self, effects: Iterable[Effect]) -> None:
        chosen = list(effects)
        for effect in chosen:
            if not isinstance(effect, Effect):
                raise TypeError(f"effects must be tamro effects, not {type(effect).__name__}")
        if len({id(e) for e in chosen}) != len(chosen):
            raise ValueError("an effect appears twice in the list")
        if len(chosen) > MAX_EFFECTS:
            raise ValueError(f"at most {MAX_EFFECTS} effects, not {len(chosen)}")
        # The parameters' lock first, as a parameter change takes it before this loop's: a change
        # made meanwhile either comes before the natives are read here or finds its owner set.
        with _changes, self._lock:
            self._raise_fault()
            self._refuse_closed()
            for effect in chosen:
                owner = effect._owner() if effect._owner is not None else None
                if owner is not None and owner is not self:
                    raise ValueError(f"{effect!r} belongs to another servo loop: remove it there first")
            self._native.set_effects([e._native for e in chosen], [e._key for e in chosen])
            for effect in self._effects:
                effect._owner = None
            for effect in chosen:
                effect._owner = weakref.ref(self)
            self._effects = chosen

    def _effect_changed(self) -> None:
        with self._lock:
            if not self._closed:
                self._native.set_effects([e._native for e in self._effects], [e._key for e in self._effects])

    # --- reading -------------------------------------------------------------------------------

    def state(self) -> State:
        """The latest cycle, without waiting for the loop."""
        self._raise_fault()
        cycle, time, position, velocity, force = self._native.state()
        return State(cycle, time, frozen_array(position), frozen_array(velocity), frozen_array(force))

    def stats(self) -> ServoStats:
        """The loop's timing figures and counters since it was last started."""
        figures: ServoStats = self._native.stats()
        return figures

    # --- context and life ------------------------------------------------------------------------

    def __enter__(self) -> ServoLoop:
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def __repr__(self) -> str:
        status = self._status()
        rate = "free-running" if self.rate_hz is None else f"{self.rate_hz:g} Hz"
        return f"<tamro.ServoLoop {self.port} {rate} {status}, {len(self._effects)} effects>"

    # --- helpers ---------------------------------------------------------------------------------

    def _say_realtime_refusal(self) -> None:
        global _realtime_refusal_said
        requested, granted, message = self._native.realtime()
        if requested and message and not _realtime_refusal_said:
            _realtime_refusal_said = True
            warnings.warn(message, RuntimeWarning, stacklevel=3)
