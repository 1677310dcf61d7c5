"""The vector store's Python face: constructors, insert, delete, is_empty, has_index, len."""

import os
import subprocess
import sys
import textwrap
import time

import pytest
from conftest import (
    DIM,
    TOMBSTONE_BIT,
    assert_raises_exactly,
    first_bits,
    pack_store,
    parse_store,
    state,
    vec_from_bits,
)

from kestrix import Kestrix


def ids_of(db):
    return parse_store(db.serialize()).ids


def fill(db, ids):
    return [db.insert(i, vec_from_bits(first_bits(i % DIM))) for i in ids]


def test_new_store_is_empty_without_index():
    db = Kestrix()
    assert db.is_empty() is True
    assert len(db) == 0
    assert db.has_index() is False
    assert bool(db) is False


def test_inserts_return_consecutive_slots_and_grow_len():
    db = Kestrix()
    assert fill(db, [10, 20, 30]) == [0, 1, 2]
    assert len(db) == 3
    assert db.is_empty() is False
    assert bool(db) is True
    assert ids_of(db) == [10, 20, 30]


def test_insert_returns_a_python_int():
    db = Kestrix()
    slot = db.insert(3, [1.0] * DIM)
    assert type(slot) is int


def test_insert_then_delete_keeps_the_tombstoned_slot():
    db = Kestrix()
    db.insert(1, [1.0] * DIM)
    assert db.delete(1) is True
    assert db.is_empty() is False
    assert len(db) == 1
    assert bool(db) is True
    assert ids_of(db) == [1 | TOMBSTONE_BIT]


def test_duplicate_ids_are_deleted_lowest_slot_first():
    db = Kestrix()
    assert fill(db, [5, 5]) == [0, 1]
    assert len(db) == 2
    assert db.delete(5) is True
    assert ids_of(db) == [5 | TOMBSTONE_BIT, 5]
    assert db.delete(5) is True
    assert ids_of(db) == [5 | TOMBSTONE_BIT, 5 | TOMBSTONE_BIT]
    assert db.delete(5) is False


def test_delete_tombstones_only_the_id_bit_and_nothing_else():
    db = Kestrix()
    fill(db, [1, 2, 3])
    before = parse_store(db.serialize())
    assert db.delete(2) is True
    after = parse_store(db.serialize())
    assert after.ids == [1, 2 | TOMBSTONE_BIT, 3]
    assert after.raw_timestamps == before.raw_timestamps
    assert after.vectors == before.vectors


@pytest.mark.parametrize("absent", [0, 6, 5 + 2**31, 2**31, 2**32 - 1])
def test_delete_of_an_absent_or_tombstone_flagged_id_returns_false_and_changes_nothing(absent):
    db = Kestrix()
    fill(db, [5, 7])
    before = db.serialize()
    assert db.delete(absent) is False
    assert db.serialize() == before


def test_delete_never_matches_a_tombstoned_slot_even_by_its_full_id_word():
    db = Kestrix.deserialize(pack_store([5 | TOMBSTONE_BIT, 5], [0.0, 0.0]))
    assert db.delete(5 | TOMBSTONE_BIT) is False
    assert db.delete(5) is True
    assert ids_of(db) == [5 | TOMBSTONE_BIT, 5 | TOMBSTONE_BIT]


def test_delete_on_empty_store_returns_false():
    assert Kestrix().delete(0) is False


def test_largest_document_id_is_accepted():
    db = Kestrix()
    assert db.insert(2147483647, [1.0] * DIM) == 0
    assert ids_of(db) == [2147483647]


@pytest.mark.parametrize("doc_id", [2**31, 2**31 + 5, 2**32 - 1])
def test_id_with_bit_31_is_refused_with_DocIdTooLarge(doc_id):
    db = Kestrix()
    fill(db, [1])
    before = db.serialize()
    assert_raises_exactly(RuntimeError, "insert error: DocIdTooLarge", db.insert, doc_id, [1.0] * DIM)
    assert db.serialize() == before


@pytest.mark.parametrize("n", [0, 1, 383, 385, 768])
def test_wrong_vector_length_raises_ValueError_with_the_count(n):
    db = Kestrix()
    assert_raises_exactly(ValueError, f"expected 384-dim vector, got {n}", db.insert, 1, [1.0] * n)
    assert len(db) == 0


def test_wrong_length_is_reported_before_a_too_large_id():
    db = Kestrix()
    assert_raises_exactly(ValueError, "expected 384-dim vector, got 10", db.insert, 2**31, [1.0] * 10)


def test_wrong_length_is_reported_before_capacity_exceeded():
    db = Kestrix.with_capacity(0)
    assert_raises_exactly(ValueError, "expected 384-dim vector, got 3", db.insert, 1, [1.0] * 3)


def test_too_large_id_is_reported_before_capacity_exceeded():
    db = Kestrix.with_capacity(0)
    assert_raises_exactly(RuntimeError, "insert error: DocIdTooLarge", db.insert, 2**31, [1.0] * DIM)


def test_insert_records_the_wall_clock_in_whole_milliseconds():
    db = Kestrix()
    before = int(time.time() * 1000)
    db.insert(1, [1.0] * DIM)
    after = int(time.time() * 1000)
    [ts] = parse_store(db.serialize()).timestamps
    assert ts == int(ts)
    assert before <= ts <= after


# --- fixed capacity ----------------------------------------------------------


def test_capacity_zero_refuses_every_insert():
    db = Kestrix.with_capacity(0)
    for i in range(3):
        assert_raises_exactly(RuntimeError, "insert error: CapacityExceeded", db.insert, i, [1.0] * DIM)
    assert db.is_empty() is True
    assert len(db) == 0


def test_full_store_recycles_a_deleted_slot_with_fresh_contents():
    db = Kestrix.with_capacity(2)
    assert db.insert(10, vec_from_bits(0)) == 0
    assert db.insert(11, vec_from_bits(0)) == 1
    assert_raises_exactly(RuntimeError, "insert error: CapacityExceeded", db.insert, 12, [1.0] * DIM)
    assert db.delete(10) is True
    old_ts = parse_store(db.serialize()).timestamps[0]
    time.sleep(0.003)
    before = int(time.time() * 1000)
    assert db.insert(12, vec_from_bits(first_bits(7))) == 0
    after = int(time.time() * 1000)
    p = parse_store(db.serialize())
    assert len(db) == 2
    assert p.ids == [12, 11]
    assert p.vectors == [first_bits(7), 0]
    assert before <= p.timestamps[0] <= after
    assert p.timestamps[0] > old_ts


def test_store_below_capacity_appends_even_with_tombstones():
    db = Kestrix.with_capacity(3)
    fill(db, [1, 2])
    db.delete(1)
    assert db.insert(3, [1.0] * DIM) == 2
    assert ids_of(db) == [1 | TOMBSTONE_BIT, 2, 3]


def test_full_store_recycles_lowest_tombstoned_slot_first():
    db = Kestrix.with_capacity(4)
    fill(db, [0, 1, 2, 3])
    db.delete(3)
    db.delete(1)
    assert db.insert(7, [1.0] * DIM) == 1
    assert db.insert(8, [1.0] * DIM) == 3
    assert ids_of(db) == [0, 7, 2, 8]
    assert_raises_exactly(RuntimeError, "insert error: CapacityExceeded", db.insert, 9, [1.0] * DIM)
    assert len(db) == 4


def test_restored_tombstones_are_recycled_once_a_fixed_store_is_full():
    # Tombstones set by delete and by run_gc are the same thing.
    db = Kestrix.with_capacity(2)
    fill(db, [1, 2])
    time.sleep(0.003)
    assert db.run_gc(0) == 2
    assert db.insert(3, [1.0] * DIM) == 0
    assert db.insert(4, [1.0] * DIM) == 1
    assert ids_of(db) == [3, 4]


def test_with_capacity_on_an_instance_returns_a_new_store_and_leaves_it_alone():
    db = Kestrix()
    fill(db, [1, 2])
    before = state(db)
    other = db.with_capacity(4)
    assert type(other) is Kestrix
    assert other is not db
    assert len(other) == 0
    assert state(db) == before
    fill(other, [1, 2, 3, 4])
    assert_raises_exactly(RuntimeError, "insert error: CapacityExceeded", other.insert, 5, [1.0] * DIM)


def test_class_and_instance_with_capacity_behave_alike():
    a = Kestrix.with_capacity(1)
    b = Kestrix().with_capacity(1)
    for db in (a, b):
        assert db.insert(1, [1.0] * DIM) == 0
        assert_raises_exactly(RuntimeError, "insert error: CapacityExceeded", db.insert, 2, [1.0] * DIM)


def test_two_stores_are_independent():
    a, b = Kestrix(), Kestrix()
    a.insert(1, [1.0] * DIM)
    assert len(b) == 0
    b.insert(2, [1.0] * DIM)
    assert a.delete(2) is False
    assert ids_of(a) == [1]


UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.parametrize(
    "capacity, must_raise",
    [
        (2**64 - 1, True),  # beyond any array's size limit
        (2**60, True),
        # Passes the size limit but no machine has the room; with overcommit
        # the reservation may even succeed. Either way: no crash. (Under ASan a
        # failed operator new aborts by design instead of throwing.)
        pytest.param(2**40, False, marks=pytest.mark.skipif(UNDER_ASAN, reason="ASan aborts on failed new")),
    ],
)
def test_unreservable_capacity_fails_cleanly_without_an_object(capacity, must_raise):
    # How it is reported is the implementer's choice; it must be a Python
    # exception and not a crash, so run it in a child interpreter.
    code = textwrap.dedent(
        f"""
        from kestrix import Kestrix
        try:
            Kestrix.with_capacity({capacity})
        except Exception as e:
            print("raised", type(e).__name__)
        else:
            print("created")
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr[-2000:]
    assert out.stdout.startswith(("raised", "created")), out.stdout
    if must_raise:
        assert out.stdout.startswith("raised"), out.stdout


# --- has_index transitions ---------------------------------------------------


@pytest.fixture
def indexed():
    db = Kestrix.with_capacity(3)
    fill(db, [1, 2, 3])
    db.build_index()
    assert db.has_index() is True
    return db


@pytest.mark.parametrize(
    "call",
    [
        lambda db: db.delete(99),
        lambda db: db.delete(2**31 + 1),
        lambda db: db.insert(4, [1.0] * 3),
        lambda db: db.insert(2**31, [1.0] * DIM),
        lambda db: db.insert(4, [1.0] * DIM),  # full, no tombstone
        lambda db: db.insert(1.5, [1.0] * DIM),
        lambda db: db.insert(-1, [1.0] * DIM),
        lambda db: db.insert(4, "x" * DIM),
        lambda db: db.search_scan([1.0] * DIM, 3),
        lambda db: db.search([1.0] * DIM, 3),
        lambda db: db.serialize(),
        lambda db: len(db),
        lambda db: db.is_empty(),
        lambda db: db.run_gc(1e12),
        lambda db: db.compact(),
    ],
    ids=[
        "delete-absent",
        "delete-flagged",
        "short-vector",
        "id-too-large",
        "capacity-exceeded",
        "float-id",
        "negative-id",
        "str-vector",
        "search_scan",
        "search",
        "serialize",
        "len",
        "is_empty",
        "gc-nothing",
        "compact-nothing",
    ],
)
def test_index_survives_calls_that_change_nothing(indexed, call):
    before = indexed.serialize()
    try:
        call(indexed)
    except (TypeError, ValueError, RuntimeError, OverflowError):
        pass
    assert indexed.has_index() is True
    assert indexed.serialize() == before


def test_successful_append_drops_the_index():
    db = Kestrix()
    fill(db, [1, 2])
    db.build_index()
    db.insert(3, [1.0] * DIM)
    assert db.has_index() is False


def test_successful_delete_drops_the_index(indexed):
    assert indexed.delete(2) is True
    assert indexed.has_index() is False


def test_recycling_insert_drops_the_index(indexed):
    indexed.delete(1)
    indexed.build_index()
    assert indexed.has_index() is True
    assert indexed.insert(9, [1.0] * DIM) == 0
    assert indexed.has_index() is False


def test_rebuilding_an_index_keeps_has_index_true(indexed):
    indexed.build_index(m=4, ef_construction=10)
    assert indexed.has_index() is True
    assert Kestrix().build_index() is None
