#!/usr/bin/env python3
"""The handle's orientation steers the arm: two devices, two native threads, Python between.

    python examples/handle_steers_arm.py [ARM HANDLE] [--seconds 5]

A HandleReader reads the handle at 200 Hz and a ServoLoop drives the arm at 1 kHz, each on a
thread of its own. Python, at its own 50 Hz, turns the handle's orientation (its quaternion,
scalar first) into a direction and puts the anchor of the arm's spring 3 cm along it: tilt
the handle and the arm follows. Without ports it drives the first attached arm and handle, or
the simulator's.

Exit status 1 when a device does not answer or stops answering.
"""

from __future__ import annotations

import argparse
import sys
import time

import numpy as np
import numpy.typing as npt

import tamro

REACH = 0.03  # m: how far from the origin the anchor goes
STEER_HZ = 50.0


def pointing(quaternion: npt.NDArray[np.float32]) -> npt.NDArray[np.float64]:
    """Where the handle points: the x axis turned by the unit quaternion (w, x, y, z)."""
    w, x, y, z = (float(c) for c in quaternion)
    norm = (w * w + x * x + y * y + z * z) ** 0.5 or 1.0
    w, x, y, z = w / norm, x / norm, y / norm, z / norm
    return np.array([1 - 2 * (y * y + z * z), 2 * (x * y + w * z), 2 * (x * z - w * y)])


def run(arm_port: str, handle_port: str, seconds: float) -> int:
    try:
        reader = tamro.HandleReader(handle_port, rate_hz=200.0)
        loop = tamro.ServoLoop(arm_port, rate_hz=1000.0, max_force=3.0)
    except OSError as error:
        print(f"{error.filename}: {error.strerror}")
        return 1
    print(f"handle {reader.info['device_id']} on {handle_port}")
    print(f"arm {loop.device_info['device_id']} on {arm_port}")
    spring = tamro.Spring(anchor=(0.0, 0.0, 0.0), stiffness=80.0, damping=3.0)
    with reader, loop:
        loop.effects = [spring]
        distances = []
        end = next_print = time.monotonic()
        end += seconds
        while time.monotonic() < end:
            try:
                status = reader.latest()
                spring.anchor = REACH * pointing(status.quaternion)  # the loop takes it at its next cycle
                position = loop.state().position
            except tamro.DeviceFault as fault:
                print(f"{fault.filename} stopped answering: {fault.strerror}")
                return 1
            distances.append(float(np.linalg.norm(position - np.array(spring.anchor))))
            if time.monotonic() >= next_print:
                anchor = ", ".join(f"{v * 1e3:+.1f}" for v in spring.anchor)
                away = distances[-1] * 1e3
                print(f"handle status {status.count:5d}: anchor ({anchor}) mm, arm {away:.1f} mm from it")
                next_print += 1.0
            time.sleep(1.0 / STEER_HZ)
        arm, handle = loop.stats(), reader.stats()
    print(
        f"arm: {arm['rate_hz']:.1f} Hz, period p99 {arm['period_p99_us']:.0f} us, {arm['late_cycles']} late; "
        f"handle: {handle['rate_hz']:.1f} status/s, latency p99 {handle['latency_p99_us']:.0f} us"
    )
    print(f"the arm stayed within {np.median(distances) * 1e3:.1f} mm of the anchor (median)")
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument(
        "ports", nargs="*", metavar="ARM HANDLE", help="serial ports (default: detect, or simulate)"
    )
    parser.add_argument("--seconds", type=float, default=5.0)
    args = parser.parse_args(argv)
    if len(args.ports) not in (0, 2):
        parser.error("give both ports, the arm's then the handle's, or none")
    if args.ports:
        return run(args.ports[0], args.ports[1], args.seconds)
    with tamro.attached_or_simulated(arms=1, handles=1) as ports:
        return run(ports.arms[0], ports.handles[0], args.seconds)


if __name__ == "__main__":
    sys.exit(main())
