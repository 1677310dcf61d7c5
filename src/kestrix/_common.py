"""What the package's modules share: the store's fixed numbers (defined once,
in the native core, and read from its module), the check that an argument is
a store, and the name the package is installed by."""

from ._kestrix import Kestrix
from ._native import DIMENSION, MAX_DOC_ID, MAX_DOCUMENT_ID, TOMBSTONE_BIT

__all__ = [
    "DIMENSION",
    "DISTRIBUTION",
    "MAX_COLLECTION_ID",
    "MAX_DOC_ID",
    "TOMBSTONE_BIT",
    "check_store",
    "install_hint",
]

#: The largest document id of a Collection: ids are 64-bit, and results use
#: int64 with -1 for "no answer".
MAX_COLLECTION_ID = MAX_DOCUMENT_ID
#: The name the package is installed by from the package index. The import
#: name is ``kestrix``; the index's ``kestrix`` is an unrelated project, so
#: advice to install something must never name that one.
DISTRIBUTION = "kestrix-db"


def install_hint(extra: str) -> str:
    """The command that installs this package with one of its extras."""
    return f"pip install '{DISTRIBUTION}[{extra}]'"


def check_store(db: object) -> None:
    """Raise TypeError unless ``db`` is a Kestrix store."""
    if not isinstance(db, Kestrix):
        raise TypeError(f"db must be a kestrix.Kestrix, not {type(db).__name__}")
