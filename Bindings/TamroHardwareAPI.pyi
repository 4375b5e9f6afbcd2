"""Python Implementation of the Tamro Hardware API

Type information for the TamroHardwareAPI extension module.

Input and output failures never raise: they are written as one line to standard error
("[err] <unit>:<line>> ...") and show in the results as zeros (exchanges, wake-up) or as the
values the caller passed (receive methods). Every vector on the wire has three components;
a sequence with fewer than three values raises ValueError and nothing is sent.
"""

import uuid
from collections.abc import Sequence
from typing import TypedDict, overload, type_check_only

from typing_extensions import deprecated

__version__: str

# The metaclass pybind11 gives every class it registers (pybind11_builtins.pybind11_type).
class _pybind11_type(type): ...

class SerialStream(metaclass=_pybind11_type):
    # Opens the port at once. A port that cannot be opened raises nothing: the error lines
    # go to standard error and every later exchange fails quietly. None is accepted at run
    # time but can only give such a stream, so it is left out here; a pathlib.Path is not
    # accepted (pass str(path)).
    def __init__(self, path: str | bytes | bytearray, /) -> None: ...

class UUID(metaclass=_pybind11_type):
    def __init__(self) -> None: ...
    def bytes(self) -> list[int]: ...

# No constructor: calling Device raises TypeError ("No constructor defined!"). Velkin3 and
# Handle are not subclasses of it.
class Device(metaclass=_pybind11_type):
    def __init__(self, *args: object, **kwargs: object) -> None: ...

def get_cpp_version() -> str:
    """Get the version of the CPP library"""

def print_cpp_version() -> None:
    """Print the version of the CPP library"""

# Each probes its ports one after another and keeps the interpreter lock while it runs.
def detect_velkin3s() -> list[str]:
    """detect available velkin3 devices"""

def detect_handles() -> list[str]:
    """detect available handles"""

def detect_wired_handles() -> list[str]:
    """detect available wired handles"""

def detect_wireless_handles() -> list[str]:
    """detect available wireless handles"""

@type_check_only
class DeviceInfoDict(TypedDict):
    """The result of Velkin3.device_wakeup_dict (a plain dict at run time)."""

    device_id: int
    device_model_number: int
    hardware_version: int
    firmware_version: int
    device_id_ext: uuid.UUID

class Velkin3(metaclass=_pybind11_type):
    def __init__(self, stream: SerialStream, /) -> None: ...
    def device_wakeup(self) -> tuple[int, int, int, int, list[int]]:
        """Wakeup the device and return the device info as a tuple."""

    def device_wakeup_dict(self) -> DeviceInfoDict:
        """Wakeup the device and return the device info as a dict."""
    # The four exchanges' parameters are named with spaces ("force request vector" ...),
    # so they can only be passed by position. Each returns two lists of three floats,
    # all zero when no complete reply arrived.
    def end_effector_force(
        self, force_request_vector: Sequence[float] = ..., /
    ) -> tuple[list[float], list[float]]:
        """Send forces to the device and receive device states"""

    def joint_torques(
        self, joint_torque_request_vector: Sequence[float] = ..., /
    ) -> tuple[list[float], list[float]]:
        """Send joint torques to the device and receive the joint states"""

    def end_effector_position(
        self, position_request_vector: Sequence[float] = ..., /
    ) -> tuple[list[float], list[float]]:
        """Send end-effector position and receive device states"""

    def joint_angles(
        self, joint_angle_request_vector: Sequence[float] = ..., /
    ) -> tuple[list[float], list[float]]:
        """Send joint angles to the device and receive the joint states"""

    @deprecated("SendDeviceWakeup is deprecated, use device_wakeup instead")
    def SendDeviceWakeup(self) -> None:
        """[DEPRECATED] Send a device wakeup command"""

    def ReceiveDeviceInfo(
        self,
        device_id: int = 0,
        device_model_num: int = 0,
        hardware_version: int = 0,
        firmware_version: int = 0,
        UUID: UUID = ...,
    ) -> tuple[int, int, int, int, UUID]:
        """Receive device info and return a tuple"""

    @overload
    @deprecated("SendForce is deprecated, use end_effector_force instead")
    def SendForce(self, force: Sequence[float] = ...) -> None:
        """[Deprecated] Send force to the device"""

    @overload
    @deprecated("SendForce is deprecated, use end_effector_force instead")
    def SendForce(self, ForceX: float = 0, ForceY: float = 0, ForceZ: float = 0) -> None: ...
    @deprecated("ReceiveState is deprecated, use end_effector instead")
    def ReceiveState(
        self, position: Sequence[float] = ..., velocity: Sequence[float] = ...
    ) -> tuple[list[float], list[float]]:
        """[Deprecated] receive state and return position and velocity"""

    @deprecated("ReceiveJointState is deprecated, use joint_torques instead")
    def ReceiveJointState(
        self, joint_position: Sequence[float] = ..., joint_velocity: Sequence[float] = ...
    ) -> tuple[list[float], list[float]]:
        """[Deprecated] receive joint state and return position and velocity in the joint reference frame"""

    @deprecated("SendJointTorques is deprecated, use joint_torques instead")
    def SendJointTorques(self, joint_torque: Sequence[float] = ...) -> None:
        """[Deprecated] send joint torque"""

    def SendAngle(self, angle: Sequence[float] = ...) -> None:
        """Send angles to the device"""

    def RequestCurrent(self) -> None:
        """request current"""

    def ReceiveCurrent(self, current: Sequence[float] = ...) -> list[float]:
        """receive current and return current"""

    @deprecated("SendPosition is deprecated, use end_effector_position instead")
    def SendPosition(self, position: Sequence[float] = ...) -> None:
        """[Deprecated] Send Position to the device"""

class Handle(metaclass=_pybind11_type):
    def __init__(self, stream: SerialStream, /) -> None: ...
    def SendDeviceWakeup(self) -> None: ...
    # user_data is required (None is refused); from Python the message carries at most one
    # byte of user data, so data_length above 1 raises ValueError.
    @overload
    def SendHandleState(self, device_id: int, data_length: int, user_data: int) -> None:
        """send handle state"""

    @overload
    def SendHandleState(
        self, device_id: int = 0, data_length: int = 0, *, user_data: int
    ) -> None: ...
    def RequestStatus(self) -> None:
        """request handle status"""
    # The three hooks a subclass overrides; Receive calls them, positionally, with the
    # values of the message it read. They are typed as an override receives them: the
    # quaternion as a list of 4 floats and the user data as a list of user_data_length ints.
    # (Calling the base method directly from Python takes one float and one int instead.)
    def OnReceiveHandleInfo(
        self,
        tool_data_remaining: int,
        device_id: int,
        device_model_number: int,
        hardware_version: int,
        firmware_version: int,
    ) -> None:
        """OnReceiveHandleInfo"""

    def OnReceiveHandleStatusMessage(
        self,
        device_id: int,
        quaternion: list[float],
        error_flag: int,
        hall_effect_sensor_level: int,
        user_data_length: int,
        user_data: list[int],
    ) -> None:
        """OnReceiveHandleStatusMessage"""

    def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int) -> None:
        """OnReceiveHandleErrorResponse"""
    # Returns the payload bytes read (21 + n for a status message, 6 for information, 3
    # for an error response), or -1 when nothing or an unknown code arrived.
    @overload
    def Receive(self) -> int:
        """Receive data from the handle"""

    @overload
    @deprecated("Receive with one argument is deprecated")
    def Receive(self, obsolete: int) -> int:
        """[DEPRECATED] Receive current and return current"""
