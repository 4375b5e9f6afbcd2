"""An MCAP writer that takes messages in bulk: whole numpy arrays of same-sized messages become
chunks with one vectorised copy, so a minute of a 1 kHz arm is written in milliseconds rather
than the seconds a per-message writer needs. Messages of other sizes go through the same chunks
one by one.

The file is written front to back: header, then chunks each followed by its message indexes,
and on ``close()`` the summary (schemas, channels, statistics, chunk indexes), its offsets and
the footer. A file cut before ``close()`` holds every chunk written so far, whole, and readers
that scan records read it up to the last one.
"""

from __future__ import annotations

import struct
import zlib
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import BinaryIO

import numpy as np
import numpy.typing as npt

MAGIC = b"\x89MCAP0\r\n"

# Record opcodes.
_HEADER = 0x01
_FOOTER = 0x02
_SCHEMA = 0x03
_CHANNEL = 0x04
_MESSAGE = 0x05
_CHUNK = 0x06
_MESSAGE_INDEX = 0x07
_CHUNK_INDEX = 0x08
_STATISTICS = 0x0B
_SUMMARY_OFFSET = 0x0E
_DATA_END = 0x0F

# Opcode, record length, channel, sequence, log time, publish time: then the message's bytes.
_MESSAGE_PREFIX = 1 + 8 + 2 + 4 + 8 + 8


def _string(text: str) -> bytes:
    data = text.encode()
    return struct.pack("<I", len(data)) + data


def _record(opcode: int, body: bytes) -> bytes:
    return struct.pack("<BQ", opcode, len(body)) + body


def _string_map(entries: dict[str, str]) -> bytes:
    body = b"".join(_string(k) + _string(v) for k, v in sorted(entries.items()))
    return struct.pack("<I", len(body)) + body


def _message_records(
    channel: int,
    first_sequence: int,
    log_times: npt.NDArray[np.uint64],
    publish_times: npt.NDArray[np.uint64],
    payloads: npt.NDArray[np.uint8],
) -> npt.NDArray[np.uint8]:
    """Message records for same-sized payloads (one row each), as one array of rows."""
    count, size = payloads.shape
    layout = np.dtype(
        {
            "names": ["opcode", "length", "channel", "sequence", "log_time", "publish_time", "data"],
            "formats": ["u1", "<u8", "<u2", "<u4", "<u8", "<u8", ("u1", (size,))],
            "offsets": [0, 1, 9, 11, 15, 23, 31],
            "itemsize": _MESSAGE_PREFIX + size,
        }
    )
    records = np.empty(count, layout)
    records["opcode"] = _MESSAGE
    records["length"] = _MESSAGE_PREFIX - 9 + size
    records["channel"] = channel
    records["sequence"] = (first_sequence + np.arange(count, dtype=np.uint64)).astype(np.uint32)
    records["log_time"] = log_times
    records["publish_time"] = publish_times
    records["data"] = payloads
    return records.view(np.uint8).reshape(count, layout.itemsize)


@dataclass
class _ChunkIndex:
    start: int
    end: int
    offset: int
    length: int
    index_offsets: dict[int, int]
    index_length: int
    compressed_size: int
    uncompressed_size: int


@dataclass
class _Pending:
    """One chunk being assembled: blocks of records, and per channel its (time, offset) pairs."""

    blocks: list[bytes | npt.NDArray[np.uint8]] = field(default_factory=list)
    size: int = 0
    times: dict[int, list[npt.NDArray[np.uint64]]] = field(default_factory=dict)
    offsets: dict[int, list[npt.NDArray[np.uint64]]] = field(default_factory=dict)
    start: int | None = None
    end: int = 0


class McapWriter:
    """Writes one MCAP file to ``out`` (a binary file open for writing, at its start).

    Register schemas and channels first, then add messages; ``flush()`` ends the chunk being
    built (the messages so far are then in the file, whole), ``close()`` writes the summary.
    ``compression`` is ``"zstd"`` or ``""`` (none)."""

    def __init__(
        self,
        out: BinaryIO,
        *,
        profile: str = "ros2",
        library: str = "tamro",
        compression: str = "zstd",
        chunk_size: int = 1 << 20,
    ) -> None:
        if compression not in ("zstd", ""):
            raise ValueError(f"compression must be 'zstd' or '' (none), not {compression!r}")
        self._out = out
        self._compression = compression
        self._chunk_size = chunk_size
        self._compress = _compressor(compression)
        self._crc = 0  # of everything in the data section so far
        self._position = 0
        self._schemas: list[bytes] = []
        self._channels: list[bytes] = []
        self._channel_ids: set[int] = set()
        self._chunk_indexes: list[_ChunkIndex] = []
        self._counts: dict[int, int] = {}
        self._message_start: int | None = None
        self._message_end = 0
        self._pending = _Pending()
        self._closed = False
        self._write(MAGIC)
        self._write(_record(_HEADER, _string(profile) + _string(library)))

    # --- what the file holds --------------------------------------------------------------------

    def add_schema(self, schema_id: int, name: str, encoding: str, data: bytes) -> None:
        body = struct.pack("<H", schema_id) + _string(name) + _string(encoding)
        body += struct.pack("<I", len(data)) + data
        record = _record(_SCHEMA, body)
        self._schemas.append(record)
        self._write(record)

    def add_channel(
        self,
        channel_id: int,
        schema_id: int,
        topic: str,
        message_encoding: str,
        metadata: dict[str, str] | None = None,
    ) -> None:
        body = struct.pack("<HH", channel_id, schema_id) + _string(topic) + _string(message_encoding)
        body += _string_map(metadata or {})
        record = _record(_CHANNEL, body)
        self._channels.append(record)
        self._channel_ids.add(channel_id)
        self._counts.setdefault(channel_id, 0)
        self._write(record)

    def add_messages(
        self,
        channel_id: int,
        log_times: npt.ArrayLike,
        payloads: npt.NDArray[np.uint8] | Sequence[bytes],
        publish_times: npt.ArrayLike | None = None,
    ) -> None:
        """Messages of one channel, oldest first: ``log_times`` in nanoseconds since the epoch, and
        ``payloads`` either a 2-D uint8 array (one message per row, all the same size: written in
        bulk) or a sequence of bytes objects. ``publish_times`` (when they were sent; by default
        the log times) likewise."""
        if channel_id not in self._channel_ids:
            raise ValueError(f"channel {channel_id} was not added")
        times = np.ascontiguousarray(log_times, dtype=np.uint64)
        sent = times if publish_times is None else np.ascontiguousarray(publish_times, dtype=np.uint64)
        count = len(times)
        if len(payloads) != count or len(sent) != count:
            raise ValueError(f"{count} times for {len(payloads)} messages and {len(sent)} publish times")
        done = 0
        while done < count:
            room = max(1, (self._chunk_size - self._pending.size) // self._message_size(payloads, done))
            part = slice(done, min(count, done + room))
            self._add(channel_id, times[part], sent[part], payloads[part])
            done = part.stop
            if self._pending.size >= self._chunk_size:
                self.flush()

    def flush(self) -> None:
        """Ends the chunk being built: what was added is in the file from here on (handed to
        the operating system, so a killed process loses none of it). A recording that is still
        going calls this at least every second, so that a crash loses at most that."""
        pending = self._pending
        if not pending.blocks:
            return
        self._pending = _Pending()
        records = np.empty(pending.size, np.uint8)
        at = 0
        for block in pending.blocks:
            flat = np.frombuffer(block, np.uint8) if isinstance(block, bytes) else block.reshape(-1)
            records[at : at + len(flat)] = flat
            at += len(flat)
        view = memoryview(records.data)
        compressed = self._compress(view)
        assert pending.start is not None
        head = struct.pack("<QQQI", pending.start, pending.end, len(records), zlib.crc32(view))
        head += _string(self._compression) + struct.pack("<Q", len(compressed))
        chunk = struct.pack("<BQ", _CHUNK, len(head) + len(compressed)) + head + bytes(compressed)
        chunk_offset = self._position
        index_start = chunk_offset + len(chunk)
        indexes: list[bytes] = []
        index_offsets: dict[int, int] = {}
        for channel_id in sorted(pending.times):
            times = np.concatenate(pending.times[channel_id])
            offsets = np.concatenate(pending.offsets[channel_id])
            pairs = np.empty((len(times), 2), "<u8")
            pairs[:, 0], pairs[:, 1] = times, offsets
            entries = pairs.tobytes()
            index_offsets[channel_id] = index_start + sum(len(i) for i in indexes)
            indexes.append(_record(_MESSAGE_INDEX, struct.pack("<HI", channel_id, len(entries)) + entries))
        # One write for the chunk and its indexes: a process killed around it leaves the file
        # ending between records, unless the kill lands inside that one system call.
        self._write(b"".join([chunk, *indexes]))
        chunk_length = len(chunk)
        self._chunk_indexes.append(
            _ChunkIndex(
                pending.start,
                pending.end,
                chunk_offset,
                chunk_length,
                index_offsets,
                self._position - index_start,
                len(compressed),
                len(records),
            )
        )
        self._out.flush()

    def close(self) -> None:
        """Writes the last chunk and the summary; the file is complete after this."""
        if self._closed:
            return
        self.flush()
        self._write(_record(_DATA_END, struct.pack("<I", self._crc)))
        summary_start = self._position
        groups: list[tuple[int, int, int]] = []
        summary = bytearray()

        def group(opcode: int, records: list[bytes]) -> None:
            if records:
                groups.append((opcode, summary_start + len(summary), sum(len(r) for r in records)))
                for r in records:
                    summary.extend(r)

        group(_SCHEMA, self._schemas)
        group(_CHANNEL, self._channels)
        group(_STATISTICS, [self._statistics()])
        group(_CHUNK_INDEX, [self._chunk_index(c) for c in self._chunk_indexes])
        offsets_start = summary_start + len(summary)
        for opcode, start, length in groups:
            summary.extend(_record(_SUMMARY_OFFSET, struct.pack("<BQQ", opcode, start, length)))
        footer_head = struct.pack("<BQQQ", _FOOTER, 8 + 8 + 4, summary_start, offsets_start)
        crc = zlib.crc32(bytes(summary) + footer_head)
        self._out.write(bytes(summary) + footer_head + struct.pack("<I", crc) + MAGIC)
        self._out.flush()
        self._closed = True

    # --- helpers ----------------------------------------------------------------------------------

    @staticmethod
    def _message_size(payloads: npt.NDArray[np.uint8] | Sequence[bytes], at: int) -> int:
        if isinstance(payloads, np.ndarray):
            return _MESSAGE_PREFIX + payloads.shape[1]
        return _MESSAGE_PREFIX + len(payloads[at])

    def _add(
        self,
        channel_id: int,
        times: npt.NDArray[np.uint64],
        sent: npt.NDArray[np.uint64],
        payloads: npt.NDArray[np.uint8] | Sequence[bytes],
    ) -> None:
        if len(times) == 0:
            return
        pending = self._pending
        first = self._counts[channel_id]
        sizes: npt.NDArray[np.uint64]
        if isinstance(payloads, np.ndarray):
            if payloads.ndim != 2 or payloads.dtype != np.uint8:
                raise ValueError("payloads must be a 2-D uint8 array (one message per row)")
            block = _message_records(channel_id, first, times, sent, payloads)
            sizes = np.full(len(times), block.shape[1], dtype=np.uint64)
            pending.blocks.append(block)
        else:
            blocks = []
            rows = zip(times.tolist(), sent.tolist(), payloads, strict=True)
            for sequence, (time, publish_time, data) in enumerate(rows, start=first):
                head = struct.pack(
                    "<BQHIQQ",
                    _MESSAGE,
                    _MESSAGE_PREFIX - 9 + len(data),
                    channel_id,
                    sequence & 0xFFFFFFFF,
                    time,
                    publish_time,
                )
                blocks.append(head + bytes(data))
            sizes = np.array([len(b) for b in blocks], dtype=np.uint64)
            pending.blocks.append(b"".join(blocks))
        offsets = pending.size + np.concatenate(([0], np.cumsum(sizes)[:-1])).astype(np.uint64)
        pending.times.setdefault(channel_id, []).append(times)
        pending.offsets.setdefault(channel_id, []).append(offsets)
        pending.size += int(sizes.sum())
        low, high = int(times.min()), int(times.max())
        pending.start = low if pending.start is None else min(pending.start, low)
        pending.end = max(pending.end, high)
        self._message_start = low if self._message_start is None else min(self._message_start, low)
        self._message_end = max(self._message_end, high)
        self._counts[channel_id] = first + len(times)

    def _write(self, data: bytes | memoryview) -> None:
        self._out.write(data)
        self._crc = zlib.crc32(data, self._crc)
        self._position += len(data)

    def _statistics(self) -> bytes:
        counts = b"".join(struct.pack("<HQ", k, v) for k, v in sorted(self._counts.items()))
        body = struct.pack(
            "<QHIIIIQQ",
            sum(self._counts.values()),
            len(self._schemas),
            len(self._channels),
            0,
            0,
            len(self._chunk_indexes),
            self._message_start or 0,
            self._message_end,
        )
        return _record(_STATISTICS, body + struct.pack("<I", len(counts)) + counts)

    def _chunk_index(self, c: _ChunkIndex) -> bytes:
        offsets = b"".join(struct.pack("<HQ", k, v) for k, v in sorted(c.index_offsets.items()))
        body = struct.pack("<QQQQ", c.start, c.end, c.offset, c.length)
        body += struct.pack("<I", len(offsets)) + offsets
        body += struct.pack("<Q", c.index_length) + _string(self._compression)
        body += struct.pack("<QQ", c.compressed_size, c.uncompressed_size)
        return _record(_CHUNK_INDEX, body)


def _compressor(name: str) -> Callable[[memoryview], bytes | memoryview]:
    if name == "zstd":
        import zstandard  # a dependency of the package

        # Level 1: a recording is often saved while a session still runs, and higher levels
        # cost several times the time for a few percent of size.
        compress: Callable[[memoryview], bytes] = zstandard.ZstdCompressor(level=1).compress
        return compress
    return lambda records: records
