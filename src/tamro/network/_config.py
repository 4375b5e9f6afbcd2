"""What Cyclone DDS's configuration (``CYCLONEDDS_URI``) says of the interfaces it uses."""

from __future__ import annotations

import os
import re
from pathlib import Path
from urllib.parse import unquote, urlparse

__all__ = ["configured_interfaces"]

# A configuration file larger than this is not one: its interfaces are not looked for.
_MOST_READ = 1 << 20

_INTERFACE = re.compile(r"<NetworkInterface\b([^>]*)>", re.IGNORECASE)
_ATTRIBUTE = re.compile(r"\b(name|address)\s*=\s*[\"']([^\"']*)[\"']", re.IGNORECASE)
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
    ``uri`` (by default ``CYCLONEDDS_URI``) restricts DDS to, in its order; None when it names
    none, and Cyclone picks an interface of its own."""
    uri = os.environ.get("CYCLONEDDS_URI", "") if uri is None else uri
    found: list[str] = []
    for text in _sources(uri):
        for match in _INTERFACE.finditer(text):
            attributes = dict((k.lower(), v) for k, v in _ATTRIBUTE.findall(match[1]))
            if chosen := attributes.get("name") or attributes.get("address"):
                found.append(chosen)
        found += [m for m in _OLD_STYLE.findall(text) if m]
    return found or None
