"""What the framework adapters share: a collection and its documents, kept in step.

The LangChain and LlamaIndex stores are thin: each translates its framework's
documents, ids, filters and scores, and leaves the rest to
:class:`DocumentCollection`, which holds

- a :class:`kestrix.Collection` of the documents' vectors (1-bit codes, a
  side to rescore with, the graph once the store is large enough), under
  integer ids;
- a :class:`kestrix.DocumentStore` of their texts and metadata under string
  keys, each row with the integer id of its vector;

and changes both as one: a batch of documents is written to the database in
one transaction whose last step adds the vectors, so a refused batch (a bad
vector, metadata the database refuses) leaves both as they were.

The index rule. Every search reflects every change made before it, and no
search waits for a build: the add that brings the store to
``index_min_size`` documents builds the graph, later adds extend it, deletes
and replacements keep it (their nodes stay as waypoints). Deleted slots of a
store without a graph are compacted away once they outnumber the live ones.

Searches return the collection's own score ``s`` (the rescored cosine, as a
new store's collection rescores by ``metric="cosine"``; the inner product
under ``metric="ip"``; ``1 - hamming / dim`` without rescoring): each adapter
puts it on the scale its framework's users expect.

Persistent mode (``persist_directory=``). The folder holds the documents in a
SQLite database (``documents.sqlite``, committed durably by each change) and
the vectors in a durable collection (``vectors/``, see
:meth:`kestrix.Collection.open`). A change writes the documents in one
transaction whose last steps make the vectors' change durable in the
collection's log and record that log's last record in the same transaction
(``DocumentStore.set_log_position``); the transaction commits last. So after a
crash the documents hold exactly the committed changes, and the log's records
after the recorded one belong to none: opening replays the vectors up to that
record and leaves the rest out. A crash between the two commits therefore
never leaves a document without its vector or a vector without its document:
the change is gone from both (its call never returned). Should the commit
fail after the vectors changed (a disk error), the store refuses every later
change until it is opened again, which recovers the last committed state.
"""

from __future__ import annotations

import contextlib
import gc
import os
import threading
from typing import Any, Callable, Iterator, List, Optional, Sequence, Tuple

from ._common import DIMENSION
from ._durable import DurableCollection, open_collection
from ._files import path_argument
from ._native import MAX_DIMENSION, METRICS, SIDES
from .collection import Collection
from .documents import Batch, DocumentStore, Record

# What a new store's rescored scores measure: the cosine, so that its scores
# keep their scale whatever the lengths of the model's embeddings.
NEW_STORE_METRIC = "cosine"
# A filtered search rescores every allowed document up to this many.
RESCORE_EVERY_ALLOWED = 10_000
# The persistent mode's folder.
DOCUMENTS_FILE = "documents.sqlite"
VECTORS_FOLDER = "vectors"


@contextlib.contextmanager
def collector_paused() -> Iterator[None]:
    """Pause the cyclic garbage collector while a batch is booked.

    A batch allocates several objects per document, and every few
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


# ---------------------------------------------------------------- argument checks


def check_options(
    index_min_size: Any,
    rebuild_fraction: Any,
    m: Any,
    ef_construction: Any,
    ef: Any,
    progress: Any,
) -> None:
    """The graph options, in the order the constructors read them."""
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


def check_search_options(oversample: Any, rescore: Any) -> None:
    if isinstance(oversample, bool) or not isinstance(oversample, int) or oversample < 1:
        raise ValueError(f"oversample must be an int >= 1, got {oversample!r}")
    if not isinstance(rescore, bool):
        raise TypeError(f"rescore must be True or False, got {rescore!r}")


def metric_argument(metric: Any) -> Optional[str]:
    """A store's metric as given (None: cosine for a new store, a folder's
    own for one that exists)."""
    if metric is not None and (not isinstance(metric, str) or metric not in METRICS):
        raise ValueError(f"metric must be 'cosine', 'ip' or None, got {metric!r}")
    return metric


def side_argument(side: Any) -> str:
    if side is None:
        return "none"
    if not isinstance(side, str) or side not in SIDES:
        raise ValueError(f"side must be 'int8', 'float16', 'none' or None, got {side!r}")
    return side


def check_count(name: str, value: Any) -> None:
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise ValueError(f"{name} must be an int >= 0, got {value!r}")


def dim_argument(dim: Any) -> Optional[int]:
    """A store's dimension as given (None: its first embedding's)."""
    if dim is not None and (isinstance(dim, bool) or not isinstance(dim, int) or not 1 <= dim <= MAX_DIMENSION):
        raise ValueError(f"dim must be an int from 1 to {MAX_DIMENSION} or None, got {dim!r}")
    return dim


def embedded(
    vectors: Sequence[Sequence[float]],
    expected: int,
    what: str,
    dim: Optional[int],
    source: str = "the embedding model returned",
) -> List[List[float]]:
    """Vectors as the collection takes them, checked: ``expected`` vectors
    of ``dim`` floats, or, while the store's dimension is not known yet
    (None), of the first one's length (``source`` says where they came from,
    for the error)."""
    if len(vectors) != expected:
        raise ValueError(f"{source} {len(vectors)} vectors for {expected} {what}")
    checked = []
    for vector in vectors:
        # A list is read as it is (the collection reads it before this
        # call returns); anything else is taken apart once.
        values = vector if type(vector) is list else list(vector)
        if dim is None:
            dim = len(values)
            if not 1 <= dim <= MAX_DIMENSION:
                raise ValueError(f"{source} {dim}-dim vectors; Kestrix stores 1 to {MAX_DIMENSION} dimensions")
        if len(values) != dim:
            raise ValueError(f"{source} {len(values)}-dim vectors; this store holds {dim}-dim vectors")
        checked.append(values)
    return checked


def last_of_each(keys: Sequence[str]) -> List[int]:
    """The positions of a batch that count: a key given twice ends as its
    last document, as if the batch were added one document at a time."""
    return sorted({key: i for i, key in enumerate(keys)}.values())


# ---------------------------------------------------------------- the store


class DocumentCollection:
    """A collection of vectors and a document store of texts and metadata
    under the same integer ids, changed together under one lock.

    The LangChain store is one (it inherits these methods); the LlamaIndex
    store holds one.
    """

    def _init_collection(
        self,
        side: Any,
        dim: Any,
        index_min_size: Any,
        rebuild_fraction: Any,
        m: Any,
        ef_construction: Any,
        ef: Any,
        progress: Any,
        oversample: Any,
        rescore: Any,
        persist_directory: Any = None,
        metric: Any = None,
    ) -> None:
        check_options(index_min_size, rebuild_fraction, m, ef_construction, ef, progress)
        side = side_argument(side)
        metric = metric_argument(metric)
        # The dimension is the one given, or else the first embedding's;
        # until then the store is empty and no search reaches its collection.
        self.dim: Optional[int] = dim_argument(dim)
        check_search_options(oversample, rescore)
        folder = None if persist_directory is None else path_argument(persist_directory, "persist_directory")
        self.index_min_size: int = index_min_size
        self.rebuild_fraction: Optional[float] = None if rebuild_fraction is None else float(rebuild_fraction)
        self.m: int = m
        self.ef_construction: int = ef_construction
        self.ef: Optional[int] = ef
        self.progress: Optional[Callable[[int, int], Any]] = progress
        self.oversample: int = oversample
        self.rescore: bool = rescore
        self._db: Collection
        # Texts, metadata and each string key with the integer id of its vector.
        self._docs: DocumentStore
        # Why the persistent store takes no more changes (None: it does).
        self._failed: Optional[str] = None
        if folder is None:
            self._db = Collection(
                self.dim or DIMENSION,
                side=side,
                metric=metric or NEW_STORE_METRIC,
                rebuild_threshold=self.rebuild_fraction,
            )
            self._docs = DocumentStore()
        else:
            self._db, self._docs = _open_persistent(folder, side, self.rebuild_fraction, self.dim, metric)
            if len(self._docs) or self._db._slot_count():
                self.dim = self._db.dim  # a folder that holds vectors has its dimension
        self._lock = threading.RLock()

    # ------------------------------------------------------------------ changes

    def _store_batch(self, batch: Batch, vectors: List[List[float]]) -> List[int]:
        """Store the checked documents of ``batch`` with their ``vectors`` (one
        each, in order) as one change; returns their integer ids. The add
        that brings the store to ``index_min_size`` documents builds the
        graph; should that build be stopped (an exception from ``progress``,
        Ctrl-C), the documents stay added and the next add builds it."""
        with self._lock:
            if self.dim is None:  # the first embedding fixes the dimension
                if isinstance(self._db, DurableCollection):
                    if len(vectors[0]) != self._db.dim:
                        self._db = self._db._made_again(len(vectors[0]))
                else:
                    self._db = self._empty_like(self._db, len(vectors[0]))
                self.dim = self._db.dim
            elif len(vectors[0]) != self.dim:  # fixed by another thread since the vectors were checked
                raise ValueError(f"{len(vectors[0])}-dim vectors; this store holds {self.dim}-dim vectors")

            def add_vectors(doc_ids: List[int]) -> None:
                # The collection checks the whole batch before it changes;
                # should it refuse, the documents are rolled back too.
                self._db.add(doc_ids, vectors)

            with collector_paused(), self._committing():
                doc_ids = self._docs.upsert_batch(batch, apply=add_vectors, log_position=self._log_position())
            # The documents are in; the graph comes with the add that reaches
            # the threshold, so no search ever has to wait for it.
            if not self._db.has_index() and len(self._db) >= self.index_min_size:
                self._build()
        return doc_ids

    def _delete_keys(self, keys: Sequence[str]) -> List[int]:
        """Delete the documents under ``keys`` (unknown ones are ignored);
        returns their integer ids."""
        with self._lock:
            with self._committing():
                gone = self._docs.delete(keys, apply=self._delete_vectors, log_position=self._log_position())
            # Compaction renumbers the slots and so would drop a graph: only a
            # store searched by scanning is compacted behind the caller's back,
            # once the slots its deletes and replacements left outnumber the
            # live ones (a graph keeps them as waypoints, and the collection
            # decides on its rebuilds by its rebuild_threshold).
            live = len(self._db)
            if not self._db.has_index() and self._db._slot_count() - live > max(1024, live):
                self._compact()
        return gone

    def _delete_vectors(self, doc_ids: List[int]) -> None:
        if doc_ids:
            self._db.delete(doc_ids)

    def _clear(self) -> None:
        """Remove every document; the options and the side stay."""
        with self._lock:
            if isinstance(self._db, DurableCollection):
                # Deleted as any documents are, durably.
                self._delete_keys([record.key for record in self._docs])
                self._compact()
                return
            old = self._docs
            self._db = self._empty_like(self._db, self._db.dim)
            self._docs = DocumentStore()
            old.close()

    def _empty_like(self, db: Collection, dim: int) -> Collection:
        """An empty collection of ``dim``-dim vectors with ``db``'s side and metric."""
        return Collection(dim, side=db.side, metric=db.metric, rebuild_threshold=self.rebuild_fraction)

    def _compact(self) -> None:
        # A collection with no deleted slots is left exactly as it is.
        self._db.compact()
        self._committed()

    def _build(self) -> None:
        self._db.build_index(self.m, self.ef_construction, progress=self.progress)
        self._committed()

    # ------------------------------------------------------------------ persistent mode

    def _log_position(self) -> Optional[Callable[[], int]]:
        """What a document transaction records of the vectors' log (None
        without a persistent folder)."""
        db = self._db
        return db._last_record if isinstance(db, DurableCollection) else None

    @contextlib.contextmanager
    def _committing(self) -> Iterator[None]:
        """One change of documents and vectors: refused once a change could
        not be committed in both; should this one fail after the vectors
        changed, the store takes no more."""
        if self._failed is not None:
            raise RuntimeError(self._failed)
        db = self._db
        if not isinstance(db, DurableCollection):
            yield
            return
        before = db._last_record()
        try:
            yield
        except BaseException as err:
            if db._last_record() != before:
                self._failed = (
                    f"the store at {os.path.dirname(db.path)!r} could not commit a change to both its documents and"
                    f" its vectors ({type(err).__name__}: {err}); open it again to recover its last committed state"
                )
            raise
        self._committed(checkpoint=True)

    def _committed(self, checkpoint: bool = False) -> None:
        """Record the vectors' changes made outside a document transaction (a
        build, a compaction), so that they survive a crash; now and then,
        checkpoint the vectors so that their log stays short."""
        db = self._db
        if not isinstance(db, DurableCollection):
            return
        if db._last_record() != self._docs.log_position:
            self._docs.set_log_position(db._last_record())
        if checkpoint and db._log_outgrown():
            db.checkpoint()

    def close(self) -> None:
        """Close the persistent store's folder (searches still answer; changes
        are refused); nothing to do without one."""
        with self._lock:
            if isinstance(self._db, DurableCollection):
                self._db.close()
                self._docs.close()

    def build_index(self) -> None:
        """Compact and build the graph now, whatever the store's size."""
        with self._lock:
            self._compact()
            self._build()

    # ------------------------------------------------------------------ searching

    def _nearest(self, query: List[float], k: int, allowed: Any = None) -> List[Tuple[int, float]]:
        """``(doc_id, s)`` of the ``k`` best documents, best first, with the
        collection's own score; among the integer ids ``allowed`` only, when
        given: one filtered search, which scans the allowed documents or
        walks the graph with the others as waypoints, as its planner finds
        cheaper, and answers ``min(k, allowed)`` of them either way. The
        caller holds the lock."""
        if k == 0 or len(self._db) == 0:
            return []
        ef = None if self.ef is None else max(self.ef, k)
        oversample = self.oversample
        if allowed is not None and self.rescore and len(allowed) <= RESCORE_EVERY_ALLOWED:
            # The codes' best candidates among a sparse selection reach into
            # unrelated documents, which the codes rank poorly (on clustered
            # data 0.80 of the float top-10 at 10 % of 100,000 allowed): a few
            # allowed documents are all rescored instead (0.98, about 0.1 ms
            # a thousand).
            oversample = max(oversample, -(-len(allowed) // k))
        hits = self._db.search(query, k, ef=ef, rescore=self.rescore, oversample=oversample, filter=allowed)
        return [(doc_id, float(score)) for doc_id, score in hits]

    def _ranking(self, query: List[float]) -> Tuple[Any, Any]:
        """Every document's id and score, best first: an exact scan with
        every document rescored (the ranking a filter given as a callable
        is applied along)."""
        import numpy as np

        ids, scores = self._db.search([query], len(self._db), exact=True, rescore=self.rescore, oversample=1)
        return np.asarray(ids[0]), np.asarray(scores[0])

    def _records(self, doc_ids: List[int]) -> List[Record]:
        """The documents under these integer ids, in order (the caller holds the lock)."""
        return self._docs.get_by_ids(doc_ids)

    # ------------------------------------------------------------------ files

    def _snapshot(self) -> Tuple[bytes, str, DocumentStore, int]:
        """The collection file's bytes, the side, a copy of the documents in
        memory (so that searches need not wait for the disk) and the
        dimension: what a save writes."""
        with self._lock:
            # Deleted slots travel with the file while a graph walks through
            # them; a store without one is saved compact.
            if not self._db.has_index():
                self._compact()
            return self._db._file_bytes(), self._db.side, self._docs.copy(), self._db.dim

    def _restore(self, db: Collection, docs: DocumentStore) -> None:
        """Take over a loaded collection and its documents (checked against
        each other); a dimension given to the store must be the folder's."""
        if self.dim is not None and db.dim != self.dim:
            raise ValueError(f"the folder holds {db.dim}-dim vectors; this store was given dim={self.dim}")
        db.rebuild_threshold = self.rebuild_fraction
        with self._lock:
            self.dim = db.dim
            self._db = db
            self._docs = docs


def _open_persistent(
    folder: str, side: str, rebuild_fraction: Optional[float], dim: Optional[int], metric: Optional[str]
) -> Tuple[DurableCollection, DocumentStore]:
    """The documents and the vectors of a persistent folder, recovered to
    the last change committed to both, and checked against each other."""
    from ._folders import _check_same_documents

    if os.path.exists(folder) and not os.path.isdir(folder):
        raise NotADirectoryError(f"cannot keep a store in {folder!r}: it is a file")
    os.makedirs(folder, exist_ok=True)
    docs = DocumentStore(os.path.join(folder, DOCUMENTS_FILE))
    try:
        vectors = os.path.join(folder, VECTORS_FOLDER)
        if not os.path.isdir(vectors) and len(docs):
            raise ValueError(f"{folder!r} holds documents but no {VECTORS_FOLDER!r} folder of their vectors")
        # The log's records after the one the documents committed belong to
        # no committed change: left out.
        # A folder of vectors keeps its dimension; a new one is made at the
        # dimension given (or 384, made again at the first embedding's).
        made = dim if dim is not None and not os.path.isdir(vectors) else None
        # A new folder's metric is the one given, or cosine; one that exists
        # keeps its own (one given must be it).
        if metric is None and not os.path.isdir(vectors):
            metric = NEW_STORE_METRIC
        db = open_collection(
            vectors,
            side=side,
            rebuild_threshold=rebuild_fraction,
            stop_after=docs.log_position,
            dim=made,
            metric=metric,
        )
        if dim is not None and db.dim != dim and (len(docs) or db._slot_count()):
            db.close()
            raise ValueError(f"the folder holds {db.dim}-dim vectors; this store was given dim={dim}")
        try:
            _check_same_documents(db.ids(), docs.ids(), folder)
        except BaseException:
            db.close()
            raise
    except BaseException:
        docs.close()
        raise
    return db, docs
