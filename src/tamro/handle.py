"""The handle read in the background: a native thread asks for its status at a fixed rate and
receives every message, so Python reads the newest status whenever it likes.

::

    with tamro.HandleReader("/dev/ttyUSB0", rate_hz=200.0) as reader:
        status = reader.latest()              # never waits
        print(status.quaternion, status.hall_effect_sensor_level)
        reader.send_user_data(b"\\x01")        # written by the thread between two receives
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import TypedDict

import numpy as np
import numpy.typing as npt

from . import _native
from ._loop import NativeLoop
from ._values import frozen_array, number, whole

__all__ = [
    "HandleReader",
    "HandleStatus",
    "HandleInfo",
    "HandleInfoEvent",
    "HandleErrorEvent",
    "HANDLE_RECORD_DTYPE",
]

HANDLE_RECORD_DTYPE = np.dtype(
    {
        "names": ["time", "quaternion", "hall_effect_sensor_level", "error_flag"],
        "formats": ["<f8", ("<f4", (4,)), "u1", "u1"],
        "offsets": [0, 8, 24, 25],
        "itemsize": 32,
    }
)
"""The rows ``HandleReader.drain()`` returns: one per status message."""


class HandleInfo(TypedDict):
    tool_data_remaining: int
    device_id: int
    device_model_number: int
    hardware_version: int
    firmware_version: int


@dataclass(frozen=True)
class HandleStatus:
    """The newest status message: ``count`` status messages had arrived by then (0: none yet),
    the last at ``time`` (seconds on the ``time.monotonic()`` clock). ``quaternion`` holds the
    four components in the order the handle sends them (read-only)."""

    device_id: int
    quaternion: npt.NDArray[np.float32]
    error_flag: int
    hall_effect_sensor_level: int
    user_data: bytes
    time: float
    count: int


@dataclass(frozen=True)
class HandleInfoEvent:
    """An information message, and when it arrived."""

    time: float
    tool_data_remaining: int
    device_id: int
    device_model_number: int
    hardware_version: int
    firmware_version: int


@dataclass(frozen=True)
class HandleErrorEvent:
    """An error response, and when it arrived."""

    time: float
    device_id: int
    error_code: int


HandleEvent = HandleInfoEvent | HandleErrorEvent


class HandleReaderStats(TypedDict):
    messages: int
    rate_hz: float
    latency_p50_us: float
    latency_p99_us: float
    failed_requests: int
    unknown_codes: int
    dropped_events: int


class HandleReader(NativeLoop):
    """A handle read by a native thread.

    ``HandleReader(port, *, rate_hz=200.0, fault_timeout=0.05, max_faults=3)`` opens the port,
    wakes the handle and waits up to a second for its information message, then starts the
    thread at once: it asks for the status ``rate_hz`` times a second on absolute deadlines
    (``rate_hz=None``: again as soon as the last status arrived) and receives every message.

    Raises ``OSError`` (with errno and path) for a port that cannot be opened, ``TimeoutError``
    when no information message comes, ``ValueError``/``TypeError`` for invalid arguments. A
    reader that gets no whole status in time ``max_faults`` times in a row (each waited for at
    most ``fault_timeout`` seconds from its request; a late status answers its own request and
    is counted from it) stops and keeps the reason as ``fault``; ``latest()``,
    ``events()`` and ``send_user_data()`` then raise it as ``tamro.DeviceFault``, while
    ``stats()``, ``drain()`` and ``close()`` still work.
    """

    _record_dtype = HANDLE_RECORD_DTYPE
    _what = "handle reader"

    def __init__(
        self,
        port: str | os.PathLike[str],
        *,
        rate_hz: float | None = 200.0,
        fault_timeout: float = 0.05,
        max_faults: int = 3,
    ) -> None:
        if rate_hz is not None:
            rate_hz = number(rate_hz, "rate_hz")
        max_faults = whole(max_faults, "max_faults")
        super().__init__()
        self._native = _native.HandleReader(
            os.fspath(port), rate_hz, number(fault_timeout, "fault_timeout"), max_faults
        )
        remaining, device_id, model, hardware, firmware = self._native.info()
        self._info = HandleInfo(
            tool_data_remaining=remaining,
            device_id=device_id,
            device_model_number=model,
            hardware_version=hardware,
            firmware_version=firmware,
        )
        self._opened()

    @property
    def info(self) -> HandleInfo:
        """The information message that answered the wake-up (a copy)."""
        return HandleInfo(**self._info)

    def latest(self) -> HandleStatus:
        """The newest status, without waiting."""
        self._raise_fault()
        count, time, device_id, quaternion, error_flag, hall, user_data = self._native.latest()
        return HandleStatus(
            device_id=device_id,
            quaternion=frozen_array(quaternion, np.float32),
            error_flag=error_flag,
            hall_effect_sensor_level=hall,
            user_data=user_data,
            time=time,
            count=count,
        )

    def events(self) -> list[HandleEvent]:
        """The information messages and error responses that arrived since the last call,
        oldest first. The queue holds 256; what found it full is counted in
        ``stats()["dropped_events"]``."""
        self._raise_fault()
        events: list[HandleEvent] = []
        for kind, time, fields in self._native.events():
            if kind == "info":
                events.append(HandleInfoEvent(time, *fields))
            else:
                events.append(HandleErrorEvent(time, *fields))
        return events

    def send_user_data(self, data: bytes | bytearray | memoryview) -> None:
        """Sends a handle state message with this handle's device id and ``data`` (at most 255
        bytes). The reader's thread writes it between two receives."""
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"data must be bytes, not {type(data).__name__}")
        payload = bytes(data)
        if len(payload) > 255:
            raise ValueError(f"at most 255 bytes of user data, not {len(payload)}")
        self._raise_fault()
        self._refuse_closed()
        if not self._native.send_user_data(payload):
            self._raise_fault()
            self._refuse_closed()

    def stats(self) -> HandleReaderStats:
        figures: HandleReaderStats = self._native.stats()
        return figures

    def __enter__(self) -> HandleReader:
        return self

    def __repr__(self) -> str:
        status = self._status()
        rate = "as fast as it answers" if self.rate_hz is None else f"{self.rate_hz:g} Hz"
        return f"<tamro.HandleReader {self.port} {rate} {status}>"
