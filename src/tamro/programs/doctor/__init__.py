"""tamro-doctor: finds the serial ports a Tamro device could be on, says what is attached
and, when something is in the way, what to do about it.

For every ttyACM, ttyUSB and rfcomm node in /dev (detection's name rules) it reports the USB
identity, whether this user may open it, which processes hold it, a USB-serial adapter's
latency timer, and what answered a wake-up request; ports are probed side by side through the
device library. ``--json`` gives the same as one document, ``--rules`` udev rules for the
devices found. See docs/doctor.md.

Exit status: 0 when at least one device is usable, 1 when none is, 2 for a usage error.
"""

from __future__ import annotations

import argparse
import json
import os
import pwd
import sys
from collections.abc import Mapping, Sequence

from ._access import user_name
from ._examine import SCHEMA, Findings, Port, examine
from ._fixes import Fix
from ._render import block, intro, nothing_attached, summary, to_json
from ._rules import rules

__all__ = ["SCHEMA", "Findings", "Port", "examine", "main", "rules"]


def _group_list(text: str) -> list[int]:
    try:
        return [int(part) for part in text.split(",") if part.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"a comma-separated list of group ids, not {text!r}") from None


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tamro-doctor",
        description="Finds the serial ports a Tamro device could be on, tells what answers on each "
        "and what stands in the way, and how to fix it.",
        epilog="Exit status: 0 when at least one device is usable, 1 when none is, 2 for a usage "
        "error. See docs/doctor.md.",
    )
    output = parser.add_mutually_exclusive_group()
    output.add_argument("--json", action="store_true", help="print the findings as one JSON document")
    output.add_argument("--rules", action="store_true", help="print udev rules for the devices found")
    parser.add_argument(
        "--root",
        metavar="DIR",
        default="/",
        help="read DIR/dev, DIR/sys and DIR/proc instead of /dev, /sys and /proc",
    )
    parser.add_argument(
        "--timeout",
        metavar="SECONDS",
        type=float,
        default=0.5,
        help="how long a probe waits for each reply (default 0.5)",
    )
    parser.add_argument(
        "--exchanges",
        metavar="N",
        type=int,
        default=100,
        help="zero-force exchanges timed on each arm (default 100)",
    )
    # Judge access for another user: for root, and for tests that run as root.
    parser.add_argument("--uid", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--groups", type=_group_list, help=argparse.SUPPRESS)
    return parser


def _judged_user(uid: int | None, groups: list[int] | None) -> tuple[int, list[int] | None]:
    """Whose access to judge: the user named by the hidden options, else the user behind sudo
    (sudo tamro-doctor sees every process, and still tells that user's access), else this
    process's user (None: this process's groups)."""
    if uid is not None:
        return uid, groups or []
    behind_sudo = os.environ.get("SUDO_UID", "")
    if os.geteuid() == 0 and behind_sudo.isdigit():
        try:
            entry = pwd.getpwuid(int(behind_sudo))
        except KeyError:
            pass
        else:
            return entry.pw_uid, os.getgrouplist(entry.pw_name, entry.pw_gid)
    return os.geteuid(), None


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if not os.path.isdir(args.root):
        parser.error(f"--root {args.root}: not a folder")
    if not 0 < args.timeout <= 60:
        parser.error("--timeout takes more than 0 and at most 60 seconds")
    if args.exchanges < 0:
        parser.error("--exchanges takes a count from 0")
    uid, groups = _judged_user(args.uid, args.groups)
    text = not (args.json or args.rules)
    user = user_name(uid) or f"uid {uid}"

    def on_start(ports: Sequence[Port]) -> None:
        print(intro(len(ports), args.root) if ports else nothing_attached(args.root), flush=True)

    def on_port(port: Port, fixes: Mapping[str, Fix]) -> None:
        print(block(port, user, args.timeout, fixes) + "\n", flush=True)

    findings = examine(
        args.root,
        uid=uid,
        groups=groups,
        timeout=args.timeout,
        exchanges=args.exchanges,
        on_start=on_start if text else None,
        on_port=on_port if text else None,
    )
    status = 0 if findings.usable else 1
    if args.json:
        print(json.dumps(to_json(findings, status), indent=2))
    elif args.rules:
        print(rules(findings), end="")
    elif findings.ports or findings.fixes:
        print(summary(findings), end="", flush=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
