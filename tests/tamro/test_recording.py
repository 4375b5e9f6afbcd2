"""tamro.save_mcap: recordings written as MCAP files of ROS 2 messages, read back with
independent readers: rosbags (its own MCAP and CDR code) for every value and stamp, and the
mcap package for the file's checksums and summary."""

from __future__ import annotations

import os
import stat
from collections.abc import Callable
from fractions import Fraction
from pathlib import Path
from typing import Any

import numpy as np
import pytest

import tamro

rosbags_highlevel = pytest.importorskip("rosbags.highlevel")
mcap_reader = pytest.importorskip("mcap.reader")

OFFSET = 1_790_000_000.25  # monotonic seconds to the wall clock, fixed so stamps are known


def arm_rows(count: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    rows = np.zeros(count, tamro.RECORD_DTYPE)
    rows["cycle"] = np.arange(1, count + 1)
    rows["time"] = 5000.0 + np.cumsum(rng.uniform(0.0009, 0.0011, count))
    rows["position"] = rng.normal(0.0, 0.05, (count, 3))
    rows["velocity"] = rng.normal(0.0, 0.2, (count, 3))
    rows["force"] = rng.normal(0.0, 3.0, (count, 3))
    return rows


def handle_rows(count: int) -> np.ndarray:
    rng = np.random.default_rng(7)
    rows = np.zeros(count, tamro.HANDLE_RECORD_DTYPE)
    rows["time"] = 5000.0 + np.arange(count) * 0.005
    q = rng.normal(size=(count, 4))
    rows["quaternion"] = q / np.linalg.norm(q, axis=1, keepdims=True)
    rows["hall_effect_sensor_level"] = np.arange(count) % 256
    return rows


def stamps_ns(times: np.ndarray) -> np.ndarray:
    # Exact arithmetic: a float of nanoseconds since the epoch cannot hold them all.
    return np.array([round((Fraction(t) + Fraction(OFFSET)) * 10**9) for t in times.tolist()], dtype=np.int64)


# Each arm topic, the record column it carries and where the message holds it.
MEASURED: list[tuple[str, str, Callable[[Any], Any]]] = [
    ("measured_cp", "position", lambda m: m.pose.position),
    ("measured_cv", "velocity", lambda m: m.twist.linear),
    ("measured_cf", "force", lambda m: m.wrench.force),
]


def xyz(v: Any) -> tuple[float, float, float]:
    return (v.x, v.y, v.z)


def xyzw(q: Any) -> tuple[float, float, float, float]:
    return (q.x, q.y, q.z, q.w)


def read_back(path: Path) -> dict[str, tuple[str, list[int], list[Any]]]:
    """Per topic: its type, the log times in the reader's order, and the decoded messages."""
    topics: dict[str, tuple[str, list[int], list[Any]]] = {}
    with rosbags_highlevel.AnyReader([path]) as reader:
        last = 0
        for connection, timestamp, raw in reader.messages():
            assert timestamp >= last, "messages out of time order"
            last = timestamp
            kind, times, messages = topics.setdefault(connection.topic, (connection.msgtype, [], []))
            times.append(timestamp)
            messages.append(reader.deserialize(raw, connection.msgtype))
    return topics


def test_every_row_comes_back_with_its_values_and_stamp(tmp_path: Path) -> None:
    # Two arms (tens of thousands of rows: many chunks) and a handle.
    first, second, handle = arm_rows(25_000, 1), arm_rows(3_000, 2), handle_rows(4_000)
    path = tmp_path / "session.mcap"
    summary = tamro.save_mcap(path, arm=[first, second], handle=handle, name="lab", clock_offset=OFFSET)
    assert summary.size == path.stat().st_size
    topics = read_back(path)
    assert {topic: kind for topic, (kind, _, _) in topics.items()} == {
        "/lab/arm/measured_cp": "geometry_msgs/msg/PoseStamped",
        "/lab/arm/measured_cv": "geometry_msgs/msg/TwistStamped",
        "/lab/arm/measured_cf": "geometry_msgs/msg/WrenchStamped",
        "/lab/arm2/measured_cp": "geometry_msgs/msg/PoseStamped",
        "/lab/arm2/measured_cv": "geometry_msgs/msg/TwistStamped",
        "/lab/arm2/measured_cf": "geometry_msgs/msg/WrenchStamped",
        "/lab/handle/measured_cp": "geometry_msgs/msg/PoseStamped",
        "/lab/handle/sensor_level": "std_msgs/msg/UInt8",
    }
    assert summary.messages == {topic: len(messages) for topic, (_, _, messages) in topics.items()}

    for base, rows in (("/lab/arm", first), ("/lab/arm2", second)):
        expected = stamps_ns(rows["time"])
        frame = base.strip("/") + "_base"  # lab/arm_base, as the bridge's samples carry
        for name, column, field in MEASURED:
            _, times, messages = topics[f"{base}/{name}"]
            assert np.array_equal(times, expected)
            headers = [m.header for m in messages]
            assert np.array_equal([h.stamp.sec * 1_000_000_000 + h.stamp.nanosec for h in headers], expected)
            assert {h.frame_id for h in headers} == {frame}
            assert np.array_equal([xyz(field(m)) for m in messages], rows[column]), f"{base}/{name}"
        poses = topics[f"{base}/measured_cp"][2]
        assert {xyzw(m.pose.orientation) for m in poses} == {(0.0, 0.0, 0.0, 1.0)}

    _, times, poses = topics["/lab/handle/measured_cp"]
    assert np.array_equal(times, stamps_ns(handle["time"]))
    q = handle["quaternion"].astype(np.float64)  # w first on the handle's wire, last in ROS
    assert np.array_equal([xyzw(p.pose.orientation) for p in poses], q[:, [1, 2, 3, 0]])
    _, _, levels = topics["/lab/handle/sensor_level"]
    assert [m.data for m in levels] == handle["hall_effect_sensor_level"].tolist()


def test_the_file_checks_out_and_its_summary_counts_every_message(tmp_path: Path) -> None:
    path = tmp_path / "checked.mcap"
    tamro.save_mcap(path, arm=arm_rows(20_000, 3), handle=handle_rows(500), name="bench_2")
    with path.open("rb") as f:
        reader = mcap_reader.make_reader(f, validate_crcs=True)
        summary = reader.get_summary()
        assert summary is not None and summary.statistics is not None
        assert summary.statistics.message_count == 3 * 20_000 + 2 * 500
        assert len(summary.chunk_indexes) > 1
        assert {s.encoding for s in summary.schemas.values()} == {"ros2msg"}
        assert {c.message_encoding for c in summary.channels.values()} == {"cdr"}
        assert sum(1 for _ in reader.iter_messages()) == 3 * 20_000 + 2 * 500


def test_an_empty_recording_is_a_valid_file(tmp_path: Path) -> None:
    path = tmp_path / "empty.mcap"
    tamro.save_mcap(path, arm=arm_rows(0, 0))
    assert read_back(path) == {}


@pytest.mark.parametrize(
    ("arguments", "error", "words"),
    [
        ({"name": "lab//arm"}, ValueError, "name"),
        ({"name": "9lab"}, ValueError, "name"),
        ({"name": ""}, ValueError, "name"),
        ({"name": 7}, TypeError, "name"),
        ({"compression": "gzip"}, ValueError, "compression"),
        ({"arm": np.zeros(3)}, TypeError, "arm"),
        ({"handle": [arm_rows(2, 0)]}, TypeError, "handle"),
    ],
)
def test_bad_arguments_are_refused_before_anything_is_written(
    tmp_path: Path, arguments: dict[str, object], error: type[Exception], words: str
) -> None:
    with pytest.raises(error, match=words):
        tamro.save_mcap(tmp_path / "bad.mcap", **arguments)  # type: ignore[arg-type]
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("where", ["missing/x.mcap", "a-file/x.mcap"])
def test_a_path_that_cannot_be_written_raises_and_leaves_nothing(tmp_path: Path, where: str) -> None:
    (tmp_path / "a-file").write_bytes(b"")
    with pytest.raises(OSError):
        tamro.save_mcap(tmp_path / where, arm=arm_rows(10, 0))
    assert [p.name for p in tmp_path.iterdir()] == ["a-file"]


def test_a_failure_while_writing_leaves_no_partial_file(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    # A full disk, as the writer sees it: the file under its own name never appears and the
    # temporary one is gone.
    from tamro.recording import _mcap

    def full(self: object, data: bytes) -> None:
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(_mcap.McapWriter, "_write", full)
    with pytest.raises(OSError, match="No space"):
        tamro.save_mcap(tmp_path / "full.mcap", arm=arm_rows(100, 0))
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("mask", [0o022, 0o077, 0o027])
def test_a_saved_file_has_the_mode_the_umask_gives(tmp_path: Path, mask: int) -> None:
    old = os.umask(mask)
    try:
        tamro.save_mcap(tmp_path / "a.mcap", arm=arm_rows(10, 0))
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(tmp_path / "a.mcap").st_mode) == 0o666 & ~mask
