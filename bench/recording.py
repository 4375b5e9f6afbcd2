"""Writing a recording: one minute of a 1 kHz arm and a 200 Hz handle as MCAP (tamro.save_mcap,
compressed and not) against the same rows as .npz (numpy's own, plain and compressed).

The rows are made up but move as an arm does (a slow circle with sensor noise, forces of a
spring), so compression sees what it would see in a session. Each format is written five times
in turns into a temporary folder; the medians are kept."""

from __future__ import annotations

import os
import statistics
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

import tamro

TIME_TARGET = 2.0  # MCAP at most this many times the .npz time
SIZE_TARGET = 2.0  # compressed MCAP at most this many times the .npz size


def rows(seconds: float) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(1)
    n = int(seconds * 1000)
    t = np.arange(n) * 1e-3
    arm = np.zeros(n, tamro.RECORD_DTYPE)
    arm["cycle"] = np.arange(1, n + 1)
    arm["time"] = 1000.0 + t + rng.normal(0, 5e-6, n)
    circle = np.column_stack([0.04 * np.cos(t), 0.04 * np.sin(t), 0.01 * np.sin(0.3 * t)])
    arm["position"] = circle + rng.normal(0, 2e-6, (n, 3))
    arm["velocity"] = np.gradient(arm["position"], axis=0) * 1000
    arm["force"] = -300.0 * (arm["position"] - circle) - 2.0 * arm["velocity"]
    m = int(seconds * 200)
    handle = np.zeros(m, tamro.HANDLE_RECORD_DTYPE)
    handle["time"] = 1000.0 + np.arange(m) * 5e-3
    angle = np.arange(m) * 5e-3
    handle["quaternion"] = np.column_stack([np.cos(angle / 2), np.zeros(m), np.zeros(m), np.sin(angle / 2)])
    handle["hall_effect_sensor_level"] = (128 + 100 * np.sin(angle)).astype(np.uint8)
    return arm, handle


def run(quick: bool) -> dict[str, Any]:
    arm, handle = rows(10.0 if quick else 60.0)
    writers: dict[str, Callable[[Path], None]] = {
        "mcap_zstd": lambda p: tamro.save_mcap(p, arm=arm, handle=handle),
        "mcap_plain": lambda p: tamro.save_mcap(p, arm=arm, handle=handle, compression=""),
        "npz": lambda p: np.savez(p, arm=arm, handle=handle),
        "npz_compressed": lambda p: np.savez_compressed(p, arm=arm, handle=handle),
    }
    times: dict[str, list[float]] = {name: [] for name in writers}
    sizes: dict[str, int] = {}
    with tempfile.TemporaryDirectory() as folder:
        for _ in range(2 if quick else 5):
            for name, write in writers.items():
                path = Path(folder) / f"{name}.{'npz' if name.startswith('npz') else 'mcap'}"
                started = time.perf_counter()
                write(path)
                os.sync()  # the time to have it on disk, not in the page cache
                times[name].append(time.perf_counter() - started)
                sizes[name] = path.stat().st_size
                path.unlink()
    return {
        "seconds_recorded": len(arm) / 1000,
        "messages": 3 * len(arm) + 2 * len(handle),
        **{name: {"ms": 1e3 * statistics.median(t), "bytes": sizes[name]} for name, t in times.items()},
    }


def lines(results: dict[str, Any], width: int) -> list[str]:
    npz = results["npz"]
    out = [
        f"recording: {results['seconds_recorded']:.0f} s of a 1 kHz arm and a 200 Hz handle "
        f"({results['messages']:,} ROS 2 messages), written and synced"
    ]
    out.append(f"  {'':<{width - 2}} {'ms':>9} {'MB':>8}  x .npz (time, size)   target")
    labels = {
        "mcap_zstd": "tamro.save_mcap (zstd)",
        "mcap_plain": "tamro.save_mcap (uncompressed)",
        "npz": "numpy .npz",
        "npz_compressed": "numpy .npz, compressed",
    }
    for name, label in labels.items():
        row = results[name]
        time_ratio, size_ratio = row["ms"] / npz["ms"], row["bytes"] / npz["bytes"]
        verdict = ""
        if name == "mcap_zstd":
            met = time_ratio <= TIME_TARGET and size_ratio <= SIZE_TARGET
            verdict = f"<= {TIME_TARGET:.0f}x, <= {SIZE_TARGET:.0f}x: " + ("met" if met else "MISSED")
        out.append(
            f"  {label:<{width - 2}} {row['ms']:>9,.0f} {row['bytes'] / 1e6:>8.1f}  "
            f"{time_ratio:>5.2f}x, {size_ratio:>5.2f}x{'':<8} {verdict}"
        )
    return out


if __name__ == "__main__":
    print("\n".join(lines(run(quick=False), 44)))
