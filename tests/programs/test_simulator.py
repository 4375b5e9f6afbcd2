"""The simulator speaks the wire protocol of the arm and the handle exactly: raw bytes on its
ptys, and the module driving it as it would drive the hardware."""

from __future__ import annotations

import math
import os
import select
import signal
import struct
import subprocess
import sys
import time
import tty

import pytest
from fakedevice import floats

import TamroHardwareAPI as api
from tamro.simulator import Simulator, find_simulator

DEVICE_ID = 0x1234
UUID_BYTES = bytes(range(16))
IDENTITY_ARGS = ["--device-id", str(DEVICE_ID), "--uuid", UUID_BYTES.hex()]
HANDLE_ID = DEVICE_ID + 1  # the arm comes first
HANDLE_INFO = bytes([0xD0, 0x35, 0x12, 100, 2, 1, 3])  # id, tool data remaining, model, hw, fw


class RawPort:
    """The host side of a simulated device, byte by byte."""

    def __init__(self, path: str) -> None:
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)

    def write(self, data: bytes) -> None:
        os.write(self.fd, data)

    def read(self, count: int, timeout: float = 2.0) -> bytes:
        got = b""
        deadline = time.monotonic() + timeout
        while len(got) < count:
            ready, _, _ = select.select([self.fd], [], [], max(deadline - time.monotonic(), 0.0))
            if not ready:
                break
            got += os.read(self.fd, count - len(got))
        return got

    def quiet(self, window: float = 0.05) -> bool:
        ready, _, _ = select.select([self.fd], [], [], window)
        return not ready

    def close(self) -> None:
        os.close(self.fd)


@pytest.fixture
def sim():
    with Simulator(args=IDENTITY_ARGS) as running:
        yield running


@pytest.fixture
def arm_port(sim):
    port = RawPort(sim.arms[0])
    yield port
    port.close()


@pytest.fixture
def handle_port(sim):
    port = RawPort(sim.handles[0])
    yield port
    port.close()


def request(code: int, *values: float) -> bytes:
    return bytes([code]) + floats(*values)


# --- raw bytes ---------------------------------------------------------------------------

# The arm starts at rest at the centre of its workspace and the first request finds it there,
# so the first state reply is all zeros, whatever the request.
ARM_EXCHANGES = [
    ("wake-up", b"\x0a", bytes([0x0B, 0x34, 0x12, 4, 1, 3]) + UUID_BYTES),
    ("force", request(42, 1.0, 2.0, 3.0), b"\x2b" + bytes(24)),
    ("position", request(44, 0.01, 0.02, 0.03), b"\x2b" + bytes(24)),
    ("current at rest", b"\xab", b"\xab" + bytes(12)),
]


@pytest.mark.parametrize("name, sent, expected", ARM_EXCHANGES, ids=[c[0] for c in ARM_EXCHANGES])
def test_arm_replies_byte_for_byte(arm_port, name, sent, expected):
    arm_port.write(sent)
    assert arm_port.read(len(expected)) == expected
    assert arm_port.quiet()


@pytest.mark.parametrize("code", [26, 28])
def test_joint_requests_are_answered_by_a_joint_state(arm_port, code):
    arm_port.write(request(code, 0.0, 0.0, 0.0))
    reply = arm_port.read(25)
    assert reply[0] == 27 and len(reply) == 25
    angles = struct.unpack("<3f", reply[1:13])
    # At the centre the base joint is straight and the elbow bent; nothing moves yet.
    assert angles[0] == 0.0 and angles[1] != 0.0 and angles[2] != 0.0
    assert reply[13:] == bytes(12)
    assert arm_port.quiet()


def test_handle_replies_byte_for_byte(handle_port):
    handle_port.write(b"\x0a")
    assert handle_port.read(len(HANDLE_INFO)) == HANDLE_INFO
    for user_data in [b"", b"\xaa\xbb\xcc", bytes(range(255))]:
        handle_port.write(bytes([0xDB, 0x34, 0x12, len(user_data)]) + user_data)
        assert handle_port.quiet()  # the state message has no answer
        handle_port.write(b"\xda")
        status = handle_port.read(22 + len(user_data))
        assert status[:4] == bytes([0xDA, 0x35, 0x12, 0])  # code, id, no error
        assert 28 <= status[4] <= 228  # Hall-effect level
        quaternion = struct.unpack("<4f", status[5:21])
        assert math.isclose(math.fsum(q * q for q in quaternion), 1.0, rel_tol=1e-6)
        assert status[21] == len(user_data) and status[22:] == user_data
        assert handle_port.quiet()


def test_requests_split_across_writes_and_run_together(arm_port):
    force = request(42, 0.0, 0.0, 0.0)
    arm_port.write(force[:6])
    assert arm_port.quiet()
    arm_port.write(force[6:])
    assert arm_port.read(25)[0] == 43
    # Several requests in one write are answered in order.
    arm_port.write(request(26, 0, 0, 0) + b"\xab" + force + b"\x0a")
    replies = arm_port.read(25 + 13 + 25 + 22)
    assert [replies[0], replies[25], replies[38], replies[63]] == [27, 171, 43, 11]
    assert arm_port.quiet()


def test_unknown_bytes_are_skipped(arm_port, handle_port):
    arm_port.write(b"\x55\xdb\x00" + b"\x0a")
    assert arm_port.read(22)[0] == 11
    handle_port.write(b"\x2a\x0b" + b"\x0a")
    assert handle_port.read(7) == HANDLE_INFO
    assert arm_port.quiet() and handle_port.quiet()


def test_delayed_and_jittered_replies_keep_their_order_however_many_are_queued():
    with Simulator(handles=0, args=["--delay-us", "20000", "--jitter-us", "5000"]) as sim:
        port = RawPort(sim.arms[0])
        try:
            kinds = [
                (request(42, 0, 0, 0), 43, 25),
                (request(26, 0, 0, 0), 27, 25),
                (b"\xab", 171, 13),
                (b"\x0a", 11, 22),
            ] * 150
            start = time.monotonic()
            for at in range(0, len(kinds), 50):  # 600 requests, queued faster than they are answered
                port.write(b"".join(sent for sent, _, _ in kinds[at : at + 50]))
            first = port.read(1)
            waited = time.monotonic() - start
            replies = first + port.read(sum(length for _, _, length in kinds) - 1)
            assert waited >= 0.02  # never earlier than the fixed delay
            at = 0
            for _, code, length in kinds:
                assert replies[at] == code
                at += length
            assert at == len(replies)
        finally:
            port.close()


def test_each_reply_is_delayed_from_its_own_requests_arrival():
    # Request B goes out halfway through A's delay: its reply comes a delay after B, not a
    # delay after A's reply.
    delay = 0.2
    with Simulator(handles=0, args=["--delay-us", str(int(delay * 1e6))]) as sim:
        port = RawPort(sim.arms[0])
        try:
            sent_a = time.monotonic()
            port.write(request(42, 0, 0, 0))
            time.sleep(delay / 2)
            sent_b = time.monotonic()
            port.write(request(42, 0, 0, 0))
            assert port.read(25)[0] == 43
            got_a = time.monotonic()
            assert port.read(25)[0] == 43
            got_b = time.monotonic()
        finally:
            port.close()
    assert got_a - sent_a >= delay
    assert delay <= got_b - sent_b < 1.5 * delay, "from the previous reply it would be 1.5 delays"


# --- through the module ------------------------------------------------------------------


def until(condition, timeout: float = 5.0):
    """Calls condition() until it returns something true, or fails after timeout seconds."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        result = condition()
        if result:
            return result
    pytest.fail("condition not met in time")


@pytest.fixture
def arm(sim):
    stream = api.SerialStream(sim.arms[0])
    return api.Velkin3(stream)


def test_wakeup_through_the_module(arm):
    assert arm.device_wakeup() == (DEVICE_ID, 4, 1, 3, list(UUID_BYTES))
    identity = arm.device_wakeup_dict()
    assert str(identity["device_id_ext"]) == "00010203-0405-0607-0809-0a0b0c0d0e0f"


def test_force_drives_the_arm_to_the_workspace_wall(arm):
    position, velocity = arm.end_effector_force([0.0, 0.0, 0.0])
    assert position == [0.0, 0.0, 0.0] and velocity == [0.0, 0.0, 0.0]
    push = [1.0, 0.0, -1.0]
    until(lambda: arm.end_effector_force(push)[1][0] > 0.01)
    until(lambda: arm.end_effector_force(push)[0][0] >= 0.1)
    position, velocity = arm.end_effector_force(push)
    assert position == pytest.approx([0.1, 0.0, -0.1]) and position[1] == 0.0
    assert velocity == [0.0, 0.0, 0.0]


def test_position_and_joint_angle_requests_settle_on_the_target(arm):
    target = [0.03, -0.02, 0.05]

    def settled_position():
        position, velocity = arm.end_effector_position(target)
        return (
            all(abs(p - t) < 1e-4 for p, t in zip(position, target, strict=True))
            and max(map(abs, velocity)) < 1e-3
        )

    until(settled_position)
    angles = arm.joint_torques([0.0, 0.0, 0.0])[0]  # the joint state of that pose
    arm.end_effector_position([0.0, 0.0, 0.0])
    until(lambda: max(map(abs, arm.end_effector_position([0.0, 0.0, 0.0])[0])) < 1e-4)

    def settled_joints():
        joints, joint_velocity = arm.joint_angles(angles)
        return (
            all(abs(j - a) < 1e-3 for j, a in zip(joints, angles, strict=True))
            and max(map(abs, joint_velocity)) < 1e-2
        )

    until(settled_joints)
    position = arm.end_effector_position(target)[0]
    assert position == pytest.approx(target, abs=1e-3)


def test_joint_torques_move_the_joints(arm):
    rest = arm.joint_torques([0.0, 0.0, 0.0])[0]
    until(lambda: arm.joint_torques([0.02, 0.0, 0.0])[0][0] > rest[0] + 0.05)
    joints, joint_velocity = arm.joint_torques([0.02, 0.0, 0.0])
    assert joint_velocity[0] > 0.0  # the base joint turns the way it is pushed


def test_currents_follow_the_commanded_force(arm):
    arm.end_effector_force([0.0, 0.0, 0.0])
    arm.RequestCurrent()
    assert arm.ReceiveCurrent() == [0.0, 0.0, 0.0]
    arm.end_effector_force([0.0, 0.0, 1.0])
    arm.RequestCurrent()
    currents = arm.ReceiveCurrent()
    assert currents[0] == 0.0  # a vertical force loads no base torque
    assert currents[1] != 0.0 and currents[2] != 0.0


class RecordingHandle(api.Handle):
    def __init__(self, stream):
        super().__init__(stream)
        self.info = None
        self.status = None

    def OnReceiveHandleInfo(self, *values):
        self.info = values

    def OnReceiveHandleStatusMessage(self, *values):
        self.status = values


@pytest.fixture
def handle(sim):
    return RecordingHandle(api.SerialStream(sim.handles[0]))


def test_handle_through_the_module(handle):
    handle.SendDeviceWakeup()
    assert handle.Receive() == 6
    assert handle.info == (100, HANDLE_ID, 2, 1, 3)
    handle.RequestStatus()
    assert handle.Receive() == 21
    assert handle.status[4:] == (0, [])
    for byte in (0, 170, 255):
        handle.SendHandleState(DEVICE_ID, 1, byte)
        handle.RequestStatus()
        assert handle.Receive() == 22
        device_id, quaternion, error_flag, level, length, data = handle.status
        assert (device_id, error_flag, length, data) == (HANDLE_ID, 0, 1, [byte])
        assert math.isclose(sum(q * q for q in quaternion), 1.0, rel_tol=1e-6)
        assert 28 <= level <= 228
    first = handle.status[1]

    def turned():
        handle.RequestStatus()
        handle.Receive()
        return handle.status[1] != first

    until(turned)


def test_several_devices_count_their_identities_up():
    with Simulator(arms=2, handles=2, args=["--device-id", "10", "--uuid", "00" * 15 + "fe"]) as sim:
        ids = []
        for path in sim.arms:
            info = api.Velkin3(api.SerialStream(path)).device_wakeup()
            ids.append((info[0], info[4][-2:]))
        for path in sim.handles:
            h = RecordingHandle(api.SerialStream(path))
            h.SendDeviceWakeup()
            assert h.Receive() == 6
            ids.append((h.info[1], None))
        assert ids == [(10, [0, 0xFE]), (11, [0, 0xFF]), (12, None), (13, None)]
        assert len(set(sim.arms + sim.handles)) == 4


# --- the program ---------------------------------------------------------------------------


@pytest.mark.parametrize("stop", ["SIGTERM", "SIGINT", "stdin closed"])
def test_stops_cleanly(tmp_path, stop):
    sim = Simulator(link_dir=tmp_path)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["ttyACM0", "ttyUSB0"]
    assert os.path.realpath(tmp_path / "ttyACM0") == sim.arms[0]
    if stop == "stdin closed":
        sim.process.stdin.close()
    else:
        sim.process.send_signal(getattr(signal, stop))
    assert sim.process.wait(10) == 0
    sim.stop()
    assert list(tmp_path.iterdir()) == []


def gone(pid: int, timeout: float = 10.0) -> bool:
    """True once no process has this pid (a zombie of ours counts as gone once reaped)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return True
        time.sleep(0.01)
    return False


def test_the_helper_leaves_no_simulator_behind_even_when_the_body_raises():
    with pytest.raises(RuntimeError, match="inside"), Simulator(arms=1, handles=1) as sim:
        pid = sim.process.pid
        raise RuntimeError("inside the block")
    assert sim.process.returncode == 0 and not sim.running
    assert gone(pid)


@pytest.mark.parametrize("ending", ["os._exit(0)", "os.kill(os.getpid(), signal.SIGKILL)", "sys.exit(0)"])
def test_no_simulator_outlives_the_program_that_started_it(ending):
    script = (
        "import os, signal, sys, tamro\n"
        "sim = tamro.Simulator(arms=1, handles=1)\n"
        "print(sim.process.pid, flush=True)\n"
        f"{ending}\n"
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=30)
    pid = int(result.stdout.split()[0])
    assert gone(pid), f"tamro-simulator {pid} still runs after its program ended ({ending})"


@pytest.mark.parametrize(
    "args, message",
    [
        (["--arms", "x"], "--arms takes an integer"),
        (["--arms", "0", "--handles", "0"], "nothing to simulate"),
        (["--uuid", "0011"], "--uuid takes 32 hex digits"),
        (["--rate-hz", "10"], "--rate-hz takes an integer from 100"),
        (["--bogus", "1"], "unknown option: --bogus"),
    ],
)
def test_bad_command_lines_are_refused(args, message):
    result = subprocess.run([find_simulator(), *args], capture_output=True, text=True, timeout=10)
    assert result.returncode == 2
    assert message in result.stderr and result.stdout == ""


def test_a_missing_link_folder_is_created_with_its_parents(tmp_path):
    folder = tmp_path / "not" / "there"
    with Simulator(link_dir=folder) as sim:
        assert os.path.realpath(folder / "ttyACM0") == sim.arms[0]
        assert os.path.realpath(folder / "ttyUSB0") == sim.handles[0]
    assert list(folder.iterdir()) == []


@pytest.mark.parametrize(
    "in_the_way, link_dir, named",
    [
        ("ttyACM0", ".", "ttyACM0"),  # a real node would be there: never replaced
        ("taken", "taken", "taken"),
        ("taken", "taken/sub", "taken/sub"),
    ],
)
def test_a_link_that_cannot_be_made_ends_in_one_line(tmp_path, in_the_way, link_dir, named):
    (tmp_path / in_the_way).write_text("not ours")
    result = subprocess.run(
        [find_simulator(), "--handles", "0", "--link-dir", str(tmp_path / link_dir), "--exit-with-stdin"],
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        timeout=10,
    )
    assert result.returncode == 1 and result.stdout == ""
    assert len(result.stderr.splitlines()) == 1, result.stderr
    assert result.stderr.startswith("tamro-simulator: cannot ") and str(tmp_path / named) in result.stderr
    assert (tmp_path / in_the_way).read_text() == "not ours"


def test_help_says_detection_lists_only_dev():
    result = subprocess.run([find_simulator(), "--help"], capture_output=True, text=True, timeout=10)
    assert result.returncode == 0
    assert "Detection lists only /dev" in " ".join(result.stdout.split())
