"""SerialStream, UUID and Device as Python sees them: path conversions, open failures reported
on descriptor 2, ownership of the port, and the device-to-stream keep-alive."""

from __future__ import annotations

import gc

import pytest

import TamroHardwareAPI as T

SEND_ANGLE_ZERO = bytes([0x1C]) + bytes(12)


class StrPath(str):
    pass


class BytesPath(bytes):
    pass


class BytearrayPath(bytearray):
    pass


PATH_FORMS = {
    "str": str,
    "bytes": lambda p: p.encode(),
    "bytearray": lambda p: bytearray(p.encode()),
    "str subclass": StrPath,
    "bytes subclass": lambda p: BytesPath(p.encode()),
    "bytearray subclass": lambda p: BytearrayPath(p.encode()),
    # A C path ends at its first NUL: what follows is never seen.
    "str with NUL": lambda p: p + "\0/not/this",
    "bytes with NUL": lambda p: p.encode() + b"\0/not/this",
}


@pytest.mark.parametrize("form", PATH_FORMS)
def test_every_path_form_opens_the_same_port(form, fake_device, capfd):
    stream = T.SerialStream(PATH_FORMS[form](fake_device.path))
    assert fake_device.host_descriptors() == 1
    T.Velkin3(stream).SendAngle([0.0, 0.0, 0.0])
    assert fake_device.take(13) == SEND_ANGLE_ZERO
    assert capfd.readouterr().err == ""


def open_failure_lines(shown_path: str, errno: int, text: str) -> str:
    return (
        f"[err] Library/src/SerialStream:39> unable to open port '{shown_path}': [{errno}] {text}\n"
        f"[err] Library/src/SerialStream:18> unable to open stream '{shown_path}': [{errno}] {text}\n"
    )


@pytest.mark.parametrize(
    "path", ["/dev/ttyACM_missing", b"/dev/ttyACM_missing", bytearray(b"/dev/ttyACM_missing")]
)
def test_missing_path_gives_an_object_and_two_report_lines(path, capfd):
    stream = T.SerialStream(path)
    assert isinstance(stream, T.SerialStream)
    captured = capfd.readouterr()
    assert captured.err == open_failure_lines("/dev/ttyACM_missing", 2, "No such file or directory")
    assert captured.out == ""


def test_none_path_is_reported_as_null(capfd):
    stream = T.SerialStream(None)
    assert isinstance(stream, T.SerialStream)
    assert capfd.readouterr().err == open_failure_lines("(null)", 14, "Bad address")


@pytest.mark.parametrize(
    "call",
    [
        lambda: T.SerialStream(3),
        lambda: T.SerialStream(3.5),
        lambda: T.SerialStream(["/dev/null"]),
        lambda: T.SerialStream(),
        lambda: T.SerialStream("/dev/null", "/dev/null"),
        lambda: T.SerialStream(path="/dev/null"),
        lambda: T.SerialStream(arg0="/dev/null"),
        lambda: T.SerialStream("/dev/tty\udcff"),  # a lone surrogate cannot be encoded
    ],
    ids=["int", "float", "list", "none given", "two", "keyword path", "keyword arg0", "lone surrogate"],
)
def test_other_path_arguments_are_refused(call, capfd):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        call()
    assert capfd.readouterr().err == ""  # nothing was opened


def test_uuid_is_sixteen_zeros_compared_by_identity():
    first, second = T.UUID(), T.UUID()
    assert first.bytes() == [0] * 16
    assert all(type(b) is int for b in first.bytes())
    assert first.bytes() == second.bytes()
    assert first != second and not (first == second)
    assert first == first
    listed = first.bytes()
    listed[0] = 7
    assert first.bytes() == [0] * 16  # a new list each time; the identifier never changes
    with pytest.raises(TypeError):
        T.UUID(b"\0" * 16)


def test_device_has_no_constructor_and_no_device_is_one(fake_device):
    with pytest.raises(TypeError) as raised:
        T.Device()
    assert str(raised.value) == "TamroHardwareAPI.Device: No constructor defined!"
    stream = T.SerialStream(fake_device.path)
    for device in (T.Velkin3(stream), T.Handle(stream)):
        assert not isinstance(device, T.Device)
    assert not issubclass(T.Velkin3, T.Device) and not issubclass(T.Handle, T.Device)


@pytest.mark.parametrize("cls", ["Velkin3", "Handle"])
@pytest.mark.parametrize("argument", [None, "/dev/null", 0, T.UUID()], ids=repr)
def test_device_constructors_need_a_stream(cls, argument):
    with pytest.raises(TypeError):
        getattr(T, cls)(argument)


def test_dropping_the_last_reference_closes_the_port_at_once(fake_device):
    stream = T.SerialStream(fake_device.path)
    assert fake_device.host_descriptors() == 1
    del stream
    assert fake_device.host_descriptors() == 0
    # Free again: a new stream opens and works at once.
    stream = T.SerialStream(fake_device.path)
    T.Velkin3(stream).SendAngle([0.0, 0.0, 0.0])
    assert fake_device.take(13) == SEND_ANGLE_ZERO


@pytest.mark.parametrize(
    "cls, request_method, sent",
    [
        ("Velkin3", "RequestCurrent", b"\xab"),
        ("Handle", "RequestStatus", b"\xda"),
    ],
)
def test_a_device_keeps_its_stream_alive(cls, request_method, sent, fake_device):
    stream = T.SerialStream(fake_device.path)
    device = getattr(T, cls)(stream)
    del stream
    gc.collect()
    assert fake_device.host_descriptors() == 1
    getattr(device, request_method)()
    assert fake_device.take(1) == sent
    del device
    assert fake_device.host_descriptors() == 0


def test_devices_sharing_a_stream_keep_it_until_the_last_goes(fake_device):
    stream = T.SerialStream(fake_device.path)
    arm, handle = T.Velkin3(stream), T.Handle(stream)
    del stream
    del arm
    assert fake_device.host_descriptors() == 1
    handle.RequestStatus()
    assert fake_device.take(1) == b"\xda"
    del handle
    assert fake_device.host_descriptors() == 0
