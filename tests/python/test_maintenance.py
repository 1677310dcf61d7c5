"""The TTL sweep (run_gc) and compaction, observed through serialize()."""

import math
import struct
import time

import numpy as np
import pytest
from conftest import (
    DIM,
    TOMBSTONE_BIT,
    assert_raises_exactly,
    examples,
    first_bits,
    now_ms,
    pack_store,
    parse_store,
    state,
    vec_from_bits,
)
from hypothesis import given, settings
from hypothesis import strategies as st

from kestrix import Kestrix

FAR_FUTURE = 1e18
NAN_PAYLOAD = struct.pack("<Q", 0x7FF8_0000_DEAD_BEEF)


def crafted(timestamps, tombstoned=(), ids=None):
    ids = list(range(1, len(timestamps) + 1)) if ids is None else ids
    words = [i | TOMBSTONE_BIT if s in tombstoned else i for s, i in enumerate(ids)]
    return Kestrix.deserialize(pack_store(words, timestamps, [first_bits(s + 1) for s in range(len(ids))]))


def tombstones(db):
    return [bool(w & TOMBSTONE_BIT) for w in parse_store(db.serialize()).ids]


# --- run_gc ------------------------------------------------------------------------


def test_gc_and_compact_on_an_empty_store_return_zero():
    db = Kestrix()
    assert db.run_gc(0) == 0
    assert db.run_gc(-math.inf) == 0
    assert db.compact() == 0
    assert db.is_empty()


def _timestamps():
    now = now_ms()
    return [0.0, math.nan, FAR_FUTURE, now - 10_000, math.inf, -math.inf, NAN_PAYLOAD, -0.0]


@pytest.mark.parametrize(
    "ttl, swept",
    [
        # slots: epoch, NaN, far future, ten seconds ago, +inf, -inf, NaN payload, -0.0
        (5_000, [1, 0, 0, 1, 0, 1, 0, 1]),
        (9_000, [1, 0, 0, 1, 0, 1, 0, 1]),
        (0, [1, 0, 0, 1, 0, 1, 0, 1]),
        (-1, [1, 0, 0, 1, 0, 1, 0, 1]),
        (600_000, [1, 0, 0, 0, 0, 1, 0, 1]),
        (math.nan, [0] * 8),
        (-math.nan, [0] * 8),
        (math.inf, [0] * 8),
        (-math.inf, [1, 0, 1, 1, 0, 1, 0, 1]),
        (-2 * FAR_FUTURE, [1, 0, 1, 1, 0, 1, 0, 1]),
        (1e300, [0, 0, 0, 0, 0, 1, 0, 0]),
    ],
)
def test_gc_sweeps_exactly_the_slots_older_than_ttl(ttl, swept):
    db = crafted(_timestamps())
    before = parse_store(db.serialize())
    assert db.run_gc(ttl) == sum(swept)
    after = parse_store(db.serialize())
    assert [bool(w & TOMBSTONE_BIT) for w in after.ids] == [bool(s) for s in swept]
    assert [w & ~TOMBSTONE_BIT for w in after.ids] == before.ids
    assert after.raw_timestamps == before.raw_timestamps
    assert after.vectors == before.vectors
    assert db.run_gc(ttl) == 0  # nothing new has aged past it


def test_epoch_timestamp_is_swept_by_any_ttl_below_now():
    now = now_ms()
    assert crafted([0.0]).run_gc(now - 60_000) == 1
    assert crafted([0.0]).run_gc(now + 60_000) == 0


def test_already_tombstoned_slots_are_not_counted_again():
    db = crafted([0.0, 0.0, 0.0], tombstoned={1})
    assert db.run_gc(0) == 2
    assert tombstones(db) == [True, True, True]
    assert db.run_gc(0) == 0


def test_version_1_slots_count_as_inserted_at_the_epoch():
    data = pack_store([4, 5], version=1, vectors=[0, 1])
    db = Kestrix.deserialize(data)
    assert db.run_gc(1000) == 2


def test_gc_of_fresh_inserts():
    db = Kestrix()
    db.insert(1, [1.0] * DIM)
    db.insert(2, [1.0] * DIM)
    assert db.run_gc(60_000) == 0  # far younger than a minute
    assert db.run_gc(-1) == 2  # timestamp never later than now
    db.insert(3, [1.0] * DIM)
    time.sleep(0.003)
    assert db.run_gc(0) == 1  # inserted at least a millisecond ago
    assert tombstones(db) == [True, True, True]


def test_gc_zero_spares_slots_inserted_in_the_current_millisecond():
    # Both clocks are whole milliseconds, so an insert and a sweep within the
    # same millisecond see an age of 0, which is not greater than 0. Most of
    # these quick pairs fall in one millisecond; a sweep that used a finer
    # clock would tombstone every one of them.
    outcomes = []
    for _ in range(200):
        db = Kestrix()
        db.insert(1, [1.0] * DIM)
        outcomes.append(db.run_gc(0))
    assert set(outcomes) <= {0, 1}
    assert outcomes.count(0) > 0


@pytest.mark.parametrize("ttl", [5, 5.5, np.float32(5.0), np.int64(5), True])
def test_gc_accepts_numbers(ttl):
    db = crafted([0.0, FAR_FUTURE])
    assert db.run_gc(ttl) == 1


def test_gc_that_sweeps_drops_the_index_and_one_that_sweeps_nothing_keeps_it():
    db = crafted([0.0, FAR_FUTURE, 0.0], tombstoned={2})
    db.build_index()
    assert db.run_gc(math.inf) == 0
    assert db.has_index() is True
    assert db.run_gc(1e300) == 0  # only the tombstoned slot (and none live) is that old
    assert db.has_index() is True
    assert db.run_gc(1000) == 1
    assert db.has_index() is False


def test_swept_slots_disappear_from_search():
    db = crafted([0.0, FAR_FUTURE])
    db.run_gc(1000)
    assert [d for d, _ in db.search_scan(vec_from_bits(0), 5)] == [2]


def test_gc_bad_ttl_leaves_store_unchanged():
    db = crafted([0.0, 0.0])
    db.build_index()
    before = state(db)
    with pytest.raises(TypeError):
        db.run_gc("5")
    with pytest.raises(TypeError):
        db.run_gc(None)
    assert state(db) == before


# --- compact -----------------------------------------------------------------------


def ref_compact(live):
    """Compaction on a list of slot labels; returns (labels, removed)."""
    slots = list(range(len(live)))
    n, j = len(slots), 0
    while j < n:
        if live[slots[j]]:
            j += 1
        else:
            n -= 1
            slots[j] = slots[n]
            slots.pop()
    return slots, len(live) - n


def build(pattern):
    """A store from a pattern such as 'A x B C x D'; each slot distinct in id, timestamp and vector."""
    labels = pattern.split()
    tomb = {s for s, lab in enumerate(labels) if lab == "x"}
    ts = [1000.0 + s for s in range(len(labels))]
    return crafted(ts, tombstoned=tomb), labels


def as_labels(db, labels):
    p = parse_store(db.serialize())
    out = []
    for w, t, v in zip(p.ids, p.timestamps, p.vectors):
        s = w & ~TOMBSTONE_BIT
        slot = s - 1
        # id, timestamp and vector moved together
        assert t == 1000.0 + slot
        assert v == first_bits(slot + 1)
        assert not w & TOMBSTONE_BIT
        out.append(labels[slot])
    return " ".join(out)


@pytest.mark.parametrize(
    "pattern, result, removed",
    [
        ("A x B C x D", "A D B C", 2),
        ("x x A B", "B A", 2),
        ("A x x", "A", 2),
        ("x x x", "", 3),
        ("A B C", "A B C", 0),
        ("x", "", 1),
        ("A", "A", 0),
        ("x A", "A", 1),
        ("A x", "A", 1),
        ("x A x B x", "B A", 3),
    ],
)
def test_compact_fills_holes_from_the_end(pattern, result, removed):
    db, labels = build(pattern)
    assert db.compact() == removed
    assert as_labels(db, labels) == result
    assert len(db) == len(labels) - removed
    assert db.is_empty() is (result == "")
    assert db.compact() == 0


@settings(max_examples=examples(100))
@given(st.lists(st.booleans(), max_size=24))
def test_compact_matches_the_reference_order(live):
    labels = [f"s{i}" if alive else "x" for i, alive in enumerate(live)]
    db = crafted([1000.0 + s for s in range(len(live))], tombstoned={s for s, a in enumerate(live) if not a})
    expected, removed = ref_compact(live)
    assert db.compact() == removed
    assert as_labels(db, labels) == " ".join(labels[s] for s in expected)


def test_compact_of_deleted_and_swept_slots():
    db = Kestrix()
    for i in range(5):
        db.insert(i, vec_from_bits(first_bits(i)))
    db.delete(1)
    db.delete(3)
    assert db.compact() == 2
    assert parse_store(db.serialize()).ids == [0, 4, 2]
    assert [d for d, _ in db.search_scan(vec_from_bits(0), 10)] == [0, 2, 4]
    time.sleep(0.003)
    assert db.run_gc(0) == 3
    assert db.compact() == 3
    assert db.is_empty() is True


def test_compact_that_removes_drops_the_index_and_one_that_removes_nothing_keeps_it():
    db, _ = build("A B C")
    db.build_index()
    assert db.compact() == 0
    assert db.has_index() is True
    assert db.delete(2) is True
    db.build_index()
    assert db.compact() == 1
    assert db.has_index() is False


def test_compacted_fixed_store_appends_again_and_keeps_its_capacity():
    db = Kestrix.with_capacity(3)
    for i in range(3):
        db.insert(i, [1.0] * DIM)
    db.delete(1)
    assert db.compact() == 1
    assert len(db) == 2
    assert db.insert(7, [1.0] * DIM) == 2
    assert parse_store(db.serialize()).ids == [0, 2, 7]
    assert_raises_exactly(RuntimeError, "insert error: CapacityExceeded", db.insert, 8, [1.0] * DIM)


def test_insert_after_compact_of_everything_starts_at_slot_zero():
    db, _ = build("x x")
    db.compact()
    assert db.insert(9, [1.0] * DIM) == 0
