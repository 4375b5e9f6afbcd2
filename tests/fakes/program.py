"""A program of this package run as a child process (``python -m tamro.<module>``), its output
read line by line with deadlines: what the program tests wait on."""

from __future__ import annotations

import os
import select
import signal
import subprocess
import sys
import time
from collections.abc import Callable


class Program:
    """``python -m <module> <args>`` with its standard output and error piped."""

    def __init__(self, module: str, *args: str, env: dict[str, str] | None = None) -> None:
        self.process = subprocess.Popen(
            [sys.executable, "-m", module, *args],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=env,
        )
        self.lines: list[str] = []  # every whole line read so far
        self._taken: set[int] = set()  # of them, those a wait returned
        self._partial = b""

    def __enter__(self) -> Program:
        return self

    def __exit__(self, *exc: object) -> None:
        self.kill()

    def wait_for_line(self, wanted: Callable[[str], bool], timeout: float = 60.0) -> str:
        """The first line, in the order written, for which ``wanted`` is true and that no
        earlier wait returned; AssertionError with what was read when none comes in time."""
        deadline = time.monotonic() + timeout
        while True:
            for index, line in enumerate(self.lines):
                if index not in self._taken and wanted(line):
                    self._taken.add(index)
                    return line
            if not self._read(deadline - time.monotonic()):
                self.kill()
                _, err = self.process.communicate()
                raise AssertionError(f"no such line in {self.lines!r}; stderr {err.decode()!r}")

    def wait_for(self, text: str, timeout: float = 60.0) -> str:
        return self.wait_for_line(lambda line: line == text or line.startswith(text), timeout)

    def send(self, number: signal.Signals) -> None:
        self.process.send_signal(number)

    def stop(self, number: signal.Signals = signal.SIGINT, timeout: float = 30.0) -> list[str]:
        """Signals the program, waits for it to end well, and returns what it wrote after the
        lines a wait already returned."""
        seen = max(self._taken, default=-1)
        self.send(number)
        code, err = self.finish(timeout)
        assert code == 0, err
        return self.lines[seen + 1 :]

    def finish(self, timeout: float = 60.0) -> tuple[int, str]:
        """Waits for the program to end: its exit code, and its standard error. The rest of its
        output is in ``lines``."""
        deadline = time.monotonic() + timeout
        while self._read(deadline - time.monotonic()):
            pass
        assert self.process.stderr is not None
        code = self.process.wait(timeout=max(0.1, deadline - time.monotonic()))
        return code, self.process.stderr.read().decode()

    def kill(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def _read(self, timeout: float) -> bool:
        """Reads what the program wrote (from the descriptor: a buffered reader would hide whole
        lines from select); False at its end or when nothing came within timeout."""
        assert self.process.stdout is not None
        fd = self.process.stdout.fileno()
        ready, _, _ = select.select([fd], [], [], max(0.0, timeout))
        chunk = os.read(fd, 65536) if ready else b""
        if not chunk:
            return False
        *whole, self._partial = (self._partial + chunk).split(b"\n")
        self.lines += [line.decode() for line in whole]
        return True
