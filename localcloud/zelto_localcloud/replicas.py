"""What several server processes on one database must share, kept in that database.

Every server process (a replica) answers the same API and dashboard. What one
of them learns that the others need is written to the database: when an agent
last read a request (so a dashboard on any replica can tell whether an agent
still waits), and the wrong passwords of sign-ins (so guessing is throttled
across all replicas, not once per replica). Sessions, form tokens, idempotency
keys, connect tokens and the notification outbox live there already; the
writes that two replicas could race on are made conditional where they are
made (see service.py, connect.py, notify.py).
"""

from __future__ import annotations

import asyncio
import json
import logging
import sqlite3
import threading
import time

from .credentials import FAILURE_MEMORY_SECONDS, SignInGuard
from .store import Store, storage_failure

logger = logging.getLogger("zelto_localcloud")

# An agent's reads are written at most this often per request and replica: a poll is not worth a write,
# and the dashboard's notions of a waiting agent (30 s) and an abandoned request (minutes) are coarse.
POLL_WRITE_SECONDS = 5.0

def unique_violation(error: BaseException) -> bool:
    """Whether a failed write broke a unique constraint (another replica stored the same key first)."""
    if isinstance(error, sqlite3.IntegrityError):
        return "UNIQUE" in str(error) or "PRIMARY KEY" in str(error)
    code = getattr(getattr(error, "orig", error), "sqlstate", None) or getattr(error, "pgcode", None)
    return code == "23505"


class PollLog:
    """When an agent last read each request, shared by the replicas.

    A read is kept in memory at once and written to the database with the
    others due, in one transaction, at most every POLL_WRITE_SECONDS per
    request; a lookup answers the later of this replica's memory and the
    database.
    """

    def __init__(self, store: Store, clock=time.time):
        self._store = store
        self._clock = clock
        self._seen: dict[str, float] = {}  # this replica's latest read of each request
        self._written: dict[str, float] = {}  # what it last wrote of each
        self._due: dict[str, float] = {}
        self._last_flush = 0.0
        self._flushing = False
        self._lock = threading.Lock()  # the due reads, taken by a flush in a worker thread

    def note(self, request_id: str, now: float) -> None:
        if len(self._seen) > 100_000:
            self._seen.clear()
            self._written.clear()
        self._seen[request_id] = now
        if now - self._written.get(request_id, 0.0) >= POLL_WRITE_SECONDS:
            with self._lock:
                self._due[request_id] = now
        if not self._due or self._clock() - self._last_flush < 1.0 or self._flushing:
            return
        self._flushing, self._last_flush = True, self._clock()
        if self._store.dialect == "sqlite":
            self._flush_quietly()  # on the event loop, as all of SQLite's work
        else:
            asyncio.get_running_loop().run_in_executor(None, self._flush_quietly)

    def _flush_quietly(self) -> None:
        try:
            self.flush()
        except Exception as error:
            if storage_failure(error) is None:
                logger.exception("the agents' last reads could not be written")
            # A full, failing or unreachable database fails no read: the reads are written later.
        finally:
            self._flushing = False

    def flush(self) -> None:
        with self._lock:
            due, self._due = self._due, {}
        self._last_flush = self._clock()
        if not due:
            return
        try:
            with self._store.transaction(alone=True):
                for request_id, at in due.items():
                    self._store.execute(
                        "INSERT INTO agent_polls (request_id, at) VALUES (?, ?) ON CONFLICT (request_id)"
                        " DO UPDATE SET at = excluded.at WHERE excluded.at > agent_polls.at",
                        (request_id, at),
                    )
        except Exception:
            with self._lock:
                self._due = due | self._due  # written with the next ones
            raise
        self._written.update(due)

    def get(self, request_id: str, default: float | None = None) -> float | None:
        row = self._store.execute("SELECT at FROM agent_polls WHERE request_id = ?", (request_id,)).fetchone()
        known = [at for at in (self._seen.get(request_id), None if row is None else row[0]) if at is not None]
        return max(known) if known else default


class SharedSignInGuard(SignInGuard):
    """The sign-in throttle with its failures kept in the database, so every replica counts them all.

    Times are wall-clock: the replicas may run on several machines.
    """

    def __init__(self, store: Store, clock=time.time):
        super().__init__(clock=clock)
        self._store = store

    def reserve(self, name: str, address: str) -> float:
        with self._store.transaction():  # the check and the counting together
            return super().reserve(name, address)

    def release(self, name: str, address: str, right: bool | None, credential: bytes = b"") -> None:
        with self._store.transaction():
            super().release(name, address, right, credential)

    def _kind(self, table) -> str:
        return "pair" if table is self._by_pair else "address"

    @staticmethod
    def _key_text(key) -> str:
        return json.dumps(list(key) if isinstance(key, tuple) else key)

    def _recent(self, table, key, now: float) -> list[float]:
        rows = self._store.execute(
            "SELECT at FROM sign_in_failures WHERE kind = ? AND key = ? AND at > ? ORDER BY at, seq",
            (self._kind(table), self._key_text(key), now - FAILURE_MEMORY_SECONDS),
        ).fetchall()
        return [row[0] for row in rows]

    def _add(self, table, key, now: float) -> None:
        with self._store.transaction():
            self._store.execute("DELETE FROM sign_in_failures WHERE at <= ?", (now - FAILURE_MEMORY_SECONDS,))
            self._store.execute("INSERT INTO sign_in_failures (kind, key, at) VALUES (?, ?, ?)",
                                (self._kind(table), self._key_text(key), now))

    def _forget(self, table, key) -> None:
        kind, text = self._kind(table), self._key_text(key)
        # Checked first: a remembered credential forgets its failures on every call, and there are rarely any.
        if self._store.execute("SELECT 1 FROM sign_in_failures WHERE kind = ? AND key = ? LIMIT 1",
                               (kind, text)).fetchone() is None:
            return
        with self._store.transaction():
            self._store.execute("DELETE FROM sign_in_failures WHERE kind = ? AND key = ?", (kind, text))

    def _drop_latest(self, table, key) -> None:
        kind, text = self._kind(table), self._key_text(key)
        with self._store.transaction():
            self._store.execute(
                "DELETE FROM sign_in_failures WHERE seq = (SELECT max(seq) FROM sign_in_failures"
                " WHERE kind = ? AND key = ?)", (kind, text),
            )
