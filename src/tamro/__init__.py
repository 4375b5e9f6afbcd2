"""tamro: real-time control of Tamro haptic devices from Python.

The arm runs in a native servo loop (``ServoLoop``) that renders haptic effects (``Spring``,
``Damper``, ``Plane``, ``Sphere``, ``Box``, ``ConstantForce``, and ``Coupling`` toward a
remote device) at a fixed rate on a thread of its own, so Python only sets targets and reads
the state back at its own pace. The handle is
read the same way (``HandleReader``). ``detect_arms()`` and ``detect_handles()`` find attached
devices and ``probe_port()`` tells what answers on one port. ``Simulator`` runs simulated
devices for programs and tests without hardware. ``Node`` serves the devices on the network as
ROS 2 topics over DDS (``tamro.network``). ``passivity`` gives the stiffness and damping a loop
renders steadily.

Failures are exceptions: ``OSError`` for a port that cannot be opened, ``TimeoutError`` for a
device that does not answer, ``ValueError``/``TypeError`` for invalid arguments, and
``DeviceFault`` (an ``OSError``) when a running loop gives up on its device.

The low-level module ``TamroHardwareAPI`` (one call per message, no threads of its own) comes
in the same package.
"""

from __future__ import annotations

from . import _native, passivity
from ._errors import DeviceFault
from .coupling import Coupling, CouplingStatus, Impairment, coupling_status
from .detection import NotASerialPort, PortProbe, detect_arms, detect_handles, probe_port
from .effects import Box, ConstantForce, Damper, Effect, Plane, Sphere, Spring
from .handle import (
    HANDLE_RECORD_DTYPE,
    HandleErrorEvent,
    HandleEvent,
    HandleInfo,
    HandleInfoEvent,
    HandleReader,
    HandleReaderStats,
    HandleStatus,
)
from .network import Node, RemoteArm
from .recording import McapSummary, save_mcap
from .servo import (
    GUARD_SILENCE,
    MAX_DEVICE_FORCE,
    MAX_IN_FLIGHT,
    RECORD_DTYPE,
    DeviceInfo,
    ServoLoop,
    ServoStats,
    State,
    in_flight_for,
)
from .simulator import Ports, Simulator, attached_or_simulated, find_simulator

# At interpreter exit nodes close, then loops (zero force), then simulators: see _exit.py.

__version__: str = _native.library_version()
"""The version of the package and of the device library inside it (one number for both)."""

__all__ = [
    "passivity",
    "DeviceFault",
    "detect_arms",
    "detect_handles",
    "probe_port",
    "PortProbe",
    "NotASerialPort",
    "Simulator",
    "find_simulator",
    "attached_or_simulated",
    "Ports",
    "Effect",
    "Spring",
    "Damper",
    "Plane",
    "Sphere",
    "Box",
    "ConstantForce",
    "Coupling",
    "CouplingStatus",
    "Impairment",
    "coupling_status",
    "ServoLoop",
    "State",
    "DeviceInfo",
    "ServoStats",
    "RECORD_DTYPE",
    "MAX_DEVICE_FORCE",
    "MAX_IN_FLIGHT",
    "GUARD_SILENCE",
    "in_flight_for",
    "HandleReader",
    "HandleStatus",
    "HandleInfo",
    "HandleInfoEvent",
    "HandleErrorEvent",
    "HandleEvent",
    "HandleReaderStats",
    "HANDLE_RECORD_DTYPE",
    "Node",
    "RemoteArm",
    "save_mcap",
    "McapSummary",
]
