"""Teleoperation across the network: the demo of tamro-teleop (two processes, each with its own
simulated arm, coupled over DDS on loopback) at link delays of 0, 5, 20 and 50 ms, with 5 %
loss and with 15 ms of jitter (lost events), each with the passivity controller on and off; a
stiff coupling (1000 N/m, no damping) at 50 ms with 2 ms of jitter and 5 % loss; and a one-way
leader (it publishes only, runs no coupling) at 0 and 50 ms; and the contact model at 50 ms
(the follower estimates the wall, the leader renders it), beside the 50 ms rows without it.
Each row shows the follower's offset from its leader at rest, the contact force ratio (felt at
the leader over the wall's) over the whole run and in the steady contact phase (the hand holding
the leader 4 mm past the wall), and how far the leader then stood past the follower's wall.

Each row is one `tamro-teleop --demo --json` run of a few seconds; the impairment is the
receiving side's own (this kernel has no netem). The default coupling takes every link; a stiff
one (1000 N/m, no damping), where the controller has work to do, takes the 50 ms delay. Rows
run one after the other, so the whole table takes about two and a half minutes (less with
--quick)."""

from __future__ import annotations

import json
import subprocess
import sys
import time
from typing import Any

LINKS = (
    ("0 ms", {"delay_ms": 0.0, "jitter_ms": 0.0, "loss": 0.0}),
    ("5 ms", {"delay_ms": 5.0, "jitter_ms": 0.0, "loss": 0.0}),
    ("20 ms", {"delay_ms": 20.0, "jitter_ms": 0.0, "loss": 0.0}),
    ("50 ms", {"delay_ms": 50.0, "jitter_ms": 0.0, "loss": 0.0}),
    ("5 % loss", {"delay_ms": 0.0, "jitter_ms": 0.0, "loss": 0.05}),
    ("15 ms jitter", {"delay_ms": 0.0, "jitter_ms": 15.0, "loss": 0.0}),
)
# The stiff coupling's link: 50 ms, 2 ms of jitter and 5 % loss, the default link time-out.
STIFF_LINK = ("50+2 ms 5 %", {"delay_ms": 50.0, "jitter_ms": 2.0, "loss": 0.05})
RATE_HZ, RATE_TOLERANCE = 1000.0, 0.005  # both loops within 1 kHz ± 0.5 %
TRACKING_TARGET_MM = 1.0  # RMS at 0 ms delay on the scripted path
ROW_LIMIT_S = 120.0  # a row that takes longer has hung
STIFF = {"stiffness": 1000.0, "damping": 0.0}
OFFSET_TARGET_MM = 1.0  # the follower off its leader at rest
# With the contact model at 50 ms: the leader's contact force within 15 % of the wall's, and
# the leader at most 2 mm past the follower's wall.
CONTACT_RATIO_TOLERANCE, CONTACT_DEPTH_MM = 0.15, 2.0


def demo(
    seconds: float,
    link: dict[str, float],
    passivity: bool,
    one_way: bool = False,
    contact_model: bool = False,
    **coupling: float,
) -> dict[str, Any]:
    command = [sys.executable, "-m", "tamro.programs.teleop", "--demo", "--json", "--seconds", repr(seconds)]
    for name, value in (*link.items(), *coupling.items()):
        command += [f"--{name.replace('_', '-')}", repr(value)]
    if not passivity:
        command.append("--no-passivity")
    if one_way:
        command.append("--one-way")
    if contact_model:
        command.append("--contact-model")
    done = subprocess.run(command, capture_output=True, text=True, timeout=ROW_LIMIT_S, check=False)
    if done.returncode != 0:
        raise RuntimeError(f"tamro-teleop --demo failed ({done.returncode}): {done.stderr.strip()[-400:]}")
    result: dict[str, Any] = json.loads(done.stdout.strip().splitlines()[-1])
    return result


def run(quick: bool) -> dict[str, Any]:
    seconds = 4.0 if quick else 6.0
    started = time.monotonic()
    rows = []
    runs = [(link, impairment, {}, False, False) for link, impairment in LINKS]
    runs += [(*STIFF_LINK, STIFF, False, False), (*LINKS[0], {}, True, False), (*LINKS[3], {}, True, False)]
    runs += [(*LINKS[3], {}, False, True)]  # the contact model, beside the 50 ms rows without
    for link, impairment, coupling, one_way, model in runs:
        for passivity in (True, False):
            # The contact phase needs a run of 5.5 s or more.
            row = demo(
                max(seconds, 6.0) if model else seconds, impairment, passivity, one_way, model, **coupling
            )
            row["link"] = link
            rows.append(row)
            print(
                f"teleop: {row['stiffness']:g} N/m, {link}{', one-way' if one_way else ''}"
                f"{', contact model' if model else ''}, "
                f"passivity {'on' if passivity else 'off'}: "
                f"{'stable' if row['stable'] else 'NOT stable'} ({time.monotonic() - started:.0f} s)",
                file=sys.stderr,
                flush=True,
            )
    return {"rows": rows, "seconds_per_row": seconds, "seconds": time.monotonic() - started}


def _within_rate(side: dict[str, Any]) -> bool:
    return abs(side["rate_hz"] - RATE_HZ) <= RATE_HZ * RATE_TOLERANCE


def lines(results: dict[str, Any], width: int) -> list[str]:
    def mm(value: float | None) -> str:
        return "n/a" if value is None else f"{value:.2f}"

    rows = results["rows"]
    out = [
        "",
        f"teleoperation: tamro-teleop --demo, {results['seconds_per_row']:g} s a row",
        f"  {'coupling':<26} {'link':<12} {'passivity':<9} {'tracking RMS / peak mm':>22} "
        f"{'at rest mm':>10} {'contact ratio':>13} {'pressed ratio':>13} {'past wall mm':>12} {'lost':>4} "
        f"{'dissipated J':>12} {'observed J':>10} {'follower Hz':>11} {'p99 µs':>7} {'leader Hz':>9} "
        f"{'stable':>6}",
    ]
    for row in rows:
        tracking = f"{mm(row['tracking_rms_mm'])} / {mm(row['tracking_peak_mm'])}"
        coupling = f"{row['stiffness']:g} N/m, {row['damping']:g} N s/m"
        if row.get("one_way"):
            coupling += ", one-way"
        if row.get("contact_model"):
            coupling += ", model"
        out.append(
            f"  {coupling:<26} {row['link']:<12} {'on' if row['passivity'] else 'off':<9} {tracking:>22} "
            f"{mm(row['follow_offset_mm']):>10} {mm(row['contact_force_ratio']):>13} "
            f"{mm(row.get('press_force_ratio')):>13} {mm(row.get('press_leader_depth_mm')):>12} "
            f"{row['lost_events']:>4} "
            f"{row['energy_dissipated_j']:>12.4f} {row['energy_observed_j']:>+10.4f} "
            f"{row['follower']['rate_hz']:>11.1f} {row['follower']['period_p99_us']:>7.0f} "
            f"{row['leader']['rate_hz']:>9.1f} {'yes' if row['stable'] else 'NO':>6}"
        )
    on = [r for r in rows if r["passivity"]]
    unstable = [f"{r['link']} ({r['stiffness']:g} N/m)" for r in on if not r["stable"]]
    out.append(
        "  target: with passivity on, stable at every row: "
        + ("met" if not unstable else "MISSED at " + ", ".join(unstable))
    )
    rms = rows[0]["tracking_rms_mm"]  # the default coupling, 0 ms, passivity on
    met = rms is not None and rms < TRACKING_TARGET_MM
    out.append(
        f"  target: tracking RMS at 0 ms below {TRACKING_TARGET_MM:g} mm: "
        + ("met" if met else "MISSED")
        + f" ({mm(rms)} mm)"
    )
    drifted = [
        f"{r['link']} {r['stiffness']:g} N/m passivity {'on' if r['passivity'] else 'off'}"
        for r in on
        if r["follow_offset_mm"] is None or r["follow_offset_mm"] > OFFSET_TARGET_MM
    ]
    out.append(
        f"  target: with passivity on, the follower within {OFFSET_TARGET_MM:g} mm of its leader at rest: "
        + ("met" if not drifted else "MISSED at " + ", ".join(drifted))
    )
    jittered = [r for r in rows if r["link"] == LINKS[5][0]]
    out.append(
        "  target: no lost events under 15 ms of jitter: "
        + ("met" if all(r["lost_events"] == 0 for r in jittered) else "MISSED")
    )
    modelled = [r for r in rows if r.get("contact_model") and r["passivity"]]
    missed = [
        r
        for r in modelled
        if r["press_force_ratio"] is None
        or abs(r["press_force_ratio"] - 1) > CONTACT_RATIO_TOLERANCE
        or r["press_leader_depth_mm"] is None
        or r["press_leader_depth_mm"] > CONTACT_DEPTH_MM
    ]
    out.append(
        "  target: with the contact model at 50 ms, pressed ratio within "
        f"{CONTACT_RATIO_TOLERANCE * 100:g} % "
        f"and the leader at most {CONTACT_DEPTH_MM:g} mm past the wall: "
        + ("met" if modelled and not missed else "MISSED")
    )
    slow = [
        f"{r['link']} {r['stiffness']:g} N/m passivity {'on' if r['passivity'] else 'off'}"
        for r in rows
        if not (_within_rate(r["leader"]) and _within_rate(r["follower"]))
    ]
    out.append(
        f"  target: both loops within {RATE_HZ:g} Hz ± {RATE_TOLERANCE * 100:g} %: "
        + ("met" if not slow else "MISSED at " + ", ".join(slow))
    )
    out.append(f"  {results['seconds']:.0f} s.")
    return out


if __name__ == "__main__":
    quick = "--quick" in sys.argv[1:]
    print("\n".join(lines(run(quick), 44)))
