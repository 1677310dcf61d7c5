"""One crash-and-recover harness for every user of the write-ahead log.

A child process opens a folder (recovering it), makes a stream of numbered
writes and prints ``ack N`` once write N has returned, that is once it is
durable. The parent kills it with SIGKILL at a random moment, opens the
folder itself and compares what it holds with the same writes made on a
model in plain Python: exactly the acknowledged writes, or those and the
write in flight, whole. The next round goes on from what was recovered. Last,
a save (a checkpoint) must leave no temporary file behind.

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
from typing import Any, Dict, NamedTuple, Tuple

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
IDS = 200  # writes draw ids from 0..IDS-1, so adds replace and deletes find


def plan(i: int) -> Tuple[Any, ...]:
    """Write number ``i`` (from 1) of every stream, in the child and the parent."""
    rng = np.random.default_rng(i)
    turn = {5: "build", 9: "compact", 3: "checkpoint", 11: "checkpoint"}.get(i % 13)
    if turn:
        return (turn,)
    if i % 13 in (2, 7):
        return ("delete", rng.choice(IDS, 4, replace=False))
    n = int(rng.integers(1, 40))
    return ("add", rng.choice(IDS, n, replace=False), rng.standard_normal((n, 384)).astype(np.float32))


class Model:
    """The writes in plain Python: live ids in slot order with their codes
    (bit c of word c // 32 set when component c > 0), and whether a graph
    stands (a build makes one; a compaction that frees a slot drops it)."""

    def __init__(self, codes: Any = (), graph: bool = False, dead: int = 0) -> None:
        self.codes, self.graph, self.dead = dict(codes), graph, dead

    def after(self, op: Tuple[Any, ...], user: Any, cut: int = 0) -> "Model":
        """The model after write ``op`` of ``user``, or after its first ``cut`` changes only."""
        new = Model(self.codes, self.graph, self.dead)
        changes = user.changes.get(op[0], (op[0],))
        for kind in changes[: cut or len(changes)]:
            if kind == "add":
                for doc, row in zip(op[1].tolist(), op[2]):
                    new.dead += new.codes.pop(doc, None) is not None
                    new.codes[doc] = np.packbits(row > 0, bitorder="little").tobytes()
            elif kind == "delete":
                new.dead += sum(new.codes.pop(doc, None) is not None for doc in op[1].tolist())
            elif kind == "build":
                new.graph = True
            elif kind == "compact" and (user.compacts or op[0] != "compact") and new.dead:
                new.graph, new.dead = False, 0
        return new

    def state(self) -> Tuple[Any, ...]:
        return (list(self.codes.items()), self.graph)


def state_of(col: Any, keys: Any = None) -> Tuple[Any, ...]:
    ids = [int(doc) for doc in col.ids()]
    codes = [bytes(bytearray(row)) for row in col.get(ids)] if ids else []
    return ([(doc if keys is None else keys[doc], code) for doc, code in zip(ids, codes)], bool(col.has_index()))


class DurableCollection:
    """``Collection.open``: every write of the plan, checkpoints included."""

    compacts, changes = True, {}  # type: ignore[var-annotated]

    def __init__(self, folder: str) -> None:
        from kestrix import Collection

        self.col = Collection.open(folder, side="int8")

    def apply(self, i: int, op: Tuple[Any, ...]) -> None:
        calls = {"add": lambda: self.col.add(op[1], op[2]), "delete": lambda: self.col.delete(op[1])}
        calls.update(build=lambda: self.col.build_index(m=8, ef_construction=32), compact=self.col.compact)
        calls.get(op[0], self.col.checkpoint)()

    def state(self) -> Tuple[Any, ...]:
        return state_of(self.col)

    def save(self) -> None:
        self.col.checkpoint()

    def close(self) -> None:
        self.col.close()


class LangChainStore:
    """``KestrixVectorStore(persist_directory=...)``: documents added and
    deleted under string keys, built (which compacts first: two changes,
    each whole, so a kill may land between them) and checkpointed."""

    compacts, changes = False, {"build": ("compact", "build")}

    def __init__(self, folder: str) -> None:
        from langchain_core.embeddings import Embeddings

        from kestrix.langchain import KestrixVectorStore

        class Given(Embeddings):  # every write brings its vectors
            embed_documents = embed_query = None  # type: ignore[assignment]

        self.store = KestrixVectorStore(Given(), persist_directory=folder, index_min_size=10**9)

    def apply(self, i: int, op: Tuple[Any, ...]) -> None:
        if op[0] == "add":
            pairs = [(f"text {doc} of write {i}", row.tolist()) for doc, row in zip(op[1].tolist(), op[2])]
            self.store.add_embeddings(pairs, ids=[f"k{doc}" for doc in op[1].tolist()])
        elif op[0] == "delete":
            self.store.delete([f"k{doc}" for doc in op[1].tolist()])
        elif op[0] == "build":
            self.store.build_index()
        elif op[0] == "checkpoint":
            self.store.store.checkpoint()

    def state(self) -> Tuple[Any, ...]:
        store = self.store
        # The mode's promise: no document without its vector, no vector without its document.
        assert sorted(int(d) for d in store.store.ids()) == sorted(int(d) for d in store.documents.ids())
        return state_of(store.store, {record.doc_id: int(record.key[1:]) for record in store.documents})

    def save(self) -> None:
        self.store.store.checkpoint()

    def close(self) -> None:
        self.store.close()


class Shard:
    """One shard (``_Shard``, without Ray): adds, deletes and builds as
    numbered batches; a checkpoint is its save."""

    compacts, changes = False, {}  # type: ignore[var-annotated]

    def __init__(self, folder: str) -> None:
        from kestrix.distributed import _shard

        _shard._assigned_threads = lambda: 1  # outside an actor: no Ray runtime to ask
        self.shard = _shard._Shard(folder, 0)

    def apply(self, i: int, op: Tuple[Any, ...]) -> None:
        from kestrix.distributed import _files as files

        if op[0] in ("add", "delete"):
            ids = op[1].astype(np.int64)
            adding = op[0] == "add"
            self.shard.write(i, files.OP_ADD if adding else files.OP_DELETE, ids, op[2] if adding else None, ())
        elif op[0] == "build":
            self.shard.write(i, files.OP_BUILD, None, None, (8, 32))
        elif op[0] == "checkpoint":
            self.shard.checkpoint(i)

    def state(self) -> Tuple[Any, ...]:
        return state_of(self.shard._col)

    def save(self) -> None:
        self.shard.checkpoint(self.shard._last_seq)

    def close(self) -> None:
        self.shard.close()


USERS = {user.__name__: user for user in (DurableCollection, LangChainStore, Shard)}

_CHILD = """
import sys
sys.path.insert(0, sys.argv[4])
import crash_harness as h
user, i = h.USERS[sys.argv[1]](sys.argv[2]), int(sys.argv[3])
print("ready", flush=True)
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


def _opened(kind: Any, folder: str, call: str) -> Any:
    opened = kind(folder)
    try:
        return getattr(opened, call)()
    finally:
        opened.close()


def run(user: str, folder: str, kills: int, seed: int = 0, max_delay: float = 0.6) -> Outcome:
    """``kills`` rounds of writing and killing in ``folder``; AssertionError
    at the first round whose folder holds other than the acknowledged writes
    (and perhaps the one in flight, whole)."""
    kind, rng, began = USERS[user], random.Random(seed), time.perf_counter()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    model, start, acknowledged, kept = Model(), 1, 0, 0
    for round_ in range(kills):
        args = [sys.executable, "-c", _CHILD, user, folder, str(start), HERE]
        child = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        assert child.stdout is not None and child.stderr is not None
        if child.stdout.readline().strip() != b"ready":
            child.kill()
            raise AssertionError(f"{user}: the child did not start: {child.communicate()[1].decode()}")
        time.sleep(rng.uniform(0.0, max_delay))
        child.send_signal(signal.SIGKILL)
        # Read on through the file objects: readline() may have taken the
        # first acknowledgements into its buffer, which communicate() skips.
        out, err = child.stdout.read(), child.stderr.read()
        child.wait()
        # Only whole lines count: print hands "ack", " ", the number and the
        # newline to the pipe in writes of their own, and the kill can fall
        # between two of them.
        acks = [int(line.split()[1]) for line in out.decode().split("\n")[:-1]]
        assert acks == list(range(start, start + len(acks))), (
            f"{user}: acknowledgements out of order: {acks[:3]}... from {start}"
        )
        for i in acks:
            model = model.after(plan(i), kind)
        acknowledged, last, found = acknowledged + len(acks), start + len(acks) - 1, _opened(kind, folder, "state")
        # The write in flight not at all, cut between two of its changes, or whole.
        flight = plan(last + 1)
        cuts = range(1, len(kind.changes.get(flight[0], "x")) + 1)
        choices = [model] + [model.after(flight, kind, cut) for cut in cuts]
        states = [choice.state() for choice in choices]
        assert found in states, f"{user}, round {round_}: the folder holds no state of writes ..{last + 1} ({err!r})"
        kept += found == states[-1] and found != states[0]
        model, start = choices[states.index(found)], last + 1 + (found != states[0])
    _opened(kind, folder, "save")
    left = [name for _, _, names in os.walk(folder) for name in names if name.endswith(".tmp")]
    assert left == [], f"{user}: temporary files left after a save: {left}"
    return Outcome(kills, acknowledged, kept, time.perf_counter() - began)


def run_all(folder: str, kills: int, seed: int = 0) -> Dict[str, Outcome]:
    """Every user, ``kills`` rounds each, each in a folder of its own under ``folder``."""
    return {user: run(user, os.path.join(folder, user), kills, seed) for user in USERS}
