"""Two shards on a local Ray cluster against one kestrix.Collection, in one run.

    python bench/sharded.py                  # 200,000 clustered vectors, 1,000 queries, 3 repeats
    python bench/sharded.py --n 50000 --repeats 1 --build-repeats 1

The single collection runs with every core Ray is given (--cpus, default 2);
the sharded one with one shard per core, each searching and building on as
many threads as Ray gives its actor. Ray starts its workers at niceness 15,
so this process takes the same niceness: on a busy machine both sides then
get the same share of the cores. The vectors are added before anything is
timed (the build figure is the build of vectors already in memory). Figures
are medians of the repeats; a ratio is sharded over single (times: below 1 is
better; rates: above 1). Nothing here asserts a time.

Then the answers of a side: the first --side-n vectors, scaled to unit length,
in one Collection(side="int8") and in as many shards with side="int8", each
searched rescored (the default with a side) and by the codes alone, exactly
and through the graph at the default width; recall@5 is against the float
inner-product top-5.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from batch import timed
from run import K, clustered, exact_distances, packed, tie_aware_recall

WORKER_NICENESS = 15


def median_seconds(fn, repeats):
    return timed(fn, repeats)[0]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=200_000)
    parser.add_argument("--queries", type=int, default=1_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--build-repeats", type=int, default=3)
    parser.add_argument("--cpus", type=int, default=2)
    parser.add_argument("--m", type=int, default=16)
    parser.add_argument("--ef-construction", type=int, default=200)
    parser.add_argument("--ef", type=int, default=50)
    parser.add_argument("--side-n", type=int, default=50_000)
    args = parser.parse_args()

    import ray

    import kestrix
    from kestrix.distributed import ShardedCollection

    x, queries = clustered(args.n, args.queries)
    ids = np.arange(args.n, dtype=np.int64)
    truth = exact_distances(packed(x), packed(queries))
    ray.init(num_cpus=args.cpus, include_dashboard=False, log_to_driver=False)
    os.nice(WORKER_NICENESS - os.nice(0))
    rows = []

    def row(work, single, sharded, unit):
        ratio = sharded / single
        rows.append((work, single, sharded, ratio, unit))
        print(f"{work:<44} {single:>12.3f} {sharded:>12.3f} {ratio:>7.2f}x  {unit}", flush=True)

    with tempfile.TemporaryDirectory() as folder:
        one = kestrix.Collection(threads=args.cpus)
        sharded = ShardedCollection(os.path.join(folder, "shards"), shards=args.cpus, cpus_per_shard=1)
        one.add(ids, x)
        sharded.add(ids, x)
        print(
            f"{args.n:,} vectors, {args.queries:,} queries, k={K}, {args.cpus} cores, "
            f"median of {args.build_repeats} builds and {args.repeats} searches",
            flush=True,
        )
        print(f"{'work':<44} {'1 collection':>12} {f'{args.cpus} shards':>12} {'ratio':>8}", flush=True)

        def build(target):
            return lambda: target.build_index(m=args.m, ef_construction=args.ef_construction)

        row(
            f"index build m={args.m} efc={args.ef_construction} (s)",
            median_seconds(build(one), args.build_repeats),
            median_seconds(build(sharded), args.build_repeats),
            "s",
        )

        def search_rate(target, **kw):
            seconds = median_seconds(lambda: target.search(queries, K, **kw), args.repeats)
            return args.queries / seconds

        row("exact batch search (q/s)", search_rate(one, exact=True), search_rate(sharded, exact=True), "q/s")
        _, one_scores = one.search(queries, K, exact=True)
        _, sharded_scores = sharded.search(queries, K, exact=True)
        print(f"exact answers: identical scores on every query: {np.array_equal(one_scores, sharded_scores)}")

        row(
            f"index batch search ef={args.ef} (q/s)",
            search_rate(one, ef=args.ef),
            search_rate(sharded, ef=args.ef),
            "q/s",
        )
        one_ids, _ = one.search(queries, K, ef=args.ef)
        sharded_ids, _ = sharded.search(queries, K, ef=args.ef)
        print(
            f"recall@{K} at ef={args.ef}: 1 collection {tie_aware_recall(truth, one_ids):.3f}, "
            f"{args.cpus} shards {tie_aware_recall(truth, sharded_ids):.3f}"
        )
        sharded.close()
        side_recall(args, x[: args.side_n], queries, os.path.join(folder, "side"))
    ray.shutdown()


def side_recall(args: argparse.Namespace, x: np.ndarray, queries: np.ndarray, folder: str, k: int = 5) -> None:
    import kestrix
    from kestrix.distributed import ShardedCollection

    x = x / np.linalg.norm(x, axis=1, keepdims=True)
    queries = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    truth = np.argsort(-(queries @ x.T), axis=1, kind="stable")[:, :k]
    ids = np.arange(len(x), dtype=np.int64)
    one = kestrix.Collection(threads=args.cpus, side="int8")
    sharded = ShardedCollection(folder, shards=args.cpus, side="int8", cpus_per_shard=1)
    for target in (one, sharded):
        target.add(ids, x)
    print(f"\nrecall@{k} against the float top-{k}, {len(x):,} unit vectors, side int8:", flush=True)
    print(f"{'search':<44} {'1 collection':>12} {f'{args.cpus} shards':>12}", flush=True)

    def recall(target, **kw):
        found, _ = target.search(queries, k, **kw)
        return np.mean([len(set(t) & set(f)) / k for t, f in zip(truth.tolist(), found.tolist())])

    for road, kw in (("exact", {"exact": True}), ("graph, ef=None", {})):
        if road.startswith("graph"):
            for target in (one, sharded):
                target.build_index(m=args.m, ef_construction=args.ef_construction)
        for how, more in (("rescored", {}), ("codes only", {"rescore": False})):
            print(f"{road + ', ' + how:<44} {recall(one, **kw, **more):>12.3f} {recall(sharded, **kw, **more):>12.3f}")
    sharded.close()


if __name__ == "__main__":
    main()
