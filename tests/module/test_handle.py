"""The handle from Python, against a fake device on a pseudo-terminal: its requests, each reply
reaching the right override, what a plain Handle and a partial subclass do, argument checks,
the deprecated one-argument Receive, and silence."""

from __future__ import annotations

import json
import struct
import subprocess
import sys
import time
import warnings

import pytest
from fakedevice import OtherThread
from recorder import Recorder

import TamroHardwareAPI as T

PURE = 'Tried to call pure virtual function "API::Devices::Handle::OnReceiveHandleStatusMessage"'

INFO = bytes.fromhex("D0 34 12 09 04 05 06")
INFO_CALL = ("info", (9, 4660, 4, 5, 6))
ERROR = bytes.fromhex("DF 34 12 07")
ERROR_CALL = ("error", (4660, 7))


def f32(value: float) -> float:
    return struct.unpack("<f", struct.pack("<f", value))[0]


def status(device_id: int, error_flag: int, hall: int, quaternion, user_data=b"") -> bytes:
    return (
        bytes([0xDA])
        + struct.pack("<HBB4fB", device_id, error_flag, hall, *quaternion, len(user_data))
        + bytes(user_data)
    )


QUATERNION = (1.0, -0.5, 0.1, 0.125)
QUATERNION_SEEN = [1.0, -0.5, f32(0.1), 0.125]


@pytest.fixture
def stream(fake_device):
    return T.SerialStream(fake_device.path)


@pytest.fixture
def recorder(stream):
    return Recorder(stream)


@pytest.mark.parametrize(
    "call, sent",
    [
        (lambda h: h.SendDeviceWakeup(), "0A"),
        (lambda h: h.RequestStatus(), "DA"),
        (lambda h: h.SendHandleState(4660, 1, 170), "DB 34 12 01 AA"),
        (lambda h: h.SendHandleState(4660, 0, 170), "DB 34 12 00"),
        (lambda h: h.SendHandleState(device_id=65535, data_length=1, user_data=255), "DB FF FF 01 FF"),
        (lambda h: h.SendHandleState(user_data=0), "DB 00 00 00"),
    ],
    ids=["wakeup", "status request", "state with a byte", "state without", "keywords", "defaults"],
)
@pytest.mark.parametrize("cls", [T.Handle, Recorder])
def test_requests_on_the_wire(cls, call, sent, stream, fake_device):
    handle = cls(stream)
    assert fake_device.silent()  # constructing writes nothing
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert call(handle) is None
    expected = bytes.fromhex(sent)
    assert fake_device.take(len(expected)) == expected and fake_device.silent()
    assert caught == []


@pytest.mark.parametrize(
    "message, returned, call",
    [
        (INFO, 6, INFO_CALL),
        (ERROR, 3, ERROR_CALL),
        (status(0x0102, 3, 200, QUATERNION), 21, ("status", (258, QUATERNION_SEEN, 3, 200, 0, []))),
        (
            status(0xFFFF, 0, 7, QUATERNION, b"\x01\x02\xff"),
            24,
            ("status", (65535, QUATERNION_SEEN, 0, 7, 3, [1, 2, 255])),
        ),
    ],
    ids=["information", "error", "status without user data", "status with 3 bytes"],
)
def test_each_reply_reaches_its_override(message, returned, call, recorder, fake_device):
    fake_device.feed(message)
    assert recorder.Receive() == returned
    assert recorder.calls == [call]
    args = recorder.calls[0][1]
    if call[0] == "status":
        assert [type(v) for v in args[1]] == [float] * 4
        assert type(args[5]) is list and all(type(v) is int for v in args[5])
    else:
        assert all(type(v) is int for v in args)
    assert fake_device.silent()


def test_unknown_code_leaves_the_rest_for_the_next_receive(recorder, fake_device):
    # 0B is the arm's reply code: after it, the error response is read as a message of its own.
    fake_device.feed(b"\x0b" + ERROR + INFO)
    assert recorder.Receive() == -1
    assert recorder.calls == []
    assert recorder.Receive() == 3
    assert recorder.Receive() == 6
    assert recorder.calls == [ERROR_CALL, INFO_CALL]


def test_plain_handle_consumes_messages_silently(stream, fake_device, capfd):
    handle = T.Handle(stream)
    fake_device.feed(INFO + status(1, 2, 3, QUATERNION, b"abc") + ERROR + INFO)
    assert [handle.Receive() for _ in range(4)] == [6, 24, 3, 6]
    # Its hooks do nothing when called either.
    assert handle.OnReceiveHandleInfo(1, 2, 3, 4, 5) is None
    assert handle.OnReceiveHandleStatusMessage(1, 0.5, 2, 3, 4, 5) is None
    assert handle.OnReceiveHandleErrorResponse(1, 2) is None
    assert capfd.readouterr() == ("", "")


def test_status_reaching_a_subclass_without_that_override(stream, fake_device):
    class InfoOnly(T.Handle):
        def __init__(self, stream):
            super().__init__(stream)
            self.calls = []

        def OnReceiveHandleInfo(self, *args):
            self.calls.append(("info", args))

    handle = InfoOnly(stream)
    fake_device.feed(status(1, 2, 3, QUATERNION, b"xyz") + ERROR + INFO)
    with pytest.raises(RuntimeError) as raised:
        handle.Receive()
    assert type(raised.value) is RuntimeError and str(raised.value) == PURE
    # The status message was read in full; an error response calls nothing visible.
    assert handle.Receive() == 3
    assert handle.Receive() == 6
    assert handle.calls == [INFO_CALL]
    # The same from Python: the pure hook raises, the others do nothing.
    with pytest.raises(RuntimeError, match="^" + PURE.replace("(", r"\(") + "$"):
        handle.OnReceiveHandleStatusMessage(1, 0.5, 2, 3, 0, 0)
    assert handle.OnReceiveHandleErrorResponse(4660, 7) is None


def test_override_raising_reaches_the_caller(stream, fake_device):
    class Failing(T.Handle):
        def OnReceiveHandleInfo(self, *args):
            raise ValueError("bad handle info", args)

        def OnReceiveHandleStatusMessage(self, *args):
            return "ignored"  # a returned value is dropped

        def OnReceiveHandleErrorResponse(self, *args):
            return 42

    handle = Failing(stream)
    fake_device.feed(INFO + ERROR + status(1, 2, 3, QUATERNION, b"q"))
    with pytest.raises(ValueError) as raised:
        handle.Receive()
    assert raised.value.args == ("bad handle info", (9, 4660, 4, 5, 6))
    assert handle.Receive() == 3  # the information message was consumed whole
    assert handle.Receive() == 22


def test_super_from_inside_an_override(stream, fake_device):
    class Chaining(T.Handle):
        def __init__(self, stream):
            super().__init__(stream)
            self.seen = []

        def OnReceiveHandleInfo(self, *args):
            self.seen.append(("info", super().OnReceiveHandleInfo(*args)))

        def OnReceiveHandleStatusMessage(self, device_id, quaternion, error_flag, hall, n, data):
            try:
                super().OnReceiveHandleStatusMessage(
                    device_id, quaternion[0], error_flag, hall, n, data[0] if data else 0
                )
            except RuntimeError as error:
                self.seen.append(("status", str(error)))

        def OnReceiveHandleErrorResponse(self, *args):
            self.seen.append(("error", super().OnReceiveHandleErrorResponse(*args)))

    handle = Chaining(stream)
    fake_device.feed(INFO + status(1, 2, 3, QUATERNION, b"z") + ERROR)
    assert [handle.Receive() for _ in range(3)] == [6, 22, 3]
    assert handle.seen == [("info", None), ("status", PURE), ("error", None)]


def test_hooks_called_through_the_base_class_reach_the_override(recorder, fake_device):
    T.Handle.OnReceiveHandleInfo(recorder, 1, 2, 3, 4, 5)
    T.Handle.OnReceiveHandleErrorResponse(recorder, 65535, 255)
    T.Handle.OnReceiveHandleStatusMessage(recorder, 7, 0.1, 1, 2, 3, 9)
    T.Handle.OnReceiveHandleStatusMessage(recorder, 7, 0.5, 1, 2, 0, 9)
    T.Handle.OnReceiveHandleStatusMessage(recorder, 7, 0.5, 1, 2, 255, 200)
    assert recorder.calls[:4] == [
        ("info", (1, 2, 3, 4, 5)),
        ("error", (65535, 255)),
        ("status", (7, [f32(0.1), 0.0, 0.0, 0.0], 1, 2, 3, [9, 0, 0])),
        ("status", (7, [0.5, 0.0, 0.0, 0.0], 1, 2, 0, [])),
    ]
    assert recorder.calls[4] == ("status", (7, [0.5, 0.0, 0.0, 0.0], 1, 2, 255, [200] + [0] * 254))
    assert fake_device.silent()


@pytest.mark.parametrize(
    "call",
    [
        lambda h: h.SendHandleState(device_id=65536, data_length=0, user_data=0),
        lambda h: h.SendHandleState(-1, 0, 0),
        lambda h: h.SendHandleState(1, 256, 0),
        lambda h: h.SendHandleState(1, 0, 256),
        lambda h: h.SendHandleState(1, 0),
        lambda h: h.SendHandleState(1.0, 0, 0),
        lambda h: h.SendHandleState(1, 1, 1.0),
        lambda h: h.SendHandleState("1", 0, 0),
        lambda h: h.OnReceiveHandleInfo(256, 1, 1, 1, 1),
        lambda h: h.OnReceiveHandleInfo(1, 65536, 1, 1, 1),
        lambda h: h.OnReceiveHandleInfo(1, 1, 1, 1),
        lambda h: h.OnReceiveHandleStatusMessage(1, "x", 1, 1, 1, 1),
        lambda h: h.OnReceiveHandleStatusMessage(65536, 0.5, 1, 1, 1, 1),
        lambda h: h.OnReceiveHandleStatusMessage(1, 0.5, 1, 1, 1, 256),
        lambda h: h.OnReceiveHandleErrorResponse(1, 1.0),
        lambda h: h.Receive(300),
        lambda h: h.Receive(-1),
        lambda h: h.Receive(1.0),
        lambda h: h.Receive(1, 2),
    ],
)
def test_arguments_out_of_range_or_of_the_wrong_type(call, stream, fake_device):
    handle = T.Handle(stream)
    fake_device.feed(INFO)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(TypeError):
            call(handle)
    assert caught == []
    assert fake_device.silent()  # nothing sent
    assert handle.Receive() == 6  # nothing read


def test_send_handle_state_holds_one_byte(stream, fake_device):
    handle = T.Handle(stream)
    for length in (2, 255):
        with pytest.raises(ValueError, match="one byte"):
            handle.SendHandleState(4660, length, 170)
    assert fake_device.silent()


def test_receive_with_an_argument_warns_then_receives(recorder, fake_device):
    fake_device.feed(INFO + ERROR)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        line = sys._getframe().f_lineno + 1  # the next line's
        result = recorder.Receive(5)
    assert result == 6 and recorder.calls == [INFO_CALL]
    assert [(w.category, str(w.message), w.filename, w.lineno) for w in caught] == [
        (DeprecationWarning, "Receive with one argument is deprecated", __file__, line)
    ]
    # Turned into an error, the warning is raised after the message was received.
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning, match="^Receive with one argument is deprecated$"):
            recorder.Receive(obsolete=255)
    assert recorder.calls == [INFO_CALL, ERROR_CALL]


def test_cut_short_status_still_calls_the_hook(recorder, fake_device, capfd):
    fake_device.feed(b"\xda" + bytes(10))
    start = time.monotonic()
    assert recorder.Receive() == 0
    assert time.monotonic() - start >= 0.9  # waited for the rest of the fixed part
    assert [name for name, _ in recorder.calls] == ["status"]
    assert capfd.readouterr().err == ""


def test_silent_handle_while_another_thread_runs(recorder, fake_device, capfd):
    with OtherThread() as other:
        start = time.monotonic()
        first = recorder.Receive()
        end = time.monotonic()
    assert first == -1
    assert 0.9 <= end - start < 5.0
    assert other.ran_between(start, end), "no other thread ran"
    # The stream stays failed: later messages are not read, and nothing waits again.
    fake_device.feed(INFO)
    start = time.monotonic()
    assert [recorder.Receive() for _ in range(3)] == [-1, -1, -1]
    assert time.monotonic() - start < 0.9
    assert recorder.calls == []
    assert capfd.readouterr().err == ""


def test_subclass_init_that_forgets_the_base(stream):
    class Forgetful(T.Handle):
        def __init__(self, stream):
            self.stream = stream

    with pytest.raises(TypeError) as raised:
        Forgetful(stream)
    # pybind11 names the bound class whose native part was never built.
    assert str(raised.value) == ("TamroHardwareAPI.Handle.__init__() must be called when overriding __init__")


UNCONSTRUCTED = """
import json, warnings
import TamroHardwareAPI as T
warnings.simplefilter("ignore")
class Sub(T.Handle):
    def OnReceiveHandleInfo(self, *args):
        pass
outcome = {}
for h in (T.Handle.__new__(T.Handle), Sub.__new__(Sub)):
    for text in %r:
        try:
            eval(text)
            outcome[type(h).__name__ + "." + text] = "no error"
        except Exception as error:
            outcome[type(h).__name__ + "." + text] = [type(error).__name__, str(error)]
print(json.dumps(outcome))
"""


def test_methods_of_an_unconstructed_handle_raise_runtime_error():
    calls = [
        "h.SendDeviceWakeup()",
        "h.SendHandleState(1, 0, 0)",
        "h.RequestStatus()",
        "h.Receive()",
        "h.Receive(5)",
        "T.Handle.OnReceiveHandleInfo(h, 1, 2, 3, 4, 5)",
        "h.OnReceiveHandleStatusMessage(1, 0.5, 2, 3, 0, 0)",
        "h.OnReceiveHandleErrorResponse(1, 2)",
    ]
    # A fresh interpreter, so a crash shows as a failure here.
    result = subprocess.run(
        [sys.executable, "-c", UNCONSTRUCTED % (calls,)], capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == {
        f"{cls}.{call}": ["RuntimeError", ""] for cls in ("Handle", "Sub") for call in calls
    }
