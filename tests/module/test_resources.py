"""Resource hygiene: creating and dropping 10,000 streams with their devices, on pseudo-terminals
and on paths that do not exist, leaves the process's open descriptors and resident memory
where they were. A leak check with generous bounds, not a speed test.

Under AddressSanitizer (tools/sanitize.sh --python) resident memory measures the allocator's
quarantine of freed memory, not leaks: there LeakSanitizer judges instead, and its reports go to
the sanitizer log that the script collects.

Run with -s to see the figures."""

from __future__ import annotations

import ctypes
import gc
import os

import pytest
from fakedevice import FakeDevice, floats

import TamroHardwareAPI as T

ROUNDS = 10_000
STATE = bytes([43]) + floats(0.5, 0.25, 0.125, -1.0, -2.0, -4.0)
STATE_VALUES = ([0.5, 0.25, 0.125], [-1.0, -2.0, -4.0])
MISSING = "/nonexistent-tamro-dir/ttyACM"
# One leaked pair of device buffers per round would be 20 MB; a leaked stream about 4 MB.
RESIDENT_SLACK_KIB = 3 * 1024


def open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


def resident_kib() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS in /proc/self/status")


def leak_sanitizer_check():
    """LeakSanitizer's check, when this process runs under it, else None."""
    check = getattr(ctypes.CDLL(None), "__lsan_do_recoverable_leak_check", None)
    if check is None:
        return None
    # Off (detect_leaks=0), the check finds nothing; with Python's own allocator, whose arenas
    # LeakSanitizer does not scan, it finds leaks that are none.
    if (
        "detect_leaks=1" not in os.environ.get("ASAN_OPTIONS", "")
        or os.environ.get("PYTHONMALLOC") != "malloc"
    ):
        pytest.fail("under the sanitizers run with ASAN_OPTIONS=detect_leaks=1 and PYTHONMALLOC=malloc")
    return check


class Listener(T.Handle):
    """A Python subclass, so the forwarding object is created and dropped as well."""

    def OnReceiveHandleStatusMessage(self, *args):
        pass


def churn(rounds: int) -> int:
    """Streams and devices made and dropped; returns how many missing-path streams were made."""
    device = None
    try:
        for i in range(rounds):
            if i % 500 == 0:  # fresh pseudo-terminals now and then, too
                if device:
                    device.close()
                device = FakeDevice()
            stream = T.SerialStream(device.path)
            arm, handle, listener = T.Velkin3(stream), T.Handle(stream), Listener(stream)
            device.feed(STATE)
            assert arm.end_effector_force([1.0, 2.0, 3.0]) == STATE_VALUES
            assert len(device.take(13)) == 13
            del stream, arm, handle, listener

            missing = T.SerialStream(f"{MISSING}{i % 10}")
            arm, handle = T.Velkin3(missing), T.Handle(missing)
            del missing, arm, handle
    finally:
        if device:
            device.close()
    return rounds


def test_ten_thousand_streams_and_devices_leave_descriptors_and_memory_flat(capfd):
    churn(500)  # warm up: allocator pools, pybind11's type caches, the capture file
    gc.collect()
    capfd.readouterr()
    descriptors, resident = open_descriptors(), resident_kib()

    made = churn(ROUNDS)
    gc.collect()
    descriptors_after, resident_after = open_descriptors(), resident_kib()

    # Every missing-path stream said so, in its two lines, and nothing else was printed.
    err = capfd.readouterr().err.splitlines()
    assert len(err) == 2 * made
    assert (
        sum(line.startswith("[err] Library/src/SerialStream:39> unable to open port") for line in err) == made
    )
    assert (
        sum(line.startswith("[err] Library/src/SerialStream:18> unable to open stream") for line in err)
        == made
    )

    with capfd.disabled():
        print(
            f"\n  {ROUNDS} rounds (a pty stream with an arm, a handle and a Python handle; "
            f"a missing-path stream with an arm and a handle): descriptors {descriptors} -> "
            f"{descriptors_after}, resident {resident} KiB -> {resident_after} KiB "
            f"({resident_after - resident:+d} KiB)"
        )
    assert descriptors_after <= descriptors
    leak_check = leak_sanitizer_check()
    if leak_check is None:
        assert resident_after - resident < RESIDENT_SLACK_KIB
    else:
        assert leak_check() == 0, "LeakSanitizer found leaks: see its report"
