"""tamro-teleop: an arm coupled to another across the network, stable under delay, safe when
the link drops.

On each machine::

    tamro-teleop --name left --peer right --arm /dev/ttyACM0
    tamro-teleop --name right --peer left --arm /dev/ttyACM0

Each publishes its own arm under ``/<name>/arm/...`` (``measured_cp``, ``measured_cv``,
``measured_cf``, and the coupling's ``coupling_cf`` and ``coupling_energy``) and couples it to
the arm under ``/<peer>/arm/...``: any program that publishes ``measured_cp`` (and
``measured_cv``) there can lead it. It prints the configuration in force (domain,
interfaces, peer), one line saying what it couples to, then ``ready`` as soon as its own arm
runs and is published; until the peer's samples arrive the coupling renders nothing. Then
one line on each change (peer found, engaged, lost after N ms, re-engaged), a status line a
second on a terminal (``--status-json``: one JSON object a second, for scripts) and a
summary at exit. Ctrl-C (or SIGTERM) brings the arm to zero force.

``tamro-teleop --demo`` runs both sides on this machine, each in its own process with its own
simulated arm, moves the leader along a scripted path that touches a wall on the follower's
side, cuts the link near the end and prints the figures (``--json``: one JSON object). See
docs/teleoperation.md.
"""

from __future__ import annotations

import argparse
import contextlib
import math
import sys
import time
from collections.abc import Callable, Sequence
from typing import Any

from tamro import network
from tamro.coupling import (
    DEFAULT_DAMPING,
    DEFAULT_LINK_TIMEOUT,
    DEFAULT_STIFFNESS,
    Coupling,
    CouplingStatus,
    Impairment,
    coupling_status,
)
from tamro.servo import ServoLoop
from tamro.simulator import Simulator

from .._cli import (
    FAULT_POLL,
    StatusOutput,
    add_network_options,
    add_status_options,
    apply_network_options,
    fault_of,
    force,
    network_lines,
    non_negative,
    number,
    on_signals,
    participant,
    seconds,
    security_line,
    share,
)

__all__ = ["main"]


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tamro-teleop",
        description="Couple this machine's arm to another's across the network (ROS 2 topics over DDS).",
        epilog="Each side publishes /NAME/arm/... and follows /PEER/arm/measured_cp (and measured_cv). "
        "--demo runs both sides here on simulated arms. See docs/teleoperation.md.",
    )
    parser.add_argument("--name", help="this side's ROS 2 namespace, for example left")
    parser.add_argument("--peer", help="the namespace of the arm to couple to, for example right")
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--arm", metavar="PORT", help="the arm's serial port")
    source.add_argument("--simulate", action="store_true", help="run on a simulated arm")
    add_network_options(parser)
    add_status_options(parser)
    parser.add_argument(
        "--stiffness", metavar="K", type=non_negative, default=DEFAULT_STIFFNESS,
        help=f"the coupling spring, N/m (default {DEFAULT_STIFFNESS:g})",
    )  # fmt: skip
    parser.add_argument(
        "--damping", metavar="B", type=non_negative, default=DEFAULT_DAMPING,
        help=f"its damping on the velocity difference, N s/m (default {DEFAULT_DAMPING:g})",
    )  # fmt: skip
    parser.add_argument(
        "--no-passivity", action="store_true", help="observe the energy only: no passivity controller"
    )
    parser.add_argument(
        "--link-timeout", metavar="S", type=seconds, default=DEFAULT_LINK_TIMEOUT,
        help=f"seconds without a sample before the coupling fades out (default {DEFAULT_LINK_TIMEOUT:g})",
    )  # fmt: skip
    parser.add_argument(
        "--reflect", metavar="G", type=number(0.0, 10.0), default=0.0,
        help="also feel the peer's coupling force, reversed, times G (0 to 10; default 0)",
    )  # fmt: skip
    parser.add_argument(
        "--one-way", action="store_true",
        help="with --reflect: feel only the peer's force, never its pull (stiffness and damping 0)",
    )  # fmt: skip
    parser.add_argument(
        "--contact-model", metavar="ROLE", nargs="?", const="demo", choices=("estimate", "render", "demo"),
        help="model-mediated contact: 'estimate' on the side that touches (it publishes the plane it "
        "presses on), 'render' on the side a person holds (it renders that plane locally); with "
        "--demo, no ROLE: the follower estimates, the leader renders",
    )  # fmt: skip
    parser.add_argument("--max-force", metavar="N", type=force, default=10.0, help="default 10 N")
    parser.add_argument("--seconds", type=seconds, help="stop after this long (default: run until Ctrl-C)")
    demo = parser.add_argument_group("demo and test tools")
    demo.add_argument(
        "--demo", action="store_true", help="both sides on this machine, simulated; print the figures"
    )
    demo.add_argument("--json", action="store_true", help="with --demo: the figures as one JSON object")
    demo.add_argument(
        "--delay-ms", metavar="D", type=impairment_ms("delay"), default=0.0,
        help="impair the link: hold each received sample back D ms (a test tool; default 0)",
    )  # fmt: skip
    demo.add_argument(
        "--jitter-ms", metavar="J", type=impairment_ms("jitter"), default=0.0,
        help="and a random 0 to J ms more",
    )  # fmt: skip
    demo.add_argument(
        "--loss", metavar="P", type=share, default=0.0, help="and drop a share P (0 to 1) of them"
    )
    demo.add_argument("--demo-role", choices=("leader", "follower"), help=argparse.SUPPRESS)
    demo.add_argument("--demo-record", help=argparse.SUPPRESS)
    return parser


def impairment_ms(name: str) -> Callable[[str], float]:
    """argparse's type for an impairment's time in milliseconds, judged as Impairment judges it."""
    finite = number(-math.inf, math.inf)

    def parse(text: str) -> float:
        value = finite(text)
        try:
            Impairment(delay=value / 1e3) if name == "delay" else Impairment(jitter=value / 1e3)
        except ValueError as refused:
            raise argparse.ArgumentTypeError(f"{refused} (as milliseconds: {text!r})") from None
        return value

    return parse


def impairment_of(args: argparse.Namespace) -> Impairment:
    return Impairment(delay=args.delay_ms / 1e3, jitter=args.jitter_ms / 1e3, loss=args.loss)


def coupling_of(args: argparse.Namespace) -> Coupling:
    one_way = args.one_way
    model = args.contact_model
    return Coupling(
        0.0 if one_way else args.stiffness,
        0.0 if one_way else args.damping,
        passivity=not args.no_passivity,
        link_timeout=args.link_timeout,
        reflect=args.reflect,
        contact_model="off" if model in (None, "demo") else model,
    )


def describe(args: argparse.Namespace, impairment: Impairment) -> str:
    coupling = coupling_of(args)
    words = [
        f"coupling /{args.name}/arm to /{args.peer}/arm:",
        f"stiffness {coupling.stiffness:g} N/m, damping {coupling.damping:g} N s/m,",
        f"passivity {'on' if coupling.passivity else 'off'}, link timeout {coupling.link_timeout * 1e3:g} ms",
    ]
    if coupling.reflect:
        words.append(f", reflect {coupling.reflect:g}")
    if coupling.contact_model != "off":
        words.append(f", contact model: {coupling.contact_model}")
    if impairment.active:
        words.append(f", impaired link ({impairment.describe()})")
    return " ".join(words)


def _refused(status: CouplingStatus) -> int:
    c = status.counts
    return c["refused_value"] + c["refused_stamp"] + c["refused_flood"]


class LinkWatch:
    """What the coupling's link does, read from its status at each poll: a line on each change
    (peer found, engaged, lost after N ms, re-engaged), the status once a second, and the
    summary at exit."""

    def __init__(self, peer: str, loop: ServoLoop) -> None:
        self._peer = peer
        self._loop = loop
        self._found = False
        self._state = "waiting"
        self._lost = 0
        self._engaged_s = 0.0
        self._started = self._polled = time.monotonic()
        self._cycles = (loop.stats()["cycles"], self._started)

    def changes(self, status: CouplingStatus) -> list[str]:
        now = time.monotonic()
        if self._state == "engaged":
            self._engaged_s += now - self._polled
        self._polled = now
        out = []
        if not self._found and status.counts["taken"] > 0:
            self._found = True
            out.append(f"peer {self._peer} found")
        state, was = status.state, self._state
        self._state = state
        if state == "engaged" and was != "engaged":
            out.append("re-engaged" if self._lost else "engaged")
        elif state == "lost" and was != "lost":
            self._lost += 1
            out.append(f"lost after {status.sample_age * 1e3:.0f} ms without a sample")
        return out

    def status(self, status: CouplingStatus) -> tuple[dict[str, Any], str]:
        cycles, at = self._loop.stats()["cycles"], time.monotonic()
        rate = (cycles - self._cycles[0]) / max(at - self._cycles[1], 1e-9)
        self._cycles = (cycles, at)
        force = [round(float(f), 4) for f in status.force]
        figures: dict[str, Any] = {
            "time": time.time(),
            "rate_hz": round(rate, 1),
            "state": status.state,
            "mode": status.mode,
            "taken": status.counts["taken"],
            "refused": _refused(status),
            "force_n": force,
            "energy_in_j": status.energy_in,
            "energy_out_j": status.energy_out,
            "energy_dissipated_j": status.energy_dissipated,
        }
        line = (
            f"{rate:.0f} Hz, link {status.state} ({status.mode}), "
            f"taken {figures['taken']} refused {figures['refused']}, "
            f"force {math.sqrt(sum(f * f for f in force)):.2f} N, energy in {status.energy_in:.3f} "
            f"out {status.energy_out:.3f} dissipated {status.energy_dissipated:.3f} J"
        )
        return figures, line

    def summary(self, status: CouplingStatus) -> str:
        c = status.counts
        return (
            f"summary: engaged {self._engaged_s:.1f} s of {time.monotonic() - self._started:.1f} s, "
            f"lost {self._lost} times; samples taken {c['taken']} refused {_refused(status)} "
            f"(value {c['refused_value']}, stamp {c['refused_stamp']}, flood {c['refused_flood']}); "
            f"contact planes left out {c['refused_contact']}; "
            f"energy in {status.energy_in:.3f} J, out {status.energy_out:.3f} J, "
            f"dissipated {status.energy_dissipated:.3f} J"
        )


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if not network.available():
        print(
            "tamro-teleop: this build of tamro has no network part (build it with Cyclone DDS)",
            file=sys.stderr,
        )
        return 2
    try:
        impairment = impairment_of(args)
        coupling_of(args)
    except (ValueError, TypeError) as error:
        print(f"tamro-teleop: {error}", file=sys.stderr)
        return 2
    if args.contact_model == "demo" and not args.demo:
        print(
            "tamro-teleop: say --contact-model estimate (this side touches) or render (it is held)",
            file=sys.stderr,
        )
        return 2
    if args.demo:
        from ._demo import run_demo

        return run_demo(args)
    if not args.name or not args.peer:
        print("tamro-teleop: give --name and --peer (or --demo)", file=sys.stderr)
        return 2
    if not (args.arm or args.simulate):
        print("tamro-teleop: give --arm PORT or --simulate", file=sys.stderr)
        return 2
    if args.demo_role:
        network.use_loopback()
    apply_network_options(args, parser)
    if args.demo_role:
        from ._demo import run_side

        return run_side(args, impairment)
    with contextlib.ExitStack() as stack, on_signals() as asked:
        try:
            port = args.arm
            if args.simulate:
                port = stack.enter_context(Simulator(arms=1, handles=0)).arms[0]
            node = stack.enter_context(network.Node(args.name, node_name="tamro_teleop", **participant(args)))
            loop = stack.enter_context(ServoLoop(port, max_force=args.max_force, guard=True))
            loop.effects = [coupling_of(args)]
            node.publish(loop, "arm")
            node.couple(loop, "arm", args.peer, impairment=impairment)
        except (OSError, ValueError, RuntimeError) as error:
            print(f"tamro-teleop: {error}", file=sys.stderr)
            return 1
        peer = network.topic_name(args.peer, "arm", "")[:-1]
        for line in network_lines(args.domain) + [security_line(node.enclave)]:
            print(line)
        print(f"peer {peer} (following its measured_cp)")
        print(describe(args, impairment))
        print("ready", flush=True)
        watch = LinkWatch(peer, loop)
        status = StatusOutput(args.status_json)
        deadline = None if args.seconds is None else time.monotonic() + args.seconds
        while not asked.stop.is_set():
            left = FAULT_POLL if deadline is None else min(FAULT_POLL, deadline - time.monotonic())
            if left <= 0:
                break
            asked.stop.wait(left)
            fault = fault_of([loop])
            if fault is not None:
                print(f"tamro-teleop: {fault}", file=sys.stderr, flush=True)
                return 1
            now = coupling_status(loop)
            for line in watch.changes(now):
                print(line, flush=True)
            if status.due():
                status.write(*watch.status(now))
        print(watch.summary(coupling_status(loop)))
    print("stopped: the arm is at zero force", flush=True)
    return 0
