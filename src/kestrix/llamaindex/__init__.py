"""A LlamaIndex vector store on a :class:`kestrix.Collection` (needs ``llama-index-core``).

::

    from llama_index.core import StorageContext, VectorStoreIndex
    from kestrix.llamaindex import KestrixVectorStore

    store = KestrixVectorStore()                          # 384-dim embeddings
    index = VectorStoreIndex(nodes, storage_context=StorageContext.from_defaults(vector_store=store))
    index.storage_context.persist("storage")              # storage/default__vector_store.json, ...
    store = KestrixVectorStore.from_persist_dir("storage")
    index = VectorStoreIndex.from_vector_store(store)

Nodes. The store keeps each node's text and metadata (and the rest of the
node, as LlamaIndex's stores keep it in ``_node_content``) in a
:class:`kestrix.DocumentStore` under the node id, and its embedding in a
collection with an int8 side, so ``stores_text`` is True and an index needs
no document store of its own. Adding a node whose id is present replaces
it; a batch is checked whole (embeddings of 384 floats, metadata of JSON
values) and goes in whole or not at all.

Queries. ``query`` answers ``VectorStoreQuery`` in the default mode: the
``similarity_top_k`` nearest nodes, rescored, with their cosines as
similarities; ``filters`` (``MetadataFilters``, see
:mod:`kestrix.llamaindex._filters` for the operators), ``node_ids`` and
``doc_ids`` narrow it, through one SQL query that yields the allowed ids.

Files. ``persist(path)`` writes a manifest at ``path`` and the collection
file and a copy of the document database beside it, committed by the
atomic replacement of the manifest; ``from_persist_path`` and
``from_persist_dir`` check everything before use. ``kestrix info`` reads
them.
"""

try:
    import llama_index.core.vector_stores.types  # noqa: F401
except ImportError as err:  # pragma: no cover - depends on the environment
    from .._common import install_hint

    raise ImportError(f"kestrix.llamaindex needs llama-index-core: {install_hint('llamaindex')}") from err

from ._store import KestrixVectorStore

__all__ = ["KestrixVectorStore"]
