"""The serialized store format, its writer and its reader."""

import math
import random
import struct
import time

import numpy as np
import pytest
from conftest import (
    ALL_BITS,
    CORRUPTED,
    DIM,
    TOMBSTONE_BIT,
    assert_raises_exactly,
    examples,
    first_bits,
    pack_store,
    parse_store,
    vec_from_bits,
)
from hypothesis import given, settings
from hypothesis import strategies as st

from kestrix import Kestrix

EMPTY_V2 = b"KSTX\x02\x00\x00\x00\x00\x00\x00\x00"

EXAMPLE_72 = (
    bytes.fromhex(
        "4b535458"  # KSTX
        "02000000"
        "01000000"
        "07000080"
        "00008056febc7842"
    )
    + b"\xff" * 48
)


def corrupted(data):
    assert_raises_exactly(ValueError, CORRUPTED, Kestrix.deserialize, data)


def random_store_bytes(rng, n, version=2):
    ids = [rng.getrandbits(32) for _ in range(n)]
    ts = [struct.pack("<Q", rng.getrandbits(64)) for _ in range(n)]
    vecs = [rng.getrandbits(DIM) for _ in range(n)]
    return pack_store(ids, ts, vecs, version=version)


# --- writer -----------------------------------------------------------------------


def test_empty_store_serializes_to_twelve_bytes():
    assert Kestrix().serialize() == EMPTY_V2
    assert Kestrix.with_capacity(10).serialize() == EMPTY_V2
    db = Kestrix.deserialize(EMPTY_V2)
    assert len(db) == 0 and db.is_empty() and not db.has_index()
    assert db.insert(1, [1.0] * DIM) == 0


def test_the_72_byte_example_round_trips_byte_for_byte():
    assert pack_store([7 | TOMBSTONE_BIT], [1700000000000.0], [ALL_BITS]) == EXAMPLE_72
    db = Kestrix.deserialize(EXAMPLE_72)
    assert len(db) == 1
    assert db.search_scan([1.0] * DIM, 5) == []  # tombstoned
    assert db.serialize() == EXAMPLE_72


def test_inserted_tombstoned_slot_serializes_in_the_example_layout():
    db = Kestrix()
    before = int(time.time() * 1000)
    db.insert(7, [0.25] * DIM)
    after = int(time.time() * 1000)
    db.delete(7)
    data = db.serialize()
    assert len(data) == 72
    assert data[:12] == b"KSTX\x02\x00\x00\x00\x01\x00\x00\x00"
    assert data[12:16] == b"\x07\x00\x00\x80"
    (ts,) = struct.unpack("<d", data[16:24])
    assert before <= ts <= after and ts == int(ts)
    assert data[24:] == b"\xff" * 48


@pytest.mark.parametrize("n", [0, 1, 2, 5, 33])
def test_serialized_length_is_12_plus_60_per_slot(n):
    db = Kestrix()
    for i in range(n):
        db.insert(i, vec_from_bits(first_bits(i)))
    data = db.serialize()
    assert len(data) == 12 + 60 * n
    p = parse_store(data)
    assert p.ids == list(range(n))
    assert p.vectors == [first_bits(i) for i in range(n)]
    assert db.serialize() == data  # deterministic


def test_serialize_ignores_the_index_and_the_capacity():
    a = Kestrix.with_capacity(5)
    b = Kestrix()
    for db in (a, b):
        db.insert(3, [1.0] * DIM)
    ids_ts = lambda d: parse_store(d).ids  # noqa: E731
    da = a.serialize()
    a.build_index()
    assert a.serialize() == da
    assert ids_ts(da) == ids_ts(b.serialize())


# --- round trips ------------------------------------------------------------------


@pytest.mark.parametrize("seed", range(6))
def test_arbitrary_v2_bytes_round_trip_bit_for_bit(seed):
    rng = random.Random(seed)
    data = random_store_bytes(rng, rng.randrange(0, 40))
    assert Kestrix.deserialize(data).serialize() == data


@pytest.mark.parametrize(
    "timestamp",
    [
        0.0,
        -0.0,
        math.inf,
        -math.inf,
        math.nan,
        5e-324,
        1.7976931348623157e308,
        struct.pack("<Q", 0xFFF0_0000_0000_0001),
    ],
    ids=["zero", "negzero", "inf", "neginf", "nan", "subnormal", "max", "nan-payload"],
)
def test_any_timestamp_bits_are_kept(timestamp):
    data = pack_store([1, 2 | TOMBSTONE_BIT], [timestamp, 1.0], [ALL_BITS, 12345])
    assert Kestrix.deserialize(data).serialize() == data


def test_round_trip_of_a_used_store():
    db = Kestrix()
    rng = np.random.default_rng(0)
    for i in range(50):
        db.insert(i % 7, rng.standard_normal(DIM))
    for i in (3, 3, 5):
        db.delete(i)
    data = db.serialize()
    back = Kestrix.deserialize(data)
    assert back.serialize() == data
    q = rng.standard_normal(DIM)
    assert back.search_scan(q, 10) == db.search_scan(q, 10)


def test_restored_store_is_growable():
    db = Kestrix.with_capacity(2)
    db.insert(1, [1.0] * DIM)
    db.insert(2, [1.0] * DIM)
    db.delete(1)
    back = Kestrix.deserialize(db.serialize())
    assert back.insert(3, [1.0] * DIM) == 2  # appends: growable, no recycling
    assert parse_store(back.serialize()).ids == [1 | TOMBSTONE_BIT, 2, 3]


def test_index_does_not_travel():
    db = Kestrix()
    for i in range(10):
        db.insert(i, vec_from_bits(first_bits(i * 3)))
    db.build_index()
    back = Kestrix.deserialize(db.serialize())
    assert back.has_index() is False
    q = vec_from_bits(first_bits(4))
    assert back.search(q, 3) == back.search_scan(q, 3)


def test_tombstone_survives_the_round_trip():
    db = Kestrix()
    db.insert(1, vec_from_bits(0))
    db.insert(2, vec_from_bits(1))
    db.delete(1)
    back = Kestrix.deserialize(db.serialize())
    assert [d for d, _ in back.search(vec_from_bits(0), 5)] == [2]
    assert back.compact() == 1
    assert parse_store(back.serialize()).ids == [2]


def test_restored_objects_are_independent():
    data = pack_store([1, 2], [0.0, 0.0], [0, 1])
    a = Kestrix.deserialize(data)
    b = Kestrix.deserialize(data)
    a.delete(1)
    a.insert(3, [1.0] * DIM)
    assert b.serialize() == data


def test_bit_31_in_the_file_restores_a_tombstone():
    data = pack_store([TOMBSTONE_BIT, 0], [0.0, 0.0], [0, 0])
    db = Kestrix.deserialize(data)
    assert db.search_scan(vec_from_bits(0), 5) == [(0, 1.0)]


# --- version 1 ---------------------------------------------------------------------


def test_version_1_is_read_with_zero_timestamps_and_written_as_version_2():
    ids = [3, 4 | TOMBSTONE_BIT, 3]
    vecs = [first_bits(1), ALL_BITS, 0]
    v1 = pack_store(ids, vectors=vecs, version=1)
    assert len(v1) == 12 + 52 * 3
    db = Kestrix.deserialize(v1)
    assert db.serialize() == pack_store(ids, [0.0] * 3, vecs)


def test_version_1_extra_bytes_are_ignored():
    v1 = pack_store([1], vectors=[5], version=1, tail=b"\xaa" * 100)
    assert Kestrix.deserialize(v1).serialize() == pack_store([1], [0.0], [5])


def test_empty_version_1():
    assert Kestrix.deserialize(b"KSTX\x01\x00\x00\x00\x00\x00\x00\x00").serialize() == EMPTY_V2


def test_version_2_extra_bytes_are_ignored():
    data = pack_store([1, 2], [1.0, 2.0], [3, 4])
    assert Kestrix.deserialize(data + b"\x00" * 61).serialize() == data


# --- corrupted inputs --------------------------------------------------------------

VALID_ONE = pack_store([7], [1.5], [first_bits(9)])


@pytest.mark.parametrize("length", range(12))
def test_fewer_than_twelve_bytes_are_corrupted(length):
    corrupted(EMPTY_V2[:length])
    corrupted(b"\xff" * length)


@pytest.mark.parametrize("magic", [b"kSTX", b"KSTY", b"XTSK", b"\x00\x00\x00\x00", b"KSTx"])
def test_wrong_magic_is_corrupted(magic):
    corrupted(magic + EMPTY_V2[4:])
    corrupted(magic + VALID_ONE[4:])


@pytest.mark.parametrize("version", [0, 3, 4, 0x100, 0x02000000, 0x01000000, 2**32 - 1, 2 + 2**16])
def test_unknown_version_is_corrupted(version):
    corrupted(b"KSTX" + struct.pack("<II", version, 0))
    corrupted(b"KSTX" + struct.pack("<I", version) + VALID_ONE[8:])


@pytest.mark.parametrize(
    "data",
    [
        VALID_ONE[:-1],
        pack_store([], n=1),
        b"KSTX\x02\x00\x00\x00\x01\x00\x00\x00" + b"\x00" * 12,  # ids and timestamps, no vector
        b"KSTX\x02\x00\x00\x00\x01\x00\x00\x00" + b"\x00" * 11,
        b"KSTX\x02\x00\x00\x00\x01\x00\x00\x00" + b"\x00" * 52,  # a version-1 length under version 2
        pack_store([1], vectors=[1], version=1)[:-1],
        b"KSTX\x01\x00\x00\x00\x02\x00\x00\x00" + b"\x00" * 103,
        pack_store([1, 2], [0.0, 0.0], [1, 2], n=3),
    ],
    ids=[
        "v2-last-byte-cut",
        "n1-12-bytes",
        "v2-no-vectors",
        "v2-short-ts",
        "v2-with-v1-length",
        "v1-cut",
        "v1-n2-short",
        "n-too-big",
    ],
)
def test_truncated_sections_are_corrupted(data):
    corrupted(data)


@pytest.mark.parametrize("version", [1, 2])
@pytest.mark.parametrize(
    "n, size",
    [
        (0xFFFFFFFF, 0),
        (0xFFFFFFFF, 1 << 16),
        # counts whose section sizes wrap a 32-bit size computation to something small
        (71582789, 64),  # 60n = 2^32 + 44
        (82595525, 64),  # 52n = 2^32 + 4
        (357913942, 64),  # 12n = 2^32 + 8
        (0x80000000, 64),
        (0x40000000, 64),
    ],
)
def test_huge_declared_count_fails_at_once_without_reserving_memory(version, n, size):
    data = b"KSTX" + struct.pack("<II", version, n) + b"\x00" * size
    start = time.perf_counter()
    corrupted(data)
    assert time.perf_counter() - start < 0.5


def test_valid_prefix_check_passes_exactly_at_the_needed_length():
    for n, version, per in ((1, 2, 60), (3, 2, 60), (1, 1, 52), (4, 1, 52)):
        full = b"KSTX" + struct.pack("<II", version, n) + bytes(range(256)) * 2
        need = 12 + per * n
        corrupted(full[: need - 1])
        assert len(Kestrix.deserialize(full[:need])) == n
        assert len(Kestrix.deserialize(full)) == n


# --- never crash ------------------------------------------------------------------


def deserialize_or_corrupted(data):
    """Returns the restored store, or None after checking the exact ValueError."""
    try:
        db = Kestrix.deserialize(data)
    except ValueError as e:
        assert type(e) is ValueError and e.args == (CORRUPTED,)
        return None
    assert type(db) is Kestrix
    out = db.serialize()
    assert len(out) == 12 + 60 * len(db)
    return db


def expected_outcome(data):
    """What the reader does with `data`: None for CorruptedData, else the slot count."""
    if len(data) < 12 or data[:4] != b"KSTX":
        return None
    version, n = struct.unpack_from("<II", data, 4)
    if version not in (1, 2):
        return None
    per = 60 if version == 2 else 52
    if len(data) < 12 + per * n:
        return None
    return n


SAMPLES = [
    pack_store([1, 2 | TOMBSTONE_BIT], [3.0, math.nan], [ALL_BITS, 5]),
    pack_store([9], vectors=[first_bits(100)], version=1),
    EMPTY_V2,
    VALID_ONE,
]


@pytest.mark.parametrize("sample", SAMPLES, ids=["v2-two", "v1-one", "empty", "v2-one"])
def test_every_truncation_gives_a_store_or_the_exact_error(sample):
    for cut in range(len(sample) + 1):
        data = sample[:cut]
        db = deserialize_or_corrupted(data)
        want = expected_outcome(data)
        assert (db is None) == (want is None), cut
        if db is not None:
            assert len(db) == want


@pytest.mark.parametrize("sample", SAMPLES, ids=["v2-two", "v1-one", "empty", "v2-one"])
def test_every_single_bit_flip_gives_a_store_or_the_exact_error(sample):
    for bit in range(len(sample) * 8):
        flipped = bytearray(sample)
        flipped[bit // 8] ^= 1 << (bit % 8)
        data = bytes(flipped)
        db = deserialize_or_corrupted(data)
        want = expected_outcome(data)
        assert (db is None) == (want is None), bit
        if db is None:
            continue
        assert len(db) == want
        version = struct.unpack_from("<I", data, 4)[0]
        if version == 2 and want == struct.unpack_from("<I", sample, 8)[0]:
            # a flip inside the payload is restored as it is
            assert db.serialize() == data[: 12 + 60 * want]


@settings(max_examples=examples(300))
@given(st.binary(max_size=300))
def test_random_bytes_never_crash(data):
    db = deserialize_or_corrupted(data)
    assert (db is None) == (expected_outcome(data) is None)


@settings(max_examples=examples(300))
@given(st.sampled_from([1, 2]), st.integers(0, 8), st.binary(max_size=600))
def test_random_bodies_after_a_valid_header_never_crash(version, n, body):
    data = b"KSTX" + struct.pack("<II", version, n) + body
    db = deserialize_or_corrupted(data)
    want = expected_outcome(data)
    assert (db is None) == (want is None)
    if db is not None:
        assert len(db) == n
        if version == 2:
            assert db.serialize() == data[: 12 + 60 * n]


@pytest.mark.parametrize("bad", [bytearray(EMPTY_V2), memoryview(EMPTY_V2), EMPTY_V2.decode()])
def test_non_bytes_fail_in_conversion_not_with_ValueError(bad):
    with pytest.raises(TypeError) as info:
        Kestrix.deserialize(bad)
    assert str(info.value).startswith("argument 'data': ")


def test_deserialize_on_an_instance_returns_a_new_object():
    db = Kestrix()
    db.insert(1, [1.0] * DIM)
    before = db.serialize()
    other = db.deserialize(VALID_ONE)
    assert other is not db and type(other) is Kestrix
    assert other.serialize() == VALID_ONE
    assert db.serialize() == before
