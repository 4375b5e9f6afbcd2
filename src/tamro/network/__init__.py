"""The devices on the network: DDS topics that a ROS 2 system sees as its own, with no ROS
installed (Eclipse Cyclone DDS inside the native library).

::

    with tamro.ServoLoop(port) as loop, tamro.Node("lab") as node:
        node.publish(loop, "arm")                          # /lab/arm/measured_cp, _cv, _cf
        node.accept_commands(loop, "arm", stiffness=200.0, damping=1.0)  # servo_cp, servo_cf
        ...

Publishing and receiving run on native threads: the loops hand every cycle to a publishing
thread through a fixed ring and never call DDS; commands are checked on a DDS thread and
reach the loop whole, faded to zero when their stream stops. No Python runs in either path.

Cyclone DDS takes its configuration from ``CYCLONEDDS_URI``; without it, it uses every
interface and multicast discovery. ``use_loopback()`` keeps a one-machine run on the loopback
interface (``LOOPBACK_CONFIG``), ``use_peer(address)`` two machines (``TWO_MACHINES_CONFIG``).
See docs/network.md.

``Capture`` records what a namespace publishes, as ``tamro-record`` does (docs/recording.md).
"""

from __future__ import annotations

import os
import threading
import weakref
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Literal, TypedDict, cast

import numpy as np
import numpy.typing as npt

from .. import _native
from .._exit import Rank, at_exit
from .._values import frozen_array, number, vector, whole
from ..coupling import Impairment
from ..handle import HandleReader
from ..servo import ServoLoop
from ._capture import Capture, CapturedTopic, IgnoredTopic, Sample
from ._config import PEER_VARIABLE, TWO_MACHINES_CONFIG, configured_interfaces, use_peer
from ._remote import RemoteArm, RemoteState
from ._security import Enclave, find_enclave

__all__ = [
    "Node",
    "RemoteArm",
    "RemoteState",
    "Capture",
    "CapturedTopic",
    "IgnoredTopic",
    "Sample",
    "TopicInfo",
    "TopicStats",
    "CommandStatus",
    "TOPICS",
    "topic_name",
    "frame_id",
    "Enclave",
    "find_enclave",
    "LOOPBACK_CONFIG",
    "use_loopback",
    "use_peer",
    "PEER_VARIABLE",
    "TWO_MACHINES_CONFIG",
    "configured_interfaces",
    "available",
    "check_ros_name",
    "MAX_DOMAIN",
    "MAX_SECURED_DOMAIN",
    "MAX_SHOWN_FRAME",
    "REFUSAL_REASONS",
]

MAX_DOMAIN: int = _native.MAX_DOMAIN
"""The highest DDS domain id (the lowest is 0)."""

MAX_SECURED_DOMAIN: int = _native.MAX_SECURED_DOMAIN
"""The highest DDS domain id a secured participant (a keystore's enclave) can join."""

LOOPBACK_CONFIG = Path(__file__).resolve().parent / "loopback.xml"
"""A Cyclone DDS configuration that keeps DDS on the loopback interface (no multicast)."""

# How a loop renders network commands unless told otherwise: the C++ defaults
# (Control::CommandSettings), where their reasons are written.
_COMMANDS = _native.COMMAND_DEFAULTS
DEFAULT_STIFFNESS: float = _COMMANDS["stiffness"]
"""N/m: the coupling spring toward ``servo_cp``'s target."""
DEFAULT_DAMPING: float = _COMMANDS["damping"]
"""N s/m: the coupling's damping."""
DEFAULT_TIMEOUT: float = _COMMANDS["timeout"]
"""Seconds without a fresh sample after which a stream counts as stopped and fades."""
DEFAULT_RAMP: float = _COMMANDS["ramp"]
DEFAULT_WORKSPACE: tuple[tuple[float, float, float], tuple[float, float, float]] = _COMMANDS["workspace"]
"""Targets outside this box are refused: the simulated arm's workspace (docs/conventions.md)."""
REFUSAL_REASONS: dict[str, str] = dict(_native.REFUSAL_REASONS) if _native.HAVE_DDS else {}
"""Why a command sample is refused, by name (as ``TopicStats["reasons"]`` counts them), with
what it says of the sample: ``not_finite``, ``workspace``, ``frame``, ``stale``, ``future``,
``implausible``, ``rate``, ``stopped`` (docs/network.md)."""
MAX_SHOWN_FRAME: int = _native.MAX_SHOWN_FRAME if _native.HAVE_DDS else 0
"""The longest ``refused_frame`` kept, in bytes: the rest of a refused frame id is cut."""
DEFAULT_STAMP_WINDOW: float = _COMMANDS["stamp_window"]
"""Seconds a command stream's first stamp may lie from this machine's wall clock, either way
(docs/network.md: machines whose clocks are not synchronised set it wider)."""


def check_ros_name(name: str, what: str = "name", *, slashes: bool = True) -> None:
    """Raise ``ValueError`` (naming ``what``) unless ``name`` follows ROS 2's naming rules; with
    ``slashes``, a namespace of several levels (``lab/left``) is allowed."""
    _native.check_ros_name(name, what, slashes)


def available() -> bool:
    """Whether this build has the network part (it needs Cyclone DDS when it is built)."""
    return bool(_native.HAVE_DDS)


class TopicInfo(TypedDict):
    device: Literal["arm", "handle", "coupling"]
    name: str
    ros_type: str
    dds_type: str
    type_hash: str
    direction: Literal["out", "in"]
    reliable: bool
    depth: int
    deadline: bool
    meaning: str


class TopicStats(TypedDict):
    topic: str
    ros_type: str
    direction: Literal["out", "in"]
    samples: int
    dropped: int
    refused: int
    clamped: int
    reasons: dict[str, int]
    expected: dict[str, str]
    refused_frame: str


TOPICS: list[TopicInfo] = list(_native.network_topics())
"""Every topic a device is served on (relative to ``/<namespace>/<device name>/``), with its
ROS 2 type, DDS type, type hash, direction and QoS: the library's own table (there in every
build: recordings name their topics by it too)."""


def topic_name(namespace: str, device: str, topic: str) -> str:
    """The ROS 2 name of a device's topic: ``/<namespace>/<device>/<topic>``."""
    return str(_native.ros_topic(namespace, device, topic))


def frame_id(namespace: str, device: str) -> str:
    """The ``frame_id`` a device's samples carry: ``<namespace>/<device>_base``."""
    return str(_native.frame_id(namespace, device))


Mode = Literal["off", "waiting", "engaging", "engaged", "fading"]


@dataclass(frozen=True)
class CommandStatus:
    """What a servo loop did with streamed commands at its latest cycle: ``mode`` is "off"
    (not accepting), "waiting" (no stream live), "engaging", "engaged" or "fading" (a stream
    stopped and its force ramps to zero); the gains (0 to 1) of the target spring and of the
    streamed force; and the commanded force that went into the loop's sum (read-only)."""

    mode: Mode
    target_gain: float
    force_gain: float
    force: npt.NDArray[np.float64]


def use_loopback() -> str:
    """Points ``CYCLONEDDS_URI`` at ``LOOPBACK_CONFIG`` unless it is set already (a user's own
    configuration wins), and returns the value in force. Call it before the first ``Node``."""
    current = os.environ.get("CYCLONEDDS_URI")
    if current:
        return current
    os.environ["CYCLONEDDS_URI"] = LOOPBACK_CONFIG.as_uri()
    return os.environ["CYCLONEDDS_URI"]


def _check_name(value: object, what: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a string, not {type(value).__name__}")
    return value


_live: weakref.WeakSet[Node] = weakref.WeakSet()


def _credentials(enclave: Enclave | None) -> tuple[str, str]:
    """The native layer's enclave directory and name ("" for an open participant)."""
    return ("", "/") if enclave is None else (str(enclave.directory), enclave.name)


class Node:
    """One DDS participant that serves devices as ROS 2 topics under ``/<namespace>/``.

    ``Node(namespace, *, domain=0, node_name=None)``: the namespace is a ROS 2 name (letters,
    digits, ``_``, parts joined by ``/``); the domain is the DDS domain id (0 to 232); the node
    name (one such token; default ``_native.Node.DEFAULT_NODE_NAME``) is what ``ros2 node list``
    shows, with ``ros2 node info`` listing its topics. With ``keystore`` (and ``enclave``, a name
    such as ``/lab/bridge``), or ROS 2's ``ROS_SECURITY_*`` variables, the participant joins a
    secured domain with that enclave's credentials, or raises ``RuntimeError`` naming the file
    it cannot load and why (``find_enclave`` says how they are found). A context manager;
    ``close()`` stops publishing and command taking (the loops fade what was commanded to
    zero) and leaves the domain. Raises ``RuntimeError`` when this build has no network part
    or DDS refuses, ``ValueError``/``TypeError`` for invalid arguments.
    """

    def __init__(
        self,
        namespace: str,
        *,
        domain: int = 0,
        node_name: str | None = None,
        keystore: str | os.PathLike[str] | None = None,
        enclave: str | None = None,
    ) -> None:
        if not available():
            raise RuntimeError(
                "this build of tamro has no network part: build it with Cyclone DDS (cyclonedds-dev)"
            )
        namespace = _check_name(namespace, "namespace")
        domain = whole(domain, "domain")
        self._lock = threading.Lock()
        self._closed = False
        self._loops: dict[str, ServoLoop] = {}
        if node_name is None:
            node_name = str(_native.Node.DEFAULT_NODE_NAME)
        node_name = _check_name(node_name, "node name")
        self.enclave = find_enclave(keystore, enclave)
        """The enclave the node joined with; None when it is open."""
        self._native = _native.Node(namespace, domain, node_name, *_credentials(self.enclave))
        _live.add(self)

    @property
    def namespace(self) -> str:
        return str(self._native.namespace)

    @property
    def domain(self) -> int:
        return int(self._native.domain)

    @property
    def node_name(self) -> str:
        """The name ROS 2's graph knows this node by (``ros2 node list``: /namespace/node_name)."""
        return str(self._native.node_name)

    @property
    def closed(self) -> bool:
        return self._closed

    def _topics(self, device: str, name: str, direction: str) -> list[str]:
        return [
            _native.ros_topic(self.namespace, name, t["name"])
            for t in TOPICS
            if t["device"] == device and t["direction"] == direction
        ]

    def publish(
        self, source: ServoLoop | HandleReader, name: str, *, rate_hz: float | None = None
    ) -> list[str]:
        """Publishes a servo loop's cycles (``measured_cp``, ``measured_cv``, ``measured_cf``) or
        a handle reader's statuses (``measured_cp``, ``sensor_level``, ``user_data``) under
        ``/<namespace>/<name>/``: every one, or at ``rate_hz`` on the device's own times.
        Returns the topics' ROS 2 names. A device is published by one node at a time."""
        name = _check_name(name, "name")
        rate = 0.0 if rate_hz is None else number(rate_hz, "rate_hz")
        if rate_hz is not None and not rate > 0:
            raise ValueError("rate_hz must be above 0, or None for every cycle")
        with self._lock:
            self._refuse_closed()
            if isinstance(source, ServoLoop):
                source._refuse_closed()
                self._native.publish_loop(source._native, name, rate)
                return self._topics("arm", name, "out")
            if isinstance(source, HandleReader):
                source._refuse_closed()
                self._native.publish_reader(source._native, name, rate)
                return self._topics("handle", name, "out")
        raise TypeError(f"publish takes a tamro.ServoLoop or tamro.HandleReader, not {type(source).__name__}")

    def accept_commands(
        self,
        loop: ServoLoop,
        name: str,
        *,
        stiffness: float = DEFAULT_STIFFNESS,
        damping: float = DEFAULT_DAMPING,
        timeout: float = DEFAULT_TIMEOUT,
        ramp: float = DEFAULT_RAMP,
        workspace: tuple[Sequence[float], Sequence[float]] = DEFAULT_WORKSPACE,
        stamp_window: float = DEFAULT_STAMP_WINDOW,
    ) -> list[str]:
        """Takes ``servo_cp`` (the target of a spring of ``stiffness`` N/m and ``damping``
        N s/m the loop renders) and ``servo_cf`` (a force added to the loop's effects) under
        ``/<namespace>/<name>/``. Each sample is checked on arrival: not finite, a target
        outside ``workspace`` (lower and upper corners, m) or a frame other than the device's
        is refused and counted; a force is clamped to the loop's ``max_force``. Each sample is
        judged by its stamp against its own stream: held up on the way for longer than
        ``timeout``, out of order, or fresher than the stream's samples allow, it is refused
        and counted; a stream's first stamp must lie within ``stamp_window`` seconds of this
        machine's wall clock. A stream whose newest sample was sent ``timeout`` seconds ago
        fades to zero over ``ramp`` seconds, and comes back over the same ramp. Returns the
        topics' ROS 2 names."""
        if not isinstance(loop, ServoLoop):
            raise TypeError(f"accept_commands takes a tamro.ServoLoop, not {type(loop).__name__}")
        name = _check_name(name, "name")
        lower, upper = (vector(corner, "workspace corner") for corner in workspace)
        with self._lock:
            self._refuse_closed()
            loop._refuse_closed()
            self._native.accept_commands(
                loop._native,
                name,
                number(stiffness, "stiffness"),
                number(damping, "damping"),
                number(timeout, "timeout"),
                number(ramp, "ramp"),
                lower,
                upper,
                number(stamp_window, "stamp_window"),
            )
            self._loops[name] = loop
        return self._topics("arm", name, "in")

    def couple(
        self,
        loop: ServoLoop,
        name: str,
        peer: str,
        *,
        device: str = "arm",
        handle: bool = False,
        reach: float = 0.03,
        workspace: tuple[Sequence[float], Sequence[float]] = DEFAULT_WORKSPACE,
        impairment: Impairment | None = None,
    ) -> list[str]:
        """Couples ``loop``'s ``tamro.Coupling`` to the device under ``/<peer>/<device>/``:
        its ``measured_cp`` is the target, with ``measured_cv`` as the target's velocity and,
        when that device is coupled too, its ``coupling_energy`` and ``coupling_cf`` for the
        passivity controller and ``reflect``, and its ``contact_model`` and ``contact_stiffness``
        for a coupling that renders them (``Coupling(contact_model="render")``). Each sample is
        checked on arrival and refused (and counted) when it is not finite, outside
        ``workspace``, not after the last, or beyond ``tamro.coupling.SAMPLE_LIMITS`` (speed,
        stamp lead and age, rate).
        ``handle=True`` follows a handle instead: its orientation puts the target ``reach``
        metres along the handle's x axis. Publishes this
        coupling's ``coupling_cf`` and ``coupling_energy`` (and, estimating a contact, its
        ``contact_model`` and ``contact_stiffness``) under ``/<namespace>/<name>/``.
        ``impairment`` makes the link worse on purpose (a test tool). Returns the topics'
        ROS 2 names, ours then the peer's."""
        if not isinstance(loop, ServoLoop):
            raise TypeError(f"couple takes a tamro.ServoLoop, not {type(loop).__name__}")
        name = _check_name(name, "name")
        peer = _check_name(peer, "peer")
        device = _check_name(device, "device")
        if not isinstance(handle, bool):
            raise TypeError(f"handle must be True or False, not {type(handle).__name__}")
        if impairment is not None and not isinstance(impairment, Impairment):
            raise TypeError(f"impairment must be a tamro.Impairment, not {type(impairment).__name__}")
        impair = impairment or Impairment()
        lower, upper = (vector(corner, "workspace corner") for corner in workspace)
        with self._lock:
            self._refuse_closed()
            loop._refuse_closed()
            self._native.couple(
                loop._native,
                name,
                peer,
                device,
                handle,
                number(reach, "reach"),
                lower,
                upper,
                impair.delay,
                impair.jitter,
                impair.loss,
                whole(impair.seed, "seed"),
            )
        ours = [
            _native.ros_topic(self.namespace, name, t["name"]) for t in TOPICS if t["device"] == "coupling"
        ]
        theirs = (
            ["measured_cp"]
            if handle
            else [
                "measured_cp",
                "measured_cv",
                "coupling_energy",
                "coupling_cf",
                "contact_model",
                "contact_stiffness",
            ]
        )
        return ours + [_native.ros_topic(peer, device, topic) for topic in theirs]

    def stats(self) -> list[TopicStats]:
        """What each topic carried: ``samples`` written (out) or taken (in); ``dropped``:
        records the device's thread could not hand over (its ring was full) or that were not
        written; ``refused`` and ``clamped``: command samples the checks refused or scaled
        down. Of those refused, ``reasons`` counts each reason (``REFUSAL_REASONS`` names
        them), ``expected`` says what each reason expects of a sample on the topic, and
        ``refused_frame`` is the ``frame_id`` of the newest sample refused for its frame, as
        sent (untrusted: escape it before showing it; at most ``MAX_SHOWN_FRAME`` bytes).
        Still answers once closed."""
        rows: list[TopicStats] = self._native.stats()
        return rows

    def command_status(self, name: str) -> CommandStatus:
        """What the loop taking commands under ``name`` rendered of them at its latest cycle."""
        loop = self._loops.get(name)
        if loop is None:
            raise KeyError(f"no loop takes commands under {name!r}")
        return command_status(loop)

    def close(self) -> None:
        """Stops publishing and taking commands, and leaves the domain; closing twice does nothing."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            self._native.close()
        _live.discard(self)

    def _refuse_closed(self) -> None:
        if self._closed:
            raise ValueError("the node is closed")

    def __enter__(self) -> Node:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else "open"
        return f"<tamro.Node /{self.namespace} domain {self.domain} {state}>"


def command_status(loop: ServoLoop) -> CommandStatus:
    """What ``loop`` rendered of streamed commands at its latest cycle."""
    mode, target_gain, force_gain, force = _native.command_status(loop._native)
    return CommandStatus(cast(Mode, mode), target_gain, force_gain, frozen_array(force))


def _close_all() -> None:
    for node in list(_live):
        node.close()


# Before the loops: publishing and commands stop before the loops send their last zero force.
at_exit(Rank.NODES, _close_all)
