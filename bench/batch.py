"""kestrix.Collection's batch work against its anchors, in one run on one machine.

    python bench/batch.py                 # 100k rows to add, 1M for the exact scan, 100k for the graph
    python bench/batch.py --quick         # 100k / 200k / 20k: a couple of minutes
    python bench/batch.py --sections add,single

Peers run with every core this process may use (faiss through OpenMP, usearch
through `threads=`), as does the collection unless a row says threads=1. Each
figure is the median of repeated runs with the spread beside it; the last
column is Kestrix's figure over the best anchor's (times: below 1 is better;
q/s: above 1). Nothing here asserts a time.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import DIM, SEED, K, Table, clustered, exact_distances, packed, tie_aware_recall

CORES = len(os.sched_getaffinity(0))
EF_VALUES = (10, 20, 50, 100, 200)
TARGET_RECALL = 0.95


def timed(fn, repeats):
    samples = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples), min(samples), max(samples)


def add_times(table, work, system, fn, repeats):
    med, low, high = timed(fn, repeats)
    table.add("batch", work, system, med, low, high, "s")


def rate(table, work, system, fn, count, repeats, note=""):
    med, low, high = timed(fn, repeats)
    table.add("batch", work, system, count / med, count / high, count / low, "q/s", higher_is_better=True, note=note)


def section_add(table, n, repeats):
    import faiss

    import kestrix

    x, _ = clustered(n, 1)
    ids = np.arange(n, dtype=np.int64)
    work = f"add {n:,} float32 rows"
    print(f"[add] {work}", file=sys.stderr, flush=True)
    add_times(table, work, "Kestrix Collection.add", lambda: kestrix.Collection().add(ids, x), repeats)
    add_times(table, work, "Kestrix insert_many", lambda: kestrix.insert_many(kestrix.Kestrix(), ids, x), repeats)

    def list_road():  # what insert_many did before: rows turned into lists, one insert each
        db = kestrix.Kestrix()
        for start in range(0, n, 1024):
            for offset, row in enumerate(x[start : start + 1024].tolist()):
                db.insert(start + offset, row)

    add_times(table, work, "Kestrix list road (old insert_many)", list_road, 1)

    def faiss_binary():
        index = faiss.IndexBinaryFlat(DIM)
        index.add(packed(x))

    def faiss_float():
        index = faiss.IndexIDMap(faiss.IndexFlatIP(DIM))
        index.add_with_ids(x, ids)

    add_times(table, work, "faiss IndexBinaryFlat.add + packbits", faiss_binary, repeats)
    add_times(table, work, "faiss IndexIDMap(FlatIP).add_with_ids", faiss_float, repeats)


def section_exact(table, n, n_queries, repeats):
    import faiss

    import kestrix

    work = f"exact batch top-{K}, {n_queries:,} queries, {n:,} vectors"
    print(f"[exact] {work}", file=sys.stderr, flush=True)
    col = kestrix.Collection()
    flat = faiss.IndexBinaryFlat(DIM)
    # Drawn and added in chunks, so that the floats of a million rows never sit in memory at once.
    rng = np.random.default_rng(SEED)
    _, queries = clustered(1, n_queries)
    for start in range(0, n, 100_000):
        chunk, _ = clustered(min(100_000, n - start), 1, seed=int(rng.integers(1 << 30)))
        col.add(np.arange(start, start + len(chunk)), chunk)
        flat.add(packed(chunk))
    qcodes = packed(queries)
    rate(
        table,
        work,
        "Kestrix Collection.search(exact=True)",
        lambda: col.search(queries, K, exact=True),
        n_queries,
        repeats,
        note=f"threads={CORES}",
    )
    rate(
        table,
        work,
        "Kestrix Collection.search(exact=True)",
        lambda: col.search(queries, K, exact=True, threads=1),
        n_queries,
        repeats,
        note="threads=1",
    )
    rate(
        table,
        work,
        "faiss IndexBinaryFlat.search",
        lambda: flat.search(qcodes, K),
        n_queries,
        repeats,
        note=f"threads={CORES}",
    )


def section_index(table, n, n_queries, repeats):
    import faiss
    from usearch.index import Index

    import kestrix

    x, qx = clustered(n, n_queries)
    codes, qcodes = packed(x), packed(qx)
    truth = exact_distances(codes, qcodes)
    work = f"index batch, {n_queries:,} queries, {n:,} vectors, recall@{K} >= {TARGET_RECALL}"
    print(f"[index] {work}", file=sys.stderr, flush=True)

    col = kestrix.Collection()
    col.add(np.arange(n), x)
    start = time.perf_counter()
    col.build_index(m=16, ef_construction=200)
    print(f"  Collection.build_index {time.perf_counter() - start:.1f} s", file=sys.stderr, flush=True)
    fh = faiss.IndexBinaryHNSW(DIM, 16)
    fh.hnsw.efConstruction = 200
    fh.add(codes)
    us = Index(ndim=DIM, metric="hamming", dtype="b1", connectivity=16, expansion_add=200)
    us.add(np.arange(n), codes, threads=CORES)

    def kestrix_at(ef, threads):
        return lambda: col.search(qx, K, ef=ef, threads=threads)[0]

    def faiss_at(ef):
        def run():
            fh.hnsw.efSearch = ef
            return fh.search(qcodes, K)[1]

        return run

    def usearch_at(ef):
        def run():
            us.expansion_search = ef
            return us.search(qcodes, K, threads=CORES).keys

        return run

    systems = [
        ("Kestrix Collection.search", lambda ef: kestrix_at(ef, CORES), f"threads={CORES}"),
        ("Kestrix Collection.search", lambda ef: kestrix_at(ef, 1), "threads=1"),
        ("faiss IndexBinaryHNSW", faiss_at, f"threads={CORES}"),
        ("usearch b1 Hamming", usearch_at, f"threads={CORES}"),
    ]
    for name, make, note in systems:
        for ef in EF_VALUES:
            run = make(ef)
            recall = tie_aware_recall(truth, run())
            if recall >= TARGET_RECALL or ef == EF_VALUES[-1]:
                rate(table, work, name, run, n_queries, repeats, note=f"{note}, ef={ef}, recall {recall:.3f}")
                break


def section_single(table, repeats):
    import kestrix

    work = "one query, empty store, list of (id, score)"
    print(f"[single] {work}", file=sys.stderr, flush=True)
    col, db = kestrix.Collection(), kestrix.Kestrix()
    q = np.random.default_rng(SEED).standard_normal(DIM).astype(np.float32)
    calls = 20_000

    def per_call(fn):
        def run():
            for _ in range(calls):
                fn()

        med, low, high = timed(run, repeats)
        return med / calls, low / calls, high / calls

    for system, fn in [
        ("Kestrix Collection.search", lambda: col.search(q, K)),
        ("anchor: Kestrix.search_scan", lambda: db.search_scan(q, K)),
    ]:
        table.add("batch", work + ", float32 array", system, *per_call(fn), "s")
    ql = q.tolist()
    for system, fn in [
        ("Kestrix Collection.search", lambda: col.search(ql, K)),
        ("anchor: Kestrix.search_scan", lambda: db.search_scan(ql, K)),
    ]:
        table.add("batch", work + ", list", system, *per_call(fn), "s")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--sections", default="add,exact,index,single")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    sections = set(args.sections.split(","))
    table = Table()
    if "single" in sections:
        section_single(table, args.repeats)
    if "add" in sections:
        section_add(table, 100_000, args.repeats)
    if "exact" in sections:
        section_exact(table, 200_000 if args.quick else 1_000_000, 1_000, args.repeats)
    if "index" in sections:
        section_index(table, 20_000 if args.quick else 100_000, 2_000 if args.quick else 10_000, args.repeats)

    import platform

    print(
        f"Kestrix batch benchmark: {platform.processor() or platform.machine()}, {CORES} cores usable, "
        f"Python {platform.python_version()}, NumPy {np.__version__}, k={K}, seed {SEED}"
    )
    print()
    print(table.markdown())


if __name__ == "__main__":
    main()
