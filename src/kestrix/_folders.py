"""The saves of the framework adapters: the collection file, the document
database, the manifest that commits them, the lock.

A save writes the collection to a new file beside its manifest and the
documents (a SQLite database, through its backup API) to another, and then,
as the commit point, atomically replaces the manifest, which names both files
with their SHA-256. A load checks the manifest's shape, both files against
their digests, the database as :class:`kestrix.DocumentStore` checks it, and
the collection against the documents before anything is used.

The LangChain store saves into a folder of its own (``kestrix-langchain.json``
and ``store-*.kx``, ``documents-*.sqlite``); folders of its versions before
the database kept the documents in the manifest itself, and load converted
into a document store. The LlamaIndex store saves to the path LlamaIndex
names (``storage/default__vector_store.json``), a manifest of format
``kestrix-llamaindex``, with its two files beside it under that name
(``default__vector_store.json.store-*.kx``, ...), so that several stores can
share a persist folder. Nothing here needs either framework: ``kestrix info``
reads both.
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import re
import secrets
import struct
import sys
from typing import Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Tuple, cast

from ._adapter import collector_paused
from ._common import MAX_DOC_ID, TOMBSTONE_BIT
from ._files import DOC_IDS_SECTION, atomic_write_bytes, open_regular, read_sections, remove_stale_temporaries
from ._format import ID_WORDS_OFFSET
from ._kestrix import Kestrix
from ._native import MAX_DIMENSION, SIDES
from .collection import Collection
from .documents import DocumentStore, Record

MANIFEST = "kestrix-langchain.json"
LOCK = ".kestrix-langchain.lock"
# Version 1 folders hold a plain Kestrix store; version 2 a Collection file
# of codes only; version 3 a Collection file with a side, named in the
# manifest. All three list the documents in the manifest. Version 4 keeps
# them in a document database beside the collection file, and names the side
# (or "none") always; earlier readers refuse it rather than misread it
# (see langchain_layout).
#: The formats the manifests name.
LANGCHAIN_FORMAT = "kestrix-langchain"
LLAMAINDEX_FORMAT = "kestrix-llamaindex"

Sections = List[Tuple[int, bytes]]


class Layout(NamedTuple):
    """Where a save's files lie, and what its manifest says it is."""

    folder: str
    manifest: str  # file names in the folder
    lock: str
    store_file: Tuple[str, str]  # prefix and suffix of collection files
    documents_file: Tuple[str, str]  # ... and of document databases
    format: str
    version: int  # the version written
    older: Tuple[int, ...]  # earlier versions still read
    where: str  # how errors name the save

    @property
    def manifest_path(self) -> str:
        return os.path.join(self.folder, self.manifest)


def langchain_layout(folder: str) -> Layout:
    """The LangChain store's folder."""
    return Layout(
        folder, MANIFEST, LOCK, ("store-", ".kx"), ("documents-", ".sqlite"), LANGCHAIN_FORMAT, 4, (1, 2, 3), folder
    )


def llamaindex_layout(manifest_path: str) -> Layout:
    """The LlamaIndex store's manifest at ``manifest_path``, its files beside it."""
    folder, name = os.path.split(manifest_path)
    return Layout(
        folder or os.curdir,
        name,
        f".{name}.lock",
        (f"{name}.store-", ".kx"),
        (f"{name}.documents-", ".sqlite"),
        LLAMAINDEX_FORMAT,
        1,
        (),
        manifest_path,
    )


@contextlib.contextmanager
def folder_lock(layout: Layout, exclusive: bool) -> Iterator[None]:
    """Hold the save's lock: exclusive to save, shared to load.

    A load from a folder this process may not write to goes without the lock
    when the lock file does not exist yet (no save can be running there).
    """
    path = os.path.join(layout.folder, layout.lock)
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


def write_save(layout: Layout, data: bytes, side: str, documents: DocumentStore, dim: int) -> None:
    """Commit the collection file ``data`` and a backup of ``documents`` with
    their manifest into the layout's folder (created if needed), then remove
    the files of earlier saves."""
    token = secrets.token_hex(8)
    kinds = (layout.store_file, layout.documents_file)
    store_name, documents_name = (f"{prefix}{token}{suffix}" for prefix, suffix in kinds)
    folder_path = layout.folder
    os.makedirs(folder_path, exist_ok=True)
    with folder_lock(layout, exclusive=True):
        # Saves a crash cut short left their files' temporaries (each save's
        # names are new, so no later save writes over them).
        for prefix, suffix in kinds:
            remove_stale_temporaries(folder_path, re.compile(rf"{re.escape(prefix)}[0-9a-f]{{16}}{re.escape(suffix)}"))
        atomic_write_bytes(os.path.join(folder_path, store_name), data)
        documents_path = os.path.join(folder_path, documents_name)
        documents.backup(documents_path)
        manifest = {
            "format": layout.format,
            "version": layout.version,
            "side": side,
            "dimension": dim,
            "store_file": store_name,
            "store_sha256": hashlib.sha256(data).hexdigest(),
            "documents_file": documents_name,
            "documents_sha256": _file_sha256(documents_path),
        }
        atomic_write_bytes(layout.manifest_path, json.dumps(manifest, indent=1).encode("utf-8"))
        # The files of earlier saves (or of saves a crash cut short) are no
        # longer named by the manifest, and no other save or load holds the
        # lock to use one.
        for name in os.listdir(folder_path):
            if name not in (store_name, documents_name) and any(
                name.startswith(prefix) and name.endswith(suffix) for prefix, suffix in kinds
            ):
                try:
                    os.unlink(os.path.join(folder_path, name))
                except OSError:
                    pass


def _file_sha256(path: str) -> str:
    digest = hashlib.sha256()
    with open_regular(path) as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


class Saved(NamedTuple):
    """What a save holds, checked."""

    db: Collection
    docs: DocumentStore
    sections: Sections  # the collection file's
    manifest: Dict[str, Any]


def read_folder(folder_path: str) -> Tuple[Collection, DocumentStore, Sections]:
    """The collection and the documents the manifest of the LangChain folder
    ``folder_path`` commits, checked against each other, with the collection
    file's sections."""
    return read_save(langchain_layout(folder_path))[:3]


def read_save(layout: Layout) -> Saved:
    """The collection and the documents a manifest commits, checked against
    each other."""
    folder_path = layout.folder
    manifest_path = layout.manifest_path
    if not os.path.isfile(manifest_path):
        raise FileNotFoundError(f"{folder_path!r} holds no saved Kestrix store ({layout.manifest} is missing)")
    # The manifest and the files it names are read under the lock, so no
    # save in between can remove them.
    with folder_lock(layout, exclusive=False):
        with open_regular(manifest_path) as f:
            raw = f.read()
        try:
            with collector_paused():  # one dict per document in the older versions
                manifest = json.loads(raw.decode("utf-8"))
        except (UnicodeDecodeError, ValueError, RecursionError) as err:
            # RecursionError: nesting deeper than the parser's stack.
            raise ValueError(f"damaged manifest {manifest_path!r}: {type(err).__name__}: {err}") from None
        store_name, documents_name = _check_manifest(manifest, manifest_path, layout)
        store_path = os.path.join(folder_path, store_name)
        try:
            with open_regular(store_path) as f:
                data = f.read()
        except FileNotFoundError:
            raise _missing(layout.where, "store file", store_name) from None
        saved = (
            None if documents_name is None else _saved_documents(layout, documents_name, manifest["documents_sha256"])
        )
    if hashlib.sha256(data).hexdigest() != manifest["store_sha256"]:
        raise ValueError(f"damaged store file {store_path!r}: it does not match its manifest")
    sections, _ = read_sections(data, store_path)
    slot_ids = [body for kind, body in sections if kind == DOC_IDS_SECTION]
    where = layout.where
    if saved is not None:
        db = Collection._from_file_bytes(data, store_path)
        _check_same_documents(db.ids(), saved.ids(), where)
        docs = saved
    else:
        if slot_ids:
            db = Collection._from_file_bytes(data, store_path)
            _check_same_documents(db.ids(), [doc["doc_id"] for doc in manifest["documents"]], where)
        else:
            db = _collection_of_plain_store(data, store_path, manifest, where)
        _check_ids_accounted(manifest, where)
        docs = _converted(manifest, where)
    named = manifest.get("side", "none")
    if db.side != named:
        raise _damaged(where, f"the store file keeps side {db.side!r}, the manifest names {named!r}")
    if db.dim != manifest["dimension"]:
        raise _damaged(where, f"the store file holds {db.dim}-dim vectors, the manifest names {manifest['dimension']}")
    return Saved(db, docs, sections, manifest)


def _missing(folder: str, what: str, name: str) -> FileNotFoundError:
    return FileNotFoundError(f"{folder!r} is incomplete: its {what} {name!r} is missing")


def _saved_documents(layout: Layout, name: str, sha256: str) -> DocumentStore:
    """The document database ``name`` beside the manifest, read into memory
    once it matches its digest."""
    path = os.path.join(layout.folder, name)
    try:
        found = _file_sha256(path)
    except FileNotFoundError:
        raise _missing(layout.where, "document database", name) from None
    if found != sha256:
        raise ValueError(f"damaged document database {path!r}: it does not match its manifest")
    return DocumentStore.load(path)


def _converted(manifest: Dict[str, Any], folder: str) -> DocumentStore:
    """The documents an older manifest lists, in a document store under their
    own integer ids; metadata the store would refuse today is refused here,
    naming the document."""
    records = (Record(doc["id"], doc["doc_id"], doc["text"], doc["metadata"]) for doc in manifest["documents"])
    try:
        with collector_paused():
            return DocumentStore._restore(records, manifest["free_doc_ids"])
    except ValueError as err:
        raise ValueError(f"cannot convert the documents of {folder!r}: {err}") from None


def _damaged(folder: str, why: str) -> ValueError:
    return ValueError(f"damaged save in {folder!r}: {why}")


def _check_ids_accounted(manifest: Dict[str, Any], folder: str) -> None:
    # Every id handed out is either a document's or free for reuse (the two
    # are disjoint and below next_doc_id: the manifest's own checks).
    unaccounted = manifest["next_doc_id"] - len(manifest["documents"]) - len(manifest["free_doc_ids"])
    if unaccounted:
        raise _damaged(folder, f"{unaccounted} of the ids below next_doc_id are neither used nor free")


def _check_same_documents(slot_ids: Any, doc_ids: Any, folder: str) -> None:
    """The collection must hold exactly the saved documents (its deleted
    slots are the graph's waypoints)."""
    stored = sorted(slot_ids.tolist() if hasattr(slot_ids, "tolist") else slot_ids)
    listed = sorted(doc_ids.tolist() if hasattr(doc_ids, "tolist") else doc_ids)
    if len(stored) != len(listed):
        raise _damaged(folder, f"{len(stored)} stored vectors for {len(listed)} documents")
    if stored != listed:
        raise _damaged(folder, "the store file's document ids are not those of the documents")


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
        raise bad("the store file's document ids are not those of the documents")


def _is_count(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and value >= 0


def _plain_name(manifest: Dict[str, Any], key: str, kind: Tuple[str, str]) -> bool:
    name = manifest.get(key)
    return isinstance(name, str) and os.path.basename(name) == name and name.endswith(kind[1])


def _check_manifest(manifest: Any, path: str, layout: Layout) -> Tuple[str, Optional[str]]:
    """Check the manifest's shape; return the names of the store file and of
    the document database (None in the versions that list the documents)."""

    def bad(why: str) -> ValueError:
        return ValueError(f"damaged manifest {path!r}: {why}")

    if not isinstance(manifest, dict) or manifest.get("format") != layout.format:
        raise bad(f"not a {layout.format} manifest")
    version = manifest.get("version")
    if isinstance(version, bool) or version not in (*layout.older, layout.version):
        raise bad(f"unsupported version {version!r}")
    if version == layout.version:
        if manifest.get("side") not in SIDES:
            raise bad("side must be 'none', 'int8' or 'float16'")
    elif version == 3:
        if manifest.get("side") not in SIDES[1:]:
            raise bad("side must be 'int8' or 'float16'")
    elif "side" in manifest:
        raise bad(f"a version {version} folder names no side")
    if not _plain_name(manifest, "store_file", layout.store_file):
        raise bad("store_file must be a plain file name")
    if not isinstance(manifest.get("store_sha256"), str):
        raise bad("store_sha256 is missing")
    dimension = manifest.get("dimension")
    if isinstance(dimension, bool) or not isinstance(dimension, int) or not 1 <= dimension <= MAX_DIMENSION:
        raise bad(f"dimension must be an int from 1 to {MAX_DIMENSION}")
    if version == layout.version:
        if not _plain_name(manifest, "documents_file", layout.documents_file):
            raise bad("documents_file must be a plain file name")
        if not isinstance(manifest.get("documents_sha256"), str):
            raise bad("documents_sha256 is missing")
        return manifest["store_file"], manifest["documents_file"]
    _check_listed_documents(manifest, bad)
    return manifest["store_file"], None


def _check_listed_documents(manifest: Dict[str, Any], bad: Callable[[str], ValueError]) -> None:
    """The documents and id bookkeeping of a manifest of the older versions."""
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
