"""tamro-record: records the ROS 2 topics published under a namespace (by ``tamro-bridge`` or
any ROS 2 node) into an MCAP file, with no ROS installed: ``ros2 bag record`` for the devices.

Receiving runs on a native thread (``tamro.network.Capture``): every writer under
``/<name>/`` whose type the recorder knows gets a reader, and each sample's CDR is kept as it
arrived, with its reception time (the MCAP log time) and its writer's time (the publish
time). This program writes them in chunks, one at least every second, so a crash loses at most
that; Ctrl-C or SIGTERM (or ``--seconds``) ends the file with its summary and index.
See docs/recording.md.
"""

from __future__ import annotations

import argparse
import contextlib
import errno
import math
import os
import shutil
import sys
import threading
import time
from collections.abc import Sequence
from typing import IO, BinaryIO

from tamro import network
from tamro.recording import Channels, McapWriter, known_type
from tamro.terminal import shown

from .._cli import add_network_options, apply_network_options, on_signals, participant, seconds

__all__ = ["main"]

FLUSH_SECONDS = 1.0  # a chunk ends at least this often: what a crash can lose
PUMP_SECONDS = 0.05  # how often the queue is drained
INCOMPLETE = 3  # exit status: the file is whole, but topics or writers were left out
TERMINAL_PROGRESS_SECONDS = 0.25
PLAIN_PROGRESS_SECONDS = 5.0


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tamro-record",
        description="Record the ROS 2 topics published under a namespace (by tamro-bridge or any "
        "ROS 2 node) into an MCAP file, with no ROS installed.",
        epilog="Ctrl-C (or SIGTERM) stops and completes the file. See docs/recording.md.",
    )
    parser.add_argument("--name", default="lab", help="the ROS 2 namespace to record (default lab)")
    parser.add_argument("--seconds", metavar="S", type=seconds, help="stop after S seconds (default: Ctrl-C)")
    parser.add_argument("-o", "--output", metavar="FILE.mcap", required=True, help="the file to write")
    parser.add_argument("--force", action="store_true", help="overwrite FILE if it exists")
    add_network_options(parser)
    return parser


def _qos_profile(topic: network.CapturedTopic) -> str:
    """The QoS the topic's writer offered, as rosbag2 writes it in a channel's
    ``offered_qos_profiles`` (a replay offers the same)."""
    infinite = "\n    sec: 2147483647\n    nsec: 4294967295"
    deadline = infinite
    if topic["deadline_ns"] >= 0:
        seconds, nanoseconds = divmod(topic["deadline_ns"], 1_000_000_000)
        deadline = f"\n    sec: {seconds}\n    nsec: {nanoseconds}"
    return (
        f"- history: {2 if topic['keep_all'] else 1}\n"
        f"  depth: {topic['depth']}\n"
        f"  reliability: {1 if topic['reliable'] else 2}\n"
        f"  durability: {1 if topic['transient_local'] else 2}\n"
        f"  deadline:{deadline}\n"
        f"  lifespan:{infinite}\n"
        "  liveliness: 1\n"
        f"  liveliness_lease_duration:{infinite}\n"
        "  avoid_ros_namespace_conventions: false"
    )


def _size(count: float) -> str:
    for unit in ("B", "kB", "MB", "GB"):
        if count < 1000 or unit == "GB":
            return f"{count:.0f} {unit}" if unit == "B" else f"{count:.1f} {unit}"
        count /= 1000
    raise AssertionError("unreachable")


class _Screen:
    """Where the program talks: lines, and on a terminal one progress line redrawn in place
    below them (elsewhere the progress comes as a plain line now and then)."""

    def __init__(self, out: IO[str]) -> None:
        self._out = out
        self._terminal = out.isatty()
        self._shown = False
        self._next = 0.0

    def line(self, text: str) -> None:
        self._clear()
        print(text, file=self._out, flush=True)

    def progress(self, text: str, now: float) -> None:
        if now < self._next:
            return
        if self._terminal:
            width = shutil.get_terminal_size().columns - 1
            self._out.write("\r\x1b[K" + text[:width])
            self._out.flush()
            self._shown = True
            self._next = now + TERMINAL_PROGRESS_SECONDS
        else:
            print(text, file=self._out, flush=True)
            self._next = now + PLAIN_PROGRESS_SECONDS

    def finish(self) -> None:
        self._clear()

    def _clear(self) -> None:
        if self._shown:
            self._out.write("\r\x1b[K")
            self._shown = False


class _Recording:
    """Moves what the capture received into the MCAP file, topic by topic."""

    def __init__(self, capture: network.Capture, writer: McapWriter, name: str, screen: _Screen) -> None:
        self._capture = capture
        self._writer = writer
        self._channels = Channels(writer)
        self._prefix = f"/{name}/"
        self._screen = screen
        self._topics: list[network.CapturedTopic] = []
        self._channel: dict[int, int] = {}  # topic index -> channel, once it has a message
        self._messages: dict[int, int] = {}
        self._bytes: dict[int, int] = {}
        self._writers: dict[int, int] = {}
        self._ignored: dict[tuple[str, str], str] = {}  # (topic, DDS type) -> why
        self._undescribed: dict[int, int] = {}  # topic index -> messages left out
        self._most_writers: dict[int, int] = {}  # topic index -> most writers matched at once

    def pump(self) -> None:
        """Writes everything waiting; announces new topics and writers that come and go."""
        while samples := self._capture.take():
            by_topic: dict[int, list[network.Sample]] = {}
            for sample in samples:
                by_topic.setdefault(sample.topic, []).append(sample)
            for index, group in by_topic.items():
                channel = self._channel_of(index)
                if channel is None:
                    self._undescribed[index] += len(group)
                    continue
                self._writer.add_messages(
                    channel,
                    [s.received for s in group],
                    [s.data for s in group],
                    publish_times=[s.published for s in group],
                )
                self._messages[index] += len(group)
                self._bytes[index] += sum(len(s.data) for s in group)
        self._notice()

    def _channel_of(self, index: int) -> int | None:
        if index not in self._channel:
            if index >= len(self._topics):
                self._topics = self._capture.topics()
            topic = self._topics[index]
            if not known_type(topic["ros_type"]):
                # A type of the library's table this program cannot describe: said once, counted.
                if index not in self._undescribed:
                    self._undescribed[index] = 0
                    self._screen.line(
                        f"not recording {shown(topic['topic'])} ({shown(topic['ros_type'])}): "
                        "its type has no definition in this recorder"
                    )
                return None
            metadata = {"offered_qos_profiles": _qos_profile(topic)}
            self._channel[index] = self._channels.add(topic["topic"], topic["ros_type"], metadata)
            self._messages[index] = self._bytes[index] = 0
            self._screen.line(f"recording {topic['topic']} {topic['ros_type']}")
        return self._channel[index]

    def _notice(self) -> None:
        self._topics = self._capture.topics()
        if self._capture.closed:
            return  # the writers went because the capture left, not the other way round
        for index, topic in enumerate(self._topics):
            before = self._writers.get(index)
            now = topic["writers"]
            if before is not None and (before > 0) != (now > 0) and index in self._channel:
                what = "writer back on" if now else "no writer left on"
                self._screen.line(f"{what} {topic['topic']}")
            self._writers[index] = now
            if now > max(1, self._most_writers.get(index, 0)):
                # Their messages share the topic's channel: whoever reads the file must know.
                self._screen.line(
                    f"{now} writers on {shown(topic['topic'])}: their messages are not told apart"
                )
            self._most_writers[index] = max(now, self._most_writers.get(index, 0))
        for ignored in self._capture.ignored():
            key = (ignored.topic, ignored.dds_type)
            if key not in self._ignored:
                self._ignored[key] = ignored.reason
                self._screen.line(
                    f"not recording {shown(ignored.topic)} ({shown(ignored.dds_type)}): {ignored.reason}"
                )

    def progress(self, seconds: float) -> str:
        messages = sum(self._messages.values())
        parts = [f"{seconds:.1f} s: {messages:,} messages, {_size(sum(self._bytes.values()))}"]
        for index in self._channel:
            short = self._topics[index]["topic"].removeprefix(self._prefix)
            parts.append(f"{short} {self._messages[index]:,} ({_size(self._bytes[index])})")
        lost = self.lost()
        if lost:
            parts.append(f"dropped {lost:,}")
        return " | ".join(parts)

    def lost(self) -> int:
        return sum(t["dropped"] + t["lost"] for t in self._topics)

    def report(self) -> list[str]:
        """One line per recorded topic: messages, bytes, and what was dropped or lost."""
        lines = []
        for index, topic in enumerate(self._topics):
            if index not in self._channel:
                continue
            lines.append(
                f"  {topic['topic']} {topic['ros_type']}: {self._messages[index]:,} messages, "
                f"{self._bytes[index]:,} bytes, {topic['dropped']} dropped, {topic['lost']} lost"
            )
        return lines

    def left_out(self) -> list[str]:
        """One line per topic or writer not recorded, with why (the recording is incomplete)."""
        lines = []
        for index, count in self._undescribed.items():
            topic = self._topics[index]
            lines.append(
                f"  not recorded {shown(topic['topic'])} ({shown(topic['ros_type'])}): {count:,} "
                "messages, its type has no definition in this recorder"
            )
        for (topic_name, dds_type), reason in self._ignored.items():
            lines.append(f"  not recorded {shown(topic_name)} ({shown(dds_type)}): {reason}")
        unlisted = self._capture.unlisted()
        if unlisted:
            lines.append(f"  not recorded: {unlisted:,} more writers (too many to name)")
        return lines

    def shared(self) -> list[str]:
        """One line per recorded topic that had more than one writer at once."""
        return [
            f"  {shown(self._topics[index]['topic'])} had {most} writers at once: "
            "their messages are in one channel, not told apart"
            for index, most in self._most_writers.items()
            if most > 1 and index < len(self._topics)
        ]

    @property
    def messages(self) -> int:
        return sum(self._messages.values())


def _fail(message: str) -> int:
    print(f"tamro-record: {message}", file=sys.stderr)
    return 1


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.seconds is not None and not (math.isfinite(args.seconds) and args.seconds > 0):
        parser.error("--seconds must be a number of seconds above 0")
    if not network.available():
        print(
            "tamro-record: this build of tamro has no network part (build it with Cyclone DDS)",
            file=sys.stderr,
        )
        return 2
    apply_network_options(args, parser)
    path = args.output
    with on_signals() as asked:
        stop = asked.stop
        try:
            network.check_ros_name(args.name)
            capture = network.Capture(args.name, **participant(args))
        except (ValueError, RuntimeError) as error:
            return _fail(str(error))
        with capture:
            try:
                # Exclusive unless told: an earlier recording is never lost to a typo.
                out = open(path, "wb" if args.force else "xb")  # noqa: SIM115 (closed below)
            except FileExistsError:
                if os.path.isdir(path):
                    return _fail(f"cannot write {path}: {os.strerror(errno.EISDIR)}")
                return _fail(f"{path} exists already (--force overwrites it)")
            except OSError as error:
                return _fail(f"cannot write {path}: {error.strerror or error}")
            try:
                return _record(args, capture, out, stop)
            finally:
                with contextlib.suppress(OSError):  # after a failed write, closing tries it again
                    out.close()


def _record(args: argparse.Namespace, capture: network.Capture, out: BinaryIO, stop: threading.Event) -> int:
    path = args.output
    screen = _Screen(sys.stdout)
    config = os.environ.get("CYCLONEDDS_URI") or "Cyclone DDS defaults (every interface, multicast)"
    screen.line(f"config {config}")
    screen.line(f"recording /{args.name}/ in domain {args.domain} to {path} (Ctrl-C stops)")
    start = time.monotonic()
    try:
        writer = McapWriter(out, compression="zstd", chunk_size=4 << 20)
        out.flush()  # a file that takes nothing says so now, not at the first chunk
        recording = _Recording(capture, writer, args.name, screen)
        flushed = start
        while not stop.wait(PUMP_SECONDS):
            now = time.monotonic()
            recording.pump()
            if now - flushed >= FLUSH_SECONDS:
                writer.flush()
                flushed = now
            screen.progress(recording.progress(now - start), now)
            if args.seconds is not None and now - start >= args.seconds:
                break
        capture.close()  # no more samples: take the last ones and end the file
        recording.pump()
        writer.close()
        out.flush()
    except OSError as error:
        screen.finish()
        return _fail(
            f"cannot write {path}: {error.strerror or error}; the file is incomplete "
            "(readable up to its last whole chunk)"
        )
    elapsed = time.monotonic() - start
    screen.finish()
    lines = recording.report()
    totals = f"{recording.messages:,} messages, {recording.lost()} dropped or lost"
    print(f"recorded {len(lines)} topics in {elapsed:.1f} s: {totals}")
    for line in lines:
        print(line)
    left_out = recording.left_out()
    for line in left_out + recording.shared():
        print(line)
    print(f"wrote {path} ({out.tell():,} bytes)", flush=True)
    if left_out:
        print(f"tamro-record: incomplete: {len(left_out)} topics not recorded", file=sys.stderr)
        return INCOMPLETE
    return 0
