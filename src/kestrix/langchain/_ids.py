"""The store's documents by string id, and the integer ids under them.

Each string id is mapped to an integer document id of the collection,
allocated from 0 upward (ids of deleted documents are reused), so every one
stays below 2**31.
"""

from __future__ import annotations

import contextlib
import gc
import os
from typing import Any, Dict, Iterator, List, Optional, Sequence

from .._common import MAX_DOC_ID


class Entry:
    __slots__ = ("doc_id", "text", "metadata")

    def __init__(self, doc_id: int, text: str, metadata: Dict[str, Any]) -> None:
        self.doc_id = doc_id
        self.text = text
        self.metadata = metadata


def _exhausted() -> RuntimeError:
    return RuntimeError(f"no free document id: the store has handed out all {MAX_DOC_ID + 1}")


class IdMap:
    """Documents by string id, the string id of every integer id, and the
    integer ids free for the next documents."""

    def __init__(self) -> None:
        self.entries: Dict[str, Entry] = {}
        self.by_doc_id: Dict[int, str] = {}
        self.next_doc_id = 0
        self.free_doc_ids: List[int] = []

    def __len__(self) -> int:
        return len(self.entries)

    def _allocate(self) -> int:
        if self.free_doc_ids:
            return self.free_doc_ids.pop()
        if self.next_doc_id > MAX_DOC_ID:
            raise _exhausted()
        doc_id = self.next_doc_id
        self.next_doc_id += 1
        return doc_id

    @contextlib.contextmanager
    def allocating(self, ids: Sequence[str]) -> Iterator[List[int]]:
        """The integer ids of ``ids``: a present document's own, a new one for
        the others. Should the block fail, the new ones go back unused.

        Every id the batch needs is checked to be there before any is taken.
        """
        fresh = sum(1 for id_ in ids if id_ not in self.entries)
        if fresh > len(self.free_doc_ids) + (MAX_DOC_ID + 1 - self.next_doc_id):
            raise _exhausted()
        free_before, next_before = list(self.free_doc_ids), self.next_doc_id
        try:
            yield [entry.doc_id if entry is not None else self._allocate() for entry in map(self.entries.get, ids)]
        except BaseException:
            self.free_doc_ids, self.next_doc_id = free_before, next_before
            raise

    def book(self, id_: str, entry: Entry) -> None:
        self.entries[id_] = entry
        self.by_doc_id[entry.doc_id] = id_

    def remove(self, id_: str) -> Optional[int]:
        """Forget ``id_``; its integer id (now free), or None if unknown."""
        entry = self.entries.pop(id_, None)
        if entry is None:
            return None
        del self.by_doc_id[entry.doc_id]
        self.free_doc_ids.append(entry.doc_id)
        return entry.doc_id

    def documents(self) -> List[Dict[str, Any]]:
        """Every document as the manifest lists it."""
        return [
            {"id": id_, "doc_id": e.doc_id, "text": e.text, "metadata": e.metadata} for id_, e in self.entries.items()
        ]

    def state(self) -> Dict[str, Any]:
        """What the manifest keeps of the allocation besides the documents."""
        return {"next_doc_id": self.next_doc_id, "free_doc_ids": list(self.free_doc_ids)}

    @classmethod
    def from_manifest(cls, manifest: Dict[str, Any]) -> IdMap:
        """The map a checked manifest describes."""
        ids = cls()
        with collector_paused():
            for doc in manifest["documents"]:
                ids.book(doc["id"], Entry(doc["doc_id"], doc["text"], doc["metadata"]))
        ids.next_doc_id = manifest["next_doc_id"]
        ids.free_doc_ids = list(manifest["free_doc_ids"])
        return ids


@contextlib.contextmanager
def collector_paused() -> Iterator[None]:
    """Pause the cyclic garbage collector while a batch is booked.

    A batch allocates a dict and an entry per document, and every few
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


def with_fresh_ids(ids: Sequence[Optional[str]]) -> List[str]:
    """``ids`` with a random (version 4) UUID string for each missing one.

    Written out from one read of the system's random source: building a
    ``uuid.UUID`` per document took longer than storing 100,000 of them.
    """
    missing = sum(1 for id_ in ids if not id_)
    digits = os.urandom(16 * missing).hex()
    out = []
    at = 0
    for id_ in ids:
        if id_:
            out.append(id_)
            continue
        h = digits[at : at + 32]
        at += 32
        # Version 4 in the 13th digit, the variant bits 10 in the 17th.
        variant = "89ab"[int(h[16], 16) & 3]
        out.append(f"{h[:8]}-{h[8:12]}-4{h[13:16]}-{variant}{h[17:20]}-{h[20:]}")
    return out
