"""The store's folder: the collection file, the manifest that commits it, the lock.

A save writes the collection to a new file in the folder and then, as the
commit point, atomically replaces the manifest, which names that file and its
SHA-256. A load checks the manifest's shape, the file against its digest, and
the collection against the manifest's documents before anything is used.
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import secrets
import struct
import sys
from typing import Any, Dict, Iterator, List, Tuple, cast

from .._common import DIMENSION, MAX_DOC_ID, TOMBSTONE_BIT
from .._files import DOC_IDS_SECTION, atomic_write_bytes, read_sections
from .._format import ID_WORDS_OFFSET
from .._kestrix import Kestrix
from ..collection import Collection
from ._ids import collector_paused

MANIFEST = "kestrix-langchain.json"
LOCK = ".kestrix-langchain.lock"
_FORMAT = "kestrix-langchain"
# Version 1 folders hold a plain Kestrix store; version 2 a Collection file
# of codes only; version 3 a Collection file with a side, named in the
# manifest. A codes-only store is still saved as version 2, which earlier
# readers open as it is; they refuse a side they would not rescore with.
_CODES_ONLY_VERSION = 2
_SIDE_VERSION = 3
_READABLE_VERSIONS = (1, 2, 3)

Sections = List[Tuple[int, bytes]]


@contextlib.contextmanager
def folder_lock(folder: str, exclusive: bool) -> Iterator[None]:
    """Hold the folder's lock: exclusive to save, shared to load.

    A load from a folder this process may not write to goes without the lock
    when the lock file does not exist yet (no save can be running there).
    """
    path = os.path.join(folder, LOCK)
    try:
        fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o666)
    except OSError:
        if exclusive:
            raise
        try:
            fd = os.open(path, os.O_RDONLY)
        except OSError:
            yield
            return
    try:
        if sys.platform == "win32":  # pragma: no cover - no shared locks there
            import msvcrt

            msvcrt.locking(fd, msvcrt.LK_LOCK, 1)
        else:
            import fcntl

            fcntl.flock(fd, fcntl.LOCK_EX if exclusive else fcntl.LOCK_SH)
        yield
    finally:
        os.close(fd)  # closing the descriptor releases the lock


def write_folder(
    folder_path: str, data: bytes, side: str, state: Dict[str, Any], documents: List[Dict[str, Any]]
) -> None:
    """Commit the collection file ``data`` with its manifest into ``folder_path``
    (created if needed), then remove the store files of earlier saves."""
    # Encode before touching the disk, so unserialisable metadata fails
    # with the folder as it was.
    store_name = f"store-{secrets.token_hex(8)}.kx"
    manifest = {
        "format": _FORMAT,
        "version": _CODES_ONLY_VERSION if side == "none" else _SIDE_VERSION,
        **({} if side == "none" else {"side": side}),
        "dimension": DIMENSION,
        "store_file": store_name,
        "store_sha256": hashlib.sha256(data).hexdigest(),
        **state,
        "documents": documents,
    }
    try:
        encoded = json.dumps(manifest, ensure_ascii=False, allow_nan=False).encode("utf-8")
    except (TypeError, ValueError) as err:
        bad = next((d["id"] for d in documents if not _json_ok(d["metadata"])), None)
        where = f" in the metadata of document {bad!r}" if bad is not None else ""
        raise TypeError(f"cannot save{where}: {err}") from None
    os.makedirs(folder_path, exist_ok=True)
    with folder_lock(folder_path, exclusive=True):
        atomic_write_bytes(os.path.join(folder_path, store_name), data)
        atomic_write_bytes(os.path.join(folder_path, MANIFEST), encoded)
        # Older store files are no longer named by the manifest, and no
        # other save or load holds the lock to use one.
        for name in os.listdir(folder_path):
            if name.startswith("store-") and name.endswith(".kx") and name != store_name:
                try:
                    os.unlink(os.path.join(folder_path, name))
                except OSError:
                    pass


def read_folder(folder_path: str) -> Tuple[Dict[str, Any], Collection, Sections, int]:
    """The checked manifest of ``folder_path``, the collection it commits, the
    file's sections and the collection's deleted slots."""
    manifest_path = os.path.join(folder_path, MANIFEST)
    if not os.path.isfile(manifest_path):
        raise FileNotFoundError(f"{folder_path!r} holds no saved Kestrix store ({MANIFEST} is missing)")
    # The manifest and the store file it names are read under the lock,
    # so no save in between can remove the file.
    with folder_lock(folder_path, exclusive=False):
        with open(manifest_path, "rb") as f:
            raw = f.read()
        try:
            with collector_paused():  # one dict per document
                manifest = json.loads(raw.decode("utf-8"))
        except (UnicodeDecodeError, ValueError, RecursionError) as err:
            # RecursionError: nesting deeper than the parser's stack.
            raise ValueError(f"damaged manifest {manifest_path!r}: {type(err).__name__}: {err}") from None
        store_name = _check_manifest(manifest, manifest_path)
        store_path = os.path.join(folder_path, store_name)
        try:
            with open(store_path, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            raise FileNotFoundError(
                f"{folder_path!r} is incomplete: its store file {store_name!r} is missing"
            ) from None
    if hashlib.sha256(data).hexdigest() != manifest["store_sha256"]:
        raise ValueError(f"damaged store file {store_path!r}: it does not match its manifest")
    sections, _ = read_sections(data, store_path)
    slot_ids = [body for kind, body in sections if kind == DOC_IDS_SECTION]
    if slot_ids:
        db = Collection._from_file_bytes(data, store_path)
        _check_collection_against_manifest(db, manifest, folder_path)
    else:
        db = _collection_of_plain_store(data, store_path, manifest, folder_path)
    named = manifest.get("side", "none")
    if db.side != named:
        raise _damaged(folder_path, f"the store file keeps side {db.side!r}, the manifest names {named!r}")
    # One 8-byte id per slot, live or not (the file's reader checked that).
    deleted = len(slot_ids[0]) // 8 - len(db) if slot_ids else 0
    return manifest, db, sections, deleted


def _json_ok(value: Any) -> bool:
    try:
        json.dumps(value, allow_nan=False)
        return True
    except (TypeError, ValueError):
        return False


def _damaged(folder: str, why: str) -> ValueError:
    return ValueError(f"damaged save in {folder!r}: {why}")


def _check_ids_accounted(manifest: Dict[str, Any], folder: str) -> None:
    # Every id handed out is either a document's or free for reuse (the two
    # are disjoint and below next_doc_id: the manifest's own checks).
    unaccounted = manifest["next_doc_id"] - len(manifest["documents"]) - len(manifest["free_doc_ids"])
    if unaccounted:
        raise _damaged(folder, f"{unaccounted} of the ids below next_doc_id are neither used nor free")


def _check_collection_against_manifest(db: Collection, manifest: Dict[str, Any], folder: str) -> None:
    """The collection must hold exactly the manifest's documents (its deleted
    slots are the graph's waypoints)."""
    documents = manifest["documents"]
    if len(db) != len(documents):
        raise _damaged(folder, f"{len(db)} stored vectors for {len(documents)} documents")
    ids = db.ids()
    if sorted(ids.tolist() if hasattr(ids, "tolist") else ids) != sorted(doc["doc_id"] for doc in documents):
        raise _damaged(folder, "the store file's document ids are not the manifest's")
    _check_ids_accounted(manifest, folder)


def _collection_of_plain_store(data: bytes, path: str, manifest: Dict[str, Any], folder: str) -> Collection:
    """A first-version folder's Kestrix store, checked as it always was, as a
    collection without a graph."""
    try:
        db = Kestrix.deserialize(data)
    except ValueError as err:
        raise ValueError(f"{err} (file {path!r})") from err
    _check_store_against_manifest(db, manifest, folder)
    store = db.serialize()
    # One live slot per document, its id word the document id itself.
    words = struct.unpack_from(f"<{len(db)}I", store, ID_WORDS_OFFSET)
    collection: Collection = Collection._from_sections(store, struct.pack(f"<{len(words)}Q", *words))
    return collection


def _check_store_against_manifest(db: Kestrix, manifest: Dict[str, Any], folder: str) -> None:
    """The store must hold exactly the manifest's documents, one live slot each."""

    def bad(why: str) -> ValueError:
        return _damaged(folder, why)

    documents = manifest["documents"]
    # save_local compacts first, so every slot is one live document.
    if len(db) != len(documents):
        raise bad(f"{len(db)} stored vectors for {len(documents)} documents")
    words = struct.unpack_from(f"<{len(db)}I", db.serialize(), ID_WORDS_OFFSET)
    if any(word & TOMBSTONE_BIT for word in words):
        raise bad("the store file holds deleted slots, which a save never writes")
    if sorted(words) != sorted(doc["doc_id"] for doc in documents):
        raise bad("the store file's document ids are not the manifest's")
    _check_ids_accounted(manifest, folder)


def _is_count(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and value >= 0


def _check_manifest(manifest: Any, path: str) -> str:
    """Check the manifest's shape; return the store file name."""

    def bad(why: str) -> ValueError:
        return ValueError(f"damaged manifest {path!r}: {why}")

    if not isinstance(manifest, dict) or manifest.get("format") != _FORMAT:
        raise bad("not a kestrix-langchain manifest")
    version = manifest.get("version")
    if isinstance(version, bool) or version not in _READABLE_VERSIONS:
        raise bad(f"unsupported version {version!r}")
    if version == _SIDE_VERSION:
        if manifest.get("side") not in ("int8", "float16"):
            raise bad("side must be 'int8' or 'float16'")
    elif "side" in manifest:
        raise bad(f"a version {version} folder names no side")
    name = manifest.get("store_file")
    if not isinstance(name, str) or os.path.basename(name) != name or not name.endswith(".kx"):
        raise bad("store_file must be a plain file name")
    if not isinstance(manifest.get("store_sha256"), str):
        raise bad("store_sha256 is missing")
    if manifest.get("dimension") != DIMENSION:
        raise bad(f"dimension must be {DIMENSION}")
    next_doc_id = manifest.get("next_doc_id")
    if not _is_count(next_doc_id) or cast(int, next_doc_id) > MAX_DOC_ID + 1:
        raise bad("next_doc_id is out of range")
    free = manifest.get("free_doc_ids")
    if not isinstance(free, list) or not all(_is_count(i) and i < next_doc_id for i in free):
        raise bad("free_doc_ids is not a list of allocated ids")
    if len(set(free)) != len(free):
        raise bad("free_doc_ids repeats an id (two documents would share it)")
    documents = manifest.get("documents")
    if not isinstance(documents, list):
        raise bad("documents is not a list")
    seen_ids = set()
    seen_doc_ids = set(free)
    for doc in documents:
        if not (
            isinstance(doc, dict)
            and isinstance(doc.get("id"), str)
            and _is_count(doc.get("doc_id"))
            and isinstance(doc.get("text"), str)
            and isinstance(doc.get("metadata"), dict)
        ):
            raise bad("a document entry lacks id, doc_id, text or metadata")
        if doc["id"] in seen_ids or doc["doc_id"] in seen_doc_ids or not 0 <= doc["doc_id"] < next_doc_id:
            raise bad(f"document {doc['id']!r} repeats an id or has one out of range")
        seen_ids.add(doc["id"])
        seen_doc_ids.add(doc["doc_id"])
    return name
