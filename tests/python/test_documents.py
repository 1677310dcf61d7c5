"""kestrix.DocumentStore: the SQL filter against the Python reference, metadata rules, files."""

import datetime
import math
import os

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from kestrix import DocumentStore
from kestrix._filters import parse_filter

# Few distinct values, so that equal ones (across kinds: 1, 1.0, True; exact
# big ints against floats) meet often.
SCALARS = [None, True, False, 0, 1, -1, 1.0, 0.5, -0.0, 2**53, 2**53 + 1, float(2**53), 2**63 - 1, -(2**63), 1e300]
SCALARS += ["", "a", "b", "ab", "ba", "a%b", "a_b", "[*?]", "é", "\U0001f600", "1", "true"]
values = st.recursive(
    st.sampled_from(SCALARS),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.sampled_from(["x", "y"]), inner, max_size=2),
    max_leaves=5,
)
metadata = st.dictionaries(st.sampled_from(["a", "b", "tags"]), values, min_size=2, max_size=3)
scalars = st.sampled_from(SCALARS)
ORDERED = [v for v in SCALARS if v is not None]
LIKE = st.text(alphabet="ab%_\\é[*?", max_size=5).filter(lambda p: (len(p) - len(p.rstrip("\\"))) % 2 == 0)
field_filters = st.one_of(
    scalars,
    st.builds(lambda op, v: {op: v}, st.sampled_from(["$eq", "$ne", "$contains"]), values),
    st.builds(lambda op, v: {op: v}, st.sampled_from(["$gt", "$gte", "$lt", "$lte"]), st.sampled_from(ORDERED)),
    st.builds(lambda op, vs: {op: vs}, st.sampled_from(["$in", "$nin"]), st.lists(values, max_size=4)),
    st.builds(lambda b: {"$exists": b}, st.booleans()),
    st.builds(lambda p: {"$like": p}, LIKE),
    st.builds(lambda v, w: {"$not": {"$gt": v}, "$ne": w}, st.sampled_from(ORDERED), scalars),
)
filters = st.recursive(
    st.dictionaries(st.sampled_from(["a", "b", "tags"]), field_filters, min_size=1, max_size=2),
    lambda inner: st.one_of(
        st.builds(lambda fs: {"$and": fs}, st.lists(inner, min_size=1, max_size=3)),
        st.builds(lambda fs: {"$or": fs}, st.lists(inner, min_size=1, max_size=3)),
        st.builds(lambda f: {"$not": f}, inner),
    ),
    max_leaves=6,
)


@given(st.lists(metadata, max_size=12), st.lists(metadata, max_size=4), st.sets(st.integers(0, 11)), filters)
def test_sql_filter_selects_what_the_python_reference_selects(first, replacements, gone, conditions):
    parsed = parse_filter(conditions)
    docs = DocumentStore()
    docs.upsert([str(i) for i in range(len(first))], ["t"] * len(first), first)
    # Replacements and deletes must leave no trace in the index.
    docs.upsert([str(i) for i in range(len(replacements))], ["u"] * len(replacements), replacements)
    docs.delete([str(i) for i in gone])
    stored = list(docs)
    expected = [record.doc_id for record in stored if parsed(record.metadata)]
    found = docs.matching_ids(conditions)
    assert found.dtype == np.int64 and found.tolist() == expected


def _nested(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


@pytest.mark.parametrize(
    "bad, message",
    [
        ({"when": datetime.datetime(2024, 1, 1)}, "'when' is a datetime.datetime, not a JSON value"),
        ({1: "x"}, "has the key 1, a int: keys must be strings"),
        ({"n": math.nan}, "'n' is nan: floats must be finite"),
        ({"n": [1, {"x": math.inf}]}, r"'n'\[1\]\['x'\] is inf"),
        ({"n": 2**64}, "'n' is an int outside the 64-bit range"),
        ({"n": np.int64(3)}, "'n' is a numpy.int64"),
        ({"deep": _nested(50_000)}, "'deep' nests lists and dicts deeper than 32 levels"),
        ({"s": "a\x00b"}, "'s' is a string that holds a NUL character"),
        ({"s": "\udc80"}, "'s' is a string that is not valid Unicode"),
        ({"s": {"a": {1, 2}}}, r"'s'\['a'\] is a set"),
    ],
)
def test_metadata_that_cannot_be_kept_is_refused_and_the_batch_changes_nothing(bad, message):
    docs = DocumentStore()
    docs.upsert(["a"], ["alpha"], [{"n": 1}])
    with pytest.raises(ValueError, match=f"metadata of document 'b': {message}"):
        docs.upsert(["a", "b"], ["new alpha", "beta"], [{"n": 2}, bad])
    assert list(docs) == [("a", 0, "alpha", {"n": 1})] and docs.matching_ids({"n": 2}).tolist() == []


class _Refuse(Exception):
    pass


def _refuse(ids):
    raise _Refuse(ids)


def test_a_change_whose_apply_step_fails_is_rolled_back_whole():
    docs = DocumentStore()
    assert docs.upsert(["a", "b", "c"], ["1", "2", "3"], [{"n": 1}, {"n": 2}, {"tags": ["x"]}]) == [0, 1, 2]
    before = list(docs)
    with pytest.raises(_Refuse, match=r"\[1, 3\]"):  # the replaced id and a fresh one
        docs.upsert(["b", "d"], ["two", "four"], [{"n": 9}, {"tags": ["x"]}], apply=_refuse)
    with pytest.raises(_Refuse, match=r"\[2, 0\]"):
        docs.delete(["c", "a", "zz"], apply=_refuse)
    assert list(docs) == before and docs.matching_ids({"n": 9}).tolist() == []
    assert docs.matching_ids({"tags": {"$contains": "x"}}).tolist() == [2]
    # Freed ids are reused lowest first; keys and ids map both ways.
    assert docs.delete(["a", "c", "a"]) == [0, 2]
    assert docs.upsert(["d", "e", "f"], ["4", "5", "6"]) == [0, 2, 3]
    assert docs.ids_of(["f", "a", "b\x00"]) == [3, None, None] and docs.keys_of(np.array([3, 7, -1])) == [
        "f",
        None,
        None,
    ]
    assert [r.key for r in docs.get_by_ids([3, 1])] == ["f", "b"] and "b" in docs and len(docs) == 4


def _write(data):
    return lambda path: path.write_bytes(data)


def _add_table(path, fresh=False):
    import sqlite3

    if fresh:
        path.unlink()
    conn = sqlite3.connect(path)
    conn.execute("CREATE TABLE t (x)")
    conn.commit()
    conn.close()


def _truncate(path):
    path.write_bytes(path.read_bytes()[:3000])


@pytest.mark.parametrize(
    "damage, error, message",
    [
        (lambda path: path.unlink(), FileNotFoundError, "no document database"),
        (_write(b""), ValueError, "it is empty"),
        (_write(os.urandom(8192)), ValueError, "not a readable Kestrix document database"),
        (lambda path: _add_table(path, fresh=True), ValueError, "is not a Kestrix document database"),
        (_add_table, ValueError, "damaged .* its tables are not those of version 1"),
        (_truncate, ValueError, "not a readable|damaged"),
        (lambda path: (path.unlink(), os.mkfifo(path)), ValueError, "not a regular file"),
        (lambda path: (path.unlink(), path.mkdir()), IsADirectoryError, "is a folder"),
    ],
    ids=["missing", "empty", "noise", "foreign-database", "extra-table", "truncated", "fifo", "folder"],
)
def test_backups_round_trip_and_a_damaged_file_is_refused(tmp_path, damage, error, message):
    metadatas = [{"n": 2**63 - 1, "f": 1.0, "s": "é\U0001f600", "deep": {"l": [None, True, 0.5]}}, {"n": -3}, {}]
    docs = DocumentStore()
    docs.upsert(["a", "b", "c"], ["x", "y", "z"], metadatas)
    docs.delete(["b"])
    path = tmp_path / "docs.sqlite"
    docs.backup(path)
    docs.backup(path)  # replaced whole, nothing left beside it
    assert sorted(os.listdir(tmp_path)) == ["docs.sqlite"]
    for copy in (DocumentStore.load(path), DocumentStore(path)):
        assert list(copy) == list(docs) and type(list(copy)[0].metadata["f"]) is float
        assert copy.matching_ids({"n": {"$gt": 0}}).tolist() == [0] and copy.upsert(["d"], ["w"]) == [1]
        copy.close()
    # A database file works in place, and keeps what was committed.
    assert [(r.key, r.doc_id) for r in DocumentStore(path)] == [("a", 0), ("d", 1), ("c", 2)]
    damage(path)
    with pytest.raises(error, match=message):
        DocumentStore.load(path)


def test_documents_restored_under_their_own_ids_are_checked_and_indexed():
    from kestrix.documents import Record

    docs = DocumentStore._restore([Record("a", 4, "x", {"n": 1}), Record("b", 0, "y", {})], free_ids=[1, 3])
    assert docs.matching_ids({"n": 1}).tolist() == [4] and docs.upsert(["c", "d", "e"], ["", "", ""]) == [1, 3, 5]
    for records, free, message in [
        ([Record("a", 1, "x", {}), Record("b", 1, "y", {})], [], "share a key or an id"),
        ([Record("a", 1, "x", {})], [1], "both a document's and free"),
        ([Record("a", -1, "x", {})], [], "has the id -1"),
        ([Record("a", 1, "x", {"t": float("nan")})], [], "metadata of document 'a': 't' is nan"),
    ]:
        with pytest.raises(ValueError, match=message):
            DocumentStore._restore(records, free)
