"""The fixes the doctor proposes, each with its place in the order to apply them."""

from __future__ import annotations

import shlex
from dataclasses import dataclass, field

__all__ = [
    "INSTALL_RULES",
    "RULES_FILE",
    "Fix",
    "dangling_by_id",
    "dangling_node",
    "holder",
    "join_group",
    "known_holder",
    "latency_timer",
    "log_in_again",
    "udev_access",
]

RULES_FILE = "/etc/udev/rules.d/70-tamro.rules"
INSTALL_RULES = (
    f"tamro-doctor --rules | sudo tee {RULES_FILE}",
    "sudo udevadm control --reload-rules && sudo udevadm trigger",
)

# The order to apply them: what breaks detection or takes the device away first, then
# access, then speed, then what only needs a replug.
DANGLING_NODE, BRLTTY, MODEMMANAGER, OTHER_HOLDER = 10, 20, 30, 40
RELOGIN, JOIN_GROUP, UDEV_ACCESS, LATENCY, DANGLING_BY_ID = 50, 60, 70, 80, 90


@dataclass
class Fix:
    key: str  # the same fix for several ports is proposed once
    order: int
    title: str
    commands: list[str]
    alternatives: list[str] = field(default_factory=list)
    ports: list[str] = field(default_factory=list)


def known_holder(name: str) -> str | None:
    """Which of the known port grabbers a process name is."""
    if name == "ModemManager":
        return "modemmanager"
    if name.startswith("brltty"):
        return "brltty"
    return None


def holder(name: str, pid: int) -> Fix:
    """The fix for a process that holds a port: the known grabbers by name, else close it."""
    known = known_holder(name)
    if known == "modemmanager":
        return Fix(
            key="modemmanager",
            order=MODEMMANAGER,
            title="ModemManager opens new serial ports and sends them modem commands. Tell it to "
            "ignore Tamro devices with the udev rules (they set ID_MM_DEVICE_IGNORE), or stop it "
            "if this machine has no modem",
            commands=list(INSTALL_RULES),
            alternatives=[
                "sudo systemctl disable --now ModemManager (sudo systemctl mask ModemManager keeps it off)"
            ],
        )
    if known == "brltty":
        return Fix(
            key="brltty",
            order=BRLTTY,
            title="brltty (a braille display service) claims USB-serial adapters. Remove it, or "
            "mask its udev service if you use a braille display",
            commands=["sudo apt remove brltty   (or your system's package manager)"],
            alternatives=[
                "sudo systemctl mask brltty-udev.service && "
                "sudo systemctl stop brltty-udev.service brltty.service"
            ],
        )
    return Fix(
        key=f"holder:{pid}",
        order=OTHER_HOLDER,
        title=f"{name} (pid {pid}) holds the port open; two programs on one port take each "
        "other's replies. Close it first",
        commands=[f"kill {pid}   (if it is a leftover)"],
    )


def join_group(user: str, group: str) -> Fix:
    return Fix(
        key=f"group:{group}",
        order=JOIN_GROUP,
        title=f"{user} is not in the group {group}, which may read and write the port. Add {user} "
        f"to it, then log out and in again (or run newgrp {group} in this shell); id then lists "
        f"{group}",
        commands=[f"sudo usermod -aG {shlex.quote(group)} {shlex.quote(user)}"],
        alternatives=["the udev rules (tamro-doctor --rules) give the logged-in user access instead"],
    )


def log_in_again(user: str, group: str) -> Fix:
    return Fix(
        key=f"relogin:{group}",
        order=RELOGIN,
        title=f"{user} was added to the group {group} after this session started. Log out and in "
        f"again, or run newgrp {group} in this shell",
        commands=[f"newgrp {shlex.quote(group)}"],
    )


def udev_access(owner: str) -> Fix:
    return Fix(
        key="udev-access",
        order=UDEV_ACCESS,
        title=f"Only {owner} may read and write the port. Install the udev rules: they give the "
        "logged-in user access (and see docs/doctor.md)",
        commands=list(INSTALL_RULES),
    )


def latency_timer(path: str, milliseconds: int) -> Fix:
    return Fix(
        key=f"latency:{path}",
        order=LATENCY,
        title=f"The USB-serial adapter waits {milliseconds} ms before passing on a short reply: "
        f"about {milliseconds} ms per reply, at most about {1000 // milliseconds} exchanges a "
        "second. Set its latency timer to 1 ms",
        commands=[f"echo 1 | sudo tee {shlex.quote(path)}"],
        alternatives=["for good, across replugs: the udev rules (tamro-doctor --rules)"],
    )


def dangling_node(path: str, target: str) -> Fix:
    return Fix(
        key=f"dangling:{path}",
        order=DANGLING_NODE,
        title=f"{path} leads to {target or 'nothing'}, which does not exist. Every detection "
        "function raises RuntimeError while it is there: remove it",
        commands=[f"sudo rm {shlex.quote(path)}"],
        alternatives=["for an rfcomm node: sudo rfcomm release <number>"] if "rfcomm" in path else [],
    )


def dangling_by_id(path: str, target: str) -> Fix:
    return Fix(
        key=f"dangling:{path}",
        order=DANGLING_BY_ID,
        title=f"{path} points at {target}, which no longer exists: the device was unplugged or came "
        "back under another number. Replug it so that udev renews the link; the udev rules give each "
        "device a stable name under /dev/tamro",
        commands=[],
        alternatives=[f"if the link stays: sudo rm {shlex.quote(path)}"],
    )
