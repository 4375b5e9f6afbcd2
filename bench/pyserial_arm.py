"""A pure-Python arm driver on pyserial, the yardstick for the extension module.

It makes the same force exchange as ``Velkin3.end_effector_force``: one 13-byte write
(code 42 and three little-endian binary32 floats), then a 1-byte read for the reply code and
a 24-byte read for the end-effector state, each bounded by a one-second time-out. Like the
library it answers zeros when no complete reply comes. Kept with the benchmarks only.
"""

from __future__ import annotations

import struct

import serial

FORCE_REQUEST = 42
END_EFFECTOR_STATE = 43
_REQUEST = struct.Struct("<B3f")
_STATE = struct.Struct("<6f")
_ZEROS = ([0.0, 0.0, 0.0], [0.0, 0.0, 0.0])


class PySerialArm:
    def __init__(self, path: str) -> None:
        self.port = serial.Serial(path, 115200, timeout=1.0)

    def close(self) -> None:
        self.port.close()

    def end_effector_force(self, force) -> tuple[list[float], list[float]]:
        self.port.write(_REQUEST.pack(FORCE_REQUEST, force[0], force[1], force[2]))
        code = self.port.read(1)
        if code != bytes((END_EFFECTOR_STATE,)):
            return _ZEROS
        payload = self.port.read(24)
        if len(payload) != 24:
            return _ZEROS
        values = _STATE.unpack(payload)
        return list(values[:3]), list(values[3:])
