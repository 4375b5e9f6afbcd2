"""The handle read in the background: a native thread asks for its status at a fixed rate and
receives every message, so Python reads the newest status whenever it likes.

::

    with tamro.HandleReader("/dev/ttyUSB0", rate_hz=200.0) as reader:
        status = reader.latest()              # never waits
        print(status.quaternion, status.hall_effect_sensor_level)
        reader.send_user_data(b"\\x01")        # written by the thread between two receives
"""

from __future__ import annotations

import atexit
import os
import threading
import weakref
from dataclasses import dataclass
from typing import TypedDict

import numpy as np
import numpy.typing as npt

from . import _native
from ._errors import DeviceFault
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


_live: weakref.WeakSet[HandleReader] = weakref.WeakSet()


class HandleReader:
    """A handle read by a native thread.

    ``HandleReader(port, *, rate_hz=200.0, fault_timeout=0.05, max_faults=3)`` opens the port,
    wakes the handle and waits up to a second for its information message, then starts the
    thread at once: it asks for the status ``rate_hz`` times a second on absolute deadlines
    (``rate_hz=None``: again as soon as the last status arrived) and receives every message.

    Raises ``OSError`` (with errno and path) for a port that cannot be opened, ``TimeoutError``
    when no information message comes, ``ValueError``/``TypeError`` for invalid arguments. A
    reader that gets no whole status ``max_faults`` times in a row (each waited for at most
    ``fault_timeout`` seconds) stops and keeps the reason as ``fault``; ``latest()``,
    ``events()`` and ``send_user_data()`` then raise it as ``tamro.DeviceFault``, while
    ``stats()``, ``drain()`` and ``close()`` still work.
    """

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
        self._fault: DeviceFault | None = None
        self._closed = False
        self._lock = threading.Lock()
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
        _live.add(self)

    @property
    def info(self) -> HandleInfo:
        """The information message that answered the wake-up (a copy)."""
        return HandleInfo(**self._info)

    @property
    def port(self) -> str:
        return self._native.port

    @property
    def rate_hz(self) -> float | None:
        return self._native.rate_hz

    @property
    def running(self) -> bool:
        return bool(self._native.running)

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def fault(self) -> DeviceFault | None:
        """Why the reader gave up on the handle, or None."""
        if self._fault is None:
            latched = self._native.fault()
            if latched is not None:
                code, message = latched
                self._fault = DeviceFault(code, message, self._native.port)
        return self._fault

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

    def record(self, capacity: int) -> None:
        """Records every status from now on into a ring of ``capacity`` statuses (0 stops).
        A full ring drops statuses; the thread never waits. What an earlier recording still
        holds is kept for ``drain()``."""
        capacity = whole(capacity, "capacity")
        if capacity < 0:
            raise ValueError("capacity must be 0 or more")
        self._native.record(capacity)

    def drain(self) -> npt.NDArray[np.void]:
        """The recorded statuses not yet drained, oldest first: a structured array with the
        fields ``time``, ``quaternion`` (4), ``hall_effect_sensor_level`` and ``error_flag``."""
        rows = np.empty(self._native.pending(), dtype=HANDLE_RECORD_DTYPE)
        count = self._native.drain_into(rows)
        return rows[:count]

    def close(self) -> None:
        """Stops the thread and closes the port. Never raises for a fault; closing twice does
        nothing."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            self._native.close()
        _live.discard(self)

    def __enter__(self) -> HandleReader:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_native", None) is not None and not self._closed:
            self.close()

    def __repr__(self) -> str:
        status = "closed" if self._closed else "faulted" if self.fault is not None else "running"
        rate = "as fast as it answers" if self.rate_hz is None else f"{self.rate_hz:g} Hz"
        return f"<tamro.HandleReader {self.port} {rate} {status}>"

    def _raise_fault(self) -> None:
        fault = self.fault
        if fault is not None:
            raise fault

    def _refuse_closed(self) -> None:
        if self._closed:
            raise ValueError("the handle reader is closed")


@atexit.register
def _close_all() -> None:
    for reader in list(_live):
        reader.close()
