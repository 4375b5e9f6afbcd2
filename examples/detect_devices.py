#!/usr/bin/env python3
"""Detection: find attached arms and handles, or tell what answers on given ports.

    python examples/detect_devices.py            # search /dev
    python examples/detect_devices.py PORT...    # judge the named ports

Without ports it calls the module's detection functions, which list /dev for ttyACM*
(arms), ttyUSB* (wired handles) and rfcomm* (wireless handles) nodes and probe each one
with a wake-up request: about one second per port that does not answer, and no other
Python thread runs meanwhile. When nothing answers it says how to try the simulator instead.

With ports (any path, a pseudo-terminal of the simulator for instance) it judges each the
same way: an arm answers the wake-up with its device info (model number 4), a handle with
an information or status message.
"""

from __future__ import annotations

import argparse
import sys
import time

import TamroHardwareAPI as api


class AnswerHandle(api.Handle):
    """Notes whether the handle answered, as detection does."""

    def __init__(self, stream: api.SerialStream) -> None:
        super().__init__(stream)
        self.answered = False

    def OnReceiveHandleInfo(self, *values: int) -> None:
        self.answered = True

    def OnReceiveHandleStatusMessage(
        self,
        device_id: int,
        quaternion: list[float],
        error_flag: int,
        hall_effect_sensor_level: int,
        user_data_length: int,
        user_data: list[int],
    ) -> None:
        self.answered = True


def judge(port: str) -> str:
    # Each try gets a stream of its own: a read that timed out leaves its stream failed.
    info = api.Velkin3(api.SerialStream(port)).device_wakeup_dict()
    if info["device_model_number"] == 4:
        return f"arm {info['device_id']}, uuid {info['device_id_ext']}"
    handle = AnswerHandle(api.SerialStream(port))
    handle.SendDeviceWakeup()
    handle.Receive()
    return "handle" if handle.answered else "nothing recognised"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("ports", nargs="*", help="ports to judge instead of searching /dev")
    args = parser.parse_args(argv)

    if args.ports:
        found = 0
        for port in args.ports:
            started = time.monotonic()
            verdict = judge(port)
            found += verdict != "nothing recognised"
            print(f"{port}: {verdict} ({time.monotonic() - started:.2f} s)")
        return 0 if found else 1

    found = 0
    for name, detect in [
        ("arms", api.detect_velkin3s),
        ("wired handles", api.detect_wired_handles),
        ("wireless handles", api.detect_wireless_handles),
    ]:
        started = time.monotonic()
        ports = detect()
        found += len(ports)
        print(f"{name}: {', '.join(ports) or 'none'} ({time.monotonic() - started:.2f} s)")
    if not found:
        # Detection lists only /dev; the simulator's ports are elsewhere, so they are named.
        print(
            "No device found in /dev. To try this script on the simulator, run tamro-simulator\n"
            "(.venv/bin/tamro-simulator) in another terminal and pass the ports it prints:\n"
            f"python {sys.argv[0]} /dev/pts/3 /dev/pts/4"
        )
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
