"""Durable collections: ``Collection.open(path)``.

A durable collection is a :class:`kestrix.Collection` whose every change is
written to a write-ahead log and made durable before the call that made it
returns. It lives in a folder of its own::

    checkpoint-00000000000000000042.kx   the collection as of log record 42 (a collection file)
    log-00000000000000000003.wal         the changes after it, one record each (kestrix's log)
    lock                                 held (flock) by the process that has the folder open

A change takes the collection's write lock, is checked and prepared, is
appended to the log, is made, and lets the lock go; its call then waits for
the record to be durable (writers waiting together share one flush). A
record holds what the change stored (an add's ids, codes, insertion times and
side rows), so opening the folder, which loads the newest checkpoint and
replays the records after it, gives the collection that was: the same slots,
times, side rows and graph.

``checkpoint()`` writes the collection to a new checkpoint file and starts a
new log, both from one state: while the file is written (under the shared
lock, searches go on) no change is made; the new log starts before the file
is put in place, and the old log and checkpoint are removed only once it is.
So at every moment the newest checkpoint and the logs after it hold every
acknowledged change, and a crash at any moment loses none.

Opening reads every log in order. Only an unfinished last record (never
acknowledged) is dropped silently; anything else (a lost record, a damaged
log, a missing one) is reported in :attr:`DurableCollection.recovery`, with a
``RuntimeWarning``, by record number: the records after a lost one are not
applied (their order matters), and a log holding any of them is kept aside
(``.damaged``, ``.unapplied``), never changed in place. A collection
recovered that way gets a fresh checkpoint and log at once. A damaged newest
checkpoint is refused (ValueError): nothing is changed.
"""

import json
import os
import re
import stat
import threading
import warnings
from typing import Any, Dict, List, NamedTuple, Optional, Tuple, cast

from ._common import DIMENSION
from ._files import (
    PathLike,
    _fsync_folder,
    _locked_temporary,
    _removed_on_failure,
    path_argument,
    remove_stale_temporaries,
)
from ._native import COLLECTION_LOG_TAG, Log, LogReader
from .collection import Collection

__all__ = ["DurableCollection", "Recovery", "open_collection"]

_CHECKPOINT = re.compile(r"checkpoint-(\d{20})\.kx")
_LOG = re.compile(r"log-(\d{20})\.wal")
_LOG_TEMPORARY = re.compile(r"\.log-\d{20}\.wal\.tmp")
_LOCK = "lock"
_META_VERSION = 1
# A log this long is worth a checkpoint (see DurableCollection._log_outgrown).
_CHECKPOINT_AFTER = 64 << 20


def _checkpoint_name(seq: int) -> str:
    return f"checkpoint-{seq:020d}.kx"


def _log_name(number: int) -> str:
    return f"log-{number:020d}.wal"


def _meta(side: str, dim: int, metric: str) -> bytes:
    # The dimension and the metric are named only when they are not the
    # defaults, so logs of other collections are what they were.
    fields: Dict[str, Any] = {"version": _META_VERSION, "side": side}
    if dim != DIMENSION:
        fields["dim"] = dim
    if metric != "ip":
        fields["metric"] = metric
    return json.dumps(fields, sort_keys=True).encode()


class Recovery(NamedTuple):
    """What opening a durable collection found."""

    checkpoint: int  # the last log record the checkpoint loaded holds (0: none)
    replayed: int  # log records applied on top of it
    last_record: int  # the last record the collection holds
    lost: Tuple[str, ...]  # acknowledged changes that could not be recovered, by record; empty when none
    notes: Tuple[str, ...]  # what was odd but cost nothing acknowledged (an unfinished last record)
    kept_aside: Tuple[str, ...]  # logs moved out of the way, kept for inspection


def _found(folder: str) -> Tuple[List[Tuple[int, str]], List[Tuple[int, str]]]:
    """The folder's checkpoints, newest first, and logs, oldest first."""
    checkpoints, logs = [], []
    for name in os.listdir(folder):
        if match := _CHECKPOINT.fullmatch(name):
            checkpoints.append((int(match.group(1)), name))
        elif match := _LOG.fullmatch(name):
            logs.append((int(match.group(1)), name))
    return sorted(checkpoints, reverse=True), sorted(logs)


def _aside(path: str, suffix: str) -> str:
    """Moves ``path`` to ``path + suffix`` (``.2``, ... when taken); returns where."""
    target, n = path + suffix, 1
    while os.path.exists(target):
        n += 1
        target = f"{path}{suffix}.{n}"
    os.replace(path, target)
    return target


def _lost_text(first: int, last: Optional[int]) -> str:
    if last is None:
        return f"every log record from {first} on is lost"
    return f"log record {first} is lost" if first == last else f"log records {first} to {last} are lost"


def _take_lock(folder: str) -> Any:
    """The folder's lock, held until the returned file is closed; RuntimeError
    when another collection (in this process or another) has it."""
    path = os.path.join(folder, _LOCK)
    handle = open(path, "a+b")  # held for the collection's life
    try:
        import fcntl
    except ImportError:  # pragma: no cover - Windows
        return handle
    try:
        fcntl.flock(handle.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        handle.close()
        raise RuntimeError(f"the durable collection {folder!r} is open elsewhere (its lock is held)") from None
    return handle


class DurableCollection(Collection):
    """A :class:`kestrix.Collection` whose every change is durable when its
    call returns; made by :meth:`kestrix.Collection.open`.

    Everything a collection does, it does; besides, :meth:`checkpoint`,
    :meth:`close` (also as a context manager), :attr:`path` and
    :attr:`recovery`. A closed one still answers searches; every change
    raises ValueError "the collection is closed". In a process forked from
    the one that opened it, changes raise RuntimeError (the log belongs to its
    opener). A copy (``copy.copy``, pickling) is a plain in-memory
    :class:`kestrix.Collection` of the same state.
    """

    __slots__ = ("_folder", "_lock", "_log_number", "_recovery", "_checkpointing", "_side_name")
    _folder: str
    _lock: Any  # the folder's lock file, None once closed
    _log_number: int
    _recovery: Recovery
    _checkpointing: threading.Lock
    _side_name: str

    def __new__(cls, *args: Any, **kwargs: Any) -> "DurableCollection":
        raise TypeError("a durable collection is opened with kestrix.Collection.open(path)")

    @classmethod
    def load(cls, path: PathLike, threads: Optional[int] = None, *, mmap_side: bool = False) -> Collection:
        """A saved file is loaded as a plain collection (:meth:`kestrix.Collection.load`)."""
        return Collection.load(path, threads, mmap_side=mmap_side)

    @property
    def path(self) -> str:
        """The collection's folder."""
        return self._folder

    @property
    def recovery(self) -> Recovery:
        """What opening the folder found (see :class:`Recovery`)."""
        return self._recovery

    def checkpoint(self) -> int:
        """Write the collection to a new checkpoint file and start a new log
        after it; returns the number of the last log record it holds. Changes
        wait while the file is written (searches go on); the earlier
        checkpoint and logs are removed once the new one is in place."""
        with self._checkpointing:
            return self._write_checkpoint(0)

    def close(self) -> None:
        """Close the log and let go of the folder. Every change acknowledged
        is durable already; later changes raise ValueError."""
        self._close_log()
        lock = getattr(self, "_lock", None)
        if lock is not None:
            lock.close()
            self._lock = None

    def _made_again(self, dim: int) -> "DurableCollection":
        """This collection, still empty, made again at dimension ``dim`` in
        its folder (the store that waits for its first embedding to know its
        dimension); this one is closed."""
        if self._slot_count() or self.has_index():
            raise ValueError(f"the durable collection {self._folder!r} holds {self.dim}-dim vectors")
        folder, threads, side, threshold = self._folder, self._threads, self.side, self.rebuild_threshold
        metric = self.metric
        self.close()
        for name in os.listdir(folder):
            os.unlink(os.path.join(folder, name))
        return open_collection(folder, threads, side, threshold, dim=dim, metric=metric)

    def _log_outgrown(self) -> bool:
        """Whether the log has grown past the newest checkpoint (and past
        64 MiB): then replaying it would cost more than loading a new one."""
        checkpoints, logs = _found(self._folder)
        try:
            log_bytes = os.path.getsize(os.path.join(self._folder, _log_name(self._log_number)))
            held = os.path.getsize(os.path.join(self._folder, checkpoints[0][1])) if checkpoints else 0
        except OSError:
            return False
        return log_bytes > max(held, _CHECKPOINT_AFTER)

    def __reduce__(self) -> Tuple[Any, ...]:
        # A copy (pickle, copy.copy, copy.deepcopy) is one state of the
        # collection, in memory: a plain Collection. The folder keeps one
        # owner, and its log takes the changes of this collection only.
        rebuild, (_, *arguments), *_ = super().__reduce__()
        return (rebuild, (Collection, *arguments))

    def __enter__(self) -> "DurableCollection":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def _write_checkpoint(self, base: int) -> int:
        """A checkpoint and a new log after it (numbered on from ``base``
        when no log is open yet); then the older files go."""
        folder = self._folder
        number = self._log_number + 1
        next_log = os.path.join(folder, _log_name(number))
        remove_stale_temporaries(folder, "checkpoint")
        tmp, fd = _locked_temporary(folder, "checkpoint")
        with _removed_on_failure(tmp):
            try:
                held: int = self._checkpoint(fd, next_log, _meta(self._side_name, self.dim, self.metric), base)
                self._log_number = number
                os.fsync(fd)
                os.replace(tmp, os.path.join(folder, _checkpoint_name(held)))
            finally:
                os.close(fd)
        _fsync_folder(folder)
        # Everything they held is in the checkpoint now.
        checkpoints, logs = _found(folder)
        for seq, name in checkpoints:
            if seq < held:
                os.unlink(os.path.join(folder, name))
        for log_number, name in logs:
            if log_number < number:
                os.unlink(os.path.join(folder, name))
        return held


def open_collection(
    path: PathLike,
    threads: Optional[int] = None,
    side: Optional[str] = None,
    rebuild_threshold: Optional[float] = None,
    stop_after: Optional[int] = None,
    dim: Optional[int] = None,
    metric: Optional[str] = None,
) -> DurableCollection:
    """Open (or create) the durable collection in the folder ``path``; see
    :meth:`kestrix.Collection.open`. ``stop_after``: the last log record to
    apply; later ones were never committed (the LangChain store's rule) and
    are left out."""
    folder = path_argument(path)
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise NotADirectoryError(f"cannot open {folder!r} as a durable collection: it is a file")
    if (side is not None and side not in ("none", "int8", "float16")) or dim is not None or metric is not None:
        # Raises the collection's own error.
        Collection(DIMENSION if dim is None else dim, side=side, metric=metric or "ip")
    os.makedirs(folder, exist_ok=True)
    lock = _take_lock(folder)
    try:
        col = _recover(folder, threads, side, stop_after, dim, metric)
        col.rebuild_threshold = rebuild_threshold
    except BaseException:
        lock.close()
        raise
    col._lock = lock
    if col._recovery.lost:
        warnings.warn(
            f"durable collection {folder!r} was recovered with losses: " + "; ".join(col._recovery.lost),
            RuntimeWarning,
            stacklevel=3,
        )
    return col


def _empty(threads: Optional[int], side: str, dim: int, metric: str) -> DurableCollection:
    made = Collection.__new__(DurableCollection, dim, threads=threads, side=side, metric=metric)
    return cast(DurableCollection, made)


class _Made(NamedTuple):
    """What a log's header says the collection was made as."""

    side: Optional[str]  # None: no readable header
    dim: int
    metric: Optional[str]


def _made_as(path: str) -> _Made:
    """The side, dimension and metric a log's header names."""
    unknown = _Made(None, DIMENSION, None)
    try:
        reader = LogReader(path, COLLECTION_LOG_TAG)
    except ValueError:
        return unknown
    try:
        meta = json.loads(reader.meta)
    except ValueError:
        return unknown
    if not isinstance(meta, dict):
        return unknown
    dim = meta.get("dim", DIMENSION)
    if not isinstance(dim, int) or isinstance(dim, bool):
        dim = DIMENSION
    return _Made(meta.get("side"), dim, meta.get("metric", "ip"))


def _recover(
    folder: str,
    threads: Optional[int],
    side: Optional[str],
    stop_after: Optional[int],
    dim: Optional[int],
    metric: Optional[str],
) -> DurableCollection:
    # Temporary files of checkpoints and logs a crash cut short: the folder is ours.
    remove_stale_temporaries(folder, "checkpoint")
    for name in os.listdir(folder):
        if _LOG_TEMPORARY.fullmatch(name):
            os.unlink(os.path.join(folder, name))
    checkpoints, logs = _found(folder)
    held = 0
    if checkpoints:
        held, name = checkpoints[0]
        path = os.path.join(folder, name)
        if not stat.S_ISREG(os.lstat(path).st_mode):
            raise ValueError(f"not a regular file (file {path!r})")
        try:
            col: DurableCollection = DurableCollection._load_file(path, threads, False)
        except ValueError as err:
            raise ValueError(
                f"{err} (file {path!r}): the newest checkpoint of durable collection {folder!r} is damaged"
            ) from None
    else:
        made = _made_as(os.path.join(folder, logs[0][1])) if logs else _Made(None, dim or DIMENSION, None)
        col = _empty(threads, made.side or side or "none", made.dim, made.metric or metric or "ip")
    if side is not None and side != col.side:
        raise ValueError(f"the durable collection {folder!r} keeps side {col.side!r}, not {side!r}")
    if metric is not None and metric != col.metric:
        raise ValueError(f"the durable collection {folder!r} rescores by metric {col.metric!r}, not {metric!r}")
    if dim is not None and dim != col.dim:
        raise ValueError(f"the durable collection {folder!r} holds {col.dim}-dim vectors, not {dim}")
    col._folder = folder
    col._threads = threads
    col._side_name = col.side
    col._checkpointing = threading.Lock()
    col._log_number = logs[-1][0] if logs else 0
    if not checkpoints and not logs:
        # A new collection: its first log comes before its first checkpoint.
        col._attach_log(
            Log.create(os.path.join(folder, _log_name(1)), COLLECTION_LOG_TAG, 0, _meta(col.side, col.dim, col.metric))
        )
        col._log_number = 1
        col._recovery = Recovery(0, 0, 0, (), (), ())
        return col
    return _replay_logs(col, folder, held, checkpoints, logs, stop_after)


def _replay_logs(
    col: DurableCollection,
    folder: str,
    held: int,
    checkpoints: List[Tuple[int, str]],
    logs: List[Tuple[int, str]],
    stop_after: Optional[int],
) -> DurableCollection:
    lost: List[str] = []
    notes: List[str] = []
    aside: List[str] = []
    position, seen, replayed = held, held, 0
    stopped = False
    resumable: Optional[LogReader] = None
    if not logs:
        lost.append(f"no log follows checkpoint {held}: every change made after it is lost")
    for _, name in logs:
        path = os.path.join(folder, name)
        if stopped:
            # Records that follow one lost: kept, never applied.
            aside.append(_aside(path, ".unapplied"))
            continue
        reader = LogReader(path, COLLECTION_LOG_TAG, expected_base=position)
        try:
            logged = json.loads(reader.meta)
            logged_side, logged_metric = logged.get("side"), logged.get("metric", "ip")
        except (ValueError, AttributeError):
            logged_side = logged_metric = None
        if logged_side not in (None, col.side):
            raise ValueError(f"log {path!r} is the log of a collection with side {logged_side!r}, not {col.side!r}")
        if logged_metric not in (None, col.metric):
            raise ValueError(
                f"log {path!r} is the log of a collection with metric {logged_metric!r}, not {col.metric!r}"
            )
        records, last, stopped_at, problem, left_out = col._replay(reader, position, stop_after)
        report = reader.finish()
        replayed += records
        position = last
        seen = max(seen, report.next_seq - 1)
        # What was found wrong goes with the losses it caused, if any.
        lost.extend(_lost_text(first, end) for first, end in report.lost)
        (lost if report.lost else notes).extend(f"log {name}: {text}" for text in report.problems)
        notes.extend(report.notes)
        if left_out:
            notes.append(f"log records after {stop_after} were never committed and are left out")
        if report.kept_aside is not None:
            aside.append(report.kept_aside)
        if stopped_at:
            stopped = True
            lost.append(f"log records from {stopped_at} on are not applied: record {stopped_at}: {problem}")
            if report.kept_aside is None:
                aside.append(_aside(path, ".unapplied"))
        resumable = reader if report.resumable and not left_out and not stopped_at else None
    col._recovery = Recovery(held, replayed, position, tuple(lost), tuple(notes), tuple(aside))
    if resumable is not None and len(logs) == 1 and len(checkpoints) <= 1 and not lost and not aside:
        col._attach_log(resumable.resume())
        return col
    # Damage, losses or leftovers: a fresh checkpoint and log, numbered past
    # every record seen, so the next open starts clean.
    col._write_checkpoint(max(position, seen))
    return col
