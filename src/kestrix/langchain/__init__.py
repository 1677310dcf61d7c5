"""A LangChain ``VectorStore`` on a :class:`kestrix.Collection` (needs ``langchain-core``).

::

    from kestrix.langchain import KestrixVectorStore

    store = KestrixVectorStore.from_texts(texts, embeddings)   # 384-dim embeddings
    store.similarity_search("a question", k=4)
    store.max_marginal_relevance_search("a question", k=4, fetch_k=20)
    store.save_local("my-store")
    store = KestrixVectorStore.load_local("my-store", embeddings)

Ids. Documents are addressed by string ids (given, or generated as UUID4
strings). Each string id is mapped to an integer document id of the
collection, allocated here from 0 upward (ids of deleted documents are
reused), so every one stays below 2**31. Adding a document under an id that
is already present replaces it.

Rescoring. Each document is kept as its 48-byte code (the signs of its
embedding) and, by default, an int8 copy beside it (``side="int8"``, 388
bytes; ``"float16"``: 768; ``None``: the codes only). A search takes the
``k * oversample`` (24) best candidates by the codes and ranks them again by
the inner product s of the query with their side vectors (the cosine, for
unit-length embeddings). A store without a side ranks them by s with the
codes' own unit sign vectors (+-1/sqrt(384) a component): no memory, a
smaller gain. ``rescore=False`` keeps the codes' own ranking. Filtered
searches rescore every document.

Scores. ``similarity_search_with_score`` returns ``(1 + s) / 2``, computed in
float64 from the collection's float32 s, unrounded: 1.0 for the same
direction, about 0.5 for unrelated vectors, 0.0 for opposite ones. Without
rescoring it is the codes' ``1 - hamming / 384``, which is exactly (1 + the
cosine of the two sign vectors) / 2: one scale either way. For unit-length
embeddings it lies in [0, 1] up to the side's rounding (with an int8 side a
document's own text can score a little above 1.0, about 1.0004); embeddings
of other lengths carry it further out. The relevance score is the score
clamped to [0, 1].

MMR. ``max_marginal_relevance_search`` (and ``..._by_vector``, and their
async forms) take the ``fetch_k`` best documents of the rescored, filtered
search and choose ``k`` of them by maximal marginal relevance, measuring
similarity on the vectors the store keeps: the side's, or the sign vectors.
It needs NumPy.

The index rule. Every search reflects every change made before it, and no
search ever waits for a build. The HNSW graph is built by the add that
leaves the store with at least ``index_min_size`` documents and no graph
(that call includes the build, and reports it to ``progress``); later adds
extend it by their documents only; deletes and replacements keep it, their
old nodes staying as waypoints a search walks through and never returns.
Below ``index_min_size`` documents a search is an exact scan. The graph is
rebuilt only by :meth:`KestrixVectorStore.build_index`, or by a change once
deleted nodes exceed ``rebuild_fraction`` of the graph (``None``, the
default: never). Deleted slots of a store without a graph are compacted away
when they outnumber the live ones.

Files. :meth:`save_local` writes the collection (store, integer ids, side
and graph) to a new file in the folder and then, as the commit point,
atomically replaces the manifest (``kestrix-langchain.json``: ids, texts,
metadata, the side, and the name and SHA-256 of the collection file). A
store with a side writes manifest version 3, which earlier versions of this
store refuse rather than misread; a codes-only store still writes version 2.
:meth:`load_local` restores the side and the graph as saved, without a
rebuild. Folders saved without a side, and those of the first version (a
plain Kestrix store file, which come back without a graph until an add or
``build_index`` builds it), load with the codes only and are searched
rescored by sign vectors: nothing is embedded again unless
``load_local(folder, embeddings, side="int8")`` asks for a side, at the cost
of embedding every stored text once. A crash leaves the previous save or the
new one, whole.
Saves into one folder, from threads or processes, take turns on a lock file
(``.kestrix-langchain.lock``), and so do loads with them: a save removes the
store files of earlier saves only while no other save or load can still be
using them.
Metadata must be JSON-serialisable; tuples come back as lists.
"""

try:
    import langchain_core.documents
    import langchain_core.embeddings
    import langchain_core.vectorstores  # noqa: F401
except ImportError as err:  # pragma: no cover - depends on the environment
    raise ImportError(
        "kestrix.langchain needs langchain-core (Python 3.10+): pip install 'kestrix[langchain]'"
    ) from err

# The store, and what callers and tests reach for by name.
from ._folder import LOCK as LOCK
from ._folder import MANIFEST as MANIFEST
from ._mmr import sign_vectors as _sign_vectors  # noqa: F401 (the tests' sign-vector oracle)
from ._store import KestrixVectorStore

__all__ = ["KestrixVectorStore"]
