"""``python -m kestrix demo``: build, index, query, save and reload a store of
generated vectors, and print recall and latency."""

import argparse
import math
import os
import sys
import tempfile
import time
from typing import Callable, List, Sequence, Tuple

from ._cli import CommandError, Progress
from ._data import clustered
from ._files import load, save
from ._kestrix import Kestrix
from ._native import DEFAULT_EF


def _percentile(sorted_values: List[float], fraction: float) -> float:
    if not sorted_values:
        return math.nan
    index = min(len(sorted_values) - 1, max(0, math.ceil(fraction * len(sorted_values)) - 1))
    return sorted_values[index]


def _recall(found: List[Tuple[int, float]], exact: List[Tuple[int, float]], k: int) -> float:
    """Share of the k answers that are as near as the exact k-th answer.

    Hamming distances tie often, so comparing id sets would punish a method
    for picking a different vector at the same distance. Scores are exact
    float32 values, so comparing them is exact.
    """
    if not exact:
        return 1.0
    bound = exact[-1][1]
    wanted = min(k, len(exact))
    good = sum(1 for _, score in found[:wanted] if score >= bound)
    return good / wanted


def _measure(
    queries: Sequence[List[float]],
    run: Callable[[List[float]], List[Tuple[int, float]]],
    progress: Progress,
    label: str,
) -> Tuple[List[List[Tuple[int, float]]], List[float]]:
    results = []
    times = []
    for q in progress.iterate(queries, label):
        start = time.perf_counter()
        hits = run(q)
        times.append(time.perf_counter() - start)
        results.append(hits)
    return results, times


def cmd_demo(args: argparse.Namespace) -> int:
    out = sys.stdout
    progress = Progress(sys.stderr)
    k = args.k
    t0 = time.perf_counter()
    vectors, queries = clustered(args.size, args.queries, clusters=args.clusters, seed=args.seed)
    out.write(
        f"data: {len(vectors)} clustered 384-dim vectors ({args.clusters} clusters, seed {args.seed}), "
        f"{len(queries)} queries, generated in {time.perf_counter() - t0:.1f} s\n"
    )

    db = Kestrix()
    start = time.perf_counter()
    for doc_id, vector in enumerate(progress.iterate(vectors, "inserting")):
        db.insert(doc_id, vector)
    insert_s = time.perf_counter() - start
    start = time.perf_counter()
    db.build_index(m=args.m, ef_construction=args.ef_construction)
    build_s = time.perf_counter() - start
    out.write(
        f"store: inserted {len(db)} vectors in {insert_s:.2f} s; "
        f"index (m={args.m}, ef_construction={args.ef_construction}) built in {build_s:.2f} s\n"
    )

    # One untimed query of each kind first, so the first timed one does not
    # pay for cold caches.
    if queries:
        db.search_scan(queries[0], k)
        db.search(queries[0], k)
    exact, scan_times = _measure(queries, lambda q: db.search_scan(q, k), progress, "exact scan")
    rows = [("exact scan", 1.0, scan_times)]
    indexed_results = {}

    def indexed(width: int) -> Callable[[List[float]], List[Tuple[int, float]]]:
        return lambda q: db.search(q, k, width)

    for ef in args.ef:
        found, times = _measure(queries, indexed(ef), progress, f"index ef={ef}")
        recall = sum(_recall(f, e, k) for f, e in zip(found, exact)) / max(1, len(queries))
        rows.append((f"index ef={ef}", recall, times))
        indexed_results[ef] = found

    out.write(f"\n{'method':<14} {'recall@' + str(k):>9} {'p50 ms':>8} {'p99 ms':>8} {'mean ms':>8}\n")
    for name, recall, times in rows:
        ordered = sorted(times)
        mean = sum(times) / len(times) if times else math.nan
        out.write(
            f"{name:<14} {recall:>9.3f} {_percentile(ordered, 0.5) * 1e3:>8.3f} "
            f"{_percentile(ordered, 0.99) * 1e3:>8.3f} {mean * 1e3:>8.3f}\n"
        )
    out.write("(recall: share of the k answers as near, in Hamming distance, as the exact k-th)\n\n")

    # Save, reload, and check that nothing changed on the way.
    folder = None
    if args.file is None:
        folder = tempfile.mkdtemp(prefix="kestrix-demo-")
        path = os.path.join(folder, "demo.kx")
    else:
        path = args.file
    try:
        start = time.perf_counter()
        save(db, path)
        save_s = time.perf_counter() - start
        start = time.perf_counter()
        loaded = load(path)
        load_s = time.perf_counter() - start
        size = os.path.getsize(path)
        same_bytes = loaded.serialize() == db.serialize()
        loaded.build_index(m=args.m, ef_construction=args.ef_construction)
        ef = args.ef[0] if args.ef else DEFAULT_EF
        again = [loaded.search(q, k, ef) for q in queries]
        same_results = again == indexed_results.get(ef, again)
    finally:
        if folder is not None:
            for name in os.listdir(folder):
                os.unlink(os.path.join(folder, name))
            os.rmdir(folder)
    where = "a temporary file" if args.file is None else path
    out.write(
        f"file: saved {len(db)} slots ({size / 1e6:.2f} MB) to {where} in {save_s * 1e3:.0f} ms, "
        f"reloaded in {load_s * 1e3:.0f} ms\n"
        f"      bytes identical after reload: {'yes' if same_bytes else 'NO'}; "
        f"index results identical after rebuild: {'yes' if same_results else 'NO'}\n"
    )
    if not (same_bytes and same_results):
        raise CommandError("the reloaded store differs from the saved one")
    _demo_collection(vectors, queries, args, progress)
    return 0


def _demo_collection(
    vectors: List[List[float]], queries: List[List[float]], args: argparse.Namespace, progress: Progress
) -> None:
    """The same data in a Collection: its graph saved and loaded with it."""
    from .collection import Collection

    out = sys.stdout
    col = Collection()
    col.add(list(range(len(vectors))), vectors)
    start = time.perf_counter()
    col.build_index(m=args.m, ef_construction=args.ef_construction, progress=progress.reporter("building graph"))
    build_s = time.perf_counter() - start
    ef = args.ef[0] if args.ef else DEFAULT_EF
    with tempfile.TemporaryDirectory(prefix="kestrix-demo-") as folder:
        path = os.path.join(folder, "demo.kxc")
        col.save(path)
        start = time.perf_counter()
        loaded = Collection.load(path)
        load_s = time.perf_counter() - start
        start = time.perf_counter()
        if queries:
            loaded.search(queries[0], args.k, ef=ef)
        first_s = time.perf_counter() - start
    same = all(loaded.search(q, args.k, ef=ef) == col.search(q, args.k, ef=ef) for q in queries)
    out.write(
        f"collection: graph built in {build_s:.2f} s; saved with it, loaded in {load_s * 1e3:.0f} ms "
        f"(no rebuild), first query {first_s * 1e3:.2f} ms\n"
        f"      results identical after reload: {'yes' if same else 'NO'}\n"
    )
    if not same:
        raise CommandError("the reloaded collection answers differently")
