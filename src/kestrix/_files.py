"""Keeping a store in a file.

A store is written through a temporary file in the destination's own folder,
which is flushed and fsynced, renamed over the destination, and followed by an
fsync of the folder. A rename within one file system is atomic, so a crash at
any moment leaves under the destination either the complete old file or the
complete new one, never a mixture. A crash may leave a temporary file behind
(".NAME.<12 hex digits>.tmp"); nothing ever reads it, and the next save of
the same file removes it. A save holds an exclusive lock (flock) on its
temporary file while it writes it, and only temporary files whose lock can be
taken are removed, so a save running in another process keeps its own.

Only regular files are read as files of the system: a FIFO would block its
reader for ever and a device such as /dev/zero never end, so every reader
opens through :func:`open_regular`, which refuses them at once.

Replacing a file keeps what the caller set up around it: the new file gets
the old one's permission bits (and its owner and group, where the process may
set them), and a symbolic link is written through, so the link stays and the
file it points to is replaced.

A file is a container: the store's serialized bytes first, unchanged (so
``Kestrix.deserialize`` of a whole file still reads it), then a table of the
file's sections with their lengths and CRC-32 checksums, and a footer. A file
without a footer is plain ``serialize()`` bytes and still loads, provided it
holds nothing after the store: trailing bytes there can only be a container
whose footer is damaged.
"""

import contextlib
import os
import re
import secrets
import stat
from typing import BinaryIO, Callable, Iterator, List, Optional, Tuple, Union

from ._common import check_store
from ._format import read_store
from ._kestrix import Kestrix
from ._native import (
    CODES_SECTION,
    DOC_IDS_SECTION,
    GRAPH_SECTION,
    METRIC_SECTION,
    SIDE_SECTION,
    STORE_SECTION,
    codes_form,
    pack_sections,
    unpack_sections,
)

__all__ = [
    "save",
    "load",
    "atomic_write",
    "atomic_write_bytes",
    "atomic_write_file",
    "path_argument",
    "open_regular",
    "remove_stale_temporaries",
    "read_sections",
    "store_section",
    "PathLike",
    "STORE_SECTION",
    "DOC_IDS_SECTION",
    "GRAPH_SECTION",
    "SIDE_SECTION",
    "CODES_SECTION",
    "METRIC_SECTION",
]

# A string annotation, because os.PathLike cannot be subscripted at run time
# before Python 3.9.
PathLike = Union[str, "os.PathLike[str]"]


def path_argument(path: object, what: str = "path") -> str:
    """``path`` as a str, or TypeError / ValueError naming ``what``."""
    if isinstance(path, (bytes, bytearray)):
        raise TypeError(f"{what} must be a str or os.PathLike[str], not {type(path).__name__}")
    try:
        result = os.fspath(path)  # type: ignore[call-overload]
    except TypeError:
        raise TypeError(f"{what} must be a str or os.PathLike[str], not {type(path).__name__}") from None
    if not isinstance(result, str):
        raise TypeError(f"{what} must be a str or os.PathLike[str], not {type(path).__name__}")
    if result == "":
        raise ValueError(f"{what} must not be empty")
    return result


def open_regular(path: str) -> BinaryIO:
    """``path`` opened for binary reading; ValueError "not a regular file
    (file PATH)" for a FIFO, a device or a socket, IsADirectoryError for a
    folder. The file is opened without waiting (a FIFO's open would wait for
    a writer) and checked before a byte is read."""
    nonblocking = getattr(os, "O_NONBLOCK", 0)
    fd = os.open(path, os.O_RDONLY | nonblocking | getattr(os, "O_BINARY", 0))
    try:
        mode = os.fstat(fd).st_mode
        if stat.S_ISDIR(mode):
            raise IsADirectoryError(f"cannot read {path!r}: it is a folder")
        if not stat.S_ISREG(mode):
            raise ValueError(f"not a regular file (file {path!r})")
        if nonblocking:
            os.set_blocking(fd, True)
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def _fsync_folder(folder: str) -> None:
    # Makes the rename itself durable. Folders cannot be opened for fsync on
    # Windows, where the rename is already journalled by the file system.
    if os.name == "nt":  # pragma: no cover
        return
    fd = os.open(folder, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _keep_attributes(fd: int, tmp: str, old: os.stat_result) -> None:
    # Permissions first: if the owner cannot be kept either, the file is at
    # least no more open than the one it replaces.
    mode = stat.S_IMODE(old.st_mode)
    if hasattr(os, "fchmod"):
        os.fchmod(fd, mode)
    else:  # pragma: no cover - Windows
        os.chmod(tmp, mode)
    if hasattr(os, "fchown"):
        try:
            os.fchown(fd, old.st_uid, old.st_gid)
        except PermissionError:
            # Only a privileged process may give a file away; the group
            # alone may still be settable by the owner.
            try:
                os.fchown(fd, -1, old.st_gid)
            except PermissionError:
                pass


def atomic_write_bytes(path: PathLike, data: bytes) -> None:
    """Replace the file at ``path`` with ``data`` so that a crash never tears it.

    The folder that holds ``path`` (or, for a symbolic link, the folder of the
    file it points to) must exist. ``path`` must not name a folder. The new
    file keeps the permission bits, and where possible the owner, of the file
    it replaces. On failure the file at ``path`` is left as it was.
    """
    target = path_argument(path)
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"data must be bytes, not {type(data).__name__}")

    def write(fd: int, tmp: str) -> None:
        view = memoryview(data)
        while view:
            written = os.write(fd, view)
            view = view[written:]

    _atomic_replace(target, write)


def atomic_write(path: PathLike, write: Callable[[int], None]) -> None:
    """Replace the file at ``path`` with what ``write(fd)`` writes to the
    temporary file's descriptor, so that a crash never tears it: as
    :func:`atomic_write_bytes`."""
    _atomic_replace(path_argument(path), lambda fd, tmp: write(fd))


def atomic_write_file(path: PathLike, fill: Callable[[str], None]) -> None:
    """Replace the file at ``path`` with what ``fill(tmp)`` writes to the
    temporary file ``tmp`` (through handles of its own, closed when it
    returns), so that a crash never tears it: as :func:`atomic_write_bytes`.
    Should ``fill`` raise, the temporary file is removed and ``path`` is left
    as it was."""
    _atomic_replace(path_argument(path), lambda fd, tmp: fill(tmp))


def _atomic_replace(target: str, fill: Callable[[int, str], None]) -> None:
    if os.path.islink(target):
        # Renaming over the link would replace the link itself.
        target = os.path.realpath(target)
    folder = os.path.dirname(os.path.abspath(target))
    if not os.path.isdir(folder):
        raise FileNotFoundError(f"cannot save to {target!r}: folder {folder!r} does not exist")
    if os.path.isdir(target):
        raise IsADirectoryError(f"cannot save to {target!r}: it is a folder")
    try:
        old: Optional[os.stat_result] = os.stat(target)
    except FileNotFoundError:
        old = None

    name = os.path.basename(target)
    remove_stale_temporaries(folder, name)
    tmp, fd = _locked_temporary(folder, name)
    with _removed_on_failure(tmp):
        try:
            if old is not None:
                _keep_attributes(fd, tmp, old)
            fill(fd, tmp)
            os.fsync(fd)
            if os.name == "nt":  # pragma: no cover - a file open there cannot be renamed
                os.close(fd)
                fd = -1
            os.replace(tmp, target)
        finally:
            # The lock goes with the descriptor: only once the file is in
            # place, so that no other save takes it for a stale one first.
            if fd >= 0:
                os.close(fd)
    _fsync_folder(folder)


@contextlib.contextmanager
def _removed_on_failure(tmp: str) -> Iterator[None]:
    """Remove the temporary file ``tmp`` should the body fail."""
    try:
        yield
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def _try_lock(fd: int) -> bool:
    """Whether this process now holds the exclusive lock of ``fd``'s file;
    True where files cannot be locked (Windows, where a file another process
    has open cannot be removed either)."""
    try:
        import fcntl
    except ImportError:  # pragma: no cover - Windows
        return True
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return False
    return True


def _same_file(fd: int, path: str) -> bool:
    try:
        here, there = os.fstat(fd), os.lstat(path)
    except FileNotFoundError:
        return False
    return (here.st_dev, here.st_ino) == (there.st_dev, there.st_ino)


def remove_stale_temporaries(folder: str, name: Union[str, "re.Pattern[str]"]) -> None:
    """Remove the temporary files killed saves of ``name`` (a file name, or a
    pattern of the names of a family of files, such as checkpoints numbered
    in their names) left in ``folder``: those of our own pattern whose lock
    no live save holds."""
    target = re.escape(name) if isinstance(name, str) else name.pattern
    pattern = re.compile(rf"\.(?:{target})\.[0-9a-f]{{12}}\.tmp")
    try:
        found = [entry for entry in os.listdir(folder) if pattern.fullmatch(entry)]
    except OSError:
        return
    for entry in found:
        path = os.path.join(folder, entry)
        try:
            fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_NOFOLLOW", 0))
        except OSError:
            continue
        try:
            # Locked, and still the file under that name: no save can use it.
            if stat.S_ISREG(os.fstat(fd).st_mode) and _try_lock(fd) and _same_file(fd, path):
                os.unlink(path)
        except OSError:
            pass
        finally:
            os.close(fd)


def _locked_temporary(folder: str, name: str) -> Tuple[str, int]:
    """A new temporary file for ``name`` in ``folder``, open for writing and
    locked for as long as it is open."""
    while True:
        tmp = os.path.join(folder, f".{name}.{secrets.token_hex(6)}.tmp")
        # 0o666 lets the process umask decide the permissions of a new file,
        # as for open().
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o666)
        # Another save's cleaning may have taken the lock between the two
        # calls and removed the file: then it is no longer under its name.
        if _try_lock(fd) and _same_file(fd, tmp):
            return tmp, fd
        os.close(fd)


def save(db: Kestrix, path: PathLike) -> None:
    """Write ``db`` to the file ``path`` atomically.

    The file starts with exactly ``db.serialize()``: the slots with their ids,
    tombstones and insertion times; a checksummed section table follows. The
    index is not saved; build it again after :func:`load`. A crash during
    ``save`` leaves either the previous file or the new one under ``path``.
    """
    check_store(db)
    target = path_argument(path)
    atomic_write_bytes(target, pack_sections([(STORE_SECTION, db.serialize())]))


def store_section(sections: List[Tuple[int, bytes]]) -> bytes:
    """The one store section of a file, or ValueError "container error: NoStore"."""
    stores = [body for kind, body in sections if kind == STORE_SECTION]
    if len(stores) != 1:
        raise ValueError("container error: NoStore")
    return stores[0]


def read_sections(data: bytes, source: str) -> Tuple[List[Tuple[int, bytes]], bool]:
    """The sections of a file's bytes, every checksum verified, and whether it
    is a container (False: plain store bytes, one store section).

    A failed check raises ValueError naming it and the file.
    """
    try:
        sections = unpack_sections(data)
    except ValueError as err:
        raise ValueError(f"{err} (file {source!r})") from None
    plain = len(sections) == 1 and len(sections[0][1]) == len(data)
    return sections, not plain


def load(path: PathLike) -> Kestrix:
    """Read a store written by :func:`save` (or any ``serialize()`` bytes).

    Returns a new growable :class:`Kestrix` without an index. A damaged or
    foreign file raises ``ValueError`` with the file named after it: the
    module's "deserialize error: CorruptedData" when the store's bytes are
    malformed, "container error: <check>" naming the container check that
    failed (a checksum, say) otherwise. The file of a collection whose
    vectors are not 384-dimensional raises ``ValueError`` naming its
    dimension and :meth:`kestrix.Collection.load`, which opens it.
    """
    source = path_argument(path)
    if os.path.isdir(source):
        raise IsADirectoryError(f"cannot load {source!r}: it is a folder")
    with open_regular(source) as f:
        data = f.read()
    sections, container = read_sections(data, source)
    codes = [body for kind, body in sections if kind == CODES_SECTION]
    if codes:
        try:
            dim = codes_form(codes[0])[0]
        except ValueError as err:
            raise ValueError(f"{err} (file {source!r})") from None
        raise ValueError(f"file {source!r} holds a {dim}-dimensional collection: open it with kestrix.Collection.load")
    try:
        store = store_section(sections)
    except ValueError as err:
        raise ValueError(f"{err} (file {source!r})") from None
    try:
        db, form = read_store(store)
    except ValueError as err:
        raise ValueError(f"{err} (file {source!r})") from err
    extra = len(store) - form.length
    if extra:
        where = "in its store section" if container else "and no container footer"
        raise ValueError(f"deserialize error: CorruptedData (file {source!r}: {extra} bytes after the store {where})")
    return db
