"""The store's byte form, read in one place.

``Kestrix.deserialize`` decides whether bytes are a store. What the package
needs besides the store object (the format version, the id words with their
tombstones, the insertion times, where the store's bytes end) is read here,
and only from bytes that reader has accepted. Where each array lies comes
from the native module, which writes and reads the form.
"""

import struct
from typing import NamedTuple, Tuple

from ._common import TOMBSTONE_BIT
from ._kestrix import Kestrix
from ._native import ID_WORDS_OFFSET, store_form

__all__ = ["ID_WORDS_OFFSET", "StoreForm", "read_store"]


class StoreForm(NamedTuple):
    """The layout of accepted store bytes: the slots' id words (u32), then,
    from version 2, their insertion times (f64), then their 48-byte vectors."""

    data: bytes
    version: int
    slots: int
    ids_at: int
    timestamps_at: int
    vectors_at: int
    #: Bytes the store takes from the start of ``data``; any after it are trailing.
    length: int

    def id_words(self) -> Tuple[int, ...]:
        return struct.unpack_from(f"<{self.slots}I", self.data, self.ids_at)

    def tombstoned(self) -> int:
        return sum(1 for word in self.id_words() if word & TOMBSTONE_BIT)

    def timestamps(self) -> Tuple[float, ...]:
        """Insertion times in milliseconds since 1970 (none before version 2)."""
        if self.timestamps_at == self.vectors_at:
            return ()
        return struct.unpack_from(f"<{self.slots}d", self.data, self.timestamps_at)


def read_store(data: bytes) -> Tuple[Kestrix, StoreForm]:
    """The store in ``data`` and its layout.

    Raises ValueError ("deserialize error: CorruptedData") for bytes the
    native reader refuses, and for bytes whose header disagrees with what it
    read, which would be a fault of the reader.
    """
    db = Kestrix.deserialize(data)
    form = StoreForm(bytes(data), *store_form(data))
    if len(db) != form.slots:
        raise ValueError("deserialize error: CorruptedData")
    return db, form
