"""Finding attached devices, and asking one port what is on it.

``detect_arms()`` and ``detect_handles()`` list ``/dev`` as the device library's detection
does (arms on ttyACM nodes, wired handles on ttyUSB, wireless ones on rfcomm), send each
candidate the wake-up request and return the paths of those that answered as the device
asked for, in listing order. Ports are probed one after another: about a second for each
silent one. Python threads run meanwhile.

``probe_port(path)`` opens one port, sends the wake-up request and reports what answered,
whatever it was; for an arm it also times zero-force exchanges. ``tamro-doctor`` probes every
port this way. It opens only a serial port: a path that leads to a regular file, a FIFO, a
character device of another kind or this process's controlling terminal is never opened and
raises ``NotASerialPort``; the settings of a port it opens are put back as it found them::

    for path in tamro.detect_arms():
        probe = tamro.probe_port(path, exchanges=100)
        print(path, probe.answer, probe.round_trips)
"""

from __future__ import annotations

import errno
import os
import uuid
from dataclasses import dataclass
from typing import Literal

from . import _native
from .handle import HandleInfo
from .servo import DeviceInfo

__all__ = [
    "NotASerialPort",
    "PortProbe",
    "ProbeAnswer",
    "ProbedHandleError",
    "ProbedHandleStatus",
    "RoundTrips",
    "detect_arms",
    "detect_handles",
    "probe_port",
]

ProbeAnswer = Literal[
    "write-failed",  # the port opened but refused the request
    "silence",  # nothing within the time-out
    "velkin3",  # an arm that detection accepts
    "other-model",  # a device-info reply with another model number
    "handle-info",
    "handle-status",
    "handle-error",  # a handle's error response (detection does not count it)
    "truncated",  # a known reply that stopped short
    "other",  # bytes no Tamro device sends first
]
"""What answered the wake-up request."""


class NotASerialPort(OSError):
    """A path that leads to no serial port, so it was not opened: ``errno`` is ``ENOTTY``,
    ``strerror`` says what the path leads to and ``filename`` is the path."""


@dataclass(frozen=True)
class RoundTrips:
    """Zero-force exchanges timed on an arm: ``completed`` of ``requested``, stopping at the
    first that did not complete (``ended`` says how: missing, wrong-code or short), with the
    percentiles of those that did, in microseconds."""

    requested: int
    completed: int
    ended: Literal["complete", "missing", "wrong-code", "short"]
    p50_us: float
    p99_us: float


@dataclass(frozen=True)
class ProbedHandleStatus:
    """A handle's status message, as it answered the wake-up request."""

    device_id: int
    quaternion: tuple[float, float, float, float]
    error_flag: int
    hall_effect_sensor_level: int
    user_data: bytes


@dataclass(frozen=True)
class ProbedHandleError:
    """A handle's error response."""

    device_id: int
    error_code: int


@dataclass(frozen=True)
class PortProbe:
    """What answered the wake-up request on ``path``, with the reply where one was decoded:
    ``device_info`` for velkin3 and other-model, ``handle_info``, ``handle_status`` or
    ``handle_error`` for a handle, ``raw_bytes`` for other (the first bytes) and truncated (the
    header code), ``round_trips`` for velkin3."""

    path: str
    answer: ProbeAnswer
    device_info: DeviceInfo | None = None
    handle_info: HandleInfo | None = None
    handle_status: ProbedHandleStatus | None = None
    handle_error: ProbedHandleError | None = None
    raw_bytes: bytes = b""
    round_trips: RoundTrips | None = None

    @property
    def usable(self) -> bool:
        """Whether an arm or a handle answered as detection counts it."""
        return self.answer in ("velkin3", "handle-info", "handle-status")


def _directory(device_directory: str | os.PathLike[str]) -> str:
    return os.fspath(device_directory)


def detect_arms(*, device_directory: str | os.PathLike[str] = "/dev") -> list[str]:
    """The ports (ttyACM nodes, links resolved) where an arm answered.

    Raises ``OSError`` when the folder cannot be listed or holds a link named like a serial
    node that leads nowhere (``tamro-doctor`` names it).
    """
    return _native.detect_arms(_directory(device_directory))


def detect_handles(
    *, wired: bool = True, wireless: bool = True, device_directory: str | os.PathLike[str] = "/dev"
) -> list[str]:
    """The ports where a handle answered: wired ones on ttyUSB nodes, wireless ones on rfcomm
    nodes, in listing order. Raises ``OSError`` as ``detect_arms`` does."""
    directory = _directory(device_directory)
    if wired and wireless:
        return _native.detect_handles(directory)
    if wired:
        return _native.detect_wired_handles(directory)
    if wireless:
        return _native.detect_wireless_handles(directory)
    return []


def probe_port(path: str | os.PathLike[str], *, timeout: float = 0.5, exchanges: int = 100) -> PortProbe:
    """Opens the serial port at ``path``, sends the wake-up request and reports what answered;
    for an arm it then times ``exchanges`` zero-force exchanges. ``timeout`` bounds each read,
    in seconds (more than 0, at most 60).

    Raises ``NotASerialPort`` for a path that is no serial port (it is not opened),
    ``OSError`` when the port cannot be opened (``FileNotFoundError``, ``PermissionError``,
    ...) and ``ValueError`` for a timeout or a count out of range.
    """
    name = os.fspath(path)
    found = _native.probe_port(name, timeout=timeout, exchanges=exchanges)
    if found["answer"] == "not-serial":
        raise NotASerialPort(errno.ENOTTY, f"not a serial port: {found['refusal']}", name)
    info, handle, status, error = (
        found["device_info"],
        found["handle_info"],
        found["handle_status"],
        found["handle_error"],
    )
    trips = found["round_trips"]
    return PortProbe(
        path=found["path"],
        answer=found["answer"],
        device_info=_device_info(info) if info is not None else None,
        handle_info=HandleInfo(**handle) if handle is not None else None,
        handle_status=ProbedHandleStatus(**status) if status is not None else None,
        handle_error=ProbedHandleError(**error) if error is not None else None,
        raw_bytes=found["raw_bytes"],
        round_trips=RoundTrips(**trips) if trips is not None else None,
    )


def _device_info(info: _native.DeviceInfoDict) -> DeviceInfo:
    return DeviceInfo(
        device_id=info["device_id"],
        device_model_number=info["device_model_number"],
        hardware_version=info["hardware_version"],
        firmware_version=info["firmware_version"],
        device_id_ext=uuid.UUID(bytes=info["uuid"]),
    )
