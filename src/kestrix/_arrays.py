"""Batch insert and search over NumPy arrays.

NumPy is optional: it is imported when one of these helpers is first called,
so ``import kestrix`` works without it.
"""

from typing import TYPE_CHECKING, Any, Optional, Tuple

from . import _native
from ._common import DIMENSION, MAX_DOC_ID, check_store
from ._kestrix import Kestrix
from ._native import DEFAULT_EF

if TYPE_CHECKING:  # pragma: no cover
    import numpy
    import numpy.typing as npt

__all__ = ["DIMENSION", "MAX_DOC_ID", "insert_many", "search_many"]


def _numpy() -> Any:
    try:
        import numpy
    except ImportError as err:
        raise ImportError("kestrix.insert_many and kestrix.search_many need NumPy: pip install numpy") from err
    return numpy


def _require_matrix(np: Any, array: object, name: str) -> None:
    """The helpers take 2-D NumPy arrays; the native module checks the rest
    (dtype, columns, finite values) as every batch is checked."""
    if not isinstance(array, np.ndarray):
        raise TypeError(f"{name} must be a numpy.ndarray of shape (n, {DIMENSION}), not {type(array).__name__}")
    if array.ndim != 2:
        hint = f"; for one vector use {name}.reshape(1, -1)" if array.ndim == 1 else ""
        raise ValueError(f"{name} must be 2-D with shape (n, {DIMENSION}), got shape {array.shape}{hint}")


def insert_many(db: Kestrix, ids: "npt.ArrayLike", vectors: "numpy.ndarray[Any, Any]") -> "numpy.ndarray[Any, Any]":
    """Insert ``vectors[i]`` under ``ids[i]`` for every row; return the slots.

    ``vectors`` is a NumPy array of shape ``(n, 384)`` with a floating dtype
    (float32 is converted without a copy); ``ids`` is a 1-D array (or a
    sequence) of ``n`` integers from 0 to 2**31-1. Everything is checked before
    the first insert, so a refused batch leaves ``db`` as it was. Rows must be
    finite: a NaN has no sign and would be stored as an arbitrary bit.

    Returns an int64 array of the ``n`` slot numbers, in row order.

    A store made with ``Kestrix.with_capacity`` that has no room for the
    whole batch (free slots plus deleted slots it can recycle) raises
    ``RuntimeError`` ("insert error: CapacityExceeded ...") before anything
    goes in.
    """
    np = _numpy()
    check_store(db)
    _require_matrix(np, vectors, "vectors")
    # Read in place by the native module, after the whole batch is checked;
    # the room of a fixed-capacity store is checked before the first row goes in.
    slots: numpy.ndarray[Any, Any] = _native.insert_many(db, ids, vectors)
    return slots


def search_many(
    db: Kestrix,
    queries: "numpy.ndarray[Any, Any]",
    k: int,
    ef: Optional[int] = None,
    *,
    exact: bool = False,
) -> Tuple["numpy.ndarray[Any, Any]", "numpy.ndarray[Any, Any]"]:
    """Search every row of ``queries``; return ``(ids, scores)`` arrays.

    ``queries`` has shape ``(q, 384)`` and a floating dtype. Each row is
    answered by ``db.search`` (the index when one is built, else the exact
    scan; ``ef`` widens the index search and ``None`` keeps the default 50),
    or by ``db.search_scan`` when ``exact`` is true.

    Returns ``ids`` (int64) and ``scores`` (float32), both of shape
    ``(q, min(k, live))`` where ``live`` counts the vectors not deleted: a
    ``k`` past the store costs nothing. Each row is best first; a row with
    fewer results (an index search that found fewer) is padded at its end
    with id ``-1`` and score ``nan``.
    """
    np = _numpy()
    check_store(db)
    _require_matrix(np, queries, "queries")
    if isinstance(k, bool) or not isinstance(k, (int, np.integer)):
        raise TypeError(f"k must be an int, not {type(k).__name__}")
    if k < 0:
        raise ValueError(f"k must be >= 0, got {k}")
    if ef is not None:
        if exact:
            raise ValueError("ef has no meaning for an exact search")
        if isinstance(ef, bool) or not isinstance(ef, (int, np.integer)):
            raise TypeError(f"ef must be an int or None, not {type(ef).__name__}")
        if ef < 1:
            raise ValueError(f"ef must be >= 1, got {ef}")
    # Every row in one native call, which takes the store's shared access as
    # db.search does; rows are read in place.
    out_ids, out_scores = _native.search_many(db, queries, int(k), DEFAULT_EF if ef is None else int(ef), bool(exact))
    return out_ids, out_scores
