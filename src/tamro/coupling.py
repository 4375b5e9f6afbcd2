"""Two devices coupled across the network: a spring and damper toward a remote device.

::

    follower = tamro.Coupling(stiffness=300.0, damping=2.0)      # passivity on by default
    loop.effects = [follower]
    node.couple(loop, "arm", peer="left")   # /left/arm/measured_cp (and _cv) is the target

The servo loop renders the coupling natively every cycle. The remote's samples arrive on a
DDS thread, are checked there (finite, inside the workspace, not too fast, stamps neither from
the future nor stale nor out of order, no flood) and handed to the loop, which renders a
smooth target: the newest sample moved along its velocity for at most ``link_timeout``, each
new sample blended in over 5 ms, never the samples' steps.

**Passivity.** With ``passivity=True`` (the default) and a bilateral coupling (the remote runs
a coupling of its own and publishes its count on ``coupling_energy``) a time-domain passivity
observer and controller (Hannaford and Ryu 2002, in its two-port form for teleoperation) watch
the energy at this arm's port: the coupling never gives the arm more energy than has come in at
the other end. When it would, the controller adds damping that takes the surplus away, its
correction changing at a bounded rate so the force never pulses. This keeps a stiff coupling
stable under a delay at which it would otherwise oscillate; it costs transparency while it acts
(the coupling feels softer). A one-way leader (one that publishes only ``measured_cp``) closes
no loop through the link: it is followed with the controller only observing, and the status's
``mode`` says which. ``passivity=False`` only observes, to compare.

**Link loss.** No sample for ``link_timeout`` seconds (default 20 ms) fades the force to zero
over ``fade`` seconds and the state says ``lost``; when samples return, the force comes back
over ``engage`` seconds, with nothing stored released at once.

**Contact model.** ``contact_model="estimate"`` on the side that touches (the follower) and
``"render"`` on the side a person holds (the leader): the follower estimates the plane it
presses on and its stiffness and publishes them (``contact_model``, ``contact_stiffness``); the
leader renders that plane at its own loop rate, in place of the coupling along the plane's
normal, so the contact is felt without the link's delay, and the follower presses with the
force the leader feels. ``"off"`` (the default) leaves the coupling exactly as it was.

See docs/teleoperation.md.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal, TypedDict, cast

import numpy as np
import numpy.typing as npt

from . import _native
from ._values import flag, frozen_array, number
from .effects import Effect, _Parameter, _scalar

if TYPE_CHECKING:
    from .servo import ServoLoop

__all__ = [
    "Coupling",
    "CouplingStatus",
    "Impairment",
    "coupling_status",
    "DEFAULT_LINK_TIMEOUT",
    "DEFAULT_CONTACT_MAX_STIFFNESS",
    "ContactModel",
    "SAMPLE_LIMITS",
]

SAMPLE_LIMITS = _native.REMOTE_SAMPLE_LIMITS
"""What a coupling takes of its remote's samples: speeds up to ``max_speed`` m/s, forces up to
``max_force`` N, stamps at most ``max_lead`` s ahead of this machine's clock and ``max_age`` s
behind it, and ``max_rate_hz`` samples a second on average (bursts of a tenth of a second's);
beyond, refused and counted."""

# The C++ defaults (Control::Coupling), where their reasons are written.
_DEFAULTS = _native.COUPLING_DEFAULTS
DEFAULT_STIFFNESS: float = _DEFAULTS["stiffness"]
DEFAULT_DAMPING: float = _DEFAULTS["damping"]
DEFAULT_LINK_TIMEOUT: float = _DEFAULTS["link_timeout"]
DEFAULT_FADE: float = _DEFAULTS["fade"]
DEFAULT_ENGAGE: float = _DEFAULTS["engage"]
DEFAULT_CONTACT_MAX_STIFFNESS: float = _DEFAULTS["contact_max_stiffness"]

ContactModel = Literal["off", "estimate", "render"]
DEFAULT_CONTACT_MODEL = cast(ContactModel, _DEFAULTS["contact_model"])


def _contact_model(value: Any, name: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be 'off', 'estimate' or 'render', not {type(value).__name__}")
    return value  # the loop's own check names a word it does not know


class Coupling(Effect):
    """A spring of ``stiffness`` N/m and a damper of ``damping`` N s/m toward a remote device's
    position and velocity: ``k (target - x) + b (target_velocity - v)``, rendered by the loop
    every cycle once the loop is coupled (``Node.couple``). ``passivity`` keeps the coupling
    passive whatever the link's delay; ``reflect`` (0 to 10) adds the remote coupling's force on
    its own arm, reversed and scaled: a leader with ``stiffness=0`` and ``reflect=1`` feels what
    its follower meets and is not pulled by it. ``link_timeout``, ``fade`` and ``engage`` are
    seconds (1 ms to 10 s). ``contact_model`` is ``"off"``, ``"estimate"`` (this arm touches:
    it estimates and publishes the plane it presses on) or ``"render"`` (this arm is held: it
    renders its peer's plane locally); ``contact_max_stiffness`` (N/m) bounds the plane's
    stiffness, estimated and rendered (choose it with ``passivity.max_stiffness`` for the arm
    that renders), ``contact_damping`` (N s/m) is the rendered plane's damping. A loop's effect
    set holds one coupling at most. ``force_at`` gives nothing: the force needs the remote."""

    _factory = staticmethod(_native.coupling)
    stiffness = _Parameter(_scalar)
    damping = _Parameter(_scalar)
    passivity = _Parameter(flag)
    link_timeout = _Parameter(_scalar)
    fade = _Parameter(_scalar)
    engage = _Parameter(_scalar)
    reflect = _Parameter(_scalar)
    contact_model = _Parameter(_contact_model)
    contact_max_stiffness = _Parameter(_scalar)
    contact_damping = _Parameter(_scalar)

    def __init__(
        self,
        stiffness: float = DEFAULT_STIFFNESS,
        damping: float = DEFAULT_DAMPING,
        *,
        passivity: bool = _DEFAULTS["passivity"],
        link_timeout: float = DEFAULT_LINK_TIMEOUT,
        fade: float = DEFAULT_FADE,
        engage: float = DEFAULT_ENGAGE,
        reflect: float = _DEFAULTS["reflect"],
        contact_model: ContactModel = DEFAULT_CONTACT_MODEL,
        contact_max_stiffness: float = DEFAULT_CONTACT_MAX_STIFFNESS,
        contact_damping: float = _DEFAULTS["contact_damping"],
    ) -> None:
        super().__init__(
            stiffness=_scalar(stiffness, "stiffness"),
            damping=_scalar(damping, "damping"),
            passivity=flag(passivity, "passivity"),
            link_timeout=_scalar(link_timeout, "link_timeout"),
            fade=_scalar(fade, "fade"),
            engage=_scalar(engage, "engage"),
            reflect=_scalar(reflect, "reflect"),
            contact_model=_contact_model(contact_model, "contact_model"),
            contact_max_stiffness=_scalar(contact_max_stiffness, "contact_max_stiffness"),
            contact_damping=_scalar(contact_damping, "contact_damping"),
        )


@dataclass(frozen=True)
class Impairment:
    """A test tool: the receiving side holds each remote sample back by ``delay`` seconds plus
    a random 0 to ``jitter``, and drops a random share ``loss`` (0 to 1) of them, in order.
    This machine's kernel has no netem; this is the user-space stand-in. Off by default, and a
    run that uses it says so in its figures."""

    delay: float = 0.0
    jitter: float = 0.0
    loss: float = 0.0
    seed: int = 1

    def __post_init__(self) -> None:
        _native.check_impairment(
            number(self.delay, "delay"), number(self.jitter, "jitter"), number(self.loss, "loss")
        )

    @property
    def active(self) -> bool:
        return bool(self.delay or self.jitter or self.loss)

    def describe(self) -> str:
        """How it impairs, in words: "none", or e.g. "delay 20 ms, jitter 2 ms, loss 5 %"."""
        if not self.active:
            return "none"
        parts = [f"delay {self.delay * 1e3:g} ms"] if self.delay else []
        parts += [f"jitter {self.jitter * 1e3:g} ms"] if self.jitter else []
        parts += [f"loss {self.loss * 100:g} %"] if self.loss else []
        return ", ".join(parts)


LinkState = Literal["off", "waiting", "engaging", "engaged", "lost"]
CouplingMode = Literal["none", "one-way", "bilateral"]


class RemoteCounts(TypedDict):
    taken: int
    refused_value: int
    refused_contact: int
    refused_stamp: int
    refused_flood: int
    dropped: int
    impaired_lost: int


@dataclass(frozen=True)
class CouplingStatus:
    """What the loop rendered of its coupling at its latest cycle: ``state`` ("off": not
    coupled, "waiting": no sample yet, "engaging", "engaged", "lost": no sample within the link
    time-out, the force fading or zero), ``mode`` ("none": no sample yet, "one-way": the remote
    counts no energy, so the follower's own loop keeps it stable and the passivity controller
    only observes, "bilateral": it does, and the controller guards the loop through the link),
    ``gain`` (0 to 1), the smoothed ``target`` and the
    ``force`` sent (read-only arrays), the newest sample's age (s), the ``link_timeout`` in
    force (s: the coupling's plus three of the peer's measured sample intervals, at most twice
    the coupling's), this port's energies (J:
    ``energy_in`` from the arm, ``energy_out`` to it, ``energy_dissipated`` by the passivity
    controller, ``energy_credited`` that came in at the other end, ``energy_drift`` granted to
    return the rest offset a bilateral coupling engages with) and the remote samples'
    counts (taken, refused by reason, dropped, lost to an impairment). ``contact`` says whether
    a contact plane is in force (this side's own estimate with ``contact_model="estimate"``, the
    peer's with ``"render"``), ``contact_gain`` (0 to 1) its fade, and ``contact_point``,
    ``contact_normal`` (outward) and ``contact_stiffness`` (N/m) the plane."""

    state: LinkState
    mode: CouplingMode
    gain: float
    target: npt.NDArray[np.float64]
    force: npt.NDArray[np.float64]
    sample_age: float
    link_timeout: float
    energy_in: float
    energy_out: float
    energy_dissipated: float
    energy_credited: float
    energy_drift: float
    counts: RemoteCounts
    contact: bool
    contact_gain: float
    contact_point: npt.NDArray[np.float64]
    contact_normal: npt.NDArray[np.float64]
    contact_stiffness: float

    @property
    def energy_observed(self) -> float:
        """The passivity observer at this port: energy in less energy out (J)."""
        return self.energy_in - self.energy_out


def coupling_status(loop: ServoLoop) -> CouplingStatus:
    """What ``loop`` rendered of its coupling at its latest cycle."""
    d = loop._native.coupling_status()
    counts = RemoteCounts(
        taken=d["taken"],
        refused_value=d["refused_value"],
        refused_contact=d["refused_contact"],
        refused_stamp=d["refused_stamp"],
        refused_flood=d["refused_flood"],
        dropped=d["dropped"],
        impaired_lost=d["impaired_lost"],
    )
    return CouplingStatus(
        state=cast(LinkState, d["state"]),
        mode=cast(CouplingMode, d["mode"]),
        gain=float(d["gain"]),
        target=frozen_array(d["target"]),
        force=frozen_array(d["force"]),
        sample_age=float(d["sample_age"]),
        link_timeout=float(d["link_timeout"]),
        energy_in=float(d["energy_in"]),
        energy_out=float(d["energy_out"]),
        energy_dissipated=float(d["energy_dissipated"]),
        energy_credited=float(d["energy_credited"]),
        energy_drift=float(d["energy_drift"]),
        counts=counts,
        contact=bool(d["contact"]),
        contact_gain=float(d["contact_gain"]),
        contact_point=frozen_array(d["contact_point"]),
        contact_normal=frozen_array(d["contact_normal"]),
        contact_stiffness=float(d["contact_stiffness"]),
    )
