"""Metadata filters in the dictionary form LangChain users write.

A filter is a dict. Each plain key names a top-level metadata field (a dot in
it is part of the name) and holds either a value (equality) or a dict of
operators; several keys must all hold. ``$and`` and ``$or`` take a non-empty
list of filters (at most ``MAX_ITEMS``; a long list of values is what ``$in``
is for), ``$not`` one filter::

    {"lang": "en"}                                   # lang == "en"
    {"year": {"$gte": 2000, "$lt": 2010}}             # 2000 <= year < 2010
    {"tag": {"$in": ["a", "b"]}, "draft": {"$ne": True}}
    {"$or": [{"lang": "en"}, {"lang": "fr"}]}
    {"$not": {"lang": "en"}}, {"year": {"$not": {"$gt": 2000}}}
    {"tags": {"$contains": "kb"}}, {"title": {"$like": "How to %"}}

Field operators:

- ``$eq``, ``$ne``: equality as metadata values are compared (see
  :mod:`kestrix._metadata`): by kind, so a bool is never equal to a number
  (``True`` is not ``1`` here), an int equals the float of the same value, and
  lists and dicts are equal when they hold equal values in the same shape.
- ``$gt``, ``$gte``, ``$lt``, ``$lte``: the operand is a number, a string or a
  bool; a value matches when it is of the same kind and compares so (numbers
  by value, strings by code point, ``False < True``). Values of other kinds,
  lists and dicts included, never match.
- ``$in``, ``$nin``: the operand is a list; equality with any of its values.
- ``$exists``: ``True`` matches documents that have the field (whatever its
  value, None included), ``False`` those that have not.
- ``$contains``: a list value holding an element equal to the operand, or a
  string value holding the operand (a string) as a substring.
- ``$like``: a string value that matches the pattern whole, as SQL's LIKE, and
  case-sensitively: ``%`` stands for any run of characters (none included),
  ``_`` for exactly one, a backslash makes the next character literal (``\\%``,
  ``\\_``, ``\\\\``), every other character stands for itself. Values that are
  not strings never match.
- ``$not``: the operators (or the value) it holds do not all hold.

A missing field fails every test except the negations (``$ne``, ``$nin``,
``$exists: False`` and ``$not``): it is not equal to anything. An unknown
operator, or an operand of the wrong shape or a value no metadata can hold (a
``datetime``, NaN, an int beyond 64 bits), raises ``ValueError`` when the
filter is compiled, before any search runs: a typo must not quietly return
nothing.

One parsed filter has two evaluators that agree: :meth:`Filter.__call__` tests
a metadata dict in Python (the reference), :meth:`Filter.sql` gives the one
SQL query over the document database that yields the matching document ids.
"""

import json
import operator
from typing import Any, Callable, Dict, FrozenSet, List, Mapping, Optional, Tuple

from ._metadata import BOOL, NULL, NUMBER, STRING, check_value, index_value

__all__ = ["compile_filter", "parse_filter", "Filter", "Predicate", "MAX_ITEMS"]

Predicate = Callable[[Mapping[str, Any]], bool]

# Far deeper than any filter a person writes; bounds the recursion of a
# generated or hostile one (and the nesting of its SQL).
_MAX_DEPTH = 32
#: The most filters one $and or $or takes (SQLite joins at most 500 queries).
MAX_ITEMS = 256

_MISSING = object()

Node = Tuple[Any, ...]

_ORDERINGS: Dict[str, Tuple[str, Callable[[Any, Any], bool]]] = {
    "$gt": (">", operator.gt),
    "$gte": (">=", operator.ge),
    "$lt": ("<", operator.lt),
    "$lte": ("<=", operator.le),
}
_FIELD_OPERATORS = ("$eq", "$ne", *_ORDERINGS, "$in", "$nin", "$exists", "$contains", "$like", "$not")
_INT64 = (-(2**63), 2**63 - 1)


# ---------------------------------------------------------------- $like


class _Like:
    """A $like pattern: its tokens (a character, or ANY / ONE), the same
    pattern for SQLite's GLOB, and the literal prefix every match starts with."""

    ANY = object()
    ONE = object()

    def __init__(self, pattern: str, where: str) -> None:
        self.tokens: List[Any] = []
        glob = []
        prefix: Optional[List[str]] = []
        i = 0
        while i < len(pattern):
            c = pattern[i]
            if c in "%_":
                self.tokens.append(self.ANY if c == "%" else self.ONE)
                glob.append("*" if c == "%" else "?")
                prefix = None
                i += 1
                continue
            if c == "\\":
                if i + 1 == len(pattern):
                    raise ValueError(f"$like pattern on {where} ends in a lone backslash: {pattern!r}")
                c = pattern[i + 1]
                i += 1
            self.tokens.append(c)
            # GLOB's own wildcards, and its sets' opening bracket, as sets of one.
            glob.append(f"[{c}]" if c in "*?[" else c)
            if prefix is not None:
                prefix.append(c)
            i += 1
        self.glob = "".join(glob)
        self.prefix = "".join(prefix or ())

    def matches(self, text: str) -> bool:
        # Wildcard matching that goes back only to the last ANY: linear in
        # the text for each token, whatever the pattern (a regular expression
        # can take exponential time on a hostile one).
        tokens = self.tokens
        t = p = 0
        star, mark = -1, 0
        while t < len(text):
            if p < len(tokens) and tokens[p] is not self.ANY and (tokens[p] is self.ONE or tokens[p] == text[t]):
                p += 1
                t += 1
            elif p < len(tokens) and tokens[p] is self.ANY:
                star, mark = p, t
                p += 1
            elif star >= 0:
                p = star + 1
                mark += 1
                t = mark
            else:
                return False
        while p < len(tokens) and tokens[p] is self.ANY:
            p += 1
        return p == len(tokens)

    def prefix_range(self) -> Optional[Tuple[str, str]]:
        """``(low, high)``: every string starting with the prefix lies in
        ``[low, high)`` (UTF-8 order is code point order), or None."""
        if not self.prefix:
            return None
        last = ord(self.prefix[-1]) + 1
        if 0xD800 <= last <= 0xDFFF:
            last = 0xE000
        if last > 0x10FFFF:
            return None
        return self.prefix, self.prefix[:-1] + chr(last)


class _Options:
    """The values of $in / $nin, and (made when first needed) the set of
    their index values to test membership in."""

    def __init__(self, values: List[Any]) -> None:
        self.values = values
        self._keys: Optional[FrozenSet[Any]] = None

    def __contains__(self, key: Any) -> bool:
        if self._keys is None:
            self._keys = frozenset(index_value(value) for value in self.values)
        return key in self._keys


# ---------------------------------------------------------------- parsing


def _operand(value: Any, name: str, field: str) -> Any:
    return check_value(value, f"the operand of {name} on {field!r}")


def _field_node(field: str, name: str, operand: Any, depth: int) -> Node:
    if name in ("$eq", "$ne"):
        node: Node = ("field", field, "eq", index_value(_operand(operand, name, field)))
        return ("not", node) if name == "$ne" else node
    if name in _ORDERINGS:
        value = _operand(operand, name, field)
        kind = index_value(value)[0]
        if kind not in (BOOL, NUMBER, STRING):
            raise ValueError(f"{name} on {field!r} needs a number, a string or a bool, not {type(operand).__name__}")
        return ("field", field, name, (kind, value))
    if name in ("$in", "$nin"):
        if not isinstance(operand, (list, tuple)):
            raise ValueError(f"{name} on {field!r} needs a list, not {type(operand).__name__}")
        node = ("field", field, "in", _Options(_operand(list(operand), name, field)))
        return ("not", node) if name == "$nin" else node
    if name == "$exists":
        if not isinstance(operand, bool):
            raise ValueError(f"$exists on {field!r} needs True or False, not {operand!r}")
        node = ("field", field, "exists", None)
        return node if operand else ("not", node)
    if name == "$contains":
        value = _operand(operand, name, field)
        return ("field", field, "contains", (index_value(value), value if isinstance(value, str) else None))
    if name == "$like":
        if not isinstance(operand, str):
            raise ValueError(f"$like on {field!r} needs a string pattern, not {type(operand).__name__}")
        _operand(operand, name, field)
        return ("field", field, "like", _Like(operand, repr(field)))
    if name == "$not":
        return ("not", _field_test(field, operand, depth + 1))
    known = ", ".join(_FIELD_OPERATORS)
    raise ValueError(f"unknown filter operator {name!r} on {field!r} (known: {known})")


def _field_test(field: str, condition: Any, depth: int) -> Node:
    if depth > _MAX_DEPTH:
        raise ValueError(f"filter nests deeper than {_MAX_DEPTH} levels")
    if not isinstance(condition, dict):
        return _field_node(field, "$eq", condition, depth)
    if not condition:
        raise ValueError(f"filter on {field!r} has an empty operator dict")
    tests = []
    for name, operand in condition.items():
        if not isinstance(name, str):
            raise ValueError(f"filter operators on {field!r} must be strings, not {type(name).__name__}")
        tests.append(_field_node(field, name, operand, depth))
    return tests[0] if len(tests) == 1 else ("and", tests)


def _parse(conditions: Any, depth: int) -> Node:
    if depth > _MAX_DEPTH:
        raise ValueError(f"filter nests deeper than {_MAX_DEPTH} levels")
    if not isinstance(conditions, dict):
        raise ValueError(f"a filter must be a dict, not {type(conditions).__name__}")
    parts: List[Node] = []
    for key, value in conditions.items():
        if not isinstance(key, str):
            raise ValueError(f"filter keys must be strings, not {type(key).__name__}")
        if key in ("$and", "$or"):
            if not isinstance(value, (list, tuple)) or not value:
                raise ValueError(f"{key} needs a non-empty list of filters")
            if len(value) > MAX_ITEMS:
                raise ValueError(f"{key} takes at most {MAX_ITEMS} filters, got {len(value)} (use $in for many values)")
            inner = [_parse(item, depth + 1) for item in value]
            parts.append(inner[0] if len(inner) == 1 else ("and" if key == "$and" else "or", inner))
        elif key == "$not":
            parts.append(("not", _parse(value, depth + 1)))
        elif key.startswith("$"):
            raise ValueError(f"unknown filter operator {key!r} (known at the top level: $and, $or, $not)")
        else:
            if "\x00" in key:
                raise ValueError(f"filter field {key!r} holds a NUL character")
            parts.append(_field_test(key, value, depth + 1))
    return parts[0] if len(parts) == 1 else ("and", parts)


# ---------------------------------------------------------------- Python


def _key(value: Any) -> Any:
    try:
        return index_value(value)
    except (TypeError, ValueError):  # not a plain value: equal to no operand
        return None


def _field_matches(op: str, arg: Any, value: Any) -> bool:
    if value is _MISSING:
        return False
    if op == "eq":
        return bool(_key(value) == arg)
    if op == "in":
        return _key(value) in arg
    if op == "exists":
        return True
    if op == "contains":
        if type(value) is list:
            return any(_key(item) == arg[0] for item in value)
        return isinstance(value, str) and arg[1] is not None and arg[1] in value
    if op == "like":
        return isinstance(value, str) and bool(arg.matches(value))
    kind, operand = arg
    key = _key(value)
    return key is not None and key[0] == kind and _ORDERINGS[op][1](value, operand)


def _matches(node: Node, metadata: Mapping[str, Any]) -> bool:
    tag = node[0]
    if tag == "field":
        return _field_matches(node[2], node[3], metadata.get(node[1], _MISSING))
    if tag == "not":
        return not _matches(node[1], metadata)
    if tag == "and":
        return all(_matches(child, metadata) for child in node[1])
    return any(_matches(child, metadata) for child in node[1])


# ---------------------------------------------------------------- SQL
#
# Each node becomes a named query yielding distinct document ids: a field
# test looks up the indexed (field, kind, value, doc_id) rows; a conjunction
# runs its first positive part and keeps the ids found in the others; a
# disjunction is a UNION. A negation stays an exclusion (NOT IN) for as long
# as it can, so that the complement of a small set is taken once, at the top,
# against the documents table. Values are always bound, never written into
# the text.

_ALL = "SELECT doc_id FROM documents"


def _in_queries(field: str, values: List[Any], scan: bool) -> List[Tuple[str, List[Any]]]:
    by_kind: Dict[int, List[Any]] = {}
    floats: List[float] = []
    kinds = set(map(type, values))
    if kinds == {int} or kinds == {str}:  # the common cases, a whole list at once
        by_kind[NUMBER if kinds == {int} else STRING] = values
        values = []
    for value in values:
        if type(value) is int:  # the common case, first
            by_kind.setdefault(NUMBER, []).append(value)
            continue
        kind, stored = index_value(value)
        if kind == NUMBER and type(stored) is float:
            if stored.is_integer() and _INT64[0] <= stored <= _INT64[1]:
                stored = int(stored)
            else:
                # JSON text would go through SQLite's own decimal reader,
                # which need not round as Python does: bound exactly.
                floats.append(stored)
                continue
        by_kind.setdefault(kind, []).append(stored)
    base = "SELECT doc_id FROM fields WHERE field = ? AND kind = ?"
    # A long list is cheaper to test on each of the field's rows (read in
    # index order) than to look up value by value: "+" keeps SQLite from
    # seeking the index with it.
    column = "+value" if scan else "value"
    queries = []
    for kind, stored_values in sorted(by_kind.items()):
        if kind == NULL:
            queries.append((base, [field, kind]))
        else:
            # Ints, strings (no NUL) and canonical texts pass through JSON exactly.
            queries.append(
                (
                    f"{base} AND {column} IN (SELECT value FROM json_each(?))",
                    [field, kind, json.dumps(stored_values, ensure_ascii=False)],
                )
            )
    if floats:
        marks = ", ".join("?" * len(floats))
        queries.append((f"{base} AND {column} IN ({marks})", [field, NUMBER, *floats]))
    return queries


def _field_sql(field: str, op: str, arg: Any, documents: int) -> Tuple[str, List[Any]]:
    base = "SELECT doc_id FROM fields WHERE field = ?"
    if op == "eq":
        return f"{base} AND kind = ? AND value = ?", [field, *arg]
    if op == "exists":
        return base, [field]
    if op == "in":
        queries = _in_queries(field, arg.values, scan=len(arg.values) * 8 > documents)
        if not queries:
            return f"{base} AND 0", [field]
        return " UNION ALL ".join(q for q, _ in queries), [p for _, params in queries for p in params]
    if op == "contains":
        sql = "SELECT doc_id FROM elements WHERE field = ? AND kind = ? AND value = ?"
        params = [field, *arg[0]]
        if arg[1] is not None:
            # A field is a list or a string in any one document: the two never meet.
            sql += f" UNION ALL {base} AND kind = {STRING} AND instr(value, ?) > 0"
            params += [field, arg[1]]
        return sql, params
    if op == "like":
        sql = f"{base} AND kind = {STRING} AND value GLOB ?"
        params = [field, arg.glob]
        bounds = arg.prefix_range()
        if bounds is not None:
            sql += " AND value >= ? AND value < ?"
            params += list(bounds)
        return sql, params
    kind, operand = arg
    return f"{base} AND kind = ? AND value {_ORDERINGS[op][0]} ?", [field, kind, operand]


class _Query:
    """The named parts of one query (a WITH clause each), keeping the text
    flat however deep the filter nests, and their parameters in order."""

    def __init__(self, documents: int) -> None:
        self.parts: List[str] = []
        self.params: List[Any] = []
        self.documents = documents

    def add(self, sql: str, params: List[Any]) -> str:
        name = f"f{len(self.parts)}"
        self.parts.append(f"{name}(doc_id) AS ({sql})")
        self.params += params
        return name

    def text(self, name: str) -> str:
        return f"WITH {', '.join(self.parts)} SELECT doc_id FROM {name}"


def _sql(node: Node, query: _Query) -> Tuple[bool, str]:
    """``(positive, name)``: the ids the node matches are those of the named
    part when positive, all the others when not."""
    tag = node[0]
    if tag == "field":
        return True, query.add(*_field_sql(node[1], node[2], node[3], query.documents))
    if tag == "not":
        positive, name = _sql(node[1], query)
        return not positive, name
    parts = [_sql(child, query) for child in node[1]]
    if tag == "and":
        return True, _intersect(parts, query)
    if all(not positive for positive, _ in parts):
        # not a or not b ... = not (a and b ...)
        return False, _intersect([(True, name) for _, name in parts], query)
    union = " UNION ".join(f"SELECT doc_id FROM {_positive(*part)}" for part in parts)
    return True, query.add(union, [])


def _positive(positive: bool, name: str) -> str:
    return name if positive else f"documents WHERE doc_id NOT IN {name}"


def _intersect(parts: List[Tuple[bool, str]], query: _Query) -> str:
    drivers = [i for i, (positive, _) in enumerate(parts) if positive]
    first = drivers[0] if drivers else -1
    tests = [
        f"doc_id {'IN' if positive else 'NOT IN'} {name}" for i, (positive, name) in enumerate(parts) if i != first
    ]
    driver = parts[first][1] if drivers else "documents"
    if not tests:
        return driver if drivers else query.add(_ALL, [])
    return query.add(f"SELECT doc_id FROM {driver} WHERE {' AND '.join(tests)}", [])


# ---------------------------------------------------------------- the filter


class Filter:
    """A parsed filter: call it on a metadata dict, or ask for its SQL."""

    __slots__ = ("_node",)

    def __init__(self, node: Node) -> None:
        self._node = node

    def __call__(self, metadata: Mapping[str, Any]) -> bool:
        return _matches(self._node, metadata)

    def sql(self, documents: int = 2**63) -> Tuple[str, List[Any]]:
        """One query over the document database yielding the ids of the
        matching documents, each once, in no particular order. ``documents``
        (about how many the database holds) chooses how long lists of values
        are looked up."""
        query = _Query(documents)
        positive, name = _sql(self._node, query)
        return query.text(_positive(positive, name)), query.params


def parse_filter(conditions: Any) -> Filter:
    """Check a filter dict and parse it; ValueError says what is wrong."""
    if isinstance(conditions, Filter):
        return conditions
    return Filter(_parse(conditions, 0))


def compile_filter(conditions: Any) -> Predicate:
    """Turn a filter dict into a predicate over a metadata mapping."""
    return parse_filter(conditions)
