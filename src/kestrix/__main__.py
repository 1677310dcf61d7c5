"""The kestrix command line: ``python -m kestrix {demo,info,bench}``.

Exit status: 0 on success, 1 when the work failed (a missing or damaged file,
a missing benchmark), 2 for a wrong command line. Errors go to stderr; results
go to stdout. Long steps draw a progress bar on stderr when it is a terminal.
"""

import argparse
import json
import math
import os
import struct
import sys
import tempfile
import time
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, TextIO, Tuple, TypeVar

from . import Kestrix, load, save
from ._data import clustered
from ._files import STORE_SECTION, read_sections, stored_length

PROG = "python -m kestrix"
T = TypeVar("T")


class CommandError(Exception):
    """A failure to report on stderr with exit status 1."""


# --------------------------------------------------------------------------- progress


class Progress:
    """A one-line progress bar on a terminal; silent anywhere else."""

    def __init__(self, stream: TextIO, enabled: Optional[bool] = None) -> None:
        self.stream = stream
        self.enabled = stream.isatty() if enabled is None else enabled

    def iterate(self, items: Sequence[T], label: str) -> Iterable[T]:
        total = len(items)
        if not self.enabled or total == 0:
            yield from items
            return
        step = max(1, total // 100)
        for i, item in enumerate(items):
            if i % step == 0:
                self._draw(label, i, total)
            yield item
        self._draw(label, total, total)
        self.stream.write("\n")
        self.stream.flush()

    def reporter(self, label: str) -> Optional[Callable[[int, int], None]]:
        """A ``progress(done, total)`` callback drawing the bar, for work that
        reports its own progress (a graph build); None where nothing is drawn."""
        if not self.enabled:
            return None

        def report(done: int, total: int) -> None:
            self._draw(label, done, max(total, 1))
            if done >= total:
                self.stream.write("\n")
                self.stream.flush()

        return report

    def _draw(self, label: str, done: int, total: int) -> None:
        width = 30
        filled = width * done // total
        bar = "#" * filled + "-" * (width - filled)
        self.stream.write(f"\r{label:<18} [{bar}] {done}/{total}")
        self.stream.flush()


# --------------------------------------------------------------------------- demo


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
    queries: Sequence[List[float]], run: Callable[[List[float]], List[Tuple[int, float]]], progress: Progress, label: str
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
        ef = args.ef[0] if args.ef else 50
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
    ef = args.ef[0] if args.ef else 50
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


# --------------------------------------------------------------------------- info

_HEADER = struct.Struct("<4sII")


_SECTION_NAMES = {1: "store", 2: "doc ids", 3: "graph", 4: "side", 5: "meta"}


def describe_file(path: str) -> Dict[str, Any]:
    """Read a store file and describe it; raise CommandError when it is not one."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as err:
        raise CommandError(f"cannot read {path!r}: {err.strerror or err}") from None
    try:
        sections, container = read_sections(data, path)
        stores = [body for kind, body in sections if kind == STORE_SECTION]
        if len(stores) != 1:
            raise ValueError("container error: NoStore")
        store = stores[0]
        db = Kestrix.deserialize(store)
    except ValueError as err:
        raise CommandError(f"{path!r} is not a readable Kestrix file ({err})") from None
    # The reader accepted it, so the header and the id words are there.
    _, version, slots = _HEADER.unpack_from(store, 0)
    ids = struct.unpack_from(f"<{slots}I", store, _HEADER.size)
    tombstoned = sum(1 for word in ids if word & 0x80000000)
    info: Dict[str, Any] = {
        "file": path,
        "format_version": version,
        "slots": slots,
        "live": slots - tombstoned,
        "tombstoned": tombstoned,
        "size_bytes": len(store),
        "trailing_bytes": len(store) - stored_length(store),
    }
    if container:
        info["file_bytes"] = len(data)
        info["sections"] = ", ".join(
            f"{_SECTION_NAMES.get(kind, f'kind {kind}')} ({len(body)} B)" for kind, body in sections
        )
        info["checksums"] = "verified"
    if version == 2 and slots:
        stamps = struct.unpack_from(f"<{slots}d", store, _HEADER.size + 4 * slots)
        finite = [s for s in stamps if math.isfinite(s)]
        if finite:
            info["oldest_insert_ms"] = min(finite)
            info["newest_insert_ms"] = max(finite)
    assert len(db) == slots
    return info


def _format_ms(value: float) -> str:
    # Any finite double is a valid timestamp to the store; the calendar only
    # reaches a few thousand years either side of 1970.
    try:
        return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(value / 1000.0))
    except (OverflowError, OSError, ValueError):
        return f"{value!r} ms since 1970 (outside the calendar)"


def cmd_info(args: argparse.Namespace) -> int:
    info = describe_file(args.file)
    if args.json:
        sys.stdout.write(json.dumps(info, indent=2) + "\n")
        return 0
    for key, value in info.items():
        if key.endswith("_ms"):
            value = _format_ms(value)
            key = key[: -len("_ms")]
        sys.stdout.write(f"{key.replace('_', ' '):<16} {value}\n")
    return 0


# --------------------------------------------------------------------------- bench


def _find_bench_script(explicit: Optional[str]) -> Optional[str]:
    if explicit is not None:
        return explicit if os.path.isfile(explicit) else None
    here = os.path.dirname(os.path.realpath(__file__))
    for root in (os.getcwd(), os.path.dirname(os.path.dirname(here))):
        candidate = os.path.join(root, "bench", "run.py")
        if os.path.isfile(candidate):
            return candidate
    return None


def cmd_bench(args: argparse.Namespace) -> int:
    script = _find_bench_script(args.script)
    if script is None:
        where = args.script if args.script else "bench/run.py (looked in the current folder and the source tree)"
        raise CommandError(
            f"the benchmark script is missing: {where}. "
            "It ships with the source tree, not the wheel: run this from a checkout, or pass --script PATH."
        )
    import runpy

    saved_argv = sys.argv
    sys.argv = [script] + list(args.args)
    try:
        runpy.run_path(script, run_name="__main__")
    except ModuleNotFoundError as err:
        raise CommandError(
            f"the benchmark needs {err.name!r}, which is not installed: "
            "pip install 'kestrix[bench]' (numpy, faiss-cpu, hnswlib, usearch)"
        ) from None
    except SystemExit as stop:
        code = stop.code
        if code is None:
            return 0
        if isinstance(code, int):
            return code
        sys.stderr.write(f"{code}\n")
        return 1
    finally:
        sys.argv = saved_argv
    return 0


# --------------------------------------------------------------------------- parser


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be >= 1, got {value}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Kestrix: a 1-bit quantised nearest-neighbour store for 384-dim embeddings.",
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    demo = sub.add_parser(
        "demo",
        help="build, index, query, save and reload a store of generated vectors",
        description=(
            "Build a store from a generated clustered data set (fixed seed, no NumPy needed), "
            "build the index, query it with the exact scan and the index, save it to a file, "
            "reload it, and print recall and latency."
        ),
    )
    demo.add_argument("--size", type=_positive, default=10000, help="vectors to store (default 10000)")
    demo.add_argument("--queries", type=_positive, default=200, help="queries to run (default 200)")
    demo.add_argument("-k", type=_positive, default=10, help="neighbours per query (default 10)")
    demo.add_argument("--clusters", type=_positive, default=64, help="clusters in the data (default 64)")
    demo.add_argument("--seed", type=int, default=7, help="seed of the data set (default 7)")
    demo.add_argument("--m", type=_positive, default=16, help="index links per node (default 16)")
    demo.add_argument(
        "--ef-construction", type=_positive, default=200, help="index build width (default 200)"
    )
    demo.add_argument(
        "--ef", type=_positive, nargs="+", default=[10, 50, 200], help="index search widths (default 10 50 200)"
    )
    demo.add_argument("--file", help="where to save the store (default: a temporary file, removed after)")
    demo.set_defaults(func=cmd_demo)

    info = sub.add_parser(
        "info",
        help="describe a saved store file",
        description="Print the slots, live and tombstoned counts, format version and size of a store file.",
    )
    info.add_argument("file", help="a file written by kestrix.save() or Kestrix.serialize()")
    info.add_argument("--json", action="store_true", help="print JSON instead of a table")
    info.set_defaults(func=cmd_info)

    bench = sub.add_parser(
        "bench",
        help="run the benchmark against other libraries (bench/run.py)",
        description=(
            "Run bench/run.py from the source tree; the arguments after 'bench' are passed to it. "
            "It needs the bench extra: pip install 'kestrix[bench]'."
        ),
    )
    bench.add_argument("--script", help="path of the benchmark script (default: bench/run.py)")
    bench.add_argument("args", nargs=argparse.REMAINDER, help="arguments for the benchmark script")
    bench.set_defaults(func=cmd_bench)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    words = list(sys.argv[1:] if argv is None else argv)
    if words[:1] == ["bench"]:
        # Everything after bench's own leading options belongs to the
        # benchmark script, in order, whatever it looks like.
        own, rest = ["bench"], words[1:]
        while rest and (rest[0] in ("-h", "--help", "--script") or rest[0].startswith("--script=")):
            own.append(rest.pop(0))
            if own[-1] == "--script" and rest:
                own.append(rest.pop(0))
        if rest[:1] == ["--"]:
            rest = rest[1:]
        args = parser.parse_args(own)
        args.args = rest
    else:
        args = parser.parse_args(words)
    try:
        return int(args.func(args))
    except CommandError as err:
        sys.stderr.write(f"{PROG} {args.command}: error: {err}\n")
        return 1
    except OSError as err:
        sys.stderr.write(f"{PROG} {args.command}: error: {err}\n")
        return 1
    except KeyboardInterrupt:
        sys.stderr.write("interrupted\n")
        return 130


if __name__ == "__main__":
    sys.exit(main())
