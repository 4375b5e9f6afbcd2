"""Haptic effects that a ``ServoLoop`` renders natively, every cycle.

Each effect's parameters are attributes. Setting one checks the new value (``ValueError``
naming the parameter, ``TypeError`` for a wrong type) and, when the effect belongs to a running
loop, reaches the loop at its next cycle, whole, from whatever thread sets it. An effect belongs
to one loop at a time.

Quantities are in the arm's units (with the simulator: metres, seconds, newtons; stiffness in
N/m, damping in N s/m). The contact effects (``Plane``, ``Sphere``, ``Box``) push only while the
end effector is inside them, along the surface normal, with ``k * depth - b * v_normal``, and
never pull.

Every effect takes ``smoothing``: with it, the loop glides to new parameters through a
first-order filter instead of rendering each change as a step, so parameters set 30 to 100 times
a second (an anchor led by a script, a remote target) reach the arm as ramps. ``True`` uses
``SMOOTHING`` seconds as the time constant, a number sets it (0 to 10 s); ``False`` (the default)
renders every change at once. A flag (``inside``) still switches at once.
"""

from __future__ import annotations

import itertools
import os
import threading
import weakref
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, Generic, TypeVar, overload

import numpy as np
import numpy.typing as npt

from . import _native
from ._values import Vector, flag, number, vector

if TYPE_CHECKING:
    from .servo import ServoLoop

__all__ = [
    "Effect",
    "Spring",
    "Damper",
    "Plane",
    "Sphere",
    "Box",
    "ConstantForce",
    "Mesh",
    "Vector",
    "SMOOTHING",
]

SMOOTHING: float = _native.SMOOTHING
"""Seconds: the time constant ``smoothing=True`` gives. Against an anchor moved in steps 50 times
a second, it takes the steps out of the force while lagging the anchor by about as much
(docs/servo-loop.md, smooth targets)."""

_V = TypeVar("_V")

# Parameter changes from several threads at once: each change is built on the values the last
# one left, and its owner republishes after it. Taken before a loop's own lock, by changes and
# by a loop's assignment of its effect set alike (one order, so no update is lost between them).
_changes = threading.Lock()


def _scalar(value: Any, name: str) -> float:
    # Finiteness and range are the loop's own checks (ValueError naming the parameter).
    return number(value, name, finite=False)


def _smoothing(value: Any, name: str) -> float:
    """Seconds: True is SMOOTHING, False none, a number that many (checked by the loop)."""
    if isinstance(value, (bool, np.bool_)):
        return SMOOTHING if value else 0.0
    return _scalar(value, name)


# Each effect's own number: it tells the loop which effect is which when a set is replaced, so a
# smoothed effect glides only from what it rendered itself.
_keys = itertools.count(1)


class _Parameter(Generic[_V]):
    """An effect parameter: converted, checked together with the others, then handed on."""

    def __init__(self, convert: Callable[[Any, str], _V]) -> None:
        self._convert = convert
        self._name = ""

    def __set_name__(self, owner: type, name: str) -> None:
        self._name = name

    @overload
    def __get__(self, effect: None, owner: type) -> _Parameter[_V]: ...
    @overload
    def __get__(self, effect: Effect, owner: type) -> _V: ...
    def __get__(self, effect: Effect | None, owner: type) -> _V | _Parameter[_V]:
        if effect is None:
            return self
        value: _V = effect._values[self._name]
        return value

    def __set__(self, effect: Effect, value: Any) -> None:
        effect._update({self._name: self._convert(value, self._name)})


class Effect:
    """The base of the effects; not used on its own."""

    _factory: Callable[..., _native.Effect]

    def __init__(self, **values: Any) -> None:
        self._values: dict[str, Any] = {}
        self._owner: weakref.ref[ServoLoop] | None = None
        self._key = next(_keys)
        self._native = self._build(values)
        self._values = values

    def _build(self, values: dict[str, Any]) -> _native.Effect:
        return type(self)._factory(**values)

    def _update(self, changes: dict[str, Any]) -> None:
        with _changes:
            values = {**self._values, **changes}
            native = self._build(values)  # raises before anything changes
            self._values, self._native = values, native
            owner = self._owner() if self._owner is not None else None
            if owner is not None:
                owner._effect_changed()

    def force_at(
        self,
        position: Sequence[float] | npt.ArrayLike,
        velocity: Sequence[float] | npt.ArrayLike = (0.0, 0.0, 0.0),
    ) -> npt.NDArray[np.float64]:
        """The force this effect gives at a position and velocity, as the loop renders it."""
        return np.array(self._native.force(vector(position, "position"), vector(velocity, "velocity")))

    def __repr__(self) -> str:
        values = ", ".join(f"{name}={value!r}" for name, value in self._values.items())
        return f"tamro.{type(self).__name__}({values})"


class Spring(Effect):
    """Pulls toward ``anchor``: ``stiffness * (anchor - x) - damping * v``."""

    _factory = staticmethod(_native.spring)
    anchor = _Parameter(vector)
    stiffness = _Parameter(_scalar)
    damping = _Parameter(_scalar)
    smoothing = _Parameter(_smoothing)

    def __init__(
        self,
        anchor: Sequence[float] | npt.ArrayLike,
        stiffness: float,
        damping: float = 0.0,
        smoothing: float | bool = False,
    ) -> None:
        super().__init__(
            anchor=vector(anchor, "anchor"),
            stiffness=_scalar(stiffness, "stiffness"),
            damping=_scalar(damping, "damping"),
            smoothing=_smoothing(smoothing, "smoothing"),
        )


class Damper(Effect):
    """Viscous drag: ``-damping * v``."""

    _factory = staticmethod(_native.damper)
    damping = _Parameter(_scalar)
    smoothing = _Parameter(_smoothing)

    def __init__(self, damping: float, smoothing: float | bool = False) -> None:
        super().__init__(damping=_scalar(damping, "damping"), smoothing=_smoothing(smoothing, "smoothing"))


class Plane(Effect):
    """A one-sided wall through ``point``; ``normal`` points out of the wall, into free space.
    The normal is scaled to length 1 by the loop (a zero normal is refused)."""

    _factory = staticmethod(_native.plane)
    point = _Parameter(vector)
    normal = _Parameter(vector)
    stiffness = _Parameter(_scalar)
    damping = _Parameter(_scalar)
    smoothing = _Parameter(_smoothing)

    def __init__(
        self,
        point: Sequence[float] | npt.ArrayLike,
        normal: Sequence[float] | npt.ArrayLike,
        stiffness: float,
        damping: float = 0.0,
        smoothing: float | bool = False,
    ) -> None:
        super().__init__(
            point=vector(point, "point"),
            normal=vector(normal, "normal"),
            stiffness=_scalar(stiffness, "stiffness"),
            damping=_scalar(damping, "damping"),
            smoothing=_smoothing(smoothing, "smoothing"),
        )


class Sphere(Effect):
    """A solid ball that pushes the end effector out or, with ``inside=True``, a hollow one
    that keeps it in."""

    _factory = staticmethod(_native.sphere)
    center = _Parameter(vector)
    radius = _Parameter(_scalar)
    stiffness = _Parameter(_scalar)
    damping = _Parameter(_scalar)
    inside = _Parameter(flag)
    smoothing = _Parameter(_smoothing)

    def __init__(
        self,
        center: Sequence[float] | npt.ArrayLike,
        radius: float,
        stiffness: float,
        damping: float = 0.0,
        inside: bool = False,
        smoothing: float | bool = False,
    ) -> None:
        super().__init__(
            center=vector(center, "center"),
            radius=_scalar(radius, "radius"),
            stiffness=_scalar(stiffness, "stiffness"),
            damping=_scalar(damping, "damping"),
            inside=flag(inside, "inside"),
            smoothing=_smoothing(smoothing, "smoothing"),
        )


class Box(Effect):
    """An axis-aligned box from ``lower`` to ``upper``: solid, or hollow with ``inside=True``
    (six walls that keep the end effector in)."""

    _factory = staticmethod(_native.box)
    lower = _Parameter(vector)
    upper = _Parameter(vector)
    stiffness = _Parameter(_scalar)
    damping = _Parameter(_scalar)
    inside = _Parameter(flag)
    smoothing = _Parameter(_smoothing)

    def __init__(
        self,
        lower: Sequence[float] | npt.ArrayLike,
        upper: Sequence[float] | npt.ArrayLike,
        stiffness: float,
        damping: float = 0.0,
        inside: bool = False,
        smoothing: float | bool = False,
    ) -> None:
        super().__init__(
            lower=vector(lower, "lower"),
            upper=vector(upper, "upper"),
            stiffness=_scalar(stiffness, "stiffness"),
            damping=_scalar(damping, "damping"),
            inside=flag(inside, "inside"),
            smoothing=_smoothing(smoothing, "smoothing"),
        )


class ConstantForce(Effect):
    """The same ``force`` whatever the state."""

    _factory = staticmethod(_native.constant_force)
    force = _Parameter(vector)
    smoothing = _Parameter(_smoothing)

    def __init__(self, force: Sequence[float] | npt.ArrayLike, smoothing: float | bool = False) -> None:
        super().__init__(force=vector(force, "force"), smoothing=_smoothing(smoothing, "smoothing"))


Quaternion = tuple[float, float, float, float]


def _friction(value: Any, name: str) -> tuple[float, float]:
    """(static, dynamic) coefficients; their ranges are the loop's checks."""
    try:
        static, dynamic = value
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be two numbers (static, dynamic), not {value!r}") from None
    return (_scalar(static, name), _scalar(dynamic, name))


def _quaternion(value: Sequence[float] | npt.ArrayLike, name: str) -> Quaternion:
    try:
        array = np.asarray(value, dtype=float)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be four numbers (w, x, y, z), not {value!r}") from None
    if array.shape != (4,):
        raise ValueError(f"{name} must have four components (w, x, y, z), not shape {array.shape}")
    return (float(array[0]), float(array[1]), float(array[2]), float(array[3]))


def _rows(value: Any, name: str, dtype: type[np.generic]) -> npt.NDArray[Any]:
    array = np.asarray(value)
    if dtype is np.int64 and array.size > 0 and not np.issubdtype(array.dtype, np.integer):
        raise TypeError(f"{name} must be integers, not {array.dtype}")
    if dtype is np.float64 and not (np.issubdtype(array.dtype, np.number) and not np.iscomplexobj(array)):
        raise TypeError(f"{name} must be real numbers, not {array.dtype}")
    if array.ndim != 2 or array.shape[1] != 3:
        raise ValueError(f"{name} must have shape (n, 3), not {array.shape}")
    result = np.array(array, dtype=dtype)  # a copy: the mesh is never changed after it is built
    result.setflags(write=False)
    return result


class Mesh(Effect):
    """A triangle mesh, touched through a proxy the loop drags along its surface.

    ``vertices`` are ``(n, 3)`` in metres; ``faces`` ``(m, 3)`` vertex indices, counter-clockwise
    seen from outside (only a face's front stops the hand). The tree over them is built here,
    on the calling thread, never on the loop's, and handed to the loop whole. ``friction`` is
    ``(static, dynamic)``: the proxy sticks while the sideways pull is within ``static`` times the
    push and slides at ``dynamic`` beyond. ``radius`` is the proxy's, in metres: 0 a point,
    else a sphere whose centre keeps ``radius`` from the surface (the force is the spring to its
    centre). ``pose`` moves the mesh rigidly (no rebuild). Starting inside a closed mesh (or a
    sphere nearer the surface than its radius), the hand is led out as its stiffness ramps up
    (docs/meshes.md).

    ``ValueError`` for non-finite vertices (or ones farther from the origin than the tree
    takes: the message says how far), an index out of range or no faces (and the
    parameters' own checks), ``TypeError`` for arrays of the wrong kind."""

    stiffness = _Parameter(_scalar)
    damping = _Parameter(_scalar)
    friction = _Parameter(_friction)
    radius = _Parameter(_scalar)
    smoothing = _Parameter(_smoothing)

    def __init__(
        self,
        vertices: npt.ArrayLike,
        faces: npt.ArrayLike,
        *,
        stiffness: float,
        damping: float = 0.0,
        friction: tuple[float, float] = (0.0, 0.0),
        radius: float = 0.0,
        smoothing: float | bool = False,
    ) -> None:
        self._vertices = _rows(vertices, "vertices", np.float64)
        self._faces = _rows(faces, "faces", np.int64)
        self._tree = _native.MeshTree(self._vertices, self._faces)
        self._edges: tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]] | None = None
        super().__init__(
            stiffness=_scalar(stiffness, "stiffness"),
            damping=_scalar(damping, "damping"),
            friction=_friction(friction, "friction"),
            radius=_scalar(radius, "radius"),
            smoothing=_smoothing(smoothing, "smoothing"),
            position=(0.0, 0.0, 0.0),
            rotation=(1.0, 0.0, 0.0, 0.0),
        )

    @classmethod
    def load(cls, path: str | os.PathLike[str], *, scale: float = 1.0, **params: Any) -> Mesh:
        """A mesh read from an STL, OBJ or PLY file through ``trimesh`` (the ``mesh`` extra),
        its vertices multiplied by ``scale`` (a file in millimetres: ``scale=0.001``); ``params``
        as for ``Mesh``."""
        try:
            import trimesh
        except ImportError as error:
            raise ImportError(
                "tamro.Mesh.load reads files through trimesh: pip install 'TamroHardwareAPI[mesh]'"
            ) from error
        factor = number(scale, "scale")
        if not factor > 0:
            raise ValueError(f"scale must be above 0, not {factor}")
        loaded: Any = trimesh.load(os.fspath(path), force="mesh")  # a Trimesh, by force="mesh"
        vertices = np.asarray(loaded.vertices, dtype=np.float64) * factor
        return cls(vertices, np.asarray(loaded.faces), **params)

    def _build(self, values: dict[str, Any]) -> _native.Effect:
        static, dynamic = values["friction"]
        return _native.mesh(
            self._tree,
            stiffness=values["stiffness"],
            damping=values["damping"],
            static_friction=static,
            dynamic_friction=dynamic,
            radius=values["radius"],
            position=values["position"],
            rotation=values["rotation"],
            smoothing=values["smoothing"],
        )

    @property
    def vertices(self) -> npt.NDArray[np.float64]:
        """The vertices as given, in the mesh's own frame (read-only)."""
        return self._vertices

    @property
    def faces(self) -> npt.NDArray[np.int64]:
        """The faces as given (read-only)."""
        return self._faces

    @property
    def edges(self) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
        """Each edge once, as found with the tree: ``(ends, faces)``, both ``(e, 2)``: its two
        vertices (lower first) and the faces on either side of it, ``-1`` for the missing one of an
        open edge (a hole's rim, a sheet's border). Read-only."""
        if self._edges is None:
            ends, faces = self._tree.edges()
            ends.setflags(write=False)
            faces.setflags(write=False)
            self._edges = (ends, faces)
        return self._edges

    @property
    def pose(self) -> tuple[Vector, Quaternion]:
        """``(position, quaternion)``: the mesh's frame in the world, the quaternion ``(w, x, y,
        z)`` (scaled to length 1 by the loop; a zero one is refused). Set as one change."""
        position: Vector = self._values["position"]
        rotation: Quaternion = self._values["rotation"]
        return position, rotation

    @pose.setter
    def pose(self, value: tuple[Sequence[float] | npt.ArrayLike, Sequence[float] | npt.ArrayLike]) -> None:
        try:
            position, rotation = value
        except (TypeError, ValueError):
            raise TypeError(f"pose must be (position, quaternion), not {value!r}") from None
        self._update({"position": vector(position, "pose"), "rotation": _quaternion(rotation, "pose")})

    @property
    def proxy(self) -> npt.NDArray[np.float64] | None:
        """Where the proxy holds the hand back, in the world (metres, shape ``(3,)``), as the
        loop's latest cycle left it: ``None`` while the proxy touches nothing (it is then on
        the hand) or the mesh is in no running loop. For showing: the force is the loop's."""
        owner = self._owner() if self._owner is not None else None
        if owner is None:
            return None
        at = owner._native.proxy_of(self._key)
        return None if at is None else np.array(at)

    def __repr__(self) -> str:
        values = ", ".join(f"{name}={value!r}" for name, value in self._values.items())
        return f"tamro.Mesh(<{len(self._vertices)} vertices, {len(self._faces)} faces>, {values})"
