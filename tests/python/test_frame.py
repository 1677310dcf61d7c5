"""The call frame: parsing, conversion, error wrapping, access control and re-entrancy."""

import array
import math

import numpy as np
import pytest
from conftest import (
    DIM,
    assert_raises_exactly,
    float_error,
    index_error,
    pack_store,
    parse_store,
    ref_score,
    state,
    vec_from_bits,
)

from kestrix import Kestrix

V = [0.5] * DIM
Q = [0.5] * DIM


# --- argument parsing ----------------------------------------------------------

PARSE_CASES = [
    (lambda db: Kestrix(1), "Kestrix.__new__() takes 0 positional arguments but 1 was given"),
    (lambda db: Kestrix(1, 2), "Kestrix.__new__() takes 0 positional arguments but 2 were given"),
    (lambda db: Kestrix(a=1), "Kestrix.__new__() got an unexpected keyword argument 'a'"),
    (lambda db: db.insert(), "Kestrix.insert() missing 2 required positional arguments: 'id' and 'vector'"),
    (lambda db: db.insert(1), "Kestrix.insert() missing 1 required positional argument: 'vector'"),
    (lambda db: db.insert(vector=V), "Kestrix.insert() missing 1 required positional argument: 'id'"),
    (lambda db: db.insert(1, V, 3), "Kestrix.insert() takes 2 positional arguments but 3 were given"),
    (lambda db: db.insert(1, V, id=2), "Kestrix.insert() got multiple values for argument 'id'"),
    (lambda db: db.insert(1, vector=V, bogus=1), "Kestrix.insert() got an unexpected keyword argument 'bogus'"),
    (lambda db: db.insert(bogus=1, id=2), "Kestrix.insert() got an unexpected keyword argument 'bogus'"),
    (lambda db: db.insert(id=2, bogus=1), "Kestrix.insert() got an unexpected keyword argument 'bogus'"),
    (lambda db: db.insert(1, id=1, bogus=1), "Kestrix.insert() got multiple values for argument 'id'"),
    (lambda db: db.insert(Id=1, vector=V), "Kestrix.insert() got an unexpected keyword argument 'Id'"),
    (lambda db: db.delete(), "Kestrix.delete() missing 1 required positional argument: 'id'"),
    (lambda db: db.delete(1, 2), "Kestrix.delete() takes 1 positional arguments but 2 were given"),
    (lambda db: db.delete(1, 2, bogus=3), "Kestrix.delete() takes 1 positional arguments but 2 were given"),
    (lambda db: db.delete(ids=1), "Kestrix.delete() got an unexpected keyword argument 'ids'"),
    (lambda db: db.search(Q, 5, 50, 7), "Kestrix.search() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda db: db.search(), "Kestrix.search() missing 2 required positional arguments: 'query' and 'k'"),
    (lambda db: db.search(Q), "Kestrix.search() missing 1 required positional argument: 'k'"),
    (lambda db: db.search(ef=3), "Kestrix.search() missing 2 required positional arguments: 'query' and 'k'"),
    (lambda db: db.search(Q, 5, k=5), "Kestrix.search() got multiple values for argument 'k'"),
    (lambda db: db.search(Q, 5, 1, ef=5), "Kestrix.search() got multiple values for argument 'ef'"),
    (lambda db: db.search(Q, 5, eff=1), "Kestrix.search() got an unexpected keyword argument 'eff'"),
    (lambda db: db.search_scan(Q), "Kestrix.search_scan() missing 1 required positional argument: 'k'"),
    (lambda db: db.search_scan(Q, 1, 50), "Kestrix.search_scan() takes 2 positional arguments but 3 were given"),
    (lambda db: db.search_scan(Q, 1, ef=50), "Kestrix.search_scan() got an unexpected keyword argument 'ef'"),
    (
        lambda db: db.build_index(1, 2, 3),
        "Kestrix.build_index() takes from 0 to 2 positional arguments but 3 were given",
    ),
    (lambda db: db.build_index(4, m=4), "Kestrix.build_index() got multiple values for argument 'm'"),
    (lambda db: db.build_index(ef=4), "Kestrix.build_index() got an unexpected keyword argument 'ef'"),
    (lambda db: db.run_gc(), "Kestrix.run_gc() missing 1 required positional argument: 'ttl_ms'"),
    (lambda db: db.run_gc(1, 2), "Kestrix.run_gc() takes 1 positional arguments but 2 were given"),
    (lambda db: db.run_gc(ttl=1), "Kestrix.run_gc() got an unexpected keyword argument 'ttl'"),
    (lambda db: Kestrix.with_capacity(), "Kestrix.with_capacity() missing 1 required positional argument: 'capacity'"),
    (lambda db: Kestrix.with_capacity(1, 2), "Kestrix.with_capacity() takes 1 positional arguments but 2 were given"),
    (lambda db: db.with_capacity(cap=1), "Kestrix.with_capacity() got an unexpected keyword argument 'cap'"),
    (lambda db: Kestrix.deserialize(), "Kestrix.deserialize() missing 1 required positional argument: 'data'"),
    (lambda db: db.deserialize(b"", b""), "Kestrix.deserialize() takes 1 positional arguments but 2 were given"),
    (lambda db: Kestrix.deserialize(b"", data=b""), "Kestrix.deserialize() got multiple values for argument 'data'"),
]


@pytest.mark.parametrize("call, message", PARSE_CASES, ids=[m for _, m in PARSE_CASES])
def test_argument_mistakes_raise_TypeError_with_the_python_wording(db, call, message):
    db.insert(1, V)
    before = state(db)
    assert_raises_exactly(TypeError, message, call, db)
    assert state(db) == before


@pytest.mark.parametrize(
    "call",
    [
        lambda db: db.insert(id=1, vector=V),
        lambda db: db.insert(vector=V, id=1),
        lambda db: db.insert(1, vector=V),
        lambda db: db.search(query=Q, k=5, ef=10),
        lambda db: db.search(Q, k=5),
        lambda db: db.search(ef=0, k=1, query=Q),
        lambda db: db.search_scan(k=1, query=Q),
        lambda db: db.build_index(ef_construction=10),
        lambda db: db.build_index(m=4),
        lambda db: db.build_index(4, ef_construction=8),
        lambda db: db.run_gc(ttl_ms=1e12),
        lambda db: db.delete(id=3),
        lambda db: Kestrix.with_capacity(capacity=3),
        lambda db: Kestrix.deserialize(data=b"KSTX\x02\x00\x00\x00\x00\x00\x00\x00"),
    ],
)
def test_keyword_arguments_are_accepted(db, call):
    call(db)


@pytest.mark.parametrize("name", ["is_empty", "has_index", "compact", "serialize"])
def test_no_argument_methods_refuse_arguments(db, name):
    with pytest.raises(TypeError):
        getattr(db, name)(1)
    with pytest.raises(TypeError):
        getattr(db, name)(x=1)


def test_parse_error_comes_before_conversion_error(db):
    assert_raises_exactly(
        TypeError, "Kestrix.insert() takes 2 positional arguments but 3 were given", db.insert, "bad", "bad", 3
    )


def test_exception_args_hold_one_message():
    with pytest.raises(RuntimeError) as info:
        Kestrix.with_capacity(0).insert(1, V)
    assert info.value.args == ("insert error: CapacityExceeded",)


# --- unsigned integer conversion -------------------------------------------------


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class TypeErrorSubclass(TypeError):
    pass


@pytest.mark.parametrize(
    "value, stored",
    [
        (True, 1),
        (False, 0),
        (np.int64(3), 3),
        (np.uint32(2**31 - 1), 2**31 - 1),
        (np.int8(5), 5),
        (Index(9), 9),
        (2**31 - 1, 2**31 - 1),
    ],
)
def test_id_accepts_ints_bools_and_index_objects(db, value, stored):
    db.insert(value, V)
    assert parse_store(db.serialize()).ids == [stored]


@pytest.mark.parametrize("value", [-1, -(2**70), 2**64, 2**100, Index(-1), Index(2**64), np.int64(-1)])
def test_out_of_range_id_raises_the_interpreters_OverflowError_without_argument_name(db, value):
    with pytest.raises(OverflowError) as info:
        db.insert(value, V)
    assert type(info.value) is OverflowError
    assert "argument" not in str(info.value)
    assert len(db) == 0


@pytest.mark.parametrize("value", [2**32, 2**64 - 1, Index(2**32), np.uint64(2**40)])
def test_id_above_32_bits_raises_out_of_range_OverflowError(db, value):
    assert_raises_exactly(OverflowError, "out of range integral type conversion attempted", db.insert, value, V)
    assert_raises_exactly(OverflowError, "out of range integral type conversion attempted", db.delete, value)


@pytest.mark.parametrize(
    "method, param, call",
    [
        ("insert", "id", lambda db, x: db.insert(x, V)),
        ("delete", "id", lambda db, x: db.delete(x)),
        ("search", "k", lambda db, x: db.search(Q, x)),
        ("search", "ef", lambda db, x: db.search(Q, 1, x)),
        ("search_scan", "k", lambda db, x: db.search_scan(Q, x)),
        ("build_index", "m", lambda db, x: db.build_index(x)),
        ("build_index", "ef_construction", lambda db, x: db.build_index(16, x)),
        ("with_capacity", "capacity", lambda db, x: db.with_capacity(x)),
    ],
)
@pytest.mark.parametrize("bad", [1.0, 1.5, "3", None, b"1", [1], np.float64(2.0), 1j])
def test_non_integer_is_wrapped_in_TypeError_naming_the_argument(db, method, param, call, bad):
    db.insert(1, V)
    before = state(db)
    expected = f"argument '{param}': {index_error(bad)}"
    assert_raises_exactly(TypeError, expected, call, db, bad)
    assert state(db) == before


@pytest.mark.parametrize(
    "call",
    [
        lambda db, x: db.search(Q, x),
        lambda db, x: db.search(Q, 1, x),
        lambda db, x: db.search_scan(Q, x),
        lambda db, x: db.build_index(x),
        lambda db, x: db.build_index(2, x),
        lambda db, x: db.with_capacity(x),
    ],
)
@pytest.mark.parametrize("bad", [-1, 2**64, Index(-5)])
def test_out_of_range_u64_raises_OverflowError_unwrapped(db, call, bad):
    with pytest.raises(OverflowError) as info:
        call(db, bad)
    assert type(info.value) is OverflowError
    assert not str(info.value).startswith("argument")
    assert db.has_index() is False


def test_wrapped_TypeError_carries_the_original_cause_not_the_original_error(db):
    root = KeyError("root")
    inner = TypeError("inner")
    inner.__cause__ = root
    with pytest.raises(TypeError) as info:
        db.insert(RaisingIndex(inner), V)
    assert info.value.args == ("argument 'id': inner",)
    assert info.value.__cause__ is root
    assert info.value is not inner


def test_wrapped_TypeError_without_cause_has_no_cause(db):
    with pytest.raises(TypeError) as info:
        db.search(Q, 1, RaisingIndex(TypeError("no index here")))
    assert info.value.args == ("argument 'ef': no index here",)
    assert info.value.__cause__ is None


@pytest.mark.parametrize(
    "exc",
    [ValueError("v"), TypeErrorSubclass("sub"), ZeroDivisionError("z"), OverflowError("o"), KeyError("k")],
    ids=lambda e: type(e).__name__,
)
def test_non_TypeError_from_conversion_passes_unchanged(db, exc):
    with pytest.raises(type(exc)) as info:
        db.insert(RaisingIndex(exc), V)
    assert info.value is exc
    with pytest.raises(type(exc)) as info:
        db.search_scan(Q, RaisingIndex(exc))
    assert info.value is exc


def test_index_returning_a_non_int_is_wrapped(db):
    expected = f"argument 'k': {index_error(Index(1.5))}"
    assert_raises_exactly(TypeError, expected, db.search_scan, Q, Index(1.5))


@pytest.mark.parametrize("k", [2**64 - 1, np.uint64(2**64 - 1), Index(2**64 - 1)])
def test_largest_u64_is_accepted_for_k_ef_and_build_parameters(db, k):
    db.insert(1, V)
    assert db.search_scan(Q, k) == [(1, 1.0)]
    assert db.search(Q, k, k) == [(1, 1.0)]


# --- float conversion (ttl_ms) ---------------------------------------------------


class Flt:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


@pytest.mark.parametrize(
    "ttl",
    [5, 5.5, -1.0, np.float32(1.5), np.float64(2.0), np.int64(3), Flt(-1.0), Index(7), True, 2**80],
    ids=repr,
)
def test_ttl_accepts_real_numbers(db, ttl):
    assert db.run_gc(ttl) == 0


@pytest.mark.parametrize("bad", ["5", None, b"5", [5], 1j])
def test_non_real_ttl_is_wrapped_in_TypeError_naming_ttl_ms(db, bad):
    expected = f"argument 'ttl_ms': {float_error(bad)}"
    assert_raises_exactly(TypeError, expected, db.run_gc, bad)


def test_float_returning_non_float_is_wrapped(db):
    bad = Flt("x")
    expected = f"argument 'ttl_ms': {float_error(bad)}"
    assert_raises_exactly(TypeError, expected, db.run_gc, bad)


def test_huge_int_ttl_raises_the_interpreters_OverflowError(db):
    with pytest.raises(OverflowError) as info:
        db.run_gc(10**400)
    assert str(info.value) == str(float_error(10**400))


class RaisingFloat:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


def test_ttl_float_errors_other_than_TypeError_pass_unchanged(db):
    exc = ArithmeticError("nope")
    with pytest.raises(ArithmeticError) as info:
        db.run_gc(RaisingFloat(exc))
    assert info.value is exc


# --- vector and query conversion -------------------------------------------------


class Outer:
    class NotASequence:
        def __iter__(self):
            return iter([1.0] * DIM)


class StrSub(str):
    pass


def gen():
    return (1.0 for _ in range(DIM))


@pytest.mark.parametrize(
    "bad, qualname",
    [
        ({0: 1.0}, "dict"),
        (gen(), "generator"),
        (set(range(DIM)), "set"),
        (frozenset(range(DIM)), "frozenset"),
        (None, "NoneType"),
        (5, "int"),
        (1.5, "float"),
        (iter([1.0] * DIM), "list_iterator"),
        ({}.keys(), "dict_keys"),
        (Outer.NotASequence(), "Outer.NotASequence"),
        (np.float32(1.0), "float32"),
    ],
)
@pytest.mark.parametrize(
    "param, call",
    [
        ("vector", lambda db, x: db.insert(1, x)),
        ("query", lambda db, x: db.search(x, 1)),
        ("query", lambda db, x: db.search_scan(x, 1)),
    ],
)
def test_non_sequence_vector_is_refused_naming_its_type(db, bad, qualname, param, call):
    expected = f"argument '{param}': '{qualname}' object cannot be converted to 'Sequence'"
    assert_raises_exactly(TypeError, expected, call, db, bad)
    assert len(db) == 0


@pytest.mark.parametrize("bad", ["x" * DIM, "", StrSub("1" * DIM)])
@pytest.mark.parametrize(
    "param, call",
    [
        ("vector", lambda db, x: db.insert(1, x)),
        ("query", lambda db, x: db.search(x, 1)),
        ("query", lambda db, x: db.search_scan(x, 1)),
    ],
)
def test_str_vector_is_refused_with_TypeError_naming_the_argument(db, bad, param, call):
    with pytest.raises(TypeError) as info:
        call(db, bad)
    assert type(info.value) is TypeError
    msg = str(info.value)
    assert msg.startswith(f"argument '{param}': ")
    assert len(msg) > len(f"argument '{param}': ")
    assert "cannot be converted to 'Sequence'" not in msg  # the str case has its own text
    assert len(info.value.args) == 1


@pytest.mark.parametrize(
    "param, call",
    [
        ("vector", lambda db, x: db.insert(1, x)),
        ("query", lambda db, x: db.search(x, 1)),
        ("query", lambda db, x: db.search_scan(x, 1)),
    ],
)
@pytest.mark.parametrize("bad_item", ["a", None, [1.0], b"x", 1j])
def test_non_number_item_is_wrapped_naming_the_argument(db, param, call, bad_item):
    values = [1.0] * DIM
    values[9] = bad_item
    expected = f"argument '{param}': {float_error(bad_item)}"
    assert_raises_exactly(TypeError, expected, call, db, values)
    assert len(db) == 0


def test_item_overflow_is_not_wrapped(db):
    values = [1.0] * DIM
    values[5] = 10**400
    with pytest.raises(OverflowError) as info:
        db.insert(1, values)
    assert str(info.value) == str(float_error(10**400))
    assert len(db) == 0


class Seq:
    """A sequence whose iteration can run a callback and whose __len__ may lie or fail."""

    def __init__(self, values, on_item=None, at=0, length=None, len_exc=None, iter_exc_at=None, iter_exc=None):
        self.values = list(values)
        self.on_item = on_item
        self.at = at
        self.length = length
        self.len_exc = len_exc
        self.iter_exc_at = iter_exc_at
        self.iter_exc = iter_exc
        self.calls = 0

    def __len__(self):
        if self.len_exc is not None:
            raise self.len_exc
        return len(self.values) if self.length is None else self.length

    def __getitem__(self, i):
        return self.values[i]

    def __iter__(self):
        for i, v in enumerate(self.values):
            if i == self.iter_exc_at:
                raise self.iter_exc
            if self.on_item is not None and i == self.at:
                self.calls += 1
                self.on_item()
            yield v


@pytest.mark.parametrize(
    "seq",
    [
        Seq([1.0] * DIM, len_exc=ValueError("no len")),
        Seq([1.0] * DIM, len_exc=TypeError("no len")),
        Seq([1.0] * DIM, length=0),
        Seq([1.0] * DIM, length=10_000),
    ],
    ids=["len-raises-ValueError", "len-raises-TypeError", "len-says-0", "len-says-10000"],
)
def test_vector_length_is_what_iteration_yields_not_what_len_says(db, seq):
    assert db.insert(1, seq) == 0
    assert parse_store(db.serialize()).vectors == [(1 << DIM) - 1]
    assert db.search_scan(seq, 1) == [(1, 1.0)]


def test_lying_len_does_not_hide_a_short_vector(db):
    seq = Seq([1.0] * 383, length=384)
    assert_raises_exactly(ValueError, "expected 384-dim vector, got 383", db.insert, 1, seq)


def test_iteration_TypeError_is_wrapped_and_ValueError_passes(db):
    assert_raises_exactly(
        TypeError,
        "argument 'vector': broken",
        db.insert,
        1,
        Seq([1.0] * DIM, iter_exc_at=3, iter_exc=TypeError("broken")),
    )
    exc = ValueError("mid-iteration")
    with pytest.raises(ValueError) as info:
        db.search_scan(Seq([1.0] * DIM, iter_exc_at=3, iter_exc=exc), 1)
    assert info.value is exc
    assert len(db) == 0


@pytest.mark.parametrize(
    "vector",
    [
        tuple([1] * DIM),
        bytes(DIM),
        bytearray(DIM),
        np.ones(DIM, dtype=np.float32),
        np.ones(DIM),
        array.array("f", [1.0] * DIM),
        range(DIM),
        np.ones((2, DIM), dtype=np.float32)[1],
        np.ones(2 * DIM, dtype=np.float32)[::2],
    ],
    ids=["tuple-int", "bytes", "bytearray", "np-f32", "np-f64", "array-f", "range", "np-row", "np-strided"],
)
def test_common_vector_types_are_accepted(db, vector):
    assert db.insert(1, vector) == 0
    assert len(db.search(vector, 1)) == 1
    assert len(db.search_scan(vector, 1)) == 1


def test_two_dimensional_array_is_not_a_384_component_vector(db):
    with pytest.raises((TypeError, ValueError)):
        db.insert(1, np.ones((1, DIM), dtype=np.float32))
    assert len(db) == 0


# --- conversion order ------------------------------------------------------------


def test_arguments_are_converted_in_parameter_order(db):
    # id first: a bad id is reported even though the vector is bad too.
    assert_raises_exactly(TypeError, f"argument 'id': {index_error(1.0)}", db.insert, 1.0, {0: 1})
    # query before k, k before the length check.
    assert_raises_exactly(
        TypeError, "argument 'query': 'dict' object cannot be converted to 'Sequence'", db.search_scan, {}, -1
    )
    with pytest.raises(OverflowError):
        db.search_scan([1.0] * 3, -1)
    with pytest.raises(OverflowError):
        db.search([1.0] * 3, 1, -1)
    assert_raises_exactly(TypeError, f"argument 'k': {index_error(None)}", db.search, [1.0] * 3, None, None)


def test_conversion_runs_even_when_keywords_arrive_in_another_order(db):
    order = []

    class Tracked:
        def __init__(self, name, value):
            self.name, self.value = name, value

        def __index__(self):
            order.append(self.name)
            return self.value

    db.search(ef=Tracked("ef", 3), k=Tracked("k", 1), query=Q)
    assert order == ["k", "ef"]
    order.clear()
    db.build_index(ef_construction=Tracked("efc", 3), m=Tracked("m", 4))
    assert order == ["m", "efc"]


# --- bytes conversion ------------------------------------------------------------


class BytesSub(bytes):
    pass


EMPTY = b"KSTX\x02\x00\x00\x00\x00\x00\x00\x00"


@pytest.mark.parametrize(
    "bad, qualname",
    [
        (bytearray(EMPTY), "bytearray"),
        (memoryview(EMPTY), "memoryview"),
        (EMPTY.decode(), "str"),
        (None, "NoneType"),
        (list(EMPTY), "list"),
        (np.frombuffer(EMPTY, dtype=np.uint8), "ndarray"),
    ],
)
def test_deserialize_refuses_anything_but_bytes(bad, qualname):
    expected = f"argument 'data': '{qualname}' object cannot be converted to 'PyBytes'"
    assert_raises_exactly(TypeError, expected, Kestrix.deserialize, bad)


def test_deserialize_accepts_a_bytes_subclass():
    data = pack_store([3], [1.0], [5])
    db = Kestrix.deserialize(BytesSub(data))
    assert type(db) is Kestrix
    assert db.serialize() == data


# --- results ---------------------------------------------------------------------


def test_result_is_a_list_of_int_float_tuples(db):
    db.insert(7, vec_from_bits(1))
    db.insert(8, vec_from_bits(0))
    for res in (db.search(vec_from_bits(0), 5), db.search_scan(vec_from_bits(0), 5)):
        assert type(res) is list
        assert res == [(8, 1.0), (7, ref_score(1))]
        for item in res:
            assert type(item) is tuple and len(item) == 2
            assert type(item[0]) is int and type(item[1]) is float


@pytest.mark.parametrize(
    "call, result_type",
    [
        (lambda db: db.delete(1), bool),
        (lambda db: db.is_empty(), bool),
        (lambda db: db.has_index(), bool),
        (lambda db: db.build_index(), type(None)),
        (lambda db: db.run_gc(1.0), int),
        (lambda db: db.compact(), int),
        (lambda db: db.serialize(), bytes),
        (lambda db: len(db), int),
        (lambda db: db.insert(2, V), int),
    ],
)
def test_method_results_have_the_documented_types(db, call, result_type):
    db.insert(1, V)
    assert type(call(db)) is result_type


# --- access control and re-entrancy ----------------------------------------------


def reentrant(db, inner):
    """A 384-component sequence whose iteration runs `inner` once and records what happened."""
    log = {}

    def hook():
        try:
            log["result"] = inner()
        except Exception as e:
            log["error"] = e

    return Seq([1.0] * DIM, on_item=hook, at=5), log


def test_shared_call_during_insert_fails_with_already_mutably_borrowed(db):
    db.insert(1, V)
    before = db.serialize()
    seq = Seq([1.0] * DIM, on_item=lambda: db.search_scan(Q, 1), at=5)
    assert_raises_exactly(RuntimeError, "Already mutably borrowed", db.insert, 2, seq)
    assert db.serialize() == before
    assert db.insert(2, V) == 1  # free again


def test_exclusive_call_during_search_fails_with_already_borrowed(db):
    db.insert(1, V)
    before = db.serialize()
    seq = Seq([1.0] * DIM, on_item=lambda: db.delete(1), at=5)
    assert_raises_exactly(RuntimeError, "Already borrowed", db.search, seq, 1)
    assert db.serialize() == before
    assert db.delete(1) is True  # free again


def test_len_during_search_succeeds(db):
    db.insert(1, V)
    seq, log = reentrant(db, lambda: len(db))
    assert db.search(seq, 1) == [(1, 1.0)]
    assert log == {"result": 1}


def test_caught_access_error_lets_the_outer_call_finish(db):
    db.insert(1, V)
    seq, log = reentrant(db, lambda: db.insert(2, V))
    assert db.search_scan(seq, 5) == [(1, 1.0)]
    assert type(log["error"]) is RuntimeError and log["error"].args == ("Already borrowed",)
    assert len(db) == 1
    seq, log = reentrant(db, lambda: db.serialize())
    assert db.insert(3, seq) == 1
    assert log["error"].args == ("Already mutably borrowed",)
    assert len(db) == 2


SHARED = {
    "search": lambda db: db.search(Q, 1),
    "search_scan": lambda db: db.search_scan(Q, 1),
    "is_empty": lambda db: db.is_empty(),
    "has_index": lambda db: db.has_index(),
    "serialize": lambda db: db.serialize(),
    "len": lambda db: len(db),
}
EXCLUSIVE = {
    "insert": lambda db: db.insert(9, V),
    "delete": lambda db: db.delete(1),
    "build_index": lambda db: db.build_index(),
    "run_gc": lambda db: db.run_gc(-math.inf),
    "compact": lambda db: db.compact(),
}
FREE = {
    "with_capacity": lambda db: db.with_capacity(1),
    "deserialize": lambda db: db.deserialize(EMPTY),
    "new": lambda db: Kestrix(),
}

# Outer calls, each driven through an argument whose conversion runs Python code.
OUTER_EXCLUSIVE = {
    "insert-vector": lambda db, seq, idx: db.insert(2, seq),
    "insert-id": lambda db, seq, idx: db.insert(idx, V),
    "delete-id": lambda db, seq, idx: db.delete(idx),
    "build_index-m": lambda db, seq, idx: db.build_index(idx),
    "run_gc-ttl": lambda db, seq, idx: db.run_gc(idx),
}
OUTER_SHARED = {
    "search-query": lambda db, seq, idx: db.search(seq, 1),
    "search-ef": lambda db, seq, idx: db.search(Q, 1, idx),
    "search_scan-k": lambda db, seq, idx: db.search_scan(Q, idx),
}


class HookIndex:
    def __init__(self, hook, value):
        self.hook, self.value = hook, value

    def __index__(self):
        self.hook()
        return self.value

    def __float__(self):
        self.hook()
        return float(self.value)


def run_nested(db, outer, inner):
    log = {}

    def hook():
        try:
            log["result"] = inner(db)
        except Exception as e:
            log["error"] = e

    seq = Seq([1.0] * DIM, on_item=hook, at=0)
    idx = HookIndex(hook, 1)
    outer(db, seq, idx)
    return log


@pytest.mark.parametrize("outer", OUTER_EXCLUSIVE.values(), ids=OUTER_EXCLUSIVE.keys())
@pytest.mark.parametrize("inner", list(SHARED.values()) + list(EXCLUSIVE.values()), ids=list(SHARED) + list(EXCLUSIVE))
def test_any_call_during_an_exclusive_call_is_refused(db, outer, inner):
    db.insert(1, V)
    log = run_nested(db, outer, inner)
    err = log.get("error")
    assert type(err) is RuntimeError, log
    expected = "Already borrowed" if inner in EXCLUSIVE.values() else "Already mutably borrowed"
    assert err.args == (expected,)


@pytest.mark.parametrize("outer", OUTER_SHARED.values(), ids=OUTER_SHARED.keys())
@pytest.mark.parametrize("inner", SHARED.values(), ids=SHARED.keys())
def test_shared_call_during_a_shared_call_proceeds(db, outer, inner):
    db.insert(1, V)
    log = run_nested(db, outer, inner)
    assert "error" not in log, log


@pytest.mark.parametrize("outer", OUTER_SHARED.values(), ids=OUTER_SHARED.keys())
@pytest.mark.parametrize("inner", EXCLUSIVE.values(), ids=EXCLUSIVE.keys())
def test_exclusive_call_during_a_shared_call_is_refused(db, outer, inner):
    db.insert(1, V)
    before = db.serialize()
    log = run_nested(db, outer, inner)
    assert type(log.get("error")) is RuntimeError, log
    assert log["error"].args == ("Already borrowed",)
    assert db.serialize() == before


@pytest.mark.parametrize("outer", list(OUTER_SHARED.values()) + list(OUTER_EXCLUSIVE.values()))
@pytest.mark.parametrize("inner", FREE.values(), ids=FREE.keys())
def test_constructors_never_meet_the_access_counter(db, outer, inner):
    db.insert(1, V)
    log = run_nested(db, outer, inner)
    assert "error" not in log, log
    assert type(log["result"]) is Kestrix


def test_calls_on_another_instance_are_unaffected(db):
    other = Kestrix()
    log = run_nested(db, OUTER_EXCLUSIVE["insert-vector"], lambda _: other.insert(1, V))
    assert log == {"result": 0}


def test_access_error_comes_before_conversion_error_but_after_parse_error(db):
    db.insert(1, V)
    log = run_nested(db, OUTER_SHARED["search-query"], lambda d: d.insert(1.0, "bad"))
    assert log["error"].args == ("Already borrowed",)
    log = run_nested(db, OUTER_SHARED["search-query"], lambda d: d.insert())
    assert type(log["error"]) is TypeError
    assert log["error"].args == ("Kestrix.insert() missing 2 required positional arguments: 'id' and 'vector'",)
    log = run_nested(db, OUTER_EXCLUSIVE["insert-id"], lambda d: d.search_scan({}, -1))
    assert log["error"].args == ("Already mutably borrowed",)


def test_nested_shared_access_is_released_after_every_level(db):
    db.insert(1, V)
    depth = []

    def make(level):
        def inner():
            depth.append(level)
            if level < 3:
                db.search_scan(Seq([1.0] * DIM, on_item=make(level + 1), at=0), 1)

        return inner

    db.search(Seq([1.0] * DIM, on_item=make(1), at=0), 1)
    assert depth == [1, 2, 3]
    assert db.delete(1) is True  # every shared access was released


def test_object_is_free_after_a_failing_outer_call(db):
    db.insert(1, V)
    bad = Seq([1.0] * DIM, iter_exc_at=10, iter_exc=TypeError("boom"))
    for call in (lambda: db.insert(1, bad), lambda: db.search(bad, 1), lambda: db.run_gc(RaisingFloat(TypeError("x")))):
        with pytest.raises(TypeError):
            call()
        assert db.delete(1) is True
        db.insert(1, V)
        db.compact()


# --- conversion of a list that changes while it is read ------------------------


class Shrinker:
    """An item whose float conversion empties the list that holds it."""

    def __init__(self, owner):
        self.owner = owner

    def __float__(self):
        self.owner.clear()
        return 1.0


class Grower:
    def __init__(self, owner):
        self.owner = owner

    def __float__(self):
        self.owner.append(1.0)
        return 1.0


def test_list_emptied_during_conversion_counts_what_was_read(db):
    values = [1.0] * DIM
    values[2] = Shrinker(values)
    assert_raises_exactly(ValueError, "expected 384-dim vector, got 3", db.insert, 1, values)
    assert len(db) == 0


def test_list_grown_during_conversion_counts_what_was_read(db):
    values = [1.0] * DIM
    values[0] = Grower(values)
    assert_raises_exactly(ValueError, "expected 384-dim query, got 385", db.search_scan, values, 1)


def test_tuple_and_list_of_the_same_values_give_the_same_result(db):
    values = [float(i % 3) - 1.0 for i in range(DIM)]
    db.insert(1, values)
    db.insert(2, tuple(values))
    p = parse_store(db.serialize())
    assert p.vectors[0] == p.vectors[1]


# --- another thread meets the access counter ------------------------------------


def test_other_thread_calling_during_a_conversion_meets_the_access_counter(db):
    import threading

    db.insert(1, V)
    seen = {}

    def other():
        for name, call in (("insert", lambda: db.insert(2, V)), ("len", lambda: len(db))):
            try:
                seen[name] = call()
            except RuntimeError as e:
                seen[name] = e.args

    def hook():
        t = threading.Thread(target=other)
        t.start()
        t.join()  # the GIL is released while joining; the outer call still holds its access

    db.search(Seq([1.0] * DIM, on_item=hook, at=1), 1)
    assert seen == {"insert": ("Already borrowed",), "len": 1}
    seen.clear()
    db.insert(3, Seq([1.0] * DIM, on_item=hook, at=1))
    assert seen == {"insert": ("Already borrowed",), "len": ("Already mutably borrowed",)}


class IntWithOwnIndex(int):
    def __index__(self):
        return 7


def test_int_subclass_is_converted_by_its_int_value_not_its_index(db):
    db.insert(IntWithOwnIndex(3), V)
    assert parse_store(db.serialize()).ids == [3]
    assert db.search_scan(Q, IntWithOwnIndex(0)) == []


@pytest.mark.parametrize("keyword", ["\u00efd", "id\x00x", "ID", "id "])
def test_keyword_names_match_exactly(db, keyword):
    expected = f"Kestrix.insert() got an unexpected keyword argument '{keyword}'"
    assert_raises_exactly(TypeError, expected, db.insert, **{keyword: 1, "vector": V})
    assert len(db) == 0
