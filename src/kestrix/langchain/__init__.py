"""A LangChain ``VectorStore`` on a :class:`kestrix.Collection` (needs ``langchain-core``).

::

    from kestrix.langchain import KestrixVectorStore

    store = KestrixVectorStore.from_texts(texts, embeddings)   # 384-dim embeddings
    store.similarity_search("a question", k=4)
    store.max_marginal_relevance_search("a question", k=4, fetch_k=20)
    store.save_local("my-store")
    store = KestrixVectorStore.load_local("my-store", embeddings)

Documents. Texts and metadata are kept in a :class:`kestrix.DocumentStore`
(SQLite, in memory; ``store.documents``), one row per document with its
string id (given, or generated as a UUID4 string) and the integer id of its
vector in the collection (``store.store``), handed out from 0 upward, the
lowest free one first (ids of deleted documents are reused). Adding a
document under an id that is already present replaces it. Metadata is
checked before anything is embedded: JSON values only (a ``datetime``, NaN,
an integer key or a 50,000-deep list is refused with a ``ValueError`` naming
the document), so whatever is accepted saves and loads back equal.

Filters. A dict filter is the document store's filter language (``$eq $ne
$gt $gte $lt $lte $in $nin $exists $contains $like $not $and $or``), turned
into the allowed ids by one SQL query; the allowed documents are ranked as an
exact scan of the whole store ranks them, every document rescored, and only
the ``k`` returned are read from the database. A callable filter is asked
about each document in rank order. Unknown keyword arguments of the search
methods (a misspelt ``filters=``) raise ``TypeError``.

Rescoring. Each document is kept as its 48-byte code (the signs of its
embedding) and, by default, an int8 copy beside it (``side="int8"``, 388
bytes; ``"float16"``: 768; ``None``: the codes only). A search takes the
``k * oversample`` (8) best candidates by the codes and ranks them again by
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
and graph) to a new file in the folder, a copy of the document database
(SQLite's backup) to another, and then, as the commit point, atomically
replaces the manifest (``kestrix-langchain.json``, version 4: the side, and
the names and SHA-256 of both files), which earlier versions of this store
refuse rather than misread. :meth:`load_local` checks both files and that
they hold the same documents, and restores the side and the graph as saved,
without a rebuild. Folders of versions 1 to 3 (the documents listed in the
manifest) load converted into a document store, their metadata checked as
``add_texts`` checks it. Folders saved without a side, and those of the
first version (a plain Kestrix store file, which come back without a graph
until an add or ``build_index`` builds it), load with the codes only and are
searched rescored by sign vectors: nothing is embedded again unless
``load_local(folder, embeddings, side="int8")`` asks for a side, at the cost
of embedding every stored text once. A crash leaves the previous save or the
new one, whole.
Saves into one folder, from threads or processes, take turns on a lock file
(``.kestrix-langchain.lock``), and so do loads with them: a save removes the
store files of earlier saves only while no other save or load can still be
using them.
"""

try:
    import langchain_core.documents
    import langchain_core.embeddings
    import langchain_core.vectorstores  # noqa: F401
except ImportError as err:  # pragma: no cover - depends on the environment
    from .._common import install_hint

    raise ImportError(f"kestrix.langchain needs langchain-core (Python 3.10+): {install_hint('langchain')}") from err

# The store, and what callers and tests reach for by name.
from .._folders import LOCK as LOCK
from .._folders import MANIFEST as MANIFEST
from ._mmr import sign_vectors as _sign_vectors  # noqa: F401 (the tests' sign-vector oracle)
from ._store import KestrixVectorStore

__all__ = ["KestrixVectorStore"]
