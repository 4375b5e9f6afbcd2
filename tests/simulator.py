"""Start and stop ``tamro-simulator`` (simulated Velkin3 arms and handles on pseudo-terminals).

Usage::

    from simulator import Simulator

    with Simulator(arms=1, handles=1) as sim:
        stream = TamroHardwareAPI.SerialStream(sim.arms[0])
        ...

``Simulator(arms=1, handles=1, link_dir=None, args=())`` starts the program and waits (at most
``timeout`` seconds, default 10) for it to print its devices and "ready"; ``sim.arms`` and
``sim.handles`` are then the pty paths, in order. ``link_dir`` makes it link ``ttyACM0``.. and
``ttyUSB0``.. in that folder to them, so the detection functions can find them there; ``args``
are further command-line options (``--delay-us``, ``--jitter-us``, ``--uuid``, ``--model``,
``--device-id``, ``--rate-hz``; see ``tamro-simulator --help``). ``stop()`` (called on leaving the
``with`` block) sends SIGTERM, waits for the exit and returns the exit status. The simulator also
exits by itself if this process dies, since it watches its standard input.

The program is looked for in this order: the environment variable TAMRO_SIMULATOR, next to the
running interpreter (where the package installs it), on PATH, build/native/Simulator, and any
build/*/Simulator of this checkout. ``find_simulator()`` returns that path; it raises
FileNotFoundError when there is none.
"""

from __future__ import annotations

import os
import select
import shutil
import signal
import subprocess
import sys
import time
from collections.abc import Iterable
from pathlib import Path

PROGRAM = "tamro-simulator"
REPOSITORY = Path(__file__).resolve().parent.parent


def find_simulator() -> str:
    candidates = []
    if os.environ.get("TAMRO_SIMULATOR"):
        candidates.append(Path(os.environ["TAMRO_SIMULATOR"]))
    # Not resolved: in a virtual environment the interpreter is a link out of its bin folder.
    candidates.append(Path(sys.executable).parent / PROGRAM)
    on_path = shutil.which(PROGRAM)
    if on_path:
        candidates.append(Path(on_path))
    candidates.append(REPOSITORY / "build" / "native" / "Simulator" / PROGRAM)
    others = sorted(
        REPOSITORY.glob(f"build/*/Simulator/{PROGRAM}"), key=lambda p: p.stat().st_mtime, reverse=True
    )
    candidates.extend(others)
    for candidate in candidates:
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return str(candidate)
    raise FileNotFoundError(f"{PROGRAM} not found (build it with `make build`, or set TAMRO_SIMULATOR)")


class Simulator:
    def __init__(
        self,
        arms: int = 1,
        handles: int = 1,
        link_dir: os.PathLike | str | None = None,
        args: Iterable[str] = (),
        timeout: float = 10.0,
    ) -> None:
        command = [find_simulator(), "--arms", str(arms), "--handles", str(handles), "--exit-with-stdin"]
        if link_dir is not None:
            command += ["--link-dir", str(link_dir)]
        command += list(args)
        self.arms: list[str] = []
        self.handles: list[str] = []
        # A session of its own: a Ctrl-C at the terminal stops the program using the simulator,
        # which then stops the simulator, rather than pulling the devices from under it.
        self.process = subprocess.Popen(
            command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, start_new_session=True
        )
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

    def stop(self, timeout: float = 10.0) -> int:
        """Stops the simulator (SIGTERM) and returns its exit status; 0 is a clean exit."""
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
        return self.process.returncode

    def __enter__(self) -> Simulator:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()
