"""``kestrix.Collection``: the store an application keeps its documents in."""

import os
from typing import TYPE_CHECKING, Any, Optional, Tuple, Type, TypeVar, cast

from ._common import DIMENSION, MAX_COLLECTION_ID
from ._files import PathLike, atomic_write, path_argument
from ._native import Collection as _NativeCollection

if TYPE_CHECKING:
    from ._durable import DurableCollection

__all__ = ["Collection", "MAX_COLLECTION_ID"]


class Collection(_NativeCollection):
    """Documents under unique integer ids, searched one query or a batch at a time.

    ``Collection(dim=384, threads=None, side=None, *, metric="ip",
    rebuild_threshold=None)``;
    ``dim`` is the length of every vector, 1 to 4096 (``col.dim``); a vector's
    code takes 8 bytes per 64 components (48 bytes at 384). ``threads`` is how
    many threads a batch search uses (default: every core this process may
    run on, so a worker confined to fewer cores is not oversubscribed).
    ``side`` keeps a richer copy of every vector beside its code, to rescore
    with: ``"int8"`` (each vector scaled by its largest component and rounded
    to int8: ``dim + 4`` bytes a vector, 388 at 384), ``"float16"`` (``2 *
    dim`` bytes) or ``"none"``/None (the codes only). ``metric`` is what a
    rescored score measures: ``"ip"`` (the default), the inner product of
    the query and the stored vector as they are (the cosine for unit
    vectors, as most sentence models give), or ``"cosine"``, which stores the
    side's vectors scaled to unit length and scales every query too, so that
    scores are cosines in ``[-1, 1]`` (up to the side's rounding) whatever
    the embeddings' lengths (``col.metric``). Unrescored scores and the
    ranking by the codes do not depend on it. ``rebuild_threshold`` (a
    share in ``[0, 1]``, or ``None``, the default: never) makes ``add``,
    ``delete`` and ``expire`` compact the collection and rebuild the graph,
    with its ``m`` and ``ef_construction``, as soon as deleted or replaced
    documents make up more than that share of the graph's nodes. Without it no
    call ever rebuilds on its own: the graph changes only by extension, and is
    rebuilt only by ``build_index()``.

    - ``add(ids, vectors)``: ``ids`` is an int or a 1-D sequence/array of ints
      in ``0..2**63-1``, unique within the batch; ``vectors`` an ``(n, dim)``
      float16/float32/float64 array (read in place, any strides), a list of
      lists, or one vector with one id. Each float is rounded to float32
      and stored by its sign, exactly as ``Kestrix.insert`` does. Adding an id
      that is stored replaces it (upsert). The whole batch is checked first
      (shape, dtype, finite values, id range, duplicates): a refused batch
      changes nothing; a vector of another length is refused naming both
      ("vectors must have 768 columns, got shape (2, 384)").
    - ``delete(ids) -> int`` (unknown ids are ignored), ``len(col)`` (live
      documents), ``id in col``, ``ids()`` (int64 array, oldest slot first),
      ``get(ids)`` (the stored codes, ``(n, 8 * ceil(dim / 64))`` uint8, bit
      ``c % 8`` of byte ``c // 8`` for component ``c``; ``get(ids,
      vectors=True)``: the side's vectors, ``(n, dim)`` float32, as stored:
      of unit length under ``metric="cosine"``),
      ``expire(ttl_ms)``
      (deletes documents stored more than ``ttl_ms`` ago; insertion times are
      kept; ``ttl_ms >= 0``, and ``inf`` deletes nothing), ``compact()`` (frees the slots of deleted and replaced documents,
      keeping the others in order).
    - ``search(query, k=10, *, exact=False, ef=None, threads=None,
      rescore=None, oversample=8, filter=None)``: one query
      (1-D) gives a list of ``(id, score)``, best first; a batch (2-D) gives
      ``(ids, scores)``, int64 and float32 arrays of shape
      ``(q, min(k, len(col)))``, a short row padded with id ``-1`` and score
      ``nan``. Results are NumPy arrays when NumPy is installed, lists
      otherwise. A batch row is exactly the answer of that query alone.
      With ``rescore`` (the default when there is a side), the
      ``k * oversample`` candidates nearest by the query's asymmetric
      distance (the query rounded to 4 bits a component, against the codes'
      signs; ties to the lower slot) are ranked again by inner product with
      the side's vectors, and the best ``k`` are returned with those inner
      products as scores (the cosine, for unit vectors or
      ``metric="cosine"``).
      ``rescore=True`` without a side uses the codes' own sign vectors (the
      inner product with the unit vector of signs, +-1/sqrt(dim) a
      component): no memory at all, a smaller gain. Equal rescored scores go
      to the lower slot. Through the graph, a walk keeps ``max(ef, k)``
      nodes; ``ef=None`` means 50, or for a rescored query ``max(50, 12 * k)``
      (``24 * k`` without a side), and the walk measures by the same
      asymmetric distance. A rescored query takes its ``k * oversample``
      candidates from every live node the walk measured, so a narrower
      ``ef`` given explicitly trades a little of the answer for speed. On
      all-MiniLM-L6-v2 sentence embeddings an int8 side at the defaults
      recovers about 0.95 of the float top-10 and the float top-1 99 % of
      the time, through the exact scan and through the graph alike (the
      codes alone: 0.47).
      ``filter`` (a sequence of ints or an integer array, one for every
      query of a batch) allows only those ids to answer; ids not stored are
      ignored. A filtered search answers ``min(k, allowed stored
      documents)`` on every road (a batch is ``(q, min(k, allowed))``): the
      scan offers only allowed rows, the graph walks through the others, and
      the scan of the allowed documents answers where it is cheaper (about
      ``allowed**2 <= 50 * max(ef, k) * slots``, ``ef`` the walk's width) or
      when a walk gives up or comes back short (see docs/filters.md). A
      rescored filtered query measures its candidates by the asymmetric
      distance on either road, as without a filter.
    - ``build_index(m=16, ef_construction=200, progress=None)``,
      ``has_index()``: an HNSW graph; ``progress(done, total)`` is called a few
      times a second while it is built (an exception from it, or Ctrl-C,
      stops the build and keeps the earlier graph).
    - ``save(path)`` / ``Collection.load(path)``: one file, written atomically.
      ``Collection.load(path, mmap_side=True)`` leaves the side in the file
      (see :meth:`load`).
    - ``Collection.open(path)``: a durable collection in the folder ``path``,
      every change durable when its call returns (see :meth:`open`).

    Scores are ``1 - hamming / dim`` (float32), as ``Kestrix``'s. Among equal
    distances the exact scan returns the lower slot first: slots follow
    insertion order and an upsert moves the document to a new slot, so the
    document stored (or last replaced) earlier comes first.

    Deleted and replaced documents leave a tombstoned slot until
    ``compact()``. The graph keeps their nodes as waypoints: a search walks
    through them and never returns them, and still returns up to ``k`` live
    documents (they are filtered inside the search, never by cutting to ``k``
    first). ``add`` extends a built graph with the new slots instead of
    dropping it (its cost is that of inserting the new documents only). While
    no earlier document was deleted or replaced since the build, this gives
    exactly the graph a full build over the same slots would give. Once one
    was, extension goes on the same way but the graph is no longer the one a
    rebuild would give: deleted nodes stay as waypoints that are never
    returned, and new documents are linked through them, so recall can drift
    from a fresh build's as the share of deleted nodes grows (``build_index()``
    or ``rebuild_threshold`` bring it back). ``compact()`` renumbers the
    slots and so drops the graph: call ``build_index()`` again when you
    choose. There is no fixed capacity (a ``Kestrix.with_capacity`` store is
    the fixed kind).

    Threads: searches run in parallel with each other (and a batch search
    on several threads of its own); a change waits for the searches under way
    and goes before searches that arrive after it. The interpreter lock is
    released while waiting and while working.

    The file holds the store's own bytes first (``kestrix.load`` of a
    384-dimensional collection's file gives a ``Kestrix`` with ids truncated
    to 31 bits; of any other it raises ValueError naming the dimension and
    this class), the codes in a section of their own when ``dim`` is not 384,
    then the 64-bit id of every slot, the side's rows (if any), then the
    graph when there is one (its tables, ``m``, ``ef_construction`` and the
    state of its level generator, so a loaded graph is extended exactly as
    the saved one would have been), and a metric section under
    ``metric="cosine"``, in the checksummed container ``kestrix.save`` writes. ``load`` checks the
    graph's every count, member and link against the store before use and
    does not rebuild it. A loaded collection has no ``rebuild_threshold``
    unless given.
    """

    # _threads: the thread count asked for (None: every usable core), which
    # a copy in another process asks for again.
    __slots__ = ("_rebuild_threshold", "_threads")
    _threads: Optional[int]

    def __new__(
        cls,
        dim: int = DIMENSION,
        threads: Optional[int] = None,
        side: Optional[str] = None,
        *,
        metric: str = "ip",
        rebuild_threshold: Optional[float] = None,
    ) -> "Collection":
        self = cast("Collection", super().__new__(cls, dim=dim, threads=threads, side=side, metric=metric))
        self._threads = threads
        self.rebuild_threshold = rebuild_threshold
        return self

    def __repr__(self) -> str:
        graph = self._graph_nodes()
        shown = "None" if graph is None else f"HNSW(m={graph[2]}, nodes={graph[0]})"
        threshold = "" if self.rebuild_threshold is None else f", rebuild_threshold={self.rebuild_threshold}"
        return (
            f"{type(self).__name__}(dim={self.dim}, documents={len(self)}, slots={self._slot_count()}, "
            f"side={self.side!r}, metric={self.metric!r}, graph={shown}, threads={self.threads}{threshold})"
        )

    def __reduce__(self) -> Tuple[Any, ...]:
        # Pickles, copy.copy and copy.deepcopy go through the file's bytes:
        # one state of the collection, side and graph included (a side
        # mapped from a file travels by value), checked again as it is read.
        # The thread count travels as it was asked for, so that None means
        # the cores of the process that reads the copy.
        state = getattr(self, "__dict__", None) or None  # a subclass's own attributes
        threads = getattr(self, "_threads", None)
        return (_from_pickle, (type(self), self._file_bytes(), threads, self.rebuild_threshold), state)

    @property
    def rebuild_threshold(self) -> Optional[float]:
        """Share of deleted graph nodes above which a change rebuilds (None: never)."""
        return getattr(self, "_rebuild_threshold", None)

    @rebuild_threshold.setter
    def rebuild_threshold(self, value: Optional[float]) -> None:
        if value is not None:
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0.0 <= value <= 1.0:
                raise ValueError(f"rebuild_threshold must be a share in [0, 1] or None, got {value!r}")
            value = float(value)
        self._rebuild_threshold = value

    def add(self, ids: Any, vectors: Any) -> None:
        super().add(ids, vectors)
        self._rebuild_if_due()

    def delete(self, ids: Any) -> int:
        deleted = super().delete(ids)
        self._rebuild_if_due()
        return deleted

    def expire(self, ttl_ms: float) -> int:
        expired = super().expire(ttl_ms)
        self._rebuild_if_due()
        return expired

    def _rebuild_if_due(self) -> None:
        threshold = self.rebuild_threshold
        if threshold is None:
            return
        counted = self._graph_nodes()
        if counted is None:
            return
        nodes, waypoints, m, ef_construction = counted
        if nodes and waypoints > threshold * nodes:
            self.compact()
            self.build_index(m, ef_construction)

    @classmethod
    def open(
        cls,
        path: PathLike,
        threads: Optional[int] = None,
        side: Optional[str] = None,
        *,
        rebuild_threshold: Optional[float] = None,
        dim: Optional[int] = None,
        metric: Optional[str] = None,
    ) -> "DurableCollection":
        """Open the durable collection in the folder ``path``, or create it
        there (with ``side``, ``dim``, 384 unless given, and ``metric``,
        ``"ip"`` unless given, fixed from then on; opening it again with
        another side, dimension or metric raises ValueError).

        Every change (``add``, ``delete``, ``expire``, ``compact``, the graph
        ``build_index`` installs) is appended to a write-ahead log in the
        folder, and its call returns once the record is durable (fsync; calls
        from several threads share their flushes). A search may see a change
        before its call returns; a crash before the flush loses it, but no
        call that returned. ``checkpoint()`` writes the whole collection to
        the folder and starts a new log; opening loads the newest checkpoint
        and replays the log after it, giving the same collection: the same
        slots, insertion times, side rows and graph. What opening found is in
        ``recovery``; only an unfinished last record, which was never
        acknowledged, is dropped without a word (see :mod:`kestrix._durable`).
        One process at a time has the folder open (RuntimeError otherwise).
        """
        from ._durable import open_collection

        return open_collection(path, threads, side, rebuild_threshold, dim=dim, metric=metric)

    def save(self, path: PathLike) -> None:
        """Write the collection, with its side and graph, to ``path``
        atomically (a crash leaves the old file or the new one). The file is
        one state of the collection: a change made meanwhile from another
        thread is in it whole or not at all."""
        atomic_write(path_argument(path), self._write_file)

    @classmethod
    def load(cls, path: PathLike, threads: Optional[int] = None, *, mmap_side: bool = False) -> "Collection":
        """Read a collection written by :meth:`save`. Every section is checked
        (checksums, the ids against the store: count, range, uniqueness of the
        live ones, tombstones; the side's rows; the graph's counts, members
        and links) before use; a damaged file raises ValueError naming what is
        wrong and the file. Each section is read straight into the
        collection's own memory, so a load takes little more memory than the
        collection it gives.

        ``mmap_side=True`` maps the file read-only and rescores from its side
        section where it lies, for a side larger than the memory it may take:
        the codes, ids and graph are read into memory as usual, the side's
        pages are read by the system as searches touch them (and may be
        dropped again). The mapping lives as long as the collection. Searches
        and deletes use it as it is; the first ``add``, or ``compact`` with
        something to free, copies the side into memory (MemoryError, changing
        nothing, when it does not fit) and lets go of the file. ``save`` over
        the same path is safe (it writes a new file and renames it); the file
        must not be truncated or written in place while it is mapped.
        """
        source = path_argument(path)
        if os.path.isdir(source):
            raise IsADirectoryError(f"cannot load {source!r}: it is a folder")
        try:
            loaded: Collection = cls._load_file(source, threads, mmap_side)
        except ValueError as err:
            raise ValueError(f"{err} (file {source!r})") from None
        loaded._threads = threads
        return loaded

    @classmethod
    def _from_file_bytes(cls, data: bytes, source: str, threads: Optional[int] = None) -> "Collection":
        """A collection of a file's bytes already in memory, as :meth:`load`
        reads a file (``source`` names it in errors)."""
        try:
            loaded: Collection = cls._read_file_bytes(data, threads)
        except ValueError as err:
            raise ValueError(f"{err} (file {source!r})") from None
        loaded._threads = threads
        return loaded


_C = TypeVar("_C", bound=Collection)


def _from_pickle(cls: Type[_C], data: bytes, threads: Optional[int], rebuild_threshold: Optional[float]) -> _C:
    """A collection of the file bytes :meth:`Collection.__reduce__` took."""
    loaded: _C = cls._read_file_bytes(data, threads)
    loaded._threads = threads
    loaded.rebuild_threshold = rebuild_threshold
    return loaded
