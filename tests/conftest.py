"""Shared fixtures. What the library writes to descriptors 1 and 2 (C stdio and std::cout,
not sys.stdout) is captured with pytest's ``capfd`` fixture."""

import pytest
from fakedevice import FakeArm, FakeDevice, FakeHandle


@pytest.fixture
def fake_device():
    device = FakeDevice()
    try:
        yield device
    finally:
        device.close()


@pytest.fixture
def fake_arm():
    """A fake arm that answers wake-ups and force requests by itself (tests/fakedevice.py)."""
    arm = FakeArm()
    try:
        yield arm
    finally:
        arm.close()


@pytest.fixture
def fake_handle():
    """A fake handle that answers wake-ups and status requests by itself (tests/fakedevice.py)."""
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
