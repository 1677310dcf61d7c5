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
over a log of batches (read, checksums checked, each payload handed over). Figures are rows per second, the
median of the repeats with the spread beside it. Nothing here asserts a time.
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


def rows_per_second(run, rows, repeats):
    rates = []
    for _ in range(repeats):
        elapsed = run()
        rates.append(rows / elapsed)
    return statistics.median(rates), min(rates), max(rates)


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

        return rows_per_second(run, len(ids), self.repeats)

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

        return rows_per_second(run, len(ids), self.repeats)

    def log_rows(self, ids, x, threads, each):
        def run():
            with Log.create(self.path("rows.log"), "bench") as log:

                def work(t):
                    for i in range(t * each, (t + 1) * each):
                        log.append_durable(1, [ids[i : i + 1], x[i]])

                return in_threads(threads, work)

        return rows_per_second(run, threads * each, self.repeats)

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

        return rows_per_second(run, len(ids), self.repeats)

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

        return rows_per_second(run, threads * each, self.repeats)

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
    try:
        work = f"{batches} batches of {BATCH:,} rows, flush per batch"
        print(f"[batches] {work}", file=sys.stderr, flush=True)
        batch_log = bench.log_batches(ids[: batches * BATCH], x)
        bench.add(work, "Kestrix Log.append_durable", batch_log)
        batch_sqlite = bench.sqlite_batches(id_list[: batches * BATCH], blobs)
        bench.add(work, "SQLite WAL, synchronous=FULL", batch_sqlite)
        bench.add(
            f"read back {batches} logged batches", "Kestrix LogReader", bench.log_read_back(ids[: batches * BATCH], x)
        )

        single = {}
        for threads in (1, 4):
            work = f"single rows, {threads} thread{'s' if threads > 1 else ''} x {each:,}"
            print(f"[rows] {work}", file=sys.stderr, flush=True)
            single[threads] = bench.log_rows(ids, x, threads, each)
            bench.add(work, "Kestrix Log.append_durable", single[threads])
            single[("sqlite", threads)] = bench.sqlite_rows(id_list, blobs, threads, each)
            bench.add(work, "SQLite WAL, synchronous=FULL", single[("sqlite", threads)])
    finally:
        shutil.rmtree(folder, ignore_errors=True)

    print(bench.markdown())
    print()
    print(f"- batches: Kestrix / SQLite = {batch_log[0] / batch_sqlite[0]:.2f}x (target >= 2x)")
    print(f"- single rows, 4 threads / 1 thread: Kestrix {single[4][0] / single[1][0]:.2f}x (target >= 4x), ", end="")
    print(f"SQLite {single[('sqlite', 4)][0] / single[('sqlite', 1)][0]:.2f}x")
    print(f"- single rows, Kestrix / SQLite: 1 thread {single[1][0] / single[('sqlite', 1)][0]:.2f}x, ", end="")
    print(f"4 threads {single[4][0] / single[('sqlite', 4)][0]:.2f}x")


if __name__ == "__main__":
    main()
