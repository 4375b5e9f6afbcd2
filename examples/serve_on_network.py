#!/usr/bin/env python3
"""The arm on the network as ROS 2 topics, with a wall it renders itself.

    python examples/serve_on_network.py [ARM] [--seconds 10] [--domain 0] [--network]

A servo loop renders a floor 2 cm below the origin at 1 kHz and a tamro.Node publishes it
under /lab/arm/ (measured_cp, measured_cv, measured_cf, every cycle) and takes servo_cp and
servo_cf for it: a ROS 2 node on the same domain sees the arm and can push it about, and the
floor holds whatever it commands. Once a second it prints what each topic carried and what
the loop did with the commands. Without a port it drives the first attached arm, or the
simulator's.

DDS stays on this machine (the shipped loopback configuration) unless you give --network or
set CYCLONEDDS_URI yourself. Exit status 1 when the arm does not answer, 2 when this build has
no network part.
"""

from __future__ import annotations

import argparse
import sys
import time

import tamro
from tamro import network


def serve(port: str, seconds: float, domain: int) -> int:
    try:
        loop = tamro.ServoLoop(port, rate_hz=1000.0, max_force=3.0)
    except OSError as error:
        print(f"{error.filename}: {error.strerror}")
        return 1
    loop.effects = [tamro.Plane(point=(0, 0, -0.02), normal=(0, 0, 1), stiffness=1000.0, damping=1.0)]
    with loop, tamro.Node("lab", domain=domain) as node:
        for topic in node.publish(loop, "arm") + node.accept_commands(loop, "arm"):
            print(f"serving {topic}")
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            time.sleep(min(1.0, max(0.0, end - time.monotonic())))
            figures = ", ".join(f"{s['topic'].rsplit('/', 1)[1]} {s['samples']}" for s in node.stats())
            commands = node.command_status("arm")
            print(f"{figures}; commands {commands.mode}, force {commands.force.round(3).tolist()}")
        dropped = sum(s["dropped"] for s in node.stats())
    print(f"{loop.stats()['cycles']} cycles, {dropped} records dropped")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("arm", nargs="?", help="the arm's port (default: attached, else simulated)")
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--domain", type=int, default=0, help="the DDS domain id (0 to 232)")
    parser.add_argument("--network", action="store_true", help="use every interface (Cyclone's defaults)")
    args = parser.parse_args()
    if not network.available():
        print("this build of tamro has no network part (build it with Cyclone DDS)")
        return 2
    if not args.network:
        print(f"DDS configuration: {network.use_loopback()}")
    if args.arm:
        return serve(args.arm, args.seconds, args.domain)
    with tamro.attached_or_simulated(arms=1) as ports:
        return serve(ports.arms[0], args.seconds, args.domain)


if __name__ == "__main__":
    sys.exit(main())
