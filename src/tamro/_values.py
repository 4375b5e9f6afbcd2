"""Checking and converting the values users pass, one way across the package."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

Vector = tuple[float, float, float]


def number(value: Any, name: str, *, finite: bool = True) -> float:
    """A real number (not a bool); with finite, also not inf or nan."""
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    result = float(value)
    if finite and not math.isfinite(result):
        raise ValueError(f"{name} must be finite")
    return result


def whole(value: Any, name: str) -> int:
    """An int (not a bool)."""
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    return int(value)


def flag(value: Any, name: str) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, not {type(value).__name__}")
    return bool(value)


def vector(value: Sequence[float] | npt.ArrayLike, name: str) -> Vector:
    """Three numbers from any sequence or array of them."""
    try:
        array = np.asarray(value, dtype=float)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be three numbers, not {value!r}") from None
    if array.shape != (3,):
        raise ValueError(f"{name} must have three components, not shape {array.shape}")
    return (float(array[0]), float(array[1]), float(array[2]))


def frozen_array(values: Sequence[float], dtype: type[np.floating[Any]] = np.float64) -> npt.NDArray[Any]:
    """A read-only array: state handed out must not look as if it could be changed."""
    array = np.array(values, dtype=dtype)
    array.setflags(write=False)
    return array
