"""The rescoring curve, and what rescoring costs beside the candidate search.

    python bench/side_rescore.py EMBEDDINGS.npy [--bench build/bench/kestrix_side_bench]
    python bench/side_rescore.py --clustered 1000000 [--scan-only]

EMBEDDINGS.npy is the (n, 384) float32 matrix that examples/real_embeddings.py
caches (all-MiniLM-L6-v2 on the King James Bible); the same verses as there
are held out as queries. --clustered N takes bench/run.py's clustered vectors
instead, scaled to unit length. The float truth is the inner-product top-k of
each query over the rest. The C++ program (built with -DKESTRIX_BENCH=ON) then
measures, over oversampling 1..32, the binary answer and the rescored ones, and
the median microseconds of the candidate search and of the rescoring.
"""

import argparse
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("embeddings", nargs="?")
    parser.add_argument("--clustered", type=int, default=0, help="N clustered unit vectors instead of embeddings")
    parser.add_argument("--scan-only", action="store_true", help="skip the graph road (and its build)")
    parser.add_argument("--bench", default="build/bench/kestrix_side_bench")
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("-k", type=int, default=10)
    args = parser.parse_args()

    if args.clustered:
        sys.path.insert(0, str(Path(__file__).resolve().parent))
        from run import clustered

        stored, queries = clustered(args.clustered, args.queries)
        stored /= np.linalg.norm(stored, axis=1, keepdims=True)
        queries /= np.linalg.norm(queries, axis=1, keepdims=True)
    elif args.embeddings:
        vectors = np.load(args.embeddings).astype(np.float32)
        order = np.random.default_rng(args.seed).permutation(len(vectors))
        query_rows, stored_rows = order[: args.queries], np.sort(order[args.queries :])
        stored, queries = vectors[stored_rows], vectors[query_rows]
    else:
        parser.error("give EMBEDDINGS.npy or --clustered N")
    stored, queries = stored.astype(np.float32), queries.astype(np.float32)
    truth = np.empty((len(queries), args.k), dtype=np.int32)
    for start in range(0, len(queries), 100):
        part = queries[start : start + 100] @ stored.T
        truth[start : start + 100] = np.argsort(-part, axis=1, kind="stable")[:, : args.k]
    with tempfile.TemporaryDirectory() as work:
        for name, array in (("stored.f32", stored), ("queries.f32", queries), ("truth.i32", truth)):
            np.ascontiguousarray(array).tofile(Path(work) / name)
        command = [args.bench, work, str(args.k)] + (["scan"] if args.scan_only else [])
        subprocess.run(command, check=True)


if __name__ == "__main__":
    main()
