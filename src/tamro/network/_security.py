"""Which enclave of which keystore a participant proves itself with: the arguments given, else
ROS 2's variables, read as ROS 2 reads them.

``ROS_SECURITY_ENABLE=true`` turns security on with the keystore ``ROS_SECURITY_KEYSTORE``;
``ROS_SECURITY_ENCLAVE_OVERRIDE`` replaces the enclave a program asks for; with
``ROS_SECURITY_STRATEGY=Enforce`` a participant whose enclave cannot be found is not created,
otherwise (Permissive) it runs open, with a warning. A keystore given as an argument is
always enforced: asked for by name, it is never quietly dropped."""

from __future__ import annotations

import os
import warnings
from dataclasses import dataclass
from pathlib import Path

__all__ = ["Enclave", "find_enclave"]


@dataclass(frozen=True)
class Enclave:
    """An enclave found: its name (``/lab/bridge``) and directory (``KEYSTORE/enclaves/lab/bridge``)."""

    name: str
    directory: Path


def find_enclave(
    keystore: str | os.PathLike[str] | None = None, enclave: str | None = None
) -> Enclave | None:
    """The enclave a participant joins with, or None for an open participant. Raises
    ``RuntimeError`` when security is asked for (or enforced) and the enclave is not there."""
    enforce = keystore is not None or os.environ.get("ROS_SECURITY_STRATEGY") == "Enforce"
    if keystore is None:
        if os.environ.get("ROS_SECURITY_ENABLE") != "true":
            return None
        keystore = os.environ.get("ROS_SECURITY_KEYSTORE") or None
    name = os.environ.get("ROS_SECURITY_ENCLAVE_OVERRIDE") or enclave or "/"
    if not name.startswith("/"):
        name = "/" + name
    if keystore is None:
        problem = "ROS_SECURITY_ENABLE is true but ROS_SECURITY_KEYSTORE is not set"
    else:
        directory = Path(keystore).expanduser() / "enclaves" / name.lstrip("/")
        if directory.is_dir():
            return Enclave(name, directory)
        problem = f"no enclave {name} in the keystore {keystore} ({directory} is not a directory)"
    if enforce:
        raise RuntimeError(problem)
    warnings.warn(f"{problem}: running without security (ROS_SECURITY_STRATEGY is not Enforce)", stacklevel=3)
    return None
