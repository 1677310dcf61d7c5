"""``python -m kestrix bench``: run bench/run.py from the source tree."""

import argparse
import os
import sys
from typing import Optional

from ._cli import CommandError
from ._common import install_hint


def _find_bench_script(explicit: Optional[str]) -> Optional[str]:
    if explicit is not None:
        return explicit if os.path.isfile(explicit) else None
    here = os.path.dirname(os.path.realpath(__file__))
    for root in (os.getcwd(), os.path.dirname(os.path.dirname(here))):
        candidate = os.path.join(root, "bench", "run.py")
        if os.path.isfile(candidate):
            return candidate
    return None


def cmd_bench(args: argparse.Namespace) -> int:
    script = _find_bench_script(args.script)
    if script is None:
        where = args.script if args.script else "bench/run.py (looked in the current folder and the source tree)"
        raise CommandError(
            f"the benchmark script is missing: {where}. "
            "It ships with the source tree, not the wheel: run this from a checkout, or pass --script PATH."
        )
    import runpy

    saved_argv = sys.argv
    sys.argv = [script] + list(args.args)
    try:
        runpy.run_path(script, run_name="__main__")
    except ModuleNotFoundError as err:
        raise CommandError(
            f"the benchmark needs {err.name!r}, which is not installed: "
            f"{install_hint('bench')} (numpy, faiss-cpu, hnswlib, usearch)"
        ) from None
    except SystemExit as stop:
        code = stop.code
        if code is None:
            return 0
        if isinstance(code, int):
            return code
        sys.stderr.write(f"{code}\n")
        return 1
    finally:
        sys.argv = saved_argv
    return 0
