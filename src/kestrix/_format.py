"""The store's byte form, read in one place.

``Kestrix.deserialize`` decides whether bytes are a store. What the package
needs besides the store object (the format version, the id words with their
tombstones, the insertion times, where the store's bytes end) is read here,
and only from bytes that reader has accepted.
"""

import struct
from typing import NamedTuple, Tuple

from ._common import TOMBSTONE_BIT
from ._kestrix import Kestrix

__all__ = ["ID_WORDS_OFFSET", "StoreForm", "read_store"]

# Magic, format version, slot count; then the slots' id words (u32), their
# vectors (48 bytes) and, from version 2, their insertion times (f64).
_HEADER = struct.Struct("<4sII")
_ID_WORD = 4
_VECTOR = 48
_TIMESTAMP = 8
#: Where the id words start, for readers that take them straight from bytes.
ID_WORDS_OFFSET = _HEADER.size


class StoreForm(NamedTuple):
    """The layout of accepted store bytes."""

    data: bytes
    version: int
    slots: int

    @property
    def length(self) -> int:
        """Bytes the store takes from the start of ``data``; any after it are trailing."""
        row = _ID_WORD + _VECTOR + (_TIMESTAMP if self.version == 2 else 0)
        return _HEADER.size + row * self.slots

    def id_words(self) -> Tuple[int, ...]:
        return struct.unpack_from(f"<{self.slots}I", self.data, _HEADER.size)

    def tombstoned(self) -> int:
        return sum(1 for word in self.id_words() if word & TOMBSTONE_BIT)

    def timestamps(self) -> Tuple[float, ...]:
        """Insertion times in milliseconds since 1970 (none before version 2)."""
        if self.version != 2:
            return ()
        return struct.unpack_from(f"<{self.slots}d", self.data, _HEADER.size + _ID_WORD * self.slots)


def read_store(data: bytes) -> Tuple[Kestrix, StoreForm]:
    """The store in ``data`` and its layout.

    Raises ValueError ("deserialize error: CorruptedData") for bytes the
    native reader refuses, and for bytes whose header disagrees with what it
    read, which would be a fault of the reader.
    """
    db = Kestrix.deserialize(data)
    _, version, slots = _HEADER.unpack_from(data, 0)
    if len(db) != slots:
        raise ValueError("deserialize error: CorruptedData")
    return db, StoreForm(bytes(data), version, slots)
