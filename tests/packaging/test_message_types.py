"""The message-type generator (tools/messages.py): a new type is one definition, and what it
writes from it agrees with ROS 2's own definitions (rosbags, which computes type hashes from
them), for shapes the project does not speak yet (fixed arrays, sequences of doubles)."""

from __future__ import annotations

import importlib.util
import re
import shutil
import sys
from pathlib import Path

import pytest

typesys = pytest.importorskip("rosbags.typesys", reason="needs rosbags (the dds extra)")
if shutil.which("clang-format-14") is None and shutil.which("clang-format") is None:
    pytest.skip("the generator lays out C++ with clang-format", allow_module_level=True)

ROOT = Path(__file__).resolve().parents[2]
spec = importlib.util.spec_from_file_location("messages", ROOT / "tools" / "messages.py")
assert spec is not None and spec.loader is not None
messages = importlib.util.module_from_spec(spec)
sys.modules["messages"] = messages
spec.loader.exec_module(messages)

NEW = {
    "geometry_msgs/Accel.msg": "Vector3 linear\nVector3 angular\n",
    "geometry_msgs/AccelStamped.msg": "std_msgs/Header header\nAccel accel\n",
    "geometry_msgs/PoseWithCovariance.msg": "Pose pose\nfloat64[36] covariance\n",
    "std_msgs/Float64MultiArray.msg": "MultiArrayLayout layout\nfloat64[] data\n",
}
NEW_TYPES = [
    "geometry_msgs/msg/AccelStamped",
    "geometry_msgs/msg/PoseWithCovariance",
    "std_msgs/msg/Float64MultiArray",
]


def test_the_tree_is_what_the_generator_writes():
    files = messages.outputs(messages.SOURCE)
    assert [p for p, text in files.items() if p.read_text() != text] == []


def test_a_new_type_is_one_definition_and_matches_ros2(tmp_path):
    source = tmp_path / "messages"
    shutil.copytree(messages.SOURCE, source)
    for name, text in NEW.items():
        (source / name).write_text(text)
    with (source / "spoken.txt").open("a") as spoken:
        spoken.writelines(f"topic {t}\n" for t in NEW_TYPES)
    files = messages.outputs(source)

    header = files[messages.MESSAGES_HPP]
    ros = typesys.get_typestore(typesys.Stores.ROS2_JAZZY)
    for t in NEW_TYPES:
        found = re.search(rf'"{t}",\s*"[^"]+",\s*"(RIHS01_\w+)"', header)
        assert found, t
        assert found.group(1) == ros.hash_rihs01(t), t

    wire = files[messages.WIRE_CPP]
    assert "offsetof(AccelStamped, linear), 3" in wire  # Accel spread in place, like Twist
    assert "DDS_OP_SUBTYPE_8BY, DDS_OP_FLAG_FP), offsetof(PoseWithCovariance, covariance), 36" in wire
    assert "DDS_OP_TYPE_SEQ, DDS_OP_SUBTYPE_8BY, DDS_OP_FLAG_FP), offsetof(Float64MultiArray, data)" in wire
    # What was there before is unchanged, and the recorder can embed the new definitions.
    assert files[messages.WIRE_HPP].count("struct ") > messages.WIRE_HPP.read_text().count("struct ")
    assert "geometry_msgs/AccelStamped" in files[messages.DEFINITIONS_PY]


@pytest.mark.parametrize(
    ("name", "text", "why"),
    [
        ("std_msgs/Bad.msg", "Missing thing\n", "not defined"),
        ("std_msgs/Bounded.msg", "float64[<=3] data\n", "bounded sequence"),
        ("std_msgs/Constant.msg", "int32 LIMIT=3\n", "only fields"),
    ],
)
def test_definitions_it_cannot_serve_are_refused_by_name(tmp_path, name, text, why):
    source = tmp_path / "messages"
    shutil.copytree(messages.SOURCE, source)
    (source / name).write_text(text)
    with pytest.raises(messages.DefinitionError, match=why):
        messages.outputs(source)
