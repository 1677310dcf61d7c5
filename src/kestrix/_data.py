"""A reproducible clustered data set for the demo, in plain Python.

Real sentence embeddings are not uniform noise: they gather around topics.
The generator draws ``clusters`` random centres and places every vector at a
centre plus Gaussian noise, so that near neighbours exist and recall means
something. Queries are fresh draws around the same centres, never copies of
stored vectors. The same seed gives the same numbers on every platform
(``random.Random`` is specified to be reproducible).
"""

import random
from typing import List, Tuple

from ._common import DIMENSION

Vector = List[float]


def clustered(
    n: int,
    queries: int,
    *,
    dim: int = DIMENSION,
    clusters: int = 64,
    spread: float = 1.5,
    seed: int = 7,
) -> Tuple[List[Vector], List[Vector]]:
    """Return ``(vectors, queries)``: ``n`` and ``queries`` rows of ``dim`` floats."""
    if n < 0 or queries < 0:
        raise ValueError("n and queries must be >= 0")
    if clusters < 1 or dim < 1:
        raise ValueError("clusters and dim must be >= 1")
    rng = random.Random(seed)
    gauss = rng.gauss
    centres = [[gauss(0.0, 1.0) for _ in range(dim)] for _ in range(clusters)]

    def draw() -> Vector:
        centre = centres[rng.randrange(clusters)]
        return [c + spread * gauss(0.0, 1.0) for c in centre]

    data = [draw() for _ in range(n)]
    probes = [draw() for _ in range(queries)]
    return data, probes
