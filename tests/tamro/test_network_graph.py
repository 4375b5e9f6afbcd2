"""The node in the ROS 2 graph: an independent reader of ros_discovery_info (the cyclonedds
package with rmw_dds_common's types written from ROS 2's definitions) finds the node by name and
namespace, with the GIDs of its readers and writers as DDS discovery reports their GUIDs."""

from __future__ import annotations

import pytest
from fakedevice import wait_until

import tamro
from tamro import network

if not network.available():
    pytest.skip("this build has no network part (no Cyclone DDS)", allow_module_level=True)
ros2peer = pytest.importorskip("ros2peer", reason="needs the cyclonedds package (the dds extra)")

from cyclonedds.core import Policy, Qos  # noqa: E402
from cyclonedds.sub import DataReader  # noqa: E402
from cyclonedds.topic import Topic  # noqa: E402

NS = "lab"


def gid_bytes(gid: ros2peer.Gid) -> bytes:
    return bytes(gid.data)


def test_ros_discovery_info_names_the_node_with_its_endpoints_gids(monkeypatch, fake_arm):
    monkeypatch.setenv("CYCLONEDDS_URI", network.LOOPBACK_CONFIG.as_uri())
    domain = ros2peer.random_domain()
    peer = ros2peer.Peer(domain)
    # As rmw_dds_common subscribes: reliable, transient local (a late joiner gets the newest).
    qos = Qos(Policy.Reliability.Reliable(0), Policy.Durability.TransientLocal, Policy.History.KeepLast(1))
    topic = Topic(peer.participant, "ros_discovery_info", ros2peer.ParticipantEntitiesInfo)
    graph = DataReader(peer.participant, topic, qos=qos)
    # The node's endpoints as DDS discovery tells the peer about them (their GUIDs).
    listeners = {n: peer.reader(f"/{NS}/arm/{n}", ros2peer.PoseStamped) for n in ("measured_cp",)}
    listeners["measured_cf"] = peer.reader(f"/{NS}/arm/measured_cf", ros2peer.WrenchStamped)
    commanders = {"servo_cp": peer.writer(f"/{NS}/arm/servo_cp", ros2peer.PoseStamped)}
    commanders["servo_cf"] = peer.writer(f"/{NS}/arm/servo_cf", ros2peer.WrenchStamped)

    with (
        tamro.ServoLoop(fake_arm.path) as loop,
        tamro.Node(NS, domain=domain, node_name="tamro_bridge") as node,
    ):
        assert node.node_name == "tamro_bridge"
        node.publish(loop, "arm")
        node.accept_commands(loop, "arm")
        assert all(ros2peer.wait_matched(e) for e in [*listeners.values(), *commanders.values()])
        writers = {}
        for name, reader in listeners.items():
            (handle,) = reader.get_matched_publications()
            writers[name] = reader.get_matched_publication_data(handle)
        readers = {}
        for name, writer in commanders.items():
            (handle,) = writer.get_matched_subscriptions()
            readers[name] = writer.get_matched_subscription_data(handle)
        latest: list[ros2peer.ParticipantEntitiesInfo] = []

        def announced_all() -> bool:
            for s in graph.take(N=64):
                latest[:] = [s]
            if not latest or not latest[0].node_entities_info_seq:
                return False
            info = latest[0].node_entities_info_seq[0]
            return len(info.writer_gid_seq) >= 3 and len(info.reader_gid_seq) >= 2

        assert wait_until(announced_all, timeout=10.0), latest

    (participant,) = latest
    assert len(participant.node_entities_info_seq) == 1
    info = participant.node_entities_info_seq[0]
    assert (info.node_namespace, info.node_name) == (f"/{NS}", "tamro_bridge")
    written = {gid_bytes(g) for g in info.writer_gid_seq}
    read = {gid_bytes(g) for g in info.reader_gid_seq}
    for name, endpoint in writers.items():
        assert endpoint.key.bytes in written, f"{name}'s writer is not among the node's"
        assert endpoint.participant_key.bytes == gid_bytes(participant.gid)
    for name, endpoint in readers.items():
        assert endpoint.key.bytes in read, f"{name}'s reader is not among the node's"
    assert len(written) == 3 and len(read) == 2, "only the node's own topics (not ros_discovery_info)"


@pytest.mark.parametrize("bad", ["", "1node", "tamro/bridge", "tamro-bridge"])
def test_a_node_name_ros_2_would_refuse_is_refused(monkeypatch, bad):
    monkeypatch.setenv("CYCLONEDDS_URI", network.LOOPBACK_CONFIG.as_uri())
    with pytest.raises(ValueError, match="node name"):
        tamro.Node(NS, domain=ros2peer.random_domain(), node_name=bad)
