"""The exceptions of the tamro package."""

from __future__ import annotations

__all__ = ["DeviceFault"]


class DeviceFault(OSError):
    """A device stopped answering, or answered wrongly, often enough that its loop gave up.

    Raised by the next call that needs the device's data (``state()``, ``latest()``,
    ``start()``, ...) and kept as the loop's ``fault``. ``errno`` says what kind of failure
    it was (``ETIMEDOUT`` for silence, ``EPROTO`` for a wrong or short reply, or the error of
    the port itself), ``strerror`` says what happened and ``filename`` names the port.
    """
