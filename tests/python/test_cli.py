"""python -m kestrix: sub-commands, exit status, where errors go."""

import json
import os
import struct
import subprocess
import sys

import pytest

import kestrix
from kestrix import Kestrix


def _run(*args, cwd=None):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run(
        [sys.executable, "-m", "kestrix", *args], capture_output=True, text=True, env=env, cwd=cwd, timeout=300
    )


def _run_script(tmp_path, *args):
    """Runs the command line as the installed console script does: a file named
    kestrix that calls main()."""
    script = tmp_path / "kestrix"
    script.write_text("import sys\nfrom kestrix.__main__ import main\nsys.exit(main())\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, str(script), *args], capture_output=True, text=True, env=env, timeout=300)


@pytest.mark.parametrize("command", [[], ["demo"], ["info"], ["bench"]])
def test_help_is_available_everywhere(command):
    done = _run(*command, "--help")
    assert done.returncode == 0 and done.stdout.startswith("usage: python -m kestrix")
    assert done.stderr == ""


def test_the_console_script_names_itself(tmp_path):
    done = _run_script(tmp_path, "info", "--help")
    assert done.returncode == 0 and done.stdout.startswith("usage: kestrix info ")
    done = _run_script(tmp_path, "info", str(tmp_path / "missing.kx"))
    assert done.returncode == 1 and done.stderr.startswith("kestrix info: error: cannot read")


@pytest.mark.parametrize(
    "args, message",
    [
        ([], "required: COMMAND"),
        (["frobnicate"], "invalid choice"),
        (["demo", "--size", "0"], "must be >= 1"),
        (["info"], "file"),
    ],
)
def test_wrong_command_lines_exit_2_with_usage_on_stderr(args, message):
    done = _run(*args)
    assert done.returncode == 2
    assert done.stdout == "" and message in done.stderr


def test_demo_runs_end_to_end_and_reports_a_table(tmp_path):
    path = tmp_path / "demo.kx"
    done = _run("demo", "--size", "1500", "--queries", "20", "--ef", "10", "64", "--file", str(path))
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""  # not a terminal: no progress bar
    lines = done.stdout.splitlines()
    rows = {
        line.split()[0] + " " + line.split()[1]: line.split() for line in lines if line.startswith(("exact", "index"))
    }
    assert set(rows) == {"exact scan", "index ef=10", "index ef=64"}
    assert float(rows["exact scan"][2]) == 1.0
    assert 0.0 < float(rows["index ef=64"][2]) <= 1.0
    assert "bytes identical after reload: yes" in done.stdout
    assert "index results identical after rebuild: yes" in done.stdout
    assert "(no rebuild)" in done.stdout and "results identical after reload: yes\n" in done.stdout
    assert len(kestrix.load(path)) == 1500


def test_info_describes_a_store_file(tmp_path):
    db = Kestrix()
    for i in range(5):
        db.insert(i, [float(i % 2) - 0.5] * 384)
    db.delete(1)
    db.delete(3)
    path = tmp_path / "s.kx"
    kestrix.save(db, path)
    done = _run("info", "--json", str(path))
    assert done.returncode == 0, done.stderr
    info = json.loads(done.stdout)
    assert (info["slots"], info["live"], info["tombstoned"]) == (5, 3, 2)
    assert (info["format_version"], info["size_bytes"], info["trailing_bytes"]) == (2, 12 + 60 * 5, 0)
    assert info["oldest_insert_ms"] <= info["newest_insert_ms"]
    table = _run("info", str(path))
    assert table.returncode == 0 and "tombstoned       2" in table.stdout
    # Other dimensions keep their codes in a section of their own.
    col = kestrix.Collection(768)
    col.add([1, 2], [[1.0] * 768, [-1.0] * 768])
    col.delete(2)
    col.save(path)
    info = json.loads(_run("info", "--json", str(path)).stdout)
    assert (info["format_version"], info["dimension"], info["live"], info["size_bytes"]) == (3, 768, 1, 12 + 12 * 2)
    assert info["sections"].startswith("store (36 B), codes (224 B)")


def test_info_reads_a_version_1_file(tmp_path):
    # Version 1: header, then ids, then vectors, no timestamps.
    data = b"KSTX" + (1).to_bytes(4, "little") + (2).to_bytes(4, "little")
    data += (7).to_bytes(4, "little") + (0x80000008).to_bytes(4, "little") + bytes(96)
    path = tmp_path / "v1.kx"
    path.write_bytes(data)
    info = json.loads(_run("info", "--json", str(path)).stdout)
    assert (info["format_version"], info["slots"], info["live"], info["tombstoned"]) == (1, 2, 1, 1)
    assert "oldest_insert_ms" not in info


@pytest.mark.parametrize("stamp", [1e300, -1e20, 1.5e12])
def test_info_prints_any_timestamp_the_store_accepts(tmp_path, stamp):
    data = b"KSTX" + (2).to_bytes(4, "little") + (1).to_bytes(4, "little") + (9).to_bytes(4, "little")
    data += struct.pack("<d", stamp) + bytes(48)
    path = tmp_path / "stamps.kx"
    path.write_bytes(data)
    done = _run("info", str(path))
    assert done.returncode == 0 and done.stderr == ""
    assert ("outside the calendar" in done.stdout) == (stamp != 1.5e12)


def test_info_names_the_container_check_a_damaged_save_fails(tmp_path):
    path = tmp_path / "s.kx"
    kestrix.save(Kestrix(), path)
    info = json.loads(_run("info", "--json", str(path)).stdout)
    assert (info["slots"], info["checksums"], info["sections"]) == (0, "verified", "store (12 B)")
    data = bytearray(path.read_bytes())
    data[-30] ^= 1  # the table's offset in the footer
    path.write_bytes(bytes(data))
    done = _run("info", str(path))
    assert done.returncode == 1 and "container error: TableOutOfBounds" in done.stderr


@pytest.mark.parametrize(
    "content, message",
    [(None, "cannot read"), (b"KSTX\x02\x00\x00\x00\x05\x00\x00\x00", "CorruptedData"), (b"hello", "CorruptedData")],
    ids=["missing", "truncated", "foreign"],
)
def test_info_on_a_bad_file_exits_1_with_the_reason_on_stderr(tmp_path, content, message):
    path = tmp_path / "bad.kx"
    if content is not None:
        path.write_bytes(content)
    done = _run("info", str(path))
    assert done.returncode == 1
    assert done.stdout == "" and message in done.stderr


def test_bench_says_when_its_script_is_missing(tmp_path):
    done = _run("bench", "--script", str(tmp_path / "run.py"))
    assert done.returncode == 1 and "benchmark script is missing" in done.stderr


def test_bench_names_a_missing_peer_library(tmp_path):
    script = tmp_path / "run.py"
    script.write_text("import surely_not_installed_peer_lib\n")
    done = _run("bench", "--script", str(script))
    assert done.returncode == 1 and "'surely_not_installed_peer_lib'" in done.stderr
    # The advice names this package's own distribution, not the index's unrelated "kestrix".
    assert "pip install 'kestrix-db[bench]'" in done.stderr


def test_bench_passes_arguments_and_exit_status_through(tmp_path):
    script = tmp_path / "run.py"
    script.write_text("import sys\nprint('args', sys.argv[1:])\nsys.exit(3)\n")
    done = _run("bench", "--script", str(script), "--quick", "x")
    assert done.returncode == 3 and "args ['--quick', 'x']" in done.stdout


def test_progress_bar_draws_only_on_a_terminal():
    import io

    from kestrix.__main__ import Progress

    class Terminal(io.StringIO):
        def isatty(self):
            return True

    shown, hidden = Terminal(), io.StringIO()
    assert list(Progress(shown).iterate(range(250), "work")) == list(range(250))
    assert list(Progress(hidden).iterate(range(250), "work")) == list(range(250))
    assert "250/250" in shown.getvalue() and shown.getvalue().endswith("\n")
    assert hidden.getvalue() == ""
    # A graph build reports through a callback: the same bar, one line per build.
    drawn = Terminal()
    kestrix.Collection().build_index(progress=Progress(drawn).reporter("graph"))
    assert Progress(hidden).reporter("graph") is None
    col = kestrix.Collection()
    col.add(list(range(300)), [[(-1.0) ** (i * j % 7) for j in range(384)] for i in range(300)])
    col.build_index(progress=Progress(drawn).reporter("graph"))
    assert drawn.getvalue().count("\n") == 2 and drawn.getvalue().endswith("300/300\n")


def _save(tmp_path, kind):
    """A save of ``kind`` with 3 documents (one a tombstone in a graph), the
    path to describe, what info must say, and the file to damage."""
    vectors = [[(-1.0) ** ((i * j) % 5) for j in range(384)] for i in range(4)]
    if kind.startswith("langchain"):
        from langchain_core.embeddings import DeterministicFakeEmbedding

        from kestrix.langchain import KestrixVectorStore

        store = KestrixVectorStore(DeterministicFakeEmbedding(size=384), index_min_size=2)
        store.add_embeddings(zip("abcd", vectors), ids=list("abcd"))
        store.delete(["d"])
        store.save_local(tmp_path)
        said = {"kind": "LangChain store", "manifest_version": 4, "documents": 3, "graph": True, "deleted_slots": 1}
        path = tmp_path / "kestrix-langchain.json" if kind.endswith("manifest") else tmp_path
        return path, said, next(tmp_path.glob("store-*.kx"))
    if kind.startswith("llamaindex"):
        from llama_index.core.schema import TextNode

        from kestrix.llamaindex import KestrixVectorStore

        store = KestrixVectorStore(side=None)
        store.add([TextNode(text=t, id_=t, embedding=v) for t, v in zip("abc", vectors)])
        store.persist(str(tmp_path / "default__vector_store.json"))
        (tmp_path / "docstore.json").write_text("{}")  # what StorageContext writes beside it
        said = {"kind": "LlamaIndex store", "manifest_version": 1, "documents": 3, "side": "none", "graph": False}
        if kind.endswith("manifest"):
            return tmp_path / "default__vector_store.json", said, next(tmp_path.glob("*.sqlite"))
        said.pop("kind")  # said of each store in the folder
        return tmp_path, said, next(tmp_path.glob("*.sqlite"))
    from kestrix.distributed import _files as files

    entries = []
    for shard in range(2):
        col = kestrix.Collection(side="int8")
        col.add([shard, shard + 2], vectors[shard : shard + 3 : 2])
        path = tmp_path / files.checkpoint_name(shard, 5)
        col.save(path)
        size, crc = files.file_crc32(str(path))
        entries.append({"file": path.name, "bytes": size, "crc32": crc, "seq": 5})
    files.write_manifest(str(tmp_path), 7, entries, "int8", 384, "ip")
    said = {"kind": "sharded collection", "documents": 4, "saved_batch": 7, "manifest_version": 1, "side": "int8"}
    return tmp_path, said, path


@pytest.mark.parametrize(
    "kind", ["langchain", "langchain-manifest", "llamaindex", "llamaindex-manifest", "sharded", "empty"]
)
def test_info_says_what_a_saved_folder_holds_after_checking_it(tmp_path, kind):
    if kind == "empty":
        done = _run("info", str(tmp_path))
        assert done.returncode == 1 and "holds no Kestrix save" in done.stderr
        return
    pytest.importorskip({"lang": "langchain_core", "llam": "llama_index.core", "shar": "ray"}[kind[:4]])
    path, said, damaged = _save(tmp_path, kind)
    info = json.loads(_run("info", "--json", str(path)).stdout)
    if kind == "llamaindex":
        assert info["kind"] == "LlamaIndex persist folder" and len(info["stores"]) == 1
        info = info["stores"][0]
    assert {key: info[key] for key in said} == said and info["dimension"] == 384
    assert info["checks"].startswith("passed")
    if kind == "sharded":
        assert [(s["shard"], s["documents"], s["side"], s["graph"]) for s in info["shards"]] == [
            (0, 2, "int8", False),
            (1, 2, "int8", False),
        ]
    table = _run("info", str(path))
    assert table.returncode == 0 and "checks" in table.stdout and " passed (" in table.stdout
    data = bytearray(damaged.read_bytes())
    data[len(data) // 2] ^= 1
    damaged.write_bytes(bytes(data))
    done = _run("info", str(path))
    assert done.returncode == 1 and done.stdout == "" and "not a readable" in done.stderr
