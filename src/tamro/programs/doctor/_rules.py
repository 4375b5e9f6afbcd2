"""udev rules for the devices found: keyed on USB vendor and product ids (and the serial
number where there is one), they give the logged-in user access, keep ModemManager away, set
a USB-serial adapter's latency timer to 1 ms, and give each device a stable name under
/dev/tamro.

The rules run as root, and a device chooses its own strings: only text of a strict set of
characters (letters, digits, ".", "_", "-") enters a rule. That leaves out quotes, line breaks,
udev's substitutions ("%", "$") and its patterns ("*", "?", "[", "|"). A serial number with
anything else is left out of the match, and USB ids with anything else get no rule at all; a
comment says so without quoting them. Comments carry device text only when it is plain too."""

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


_PLAIN = re.compile(r"[A-Za-z0-9._-]+")
# Comments may also carry spaces and a little punctuation (a manufacturer's name, a path), but
# no backslash (udev joins a line that ends in one to the next), quote or line break.
_COMMENT_SAFE = re.compile(r"[A-Za-z0-9._,:;()/+ -]+")
_LEFT_OUT = "(left out: it holds characters a rules file must not carry)"


def _plain(text: str | None) -> str | None:
    """The text when it may enter a rule, else None."""
    return text if text is not None and _PLAIN.fullmatch(text) else None


def _comment(text: str | None) -> str:
    if text is None:
        return "(none)"
    return text if _COMMENT_SAFE.fullmatch(text) else _LEFT_OUT


def _ids(port: Port) -> tuple[str, str] | None:
    """The port's USB vendor and product ids, when both may enter a rule."""
    if port.usb is None:
        return None
    vendor, product = _plain(port.usb.vendor_id), _plain(port.usb.product_id)
    return (vendor, product) if vendor and product else None


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
    ids = _ids(port)
    if kind is None or ids is None:
        return None
    assert port.usb is not None
    serial = _plain(port.usb.serial)
    if serial:
        return f"tamro/{kind}-{serial}"
    return f"tamro/{kind}-{ids[0]}_{ids[1]}"


def _match(port: Port, ids: tuple[str, str]) -> str:
    assert port.usb is not None
    keys = [f'ATTRS{{idVendor}}=="{ids[0]}"', f'ATTRS{{idProduct}}=="{ids[1]}"']
    serial = _plain(port.usb.serial)
    if serial:
        keys.append(f'ATTRS{{serial}}=="{serial}"')
    return ", ".join(keys)


def _group(port: Port) -> str:
    group = _plain(port.access.group if port.access is not None else None)
    return DEFAULT_GROUP if group is None or group in ("root", "tty") or group.isdigit() else group


def _names(port: Port) -> str:
    return ", ".join(_comment(name.path) for name in port.names)


def _describe(port: Port) -> list[str]:
    usb = port.usb
    assert usb is not None
    what = f"{_comment(usb.vendor_id)}:{_comment(usb.product_id)}"
    label = " ".join(_comment(part) for part in (usb.manufacturer, usb.product) if part)
    if label:
        what += f" {label}"
    serial = _plain(usb.serial)
    if serial:
        what += f", serial {serial}"
    lines = [f"# {_names(port)}: {_kind(port)} ({what})"]
    if not usb.serial:
        lines.append("# No serial number: a second device of this kind would match too.")
    elif serial is None:
        lines.append("# Its serial number holds characters a rule must not carry, so the rule leaves it")
        lines.append("# out: a second device of this kind would match too.")
    return lines


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
        ids = _ids(port)
        if link is None or ids is None:
            if _kind(port) is not None:
                why = (
                    "no USB identity in sysfs"
                    if port.usb is None
                    else "its USB ids hold characters a rule must not carry"
                )
                lines += ["", f"# {_names(port)}: {why}, so no rule can single it out."]
            continue
        written += 1
        match = _match(port, ids)
        lines += [
            "",
            *_describe(port),
            f'SUBSYSTEM=="tty", {match}, MODE="0660", GROUP="{_group(port)}", TAG+="uaccess", '
            f'ENV{{ID_MM_DEVICE_IGNORE}}="1", SYMLINK+="{link}"',
        ]
        if port.latency_timer is not None:
            lines.append(f'ACTION=="add", SUBSYSTEM=="usb-serial", {match}, ATTR{{latency_timer}}="1"')
    if not written:
        lines += ["", "# No Tamro device with a USB identity was found: there is nothing to add."]
    return "\n".join(lines) + "\n"
