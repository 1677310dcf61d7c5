"""The stub matches the built module, and typed code using the package passes mypy --strict."""

import os
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import kestrix

pytest.importorskip("mypy")

USAGE = textwrap.dedent(
    """
    from typing import List, Tuple

    import numpy as np
    import numpy.typing as npt

    import kestrix
    from kestrix import Kestrix


    def build(rows: List[List[float]]) -> Kestrix:
        db = Kestrix.with_capacity(len(rows) + 1)
        for i, row in enumerate(rows):
            slot: int = db.insert(i, row)
            assert slot == i
        db.build_index(m=8, ef_construction=64)
        return db


    def query(db: Kestrix, q: List[float]) -> List[Tuple[int, float]]:
        exact = db.search_scan(q, 3)
        fast = db.search(q, k=3, ef=32)
        return exact if len(exact) >= len(fast) else fast


    def arrays(db: Kestrix, data: npt.NDArray[np.float32]) -> Tuple[int, float]:
        kestrix.insert_many(db, np.arange(len(data)), data)
        db.insert(99, data[0])  # a 1-D array is accepted as a vector
        ids, scores = kestrix.search_many(db, data, 2, ef=None, exact=True)
        return int(ids[0, 0]), float(scores[0, 0])


    def files(db: Kestrix, path: str) -> bool:
        kestrix.save(db, path)
        again = kestrix.load(path)
        removed: int = again.run_gc(1000.0) + again.compact()
        return again.serialize() == Kestrix.deserialize(db.serialize()).serialize() and removed >= 0


    def sizes(db: Kestrix) -> Tuple[int, bool, bool, bool]:
        return len(db), db.is_empty(), db.has_index(), db.delete(3)
    """
)


def _env():
    env = dict(os.environ)
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(kestrix.__file__)))
    site = {os.path.abspath(sysconfig.get_paths()[key]) for key in ("purelib", "platlib")}
    # An installed package is found through the interpreter; a development
    # tree is found through MYPYPATH (which must never name site-packages).
    if package_root not in site:
        env["MYPYPATH"] = package_root
    return env


def _run(args):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, env=_env())


def test_stubs_match_the_built_modules():
    # One run for both modules: most of a run is mypy reading the standard
    # library's stubs.
    done = _run(["mypy.stubtest", "kestrix._kestrix", "kestrix._native"])
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    # Shared by the strict runs below, so the second reuses what the first
    # read (the standard library's stubs, NumPy's, the package's own).
    return str(tmp_path_factory.mktemp("mypy-cache"))


def test_typed_usage_passes_mypy_strict(tmp_path, mypy_cache):
    pytest.importorskip("numpy")
    usage = tmp_path / "usage.py"
    usage.write_text(USAGE)
    done = _run(["mypy", "--strict", "--cache-dir", mypy_cache, str(usage)])
    assert done.returncode == 0, done.stdout + done.stderr


def test_mypy_strict_rejects_misuse(tmp_path, mypy_cache):
    # Guards against a stub so loose (Any everywhere) that nothing could fail.
    bad = tmp_path / "bad.py"
    bad.write_text(
        "import kestrix\n"
        "db = kestrix.Kestrix()\n"
        "db.insert('seven', [1.0] * 384)\n"
        "hits: list[str] = db.search_scan([1.0] * 384, 3)\n"
        "kestrix.save('not a store', 'x.kx')\n"
    )
    done = _run(["mypy", "--strict", "--cache-dir", mypy_cache, str(bad)])
    assert done.returncode == 1
    assert done.stdout.count("error:") == 3, done.stdout
