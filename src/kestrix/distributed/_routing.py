"""Which shard holds an id, and how the shards' answers become one."""

from typing import Any, Dict, Sequence, Tuple

import numpy as np

from .._common import DIMENSION, MAX_COLLECTION_ID

DIM = DIMENSION
MAX_ID = MAX_COLLECTION_ID
#: A shard's distance for a padded answer: sorts after every real distance.
NO_DISTANCE = DIM + 1


def shard_of(ids: Any, shards: int) -> Any:
    """The shard of each id: ``splitmix64(id) mod shards`` (an int64 array, or an int for an int)."""
    scalar = np.ndim(ids) == 0
    x = np.asarray(ids, dtype=np.int64).astype(np.uint64, copy=True).reshape(-1)
    with np.errstate(over="ignore"):
        x += np.uint64(0x9E3779B97F4A7C15)
        x = (x ^ (x >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        x = (x ^ (x >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
        x ^= x >> np.uint64(31)
    result = (x % np.uint64(shards)).astype(np.int64)
    return int(result[0]) if scalar else result


def split_by_shard(ids: Any, vectors: Any, shards: int) -> Dict[int, Tuple[Any, Any]]:
    """``{shard: (its ids, their vectors or None)}`` for the shards holding some of ``ids``."""
    owner = shard_of(ids, shards)
    parts = {}
    for shard in np.unique(owner).tolist():
        rows = np.flatnonzero(owner == shard)
        parts[shard] = (ids[rows], None if vectors is None else vectors[rows])
    return parts


def merge_top_k(parts: Sequence[Tuple[Any, Any, Any]], k: int) -> Tuple[Any, Any]:
    """Merge per-shard answers (distances, ids, scores; shard order) into one top ``k``.

    A stable sort on the distance keeps equal distances in shard order and,
    within a shard, in that shard's order. The result has min(k, answers)
    columns; a row with fewer answers is padded with id -1 and score nan.
    """
    distances = np.concatenate([p[0] for p in parts], axis=1)
    ids = np.concatenate([p[1] for p in parts], axis=1)
    scores = np.concatenate([p[2] for p in parts], axis=1)
    width = min(k, distances.shape[1])
    order = np.argsort(distances, axis=1, kind="stable")[:, :width]
    return np.take_along_axis(ids, order, axis=1), np.take_along_axis(scores, order, axis=1)
