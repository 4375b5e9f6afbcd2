"""Ports for the smoke suite: a real device where an environment variable names its port,
the simulator otherwise.

    TAMRO_ARM_PORT=/dev/ttyACM0      a Velkin3 arm
    TAMRO_HANDLE_PORT=/dev/ttyUSB0   a handle (wired, or an rfcomm node)
"""

from __future__ import annotations

import os
from collections.abc import Iterator

import pytest

from tamro.simulator import Simulator, find_simulator


@pytest.fixture(scope="module")
def simulated() -> Iterator[Simulator | None]:
    # Started only when some device is not named, and only once per module.
    if os.environ.get("TAMRO_ARM_PORT") and os.environ.get("TAMRO_HANDLE_PORT"):
        yield None
        return
    try:
        find_simulator()
    except FileNotFoundError as error:
        pytest.skip(f"no port named in TAMRO_ARM_PORT / TAMRO_HANDLE_PORT and {error}")
    with Simulator(arms=1, handles=1) as running:
        yield running


@pytest.fixture(scope="module")
def arm_port(simulated: Simulator | None) -> str:
    return os.environ.get("TAMRO_ARM_PORT") or _first(simulated, "arms")


@pytest.fixture(scope="module")
def handle_port(simulated: Simulator | None) -> str:
    return os.environ.get("TAMRO_HANDLE_PORT") or _first(simulated, "handles")


def _first(simulated: Simulator | None, kind: str) -> str:
    assert simulated is not None
    return getattr(simulated, kind)[0]
