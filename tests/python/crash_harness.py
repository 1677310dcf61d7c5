"""One crash-and-recover harness for every user of the write-ahead log.

A child process opens a folder (recovering it), makes a stream of numbered
writes and prints ``ack N`` once write N has returned, that is once it is
durable. The parent kills it with SIGKILL at a random moment, opens the
folder itself and compares what it holds with the same writes made on a
model in plain Python: it must hold exactly the acknowledged writes, or those
and the write in flight, whole. The next round goes on from what was
recovered. Last, a save (a checkpoint) must leave no temporary file behind.

The users: a durable collection (``Collection.open``), the LangChain store's
persistent mode, and one shard of a sharded collection driven through its
``_Shard`` class without Ray. ``python bench/crash.py`` runs it many times.
"""

import os
import random
import signal
import subprocess
import sys
import time
from typing import Any, Dict, List, NamedTuple, Optional, Tuple

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
DIM = 384
IDS = 200  # writes draw ids from 0..IDS-1, so adds replace and deletes find


def plan(i: int) -> Tuple[Any, ...]:
    """Write number ``i`` (from 1) of every stream: the same in the child and
    the parent."""
    rng = np.random.default_rng(i)
    turn = i % 13
    if turn == 5:
        return ("build",)
    if turn == 9:
        return ("compact",)
    if turn in (3, 11):
        return ("checkpoint",)
    if turn in (2, 7):
        return ("delete", rng.choice(IDS, 4, replace=False))
    n = int(rng.integers(1, 40))
    return ("add", rng.choice(IDS, n, replace=False), rng.standard_normal((n, DIM)).astype(np.float32))


def code_of(row: Any) -> bytes:
    """The stored code of a float row: bit c of word c // 32 set when component c > 0."""
    return np.packbits(np.asarray(row) > 0, bitorder="little").tobytes()


class Model:
    """The writes made in plain Python: live ids in slot order with their
    codes, and whether a graph stands (a build makes one; a compaction that
    frees a slot drops it)."""

    def __init__(self) -> None:
        self.codes: Dict[int, bytes] = {}
        self.graph = False
        self.dead = 0

    def copy(self) -> "Model":
        other = Model()
        other.codes, other.graph, other.dead = dict(self.codes), self.graph, self.dead
        return other

    def apply(self, op: Tuple[Any, ...], graphs: bool = True, compacts: bool = True) -> None:
        kind = op[0]
        if kind == "add":
            for doc, row in zip(op[1].tolist(), op[2]):
                self.dead += doc in self.codes
                self.codes.pop(doc, None)
                self.codes[doc] = code_of(row)
        elif kind == "delete":
            for doc in op[1].tolist():
                if self.codes.pop(doc, None) is not None:
                    self.dead += 1
        elif kind == "build" and graphs:
            self.graph = True
        elif kind == "compact" and compacts and self.dead:
            self.graph, self.dead = False, 0

    def state(self) -> Tuple[Any, ...]:
        return (list(self.codes.items()), self.graph)


def collection_state(col: Any) -> Tuple[Any, ...]:
    ids = [int(doc) for doc in col.ids()]
    codes = [bytes(bytearray(row)) for row in col.get(ids)] if ids else []
    return (list(zip(ids, codes)), bool(col.has_index()))


# ---------------------------------------------------------------- the users


class DurableCollection:
    """``Collection.open``: every write of the plan, checkpoints included."""

    name = "durable collection"
    graphs, compacts = True, True
    steps: Dict[str, Tuple[str, ...]] = {}

    def __init__(self, folder: str) -> None:
        from kestrix import Collection

        self.col = Collection.open(folder, side="int8")

    def apply(self, i: int, op: Tuple[Any, ...]) -> None:
        kind, col = op[0], self.col
        if kind == "add":
            col.add(op[1], op[2])
        elif kind == "delete":
            col.delete(op[1])
        elif kind == "build":
            col.build_index(m=8, ef_construction=32)
        elif kind == "compact":
            col.compact()
        else:
            col.checkpoint()

    def state(self) -> Tuple[Any, ...]:
        return collection_state(self.col)

    def save(self) -> None:
        self.col.checkpoint()

    def close(self) -> None:
        self.col.close()


class _Vectors:
    """Embeddings for the LangChain store that nothing here asks for: the
    writes bring their vectors."""

    def embed_documents(self, texts: List[str]) -> List[List[float]]:
        raise AssertionError("the harness gives every vector")

    def embed_query(self, text: str) -> List[float]:
        raise AssertionError("the harness asks nothing")


class LangChainStore:
    """``KestrixVectorStore(persist_directory=...)``: adds and deletes of
    documents under string keys; a build (which compacts first) and
    checkpoints of its vectors."""

    name = "LangChain persistent store"
    graphs, compacts = True, False
    # build_index() compacts, then builds: two changes, each whole. Cut
    # between them, it leaves the compaction (no graph); the next add that
    # finds the store large enough builds it again.
    steps = {"build": ("compact",)}

    def __init__(self, folder: str) -> None:
        from langchain_core.embeddings import Embeddings

        from kestrix.langchain import KestrixVectorStore

        embeddings = type("HarnessEmbeddings", (_Vectors, Embeddings), {})()
        self.store = KestrixVectorStore(embeddings, persist_directory=folder, index_min_size=10**9)

    def apply(self, i: int, op: Tuple[Any, ...]) -> None:
        kind = op[0]
        if kind == "add":
            pairs = [(f"text {doc} of write {i}", row.tolist()) for doc, row in zip(op[1].tolist(), op[2])]
            self.store.add_embeddings(pairs, ids=[f"k{doc}" for doc in op[1].tolist()])
        elif kind == "delete":
            self.store.delete([f"k{doc}" for doc in op[1].tolist()])
        elif kind == "build":
            self.store.build_index()
        elif kind == "checkpoint":
            self.store.store.checkpoint()

    def state(self) -> Tuple[Any, ...]:
        store = self.store
        # The invariant of the mode: every document has its vector and no
        # vector is without its document.
        assert sorted(int(d) for d in store.store.ids()) == sorted(int(d) for d in store.documents.ids())
        keys = {record.doc_id: int(record.key[1:]) for record in store.documents}
        slots, graph = collection_state(store.store)
        return ([(keys[doc], code) for doc, code in slots], graph)

    def save(self) -> None:
        self.store.store.checkpoint()

    def close(self) -> None:
        self.store.close()


class Shard:
    """One shard (``_Shard``, without Ray): adds, deletes and builds as
    numbered batches; a checkpoint is its save."""

    name = "sharded collection's shard"
    graphs, compacts = True, False
    steps: Dict[str, Tuple[str, ...]] = {}

    def __init__(self, folder: str) -> None:
        from kestrix.distributed import _shard

        _shard._assigned_threads = lambda: 1  # outside an actor: no Ray runtime to ask
        self.shard = _shard._Shard(folder, 0)

    def apply(self, i: int, op: Tuple[Any, ...]) -> None:
        from kestrix.distributed import _files as files

        kind = op[0]
        if kind == "add":
            self.shard.write(i, files.OP_ADD, op[1].astype(np.int64), op[2], ())
        elif kind == "delete":
            self.shard.write(i, files.OP_DELETE, op[1].astype(np.int64), None, ())
        elif kind == "build":
            self.shard.write(i, files.OP_BUILD, None, None, (8, 32))
        elif kind == "checkpoint":
            self.shard.checkpoint(i)

    def state(self) -> Tuple[Any, ...]:
        return collection_state(self.shard._col)

    def save(self) -> None:
        self.shard.checkpoint(self.shard._last_seq)

    def close(self) -> None:
        self.shard.close()


USERS = {user.__name__: user for user in (DurableCollection, LangChainStore, Shard)}

_CHILD = """
import sys
sys.path.insert(0, sys.argv[4])
import crash_harness as h
user = h.USERS[sys.argv[1]](sys.argv[2])
print("ready", flush=True)
i = int(sys.argv[3])
while True:
    user.apply(i, h.plan(i))
    print("ack", i, flush=True)
    i += 1
"""


class Outcome(NamedTuple):
    kills: int
    acknowledged: int  # writes acknowledged over all rounds
    in_flight_kept: int  # rounds whose write in flight was found whole
    seconds: float


def _temporaries(folder: str) -> List[str]:
    return [name for _, _, names in os.walk(folder) for name in names if name.endswith(".tmp")]


def run(user: str, folder: str, kills: int, seed: int = 0, max_delay: float = 0.6) -> Outcome:
    """``kills`` rounds of writing and killing in ``folder``; raises
    AssertionError at the first round whose recovered state is not that of
    the acknowledged writes (with or without the one in flight)."""
    kind = USERS[user]
    rng = random.Random(seed)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    model = Model()
    start, acknowledged, kept = 1, 0, 0
    began = time.perf_counter()
    for round_ in range(kills):
        child = subprocess.Popen(
            [sys.executable, "-c", _CHILD, user, folder, str(start), HERE],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=env,
        )
        assert child.stdout is not None and child.stderr is not None
        ready = child.stdout.readline()
        if ready.strip() != b"ready":
            child.kill()
            raise AssertionError(f"{kind.name}: the child did not start: {child.stderr.read().decode()}")
        time.sleep(rng.uniform(0.0, max_delay))
        child.send_signal(signal.SIGKILL)
        out, err = child.communicate()
        acks = [int(line.split()[1]) for line in out.decode().splitlines() if line.startswith("ack ")]
        assert acks == list(range(start, start + len(acks))), f"{kind.name}: acknowledgements out of order"
        last = start + len(acks) - 1
        for i in range(start, last + 1):
            model.apply(plan(i), kind.graphs, kind.compacts)
        acknowledged += len(acks)
        opened = kind(folder)
        try:
            found = opened.state()
        finally:
            opened.close()
        if found == model.state():
            start = last + 1
            continue
        # The write in flight, whole; or, for a write of several changes,
        # cut after one of them (each change is whole).
        flight = plan(last + 1)
        with_flight = model.copy()
        with_flight.apply(flight, kind.graphs, kind.compacts)
        cut = model.copy()
        for step in kind.steps.get(flight[0], ()):
            cut.apply((step,), kind.graphs, True)
        assert found in (with_flight.state(), cut.state()), (
            f"{kind.name}, round {round_}: after {last} acknowledged writes the folder holds neither them"
            f" nor them and write {last + 1} whole ({len(found[0])} documents, model {len(model.codes)})"
        )
        if found == with_flight.state():
            model, start, kept = with_flight, last + 2, kept + 1
        else:
            model, start = cut, last + 2
    opened = kind(folder)
    try:
        opened.save()
    finally:
        opened.close()
    left = _temporaries(folder)
    assert left == [], f"{kind.name}: temporary files left after a save: {left}"
    return Outcome(kills, acknowledged, kept, time.perf_counter() - began)


def check_all(folder: str, kills: Optional[int] = None, seed: int = 0) -> Dict[str, Outcome]:
    """Every user, ``kills`` rounds each, each in a folder of its own under ``folder``."""
    return {user: run(user, os.path.join(folder, user), kills or 3, seed) for user in USERS}
