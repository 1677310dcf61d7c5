"""The caller's batches and numbers, checked whole before any shard sees them."""

from typing import Any

import numpy as np

from ._routing import DIM, MAX_ID


def check_ids(ids: Any) -> Any:
    scalar = isinstance(ids, (int, np.integer)) and not isinstance(ids, bool)
    try:
        array = np.asarray([ids] if scalar else ids)
    except (TypeError, ValueError, OverflowError) as err:
        raise TypeError(f"ids must be an int or a 1-D sequence of ints: {err}") from None
    if array.ndim != 1:
        raise ValueError(f"ids must be an int or 1-D, got shape {array.shape}")
    if array.size == 0:
        return np.empty(0, dtype=np.int64)
    if array.dtype.kind == "O" and all(isinstance(x, int) and not isinstance(x, bool) for x in array.tolist()):
        values = array.tolist()
        bad = next((x for x in values if not 0 <= x <= MAX_ID), None)
        if bad is not None:
            raise ValueError(f"ids must lie in 0..{MAX_ID}, got {bad}")
        array = np.asarray(values, dtype=np.int64)
    if array.dtype.kind not in "iu":
        raise TypeError(f"ids must be integers, not {array.dtype}")
    low, high = int(array.min()), int(array.max())
    if low < 0 or high > MAX_ID:
        raise ValueError(f"ids must lie in 0..{MAX_ID}, got {low if low < 0 else high}")
    return array.astype(np.int64)


def check_vectors(vectors: Any, n: int) -> Any:
    if isinstance(vectors, np.ndarray):
        if vectors.dtype.kind != "f":
            raise TypeError(f"vectors must have a floating dtype (float16, float32 or float64), not {vectors.dtype}")
        array = vectors
    else:
        try:
            array = np.asarray(vectors, dtype=np.float64)
        except (TypeError, ValueError) as err:
            raise TypeError(f"vectors must be an (n, {DIM}) array or a list of lists of floats: {err}") from None
    if array.ndim == 1 and n == 1:
        array = array.reshape(1, -1)
    if array.ndim != 2 or array.shape[1] != DIM:
        raise ValueError(f"vectors must have shape (n, {DIM}), got {array.shape}")
    if array.shape[0] != n:
        raise ValueError(f"ids has {n} entries but vectors has {array.shape[0]} rows")
    with np.errstate(over="ignore"):
        array = np.ascontiguousarray(array, dtype=np.float32)
    finite = np.isfinite(array)
    if not finite.all():
        row = int(np.argwhere(~finite)[0][0])
        raise ValueError(f"vectors row {row} holds a NaN or an infinity (or overflows float32)")
    return array


def check_int(value: Any, name: str, low: int) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < low:
        raise ValueError(f"{name} must be >= {low}, got {value}")
    return int(value)
