"""The module, the type, the method table, text signatures and docstrings."""

import gc
import inspect
import pickle
import subprocess
import sys
import textwrap
import weakref

import pytest

from kestrix import Kestrix, _kestrix

METHODS = [
    "with_capacity",
    "insert",
    "delete",
    "is_empty",
    "build_index",
    "has_index",
    "search",
    "search_scan",
    "run_gc",
    "compact",
    "serialize",
    "deserialize",
]

TEXT_SIGNATURES = {
    "with_capacity": "(capacity)",
    "insert": "($self, id, vector)",
    "delete": "($self, id)",
    "is_empty": "($self)",
    "build_index": "($self, m=16, ef_construction=200)",
    "has_index": "($self)",
    "search": "($self, query, k, ef=50)",
    "search_scan": "($self, query, k)",
    "run_gc": "($self, ttl_ms)",
    "compact": "($self)",
    "serialize": "($self)",
    "deserialize": "(data)",
}

DOCSTRINGS = {
    "with_capacity": [
        "Create a database pre-allocated for `capacity` vectors.",
        "",
        "Pre-allocation keeps memory addresses stable after bulk inserts, and",
        "enables tombstone recycling once the store is full.",
    ],
    "insert": [
        "Insert a single 384-dim float vector with the given integer `id`.",
        "",
        "The vector is quantised to 384 bits in-place.",
        "Raises ``ValueError`` if the vector is not 384-dimensional.",
        "Raises ``RuntimeError`` if the pre-allocated capacity is full with no",
        "tombstone slots available for recycling.",
    ],
    "delete": [
        "Soft-delete the vector with the given ``id``.",
        "",
        "Returns ``True`` if the vector was found and tombstoned.",
    ],
    "is_empty": ["``True`` if the store has no slots at all."],
    "build_index": [
        "Build (or rebuild) the HNSW approximate nearest-neighbour index.",
        "",
        "Call this after a bulk ``insert`` sequence for faster subsequent searches.",
        "",
        ":param m: Max connections per node per layer (default 16).",
        ":param ef_construction: Exploration factor during build (default 200).",
    ],
    "has_index": ["``True`` if an HNSW index has been built."],
    "search": [
        "Search for the ``k`` nearest neighbours of ``query``.",
        "",
        "Uses the HNSW index when available, falls back to brute-force scan",
        "otherwise.",
        "",
        ":param query: 384-dim float list/array.",
        ":param k: Number of results.",
        ":param ef: HNSW exploration factor (ignored for brute-force). Default 50.",
        ":returns: List of ``(doc_id, score)`` tuples, score \u2208 [0, 1], descending.",
    ],
    "search_scan": [
        "Brute-force KNN scan (always available, no index required).",
        "",
        ":returns: List of ``(doc_id, score)`` tuples, score \u2208 [0, 1], descending.",
    ],
    "run_gc": None,  # line 3 is the implementer's wording; checked separately
    "compact": [
        "Remove all tombstone slots and compact the backing arrays.",
        "",
        "**Warning**: slot indices change after compaction \u2014 the HNSW index is",
        "cleared and must be rebuilt.",
        "",
        ":returns: Number of slots freed.",
    ],
    "serialize": [
        "Serialise the database to ``bytes`` for persistence.",
        "",
        "The result can be written to disk and later restored with",
        ":meth:`deserialize`.",
    ],
    "deserialize": [
        "Restore a database from bytes produced by :meth:`serialize`.",
        "",
        "Raises ``ValueError`` on malformed input.",
    ],
}

CLASS_DOC = [
    "A 1-bit quantised vector database.",
    "",
    "Vectors must be 384-dimensional float arrays.  Internally they are quantised",
    "to 384 bits (12 \u00d7 u32) via sign-binarisation and compared with Hamming",
    "distance, giving ~96 % RAM reduction versus raw f32.",
    "",
    "Example::",
    "",
    "    import kestrix",
    "    db = kestrix.Kestrix()",
    "    db.insert(0, [0.1] * 384)",
    "    results = db.search([0.1] * 384, k=5)",
]

IMPLEMENTATION_WORDS = ["C++", "Rust", "PyO3", "pybind", "nanobind", "Cython", "std::", "Vec<", "f64", "libc"]


# --- module ----------------------------------------------------------------------


def test_module_exports_exactly_kestrix():
    assert _kestrix.__all__ == ["Kestrix"]
    assert type(_kestrix.__all__) is list
    assert _kestrix.Kestrix is Kestrix
    public = {name for name in dir(_kestrix) if not name.startswith("_")}
    assert public == {"Kestrix"}


def test_module_docstring_has_its_five_lines():
    lines = _kestrix.__doc__.split("\n")
    assert len(lines) == 5
    assert lines[0].startswith("Kestrix \u2014 1-bit quantised vector database")
    assert lines[0].endswith(".")
    assert len(lines[0]) > len("Kestrix \u2014 1-bit quantised vector database") + 2
    assert not any(word in lines[0] for word in IMPLEMENTATION_WORDS)
    assert lines[1:] == [
        "",
        "Loaded as `kestrix._kestrix` so the top-level `kestrix` package",
        "can be a regular Python package with `__init__.py` and `langchain.py`",
        "alongside this native extension.",
    ]


def test_module_name():
    assert _kestrix.__name__ == "kestrix._kestrix"


REINIT = textwrap.dedent(
    """
    import importlib, sys
    import kestrix._kestrix as first
    del sys.modules["kestrix._kestrix"]
    try:
        importlib.import_module("kestrix._kestrix")
    except ImportError as e:
        print("ImportError", e.args)
    else:
        print("imported again")
        sys.exit(0)
    # the first module object stays usable
    db = first.Kestrix()
    db.insert(1, [1.0] * 384)
    assert db.search_scan([1.0] * 384, 1) == [(1, 1.0)]
    assert first.__all__ == ["Kestrix"]
    print("first ok")
    """
)


def test_second_initialisation_in_one_process_raises_ImportError():
    out = subprocess.run([sys.executable, "-c", REINIT], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr[-2000:]
    lines = out.stdout.splitlines()
    assert lines[0].startswith("ImportError"), out.stdout
    assert "once" in lines[0].lower()
    assert lines[-1] == "first ok"


SUBINTERPRETER = textwrap.dedent(
    """
    import kestrix._kestrix
    try:
        import _xxsubinterpreters as si
    except ImportError:
        print("unavailable")
        raise SystemExit(0)
    interp = si.create()
    try:
        si.run_string(interp, "import kestrix._kestrix")
    except Exception as e:
        print(str(e))
    else:
        print("imported")
    si.destroy(interp)
    """
)


def test_import_in_a_sub_interpreter_raises_ImportError():
    out = subprocess.run([sys.executable, "-c", SUBINTERPRETER], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr[-2000:]
    if out.stdout.strip() == "unavailable":
        pytest.skip("this interpreter has no _xxsubinterpreters")
    assert "ImportError" in out.stdout, out.stdout


# --- the type --------------------------------------------------------------------


def test_type_names():
    assert Kestrix.__module__ == "builtins"
    assert Kestrix.__name__ == "Kestrix"
    assert Kestrix.__qualname__ == "Kestrix"
    assert Kestrix.__bases__ == (object,)


def test_class_docstring_is_exact_without_signature_line():
    assert Kestrix.__doc__.split("\n") == CLASS_DOC
    assert Kestrix.__text_signature__ in (None, "()")


def test_subclassing_is_refused():
    with pytest.raises(TypeError):
        type("Sub", (Kestrix,), {})


def test_setting_an_attribute_is_refused():
    db = Kestrix()
    with pytest.raises(AttributeError):
        db.foo = 1
    with pytest.raises(AttributeError):
        db.insert = None
    assert not hasattr(db, "__dict__")


def test_weak_reference_is_refused():
    with pytest.raises(TypeError):
        weakref.ref(Kestrix())


def test_instances_are_not_gc_tracked_and_have_fixed_size():
    assert gc.is_tracked(Kestrix()) is False
    assert Kestrix.__itemsize__ == 0
    assert Kestrix.__dictoffset__ == 0
    assert Kestrix.__weakrefoffset__ == 0
    big = Kestrix()
    for i in range(100):
        big.insert(i, [1.0] * 384)
    assert sys.getsizeof(big) == sys.getsizeof(Kestrix())


def test_no_pickling_support():
    with pytest.raises(TypeError):
        pickle.dumps(Kestrix())


def test_identity_semantics_are_inherited_from_object():
    a, b = Kestrix(), Kestrix()
    assert a == a and a != b
    assert hash(a) == hash(a)
    assert "Kestrix object at 0x" in repr(a)


def test_class_dict_holds_the_method_table_in_order():
    d = Kestrix.__dict__
    assert [name for name in d if name in METHODS] == METHODS
    for name in METHODS + ["__new__", "__len__"]:
        assert name in d
    for name in ["__init__", "__repr__", "__eq__", "__hash__", "__dict__", "__weakref__", "__getstate__"]:
        assert name not in d
    own = {k for k in d if not (k.startswith("__") and k.endswith("__"))}
    assert own == set(METHODS)


def test_new_and_len_have_the_interpreters_generic_docstrings():
    assert Kestrix.__len__.__doc__ == list.__len__.__doc__
    assert Kestrix.__new__.__doc__ == object.__new__.__doc__


@pytest.mark.parametrize("name", ["with_capacity", "deserialize"])
def test_static_methods_are_staticmethods_usable_on_class_and_instance(name):
    assert isinstance(Kestrix.__dict__[name], staticmethod)
    arg = 8 if name == "with_capacity" else b"KSTX\x01\x00\x00\x00\x00\x00\x00\x00"
    db = Kestrix()
    db.insert(1, [1.0] * 384)
    before = db.serialize()
    for made in (getattr(Kestrix, name)(arg), getattr(db, name)(arg)):
        assert type(made) is Kestrix
        assert made is not db
        assert len(made) == 0
    assert db.serialize() == before


@pytest.mark.parametrize("name", [m for m in METHODS if m not in ("with_capacity", "deserialize")])
def test_instance_methods_are_method_descriptors(name):
    assert not isinstance(Kestrix.__dict__[name], (staticmethod, classmethod))
    with pytest.raises(TypeError):
        getattr(Kestrix, name)(object())


# --- signatures and docstrings ---------------------------------------------------


@pytest.mark.parametrize("name", METHODS)
def test_text_signature(name):
    assert getattr(Kestrix, name).__text_signature__ == TEXT_SIGNATURES[name]


@pytest.mark.parametrize("name", [n for n, lines in DOCSTRINGS.items() if lines is not None])
def test_method_docstring_is_exact(name):
    assert getattr(Kestrix, name).__doc__ == "\n".join(DOCSTRINGS[name])


def test_run_gc_docstring():
    lines = Kestrix.run_gc.__doc__.split("\n")
    assert len(lines) == 5
    assert lines[0] == "Tombstone all vectors older than ``ttl_ms`` milliseconds."
    assert lines[1] == "" and lines[3] == ""
    assert "clock" in lines[2].lower()
    assert not any(word in lines[2] for word in IMPLEMENTATION_WORDS)
    assert lines[4] == ":returns: Number of vectors tombstoned."


@pytest.mark.parametrize("name", METHODS)
def test_docstrings_hold_no_signature_header_or_trailing_newline(name):
    doc = getattr(Kestrix, name).__doc__
    assert not doc.startswith(name + "(")
    assert "\n--\n" not in doc
    assert not doc.endswith("\n")


def test_docstring_examples():
    assert Kestrix.insert.__doc__.startswith("Insert a single 384-dim float vector")
    assert "(" not in Kestrix.insert.__doc__.split("\n")[0][:7]
    assert Kestrix.is_empty.__doc__ == "``True`` if the store has no slots at all."


def _params(sig):
    return [(p.name, p.default) for p in sig.parameters.values()]


E = inspect.Parameter.empty


@pytest.mark.parametrize(
    "target, params",
    [
        (lambda: Kestrix.search, [("self", E), ("query", E), ("k", E), ("ef", 50)]),
        (lambda: Kestrix().search, [("query", E), ("k", E), ("ef", 50)]),
        (lambda: Kestrix().build_index, [("m", 16), ("ef_construction", 200)]),
        (lambda: Kestrix.deserialize, [("data", E)]),
        (lambda: Kestrix().deserialize, [("data", E)]),
        (lambda: Kestrix.with_capacity, [("capacity", E)]),
        (lambda: Kestrix.insert, [("self", E), ("id", E), ("vector", E)]),
        (lambda: Kestrix().delete, [("id", E)]),
        (lambda: Kestrix().run_gc, [("ttl_ms", E)]),
        (lambda: Kestrix().search_scan, [("query", E), ("k", E)]),
        (lambda: Kestrix().compact, []),
        (lambda: Kestrix().serialize, []),
        (lambda: Kestrix.is_empty, [("self", E)]),
    ],
)
def test_inspect_signature(target, params):
    sig = inspect.signature(target())
    assert _params(sig) == params
    for p in sig.parameters.values():
        if p.name != "self":
            assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD


def test_class_signature_is_empty():
    assert str(inspect.signature(Kestrix)) == "()"
