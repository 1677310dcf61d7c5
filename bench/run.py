"""Kestrix against its anchors, measured in one run on one machine.

    python bench/run.py                  # 100k clustered vectors, 1M for the scan
    python bench/run.py --quick          # 10k vectors, a minute or so
    python bench/run.py --sections scan,fixed

Everything runs on one thread. Each figure is the median of repeated runs,
with the spread (min..max) beside it; the last column is Kestrix's figure over
the best anchor's (below 1 is better for times and memory, above 1 for q/s).
Nothing here asserts a time: the table is a report, not a test.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np

DIM = 384
K = 10
SEED = 20240611
CENTRES = 2000
NOISE = 0.04
EF_VALUES = (10, 50, 100, 200)
M = 16
EF_CONSTRUCTION = 200


# ------------------------------------------------------------------ data


def clustered(n: int, n_queries: int, seed: int = SEED, dim: int = DIM):
    """Random unit centres plus Gaussian noise; queries drawn the same way.
    The noise's length relative to a centre's is the same at every dimension."""
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((CENTRES, dim)).astype(np.float32)
    centres /= np.linalg.norm(centres, axis=1, keepdims=True)
    noise = NOISE * (DIM / dim) ** 0.5

    def draw(count):
        out = np.empty((count, dim), dtype=np.float32)
        for start in range(0, count, 100_000):
            stop = min(count, start + 100_000)
            pick = rng.integers(0, CENTRES, stop - start)
            out[start:stop] = centres[pick] + rng.normal(0.0, noise, (stop - start, dim)).astype(np.float32)
        return out

    return draw(n), draw(n_queries)


def packed(x: np.ndarray) -> np.ndarray:
    """Sign bits, component c at bit c % 8 of byte c // 8: Kestrix's word layout read as bytes."""
    return np.packbits(x > 0, axis=1, bitorder="little")


def exact_distances(codes: np.ndarray, query_codes: np.ndarray) -> np.ndarray:
    rows = codes.view(np.uint64)
    out = np.empty((len(query_codes), len(codes)), dtype=np.uint16)
    for i, q in enumerate(query_codes.view(np.uint64)):
        out[i] = np.bitwise_count(rows ^ q).sum(axis=1, dtype=np.uint16)
    return out


def tie_aware_recall(distances: np.ndarray, results) -> float:
    """A returned id counts when its distance is at most the k-th best exact distance."""
    total = 0
    for d, ids in zip(distances, results):
        kth = np.partition(d, K - 1)[K - 1]
        ids = [int(i) for i in ids if 0 <= int(i) < len(d)]
        total += sum(1 for i in ids if d[i] <= kth)
    return total / (K * len(distances))


# ------------------------------------------------------------------ timing


def per_call(fn, queries, repeats: int):
    """Median and spread of the mean time per call over the query set."""
    samples = []
    for _ in range(repeats):
        start = time.perf_counter()
        for q in queries:
            fn(q)
        samples.append((time.perf_counter() - start) / len(queries))
    return statistics.median(samples), min(samples), max(samples)


class Table:
    def __init__(self):
        self.rows = []

    def add(self, section, work, system, value, low, high, unit, higher_is_better=False, note=""):
        self.rows.append(
            dict(
                section=section,
                work=work,
                system=system,
                value=value,
                low=low,
                high=high,
                unit=unit,
                better="higher" if higher_is_better else "lower",
                note=note,
            )
        )
        print(
            f"  {work:<40} {system:<26} {fmt(value, unit)} ({fmt(low, unit)}..{fmt(high, unit)}) {note}",
            file=sys.stderr,
            flush=True,
        )

    def markdown(self) -> str:
        lines = ["| work | system | median | spread | vs best anchor |", "|---|---|---:|---:|---:|"]
        works = []
        for r in self.rows:
            if r["work"] not in works:
                works.append(r["work"])
        for work in works:
            group = [r for r in self.rows if r["work"] == work]
            peers = [r for r in group if not r["system"].startswith("Kestrix")]
            best = None
            if peers:
                pick = max if group[0]["better"] == "higher" else min
                best = pick(peers, key=lambda r: r["value"])
            for r in group:
                ratio = ""
                if best is not None and r["system"].startswith("Kestrix") and best["value"] > 0:
                    ratio = f"{r['value'] / best['value']:.2f}x ({best['system']})"
                spread = f"{fmt(r['low'], r['unit'])}..{fmt(r['high'], r['unit'])}"
                name = r["system"] + (f" ({r['note']})" if r["note"] else "")
                lines.append(f"| {work} | {name} | {fmt(r['value'], r['unit'])} | {spread} | {ratio} |")
        return "\n".join(lines)


def fmt(value, unit):
    if unit == "s":
        if value < 1e-5:
            return f"{value * 1e6:.2f} us"
        if value < 1e-3:
            return f"{value * 1e6:.1f} us"
        if value < 1:
            return f"{value * 1e3:.2f} ms"
        return f"{value:.1f} s"
    if unit == "q/s":
        return f"{value:,.0f} q/s"
    if unit == "B":
        return f"{value:.0f} B"
    if unit == "recall":
        return f"{value:.3f}"
    return f"{value:g}"


# ------------------------------------------------------------------ systems


def kestrix_store(x: np.ndarray):
    from kestrix import Kestrix

    db = Kestrix()
    insert = db.insert
    for i, row in enumerate(x):
        insert(i, row)
    return db


def single_thread():
    import faiss
    import hnswlib  # noqa: F401  (threads set per index)

    faiss.omp_set_num_threads(1)


# ------------------------------------------------------------------ sections


def section_scan(table, sizes, n_queries, repeats):
    import faiss
    from usearch.index import MetricKind
    from usearch.index import search as usearch_search

    for n in sizes:
        x, qx = clustered(n, n_queries)
        codes, qcodes = packed(x), packed(qx)
        work = f"exact scan top-{K}, {n:,} vectors"
        print(f"[scan] {work}", file=sys.stderr, flush=True)

        db = kestrix_store(x)
        del x
        gc.collect()
        queries = list(qx)
        lists = [q.tolist() for q in qx]
        m = per_call(lambda q: db.search_scan(q, K), queries, repeats)
        table.add("scan", work, "Kestrix search_scan", *m, "s", note="float32 array")
        m = per_call(lambda q: db.search_scan(q, K), lists, repeats)
        table.add("scan", work, "Kestrix search_scan", *m, "s", note="list")

        flat = faiss.IndexBinaryFlat(DIM)
        flat.add(codes)
        qrows = [c[None, :] for c in qcodes]
        m = per_call(lambda q: flat.search(q, K), qrows, repeats)
        table.add("scan", work, "faiss IndexBinaryFlat", *m, "s")

        m = per_call(
            lambda q: usearch_search(codes, q, K, MetricKind.Hamming, exact=True, threads=1), list(qcodes), repeats
        )
        table.add("scan", work, "usearch exact b1 Hamming", *m, "s")

        rows64 = codes.view(np.uint64)

        def numpy_scan(q):
            d = np.bitwise_count(rows64 ^ q).sum(axis=1, dtype=np.uint16)
            top = np.argpartition(d, K)[:K]
            return top[np.argsort(d[top], kind="stable")]

        m = per_call(numpy_scan, list(qcodes.view(np.uint64)), max(1, repeats // 2))
        table.add("scan", work, "NumPy bitwise_count", *m, "s")

        # Same answers as the anchors, distance for distance.
        d = exact_distances(codes, qcodes[:20])
        got = [[i for i, _ in db.search_scan(q, K)] for q in qx[:20]]
        rec = tie_aware_recall(d, got)
        if rec != 1.0:
            print(f"  !! Kestrix scan recall {rec} (expected 1.0)", file=sys.stderr)
        del db, flat, codes, rows64
        gc.collect()


def section_hnsw(table, n, n_queries, repeats):
    import faiss
    import hnswlib
    from usearch.index import Index

    x, qx = clustered(n, n_queries)
    codes, qcodes = packed(x), packed(qx)
    truth = exact_distances(codes, qcodes)
    build_work = f"HNSW build, {n:,} vectors, m={M} efc={EF_CONSTRUCTION}"
    print(f"[hnsw] {build_work}", file=sys.stderr, flush=True)

    systems = {}

    db = kestrix_store(x)
    start = time.perf_counter()
    db.build_index(m=M, ef_construction=EF_CONSTRUCTION)
    t = time.perf_counter() - start
    table.add("hnsw", build_work, "Kestrix", t, t, t, "s")
    systems["Kestrix"] = lambda q, ef: [i for i, _ in db.search(q, K, ef)], list(qx)

    fh = faiss.IndexBinaryHNSW(DIM, M)
    fh.hnsw.efConstruction = EF_CONSTRUCTION
    start = time.perf_counter()
    fh.add(codes)
    t = time.perf_counter() - start
    table.add("hnsw", build_work, "faiss IndexBinaryHNSW", t, t, t, "s")

    def faiss_query(q, ef):
        fh.hnsw.efSearch = ef
        return fh.search(q, K)[1][0]

    systems["faiss IndexBinaryHNSW"] = faiss_query, [c[None, :] for c in qcodes]

    us = Index(ndim=DIM, metric="hamming", dtype="b1", connectivity=M, expansion_add=EF_CONSTRUCTION)
    start = time.perf_counter()
    us.add(np.arange(n), codes, threads=1)
    t = time.perf_counter() - start
    table.add("hnsw", build_work, "usearch b1 Hamming", t, t, t, "s")

    def usearch_query(q, ef):
        us.expansion_search = ef
        return us.search(q, K, threads=1).keys

    systems["usearch b1 Hamming"] = usearch_query, list(qcodes)

    hn = hnswlib.Index(space="cosine", dim=DIM)
    hn.init_index(max_elements=n, ef_construction=EF_CONSTRUCTION, M=M)
    hn.set_num_threads(1)
    start = time.perf_counter()
    hn.add_items(x, np.arange(n), num_threads=1)
    t = time.perf_counter() - start
    table.add("hnsw", build_work, "hnswlib float cosine", t, t, t, "s")

    def hnswlib_query(q, ef):
        hn.set_ef(ef)
        return hn.knn_query(q, K, num_threads=1)[0][0]

    systems["hnswlib float cosine"] = hnswlib_query, [q[None, :] for q in qx]

    for ef in EF_VALUES:
        work = f"HNSW query top-{K}, ef={ef}"
        rwork = f"HNSW tie-aware recall@{K}, ef={ef}"
        for name, (fn, queries) in systems.items():
            med, low, high = per_call(lambda q: fn(q, ef), queries, repeats)
            table.add("hnsw", work, name, 1 / med, 1 / high, 1 / low, "q/s", higher_is_better=True)
            rec = tie_aware_recall(truth, [fn(q, ef) for q in queries])
            table.add("hnsw", rwork, name, rec, rec, rec, "recall", higher_is_better=True)


MEMORY_CHILD = r"""
import gc, json, sys
import numpy as np
sys.path[:0] = json.loads(sys.argv[4])
sys.argv = sys.argv[:4]
from run import clustered, packed, kestrix_store, M, EF_CONSTRUCTION, DIM
import ctypes
def rss():
    # Hand freed heap pages back first, so that what follows is not served
    # from memory the data generation already made resident.
    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
system, n, what = sys.argv[1], int(sys.argv[2]), sys.argv[3]
x, _ = clustered(n, 1)
codes = packed(x)
if system == "Kestrix":
    from kestrix import Kestrix
    gc.collect(); before = rss()
    db = kestrix_store(x)
    if what == "index":
        db.build_index(m=M, ef_construction=EF_CONSTRUCTION)
elif system == "faiss":
    import faiss
    faiss.omp_set_num_threads(1)
    gc.collect(); before = rss()
    idx = faiss.IndexBinaryFlat(DIM) if what == "store" else faiss.IndexBinaryHNSW(DIM, M)
    if what == "index":
        idx.hnsw.efConstruction = EF_CONSTRUCTION
    idx.add(codes)
elif system == "usearch":
    from usearch.index import Index
    gc.collect(); before = rss()
    idx = Index(ndim=DIM, metric="hamming", dtype="b1", connectivity=M, expansion_add=EF_CONSTRUCTION)
    idx.add(np.arange(n), codes, threads=1)
elif system == "hnswlib":
    import hnswlib
    gc.collect(); before = rss()
    idx = hnswlib.Index(space="cosine", dim=DIM)
    idx.init_index(max_elements=n, ef_construction=EF_CONSTRUCTION, M=M)
    idx.add_items(x, np.arange(n), num_threads=1)
gc.collect()
print(json.dumps((rss() - before) / n))
"""


def section_memory(table, n, repeats):
    here = os.path.dirname(os.path.abspath(__file__))
    cases = [
        ("store", "Kestrix"),
        ("store", "faiss"),
        ("index", "Kestrix"),
        ("index", "faiss"),
        ("index", "usearch"),
        ("index", "hnswlib"),
    ]
    names = {
        "faiss": {"store": "faiss IndexBinaryFlat", "index": "faiss IndexBinaryHNSW"},
        "usearch": {"index": "usearch b1 Hamming"},
        "hnswlib": {"index": "hnswlib float cosine"},
    }
    for what, system in cases:
        work = f"memory per vector, {'store' if what == 'store' else f'store + index m={M}'}, {n:,} vectors"
        print(f"[memory] {work} {system}", file=sys.stderr, flush=True)
        samples = []
        # An index build at full size takes minutes: one sample of those.
        for _ in range(max(1, min(repeats, 3)) if what == "store" else 1):
            out = subprocess.run(
                [sys.executable, "-c", MEMORY_CHILD, system, str(n), what, json.dumps([here] + sys.path)],
                capture_output=True,
                text=True,
                check=True,
            )
            samples.append(json.loads(out.stdout.strip().splitlines()[-1]))
        name = "Kestrix" if system == "Kestrix" else names[system][what]
        table.add("memory", work, name, statistics.median(samples), min(samples), max(samples), "B")


def section_fixed(table, repeats):
    from kestrix import Kestrix

    db = Kestrix()
    q = np.random.default_rng(SEED).standard_normal(DIM)
    inputs = {
        "list of 384 floats": q.tolist(),
        "tuple of 384 floats": tuple(q.tolist()),
        "float32 NumPy array": q.astype(np.float32),
        "float64 NumPy array": q.astype(np.float64),
    }
    calls = range(20_000)
    for label, query in inputs.items():
        work = f"fixed cost of search_scan(q, {K}), empty store, {label}"
        samples = []
        for _ in range(repeats):
            search = db.search_scan
            start = time.perf_counter()
            for _ in calls:
                search(query, K)
            samples.append((time.perf_counter() - start) / len(calls))
        table.add("fixed", work, "Kestrix", statistics.median(samples), min(samples), max(samples), "s")
    # The anchor for a call of nothing: the interpreter's own floor.
    samples = []
    for _ in range(repeats):
        f = len
        x = q.tolist()
        start = time.perf_counter()
        for _ in calls:
            f(x)
        samples.append((time.perf_counter() - start) / len(calls))
    table.add(
        "fixed",
        "fixed cost of len(list), for scale",
        "CPython",
        statistics.median(samples),
        min(samples),
        max(samples),
        "s",
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="10k vectors (and no 1M scan)")
    parser.add_argument("--n", type=int, default=None, help="vectors for the HNSW and memory sections")
    parser.add_argument("--scan-sizes", default=None, help="comma-separated store sizes for the scan")
    parser.add_argument("--sections", default="scan,hnsw,memory,fixed")
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--json", help="also write the rows here")
    args = parser.parse_args()

    n = args.n or (10_000 if args.quick else 100_000)
    sizes = (
        [int(s) for s in args.scan_sizes.split(",")]
        if args.scan_sizes
        else ([10_000] if args.quick else [100_000, 1_000_000])
    )
    sections = set(args.sections.split(","))
    single_thread()

    table = Table()
    if "fixed" in sections:
        section_fixed(table, args.repeats)
    if "scan" in sections:
        section_scan(table, sizes, args.queries, args.repeats)
    if "memory" in sections:
        section_memory(table, n, args.repeats)
    if "hnsw" in sections:
        section_hnsw(table, n, args.queries, args.repeats)

    import platform

    print(
        f"Kestrix benchmark: {platform.processor() or platform.machine()}, Python {platform.python_version()}, "
        f"NumPy {np.__version__}, one thread, k={K}, seed {SEED}"
    )
    print()
    print(table.markdown())
    if args.json:
        with open(args.json, "w") as f:
            json.dump(table.rows, f, indent=1)


if __name__ == "__main__":
    main()
