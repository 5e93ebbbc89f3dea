"""The checks of the arguments that the function and the command share (the
command words its refusals with the option's name). Nothing here loads
numpy at import: the command uses these before the package's heavy modules."""

from __future__ import annotations

import math
from numbers import Integral, Real
from typing import Any


def check_time_limit(time_limit: Any, name: str = "time_limit") -> float:
    """The time limit in seconds (infinite: no limit, as is a number too large to count)."""
    if isinstance(time_limit, bool) or not isinstance(time_limit, Real):
        raise TypeError(f"{name} must be a number of seconds, not {type(time_limit).__name__}")
    try:
        value = float(time_limit)
    except OverflowError:
        value = math.inf
    if math.isnan(value) or value < 0:
        raise ValueError(f"{name} must be a non-negative number of seconds, not {time_limit}")
    return value


def check_seed(seed: Any, name: str = "seed") -> int:
    """The seed, drawn from the system's entropy when None."""
    if seed is None:
        import numpy as np

        entropy = np.random.SeedSequence().entropy
        assert isinstance(entropy, int)
        return entropy % 2**63
    if isinstance(seed, bool) or not isinstance(seed, Integral):
        raise TypeError(f"{name} must be an integer or None, not {type(seed).__name__}")
    if not 0 <= int(seed) < 2**64:
        raise ValueError(f"{name} must be between 0 and 2**64 - 1, not {seed}")
    return int(seed)
