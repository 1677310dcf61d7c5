"""A griffe extension for the API pages: docstrings that the sources alone
do not show. The compiled modules' signatures come from their stubs
(``_kestrix.pyi``, ``_native.pyi``), their docstrings from the modules
themselves, where the method tables keep them; a method that overrides one
without a docstring of its own shows the one it overrides, as ``help()``
does.

The package must be importable (``make docs`` installs the built wheel).
"""

import importlib
import inspect
from typing import Any, Optional

import griffe


def _runtime(obj: griffe.Object) -> Optional[Any]:
    module = obj.module.path
    try:
        target: Any = importlib.import_module(module)
    except ImportError:
        # A module of an extra that is not installed (langchain, distributed):
        # its own sources are all there is to show.
        return None
    for name in obj.path[len(module) + 1 :].split("."):
        target = getattr(target, name, None)
        if target is None:
            return None
    return target


class NativeDocstrings(griffe.Extension):
    def __init__(self, parser: str = "sphinx") -> None:
        super().__init__()
        self.parser = parser

    def on_instance(self, *, obj: griffe.Object, **kwargs: Any) -> None:
        if obj.docstring is not None or obj.is_module or not obj.path.startswith("kestrix."):
            return
        target = _runtime(obj)
        # An attribute's value has its type's docstring, not one of its own;
        # only descriptors (properties, native getters) carry theirs.
        if target is None or (
            obj.is_attribute and not (inspect.isdatadescriptor(target) or inspect.ismethoddescriptor(target))
        ):
            return
        text = inspect.getdoc(target)
        if text:
            obj.docstring = griffe.Docstring(text, parent=obj, parser=self.parser)
