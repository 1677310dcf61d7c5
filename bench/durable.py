"""Durable appends to kestrix's write-ahead log against SQLite, in one run on one machine.

    python bench/durable.py                  # 40 batches of 1,000 rows; 1,000 single rows a thread
    python bench/durable.py --quick          # 10 batches; 200 single rows a thread
    python bench/durable.py --dir /mnt/disk  # the disk to measure (default: the system's temp folder)

Every write is durable before the next one starts: the log flushes after
each append (group commit shares one flush among the threads waiting for
it); SQLite runs in WAL mode with synchronous=FULL, one transaction per batch
or per row, each thread with its own connection. A row is one int64 id and
384 float32 components (1,544 bytes); SQLite stores the components as one
blob per row, made before the clock starts. "read back" is recovery's pass
over a log of batches (read, checksums checked, each payload handed over).
Figures are rows per second, the median of the repeats with the spread
beside it. Nothing here asserts a time.

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
    args = parser.parse_args()
    batches, each = (10, 200) if args.quick else (40, 1000)

    rng = np.random.default_rng(7)
    n = max(batches * BATCH, 4 * each)
    ids = np.arange(n, dtype=np.int64)
    x = rng.standard_normal((n, DIM)).astype(np.float32)
    id_list = ids.tolist()
    blobs = [row.tobytes() for row in x]

    folder = tempfile.mkdtemp(prefix="kestrix-durable-", dir=args.dir)
    bench = Bench(folder, args.repeats)
    log, sqlite = "Kestrix Log.append_durable", "SQLite WAL, synchronous=FULL"
    plain = "file: write + fdatasync per row"
    try:
        rows = batches * BATCH
        batch_work = f"{batches} batches of {BATCH:,} rows, flush per batch"
        print(f"[batches] {batch_work}", file=sys.stderr, flush=True)
        batch = interleaved(
            {
                log: bench.log_batches(ids[:rows], x),
                sqlite: bench.sqlite_batches(id_list[:rows], blobs),
                "read": bench.log_read_back(ids[:rows], x),
            },
            args.repeats,
        )
        bench.add(batch_work, log, batch[log])
        bench.add(batch_work, sqlite, batch[sqlite])
        bench.add(f"read back {batches} logged batches", "Kestrix LogReader", batch["read"])

        print(f"[rows] single rows, 1 and 4 threads x {each:,}", file=sys.stderr, flush=True)
        runs = {}
        for threads in (1, 4):
            runs[(log, threads)] = bench.log_rows(ids, x, threads, each)
            runs[(sqlite, threads)] = bench.sqlite_rows(id_list, blobs, threads, each)
            runs[(plain, threads)] = bench.plain_rows(ids, x, threads, each)
        single = interleaved(runs, args.repeats)
        for threads in (1, 4):
            work = f"single rows, {threads} thread{'s' if threads > 1 else ''} x {each:,}"
            for system in (log, sqlite, plain):
                bench.add(work, system, single[(system, threads)])
    finally:
        shutil.rmtree(folder, ignore_errors=True)

    def ratio(a, b):
        return f"{a[0] / b[0]:.2f}x"

    print(bench.markdown())
    print()
    print(f"- batches: Kestrix / SQLite = {ratio(batch[log], batch[sqlite])} (target >= 2x)")
    print(
        f"- single rows, 4 threads / 1 thread: Kestrix {ratio(single[(log, 4)], single[(log, 1)])} (target >= 4x), "
        f"SQLite {ratio(single[(sqlite, 4)], single[(sqlite, 1)])}, "
        f"file flushed by each thread {ratio(single[(plain, 4)], single[(plain, 1)])}"
    )
    print(
        f"- single rows, Kestrix / SQLite: 1 thread {ratio(single[(log, 1)], single[(sqlite, 1)])}, "
        f"4 threads {ratio(single[(log, 4)], single[(sqlite, 4)])}"
    )
    print(
        f"- single rows, 4 threads, Kestrix / file flushed by each thread: {ratio(single[(log, 4)], single[(plain, 4)])}"
    )


if __name__ == "__main__":
    main()
