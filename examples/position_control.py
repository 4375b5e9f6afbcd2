#!/usr/bin/env python3
"""Position control: move the end effector around a small circle, then the joints.

    python examples/position_control.py PORT [--points 12] [--radius 0.02] [--settle 20]

Wakes the arm on PORT, then commands ``--points`` positions on a circle of ``--radius``
around the arm's current position with ``end_effector_position``; each point is commanded
``--settle`` times (each exchange also returns the state), and the reported position is
printed beside the commanded one. The centre is read with a zero-force exchange, which
moves nothing. Finally it holds the current joint angles with ``joint_angles``. Units are the arm's own.

Exit status 1 when the arm does not answer.
"""
from __future__ import annotations

import argparse
import math
import sys

import TamroHardwareAPI as api


def answered(position: list[float], velocity: list[float]) -> bool:
    # A failed exchange returns zeros in all six values; it raises nothing.
    return any(position) or any(velocity)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("port", help="serial port of the arm, for example /dev/ttyACM0")
    parser.add_argument("--points", type=int, default=12)
    parser.add_argument("--radius", type=float, default=0.02)
    parser.add_argument("--settle", type=int, default=20, help="exchanges per point")
    args = parser.parse_args(argv)

    stream = api.SerialStream(args.port)
    arm = api.Velkin3(stream)
    device_id, model, _hardware, _firmware, uuid_bytes = arm.device_wakeup()
    if model == 0 and not any(uuid_bytes):
        print(f"{args.port}: no arm answered the wake-up", file=sys.stderr)
        return 1
    print(f"arm {device_id} (model {model}) on {args.port}")

    # A zero force moves nothing and reports where the end effector is: the circle's centre.
    centre, velocity = arm.end_effector_force()
    if not answered(centre, velocity):
        print(f"{args.port}: the arm stopped answering", file=sys.stderr)
        return 1
    print("centre " + " ".join(f"{v:+.4f}" for v in centre))

    print(" point   commanded x, y, z            reported x, y, z")
    for k in range(args.points):
        angle = 2.0 * math.pi * k / args.points
        command = [centre[0] + args.radius * math.cos(angle), centre[1] + args.radius * math.sin(angle), centre[2]]
        for _ in range(args.settle):
            position, velocity = arm.end_effector_position(command)
            if not answered(position, velocity):
                print(f"{args.port}: the arm stopped answering", file=sys.stderr)
                return 1
        print(
            f"{k:6d}   "
            + " ".join(f"{v:+.4f}" for v in command)
            + "   "
            + " ".join(f"{v:+.4f}" for v in position)
        )

    # The same in joint space: zero torques report the joint angles, which are then held.
    # Any sequence of three floats will do, a tuple as well as a list.
    joints, joint_velocity = arm.joint_torques((0.0, 0.0, 0.0))
    joints, joint_velocity = arm.joint_angles(joints)
    if not answered(joints, joint_velocity):
        print(f"{args.port}: the arm stopped answering", file=sys.stderr)
        return 1
    print("joint angles " + " ".join(f"{v:+.4f}" for v in joints))
    return 0


if __name__ == "__main__":
    sys.exit(main())
