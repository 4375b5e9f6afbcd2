"""What the tamro-* programs share: their network options and the signals that stop them."""

from __future__ import annotations

import argparse
import contextlib
import math
import os
import signal
import threading
from collections.abc import Callable, Iterable, Iterator

import tamro
from tamro import network

__all__ = [
    "Signals",
    "add_network_options",
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
    """``--domain`` and ``--loopback``, as every networked program takes them."""
    parser.add_argument(
        "--domain",
        type=domain_id,
        default=0,
        help=f"the DDS domain id, 0 to {network.MAX_DOMAIN} (default 0)",
    )
    parser.add_argument(
        "--loopback",
        action="store_true",
        help="keep DDS on this machine (the shipped loopback configuration) unless CYCLONEDDS_URI is set",
    )


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
