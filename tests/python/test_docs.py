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
import re
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


@pytest.mark.parametrize("module", ["kestrix", "kestrix.langchain", "kestrix.distributed"])
def test_every_public_name_has_an_api_entry(module):
    entries = set(re.findall(r"^::: (\S+)$", (ROOT / "docs" / "api.md").read_text(encoding="utf-8"), re.M))
    missing = [name for name in _public_names(module) if f"{module}.{name}" not in entries]
    assert missing == []
