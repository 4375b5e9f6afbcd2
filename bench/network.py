"""The devices on the network (tamro.Node), side by side in one run (bench/run.py).

- The servo loop at 1 kHz beside a busy Python thread, with its three measured topics
  published every cycle and without, taking turns; and the same loop while a foreign writer
  floods its command topics with bad samples.
- Latency from a cycle's reply to a subscriber in another process (bench-dds-latency, native,
  waiting on a waitset), split at the write's start (the sample's source timestamp), against
  the floor: half the round trip ddsperf measures paced at 1 kHz, 96 bytes, with waitsets on
  both sides (ddsperf has no one-way latency mode; this is its nearest to a paced stream). Beside
  it the engine alone (bench-dds-probe, Cyclone's own writer and reader, no loop, no node): the
  same paced ping-pong with each hop timed one way, and a paced one-way stream to the same
  subscriber, which say what half a round trip leaves out of a one-way write. These cases take
  turns in rounds (shuffled, several on a full run): only ratios within a round mean anything
  on a shared machine. And ddsperf back to back on DDS's own receive threads (the engine hot:
  the least it can do).
- Throughput: every topic of two arms and a handle at 1 kHz, published from one node.
- What DDS Security costs: the loop's period while it publishes, the latency above and
  ddsperf's floor, with security off, SIGN and ENCRYPT (a keystore made for the run; the
  subscriber and ddsperf join through Cyclone's own configuration, with an enclave of theirs).

Every participant runs on the loopback interface (the shipped configuration) in a domain of its
own. The machine is shared: figures move with its load.
"""

from __future__ import annotations

import contextlib
import json
import math
import os
import random
import re
import select
import subprocess
import sys
import tempfile
import threading
import time
import warnings
from pathlib import Path
from typing import Any

import tamro
from tamro import network

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "fakes"))

RATE_TARGET = 0.005  # within 0.5 % of 1 kHz
P99_TARGET_US = 1150.0
LATENCY_TARGET = 2.0  # p50 at most twice the engine's floor


def _environment() -> int:
    os.environ["CYCLONEDDS_URI"] = network.LOOPBACK_CONFIG.as_uri()
    return random.SystemRandom().randint(100, 228)  # and the next two


def _busy(stop: threading.Event) -> None:
    while not stop.is_set():
        sum(i * i for i in range(2000))


class _Busy:
    def __enter__(self) -> _Busy:
        self.stop = threading.Event()
        self.thread = threading.Thread(target=_busy, args=(self.stop,), daemon=True)
        self.thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop.set()
        self.thread.join()


def _loop_rows(port: str, domain: int, seconds: float, rounds: int) -> dict[str, Any]:
    """The loop's rate and period with publishing off and on, in turns, beside a busy thread;
    then, publishing, under a flood of bad command samples from another participant."""
    figures: dict[str, list[dict[str, Any]]] = {"off": [], "on": []}
    dropped = 0
    with tamro.ServoLoop(port, rate_hz=1000.0) as loop, _Busy():
        loop.effects = [tamro.Spring((0.01, 0, 0), 200.0, 1.0)]
        order = ["off", "on"]
        shuffle = random.Random(3).shuffle
        for _ in range(rounds):
            shuffle(order)
            for case in order:
                with contextlib.ExitStack() as stack:
                    if case == "on":  # a node publishes a loop until it closes
                        node = stack.enter_context(tamro.Node("bench", domain=domain))
                        node.publish(loop, "arm")
                    loop.stop()
                    loop.start()
                    time.sleep(seconds)
                    figures[case].append(dict(loop.stats()))
                    if case == "on":
                        dropped += sum(t["dropped"] for t in node.stats())
        with tamro.Node("bench", domain=domain) as node:
            node.publish(loop, "arm")
            node.accept_commands(loop, "arm")
            flood = _flooded(loop, domain, seconds)
            refused = sum(t["refused"] for t in node.stats())
    result = {case: _merge(rows) for case, rows in figures.items()}
    result["flood"] = _merge([flood])
    result["flood_samples"] = flood["samples"]
    result["flood_refused"] = refused
    result["dropped"] = dropped
    return result


def _flooded(loop: tamro.ServoLoop, domain: int, seconds: float) -> dict[str, Any]:
    import ros2peer

    peer = ros2peer.Peer(domain)
    writer = peer.writer("/bench/arm/servo_cf", ros2peer.WrenchStamped)
    ros2peer.wait_matched(writer, 5.0)
    bad = ros2peer.WrenchStamped(wrench=ros2peer.Wrench(force=ros2peer.Vector3(math.nan, 0, 0)))
    loop.stop()
    loop.start()
    sent = 0
    end = time.monotonic() + seconds
    while time.monotonic() < end and sent < 100_000:  # bounded in count and time
        for _ in range(100):
            writer.write(bad)
        sent += 100
        time.sleep(0.001)
    row = dict(loop.stats())
    row["samples"] = sent
    return row


def _merge(rows: list[dict[str, Any]]) -> dict[str, Any]:
    """The turns of one case together: the median rate and p99, the worst max."""
    rates = sorted(r["rate_hz"] for r in rows)
    p99s = sorted(r["period_p99_us"] for r in rows)
    return {
        "rate_hz": rates[len(rates) // 2],
        "period_p99_us": p99s[len(p99s) // 2],
        "period_max_us": max(r["period_max_us"] for r in rows),
        "late_cycles": sum(r["late_cycles"] for r in rows),
        "turns": len(rows),
    }


def _ddsperf(
    domain: int, seconds: int, rate: str | None, trigger: str, env: dict[str, str] | None = None
) -> dict[str, float]:
    """ddsperf's latency p50 and p99 (µs) between two processes, over the last seconds of a run
    (its first second warms up), and its mean and round trips a second. ddsperf prints half the
    round trip already (back to back, its round trips a second are one over twice its mean:
    lines() shows the check), so its figures are taken as they are. trigger: how each side
    takes a sample, "waitset" (a thread of its own woken, as bench-dds-latency and a ROS 2
    executor do) or "listener" (on DDS's receive thread)."""
    pong = subprocess.Popen(["ddsperf", "-i", str(domain), "pong", trigger], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, env=env)  # fmt: skip
    try:
        mode = ["ping", *([rate] if rate else []), "size", "96", trigger]
        done = subprocess.run(
            ["ddsperf", "-i", str(domain), "-D", str(seconds), *mode],
            capture_output=True,
            text=True,
            timeout=seconds + 30,
            env=env,
        )
    finally:
        pong.terminate()
        pong.wait(timeout=10)
    # One line a second: "... mean Mus min ... 50% Xus 90% ...us 99% Yus max ...us cnt N".
    pattern = re.compile(r"mean ([\d.]+)us .*?50% ([\d.]+)us 90% [\d.]+us 99% ([\d.]+)us .*?cnt (\d+)")
    found = [tuple(map(float, m.groups())) for m in pattern.finditer(done.stdout)]
    if len(found) < 2:
        raise RuntimeError(f"ddsperf printed no round trips: {done.stdout[-400:]} {done.stderr[-400:]}")
    found = found[1:]

    def median(i: int) -> float:
        return sorted(f[i] for f in found)[len(found) // 2]

    return {
        "half_rtt_p50_us": median(1),
        "half_rtt_p99_us": median(2),
        "mean_us": median(0),
        "round_trips_per_s": median(3),
    }


def _latency(
    build: Path,
    port: str,
    domain: int,
    count: int,
    realtime: bool,
    secured: tuple[Path, dict[str, str]] | None = None,
) -> dict[str, float]:
    """secured: the keystore the node joins with (enclave /bench/bridge) and the environment
    the subscriber joins with."""
    program = [str(build / "bench-dds-latency"), "--domain", str(domain)]
    program += ["--topic", "rt/bench/arm/measured_cp", "--count", str(count), "--seconds", "60"]
    loop = tamro.ServoLoop(port, rate_hz=1000.0, realtime=realtime)
    keystore, env = secured if secured else (None, None)
    node = tamro.Node(
        "bench", domain=domain, keystore=keystore, enclave="/bench/bridge" if keystore else None
    )
    with warnings.catch_warnings(), loop, node:
        warnings.simplefilter("ignore")  # a refusal shows in the row: stats()["realtime"]
        node.publish(loop, "arm")  # after the start: a real-time loop's publisher is real-time
        loop_stats = dict(loop.stats())
        sub = subprocess.Popen(program, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        assert sub.stdout is not None
        if not select.select([sub.stdout], [], [], 20)[0] or sub.stdout.readline().strip() != "ready":
            sub.kill()
            raise RuntimeError("bench-dds-latency did not match the node's writer")
        out, err = sub.communicate(timeout=90)
        loop_stats = dict(loop.stats())
        granted = loop_stats["realtime"]
    if sub.returncode != 0:
        raise RuntimeError(f"bench-dds-latency failed: {err.strip()}")
    result: dict[str, Any] = json.loads(out.strip().splitlines()[-1])
    result["realtime"] = granted
    result["loop_p99_us"] = loop_stats["period_p99_us"]
    result["loop_rate_hz"] = loop_stats["rate_hz"]
    return result


_PLUGINS = {
    "Authentication": ("dds_security_auth", "authentication"),
    "AccessControl": ("dds_security_ac", "access_control"),
    "Cryptographic": ("dds_security_crypto", "crypto"),
}


def _secured_config(directory: Path, enclave: Path) -> Path:
    """The loopback configuration with a <Security> element for the enclave: how a program
    that knows nothing of tamro (ddsperf, the subscriber) joins the secured domain."""

    def files(**names: str) -> str:
        return "".join(f"<{tag}>file:{enclave / name}</{tag}>" for tag, name in names.items())

    def library(section: str) -> str:
        path, kind = _PLUGINS[section]
        return f'<Library path="{path}" initFunction="init_{kind}" finalizeFunction="finalize_{kind}"/>'

    security = (
        "<Security>"
        f"<Authentication>{library('Authentication')}"
        + files(IdentityCertificate="cert.pem", IdentityCA="identity_ca.cert.pem", PrivateKey="key.pem")
        + f"</Authentication><AccessControl>{library('AccessControl')}"
        + files(
            PermissionsCA="permissions_ca.cert.pem",
            Governance="governance.p7s",
            Permissions="permissions.p7s",
        )
        + f"</AccessControl><Cryptographic>{library('Cryptographic')}</Cryptographic></Security>"
    )
    text = network.LOOPBACK_CONFIG.read_text().replace("</Domain>", security + "</Domain>")
    path = directory / f"{enclave.name}.xml"
    path.write_text(text)
    return path


def _keystore(directory: Path, sign_only: bool) -> tuple[Path, dict[str, str]]:
    """A keystore for the run: the bridge's enclave for the node, and one for the subscriber
    and ddsperf whose permissions allow every topic (ddsperf's are its own); returns it and the
    environment that joins the latter."""
    from cryptography import x509
    from cryptography.hazmat.primitives import serialization

    from tamro.programs.keystore import _store

    root = directory / ("sign" if sign_only else "encrypt")
    _store.create_keystore(root, sign_only=sign_only)
    _store.create_enclave(root, "/bench/bridge", "bridge", namespace="bench")
    perf = _store.create_enclave(root, "/bench/perf", "observer")
    text = re.sub(
        r"<topics>.*?</topics>", "<topics><topic>*</topic></topics>", (perf / "permissions.xml").read_text()
    )
    cert = x509.load_pem_x509_certificate((root / "public" / "permissions_ca.cert.pem").read_bytes())
    key = serialization.load_pem_private_key((root / "private" / "permissions_ca.key.pem").read_bytes(), None)
    (perf / "permissions.p7s").write_bytes(_store._sign(text.encode(), cert, key))  # type: ignore[arg-type]
    env = dict(os.environ, CYCLONEDDS_URI=_secured_config(directory, perf).as_uri())
    return root, env


def _security_rows(build: Path, port: str, domain: int, count: int, seconds: int) -> dict[str, Any]:
    """The loop, the latency and ddsperf's floor with security off, SIGN and ENCRYPT."""
    rows: dict[str, Any] = {}
    with tempfile.TemporaryDirectory() as scratch:
        for case in ("off", "SIGN", "ENCRYPT"):
            secured = None if case == "off" else _keystore(Path(scratch), sign_only=case == "SIGN")
            row = _latency(build, port, domain, count, realtime=False, secured=secured)
            row["floor"] = _ddsperf(domain, seconds, "1kHz", "waitset", env=secured[1] if secured else None)
            rows[case] = row
    return rows


def _throughput(domain: int, seconds: float) -> dict[str, Any]:
    with tamro.Simulator(arms=2, handles=1) as sim, tamro.Node("bench", domain=domain) as node:
        loops = [tamro.ServoLoop(p, rate_hz=1000.0) for p in sim.arms]
        reader = tamro.HandleReader(sim.handles[0], rate_hz=1000.0)
        try:
            for i, loop in enumerate(loops):
                node.publish(loop, "arm" if i == 0 else f"arm{i + 1}")
                loop.start()
            node.publish(reader, "handle")
            start = {s["topic"]: s["samples"] for s in node.stats()}
            time.sleep(seconds)
            stats = node.stats()
            handle_rate = reader.stats()["rate_hz"]
            arm_rates = [loop.stats()["rate_hz"] for loop in loops]
        finally:
            for loop in loops:
                loop.close()
            reader.close()
    per_topic = {s["topic"]: (s["samples"] - start[s["topic"]]) / seconds for s in stats}
    return {
        "topics": len(stats),
        "samples_per_s": sum(per_topic.values()),
        "slowest_topic_per_s": min(per_topic.values()),
        "dropped": sum(s["dropped"] for s in stats),
        "arm_rates_hz": arm_rates,
        "handle_rate_hz": handle_rate,
    }


def _engine_stream(build: Path, domain: int, count: int, take: str = "waitset") -> dict[str, float]:
    """The engine alone, one way: bench-dds-probe writing a PoseStamped at 1 kHz (sleeping to
    each tick, as the node's publishing thread waits for the loop) to bench-dds-latency; the
    time from the write's start to the take, and how long the write took (µs)."""
    topic = "rt/probe/stream"
    sub = subprocess.Popen(
        [str(build / "bench-dds-latency"), "--domain", str(domain), "--topic", topic,
         "--count", str(count), "--seconds", "60", "--take", take],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )  # fmt: skip
    pub = subprocess.Popen(
        [str(build / "bench-dds-probe"), "--mode", "pub", "--domain", str(domain), "--topic", topic,
         "--seconds", str(count // 1000 + 3)],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
    )  # fmt: skip
    try:
        out, err = sub.communicate(timeout=90)
        written, _ = pub.communicate(timeout=90)
    finally:
        pub.kill()
        pub.wait(timeout=10)
    if sub.returncode != 0 or pub.returncode != 0:
        raise RuntimeError(f"bench-dds-latency failed on the probe's stream: {err.strip()}")
    row = json.loads(out.strip().splitlines()[-1])
    writes = json.loads(written.strip().splitlines()[-1])
    return {"p50_us": row["dds_p50_us"], "p99_us": row["dds_p99_us"], "write_p50_us": writes["write_p50_us"]}


def _engine_pingpong(build: Path, domain: int, count: int) -> dict[str, float]:
    """The engine alone, a ping-pong paced at 1 kHz with waitsets (as ddsperf's floor), each
    hop timed one way: out (everything had slept a period), back (both processes awake), and
    half the round trip."""
    probe = str(build / "bench-dds-probe")
    pong = subprocess.Popen([probe, "--mode", "pong", "--domain", str(domain), "--seconds", "60"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)  # fmt: skip
    try:
        done = subprocess.run(
            [probe, "--mode", "ping", "--domain", str(domain), "--count", str(count), "--seconds", "60"],
            capture_output=True, text=True, timeout=90,
        )  # fmt: skip
    finally:
        pong.kill()
        pong.wait(timeout=10)
    if done.returncode != 0:
        raise RuntimeError(f"bench-dds-probe ping failed: {done.stderr.strip()}")
    row: dict[str, float] = json.loads(done.stdout.strip().splitlines()[-1])
    return row


def _load() -> float:
    return float(Path("/proc/loadavg").read_text().split()[0])


def _latency_rounds(build: Path, port: str, domain: int, quick: bool) -> dict[str, Any]:
    """The node's latency, ddsperf's floor and the engine alone, in rounds whose cases take
    turns in a shuffled order, so that the machine's load falls on all alike; a ratio is taken
    within a round, and the round with the median ratio is the one shown."""
    count = 1000 if quick else 3000
    cases = {
        "latency": lambda: _latency(build, port, domain, count, realtime=False),
        "latency_rt": lambda: _latency(build, port, domain, count, realtime=True),
        "floor_paced": lambda: _ddsperf(domain, 3 if quick else 4, "1kHz", "waitset"),
        "engine_stream": lambda: _engine_stream(build, domain, count),
        "engine_listener": lambda: _engine_stream(build, domain, count, "listener"),
        "engine_pingpong": lambda: _engine_pingpong(build, domain, count),
    }
    rounds: list[dict[str, Any]] = []
    shuffle = random.Random(5).shuffle
    for _ in range(1 if quick else 3):
        order = list(cases)
        shuffle(order)
        row: dict[str, Any] = {"load_before": _load()}
        for case in order:
            row[case] = cases[case]()
        row["load_after"] = _load()
        floor = row["floor_paced"]["half_rtt_p50_us"]
        row["ratio"] = row["latency"]["p50_us"] / floor
        row["ratio_rt"] = row["latency_rt"]["p50_us"] / floor
        rounds.append(row)
    ratios = sorted(r["ratio"] for r in rounds)
    median = next(r for r in rounds if r["ratio"] == ratios[len(ratios) // 2])
    return {"median": median, "ratios": [r["ratio"] for r in rounds],
            "ratios_rt": [r["ratio_rt"] for r in rounds],
            "loads": [(r["load_before"], r["load_after"]) for r in rounds]}  # fmt: skip


def run(build: Path, quick: bool) -> dict[str, Any]:
    if not network.available():
        return {"skipped": "this build has no network part"}
    domain = _environment()
    seconds = 1.0 if quick else 3.0
    results: dict[str, Any] = {}
    with tamro.Simulator(arms=1, handles=0) as sim:
        try:
            results["loop"] = _loop_rows(sim.arms[0], domain, seconds, 2 if quick else 4)
        except tamro.DeviceFault as fault:  # a starved simulator: shown as missed, the rest measured
            results["loop"] = {"fault": str(fault)}
        results["latency"] = _latency_rounds(build, sim.arms[0], domain + 1, quick)
    results["floor_hot"] = _ddsperf(domain + 1, 3 if quick else 5, None, "listener")
    results["throughput"] = _throughput(domain + 2, seconds)
    with tamro.Simulator(arms=1, handles=0) as sim:
        results["security"] = _security_rows(
            build, sim.arms[0], domain + 2, 1000 if quick else 3000, 3 if quick else 6
        )
    return results


def _loop_lines(loop: dict[str, Any], width: int) -> list[str]:
    if "fault" in loop:
        return [f"    servo loop, publishing off and on: the loop faulted, MISSED ({loop['fault']})"]
    out = [f"  {'':<{width - 2}} {'rate Hz':>9} {'p99 µs':>8} {'max µs':>9} {'late':>6}  target"]
    for case, label in (
        ("off", "servo loop, busy thread, publishing off"),
        ("on", "the same, 3 topics published every cycle"),
        ("flood", "the same, a flood of NaN commands"),
    ):
        row = loop[case]
        ok = abs(row["rate_hz"] - 1000.0) <= RATE_TARGET * 1000.0 and row["period_p99_us"] <= P99_TARGET_US
        verdict = f"±0.5 %, p99 <= {P99_TARGET_US:.0f} µs: " + ("met" if ok else "MISSED")
        out.append(
            f"    {label:<{width - 4}} {row['rate_hz']:>9,.1f} {row['period_p99_us']:>8,.0f} "
            f"{row['period_max_us']:>9,.0f} {row['late_cycles']:>6}  {verdict}"
        )
    out.append(
        f"    (flood: {loop['flood_samples']:,} samples sent, {loop['flood_refused']:,} refused; "
        f"records dropped while publishing: {loop['dropped']})"
    )
    return out


def lines(results: dict[str, Any], width: int) -> list[str]:
    out = ["devices on the network (tamro.Node, Cyclone DDS on loopback)"]
    if "skipped" in results:
        return out + [f"  skipped: {results['skipped']}"]
    out += _loop_lines(results["loop"], width)
    lat = results["latency"]
    mid, hot = lat["median"], results["floor_hot"]
    paced = mid["floor_paced"]
    loads = ", ".join(f"{a:.1f}-{b:.1f}" for a, b in lat["loads"])
    out.append(
        f"  reply to a subscriber in another process (its waitset), against ddsperf's floor "
        f"(rounds: {len(lat['ratios'])}, load average {loads}; the median round)"
    )
    for key, ratios, label in (
        ("latency", lat["ratios"], "loop and publisher at normal priority"),
        ("latency_rt", lat["ratios_rt"], "both real-time"),
    ):
        row = mid[key]
        ratio = row["p50_us"] / paced["half_rtt_p50_us"]
        granted = "" if row["realtime"] or key == "latency" else " (real-time refused)"
        spread = ", ".join(f"{r:.2f}" for r in ratios)
        out.append(
            f"    {label + granted:<{width - 4}} p50 {row['p50_us']:.0f} µs, p99 {row['p99_us']:.0f} µs, "
            f"{row['count']:,} samples; p50 {ratio:.2f}x, <= {LATENCY_TARGET:.0f}x "
            + ("met" if ratio <= LATENCY_TARGET else "MISSED")
            + f" (rounds {spread})"
        )
        # Where the time goes: from the reply to the write's start (the loop's hand-over and the
        # publisher's wake-up), and from there to the subscriber (DDS's own part).
        out.append(
            f"      of it, write to subscriber (DDS's part) p50 {row['dds_p50_us']:.0f} µs, "
            f"p99 {row['dds_p99_us']:.0f} µs; reply to write about {row['p50_us'] - row['dds_p50_us']:.0f} µs"
        )
    out.append(
        f"    ddsperf half round trip, paced ping-pong 1 kHz, 96 bytes, waitsets: "
        f"p50 {paced['half_rtt_p50_us']:.0f} µs, p99 {paced['half_rtt_p99_us']:.0f} µs (the floor)"
    )
    # The engine alone (no loop, no node) on the same two paths, each hop timed one way: says
    # how much of a paced one-way write's time ddsperf's half round trip leaves out.
    pp, stream = mid["engine_pingpong"], mid["engine_stream"]
    out.append(
        f"    engine alone, the same ping-pong by hop: out p50 {pp['out_p50_us']:.0f} µs, back "
        f"{pp['back_p50_us']:.0f} µs, half round trip {pp['half_rtt_p50_us']:.0f} µs"
    )
    out.append(
        f"    engine alone, paced one-way stream 1 kHz, write to take: p50 {stream['p50_us']:.0f} µs, "
        f"p99 {stream['p99_us']:.0f} µs (the write itself {stream['write_p50_us']:.0f} µs)"
    )
    out.append(
        f"      the same taken in a listener (one thread wake-up fewer): p50 "
        f"{mid['engine_listener']['p50_us']:.0f} µs"
    )
    out.append(
        f"    ddsperf half round trip, back to back, listeners: p50 {hot['half_rtt_p50_us']:.1f} µs, "
        f"p99 {hot['half_rtt_p99_us']:.0f} µs"
    )
    # ddsperf's figures are half its round trip: back to back, a round trip lasts one over its
    # rate, about twice the mean it prints (a ratio near 1 would mean the floor is halved).
    each = 1e6 / hot["round_trips_per_s"] if hot["round_trips_per_s"] else math.nan
    out.append(
        f"      (its figures are half a round trip: {hot['round_trips_per_s']:,.0f} round trips a "
        f"second, {each:.1f} µs each, {each / hot['mean_us']:.2f}x the mean it prints, "
        f"{hot['mean_us']:.1f} µs)"
    )
    tp = results["throughput"]
    out.append(
        f"  two arms and a handle at 1 kHz, {tp['topics']} topics from one node: "
        f"{tp['samples_per_s']:,.0f} samples/s, slowest topic {tp['slowest_topic_per_s']:,.0f}/s, "
        f"dropped {tp['dropped']} " + ("(no drops: met)" if tp["dropped"] == 0 else "(MISSED)")
    )
    rates = ", ".join(f"{r:,.0f}" for r in tp["arm_rates_hz"])
    out.append(f"    (the loops ran at {rates} Hz, the handle reader at {tp['handle_rate_hz']:,.0f} Hz)")
    sec = results["security"]
    out.append(
        "  DDS Security: loop publishing, reply to subscriber, ddsperf half round trip (1 kHz, waitsets)"
    )
    out.append(
        f"    {'':<{width - 4}} {'loop p99':>9} {'lat p50':>8} {'lat p99':>8} {'ddsperf p50':>12} {'p99':>6}"
    )
    for case in ("off", "SIGN", "ENCRYPT"):
        row = sec[case]
        out.append(
            f"    {'security ' + case:<{width - 4}} {row['loop_p99_us']:>6,.0f} µs {row['p50_us']:>5,.0f} µs "
            f"{row['p99_us']:>5,.0f} µs {row['floor']['half_rtt_p50_us']:>9,.0f} µs "
            f"{row['floor']['half_rtt_p99_us']:>4,.0f} µs"
        )
    return out
