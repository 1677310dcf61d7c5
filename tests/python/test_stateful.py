"""A Kestrix driven side by side with a small pure-Python model of its store.

Hypothesis picks random call sequences (inserts into growable and fixed-capacity
stores, duplicate ids, ids at the top of the 31-bit range, vectors drawn from a
handful of bit patterns so that exact distance ties are everywhere, deletes,
sweeps with odd ages, compaction, round trips through bytes, restores with
crafted timestamps, index builds and both searches) and after every step the
store must agree with the model: slot count, emptiness, index presence, the id,
timestamp and vector sections of its byte form, and the exact scan result.

CI runs a few dozen sequences; `make stateful-long` (KESTRIX_STATEFUL_EXAMPLES)
runs thousands.
"""

import math
import os
import struct
import time

import pytest

hypothesis = pytest.importorskip("hypothesis")
from conftest import examples, ref_asymmetric, reference_top_k  # noqa: E402
from hypothesis import HealthCheck, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from hypothesis.stateful import (  # noqa: E402
    RuleBasedStateMachine,
    initialize,
    invariant,
    precondition,
    rule,
)

from kestrix import Kestrix  # noqa: E402

DIMENSION = 384
TOMBSTONE_BIT = 0x80000000
MAX_U64 = 2**64 - 1

# Bit patterns as 12 words. Few and close to one another, so that distances tie
# often and the heap's tie rules are exercised, plus two far-away ones.
BASE = (0x0F0F0F0F, 0x12345678, 0, 0xFFFFFFFF, 0xAAAAAAAA, 0x0, 0x1, 0x80000000, 0x55555555, 0xDEADBEEF, 0, 7)
PATTERNS = [
    BASE,
    (BASE[0] ^ 1,) + BASE[1:],
    (BASE[0] ^ 2,) + BASE[1:],
    BASE[:11] + (BASE[11] ^ 0x80000000,),
    (BASE[0] ^ 3,) + BASE[1:],
    (0,) * 12,
    (0xFFFFFFFF,) * 12,
]
# Components that quantise to a 1 bit and to a 0 bit (after rounding to float32).
ONE_VALUES = [1.0, 0.5, 1e-45, math.inf, 1e39, 3]
ZERO_VALUES = [-1.0, 0.0, -0.0, math.nan, -math.inf, 1e-50, -2]
IDS = [0, 1, 2, 5, 7, 2**31 - 2, 2**31 - 1]
# A sweep age of each kind: below zero, zero, tiny, large, NaN, infinities.
TTLS = [-math.inf, -1.0, -0.0, 0.0, 1.0, 1000.0, 86_400_000.0, 1e15, math.inf, math.nan]


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def score_of(distance, dim=DIMENSION):
    # Two single-precision steps; a float64 quotient followed by rounding gives
    # the same single as a float32 division of these exactly representable operands.
    return f32(1.0 + f32(distance / -dim))


def bits_of(words, dim=DIMENSION):
    """The signs of a `dim`-dimensional vector spelt by a 384-bit pattern:
    component c takes the pattern's bit c % 384."""
    return [(words[c % DIMENSION // 32] >> (c % 32)) & 1 for c in range(dim)]


def hamming(a, b, dim=DIMENSION):
    if dim == DIMENSION:
        return sum(bin(x ^ y).count("1") for x, y in zip(a, b))
    return sum(x != y for x, y in zip(bits_of(a, dim), bits_of(b, dim)))


def code_bytes(words, dim=DIMENSION):
    """The stored code: the signs packed into 64-bit little-endian words."""
    bits = bits_of(words, dim)
    packed = [sum(bit << i for i, bit in enumerate(bits[w : w + 64])) for w in range(0, dim, 64)]
    return struct.pack(f"<{len(packed)}Q", *packed)


def floats_of(words, style, dim=DIMENSION):
    """`dim` components whose signs spell `words`, in one of several spellings."""
    out = []
    for c, bit in enumerate(bits_of(words, dim)):
        pool = ONE_VALUES if bit else ZERO_VALUES
        out.append(pool[(style + c * 7) % len(pool)])
    return out


def container(values, kind):
    if kind == 0:
        return values
    if kind == 1:
        return tuple(values)
    import numpy as np  # a float32 array: the common fast path of the binding

    with np.errstate(over="ignore"):  # 1e39 rounds to +inf on purpose
        return np.asarray(values, dtype=np.float32)


def now_bracket_start():
    return time.time_ns() // 1_000_000


class Slot:
    __slots__ = ("id_word", "stamp", "words")

    def __init__(self, id_word, stamp, words):
        self.id_word, self.stamp, self.words = id_word, stamp, words

    @property
    def live(self):
        return not self.id_word & TOMBSTONE_BIT


class StoreModel:
    """The store as the documentation describes it, in plain Python."""

    def __init__(self, capacity=None):
        self.capacity = capacity
        self.slots = []
        self.has_index = False

    def insert(self, doc_id, words):
        """Returns the slot index, or the error variant name."""
        if doc_id >= 2**31:
            return "DocIdTooLarge"
        if self.capacity is not None and len(self.slots) == self.capacity:
            for i, slot in enumerate(self.slots):
                if not slot.live:
                    self.slots[i] = Slot(doc_id, None, words)
                    self.has_index = False
                    return i
            return "CapacityExceeded"
        self.slots.append(Slot(doc_id, None, words))
        self.has_index = False
        return len(self.slots) - 1

    def delete(self, doc_id):
        for slot in self.slots:
            if slot.live and slot.id_word == doc_id:
                slot.id_word |= TOMBSTONE_BIT
                self.has_index = False
                return True
        return False

    def compact(self):
        n, j = len(self.slots), 0
        while j < n:
            if self.slots[j].live:
                j += 1
            else:
                n -= 1
                self.slots[j] = self.slots[n]
        removed = len(self.slots) - n
        del self.slots[n:]
        if removed:
            self.has_index = False
        return removed

    def scan(self, query, k):
        """(distance, id) pairs, by the bounded max-heap and the sort of the scan."""
        entries = ((hamming(query, slot.words), slot.id_word) for slot in self.slots if slot.live)
        return reference_top_k(entries, k)

    def to_bytes(self, version=2):
        n = len(self.slots)
        out = b"KSTX" + struct.pack("<II", version, n)
        out += struct.pack(f"<{n}I", *(s.id_word for s in self.slots))
        if version == 2:
            out += struct.pack(f"<{n}d", *(s.stamp for s in self.slots))
        out += b"".join(struct.pack("<12I", *s.words) for s in self.slots)
        return out


def sections(data):
    """(ids, timestamps, vectors) of a version 2 byte form."""
    magic, version, n = data[:4], *struct.unpack_from("<II", data, 4)
    assert (magic, version, len(data)) == (b"KSTX", 2, 12 + 60 * n)
    ids = list(struct.unpack_from(f"<{n}I", data, 12))
    stamps = list(struct.unpack_from(f"<{n}d", data, 12 + 4 * n))
    vectors = [struct.unpack_from("<12I", data, 12 + 12 * n + 48 * i) for i in range(n)]
    return ids, stamps, vectors


def same_float(a, b):
    return struct.pack("<d", a) == struct.pack("<d", b)


class KestrixMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.db = None
        self.model = None

    @initialize(capacity=st.one_of(st.none(), st.integers(0, 6)))
    def create(self, capacity):
        if capacity is None:
            self.db = Kestrix()
        else:
            self.db = Kestrix.with_capacity(capacity)
        self.model = StoreModel(capacity)

    # ------------------------------------------------------------ mutations

    @rule(
        doc_id=st.one_of(st.sampled_from(IDS), st.integers(0, 9), st.sampled_from([2**31, 2**31 + 5, 2**32 - 1])),
        pattern=st.integers(0, len(PATTERNS) - 1),
        style=st.integers(0, 50),
        kind=st.integers(0, 2),
    )
    def insert(self, doc_id, pattern, style, kind):
        words = PATTERNS[pattern]
        vector = container(floats_of(words, style), kind)
        expected = self.model.insert(doc_id, words)
        before = now_bracket_start()
        if isinstance(expected, str):
            with pytest.raises(RuntimeError) as raised:
                self.db.insert(doc_id, vector)
            assert raised.value.args == (f"insert error: {expected}",)
            return
        assert self.db.insert(doc_id, vector) == expected
        after = now_bracket_start()
        # The one thing the model cannot know in advance: learn the stamp, but
        # only after checking it is a whole millisecond read during the call.
        stamp = sections(self.db.serialize())[1][expected]
        assert stamp == int(stamp) and before <= stamp <= after
        self.model.slots[expected].stamp = stamp

    @rule(batch=st.lists(st.tuples(st.sampled_from(IDS[:5]), st.integers(0, len(PATTERNS) - 1)), max_size=8))
    def insert_several(self, batch):
        # Stores need a few slots with holes among them before compaction, the
        # recycling order and the scan's tie rules have anything to show.
        for doc_id, pattern in batch:
            self.insert(doc_id, pattern, style=pattern, kind=0)

    @rule(
        length=st.sampled_from([0, 1, 383, 385]),
        doc_id=st.sampled_from([0, 2**31]),
    )
    def insert_wrong_length(self, length, doc_id):
        # The length is checked before the id: even a too-large id gives ValueError.
        with pytest.raises(ValueError) as raised:
            self.db.insert(doc_id, [1.0] * length)
        assert raised.value.args == (f"expected 384-dim vector, got {length}",)

    @rule(doc_id=st.one_of(st.sampled_from(IDS), st.integers(0, 9), st.sampled_from([2**31 + 5, 2**32 - 1])))
    def delete(self, doc_id):
        assert self.db.delete(doc_id) is self.model.delete(doc_id)

    @rule(ttl=st.sampled_from(TTLS))
    def run_gc(self, ttl):
        before = now_bracket_start()
        swept = self.db.run_gc(ttl)
        after = now_bracket_start()
        ids = sections(self.db.serialize())[0]
        count = 0
        for slot, word in zip(self.model.slots, ids):
            if not slot.live:
                assert word == slot.id_word  # never swept twice, never revived
                continue
            # The clock was read somewhere in [before, after]; the age only grows
            # with it, so a slot is surely swept, surely kept, or in between.
            surely = (before - slot.stamp) > ttl
            possibly = (after - slot.stamp) > ttl
            gone = bool(word & TOMBSTONE_BIT)
            assert gone or not surely, (slot.stamp, ttl, before)
            assert possibly or not gone, (slot.stamp, ttl, after)
            assert word & ~TOMBSTONE_BIT == slot.id_word
            if gone:
                slot.id_word = word
                count += 1
        assert swept == count
        if count:
            self.model.has_index = False

    @rule()
    def compact(self):
        assert self.db.compact() == self.model.compact()

    @rule()
    def round_trip(self):
        data = self.db.serialize()
        self.db = Kestrix.deserialize(data)
        self.model.capacity = None
        self.model.has_index = False
        assert self.db.serialize() == data

    @rule(
        stamps=st.lists(
            st.sampled_from([0.0, -0.0, math.nan, math.inf, -math.inf, 1.0, -1e300, 1e300, "past", "future"]),
            min_size=1,
        ),
        version=st.sampled_from([1, 2]),
        tombstones=st.lists(st.booleans(), min_size=1),
    )
    def restore_with_crafted_timestamps(self, stamps, version, tombstones):
        now = now_bracket_start()
        for i, slot in enumerate(self.model.slots):
            stamp = stamps[i % len(stamps)] if version == 2 else 0.0
            if stamp == "past":
                stamp = float(now - 3_600_000)
            elif stamp == "future":
                stamp = float(now + 3_600_000)
            slot.stamp = stamp
            if tombstones[i % len(tombstones)]:
                slot.id_word |= TOMBSTONE_BIT
        self.db = Kestrix.deserialize(self.model.to_bytes(version))
        self.model.capacity = None
        self.model.has_index = False

    @rule(
        m=st.sampled_from([0, 1, 2, 3, 5, 16, MAX_U64]),
        ef_construction=st.sampled_from([0, 1, 4, 200, MAX_U64]),
    )
    def build_index(self, m, ef_construction):
        assert self.db.build_index(m, ef_construction) is None
        self.model.has_index = True

    # ------------------------------------------------------------ reads

    @rule(
        pattern=st.integers(0, len(PATTERNS) - 1),
        flip=st.integers(-1, DIMENSION - 1),
        k=st.sampled_from([0, 1, 2, 3, 5, 20, 21, 25, MAX_U64]),
        kind=st.integers(0, 2),
    )
    def search_scan(self, pattern, flip, k, kind):
        words = list(PATTERNS[pattern])
        if flip >= 0:
            words[flip // 32] ^= 1 << (flip % 32)
        self.check_scan(words, k, kind)

    @rule(
        pattern=st.integers(0, len(PATTERNS) - 1),
        k=st.sampled_from([0, 1, 2, 5, 21, 30, MAX_U64]),
        ef=st.sampled_from([0, 1, 10, 50, MAX_U64]),
    )
    def search(self, pattern, k, ef):
        words = PATTERNS[pattern]
        query = floats_of(words, pattern)
        hits = self.db.search(query, k, ef=ef)
        assert isinstance(hits, list) and all(type(h) is tuple and len(h) == 2 for h in hits)
        if not self.model.has_index:
            assert hits == self.db.search_scan(query, k)
            return
        # The graph is approximate: check shape, order, and that every hit is a
        # live slot with its exact score.
        live = [s for s in self.model.slots if s.live]
        assert len(hits) <= min(k, len(live))
        if k and live:
            assert hits, "an index over live slots found nothing, not even its entry point"
        scores = [score for _, score in hits]
        assert scores == sorted(scores, reverse=True)
        available = {}
        for s in live:
            key = (s.id_word, score_of(hamming(words, s.words)))
            available[key] = available.get(key, 0) + 1
        for hit in hits:
            assert available.get(hit, 0) > 0, f"{hit} is not a live slot with that score"
            available[hit] -= 1

    def check_scan(self, words, k, kind=0):
        query = container(floats_of(words, k % 13), kind)
        hits = self.db.search_scan(query, k)
        expected = [(doc, score_of(d)) for d, doc in self.model.scan(words, k)]
        if len(expected) < 21:
            assert hits == expected
        else:  # the order among equal distances is free from 21 hits on
            assert [s for _, s in hits] == [s for _, s in expected]
            assert sorted(hits) == sorted(expected)

    # ------------------------------------------------------------ after every step

    @invariant()
    def agrees_with_model(self):
        if self.db is None:
            return
        model = self.model
        assert len(self.db) == len(model.slots)
        assert self.db.is_empty() is (not model.slots)
        assert self.db.has_index() is model.has_index
        ids, stamps, vectors = sections(self.db.serialize())
        assert ids == [s.id_word for s in model.slots]
        assert vectors == [s.words for s in model.slots]
        assert all(same_float(a, s.stamp) for a, s in zip(stamps, model.slots))

    @invariant()
    def scan_is_exact(self):
        if self.db is not None:
            self.check_scan(PATTERNS[0], 4)

    @precondition(lambda self: self.db is not None and self.model.capacity is not None)
    @invariant()
    def fixed_capacity_never_exceeded(self):
        assert len(self.db) <= self.model.capacity


EXAMPLES = int(os.environ.get("KESTRIX_STATEFUL_EXAMPLES", examples(60)))
KestrixMachine.TestCase.settings = settings(
    max_examples=EXAMPLES,
    stateful_step_count=40,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)
TestKestrixAgainstModel = KestrixMachine.TestCase


# ---------------------------------------------------------------- Collection

COLLECTION_IDS = [0, 1, 2, 3, 7, 2**31 - 1, 2**31, 2**63 - 1]


def finite_floats_of(words, dim=DIMENSION):
    """Like floats_of, with large finite components standing in for the
    infinities and overflows a collection refuses (NaN spells a 0 bit as -1)."""
    out = []
    for x in floats_of(words, 3, dim):
        if x != x:
            x = -1.0
        elif abs(x) > 1e4:
            x = math.copysign(2.0, x)
        out.append(x)
    return out


def rows_of(words_list, kind, dim=DIMENSION):
    """The batch in one of the input forms a collection reads."""
    values = [finite_floats_of(words, dim) for words in words_list]
    if kind == "lists":
        return values
    import numpy as np

    array = np.asarray(values, dtype=np.float64).reshape(-1, dim)
    if kind == "strided":  # every other column of a wider array: read in place
        wide = np.zeros((len(values), 2 * dim))
        wide[:, ::2] = array
        return wide[:, ::2]
    if kind == "f16":  # float16 has no room for the tiny components: keep the signs float32 gives them
        return np.where(array.astype(np.float32) > 0, 1.0, -1.0).astype(np.float16)
    return array.astype(np.float32 if kind == "f32" else np.float64)


try:
    import numpy
except ImportError:  # the rescoring side is checked with NumPy only
    numpy = None

SIDES = ["none", "int8", "float16"] if numpy is not None else ["none"]


def float32_rows(rows, dim=DIMENSION):
    """The float32 values a collection reads from any of the input forms."""
    return numpy.asarray(rows, dtype=numpy.float64).reshape(-1, dim).astype(numpy.float32)


def int8_rows(x):
    """Each row scaled by its largest magnitude to -127..127, rounded half away
    from zero; the values and the float32 scale that maps them back."""
    np = numpy
    largest = np.abs(x).max(axis=1, keepdims=True).astype(np.float64)
    factor = np.divide(127.0, largest, out=np.zeros_like(largest), where=largest > 0)
    scaled = np.clip(x.astype(np.float64) * factor, -127, 127)
    return np.where(scaled >= 0, np.floor(scaled + 0.5), -np.floor(0.5 - scaled)), (largest / 127).astype(np.float32)


def side_rows(x, side):
    """What a side of this kind stores for float32 rows x, read back as float32."""
    if side == "float16":
        return x.astype(numpy.float16).astype(numpy.float32)
    values, scale = int8_rows(x)
    return values.astype(numpy.float32) * scale


def unit_rows(x):
    """Rows scaled to unit length as a cosine collection scales them: the
    squares summed in order in double, each component scaled in double."""
    rows = numpy.asarray(x, dtype=numpy.float64)
    squares = numpy.cumsum(rows * rows, axis=1)[:, -1:]  # accumulated in order
    inverse = numpy.divide(1.0, numpy.sqrt(squares), out=numpy.zeros_like(squares), where=squares > 0)
    return (rows * inverse).astype(numpy.float32)


def rescored_scores(query, x, words, side, dim=DIMENSION, metric="ip"):
    """The inner products a collection ranks by: int8 ones exactly (integer
    sums, one rounding); float16 and sign ones up to their summation order.
    Under the cosine, x holds the rows as stored (unit) and the query is
    scaled as the collection scales it."""
    np = numpy
    q = float32_rows([query], dim)
    if metric == "cosine":
        q = unit_rows(q)
    if side == "int8":
        qv, qs = int8_rows(q)
        xv, xs = int8_rows(x)
        dots = (xv.astype(np.int64) @ qv[0].astype(np.int64)).astype(np.float64)
        return (dots * (np.float64(qs[0, 0]) * xs[:, 0].astype(np.float64))).astype(np.float32)
    if side == "float16":
        return side_rows(x, side).astype(np.float64) @ q[0].astype(np.float64)
    bits = np.array([bits_of(w, dim) for w in words], dtype=np.float64)
    return (2 * bits - 1).reshape(-1, dim) @ q[0].astype(np.float64) / math.sqrt(dim)


class CollectionMachine(RuleBasedStateMachine):
    """Collection of one dimension against a dict of id -> vector bits kept in
    slot order, and the rows its side must hold for them."""

    def __init__(self):
        super().__init__()
        from kestrix import Collection

        self.col = Collection(threads=2)
        self.side = "none"
        self.metric = "ip"
        self.dim = DIMENSION
        self.model = {}  # id -> words, in slot order (an upsert moves to the end)
        self.rows = {}  # id -> the float32 row it was given (with NumPy)

    # The word edges (1, 65) and a common model size beside 384.
    @initialize(
        side=st.sampled_from(SIDES),
        dim=st.sampled_from([DIMENSION, 1, 65, 768]),
        metric=st.sampled_from(["ip", "cosine"]),
    )
    def choose_side(self, side, dim, metric):
        from kestrix import Collection

        self.col = Collection(dim, threads=2, side=side, metric=metric)
        self.side, self.dim, self.metric = side, dim, metric

    def remember_rows(self, ids, rows):
        if numpy is not None:
            rows = float32_rows(rows, self.dim)
            self.rows.update(zip(ids, unit_rows(rows) if self.metric == "cosine" else rows))

    @rule(
        batch=st.lists(st.tuples(st.sampled_from(COLLECTION_IDS), st.integers(0, len(PATTERNS) - 1)), max_size=6),
        kind=st.sampled_from(["lists", "f16", "f32", "f64", "strided"]),
    )
    def add(self, batch, kind):
        ids = [doc for doc, _ in batch]
        words = [PATTERNS[p] for _, p in batch]
        if kind != "lists":
            pytest.importorskip("numpy")
        if len(set(ids)) != len(ids):
            with pytest.raises(ValueError, match="more than once"):
                self.col.add(ids, rows_of(words, kind, self.dim))
            return
        rows = rows_of(words, kind, self.dim)
        self.col.add(ids, rows)
        self.remember_rows(ids, rows)
        for doc, w in zip(ids, words):
            self.model.pop(doc, None)
            self.model[doc] = w

    @rule(doc=st.sampled_from(COLLECTION_IDS), pattern=st.integers(0, len(PATTERNS) - 1))
    def add_one(self, doc, pattern):
        self.col.add(doc, finite_floats_of(PATTERNS[pattern], self.dim))
        self.remember_rows([doc], [finite_floats_of(PATTERNS[pattern], self.dim)])
        self.model.pop(doc, None)
        self.model[doc] = PATTERNS[pattern]

    @rule(ids=st.lists(st.one_of(st.sampled_from(COLLECTION_IDS), st.just(2**64 - 1), st.just(-1)), max_size=4))
    def delete(self, ids):
        if any(i < 0 or i > 2**63 - 1 for i in ids):
            with pytest.raises(ValueError, match="must lie in"):
                self.col.delete(ids)
            return
        expected = len({i for i in ids if i in self.model})
        assert self.col.delete(ids) == expected
        for doc in ids:
            self.model.pop(doc, None)

    @rule(everything=st.booleans())
    def expire(self, everything):
        # Times are whole milliseconds: once one has passed, ttl 0 expires
        # every document; an infinite ttl expires none.
        if everything:
            time.sleep(0.002)
        assert self.col.expire(0 if everything else math.inf) == (len(self.model) if everything else 0)
        if everything:
            self.model.clear()

    @rule()
    def compact(self):
        slots_before = self.col._slot_count()
        had_index = self.col.has_index()
        assert self.col.compact() == slots_before - len(self.model)
        # Renumbered slots take the graph with them; nothing freed, nothing lost.
        assert self.col.has_index() is (had_index and slots_before == len(self.model))

    @rule(how=st.sampled_from(["file", "pickle", "copy", "deepcopy"]))
    def save_and_load(self, how):
        import copy
        import pickle
        import tempfile

        from kestrix import Collection

        before = self.col._file_bytes()
        if how == "file":
            with tempfile.TemporaryDirectory() as folder:
                path = os.path.join(folder, "c.kx")
                self.col.save(path)
                self.col = Collection.load(path, threads=2)
        else:
            copied = {"pickle": lambda c: pickle.loads(pickle.dumps(c)), "copy": copy.copy, "deepcopy": copy.deepcopy}
            self.col = copied[how](self.col)
        # All of one state: codes, ids, times, side and graph; and the threads asked for.
        assert self.col._file_bytes() == before and self.col.threads == 2 and self.col.dim == self.dim

    @rule(m=st.integers(2, 8))
    def build_index(self, m):
        self.col.build_index(m=m, ef_construction=16)
        assert self.col.has_index()

    @rule(
        pattern=st.integers(0, len(PATTERNS) - 1),
        k=st.integers(0, 10),
        exact=st.booleans(),
        rescore=st.sampled_from([None, True, False]),
        oversample=st.sampled_from([1, 3, 24]),
        allowed=st.one_of(st.none(), st.lists(st.sampled_from(COLLECTION_IDS + [5, 2**40]), max_size=8)),
    )
    def search(self, pattern, k, exact, rescore, oversample, allowed):
        dim = self.dim
        query = finite_floats_of(PATTERNS[pattern], dim)
        # A filter keeps the stored documents it names: min(k, their number)
        # answers on every road, the graph's included.
        live = [(d, w) for d, w in self.model.items() if allowed is None or d in allowed]
        expected = min(k, len(live))
        distances = [hamming(PATTERNS[pattern], words, dim) for _, words in live]
        ranked = sorted(range(len(live)), key=lambda i: (distances[i], i))
        rescoring = rescore if rescore is not None else self.side != "none"
        if rescoring and numpy is None:
            return
        hits = self.col.search(query, k, exact=exact, rescore=rescore, oversample=oversample, filter=allowed)
        scan = exact or not self.col.has_index()
        assert len(hits) == expected if scan or allowed is not None else len(hits) <= expected
        if rescoring:
            # The best k * oversample by the codes (through the graph: some
            # live ones), ranked again by the side, equal scores lower slot
            # first, and scored by it.
            scores = (
                rescored_scores(
                    query,
                    numpy.stack([self.rows[d] for d, _ in live]),
                    [w for _, w in live],
                    self.side,
                    dim,
                    self.metric,
                )
                if live
                else []
            )
            by_doc = {live[i][0]: scores[i] for i in range(len(live))}
            assert [s for _, s in hits] == sorted((s for _, s in hits), reverse=True)
            for doc, score in hits:
                assert score == pytest.approx(by_doc[doc], rel=1e-5, abs=1e-6)
            if scan:
                # Candidates by the query's asymmetric distance, lower slot first.
                codes = b"".join(code_bytes(w, self.dim) for _, w in live)
                rows = numpy.frombuffer(codes, numpy.uint8).reshape(-1, 8 * ((self.dim + 63) // 64))
                far = ref_asymmetric(float32_rows([query], self.dim)[0], rows)
                ranked = sorted(range(len(live)), key=lambda i: (far[i], i))
                best = sorted(ranked[: k * oversample], key=lambda i: (-scores[i], i))[:k]
                if self.metric == "ip" or self.side == "int8":
                    assert [doc for doc, _ in hits] == [live[i][0] for i in best]
                else:
                    # A query scaled to unit length makes scores that tie
                    # exactly unscaled tie only up to the order of their sums:
                    # the best scores of the same candidates.
                    assert {doc for doc, _ in hits} <= {live[i][0] for i in ranked[: k * oversample]}
                    assert [by_doc[doc] for doc, _ in hits] == pytest.approx([scores[i] for i in best], 1e-5, 1e-6)
            return
        if exact or not self.col.has_index():
            assert hits == [(live[i][0], score_of(distances[i], dim)) for i in ranked[:k]]
        else:
            # Through the graph: allowed live documents, each with its own
            # distance's score.
            by_doc = {live[i][0]: score_of(distances[i], dim) for i in range(len(live))}
            assert all(by_doc[doc] == score for doc, score in hits)

    @invariant()
    def agrees_with_model(self):
        order = list(self.model)
        assert len(self.col) == len(order)
        shown = repr(self.col)
        kind = type(self.col).__name__  # a durable collection says so
        assert shown.startswith(f"{kind}(dim={self.dim}, documents={len(order)}, slots={self.col._slot_count()}, ")
        assert (
            f"side={self.side!r}, metric={self.metric!r}" in shown
            and ("graph=HNSW(m=" in shown) is self.col.has_index()
        )
        assert list(self.col.ids()) == order
        for doc in COLLECTION_IDS:
            assert (doc in self.col) is (doc in self.model)
        codes = self.col.get(order)
        assert [bytes(bytearray(row)) for row in codes] == [code_bytes(self.model[d], self.dim) for d in order]
        if self.side != "none" and order:
            # Row for row what the side must hold for each live document, in
            # slot order: nothing lost, moved or stale after any change.
            expected = side_rows(numpy.stack([self.rows[d] for d in order]), self.side)
            assert numpy.array_equal(self.col.get(order, vectors=True), expected)


CollectionMachine.TestCase.settings = settings(
    max_examples=EXAMPLES,
    stateful_step_count=30,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)
TestCollectionAgainstModel = CollectionMachine.TestCase


class DurableCollectionMachine(CollectionMachine):
    """The same against a durable collection, closed and opened again, and
    checkpointed, between any two steps: it opens to the collection it was,
    byte for byte (slots, insertion times, side rows, graph)."""

    def __init__(self):
        super().__init__()
        import tempfile

        self.folders = [tempfile.mkdtemp(prefix="kestrix-durable-")]
        self.col = self.open(self.folders[0])

    @staticmethod
    def open(folder, side=None, metric=None):
        from kestrix import Collection

        return Collection.open(folder, threads=2, side=side, metric=metric)

    @initialize(side=st.sampled_from(SIDES), metric=st.sampled_from(["ip", "cosine"]))
    def choose_side(self, side, metric):
        import tempfile

        self.col.close()
        self.folders.append(tempfile.mkdtemp(prefix="kestrix-durable-"))
        self.col = self.open(self.folders[-1], side, metric)
        self.side, self.metric = side, metric

    @rule()
    def reopen(self):
        before = self.col._file_bytes()
        self.col.close()
        self.col = self.open(self.folders[-1])
        assert self.col._file_bytes() == before
        assert self.col.recovery.lost == () and self.col.recovery.kept_aside == ()

    @rule()
    def checkpoint(self):
        # It holds every change so far; the next log starts after it.
        assert self.col.checkpoint() == self.col._last_record()

    @rule()
    def save_and_load(self):
        import tempfile

        from kestrix import Collection

        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "c.kx")
            self.col.save(path)
            assert Collection.load(path)._file_bytes() == self.col._file_bytes()

    def teardown(self):
        import shutil

        self.col.close()
        for folder in self.folders:
            shutil.rmtree(folder, ignore_errors=True)


DurableCollectionMachine.TestCase.settings = settings(
    max_examples=max(10, EXAMPLES // 3),
    stateful_step_count=30,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)
TestDurableCollectionAgainstModel = DurableCollectionMachine.TestCase
