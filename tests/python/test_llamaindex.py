"""kestrix.llamaindex: the store tested as LlamaIndex tests its vector stores
(base class, add/query/delete, filters, persist and load), and our own rules."""

import hashlib
import json
import os

import numpy as np
import pytest

pytest.importorskip("llama_index.core")

from llama_index.core import StorageContext, VectorStoreIndex
from llama_index.core.embeddings import BaseEmbedding
from llama_index.core.schema import NodeRelationship, RelatedNodeInfo, TextNode
from llama_index.core.vector_stores.types import (
    BasePydanticVectorStore,
    FilterCondition,
    FilterOperator,
    MetadataFilter,
    MetadataFilters,
    VectorStoreQuery,
    VectorStoreQueryMode,
)
from llama_index.core.vector_stores.utils import build_metadata_filter_fn

from kestrix.llamaindex import KestrixVectorStore


def _unit(text):
    v = np.random.default_rng(list(hashlib.sha256(text.encode()).digest())).standard_normal(384)
    return (v / np.linalg.norm(v)).tolist()


class _Hashed(BaseEmbedding):
    """A unit vector per text, as a sentence model gives one."""

    def _get_query_embedding(self, query):
        return _unit(query)

    async def _aget_query_embedding(self, query):
        return _unit(query)

    def _get_text_embedding(self, text):
        return _unit(text)


def _metadata(i):
    return {
        "n": i,
        "tag": "abc"[i % 3],
        "tags": ["x", "abc"[i % 3]],
        "title": f"Part {i} (50%)",
        "note": ["", [], 1][i % 3],
    }


@pytest.fixture
def nodes():
    return [
        TextNode(
            text=f"text number {i}",
            id_=f"n{i}",
            metadata=_metadata(i),
            embedding=_unit(f"text number {i}"),
            relationships={NodeRelationship.SOURCE: RelatedNodeInfo(node_id=f"d{i // 4}")},
        )
        for i in range(40)
    ]


def _query(store, vector, k=40, **kwargs):
    return store.query(VectorStoreQuery(query_embedding=vector, similarity_top_k=k, **kwargs))


def test_class():
    names_of_base_classes = [b.__name__ for b in KestrixVectorStore.__mro__]
    assert BasePydanticVectorStore.__name__ in names_of_base_classes


@pytest.mark.parametrize("side, rescore, index_min_size", [("int8", True, 2048), (None, True, 1), ("int8", False, 1)])
def test_add_query_get_and_delete(nodes, side, rescore, index_min_size):
    store = KestrixVectorStore(side=side, rescore=rescore, index_min_size=index_min_size)
    assert store.add(nodes) == [node.node_id for node in nodes] and len(store.client) == 40
    result = _query(store, nodes[7].embedding, k=3)
    without_embedding = nodes[7].model_copy(update={"embedding": None})
    assert result.ids[0] == "n7" and result.nodes[0] == without_embedding and result.nodes[0].ref_doc_id == "d1"
    # Similarities are cosines: the collection's rescored inner products, or the sign vectors' cosines.
    scores = store.client.search(np.float32(nodes[7].embedding)[None], 3, rescore=rescore)[1][0]
    assert result.similarities == ([float(s) for s in scores] if rescore else [2 * float(s) - 1 for s in scores])
    assert (abs(result.similarities[0] - 1) < 2e-3 or side is None) and -1 < result.similarities[-1] < 0.5
    # A node added again under its id replaces it.
    store.add([TextNode(text="seven again", id_="n7", embedding=nodes[8].embedding)])
    assert len(store.client) == 40 and store.get_nodes(["n7", "gone"])[0].text == "seven again"

    store.delete("d1")  # n4 .. n6 (n7 has no source now)
    store.delete_nodes(["n8", "n9", "n10"], filters=MetadataFilters(filters=[MetadataFilter(key="n", value=9)]))
    store.delete_nodes(
        filters=MetadataFilters(filters=[MetadataFilter(key="n", operator=FilterOperator.GTE, value=30)])
    )
    left = [node.node_id for node in store.get_nodes()]
    assert left == [f"n{i}" for i in range(30) if i not in (4, 5, 6, 9)] and len(store.client) == len(left)
    assert sorted(_query(store, nodes[5].embedding).ids) == sorted(left)
    assert [
        n.node_id for n in store.get_nodes(filters=MetadataFilters(filters=[MetadataFilter(key="n", value=2)]))
    ] == ["n2"]
    store.clear()
    assert len(store.client) == 0 and store.get_nodes() == [] and _query(store, nodes[0].embedding).ids == []
    assert store.client.side == (side or "none")


def _f(key, value, operator=FilterOperator.EQ):
    return MetadataFilter(key=key, value=value, operator=operator)


@pytest.mark.parametrize(
    "filters",
    [
        [_f("tag", "a")],
        [_f("n", 4, FilterOperator.NE)],
        [_f("n", 30, FilterOperator.GT), _f("n", 35, FilterOperator.LTE)],
        [_f("n", 38, FilterOperator.GTE)],
        [_f("n", 2.5, FilterOperator.LT)],
        [_f("tag", ["a", "c"], FilterOperator.IN)],
        [_f("tag", ["a"], FilterOperator.NIN), _f("n", 10, FilterOperator.LT)],
        [_f("tags", "b", FilterOperator.CONTAINS)],
        [_f("title", "(50%)", FilterOperator.TEXT_MATCH)],
        [_f("title", "5_", FilterOperator.TEXT_MATCH)],  # "_" is no wildcard here
        [_f("tags", ["b", "c"], FilterOperator.ANY)],
        [_f("tags", ["x", "c"], FilterOperator.ALL)],
        [_f("note", None, FilterOperator.IS_EMPTY)],
        [_f("missing", None, FilterOperator.IS_EMPTY)],
        [_f("missing", "x", FilterOperator.NE)],
        MetadataFilters(filters=[_f("n", 1), _f("tag", "b")], condition=FilterCondition.OR),
        MetadataFilters(filters=[_f("n", 20, FilterOperator.LT), _f("tag", "b")], condition=FilterCondition.NOT),
    ],
)
def test_filters_select_what_llamaindexs_own_evaluator_selects(nodes, filters):
    store = KestrixVectorStore()
    store.add(nodes)
    filters = filters if isinstance(filters, MetadataFilters) else MetadataFilters(filters=filters)
    matches = build_metadata_filter_fn(lambda node_id: _metadata(int(node_id[1:])), filters)
    expected = [node.node_id for node in nodes if matches(node.node_id)]
    found = _query(store, nodes[3].embedding, filters=filters)
    assert sorted(found.ids, key=lambda i: int(i[1:])) == expected
    # The allowed nodes in the order of the whole store's exact ranking, with its scores.
    ranked = _query(store, nodes[3].embedding)
    assert found.ids == [i for i in ranked.ids if i in expected]
    assert found.similarities == [s for i, s in zip(ranked.ids, ranked.similarities) if i in expected]


def test_nested_groups_node_ids_and_doc_ids_narrow_one_query(nodes):
    store = KestrixVectorStore()
    store.add(nodes)
    inner = MetadataFilters(filters=[_f("tag", "a"), _f("n", 35, FilterOperator.GT)], condition=FilterCondition.OR)
    nested = MetadataFilters(filters=[inner, _f("n", 3, FilterOperator.GT)])
    found = _query(store, nodes[0].embedding, filters=nested, node_ids=[f"n{i}" for i in range(20)] + ["nope"])
    assert sorted(found.ids) == sorted(f"n{i}" for i in range(4, 20) if i % 3 == 0)
    found = _query(store, nodes[0].embedding, filters=nested, doc_ids=["d9", "d2"])
    assert sorted(found.ids) == ["n36", "n37", "n38", "n39", "n9"]


def _damage_manifest(path):
    manifest = json.loads(path.read_text())
    manifest["store_file"] = "../elsewhere.kx"
    path.write_text(json.dumps(manifest))


def test_persist_and_load_through_llamaindex(tmp_path, nodes):
    store = KestrixVectorStore(index_min_size=8)
    index = VectorStoreIndex(
        nodes, storage_context=StorageContext.from_defaults(vector_store=store), embed_model=_Hashed()
    )
    store.delete("d0")
    asked = index.as_retriever(similarity_top_k=5).retrieve("text number 9")
    assert len(asked) == 5 and all(n.node.ref_doc_id != "d0" for n in asked)
    index.storage_context.persist(tmp_path)
    path = tmp_path / "default__vector_store.json"
    assert json.loads(path.read_text())["format"] == "kestrix-llamaindex"

    loaded = KestrixVectorStore.from_persist_dir(str(tmp_path), index_min_size=8)
    again = VectorStoreIndex.from_vector_store(loaded, embed_model=_Hashed())
    assert [(n.node.node_id, n.score) for n in again.as_retriever(similarity_top_k=5).retrieve("text number 9")] == [
        (n.node.node_id, n.score) for n in asked
    ]
    assert list(loaded.documents) == list(store.documents) and loaded.client.has_index()
    assert "documents=36, slots=40, side='int8', metric='cosine', graph=HNSW(m=16, nodes=40)" in repr(
        loaded
    )  # d0's waypoints
    assert loaded.client._file_bytes() == store.client._file_bytes()
    # Saved again over itself, the older files go.
    loaded.add(nodes[:2])
    loaded.persist(str(path))
    assert len(KestrixVectorStore.from_persist_path(str(path)).client) == 38 and len(os.listdir(tmp_path)) == 4 + 4
    with pytest.raises(NotImplementedError):
        loaded.persist(str(path), fs=object())
    _damage_manifest(path)
    with pytest.raises(ValueError, match="store_file must be a plain file name"):
        KestrixVectorStore.from_persist_path(str(path))
    with pytest.raises(FileNotFoundError, match="holds no saved Kestrix store"):
        KestrixVectorStore.from_persist_dir(str(tmp_path), namespace="other")


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda s, n: s.add([n[0], "not a node"]), TypeError),
        (lambda s, n: s.add([TextNode(text="no vector", id_="n1")]), ValueError),
        (lambda s, n: s.add([n[1], TextNode(text="short", id_="x", embedding=[0.5] * 383)]), ValueError),
        (
            lambda s, n: s.add([TextNode(text="big", id_="n1", embedding=n[1].embedding, metadata={"b": 2**70})]),
            ValueError,
        ),
        (
            lambda s, n: s.add([TextNode(text="nul", id_="x", embedding=n[1].embedding, metadata={"s": "\x00"})]),
            ValueError,
        ),
        (lambda s, n: _query(s, n[0].embedding, mode=VectorStoreQueryMode.MMR), ValueError),
        (lambda s, n: _query(s, None), ValueError),
        (lambda s, n: _query(s, [0.5] * 768), ValueError),  # the nodes' embeddings set the dimension: 384
        (lambda s, n: KestrixVectorStore(dim=4097), ValueError),
        (lambda s, n: _query(s, n[0].embedding, k=-1), ValueError),
        (lambda s, n: _query(s, n[0].embedding, filters=MetadataFilters(filters=[_f("$or", [1])])), ValueError),
        (
            lambda s, n: _query(
                s, n[0].embedding, filters=MetadataFilters(filters=[_f("t", "a", "text_match_insensitive")])
            ),
            ValueError,
        ),
        (lambda s, n: s.delete_nodes(filters=MetadataFilters(filters=[MetadataFilters(filters=[])])), ValueError),
        (lambda s, n: s.delete_nodes(), ValueError),
        (lambda s, n: s.delete_nodes("n1"), TypeError),
        (lambda s, n: KestrixVectorStore.from_persist_path("/nonexistent", side="int8"), TypeError),
        (lambda s, n: KestrixVectorStore(oversample=0), ValueError),
    ],
)
def test_bad_calls_are_refused_and_change_nothing(nodes, call, error):
    store = KestrixVectorStore()
    store.add(nodes[:3])
    before, documents = store.client._file_bytes(), list(store.documents)
    with pytest.raises(error):
        call(store, nodes)
    assert store.client._file_bytes() == before and list(store.documents) == documents
