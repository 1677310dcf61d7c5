"""The LlamaIndex vector store: nodes, queries and files over a collection with its documents."""

from __future__ import annotations

import os
from typing import Any, Callable, List, Optional, Sequence, cast

from llama_index.core.bridge.pydantic import PrivateAttr
from llama_index.core.schema import BaseNode, MetadataMode
from llama_index.core.vector_stores.types import (
    DEFAULT_PERSIST_DIR,
    DEFAULT_PERSIST_FNAME,
    BasePydanticVectorStore,
    MetadataFilters,
    VectorStoreQuery,
    VectorStoreQueryMode,
    VectorStoreQueryResult,
)
from llama_index.core.vector_stores.utils import metadata_dict_to_node, node_to_metadata_dict

from .._adapter import DocumentCollection, check_count, embedded, last_of_each
from .._files import path_argument
from .._folders import llamaindex_layout, read_save, write_save
from .._native import DEFAULT_EF_CONSTRUCTION, DEFAULT_M, DEFAULT_OVERSAMPLE
from ..collection import Collection
from ..documents import DocumentStore, Record
from ._filters import filter_dict

# StorageContext.persist names each vector store's file "<namespace>__vector_store.json".
_NAMESPACE_SEP = "__"


class KestrixVectorStore(BasePydanticVectorStore):
    """LlamaIndex vector store over a :class:`kestrix.Collection`, keeping
    the nodes' texts and metadata in a :class:`kestrix.DocumentStore`.

    Nodes carry embeddings of 1 to 4096 components, as many in every one
    (the first node's fix the store's ``dim`` unless given). Node ids are
    the documents' keys, and the node's ``ref_doc_id`` is a metadata field
    (``delete(ref_doc_id)`` and ``doc_ids=`` of a query select by it).
    Similarities are cosines: of the query and the kept int8 (or float16)
    copy of each embedding under ``metric="cosine"`` (a new store's), their
    inner product under ``"ip"``; ``2 * (1 - hamming / dim) - 1``, the
    cosine of the sign vectors, with ``rescore=False``.

    Args:
        side: the copy of every embedding kept beside its 1-bit code to
            rescore with: ``"int8"`` (the default), ``"float16"`` or
            ``None``/``"none"`` (the codes only, rescored by their sign vectors).
        index_min_size: the add that brings the store to this many nodes
            builds the HNSW graph (default 2048); below it queries scan exactly.
        rebuild_fraction: share of the graph's nodes that deleted or replaced
            nodes may reach before a change rebuilds it (``None``: never).
        m, ef_construction: parameters of the graph.
        ef: search width of the graph; ``None`` lets the collection choose.
        progress: called as ``progress(done, total)`` while a graph is built.
        oversample: a query ranks ``k * oversample`` candidates of the codes
            again by inner product (default ``DEFAULT_OVERSAMPLE``, 8).
        rescore: ``False`` ranks by the codes alone.
        metric: what rescored scores measure: ``"cosine"`` (the default
            for a new store: the side's vectors and every query are scaled
            to unit length, so scores keep their scale whatever the lengths
            of the model's embeddings) or ``"ip"``. A folder keeps the metric
            it was made with; ``None`` (the default) takes it.
        persist_directory: a folder to keep the store in, every change
            durable when its call returns (see the LangChain store's
            argument of the same name); ``persist()`` still writes a save.
    """

    stores_text: bool = True
    is_embedding_query: bool = True
    flat_metadata: bool = False

    _core: DocumentCollection = PrivateAttr()

    def __init__(
        self,
        *,
        side: Optional[str] = "int8",
        index_min_size: int = 2048,
        rebuild_fraction: Optional[float] = None,
        m: int = DEFAULT_M,
        ef_construction: int = DEFAULT_EF_CONSTRUCTION,
        ef: Optional[int] = None,
        progress: Optional[Callable[[int, int], Any]] = None,
        oversample: int = DEFAULT_OVERSAMPLE,
        rescore: bool = True,
        dim: Optional[int] = None,
        metric: Optional[str] = None,
        persist_directory: Optional[str] = None,
    ) -> None:
        core = DocumentCollection()
        core._init_collection(
            side,
            dim,
            index_min_size,
            rebuild_fraction,
            m,
            ef_construction,
            ef,
            progress,
            oversample,
            rescore,
            persist_directory,
            metric,
        )
        super().__init__(stores_text=True)
        self._core = core

    @classmethod
    def class_name(cls) -> str:
        return "KestrixVectorStore"

    def __repr__(self) -> str:
        return f"{type(self).__name__}(collection={self._core._db!r})"

    @property
    def client(self) -> Collection:
        """The collection of the nodes' vectors (its integer ids are this store's business)."""
        return self._core._db

    @property
    def documents(self) -> DocumentStore:
        """The document store: each node's text and metadata under its id
        (change nodes through this store, which keeps the two in step)."""
        return self._core._docs

    # ------------------------------------------------------------------ writing

    def add(self, nodes: Sequence[BaseNode], **add_kwargs: Any) -> List[str]:
        """Add nodes with their embeddings; a node whose id is present
        replaces it. Everything is checked first and the batch goes in whole
        or not at all. Returns the node ids, in order."""
        nodes = list(nodes)
        for node in nodes:
            if not isinstance(node, BaseNode):
                raise TypeError(f"nodes must be llama_index nodes, not {type(node).__name__}")
        keys = [node.node_id for node in nodes]
        # A node given twice in one batch ends as its last version.
        order = last_of_each(keys)
        kept = [nodes[i] for i in order]
        for node in kept:
            if node.embedding is None:
                raise ValueError(f"node {node.node_id!r} has no embedding")
        batch = DocumentStore.check_batch(
            [node.node_id for node in kept],
            [node.get_content(metadata_mode=MetadataMode.NONE) for node in kept],
            # The node itself, but for its text and embedding, rides in its
            # metadata as LlamaIndex's stores keep it (``_node_content``),
            # beside the metadata itself and the ref_doc_id to select by.
            [node_to_metadata_dict(node, remove_text=True, flat_metadata=self.flat_metadata) for node in kept],
        )
        vectors = embedded(
            [cast(List[float], node.embedding) for node in kept], len(kept), "nodes", self._core.dim, "the nodes hold"
        )
        if keys:
            self._core._store_batch(batch, vectors)
        return keys

    def delete(self, ref_doc_id: str, **delete_kwargs: Any) -> None:
        """Delete every node of the source document ``ref_doc_id``."""
        if not isinstance(ref_doc_id, str):
            raise TypeError(f"ref_doc_id must be a str, not {type(ref_doc_id).__name__}")
        with self._core._lock:
            self._delete_ids(self._core._docs.matching_ids({"ref_doc_id": ref_doc_id}))

    def delete_nodes(
        self,
        node_ids: Optional[List[str]] = None,
        filters: Optional[MetadataFilters] = None,
        **delete_kwargs: Any,
    ) -> None:
        """Delete the nodes with these ids that ``filters`` matches (either
        may be left out, not both: :meth:`clear` deletes every node)."""
        if node_ids is None and filters is None:
            raise ValueError("delete_nodes() needs node_ids or filters (clear() deletes every node)")
        with self._core._lock:
            self._delete_ids(_all_or(self._allowed(node_ids, filters), self._core._docs))

    def _delete_ids(self, doc_ids: Any) -> None:
        """Delete the nodes under these integer ids; the caller holds the lock."""
        core = self._core
        core._delete_keys([key for key in core._docs.keys_of(doc_ids) if key is not None])

    def clear(self) -> None:
        """Delete every node (the options and the side stay)."""
        self._core._clear()

    # ------------------------------------------------------------------ reading

    def _allowed(self, node_ids: Any, filters: Any, doc_ids: Any = None) -> Any:
        """The sorted integer ids of the nodes the arguments select (None:
        every node); the caller holds the lock."""
        docs = self._core._docs
        conditions = [condition for condition in (filter_dict(filters),) if condition is not None]
        if doc_ids is not None:
            conditions.append({"ref_doc_id": {"$in": list(doc_ids)}})
        allowed: Any = None
        if conditions:
            allowed = docs.matching_ids(conditions[0] if len(conditions) == 1 else {"$and": conditions})
        if node_ids is not None:
            listed = sorted({doc_id for doc_id in docs.ids_of(node_ids) if doc_id is not None})
            allowed = listed if allowed is None else sorted(set(listed).intersection(_plain(allowed)))
        return allowed

    def get_nodes(
        self,
        node_ids: Optional[List[str]] = None,
        filters: Optional[MetadataFilters] = None,
    ) -> List[BaseNode]:
        """The nodes with these ids (in the order asked, missing ones
        skipped) that ``filters`` matches; every node when both are None."""
        core = self._core
        with core._lock:
            if node_ids is not None:
                records = core._docs.get(node_ids)
                if filters is not None:
                    chosen = set(_plain(self._allowed(None, filters)))
                    records = [record for record in records if record.doc_id in chosen]
            else:
                records = core._records(_plain(_all_or(self._allowed(None, filters), core._docs)))
        return [_node(record) for record in records]

    def query(self, query: VectorStoreQuery, **kwargs: Any) -> VectorStoreQueryResult:
        """The ``similarity_top_k`` nodes nearest ``query.query_embedding``,
        best first, among those ``query.filters``, ``query.node_ids`` and
        ``query.doc_ids`` (ref_doc_ids) allow (an empty list of ids allows
        every node, as an index's retriever means it). Filtered queries rank the
        allowed nodes as an exact scan of the whole store ranks them, every
        node rescored."""
        if not isinstance(query, VectorStoreQuery):
            raise TypeError(f"query must be a VectorStoreQuery, not {type(query).__name__}")
        if query.mode != VectorStoreQueryMode.DEFAULT:
            raise ValueError(f"KestrixVectorStore answers the default query mode only, not {query.mode.value!r}")
        if query.query_embedding is None:
            raise ValueError("the query has no query_embedding")
        k = query.similarity_top_k
        check_count("similarity_top_k", k)
        vector = embedded([query.query_embedding], 1, "query", self._core.dim, "the query holds")[0]
        filter_dict(query.filters)  # a malformed filter is refused before anything is read
        core = self._core
        # An index's retriever passes the node ids the index lists, and an
        # index over a store that keeps the text lists none: an empty list
        # restricts nothing, as in LlamaIndex's other stores that keep it.
        node_ids, doc_ids = query.node_ids or None, query.doc_ids or None
        with core._lock:
            restricted = query.filters is not None or node_ids is not None or doc_ids is not None
            allowed = self._allowed(node_ids, query.filters, doc_ids) if restricted else None
            hits = core._nearest(vector, k, allowed)
            records = core._records([doc_id for doc_id, _ in hits])
        nodes = [_node(record) for record in records]
        # The rescored inner product is the cosine for unit vectors; the
        # codes' 1 - hamming / 384 is put on the same scale (exactly: the
        # cosine of the two sign vectors).
        scores = [score if core.rescore else 2.0 * score - 1.0 for _, score in hits]
        return VectorStoreQueryResult(nodes=nodes, similarities=scores, ids=[node.node_id for node in nodes])

    # ------------------------------------------------------------------ files

    def persist(
        self,
        persist_path: str = os.path.join(DEFAULT_PERSIST_DIR, DEFAULT_PERSIST_FNAME),
        fs: Optional[Any] = None,
    ) -> None:
        """Save the store to ``persist_path`` (as ``StorageContext.persist``
        names it: ``storage/default__vector_store.json``): a manifest there,
        and beside it the collection file and a copy of the document
        database, committed together by an atomic replacement of the
        manifest. Local files only."""
        path = _local_path(persist_path, fs)
        if os.path.isdir(path):
            raise IsADirectoryError(f"cannot persist to {path!r}: it is a folder")
        data, side, documents, dim = self._core._snapshot()
        try:
            write_save(llamaindex_layout(path), data, side, documents, dim)
        finally:
            documents.close()

    @classmethod
    def from_persist_path(cls, persist_path: str, fs: Optional[Any] = None, **kwargs: Any) -> KestrixVectorStore:
        """Load a store :meth:`persist` saved, checked whole before use,
        with the side and graph it was saved with; ``kwargs`` (but ``side``)
        go to the constructor."""
        if "side" in kwargs:
            raise TypeError("from_persist_path() keeps the saved side; it takes no side argument")
        store = cls(**kwargs)  # the arguments are checked before the files are read
        saved = read_save(llamaindex_layout(_local_path(persist_path, fs)))
        store._core._restore(saved.db, saved.docs)
        return store

    @classmethod
    def from_persist_dir(
        cls,
        persist_dir: str = DEFAULT_PERSIST_DIR,
        namespace: str = "default",
        fs: Optional[Any] = None,
        **kwargs: Any,
    ) -> KestrixVectorStore:
        """Load the store ``StorageContext.persist(persist_dir)`` saved under ``namespace``."""
        folder = path_argument(persist_dir, "persist_dir")
        name = f"{namespace}{_NAMESPACE_SEP}{DEFAULT_PERSIST_FNAME}"
        return cls.from_persist_path(os.path.join(folder, name), fs, **kwargs)


def _local_path(path: Any, fs: Any) -> str:
    protocols = getattr(fs, "protocol", ())
    if fs is not None and "file" not in ((protocols,) if isinstance(protocols, str) else protocols):
        raise NotImplementedError(f"KestrixVectorStore keeps its files on the local file system only, not {fs!r}")
    return path_argument(path, "persist_path")


def _plain(ids: Any) -> List[int]:
    return ids.tolist() if hasattr(ids, "tolist") else list(ids)


def _all_or(allowed: Any, docs: DocumentStore) -> Any:
    return docs.ids() if allowed is None else allowed


def _node(record: Record) -> BaseNode:
    return metadata_dict_to_node(record.metadata, record.text)
