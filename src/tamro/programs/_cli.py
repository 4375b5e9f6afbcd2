"""What the tamro-* programs share: their network options, the signals that stop them, and
what the networked ones say of what they see (configuration, changes, refusals, status)."""

from __future__ import annotations

import argparse
import contextlib
import json
import math
import os
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterable, Iterator
from typing import Any, TextIO, TypedDict

import tamro
from tamro import network
from tamro.terminal import shown

__all__ = [
    "RefusalReport",
    "Signals",
    "StatusOutput",
    "add_network_options",
    "add_status_options",
    "apply_network_options",
    "in_lines",
    "interfaces_words",
    "security_line",
    "network_lines",
    "domain_id",
    "fault_of",
    "force",
    "non_negative",
    "number",
    "on_signals",
    "rate",
    "seconds",
    "share",
]


def domain_id(text: str) -> int:
    """argparse's type for a DDS domain id: a whole number from 0 to the highest the network allows."""
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 0 <= value <= network.MAX_DOMAIN:
        raise argparse.ArgumentTypeError(f"must be from 0 to {network.MAX_DOMAIN}, not {value}")
    return value


def number(low: float, high: float, *, above: bool = False) -> Callable[[str], float]:
    """argparse's type for a finite number from ``low`` (or above it, with ``above``) to ``high``:
    anything else, ``nan``, ``inf`` and ``1e999`` included, is a one-line usage error (exit 2)."""
    bound = f"above {low:g}" if above else f"from {low:g}"

    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        if not math.isfinite(value) or value < low or (above and value == low) or value > high:
            raise argparse.ArgumentTypeError(f"must be a number {bound} to {high:g}, not {text!r}")
        return value

    parse.__name__ = "number"
    return parse


# The longest a program can be asked to wait: what threading's waits accept.
seconds = number(0.0, threading.TIMEOUT_MAX, above=True)
#: A finite number from zero (a stiffness, a damping), far from where arithmetic on it overflows.
non_negative = number(0.0, 1e300)
#: A rate in hertz: above zero, at most a megahertz (far beyond any loop's).
rate = number(0.0, 1e6, above=True)
#: A force limit in newtons: above zero, at most the device maximum the library enforces.
force = number(0.0, tamro.MAX_DEVICE_FORCE, above=True)
#: A share from 0 to 1 (a probability).
share = number(0.0, 1.0)


def add_network_options(parser: argparse.ArgumentParser | argparse._ArgumentGroup) -> None:
    """``--domain``, ``--loopback`` or ``--peer-address``, ``--keystore`` and ``--enclave``, as
    every networked program takes them (``apply_network_options`` acts on the second and third)."""
    parser.add_argument(
        "--domain",
        type=domain_id,
        default=0,
        help=f"the DDS domain id, 0 to {network.MAX_DOMAIN} (default 0)",
    )
    where = parser.add_mutually_exclusive_group()
    where.add_argument(
        "--loopback",
        action="store_true",
        help="keep DDS on this machine (the shipped loopback configuration) unless CYCLONEDDS_URI is set",
    )
    where.add_argument(
        "--peer-address",
        metavar="IPV4",
        help="two machines: this machine's processes on loopback, the other machine by unicast at "
        "this address (the shipped two-machine configuration; docs/network.md)",
    )
    parser.add_argument(
        "--keystore",
        metavar="DIR",
        help="join a secured domain with an enclave of this keystore (tamro-keystore; default: "
        "ROS_SECURITY_KEYSTORE when ROS_SECURITY_ENABLE=true)",
    )
    parser.add_argument(
        "--enclave",
        metavar="NAME",
        help="the keystore's enclave, for example /lab/bridge "
        "(default /; ROS_SECURITY_ENCLAVE_OVERRIDE wins)",
    )


def apply_network_options(args: argparse.Namespace, parser: argparse.ArgumentParser) -> None:
    """Points Cyclone DDS at the configuration ``--loopback`` or ``--peer-address`` ask for,
    before the first node; a peer address that cannot be used is a usage error (exit 2)."""
    if args.loopback:
        network.use_loopback()
    elif args.peer_address is not None:
        try:
            network.use_peer(args.peer_address)
        except ValueError as error:
            parser.error(f"--peer-address: {error}")


class Participant(TypedDict):
    """What every networked program gives its participant (``Node``, ``Capture``) from
    ``add_network_options``' arguments."""

    domain: int
    keystore: str | None
    enclave: str | None


def participant(args: argparse.Namespace) -> Participant:
    """The participant's domain and credentials, as the options gave them."""
    return Participant(domain=args.domain, keystore=args.keystore, enclave=args.enclave)


def add_status_options(parser: argparse.ArgumentParser | argparse._ArgumentGroup) -> None:
    """``--status-json``, as every program with a status line takes it."""
    parser.add_argument(
        "--status-json",
        action="store_true",
        help="print the status as one JSON object a second, one per line (for scripts); "
        "without it, a status line a second only when the output is a terminal",
    )


def network_lines(domain: int) -> list[str]:
    """The network configuration in force, one line each: where Cyclone DDS's configuration
    comes from, the domain, and the interfaces that configuration keeps DDS to."""
    uri = os.environ.get("CYCLONEDDS_URI")
    return [
        f"config {shown(uri) if uri else 'Cyclone DDS defaults (every interface, multicast)'}",
        f"domain {domain}",
        f"interfaces {interfaces_words()}",
    ]


def security_line(enclave: network.Enclave | None) -> str:
    """The credentials a participant joined with, or that it has none."""
    if enclave is None:
        return "security none (an open participant: anyone who reaches the domain sees and joins it)"
    return f"security enclave {shown(enclave.name)} ({shown(str(enclave.directory))})"


def interfaces_words() -> str:
    """The interfaces Cyclone DDS's configuration keeps DDS to, in words."""
    interfaces = network.configured_interfaces()
    if interfaces is None:
        return "chosen by Cyclone DDS (the configuration names none)"
    if interfaces == ["lo"]:
        return "lo (loopback: this machine only)"
    used = " ".join("auto (chosen by Cyclone DDS)" if n == "auto" else shown(n) for n in interfaces)
    if os.environ.get("CYCLONEDDS_URI") == network.TWO_MACHINES_CONFIG.as_uri():
        used += f", peer {shown(os.environ.get(network.PEER_VARIABLE, ''))}"
    return used


def in_lines(stats: Iterable[network.TopicStats]) -> list[str]:
    """One line per command topic: samples taken and refused, the refusals by reason (every
    reason, in the library's order), and forces clamped."""
    return [
        f"in {s['topic']} taken {s['samples']} refused {s['refused']} ("
        + ", ".join(f"{reason} {s['reasons'].get(reason, 0)}" for reason in network.REFUSAL_REASONS)
        + f") clamped {s['clamped']}"
        for s in stats
        if s["direction"] == "in"
    ]


class RefusalReport:
    """Lines that name the command samples refused (and clamped) since the last, at most one a
    second per topic and reason: ``refused 120 samples on /lab/arm/servo_cp: frame 'world',
    expected 'lab/arm_base' or empty``. Read from the node's counters, in the program's thread."""

    INTERVAL = 1.0

    def __init__(self) -> None:
        self._told: dict[tuple[str, str], int] = {}
        self._at: dict[tuple[str, str], float] = {}

    def lines(self, stats: Iterable[network.TopicStats], now: float | None = None) -> list[str]:
        now = time.monotonic() if now is None else now
        out: list[str] = []
        for s in stats:
            if s["direction"] != "in":
                continue
            counts = dict(s["reasons"], clamped=s["clamped"])
            for reason, count in counts.items():
                key = (s["topic"], reason)
                new = count - self._told.get(key, 0)
                if new <= 0 or now - self._at.get(key, -math.inf) < self.INTERVAL:
                    continue
                self._told[key], self._at[key] = count, now
                out.append(self._line(s, reason, new))
        return out

    @staticmethod
    def _line(s: network.TopicStats, reason: str, count: int) -> str:
        if reason == "clamped":
            return f"clamped {count} samples on {s['topic']}: force above max_force, scaled down to it"
        what = network.REFUSAL_REASONS.get(reason, reason)
        if reason == "frame":
            what = f"frame '{shown(s['refused_frame'])}'"
        expected = s["expected"].get(reason, "")
        return f"refused {count} samples on {s['topic']}: {what}" + (
            f", expected {expected}" if expected else ""
        )


class StatusOutput:
    """The status once a second: a line when the output is a terminal, one JSON object per line
    with ``--status-json``, nothing otherwise."""

    INTERVAL = 1.0

    def __init__(self, as_json: bool, stream: TextIO | None = None) -> None:
        self._stream = sys.stdout if stream is None else stream
        self._json = as_json
        self.enabled = as_json or self._stream.isatty()
        self._next = time.monotonic() + self.INTERVAL

    def due(self, now: float | None = None) -> bool:
        """Whether a status is due (and, if so, the next one a second on)."""
        now = time.monotonic() if now is None else now
        if not self.enabled or now < self._next:
            return False
        self._next = max(self._next + self.INTERVAL, now)
        return True

    def write(self, status: dict[str, Any], line: str) -> None:
        text = json.dumps(status, separators=(",", ":")) if self._json else f"status: {line}"
        print(text, file=self._stream, flush=True)


class Signals:
    """What the signals asked for: ``stop`` (Ctrl-C, SIGTERM; an Event, so a program can wait on
    it with a time-out) and ``report`` (SIGUSR1, where asked for). ``wait()`` returns as soon as
    either comes.

    The handler only writes the signal's number to a pipe; a thread of its own sets the events.
    Setting an Event in the handler itself could deadlock: the handler runs in the main thread,
    which may be holding that Event's lock inside its own ``wait()``."""

    def __init__(self) -> None:
        self.stop = threading.Event()
        self.report = False
        self._woken = threading.Event()
        self._read, self._write = os.pipe()
        self._relay = threading.Thread(target=self._deliver_all, name="signals", daemon=True)
        self._relay.start()

    def wait(self, timeout: float | None = None) -> None:
        self._woken.wait(timeout)
        self._woken.clear()

    def ask(self, number: int) -> None:
        """From the signal handler: one write, no lock."""
        os.write(self._write, bytes([number]))

    def close(self) -> None:
        os.close(self._write)  # the relay reads the end and leaves
        self._relay.join(timeout=5)
        os.close(self._read)

    def _deliver_all(self) -> None:
        while chunk := os.read(self._read, 64):
            for number in chunk:
                if number == signal.SIGUSR1:
                    self.report = True
                else:
                    self.stop.set()
                self._woken.set()


# How often a program looks at its loops' faults while it waits for a signal: a fault latches
# in the loop (which has already sent zero force); the program only has to say so and end.
FAULT_POLL = 0.05


def fault_of(loops: Iterable[tamro.ServoLoop]) -> str | None:
    """The first latched fault among ``loops``, as one line (what, which port, how many failed
    exchanges), or None while every loop runs."""
    for loop in loops:
        fault = loop.fault
        if fault is not None:
            failed = loop.stats()["failed_exchanges"]
            return f"the arm on {fault.filename} gave up after {failed} failed exchanges: {fault.strerror}"
    return None


@contextlib.contextmanager
def on_signals(*, report: bool = False) -> Iterator[Signals]:
    """Ctrl-C and SIGTERM (and SIGUSR1 with ``report``) recorded in a ``Signals`` instead of
    their defaults, for the time of the block."""
    asked = Signals()
    numbers = [signal.SIGINT, signal.SIGTERM] + ([signal.SIGUSR1] if report else [])
    previous = {number: signal.signal(number, lambda n, _: asked.ask(n)) for number in numbers}
    try:
        yield asked
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
        asked.close()
