"""tamro.HandleReader from Python: against a fake handle for each kind of message and failure,
and against the simulator for the user data that comes back."""

from __future__ import annotations

import errno
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
from fakedevice import (
    HANDLE_INFO_MESSAGE,
    HANDLE_STATE,
    HANDLE_STATUS,
    WAKE_UP,
    FakeHandle,
    counting_status,
    handle_error,
    wait_until,
)

import tamro


def test_the_newest_status_and_the_figures(fake_handle):
    with tamro.HandleReader(fake_handle.path, rate_hz=500.0) as reader:
        assert reader.info == {
            "tool_data_remaining": 9,
            "device_id": 0x1234,
            "device_model_number": 2,
            "hardware_version": 5,
            "firmware_version": 6,
        }
        assert reader.running
        assert wait_until(lambda: reader.latest().count >= 20)
        status = reader.latest()
        stats = reader.stats()
    n = status.count - 1  # the counting fake's status n
    assert status.hall_effect_sensor_level == n % 256 and status.device_id == 0x1234
    np.testing.assert_array_equal(
        status.quaternion, np.array([n / 1000, 0, 0, 1 - n / 1000], dtype=np.float32)
    )
    assert status.quaternion.dtype == np.float32 and not status.quaternion.flags.writeable
    assert status.user_data == b"" and 0 < status.time <= time.monotonic()
    assert set(stats) == {
        "messages", "rate_hz", "latency_p50_us", "latency_p99_us", "failed_requests", "unknown_codes",
        "dropped_events",
    }  # fmt: skip
    assert stats["messages"] >= 20 and stats["failed_requests"] == 0 and stats["rate_hz"] > 0
    assert not reader.running and reader.closed


def test_information_and_error_messages_become_events(fake_handle):
    def reply(n: int) -> bytes | None:
        extra = {2: handle_error(7), 3: HANDLE_INFO_MESSAGE + handle_error(8)}.get(n, b"")
        return extra + counting_status(n)

    fake_handle.reply = reply
    with tamro.HandleReader(fake_handle.path, rate_hz=500.0) as reader:
        assert wait_until(lambda: reader.latest().count >= 5)
        events = reader.events()
        assert reader.events() == []
    assert events == [
        tamro.HandleErrorEvent(events[0].time, 0x1234, 7),
        tamro.HandleInfoEvent(events[1].time, 9, 0x1234, 2, 5, 6),
        tamro.HandleErrorEvent(events[2].time, 0x1234, 8),
    ]
    assert events[0].time <= events[1].time <= events[2].time


def test_user_data_reaches_the_wire_whole_between_requests(fake_handle):
    with tamro.HandleReader(fake_handle.path, rate_hz=None) as reader:
        assert fake_handle.wait_for_requests(5)
        for i in range(20):
            reader.send_user_data(bytes([i, 0xAA]))
        reader.send_user_data(bytearray())
        assert fake_handle.wait_for(lambda: sum(m[0] == HANDLE_STATE for m in fake_handle.received) == 21)
        with pytest.raises(ValueError, match="at most 255 bytes"):
            reader.send_user_data(bytes(256))
        with pytest.raises(TypeError):
            reader.send_user_data("text")  # type: ignore[arg-type]
    states = [m for m in fake_handle.received if m[0] == HANDLE_STATE]
    assert states == [bytes([HANDLE_STATE, 0x34, 0x12, 2, i, 0xAA]) for i in range(20)] + [
        bytes([HANDLE_STATE, 0x34, 0x12, 0])
    ]
    # Everything else is one-byte requests: no message was cut into by another.
    assert {m for m in fake_handle.received if m[0] != HANDLE_STATE} <= {
        bytes([HANDLE_STATUS]),
        bytes([WAKE_UP]),
    }
    with pytest.raises(ValueError, match="closed"):
        reader.send_user_data(b"late")


def test_unknown_codes_and_a_status_cut_short(fake_handle):
    def reply(n: int) -> bytes | None:
        status = counting_status(n)
        assert status is not None
        return {2: b"\x0b\x0c" + status, 4: status[:10]}.get(n, status)

    fake_handle.reply = reply
    with tamro.HandleReader(fake_handle.path, rate_hz=500.0, fault_timeout=0.03) as reader:
        assert wait_until(lambda: reader.latest().count >= 8)
        stats = reader.stats()
        assert reader.running and reader.fault is None
    assert stats["unknown_codes"] == 2 and stats["failed_requests"] == 1


def test_a_silent_handle_latches_a_fault_in_time(fake_handle):
    silent = threading.Event()
    fake_handle.reply = lambda n: None if silent.is_set() else counting_status(n)
    reader = tamro.HandleReader(fake_handle.path, rate_hz=200.0, fault_timeout=0.04, max_faults=3)
    reader.record(1000)
    assert wait_until(lambda: reader.latest().count >= 3)
    silenced = time.monotonic()
    silent.set()
    assert wait_until(lambda: reader.fault is not None)
    assert time.monotonic() - silenced < 3 * (0.04 + 0.005) + 0.5
    fault = reader.fault
    assert isinstance(fault, tamro.DeviceFault)
    assert fault.errno == errno.ETIMEDOUT and fault.filename == fake_handle.path
    assert "3 failures in a row" in fault.strerror
    assert not reader.running
    for call in (reader.latest, reader.events, lambda: reader.send_user_data(b"x")):
        with pytest.raises(tamro.DeviceFault):
            call()
    assert reader.stats()["failed_requests"] == 3
    records = reader.drain()
    assert records.dtype == tamro.HANDLE_RECORD_DTYPE and len(records) >= 3
    assert list(records["hall_effect_sensor_level"][:3]) == [0, 1, 2]
    reader.close()
    reader.close()


def test_a_late_handle_latches_and_its_latency_is_measured_from_its_own_request():
    timeout, max_faults = 0.05, 3
    late = FakeHandle(late=lambda n: 0.0 if n < 30 else 0.06 + 0.03 * (n % 2))
    try:
        reader = tamro.HandleReader(late.path, rate_hz=200.0, fault_timeout=timeout, max_faults=max_faults)
        assert late.wait_for_requests(29)
        began = time.monotonic()
        assert wait_until(lambda: reader.fault is not None, timeout=5)
        assert time.monotonic() - began < (2 * max_faults - 1) * timeout + 0.5
        assert reader.fault.errno == errno.ETIMEDOUT
        stats = reader.stats()
        assert stats["latency_p99_us"] >= 55_000, stats
        reader.close()
    finally:
        late.close()


def test_close_is_quick_on_a_silent_handle(fake_handle):
    reader = tamro.HandleReader(fake_handle.path, fault_timeout=1.0)
    assert fake_handle.wait_for_requests(3)
    fake_handle.reply = lambda n: None
    assert fake_handle.wait_for_requests(fake_handle.status_requests + 1)
    began = time.monotonic()
    reader.close()
    assert time.monotonic() - began < 0.5


def test_a_vanished_handle_is_a_fault_never_a_line_on_standard_error(fake_handle, capfd):
    reader = tamro.HandleReader(fake_handle.path, fault_timeout=0.05)
    assert fake_handle.wait_for_requests(5)
    fake_handle.hang_up()
    assert wait_until(lambda: reader.fault is not None)
    reader.close()
    assert reader.fault.errno == errno.EIO, reader.fault
    assert capfd.readouterr().err == ""


def test_opening_errors_are_exceptions():
    with pytest.raises(FileNotFoundError) as missing:
        tamro.HandleReader("/dev/tamro-no-such-port")
    assert missing.value.filename == "/dev/tamro-no-such-port"
    mute = FakeHandle(answer_wake_up=False)
    try:
        with pytest.raises(TimeoutError, match="no handle answered the wake-up"):
            tamro.HandleReader(mute.path)
        for kwargs, error in [
            ({"rate_hz": 0.0}, ValueError),
            ({"fault_timeout": -1.0}, ValueError),
            ({"max_faults": 0}, ValueError),
            ({"max_faults": 1.5}, TypeError),
        ]:
            with pytest.raises(error):
                tamro.HandleReader(mute.path, **kwargs)
    finally:
        mute.close()


def test_interpreter_exit_with_a_running_reader_is_clean(fake_handle):
    script = textwrap.dedent(
        """
        import sys, tamro
        reader = tamro.HandleReader(sys.argv[1], rate_hz=None)
        while reader.latest().count < 50:
            pass
        """
    )
    result = subprocess.run([sys.executable, "-c", script, fake_handle.path], capture_output=True, timeout=30)
    assert result.returncode == 0, result.stderr
    # The reader's port is closed with the process: no request comes afterwards.
    requests = fake_handle.status_requests
    assert not fake_handle.wait_for(lambda: fake_handle.status_requests > requests, 0.2)


def test_the_simulator_echoes_user_data(simulator):
    with tamro.HandleReader(simulator.handles[0]) as reader:
        assert reader.info["device_model_number"] == 2
        reader.send_user_data(b"\x01\x02\x03")
        assert wait_until(lambda: reader.latest().user_data == b"\x01\x02\x03")
        reader.record(1000)
        before = reader.latest().count
        assert wait_until(lambda: reader.latest().count >= before + 20)
        quaternions = reader.drain()["quaternion"]
    norms = np.linalg.norm(quaternions, axis=1)
    np.testing.assert_allclose(norms, 1.0, rtol=1e-5)
