"""Maximal marginal relevance on the vectors the store keeps (needs NumPy)."""

from __future__ import annotations

from typing import Any, List, Sequence

from .._common import DIMENSION
from ..collection import Collection


def sign_vectors(codes: Any, dim: int = DIMENSION) -> Any:
    """The unit sign vectors of the codes of ``dim``-dimensional vectors:
    component c is +1/sqrt(dim) where bit c % 8 (least significant first) of
    byte c // 8 is set, -1/sqrt(dim) where it is clear, as the store defines
    the code."""
    import numpy as np

    bits = np.unpackbits(codes, axis=1, bitorder="little")[:, :dim]
    return np.where(bits == 1, 1.0, -1.0) / np.sqrt(dim)


def kept_vectors(db: Collection, doc_ids: List[int]) -> Any:
    """The vectors diversity is measured on: the side's, or the sign vectors
    of the codes in a collection without one (the caller holds the store's lock)."""
    import numpy as np

    if db.side != "none":
        return np.asarray(db.get(doc_ids, vectors=True), dtype=np.float64)
    return sign_vectors(np.asarray(db.get(doc_ids)), db.dim)


def choose(query: Sequence[float], vectors: Any, lambda_mult: float, k: int) -> List[int]:
    """The rows of ``vectors`` maximal marginal relevance picks for ``query``, in its order."""
    import numpy as np
    from langchain_core.vectorstores.utils import maximal_marginal_relevance

    return maximal_marginal_relevance(np.asarray(query, dtype=np.float64), list(vectors), lambda_mult, k)
