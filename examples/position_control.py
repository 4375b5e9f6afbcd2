#!/usr/bin/env python3
"""Position control: move the end effector around a small circle, then hold the joints.

    python examples/position_control.py PORT [--points 8] [--radius 0.02] [--dwell 0.3]

Wakes the arm on PORT and reads where the end effector is with a zero-force exchange, which
moves nothing. Then it commands ``--points`` positions on a circle of ``--radius`` around
that place with ``end_effector_position``, each for ``--dwell`` seconds of back-to-back
exchanges (each exchange also returns the state), and prints the reported position beside
the commanded one. Finally it holds the current joint angles with ``joint_angles``. Units
are the arm's own.

Exit status 1 when the arm does not answer.
"""

from __future__ import annotations

import argparse
import math
import sys
import time

import TamroHardwareAPI as api

Exchange = tuple[list[float], list[float]]


def row(values: list[float]) -> str:
    return " ".join(f"{v:+.4f}" for v in values)


def hold(arm: api.Velkin3, command: list[float], seconds: float) -> Exchange | None:
    """Commands one position for a while; the last state, or None when the arm is lost.

    A failed exchange returns zeros in all six values; an arm at rest at the origin does
    too, so only zeros that last the whole dwell (or a one-second read time-out) count."""
    started = time.monotonic()
    nonzero_seen = False
    while True:
        position, velocity = arm.end_effector_position(command)
        nonzero_seen = nonzero_seen or any(position) or any(velocity)
        if time.monotonic() - started >= seconds:
            return (position, velocity) if nonzero_seen else None


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument(
        "port", help="serial port of the arm: /dev/ttyACM0, say, or the arm port tamro-simulator prints"
    )
    parser.add_argument("--points", type=int, default=8)
    parser.add_argument("--radius", type=float, default=0.02)
    parser.add_argument("--dwell", type=float, default=0.3, help="seconds per point")
    args = parser.parse_args(argv)

    stream = api.SerialStream(args.port)
    arm = api.Velkin3(stream)
    device_id, model, _hardware, _firmware, uuid_bytes = arm.device_wakeup()
    if model == 0 and not any(uuid_bytes):
        print(f"{args.port}: no arm answered the wake-up", file=sys.stderr)
        return 1
    print(f"arm {device_id} (model {model}) on {args.port}")

    centre, _ = arm.end_effector_force()  # zero force: moves nothing, reports the position
    print(f"centre   {row(centre)}")
    print("point    commanded x, y, z            reported x, y, z")
    for k in range(args.points):
        angle = 2.0 * math.pi * k / args.points
        command = [
            centre[0] + args.radius * math.cos(angle),
            centre[1] + args.radius * math.sin(angle),
            centre[2],
        ]
        state = hold(arm, command, args.dwell)
        if state is None:
            print(f"{args.port}: the arm stopped answering", file=sys.stderr)
            return 1
        print(f"{k:5d}    {row(command)}   {row(state[0])}")

    # The same in joint space: zero torques report the joint angles, which are then held.
    # Any sequence of three floats will do, a tuple as well as a list.
    joints, _ = arm.joint_torques((0.0, 0.0, 0.0))
    joints, _ = arm.joint_angles(joints)
    print(f"joints   {row(joints)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
