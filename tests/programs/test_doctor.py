"""tamro-doctor on a fake tree: /dev entries that are links to the simulator's ports and to fake
devices, a sysfs subtree with USB ids and a latency timer, and a /proc in which ModemManager
holds a port. Then one end-to-end run against the simulator's links in a private mount
namespace, as the detection test does."""

from __future__ import annotations

import json
import os
import pwd
import re
import select
import socket
import struct
import subprocess
import sys
import termios
import time
from pathlib import Path

import pytest
from fakedevice import FakeDevice, OtherThread
from privatedev import run_child

import tamro
from tamro import Simulator
from tamro.programs import doctor
from tamro.programs.doctor import _access, _tree

USB = "sys/devices/pci0000:00/0000:00:14.0/usb1"
ARM_SERIAL = "VK3-0042"


class FakeTree:
    """A root folder with dev/, sys/ and proc/ as the doctor reads them."""

    def __init__(self, root: Path) -> None:
        self.root = root
        for folder in ("dev/serial/by-id", "sys/class/tty", "proc"):
            (root / folder).mkdir(parents=True)

    def node(self, name: str, target: str) -> None:
        os.symlink(target, self.root / "dev" / name)

    def by_id(self, name: str, node: str) -> None:
        os.symlink(f"../../{node}", self.root / "dev/serial/by-id" / name)

    def usb(
        self, tty: str, bus_port: str, ids: dict[str, str], driver: str, latency: int | None = None
    ) -> None:
        """A USB device with its attributes, an interface, and the tty's device folder: the
        interface itself (cdc_acm) or a usb-serial port below it (ftdi_sio, with a latency
        timer), linked from class/tty as sysfs does."""
        device = self.root / USB / bus_port
        interface = device / f"{bus_port}:1.0"
        interface.mkdir(parents=True)
        for name, value in ids.items():
            (device / name).write_text(value + "\n")
        tty_device = interface if latency is None else interface / tty
        tty_device.mkdir(exist_ok=True)
        drivers = self.root / "sys/bus/usb/drivers" / driver
        drivers.mkdir(parents=True, exist_ok=True)
        os.symlink(os.path.relpath(drivers, tty_device), tty_device / "driver")
        if latency is not None:
            (tty_device / "latency_timer").write_text(f"{latency}\n")
        (self.root / "sys/class/tty" / tty).mkdir()
        os.symlink(
            os.path.relpath(tty_device, self.root / "sys/class/tty" / tty),
            self.root / "sys/class/tty" / tty / "device",
        )

    def process(self, pid: int, name: str, holds: list[str]) -> None:
        folder = self.root / "proc" / str(pid)
        (folder / "fd").mkdir(parents=True)
        (folder / "comm").write_text(name + "\n")
        for number, path in enumerate(holds, start=3):
            os.symlink(path, folder / "fd" / str(number))


@pytest.fixture
def tree(tmp_path, simulator):
    """The fake tree: an arm and a wired handle of the simulator (the handle behind a 16 ms
    FTDI adapter), a silent port, a port ModemManager holds, dangling by-id and rfcomm links."""
    silent, held = FakeDevice(), FakeDevice()
    fake = FakeTree(tmp_path / "root")
    fake.node("ttyACM0", simulator.arms[0])
    fake.node("ttyUSB0", simulator.handles[0])
    fake.node("ttyACM1", silent.path)
    fake.node("ttyUSB1", held.path)
    fake.node("rfcomm9", "/dev/nothing-here")
    fake.node("ttyS0", silent.path)  # not a candidate name
    fake.usb(
        "ttyACM0",
        "1-1",
        {
            "idVendor": "2b9a",
            "idProduct": "0003",
            "manufacturer": "Tamro",
            "product": "Velkin3",
            "serial": ARM_SERIAL,
        },
        "cdc_acm",
    )
    fake.usb(
        "ttyUSB0",
        "1-2",
        {
            "idVendor": "0403",
            "idProduct": "6015",
            "manufacturer": "FTDI",
            "product": "FT231X",
            "serial": "DN0ABC",
        },
        "ftdi_sio",
        latency=16,
    )
    fake.usb("ttyUSB1", "1-3", {"idVendor": "0403", "idProduct": "6001"}, "ftdi_sio", latency=1)
    fake.by_id(f"usb-Tamro_Velkin3_{ARM_SERIAL}-if00", "ttyACM0")
    fake.by_id("usb-Tamro_Velkin3_VK3-0007-if00", "ttyACM7")  # renumbered: nothing there now
    fake.process(812, "ModemManager", [held.path])
    fake.process(900, "bash", ["/dev/null"])
    fake.silent, fake.held, fake.simulator = silent, held, simulator
    yield fake
    silent.close()
    held.close()


def by_node(findings: doctor.Findings) -> dict[str, doctor.Port]:
    return {Path(name.path).name: port for port in findings.ports for name in port.names}


def test_findings_on_the_fake_tree(tree):
    shown: list[str] = []
    started: list[int] = []
    findings = doctor.examine(
        tree.root,
        on_start=lambda ports: started.append(len(ports)),
        on_port=lambda port, fixes: shown.append(port.path),
    )
    ports = by_node(findings)
    assert started == [4] and sorted(shown) == sorted(p.path for p in findings.ports)
    assert set(ports) == {"ttyACM0", "ttyUSB0", "ttyACM1", "ttyUSB1"}

    arm = ports["ttyACM0"]
    assert arm.path == os.path.realpath(tree.simulator.arms[0])
    assert arm.names[0].candidate == "arm" and arm.device == "arm" and arm.usable
    assert arm.usb is not None and (arm.usb.vendor_id, arm.usb.serial, arm.usb.driver) == (
        "2b9a",
        ARM_SERIAL,
        "cdc_acm",
    )
    assert arm.by_id == [str(tree.root / f"dev/serial/by-id/usb-Tamro_Velkin3_{ARM_SERIAL}-if00")]
    assert arm.probe.arm is not None and arm.probe.arm.model == 4 and arm.probe.arm.device_id == 1
    trips = arm.probe.round_trips
    assert trips is not None and (trips.requested, trips.completed) == (100, 100)
    assert 0 < trips.p50_ms <= trips.p99_ms
    assert arm.latency_timer is None and arm.fixes == []

    handle = ports["ttyUSB0"]
    assert handle.device == "wired-handle" and handle.usable
    assert handle.probe.handle is not None and handle.probe.handle.message == "information"
    assert handle.latency_timer is not None and handle.latency_timer.milliseconds == 16
    assert handle.usb is not None and handle.usb.driver == "ftdi_sio"

    silent = ports["ttyACM1"]
    assert silent.probe.answer == "silence" and not silent.usable and silent.device is None
    assert tree.silent.take(1) == b"\x0a"  # the wake-up reached it

    held = ports["ttyUSB1"]
    assert [(h.pid, h.name, h.known) for h in held.holders] == [(812, "ModemManager", "modemmanager")]
    assert held.probe.answer == "not-probed" and not held.usable
    assert tree.held.silent(0.2)  # nothing was sent to a port another process holds
    assert held.latency_timer is not None and held.latency_timer.milliseconds == 1

    assert [(Path(d.path).name, d.kind) for d in findings.dangling_links] == [
        ("rfcomm9", "serial-node"),
        ("usb-Tamro_Velkin3_VK3-0007-if00", "by-id"),
    ]
    # Fixes once each, in the order to apply them, with the ports they are for.
    keys = [fix.key for fix in findings.fixes]
    assert keys[0] == f"dangling:{tree.root}/dev/rfcomm9"
    assert keys[1:3] == ["modemmanager", f"latency:{tree.root}/{USB}/1-2/1-2:1.0/ttyUSB0/latency_timer"]
    assert keys[3] == f"dangling:{tree.root}/dev/serial/by-id/usb-Tamro_Velkin3_VK3-0007-if00"
    assert findings.fixes[1].ports == [held.path] and held.fixes == ["modemmanager"]
    assert "echo 1 | sudo tee" in findings.fixes[2].commands[0] and "16 ms" in findings.fixes[2].title


def test_stale_by_id_link_is_named(tree):
    """A by-id link whose name carries another serial than the device it leads to."""
    tree.by_id("usb-Tamro_Velkin3_VK3-0001-if00", "ttyACM0")
    findings = doctor.examine(tree.root, exchanges=0)
    notes = " ".join(by_node(findings)["ttyACM0"].notes)
    assert "VK3-0001-if00 names another serial number" in notes


def test_a_port_that_does_not_open(tmp_path):
    """The open's error is reported, not printed: here a pseudo-terminal whose master side
    was never unlocked."""
    master = os.open("/dev/ptmx", os.O_RDWR | os.O_NOCTTY)
    try:
        fdinfo = Path(f"/proc/self/fdinfo/{master}").read_text()
        number = int(re.search(r"^tty-index:\s*(\d+)", fdinfo, re.M)[1])
        (tmp_path / "dev").mkdir()
        os.symlink(f"/dev/pts/{number}", tmp_path / "dev/ttyUSB3")
        result = run_doctor("--root", str(tmp_path))
    finally:
        os.close(master)
    assert result.returncode == 1 and result.stderr == ""
    assert f"{tmp_path}/dev/ttyUSB3 (/dev/pts/{number}): cannot be opened" in result.stdout
    assert "could not open it: [5] Input/output error (EIO)" in result.stdout


# --- what a hostile tree holds ------------------------------------------------------------------

# A USB serial number that closes the quoted value and adds a rule of its own, and a node name
# that forges a line of the report.
HOSTILE_SERIAL = 'VK3", RUN+="/usr/bin/touch /tmp/tamro-owned"\nSUBSYSTEM=="tty", RUN+="/bin/sh -c id'
FORGED_NODE = "ttyACM0\n\x1b[2K\rSummary: 9 of 9 ports with a usable device"
# One rule: comma-separated KEY=="value", KEY="value" or KEY+="value", values of the strict set.
PAIR = r'[A-Z_]+(\{[A-Za-z_]+\})?(==|\+?=)"[A-Za-z0-9._/-]*"'
RULE = re.compile(f"{PAIR}(, {PAIR})*")


def control_characters(text: str) -> list[str]:
    """What in text is no printable character (line breaks apart)."""
    return [c for c in text if not c.isprintable() and c != "\n"]


@pytest.fixture
def hostile(tmp_path, fake_arm):
    """An arm whose node name, USB strings and by-id link carry quotes, escape sequences and
    line breaks, and a port held by a process whose name does, with USB ids that do."""
    held = FakeDevice()
    fake = FakeTree(tmp_path / "root")
    fake.node(FORGED_NODE, fake_arm.path)
    fake.node("ttyUSB0", held.path)
    strings = {
        "idVendor": "2b9a",
        "idProduct": "0003",
        "manufacturer": "Tamro\x1b]0;owned\x07",
        "product": "Velkin3 %k $devnode",
        "serial": HOSTILE_SERIAL,
    }
    fake.usb(FORGED_NODE, "1-1", strings, "cdc_acm")
    fake.usb("ttyUSB0", "1-2", {"idVendor": '0403"\nRUN+="/bin/true', "idProduct": "6001"}, "ftdi_sio")
    fake.by_id("usb-Tamro\u202e_Velkin3\x1b[31m-if00", FORGED_NODE)
    fake.process(812, "grab\x1b[2J\nSummary: 0 of 0", [held.path])
    fake.held = held
    yield fake
    held.close()


def test_device_text_never_enters_a_rule(hostile):
    result = run_doctor("--root", str(hostile.root), "--rules", "--exchanges", "0")
    assert result.returncode == 0, result.stderr
    rules = [line for line in result.stdout.splitlines() if line and not line.startswith("#")]
    assert all(RULE.fullmatch(line) for line in rules), rules
    # The arm is matched without its serial number, which a comment says without quoting it.
    assert rules == [
        'SUBSYSTEM=="tty", ATTRS{idVendor}=="2b9a", ATTRS{idProduct}=="0003", MODE="0660", '
        'GROUP="dialout", TAG+="uaccess", ENV{ID_MM_DEVICE_IGNORE}="1", SYMLINK+="tamro/arm-2b9a_0003"'
    ]
    assert "serial number holds characters a rule must not carry" in result.stdout
    assert "its USB ids hold characters a rule must not carry" in result.stdout  # the held port
    for device_text in ("RUN", "touch", "owned", "%k", "$devnode", "Summary"):
        assert device_text not in result.stdout, device_text
    assert control_characters(result.stdout) == []


def test_names_reach_the_terminal_escaped_and_json_exact(hostile):
    text = run_doctor("--root", str(hostile.root), "--exchanges", "0")
    assert text.returncode == 0, text.stderr
    assert control_characters(text.stdout) == []
    summaries = [line for line in text.stdout.splitlines() if line.startswith("Summary")]
    assert summaries == ["Summary: 1 of 2 ports with a usable device"]
    assert "ttyACM0\\n\\x1b[2K\\rSummary: 9 of 9" in text.stdout
    assert "grab\\x1b[2J\\nSummary: 0 of 0 (pid 812)" in text.stdout
    assert "Tamro\\x1b]0;owned\\x07" in text.stdout and "usb-Tamro\\u202e_Velkin3" in text.stdout

    document = json.loads(run_doctor("--root", str(hostile.root), "--json", "--exchanges", "0").stdout)
    ports = {Path(port["names"][0]["path"]).name: port for port in document["ports"]}
    arm, held = ports[FORGED_NODE], ports["ttyUSB0"]
    assert arm["usb"]["serial"] == HOSTILE_SERIAL and arm["usb"]["manufacturer"] == "Tamro\x1b]0;owned\x07"
    assert arm["by_id"] == [str(hostile.root / "dev/serial/by-id/usb-Tamro\u202e_Velkin3\x1b[31m-if00")]
    assert held["holders"] == [{"pid": 812, "name": "grab\x1b[2J\nSummary: 0 of 0", "known": None}]
    assert "RUN" not in document["udev_rules"]


def test_only_serial_ports_are_opened(tmp_path):
    """A file, a FIFO, a folder, a socket and a character device that is no terminal, each where
    a port should be: none is opened, so none is written to, and none hangs the run."""
    fake = FakeTree(tmp_path)
    kept = tmp_path / "kept"
    kept.write_bytes(b"keep me")
    fake.node("ttyACM0", str(kept))
    os.mkfifo(tmp_path / "fifo")
    fake.node("ttyACM1", str(tmp_path / "fifo"))
    (tmp_path / "dev/ttyACM2").mkdir()
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(str(tmp_path / "dev/ttyUSB0"))
    fake.node("ttyUSB1", "/dev/null")
    try:
        findings = doctor.examine(tmp_path, timeout=0.2, exchanges=0)
    finally:
        listener.close()
    refused = {Path(port.names[0].path).name: port.probe for port in findings.ports}
    assert {name: probe.answer for name, probe in refused.items()} == dict.fromkeys(
        ["ttyACM0", "ttyACM1", "ttyACM2", "ttyUSB0", "ttyUSB1"], "not-a-serial-port"
    )
    what = {name: probe.error.message for name, probe in refused.items() if probe.error is not None}
    assert what == {
        "ttyACM0": "not a serial port: a regular file",
        "ttyACM1": "not a serial port: a FIFO",
        "ttyACM2": "not a serial port: a folder",
        "ttyUSB0": "not a serial port: a socket",
        "ttyUSB1": "not a serial port: a character device that no serial driver serves",
    }
    assert kept.read_bytes() == b"keep me"
    assert findings.usable == [] and all(port.fixes == [] for port in findings.ports)


# The doctor in a session of its own whose controlling terminal is a pseudo-terminal this test
# owns, standing for the terminal of whoever runs it.
IN_A_TERMINAL = """
import fcntl, os, sys, termios
fcntl.ioctl(0, termios.TIOCSCTTY, 0)
os.execv(sys.executable, [sys.executable, "-m", "tamro.programs.doctor", *sys.argv[1:]])
"""


def test_never_the_callers_terminal(tmp_path):
    master, terminal = os.openpty()  # cooked, as a shell leaves it
    try:
        fake = FakeTree(tmp_path)
        fake.node("ttyACM0", "/dev/tty")  # whichever terminal controls the process that opens it
        fake.node("ttyACM1", os.ttyname(terminal))
        before = termios.tcgetattr(terminal)
        done = subprocess.run(
            [sys.executable, "-c", IN_A_TERMINAL, "--root", str(tmp_path), "--json", "--timeout", "0.2"],
            stdin=terminal,
            capture_output=True,
            text=True,
            timeout=60,
            start_new_session=True,
        )
        assert done.returncode == 1, done.stderr
        assert termios.tcgetattr(terminal) == before
        assert select.select([master], [], [], 0.2)[0] == [], "something was written to the terminal"
    finally:
        os.close(master)
        os.close(terminal)
    ports = {Path(port["names"][0]["path"]).name: port["probe"] for port in json.loads(done.stdout)["ports"]}
    assert ports["ttyACM0"]["answer"] == ports["ttyACM1"]["answer"] == "not-a-serial-port"
    assert "controlling terminal" in ports["ttyACM1"]["error"]["message"]


def test_sysfs_is_read_within_bounds(tmp_path, fake_arm):
    """Attributes that are /dev/zero, a FIFO and a 1 MiB file: the run ends, none of them is
    read beyond a few KiB, and once the tree's deadline has passed nothing more is read."""
    fake = FakeTree(tmp_path)
    fake.node("ttyACM0", fake_arm.path)
    fake.usb("ttyACM0", "1-1", {"idVendor": "2b9a", "idProduct": "0003"}, "cdc_acm")
    device = tmp_path / USB / "1-1"
    os.symlink("/dev/zero", device / "serial")
    os.mkfifo(device / "product")
    (device / "manufacturer").write_bytes(b"M" * (1 << 20))
    result = run_doctor("--root", str(tmp_path), "--json", "--exchanges", "0")
    assert result.returncode == 0, result.stderr
    usb = json.loads(result.stdout)["ports"][0]["usb"]
    assert (usb["vendor_id"], usb["serial"], usb["product"]) == ("2b9a", None, None)
    assert 0 < len(usb["manufacturer"]) <= _tree.ATTRIBUTE_LIMIT

    late = _tree.Tree(tmp_path, deadline=time.monotonic())
    assert late.usb_identity(device / "1-1:1.0") is None


# Access judged from owner, group, mode and access list, for a given uid and groups.
ALICE, STAFF, DIALOUT = 1000, 50, 20


def acl(*entries: tuple[int, int, int]) -> list[_access.AclEntry]:
    data = struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *e) for e in entries)
    parsed = _access.parse_acl(data)
    assert parsed is not None
    return parsed


UACCESS = acl(
    (_access.USER_OBJ, 6, 0),
    (_access.USER, 6, ALICE),
    (_access.GROUP_OBJ, 6, 0),
    (_access.MASK, 6, 0),
    (_access.OTHER, 0, 0),
)


@pytest.mark.parametrize(
    "owner, group, mode, uid, groups, entries, allowed",
    [
        (0, DIALOUT, 0o660, ALICE, [ALICE], None, False),  # not in dialout
        (0, DIALOUT, 0o660, ALICE, [ALICE, DIALOUT], None, True),
        (0, DIALOUT, 0o640, ALICE, [DIALOUT], None, False),  # the group may only read
        (0, DIALOUT, 0o666, ALICE, [ALICE], None, True),  # anyone
        (ALICE, DIALOUT, 0o066, ALICE, [DIALOUT], None, False),  # the owner bits alone count
        (0, 0, 0o600, 0, [], None, True),  # root
        (0, DIALOUT, 0o660, ALICE, [ALICE], UACCESS, True),  # uaccess: a named user
        (0, DIALOUT, 0o660, 1001, [1001], UACCESS, False),
        (0, DIALOUT, 0o660, ALICE, [ALICE], acl((_access.USER, 6, ALICE), (_access.MASK, 4, 0)), False),
        (0, STAFF, 0o660, ALICE, [STAFF], acl((_access.GROUP, 6, STAFF), (_access.OTHER, 0, 0)), True),
    ],
)
def test_access_judgement(owner, group, mode, uid, groups, entries, allowed):
    assert _access.judge(owner, group, mode, uid, groups, entries) is allowed


def test_malformed_access_list_is_ignored():
    assert _access.parse_acl(b"\x02\x00\x00\x00\x01") is None
    assert _access.parse_acl(struct.pack("<I", 1)) is None


def test_access_for_another_user(tree):
    """Run as root, judged for uid 4321: the fix depends on what the node's group may do."""
    handle = os.path.realpath(tree.simulator.handles[0])
    os.chown(handle, -1, 4322)
    os.chmod(handle, 0o660)
    outsider = by_node(doctor.examine(tree.root, uid=4321, groups=[4321], exchanges=0))
    member = by_node(doctor.examine(tree.root, uid=4321, groups=[4321, 4322], exchanges=0))

    port = outsider["ttyUSB0"]
    assert port.access is not None and not port.access.can_open and not port.usable
    assert (port.access.owner, port.access.group, port.access.mode, port.access.in_group) == (
        "root",
        "4322",
        "0660",
        False,
    )
    assert port.fixes[0] == "group:4322"
    assert member["ttyUSB0"].usable and member["ttyUSB0"].fixes == ["latency:" + port.latency_timer.path]
    # The arm's pty lets its group only write: joining a group cannot help, the rules can.
    arm = outsider["ttyACM0"]
    assert arm.device == "arm" and not arm.usable and arm.fixes == ["udev-access"]


def run_doctor(*args: str, **environment: str) -> subprocess.CompletedProcess[str]:
    """python -m tamro.programs.doctor, judging access for this process's user unless told otherwise."""
    env = {name: value for name, value in os.environ.items() if name != "SUDO_UID"}
    return subprocess.run(
        [sys.executable, "-m", "tamro.programs.doctor", *args],
        capture_output=True,
        text=True,
        timeout=60,
        env={**env, **environment},
    )


def check_schema(document: dict) -> None:
    """The documented shape of --json (docs/doctor.md), schema 1."""
    assert document["schema"] == 1
    assert set(document) == {
        "schema",
        "root",
        "user",
        "ports",
        "dangling_links",
        "unseen_processes",
        "usable",
        "fixes",
        "udev_rules",
        "exit_status",
    }
    assert set(document["user"]) == {"uid", "name", "groups"}
    port_keys = {
        "path",
        "names",
        "by_id",
        "usb",
        "access",
        "holders",
        "latency_timer",
        "probe",
        "device",
        "usable",
        "notes",
        "fixes",
        "link",
    }
    probe_keys = {"answer", "seconds", "error", "arm", "handle", "raw_bytes", "round_trips"}
    for port in document["ports"]:
        assert set(port) == port_keys
        assert set(port["probe"]) == probe_keys
        if port["probe"]["round_trips"] is not None:
            assert set(port["probe"]["round_trips"]) == {
                "requested",
                "completed",
                "ended",
                "p50_ms",
                "p99_ms",
                "in_flight_1khz",
            }
        assert all(set(n) == {"path", "candidate"} for n in port["names"])
        if port["usb"] is not None:
            assert set(port["usb"]) == {
                "vendor_id",
                "product_id",
                "manufacturer",
                "product",
                "serial",
                "driver",
            }
        assert port["fixes"] == [k for k in port["fixes"] if k in {f["key"] for f in document["fixes"]}]
    for fix in document["fixes"]:
        assert set(fix) == {"key", "order", "title", "commands", "alternatives", "ports"}
    for link in document["dangling_links"]:
        assert set(link) == {"path", "target", "kind"}


def test_json_document(tree):
    result = run_doctor("--root", str(tree.root), "--json")
    assert result.returncode == 0, result.stderr
    document = json.loads(result.stdout)
    check_schema(document)
    assert document["exit_status"] == 0
    ports = {Path(p["names"][0]["path"]).name: p for p in document["ports"]}
    assert document["usable"] == [ports["ttyACM0"]["path"], ports["ttyUSB0"]["path"]] or sorted(
        document["usable"]
    ) == sorted([ports["ttyACM0"]["path"], ports["ttyUSB0"]["path"]])
    arm = ports["ttyACM0"]
    assert arm["probe"]["arm"]["uuid"] == "54616d72-6f53-696d-0000-000000000001"
    assert arm["link"] == f"tamro/arm-{ARM_SERIAL}"
    assert ports["ttyACM1"]["probe"]["answer"] == "silence"
    assert ports["ttyUSB1"]["holders"] == [{"pid": 812, "name": "ModemManager", "known": "modemmanager"}]
    assert ports["ttyUSB0"]["latency_timer"]["milliseconds"] == 16
    assert document["udev_rules"].startswith("# udev rules for Tamro devices")


def test_text_report(tree):
    result = run_doctor("--root", str(tree.root))
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert out.startswith(f"tamro-doctor: 4 serial ports under {tree.root}/dev")
    arm = f"{tree.root}/dev/ttyACM0 ({os.path.realpath(tree.simulator.arms[0])})"
    assert f"{arm}: arm, usable (" in out  # its headline, with the probe's time
    assert "ModemManager (pid 812) - a known port grabber" in out
    assert "16 ms (about 16 ms per reply)" in out
    assert re.search(r"\n  servo loop +(in_flight=\d+ .*holds 1 kHz here|no in_flight up to 8 )", out)
    summary = out[out.index("Summary: 2 of 4 ports with a usable device") :]
    assert f"{arm}: arm, usable; /dev/tamro/arm-{ARM_SERIAL} once the udev rules are in" in summary
    assert f"{tree.root}/dev/ttyACM1 ({os.path.realpath(tree.silent.path)}): silent" in summary
    steps = summary[summary.index("Fixes, in the order") :]
    assert steps.index("rfcomm9") < steps.index("ModemManager") < steps.index("latency timer")
    assert "$ echo 1 | sudo tee" in steps


def test_under_sudo_access_is_judged_for_the_user_behind_it(tree):
    try:
        nobody = pwd.getpwnam("nobody")
    except KeyError:
        pytest.skip("no user nobody here")
    if os.geteuid() != 0:
        pytest.skip("needs root, as under sudo")
    result = run_doctor("--root", str(tree.root), "--json", SUDO_UID=str(nobody.pw_uid))
    document = json.loads(result.stdout)
    assert result.returncode == 1 and document["user"]["uid"] == nobody.pw_uid
    assert document["usable"] == [] and not any(p["access"]["can_open"] for p in document["ports"])
    # Still run as root: the probe reached the arm, and every process could be looked at.
    assert any(p["device"] == "arm" for p in document["ports"])


def test_udev_rules(tree):
    result = run_doctor("--root", str(tree.root), "--rules")
    assert result.returncode == 0, result.stderr
    rules = [line for line in result.stdout.splitlines() if line and not line.startswith("#")]
    arm = (
        'SUBSYSTEM=="tty", ATTRS{idVendor}=="2b9a", ATTRS{idProduct}=="0003", '
        f'ATTRS{{serial}}=="{ARM_SERIAL}", MODE="0660", GROUP="dialout", TAG+="uaccess", '
        f'ENV{{ID_MM_DEVICE_IGNORE}}="1", SYMLINK+="tamro/arm-{ARM_SERIAL}"'
    )
    handle = (
        'SUBSYSTEM=="tty", ATTRS{idVendor}=="0403", ATTRS{idProduct}=="6015", ATTRS{serial}=="DN0ABC", '
        'MODE="0660", GROUP="dialout", TAG+="uaccess", ENV{ID_MM_DEVICE_IGNORE}="1", '
        'SYMLINK+="tamro/handle-DN0ABC"'
    )
    latency = (
        'ACTION=="add", SUBSYSTEM=="usb-serial", ATTRS{idVendor}=="0403", ATTRS{idProduct}=="6015", '
        'ATTRS{serial}=="DN0ABC", ATTR{latency_timer}="1"'
    )
    # The held port was not asked, so its name decides (ttyUSB: a handle); no serial number.
    held = (
        'SUBSYSTEM=="tty", ATTRS{idVendor}=="0403", ATTRS{idProduct}=="6001", MODE="0660", '
        'GROUP="dialout", TAG+="uaccess", ENV{ID_MM_DEVICE_IGNORE}="1", SYMLINK+="tamro/handle-0403_6001"'
    )
    held_latency = (
        'ACTION=="add", SUBSYSTEM=="usb-serial", ATTRS{idVendor}=="0403", ATTRS{idProduct}=="6001", '
        'ATTR{latency_timer}="1"'
    )
    assert sorted(rules) == sorted([arm, handle, latency, held, held_latency])  # none for the silent port
    assert "a second device of this kind would match too" in result.stdout


def test_usage_errors_and_an_empty_root(tmp_path):
    for args in (
        ["--json", "--rules"],
        ["--root", str(tmp_path / "missing")],
        ["--timeout", "0"],
        ["--bogus"],
    ):
        assert run_doctor(*args).returncode == 2, args
    empty = run_doctor("--root", str(tmp_path))
    assert empty.returncode == 1
    assert empty.stdout.startswith(f"No Tamro device is attached: {tmp_path}/dev has no ttyACM")
    assert "cable" in empty.stdout and "dialout" in empty.stdout
    document = json.loads(run_doctor("--root", str(tmp_path), "--json").stdout)
    check_schema(document)
    assert document["ports"] == [] and document["exit_status"] == 1


def test_the_round_trip_says_which_in_flight_holds_1_khz(tmp_path):
    # 1 ms (+0.2 ms) per reply: one request at a time cannot keep a 1 ms period.
    with Simulator(handles=0, delay_us=1000, jitter_us=200) as sim:
        fake = FakeTree(tmp_path)
        fake.node("ttyACM0", sim.arms[0])
        result = run_doctor("--root", str(tmp_path), "--json", "--exchanges", "50")
    document = json.loads(result.stdout)
    check_schema(document)
    (port,) = document["ports"]
    trips = port["probe"]["round_trips"]
    assert trips["completed"] == 50 and trips["p99_ms"] >= 1.0
    # From the p99, which a loaded machine may push past what any pipeline holds.
    assert trips["in_flight_1khz"] == tamro.in_flight_for(trips["p99_ms"] / 1000)
    assert trips["in_flight_1khz"] is None or trips["in_flight_1khz"] >= 2


@pytest.mark.parametrize(
    "round_trip, rate_hz, in_flight",
    [(0.0, 1000, 1), (0.0009, 1000, 1), (0.00091, 1000, 2), (0.0018, 1000, 2), (0.0022, 1000, 3),
     (0.0022, 500, 2), (0.0072, 1000, 8), (0.0073, 1000, None)],
)  # fmt: skip
def test_in_flight_for_fills_nine_tenths_of_each_period(round_trip, rate_hz, in_flight):
    assert tamro.in_flight_for(round_trip, rate_hz) == in_flight


def test_silent_ports_are_probed_side_by_side(tmp_path):
    """Eight silent ports cost one read time-out, not eight, and Python threads run meanwhile."""
    devices = [FakeDevice() for _ in range(8)]
    try:
        fake = FakeTree(tmp_path)
        for number, device in enumerate(devices):
            fake.node(f"ttyACM{number}", device.path)
        with OtherThread() as other:
            start = time.monotonic()
            findings = doctor.examine(tmp_path, timeout=0.5)
            end = time.monotonic()
        assert [port.probe.answer for port in findings.ports] == ["silence"] * 8
        assert end - start < 2.5  # one after another would take 4 s
        assert other.ran_between(start, end, margin=0.1)
    finally:
        for device in devices:
            device.close()


# Inside `unshare --mount`: /dev becomes a tmpfs with /dev/pts bound back in (and /dev/ptmx,
# where the simulator opens its ptys), the simulator links its devices there as ttyACM0 and
# ttyUSB0, and tamro-doctor runs with no --root.
CHILD = r"""
import json, os, subprocess, sys
work, tests = sys.argv[1], sys.argv[2]
sys.path.insert(0, tests)
from privatedev import hide_dev, run
from tamro import Simulator

pts = hide_dev(work)
os.mkdir("/dev/pts")
run("mount", "--bind", pts, "/dev/pts")
os.symlink("pts/ptmx", "/dev/ptmx")
with Simulator(arms=1, handles=1, link_dir="/dev") as sim:
    doctor = [os.path.join(os.path.dirname(sys.executable), "tamro-doctor")]
    env = {name: value for name, value in os.environ.items() if name != "SUDO_UID"}
    text = subprocess.run(doctor, capture_output=True, text=True, timeout=60, env=env)
    document = subprocess.run(doctor + ["--json"], capture_output=True, text=True, timeout=60, env=env)
    print(json.dumps({"arm": sim.arms[0], "handle": sim.handles[0], "text": text.stdout,
                      "text_status": text.returncode, "stderr": text.stderr + document.stderr,
                      "json": document.stdout, "json_status": document.returncode}))
"""


def test_end_to_end_against_the_simulator_links(tmp_path):
    result = run_child(CHILD, tmp_path)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert report["text_status"] == 0 and report["json_status"] == 0, report["stderr"]
    assert report["stderr"] == ""
    assert f"/dev/ttyACM0 ({report['arm']}): arm, usable" in report["text"]
    assert f"/dev/ttyUSB0 ({report['handle']}): wired handle, usable" in report["text"]
    document = json.loads(report["json"])
    check_schema(document)
    assert sorted(document["usable"]) == sorted([report["arm"], report["handle"]])
    for port in document["ports"]:
        # The simulator holds each pty's far end: it plays the device, it is not in the way.
        assert port["holders"] == [] and any("tamro-simulator" in n for n in port["notes"])
