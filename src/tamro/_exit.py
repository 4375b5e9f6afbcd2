"""What the end of the interpreter closes, in one explicit order.

Ranks run lowest first: network nodes stop publishing and taking commands, then servo loops
send their last zero force while their arms are still there, then simulators stop. One
``atexit`` hook runs them all, so the order does not depend on which module is imported first.
"""

from __future__ import annotations

import atexit
import sys
from collections.abc import Callable
from enum import IntEnum


class Rank(IntEnum):
    NODES = 0
    LOOPS = 1
    SIMULATORS = 2


_closers: dict[Rank, Callable[[], None]] = {}


def at_exit(rank: Rank, close: Callable[[], None]) -> None:
    """Has ``close`` run at interpreter exit in ``rank``'s place (one closer per rank)."""
    _closers[rank] = close


@atexit.register
def _close_in_order() -> None:
    for rank in sorted(_closers):
        try:
            _closers[rank]()
        except Exception as error:  # noqa: BLE001 - the later ranks must still close
            # The report is all that is left to do with it: the interpreter is ending.
            print(f"tamro: closing {rank.name.lower()} at exit failed: {error!r}", file=sys.stderr)
