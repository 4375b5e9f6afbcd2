"""tamro.ServoLoop and the effects from Python: against a fake arm that records every request,
and against the simulator for what the effects do to a moving mass."""

from __future__ import annotations

import errno
import math
import shutil
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
from fakedevice import (
    DEVICE_INFO_REPLY,
    FakeArm,
    counting_position,
    counting_reply,
    counting_velocity,
    state_reply,
    wait_until,
)

import tamro
from tamro._native import SERVO_STATS_FIELDS


def position_of(n: int) -> tuple[float, float, float]:
    """What the counting fake arm reported in its reply to request n (as float32 carries it)."""
    return tuple(float(np.float32(v)) for v in counting_position(n))  # type: ignore[return-value]


def velocity_of(n: int) -> tuple[float, float, float]:
    return tuple(float(np.float32(v)) for v in counting_velocity(n))  # type: ignore[return-value]


# --- effects -------------------------------------------------------------------------------


def test_effect_parameters_are_attributes_checked_on_every_change():
    spring = tamro.Spring(anchor=[0, 0, 0], stiffness=100, damping=2)
    assert spring.anchor == (0.0, 0.0, 0.0) and spring.stiffness == 100.0
    np.testing.assert_allclose(spring.force_at((0.01, 0, 0), (0, 0.1, 0)), [-1.0, -0.2, 0.0])

    spring.anchor = np.array([0.01, 0.0, 0.0])
    np.testing.assert_allclose(spring.force_at((0.01, 0, 0)), [0.0, 0.0, 0.0])
    with pytest.raises(ValueError, match="stiffness"):
        spring.stiffness = -1
    with pytest.raises(ValueError, match="anchor must have three components"):
        spring.anchor = (1, 2)
    with pytest.raises(ValueError, match="anchor"):
        spring.anchor = (math.nan, 0, 0)
    with pytest.raises(TypeError, match="stiffness must be a number"):
        spring.stiffness = "stiff"  # type: ignore[assignment]
    assert spring.stiffness == 100.0 and spring.anchor == (0.01, 0.0, 0.0), "a refused change changes nothing"


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: tamro.Plane((0, 0, 0), (0, 0, 0), 100), "normal must not be zero"),
        (lambda: tamro.Sphere((0, 0, 0), -0.1, 100), "radius"),
        (lambda: tamro.Box((0, 0, 1), (1, 1, 0), 100), "lower must not exceed upper"),
        (lambda: tamro.Damper(math.inf), "damping"),
        (lambda: tamro.ConstantForce((0, 0, math.nan)), "force"),
        (lambda: tamro.Sphere((0, 0, 0), 0.1, 100, inside=1), "inside must be True or False"),  # type: ignore[arg-type]
    ],
)
def test_invalid_effects_are_refused(make, message):
    with pytest.raises((ValueError, TypeError), match=message):
        make()


def test_contact_effects_push_out_and_never_pull():
    wall = tamro.Plane(point=(0, 0, -0.02), normal=(0, 0, 5), stiffness=1000, damping=10)
    np.testing.assert_allclose(wall.force_at((0, 0, 0)), [0, 0, 0])
    np.testing.assert_allclose(wall.force_at((0, 0, -0.03), (0, 0, -0.5)), [0, 0, 15])
    np.testing.assert_allclose(wall.force_at((0, 0, -0.03), (0, 0, 2)), [0, 0, 0])
    shell = tamro.Sphere(center=(0, 0, 0), radius=0.05, stiffness=100, inside=True)
    np.testing.assert_allclose(shell.force_at((0.06, 0, 0)), [-1, 0, 0])
    np.testing.assert_allclose(tamro.Box((0, 0, 0), (1, 1, 1), 10).force_at((0.1, 0.5, 0.6)), [-1, 0, 0])


# --- the loop against a fake arm -------------------------------------------------------------


def test_each_force_is_the_effects_force_at_the_last_state(fake_arm):
    # Without delay compensation, so that each force is the one at the state as replied.
    loop = tamro.ServoLoop(fake_arm.path, rate_hz=2000.0, max_force=100.0, compensate_delay=False)
    try:
        assert loop.device_info["device_id"] == 0x1234
        assert str(loop.device_info["device_id_ext"]) == "00010203-0405-0607-0809-0a0b0c0d0e0f"
        spring = tamro.Spring(anchor=(0.01, 0, 0), stiffness=10.0, damping=1.0)
        push = tamro.ConstantForce((0, 0, -2))
        loop.effects = [spring, push]
        assert fake_arm.quiet(0.05), "nothing is sent before start()"
        loop.start()
        assert loop.running
        assert fake_arm.wait_for_forces(50)
        loop.stop()
        assert not loop.running
    finally:
        loop.close()
    forces = fake_arm.forces
    assert forces[0] == (0.0, 0.0, 0.0), "no state yet: zero force"
    for n in range(1, len(forces) - 1):
        p, v = position_of(n - 1), velocity_of(n - 1)
        expected = spring.force_at(p, v) + push.force_at(p, v)
        np.testing.assert_allclose(forces[n], expected, rtol=1e-6, atol=1e-7, err_msg=f"request {n}")
    assert forces[-1] == (0.0, 0.0, 0.0), "stopping sends zero force last"
    assert fake_arm.quiet(0.05)


def test_state_record_and_stats(fake_arm):
    loop = tamro.ServoLoop(fake_arm.path, rate_hz=None)
    loop.record(capacity=100_000)  # before the first cycle
    with loop:
        assert fake_arm.wait_for_forces(200)
        state = loop.state()
        stats = loop.stats()
    records = loop.drain()  # after closing too: every cycle, the last zero-force one included
    assert state.cycle > 0 and state.time <= time.monotonic()
    assert tuple(state.position) == position_of(state.cycle - 1)
    with pytest.raises(ValueError):
        state.position[0] = 1.0  # read-only
    assert records.dtype == tamro.RECORD_DTYPE and len(records) >= 200
    assert tuple(records["force"][-1]) == (0.0, 0.0, 0.0)
    assert records["cycle"][0] == 1 and np.all(np.diff(records["cycle"]) == 1)
    assert np.all(np.diff(records["time"]) >= 0)
    np.testing.assert_array_equal(
        records["position"][:, 0], [position_of(c - 1)[0] for c in records["cycle"]]
    )
    assert {name: type(value).__name__ for name, value in stats.items()} == SERVO_STATS_FIELDS
    assert stats["cycles"] >= 200 and stats["failed_exchanges"] == 0 and stats["realtime"] is False
    assert 0 < stats["exchange_p50_us"] <= stats["exchange_p99_us"] <= stats["exchange_max_us"]
    # Free-running, a state is as old as the exchange that brought it and the cycle after it.
    assert stats["exchange_p50_us"] <= stats["state_age_p50_us"] <= stats["state_age_p99_us"]
    assert stats["state_age_p99_us"] <= stats["longest_stall_us"]


def test_parameter_changes_from_another_thread_arrive_whole(fake_arm):
    push = tamro.ConstantForce((0, 0, 0))
    done = threading.Event()

    def writer() -> None:
        a = 1.0
        while not done.is_set():
            for _ in range(20):  # a burst of changes, some landing while the loop reads
                a = -a
                push.force = (a, a, a)
            # The fake arm is a Python thread too: a writer that never waits starves it.
            fake_arm.wait_for_forces(len(fake_arm.forces) + 1, timeout=5.0)

    with tamro.ServoLoop(fake_arm.path, rate_hz=None) as loop:
        loop.effects = [push]
        thread = threading.Thread(target=writer)
        thread.start()
        try:
            assert fake_arm.wait_for_forces(1000, timeout=20)
        finally:
            done.set()
            thread.join()
    for force in fake_arm.forces:
        assert force[0] == force[1] == force[2] and force[0] in (0.0, 1.0, -1.0), force


def test_a_parameter_set_while_the_set_is_reassigned_is_never_lost(fake_arm):
    # One thread changes a parameter while another assigns the effect set that holds it: the
    # loop must end up rendering the value the effect reports, whichever came first.
    push = tamro.ConstantForce((0, 0, 0))
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as possible: widens every window
    try:
        # The fake arm is a Python thread of this process: time-outs generous for a busy machine.
        with tamro.ServoLoop(fake_arm.path, rate_hz=None, max_force=100.0, fault_timeout=2.0) as loop:
            for round_ in range(1000):
                loop.effects = []
                barrier = threading.Barrier(2)
                value = (0.0, 0.0, round_ % 50 / 10)

                def change(barrier: threading.Barrier = barrier, value: tuple = value) -> None:
                    barrier.wait()
                    push.force = value

                def assign(barrier: threading.Barrier = barrier) -> None:
                    barrier.wait()
                    loop.effects = [push]

                threads = [threading.Thread(target=change), threading.Thread(target=assign)]
                for thread in threads:
                    thread.start()
                for thread in threads:
                    thread.join()
                assert tuple(push.force_at((0, 0, 0))) == value
                # A lost update is rendered stale for good; a cycle or two of zero force (the
                # guard's, when a loaded machine held the loop thread) is not one.
                arrived = wait_until(lambda value=value: tuple(loop.state().force) == value)
                assert arrived, f"round {round_}: lost, rendering {loop.state().force}, {loop.stats()}"
    finally:
        sys.setswitchinterval(interval)


def test_smoothing_glides_an_effects_changes_and_a_new_effect_in_its_place_arrives_at_once(fake_arm):
    fake_arm.reply = lambda n, force: state_reply((0, 0, 0), (0, 0, 0))
    assert tamro.Spring(anchor=(0, 0, 0), stiffness=1.0, smoothing=True).smoothing == tamro.effects.SMOOTHING
    # Slow enough that a busy machine holding the fake arm for a while cannot hide the glide.
    # Starts off zero: an idle loop sends zero too, so only -1 N shows that the loop has taken the effect.
    smoothed = tamro.Spring(anchor=(-0.01, 0, 0), stiffness=100.0, smoothing=0.2)
    other = tamro.Spring(anchor=(0.02, 0, 0), stiffness=100.0, smoothing=0.05)

    def settled(expected: float) -> bool:
        return wait_until(lambda: bool(fake_arm.forces) and abs(fake_arm.forces[-1][0] - expected) < 1e-3)

    with tamro.ServoLoop(fake_arm.path, rate_hz=1000.0) as loop:
        assert loop.compensate_delay, "on by default"
        loop.effects = [smoothed]
        assert settled(-1.0)
        count = len(fake_arm.forces)
        smoothed.anchor = (0.01, 0, 0)  # from -1 N to 1 N, through a glide
        assert settled(1.0)
        glide = [f[0] for f in fake_arm.forces[count:]]
        assert sum(-0.9 < f < 0.9 for f in glide) >= 5, glide[:40]
        count = len(fake_arm.forces)
        loop.effects = [other]  # another spring in the same place: its own force at once
        assert settled(2.0)
        assert all(abs(f[0] - 1.0) < 2e-3 or f[0] == 2.0 for f in fake_arm.forces[count:]), "no glide"


def test_a_silent_arm_latches_a_fault(fake_arm):
    silent = threading.Event()
    fake_arm.reply = lambda n, force: None if silent.is_set() else counting_reply(n, force)
    loop = tamro.ServoLoop(fake_arm.path, fault_timeout=0.04, max_faults=3)
    loop.start()
    assert fake_arm.wait_for_forces(5)
    silenced = time.monotonic()
    silent.set()
    assert wait_until(lambda: loop.fault is not None)
    took = time.monotonic() - silenced
    assert took < 3 * 0.04 + 0.5
    fault = loop.fault
    assert isinstance(fault, tamro.DeviceFault) and isinstance(fault, OSError)
    assert fault.errno == errno.ETIMEDOUT and fault.filename == fake_arm.path
    assert "no reply within 40 ms" in fault.strerror and "3 failures in a row" in fault.strerror
    assert not loop.running
    for call in (loop.state, loop.start, lambda: setattr(loop, "effects", [])):
        with pytest.raises(tamro.DeviceFault) as raised:
            call()
        assert raised.value is fault
    assert loop.stats()["failed_exchanges"] >= 3
    assert len(loop.drain()) == 0
    loop.close()
    loop.close()
    assert fake_arm.wait_for_zero_force_last(), "the last attempt is zero force"


def position_index(records: np.ndarray) -> np.ndarray:
    """Which force request (from 0) each recorded reply answered: the counting fake arm's tag."""
    return np.rint(records["position"][:, 0] / np.float32(counting_position(1)[0])).astype(np.int64)


@pytest.mark.parametrize(
    "late, timeout, latches",
    [
        (lambda n: 0.15 if n % 10 == 9 else 0.02, 0.1, False),  # under the time-out, now and then over it
        (lambda n: 0.08, 0.05, True),  # always over it
    ],
    ids=["sometimes-late", "always-late"],
)
def test_a_late_arm_never_answers_the_wrong_request(late, timeout, latches):
    max_faults = 3
    arm = FakeArm(late=late)
    try:
        loop = tamro.ServoLoop(arm.path, rate_hz=200.0, fault_timeout=timeout, max_faults=max_faults)
        loop.record(100_000)
        started = time.monotonic()
        loop.start()
        if latches:
            assert wait_until(lambda: loop.fault is not None, timeout=5)
            took = time.monotonic() - started
            # The documented bound, (2 max_faults - 1) time-outs, and room for a busy machine.
            assert took < (2 * max_faults - 1) * timeout + 0.5, took
            assert loop.fault.errno == errno.ETIMEDOUT
        else:
            assert wait_until(lambda: loop.stats()["failed_exchanges"] >= 3, timeout=10)
            assert loop.fault is None
            stats = loop.stats()
            assert stats["exchange_p50_us"] >= 15_000, "measured from the request the reply answers"
        loop.close()
        records = loop.drain()
        assert latches or len(records) > 20
        np.testing.assert_array_equal(position_index(records), records["cycle"] - 1)
        assert arm.wait_for_zero_force_last()
    finally:
        arm.close()


@pytest.mark.parametrize("device", ["silent", "late"])
def test_stop_and_close_are_quick_on_a_silent_or_late_arm(device):
    # fault_timeout=1: stop() cuts the wait in flight short and waits the zero-force reply 0.1 s
    # at most, whatever the arm does.
    silent = threading.Event()
    reply = lambda n, force: None if silent.is_set() else counting_reply(n, force)  # noqa: E731
    arm = FakeArm(reply=reply, late=(lambda n: 0.3) if device == "late" else None)
    try:
        loop = tamro.ServoLoop(arm.path, fault_timeout=1.0)
        loop.start()
        assert arm.wait_for_forces(3)
        silent.set() if device == "silent" else None
        for ending in (loop.stop, loop.close):
            assert arm.wait_for_forces(len(arm.forces) + 1)
            began = time.monotonic()
            ending()
            assert time.monotonic() - began < 0.5, ending.__name__
            if ending == loop.stop:
                loop.start()
        assert arm.wait_for_zero_force_last()
    finally:
        arm.close()


def test_a_vanished_arm_is_a_fault_never_a_line_on_standard_error(fake_arm, capfd):
    loop = tamro.ServoLoop(fake_arm.path, fault_timeout=0.05)
    loop.start()
    assert fake_arm.wait_for_forces(5)
    fake_arm.hang_up()
    assert wait_until(lambda: loop.fault is not None)
    loop.close()
    assert loop.fault.errno == errno.EIO, loop.fault
    assert capfd.readouterr().err == ""


def test_a_device_that_wakes_as_another_model_is_refused():
    other = bytearray(DEVICE_INFO_REPLY)
    other[3] = 9  # the model number
    arm = FakeArm(info=bytes(other))
    try:
        with pytest.raises(OSError, match="model 9, not as a Velkin3 arm") as raised:
            tamro.ServoLoop(arm.path)
        assert raised.value.errno == errno.ENODEV and raised.value.filename == arm.path
        assert arm.forces == [], "nothing driven"
    finally:
        arm.close()


def test_opening_errors_are_exceptions(fake_device):
    with pytest.raises(FileNotFoundError) as missing:
        tamro.ServoLoop("/dev/tamro-no-such-port")
    assert missing.value.errno == errno.ENOENT and missing.value.filename == "/dev/tamro-no-such-port"
    started = time.monotonic()
    with pytest.raises(TimeoutError, match="no arm answered the wake-up"):
        tamro.ServoLoop(fake_device.path)  # a device that never answers
    assert time.monotonic() - started < 3
    for kwargs, error in [
        ({"rate_hz": 0.0}, ValueError),
        ({"rate_hz": -5.0}, ValueError),
        ({"max_force": 0.0}, ValueError),
        ({"fault_timeout": 0.0}, ValueError),
        ({"max_faults": 0}, ValueError),
        ({"in_flight": 0}, ValueError),
        ({"in_flight": tamro.MAX_IN_FLIGHT + 1}, ValueError),
        ({"in_flight": 2.0}, TypeError),
        ({"rate_hz": "fast"}, TypeError),
        ({"realtime": 1}, TypeError),
    ]:
        with pytest.raises(error):
            tamro.ServoLoop(fake_device.path, **kwargs)


def test_an_effect_belongs_to_one_loop_at_a_time():
    first_arm, second_arm = FakeArm(), FakeArm()
    try:
        spring = tamro.Spring((0, 0, 0), 10.0)
        first = tamro.ServoLoop(first_arm.path)
        second = tamro.ServoLoop(second_arm.path)
        first.effects = [spring]
        with pytest.raises(ValueError, match="belongs to another servo loop"):
            second.effects = [spring]
        with pytest.raises(ValueError, match="twice"):
            first.effects = [spring, spring]
        with pytest.raises(ValueError, match="at most 64"):
            first.effects = [tamro.Damper(1.0) for _ in range(65)]
        with pytest.raises(TypeError):
            first.effects = ["spring"]  # type: ignore[list-item]
        assert first.effects == [spring]
        first.effects = []
        second.effects = [spring]  # free again
        first.close()
        second.close()
        with pytest.raises(ValueError, match="closed"):
            second.start()
        tamro.ServoLoop(first_arm.path).effects = [spring]  # closing freed it
    finally:
        first_arm.close()
        second_arm.close()


EXIT_SCRIPT = """
import sys, time, tamro
loop = tamro.ServoLoop(sys.argv[1], rate_hz=500.0)
loop.effects = [tamro.ConstantForce((1.0, 2.0, 3.0))]
loop.start()
time.sleep(0.1)
{ending}
"""


@pytest.mark.parametrize("ending", ["pass", "raise SystemExit(3)", "raise RuntimeError('boom')"])
def test_interpreter_exit_with_a_running_loop_sends_zero_force(fake_arm, ending):
    script = textwrap.dedent(EXIT_SCRIPT.format(ending=ending))
    result = subprocess.run([sys.executable, "-c", script, fake_arm.path], capture_output=True, timeout=30)
    assert result.returncode == {"pass": 0, "raise SystemExit(3)": 3}.get(ending, 1), result.stderr
    assert "Segmentation" not in result.stderr.decode()
    assert fake_arm.forces[-2] == (1.0, 2.0, 3.0)
    assert fake_arm.forces[-1] == (0.0, 0.0, 0.0)


@pytest.mark.skipif(shutil.which("setpriv") is None, reason="needs setpriv to drop CAP_SYS_NICE")
def test_refused_real_time_priority_is_said_once(fake_arm):
    script = textwrap.dedent(
        """
        import sys, warnings, tamro
        warnings.simplefilter("always")
        with warnings.catch_warnings(record=True) as caught:
            for _ in range(2):
                with tamro.ServoLoop(sys.argv[1], realtime=True) as loop:
                    granted = loop.stats()["realtime"]
        print(granted, len(caught), caught[0].message if caught else "")
        """
    )
    command = ["setpriv", "--inh-caps=-all", "--bounding-set=-sys_nice", "--", sys.executable, "-c", script]
    # No real-time budget either, whoever runs the test.
    result = subprocess.run(
        ["prlimit", "--rtprio=0", "--", *command, fake_arm.path], capture_output=True, text=True, timeout=30
    )
    if result.returncode != 0 and "setpriv" in result.stderr:
        pytest.skip(f"cannot drop the capability here: {result.stderr.strip()}")
    assert result.returncode == 0, result.stderr
    granted, count, message = result.stdout.split(" ", 2)
    assert granted == "False" and count == "1"
    assert "real-time priority refused" in message and "rtprio" in message and "CAP_SYS_NICE" in message


def test_real_time_setup_is_known_when_start_returns(fake_arm):
    # In a child: a granted request locks the whole process's memory, for good.
    script = textwrap.dedent(
        """
        import sys, tamro
        loop = tamro.ServoLoop(sys.argv[1], realtime=True)
        loop.start()
        requested, granted, message = loop._native.realtime()
        stats_say = loop.stats()["realtime"]
        locked = [line for line in open("/proc/self/status") if line.startswith("VmLck")][0].split()[1]
        # AddressSanitizer turns mlockall into a no-op.
        locked = int(locked) > 0 or any("libasan" in line for line in open("/proc/self/maps"))
        loop.close()
        print(requested, granted, stats_say, locked, repr(message))
        """
    )
    result = subprocess.run(
        [sys.executable, "-c", script, fake_arm.path], capture_output=True, text=True, timeout=30
    )
    assert result.returncode == 0, result.stderr
    requested, granted, stats_say, locked, message = result.stdout.split(" ", 4)
    assert requested == "True"
    if granted == "False":
        pytest.skip(f"real-time priority refused here: {message}")
    assert stats_say == "True", "start() returned before the thread said how its request went"
    assert locked == "True", message


# --- the loop against the simulator --------------------------------------------------------


def test_a_spring_pulls_the_end_effector_to_its_anchor(simulator):
    anchor = (0.03, -0.02, 0.01)
    with tamro.ServoLoop(simulator.arms[0]) as loop:
        loop.effects = [tamro.Spring(anchor=anchor, stiffness=200.0, damping=10.0)]
        assert wait_until(lambda: loop.state().time > 0)
        started = loop.state().time
        assert wait_until(lambda: loop.state().time - started >= 1.0)
        position = loop.state().position
    assert np.linalg.norm(position - np.array(anchor)) < 0.002, position


def test_a_constant_push_into_a_wall_settles_near_force_over_stiffness(simulator):
    stiffness, push = 2000.0, 4.0
    with tamro.ServoLoop(simulator.arms[0]) as loop:
        loop.effects = [
            tamro.Plane(point=(0, 0, -0.02), normal=(0, 0, 1), stiffness=stiffness, damping=20.0),
            tamro.ConstantForce((0, 0, -push)),
        ]
        assert wait_until(lambda: loop.state().cycle > 1500, timeout=10)
        depth = -0.02 - loop.state().position[2]
    assert depth == pytest.approx(push / stiffness, rel=0.1)


@pytest.mark.parametrize("in_flight", [1, 2, 3])
def test_a_pipeline_over_a_slow_link_pairs_every_reply_and_renders_a_spring(in_flight):
    # 1 ms (+0.2 ms) per reply, as a USB-serial link adds: more than one period's round trip.
    anchor = (0.03, -0.02, 0.01)
    with tamro.Simulator(handles=0, delay_us=1000, jitter_us=200) as sim:
        with tamro.ServoLoop(sim.arms[0], in_flight=in_flight) as loop:
            assert loop.in_flight == in_flight
            loop.record(capacity=100_000)
            loop.effects = [tamro.Spring(anchor=anchor, stiffness=200.0, damping=10.0)]
            assert wait_until(lambda: loop.state().time > 0)
            started = loop.state().time
            assert wait_until(lambda: loop.state().time - started >= 1.5, timeout=10)
            position = loop.state().position
            stats = loop.stats()
        records = loop.drain()
    assert np.linalg.norm(position - np.array(anchor)) < 0.002, position
    assert stats["failed_exchanges"] == 0 and stats["resyncs"] == 0
    assert stats["in_flight_max"] <= in_flight
    # Each reply is measured from its own request: never less than the link's delay, which a
    # reply taken for a later request's would be.
    assert stats["exchange_p50_us"] >= 1000.0
    # A force is made from a state that has arrived: older than its round trip.
    assert stats["state_age_p50_us"] >= stats["exchange_p50_us"]
    assert np.all(np.diff(records["cycle"]) == 1), "every reply answered, none passed over"
    assert np.all(np.diff(records["time"]) >= 0)
