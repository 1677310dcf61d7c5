"""Filtered search inside the engine: ``Collection.search(filter=ids)`` against the unfiltered query and faiss.

    python bench/filter_engine.py [--n 1000000] [--queries 100] [--cache DIR]

One collection of ``n`` clustered vectors (bench/run.py's data) with its graph
(m=16, ef_construction=100), and faiss's ``IndexBinaryHNSW`` over the same
sign codes with the same parameters, filtered by an ``IDSelectorBatch`` built
once per filter outside the timing (which favours faiss: the collection turns
the ids into slots in every call). Allow-lists are uniform random ids at 50,
10, 5, 2, 1, 0.1 and 0.01 %. Reported per selectivity, as medians of
single-query CPU times on one thread (the machine is shared: CPU time, not
wall time), with the ratio to the unfiltered graph query of the same run:
the collection's search (its planner's road), the scan of the allowed
documents (``exact=True``), faiss at several ``efSearch``; recall@10 of each
and faiss's share of short answers; and the exact filtered answer against a
NumPy reference over the allowed rows (ids and scores must be equal).

Recall counts an answer whose Hamming distance is at most the k-th exact
filtered distance (with ties any of the tied documents is right). With
``--cache DIR`` the collection and the faiss index are built once and kept
there. A report, not a test.
"""

import argparse
import statistics
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from run import DIM, clustered, packed  # noqa: E402

from kestrix import Collection  # noqa: E402

K = 10
SHARES = [0.5, 0.1, 0.05, 0.02, 0.01, 0.001, 0.0001]
FAISS_EF = [16, 64, 256]


def cpu_median_ms(run, queries):
    """Median CPU time of run(q) over the queries, and the answers."""
    times, answers = [], []
    for q in queries:
        start = time.thread_time()
        answers.append(run(q))
        times.append(time.thread_time() - start)
    return statistics.median(times) * 1e3, answers


def recall(distances, truth):
    """Share of answers (-1 distances are missing ones) within the k-th exact distance."""
    return float(np.mean((distances >= 0) & (distances <= truth[:, -1:])))


def numpy_top(codes, allowed_rows, query_code):
    """The exact filtered top-k by (distance, row) and its float32 scores."""
    d = np.bitwise_count(codes[allowed_rows] ^ query_code).sum(axis=1, dtype=np.int64)
    best = np.lexsort((allowed_rows, d))[:K]
    return allowed_rows[best], (np.float32(1) + d[best].astype(np.float32) / np.float32(-DIM))


def load_or_build(n, x, codes, cache, with_faiss):
    import faiss

    col_path = cache / f"filter-{n}-m16-efc100.kxc" if cache else None
    faiss_path = cache / f"filter-{n}-faiss-binary-m16-efc100.bin" if cache else None
    if col_path and col_path.exists():
        col = Collection.load(col_path, threads=1)
    else:
        col = Collection(threads=2)
        col.add(np.arange(n), x)
        col.build_index(16, 100)
        if col_path:
            col.save(col_path)
    if not with_faiss:
        index = None
    elif faiss_path and faiss_path.exists():
        index = faiss.read_index_binary(str(faiss_path))
    else:
        index = faiss.IndexBinaryHNSW(DIM, 16)
        index.hnsw.efConstruction = 100
        index.add(codes)
        if faiss_path:
            faiss.write_index_binary(index, str(faiss_path))
    return col, index


def main():
    import faiss

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--queries", type=int, default=100)
    parser.add_argument("--cache", type=Path, default=None)
    parser.add_argument("--no-faiss", action="store_true", help="the collection alone")
    args = parser.parse_args()
    faiss_ef = [] if args.no_faiss else FAISS_EF
    n = args.n
    faiss.omp_set_num_threads(1)
    x, queries = clustered(n, args.queries)
    codes, query_codes = packed(x), packed(queries)
    col, index = load_or_build(n, x, codes, args.cache, not args.no_faiss)
    del x
    rng = np.random.default_rng(5)

    base, _ = cpu_median_ms(lambda q: col.search(q, K), queries)
    print(f"# {n:,} documents, k={K}, one thread, CPU ms (median of {len(queries)} queries)")
    print(f"# unfiltered graph query: {base:.3f} ms")
    print("| allowed | collection ms (x unfiltered) | recall | scan of the allowed ms | ", end="")
    print("".join(f"faiss ef={ef} ms, recall, short | " for ef in faiss_ef) + "exact = NumPy |")
    print("|---" * (5 + len(faiss_ef)) + "|")
    for share in SHARES:
        allowed = np.sort(rng.choice(n, max(1, int(n * share)), replace=False)).astype(np.int64)
        road, _ = cpu_median_ms(lambda q: col.search(q, K, filter=allowed), queries)
        scan, _ = cpu_median_ms(lambda q: col.search(q, K, filter=allowed, exact=True), queries)
        _, found_scores, found = col._search_distances(queries, K, filter=allowed, threads=1)
        truth_ids, truth_scores, truth = col._search_distances(queries, K, filter=allowed, exact=True, threads=1)
        same = all(
            np.array_equal(truth_ids[i], ref_ids) and np.array_equal(truth_scores[i], ref_scores)
            for i in range(min(10, len(queries)))
            for ref_ids, ref_scores in [numpy_top(codes, allowed, query_codes[i])]
        )
        cells = [
            f"{share:.2%}",
            f"{road:.3f} ({road / base:.1f}x)",
            f"{recall(found.astype(np.int64), truth):.3f}",
            f"{scan:.3f}",
        ]
        selector = faiss.IDSelectorBatch(allowed)
        for ef in faiss_ef:
            params = faiss.SearchParametersHNSW(sel=selector, efSearch=ef)
            spent, answers = cpu_median_ms(lambda q: index.search(q[None, :], K, params=params), query_codes)
            distances = np.stack([d[0] for d, _ in answers]).astype(np.int64)
            labels = np.stack([i[0] for _, i in answers])
            distances[labels < 0] = -1
            short = float(np.mean((labels < 0).any(axis=1)))
            cells.append(f"{spent:.3f}, {recall(distances, truth):.3f}, {short:.2f}")
        cells.append("yes" if same else "NO")
        print("| " + " | ".join(cells) + " |", flush=True)


if __name__ == "__main__":
    main()
