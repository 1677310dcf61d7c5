"""Durable writes: kestrix's write-ahead log and durable collections against SQLite, Chroma and
LanceDB, in one run on one machine.

    python bench/durable.py                  # 40 batches of 1,000 rows; 1,000 single rows a thread;
                                             # reopen: 100,000 documents with a graph, 100,000 logged adds
    python bench/durable.py --quick          # 10 batches; 200 single rows a thread; reopen 20,000 + 20,000
    python bench/durable.py --dir /mnt/disk  # the disk to measure (default: the system's temp folder)
    python bench/durable.py --only reopen --base 1000000 --logged 100000

Every write is durable before the next one starts: the log flushes after
each append (group commit shares one flush among the threads waiting for
it); SQLite runs in WAL mode with synchronous=FULL, one transaction per batch
or per row, each thread with its own connection. A row is one int64 id and
384 float32 components (1,544 bytes); SQLite stores the components as one
blob per row, made before the clock starts. "read back" is recovery's pass
over a log of batches (read, checksums checked, each payload handed over).
Figures are rows per second, the median of the repeats with the spread
beside it. Nothing here asserts a time.

A durable collection (``Collection.open``, side "none") makes each ``add``
durable before it returns: its record holds the ids, the 48-byte codes and
the insertion times. Chroma (``PersistentClient``) and LanceDB
(``lancedb.connect``) add the same batches to their persistent collections
at their default settings, which do not promise that a batch is on the disk
when its call returns: their figures are a ceiling for durable adds of theirs.

Reopen: a durable collection of ``--base`` documents with a graph is
checkpointed, then takes ``--logged`` more in batches of 1,000 (one log
record each; the graph is extended by each add) and is closed. Opening it
again (load the checkpoint, replay the records) is set against loading the
checkpoint as a plain collection and adding the same rows in one call.

The file flushed by each thread (os.write + os.fdatasync per row, no group
commit of its own) is the floor for single rows: the kernel may already
batch concurrent flushes of one file, so "4 threads / 1 thread" alone does
not isolate what the log's group commit adds; its 4-thread row does.
"""

from __future__ import annotations

import argparse
import os
import shutil
import sqlite3
import statistics
import sys
import tempfile
import threading
import time

import numpy as np

from kestrix import Collection
from kestrix._native import Log, LogReader

DIM = 384
BATCH = 1000


def interleaved(runs, repeats):
    """{name: (run, rows)} -> {name: (median, min, max) rows/s}. The runs take
    turns, repeat by repeat, so that a disk whose flushes slow down or speed up
    during the bench (a shared one) weighs on all of them alike."""
    rates = {name: [] for name in runs}
    for _ in range(repeats):
        for name, (run, rows) in runs.items():
            rates[name].append(rows / run())
    return {name: (statistics.median(r), min(r), max(r)) for name, r in rates.items()}


def in_threads(threads, work):
    """Runs work(t) on `threads` threads started together; the wall time of all of them."""
    start = threading.Barrier(threads + 1)

    def body(t):
        start.wait()
        work(t)

    pool = [threading.Thread(target=body, args=(t,)) for t in range(threads)]
    for thread in pool:
        thread.start()
    start.wait()
    began = time.perf_counter()
    for thread in pool:
        thread.join()
    return time.perf_counter() - began


def interleaved_seconds(runs, repeats):
    """{name: run} -> {name: median seconds}, the runs taking turns."""
    took = {name: [] for name in runs}
    for _ in range(repeats):
        for name, run in runs.items():
            took[name].append(run())
    return {name: statistics.median(t) for name, t in took.items()}


class Bench:
    def __init__(self, folder, repeats):
        self.folder = folder
        self.repeats = repeats
        self.runs = 0
        self.rows = []

    def path(self, name):
        self.runs += 1
        return os.path.join(self.folder, f"{self.runs}-{name}")

    def add(self, work, system, result, note=""):
        med, low, high = result
        self.rows.append((work, system, med, low, high, note))
        print(f"  {work:<44} {system:<34} {med:>12,.0f} rows/s ({low:,.0f}..{high:,.0f}) {note}", file=sys.stderr)

    # -- Kestrix log ----------------------------------------------------------

    def log_batches(self, ids, x):
        def run():
            with Log.create(self.path("batches.log"), "bench") as log:
                began = time.perf_counter()
                for start in range(0, len(ids), BATCH):
                    log.append_durable(1, [ids[start : start + BATCH], x[start : start + BATCH]])
                return time.perf_counter() - began

        return run, len(ids)

    def log_read_back(self, ids, x):
        """Recovery's pass over the batch log: every record read, checked and handed over."""
        path = self.path("read.log")
        with Log.create(path, "bench") as log:
            for start in range(0, len(ids), BATCH):
                log.append(1, [ids[start : start + BATCH], x[start : start + BATCH]])

        def run():
            began = time.perf_counter()
            for _, _, payload in LogReader(path, "bench"):
                np.frombuffer(payload, dtype=np.float32, offset=8 * BATCH)
            return time.perf_counter() - began

        return run, len(ids)

    def log_rows(self, ids, x, threads, each):
        def run():
            with Log.create(self.path("rows.log"), "bench") as log:

                def work(t):
                    for i in range(t * each, (t + 1) * each):
                        log.append_durable(1, [ids[i : i + 1], x[i]])

                return in_threads(threads, work)

        return run, threads * each

    # -- the floor: a plain file, each thread flushing its own rows -----------

    def plain_rows(self, ids, x, threads, each):
        def run():
            fd = os.open(self.path("rows.plain"), os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600)

            def work(t):
                for i in range(t * each, (t + 1) * each):
                    os.write(fd, ids[i : i + 1].tobytes() + x[i].tobytes())
                    os.fdatasync(fd)

            took = in_threads(threads, work)
            os.close(fd)
            return took

        return run, threads * each

    # -- SQLite ---------------------------------------------------------------

    def sqlite(self, name):
        path = self.path(name)
        con = sqlite3.connect(path, isolation_level=None, timeout=600, check_same_thread=False)
        con.execute("PRAGMA journal_mode=WAL")
        con.execute("PRAGMA synchronous=FULL")
        con.execute("CREATE TABLE rows (id INTEGER PRIMARY KEY, vector BLOB NOT NULL)")
        return path, con

    def sqlite_batches(self, ids, blobs):
        def run():
            _, con = self.sqlite("batches.db")
            began = time.perf_counter()
            for start in range(0, len(ids), BATCH):
                con.execute("BEGIN")
                con.executemany(
                    "INSERT INTO rows VALUES (?, ?)", zip(ids[start : start + BATCH], blobs[start : start + BATCH])
                )
                con.execute("COMMIT")
            took = time.perf_counter() - began
            con.close()
            return took

        return run, len(ids)

    def sqlite_rows(self, ids, blobs, threads, each):
        def run():
            path, first = self.sqlite("rows.db")
            connections = [first] + [
                sqlite3.connect(path, isolation_level=None, timeout=600, check_same_thread=False)
                for _ in range(threads - 1)
            ]
            for con in connections[1:]:
                con.execute("PRAGMA synchronous=FULL")

            def work(t):
                con = connections[t]
                for i in range(t * each, (t + 1) * each):
                    con.execute("INSERT INTO rows VALUES (?, ?)", (ids[i], blobs[i]))

            took = in_threads(threads, work)
            for con in connections:
                con.close()
            return took

        return run, threads * each

    # -- durable collections --------------------------------------------------

    def collection_batches(self, ids, x):
        def run():
            with Collection.open(self.path("batches.kxd")) as col:
                began = time.perf_counter()
                for start in range(0, len(ids), BATCH):
                    col.add(ids[start : start + BATCH], x[start : start + BATCH])
                return time.perf_counter() - began

        return run, len(ids)

    def collection_rows(self, ids, x, threads, each):
        def run():
            with Collection.open(self.path("rows.kxd")) as col:

                def work(t):
                    for i in range(t * each, (t + 1) * each):
                        col.add(ids[i : i + 1], x[i : i + 1])

                return in_threads(threads, work)

        return run, threads * each

    # -- Chroma and LanceDB, persistent -----------------------------------------

    def chroma_batches(self, ids, x):
        import chromadb
        from chromadb.config import Settings

        keys = [str(i) for i in ids]

        def run():
            client = chromadb.PersistentClient(path=self.path("chroma"), settings=Settings(anonymized_telemetry=False))
            col = client.create_collection("rows")
            began = time.perf_counter()
            for start in range(0, len(ids), BATCH):
                col.add(ids=keys[start : start + BATCH], embeddings=x[start : start + BATCH])
            return time.perf_counter() - began

        return run, len(ids)

    def lance_batches(self, ids, x):
        import lancedb
        import pyarrow as pa

        schema = pa.schema([("id", pa.int64()), ("vector", pa.list_(pa.float32(), DIM))])
        tables = [
            pa.Table.from_arrays(
                [
                    pa.array(ids[start : start + BATCH]),
                    pa.FixedSizeListArray.from_arrays(pa.array(x[start : start + BATCH].ravel()), DIM),
                ],
                schema=schema,
            )
            for start in range(0, len(ids), BATCH)
        ]

        def run():
            table = lancedb.connect(self.path("lance")).create_table("rows", schema=schema)
            began = time.perf_counter()
            for batch in tables:
                table.add(batch)
            return time.perf_counter() - began

        return run, len(ids)

    # -- reopen after logged adds ----------------------------------------------

    def reopen(self, base, logged, graph):
        """(reopen, load + one add, load alone) seconds, over a durable
        collection of ``base`` documents (with a graph when ``graph``)
        checkpointed, then ``logged`` more added in batches of 1,000."""
        rng = np.random.default_rng(11)
        folder = self.path("reopen.kxd")
        with Collection.open(folder) as col:
            for start in range(0, base, 100_000):
                rows = min(100_000, base - start)
                col.add(np.arange(start, start + rows), rng.standard_normal((rows, DIM), dtype=np.float32))
            if graph:
                col.build_index()
            col.checkpoint()
            (checkpoint,) = [name for name in os.listdir(folder) if name.endswith(".kx")]
            new_ids = np.arange(base, base + logged)
            new_rows = rng.standard_normal((logged, DIM), dtype=np.float32)
            for start in range(0, logged, BATCH):
                col.add(new_ids[start : start + BATCH], new_rows[start : start + BATCH])
        checkpoint = os.path.join(folder, checkpoint)

        def reopen():
            began = time.perf_counter()
            with Collection.open(folder) as col:
                took = time.perf_counter() - began
                assert len(col) == base + logged and col.recovery.replayed == logged // BATCH
            return took

        def load_and_add():
            began = time.perf_counter()
            col = Collection.load(checkpoint)
            col.add(new_ids, new_rows)
            return time.perf_counter() - began

        def load():
            began = time.perf_counter()
            Collection.load(checkpoint)
            return time.perf_counter() - began

        return interleaved_seconds({"reopen": reopen, "load + add": load_and_add, "load": load}, self.repeats)

    def markdown(self):
        lines = ["| work | system | rows/s | spread |", "|---|---|---:|---:|"]
        for work, system, med, low, high, note in self.rows:
            name = system + (f" ({note})" if note else "")
            lines.append(f"| {work} | {name} | {med:,.0f} | {low:,.0f}..{high:,.0f} |")
        return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--dir", default=None, help="folder on the disk to measure")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument(
        "--only", nargs="*", default=["batches", "rows", "reopen"], choices=["batches", "rows", "reopen"]
    )
    parser.add_argument("--base", type=int, default=None, help="reopen: documents in the checkpoint")
    parser.add_argument(
        "--logged", type=int, default=None, help="reopen: documents added after it (a multiple of 1,000)"
    )
    args = parser.parse_args()
    batches, each = (10, 200) if args.quick else (40, 1000)
    base = args.base or (20_000 if args.quick else 100_000)
    logged = args.logged or (20_000 if args.quick else 100_000)

    rng = np.random.default_rng(7)
    n = max(batches * BATCH, 4 * each)
    ids = np.arange(n, dtype=np.int64)
    x = rng.standard_normal((n, DIM)).astype(np.float32)
    id_list = ids.tolist()
    blobs = [row.tobytes() for row in x]

    folder = tempfile.mkdtemp(prefix="kestrix-durable-", dir=args.dir)
    bench = Bench(folder, args.repeats)
    log, sqlite = "Kestrix Log.append_durable", "SQLite WAL, synchronous=FULL"
    durable, chroma, lance = "Kestrix Collection.open, add", "Chroma PersistentClient, add", "LanceDB table.add"
    plain = "file: write + fdatasync per row"
    summary = []

    def ratio(a, b):
        return f"{a[0] / b[0]:.2f}x"

    try:
        if "batches" in args.only:
            rows = batches * BATCH
            batch_work = f"{batches} batches of {BATCH:,} rows, flush per batch"
            print(f"[batches] {batch_work}", file=sys.stderr, flush=True)
            batch = interleaved(
                {
                    log: bench.log_batches(ids[:rows], x),
                    durable: bench.collection_batches(ids[:rows], x),
                    sqlite: bench.sqlite_batches(id_list[:rows], blobs),
                    chroma: bench.chroma_batches(id_list[:rows], x),
                    lance: bench.lance_batches(ids[:rows], x),
                    "read": bench.log_read_back(ids[:rows], x),
                },
                args.repeats,
            )
            for system in (log, durable, sqlite, chroma, lance):
                bench.add(batch_work, system, batch[system], "" if system not in (chroma, lance) else "no flush asked")
            bench.add(f"read back {batches} logged batches", "Kestrix LogReader", batch["read"])
            faster = max(batch[chroma][0], batch[lance][0])
            summary += [
                f"- batches: Kestrix log / SQLite = {ratio(batch[log], batch[sqlite])}, "
                f"durable collection / SQLite = {ratio(batch[durable], batch[sqlite])} (target >= 2x)",
                f"- batches: durable collection / the faster of Chroma and LanceDB = {batch[durable][0] / faster:.2f}x "
                f"(target >= 1x; Chroma {batch[chroma][0]:,.0f}, LanceDB {batch[lance][0]:,.0f} rows/s)",
            ]

        if "rows" in args.only:
            print(f"[rows] single rows, 1 and 4 threads x {each:,}", file=sys.stderr, flush=True)
            runs = {}
            for threads in (1, 4):
                runs[(log, threads)] = bench.log_rows(ids, x, threads, each)
                runs[(durable, threads)] = bench.collection_rows(ids, x, threads, each)
                runs[(sqlite, threads)] = bench.sqlite_rows(id_list, blobs, threads, each)
                runs[(plain, threads)] = bench.plain_rows(ids, x, threads, each)
            single = interleaved(runs, args.repeats)
            for threads in (1, 4):
                work = f"single rows, {threads} thread{'s' if threads > 1 else ''} x {each:,}"
                for system in (log, durable, sqlite, plain):
                    bench.add(work, system, single[(system, threads)])
            summary += [
                f"- single rows, 4 threads / 1 thread: durable collection {ratio(single[(durable, 4)], single[(durable, 1)])}"
                f" (target >= 4x), Kestrix log {ratio(single[(log, 4)], single[(log, 1)])}, "
                f"SQLite {ratio(single[(sqlite, 4)], single[(sqlite, 1)])}, "
                f"file flushed by each thread {ratio(single[(plain, 4)], single[(plain, 1)])}",
                f"- single rows, durable collection / SQLite: 1 thread {ratio(single[(durable, 1)], single[(sqlite, 1)])}, "
                f"4 threads {ratio(single[(durable, 4)], single[(sqlite, 4)])}",
                f"- single rows, 4 threads, durable collection / file flushed by each thread: "
                f"{ratio(single[(durable, 4)], single[(plain, 4)])}",
            ]

        if "reopen" in args.only:
            for graph in (False, True):
                what = f"{base:,} documents{' with a graph' if graph else ''}, {logged:,} logged adds"
                print(f"[reopen] {what}", file=sys.stderr, flush=True)
                took = bench.reopen(base, logged, graph)
                summary.append(
                    f"- reopen, {what}: {took['reopen']:.2f} s; load + one add of the same rows "
                    f"{took['load + add']:.2f} s (load alone {took['load']:.2f} s): "
                    f"{took['reopen'] / took['load + add']:.2f}x (target <= 1.2x)"
                )
    finally:
        shutil.rmtree(folder, ignore_errors=True)

    print(bench.markdown())
    print()
    print("\n".join(summary))


if __name__ == "__main__":
    main()
