#!/usr/bin/env python3
"""A live session with a Velkin3 arm and a handle: the main job of `make demo`.

    python examples/demo.py                      # attached devices, else the simulator
    python examples/demo.py --arm /dev/ttyACM0   # this arm only
    python examples/demo.py --simulate --busy --python-loop --plot session.png

The arm runs in a native servo loop (tamro.ServoLoop) at --rate-hz: a virtual wall 2 cm below
the start, a small constant push onto it, and a spring whose anchor this script leads round a
circle at 50 Hz, a hand guiding the end effector along the wall. The handle is read by its own
native thread (tamro.HandleReader); the script sends it a byte of user data at 50 Hz and checks
that it comes back in the status. A live line shows the loop's achieved rate, period p99 and
late cycles, and the handle's rate and orientation; a summary ends the run.

--busy adds a Python thread that computes without pause, as a plot or a GUI would: the servo
loop holds its rate, since no Python runs in it. --python-loop gives the second half of the
session to the arm driven the old way, a Python loop over the low-level module's
end_effector_force at the same rate with the same wall and spring, and puts the two side by
side in the summary. --plot FILE.png saves the trajectory and the period histogram (needs
matplotlib: the package's `plot` extra).

--mesh replaces the flat wall with a triangle mesh rendered by the loop's proxy (tamro.Mesh):
`torus` (a ring under the hand's circle) or `bumps` (a bumpy sheet), both generated here, or a
STL/OBJ/PLY file (the package's `mesh` extra; --mesh-scale 0.001 for one in millimetres),
moved so that its top's middle is where the wall was; the live line then shows the proxy's
contact time.

Given --arm and/or --handle it drives those ports. Given neither, it looks for attached devices
(about a second per silent serial port) and takes the first arm and handle; with none, it says
so and starts the simulator. --simulate skips the search.
"""

from __future__ import annotations

import argparse
import math
import shutil
import sys
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

import tamro
import TamroHardwareAPI as api

# The scene, in metres, newtons and seconds.
WALL_Z = -0.02
WALL_STIFFNESS, WALL_DAMPING = 1000.0, 5.0
PRESS = 1.0  # N, down onto the wall
LEAD_RADIUS, LEAD_HZ = 0.04, 0.5  # the hand's circle
LEAD_STIFFNESS, LEAD_DAMPING = 60.0, 2.0
MAX_FORCE = 3.0
STEER_HZ = 50.0  # how often Python moves the anchor and sends the handle a byte
SETTLE_SECONDS = 1.0


def anchor_at(t: float) -> tuple[float, float, float]:
    """The hand: round the circle, at the height of the wall (the push presses it in)."""
    angle = 2 * math.pi * LEAD_HZ * t
    return (LEAD_RADIUS * math.cos(angle), LEAD_RADIUS * math.sin(angle), WALL_Z)


def torus_mesh(
    ring: float, tube: float, sections: int = 96, around: int = 32
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]:
    """A torus about z through the origin, faces counter-clockwise seen from outside."""
    a = np.repeat(np.linspace(0, 2 * np.pi, sections, endpoint=False), around)
    b = np.tile(np.linspace(0, 2 * np.pi, around, endpoint=False), sections)
    r = ring + tube * np.cos(b)
    vertices = np.stack([r * np.cos(a), r * np.sin(a), tube * np.sin(b)], axis=1)
    i, j = np.divmod(np.arange(sections * around), around)
    here, next_a = i * around + j, ((i + 1) % sections) * around + j
    next_b, next_ab = i * around + (j + 1) % around, ((i + 1) % sections) * around + (j + 1) % around
    faces = np.concatenate([np.stack([here, next_a, next_ab], 1), np.stack([here, next_ab, next_b], 1)])
    return vertices, faces


def bumps_mesh(
    half: float = 0.08, cells: int = 64, height: float = 0.004
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]:
    """A square sheet facing up, with round bumps 2 cm apart, its mean height at z = 0."""
    u = np.linspace(-half, half, cells + 1)
    x, y = np.meshgrid(u, u, indexing="ij")
    z = height * np.cos(np.pi * x / 0.01) * np.cos(np.pi * y / 0.01)
    vertices = np.stack([x.ravel(), y.ravel(), z.ravel()], axis=1)
    i, j = np.divmod(np.arange(cells * cells), cells)
    k = i * (cells + 1) + j
    faces = np.concatenate(
        [np.stack([k, k + cells + 1, k + cells + 2], 1), np.stack([k, k + cells + 2, k + 1], 1)]
    )
    return vertices, faces


def surface(choice: str | None, scale: float = 1.0) -> tamro.Effect:
    """The surface the hand is pressed onto: the flat wall, or a mesh with its top at the wall."""
    if choice is None:
        return tamro.Plane(
            point=(0, 0, WALL_Z), normal=(0, 0, 1), stiffness=WALL_STIFFNESS, damping=WALL_DAMPING
        )
    params: dict[str, Any] = {"stiffness": WALL_STIFFNESS, "damping": WALL_DAMPING, "friction": (0.2, 0.15)}
    if choice == "torus":
        mesh = tamro.Mesh(*torus_mesh(LEAD_RADIUS, 0.015), **params)
    elif choice == "bumps":
        mesh = tamro.Mesh(*bumps_mesh(), **params)
    else:
        mesh = tamro.Mesh.load(choice, scale=scale, **params)
    lower, upper = mesh.vertices.min(axis=0), mesh.vertices.max(axis=0)
    middle = (lower + upper) / 2
    mesh.pose = ((-middle[0], -middle[1], WALL_Z - upper[2]), (1.0, 0.0, 0.0, 0.0))
    return mesh


def busy_work(stop: threading.Event) -> None:
    """Pure-Python work without pause, as a plot, a GUI or a computation would do."""
    while not stop.is_set():
        sum(i * i for i in range(5000))


@dataclass
class ArmRun:
    """What one way of driving the arm did: per-cycle start times and states."""

    name: str
    times: npt.NDArray[np.float64] = field(default_factory=lambda: np.empty(0))
    positions: npt.NDArray[np.float64] = field(default_factory=lambda: np.empty((0, 3)))
    anchors: list[tuple[float, float, float, float]] = field(default_factory=list)  # t, x, y, z
    rate_hz: float = 0.0
    period_p50_us: float = 0.0
    period_p99_us: float = 0.0
    late_cycles: int = 0
    stopped_why: str = ""

    def periods_us(self) -> npt.NDArray[np.float64]:
        return np.diff(self.times) * 1e6

    def last_position_mm(self) -> str:
        if len(self.positions) == 0:
            return "-"
        return "(" + ", ".join(f"{v * 1e3:+.1f}" for v in self.positions[-1]) + ") mm"

    def deepest_mm(self) -> float:
        """How far into the wall, once the first landing on it is over (after 1 s)."""
        settled = self.positions[self.times >= SETTLE_SECONDS] if len(self.times) else self.positions
        if len(settled) == 0:
            return 0.0
        return max(0.0, float(WALL_Z - settled[:, 2].min()) * 1e3)


# --- the arm on the servo loop -------------------------------------------------------------------


class ServoArm:
    def __init__(self, port: str, rate_hz: float, wall: tamro.Effect) -> None:
        self.loop = tamro.ServoLoop(port, rate_hz=rate_hz, max_force=MAX_FORCE)
        self.meshed = isinstance(wall, tamro.Mesh)
        self.rate_hz = rate_hz
        # The anchor moves in steps STEER_HZ times a second; the loop glides between them.
        self.spring = tamro.Spring(
            anchor=anchor_at(0.0), stiffness=LEAD_STIFFNESS, damping=LEAD_DAMPING, smoothing=True
        )
        self.loop.effects = [
            wall,
            tamro.ConstantForce((0.0, 0.0, -PRESS)),
            self.spring,
        ]
        self.run = ArmRun("servo loop")
        self.started = 0.0

    def identity(self) -> str:
        info = self.loop.device_info
        return (
            f"device id {info['device_id']}, model {info['device_model_number']}, "
            f"hardware {info['hardware_version']}, firmware {info['firmware_version']}, "
            f"uuid {info['device_id_ext']}"
        )

    def start(self, seconds: float) -> None:
        self.loop.record(int(seconds * self.rate_hz * 1.5) + 1000)
        self.started = time.monotonic()
        self.loop.start()

    def steer(self, now: float) -> None:
        t = now - self.started
        self.spring.anchor = anchor_at(t)
        self.run.anchors.append((t, *self.spring.anchor))

    def live(self) -> str:
        stats = self.loop.stats()
        x, y, z = self.loop.state().position
        contact = f" contact p99 {stats['contact_p99_us']:4.1f} us" if self.meshed else ""
        return (
            f"servo {stats['rate_hz']:6.1f} Hz p99 {stats['period_p99_us']:5.0f} us "
            f"late {stats['late_cycles']:3d}{contact} xyz {x:+.3f} {y:+.3f} {z:+.3f}"
        )

    def finish(self) -> ArmRun:
        fault = self.loop.fault
        stats = self.loop.stats()
        self.loop.close()
        records = self.loop.drain()
        run = self.run
        run.times = records["time"] - self.started
        run.positions = records["position"]
        run.rate_hz = stats["rate_hz"]
        run.period_p50_us, run.period_p99_us = stats["period_p50_us"], stats["period_p99_us"]
        run.late_cycles = stats["late_cycles"]
        run.stopped_why = str(fault) if fault else ""
        return run


# --- the same arm the old way: a Python loop over the low-level module ------------------------


def python_force(t: float, position: list[float], velocity: list[float]) -> list[float]:
    """The scene of ServoArm, computed in Python as a user of the low-level module would."""
    anchor = anchor_at(t)
    force = [LEAD_STIFFNESS * (anchor[i] - position[i]) - LEAD_DAMPING * velocity[i] for i in range(3)]
    force[2] -= PRESS
    depth = WALL_Z - position[2]
    if depth > 0:
        force[2] += max(0.0, WALL_STIFFNESS * depth - WALL_DAMPING * velocity[2])
    norm = math.sqrt(sum(f * f for f in force))
    return [f * MAX_FORCE / norm for f in force] if norm > MAX_FORCE else force


def python_loop(port: str, rate_hz: float, seconds: float, stop: threading.Event) -> ArmRun:
    run = ArmRun("Python loop")
    arm = api.Velkin3(api.SerialStream(port))
    if arm.device_wakeup()[1] == 0:
        run.stopped_why = "the arm did not answer the wake-up"
        return run
    starts: list[float] = []
    positions: list[list[float]] = []
    position, velocity = arm.end_effector_force([0.0, 0.0, 0.0])
    period = 1.0 / rate_hz
    begin = deadline = time.monotonic()
    while not stop.is_set():
        now = time.monotonic()
        if now - begin >= seconds:
            break
        starts.append(now - begin)
        position, velocity = arm.end_effector_force(python_force(now - begin, position, velocity))
        positions.append(position)
        if time.monotonic() - now > 0.5:  # ran into the one-second read time-out
            run.stopped_why = "the arm stopped answering"
            break
        deadline += period
        time.sleep(max(0.0, deadline - time.monotonic()))
    arm.end_effector_force([0.0, 0.0, 0.0])  # leave it without force
    run.times, run.positions = np.array(starts), np.array(positions).reshape(-1, 3)
    periods = np.sort(run.periods_us())
    if len(periods):
        run.rate_hz = (len(starts) - 1) / (starts[-1] - starts[0])
        run.period_p50_us = float(np.percentile(periods, 50))
        run.period_p99_us = float(np.percentile(periods, 99))
        run.late_cycles = int((periods > 1.5e6 / rate_hz).sum())
    return run


# --- the handle ------------------------------------------------------------------------------


class HandleSession:
    def __init__(self, port: str) -> None:
        self.reader = tamro.HandleReader(port, rate_hz=200.0)
        self.sent = 0
        self.echoed = 0
        self.last_byte = -1

    def identity(self) -> str:
        info = self.reader.info
        return (
            f"device id {info['device_id']}, model {info['device_model_number']}, "
            f"hardware {info['hardware_version']}, firmware {info['firmware_version']}, "
            f"tool data remaining {info['tool_data_remaining']}"
        )

    def steer(self) -> None:
        if self.reader.fault is not None:
            return
        status = self.reader.latest()
        if self.last_byte >= 0 and status.user_data == bytes([self.last_byte]):
            self.echoed += 1
            self.last_byte = -1
        if self.last_byte < 0:  # one byte in flight at a time: each echo is counted once
            self.last_byte = self.sent & 0xFF
            self.reader.send_user_data(bytes([self.last_byte]))
            self.sent += 1

    def live(self) -> str:
        if self.reader.fault is not None:
            return "handle stopped"
        status = self.reader.latest()
        q = " ".join(f"{c:+.2f}" for c in status.quaternion)
        return (
            f"handle {self.reader.stats()['rate_hz']:5.1f}/s q {q} hall {status.hall_effect_sensor_level:3d}"
        )

    def summary(self) -> list[str]:
        stats = self.reader.stats()
        fault = self.reader.fault
        line = (
            f"{stats['messages']} status messages, {stats['rate_hz']:.1f}/s, "
            f"latency p50 {stats['latency_p50_us']:.0f} us, p99 {stats['latency_p99_us']:.0f} us, "
            f"user data echoed {self.echoed}/{self.sent}"
        )
        lines = [line + (f"; stopped: {fault.strerror}" if fault else "")]
        if fault is None:
            status = self.reader.latest()
            q = ", ".join(f"{c:+.3f}" for c in status.quaternion)
            lines.append(f"q ({q}) level {status.hall_effect_sensor_level}")
        self.reader.close()
        return lines


# --- the session ---------------------------------------------------------------------------------


def find_ports(args: argparse.Namespace) -> tuple[str | None, str | None]:
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


def open_devices(
    arm_port: str | None, handle_port: str | None, rate_hz: float, wall: tamro.Effect
) -> tuple[Any, Any]:
    arm = handle = None
    if arm_port:
        try:
            arm = ServoArm(arm_port, rate_hz, wall)
            print(f"arm     {arm_port}: {arm.identity()}")
        except OSError as error:
            print(f"arm     {arm_port}: {error.strerror}; not driving it")
    if handle_port:
        try:
            handle = HandleSession(handle_port)
            print(f"handle  {handle_port}: {handle.identity()}")
        except OSError as error:
            print(f"handle  {handle_port}: {error.strerror}; not reading it")
    return arm, handle


def summary_table(runs: list[ArmRun]) -> list[str]:
    rows: list[tuple[str, Callable[[ArmRun], str]]] = [
        ("rate", lambda r: f"{r.rate_hz:.1f} Hz"),
        ("period p50 / p99", lambda r: f"{r.period_p50_us:.0f} / {r.period_p99_us:.0f} us"),
        ("late cycles (> 1.5 periods)", lambda r: f"{r.late_cycles} of {len(r.times)}"),
        ("deepest in the wall, after 1 s", lambda r: f"{r.deepest_mm():.1f} mm"),
        ("end effector at the end", lambda r: r.last_position_mm()),
    ]
    lines = [f"{'':30}" + "".join(f"{r.name:>26}" for r in runs)]
    for label, value in rows:
        lines.append(f"{label:30}" + "".join(f"{value(r):>26}" for r in runs))
    for r in runs:
        if r.stopped_why:
            lines.append(f"{r.name} stopped: {r.stopped_why}")
    return lines


def plot(filename: str, runs: list[ArmRun]) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print(
            f"Not plotting to {filename}: matplotlib is not installed "
            "(pip install matplotlib, or the package's 'plot' extra)."
        )
        return
    figure, (top, middle, bottom) = plt.subplots(3, 1, figsize=(8, 11))
    for run in runs:
        if len(run.positions):
            top.plot(run.positions[:, 0] * 1e3, run.positions[:, 1] * 1e3, label=run.name)
            middle.plot(run.times, run.positions[:, 2] * 1e3, label=run.name)
    anchors = [a for run in runs for a in run.anchors]
    if anchors:
        top.plot(
            [a[1] * 1e3 for a in anchors], [a[2] * 1e3 for a in anchors], ":", label="hand (spring anchor)"
        )
    top.set(title="End effector, seen from above", xlabel="x (mm)", ylabel="y (mm)", aspect="equal")
    top.legend(loc="upper right")
    middle.axhline(WALL_Z * 1e3, color="grey", linestyle="--", label="wall")
    middle.set(title="Height", xlabel="time (s)", ylabel="z (mm)")
    middle.legend(loc="upper right")
    periods = [(run.name, run.periods_us()) for run in runs if len(run.times) > 1]
    if periods:
        low = max(1.0, min(float(p.min()) for _, p in periods))
        high = max(float(p.max()) for _, p in periods) * 1.01
        edges = np.geomspace(low, high, 81)
        for name, p in periods:
            bottom.hist(p, bins=edges, alpha=0.6, label=name)
        bottom.legend(loc="upper right")
    bottom.set(title="Loop period", xlabel="period (us)", ylabel="cycles", xscale="log", yscale="log")
    figure.tight_layout()
    figure.savefig(filename)
    print(f"Plot saved to {filename}")


def session(args: argparse.Namespace, arm_port: str | None, handle_port: str | None) -> int:
    try:
        wall = surface(args.mesh, args.mesh_scale)
    except (OSError, ValueError, ImportError) as error:
        print(f"--mesh {args.mesh}: {error}")
        return 2
    arm, handle = open_devices(arm_port, handle_port, args.rate_hz, wall)
    if arm is None and handle is None:
        print("Nothing to drive.")
        return 1
    stop = threading.Event()
    busy = threading.Thread(target=busy_work, args=(stop,), daemon=True) if args.busy else None
    if busy:
        busy.start()
        print("A busy Python thread computes alongside (--busy).")
    servo_seconds = args.seconds / 2 if (args.python_loop and arm) else args.seconds
    if arm:
        shape = f"a mesh ({args.mesh})" if args.mesh else "a wall"
        print(
            f"Arm: servo loop at {args.rate_hz:g} Hz; {shape} at z = {WALL_Z * 1e3:.0f} mm and a spring "
            f"led round a {LEAD_RADIUS * 1e3:.0f} mm circle"
        )
        arm.start(servo_seconds)
    live_terminal = sys.stdout.isatty()
    width = shutil.get_terminal_size().columns - 1  # a wrapped line would defeat the carriage return
    started = time.monotonic()
    next_print = started
    runs: list[ArmRun] = []
    try:
        while time.monotonic() - started < servo_seconds:
            now = time.monotonic()
            if arm:
                arm.steer(now)
            if handle:
                handle.steer()
            if now >= next_print:
                line = " | ".join(s.live() for s in (arm, handle) if s is not None)
                if live_terminal:
                    print("\r" + line[:width], end="\x1b[K", flush=True)
                else:
                    print(line, flush=True)
                next_print = now + (0.1 if live_terminal else 1.0)
            time.sleep(1.0 / STEER_HZ)
        if live_terminal:
            print()
        if arm:
            runs.append(arm.finish())
            if args.python_loop and arm_port:
                print(
                    f"Arm: the same scene from a Python loop over end_effector_force at {args.rate_hz:g} Hz"
                )
                runs.append(python_loop(arm_port, args.rate_hz, args.seconds - servo_seconds, stop))
    except KeyboardInterrupt:
        print()
        if arm and not runs:
            runs.append(arm.finish())
    finally:
        stop.set()
    print(f"Summary ({time.monotonic() - started:.1f} s{', with a busy Python thread' if busy else ''})")
    if runs:
        print(f"  arm     {arm_port}")
        for line in summary_table(runs):
            print("    " + line)
    if handle:
        print(f"  handle  {handle_port}")
        for line in handle.summary():
            print("    " + line)
    if args.plot and runs:
        plot(args.plot, runs)
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
    parser.add_argument("--rate-hz", type=float, default=1000.0, help="servo loop rate (default 1000)")
    parser.add_argument("--busy", action="store_true", help="add a busy Python thread")
    parser.add_argument(
        "--python-loop", action="store_true", help="also drive the arm from a Python loop, for comparison"
    )
    parser.add_argument("--plot", metavar="FILE.png", help="save the trajectory and the period histogram")
    parser.add_argument(
        "--mesh",
        metavar="torus|bumps|PATH",
        help="touch a triangle mesh instead of the flat wall: a generated torus or bumpy sheet, or a file",
    )
    parser.add_argument(
        "--mesh-scale", type=float, default=1.0, help="metres per unit of a mesh file (0.001 for millimetres)"
    )
    args = parser.parse_args(argv)
    if not args.rate_hz > 0:
        parser.error("--rate-hz must be above 0")
    print(f"tamro, device library {tamro.__version__}")
    arm_port, handle_port = find_ports(args)
    simulator: tamro.Simulator | None = None
    if arm_port is None and handle_port is None:
        if not args.simulate:
            print("No arm or handle is attached: using the simulator instead.")
        try:
            simulator = tamro.Simulator(arms=1, handles=1)
        except (FileNotFoundError, RuntimeError) as error:
            print(f"Cannot start the simulator: {error}")
            return 1
        arm_port, handle_port = simulator.arms[0], simulator.handles[0]
        print(f"Simulator running: arm on {arm_port}, handle on {handle_port}")
    try:
        return session(args, arm_port, handle_port)
    finally:
        if simulator is not None:
            simulator.stop()


if __name__ == "__main__":
    sys.exit(main())
