"""A fake device on a pseudo-terminal, for tests that drive the module.

The module opens ``fake_device.path`` as its serial port; the test plays the device on the
master side. What the library writes to descriptors 1 and 2 (C stdio and std::cout, not
sys.stdout) is captured with pytest's ``capfd`` fixture.
"""

from __future__ import annotations

import fcntl
import os
import select
import struct
import termios
import threading
import time
import tty
from concurrent.futures import Future


class FakeDevice:
    """The far end of a pseudo-terminal: ``feed`` is what the host reads, ``take`` what it wrote."""

    def __init__(self) -> None:
        self.master, self._slave = os.openpty()
        # Keep a descriptor of the device side open so the line stays up while the library
        # opens and closes its port; raw so no byte is translated or echoed.
        tty.setraw(self._slave)
        self.path = os.ttyname(self._slave)

    def feed(self, data: bytes) -> None:
        view = memoryview(bytes(data))
        while view:
            n = os.write(self.master, view)
            view = view[n:]

    def take(self, count: int, timeout: float = 2.0) -> bytes:
        """Up to ``count`` bytes the host wrote, waiting at most ``timeout`` seconds for them."""
        got = bytearray()
        deadline = time.monotonic() + timeout
        while len(got) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([self.master], [], [], left)
            if not ready:
                break
            try:
                chunk = os.read(self.master, count - len(got))
            except OSError:
                break
            if not chunk:
                break
            got += chunk
        return bytes(got)

    def silent(self, window: float = 0.05) -> bool:
        """True when the host writes nothing within ``window`` seconds."""
        ready, _, _ = select.select([self.master], [], [], window)
        return not ready

    def pending_input(self) -> int:
        """Bytes the device sent that the host has not read yet."""
        select.select([self._slave], [], [], 0)  # lets the line discipline take in what was just sent
        return struct.unpack("i", fcntl.ioctl(self._slave, termios.FIONREAD, b"\0" * 4))[0]

    def answer_after(self, request_length: int, reply: bytes, delay: float = 0.0) -> Future:
        """Once the host has written ``request_length`` bytes, send ``reply``.

        The returned future holds the request bytes as they were taken.
        """
        result: Future = Future()

        def run() -> None:
            request = self.take(request_length)
            if len(request) == request_length:
                if delay:
                    select.select([], [], [], delay)
                self.feed(reply)
            result.set_result(request)

        threading.Thread(target=run, daemon=True).start()
        return result

    def host_descriptors(self) -> int:
        """How many descriptors this process has open on the device side, besides our own:
        the ports the library holds open on it."""
        count = 0
        for name in os.listdir("/proc/self/fd"):
            if int(name) == self._slave:
                continue
            try:
                if os.readlink(f"/proc/self/fd/{name}") == self.path:
                    count += 1
            except OSError:
                pass  # closed while listing
        return count

    def hang_up(self) -> None:
        """The device goes away: the host's reads and writes fail from now on."""
        if self.master >= 0:
            os.close(self.master)
            self.master = -1

    def close(self) -> None:
        self.hang_up()
        if self._slave >= 0:
            os.close(self._slave)
            self._slave = -1


def wait_until(condition, timeout: float = 5.0) -> bool:
    """Whether condition() came true within timeout seconds (checked every millisecond)."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        select.select([], [], [], 0.001)
    return True


def floats(*values: float) -> bytes:
    """Little-endian binary32, as the devices send them."""
    return struct.pack(f"<{len(values)}f", *values)


class OtherThread:
    """A second Python thread that notes the time every 10 ms while the ``with`` block runs,
    to show whether the block let other threads run."""

    def __init__(self) -> None:
        self.ticks: list[float] = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run)

    def _run(self) -> None:
        while not self._stop.wait(0.01):
            self.ticks.append(time.monotonic())

    def __enter__(self) -> OtherThread:
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()

    def ran_between(self, start: float, end: float, margin: float = 0.2) -> bool:
        return any(start + margin < t < end - margin for t in self.ticks)
