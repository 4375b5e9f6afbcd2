"""The dead-man guard: a process that owns a ServoLoop rendering 3 N on a fake arm (which logs
every request it takes) is killed, stopped and resumed, or closes cleanly; and a loop that is
alive but waits long is never taken for a frozen one."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
from collections.abc import Iterator
from pathlib import Path

import pytest
from fakedevice import FORCE_REQUEST, WAKE_UP, FakeArm, wait_until

import tamro

PUSH = (0.0, 0.0, 3.0)
ZERO = (0.0, 0.0, 0.0)
# The guard's bound is GUARD_SILENCE (50 ms); a loaded machine is allowed this much.
DEADLINE = 0.3

OWNER = textwrap.dedent(
    """
    import os, sys, tamro
    loop = tamro.ServoLoop(sys.argv[1], rate_hz=1000.0, guard=sys.argv[2] == "guarded")
    loop.effects = [tamro.ConstantForce((0.0, 0.0, 3.0))]
    loop.start()
    print("ready", flush=True)
    sys.stdin.readline()
    stats = loop.stats()
    loop.close()
    try:
        os.waitpid(-1, os.WNOHANG)
        children = "children-left"
    except ChildProcessError:
        children = "no-children"
    print(children, stats["guard_firings"], stats["resyncs"], flush=True)
    """
)


class LoggingArm(FakeArm):
    """A fake arm that also logs wake-ups and force requests in one list, in the order taken."""

    def __init__(self) -> None:
        self.log: list[object] = []
        super().__init__()

    def answer(self, pending: bytes) -> int:
        used = super().answer(pending)
        if used and pending[0] == WAKE_UP:
            self.log.append("wake-up")
        elif used and pending[0] == FORCE_REQUEST:
            self.log.append(self.forces[-1])
        return used


@pytest.fixture
def arm() -> Iterator[LoggingArm]:
    made = LoggingArm()
    try:
        yield made
    finally:
        made.close()


def start_owner(arm: LoggingArm, guarded: bool = True) -> subprocess.Popen[str]:
    mode = "guarded" if guarded else "unguarded"
    owner = subprocess.Popen(
        [sys.executable, "-c", OWNER, arm.path, mode],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    assert owner.stdout is not None and owner.stdout.readline() == "ready\n"
    assert arm.wait_for(lambda: bool(arm.forces) and arm.forces[-1] == PUSH), "the owner renders 3 N"
    return owner


@pytest.fixture
def owners() -> Iterator[list[subprocess.Popen[str]]]:
    started: list[subprocess.Popen[str]] = []
    try:
        yield started
    finally:
        for owner in started:
            if owner.poll() is None:
                owner.kill()
                owner.wait()


def children_of(pid: int) -> set[int]:
    found: set[int] = set()
    for task in Path(f"/proc/{pid}/task").iterdir():
        found |= {int(child) for child in (task / "children").read_text().split()}
    return found


def ended(pid: int) -> bool:
    """Gone, or a zombie nobody reaped (an orphan's new parent may not)."""
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except (FileNotFoundError, ProcessLookupError):
        return True


@pytest.mark.parametrize("guarded", [True, False], ids=["guarded", "unguarded"])
def test_a_killed_owner_leaves_the_arm_at_zero_force(arm, owners, guarded):
    owner = start_owner(arm, guarded)
    owners.append(owner)
    guards = children_of(owner.pid)
    assert len(guards) == (1 if guarded else 0)
    owner.kill()
    if not guarded:  # what the guard is for: the arm keeps pushing
        assert not arm.wait_for(lambda: arm.forces[-1] == ZERO, DEADLINE)
        return
    assert arm.wait_for(lambda: arm.forces[-1] == ZERO, DEADLINE), "zero force soon after kill -9"
    owner.wait()
    assert arm.quiet(0.2), "one zero, then nothing"
    assert wait_until(lambda: all(ended(pid) for pid in guards), 2.0), "the guard leaves after it"


def test_a_stopped_owner_leaves_zero_force_and_re_pairs_when_it_resumes(arm, owners):
    owner = start_owner(arm)
    owners.append(owner)
    os.kill(owner.pid, signal.SIGSTOP)
    try:
        assert arm.wait_for(lambda: arm.forces[-1] == ZERO, DEADLINE), "zero force soon after SIGSTOP"
        fired_at = len(arm.log) - 1
        assert arm.quiet(0.3), "the arm keeps the guard's zero: nothing more is written"
    finally:
        os.kill(owner.pid, signal.SIGCONT)
    assert arm.wait_for(lambda: arm.log[-1] == PUSH), "it renders again"
    after = arm.log[fired_at + 1 :]
    first_push = after.index(PUSH)
    assert "wake-up" in after[:first_push], "the barrier comes before any force of the loop's own"

    assert owner.stdin is not None and owner.stdout is not None
    owner.stdin.write("close\n")
    owner.stdin.flush()
    children, firings, resyncs = owner.stdout.readline().split()
    assert owner.wait(timeout=10) == 0
    assert children == "no-children"
    assert int(firings) == 1 and int(resyncs) >= 1


def test_a_clean_close_writes_nothing_after_its_last_zero_and_leaves_no_process(arm, owners):
    owner = start_owner(arm)
    owners.append(owner)
    (guard,) = children_of(owner.pid)
    assert owner.stdin is not None and owner.stdout is not None
    owner.stdin.write("close\n")
    owner.stdin.flush()
    children, firings, _ = owner.stdout.readline().split()
    assert children == "no-children" and firings == "0"
    assert arm.forces[-1] == ZERO
    count = len(arm.log)
    assert ended(guard)
    owner.stdin.close()
    assert owner.wait(timeout=10) == 0
    assert arm.quiet(0.3) and len(arm.log) == count, "no stray write after the close"


@pytest.mark.parametrize(
    "rate_hz, late",
    [(1000.0, 0.12), (4.0, 0.0)],
    ids=["slow-arm", "slow-rate"],
)
def test_a_loop_that_waits_long_but_lives_never_fires_its_guard(rate_hz, late):
    # Replies 120 ms late, or sleeps of 250 ms between cycles: both far beyond the guard's
    # bound, yet the loop's thread beats all along.
    arm = FakeArm(late=lambda n: late)
    try:
        with tamro.ServoLoop(arm.path, rate_hz=rate_hz, fault_timeout=1.0) as loop:
            assert loop.guard
            loop.effects = [tamro.ConstantForce(PUSH)]
            assert arm.wait_for_forces(6, timeout=10)
            stats = loop.stats()
        assert stats["guard_firings"] == 0 and stats["failed_exchanges"] == 0
        assert ZERO not in arm.forces[1:-1], "no zero but the first and the last"
    finally:
        arm.close()
