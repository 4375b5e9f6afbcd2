"""The findings as text for people and as one JSON document for programs.

Names come from the system and from the devices (node names, by-id links, USB strings,
process names): every line of text goes through ``shown``, so no escape sequence or line
break of theirs reaches the terminal. The JSON document keeps them exact, JSON-escaped."""

from __future__ import annotations

import dataclasses
import os
import textwrap
from collections.abc import Mapping
from typing import Any

from tamro import MAX_IN_FLIGHT
from tamro.terminal import shown

from ._examine import Findings, Port, Probe
from ._fixes import Fix
from ._rules import link_name, rules

__all__ = ["block", "headline", "intro", "nothing_attached", "summary", "to_json", "verdict"]

DEVICE_NAMES = {
    "arm": "arm",
    "wired-handle": "wired handle",
    "wireless-handle": "wireless handle",
    "handle": "handle",
}
CANDIDATE_NAMES = {
    "arm": "arm candidate",
    "wired-handle": "wired handle candidate",
    "wireless-handle": "wireless handle candidate",
}

NOTHING_ATTACHED = """\
No Tamro device is attached: {dev} has no ttyACM, ttyUSB or rfcomm node.

Check the cable and the device:
  - Is the device powered? Plug it straight into the computer, not through a hub, with
    another cable if you can (some USB cables carry power only) and into another port.
  - Watch the kernel while you plug it in: sudo dmesg --follow (or journalctl -k -f).
    An arm shows up as cdc_acm ... ttyACM0, a wired handle's adapter as ... now attached to
    ttyUSB0. No line at all: the cable, the port or the device. lsusb should list it too.
  - A wireless handle appears only once bound: sudo rfcomm bind 0 <handle address>.
Check the permissions once the node is there:
  - ls -l /dev/ttyACM* /dev/ttyUSB* shows the node's group (usually dialout); id shows
    whether you are in it. Then run tamro-doctor again: it says what to do.
"""


WIDTH = 100


def _wrap(text: str, first: str, rest: str) -> list[str]:
    """Text as lines of at most WIDTH characters, escaped for the terminal; paths and commands
    are never broken."""
    return textwrap.wrap(
        shown(text),
        WIDTH,
        initial_indent=first,
        subsequent_indent=rest,
        break_long_words=False,
        break_on_hyphens=False,
    )


def _probe_text(probe: Probe, timeout: float) -> str:
    """What answered, in a phrase."""
    answer = probe.answer
    if probe.arm is not None:
        arm = probe.arm
        what = (
            f"device id {arm.device_id}, model {arm.model}, hardware {arm.hardware_version}, "
            f"firmware {arm.firmware_version}, uuid {arm.uuid}"
        )
        if answer == "velkin3":
            return f"an arm: {what}"
        return f"a device-info reply of another model, not an arm that detection accepts: {what}"
    if probe.handle is not None:
        handle = probe.handle
        if handle.message == "information":
            return (
                f"a handle, with its information message: device id {handle.device_id}, model "
                f"{handle.model}, hardware {handle.hardware_version}, firmware "
                f"{handle.firmware_version}, tool data remaining {handle.tool_data_remaining}"
            )
        if handle.message == "status":
            return (
                f"a handle, with a status message: device id {handle.device_id}, hall level "
                f"{handle.hall_effect_sensor_level}, error flag {handle.error_flag}"
            )
        return (
            f"a handle's error response: device id {handle.device_id}, error code {handle.error_code} "
            "(detection does not count it)"
        )
    if answer == "not-opened" and probe.error is not None:
        error = probe.error
        return f"could not open it: [{error.errno}] {error.message} ({error.name})"
    if answer == "not-a-serial-port" and probe.error is not None:
        return f"not opened, nothing sent: {probe.error.message}"
    texts = {
        "not-probed": "not probed",
        "hung": "the probe did not end: the port's system calls hang (unplug and replug the adapter)",
        "write-failed": "the port refused the wake-up request (the device went away?)",
        "silence": f"nothing within {timeout:g} s of the wake-up (powered? the right port?)",
        "truncated": f"a reply that began ({probe.raw_bytes}) and stopped short (a slow or lossy link?)",
        "other": f"bytes that no Tamro device sends first: {probe.raw_bytes}",
    }
    return texts.get(answer, answer)


def verdict(port: Port) -> str:
    """What the port holds, and whether it can be used."""
    if port.usable:
        assert port.device is not None
        return f"{DEVICE_NAMES[port.device]}, usable"
    if port.device is not None:
        if port.probe.answer == "handle-error":
            why = "it answered with an error"
        elif port.access is None or not port.access.can_open:
            why = "no access for this user"
        else:
            why = "held by another process"
        return f"{DEVICE_NAMES[port.device]}, not usable: {why}"
    short = {
        "not-probed": "not probed: held by another process",
        "not-a-serial-port": "not a serial port",
        "not-opened": "cannot be opened",
        "hung": "hangs",
        "write-failed": "refuses writes",
        "silence": "silent",
        "other-model": "another model",
        "truncated": "a reply cut short",
        "other": "not a Tamro device",
    }
    return short.get(port.probe.answer, port.probe.answer)


def headline(port: Port) -> str:
    """The port's first line, printed as soon as its probe ends."""
    seconds = f" ({port.probe.seconds:.2f} s)" if port.probe.seconds is not None else ""
    return shown(f"{port.label}: {verdict(port)}{seconds}")


def _access_text(port: Port, user: str) -> list[str]:
    access = port.access
    if access is None:
        return []
    if access.can_open:
        how = " (through its access control list)" if access.acl else ""
        return [f"read and write for {user}{how}"]
    member = "is in" if access.in_group else "is not in"
    lines = [f"no read and write for {user}: owner {access.owner}, group {access.group}, mode {access.mode}"]
    lines.append(f"{user} {member} the group {access.group}")
    if access.group_member_later:
        lines.append(f"(the group database lists {user} in it: that takes effect at the next login)")
    return lines


def block(port: Port, user: str, timeout: float, fixes: Mapping[str, Fix]) -> str:
    """Everything known of one port, its headline first."""
    rows: list[tuple[str, list[str]]] = []
    rows.append(("detection", [f"{name.path}: {CANDIDATE_NAMES[name.candidate]}" for name in port.names]))
    rows.append(("canonical", [port.path]))
    if port.by_id:
        rows.append(("by-id", port.by_id))
    usb = port.usb
    if usb is not None:
        label = " ".join(part for part in (usb.manufacturer, usb.product) if part) or "(no name)"
        rows.append(
            (
                "USB",
                [
                    f"{usb.vendor_id}:{usb.product_id} {label}, serial {usb.serial or '(none)'}, "
                    f"driver {usb.driver or '(none)'}"
                ],
            )
        )
    else:
        rows.append(("USB", ["no USB identity in sysfs"]))
    rows.append(("access", _access_text(port, user) or ["unknown"]))
    holders = [
        f"{h.name} (pid {h.pid})" + (" - a known port grabber" if h.known else "") for h in port.holders
    ]
    rows.append(("held by", holders or ["no other process"]))
    if port.latency_timer is not None:
        timer = port.latency_timer
        cost = f"about {timer.milliseconds} ms per reply" if timer.milliseconds > 1 else "no noticeable cost"
        rows.append(("latency", [f"{timer.milliseconds} ms ({cost}): {timer.path}"]))
    rows.append(("answered", [_probe_text(port.probe, timeout)]))
    trips = port.probe.round_trips
    if trips is not None:
        line = (
            f"{trips.completed} of {trips.requested} zero-force exchanges, "
            f"p50 {trips.p50_ms:.3f} ms, p99 {trips.p99_ms:.3f} ms"
        )
        if trips.ended != "complete":
            line += f"; then a reply was {trips.ended}"
        rows.append(("round trip", [line]))
        if trips.completed == trips.requested > 0:
            rows.append(("servo loop", [_in_flight_text(trips.in_flight_1khz)]))
    if port.notes:
        rows.append(("note", port.notes))
    if port.fixes:
        rows.append(("fix", [fixes[key].title for key in port.fixes]))
    lines = [headline(port)]
    for label, values in rows:
        for index, value in enumerate(values):
            lines += _wrap(value, f"  {label if index == 0 else '':<11} ", " " * 14)
    return "\n".join(lines)


def _in_flight_text(in_flight: int | None) -> str:
    if in_flight is None:
        return f"no in_flight up to {MAX_IN_FLIGHT} holds 1 kHz over this round trip"
    if in_flight == 1:
        return "in_flight=1 (the default) holds 1 kHz here"
    return (
        f"in_flight={in_flight} holds 1 kHz here (each force made from a state about "
        f"{in_flight} ms old; see docs/servo-loop.md)"
    )


def intro(count: int, root: str) -> str:
    dev = shown(os.path.join(root, "dev"))
    ports = "1 serial port" if count == 1 else f"{count} serial ports"
    return f"tamro-doctor: {ports} under {dev}; probing them side by side.\n"


def nothing_attached(root: str) -> str:
    return NOTHING_ATTACHED.format(dev=shown(os.path.join(root, "dev")))


def summary(findings: Findings) -> str:
    """Which ports hold usable devices, and the fixes in the order to apply them."""
    usable = len(findings.usable)
    ports = "1 port" if len(findings.ports) == 1 else f"{len(findings.ports)} ports"
    lines = [f"Summary: {usable} of {ports} with a usable device"]
    for port in sorted(findings.ports, key=lambda p: not p.usable):
        link = link_name(port) if port.usable else None
        stable = f"; /dev/{link} once the udev rules are in" if link else ""
        lines.append(shown(f"  {port.label}: {verdict(port)}{stable}"))
    for dangling in findings.dangling_links:
        lines.append(shown(f"  dangling link: {dangling.path} -> {dangling.target}"))
    if findings.unseen_processes:
        lines.append(
            f"  {findings.unseen_processes} processes of other users could not be looked at: "
            "sudo tamro-doctor shows every process that holds a port"
        )
    if findings.fixes:
        labels = {port.path: port.label for port in findings.ports}
        lines += ["", "Fixes, in the order to apply them:"]
        for number, fix in enumerate(findings.fixes, 1):
            where = f" [{', '.join(labels[path] for path in fix.ports)}]" if fix.ports else ""
            lines += _wrap(f"{fix.title}{where}", f"  {number}. ", "     ")
            lines += [shown(f"       $ {command}") for command in fix.commands]
            lines += [shown(f"       or: {alternative}") for alternative in fix.alternatives]
        lines.append("Then run tamro-doctor again.")
    return "\n".join(lines) + "\n"


def to_json(findings: Findings, exit_status: int) -> dict[str, Any]:
    """The findings as one JSON document, the schema docs/doctor.md describes."""
    document: dict[str, Any] = {
        "schema": findings.schema,
        "root": findings.root,
        "user": dataclasses.asdict(findings.user),
        "ports": [],
        "dangling_links": [dataclasses.asdict(link) for link in findings.dangling_links],
        "unseen_processes": findings.unseen_processes,
        "usable": [port.path for port in findings.usable],
        "fixes": [dataclasses.asdict(fix) for fix in findings.fixes],
        "udev_rules": rules(findings),
        "exit_status": exit_status,
    }
    for port in findings.ports:
        entry = dataclasses.asdict(port)
        entry["link"] = link_name(port)
        document["ports"].append(entry)
    return document
