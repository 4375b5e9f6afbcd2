"""Imported at start-up by every interpreter of `tools/sanitize.sh --python` (the script puts it on
PYTHONPATH): the sanitizer runtimes that the script preloads into the interpreter reach only the
processes that may load the sanitized modules or that this project built, not every program a
test starts. Chromium's driver, for one, aborts under them ("Shadow memory range interleaves
with an existing memory mapping").

The preload is taken out of this interpreter's environment and given back, by subprocess.Popen,
to a command any of whose words is a Python interpreter or a file of this tree (its .venv, its
build trees, its scripts): `unshare --mount .venv/bin/python child.py` gets it, `chromedriver`
does not.
"""

from __future__ import annotations

import inspect
import os
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
PRELOAD = os.environ.pop("LD_PRELOAD", None)


def ours(word: object) -> bool:
    if not isinstance(word, (str, bytes, os.PathLike)):
        return False
    path = Path(os.fsdecode(word))
    if path.name.startswith("python"):
        return True
    if len(path.parts) == 1:
        return False  # a bare name: found on PATH, so not one of this tree's files
    try:
        return path.resolve().is_relative_to(ROOT) or path.absolute().is_relative_to(ROOT)
    except (OSError, ValueError):
        return False


if PRELOAD:
    _SIGNATURE = inspect.signature(subprocess.Popen.__init__)
    _popen_init = subprocess.Popen.__init__

    def _init(self: subprocess.Popen[object], *args: object, **kwargs: object) -> None:
        bound = _SIGNATURE.bind(self, *args, **kwargs)
        command = bound.arguments["args"]
        words = [command] if isinstance(command, (str, bytes, os.PathLike)) else list(command)
        words.append(bound.arguments.get("executable"))
        if any(ours(word) for word in words):
            env = bound.arguments.get("env")
            bound.arguments["env"] = {**(os.environ if env is None else env), "LD_PRELOAD": PRELOAD}
        _popen_init(*bound.args, **bound.kwargs)

    subprocess.Popen.__init__ = _init
