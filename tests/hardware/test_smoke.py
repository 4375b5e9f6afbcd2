"""Smoke test of a device, a cable or a port: wake-up, a few exchanges, a handle status round
trip. Against a real device when its port is named, against the simulator otherwise:

    TAMRO_ARM_PORT=/dev/ttyACM0 TAMRO_HANDLE_PORT=/dev/ttyUSB0 .venv/bin/python -m pytest tests/hardware -v

Every command asks the arm to stay where it is (no force, no torque, its own position).
The library never raises for a failed exchange, so each check looks for the signs instead:
a reply that took the one-second read time-out, receive methods handing back the values
they were given, and a wake-up that no longer answers afterwards.
"""

from __future__ import annotations

import math
import time
from collections.abc import Callable
from typing import TypeVar

import pytest

import TamroHardwareAPI as api

T = TypeVar("T")
# A reply comes well within this or not at all: a missing one takes the one-second time-out.
ANSWERED_WITHIN = 0.5
SENTINEL = [-12345.0, -12345.0, -12345.0]


def timed(call: Callable[[], T]) -> T:
    started = time.monotonic()
    result = call()
    elapsed = time.monotonic() - started
    assert elapsed < ANSWERED_WITHIN, f"no reply within {ANSWERED_WITHIN} s (took {elapsed:.2f} s)"
    return result


def finite(values: list[float]) -> bool:
    return len(values) == 3 and all(math.isfinite(v) for v in values)


@pytest.fixture
def arm(arm_port: str) -> api.Velkin3:
    return api.Velkin3(api.SerialStream(arm_port))


def test_arm_wakes_up(arm: api.Velkin3) -> None:
    device_id, model, hardware, firmware, uuid_bytes = timed(arm.device_wakeup)
    assert model == 4, "not a Velkin3 (model number 4), or no answer"
    assert any(uuid_bytes), "all-zero identifier: no complete device-info reply"
    again = timed(arm.device_wakeup_dict)
    assert (
        again["device_id"],
        again["device_model_number"],
        again["hardware_version"],
        again["firmware_version"],
    ) == (device_id, model, hardware, firmware)
    assert again["device_id_ext"].bytes == bytes(uuid_bytes)


def test_arm_exchanges(arm: api.Velkin3) -> None:
    identity = timed(arm.device_wakeup)
    for _ in range(50):
        position, velocity = timed(arm.end_effector_force)
        assert finite(position) and finite(velocity)
    position, velocity = timed(lambda: arm.end_effector_position(position))
    assert finite(position) and finite(velocity)
    joints, joint_velocity = timed(arm.joint_torques)
    assert finite(joints) and finite(joint_velocity)
    joints, joint_velocity = timed(lambda: arm.joint_angles(joints))
    assert finite(joints) and finite(joint_velocity)

    arm.RequestCurrent()
    current = timed(lambda: arm.ReceiveCurrent(SENTINEL))
    assert current != SENTINEL and finite(current), "no current reply"

    # A time-out, a wrong reply or a short one would have left the stream failed for good.
    assert timed(arm.device_wakeup) == identity


@pytest.fixture
def handle(handle_port: str) -> RecordingHandle:
    return RecordingHandle(api.SerialStream(handle_port))


class RecordingHandle(api.Handle):
    def __init__(self, stream: api.SerialStream) -> None:
        super().__init__(stream)
        self.infos: list[tuple[int, ...]] = []
        self.statuses: list[tuple[int, list[float], int, int, int, list[int]]] = []
        self.errors: list[tuple[int, int]] = []

    def OnReceiveHandleInfo(
        self,
        tool_data_remaining: int,
        device_id: int,
        device_model_number: int,
        hardware_version: int,
        firmware_version: int,
    ) -> None:
        self.infos.append(
            (tool_data_remaining, device_id, device_model_number, hardware_version, firmware_version)
        )

    def OnReceiveHandleStatusMessage(
        self,
        device_id: int,
        quaternion: list[float],
        error_flag: int,
        hall_effect_sensor_level: int,
        user_data_length: int,
        user_data: list[int],
    ) -> None:
        self.statuses.append(
            (device_id, quaternion, error_flag, hall_effect_sensor_level, user_data_length, user_data)
        )

    def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int) -> None:
        self.errors.append((device_id, error_code))

    def receive_status(self) -> tuple[int, list[float], int, int, int, list[int]]:
        """Receives until a status message came (at most three messages); checks its length."""
        for _ in range(3):
            before = len(self.statuses)
            count = timed(self.Receive)
            assert count >= 0, "nothing, or an unknown message code, arrived"
            if len(self.statuses) > before:
                status = self.statuses[-1]
                assert count == 21 + status[4], f"status message cut short ({count} bytes)"
                return status
        raise AssertionError(f"no status message; info {self.infos}, errors {self.errors}")


def test_handle_wakes_up(handle: RecordingHandle) -> None:
    handle.SendDeviceWakeup()
    count = timed(handle.Receive)
    assert handle.infos or handle.statuses, f"no information or status message (Receive gave {count})"
    assert count == (6 if handle.infos else 21 + handle.statuses[0][4]), "message cut short"


def test_handle_status_round_trip(handle: RecordingHandle) -> None:
    for _ in range(10):
        handle.RequestStatus()
        _, quaternion, _, level, length, user_data = handle.receive_status()
        assert len(quaternion) == 4 and all(math.isfinite(q) for q in quaternion)
        assert 0 <= level <= 255 and len(user_data) == length

    # A state message with one byte of user data, then the status again.
    handle.SendHandleState(handle.statuses[-1][0], 1, 0x5A)
    handle.RequestStatus()
    handle.receive_status()
