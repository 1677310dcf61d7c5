"""kestrix.insert_many / kestrix.search_many on NumPy arrays."""

import subprocess
import sys
import textwrap

import pytest

import kestrix
from kestrix import Kestrix

np = pytest.importorskip("numpy")


@pytest.fixture
def rng():
    return np.random.default_rng(11)


def _filled(rng, n):
    db = Kestrix()
    vectors = rng.standard_normal((n, 384)).astype(np.float32)
    kestrix.insert_many(db, np.arange(n), vectors)
    return db, vectors


@pytest.mark.parametrize("dtype", [np.float16, np.float32, np.float64])
def test_insert_many_stores_each_row_under_its_id_like_single_inserts(rng, dtype):
    vectors = rng.standard_normal((9, 384)).astype(dtype)
    ids = np.array([5, 3, 3, 8, 0, 2**31 - 1, 1, 4, 6], dtype=np.uint32)
    db = Kestrix()
    slots = kestrix.insert_many(db, ids, vectors)
    assert slots.dtype == np.int64 and slots.tolist() == list(range(9))

    one_by_one = Kestrix()
    for doc_id, row in zip(ids.tolist(), vectors.astype(np.float64).tolist()):
        one_by_one.insert(doc_id, row)
    for row in vectors.astype(np.float64).tolist():
        assert db.search_scan(row, 9) == one_by_one.search_scan(row, 9)


def test_insert_many_accepts_a_list_of_ids_and_an_empty_batch(rng):
    db = Kestrix()
    assert kestrix.insert_many(db, [7, 8], rng.standard_normal((2, 384))).tolist() == [0, 1]
    assert kestrix.insert_many(db, [], np.empty((0, 384), dtype=np.float32)).shape == (0,)
    assert len(db) == 2


@pytest.mark.parametrize(
    "ids, vectors, error, message",
    [
        (np.arange(1), np.zeros(384, np.float32), ValueError, r"2-D with shape \(n, 384\).*reshape\(1, -1\)"),
        (np.arange(2), np.zeros((2, 383), np.float32), ValueError, "384 columns"),
        (np.arange(2), np.zeros((2, 384, 1), np.float32), ValueError, "2-D"),
        (np.arange(2), np.zeros((2, 384), np.int64), TypeError, "floating dtype"),
        (np.arange(2), np.zeros((2, 384), np.complex64), TypeError, "floating dtype"),
        (np.arange(2), [[0.0] * 384] * 2, TypeError, "numpy.ndarray"),
        (np.arange(3), np.zeros((2, 384), np.float32), ValueError, "3 entries but vectors has 2 rows"),
        (np.arange(2).reshape(2, 1), np.zeros((2, 384), np.float32), ValueError, "ids must be 1-D"),
        (np.array([0.0, 1.0]), np.zeros((2, 384), np.float32), TypeError, "integer dtype"),
        (np.array([0, -1]), np.zeros((2, 384), np.float32), ValueError, "-1"),
        (np.array([0, 2**31]), np.zeros((2, 384), np.float32), ValueError, "2147483648"),
    ],
    ids=[
        "one-vector",
        "wrong-width",
        "3-D",
        "int-dtype",
        "complex-dtype",
        "list",
        "length-mismatch",
        "2-D-ids",
        "float-ids",
        "negative-id",
        "id-too-large",
    ],
)
def test_insert_many_refuses_bad_batches_before_inserting_anything(rng, ids, vectors, error, message):
    db, _ = _filled(rng, 3)
    before = db.serialize()
    with pytest.raises(error, match=message):
        kestrix.insert_many(db, ids, vectors)
    assert db.serialize() == before


@pytest.mark.parametrize("bad", [np.nan, np.inf, 1e39])
def test_insert_many_refuses_non_finite_rows_naming_the_row(rng, bad):
    db = Kestrix()
    vectors = rng.standard_normal((4, 384))
    vectors[2, 17] = bad
    with pytest.raises(ValueError, match="row 2"):
        kestrix.insert_many(db, np.arange(4), vectors)
    assert len(db) == 0


def test_insert_many_refuses_a_batch_a_fixed_store_cannot_hold_before_any_row(rng):
    db = Kestrix.with_capacity(3)
    kestrix.insert_many(db, np.arange(2), rng.standard_normal((2, 384)))
    db.delete(0)  # one free slot and one to recycle: room for two rows
    before = db.serialize()
    with pytest.raises(RuntimeError, match="CapacityExceeded .*nothing was inserted"):
        kestrix.insert_many(db, np.arange(3), rng.standard_normal((3, 384)))
    assert db.serialize() == before
    assert kestrix.insert_many(db, np.array([7, 8]), rng.standard_normal((2, 384))).tolist() == [2, 0]


@pytest.mark.parametrize(
    "exact, ef, build", [(True, None, False), (False, None, False), (False, None, True), (False, 80, True)]
)
def test_search_many_rows_match_single_searches(rng, exact, ef, build):
    db, vectors = _filled(rng, 200)
    if build:
        db.build_index()
    queries = rng.standard_normal((6, 384)).astype(np.float32)
    ids, scores = kestrix.search_many(db, queries, 5, ef, exact=exact)
    assert ids.shape == scores.shape == (6, 5)
    assert ids.dtype == np.int64 and scores.dtype == np.float32
    for row, query in enumerate(queries.tolist()):
        if exact:
            expected = db.search_scan(query, 5)
        elif ef is None:
            expected = db.search(query, 5)
        else:
            expected = db.search(query, 5, ef)
        assert list(zip(ids[row].tolist(), scores[row].tolist())) == expected


@pytest.mark.parametrize("live, k", [(0, 3), (2, 5), (3, 0)])
def test_search_many_pads_short_rows_with_minus_one_and_nan(rng, live, k):
    db, _ = _filled(rng, live)
    ids, scores = kestrix.search_many(db, rng.standard_normal((2, 384)), k)
    assert ids.shape == (2, min(k, live))
    found = min(live, k)
    assert (ids[:, found:] == -1).all() and np.isnan(scores[:, found:]).all()
    assert (ids[:, :found] >= 0).all() and not np.isnan(scores[:, :found]).any()


@pytest.mark.parametrize("exact, build", [(True, False), (False, False), (False, True)])
def test_search_many_sizes_its_outputs_by_the_live_vectors_not_by_k(rng, exact, build):
    db, _ = _filled(rng, 10)
    if build:
        db.build_index()
    for doc_id in (1, 4, 8):
        db.delete(doc_id)
    queries = rng.standard_normal((3, 384))
    # 10**8 columns would take 4.8 GB for these three rows.
    ids, scores = kestrix.search_many(db, queries, 10**8, exact=exact)
    assert ids.shape == scores.shape == (3, 7)
    assert ids.flags.c_contiguous and scores.flags.c_contiguous
    for row, query in enumerate(queries.tolist()):
        assert sorted(ids[row].tolist()) == [0, 2, 3, 5, 6, 7, 9]
        assert list(zip(ids[row].tolist(), scores[row].tolist())) == db.search_scan(query, 7)


@pytest.mark.parametrize(
    "queries, k, ef, exact, error, message",
    [
        (np.zeros(384, np.float32), 3, None, False, ValueError, r"reshape\(1, -1\)"),
        (np.zeros((1, 384), np.int32), 3, None, False, TypeError, "floating dtype"),
        (np.zeros((1, 384), np.float32), -1, None, False, ValueError, "k must be >= 0"),
        (np.zeros((1, 384), np.float32), 2.0, None, False, TypeError, "k must be an int"),
        (np.zeros((1, 384), np.float32), 3, 0, False, ValueError, "ef must be >= 1"),
        (np.zeros((1, 384), np.float32), 3, 10, True, ValueError, "exact"),
    ],
)
def test_search_many_refuses_bad_arguments(rng, queries, k, ef, exact, error, message):
    db, _ = _filled(rng, 3)
    with pytest.raises(error, match=message):
        kestrix.search_many(db, queries, k, ef, exact=exact)


def test_helpers_refuse_what_is_not_a_store(rng):
    with pytest.raises(TypeError, match="kestrix.Kestrix"):
        kestrix.insert_many(object(), [0], rng.standard_normal((1, 384)))


def test_import_kestrix_works_without_numpy_and_helpers_say_what_is_missing():
    script = textwrap.dedent(
        """
        import sys
        sys.modules["numpy"] = None   # makes "import numpy" raise ImportError
        import kestrix
        db = kestrix.Kestrix()
        db.insert(1, [1.0] * 384)
        assert db.search_scan([1.0] * 384, 1) == [(1, 1.0)]
        try:
            kestrix.insert_many(db, [1], [[1.0] * 384])
        except ImportError as err:
            print("refused:", err)
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=_env())
    assert done.returncode == 0, done.stderr
    assert "refused:" in done.stdout and "NumPy" in done.stdout


def _env():
    import os

    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
