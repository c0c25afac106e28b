"""The HTTP server: uvicorn's HTTP/1.1 protocol with deadlines for slow clients."""

from __future__ import annotations

import asyncio
import os
import signal
import threading
from pathlib import Path

import h11
import uvicorn
from uvicorn.protocols.http.h11_impl import H11Protocol

from .config import ServerConfig

MAX_HEADER_BYTES = 16 * 1024
SHUTDOWN_GRACE = 5.0  # seconds from SIGTERM (or Ctrl-C) to the end of the process, whatever runs
_DRAIN_SECONDS = SHUTDOWN_GRACE - 1.0  # what uvicorn gives the requests in progress to finish


class DeadlineH11Protocol(H11Protocol):
    """Gives every request's headers a deadline.

    uvicorn closes a keep-alive connection after an idle spell between
    requests, but a client that connects and says nothing, or sends its
    headers a byte at a time, would hold its connection (and a place under
    the concurrency limit) for ever. The deadline runs from the connection,
    or from the first byte of a later request, and trickling data does not
    extend it.
    """

    header_timeout: float = 10.0

    def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
        self._header_deadline: asyncio.TimerHandle | None = None
        super().connection_made(transport)
        self._arm_header_deadline()

    def connection_lost(self, exc: Exception | None) -> None:
        self._cancel_header_deadline()
        super().connection_lost(exc)

    def data_received(self, data: bytes) -> None:
        super().data_received(data)
        if self.conn.their_state is not h11.IDLE:
            self._cancel_header_deadline()  # the headers are complete
        elif self._header_deadline is None:
            self._arm_header_deadline()  # a later request has begun

    def _arm_header_deadline(self) -> None:
        self._cancel_header_deadline()
        self._header_deadline = self.loop.call_later(self.header_timeout, self._headers_too_late)

    def _cancel_header_deadline(self) -> None:
        if self._header_deadline is not None:
            self._header_deadline.cancel()
            self._header_deadline = None

    def _headers_too_late(self) -> None:
        self._header_deadline = None
        if self.conn.their_state is h11.IDLE and not self.transport.is_closing():
            self.transport.close()


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
    protocol = type("DeadlineH11Protocol", (DeadlineH11Protocol,), {"header_timeout": config.header_timeout})
    return QuietServer(
        uvicorn.Config(
            app,
            http=protocol,
            ws="none",
            lifespan="off",
            access_log=config.access_log,
            log_level="info",
            timeout_graceful_shutdown=_DRAIN_SECONDS,
            timeout_keep_alive=config.idle_timeout,  # type: ignore[arg-type]
            limit_concurrency=config.max_concurrency,
            h11_max_incomplete_event_size=MAX_HEADER_BYTES,
        )
    )
