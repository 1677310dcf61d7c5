"""``kestrix.DocumentStore``: the texts and metadata of documents, in SQLite.

One row per document holds its string key (unique), the integer id a
:class:`kestrix.Collection` keeps its vector under, its text and its metadata
(JSON, checked when it arrives: see :mod:`kestrix._metadata`). Beside it, every
top-level metadata value and every element of a list value is kept as an
indexed ``(field, kind, value, doc_id)`` row, so that a filter (see
:mod:`kestrix._filters`) becomes one SQL query that looks up only the rows it
matches::

    docs = DocumentStore()                      # in memory; DocumentStore(path): a file
    ids = docs.upsert(["a", "b"], ["text a", "text b"], [{"lang": "en"}, {"lang": "fr"}])
    docs.matching_ids({"lang": {"$in": ["en", "de"]}})   # array([0]), sorted int64
    docs.get(["b"])                             # [Record(key='b', doc_id=1, text='text b', ...)]
    docs.backup("docs.sqlite")                  # a consistent copy, written atomically
    copy = DocumentStore.load("docs.sqlite")    # back into memory

Integer ids are handed out from 0 upward, the lowest free one first: ids of
deleted documents are reused, so they stay dense. Replacing a document (an
upsert of a key that is stored) keeps its id.

Changes. ``upsert`` and ``delete`` check everything first and then run as one
transaction: a refused or failed call changes nothing. Each takes ``apply``, a
function called with the batch's integer ids inside the transaction, after the
rows are written and before the commit: if it raises, the transaction is rolled
back, so a caller can tie another store's change (the vectors of the same
documents) to this one.

Files. ``DocumentStore(path)`` opens (or creates) a database file and works on
it in place: SQLite's write-ahead journal, synchronous commits, so a change is
durable when its call returns. ``backup(path)`` writes a consistent copy
through SQLite's backup API to a temporary file that is fsynced and renamed
over ``path``; ``DocumentStore.load(path)`` reads such a copy into memory.
Every file is checked before use (its application id, schema version and
tables, and SQLite's quick check): a foreign or damaged one raises ValueError.

Threads. A store may be shared by threads (and used from asyncio's executor):
each method runs whole under the store's lock on its one connection, so a
reader sees a batch entirely or not at all. Iterating reads the documents in
chunks, each whole; changes made meanwhile may or may not be seen. A store is
not carried into a child process by ``fork``: open it again there.
"""

import contextlib
import json
import os
import sqlite3
import stat
import threading
from pathlib import Path
from typing import Any, Callable, Dict, Iterable, Iterator, List, NamedTuple, Optional, Sequence, Set, Tuple

from ._common import MAX_COLLECTION_ID
from ._files import PathLike, atomic_write_file, path_argument
from ._filters import parse_filter
from ._metadata import check_metadata, check_string, index_entries

__all__ = ["Batch", "DocumentStore", "Record"]

# "KXDS" in the file header, and the version of the tables below. Version 2
# adds the log_position table, only to a database whose changes are tied to a
# durable collection's log (set_log_position); every other stays version 1.
APPLICATION_ID = 0x4B584453
SCHEMA_VERSION = 1
LOG_POSITION_VERSION = 2

# ``value`` has no declared type, so SQLite keeps every value in the class it
# was given (a string that looks like a number stays a string) and orders the
# index by kind and then value: each test of a filter is one range of it.
_SCHEMA = (
    "CREATE TABLE documents (doc_id INTEGER PRIMARY KEY, key TEXT NOT NULL UNIQUE,"
    " text TEXT NOT NULL, metadata TEXT NOT NULL)",
    "CREATE TABLE free_ids (doc_id INTEGER PRIMARY KEY)",
    "CREATE TABLE fields (field TEXT NOT NULL, kind INTEGER NOT NULL, value NOT NULL, doc_id INTEGER NOT NULL,"
    " PRIMARY KEY (field, kind, value, doc_id)) WITHOUT ROWID",
    "CREATE TABLE elements (field TEXT NOT NULL, kind INTEGER NOT NULL, value NOT NULL, doc_id INTEGER NOT NULL,"
    " PRIMARY KEY (field, kind, value, doc_id)) WITHOUT ROWID",
)
# The last record of a durable collection's log whose change this database
# committed with its own (one row).
_LOG_POSITION = "CREATE TABLE log_position (seq INTEGER NOT NULL)"
_BY_KEYS = "SELECT key, doc_id, text, metadata FROM documents WHERE key IN (SELECT value FROM json_each(?))"
_BY_IDS = "SELECT key, doc_id, text, metadata FROM documents WHERE doc_id IN (SELECT value FROM json_each(?))"
_CHUNK = 1024


class Record(NamedTuple):
    """A stored document."""

    key: str
    doc_id: int
    text: str
    metadata: Dict[str, Any]


class Batch(NamedTuple):
    """Documents checked by :meth:`DocumentStore.check_batch`, ready to store."""

    keys: List[str]
    texts: List[str]
    metadatas: List[Dict[str, Any]]
    encoded: List[str]  # the metadata as stored


def _record(row: Tuple[str, int, str, str]) -> Record:
    return Record(row[0], row[1], row[2], json.loads(row[3]))


def _connect(target: str, uri: bool = False) -> sqlite3.Connection:
    # Transactions are begun and ended here explicitly; the lock, not the
    # module's thread check, keeps the connection to one thread at a time.
    return sqlite3.connect(target, isolation_level=None, check_same_thread=False, uri=uri)


_expected: Dict[int, List[Tuple[str, ...]]] = {}


def _schema_objects(conn: sqlite3.Connection) -> List[Tuple[str, ...]]:
    return [tuple(row) for row in conn.execute("SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY name")]


def _expected_objects(version: int) -> List[Tuple[str, ...]]:
    if version not in _expected:
        conn = _connect(":memory:")
        try:
            for ddl in _SCHEMA + ((_LOG_POSITION,) if version == LOG_POSITION_VERSION else ()):
                conn.execute(ddl)
            _expected[version] = _schema_objects(conn)
        finally:
            conn.close()
    return _expected[version]


def _check_database(conn: sqlite3.Connection, source: str, create: bool) -> None:
    """Check that ``conn`` holds a document database, or create one in an
    empty database when ``create``."""
    try:
        app = conn.execute("PRAGMA application_id").fetchone()[0]
        version = conn.execute("PRAGMA user_version").fetchone()[0]
        objects = _schema_objects(conn)
        if app == 0 and version == 0 and not objects:
            if not create:
                raise ValueError(f"{source!r} holds no Kestrix document database (it is empty)")
            conn.execute("BEGIN IMMEDIATE")
            for ddl in _SCHEMA:
                conn.execute(ddl)
            conn.execute(f"PRAGMA application_id = {APPLICATION_ID}")
            conn.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
            conn.execute("COMMIT")
            return
        if app != APPLICATION_ID:
            raise ValueError(f"{source!r} is not a Kestrix document database")
        if version not in (SCHEMA_VERSION, LOG_POSITION_VERSION):
            raise ValueError(
                f"{source!r} holds a document database of version {version}, which this Kestrix cannot read"
            )
        if objects != _expected_objects(version):
            raise ValueError(f"damaged document database {source!r}: its tables are not those of version {version}")
        if version == LOG_POSITION_VERSION and conn.execute("SELECT count(*) FROM log_position").fetchone()[0] != 1:
            raise ValueError(f"damaged document database {source!r}: its log position is not one row")
        problems = conn.execute("PRAGMA quick_check").fetchall()
        if problems != [("ok",)]:
            raise ValueError(f"damaged document database {source!r}: {problems[0][0]}")
    except sqlite3.DatabaseError as err:
        raise ValueError(f"{source!r} is not a readable Kestrix document database ({err})") from None


def _regular_file(source: str, must_exist: bool) -> None:
    # A FIFO or a device would block or never end; only files are databases.
    try:
        mode = os.stat(source).st_mode
    except FileNotFoundError:
        if must_exist:
            raise FileNotFoundError(f"no document database at {source!r}") from None
        return
    if stat.S_ISDIR(mode):
        raise IsADirectoryError(f"{source!r} is a folder, not a document database")
    if not stat.S_ISREG(mode):
        raise ValueError(f"{source!r} is not a regular file")


def _key_list(keys: Any, what: str = "keys") -> List[str]:
    if isinstance(keys, (str, bytes)):
        raise TypeError(f"{what} must be a list of strings, not a single {type(keys).__name__}")
    out = list(keys)
    for key in out:
        if not isinstance(key, str):
            raise TypeError(f"{what} must be strings, got {type(key).__name__}")
    return out


def _storable(key: str) -> bool:
    # A key with a NUL or a lone surrogate was refused on the way in.
    try:
        check_string(key, "key")
        return True
    except ValueError:
        return False


def _id_list(doc_ids: Any) -> List[int]:
    if hasattr(doc_ids, "tolist") and not isinstance(doc_ids, list):
        doc_ids = doc_ids.tolist()
    out = list(doc_ids)
    for doc_id in out:
        if isinstance(doc_id, bool) or not isinstance(doc_id, int):
            raise TypeError(f"document ids must be ints, got {type(doc_id).__name__}")
    return out


def _sorted_ids(text: Optional[str]) -> Any:
    """The ids of a comma-separated list, sorted: an int64 array when NumPy
    is there, a list otherwise."""
    try:
        import numpy as np
    except ImportError:  # pragma: no cover - NumPy is optional
        return sorted(int(part) for part in text.split(",")) if text else []
    if not text:
        return np.empty(0, dtype=np.int64)
    ids = np.fromstring(text, dtype=np.int64, sep=",")
    ids.sort()
    return ids


class DocumentStore:
    """Texts and metadata of documents under unique string keys, each with the
    integer id of its vector; in memory (the default) or in a database file.
    """

    def __init__(self, path: Optional[PathLike] = None) -> None:
        self._lock = threading.RLock()
        self.path: Optional[str] = None
        if path is None:
            conn = _connect(":memory:")
            source = ":memory:"
        else:
            source = path_argument(path)
            _regular_file(source, must_exist=False)
            try:
                conn = _connect(source)
            except sqlite3.Error as err:
                raise ValueError(f"cannot open the document database {source!r} ({err})") from None
            self.path = source
        try:
            _check_database(conn, source, create=True)
            if path is not None:
                # Commits are durable when they return; readers never wait
                # for the writer.
                conn.execute("PRAGMA journal_mode = WAL")
                conn.execute("PRAGMA synchronous = FULL")
        except BaseException:
            conn.close()
            raise
        self._conn: Optional[sqlite3.Connection] = conn

    @classmethod
    def load(cls, path: PathLike) -> "DocumentStore":
        """A store in memory holding a copy of the database file ``path`` (as
        :meth:`backup` writes it), checked before it is read."""
        source = path_argument(path)
        _regular_file(source, must_exist=True)
        try:
            conn = _connect(Path(os.path.abspath(source)).as_uri() + "?mode=ro", uri=True)
        except sqlite3.Error as err:
            raise ValueError(f"cannot open the document database {source!r} ({err})") from None
        try:
            _check_database(conn, source, create=False)
            store = cls()
            conn.backup(store._live())
        finally:
            conn.close()
        return store

    def copy(self) -> "DocumentStore":
        """A store in memory holding a consistent copy of this one."""
        store = DocumentStore()
        with self._lock:
            self._live().backup(store._live())
        return store

    # ------------------------------------------------------------------ plumbing

    def _live(self) -> sqlite3.Connection:
        if self._conn is None:
            raise ValueError("the document store is closed")
        return self._conn

    @contextlib.contextmanager
    def _writing(self, log_position: Optional[Callable[[], int]] = None) -> Iterator[sqlite3.Connection]:
        with self._lock:
            conn = self._live()
            conn.execute("BEGIN IMMEDIATE")
            try:
                yield conn
                if log_position is not None:
                    self._write_log_position(conn, log_position())
                conn.execute("COMMIT")
            except BaseException:
                if conn.in_transaction:
                    conn.execute("ROLLBACK")
                raise

    @staticmethod
    def _write_log_position(conn: sqlite3.Connection, seq: int) -> None:
        if isinstance(seq, bool) or not isinstance(seq, int) or not 0 <= seq < 2**63:
            raise ValueError(f"a log position is an int in 0..2**63-1, got {seq!r}")
        if conn.execute("PRAGMA user_version").fetchone()[0] != LOG_POSITION_VERSION:
            conn.execute(_LOG_POSITION)
            conn.execute("INSERT INTO log_position (seq) VALUES (0)")
            conn.execute(f"PRAGMA user_version = {LOG_POSITION_VERSION}")
        conn.execute("UPDATE log_position SET seq = ?", (seq,))

    def set_log_position(self, seq: int) -> None:
        """Commit ``seq`` as the last record of a durable collection's log
        whose change this database holds with its own. A store whose changes
        go with a collection's (``apply``) records, in each transaction, the
        log's last record (``log_position=``): after a crash between the two
        commits, the log's records after this number belong to no committed
        change of the documents, and recovery leaves them out."""
        with self._writing(lambda: seq):
            pass

    @property
    def log_position(self) -> int:
        """The log record :meth:`set_log_position` last committed (0: none)."""
        with self._lock:
            conn = self._live()
            if conn.execute("PRAGMA user_version").fetchone()[0] != LOG_POSITION_VERSION:
                return 0
            return int(conn.execute("SELECT seq FROM log_position").fetchone()[0])

    def _reading(self, sql: str, params: Sequence[Any] = ()) -> List[Any]:
        with self._lock:
            return self._live().execute(sql, params).fetchall()

    def close(self) -> None:
        """Close the database; a closed store refuses every call."""
        with self._lock:
            if self._conn is not None:
                self._conn.close()
                self._conn = None

    def __enter__(self) -> "DocumentStore":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    # ------------------------------------------------------------------ changes

    def upsert(
        self,
        keys: Iterable[str],
        texts: Iterable[str],
        metadatas: Optional[Iterable[Optional[Dict[str, Any]]]] = None,
        *,
        apply: Optional[Callable[[List[int]], Any]] = None,
    ) -> List[int]:
        """Store documents under ``keys`` (unique in the batch), replacing
        those stored; returns their integer ids, in order.

        Keys are strings without NUL characters, texts any valid Unicode
        strings; each metadata is a dict of JSON values (or None: ``{}``).
        Everything is checked before anything changes: a refused batch raises
        (ValueError naming the document and the metadata key, or TypeError)
        and changes nothing. The same as ``upsert_batch(check_batch(keys,
        texts, metadatas), apply=apply)``.
        """
        return self.upsert_batch(self.check_batch(keys, texts, metadatas), apply=apply)

    @staticmethod
    def check_batch(
        keys: Iterable[str],
        texts: Iterable[str],
        metadatas: Optional[Iterable[Optional[Dict[str, Any]]]] = None,
        names: Optional[Sequence[str]] = None,
    ) -> "Batch":
        """Check documents for :meth:`upsert_batch` without storing them (a
        caller can check a batch before it does costly work for it, such as
        embedding the texts). ``names`` say how errors name each document
        (default: its key, quoted)."""
        keys = _key_list(keys)
        texts = _key_list(texts, "texts")
        if len(texts) != len(keys):
            raise ValueError(f"got {len(texts)} texts for {len(keys)} keys")
        shown = [repr(key) for key in keys] if names is None else list(names)
        for key, text, name in zip(keys, texts, shown):
            check_string(key, "a key")
            check_string(text, f"the text of document {name}", nul_allowed=True)
        seen: Set[str] = set()
        for key in keys:
            if key in seen:
                raise ValueError(f"key {key!r} appears more than once in the batch")
            seen.add(key)
        if metadatas is None:
            plain: List[Dict[str, Any]] = [{} for _ in keys]
        else:
            given = list(metadatas)
            if len(given) != len(keys):
                raise ValueError(f"got {len(given)} metadatas for {len(keys)} keys")
            plain = [check_metadata(metadata, name) for name, metadata in zip(shown, given)]
        encoded = [json.dumps(metadata, ensure_ascii=False) for metadata in plain]
        return Batch(keys, texts, plain, encoded)

    def upsert_batch(
        self,
        batch: "Batch",
        *,
        apply: Optional[Callable[[List[int]], Any]] = None,
        log_position: Optional[Callable[[], int]] = None,
    ) -> List[int]:
        """Store a batch :meth:`check_batch` made, as :meth:`upsert` does.
        ``log_position``, when given, is called after ``apply`` and its
        number committed with the batch (see :meth:`set_log_position`)."""
        keys, texts, plain, encoded = batch
        with self._writing(log_position) as conn:
            stored = {row[0]: row for row in conn.execute(_BY_KEYS, (json.dumps(keys, ensure_ascii=False),))}
            self._unindex(conn, stored.values())
            fresh = iter(self._allocate(conn, len(keys) - len(stored)))
            doc_ids = [stored[key][1] if key in stored else next(fresh) for key in keys]
            rows = list(zip(texts, encoded, doc_ids, keys))
            conn.executemany(
                "UPDATE documents SET text = ?, metadata = ? WHERE doc_id = ?",
                [row[:3] for row in rows if row[3] in stored],
            )
            conn.executemany(
                "INSERT INTO documents (text, metadata, doc_id, key) VALUES (?, ?, ?, ?)",
                [row for row in rows if row[3] not in stored],
            )
            self._index(conn, zip(doc_ids, plain))
            if apply is not None:
                apply(doc_ids)
        return doc_ids

    def delete(
        self,
        keys: Iterable[str],
        *,
        apply: Optional[Callable[[List[int]], Any]] = None,
        log_position: Optional[Callable[[], int]] = None,
    ) -> List[int]:
        """Delete the documents under ``keys`` (unknown keys are ignored) and
        return their integer ids, which later documents may reuse.
        ``log_position`` as for :meth:`upsert_batch`."""
        wanted = [key for key in dict.fromkeys(_key_list(keys)) if _storable(key)]
        with self._writing(log_position) as conn:
            stored = {row[0]: row for row in conn.execute(_BY_KEYS, (json.dumps(wanted, ensure_ascii=False),))}
            doc_ids = [stored[key][1] for key in wanted if key in stored]
            self._unindex(conn, stored.values())
            conn.executemany("DELETE FROM documents WHERE doc_id = ?", [(doc_id,) for doc_id in doc_ids])
            conn.executemany("INSERT INTO free_ids (doc_id) VALUES (?)", [(doc_id,) for doc_id in doc_ids])
            if apply is not None:
                apply(doc_ids)
        return doc_ids

    @classmethod
    def _restore(cls, records: Iterable[Record], free_ids: Iterable[int]) -> "DocumentStore":
        """A new store in memory holding ``records`` under their own integer
        ids, with ``free_ids`` free for reuse (how documents kept elsewhere
        come in). Keys and ids must be unique and the ids in range; metadata
        is checked as :meth:`upsert` checks it."""
        rows = []
        plain = []
        for key, doc_id, text, metadata in records:
            check_string(key, "a key")
            check_string(text, f"the text of document {key!r}", nul_allowed=True)
            if isinstance(doc_id, bool) or not isinstance(doc_id, int) or not 0 <= doc_id <= MAX_COLLECTION_ID:
                raise ValueError(f"document {key!r} has the id {doc_id!r}, not an int in 0..{MAX_COLLECTION_ID}")
            plain.append((doc_id, check_metadata(metadata, repr(key))))
            rows.append((doc_id, key, text, json.dumps(plain[-1][1], ensure_ascii=False)))
        store = cls()
        try:
            with store._writing() as conn:
                conn.executemany("INSERT INTO documents (doc_id, key, text, metadata) VALUES (?, ?, ?, ?)", rows)
                conn.executemany("INSERT INTO free_ids (doc_id) VALUES (?)", [(doc_id,) for doc_id in free_ids])
                clash = conn.execute("SELECT doc_id FROM free_ids WHERE doc_id IN (SELECT doc_id FROM documents)")
                if clash.fetchone() is not None:
                    raise ValueError("an id is both a document's and free")
                store._index(conn, plain)
        except sqlite3.IntegrityError as err:
            raise ValueError(f"two documents share a key or an id ({err})") from None
        return store

    def _allocate(self, conn: sqlite3.Connection, count: int) -> List[int]:
        """``count`` unused ids, the lowest first."""
        if count <= 0:
            return []
        ids = [row[0] for row in conn.execute("SELECT doc_id FROM free_ids ORDER BY doc_id LIMIT ?", (count,))]
        if ids:
            conn.execute("DELETE FROM free_ids WHERE doc_id <= ?", (ids[-1],))
        if len(ids) < count:
            top = conn.execute(
                "SELECT max(top) FROM (SELECT max(doc_id) AS top FROM documents"
                " UNION ALL SELECT max(doc_id) FROM free_ids)"
            ).fetchone()[0]
            start = max(0 if top is None else top + 1, ids[-1] + 1 if ids else 0)
            if start + count - len(ids) - 1 > MAX_COLLECTION_ID:
                raise RuntimeError(f"no free document id: the store has handed out all {MAX_COLLECTION_ID + 1}")
            ids.extend(range(start, start + count - len(ids)))
        return ids

    @staticmethod
    def _index(conn: sqlite3.Connection, documents: Iterable[Tuple[int, Dict[str, Any]]]) -> None:
        fields: List[Tuple[Any, ...]] = []
        elements: List[Tuple[Any, ...]] = []
        for doc_id, metadata in documents:
            own_fields, own_elements = index_entries(metadata)
            fields.extend((*entry, doc_id) for entry in own_fields)
            elements.extend((*entry, doc_id) for entry in own_elements)
        conn.executemany("INSERT INTO fields (field, kind, value, doc_id) VALUES (?, ?, ?, ?)", fields)
        conn.executemany("INSERT INTO elements (field, kind, value, doc_id) VALUES (?, ?, ?, ?)", elements)

    @staticmethod
    def _unindex(conn: sqlite3.Connection, rows: Iterable[Tuple[str, int, str, str]]) -> None:
        """Remove the index rows of stored documents, worked out again from
        their metadata: every one must be there."""
        fields: List[Tuple[Any, ...]] = []
        elements: List[Tuple[Any, ...]] = []
        for _, doc_id, _, metadata in rows:
            own_fields, own_elements = index_entries(json.loads(metadata))
            fields.extend((*entry, doc_id) for entry in own_fields)
            elements.extend((*entry, doc_id) for entry in own_elements)
        for table, entries in (("fields", fields), ("elements", elements)):
            if entries:
                done = conn.executemany(
                    f"DELETE FROM {table} WHERE field = ? AND kind = ? AND value = ? AND doc_id = ?", entries
                ).rowcount
                if done != len(entries):
                    raise ValueError(
                        f"damaged document database: {len(entries) - done} {table} rows of the documents"
                        " being changed are missing"
                    )

    # ------------------------------------------------------------------ reading

    def get(self, keys: Iterable[str]) -> List[Record]:
        """The documents under ``keys``, in the order asked; unknown keys are skipped."""
        wanted = _key_list(keys)
        valid = [key for key in wanted if _storable(key)]
        found = {row[0]: row for row in self._reading(_BY_KEYS, (json.dumps(valid, ensure_ascii=False),))}
        return [_record(found[key]) for key in wanted if key in found]

    def get_by_ids(self, doc_ids: Iterable[int]) -> List[Record]:
        """The documents with these integer ids, in the order asked; unknown ids are skipped."""
        wanted = _id_list(doc_ids)
        found = {row[1]: row for row in self._reading(_BY_IDS, (json.dumps(_in_range(wanted)),))}
        return [_record(found[doc_id]) for doc_id in wanted if doc_id in found]

    def ids_of(self, keys: Iterable[str]) -> List[Optional[int]]:
        """The integer id of each key (None for an unknown one)."""
        wanted = _key_list(keys)
        valid = [key for key in wanted if _storable(key)]
        sql = "SELECT key, doc_id FROM documents WHERE key IN (SELECT value FROM json_each(?))"
        found = dict(self._reading(sql, (json.dumps(valid, ensure_ascii=False),)))
        return [found.get(key) for key in wanted]

    def keys_of(self, doc_ids: Iterable[int]) -> List[Optional[str]]:
        """The key of each integer id (None for an unknown one)."""
        wanted = _id_list(doc_ids)
        sql = "SELECT doc_id, key FROM documents WHERE doc_id IN (SELECT value FROM json_each(?))"
        found = dict(self._reading(sql, (json.dumps(_in_range(wanted)),)))
        return [found.get(doc_id) for doc_id in wanted]

    def __len__(self) -> int:
        return int(self._reading("SELECT count(*) FROM documents")[0][0])

    def __contains__(self, key: object) -> bool:
        if not isinstance(key, str) or not _storable(key):
            return False
        return bool(self._reading("SELECT 1 FROM documents WHERE key = ?", (key,)))

    def __iter__(self) -> Iterator[Record]:
        """Every document, by integer id (read a chunk at a time)."""
        last = -1
        while True:
            rows = self._reading(
                "SELECT key, doc_id, text, metadata FROM documents WHERE doc_id > ? ORDER BY doc_id LIMIT ?",
                (last, _CHUNK),
            )
            for row in rows:
                yield _record(row)
            if len(rows) < _CHUNK:
                return
            last = rows[-1][1]

    def ids(self) -> Any:
        """The integer ids of every document, sorted (as :meth:`matching_ids` gives them)."""
        return _sorted_ids(self._reading("SELECT group_concat(doc_id) FROM documents")[0][0])

    def matching_ids(self, filter: Any) -> Any:
        """The integer ids of the documents ``filter`` (a filter dict, see
        :mod:`kestrix._filters`) matches, sorted: an int64 array when NumPy is
        installed, a list otherwise. One SQL query; a malformed filter raises
        ValueError before it runs."""
        parsed = parse_filter(filter)
        with self._lock:
            conn = self._live()
            # Ids are dense: the highest is about the count, and costs one seek.
            top = conn.execute("SELECT max(doc_id) FROM documents").fetchone()[0]
            sql, params = parsed.sql(documents=0 if top is None else top + 1)
            try:
                text = conn.execute(f"SELECT group_concat(doc_id) FROM ({sql})", params).fetchone()[0]
            except sqlite3.OperationalError as err:
                # Only the size of a filter can fail its query: too many
                # values to bind, or nesting past SQLite's limits.
                raise ValueError(f"the filter is too large for one query ({err})") from None
        return _sorted_ids(text)

    # ------------------------------------------------------------------ files

    def backup(self, path: PathLike) -> None:
        """Write a consistent copy of the database to the file ``path``
        atomically (a crash leaves the old file or the new one); read it with
        :meth:`load`."""

        def fill(tmp: str) -> None:
            copy = _connect(tmp)
            try:
                # The temporary file is fsynced and renamed whole by the
                # caller: no journal of its own is needed.
                copy.execute("PRAGMA journal_mode = OFF")
                with self._lock:
                    self._live().backup(copy)
                copy.execute("PRAGMA journal_mode = DELETE")
            finally:
                copy.close()

        atomic_write_file(path, fill)


def _in_range(doc_ids: List[int]) -> List[int]:
    # Ids beyond 64 bits cannot be stored, and would not fit the query.
    return [doc_id for doc_id in doc_ids if 0 <= doc_id <= MAX_COLLECTION_ID]
