"""The HTTP server: uvicorn's HTTP/1.1 protocol with deadlines for slow clients,
room kept for new clients, and no guessing at how a message is framed."""

from __future__ import annotations

import asyncio
import os
import signal
import threading
import time
from pathlib import Path

import h11
import uvicorn
from uvicorn.protocols.http.h11_impl import H11Protocol

from .config import ServerConfig

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
        self._by_address: dict[str, set[DeadlineH11Protocol]] = {}
        self._count = 0

    def admit(self, connection: DeadlineH11Protocol, address: str) -> bool:
        mine = self._by_address.get(address, set())
        if len(mine) >= self.per_address and not self._close_idlest(mine):
            return False
        if self._count >= self.total and not self._close_idlest_anywhere():
            return False
        self._by_address.setdefault(address, set()).add(connection)
        self._count += 1
        return True

    def leave(self, connection: DeadlineH11Protocol, address: str) -> None:
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
    def _close_idlest(connections: set[DeadlineH11Protocol]) -> bool:
        since = time.monotonic() - IDLE_GRACE_SECONDS
        idle = [c for c in connections if c.idle_since is not None and c.idle_since <= since]
        if not idle:
            return False
        min(idle, key=lambda c: c.idle_since).give_up_place()
        return True


async def _busy(scope, receive, send) -> None:
    body = b'{"error":{"code":"unavailable","message":"too many connections; try again in a moment"}}'
    await send({"type": "http.response.start", "status": 503, "headers": [
        (b"content-type", b"application/json"), (b"content-length", str(len(body)).encode()),
        (b"connection", b"close"), (b"retry-after", b"1"),
    ]})
    await send({"type": "http.response.body", "body": body})


def framing_problem(headers) -> str | None:
    """Why a request's length cannot be told for sure (h11 has checked the rest), or None."""
    names = [name.lower() for name, _ in headers]
    if b"transfer-encoding" in names and b"content-length" in names:
        return "the request has both Content-Length and Transfer-Encoding"
    if names.count(b"transfer-encoding") > 1 or names.count(b"content-length") > 1:
        return "the request repeats its Content-Length or Transfer-Encoding header"
    return None


# A write up to this size is held back for the rest of the loop's turn, to go out with the next one.
_HELD_BYTES = 16 * 1024


class JoinedWrites:
    """A connection's transport whose small writes go out together: an answer's status line and headers
    leave in one send with its body, not in a packet of their own.

    A small write is held until the next write, the connection's closing, or the end of the event loop's
    turn, whichever comes first; nothing waits longer than that. The rest of the transport is the
    connection's own.
    """

    __slots__ = ("_transport", "_loop", "_held", "_release")

    def __init__(self, transport: asyncio.Transport, loop: asyncio.AbstractEventLoop):
        self._transport = transport
        self._loop = loop
        self._held: bytes | None = None
        self._release: asyncio.Handle | None = None

    def write(self, data: bytes) -> None:
        if not data:
            return
        held = self._held
        if held is not None:
            self._held = None
            self._transport.write(held + data)
        elif len(data) <= _HELD_BYTES and not self._transport.is_closing():
            self._held = bytes(data)
            if self._release is None:
                self._release = self._loop.call_soon(self._send_held)
        else:
            self._transport.write(data)

    def _send_held(self) -> None:
        self._release = None
        self.flush()

    def flush(self) -> None:
        held = self._held
        if held is not None:
            self._held = None
            self._transport.write(held)

    def writelines(self, chunks) -> None:
        self.write(b"".join(chunks))

    def close(self) -> None:
        self.flush()
        self._transport.close()

    def write_eof(self) -> None:
        self.flush()
        self._transport.write_eof()

    def abort(self) -> None:
        self._held = None
        self._transport.abort()

    def get_write_buffer_size(self) -> int:
        return self._transport.get_write_buffer_size() + len(self._held or b"")

    def __getattr__(self, name: str):
        return getattr(self._transport, name)


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
    room: ConnectionRoom | None = None

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        # A request whose length could be read two ways is refused and its connection closed: a proxy in
        # front may have read it the other way, and then what follows it is not a request of the same client.
        next_event = self.conn.next_event

        def checked_next_event():
            event = next_event()
            if isinstance(event, h11.Request):
                problem = framing_problem(event.headers.raw_items())
                if problem is not None:
                    raise h11.RemoteProtocolError(problem, 400)
            return event

        self.conn.next_event = checked_next_event  # type: ignore[method-assign]

    def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
        self._header_deadline: asyncio.TimerHandle | None = None
        # Since when this connection waits for a request (None while one is under way).
        self.idle_since: float | None = time.monotonic()
        peer = transport.get_extra_info("peername")
        self._address = str(peer[0]) if isinstance(peer, tuple) and peer else ""
        self._placed = self.room is None or self.room.admit(self, self._address)
        super().connection_made(transport)
        self.transport = JoinedWrites(transport, self.loop)  # type: ignore[assignment]
        if not self._placed:
            self.idle_since = None
            self.app = _busy  # answered 503 and closed; it holds no place
        self._arm_header_deadline()

    def connection_lost(self, exc: Exception | None) -> None:
        self._cancel_header_deadline()
        self._leave_room()
        super().connection_lost(exc)

    def give_up_place(self) -> None:
        """Closes this idle connection to make room for a new one."""
        self._leave_room()
        self.idle_since = None
        # Nor does it count against uvicorn's limit any more: the loop reports the closing at its next turn,
        # and may read the newcomer's request before that (uvloop polls a new connection in the turn that made it).
        self.connections.discard(self)
        self.transport.close()

    def _leave_room(self) -> None:
        if self._placed and self.room is not None:
            self.room.leave(self, self._address)
            self._placed = False

    def on_response_complete(self) -> None:
        super().on_response_complete()
        if self.conn.their_state is h11.IDLE and not self.transport.is_closing():
            self.idle_since = time.monotonic()

    def data_received(self, data: bytes) -> None:
        if data:
            self.idle_since = None
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
    # uvicorn answers 503 to a request that arrives while max_concurrency connections are open, its own
    # included: so the room holds one fewer.
    total = max(1, config.max_concurrency - 1)
    room = ConnectionRoom(total, min(config.max_connections_per_address, total))
    protocol = type("DeadlineH11Protocol", (DeadlineH11Protocol,),
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
