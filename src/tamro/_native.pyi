"""Types of tamro._native, the native half of the tamro package (built from Bindings/Native)."""

from typing import Any, ClassVar, Literal, TypedDict, type_check_only

import numpy as np
import numpy.typing as npt

from tamro.handle import HandleReaderStats
from tamro.servo import ServoStats

MAX_EFFECTS: int
MAX_IN_FLIGHT: int
MAX_DEVICE_FORCE: float
GUARD_SILENCE: float
MAX_PREDICTED_HOLDS: float
SMOOTHING: float
# Each figure of a loop's and a handle reader's stats, with its Python type's name.
SERVO_STATS_FIELDS: dict[str, str]
HANDLE_READER_STATS_FIELDS: dict[str, str]

@type_check_only
class _RemoteSampleLimits(TypedDict):
    max_speed: float
    max_force: float
    max_lead: float
    max_age: float
    max_rate_hz: float

REMOTE_SAMPLE_LIMITS: _RemoteSampleLimits

@type_check_only
class _CouplingDefaults(TypedDict):
    stiffness: float
    damping: float
    passivity: bool
    link_timeout: float
    fade: float
    engage: float
    reflect: float
    contact_model: str
    contact_max_stiffness: float
    contact_damping: float

COUPLING_DEFAULTS: _CouplingDefaults
LINK_STATES: tuple[str, ...]

def check_impairment(delay: float, jitter: float, loss: float) -> None: ...

# The metaclass pybind11 gives every class it registers (pybind11_builtins.pybind11_type).
class _pybind11_type(type): ...

def library_version() -> str: ...

# Made by the functions below only: calling Effect raises TypeError ("No constructor defined!").
class Effect(metaclass=_pybind11_type):
    def __init__(self, *args: object, **kwargs: object) -> None: ...
    def force(
        self, position: tuple[float, float, float], velocity: tuple[float, float, float]
    ) -> tuple[float, float, float]: ...

def spring(
    anchor: tuple[float, float, float], stiffness: float, damping: float, smoothing: float = 0.0
) -> Effect: ...
def damper(damping: float, smoothing: float = 0.0) -> Effect: ...
def plane(
    point: tuple[float, float, float],
    normal: tuple[float, float, float],
    stiffness: float,
    damping: float,
    smoothing: float = 0.0,
) -> Effect: ...
def sphere(
    center: tuple[float, float, float],
    radius: float,
    stiffness: float,
    damping: float,
    inside: bool,
    smoothing: float = 0.0,
) -> Effect: ...
def box(
    lower: tuple[float, float, float],
    upper: tuple[float, float, float],
    stiffness: float,
    damping: float,
    inside: bool,
    smoothing: float = 0.0,
) -> Effect: ...
def constant_force(force: tuple[float, float, float], smoothing: float = 0.0) -> Effect: ...
def coupling(
    stiffness: float,
    damping: float,
    passivity: bool,
    link_timeout: float,
    fade: float,
    engage: float,
    reflect: float,
    contact_model: str = "off",
    contact_max_stiffness: float = ...,
    contact_damping: float = ...,
) -> Effect: ...

class MeshTree(metaclass=_pybind11_type):
    def __init__(self, vertices: npt.NDArray[np.float64], faces: npt.NDArray[np.int64]) -> None: ...
    @property
    def face_count(self) -> int: ...
    def edges(self) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]: ...

def mesh(
    tree: MeshTree,
    stiffness: float,
    damping: float,
    static_friction: float,
    dynamic_friction: float,
    radius: float,
    position: tuple[float, float, float],
    rotation: tuple[float, float, float, float],
    smoothing: float = 0.0,
) -> Effect: ...

_Vector = tuple[float, float, float]

class ServoLoop(metaclass=_pybind11_type):
    def __init__(
        self,
        port: str,
        rate_hz: float | None,
        max_force: float,
        realtime: bool,
        fault_timeout: float,
        max_faults: int,
        compensate_delay: bool,
        in_flight: int,
        guard: bool,
    ) -> None: ...
    @property
    def port(self) -> str: ...
    @property
    def rate_hz(self) -> float | None: ...
    @property
    def fault_timeout(self) -> float: ...
    @property
    def max_faults(self) -> int: ...
    @property
    def compensate_delay(self) -> bool: ...
    @property
    def in_flight(self) -> int: ...
    @property
    def guard(self) -> bool: ...
    @property
    def running(self) -> bool: ...
    def info(self) -> tuple[int, int, int, int, bytes]: ...
    def start(self) -> bool: ...
    def stop(self) -> None: ...
    def close(self) -> None: ...
    def fault(self) -> tuple[int, str] | None: ...
    def realtime(self) -> tuple[bool, bool, str]: ...
    def set_effects(self, effects: list[Effect], keys: list[int]) -> None: ...
    def set_max_force(self, newtons: float) -> None: ...
    def state(self) -> tuple[int, float, _Vector, _Vector, _Vector]: ...
    def stats(self) -> ServoStats: ...
    def proxy_of(self, key: int) -> _Vector | None: ...
    def record(self, capacity: int) -> None: ...
    def pending(self) -> int: ...
    def drain_into(self, buffer: npt.NDArray[np.void]) -> int: ...
    def coupling_status(self) -> Any: ...

class HandleReader(metaclass=_pybind11_type):
    def __init__(self, port: str, rate_hz: float | None, fault_timeout: float, max_faults: int) -> None: ...
    @property
    def port(self) -> str: ...
    @property
    def rate_hz(self) -> float | None: ...
    @property
    def running(self) -> bool: ...
    def info(self) -> tuple[int, int, int, int, int]: ...
    def close(self) -> None: ...
    def fault(self) -> tuple[int, str] | None: ...
    def latest(self) -> tuple[int, float, int, tuple[float, float, float, float], int, int, bytes]: ...
    def events(self) -> list[tuple[str, float, tuple[int, ...]]]: ...
    def send_user_data(self, data: bytes) -> bool: ...
    def stats(self) -> HandleReaderStats: ...
    def record(self, capacity: int) -> None: ...
    def pending(self) -> int: ...
    def drain_into(self, buffer: npt.NDArray[np.void]) -> int: ...

# The network part: the topic tables always; the node only when built with Cyclone DDS
# (HAVE_DDS says whether it is there).
HAVE_DDS: bool

def network_topics() -> list[Any]: ...
def ros_topic(namespace: str, device: str, topic: str) -> str: ...
def frame_id(namespace: str, device: str) -> str: ...

MAX_DOMAIN: int

@type_check_only
class _CommandDefaults(TypedDict):
    stiffness: float
    damping: float
    timeout: float
    ramp: float
    workspace: tuple[tuple[float, float, float], tuple[float, float, float]]
    stamp_window: float

COMMAND_DEFAULTS: _CommandDefaults
REFUSAL_REASONS: list[tuple[str, str]]
MAX_SHOWN_FRAME: int

def check_ros_name(name: str, what: str, slashes: bool) -> None: ...
def command_status(loop: ServoLoop) -> tuple[str, float, float, _Vector]: ...

class RemoteArm(metaclass=_pybind11_type):
    def __init__(
        self, namespace: str, device: str, domain: int, enclave_dir: str = ..., enclave: str = ...
    ) -> None: ...
    def state(self) -> tuple[Any, Any, Any, float, float] | None: ...
    def wait_for_state(self, timeout: float) -> tuple[Any, Any, Any, float, float] | None: ...
    def servo_cp(self, position: tuple[float, float, float]) -> None: ...
    def servo_cf(self, force: tuple[float, float, float]) -> None: ...
    def stop(self) -> None: ...

MAX_SECURED_DOMAIN: int

class Node(metaclass=_pybind11_type):
    DEFAULT_NODE_NAME: ClassVar[str]
    def __init__(
        self, namespace: str, domain: int, node_name: str = ..., enclave_dir: str = ..., enclave: str = ...
    ) -> None: ...
    @property
    def node_name(self) -> str: ...
    @property
    def namespace(self) -> str: ...
    @property
    def domain(self) -> int: ...
    def publish_loop(self, loop: ServoLoop, name: str, rate_hz: float) -> None: ...
    def publish_reader(self, reader: HandleReader, name: str, rate_hz: float) -> None: ...
    def accept_commands(
        self,
        loop: ServoLoop,
        name: str,
        stiffness: float,
        damping: float,
        timeout: float,
        ramp: float,
        lower: _Vector,
        upper: _Vector,
        stamp_window: float,
    ) -> None: ...
    def couple(
        self,
        loop: ServoLoop,
        name: str,
        peer: str,
        device: str,
        handle: bool,
        reach: float,
        lower: _Vector,
        upper: _Vector,
        delay: float,
        jitter: float,
        loss: float,
        seed: int,
    ) -> None: ...
    def stats(self) -> list[Any]: ...
    def close(self) -> None: ...

SAMPLE_HEAD_SIZE: int

class Capture(metaclass=_pybind11_type):
    def __init__(
        self,
        namespace: str,
        domain: int,
        queue_bytes: int,
        max_sample: int,
        history: int,
        enclave_dir: str = ...,
        enclave: str = ...,
    ) -> None: ...
    @property
    def max_record(self) -> int: ...
    def take(self, buffer: bytearray) -> int: ...
    def topics(self) -> list[Any]: ...
    def ignored(self) -> list[tuple[bytes, bytes, str]]: ...
    def unlisted(self) -> int: ...
    def close(self) -> None: ...

@type_check_only
class DeviceInfoDict(TypedDict):
    device_id: int
    device_model_number: int
    hardware_version: int
    firmware_version: int
    uuid: bytes

@type_check_only
class HandleInfoDict(TypedDict):
    device_id: int
    tool_data_remaining: int
    device_model_number: int
    hardware_version: int
    firmware_version: int

@type_check_only
class HandleStatusDict(TypedDict):
    device_id: int
    quaternion: tuple[float, float, float, float]
    error_flag: int
    hall_effect_sensor_level: int
    user_data: bytes

@type_check_only
class HandleErrorDict(TypedDict):
    device_id: int
    error_code: int

@type_check_only
class RoundTripsDict(TypedDict):
    requested: int
    completed: int
    ended: Literal["complete", "missing", "wrong-code", "short"]
    p50_us: float
    p99_us: float

_Answer = Literal[
    "not-serial",
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

@type_check_only
class PortProbeDict(TypedDict):
    path: str
    answer: _Answer
    refusal: str  # not-serial: what the path leads to instead
    device_info: DeviceInfoDict | None  # velkin3, other-model
    handle_info: HandleInfoDict | None
    handle_status: HandleStatusDict | None
    handle_error: HandleErrorDict | None
    raw_bytes: bytes  # other: the first bytes; truncated: the header code
    round_trips: RoundTripsDict | None  # velkin3

def probe_port(path: str, *, timeout: float = 0.5, exchanges: int = 100) -> PortProbeDict: ...
def detect_arms(device_directory: str = "/dev") -> list[str]: ...
def detect_handles(device_directory: str = "/dev") -> list[str]: ...
def detect_wired_handles(device_directory: str = "/dev") -> list[str]: ...
def detect_wireless_handles(device_directory: str = "/dev") -> list[str]: ...
