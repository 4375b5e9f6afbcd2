#!/usr/bin/env python3
"""A live session with a Velkin3 arm and a handle: the main job of `make demo`.

    python examples/demo.py                      # attached devices, else the simulator
    python examples/demo.py --arm /dev/ttyACM0   # this arm only
    python examples/demo.py --simulate --seconds 10 --plot session.png

Given --arm and/or --handle it drives those ports. Given neither, it looks for attached
devices with the module's detection functions (about a second per silent serial port) and
drives the first arm and the first handle it finds; when there is none it says so and starts
the simulator (tamro-simulator) instead. --simulate skips the search.

Arm: a force control loop of end_effector_force exchanges, as fast as the link allows (or at
--arm-hz). The demo plays a hand that leads the end effector round a circle on a spring; in
"wall" mode (the default) it also presses down on a virtual wall, which pushes back with a stiff
spring while the end effector is inside it. Forces stay below 3 N.

Handle: a status loop at --handle-hz: send one byte of user data (SendHandleState), request the
status and Receive it into a Handle subclass, which shows the quaternion, the Hall-effect level
and the user data it echoes.

Both loops run on threads of their own (the module releases the interpreter lock while it waits
on a device). A live line shows loop rates, round-trip latencies (p50/p99) and the state; a
summary ends the run. --plot FILE.png saves the trajectory and the latency histogram (needs
matplotlib: the package's `plot` extra).
"""

from __future__ import annotations

import argparse
import math
import shutil
import sys
import threading
import time
from dataclasses import dataclass, field

import TamroHardwareAPI as api
from tamro import Simulator

TIMEOUT = 0.5  # s: a round trip longer than this ran into the library's one-second read time-out
MAX_FORCE = 3.0  # N

# The hand the demo plays, and the wall.
CIRCLE_RADIUS = 0.04  # m
CIRCLE_HZ = 0.5
LEAD_STIFFNESS = 60.0  # N/m
LEAD_DAMPING = 2.0  # N s/m
PRESS = 1.0  # N, downward, in wall mode
WALL_HEIGHT = -0.02  # m
WALL_STIFFNESS = 1000.0  # N/m
WALL_DAMPING = 5.0  # N s/m


def percentile(ordered: list, fraction: float) -> float:
    return ordered[int(fraction * (len(ordered) - 1))] if ordered else math.nan


def vector(values, digits: int = 3) -> str:
    return "(" + ", ".join(f"{v:+.{digits}f}" for v in values) + ")"


@dataclass
class LoopStats:
    """What a loop has done so far; read by the main thread while the loop runs."""

    path: str = ""
    count: int = 0
    latencies: list = field(default_factory=list)  # s
    started: float = 0.0
    finished: float | None = None
    stopped_why: str = ""

    def rate(self) -> float:
        elapsed = (self.finished or time.perf_counter()) - self.started
        return self.count / elapsed if elapsed > 0 else 0.0

    def recent_percentiles(self, window: int = 2000) -> tuple[float, float]:
        recent = sorted(self.latencies[-window:])
        return percentile(recent, 0.5), percentile(recent, 0.99)


# --- arm ---------------------------------------------------------------------------------


class ArmSession:
    legend = "arm loop rate, latency p50/p99, end-effector position (m)"

    def __init__(self, path: str, mode: str, rate_hz: float) -> None:
        self.stream = api.SerialStream(path)
        self.arm = api.Velkin3(self.stream)
        self.mode = mode
        self.period = 1.0 / rate_hz if rate_hz > 0 else 0.0
        self.stats = LoopStats(path=path)
        self.position = [0.0, 0.0, 0.0]
        self.velocity = [0.0, 0.0, 0.0]
        self.deepest = 0.0  # m, into the wall
        self.trajectory: list[tuple[float, ...]] = []  # t, x, y, z, target x, target y

    def wake(self) -> str | None:
        """The arm's identity as a line of text, or None when no arm answered."""
        info = self.arm.device_wakeup_dict()
        if info["device_model_number"] == 0 and info["device_id_ext"].int == 0:
            return None
        return (
            f"device id {info['device_id']}, model {info['device_model_number']}, "
            f"hardware {info['hardware_version']}, firmware {info['firmware_version']}, "
            f"uuid {info['device_id_ext']}"
        )

    def target(self, t: float) -> tuple[float, float]:
        angle = 2.0 * math.pi * CIRCLE_HZ * t
        return CIRCLE_RADIUS * math.cos(angle), CIRCLE_RADIUS * math.sin(angle)

    def force(self, t: float) -> list[float]:
        p, v = self.position, self.velocity
        tx, ty = self.target(t)
        f = [
            LEAD_STIFFNESS * (tx - p[0]) - LEAD_DAMPING * v[0],
            LEAD_STIFFNESS * (ty - p[1]) - LEAD_DAMPING * v[1],
            LEAD_STIFFNESS * (0.0 - p[2]) - LEAD_DAMPING * v[2],
        ]
        if self.mode == "wall":
            f[2] = -PRESS
            depth = WALL_HEIGHT - p[2]
            if depth > 0.0:
                f[2] += WALL_STIFFNESS * depth - WALL_DAMPING * v[2]
        norm = math.sqrt(sum(c * c for c in f))
        return [c * MAX_FORCE / norm for c in f] if norm > MAX_FORCE else f

    def run(self, stop: threading.Event) -> None:
        stats = self.stats
        stats.started = time.perf_counter()
        next_tick = stats.started
        next_sample = 0.0
        while not stop.is_set():
            t = time.perf_counter() - stats.started
            request = self.force(t)
            begin = time.perf_counter()
            self.position, self.velocity = self.arm.end_effector_force(request)
            latency = time.perf_counter() - begin
            if latency > TIMEOUT:
                stats.stopped_why = "the arm stopped answering"
                break
            stats.latencies.append(latency)
            stats.count += 1
            self.deepest = max(self.deepest, WALL_HEIGHT - self.position[2]) if self.mode == "wall" else 0.0
            if t >= next_sample:
                self.trajectory.append((t, *self.position, *self.target(t)))
                next_sample = t + 0.002
            if self.period:
                next_tick += self.period
                time.sleep(max(0.0, next_tick - time.perf_counter()))
        stats.finished = time.perf_counter()

    def live(self) -> str:
        p50, p99 = self.stats.recent_percentiles()
        x, y, z = self.position
        rates = f"arm {self.stats.rate():5.0f}/s {p50 * 1e6:3.0f}/{p99 * 1e6:<4.0f}us"
        return f"{rates} xyz {x:+.3f} {y:+.3f} {z:+.3f}"

    def summary(self) -> list[str]:
        s = self.stats
        ordered = sorted(s.latencies)
        elapsed = (s.finished or time.perf_counter()) - s.started
        lines = [
            f"arm     {s.path}: {s.count} exchanges in {elapsed:.1f} s, {s.rate():.0f}/s, "
            f"latency p50 {percentile(ordered, 0.5) * 1e6:.0f} us, "
            f"p99 {percentile(ordered, 0.99) * 1e6:.0f} us" + (f"; {s.stopped_why}" if s.stopped_why else ""),
            f"        end effector at {vector(self.position)} m, velocity {vector(self.velocity)} m/s",
        ]
        if self.mode == "wall":
            lines.append(
                f"        wall at z = {WALL_HEIGHT:+.3f} m, deepest contact {self.deepest * 1e3:.1f} mm"
            )
        return lines


# --- handle ------------------------------------------------------------------------------


class DemoHandle(api.Handle):
    """Keeps the latest of each message the handle sends."""

    def __init__(self, stream) -> None:
        super().__init__(stream)
        self.info: tuple | None = None
        self.status: tuple | None = None
        self.errors = 0

    def OnReceiveHandleInfo(
        self, tool_data_remaining, device_id, device_model_number, hardware_version, firmware_version
    ):
        self.info = (device_id, device_model_number, hardware_version, firmware_version, tool_data_remaining)

    def OnReceiveHandleStatusMessage(
        self, device_id, quaternion, error_flag, hall_effect_sensor_level, user_data_length, user_data
    ):
        self.status = (device_id, quaternion, error_flag, hall_effect_sensor_level, user_data)

    def OnReceiveHandleErrorResponse(self, device_id, error_code):
        self.errors += 1


class HandleSession:
    legend = "handle status rate, latency p50/p99, quaternion, Hall-effect level"

    def __init__(self, path: str, rate_hz: float) -> None:
        self.stream = api.SerialStream(path)
        self.handle = DemoHandle(self.stream)
        self.period = 1.0 / rate_hz if rate_hz > 0 else 0.0
        self.stats = LoopStats(path=path)
        self.device_id = 0
        self.echoed = 0

    def wake(self) -> str | None:
        self.handle.SendDeviceWakeup()
        if self.handle.Receive() < 0:
            return None
        if self.handle.info is None:
            return "answered the wake-up with a status message"
        device_id, model, hardware, firmware, tool_data = self.handle.info
        self.device_id = device_id
        return (
            f"device id {device_id}, model {model}, hardware {hardware}, firmware {firmware}, "
            f"tool data remaining {tool_data}"
        )

    def run(self, stop: threading.Event) -> None:
        stats, handle = self.stats, self.handle
        stats.started = time.perf_counter()
        next_tick = stats.started
        while not stop.is_set():
            byte = stats.count & 0xFF
            handle.SendHandleState(self.device_id, 1, byte)
            begin = time.perf_counter()
            handle.RequestStatus()
            read = handle.Receive()
            latency = time.perf_counter() - begin
            if read < 0 or latency > TIMEOUT:
                stats.stopped_why = "the handle stopped answering"
                break
            stats.latencies.append(latency)
            stats.count += 1
            # A status left from an earlier round carries an earlier byte.
            if handle.status is not None and handle.status[4] == [byte]:
                self.echoed += 1
            if self.period:
                next_tick += self.period
                time.sleep(max(0.0, next_tick - time.perf_counter()))
        stats.finished = time.perf_counter()

    def state(self, compact: bool = False) -> str:
        status = self.handle.status
        if status is None:
            return "no status yet"
        if compact:
            return "q " + " ".join(f"{q:+.2f}" for q in status[1]) + f" hall {status[3]:3d}"
        return f"q {vector(status[1], 2)} level {status[3]:3d}"

    def live(self) -> str:
        p50, p99 = self.stats.recent_percentiles()
        rates = f"handle {self.stats.rate():3.0f}/s {p50 * 1e6:3.0f}/{p99 * 1e6:<4.0f}us"
        return f"{rates} {self.state(compact=True)}"

    def summary(self) -> list[str]:
        s = self.stats
        ordered = sorted(s.latencies)
        elapsed = (s.finished or time.perf_counter()) - s.started
        return [
            f"handle  {s.path}: {s.count} status messages in {elapsed:.1f} s, {s.rate():.0f}/s, "
            f"latency p50 {percentile(ordered, 0.5) * 1e6:.0f} us, "
            f"p99 {percentile(ordered, 0.99) * 1e6:.0f} us, "
            f"user data echoed {self.echoed}/{s.count}" + (f"; {s.stopped_why}" if s.stopped_why else ""),
            f"        {self.state()}"
            + (f", error responses {self.handle.errors}" if self.handle.errors else ""),
        ]


# --- session -----------------------------------------------------------------------------


def find_ports(args) -> tuple[str | None, str | None]:
    if args.arm or args.handle:
        return args.arm, args.handle
    if args.simulate:
        return None, None
    print("Looking for attached devices (about a second per silent serial port)...", flush=True)
    try:
        arms, handles = api.detect_velkin3s(), api.detect_handles()
    except RuntimeError as error:
        print(f"Device search failed: {error}")
        return None, None
    print(f"Found {len(arms)} arm(s) and {len(handles)} handle(s).")
    return (arms[0] if arms else None), (handles[0] if handles else None)


def plot(filename: str, arm: ArmSession | None, handle: HandleSession | None) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print(
            f"Not plotting to {filename}: matplotlib is not installed "
            f"(pip install matplotlib, or the package's 'plot' extra)."
        )
        return
    figure, (top, middle, bottom) = plt.subplots(3, 1, figsize=(8, 11))
    if arm and arm.trajectory:
        t, x, y, z, tx, ty = zip(*arm.trajectory, strict=True)
        top.plot([v * 1e3 for v in tx], [v * 1e3 for v in ty], ":", label="hand (spring anchor)")
        top.plot([v * 1e3 for v in x], [v * 1e3 for v in y], label="end effector")
        top.set(title="Arm trajectory, seen from above", xlabel="x (mm)", ylabel="y (mm)", aspect="equal")
        top.legend(loc="upper right")
        middle.plot(t, [v * 1e3 for v in z], label="end effector z")
        if arm.mode == "wall":
            middle.axhline(WALL_HEIGHT * 1e3, color="grey", linestyle="--", label="wall")
        middle.set(title="Height", xlabel="time (s)", ylabel="z (mm)")
        middle.legend(loc="upper right")
    measured = [
        (s, name) for s, name in ((arm, "arm exchange"), (handle, "handle status")) if s and s.stats.latencies
    ]
    if measured:
        # Log-spaced bins: the body sits at tens of microseconds, the tail at milliseconds.
        low = min(min(s.stats.latencies) for s, _ in measured) * 1e6
        high = max(max(s.stats.latencies) for s, _ in measured) * 1e6 * 1.01
        edges = [low * (high / low) ** (i / 80) for i in range(81)]
        for s, name in measured:
            bottom.hist([v * 1e6 for v in s.stats.latencies], bins=edges, alpha=0.6, label=name)
        bottom.legend(loc="upper right")
    bottom.set(title="Round-trip latency", xlabel="latency (us)", ylabel="count", xscale="log", yscale="log")
    figure.tight_layout()
    figure.savefig(filename)
    print(f"Plot saved to {filename}")


def run(args) -> int:
    arm_path, handle_path = find_ports(args)
    simulator: Simulator | None = None
    if arm_path is None and handle_path is None:
        if not args.simulate:
            print("No arm or handle is attached: using the simulator instead.")
        try:
            simulator = Simulator(arms=1, handles=1)
        except (FileNotFoundError, RuntimeError) as error:
            print(f"Cannot start the simulator: {error}")
            return 1
        arm_path, handle_path = simulator.arms[0], simulator.handles[0]
        print(f"Simulator running: arm on {arm_path}, handle on {handle_path}")
    try:
        return session(args, arm_path, handle_path)
    finally:
        if simulator is not None:
            simulator.stop()


def session(args, arm_path: str | None, handle_path: str | None) -> int:
    arm = handle = None
    if arm_path:
        arm = ArmSession(arm_path, args.mode, args.arm_hz)
        identity = arm.wake()
        print(f"arm     {arm_path}: " + (identity or "no answer to the wake-up; not driving it"))
        arm = arm if identity else None
    if handle_path:
        handle = HandleSession(handle_path, args.handle_hz)
        identity = handle.wake()
        print(f"handle  {handle_path}: " + (identity or "no answer to the wake-up; not driving it"))
        handle = handle if identity else None
    sessions = [s for s in (arm, handle) if s is not None]
    if not sessions:
        print("Nothing to drive.")
        return 1
    if arm:
        what = "leads it round a circle" + (", pressing on a wall" if args.mode == "wall" else "")
        print(f"Arm control loop: end_effector_force, the demo {what}.")

    stop = threading.Event()
    threads = [threading.Thread(target=s.run, args=(stop,), daemon=True) for s in sessions]
    for thread in threads:
        thread.start()
    live_terminal = sys.stdout.isatty()
    width = shutil.get_terminal_size().columns - 1  # a wrapped line would defeat the carriage return
    print("live: " + " | ".join(s.legend for s in sessions))
    started = time.perf_counter()
    deadline = started + args.seconds
    try:
        while time.perf_counter() < deadline and any(t.is_alive() for t in threads):
            stop.wait(0.1 if live_terminal else 1.0)
            line = " | ".join(s.live() for s in sessions)
            if live_terminal:
                print("\r" + line[:width], end="\x1b[K", flush=True)
            else:
                print(line, flush=True)
    except KeyboardInterrupt:
        pass
    stop.set()
    for thread in threads:
        thread.join()
    if live_terminal:
        print()

    print(f"Summary ({time.perf_counter() - started:.1f} s)")
    for s in sessions:
        for line in s.summary():
            print("  " + line)
    if args.plot:
        plot(args.plot, arm, handle)
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="A live arm and handle session (simulated when nothing is attached)."
    )
    parser.add_argument("--arm", metavar="PATH", help="serial port of a Velkin3 arm")
    parser.add_argument("--handle", metavar="PATH", help="serial port of a handle")
    parser.add_argument(
        "--simulate", action="store_true", help="use the simulator without looking for devices"
    )
    parser.add_argument("--seconds", type=float, default=5.0, help="length of the session (default 5)")
    parser.add_argument(
        "--mode",
        choices=("wall", "spring"),
        default="wall",
        help="wall: lead round a circle and press on a virtual wall (default); spring: only lead",
    )
    parser.add_argument(
        "--arm-hz", type=float, default=0.0, help="arm loop rate (default 0: as fast as it answers)"
    )
    parser.add_argument("--handle-hz", type=float, default=200.0, help="handle status rate (default 200)")
    parser.add_argument("--plot", metavar="FILE.png", help="save the trajectory and latency histogram")
    args = parser.parse_args(argv)
    print(f"TamroHardwareAPI, library {api.get_cpp_version()}")
    return run(args)


if __name__ == "__main__":
    sys.exit(main())
