"""The type stubs against the built modules.

stubtest finds names that exist on one side only, in the module's stub and in the stub of
tamro's native half (src/tamro/_native.pyi). It cannot see parameters, because
pybind11 functions carry no inspectable signature, so the signature lines that pybind11
generates are compared with the stub here, and the values that methods return and hand to
callbacks are checked against the stub's annotations. The examples are type-checked
against the stub with mypy.
"""

from __future__ import annotations

import ast
import os
import re
import struct
import subprocess
import sys
import uuid
from pathlib import Path

import pytest
from fakedevice import floats

import TamroHardwareAPI as api

ROOT = Path(__file__).resolve().parents[2]
STUB = ROOT / "Bindings" / "TamroHardwareAPI.pyi"
# The tree's stubs, not the installed copies: mypy looks on MYPYPATH first.
STUB_PATHS = {"TamroHardwareAPI": STUB.parent, "tamro._native": ROOT / "src"}
EXAMPLES = ROOT / "examples"
# The examples written against the stub are checked strictly; every example (the demo
# included) is checked with mypy's defaults.
STRICT_EXAMPLES = [
    "arm_force_loop.py",
    "position_control.py",
    "handle_callbacks.py",
    "detect_devices.py",
    "reconnect.py",
    "servo_wall.py",
    "handle_steers_arm.py",
    "record_and_plot.py",
    "demo.py",
]


def run_mypy_tool(
    args: list[str], tmp_path: Path, stubs: Path = STUB.parent
) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, MYPYPATH=str(stubs))
    return subprocess.run(
        [sys.executable, *args], env=env, cwd=tmp_path, capture_output=True, text=True, timeout=600
    )


@pytest.mark.parametrize("module", sorted(STUB_PATHS))
def test_stubtest_is_clean(module: str, tmp_path: Path) -> None:
    result = run_mypy_tool(["-m", "mypy.stubtest", module], tmp_path, STUB_PATHS[module])
    assert result.returncode == 0, result.stdout + result.stderr


def test_examples_type_check(tmp_path: Path) -> None:
    cache = ["--cache-dir", str(tmp_path / "cache"), "--enable-error-code", "deprecated"]
    strict = run_mypy_tool(
        ["-m", "mypy", "--strict", *cache, *(str(EXAMPLES / name) for name in STRICT_EXAMPLES)], tmp_path
    )
    assert strict.returncode == 0, strict.stdout + strict.stderr
    everything = run_mypy_tool(["-m", "mypy", *cache, *map(str, sorted(EXAMPLES.glob("*.py")))], tmp_path)
    assert everything.returncode == 0, everything.stdout + everything.stderr


# --- generated signatures against the stub ------------------------------------------------

# Where the stub deliberately says more than the generated line, and why.
DEVIATIONS = {
    # The path converter is declared as str but takes bytes and bytearray as well (and None,
    # which the stub leaves out: it can only give a stream that fails).
    ("SerialStream.__init__", "arg0"): "str | bytes | bytearray",
    # The hooks are typed as an override receives them from Receive; the bound base method
    # takes one float and one byte.
    ("Handle.OnReceiveHandleStatusMessage", "quaternion"): "list[float]",
    ("Handle.OnReceiveHandleStatusMessage", "user_data"): "list[int]",
}
# SendHandleState's user_data defaults to None, which converts to no integer: the stub makes
# it required through two overloads instead of a default.
SEND_HANDLE_STATE = "Handle.SendHandleState"


def split_top_level(text: str) -> list[str]:
    parts, depth, current = [], 0, ""
    for char in text:
        if char in "[(<":
            depth += 1
        elif char in "])>":
            depth -= 1
        if char == "," and depth == 0:
            parts.append(current.strip())
            current = ""
        else:
            current += char
    if current.strip():
        parts.append(current.strip())
    return parts


def runtime_signatures(obj: object, name: str) -> list[tuple[list[tuple[str, str, bool]], str]]:
    """(parameters as (name, type, has default), return type) per overload, from __doc__."""
    doc = obj.__doc__ or ""
    pattern = re.compile(rf"^(?:\d+\. )?{re.escape(name)}\((.*)\) -> (.+)$", re.M)
    signatures = []
    for match in pattern.finditer(doc):
        params = []
        for param in split_top_level(match.group(1)):
            m = re.fullmatch(r"(?P<name>[^:]+): (?P<type>.+?)(?: = (?P<default>.+))?", param)
            assert m, param
            params.append((m["name"], m["type"], m["default"] is not None))
        signatures.append((params, match.group(2)))
    return signatures


def stub_definitions() -> dict[str, list[ast.FunctionDef]]:
    """Qualified name -> its definitions in the stub, overloads in order."""
    tree = ast.parse(STUB.read_text())
    found: dict[str, list[ast.FunctionDef]] = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            found.setdefault(node.name, []).append(node)
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    found.setdefault(f"{node.name}.{item.name}", []).append(item)
    return found


def expected_annotation(runtime_type: str, is_return: bool) -> str:
    runtime_type = runtime_type.replace("TamroHardwareAPI.", "")
    if not is_return and runtime_type == "list[float]":
        return "Sequence[float]"  # any sequence of numbers converts
    return runtime_type


def runtime_callables() -> dict[str, object]:
    found: dict[str, object] = {}
    for name, value in vars(api).items():
        if isinstance(value, type):
            for member, attribute in vars(value).items():
                if callable(attribute) and (member == "__init__" or not member.startswith("_")):
                    found[f"{name}.{member}"] = attribute
        elif callable(value):
            found[name] = value
    return found


@pytest.mark.parametrize("qualified", sorted(runtime_callables()))
def test_stub_matches_generated_signature(qualified: str) -> None:
    runtime = runtime_signatures(runtime_callables()[qualified], qualified.rsplit(".", 1)[-1])
    stub = stub_definitions()[qualified]
    if qualified == "Device.__init__":
        assert not runtime  # no constructor: pybind11's refusing default
        return
    assert runtime, f"no generated signature for {qualified}"
    if qualified == SEND_HANDLE_STATE:
        ((params, returns),) = runtime
        assert [(n, t) for n, t, _ in params] == [
            ("self", "TamroHardwareAPI.Handle"),
            ("device_id", "int"),
            ("data_length", "int"),
            ("user_data", "int"),
        ]
        assert [a.arg for a in stub[0].args.args] == ["self", "device_id", "data_length", "user_data"]
        assert [a.arg for a in stub[1].args.kwonlyargs] == ["user_data"]
        return
    assert len(stub) == len(runtime), "overload count"
    for definition, (params, returns) in zip(stub, runtime, strict=True):
        args = definition.args
        positional_only = {a.arg for a in args.posonlyargs}
        stub_params = args.posonlyargs + args.args
        assert not args.kwonlyargs and args.vararg is None
        assert len(stub_params) == len(params), [a.arg for a in stub_params]
        first_default = len(stub_params) - len(args.defaults)
        for index, ((name, runtime_type, has_default), stub_param) in enumerate(
            zip(params, stub_params, strict=True)
        ):
            if index == 0:
                assert stub_param.arg == "self"
                continue
            if " " in name or re.fullmatch(r"arg\d+", name):
                # Names that cannot be written as keywords are positional-only in the stub.
                assert stub_param.arg in positional_only, name
                if " " in name:
                    assert stub_param.arg == name.replace(" ", "_")
            else:
                assert stub_param.arg == name and name not in positional_only
            assert (index >= first_default) == has_default, f"default of {name}"
            assert stub_param.annotation is not None
            want = DEVIATIONS.get((qualified, name), expected_annotation(runtime_type, False))
            assert ast.unparse(stub_param.annotation) == want, name
        got = ast.unparse(definition.returns) if definition.returns else "None"
        want = expected_annotation(returns, True)
        if want == "tuple":
            assert got.startswith("tuple["), got
        elif want == "dict":
            assert got == "DeviceInfoDict"
        else:
            assert got == want


# --- values at run time against the stub's annotations -------------------------------------


def stub_class_annotations(class_name: str) -> dict[str, ast.expr]:
    tree = ast.parse(STUB.read_text())
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and node.name == class_name:
            return {
                item.target.id: item.annotation
                for item in node.body
                if isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name)
            }
    raise KeyError(class_name)


def stub_return(qualified: str, overload: int = 0) -> ast.expr:
    returns = stub_definitions()[qualified][overload].returns
    assert returns is not None
    return returns


def conforms(value: object, annotation: ast.expr) -> bool:
    """Whether value fits the annotation, for the few forms the stub uses."""
    text = ast.unparse(annotation)
    simple = {"int": int, "float": float, "str": str, "UUID": api.UUID, "uuid.UUID": uuid.UUID}
    if text in simple:
        return type(value) is simple[text]
    if text == "None":
        return value is None
    if text == "DeviceInfoDict":
        fields = stub_class_annotations("DeviceInfoDict")
        return (
            type(value) is dict
            and list(value) == list(fields)
            and all(conforms(value[key], fields[key]) for key in fields)
        )
    assert isinstance(annotation, ast.Subscript), text
    container = ast.unparse(annotation.value)
    if container == "list":
        return type(value) is list and all(conforms(item, annotation.slice) for item in value)
    if container == "tuple":
        items = annotation.slice.elts if isinstance(annotation.slice, ast.Tuple) else [annotation.slice]
        return (
            type(value) is tuple
            and len(value) == len(items)
            and all(conforms(v, a) for v, a in zip(value, items, strict=True))
        )
    raise AssertionError(f"unknown annotation {text}")


DEVICE_INFO = bytes([0x0B, 0x34, 0x12, 4, 2, 7]) + bytes(range(16))
STATE = bytes([43]) + floats(0.1, 0.2, 0.3, 0.0, 0.0, -1.0)


@pytest.mark.parametrize(
    "method, args, reply",
    [
        ("device_wakeup", (), DEVICE_INFO),
        ("device_wakeup_dict", (), DEVICE_INFO),
        ("ReceiveDeviceInfo", (), DEVICE_INFO),
        ("end_effector_force", ((1.0, 2.0, 3.0),), STATE),
        ("joint_angles", ([0.1, 0.2, 0.3],), bytes([27]) + floats(*range(6))),
        ("ReceiveCurrent", (), bytes([171]) + floats(1.0, 2.0, 3.0)),
    ],
    ids=lambda value: value if isinstance(value, str) else "",
)
def test_arm_results_fit_stub(fake_device, method: str, args: tuple[object, ...], reply: bytes) -> None:
    arm = api.Velkin3(api.SerialStream(fake_device.path))
    fake_device.feed(reply)  # after opening: opening discards what waits on the line
    result = getattr(arm, method)(*args)
    assert conforms(result, stub_return(f"Velkin3.{method}")), result
    # A failed exchange (all zeros) would fit the annotations as well.
    assert has_nonzero(result), "the reply was not decoded"


def has_nonzero(value: object) -> bool:
    if isinstance(value, dict):
        value = list(value.values())
    if isinstance(value, (list, tuple)):
        return any(has_nonzero(item) for item in value)
    if isinstance(value, api.UUID):
        return any(value.bytes())
    if isinstance(value, uuid.UUID):
        return value.int != 0
    return value != 0


def test_handle_callback_arguments_fit_stub(fake_device) -> None:
    hooks = {
        name: definition[0].args.args[1:]
        for name, definition in (
            (q.split(".")[1], d) for q, d in stub_definitions().items() if q.startswith("Handle.OnReceive")
        )
    }
    calls: list[tuple[str, tuple[object, ...]]] = []

    class Recording(api.Handle):
        def OnReceiveHandleInfo(self, *values):  # type: ignore[no-untyped-def]
            calls.append(("OnReceiveHandleInfo", values))

        def OnReceiveHandleStatusMessage(self, *values):  # type: ignore[no-untyped-def]
            calls.append(("OnReceiveHandleStatusMessage", values))

        def OnReceiveHandleErrorResponse(self, *values):  # type: ignore[no-untyped-def]
            calls.append(("OnReceiveHandleErrorResponse", values))

    status = struct.pack("<HBB4fB", 4660, 1, 200, 1.0, 0.0, 0.0, 0.5, 2) + bytes([0xAA, 0xBB])
    handle = Recording(api.SerialStream(fake_device.path))
    fake_device.feed(bytes([218]) + status + bytes([208, 0x34, 0x12, 9, 4, 5, 6, 223, 0x34, 0x12, 7]))
    results = [handle.Receive() for _ in range(3)]
    assert results == [23, 6, 3]
    assert all(conforms(r, stub_return("Handle.Receive")) for r in results)
    assert [name for name, _ in calls] == [
        "OnReceiveHandleStatusMessage",
        "OnReceiveHandleInfo",
        "OnReceiveHandleErrorResponse",
    ]
    for name, values in calls:
        params = hooks[name]
        assert len(values) == len(params), name
        for value, param in zip(values, params, strict=True):
            assert param.annotation is not None
            assert conforms(value, param.annotation), (name, param.arg, value)
