"""tamro: real-time control of Tamro haptic devices from Python.

The arm runs in a native servo loop (``ServoLoop``) that renders haptic effects at a fixed
rate on a thread of its own, so Python only sets targets and reads the state back at its own
pace. ``Simulator`` runs simulated devices for programs and tests without hardware.

The low-level module ``TamroHardwareAPI`` (one call per message, no threads of its own) comes
in the same package.
"""

from __future__ import annotations

from ._errors import DeviceFault
from .simulator import Simulator, find_simulator

__all__ = ["DeviceFault", "Simulator", "find_simulator"]
