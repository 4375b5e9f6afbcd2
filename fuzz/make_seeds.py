#!/usr/bin/env python3
"""Writes the committed seed corpus of the fuzz targets (fuzz/corpus/<target>/): a few
well-formed device replies, cut-short ones and neighbours of them, so a short run starts from
every message kind instead of having to find the header codes by itself."""

import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent


def floats(*values):
    return struct.pack(f"<{len(values)}f", *values)


def status(user, device_id=0x1234):
    return (
        bytes([218])
        + struct.pack("<H", device_id)
        + bytes([1, 200])
        + floats(1.0, 0.0, -0.5, 0.25)
        + bytes([len(user)])
        + bytes(user)
    )


INFO = bytes([208, 0x34, 0x12, 9, 4, 5, 6])
ERROR = bytes([223, 0x34, 0x12, 7])
DEVICE_INFO = bytes([11, 0x34, 0x12, 4, 2, 7]) + bytes(range(16))
END_EFFECTOR = bytes([43]) + floats(0.1, 0.2, 0.3, 0.0, 0.0, -1.0)
JOINT = bytes([27]) + floats(1.0, 2.0, 3.0, 4.0, 5.0, 6.0)
CURRENT = bytes([171]) + floats(0.5, 0.25, 0.125)

# Operation numbers of fuzz_velkin3 (first byte: count - 1, then one byte per operation).
RECEIVE_STATE, RECEIVE_JOINT, RECEIVE_CURRENT, INFO_FIELDS, INFO_RECORD, WAKEUP = range(6)
FORCE, POSITION, TORQUES, ANGLES = range(6, 10)
SEND_FORCE, REQUEST_CURRENT = 10, 14


def velkin3(operations, wire, refuse_writes=False):
    return bytes([len(operations) - 1 | (0x08 if refuse_writes else 0)]) + bytes(operations) + wire


SEEDS = {
    "fuzz_handle_receive": {
        "status_3": status([1, 2, 3]),
        "status_empty": status([]),
        "status_255": status(range(255)),
        "info": INFO,
        "error": ERROR,
        "mixed": status([7]) + bytes([11]) + INFO + ERROR + status([0xAA, 0xBB]),
        "status_cut": status([1, 2, 3, 4, 5, 6, 7, 8, 9, 10])[:26],
        "fixed_cut": status([])[:9],
        "unknown": bytes([11, 0x34, 0x12]),
    },
    "fuzz_velkin3": {
        "force": velkin3([FORCE], END_EFFECTOR),
        "angles_wrong_reply": velkin3([ANGLES], END_EFFECTOR),
        "torques_cut": velkin3([TORQUES], JOINT[:11]),
        "wakeup": velkin3([WAKEUP], DEVICE_INFO),
        "sequence": velkin3(
            [
                WAKEUP,
                POSITION,
                REQUEST_CURRENT,
                RECEIVE_CURRENT,
                SEND_FORCE,
                RECEIVE_STATE,
                RECEIVE_JOINT,
                INFO_FIELDS,
            ],
            DEVICE_INFO + END_EFFECTOR + CURRENT + END_EFFECTOR + JOINT + DEVICE_INFO,
        ),
        "discard": velkin3([RECEIVE_STATE, INFO_RECORD], bytes([218]) + bytes(1100) + DEVICE_INFO),
        "silent": velkin3([FORCE, RECEIVE_CURRENT], b""),
        "unplugged": velkin3([RECEIVE_STATE, FORCE, WAKEUP], END_EFFECTOR + END_EFFECTOR, refuse_writes=True),
    },
    "fuzz_probe": {
        "arm": DEVICE_INFO,
        "arm_model_3": DEVICE_INFO[:3] + bytes([3]) + DEVICE_INFO[4:],
        "arm_cut": DEVICE_INFO[:15],
        "handle_status": status([1] * 10),
        "handle_lone_code": bytes([218]),
        "handle_info": INFO,
        "handle_error": ERROR,
        "silent": b"",
    },
}


def main():
    for target, seeds in SEEDS.items():
        directory = HERE / "corpus" / target
        directory.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (directory / name).write_bytes(data)


if __name__ == "__main__":
    main()
