"""The kestrix command line: ``kestrix {demo,info,bench}``, or ``python -m
kestrix ...`` where the console script is not on the path.

Exit status: 0 on success, 1 when the work failed (a missing or damaged file,
a missing benchmark), 2 for a wrong command line. Errors go to stderr; results
go to stdout. Long steps draw a progress bar on stderr when it is a terminal.
"""

import argparse
import sys
from typing import Optional, Sequence

from ._bench import cmd_bench
from ._cli import CommandError, Progress, program_name
from ._common import install_hint
from ._demo import cmd_demo
from ._info import cmd_info, describe_file
from ._native import DEFAULT_EF_CONSTRUCTION, DEFAULT_K, DEFAULT_M

__all__ = ["main", "build_parser", "describe_file", "Progress"]


# --------------------------------------------------------------------------- parser


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be >= 1, got {value}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=program_name(),
        description="Kestrix: a 1-bit quantised nearest-neighbour store for embeddings of any size.",
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    demo = sub.add_parser(
        "demo",
        help="build, index, query, save and reload a store of generated vectors",
        description=(
            "Build a store from a generated clustered data set (fixed seed, no NumPy needed), "
            "build the index, query it with the exact scan and the index, save it to a file, "
            "reload it, and print recall and latency."
        ),
    )
    demo.add_argument("--size", type=_positive, default=10000, help="vectors to store (default 10000)")
    demo.add_argument("--queries", type=_positive, default=200, help="queries to run (default 200)")
    demo.add_argument("-k", type=_positive, default=DEFAULT_K, help=f"neighbours per query (default {DEFAULT_K})")
    demo.add_argument("--clusters", type=_positive, default=64, help="clusters in the data (default 64)")
    demo.add_argument("--seed", type=int, default=7, help="seed of the data set (default 7)")
    demo.add_argument("--m", type=_positive, default=DEFAULT_M, help=f"index links per node (default {DEFAULT_M})")
    demo.add_argument(
        "--ef-construction",
        type=_positive,
        default=DEFAULT_EF_CONSTRUCTION,
        help=f"index build width (default {DEFAULT_EF_CONSTRUCTION})",
    )
    demo.add_argument(
        "--ef", type=_positive, nargs="+", default=[10, 50, 200], help="index search widths (default 10 50 200)"
    )
    demo.add_argument("--file", help="where to save the store (default: a temporary file, removed after)")
    demo.set_defaults(func=cmd_demo)

    info = sub.add_parser(
        "info",
        help="describe a saved store file or folder",
        description=(
            "Print the slots, live and tombstoned counts, format version and size of a store file; or what the "
            "folder (or manifest) of a LangChain store, a LlamaIndex store or a sharded collection holds, "
            "after checking it as a load does."
        ),
    )
    info.add_argument(
        "file",
        help="a file written by kestrix.save(), Collection.save() or Kestrix.serialize(), or such a folder",
    )
    info.add_argument("--json", action="store_true", help="print JSON instead of a table")
    info.set_defaults(func=cmd_info)

    bench = sub.add_parser(
        "bench",
        help="run the benchmark against other libraries (bench/run.py)",
        description=(
            "Run bench/run.py from the source tree; the arguments after 'bench' are passed to it. "
            f"It needs the bench extra: {install_hint('bench')}."
        ),
    )
    bench.add_argument("--script", help="path of the benchmark script (default: bench/run.py)")
    bench.add_argument("args", nargs=argparse.REMAINDER, help="arguments for the benchmark script")
    bench.set_defaults(func=cmd_bench)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    words = list(sys.argv[1:] if argv is None else argv)
    if words[:1] == ["bench"]:
        # Everything after bench's own leading options belongs to the
        # benchmark script, in order, whatever it looks like.
        own, rest = ["bench"], words[1:]
        while rest and (rest[0] in ("-h", "--help", "--script") or rest[0].startswith("--script=")):
            own.append(rest.pop(0))
            if own[-1] == "--script" and rest:
                own.append(rest.pop(0))
        if rest[:1] == ["--"]:
            rest = rest[1:]
        args = parser.parse_args(own)
        args.args = rest
    else:
        args = parser.parse_args(words)
    try:
        return int(args.func(args))
    except CommandError as err:
        sys.stderr.write(f"{parser.prog} {args.command}: error: {err}\n")
        return 1
    except OSError as err:
        sys.stderr.write(f"{parser.prog} {args.command}: error: {err}\n")
        return 1
    except KeyboardInterrupt:
        sys.stderr.write("interrupted\n")
        return 130


if __name__ == "__main__":
    sys.exit(main())
