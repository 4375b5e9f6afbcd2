"""The findings: every candidate port with what the system and the probe say of it, and the
fixes in the order to apply them."""

from __future__ import annotations

import errno
import os
import queue
import re
import threading
import time
from collections.abc import Callable, Collection, Mapping, Sequence
from dataclasses import dataclass, field

from tamro.detection import NotASerialPort, PortProbe, probe_port
from tamro.servo import in_flight_for

from . import _fixes
from ._access import Access, read_access, user_name
from ._fixes import Fix, known_holder
from ._tree import DanglingLink, Tree, UsbIdentity

__all__ = [
    "SCHEMA",
    "ArmAnswer",
    "Findings",
    "HandleAnswer",
    "HolderInfo",
    "LatencyTimer",
    "NodeName",
    "Port",
    "Probe",
    "RoundTrips",
    "examine",
]

SCHEMA = 1


def probe_deadline(timeout: float, exchanges: int) -> float:
    """Seconds after which a probe counts as hung (its port's system calls do not return):
    well past its reads and an arm's exchanges at a slow adapter's pace."""
    return 5.0 + 2 * timeout + 0.05 * exchanges


# Reading /dev, /sys and /proc takes milliseconds on any real system; a tree that takes longer
# (huge, or on a file system that stalls) is cut short there and reported as far as it was read.
LOOK_SECONDS = 10.0

USABLE_ANSWERS = ("velkin3", "handle-info", "handle-status")

# What a failed open most likely means, where the error number alone does not say it.
OPEN_ERROR_NOTES = {
    errno.EBUSY: "another program has it open exclusively (sudo tamro-doctor shows every holder)",
    errno.ENXIO: "the node is there but no device is behind it: unplugged, or the adapter reset",
    errno.ENODEV: "the node is there but no device is behind it: unplugged, or the adapter reset",
    errno.EIO: "the device does not respond to the port's settings: replug it",
}


@dataclass(frozen=True)
class NodeName:
    path: str
    candidate: str  # arm, wired-handle or wireless-handle


@dataclass(frozen=True)
class HolderInfo:
    pid: int
    name: str
    known: str | None  # modemmanager, brltty


@dataclass(frozen=True)
class LatencyTimer:
    path: str
    milliseconds: int


@dataclass(frozen=True)
class ArmAnswer:
    device_id: int
    model: int
    hardware_version: int
    firmware_version: int
    uuid: str


@dataclass(frozen=True)
class HandleAnswer:
    message: str  # information, status or error
    device_id: int
    model: int | None = None
    hardware_version: int | None = None
    firmware_version: int | None = None
    tool_data_remaining: int | None = None
    hall_effect_sensor_level: int | None = None
    error_flag: int | None = None
    user_data: str | None = None  # hex
    error_code: int | None = None


@dataclass(frozen=True)
class RoundTrips:
    requested: int
    completed: int
    ended: str  # complete, or how the first incomplete exchange ended
    p50_ms: float
    p99_ms: float
    # The servo loop's in_flight that holds 1 kHz over this round trip: None when the
    # exchanges did not all complete, or when none does.
    in_flight_1khz: int | None = None


@dataclass(frozen=True)
class OpenError:
    errno: int
    name: str
    message: str


@dataclass
class Probe:
    # not-probed, not-a-serial-port, not-opened, hung, write-failed, silence, velkin3,
    # other-model, handle-info, handle-status, handle-error, truncated or other
    answer: str
    seconds: float | None = None
    error: OpenError | None = None
    arm: ArmAnswer | None = None
    handle: HandleAnswer | None = None
    raw_bytes: str | None = None  # hex
    round_trips: RoundTrips | None = None


@dataclass
class Port:
    path: str  # canonical
    names: list[NodeName]
    by_id: list[str] = field(default_factory=list)
    usb: UsbIdentity | None = None
    access: Access | None = None
    holders: list[HolderInfo] = field(default_factory=list)
    latency_timer: LatencyTimer | None = None
    probe: Probe = field(default_factory=lambda: Probe("not-probed"))
    device: str | None = None  # arm, wired-handle, wireless-handle or handle
    usable: bool = False
    notes: list[str] = field(default_factory=list)
    fixes: list[str] = field(default_factory=list)  # keys of Findings.fixes

    @property
    def label(self) -> str:
        """The port by its first name, and the node that name leads to where they differ."""
        first = self.names[0].path if self.names else self.path
        return first if first == self.path else f"{first} ({self.path})"

    def candidates(self) -> set[str]:
        return {name.candidate for name in self.names}


@dataclass
class User:
    uid: int
    name: str | None
    groups: list[int]


@dataclass
class Findings:
    root: str
    user: User
    ports: list[Port]
    dangling_links: list[DanglingLink]
    unseen_processes: int
    fixes: list[Fix]
    schema: int = SCHEMA

    @property
    def usable(self) -> list[Port]:
        return [port for port in self.ports if port.usable]


def _arm(found: PortProbe) -> ArmAnswer | None:
    info = found.device_info
    if info is None:
        return None
    return ArmAnswer(
        device_id=info["device_id"],
        model=info["device_model_number"],
        hardware_version=info["hardware_version"],
        firmware_version=info["firmware_version"],
        uuid=str(info["device_id_ext"]),
    )


def _handle(found: PortProbe) -> HandleAnswer | None:
    if found.handle_info is not None:
        info = found.handle_info
        return HandleAnswer(
            "information",
            info["device_id"],
            model=info["device_model_number"],
            hardware_version=info["hardware_version"],
            firmware_version=info["firmware_version"],
            tool_data_remaining=info["tool_data_remaining"],
        )
    if found.handle_status is not None:
        status = found.handle_status
        return HandleAnswer(
            "status",
            status.device_id,
            hall_effect_sensor_level=status.hall_effect_sensor_level,
            error_flag=status.error_flag,
            user_data=status.user_data.hex(),
        )
    if found.handle_error is not None:
        error = found.handle_error
        return HandleAnswer("error", error.device_id, error_code=error.error_code)
    return None


def _error(error: OSError, message: str | None = None) -> OpenError:
    code = error.errno or 0
    return OpenError(code, errno.errorcode.get(code, str(code)), message or os.strerror(code))


def probe(path: str, timeout: float, exchanges: int) -> Probe:
    """Probes one port through tamro; never raises for the port's sake. A path that is no
    serial port is not opened at all."""
    start = time.monotonic()
    try:
        found = probe_port(path, timeout=timeout, exchanges=exchanges)
    except NotASerialPort as refused:
        seconds = time.monotonic() - start
        return Probe("not-a-serial-port", seconds=seconds, error=_error(refused, refused.strerror))
    except OSError as error:
        return Probe("not-opened", seconds=time.monotonic() - start, error=_error(error))
    trips = found.round_trips
    in_flight = None
    if trips is not None and trips.completed == trips.requested > 0:
        in_flight = in_flight_for(trips.p99_us / 1e6, 1000.0)
    return Probe(
        found.answer,
        seconds=time.monotonic() - start,
        arm=_arm(found),
        handle=_handle(found),
        raw_bytes=found.raw_bytes.hex(" ") if found.raw_bytes else None,
        round_trips=RoundTrips(
            trips.requested,
            trips.completed,
            trips.ended,
            trips.p50_us / 1000.0,
            trips.p99_us / 1000.0,
            in_flight,
        )
        if trips is not None
        else None,
    )


class _FixList:
    """Fixes by key, each once, with the ports it is for."""

    def __init__(self) -> None:
        self.by_key: dict[str, Fix] = {}

    def add(self, port: Port | None, fix: Fix) -> None:
        kept = self.by_key.setdefault(fix.key, fix)
        if port is not None:
            if port.path not in kept.ports:
                kept.ports.append(port.path)
            if fix.key not in port.fixes:
                port.fixes.append(fix.key)

    def ordered(self) -> list[Fix]:
        return sorted(self.by_key.values(), key=lambda fix: fix.order)


def _gather(tree: Tree) -> tuple[list[Port], list[DanglingLink], list[DanglingLink]]:
    """The ports, one per canonical path, with the names and by-id links that lead to it."""
    nodes, dangling_nodes = tree.serial_nodes()
    ports: dict[str, Port] = {}
    for node in nodes:
        port = ports.setdefault(node.canonical, Port(node.canonical, []))
        port.names.append(NodeName(node.path, node.candidate))
    links, dangling_by_id = tree.by_id_links()
    for canonical, paths in links.items():
        if canonical in ports:
            ports[canonical].by_id.extend(paths)
    return list(ports.values()), dangling_nodes, dangling_by_id


def _token(text: str) -> str:
    """Text as udev puts it into a link name: anything but letters and digits becomes _."""
    return re.sub(r"[^A-Za-z0-9]", "_", text)


def _look_at(tree: Tree, port: Port, uid: int, groups: Collection[int], fixes: _FixList) -> None:
    """What the system says of the port: sysfs identity, latency timer, access."""
    names = [os.path.basename(port.path)] + [os.path.basename(n.path) for n in port.names]
    device = tree.tty_device(names)
    if device is not None:
        port.usb = tree.usb_identity(device)
        timer = tree.latency_timer(device)
        if timer is not None:
            port.latency_timer = LatencyTimer(*timer)
            if timer[1] > 1:
                fixes.add(port, _fixes.latency_timer(*timer))
    if port.usb is not None and port.usb.serial:
        serial = _token(port.usb.serial)
        for link in port.by_id:
            if serial not in _token(os.path.basename(link)):
                port.notes.append(
                    f"{link} names another serial number than this device's ({port.usb.serial}): "
                    "a stale link left by a device that was here before"
                )
    try:
        port.access = read_access(port.path, uid, groups)
    except OSError as error:
        port.notes.append(f"its node could not be looked at: {error.strerror}")
        return
    if port.access.can_open:
        return
    user = user_name(uid) or "$USER"
    if port.access.group_member_later:
        fixes.add(port, _fixes.log_in_again(user, port.access.group))
    elif port.access.group_can_read_write and port.access.group != "root":
        fixes.add(port, _fixes.join_group(user, port.access.group))
    else:
        fixes.add(port, _fixes.udev_access(port.access.owner))


def _judge(port: Port) -> None:
    """Which device answered, whether it is usable, and what detection will make of it."""
    answer = port.probe.answer
    candidates = port.candidates()
    if answer == "velkin3":
        port.device = "arm"
        if "arm" not in candidates:
            port.notes.append(
                "detection looks for arms only on ttyACM nodes and will not list this one; "
                "open it by its path"
            )
    elif answer in ("handle-info", "handle-status", "handle-error"):
        if "wired-handle" in candidates:
            port.device = "wired-handle"
        elif "wireless-handle" in candidates:
            port.device = "wireless-handle"
        else:
            port.device = "handle"
            port.notes.append(
                "detection looks for handles only on ttyUSB and rfcomm nodes and will not list "
                "this one; open it by its path"
            )
    error = port.probe.error
    if error is not None and error.errno in OPEN_ERROR_NOTES:
        port.notes.append(OPEN_ERROR_NOTES[error.errno])
    port.usable = (
        answer in USABLE_ANSWERS and port.access is not None and port.access.can_open and not port.holders
    )


def examine(
    root: str | os.PathLike[str] = "/",
    *,
    uid: int | None = None,
    groups: Collection[int] | None = None,
    timeout: float = 0.5,
    exchanges: int = 100,
    on_start: Callable[[Sequence[Port]], None] | None = None,
    on_port: Callable[[Port, Mapping[str, Fix]], None] | None = None,
) -> Findings:
    """Looks at every candidate serial port under ``root`` and probes them side by side.

    Access is judged for ``uid`` and ``groups`` (this process's by default). ``timeout``
    bounds each read of a probe, in seconds; an arm is timed over ``exchanges`` zero-force
    exchanges. On the calling thread, ``on_start`` gets the ports before they are probed and
    ``on_port`` each port, with the fixes by key, as soon as its probe ends. A port held by
    another process is not probed: the replies would go astray. Only a serial port is
    probed: a name that leads to a file, a FIFO, another kind of device or this process's
    terminal is not opened. What ``root`` holds is read for at most ``LOOK_SECONDS``.
    """
    tree = Tree(root, deadline=time.monotonic() + LOOK_SECONDS)
    if uid is None:
        uid = os.geteuid()
    if groups is None:
        groups = sorted({os.getegid(), *os.getgroups()})
    fixes = _FixList()
    ports, dangling_nodes, dangling_by_id = _gather(tree)
    for link in dangling_nodes:
        fixes.add(None, _fixes.dangling_node(link.path, link.target))
    for link in dangling_by_id:
        fixes.add(None, _fixes.dangling_by_id(link.path, link.target))

    held = tree.holders({p.path: {p.path, *(n.path for n in p.names)} for p in ports})
    for port in ports:
        _look_at(tree, port, uid, groups, fixes)
        for holder in held.by_path.get(port.path, []):
            port.holders.append(HolderInfo(holder.pid, holder.name, known_holder(holder.name)))
            fixes.add(port, _fixes.holder(holder.name, holder.pid))
        for player in held.players.get(port.path, []):
            port.notes.append(
                f"a pseudo-terminal: {player.name} (pid {player.pid}) plays the device at its far end"
            )
        port.fixes.sort(key=lambda key: fixes.by_key[key].order)
        if tree.expired():
            port.notes.append(
                f"reading {tree.root} took more than {LOOK_SECONDS:g} s: some of what it says may be missing"
            )
    if on_start:
        on_start(ports)

    def report(port: Port, result: Probe) -> None:
        port.probe = result
        _judge(port)
        if on_port:
            on_port(port, fixes.by_key)

    # The probe threads only hand their results back: every port is changed on this thread.
    done: queue.Queue[tuple[int, Probe]] = queue.Queue()
    pending: dict[int, Port] = {}

    def run(index: int, path: str) -> None:
        done.put((index, probe(path, timeout, exchanges)))

    for index, port in enumerate(ports):
        if port.holders:
            port.notes.append("not probed: another process holds it, and the replies would go astray")
            report(port, Probe("not-probed"))
            continue
        pending[index] = port
        # Daemon threads: a probe whose system calls hang must not keep the program alive.
        threading.Thread(target=run, args=(index, port.path), name=f"probe {port.path}", daemon=True).start()
    allowed = probe_deadline(timeout, exchanges)
    deadline = time.monotonic() + allowed
    while pending:
        try:
            index, result = done.get(timeout=max(deadline - time.monotonic(), 0.0))
        except queue.Empty:
            break
        report(pending.pop(index), result)
    for port in pending.values():
        report(port, Probe("hung", seconds=allowed))

    return Findings(
        root=str(root),
        user=User(uid, user_name(uid), sorted(groups)),
        ports=ports,
        dangling_links=dangling_nodes + dangling_by_id,
        unseen_processes=held.unseen,
        fixes=fixes.ordered(),
    )
