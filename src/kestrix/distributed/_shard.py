"""One shard: a Collection, its checkpoints and its log, in one Ray actor."""

import os
import uuid
from typing import Any, Dict, Iterable, Iterator, List, NamedTuple, Optional, Tuple

import numpy as np
import ray

from .._files import remove_stale_temporaries
from .._native import Log, LogReader
from ..collection import Collection
from . import _files as files


class Recovery(NamedTuple):
    """What a shard found when it (re)started: see :attr:`ShardedCollection.recoveries`."""

    shard: int
    checkpoint_seq: int  # batch number of the checkpoint it loaded (0: none)
    replayed: int  # logged batches applied on top
    notes: Tuple[str, ...]  # what was odd but cost nothing (an unfinished last log record, records out of place)
    lost: Tuple[str, ...]  # what could not be recovered, by log record; empty when nothing was lost
    kept_aside: Tuple[str, ...] = ()  # damaged files moved out of the way, kept for inspection


def _assigned_threads() -> int:
    cpus = ray.get_runtime_context().get_assigned_resources().get("CPU", 1.0)  # type: ignore[no-untyped-call]
    return max(1, int(cpus))


def _lost_records(first: int, last: Optional[int], batches: Dict[int, int], floor: int) -> str:
    """A line naming lost log records and the batches around them (``batches``: record -> batch number)."""
    if last is None:
        return f"every log record from {first} on, holding the batches after {batches.get(first - 1, floor)}, is lost"
    held = f"after {batches.get(first - 1, floor)}" + (
        f" and before {batches[last + 1]}" if last + 1 in batches else ""
    )
    if first == last:
        return f"log record {first}, holding a batch {held}, is lost"
    return f"log records {first} to {last}, holding the batches {held}, are lost"


class _Shard:
    """One shard: a Collection, its checkpoints and its log, in one Ray actor.

    Ray runs ``__init__`` again when it restarts the actor, so recovery is
    simply construction: newest readable checkpoint, then the logged batches.
    """

    def __init__(self, folder: str, shard: int, side: str = "none", dim: int = files.DIM, metric: str = "ip") -> None:
        self._folder = folder
        self._shard = shard
        # The manifest's, for a shard that starts without a checkpoint and to read its log.
        self._side = side
        self._dim = dim
        self._metric = metric
        self._threads = _assigned_threads()
        self._incarnation = uuid.uuid4().hex
        self._last_seq = 0
        self._last_result: Any = None
        self._log: Optional[Log] = None
        self._records = 0  # while no log is open: the number of the last record logged, where the next log goes on
        self._recovery = self._recover()

    # Every reply carries the incarnation, so the driver notices a restart.
    def _reply(self, value: Any) -> Tuple[str, Any]:
        return self._incarnation, value

    def _path(self, name: str) -> str:
        return os.path.join(self._folder, name)

    def _recover(self) -> Recovery:
        # What checkpoints a crash cut short left: their names carry a batch
        # number, so no later checkpoint writes over them.
        remove_stale_temporaries(self._folder, files.checkpoint_pattern(self._shard))
        notes: List[str] = []
        lost: List[str] = []
        aside: List[str] = []
        found = files.checkpoints(self._folder, self._shard)
        loaded: Optional[Collection] = None
        base = 0
        for seq, name in found:
            try:
                loaded = Collection.load(self._path(name), threads=self._threads)
                base = seq
                break
            except (ValueError, OSError) as err:
                # Kept aside for inspection, and out of the way of the next start.
                os.replace(self._path(name), self._path(name + ".unreadable"))
                aside.append(self._path(name + ".unreadable"))
                lost.append(f"checkpoint {name} could not be read ({err})")
        self._col = (
            loaded
            if loaded is not None
            else Collection(self._dim, threads=self._threads, side=self._side, metric=self._metric)
        )
        self._last_seq = base

        log_path = self._path(files.wal_name(self._shard))
        replayed = 0
        if not found and not os.path.exists(log_path):
            if not os.path.exists(self._path(files.MANIFEST)):
                # A new shard: its first log comes before its first checkpoint.
                self._log = self._create_log(self._folder, 0, 0)
                return Recovery(self._shard, 0, 0, (), ())
            lost.append("neither a checkpoint nor a log of this shard is left: everything it held is lost")
        elif files.is_old_log(log_path):
            replayed = self._convert(log_path, notes, lost, aside)
        else:
            replayed = self._read_log(log_path, notes, lost, aside)
        if self._log is None:
            # A fresh checkpoint of what was recovered, and a new log after it,
            # so the next start does not stumble over the same damage again.
            self._checkpoint_in(self._folder, self._last_seq)
        return Recovery(self._shard, base, replayed, tuple(notes), tuple(lost), tuple(aside))

    def _held_elsewhere(self, seq: int, lost: List[str]) -> None:
        """Notes the loss when the log continues a later checkpoint than the one loaded."""
        if seq > self._last_seq:
            lost.append(f"batches {self._last_seq + 1} to {seq} were held only by an unreadable checkpoint")

    def _read_log(self, log_path: str, notes: List[str], lost: List[str], aside: List[str]) -> int:
        """Replay the log; resume it when it is intact and continues the checkpoint loaded."""
        base = self._last_seq
        acknowledged = files.read_closed(self._path(files.closed_name(self._shard)))
        reader = LogReader(log_path, files.LOG_TAG, acknowledged=acknowledged)
        header = files.decode_meta(reader.meta)
        if header is not None:
            self._held_elsewhere(header[0], lost)
        batches: Dict[int, int] = {}  # log record -> its batch number
        replayed = self._replay(self._logged(reader, log_path, batches), header[1] if header else None)
        report = reader.finish()
        self._records = max(report.next_seq - 1, acknowledged)
        if report.missing:
            lost.append(f"log {files.wal_name(self._shard)} is missing: every batch after {base} it held is lost")
        else:
            floor = header[0] if header else base
            lost.extend(_lost_records(first, last, batches, floor) for first, last in report.lost)
            notes.extend(report.problems)
        notes.extend(report.notes)
        if report.kept_aside is not None:
            aside.append(report.kept_aside)
        if report.resumable and not lost and header is not None and header[0] == base:
            self._log = reader.resume()
        return replayed

    def _logged(self, reader: LogReader, log_path: str, batches: Dict[int, int]) -> Iterator[files.Record]:
        """The batches of a log in order, leaving out any that failed to apply.

        A whole record that holds no batch this version knows was written by
        a later one: the shard refuses to start rather than lose it, and the
        log stays as it is.
        """
        held: Optional[files.Record] = None
        for number, kind, data in reader:
            record = files.decode(kind, data, self._dim)
            if record is None:
                raise ValueError(
                    f"log {log_path!r}: record {number} (kind {kind}) holds no batch this version of kestrix can "
                    "read; open the folder with the version that wrote it"
                )
            batches[number] = record.seq
            if record.op == files.OP_FAILED:
                if held is not None and held.seq == record.seq:
                    held = None
                continue
            if held is not None:
                yield held
            held = record
        if held is not None:
            yield held

    def _convert(self, log_path: str, notes: List[str], lost: List[str], aside: List[str]) -> int:
        """Replay a log of the earlier format; a checkpoint and a new log then take its place."""
        old = files.OldLog(log_path)
        name = files.wal_name(self._shard)
        replayed = 0
        if old.base is None:
            lost.append(f"log {name} has no valid header: every batch after {self._last_seq} it held is lost")
        else:
            self._held_elsewhere(old.base, lost)
            replayed = self._replay(old.records(), old.graph)
            if old.torn_tail:
                notes.append("dropped an unfinished last log record (a batch that was never acknowledged)")
            if old.damaged_bytes:
                lost.append(
                    f"the last {old.damaged_bytes} bytes of log {name} are damaged: "
                    f"every batch after {self._last_seq} in them is lost"
                )
        if old.base is None or old.damaged_bytes:
            kept = files.aside_name(log_path)
            os.replace(log_path, kept)
            aside.append(kept)
        return replayed

    def _replay(self, records: Iterable[files.Record], graph: Optional[Tuple[int, ...]]) -> int:
        """Apply the batches the checkpoint does not hold; return how many.

        ``graph`` is the (m, ef_construction) of the checkpoint's graph, or
        None. A checkpoint file keeps its graph, which loading restored; one
        written without it (by an earlier version) has it built again before
        the first batch on top. A build the checkpoint already holds that is
        still in the log (a crash between a save's checkpoint and its new log)
        says the same.
        """
        replayed = 0
        for record in records:
            if record.seq <= self._last_seq:
                graph = record.params if record.op == files.OP_BUILD else graph
                continue
            if graph is not None and record.op != files.OP_BUILD:
                self._restore_graph(graph)
            graph = None
            self._last_result = self._apply(record)
            self._last_seq = record.seq
            replayed += 1
        if graph is not None:
            self._restore_graph(graph)
        return replayed

    def _restore_graph(self, graph: Tuple[int, ...]) -> None:
        if not self._col.has_index():
            self._col.build_index(m=graph[0], ef_construction=graph[1])

    def _apply(self, record: files.Record) -> Any:
        col = self._col
        if record.op == files.OP_ADD:
            col.add(record.ids, record.vectors)
            return None
        if record.op == files.OP_DELETE:
            return int(col.delete(record.ids))
        m, ef_construction = record.params
        col.build_index(m=m, ef_construction=ef_construction)
        return None

    def recovery(self) -> Tuple[str, Recovery]:
        return self._reply(self._recovery)

    def write(self, seq: int, op: int, ids: Any, vectors: Any, params: Tuple[int, ...]) -> Tuple[str, Any]:
        if seq <= self._last_seq:
            # Ray re-sent a batch this shard had logged before it restarted.
            return self._reply(self._last_result if seq == self._last_seq else None)
        if self._log is None:
            raise RuntimeError(
                f"shard {self._shard} takes no writes until it is restarted: its log could not be kept in step with it"
            )
        record = files.Record(seq, op, ids, vectors, params)
        self._log.append_durable(op, files.payload(record))
        try:
            result = self._apply(record)
        except BaseException:
            # The call changed nothing; the log says so, so that recovery
            # leaves the batch out too.
            try:
                self._log.append_durable(files.OP_FAILED, files.payload(record._replace(op=files.OP_FAILED)))
            except BaseException:
                self._drop_log()
            raise
        self._last_seq, self._last_result = seq, result
        return self._reply(result)

    def search(self, queries: Any, k: int, options: Dict[str, Any]) -> Tuple[str, Any]:
        """(distances, ids, scores) of a batch, for the driver's merge."""
        ids, scores, distances = self._col._search_distances(queries, k, **options)
        return self._reply((distances, ids, scores))

    def info(self) -> Tuple[str, Tuple[int, bool, int, int, str, str]]:
        col = self._col
        return self._reply((len(col), bool(col.has_index()), self._last_seq, col.dim, col.side, col.metric))

    def ids(self) -> Tuple[str, Any]:
        return self._reply(np.asarray(self._col.ids(), dtype=np.int64))

    def contains(self, doc_id: int) -> Tuple[str, bool]:
        return self._reply(doc_id in self._col)

    def get(self, ids: Any) -> Tuple[str, Any]:
        return self._reply(self._col.get(ids))

    def _drop_log(self) -> None:
        """Close the open log; the next one continues its numbers."""
        if self._log is not None:
            self._records = self._log.next_seq - 1
            self._log.close()
            self._log = None

    def _create_log(self, folder: str, seq: int, records: int) -> Log:
        """A new, empty log in ``folder`` after checkpoint ``seq``, numbered on from ``records``."""
        graph = self._col._graph_nodes()
        meta = files.encode_meta(seq, None if graph is None else (graph[2], graph[3]))
        closed = os.path.join(folder, files.closed_name(self._shard))
        if os.path.exists(closed):
            os.remove(closed)  # it counted the records of the log being replaced
        return Log.create(os.path.join(folder, files.wal_name(self._shard)), files.LOG_TAG, records, meta)

    def _checkpoint_in(self, folder: str, seq: int) -> Dict[str, Any]:
        """Save the shard into ``folder`` as of batch ``seq``, with an empty log after it."""
        name = files.checkpoint_name(self._shard, seq)
        path = os.path.join(folder, name)
        self._col.save(path)
        size, crc = files.file_crc32(path)
        if folder == self._folder:
            # Until the new log is there the shard takes no writes: a log that
            # failed half-way must not be written to.
            self._drop_log()
            self._log = self._create_log(folder, seq, self._records)
        else:
            records = self._log.next_seq - 1 if self._log is not None else self._records
            self._create_log(folder, seq, records).close()
        return {"file": name, "bytes": size, "crc32": crc, "seq": seq}

    def checkpoint(self, seq: int) -> Tuple[str, Dict[str, Any]]:
        """Save the shard in its own folder as of batch ``seq`` and start a new log."""
        entry = self._checkpoint_in(self._folder, max(seq, self._last_seq))
        self._last_seq = entry["seq"]
        return self._reply(entry)

    def copy_to(self, folder: str, seq: int) -> Tuple[str, Dict[str, Any]]:
        """Write the shard and an empty log into another folder; this shard is unchanged."""
        return self._reply(self._checkpoint_in(folder, seq))

    def close(self) -> Tuple[str, None]:
        """Close the log and note the number of its last record: every record
        was durable, so a log later found to end before it has lost some."""
        if self._log is not None:
            self._drop_log()
            files.write_closed(self._path(files.closed_name(self._shard)), self._records)
        return self._reply(None)

    def retire(self, keep_seq: int) -> Tuple[str, None]:
        """Delete this shard's checkpoints older than ``keep_seq``."""
        for seq, name in files.checkpoints(self._folder, self._shard):
            if seq < keep_seq:
                os.unlink(self._path(name))
        return self._reply(None)


_ShardActor = ray.remote(_Shard)
