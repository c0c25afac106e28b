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

MAX_IN_FLIGHT = 64  # exchanges at once per pool
MAX_IDLE = 32  # connections kept alive per pool
KEEPALIVE_SECONDS = 4.0
_HEAD_LIMIT = 64 * 1024
_CHUNK = 65536
_NO_BODY_STATUSES = frozenset({204, 304})
_FORBIDDEN_IN_HEADERS = ("\r", "\n", "\0")


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

    __slots__ = ("status_code", "reason_phrase", "headers", "_pool", "_connection", "_length", "_chunked",
                 "_reusable", "_done")

    def __init__(self, pool: ConnectionPool, connection: Connection, status: int, reason: str,
                 headers: dict[str, str], head_only: bool, version: bytes) -> None:
        self.status_code, self.reason_phrase, self.headers = status, reason, headers
        self._pool, self._connection = pool, connection
        self._reusable = version == b"HTTP/1.1" and "close" not in headers.get("connection", "").lower()
        self._chunked = "chunked" in headers.get("transfer-encoding", "").lower()
        self._length: int | None = None
        self._done = head_only
        if not head_only and not self._chunked:
            declared = headers.get("content-length")
            if declared is None:
                self._reusable = False  # the body ends with the connection
            elif declared.strip().isdigit():
                self._length = int(declared)
            else:
                raise httpx.RemoteProtocolError(f"the answer's Content-Length {declared!r} is not a length")

    def read(self, limit: int, truncate: bool) -> bytes | None:
        """The body; over ``limit`` bytes, its first ``limit`` bytes when ``truncate``, else None."""
        if self._done:
            return b""
        if self._chunked:
            content = self._read_chunked(limit)
        else:
            content = self._read_plain(limit)
        if content is None:
            return None
        if len(content) > limit:
            return bytes(content[:limit]) if truncate else None
        self._done = True
        return bytes(content)

    def _read_plain(self, limit: int) -> bytearray:
        connection, length = self._connection, self._length
        content = bytearray(connection.buffer)
        connection.buffer = b""
        while length is None or len(content) < length:
            if len(content) > limit:
                return content
            data = connection.read()
            if not data:
                if length is None:
                    return content
                raise httpx.RemoteProtocolError(
                    "peer closed connection without sending complete message body: "
                    f"received {len(content)} bytes, expected {length}")
            content += data
        if len(content) > length:
            # Anything past the answer is not ours to read: the connection is not used again.
            self._reusable = False
            del content[length:]
        return content

    def _read_chunked(self, limit: int) -> bytearray:
        content = bytearray()
        while True:
            line = self._line()
            size_text = line.split(b";", 1)[0].strip()
            try:
                size = int(size_text, 16)
            except ValueError:
                raise httpx.RemoteProtocolError(f"malformed chunk size {size_text[:20]!r}") from None
            if size == 0:
                while self._line():  # trailers, up to the empty line
                    pass
                return content
            while len(self._connection.buffer) < size + 2:
                self._fill()
            buffer = self._connection.buffer
            content += buffer[:size]
            self._connection.buffer = buffer[size + 2:]
            if len(content) > limit:
                return content

    def _line(self) -> bytes:
        connection = self._connection
        while True:
            end = connection.buffer.find(b"\r\n")
            if end >= 0:
                line, connection.buffer = connection.buffer[:end], connection.buffer[end + 2:]
                return line
            if len(connection.buffer) > _HEAD_LIMIT:
                raise httpx.RemoteProtocolError("a chunk header is too long")
            self._fill()

    def _fill(self) -> None:
        data = self._connection.read()
        if not data:
            raise httpx.RemoteProtocolError("peer closed connection without sending complete message body")
        self._connection.buffer += data

    def close(self) -> None:
        pool, self._pool = self._pool, None
        if pool is None:
            return
        connection = self._connection
        if self._done and self._reusable:
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
        lines = [f"{method} {target} HTTP/1.1", f"Host: {self._host_header}"]
        if body is not None:
            lines.append(f"Content-Length: {len(body)}")
        for name, value in headers.items():
            if any(c in name or c in value for c in _FORBIDDEN_IN_HEADERS) or ":" in name:
                raise httpx.LocalProtocolError(f"Illegal header value {value!r}" if ":" not in name
                                               else f"Illegal header name {name!r}")
            lines.append(f"{name}: {value}")
        lines.append("\r\n")
        request = "\r\n".join(lines).encode("ascii")
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
        while True:
            buffer = connection.buffer
            end = buffer.find(b"\r\n\r\n")
            while end < 0:
                if len(buffer) > _HEAD_LIMIT:
                    raise httpx.RemoteProtocolError("the answer's head is too long")
                data = connection.read()
                if not data:
                    raise httpx.RemoteProtocolError("Server disconnected without sending a response.")
                buffer += data
                end = buffer.find(b"\r\n\r\n", max(len(buffer) - len(data) - 3, 0))
            head, connection.buffer = buffer[:end], buffer[end + 4:]
            lines = head.split(b"\r\n")
            version, _, rest = lines[0].partition(b" ")
            code, _, reason = rest.partition(b" ")
            if not version.startswith(b"HTTP/1.") or len(code) != 3 or not code.isdigit():
                raise httpx.RemoteProtocolError(f"malformed status line {lines[0][:80]!r}")
            status = int(code)
            headers: dict[str, str] = {}
            for line in lines[1:]:
                name, colon, value = line.partition(b":")
                if not colon or not name or name != name.strip():
                    raise httpx.RemoteProtocolError(f"malformed header line {line[:80]!r}")
                key, text = name.decode("latin-1").lower(), value.strip().decode("latin-1")
                headers[key] = f"{headers[key]}, {text}" if key in headers else text
            if 100 <= status < 200 and status != 101:
                continue  # an interim answer: the real one follows
            no_body = head_only or status in _NO_BODY_STATUSES or status < 200
            return Response(self, connection, status, reason.decode("latin-1"), headers, no_body, version)

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
