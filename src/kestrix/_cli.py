"""What the commands of ``python -m kestrix`` share: the program name, the
failure they report, and the progress bar of long steps."""

from typing import Callable, Iterable, Optional, Sequence, TextIO, TypeVar

PROG = "python -m kestrix"
T = TypeVar("T")


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
