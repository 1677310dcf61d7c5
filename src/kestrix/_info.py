"""``python -m kestrix info``: describe a saved store file."""

import argparse
import json
import math
import sys
import time
from typing import Any, Dict

from ._cli import CommandError
from ._files import read_sections, store_section
from ._format import read_store
from ._native import SECTION_NAMES


def describe_file(path: str) -> Dict[str, Any]:
    """Read a store file and describe it; raise CommandError when it is not one."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as err:
        raise CommandError(f"cannot read {path!r}: {err.strerror or err}") from None
    try:
        sections, container = read_sections(data, path)
        _, form = read_store(store_section(sections))
    except ValueError as err:
        raise CommandError(f"{path!r} is not a readable Kestrix file ({err})") from None
    tombstoned = form.tombstoned()
    info: Dict[str, Any] = {
        "file": path,
        "format_version": form.version,
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


def _format_ms(value: float) -> str:
    # Any finite double is a valid timestamp to the store; the calendar only
    # reaches a few thousand years either side of 1970.
    try:
        return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(value / 1000.0))
    except (OverflowError, OSError, ValueError):
        return f"{value!r} ms since 1970 (outside the calendar)"


def cmd_info(args: argparse.Namespace) -> int:
    info = describe_file(args.file)
    if args.json:
        sys.stdout.write(json.dumps(info, indent=2) + "\n")
        return 0
    for key, value in info.items():
        if key.endswith("_ms"):
            value = _format_ms(value)
            key = key[: -len("_ms")]
        sys.stdout.write(f"{key.replace('_', ' '):<16} {value}\n")
    return 0
