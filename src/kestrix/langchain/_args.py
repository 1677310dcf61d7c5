"""Checks of the store's arguments, each made before anything changes."""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Optional, Tuple, Union, cast

from langchain_core.documents import Document

from .._adapter import check_count
from .._filters import Filter, parse_filter


def check_mmr_arguments(k: Any, fetch_k: Any, lambda_mult: Any) -> None:
    check_count("k", k)
    check_count("fetch_k", fetch_k)
    if isinstance(lambda_mult, bool) or not isinstance(lambda_mult, (int, float)) or not 0.0 <= lambda_mult <= 1.0:
        raise ValueError(f"lambda_mult must be a number in [0, 1], got {lambda_mult!r}")


def filter_argument(filter: Any) -> Union[Filter, Callable[[Document], bool], None]:
    """The filter, checked before any search: a dict is parsed (an empty one
    is no filter), a callable is a test of a document."""
    if isinstance(filter, dict):
        return parse_filter(filter) if filter else None
    if filter is not None and not callable(filter):
        raise TypeError(f"filter must be a dict or a callable, not {type(filter).__name__}")
    return cast(Optional[Callable[[Document], bool]], filter)


def no_other_arguments(method: str, kwargs: Dict[str, Any]) -> None:
    """Refuse keyword arguments a search method does not take: a misspelt
    ``filters=`` must not quietly search unfiltered."""
    for name in kwargs:
        raise TypeError(f"{method}() got an unexpected keyword argument {name!r}")


def texts_batch(
    texts: Any, metadatas: Any, ids: Any
) -> Tuple[List[str], Optional[List[Optional[Dict[str, Any]]]], Optional[List[Optional[str]]]]:
    """``add_texts``' arguments as lists of one length, each item of its kind."""
    texts = list(texts)
    n = len(texts)
    for text in texts:
        if not isinstance(text, str):
            raise TypeError(f"texts must be strings, got {type(text).__name__}")
    if metadatas is not None:
        metadatas = _one_per_text(metadatas, n, "metadatas", dict, "each metadata must be a dict")
    if ids is not None:
        ids = _one_per_text(ids, n, "ids", str, "ids must be strings (or None)")
    return texts, metadatas, ids


def _one_per_text(values: Any, n: int, what: str, kind: type, rule: str) -> List[Any]:
    """``values`` as a list of ``n`` items, each None or a ``kind``."""
    items = list(values)
    if len(items) != n:
        raise ValueError(f"got {len(items)} {what} for {n} texts")
    for item in items:
        if item is not None and not isinstance(item, kind):
            raise TypeError(f"{rule}, got {type(item).__name__}")
    return items
