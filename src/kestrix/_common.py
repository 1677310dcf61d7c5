"""What the package's modules share: the store's fixed numbers (defined once,
in the native core, and read from its module) and the check that an argument
is a store."""

from ._kestrix import Kestrix
from ._native import DIMENSION, MAX_DOC_ID, MAX_DOCUMENT_ID, TOMBSTONE_BIT

__all__ = ["DIMENSION", "MAX_COLLECTION_ID", "MAX_DOC_ID", "TOMBSTONE_BIT", "check_store"]

#: The largest document id of a Collection: ids are 64-bit, and results use
#: int64 with -1 for "no answer".
MAX_COLLECTION_ID = MAX_DOCUMENT_ID


def check_store(db: object) -> None:
    """Raise TypeError unless ``db`` is a Kestrix store."""
    if not isinstance(db, Kestrix):
        raise TypeError(f"db must be a kestrix.Kestrix, not {type(db).__name__}")
