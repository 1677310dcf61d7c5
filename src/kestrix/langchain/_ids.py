"""String ids for documents added without one, and the collector paused
while a large batch is booked.

The string ids and the integer ids of the collection under them are kept by
the store's :class:`kestrix.DocumentStore`, one row per document.
"""

from __future__ import annotations

import contextlib
import gc
import os
from typing import Iterator, List, Optional, Sequence


@contextlib.contextmanager
def collector_paused() -> Iterator[None]:
    """Pause the cyclic garbage collector while a batch is booked.

    A batch allocates several objects per document, and every few
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
