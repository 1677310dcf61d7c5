"""The files of a sharded collection: manifest, shard checkpoints, write-ahead logs.

One folder holds one sharded collection::

    manifest.json                           shard count, id routing, the shards' side, the files of the last save
    shard-0003.00000000000000000042.kxc     shard 3 as saved after batch 42 (a Collection file)
    shard-0003.wal                          every batch shard 3 applied since that save
    shard-0003.closed                       how many log records shard 3 had when it was last closed

Every write batch has a number, counted by the driver from 1. A shard appends
the batch to its log and makes it durable before it applies it, and the driver
acknowledges a batch only once every shard has done so; a shard restarted
after a crash loads its newest readable checkpoint and re-applies the logged
batches numbered above it, so nothing acknowledged is lost.

The log is kestrix's write-ahead log (``kestrix._native.Log``, tag
``kestrix.shard``): numbered, checksummed records that recovery hands over in
order, naming every record it could not. A shard sees only the batches that
touch its ids, so the log numbers its own records, without gaps and on from
one log to the next (a new log continues the number of the last record of the
one before), and each record's payload carries its batch number.

A save writes the checkpoint first (its name carries the number of the last
batch it holds) and then a new log; a crash between the two leaves the new
checkpoint and the old log, and recovery skips the logged batches the
checkpoint already holds (re-applying an upsert would move its document to a
newer slot and change how ties are ordered). A shard's first log is created
before its first checkpoint, so a checkpoint without a log beside it means a
lost log, which is reported.

The log header's meta is u64 checkpoint batch number, u32 m and u32
ef_construction of the checkpoint's graph (m = 0: none), so that a
checkpoint written without its graph (by an earlier version) has it built
again. A record's kind is its operation; its payload is u64 batch number, u32
count, 4 zero bytes, then for an add ``count`` int64 ids and ``count x 384``
float32 components, for a delete ``count`` int64 ids, for an index build u32 m
and u32 ef_construction, and for a failed batch nothing: a batch that failed
to apply changed nothing, and the record after it says so.

A shard closed cleanly writes ``shard-NNNN.closed``: the number of its log's
last record, every one of which was acknowledged. A log later found to end
before that record lost what it held, even if the file ends inside a record
(which after a crash would be a write never acknowledged). Record numbers only
grow, so the note never speaks for a later log.

Logs of the earlier format (``KXWAL001``, records without numbers) are read
once and converted: the shard replays them, writes a checkpoint and starts a
new log.
"""

import json
import os
import re
import struct
import zlib
from typing import Any, Dict, Iterator, List, NamedTuple, Optional, Tuple

from .._common import DIMENSION as DIM
from .._files import atomic_write_bytes, open_regular
from .._native import MAX_DIMENSION, METRICS, SIDES

MANIFEST = "manifest.json"
MANIFEST_KIND = "kestrix sharded collection"
MANIFEST_VERSION = 1
ROUTING = "splitmix64(id) mod shards"
# Far above any real deployment, and small enough that a forged manifest
# cannot make a loader start an absurd number of actors.
MAX_SHARDS = 4096
_MAX_MANIFEST_BYTES = 1 << 20

LOG_TAG = "kestrix.shard"
_META = struct.Struct("<QII")
_PAYLOAD_HEADER = struct.Struct("<QI4x")
_CLOSED = struct.Struct("<8sQ")
_CLOSED_MAGIC = b"KXCLOSED"

OP_ADD = 1
OP_DELETE = 2
OP_BUILD = 3
OP_FAILED = 4
OP_NAMES = {OP_ADD: "add", OP_DELETE: "delete", OP_BUILD: "build_index"}

_CHECKPOINT = re.compile(r"shard-(\d{4})\.(\d{20})\.kxc")


class Record(NamedTuple):
    seq: int  # the batch number
    op: int
    ids: Any  # int64 array (add, delete) or None
    vectors: Any  # float32 (n, 384) array (add) or None
    params: Tuple[int, ...]  # (m, ef_construction) for a build


def checkpoint_name(shard: int, seq: int) -> str:
    return f"shard-{shard:04d}.{seq:020d}.kxc"


def checkpoint_pattern(shard: int) -> "re.Pattern[str]":
    """The names of the shard's checkpoints."""
    return re.compile(rf"shard-{shard:04d}\.\d{{20}}\.kxc")


def wal_name(shard: int) -> str:
    return f"shard-{shard:04d}.wal"


def closed_name(shard: int) -> str:
    return f"shard-{shard:04d}.closed"


def checkpoints(folder: str, shard: int) -> List[Tuple[int, str]]:
    """The shard's checkpoints in ``folder`` as (batch number, file name), newest first."""
    found = []
    for name in os.listdir(folder):
        match = _CHECKPOINT.fullmatch(name)
        if match and int(match.group(1)) == shard:
            found.append((int(match.group(2)), name))
    found.sort(reverse=True)
    return found


def file_crc32(path: str) -> Tuple[int, int]:
    """(size in bytes, CRC-32) of a file, read in blocks."""
    crc, size = 0, 0
    with open_regular(path) as f:
        while True:
            block = f.read(1 << 20)
            if not block:
                return size, crc
            size += len(block)
            crc = zlib.crc32(block, crc)


# --- the log's contents -----------------------------------------------------------


def encode_meta(seq: int, graph: Optional[Tuple[int, int]]) -> bytes:
    """The header meta of a log after checkpoint ``seq`` whose shard had ``graph`` = (m, ef_construction)."""
    return _META.pack(seq, *(graph or (0, 0)))


def decode_meta(meta: bytes) -> Optional[Tuple[int, Optional[Tuple[int, int]]]]:
    """(checkpoint batch number, graph or None) of a log's meta; None for meta of another shape."""
    if len(meta) != _META.size:
        return None
    seq, m, ef_construction = _META.unpack(meta)
    return seq, ((m, ef_construction) if m else None)


def payload(record: Record) -> List[Any]:
    """A record's payload as parts the log writes one after another, the arrays where they lie."""
    if record.op == OP_BUILD:
        return [_PAYLOAD_HEADER.pack(record.seq, 0) + struct.pack("<II", *record.params)]
    if record.op == OP_FAILED:
        return [_PAYLOAD_HEADER.pack(record.seq, 0)]
    import numpy as np

    ids = np.ascontiguousarray(record.ids, dtype="<i8")
    parts = [_PAYLOAD_HEADER.pack(record.seq, ids.shape[0]), ids]
    if record.op == OP_ADD:
        parts.append(np.ascontiguousarray(record.vectors, dtype="<f4"))
    return parts


def _decode_body(seq: int, op: int, count: int, body: memoryview, dim: int) -> Optional[Record]:
    """The record of a payload's body after its header; None if it is no batch of ``op``."""
    import numpy as np

    if op in (OP_BUILD, OP_FAILED):
        if count != 0 or len(body) != (8 if op == OP_BUILD else 0):
            return None
        return Record(seq, op, None, None, struct.unpack("<II", body) if op == OP_BUILD else ())
    if op not in (OP_ADD, OP_DELETE):
        return None
    row = 8 + (4 * dim if op == OP_ADD else 0)
    if len(body) != count * row:
        return None
    ids = np.frombuffer(body, dtype="<i8", count=count)
    vectors = None
    if op == OP_ADD:
        vectors = np.frombuffer(body, dtype="<f4", offset=8 * count).reshape(count, dim)
    return Record(seq, op, ids, vectors, ())


def decode(kind: int, data: bytes, dim: int) -> Optional[Record]:
    """The record of a log record's kind and payload (vectors of ``dim``
    floats); None if it holds no batch this version reads."""
    if len(data) < _PAYLOAD_HEADER.size:
        return None
    seq, count = _PAYLOAD_HEADER.unpack_from(data)
    return _decode_body(seq, kind, count, memoryview(data)[_PAYLOAD_HEADER.size :], dim)


def write_closed(path: str, last_record: int) -> None:
    data = _CLOSED.pack(_CLOSED_MAGIC, last_record)
    atomic_write_bytes(path, data + struct.pack("<I", zlib.crc32(data)))


def read_closed(path: str) -> int:
    """The last record a clean close counted, or 0 when there is no whole note at ``path``."""
    try:
        with open_regular(path) as f:
            data = f.read(_CLOSED.size + 5)
    except FileNotFoundError:
        return 0
    if len(data) != _CLOSED.size + 4 or struct.unpack_from("<I", data, _CLOSED.size)[0] != zlib.crc32(data[:-4]):
        return 0
    magic, last_record = _CLOSED.unpack_from(data)
    return int(last_record) if magic == _CLOSED_MAGIC else 0


# --- the earlier log format, read once to convert it ------------------------------

OLD_MAGIC = b"KXWAL001"
_OLD_HEADER = struct.Struct("<8sQII")
_OLD_RECORD_MAGIC = b"KXRB"
_OLD_RECORD_HEADER = struct.Struct("<4sII")
_OLD_PAYLOAD_HEADER = struct.Struct("<QB3xI")


def is_old_log(path: str) -> bool:
    try:
        with open_regular(path) as f:
            return f.read(len(OLD_MAGIC)) == OLD_MAGIC
    except FileNotFoundError:
        return False


class OldLog:
    """A log of the earlier format: a 24-byte header (``KXWAL001``, u64
    checkpoint batch number, u32 m, u32 ef_construction), then records of
    ``KXRB``, u32 payload length, u32 CRC-32 of the payload, and the payload:
    u64 batch number, u8 operation, 3 zero bytes, u32 count, the body.

    ``base`` is None when the header is not valid. Once ``records()`` is
    exhausted, ``torn_tail`` says the last record was unfinished and
    ``damaged_bytes`` counts the bytes from a damaged record on, when more
    followed it (records carry no number, so nothing after damage is found).
    """

    def __init__(self, path: str) -> None:
        self._path = path
        with open_regular(path) as f:
            header = f.read(_OLD_HEADER.size)
        self.base: Optional[int] = None
        self.graph: Optional[Tuple[int, int]] = None
        if len(header) == _OLD_HEADER.size and header.startswith(OLD_MAGIC):
            _, self.base, m, ef_construction = _OLD_HEADER.unpack(header)
            self.graph = (m, ef_construction) if m else None
        self.torn_tail = False
        self.damaged_bytes = 0

    def records(self) -> Iterator[Record]:
        if self.base is None:
            return
        size = os.path.getsize(self._path)
        with open_regular(self._path) as f:
            pos = f.seek(_OLD_HEADER.size)
            while pos < size:
                head = f.read(_OLD_RECORD_HEADER.size)
                if len(head) < _OLD_RECORD_HEADER.size:
                    self.torn_tail = True
                    return
                magic, length, crc = _OLD_RECORD_HEADER.unpack(head)
                end = pos + _OLD_RECORD_HEADER.size + length
                if magic != _OLD_RECORD_MAGIC:
                    # Space the file system extended but never wrote reads as zeros.
                    blocks = iter(lambda: f.read(1 << 20), b"")
                    if head.count(0) == len(head) and all(block.count(0) == len(block) for block in blocks):
                        self.torn_tail = True
                    else:
                        self.damaged_bytes = size - pos
                    return
                if end > size:
                    self.torn_tail = True
                    return
                data = f.read(length)
                record = None
                if zlib.crc32(data) == crc and len(data) >= _OLD_PAYLOAD_HEADER.size:
                    seq, op, count = _OLD_PAYLOAD_HEADER.unpack_from(data)
                    record = _decode_body(
                        seq, op, count, memoryview(data)[_OLD_PAYLOAD_HEADER.size :], DIM
                    )  # before other dimensions
                if record is None or record.op == OP_FAILED:
                    # Only the last record can be a write cut short by a crash.
                    if end == size:
                        self.torn_tail = True
                    else:
                        self.damaged_bytes = size - pos
                    return
                pos = end
                yield record


def aside_name(path: str) -> str:
    """Where a damaged file at ``path`` is kept: ``<path>.damaged``, or ``.damaged.2``, ... when taken."""
    aside, n = path + ".damaged", 1
    while os.path.exists(aside):
        n += 1
        aside = f"{path}.damaged.{n}"
    return aside


# --- manifest -----------------------------------------------------------------


def write_manifest(folder: str, seq: int, files: List[Dict[str, Any]], side: str, dim: int, metric: str) -> None:
    manifest: Dict[str, Any] = {
        "kind": MANIFEST_KIND,
        "version": MANIFEST_VERSION,
        "routing": ROUTING,
        "side": side,
        "dimension": dim,
        "seq": seq,
        "shards": files,
    }
    # Named only when it is not the default, as older manifests have none.
    if metric != "ip":
        manifest["metric"] = metric
    atomic_write_bytes(os.path.join(folder, MANIFEST), json.dumps(manifest, indent=1).encode())


def _is_count(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and 0 <= value < 2**64


def read_manifest(folder: str) -> Dict[str, Any]:
    """Read and check ``folder``'s manifest; raise ValueError naming what is wrong.

    Manifests written before shards kept a side name none: their shards have
    none (``"side"`` is then ``"none"`` in the result); those written before
    collections took other dimensions name none: their vectors have 384;
    a manifest names a metric only when it is not ``"ip"``.
    """
    path = os.path.join(folder, MANIFEST)
    with open_regular(path) as f:
        raw = f.read(_MAX_MANIFEST_BYTES + 1)
    where = f"manifest {path!r}"
    if len(raw) > _MAX_MANIFEST_BYTES:
        raise ValueError(f"{where} is larger than {_MAX_MANIFEST_BYTES} bytes")
    try:
        manifest = json.loads(raw)
    except (ValueError, UnicodeDecodeError) as err:
        raise ValueError(f"{where} is not valid JSON: {err}") from None
    if not isinstance(manifest, dict) or manifest.get("kind") != MANIFEST_KIND:
        raise ValueError(f"{where} does not describe a sharded collection")
    if manifest.get("version") != MANIFEST_VERSION:
        raise ValueError(f"{where} has version {manifest.get('version')!r}; this kestrix reads {MANIFEST_VERSION}")
    if manifest.get("routing") != ROUTING:
        raise ValueError(f"{where} routes ids by {manifest.get('routing')!r}, not {ROUTING!r}")
    if manifest.setdefault("side", "none") not in SIDES:
        raise ValueError(f"{where} names the side {manifest['side']!r}, not one of {', '.join(map(repr, SIDES))}")
    if manifest.setdefault("metric", "ip") not in METRICS:
        raise ValueError(f"{where} names the metric {manifest['metric']!r}, not one of {', '.join(map(repr, METRICS))}")
    dim = manifest.setdefault("dimension", DIM)
    if isinstance(dim, bool) or not isinstance(dim, int) or not 1 <= dim <= MAX_DIMENSION:
        raise ValueError(f"{where} names the dimension {dim!r}, not an int from 1 to {MAX_DIMENSION}")
    if not _is_count(manifest.get("seq")):
        raise ValueError(f"{where} has no valid batch number")
    shards = manifest.get("shards")
    if not isinstance(shards, list) or not 1 <= len(shards) <= MAX_SHARDS:
        raise ValueError(f"{where} must list 1 to {MAX_SHARDS} shards")
    for i, entry in enumerate(shards):
        # The file name is checked against the only name shard i may have, so
        # a manifest can never point a loader outside its folder.
        if (
            not isinstance(entry, dict)
            or not isinstance(entry.get("file"), str)
            or not all(_is_count(entry.get(key)) for key in ("bytes", "crc32", "seq"))
            or entry["file"] != checkpoint_name(i, entry["seq"])
            or entry["seq"] > manifest["seq"]
        ):
            raise ValueError(f"{where}: entry {i} of 'shards' is malformed")
    return manifest
