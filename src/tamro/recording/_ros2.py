"""ROS 2 messages in bulk: the message definitions a recording embeds (``ros2msg``), and the
CDR bytes of many messages of one type built from numpy columns at once.

Every message here has a fixed size once its ``frame_id`` is chosen, so a whole column of
states becomes a 2-D array of message bytes with a handful of numpy assignments. The layout is
plain little-endian CDR (XCDR1) as ROS 2 writes it: a 4-byte encapsulation header, then the
fields with each primitive aligned to its own size, counted from the end of that header.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

from ._mcap import McapWriter

_SEPARATOR = "=" * 80

_DEFINITIONS = {
    "builtin_interfaces/Time": "int32 sec\nuint32 nanosec\n",
    "std_msgs/Header": "builtin_interfaces/Time stamp\nstring frame_id\n",
    "geometry_msgs/Point": "float64 x\nfloat64 y\nfloat64 z\n",
    "geometry_msgs/Vector3": "float64 x\nfloat64 y\nfloat64 z\n",
    "geometry_msgs/Quaternion": "float64 x 0\nfloat64 y 0\nfloat64 z 0\nfloat64 w 1\n",
    "geometry_msgs/Pose": "Point position\nQuaternion orientation\n",
    "geometry_msgs/Twist": "Vector3  linear\nVector3  angular\n",
    "geometry_msgs/Wrench": "Vector3  force\nVector3  torque\n",
    "geometry_msgs/PoseStamped": "std_msgs/Header header\nPose pose\n",
    "geometry_msgs/TwistStamped": "std_msgs/Header header\nTwist twist\n",
    "geometry_msgs/WrenchStamped": "std_msgs/Header header\nWrench wrench\n",
    "geometry_msgs/Vector3Stamped": "std_msgs/Header header\nVector3 vector\n",
    "std_msgs/UInt8": "uint8 data\n",
    "std_msgs/MultiArrayDimension": "string label\nuint32 size\nuint32 stride\n",
    "std_msgs/MultiArrayLayout": "MultiArrayDimension[] dim\nuint32 data_offset\n",
    "std_msgs/UInt8MultiArray": "MultiArrayLayout  layout\nuint8[]           data\n",
}

# What each definition uses, in the order rosbag2 lists the dependencies.
_USES = {
    "std_msgs/Header": ["builtin_interfaces/Time"],
    "geometry_msgs/Pose": ["geometry_msgs/Point", "geometry_msgs/Quaternion"],
    "geometry_msgs/Twist": ["geometry_msgs/Vector3"],
    "geometry_msgs/Wrench": ["geometry_msgs/Vector3"],
    "geometry_msgs/PoseStamped": ["std_msgs/Header", "geometry_msgs/Pose"],
    "geometry_msgs/TwistStamped": ["std_msgs/Header", "geometry_msgs/Twist"],
    "geometry_msgs/WrenchStamped": ["std_msgs/Header", "geometry_msgs/Wrench"],
    "geometry_msgs/Vector3Stamped": ["std_msgs/Header", "geometry_msgs/Vector3"],
    "std_msgs/MultiArrayLayout": ["std_msgs/MultiArrayDimension"],
    "std_msgs/UInt8MultiArray": ["std_msgs/MultiArrayLayout"],
}


def schema_name(kind: str) -> str:
    """The name ROS 2 gives a message type: ``geometry_msgs/msg/PoseStamped``."""
    package, name = kind.split("/")
    return f"{package}/msg/{name}"


def definition(kind: str) -> bytes:
    """The ``ros2msg`` schema of a type: its definition, then each type it uses (depth first,
    each once) after a separator line and ``MSG: <type>``."""
    order: list[str] = []

    def visit(name: str) -> None:
        for used in _USES.get(name, []):
            if used not in order:
                order.append(used)
                visit(used)

    visit(kind)
    parts = [_DEFINITIONS[kind]] + [f"{_SEPARATOR}\nMSG: {used}\n{_DEFINITIONS[used]}" for used in order]
    return "".join(parts).encode()


def known(ros_type: str) -> bool:
    """Whether a ROS 2 type (``std_msgs/msg/UInt8``) has its definition here."""
    return ros_type.replace("/msg/", "/", 1) in _DEFINITIONS


@dataclass
class Channels:
    """The channels of ROS 2 topics in an MCAP file: each type's schema (``ros2msg``) written
    once, before the first channel of that type; channels numbered from 1."""

    writer: McapWriter
    _schemas: dict[str, int] = field(default_factory=dict)
    _count: int = 0

    def add(self, topic: str, ros_type: str, metadata: dict[str, str] | None = None) -> int:
        """A channel for ``topic`` of ``ros_type`` (``geometry_msgs/msg/PoseStamped``, CDR)."""
        if ros_type not in self._schemas:
            self._schemas[ros_type] = len(self._schemas) + 1
            short = ros_type.replace("/msg/", "/", 1)
            self.writer.add_schema(self._schemas[ros_type], ros_type, "ros2msg", definition(short))
        self._count += 1
        self.writer.add_channel(self._count, self._schemas[ros_type], topic, "cdr", metadata)
        return self._count


@dataclass(frozen=True)
class Stamped:
    """The CDR layout of a stamped message (a Header, then ``doubles`` float64 values) for one
    ``frame_id``; ``encode`` builds many at once."""

    frame_id: str
    doubles: int

    @property
    def _header(self) -> tuple[int, int]:
        # encapsulation (4), sec (4), nanosec (4), string length (4), the string with its NUL;
        # the doubles start at the next multiple of 8 counted from the end of the encapsulation.
        text = len(self.frame_id.encode()) + 1
        end = 16 + text
        start = 4 + -(-(end - 4) // 8) * 8
        return text, start

    @property
    def size(self) -> int:
        return self._header[1] + 8 * self.doubles

    def encode(
        self, stamps_ns: npt.NDArray[np.int64], values: npt.NDArray[np.float64]
    ) -> npt.NDArray[np.uint8]:
        """One message per row of ``values`` (``doubles`` columns), stamped with ``stamps_ns``
        (nanoseconds since the epoch)."""
        text, start = self._header
        count = len(stamps_ns)
        layout = np.dtype(
            {
                "names": ["encapsulation", "sec", "nanosec", "length", "frame_id", "values"],
                "formats": ["<u4", "<i4", "<u4", "<u4", f"S{text}", ("<f8", (self.doubles,))],
                "offsets": [0, 4, 8, 12, 16, start],
                "itemsize": self.size,
            }
        )
        messages = np.zeros(count, layout)
        messages["encapsulation"] = 0x00000100  # CDR, little-endian: bytes 00 01 00 00
        stamps = np.asarray(stamps_ns, dtype=np.int64)
        messages["sec"] = stamps // 1_000_000_000
        messages["nanosec"] = stamps % 1_000_000_000
        messages["length"] = text
        messages["frame_id"] = self.frame_id.encode()
        messages["values"] = values
        return messages.view(np.uint8).reshape(count, self.size)


def uint8_messages(values: npt.NDArray[np.uint8]) -> npt.NDArray[np.uint8]:
    """``std_msgs/UInt8`` messages: the encapsulation header and one byte each."""
    messages = np.zeros((len(values), 5), np.uint8)
    messages[:, 1] = 1
    messages[:, 4] = values
    return messages
