"""The files of a sharded collection: manifest, shard checkpoints, write-ahead logs.

One folder holds one sharded collection::

    manifest.json                           shard count, id routing, the files of the last save
    shard-0003.00000000000000000042.kxc     shard 3 as saved after batch 42 (a Collection file)
    shard-0003.wal                          every batch shard 3 applied since that save

Every write batch has a number, counted by the driver from 1. A shard appends
the batch to its log and fsyncs it before it applies it, and the driver
acknowledges a batch only once every shard has done so; a shard restarted
after a crash loads its newest readable checkpoint and re-applies the logged
batches numbered above it, so nothing acknowledged is lost.

The checkpoint's name carries the number of the last batch it holds, and the
log's header the number of the checkpoint it continues. A save writes the new
checkpoint first and then replaces the log; a crash between the two leaves
both the new checkpoint and the old log, and the numbers tell recovery to skip
the logged batches the checkpoint already holds (re-applying an upsert would
move its document to a newer slot and change how ties are ordered).

A checkpoint keeps the shard's graph (a collection file holds it). The log's
header also says whether the shard had one at the save and with which
parameters (m = 0: none), so recovery builds it again after loading a
checkpoint written without it (by an earlier version).

Log layout, little-endian: a 24-byte header (``KXWAL001``, u64 checkpoint
batch number, u32 m, u32 ef_construction), then records: ``KXRB``, u32 payload length, u32 CRC-32 of the
payload, payload. Payload: u64 batch number, u8 operation, 3 zero bytes, u32
count, then for an add ``count`` int64 ids and ``count x 384`` float32
components, for a delete ``count`` int64 ids, for an index build u32 m and u32
ef_construction. A reader checks every length against the bytes present
before it reads, and the CRC before it decodes.
"""

import json
import os
import re
import struct
import zlib
from typing import Any, Dict, Iterator, List, NamedTuple, Optional, Tuple

from .._common import DIMENSION as DIM
from .._files import atomic_write_bytes

MANIFEST = "manifest.json"
MANIFEST_KIND = "kestrix sharded collection"
MANIFEST_VERSION = 1
ROUTING = "splitmix64(id) mod shards"
# Far above any real deployment, and small enough that a forged manifest
# cannot make a loader start an absurd number of actors.
MAX_SHARDS = 4096
_MAX_MANIFEST_BYTES = 1 << 20

WAL_MAGIC = b"KXWAL001"
_WAL_HEADER = struct.Struct("<8sQII")
_RECORD_MAGIC = b"KXRB"
_RECORD_HEADER = struct.Struct("<4sII")
_PAYLOAD_HEADER = struct.Struct("<QB3xI")

OP_ADD = 1
OP_DELETE = 2
OP_BUILD = 3
OP_NAMES = {OP_ADD: "add", OP_DELETE: "delete", OP_BUILD: "build_index"}

_CHECKPOINT = re.compile(r"shard-(\d{4})\.(\d{20})\.kxc")


class Record(NamedTuple):
    seq: int
    op: int
    ids: Any  # int64 array (add, delete) or None
    vectors: Any  # float32 (n, 384) array (add) or None
    params: Tuple[int, ...]  # (m, ef_construction) for a build


def checkpoint_name(shard: int, seq: int) -> str:
    return f"shard-{shard:04d}.{seq:020d}.kxc"


def wal_name(shard: int) -> str:
    return f"shard-{shard:04d}.wal"


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
    with open(path, "rb") as f:
        while True:
            block = f.read(1 << 20)
            if not block:
                return size, crc
            size += len(block)
            crc = zlib.crc32(block, crc)


# --- write-ahead log ----------------------------------------------------------


def encode_record(seq: int, op: int, ids: Any = None, vectors: Any = None, params: Tuple[int, ...] = ()) -> bytes:
    if op == OP_BUILD:
        count, body = 0, struct.pack("<II", *params)
    else:
        count = int(ids.shape[0])
        body = ids.astype("<i8", copy=False).tobytes()
        if op == OP_ADD:
            body += vectors.astype("<f4", copy=False).tobytes()
    payload = _PAYLOAD_HEADER.pack(seq, op, count) + body
    return _RECORD_HEADER.pack(_RECORD_MAGIC, len(payload), zlib.crc32(payload)) + payload


def _decode_payload(payload: bytes) -> Optional[Record]:
    import numpy as np

    if len(payload) < _PAYLOAD_HEADER.size:
        return None
    seq, op, count = _PAYLOAD_HEADER.unpack_from(payload)
    body = memoryview(payload)[_PAYLOAD_HEADER.size :]
    if op == OP_BUILD:
        if count != 0 or len(body) != 8:
            return None
        return Record(seq, op, None, None, struct.unpack("<II", body))
    if op not in (OP_ADD, OP_DELETE):
        return None
    row = 8 + (4 * DIM if op == OP_ADD else 0)
    if len(body) != count * row:
        return None
    ids = np.frombuffer(body, dtype="<i8", count=count).astype(np.int64)
    vectors = None
    if op == OP_ADD:
        vectors = np.frombuffer(body, dtype="<f4", offset=8 * count).astype(np.float32).reshape(count, DIM)
    return Record(seq, op, ids, vectors, ())


def _all_zero(block: bytes) -> bool:
    return block.count(0) == len(block)


class LogReader:
    """Reads a shard's log, one record in memory at a time.

    ``base`` is None when the file has no valid header. After ``records()`` is
    exhausted, ``valid_bytes`` is the length of the readable prefix,
    ``torn_tail`` says the last record was incomplete (a write that never
    finished, so a batch never acknowledged) and ``damaged_bytes`` counts the
    bytes from a damaged record on, when more data followed it.
    """

    def __init__(self, path: str) -> None:
        self._path = path
        self.size = os.path.getsize(path)
        with open(path, "rb") as f:
            header = f.read(_WAL_HEADER.size)
        self.base: Optional[int] = None
        self.index_params: Tuple[int, int] = (0, 0)
        if len(header) == _WAL_HEADER.size and header[:8] == WAL_MAGIC:
            _, self.base, m, ef_construction = _WAL_HEADER.unpack(header)
            self.index_params = (m, ef_construction)
        self.valid_bytes = _WAL_HEADER.size
        self.torn_tail = False
        self.damaged_bytes = 0

    def records(self) -> Iterator[Record]:
        if self.base is None:
            return
        size = self.size
        with open(self._path, "rb") as f:
            pos = f.seek(_WAL_HEADER.size)
            while pos < size:
                head = f.read(_RECORD_HEADER.size)
                if len(head) < _RECORD_HEADER.size:
                    self.torn_tail = True
                    return
                magic, length, crc = _RECORD_HEADER.unpack(head)
                end = pos + _RECORD_HEADER.size + length
                if magic != _RECORD_MAGIC:
                    # Space the file system extended but never wrote reads as
                    # zeros; anything else cannot be located again.
                    if _all_zero(head) and all(_all_zero(block) for block in iter(lambda: f.read(1 << 20), b"")):
                        self.torn_tail = True
                    else:
                        self.damaged_bytes = size - pos
                    return
                if end > size:
                    self.torn_tail = True
                    return
                payload = f.read(length)
                record = _decode_payload(payload) if zlib.crc32(payload) == crc else None
                if record is None:
                    # Only the last record can be a write cut short by a crash.
                    if end == size:
                        self.torn_tail = True
                    else:
                        self.damaged_bytes = size - pos
                    return
                pos = self.valid_bytes = end
                yield record


def reset_log(path: str, base: int, index_params: Tuple[int, int] = (0, 0)) -> None:
    """Replace the log at ``path`` with an empty one continuing checkpoint ``base``
    (whose shard had a graph built with ``index_params`` = (m, ef_construction), or (0, 0))."""
    atomic_write_bytes(path, _WAL_HEADER.pack(WAL_MAGIC, base, *index_params))


def truncate_file(path: str, length: int) -> None:
    fd = os.open(path, os.O_WRONLY | getattr(os, "O_BINARY", 0))
    try:
        os.ftruncate(fd, length)
        os.fsync(fd)
    finally:
        os.close(fd)


class AppendLog:
    """The open end of a shard's log: each append is on disk before it returns."""

    def __init__(self, path: str) -> None:
        self._path = path
        self._fd = os.open(path, os.O_WRONLY | os.O_APPEND | getattr(os, "O_BINARY", 0))

    def append(self, record: bytes) -> int:
        """Write and fsync ``record``; return the log's length before it."""
        start = os.lseek(self._fd, 0, os.SEEK_END)
        try:
            view = memoryview(record)
            while view:
                view = view[os.write(self._fd, view) :]
            os.fsync(self._fd)
        except BaseException:
            self.truncate(start)
            raise
        return start

    def truncate(self, length: int) -> None:
        """Cut the log back to ``length`` bytes (drops a record whose batch failed)."""
        os.ftruncate(self._fd, length)
        os.fsync(self._fd)

    def close(self) -> None:
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1


# --- manifest -----------------------------------------------------------------


def write_manifest(folder: str, seq: int, files: List[Dict[str, Any]]) -> None:
    manifest = {
        "kind": MANIFEST_KIND,
        "version": MANIFEST_VERSION,
        "routing": ROUTING,
        "seq": seq,
        "shards": files,
    }
    atomic_write_bytes(os.path.join(folder, MANIFEST), json.dumps(manifest, indent=1).encode())


def _is_count(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and 0 <= value < 2**64


def read_manifest(folder: str) -> Dict[str, Any]:
    """Read and check ``folder``'s manifest; raise ValueError naming what is wrong."""
    path = os.path.join(folder, MANIFEST)
    with open(path, "rb") as f:
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
