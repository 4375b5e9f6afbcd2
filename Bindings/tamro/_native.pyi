"""Types of tamro._native, the native half of the tamro package."""

from typing import Literal, TypedDict

def library_version() -> str: ...

class DeviceInfoDict(TypedDict):
    device_id: int
    device_model_number: int
    hardware_version: int
    firmware_version: int
    uuid: bytes

class HandleInfoDict(TypedDict):
    device_id: int
    tool_data_remaining: int
    device_model_number: int
    hardware_version: int
    firmware_version: int

class HandleStatusDict(TypedDict):
    device_id: int
    quaternion: tuple[float, float, float, float]
    error_flag: int
    hall_effect_sensor_level: int
    user_data: bytes

class HandleErrorDict(TypedDict):
    device_id: int
    error_code: int

class RoundTripsDict(TypedDict):
    requested: int
    completed: int
    ended: Literal["complete", "missing", "wrong-code", "short"]
    p50_us: float
    p99_us: float

Answer = Literal[
    "write-failed",
    "silence",
    "velkin3",
    "other-model",
    "handle-info",
    "handle-status",
    "handle-error",
    "truncated",
    "other",
]

class PortProbeDict(TypedDict):
    path: str
    answer: Answer
    device_info: DeviceInfoDict | None  # velkin3, other-model
    handle_info: HandleInfoDict | None
    handle_status: HandleStatusDict | None
    handle_error: HandleErrorDict | None
    raw_bytes: bytes  # other: the first bytes; truncated: the header code
    round_trips: RoundTripsDict | None  # velkin3

def probe_port(path: str, *, timeout: float = 0.5, exchanges: int = 100) -> PortProbeDict: ...
