"""Collections sharded over Ray: one :class:`kestrix.Collection` per Ray actor.

``pip install "kestrix-db[ray]"``. A :class:`ShardedCollection` lives in a folder
that every actor can reach (a local folder on one machine, a shared file
system on a cluster). Each shard is a ``Collection`` held by a Ray actor whose
thread pool has as many threads as the CPUs Ray gives the actor.

Routing
    Document ``id`` lives on shard ``splitmix64(id) mod shards`` (:func:`shard_of`:
    the 64-bit finaliser of SplitMix64 over the id as an unsigned 64-bit
    integer). It depends on nothing but the id and the shard count, so an
    upsert or a delete always reaches the shard that holds the document, on
    any machine and in any process.

Side
    ``ShardedCollection(folder, side="int8")`` (or ``"float16"``) gives every
    shard a rescoring side, as :class:`kestrix.Collection` keeps one; the
    manifest records it, and a load checks every shard's checkpoint against
    it. Folders saved before shards kept a side load without one.

Writes
    ``add`` and ``delete`` are checked whole on the caller's side first (a
    refused batch changes nothing), then split by shard and sent to the shards
    in parallel. Each shard appends its part to its write-ahead log and fsyncs
    it before applying it; the call returns once every shard has. If a shard
    fails, :class:`ShardWriteError` says which shards applied the batch and
    which did not. Sending the same batch again is always safe: an add
    replaces, a delete ignores ids that are gone.

Search
    ``search`` takes :meth:`kestrix.Collection.search`'s options and checks
    them as it does. The query goes to every shard in parallel; each returns
    its own top ``k`` with the distance of each answer, and the answers are
    merged into one top ``k``: by distance, or by the rescored score when the
    search rescores (with a side, by default). With ``exact=True`` and no
    rescoring the merged answer has exactly the distances one collection
    holding every document would give; a rescored exact one ranks the
    ``k * oversample`` best candidates of each shard, which hold every
    candidate one collection would rank. Ties are broken by shard number,
    then by the order within the shard (for equal distances the lower slot,
    i.e. the earlier insertion, first), so equal contents give equal
    answers. Without ``exact``, each shard searches its own graph (or scans
    while it has none).

Files and failures
    ``save()`` checkpoints every shard into the folder and writes the manifest
    atomically; ``save(other_folder)`` writes a complete copy there, which
    :meth:`ShardedCollection.load` opens on another cluster. An actor that
    dies is restarted by Ray from its last checkpoint plus its log, so nothing
    acknowledged is lost; whatever could not be recovered (a damaged or
    missing file) is named, by log record, in
    :attr:`ShardedCollection.recoveries` and a :class:`ShardRecoveryWarning`,
    and a damaged file is kept aside.

One ``ShardedCollection`` object writes to a folder at a time.
"""

try:
    import numpy  # noqa: F401
    import ray  # noqa: F401
except ImportError as _err:  # pragma: no cover - depends on the installation
    from .._common import install_hint

    raise ImportError(f"kestrix.distributed needs Ray and NumPy: {install_hint('ray')} ({_err})") from _err

# DIM and MAX_ID: names the module has always had, for the native constants.
from .._common import DIMENSION as DIM  # noqa: F401
from .._common import MAX_COLLECTION_ID as MAX_ID  # noqa: F401
from ._driver import ShardedCollection
from ._errors import ShardRecoveryWarning, ShardWriteError
from ._routing import merge_top_k as merge_top_k
from ._routing import shard_of
from ._shard import Recovery

__all__ = ["ShardedCollection", "ShardWriteError", "ShardRecoveryWarning", "Recovery", "shard_of"]
