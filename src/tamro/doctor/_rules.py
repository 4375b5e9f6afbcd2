"""udev rules for the devices found: keyed on USB vendor and product ids (and the serial
number where there is one), they give the logged-in user access, keep ModemManager away, set
a USB-serial adapter's latency timer to 1 ms, and give each device a stable name under
/dev/tamro."""

from __future__ import annotations

import re

from ._examine import Findings, Port
from ._fixes import INSTALL_RULES, RULES_FILE

__all__ = ["link_name", "rules"]

# Group access when no better group is known; udev's uaccess tag adds the logged-in user.
DEFAULT_GROUP = "dialout"

# Answers that say nothing of what the device is; such a port gets a rule only when the probe
# could not ask it (its name then tells what it should be).
_UNASKED = ("not-probed", "not-opened", "hung", "write-failed")


def _safe(text: str) -> str:
    return re.sub(r"[^A-Za-z0-9._-]", "_", text)


def _kind(port: Port) -> str | None:
    """arm or handle: what answered, or what the name says when nothing could be asked."""
    if port.device is not None:
        return "arm" if port.device == "arm" else "handle"
    if port.probe.answer in _UNASKED:
        return "arm" if "arm" in port.candidates() else "handle"
    return None


def link_name(port: Port) -> str | None:
    """The stable link (below /dev) the rules give the port's device."""
    kind = _kind(port)
    if kind is None or port.usb is None:
        return None
    if port.usb.serial:
        return f"tamro/{kind}-{_safe(port.usb.serial)}"
    return f"tamro/{kind}-{_safe(port.usb.vendor_id)}_{_safe(port.usb.product_id)}"


def _match(port: Port) -> str:
    assert port.usb is not None
    keys = [f'ATTRS{{idVendor}}=="{port.usb.vendor_id}"', f'ATTRS{{idProduct}}=="{port.usb.product_id}"']
    if port.usb.serial:
        keys.append(f'ATTRS{{serial}}=="{port.usb.serial}"')
    return ", ".join(keys)


def _group(port: Port) -> str:
    group = port.access.group if port.access is not None else DEFAULT_GROUP
    return DEFAULT_GROUP if group in ("root", "tty") or group.isdigit() else group


def _describe(port: Port) -> str:
    usb = port.usb
    assert usb is not None
    names = ", ".join(name.path for name in port.names)
    what = f"{usb.vendor_id}:{usb.product_id}"
    label = " ".join(part for part in (usb.manufacturer, usb.product) if part)
    if label:
        what += f" {label}"
    if usb.serial:
        what += f", serial {usb.serial}"
    else:
        what += ", no serial number: a second device of this kind would match too"
    return f"# {names}: {_kind(port)} ({what})"


def rules(findings: Findings) -> str:
    """The rules file for the devices found, with how to install it in its header."""
    lines = [
        "# udev rules for Tamro devices, written by tamro-doctor for the devices attached when it ran.",
        f"# Install as {RULES_FILE} (before 73-seat-late.rules, which grants",
        '# TAG+="uaccess" to the logged-in user, and before ModemManager reads ID_MM_DEVICE_IGNORE):',
        *(f"#   {command}" for command in INSTALL_RULES),
        "# then unplug and replug each device; docs/doctor.md tells how to check that they took.",
    ]
    written = 0
    for port in findings.ports:
        link = link_name(port)
        if link is None:
            if _kind(port) is not None:
                names = ", ".join(name.path for name in port.names)
                lines += ["", f"# {names}: no USB identity in sysfs, so no rule can single it out."]
            continue
        written += 1
        lines += [
            "",
            _describe(port),
            f'SUBSYSTEM=="tty", {_match(port)}, MODE="0660", GROUP="{_group(port)}", TAG+="uaccess", '
            f'ENV{{ID_MM_DEVICE_IGNORE}}="1", SYMLINK+="{link}"',
        ]
        if port.latency_timer is not None:
            lines.append(f'ACTION=="add", SUBSYSTEM=="usb-serial", {_match(port)}, ATTR{{latency_timer}}="1"')
    if not written:
        lines += ["", "# No Tamro device with a USB identity was found: there is nothing to add."]
    return "\n".join(lines) + "\n"
