"""String ids for documents added without one.

The string ids and the integer ids of the collection under them are kept by
the store's :class:`kestrix.DocumentStore`, one row per document.
"""

from __future__ import annotations

import os
from typing import List, Optional, Sequence


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
