"""Kestrix: an embedded 1-bit quantised nearest-neighbour store for embeddings of any size.

``kestrix.Collection`` is the front door for applications: unique 63-bit
document ids, upserts, batches straight from arrays, searches on many cores,
one file. ``kestrix.Kestrix`` is the exact low-level store underneath.

``kestrix.Kestrix`` is the store itself (the class of the native module
``kestrix._kestrix``). Around it:

- :func:`save` / :func:`load` keep a store in a file, written atomically;
  ``Collection.open(path)`` gives a :class:`DurableCollection`, whose every
  change is durable when its call returns;
- :func:`insert_many` / :func:`search_many` work on NumPy arrays (NumPy is
  optional and imported on first use);
- :class:`DocumentStore` keeps texts and metadata in SQLite and turns
  metadata filters into the ids they allow;
- :mod:`kestrix.langchain` is a LangChain ``VectorStore`` (needs
  ``langchain-core``);
- ``python -m kestrix`` is the command line (``demo``, ``info``, ``bench``).
"""

from ._arrays import insert_many, search_many
from ._common import DIMENSION, MAX_COLLECTION_ID, MAX_DOC_ID
from ._durable import DurableCollection
from ._files import load, save
from ._kestrix import Kestrix
from .collection import Collection
from .documents import DocumentStore

__version__ = "0.1.0"

__all__ = [
    "Collection",
    "DIMENSION",
    "DocumentStore",
    "DurableCollection",
    "MAX_COLLECTION_ID",
    "MAX_DOC_ID",
    "Kestrix",
    "insert_many",
    "load",
    "save",
    "search_many",
]
