"""Sharded collections on a local Ray cluster that the module starts itself.

Marked ``ray``: ``pytest -m "not ray"`` skips them for a quick local run.
"""

import json
import os
import re
import shutil
import struct
import sys
import threading
import time
import warnings
import zlib

import numpy as np
import pytest

if sys.version_info < (3, 10):  # the Ray extra is installed from 3.10 on
    pytest.skip("Ray tests need Python 3.10+", allow_module_level=True)

import ray
from conftest import ref_score

from kestrix import Collection
from kestrix.distributed import ShardedCollection, ShardRecoveryWarning, ShardWriteError, shard_of
from kestrix.distributed import _files as files
from kestrix.distributed._shard import _Shard

pytestmark = pytest.mark.ray

DIM = 384


@pytest.fixture(scope="module", autouse=True)
def cluster():
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    yield
    ray.shutdown()


def splitmix64(x):
    x = (x + 0x9E3779B97F4A7C15) & (2**64 - 1)
    x = ((x ^ (x >> 30)) * 0xBF58476D1CE4E5B9) & (2**64 - 1)
    x = ((x ^ (x >> 27)) * 0x94D049BB133111EB) & (2**64 - 1)
    return x ^ (x >> 31)


def clustered(rng, n, centres=8):
    """Vectors near a few centres, so many distances tie."""
    base = rng.standard_normal((centres, DIM)).astype(np.float32)
    flips = rng.random((n, DIM)) < 0.05
    return np.where(flips, -1, 1).astype(np.float32) * base[rng.integers(0, centres, n)]


def single_copy(ids, vectors, deleted=(), side=None, metric="ip"):
    col = Collection(vectors.shape[1], threads=1, side=side, metric=metric)
    col.add(ids, vectors)
    col.delete(list(deleted))
    return col


def assert_same_content(sharded, ids, vectors):
    """Same documents with the same codes as the oracle, found on the shard routing names."""
    assert sorted(sharded.ids().tolist()) == sorted(ids.tolist())
    assert len(sharded) == len(ids)
    if len(ids):
        np.testing.assert_array_equal(sharded.get(ids), single_copy(ids, vectors).get(ids))


def test_routing_is_splitmix64_mod_shards_and_writes_reach_the_owner(tmp_path):
    sample = [0, 1, 2, 41, 2**31, 2**63 - 1]
    for shards in (1, 2, 3, 7):
        assert shard_of(np.array(sample), shards).tolist() == [splitmix64(i) % shards for i in sample]
        assert [shard_of(i, shards) for i in sample] == [splitmix64(i) % shards for i in sample]

    rng = np.random.default_rng(1)
    ids = rng.choice(2**63 - 1, 300, replace=False)
    vectors = rng.standard_normal((300, DIM)).astype(np.float32)
    with ShardedCollection(tmp_path / "c", shards=3, cpus_per_shard=0.5) as sharded:
        sharded.add(ids, vectors)
        per_shard = sharded._call_all("ids")
        for shard, held in enumerate(per_shard):
            assert sorted(held.tolist()) == sorted(ids[shard_of(ids, 3) == shard].tolist())

        # An upsert replaces the document on its own shard; deletes count across shards.
        sharded.add(ids[:50], -vectors[:50])
        assert sharded.delete(np.concatenate([ids[250:], [12345]])) == 50
        expected = np.concatenate([-vectors[:50], vectors[50:250]])
        assert_same_content(sharded, ids[:250], expected)
        assert int(ids[0]) in sharded and int(ids[260]) not in sharded

        # A refused batch changes nothing on any shard.
        with pytest.raises(ValueError):
            sharded.add([7, 8, 7], vectors[:3])
        bad = vectors[:3].copy()
        bad[2, 5] = np.nan
        with pytest.raises(ValueError):
            sharded.add([7, 8, 9], bad)
        assert_same_content(sharded, ids[:250], expected)

        # A shard that is gone for good: the batch is reported with what was applied, not half-done in silence.
        ray.kill(sharded._actors[2], no_restart=True)
        fresh = np.arange(1000, 1060)
        with pytest.raises(ShardWriteError) as info:
            sharded.add(fresh, vectors[:60])
        assert (info.value.applied, info.value.failed) == ((0, 1), (2,))
        held = sharded._call_some({0: ("ids",), 1: ("ids",)})
        held = np.concatenate([held[0], held[1]])
        assert sorted(held[np.isin(held, fresh)].tolist()) == sorted(fresh[shard_of(fresh, 3) < 2].tolist())


def test_a_folder_saved_before_shards_kept_a_side_loads_and_routes_as_it_did(tmp_path):
    # data/sharded-v1 was written by the version before: 3 shards, 60 ids
    # added, the first five replaced by their negations, the last five
    # deleted, a graph (m=8, ef_construction=32), saved and closed.
    shutil.copytree(os.path.join(os.path.dirname(__file__), "data", "sharded-v1"), tmp_path / "c")
    ids = np.random.default_rng(2).choice(2**63 - 1, 60, replace=False)
    vectors = np.random.default_rng(3).standard_normal((60, DIM)).astype(np.float32)
    vectors[:5] *= -1
    with ShardedCollection.load(tmp_path / "c", cpus_per_shard=0.5) as sharded:
        assert (sharded.side, sharded.recoveries, sharded.has_index()) == ("none", [], True)
        assert_same_content(sharded, ids[:55], vectors[:55])
        sharded.add(ids[55:], vectors[55:])
        assert sharded.delete(ids[:3]) == 3
        for shard, held in enumerate(sharded._call_all("ids")):
            assert sorted(held.tolist()) == sorted(i for i in ids[3:].tolist() if splitmix64(i) % 3 == shard)
        sharded.save()
    saved = json.loads((tmp_path / "c" / files.MANIFEST).read_text())
    assert (saved["side"], saved["dimension"]) == ("none", DIM)


@pytest.mark.parametrize("shards, side, metric", [(2, None, "ip"), (3, "int8", "cosine")])
def test_exact_merge_has_the_distances_of_one_collection(tmp_path, shards, side, metric):
    rng = np.random.default_rng(shards)
    n = 700
    ids = rng.permutation(10**6)[:n]
    vectors = clustered(rng, n)
    queries = np.concatenate([clustered(rng, 40), vectors[:10]])
    one = single_copy(ids, vectors, deleted=ids[:30], side=side, metric=metric)
    owner = shard_of(ids, shards)
    locals_ = [single_copy(ids[owner == s], vectors[owner == s], ids[:30], side, metric) for s in range(shards)]
    with ShardedCollection(tmp_path / "c", shards=shards, side=side, metric=metric, cpus_per_shard=0.5) as sharded:
        sharded.add(ids, vectors)
        sharded.delete(ids[:30])
        # Unrescored, merged by distance; rescored over every candidate, by
        # the rescored score: both the scores of one collection.
        # Filtered: each shard asked about its allowed ids (ten of them deleted).
        for options in (
            {"rescore": False},
            {"rescore": True, "oversample": n},
            {"filter": ids[20:120], "oversample": n},
        ):
            for k in (1, 10, 100, n + 5):
                got_ids, got_scores = sharded.search(queries, k, exact=True, **options)
                want_ids, want_scores = one.search(queries, k, exact=True, **options)
                live = 90 if "filter" in options else n - 30
                assert got_ids.shape == want_ids.shape == (len(queries), min(k, live))
                np.testing.assert_array_equal(got_scores, want_scores)

                # Ties: by shard, then the shard's own order (its lower slot first).
                for row, query in enumerate(queries[:8]):
                    hits = []
                    for s, col in enumerate(locals_):
                        for rank, (doc, score) in enumerate(col.search(query, k, exact=True, **options)):
                            hits.append((-score, s, rank, doc))
                    assert got_ids[row].tolist() == [doc for *_, doc in sorted(hits)[: got_ids.shape[1]]]

        single = sharded.search(queries[0], 5, exact=True, rescore=False)
        batch_ids, batch_scores = sharded.search(queries[:1], 5, exact=True, rescore=False)
        assert single == list(zip(batch_ids[0].tolist(), batch_scores[0].tolist()))
        assert [s for _, s in single] == [s for _, s in one.search(queries[0], 5, exact=True, rescore=False)]
        assert all(score == ref_score(round((1 - score) * DIM)) for _, score in single)
        # The options are checked as one collection checks them, before any shard is asked.
        for bad in (
            {"k": -1},
            {"ef": 0},
            {"oversample": 0},
            {"threads": 0},
            {"query": queries[:, :5]},
            {"filter": [-1]},
        ):
            with pytest.raises(ValueError) as refused:
                sharded.search(**{"query": queries, "k": 5, **bad})
            with pytest.raises(ValueError, match=re.escape(str(refused.value))):
                one.search(**{"query": queries, "k": 5, **bad})

        sharded.build_index(m=8, ef_construction=64)
        assert sharded.has_index()
        approx_ids, _ = sharded.search(queries, 10, ef=100)
        exact_ids, _ = sharded.search(queries, 10, exact=True)
        recall = np.mean([len(set(a) & set(b)) / 10 for a, b in zip(approx_ids.tolist(), exact_ids.tolist())])
        assert recall > 0.8


def test_saved_folder_loads_elsewhere_and_keeps_writes_after_the_save(tmp_path):
    # At another dimension than the default: the manifest, the checkpoints
    # and the logged batches all keep it.
    rng = np.random.default_rng(5)
    ids = np.arange(400) * 7919
    vectors = rng.standard_normal((400, 768)).astype(np.float32)
    queries = rng.standard_normal((20, 768)).astype(np.float32)
    home, copy = tmp_path / "home", tmp_path / "copy"
    sharded = ShardedCollection(home, shards=2, side="float16", dim=768)
    with pytest.raises(ValueError, match="768 columns, got shape \\(1, 384\\)"):
        sharded.add([1], np.zeros((1, 384)))
    sharded.add(ids[:300], vectors[:300])
    sharded.build_index(m=8, ef_construction=64)
    sharded.save()
    sharded.save(copy)
    sharded.add(ids[300:], vectors[300:])  # acknowledged after the save: only in the logs
    expected = sharded.search(queries, 10, exact=True)
    sharded.close()

    with pytest.raises(FileExistsError):
        ShardedCollection(home, shards=2)
    with ShardedCollection.load(home) as reopened:
        assert_same_content(reopened, ids, vectors)
        # Rescored by the side, the logged batches' rows included.
        for got, want in zip(reopened.search(queries, 10, exact=True), expected):
            np.testing.assert_array_equal(got, want)
        assert reopened.recoveries == [] and reopened.has_index() and (reopened.side, reopened.dim) == ("float16", 768)
        # New batches are numbered after the logged ones, so none is taken for a replay.
        assert reopened.delete(ids[:10]) == 10
        assert_same_content(reopened, ids[10:], vectors[10:])
    with ShardedCollection.load(copy) as moved:
        assert_same_content(moved, ids[:300], vectors[:300])
        assert moved.has_index()
        moved.add(ids[300:], vectors[300:])
        moved.move_shard(1)
        assert_same_content(moved, ids, vectors)


@pytest.mark.parametrize(
    "change",
    [
        lambda m: m.update(version=2),
        lambda m: m.update(routing="modulo"),
        lambda m: m["shards"][0].update(file="../../etc/passwd"),
        lambda m: m.update(shards=[]),
        lambda m: m["shards"][1].update(crc32=-1),
        lambda m: m.update(side="int4"),
        lambda m: m.update(side="int8"),  # the shards keep none
        lambda m: m.update(metric="l2"),
        lambda m: m.update(metric="cosine"),  # the shards rescore by the inner product
        lambda m: m.update(dimension=4097),
        lambda m: m.update(dimension=768),  # the shards keep 384
    ],
)
def test_a_malformed_manifest_is_refused(tmp_path, tmp_path_factory, change):
    # One folder made for every case (each making costs two actors), copied.
    template = tmp_path_factory.getbasetemp() / "manifest-template"
    if not template.exists():
        ShardedCollection(template, shards=2).close()
    shutil.copytree(template, tmp_path, dirs_exist_ok=True)
    path = tmp_path / files.MANIFEST
    manifest = json.loads(path.read_text())
    change(manifest)
    path.write_text(json.dumps(manifest))
    with pytest.raises(ValueError, match="manifest"):
        ShardedCollection.load(tmp_path)


def test_a_killed_shard_loses_nothing_acknowledged(tmp_path):
    rng = np.random.default_rng(9)
    ids = np.arange(2000)
    vectors = rng.standard_normal((2000, DIM)).astype(np.float32)
    sharded = ShardedCollection(tmp_path, shards=2)
    sharded.add(ids[:200], vectors[:200])
    sharded.save()
    acknowledged = [200]

    def writer():
        for start in range(200, 2000, 50):
            sharded.add(ids[start : start + 50], vectors[start : start + 50])
            acknowledged.append(start + 50)

    thread = threading.Thread(target=writer)
    thread.start()
    while acknowledged[-1] < 600:
        time.sleep(0.01)
    ray.kill(sharded._actors[0], no_restart=False)
    thread.join()
    assert acknowledged[-1] == 2000
    assert_same_content(sharded, ids, vectors)
    restarted = [r for r in sharded.recoveries if r.shard == 0]
    assert restarted and restarted[-1].lost == () and restarted[-1].checkpoint_seq >= 1
    sharded.close()

    # A damaged newest checkpoint: the shard falls back and says what it lost.
    with ShardedCollection.load(tmp_path) as reopened:
        assert_same_content(reopened, ids, vectors)
        reopened.save()
        ((newest_seq, newest),) = files.checkpoints(str(tmp_path), 1)
        reopened.delete(ids[:5])
    data = bytearray((tmp_path / newest).read_bytes())
    data[:16] = b"\xff" * 16
    (tmp_path / newest).write_bytes(bytes(data))
    with pytest.warns(ShardRecoveryWarning, match="shard 1"):
        reopened = ShardedCollection.load(tmp_path)
    with reopened:
        (lost,) = [r for r in reopened.recoveries if r.lost]
        assert lost.shard == 1 and "could not be read" in lost.lost[0]


def _flip(data, at):
    return data[:at] + bytes([data[at] ^ 1]) + data[at + 1 :]


def _earlier_format(parts):
    """Shard 0's batches as a log of the format before numbered records (KXWAL001), after checkpoint 0."""
    out = [struct.pack("<8sQII", b"KXWAL001", 0, 0, 0)]
    for seq, (ids, vectors) in enumerate(parts, 1):
        body = struct.pack("<QB3xI", seq, 1, len(ids)) + ids.astype("<i8").tobytes() + vectors.tobytes()
        out.append(struct.pack("<4sII", b"KXRB", len(body), zlib.crc32(body)) + body)
    return b"".join(out)


# (how shard 0's log of five batches is damaged, given its bytes, where each record ends and the shard's part
# of each batch; the batches it loses; the loss reported; whether a file is kept aside)
LOG_DAMAGE = {
    "deleted before the first save": (lambda d, o, p: None, {0, 1, 2, 3, 4}, "is missing", False),
    "last record cut in half": (lambda d, o, p: d[: (o[4] + o[5]) // 2], {4}, r"record 5\b", True),
    "two records swapped": (lambda d, o, p: d[: o[1]] + d[o[2] : o[3]] + d[o[1] : o[2]] + d[o[3] :], (), None, True),
    "one byte flipped mid-record": (lambda d, o, p: _flip(d, (o[0] + o[1]) // 2), {0}, r"record 1\b", True),
    "earlier format": (lambda d, o, p: _earlier_format(p), (), None, False),
    "earlier format, flipped": (lambda d, o, p: _flip(_earlier_format(p), 200), {0, 1, 2, 3, 4}, "damaged", True),
}


_TEMPLATE_OFFSETS = {}  # the five-batch template folder -> where each batch's record ends in its shard 0 log


@pytest.mark.parametrize("case", LOG_DAMAGE, ids=list(LOG_DAMAGE))
def test_a_damaged_shard_log_loses_only_what_it_names(tmp_path, tmp_path_factory, case):
    damage, lost_batches, reported, kept = LOG_DAMAGE[case]
    rng = np.random.default_rng(24)
    batches = [rng.choice(2**40, 100, replace=False) + 10**6 * b for b in range(5)]
    vectors = rng.standard_normal((5, 100, DIM)).astype(np.float32)
    # The five batches written once for every case (each writing costs two actors), copied.
    template = tmp_path_factory.getbasetemp() / "five-batches"
    if template not in _TEMPLATE_OFFSETS:
        with ShardedCollection(template, shards=2, cpus_per_shard=0.5) as sharded:
            offsets = [(template / "shard-0000.wal").stat().st_size]  # where each acknowledged batch's record ends
            for ids, rows in zip(batches, vectors):
                sharded.add(ids, rows)
                offsets.append((template / "shard-0000.wal").stat().st_size)
        _TEMPLATE_OFFSETS[template] = offsets
    offsets = _TEMPLATE_OFFSETS[template]
    shutil.copytree(template, tmp_path, dirs_exist_ok=True)
    log = tmp_path / "shard-0000.wal"
    mine = [shard_of(ids, 2) == 0 for ids in batches]
    damaged = damage(log.read_bytes(), offsets, [(i[m], v[m]) for i, v, m in zip(batches, vectors, mine)])
    if damaged is None:
        log.unlink()
    else:
        log.write_bytes(damaged)
    keep = np.concatenate([~m if b in lost_batches else np.ones_like(m) for b, m in enumerate(mine)])
    ids, vectors = np.concatenate(batches), vectors.reshape(-1, DIM)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        reopened = ShardedCollection.load(tmp_path)
    with reopened:
        assert_same_content(reopened, ids[keep], vectors[keep])
        said = [str(w.message) for w in caught if issubclass(w.category, ShardRecoveryWarning)]
        assert len(said) == (reported is not None) and all(re.match(f"shard 0 .*{reported}", m) for m in said)
        # Damage is reported, and kept aside, whether it cost anything or not.
        assert len(reopened.recoveries) == (reported is not None or kept)
        for recovery in reopened.recoveries:
            assert recovery.shard == 0 and bool(recovery.lost) == bool(lost_batches) and recovery.notes + recovery.lost
            assert bool(recovery.kept_aside) == kept and all(os.path.exists(path) for path in recovery.kept_aside)
        assert log.read_bytes().startswith(b"KXLOG")
    # What was recovered became a checkpoint and a new log: the next start finds nothing wrong.
    with ShardedCollection.load(tmp_path) as again:
        assert again.recoveries == []
        assert_same_content(again, ids[keep], vectors[keep])


def test_a_batch_that_fails_on_a_shard_stays_out_after_recovery(tmp_path, monkeypatch):
    ShardedCollection(tmp_path, shards=1).close()
    monkeypatch.setattr("kestrix.distributed._shard._assigned_threads", lambda: 1)  # a shard outside an actor
    vectors = np.random.default_rng(3).standard_normal((3, DIM)).astype(np.float32)
    shard = _Shard(str(tmp_path), 0)
    shard.write(1, files.OP_ADD, np.array([1]), vectors[:1], ())
    shard._apply = lambda record: (_ for _ in ()).throw(MemoryError)
    with pytest.raises(MemoryError):
        shard.write(2, files.OP_ADD, np.array([2]), vectors[1:2], ())
    del shard._apply
    shard.write(3, files.OP_ADD, np.array([3]), vectors[2:], ())
    restarted = _Shard(str(tmp_path), 0)
    assert restarted._recovery.replayed == 2 and sorted(restarted._col.ids().tolist()) == [1, 3]
