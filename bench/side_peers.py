"""Rescored roads of kestrix.Collection against int8 HNSW peers on clustered vectors.

    python bench/side_peers.py [--n 100000] [--queries 1000] [--ef 16 32 64 100] [--repeats 3] [--oversample 24]

The vectors are bench/run.py's clustered ones, scaled to unit length so the
float truth (inner-product top-10) is the cosine answer. The table is the one
examples/real_embeddings.py prints: share of the float top-10, float top-1,
queries per second on one thread, bytes per vector. A report, not a test.
"""

import argparse
import importlib.util
import sys
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from run import clustered  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument(
        "--ef", type=int, nargs="+", default=[16, 32, 64, 100], help="search widths of the graph roads and the peers"
    )
    parser.add_argument("--repeats", type=int, default=3, help="timed runs per road; the median is shown")
    parser.add_argument(
        "--oversample",
        type=int,
        nargs="+",
        default=[24],
        help="oversampling factors of the rescored graph roads (default 24)",
    )
    args = parser.parse_args()

    spec = importlib.util.spec_from_file_location("real_embeddings", HERE.parent / "examples" / "real_embeddings.py")
    example = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(example)

    stored, queries = clustered(args.n, args.queries)
    stored /= np.linalg.norm(stored, axis=1, keepdims=True)
    queries /= np.linalg.norm(queries, axis=1, keepdims=True)
    k = 10
    measure = example.float_answer(np.arange(args.n), stored, queries, k)
    print(f"{args.n} clustered vectors (unit length), {len(queries)} queries")
    example.rescored_roads(np.arange(args.n), stored, queries, measure, k, args.ef, args.repeats, args.oversample)


if __name__ == "__main__":
    main()
