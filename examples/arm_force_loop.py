#!/usr/bin/env python3
"""Arm force loop: a spring and a damper that hold the end effector at a point.

    python examples/arm_force_loop.py PORT [--seconds 2] [--stiffness 40] [--damping 2]

Wakes the arm on PORT, prints its identity, then runs ``end_effector_force`` exchanges as
fast as the arm answers; each force is computed from the state that the previous exchange
returned. The hold point is where the end effector starts, moved by ``--offset`` along x,
so the arm is pulled there and held. Units are the arm's own.

Exit status 1 when the arm does not answer the wake-up or stops answering.
"""

from __future__ import annotations

import argparse
import sys
import time

import TamroHardwareAPI as api


class Silence:
    """Tells a failed exchange from a reply. A failed exchange raises nothing and returns
    zeros in all six values, but an arm at rest at the origin reports zeros as well. Zeros
    that last half a second count as failure: a read that times out alone takes a second."""

    def __init__(self, patience: float = 0.5) -> None:
        self.patience = patience
        self.since: float | None = None

    def lost(self, started: float, position: list[float], velocity: list[float]) -> bool:
        if any(position) or any(velocity):
            self.since = None
            return False
        if self.since is None:
            self.since = started
        return time.monotonic() - self.since > self.patience


def spring_force(
    position: list[float], velocity: list[float], target: list[float], stiffness: float, damping: float
) -> list[float]:
    return [stiffness * (t - p) - damping * v for p, v, t in zip(position, velocity, target, strict=True)]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("port", help="serial port of the arm, for example /dev/ttyACM0")
    parser.add_argument("--seconds", type=float, default=2.0, help="length of the loop")
    parser.add_argument("--stiffness", type=float, default=40.0)
    parser.add_argument("--damping", type=float, default=2.0)
    parser.add_argument("--offset", type=float, default=0.01, help="hold point, along x from the start")
    args = parser.parse_args(argv)

    stream = api.SerialStream(args.port)
    arm = api.Velkin3(stream)

    # A failed wake-up raises nothing either: it returns zeros and a zero uuid.
    info = arm.device_wakeup_dict()
    if info["device_model_number"] == 0 and info["device_id_ext"].int == 0:
        print(f"{args.port}: no arm answered the wake-up", file=sys.stderr)
        return 1
    print(
        f"arm {info['device_id']} on {args.port}: model {info['device_model_number']}, "
        f"hardware {info['hardware_version']}, firmware {info['firmware_version']}, "
        f"uuid {info['device_id_ext']}"
    )

    position, velocity = arm.end_effector_force()  # no force: where is the end effector?
    target = [position[0] + args.offset, position[1], position[2]]
    silence = Silence()
    exchanges, slowest = 0, 0.0
    started = time.monotonic()
    while time.monotonic() - started < args.seconds:
        force = spring_force(position, velocity, target, args.stiffness, args.damping)
        before = time.monotonic()
        position, velocity = arm.end_effector_force(force)
        slowest = max(slowest, time.monotonic() - before)
        exchanges += 1
        if silence.lost(before, position, velocity):
            # The stream stays failed now: every later call would return zeros at once.
            print(f"{args.port}: the arm stopped answering", file=sys.stderr)
            return 1
    elapsed = time.monotonic() - started

    print(
        f"{exchanges} exchanges in {elapsed:.2f} s: {exchanges / elapsed:.0f} per second, "
        f"slowest {slowest * 1e3:.2f} ms"
    )
    print("hold point " + " ".join(f"{v:+.4f}" for v in target))
    print("final position " + " ".join(f"{v:+.4f}" for v in position))
    return 0


if __name__ == "__main__":
    sys.exit(main())
