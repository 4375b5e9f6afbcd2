"""tamro-keystore: a DDS Security keystore in ROS 2's SROS2 layout, so that only the lab's own
machines move the arm.

::

    tamro-keystore create KEYSTORE [--sign-only]
    tamro-keystore enclave KEYSTORE /lab/bridge --role bridge|operator|observer [--namespace NS]

``create`` makes the CA (one for identities and permissions, as SROS2 does) and the governance
document: every participant authenticated, discovery and data encrypted (``--sign-only``:
signed). ``enclave`` makes an enclave's key (0600), certificate and permissions by role:
``bridge`` publishes the measured topics and reads the commands; ``operator`` the reverse, and
publishes its own measured topics (teleoperation); ``observer`` only reads. Existing files are
never overwritten. Then give the programs ``--keystore KEYSTORE --enclave /lab/bridge`` (or set
ROS 2's ``ROS_SECURITY_*`` variables). See docs/network.md, "Who may move the arm".
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import cast

from tamro.terminal import shown

from ._store import ROLES, KeystoreError, Role, create_enclave, create_keystore

__all__ = ["main"]


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tamro-keystore",
        description="Make a DDS Security keystore (ROS 2's SROS2 layout) and its enclaves.",
    )
    commands = parser.add_subparsers(dest="command", required=True)
    create = commands.add_parser("create", help="make the CA and the governance document")
    create.add_argument("keystore", type=Path, help="the keystore's directory")
    create.add_argument(
        "--sign-only", action="store_true", help="sign discovery and data instead of encrypting them"
    )
    enclave = commands.add_parser("enclave", help="make an enclave: key, certificate, permissions")
    enclave.add_argument("keystore", type=Path, help="the keystore's directory")
    enclave.add_argument("name", help="the enclave's name, for example /lab/bridge")
    enclave.add_argument("--role", required=True, choices=ROLES, help="what the enclave may do")
    enclave.add_argument(
        "--namespace", help="grant only the topics under this ROS 2 namespace (default: any)"
    )
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        if args.command == "create":
            create_keystore(args.keystore, sign_only=args.sign_only)
            kind = "signed" if args.sign_only else "encrypted"
            print(f"keystore {shown(str(args.keystore))}: CA and governance (discovery and data {kind})")
        else:
            directory = create_enclave(
                args.keystore, args.name, cast(Role, args.role), namespace=args.namespace
            )
            print(f"enclave {shown(args.name)} ({args.role}) in {shown(str(directory))}")
    except (KeystoreError, OSError) as error:
        print(f"tamro-keystore: {shown(str(error))}", file=sys.stderr)
        return 1
    return 0
