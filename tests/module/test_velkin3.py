"""The arm from Python, against a fake device on a pseudo-terminal: the bytes every method
writes, the replies it decodes, what silence, wrong codes and short replies leave, the
deprecation warnings, and the error lines on descriptor 2."""

from __future__ import annotations

import json
import re
import struct
import subprocess
import sys
import time
import uuid
import warnings

import pytest
from fakedevice import OtherThread, floats, wait_until

import TamroHardwareAPI as T


def f32(*values: float) -> list[float]:
    """The values as they come back after a trip through binary32."""
    return [struct.unpack("<f", struct.pack("<f", v))[0] for v in values]


def request(code: int, *values: float) -> bytes:
    return bytes([code]) + floats(*values)


STATE = (0.1, 0.2, 0.3, 0.0, 0.0, -1.0)
STATE_RESULT = (f32(*STATE[:3]), f32(*STATE[3:]))
CURRENT = (0.5, -1.25, 3.0)
# Device-info reply: id 0x1234, model 4, hardware 2, firmware 7, uuid bytes 00 01 .. 0F.
INFO = bytes.fromhex("0B 34 12 04 02 07") + bytes(range(16))
ZERO_STATE = ([0.0] * 3, [0.0] * 3)
ZERO_INFO = (0, 0, 0, 0, [0] * 16)


@pytest.fixture
def arm(fake_device):
    stream = T.SerialStream(fake_device.path)
    return T.Velkin3(stream)


def test_constructing_writes_nothing(fake_device):
    arm = T.Velkin3(T.SerialStream(fake_device.path))
    assert fake_device.silent() and arm is not None


def uuid_bytes(result):
    """A ReceiveDeviceInfo tuple with its UUID object shown as its bytes."""
    *fields, identifier = result
    assert isinstance(identifier, T.UUID)
    return (*fields, identifier.bytes())


# --- Every method: bytes written, reply read, result, warning -----------------------------
#
# call, reply fed before the call, bytes the device must see, expected result, warning text.
# Deprecated methods warn at the caller's line: here the line of the lambda.

ROWS = {
    "end_effector_force example": (
        lambda a: a.end_effector_force([1.0, 2.0, 3.0]),
        request(43, *STATE),
        bytes.fromhex("2A 00 00 80 3F 00 00 00 40 00 00 40 40"),
        STATE_RESULT,
        None,
    ),
    "end_effector_force default": (
        lambda a: a.end_effector_force(),
        request(43, *STATE),
        request(42, 0, 0, 0),
        STATE_RESULT,
        None,
    ),
    "end_effector_force tuple of ints": (
        lambda a: a.end_effector_force((1, 2, 3)),
        request(43, *STATE),
        request(42, 1, 2, 3),
        STATE_RESULT,
        None,
    ),
    "end_effector_force by keyword": (
        lambda a: a.end_effector_force(**{"force request vector": [4.0, 5.0, 6.0]}),
        request(43, *STATE),
        request(42, 4, 5, 6),
        STATE_RESULT,
        None,
    ),
    "end_effector_position": (
        lambda a: a.end_effector_position([0.1, -0.05, 0.2]),
        request(43, *STATE),
        request(44, 0.1, -0.05, 0.2),
        STATE_RESULT,
        None,
    ),
    "joint_torques": (
        lambda a: a.joint_torques([1.5, -2.5, 0.25]),
        request(27, *STATE),
        request(26, 1.5, -2.5, 0.25),
        STATE_RESULT,
        None,
    ),
    "joint_angles extra value": (
        lambda a: a.joint_angles([0.1, 0.2, 0.3, 0.4]),
        request(27, *STATE),
        request(28, 0.1, 0.2, 0.3),
        STATE_RESULT,
        None,
    ),
    "device_wakeup": (lambda a: a.device_wakeup(), INFO, b"\x0a", (4660, 4, 2, 7, list(range(16))), None),
    "SendDeviceWakeup": (
        lambda a: a.SendDeviceWakeup(),
        b"",
        b"\x0a",
        None,
        "SendDeviceWakeup is deprecated, use device_wakeup instead",
    ),
    "SendForce list": (
        lambda a: a.SendForce([1.0, 2.0, 3.0]),
        b"",
        request(42, 1, 2, 3),
        None,
        "SendForce is deprecated, use end_effector_force instead",
    ),
    "SendForce numbers": (
        lambda a: a.SendForce(1, 2, 3),
        b"",
        request(42, 1, 2, 3),
        None,
        "SendForce is deprecated, use end_effector_force instead",
    ),
    "ReceiveState": (
        lambda a: a.ReceiveState([1.0, 2.0, 3.0, 4.0], [5.0, 6.0, 7.0, 8.0]),
        request(43, *STATE),
        b"",
        (STATE_RESULT[0] + [4.0], STATE_RESULT[1] + [8.0]),
        "ReceiveState is deprecated, use end_effector instead",
    ),
    "ReceiveJointState": (
        lambda a: a.ReceiveJointState(),
        request(27, *STATE),
        b"",
        STATE_RESULT,
        "ReceiveJointState is deprecated, use joint_torques instead",
    ),
    "SendJointTorques": (
        lambda a: a.SendJointTorques([0.5, 0.25, -8.0]),
        b"",
        request(26, 0.5, 0.25, -8.0),
        None,
        "SendJointTorques is deprecated, use joint_torques instead",
    ),
    "SendAngle": (lambda a: a.SendAngle([0.0, 0.0, 0.0]), b"", request(28, 0, 0, 0), None, None),
    "RequestCurrent": (lambda a: a.RequestCurrent(), b"", b"\xab", None, None),
    "ReceiveCurrent": (
        lambda a: a.ReceiveCurrent([9.0, 9.0, 9.0, 9.0]),
        request(171, *CURRENT),
        b"",
        f32(*CURRENT) + [9.0],
        None,
    ),
    "SendPosition example": (
        lambda a: a.SendPosition([0.1, -0.05, 0.2]),
        b"",
        bytes.fromhex("2C CD CC CC 3D CD CC 4C BD CD CC 4C 3E"),
        None,
        "SendPosition is deprecated, use end_effector_position instead",
    ),
}


@pytest.mark.parametrize("name", ROWS)
def test_each_method_on_the_wire(name, arm, fake_device):
    call, reply, sent, expected, message = ROWS[name]
    fake_device.feed(reply)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = call(arm)
    assert fake_device.take(len(sent)) == sent and fake_device.silent()
    assert result == expected
    if isinstance(expected, tuple) and expected and isinstance(expected[0], list):
        assert all(type(part) is list for part in result)
    if message is None:
        assert caught == []
    else:
        assert len(caught) == 1
        warning = caught[0]
        assert warning.category is DeprecationWarning
        assert str(warning.message) == message
        assert (warning.filename, warning.lineno) == (call.__code__.co_filename, call.__code__.co_firstlineno)


def test_receive_methods_leave_the_callers_lists_alone(arm, fake_device):
    position, velocity = [1.0, 2.0, 3.0, 4.0], [5.0, 6.0, 7.0, 8.0]
    fake_device.feed(request(43, *STATE))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        got = arm.ReceiveState(position, velocity)
    assert got[0] is not position and got[1] is not velocity
    assert (position, velocity) == ([1.0, 2.0, 3.0, 4.0], [5.0, 6.0, 7.0, 8.0])


def test_device_info_in_dict_form(arm, fake_device):
    fake_device.feed(INFO)
    info = arm.device_wakeup_dict()
    assert fake_device.take(1) == b"\x0a" and fake_device.silent()
    assert list(info) == [
        "device_id",
        "device_model_number",
        "hardware_version",
        "firmware_version",
        "device_id_ext",
    ]
    assert [info[k] for k in list(info)[:4]] == [4660, 4, 2, 7]
    assert type(info["device_id_ext"]) is uuid.UUID
    assert str(info["device_id_ext"]) == "00010203-0405-0607-0809-0a0b0c0d0e0f"
    assert info["device_id_ext"].bytes == bytes(range(16))


def test_device_info_received_alone_into_a_new_uuid(arm, fake_device):
    given = T.UUID()
    fake_device.feed(INFO + INFO)
    assert uuid_bytes(arm.ReceiveDeviceInfo()) == (4660, 4, 2, 7, list(range(16)))
    result = arm.ReceiveDeviceInfo(1, 2, 3, 4, given)
    assert uuid_bytes(result) == (4660, 4, 2, 7, list(range(16)))
    assert result[4] is not given and given.bytes() == [0] * 16
    assert fake_device.silent()  # reading only


@pytest.mark.parametrize(
    "call, sent",
    [
        (lambda a: a.SendForce([1.0, 2.0, 3.0]), (1.0, 2.0, 3.0)),
        (lambda a: a.SendForce((1.0, 2.0, 3.0)), (1.0, 2.0, 3.0)),
        (lambda a: a.SendForce(1.0, 2.0, 3.0), (1.0, 2.0, 3.0)),
        (lambda a: a.SendForce(1, 2, 3), (1.0, 2.0, 3.0)),
        (lambda a: a.SendForce(1.5), (1.5, 0.0, 0.0)),
        (lambda a: a.SendForce(ForceY=2.5), (0.0, 2.5, 0.0)),
        (lambda a: a.SendForce(force=[4, 5, 6]), (4.0, 5.0, 6.0)),
        (lambda a: a.SendForce(), (0.0, 0.0, 0.0)),
    ],
    ids=["list", "tuple", "floats", "ints", "one float", "ForceY", "force=", "none"],
)
def test_send_force_overloads(call, sent, arm, fake_device):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        call(arm)
    assert fake_device.take(13) == request(42, *sent) and fake_device.silent()
    assert [str(w.message) for w in caught] == ["SendForce is deprecated, use end_effector_force instead"]


DEPRECATED = [name for name, row in ROWS.items() if row[4] is not None]


@pytest.mark.parametrize("name", DEPRECATED)
def test_warning_turned_error_is_raised_after_the_call(name, arm, fake_device):
    call, reply, sent, expected, message = ROWS[name]
    fake_device.feed(reply)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning) as raised:
            call(arm)
    assert type(raised.value) is DeprecationWarning and str(raised.value) == message
    assert fake_device.take(len(sent)) == sent and fake_device.silent()  # the request went out
    if reply:
        # The reply was taken too: a second reply is what the next call reads.
        fake_device.feed(reply[:1] + floats(*range(1, len(reply[1:]) // 4 + 1)))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            again = call(arm)
        assert again[0][:3] == [1.0, 2.0, 3.0]


SHORT_CALLS = {
    "end_effector_force": lambda a: a.end_effector_force([1.0, 2.0]),
    "joint_torques": lambda a: a.joint_torques([]),
    "end_effector_position": lambda a: a.end_effector_position((1.0,)),
    "joint_angles": lambda a: a.joint_angles([1.0, 2.0]),
    "SendForce": lambda a: a.SendForce([1.0, 2.0]),
    "ReceiveState": lambda a: a.ReceiveState([1.0, 2.0, 3.0], [1.0, 2.0]),
    "ReceiveJointState": lambda a: a.ReceiveJointState([1.0]),
    "SendJointTorques": lambda a: a.SendJointTorques([1.0, 2.0]),
    "SendAngle": lambda a: a.SendAngle([]),
    "ReceiveCurrent": lambda a: a.ReceiveCurrent([1.0, 2.0]),
    "SendPosition": lambda a: a.SendPosition([0.0, 0.0]),
}


def test_fewer_than_three_values_are_refused_before_any_io(arm, fake_device):
    fake_device.feed(request(171, *CURRENT))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for method, call in SHORT_CALLS.items():
            with pytest.raises(ValueError) as raised:
                call(arm)
            text = str(raised.value)
            assert method in text and "three" in text, text
    assert fake_device.silent()  # nothing sent
    assert arm.ReceiveCurrent() == f32(*CURRENT)  # and nothing read


@pytest.mark.parametrize(
    "call",
    [
        lambda a: a.end_effector_force("abc"),
        lambda a: a.end_effector_force(b"abc"),
        lambda a: a.end_effector_force([1.0, "x", 3.0]),
        lambda a: a.end_effector_force(5.0),
        lambda a: a.joint_angles([1.0, 2.0, 3.0], [1.0, 2.0, 3.0]),
        lambda a: a.SendForce("abc"),
        lambda a: a.SendForce(1.0, 2.0, 3.0, 4.0),
        lambda a: a.ReceiveDeviceInfo(65536),
        lambda a: a.ReceiveDeviceInfo(-1),
        lambda a: a.ReceiveDeviceInfo(0, 256),
        lambda a: a.ReceiveDeviceInfo(1.5),
        lambda a: a.ReceiveDeviceInfo(UUID=5),
        lambda a: a.ReceiveDeviceInfo(UUID=[0] * 16),
        lambda a: a.device_wakeup(1),
    ],
)
def test_arguments_of_the_wrong_kind(call, arm, fake_device):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(TypeError):
            call(arm)
    assert fake_device.silent()


def test_receive_device_info_with_none_for_uuid(arm, fake_device):
    fake_device.feed(INFO)
    with pytest.raises(RuntimeError) as raised:
        arm.ReceiveDeviceInfo(UUID=None)
    assert type(raised.value) is RuntimeError and str(raised.value) == ""
    assert uuid_bytes(arm.ReceiveDeviceInfo()) == (4660, 4, 2, 7, list(range(16)))


# --- Replies that do not fit --------------------------------------------------------------
#
# A wrong header code makes the arm discard up to 1024 bytes. Here exactly 1024 follow, all
# the expected code, then a good reply: if the discard took fewer, the next call would read
# filler instead of the good reply.

WRONG_CODE = {
    "joint_angles answered by end-effector state": (
        lambda a: a.joint_angles([0.1, 0.2, 0.3]),
        43,
        27,
        24,
        ZERO_STATE,
        STATE_RESULT,
    ),
    "device_wakeup answered by a handle": (
        lambda a: a.device_wakeup(),
        218,
        11,
        21,
        ZERO_INFO,
        (4660, 4, 2, 7, list(range(16))),
    ),
    "ReceiveCurrent answered by end-effector state": (
        lambda a: a.ReceiveCurrent([0.5, 0.5, 0.5]),
        43,
        171,
        12,
        [0.5] * 3,
        f32(*CURRENT),
    ),
    "ReceiveDeviceInfo answered by a joint state": (
        lambda a: uuid_bytes(a.ReceiveDeviceInfo(1, 2, 3, 4)),
        27,
        11,
        21,
        (1, 2, 3, 4, [0] * 16),
        (4660, 4, 2, 7, list(range(16))),
    ),
}

GOOD_PAYLOAD = {27: floats(*STATE), 11: INFO[1:], 171: floats(*CURRENT)}


@pytest.mark.parametrize("name", WRONG_CODE)
def test_wrong_reply_code_discards_1024_bytes(name, arm, fake_device, capfd):
    call, wrong, expected_code, length, on_wrong, on_good = WRONG_CODE[name]
    filler = bytes([expected_code]) * 1024
    good = bytes([expected_code]) + GOOD_PAYLOAD[expected_code]
    assert len(good) == 1 + length
    fake_device.feed(bytes([wrong]) + filler + good)
    assert call(arm) == on_wrong
    assert call(arm) == on_good
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize(
    "call, reply, expected",
    [
        (lambda a: a.device_wakeup(), INFO[:11], ZERO_INFO),
        (
            lambda a: a.ReceiveState([9.0, 9.0, 9.0], [8.0, 8.0, 8.0]),
            request(43, 1.0, 2.0, 3.0),
            ([9.0] * 3, [8.0] * 3),
        ),
    ],
    ids=["device_wakeup", "ReceiveState"],
)
def test_short_reply_leaves_zeros_or_the_given_values(call, reply, expected, arm, fake_device, capfd):
    fake_device.feed(reply)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert call(arm) == expected
    assert capfd.readouterr().err == ""  # a time-out is quiet


def test_a_reply_left_on_the_line_before_opening_is_not_read(fake_device):
    # An earlier program stopped between a request and its reply: the reply waits on the line.
    stale = request(43, 9.0, 9.0, 9.0, -9.0, -9.0, -9.0)
    fake_device.feed(stale)
    assert wait_until(lambda: fake_device.pending_input() == len(stale))
    arm = T.Velkin3(T.SerialStream(fake_device.path))
    assert fake_device.pending_input() == 0
    # Each exchange gets its own reply, not the one before it.
    for force, reply in (([1.0, 2.0, 3.0], STATE), ([4.0, 5.0, 6.0], (1.5, 2.5, 3.5, 0.5, 0.25, 0.125))):
        answered = fake_device.answer_after(13, request(43, *reply))
        assert arm.end_effector_force(force) == (f32(*reply[:3]), f32(*reply[3:]))
        assert answered.result(5) == request(42, *force)


def test_silent_arm_while_another_thread_runs(arm, fake_device, capfd):
    """The first read waits out the one-second time-out with the interpreter lock released;
    the stream then refuses everything at once, so every result is the silent one."""
    with OtherThread() as other:
        start = time.monotonic()
        first = arm.device_wakeup()
        end = time.monotonic()
    assert first == ZERO_INFO
    assert 0.9 <= end - start < 5.0
    assert other.ran_between(start, end), "no other thread ran"
    assert fake_device.take(1) == b"\x0a" and fake_device.silent()

    quick = time.monotonic()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        info = arm.device_wakeup_dict()
        assert list(info.values())[:4] == [0, 0, 0, 0]
        assert str(info["device_id_ext"]) == "00000000-0000-0000-0000-000000000000"
        assert uuid_bytes(arm.ReceiveDeviceInfo(1, 2, 3, 4)) == (1, 2, 3, 4, [0] * 16)
        assert uuid_bytes(arm.ReceiveDeviceInfo()) == (0, 0, 0, 0, [0] * 16)
        assert arm.ReceiveState([1.0, 2.0, 3.0, 4.0], [5.0, 6.0, 7.0, 8.0]) == (
            [1.0, 2.0, 3.0, 4.0],
            [5.0, 6.0, 7.0, 8.0],
        )
        assert arm.ReceiveJointState([1.0] * 3, [2.0] * 3) == ([1.0] * 3, [2.0] * 3)
        current = arm.ReceiveCurrent([0.1, 0.2, 0.3])
        assert current == f32(0.1, 0.2, 0.3) and current[0] == 0.10000000149011612
        for exchange in ("end_effector_force", "joint_torques", "end_effector_position", "joint_angles"):
            assert getattr(arm, exchange)([1.0, 2.0, 3.0]) == ZERO_STATE
        arm.SendForce(1, 2, 3)
    assert time.monotonic() - quick < 0.9  # no second time-out: the stream stays failed
    assert fake_device.silent()  # later writes are refused
    assert capfd.readouterr().err == ""  # quietly


# --- Error lines on descriptor 2 ----------------------------------------------------------


def device_line(line: int, message: str, errno: str = r"\d+", text: str = r"[^\n]+") -> str:
    return rf"\[err\] Library/src/Device:{line}> {message}: \[{errno}\] {text}\n"


def test_write_after_the_device_hung_up_is_reported(arm, fake_device, capfd):
    fake_device.hang_up()
    assert arm.end_effector_force([1.0, 2.0, 3.0]) == ZERO_STATE
    err = capfd.readouterr().err
    assert err == (
        "[err] Library/src/Device:39> unable to write '13' bytes to stream: [5] Input/output error\n"
        "[err] Library/src/Device:49> unable to read header code from stream: [5] Input/output error\n"
        "[err] Library/src/Device:60> unable to read '1024' bytes from stream: [5] Input/output error\n"
    )
    # Every later operation reports again, with the errno of its own moment.
    arm.RequestCurrent()
    err = capfd.readouterr().err
    assert re.fullmatch(device_line(39, "unable to write '1' bytes to stream"), err), err


def test_stream_on_a_missing_path_reports_each_failure(capfd):
    stream = T.SerialStream("/dev/ttyACM_missing")
    arm = T.Velkin3(stream)
    capfd.readouterr()
    arm.SendAngle([1.0, 2.0, 3.0])
    err = capfd.readouterr().err
    assert re.fullmatch(device_line(39, "unable to write '13' bytes to stream"), err), err
    assert arm.device_wakeup() == ZERO_INFO
    err = capfd.readouterr().err
    assert re.fullmatch(
        device_line(39, "unable to write '1' bytes to stream")
        + device_line(49, "unable to read header code from stream")
        + device_line(60, "unable to read '1024' bytes from stream"),
        err,
    ), err


# --- An object whose constructor never ran ------------------------------------------------

UNCONSTRUCTED = """
import json, warnings
import TamroHardwareAPI as T
warnings.simplefilter("ignore")
{name} = T.{cls}.__new__(T.{cls})
calls = {calls}
outcome = {{}}
for text in calls:
    try:
        eval(text)
        outcome[text] = "no error"
    except Exception as error:
        outcome[text] = [type(error).__name__, str(error)]
print(json.dumps(outcome))
"""


def run_unconstructed(cls: str, name: str, calls: list[str]) -> dict:
    """Runs the calls in a fresh interpreter, so a crash shows as a failure here."""
    script = UNCONSTRUCTED.format(cls=cls, name=name, calls=calls)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def test_methods_of_an_unconstructed_arm_raise_runtime_error():
    calls = [
        "a.device_wakeup()",
        "a.device_wakeup_dict()",
        "a.end_effector_force()",
        "a.joint_torques()",
        "a.end_effector_position()",
        "a.joint_angles()",
        "a.SendDeviceWakeup()",
        "a.ReceiveDeviceInfo()",
        "a.SendForce()",
        "a.SendForce(1.0, 2.0, 3.0)",
        "a.ReceiveState()",
        "a.ReceiveJointState()",
        "a.SendJointTorques()",
        "a.SendAngle()",
        "a.RequestCurrent()",
        "a.ReceiveCurrent()",
        "a.SendPosition()",
    ]
    outcome = run_unconstructed("Velkin3", "a", calls)
    assert outcome == {call: ["RuntimeError", ""] for call in calls}
