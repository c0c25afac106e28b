"""The HTTP server: uvicorn's server running the connections of http11 (deadlines for slow clients, room kept
for new clients, no guessing at how a message is framed), a stop that ends within its grace, and one server
per data folder."""

from __future__ import annotations

import os
import signal
import threading
import time
from pathlib import Path

import uvicorn

from .config import ServerConfig
from .http11 import HttpConnection

MAX_HEADER_BYTES = 16 * 1024
SHUTDOWN_GRACE = 5.0  # seconds from SIGTERM (or Ctrl-C) to the end of the process, whatever runs
_DRAIN_SECONDS = SHUTDOWN_GRACE - 1.0  # what uvicorn gives the requests in progress to finish
# A connection counts as idle (and may be closed for a newcomer) once it has waited this long for a
# request: a client that has just connected, or just read an answer, is about to send one.
IDLE_GRACE_SECONDS = 1.0


class ConnectionRoom:
    """Who holds the server's connections, and which of them could be given up.

    At most `total` connections, and `per_address` of them from one client
    address. A new connection past either limit takes the place of an idle
    one (kept alive after its answer, or not yet begun a request, for at
    least IDLE_GRACE_SECONDS): the one idle longest of the address holding
    the most, or, at its address's limit, of its own address. When none is
    idle, the new one is answered 503.
    """

    def __init__(self, total: int, per_address: int):
        self.total = total
        self.per_address = per_address
        self._by_address: dict[str, set[HttpConnection]] = {}
        self._count = 0

    def admit(self, connection: HttpConnection, address: str) -> bool:
        mine = self._by_address.get(address, set())
        if len(mine) >= self.per_address and not self._close_idlest(mine):
            return False
        if self._count >= self.total and not self._close_idlest_anywhere():
            return False
        self._by_address.setdefault(address, set()).add(connection)
        self._count += 1
        return True

    def leave(self, connection: HttpConnection, address: str) -> None:
        mine = self._by_address.get(address)
        if mine is not None and connection in mine:
            mine.discard(connection)
            self._count -= 1
            if not mine:
                del self._by_address[address]

    def _close_idlest_anywhere(self) -> bool:
        for _, connections in sorted(self._by_address.items(), key=lambda item: -len(item[1])):
            if self._close_idlest(connections):
                return True
        return False

    @staticmethod
    def _close_idlest(connections: set[HttpConnection]) -> bool:
        since = time.monotonic() - IDLE_GRACE_SECONDS
        idle = [c for c in connections if c.idle_since is not None and c.idle_since <= since]
        if not idle:
            return False
        min(idle, key=lambda c: c.idle_since).give_up_place()
        return True


def _exit_now(sig: int, frame) -> None:
    os.write(2, f"zelto-localcloud: a request was still running {SHUTDOWN_GRACE:g} s after the stop was"
                f" asked for; stopped without it (what it had not committed is not stored)\n".encode())
    os._exit(1)


class QuietServer(uvicorn.Server):
    """Stops on Ctrl-C or SIGTERM and exits 0: a requested stop is not a failure.

    (uvicorn raises the signal again once it has shut down, which makes a
    SIGTERM end the process with status 143.)

    The stop takes SHUTDOWN_GRACE at most: uvicorn lets the requests in
    progress finish for a while, and a request that keeps the event loop (or
    the interpreter) busy beyond that, such as CPU work in a handler or a
    worker thread, is cut off by an alarm that ends the process (status 1).
    """

    def handle_exit(self, sig: int, frame) -> None:
        super().handle_exit(sig, frame)
        self._captured_signals.clear()
        if threading.current_thread() is threading.main_thread() and signal.getitimer(signal.ITIMER_REAL)[0] == 0:
            # The alarm's handler runs between two steps of whatever holds the interpreter,
            # even when the event loop never gets back to its shutdown.
            signal.signal(signal.SIGALRM, _exit_now)
            signal.setitimer(signal.ITIMER_REAL, SHUTDOWN_GRACE)

    def run(self, *args, **kwargs) -> None:
        try:
            super().run(*args, **kwargs)
        finally:
            if threading.current_thread() is threading.main_thread():
                signal.setitimer(signal.ITIMER_REAL, 0)


class DataFolderLock:
    """One server per data folder: an exclusive lock on a file in it, held while serving."""

    def __init__(self, data_dir: Path):
        self.path = data_dir / "server.lock"
        self._file = None

    def acquire(self) -> str | None:
        """Takes the lock; answers None, or what holds it."""
        handle = open(self.path, "a+")
        try:
            import fcntl
        except ImportError:  # no advisory locks here: run unguarded
            self._file = handle
            return None
        try:
            fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            handle.seek(0)
            holder = handle.read().strip() or "another process"
            handle.close()
            return holder
        handle.seek(0)
        handle.truncate()
        handle.write(f"zelto-localcloud pid {os.getpid()}")
        handle.flush()
        self._file = handle
        return None

    def release(self) -> None:
        if self._file is not None:
            self._file.close()  # closing drops the lock
            self._file = None


def uvicorn_server(app, config: ServerConfig) -> uvicorn.Server:
    # uvicorn answers 503 to a request that arrives while max_concurrency connections are open, its own
    # included: so the room holds one fewer.
    total = max(1, config.max_concurrency - 1)
    room = ConnectionRoom(total, min(config.max_connections_per_address, total))
    protocol = type("HttpConnection", (HttpConnection,),
                    {"header_timeout": config.header_timeout, "room": room})
    return QuietServer(
        uvicorn.Config(
            app,
            http=protocol,
            # libuv's event loop: its turns and socket reads and writes take less of the server's CPU than
            # asyncio's own loop. Its timers count whole milliseconds (the store's flushes allow for that).
            loop="uvloop",
            ws="none",
            lifespan="off",
            access_log=config.access_log,
            log_level="info",
            timeout_graceful_shutdown=_DRAIN_SECONDS,
            timeout_keep_alive=config.idle_timeout,  # type: ignore[arg-type]
            limit_concurrency=config.max_concurrency,
            # Clients are who they connect as: no header may rename a client's address (the sign-in
            # throttle and the connection limits go by it) or its scheme (the origin checks).
            proxy_headers=False,
            h11_max_incomplete_event_size=MAX_HEADER_BYTES,
        )
    )
