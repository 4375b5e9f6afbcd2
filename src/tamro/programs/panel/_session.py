"""What the panel drives and shows: the devices, the effects by id, the recording and the
figures sent to the page. Nothing here waits on a device: it reads the loop's and the reader's
latest values and hands effect changes to them, as any Python program would."""

from __future__ import annotations

import contextlib
import functools
import inspect
import io
import itertools
import math
import os
import tempfile
from collections import deque
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from tamro import (
    HANDLE_RECORD_DTYPE,
    RECORD_DTYPE,
    DeviceFault,
    HandleReader,
    ServoLoop,
    Simulator,
    passivity,
    save_mcap,
)
from tamro import effects as _effects

__all__ = ["KINDS", "Session", "Refused", "DEFAULT_DEVICE_DAMPING", "guidance"]

DEFAULT_DEVICE_DAMPING = passivity.SIMULATED_ARM.damping
"""N s/m: the simulated arm's own damping, the panel's default for the bounds."""


def guidance(
    timing: passivity.Timing, arm: passivity.Arm, stiffness: float, damping: float, *, compensated: bool
) -> dict[str, Any]:
    """The bounds beside an effect's stiffness and damping, for a loop with this timing on this
    arm, with or without delay compensation: ``{"stiffness": {"most", "outside"}, "damping":
    {"least", "outside"}}``; a bound beyond any float is left out (JSON cannot carry it)."""
    # The figures move a little every tick: coarsened, the same loop gives the same answer from
    # the cache instead of a new eigenvalue search (milliseconds each, on the page's thread).
    key = (_coarse(timing.period), _coarse(timing.age), timing.in_flight, arm, compensated)
    most = _most(*key, float(damping))
    out: dict[str, Any] = {}
    if math.isfinite(most):
        out["stiffness"] = {"most": most, "outside": stiffness > most}
    least = _least(*key, float(stiffness)) if stiffness > most or not compensated else 0.0
    if math.isfinite(least):
        out["damping"] = {"least": least, "outside": damping < least}
    return out


def _coarse(seconds: float) -> float:
    """Three significant digits, rounded up: a longer period or age only lowers a bound, so the
    guidance is never made less cautious."""
    if not (math.isfinite(seconds) and seconds > 0):
        return seconds
    scale = 10.0 ** (math.floor(math.log10(seconds)) - 2)
    return math.ceil(seconds / scale - 1e-9) * scale


def _bound_timing(period: float, age: float, in_flight: int) -> passivity.Timing:
    return passivity.Timing(max(period, 1e-6), max(age, 1e-6), in_flight)


@functools.lru_cache(maxsize=256)
def _most(
    period: float, age: float, in_flight: int, arm: passivity.Arm, compensated: bool, damping: float
) -> float:
    t = _bound_timing(period, age, in_flight)
    return passivity.max_stiffness(t, arm.damping, damping, compensated=compensated, mass=arm.mass)


@functools.lru_cache(maxsize=256)
def _least(
    period: float, age: float, in_flight: int, arm: passivity.Arm, compensated: bool, stiffness: float
) -> float:
    t = _bound_timing(period, age, in_flight)
    return passivity.min_damping(t, arm.damping, stiffness, compensated=compensated, mass=arm.mass)


# What a new effect of each kind starts with: harmless at the workspace's centre (the simulated
# workspace is the cube of +-0.1 m), and within the bounds on the simulated arm at 1 kHz even
# when a loaded machine runs the loop a millisecond or two late (docs/servo-loop.md). The other
# parameters take the classes' own defaults.
_STARTING_VALUES: dict[str, dict[str, Any]] = {
    "spring": {"anchor": (0.0, 0.0, 0.0), "stiffness": 100.0, "damping": 1.0},
    "damper": {"damping": 1.0},
    "plane": {"point": (0.0, 0.0, -0.05), "normal": (0.0, 0.0, 1.0), "stiffness": 500.0, "damping": 2.0},
    "sphere": {"center": (0.05, 0.0, 0.0), "radius": 0.03, "stiffness": 500.0, "damping": 2.0},
    "box": {
        "lower": (-0.08, -0.08, -0.08),
        "upper": (0.08, 0.08, 0.08),
        "stiffness": 500.0,
        "damping": 2.0,
        "inside": True,
    },
    "constant force": {"force": (0.0, 0.0, 0.0)},
    "mesh": {"stiffness": 500.0, "damping": 2.0},
}

_CLASSES: dict[str, type[_effects.Effect]] = {
    "spring": _effects.Spring,
    "damper": _effects.Damper,
    "plane": _effects.Plane,
    "sphere": _effects.Sphere,
    "box": _effects.Box,
    "constant force": _effects.ConstantForce,
    "mesh": _effects.Mesh,
}

# A mesh's shape is not a parameter the page sets: the panel adds its own torus, and friction
# (two coefficients) has no control of its own there yet.
_NOT_OFFERED = {"vertices", "faces", "friction"}

MAX_OUTLINE_SEGMENTS = 400
"""Segments of a mesh's outline sent to the page per view, at most (a larger outline is thinned
evenly): the update stays small however many faces the mesh has."""


def torus(
    ring: float = 0.05, tube: float = 0.02, around: int = 32, across: int = 16
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]:
    """A closed torus about the z axis through the origin, faces counter-clockwise seen from
    outside: the shape the panel's mesh effect touches."""
    i, j = np.meshgrid(np.arange(around), np.arange(across), indexing="ij")
    a, b = 2 * np.pi * i / around, 2 * np.pi * j / across
    radius = ring + tube * np.cos(b)
    vertices = np.stack([radius * np.cos(a), radius * np.sin(a), tube * np.sin(b)], axis=-1).reshape(-1, 3)

    def at(i: npt.NDArray[np.int64], j: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
        return (i % around) * across + (j % across)

    faces = np.concatenate(
        [
            np.stack([at(i, j), at(i + 1, j), at(i + 1, j + 1)], axis=-1).reshape(-1, 3),
            np.stack([at(i, j), at(i + 1, j + 1), at(i, j + 1)], axis=-1).reshape(-1, 3),
        ]
    )
    return vertices, faces


class Outline:
    """A mesh's outline in each of the page's views (x-y from above, x-z from the side): its silhouette edges
    seen along the third axis (an edge between a face turned toward the viewer and one turned
    away) and its open edges, in the world by the mesh's pose; at most MAX_OUTLINE_SEGMENTS a
    view. The edges and their faces are the mesh's own (``Mesh.edges``); the outline is found again
    only when the pose moves."""

    def __init__(self, mesh: _effects.Mesh) -> None:
        faces = mesh.faces
        vertices = mesh.vertices
        normals = np.cross(
            vertices[faces[:, 1]] - vertices[faces[:, 0]], vertices[faces[:, 2]] - vertices[faces[:, 0]]
        )
        self._normals = normals
        self._vertices = vertices
        self._edges, self._faces = mesh.edges
        self._key: Any = None
        self._views: dict[str, list[list[float | None]]] = {}

    def views(self, pose: tuple[Any, Any]) -> dict[str, list[list[float | None]]]:
        if pose == self._key:
            return self._views
        position, (w, x, y, z) = np.asarray(pose[0], float), pose[1]
        rotation = np.array(
            [
                [1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)],
                [2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)],
                [2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)],
            ]
        ) / max(w * w + x * x + y * y + z * z, 1e-12)
        facing = self._normals @ rotation.T
        ends = self._vertices[self._edges] @ rotation.T + position  # (edges, 2, 3)
        views: dict[str, list[list[float | None]]] = {}
        for name, (u, v, toward) in {"xy": (0, 1, 2), "xz": (0, 2, 1)}.items():
            side = np.sign(facing[:, toward])
            a, b = self._faces[:, 0], self._faces[:, 1]
            chosen = np.flatnonzero((b < 0) | (side[a] != side[np.maximum(b, 0)]))
            if len(chosen) > MAX_OUTLINE_SEGMENTS:
                chosen = chosen[np.linspace(0, len(chosen) - 1, MAX_OUTLINE_SEGMENTS).astype(int)]
            segments = ends[chosen][:, :, [u, v]].reshape(-1, 4)
            views[name] = [_numbers(np.round(row, 5)) for row in segments]
        self._key, self._views = pose, views
        return views


def _parameters(cls: type[_effects.Effect]) -> dict[str, Any]:
    """The parameter names of an effect class, in order, with the value a new one starts with.
    The names come from the class's own signature, so the panel offers exactly what it takes."""
    chosen = _STARTING_VALUES[next(kind for kind, known in _CLASSES.items() if known is cls)]
    values: dict[str, Any] = {}
    for name, parameter in inspect.signature(cls.__init__).parameters.items():
        if name == "self" or (cls is _effects.Mesh and name in _NOT_OFFERED):
            continue
        values[name] = chosen.get(name, parameter.default)
    return values


KINDS: dict[str, dict[str, Any]] = {kind: _parameters(cls) for kind, cls in _CLASSES.items()}
"""Every kind of effect the page may add, with its parameters and their starting values. A
tuple is a vector, a bool a switch, a float a number."""


class Refused(Exception):
    """A request from the page that cannot be carried out; the message is shown there."""


# The requests the page may make, with the fields each takes besides "op".
_REQUESTS: dict[str, tuple[str, ...]] = {
    "stop": (),
    "start": (),
    "add": ("kind",),
    "remove": ("id",),
    "set": ("id", "name", "value"),
    "record": ("on",),
    "device damping": ("value",),
}

MAX_DEVICE_DAMPING = 1000.0
"""N s/m: far above any arm's own damping, and low enough that every bound it gives is finite."""


def _plain(value: Any) -> Any:
    """A value as JSON carries it: vectors as lists, non-finite numbers as null."""
    if isinstance(value, tuple):
        return [_plain(v) for v in value]
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def _numbers(array: npt.ArrayLike) -> list[float | None]:
    return [_plain(float(v)) for v in np.asarray(array, dtype=float).ravel()]


@dataclass
class _Recording:
    """The rows drained while the user records; the loop's ring is drained every tick either
    way, for the period histogram."""

    on: bool = False
    arm: list[npt.NDArray[np.void]] = field(default_factory=list)
    handle: list[npt.NDArray[np.void]] = field(default_factory=list)
    rows: int = 0
    dropped: int = 0
    note: str = ""


class Session:
    """The devices the panel drives and everything the page may ask of them.

    ``arm`` and ``handle`` are the running loop and reader (either may be None); ``problems``
    says, per device, why it is missing, and ``findings`` holds the text tamro-doctor gave
    then. ``simulator`` is the one the panel started, stopped by ``close()``.
    """

    MAX_RECORDING_SECONDS = 600.0
    HISTOGRAM_SECONDS = 1.0
    HISTOGRAM_BINS = 30

    def __init__(
        self,
        arm: ServoLoop | None,
        handle: HandleReader | None,
        *,
        simulator: Simulator | None = None,
        problems: Mapping[str, str] | None = None,
        findings: str = "",
        clock: Callable[[], float] | None = None,
        model: passivity.Arm = passivity.SIMULATED_ARM,
    ) -> None:
        self.arm = arm
        # The arm the bounds count: its mass from tamro-tune's file (or the simulated arm's); its
        # damping the page may change.
        self.arm_mass = model.mass
        self.handle = handle
        self.simulator = simulator
        self.problems = dict(problems or {})
        self.findings = findings
        self.device_damping = model.damping
        self._effects: dict[int, tuple[str, _effects.Effect]] = {}
        self._outlines: dict[int, Outline] = {}  # by id() of the mesh effect
        self._ids = itertools.count(1)
        self._recording = _Recording()
        self._periods: deque[npt.NDArray[np.float64]] = deque()
        self._last_time: float | None = None
        self._dropped = 0
        self._closed = False
        if arm is not None:
            # A ring for a few seconds at any rate the arm answers at; drained every tick.
            arm.record(1 << 16)
        if handle is not None:
            handle.record(1 << 12)

    # --- what the page asks -------------------------------------------------------------------

    def handle_request(self, request: Any) -> None:
        """Carries out one request from the page; raises ``Refused`` with the reason. A request
        is checked whole first: one with a field it should not have is not carried out at all."""
        if not isinstance(request, dict):
            raise Refused("a request must be a JSON object")
        op = request.get("op")
        if not isinstance(op, str) or op not in _REQUESTS:
            raise Refused(f"unknown request {op!r}")
        unexpected = sorted(set(request) - {"op", *_REQUESTS[op]})
        if unexpected:
            raise Refused(f"a {op} request has no field {', '.join(map(repr, unexpected))}")
        if op == "stop":
            self.stop()
        elif op == "start":
            self.start()
        elif op == "add":
            self.add(request.get("kind"))
        elif op == "remove":
            self.remove(request.get("id"))
        elif op == "set":
            self.set(request.get("id"), request.get("name"), request.get("value"))
        elif op == "record":
            self.record(request.get("on"))
        else:
            self.set_device_damping(request.get("value"))

    def stop(self) -> None:
        """Zero force and the loop stopped, at once."""
        if self.arm is not None:
            self.arm.stop()

    def start(self) -> None:
        arm = self._need_arm()
        try:
            arm.start()
        except OSError as error:
            raise Refused(f"the loop cannot start: {error}") from None

    def add(self, kind: Any) -> int:
        arm = self._need_arm()
        if not isinstance(kind, str) or kind not in KINDS:
            raise Refused(f"no effect called {kind!r}; the kinds are {', '.join(KINDS)}")
        effect = self._checked(lambda: self._make(kind))
        identity = next(self._ids)
        chosen = [e for _, e in self._effects.values()] + [effect]
        self._checked(lambda: setattr(arm, "effects", chosen))
        self._effects[identity] = (kind, effect)
        return identity

    def _make(self, kind: str) -> _effects.Effect:
        if kind == "mesh":
            mesh = _effects.Mesh(*torus(), **KINDS[kind])
            self._outlines[id(mesh)] = Outline(mesh)
            return mesh
        return _CLASSES[kind](**KINDS[kind])

    def remove(self, identity: Any) -> None:
        arm = self._need_arm()
        self._effect(identity)
        rest = [e for key, (_, e) in self._effects.items() if key != identity]
        self._checked(lambda: setattr(arm, "effects", rest))
        self._outlines.pop(id(self._effects[identity][1]), None)
        del self._effects[identity]

    def set(self, identity: Any, name: Any, value: Any) -> None:
        """One parameter of one effect, checked by the effect class itself."""
        kind, effect = self._effect(identity)
        if name not in KINDS[kind]:
            raise Refused(f"a {kind} has no parameter {name!r}; it has {', '.join(KINDS[kind])}")
        self._checked(lambda: setattr(effect, name, value), name)

    def set_device_damping(self, value: Any) -> None:
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise Refused("the arm's own damping must be a number")
        try:
            damping = float(value)
        except OverflowError:  # an integer beyond any float
            raise Refused("the arm's own damping is too large") from None
        if not math.isfinite(damping):
            raise Refused("the arm's own damping must be a number")
        if damping < 0:
            raise Refused("the arm's own damping cannot be negative")
        if damping > MAX_DEVICE_DAMPING:
            raise Refused(f"the arm's own damping must be at most {MAX_DEVICE_DAMPING:g} N s/m")
        self.device_damping = damping

    def record(self, on: Any) -> None:
        if not isinstance(on, bool):
            raise Refused("record takes true or false")
        self._need_arm()
        if on == self._recording.on:
            return
        if on:
            self._drain()  # what came before the start is not part of it
            self._recording = _Recording(on=True)
        else:
            self._drain()
            self._recording.on = False

    # --- what the page shows ------------------------------------------------------------------

    def hello(self) -> dict[str, Any]:
        """What the page needs once: identities, problems, kinds of effects and their hints."""
        arm: dict[str, Any] | None = None
        if self.arm is not None:
            info = self.arm.device_info
            arm = {
                "port": self.arm.port,
                "device_id": info["device_id"],
                "model": info["device_model_number"],
                "hardware": info["hardware_version"],
                "firmware": info["firmware_version"],
                "uuid": str(info["device_id_ext"]),
                "rate_hz": self.arm.rate_hz,
                "max_force": self.arm.max_force,
            }
        handle: dict[str, Any] | None = None
        if self.handle is not None:
            handle = {"port": self.handle.port, **self.handle.info}
        return {
            "type": "hello",
            "arm": arm,
            "handle": handle,
            "simulated": self.simulator is not None,
            "problems": self.problems,
            "findings": self.findings,
            "kinds": {kind: {name: _plain(value) for name, value in p.items()} for kind, p in KINDS.items()},
            "default_device_damping": DEFAULT_DEVICE_DAMPING,
        }

    def tick(self) -> dict[str, Any]:
        """The figures of this moment, for the page's update; drains the recording rings."""
        self._drain()
        return {"type": "update", "arm": self._arm_update(), "handle": self._handle_update()}

    @staticmethod
    def _health(device: ServoLoop | HandleReader) -> dict[str, Any]:
        fault = device.fault
        return {
            "fault": None if fault is None else str(fault),
            "stats": {key: _plain(value) for key, value in device.stats().items()},
        }

    def _arm_update(self) -> dict[str, Any] | None:
        arm = self.arm
        if arm is None:
            return None
        health = self._health(arm)
        state: dict[str, Any] | None = None
        with contextlib.suppress(DeviceFault):  # a fault latched since the look above
            now = arm.state()
            state = {
                "cycle": now.cycle,
                "position": _numbers(now.position),
                "velocity": _numbers(now.velocity),
                "force": _numbers(now.force),
            }
        timing, measured = self.bound_timing()
        return {
            **health,
            "running": arm.running,
            "state": state,
            "histogram": self._histogram(),
            "timing": None
            if timing is None
            else {
                "period_us": timing.period * 1e6,
                "age_us": timing.age * 1e6,
                "measured": measured,
                "compensated": arm.compensate_delay,
            },
            "device_damping": self.device_damping,
            "effects": [
                self._describe(identity, kind, e, timing) for identity, (kind, e) in self._effects.items()
            ],
            "recording": {
                "on": self._recording.on,
                "rows": self._recording.rows,
                "dropped": self._recording.dropped,
                "note": self._recording.note,
            },
        }

    def _handle_update(self) -> dict[str, Any] | None:
        handle = self.handle
        if handle is None:
            return None
        health = self._health(handle)
        status: dict[str, Any] | None = None
        with contextlib.suppress(DeviceFault):
            latest = handle.latest()
            status = {
                "count": latest.count,
                "quaternion": _numbers(latest.quaternion),
                "hall": latest.hall_effect_sensor_level,
                "error_flag": latest.error_flag,
            }
        return {**health, "status": status}

    def loop_rate(self) -> float | None:
        """What the loop achieves while it runs, else what it aims at (None: free-running)."""
        if self.arm is None:
            return None
        achieved = self.arm.stats()["rate_hz"]
        if self.arm.running and achieved > 0:
            return float(achieved)
        return self.arm.rate_hz

    def bound_timing(self) -> tuple[passivity.Timing | None, bool]:
        """The delay the bounds count, and whether it was measured: while the loop runs, its
        worst cases of the last second (the 99th percentiles of its period and of its state's
        age), so a stall long ago (a browser starting on the same cores) no longer counts; else
        its nominal rate; None for a free-running loop without figures."""
        if self.arm is None:
            return None, False
        if self.arm.running:
            with contextlib.suppress(ValueError):  # no figures yet
                return passivity.Timing.measured(self.arm.stats()), True
        rate = self.arm.rate_hz
        return (passivity.Timing.nominal(rate, self.arm.in_flight) if rate else None), False

    def _describe(
        self, identity: int, kind: str, effect: _effects.Effect, timing: passivity.Timing | None
    ) -> dict[str, Any]:
        values = {name: getattr(effect, name) for name in KINDS[kind]}
        bounds: dict[str, Any] = {}
        if timing is not None and self.arm is not None and "stiffness" in values and "damping" in values:
            model = passivity.Arm(mass=self.arm_mass, damping=self.device_damping)
            bounds = guidance(
                timing,
                model,
                float(values["stiffness"]),
                float(values["damping"]),
                compensated=self.arm.compensate_delay,
            )
        described = {
            "id": identity,
            "kind": kind,
            "values": {name: _plain(value) for name, value in values.items()},
            "bounds": bounds,
        }
        outline = self._outlines.get(id(effect))
        if isinstance(effect, _effects.Mesh) and outline is not None:
            described["outline"] = outline.views(effect.pose)
        if isinstance(effect, _effects.Mesh):
            # Where the surface holds the hand back (null while it touches nothing).
            proxy = effect.proxy
            described["proxy"] = None if proxy is None else _numbers(np.round(proxy, 5))
        return described

    # --- recording ------------------------------------------------------------------------------

    def _drain(self) -> None:
        if self.arm is None:
            return
        rows = self.arm.drain()
        # The loop counts dropped cycles from its last start: a count that went down began anew.
        dropped = self.arm.stats()["dropped_records"]
        newly_dropped = dropped - self._dropped if dropped >= self._dropped else dropped
        self._dropped = dropped
        if len(rows):
            times = rows["time"].astype(np.float64)
            if self._last_time is not None:
                times = np.concatenate(([self._last_time], times))
            self._last_time = float(rows["time"][-1])
            self._periods.append(np.diff(times))
        recording = self._recording
        handle_rows = self.handle.drain() if self.handle is not None else None
        if not recording.on:
            return
        recording.arm.append(rows)
        if handle_rows is not None:
            recording.handle.append(handle_rows)
        recording.rows += len(rows)
        recording.dropped += newly_dropped
        rate = self.arm.rate_hz or self.arm.stats()["rate_hz"] or 1000.0
        if recording.rows >= self.MAX_RECORDING_SECONDS * rate:
            recording.on = False
            recording.note = f"stopped after {self.MAX_RECORDING_SECONDS:g} s, the longest recording kept"

    def _histogram(self) -> dict[str, Any]:
        """The periods of about the last second, in microseconds."""
        if self.arm is None:
            return {"edges_us": [], "counts": []}
        total = sum(len(p) for p in self._periods)
        kept = self.HISTOGRAM_SECONDS * (self.loop_rate() or 1000.0)
        while self._periods and total - len(self._periods[0]) >= kept:
            total -= len(self._periods.popleft())
        periods = np.concatenate(list(self._periods)) * 1e6 if self._periods else np.empty(0)
        nominal = (
            1e6 / self.arm.rate_hz if self.arm.rate_hz else float(np.median(periods)) if len(periods) else 0
        )
        if not nominal:
            return {"edges_us": [], "counts": []}
        # Three nominal periods wide; longer ones go to the last bin.
        edges = np.linspace(0.0, 3.0 * nominal, self.HISTOGRAM_BINS + 1)
        counts, _ = np.histogram(np.clip(periods, 0.0, edges[-1] - 1e-9), bins=edges)
        return {"edges_us": _numbers(edges), "counts": [int(c) for c in counts]}

    def recording(self) -> tuple[npt.NDArray[np.void], npt.NDArray[np.void] | None]:
        """The arm's and the handle's recorded rows so far."""
        if self._recording.on:
            self._drain()
        arm = np.concatenate(self._recording.arm) if self._recording.arm else np.empty(0, RECORD_DTYPE)
        handle: npt.NDArray[np.void] | None = None
        if self.handle is not None:
            handle = (
                np.concatenate(self._recording.handle)
                if self._recording.handle
                else np.empty(0, HANDLE_RECORD_DTYPE)
            )
        return arm, handle

    # --- life -------------------------------------------------------------------------------------

    def close(self) -> None:
        """Zero force on the arm, then everything stopped, the simulator last."""
        if self._closed:
            return
        self._closed = True
        try:
            if self.arm is not None:
                self.arm.close()
            if self.handle is not None:
                self.handle.close()
        finally:
            if self.simulator is not None:
                self.simulator.stop()

    # --- helpers ------------------------------------------------------------------------------

    def _need_arm(self) -> ServoLoop:
        if self.arm is None:
            raise Refused("no arm: " + self.problems.get("arm", "none was found"))
        return self.arm

    def _effect(self, identity: Any) -> tuple[str, _effects.Effect]:
        if isinstance(identity, bool) or not isinstance(identity, int) or identity not in self._effects:
            raise Refused(f"no effect {identity!r} (removed already?)")
        return self._effects[identity]

    @staticmethod
    def _checked(action: Callable[[], Any], name: str = "a value") -> Any:
        # The effect classes and the loop check every value the way they do for any program;
        # their messages name the parameter, so they go to the page as they are.
        try:
            return action()
        except OverflowError:  # an integer beyond any float, which JSON allows
            raise Refused(f"{name} is too large") from None
        except (ValueError, TypeError) as error:
            raise Refused(str(error)) from None
        except OSError as error:  # a faulted loop refuses new effects
            raise Refused(str(error)) from None


def to_csv(rows: npt.NDArray[np.void]) -> bytes:
    """The arm's rows as CSV: one line a cycle, vectors spread over x, y and z columns."""
    header = "cycle,time,x,y,z,vx,vy,vz,fx,fy,fz"
    table = (
        np.column_stack(
            [
                rows["cycle"].astype(np.float64),
                rows["time"],
                rows["position"],
                rows["velocity"],
                rows["force"],
            ]
        )
        if len(rows)
        else np.empty((0, 11))
    )
    out = io.StringIO()
    np.savetxt(out, table, delimiter=",", header=header, comments="", fmt=["%d", "%.6f"] + ["%.9g"] * 9)
    return out.getvalue().encode()


def to_mcap(arm: npt.NDArray[np.void], handle: npt.NDArray[np.void] | None) -> bytes:
    """The rows as an MCAP file of ROS 2 messages (tamro.save_mcap), under the namespace
    ``panel``."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "recording.mcap")
        save_mcap(path, arm=arm, handle=handle, name="panel")
        with open(path, "rb") as file:
            return file.read()


def to_npz(arm: npt.NDArray[np.void], handle: npt.NDArray[np.void] | None) -> bytes:
    """The rows as a numpy archive: ``arm`` (tamro.RECORD_DTYPE) and, with a handle, ``handle``
    (tamro.HANDLE_RECORD_DTYPE)."""
    out = io.BytesIO()
    arrays = {"arm": arm} if handle is None else {"arm": arm, "handle": handle}
    np.savez(out, **arrays)  # type: ignore[arg-type]
    return out.getvalue()
