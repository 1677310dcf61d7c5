#!/usr/bin/env python3
"""Writes the seed corpora for the fuzz targets.

    python fuzz/make_corpus.py OUT_DIR

OUT_DIR/deserialize gets well-formed stores of both byte-form versions (empty,
one slot, several slots with tombstones, duplicate ids, NaN and infinite
timestamps), every truncation of a small one, single bit flips of the header
and body, a few declared-count lies and trailing garbage. OUT_DIR/api gets a
handful of random byte strings plus the same stores (the api target also feeds
bytes to deserialize). The stores are built here from the documented layout
with struct, not with the extension, so a writer bug cannot hide a reader bug.
"""
import os
import random
import struct
import sys

MAGIC = b"KSTX"
TOMBSTONE_BIT = 0x80000000


def store_bytes(version, slots):
    """slots: list of (id_word, timestamp, 12 words)."""
    out = MAGIC + struct.pack("<II", version, len(slots))
    out += b"".join(struct.pack("<I", s[0]) for s in slots)
    if version == 2:
        out += b"".join(struct.pack("<d", s[1]) for s in slots)
    out += b"".join(struct.pack("<12I", *s[2]) for s in slots)
    return out


def sample_slots(rng, n):
    patterns = [
        (0,) * 12,
        (0xFFFFFFFF,) * 12,
        (0x55555555,) * 12,
        tuple(rng.getrandbits(32) for _ in range(12)),
    ]
    stamps = [0.0, 1700000000000.0, float("nan"), float("inf"), -float("inf"), -1.0, 1e300]
    ids = [0, 1, 5, 5, 7, 2**31 - 1, 2**31 - 1 | TOMBSTONE_BIT, 5 | TOMBSTONE_BIT]
    return [(rng.choice(ids), rng.choice(stamps), rng.choice(patterns)) for _ in range(n)]


def main():
    out_dir = sys.argv[1]
    rng = random.Random(20240601)
    seeds = {}

    valid = []
    for version in (1, 2):
        for n in (0, 1, 2, 3, 7, 16):
            valid.append(store_bytes(version, sample_slots(rng, n)))
    for i, data in enumerate(valid):
        seeds[f"valid-{i:02d}"] = data

    small = store_bytes(2, sample_slots(rng, 2))
    for cut in range(len(small)):
        seeds[f"trunc-v2-{cut:03d}"] = small[:cut]
    small1 = store_bytes(1, sample_slots(rng, 2))
    for cut in range(0, len(small1), 3):
        seeds[f"trunc-v1-{cut:03d}"] = small1[:cut]

    for i in range(64):
        data = bytearray(rng.choice(valid[1:]))
        bit = rng.randrange(len(data) * 8) if i % 2 else rng.randrange(96)  # half in the header
        data[bit // 8] ^= 1 << (bit % 8)
        seeds[f"flip-{i:02d}"] = bytes(data)

    for version in (0, 1, 2, 3, 0xFFFFFFFF):
        for n in (1, 2, 0x7FFFFFFF, 0xFFFFFFFF):
            seeds[f"lie-v{version}-n{n}"] = MAGIC + struct.pack("<II", version, n)
    seeds["trailing"] = valid[3] + b"\xff" * 29
    seeds["bad-magic"] = b"KSTY" + valid[3][4:]

    for name, data in seeds.items():
        for target in ("deserialize", "api"):
            if target == "api" and not name.startswith("valid"):
                continue
            os.makedirs(os.path.join(out_dir, target), exist_ok=True)
            with open(os.path.join(out_dir, target, name), "wb") as f:
                f.write(data)
    for i in range(32):
        with open(os.path.join(out_dir, "api", f"random-{i:02d}"), "wb") as f:
            f.write(bytes(rng.getrandbits(8) for _ in range(rng.randrange(8, 400))))
    print(f"{len(seeds)} deserialize seeds, {len(valid) + 32} api seeds in {out_dir}")


if __name__ == "__main__":
    main()
