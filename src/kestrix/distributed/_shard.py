"""One shard: a Collection, its checkpoints and its log, in one Ray actor."""

import os
import uuid
from typing import Any, Dict, List, NamedTuple, Optional, Tuple

import numpy as np
import ray

from ..collection import Collection
from . import _files as files
from ._routing import DIM, NO_DISTANCE


class Recovery(NamedTuple):
    """What a shard found when it (re)started: see :attr:`ShardedCollection.recoveries`."""

    shard: int
    checkpoint_seq: int  # batch number of the checkpoint it loaded (0: none)
    replayed: int  # logged batches applied on top
    notes: Tuple[str, ...]  # what was odd but harmless (an unfinished last log record)
    lost: Tuple[str, ...]  # what could not be recovered; empty when nothing was lost


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
        distances = np.where(ids < 0, NO_DISTANCE, distances).astype(np.int16)
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
