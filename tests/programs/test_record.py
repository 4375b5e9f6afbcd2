"""tamro-record against a running tamro-bridge on the simulator: the file holds what the bridge
says it published (less what was counted as dropped or lost), read back with rosbags; every
way of stopping leaves a complete file; a killed recorder leaves a readable prefix; paths that
cannot be written are refused with one line.

DDS stays on the loopback interface, in a random domain per test."""

from __future__ import annotations

import io
import os
import re
import signal
import threading
import time
from pathlib import Path

import pytest
from fakedevice import wait_until
from program import Program

from tamro import network

if not network.available():
    pytest.skip("this build has no network part (no Cyclone DDS)", allow_module_level=True)
ros2peer = pytest.importorskip("ros2peer", reason="needs the cyclonedds package (the dds extra)")
rosbags_highlevel = pytest.importorskip("rosbags.highlevel")
typesys = pytest.importorskip("rosbags.typesys")
mcap_reader = pytest.importorskip("mcap.reader")
mcap_stream = pytest.importorskip("mcap.stream_reader")

TOPICS = {
    "/lab/arm/measured_cp": "geometry_msgs/msg/PoseStamped",
    "/lab/arm/measured_cv": "geometry_msgs/msg/TwistStamped",
    "/lab/arm/measured_cf": "geometry_msgs/msg/WrenchStamped",
    "/lab/handle/measured_cp": "geometry_msgs/msg/PoseStamped",
    "/lab/handle/sensor_level": "std_msgs/msg/UInt8",
    "/lab/handle/user_data": "std_msgs/msg/UInt8MultiArray",
}


@pytest.fixture
def domain(monkeypatch: pytest.MonkeyPatch) -> int:
    monkeypatch.setenv("CYCLONEDDS_URI", network.LOOPBACK_CONFIG.as_uri())
    return ros2peer.random_domain()


@pytest.fixture
def bridge(domain: int):
    """A tamro-bridge serving the simulator's arm and handle, ready."""
    program = Program("tamro.programs.bridge", "--name", "lab", "--simulate", "--domain", str(domain))
    try:
        program.wait_for("ready")
        yield program
    finally:
        program.kill()


def record(domain: int, path: Path, *args: str) -> Program:
    return Program("tamro.programs.record", "--domain", str(domain), "-o", str(path), *args)


def wait_recording_everything(recorder: Program) -> None:
    for topic, kind in TOPICS.items():
        recorder.wait_for(f"recording {topic} {kind}")


def published(program: Program) -> dict[str, int]:
    """The bridge's latest 'published TOPIC SAMPLES dropped N' line per topic."""
    counts = {}
    for line in program.lines:
        if match := re.fullmatch(r"published (\S+) (\d+) dropped (\d+)", line):
            counts[match[1]] = int(match[2])
    return counts


def report(recorder: Program) -> dict[str, tuple[int, int]]:
    """Per topic, from the recorder's closing lines: (messages, dropped + lost)."""
    counts = {}
    for line in recorder.lines:
        if match := re.fullmatch(
            r"  (\S+) \S+: ([\d,]+) messages, [\d,]+ bytes, (\d+) dropped, (\d+) lost", line
        ):
            counts[match[1]] = (int(match[2].replace(",", "")), int(match[3]) + int(match[4]))
    return counts


def read_back(path: Path) -> dict[str, list[tuple[int, int, object]]]:
    """Per topic, with rosbags: (log time, publish time, decoded message) of every message."""
    topics: dict[str, list[tuple[int, int, object]]] = {}
    with rosbags_highlevel.AnyReader([path]) as reader:
        assert {c.topic: c.msgtype for c in reader.connections} == TOPICS
        for connection, stamp, raw in reader.messages():
            topics.setdefault(connection.topic, []).append(
                (stamp, 0, reader.deserialize(raw, connection.msgtype))
            )
    # rosbags gives no publish time: take it from the mcap package, in the same order.
    with path.open("rb") as f:
        reader = mcap_reader.make_reader(f, validate_crcs=True)
        sent: dict[str, list[int]] = {}
        for _, channel, message in reader.iter_messages(log_time_order=True):
            sent.setdefault(channel.topic, []).append(message.publish_time)
    return {
        topic: [(log, publish, m) for (log, _, m), publish in zip(rows, sent[topic], strict=True)]
        for topic, rows in topics.items()
    }


def stamp_ns(message: object) -> int:
    header = message.header  # type: ignore[attr-defined]
    return int(header.stamp.sec) * 1_000_000_000 + int(header.stamp.nanosec)


def test_the_file_holds_what_the_bridge_published(domain: int, tmp_path: Path) -> None:
    path = tmp_path / "session.mcap"
    recorder = record(domain, path)
    bridge = None
    try:
        recorder.wait_for("recording /lab/ in domain")
        bridge = Program("tamro.programs.bridge", "--name", "lab", "--simulate", "--domain", str(domain))
        bridge.wait_for("ready")
        wait_recording_everything(recorder)
        # What the bridge had published once every topic's samples were arriving, then two
        # seconds of recording, then what it published in all.
        asked = time.time_ns()  # what arrives from now on was published after `before`
        bridge.send(signal.SIGUSR1)
        before = {}
        for _ in TOPICS:
            line = bridge.wait_for("published ")
            before[line.split()[1]] = int(line.split()[2])
        time.sleep(2.0)  # the recording's length, not a wait for anything
        bridge.send(signal.SIGINT)
        code, err = bridge.finish()
        assert code == 0, err
        after = published(bridge)
        for topic in TOPICS:
            recorder.wait_for(f"no writer left on {topic}")
        recorder.send(signal.SIGINT)
        code, err = recorder.finish()
        assert code == 0, err
    finally:
        recorder.kill()
        if bridge is not None:
            bridge.kill()

    counted = report(recorder)
    topics = read_back(path)
    assert set(counted) == set(topics) == set(TOPICS) == set(after)
    for topic, rows in topics.items():
        recorded, lost = counted[topic]
        assert len(rows) == recorded, topic
        # Nothing more than was published; nothing published after `before` was counted that is
        # not in the file or counted as dropped or lost.
        window = sum(1 for log, _, _ in rows if log >= asked)
        assert recorded <= after[topic], topic
        assert window + lost >= after[topic] - before[topic], (topic, window, lost, before, after)
        logs = [log for log, _, _ in rows]
        assert logs == sorted(logs), f"{topic}: log times out of order"
        for log, sent, message in rows:
            # Stamped when the loop's cycle replied, sent after, received after that.
            assert sent <= log, topic
            if hasattr(message, "header"):
                assert stamp_ns(message) <= sent, topic
                assert message.header.frame_id in ("lab/arm_base", "lab/handle_base")  # type: ignore[attr-defined]
    levels = [m.data for _, _, m in topics["/lab/handle/sensor_level"]]  # type: ignore[attr-defined]
    assert all(0 <= level <= 255 for level in levels)
    assert all(m.layout.dim == [] for _, _, m in topics["/lab/handle/user_data"])  # type: ignore[attr-defined]


@pytest.mark.parametrize("stop", ["SIGTERM", "--seconds"])
def test_every_way_of_stopping_leaves_a_complete_file(
    domain: int, bridge: Program, tmp_path: Path, stop: str
) -> None:
    path = tmp_path / "stopped.mcap"
    recorder = record(domain, path, *(["--seconds", "1.5"] if stop == "--seconds" else []))
    try:
        wait_recording_everything(recorder)
        if stop == "SIGTERM":
            recorder.send(signal.SIGTERM)
        code, err = recorder.finish()
    finally:
        recorder.kill()
    assert code == 0, err
    assert recorder.lines[-1] == f"wrote {path} ({path.stat().st_size:,} bytes)"
    with path.open("rb") as f:
        reader = mcap_reader.make_reader(f, validate_crcs=True)
        summary = reader.get_summary()
        assert summary is not None and summary.statistics is not None
        assert summary.statistics.message_count == sum(1 for _ in reader.iter_messages()) > 0
        assert summary.chunk_indexes
    assert sum(len(rows) for rows in read_back(path).values()) == summary.statistics.message_count


def test_a_killed_recorder_leaves_a_readable_prefix(domain: int, bridge: Program, tmp_path: Path) -> None:
    path = tmp_path / "killed.mcap"
    recorder = record(domain, path)
    try:
        wait_recording_everything(recorder)
        # Chunks end every second: wait for a few of them to be in the file.
        assert wait_until(lambda: path.stat().st_size > 50_000, timeout=30)
        recorder.process.kill()
        recorder.process.wait()
    finally:
        recorder.kill()

    # rosbags reads a file only from its summary, which a killed recorder never wrote; the mcap
    # package's stream reader reads record by record, up to where the file was cut.
    data = path.read_bytes()
    with pytest.raises(rosbags_highlevel.AnyReaderError):
        with rosbags_highlevel.AnyReader([path]):
            pass
    ros = typesys.get_typestore(typesys.Stores.ROS2_HUMBLE)
    channels, seen = {}, 0
    records = mcap_stream.StreamReader(io.BytesIO(data), skip_magic=False).records
    try:
        for item in records:
            if type(item).__name__ == "Channel":
                channels[item.id] = item.topic
            elif type(item).__name__ == "Message":
                topic = channels[item.channel_id]
                message = ros.deserialize_cdr(item.data, TOPICS[topic])
                if hasattr(message, "header"):
                    assert stamp_ns(message) <= item.publish_time <= item.log_time
                seen += 1
    except Exception as cut:  # the reader's word for the end of a cut file
        assert "Footer" not in type(cut).__name__
    assert set(channels.values()) == set(TOPICS)
    assert seen > 1000, "at least a second's chunk of messages"


@pytest.mark.parametrize(
    ("where", "extra", "words"),
    [
        ("missing/x.mcap", [], "No such file or directory"),
        ("a-folder", [], "Is a directory"),
        ("earlier.mcap", [], "exists already"),
        ("/dev/full", ["--force"], "No space left on device"),
    ],
)
def test_a_path_that_cannot_be_written_is_refused_in_one_line(
    domain: int, tmp_path: Path, where: str, extra: list[str], words: str
) -> None:
    (tmp_path / "a-folder").mkdir()
    (tmp_path / "earlier.mcap").write_bytes(b"an earlier recording")
    before = sorted(os.listdir(tmp_path))
    recorder = record(domain, tmp_path / where, "--seconds", "0.2", *extra)
    code, err = recorder.finish()
    assert code == 1
    assert err.startswith("tamro-record: ") and err.count("\n") == 1 and words in err, err
    assert sorted(os.listdir(tmp_path)) == before
    assert (tmp_path / "earlier.mcap").read_bytes() == b"an earlier recording"


@pytest.mark.parametrize(
    ("args", "words"),
    [(["--name", "lab//x"], "name"), (["--domain", "300"], "domain"), (["--seconds", "-1"], "--seconds")],
)
def test_bad_arguments_are_refused(domain: int, tmp_path: Path, args: list[str], words: str) -> None:
    recorder = Program("tamro.programs.record", "-o", str(tmp_path / "x.mcap"), *args)
    code, err = recorder.finish()
    assert code in (1, 2) and words in err, err
    assert list(tmp_path.iterdir()) == []


def test_coupling_energy_is_recorded_and_what_is_not_is_named_with_an_incomplete_status(
    domain: int, tmp_path: Path
) -> None:
    peer = ros2peer.Peer(domain)
    energy = peer.writer("/lab/arm/coupling_energy", ros2peer.Vector3Stamped, deadline=None)
    chatter = peer.writer("/lab/chatter", ros2peer.String, deadline=None)
    path = tmp_path / "coupling.mcap"
    recorder = record(domain, path, "--seconds", "30")
    try:
        sample = ros2peer.Vector3Stamped(
            header=ros2peer.Header(frame_id="lab/arm_base"), vector=ros2peer.Vector3(1.5, 0.5, 0.25)
        )

        stop = threading.Event()

        def keep_writing() -> None:
            while not stop.wait(0.01):
                energy.write(sample)
                chatter.write(ros2peer.String("hello"))

        writing = threading.Thread(target=keep_writing)
        writing.start()
        try:
            recorder.wait_for("recording /lab/arm/coupling_energy geometry_msgs/msg/Vector3Stamped")
            recorder.wait_for("not recording rt/lab/chatter")
        finally:
            stop.set()
            writing.join()
        recorder.send(signal.SIGTERM)
        code, err = recorder.finish()
    finally:
        recorder.kill()
    assert code == 3, err
    assert "incomplete" in err
    assert any(line.startswith("  not recorded rt/lab/chatter") for line in recorder.lines), recorder.lines
    with rosbags_highlevel.AnyReader([path]) as reader:
        got = [
            reader.deserialize(raw, c.msgtype)
            for c, _, raw in reader.messages()
            if c.topic == "/lab/arm/coupling_energy"
        ]
    assert got and all((m.vector.x, m.vector.y, m.vector.z) == (1.5, 0.5, 0.25) for m in got)


def test_hostile_writers_cannot_blind_the_recorder_silently(domain: int, tmp_path: Path) -> None:
    """70 writers of a type it cannot record (more than it names) and a second writer on a
    recorded topic: every one is counted or named, and the exit status says incomplete."""
    peer = ros2peer.Peer(domain)
    strangers = [peer.writer(f"/lab/noise/t{i}", ros2peer.String, deadline=None) for i in range(70)]
    forger = ros2peer.Peer(domain)
    writers = [p.writer("/lab/arm/measured_cp", ros2peer.PoseStamped, deadline=None) for p in (peer, forger)]
    path = tmp_path / "hostile.mcap"
    recorder = record(domain, path, "--seconds", "30")
    try:
        stop = threading.Event()

        def keep_writing() -> None:
            while not stop.wait(0.01):
                for w in writers:
                    w.write(ros2peer.PoseStamped())

        writing = threading.Thread(target=keep_writing)
        writing.start()
        try:
            recorder.wait_for("recording /lab/arm/measured_cp geometry_msgs/msg/PoseStamped")
            recorder.wait_for("2 writers on /lab/arm/measured_cp")
            # The list of names fills (the rest are counted at the end).
            for _ in range(64):
                recorder.wait_for_line(lambda line: line.startswith("not recording rt/lab/noise/"))
        finally:
            stop.set()
            writing.join()
        recorder.send(signal.SIGTERM)
        code, err = recorder.finish()
    finally:
        recorder.kill()
        del strangers
    assert code == 3, err
    named = sum(line.startswith("  not recorded rt/lab/noise/") for line in recorder.lines)
    counted = next(
        int(m[1].replace(",", ""))
        for line in recorder.lines
        if (m := re.fullmatch(r"  not recorded: ([\d,]+) more writers \(too many to name\)", line))
    )
    assert named + counted == 70, recorder.lines
    assert any(
        re.fullmatch(r"  /lab/arm/measured_cp had 2 writers at once: .*", line) for line in recorder.lines
    )


def test_a_crowd_of_topics_cannot_crowd_out_the_devices_own(domain: int, tmp_path: Path) -> None:
    peer = ros2peer.Peer(domain)
    _crowd = [peer.writer(f"/lab/crowd/t{i}", ros2peer.PoseStamped, deadline=None) for i in range(300)]
    path = tmp_path / "crowd.mcap"
    recorder = record(domain, path, "--seconds", "60")
    try:
        # The crowd has taken every slot open to any name.
        recorder.wait_for_line(lambda line: "too many topics" in line and "rt/lab/crowd/" in line)
        real = peer.writer("/lab/arm/measured_cp", ros2peer.PoseStamped, deadline=None)
        stop = threading.Event()

        def keep_writing() -> None:
            while not stop.wait(0.01):
                real.write(ros2peer.PoseStamped())

        writing = threading.Thread(target=keep_writing)
        writing.start()
        try:
            recorder.wait_for("recording /lab/arm/measured_cp geometry_msgs/msg/PoseStamped")
        finally:
            stop.set()
            writing.join()
        recorder.send(signal.SIGTERM)
        code, err = recorder.finish()
    finally:
        recorder.kill()
    assert code == 3, err  # the crowd beyond the open slots was left out, and said so
    left = [
        line
        for line in recorder.lines
        if line.startswith(("  not recorded rt/lab/crowd/", "  not recorded: "))
    ]
    assert left, recorder.lines
