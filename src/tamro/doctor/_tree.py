"""What the system says about serial ports, read under one root: ``/dev``, ``/sys`` and
``/proc`` are ``ROOT/dev``, ``ROOT/sys`` and ``ROOT/proc``. Anything missing is reported as
missing (``None``, an empty list), never as an error: a test tree, a container or a system
without udev lacks some of it."""

from __future__ import annotations

import os
import re
from collections.abc import Iterable
from dataclasses import dataclass, field
from pathlib import Path

__all__ = [
    "CANDIDATE_PATTERNS",
    "DanglingLink",
    "Holder",
    "Holders",
    "Node",
    "Tree",
    "UsbIdentity",
    "candidate_of",
]

# Detection's name rules, in the order it tests them: a name is matched anywhere.
CANDIDATE_PATTERNS = (("ttyACM", "arm"), ("ttyUSB", "wired-handle"), ("rfcomm", "wireless-handle"))


def candidate_of(name: str) -> str | None:
    """What detection would take a ``/dev`` entry of this name for, or None."""
    for pattern, candidate in CANDIDATE_PATTERNS:
        if pattern in name:
            return candidate
    return None


def _natural(text: str) -> list[str | int]:
    """Sorts ttyACM2 before ttyACM10."""
    return [int(part) if part.isdigit() else part for part in re.split(r"(\d+)", text)]


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


def _read(path: Path) -> str | None:
    try:
        return path.read_text(errors="replace").strip()
    except OSError:
        return None


class Tree:
    """What one root tells about serial ports."""

    def __init__(self, root: str | os.PathLike[str] = "/") -> None:
        self.root = Path(root)
        self.dev = self.root / "dev"
        self.sys = self.root / "sys"
        self.proc = self.root / "proc"

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
            vendor = _read(folder / "idVendor")
            if vendor is not None:
                return UsbIdentity(
                    vendor_id=vendor,
                    product_id=_read(folder / "idProduct") or "",
                    manufacturer=_read(folder / "manufacturer"),
                    product=_read(folder / "product"),
                    serial=_read(folder / "serial"),
                    driver=driver,
                )
            folder = folder.parent
        return None

    def latency_timer(self, device: Path) -> tuple[str, int] | None:
        """A USB-serial adapter's latency timer (path, milliseconds), where it has one."""
        path = device / "latency_timer"
        text = _read(path)
        if text is None or not text.isdigit():
            return None
        return str(path), int(text)

    def holders(self, paths_by_port: dict[str, set[str]]) -> Holders:
        """Which processes hold each port open, from ``/proc/PID/fd``. ``paths_by_port``
        gives each port's canonical path and every name it goes by. A process that holds a
        pseudo-terminal's master side is the device behind it (the simulator, say): it counts
        as playing that port, not as holding it."""
        found = Holders()
        ourselves = os.getpid() if os.path.realpath(self.proc) == "/proc" else None
        for process in self._entries(self.proc):
            if not process.name.isdigit() or int(process.name) == ourselves:
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
                    index = _tty_index(process / "fdinfo" / descriptor.name)
                    if index is not None:
                        played |= self._both(f"/dev/pts/{index}")
            holder = Holder(int(process.name), _process_name(process))
            for port, paths in paths_by_port.items():
                if paths & played:
                    found.players.setdefault(port, []).append(holder)
                elif paths & opened:
                    found.by_path.setdefault(port, []).append(holder)
        return found

    def _both(self, path: str) -> set[str]:
        return {path, os.path.realpath(self.root / path.lstrip("/"))}


def _tty_index(fdinfo: Path) -> int | None:
    """The pseudo-terminal number of a master descriptor, from its fdinfo."""
    for line in (_read(fdinfo) or "").splitlines():
        key, _, value = line.partition(":")
        if key == "tty-index" and value.strip().isdigit():
            return int(value)
    return None


def _link_text(path: Path) -> str:
    try:
        return os.readlink(path)
    except OSError:
        return ""


def _driver(device: Path) -> str | None:
    link = device / "driver"
    return Path(os.path.realpath(link)).name if link.exists() else None


def _process_name(process: Path) -> str:
    name = _read(process / "comm")
    if name:
        return name
    command = _read(process / "cmdline")
    if command:
        return Path(command.split("\0")[0]).name
    return "?"
