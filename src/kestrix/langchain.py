"""A LangChain ``VectorStore`` on a :class:`kestrix.Collection` (needs ``langchain-core``).

::

    from kestrix.langchain import KestrixVectorStore

    store = KestrixVectorStore.from_texts(texts, embeddings)   # 384-dim embeddings
    store.similarity_search("a question", k=4)
    store.max_marginal_relevance_search("a question", k=4, fetch_k=20)
    store.save_local("my-store")
    store = KestrixVectorStore.load_local("my-store", embeddings)

Ids. Documents are addressed by string ids (given, or generated as UUID4
strings). Each string id is mapped to an integer document id of the
collection, allocated here from 0 upward (ids of deleted documents are
reused), so every one stays below 2**31. Adding a document under an id that
is already present replaces it.

Rescoring. Each document is kept as its 48-byte code (the signs of its
embedding) and, by default, an int8 copy beside it (``side="int8"``, 388
bytes; ``"float16"``: 768; ``None``: the codes only). A search takes the
``k * oversample`` (24) best candidates by the codes and ranks them again by
the inner product s of the query with their side vectors (the cosine, for
unit-length embeddings). A store without a side ranks them by s with the
codes' own unit sign vectors (+-1/sqrt(384) a component): no memory, a
smaller gain. ``rescore=False`` keeps the codes' own ranking. Filtered
searches rescore every document.

Scores. ``similarity_search_with_score`` returns ``(1 + s) / 2``, computed in
float64 from the collection's float32 s, unrounded: 1.0 for the same
direction, about 0.5 for unrelated vectors, 0.0 for opposite ones. Without
rescoring it is the codes' ``1 - hamming / 384``, which is exactly (1 + the
cosine of the two sign vectors) / 2: one scale either way. For unit-length
embeddings it lies in [0, 1] up to the side's rounding (with an int8 side a
document's own text can score a little above 1.0, about 1.0004); embeddings
of other lengths carry it further out. The relevance score is the score
clamped to [0, 1].

MMR. ``max_marginal_relevance_search`` (and ``..._by_vector``, and their
async forms) take the ``fetch_k`` best documents of the rescored, filtered
search and choose ``k`` of them by maximal marginal relevance, measuring
similarity on the vectors the store keeps: the side's, or the sign vectors.
It needs NumPy.

The index rule. Every search reflects every change made before it, and no
search ever waits for a build. The HNSW graph is built by the add that
leaves the store with at least ``index_min_size`` documents and no graph
(that call includes the build, and reports it to ``progress``); later adds
extend it by their documents only; deletes and replacements keep it, their
old nodes staying as waypoints a search walks through and never returns.
Below ``index_min_size`` documents a search is an exact scan. The graph is
rebuilt only by :meth:`KestrixVectorStore.build_index`, or by a change once
deleted nodes exceed ``rebuild_fraction`` of the graph (``None``, the
default: never). Deleted slots of a store without a graph are compacted away
when they outnumber the live ones.

Files. :meth:`save_local` writes the collection (store, integer ids, side
and graph) to a new file in the folder and then, as the commit point,
atomically replaces the manifest (``kestrix-langchain.json``: ids, texts,
metadata, the side, and the name and SHA-256 of the collection file). A
store with a side writes manifest version 3, which earlier versions of this
store refuse rather than misread; a codes-only store still writes version 2.
:meth:`load_local` restores the side and the graph as saved, without a
rebuild. Folders saved without a side, and those of the first version (a
plain Kestrix store file, which come back without a graph until an add or
``build_index`` builds it), load with the codes only and are searched
rescored by sign vectors: nothing is embedded again unless
``load_local(folder, embeddings, side="int8")`` asks for a side, at the cost
of embedding every stored text once. A crash leaves the previous save or the
new one, whole.
Saves into one folder, from threads or processes, take turns on a lock file
(``.kestrix-langchain.lock``), and so do loads with them: a save removes the
store files of earlier saves only while no other save or load can still be
using them.
Metadata must be JSON-serialisable; tuples come back as lists.
"""

from __future__ import annotations

import contextlib
import gc
import hashlib
import json
import os
import secrets
import struct
import sys
import threading
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple, Union, cast

try:
    from langchain_core.documents import Document
    from langchain_core.embeddings import Embeddings
    from langchain_core.vectorstores import VectorStore
except ImportError as err:  # pragma: no cover - depends on the environment
    raise ImportError(
        "kestrix.langchain needs langchain-core (Python 3.10+): pip install 'kestrix[langchain]'"
    ) from err

from ._common import DIMENSION, MAX_DOC_ID
from ._files import DOC_IDS_SECTION, GRAPH_SECTION, STORE_SECTION, atomic_write_bytes, path_argument, read_sections
from ._filters import compile_filter
from ._kestrix import Kestrix
from .collection import Collection

TOMBSTONE_BIT = 0x80000000

__all__ = ["KestrixVectorStore"]

MANIFEST = "kestrix-langchain.json"
LOCK = ".kestrix-langchain.lock"
_FORMAT = "kestrix-langchain"
# Version 1 folders hold a plain Kestrix store; version 2 a Collection file
# of codes only; version 3 a Collection file with a side, named in the
# manifest. A codes-only store is still saved as version 2, which earlier
# readers open as it is; they refuse a side they would not rescore with.
_CODES_ONLY_VERSION = 2
_SIDE_VERSION = 3
_READABLE_VERSIONS = (1, 2, 3)
_KEEP_SIDE = object()  # load_local without side=: the folder's own


@contextlib.contextmanager
def _folder_lock(folder: str, exclusive: bool) -> Iterator[None]:
    """Hold the folder's lock: exclusive to save, shared to load.

    A load from a folder this process may not write to goes without the lock
    when the lock file does not exist yet (no save can be running there).
    """
    path = os.path.join(folder, LOCK)
    try:
        fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o666)
    except OSError:
        if exclusive:
            raise
        try:
            fd = os.open(path, os.O_RDONLY)
        except OSError:
            yield
            return
    try:
        if sys.platform == "win32":  # pragma: no cover - no shared locks there
            import msvcrt

            msvcrt.locking(fd, msvcrt.LK_LOCK, 1)
        else:
            import fcntl

            fcntl.flock(fd, fcntl.LOCK_EX if exclusive else fcntl.LOCK_SH)
        yield
    finally:
        os.close(fd)  # closing the descriptor releases the lock


class _Entry:
    __slots__ = ("doc_id", "text", "metadata")

    def __init__(self, doc_id: int, text: str, metadata: Dict[str, Any]) -> None:
        self.doc_id = doc_id
        self.text = text
        self.metadata = metadata


@contextlib.contextmanager
def _collector_paused() -> Iterator[None]:
    """Pause the cyclic garbage collector while a batch is booked.

    A batch allocates a dict and an entry per document, and every few
    thousand allocations the collector walks everything alive, the caller's
    embeddings included: for 100,000 documents that walk cost more than
    storing them. Nothing booked here forms a cycle.
    """
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


def _with_fresh_ids(ids: Sequence[Optional[str]]) -> List[str]:
    """``ids`` with a random (version 4) UUID string for each missing one.

    Written out from one read of the system's random source: building a
    ``uuid.UUID`` per document took longer than storing 100,000 of them.
    """
    missing = sum(1 for id_ in ids if not id_)
    digits = os.urandom(16 * missing).hex()
    out = []
    at = 0
    for id_ in ids:
        if id_:
            out.append(id_)
            continue
        h = digits[at : at + 32]
        at += 32
        # Version 4 in the 13th digit, the variant bits 10 in the 17th.
        variant = "89ab"[int(h[16], 16) & 3]
        out.append(f"{h[:8]}-{h[8:12]}-4{h[13:16]}-{variant}{h[17:20]}-{h[20:]}")
    return out


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
        for name, value in (
            ("index_min_size", index_min_size),
            ("m", m),
            ("ef_construction", ef_construction),
            ("ef", ef),
        ):
            if name == "ef" and value is None:
                continue
            if isinstance(value, bool) or not isinstance(value, int) or value < (0 if name == "index_min_size" else 1):
                raise ValueError(f"{name} must be a positive int, got {value!r}")
        if m < 2:
            raise ValueError(f"m must be >= 2, got {m}")
        if rebuild_fraction is not None and not (0.0 <= float(rebuild_fraction) <= 1.0):
            raise ValueError(f"rebuild_fraction must lie in [0, 1] or be None, got {rebuild_fraction!r}")
        if progress is not None and not callable(progress):
            raise TypeError(f"progress must be callable or None, got {progress!r}")
        side = _side_argument(side)
        if isinstance(oversample, bool) or not isinstance(oversample, int) or oversample < 1:
            raise ValueError(f"oversample must be an int >= 1, got {oversample!r}")
        if not isinstance(rescore, bool):
            raise TypeError(f"rescore must be True or False, got {rescore!r}")
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
        self._entries: Dict[str, _Entry] = {}
        self._by_doc_id: Dict[int, str] = {}
        self._next_doc_id = 0
        self._free_doc_ids: List[int] = []
        self._tombstones = 0
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
        return len(self._entries)

    def _embed_checked(self, vectors: Sequence[Sequence[float]], expected: int, what: str) -> List[List[float]]:
        if len(vectors) != expected:
            raise ValueError(f"the embedding model returned {len(vectors)} vectors for {expected} {what}")
        checked = []
        for vector in vectors:
            # A list is read as it is (the collection reads it before this
            # call returns); anything else is taken apart once.
            values = vector if type(vector) is list else list(vector)
            if len(values) != DIMENSION:
                raise ValueError(
                    f"the embedding model returned {len(values)}-dim vectors; Kestrix stores {DIMENSION}-dim vectors"
                )
            checked.append(values)
        return checked

    def _allocate_doc_id(self) -> int:
        if self._free_doc_ids:
            return self._free_doc_ids.pop()
        if self._next_doc_id > MAX_DOC_ID:
            raise RuntimeError(f"no free document id: the store has handed out all {MAX_DOC_ID + 1}")
        doc_id = self._next_doc_id
        self._next_doc_id += 1
        return doc_id

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
        texts = list(texts)
        n = len(texts)
        for text in texts:
            if not isinstance(text, str):
                raise TypeError(f"texts must be strings, got {type(text).__name__}")
        if metadatas is not None:
            metadatas = list(metadatas)
            if len(metadatas) != n:
                raise ValueError(f"got {len(metadatas)} metadatas for {n} texts")
            for metadata in metadatas:
                if metadata is not None and not isinstance(metadata, dict):
                    raise TypeError(f"each metadata must be a dict, got {type(metadata).__name__}")
        if ids is not None:
            ids = list(ids)
            if len(ids) != n:
                raise ValueError(f"got {len(ids)} ids for {n} texts")
            for id_ in ids:
                if id_ is not None and not isinstance(id_, str):
                    raise TypeError(f"ids must be strings (or None), got {type(id_).__name__}")
        if n == 0:
            return []
        with _collector_paused():
            final_ids = _with_fresh_ids(ids or [None] * n)
        embedded = self._embedding.embed_documents(texts)
        with self._lock:
            with _collector_paused():
                self._commit(final_ids, texts, self._embed_checked(embedded, n, "texts"), metadatas)
            # The documents are in; the graph comes with the add that reaches
            # the threshold, so no search ever has to wait for it.
            if not self._db.has_index() and len(self._entries) >= self.index_min_size:
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
        # Every id the batch needs must be there before the first change.
        fresh = sum(1 for i in order if final_ids[i] not in self._entries)
        if fresh > len(self._free_doc_ids) + (MAX_DOC_ID + 1 - self._next_doc_id):
            raise RuntimeError(f"no free document id: the store has handed out all {MAX_DOC_ID + 1}")
        free_before, next_before = list(self._free_doc_ids), self._next_doc_id
        doc_ids = []
        for i in order:
            old = self._entries.get(final_ids[i])
            doc_ids.append(old.doc_id if old is not None else self._allocate_doc_id())
        try:
            # The collection checks the whole batch before it changes.
            self._db.add(doc_ids, [vectors[i] for i in order])
        except BaseException:
            self._free_doc_ids, self._next_doc_id = free_before, next_before
            raise
        for i, doc_id in zip(order, doc_ids):
            id_ = final_ids[i]
            if id_ in self._entries:
                self._tombstones += 1  # the replaced vector's slot
            self._entries[id_] = _Entry(doc_id, texts[i], stored[i])
            self._by_doc_id[doc_id] = id_

    def delete(self, ids: Optional[List[str]] = None, **kwargs: Any) -> Optional[bool]:
        """Delete the documents with these ids; unknown ids are ignored.

        Returns True. ``ids=None`` is refused rather than read as "all".
        """
        if ids is None:
            raise ValueError("delete() needs the ids to delete")
        if isinstance(ids, str):
            raise TypeError("ids must be a list of strings, not a single string")
        with self._lock:
            gone = []
            for id_ in ids:
                entry = self._entries.pop(id_, None)
                if entry is None:
                    continue
                del self._by_doc_id[entry.doc_id]
                self._free_doc_ids.append(entry.doc_id)
                self._tombstones += 1
                gone.append(entry.doc_id)
            if gone:
                self._db.delete(gone)
            # Compaction renumbers the slots and so would drop a graph: only a
            # store searched by scanning is compacted behind the caller's back.
            if not self._db.has_index() and self._tombstones > max(1024, len(self._entries)):
                self._compact()
        return True

    def get_by_ids(self, ids: Sequence[str], /) -> List[Document]:
        """The documents with these ids, in the order asked; missing ids are skipped."""
        with self._lock:
            found = []
            for id_ in ids:
                entry = self._entries.get(id_)
                if entry is not None:
                    found.append(self._document(id_, entry))
            return found

    def _document(self, id_: str, entry: _Entry) -> Document:
        return Document(id=id_, page_content=entry.text, metadata=_copy_metadata(entry.metadata))

    # ------------------------------------------------------------------ index upkeep

    def _compact(self) -> None:
        self._db.compact()
        self._tombstones = 0

    def _build(self) -> None:
        self._db.build_index(self.m, self.ef_construction, progress=self.progress)

    def build_index(self) -> None:
        """Compact and build the graph now, whatever the store's size."""
        with self._lock:
            if self._tombstones:
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
        _check_count("k", k)
        matches = _filter_argument(filter)
        query = self._embed_checked([embedding], 1, "query")[0]
        with self._lock:
            return [(document, score) for _, document, score in self._search(query, k, matches)]

    def _search(
        self, query: List[float], k: int, matches: Optional[Callable[[Document], bool]]
    ) -> List[Tuple[int, Document, float]]:
        """``(doc_id, document, score)`` of the ``k`` best documents; the
        caller holds the lock."""
        if k == 0 or not self._entries:
            return []
        if matches is not None:
            # Every document is a candidate, so every one is rescored.
            hits = self._db.search(query, len(self._db), exact=True, rescore=self.rescore, oversample=1)
        else:
            ef = None if self.ef is None else max(self.ef, k)
            hits = self._db.search(query, k, ef=ef, rescore=self.rescore, oversample=self.oversample)
        results = []
        for doc_id, score in hits:
            id_ = self._by_doc_id.get(doc_id)
            if id_ is None:  # pragma: no cover - every live slot has an entry
                continue
            document = self._document(id_, self._entries[id_])
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
        _check_mmr_arguments(k, fetch_k, lambda_mult)
        _filter_argument(filter)
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
        _check_mmr_arguments(k, fetch_k, lambda_mult)
        matches = _filter_argument(filter)
        query = self._embed_checked([embedding], 1, "query")[0]
        if k == 0:
            return []
        import numpy as np
        from langchain_core.vectorstores.utils import maximal_marginal_relevance

        with self._lock:
            found = self._search(query, fetch_k, matches)
            if not found:
                return []
            doc_ids = [doc_id for doc_id, _, _ in found]
            if self._db.side != "none":
                vectors = np.asarray(self._db.get(doc_ids, vectors=True), dtype=np.float64)
            else:
                vectors = _sign_vectors(np.asarray(self._db.get(doc_ids)))
        chosen = maximal_marginal_relevance(np.asarray(query, dtype=np.float64), list(vectors), lambda_mult, k)
        return [found[i][1] for i in chosen]

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
            if self._tombstones and not self._db.has_index():
                self._compact()
            documents = [
                {"id": id_, "doc_id": e.doc_id, "text": e.text, "metadata": e.metadata}
                for id_, e in self._entries.items()
            ]
            data = self._db._file_bytes()
            state = {
                "next_doc_id": self._next_doc_id,
                "free_doc_ids": list(self._free_doc_ids),
            }
        # Encode before touching the disk, so unserialisable metadata fails
        # with the folder as it was.
        store_name = f"store-{secrets.token_hex(8)}.kx"
        side = self._db.side
        manifest = {
            "format": _FORMAT,
            "version": _CODES_ONLY_VERSION if side == "none" else _SIDE_VERSION,
            **({} if side == "none" else {"side": side}),
            "dimension": DIMENSION,
            "store_file": store_name,
            "store_sha256": hashlib.sha256(data).hexdigest(),
            **state,
            "documents": documents,
        }
        try:
            encoded = json.dumps(manifest, ensure_ascii=False, allow_nan=False).encode("utf-8")
        except (TypeError, ValueError) as err:
            bad = next((d["id"] for d in documents if not _json_ok(d["metadata"])), None)
            where = f" in the metadata of document {bad!r}" if bad is not None else ""
            raise TypeError(f"cannot save{where}: {err}") from None
        os.makedirs(folder_path, exist_ok=True)
        with _folder_lock(folder_path, exclusive=True):
            atomic_write_bytes(os.path.join(folder_path, store_name), data)
            atomic_write_bytes(os.path.join(folder_path, MANIFEST), encoded)
            # Older store files are no longer named by the manifest, and no
            # other save or load holds the lock to use one.
            for name in os.listdir(folder_path):
                if name.startswith("store-") and name.endswith(".kx") and name != store_name:
                    try:
                        os.unlink(os.path.join(folder_path, name))
                    except OSError:
                        pass

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
        folder_path = path_argument(folder, "folder")
        manifest_path = os.path.join(folder_path, MANIFEST)
        if not os.path.isfile(manifest_path):
            raise FileNotFoundError(f"{folder_path!r} holds no saved Kestrix store ({MANIFEST} is missing)")
        # The manifest and the store file it names are read under the lock,
        # so no save in between can remove the file.
        with _folder_lock(folder_path, exclusive=False):
            with open(manifest_path, "rb") as f:
                raw = f.read()
            try:
                with _collector_paused():  # one dict per document
                    manifest = json.loads(raw.decode("utf-8"))
            except (UnicodeDecodeError, ValueError, RecursionError) as err:
                # RecursionError: nesting deeper than the parser's stack.
                raise ValueError(f"damaged manifest {manifest_path!r}: {type(err).__name__}: {err}") from None
            store_name = _check_manifest(manifest, manifest_path)
            store_path = os.path.join(folder_path, store_name)
            try:
                with open(store_path, "rb") as f:
                    data = f.read()
            except FileNotFoundError:
                raise FileNotFoundError(
                    f"{folder_path!r} is incomplete: its store file {store_name!r} is missing"
                ) from None
        if hashlib.sha256(data).hexdigest() != manifest["store_sha256"]:
            raise ValueError(f"damaged store file {store_path!r}: it does not match its manifest")
        sections, _ = read_sections(data, store_path)
        slot_ids = [body for kind, body in sections if kind == DOC_IDS_SECTION]
        if slot_ids:
            db = Collection._from_file_bytes(data, store_path)
            _check_collection_against_manifest(db, manifest, folder_path)
        else:
            db = _collection_of_plain_store(data, store_path, manifest, folder_path)
        named = manifest.get("side", "none")
        if db.side != named:
            raise _damaged(folder_path, f"the store file keeps side {db.side!r}, the manifest names {named!r}")
        # One 8-byte id per slot, live or not (the file's reader checked that).
        tombstones = len(slot_ids[0]) // 8 - len(db) if slot_ids else 0

        entries = manifest["documents"]
        wanted = db.side if side is _KEEP_SIDE else store._db.side
        if wanted == "none" and db.side != "none":
            # The same codes, ids and graph, without the side.
            found = dict(sections)
            db = Collection._from_sections(
                found[STORE_SECTION], found[DOC_IDS_SECTION], None, found.get(GRAPH_SECTION), None
            )
        elif wanted != db.side:
            text_of = {doc["doc_id"]: doc["text"] for doc in entries}
            order = db.ids()
            order = order.tolist() if hasattr(order, "tolist") else list(order)
            had_graph = db.has_index()
            db = Collection(side=wanted)
            if order:
                texts = [text_of[doc_id] for doc_id in order]
                vectors = store._embed_checked(store._embedding.embed_documents(texts), len(texts), "texts")
                db.add(order, vectors)  # in the saved slot order, so ties fall as they did
            tombstones = 0
            if had_graph or len(db) >= store.index_min_size:
                store._db = db
                store._build()

        db.rebuild_threshold = store.rebuild_fraction
        store._db = db
        store._tombstones = tombstones
        with _collector_paused():
            for doc in entries:
                store._entries[doc["id"]] = _Entry(doc["doc_id"], doc["text"], doc["metadata"])
                store._by_doc_id[doc["doc_id"]] = doc["id"]
        store._next_doc_id = manifest["next_doc_id"]
        store._free_doc_ids = list(manifest["free_doc_ids"])
        return store


def _side_argument(side: Any) -> str:
    if side is None:
        return "none"
    if not isinstance(side, str) or side not in ("none", "int8", "float16"):
        raise ValueError(f"side must be 'int8', 'float16', 'none' or None, got {side!r}")
    return side


def _check_count(name: str, value: Any) -> None:
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise ValueError(f"{name} must be an int >= 0, got {value!r}")


def _check_mmr_arguments(k: Any, fetch_k: Any, lambda_mult: Any) -> None:
    _check_count("k", k)
    _check_count("fetch_k", fetch_k)
    if isinstance(lambda_mult, bool) or not isinstance(lambda_mult, (int, float)) or not 0.0 <= lambda_mult <= 1.0:
        raise ValueError(f"lambda_mult must be a number in [0, 1], got {lambda_mult!r}")


def _filter_argument(filter: Any) -> Optional[Callable[[Document], bool]]:
    """The filter as a test of a document (checked before any search)."""
    if isinstance(filter, dict):
        matches = compile_filter(filter)
        return lambda doc: matches(doc.metadata)
    if filter is not None and not callable(filter):
        raise TypeError(f"filter must be a dict or a callable, not {type(filter).__name__}")
    return cast(Optional[Callable[[Document], bool]], filter)


def _sign_vectors(codes: Any) -> Any:
    """The unit sign vectors of ``(n, 48)`` codes: component c is
    +1/sqrt(384) where bit c % 8 (least significant first) of byte c // 8 is
    set, -1/sqrt(384) where it is clear, as the store defines the code."""
    import numpy as np

    bits = np.unpackbits(codes, axis=1, bitorder="little")[:, :DIMENSION]
    return np.where(bits == 1, 1.0, -1.0) / np.sqrt(DIMENSION)


def _json_ok(value: Any) -> bool:
    try:
        json.dumps(value, allow_nan=False)
        return True
    except (TypeError, ValueError):
        return False


def _damaged(folder: str, why: str) -> ValueError:
    return ValueError(f"damaged save in {folder!r}: {why}")


def _check_ids_accounted(manifest: Dict[str, Any], folder: str) -> None:
    # Every id handed out is either a document's or free for reuse (the two
    # are disjoint and below next_doc_id: the manifest's own checks).
    unaccounted = manifest["next_doc_id"] - len(manifest["documents"]) - len(manifest["free_doc_ids"])
    if unaccounted:
        raise _damaged(folder, f"{unaccounted} of the ids below next_doc_id are neither used nor free")


def _check_collection_against_manifest(db: Collection, manifest: Dict[str, Any], folder: str) -> None:
    """The collection must hold exactly the manifest's documents (its deleted
    slots are the graph's waypoints)."""
    documents = manifest["documents"]
    if len(db) != len(documents):
        raise _damaged(folder, f"{len(db)} stored vectors for {len(documents)} documents")
    ids = db.ids()
    if sorted(ids.tolist() if hasattr(ids, "tolist") else ids) != sorted(doc["doc_id"] for doc in documents):
        raise _damaged(folder, "the store file's document ids are not the manifest's")
    _check_ids_accounted(manifest, folder)


def _collection_of_plain_store(data: bytes, path: str, manifest: Dict[str, Any], folder: str) -> Collection:
    """A first-version folder's Kestrix store, checked as it always was, as a
    collection without a graph."""
    try:
        db = Kestrix.deserialize(data)
    except ValueError as err:
        raise ValueError(f"{err} (file {path!r})") from err
    _check_store_against_manifest(db, manifest, folder)
    store = db.serialize()
    # One live slot per document, its id word the document id itself.
    words = struct.unpack_from(f"<{len(db)}I", store, 12)
    collection: Collection = Collection._from_sections(store, struct.pack(f"<{len(words)}Q", *words))
    return collection


def _check_store_against_manifest(db: Kestrix, manifest: Dict[str, Any], folder: str) -> None:
    """The store must hold exactly the manifest's documents, one live slot each."""

    def bad(why: str) -> ValueError:
        return _damaged(folder, why)

    documents = manifest["documents"]
    # save_local compacts first, so every slot is one live document.
    if len(db) != len(documents):
        raise bad(f"{len(db)} stored vectors for {len(documents)} documents")
    words = struct.unpack_from(f"<{len(db)}I", db.serialize(), 12)
    if any(word & TOMBSTONE_BIT for word in words):
        raise bad("the store file holds deleted slots, which a save never writes")
    if sorted(words) != sorted(doc["doc_id"] for doc in documents):
        raise bad("the store file's document ids are not the manifest's")
    _check_ids_accounted(manifest, folder)


def _is_count(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and value >= 0


def _check_manifest(manifest: Any, path: str) -> str:
    """Check the manifest's shape; return the store file name."""

    def bad(why: str) -> ValueError:
        return ValueError(f"damaged manifest {path!r}: {why}")

    if not isinstance(manifest, dict) or manifest.get("format") != _FORMAT:
        raise bad("not a kestrix-langchain manifest")
    version = manifest.get("version")
    if isinstance(version, bool) or version not in _READABLE_VERSIONS:
        raise bad(f"unsupported version {version!r}")
    if version == _SIDE_VERSION:
        if manifest.get("side") not in ("int8", "float16"):
            raise bad("side must be 'int8' or 'float16'")
    elif "side" in manifest:
        raise bad(f"a version {version} folder names no side")
    name = manifest.get("store_file")
    if not isinstance(name, str) or os.path.basename(name) != name or not name.endswith(".kx"):
        raise bad("store_file must be a plain file name")
    if not isinstance(manifest.get("store_sha256"), str):
        raise bad("store_sha256 is missing")
    if manifest.get("dimension") != DIMENSION:
        raise bad(f"dimension must be {DIMENSION}")
    next_doc_id = manifest.get("next_doc_id")
    if not _is_count(next_doc_id) or cast(int, next_doc_id) > MAX_DOC_ID + 1:
        raise bad("next_doc_id is out of range")
    free = manifest.get("free_doc_ids")
    if not isinstance(free, list) or not all(_is_count(i) and i < next_doc_id for i in free):
        raise bad("free_doc_ids is not a list of allocated ids")
    if len(set(free)) != len(free):
        raise bad("free_doc_ids repeats an id (two documents would share it)")
    documents = manifest.get("documents")
    if not isinstance(documents, list):
        raise bad("documents is not a list")
    seen_ids = set()
    seen_doc_ids = set(free)
    for doc in documents:
        if not (
            isinstance(doc, dict)
            and isinstance(doc.get("id"), str)
            and _is_count(doc.get("doc_id"))
            and isinstance(doc.get("text"), str)
            and isinstance(doc.get("metadata"), dict)
        ):
            raise bad("a document entry lacks id, doc_id, text or metadata")
        if doc["id"] in seen_ids or doc["doc_id"] in seen_doc_ids or not 0 <= doc["doc_id"] < next_doc_id:
            raise bad(f"document {doc['id']!r} repeats an id or has one out of range")
        seen_ids.add(doc["id"])
        seen_doc_ids.add(doc["doc_id"])
    return name
