"""``kestrix.Collection``: the store an application keeps its documents in."""

import os
from typing import Optional

from ._files import PathLike, _fspath, atomic_write_bytes, read_sections
from ._native import Collection as _NativeCollection

__all__ = ["Collection", "MAX_COLLECTION_ID"]

#: The largest document id of a collection.
MAX_COLLECTION_ID = 2**63 - 1

# Section kinds of the file container.
_STORE_SECTION = 1
_DOC_IDS_SECTION = 2
_SIDE_SECTION = 4


class Collection(_NativeCollection):
    """Documents under unique integer ids, searched one query or a batch at a time.

    ``Collection(threads=None, side=None)``; ``threads`` is how many threads a
    batch search uses (default: every core this process may run on, so a
    worker confined to fewer cores is not oversubscribed). ``side`` keeps a
    richer copy of every vector beside its 48-byte code, to rescore with:
    ``"int8"`` (each vector scaled by its largest component and rounded to
    int8: 388 bytes a vector), ``"float16"`` (768 bytes) or ``"none"``/None
    (the codes only).

    - ``add(ids, vectors)``: ``ids`` is an int or a 1-D sequence/array of ints
      in ``0..2**63-1``, unique within the batch; ``vectors`` an ``(n, 384)``
      float16/float32/float64 array (read in place, any strides), a list of
      lists, or one 384-vector with one id. Each float is rounded to float32
      and stored by its sign, exactly as ``Kestrix.insert`` does. Adding an id
      that is stored replaces it (upsert). The whole batch is checked first
      (shape, dtype, finite values, id range, duplicates): a refused batch
      changes nothing.
    - ``delete(ids) -> int`` (unknown ids are ignored), ``len(col)`` (live
      documents), ``id in col``, ``ids()`` (int64 array, oldest slot first),
      ``get(ids)`` (the stored codes, ``(n, 48)`` uint8; ``get(ids,
      vectors=True)``: the side's vectors, ``(n, 384)`` float32, as stored),
      ``expire(ttl_ms)``
      (deletes documents stored more than ``ttl_ms`` ago; insertion times are
      kept), ``compact()`` (frees the slots of deleted and replaced documents,
      keeping the others in order).
    - ``search(query, k=10, *, exact=False, ef=50, threads=None,
      rescore=None, oversample=24)``: one query
      (1-D) gives a list of ``(id, score)``, best first; a batch (2-D) gives
      ``(ids, scores)``, int64 and float32 arrays of shape
      ``(q, min(k, len(col)))``, a short row padded with id ``-1`` and score
      ``nan``. Results are NumPy arrays when NumPy is installed, lists
      otherwise. A batch row is exactly the answer of that query alone.
      With ``rescore`` (the default when there is a side), the
      ``k * oversample`` best candidates by the codes are ranked again by
      inner product with the side's vectors, and the best ``k`` are returned
      with those inner products as scores (the cosine, for unit vectors).
      ``rescore=True`` without a side uses the codes' own sign vectors (the
      inner product with the unit vector of signs, +-1/sqrt(384) a
      component): no memory at all, a smaller gain. Equal rescored scores go
      to the lower slot. On all-MiniLM-L6-v2 sentence embeddings an int8 side
      at the default oversampling recovers about 0.95 of the float top-10
      (the codes alone: 0.47) and almost always the float top-1.
    - ``build_index(m=16, ef_construction=200, progress=None)``,
      ``has_index()``: an HNSW graph; ``progress(done, total)`` is called a few
      times a second while it is built (an exception from it, or Ctrl-C,
      stops the build and keeps the earlier graph).
    - ``save(path)`` / ``Collection.load(path)``: one file, written atomically.

    Scores are ``1 - hamming / 384`` (float32), as ``Kestrix``'s. Among equal
    distances the exact scan returns the lower slot first: slots follow
    insertion order and an upsert moves the document to a new slot, so the
    document stored (or last replaced) earlier comes first.

    Deleted and replaced documents leave a tombstoned slot until
    ``compact()``. The graph keeps their nodes as waypoints: a search walks
    through them and never returns them, and still returns up to ``k`` live
    documents (they are filtered inside the search, never by cutting to ``k``
    first). ``add`` extends a built graph with the new slots instead of
    dropping it; while no earlier document changed since the build this gives
    exactly the graph a full build would give. ``compact()`` renumbers the
    slots and so drops the graph: call ``build_index()`` again when you
    choose. There is no fixed capacity (a ``Kestrix.with_capacity`` store is
    the fixed kind).

    Threads: searches run in parallel with each other (and a batch search
    on several threads of its own); a change waits for the searches under way
    and goes before searches that arrive after it. The interpreter lock is
    released while waiting and while working.

    The file holds the store's own bytes first (``kestrix.load`` of it gives a
    ``Kestrix`` with ids truncated to 31 bits), then the 64-bit id of every
    slot and the side's rows (if any), in the checksummed container
    ``kestrix.save`` writes. The graph is
    not saved yet: build it again after ``load``.
    """

    __slots__ = ()

    def save(self, path: PathLike) -> None:
        """Write the collection to ``path`` atomically (a crash leaves the old
        file or the new one)."""
        from ._native import pack_sections

        target = _fspath(path)
        store, doc_ids, side = self._sections(with_side=True)
        sections = [(_STORE_SECTION, store), (_DOC_IDS_SECTION, doc_ids)]
        if side is not None:
            sections.append((_SIDE_SECTION, side))
        atomic_write_bytes(target, pack_sections(sections))

    @classmethod
    def load(cls, path: PathLike, threads: Optional[int] = None) -> "Collection":
        """Read a collection written by :meth:`save`. Every section is checked
        (checksums, the ids against the store: count, range, uniqueness of the
        live ones, tombstones) before use; a damaged file raises ValueError
        naming what is wrong and the file."""
        source = _fspath(path)
        if os.path.isdir(source):
            raise IsADirectoryError(f"cannot load {source!r}: it is a folder")
        with open(source, "rb") as f:
            data = f.read()
        sections, _ = read_sections(data, source)
        found = {}
        for kind, body in sections:
            if kind in (_STORE_SECTION, _DOC_IDS_SECTION, _SIDE_SECTION):
                if kind in found:
                    raise ValueError(f"collection file: section {kind} appears twice (file {source!r})")
                found[kind] = body
        if _STORE_SECTION not in found:
            raise ValueError(f"collection file: no store section (file {source!r})")
        if _DOC_IDS_SECTION not in found:
            raise ValueError(f"collection file: no document id section, not a collection (file {source!r})")
        try:
            loaded: "Collection" = cls._from_sections(
                found[_STORE_SECTION], found[_DOC_IDS_SECTION], threads, found.get(_SIDE_SECTION)
            )
        except ValueError as err:
            raise ValueError(f"{err} (file {source!r})") from None
        return loaded
