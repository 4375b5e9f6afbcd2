"""The figures Python types are the ones C++ keeps: each TypedDict of stats names every field the
native side lists, with the same type, and nothing else."""

from __future__ import annotations

import typing

import pytest

import tamro
from tamro import _native, coupling, effects


@pytest.mark.parametrize(
    "typed, native",
    [
        (tamro.ServoStats, _native.SERVO_STATS_FIELDS),
        (tamro.HandleReaderStats, _native.HANDLE_READER_STATS_FIELDS),
    ],
    ids=["servo loop", "handle reader"],
)
def test_each_stats_type_says_what_the_native_side_gives(typed: type, native: dict[str, str]) -> None:
    assert {name: hint.__name__ for name, hint in typing.get_type_hints(typed).items()} == native


def test_the_coupling_states_python_names_are_the_native_words() -> None:
    assert typing.get_args(coupling.LinkState) == _native.LINK_STATES
    assert effects.SMOOTHING == _native.SMOOTHING > 0
