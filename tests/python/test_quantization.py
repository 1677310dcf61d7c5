"""The sign rule and the Hamming distance, observed through serialize() and the scan scores."""

import array
import math

import numpy as np
import pytest
from conftest import (
    ALL_BITS,
    DIM,
    bits_at,
    bits_to_words,
    examples,
    first_bits,
    parse_store,
    ref_hamming,
    ref_quantize,
    ref_score,
    vec_from_bits,
)
from hypothesis import given, settings
from hypothesis import strategies as st

from kestrix import Kestrix


def stored_bits(values):
    db = Kestrix()
    db.insert(0, values)
    return parse_store(db.serialize()).vectors[0]


def stored_words(values):
    return bits_to_words(stored_bits(values))


def with_component(pos, value, rest=-1.0):
    v = [rest] * DIM
    v[pos] = value
    return v


@pytest.mark.parametrize(
    "values, words",
    [
        ([0.0] * DIM, [0] * 12),
        ([0.1] * DIM, [0xFFFFFFFF] * 12),
        (with_component(0, 1.0), [0x00000001] + [0] * 11),
        (with_component(383, 1.0, rest=0.0), [0] * 11 + [0x80000000]),
        (with_component(32, 1.0, rest=0.0), [0, 0x00000001] + [0] * 10),
        (with_component(31, 2.0), [0x80000000] + [0] * 11),
        (with_component(63, 2.0), [0, 0x80000000] + [0] * 10),
        ([-1.0] * DIM, [0] * 12),
    ],
    ids=["zeros", "all-0.1", "comp0", "comp383", "comp32", "comp31", "comp63", "all-negative"],
)
def test_stored_words_follow_the_bit_layout(values, words):
    assert stored_words(values) == words


@pytest.mark.parametrize(
    "value, bit",
    [
        (-0.0, 0),
        (0.0, 0),
        (math.nan, 0),
        (-math.nan, 0),
        (math.inf, 1),
        (-math.inf, 0),
        (1e-50, 0),  # positive, but rounds to +0.0 in single precision
        (-1e-50, 0),
        (1e-45, 1),  # rounds to the smallest positive subnormal
        (2.0**-149, 1),
        (2.0**-150, 0),  # exactly half the smallest subnormal: ties to even, +0.0
        (2.0**-150 * 1.0000001, 1),  # just above half: rounds up to the subnormal
        (1e39, 1),  # rounds to +infinity
        (-1e39, 0),
        (3.4028235e38, 1),
        (1, 1),
        (0, 0),
        (-1, 0),
        (True, 1),
        (False, 0),
        (np.float32(1e-45), 1),
        (np.float64(1e-50), 0),
        (np.int64(7), 1),
    ],
)
@pytest.mark.parametrize("pos", [0, 31, 32, 200, 383])
def test_component_sign_rule_on_32_bit_values(value, bit, pos):
    assert stored_bits(with_component(pos, value)) == (bit << pos)


@settings(max_examples=examples(40))
@given(st.lists(st.floats(allow_nan=True, allow_infinity=True), min_size=DIM, max_size=DIM))
def test_arbitrary_floats_quantise_like_the_reference(values):
    assert stored_bits(values) == ref_quantize(values)


@pytest.mark.parametrize("seed", range(5))
def test_numpy_random_vectors_quantise_like_the_reference(seed):
    rng = np.random.default_rng(seed)
    v = rng.standard_normal(DIM) * 10.0 ** rng.integers(-50, 50, DIM)
    assert stored_bits(v.tolist()) == ref_quantize(v.tolist())


def _vector_forms(values):
    return {
        "list": list(values),
        "tuple": tuple(values),
        "numpy-f32": np.asarray(values, dtype=np.float32),
        "numpy-f64": np.asarray(values, dtype=np.float64),
        "array-f": array.array("f", values),
        "array-d": array.array("d", values),
        "list-of-np-f32": [np.float32(x) for x in values],
        "memoryview-d": memoryview(array.array("d", values)),
    }


@pytest.mark.parametrize("form", list(_vector_forms([0.0] * DIM)))
def test_every_sequence_form_gives_the_same_bits(form):
    rng = np.random.default_rng(42)
    values = rng.standard_normal(DIM).astype(np.float32).tolist()
    values[5] = 0.0
    values[6] = -0.0
    expected = ref_quantize(values)
    assert stored_bits(_vector_forms(values)[form]) == expected


@pytest.mark.parametrize(
    "vector, bits",
    [
        (bytes(DIM), 0),
        (bytes([1] * DIM), ALL_BITS),
        (bytearray([0, 1] * (DIM // 2)), int("10" * (DIM // 2), 2)),
        (range(DIM), ALL_BITS & ~1),
        (range(-1, DIM - 1), ALL_BITS & ~3),
        (tuple([3] * DIM), ALL_BITS),
        (np.arange(DIM, dtype=np.int32) - 100, ALL_BITS ^ first_bits(101)),
        (np.ones(DIM, dtype=np.bool_), ALL_BITS),
    ],
    ids=[
        "bytes-zero",
        "bytes-one",
        "bytearray-alternating",
        "range",
        "range-from-minus-one",
        "tuple-int",
        "numpy-int",
        "numpy-bool",
    ],
)
def test_integer_sequences_are_accepted_item_by_item(vector, bits):
    assert stored_bits(vector) == bits


# --- Hamming distance, seen as scan scores -----------------------------------


def scan_score(stored, query):
    db = Kestrix()
    db.insert(1, stored)
    [(doc, score)] = db.search_scan(query, 1)
    assert doc == 1
    return score


@pytest.mark.parametrize(
    "a, b, d",
    [
        ([1.0] * DIM, [1.0] * DIM, 0),
        ([1.0] * DIM, [-1.0] * DIM, 384),
        ([1e-30] * DIM, [1e30] * DIM, 0),
        (vec_from_bits(first_bits(100)), [-1.0] * DIM, 100),
        (vec_from_bits(bits_at(0, 31, 32, 383)), vec_from_bits(bits_at(0)), 3),
        ([0.0] * DIM, [-0.0] * DIM, 0),
        ([math.nan] * DIM, [-1.0] * DIM, 0),
    ],
)
def test_scan_score_reflects_the_hamming_distance(a, b, d):
    assert scan_score(a, b) == ref_score(d)
    assert scan_score(b, a) == ref_score(d)


@pytest.mark.parametrize("seed", range(4))
def test_random_pairs_score_their_reference_distance(seed):
    rng = np.random.default_rng(seed)
    stored = rng.standard_normal((20, DIM)).astype(np.float32)
    q = rng.standard_normal(DIM).astype(np.float32)
    db = Kestrix()
    for i, v in enumerate(stored):
        db.insert(i, v)
    qbits = ref_quantize(q.tolist())
    expected = {i: ref_score(ref_hamming(qbits, ref_quantize(v.tolist()))) for i, v in enumerate(stored)}
    got = db.search_scan(q, 20)
    assert len(got) == 20
    assert dict(got) == expected
    assert [s for _, s in got] == sorted(expected.values(), reverse=True)


# --- arrays of every layout give what a list of the same numbers gives ----------


def _tricky_values():
    rng = np.random.default_rng(11)
    v = rng.standard_normal(DIM) * 10.0 ** rng.integers(-50, 50, DIM)
    specials = [0.0, -0.0, math.nan, -math.nan, math.inf, -math.inf, 1e-45, 1e-50, 2.0**-150, 1e39, -1e39, 5e-324]
    v[: len(specials)] = specials
    return v


def _arrays(values):
    with np.errstate(over="ignore"):
        return _arrays_quiet(values)


def _arrays_quiet(values):
    f64 = np.asarray(values, dtype=np.float64)
    f32 = f64.astype(np.float32)
    wide = np.empty(2 * DIM, dtype=np.float64)
    wide[::2] = f64
    return {
        "f32": f32,
        "f64": f64,
        "f32-big-endian": f32.astype(">f4"),
        "f64-big-endian": f64.astype(">f8"),
        "f32-reversed-view": f32[::-1].copy()[::-1],
        "f64-strided-view": wide[::2],
        "f32-readonly": np.frombuffer(f32.tobytes(), dtype=np.float32),
        "f32-unaligned": np.frombuffer(b"\0" + f32.tobytes(), dtype=np.float32, offset=1),
        "f16": f64.astype(np.float16),
        "longdouble": f64.astype(np.longdouble),
        "f32-fortran": np.asfortranarray(f32),
        "f32-column-row": f32.reshape(DIM, 1)[:, 0],
        "f32-broadcast-copy": np.ascontiguousarray(np.broadcast_to(f32, (2, DIM))[1]),
    }


@pytest.mark.parametrize("layout", list(_arrays(_tricky_values())))
def test_numpy_arrays_of_every_layout_quantise_like_their_items(layout):
    values = _tricky_values()
    arr = _arrays(values)[layout]
    # the reference is the array's own items, each taken as a Python float
    expected = ref_quantize([float(x) for x in arr])
    assert stored_bits(arr) == expected
    assert stored_bits(list(arr)) == expected


def test_zero_stride_array_quantises_like_its_items():
    arr = np.broadcast_to(np.float32(0.5), (DIM,))
    assert stored_bits(arr) == ALL_BITS


@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.float16, np.int64, np.bool_])
@pytest.mark.parametrize("n", [0, 1, 383, 385])
def test_numpy_arrays_of_the_wrong_length_report_their_length(dtype, n):
    db = Kestrix()
    with pytest.raises(ValueError) as info:
        db.insert(1, np.ones(n, dtype=dtype))
    assert info.value.args == (f"expected 384-dim vector, got {n}",)
    with pytest.raises(ValueError) as info:
        db.search_scan(np.ones(n, dtype=dtype), 1)
    assert info.value.args == (f"expected 384-dim query, got {n}",)


class ArraySub(np.ndarray):
    pass


def test_ndarray_subclass_and_zero_dim_arrays():
    values = _tricky_values()
    with np.errstate(over="ignore"):
        sub = np.asarray(values, dtype=np.float32).view(ArraySub)
    assert stored_bits(sub) == ref_quantize([float(x) for x in sub])
    db = Kestrix()
    with pytest.raises(TypeError) as info:
        db.insert(1, np.array(1.0, dtype=np.float32))
    assert str(info.value).startswith("argument 'vector': ")
    with pytest.raises(TypeError) as info:
        db.insert(1, np.ones((DIM, 1), dtype=np.float32))
    assert str(info.value).startswith("argument 'vector': ")
    assert len(db) == 0


@pytest.mark.parametrize(
    "items",
    [
        [1.5] * 100 + [1] + [-2.5] * 283,  # an int among floats
        [1.5] * 383 + [np.float32(-1.0)],
        [True] + [0.5] * 383,
        [0.5] * 200 + [float("nan")] * 184,
    ],
    ids=["int-among-floats", "np-scalar-last", "bool-first", "nan-tail"],
)
@pytest.mark.parametrize("container", [list, tuple])
def test_mixed_item_lists_and_tuples_quantise_like_their_items(items, container):
    assert stored_bits(container(items)) == ref_quantize(items)


class FloatSub(float):
    def __float__(self):
        return -1.0


def test_float_subclass_items_use_their_float_value():
    # PyFloat_AsDouble takes a float subclass's own value, not its __float__.
    items = [FloatSub(2.0)] * DIM
    assert stored_bits(items) == ref_quantize([2.0] * DIM) == ALL_BITS
