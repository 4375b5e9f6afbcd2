"""tamro.Node against an independent ROS 2 peer (the Python cyclonedds package with the ROS 2
types written out, tests/fakes/ros2peer.py): what the measured topics carry, commands moving
the arm, refusals, the fade when a stream stops, and hostile writers.

Every test runs on the loopback interface only, in a DDS domain of its own."""

from __future__ import annotations

import math
import os
import subprocess
import sys
import time
from collections.abc import Callable

import numpy as np
import pytest
from fakedevice import FakeArm, FakeHandle, handle_status, wait_until

import tamro
from tamro import network

if not network.available():
    pytest.skip("this build has no network part (no Cyclone DDS)", allow_module_level=True)
ros2peer = pytest.importorskip("ros2peer", reason="needs the cyclonedds package (the dds extra)")

NS = "lab"


@pytest.fixture
def dds(monkeypatch):
    """(domain, peer): a random domain on the loopback interface, and a ROS 2 peer in it."""
    monkeypatch.setenv("CYCLONEDDS_URI", network.LOOPBACK_CONFIG.as_uri())
    domain = ros2peer.random_domain()
    return domain, ros2peer.Peer(domain)


def offset_to_wall() -> float:
    """Wall clock minus monotonic clock, as the node stamps."""
    return time.time() - time.monotonic()


def vec(v) -> tuple[float, float, float]:
    return (v.x, v.y, v.z)


# --- what is published ------------------------------------------------------------------------


def test_arm_topics_carry_the_loops_own_cycles(dds, fake_arm):
    domain, peer = dds
    kinds = {"measured_cp": ros2peer.PoseStamped, "measured_cv": ros2peer.TwistStamped}
    kinds["measured_cf"] = ros2peer.WrenchStamped
    readers = {name: peer.reader(f"/{NS}/arm/{name}", kind, depth=2000) for name, kind in kinds.items()}
    loop = tamro.ServoLoop(fake_arm.path, rate_hz=500.0)
    loop.effects = [tamro.ConstantForce((0.1, -0.2, 0.3)), tamro.Damper(0.5)]
    with tamro.Node(NS, domain=domain) as node, loop:
        served = node.publish(loop, "arm")
        assert served == [f"/{NS}/arm/{name}" for name in kinds]
        assert all(ros2peer.wait_matched(r) for r in readers.values())
        loop.record(10_000)
        samples = {name: ros2peer.take_until(r, 300) for name, r in readers.items()}
        loop.stop()
        records = loop.drain()
        stats = {s["topic"]: s for s in node.stats()}
    offset = offset_to_wall()

    assert len(samples["measured_cp"]) >= 300
    times = records["time"] + offset
    for name, got in samples.items():
        assert stats[f"/{NS}/arm/{name}"]["dropped"] == 0
        matched = 0
        for sample in got:
            assert sample.header.frame_id == f"{NS}/arm_base"
            i = int(np.argmin(np.abs(times - ros2peer.stamp_seconds(sample.header))))
            if abs(times[i] - ros2peer.stamp_seconds(sample.header)) > 0.0005:
                continue  # from before the recording started
            matched += 1
            row = records[i]
            if name == "measured_cp":
                assert vec(sample.pose.position) == tuple(row["position"])
                o = sample.pose.orientation
                assert (o.x, o.y, o.z, o.w) == (0.0, 0.0, 0.0, 1.0)
            elif name == "measured_cv":
                assert vec(sample.twist.linear) == tuple(row["velocity"])
                assert vec(sample.twist.angular) == (0.0, 0.0, 0.0)
            else:
                assert vec(sample.wrench.force) == tuple(row["force"])
        assert matched >= 250, f"{name}: only {matched} samples are cycles of the recording"


def test_a_lower_publishing_rate_picks_cycles_on_the_loops_own_times(dds, fake_arm):
    domain, peer = dds
    reader = peer.reader(f"/{NS}/arm/measured_cp", ros2peer.PoseStamped, depth=500)
    with tamro.Node(NS, domain=domain) as node, tamro.ServoLoop(fake_arm.path, rate_hz=1000.0) as loop:
        node.publish(loop, "arm", rate_hz=100.0)
        assert ros2peer.wait_matched(reader)
        got = ros2peer.take_until(reader, 40)
        cycles = loop.stats()["cycles"]
        published = next(s["samples"] for s in node.stats() if s["topic"].endswith("measured_cp"))
    # Cycles are picked on a 10 ms grid of the loop's own times: never more than one a grid
    # step, however the loop's cycles fall.
    stamps = [ros2peer.stamp_seconds(s.header) for s in got]
    assert len(stamps) >= 40
    assert len(stamps) - 1 <= (stamps[-1] - stamps[0]) / 0.010 + 1
    assert published < cycles


def test_handle_topics_carry_orientation_in_ros_order_level_and_user_data(dds):
    domain, peer = dds
    cp = peer.reader(f"/{NS}/handle/measured_cp", ros2peer.PoseStamped, depth=500)
    level = peer.reader(f"/{NS}/handle/sensor_level", ros2peer.UInt8, depth=500)
    data = peer.reader(f"/{NS}/handle/user_data", ros2peer.UInt8MultiArray, depth=500)
    handle = FakeHandle(reply=lambda n: handle_status((n + 250) % 256, (n + 1) / 1000, b"\x07\x08"))
    try:
        with tamro.Node(NS, domain=domain) as node, tamro.HandleReader(handle.path, rate_hz=200.0) as reader:
            node.publish(reader, "handle")
            assert all(ros2peer.wait_matched(r) for r in (cp, level, data))
            poses = ros2peer.take_until(cp, 20)
            levels = ros2peer.take_until(level, 20)
            arrays = ros2peer.take_until(data, 20)
    finally:
        handle.close()
    for pose in poses:
        o = pose.pose.orientation
        # The handle sends (w, 0, 0, 1 - w), w first; ROS puts w last.
        n = round(o.w * 1000)
        assert (o.x, o.y) == (0.0, 0.0) and 0 < o.w < 1
        assert o.z == float(np.float32(1 - np.float32(n / 1000)))
        assert vec(pose.pose.position) == (0.0, 0.0, 0.0)
        assert pose.header.frame_id == f"{NS}/handle_base"
    # Levels count on by one per status (wrapping at 256); best effort may skip a few.
    values = [s.data for s in levels]
    assert all(1 <= (b - a) % 256 <= 20 for a, b in zip(values, values[1:], strict=False)), values
    assert all(list(a.data) == [7, 8] and a.layout.dim == [] for a in arrays)


# --- commands -----------------------------------------------------------------------------------


def test_servo_cp_pulls_the_simulated_arm_to_the_target(dds, simulator):
    domain, peer = dds
    writer = peer.writer(f"/{NS}/arm/servo_cp", ros2peer.PoseStamped)
    target = ros2peer.PoseStamped(
        header=ros2peer.Header(frame_id=f"{NS}/arm_base"),
        pose=ros2peer.Pose(position=ros2peer.Point(0.04, -0.02, 0.01)),
    )
    with tamro.Node(NS, domain=domain) as node, tamro.ServoLoop(simulator.arms[0]) as loop:
        node.accept_commands(loop, "arm", stiffness=200.0, damping=1.0)
        assert ros2peer.wait_matched(writer)

        def near() -> bool:
            writer.write(ros2peer.stamped(target))
            return bool(np.allclose(loop.state().position, (0.04, -0.02, 0.01), atol=0.002))

        assert wait_until(near, timeout=10.0), f"the arm stayed at {loop.state().position}"
        assert node.command_status("arm").mode == "engaged"
        received = next(s for s in node.stats() if s["topic"].endswith("servo_cp"))
        assert received["samples"] > 0 and received["refused"] == 0


@pytest.mark.parametrize(
    "qos",
    [ros2peer.default_qos(), ros2peer.sensor_qos(deadline=None), ros2peer.sensor_qos(deadline=0.1)],
    ids=["ros2-default", "best-effort", "best-effort-deadline"],
)
def test_any_ros2_publisher_commands_the_arm(dds, simulator, qos):
    """What ``ros2 topic pub`` writes (reliable, keep last 10, no deadline) must move the arm as
    well as a sensor-data stream with or without a deadline."""
    domain, peer = dds
    writer = peer.writer(f"/{NS}/arm/servo_cf", ros2peer.WrenchStamped, qos=qos)
    push = ros2peer.WrenchStamped(
        header=ros2peer.Header(frame_id=f"{NS}/arm_base"),
        wrench=ros2peer.Wrench(force=ros2peer.Vector3(1.0, 0, 0)),
    )
    with tamro.Node(NS, domain=domain) as node, tamro.ServoLoop(simulator.arms[0]) as loop:
        node.accept_commands(loop, "arm")
        assert ros2peer.wait_matched(writer), "the command reader does not match this writer"

        def pushing() -> bool:
            writer.write(ros2peer.stamped(push))
            return bool(loop.state().force[0] == pytest.approx(1.0, abs=0.05))

        assert wait_until(pushing, timeout=10.0), f"force stayed {loop.state().force}"
        taken = next(s for s in node.stats() if s["topic"].endswith("servo_cf"))
        assert taken["samples"] > 0 and taken["refused"] == 0


@pytest.mark.parametrize(
    "topic, sample, reason",
    [
        (
            "servo_cp",
            ros2peer.PoseStamped(pose=ros2peer.Pose(position=ros2peer.Point(math.nan, 0, 0))),
            "not_finite",
        ),
        (
            "servo_cp",
            ros2peer.PoseStamped(pose=ros2peer.Pose(position=ros2peer.Point(0, 0.2, 0))),
            "workspace",
        ),
        (
            "servo_cp",
            ros2peer.PoseStamped(header=ros2peer.Header(frame_id="world"), pose=ros2peer.Pose()),
            "frame",
        ),
        (
            "servo_cf",
            ros2peer.WrenchStamped(wrench=ros2peer.Wrench(force=ros2peer.Vector3(0, math.inf, 0))),
            "not_finite",
        ),
        (
            "servo_cf",
            ros2peer.WrenchStamped(
                header=ros2peer.Header(frame_id="lab/arm2_base"),
                wrench=ros2peer.Wrench(force=ros2peer.Vector3(1, 0, 0)),
            ),
            "frame",
        ),
    ],
    ids=["nan-target", "outside-workspace", "other-frame", "infinite-force", "other-arms-frame"],
)
def test_refused_commands_are_counted_by_reason_and_never_reach_the_arm(dds, fake_arm, topic, sample, reason):
    domain, peer = dds
    writer = peer.writer(f"/{NS}/arm/{topic}", type(sample))
    with tamro.Node(NS, domain=domain) as node, tamro.ServoLoop(fake_arm.path) as loop:
        node.accept_commands(loop, "arm")
        assert ros2peer.wait_matched(writer)

        def refused() -> int:
            return next(s["refused"] for s in node.stats() if s["topic"].endswith(topic))

        # Best effort, keep last 1: a sample may be lost or replaced; send until five arrived.
        assert wait_until(lambda: writer.write(ros2peer.stamped(sample)) or refused() >= 5)
        assert wait_until(lambda: node.command_status("arm").mode == "waiting")
        assert loop.state().force.tolist() == [0.0, 0.0, 0.0]
        counts = next(s for s in node.stats() if s["topic"].endswith(topic))
        assert {r for r, n in counts["reasons"].items() if n} == {reason}, counts
        assert sum(counts["reasons"].values()) == counts["refused"]
        if reason == "frame":  # what was sent, and what would have been taken
            assert counts["refused_frame"] == sample.header.frame_id
            assert counts["expected"]["frame"] == f"'{NS}/arm_base' or empty"
    assert all(f == (0.0, 0.0, 0.0) for f in fake_arm.forces)


def _at(offset: float) -> Callable[[], ros2peer.Time]:
    return lambda: ros2peer.wall_stamp(offset)


def _no_stamp() -> ros2peer.Time:
    return ros2peer.Time()


def _bad_nanoseconds() -> ros2peer.Time:
    return ros2peer.Time(sec=int(time.time()), nanosec=1_500_000_000)


@pytest.mark.parametrize(
    "stamp, live, reason",
    [
        (_at(-3.0), False, "implausible"),
        (_at(1e6), False, "implausible"),
        (_no_stamp, False, "implausible"),
        (_bad_nanoseconds, False, "implausible"),
        (_at(-3.0), True, "stale"),
        (_at(1e6), True, "future"),
        (_at(0.45), True, "future"),
    ],
    ids=[
        "3s-old",
        "1e6s-ahead",
        "unstamped",
        "nanoseconds-beyond-a-second",
        "3s-old-in-a-stream",
        "1e6s-ahead-in-a-stream",
        "spoof-0.45s-ahead",
    ],
)
def test_commands_are_judged_by_their_stamps(dds, fake_arm, stamp, live, reason):
    """A sample stamped long ago, far ahead or not at all is refused and counted by reason,
    before a stream starts or in the middle of one; it never reaches the arm, it does not cut
    the real stream off, and a fresh stream is rendered afterwards."""
    domain, peer = dds
    writer = peer.writer(f"/{NS}/arm/servo_cf", ros2peer.WrenchStamped)
    real = ros2peer.WrenchStamped(wrench=ros2peer.Wrench(force=ros2peer.Vector3(1.0, 0, 0)))
    bad = ros2peer.WrenchStamped(wrench=ros2peer.Wrench(force=ros2peer.Vector3(0, 3.0, 0)))
    with tamro.Node(NS, domain=domain) as node, tamro.ServoLoop(fake_arm.path) as loop:
        node.accept_commands(loop, "arm")
        assert ros2peer.wait_matched(writer)

        def counts() -> network.TopicStats:
            return next(s for s in node.stats() if s["topic"].endswith("servo_cf"))

        def engaged() -> bool:
            writer.write(ros2peer.stamped(real))
            return node.command_status("arm").mode == "engaged"

        if live:
            assert wait_until(engaged)

        def send_bad() -> bool:
            if live:  # the real stream goes on around the bad samples
                for _ in range(4):
                    writer.write(ros2peer.stamped(real))
                    time.sleep(0.005)
            bad.header.stamp = stamp()
            writer.write(bad)
            return counts()["reasons"][reason] >= 5

        assert wait_until(send_bad), counts()
        if live:
            assert node.command_status("arm").mode == "engaged", "the real stream was cut off"
        else:
            assert node.command_status("arm").mode == "waiting"
        assert wait_until(engaged), "a fresh stream afterwards"
        assert wait_until(lambda: writer.write(ros2peer.stamped(real)) or fake_arm.forces[-1] == (1.0, 0, 0))
    assert all(f[1] == 0.0 for f in fake_arm.forces), "a refused sample reached the arm"


def test_a_stopped_stream_fades_to_zero_and_comes_back_softly(dds, fake_arm):
    domain, peer = dds
    writer = peer.writer(f"/{NS}/arm/servo_cf", ros2peer.WrenchStamped)
    push = ros2peer.WrenchStamped(wrench=ros2peer.Wrench(force=ros2peer.Vector3(0, 0, 1.0)))
    timeout, ramp = 0.25, 0.1
    loop = tamro.ServoLoop(fake_arm.path, rate_hz=1000.0)
    with tamro.Node(NS, domain=domain) as node, loop:
        node.accept_commands(loop, "arm", timeout=timeout, ramp=ramp)
        assert ros2peer.wait_matched(writer)
        loop.record(20_000)

        def engaged() -> bool:
            writer.write(ros2peer.stamped(push))
            return node.command_status("arm").mode == "engaged"

        assert wait_until(engaged)
        for _ in range(20):  # a steady stream, then it stops
            writer.write(ros2peer.stamped(push))
            time.sleep(0.01)
        last_sent = time.monotonic()
        assert wait_until(lambda: node.command_status("arm").mode == "waiting", timeout=5.0)
        writer.write(ros2peer.stamped(push))  # the stream returns
        assert wait_until(lambda: node.command_status("arm").mode == "engaged")
        loop.stop()
        rows = loop.drain()

    z = rows["force"][:-1, 2]  # the last is the stop's own zero-force exchange
    # Never more than the ramp's slope, 1 N per ramp, over however long the cycle took. The
    # records hold reply times; a cycle started after the reply before it and computed its
    # force before its own, so it lasted less than the time from reply i - 2 to reply i.
    steps = np.abs(np.diff(z))[1:]
    spans = (rows["time"][2:-1] - rows["time"][:-3]) / ramp
    assert (steps <= spans * 1.01 + 1e-6).all(), "the commanded force jumped"
    after = rows["time"][:-1] > last_sent
    zero_from = rows["time"][:-1][after & (z == 0.0)][0]
    # Defined by the design: the time-out from the last sample, then the ramp (with room for
    # the sample's trip and a slow machine).
    assert zero_from - last_sent <= timeout + ramp + 0.1
    assert zero_from - last_sent >= timeout
    assert z[-1] == pytest.approx(1.0), "re-engaged to full force"


def test_closing_the_node_fades_the_commands_and_stops_publishing(dds, fake_arm):
    domain, peer = dds
    reader = peer.reader(f"/{NS}/arm/measured_cp", ros2peer.PoseStamped, depth=100)
    writer = peer.writer(f"/{NS}/arm/servo_cf", ros2peer.WrenchStamped)
    push = ros2peer.WrenchStamped(wrench=ros2peer.Wrench(force=ros2peer.Vector3(0.5, 0, 0)))
    with tamro.ServoLoop(fake_arm.path) as loop:
        node = tamro.Node(NS, domain=domain)
        node.publish(loop, "arm")
        node.accept_commands(loop, "arm")
        assert ros2peer.wait_matched(writer) and ros2peer.wait_matched(reader)
        assert wait_until(
            lambda: writer.write(ros2peer.stamped(push)) or node.command_status("arm").mode == "engaged"
        )
        node.close()
        assert wait_until(lambda: network.command_status(loop).mode == "off")
        assert wait_until(lambda: loop.state().force.tolist() == [0.0, 0.0, 0.0])
        reader.take(N=1000)
        time.sleep(0.1)  # anything still in flight
        reader.take(N=1000)
        cycles = loop.state().cycle
        assert wait_until(lambda: loop.state().cycle > cycles + 100)
        assert reader.take(N=1000) == [], "published after close"
        assert node.stats(), "the figures stay"
        node.close()  # closing twice does nothing
        assert loop.running


# --- hostile writers ------------------------------------------------------------------------------


def test_a_flood_of_bad_and_wrong_samples_never_reaches_the_arm_unchecked(dds):
    domain, peer = dds
    max_force = 2.0
    arm = FakeArm()
    flood_cf = peer.writer(f"/{NS}/arm/servo_cf", ros2peer.WrenchStamped)
    flood_cp = peer.writer(f"/{NS}/arm/servo_cp", ros2peer.PoseStamped)

    # Another participant's writer: the right type name with another layout (a single byte).
    @ros2peer.final
    @ros2peer.dataclass
    class Short(ros2peer.IdlStruct, typename="geometry_msgs::msg::dds_::WrenchStamped_"):
        data: ros2peer.uint8 = 0

    stranger = ros2peer.Peer(domain)
    short = stranger.writer(f"/{NS}/arm/servo_cf", Short)
    bad_forces = [(math.nan, 0, 0), (1e9, 0, 0), (0, -math.inf, 0), (3.0, 4.0, 0.0)]
    bad_targets = [(math.nan, 0, 0), (5.0, 0, 0), (0.05, 0, 0)]
    try:
        with tamro.Node(NS, domain=domain) as node, tamro.ServoLoop(arm.path, max_force=max_force) as loop:
            node.accept_commands(loop, "arm")
            assert all(ros2peer.wait_matched(w) for w in (flood_cf, flood_cp))
            before = loop.stats()["cycles"]
            started = time.monotonic()
            for i in range(10_000):  # about a second of samples, bounded in count and time
                if time.monotonic() - started > 3.0:
                    break
                if i % 10 == 0:
                    short.write(Short(data=7))
                elif i % 2:
                    f = bad_forces[(i // 2) % len(bad_forces)]
                    flood_cf.write(
                        ros2peer.stamped(
                            ros2peer.WrenchStamped(wrench=ros2peer.Wrench(force=ros2peer.Vector3(*f)))
                        )
                    )
                else:
                    t = bad_targets[i % len(bad_targets)]
                    flood_cp.write(
                        ros2peer.stamped(
                            ros2peer.PoseStamped(pose=ros2peer.Pose(position=ros2peer.Point(*t)))
                        )
                    )
                if i % 100 == 0:
                    time.sleep(0.01)
            elapsed = time.monotonic() - started
            cycles = loop.stats()["cycles"] - before
            assert loop.running
            stats = {s["topic"].rsplit("/", 1)[1]: s for s in node.stats()}
    finally:
        arm.close()
    # The loop kept going (its rate under a flood is the benchmarks' business).
    assert cycles >= 100, f"{cycles} cycles in {elapsed:.1f} s"
    forces = np.array(arm.forces)
    assert np.isfinite(forces).all()
    assert np.linalg.norm(forces, axis=1).max() <= max_force * (1 + 1e-6)
    assert stats["servo_cf"]["refused"] > 0 and stats["servo_cf"]["clamped"] > 0
    assert stats["servo_cp"]["refused"] > 0
    taken = stats["servo_cf"]["samples"] + stats["servo_cp"]["samples"]
    assert taken <= 9_000, "the short samples are dropped by DDS, never taken"


# --- the API's refusals ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        (("",), {}, ValueError, "is empty"),
        (("lab/",), {}, ValueError, "must not start or end"),
        (("1lab",), {}, ValueError, "digit"),
        (("lab-1",), {}, ValueError, "letters, digits"),
        (("lab",), {"domain": 233}, ValueError, "domain"),
        (("lab",), {"domain": "0"}, TypeError, "domain"),
        ((7,), {}, TypeError, "namespace"),
    ],
)
def test_node_arguments_are_checked(dds, args, kwargs, error, message):
    with pytest.raises(error, match=message):
        tamro.Node(*args, **kwargs)


def test_publishing_and_commands_refuse_what_they_cannot_serve(dds, fake_arm):
    domain, _ = dds
    second = FakeArm()
    try:
        with tamro.ServoLoop(fake_arm.path) as loop, tamro.ServoLoop(second.path) as other:
            with tamro.Node(NS, domain=domain) as node, tamro.Node("other", domain=domain) as node2:
                node.publish(loop, "arm")
                with pytest.raises(RuntimeError, match="published already"):
                    node2.publish(loop, "arm")
                with pytest.raises(ValueError, match="serves another device"):
                    node.publish(other, "arm")
                with pytest.raises(ValueError, match="must not contain '/'"):
                    node.publish(other, "arm/2")
                with pytest.raises(ValueError, match="rate_hz"):
                    node.publish(other, "arm2", rate_hz=0)
                with pytest.raises(TypeError, match="ServoLoop or tamro.HandleReader"):
                    node.publish(object(), "x")  # type: ignore[arg-type]
                with pytest.raises(ValueError, match="stiffness"):
                    node.accept_commands(loop, "arm", stiffness=-1.0)
                with pytest.raises(ValueError, match="timeout"):
                    node.accept_commands(loop, "arm", timeout=0.0)
                with pytest.raises(ValueError, match="workspace"):
                    node.accept_commands(loop, "arm", workspace=((0, 0, 0), (1, -1, 1)))
                node.accept_commands(loop, "arm")
                with pytest.raises(RuntimeError, match="takes commands"):
                    node2.accept_commands(loop, "arm")
                node.close()
                with pytest.raises(ValueError, match="closed"):
                    node.publish(other, "arm2")
    finally:
        second.close()


@pytest.mark.parametrize(
    "uri, interfaces",
    [
        ("", None),
        (network.LOOPBACK_CONFIG.as_uri(), ["lo"]),
        (str(network.LOOPBACK_CONFIG), ["lo"]),
        ('<General><Interfaces><NetworkInterface address="10.0.0.1" priority="1"/>'
         '<NetworkInterface name="eth1"/></Interfaces></General>', ["10.0.0.1", "eth1"]),
        ("<General><NetworkInterfaceAddress>wlan0</NetworkInterfaceAddress></General>", ["wlan0"]),
        ("file:///nonexistent/cyclone.xml,<General><Interfaces/></General>", None),
        (network.TWO_MACHINES_CONFIG.as_uri(), ["auto", "lo"]),
    ],
    ids=["none", "loopback-uri", "loopback-path", "inline-two", "old-style", "unreadable", "two-machines"],
)  # fmt: skip
def test_the_interfaces_a_configuration_keeps_dds_to(uri, interfaces):
    assert network.configured_interfaces(uri) == interfaces


def test_a_peer_address_points_dds_at_the_two_machine_configuration(monkeypatch):
    monkeypatch.delenv("CYCLONEDDS_URI", raising=False)
    monkeypatch.delenv(network.PEER_VARIABLE, raising=False)
    for bad in ("10.0.0", "fe80::1", "224.0.0.251", "255.255.255.255", "10.0.0.2/24"):
        with pytest.raises(ValueError):
            network.use_peer(bad)
    assert "CYCLONEDDS_URI" not in os.environ and network.PEER_VARIABLE not in os.environ
    uri = network.use_peer("10.0.0.2")
    assert os.environ["CYCLONEDDS_URI"] == uri == network.TWO_MACHINES_CONFIG.as_uri()
    assert os.environ[network.PEER_VARIABLE] == "10.0.0.2"
    assert network.use_peer("10.0.0.3") == uri  # its own configuration is not another's
    monkeypatch.setenv("CYCLONEDDS_URI", network.LOOPBACK_CONFIG.as_uri())
    with pytest.raises(ValueError, match="CYCLONEDDS_URI"):
        network.use_peer("10.0.0.2")


def test_cyclones_own_messages_come_once_per_kind_in_five_seconds():
    """Twenty nodes refused for the same error in the configuration: Cyclone's message about it
    is written once (the rest held back), prefixed so it is known for Cyclone's."""
    script = (
        "from tamro import network\n"
        "refused = 0\n"
        "for _ in range(20):\n"
        "    try:\n"
        f"        network.Node('lab', domain={ros2peer.random_domain()})\n"
        "    except RuntimeError:\n"
        "        refused += 1\n"
        "print(refused)\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", script],
        env=dict(os.environ, CYCLONEDDS_URI="<Bogus>1</Bogus>"),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.stdout.strip() == "20", done.stderr
    said = [line for line in done.stderr.splitlines() if "Bogus" in line]
    assert len(said) == 1 and said[0].startswith("cyclonedds: "), done.stderr
