"""tamro's detection and port probe against fake devices on pseudo-terminals, linked into a
folder that stands for /dev."""

from __future__ import annotations

import errno
import os
import time
import uuid

import pytest
from fakedevice import FakeDevice, FakeHandle, OtherThread, handle_error, handle_status

import tamro


def canonical(device: FakeDevice) -> str:
    return os.path.realpath(device.path)


@pytest.fixture
def devices(tmp_path, fake_arm, fake_handle):
    """A folder with an arm on ttyACM0, a silent port on ttyACM1, the same handle as ttyUSB0
    and rfcomm0, and a node of no detected kind."""
    silent, wireless = FakeDevice(), FakeHandle()
    for name, device in [
        ("ttyACM0", fake_arm),
        ("ttyACM1", silent),
        ("ttyUSB0", fake_handle),
        ("rfcomm0", wireless),
        ("ttyS0", fake_arm),
    ]:
        os.symlink(device.path, tmp_path / name)
    yield tmp_path, fake_arm, fake_handle, wireless
    silent.close()
    wireless.close()


def test_detection_finds_each_kind_on_its_own_nodes(devices):
    folder, arm, wired, wireless = devices
    with OtherThread() as other:
        start = time.monotonic()
        found = tamro.detect_arms(device_directory=folder)
        end = time.monotonic()
    assert found == [canonical(arm)]
    assert other.ran_between(start, end), "Python threads run while the silent port is probed"
    assert sorted(tamro.detect_handles(device_directory=folder)) == sorted(
        [canonical(wired), canonical(wireless)]
    )
    assert tamro.detect_handles(wireless=False, device_directory=folder) == [canonical(wired)]
    assert tamro.detect_handles(wired=False, device_directory=folder) == [canonical(wireless)]
    assert tamro.detect_handles(wired=False, wireless=False, device_directory=folder) == []


def test_detection_without_the_folder_finds_nothing_and_a_dangling_link_raises(tmp_path):
    assert tamro.detect_arms(device_directory=tmp_path / "missing") == []
    os.symlink(tmp_path / "nowhere", tmp_path / "rfcomm9")
    # Even arm detection, which would not probe it: the listing itself fails.
    with pytest.raises(FileNotFoundError) as raised:
        tamro.detect_arms(device_directory=tmp_path)
    assert raised.value.filename == str(tmp_path / "rfcomm9")


def test_probe_port_reports_each_answer_typed(fake_arm, fake_handle, fake_device):
    arm = tamro.probe_port(fake_arm.path, timeout=0.2, exchanges=20)
    assert (arm.path, arm.answer, arm.usable) == (fake_arm.path, "velkin3", True)
    assert arm.device_info is not None and arm.device_info["device_id"] == 0x1234
    assert arm.device_info["device_id_ext"] == uuid.UUID(bytes=bytes(range(16)))
    assert arm.round_trips is not None and (arm.round_trips.requested, arm.round_trips.completed) == (20, 20)
    assert arm.round_trips.ended == "complete" and 0 < arm.round_trips.p50_us <= arm.round_trips.p99_us
    assert fake_arm.forces == [(0.0, 0.0, 0.0)] * 20

    handle = tamro.probe_port(fake_handle.path, timeout=0.2)
    assert handle.answer == "handle-info" and handle.handle_info is not None
    assert handle.handle_info["tool_data_remaining"] == 9 and handle.round_trips is None

    silent = tamro.probe_port(fake_device.path, timeout=0.2)
    assert (silent.answer, silent.usable, silent.device_info) == ("silence", False, None)

    for reply, answer in [
        (handle_status(7, 0.5, b"hi"), "handle-status"),
        (handle_error(3), "handle-error"),
        (b"\r\nOK\r\n", "other"),
    ]:
        device = FakeHandle(wake_up_reply=reply)
        try:
            probe = tamro.probe_port(device.path, timeout=0.2)
        finally:
            device.close()
        assert probe.answer == answer
        if answer == "handle-status":
            assert probe.handle_status is not None and probe.handle_status.user_data == b"hi"
            assert probe.handle_status.quaternion == (0.5, 0.0, 0.0, 0.5)
        elif answer == "handle-error":
            assert probe.handle_error == tamro.detection.ProbedHandleError(0x1234, 3)
        else:
            assert probe.raw_bytes == reply


def test_probe_port_refuses_what_is_no_serial_port(tmp_path):
    kept = tmp_path / "ttyACM0"
    kept.write_bytes(b"keep me")
    with pytest.raises(tamro.NotASerialPort) as refused:
        tamro.probe_port(kept)
    assert isinstance(refused.value, OSError) and refused.value.errno == errno.ENOTTY
    assert refused.value.filename == str(kept) and "a regular file" in str(refused.value)
    assert kept.read_bytes() == b"keep me"
    with pytest.raises(FileNotFoundError):
        tamro.probe_port(tmp_path / "missing")
    for arguments in ({"timeout": 0}, {"timeout": 61}, {"exchanges": -1}):
        with pytest.raises(ValueError):
            tamro.probe_port(kept, **arguments)
