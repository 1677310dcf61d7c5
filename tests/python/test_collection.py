"""kestrix.Collection: batch answers against single ones and against Kestrix,
threads searching while others change the collection, and refused calls."""

import pickle
import signal
import struct
import sys
import threading

import pytest
from conftest import ref_asymmetric

np = pytest.importorskip("numpy")

from kestrix import Collection, Kestrix  # noqa: E402
from kestrix._native import (  # noqa: E402
    DIMENSION,
    DOC_IDS_SECTION,
    GRAPH_SECTION,
    METRIC_SECTION,
    SIDE_SECTION,
    STORE_SECTION,
    pack_sections,
    unpack_sections,
)


def sections(col):
    """The sections of the collection's file, by kind."""
    return dict(unpack_sections(col._file_bytes()))


def clustered(n, seed, centres=8, dim=DIMENSION):
    """Rows near a few centres: close neighbours and equal distances abound."""
    rng = np.random.default_rng(seed)
    base = rng.standard_normal((centres, dim))
    return (base[rng.integers(0, centres, n)] + 0.6 * rng.standard_normal((n, dim))).astype(np.float32)


@pytest.mark.parametrize("n", [0, 1, 7, 300, 3000])
@pytest.mark.parametrize("k", [0, 1, 10, 500])
def test_a_batch_row_is_the_single_answer_and_scores_match_kestrix(n, k):
    X = clustered(n, n)
    ids = np.arange(n, dtype=np.int64) * 7 + 3
    col = Collection(threads=2)
    col.add(ids, X)
    col.delete(ids[::5])
    db = Kestrix()
    for i, row in enumerate(X.tolist()):
        if i % 5:
            db.insert(i, row)
    Q = clustered(9, 1 + n)
    Q[0] = X[min(1, n - 1)] if n else Q[0]
    for exact in (True, False):
        if not exact and n:
            col.build_index(m=8, ef_construction=32)
        got_ids, got_scores = col.search(Q, k, exact=exact)
        assert got_ids.shape == got_scores.shape == (len(Q), min(k, len(col)))
        assert got_ids.dtype == np.int64 and got_scores.dtype == np.float32
        for row, query in enumerate(Q):
            single = col.search(query, k, exact=exact)
            assert single == list(zip(got_ids[row].tolist(), got_scores[row].tolist()))
            if exact:
                reference = db.search_scan(query.tolist(), k)
                assert [s for _, s in single] == [s for _, s in reference]
    # float16 and float64 rows quantise exactly as Kestrix.insert does after rounding to float32.
    for dtype in (np.float16, np.float64):
        direct, through_lists = Collection(), Collection()
        direct.add(ids, X.astype(dtype))
        through_lists.add(ids.tolist(), X.astype(dtype).astype(np.float32).tolist())
        assert (direct.get(ids) == through_lists.get(ids)).all()


@pytest.mark.parametrize("dim", [1, 63, 64, 65, 384, 768, 1536, 4096])
def test_every_dimension_answers_as_a_numpy_reference(dim, tmp_path):
    X = clustered(240, dim, dim=dim)
    X[:, ::7] = 0.0  # zeros (and -0.0 below) are 0 bits, as at 384
    X[1, ::5] = -0.0
    ids = np.arange(240) * 5 + 1
    col = Collection(dim, threads=2, side="float16")
    with pytest.raises(ValueError, match=f"vectors must have {dim} columns, got shape \\(2, {dim + 1}\\)"):
        col.add([1, 2], np.zeros((2, dim + 1)))
    col.add(ids, X)
    col.delete(ids[::6])
    live = ~np.isin(ids, ids[::6])
    bits = X > 0
    # Codes: the signs packed into u64 words, little-endian, padding bits zero.
    padded = np.zeros((len(X), 64 * -(-dim // 64)), dtype=bool)
    padded[:, :dim] = bits
    assert np.array_equal(col.get(ids[live]), np.packbits(padded[live], axis=1, bitorder="little"))
    Q = np.vstack([X[2], -X[3], clustered(6, dim + 1, dim=dim)])
    distances = (bits[live][None, :, :] != (Q > 0)[:, None, :]).sum(axis=2)
    scores = np.float32(1) - distances.astype(np.float32) / np.float32(dim)
    k = 12
    got_ids, got_scores = col.search(Q, k, exact=True, rescore=False, threads=2)
    for row in range(len(Q)):
        order = np.argsort(distances[row], kind="stable")[:k]  # ties in slot order
        assert got_ids[row].tolist() == ids[live][order].tolist()
        assert got_scores[row].tolist() == scores[row][order].tolist()
        assert col.search(Q[row], k, exact=True, rescore=False) == list(zip(got_ids[row], got_scores[row]))
    # Rescored by the float16 rows, every live document a candidate.
    inner = Q @ X[live].astype(np.float16).astype(np.float32).T
    got_ids, got_scores = col.search(Q, k, exact=True, oversample=len(col))
    position = {doc: i for i, doc in enumerate(ids[live].tolist())}
    for row in range(len(Q)):
        want = inner[row, [position[doc] for doc in got_ids[row].tolist()]]
        assert np.allclose(got_scores[row], want, rtol=1e-4, atol=1e-3)
        assert want.min() >= np.sort(inner[row])[-k] - 1e-3
    # Through the graph: live documents, each scored by its own distance.
    col.build_index(m=8, ef_construction=40)
    score_of = {doc: scores[:, i] for i, doc in enumerate(ids[live].tolist())}
    got_ids, got_scores = col.search(Q, k, rescore=False)
    for row in range(len(Q)):
        assert all(score_of[doc][row] == score for doc, score in zip(got_ids[row].tolist(), got_scores[row]))
        assert col.search(Q[row], k, rescore=False) == list(zip(got_ids[row], got_scores[row]))
    col.save(tmp_path / "c.kx")
    loaded = Collection.load(tmp_path / "c.kx")
    assert loaded.dim == dim and loaded._file_bytes() == col._file_bytes()
    for exact in (True, False):
        for a, b in zip(loaded.search(Q, k, exact=exact), col.search(Q, k, exact=exact)):
            assert np.array_equal(a, b)


@pytest.mark.parametrize("side", ["none", "int8"])
def test_threads_search_while_others_add_and_delete(side):
    col = Collection(threads=2, side=side)
    X = clustered(2000, 5)
    col.add(np.arange(2000), X)
    col.build_index(m=8, ef_construction=32)
    errors = []
    stop = threading.Event()

    def reader():
        try:
            while not stop.is_set():
                ids, scores = col.search(X[:64], 10, exact=bool(len(errors) % 2))
                assert ids.shape == scores.shape and ids.shape[1] <= 10
                assert (ids >= 0).all()  # thousands of live documents: no short row
                col.search(X[0], 5)
        except Exception as err:
            errors.append(err)

    def writer(seed):
        rng = np.random.default_rng(seed)
        try:
            for _ in range(20):
                batch = rng.choice(4000, 50, replace=False)
                col.add(batch, clustered(50, int(rng.integers(1 << 30))))
                col.delete(rng.choice(4000, 30, replace=False))
        except Exception as err:
            errors.append(err)

    readers = [threading.Thread(target=reader) for _ in range(3)]
    writers = [threading.Thread(target=writer, args=(s,)) for s in range(2)]
    for t in readers + writers:
        t.start()
    for t in writers:
        t.join()
    stop.set()
    for t in readers:
        t.join()
    assert errors == []
    assert np.int64(col.ids()[0]) in col and "a" not in col and -1 not in col and 2**70 not in col
    assert col.has_index()  # extended by every add, kept through every delete
    live = set(col.ids().tolist())
    assert len(live) == len(col)
    ids, _ = col.search(X[:32], 10)
    assert set(ids[ids >= 0].tolist()) <= live


@pytest.mark.skipif(not hasattr(__import__("os"), "fork"), reason="needs fork")
def test_a_forked_child_searches_on_a_pool_of_its_own():
    import os

    col = Collection(threads=2)
    X = clustered(3000, 9)
    col.add(np.arange(3000), X)
    before = col.search(X[:200], 5)[0]  # the parent's pool is running now
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child reports through its exit status
        os._exit(0 if (col.search(X[:200], 5)[0] == before).all() else 1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0


@pytest.mark.skipif(not hasattr(__import__("os"), "fork"), reason="needs fork")
def test_a_child_forked_while_other_threads_search_changes_its_collection():
    # A fork copies the collection's lock as the searching threads held it;
    # the child, where those threads do not exist, must still take it.
    import os
    import time

    col = Collection(threads=2, side="int8")
    X = clustered(3000, 10)
    col.add(np.arange(3000), X)
    col.build_index(m=8, ef_construction=32)
    stop = threading.Event()

    def search():
        while not stop.is_set():
            col.search(X[:64], 10)

    searchers = [threading.Thread(target=search) for _ in range(3)]
    for thread in searchers:
        thread.start()
    try:
        for _ in range(5):
            time.sleep(0.01)
            pid = os.fork()
            if pid == 0:  # pragma: no cover - the child reports through its exit status
                col.add([5000], X[:1])
                col.delete([0, 1])
                col.expire(float("inf"))
                col.build_index(m=8, ef_construction=16)
                col.compact()
                os._exit(0 if len(col) == 2999 and col.has_index() is False else 1)
            deadline = time.monotonic() + 60
            while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
                time.sleep(0.01)
            if done[0] == 0:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                pytest.fail("the forked child hung on its collection's lock")
            assert os.waitstatus_to_exitcode(done[1]) == 0
    finally:
        stop.set()
        for thread in searchers:
            thread.join()


@pytest.mark.parametrize("call", ["search", "add"])
def test_the_interpreter_exits_cleanly_while_a_daemon_thread_is_in_a_call(call):
    import os
    import subprocess

    script = (
        "import threading, time, numpy as np, kestrix\n"
        "col = kestrix.Collection(side='int8')\n"
        "x = np.random.default_rng(0).standard_normal((3000, 384)).astype(np.float32)\n"
        "col.add(np.arange(3000), x)\n"
        "call = {'search': lambda: col.search(x[:64], 10), 'add': lambda: col.add(np.arange(3000), x)}[CALL]\n"
        "def loop():\n"
        "    while True:\n"
        "        call()\n"
        "threading.Thread(target=loop, daemon=True).start()\n"
        "time.sleep(0.2)\n"
    ).replace("CALL", repr(call))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=120)
        assert (done.returncode, done.stderr) == (0, "")


def test_the_text_signatures_the_stub_and_the_behaviour_name_the_same_defaults():
    import ast
    import inspect
    import pathlib

    import kestrix._native as native

    stub = ast.parse(pathlib.Path(native.__file__).with_name("_native.pyi").read_text())
    (cls,) = [node for node in stub.body if isinstance(node, ast.ClassDef) and node.name == "Collection"]
    stubbed = {node.name: node.args for node in cls.body if isinstance(node, ast.FunctionDef)}
    for method in ("search", "build_index"):
        args = stubbed[method]
        named = args.args[-len(args.defaults) :] + args.kwonlyargs
        defaults = args.defaults + args.kw_defaults
        in_stub = {a.arg: ast.literal_eval(d) for a, d in zip(named, defaults)}
        in_signature = {p.name: p.default for p in inspect.signature(getattr(Collection, method)).parameters.values()}
        assert in_stub == {k: v for k, v in in_signature.items() if v is not inspect.Parameter.empty}, method
    search = inspect.signature(Collection.search).parameters
    assert (search["k"].default, search["ef"].default, search["oversample"].default) == (
        native.DEFAULT_K,
        None,
        native.DEFAULT_OVERSAMPLE,
    )
    # The behaviour: what the defaults do is what the constants say.
    X = clustered(1500, 13)
    col = Collection(side="int8")
    col.add(np.arange(1500), X)
    col.build_index()
    assert col._graph_nodes()[2:] == (native.DEFAULT_M, native.DEFAULT_EF_CONSTRUCTION)
    q = X[:20] + 0.3
    default = col.search(q)
    assert default[0].shape == (20, native.DEFAULT_K)
    wide = max(native.DEFAULT_EF, native.DEFAULT_K * native.DEFAULT_OVERSAMPLE)
    for same in (
        col.search(q, ef=None),
        col.search(q, native.DEFAULT_K, oversample=native.DEFAULT_OVERSAMPLE, ef=wide),
    ):
        assert _equal_answers(same, default)
    assert _equal_answers(col.search(q, rescore=False), col.search(q, rescore=False, ef=native.DEFAULT_EF))


def _hamming_to(X, Q):
    """(q, n) Hamming distances of the sign codes."""
    rows = np.packbits(X > 0, axis=1)
    return np.array([np.unpackbits(rows ^ np.packbits(q > 0), axis=1).sum(axis=1) for q in Q])


@pytest.mark.parametrize("share", [0.0, 0.002, 0.03, 0.3, 1.0])
@pytest.mark.parametrize("side", ["none", "int8"])
def test_a_filtered_search_answers_min_k_allowed_on_every_road(share, side):
    n, k = 3000, 10
    X = clustered(n, 11)
    ids = np.arange(n, dtype=np.int64) * 3
    col = Collection(threads=2, side=side)
    col.add(ids, X)
    col.delete(ids[::4])
    rng = np.random.default_rng(int(share * 1000))
    # Stored, deleted and never-stored ids, some twice, as a list or a uint64 array.
    wanted = rng.choice(3 * n + 50, int(share * 3 * n), replace=True)
    live = np.isin(ids, wanted) & (np.arange(n) % 4 != 0)
    allowed = np.flatnonzero(live)
    Q = clustered(6, 12)
    D = _hamming_to(X, Q)
    allowed_ids = set(ids[allowed].tolist())
    for graph in (False, True):
        if graph:
            col.build_index(m=8, ef_construction=32)
        for form in (wanted.tolist(), wanted.astype(np.uint64)):
            found, scores = col.search(Q, k, filter=form, rescore=False)
            assert found.shape == (len(Q), min(k, len(allowed)))
            exact, exact_scores = col.search(Q, k, filter=form, rescore=False, exact=True)
            unfiltered, _ = col.search(Q, n, exact=True, rescore=False)
            for r, q in enumerate(Q):
                # The exact answer: the NumPy ranking by (distance, slot)
                # among the allowed live rows, and the unfiltered one kept to them.
                best = allowed[np.lexsort((allowed, D[r, allowed]))][:k]
                assert exact[r].tolist() == ids[best].tolist()
                assert exact_scores[r].tolist() == (1 + D[r, best].astype(np.float32) / np.float32(-DIMENSION)).tolist()
                assert exact[r].tolist() == [d for d in unfiltered[r].tolist() if d in allowed_ids][:k]
                # The graph's: every answer allowed and scored by its distance, most of the exact ones.
                rows = found[r] // 3
                assert live[rows].all() and len(set(rows)) == len(rows)
                assert np.allclose(scores[r], 1 - D[r, rows] / DIMENSION)
                assert len(set(found[r]) & set(exact[r])) >= 0.7 * len(exact[r])
                assert col.search(q, k, filter=form, rescore=False) == list(zip(found[r].tolist(), scores[r].tolist()))
        # Rescored: the same number of answers, all allowed, a batch row the single answer.
        found, scores = col.search(Q, k, filter=wanted, rescore=True)
        assert found.shape == (len(Q), min(k, len(allowed))) and live[found // 3].all()
        assert col.search(Q[0], k, filter=wanted, rescore=True) == list(zip(found[0].tolist(), scores[0].tolist()))


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda c: c.add([1, 1], np.zeros((2, DIMENSION))), ValueError, "more than once"),
        (lambda c: c.add([-1], np.zeros((1, DIMENSION))), ValueError, "must lie in"),
        (lambda c: c.add([2**63], np.zeros((1, DIMENSION))), ValueError, "must lie in"),
        (lambda c: c.add(np.array([1.5]), np.zeros((1, DIMENSION))), TypeError, "integer dtype"),
        (lambda c: c.add([True], np.zeros((1, DIMENSION))), TypeError, "must be integers"),
        (lambda c: c.add([1, 2], np.zeros((1, DIMENSION))), ValueError, "2 entries but vectors has 1 rows"),
        (lambda c: c.add([1], np.zeros((1, 5))), ValueError, "384 columns"),
        (lambda c: c.add([1], np.zeros((1, 1, DIMENSION))), ValueError, "1-D .* or 2-D"),
        (lambda c: c.add([1], np.zeros((1, DIMENSION), dtype=np.int32)), TypeError, "floating dtype"),
        (lambda c: c.add([1, 2], np.array([[0.0] * DIMENSION, [np.nan] * DIMENSION])), ValueError, "row 1 holds a NaN"),
        (lambda c: c.add([1], np.full((1, DIMENSION), 1e39)), ValueError, "overflows float32"),
        (lambda c: c.add([1], [[0.0] * 383]), ValueError, "384 columns"),
        (lambda c: c.add([1], "text"), TypeError, "must be an array"),
        (lambda c: c.search(np.zeros(DIMENSION), -1), ValueError, "k must be >= 0"),
        (lambda c: c.search(np.zeros(DIMENSION), 10, ef=0), ValueError, "ef must be >= 1"),
        (lambda c: c.search(np.zeros(DIMENSION), 10, oversample=0), ValueError, "oversample must be >= 1"),
        (lambda c: c.search(np.full(DIMENSION, np.inf), 10, rescore=True), ValueError, "NaN or an infinity"),
        (lambda c: c.search(np.zeros(DIMENSION), 10, threads=0), ValueError, "threads must be >= 1"),
        (lambda c: c.search(np.zeros(DIMENSION), 10, True), TypeError, "positional"),
        (lambda c: c.search(np.zeros(DIMENSION), 10, filter=[5, -1]), ValueError, "filter must lie in"),
        (lambda c: c.search(np.zeros((2, DIMENSION)), 10, filter=[2**63]), ValueError, "filter must lie in"),
        (lambda c: c.search(np.zeros(DIMENSION), 10, filter=np.array([5.0])), TypeError, "filter must have an integer"),
        (lambda c: c.search(np.zeros(DIMENSION), 10, filter=["5"]), TypeError, "filter must be integers"),
        (lambda c: c.search(np.zeros(DIMENSION), 10, filter="5"), TypeError, "filter must be an integer or a 1-D"),
        (lambda c: c.get([12345]), KeyError, "12345"),
        (lambda c: c.build_index(m=1), ValueError, "m must be >= 2"),
        (lambda c: c.build_index(progress=3), TypeError, "callable"),
        (lambda c: c.build_index(ef_construction=0), ValueError, "ef_construction must be >= 1"),
        (lambda c: c.expire(-1), ValueError, "ttl_ms must be >= 0"),
        (lambda c: c.expire(float("nan")), ValueError, "ttl_ms must be >= 0"),
    ],
)
@pytest.mark.parametrize("side", ["none", "int8"])
def test_refused_calls_change_nothing(call, error, message, side):
    col = Collection(side=side)
    col.add([5, 6], clustered(2, 0))
    before = (col.ids().tolist(), col._file_bytes())
    with pytest.raises(error, match=message):
        call(col)
    assert (col.ids().tolist(), col._file_bytes()) == before


@pytest.mark.parametrize(
    "damage, message",
    [
        (lambda store, ids: (store, ids[:-8]), "do not match the slot count"),
        (lambda store, ids: (store, ids[:8] + ids[:8]), "live document id repeats"),
        (lambda store, ids: (store, ids[:8] + (2).to_bytes(8, "little")), "id word does not match"),
        (lambda store, ids: (store + b"\0", ids), "bytes follow the store"),
        (lambda store, ids: (store[:-1], ids), "CorruptedData"),
        (lambda store, ids: (store, ids[:-1]), "multiple of 8"),
    ],
)
def test_a_damaged_file_is_refused_with_the_reason(damage, message):
    col = Collection()
    col.add([1, 2**40 + 1], clustered(2, 0))
    parts = sections(col)
    with pytest.raises(ValueError, match=message):
        Collection._from_sections(*damage(parts[STORE_SECTION], parts[DOC_IDS_SECTION]))


def _graph_sections(col):
    """The file's sections as (kind, bytes), the graph's last."""
    return unpack_sections(col._file_bytes())


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the peak from /proc")
@pytest.mark.parametrize("mmap_side", [False, True])
def test_a_load_never_holds_much_more_than_the_collection_it_gives(tmp_path, mmap_side):
    # Sections are read straight into the collection's arrays: the peak of the
    # load (bench/load_memory.py measures it) stays at the collection's size.
    import os
    import subprocess

    col = Collection(side="int8")
    col.add(np.arange(10000), clustered(10000, 14))
    col.build_index(m=8, ef_construction=16)
    col.save(tmp_path / "c.kxc")
    script = (
        "import sys, kestrix\n"
        "def status(key):\n"
        "    return int(next(l for l in open('/proc/self/status') if l.startswith(key)).split()[1])\n"
        "open('/proc/self/clear_refs', 'w').write('5')\n"
        "before = status('VmRSS:')\n"
        "col = kestrix.Collection.load(sys.argv[1], mmap_side=sys.argv[2] == '1')\n"
        "print(status('VmRSS:') - before, status('VmHWM:') - before)\n"
    )
    out = subprocess.run(
        [sys.executable, "-c", script, str(tmp_path / "c.kxc"), str(int(mmap_side))],
        check=True,
        capture_output=True,
        text=True,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)),
    ).stdout
    live, peak = (int(v) for v in out.split())
    assert live > 4000 and peak <= 1.3 * live  # kB; the file is 6 MB


def test_the_graph_is_saved_and_loaded_as_it_was_and_extends_alike(tmp_path):
    X = clustered(1500, 3)
    col = Collection()
    col.add(np.arange(1000), X[:1000])
    col.build_index(m=8, ef_construction=40)
    col.delete(np.arange(0, 1000, 7))  # waypoints travel with the file
    col.save(tmp_path / "c.kxc")
    loaded = Collection.load(tmp_path / "c.kxc")
    assert loaded.has_index() and loaded._graph_section() == col._graph_section()
    # Format 2, link rule 1: rows never lose a node's last way in.
    assert col._graph_section()[8:16] == struct.pack("<II", 2, 1)
    for c in (col, loaded):
        c.add(np.arange(1000, 1500), X[1000:])
    assert loaded._graph_section() == col._graph_section()
    assert _equal_answers(col.search(X[::50], 10), loaded.search(X[::50], 10))

    # Append-only from the first build: extension is the graph of one build.
    fresh = Collection()
    fresh.add(np.arange(1000), X[:1000])
    fresh.build_index(m=8, ef_construction=40)
    fresh.add(np.arange(1000, 1500), X[1000:])
    whole = Collection()
    whole.add(np.arange(1500), X)
    whole.build_index(m=8, ef_construction=40)
    assert fresh._graph_section() == whole._graph_section()


def _equal_answers(a, b):
    return np.array_equal(a[0], b[0]) and np.array_equal(a[1], b[1], equal_nan=True)


def test_every_damage_to_the_graph_section_is_refused_or_harmless():
    X = clustered(300, 4)
    col = Collection()
    col.add(np.arange(300), X)
    col.build_index(m=4, ef_construction=20)
    col.delete(np.arange(0, 300, 3))
    store, ids, (kind, graph) = _graph_sections(col)
    assert kind == GRAPH_SECTION
    live = set(col.ids().tolist())
    rng = np.random.default_rng(5)
    header = list(range(64 * 8))
    for bit in header + rng.integers(0, len(graph) * 8, 300).tolist():
        damaged = bytearray(graph)
        damaged[bit // 8] ^= 1 << (bit % 8)
        try:
            c = Collection._from_file_bytes(pack_sections([store, ids, (GRAPH_SECTION, bytes(damaged))]), "f")
        except ValueError as err:
            assert str(err).startswith("graph section: ")
            continue
        # Accepted (a link moved to another slot, a different ef_construction):
        # every answer is still a live document.
        found, _ = c.search(X[:20], 10)
        assert set(found[found >= 0].tolist()) <= live
    for cut in (0, 63, 64, len(graph) // 2, len(graph) - 1):
        with pytest.raises(ValueError, match="graph truncated"):
            Collection._from_file_bytes(pack_sections([store, ids, (GRAPH_SECTION, graph[:cut])]), "f")
    col.add([300], X[:1])  # one slot more: the old graph is for another store
    with pytest.raises(ValueError, match="graph slot count does not match the store"):
        Collection._from_file_bytes(pack_sections(_graph_sections(col)[:2] + [(GRAPH_SECTION, graph)]), "f")


def test_saves_racing_adds_each_write_one_state_of_the_collection(tmp_path):
    # One add (extending the graph and the side) starts on another thread just
    # before each save, and the interpreter switches threads as often as it
    # can: every file saved must load and be, byte for byte, the file of the
    # collection after some whole add.
    X = clustered(1100, 8)
    col = Collection(side="int8")
    col.add(np.arange(100), X[:100])
    col.build_index(m=4, ef_construction=16)
    states = {col._file_bytes()}
    turn = threading.Semaphore(0)

    def adder():
        for first in range(100, 1100, 5):
            turn.acquire()
            col.add(np.arange(first, first + 5), X[first : first + 5])
            states.add(col._file_bytes())  # the only writer: this is the state until its next add

    thread = threading.Thread(target=adder)
    paths = [tmp_path / f"{i}.kxc" for i in range(200)]
    switch = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        thread.start()
        for path in paths:
            turn.release()
            col.save(path)
        thread.join()
    finally:
        sys.setswitchinterval(switch)
    for path in paths:
        assert path.read_bytes() in states
        loaded = Collection.load(path)
        assert loaded.has_index() and loaded._graph_nodes()[0] == len(loaded) == loaded._slot_count()


def test_a_stopped_build_keeps_the_earlier_graph_at_any_report_with_or_without_a_callback():
    import _thread

    X = clustered(6000, 12)
    col = Collection()
    col.add(np.arange(6000), X)
    col.build_index(m=4, ef_construction=16)
    earlier = col._graph_section()
    reports = []

    def refuse(done, total):
        reports.append((done, total))
        raise KeyError("stop")

    # A small build reports once, at its end, before its graph is installed.
    small = Collection()
    small.add(np.arange(500), X[:500])
    small.build_index(m=4, ef_construction=16)
    small_graph = small._graph_section()
    with pytest.raises(KeyError, match="stop"):
        small.build_index(m=8, progress=refuse)
    assert reports == [(500, 500)] and small._graph_section() == small_graph
    # Ctrl-C while a long build runs, with no callback to report to. A shell
    # starts a background job with SIGINT ignored, and then the interpreter
    # installs no handler of its own and interrupt_main() does nothing: the
    # handler a terminal's Ctrl-C meets is put in place for this.
    handler = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        timer = threading.Timer(0.05, _thread.interrupt_main)
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            col.build_index(m=16, ef_construction=400)
        timer.join()
    finally:
        signal.signal(signal.SIGINT, handler)
    assert col._graph_section() == earlier


@pytest.mark.parametrize("threshold, rebuilt", [(None, False), (0.5, False), (0.2, True)])
def test_a_rebuild_happens_only_past_the_threshold_the_caller_set(threshold, rebuilt):
    X = clustered(400, 6)
    col = Collection(rebuild_threshold=threshold)
    col.add(np.arange(400), X)
    col.build_index(m=8, ef_construction=40)
    col = pickle.loads(pickle.dumps(col))  # the threshold travels with a copy
    before = col._graph_nodes()
    col.delete(np.arange(0, 400, 3))  # a third of the nodes
    after = col._graph_nodes()
    assert after[0] == (266 if rebuilt else 400) and after[1] == (0 if rebuilt else 134)
    assert before[2:] == after[2:] == (8, 40)
    with pytest.raises(ValueError, match="rebuild_threshold"):
        Collection(rebuild_threshold=1.5)


def _unit(rows):
    return rows / np.linalg.norm(rows, axis=-1, keepdims=True)


@pytest.mark.parametrize("side, metric", [("int8", "ip"), ("float16", "ip"), ("int8", "cosine"), ("float16", "cosine")])
def test_a_side_rescores_batches_like_single_queries_and_survives_its_file(side, metric, tmp_path):
    U = _unit(clustered(600, 3))
    # Under the cosine, lengths far apart change nothing: the side keeps the
    # unit vectors, and every query is scaled to unit length too.
    X = U * np.random.default_rng(5).uniform(0.01, 300, (600, 1)) if metric == "cosine" else U
    ids = np.arange(600) * 3
    col = Collection(threads=2, side=side, metric=metric)
    col.add(ids, X)
    col.delete(ids[::4])
    col.add(ids[1:11], X[200:210])  # upserts move to new slots, rows with them
    col.compact()
    Q = X[:25] + 0.05 * clustered(25, 4)
    vectors = col.get(col.ids(), vectors=True)
    assert np.abs(vectors - U[col.ids() // 3 + np.isin(col.ids(), ids[1:11]) * 199]).max() < 0.01
    # Oversampling every document: the top-10 by the side's inner products
    # (an int8 side multiplies with the query rounded to int8 as well).
    tolerance = 3e-3 if side == "int8" else 1e-5
    inner = (_unit(Q) if metric == "cosine" else Q) @ vectors.T
    position = {doc: i for i, doc in enumerate(col.ids().tolist())}
    got_ids, got_scores = col.search(Q, 10, exact=True, oversample=len(col))
    for row in range(len(Q)):
        got = inner[row, [position[doc] for doc in got_ids[row].tolist()]]
        assert np.allclose(got_scores[row], got, atol=tolerance)
        assert got.min() >= np.sort(inner[row])[-10] - 2 * tolerance
    # Three candidates an answer: the first 30 slots by the query's asymmetric
    # distance (lower slot first), the best 10 of them by the side.
    codes, stored = col.get(col.ids()), col.ids()
    got_ids, _ = col.search(Q, 10, exact=True, oversample=3)
    for row in range(len(Q)):
        far = ref_asymmetric(Q[row], codes)
        chosen = np.lexsort((np.arange(len(far)), far))[:30]
        assert set(got_ids[row].tolist()) <= set(stored[chosen].tolist())
        got = inner[row, [position[doc] for doc in got_ids[row].tolist()]]
        assert got.min() >= np.sort(inner[row, chosen])[-10] - 2 * tolerance
    for exact in (True, False):
        if not exact:
            col.build_index(m=8, ef_construction=32)
        batch = col.search(Q, 10, exact=exact, threads=2)
        if not exact:
            # Left to the collection, a rescored walk keeps 12 nodes an answer.
            assert _equal_answers(batch, col.search(Q, 10, ef=None)) and _equal_answers(
                batch, col.search(Q, 10, ef=120)
            )
            assert not _equal_answers(batch, col.search(Q, 10, ef=10))
        for row, query in enumerate(Q):
            assert col.search(query, 10, exact=exact) == list(zip(batch[0][row].tolist(), batch[1][row].tolist()))
    col.save(tmp_path / "c.kx")
    loaded = Collection.load(tmp_path / "c.kx")
    assert np.array_equal(loaded.get(loaded.ids(), vectors=True), vectors)
    for a, b in zip(loaded.search(Q, 10, exact=True), col.search(Q, 10, exact=True)):
        assert np.array_equal(a, b)
    # The side used in place from the file answers alike, also once a save
    # has replaced the file, and the first change that writes the side copies
    # it: both then go on identically.
    mapped = Collection.load(tmp_path / "c.kx", mmap_side=True)
    col.save(tmp_path / "c.kx")
    assert (mapped.side, mapped.metric, loaded.metric) == (side, metric, metric)
    assert np.array_equal(mapped.get(mapped.ids(), vectors=True), vectors)
    # A copy for another process takes the side by value, and the graph.
    assert pickle.loads(pickle.dumps(mapped))._file_bytes() == loaded._file_bytes()
    for exact in (True, False):
        for a, b in zip(mapped.search(Q, 10, exact=exact), loaded.search(Q, 10, exact=exact)):
            assert np.array_equal(a, b)
    for change in (lambda c: c.delete(col.ids()[:50]), lambda c: c.compact(), lambda c: c.add([1], X[5])):
        change(mapped), change(loaded)
        # Insertion times differ (the adds ran a moment apart): every section but the store's.
        assert {k: v for k, v in sections(mapped).items() if k != STORE_SECTION} == {
            k: v for k, v in sections(loaded).items() if k != STORE_SECTION
        }
        for a, b in zip(mapped.search(Q, 10, exact=True), loaded.search(Q, 10, exact=True)):
            assert np.array_equal(a, b)


def test_side_choices_and_damaged_side_sections_are_refused(tmp_path):
    with pytest.raises(ValueError, match="'none', 'int8' or 'float16'"):
        Collection(side="int4")
    with pytest.raises(TypeError, match="side must be a str"):
        Collection(side=8)
    with pytest.raises(ValueError, match="metric must be 'ip' or 'cosine', got 'l2'"):
        Collection(metric="l2")
    # A metric section: one u32, the cosine's 1 (the inner product writes none).
    cosine = Collection(metric="cosine")
    cosine.add([1, 2], clustered(2, 0))
    parts = sections(cosine)
    assert METRIC_SECTION not in sections(Collection()) and parts[METRIC_SECTION] == b"\1\0\0\0"
    for damaged, message in [
        (b"\1\0\0", "metric section: its length is not 4 bytes"),
        (b"\2\0\0\0", "unknown metric 2"),
    ]:
        with pytest.raises(ValueError, match=message):
            Collection._from_sections(parts[STORE_SECTION], parts[DOC_IDS_SECTION], metric=damaged)
    with pytest.raises(ValueError, match="keeps no vectors"):
        Collection().get([], vectors=True)
    col, other = Collection(side="int8"), Collection(side="int8")
    col.add([1, 2], clustered(2, 0))
    other.add([1], clustered(1, 0))
    parts = sections(col)
    store, doc_ids, side = parts[STORE_SECTION], parts[DOC_IDS_SECTION], parts[SIDE_SECTION]
    for damaged, message in [
        (side[:-1], "length does not match"),
        (side[:40], "truncated header"),
        (b"x" * len(side), "bad magic"),
        (sections(other)[SIDE_SECTION], "side rows do not match the slot count"),
        (side[: 64 + 384] + b"\xff\xff\xff\xff" + side[64 + 388 :], "row out of range"),  # a NaN scale
    ]:
        with pytest.raises(ValueError, match=message):
            Collection._from_sections(store, doc_ids, None, None, damaged)
        # The reader that maps the side checks it alike, before using it.
        (tmp_path / "d.kx").write_bytes(
            pack_sections([(STORE_SECTION, store), (DOC_IDS_SECTION, doc_ids), (SIDE_SECTION, damaged)])
        )
        with pytest.raises(ValueError, match=message):
            Collection.load(tmp_path / "d.kx", mmap_side=True)
