#!/usr/bin/env python3
"""Every benchmark of the project, in one table (``make bench``).

Rows: the raw C loop of one arm exchange, the same exchange through the library from C++,
through the module from Python and through a pure-Python pyserial driver; status messages per
second received into a Python override and into a plain C++ Handle subclass; the CPU time of
a one-second wait on a silent port; two arms driven from two Python threads at once; the
servo loop against a Python loop (bench/servo.py), and over a slow link with requests in flight
(bench/inflight.py); the stability sweep and smoothing (bench/stability.py); the devices on the
network (bench/network.py: the loop with publishing on and off, latency to a subscriber in
another process against ddsperf's floor, throughput); teleoperation across the network at
several link delays (bench/teleop.py).

The exchange rows meet one peer, a bench-peer process answering at once on a pseudo-terminal,
and take turns in blocks of 100 exchanges, the native ones through ctypes from the small
library built beside the programs; so a change in the machine's load (it is shared) falls on
every row alike, and the ratios to the raw loop hold even when the absolute times move. The
receive rows do the same in blocks of messages. The C++ programs come from build/native/bench
unless --build-dir or TAMRO_BENCH_DIR names another directory; the module is whichever
``import TamroHardwareAPI`` finds.
"""

from __future__ import annotations

import argparse
import ctypes
import json
import os
import platform
import random
import select
import statistics
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

import inflight  # noqa: E402
import mesh  # noqa: E402
import network  # noqa: E402
import recording  # noqa: E402
import servo  # noqa: E402
import stability  # noqa: E402
import teleop  # noqa: E402
from pyserial_arm import PySerialArm  # noqa: E402

import TamroHardwareAPI as tamro  # noqa: E402

LIBRARY_TARGET = 1.15
MODULE_TARGET = 1.3
SILENT_CPU_TARGET_MS = 5.0
USER_DATA = 3


def parse_args() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--build-dir",
        type=Path,
        default=Path(os.environ.get("TAMRO_BENCH_DIR", ROOT / "build" / "native" / "bench")),
        help="directory holding bench-peer, bench-exchange, ... (default build/native/bench)",
    )
    parser.add_argument("--quick", action="store_true", help="a short run, to check it works")
    parser.add_argument("--json", type=Path, help="also write every figure to this file")
    parser.add_argument("--servo-only", action="store_true", help="only the servo loop's rows")
    parser.add_argument(
        "--inflight-only", action="store_true", help="only the rows of the servo loop over a slow link"
    )
    parser.add_argument(
        "--stability-only", action="store_true", help="only the stability sweep and the smoothing rows"
    )
    parser.add_argument("--network-only", action="store_true", help="only the network's rows (tamro.Node)")
    parser.add_argument(
        "--teleop-only", action="store_true", help="only the teleoperation table (tamro-teleop)"
    )
    return parser.parse_args()


class Failure(Exception):
    pass


class Programs:
    def __init__(self, directory: Path) -> None:
        self.directory = directory
        for name in (
            "bench-peer",
            "bench-exchange",
            "bench-silent-wait",
            "bench-handle-receive",
            "libtamro_bench_native.so",
        ):
            if not (directory / name).is_file():
                raise Failure(
                    f"{directory / name} not found: build with -DTAMRO_BUILD_BENCH=ON "
                    "(make build) or name the directory with --build-dir"
                )

        self.native = ctypes.CDLL(str(directory / "libtamro_bench_native.so"))
        n = self.native
        n.tamro_bench_arm_open.restype = ctypes.c_void_p
        n.tamro_bench_arm_open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int]
        n.tamro_bench_arm_run.restype = ctypes.c_long
        n.tamro_bench_arm_run.argtypes = [
            ctypes.c_void_p,
            ctypes.c_long,
            ctypes.c_double,
            ctypes.POINTER(ctypes.c_double),
        ]
        n.tamro_bench_arm_close.argtypes = [ctypes.c_void_p]
        n.tamro_bench_status_open.restype = ctypes.c_void_p
        n.tamro_bench_status_open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int]
        n.tamro_bench_status_run.restype = ctypes.c_double
        n.tamro_bench_status_run.argtypes = [ctypes.c_void_p, ctypes.c_long, ctypes.POINTER(ctypes.c_long)]
        n.tamro_bench_status_close.argtypes = [ctypes.c_void_p]

    def path(self, name: str) -> str:
        return str(self.directory / name)

    def run(self, name: str, *args: object) -> dict:
        """Runs one C++ benchmark; its JSON object."""
        done = subprocess.run([self.path(name), *map(str, args)], capture_output=True, text=True, timeout=120)
        lines = done.stdout.strip().splitlines()
        if not lines:
            raise Failure(f"{name} printed nothing (exit {done.returncode}): {done.stderr.strip()}")
        result = json.loads(lines[-1])
        if done.returncode != 0 or result.get("failures", 0):
            raise Failure(
                f"{name} {' '.join(map(str, args))}: {result.get('failures')} failures, "
                f"exit {done.returncode} {done.stderr.strip()}"
            )
        return result


class Peer:
    """A bench-peer process serving one pseudo-terminal until its standard input closes."""

    def __init__(self, programs: Programs, mode: str, user_data: int = USER_DATA) -> None:
        self.process = subprocess.Popen(
            [programs.path("bench-peer"), mode, str(user_data)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        assert self.process.stdin is not None and self.process.stdout is not None
        self.stdin, self.stdout = self.process.stdin, self.process.stdout
        self.path = self.stdout.readline().strip()
        if not self.path.startswith("/dev/"):
            self.process.kill()
            raise Failure(f"bench-peer {mode} gave no pty path")

    def __enter__(self) -> Peer:
        return self

    def __exit__(self, *exc: object) -> None:
        self.stdin.close()
        self.stdout.read()
        self.process.wait(timeout=10)


def summary(samples: list[float]) -> dict:
    ordered = sorted(samples)
    n = len(ordered)
    return {
        "count": n,
        "mean_us": statistics.fmean(ordered),
        "p50_us": ordered[n // 2],
        "p99_us": ordered[min(n - 1, int(0.99 * n))],
    }


class ExchangeTimer:
    """Times force exchanges one by one; the answer must echo the force (bench-peer's arm;
    the flooding arm cannot echo x, so x goes unchecked there)."""

    def __init__(self, exchange, echo: bool = True) -> None:
        self.exchange = exchange
        self.echo = echo
        self.samples: list[float] = []
        self.failures = 0

    def run(self, count: int, first: float, keep: bool = True) -> None:
        exchange = self.exchange
        clock = time.perf_counter_ns
        samples = [0.0] * count
        failures = 0
        echo = self.echo
        for i in range(count):
            force = [first + i, 0.5, -2.0]
            start = clock()
            position, velocity = exchange(force)
            samples[i] = (clock() - start) / 1000.0
            if (echo and position[0] != force[0]) or position[1] != 0.5 or velocity[2] != 2.0:
                failures += 1
        self.failures += failures
        if keep:
            self.samples.extend(samples)


class NativeArm:
    """The raw loop (library False) or Velkin3 from C++, run through the native library."""

    def __init__(self, programs: Programs, path: str, library: bool, echo: bool) -> None:
        self.native = programs.native
        self.handle = self.native.tamro_bench_arm_open(path.encode(), int(library), int(echo))
        if not self.handle:
            raise Failure(f"cannot open {path}")
        self.samples: list[float] = []
        self.failures = 0

    def run(self, count: int, first: float, keep: bool = True) -> None:
        times = (ctypes.c_double * count)()
        self.failures += self.native.tamro_bench_arm_run(self.handle, count, first, times)
        if keep:
            self.samples.extend(times)

    def close(self) -> None:
        self.native.tamro_bench_arm_close(self.handle)


Runner = ExchangeTimer | NativeArm

# What bench-peer flood keeps sending: position (0, 0.5, -2), velocity (-0, -0.5, 2).
FLOOD_REPLY = struct.pack("<B6f", 43, 0.0, 0.5, -2.0, -0.0, -0.5, 2.0)


def align_on_replies(path: str) -> None:
    """Reads a flooded line up to the end of a whole reply.

    pyserial flushes the input when it opens a port, and on a line that is never empty the
    flush may cut a reply in two; everything read after it would be out of step.
    """
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        window = b""
        deadline = time.monotonic() + 5.0
        while window != FLOOD_REPLY:
            try:
                byte = os.read(fd, 1)
            except BlockingIOError:
                byte = b""
            if byte:
                window = (window + byte)[-len(FLOOD_REPLY) :]
            elif time.monotonic() > deadline:
                raise Failure(f"no whole reply on {path}")
            else:
                select.select([fd], [], [], 0.1)
    finally:
        os.close(fd)


def exchanges(programs: Programs, count: int, block: int, peer_mode: str = "arm") -> dict:
    """Raw C loop, library from C++, module from Python and pyserial, taking turns.

    With peer_mode "flood" every reply is already waiting when it is read: the times are then
    the cost of the calls themselves, without the wake-ups that dominate a real exchange.
    """
    echo = peer_mode == "arm"
    with Peer(programs, peer_mode) as peer:
        # pyserial first: its settings (VMIN 1 among them) apply to the line, whichever
        # descriptor set them, and the library's, set by each open after it, must be the last.
        pyserial = PySerialArm(peer.path)
        stream = tamro.SerialStream(peer.path)
        arm = tamro.Velkin3(stream)
        raw = NativeArm(programs, peer.path, library=False, echo=echo)
        library = NativeArm(programs, peer.path, library=True, echo=echo)
        runners: dict[str, Runner] = {
            "raw": raw,
            "library": library,
            "module": ExchangeTimer(arm.end_effector_force, echo),
            "pyserial": ExchangeTimer(pyserial.end_effector_force, echo),
        }
        if not echo:
            align_on_replies(peer.path)
        names = list(runners)
        first = 1.0
        for runner in runners.values():
            runner.run(300, first, keep=False)
            first += 300
        block_ratios: dict[str, list[float]] = {name: [] for name in names[1:]}
        # A fresh order each turn: in a fixed rotation each row would always follow the same
        # other row, and on a flooded line the one before decides how full the line is.
        shuffle = random.Random(7).shuffle
        for b in range(0, count, block):
            n = min(block, count - b)
            shuffle(names)
            for name in names:
                if not echo:
                    time.sleep(0.001)  # let the peer fill the line again: no read waits
                runners[name].run(n, first)
                first += n
            raw_mean = statistics.fmean(runners["raw"].samples[-n:])
            for name in block_ratios:
                block_ratios[name].append(statistics.fmean(runners[name].samples[-n:]) / raw_mean)
        failures = {name: r.failures for name, r in runners.items() if r.failures}
        raw.close()
        library.close()
        pyserial.close()
        rows = {name: summary(r.samples) for name, r in sorted(runners.items())}
        del runners, arm, stream
    if failures:
        raise Failure(f"wrong answers: {failures}")
    for name in block_ratios:
        rows[name]["ratio_mean"] = rows[name]["mean_us"] / rows["raw"]["mean_us"]
        rows[name]["ratio_p50"] = rows[name]["p50_us"] / rows["raw"]["p50_us"]
        rows[name]["ratio_block_median"] = statistics.median(block_ratios[name])
    return rows


class CountingHandle(tamro.Handle):
    """Counts status messages and checks they come whole and in the peer's order."""

    def __init__(self, stream) -> None:
        super().__init__(stream)
        self.messages = 0
        self.broken = 0
        self.expected = -1

    def OnReceiveHandleStatusMessage(
        self, device_id, quaternion, error_flag, hall_effect_sensor_level, user_data_length, user_data
    ):
        self.messages += 1
        if self.expected >= 0 and device_id != self.expected:
            self.broken += 1
        if hall_effect_sensor_level != 77 or user_data_length != USER_DATA:
            self.broken += 1
        self.expected = (device_id + 1) % 256


def receive_rates(programs: Programs, count: int, block: int) -> dict:
    """Status messages per second into a Python override, a C++ subclass and a raw reader."""
    native = programs.native
    expected = 21 + USER_DATA
    times = {"python": 0.0, "library": 0.0, "raw": 0.0}
    native_failures = ctypes.c_long(0)
    python_failures = 0
    with Peer(programs, "status", USER_DATA) as peer:
        stream = tamro.SerialStream(peer.path)
        handle = CountingHandle(stream)
        readers = {
            "raw": native.tamro_bench_status_open(peer.path.encode(), 0, USER_DATA),
            "library": native.tamro_bench_status_open(peer.path.encode(), 1, USER_DATA),
        }
        if not all(readers.values()):
            raise Failure(f"cannot open {peer.path}")

        def python(n: int) -> float:
            nonlocal python_failures
            receive = handle.Receive
            handle.expected = -1  # the others read the line in between
            broken = handle.broken
            bad = 0
            start = time.perf_counter()
            for _ in range(n):
                if receive() != expected:
                    bad += 1
            elapsed = time.perf_counter() - start
            python_failures += bad + handle.broken - broken
            return elapsed

        def reader(name: str):
            return lambda n: native.tamro_bench_status_run(readers[name], n, native_failures)

        steps = {"python": python, "library": reader("library"), "raw": reader("raw")}
        for step in steps.values():
            step(block)
        # Opening a port discards what waits on it, and the peer streams from before: the first
        # reader may start mid-message and take a few reads to fall into step. Not counted.
        python_failures = 0
        native_failures.value = 0
        names = list(steps)
        for b in range(0, count, block):
            n = min(block, count - b)
            turn = b // block
            for name in names[turn % 3 :] + names[: turn % 3]:
                times[name] += steps[name](n)
        for r in readers.values():
            native.tamro_bench_status_close(r)
        # Drops the module's port before the peer stops (python() above still names handle).
        handle = stream = None
    if python_failures or native_failures.value:
        raise Failure(
            f"short or out-of-order status messages: Python {python_failures}, native {native_failures.value}"
        )
    rates = {name: count / t for name, t in times.items()}
    return {
        "python_messages_per_s": rates["python"],
        "library_messages_per_s": rates["library"],
        "raw_messages_per_s": rates["raw"],
        "python_vs_library": rates["python"] / rates["library"],
        "library_vs_raw": rates["library"] / rates["raw"],
    }


def two_arms(programs: Programs, rounds: int, count: int) -> dict:
    """Aggregate exchanges per second of two arms driven from two threads at once, against one
    arm alone: with the module from Python threads, and with the C++ library loop (through
    ctypes, which holds no interpreter lock) to show what the machine itself allows. The four
    cases take turns, in a fresh order each round."""
    with Peer(programs, "arm") as first, Peer(programs, "arm") as second:
        paths = (first.path, second.path)
        streams = [tamro.SerialStream(p) for p in paths]
        natives = [NativeArm(programs, p, library=True, echo=True) for p in paths]
        groups: dict[str, list[Runner]] = {
            "python": [ExchangeTimer(tamro.Velkin3(s).end_effector_force) for s in streams],
            "native": list(natives),
        }
        for members in groups.values():
            for runner in members:
                runner.run(300, 1.0, keep=False)

        def one(runners: list[Runner]) -> float:
            start = time.perf_counter()
            runners[0].run(count, 1.0, keep=False)
            return time.perf_counter() - start

        def drive(runner: Runner, barrier: threading.Barrier) -> None:
            barrier.wait()
            runner.run(count, 1.0, keep=False)

        def two(runners: list[Runner]) -> float:
            barrier = threading.Barrier(3)
            threads = [threading.Thread(target=drive, args=(r, barrier)) for r in runners]
            for t in threads:
                t.start()
            barrier.wait()
            start = time.perf_counter()
            for t in threads:
                t.join()
            return time.perf_counter() - start

        cases = [(g, n) for g in groups for n in (1, 2)]
        times = {case: 0.0 for case in cases}
        shuffle = random.Random(11).shuffle
        for _ in range(rounds):
            shuffle(cases)
            for name, arms in cases:
                times[name, arms] += (one if arms == 1 else two)(groups[name])
        failures = sum(r.failures for g in groups.values() for r in g)
        for n in natives:
            n.close()
        del groups, streams
    if failures:
        raise Failure(f"two arms: {failures} wrong answers")
    result = {}
    for name in ("python", "native"):
        one_rate = rounds * count / times[name, 1]
        two_rate = rounds * 2 * count / times[name, 2]
        result[name] = {"one_arm_per_s": one_rate, "two_arms_per_s": two_rate, "ratio": two_rate / one_rate}
    return result


def fmt(value: float, digits: int = 1) -> str:
    return f"{value:,.{digits}f}"


def table(results: dict) -> str:
    """The one table; targets are judged on the ratio of medians, which a stray stall of the
    shared machine cannot move, the ratio of means standing beside it."""
    rx = results["receive"]
    sw = results["silent_wait"]
    ta = results["two_arms"]["python"]
    width = 44
    header = (
        f"{'':<{width}} {'mean µs':>8} {'p50 µs':>8} {'p99 µs':>8} {'per second':>11}  "
        f"{'x raw loop (mean, p50)':<23} target"
    )
    lines = [header, "-" * (len(header) + 12)]
    blank = f"{'':>8} {'':>8} {'':>8}"

    def exchanges(title: str, ex: dict, targets: bool) -> None:
        lines.append(title)
        for label, key, target in (
            ("raw C loop (write/read/poll)", "raw", None),
            ("library from C++ (end_effector_force)", "library", LIBRARY_TARGET),
            ("module from Python (end_effector_force)", "module", MODULE_TARGET),
            ("pure Python (pyserial)", "pyserial", None),
        ):
            row = ex[key]
            ratio = verdict = ""
            if key != "raw":
                ratio = f"{row['ratio_mean']:.2f}x, {row['ratio_p50']:.2f}x"
                if targets and target is not None:
                    verdict = f"<= {target}x " + ("met" if row["ratio_p50"] <= target else "MISSED")
            lines.append(
                f"  {label:<{width - 2}} {fmt(row['mean_us']):>8} {fmt(row['p50_us']):>8} "
                f"{fmt(row['p99_us']):>8} {fmt(1e6 / row['mean_us'], 0):>11}  "
                f"{ratio:<23} {verdict}"
            )

    exchanges("arm exchange, peer answering at once (13 bytes out, 1 + 24 back)", results["exchange"], True)
    exchanges("the same, reply already waiting (the calls alone, no wake-ups)", results["waiting"], False)
    lines.append("handle status messages streamed by a peer (3 bytes of user data)")
    lines.append(
        f"  {'Receive into a Python override':<{width - 2}} {blank} "
        f"{fmt(rx['python_messages_per_s'], 0):>11}  "
        f"{rx['python_vs_library']:.2f}x of plain C++ Receive"
    )
    lines.append(
        f"  {'plain C++ Handle subclass Receive':<{width - 2}} {blank} "
        f"{fmt(rx['library_messages_per_s'], 0):>11}  "
        f"{rx['library_vs_raw']:.2f}x of a raw C reader"
    )
    lines.append(
        f"  {'raw C reader (the same three reads)':<{width - 2}} {blank} "
        f"{fmt(rx['raw_messages_per_s'], 0):>11}"
    )
    lines.append("waiting and threads")
    cpu_verdict = "met" if sw["cpu_ms_max"] < SILENT_CPU_TARGET_MS else "MISSED"
    lines.append(
        f"  {'CPU of a silent 1-s wait (C++)':<{width - 2}} {blank} {'':>11}  "
        f"{sw['cpu_ms_warm_mean']:.2f} ms CPU in {sw['wall_ms_mean']:.0f} ms "
        f"(first: {sw['cpu_ms_first']:.2f})   < {SILENT_CPU_TARGET_MS:.0f} ms {cpu_verdict}"
    )
    lines.append(
        f"  {'  (the same second with 100-µs blind sleeps)':<{width - 2}} {blank} {'':>11}  "
        f"{sw['blind_sleep_cpu_ms']:.1f} ms CPU"
    )
    lines.append(
        f"  {'two arms from two Python threads':<{width - 2}} {blank} "
        f"{fmt(ta['two_arms_per_s'], 0):>11}  "
        f"{ta['ratio']:.2f}x of one arm alone ({fmt(ta['one_arm_per_s'], 0)}/s)"
    )
    tn = results["two_arms"]["native"]
    lines.append(
        f"  {'the same in C++ threads (no interpreter)':<{width - 2}} {blank} "
        f"{fmt(tn['two_arms_per_s'], 0):>11}  "
        f"{tn['ratio']:.2f}x of one arm alone ({fmt(tn['one_arm_per_s'], 0)}/s)"
    )
    lines.extend(servo.lines(results["servo"], width))
    lines.extend(inflight.lines(results["inflight"], width))
    lines.extend(stability.lines(results["stability"], width))
    lines.extend(network.lines(results["network"], width))
    lines.extend(recording.lines(results["recording"], width))
    lines.extend(teleop.lines(results["teleop"], width))
    return "\n".join(lines)


def main() -> int:
    args = parse_args()
    try:
        programs = Programs(args.build_dir.resolve())
    except Failure as error:
        print(f"bench: {error}", file=sys.stderr)
        return 2
    quick = args.quick
    count = 4000 if quick else 20000
    print(
        f"machine: {platform.node()}, {os.cpu_count()} cores, load average "
        f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}, Linux {platform.release()}, "
        f"Python {platform.python_version()}"
    )
    print(f"module: {tamro.__file__}")
    print(f"programs: {programs.directory}", flush=True)
    started = time.perf_counter()
    try:
        if args.network_only:
            rows = network.run(programs.directory, quick)
            print("\n".join(network.lines(rows, 44)))
            return 0
        if args.teleop_only:
            print("\n".join(teleop.lines(teleop.run(quick), 44)))
            return 0
        if args.servo_only:
            rows = servo.run(programs.native, quick)
            print("\n".join(servo.lines(rows, 44)))
            return 0
        if args.inflight_only:
            print("\n".join(inflight.lines(inflight.run(quick), 44)))
            return 0
        if args.stability_only:
            print("\n".join(stability.lines(stability.run(quick), 44)))
            return 0
        results: dict[str, Any] = {
            "servo": servo.run(programs.native, quick),
            "inflight": inflight.run(quick),
            "network": network.run(programs.directory, quick),
            "exchange": exchanges(programs, count, 100),
            "waiting": exchanges(programs, count, 100, "flood"),
            "receive": receive_rates(programs, 40000 if quick else 200000, 2000),
            "two_arms": two_arms(programs, 4 if quick else 16, 500 if quick else 1000),
            "silent_wait": programs.run("bench-silent-wait", "--waits", 2 if quick else 3),
            "peer_thread": programs.run("bench-exchange", "--exchanges", 2000 if quick else 10000),
            "recording": recording.run(quick),
            "stability": stability.run(quick),
            "teleop": teleop.run(quick),
            "mesh": mesh.run(programs, quick),
        }
    except Failure as error:
        print(f"bench: {error}", file=sys.stderr)
        return 1
    results["seconds"] = time.perf_counter() - started
    print()
    print(table(results))
    pt = results["peer_thread"]
    for section in ("exchange", "waiting"):
        ex = results[section]
        print(
            f"\n{section}: {count:,} exchanges a row, in turns of 100 against one bench-peer "
            "process; median of the per-turn ratios of means: "
            + ", ".join(f"{k} {ex[k]['ratio_block_median']:.2f}x" for k in ("library", "module", "pyserial")),
            end="",
        )
    print()
    print(
        f"bench-exchange against a peer thread in its own process: raw p50 {pt['raw_p50_us']:.1f} µs, "
        f"library p50 {pt['library_p50_us']:.1f} µs, library/raw {pt['ratio_mean']:.2f}x mean, "
        f"{pt['ratio_p50']:.2f}x p50"
    )
    print(mesh.line(results["mesh"]))
    print(f"{results['seconds']:.0f} s in all")
    if args.json:
        args.json.write_text(json.dumps(results, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
