"""Nothing lost: durable collections, the LangChain store's persistent mode and
a shard, killed at random moments (crash_harness.py); damaged logs and
checkpoints of a durable collection; a crash between the two commits of the
persistent store."""

import copy
import os
import pickle
import struct
import subprocess
import sys
import warnings

import crash_harness
import numpy as np
import pytest

from kestrix import Collection

KILLS = int(os.environ.get("KESTRIX_CRASH_KILLS", "3"))


@pytest.mark.plain_only
@pytest.mark.skipif(not hasattr(os, "fork"), reason="kills with SIGKILL")
@pytest.mark.parametrize("user", sorted(crash_harness.USERS))
def test_every_acknowledged_write_survives_a_kill_at_any_moment(tmp_path, user):
    if user == "LangChainStore":
        pytest.importorskip("langchain_core")
    if user == "Shard":
        pytest.importorskip("ray")
    outcome = crash_harness.run(user, str(tmp_path), KILLS, seed=KILLS)
    assert outcome.acknowledged > 0


def _writes(col, count, start=0):
    """``count`` adds of 10 rows (each replacing half the one before), one log record each."""
    for i in range(start, start + count):
        col.add(np.arange(5 * i, 5 * i + 10), np.random.default_rng(i).standard_normal((10, 384)))


def _record_payloads(path):
    """(offset, length) of each record's payload in a log file, in order."""
    data = open(path, "rb").read()
    at, found = 48 + struct.unpack_from("<I", data, 12)[0], []
    while at + 32 <= len(data):
        length = struct.unpack_from("<Q", data, at + 16)[0]
        found.append((at + 32, length))
        at += 32 + length
    return found


def _flip(path, offset):
    data = bytearray(open(path, "rb").read())
    data[offset] ^= 0x10
    open(path, "wb").write(bytes(data))


@pytest.mark.parametrize(
    "damage, applied, lost, aside",
    [
        ("torn last record", 8, "", False),
        ("flipped byte in record 4", 3, "log record 4 is lost", True),
        ("flipped byte in the last record", 7, "log record 8 is lost", True),
        ("log deleted", 0, "no log follows checkpoint 0", False),
    ],
)
def test_a_damaged_log_is_recovered_up_to_the_loss_it_names(tmp_path, damage, applied, lost, aside):
    folder = tmp_path / "c"
    with Collection.open(folder, side="int8") as col:
        col.checkpoint()
        _writes(col, 8)
    expected = Collection(side="int8")
    _writes(expected, applied)
    (log,) = [name for name in os.listdir(folder) if name.endswith(".wal")]
    records = _record_payloads(folder / log)
    if damage == "torn last record":
        with open(folder / log, "ab") as f:
            f.write(b"KXRC" + bytes(20))
    elif damage == "log deleted":
        os.unlink(folder / log)
    else:
        offset, length = records[3] if "record 4" in damage else records[-1]
        _flip(folder / log, offset + length // 2)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        col = Collection.open(folder)
    # A loss is told; a torn last record, never acknowledged, is not.
    assert [lost in str(w.message) for w in caught] == ([True] if lost else [])
    with col:
        assert (col.ids().tolist(), col.get(col.ids()).tolist()) == (
            expected.ids().tolist(),
            expected.get(expected.ids()).tolist(),
        )
        assert col.recovery.last_record == applied
        assert any(lost in line for line in col.recovery.lost) if lost else col.recovery.lost == ()
        assert bool(col.recovery.kept_aside) is aside
        assert all(os.path.exists(path) for path in col.recovery.kept_aside)
        _writes(col, 1, start=20)  # a recovered collection takes changes again
    with Collection.open(folder) as again:  # and opens clean the next time
        assert again.recovery.lost == () and len(again) == len(expected) + 10


def test_a_durable_collection_refuses_what_it_cannot_open_and_changes_nothing(tmp_path):
    folder = tmp_path / "c"
    with Collection.open(folder, side="int8") as col:
        _writes(col, 3)
        with pytest.raises(RuntimeError, match="open elsewhere"):
            Collection.open(folder)
        col.checkpoint()
    with pytest.raises(ValueError, match="keeps side 'int8', not 'float16'"):
        Collection.open(folder, side="float16")
    (checkpoint,) = [name for name in os.listdir(folder) if name.endswith(".kx")]
    _flip(folder / checkpoint, 100)
    before = sorted(os.listdir(folder))
    with pytest.raises(ValueError, match="newest checkpoint .* is damaged"):
        Collection.open(folder)
    assert sorted(os.listdir(folder)) == before
    with pytest.raises(NotADirectoryError):
        Collection.open(folder / checkpoint)


def test_a_durable_collection_keeps_its_dimension_and_metric_through_log_and_checkpoint(tmp_path):
    rows = np.random.default_rng(0).standard_normal((3, 768)).astype(np.float32) * [[1], [40], [0.01]]
    with Collection.open(tmp_path / "c", dim=768, side="int8", metric="cosine") as col:
        col.add([1, 2, 3], rows)  # in the log only
        answer = col.search(rows[1] * 3, 3)
    for step in ("replayed", "checkpointed"):
        with Collection.open(tmp_path / "c") as col:
            assert (col.dim, col.metric, len(col), col.search(rows[1] * 3, 3)) == (768, "cosine", 3, answer), step
            col.checkpoint()
    with pytest.raises(ValueError, match="holds 768-dim vectors, not 384"):
        Collection.open(tmp_path / "c", dim=384)
    with pytest.raises(ValueError, match="rescores by metric 'cosine', not 'ip'"):
        Collection.open(tmp_path / "c", metric="ip")


def test_a_copy_of_a_durable_collection_is_a_plain_collection_of_its_state(tmp_path):
    with Collection.open(tmp_path / "c", side="int8", threads=1) as col:
        _writes(col, 2)
        for copied in (copy.copy(col), pickle.loads(pickle.dumps(col))):
            assert type(copied) is Collection and copied.threads == 1 and copied.side == "int8"
            assert copied.get(copied.ids()).tolist() == col.get(col.ids()).tolist()
            _writes(copied, 1, start=20)  # changes the copy alone, and logs nothing
        assert len(col) == 15
    with Collection.open(tmp_path / "c") as col:
        assert len(col) == 15 and col.recovery.last_record == 2


_KILL_BETWEEN_COMMITS = """
import os, signal, sys
import numpy as np
sys.path.insert(0, sys.argv[2])
import crash_harness as h
store = h.LangChainStore(sys.argv[1]).store
store.add_embeddings([("kept", np.ones(384).tolist())], ids=["kept"])
real = store.documents._write_log_position
def die(conn, seq):  # the vectors' record is durable; the documents' transaction is not committed
    os.kill(os.getpid(), signal.SIGKILL)
store.documents._write_log_position = die
store.add_embeddings([("lost", (-np.ones(384)).tolist())], ids=["lost"])
"""


def test_a_crash_between_the_two_commits_leaves_neither_half(tmp_path):
    pytest.importorskip("langchain_core")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", _KILL_BETWEEN_COMMITS, str(tmp_path), crash_harness.HERE], env=env)
    assert done.returncode == -9
    store = crash_harness.LangChainStore(str(tmp_path)).store
    assert [doc.page_content for doc in store.get_by_ids(["kept", "lost"])] == ["kept"]
    assert len(store.store) == 1 and any("never committed" in note for note in store.store.recovery.notes)
    # A commit that fails after the vectors changed: no further change is taken.
    store.documents._write_log_position = lambda conn, seq: 1 / 0
    with pytest.raises(ZeroDivisionError):
        store.delete(["kept"])
    with pytest.raises(RuntimeError, match="could not commit a change to both"):
        store.add_embeddings([("more", np.ones(384).tolist())], ids=["more"])
    store.close()
    store = crash_harness.LangChainStore(str(tmp_path)).store
    assert [doc.page_content for doc in store.get_by_ids(["kept"])] == ["kept"] and len(store.store) == 1
    store.close()
