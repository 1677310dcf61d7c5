"""The SIGKILL harness of tests/python/crash_harness.py, many times over, for the report.

    python bench/crash.py                     # 10 runs of 10 kills for each user: 100 kills each
    python bench/crash.py --runs 2 --kills 5  # a short look
    python bench/crash.py --users DurableCollection --dir /mnt/disk

Each run starts from an empty folder: a child process makes a stream of
numbered writes (adds, deletes, builds, compactions, checkpoints) and prints
each one it has had acknowledged; it is killed with SIGKILL after a random
delay, the folder is opened and compared with the acknowledged writes made on
a plain-Python model (every acknowledged write present, the write in flight
absent, whole, or cut only between two of its changes, nothing else), and the
next child goes on from what was recovered. At the end of each run a save
(a checkpoint) must leave no temporary file behind. A failure stops the bench
with the harness's message; the folder is kept then (its path is printed).

The users: a durable collection (``Collection.open``), the LangChain store's
persistent mode (needs langchain-core) and one shard of a sharded collection
(its ``_Shard`` class, without a Ray cluster; needs ray installed).
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
import crash_harness


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=10, help="runs per user, each from an empty folder")
    parser.add_argument("--kills", type=int, default=10, help="kills per run")
    parser.add_argument("--users", nargs="*", default=sorted(crash_harness.USERS), choices=sorted(crash_harness.USERS))
    parser.add_argument("--dir", default=None, help="folder on the disk to use (default: the system's temp folder)")
    parser.add_argument("--max-delay", type=float, default=0.6, help="longest wait before a kill, seconds")
    args = parser.parse_args()

    lines = ["| user | kills | writes acknowledged | in flight, found whole | seconds |", "|---|---:|---:|---:|---:|"]
    for user in args.users:
        kills = acknowledged = kept = 0
        began = time.perf_counter()
        for run in range(args.runs):
            folder = tempfile.mkdtemp(prefix=f"kestrix-crash-{user}-", dir=args.dir)
            try:
                outcome = crash_harness.run(user, folder, args.kills, seed=run, max_delay=args.max_delay)
            except AssertionError as failure:
                print(f"{user}, run {run}: {failure}\nthe folder is kept: {folder}", file=sys.stderr)
                raise SystemExit(1) from None
            shutil.rmtree(folder, ignore_errors=True)
            kills, acknowledged, kept = (
                kills + outcome.kills,
                acknowledged + outcome.acknowledged,
                kept + outcome.in_flight_kept,
            )
            print(f"  {user} run {run}: {outcome}", file=sys.stderr, flush=True)
        took = time.perf_counter() - began
        lines.append(f"| {user} | {kills} | {acknowledged:,} | {kept} | {took:.0f} |")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
