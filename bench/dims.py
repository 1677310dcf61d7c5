"""kestrix.Collection at the sizes of today's embedding models, against its
anchors at the same size, in one run on one machine.

    python bench/dims.py                   # 768, 1024, 1536: scan and batch of 1M, graph of 100k
    python bench/dims.py --sizes-only      # the bytes a vector takes, per dimension and side
    python bench/dims.py --dims 768 --scan-n 200000 --n 20000 --sections scan,graph

Sections: exact scan of one query against NumPy reading the same codes once
(a sum over the packed rows: the memory floor) and faiss IndexBinaryFlat, one
thread; exact batch on every core this process may use against faiss
IndexBinaryFlat through OpenMP; graph build (m=16, ef_construction=200) and
one-thread queries at the least ef reaching tie-aware recall@10 >= 0.95,
against faiss IndexBinaryHNSW and usearch b1. The vectors are bench/run.py's
clustered ones at each dimension. Dimensions must be multiples of 64 (the
peers' codes are read as 64-bit words here). Nothing asserts a time.
"""

from __future__ import annotations

import argparse
import gc
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from batch import CORES, TARGET_RECALL, rate, timed
from run import (
    EF_CONSTRUCTION,
    EF_VALUES,
    SEED,
    K,
    M,
    Table,
    clustered,
    exact_distances,
    packed,
    per_call,
    tie_aware_recall,
)

SIZE_DIMS = (384, 512, 768, 1024, 1536, 3072)


def section_sizes(table):
    """Bytes a vector adds to a collection's file (codes, slot, insertion
    time, document id and the side's row): the difference of two sizes of its
    sections (the container's page padding left out)."""
    import kestrix
    from kestrix._native import unpack_sections

    for dim in SIZE_DIMS:
        work = f"bytes a vector, {dim} dimensions"
        x, _ = clustered(2000, 1, dim=dim)
        for side in ("none", "int8", "float16"):
            sizes = []
            for n in (1000, 2000):
                col = kestrix.Collection(dim, side=side)
                col.add(np.arange(n), x[:n])
                sizes.append(sum(len(body) for _, body in unpack_sections(col._file_bytes())))
            per = (sizes[1] - sizes[0]) / 1000
            table.add("sizes", work, f"Kestrix side={side}", per, per, per, "B")
        table.add("sizes", work, "float32 vector", 4 * dim, 4 * dim, 4 * dim, "B")


def collection_of(n, dim, threads, extra=None):
    """A collection of n clustered rows, drawn and added in chunks (the floats
    of a million wide rows never sit in memory at once), and their codes."""
    import kestrix

    col = kestrix.Collection(dim, threads=threads)
    codes = np.empty((n, dim // 8), dtype=np.uint8)
    rng = np.random.default_rng(SEED + dim)
    for start in range(0, n, 100_000):
        chunk, _ = clustered(min(100_000, n - start), 1, seed=int(rng.integers(1 << 30)), dim=dim)
        col.add(np.arange(start, start + len(chunk)), chunk)
        codes[start : start + len(chunk)] = packed(chunk)
    return col, codes


def section_scan(table, dim, n, n_queries, n_batch, repeats):
    import faiss

    col, codes = collection_of(n, dim, threads=CORES)
    _, qx = clustered(1, max(n_queries, n_batch), seed=SEED + 1, dim=dim)
    qcodes = packed(qx)
    flat = faiss.IndexBinaryFlat(dim)
    flat.add(codes)
    rows64 = codes.view(np.uint64)

    work = f"{dim} dims: exact scan top-{K}, one query, {n:,} vectors, one thread"
    print(f"[scan] {work}", file=sys.stderr, flush=True)
    faiss.omp_set_num_threads(1)
    queries = list(qx[:n_queries])
    m = per_call(lambda q: col.search(q, K, exact=True, rescore=False, threads=1), queries, repeats)
    table.add("scan", work, "Kestrix Collection.search", *m, "s")
    m = per_call(lambda q: flat.search(q, K), [c[None, :] for c in qcodes[:n_queries]], repeats)
    table.add("scan", work, "faiss IndexBinaryFlat", *m, "s")
    m = per_call(lambda _: rows64.sum(), range(n_queries), repeats)
    table.add("scan", work, "NumPy one read of the codes", *m, "s", note="sum over the packed rows")
    got_ids, _ = col.search(qx[:20], K, exact=True, rescore=False)
    if tie_aware_recall(exact_distances(codes, qcodes[:20]), got_ids) != 1.0:
        print("  !! the exact scan missed a nearest code", file=sys.stderr)

    if n_batch:
        work = f"{dim} dims: exact batch top-{K}, {n_batch:,} queries, {n:,} vectors, {CORES} threads"
        print(f"[batch] {work}", file=sys.stderr, flush=True)
        faiss.omp_set_num_threads(CORES)
        batch, batch_codes = qx[:n_batch], qcodes[:n_batch]
        rate(
            table,
            work,
            "Kestrix Collection.search",
            lambda: col.search(batch, K, exact=True, rescore=False),
            n_batch,
            repeats,
        )
        rate(table, work, "faiss IndexBinaryFlat", lambda: flat.search(batch_codes, K), n_batch, repeats)
    del col, flat, codes, rows64
    gc.collect()


def section_graph(table, dim, n, n_queries, repeats):
    import faiss
    from usearch.index import Index

    import kestrix

    faiss.omp_set_num_threads(1)
    x, qx = clustered(n, n_queries, seed=SEED + 2, dim=dim)
    codes, qcodes = packed(x), packed(qx)
    truth = exact_distances(codes, qcodes)
    build = f"{dim} dims: graph build, {n:,} vectors, m={M} efc={EF_CONSTRUCTION}, one thread"
    print(f"[graph] {build}", file=sys.stderr, flush=True)

    col = kestrix.Collection(dim, threads=1)
    col.add(np.arange(n), x)
    del x
    t = timed(lambda: col.build_index(m=M, ef_construction=EF_CONSTRUCTION), 1)
    table.add("graph", build, "Kestrix Collection.build_index", *t, "s")
    fh = faiss.IndexBinaryHNSW(dim, M)
    fh.hnsw.efConstruction = EF_CONSTRUCTION
    t = timed(lambda: fh.add(codes), 1)
    table.add("graph", build, "faiss IndexBinaryHNSW", *t, "s")
    us = Index(ndim=dim, metric="hamming", dtype="b1", connectivity=M, expansion_add=EF_CONSTRUCTION)
    t = timed(lambda: us.add(np.arange(n), codes, threads=1), 1)
    table.add("graph", build, "usearch b1 Hamming", *t, "s")

    def kestrix_query(q, ef):
        return [i for i, _ in col.search(q, K, ef=ef, rescore=False, threads=1)]

    def faiss_query(q, ef):
        fh.hnsw.efSearch = ef
        return fh.search(q, K)[1][0]

    def usearch_query(q, ef):
        us.expansion_search = ef
        return us.search(q, K, threads=1).keys

    systems = [
        ("Kestrix Collection.search", kestrix_query, list(qx)),
        ("faiss IndexBinaryHNSW", faiss_query, [c[None, :] for c in qcodes]),
        ("usearch b1 Hamming", usearch_query, list(qcodes)),
    ]
    work = f"{dim} dims: graph query top-{K}, {n:,} vectors, recall@{K} >= {TARGET_RECALL}, one thread"
    for name, query, queries in systems:
        for ef in EF_VALUES:
            recall = tie_aware_recall(truth, [query(q, ef) for q in queries])
            if recall >= TARGET_RECALL or ef == EF_VALUES[-1]:
                med, low, high = per_call(lambda q: query(q, ef), queries, repeats)
                note = f"ef={ef}, recall {recall:.3f}"
                table.add("graph", work, name, 1 / med, 1 / high, 1 / low, "q/s", higher_is_better=True, note=note)
                break


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dims", default="768,1024,1536")
    parser.add_argument("--sections", default="sizes,scan,graph")
    parser.add_argument("--sizes-only", action="store_true", help="the bytes a vector takes, nothing timed")
    parser.add_argument("--scan-n", type=int, default=1_000_000, help="vectors for the exact scan and batch")
    parser.add_argument("--n", type=int, default=100_000, help="vectors for the graph")
    parser.add_argument("--queries", type=int, default=100, help="single queries")
    parser.add_argument("--batch", type=int, default=1000, help="queries of the exact batch (0: none)")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    sections = {"sizes"} if args.sizes_only else set(args.sections.split(","))
    dims = [int(d) for d in args.dims.split(",")]
    if any(d % 64 for d in dims):
        parser.error("--dims: multiples of 64")

    table = Table()
    if "sizes" in sections:
        section_sizes(table)
    for dim in dims:
        if "scan" in sections:
            section_scan(table, dim, args.scan_n, args.queries, args.batch, args.repeats)
        if "graph" in sections:
            section_graph(table, dim, args.n, args.queries, args.repeats)

    import platform

    print(
        f"Kestrix at other dimensions: {platform.processor() or platform.machine()}, "
        f"NumPy {np.__version__}, {CORES} cores, k={K}, seed {SEED}"
    )
    print()
    print(table.markdown())


if __name__ == "__main__":
    main()
