"""Detection from Python: the four functions, and one end-to-end detection in a private mount
namespace whose /dev holds links to fake devices on pseudo-terminals."""

from __future__ import annotations

import json

import pytest
from privatedev import run_child

import TamroHardwareAPI as T

DETECTORS = {
    "detect_velkin3s": "detect available velkin3 devices",
    "detect_handles": "detect available handles",
    "detect_wired_handles": "detect available wired handles",
    "detect_wireless_handles": "detect available wireless handles",
}


@pytest.mark.parametrize("name", DETECTORS)
def test_detection_function_signature_and_result(name):
    function = getattr(T, name)
    assert function.__doc__ == f"{name}() -> list[str]\n\n{DETECTORS[name]}\n"
    with pytest.raises(TypeError):
        function("/dev")
    found = function()  # whatever this machine has attached
    assert type(found) is list and all(type(path) is str for path in found)


# The child runs inside `unshare --mount`: it starts the fake devices, forks a process that
# plays them (detection keeps the interpreter lock, so no thread of the child could answer),
# hides the real /dev under a tmpfs of links, and reports what detection found.
CHILD = r"""
import json, os, select, struct, subprocess, sys, threading, time
work, tests = sys.argv[1], sys.argv[2]
sys.path.insert(0, tests)
from fakedevice import FakeDevice
from privatedev import hide_dev
import TamroHardwareAPI as T

def info(model):
    return b"\x0b" + struct.pack("<HBBB", 0x1234, model, 1, 2) + bytes(range(16))

replies = {
    "ttyACM0": info(4),                     # an arm
    "ttyACM1": info(3),                     # another model: not an arm
    "ttyACM2": None,                        # silent
    "ttyUSB0": b"\xda" + struct.pack("<HBB4fB", 1, 0, 9, 1, 0, 0, 0, 10) + bytes(range(10)),
    "ttyUSB1": bytes.fromhex("DF 34 12 07"),  # an error response: not a handle
    "rfcomm0": bytes.fromhex("D0 34 12 09 04 05 06"),
}
devices = {name: FakeDevice() for name in replies}

stop_read, stop_write = os.pipe()
if os.fork() == 0:
    # The devices: answer every wake-up byte until the parent closes the pipe.
    os.close(stop_write)
    by_fd = {d.master: name for name, d in devices.items()}
    while True:
        ready, _, _ = select.select(list(by_fd) + [stop_read], [], [], 30)
        if not ready or stop_read in ready:
            os._exit(0)
        for fd in ready:
            data = os.read(fd, 1024)
            reply = replies[by_fd[fd]]
            for byte in data:
                if byte == 0x0A and reply is not None:
                    os.write(fd, reply)
os.close(stop_read)

pts = hide_dev(work)
for name, device in devices.items():
    os.symlink(os.path.join(pts, os.path.basename(device.path)), os.path.join("/dev", name))
os.symlink("/dev/ttyACM0", "/dev/ttyACM_arm")  # one arm, two names

targets = {name: os.path.realpath(os.path.join("/dev", name)) for name in os.listdir("/dev")}
report = {"listing": os.listdir("/dev"), "targets": targets}

# Detection keeps the interpreter lock: a ticking thread stands still meanwhile.
ticks = []
stop = threading.Event()
def tick():
    while not stop.wait(0.01):
        ticks.append(time.monotonic())
ticker = threading.Thread(target=tick)
ticker.start()
start = time.monotonic()
report["detect_velkin3s"] = T.detect_velkin3s()
end = time.monotonic()
stop.set()
ticker.join()
report["velkin3_seconds"] = end - start
report["ticks_during"] = len([t for t in ticks if start + 0.1 < t < end - 0.1])

for name in ("detect_handles", "detect_wired_handles", "detect_wireless_handles"):
    report[name] = T.detect_handles() if name == "detect_handles" else getattr(T, name)()

# A link named like a serial node that leads nowhere makes every detection fail.
os.symlink("/dev/nothing-here", "/dev/rfcomm9")
report["dangling"] = {}
for name in ("detect_velkin3s", "detect_handles", "detect_wired_handles",
             "detect_wireless_handles"):
    try:
        report["dangling"][name] = ["returned", getattr(T, name)()]
    except Exception as error:
        report["dangling"][name] = [type(error).__name__, str(error)]

os.close(stop_write)
os.wait()
print(json.dumps(report))
"""


def test_end_to_end_detection_in_a_private_dev(tmp_path):
    result = run_child(CHILD, tmp_path)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    target = report["targets"]

    def found(*names):
        """The canonical paths of these entries, in listing order."""
        return [target[n] for n in report["listing"] if n in names]

    assert report["detect_velkin3s"] == found("ttyACM0", "ttyACM_arm")
    assert report["detect_velkin3s"][0] == report["detect_velkin3s"][1]
    assert report["detect_handles"] == found("ttyUSB0", "rfcomm0")
    assert report["detect_wired_handles"] == found("ttyUSB0")
    assert report["detect_wireless_handles"] == found("rfcomm0")
    # The silent ttyACM2 costs its one-second read; no Python thread ran meanwhile.
    assert report["velkin3_seconds"] >= 0.9
    assert report["ticks_during"] == 0
    for name, outcome in report["dangling"].items():
        assert outcome[0] == "RuntimeError" and "rfcomm9" in outcome[1], (name, outcome)
