#!/usr/bin/env python3
"""Record a few seconds of the servo loop, save them, and plot position and force over time.

    python examples/record_and_plot.py [PORT] [--seconds 3] [--out loop.npz] [--plot loop.png]

A spring whose anchor jumps 2 cm every second (a step response), every cycle recorded by the
loop itself into a ring that Python drains at the end: one row per cycle with its time,
position, velocity and the force sent. The rows are saved with numpy (``np.load`` gives them
back) and, with matplotlib installed (the package's ``plot`` extra), plotted. Without PORT it
drives the first attached arm, or the simulator.
"""

from __future__ import annotations

import argparse
import sys
import time

import numpy as np

import tamro


def run(port: str, seconds: float, out: str, plot: str | None) -> int:
    try:
        loop = tamro.ServoLoop(port, rate_hz=1000.0, max_force=5.0)
    except OSError as error:
        print(f"{port}: {error.strerror}")
        return 1
    spring = tamro.Spring(anchor=(0.0, 0.0, 0.0), stiffness=150.0, damping=3.0)
    loop.effects = [spring]
    loop.record(capacity=int(seconds * 1000 * 1.5) + 1000)  # before the first cycle: all of them
    with loop:
        start = time.monotonic()
        for step in range(int(seconds)):
            spring.anchor = (0.02 if step % 2 == 0 else 0.0, 0.0, 0.0)
            time.sleep(max(0.0, start + step + 1 - time.monotonic()))
        stats = loop.stats()
    records = loop.drain()
    np.savez(out, records=records)
    t = records["time"] - records["time"][0]
    dropped = stats["dropped_records"]
    print(f"{len(records)} cycles recorded ({dropped} dropped) over {t[-1]:.2f} s, saved to {out}")
    x = records["position"][:, 0] * 1e3
    force = np.abs(records["force"]).max()
    print(f"largest force {force:.2f} N, x from {x.min():+.1f} to {x.max():+.1f} mm")
    if plot:
        try:
            import matplotlib

            matplotlib.use("Agg")
            import matplotlib.pyplot as plt
        except ImportError:
            print(f"Not plotting to {plot}: matplotlib is not installed (pip install matplotlib)")
            return 0
        figure, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(8, 6))
        top.plot(t, records["position"][:, 0] * 1e3, label="x")
        top.set(ylabel="position (mm)", title="Step response of a spring on the servo loop")
        bottom.plot(t, records["force"][:, 0], label="x")
        bottom.set(xlabel="time (s)", ylabel="force (N)")
        figure.tight_layout()
        figure.savefig(plot)
        print(f"Plot saved to {plot}")
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("port", nargs="?", help="serial port of the arm (default: detect, or simulate)")
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--out", default="loop.npz", help="where to save the records (default loop.npz)")
    parser.add_argument("--plot", metavar="FILE.png", help="also plot position and force")
    args = parser.parse_args(argv)
    if args.port:
        return run(args.port, args.seconds, args.out, args.plot)
    with tamro.attached_or_simulated(arms=1) as ports:
        return run(ports.arms[0], args.seconds, args.out, args.plot)


if __name__ == "__main__":
    sys.exit(main())
