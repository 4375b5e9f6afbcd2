"""Unplugged and misbehaving devices, through the module: a device that goes away before,
during or after a request or in the middle of a payload, one that answers too late, one that
floods the port, one that answers with another device's reply. Every call must come back
within its bound (one second per read), print the report lines the library defines, return
zeros or the caller's values, and leave the process able to use a fresh port.

Run with -s to see the measured return times."""

from __future__ import annotations

import os
import random
import select
import struct
import threading
import time

import pytest
from fakedevice import FakeDevice, floats, wait_until
from recorder import Recorder

import TamroHardwareAPI as T

ZEROS = ([0.0, 0.0, 0.0], [0.0, 0.0, 0.0])
STATE = bytes([43]) + floats(0.5, 0.25, 0.125, -1.0, -2.0, -4.0)
STATE_VALUES = ([0.5, 0.25, 0.125], [-1.0, -2.0, -4.0])
DEVICE_INFO = bytes([11, 0x34, 0x12, 4, 2, 7]) + bytes(range(16))
HANDLE_STATUS = bytes([218]) + struct.pack("<HBB4fB", 0x1234, 0, 9, 1.0, 0.0, 0.0, 0.0, 0)

# Bounds: a read waits at most one second; "at once" means no read waited.
AT_ONCE = 0.5
ONE_READ = (0.9, 3.0)


def report(line: int, message: str, error: int | None = None) -> str:
    text = f"[err] Library/src/Device:{line}> {message}"
    return text if error is None else f"{text}: [{error}] {os.strerror(error)}"


def timed(call, *args):
    start = time.monotonic()
    result = call(*args)
    elapsed = time.monotonic() - start
    return result, elapsed


def show(case: str, *seconds: float) -> None:
    print(f"\n  {case}: " + ", ".join(f"{s * 1000:.1f} ms" for s in seconds), end="")


class Script:
    """Plays the device on a thread; ``join`` re-raises what went wrong there."""

    def __init__(self, play) -> None:
        self.error: BaseException | None = None

        def run() -> None:
            try:
                play()
            except BaseException as error:  # noqa: BLE001 - handed to the test thread
                self.error = error

        self.thread = threading.Thread(target=run, daemon=True)
        self.thread.start()

    def join(self) -> None:
        self.thread.join(10)
        assert not self.thread.is_alive(), "device script still running"
        if self.error:
            raise self.error


def assert_fresh_port_works() -> None:
    """The process is still healthy: a new stream on a new port exchanges normally."""
    device = FakeDevice()
    try:
        stream = T.SerialStream(device.path)
        arm = T.Velkin3(stream)
        request = device.answer_after(13, STATE)
        result, _ = timed(arm.end_effector_force, [1.0, 2.0, 3.0])
        assert request.result(5)[0] == 42
        assert result == STATE_VALUES
        del arm, stream
    finally:
        device.close()


# --- the device goes away -------------------------------------------------------------------


def test_unplugged_before_the_request_fails_at_once_with_reports(fake_device, capfd):
    arm = T.Velkin3(stream := T.SerialStream(fake_device.path))
    fake_device.hang_up()
    result, first = timed(arm.end_effector_force, [1.0, 2.0, 3.0])
    assert result == ZEROS
    # The refused write, then the two reads that a refused stream fails at once.
    assert capfd.readouterr().err.splitlines() == [
        report(39, "unable to write '13' bytes to stream", 5),
        report(49, "unable to read header code from stream", 5),
        report(60, "unable to read '1024' bytes from stream", 5),
    ]
    # Every later call fails the same way, at once, and says so each time.
    result, second = timed(arm.device_wakeup)
    assert result == (0, 0, 0, 0, [0] * 16)
    lines = capfd.readouterr().err.splitlines()
    assert [line.split(":")[1].split(">")[0] for line in lines] == ["39", "49", "60"]
    assert lines[0].startswith(report(39, "unable to write '1' bytes to stream"))
    assert first < AT_ONCE and second < AT_ONCE
    show("arm, unplugged before the request (two calls)", first, second)
    del arm, stream
    assert_fresh_port_works()


@pytest.mark.parametrize("taken", [5, 13], ids=["in the middle of the request", "between request and reply"])
def test_unplugged_during_an_exchange_ends_at_the_time_out_quietly(fake_device, capfd, taken):
    arm = T.Velkin3(stream := T.SerialStream(fake_device.path))

    def device():
        assert len(fake_device.take(taken)) == taken
        fake_device.hang_up()

    script = Script(device)
    result, first = timed(arm.end_effector_force, [1.0, 2.0, 3.0])
    script.join()
    assert result == ZEROS
    assert ONE_READ[0] <= first < ONE_READ[1]
    # The stream is now failed: the next call neither waits nor prints.
    result, second = timed(arm.joint_angles, [0.1, 0.2, 0.3])
    assert result == ZEROS and second < AT_ONCE
    assert capfd.readouterr().err == ""
    show(
        f"arm, unplugged {'mid-request' if taken < 13 else 'between request and reply'} (call, next call)",
        first,
        second,
    )
    del arm, stream
    assert_fresh_port_works()


def test_arm_unplugged_in_the_middle_of_a_payload(fake_device, capfd):
    arm = T.Velkin3(stream := T.SerialStream(fake_device.path))

    # The header and 10 of 24 payload bytes wait on the line before the call, so "all read"
    # can only mean the host read them (the pty hands bytes over asynchronously).
    fake_device.feed(STATE[:11])
    assert wait_until(lambda: fake_device.pending_input() == 11)

    def device():
        assert len(fake_device.take(13)) == 13
        assert wait_until(lambda: fake_device.pending_input() == 0)
        fake_device.hang_up()

    script = Script(device)
    result, seconds = timed(arm.end_effector_force, [1.0, 2.0, 3.0])
    script.join()
    assert result == ZEROS
    assert ONE_READ[0] <= seconds < ONE_READ[1]
    assert capfd.readouterr().err == ""
    show("arm, unplugged in the middle of a payload", seconds)
    del arm, stream
    assert_fresh_port_works()


def test_handle_unplugged_in_the_middle_of_user_data(fake_device, capfd):
    handle = Recorder(stream := T.SerialStream(fake_device.path))
    fixed = bytes([218]) + struct.pack("<HBB4fB", 0x1234, 1, 200, 1.0, -0.5, 0.25, 2.0, 10)

    # 4 of the 10 user-data bytes; on the line before the call, as for the arm above.
    fake_device.feed(fixed + bytes([1, 2, 3, 4]))
    assert wait_until(lambda: fake_device.pending_input() == len(fixed) + 4)

    def device():
        assert wait_until(lambda: fake_device.pending_input() == 0)
        fake_device.hang_up()

    script = Script(device)
    result, seconds = timed(handle.Receive)
    script.join()
    # The fixed part counts, the cut user data counts nothing; the hook still runs, with the
    # bytes that came followed by what the buffer held from the fixed part.
    assert result == 21
    assert ONE_READ[0] <= seconds < ONE_READ[1]
    [(kind, args)] = handle.calls
    assert kind == "status"
    assert args[:5] == (0x1234, [1.0, -0.5, 0.25, 2.0], 1, 200, 10)
    assert args[5] == [1, 2, 3, 4] + list(fixed[1 + 4 : 1 + 10])
    # Failed stream: the next Receive returns at once, nothing dispatched, nothing printed.
    result, second = timed(handle.Receive)
    assert result == -1 and second < AT_ONCE and len(handle.calls) == 1
    assert capfd.readouterr().err == ""
    show("handle, unplugged in the middle of user data (call, next call)", seconds, second)
    del handle, stream
    assert_fresh_port_works()


def test_handle_unplugged_fails_requests_with_reports_and_receive_at_once(fake_device, capfd):
    handle = Recorder(stream := T.SerialStream(fake_device.path))
    fake_device.hang_up()
    _, send = timed(handle.SendHandleState, 0x1234, 1, 0xAA)
    result, receive = timed(handle.Receive)
    assert result == -1 and handle.calls == []
    assert capfd.readouterr().err.splitlines() == [
        report(39, "unable to write '5' bytes to stream", 5),
        report(49, "unable to read header code from stream", 5),
    ]
    assert send < AT_ONCE and receive < AT_ONCE
    show("handle, unplugged (send, receive)", send, receive)
    del handle, stream
    assert_fresh_port_works()


# --- the device misbehaves ------------------------------------------------------------------


def test_reply_after_the_time_out_is_not_taken(fake_device, capfd):
    arm = T.Velkin3(stream := T.SerialStream(fake_device.path))
    late = fake_device.answer_after(13, STATE, delay=1.2)
    result, first = timed(arm.end_effector_force, [1.0, 2.0, 3.0])
    assert result == ZEROS
    assert ONE_READ[0] <= first < ONE_READ[1]
    assert late.result(5)[0] == 42
    # The late reply is on the line now, but the timed-out stream takes nothing more and
    # sends nothing more.
    result, second = timed(arm.end_effector_force, [4.0, 5.0, 6.0])
    assert result == ZEROS and second < AT_ONCE
    assert fake_device.silent(0.1)
    assert capfd.readouterr().err == ""
    show("arm, reply after 1.2 s (call, next call)", first, second)
    del arm, stream
    assert_fresh_port_works()


def test_late_handle_reply_is_not_taken(fake_device, capfd):
    handle = Recorder(stream := T.SerialStream(fake_device.path))
    late = fake_device.answer_after(1, HANDLE_STATUS, delay=1.2)
    handle.RequestStatus()
    result, seconds = timed(handle.Receive)
    assert result == -1 and handle.calls == []
    assert late.result(5) == bytes([218])
    assert ONE_READ[0] <= seconds < ONE_READ[1]
    assert capfd.readouterr().err == ""
    show("handle, reply after 1.2 s", seconds)
    del handle, stream
    assert_fresh_port_works()


class Flood:
    """Sends bytes nonstop until stopped, and drains what the host writes."""

    def __init__(self, device: FakeDevice, junk: bytes) -> None:
        self.device = device
        self.junk = junk
        self.stop = threading.Event()
        self.script = Script(self.run)

    def run(self) -> None:
        master = self.device.master
        os.set_blocking(master, False)
        offset = 0
        while not self.stop.is_set():
            readable, writable, _ = select.select([master], [master], [], 0.05)
            if readable:
                os.read(master, 4096)
            if writable:
                chunk = self.junk[offset : offset + 1024] or self.junk[:1024]
                try:
                    offset = (offset + os.write(master, chunk)) % len(self.junk)
                except BlockingIOError:
                    pass

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        self.stop.set()
        self.script.join()


def test_arm_on_a_flooded_port_returns_zeros_without_waiting(fake_device, capfd):
    arm = T.Velkin3(stream := T.SerialStream(fake_device.path))
    junk = bytes(b for b in random.Random(1).randbytes(1 << 16) if b not in (11, 27, 43, 171))
    times = []
    with Flood(fake_device, junk):
        for _ in range(20):
            result, seconds = timed(arm.end_effector_force, [1.0, 2.0, 3.0])
            assert result == ZEROS  # never a reply code: each discard takes 1024 flood bytes
            times.append(seconds)
        info, seconds = timed(arm.device_wakeup)
        assert info == (0, 0, 0, 0, [0] * 16)
        times.append(seconds)
        current, seconds = timed(arm.ReceiveCurrent, [7.0, 8.0, 9.0, 10.0])
        assert current == [7.0, 8.0, 9.0, 10.0]
        times.append(seconds)
    assert max(times) < ONE_READ[1]
    assert capfd.readouterr().err == ""
    show("arm on a flooded port, 22 calls (max, mean)", max(times), sum(times) / len(times))
    del arm, stream
    assert_fresh_port_works()


def test_handle_on_a_flooded_port_dispatches_whatever_parses(fake_device, capfd):
    handle = Recorder(stream := T.SerialStream(fake_device.path))
    rng = random.Random(2)
    # Random bytes with plenty of handle codes among them, so all three hooks get work.
    junk = bytes(
        rng.choice((208, 218, 223)) if rng.random() < 0.05 else rng.randrange(256) for _ in range(1 << 16)
    )
    times, results = [], []
    with Flood(fake_device, junk):
        for _ in range(300):
            result, seconds = timed(handle.Receive)
            results.append(result)
            times.append(seconds)
    # The flood never stops, so every message is complete.
    statuses = [args for kind, args in handle.calls if kind == "status"]
    assert set(results) <= {-1, 3, 6} | set(range(21, 21 + 256))
    assert len(handle.calls) == sum(1 for r in results if r != -1)
    assert all(len(args[5]) == args[4] and all(0 <= b <= 255 for b in args[5]) for args in statuses)
    assert {kind for kind, _ in handle.calls} == {"info", "status", "error"}
    assert max(times) < ONE_READ[1]
    assert capfd.readouterr().err == ""
    show("handle on a flooded port, 300 receives (max, mean)", max(times), sum(times) / len(times))
    del handle, stream
    assert_fresh_port_works()


def test_arm_answered_with_a_handle_reply_discards_it(fake_device, capfd):
    arm = T.Velkin3(stream := T.SerialStream(fake_device.path))
    fake_device.answer_after(13, HANDLE_STATUS)
    result, first = timed(arm.end_effector_force, [1.0, 2.0, 3.0])
    assert result == ZEROS
    # The discard read waits for 1024 bytes that never come: one time-out.
    assert ONE_READ[0] <= first < ONE_READ[1]
    result, second = timed(arm.device_wakeup)
    assert result == (0, 0, 0, 0, [0] * 16) and second < AT_ONCE
    assert capfd.readouterr().err == ""
    show("arm answered by a handle (call, next call)", first, second)
    del arm, stream
    assert_fresh_port_works()


def test_handle_answered_with_an_arm_reply_reads_it_as_unknown_codes(fake_device, capfd):
    handle = Recorder(stream := T.SerialStream(fake_device.path))
    assert not set(DEVICE_INFO) & {208, 218, 223}
    wake = fake_device.answer_after(1, DEVICE_INFO)
    handle.SendDeviceWakeup()
    assert wake.result(5) == bytes([10])
    assert wait_until(lambda: fake_device.pending_input() == len(DEVICE_INFO))
    # Nothing is discarded: each byte of the arm's reply is taken as a header code of its own.
    results, quick = timed(lambda h: [h.Receive() for _ in DEVICE_INFO], handle)
    assert results == [-1] * len(DEVICE_INFO) and quick < AT_ONCE
    result, waited = timed(handle.Receive)
    assert result == -1 and ONE_READ[0] <= waited < ONE_READ[1]
    assert handle.calls == []
    assert capfd.readouterr().err == ""
    show(f"handle answered by an arm ({len(DEVICE_INFO)} receives, then silence)", quick, waited)
    del handle, stream
    assert_fresh_port_works()
