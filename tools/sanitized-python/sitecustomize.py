"""Imported at start-up by every interpreter of `tools/sanitize.sh --python` (the script puts it on
PYTHONPATH): the sanitizer runtimes that the script preloads into the interpreter reach only the
processes that may load the sanitized modules or that this project built, not every program a
test starts. Chromium's driver, for one, aborts under them ("Shadow memory range interleaves
with an existing memory mapping").

subprocess.Popen gives the preload to a command any of whose words is a Python interpreter or a
file of this tree (its .venv, its build trees, its scripts), and takes it out for any other:
`unshare --mount .venv/bin/python child.py` gets it, `chromedriver` does not. The interpreter's
own environment keeps it, so a test's interpreter that replaces itself with another one
(os.execv) keeps it too.
"""

from __future__ import annotations

import inspect
import os
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
PRELOAD = os.environ.get("LD_PRELOAD")


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
        env = dict(os.environ if bound.arguments.get("env") is None else bound.arguments["env"])
        if any(ours(word) for word in words):
            env["LD_PRELOAD"] = PRELOAD
        else:
            env.pop("LD_PRELOAD", None)
        bound.arguments["env"] = env
        _popen_init(*bound.args, **bound.kwargs)

    subprocess.Popen.__init__ = _init
