"""The caller's numbers, checked before any shard sees them (batches and
queries are checked by the native module, as one collection checks them)."""

from typing import Any

import numpy as np


def check_int(value: Any, name: str, low: int) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < low:
        raise ValueError(f"{name} must be >= {low}, got {value}")
    return int(value)
