"""What Cyclone DDS's configuration (``CYCLONEDDS_URI``) says of the interfaces it uses, and the
shipped configuration for two machines."""

from __future__ import annotations

import ipaddress
import os
import re
from pathlib import Path
from urllib.parse import unquote, urlparse

__all__ = ["PEER_VARIABLE", "TWO_MACHINES_CONFIG", "configured_interfaces", "use_peer"]

TWO_MACHINES_CONFIG = Path(__file__).resolve().parent / "two_machines.xml"
"""A Cyclone DDS configuration for two machines: this machine's processes on loopback, the other
machine by unicast at the address in ``PEER_VARIABLE`` (see ``use_peer``)."""
PEER_VARIABLE = "TAMRO_PEER_ADDRESS"
"""The environment variable ``TWO_MACHINES_CONFIG`` takes the other machine's address from."""

# A configuration file larger than this is not one: its interfaces are not looked for.
_MOST_READ = 1 << 20

_INTERFACE = re.compile(r"<NetworkInterface\b([^>]*)>", re.IGNORECASE)
_ATTRIBUTE = re.compile(r"\b(name|address)\s*=\s*[\"']([^\"']*)[\"']", re.IGNORECASE)
_AUTOMATIC = re.compile(r"\bautodetermine\s*=\s*[\"']true[\"']", re.IGNORECASE)
_OLD_STYLE = re.compile(r"<NetworkInterfaceAddress>\s*([^<]*?)\s*</NetworkInterfaceAddress>", re.IGNORECASE)


def _sources(uri: str) -> list[str]:
    """The XML of each part of a ``CYCLONEDDS_URI``: inline fragments, and the files it names."""
    texts = []
    for part in (p.strip() for p in uri.split(",")):
        if not part:
            continue
        if part.startswith("<"):
            texts.append(part)
            continue
        path = Path(unquote(urlparse(part).path) if part.startswith("file:") else part)
        try:
            with path.open("rb") as file:
                texts.append(file.read(_MOST_READ).decode("utf-8", "replace"))
        except OSError:
            continue  # Cyclone itself says what it cannot read
    return texts


def configured_interfaces(uri: str | None = None) -> list[str] | None:
    """The network interfaces (names or addresses) that the Cyclone DDS configuration in
    ``uri`` (by default ``CYCLONEDDS_URI``) restricts DDS to, in its order, ``"auto"`` for one it
    leaves Cyclone to choose; None when it names none, and Cyclone picks an interface of its own."""
    uri = os.environ.get("CYCLONEDDS_URI", "") if uri is None else uri
    found: list[str] = []
    for text in _sources(uri):
        for match in _INTERFACE.finditer(text):
            attributes = dict((k.lower(), v) for k, v in _ATTRIBUTE.findall(match[1]))
            if chosen := attributes.get("name") or attributes.get("address"):
                found.append(chosen)
            elif _AUTOMATIC.search(match[1]):
                found.append("auto")
        found += [m for m in _OLD_STYLE.findall(text) if m]
    return found or None


def use_peer(address: str) -> str:
    """Points ``CYCLONEDDS_URI`` at ``TWO_MACHINES_CONFIG`` with the other machine at ``address``
    (an IPv4 address, put in ``PEER_VARIABLE``), and returns the URI. Call it before the first
    ``Node``. ValueError for anything but a unicast IPv4 address, and when ``CYCLONEDDS_URI``
    names another configuration already (the peer would be ignored without a word)."""
    try:
        peer = ipaddress.IPv4Address(address)
    except ValueError:
        raise ValueError(f"not an IPv4 address: {address!r}") from None
    if peer.is_multicast or peer.is_unspecified or peer == ipaddress.IPv4Address("255.255.255.255"):
        raise ValueError(f"not the address of a machine: {address}")
    uri = TWO_MACHINES_CONFIG.as_uri()
    current = os.environ.get("CYCLONEDDS_URI")
    if current and current != uri:
        raise ValueError(
            f"CYCLONEDDS_URI names a configuration already ({current!r}): unset it to use the "
            "peer address, or name the peer in that configuration"
        )
    os.environ[PEER_VARIABLE] = str(peer)
    os.environ["CYCLONEDDS_URI"] = uri
    return uri
