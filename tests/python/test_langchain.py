"""kestrix.langchain: the standard LangChain vector store tests, and our own rules."""

import asyncio
import datetime
import hashlib
import json
import os
import threading

import numpy as np
import pytest

pytest.importorskip("langchain_core")
pytest.importorskip("langchain_tests")

from langchain_core.documents import Document
from langchain_core.embeddings import DeterministicFakeEmbedding, Embeddings
from langchain_tests.integration_tests import VectorStoreIntegrationTests

import kestrix
from kestrix.langchain import MANIFEST, KestrixVectorStore, _sign_vectors


class TestKestrixStandard(VectorStoreIntegrationTests):
    # The suite's async tests carry no asyncio mark of their own; marking the
    # class runs them under pytest-asyncio, and the sync ones just ignore it.
    pytestmark = [
        pytest.mark.asyncio,
        pytest.mark.filterwarnings("ignore:The test <Function .*> is marked with '@pytest.mark.asyncio'"),
    ]

    @pytest.fixture(params=["int8", None])
    def vectorstore(self, request):
        yield KestrixVectorStore(self.get_embeddings(), side=request.param)

    @staticmethod
    def get_embeddings():
        return DeterministicFakeEmbedding(size=384)


class TestKestrixStandardThroughTheGraph(TestKestrixStandard):
    """The same suite with a graph from the first document on."""

    @pytest.fixture(params=["int8", None])
    def vectorstore(self, request):
        yield KestrixVectorStore(self.get_embeddings(), index_min_size=1, side=request.param)


class _Unit(DeterministicFakeEmbedding):
    """The fake model's vectors at unit length, as sentence models give them;
    records the size of every batch of documents it embeds."""

    batches: list = []

    def embed_documents(self, texts):
        self.batches.append(len(texts))
        return super().embed_documents(texts)

    def _get_embedding(self, seed):
        v = np.asarray(super()._get_embedding(seed), dtype=np.float32)
        return (v / np.linalg.norm(v)).tolist()


@pytest.fixture
def embeddings():
    return _Unit(size=384)


@pytest.fixture
def texts():
    return [f"text number {i}" for i in range(40)]


def _pairs(results):
    return [(doc.id, score) for doc, score in results]


@pytest.mark.parametrize("side, rescore", [("int8", True), ("float16", True), (None, True), ("int8", False)])
def test_scores_are_the_exact_rescored_inner_product_on_the_codes_scale(embeddings, texts, side, rescore):
    store = KestrixVectorStore.from_texts(
        texts, embeddings, metadatas=[{"n": i} for i in range(40)], side=side, rescore=rescore
    )
    results = store.similarity_search_with_score("text number 7", k=3)
    assert results[0][0].page_content == "text number 7" and results[0][0].metadata == {"n": 7}
    q, doc_ids = np.float32(embeddings.embed_query("text number 7")), store.documents.ids_of([d.id for d, _ in results])
    s = store.store.search(q[None], 3, rescore=rescore)[1][0]  # the collection's own float32 scores
    assert [score for _, score in results] == ([(1 + float(x)) / 2 for x in s] if rescore else s.tolist())
    kept = store.store.get(doc_ids, vectors=True) if side else _sign_vectors(store.store.get(doc_ids))
    if side is None:  # the code's bit c is the sign of component c
        signs = np.where(np.float32(embeddings.embed_documents([d.page_content for d, _ in results])) > 0, 1, -1)
        assert np.array_equal(kept, signs / np.sqrt(384))
    # s is the inner product with the vectors kept (an int8 side rounds the query to int8 too).
    assert np.allclose(s, kept @ q, rtol=0, atol=2e-3 if side == "int8" else 1e-6) if rescore else results[0][1] == 1.0
    relevance = store.similarity_search_with_relevance_scores("text number 7", k=3)
    assert _pairs(relevance) == [(d.id, min(1.0, s)) for d, s in results] and results[-1][1] < 1


def test_a_new_store_scores_by_the_cosine_whatever_the_embeddings_lengths(texts):
    class Long(_Unit):  # embeddings far from unit length
        def _get_embedding(self, seed):
            return (np.float32(super()._get_embedding(seed)) * (50 + seed % 7)).tolist()

    scored = KestrixVectorStore.from_texts(texts, Long(size=384)).similarity_search_with_score("text number 7", k=40)
    assert scored[0][0].page_content == "text number 7" and scored[0][1] == pytest.approx(1, abs=2e-3)
    assert all(-2e-3 <= score <= 1 + 2e-3 for _, score in scored)


class _Table(Embeddings):
    def __init__(self, vectors):
        self.vectors = vectors

    def embed_documents(self, texts):
        return [self.vectors[t] for t in texts]

    def embed_query(self, text):
        return self.vectors[text]


@pytest.mark.parametrize("side", ["int8", None])
def test_mmr_prefers_a_diverse_document_to_a_near_duplicate(side):
    rng = np.random.default_rng(5)
    g = rng.standard_normal((13, 384))
    unit = lambda v: (v / np.linalg.norm(v)).tolist()  # noqa: E731
    vectors = {
        "a": unit(g[0]),
        "a again": unit(g[0] + 0.05 * g[1]),
        "b": unit(g[2]),
        "q": unit(1.2 * g[0] + g[2]),
        **{f"other {i}": unit(g[i]) for i in range(3, 13)},
    }
    texts = [t for t in vectors if t != "q"]
    store = KestrixVectorStore.from_texts(texts, _Table(vectors), metadatas=[{"b": t == "b"} for t in texts], side=side)
    assert [d.page_content for d in store.similarity_search("q", k=2)] == ["a", "a again"]
    mmr = store.max_marginal_relevance_search("q", k=2, fetch_k=5)
    assert [d.page_content for d in mmr] == ["a", "b"]
    assert [d.page_content for d in store.max_marginal_relevance_search("q", k=2, lambda_mult=1.0)] == ["a", "a again"]
    filtered = [d.page_content for d in store.max_marginal_relevance_search("q", k=2, filter={"b": False})]
    assert filtered[0] == "a" and len(filtered) == 2 and "b" not in filtered
    assert asyncio.run(store.amax_marginal_relevance_search("q", k=2, fetch_k=5)) == mmr


def test_readding_an_id_replaces_it_and_keeps_one_copy(embeddings):
    store = KestrixVectorStore(embeddings)
    store.add_texts(["alpha", "beta"], ids=["a", "b"])
    store.add_texts(["gamma"], ids=["a"])
    assert len(store) == 2
    hits = store.similarity_search("alpha", k=5)
    assert sorted(doc.page_content for doc in hits) == ["beta", "gamma"]
    assert store.get_by_ids(["a"]) == [Document(id="a", page_content="gamma", metadata={})]
    # Missing ids become distinct version-4 UUIDs; given ones (and the last of a repeat) are kept.
    import uuid

    made = store.add_texts(["x", "y", "z", "w"], ids=[None, "b", "", "b"])
    assert made[1] == made[3] == "b" and len(store) == 4 and store.get_by_ids(["b"])[0].page_content == "w"
    assert all(uuid.UUID(i).version == 4 and str(uuid.UUID(i)) == i for i in (made[0], made[2])) and made[0] != made[2]


def test_texts_with_their_own_embeddings_are_stored_as_add_texts_stores_them(embeddings, texts):
    metadatas, ids = [{"n": i} for i in range(40)], [str(i) for i in range(40)]
    pairs = list(zip(texts, embeddings.embed_documents(texts)))
    embeddings.batches.clear()
    given = KestrixVectorStore.from_embeddings(pairs, embeddings, metadatas, ids, index_min_size=20)
    assert embeddings.batches == [] and given.store.has_index()  # nothing embedded; the graph as add_texts builds it
    made = KestrixVectorStore.from_texts(texts, embeddings, metadatas, ids=ids, index_min_size=20)
    assert list(given.documents) == list(made.documents) and given.store._graph_section() == made.store._graph_section()
    assert given.similarity_search_with_score("text number 7", k=5) == made.similarity_search_with_score(
        "text number 7", k=5
    )
    # An id given again replaces its document; a missing one is made up.
    new = given.add_embeddings([("seven again", pairs[7][1]), ("more", pairs[8][1])], ids=["7", None])
    assert new[0] == "7" and len(given) == 41 and given.get_by_ids(["7"])[0].page_content == "seven again"


def test_returned_documents_cannot_change_the_store(embeddings):
    store = KestrixVectorStore(embeddings)
    metadata = {"tag": "x"}
    store.add_texts(["alpha"], [metadata], ids=["a"])
    metadata["tag"] = "changed by the caller"
    store.get_by_ids(["a"])[0].metadata["tag"] = "changed by a reader"
    assert store.get_by_ids(["a"])[0].metadata == {"tag": "x"}


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda s: s.add_texts(["a", "b"], metadatas=[{}]), ValueError),
        (lambda s: s.add_texts(["a", "b"], ids=["1"]), ValueError),
        (lambda s: s.add_texts(["a", 3]), TypeError),
        (lambda s: s.add_texts(["a"], ids=[7]), TypeError),
        (lambda s: s.similarity_search_by_vector([0.5] * 6, k=1), ValueError),
        (lambda s: s.similarity_search("a", k=-1), ValueError),
        (lambda s: s.delete(None), ValueError),
        (lambda s: s.delete("a"), TypeError),
        (lambda s: s.max_marginal_relevance_search("a", k=1, lambda_mult=1.5), ValueError),
        (lambda s: s.max_marginal_relevance_search("a", fetch_k=True), ValueError),
        (lambda s: KestrixVectorStore(s.embeddings, oversample=0), ValueError),
        (lambda s: KestrixVectorStore.load_local("/nonexistent", s.embeddings, side="int4"), ValueError),
        (lambda s: KestrixVectorStore.load_local("/nonexistent", s.embeddings, sides="int8"), TypeError),
        (lambda s: s.similarity_search("a", filters={"n": 1}), TypeError),
        (lambda s: s.similarity_search_by_vector([0.5] * 384, fetch_k=3), TypeError),
        (lambda s: s.max_marginal_relevance_search("a", filtre={}), TypeError),
        (lambda s: s.add_texts(["new a", "c"], [{}, {"when": datetime.date(2024, 1, 1)}], ids=["1", "3"]), ValueError),
        (lambda s: s.add_texts(["c"], [{"deep": _nested(50_000)}]), ValueError),
        (lambda s: s.add_texts(["new a", "c"], ids=["1", "\x00"]), ValueError),
        (lambda s: s.add_embeddings([("c", [0.5] * 383)]), ValueError),
        (lambda s: s.add_embeddings([("new a", [0.5] * 384), ("c", [float("nan")] * 384)], ids=["1", "3"]), ValueError),
        (lambda s: s.add_embeddings([("c", [0.5] * 384), "d"]), TypeError),
        (lambda s: s.add_embeddings([("c", [0.5] * 384)], [{}, {}]), ValueError),
    ],
    ids=[
        "metadatas-length",
        "ids-length",
        "text-type",
        "id-type",
        "vector-dim",
        "negative-k",
        "delete-all",
        "delete-str",
        "mmr-lambda",
        "mmr-fetch-k",
        "oversample",
        "load-side",
        "load-kwarg",
        "search-typo",
        "search-kwarg",
        "mmr-typo",
        "metadata-date",
        "metadata-deep",
        "id-nul",
        "given-dim",
        "given-nan",
        "given-pair",
        "given-metadatas",
    ],
)
def test_bad_calls_are_refused_and_change_nothing(embeddings, call, error):
    store = KestrixVectorStore.from_texts(["a", "b"], embeddings, ids=["1", "2"])
    before, documents = store.store._file_bytes(), list(store.documents)
    embeddings.batches.clear()
    with pytest.raises(error):
        call(store)
    assert store.store._file_bytes() == before and len(store) == 2 and list(store.documents) == documents
    assert embeddings.batches == []  # refused before anything was embedded


def _nested(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


class _WrongSize(Embeddings):
    def embed_documents(self, texts):
        return [[1.0] * 768 for _ in texts]

    def embed_query(self, text):
        return [1.0] * 768


@pytest.mark.parametrize("side", ["int8", None])
def test_the_first_embedding_sets_the_dimension_and_the_folder_keeps_it(tmp_path, side):
    store = KestrixVectorStore(_WrongSize(), dim=384)
    with pytest.raises(ValueError, match="768-dim vectors; this store holds 384-dim"):
        store.add_texts(["a"])
    assert len(store) == 0 and len(store.store) == 0
    model = DeterministicFakeEmbedding(size=768)
    store = KestrixVectorStore(model, side=side)
    store.add_texts([f"text {i}" for i in range(30)], ids=[str(i) for i in range(30)])
    assert store.store.dim == 768
    before = store.store._file_bytes()
    with pytest.raises(ValueError, match="384-dim vectors; this store holds 768-dim"):
        store.add_embeddings([("b", [0.5] * 768), ("c", [0.5] * 384)])
    assert store.store._file_bytes() == before
    best = store.similarity_search("text 7", k=3)
    assert best[0].id == "7" and store.max_marginal_relevance_search("text 7", k=3, fetch_k=10)[0].id == "7"
    store.save_local(tmp_path)
    assert json.loads((tmp_path / MANIFEST).read_text())["dimension"] == 768
    loaded = KestrixVectorStore.load_local(tmp_path, model)
    assert loaded.store.dim == 768 and loaded.similarity_search("text 7", k=3) == best
    with pytest.raises(ValueError, match="holds 768-dim vectors; this store was given dim=384"):
        KestrixVectorStore.load_local(tmp_path, model, dim=384)


class _FailsOn(Embeddings):
    """Embeds like the fake model, but gives one text a vector with a string in it."""

    def __init__(self, bad_text):
        self.inner = DeterministicFakeEmbedding(size=384)
        self.bad_text = bad_text

    def embed_documents(self, texts):
        vectors = self.inner.embed_documents(texts)
        return [v[:100] + ["0.5"] + v[101:] if t == self.bad_text else v for t, v in zip(texts, vectors)]

    def embed_query(self, text):
        return self.inner.embed_query(text)


def test_a_batch_with_one_bad_embedding_changes_nothing():
    store = KestrixVectorStore.from_texts(["alpha", "beta"], _FailsOn("bad"), ids=["a", "b"])
    before = [(d.id, d.page_content) for d in store.get_by_ids(["a", "b"])]
    searches = {q: _pairs(store.similarity_search_with_score(q, k=2)) for q in ("alpha", "beta")}
    # The replacement of "a" and a new document come before the bad one.
    with pytest.raises(TypeError):
        store.add_texts(["alpha v2", "gamma", "bad"], ids=["a", "c", "d"])
    assert len(store) == 2 and len(store.store) == 2
    assert [(d.id, d.page_content) for d in store.get_by_ids(["a", "b", "c", "d"])] == before
    assert {q: _pairs(store.similarity_search_with_score(q, k=2)) for q in searches} == searches
    # The same batch without the bad text goes in whole, and "a" is found as replaced.
    store.add_texts(["alpha v2", "gamma"], ids=["a", "c"])
    assert store.similarity_search("alpha v2", k=1)[0].page_content == "alpha v2"
    assert len(store) == 3


@pytest.mark.parametrize("index_min_size", [2048, 1])
def test_filter_by_metadata_dict_or_callable(embeddings, texts, index_min_size):
    store = KestrixVectorStore.from_texts(
        texts, embeddings, metadatas=[{"even": i % 2 == 0} for i in range(40)], index_min_size=index_min_size
    )
    by_dict = store.similarity_search_with_score("text number 3", k=5, filter={"even": True})
    by_call = store.similarity_search_with_score("text number 3", k=5, filter=lambda d: d.metadata["even"])
    assert len(by_dict) == 5 and all(d.metadata["even"] for d, _ in by_dict)
    assert by_dict == by_call
    # Both are the exact, fully rescored ranking of the whole store, filtered.
    q = np.float32(embeddings.embed_query("text number 3"))[None]
    ids, scores = store.store.search(q, 40, exact=True, oversample=1)
    even = store.documents.matching_ids({"even": True}).tolist()
    ranked = [(id_, (1 + float(s)) / 2) for id_, s in zip(ids[0].tolist(), scores[0]) if id_ in even][:5]
    assert [(store.documents.ids_of([d.id])[0], score) for d, score in by_dict] == ranked


_FILTER_METADATA = [
    {"n": i, "tag": "abc"[i % 3], "tags": ["x", "abc"[i % 3]], **({"even": True} if i % 2 == 0 else {})}
    for i in range(40)
]


@pytest.mark.parametrize(
    "conditions, expected",
    [
        ({"n": {"$eq": 4}}, lambda m: m["n"] == 4),
        ({"n": {"$ne": 4}}, lambda m: m["n"] != 4),
        ({"n": {"$gt": 30, "$lte": 35}}, lambda m: 30 < m["n"] <= 35),
        ({"n": {"$gte": 38}}, lambda m: m["n"] >= 38),
        ({"n": {"$lt": 2}}, lambda m: m["n"] < 2),
        ({"tag": {"$in": ["a", "c"]}}, lambda m: m["tag"] in "ac"),
        ({"tag": {"$nin": ["a"]}, "n": {"$lt": 10}}, lambda m: m["tag"] != "a" and m["n"] < 10),
        ({"even": {"$ne": True}}, lambda m: "even" not in m),  # a missing field is unequal to anything
        ({"even": 1}, lambda m: False),  # a bool is not a number
        ({"tag": {"$gt": 3}}, lambda m: False),  # unorderable values never match
        ({"even": {"$exists": False}, "tags": {"$contains": "b"}}, lambda m: "even" not in m and "b" in m["tags"]),
        ({"$not": {"n": {"$like": "1%"}}}, lambda m: True),  # $like matches strings only
        ({"tag": {"$like": "_"}, "n": {"$not": {"$lt": 30}}}, lambda m: m["n"] >= 30),
        (
            {"$or": [{"n": 1}, {"$and": [{"tag": "b"}, {"n": {"$gt": 35}}]}]},
            lambda m: m["n"] == 1 or (m["tag"] == "b" and m["n"] > 35),
        ),
    ],
)
def test_filter_operators_select_exactly_the_matching_documents(embeddings, texts, conditions, expected):
    store = KestrixVectorStore.from_texts(texts, embeddings, metadatas=_FILTER_METADATA)
    found = store.similarity_search("text number 3", k=40, filter=conditions)
    assert sorted(d.metadata["n"] for d in found) == [m["n"] for m in _FILTER_METADATA if expected(m)]


@pytest.mark.parametrize(
    "conditions",
    [
        {"n": {"$regex": "x"}},
        {"$not": [{"n": 1}]},
        {"n": {"$in": 3}},
        {"$or": []},
        {"n": {}},
        [("n", 1)],
        {"$and": [{"$and": []}]},
        {"$or": [{"n": 1}] * 2, "m": {"$like": 1}},
    ],
)
def test_a_malformed_filter_raises_before_searching(embeddings, texts, conditions):
    store = KestrixVectorStore.from_texts(texts[:3], embeddings)
    with pytest.raises((ValueError, TypeError)):
        store.similarity_search("x", k=2, filter=conditions)


def test_the_add_that_reaches_the_threshold_builds_and_later_changes_keep_the_graph(tmp_path, embeddings, texts):
    reports = []
    store = KestrixVectorStore.from_texts(
        texts[:9], embeddings, index_min_size=10, progress=lambda done, total: reports.append((done, total))
    )
    assert not store.store.has_index() and reports == []
    store.add_texts(texts[9:])  # reaches 10: this add builds
    assert store.store.has_index() and reports[-1] == (40, 40)
    graph, built = store.store._graph_section(), len(reports)

    # Adds extend the graph and deletes keep it; searches see both at once.
    store.add_texts(["a new text"], ids=["new"])
    assert store.similarity_search("a new text", k=1)[0].id == "new"
    store.delete(["new"])
    assert store.store.has_index() and all(d.id != "new" for d in store.similarity_search("a new text", k=40))
    assert len(reports) == built  # nothing was rebuilt

    # The graph travels with the folder and comes back without a rebuild.
    store.save_local(tmp_path)
    loaded = KestrixVectorStore.load_local(tmp_path, embeddings, index_min_size=10)
    assert loaded.store._graph_section() == store.store._graph_section() != graph
    assert loaded.similarity_search_with_score("text number 7", k=5) == store.similarity_search_with_score(
        "text number 7", k=5
    )


def _json_folder(folder, store, embeddings, version):
    """The folder an earlier version saved: the documents in the manifest, with
    a plain Kestrix store of the live documents in the first version."""
    records = list(store.documents)
    if version == 1:
        db = kestrix.Kestrix()
        for record in records:
            db.insert(record.doc_id, embeddings.embed_query(record.text))
        data = db.serialize()
    else:
        store.store.compact()  # as those saves did without a graph
        data = store.store._file_bytes()
    used = {r.doc_id for r in records}
    (folder / "store-0.kx").write_bytes(data)
    manifest = {
        "format": "kestrix-langchain",
        "version": version,
        **({"side": store.store.side} if version == 3 else {}),
        "dimension": 384,
        "store_file": "store-0.kx",
        "store_sha256": hashlib.sha256(data).hexdigest(),
        "next_doc_id": max(used) + 1,
        "free_doc_ids": sorted(set(range(max(used))) - used),
        "documents": [{"id": r.key, "doc_id": r.doc_id, "text": r.text, "metadata": r.metadata} for r in records],
    }
    (folder / MANIFEST).write_text(json.dumps(manifest))


@pytest.mark.parametrize("version", [1, 2])
def test_folders_of_earlier_versions_load_converted_and_get_a_graph_from_the_next_add(
    tmp_path, embeddings, texts, version
):
    # Stores of those versions rescored by the inner product.
    store = KestrixVectorStore.from_texts(
        texts,
        embeddings,
        [{"n": i, "f": i / 2} for i in range(40)],
        ids=[str(i) for i in range(40)],
        side=None,
        metric="ip",
    )
    store.delete(["3"])
    _json_folder(tmp_path, store, embeddings, version)
    embeddings.batches.clear()
    loaded = KestrixVectorStore.load_local(tmp_path, embeddings, index_min_size=10)
    assert embeddings.batches == [] and loaded.store.side == "none"  # nothing embedded again
    assert list(loaded.documents) == list(store.documents)  # ids, texts and metadata (2.0 stays a float)
    query = "text number 5"
    assert _pairs(loaded.similarity_search_with_score(query, k=4)) == _pairs(
        store.similarity_search_with_score(query, k=4)
    )
    # Saved again, it is a folder of the present version.
    loaded.save_local(tmp_path / "again")
    assert sorted(p.suffix for p in (tmp_path / "again").iterdir()) == [".json", ".kx", ".lock", ".sqlite"]
    assert list(KestrixVectorStore.load_local(tmp_path / "again", embeddings).documents) == list(store.documents)
    # Asked for, a side costs one embedding of every text, and answers as a new store would.
    asked = KestrixVectorStore.load_local(tmp_path, embeddings, side="int8")
    fresh = KestrixVectorStore.from_texts([t for t in texts if t != "text number 3"], embeddings, metric="ip")
    assert embeddings.batches == [39, 39] and asked.store.side == "int8" and asked.store.metric == "ip"
    assert [(d.page_content, s) for d, s in asked.similarity_search_with_score(query, k=4)] == [
        (d.page_content, s) for d, s in fresh.similarity_search_with_score(query, k=4)
    ]
    assert not loaded.store.has_index()
    loaded.add_texts(["x"], ids=["x"])
    assert loaded.store.has_index() and loaded.documents.ids_of(["x"]) == [3]


def test_small_stores_are_never_indexed(embeddings, texts):
    store = KestrixVectorStore.from_texts(texts, embeddings)  # index_min_size 2048
    store.similarity_search("x", k=1)
    assert not store.store.has_index()


def test_deleted_ids_are_reused_and_tombstones_compacted(embeddings, texts):
    store = KestrixVectorStore.from_texts(texts, embeddings, ids=[str(i) for i in range(40)])
    store.delete([str(i) for i in range(20)])
    store.add_texts(["x"], ids=["x"])
    # 40 integer ids were handed out; the new document reuses a freed one.
    assert store.documents.ids_of(["x"])[0] < 40
    # Without a graph, deleted slots go once they outnumber both 1024 and the live documents.
    more = [f"m{i}" for i in range(1100)]
    store.add_texts(more, ids=more)
    store.delete(more[:1000])
    assert (store.store._slot_count(), len(store)) == (1141, 121)
    store.delete(more[1000:1030])
    assert store.store._slot_count() == len(store) == 91
    assert "(dim=384, documents=91, slots=91, side='int8', metric='cosine', graph=None" in repr(store)
    store.build_index()
    assert len(store.store) == 91


@pytest.mark.parametrize("side", ["int8", "float16", None])
def test_save_and_load_folder_round_trip(tmp_path, embeddings, texts, side):
    store = KestrixVectorStore.from_texts(
        texts, embeddings, metadatas=[{"n": i, "tags": ["a"]} for i in range(40)], side=side
    )
    store.delete([store.similarity_search("text number 1", k=1)[0].id])
    # A replacement with every kind of value, and a text holding a NUL.
    kinds = {"f": 2.0, "big": 2**63 - 1, "s": "é\U0001f600", "deep": {"l": [None, True, 0.5]}, "tags": []}
    store.add_texts(
        ["text number 7", "nul \x00 inside"], [kinds, {"n": -1}], ids=[store.documents.keys_of([7])[0], "z"]
    )
    store.save_local(tmp_path / "kx")
    embeddings.batches.clear()
    loaded = KestrixVectorStore.load_local(tmp_path / "kx", embeddings)
    assert len(loaded) == 40 and loaded.store.side == (side or "none") and embeddings.batches == []
    assert json.loads((tmp_path / "kx" / MANIFEST).read_text())["version"] == 4
    assert list(loaded.documents) == list(store.documents) and type(loaded.get_by_ids(["z"])[0].metadata["n"]) is int
    assert (
        loaded.documents.matching_ids({"f": 2}).tolist() == [7]
        and loaded.get_by_ids(["z"])[0].page_content[4] == "\x00"
    )
    assert loaded.store._file_bytes() == store.store._file_bytes()  # codes, ids and side, byte for byte
    # Dropping the side keeps the very codes, embedding nothing.
    ids = store.store.ids()
    assert (
        np.array_equal(
            KestrixVectorStore.load_local(tmp_path / "kx", embeddings, side=None).store.get(ids), store.store.get(ids)
        )
        and embeddings.batches == []
    )
    for query in ("text number 5", "text number 1", "something else"):
        assert loaded.similarity_search_with_score(query, k=4) == store.similarity_search_with_score(query, k=4)
    # Freed ids are reused, so new documents never collide.
    loaded.add_texts(["fresh"], ids=["fresh"])
    assert loaded.similarity_search("fresh", k=1)[0].id == "fresh"
    assert loaded.documents.ids().tolist() == list(range(41))


def test_saving_again_replaces_the_store_file(tmp_path, embeddings):
    store = KestrixVectorStore.from_texts(["a"], embeddings)
    store.save_local(tmp_path)
    store.add_texts(["b"])
    store.save_local(tmp_path)
    assert sorted(os.path.splitext(n)[1] for n in os.listdir(tmp_path) if n != MANIFEST) == [".kx", ".lock", ".sqlite"]
    assert len(KestrixVectorStore.load_local(tmp_path, embeddings)) == 2


def test_concurrent_saves_and_loads_of_one_folder_always_leave_a_whole_save(tmp_path, embeddings):
    stores = [
        KestrixVectorStore.from_texts([f"{name} {i}" for i in range(n)], embeddings) for name, n in (("x", 3), ("y", 5))
    ]
    stores[0].save_local(tmp_path)
    saving = threading.Barrier(2)
    done = threading.Event()
    errors, loaded = [], set()

    def save(store):
        try:
            saving.wait()
            for _ in range(25):
                store.save_local(tmp_path)
        except Exception as err:
            errors.append(err)

    def load():
        # Loads race the saves until both are over, and once more after.
        while True:
            last = done.is_set()
            try:
                loaded.add(len(KestrixVectorStore.load_local(tmp_path, embeddings)))
            except Exception as err:
                errors.append(err)
            if last:
                return

    savers = [threading.Thread(target=save, args=(store,)) for store in stores]
    loader = threading.Thread(target=load)
    for thread in (*savers, loader):
        thread.start()
    for thread in savers:
        thread.join()
    done.set()
    loader.join()
    assert errors == [] and loaded <= {3, 5}
    assert len([n for n in os.listdir(tmp_path) if n.endswith(".kx")]) == 1


def _corrupt(suffix):
    def apply(folder):
        path = next(folder / n for n in os.listdir(folder) if n.endswith(suffix))
        data = bytearray(path.read_bytes())
        data[-1] ^= 0xFF
        path.write_bytes(bytes(data))

    return apply


def _as_version_3(folder):
    embeddings = _Unit(size=384)
    _json_folder(folder, KestrixVectorStore.load_local(folder, embeddings), embeddings, 3)


def _edit_manifest(change, version=4):
    def apply(folder):
        if version == 3:
            _as_version_3(folder)
        path = folder / MANIFEST
        manifest = json.loads(path.read_text())
        change(manifest)
        path.write_text(json.dumps(manifest))

    return apply


def _rewrite_store(change):
    """Change the store file, and its checksum in the manifest to match."""

    def apply(folder):
        _as_version_3(folder)
        manifest = json.loads((folder / MANIFEST).read_text())
        path = folder / manifest["store_file"]
        db = kestrix.Kestrix.deserialize(path.read_bytes())
        change(db)
        data = db.serialize()
        path.write_bytes(data)
        manifest["store_sha256"] = hashlib.sha256(data).hexdigest()
        (folder / MANIFEST).write_text(json.dumps(manifest))

    return apply


def _drop_a_document(folder):
    """A document database that matches its digest but not the collection."""
    import sqlite3

    manifest = json.loads((folder / MANIFEST).read_text())
    path = folder / manifest["documents_file"]
    with sqlite3.connect(path) as conn:
        conn.execute("DELETE FROM documents WHERE doc_id = 1")
    manifest["documents_sha256"] = hashlib.sha256(path.read_bytes()).hexdigest()
    (folder / MANIFEST).write_text(json.dumps(manifest))


@pytest.mark.parametrize(
    "damage, error, message",
    [
        (lambda f: (f / MANIFEST).unlink(), FileNotFoundError, "no saved Kestrix store"),
        (lambda f: (f / MANIFEST).write_text("{not json"), ValueError, "damaged manifest"),
        (_corrupt(".kx"), ValueError, "damaged store file .* does not match"),
        (_corrupt(".sqlite"), ValueError, "damaged document database .* does not match"),
        (lambda f: [os.unlink(f / n) for n in os.listdir(f) if n.endswith(".sqlite")], FileNotFoundError, "database"),
        (_edit_manifest(lambda m: m.update(documents_file="../x.sqlite")), ValueError, "documents_file must be"),
        (_drop_a_document, ValueError, "2 stored vectors for 1 documents"),
        (lambda f: [os.unlink(f / n) for n in os.listdir(f) if n.endswith(".kx")], FileNotFoundError, "incomplete"),
        (_edit_manifest(lambda m: m.update(store_file="../x.kx")), ValueError, "plain file name"),
        (_edit_manifest(lambda m: m.update(version=99)), ValueError, "unsupported version"),
        (_edit_manifest(lambda m: m["documents"].pop(), 3), ValueError, "2 stored vectors for 1 documents"),
        (
            _edit_manifest(lambda m: m["documents"][0].update(doc_id=m["documents"][1]["doc_id"]), 3),
            ValueError,
            "repeats",
        ),
        (_edit_manifest(lambda m: m.update(next_doc_id=4, free_doc_ids=[2, 2]), 3), ValueError, "free_doc_ids repeats"),
        (_edit_manifest(lambda m: m.update(next_doc_id=3), 3), ValueError, "1 of the ids below next_doc_id"),
        (_edit_manifest(lambda m: m["documents"][0].update(doc_id=True), 3), ValueError, "lacks id, doc_id"),
        (_rewrite_store(lambda db: db.insert(7, [1.0] * 384)), ValueError, "3 stored vectors for 2 documents"),
        (_rewrite_store(lambda db: db.delete(1)), ValueError, "deleted slots"),
        (_rewrite_store(lambda db: (db.delete(1), db.compact(), db.insert(5, [1.0] * 384))), ValueError, "ids are not"),
        (lambda f: (f / MANIFEST).write_text("[" * 100000 + "]" * 100000), ValueError, "damaged manifest"),
        (
            _edit_manifest(lambda m: m.update(side="float16")),
            ValueError,
            "keeps side 'int8', the manifest names 'float16'",
        ),
        (_edit_manifest(lambda m: m.update(version=2)), ValueError, "a version 2 folder names no side"),
        (_edit_manifest(lambda m: m.pop("side")), ValueError, "side must be"),
        (
            _edit_manifest(lambda m: m["documents"][1]["metadata"].update(n=2**64), 3),
            ValueError,
            "cannot convert the documents of .*'n' is an int outside the 64-bit range",
        ),
    ],
    ids=[
        "no-manifest",
        "bad-json",
        "store-bytes",
        "documents-bytes",
        "documents-missing",
        "documents-path",
        "documents-other",
        "store-missing",
        "path-escape",
        "version",
        "count",
        "duplicate-id",
        "duplicate-free-id",
        "unaccounted-id",
        "bool-doc-id",
        "extra-slot",
        "tombstone",
        "other-ids",
        "deep-json",
        "other-side",
        "old-version-side",
        "side-missing",
        "convert-metadata",
    ],
)
def test_damaged_folder_is_refused_with_a_clear_error(tmp_path, embeddings, damage, error, message):
    KestrixVectorStore.from_texts(["a", "b"], embeddings).save_local(tmp_path)
    damage(tmp_path)
    with pytest.raises(error, match=message):
        KestrixVectorStore.load_local(tmp_path, embeddings)


def test_without_langchain_core_the_import_error_says_what_to_install():
    import subprocess
    import sys
    import textwrap

    script = textwrap.dedent(
        """
        import sys
        sys.modules["langchain_core"] = None
        import kestrix  # the core package does not need it
        try:
            import kestrix.langchain
        except ImportError as err:
            print(err)
        """
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env)
    assert done.returncode == 0, done.stderr
    assert "pip install 'kestrix-db[langchain]'" in done.stdout
