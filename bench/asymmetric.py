"""Rescored searches on real sentence embeddings: the curve that chose the
defaults, and the roads at the defaults against the int8 HNSW peers.

    python bench/asymmetric.py [--curve] [--today PKGDIR] [--scan-1m]

Data: /work/data/kjv-minilm.npy (31,103 all-MiniLM-L6-v2 verses, the
README's) and /work/data/docstrings-minilm.npy (15,372 docstrings), or any
--data NAME=PATH.npy of unit rows; --queries rows of each are held out as
queries (the same seed as examples/real_embeddings.py), the rest stored. The
float truth is the exact inner-product top-10, ties counted
(examples/real_embeddings.py's float_answer). --curve prints, for the int8
side and the sign mode, the share of the float top-10 and the float top-1
over oversampling factors and walk widths. The table gives, one thread
unless said, the rescored roads at the defaults, faiss IndexHNSWSQ (8-bit)
and usearch i8 at each search width (the first that reaches a share is what
a road is compared with), the 2-thread batch graph road, and with --today
the same roads of another build (PYTHONPATH PKGDIR: the build before
asymmetric candidates) run in a child process on the same data. --scan-1m
times one query's exact scan over 1,000,000 random codes by asymmetric
distance (sign mode, oversample=1) against the Hamming scan
(rescore=False) of the same collection. Rates are medians of --repeats runs.
"""

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
from real_embeddings import float_answer, queries_per_second

DATA = ["kjv=/work/data/kjv-minilm.npy", "docstrings=/work/data/docstrings-minilm.npy"]
K = 10
PEER_EFS = [10, 16, 20, 24, 32, 40, 48, 64, 80, 100, 128, 160, 200, 256]


def split(path, n_queries, seed):
    vectors = np.load(path).astype(np.float32)
    order = np.random.default_rng(seed).permutation(len(vectors))
    query_rows, stored_rows = order[:n_queries], np.sort(order[n_queries:])
    return stored_rows, vectors[stored_rows], vectors[query_rows]


def collections(stored_rows, stored):
    import kestrix

    made = {}
    for side in ("int8", "none"):
        col = kestrix.Collection(threads=1, side=side)
        col.add(stored_rows, stored)
        col.build_index()
        made[side] = col
    return made


def road(col, queries, measure, repeats, threads=1, **options):
    def run(q):
        return col.search(q, K, threads=threads, **options)

    top1, share = measure(run(queries)[0])
    return {"top1": top1, "share": share, "qps": queries_per_second(run, queries, repeats)}


def default_roads(cols, queries, measure, repeats):
    """The roads of the table, each at the collection's defaults."""
    return {
        "int8 rescored, scan": road(cols["int8"], queries, measure, repeats, exact=True),
        "int8 rescored, graph": road(cols["int8"], queries, measure, repeats),
        "int8 rescored, graph, batch 2 threads": road(cols["int8"], queries, measure, repeats, threads=2),
        "sign rescored, scan": road(cols["none"], queries, measure, repeats, exact=True, rescore=True),
        "sign rescored, graph": road(cols["none"], queries, measure, repeats, rescore=True),
    }


def curve(cols, queries, measure, repeats):
    print(f"{'road':<6} {'oversample':>10} {'ef':>5} {'int8 share':>10} {'top-1':>6} {'q/s':>7}", end="")
    print(f" {'sign share':>10} {'top-1':>6} {'q/s':>7}")
    grid = [("scan", over, None) for over in (1, 2, 4, 6, 7, 8, 10, 12, 16, 24)]
    grid += [("graph", over, ef) for over in (6, 7, 8, 10, 12) for ef in (None, 80, 100, 120, 160, 200, 240)]
    for kind, over, ef in grid:
        got = [
            road(cols[s], queries, measure, repeats, exact=kind == "scan", ef=ef, oversample=over, rescore=True)
            for s in ("int8", "none")
        ]
        print(f"{kind:<6} {over:>10} {str(ef or '-'):>5}", end="")
        for g in got:
            print(f" {g['share']:>10.3f} {g['top1']:>6.3f} {g['qps']:>7.0f}", end="")
        print(flush=True)


def peers(stored_rows, stored, queries, measure, repeats):
    """Each peer's (ef, top-1, share, q/s) rows at 1 and at 2 threads."""
    found = {1: {}, 2: {}}
    try:
        import faiss

        index = faiss.IndexHNSWSQ(stored.shape[1], faiss.ScalarQuantizer.QT_8bit, 16, faiss.METRIC_INNER_PRODUCT)
        index.hnsw.efConstruction = 200
        index.train(stored)
        index.add(stored)
        for threads in (1, 2):
            faiss.omp_set_num_threads(threads)
            rows = []
            for ef in PEER_EFS:
                index.hnsw.efSearch = ef
                top1, share = measure(stored_rows[index.search(queries, K)[1]])
                rows.append((ef, top1, share, queries_per_second(lambda q: index.search(q, K), queries, repeats)))
            found[threads]["faiss IndexHNSWSQ 8-bit"] = rows
        faiss.omp_set_num_threads(1)
    except ImportError:
        pass
    try:
        from usearch.index import Index

        index = Index(ndim=stored.shape[1], metric="ip", dtype="i8", connectivity=16, expansion_add=200)
        index.add(stored_rows, stored, threads=2)
        for threads in (1, 2):
            rows = []
            for ef in PEER_EFS:
                index.expansion_search = ef
                top1, share = measure(index.search(queries, K, threads=threads).keys)
                search = lambda q: index.search(q, K, threads=threads)  # noqa: E731
                rows.append((ef, top1, share, queries_per_second(search, queries, repeats)))
            found[threads]["usearch i8"] = rows
    except ImportError:
        pass
    return found


def first_reaching(rows, share):
    """The first (ef, top1, share, q/s) of a peer's rows reaching `share`."""
    return next((row for row in rows if row[2] >= share - 1e-9), None)


def scan_1m(repeats):
    import kestrix

    rng = np.random.default_rng(3)
    col = kestrix.Collection(threads=1)
    for start in range(0, 1_000_000, 50_000):
        col.add(np.arange(start, start + 50_000), rng.standard_normal((50_000, 384), dtype=np.float32))
    queries = rng.standard_normal((200, 384), dtype=np.float32)

    def per_query(**options):
        def run(qs):
            for q in qs:
                col.search(q, K, exact=True, **options)

        return 1e3 / queries_per_second(run, queries, repeats)

    # Interleaved, so both see the same load.
    hamming, asymmetric = [], []
    for _ in range(3):
        hamming.append(per_query(rescore=False))
        asymmetric.append(per_query(rescore=True, oversample=1))
    h, a = sorted(hamming)[1], sorted(asymmetric)[1]
    print(f"\none query, exact scan of 1,000,000 codes: Hamming {h:.2f} ms, asymmetric {a:.2f} ms, ratio {a / h:.2f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", nargs="+", default=DATA, help="NAME=PATH.npy of each data set")
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--curve", action="store_true", help="print the curve over oversample and ef")
    parser.add_argument("--today", help="a package dir of the earlier build: its default roads run alongside")
    parser.add_argument("--scan-1m", action="store_true", help="the 1,000,000-code scan, asymmetric vs Hamming")
    parser.add_argument("--roads-json", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()

    for data_set in args.data:
        name, path = data_set.split("=", 1)
        stored_rows, stored, queries = split(path, args.queries, args.seed)
        measure = float_answer(stored_rows, stored, queries, K)
        cols = collections(stored_rows, stored)
        if args.roads_json:
            print(json.dumps(default_roads(cols, queries, measure, args.repeats)))
            continue
        print(f"\n== {name}: {len(stored):,} stored, {len(queries):,} held-out queries, k={K}")
        if args.curve:
            curve(cols, queries, measure, args.repeats)
        mine = default_roads(cols, queries, measure, args.repeats)
        today = {}
        if args.today:
            child = [sys.executable, __file__, "--roads-json", "--data", data_set, "--queries", str(args.queries)]
            child += ["--seed", str(args.seed), "--repeats", str(args.repeats)]
            env = dict(os.environ, PYTHONPATH=args.today)
            today = json.loads(subprocess.run(child, env=env, check=True, capture_output=True, text=True).stdout)
        by_threads = peers(stored_rows, stored, queries, measure, args.repeats)
        print(f"{'road':<44} {'top-1':>6} {'share':>6} {'q/s':>8} {'today q/s':>9} {'today share':>11}")
        for label, got in mine.items():
            before = today.get(label)
            extra = f" {before['qps']:>9.0f} {before['share']:>11.3f}" if before else ""
            print(f"{label:<44} {got['top1']:>6.3f} {got['share']:>6.3f} {got['qps']:>8.0f}{extra}")
        for threads, found in by_threads.items():
            for peer, rows in found.items():
                print(
                    f"{peer}, {threads} thread{'s' if threads > 1 else ''}: "
                    + ", ".join(f"ef={ef} {top1:.3f}/{share:.3f} {qps:.0f} q/s" for ef, top1, share, qps in rows)
                )
        for label, threads in (("int8 rescored, graph", 1), ("int8 rescored, graph, batch 2 threads", 2)):
            got = mine[label]
            for peer, rows in by_threads[threads].items():
                row = first_reaching(rows, got["share"])
                if row is None:
                    print(f"{label} ({got['share']:.3f}): {peer} never reaches it")
                else:
                    print(
                        f"{label} ({got['share']:.3f}) vs {peer} at ef={row[0]} ({row[2]:.3f}): "
                        f"{got['qps'] / row[3]:.2f}x its q/s"
                    )
    if args.scan_1m:
        scan_1m(args.repeats)


if __name__ == "__main__":
    main()
