"""The graph's life with the data: built by the add that needs it, extended on
later adds, kept across deletes, saved and loaded with the file.

    python bench/index_life.py [--docs 100000] [--grow 200000] [--queries 200]

Every figure is taken against an anchor measured in the same run, on the same
clustered vectors (bench/run.py's generator), m=16, ef_construction=200:

- LangChain ``from_texts`` of --docs documents with precomputed embeddings
  (the graph included) against one ``Collection.build_index`` over them;
- the first query after ``from_texts`` and after ``load_local``, and
  ``load_local`` itself;
- adding 1 % more vectors to an indexed --grow-vector collection (the graph
  extended), then the first query, against a full build over all of them;
- ``Collection.load`` of the saved --grow collection with its graph, and of
  a --load-vector one (its graph built with ef_construction=16: same tables,
  same file size, a shorter run);
- recall@10 at ef=50 after deleting 30 % of the --docs documents (no rebuild)
  against a fresh build over the documents left.

Builds are timed once (they take tens of seconds); loads and first queries
are medians of --repeats fresh runs.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import EF_CONSTRUCTION, K, M, clustered, exact_distances, packed, tie_aware_recall

from kestrix import Collection

EF = 50
DELETED = 1000  # a distance no live row can have: deleted rows never count


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def median_of(repeats, fn):
    return statistics.median(timed(fn)[0] for _ in range(repeats))


def recall(col, x, queries, live_mask):
    d = exact_distances(packed(x), packed(queries))
    d[:, ~live_mask] = DELETED
    found, _ = col.search(queries, K, ef=EF)
    return tie_aware_recall(d, found)


def built(x, ids):
    col = Collection()
    col.add(ids, x)
    seconds, _ = timed(lambda: col.build_index(m=M, ef_construction=EF_CONSTRUCTION))
    return col, seconds


def section_langchain(x, queries, repeats, rows):
    from langchain_core.embeddings import Embeddings

    from kestrix.langchain import KestrixVectorStore

    vectors = x.tolist()

    class Precomputed(Embeddings):
        """Texts are row numbers; their embeddings were computed beforehand."""

        def embed_documents(self, texts):
            return [vectors[int(t)] for t in texts]

        def embed_query(self, text):
            return vectors[int(text)]

    texts = [str(i) for i in range(len(x))]
    emb = Precomputed()
    _, anchor_s = built(x, np.arange(len(x)))
    # Codes only, like the anchor build it is compared with (a default store
    # also keeps an int8 side).
    store_s, store = timed(
        lambda: KestrixVectorStore.from_texts(texts, emb, m=M, ef_construction=EF_CONSTRUCTION, side=None)
    )
    assert store.store.has_index()
    query = queries[0].tolist()
    first_s, _ = timed(lambda: store.similarity_search_by_vector(query, k=K))
    rows.append(
        (
            f"from_texts {len(x)} docs, graph included",
            store_s,
            f"{store_s / anchor_s:.2f}x one build ({anchor_s:.1f} s)",
        )
    )
    rows.append(("first query after from_texts", first_s, "through the graph"))
    with tempfile.TemporaryDirectory() as folder:
        store.save_local(folder)

        def load_and_query():
            loaded = KestrixVectorStore.load_local(folder, emb)
            assert loaded.store.has_index()
            return timed(lambda: loaded.similarity_search_by_vector(query, k=K))[0]

        runs = [timed(load_and_query) for _ in range(repeats)]
    rows.append(("load_local (with graph)", statistics.median(r[0] - r[1] for r in runs), f"median of {repeats}"))
    rows.append(("first query after load_local", statistics.median(r[1] for r in runs), f"median of {repeats}"))


def section_grow(n, n_queries, repeats, rows):
    extra = n // 100
    x, queries = clustered(n + extra, n_queries, seed=7)  # queries from the same centres
    ids = np.arange(n + extra)
    col, build_s = built(x[:n], ids[:n])
    add_s, _ = timed(lambda: col.add(ids[n:], x[n:]))
    first_s, _ = timed(lambda: col.search(queries[0], K, ef=EF))
    extended = recall(col, x, queries, np.ones(n + extra, bool))
    full, full_s = built(x, ids)
    rows.append((f"build {n} vectors", build_s, ""))
    rows.append((f"add {extra} (1 %), graph extended", add_s, f"{add_s / full_s:.1%} of a full build ({full_s:.1f} s)"))
    rows.append(
        (
            "first query after the add",
            first_s,
            f"recall@10 {extended:.3f}, full build {recall(full, x, queries, np.ones(n + extra, bool)):.3f}",
        )
    )
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "c.kxc")
        col.save(path)
        size = os.path.getsize(path)
        load_s = median_of(repeats, lambda: Collection.load(path))
    rows.append((f"Collection.load {n + extra} with graph", load_s, f"{size / 1e6:.0f} MB file, median of {repeats}"))


def section_load(n, repeats, rows):
    """Load time depends on the file's size, not on the graph's quality: the
    graph is built with a small ef_construction (same m, so the same tables)
    to keep a 1,000,000-vector run short."""
    x, _ = clustered(n, 0, seed=11)
    col = Collection()
    col.add(np.arange(n), x)
    del x
    col.build_index(m=M, ef_construction=16)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "c.kxc")
        col.save(path)
        size = os.path.getsize(path)
        del col
        load_s = median_of(repeats, lambda: Collection.load(path))
    rows.append((f"Collection.load {n} with graph (ef_c=16)", load_s, f"{size / 1e6:.0f} MB file, median of {repeats}"))


def section_deletes(x, queries, rows):
    n = len(x)
    ids = np.arange(n)
    col, _ = built(x, ids)
    gone = np.random.default_rng(3).choice(n, size=n * 3 // 10, replace=False)
    live = np.ones(n, bool)
    live[gone] = False
    delete_s, _ = timed(lambda: col.delete(gone))
    kept = recall(col, x, queries, live)
    fresh = Collection()
    fresh.add(ids[live], x[live])
    fresh.build_index(m=M, ef_construction=EF_CONSTRUCTION)
    found, _ = fresh.search(queries, K, ef=EF)
    d = exact_distances(packed(x), packed(queries))
    d[:, ~live] = DELETED
    rebuilt = tie_aware_recall(d, found)
    rows.append(
        (
            f"delete 30 % of {n}, no rebuild",
            delete_s,
            f"recall@10 ef={EF} {kept:.3f} vs fresh build {rebuilt:.3f} ({kept - rebuilt:+.3f})",
        )
    )


class Rows:
    """Prints each row as it is measured: a long run shows its progress."""

    def append(self, row):
        name, seconds, note = row
        shown = f"{seconds * 1e3:.2f} ms" if seconds < 1 else f"{seconds:.2f} s"
        print(f"{name:<44} {shown:>10}  {note}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--docs", type=int, default=100_000)
    parser.add_argument("--grow", type=int, default=200_000)
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--load", type=int, default=1_000_000, help="vectors of the load-only run")
    parser.add_argument("--skip", nargs="*", default=[], choices=["langchain", "grow", "deletes", "load"])
    args = parser.parse_args()

    x, queries = clustered(args.docs, args.queries)
    print(f"{'work':<44} {'time':>10}  against", flush=True)
    rows = Rows()
    if "langchain" not in args.skip:
        section_langchain(x, queries, args.repeats, rows)
    if "deletes" not in args.skip:
        section_deletes(x, queries, rows)
    if "grow" not in args.skip:
        section_grow(args.grow, args.queries, args.repeats, rows)
    if "load" not in args.skip:
        section_load(args.load, args.repeats, rows)


if __name__ == "__main__":
    main()
