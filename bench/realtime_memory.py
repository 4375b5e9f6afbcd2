"""What ``realtime=True`` costs in memory: resident and locked memory of a process that holds
a 1 GiB numpy array and runs a servo loop, with and without real-time, the array made before
or after the loop starts.

``realtime=True`` locks the whole process's memory (``mlockall(MCL_CURRENT | MCL_FUTURE)``):
every page it has is made resident and locked, and so is every page it maps later, touched
or not. A numpy array from ``np.zeros`` is mapped but not yet resident until written; locked,
it is resident at once.

Each case runs in a fresh interpreter against the simulator's arm, and prints one line:

    .venv/bin/python bench/realtime_memory.py
"""

from __future__ import annotations

import json
import subprocess
import sys
import textwrap

import tamro

SIZE = 1 << 30  # 1 GiB

CHILD = textwrap.dedent(
    """
    import json, sys, time
    import numpy as np
    import tamro

    port, realtime, order, size = sys.argv[1], sys.argv[2] == "1", sys.argv[3], int(sys.argv[4])

    def memory():
        fields = {}
        with open("/proc/self/status") as status:
            for line in status:
                name, _, value = line.partition(":")
                if name in ("VmRSS", "VmLck"):
                    fields[name] = int(value.split()[0]) / 1024  # kB to MiB
        return fields

    array = np.zeros(size, np.uint8) if order == "before" else None
    loop = tamro.ServoLoop(port, realtime=realtime)
    loop.start()
    if order == "after":
        array = np.zeros(size, np.uint8)
    time.sleep(0.2)
    figures = memory()
    granted = loop.stats()["realtime"]
    loop.close()
    print(json.dumps({"granted": granted, **figures}))
    """
)


def measure(port: str, realtime: bool, order: str) -> dict[str, float]:
    result = subprocess.run(
        [sys.executable, "-c", CHILD, port, "1" if realtime else "0", order, str(SIZE)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    if result.returncode != 0:
        raise RuntimeError(f"the measuring child failed: {result.stderr.strip()}")
    figures: dict[str, float] = json.loads(result.stdout.strip().splitlines()[-1])
    return figures


def main() -> None:
    print(f"a process holding a {SIZE >> 20} MiB numpy array (np.zeros) and a running servo loop")
    print(f"{'realtime':<10}{'array made':<14}{'granted':<9}{'resident MiB':>14}{'locked MiB':>12}")
    with tamro.Simulator() as simulator:
        port = simulator.arms[0]
        for realtime in (False, True):
            for order in ("before", "after"):
                f = measure(port, realtime, order)
                print(
                    f"{str(realtime):<10}{order + ' start':<14}{str(f['granted']):<9}"
                    f"{f['VmRSS']:>14.0f}{f['VmLck']:>12.0f}"
                )


if __name__ == "__main__":
    main()
