"""Two machines with the shipped two-machine configuration, played by two network namespaces
joined by a veth pair (tests/fakes/netns.py: made by the test, as root, removed after): a bridge
on the simulator with a recorder beside it on one side (both ``--peer-address``), a plain DDS
peer on the other (the documented file and variable). While the link is down the recorder keeps
recording every topic of the bridge at the rate it had, and neither program floods its standard
error; when the link comes back the peer receives the bridge's samples again.

Nothing leaves the two namespaces: each has only its end of the pair and its own loopback, and
the addresses are link-local."""

from __future__ import annotations

import math
import os
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from netns import stop

from tamro import network

if not network.available():
    pytest.skip("this build has no network part (no Cyclone DDS)", allow_module_level=True)
ros2peer = pytest.importorskip("ros2peer", reason="needs the cyclonedds package (the dds extra)")
mcap_reader = pytest.importorskip("mcap.reader")

FAKES = Path(__file__).resolve().parents[1] / "fakes"
TOPICS = [
    "/lab/arm/measured_cp",
    "/lab/arm/measured_cv",
    "/lab/arm/measured_cf",
    "/lab/handle/measured_cp",
    "/lab/handle/sensor_level",
    "/lab/handle/user_data",
]
# Longer than Cyclone's default lease (10 s): each side forgets the other while it is down, so
# that coming back is a rediscovery, not a resumption.
DOWN_SECONDS = 12.0
LINES_PER_5S = 4  # "a handful": one line per kind of Cyclone message per 5 s, and a few kinds

PEER = """
import select, sys, time
sys.path.insert(0, {fakes!r})
import ros2peer as rp
peer = rp.Peer({domain})
reader = peer.reader("/lab/arm/measured_cp", rp.PoseStamped, depth=100)
got, end = 0, time.monotonic() + 180
while time.monotonic() < end and not select.select([sys.stdin], [], [], 0)[0]:
    got += sum(isinstance(s, rp.PoseStamped) for s in reader.take(N=100))  # not a lost writer's notice
    print(got, flush=True)
    time.sleep(0.02)
"""


class Lines:
    """A child's standard output, read line by line with deadlines (from the descriptor: a
    buffered reader would hide whole lines from select)."""

    def __init__(self, process: subprocess.Popen[str]) -> None:
        assert process.stdout is not None
        self.fd = process.stdout.fileno()
        self.seen: list[str] = []
        self.partial = b""

    def until(self, wanted, timeout: float) -> str | None:
        deadline = time.monotonic() + timeout
        looked = 0
        while True:
            for line in self.seen[looked:]:
                looked += 1
                if wanted(line):
                    return line
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                return None
            chunk = os.read(self.fd, 65536)
            if not chunk:
                return None
            *whole, self.partial = (self.partial + chunk).split(b"\n")
            self.seen += [line.decode(errors="replace") for line in whole]


def program(link, side: int, tmp_path: Path, name: str, *args: str) -> tuple[subprocess.Popen[str], Path]:
    """A tamro program in this side's namespace with the two-machine configuration, its standard
    error in a file (read while it runs)."""
    env = {k: v for k, v in os.environ.items() if k not in ("CYCLONEDDS_URI", network.PEER_VARIABLE)}
    err = tmp_path / f"{name}.err"
    command = link.command(side, sys.executable, "-m", f"tamro.programs.{name}", *args)
    command += ["--peer-address", link.addresses[1 - side]]
    with err.open("w") as file:
        process = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=file, text=True)
    return process, err


def recorded(path: Path) -> dict[str, list[int]]:
    """Per topic, the log times (ns since the epoch, the recorder's reception) of its messages."""
    times: dict[str, list[int]] = {}
    with path.open("rb") as f:
        for _, channel, message in mcap_reader.make_reader(f).iter_messages(log_time_order=True):
            times.setdefault(channel.topic, []).append(message.log_time)
    return times


def test_local_recording_survives_the_link_and_the_peer_comes_back(veth_link, tmp_path):
    link = veth_link
    domain = ros2peer.random_domain()
    path = tmp_path / "session.mcap"
    serve = ("--name", "lab", "--simulate", "--domain", str(domain))
    bridge, bridge_err = program(link, 0, tmp_path, "bridge", *serve)
    recorder, recorder_err = program(link, 0, tmp_path, "record", "--domain", str(domain), "-o", str(path))
    script = tmp_path / "peer.py"
    script.write_text(PEER.format(fakes=str(FAKES), domain=domain))
    peer_env = dict(os.environ, CYCLONEDDS_URI=network.TWO_MACHINES_CONFIG.as_uri())
    peer_env[network.PEER_VARIABLE] = link.addresses[0]
    peer = subprocess.Popen(
        link.command(1, sys.executable, str(script)),
        env=peer_env,
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        bridge_out, recorder_out, peer_out = Lines(bridge), Lines(recorder), Lines(peer)
        assert bridge_out.until(lambda line: line == "ready", 60), bridge_err.read_text()
        # The configuration in force is the one asked for, and says so.
        assert any(line.startswith("config ") and "two_machines.xml" in line for line in bridge_out.seen)
        assert any(f"peer {link.addresses[1]}" in line for line in bridge_out.seen), bridge_out.seen
        for topic in TOPICS:
            line = recorder_out.until(lambda line, t=topic: line.startswith(f"recording {t} "), 60)
            assert line, f"not recording {topic}: {recorder_out.seen} {recorder_err.read_text()}"
        assert peer_out.until(lambda line: int(line) >= 50, 60), "no samples crossed before the cut"

        # The same span before the cut, to judge each topic's rate by.
        time.sleep(2.0)  # a stretch of recording to compare with, not a wait for anything
        down = time.time_ns()
        told = (bridge_err.stat().st_size, recorder_err.stat().st_size)
        link.down(0)
        # The length of the cut is the scenario, not a synchronisation; meanwhile the peer's
        # count is read: once what was in flight is taken (a loaded machine can take seconds),
        # it must stand still.
        peer_out.until(lambda line: False, 4.0)
        settled = peer_out.seen[-1]
        peer_out.until(lambda line: False, DOWN_SECONDS - 4.0)
        assert peer_out.seen[-1] == settled, "samples crossed a link that was down"
        said = [bridge_err.read_bytes()[told[0] :], recorder_err.read_bytes()[told[1] :]]
        up = time.time_ns()
        link.up(0)

        # Rediscovery: the peer on the other side receives the bridge's samples again.
        again = peer_out.until(lambda line: int(line) >= int(settled) + 50, 60)
        assert again, f"the peer did not get the bridge back: {peer_out.seen[-3:]}"

        recorder.send_signal(signal.SIGINT)
        recorder.wait(timeout=60)
        times = recorded(path)
        seconds = (up - down) / 1e9
        for topic in TOPICS:
            stamps = times.get(topic, [])
            during = [t for t in stamps if down <= t <= up]
            earlier = [t for t in stamps if down - 2_000_000_000 <= t < down]
            assert earlier, f"{topic}: nothing recorded before the cut"
            rate_before, rate_down = len(earlier) / 2.0, len(during) / seconds
            # Every topic kept its rate (a loss would be most of a topic: its samples went by
            # the link that was down), and no stretch of it went missing.
            rates = f"{topic}: {rate_down:.0f}/s while down, {rate_before:.0f}/s before"
            assert rate_down >= 0.8 * rate_before, rates
            edges = [down, *during, up]
            gap = max(b - a for a, b in zip(edges, edges[1:], strict=False))
            assert gap < 500_000_000, f"{topic}: {gap / 1e9:.2f} s without a sample while down"
        # Cyclone's complaints about the unreachable peer, rate-limited.
        bound = LINES_PER_5S * math.ceil(DOWN_SECONDS / 5)
        for name, text in zip(("bridge", "recorder"), said, strict=True):
            lines = text.decode(errors="replace").splitlines()
            assert len(lines) <= bound, f"the {name} wrote {len(lines)} lines while down: {lines[:10]}"
    finally:
        if peer.stdin is not None:
            peer.stdin.close()
        for process in (bridge, recorder):
            if process.poll() is None:
                process.send_signal(signal.SIGINT)
        stop(peer, recorder, bridge)
