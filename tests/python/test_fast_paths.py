"""The direct roads of vector conversion (exact lists and tuples of floats,
one-dimensional float32/float64 NumPy arrays) must give exactly what the
generic road (iteration plus float() of each item) gives.

A converted vector is only ever seen through its sign bits, so two conversions
agree when a store holding one answers the other with score 1.0 (distance 0),
and when the stored bits are those of the reference sign rule.
"""

import ctypes
import struct

import numpy as np
import pytest

from kestrix import Kestrix

DIM = 384


def sign_bits(values):
    """The reference sign rule on the float32-rounded components."""
    bits = 0
    for c, v in enumerate(values):
        if ctypes.c_float(float(v)).value > 0.0:
            bits |= 1 << c
    return bits


def stored_bits(db):
    """The bits of the last stored vector, read back from the byte form."""
    raw = db.serialize()
    words = struct.unpack_from("<12I", raw, len(raw) - 48)
    return sum(w << (32 * i) for i, w in enumerate(words))


def converted_bits(vector):
    db = Kestrix()
    db.insert(1, vector)
    return stored_bits(db)


class Sub(np.ndarray):
    """Not the exact array type: takes the generic road."""


def special_values(dtype):
    rng = np.random.default_rng(5)
    values = rng.standard_normal(DIM).astype(np.float64)
    specials = [
        np.nan,
        -np.nan,
        0.0,
        -0.0,
        np.inf,
        -np.inf,
        1e-45,
        -1e-45,
        1e-50,
        1e39,
        -1e39,
        np.finfo(np.float32).tiny / 2,
        5e-324,
        -5e-324,
    ]
    values[: len(specials)] = specials
    with np.errstate(over="ignore"):
        return values.astype(dtype)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_array_converts_like_its_items(dtype):
    arr = special_values(dtype)
    want = sign_bits(arr.tolist())
    assert converted_bits(arr) == want
    assert converted_bits(list(arr)) == want  # numpy scalars, item by item
    assert converted_bits(arr.view(Sub)) == want
    # The query side agrees with the stored side.
    db = Kestrix()
    db.insert(7, list(arr))
    assert db.search_scan(arr, 1) == [(7, 1.0)]
    assert db.search_scan(np.ascontiguousarray(arr[::-1])[::-1], 1) == [(7, 1.0)]


@pytest.mark.parametrize(
    "make",
    [
        lambda a: a.astype(np.float32)[::2],  # strided
        lambda a: a.astype(np.float64)[::-2],  # negative stride
        lambda a: a.astype(">f4")[:DIM],  # byte-swapped
        lambda a: a.astype(np.float16)[:DIM],
        lambda a: (a * 10).astype(np.int32)[:DIM],
        lambda a: (a > 0)[:DIM],
        lambda a: a.astype(np.float32).reshape(2, DIM)[1],  # a row view: contiguous, offset
        lambda a: np.frombuffer(b"\0" + a.astype(np.float32).tobytes(), dtype=np.float32, count=DIM, offset=1),
    ],
    ids=["strided", "reversed", "big-endian", "float16", "int32", "bool", "row-view", "misaligned"],
)
def test_other_arrays_convert_like_their_items(make):
    base = np.random.default_rng(9).standard_normal(2 * DIM)
    arr = make(base)
    assert arr.shape == (DIM,)
    assert converted_bits(arr) == sign_bits(arr.tolist()) == converted_bits(arr.tolist())


@pytest.mark.parametrize("shape", [(1, DIM), (2, DIM // 2)])
def test_two_dimensional_arrays_are_refused(shape):
    db = Kestrix()
    arr = np.ones(shape, dtype=np.float32)
    with pytest.raises(TypeError, match=r"^argument 'query': "):
        db.search_scan(arr, 1)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("length", [0, 1, 383, 385])
def test_wrong_length_arrays_report_their_length(dtype, length):
    db = Kestrix()
    with pytest.raises(ValueError, match=rf"^expected 384-dim query, got {length}$"):
        db.search_scan(np.ones(length, dtype=dtype), 3)
    with pytest.raises(ValueError, match=rf"^expected 384-dim vector, got {length}$"):
        db.insert(1, np.ones(length, dtype=dtype))
    assert len(db) == 0


def test_look_alike_array_type_is_only_iterated():
    class ndarray:
        __module__ = "numpy"

        def __init__(self, values):
            self.values = values

        def __len__(self):
            return len(self.values)

        def __getitem__(self, i):
            return self.values[i]

        @property
        def __array_struct__(self):
            raise AssertionError("the interface of a foreign type was read")

        __array_interface__ = __array_struct__

    values = special_values(np.float64).tolist()
    assert converted_bits(ndarray(values)) == sign_bits(values)


class Shrinker:
    """Converts to a value, removing the list's last item on the way."""

    def __init__(self, victim, value):
        self.victim = victim
        self.value = value

    def __float__(self):
        self.victim.pop()
        return self.value


class ListSub(list):
    pass


@pytest.mark.parametrize("kind", [list, ListSub])
@pytest.mark.parametrize("position", [0, 100, DIM - 1])
def test_items_that_change_the_list_are_seen_like_the_iterator_sees_them(kind, position):
    values = kind([float(v) for v in special_values(np.float64)] + [1.0, 1.0])
    values[position] = Shrinker(values, -2.0)
    # One item popped while converting: 385 remain, one too many for the iterator too.
    with pytest.raises(ValueError, match=r"got 385$"):
        Kestrix().insert(1, values)
    values = kind([float(v) for v in special_values(np.float64)] + [1.0])
    want = values[:DIM]
    want[position] = 3.0
    values[position] = Shrinker(values, 3.0)
    assert converted_bits(values) == sign_bits(want)


@pytest.mark.parametrize("make", [list, tuple])
def test_mixed_items_after_floats_convert_like_iteration(make):
    values = [float(v) for v in special_values(np.float64)]
    values[200] = np.float32(-1.5)
    values[201] = 7
    values[202] = True
    values[300] = 2**80
    assert converted_bits(make(values)) == sign_bits(values)


@pytest.mark.parametrize("make", [list, tuple])
def test_bad_item_after_floats_names_the_argument(make):
    values = [1.0] * DIM
    values[150] = "a"
    with pytest.raises(TypeError, match=r"^argument 'vector': "):
        Kestrix().insert(1, make(values))
    values[150] = 10**400
    with pytest.raises(OverflowError):
        Kestrix().insert(1, make(values))
