#!/usr/bin/env python3
"""Writes the seed corpora for the fuzz targets.

    python fuzz/make_corpus.py OUT_DIR

OUT_DIR/deserialize gets well-formed stores of both byte-form versions (empty,
one slot, several slots with tombstones, duplicate ids, NaN and infinite
timestamps), every truncation of a small one, single bit flips of the header
and body, a few declared-count lies and trailing garbage. OUT_DIR/api gets a
handful of random byte strings plus the same stores (the api target also feeds
bytes to deserialize). OUT_DIR/container gets files of the section container
(a store first, then page-aligned sections, the table and the footer) with
every known kind and a skippable unknown one, their truncations and bit flips,
and entries that overlap, misalign or point far past the end; OUT_DIR/collection_file
gets the same and collection files of six slots with a side and a graph, at 384
dimensions and at others (the codes in their own section), and such files whose
codes, store and side disagree. OUT_DIR/graph gets
graphs' bytes (a two-byte slot count first) laid out by hand: empty, one layer,
two layers, and their truncations and bit flips. The stores are built here from the documented layout
with struct, not with the extension, so a writer bug cannot hide a reader bug.
"""

import os
import random
import struct
import sys
import zlib

MAGIC = b"KSTX"
TOMBSTONE_BIT = 0x80000000


def store_bytes(version, slots):
    """slots: list of (id_word, timestamp, 12 words); version 3 keeps no codes."""
    out = MAGIC + struct.pack("<II", version, len(slots))
    out += b"".join(struct.pack("<I", s[0]) for s in slots)
    if version >= 2:
        out += b"".join(struct.pack("<d", s[1]) for s in slots)
    if version != 3:
        out += b"".join(struct.pack("<12I", *s[2]) for s in slots)
    return out


def codes_bytes(dim, codes, words=None):
    """A codes section: codes of `dim` bits, each a list of its u64 words."""
    words = (dim + 63) // 64 if words is None else words
    out = b"KXCODES\0" + struct.pack("<IIIIQ", 1, dim, words, 0, len(codes))
    return out + b"".join(struct.pack(f"<{len(c)}Q", *c) for c in codes)


def dim_code(dim, seed):
    """A code of `dim` bits with its padding bits clear."""
    words = [(seed * 0x9E3779B97F4A7C15 + w * 0xBF58476D1CE4E5B9) % 2**64 for w in range((dim + 63) // 64)]
    if dim % 64:
        words[-1] &= (1 << (dim % 64)) - 1
    return words


CONTAINER_MAGIC = b"KXSECTNS"
PAGE = 4096


def container_bytes(sections, entries=None):
    """sections: list of (kind, flags, bytes); the first at offset 0, the rest
    on the next page boundary. `entries`, if given, replaces the table's
    (kind, flags, offset, length, crc) rows, to describe what is not there."""
    out = b""
    rows = []
    for kind, flags, body in sections:
        if out:
            out += b"\0" * (-len(out) % PAGE)
        rows.append((kind, flags, len(out), len(body), zlib.crc32(body)))
        out += body
    out += b"\0" * (-len(out) % 8)
    if entries:
        # A lie's checksum is right wherever it describes bytes that are there,
        # so that the check it is meant to reach is the one that refuses it.
        rows = [(k, f, o, n, zlib.crc32(out[o : o + n]) if o + n <= len(out) else 0) for k, f, o, n in entries]
    table = b"".join(struct.pack("<IIQQII", *row, 0) for row in rows)
    footer = struct.pack("<QIIII", len(out), len(rows), 1, zlib.crc32(table), 0) + CONTAINER_MAGIC
    return out + table + footer


def container_seeds(rng, stores):
    seeds = {}
    ids = struct.pack("<3Q", 1, 2**63 - 1, 7)
    layouts = [
        [],
        [(1, 0, stores[0])],
        [(1, 0, stores[3]), (2, 0, ids)],
        [(1, 0, stores[4]), (2, 0, ids), (3, 0, b"graph" * 9), (4, 0, bytes(96))],
        [(1, 0, stores[2]), (99, 1, b"skip me"), (3, 0, b"")],
        [(2, 0, ids)],
    ]
    valid = [container_bytes(layout) for layout in layouts]
    for i, data in enumerate(valid):
        seeds[f"valid-{i:02d}"] = data
    for cut in sorted({0, 1, 12, len(stores[3]), PAGE, len(valid[2]) - 33, len(valid[2]) - 32, len(valid[2]) - 1}):
        seeds[f"trunc-{cut:05d}"] = valid[2][:cut]
    for i in range(48):
        data = bytearray(rng.choice(valid[1:]))
        at = rng.randrange(len(data)) if i % 2 else len(data) - 1 - rng.randrange(96)  # half in table/footer
        data[at] ^= 1 << rng.randrange(8)
        seeds[f"flip-{i:02d}"] = bytes(data)
    store = stores[3]
    lies = {
        "overlap": [(1, 0, 0, len(store)), (2, 0, 0, 8)],
        "misaligned": [(1, 0, 0, len(store)), (2, 0, 8, 8)],
        "huge-length": [(1, 0, 0, 2**64 - 1)],
        "huge-offset": [(1, 0, 2**64 - PAGE, 16)],
        "unknown-kind": [(1, 0, 0, len(store)), (77, 0, len(store) + PAGE, 0)],
        "unknown-flag": [(1, 2, 0, len(store))],
        "padding": [(1, 0, 0, len(store) - 4)],
    }
    for name, rows in lies.items():
        seeds[f"lie-{name}"] = container_bytes([(1, 0, store)], rows)
    seeds["lie-store-later"] = container_bytes([(2, 0, ids), (1, 0, store)])
    seeds["huge-count"] = store + struct.pack("<QIIII", 0, 0xFFFFFFFF, 1, 0, 0) + CONTAINER_MAGIC
    return seeds


EMPTY_LINK = 0xFFFFFFFF


def graph_bytes(slots, m, entry, rows0, layers, rng_state=0xDEADBEEFCAFEBABE, ef=8, version=1, rule=0):
    """rows0: links per slot; layers: list of {member: links}. Strides follow
    the graph's rule: min(capacity, max(slots - 1, 1)), capacity 2m on layer 0."""
    longest = max(slots - 1, 1)
    stride0, stride = min(2 * m, longest), min(m, longest)

    def rows(rows_, width):
        counts = b"".join(struct.pack("<I", len(r)) for r in rows_)
        cells = b"".join(struct.pack("<I", x) for r in rows_ for x in r + [EMPTY_LINK] * (width - len(r)))
        return counts + cells

    out = b"KXGRAPH\0" + struct.pack(
        "<IIQQQQIIII", version, rule, slots, m, ef, rng_state, entry, len(layers), stride0, stride
    )
    out += rows(rows0, stride0)
    for layer in layers:
        members = sorted(layer)
        out += struct.pack("<I", len(members)) + b"".join(struct.pack("<I", x) for x in members)
        out += rows([layer[x] for x in members], stride)
    return struct.pack("<H", slots) + out


def graph_seeds(rng):
    seeds = {
        "empty-0": graph_bytes(0, 16, EMPTY_LINK, [], []),
        "empty-5": graph_bytes(5, 2, EMPTY_LINK, [[]] * 5, []),
        "flat-3": graph_bytes(3, 2, 0, [[1, 2], [0, 2], [0, 1]], []),
        "two-layers": graph_bytes(
            6, 2, 4, [[1, 2], [0, 4], [0, 5], [], [1, 5], [2, 4]], [{1: [4], 4: [1, 5], 5: [4]}, {4: []}]
        ),
        # Extended keeping every node's last way in.
        "keep-way-in": graph_bytes(
            6,
            2,
            4,
            [[1, 2], [0, 4], [0, 5], [], [1, 5], [2, 4]],
            [{1: [4], 4: [1, 5], 5: [4]}, {4: []}],
            version=2,
            rule=1,
        ),
    }
    base = seeds["two-layers"]
    for cut in range(0, len(base), 7):
        seeds[f"trunc-{cut:03d}"] = base[:cut]
    for i in range(48):
        data = bytearray(base)
        bit = rng.randrange(len(data) * 8) if i % 2 else rng.randrange(66 * 8)  # half in the header
        data[bit // 8] ^= 1 << (bit % 8)
        seeds[f"flip-{i:02d}"] = bytes(data)
    return seeds


def collection_seeds(graphs):
    """Collection files: a store of six live slots, their document ids, a side
    of int8 rows, the graphs laid out by hand for six slots."""
    slots = [(i, 1700000000000.0, (i * 0x01010101,) * 12) for i in range(6)]
    store = store_bytes(2, slots)
    ids = struct.pack("<6Q", *range(6))
    row = bytes(range(1, 127)) * 3 + bytes(6) + struct.pack("<f", 0.01)
    side = b"KXSIDE\0\0" + struct.pack("<IIQQ", 1, 1, 388, 6) + bytes(32) + row * 6
    seeds = {}
    for name in ("two-layers", "keep-way-in"):
        graph = graphs[name][2:]  # without the fuzz input's slot count
        seeds[f"collection-{name}"] = container_bytes([(1, 0, store), (2, 0, ids), (4, 0, side), (3, 0, graph)])
    seeds["collection-plain"] = container_bytes([(1, 0, store), (2, 0, ids)])
    # Other dimensions: slots without codes, the codes in their own section,
    # a side of rows as wide as the dimension.
    slots3 = store_bytes(3, slots)
    for dim in (1, 65, 768):
        codes = codes_bytes(dim, [dim_code(dim, i) for i in range(6)])
        int8 = bytes((i * 7) % 127 for i in range(dim)) + struct.pack("<f", 0.01)
        side = b"KXSIDE\0\0" + struct.pack("<IIQQ", 1, 1, dim + 4, 6) + bytes(32) + int8 * 6
        graph = graphs["keep-way-in"][2:]
        seeds[f"collection-dim{dim}"] = container_bytes(
            [(1, 0, slots3), (5, 0, codes), (2, 0, ids), (4, 0, side), (3, 0, graph)]
        )
    codes65 = [dim_code(65, i) for i in range(6)]
    padded = [list(c) for c in codes65]
    padded[3][1] |= 1 << 63
    half = b"KXSIDE\0\0" + struct.pack("<IIQQ", 1, 2, 2 * 64, 6) + bytes(32) + bytes(2 * 64) * 6
    lies = {
        "padding-bit": [(1, 0, slots3), (5, 0, codes_bytes(65, padded)), (2, 0, ids)],
        "codes-count": [(1, 0, slots3), (5, 0, codes_bytes(65, codes65[:5])), (2, 0, ids)],
        "codes-words": [(1, 0, slots3), (5, 0, codes_bytes(65, [c + [0] for c in codes65], words=3)), (2, 0, ids)],
        "codes-missing": [(1, 0, slots3), (2, 0, ids)],
        "codes-beside-v2": [(1, 0, store), (5, 0, codes_bytes(65, codes65)), (2, 0, ids)],
        "side-other-dim": [(1, 0, slots3), (5, 0, codes_bytes(65, codes65)), (2, 0, ids), (4, 0, half)],
    }
    for name, sections in lies.items():
        seeds[f"collection-{name}"] = container_bytes(sections)
    return seeds


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

    graphs = graph_seeds(rng)
    os.makedirs(os.path.join(out_dir, "graph"), exist_ok=True)
    for name, data in graphs.items():
        with open(os.path.join(out_dir, "graph", name), "wb") as f:
            f.write(data)

    containers = container_seeds(rng, valid[6:])
    collections = dict(containers, **collection_seeds(graphs))
    for target, files in (("container", containers), ("collection_file", collections)):
        os.makedirs(os.path.join(out_dir, target), exist_ok=True)
        for name, data in files.items():
            with open(os.path.join(out_dir, target, name), "wb") as f:
                f.write(data)

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
    print(
        f"{len(seeds)} deserialize seeds, {len(valid) + 32} api seeds, {len(containers)} container seeds in {out_dir}"
    )


if __name__ == "__main__":
    main()
