"""Hostile arguments to the tamro package: every keyword of the loops and every effect
parameter, given edge values and wrong types, either works or raises TypeError, ValueError or
OSError. Run in a child interpreter, so a crash shows as its exit status, not as a lost run."""

from __future__ import annotations

import subprocess
import sys
import textwrap

SCRIPT = textwrap.dedent(
    """
    import math, sys, tamro

    arm_port, handle_port = sys.argv[1], sys.argv[2]
    VALUES = [0, -1, 1e-300, 1e300, math.inf, -math.inf, math.nan, True, "1", None, 10**30, [1.0], b"x"]
    VECTORS = [(0, 0, 0), (1e308, 1e308, 1e308), (math.nan, 0, 0), (1, 2), "abc", None, [[1, 2, 3]], 5]
    calls = []

    def attempt(name, call):
        try:
            result = call()
        except (TypeError, ValueError, OSError):
            calls.append(name)
            return None
        calls.append(name)
        return result

    def close(loop):
        if loop is not None:
            loop.close()

    for keyword in ("rate_hz", "max_force", "fault_timeout", "max_faults", "realtime"):
        for value in VALUES:
            kwargs = {keyword: value}
            close(attempt(f"ServoLoop {kwargs}", lambda: tamro.ServoLoop(arm_port, **kwargs)))
    for keyword in ("rate_hz", "fault_timeout", "max_faults"):
        for value in VALUES:
            kwargs = {keyword: value}
            close(attempt(f"HandleReader {kwargs}", lambda: tamro.HandleReader(handle_port, **kwargs)))
    for port in ("", "\\x00", "/dev/null", "/", 5, None):
        close(attempt(f"ServoLoop port={port!r}", lambda: tamro.ServoLoop(port)))

    loop = tamro.ServoLoop(arm_port, rate_hz=None)
    effects = {
        "Spring": (lambda v: tamro.Spring(v, 1.0), lambda s: tamro.Spring((0, 0, 0), s, s)),
        "Damper": (None, lambda s: tamro.Damper(s)),
        "Plane": (lambda v: tamro.Plane(v, v, 1.0), lambda s: tamro.Plane((0, 0, 0), (0, 0, 1), s, s)),
        "Sphere": (lambda v: tamro.Sphere(v, 1.0, 1.0), lambda s: tamro.Sphere((0, 0, 0), s, s, s, s)),
        "Box": (lambda v: tamro.Box(v, v, 1.0), lambda s: tamro.Box((0, 0, 0), (1, 1, 1), s, s, s)),
        "ConstantForce": (lambda v: tamro.ConstantForce(v), None),
    }
    made = []
    for name, (with_vector, with_scalar) in effects.items():
        for value in VECTORS if with_vector else []:
            made.append(attempt(f"{name}({value!r})", lambda: with_vector(value)))
        for value in VALUES if with_scalar else []:
            made.append(attempt(f"{name} scalar {value!r}", lambda: with_scalar(value)))
    made = [m for m in made if m is not None]
    with loop:
        loop.effects = made[: tamro.servo.MAX_EFFECTS]  # whatever was accepted, rendered
        for value in VALUES:
            attempt(f"max_force={value!r}", lambda: setattr(loop, "max_force", value))
            attempt(f"record({value!r})", lambda: loop.record(value))
        for effect in made:
            for value in VECTORS:
                for attribute in ("anchor", "point", "normal", "center", "lower", "upper", "force"):
                    if hasattr(effect, attribute):
                        attempt(f"{attribute}={value!r}", lambda: setattr(effect, attribute, value))
            attempt("force_at", lambda: effect.force_at((1e308, -1e308, math.nan), (math.inf, 0, 0)))
        state = loop.state()
        stats = loop.stats()
    assert math.isfinite(state.force[0]), state
    print(len(calls), stats["non_finite_forces"] + stats["clamped_forces"] >= 0)
    """
)


def test_hostile_arguments_raise_cleanly_and_never_crash(simulator):
    result = subprocess.run(
        [sys.executable, "-c", SCRIPT, simulator.arms[0], simulator.handles[0]],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    count, ok = result.stdout.split()
    assert int(count) > 300 and ok == "True"
