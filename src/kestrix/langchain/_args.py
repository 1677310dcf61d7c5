"""Checks of the store's arguments, each made before anything changes."""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union, cast

from langchain_core.documents import Document

from .._common import DIMENSION
from .._filters import Filter, parse_filter


def check_options(
    index_min_size: Any,
    rebuild_fraction: Any,
    m: Any,
    ef_construction: Any,
    ef: Any,
    progress: Any,
) -> None:
    """The constructor's graph options, in the order it reads them."""
    for name, value in (
        ("index_min_size", index_min_size),
        ("m", m),
        ("ef_construction", ef_construction),
        ("ef", ef),
    ):
        if name == "ef" and value is None:
            continue
        if isinstance(value, bool) or not isinstance(value, int) or value < (0 if name == "index_min_size" else 1):
            raise ValueError(f"{name} must be a positive int, got {value!r}")
    if m < 2:
        raise ValueError(f"m must be >= 2, got {m}")
    if rebuild_fraction is not None and not (0.0 <= float(rebuild_fraction) <= 1.0):
        raise ValueError(f"rebuild_fraction must lie in [0, 1] or be None, got {rebuild_fraction!r}")
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be callable or None, got {progress!r}")


def check_search_options(oversample: Any, rescore: Any) -> None:
    if isinstance(oversample, bool) or not isinstance(oversample, int) or oversample < 1:
        raise ValueError(f"oversample must be an int >= 1, got {oversample!r}")
    if not isinstance(rescore, bool):
        raise TypeError(f"rescore must be True or False, got {rescore!r}")


def side_argument(side: Any) -> str:
    if side is None:
        return "none"
    if not isinstance(side, str) or side not in ("none", "int8", "float16"):
        raise ValueError(f"side must be 'int8', 'float16', 'none' or None, got {side!r}")
    return side


def check_count(name: str, value: Any) -> None:
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise ValueError(f"{name} must be an int >= 0, got {value!r}")


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


def embedded(vectors: Sequence[Sequence[float]], expected: int, what: str) -> List[List[float]]:
    """What the embedding model returned, checked: ``expected`` vectors of 384 floats."""
    if len(vectors) != expected:
        raise ValueError(f"the embedding model returned {len(vectors)} vectors for {expected} {what}")
    checked = []
    for vector in vectors:
        # A list is read as it is (the collection reads it before this
        # call returns); anything else is taken apart once.
        values = vector if type(vector) is list else list(vector)
        if len(values) != DIMENSION:
            raise ValueError(
                f"the embedding model returned {len(values)}-dim vectors; Kestrix stores {DIMENSION}-dim vectors"
            )
        checked.append(values)
    return checked
