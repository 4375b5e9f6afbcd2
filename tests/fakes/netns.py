"""Two machines on one: two network namespaces joined by a veth pair, made by a test (as root)
and removed after it (the ``veth_link`` fixture in tests/conftest.py).

Nothing leaves the two namespaces: each has only its end of the pair and its own loopback,
and the addresses are link-local."""

from __future__ import annotations

import secrets
import subprocess
from pathlib import Path


def run(*command: str) -> None:
    subprocess.run(command, check=True, capture_output=True, text=True, timeout=30)


class Link:
    """Two namespaces, a veth pair between them, link-local addresses."""

    def __init__(self) -> None:
        tag = secrets.token_hex(3)
        self.spaces = (f"tamro-a-{tag}", f"tamro-b-{tag}")
        self.ends = (f"tva{tag}", f"tvb{tag}")
        self.addresses = ("169.254.24.1", "169.254.24.2")
        self.made: list[str] = []
        try:
            for space in self.spaces:
                run("ip", "netns", "add", space)
                self.made.append(space)
            run("ip", "link", "add", self.ends[0], "netns", self.spaces[0], "type", "veth", "peer", "name",
                self.ends[1], "netns", self.spaces[1])  # fmt: skip
            for space, end, address in zip(self.spaces, self.ends, self.addresses, strict=True):
                self.exec(space, "ip", "addr", "add", f"{address}/30", "dev", end)
                self.exec(space, "ip", "link", "set", end, "up")
                self.exec(space, "ip", "link", "set", "lo", "up")
        except BaseException:
            self.remove()
            raise

    def exec(self, space: str, *command: str) -> None:
        run("ip", "netns", "exec", space, *command)

    def command(self, side: int, *command: str) -> list[str]:
        """A command line that runs ``command`` in this side's namespace."""
        return ["ip", "netns", "exec", self.spaces[side], *command]

    def down(self, side: int) -> None:
        """Cuts the link: this side's end of the pair goes down."""
        self.exec(self.spaces[side], "ip", "link", "set", self.ends[side], "down")

    def up(self, side: int) -> None:
        """Mends the link cut by ``down``."""
        self.exec(self.spaces[side], "ip", "link", "set", self.ends[side], "up")

    def config(self, side: int, folder: Path) -> str:
        """Cyclone DDS on this side's end only, unicast to the other side."""
        path = folder / f"side{side}.xml"
        path.write_text(
            "<CycloneDDS><Domain id='any'><General><Interfaces>"
            f"<NetworkInterface name='{self.ends[side]}'/></Interfaces>"
            "<AllowMulticast>false</AllowMulticast></General><Discovery>"
            "<ParticipantIndex>auto</ParticipantIndex><MaxAutoParticipantIndex>20</MaxAutoParticipantIndex>"
            f"<Peers><Peer address='{self.addresses[1 - side]}'/></Peers></Discovery></Domain></CycloneDDS>"
        )
        return path.as_uri()

    def remove(self) -> None:
        for space in self.made:  # the pair goes with them
            subprocess.run(["ip", "netns", "del", space], capture_output=True, timeout=30)
        self.made.clear()


def stop(*processes: subprocess.Popen[str]) -> None:
    """Ends what a test ran in the namespaces: asked first, killed if it does not go."""
    for process in processes:
        if process.poll() is None:
            process.terminate()
        try:
            process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
