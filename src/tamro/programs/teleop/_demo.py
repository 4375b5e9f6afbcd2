"""tamro-teleop --demo: a leader and a follower, each a process with its own simulated arm,
coupled over DDS on this machine.

The leader is moved by a scripted hand (a stiff spring whose anchor follows the path); the
follower has a wall on its side that the path reaches into. Each side records every cycle of its
loop; the parent lines the two recordings up on the shared monotonic clock and works out the
figures. In runs of 5.5 s or more the hand then presses the leader 4 mm past the wall and
holds it there for 2 s (the contact phase: the steady force at both ends). For the last second
before the cut the hand stands still (where the path crosses the middle, away from the wall):
what is left between the two then is the follower's offset at rest.
Near the end the leader leaves the network (its node closes): the link is cut, and the
follower's coupling force must fade to zero.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import random
import select
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from tamro import network
from tamro.coupling import Impairment, coupling_status
from tamro.effects import Plane, Spring
from tamro.servo import ServoLoop
from tamro.simulator import Simulator

AMPLITUDE = 0.03  # m, along x
FREQUENCY = 0.5  # Hz
WALL_X = 0.025  # m: the follower's wall, its free side toward -x
WALL_STIFFNESS, WALL_DAMPING = 2000.0, 10.0
HAND_STIFFNESS, HAND_DAMPING = 1500.0, 15.0  # the scripted hand holding the leader
HAND_HZ = 500.0
SETTLE = 1.0  # s from the start before tracking counts: the coupling engages
REST = 1.0  # s before the cut that the hand stands still
OFFSET_WINDOW = 0.1  # s before the cut over which the offset at rest is taken
# The contact phase (runs of 5.5 s or more): the hand presses the leader PRESS_DEPTH past the
# follower's wall and holds it there for the PRESS seconds before the rest; the steady figures
# are taken over the last half of the hold. With the wall's 2000 N/m rendered at the leader,
# the hand's 1500 N/m holds it 1.7 mm in (5 mm would be 2.1 mm).
PRESS = 2.0  # s
PRESS_DEPTH = 0.004  # m
EASE = 0.6  # s the hand takes to the press and back: no faster than the figure of eight
STABLE_ENERGY_J = -0.05  # the network may have put out at most this much net
PEAK_SPEED = 0.5  # m/s: five times the path's; only an oscillation goes this fast
NAMES = ("demo_leader", "demo_follower")


def press_from(rest: float) -> float:
    """When the hand starts pressing the leader into the wall (s from the start): PRESS before
    the rest, when at least a second of the figure of eight comes first; else never."""
    return rest - PRESS if rest - PRESS >= SETTLE + 1.0 else math.inf


def _toward(
    a: tuple[float, float, float], b: tuple[float, float, float], share: float
) -> tuple[float, float, float]:
    s = min(1.0, max(0.0, share))
    s = s * s * (3 - 2 * s)  # smooth at both ends
    return (a[0] + s * (b[0] - a[0]), a[1] + s * (b[1] - a[1]), a[2] + s * (b[2] - a[2]))


def path(t: float, rest: float = math.inf) -> tuple[float, float, float]:
    """The hand's path, t seconds from the start: the figure of eight, eased in over the first
    half second; in long enough runs a press PRESS_DEPTH past the wall held until the rest; and
    standing from rest on."""
    pressing = press_from(rest)
    if t >= pressing:
        pressed = (WALL_X + PRESS_DEPTH, 0.0, 0.0)
        if t < rest:
            return _toward(_figure(pressing), pressed, (t - pressing) / EASE)
        return _toward(pressed, _figure(rest), (t - rest) / EASE)
    return _figure(min(t, rest))


def _figure(t: float) -> tuple[float, float, float]:
    ease = min(1.0, max(0.0, t / 0.5))
    w = 2 * math.pi * FREQUENCY
    return (ease * AMPLITUDE * math.sin(w * t), ease * 0.01 * math.sin(2 * w * t), 0.0)


# --- one side ---------------------------------------------------------------------------------


def run_side(args: argparse.Namespace, impairment: Impairment) -> int:
    from . import coupling_of

    leader = args.demo_role == "leader"
    with Simulator(arms=1, handles=0) as sim:
        loop = ServoLoop(sim.arms[0], max_force=args.max_force, guard=True)
        hand = Spring(path(0), HAND_STIFFNESS, HAND_DAMPING)
        wall = Plane((WALL_X, 0, 0), (-1, 0, 0), WALL_STIFFNESS, WALL_DAMPING)
        loop.effects = [coupling_of(args), hand if leader else wall]
        node = network.Node(args.name, domain=args.domain)
        with loop:
            node.publish(loop, "arm")
            node.couple(loop, "arm", args.peer, impairment=impairment)
            print("ready", flush=True)
            words = sys.stdin.readline().split()
            if not words or words[0] != "go":
                node.close()
                return 1
            start, end, cut = (float(w) for w in words[1:4])
            loop.record(int((end - time.monotonic() + 2) * 1500))
            cut_at = None
            lost_events, state = 0, "waiting"
            modelled_depth: float | None = None  # the leader past the wall, the model in full
            while (now := time.monotonic()) < end:
                if now < cut:  # each fall into "lost" before the cut is one the user would feel
                    status = coupling_status(loop)
                    was, state = state, status.state
                    lost_events += state == "lost" and was != "lost"
                    if leader and status.contact_gain >= 1.0:
                        depth = float(loop.state().position[0]) - WALL_X
                        modelled_depth = max(depth, modelled_depth or 0.0)
                if leader:
                    hand.anchor = path(now - start, cut - REST - start)
                    if cut_at is None and now >= cut:
                        node.close()  # the link is cut: the follower hears nothing more
                        cut_at = time.monotonic()
                time.sleep(1 / HAND_HZ)
            loop.stop()
            node.close()
            fault = loop.fault
            status = coupling_status(loop)
            stats = loop.stats()
            records = loop.drain()
        loop.close()
    np.save(args.demo_record, records)
    summary = {
        "rate_hz": stats["rate_hz"],
        "period_p99_us": stats["period_p99_us"],
        "energy_observed_j": stats["coupling_energy_observed_j"],
        "energy_dissipated_j": stats["coupling_energy_dissipated_j"],
        "energy_in_j": status.energy_in,
        "energy_out_j": status.energy_out,
        "counts": dict(status.counts),
        "cut_at": cut_at,
        "lost_events": lost_events,
        "modelled_depth": modelled_depth,
        "fault": None if fault is None else str(fault),
    }
    print(json.dumps(summary), flush=True)
    return 0


# --- both sides and the figures ---------------------------------------------------------------


def _side_command(args: argparse.Namespace, role: str, domain: int, record: Path) -> list[str]:
    name, peer = NAMES if role == "leader" else NAMES[::-1]
    command = [sys.executable, "-m", "tamro.programs.teleop", "--name", name, "--peer", peer, "--simulate"]
    command += ["--domain", str(domain), "--demo-role", role, "--demo-record", str(record)]
    command += ["--stiffness", repr(args.stiffness), "--damping", repr(args.damping)]
    command += ["--link-timeout", repr(args.link_timeout), "--max-force", repr(args.max_force)]
    command += ["--delay-ms", repr(args.delay_ms), "--jitter-ms", repr(args.jitter_ms)]
    command += ["--loss", repr(args.loss)]
    if args.one_way and role == "leader":  # the leader publishes only: it runs no coupling
        command.append("--one-way")
    if args.no_passivity:
        command.append("--no-passivity")
    if args.contact_model:  # the follower touches the wall, the leader is held by the hand
        command += ["--contact-model", "estimate" if role == "follower" else "render"]
    return command


def _read_line(process: subprocess.Popen[str], deadline: float) -> str:
    assert process.stdout is not None
    while time.monotonic() < deadline:
        if select.select([process.stdout], [], [], 0.2)[0]:
            line = process.stdout.readline()
            if not line:
                break
            return line.strip()
        if process.poll() is not None:
            break
    raise RuntimeError(f"a side stopped or said nothing in time (exit {process.poll()})")


def figures(
    leader: npt.NDArray[Any], follower: npt.NDArray[Any], start: float, cut: float, cut_at: float | None
) -> dict[str, Any]:
    """Tracking, offset at rest, contact and link-cut figures from the two recordings."""
    lt, lx = leader["time"], leader["position"]
    ft, fx, ff = follower["time"], follower["position"], follower["force"]
    rest = cut - REST
    pressing = start + press_from(rest - start)
    window = (ft >= start + SETTLE) & (ft <= min(rest, pressing)) & (ft >= lt[0]) & (ft <= lt[-1])
    ref = np.stack([np.interp(ft[window], lt, lx[:, axis]) for axis in range(3)], axis=1)
    error = np.linalg.norm(fx[window] - ref, axis=1)
    resting = (ft >= cut - OFFSET_WINDOW) & (ft <= cut) & (ft >= lt[0]) & (ft <= lt[-1])
    at_rest = np.stack([np.interp(ft[resting], lt, lx[:, axis]) for axis in range(3)], axis=1)
    offset = np.linalg.norm(fx[resting] - at_rest, axis=1)
    free = (fx[window][:, 0] < WALL_X) & (ref[:, 0] < WALL_X - 0.002)
    tracked = error[free]
    result: dict[str, Any] = {
        "tracking_rms_mm": float(np.sqrt(np.mean(tracked**2)) * 1e3) if tracked.size else None,
        "tracking_peak_mm": float(tracked.max() * 1e3) if tracked.size else None,
        "follow_offset_mm": float(np.median(offset) * 1e3) if offset.size else None,
    }
    # The force the leader felt from the coupling while the follower touched the wall: what
    # the loop sent less the scripted hand's spring.
    lwin = (lt >= start + SETTLE) & (lt <= cut)
    hand = np.array([path(t - start, rest - start) for t in lt[lwin]])
    felt = leader["force"][lwin] - (
        HAND_STIFFNESS * (hand - lx[lwin]) - HAND_DAMPING * leader["velocity"][lwin]
    )
    touching = np.interp(lt[lwin], ft, fx[:, 0]) > WALL_X + 0.0002
    result["contact_force_n"] = float(np.mean(-felt[touching][:, 0])) if touching.any() else None
    depth = fx[:, 0] - WALL_X
    result["wall_force_n"] = (
        float(np.mean(WALL_STIFFNESS * depth[depth > 0.0002])) if (depth > 0.0002).any() else None
    )
    # Growth: the follower's peak speed over the last third of the run against the first (the
    # path repeats, so a steady run has the same peaks).
    speed = np.linalg.norm(follower["velocity"][(ft >= start + SETTLE) & (ft <= cut)], axis=1)
    thirds = np.array_split(speed, 3)
    result["growing"] = bool(len(speed) >= 3 and thirds[2].max() > 1.5 * thirds[0].max() + 0.05)
    result["follower_peak_speed"] = float(speed.max()) if speed.size else 0.0
    to_zero = None
    if cut_at is not None:
        after = ft > cut_at
        zero = after & (np.linalg.norm(ff, axis=1) == 0)
        if zero.any():
            to_zero = float((ft[np.argmax(zero)] - cut_at) * 1e3)
    result["link_cut_to_zero_ms"] = to_zero
    # How far the leader went past the follower's wall, at most, while the hand moved.
    beyond = lx[lwin][:, 0] - WALL_X
    result["leader_wall_depth_mm"] = float(max(0.0, beyond.max()) * 1e3) if beyond.size else None
    felt, wall = result["contact_force_n"], result["wall_force_n"]
    result["contact_force_ratio"] = felt / wall if felt is not None and wall else None
    # The contact phase, steady: the last half of the hold.
    result["press_force_n"] = result["press_wall_force_n"] = result["press_leader_depth_mm"] = None
    held_l = (lt >= rest - PRESS / 2) & (lt <= rest)
    held_f = (ft >= rest - PRESS / 2) & (ft <= rest)
    if math.isfinite(pressing) and held_l.any() and held_f.any():
        hand_held = np.array([path(t - start, rest - start) for t in lt[held_l]])
        felt_held = leader["force"][held_l] - (
            HAND_STIFFNESS * (hand_held - lx[held_l]) - HAND_DAMPING * leader["velocity"][held_l]
        )
        result["press_force_n"] = float(np.mean(-felt_held[:, 0]))
        result["press_wall_force_n"] = float(
            np.mean(WALL_STIFFNESS * np.maximum(fx[held_f][:, 0] - WALL_X, 0.0))
        )
        result["press_leader_depth_mm"] = float((lx[held_l][:, 0] - WALL_X).max() * 1e3)
    pf, pw = result["press_force_n"], result["press_wall_force_n"]
    result["press_force_ratio"] = pf / pw if pf is not None and pw else None
    return result


def run_demo(args: argparse.Namespace) -> int:
    seconds = args.seconds if args.seconds is not None else 8.0
    if not 3 <= seconds <= 600:
        print("tamro-teleop: --seconds must be from 3 to 600 with --demo", file=sys.stderr)
        return 2
    uri = network.use_loopback()
    domain = random.randrange(1, 200)
    impairment = Impairment(delay=args.delay_ms / 1e3, jitter=args.jitter_ms / 1e3, loss=args.loss)
    env = dict(os.environ, CYCLONEDDS_URI=uri)
    with tempfile.TemporaryDirectory(prefix="tamro-teleop-") as folder:
        records = {role: Path(folder) / f"{role}.npy" for role in ("leader", "follower")}
        processes = {
            role: subprocess.Popen(
                _side_command(args, role, domain, records[role]),
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                text=True,
                env=env,
            )
            for role in ("leader", "follower")
        }
        try:
            for role, process in processes.items():
                line = _read_line(process, time.monotonic() + 60)
                if line != "ready":
                    raise RuntimeError(f"the {role} said {line!r}")
            start = time.monotonic() + 0.5
            cut = start + math.floor(seconds - 0.5)  # the path crosses x = 0: the follower is free
            end = cut + 0.5
            for process in processes.values():
                assert process.stdin is not None
                process.stdin.write(f"go {start!r} {end!r} {cut!r}\n")
                process.stdin.flush()
            summaries = {
                role: json.loads(_read_line(process, end + 60)) for role, process in processes.items()
            }
            for process in processes.values():
                process.wait(timeout=30)
            # A loop that gave up on its arm (a machine too busy to answer it in time) recorded
            # only part of the run: there are no figures to give.
            for role, summary in summaries.items():
                if summary["fault"] is not None:
                    raise RuntimeError(f"the {role}'s loop stopped: {summary['fault']}")
        except (RuntimeError, ValueError, subprocess.TimeoutExpired) as error:
            print(f"tamro-teleop: the demo failed: {error}", file=sys.stderr)
            return 1
        finally:
            for process in processes.values():
                if process.poll() is None:
                    process.kill()
                    process.wait()
        leader, follower = (np.load(records[role]) for role in ("leader", "follower"))
    found = figures(leader, follower, start, cut, summaries["leader"]["cut_at"])
    observed = summaries["leader"]["energy_observed_j"] + summaries["follower"]["energy_observed_j"]
    result: dict[str, Any] = {
        "leader": {k: summaries["leader"][k] for k in ("rate_hz", "period_p99_us")},
        "follower": {k: summaries["follower"][k] for k in ("rate_hz", "period_p99_us")},
        "tracking_rms_mm": found["tracking_rms_mm"],
        "tracking_peak_mm": found["tracking_peak_mm"],
        "follow_offset_mm": found["follow_offset_mm"],
        "contact_force_n": found["contact_force_n"],
        "wall_force_n": found["wall_force_n"],
        "contact_force_ratio": found["contact_force_ratio"],
        "lost_events": summaries["leader"]["lost_events"] + summaries["follower"]["lost_events"],
        "energy_observed_j": observed,
        "energy_dissipated_j": summaries["leader"]["energy_dissipated_j"]
        + summaries["follower"]["energy_dissipated_j"],
        "link_cut_to_zero_ms": found["link_cut_to_zero_ms"],
        "leader_wall_depth_mm": found["leader_wall_depth_mm"],
        "press_force_n": found["press_force_n"],
        "press_wall_force_n": found["press_wall_force_n"],
        "press_force_ratio": found["press_force_ratio"],
        "press_leader_depth_mm": found["press_leader_depth_mm"],
        "leader_modelled_depth_mm": None
        if summaries["leader"]["modelled_depth"] is None
        else summaries["leader"]["modelled_depth"] * 1e3,
        "contact_model": bool(args.contact_model),
        # A one-way leader counts no energy: what its motion puts in is seen only as the follower's
        # coupling putting out, so the energy says nothing of stability there.
        "stable": bool(
            (args.one_way or observed >= STABLE_ENERGY_J)
            and not found["growing"]
            and found["follower_peak_speed"] < PEAK_SPEED
        ),
        "follower_peak_speed_m_s": found["follower_peak_speed"],
        "growing": found["growing"],
        "passivity": not args.no_passivity,
        "one_way": bool(args.one_way),
        "stiffness": args.stiffness,
        "damping": args.damping,
        "impairment": impairment.describe(),
        "seconds": seconds,
        "refused": {role: summaries[role]["counts"] for role in summaries},
    }
    if args.json:
        print(json.dumps(result))
    else:
        _print_figures(result)
    return 0


def _print_figures(r: dict[str, Any]) -> None:
    def number(value: float | None, unit: str, digits: int = 2) -> str:
        return "n/a" if value is None else f"{value:.{digits}f} {unit}"

    passivity = "on" if r["passivity"] else "off"
    print(f"coupling {r['stiffness']:g} N/m, {r['damping']:g} N s/m, passivity {passivity};")
    print(f"link impairment: {r['impairment']}")
    for side in ("leader", "follower"):
        print(f"{side:<9} loop {r[side]['rate_hz']:.1f} Hz, period p99 {r[side]['period_p99_us']:.0f} us")
    print(f"tracking  RMS {number(r['tracking_rms_mm'], 'mm')}, peak {number(r['tracking_peak_mm'], 'mm')}")
    print(f"at rest   the follower {number(r['follow_offset_mm'], 'mm')} off its leader")
    print(
        f"contact   felt at the leader {number(r['contact_force_n'], 'N')}, "
        f"the wall's on the follower {number(r['wall_force_n'], 'N')} "
        f"(ratio {number(r['contact_force_ratio'], '', 2).strip()}); "
        f"the leader at most {number(r['leader_wall_depth_mm'], 'mm')} past the wall"
        + (
            f" ({number(r['leader_modelled_depth_mm'], 'mm')} with the contact model in full)"
            if r["contact_model"]
            else ""
        )
    )
    if r["press_force_ratio"] is not None:
        print(
            f"pressed   steady: felt at the leader {number(r['press_force_n'], 'N')}, the wall's "
            f"{number(r['press_wall_force_n'], 'N')} (ratio {r['press_force_ratio']:.2f}); "
            f"the leader {number(r['press_leader_depth_mm'], 'mm')} past the wall"
        )
    print(f"link      lost {r['lost_events']} times before the cut")
    print(f"energy    observed {r['energy_observed_j']:.4f} J, dissipated {r['energy_dissipated_j']:.4f} J")
    print(f"link cut  force at zero after {number(r['link_cut_to_zero_ms'], 'ms', 1)}")
    print(f"stable    {'yes' if r['stable'] else 'NO'}")
