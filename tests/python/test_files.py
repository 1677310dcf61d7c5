"""kestrix.save / kestrix.load: atomic replacement, damaged files, bad paths."""

import os
import random
import signal
import stat
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import kestrix
from kestrix import Kestrix
from kestrix._native import pack_sections, unpack_sections


def _vector(seed):
    rng = random.Random(seed)
    return [rng.uniform(-1.0, 1.0) for _ in range(384)]


def _store(n, seed=0, deleted=()):
    db = Kestrix()
    for i in range(n):
        db.insert(i, _vector(seed * 100003 + i))
    for doc_id in deleted:
        db.delete(doc_id)
    return db


@pytest.mark.parametrize("n, deleted", [(0, ()), (1, ()), (7, (2, 5))])
def test_saved_store_loads_with_identical_slots_and_answers(tmp_path, n, deleted):
    db = _store(n, deleted=deleted)
    path = tmp_path / "store.kx"
    kestrix.save(db, path)
    loaded = kestrix.load(str(path))
    assert isinstance(loaded, Kestrix) and loaded is not db
    assert loaded.serialize() == db.serialize()
    query = _vector(12345)
    assert loaded.search_scan(query, 10) == db.search_scan(query, 10)
    assert not loaded.has_index()


def test_save_replaces_an_existing_file_and_leaves_no_temporary_behind(tmp_path):
    path = tmp_path / "store.kx"
    kestrix.save(_store(3, seed=1), path)
    second = _store(5, seed=2)
    kestrix.save(second, path)
    assert kestrix.load(path).serialize() == second.serialize()
    assert sorted(os.listdir(tmp_path)) == ["store.kx"]


@pytest.mark.parametrize(
    "damage",
    [
        lambda b: b"",
        lambda b: b[:11],
        lambda b: b"XXXX" + b[4:],
        lambda b: b[:-1],
        lambda b: b[:4] + (3).to_bytes(4, "little") + b[8:],
    ],
    ids=["empty", "short-header", "wrong-magic", "truncated", "unknown-version"],
)
def test_damaged_file_raises_the_modules_value_error_naming_the_file(tmp_path, damage):
    path = tmp_path / "store.kx"
    path.write_bytes(damage(_store(4).serialize()))
    with pytest.raises(ValueError, match=r"^deserialize error: CorruptedData \(file .*store\.kx'\)$"):
        kestrix.load(path)


def _flip(data, at):
    return data[:at] + bytes([data[at] ^ 0x04]) + data[at + 1 :]


# A saved store: its serialized bytes (372 here), 4 bytes of zero padding, the 32-byte
# table of one entry, the 32-byte footer.
@pytest.mark.parametrize(
    "damage, message",
    [
        (lambda b: _flip(b, 100), r"container error: SectionChecksum \(section 0\)"),
        (lambda b: _flip(b, 374), r"container error: PaddingNotZero \(section 1\)"),
        (lambda b: _flip(b, len(b) - 50), r"container error: TableChecksum"),
        (lambda b: _flip(b, len(b) - 20), r"container error: UnsupportedVersion"),
        (lambda b: _flip(b, len(b) - 3), r"CorruptedData .*bytes after the store and no container footer"),
        (lambda b: b[:-1], r"CorruptedData .*bytes after the store and no container footer"),
        (lambda b: b[:380], r"CorruptedData .*bytes after the store and no container footer"),
    ],
    ids=["store-byte", "padding", "table", "footer", "magic", "truncated-footer", "truncated-padding"],
)
def test_every_damaged_byte_of_a_saved_file_is_refused(tmp_path, damage, message):
    path = tmp_path / "store.kx"
    db = _store(6)
    kestrix.save(db, path)
    data = path.read_bytes()
    # The store's own bytes come first, so the module's reader still reads the file.
    assert data[:372] == db.serialize() and Kestrix.deserialize(data).serialize() == db.serialize()
    path.write_bytes(damage(data))
    with pytest.raises(ValueError, match=message) as refused:
        kestrix.load(path)
    assert "store.kx" in str(refused.value)


@pytest.mark.parametrize(
    "sections, error, message",
    [
        (b"x", TypeError, "list of"),
        ([(1,)], TypeError, r"\(kind, bytes\) tuple"),
        ([[1, b""]], TypeError, r"\(kind, bytes\) tuple"),
        ([(1, "s")], TypeError, "argument 'bytes'"),
        ([(2**32, b"")], OverflowError, "out of range"),
        ([(-1, b"")], OverflowError, "negative"),
        ([(9, b"")], ValueError, r"^container error: UnknownKind \(section 0\)$"),
        ([(2, b""), (1, b"")], ValueError, r"^container error: StoreNotFirst \(section 1\)$"),
    ],
)
def test_the_container_writer_refuses_what_its_reader_would(sections, error, message):
    with pytest.raises(error, match=message):
        pack_sections(sections)
    with pytest.raises(TypeError, match="argument 'data'"):
        unpack_sections(bytearray(pack_sections([(1, b"KSTX")])))


@pytest.mark.parametrize(
    "make_path, error",
    [
        (lambda tmp: tmp / "missing-folder" / "store.kx", FileNotFoundError),
        (lambda tmp: tmp, IsADirectoryError),
        (lambda tmp: b"/tmp/store.kx", TypeError),
        (lambda tmp: 42, TypeError),
        (lambda tmp: "", ValueError),
    ],
    ids=["missing-folder", "folder", "bytes-path", "int-path", "empty-path"],
)
def test_bad_save_path_is_refused_and_touches_nothing(tmp_path, make_path, error):
    before = sorted(os.listdir(tmp_path))
    with pytest.raises(error):
        kestrix.save(_store(2), make_path(tmp_path))
    assert sorted(os.listdir(tmp_path)) == before


def test_save_refuses_what_is_not_a_store(tmp_path):
    with pytest.raises(TypeError, match="kestrix.Kestrix"):
        kestrix.save(b"KSTX", tmp_path / "x.kx")
    assert not (tmp_path / "x.kx").exists()


@pytest.mark.parametrize(
    "make_path, error", [(lambda tmp: tmp / "nope.kx", FileNotFoundError), (lambda tmp: tmp, IsADirectoryError)]
)
def test_load_of_missing_file_or_folder_raises_os_error(tmp_path, make_path, error):
    with pytest.raises(error):
        kestrix.load(make_path(tmp_path))


@pytest.mark.skipif(os.name == "nt", reason="POSIX permission bits and symbolic links")
@pytest.mark.parametrize("through_link", [False, True], ids=["file", "relative-symlink"])
def test_saving_over_a_file_keeps_its_permissions_and_writes_through_a_link(tmp_path, through_link):
    real = tmp_path / "data" / "store.kx"
    real.parent.mkdir()
    kestrix.save(_store(2), real)
    os.chmod(real, 0o600)
    path = real
    if through_link:
        path = tmp_path / "link.kx"
        path.symlink_to(os.path.join("data", "store.kx"))
    new = _store(4, seed=3)
    kestrix.save(new, path)
    assert stat.S_IMODE(os.stat(real).st_mode) == 0o600
    assert os.path.islink(path) == through_link
    assert kestrix.load(real).serialize() == new.serialize()
    assert sorted(os.listdir(real.parent)) == ["store.kx"]


def test_failed_write_keeps_the_old_file(tmp_path, monkeypatch):
    path = tmp_path / "store.kx"
    old = _store(3, seed=4)
    kestrix.save(old, path)

    def broken_fsync(fd):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "fsync", broken_fsync)
    with pytest.raises(OSError, match="No space"):
        kestrix.save(_store(6, seed=5), path)
    monkeypatch.undo()
    assert kestrix.load(path).serialize() == old.serialize()
    assert sorted(os.listdir(tmp_path)) == ["store.kx"]


_WRITER = textwrap.dedent(
    """
    import random, sys
    import kestrix
    path = sys.argv[1]
    stores = []
    for seed in (1, 2):
        rng = random.Random(seed)
        db = kestrix.Kestrix()
        # Different sizes, so a torn mix of the two could not pass for either.
        for i in range(400 * seed):
            db.insert(i, [rng.uniform(-1, 1) for _ in range(384)])
        stores.append(db)
    open(sys.argv[2], "wb").write(stores[0].serialize())
    open(sys.argv[3], "wb").write(stores[1].serialize())
    print("ready", flush=True)
    i = 0
    while True:
        kestrix.save(stores[i % 2], path)
        i += 1
    """
)


@pytest.mark.plain_only
def test_killing_a_saving_process_never_leaves_a_torn_file(tmp_path):
    """SIGKILL a process at random moments while it saves two stores in turn.

    Whatever moment the kill lands on, the file must load and equal one of
    the two stores exactly.
    """
    path = tmp_path / "store.kx"
    expect_a, expect_b = tmp_path / "a.bin", tmp_path / "b.bin"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    rng = random.Random(2024)
    kills = 0
    seen = set()
    for _ in range(12):
        child = subprocess.Popen(
            [sys.executable, "-c", _WRITER, str(path), str(expect_a), str(expect_b)],
            stdout=subprocess.PIPE,
            env=env,
        )
        assert child.stdout.readline().strip() == b"ready"
        time.sleep(rng.uniform(0.0, 0.15))
        child.send_signal(signal.SIGKILL)
        child.wait()
        child.stdout.close()
        kills += 1
        if not path.exists():
            continue  # killed before the first rename: nothing was promised yet
        content = kestrix.load(path).serialize()
        candidates = {expect_a.read_bytes(): "a", expect_b.read_bytes(): "b"}
        assert content in candidates, "the file under the path is neither store"
        seen.add(candidates[content])
    assert kills == 12
    assert path.exists(), "no save completed in twelve runs"
    leftovers = [name for name in os.listdir(tmp_path) if name not in {"store.kx", "a.bin", "b.bin"}]
    assert all(name.startswith(".store.kx.") and name.endswith(".tmp") for name in leftovers)


def test_a_save_removes_the_temporary_files_killed_saves_of_the_same_target_left(tmp_path):
    # A killed save leaves its full-size temporary file; the next save of that
    # target removes it, and leaves every other file alone: another target's,
    # a name that is not ours, and one a live save still holds.
    stale = [tmp_path / ".c.kx.0123456789ab.tmp", tmp_path / ".c.kx.ba9876543210.tmp"]
    kept = [tmp_path / ".d.kx.0123456789ab.tmp", tmp_path / ".c.kx.tmp", tmp_path / ".c.kx.0123.tmp"]
    held = tmp_path / ".c.kx.aaaaaaaaaaaa.tmp"
    for path in stale + kept + [held]:
        path.write_bytes(b"x" * 1000)
    import fcntl

    with open(held, "rb") as holder:
        fcntl.flock(holder, fcntl.LOCK_EX)
        kestrix.Collection().save(tmp_path / "c.kx")
        kestrix.save(_store(1), tmp_path / "c.kx")
    assert sorted(os.listdir(tmp_path)) == sorted(p.name for p in kept + [held]) + ["c.kx"]
    # Files whose names each save makes anew: the next save removes those of the family.
    from kestrix import _folders as folders

    saved = tmp_path / "saved"
    saved.mkdir()
    (saved / ".store-0123456789abcdef.kx.0123456789ab.tmp").write_bytes(b"x")
    folders.write_save(folders.langchain_layout(str(saved)), b"", "none", kestrix.DocumentStore(), 384)
    assert not [name for name in os.listdir(saved) if name.endswith(".tmp")]


_SPECIAL_READERS = {
    "Collection.load": "kestrix.Collection.load(path)",
    "kestrix.load": "kestrix.load(path)",
    "kestrix info": "__import__('kestrix._info')._info.describe(path)",
    "DocumentStore.load": "kestrix.DocumentStore.load(path)",
    "LangChain folder": "folders.read_folder(folder)",
    "LlamaIndex manifest": "folders.read_save(folders.llamaindex_layout(folder + '/v.json'))",
    "sharded manifest": "__import__('importlib').import_module('kestrix.distributed._files').read_manifest(folder)",
}


def _special_target(reader, folder):
    """The file a reader reads that the test turns into a FIFO or /dev/zero:
    for a folder's save, the collection file its manifest names."""
    from kestrix import _folders as folders

    if reader == "sharded manifest":
        return folder / "manifest.json"
    if reader.endswith(("folder", "manifest")):
        layout = (
            folders.langchain_layout(str(folder))
            if reader == "LangChain folder"
            else folders.llamaindex_layout(str(folder / "v.json"))
        )
        folders.write_save(layout, kestrix.Collection()._file_bytes(), "none", kestrix.DocumentStore(), 384)
        (name,) = [n for n in os.listdir(folder) if n.endswith(".kx")]
        os.unlink(folder / name)
        return folder / name
    return folder / "special.kx"


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs and /dev/zero")
@pytest.mark.parametrize("special", ["fifo", "/dev/zero"])
@pytest.mark.parametrize("reader", sorted(_SPECIAL_READERS))
def test_only_regular_files_are_read_as_files_of_the_system(tmp_path, reader, special):
    # A FIFO would block the reader for ever and /dev/zero feed it until
    # memory runs out: each reader refuses both at once (in a child with a
    # deadline and a memory limit (not under ASan, whose shadow memory needs
    # more), so that the old behaviour fails the test).
    path = _special_target(reader, tmp_path)
    if special == "fifo":
        os.mkfifo(path)
    else:
        os.symlink("/dev/zero", path)
    script = textwrap.dedent(
        f"""
        import resource, sys, kestrix, kestrix._folders as folders
        from kestrix._cli import CommandError
        if "libasan" not in open("/proc/self/maps").read():
            resource.setrlimit(resource.RLIMIT_DATA, (1 << 30, 1 << 30))
        path, folder = sys.argv[1], sys.argv[2]
        try:
            {_SPECIAL_READERS[reader]}
        except (ValueError, OSError, CommandError) as err:
            print("refused:", err)
        """
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run(
        [sys.executable, "-c", script, str(path), str(tmp_path)], capture_output=True, text=True, env=env, timeout=60
    )
    assert done.returncode == 0, done.stderr
    assert "refused:" in done.stdout and "regular file" in done.stdout


# --- the write-ahead log -------------------------------------------------------


def test_log_keeps_every_record_from_many_threads_and_reports_damage(tmp_path):
    from kestrix._native import Log, LogReader

    path = tmp_path / "a.log"
    rows = np.arange(12, dtype=np.float32).reshape(3, 4)
    forms = [lambda t, i: f"{t}:{i}".encode(), lambda t, i: np.full(3, t * 1000 + i), lambda t, i: [b"#", rows * i]]
    expected = {}
    with Log.create(path, "test", 41, b"meta") as log:

        def write(t):
            for i in range(30):
                payload = forms[t % 3](t, i)
                seq = log.append_durable(t, payload)
                parts = payload if isinstance(payload, list) else [payload]
                expected[seq] = (t, b"".join(bytes(p) if isinstance(p, bytes) else p.tobytes() for p in parts))

        threads = [threading.Thread(target=write, args=(t,)) for t in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert log.durable_seq == log.next_seq - 1 == 161
    reader = LogReader(path, "test")
    assert (reader.base, reader.meta) == (41, b"meta")
    assert {seq: (kind, payload) for seq, kind, payload in reader} == expected
    report = reader.finish()
    assert report.intact and report.resumable and (report.applied, report.next_seq) == (120, 162)

    # A flipped byte in the middle: the records around it are read, the one lost is named, the file kept aside.
    data = bytearray(path.read_bytes())
    data[len(data) // 2] ^= 0x40
    path.write_bytes(bytes(data))
    reader = LogReader(path, "test")
    next(reader)
    with pytest.raises(ValueError, match="read every record"):
        reader.finish()
    seqs = [42] + [seq for seq, _, _ in reader]
    report = reader.finish()
    ((lost, last),) = report.lost
    assert lost == last and seqs == [s for s in range(42, 162) if s != lost]
    assert report.problems and not report.intact and not report.resumable
    assert report.kept_aside == f"{path}.damaged" and not path.exists()
    with pytest.raises(ValueError, match="resumed"):
        reader.resume()


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda p, n: n.Log.create(p, "x" * 17), ValueError, "tag must be at most 16 bytes"),
        (lambda p, n: n.Log.create(p, "t").append(1, "text"), TypeError, "payload must be bytes"),
        (lambda p, n: n.Log.create(p, "t").append(1, [b"", np.array([None])]), TypeError, "Python objects"),
        (lambda p, n: n.Log.create(p, "t").append(1, np.ones((4, 4))[:, 1]), ValueError, "C-contiguous"),
        (lambda p, n: n.Log.create(p, "t").sync(1), ValueError, "never appended"),
        (lambda p, n: n.LogReader(p.parent, "t"), ValueError, "NotRegularFile"),
        (lambda p, n: (n.Log.create(p, "t").close(), n.LogReader(p, "u")), ValueError, "ForeignLog"),
        (lambda p, n: n.Log(), TypeError, "Log.create"),
    ],
)
def test_log_refuses_bad_arguments_and_foreign_files(tmp_path, call, error, message):
    from kestrix import _native

    with pytest.raises(error, match=message):
        call(tmp_path / "b.log", _native)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_child_cannot_write_to_its_parents_log(tmp_path):
    from kestrix._native import Log

    log = Log.create(tmp_path / "f.log", "t")
    child = os.fork()
    if child == 0:  # pragma: no cover - runs in the child
        try:
            log.append_durable(1, b"child")
        except RuntimeError as err:
            os._exit(0 if "a forked child cannot write to it" in str(err) else 2)
        os._exit(1)
    assert os.waitpid(child, 0)[1] == 0
    assert log.append_durable(1, b"parent") == 1
