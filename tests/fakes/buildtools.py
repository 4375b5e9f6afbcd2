"""The build tools the packaging tests run: the project's own first (make build puts them in
.venv, beside the interpreter), then the system's; a test skips when neither has one."""

from __future__ import annotations

import shutil
import sys
from pathlib import Path

import pytest


def tool(name: str) -> str:
    local = Path(sys.executable).parent / name
    found = str(local) if local.exists() else shutil.which(name)
    if found is None:
        pytest.skip(f"{name} not found")
    return found
