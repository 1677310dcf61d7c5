"""Shared helpers for the Python suite.

Expected values here are worked out independently, never read back from the module:
a tiny pure-Python reference of the sign rule, the Hamming distance and the
single-precision score, and a writer/reader of the serialized byte format.
"""

import ctypes
import operator
import os
import struct
import time

import numpy as np
import pytest
from hypothesis import settings

from kestrix import Kestrix

# No example database in the work tree, and no deadline: CI machines vary.
settings.register_profile("kestrix", database=None, deadline=None)
# Under the sanitizers an example costs several times as much, and what they
# look for (a bad access, a reference slip) shows on any example that reaches
# the code: a fifth of the examples (scripts/sanitize.sh picks this profile).
settings.register_profile("sanitizers", settings.get_profile("kestrix"), max_examples=20)
settings.load_profile(os.environ.get("KESTRIX_HYPOTHESIS_PROFILE", "kestrix"))


def examples(n):
    """A test's own number of examples, `n` under the default profile (100
    examples a test) and the same share of a smaller profile's."""
    return max(1, n * settings.default.max_examples // 100)


DIM = 384
WORDS = 12
TOMBSTONE_BIT = 0x80000000
MAGIC = b"KSTX"
CORRUPTED = "deserialize error: CorruptedData"
ALL_BITS = (1 << DIM) - 1


# --- vectors -----------------------------------------------------------------


def vec_from_bits(bits, on=1.0, off=-1.0):
    """A 384-float list whose component c is positive exactly when bit c of `bits` is set."""
    return [on if (bits >> c) & 1 else off for c in range(DIM)]


def first_bits(n):
    """The bit pattern with components 0 .. n-1 set."""
    return (1 << n) - 1


def bits_at(*positions):
    out = 0
    for p in positions:
        out |= 1 << p
    return out


def bits_to_words(bits):
    return [(bits >> (32 * i)) & 0xFFFFFFFF for i in range(WORDS)]


def words_to_bits(words):
    out = 0
    for i, w in enumerate(words):
        out |= w << (32 * i)
    return out


def to_f32(x):
    """Round a Python number the way the binding does: to a 64-bit float, then to the nearest 32-bit float."""
    with np.errstate(over="ignore"):
        return np.float32(np.float64(float(x)))


def ref_quantize(values):
    """The sign rule, as a 384-bit integer."""
    assert len(values) == DIM
    bits = 0
    for c, v in enumerate(values):
        if to_f32(v) > np.float32(0.0):
            bits |= 1 << c
    return bits


def ref_hamming(a_bits, b_bits):
    return bin(a_bits ^ b_bits).count("1")


def ref_asymmetric(query, codes, bits=4):
    """The distance a rescored search picks its candidates by: the float32
    query rounded to the odd levels -(2**bits - 1)..2**bits - 1 of its largest
    magnitude (halves up), and for each code (rows of uint8, bit c of byte
    c // 8 set for a positive component) the sum of |level| over the
    components whose sign the code gets wrong."""
    q = np.asarray(query, dtype=np.float32)
    codes = np.asarray(codes, dtype=np.uint8)
    if codes.ndim == 1:  # rows packed back to back
        codes = codes.reshape(-1, (q.size + 7) // 8)
    largest = np.abs(q).max()
    top = np.float32(2**bits - 1)
    if largest == 0:
        return np.zeros(len(codes), dtype=np.int64)
    levels = np.clip(np.floor((q / largest + np.float32(1)) * (top * np.float32(0.5)) + np.float32(0.5)), 0, top)
    component = 2 * levels.astype(np.int64) - int(top)
    positive = np.unpackbits(codes, axis=1, bitorder="little")[:, : q.size].astype(bool)
    wrong = np.where(positive, component < 0, component > 0)
    return (wrong * np.abs(component)).sum(axis=1)


def ref_score(d):
    """distance_to_score in 32-bit floats: (d / -384.0) + 1.0, each step rounded to single precision."""
    q = np.float32(d) / np.float32(-384.0)
    s = q + np.float32(1.0)
    assert isinstance(s, np.float32)
    return float(s)


def is_f32(x):
    return float(np.float32(x)) == x


# --- serialized format -------------------------------------------------------


def pack_store(ids, timestamps=None, vectors=None, version=2, n=None, tail=b""):
    """Write the serialized format by hand.

    `vectors` are 384-bit integers (or lists of 12 words); `timestamps` are floats
    or raw 8-byte strings (for exact NaN payloads)."""
    count = len(ids) if n is None else n
    out = bytearray(MAGIC)
    out += struct.pack("<II", version, count)
    for w in ids:
        out += struct.pack("<I", w)
    if version == 2:
        for t in timestamps if timestamps is not None else [0.0] * len(ids):
            out += t if isinstance(t, bytes) else struct.pack("<d", t)
    for v in vectors if vectors is not None else [0] * len(ids):
        words = v if isinstance(v, (list, tuple)) else bits_to_words(v)
        out += struct.pack("<12I", *words)
    return bytes(out) + tail


class Parsed:
    def __init__(self, version, ids, timestamps, raw_timestamps, vectors):
        self.version = version
        self.ids = ids
        self.timestamps = timestamps
        self.raw_timestamps = raw_timestamps
        self.vectors = vectors  # 384-bit integers

    @property
    def n(self):
        return len(self.ids)

    def slots(self):
        return list(zip(self.ids, self.raw_timestamps, self.vectors))


def parse_store(data):
    """Read a version-2 output of serialize(), asserting its exact length."""
    assert data[:4] == MAGIC
    version, n = struct.unpack_from("<II", data, 4)
    assert version == 2
    assert len(data) == 12 + 60 * n
    ids = list(struct.unpack_from(f"<{n}I", data, 12))
    raw_ts = [data[12 + 4 * n + 8 * i : 12 + 4 * n + 8 * i + 8] for i in range(n)]
    ts = [struct.unpack("<d", r)[0] for r in raw_ts]
    base = 12 + 12 * n
    vectors = [words_to_bits(struct.unpack_from("<12I", data, base + 48 * i)) for i in range(n)]
    return Parsed(version, ids, ts, raw_ts, vectors)


def state(db):
    """Everything observable about a store: its bytes and whether it has an index."""
    return db.serialize(), db.has_index()


def now_ms():
    return float(int(time.time() * 1000))


# --- what the interpreter itself says ----------------------------------------

_as_double = ctypes.pythonapi.PyFloat_AsDouble
_as_double.argtypes = [ctypes.py_object]
_as_double.restype = ctypes.c_double


def interp_error(func, obj):
    try:
        func(obj)
    except Exception as e:
        return e
    raise AssertionError(f"interpreter accepted {obj!r}")


def index_error(obj):
    """The exception PyNumber_Index raises for obj."""
    return interp_error(operator.index, obj)


def float_error(obj):
    """The exception PyFloat_AsDouble raises for obj."""
    return interp_error(_as_double, obj)


def assert_raises_exactly(exc_type, message, func, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        func(*args, **kwargs)
    assert type(info.value) is exc_type, f"{type(info.value).__name__}: {info.value}"
    assert info.value.args == (message,)
    return info.value


# --- fixtures ----------------------------------------------------------------


@pytest.fixture
def db():
    return Kestrix()


@pytest.fixture
def vec():
    return [0.5] * DIM


@pytest.fixture
def query():
    return [0.5] * DIM


def reference_top_k(entries, k):
    """The scan's selection, written out: `entries` are (distance, payload)
    pairs of the live slots in slot order. A bounded max-heap that admits only
    strictly closer entries once full, then an insertion sort below 21 entries
    (equal distances keep their heap order) and a plain sort above."""
    heap = []
    if k == 0:
        return heap
    for entry in entries:
        if len(heap) < k:
            heap.append(entry)
            i = len(heap) - 1
            while i > 0 and heap[i][0] > heap[(i - 1) // 2][0]:
                parent = (i - 1) // 2
                heap[i], heap[parent] = heap[parent], heap[i]
                i = parent
        elif entry[0] < heap[0][0]:
            heap[0] = entry
            m = 0
            while True:
                pick, left, right = m, 2 * m + 1, 2 * m + 2
                if left < len(heap) and heap[left][0] > heap[pick][0]:
                    pick = left
                if right < len(heap) and heap[right][0] > heap[pick][0]:
                    pick = right
                if pick == m:
                    break
                heap[m], heap[pick] = heap[pick], heap[m]
                m = pick
    if len(heap) < 21:
        for i in range(1, len(heap)):
            moving, j = heap[i], i
            while j > 0 and heap[j - 1][0] > moving[0]:
                heap[j] = heap[j - 1]
                j -= 1
            heap[j] = moving
    else:
        heap.sort(key=lambda hit: hit[0])
    return heap
