"""Shared fixtures. What the library writes to descriptors 1 and 2 (C stdio and std::cout,
not sys.stdout) is captured with pytest's ``capfd`` fixture."""
import pytest

from fakedevice import FakeDevice


@pytest.fixture
def fake_device():
    device = FakeDevice()
    try:
        yield device
    finally:
        device.close()
