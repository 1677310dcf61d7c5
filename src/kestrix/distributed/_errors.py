"""What a sharded collection reports when shards fail."""

from typing import Dict, Tuple


class ShardWriteError(RuntimeError):
    """A batch that some shards applied and others did not.

    ``applied`` and ``failed`` are tuples of shard numbers; ``errors`` maps
    each failed shard to its exception. Sending the whole batch again is safe.
    """

    def __init__(self, seq: int, op: str, applied: Tuple[int, ...], errors: Dict[int, BaseException]) -> None:
        self.seq = seq
        self.op = op
        self.applied = applied
        self.failed = tuple(sorted(errors))
        self.errors = errors
        first = errors[self.failed[0]]
        super().__init__(
            f"{op} batch {seq} was applied on shards {list(applied)} but failed on shards {list(self.failed)} "
            f"(shard {self.failed[0]}: {type(first).__name__}: {first}); sending the same batch again is safe"
        )


class ShardRecoveryWarning(UserWarning):
    """A restarted shard could not recover everything it had acknowledged."""
