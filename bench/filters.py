"""Metadata filters: the document layer's one SQL query, and the LangChain store's filtered search, against peers.

    python bench/filters.py [--n 100000] [--queries 30] [--repeats 5] [--no-langchain] [--no-peers]

Documents carry realistic metadata: a category of 10 values, a numeric
field ``n`` (0 .. n-1, shuffled), three tags out of 100, and a title. The
filters select 10 %, 1 %, 0.1 % and none of them, one of each through a
compound filter, and a ``$in`` of as many values as there are documents (half
of them stored); the unfiltered search is the searches' anchor. Reported, as medians in milliseconds: the SQL query of
``DocumentStore.matching_ids`` (the allowed ids as a sorted int64 array), the
LangChain store's ``similarity_search_by_vector(k=10, filter=...)`` end to end
with the share of the exact float top-10 among the allowed documents it
returns, and the same filtered top-10 through Chroma's ``where`` and LanceDB's
prefiltered search when they are installed (both on the same vectors; LanceDB
without an index, so its answer is exact). A report, not a test.
"""

import argparse
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from run import clustered  # noqa: E402

from kestrix import DocumentStore  # noqa: E402


def metadata(n: int, seed: int = 7):
    rng = np.random.default_rng(seed)
    numbers = rng.permutation(n)
    tags = rng.integers(0, 100, (n, 3))
    words = ["river", "stone", "light", "north", "paper", "glass", "cloud", "iron", "salt", "wind"]
    return [
        {
            "category": f"c{i % 10}",
            "n": int(numbers[i]),
            "tags": [f"t{t}" for t in tags[i]],
            "title": f"{words[i % 7]} {words[i % 10]} {i}",
        }
        for i in range(n)
    ]


def filters(n: int):
    """``(label, filter, the same selection as a NumPy mask of the columns)``."""
    values = list(range(n // 2, n + n // 2))
    return [
        ("no filter", None, lambda c, x: np.ones(len(c), dtype=bool)),
        ("10 %", {"category": "c3"}, lambda c, x: c == 3),
        ("1 %", {"n": {"$lt": n // 100}}, lambda c, x: x < n // 100),
        ("0.1 %", {"n": {"$gte": n - n // 1000}}, lambda c, x: x >= n - n // 1000),
        ("none", {"category": "c10"}, lambda c, x: c == 10),
        (
            "1 %, compound",
            {"category": {"$in": ["c1", "c2"]}, "n": {"$lt": n // 20}},
            lambda c, x: (x < n // 20) & np.isin(c, [1, 2]),
        ),
        ("$in of n values", {"n": {"$in": values}}, lambda c, x: np.isin(x, values)),
    ]


def median_ms(run, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e3


def float_top(vectors, allowed, query, k):
    if len(allowed) == 0:
        return set()
    scores = vectors[allowed] @ query
    best = np.argsort(-scores, kind="stable")[:k]
    return set(allowed[best].tolist())


class _Table:
    """An embedding model that looks texts up ("doc 17" is row 17)."""

    def __init__(self, vectors):
        self.vectors = vectors

    def embed_documents(self, texts):
        return self.vectors[[int(t.split()[1]) for t in texts]]

    def embed_query(self, text):  # pragma: no cover - the bench searches by vector
        raise NotImplementedError


def langchain_store(vectors, metas):
    from langchain_core.embeddings import Embeddings

    from kestrix.langchain import KestrixVectorStore

    class Table(_Table, Embeddings):
        pass

    texts = [f"doc {i}" for i in range(len(vectors))]
    return KestrixVectorStore.from_texts(texts, Table(vectors), metas, ids=[str(i) for i in range(len(vectors))])


def chroma_search(vectors, metas):
    import chromadb

    client = chromadb.EphemeralClient()
    col = client.create_collection("bench", metadata={"hnsw:space": "ip"})
    flat = [{key: value for key, value in m.items() if key != "tags"} for m in metas]
    step = client.get_max_batch_size()
    for start in range(0, len(vectors), step):
        stop = min(len(vectors), start + step)
        col.add(ids=[str(i) for i in range(start, stop)], embeddings=vectors[start:stop], metadatas=flat[start:stop])

    def where(conditions):
        if not conditions:
            return None
        clauses = [{field: test if isinstance(test, dict) else {"$eq": test}} for field, test in conditions.items()]
        return clauses[0] if len(clauses) == 1 else {"$and": clauses}

    def search(query, conditions, k):
        found = col.query(query_embeddings=[query], n_results=k, where=where(conditions))
        return {int(i) for i in found["ids"][0]}

    return search


def lance_search(vectors, metas, folder):
    import lancedb
    import pyarrow as pa

    db = lancedb.connect(folder)
    table = db.create_table(
        "bench",
        pa.table(
            {
                "id": np.arange(len(vectors)),
                "vector": pa.FixedSizeListArray.from_arrays(pa.array(vectors.reshape(-1)), vectors.shape[1]),
                "category": [m["category"] for m in metas],
                "n": [m["n"] for m in metas],
            }
        ),
    )

    def sql(conditions):
        parts = []
        for field, test in conditions.items():
            if not isinstance(test, dict):
                parts.append(f"{field} = '{test}'")
            for op, value in test.items() if isinstance(test, dict) else ():
                if op == "$in":
                    values = ", ".join(repr(v) for v in value)
                    parts.append(f"{field} IN ({values})")
                else:
                    parts.append(f"{field} {dict(zip(['$lt', '$gte'], ['<', '>=']))[op]} {value}")
        return " AND ".join(parts)

    def search(query, conditions, k):
        found = table.search(query).metric("dot")
        if conditions:
            found = found.where(sql(conditions), prefilter=True)
        return set(found.limit(k).to_arrow()["id"].to_pylist())

    return search


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--queries", type=int, default=30, help="queries per filter for the searches")
    parser.add_argument("--repeats", type=int, default=5, help="timed runs of each SQL query; the median is shown")
    parser.add_argument("--no-langchain", action="store_true")
    parser.add_argument("--no-peers", action="store_true", help="skip Chroma and LanceDB")
    args = parser.parse_args()
    k = 10

    vectors, queries = clustered(args.n, args.queries)
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    queries /= np.linalg.norm(queries, axis=1, keepdims=True)
    metas = metadata(args.n)
    docs = DocumentStore()
    start = time.perf_counter()
    docs.upsert([str(i) for i in range(args.n)], [f"doc {i}" for i in range(args.n)], metas)
    print(f"{args.n} documents; DocumentStore.upsert of all of them: {time.perf_counter() - start:.2f} s")

    roads = {}
    if not args.no_langchain:
        store = langchain_store(vectors, metas)

        def kestrix(query, conditions, k):
            found = store.similarity_search_by_vector(query.tolist(), k=k, filter=conditions)
            return {int(d.id) for d in found}

        roads["Kestrix LangChain"] = kestrix
    if not args.no_peers:
        for name, make in (("Chroma where", chroma_search), ("LanceDB prefilter", lance_search)):
            try:
                roads[name] = (
                    make(vectors, metas) if name.startswith("Chroma") else make(vectors, metas, tempfile.mkdtemp())
                )
            except ImportError as err:
                print(f"{name}: not installed ({err})")

    print()
    # The anchor: the same selections as NumPy masks over columns in memory.
    category = np.array([int(m["category"][1:]) for m in metas])
    numbers = np.array([m["n"] for m in metas])
    header = "| filter | matching | SQL ids (ms) | NumPy mask (ms) |"
    print(header + "".join(f" {name} ms (top-10 share) |" for name in roads))
    print("|" + "---|" * (4 + len(roads)))
    for label, conditions, mask in filters(args.n):
        allowed = np.flatnonzero(mask(category, numbers))
        cells = [label, f"{len(allowed) / args.n:.1%}", "-", "-"]
        if conditions is not None:
            assert np.array_equal(docs.matching_ids(conditions), allowed)
            cells[2] = f"{median_ms(lambda: docs.matching_ids(conditions), args.repeats):.2f}"
            cells[3] = f"{median_ms(lambda: np.flatnonzero(mask(category, numbers)), args.repeats):.2f}"
        for name, search in roads.items():
            if label.startswith("$in") and name != "Kestrix LangChain":
                cells.append("-")
                continue
            times, shares = [], []
            for query in queries:
                truth = float_top(vectors, allowed, query, k)
                start = time.perf_counter()
                found = search(query, conditions, k)
                times.append(time.perf_counter() - start)
                shares.append(len(found & truth) / len(truth) if truth else float(not found))
            cells.append(f"{statistics.median(times) * 1e3:.2f} ({statistics.mean(shares):.3f})")
        print("| " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
