"""The LangChain vector store: documents, searches and the index rule over a collection."""

from __future__ import annotations

import os
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple, Union

from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings
from langchain_core.vectorstores import VectorStore

from .._adapter import DocumentCollection, check_count, collector_paused, embedded, last_of_each
from .._files import CODES_SECTION, DOC_IDS_SECTION, GRAPH_SECTION, METRIC_SECTION, STORE_SECTION, path_argument
from .._filters import Filter
from .._folders import langchain_layout, read_folder, write_save
from .._native import DEFAULT_EF_CONSTRUCTION, DEFAULT_M, DEFAULT_OVERSAMPLE
from ..collection import Collection
from ..documents import DocumentStore, Record
from . import _mmr
from ._args import check_mmr_arguments, filter_argument, no_other_arguments, texts_batch
from ._ids import with_fresh_ids

_KEEP_SIDE = object()  # load_local without side=: the folder's own

# A filter: parsed from a dict (SQL over the documents), or a test of each document.
Condition = Union[Filter, Callable[[Document], bool], None]
# Documents a callable filter is asked about at a time, in rank order.
_CALLED_CHUNK = 256


class KestrixVectorStore(DocumentCollection, VectorStore):
    """LangChain vector store over a :class:`kestrix.Collection`.

    Args:
        embedding: the embedding model; its vectors may have 1 to 4096
            components, as many in every one.
        index_min_size: the add that brings the store to this many documents
            builds the graph (default 2048); below it searches scan exactly.
        rebuild_fraction: share of the graph's nodes that deleted or replaced
            documents may reach before a change rebuilds it; ``None`` (the
            default) never rebuilds on its own.
        m, ef_construction: parameters of the graph.
        ef: search width of the graph; ``None`` (the default) lets the
            collection choose: ``max(50, 12 * k)`` when rescoring by a side
            (``24 * k`` without one), or 50 without rescoring.
        progress: called as ``progress(done, total)`` while a graph is built
            (a few times a second); an exception from it stops the build.
        side: the copy of every embedding kept beside its 1-bit code to
            rescore with: ``"int8"`` (the default, 388 bytes a document),
            ``"float16"`` (768) or ``None``/``"none"`` (the codes only).
        oversample: a search ranks ``k * oversample`` candidates of the codes
            again by inner product (default ``DEFAULT_OVERSAMPLE``, 8).
        rescore: ``False`` ranks and scores by the codes alone
            (``1 - hamming / dim``); by default searches are rescored, by the
            side or, without one, by the codes' own sign vectors.
        dim: the length of every embedding; ``None`` (the default) takes the
            first one's. An embedding of another length is refused, naming
            both, before anything changes. A saved folder records it.
        metric: what rescored scores measure: ``"cosine"`` (the default
            for a new store: the side's vectors and every query are scaled
            to unit length, so scores keep their scale whatever the lengths
            of the model's embeddings) or ``"ip"`` (the inner product of the
            embeddings as they are). A folder keeps the metric it was made
            with; ``None`` (the default) takes it.
        persist_directory: a folder to keep the store in (created if
            needed): every ``add_texts``, ``add_embeddings`` and ``delete``
            is durable when it returns, and a store made again with the same
            folder (by one process at a time) holds every change that
            returned, its documents and vectors in step even after a crash
            between their two commits. ``side`` must be the one the folder
            was made with. :meth:`close` lets go of the folder.
    """

    def __init__(
        self,
        embedding: Embeddings,
        *,
        index_min_size: int = 2048,
        rebuild_fraction: Optional[float] = None,
        m: int = DEFAULT_M,
        ef_construction: int = DEFAULT_EF_CONSTRUCTION,
        ef: Optional[int] = None,
        progress: Optional[Callable[[int, int], Any]] = None,
        side: Optional[str] = "int8",
        oversample: int = DEFAULT_OVERSAMPLE,
        rescore: bool = True,
        dim: Optional[int] = None,
        metric: Optional[str] = None,
        persist_directory: Optional[Union[str, os.PathLike[str]]] = None,
    ) -> None:
        if not isinstance(embedding, Embeddings):
            raise TypeError(f"embedding must be a langchain Embeddings, not {type(embedding).__name__}")
        self._init_collection(
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
        self._embedding = embedding

    # ------------------------------------------------------------------ basics

    @property
    def embeddings(self) -> Embeddings:
        return self._embedding

    @property
    def store(self) -> Collection:
        """The collection (its integer ids are this adapter's business)."""
        return self._db

    @property
    def documents(self) -> DocumentStore:
        """The document store: texts, metadata, and the integer id in
        :attr:`store` of each string id (change documents through this
        adapter, which keeps the two in step)."""
        return self._docs

    def __len__(self) -> int:
        return len(self._db)  # one vector per document

    def __repr__(self) -> str:
        return f"{type(self).__name__}(embedding={type(self._embedding).__name__}, collection={self._db!r})"

    # ------------------------------------------------------------------ writing

    def add_texts(
        self,
        texts: Iterable[str],
        metadatas: Optional[List[Dict[str, Any]]] = None,
        *,
        ids: Optional[Sequence[Optional[str]]] = None,
        **kwargs: Any,
    ) -> List[str]:
        """Embed and add ``texts``; an id that is already present is replaced.

        Everything is checked before the texts are embedded, and the batch
        goes in whole or not at all, so a refused call leaves the store as it
        was. Metadata must be JSON values (see :class:`kestrix.DocumentStore`:
        a ``datetime``, NaN or an integer key is refused with a ValueError
        naming the document). Returns the ids, in order. The add that brings
        the store to ``index_min_size`` documents also builds the graph;
        should that build be stopped (an exception from ``progress``,
        Ctrl-C) the documents stay added and the next add builds it.
        """
        text_list, metadata_list, given_ids = texts_batch(texts, metadatas, ids)
        return self._add(text_list, metadata_list, given_ids, lambda: self._embedding.embed_documents(text_list))

    def add_embeddings(
        self,
        text_embeddings: Iterable[Tuple[str, List[float]]],
        metadatas: Optional[List[Dict[str, Any]]] = None,
        ids: Optional[Sequence[Optional[str]]] = None,
        **kwargs: Any,
    ) -> List[str]:
        """Add texts with embeddings computed beforehand: ``(text, vector)``
        pairs of 384 floats each. Otherwise as :meth:`add_texts`: an id that
        is present is replaced, everything is checked first, and the batch
        goes in whole or not at all. Returns the ids, in order."""
        pairs = list(text_embeddings)
        for pair in pairs:
            if not isinstance(pair, (tuple, list)) or len(pair) != 2:
                raise TypeError(f"text_embeddings must hold (text, embedding) pairs, got {type(pair).__name__}")
        text_list, metadata_list, given_ids = texts_batch([text for text, _ in pairs], metadatas, ids)
        return self._add(text_list, metadata_list, given_ids, lambda: [vector for _, vector in pairs], "given")

    def _add(
        self,
        text_list: List[str],
        metadata_list: Optional[List[Optional[Dict[str, Any]]]],
        given_ids: Optional[List[Optional[str]]],
        vectors_of: Callable[[], Sequence[Sequence[float]]],
        given: str = "",
    ) -> List[str]:
        """Store checked texts with the vectors ``vectors_of()`` gives (called
        once the documents are checked: it may embed them)."""
        n = len(text_list)
        if n == 0:
            return []
        with collector_paused():
            final_ids = with_fresh_ids(given_ids or [None] * n)
            order = last_of_each(final_ids)
            batch = DocumentStore.check_batch(
                [final_ids[i] for i in order],
                [text_list[i] for i in order],
                None if metadata_list is None else [metadata_list[i] for i in order],
                names=[repr(final_ids[i]) if given_ids and given_ids[i] else f"#{i} of the batch" for i in order],
            )
        source = "text_embeddings hold" if given else "the embedding model returned"
        vectors = embedded(vectors_of(), n, "texts", self.dim, source)
        self._store_batch(batch, [vectors[i] for i in order])
        return final_ids

    def delete(self, ids: Optional[List[str]] = None, **kwargs: Any) -> Optional[bool]:
        """Delete the documents with these ids; unknown ids are ignored.

        Returns True. ``ids=None`` is refused rather than read as "all".
        """
        if ids is None:
            raise ValueError("delete() needs the ids to delete")
        if isinstance(ids, str):
            raise TypeError("ids must be a list of strings, not a single string")
        self._delete_keys(ids)
        return True

    def get_by_ids(self, ids: Sequence[str], /) -> List[Document]:
        """The documents with these ids, in the order asked; missing ids are skipped."""
        with self._lock:
            return [_document(record) for record in self._docs.get(ids)]

    def _documents(self, doc_ids: List[int]) -> List[Document]:
        """The documents under these integer ids, in order (the caller holds the lock)."""
        return [_document(record) for record in self._records(doc_ids)]

    # ------------------------------------------------------------------ searching

    def similarity_search_with_score_by_vector(
        self,
        embedding: Sequence[float],
        k: int = 4,
        filter: Union[Callable[[Document], bool], Dict[str, Any], None] = None,
        **kwargs: Any,
    ) -> List[Tuple[Document, float]]:
        """The ``k`` documents nearest ``embedding`` with their scores, best first.

        ``filter``, if given, is either a dict of metadata conditions (the
        filter language of :class:`kestrix.DocumentStore`: plain values test
        equality; ``$eq $ne $gt $gte $lt $lte $in $nin $exists $contains
        $like $not``, ``$and`` and ``$or``; an unknown operator raises
        ``ValueError``) or a function of a ``Document`` returning whether it
        may be returned. Filtered searches rank the allowed documents as an
        exact scan of the whole store, every document rescored, ranks them.
        Keyword arguments other than these raise ``TypeError``.
        """
        no_other_arguments("similarity_search_with_score_by_vector", kwargs)
        check_count("k", k)
        return self._scored(embedding, k, filter_argument(filter))

    def _scored(self, embedding: Sequence[float], k: int, condition: Condition) -> List[Tuple[Document, float]]:
        query = embedded([embedding], 1, "query", self.dim)[0]
        with self._lock:
            found = self._search(query, k, condition)
            return list(zip(self._documents([doc_id for doc_id, _ in found]), [score for _, score in found]))

    def _search(self, query: List[float], k: int, condition: Condition) -> List[Tuple[int, float]]:
        """``(doc_id, score)`` of the ``k`` best documents ``condition``
        allows, best first; the caller holds the lock."""
        if k == 0 or len(self._db) == 0:
            return []
        if isinstance(condition, Filter):
            hits = self._nearest(query, k, self._docs.matching_ids(condition))
        elif condition is not None:
            hits = self._ranked_where(query, k, condition)
        else:
            hits = self._nearest(query, k)
        # The rescored inner product s (the cosine, for unit vectors) is put
        # on the codes' own scale, on which 1 - hamming / 384 is (1 + the
        # cosine of the two sign vectors) / 2. Exactly: float64 from the
        # float32 score, no rounding.
        if self.rescore:
            return [(doc_id, (1.0 + score) / 2.0) for doc_id, score in hits]
        return hits

    def _ranked_where(self, query: List[float], k: int, matches: Callable[[Document], bool]) -> List[Tuple[int, float]]:
        """``(doc_id, score)`` of the ``k`` best documents ``matches`` accepts,
        asking it about each document in rank order."""
        ids, scores = self._ranking(query)
        found: List[Tuple[int, float]] = []
        for start in range(0, len(ids), _CALLED_CHUNK):
            chunk = ids[start : start + _CALLED_CHUNK].tolist()
            for i, document in enumerate(self._documents(chunk)):
                if matches(document):
                    found.append((chunk[i], float(scores[start + i])))
                    if len(found) == k:
                        return found
        return found

    def similarity_search_with_score(
        self,
        query: str,
        k: int = 4,
        filter: Union[Callable[[Document], bool], Dict[str, Any], None] = None,
        **kwargs: Any,
    ) -> List[Tuple[Document, float]]:
        # Every argument is checked before the query is embedded.
        no_other_arguments("similarity_search_with_score", kwargs)
        check_count("k", k)
        condition = filter_argument(filter)
        return self._scored(self._embedding.embed_query(query), k, condition)

    def similarity_search_by_vector(self, embedding: List[float], k: int = 4, **kwargs: Any) -> List[Document]:
        return [doc for doc, _ in self.similarity_search_with_score_by_vector(embedding, k, **kwargs)]

    def similarity_search(self, query: str, k: int = 4, **kwargs: Any) -> List[Document]:
        return [doc for doc, _ in self.similarity_search_with_score(query, k, **kwargs)]

    def max_marginal_relevance_search(
        self,
        query: str,
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: Union[Callable[[Document], bool], Dict[str, Any], None] = None,
        **kwargs: Any,
    ) -> List[Document]:
        """``k`` documents chosen among the ``fetch_k`` nearest ``query`` for
        relevance and diversity at once (maximal marginal relevance; needs
        NumPy). ``lambda_mult`` in ``[0, 1]`` weighs relevance (1) against
        diversity (0); ``filter`` is that of :meth:`similarity_search`."""
        no_other_arguments("max_marginal_relevance_search", kwargs)
        check_mmr_arguments(k, fetch_k, lambda_mult)
        condition = filter_argument(filter)
        return self._diverse(self._embedding.embed_query(query), k, fetch_k, lambda_mult, condition)

    def max_marginal_relevance_search_by_vector(
        self,
        embedding: Sequence[float],
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: Union[Callable[[Document], bool], Dict[str, Any], None] = None,
        **kwargs: Any,
    ) -> List[Document]:
        """As :meth:`max_marginal_relevance_search`, from an embedding.

        The ``fetch_k`` candidates are those the (rescored, filtered) search
        returns; their diversity is measured on the vectors the store keeps:
        the side's, or the sign vectors of the codes in a store without one.
        """
        no_other_arguments("max_marginal_relevance_search_by_vector", kwargs)
        check_mmr_arguments(k, fetch_k, lambda_mult)
        return self._diverse(embedding, k, fetch_k, lambda_mult, filter_argument(filter))

    def _diverse(
        self, embedding: Sequence[float], k: int, fetch_k: int, lambda_mult: float, condition: Condition
    ) -> List[Document]:
        query = embedded([embedding], 1, "query", self.dim)[0]
        if k == 0:
            return []
        with self._lock:
            found = self._search(query, fetch_k, condition)
            if not found:
                return []
            vectors = _mmr.kept_vectors(self._db, [doc_id for doc_id, _ in found])
            chosen = _mmr.choose(query, vectors, lambda_mult, k)
            return self._documents([found[i][0] for i in chosen])

    def _select_relevance_score_fn(self) -> Callable[[float], float]:
        # Scores run from 0 (opposite) to 1 (identical) for unit-length
        # embeddings; longer or shorter ones, and the side's own rounding,
        # can carry a rescored score past either end.
        return lambda score: min(1.0, max(0.0, score))

    @classmethod
    def from_texts(
        cls,
        texts: List[str],
        embedding: Embeddings,
        metadatas: Optional[List[Dict[str, Any]]] = None,
        *,
        ids: Optional[List[str]] = None,
        **kwargs: Any,
    ) -> KestrixVectorStore:
        """A new store holding ``texts``; ``kwargs`` go to the constructor."""
        store = cls(embedding, **kwargs)
        store.add_texts(texts, metadatas, ids=ids)
        return store

    @classmethod
    def from_embeddings(
        cls,
        text_embeddings: Iterable[Tuple[str, List[float]]],
        embedding: Embeddings,
        metadatas: Optional[List[Dict[str, Any]]] = None,
        ids: Optional[Sequence[Optional[str]]] = None,
        **kwargs: Any,
    ) -> KestrixVectorStore:
        """A new store holding ``(text, vector)`` pairs embedded beforehand;
        ``embedding`` embeds the queries, ``kwargs`` go to the constructor."""
        store = cls(embedding, **kwargs)
        store.add_embeddings(text_embeddings, metadatas, ids)
        return store

    # ------------------------------------------------------------------ files

    def save_local(self, folder: Any) -> None:
        """Save the store, texts and metadata into ``folder`` (created if needed)."""
        folder_path = path_argument(folder, "folder")
        if os.path.exists(folder_path) and not os.path.isdir(folder_path):
            raise NotADirectoryError(f"cannot save to {folder_path!r}: it is a file")
        data, side, documents, dim = self._snapshot()
        try:
            write_save(langchain_layout(folder_path), data, side, documents, dim)
        finally:
            documents.close()

    @classmethod
    def load_local(cls, folder: Any, embeddings: Embeddings, **kwargs: Any) -> KestrixVectorStore:
        """Load a store saved by :meth:`save_local`; ``kwargs`` go to the constructor.

        The store comes back with the side it was saved with: folders saved
        without one (and those of the first version) load with the codes only,
        and are searched rescored by the codes' sign vectors. ``side=`` asks
        for another: ``"none"`` drops a saved side; ``"int8"`` or
        ``"float16"``, when the folder holds another, embeds every stored text
        again (one ``embed_documents`` call over all of them) and builds the
        codes, side and, if the folder had one or the store is large enough,
        the graph from those embeddings. Folders of the versions that kept the
        documents in the manifest are converted as they load.
        """
        if kwargs.get("persist_directory") is not None:
            raise ValueError("a persistent store is opened with KestrixVectorStore(embedding, persist_directory=...)")
        side = kwargs.pop("side", _KEEP_SIDE)
        # The arguments are checked before the folder is read.
        store = cls(embeddings, **kwargs) if side is _KEEP_SIDE else cls(embeddings, side=side, **kwargs)
        db, docs, sections = read_folder(path_argument(folder, "folder"))
        store._docs = docs
        wanted = db.side if side is _KEEP_SIDE else store._db.side
        if wanted == "none" and db.side != "none":
            # The same codes, ids and graph, without the side.
            found = dict(sections)
            db = Collection._from_sections(
                found[STORE_SECTION],
                found[DOC_IDS_SECTION],
                None,
                found.get(GRAPH_SECTION),
                None,
                found.get(CODES_SECTION),
                found.get(METRIC_SECTION),
            )
        elif wanted != db.side:
            db = store._embedded_again(db, wanted)
        store._restore(db, docs)
        return store

    def _embedded_again(self, saved: Collection, side: str) -> Collection:
        """A collection with ``side`` holding ``saved``'s documents, embedded
        again from their texts, with a graph if ``saved`` had one or this
        store's size calls for it."""
        order = saved.ids()
        order = order.tolist() if hasattr(order, "tolist") else list(order)
        db = Collection(saved.dim, side=side, metric=saved.metric)
        if order:
            texts = [record.text for record in self._docs.get_by_ids(order)]
            vectors = embedded(self._embedding.embed_documents(texts), len(texts), "texts", saved.dim)
            db.add(order, vectors)  # in the saved slot order, so ties fall as they did
        if saved.has_index() or len(db) >= self.index_min_size:
            self._db = db
            self._build()
        return db


def _document(record: Record) -> Document:
    return Document(id=record.key, page_content=record.text, metadata=record.metadata)
