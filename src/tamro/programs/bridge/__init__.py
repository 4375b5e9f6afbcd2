"""tamro-bridge: the attached devices (or the simulator's) as ROS 2 topics over DDS, with no
ROS installed: a ROS 2 driver for the arm and the handle.

Each arm runs in a native servo loop that publishes ``measured_cp``, ``measured_cv`` and
``measured_cf``; with ``--commands`` (the default with a keystore) it also takes ``servo_cp``
(a coupling spring toward the target) and ``servo_cf`` (a force); each handle publishes its
orientation, sensor level and user data. The program prints one line per topic it serves,
then ``ready``; SIGUSR1 makes it print what it has published and taken so far, with the
commands it refused by reason (as ``dd`` does); Ctrl-C (or SIGTERM) brings the arms to zero
force, prints what it published and stops.

It says what it sees: the configuration in force at start (domain, interfaces, its security,
and who may command the arm), one line when a command topic's first sample arrives and when an
arm's commands engage or are lost, at most one line a second per topic and reason naming
refused samples and what was expected, a status line a second on a terminal
(``--status-json``: one JSON object a second, for scripts) and a summary at exit. See
docs/network.md.
"""

from __future__ import annotations

import argparse
import contextlib
import sys
import time
from collections.abc import Sequence
from typing import Any

from tamro import network
from tamro.handle import HandleReader
from tamro.servo import ServoLoop
from tamro.simulator import Simulator

from .._cli import (
    FAULT_POLL,
    RefusalReport,
    StatusOutput,
    add_network_options,
    add_status_options,
    apply_network_options,
    fault_of,
    force,
    in_lines,
    interfaces_words,
    network_lines,
    non_negative,
    on_signals,
    participant,
    rate,
    seconds,
    security_line,
)

__all__ = ["main"]


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tamro-bridge",
        description="Serve haptic devices as ROS 2 topics over DDS (Cyclone DDS), with no ROS installed.",
        epilog="Topics: /NAME/arm/measured_cp ... (see docs/network.md). The first arm is 'arm', "
        "the next 'arm2', ...; likewise 'handle', 'handle2'. Ctrl-C brings the arms to zero force.",
    )
    parser.add_argument("--name", required=True, help="the ROS 2 namespace, for example lab")
    parser.add_argument("--arm", metavar="PORT", action="append", default=[], help="an arm's serial port")
    parser.add_argument(
        "--handle", metavar="PORT", action="append", default=[], help="a handle's serial port"
    )
    parser.add_argument(
        "--simulate", action="store_true", help="also serve the simulator's devices (one arm, one handle)"
    )
    add_network_options(parser)
    parser.add_argument(
        "--commands",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="take servo_cp and servo_cf (default: only with a keystore, where only permitted "
        "writers match; without one, anyone who reaches the domain may command the arm)",
    )
    add_status_options(parser)
    parser.add_argument(
        "--publish-hz",
        metavar="HZ",
        type=rate,
        help="publish the measured topics at this rate (default: every cycle of the loop, every status)",
    )
    parser.add_argument(
        "--rate-hz", metavar="HZ", type=rate, default=1000.0, help="the servo loops' rate (default 1000)"
    )
    parser.add_argument(
        "--max-force", metavar="N", type=force, default=10.0, help="the largest force sent (default 10 N)"
    )
    parser.add_argument(
        "--servo-stiffness",
        metavar="K",
        type=non_negative,
        default=network.DEFAULT_STIFFNESS,
        help=f"servo_cp's coupling spring, N/m (default {network.DEFAULT_STIFFNESS:g})",
    )
    parser.add_argument(
        "--servo-damping",
        metavar="B",
        type=non_negative,
        default=network.DEFAULT_DAMPING,
        help=f"its damping, N s/m (default {network.DEFAULT_DAMPING:g})",
    )
    parser.add_argument(
        "--servo-timeout",
        metavar="S",
        type=seconds,
        default=network.DEFAULT_TIMEOUT,
        help="seconds without a command sample before its force fades to zero "
        f"(default {network.DEFAULT_TIMEOUT:g})",
    )
    parser.add_argument(
        "--servo-stamp-window",
        metavar="S",
        type=seconds,
        default=network.DEFAULT_STAMP_WINDOW,
        help="how far the stamp of a command stream's first sample may lie from this machine's "
        f"clock, seconds (default {network.DEFAULT_STAMP_WINDOW:g}; wider where clocks are not "
        "synchronised)",
    )
    return parser


def _qos_words(info: network.TopicInfo) -> str:
    words = ["reliable" if info["reliable"] else "best-effort", f"keep-last-{info['depth']}"]
    if info["deadline"]:
        words.append("deadline")
    return " ".join(words)


def _published(stats: list[network.TopicStats]) -> list[str]:
    """One line per topic published (samples written, and records dropped), then one per
    command topic (samples taken, refused by reason, and clamped)."""
    return [
        f"published {s['topic']} {s['samples']} dropped {s['dropped']}"
        for s in stats
        if s["direction"] == "out"
    ] + in_lines(stats)


class _Watch:
    """The changes worth a line: a command topic's first sample (a commanding peer found), and
    each arm's commands engaged, lost (fading to zero) and faded out."""

    def __init__(
        self, node: network.Node, arms: dict[str, ServoLoop], timeout: float, commands: bool
    ) -> None:
        self._node = node
        self._arms = arms
        self._commands = commands
        self._timeout = timeout
        self._heard: set[str] = set()
        self._modes = dict.fromkeys(arms, "waiting")
        self._cycles = {name: (loop.stats()["cycles"], time.monotonic()) for name, loop in arms.items()}

    def changes(self, stats: list[network.TopicStats]) -> list[str]:
        out = [
            f"first command on {s['topic']}"
            for s in stats
            if s["direction"] == "in" and s["samples"] > 0 and s["topic"] not in self._heard
        ]
        self._heard |= {s["topic"] for s in stats if s["direction"] == "in" and s["samples"] > 0}
        for name in self._arms if self._commands else ():
            mode, was = self._node.command_status(name).mode, self._modes[name]
            self._modes[name] = mode
            where = network.topic_name(self._node.namespace, name, "")[:-1]
            if mode == "engaged" and was != "engaged":
                out.append(f"{where}: commands engaged")
            elif mode == "fading" and was in ("engaging", "engaged"):
                out.append(
                    f"{where}: commands lost (none fresh for {self._timeout * 1e3:g} ms), fading to zero"
                )
            elif mode == "waiting" and was == "fading":
                out.append(f"{where}: commands faded out")
        return out

    def status(self, stats: list[network.TopicStats]) -> tuple[dict[str, Any], str]:
        arms: list[dict[str, Any]] = []
        for name, loop in self._arms.items():
            cycles, at = loop.stats()["cycles"], time.monotonic()
            before, then = self._cycles[name]
            self._cycles[name] = (cycles, at)
            mode, force = "off", [0.0, 0.0, 0.0]
            if self._commands:
                command = self._node.command_status(name)
                mode, force = command.mode, [round(float(f), 4) for f in command.force]
            arms.append(
                {
                    "name": name,
                    "rate_hz": round((cycles - before) / max(at - then, 1e-9), 1),
                    "mode": mode,
                    "force_n": force,
                }
            )
        topics = [
            {"topic": s["topic"], "taken": s["samples"], "refused": s["refused"], "clamped": s["clamped"]}
            for s in stats
            if s["direction"] == "in"
        ]
        line = "; ".join(
            [
                f"{a['name']} {a['rate_hz']:.0f} Hz, commands {a['mode']}, force "
                f"({', '.join(f'{f:.2f}' for f in a['force_n'])}) N"
                for a in arms
            ]
            + [f"{t['topic']} taken {t['taken']} refused {t['refused']}" for t in topics]
        )
        return {"time": time.time(), "arms": arms, "topics": topics}, line


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if not network.available():
        print(
            "tamro-bridge: this build of tamro has no network part (build it with Cyclone DDS)",
            file=sys.stderr,
        )
        return 2
    if not (args.arm or args.handle or args.simulate):
        print("tamro-bridge: nothing to serve: give --arm, --handle or --simulate", file=sys.stderr)
        return 2
    apply_network_options(args, parser)
    with contextlib.ExitStack() as stack, on_signals(report=True) as asked:
        try:
            arms, handles = list(args.arm), list(args.handle)
            if args.simulate:
                simulator = stack.enter_context(Simulator(arms=1, handles=1))
                arms += simulator.arms
                handles += simulator.handles
            node = stack.enter_context(network.Node(args.name, node_name="tamro_bridge", **participant(args)))
            # With credentials only permitted writers match; without, anyone could: off unless asked.
            commands = args.commands if args.commands is not None else node.enclave is not None
            lines: list[str] = []
            loops: dict[str, ServoLoop] = {}
            for index, port in enumerate(arms):
                name = "arm" if index == 0 else f"arm{index + 1}"
                loop = stack.enter_context(
                    ServoLoop(port, rate_hz=args.rate_hz, max_force=args.max_force, guard=True)
                )
                loops[name] = loop
                lines += _served(node.publish(loop, name, rate_hz=args.publish_hz), "arm")
                if commands:
                    lines += _served(
                        node.accept_commands(
                            loop,
                            name,
                            stiffness=args.servo_stiffness,
                            damping=args.servo_damping,
                            timeout=args.servo_timeout,
                            stamp_window=args.servo_stamp_window,
                        ),
                        "arm",
                    )
            for index, port in enumerate(handles):
                name = "handle" if index == 0 else f"handle{index + 1}"
                reader = stack.enter_context(HandleReader(port))
                lines += _served(node.publish(reader, name, rate_hz=args.publish_hz), "handle")
        except (OSError, ValueError, RuntimeError) as error:
            print(f"tamro-bridge: {error}", file=sys.stderr)
            return 1
        head = network_lines(args.domain) + [security_line(node.enclave)]
        for line in head + [_commands_line(commands, node.enclave is not None, args.domain)] + lines:
            print(line)
        print("ready", flush=True)
        watch = _Watch(node, loops, args.servo_timeout, commands)
        refusals = RefusalReport()
        status = StatusOutput(args.status_json)
        while not asked.stop.is_set():
            asked.wait(FAULT_POLL)
            fault = fault_of(loops.values())
            if fault is not None:
                # The loop has sent zero force already; a bridge that cannot render must not
                # stay up throwing its commands away.
                print(f"tamro-bridge: {fault}", file=sys.stderr, flush=True)
                return 1
            stats = node.stats()
            for line in watch.changes(stats) + refusals.lines(stats):
                print(line, flush=True)
            if asked.report:
                asked.report = False
                print("\n".join(_published(stats)), flush=True)
            if status.due():
                status.write(*watch.status(stats))
        # Leaving the block closes the node first, then the loops (each with a zero-force
        # exchange), then the simulator.
    print("\n".join(_published(node.stats())))
    print("stopped: the arms are at zero force", flush=True)
    return 0


def _commands_line(taken: bool, secured: bool, domain: int) -> str:
    """What the bridge does with commands, and who may send them."""
    if not taken:
        return "commands off: servo_cp and servo_cf are not read (give --commands to take them)"
    if secured:
        return "commands on: only writers the keystore's permissions allow are matched"
    return (
        f"commands open: anyone who reaches DDS domain {domain} (interfaces: {interfaces_words()}) may "
        "command the arm (no keystore: see 'Who may move the arm' in docs/network.md)"
    )


def _served(topics: list[str], device: str) -> list[str]:
    """One line per topic: direction, ROS 2 name, type and QoS."""
    lines = []
    for topic in topics:
        info = next(t for t in network.TOPICS if t["device"] == device and topic.endswith("/" + t["name"]))
        lines.append(f"{info['direction']:<3} {topic} {info['ros_type']} {_qos_words(info)}")
    return lines
