"""python -m kestrix: a small demonstration on generated data."""

import random
import sys
import time

from . import Kestrix


def demo(n: int = 5000, seed: int = 7) -> int:
    rng = random.Random(seed)
    db = Kestrix()
    vectors = [[rng.gauss(0.0, 1.0) for _ in range(384)] for _ in range(n)]
    start = time.perf_counter()
    for i, v in enumerate(vectors):
        db.insert(i, v)
    took = time.perf_counter() - start
    print(f"inserted {len(db)} vectors in {took * 1000:.1f} ms")
    deleted = sum(db.delete(i) for i in range(0, n, 10))
    print(f"deleted {deleted} vectors; {len(db)} slots remain until compaction")
    print(f"compacted away {db.compact()} slots; {len(db)} live")
    hits = db.search_scan(vectors[1], 3)
    print(f"nearest to vector 1: {hits}")
    return 0


if __name__ == "__main__":
    sys.exit(demo())
