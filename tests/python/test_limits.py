"""Sizes at and past what the process can hold: the store refuses cleanly with
MemoryError (or the documented error) and the caller's objects stay as they were.

Allocation failures are forced in child processes under RLIMIT_AS, so that a
refusal is really the allocator's and the parent is never at risk. Those
children are skipped under AddressSanitizer: its shadow memory needs far more
address space than any such limit, and its throwing operator new aborts instead
of throwing std::bad_alloc.
"""

import os
import struct
import subprocess
import sys
import textwrap

import pytest

from kestrix import Kestrix

MAX_U64 = 2**64 - 1
CORRUPTED = "deserialize error: CorruptedData"


def under_asan():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


needs_real_allocator = pytest.mark.skipif(
    not sys.platform.startswith("linux") or under_asan(),
    reason="RLIMIT_AS children need Linux and an allocator that can fail (not ASan's)",
)


def vec(bits):
    return [1.0 if (bits >> (c % 16)) & 1 else -1.0 for c in range(384)]


def small_store(n=12, with_tombstones=True):
    db = Kestrix()
    for i in range(n):
        db.insert(i % 5, vec(i * 2654435761 % 65536))
    if with_tombstones:
        db.delete(3)
    return db


def instances_alive():
    # Every instance holds a reference to the (heap) type: the count moves
    # exactly when an instance is created or freed.
    return sys.getrefcount(Kestrix)


@pytest.mark.parametrize("capacity", [2**62, 2**63, MAX_U64])
def test_capacity_too_large_to_reserve_raises_memory_error_and_creates_nothing(capacity):
    alive = instances_alive()
    with pytest.raises(MemoryError):
        Kestrix.with_capacity(capacity)
    assert instances_alive() == alive
    assert len(Kestrix.with_capacity(3)) == 0  # and the type still works


@pytest.mark.parametrize("capacity", [2**64, -1])
def test_capacity_outside_u64_is_an_overflow(capacity):
    with pytest.raises(OverflowError):
        Kestrix.with_capacity(capacity)


@pytest.mark.parametrize("m", [2**64 - 1, 2**63, 2**32 + 1])
def test_build_index_with_huge_m_works_or_refuses_without_change(m):
    db = small_store()
    db.build_index(4, 10)
    before = db.serialize()
    query = vec(12345)
    try:
        db.build_index(m=m)
    except MemoryError:
        assert db.has_index() and db.serialize() == before
        return
    assert db.has_index() and db.serialize() == before
    hits = db.search(query, 5)
    assert 0 < len(hits) <= 5
    assert [s for _, s in hits] == sorted((s for _, s in hits), reverse=True)


def test_largest_k_ef_and_ef_construction_work():
    db = small_store()
    live = len(db) - 1
    query = vec(777)
    exact = db.search_scan(query, MAX_U64)
    assert len(exact) == live
    assert db.search(query, MAX_U64, MAX_U64) == exact  # no index: the scan
    db.build_index(m=3, ef_construction=MAX_U64)
    hits = db.search(query, MAX_U64, ef=MAX_U64)
    # With ef covering every slot, layer 0 is searched exhaustively from a
    # connected graph: the index finds every live slot.
    assert sorted(hits) == sorted(exact)
    assert db.search(query, 0, MAX_U64) == []
    assert Kestrix().search(query, MAX_U64, MAX_U64) == []


@pytest.mark.parametrize("version", [1, 2])
@pytest.mark.parametrize("count", [0xFFFFFFFF, 0x80000000, 1])
def test_header_claiming_more_slots_than_present_is_corrupted(version, count):
    data = b"KSTX" + struct.pack("<II", version, count)
    with pytest.raises(ValueError) as raised:
        Kestrix.deserialize(data + b"\0" * 51)  # one short of even a version 1 slot
    assert raised.value.args == (CORRUPTED,)


# ---------------------------------------------------------------- children under RLIMIT_AS

CHILD_PRELUDE = """
import resource, struct, sys
from kestrix import Kestrix

def vm_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[0]) * resource.getpagesize()

def limit(extra):
    resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + extra, resource.RLIM_INFINITY))

def unlimit():
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))

def vec(bits):
    return [1.0 if (bits >> (c % 16)) & 1 else -1.0 for c in range(384)]

def store_bytes(n, live):
    # n slots, the first `live` of them live, the rest tombstoned.
    ids = struct.pack("<%dI" % n, *[(i % 7) | (0 if i < live else 0x80000000) for i in range(n)])
    stamps = struct.pack("<d", 0.0) * n
    vectors = b"".join(struct.pack("<12I", *([i * 2654435761 % 2**32] * 12)) for i in range(min(n, 64)))
    vectors = (vectors * (n // 64 + 1))[: 48 * n]
    return b"KSTX" + struct.pack("<II", 2, n) + ids + stamps + vectors
"""


def run_child(body):
    script = CHILD_PRELUDE + textwrap.dedent(body) + "\nprint('child ok')\n"
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=300, env=dict(os.environ)
    )
    assert result.returncode == 0 and "child ok" in result.stdout, (
        f"child died with {result.returncode}\nstdout:\n{result.stdout}\nstderr:\n{result.stderr[-3000:]}"
    )


@needs_real_allocator
def test_growth_that_cannot_be_had_raises_memory_error_and_keeps_every_slot():
    run_child(
        """
        # A growable store reallocates when its slot count reaches the reserved
        # room; fill it up to one of those points, then allow less than the next
        # step needs. Room grows 8, 12, 18, ... (x1.5); find a step near 400k.
        db = Kestrix()
        room = 8
        while room < 400_000:
            room += room // 2
        v = vec(5)
        for i in range(room):
            db.insert(i % 100, v)
        before = db.serialize()
        limit(4 << 20)
        failures = 0
        for attempt in range(3):
            try:
                db.insert(1, v)
            except MemoryError:
                failures += 1
        unlimit()
        assert failures == 3, failures
        assert len(db) == room and db.serialize() == before
        assert db.insert(2, v) == room  # and with memory back, it grows
        """
    )


@needs_real_allocator
def test_index_that_cannot_get_its_tables_keeps_the_old_index():
    run_child(
        """
        # 3M slots, 40 of them live: the old index is cheap to build, but any
        # index sizes its tables by the slot count (about 400 MB with m=16).
        n = 3_000_000
        db = Kestrix.deserialize(store_bytes(n, 40))
        db.build_index(2, 16)
        query = vec(9)
        answer = db.search(query, 10)
        before = db.serialize()
        limit(64 << 20)
        try:
            db.build_index(16, 200)
        except MemoryError:
            pass
        else:
            raise AssertionError("build_index got tables it cannot have had")
        assert db.has_index()
        assert db.search(query, 10) == answer
        unlimit()
        assert db.serialize() == before
        db.build_index(16, 200)
        assert db.has_index()
        """
    )


@needs_real_allocator
def test_capacity_beyond_the_address_space_limit_creates_nothing_and_fills_below_it():
    run_child(
        """
        alive = sys.getrefcount(Kestrix)
        limit(256 << 20)
        for capacity in (10**8, 2**32, 2**40):   # 6 GB, 257 GB, 66 TB of slots
            try:
                Kestrix.with_capacity(capacity)
            except MemoryError:
                pass
            else:
                raise AssertionError(capacity)
        assert sys.getrefcount(Kestrix) == alive
        # Just below the limit: reserved up front, then filled without moving.
        db = Kestrix.with_capacity(1_000_000)   # 60 MB of slots
        v = vec(3)
        for i in range(1_000_000):
            db.insert(i % 1000, v)
        try:
            db.insert(1, v)
        except RuntimeError as error:
            assert error.args == ("insert error: CapacityExceeded",)
        db.delete(5)
        assert db.insert(6, v) == 5
        """
    )


@needs_real_allocator
def test_restoring_and_writing_large_stores_under_a_limit_fail_cleanly():
    run_child(
        """
        data = store_bytes(2_000_000, 2_000_000)   # 120 MB
        limit(48 << 20)
        try:
            Kestrix.deserialize(data)
        except MemoryError:
            pass
        else:
            raise AssertionError("restored a store whose arrays cannot fit")
        alive = sys.getrefcount(Kestrix)
        unlimit()
        db = Kestrix.deserialize(data)
        del data
        limit(48 << 20)
        try:
            db.serialize()
        except MemoryError:
            pass
        else:
            raise AssertionError("wrote 120 MB under a 48 MB allowance")
        unlimit()
        assert len(db) == 2_000_000 and db.serialize()[:12] == b"KSTX" + struct.pack("<II", 2, 2_000_000)
        """
    )


@needs_real_allocator
def test_short_header_with_huge_count_reserves_nothing():
    run_child(
        """
        # Under a 16 MB allowance, any attempt to reserve room for 4294967295
        # slots would surface as MemoryError rather than the format error.
        limit(16 << 20)
        for version in (1, 2):
            for tail in (b"", b"\\0" * 4096):
                data = b"KSTX" + struct.pack("<II", version, 0xFFFFFFFF) + tail
                try:
                    Kestrix.deserialize(data)
                except ValueError as error:
                    assert error.args == ("deserialize error: CorruptedData",), error
                else:
                    raise AssertionError("accepted")
        """
    )


@needs_real_allocator
def test_overlong_vectors_are_counted_not_stored():
    run_child(
        """
        # A million components would take 4 MB or more if they were kept
        # until the length check; under a 2 MB allowance only a conversion
        # that stores nothing past the 385th reaches the length error. A bad
        # item at the very end is still converted and still raises its own error.
        import array
        import numpy as np
        db = Kestrix()
        n = 1_000_000
        vectors = (range(n), array.array("d", bytes(8 * n)), np.zeros(n), [0.5] * n)
        bad = list(range(n)) + ["x"]
        limit(2 << 20)
        for vector in vectors:
            for what, call in (("vector", lambda: db.insert(0, vector)), ("query", lambda: db.search(vector, 1))):
                try:
                    call()
                except ValueError as error:
                    assert error.args == ("expected 384-dim %s, got %d" % (what, n),), error
                else:
                    raise AssertionError("accepted")
        try:
            db.insert(0, bad)
        except TypeError as error:
            assert str(error).startswith("argument 'vector': "), error
        else:
            raise AssertionError("accepted")
        unlimit()
        assert len(db) == 0
        """
    )
