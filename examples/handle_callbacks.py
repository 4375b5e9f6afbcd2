#!/usr/bin/env python3
"""Handle callbacks: receive a handle's messages in the methods of a Handle subclass.

    python examples/handle_callbacks.py PORT [--count 10] [--device-id 1] [--user-byte 7]

Wakes the handle on PORT, sends it one state message with a byte of user data, then
requests its status ``--count`` times. Every ``Receive`` reads one message and calls the
matching method below before it returns; the methods print what they get.

Exit status 1 when the handle does not answer.
"""

from __future__ import annotations

import argparse
import sys

import TamroHardwareAPI as api


class PrintingHandle(api.Handle):
    """Overrides the three callbacks. OnReceiveHandleStatusMessage must be overridden by
    every subclass: a status message reaching a subclass without it raises RuntimeError."""

    def __init__(self, stream: api.SerialStream) -> None:
        super().__init__(stream)  # a subclass __init__ must call the base one
        self.status_messages = 0

    def OnReceiveHandleInfo(
        self,
        tool_data_remaining: int,
        device_id: int,
        device_model_number: int,
        hardware_version: int,
        firmware_version: int,
    ) -> None:
        print(
            f"info: handle {device_id}, model {device_model_number}, hardware {hardware_version}, "
            f"firmware {firmware_version}, tool data remaining {tool_data_remaining}"
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
        self.status_messages += 1
        q = " ".join(f"{c:+.4f}" for c in quaternion)
        print(
            f"status: handle {device_id}, quaternion {q}, hall level {hall_effect_sensor_level}, "
            f"error flag {error_flag}, user data {bytes(user_data[:user_data_length]).hex() or '-'}"
        )

    def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int) -> None:
        print(f"error response: handle {device_id}, code {error_code}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument(
        "port", help="serial port of the handle: /dev/ttyUSB0, say, or the handle port tamro-simulator prints"
    )
    parser.add_argument("--count", type=int, default=10, help="status requests to send")
    parser.add_argument("--device-id", type=int, default=1, help="device id for the state message")
    parser.add_argument("--user-byte", type=int, default=7, help="the byte of user data to send")
    args = parser.parse_args(argv)

    stream = api.SerialStream(args.port)
    handle = PrintingHandle(stream)

    # The handle answers the wake-up with a message of its own; Receive hands it to a callback.
    handle.SendDeviceWakeup()
    if handle.Receive() < 0:
        print(f"{args.port}: no handle answered the wake-up", file=sys.stderr)
        return 1

    # One byte of user data at most from Python (data_length 0 or 1).
    handle.SendHandleState(args.device_id, 1, args.user_byte)

    for _ in range(args.count):
        handle.RequestStatus()
        # Receive returns the payload bytes read (21 + n for a status message), or -1 when
        # nothing arrived within one second. The stream then stays failed: stop.
        if handle.Receive() < 0:
            print(f"{args.port}: the handle stopped answering", file=sys.stderr)
            return 1
    print(f"{handle.status_messages} status messages")
    return 0


if __name__ == "__main__":
    sys.exit(main())
