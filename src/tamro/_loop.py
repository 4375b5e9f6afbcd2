"""What the servo loop and the handle reader share in Python: the native loop they wrap, its
fault as an exception, closing (also at interpreter exit) and the recording."""

from __future__ import annotations

import threading
import weakref
from typing import Any

import numpy as np
import numpy.typing as npt

from ._errors import DeviceFault
from ._exit import Rank, at_exit
from ._values import whole

_live: weakref.WeakSet[NativeLoop] = weakref.WeakSet()


class NativeLoop:
    """The Python side of a native loop thread. Subclasses set ``_native`` (the loop from
    ``tamro._native``) in their constructor, then call ``_opened()``."""

    _native: Any
    _record_dtype: np.dtype[Any]
    _what = "loop"  # in messages: "the servo loop is closed"

    def __init__(self) -> None:
        self._lock = threading.RLock()
        self._fault: DeviceFault | None = None
        self._closed = False

    def _opened(self) -> None:
        _live.add(self)

    @property
    def port(self) -> str:
        return str(self._native.port)

    @property
    def rate_hz(self) -> float | None:
        """The rate it aims at; None when it runs as fast as the device answers."""
        rate: float | None = self._native.rate_hz
        return rate

    @property
    def running(self) -> bool:
        return bool(self._native.running)

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def fault(self) -> DeviceFault | None:
        """Why it gave up on the device, or None."""
        if self._fault is None:
            latched = self._native.fault()
            if latched is not None:
                code, message = latched
                self._fault = DeviceFault(code, message, self._native.port)
        return self._fault

    def record(self, capacity: int) -> None:
        """Records every cycle from now on into a ring of ``capacity`` rows (0 stops recording).
        A full ring drops rows and counts them; the thread never waits. What an earlier
        recording still holds is kept for ``drain()``."""
        capacity = whole(capacity, "capacity")
        if capacity < 0:
            raise ValueError("capacity must be 0 or more")
        self._native.record(capacity)

    def drain(self) -> npt.NDArray[np.void]:
        """The recorded rows not yet drained, oldest first, as a numpy structured array."""
        rows = np.empty(self._native.pending(), dtype=self._record_dtype)
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
            self._after_close()
        _live.discard(self)

    def _after_close(self) -> None:
        """What a subclass lets go of once its loop is closed."""

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_native", None) is not None and not getattr(self, "_closed", True):
            self.close()

    def _raise_fault(self) -> None:
        fault = self.fault
        if fault is not None:
            raise fault

    def _refuse_closed(self) -> None:
        if self._closed:
            raise ValueError(f"the {self._what} is closed")

    def _status(self) -> str:
        if self._closed:
            return "closed"
        if self.fault is not None:
            return "faulted"
        return "running" if self.running else "stopped"


def _close_all() -> None:
    for loop in list(_live):
        loop.close()


# Before the simulators: a servo loop's last zero-force exchange needs its arm still there.
at_exit(Rank.LOOPS, _close_all)
