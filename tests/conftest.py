"""Shared fixtures. What the library writes to descriptors 1 and 2 (C stdio and std::cout,
not sys.stdout) is captured with pytest's ``capfd`` fixture."""

import signal
import sys
from pathlib import Path

# Started in the background by a non-interactive shell, we inherit SIGINT ignored, and so would
# every program the tests start: they would shrug off the Ctrl-C the tests send them. A handled
# signal is reset to its default in a new program.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

# The fake devices and helpers every test folder shares live in tests/fakes.
sys.path.insert(0, str(Path(__file__).resolve().parent / "fakes"))

import pytest  # noqa: E402
from fakedevice import FakeArm, FakeDevice, FakeHandle  # noqa: E402


@pytest.fixture
def fake_device():
    device = FakeDevice()
    try:
        yield device
    finally:
        device.close()


@pytest.fixture
def fake_arm():
    """A fake arm that answers wake-ups and force requests by itself (tests/fakes/fakedevice.py)."""
    arm = FakeArm()
    try:
        yield arm
    finally:
        arm.close()


@pytest.fixture
def fake_handle():
    """A fake handle that answers wake-ups and status requests by itself (tests/fakes/fakedevice.py)."""
    handle = FakeHandle()
    try:
        yield handle
    finally:
        handle.close()


@pytest.fixture
def simulator():
    """A running tamro-simulator with one arm and one handle: ``simulator.arms[0]``,
    ``simulator.handles[0]`` (``tamro.Simulator``)."""
    from tamro import Simulator

    with Simulator() as running:
        yield running


@pytest.fixture
def veth_link():
    """Two network namespaces joined by a veth pair (tests/fakes/netns.py), removed after the
    test; skipped with the reason where they cannot be made (not root, no iproute2, no
    namespaces in this kernel or container)."""
    import os
    import shutil
    import subprocess

    from netns import Link

    if os.geteuid() != 0:
        pytest.skip("network namespaces need root")
    if shutil.which("ip") is None:
        pytest.skip("no ip command (iproute2)")
    try:
        made = Link()
    except (subprocess.CalledProcessError, OSError) as error:
        stderr = getattr(error, "stderr", "") or ""
        pytest.skip(f"network namespaces cannot be made here: {error} {stderr.strip()}")
    try:
        yield made
    finally:
        made.remove()
