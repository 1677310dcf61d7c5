#!/usr/bin/env python3
"""Fuzz target: Kestrix.deserialize on arbitrary bytes (atheris / libFuzzer).

    scripts/fuzz.sh deserialize SECONDS      (builds, seeds and runs it)

The extension is built with g++, so libFuzzer sees no native edges; the
target's own reading of the format is instrumented instead, and its branches
mirror the reader's checks one for one (header, version, each section).

Every input is judged against an independent reading of the byte form: the
reader must accept exactly the inputs whose sections are all present, refuse
the rest with the one documented ValueError, and a restored store must write
back the same slots, answer a scan, compact and index without incident.
"""

import struct
import sys

import atheris

with atheris.instrument_imports():
    from kestrix import Kestrix

CORRUPTED = ("deserialize error: CorruptedData",)
TOMBSTONE_BIT = 0x80000000


@atheris.instrument_func
def expected_store(data):
    """(n, id words, timestamp bytes, vector bytes) of a well-formed input, or None."""
    if len(data) < 12 or data[:4] != b"KSTX":
        return None
    version, n = struct.unpack_from("<II", data, 4)
    if version not in (1, 2):
        return None
    stamp_bytes = 8 * n if version == 2 else 0
    end = 12 + 4 * n + stamp_bytes + 48 * n
    if len(data) < end:
        return None
    ids = data[12 : 12 + 4 * n]
    stamps = data[12 + 4 * n : 12 + 4 * n + stamp_bytes] if version == 2 else b"\0" * (8 * n)
    vectors = data[12 + 4 * n + stamp_bytes : end]
    return n, ids, stamps, vectors


@atheris.instrument_func
def TestOneInput(data):
    expected = expected_store(data)
    try:
        db = Kestrix.deserialize(data)
    except ValueError as error:
        if expected is not None:
            raise AssertionError(f"well-formed input refused: {error!r}") from error
        if error.args != CORRUPTED:
            raise
        return
    if expected is None:
        raise AssertionError("malformed input accepted")

    n, ids, stamps, vectors = expected
    assert len(db) == n and db.is_empty() == (n == 0) and not db.has_index()
    written = db.serialize()
    assert written == b"KSTX" + struct.pack("<II", 2, n) + ids + stamps + vectors, "round trip changed the slots"

    id_words = struct.unpack(f"<{n}I", ids)
    live = sum(1 for w in id_words if not w & TOMBSTONE_BIT)
    query = [1.0 if b & 1 else -1.0 for b in data[:384].ljust(384, b"\0")]
    hits = db.search_scan(query, 2**64 - 1)
    assert len(hits) == live
    assert all(not doc & TOMBSTONE_BIT and 0.0 <= score <= 1.0 for doc, score in hits)
    assert [s for _, s in hits] == sorted((s for _, s in hits), reverse=True)

    if n <= 64:  # keep the per-input cost small
        db.build_index(m=2 + (data[-1] % 6), ef_construction=1 + data[-1] % 40)
        assert db.has_index()
        indexed = db.search(query, 5, ef=7)
        assert len(indexed) <= min(5, live) and (live == 0 or indexed)
    removed = db.compact()
    assert removed == n - live and len(db) == live and not db.has_index() or removed == 0


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
