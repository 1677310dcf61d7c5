"""Collections sharded over Ray: one :class:`kestrix.Collection` per Ray actor.

``pip install "kestrix[ray]"``. A :class:`ShardedCollection` lives in a folder
that every actor can reach (a local folder on one machine, a shared file
system on a cluster). Each shard is a ``Collection`` held by a Ray actor whose
thread pool has as many threads as the CPUs Ray gives the actor.

Routing
    Document ``id`` lives on shard ``splitmix64(id) mod shards`` (:func:`shard_of`:
    the 64-bit finaliser of SplitMix64 over the id as an unsigned 64-bit
    integer). It depends on nothing but the id and the shard count, so an
    upsert or a delete always reaches the shard that holds the document, on
    any machine and in any process.

Writes
    ``add`` and ``delete`` are checked whole on the caller's side first (a
    refused batch changes nothing), then split by shard and sent to the shards
    in parallel. Each shard appends its part to its write-ahead log and fsyncs
    it before applying it; the call returns once every shard has. If a shard
    fails, :class:`ShardWriteError` says which shards applied the batch and
    which did not. Sending the same batch again is always safe: an add
    replaces, a delete ignores ids that are gone.

Search
    The query goes to every shard in parallel; each returns its own top ``k``
    and the answers are merged into one top ``k``. With ``exact=True`` the
    merged answer has exactly the distances one collection holding every
    document would give. Ties are broken by shard number, then by the order
    within the shard (the lower slot, i.e. the earlier insertion, first), so
    equal contents give equal answers. Without ``exact``, each shard searches
    its own graph (or scans while it has none).

Files and failures
    ``save()`` checkpoints every shard into the folder and writes the manifest
    atomically; ``save(other_folder)`` writes a complete copy there, which
    :meth:`ShardedCollection.load` opens on another cluster. An actor that
    dies is restarted by Ray from its last checkpoint plus its log, so nothing
    acknowledged is lost; whatever could not be recovered (a damaged file) is
    reported in :attr:`ShardedCollection.recoveries` and by a
    :class:`ShardRecoveryWarning`.

One ``ShardedCollection`` object writes to a folder at a time.
"""

import os
import threading
import uuid
import warnings
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

try:
    import numpy as np
    import ray
except ImportError as _err:  # pragma: no cover - depends on the installation
    raise ImportError(f'kestrix.distributed needs Ray and NumPy: pip install "kestrix[ray]" ({_err})') from _err

from . import _shardfiles as files
from ._files import PathLike, path_argument
from .collection import Collection

__all__ = ["ShardedCollection", "ShardWriteError", "ShardRecoveryWarning", "Recovery", "shard_of"]

DIM = files.DIM
MAX_ID = 2**63 - 1
_MASK = (1 << 64) - 1
_NO_DISTANCE = DIM + 1  # sorts after every real distance


def shard_of(ids: Any, shards: int) -> Any:
    """The shard of each id: ``splitmix64(id) mod shards`` (an int64 array, or an int for an int)."""
    scalar = np.ndim(ids) == 0
    x = np.asarray(ids, dtype=np.int64).astype(np.uint64, copy=True).reshape(-1)
    with np.errstate(over="ignore"):
        x += np.uint64(0x9E3779B97F4A7C15)
        x = (x ^ (x >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        x = (x ^ (x >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
        x ^= x >> np.uint64(31)
    result = (x % np.uint64(shards)).astype(np.int64)
    return int(result[0]) if scalar else result


class ShardWriteError(RuntimeError):
    """A batch that some shards applied and others did not.

    ``applied`` and ``failed`` are tuples of shard numbers; ``errors`` maps
    each failed shard to its exception. Sending the whole batch again is safe.
    """

    def __init__(self, seq: int, op: str, applied: Tuple[int, ...], errors: Dict[int, BaseException]) -> None:
        self.seq = seq
        self.op = op
        self.applied = applied
        self.failed = tuple(sorted(errors))
        self.errors = errors
        first = errors[self.failed[0]]
        super().__init__(
            f"{op} batch {seq} was applied on shards {list(applied)} but failed on shards {list(self.failed)} "
            f"(shard {self.failed[0]}: {type(first).__name__}: {first}); sending the same batch again is safe"
        )


class ShardRecoveryWarning(UserWarning):
    """A restarted shard could not recover everything it had acknowledged."""


class Recovery(NamedTuple):
    """What a shard found when it (re)started: see :attr:`ShardedCollection.recoveries`."""

    shard: int
    checkpoint_seq: int  # batch number of the checkpoint it loaded (0: none)
    replayed: int  # logged batches applied on top
    notes: Tuple[str, ...]  # what was odd but harmless (an unfinished last log record)
    lost: Tuple[str, ...]  # what could not be recovered; empty when nothing was lost


# --- the actor ----------------------------------------------------------------


def _assigned_threads() -> int:
    cpus = ray.get_runtime_context().get_assigned_resources().get("CPU", 1.0)  # type: ignore[no-untyped-call]
    return max(1, int(cpus))


class _Shard:
    """One shard: a Collection, its checkpoints and its log, in one Ray actor.

    Ray runs ``__init__`` again when it restarts the actor, so recovery is
    simply construction: newest readable checkpoint, then the logged batches.
    """

    def __init__(self, folder: str, shard: int) -> None:
        self._folder = folder
        self._shard = shard
        self._threads = _assigned_threads()
        self._incarnation = uuid.uuid4().hex
        self._last_seq = 0
        self._last_result: Any = None
        self._index_params = (0, 0)  # (m, ef_construction) of the graph the shard holds
        self._log: Optional[files.AppendLog] = None
        self._recovery = self._recover()

    # Every reply carries the incarnation, so the driver notices a restart.
    def _reply(self, value: Any) -> Tuple[str, Any]:
        return self._incarnation, value

    def _path(self, name: str) -> str:
        return os.path.join(self._folder, name)

    def _recover(self) -> Recovery:
        notes: List[str] = []
        lost: List[str] = []
        loaded: Optional[Collection] = None
        base = 0
        for seq, name in files.checkpoints(self._folder, self._shard):
            try:
                loaded = Collection.load(self._path(name), threads=self._threads)
                base = seq
                break
            except (ValueError, OSError) as err:
                # Kept aside for inspection, and out of the way of the next start.
                os.replace(self._path(name), self._path(name + ".unreadable"))
                lost.append(f"checkpoint {name} could not be read ({err})")
        self._col = loaded if loaded is not None else Collection(threads=self._threads)
        self._last_seq = base

        log_path = self._path(files.wal_name(self._shard))
        replayed = 0
        rewrite = bool(lost)
        if os.path.exists(log_path):
            reader = files.LogReader(log_path)
            if reader.base is None:
                lost.append(f"log {files.wal_name(self._shard)} has no valid header; its batches are lost")
                rewrite = True
            else:
                if reader.base > base:
                    lost.append(f"batches {base + 1} to {reader.base} were held only by an unreadable checkpoint")
                # The checkpoint had a graph if the log's header says so, or
                # if a build it already holds is still in the log (a crash
                # between a save's checkpoint and its new log). A checkpoint
                # file keeps its graph, which loading restored; one written
                # without it (an older file) has it built again before the
                # first batch replayed on top.
                graph: Optional[Tuple[int, ...]] = reader.index_params if reader.index_params[0] else None
                restored = bool(self._col.has_index())
                for record in reader.records():
                    if record.seq <= self._last_seq:
                        graph = record.params if record.op == files.OP_BUILD else graph
                        continue
                    if restored:
                        if graph is not None:
                            self._index_params = (graph[0], graph[1])
                        graph, restored = None, False
                    if graph is not None and record.op != files.OP_BUILD:
                        self._apply(files.Record(base, files.OP_BUILD, None, None, graph))
                    graph = None
                    self._last_result = self._apply(record)
                    self._last_seq = record.seq
                    replayed += 1
                if graph is not None and restored:
                    self._index_params = (graph[0], graph[1])
                elif graph is not None:
                    self._apply(files.Record(base, files.OP_BUILD, None, None, graph))
                if reader.torn_tail:
                    notes.append("dropped an unfinished last log record (a batch that was never acknowledged)")
                if reader.damaged_bytes:
                    lost.append(f"the last {reader.damaged_bytes} bytes of the log are damaged; their batches are lost")
                if reader.torn_tail or reader.damaged_bytes:
                    files.truncate_file(log_path, reader.valid_bytes)
        elif base:
            lost.append(f"log {files.wal_name(self._shard)} is missing; batches after {base} are lost")
            rewrite = True
        else:
            files.reset_log(log_path, 0)
        if rewrite:
            # A fresh checkpoint of what was recovered, so the next start does
            # not stumble over the same damage again.
            self._checkpoint_in(self._folder, self._last_seq)
        self._log = files.AppendLog(log_path)
        return Recovery(self._shard, base, replayed, tuple(notes), tuple(lost))

    def _apply(self, record: files.Record) -> Any:
        col = self._col
        if record.op == files.OP_ADD:
            col.add(record.ids, record.vectors)
            return None
        if record.op == files.OP_DELETE:
            return int(col.delete(record.ids))
        m, ef_construction = record.params
        col.build_index(m=m, ef_construction=ef_construction)
        self._index_params = (m, ef_construction)
        return None

    def recovery(self) -> Tuple[str, Recovery]:
        return self._reply(self._recovery)

    def write(self, seq: int, op: int, ids: Any, vectors: Any, params: Tuple[int, ...]) -> Tuple[str, Any]:
        if seq <= self._last_seq:
            # Ray re-sent a batch this shard had logged before it restarted.
            return self._reply(self._last_result if seq == self._last_seq else None)
        record = files.Record(seq, op, ids, vectors, params)
        assert self._log is not None
        start = self._log.append(files.encode_record(seq, op, ids, vectors, params))
        try:
            result = self._apply(record)
        except BaseException:
            self._log.truncate(start)
            raise
        self._last_seq, self._last_result = seq, result
        return self._reply(result)

    def search(self, queries: Any, k: int, exact: bool, ef: int) -> Tuple[str, Any]:
        ids, scores = self._col.search(queries, k, exact=exact, ef=ef)
        # Back from the score to the Hamming distance: exact, since the score
        # is 1 - d/384 rounded to float32 and d is a whole number up to 384.
        distances = np.rint((1.0 - scores.astype(np.float64)) * DIM)
        distances = np.where(ids < 0, _NO_DISTANCE, distances).astype(np.int16)
        return self._reply((distances, ids, scores))

    def info(self) -> Tuple[str, Tuple[int, bool, int]]:
        return self._reply((len(self._col), bool(self._col.has_index()), self._last_seq))

    def ids(self) -> Tuple[str, Any]:
        return self._reply(np.asarray(self._col.ids(), dtype=np.int64))

    def contains(self, doc_id: int) -> Tuple[str, bool]:
        return self._reply(doc_id in self._col)

    def get(self, ids: Any) -> Tuple[str, Any]:
        return self._reply(self._col.get(ids))

    def _checkpoint_in(self, folder: str, seq: int) -> Dict[str, Any]:
        """Save the shard into ``folder`` as of batch ``seq``, with an empty log after it."""
        name = files.checkpoint_name(self._shard, seq)
        path = os.path.join(folder, name)
        self._col.save(path)
        size, crc = files.file_crc32(path)
        log_path = os.path.join(folder, files.wal_name(self._shard))
        # (An add extends a built graph; nothing this class runs drops it.)
        index_params = self._index_params if self._col.has_index() else (0, 0)
        if self._log is not None and folder == self._folder:
            self._log.close()
        files.reset_log(log_path, seq, index_params)
        if self._log is not None and folder == self._folder:
            self._log = files.AppendLog(log_path)
        return {"file": name, "bytes": size, "crc32": crc, "seq": seq}

    def checkpoint(self, seq: int) -> Tuple[str, Dict[str, Any]]:
        """Save the shard in its own folder as of batch ``seq`` and start a new log."""
        entry = self._checkpoint_in(self._folder, max(seq, self._last_seq))
        self._last_seq = entry["seq"]
        return self._reply(entry)

    def copy_to(self, folder: str, seq: int) -> Tuple[str, Dict[str, Any]]:
        """Write the shard and an empty log into another folder; this shard is unchanged."""
        return self._reply(self._checkpoint_in(folder, seq))

    def retire(self, keep_seq: int) -> Tuple[str, None]:
        """Delete this shard's checkpoints older than ``keep_seq``."""
        for seq, name in files.checkpoints(self._folder, self._shard):
            if seq < keep_seq:
                os.unlink(self._path(name))
        return self._reply(None)


_ShardActor = ray.remote(_Shard)


# --- the caller's side ----------------------------------------------------------


def _unwrap(err: BaseException) -> BaseException:
    """The shard's own exception out of Ray's wrapper."""
    cause = getattr(err, "cause", None)
    return cause if isinstance(cause, BaseException) else err


def _check_ids(ids: Any) -> Any:
    scalar = isinstance(ids, (int, np.integer)) and not isinstance(ids, bool)
    try:
        array = np.asarray([ids] if scalar else ids)
    except (TypeError, ValueError, OverflowError) as err:
        raise TypeError(f"ids must be an int or a 1-D sequence of ints: {err}") from None
    if array.ndim != 1:
        raise ValueError(f"ids must be an int or 1-D, got shape {array.shape}")
    if array.size == 0:
        return np.empty(0, dtype=np.int64)
    if array.dtype.kind == "O" and all(isinstance(x, int) and not isinstance(x, bool) for x in array.tolist()):
        values = array.tolist()
        bad = next((x for x in values if not 0 <= x <= MAX_ID), None)
        if bad is not None:
            raise ValueError(f"ids must lie in 0..{MAX_ID}, got {bad}")
        array = np.asarray(values, dtype=np.int64)
    if array.dtype.kind not in "iu":
        raise TypeError(f"ids must be integers, not {array.dtype}")
    low, high = int(array.min()), int(array.max())
    if low < 0 or high > MAX_ID:
        raise ValueError(f"ids must lie in 0..{MAX_ID}, got {low if low < 0 else high}")
    return array.astype(np.int64)


def _check_vectors(vectors: Any, n: int) -> Any:
    if isinstance(vectors, np.ndarray):
        if vectors.dtype.kind != "f":
            raise TypeError(f"vectors must have a floating dtype (float16, float32 or float64), not {vectors.dtype}")
        array = vectors
    else:
        try:
            array = np.asarray(vectors, dtype=np.float64)
        except (TypeError, ValueError) as err:
            raise TypeError(f"vectors must be an (n, {DIM}) array or a list of lists of floats: {err}") from None
    if array.ndim == 1 and n == 1:
        array = array.reshape(1, -1)
    if array.ndim != 2 or array.shape[1] != DIM:
        raise ValueError(f"vectors must have shape (n, {DIM}), got {array.shape}")
    if array.shape[0] != n:
        raise ValueError(f"ids has {n} entries but vectors has {array.shape[0]} rows")
    with np.errstate(over="ignore"):
        array = np.ascontiguousarray(array, dtype=np.float32)
    finite = np.isfinite(array)
    if not finite.all():
        row = int(np.argwhere(~finite)[0][0])
        raise ValueError(f"vectors row {row} holds a NaN or an infinity (or overflows float32)")
    return array


def _check_int(value: Any, name: str, low: int) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < low:
        raise ValueError(f"{name} must be >= {low}, got {value}")
    return int(value)


def merge_top_k(parts: Sequence[Tuple[Any, Any, Any]], k: int) -> Tuple[Any, Any]:
    """Merge per-shard answers (distances, ids, scores; shard order) into one top ``k``.

    A stable sort on the distance keeps equal distances in shard order and,
    within a shard, in that shard's order. The result has min(k, answers)
    columns; a row with fewer answers is padded with id -1 and score nan.
    """
    distances = np.concatenate([p[0] for p in parts], axis=1)
    ids = np.concatenate([p[1] for p in parts], axis=1)
    scores = np.concatenate([p[2] for p in parts], axis=1)
    width = min(k, distances.shape[1])
    order = np.argsort(distances, axis=1, kind="stable")[:, :width]
    return np.take_along_axis(ids, order, axis=1), np.take_along_axis(scores, order, axis=1)


class ShardedCollection:
    """A collection of documents spread over ``shards`` Ray actors.

    ``folder`` holds the shards' files (see the module's description); it is
    created if missing and must not already hold a sharded collection (open
    that one with :meth:`load`). Ray must be initialised (``ray.init()``).
    Each actor asks Ray for ``cpus_per_shard`` CPUs and searches and builds
    with that many threads; ``actor_options`` are passed to Ray's
    ``.options()`` (placement, resources, ``max_restarts``...).
    """

    def __init__(
        self,
        folder: PathLike,
        shards: int = 2,
        *,
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
            count, self._seq = len(manifest["shards"]), manifest["seq"]
        else:
            count = _check_int(shards, "shards", 1)
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
            self._seq = max([self._seq] + [seq for _, _, seq in self._call_all("info")])
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
        return _ShardActor.options(**options).remote(self._folder, shard)

    @property
    def shards(self) -> int:
        return len(self._actors)

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
        if known is not None or recovery.lost or recovery.notes:
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

    def _split(self, ids: Any, vectors: Any = None) -> Dict[int, Tuple[Any, Any]]:
        owner = shard_of(ids, self.shards)
        parts = {}
        for shard in np.unique(owner).tolist():
            rows = np.flatnonzero(owner == shard)
            parts[shard] = (ids[rows], None if vectors is None else vectors[rows])
        return parts

    # -- writes -------------------------------------------------------------

    def add(self, ids: Any, vectors: Any) -> None:
        """Add or replace documents: ``ids`` (an int or 1-D ints in 0..2**63-1,
        unique within the batch) and their 384-dim ``vectors``."""
        id_array = _check_ids(ids)
        matrix = _check_vectors(vectors, id_array.shape[0])
        if np.unique(id_array).shape[0] != id_array.shape[0]:
            raise ValueError("ids must be unique within a batch")
        if id_array.shape[0]:
            with self._lock:
                self._write(files.OP_ADD, self._split(id_array, matrix))

    def delete(self, ids: Any) -> int:
        """Delete documents by id; ids that are not there are ignored. Returns how many were deleted."""
        id_array = _check_ids(ids)
        if not id_array.shape[0]:
            return 0
        with self._lock:
            results = self._write(files.OP_DELETE, self._split(np.unique(id_array)))
        return sum(int(r) for r in results.values())

    def build_index(self, m: int = 16, ef_construction: int = 200) -> None:
        """Build every shard's graph, in parallel."""
        params = (_check_int(m, "m", 2), _check_int(ef_construction, "ef_construction", 1))
        if max(params) >= 2**32:
            raise ValueError("m and ef_construction must be below 2**32")
        with self._lock:
            self._write(files.OP_BUILD, {i: (None, None) for i in range(self.shards)}, params)

    # -- reads --------------------------------------------------------------

    def search(
        self, query: Any, k: int = 10, *, exact: bool = False, ef: int = 50
    ) -> Union[List[Tuple[int, float]], Tuple[Any, Any]]:
        """Search every shard and merge: a list of (id, score) for one query,
        (ids int64 (q, w), scores float32 (q, w)) arrays for a 2-D batch."""
        k = _check_int(k, "k", 0)
        ef = _check_int(ef, "ef", 1)
        try:
            matrix = np.asarray(query, dtype=np.float32)
        except (TypeError, ValueError) as err:
            raise TypeError(f"query must be a {DIM}-vector or an (n, {DIM}) array of floats: {err}") from None
        single = matrix.ndim == 1
        if single:
            matrix = matrix.reshape(1, -1)
        if matrix.ndim != 2 or matrix.shape[1] != DIM:
            raise ValueError(f"query must have shape ({DIM},) or (n, {DIM}), got {np.shape(query)}")
        shared = ray.put(np.ascontiguousarray(matrix))
        parts = self._call_all("search", shared, k, bool(exact), ef)
        ids, scores = merge_top_k(parts, k)
        if single:
            live = ids[0] >= 0
            return list(zip(ids[0][live].tolist(), scores[0][live].tolist()))
        return ids, scores

    def __len__(self) -> int:
        return sum(n for n, _, _ in self._call_all("info"))

    def has_index(self) -> bool:
        """True when every shard has a graph."""
        return all(built for _, built, _ in self._call_all("info"))

    def __contains__(self, doc_id: object) -> bool:
        if isinstance(doc_id, bool) or not isinstance(doc_id, (int, np.integer)) or not 0 <= doc_id <= MAX_ID:
            return False
        return bool(self._call_some({shard_of(int(doc_id), self.shards): ("contains", int(doc_id))}).popitem()[1])

    def ids(self) -> Any:
        """Every document id, an int64 array (shard by shard)."""
        return np.concatenate(self._call_all("ids"))

    def get(self, ids: Any) -> Any:
        """The stored codes of ``ids`` in the order given, as each shard's ``Collection.get`` returns them."""
        id_array = _check_ids(ids)
        owner = shard_of(id_array, self.shards)
        results = self._call_some({shard: ("get", part) for shard, (part, _) in self._split(id_array).items()})
        first = next(iter(results.values()), None)
        if first is None:
            return np.empty((0, DIM // 8), dtype=np.uint8)
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
            files.write_manifest(target, self._seq, entries)
            if own:
                # Older checkpoints go only once the manifest names the new ones.
                self._call_all("retire", self._seq)

    def move_shard(self, shard: int, **actor_options: Any) -> None:
        """Restart ``shard`` in a new actor placed by ``actor_options`` (for
        example a ``scheduling_strategy`` naming a node); it loads the shard's
        file from the folder, which the new node must reach."""
        shard = _check_int(shard, "shard", 0)
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
        """Stop the actors (the folder keeps everything acknowledged)."""
        for actor in self._actors:
            ray.kill(actor, no_restart=True)
        self._actors = []

    def __enter__(self) -> "ShardedCollection":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"ShardedCollection({self._folder!r}, shards={self.shards})"
