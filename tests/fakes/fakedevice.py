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


# Wire values the fakes speak (the library's Messages.hpp is the one definition; these few are
# what a test device has to know to answer).
WAKE_UP, DEVICE_INFO, FORCE_REQUEST, END_EFFECTOR_STATE = 10, 11, 42, 43
HANDLE_INFO, HANDLE_STATUS, HANDLE_STATE, HANDLE_ERROR = 208, 218, 219, 223
# Device-info reply: id 0x1234, model 4, hardware 2, firmware 7, uuid bytes 00 01 .. 0F.
DEVICE_INFO_REPLY = bytes.fromhex("0B 34 12 04 02 07") + bytes(range(16))
# Handle information message: id 0x1234, tool data remaining 9, model 2, hardware 5, firmware 6.
HANDLE_INFO_MESSAGE = bytes([HANDLE_INFO, 0x34, 0x12, 9, 2, 5, 6])


def state_reply(position: tuple[float, float, float], velocity: tuple[float, float, float]) -> bytes:
    return bytes([END_EFFECTOR_STATE]) + floats(*position, *velocity)


def counting_position(n: int) -> tuple[float, float, float]:
    return (1e-6 * n, -1e-6 * n, 0.05)


def counting_velocity(n: int) -> tuple[float, float, float]:
    return (1e-5 * n, 0.0, 0.0)


def counting_reply(n: int, force: tuple[float, float, float]) -> bytes | None:
    """Request n is answered with position (n, -n, 50 000) micrometres and velocity (n / 100,
    0, 0) mm/s, so every reply tells which request it answers, and stays a state an arm can
    have (within its workspace, slow) for the first 100 000 requests."""
    return state_reply(counting_position(n), counting_velocity(n))


def handle_status(hall: int, w: float, user_data: bytes = b"", error_flag: int = 0) -> bytes:
    """A status message of device 0x1234 with quaternion (w, 0, 0, 1 - w)."""
    return struct.pack(
        "<BHBB4fB", HANDLE_STATUS, 0x1234, error_flag, hall, w, 0.0, 0.0, 1 - w, len(user_data)
    ) + (user_data)


def handle_error(code: int) -> bytes:
    return bytes([HANDLE_ERROR, 0x34, 0x12, code])


def counting_status(n: int) -> bytes | None:
    """Status n: Hall level n % 256, quaternion (n / 1000, 0, 0, 1 - n / 1000)."""
    return handle_status(n % 256, n / 1000)


class ServedFakeDevice(FakeDevice):
    """A fake device that answers by itself: a thread takes what the host writes and hands it
    to ``answer(pending)``, which returns how many bytes it used (0: wait for more).

    ``late(n)`` gives how many seconds late the device sends its ``n``-th answer (from 0,
    whatever it answers); answers still go out in order, as a device's would."""

    def __init__(self, late=None) -> None:
        super().__init__()
        self.late = late
        self._answers = 0
        self._due: list[tuple[float, bytes]] = []  # answers not yet sent, in order
        self._arrived = threading.Condition()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def answer(self, pending: bytes) -> int:
        raise NotImplementedError

    def send(self, data: bytes) -> None:
        """Answers the request being served: now, or as late as ``late`` says."""
        delay = self.late(self._answers) if self.late else 0.0
        self._answers += 1
        if delay <= 0 and not self._due:
            self.feed(data)
            return
        after = self._due[-1][0] if self._due else 0.0
        self._due.append((max(time.monotonic() + delay, after), data))

    def _send_due(self) -> float:
        """Sends the answers whose time has come; the seconds until the next one (or 0.01)."""
        while self._due and self._due[0][0] <= time.monotonic():
            self.feed(self._due.pop(0)[1])
        return min(0.01, max(0.0, self._due[0][0] - time.monotonic())) if self._due else 0.01

    def _serve(self) -> None:
        pending = b""
        while not self._stop.is_set():
            try:
                wait = self._send_due()
                ready, _, _ = select.select([self.master], [], [], wait)
            except (OSError, ValueError):  # hung up: the master is closed
                return
            if not ready:
                continue
            try:
                pending += os.read(self.master, 4096)
            except OSError:
                return
            while pending:
                with self._arrived:
                    used = self.answer(pending)
                    self._arrived.notify_all()
                if used == 0:
                    break
                pending = pending[used:]

    def wait_for(self, ready, timeout: float = 5.0) -> bool:
        """Waits until ``ready()`` holds, checked whenever the device took a request."""
        with self._arrived:
            return self._arrived.wait_for(ready, timeout)

    def close(self) -> None:
        self._stop.set()
        if self._thread.is_alive():
            self._thread.join()
        super().close()


class FakeArm(ServedFakeDevice):
    """A fake arm: answers the wake-up with ``info`` (``DEVICE_INFO_REPLY``), each force request
    with ``reply(n, force)`` (nothing when it returns None), ``late(n)`` seconds late if given
    (see ``ServedFakeDevice``). ``forces`` holds every force it was sent, in order; with
    ``counting_reply`` every reply tells which force request it answers."""

    def __init__(
        self, reply=counting_reply, answer_wake_up: bool = True, late=None, info: bytes = DEVICE_INFO_REPLY
    ) -> None:
        self.reply = reply
        self.answer_wake_up = answer_wake_up
        self.info = info
        self.forces: list[tuple[float, float, float]] = []
        self.wake_ups = 0
        super().__init__(late)

    def answer(self, pending: bytes) -> int:
        code = pending[0]
        if code == FORCE_REQUEST:
            if len(pending) < 13:
                return 0
            force = struct.unpack("<3f", pending[1:13])
            self.forces.append(force)
            answer = self.reply(len(self.forces) - 1, force)
            if answer:
                self.send(answer)
            return 13
        if code == WAKE_UP:
            self.wake_ups += 1
            if self.answer_wake_up:
                self.send(self.info)
        return 1

    def wait_for_forces(self, count: int, timeout: float = 5.0) -> bool:
        return self.wait_for(lambda: len(self.forces) >= count, timeout)

    def wait_for_zero_force_last(self, timeout: float = 2.0) -> bool:
        """Whether the last force it took is zero, within ``timeout``: a loop that lost the
        pairing writes its last zero-force request without waiting for the arm to take it."""
        return self.wait_for(lambda: bool(self.forces) and self.forces[-1] == (0.0, 0.0, 0.0), timeout)

    def quiet(self, window: float) -> bool:
        """True when no force request arrives within ``window`` seconds."""
        before = len(self.forces)
        return not self.wait_for(lambda: len(self.forces) > before, window)


class FakeHandle(ServedFakeDevice):
    """A fake handle: answers the wake-up with ``wake_up_reply`` (its information message unless
    told otherwise) and each status request with ``reply(n)`` (nothing when it returns None).
    ``received`` holds every message the host wrote, one entry each."""

    def __init__(
        self,
        reply=counting_status,
        answer_wake_up: bool = True,
        wake_up_reply: bytes = HANDLE_INFO_MESSAGE,
        late=None,
    ) -> None:
        self.reply = reply
        self.answer_wake_up = answer_wake_up
        self.wake_up_reply = wake_up_reply
        self.received: list[bytes] = []
        self.status_requests = 0
        super().__init__(late)

    def answer(self, pending: bytes) -> int:
        code = pending[0]
        length = 1
        if code == HANDLE_STATE:
            if len(pending) < 4 or len(pending) < 4 + pending[3]:
                return 0
            length = 4 + pending[3]
        self.received.append(pending[:length])
        if code == WAKE_UP and self.answer_wake_up:
            self.send(self.wake_up_reply)
        elif code == HANDLE_STATUS:
            answer = self.reply(self.status_requests)
            self.status_requests += 1
            if answer:
                self.send(answer)
        return length

    def wait_for_requests(self, count: int, timeout: float = 5.0) -> bool:
        return self.wait_for(lambda: self.status_requests >= count, timeout)
