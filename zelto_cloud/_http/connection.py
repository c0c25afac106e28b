"""The blocking client's own HTTP/1.1 connections, each read and write within the call's deadline.

A status read is a small request and a small answer on a kept-alive
connection; a general-purpose HTTP stack spends several times the CPU of the
exchange itself on it (events, state machines, per-call objects). These
connections speak exactly what the client needs: one request at a time, an
answer framed by Content-Length, chunks or the close of the connection, and
the same httpx exceptions that the rest of the client reads.
"""

from __future__ import annotations

import select
import socket
import ssl
import threading
import time

import httpx

from .deadlines import current, seconds_left
from .wire import Head, parse_head, request_head

MAX_IN_FLIGHT = 64  # exchanges at once per pool
MAX_IDLE = 32  # connections kept alive per pool
KEEPALIVE_SECONDS = 4.0
_CHUNK = 65536


class Connection:
    """One socket to the pool's origin, with what was read past the last answer."""

    __slots__ = ("sock", "buffer", "idle_since")

    def __init__(self, sock: socket.socket) -> None:
        self.sock = sock
        self.buffer = b""
        self.idle_since = 0.0

    def close(self) -> None:
        try:
            self.sock.close()
        except OSError:
            pass

    def write(self, data: bytes) -> None:
        try:
            self.sock.settimeout(seconds_left(httpx.WriteTimeout))
            self.sock.sendall(data)
        except TimeoutError as exc:
            raise httpx.WriteTimeout(str(exc) or "timed out") from exc
        except OSError as exc:
            raise httpx.WriteError(str(exc)) from exc

    def read(self) -> bytes:
        try:
            self.sock.settimeout(seconds_left(httpx.ReadTimeout))
            return self.sock.recv(_CHUNK)
        except TimeoutError as exc:
            raise httpx.ReadTimeout(str(exc) or "timed out") from exc
        except OSError as exc:
            raise httpx.ReadError(str(exc)) from exc

    def still_open(self, now: float) -> bool:
        """Whether an idle connection may carry another request: not expired, and nothing to read
        (what a server sends on an idle connection is its close)."""
        if now - self.idle_since > KEEPALIVE_SECONDS:
            return False
        try:
            poller = select.poll()
            poller.register(self.sock, select.POLLIN)
            return not poller.poll(0)
        except (OSError, ValueError):
            return False


class Response:
    """An answer whose head is read; the body is read with :meth:`read`, and :meth:`close`
    gives the connection back to its pool when the answer was read to its end."""

    __slots__ = ("status_code", "reason_phrase", "headers", "_head", "_pool", "_connection")

    def __init__(self, pool: ConnectionPool, connection: Connection, head: Head) -> None:
        self.status_code, self.reason_phrase, self.headers = head.status_code, head.reason_phrase, head.headers
        self._head, self._connection = head, connection
        self._pool: ConnectionPool | None = pool

    def read(self, limit: int, truncate: bool) -> bytes | None:
        """The body; over ``limit`` bytes, its first ``limit`` bytes when ``truncate``, else None."""
        framing, connection = self._head.framing, self._connection
        content = bytearray()
        data, connection.buffer = connection.buffer, b""
        framing.feed(data, content)
        while not framing.done and len(content) <= limit:
            data = connection.read()
            if not data:
                framing.end(len(content))
                break
            framing.feed(data, content)
        if len(content) > limit:
            return bytes(content[:limit]) if truncate else None
        return bytes(content)

    def close(self) -> None:
        pool, self._pool = self._pool, None
        if pool is None:
            return
        head, connection = self._head, self._connection
        if head.framing.done and not head.framing.overrun and head.reusable and not connection.buffer:
            pool.put_back(connection)
        else:
            connection.close()
        pool.release()


class ConnectionPool:
    """The kept-alive connections to one origin, with at most MAX_IN_FLIGHT exchanges at once; an
    exchange waiting for its turn gives up at its call's deadline."""

    def __init__(self, url: httpx.URL, ssl_context: ssl.SSLContext) -> None:
        self._tls = ssl_context if url.scheme == "https" else None
        self._host = url.raw_host.decode("ascii")
        self._port = url.port or (443 if url.scheme == "https" else 80)
        self._host_header = url.netloc.decode("ascii")
        self._idle: list[Connection] = []
        self._lock = threading.Lock()
        self._gate = threading.BoundedSemaphore(MAX_IN_FLIGHT)
        self._closed = False

    def exchange(self, method: str, target: str, headers: dict[str, str], body: bytes | None) -> Response:
        """Sends one request and reads the head of its answer."""
        request = request_head(method, target, self._host_header, headers, body)
        if body:
            request += body
        deadline = current.get()
        wait = None if deadline is None else max(deadline - time.monotonic(), 0.0)
        if not self._gate.acquire(timeout=wait):
            raise httpx.PoolTimeout("no connection became free before the call's deadline")
        connection = None
        try:
            connection = self._connection()
            connection.write(request)
            return self._answer(connection, method == "HEAD")
        except BaseException:
            if connection is not None:
                connection.close()
            self._gate.release()
            raise

    def _connection(self) -> Connection:
        now = time.monotonic()
        with self._lock:
            while self._idle:
                connection = self._idle.pop()
                if connection.still_open(now):
                    return connection
                connection.close()
        return self._connect()

    def _connect(self) -> Connection:
        try:
            sock = socket.create_connection((self._host, self._port), timeout=seconds_left(httpx.ConnectTimeout))
        except TimeoutError as exc:
            raise httpx.ConnectTimeout(str(exc) or "timed out") from exc
        except OSError as exc:
            raise httpx.ConnectError(str(exc)) from exc
        try:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if self._tls is not None:
                sock.settimeout(seconds_left(httpx.ConnectTimeout))
                sock = self._tls.wrap_socket(sock, server_hostname=self._host)
        except TimeoutError as exc:
            sock.close()
            raise httpx.ConnectTimeout(str(exc) or "timed out") from exc
        except OSError as exc:
            sock.close()
            raise httpx.ConnectError(str(exc)) from exc
        except BaseException:
            sock.close()
            raise
        return Connection(sock)

    def _answer(self, connection: Connection, head_only: bool) -> Response:
        head, buffer = parse_head(connection.buffer, head_only)
        while head is None:
            data = connection.read()
            if not data:
                raise httpx.RemoteProtocolError("Server disconnected without sending a response.")
            head, buffer = parse_head(buffer + data, head_only)
        connection.buffer = buffer
        return Response(self, connection, head)

    def put_back(self, connection: Connection) -> None:
        connection.idle_since = time.monotonic()
        with self._lock:
            if not self._closed and len(self._idle) < MAX_IDLE:
                self._idle.append(connection)
                return
        connection.close()

    def release(self) -> None:
        self._gate.release()

    def close(self) -> None:
        with self._lock:
            self._closed = True
            idle, self._idle = self._idle, []
        for connection in idle:
            connection.close()
