"""The caller's side of a sharded collection: it routes, writes, searches and saves through the shards."""

import os
import threading
import warnings
from typing import Any, Dict, List, Optional, Tuple, Union

import numpy as np
import ray

from .._common import MAX_COLLECTION_ID
from .._files import PathLike, path_argument
from .._native import DEFAULT_EF_CONSTRUCTION, DEFAULT_K, DEFAULT_M, DEFAULT_OVERSAMPLE, check_batch, check_ids
from ..collection import Collection
from . import _files as files
from ._checks import check_int
from ._errors import ShardRecoveryWarning, ShardWriteError
from ._routing import merge_top_k, shard_of, split_by_shard
from ._shard import Recovery, _ShardActor

# How long close() waits for the shards to close their logs; one that takes
# longer (say, still loading after a restart) is stopped without its note.
_CLOSE_SECONDS = 60


def _unwrap(err: BaseException) -> BaseException:
    """The shard's own exception out of Ray's wrapper."""
    cause = getattr(err, "cause", None)
    return cause if isinstance(cause, BaseException) else err


class ShardedCollection:
    """A collection of documents spread over ``shards`` Ray actors.

    ``folder`` holds the shards' files (see the module's description); it is
    created if missing and must not already hold a sharded collection (open
    that one with :meth:`load`). Ray must be initialised (``ray.init()``).
    Each actor asks Ray for ``cpus_per_shard`` CPUs and searches and builds
    with that many threads; ``actor_options`` are passed to Ray's
    ``.options()`` (placement, resources, ``max_restarts``...). ``side`` is
    every shard's rescoring side, as :class:`kestrix.Collection`'s
    (``"int8"``, ``"float16"``, or ``"none"``/None, the default), ``metric``
    what its rescored scores measure (``"ip"``, the default, or
    ``"cosine"``, as :class:`kestrix.Collection`'s), and ``dim`` the length
    of every vector (1 to 4096, 384 by default); all three are recorded in
    the manifest, and every shard's checkpoints are checked against them on
    load.
    """

    def __init__(
        self,
        folder: PathLike,
        shards: int = 2,
        *,
        side: Optional[str] = None,
        metric: str = "ip",
        dim: int = files.DIM,
        cpus_per_shard: float = 1,
        actor_options: Optional[Dict[str, Any]] = None,
        _existing: bool = False,
    ) -> None:
        self._folder = os.path.abspath(path_argument(folder, "folder"))
        self._cpus = cpus_per_shard
        self._options = dict(actor_options or {})
        self._lock = threading.RLock()
        self.recoveries: List[Recovery] = []
        self._actors: List[Any] = []
        if _existing:
            manifest = files.read_manifest(self._folder)
            count, self._seq, side = len(manifest["shards"]), manifest["seq"], manifest["side"]
            dim, metric = manifest["dimension"], manifest["metric"]
        # An empty collection with the shards' side: it checks queries and
        # their options exactly as every shard's collection will, before any
        # shard is asked, and answers for no ids at all.
        self._blank = Collection(dim, threads=1, side=side, metric=metric)
        if not _existing:
            count = check_int(shards, "shards", 1)
            if count > files.MAX_SHARDS:
                raise ValueError(f"shards must be <= {files.MAX_SHARDS}, got {count}")
            os.makedirs(self._folder, exist_ok=True)
            if os.path.exists(os.path.join(self._folder, files.MANIFEST)):
                raise FileExistsError(
                    f"{self._folder!r} already holds a sharded collection; open it with ShardedCollection.load"
                )
            # Shard files without a manifest: a creation that never finished.
            # New shards would recover from them, so they must be cleared first.
            if any(name.startswith("shard-") for name in os.listdir(self._folder)):
                raise FileExistsError(f"{self._folder!r} holds shard files but no manifest; empty it first")
            self._seq = 0
        self._incarnations: List[Optional[str]] = [None] * count
        try:
            self._actors = [self._start(i) for i in range(count)]
            # Batches logged after the last save carry numbers above the
            # manifest's; new batches must be numbered above them, or a shard
            # would take them for batches it has already applied.
            found = self._call_all("info")
            self._seq = max([self._seq] + [seq for _, _, seq, *_ in found])
            for shard, (*_, dim, side, metric) in enumerate(found):
                if dim != self.dim:
                    raise ValueError(
                        f"shard {shard} of {self._folder!r} holds {dim}-dim vectors, but the manifest names {self.dim}"
                    )
                if side != self.side:
                    raise ValueError(
                        f"shard {shard} of {self._folder!r} keeps side {side!r}, but the manifest names {self.side!r}"
                    )
                if metric != self.metric:
                    raise ValueError(
                        f"shard {shard} of {self._folder!r} rescores by metric {metric!r}, "
                        f"but the manifest names {self.metric!r}"
                    )
            if not _existing:
                # Empty checkpoints and a manifest, so the folder is a valid
                # (empty) sharded collection from the start.
                self.save()
        except BaseException:
            self.close()
            raise

    @classmethod
    def load(
        cls,
        folder: PathLike,
        *,
        cpus_per_shard: float = 1,
        actor_options: Optional[Dict[str, Any]] = None,
    ) -> "ShardedCollection":
        """Open the sharded collection in ``folder`` (on this or any other cluster).

        Each shard starts from its newest checkpoint and its log, so batches
        acknowledged after the last save are there too.
        """
        return cls(folder, cpus_per_shard=cpus_per_shard, actor_options=actor_options, _existing=True)

    # -- actors -------------------------------------------------------------

    def _start(self, shard: int, **overrides: Any) -> Any:
        options: Dict[str, Any] = {"num_cpus": self._cpus, "max_restarts": -1, "max_task_retries": 3}
        options.update(self._options)
        options.update(overrides)
        return _ShardActor.options(**options).remote(self._folder, shard, self.side, self.dim, self.metric)

    @property
    def shards(self) -> int:
        return len(self._actors)

    @property
    def dim(self) -> int:
        """The length of every vector, chosen at creation and recorded in the manifest."""
        return self._blank.dim

    @property
    def side(self) -> str:
        """Every shard's rescoring side: ``"none"``, ``"int8"`` or ``"float16"``."""
        return self._blank.side

    @property
    def metric(self) -> str:
        """What every shard's rescored scores measure: ``"ip"`` or ``"cosine"``."""
        return self._blank.metric

    @property
    def folder(self) -> str:
        return self._folder

    def _note(self, shard: int, incarnation: str) -> None:
        known = self._incarnations[shard]
        if known == incarnation:
            return
        # The first reply of an actor, or the first after a restart. If the
        # report cannot be fetched now (the actor died again), the next reply
        # tries again; the caller's own result is good either way.
        try:
            _, recovery = ray.get(self._actors[shard].recovery.remote())
        except Exception:
            return
        self._incarnations[shard] = incarnation
        if known is not None or recovery.lost or recovery.notes or recovery.kept_aside:
            self.recoveries.append(recovery)
        if recovery.lost:
            warnings.warn(
                f"shard {shard} restarted and could not recover everything: {'; '.join(recovery.lost)}",
                ShardRecoveryWarning,
                stacklevel=3,
            )

    def _gather(self, calls: Dict[int, Any]) -> Tuple[Dict[int, Any], Dict[int, BaseException]]:
        """Wait for every call; (results, errors) by shard."""
        results: Dict[int, Any] = {}
        errors: Dict[int, BaseException] = {}
        for shard, ref in calls.items():
            try:
                incarnation, value = ray.get(ref)
            except Exception as err:  # a shard's own exception, or Ray's for a lost actor
                errors[shard] = _unwrap(err)
                continue
            self._note(shard, incarnation)
            results[shard] = value
        return results, errors

    def _call_some(self, calls: Dict[int, Tuple[Any, ...]]) -> Dict[int, Any]:
        """Run ``{shard: (method, *args)}`` in parallel; raise the lowest failed shard's error."""
        refs = {shard: getattr(self._actors[shard], call[0]).remote(*call[1:]) for shard, call in calls.items()}
        results, errors = self._gather(refs)
        if errors:
            raise errors[min(errors)]
        return results

    def _call_all(self, method: str, *args: Any) -> List[Any]:
        results = self._call_some({shard: (method, *args) for shard in range(self.shards)})
        return [results[shard] for shard in range(self.shards)]

    def _write(self, op: int, parts: Dict[int, Tuple[Any, Any]], params: Tuple[int, ...] = ()) -> Dict[int, Any]:
        self._seq += 1
        seq = self._seq
        calls = {
            shard: self._actors[shard].write.remote(seq, op, ids, vectors, params)
            for shard, (ids, vectors) in parts.items()
        }
        results, errors = self._gather(calls)
        if errors:
            raise ShardWriteError(seq, files.OP_NAMES[op], tuple(sorted(results)), errors)
        return results

    # -- writes -------------------------------------------------------------

    def add(self, ids: Any, vectors: Any) -> None:
        """Add or replace documents: ``ids`` (an int or 1-D ints in 0..2**63-1,
        unique within the batch) and their ``dim``-long ``vectors``, checked as
        :meth:`kestrix.Collection.add` checks them."""
        id_array, matrix = check_batch(ids, vectors, self.dim)
        if id_array.shape[0]:
            with self._lock:
                self._write(files.OP_ADD, split_by_shard(id_array, matrix, self.shards))

    def delete(self, ids: Any) -> int:
        """Delete documents by id; ids that are not there are ignored. Returns how many were deleted."""
        id_array = check_ids(ids)
        if not id_array.shape[0]:
            return 0
        with self._lock:
            results = self._write(files.OP_DELETE, split_by_shard(np.unique(id_array), None, self.shards))
        return sum(int(r) for r in results.values())

    def build_index(self, m: int = DEFAULT_M, ef_construction: int = DEFAULT_EF_CONSTRUCTION) -> None:
        """Build every shard's graph, in parallel."""
        params = (check_int(m, "m", 2), check_int(ef_construction, "ef_construction", 1))
        if max(params) >= 2**32:
            raise ValueError("m and ef_construction must be below 2**32")
        with self._lock:
            self._write(files.OP_BUILD, {i: (None, None) for i in range(self.shards)}, params)

    # -- reads --------------------------------------------------------------

    def search(
        self,
        query: Any,
        k: int = DEFAULT_K,
        *,
        exact: bool = False,
        ef: Optional[int] = None,
        threads: Optional[int] = None,
        rescore: Optional[bool] = None,
        oversample: int = DEFAULT_OVERSAMPLE,
        filter: Any = None,
    ) -> Union[List[Tuple[int, float]], Tuple[Any, Any]]:
        """Search every shard and merge: a list of (id, score) for one query,
        (ids int64 (q, w), scores float32 (q, w)) arrays for a 2-D batch.

        The options are :meth:`kestrix.Collection.search`'s, and each shard
        searches with them (``threads``: each shard's own count unless
        given). Rescored answers (with a side, by default) are merged by
        their rescored scores, the others by distance; ties go to the lower
        shard, then to the shard's own order. With ``filter``, each shard is
        asked about the allowed ids routed to it, and the answer has
        ``min(k, allowed stored documents)`` columns, as one collection's.
        """
        options: Dict[str, Any] = {
            "exact": exact,
            "ef": ef,
            "threads": threads,
            "rescore": rescore,
            "oversample": oversample,
        }
        self._blank.search(query, k, filter=filter, **options)
        k = int(k)
        matrix = np.asarray(query, dtype=np.float32)
        single = matrix.ndim == 1
        shared = ray.put(np.ascontiguousarray(matrix.reshape(-1, matrix.shape[-1])))
        if filter is None:
            parts = self._call_all("search", shared, k, options)
        else:
            # Every shard answers, with its own allowed ids (none: no answers),
            # so the merge keeps the shards' order for its ties.
            allowed = check_ids(filter)
            owner = shard_of(allowed, self.shards)
            calls = {s: ("search", shared, k, {**options, "filter": allowed[owner == s]}) for s in range(self.shards)}
            found = self._call_some(calls)
            parts = [found[s] for s in range(self.shards)]
        rescored = self.side != "none" if rescore is None else bool(rescore)
        ids, scores = merge_top_k(parts, k, rescored)
        if single:
            live = ids[0] >= 0
            return list(zip(ids[0][live].tolist(), scores[0][live].tolist()))
        return ids, scores

    def __len__(self) -> int:
        return sum(n for n, *_ in self._call_all("info"))

    def has_index(self) -> bool:
        """True when every shard has a graph."""
        return all(built for _, built, *_ in self._call_all("info"))

    def __contains__(self, doc_id: object) -> bool:
        if (
            isinstance(doc_id, bool)
            or not isinstance(doc_id, (int, np.integer))
            or not 0 <= doc_id <= MAX_COLLECTION_ID
        ):
            return False
        return bool(self._call_some({shard_of(int(doc_id), self.shards): ("contains", int(doc_id))}).popitem()[1])

    def ids(self) -> Any:
        """Every document id, an int64 array (shard by shard)."""
        return np.concatenate(self._call_all("ids"))

    def get(self, ids: Any) -> Any:
        """The stored codes of ``ids`` in the order given, as each shard's ``Collection.get`` returns them."""
        id_array = check_ids(ids)
        if not id_array.shape[0]:
            return self._blank.get(id_array)
        owner = shard_of(id_array, self.shards)
        results = self._call_some(
            {shard: ("get", part) for shard, (part, _) in split_by_shard(id_array, None, self.shards).items()}
        )
        first = next(iter(results.values()))
        out = np.empty((id_array.shape[0],) + first.shape[1:], dtype=first.dtype)
        for shard, codes in results.items():
            out[owner == shard] = codes
        return out

    # -- files --------------------------------------------------------------

    def save(self, folder: Optional[PathLike] = None) -> None:
        """Checkpoint every shard and write the manifest, atomically.

        Without ``folder`` the checkpoints go into the collection's own folder
        and the shards start new logs. With another ``folder`` (which every
        actor must reach) a complete copy is written there, for
        :meth:`load` on another cluster or for moving shards as files.
        """
        with self._lock:
            target = self._folder if folder is None else os.path.abspath(path_argument(folder, "folder"))
            own = target == self._folder
            if not own:
                os.makedirs(target, exist_ok=True)
                if os.path.exists(os.path.join(target, files.MANIFEST)):
                    raise FileExistsError(f"{target!r} already holds a sharded collection")
            entries = self._call_all("checkpoint", self._seq) if own else self._call_all("copy_to", target, self._seq)
            files.write_manifest(target, self._seq, entries, self.side, self.dim, self.metric)
            if own:
                # Older checkpoints go only once the manifest names the new ones.
                self._call_all("retire", self._seq)

    def move_shard(self, shard: int, **actor_options: Any) -> None:
        """Restart ``shard`` in a new actor placed by ``actor_options`` (for
        example a ``scheduling_strategy`` naming a node); it loads the shard's
        file from the folder, which the new node must reach."""
        shard = check_int(shard, "shard", 0)
        if shard >= self.shards:
            raise ValueError(f"shard must be < {self.shards}, got {shard}")
        with self._lock:
            self._call_some({shard: ("checkpoint", self._seq)})
            old = self._actors[shard]
            ray.kill(old, no_restart=True)
            self._actors[shard] = self._start(shard, **actor_options)
            self._incarnations[shard] = None
            self._call_all("info")

    def close(self) -> None:
        """Stop the actors (the folder keeps everything acknowledged).

        Each shard first closes its log and notes its last record, so that a
        log found shorter when the folder is loaded again is reported as a
        loss rather than taken for a write a crash cut short.
        """
        with self._lock:
            closing = [actor.close.remote() for actor in self._actors]
            if closing:
                ray.wait(closing, num_returns=len(closing), timeout=_CLOSE_SECONDS)
            for actor in self._actors:
                ray.kill(actor, no_restart=True)
            self._actors = []

    def __enter__(self) -> "ShardedCollection":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"ShardedCollection({self._folder!r}, shards={self.shards}, side={self.side!r}, metric={self.metric!r})"
