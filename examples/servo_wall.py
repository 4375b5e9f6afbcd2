#!/usr/bin/env python3
"""A wall and a spring on the servo loop, with the loop's figures at the end.

    python examples/servo_wall.py [PORT] [--seconds 3] [--rate-hz 1000] [--stiffness 2000]

The loop renders a one-sided wall 2 cm below the start and a spring that pulls the end
effector toward a point 1 cm inside the wall, so it rests pressed against it, at --rate-hz on
a native thread. Python only reads the state back, a line a second. Without PORT it drives the
first attached arm, or the simulator when none is attached.

Exit status 1 when the arm does not answer or stops answering.
"""

from __future__ import annotations

import argparse
import sys
import time

import tamro

WALL_Z = -0.02  # m


def run(port: str, seconds: float, rate_hz: float, stiffness: float) -> int:
    try:
        loop = tamro.ServoLoop(port, rate_hz=rate_hz, max_force=5.0)
    except OSError as error:  # TimeoutError when nothing answers, FileNotFoundError, ...
        print(f"{port}: {error.strerror}")
        return 1
    info = loop.device_info
    print(f"arm {info['device_id']}, model {info['device_model_number']}, uuid {info['device_id_ext']}")
    # A wall, and a hand that pushes 1 cm into it: the wall holds it at a depth of about
    # spring force / wall stiffness.
    wall = tamro.Plane(point=(0, 0, WALL_Z), normal=(0, 0, 1), stiffness=stiffness, damping=5.0)
    hand = tamro.Spring(anchor=(0.0, 0.0, WALL_Z - 0.01), stiffness=100.0, damping=4.0)
    with loop:  # starts the loop; leaving the block sends zero force and closes the port
        loop.effects = [wall, hand]
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            time.sleep(min(1.0, max(0.0, end - time.monotonic())))
            try:
                state = loop.state()
            except tamro.DeviceFault as fault:
                print(f"the arm stopped answering: {fault.strerror}")
                return 1
            x, y, z = state.position * 1e3
            push = wall.force_at(state.position, state.velocity)[2]
            print(f"cycle {state.cycle:6d}: at ({x:+.1f}, {y:+.1f}, {z:+.1f}) mm, wall pushes {push:.2f} N")
        stats = loop.stats()
    print(
        f"{stats['cycles']} cycles at {stats['rate_hz']:.1f} Hz; period p50 {stats['period_p50_us']:.0f} us, "
        f"p99 {stats['period_p99_us']:.0f} us, max {stats['period_max_us']:.0f} us; "
        f"{stats['late_cycles']} late; exchange p50 {stats['exchange_p50_us']:.0f} us; "
        f"{stats['failed_exchanges']} failed"
    )
    depth = (WALL_Z - state.position[2]) * 1e3
    expected = 1e3 * hand.stiffness * 0.01 / stiffness  # mm: about the hand's push over the wall's stiffness
    print(f"resting {depth:.1f} mm into the wall (about {expected:.1f} mm expected)")
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("port", nargs="?", help="serial port of the arm (default: detect, or simulate)")
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--rate-hz", type=float, default=1000.0)
    parser.add_argument("--stiffness", type=float, default=2000.0, help="the wall's, in N/m (default 2000)")
    args = parser.parse_args(argv)
    if args.port:
        return run(args.port, args.seconds, args.rate_hz, args.stiffness)
    with tamro.attached_or_simulated(arms=1) as ports:
        return run(ports.arms[0], args.seconds, args.rate_hz, args.stiffness)


if __name__ == "__main__":
    sys.exit(main())
