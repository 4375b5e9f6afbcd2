"""A client of an arm served on the network, for scripts that need no ROS (C++:
``Network::RemoteArm``): its newest measured state, and command streams the far side checks,
times out and fades."""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from types import TracebackType
from typing import Any

import numpy as np
import numpy.typing as npt

from .. import _native
from .._values import frozen_array, number, vector, whole
from ._security import find_enclave


@dataclass(frozen=True)
class RemoteState:
    """The newest measured state: position (m), velocity (m/s), force (N), the stamp (wall-clock
    seconds since the epoch) and its age when it was read (s)."""

    position: npt.NDArray[np.float64]
    velocity: npt.NDArray[np.float64]
    force: npt.NDArray[np.float64]
    stamp: float
    age: float


def _state(raw: Any) -> RemoteState | None:
    if raw is None:
        return None
    position, velocity, force, stamp, age = raw
    return RemoteState(frozen_array(position), frozen_array(velocity), frozen_array(force), stamp, age)


class RemoteArm:
    """``RemoteArm(namespace, device="arm", *, domain=0)``: reads ``/<namespace>/<device>/``
    ``measured_cp``, ``measured_cv`` and ``measured_cf``; ``servo_cp``/``servo_cf`` write a command
    sample each (stamped now by this machine's wall clock, which the far side judges each
    sample's freshness by, and in the device's frame); ``stop()`` ends both streams, and the far
    side fades what they commanded. A context manager (leaving it stops and leaves the domain).
    ``keystore`` and ``enclave`` (or ROS 2's ``ROS_SECURITY_*`` variables) secure it as they do
    a ``Node``. Raises ``RuntimeError`` when this build has no network part or DDS refuses."""

    def __init__(
        self,
        namespace: str,
        device: str = "arm",
        *,
        domain: int = 0,
        keystore: str | os.PathLike[str] | None = None,
        enclave: str | None = None,
    ) -> None:
        if not _native.HAVE_DDS:
            raise RuntimeError("this build of tamro has no network part: build it with Cyclone DDS")
        for value, what in ((namespace, "namespace"), (device, "device")):
            if not isinstance(value, str):
                raise TypeError(f"{what} must be a string, not {type(value).__name__}")
        found = find_enclave(keystore, enclave)
        credentials = ("", "/") if found is None else (str(found.directory), found.name)
        self._native: Any = _native.RemoteArm(namespace, device, whole(domain, "domain"), *credentials)

    def state(self) -> RemoteState | None:
        """The newest state received (None before the first); never waits."""
        return _state(self._open().state())

    def wait_for_state(self, timeout: float) -> RemoteState:
        """The first state received after the call; ``TimeoutError`` when none came in
        ``timeout`` seconds."""
        seconds = number(timeout, "timeout")
        if seconds < 0 or math.isinf(seconds):
            raise ValueError("timeout must be a finite number of seconds, 0 or more")
        state = _state(self._open().wait_for_state(seconds))
        if state is None:
            raise TimeoutError(f"no state in {seconds:g} s")
        return state

    def servo_cp(self, position: npt.ArrayLike) -> None:
        """One sample of the target position (m), for the far side's coupling spring."""
        self._open().servo_cp(vector(position, "position"))

    def servo_cf(self, force: npt.ArrayLike) -> None:
        """One sample of the force (N) added to the far side's effects."""
        self._open().servo_cf(vector(force, "force"))

    def stop(self) -> None:
        """Ends both command streams; a later ``servo_*`` starts a new one."""
        if self._native is not None:
            self._native.stop()

    def close(self) -> None:
        """Stops and leaves the domain. Closing twice does nothing."""
        if self._native is not None:
            self._native.stop()
            self._native = None

    def _open(self) -> Any:
        if self._native is None:
            raise RuntimeError("the remote arm is closed")
        return self._native

    def __enter__(self) -> RemoteArm:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None
    ) -> None:
        self.close()
