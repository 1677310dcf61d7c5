"""What the commands of ``kestrix`` (or ``python -m kestrix``) share: the
program name, the failure they report, and the progress bar of long steps."""

import os
import sys
from typing import Callable, Iterable, Optional, Sequence, TextIO, TypeVar

T = TypeVar("T")


def program_name(argv0: Optional[str] = None) -> str:
    """The name the command line was started by, for its usage line and its
    errors: the console script's own name (``kestrix``), or ``python -m
    kestrix`` when the interpreter ran the package (its ``argv[0]`` is then
    the path of ``__main__.py``)."""
    path = sys.argv[0] if argv0 is None else argv0
    name = os.path.basename(path)
    stem, ext = os.path.splitext(name)
    if not stem or ext.lower() in (".py", ".pyc") or name == "-c":
        return "python -m kestrix"
    # Windows launchers are kestrix.exe; people type kestrix.
    return stem if ext.lower() == ".exe" else name


class CommandError(Exception):
    """A failure to report on stderr with exit status 1."""


class Progress:
    """A one-line progress bar on a terminal; silent anywhere else."""

    def __init__(self, stream: TextIO, enabled: Optional[bool] = None) -> None:
        self.stream = stream
        self.enabled = stream.isatty() if enabled is None else enabled

    def iterate(self, items: Sequence[T], label: str) -> Iterable[T]:
        total = len(items)
        if not self.enabled or total == 0:
            yield from items
            return
        step = max(1, total // 100)
        for i, item in enumerate(items):
            if i % step == 0:
                self._draw(label, i, total)
            yield item
        self._draw(label, total, total)
        self.stream.write("\n")
        self.stream.flush()

    def reporter(self, label: str) -> Optional[Callable[[int, int], None]]:
        """A ``progress(done, total)`` callback drawing the bar, for work that
        reports its own progress (a graph build); None where nothing is drawn."""
        if not self.enabled:
            return None

        ended = False

        def report(done: int, total: int) -> None:
            # The build may report its last count more than once (a periodic
            # report can land on the end): the line is closed once.
            nonlocal ended
            if ended:
                return
            self._draw(label, done, max(total, 1))
            if done >= total:
                ended = True
                self.stream.write("\n")
                self.stream.flush()

        return report

    def _draw(self, label: str, done: int, total: int) -> None:
        width = 30
        filled = width * done // total
        bar = "#" * filled + "-" * (width - filled)
        self.stream.write(f"\r{label:<18} [{bar}] {done}/{total}")
        self.stream.flush()
