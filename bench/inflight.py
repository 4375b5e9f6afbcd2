"""The servo loop over a slow link, one request in flight against a pipeline of two and three
(bench/run.py).

The simulator delays every reply as a USB-serial link does (``--delay-us``, with 0.2 ms of
jitter); for each delay a 1 kHz servo loop renders a wall and a spring with ``in_flight`` 1, 2
and 3, in a fresh order each round, and its own figures give the row: achieved rate, period
p99, the age of the state each force was made from (p50 and p99) and how many requests were
on the line as each went out.

The loop asks for real-time priority, as a haptic program would, and so does the simulator
(below the loop's) where the system allows it: a device answers on time whatever its host
does, and a simulator the shared machine's load holds back would add delay that is no link's.
"""

from __future__ import annotations

import random
import time
from typing import Any

from servo import effects  # the same wall and spring as the servo loop's rows
from stability import simulator

import tamro

DELAYS_MS = (0.0, 0.5, 1.0, 2.0)
JITTER_US = 200
IN_FLIGHT = (1, 2, 3)
# Where the pipeline must hold 1 kHz: the delay, and the in_flight that has to do it.
TARGETS = {(1.0, 2), (2.0, 3)}
RATE_TARGET = 0.005  # within 0.5 % of 1 kHz
P99_TARGET_US = 1150.0


def one_run(port: str, in_flight: int, seconds: float) -> dict[str, Any]:
    with tamro.ServoLoop(port, rate_hz=1000.0, in_flight=in_flight, realtime=True) as loop:
        loop.effects = effects()
        time.sleep(seconds)
        return dict(loop.stats())


def run(quick: bool) -> dict[str, Any]:
    """Per delay, per in_flight: the figures of its runs, the rounds weighted by their cycles
    (rates), or the worst round (p99s)."""
    rounds = 1 if quick else 3
    seconds = 1.0 if quick else 2.0
    results: dict[str, Any] = {}
    shuffle = random.Random(3).shuffle
    for delay in DELAYS_MS:
        with simulator(delay_us=int(delay * 1000), jitter_us=JITTER_US) as (sim, realtime):
            results["realtime_simulator"] = realtime
            runs: dict[int, list[dict[str, Any]]] = {n: [] for n in IN_FLIGHT}
            order = list(IN_FLIGHT)
            for _ in range(rounds):
                shuffle(order)
                for n in order:
                    runs[n].append(one_run(sim.arms[0], n, seconds))
        for n, stats in runs.items():
            cycles = sum(s["cycles"] for s in stats)
            results[f"{delay}_{n}"] = {
                "delay_ms": delay,
                "in_flight": n,
                "rate_hz": sum(s["rate_hz"] * s["cycles"] for s in stats) / cycles,
                "period_p99_us": max(s["period_p99_us"] for s in stats),
                "state_age_p50_us": max(s["state_age_p50_us"] for s in stats),
                "state_age_p99_us": max(s["state_age_p99_us"] for s in stats),
                "in_flight_mean": sum(s["in_flight_mean"] * s["cycles"] for s in stats) / cycles,
                "failed_exchanges": sum(s["failed_exchanges"] for s in stats),
                "realtime": all(s["realtime"] for s in stats),
                "resyncs": sum(s["resyncs"] for s in stats),
            }
    return results


def met(row: dict[str, Any]) -> bool:
    return abs(row["rate_hz"] - 1000.0) <= RATE_TARGET * 1000.0 and row["period_p99_us"] <= P99_TARGET_US


def lines(results: dict[str, Any], width: int) -> list[str]:
    loop_rt = all(row["realtime"] for key, row in results.items() if key != "realtime_simulator")
    priority = {
        (True, True): "loop and simulator at real-time priority",
        (True, False): "loop at real-time priority, simulator refused it",
        (False, True): "loop refused real-time priority, simulator at it",
        (False, False): "real-time priority refused",
    }[loop_rt, bool(results["realtime_simulator"])]
    out = [
        f"servo loop at 1 kHz over a slow link (simulator reply delay, +{JITTER_US / 1000:g} ms jitter; "
        f"{priority})",
        f"  {'':<{width - 2}} {'rate Hz':>9} {'p99 µs':>8} {'age p50':>8} {'age p99':>8} "
        f"{'on line':>7} {'failed':>6}  target",
    ]
    for delay in DELAYS_MS:
        out.append(f"  reply delay {delay:g} ms")
        for n in IN_FLIGHT:
            row = results[f"{delay}_{n}"]
            verdict = ""
            if (delay, n) in TARGETS:
                verdict = f"±0.5 %, p99 <= {P99_TARGET_US:.0f} µs: " + ("met" if met(row) else "MISSED")
            label = f"in_flight={n}"
            out.append(
                f"    {label:<{width - 4}} {row['rate_hz']:>9,.1f} {row['period_p99_us']:>8,.0f} "
                f"{row['state_age_p50_us']:>8,.0f} {row['state_age_p99_us']:>8,.0f} "
                f"{row['in_flight_mean']:>7.2f} {row['failed_exchanges']:>6}  {verdict}"
            )
    return out
