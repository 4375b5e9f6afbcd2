"""A ROS 2 peer without ROS: the message types as ROS 2 generates them for DDS, written out for
the Python ``cyclonedds`` package (its own CDR implementation and its own copy of the C
library), and the QoS ROS 2 uses. The network tests and benchmarks use it as an independent
client of the topics ``tamro.Node`` serves.

No "from __future__ import annotations" here: cyclonedds resolves the field types at run time.

Also: the loopback-only configuration every test points ``CYCLONEDDS_URI`` at, and a random
DDS domain per test so parallel runs and other sessions on the machine never meet.
"""

import os
import random
import time
from dataclasses import dataclass, field

from cyclonedds.core import Policy as P
from cyclonedds.core import Qos
from cyclonedds.domain import DomainParticipant
from cyclonedds.idl import IdlStruct
from cyclonedds.idl.annotations import final
from cyclonedds.idl.types import array, bounded_str, float64, int32, sequence, uint8, uint32
from cyclonedds.pub import DataWriter
from cyclonedds.sub import DataReader
from cyclonedds.topic import Topic
from cyclonedds.util import duration

import tamro.network

# Domains 100 to 230: clear of the default 0 a user's own ROS 2 runs in, and inside the range
# whose ports fit (the highest id is 232).
DOMAINS = (100, 230)


def loopback_environment() -> None:
    """Keeps every participant of this process and its children on the loopback interface,
    whatever CYCLONEDDS_URI the user has (tests must never send elsewhere)."""
    os.environ["CYCLONEDDS_URI"] = tamro.network.LOOPBACK_CONFIG.as_uri()


def random_domain() -> int:
    return random.SystemRandom().randint(*DOMAINS)


# --- the ROS 2 messages, as rosidl generates them for DDS -----------------------------------


@final
@dataclass
class Time(IdlStruct, typename="builtin_interfaces::msg::dds_::Time_"):
    sec: int32 = 0
    nanosec: uint32 = 0


@final
@dataclass
class Header(IdlStruct, typename="std_msgs::msg::dds_::Header_"):
    stamp: Time = field(default_factory=Time)
    frame_id: str = ""


@final
@dataclass
class Point(IdlStruct, typename="geometry_msgs::msg::dds_::Point_"):
    x: float64 = 0.0
    y: float64 = 0.0
    z: float64 = 0.0


@final
@dataclass
class Vector3(IdlStruct, typename="geometry_msgs::msg::dds_::Vector3_"):
    x: float64 = 0.0
    y: float64 = 0.0
    z: float64 = 0.0


@final
@dataclass
class Quaternion(IdlStruct, typename="geometry_msgs::msg::dds_::Quaternion_"):
    x: float64 = 0.0
    y: float64 = 0.0
    z: float64 = 0.0
    w: float64 = 1.0


@final
@dataclass
class Pose(IdlStruct, typename="geometry_msgs::msg::dds_::Pose_"):
    position: Point = field(default_factory=Point)
    orientation: Quaternion = field(default_factory=Quaternion)


@final
@dataclass
class PoseStamped(IdlStruct, typename="geometry_msgs::msg::dds_::PoseStamped_"):
    header: Header = field(default_factory=Header)
    pose: Pose = field(default_factory=Pose)


@final
@dataclass
class Twist(IdlStruct, typename="geometry_msgs::msg::dds_::Twist_"):
    linear: Vector3 = field(default_factory=Vector3)
    angular: Vector3 = field(default_factory=Vector3)


@final
@dataclass
class TwistStamped(IdlStruct, typename="geometry_msgs::msg::dds_::TwistStamped_"):
    header: Header = field(default_factory=Header)
    twist: Twist = field(default_factory=Twist)


@final
@dataclass
class Wrench(IdlStruct, typename="geometry_msgs::msg::dds_::Wrench_"):
    force: Vector3 = field(default_factory=Vector3)
    torque: Vector3 = field(default_factory=Vector3)


@final
@dataclass
class WrenchStamped(IdlStruct, typename="geometry_msgs::msg::dds_::WrenchStamped_"):
    header: Header = field(default_factory=Header)
    wrench: Wrench = field(default_factory=Wrench)


@final
@dataclass
class Vector3Stamped(IdlStruct, typename="geometry_msgs::msg::dds_::Vector3Stamped_"):
    header: Header = field(default_factory=Header)
    vector: Vector3 = field(default_factory=Vector3)


@final
@dataclass
class UInt8(IdlStruct, typename="std_msgs::msg::dds_::UInt8_"):
    data: uint8 = 0


@final
@dataclass
class MultiArrayDimension(IdlStruct, typename="std_msgs::msg::dds_::MultiArrayDimension_"):
    label: str = ""
    size: uint32 = 0
    stride: uint32 = 0


@final
@dataclass
class MultiArrayLayout(IdlStruct, typename="std_msgs::msg::dds_::MultiArrayLayout_"):
    dim: sequence[MultiArrayDimension] = field(default_factory=list)
    data_offset: uint32 = 0


@final
@dataclass
class UInt8MultiArray(IdlStruct, typename="std_msgs::msg::dds_::UInt8MultiArray_"):
    layout: MultiArrayLayout = field(default_factory=MultiArrayLayout)
    data: sequence[uint8] = field(default_factory=list)


@final
@dataclass
class String(IdlStruct, typename="std_msgs::msg::dds_::String_"):
    """A ROS 2 type the project does not speak: what a stranger on its namespace may write."""

    data: str = ""


# rmw_dds_common's graph messages (ROS 2 Iron and later: 16-byte GIDs), on ros_discovery_info.


@final
@dataclass
class Gid(IdlStruct, typename="rmw_dds_common::msg::dds_::Gid_"):
    data: array[uint8, 16] = field(default_factory=lambda: [0] * 16)


@final
@dataclass
class NodeEntitiesInfo(IdlStruct, typename="rmw_dds_common::msg::dds_::NodeEntitiesInfo_"):
    node_namespace: bounded_str[256] = ""
    node_name: bounded_str[256] = ""
    reader_gid_seq: sequence[Gid] = field(default_factory=list)
    writer_gid_seq: sequence[Gid] = field(default_factory=list)


@final
@dataclass
class ParticipantEntitiesInfo(IdlStruct, typename="rmw_dds_common::msg::dds_::ParticipantEntitiesInfo_"):
    gid: Gid = field(default_factory=Gid)
    node_entities_info_seq: sequence[NodeEntitiesInfo] = field(default_factory=list)


TYPES = {
    "geometry_msgs/msg/PoseStamped": PoseStamped,
    "geometry_msgs/msg/TwistStamped": TwistStamped,
    "geometry_msgs/msg/WrenchStamped": WrenchStamped,
    "geometry_msgs/msg/Vector3Stamped": Vector3Stamped,
    "std_msgs/msg/UInt8": UInt8,
    "std_msgs/msg/UInt8MultiArray": UInt8MultiArray,
}


def stamp_seconds(header: Header) -> float:
    return header.stamp.sec + header.stamp.nanosec * 1e-9


def wall_stamp(offset: float = 0.0) -> Time:
    """This machine's wall clock as a ROS stamp, moved by offset seconds."""
    ns = time.time_ns() + round(offset * 1e9)
    return Time(sec=ns // 1_000_000_000, nanosec=ns % 1_000_000_000)


def stamped(sample, offset: float = 0.0):
    """The sample with its header stamped now (plus offset seconds), as a sender stamps each
    sample it writes: commands are judged by their stamps."""
    sample.header.stamp = wall_stamp(offset)
    return sample


# --- QoS as ROS 2 sets it ------------------------------------------------------------------


def sensor_qos(deadline: float | None = None) -> Qos:
    """Best effort, keep last 1, volatile (ROS 2's sensor-data profile, depth 1)."""
    policies = [P.Reliability.BestEffort, P.History.KeepLast(1), P.Durability.Volatile]
    if deadline is not None:
        policies.append(P.Deadline(duration(seconds=deadline)))
    return Qos(*policies)


def default_qos() -> Qos:
    """ROS 2's default for publishers and subscriptions: reliable, keep last 10, volatile, no
    deadline (what ``ros2 topic pub`` and a default rclpy node use)."""
    return Qos(
        P.Reliability.Reliable(duration(milliseconds=100)), P.History.KeepLast(10), P.Durability.Volatile
    )


class Peer:
    """One participant in ``domain`` with readers and writers on ROS 2 topic names."""

    def __init__(self, domain: int) -> None:
        self.participant = DomainParticipant(domain)
        self._topics: dict[str, Topic] = {}

    def _topic(self, ros_name: str, kind: type) -> Topic:
        if ros_name not in self._topics:
            self._topics[ros_name] = Topic(self.participant, "rt" + ros_name, kind)
        return self._topics[ros_name]

    def reader(self, ros_name: str, kind: type, depth: int = 1) -> DataReader:
        qos = Qos(P.Reliability.BestEffort, P.History.KeepLast(depth), P.Durability.Volatile)
        return DataReader(self.participant, self._topic(ros_name, kind), qos=qos)

    def writer(
        self, ros_name: str, kind: type, deadline: float | None = 0.1, qos: Qos | None = None
    ) -> DataWriter:
        chosen = qos if qos is not None else sensor_qos(deadline)
        return DataWriter(self.participant, self._topic(ros_name, kind), qos=chosen)


def wait_matched(endpoint: DataReader | DataWriter, timeout: float = 10.0) -> bool:
    """Whether the reader or writer found a peer endpoint within timeout seconds."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if isinstance(endpoint, DataReader):
            if endpoint.get_subscription_matched_status().current_count > 0:
                return True
        elif endpoint.get_publication_matched_status().current_count > 0:
            return True
        time.sleep(0.01)
    return False


def take_until(reader: DataReader, count: int, timeout: float = 10.0) -> list:
    """Samples taken until count arrived or timeout seconds passed."""
    got: list = []
    deadline = time.monotonic() + timeout
    while len(got) < count and time.monotonic() < deadline:
        got.extend(reader.take(N=256))
        if len(got) < count:
            time.sleep(0.002)
    return got
