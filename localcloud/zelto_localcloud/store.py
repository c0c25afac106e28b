"""Storage: one SQLite database file in the data folder (the default), or a PostgreSQL database.

Every change runs in one `BEGIN IMMEDIATE` transaction. Alone (the commands
that manage the data folder) each commit waits for the disk (`synchronous=FULL`).
The server groups them instead (`group_commits`): the writes that its event
loop runs in one turn share one transaction, each in a savepoint of its own
(a write that fails rolls back only itself), committed at the loop's next turn
without waiting for the disk; one flush of the log then covers every commit
made until it starts. Flushes are spaced (FLUSH_SPACING): under load the writes
of the turns until the next flush join its transaction. An answer is sent only once a flush covers everything
committed before it (`durable`), and a write whose transaction was not
committed is answered with the failure, so nothing acknowledged can be lost,
and writes that arrive together pay for one commit and one wait for the disk.

On PostgreSQL (`--database postgresql://...`, or $ZELTO_LOCALCLOUD_DATABASE)
connections come from a pool; a change is committed, and so on the server's
disk, before the call that made it returns. Every transaction first takes one
advisory lock, as SQLite's writers take its one write lock, so the rules that
read and then write (thresholds, idempotency, the audit chain) see the same
single line of changes from any number of servers on the database.

The tables come from the schema history in migrations/ (see schema.py).
"""

from __future__ import annotations

import asyncio
import contextlib
import contextvars
import functools
import json
import math
import os
import sqlite3
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Iterator

import psycopg

from . import schema

DATABASE_NAME = "localcloud.db"
SCHEMA_VERSION = 2
DATABASE_ENV = "ZELTO_LOCALCLOUD_DATABASE"

# SQLite's primary result codes for a disk that cannot take more, and for a
# database that cannot be written at all (read-only, failing or vanished).
_FULL = {sqlite3.SQLITE_FULL}
_UNWRITABLE = {sqlite3.SQLITE_READONLY, sqlite3.SQLITE_IOERR, sqlite3.SQLITE_CANTOPEN, sqlite3.SQLITE_PERM}

# What either database raises for an expected storage condition (storage_failure tells which).
# psycopg's OperationalError covers a server that is down, restarting or unreachable, a lost
# connection and a pool with no connection to give; a read-only server (a standby) refuses writes.
STORAGE_ERRORS = (sqlite3.OperationalError, psycopg.OperationalError, psycopg.errors.ReadOnlySqlTransaction)


def storage_failure(error: BaseException) -> str | None:
    """"full", "unwritable" or "unreachable" for an expected storage condition, else None (a fault)."""
    if isinstance(error, psycopg.errors.DiskFull):
        return "full"
    if isinstance(error, psycopg.errors.ReadOnlySqlTransaction):
        return "unwritable"
    if isinstance(error, psycopg.OperationalError):
        return "unreachable"
    if not isinstance(error, sqlite3.OperationalError):
        return None
    code = (getattr(error, "sqlite_errorcode", None) or 0) & 0xFF
    if code in _FULL:
        return "full"
    if code in _UNWRITABLE:
        return "unwritable"
    return None


def database_url(given: str | None = None) -> str | None:
    """The PostgreSQL URL to use: the one given, else $ZELTO_LOCALCLOUD_DATABASE; None: SQLite."""
    url = given or os.environ.get(DATABASE_ENV) or None
    if url is not None and not url.startswith(("postgresql://", "postgres://", "postgresql+psycopg://")):
        raise RuntimeError(f"unsupported database {url.split('://', 1)[0]!r}: give a postgresql://... URL")
    return url

_REQUEST_COLUMNS = (
    "id, tenant, status, warrant_id, tool, request_hash, holder_key, args_canonical_cbor_b64,"
    " attestation_json, metadata_json, policy_id, threshold, approver_keys_json,"
    " ttl_seconds, idempotency_key, denied_reason, created_at, expires_at, resolved_at"
)
# What lists read, kept apart from the requests table: a request's row there holds its arguments and
# metadata (up to a MiB), and SQLite reads a row's columns after such a value only by walking its
# overflow pages. Each request has a row here with the fields a request object shows, but a one-line
# summary and a bounded list form of its metadata instead of the metadata, and its size in bytes (for
# the tenant's quota). Status changes are written to both tables.
_LIST_COLUMNS = (
    "seq, id, tenant, status, warrant_id, tool, request_hash, holder_key, policy_id, threshold,"
    " approver_keys_json, ttl_seconds, idempotency_key, denied_reason, created_at, expires_at, resolved_at,"
    " summary, list_metadata_json, stored_bytes, shown_tool, hazards"
)
# Fills in the list rows of requests stored without one (their metadata is cut, not summarised).
_FILL_LIST = f"""
INSERT INTO request_list ({_LIST_COLUMNS})
SELECT seq, id, tenant, status, warrant_id, tool, request_hash, holder_key, policy_id, threshold,
    approver_keys_json, ttl_seconds, idempotency_key, denied_reason, created_at, expires_at, resolved_at,
    coalesce(substr(metadata_json, 1, 100), ''),
    CASE WHEN length(CAST(metadata_json AS BLOB)) <= 1024 THEN metadata_json
         ELSE json_object('truncated', json('true'), 'bytes', length(CAST(metadata_json AS BLOB)),
                          'summary', substr(metadata_json, 1, 100)) END,
    length(CAST(coalesce(metadata_json, '') AS BLOB)) + length(args_canonical_cbor_b64)
        + length(CAST(attestation_json AS BLOB)),
    '', 0
FROM requests WHERE seq NOT IN (SELECT seq FROM request_list)
"""
_INSERT_REQUEST = f"INSERT INTO requests ({_REQUEST_COLUMNS}) VALUES ({', '.join('?' * 19)}) RETURNING seq"
_INSERT_LIST = f"INSERT INTO request_list ({_LIST_COLUMNS}) VALUES ({', '.join('?' * 22)})"
_RESPONSE_COLUMNS = "request_id, approver, approver_key, decision, signed_approval, reason, created_at"


@dataclass
class ResponseRecord:
    request_id: str
    approver: str
    approver_key: str
    decision: str
    signed_approval: bytes | None
    reason: str | None
    created_at: float


@dataclass
class RequestRecord:
    id: str
    tenant: str
    status: str
    warrant_id: str
    tool: str
    request_hash: bytes
    holder_key: bytes
    args_canonical_cbor_b64: str
    approval_context_attestation: dict
    metadata: dict | None
    policy_id: str | None
    threshold: int
    approver_keys: list[str] | None
    ttl_seconds: int
    idempotency_key: str | None
    denied_reason: str | None
    created_at: float
    expires_at: float
    resolved_at: float | None
    responses: list[ResponseRecord] = field(default_factory=list)
    summary: str = ""  # of the shown call's arguments, one line
    shown_tool: str = ""  # the tool name with display hazards escaped
    hazards: bool = False
    # For a listed request, `metadata` holds the list form (see paging.list_form).
    list_metadata: Any = None
    stored_bytes: int = 0
    seq: int = 0
    # What the agent's receipts say happened after the decision (outcomes.attach), None without one.
    outcome: dict | None = None

    def approvals(self) -> list[ResponseRecord]:
        return [r for r in self.responses if r.decision == "approved"]


@dataclass
class ConnectTokenRecord:
    token_hash: str
    agent_id: str
    created_at: float
    expires_at: float
    api_key_id: str | None
    public_key: str | None
    claimed_at: float | None


@dataclass(frozen=True)
class ApiKeyRecord:
    id: str
    name: str
    created_at: float


@dataclass(frozen=True)
class ApproverRecord:
    name: str
    seed: bytes
    public_key: str
    password_hash: str
    created_at: float


@dataclass(frozen=True)
class SessionRecord:
    approver: str
    form_token: str
    expires_at: float


# json.dumps with options sets up an encoder on every call; the store's is made once.
_stored_json = json.JSONEncoder(ensure_ascii=True, allow_nan=False).encode


def json_or_none(value) -> str | None:
    """A value's JSON as the store keeps it (None stays None)."""
    return None if value is None else _stored_json(value)


def _loads_or_none(text: str | None):
    return None if text is None else json.loads(text)


# The fields that the requests table and the list table both keep, under the same column names.
_SHARED_FIELDS = (
    "id", "tenant", "status", "warrant_id", "tool", "policy_id", "threshold", "ttl_seconds", "idempotency_key",
    "denied_reason", "created_at", "expires_at", "resolved_at",
)


def _shared_fields(row: sqlite3.Row) -> dict:
    return {name: row[name] for name in _SHARED_FIELDS} | {
        "request_hash": bytes(row["request_hash"]),
        "holder_key": bytes(row["holder_key"]),
        "approver_keys": _loads_or_none(row["approver_keys_json"]),
    }


def _request_from_row(row: sqlite3.Row) -> RequestRecord:
    return RequestRecord(
        **_shared_fields(row),
        args_canonical_cbor_b64=row["args_canonical_cbor_b64"],
        approval_context_attestation=json.loads(row["attestation_json"]),
        metadata=_loads_or_none(row["metadata_json"]),
    )


def _listed_request_from_row(row: sqlite3.Row) -> RequestRecord:
    metadata = _loads_or_none(row["list_metadata_json"])
    return RequestRecord(
        **_shared_fields(row),
        args_canonical_cbor_b64="",
        approval_context_attestation={},
        metadata=metadata,
        summary=row["summary"],
        shown_tool=row["shown_tool"],
        hazards=bool(row["hazards"]),
        list_metadata=metadata,
        seq=row["seq"],
    )


def _response_from_row(row: sqlite3.Row) -> ResponseRecord:
    signed = row["signed_approval"]
    return ResponseRecord(
        request_id=row["request_id"],
        approver=row["approver"],
        approver_key=row["approver_key"],
        decision=row["decision"],
        signed_approval=None if signed is None else bytes(signed),
        reason=row["reason"],
        created_at=row["created_at"],
    )


# The least time from the end of one flush of the log to the start of the next, in seconds.
FLUSH_SPACING = 0.002


def _timer_delay(loop: asyncio.AbstractEventLoop, wait: float) -> float:
    """What to ask of `loop.call_later` so that the callback runs no sooner than `wait` seconds from now.

    asyncio's own loops keep exact times. The server's (uvloop's, on libuv's timers) counts whole
    milliseconds from a clock read in whole milliseconds, so a timer of n ms can fire up to one
    millisecond early, and one under half a millisecond runs at the next turn: it is asked for the
    wait rounded up to a millisecond, and one more.
    """
    if isinstance(loop, asyncio.BaseEventLoop):
        return wait
    return (math.ceil(wait * 1000) + 1) / 1000


# The shared transactions that the current answer has written in (see _LogFlusher.write).
_written_in: contextvars.ContextVar[list[int] | None] = contextvars.ContextVar("zelto_written_in", default=None)


class _LogFlusher:
    """Commits the server's writes in shared transactions and flushes the write-ahead log to disk, on the
    event loop.

    The writes that the loop runs in one turn share one transaction: the first
    opens it (BEGIN IMMEDIATE) and each runs inside a savepoint of its own, so
    a write that fails rolls back only itself. At the loop's next turn the
    transaction is committed and the log flushed once for all of them; or, when
    the last flush ended less than FLUSH_SPACING ago, once that much time has
    passed, the writes of the turns in between joining the transaction. (A flush
    takes well under a millisecond on a local disk; on a thread of its own it
    would wait far longer for the interpreter lock than for the disk.)

    Transactions are counted as they open (or commit, outside the loop);
    `flushed()` waits until a flush that began once the current count was
    reached has finished, and raises when a transaction that the caller's
    answer wrote in was not committed (SQLite rolled it back whole, or its
    COMMIT failed: a full disk), so that no answer tells of a write that was
    not stored. A flush that fails fails its waiters and every later one: what
    the log holds is then unknown.
    """

    def __init__(self, log_path: Path, connection: sqlite3.Connection | None = None):
        self._log_path = log_path
        self._conn = connection
        self._committed = 0
        self._flushed = 0
        self._waiters: list[tuple[int, list[int] | None, asyncio.Future]] = []
        self._scheduled: asyncio.Handle | None = None
        self._scheduled_on: asyncio.AbstractEventLoop | None = None
        self._flushed_at = float("-inf")  # when the last flush ended (time.monotonic())
        self._failure: OSError | None = None
        self._open = False  # a shared transaction is open
        self._depth = 0  # writes under way inside it (nested ones join the outer)
        self._lost: dict[int, sqlite3.Error] = {}  # shared transactions that were not committed, and why

    def committed(self) -> None:
        self._committed += 1

    @staticmethod
    def answering() -> None:
        """A new answer begins in this task: what it writes from now on decides whether it was stored.
        (A task's context can come from another request's: asyncio hands it on to the callbacks that a
        task schedules, a connection's reads among them.)"""
        _written_in.set([])

    def sharing(self) -> bool:
        """Whether writes now join the shared transaction: on the event loop, with a connection to commit."""
        return self._conn is not None and (self._depth > 0 or asyncio._get_running_loop() is not None)

    @contextlib.contextmanager
    def write(self) -> Iterator[None]:
        """One write inside the shared transaction, in a savepoint of its own."""
        if self._depth:
            yield  # nested use joins the write under way
            return
        connection = self._conn
        if not self._open:
            connection.execute("BEGIN IMMEDIATE")
            self._open = True
            self._committed += 1
            self._schedule(asyncio.get_running_loop())
        batch = self._committed
        connection.execute("SAVEPOINT write")
        self._depth = 1
        try:
            yield
        except BaseException as error:
            self._depth = 0
            self._undo(batch, error)
            raise
        self._depth = 0
        try:
            connection.execute("RELEASE write")
        except sqlite3.Error as error:
            self._undo(batch, error)
            raise
        written = _written_in.get()
        if written is None:
            _written_in.set([batch])
        elif not written or written[-1] != batch:
            written.append(batch)

    def _undo(self, batch: int, error: BaseException) -> None:
        """Rolls back a failed write; when SQLite has rolled back the whole transaction (or its
        savepoint cannot be undone), the writes before it in the transaction are lost too."""
        connection = self._conn
        if connection.in_transaction:
            try:
                connection.execute("ROLLBACK TO write")
                connection.execute("RELEASE write")
                return
            except sqlite3.Error:
                try:
                    connection.execute("ROLLBACK")
                except sqlite3.Error:
                    pass
        self._open = False
        self._lose(batch, error if isinstance(error, sqlite3.Error) else sqlite3.OperationalError(str(error)))

    def _lose(self, batch: int, error: sqlite3.Error) -> None:
        if len(self._lost) >= 1000:
            self._lost.pop(next(iter(self._lost)))
        self._lost[batch] = error

    async def flushed(self) -> None:
        written = _written_in.get()
        if not written and self._open:
            # An answer that wrote nothing may still show rows of the transaction open in this turn (an
            # approval made a moment ago): it is sent only if that transaction is stored.
            written = [self._committed]
        if self._failure is not None:
            raise self._failed()
        if self._flushed >= self._committed:
            if (loss := self._loss(written)) is not None:
                raise loss
            return
        loop = asyncio.get_running_loop()
        future = loop.create_future()
        self._waiters.append((self._committed, written, future))
        self._schedule(loop)
        await future

    def _schedule(self, loop: asyncio.AbstractEventLoop) -> None:
        # One flush at a time; one left on a loop that has ended (a test's) is made again on this one.
        if self._scheduled is None or self._scheduled_on is not loop:
            # Flushes come at most one per FLUSH_SPACING: under load the writes of the turns in between
            # share one commit and one flush; a write after a quiet spell is flushed at the next turn.
            wait = self._flushed_at + FLUSH_SPACING - time.monotonic()
            if wait > 0:
                self._scheduled = loop.call_later(_timer_delay(loop, wait), self._flush)
            else:
                self._scheduled = loop.call_soon(self._flush)
            self._scheduled_on = loop

    def _loss(self, written: list[int] | None) -> sqlite3.Error | None:
        """Why a transaction that the answer wrote in was not committed, or None."""
        if written and self._lost:
            for batch in written:
                if batch in self._lost:
                    return _lost_error(self._lost[batch])
        return None

    def stop(self) -> None:
        if self._scheduled is not None:
            self._scheduled.cancel()
        if self._scheduled is not None or self._open:
            self._flush()

    def writing(self) -> bool:
        return self._depth > 0

    @contextlib.contextmanager
    def alone(self) -> Iterator[None]:
        """A write in a transaction of its own (the shared one is committed): writes nested in it join it."""
        self._depth = 1
        try:
            yield
        finally:
            self._depth = 0

    def commit_now(self) -> None:
        """Commits the shared transaction now (its flush comes at the loop's next turn as usual)."""
        if self._open:
            self._commit()

    def _commit(self) -> None:
        self._open = False
        try:
            self._conn.execute("COMMIT")
        except sqlite3.Error as error:
            # A failed COMMIT (a full disk) leaves the transaction open: rolled back here, or the next
            # writes would join it and never be stored.
            if self._conn.in_transaction:
                try:
                    self._conn.execute("ROLLBACK")
                except sqlite3.Error:
                    pass  # the first error tells what happened; SQLite has rolled back itself
            self._lose(self._committed, error)

    def _flush(self) -> None:
        self._scheduled = None
        if self._open:
            self._commit()
        target = self._committed
        try:
            self._sync()
        except OSError as exc:
            self._failure = exc
        else:
            self._flushed = target
        self._flushed_at = time.monotonic()
        waiters, self._waiters = self._waiters, []
        for wanted, written, future in waiters:
            if future.done():
                continue
            if self._failure is not None:
                future.set_exception(self._failed())
            elif (loss := self._loss(written)) is not None:
                future.set_exception(loss)
            elif wanted <= self._flushed:
                future.set_result(None)
            else:  # cannot happen: commits are made on this same thread
                self._waiters.append((wanted, written, future))

    def _failed(self) -> OSError:
        failure = self._failure
        return OSError(failure.errno, f"the write-ahead log could not be flushed: {failure.strerror}")

    def _sync(self) -> None:
        try:
            descriptor = os.open(self._log_path, os.O_RDONLY)
        except FileNotFoundError:
            return  # no log: every commit is already in the database file
        try:
            os.fsync(descriptor)
        finally:
            os.close(descriptor)


def _lost_error(cause: sqlite3.Error) -> sqlite3.Error:
    """What a write whose shared transaction was not committed raises: the failure's own kind (a full
    disk, storage that takes no writes), so that it is answered as that failure."""
    error = type(cause)(f"the write was not stored: {cause}")
    for name in ("sqlite_errorcode", "sqlite_errorname"):
        if hasattr(cause, name):
            setattr(error, name, getattr(cause, name))
    return error


class _Rows:
    """A PostgreSQL statement's answer, read whole before its connection goes back to the pool."""

    __slots__ = ("_rows", "_next", "rowcount")

    def __init__(self, cursor: psycopg.Cursor):
        self._rows = cursor.fetchall() if cursor.description is not None else []
        self._next = 0
        self.rowcount = cursor.rowcount

    def fetchone(self):
        if self._next >= len(self._rows):
            return None
        self._next += 1
        return self._rows[self._next - 1]

    def fetchmany(self, size: int) -> list:
        rows = self._rows[self._next:self._next + size]
        self._next += len(rows)
        return rows

    def fetchall(self) -> list:
        rows = self._rows[self._next:]
        self._next = len(self._rows)
        return rows

    def __iter__(self):
        return iter(self.fetchall())


@functools.lru_cache(maxsize=256)
def _row_class(names: tuple[str, ...]) -> type:
    """Rows that read like sqlite3.Row: by position, by column name, and `dict(row)`."""
    index = {name: i for i, name in enumerate(names)}

    class Row(tuple):
        __slots__ = ()

        def __getitem__(self, key):
            return tuple.__getitem__(self, index[key] if isinstance(key, str) else key)

        def keys(self) -> tuple[str, ...]:
            return names

    return Row


def _rows_like_sqlite(cursor: psycopg.Cursor):
    description = cursor.description
    if description is None:
        return tuple
    return _row_class(tuple(column.name for column in description))


@functools.lru_cache(maxsize=2048)
def _postgres_sql(sql: str) -> str:
    """The store's statements use SQLite's ? placeholders; psycopg's are %s (and a literal % is %%)."""
    return sql.replace("%", "%%").replace("?", "%s")


def _without_nul(parameters) -> tuple:
    """PostgreSQL's text cannot hold NUL, which SQLite's can: text that arrives with one (a deny reason,
    a tool name, an id that is looked up) has it replaced by U+FFFD, the replacement character, rather
    than failing the request. Ids and names are made or checked by the service and never hold either,
    so a lookup with one still finds nothing."""
    return tuple(value.replace("\x00", "\ufffd") if type(value) is str else value for value in parameters)


# The one lock every PostgreSQL transaction takes first (see the module's notes).
_WRITE_LOCK = 0x7A656C75


class _Postgres:
    """A pool of connections; a transaction holds one connection on its thread until it ends."""

    def __init__(self, url: str, *, max_connections: int = 20):
        from psycopg_pool import ConnectionPool

        conninfo = url.replace("postgresql+psycopg://", "postgresql://", 1)
        self.pool = ConnectionPool(
            conninfo, min_size=1, max_size=max_connections, timeout=5, open=False, name="zelto-localcloud",
            kwargs={"autocommit": True, "row_factory": _rows_like_sqlite, "connect_timeout": 3},
            # A connection that the server dropped (a restart) is replaced before it is handed out.
            check=ConnectionPool.check_connection,
        )
        self.pool.open(wait=True, timeout=15)
        self._local = threading.local()

    def execute(self, sql: str, parameters=()) -> _Rows:
        sql = _postgres_sql(sql)
        if any(type(value) is str and "\x00" in value for value in parameters):
            parameters = _without_nul(parameters)
        connection = getattr(self._local, "connection", None)
        if connection is not None:
            return _Rows(connection.execute(sql, parameters))
        with self.pool.connection() as connection:
            return _Rows(connection.execute(sql, parameters))

    @property
    def in_transaction(self) -> bool:
        return getattr(self._local, "transaction", False)

    @contextlib.contextmanager
    def session(self) -> Iterator[None]:
        """Keeps one connection on this thread for a while (a request's store work): one checkout, and one
        check of the connection, for all its statements."""
        if getattr(self._local, "connection", None) is not None:
            yield
            return
        with self.pool.connection() as connection:
            self._local.connection = connection
            try:
                yield
            finally:
                self._local.connection = None

    @contextlib.contextmanager
    def transaction(self) -> Iterator[None]:
        if self.in_transaction:
            yield  # nested use joins the open transaction
            return
        with self.session():
            connection = self._local.connection
            self._local.transaction = True
            try:
                with connection.transaction():
                    connection.execute("SELECT pg_advisory_xact_lock(%s)", (_WRITE_LOCK,))
                    yield
            finally:
                self._local.transaction = False

    def close(self) -> None:
        self.pool.close()


class Store:
    """Owns the database. On SQLite one connection, which the server calls from its event-loop thread only;
    on PostgreSQL a pool, which any thread may call."""

    def __init__(self, data_dir: Path, database: str | None = None):
        data_dir.mkdir(parents=True, exist_ok=True, mode=0o700)
        self._flusher: _LogFlusher | None = None
        self._tables_made: set[tuple[str, ...]] = set()
        self._quota_hours_pruned = 0  # the hour in which hours long past were last dropped from quota_usage
        self.url = database_url(database)
        if self.url is not None:
            self.path = None
            self.dialect = "postgresql"
            self._postgres: _Postgres | None = _Postgres(self.url)
            self.execute = self._postgres.execute
            try:
                self._upgrade_schema()
            except BaseException:
                self._postgres.close()
                raise
            return
        self.dialect = "sqlite"
        self._postgres = None
        self.path = data_dir / DATABASE_NAME
        # Autocommit mode: transactions are opened explicitly by `transaction()`.
        self._conn = sqlite3.connect(self.path, isolation_level=None, check_same_thread=False)
        self._conn.row_factory = sqlite3.Row
        self.execute = self._conn.execute
        # It holds the approvers' private seeds; SQLite gives its WAL files the same mode.
        os.chmod(self.path, 0o600)
        self._configure()
        self._create_schema()

    def _configure(self) -> None:
        mode = self._conn.execute("PRAGMA journal_mode=WAL").fetchone()[0]
        if mode.lower() != "wal":
            raise RuntimeError(f"SQLite refused WAL mode for {self.path} (got {mode})")
        self._conn.execute("PRAGMA synchronous=FULL")
        self._conn.execute("PRAGMA foreign_keys=ON")
        # Another process (the connect-token command) may hold the write lock briefly.
        self._conn.execute("PRAGMA busy_timeout=5000")
        self._conn.execute("PRAGMA cache_size=-32768")
        # Each write of a shared transaction runs in a savepoint, whose journal holds the page as it was
        # before the savepoint for every page the write changes (a create: some 25 pages). Past 64 KiB
        # SQLite moves that journal to a temporary file, made and unlinked per transaction and written a
        # page at a time, which cost a create more than its inserts. It only serves to undo a savepoint;
        # crash recovery never reads it. In memory it lives as long as the transaction.
        self._conn.execute("PRAGMA temp_store=MEMORY")

    def _create_schema(self) -> None:
        version = self._conn.execute("PRAGMA user_version").fetchone()[0]
        if version not in (0, SCHEMA_VERSION):
            raise RuntimeError(
                f"{self.path} was written by another version of zelto-localcloud (schema {version},"
                f" this one reads {SCHEMA_VERSION}); start with a new --data-dir"
            )
        self._upgrade_schema()
        with self.transaction():
            self._create_list_table()
            self._conn.execute(f"PRAGMA user_version={SCHEMA_VERSION}")

    def schema_revision(self) -> str | None:
        """The newest revision of the schema history this database has had (None: none yet)."""
        try:
            row = self.execute("SELECT version_num FROM alembic_version").fetchone()
        except (sqlite3.OperationalError, psycopg.errors.UndefinedTable):
            return None
        return None if row is None else row[0]

    def _upgrade_schema(self) -> None:
        if self.schema_revision() == schema.HEAD:
            return  # the usual start: no need to load the migration tool
        schema.upgrade(schema.sqlalchemy_url(self.url) if self.url else f"sqlite:///{self.path}")

    def _create_list_table(self) -> None:
        # After an older version wrote requests without their list rows.
        self._conn.execute(_FILL_LIST)
        self._fill_shown_calls()

    def _fill_shown_calls(self) -> None:
        """List rows filled in from older requests get their call's summary here: working it out takes
        the decoder and the masking, not SQL."""
        from .display import show_call
        from .paging import SUMMARY_CHARACTERS

        rows = self._conn.execute(
            "SELECT r.seq, r.tool, r.args_canonical_cbor_b64 FROM requests r JOIN request_list l ON l.seq = r.seq"
            " WHERE l.shown_tool = ''"
        ).fetchall()
        for seq, tool, args in rows:
            call = show_call(tool, args)
            self._conn.execute(
                "UPDATE request_list SET summary = ?, shown_tool = ?, hazards = ? WHERE seq = ?",
                (call.summary(SUMMARY_CHARACTERS), call.tool_text, int(bool(call.warnings)), seq),
            )

    def close(self) -> None:
        if self._postgres is not None:
            self._postgres.close()
            return
        if self._flusher is not None:
            self._flusher.stop()
        self._conn.close()

    def group_commits(self) -> None:
        """From now on commits do not wait for the disk; answers wait for `durable()` instead."""
        if self._postgres is not None:
            return  # each commit has reached the server's disk when it returns
        if self._flusher is None:
            # In WAL mode NORMAL syncs only at checkpoints; the flusher syncs the log for the commits.
            self._conn.execute("PRAGMA synchronous=NORMAL")
            self._conn.execute("PRAGMA wal_autocheckpoint=8000")
            self._flusher = _LogFlusher(Path(f"{self.path}-wal"), self._conn)

    async def call(self, function, /, *args, **kwargs):
        """Runs store work for a request handler on the event loop. SQLite's runs right there: one
        connection, a local disk, commits grouped by the loop. PostgreSQL's runs in a worker thread, so
        that the server's round trips, or a server that is down, hold up no other request."""
        if self._postgres is None:
            return function(*args, **kwargs)
        from starlette.concurrency import run_in_threadpool

        return await run_in_threadpool(self._in_session, function, args, kwargs)

    def _in_session(self, function, args, kwargs):
        with self._postgres.session():
            return function(*args, **kwargs)

    def answering(self) -> None:
        """Marks the start of a request's work in this task, for `durable`."""
        if self._flusher is not None:
            self._flusher.answering()

    async def durable(self) -> None:
        """Returns once everything committed so far is on disk (at once when commits are not grouped)."""
        if self._flusher is not None:
            await self._flusher.flushed()

    @contextlib.contextmanager
    def transaction(self, *, alone: bool = False) -> Iterator[None]:
        """A write. `alone`: committed by itself, so that a failure to commit it is raised here (for a
        write that its caller may do without, such as an expiry that a read stores: a failure must not
        fail the read); on the server's loop the shared transaction open so far is committed first."""
        if self._postgres is not None:
            with self._postgres.transaction():
                yield
            return
        if self._flusher is not None and self._flusher.sharing():
            if not alone or self._flusher.writing():
                with self._flusher.write():
                    yield
                return
            self._flusher.commit_now()
            with self._flusher.alone(), self._own_transaction():
                yield
            return
        if self._conn.in_transaction:
            yield  # nested use joins the open transaction
            return
        with self._own_transaction():
            yield

    @contextlib.contextmanager
    def _own_transaction(self) -> Iterator[None]:
        self._conn.execute("BEGIN IMMEDIATE")
        try:
            yield
            # A failed COMMIT (a full disk) leaves the transaction open: it is rolled back below,
            # or the next change would join it and never be stored.
            self._conn.execute("COMMIT")
        except BaseException:
            if self._conn.in_transaction:
                try:
                    self._conn.execute("ROLLBACK")
                except sqlite3.Error:
                    pass  # the first error tells what happened; SQLite has rolled back itself
            raise
        if self._flusher is not None:
            self._flusher.committed()

    def ensure_tables(self, statements: tuple[str, ...]) -> None:
        """Creates the tables of a module that keeps its own, once per store (statements in SQLite's
        words; new tables belong in the schema history instead)."""
        if statements in self._tables_made:
            return
        with self.transaction():
            for statement in statements:
                self.execute(schema.ddl_for(statement, self.dialect))
        self._tables_made.add(statements)

    def execute(self, sql: str, parameters=()):
        """For modules that keep tables of their own (the audit log, the notification outbox). Statements
        are written for SQLite (? placeholders); PostgreSQL gets them translated. (Replaced per instance
        by the connection's or the pool's own.)"""
        raise NotImplementedError

    def journal_mode(self) -> str:
        return self._conn.execute("PRAGMA journal_mode").fetchone()[0]

    # -- requests ---------------------------------------------------------

    def insert_request(self, record: RequestRecord, texts: tuple[str | None, str, str | None] | None = None) -> None:
        """Stores a new request; `texts`: the JSON of its metadata, attestation and list metadata, when
        already made (json_or_none of each)."""
        metadata_json, attestation_json, list_json = texts or (
            json_or_none(record.metadata), json_or_none(record.approval_context_attestation),
            json_or_none(record.list_metadata))
        approver_keys_json = json_or_none(record.approver_keys)
        cursor = self.execute(
            _INSERT_REQUEST,
            (
                record.id, record.tenant, record.status, record.warrant_id, record.tool,
                record.request_hash, record.holder_key, record.args_canonical_cbor_b64,
                attestation_json, metadata_json,
                record.policy_id, record.threshold, approver_keys_json,
                record.ttl_seconds, record.idempotency_key, record.denied_reason,
                record.created_at, record.expires_at, record.resolved_at,
            ),
        )
        record.seq = cursor.fetchall()[0][0]
        self.execute(
            _INSERT_LIST,
            (
                record.seq, record.id, record.tenant, record.status, record.warrant_id, record.tool,
                record.request_hash, record.holder_key, record.policy_id, record.threshold,
                approver_keys_json, record.ttl_seconds, record.idempotency_key,
                record.denied_reason, record.created_at, record.expires_at, record.resolved_at,
                record.summary, list_json, record.stored_bytes, record.shown_tool,
                int(record.hazards),
            ),
        )
        self.execute(
            "INSERT INTO quota_usage (tenant, hour, bytes) VALUES (?, ?, ?)"
            " ON CONFLICT (tenant, hour) DO UPDATE SET bytes = quota_usage.bytes + excluded.bytes",
            (record.tenant, int(record.created_at // 3600), record.stored_bytes),
        )
        if record.status == "pending":
            self.execute(
                "INSERT INTO pending_counts (tenant, pending) VALUES (?, 1)"
                " ON CONFLICT (tenant) DO UPDATE SET pending = pending_counts.pending + 1",
                (record.tenant,),
            )

    def get_request(self, request_id: str) -> RequestRecord | None:
        row = self.execute(
            f"SELECT {_REQUEST_COLUMNS} FROM requests WHERE id = ?", (request_id,)
        ).fetchone()
        if row is None:
            return None
        record = _request_from_row(row)
        record.responses = self._responses_for([request_id])[request_id]
        return record

    def get_requests(self, request_ids: list[str]) -> dict[str, RequestRecord]:
        """The requests of these ids that exist, by id."""
        records: dict[str, RequestRecord] = {}
        for start in range(0, len(request_ids), 500):
            chunk = request_ids[start:start + 500]
            rows = self.execute(
                f"SELECT {_REQUEST_COLUMNS} FROM requests WHERE id IN ({', '.join('?' * len(chunk))})", chunk
            ).fetchall()
            records.update((row["id"], _request_from_row(row)) for row in rows)
        responses = self._responses_for(list(records))
        for request_id, record in records.items():
            record.responses = responses[request_id]
        return records

    def list_requests(
        self, status: str | None, limit: int, tenant: str | None = None, tool_part: str | None = None,
        before: int | None = None,
    ) -> list[RequestRecord]:
        """The newest requests first; `tenant` None means every tenant's; `tool_part` filters tool names;
        `before` starts after that position. Each holds its summary and the list form of its metadata."""
        conditions, values = [], []
        if before is not None:
            conditions.append("seq < ?")
            values.append(before)
        if tool_part:
            conditions.append("instr(lower(tool), ?) > 0")
            values.append(tool_part.lower())
        if tenant is not None:
            conditions.append("tenant = ?")
            values.append(tenant)
        if status is not None:
            conditions.append("status = ?")
            values.append(status)
        where = f" WHERE {' AND '.join(conditions)}" if conditions else ""
        rows = self.execute(
            f"SELECT {_LIST_COLUMNS} FROM request_list{where} ORDER BY seq DESC LIMIT ?", (*values, limit)
        ).fetchall()
        records = [_listed_request_from_row(row) for row in rows]
        responses = self._responses_for([r.id for r in records])
        for record in records:
            record.responses = responses[record.id]
        return records

    def tenant_usage(self, tenant: str, now: float, since: float) -> tuple[int, float | None, int, float | None]:
        """A tenant's pending requests (how many, the soonest expiry) and the bytes of its requests made
        since `since` (how many, the time of the oldest of them)."""
        pending = self.execute(
            "SELECT count(*), min(expires_at) FROM request_list WHERE tenant = ? AND status = 'pending'"
            " AND expires_at > ?", (tenant, now)
        ).fetchone()
        recent = self.execute(
            "SELECT coalesce(sum(stored_bytes), 0), min(created_at) FROM request_list"
            " WHERE tenant = ? AND created_at >= ?", (tenant, since)
        ).fetchone()
        return pending[0], pending[1], int(recent[0]), recent[1]  # PostgreSQL sums to a decimal

    def tenant_load(self, tenant: str, now: float, since: float) -> tuple[int, int]:
        """What `tenant_usage` tells, cheaply and from above: its requests still marked pending (those whose
        time has run out included), and the bytes of its requests made in the hour that holds `since` and
        after (so at least those made since `since`). Reads one row and a day of hourly sums."""
        row = self.execute("SELECT pending FROM pending_counts WHERE tenant = ?", (tenant,)).fetchone()
        recent = self.execute(
            "SELECT coalesce(sum(bytes), 0) FROM quota_usage WHERE tenant = ? AND hour >= ?",
            (tenant, int(since // 3600)),
        ).fetchone()[0]
        hour = int(now // 3600)
        if hour != self._quota_hours_pruned:
            self._quota_hours_pruned = hour
            self.execute("DELETE FROM quota_usage WHERE hour < ?", (int((now - 2 * 86400) // 3600),))
        return (0 if row is None else row[0]), int(recent)

    def overdue_pending_ids(self, now: float) -> list[str]:
        rows = self.execute(
            "SELECT id FROM request_list WHERE status = 'pending' AND expires_at <= ?", (now,)
        ).fetchall()
        return [row["id"] for row in rows]

    def set_status(self, request_id: str, status: str, *, resolved_at: float, denied_reason=None) -> bool:
        """Resolves a pending request; False when it was no longer pending (another process got there first)."""
        resolved = self.execute(
            "UPDATE requests SET status = ?, resolved_at = ?, denied_reason = ? WHERE id = ? AND status = 'pending'"
            " RETURNING tenant",
            (status, resolved_at, denied_reason, request_id),
        ).fetchall()
        if resolved:
            self.execute(
                "UPDATE request_list SET status = ?, resolved_at = ?, denied_reason = ? WHERE id = ?",
                (status, resolved_at, denied_reason, request_id),
            )
            self.execute("UPDATE pending_counts SET pending = pending - 1 WHERE tenant = ?", (resolved[0][0],))
        return bool(resolved)

    def _responses_for(self, request_ids: list[str]) -> dict[str, list[ResponseRecord]]:
        grouped: dict[str, list[ResponseRecord]] = {rid: [] for rid in request_ids}
        # Chunked to stay under SQLite's bound-parameter limit.
        for start in range(0, len(request_ids), 500):
            chunk = request_ids[start:start + 500]
            rows = self.execute(
                f"SELECT {_RESPONSE_COLUMNS} FROM responses WHERE request_id IN"
                f" ({', '.join('?' * len(chunk))}) ORDER BY seq",
                chunk,
            ).fetchall()
            for row in rows:
                grouped[row["request_id"]].append(_response_from_row(row))
        return grouped

    def insert_response(self, response: ResponseRecord) -> None:
        self.execute(
            f"INSERT INTO responses ({_RESPONSE_COLUMNS}) VALUES (?, ?, ?, ?, ?, ?, ?)",
            (
                response.request_id, response.approver, response.approver_key, response.decision,
                response.signed_approval, response.reason, response.created_at,
            ),
        )

    # -- idempotency ------------------------------------------------------

    def request_id_for_idempotency_key(self, tenant: str, key: str) -> str | None:
        row = self.execute(
            "SELECT request_id FROM idempotency_keys WHERE tenant = ? AND key = ?", (tenant, key)
        ).fetchone()
        return None if row is None else row["request_id"]

    def remember_idempotency_key(self, tenant: str, key: str, request_id: str) -> None:
        self.execute(
            "INSERT INTO idempotency_keys (tenant, key, request_id) VALUES (?, ?, ?)", (tenant, key, request_id)
        )

    # -- API keys (only their hashes are stored) --------------------------

    def api_keys(self) -> list[ApiKeyRecord]:
        rows = self.execute("SELECT id, name, created_at FROM api_keys ORDER BY created_at, id")
        return [ApiKeyRecord(**dict(row)) for row in rows]

    def api_key_name(self, key_id: str) -> str | None:
        row = self.execute("SELECT name FROM api_keys WHERE id = ?", (key_id,)).fetchone()
        return None if row is None else row["name"]

    def api_key_id_for_hash(self, key_hash: str) -> str | None:
        row = self.execute("SELECT id FROM api_keys WHERE key_hash = ?", (key_hash,)).fetchone()
        return None if row is None else row["id"]

    def add_api_key(self, key_id: str, key_hash: str, name: str, now: float) -> None:
        self.execute(
            "INSERT INTO api_keys (id, key_hash, name, created_at) VALUES (?, ?, ?, ?)"
            " ON CONFLICT DO NOTHING",
            (key_id, key_hash, name, now),
        )

    def remove_api_keys(self, reference: str) -> int:
        """Removes the keys whose id or name is `reference`; answers how many."""
        cursor = self.execute("DELETE FROM api_keys WHERE id = ? OR name = ?", (reference, reference))
        return cursor.rowcount

    # -- approvers and their sessions -------------------------------------

    _APPROVER_COLUMNS = "name, seed, public_key, password_hash, created_at"

    def _approver_from_row(self, row: sqlite3.Row) -> ApproverRecord:
        return ApproverRecord(**{**dict(row), "seed": bytes(row["seed"])})

    def approvers(self) -> list[ApproverRecord]:
        rows = self.execute(f"SELECT {self._APPROVER_COLUMNS} FROM approvers ORDER BY created_at, name")
        return [self._approver_from_row(row) for row in rows]

    def approver(self, name: str) -> ApproverRecord | None:
        row = self.execute(
            f"SELECT {self._APPROVER_COLUMNS} FROM approvers WHERE name = ?", (name,)
        ).fetchone()
        return None if row is None else self._approver_from_row(row)

    def approver_by_key(self, public_key_hex: str) -> ApproverRecord | None:
        row = self.execute(
            f"SELECT {self._APPROVER_COLUMNS} FROM approvers WHERE public_key = ?", (public_key_hex,)
        ).fetchone()
        return None if row is None else self._approver_from_row(row)

    def add_approver(self, record: ApproverRecord) -> None:
        self.execute(
            f"INSERT INTO approvers ({self._APPROVER_COLUMNS}) VALUES (?, ?, ?, ?, ?)",
            (record.name, record.seed, record.public_key, record.password_hash, record.created_at),
        )

    def set_approver_password(self, name: str, password_hash: str) -> bool:
        cursor = self.execute("UPDATE approvers SET password_hash = ? WHERE name = ?", (password_hash, name))
        # A new password ends the sessions opened with the old one.
        self.execute("DELETE FROM sessions WHERE approver = ?", (name,))
        return cursor.rowcount == 1

    def remove_approver(self, name: str) -> bool:
        return self.execute("DELETE FROM approvers WHERE name = ?", (name,)).rowcount == 1

    def add_session(self, token_hash: str, approver: str, form_token: str, now: float, expires_at: float) -> None:
        self.execute(
            "INSERT INTO sessions (token_hash, approver, form_token, created_at, expires_at) VALUES (?, ?, ?, ?, ?)",
            (token_hash, approver, form_token, now, expires_at),
        )

    def session(self, token_hash: str, now: float) -> SessionRecord | None:
        row = self.execute(
            "SELECT approver, form_token, expires_at FROM sessions WHERE token_hash = ? AND expires_at > ?",
            (token_hash, now),
        ).fetchone()
        return None if row is None else SessionRecord(**dict(row))

    def remove_session(self, token_hash: str) -> None:
        self.execute("DELETE FROM sessions WHERE token_hash = ?", (token_hash,))

    def remove_expired_sessions(self, now: float) -> None:
        self.execute("DELETE FROM sessions WHERE expires_at <= ?", (now,))

    # -- settings -----------------------------------------------------------

    def setting(self, name: str) -> str | None:
        row = self.execute("SELECT value FROM settings WHERE name = ?", (name,)).fetchone()
        return None if row is None else row["value"]

    def set_setting(self, name: str, value: str) -> None:
        self.execute(
            "INSERT INTO settings (name, value) VALUES (?, ?)"
            " ON CONFLICT (name) DO UPDATE SET value = excluded.value",
            (name, value),
        )

    # -- connect tokens and receipts --------------------------------------

    def add_connect_token(self, record: ConnectTokenRecord) -> None:
        self.execute(
            "INSERT INTO connect_tokens (token_hash, agent_id, created_at, expires_at, api_key_id,"
            " public_key, claimed_at) VALUES (?, ?, ?, ?, ?, ?, ?)",
            (
                record.token_hash, record.agent_id, record.created_at, record.expires_at,
                record.api_key_id, record.public_key, record.claimed_at,
            ),
        )

    def connect_token(self, token_hash: str) -> ConnectTokenRecord | None:
        row = self.execute(
            "SELECT token_hash, agent_id, created_at, expires_at, api_key_id, public_key, claimed_at"
            " FROM connect_tokens WHERE token_hash = ?",
            (token_hash,),
        ).fetchone()
        return None if row is None else ConnectTokenRecord(**dict(row))

    def set_connect_api_key(self, token_hash: str, api_key_id: str) -> None:
        self.execute(
            "UPDATE connect_tokens SET api_key_id = ? WHERE token_hash = ?", (api_key_id, token_hash)
        )

    def claim_connect_token(self, token_hash: str, public_key_hex: str, now: float) -> bool:
        """Binds the key to an unclaimed token; False when the token was claimed already."""
        return self.execute(
            "UPDATE connect_tokens SET public_key = ?, claimed_at = ? WHERE token_hash = ? AND public_key IS NULL",
            (public_key_hex, now, token_hash),
        ).rowcount == 1

    def add_receipt(self, receipt_id: str, tenant: str, body: dict, now: float) -> None:
        self.execute(
            "INSERT INTO receipts (id, tenant, body_json, created_at) VALUES (?, ?, ?, ?)",
            (receipt_id, tenant, json_or_none(body), now),
        )

    def receipt_count(self) -> int:
        return self.execute("SELECT count(*) FROM receipts").fetchone()[0]
