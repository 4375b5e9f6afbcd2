"""The network's message types against ROS 2's own definitions, through rosbags (which ships
ROS 2's message definitions and computes from them): the type hashes the library announces,
and the test peer's CDR (so that what the peer reads in test_network.py is what a ROS 2 node
would read)."""

from __future__ import annotations

import math
import re
import shutil
import subprocess
import sys
from importlib import resources

import numpy as np
import pytest

from tamro import network

if not network.available():
    pytest.skip("this build has no network part (no Cyclone DDS)", allow_module_level=True)
ros2peer = pytest.importorskip("ros2peer", reason="needs the cyclonedds package (the dds extra)")
typesys = pytest.importorskip("rosbags.typesys", reason="needs rosbags (the dds extra)")

# The releases whose definitions of these messages the hashes must match.
STORES = [typesys.Stores.ROS2_HUMBLE, typesys.Stores.ROS2_JAZZY]
USED = sorted({t["ros_type"] for t in network.TOPICS})


@pytest.mark.parametrize("store", STORES, ids=lambda s: s.name)
def test_type_hashes_are_those_of_ros2s_definitions(store):
    ros = typesys.get_typestore(store)
    for info in network.TOPICS:
        assert info["type_hash"] == ros.hash_rihs01(info["ros_type"]), info["ros_type"]


def test_dds_names_follow_ros2s_mapping():
    for info in network.TOPICS:
        package, msg, name = info["ros_type"].split("/")
        assert info["dds_type"] == f"{package}::{msg}::dds_::{name}_"
        assert msg == "msg"
    assert {t["direction"] for t in network.TOPICS if t["name"].startswith("servo_")} == {"in"}
    assert all(not t["reliable"] and t["depth"] == 1 for t in network.TOPICS)
    # No deadline asked of anyone: a command reader must match any ROS 2 writer.
    assert not any(t["deadline"] for t in network.TOPICS)


def ros_name(peer_class: type) -> str:
    """geometry_msgs::msg::dds_::Pose_ -> geometry_msgs/msg/Pose"""
    return peer_class.__idl_typename__.replace("::dds_::", "::").replace("::", "/")[:-1]


def is_peer(value) -> bool:
    return type(value).__module__ == ros2peer.__name__


def ros_message(ros, peer_sample):
    """The rosbags message with the same field values as a peer sample."""
    values = {}
    for field in ros.types[ros_name(type(peer_sample))].__dataclass_fields__:
        if field == "__msgtype__":
            continue
        value = getattr(peer_sample, field)
        if is_peer(value):
            values[field] = ros_message(ros, value)
        elif isinstance(value, list) and value and is_peer(value[0]):
            values[field] = [ros_message(ros, v) for v in value]
        elif isinstance(value, list):
            values[field] = np.array(value, dtype=np.uint8)
        else:
            values[field] = value
    return ros.types[ros_name(type(peer_sample))](**values)


SAMPLES = {
    "geometry_msgs/msg/PoseStamped": ros2peer.PoseStamped(
        ros2peer.Header(ros2peer.Time(1_765_000_000, 123_456_789), "lab/arm_base"),
        ros2peer.Pose(ros2peer.Point(0.1, -0.2, math.pi), ros2peer.Quaternion(0.5, 0.5, -0.5, 0.5)),
    ),
    "geometry_msgs/msg/TwistStamped": ros2peer.TwistStamped(
        ros2peer.Header(ros2peer.Time(-3, 7), ""),
        ros2peer.Twist(ros2peer.Vector3(1, 2, 3), ros2peer.Vector3(-1, -2, -3)),
    ),
    "geometry_msgs/msg/WrenchStamped": ros2peer.WrenchStamped(
        ros2peer.Header(ros2peer.Time(5, 999_999_999), "x"),
        ros2peer.Wrench(ros2peer.Vector3(0.25, 0, -9.81), ros2peer.Vector3(0, 0, 0)),
    ),
    "geometry_msgs/msg/Vector3Stamped": ros2peer.Vector3Stamped(
        ros2peer.Header(ros2peer.Time(2, 500), "lab/coupling_base"), ros2peer.Vector3(0.5, 0.25, -1e-9)
    ),
    "std_msgs/msg/UInt8": ros2peer.UInt8(200),
    "std_msgs/msg/UInt8MultiArray": ros2peer.UInt8MultiArray(
        ros2peer.MultiArrayLayout([ros2peer.MultiArrayDimension("bytes", 3, 3)], 1), [1, 2, 255]
    ),
}


@pytest.mark.parametrize("name", USED)
def test_the_peers_types_encode_as_ros2_does(name):
    ros = typesys.get_typestore(typesys.Stores.ROS2_JAZZY)
    sample = SAMPLES[name]
    assert sample.__idl_typename__ == next(t["dds_type"] for t in network.TOPICS if t["ros_type"] == name)
    expected = bytes(ros.serialize_cdr(ros_message(ros, sample), name))
    assert sample.serialize() == expected


def test_the_network_package_and_the_bridge_pass_mypy_strict(tmp_path):
    """The installed package, with the native module's stub."""
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path)]
        + ["-p", "tamro.network", "-p", "tamro.programs.bridge"],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stdout + done.stderr


def test_the_shipped_idl_compiles_and_defines_every_type_the_project_speaks(tmp_path) -> None:
    idlc = shutil.which("idlc")
    if idlc is None:
        pytest.skip("needs Cyclone DDS's idlc")
    folder = resources.files("tamro.network") / "idl"
    defined: set[str] = set()
    for source in folder.iterdir():
        if not source.name.endswith(".idl"):
            continue
        subprocess.run([idlc, "-I", str(folder), str(source)], cwd=tmp_path, check=True)
        generated = (tmp_path / source.name.replace(".idl", ".c")).read_text()
        defined |= set(re.findall(r'"(\w+::msg::dds_::\w+)"', generated))
    wanted = {t["dds_type"] for t in network.TOPICS}
    wanted.add("rmw_dds_common::msg::dds_::ParticipantEntitiesInfo_")
    assert wanted <= defined, wanted - defined
