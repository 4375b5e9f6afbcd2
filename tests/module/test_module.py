"""The module itself: identity, attributes, version functions, the interpreter-version gate,
and the generated docstrings of every function and method."""

from __future__ import annotations

import contextlib
import glob
import io
import json
import os
import re
import shutil
import subprocess
import sys

import pytest

import TamroHardwareAPI as T


def test_imported_under_310_with_its_identity():
    assert sys.version_info[:2] == (3, 10)
    assert T.__doc__ == "Python Implementation of the Tamro Hardware API"
    assert T.__version__ == "dev"
    assert T.get_cpp_version() == "0.1.1"
    with pytest.raises(TypeError):
        T.get_cpp_version(1)
    with pytest.raises(TypeError):
        T.print_cpp_version("x")


def test_attributes_are_created_in_registration_order():
    # Attributes the import machinery itself sets are left out.
    machinery = {"__name__", "__package__", "__loader__", "__spec__", "__file__"}
    own = [name for name in vars(T) if name not in machinery]
    assert own == [
        "__doc__",
        "SerialStream",
        "UUID",
        "Device",
        "get_cpp_version",
        "print_cpp_version",
        "detect_velkin3s",
        "detect_handles",
        "detect_wired_handles",
        "detect_wireless_handles",
        "Velkin3",
        "Handle",
        "__version__",
    ]


def test_print_cpp_version_writes_to_descriptor_1_not_sys_stdout(capfdbinary):
    replaced = io.StringIO()
    with contextlib.redirect_stdout(replaced):
        result = T.print_cpp_version()
    assert result is None
    assert replaced.getvalue() == ""
    captured = capfdbinary.readouterr()
    assert captured.out == b"Library version: 0.1.1\n"
    assert captured.err == b""


# --- Generated docstrings ------------------------------------------------------------------

M = "TamroHardwareAPI"
V = f"self: {M}.Velkin3"
H = f"self: {M}.Handle"
ZEROS = "[0.0, 0.0, 0.0]"

FUNCTION_DOCS = {
    "get_cpp_version": "get_cpp_version() -> str\n\nGet the version of the CPP library\n",
    "print_cpp_version": "print_cpp_version() -> None\n\nPrint the version of the CPP library\n",
    "detect_velkin3s": "detect_velkin3s() -> list[str]\n\ndetect available velkin3 devices\n",
    "detect_handles": "detect_handles() -> list[str]\n\ndetect available handles\n",
    "detect_wired_handles": "detect_wired_handles() -> list[str]\n\ndetect available wired handles\n",
    "detect_wireless_handles": (
        "detect_wireless_handles() -> list[str]\n\ndetect available wireless handles\n"
    ),
}

_SEND_FORCE_DOC = "[Deprecated] Send force to the device"
_RECEIVE_DOC = "Receive data from the handle"

METHOD_DOCS = {
    ("SerialStream", "__init__"): f"__init__(self: {M}.SerialStream, arg0: str) -> None\n",
    ("UUID", "__init__"): f"__init__(self: {M}.UUID) -> None\n",
    ("UUID", "bytes"): f"bytes(self: {M}.UUID) -> list[int]\n",
    ("Velkin3", "__init__"): f"__init__({V}, arg0: {M}.SerialStream) -> None\n",
    ("Velkin3", "device_wakeup"): f"device_wakeup({V}) -> tuple\n\n"
    "Wakeup the device and return the device info as a tuple.\n",
    ("Velkin3", "device_wakeup_dict"): f"device_wakeup_dict({V}) -> dict\n\n"
    "Wakeup the device and return the device info as a dict.\n",
    (
        "Velkin3",
        "end_effector_force",
    ): f"end_effector_force({V}, force request vector: list[float] = {ZEROS}) -> tuple\n\n"
    "Send forces to the device and receive device states\n",
    (
        "Velkin3",
        "joint_torques",
    ): f"joint_torques({V}, joint torque request vector: list[float] = {ZEROS}) -> tuple\n\n"
    "Send joint torques to the device and receive the joint states\n",
    (
        "Velkin3",
        "end_effector_position",
    ): f"end_effector_position({V}, position request vector: list[float] = {ZEROS}) -> tuple"
    "\n\nSend end-effector position and receive device states\n",
    (
        "Velkin3",
        "joint_angles",
    ): f"joint_angles({V}, joint angle request vector: list[float] = {ZEROS}) -> tuple\n\n"
    "Send joint angles to the device and receive the joint states\n",
    (
        "Velkin3",
        "SendDeviceWakeup",
    ): f"SendDeviceWakeup({V}) -> None\n\n[DEPRECATED] Send a device wakeup command\n",
    ("Velkin3", "SendForce"): "SendForce(*args, **kwargs)\nOverloaded function.\n\n"
    f"1. SendForce({V}, force: list[float] = {ZEROS}) -> None\n\n{_SEND_FORCE_DOC}\n\n"
    f"2. SendForce({V}, ForceX: float = 0, ForceY: float = 0, ForceZ: float = 0) -> None"
    f"\n\n{_SEND_FORCE_DOC}\n",
    (
        "Velkin3",
        "ReceiveState",
    ): f"ReceiveState({V}, position: list[float] = {ZEROS}, velocity: list[float] = {ZEROS})"
    " -> tuple\n\n[Deprecated] receive state and return position and velocity\n",
    ("Velkin3", "ReceiveJointState"): f"ReceiveJointState({V}, joint_position: list[float] = {ZEROS}, "
    f"joint_velocity: list[float] = {ZEROS}) -> tuple\n\n[Deprecated] receive joint state "
    "and return position and velocity in the joint reference frame\n",
    ("Velkin3", "SendJointTorques"): f"SendJointTorques({V}, joint_torque: list[float] = {ZEROS}) -> None\n\n"
    "[Deprecated] send joint torque\n",
    (
        "Velkin3",
        "SendAngle",
    ): f"SendAngle({V}, angle: list[float] = {ZEROS}) -> None\n\nSend angles to the device\n",
    ("Velkin3", "RequestCurrent"): f"RequestCurrent({V}) -> None\n\nrequest current\n",
    ("Velkin3", "ReceiveCurrent"): f"ReceiveCurrent({V}, current: list[float] = {ZEROS}) -> list[float]\n\n"
    "receive current and return current\n",
    ("Velkin3", "SendPosition"): f"SendPosition({V}, position: list[float] = {ZEROS}) -> None\n\n"
    "[Deprecated] Send Position to the device\n",
    ("Handle", "__init__"): f"__init__({H}, arg0: {M}.SerialStream) -> None\n",
    ("Handle", "SendDeviceWakeup"): f"SendDeviceWakeup({H}) -> None\n",
    (
        "Handle",
        "SendHandleState",
    ): f"SendHandleState({H}, device_id: int = 0, data_length: int = 0, user_data: int = None)"
    " -> None\n\nsend handle state\n",
    ("Handle", "RequestStatus"): f"RequestStatus({H}) -> None\n\nrequest handle status\n",
    ("Handle", "OnReceiveHandleInfo"): f"OnReceiveHandleInfo({H}, tool_data_remaining: int, device_id: int, "
    "device_model_number: int, hardware_version: int, firmware_version: int) -> None\n\n"
    "OnReceiveHandleInfo\n",
    (
        "Handle",
        "OnReceiveHandleStatusMessage",
    ): f"OnReceiveHandleStatusMessage({H}, device_id: int, quaternion: float, error_flag: int, "
    "hall_effect_sensor_level: int, user_data_length: int, user_data: int) -> None\n\n"
    "OnReceiveHandleStatusMessage\n",
    (
        "Handle",
        "OnReceiveHandleErrorResponse",
    ): f"OnReceiveHandleErrorResponse({H}, device_id: int, error_code: int) -> None\n\n"
    "OnReceiveHandleErrorResponse\n",
    ("Handle", "Receive"): "Receive(*args, **kwargs)\nOverloaded function.\n\n"
    f"1. Receive({H}) -> int\n\n{_RECEIVE_DOC}\n\n"
    f"2. Receive({H}, obsolete: int) -> int\n\n"
    "[DEPRECATED] Receive current and return current\n",
}


@pytest.mark.parametrize("name", FUNCTION_DOCS)
def test_function_docstrings(name):
    assert getattr(T, name).__doc__ == FUNCTION_DOCS[name]


@pytest.mark.parametrize("cls, name", METHOD_DOCS)
def test_method_docstrings(cls, name):
    assert getattr(getattr(T, cls), name).__doc__ == METHOD_DOCS[(cls, name)]


def test_receive_device_info_docstring_shows_a_uuid_default():
    # The default is a UUID object, rendered by its repr (which carries its address).
    doc = T.Velkin3.ReceiveDeviceInfo.__doc__
    assert re.fullmatch(
        rf"ReceiveDeviceInfo\({V}, device_id: int = 0, device_model_num: int = 0, "
        rf"hardware_version: int = 0, firmware_version: int = 0, "
        rf"UUID: {M}\.UUID = <{M}\.UUID object at 0x[0-9a-f]+>\) -> tuple\n\n"
        r"Receive device info and return a tuple\n",
        doc,
    ), doc


def test_every_method_has_an_expected_docstring():
    """No method of a bound class goes unchecked, and the class docstrings are empty."""
    checked = set(METHOD_DOCS) | {("Velkin3", "ReceiveDeviceInfo")}
    for cls in ("SerialStream", "UUID", "Device", "Velkin3", "Handle"):
        klass = getattr(T, cls)
        assert klass.__doc__ is None
        for name, value in vars(klass).items():
            if name.startswith("_") and name != "__init__" or not callable(value):
                continue
            if cls == "Device":
                continue  # no constructor of its own
            assert (cls, name) in checked, (cls, name)


# --- The interpreter-version gate ----------------------------------------------------------

# 3.13 and later drop a private symbol pybind11 links against, so the loader refuses the
# file before the module's own check can run; the check is shown on the versions around 3.10.
GATE_VERSIONS = ("3.9", "3.11", "3.12")


def _other_interpreters() -> list[str]:
    """Installed CPythons of GATE_VERSIONS: pyenv's, then whatever is on PATH."""
    found: list[str] = []
    roots = [os.environ.get("PYENV_ROOT", ""), os.path.expanduser("~/.pyenv")]
    pyenv = shutil.which("pyenv")
    if pyenv:
        root = subprocess.run([pyenv, "root"], capture_output=True, text=True).stdout.strip()
        roots.insert(0, root)
    for root in filter(None, roots):
        for minor in GATE_VERSIONS:
            found += sorted(glob.glob(os.path.join(root, "versions", f"{minor}.*", "bin", "python")))
    for minor in GATE_VERSIONS:
        path = shutil.which(f"python{minor}")
        if path:
            found.append(path)
    unique: list[str] = []
    for path in found:
        real = os.path.realpath(path)
        if os.access(real, os.X_OK) and real not in {os.path.realpath(p) for p in unique}:
            unique.append(path)
    return unique


def test_import_from_another_interpreter_is_refused(tmp_path):
    candidates = []
    minors = set()
    for python in _other_interpreters():
        probe = subprocess.run(
            [python, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
            capture_output=True,
            text=True,
        )
        minor = probe.stdout.strip()
        if probe.returncode == 0 and minor in GATE_VERSIONS and minor not in minors:
            minors.add(minor)  # one interpreter per minor version is enough
            candidates.append(python)
    if not candidates:
        pytest.skip(f"no CPython {'/'.join(GATE_VERSIONS)} is installed to load the module from")
    shutil.copy(T.__file__, tmp_path / "TamroHardwareAPI.so")
    script = (
        "import json, sys\n"
        f"sys.path.insert(0, {str(tmp_path)!r})\n"
        "try:\n"
        "    import TamroHardwareAPI\n"
        "except ImportError as error:\n"
        "    print(json.dumps([str(error), sys.version]))\n"
        "else:\n"
        "    print(json.dumps(None))\n"
    )
    seen = set()
    for python in candidates:
        result = subprocess.run(
            [python, "-E", "-s", "-c", script], cwd=tmp_path, capture_output=True, text=True, timeout=60
        )
        assert result.returncode == 0, result.stderr
        outcome = json.loads(result.stdout)
        assert outcome is not None, f"{python} imported the module"
        message, version = outcome
        assert message == (
            "Python version mismatch: module was compiled for Python 3.10, but "
            f"the interpreter version is incompatible: {version}."
        )
        seen.add(version.split()[0])
    assert seen
