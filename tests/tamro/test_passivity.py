"""tamro.passivity: the stability limit against a sampled loop stepped through time, the bounds
against the limit, and the arguments they refuse."""

from __future__ import annotations

import math

import numpy as np
import pytest

from tamro import passivity
from tamro.passivity import SIMULATED_ARM, Timing, max_stiffness, min_damping, stability_limit


def swing_ratio(
    stiffness: float, damping: float, timing: Timing, horizon: float, periods: int = 3000
) -> float:
    """Runs the loop the limit describes, one force segment at a time: each force is made from
    the state sampled ``age`` before it is sent (position predicted by ``horizon``) and held for
    a period, on a mass-damper moved by its textbook solution. The late swing over the early one."""
    m, b = SIMULATED_ARM.mass, SIMULATED_ARM.damping
    period, age = timing.period, timing.age
    x, v = 1e-3, 0.0
    samples: list[tuple[float, float]] = []  # (x, v) at each multiple of the period
    # Forces change at the sample instants shifted by the age; walk both grids in time order.
    events = sorted(
        [(k * period, "sample", k) for k in range(periods)]
        + [(k * period + age, "force", k) for k in range(periods)]
    )
    force, now, swings = 0.0, 0.0, []
    for at, kind, k in events:
        h = at - now
        terminal = force / b
        decay = math.exp(-b * h / m)
        x += terminal * h + (v - terminal) * (m / b) * (1 - decay)
        v = terminal + (v - terminal) * decay
        now = at
        if kind == "sample":
            samples.append((x, v))
            swings.append(abs(x))
        else:
            xs, vs = samples[k]
            force = -stiffness * (xs + horizon * vs) - damping * vs
    early = max(swings[100:400])
    late = max(swings[-300:])
    return late / early


@pytest.mark.parametrize(
    "rate, age_periods, damping, horizon_periods",
    [
        (1000.0, 1.0, 0.0, 0.0),  # the loop as it runs
        (250.0, 1.0, 5.0, 0.0),  # a virtual damping adds to the arm's own
        (500.0, 0.5, 1.0, 0.0),  # a state younger than a period
        (1000.0, 2.5, 0.0, 0.0),  # a failed exchange in between, half a period more
        (1000.0, 1.0, 0.0, 1.5),  # compensated: predicted to the middle of the hold
        (250.0, 1.0, 1.0, 1.0),
    ],
)
def test_the_limit_is_where_a_loop_stepped_through_time_stops_ringing_down(
    rate, age_periods, damping, horizon_periods
):
    timing = Timing(1 / rate, age_periods / rate)
    horizon = horizon_periods / rate
    limit = stability_limit(timing, SIMULATED_ARM, damping, horizon=horizon)
    assert swing_ratio(0.97 * limit, damping, timing, horizon) < 1.0
    assert swing_ratio(1.03 * limit, damping, timing, horizon) > 1.0


def test_the_bound_keeps_about_half_the_limit_and_compensation_raises_the_limit():
    for rate in (250.0, 500.0, 1000.0):
        for damping in (0.0, 1.0, 5.0):
            limit = stability_limit(rate, SIMULATED_ARM, damping)
            assert 0.45 < max_stiffness(rate, SIMULATED_ARM.damping, damping) / limit < 0.52
            # The delay's first-order cost: b + B against K (T/2 + one period).
            assert limit == pytest.approx((SIMULATED_ARM.damping + damping) * rate / 1.5, rel=0.03)
            assert stability_limit(rate, SIMULATED_ARM, damping, horizon=1.5 / rate) > 3 * limit
    # A late loop is a softer one: the measured figures lower the bound.
    late = Timing.measured({"period_p99_us": 2000.0, "state_age_p99_us": 3000.0})
    assert max_stiffness(late, 2.0) == pytest.approx(2.0 / (2 * 0.004))
    assert max_stiffness(late, 2.0) < max_stiffness(1000.0, 2.0)


# The simulator sweep's largest settling stiffness with compensation (docs/servo-loop.md):
# the compensated bound must stay below it and within a factor of two of it.
COMPENSATED_SWEEP = {
    (250.0, 0.0): 2220.0,
    (250.0, 5.0): 3625.0,
    (500.0, 1.0): 7506.0,
    (1000.0, 0.0): 18417.0,
    (1000.0, 1.0): 17479.0,
    (1000.0, 5.0): 34480.0,
}


@pytest.mark.parametrize("rate, damping", sorted(COMPENSATED_SWEEP))
def test_the_compensated_bound_rings_down_and_sits_within_half_of_what_settles(rate, damping):
    bound = max_stiffness(rate, SIMULATED_ARM.damping, damping, compensated=True, mass=SIMULATED_ARM.mass)
    # The loop as it runs, stepped through time: state a period old, predicted 1.5 periods.
    assert swing_ratio(bound, damping, Timing.nominal(rate), 1.5 / rate) < 0.5
    assert COMPENSATED_SWEEP[rate, damping] / 2 <= bound <= COMPENSATED_SWEEP[rate, damping]
    assert bound > 3 * max_stiffness(rate, SIMULATED_ARM.damping, damping)


@pytest.mark.parametrize("compensated", [False, True])
def test_min_damping_is_what_brings_a_stiffness_within_the_bound(compensated):
    arm = {"compensated": compensated, "mass": SIMULATED_ARM.mass}
    for stiffness in (100.0, 1500.0, 8000.0, 25000.0):
        needed = min_damping(1000.0, 2.0, stiffness, **arm)
        if needed > 0:
            assert max_stiffness(1000.0, 2.0, needed, **arm) == pytest.approx(stiffness, rel=0.02)
            assert max_stiffness(1000.0, 2.0, 0.97 * needed, **arm) < stiffness
        else:
            assert max_stiffness(1000.0, 2.0, **arm) >= stiffness
    assert min_damping(1000.0, 2.0, 0.0, **arm) == 0.0
    if compensated:  # past a point the damper's own delay costs more than it gives
        assert min_damping(1000.0, 2.0, 1e6, **arm) == math.inf


def test_the_measured_timing_is_the_recent_one_and_the_horizon_is_capped_as_the_loop_caps_it():
    stats = {
        "period_p99_us": 5000.0,  # a stall long ago
        "state_age_p99_us": 6000.0,
        "recent_period_p99_us": 1100.0,
        "recent_state_age_p99_us": 1200.0,
        "in_flight_max": 2,
    }

    def figures(timing: Timing) -> tuple[float, float, int]:
        return (timing.period, timing.age, timing.in_flight)

    assert figures(Timing.measured(stats)) == pytest.approx((1.1e-3, 1.2e-3, 2))
    assert figures(Timing.measured(stats, recent=False)) == pytest.approx((5e-3, 6e-3, 2))
    assert figures(Timing.measured({**stats, "recent_period_p99_us": 0.0})) == pytest.approx((5e-3, 6e-3, 2))
    # The loop predicts a state no further than MAX_PREDICTED_HOLDS periods beyond its pipeline.
    assert Timing(1e-3, 1e-3).horizon == pytest.approx(1.5e-3)
    assert Timing(1e-3, 10e-3).horizon == pytest.approx(3e-3)
    assert Timing(1e-3, 10e-3, in_flight=3).horizon == pytest.approx(5e-3)
    assert Timing.nominal(1000.0, in_flight=2) == Timing(1e-3, 2e-3, 2)


def test_an_arm_saved_is_the_arm_loaded_and_a_file_without_one_is_refused(tmp_path):
    path = tmp_path / "arm.json"
    passivity.Arm(mass=0.4, damping=3.5).save(path, note="from tamro-tune")
    assert passivity.Arm.load(path) == passivity.Arm(mass=0.4, damping=3.5)
    for text in (
        b"not json",
        b'{"mass": 0.4}',
        b'{"arm": {"mass": -1, "damping": 2}}',
        b'{"arm": {"mass": "heavy", "damping": 2}}',
        b'{"arm": [1, 2]}',
        b" " * (passivity.MAX_ARM_FILE + 1),
    ):
        path.write_bytes(text)
        with pytest.raises((ValueError, TypeError)):
            passivity.Arm.load(path)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: max_stiffness(0.0, 2.0), ValueError),
        (lambda: max_stiffness(1000.0, -1.0), ValueError),
        (lambda: max_stiffness(1000.0, 2.0, math.nan), ValueError),
        (lambda: max_stiffness(True, 2.0), TypeError),
        (lambda: max_stiffness(1000.0, 2.0, compensated=True), ValueError),  # no mass
        (lambda: max_stiffness(1000.0, 2.0, compensated=True, mass=0.0), ValueError),
        (lambda: min_damping(1000.0, 2.0, -5.0), ValueError),
        (lambda: Timing(1e-3, 0.0), ValueError),
        (lambda: Timing.measured({"period_p99_us": 0.0, "state_age_p99_us": 0.0}), ValueError),
        (lambda: stability_limit(1000.0, passivity.Arm(mass=0.0, damping=2.0)), ValueError),
        (lambda: stability_limit(Timing(1e-3, 1.0), SIMULATED_ARM), ValueError),
        (lambda: stability_limit(1000.0, SIMULATED_ARM, horizon=-1e-3), ValueError),
    ],
)
def test_arguments_out_of_range_are_refused(call, error):
    with pytest.raises(error):
        call()


def test_no_stiffness_is_stable_beside_a_damping_the_mass_cannot_carry():
    # B (T/2 + age) far beyond the mass: the damper alone rings up.
    assert stability_limit(250.0, SIMULATED_ARM, 1000.0) == 0.0
    assert np.isfinite(stability_limit(250.0, SIMULATED_ARM, 10.0))


@pytest.mark.parametrize(
    "decay, end, depth, settles",
    [
        (3.0, 1.2, 1e-3, True),  # rings down: the late swing is far under half the early one
        (0.0, 1.2, 1e-3, False),  # rings on
        (0.3, 1.2, 1e-3, False),  # dies away, but not to half within the trial
        (0.0, 1.2, 1.0, True),  # rings on, but under 1 % of a deep rest: settled enough
        (3.0, 0.4, 1e-3, False),  # too short to tell
    ],
)
def test_a_wall_settles_when_its_ringing_halves_or_is_negligible(decay, end, depth, settles):
    time = np.arange(0.0, end, 1e-3)
    position = 1e-4 * np.exp(-decay * time) * np.sin(2 * np.pi * 40 * time)
    assert passivity.settling(time, position, depth).settles == settles
