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

from ._definitions import DEFINITIONS, USES
from ._mcap import McapWriter

_SEPARATOR = "=" * 80


def schema_name(kind: str) -> str:
    """The name ROS 2 gives a message type: ``geometry_msgs/msg/PoseStamped``."""
    package, name = kind.split("/")
    return f"{package}/msg/{name}"


def definition(kind: str) -> bytes:
    """The ``ros2msg`` schema of a type: its definition, then each type it uses (depth first,
    each once) after a separator line and ``MSG: <type>``."""
    order: list[str] = []

    def visit(name: str) -> None:
        for used in USES.get(name, []):
            if used not in order:
                order.append(used)
                visit(used)

    visit(kind)
    parts = [DEFINITIONS[kind]] + [f"{_SEPARATOR}\nMSG: {used}\n{DEFINITIONS[used]}" for used in order]
    return "".join(parts).encode()


def known(ros_type: str) -> bool:
    """Whether a ROS 2 type (``std_msgs/msg/UInt8``) has its definition here."""
    return ros_type.replace("/msg/", "/", 1) in DEFINITIONS


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
