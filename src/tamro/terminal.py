"""Text from devices, file trees and the network, made safe to print on a terminal."""

from __future__ import annotations

__all__ = ["shown"]

_NAMED_ESCAPES = {"\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t"}


def shown(text: str) -> str:
    """Text safe for a terminal: a backslash, and every character that does not print
    (controls, line breaks, format characters such as direction overrides), written as a
    Python escape; everything else as it is."""
    if text.isprintable() and "\\" not in text:
        return text
    out: list[str] = []
    for character in text:
        if character in _NAMED_ESCAPES:
            out.append(_NAMED_ESCAPES[character])
        elif character.isprintable():
            out.append(character)
        elif ord(character) < 0x100:
            out.append(f"\\x{ord(character):02x}")
        elif ord(character) < 0x10000:
            out.append(f"\\u{ord(character):04x}")
        else:
            out.append(f"\\U{ord(character):08x}")
    return "".join(out)
