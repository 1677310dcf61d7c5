"""The LlamaIndex store against LlamaIndex's own in-memory store, in the same run.

    python bench/llamaindex.py [--n 20000] [--queries 30]

Nodes carry 384-dim clustered unit vectors (bench/run.py's generator) and a
category of 10 values. Reported: the time to add them all, and the median
query time (``similarity_top_k=10``) unfiltered and with a filter that keeps
10 % of them, each with the share of the exact float top-10 (among the
allowed nodes) it returns, for ``kestrix.llamaindex.KestrixVectorStore``
(int8 side, exact scan below 2048 nodes, a graph above) and for
``SimpleVectorStore`` (float cosines over every node, filters tested in
Python). A report, not a test.
"""

import argparse
import statistics
import sys
import time
from pathlib import Path

import numpy as np
from llama_index.core.schema import TextNode
from llama_index.core.vector_stores import SimpleVectorStore
from llama_index.core.vector_stores.types import MetadataFilter, MetadataFilters, VectorStoreQuery

sys.path.insert(0, str(Path(__file__).resolve().parent))
from run import clustered

from kestrix.llamaindex import KestrixVectorStore


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=20000)
    parser.add_argument("--queries", type=int, default=30)
    args = parser.parse_args()
    vectors, queries = clustered(args.n, args.queries, seed=3)
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    queries /= np.linalg.norm(queries, axis=1, keepdims=True)
    category = np.arange(args.n) % 10
    nodes = [
        TextNode(text=f"node {i}", id_=f"n{i}", metadata={"category": f"c{category[i]}"}, embedding=vectors[i].tolist())
        for i in range(args.n)
    ]
    where = MetadataFilters(filters=[MetadataFilter(key="category", value="c3")])
    print(f"{args.n} nodes, {args.queries} queries, k=10; medians")
    print(f"{'store':<22} {'add (s)':>8} {'query (ms)':>11} {'recall':>7} {'10 % (ms)':>10} {'recall':>7}")
    for name, store in (("KestrixVectorStore", KestrixVectorStore()), ("SimpleVectorStore", SimpleVectorStore())):
        start = time.perf_counter()
        store.add(nodes)
        added = time.perf_counter() - start
        row = [f"{name:<22} {added:>8.2f}"]
        for filters, allowed in ((None, np.ones(args.n, bool)), (where, category == 3)):
            times, recall = [], []
            for q in queries:
                query = VectorStoreQuery(query_embedding=q.tolist(), similarity_top_k=10, filters=filters)
                start = time.perf_counter()
                found = store.query(query).ids
                times.append(time.perf_counter() - start)
                exact = np.argsort(-np.where(allowed, vectors @ q, -np.inf), kind="stable")[:10]
                recall.append(len({f"n{i}" for i in exact} & set(found)) / 10)
            row.append(f"{statistics.median(times) * 1e3:>11.2f} {statistics.mean(recall):>7.3f}")
        print(" ".join(row))


if __name__ == "__main__":
    main()
