#!/usr/bin/env python3
"""Reconnect: an arm loop that carries on when the arm is unplugged and plugged in again.

    python examples/reconnect.py PORT [--seconds 0] [--stiffness 40] [--damping 2]

PORT must be a path that stays the same while the device comes and goes: a udev link such
as /dev/tamro-arm (see the README on serial port permissions) or, with the simulator, one of
the links that ``tamro-simulator --link-dir DIR`` makes (DIR/ttyACM0). A /dev/pts path is new
each time the simulator starts, so it would not come back.

The loop holds the end effector on a spring at a point 1 cm along x from where it first
finds it, and prints one line a second. A stream never recovers once a read has timed out or
its port has gone, so when the arm stops answering the example drops the stream, waits for
PORT to exist again, opens a new SerialStream on it, wakes the arm and pulls it back to the
same point. It stops after --seconds (0: never) or at Ctrl-C, and lets go of the arm (a zero
force) before it ends. Units: N, m, m/s (docs/conventions.md).
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import TamroHardwareAPI as api

RETRY = 0.2  # s between looks at a port that is not back yet


def identity(arm: api.Velkin3) -> str | None:
    """Who answers the wake-up, or None when no arm does (a failed wake-up returns zeros)."""
    info = arm.device_wakeup_dict()
    if info["device_model_number"] == 0 and info["device_id_ext"].int == 0:
        return None
    return f"arm {info['device_id']}, uuid {info['device_id_ext']}"


def connect(port: str, until: float) -> tuple[api.Velkin3, str] | None:
    """Waits until an arm answers on PORT; None when ``until`` (a monotonic time) comes first."""
    while time.monotonic() < until:
        # A path that is not there would only print the library's open errors on every try.
        if os.path.exists(port):
            arm = api.Velkin3(api.SerialStream(port))  # the arm keeps its stream
            who = identity(arm)
            if who:
                return arm, who
        time.sleep(RETRY)
    return None


def hold(arm: api.Velkin3, target: list[float], args: argparse.Namespace, until: float) -> bool:
    """Runs the spring until ``until``; False as soon as the arm stops answering."""
    position, velocity = arm.end_effector_force([0.0, 0.0, 0.0])
    exchanges = 0
    next_line = time.monotonic() + 1.0
    while (now := time.monotonic()) < until:
        # Every value exactly zero is what a failed exchange returns, but also an arm at rest
        # at the origin: only a wake-up on the same stream tells them apart.
        if not any(position) and not any(velocity) and identity(arm) is None:
            return False
        force = [
            args.stiffness * (t - p) - args.damping * v
            for t, p, v in zip(target, position, velocity, strict=True)
        ]
        position, velocity = arm.end_effector_force(force)
        exchanges += 1
        if now >= next_line:
            at = ", ".join(f"{p:+.4f}" for p in position)
            print(f"{exchanges} exchanges in the last second, end effector at ({at}) m", flush=True)
            exchanges = 0
            next_line += 1.0
    return True


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument(
        "port", help="a stable path of the arm: a udev link, or DIR/ttyACM0 of tamro-simulator"
    )
    parser.add_argument(
        "--seconds", type=float, default=0.0, help="how long to run (default 0: until Ctrl-C)"
    )
    parser.add_argument("--stiffness", type=float, default=40.0, help="N/m")
    parser.add_argument("--damping", type=float, default=2.0, help="N s/m")
    args = parser.parse_args(argv)
    until = time.monotonic() + args.seconds if args.seconds > 0 else float("inf")

    target: list[float] | None = None
    connections = 0
    arm: api.Velkin3 | None = None
    if not os.path.exists(args.port):
        print(f"{args.port} does not exist yet: waiting for it", flush=True)
    try:
        while True:
            if connections:
                print(f"{args.port}: the arm stopped answering; waiting for it to come back", flush=True)
            connected = connect(args.port, until)
            if connected is None:
                break
            arm, who = connected
            connections += 1
            print(f"{'reconnected' if connections > 1 else 'connected'} to {who} on {args.port}", flush=True)
            if target is None:
                start, _ = arm.end_effector_force([0.0, 0.0, 0.0])
                target = [start[0] + 0.01, start[1], start[2]]
            if hold(arm, target, args, until):
                break
            arm = None  # drops the failed stream and closes its port
    except KeyboardInterrupt:
        pass
    finally:
        if arm is not None:
            arm.end_effector_force([0.0, 0.0, 0.0])  # let go: the arm keeps the last force it was given
    if not connections:
        print(f"{args.port}: no arm answered", file=sys.stderr)
        return 1
    print(f"{connections} connection(s) to {args.port}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
