"""``python -m kestrix info``: describe a saved store file, or the folder
(or manifest) of a LangChain store, a LlamaIndex store or a sharded collection."""

import argparse
import json
import math
import os
import sys
import time
from typing import Any, Dict, List, Tuple

from ._cli import CommandError
from ._common import DIMENSION
from ._files import CODES_SECTION, open_regular, read_sections, store_section
from ._folders import (
    LANGCHAIN_FORMAT,
    LLAMAINDEX_FORMAT,
    MANIFEST,
    Layout,
    langchain_layout,
    llamaindex_layout,
    read_save,
)
from ._format import StoreForm, read_store
from ._native import SECTION_NAMES, store_form


def _read_form(data: bytes, path: str, sections: List[Tuple[int, bytes]]) -> Tuple[StoreForm, int]:
    """The store's layout and the vectors' dimension. A file of 384-dimensional
    vectors holds a store that Kestrix reads; any other dimension's codes lie
    in a section of their own, and the file is checked whole, as the
    collection that opens it checks it."""
    store = store_section(sections)
    if not any(kind == CODES_SECTION for kind, _ in sections):
        return read_store(store)[1], DIMENSION
    from .collection import Collection

    collection = Collection._from_file_bytes(data, path)
    return StoreForm(bytes(store), *store_form(store)), collection.dim


def describe_file(path: str) -> Dict[str, Any]:
    """Read a store file and describe it; raise CommandError when it is not one."""
    try:
        with open_regular(path) as f:
            data = f.read()
    except OSError as err:
        raise CommandError(f"cannot read {path!r}: {err.strerror or err}") from None
    except ValueError:
        raise CommandError(f"cannot read {path!r}: it is not a regular file") from None
    try:
        sections, container = read_sections(data, path)
        form, dimension = _read_form(data, path, sections)
    except ValueError as err:
        raise CommandError(f"{path!r} is not a readable Kestrix file ({err})") from None
    tombstoned = form.tombstoned()
    info: Dict[str, Any] = {
        "file": path,
        "format_version": form.version,
        "dimension": dimension,
        "slots": form.slots,
        "live": form.slots - tombstoned,
        "tombstoned": tombstoned,
        "size_bytes": len(form.data),
        "trailing_bytes": len(form.data) - form.length,
    }
    if container:
        info["file_bytes"] = len(data)
        info["sections"] = ", ".join(
            f"{SECTION_NAMES.get(kind, f'kind {kind}')} ({len(body)} B)" for kind, body in sections
        )
        info["checksums"] = "verified"
    finite = [s for s in form.timestamps() if math.isfinite(s)]
    if finite:
        info["oldest_insert_ms"] = min(finite)
        info["newest_insert_ms"] = max(finite)
    return info


def describe(path: str) -> Dict[str, Any]:
    """Describe what ``path`` holds: a store file, or a save of the
    framework adapters or the sharded collection (its folder or manifest)."""
    if os.path.isdir(path):
        return describe_folder(path)
    kind = _manifest_kind(path)
    if kind == LLAMAINDEX_FORMAT:
        return describe_save(llamaindex_layout(path), "LlamaIndex store")
    folder, name = os.path.split(path)
    if (kind, name) in ((LANGCHAIN_FORMAT, MANIFEST), (_SHARDED_KIND, _SHARDED_MANIFEST)):
        return describe_folder(folder or os.curdir)
    return describe_file(path)


def describe_folder(folder: str) -> Dict[str, Any]:
    """Describe the save a folder holds, every file of it checked as a load
    checks it; raise CommandError when it holds none or a damaged one."""
    if os.path.isfile(os.path.join(folder, MANIFEST)):
        return describe_save(langchain_layout(folder), "LangChain store")
    if os.path.isfile(os.path.join(folder, _SHARDED_MANIFEST)):
        return describe_sharded(folder)
    names = sorted(n for n in os.listdir(folder) if n.endswith(".json") and not n.startswith("."))
    stores = [name for name in names if _manifest_kind(os.path.join(folder, name)) == LLAMAINDEX_FORMAT]
    if not stores:
        raise CommandError(
            f"{folder!r} is a folder that holds no Kestrix save (a LangChain store, a LlamaIndex store or a sharded"
            " collection); info describes files and such folders"
        )
    described = [describe_save(llamaindex_layout(os.path.join(folder, name)), "") for name in stores]
    for entry in described:
        entry.pop("kind")
    return {"folder": folder, "kind": "LlamaIndex persist folder", "stores": described}


# The manifest of a sharded collection, named here because kestrix.distributed
# cannot be imported without Ray (which reading the rest of the folder needs).
_SHARDED_MANIFEST = "manifest.json"
_SHARDED_KIND = "kestrix sharded collection"
_MAX_MANIFEST_BYTES = 1 << 20


def _manifest_kind(path: str) -> Any:
    """The format (or kind) a JSON manifest at ``path`` names, or None when
    the file is no such manifest."""
    try:
        with open_regular(path) as f:
            head = f.read(_MAX_MANIFEST_BYTES + 1)
    except (OSError, ValueError):
        return None
    if not head.lstrip()[:1] == b"{" or len(head) > _MAX_MANIFEST_BYTES:
        return None
    try:
        manifest = json.loads(head)
    except (ValueError, RecursionError):
        return None
    return (manifest.get("format") or manifest.get("kind")) if isinstance(manifest, dict) else None


def describe_save(layout: Layout, kind: str) -> Dict[str, Any]:
    """Describe the save a framework adapter's manifest commits."""
    try:
        saved = read_save(layout)
    except (OSError, ValueError) as err:
        raise CommandError(f"{layout.where!r} is not a readable Kestrix save ({err})") from None
    manifest = saved.manifest
    info: Dict[str, Any] = {
        "manifest": layout.manifest_path,
        "kind": kind,
        "manifest_version": manifest["version"],
        "documents": len(saved.docs),
        "dimension": manifest["dimension"],
        "side": saved.db.side,
        "metric": saved.db.metric,
        "graph": saved.db.has_index(),
        "deleted_slots": saved.db._slot_count() - len(saved.db),
        "store_file": manifest["store_file"],
    }
    checks = "manifest, SHA-256 of the store file"
    if "documents_file" in manifest:
        info["documents_file"] = manifest["documents_file"]
        checks += " and the document database, the database's tables"
    saved.docs.close()
    info["checks"] = f"passed ({checks}, the collection file, the documents against the vectors)"
    return info


def describe_sharded(folder: str) -> Dict[str, Any]:
    """Describe a sharded collection's folder from its manifest and the
    checkpoints it names, each checked against its size and CRC-32 and read
    as a collection."""
    from ._common import install_hint
    from .collection import Collection

    try:
        from .distributed import _files as files
    except ImportError:
        raise CommandError(f"{folder!r} holds a sharded collection; reading it needs {install_hint('ray')}") from None
    try:
        manifest = files.read_manifest(folder)
        shards: List[Dict[str, Any]] = []
        for i, entry in enumerate(manifest["shards"]):
            path = os.path.join(folder, entry["file"])
            if files.file_crc32(path) != (entry["bytes"], entry["crc32"]):
                raise ValueError(f"checkpoint {entry['file']!r} does not match the manifest's size and CRC-32")
            col = Collection.load(path)
            if col.side != manifest["side"]:
                raise ValueError(
                    f"checkpoint {entry['file']!r} keeps side {col.side!r}; the manifest names {manifest['side']!r}"
                )
            if col.metric != manifest["metric"]:
                raise ValueError(
                    f"checkpoint {entry['file']!r} rescores by metric {col.metric!r}; "
                    f"the manifest names {manifest['metric']!r}"
                )
            log = os.path.join(folder, files.wal_name(i))
            shards.append(
                {
                    "shard": i,
                    "checkpoint": entry["file"],
                    "documents": len(col),
                    "side": col.side,
                    "graph": col.has_index(),
                    "log_bytes": os.path.getsize(log) if os.path.exists(log) else 0,
                }
            )
    except (OSError, ValueError) as err:
        raise CommandError(f"{folder!r} is not a readable sharded collection ({err})") from None
    return {
        "folder": folder,
        "kind": "sharded collection",
        "manifest_version": manifest["version"],
        "routing": manifest["routing"],
        "saved_batch": manifest["seq"],
        "side": manifest["side"],
        "metric": manifest["metric"],
        "documents": sum(shard["documents"] for shard in shards),
        "dimension": manifest["dimension"],
        "shards": shards,
        "checks": "passed (manifest, each checkpoint's size and CRC-32, each checkpoint read as a collection "
        "with the manifest's side and metric)",
    }


def _table(info: Dict[str, Any], indent: str = "") -> List[str]:
    """The description as the lines of a table (lists of entries indented below their name)."""
    lines = []
    for key, value in info.items():
        name = key.replace("_", " ")
        if isinstance(value, list):
            lines.append(f"{indent}{name}")
            for item in value:
                lines.append(f"{indent}  " + ", ".join(f"{k.replace('_', ' ')} {_shown(v)}" for k, v in item.items()))
            continue
        if key.endswith("_ms"):
            value = _format_ms(value)
            name = name[: -len(" ms")]
        lines.append(f"{indent}{name:<16} {_shown(value)}")
    return lines


def _shown(value: Any) -> str:
    return ("yes" if value else "no") if isinstance(value, bool) else str(value)


def _format_ms(value: float) -> str:
    # Any finite double is a valid timestamp to the store; the calendar only
    # reaches a few thousand years either side of 1970.
    try:
        return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(value / 1000.0))
    except (OverflowError, OSError, ValueError):
        return f"{value!r} ms since 1970 (outside the calendar)"


def cmd_info(args: argparse.Namespace) -> int:
    info = describe(args.file)
    if args.json:
        sys.stdout.write(json.dumps(info, indent=2) + "\n")
        return 0
    sys.stdout.write("".join(f"{line}\n" for line in _table(info)))
    return 0
