"""What the system says about serial ports, read under one root: ``/dev``, ``/sys`` and
``/proc`` are ``ROOT/dev``, ``ROOT/sys`` and ``ROOT/proc``. Anything missing is reported as
missing (``None``, an empty list), never as an error: a test tree, a container or a system
without udev lacks some of it.

Nothing read here is trusted: an attribute is read only from a regular file, at most
``ATTRIBUTE_LIMIT`` bytes of it, and only until the tree's deadline; what is not read by then
is reported missing. A link to ``/dev/zero`` or a FIFO where an attribute should be costs
nothing."""

from __future__ import annotations

import os
import re
import stat
import time
from collections.abc import Iterable
from dataclasses import dataclass, field
from pathlib import Path

__all__ = [
    "ATTRIBUTE_LIMIT",
    "CANDIDATE_PATTERNS",
    "DanglingLink",
    "Holder",
    "Holders",
    "Node",
    "Tree",
    "UsbIdentity",
    "candidate_of",
    "number",
    "read_attribute",
]

# Every attribute the doctor reads (ids, names, a latency timer, a process name, fdinfo) is
# far shorter.
ATTRIBUTE_LIMIT = 4096

# Detection's name rules, in the order it tests them: a name is matched anywhere.
CANDIDATE_PATTERNS = (("ttyACM", "arm"), ("ttyUSB", "wired-handle"), ("rfcomm", "wireless-handle"))


def candidate_of(name: str) -> str | None:
    """What detection would take a ``/dev`` entry of this name for, or None."""
    for pattern, candidate in CANDIDATE_PATTERNS:
        if pattern in name:
            return candidate
    return None


def _natural(text: str) -> list[str | tuple[int, str]]:
    """Sorts ttyACM2 before ttyACM10. Runs of digits compare by length, then as text: the
    same order as numbers, for a run of any length."""
    parts = re.split(r"([0-9]+)", text)
    return [(len(part), part) if index % 2 else part for index, part in enumerate(parts)]


def number(text: str) -> int | None:
    """A count or an id written in plain decimal digits (at most 18 of them), or None."""
    return int(text) if text.isascii() and text.isdigit() and len(text) <= 18 else None


@dataclass(frozen=True)
class Node:
    """A ``/dev`` entry named like a serial node."""

    path: str
    candidate: str
    canonical: str  # links resolved


@dataclass(frozen=True)
class DanglingLink:
    path: str
    target: str  # what the link says, as written
    kind: str  # serial-node (named like one, in /dev) or by-id


@dataclass(frozen=True)
class UsbIdentity:
    vendor_id: str
    product_id: str
    manufacturer: str | None
    product: str | None
    serial: str | None
    driver: str | None


@dataclass(frozen=True)
class Holder:
    pid: int
    name: str


@dataclass
class Holders:
    by_path: dict[str, list[Holder]] = field(default_factory=dict)
    players: dict[str, list[Holder]] = field(default_factory=dict)  # pseudo-terminals' far ends
    unseen: int = 0  # processes whose descriptors this user may not list


def read_attribute(path: Path) -> str | None:
    """The text of a regular file (links followed), at most ``ATTRIBUTE_LIMIT`` bytes of it;
    None for anything else. Looked at before it is opened, so no device or FIFO is ever
    opened, and again once open, in case the name changed meanwhile."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return None
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except (OSError, ValueError):  # ValueError: a NUL in the name
        return None
    try:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            return None
        data = os.read(descriptor, ATTRIBUTE_LIMIT)
    except OSError:
        return None
    finally:
        os.close(descriptor)
    return data.decode(errors="replace").strip()


class Tree:
    """What one root tells about serial ports, read until ``deadline`` (on the
    ``time.monotonic()`` clock; None: no end)."""

    def __init__(self, root: str | os.PathLike[str] = "/", *, deadline: float | None = None) -> None:
        self.root = Path(root)
        self.dev = self.root / "dev"
        self.sys = self.root / "sys"
        self.proc = self.root / "proc"
        self.deadline = deadline

    def expired(self) -> bool:
        return self.deadline is not None and time.monotonic() >= self.deadline

    def _read(self, path: Path) -> str | None:
        return None if self.expired() else read_attribute(path)

    def _entries(self, folder: Path) -> list[Path]:
        try:
            return sorted(folder.iterdir(), key=lambda p: _natural(p.name))
        except OSError:
            return []

    def serial_nodes(self) -> tuple[list[Node], list[DanglingLink]]:
        """The ``/dev`` entries detection would probe, and those among them that are links
        leading nowhere (which make detection raise)."""
        nodes: list[Node] = []
        dangling: list[DanglingLink] = []
        for entry in self._entries(self.dev):
            candidate = candidate_of(entry.name)
            if candidate is None:
                continue
            if not entry.exists():
                dangling.append(DanglingLink(str(entry), _link_text(entry), "serial-node"))
                continue
            nodes.append(Node(str(entry), candidate, os.path.realpath(entry)))
        return nodes, dangling

    def by_id_links(self) -> tuple[dict[str, list[str]], list[DanglingLink]]:
        """The links of ``/dev/serial/by-id`` by the canonical path they lead to, and those
        that lead nowhere."""
        links: dict[str, list[str]] = {}
        dangling: list[DanglingLink] = []
        for entry in self._entries(self.dev / "serial" / "by-id"):
            if entry.exists():
                links.setdefault(os.path.realpath(entry), []).append(str(entry))
            else:
                dangling.append(DanglingLink(str(entry), _link_text(entry), "by-id"))
        return links, dangling

    def tty_device(self, names: Iterable[str]) -> Path | None:
        """The sysfs device folder behind the first of these tty names that has one."""
        for name in names:
            device = self.sys / "class" / "tty" / name / "device"
            if device.exists():
                return Path(os.path.realpath(device))
        return None

    def usb_identity(self, device: Path) -> UsbIdentity | None:
        """The USB device above a tty's device folder: the nearest folder with ids."""
        driver = _driver(device)
        top = Path(os.path.realpath(self.sys))
        folder = device
        while folder != top and top in folder.parents:
            vendor = self._read(folder / "idVendor")
            if vendor is not None:
                return UsbIdentity(
                    vendor_id=vendor,
                    product_id=self._read(folder / "idProduct") or "",
                    manufacturer=self._read(folder / "manufacturer"),
                    product=self._read(folder / "product"),
                    serial=self._read(folder / "serial"),
                    driver=driver,
                )
            folder = folder.parent
        return None

    def latency_timer(self, device: Path) -> tuple[str, int] | None:
        """A USB-serial adapter's latency timer (path, milliseconds), where it has one."""
        path = device / "latency_timer"
        text = self._read(path)
        milliseconds = number(text or "")
        if milliseconds is None:
            return None
        return str(path), milliseconds

    def holders(self, paths_by_port: dict[str, set[str]]) -> Holders:
        """Which processes hold each port open, from ``/proc/PID/fd``. ``paths_by_port``
        gives each port's canonical path and every name it goes by. A process that holds a
        pseudo-terminal's master side is the device behind it (the simulator, say): it counts
        as playing that port, not as holding it."""
        found = Holders()
        ourselves = os.getpid() if os.path.realpath(self.proc) == "/proc" else None
        for process in self._entries(self.proc):
            if self.expired():
                break
            pid = number(process.name)
            if pid is None or pid == ourselves:
                continue
            try:
                descriptors = list((process / "fd").iterdir())
            except PermissionError:
                found.unseen += 1
                continue
            except OSError:
                continue  # gone meanwhile, or not a process folder
            opened: set[str] = set()
            played: set[str] = set()
            for descriptor in descriptors:
                target = _link_text(descriptor)
                if not target.startswith("/"):
                    continue
                # As written, and as the same path inside the root (a copied /proc).
                opened |= self._both(target)
                if os.path.basename(target) == "ptmx":
                    index = self._tty_index(process / "fdinfo" / descriptor.name)
                    if index is not None:
                        played |= self._both(f"/dev/pts/{index}")
            holder = Holder(pid, self._process_name(process))
            for port, paths in paths_by_port.items():
                if paths & played:
                    found.players.setdefault(port, []).append(holder)
                elif paths & opened:
                    found.by_path.setdefault(port, []).append(holder)
        return found

    def _both(self, path: str) -> set[str]:
        return {path, os.path.realpath(self.root / path.lstrip("/"))}

    def _tty_index(self, fdinfo: Path) -> int | None:
        """The pseudo-terminal number of a master descriptor, from its fdinfo."""
        for line in (self._read(fdinfo) or "").splitlines():
            key, _, value = line.partition(":")
            if key == "tty-index":
                return number(value.strip())
        return None

    def _process_name(self, process: Path) -> str:
        name = self._read(process / "comm")
        if name:
            return name
        command = self._read(process / "cmdline")
        if command:
            return Path(command.split("\0")[0]).name
        return "?"


def _link_text(path: Path) -> str:
    try:
        return os.readlink(path)
    except OSError:
        return ""


def _driver(device: Path) -> str | None:
    link = device / "driver"
    return Path(os.path.realpath(link)).name if link.exists() else None
