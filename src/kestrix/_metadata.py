"""What document metadata may hold, and the forms its values are compared in.

Metadata is a dict with string keys whose values are JSON values: None, bool,
int (64-bit: ``-2**63 .. 2**63-1``), float (finite), str, and lists and dicts
of these (a tuple is taken as a list; dict keys are strings), nested at most
``MAX_DEPTH`` levels below the metadata itself. Strings must be valid Unicode
(no lone surrogates) without NUL characters. Anything else (a ``datetime``, a
NumPy scalar, a set, an integer key, NaN) is refused with a ValueError that
names the document and the key, before anything is stored: a value that could
not be saved, or would come back different, never gets in. What is accepted
comes back equal: an int stays an int, a float a float.

Values are compared by kind: None, bool, number (int and float together, by
value, exactly), string, list, dict. Values of different kinds are never equal
(``True`` is not ``1``, at any depth). Lists and dicts are equal when they hold
equal values in the same shape; to compare them, each is written in a
canonical form (keys sorted, every float that holds an integer written as that
integer), so that equal values have the same text.
"""

import json
import math
from typing import Any, Dict, List, Tuple

__all__ = [
    "MAX_DEPTH",
    "NULL",
    "BOOL",
    "NUMBER",
    "STRING",
    "LIST",
    "OBJECT",
    "check_metadata",
    "check_value",
    "check_string",
    "canonical",
    "index_value",
    "index_entries",
]

#: How deep lists and dicts may nest below the metadata dict itself.
MAX_DEPTH = 32

_INT64_MIN = -(2**63)
_INT64_MAX = 2**63 - 1

# The kinds of values, as the document database stores them.
NULL, BOOL, NUMBER, STRING, LIST, OBJECT = range(6)

_JSON_VALUES = "None, bool, int, float, str, list or dict"


class _Refused(Exception):
    """A value that is not a JSON value, and where it sits (innermost last)."""

    def __init__(self, why: str, top_only: bool = False) -> None:
        super().__init__(why)
        self.why = why
        self.path: List[Any] = []
        self.top_only = top_only  # a path as deep as the limit says nothing

    def steps(self) -> List[Any]:
        return self.path[::-1][: 1 if self.top_only else None]

    def where(self) -> str:
        path = self.steps()
        return repr(path[0]) + "".join(f"[{step!r}]" for step in path[1:])


def _type_name(value: Any) -> str:
    kind = type(value)
    return kind.__qualname__ if kind.__module__ == "builtins" else f"{kind.__module__}.{kind.__qualname__}"


def _string_problem(text: str, nul_allowed: bool = False) -> str:
    if not nul_allowed and "\x00" in text:
        return "holds a NUL character"
    if not text.isascii():
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:
            return "is not valid Unicode (it holds a lone surrogate)"
    return ""


def _plain(value: Any, depth: int) -> Any:
    """``value`` as plain JSON values (a fresh copy), or _Refused."""
    kind = type(value)
    # The common cases first, by exact type: a batch holds many values.
    if kind is str and value.isascii() and "\x00" not in value:
        return value
    if (kind is int and _INT64_MIN <= value <= _INT64_MAX) or kind is bool or value is None:
        return value
    if kind is float and math.isfinite(value):
        return value
    if isinstance(value, str):
        problem = _string_problem(value)
        if problem:
            raise _Refused(f"is a string that {problem}")
        return value if type(value) is str else str(value)
    if isinstance(value, bool):
        return value is True
    if isinstance(value, int):
        if not _INT64_MIN <= value <= _INT64_MAX:
            raise _Refused("is an int outside the 64-bit range")
        return value if type(value) is int else int(value)
    if isinstance(value, float):
        if not math.isfinite(value):
            raise _Refused(f"is {value!r}: floats must be finite")
        return value if type(value) is float else float(value)
    if value is None:
        return None
    if isinstance(value, (list, tuple, dict)):
        if depth >= MAX_DEPTH:
            raise _Refused(f"nests lists and dicts deeper than {MAX_DEPTH} levels", top_only=True)
        if isinstance(value, dict):
            return _plain_dict(value, depth + 1)
        if _plain_scalars(value):
            return list(value)
        out = []
        for i, item in enumerate(value):
            try:
                out.append(_plain(item, depth + 1))
            except _Refused as err:
                err.path.append(i)
                raise
        return out
    raise _Refused(f"is a {_type_name(value)}, not a JSON value ({_JSON_VALUES})")


def _plain_scalars(values: Any) -> bool:
    """Whether a list holds only plain ints, or only plain strings, that need
    no change: checked a whole list at a time (a filter's $in may hold
    100,000)."""
    kinds = set(map(type, values))
    if kinds == {int}:
        return bool(_INT64_MIN <= min(values) and max(values) <= _INT64_MAX)
    if kinds == {str}:
        joined = "".join(values)
        return joined.isascii() and "\x00" not in joined
    return False


def _plain_dict(value: Dict[Any, Any], depth: int) -> Dict[str, Any]:
    out = {}
    for key, item in value.items():
        if not isinstance(key, str):
            raise _Refused(f"has the key {key!r}, a {_type_name(key)}: keys must be strings")
        problem = _string_problem(key)
        if problem:
            raise _Refused(f"has a key that {problem}")
        try:
            out[str(key)] = _plain(item, depth)
        except _Refused as err:
            err.path.append(key)
            raise
    return out


def check_metadata(metadata: Any, document: str) -> Dict[str, Any]:
    """A plain copy of ``metadata`` (None is ``{}``), or an error naming
    ``document`` (its key, or its position) and the metadata key.

    TypeError when ``metadata`` is not a dict; ValueError for what it holds.
    """
    if metadata is None:
        return {}
    if not isinstance(metadata, dict):
        raise TypeError(f"the metadata of document {document} must be a dict, not {_type_name(metadata)}")
    try:
        return _plain_dict(metadata, 0)
    except _Refused as err:
        where = f"{err.where()} " if err.path else ""
        raise ValueError(f"metadata of document {document}: {where}{err.why}") from None


def check_value(value: Any, what: str) -> Any:
    """``value`` as a plain JSON value, or ValueError "{what} ...": the same
    rule as for metadata, for values a filter compares with."""
    try:
        return _plain(value, 0)
    except _Refused as err:
        where = "".join(f"[{step!r}]" for step in err.steps())
        raise ValueError(f"{what}{where} {err.why}") from None


def check_string(text: Any, what: str, *, nul_allowed: bool = False) -> str:
    """``text`` if it is a str the database can hold, else TypeError/ValueError.

    A NUL character is refused unless ``nul_allowed`` (a document's text, which
    is only ever stored and returned, may hold one: text taken out of PDFs
    often does); strings that SQL compares or looks up may not."""
    if not isinstance(text, str):
        raise TypeError(f"{what} must be a str, not {_type_name(text)}")
    problem = _string_problem(text, nul_allowed)
    if problem:
        shown = text if len(text) <= 60 else text[:57] + "..."
        raise ValueError(f"{what} {problem}: {shown!r}")
    return text


_CANONICAL = json.JSONEncoder(sort_keys=True, separators=(",", ":"), ensure_ascii=True)


def _normal(value: Any) -> Any:
    if type(value) is float:
        return int(value) if value.is_integer() else value
    if type(value) is list:
        return [_normal(item) for item in value]
    if type(value) is dict:
        return {key: _normal(item) for key, item in value.items()}
    return value


def canonical(value: Any) -> str:
    """The text of a plain list or dict that equal values share."""
    return _CANONICAL.encode(_normal(value))


_KINDS = {str: STRING, int: NUMBER, float: NUMBER, bool: BOOL, type(None): NULL, list: LIST, dict: OBJECT}


def index_value(value: Any) -> Tuple[int, Any]:
    """``(kind, value)`` of a plain value as the database stores it.

    Two plain values are equal exactly when their index values are (a number
    compares with a number by value, so ``(NUMBER, 1) == (NUMBER, 1.0)``), and
    the pairs hash accordingly.
    """
    kind = _KINDS.get(type(value))
    if kind is None:
        if isinstance(value, str):
            kind = STRING
        elif isinstance(value, bool):
            kind = BOOL
        elif isinstance(value, (int, float)):
            kind = NUMBER
        elif value is None:
            kind = NULL
        else:
            kind = LIST if isinstance(value, list) else OBJECT
    if kind == STRING or kind == NUMBER:
        return kind, value
    if kind == BOOL:
        return BOOL, int(value)
    if kind == NULL:
        return NULL, 0
    return kind, canonical(value)


def index_entries(metadata: Dict[str, Any]) -> Tuple[List[Tuple[str, int, Any]], List[Tuple[str, int, Any]]]:
    """The rows a document's plain metadata gives the database: one
    ``(field, kind, value)`` per key, and one per distinct element of each
    list value (what ``$contains`` looks up)."""
    fields = []
    elements = []
    for field, value in metadata.items():
        fields.append((field, *index_value(value)))
        if type(value) is list:
            seen = set()
            for item in value:
                entry = index_value(item)
                if entry not in seen:
                    seen.add(entry)
                    elements.append((field, *entry))
    return fields, elements
