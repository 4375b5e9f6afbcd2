"""Recordings in the field's format: MCAP files of ROS 2 messages, which Foxglove opens and
``ros2 bag play`` replays, written without ROS.

::

    loop.record(120_000)
    ...
    tamro.save_mcap("session.mcap", arm=loop.drain(), handle=reader.drain(), name="lab")

The rows of ``ServoLoop.drain()`` become ``/<name>/arm/measured_cp`` (``PoseStamped``),
``measured_cv`` (``TwistStamped``) and ``measured_cf`` (``WrenchStamped``); those of
``HandleReader.drain()`` become ``/<name>/handle/measured_cp`` (``PoseStamped``: the
orientation, in ROS order x, y, z, w) and ``/<name>/handle/sensor_level`` (``std_msgs/UInt8``):
the topics, types and frames ``tamro-bridge`` publishes (``tamro.network.TOPICS``).
"""

from __future__ import annotations

import os
import tempfile
import time
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from .. import _native, network
from ..handle import HANDLE_RECORD_DTYPE
from ..servo import RECORD_DTYPE
from . import _ros2
from ._mcap import McapWriter
from ._ros2 import Channels
from ._ros2 import known as known_type

__all__ = ["save_mcap", "McapSummary", "McapWriter", "Channels", "known_type"]

Rows = npt.NDArray[np.void]


def _device_name(kind: str, index: int) -> str:
    """``arm``, ``arm2``, ...: the names a bridge serves further devices under."""
    return f"{kind}{index + 1 if index else ''}"


def _topics(kind: str) -> dict[str, str]:
    """The measured topics of a kind of device that its records hold, with their ROS 2 types:
    the network's own table (a handle's records carry no user data)."""
    return {
        t["name"]: t["ros_type"]
        for t in network.TOPICS
        if t["device"] == kind and t["direction"] == "out" and t["name"] != "user_data"
    }


@dataclass(frozen=True)
class McapSummary:
    """What ``save_mcap`` wrote: messages per topic, and the file's size in bytes."""

    path: str
    messages: dict[str, int]
    size: int


def _as_list(rows: Rows | Sequence[Rows] | None, dtype: np.dtype[Any], what: str) -> list[Rows]:
    """The row arrays given, each checked for the fields the messages are made of (by name and
    shape: rows read back from a file or concatenated may be laid out differently)."""
    if rows is None:
        return []
    chosen = [rows] if isinstance(rows, np.ndarray) else list(rows)
    assert dtype.fields is not None
    for r in chosen:
        fields = getattr(getattr(r, "dtype", None), "fields", None) or {}
        if (
            not isinstance(r, np.ndarray)
            or r.ndim != 1
            or any(
                name not in fields or fields[name][0].shape != wanted[0].shape
                for name, wanted in dtype.fields.items()
            )
        ):
            raise TypeError(f"{what} must be rows as {what} recordings give them, not {type(r).__name__}")
    return chosen


def _umask() -> int:
    """The process's file mode creation mask, read without changing it (Linux 4.7 and later
    show it in /proc; elsewhere it is set and restored at once)."""
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def save_mcap(
    path: str | os.PathLike[str],
    *,
    arm: Rows | Sequence[Rows] | None = None,
    handle: Rows | Sequence[Rows] | None = None,
    name: str = "lab",
    clock_offset: float | None = None,
    compression: str = "zstd",
) -> McapSummary:
    """Writes recorded rows as an MCAP file of ROS 2 messages (``ros2msg`` schemas, CDR).

    ``arm`` and ``handle`` are rows from ``drain()`` (or lists of them, one per device: the
    second arm's topics are under ``/<name>/arm2``). Each message is stamped with its row's time
    on the wall clock, as ROS stamps: the rows' ``time.monotonic()`` seconds plus
    ``clock_offset`` (by default the offset between the two clocks now). ``compression`` is
    ``"zstd"`` (the default) or ``""``.

    The file appears under ``path`` only once it is complete: it is written beside it under a
    temporary name first. Raises ``OSError`` when it cannot be written, ``ValueError`` for a bad
    ``name`` or ``compression``, ``TypeError`` for rows of another kind."""
    if not isinstance(name, str):
        raise TypeError(f"name must be a string, not {type(name).__name__}")
    _native.check_ros_name(name, "name", True)
    arms = _as_list(arm, RECORD_DTYPE, "arm")
    handles = _as_list(handle, HANDLE_RECORD_DTYPE, "handle")
    offset = time.time() - time.monotonic() if clock_offset is None else float(clock_offset)
    target = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(target))
    descriptor, temporary = tempfile.mkstemp(dir=folder, prefix=".", suffix=".mcap.part")
    counts: dict[str, int] = {}
    try:
        # A temporary file is private; the finished one is made as open() would make it.
        os.fchmod(descriptor, 0o666 & ~_umask())
        with os.fdopen(descriptor, "wb") as out:
            writer = McapWriter(out, compression=compression)
            channel = _ros2.Channels(writer).add

            for index, rows in enumerate(arms):
                device = _device_name("arm", index)
                topics = _topics("arm")
                stamps = _stamps(rows["time"], offset)
                frame = network.frame_id(name, device)
                pose = np.zeros((len(rows), 7))
                pose[:, :3] = rows["position"]
                pose[:, 6] = 1.0  # no orientation: the identity
                columns = {
                    "measured_cp": pose,
                    "measured_cv": _padded(rows["velocity"]),
                    "measured_cf": _padded(rows["force"]),
                }
                for topic, values in columns.items():
                    payloads = _ros2.Stamped(frame, values.shape[1]).encode(stamps, values)
                    full = network.topic_name(name, device, topic)
                    writer.add_messages(channel(full, topics[topic]), stamps, payloads)
                    counts[full] = len(rows)
            for index, rows in enumerate(handles):
                device = _device_name("handle", index)
                topics = _topics("handle")
                stamps = _stamps(rows["time"], offset)
                frame = network.frame_id(name, device)
                pose = np.zeros((len(rows), 7))
                q = rows["quaternion"].astype(np.float64)
                pose[:, 3:6], pose[:, 6] = q[:, 1:4], q[:, 0]  # w first on the wire, last in ROS
                messages = {
                    "measured_cp": _ros2.Stamped(frame, 7).encode(stamps, pose),
                    "sensor_level": _ros2.uint8_messages(rows["hall_effect_sensor_level"]),
                }
                for topic, data in messages.items():
                    full = network.topic_name(name, device, topic)
                    writer.add_messages(channel(full, topics[topic]), stamps, data)
                    counts[full] = len(rows)
            writer.close()
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise
    return McapSummary(target, counts, os.path.getsize(target))


def _padded(linear: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Three values, then three zeros: a twist's or a wrench's angular part."""
    six = np.zeros((len(linear), 6))
    six[:, :3] = linear
    return six


def _stamps(monotonic: npt.NDArray[np.float64], offset: float) -> npt.NDArray[np.int64]:
    # Whole seconds and the fraction apart: a float of seconds since the epoch has only about
    # 0.2 us of resolution left.
    whole = np.floor(monotonic)
    fraction = monotonic - whole
    seconds = whole + np.floor(offset)
    fraction = fraction + (offset - np.floor(offset))
    stamps: npt.NDArray[np.int64] = seconds.astype(np.int64) * 1_000_000_000
    stamps += np.round(fraction * 1e9).astype(np.int64)
    return stamps
