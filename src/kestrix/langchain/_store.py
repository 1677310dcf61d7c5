"""The LangChain vector store: documents, searches and the index rule over a collection."""

from __future__ import annotations

import os
import threading
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple, Union

from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings
from langchain_core.vectorstores import VectorStore

from .._files import DOC_IDS_SECTION, GRAPH_SECTION, STORE_SECTION, path_argument
from ..collection import Collection
from . import _mmr
from ._args import (
    check_count,
    check_mmr_arguments,
    check_options,
    check_search_options,
    embedded,
    filter_argument,
    side_argument,
    texts_batch,
)
from ._folder import read_folder, write_folder
from ._ids import Entry, IdMap, collector_paused, with_fresh_ids

_KEEP_SIDE = object()  # load_local without side=: the folder's own


def _copy_metadata(metadata: Dict[str, Any]) -> Dict[str, Any]:
    # A deep copy through JSON would refuse what the caller may legitimately
    # keep in memory; a shallow copy is what other in-memory stores give.
    return dict(metadata)


class KestrixVectorStore(VectorStore):
    """LangChain vector store over a :class:`kestrix.Collection`.

    Args:
        embedding: the embedding model; it must produce 384-dim vectors.
        index_min_size: the add that brings the store to this many documents
            builds the graph (default 2048); below it searches scan exactly.
        rebuild_fraction: share of the graph's nodes that deleted or replaced
            documents may reach before a change rebuilds it; ``None`` (the
            default) never rebuilds on its own.
        m, ef_construction: parameters of the graph.
        ef: search width of the graph; ``None`` (the default) lets the
            collection choose: as wide as the rescored candidates
            (``k * oversample``), or 50 without rescoring.
        progress: called as ``progress(done, total)`` while a graph is built
            (a few times a second); an exception from it stops the build.
        side: the copy of every embedding kept beside its 1-bit code to
            rescore with: ``"int8"`` (the default, 388 bytes a document),
            ``"float16"`` (768) or ``None``/``"none"`` (the codes only).
        oversample: a search ranks ``k * oversample`` candidates of the codes
            again by inner product (default 24).
        rescore: ``False`` ranks and scores by the codes alone
            (``1 - hamming / 384``); by default searches are rescored, by the
            side or, without one, by the codes' own sign vectors.
    """

    def __init__(
        self,
        embedding: Embeddings,
        *,
        index_min_size: int = 2048,
        rebuild_fraction: Optional[float] = None,
        m: int = 16,
        ef_construction: int = 200,
        ef: Optional[int] = None,
        progress: Optional[Callable[[int, int], Any]] = None,
        side: Optional[str] = "int8",
        oversample: int = 24,
        rescore: bool = True,
    ) -> None:
        if not isinstance(embedding, Embeddings):
            raise TypeError(f"embedding must be a langchain Embeddings, not {type(embedding).__name__}")
        check_options(index_min_size, rebuild_fraction, m, ef_construction, ef, progress)
        side = side_argument(side)
        check_search_options(oversample, rescore)
        self._embedding = embedding
        self.index_min_size = index_min_size
        self.rebuild_fraction = None if rebuild_fraction is None else float(rebuild_fraction)
        self.m = m
        self.ef_construction = ef_construction
        self.ef = ef
        self.progress = progress
        self.oversample = oversample
        self.rescore = rescore
        self._db = Collection(side=side, rebuild_threshold=self.rebuild_fraction)
        self._ids = IdMap()
        # Slots this store's deletes and replacements left in the collection
        # since it last compacted. Only a store without a graph acts on it (a
        # graph keeps its deleted nodes as waypoints, and the collection
        # itself decides on rebuilds by its rebuild_threshold); the collection
        # does not count its deleted slots outside a graph.
        self._unreclaimed = 0
        self._lock = threading.RLock()

    # ------------------------------------------------------------------ basics

    @property
    def embeddings(self) -> Embeddings:
        return self._embedding

    @property
    def store(self) -> Collection:
        """The collection (its integer ids are this adapter's business)."""
        return self._db

    def __len__(self) -> int:
        return len(self._ids)

    @property
    def _entries(self) -> Dict[str, Entry]:
        """The documents by string id (each with its integer id, text and metadata)."""
        return self._ids.entries

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

        Everything is checked and embedded before the store changes, so a
        refused call leaves it as it was. Returns the ids, in order. The add
        that brings the store to ``index_min_size`` documents also builds the
        graph; should that build be stopped (an exception from ``progress``,
        Ctrl-C) the documents stay added and the next add builds it.
        """
        text_list, metadata_list, given_ids = texts_batch(texts, metadatas, ids)
        n = len(text_list)
        if n == 0:
            return []
        with collector_paused():
            final_ids = with_fresh_ids(given_ids or [None] * n)
        vectors = self._embedding.embed_documents(text_list)
        with self._lock:
            with collector_paused():
                self._commit(final_ids, text_list, embedded(vectors, n, "texts"), metadata_list)
            # The documents are in; the graph comes with the add that reaches
            # the threshold, so no search ever has to wait for it.
            if not self._db.has_index() and len(self._ids) >= self.index_min_size:
                self._build()
        return final_ids

    def _commit(
        self,
        final_ids: List[str],
        texts: List[str],
        vectors: List[List[float]],
        metadatas: Optional[Sequence[Optional[Dict[str, Any]]]],
    ) -> None:
        """Add the checked batch whole, or change nothing."""
        stored = [_copy_metadata(metadata or {}) for metadata in (metadatas or [{}] * len(texts))]
        # An id given twice in one batch ends as its last text, as if added in turn.
        last = {id_: i for i, id_ in enumerate(final_ids)}
        order = sorted(last.values())
        with self._ids.allocating([final_ids[i] for i in order]) as doc_ids:
            # The collection checks the whole batch before it changes.
            self._db.add(doc_ids, [vectors[i] for i in order])
        for i, doc_id in zip(order, doc_ids):
            id_ = final_ids[i]
            if id_ in self._ids.entries:
                self._unreclaimed += 1  # the replaced vector's slot
            self._ids.book(id_, Entry(doc_id, texts[i], stored[i]))

    def delete(self, ids: Optional[List[str]] = None, **kwargs: Any) -> Optional[bool]:
        """Delete the documents with these ids; unknown ids are ignored.

        Returns True. ``ids=None`` is refused rather than read as "all".
        """
        if ids is None:
            raise ValueError("delete() needs the ids to delete")
        if isinstance(ids, str):
            raise TypeError("ids must be a list of strings, not a single string")
        with self._lock:
            gone = [doc_id for doc_id in map(self._ids.remove, ids) if doc_id is not None]
            if gone:
                self._db.delete(gone)
                self._unreclaimed += len(gone)
            # Compaction renumbers the slots and so would drop a graph: only a
            # store searched by scanning is compacted behind the caller's back.
            if not self._db.has_index() and self._unreclaimed > max(1024, len(self._ids)):
                self._compact()
        return True

    def get_by_ids(self, ids: Sequence[str], /) -> List[Document]:
        """The documents with these ids, in the order asked; missing ids are skipped."""
        with self._lock:
            found = []
            for id_ in ids:
                entry = self._ids.entries.get(id_)
                if entry is not None:
                    found.append(self._document(id_, entry))
            return found

    def _document(self, id_: str, entry: Entry) -> Document:
        return Document(id=id_, page_content=entry.text, metadata=_copy_metadata(entry.metadata))

    # ------------------------------------------------------------------ index upkeep

    def _compact(self) -> None:
        # A collection with no deleted slots is left exactly as it is.
        self._db.compact()
        self._unreclaimed = 0

    def _build(self) -> None:
        self._db.build_index(self.m, self.ef_construction, progress=self.progress)

    def build_index(self) -> None:
        """Compact and build the graph now, whatever the store's size."""
        with self._lock:
            self._compact()
            self._build()

    # ------------------------------------------------------------------ searching

    def similarity_search_with_score_by_vector(
        self,
        embedding: Sequence[float],
        k: int = 4,
        filter: Union[Callable[[Document], bool], Dict[str, Any], None] = None,
        **kwargs: Any,
    ) -> List[Tuple[Document, float]]:
        """The ``k`` documents nearest ``embedding`` with their scores, best first.

        ``filter``, if given, is either a dict of metadata conditions (plain
        values test equality; ``$eq``, ``$ne``, ``$gt``, ``$gte``, ``$lt``,
        ``$lte``, ``$in``, ``$nin``, ``$and`` and ``$or`` as LangChain stores
        take them; an unknown operator raises ``ValueError``) or a function of
        a ``Document`` returning whether it may be returned. Filtered searches
        scan the whole store exactly (and rescore every document).
        """
        check_count("k", k)
        matches = filter_argument(filter)
        query = embedded([embedding], 1, "query")[0]
        with self._lock:
            return [(document, score) for _, document, score in self._search(query, k, matches)]

    def _search(
        self, query: List[float], k: int, matches: Optional[Callable[[Document], bool]]
    ) -> List[Tuple[int, Document, float]]:
        """``(doc_id, document, score)`` of the ``k`` best documents; the
        caller holds the lock."""
        if k == 0 or not self._ids.entries:
            return []
        if matches is not None:
            # Every document is a candidate, so every one is rescored.
            hits = self._db.search(query, len(self._db), exact=True, rescore=self.rescore, oversample=1)
        else:
            ef = None if self.ef is None else max(self.ef, k)
            hits = self._db.search(query, k, ef=ef, rescore=self.rescore, oversample=self.oversample)
        results = []
        for doc_id, score in hits:
            id_ = self._ids.by_doc_id.get(doc_id)
            if id_ is None:  # pragma: no cover - every live slot has an entry
                continue
            document = self._document(id_, self._ids.entries[id_])
            if matches is not None and not matches(document):
                continue
            # The rescored inner product s (the cosine, for unit vectors) is
            # put on the codes' own scale, on which 1 - hamming / 384 is
            # (1 + the cosine of the two sign vectors) / 2. Exactly: float64
            # from the float32 score, no rounding.
            results.append((doc_id, document, (1.0 + float(score)) / 2.0 if self.rescore else float(score)))
            if len(results) == k:
                break
        return results

    def similarity_search_with_score(self, query: str, k: int = 4, **kwargs: Any) -> List[Tuple[Document, float]]:
        return self.similarity_search_with_score_by_vector(self._embedding.embed_query(query), k, **kwargs)

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
        check_mmr_arguments(k, fetch_k, lambda_mult)
        filter_argument(filter)
        embedding = self._embedding.embed_query(query)
        return self.max_marginal_relevance_search_by_vector(embedding, k, fetch_k, lambda_mult, filter, **kwargs)

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
        check_mmr_arguments(k, fetch_k, lambda_mult)
        matches = filter_argument(filter)
        query = embedded([embedding], 1, "query")[0]
        if k == 0:
            return []
        with self._lock:
            found = self._search(query, fetch_k, matches)
            if not found:
                return []
            vectors = _mmr.kept_vectors(self._db, [doc_id for doc_id, _, _ in found])
        return [found[i][1] for i in _mmr.choose(query, vectors, lambda_mult, k)]

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

    # ------------------------------------------------------------------ files

    def save_local(self, folder: Any) -> None:
        """Save the store, texts and metadata into ``folder`` (created if needed)."""
        folder_path = path_argument(folder, "folder")
        if os.path.exists(folder_path) and not os.path.isdir(folder_path):
            raise NotADirectoryError(f"cannot save to {folder_path!r}: it is a file")
        with self._lock:
            # Deleted slots travel with the file while a graph walks through
            # them; a store without one is saved compact.
            if not self._db.has_index():
                self._compact()
            documents = self._ids.documents()
            data = self._db._file_bytes()
            state = self._ids.state()
            side = self._db.side
        write_folder(folder_path, data, side, state, documents)

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
        the graph from those embeddings.
        """
        side = kwargs.pop("side", _KEEP_SIDE)
        # The arguments are checked before the folder is read.
        store = cls(embeddings, **kwargs) if side is _KEEP_SIDE else cls(embeddings, side=side, **kwargs)
        manifest, db, sections, deleted = read_folder(path_argument(folder, "folder"))
        wanted = db.side if side is _KEEP_SIDE else store._db.side
        if wanted == "none" and db.side != "none":
            # The same codes, ids and graph, without the side.
            found = dict(sections)
            db = Collection._from_sections(
                found[STORE_SECTION], found[DOC_IDS_SECTION], None, found.get(GRAPH_SECTION), None
            )
        elif wanted != db.side:
            db = store._embedded_again(db, wanted, manifest["documents"])
            deleted = 0
        db.rebuild_threshold = store.rebuild_fraction
        store._db = db
        store._unreclaimed = deleted
        store._ids = IdMap.from_manifest(manifest)
        return store

    def _embedded_again(self, saved: Collection, side: str, documents: List[Dict[str, Any]]) -> Collection:
        """A collection with ``side`` holding ``saved``'s documents, embedded
        again from their texts, with a graph if ``saved`` had one or this
        store's size calls for it."""
        text_of = {doc["doc_id"]: doc["text"] for doc in documents}
        order = saved.ids()
        order = order.tolist() if hasattr(order, "tolist") else list(order)
        db = Collection(side=side)
        if order:
            texts = [text_of[doc_id] for doc_id in order]
            vectors = embedded(self._embedding.embed_documents(texts), len(texts), "texts")
            db.add(order, vectors)  # in the saved slot order, so ties fall as they did
        if saved.has_index() or len(db) >= self.index_min_size:
            self._db = db
            self._build()
        return db
