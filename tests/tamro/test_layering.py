"""The layers, each stated in one line and checked on the sources: tamro never imports the
low-level module TamroHardwareAPI, and the programs (every package in tamro/programs, and the
examples) use only tamro's public API, never tamro._native or a private module outside their
own package and the programs' shared one."""

from __future__ import annotations

import ast
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
PACKAGE = ROOT / "src" / "tamro"
PROGRAMS = PACKAGE / "programs"
SHARED = "tamro.programs._cli"  # what the programs share (options, signals)


def module_name(path: Path) -> str:
    parts = list(path.relative_to(PACKAGE.parent).with_suffix("").parts)
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def imports(path: Path, module: str) -> list[str]:
    """Every module that path imports, wherever in it, relative imports made absolute (for
    ``from package import name`` also package.name, which may be a module)."""
    package = module if path.name == "__init__.py" else module.rpartition(".")[0]
    found: list[str] = []
    for node in ast.walk(ast.parse(path.read_text(), str(path))):
        if isinstance(node, ast.Import):
            found += [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = package.split(".")[: len(package.split(".")) - node.level + 1] if node.level else []
            target = ".".join(base + ([node.module] if node.module else []))
            found.append(target)
            found += [f"{target}.{alias.name}" for alias in node.names]
    return found


def private_outside(imported: str, own: str) -> bool:
    """Whether imported names a private part of tamro that is not inside the package own."""
    if not imported.startswith("tamro.") or imported.startswith(own + "."):
        return False
    if imported == SHARED or imported.startswith(SHARED + "."):
        return False
    return any(part.startswith("_") for part in imported.split(".")[1:])


def test_tamro_never_imports_the_low_level_module():
    offenders = [
        f"{path.relative_to(ROOT)} imports {name}"
        for path in PACKAGE.rglob("*.py")
        for name in imports(path, module_name(path))
        if name.split(".")[0] == "TamroHardwareAPI"
    ]
    assert offenders == []


def test_the_programs_use_only_the_public_api():
    programs = sorted(path.parent for path in PROGRAMS.glob("*/__init__.py"))
    # Every tamro-* command is one of these folders: a program moved elsewhere is not unchecked.
    assert {folder.name for folder in programs} >= {"doctor", "panel", "bridge", "teleop", "record"}
    offenders: list[str] = []
    for folder in programs:
        program = module_name(folder / "__init__.py")
        for path in folder.rglob("*.py"):
            offenders += [
                f"{path.relative_to(ROOT)} imports {name}"
                for name in imports(path, module_name(path))
                if private_outside(name, program)
            ]
    for path in (ROOT / "examples").glob("*.py"):
        offenders += [
            f"{path.relative_to(ROOT)} imports {name}"
            for name in imports(path, "examples." + path.stem)
            if private_outside(name, "examples")
        ]
    assert offenders == []


def test_the_check_sees_relative_and_nested_imports(tmp_path):
    """The checks above would pass on no imports at all: this one shows they see them."""
    source = tmp_path / "tamro" / "programs" / "panel" / "_x.py"
    source.parent.mkdir(parents=True)
    source.write_text(
        "from ... import _native\nfrom ..._errors import E\nfrom .._cli import on_signals\n"
        "def f():\n    import TamroHardwareAPI\n"
    )
    found = imports(source, "tamro.programs.panel._x")
    assert {"tamro._native", "tamro._errors", "TamroHardwareAPI"} <= set(found)
    assert [name for name in found if private_outside(name, "tamro.programs.panel")] == [
        "tamro._native",
        "tamro._errors",
        "tamro._errors.E",
    ]
