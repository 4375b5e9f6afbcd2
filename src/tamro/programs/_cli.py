"""What the tamro-* programs share: their network options and the signals that stop them."""

from __future__ import annotations

import argparse
import contextlib
import signal
import threading
from collections.abc import Iterator

from tamro import network

__all__ = ["Signals", "add_network_options", "domain_id", "on_signals"]


def domain_id(text: str) -> int:
    """argparse's type for a DDS domain id: a whole number from 0 to the highest the network allows."""
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 0 <= value <= network.MAX_DOMAIN:
        raise argparse.ArgumentTypeError(f"must be from 0 to {network.MAX_DOMAIN}, not {value}")
    return value


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
    either comes."""

    def __init__(self) -> None:
        self.stop = threading.Event()
        self.report = False
        self._woken = threading.Event()

    def wait(self, timeout: float | None = None) -> None:
        self._woken.wait(timeout)
        self._woken.clear()

    def ask(self, number: int) -> None:
        if number == signal.SIGUSR1:
            self.report = True
        else:
            self.stop.set()
        self._woken.set()


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
