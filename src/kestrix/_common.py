"""What the package's modules share: the store's fixed numbers and the check
that an argument is a store."""

from ._kestrix import Kestrix

__all__ = ["DIMENSION", "MAX_COLLECTION_ID", "MAX_DOC_ID", "TOMBSTONE_BIT", "check_store"]

#: Components of every vector the store takes.
DIMENSION = 384
#: The largest document id: the id word's top bit marks a deleted slot.
MAX_DOC_ID = 2**31 - 1
TOMBSTONE_BIT = 0x80000000
#: The largest document id of a Collection: ids are 64-bit, and results use
#: int64 with -1 for "no answer".
MAX_COLLECTION_ID = 2**63 - 1


def check_store(db: object) -> None:
    """Raise TypeError unless ``db`` is a Kestrix store."""
    if not isinstance(db, Kestrix):
        raise TypeError(f"db must be a kestrix.Kestrix, not {type(db).__name__}")
