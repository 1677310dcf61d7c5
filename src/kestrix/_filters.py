"""Metadata filters in the dictionary form LangChain users write.

A filter is a dict. Each plain key names a metadata field and holds either a
value (equality) or a dict of operators; several keys must all hold. The
logical operators ``$and`` and ``$or`` take a non-empty list of filters::

    {"lang": "en"}                                   # lang == "en"
    {"year": {"$gte": 2000, "$lt": 2010}}             # 2000 <= year < 2010
    {"tag": {"$in": ["a", "b"]}, "draft": {"$ne": True}}
    {"$or": [{"lang": "en"}, {"lang": "fr"}]}

Field operators: ``$eq``, ``$ne``, ``$gt``, ``$gte``, ``$lt``, ``$lte``,
``$in``, ``$nin``. A missing field fails every test except ``$ne`` and
``$nin`` (it is not equal to anything). Values that cannot be ordered against
each other (a string against a number) do not match rather than raise, and a
bool is never equal to a number (``True`` is not ``1`` here). An unknown
operator, or an operand of the wrong shape, raises ``ValueError`` when the
filter is compiled, before any search runs: a typo must not quietly return
nothing.
"""

import operator
from typing import Any, Callable, Dict, List, Mapping

__all__ = ["compile_filter", "Predicate"]

Predicate = Callable[[Mapping[str, Any]], bool]

_MISSING = object()


def _same_kind(a: Any, b: Any) -> bool:
    return isinstance(a, bool) == isinstance(b, bool)


def _equal(a: Any, b: Any) -> bool:
    if a is _MISSING or not _same_kind(a, b):
        return False
    try:
        return bool(a == b)
    except Exception:  # a value whose == raises is simply not equal
        return False


def _ordered(compare: Callable[[Any, Any], Any]) -> Callable[[Any, Any], bool]:
    def test(a: Any, b: Any) -> bool:
        if a is _MISSING or not _same_kind(a, b):
            return False
        try:
            return bool(compare(a, b))
        except TypeError:
            return False

    return test


def _member(a: Any, options: List[Any]) -> bool:
    return any(_equal(a, option) for option in options)


_FIELD_OPERATORS: Dict[str, Callable[[Any, Any], bool]] = {
    "$eq": _equal,
    "$ne": lambda a, b: not _equal(a, b),
    "$gt": _ordered(operator.gt),
    "$gte": _ordered(operator.ge),
    "$lt": _ordered(operator.lt),
    "$lte": _ordered(operator.le),
    "$in": _member,
    "$nin": lambda a, b: not _member(a, b),
}


def _field_test(field: str, condition: Any) -> Predicate:
    if not isinstance(condition, dict):
        expected = condition
        return lambda metadata: _equal(metadata.get(field, _MISSING), expected)
    if not condition:
        raise ValueError(f"filter on {field!r} has an empty operator dict")
    tests = []
    for name, operand in condition.items():
        test = _FIELD_OPERATORS.get(name)
        if test is None:
            known = ", ".join(_FIELD_OPERATORS)
            raise ValueError(f"unknown filter operator {name!r} on {field!r} (known: {known})")
        if name in ("$in", "$nin"):
            if not isinstance(operand, (list, tuple)):
                raise ValueError(f"{name} on {field!r} needs a list, not {type(operand).__name__}")
            operand = list(operand)
        tests.append((test, operand))

    def check(metadata: Mapping[str, Any]) -> bool:
        value = metadata.get(field, _MISSING)
        return all(test(value, operand) for test, operand in tests)

    return check


def _combine(join: Callable[[Any], bool], inner: List[Predicate]) -> Predicate:
    return lambda metadata: join(p(metadata) for p in inner)


# Far deeper than any filter a person writes; bounds the recursion of a
# generated or hostile one.
_MAX_DEPTH = 64


def compile_filter(conditions: Any, _depth: int = 0) -> Predicate:
    """Turn a filter dict into a predicate over a metadata mapping."""
    if _depth > _MAX_DEPTH:
        raise ValueError(f"filter nests $and/$or deeper than {_MAX_DEPTH} levels")
    if not isinstance(conditions, dict):
        raise ValueError(f"a filter must be a dict, not {type(conditions).__name__}")
    parts: List[Predicate] = []
    for key, value in conditions.items():
        if not isinstance(key, str):
            raise ValueError(f"filter keys must be strings, not {type(key).__name__}")
        if key in ("$and", "$or"):
            if not isinstance(value, (list, tuple)) or not value:
                raise ValueError(f"{key} needs a non-empty list of filters")
            inner = [compile_filter(item, _depth + 1) for item in value]
            parts.append(_combine(all if key == "$and" else any, inner))
        elif key.startswith("$"):
            raise ValueError(f"unknown filter operator {key!r} (known at the top level: $and, $or)")
        else:
            parts.append(_field_test(key, value))
    return lambda metadata: all(p(metadata) for p in parts)
