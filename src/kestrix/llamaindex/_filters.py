"""LlamaIndex's ``MetadataFilters`` in the document store's filter language.

Each ``MetadataFilter`` becomes one test of a field, and each group the
combination its condition names, so that a whole tree of filters is one SQL
query over the documents (see :mod:`kestrix._filters` for how values
compare). The operators:

====================  ============================================================
``EQ NE GT GTE``      ``$eq $ne $gt $gte $lt $lte``: values compare by kind (a
``LT LTE``            bool is not a number; an ordering matches values of the
                      operand's kind only)
``IN NIN``            ``$in $nin`` (the value is a list)
``CONTAINS``          ``$contains``: a list holding the value, or a string
                      holding it as a substring
``ANY ALL``           a ``$contains`` of any / all of the listed values
``TEXT_MATCH``        a string value holding the value as a substring,
                      case-sensitively (``$like`` of ``%value%``, the value's
                      own ``%`` and ``_`` taken literally)
``IS_EMPTY``          the field is missing, null, ``""`` or ``[]``
====================  ============================================================

``FilterCondition.AND``, ``OR`` and ``NOT`` (none of the filters holds) combine
a group; groups nest. A missing field fails every test but ``NE``, ``NIN``,
``IS_EMPTY`` and what ``NOT`` negates. ``TEXT_MATCH_INSENSITIVE`` has no
counterpart and is refused with ``ValueError``, as are keys starting with
``$`` (the filter language's operators) and empty nested groups.
"""

from typing import Any, Dict, List, Optional

from llama_index.core.vector_stores.types import FilterCondition, FilterOperator, MetadataFilter, MetadataFilters

__all__ = ["filter_dict"]

_FIELD_OPERATORS = {
    FilterOperator.EQ: "$eq",
    FilterOperator.NE: "$ne",
    FilterOperator.GT: "$gt",
    FilterOperator.GTE: "$gte",
    FilterOperator.LT: "$lt",
    FilterOperator.LTE: "$lte",
    FilterOperator.IN: "$in",
    FilterOperator.NIN: "$nin",
    FilterOperator.CONTAINS: "$contains",
}


def filter_dict(filters: Any) -> Optional[Dict[str, Any]]:
    """The filter ``filters`` (a ``MetadataFilters``, or None) stands for;
    None when it holds no filter (everything matches)."""
    if filters is None:
        return None
    if not isinstance(filters, MetadataFilters):
        raise TypeError(f"filters must be a llama_index MetadataFilters, not {type(filters).__name__}")
    if not filters.filters:
        return None
    return _group(filters)


def _group(filters: MetadataFilters) -> Dict[str, Any]:
    parts: List[Dict[str, Any]] = []
    for item in filters.filters:
        if isinstance(item, MetadataFilters):
            if not item.filters:
                raise ValueError("a nested MetadataFilters holds no filters")
            parts.append(_group(item))
        elif isinstance(item, MetadataFilter):
            parts.append(_test(item))
        else:
            raise TypeError(f"MetadataFilters.filters must hold filters, not {type(item).__name__}")
    condition = filters.condition or FilterCondition.AND
    if condition == FilterCondition.NOT:
        return {"$not": _joined("$or", parts)}
    if condition in (FilterCondition.AND, FilterCondition.OR):
        return _joined(f"${condition.value}", parts)
    raise ValueError(f"unknown filter condition {condition!r}")  # pragma: no cover - the enum has no other


def _joined(operator: str, parts: List[Dict[str, Any]]) -> Dict[str, Any]:
    return parts[0] if len(parts) == 1 else {operator: parts}


def _test(item: MetadataFilter) -> Dict[str, Any]:
    key, value, operator = item.key, item.value, item.operator
    if key.startswith("$"):
        raise ValueError(f"metadata key {key!r} starts with '$', which filters keep for their operators")
    if operator in _FIELD_OPERATORS:
        return {key: {_FIELD_OPERATORS[operator]: value}}
    if operator == FilterOperator.TEXT_MATCH:
        if not isinstance(value, str):
            raise ValueError(f"TEXT_MATCH on {key!r} needs a string, not {type(value).__name__}")
        literal = value.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_")
        return {key: {"$like": f"%{literal}%"}}
    if operator == FilterOperator.IS_EMPTY:
        return {"$or": [{key: {"$exists": False}}, {key: None}, {key: ""}, {key: []}]}
    if operator in (FilterOperator.ANY, FilterOperator.ALL):
        if not isinstance(value, list) or not value:
            raise ValueError(f"{operator.name} on {key!r} needs a non-empty list")
        return _joined("$or" if operator == FilterOperator.ANY else "$and", [{key: {"$contains": v}} for v in value])
    raise ValueError(f"filter operator {operator.name} on {key!r} is not supported")
