"""The rescoring curve on real sentence embeddings.

    python bench/side_rescore.py EMBEDDINGS.npy [--bench build/bench/kestrix_side_bench]

EMBEDDINGS.npy is the (n, 384) float32 matrix that examples/real_embeddings.py
caches (all-MiniLM-L6-v2 on the King James Bible). The same verses as there
are held out as queries; the float truth is the inner-product top-k of each
query over the rest. The C++ program (built with -DKESTRIX_BENCH=ON) then
measures, over oversampling 1..32, the binary answer and the rescored ones.
"""

import argparse
import subprocess
import tempfile
from pathlib import Path

import numpy as np


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("embeddings")
    parser.add_argument("--bench", default="build/bench/kestrix_side_bench")
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("-k", type=int, default=10)
    args = parser.parse_args()

    vectors = np.load(args.embeddings).astype(np.float32)
    order = np.random.default_rng(args.seed).permutation(len(vectors))
    query_rows, stored_rows = order[: args.queries], np.sort(order[args.queries :])
    stored, queries = vectors[stored_rows], vectors[query_rows]
    truth = np.argsort(-(queries @ stored.T), axis=1, kind="stable")[:, : args.k].astype(np.int32)
    with tempfile.TemporaryDirectory() as work:
        for name, array in (("stored.f32", stored), ("queries.f32", queries), ("truth.i32", truth)):
            np.ascontiguousarray(array).tofile(Path(work) / name)
        subprocess.run([args.bench, work, str(args.k)], check=True)


if __name__ == "__main__":
    main()
