"""Peak memory of Collection.load against the size of the collection it gives.

    python bench/load_memory.py              # 61,396 vectors, every kind of file
    python bench/load_memory.py --n 20000

Each file is loaded in a fresh process: the peak resident size (VmHWM, reset
just before the load) minus the resident size before it, over the resident
size the loaded collection adds (its live size). 1.0 means the load never held
more than the collection it gives. Nothing here asserts a figure.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import clustered

KINDS = [
    ("codes only", "none", False, False),
    ("codes + graph", "none", True, False),
    ("int8 side", "int8", False, False),
    ("int8 side + graph", "int8", True, False),
    ("int8 side + graph, mmap_side=True", "int8", True, True),
]

MEASURE = """
import sys, kestrix
def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1]) * 1024
kestrix.Collection  # everything imported before the measure
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak starts again from here
before = status("VmRSS:")
col = kestrix.Collection.load(sys.argv[1], mmap_side=sys.argv[2] == "1")
after, peak = status("VmRSS:"), status("VmHWM:")
print(len(col), after - before, peak - before)
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=61_396)
    args = parser.parse_args()
    import kestrix

    x, _ = clustered(args.n, 1)
    x /= np.linalg.norm(x, axis=1, keepdims=True)
    print(f"Collection.load, {args.n:,} vectors (m=16, ef_construction=40 for the graph)")
    print("| file | bytes | live size | peak growth | peak / live |")
    print("|---|---:|---:|---:|---:|")
    with tempfile.TemporaryDirectory() as folder:
        for label, side, graph, mmap in KINDS:
            path = os.path.join(folder, f"{side}-{graph}.kxc")
            if not os.path.exists(path):
                col = kestrix.Collection(side=side)
                col.add(np.arange(args.n), x)
                if graph:
                    col.build_index(m=16, ef_construction=40)
                col.save(path)
                del col
            out = subprocess.run(
                [sys.executable, "-c", MEASURE, path, "1" if mmap else "0"],
                check=True,
                capture_output=True,
                text=True,
            ).stdout.split()
            _, live, peak = (int(v) for v in out)
            size = os.path.getsize(path)
            print(f"| {label} | {size:,} | {live:,} | {peak:,} | {peak / live:.2f}x |")


if __name__ == "__main__":
    main()
