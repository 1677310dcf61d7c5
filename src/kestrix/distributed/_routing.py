"""Which shard holds an id, and how the shards' answers become one."""

from typing import Any, Dict, Sequence, Tuple

import numpy as np

# splitmix64(id) mod shards, computed by the native module: stored shard
# folders depend on it bit for bit.
from .._native import shard_of

__all__ = ["merge_top_k", "shard_of", "split_by_shard"]


def split_by_shard(ids: Any, vectors: Any, shards: int) -> Dict[int, Tuple[Any, Any]]:
    """``{shard: (its ids, their vectors or None)}`` for the shards holding some of ``ids``."""
    owner = shard_of(ids, shards)
    parts = {}
    for shard in np.unique(owner).tolist():
        rows = np.flatnonzero(owner == shard)
        parts[shard] = (ids[rows], None if vectors is None else vectors[rows])
    return parts


def merge_top_k(parts: Sequence[Tuple[Any, Any, Any]], k: int, rescored: bool = False) -> Tuple[Any, Any]:
    """Merge per-shard answers (distances, ids, scores; shard order) into one top ``k``.

    Unrescored answers are ranked by distance, rescored ones by their score,
    highest first (the distance of a rescored answer is that of its codes,
    which did not rank it). A stable sort keeps equal keys in shard order
    and, within a shard, in that shard's order. The result has
    min(k, answers) columns; a row with fewer answers is padded with id -1
    and score nan.
    """
    distances = np.concatenate([p[0] for p in parts], axis=1)
    ids = np.concatenate([p[1] for p in parts], axis=1)
    scores = np.concatenate([p[2] for p in parts], axis=1)
    width = min(k, distances.shape[1])
    # A padded answer (id -1, score nan) sorts after every real one.
    key = np.where(ids < 0, np.inf, -scores.astype(np.float64)) if rescored else distances
    order = np.argsort(key, axis=1, kind="stable")[:, :width]
    return np.take_along_axis(ids, order, axis=1), np.take_along_axis(scores, order, axis=1)
