"""Simulated arms and handles for programs and tests without hardware.

``tamro.Simulator`` starts the ``tamro-simulator`` program (installed with this package) as a
child process, waits until its devices are up and stops it when the ``with`` block ends::

    with tamro.Simulator(arms=1, handles=1) as sim:
        with tamro.ServoLoop(sim.arms[0]) as loop:
            ...

``sim.arms`` and ``sim.handles`` are the port paths of the simulated devices, in order. The
simulator also stops when this process ends, however it ends: it watches the pipe on its
standard input, which the kernel closes with this process.
"""

from __future__ import annotations

import os
import select
import shutil
import signal
import subprocess
import sys
import time
import weakref
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path

from ._exit import Rank, at_exit
from .detection import detect_arms, detect_handles

__all__ = ["Simulator", "find_simulator", "attached_or_simulated", "Ports"]

PROGRAM = "tamro-simulator"

_running: weakref.WeakSet[Simulator] = weakref.WeakSet()


def find_simulator() -> str:
    """The path of the ``tamro-simulator`` program.

    Looked for in this order: the environment variable ``TAMRO_SIMULATOR``, beside the running
    interpreter (where the package installs it) and on ``PATH``. Raises ``FileNotFoundError``
    when there is none.
    """
    candidates: list[Path] = []
    if os.environ.get("TAMRO_SIMULATOR"):
        candidates.append(Path(os.environ["TAMRO_SIMULATOR"]))
    # Not resolved: in a virtual environment the interpreter is a link out of its bin folder.
    candidates.append(Path(sys.executable).parent / PROGRAM)
    on_path = shutil.which(PROGRAM)
    if on_path:
        candidates.append(Path(on_path))
    for candidate in candidates:
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return str(candidate)
    raise FileNotFoundError(
        f"{PROGRAM} not found: install this package (it brings the program), or name it in TAMRO_SIMULATOR"
    )


class Simulator:
    """A running ``tamro-simulator``: ``arms`` and ``handles`` are its port paths.

    Keyword arguments are the program's options: ``link_dir`` (links ``ttyACM0``... and
    ``ttyUSB0``... in that folder, a stable path per device), ``device_id``, ``uuid`` (32 hex
    digits), ``model``, ``delay_us`` and ``jitter_us`` (reply delay, as a USB link adds),
    ``rate_hz`` (steps per second for the arm's state-dependent commands); ``args`` are further
    command-line options. ``timeout`` bounds the wait for the devices. Raises
    ``FileNotFoundError`` when the program is missing and ``RuntimeError`` when it does not come
    up.
    """

    def __init__(
        self,
        arms: int = 1,
        handles: int = 1,
        *,
        link_dir: os.PathLike[str] | str | None = None,
        device_id: int | None = None,
        uuid: str | None = None,
        model: int | None = None,
        delay_us: int | None = None,
        jitter_us: int | None = None,
        rate_hz: int | None = None,
        args: Iterable[str] = (),
        timeout: float = 10.0,
    ) -> None:
        command = [find_simulator(), "--arms", str(arms), "--handles", str(handles), "--exit-with-stdin"]
        options = {
            "--link-dir": link_dir,
            "--device-id": device_id,
            "--uuid": uuid,
            "--model": model,
            "--delay-us": delay_us,
            "--jitter-us": jitter_us,
            "--rate-hz": rate_hz,
        }
        for option, value in options.items():
            if value is not None:
                command += [option, str(value)]
        command += list(args)
        self.arms: list[str] = []
        self.handles: list[str] = []
        # A session of its own: a Ctrl-C at the terminal stops the program using the simulator,
        # which then stops the simulator, rather than pulling the devices from under it.
        self.process = subprocess.Popen(
            command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, start_new_session=True
        )
        _running.add(self)
        try:
            self._read_devices(timeout)
        except BaseException:
            self.stop()
            raise

    def _read_devices(self, timeout: float) -> None:
        assert self.process.stdout is not None
        out = self.process.stdout.fileno()
        text = b""
        deadline = time.monotonic() + timeout
        while b"ready\n" not in text:
            left = deadline - time.monotonic()
            ready, _, _ = select.select([out], [], [], max(left, 0.0))
            if not ready:
                raise RuntimeError(f"{PROGRAM} not ready after {timeout} s; printed {text!r}")
            chunk = os.read(out, 4096)
            if not chunk:
                status = self.process.wait(timeout)
                raise RuntimeError(f"{PROGRAM} exited with status {status}; printed {text!r}")
            text += chunk
        for line in text.decode().splitlines():
            kind, _, path = line.partition(" ")
            if kind == "arm":
                self.arms.append(path)
            elif kind == "handle":
                self.handles.append(path)

    @property
    def running(self) -> bool:
        return self.process.poll() is None

    def stop(self, timeout: float = 10.0) -> int:
        """Stops the simulator (SIGTERM, then SIGKILL after ``timeout``) and returns its exit
        status; 0 is a clean exit. Stopping a stopped simulator returns the same status."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for pipe in (self.process.stdin, self.process.stdout):
            if pipe is not None:
                pipe.close()
        _running.discard(self)
        return self.process.returncode

    def __enter__(self) -> Simulator:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def __repr__(self) -> str:
        state = "running" if self.running else f"stopped ({self.process.returncode})"
        return f"<tamro.Simulator {state} arms={self.arms} handles={self.handles}>"


@dataclass
class Ports:
    """Port paths to drive: ``simulator`` is the simulator they belong to, or None for
    attached devices."""

    arms: list[str] = field(default_factory=list)
    handles: list[str] = field(default_factory=list)
    simulator: Simulator | None = None


@contextmanager
def attached_or_simulated(
    arms: int = 1, handles: int = 0, *, say: Callable[[str], None] = print
) -> Iterator[Ports]:
    """The ports of ``arms`` arms and ``handles`` handles: the attached ones that detection finds
    (about a second per silent serial port), or, when fewer are attached, those of a simulator
    started for the ``with`` block. ``say`` is told which it is, in one line::

        with tamro.attached_or_simulated(arms=1) as ports:
            loop = tamro.ServoLoop(ports.arms[0])
    """
    found_arms = detect_arms() if arms else []
    found_handles = detect_handles() if handles else []
    if len(found_arms) >= arms and len(found_handles) >= handles:
        say(f"Attached: {', '.join(found_arms[:arms] + found_handles[:handles])}")
        yield Ports(found_arms[:arms], found_handles[:handles])
        return
    wanted = " and ".join(
        f"{n} {kind}{'s' if n > 1 else ''}" for n, kind in ((arms, "arm"), (handles, "handle")) if n
    )
    say(f"Not enough devices attached for {wanted}: using the simulator (tamro-simulator) instead.")
    with Simulator(arms=arms, handles=handles) as simulator:
        yield Ports(simulator.arms, simulator.handles, simulator)


def _stop_all() -> None:
    for simulator in list(_running):
        simulator.stop()


at_exit(Rank.SIMULATORS, _stop_all)
