"""Recording what a namespace publishes: ``Capture``, the Python face of the native capture.

Receiving runs on a native thread: it makes a reader for every writer DDS announces under
``rt/<namespace>/`` whose type is in the network's table, takes each sample's serialized CDR
as it arrived and hands it over whole, with its times, through a fixed queue. ``take()`` drains
that queue in bulk; nothing in the receiving path waits for Python.
"""

from __future__ import annotations

import os
import struct
import threading
from dataclasses import dataclass
from typing import NamedTuple, TypedDict

from .. import _native
from .._values import whole
from ._security import find_enclave

__all__ = ["Capture", "CapturedTopic", "IgnoredTopic", "Sample"]

# A sample's head as the native queue lays it out: topic, size, received, published.
_HEAD = struct.Struct("<IIqq")
_ALIGN = 8


class CapturedTopic(TypedDict):
    """A recorded topic: its ROS 2 name and type, the QoS its first writer offered, and what it
    carried (``samples`` and ``bytes`` handed over; ``dropped``: the queue was full or the
    sample too large; ``lost``: DDS refused or missed them), and its matched writers now."""

    topic: str
    ros_type: str
    reliable: bool
    transient_local: bool
    keep_all: bool
    depth: int
    deadline_ns: int
    samples: int
    bytes: int
    dropped: int
    lost: int
    writers: int


@dataclass(frozen=True)
class IgnoredTopic:
    """A writer under the namespace that is not recorded, and why. ``topic`` and ``dds_type``
    are as the network announced them (decoded leniently; escape them before showing them)."""

    topic: str
    dds_type: str
    reason: str


class Sample(NamedTuple):
    """One sample: its topic's index in ``topics()``, when it was taken and when its writer
    sent it (nanoseconds since the epoch), and its serialized CDR as it arrived."""

    topic: int
    received: int
    published: int
    data: bytes


class Capture:
    """Records the topics published under ``/<namespace>/`` in DDS domain ``domain``.

    A context manager. ``queue_bytes`` is the hand-over between the receiving thread and
    ``take()``; ``max_sample`` the largest sample kept (larger ones are dropped and counted);
    ``history`` the samples DDS holds per topic before the thread takes them; ``keystore`` and
    ``enclave`` secure it as they do a ``Node`` (an observer's enclave suffices). Raises
    ``RuntimeError`` when this build has no network part or DDS refuses, ``ValueError`` or
    ``TypeError`` for invalid arguments."""

    def __init__(
        self,
        namespace: str,
        *,
        domain: int = 0,
        queue_bytes: int = 16 << 20,
        max_sample: int = 64 << 10,
        history: int = 1000,
        keystore: str | os.PathLike[str] | None = None,
        enclave: str | None = None,
    ) -> None:
        if not _native.HAVE_DDS:
            raise RuntimeError(
                "this build of tamro has no network part: build it with Cyclone DDS (cyclonedds-dev)"
            )
        if _HEAD.size != _native.SAMPLE_HEAD_SIZE:  # the layout lives in the library
            raise RuntimeError("tamro._native lays out samples differently: rebuild tamro")
        if not isinstance(namespace, str):
            raise TypeError(f"namespace must be a string, not {type(namespace).__name__}")
        self._lock = threading.Lock()
        found = find_enclave(keystore, enclave)
        self._native = _native.Capture(
            namespace,
            whole(domain, "domain"),
            whole(queue_bytes, "queue_bytes"),
            whole(max_sample, "max_sample"),
            whole(history, "history"),
            *(("", "/") if found is None else (str(found.directory), found.name)),
        )
        self._buffer = bytearray(max(1 << 20, 2 * int(self._native.max_record)))
        self._closed = False

    def take(self) -> list[Sample]:
        """The samples waiting, oldest first (at most about a mebibyte of them a call: call
        again until it returns none)."""
        with self._lock:
            used = int(self._native.take(self._buffer))
            view = memoryview(self._buffer)[:used]
            samples: list[Sample] = []
            at = 0
            while at < used:
                topic, size, received, published = _HEAD.unpack_from(view, at)
                start = at + _HEAD.size
                samples.append(Sample(topic, received, published, bytes(view[start : start + size])))
                at = start + -(-size // _ALIGN) * _ALIGN
            return samples

    def topics(self) -> list[CapturedTopic]:
        """Every topic recorded so far, in the order found (``Sample.topic`` indexes this)."""
        rows: list[CapturedTopic] = self._native.topics()
        return rows

    def ignored(self) -> list[IgnoredTopic]:
        """Writers under the namespace whose topics are not recorded, and why."""
        return [
            IgnoredTopic(topic.decode(errors="backslashreplace"), kind.decode(errors="backslashreplace"), why)
            for topic, kind, why in self._native.ignored()
        ]

    def unlisted(self) -> int:
        """Writers ignored once the list ``ignored()`` gives was full: counted, not named."""
        return int(self._native.unlisted())

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        """Stops receiving and leaves the domain; what was received can still be taken."""
        self._closed = True
        self._native.close()

    def __enter__(self) -> Capture:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()
