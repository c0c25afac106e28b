"""The clients' transports: httpx transports over connections of the client's own keeping.

The connections are kept here (not by an httpx transport's own pool), so that the
blocking client's sockets keep the call's deadline on every connect, read and
write, and so that the exchanges in flight are bounded here: at most
MAX_IN_FLIGHT at once per pool, a waiting one giving up at its call's deadline.
HTTP/1.1 itself, the request written and the answer read, is h11's.
"""

from __future__ import annotations

import asyncio
import math
import select
import socket
import ssl
import threading
import time
from typing import Any, AsyncIterator, Iterator

import h11
import httpx

from .deadlines import current, seconds_left

MAX_IN_FLIGHT = 64  # exchanges at once per pool
MAX_IDLE = 32  # connections kept alive per pool
KEEPALIVE_SECONDS = 4.0
UNGATED = "zelto_cloud.ungated"  # an exchange that bounds itself (batch reads) and must not queue behind others


# --- one connection's exchanges, framed and checked by h11 --------------------------------------
#
# Reading and writing HTTP/1.1 (the request line and headers, the answer's head,
# its body's framing, what may follow it on the connection) is h11's alone; the
# code below only moves bytes between h11 and a socket and keeps the connections.

MAX_HEAD_BYTES = 100 * 1024  # the largest answer head read
READ_SIZE = 64 * 1024
_DEFAULT_PORTS = {b"http": 80, b"https": 443}
_DISCONNECTED = "Server disconnected without sending a response."


def _within_deadline(timeout: float | None, expired: type[Exception]) -> float | None:
    left = seconds_left(expired)
    if left is None:
        return timeout
    return left if timeout is None else min(timeout, left)


def _origin(url: httpx.URL) -> tuple[bytes, bytes, int]:
    scheme = url.raw_scheme
    if scheme not in _DEFAULT_PORTS:
        raise httpx.UnsupportedProtocol(f"the client speaks http and https only, not {scheme.decode('ascii', 'replace')!r}")
    return scheme, url.raw_host, url.port or _DEFAULT_PORTS[scheme]


def _timeouts(request: httpx.Request) -> dict[str, float | None]:
    return request.extensions.get("timeout") or {}


HEADS_KEPT = 256  # request heads kept per transport


def _head(request: httpx.Request, heads: dict[tuple, h11.Request]) -> h11.Request:
    """The request's head as an h11 event, checked by h11. Events are immutable, so one is kept (in
    ``heads``, the transport's) for a request sent again unchanged (a status read polled for), and
    not checked again."""
    key = (request.method, request.url.raw_path, *request.headers.raw)
    head = heads.get(key)
    if head is None:
        try:
            head = h11.Request(method=key[0], target=key[1], headers=key[2:])
        except h11.LocalProtocolError as exc:
            raise httpx.LocalProtocolError(str(exc)) from exc
        if len(heads) >= HEADS_KEPT:
            heads.clear()
        heads[key] = head
    return head


_END = h11.EndOfMessage()  # events are immutable: one serves every request


def _request_bytes(protocol: h11.Connection, request: httpx.Request, heads: dict) -> bytes:
    """The request as h11 writes it: head, body, end; one buffer, sent at once."""
    try:
        data = protocol.send(_head(request, heads))
        for chunk in request.stream:  # type: ignore[union-attr]
            if chunk:
                data += protocol.send(h11.Data(data=chunk))
        return data + protocol.send(_END)
    except h11.LocalProtocolError as exc:
        raise httpx.LocalProtocolError(str(exc)) from exc


async def _request_bytes_async(protocol: h11.Connection, request: httpx.Request, heads: dict) -> bytes:
    try:
        data = protocol.send(_head(request, heads))
        async for chunk in request.stream:  # type: ignore[union-attr]
            if chunk:
                data += protocol.send(h11.Data(data=chunk))
        return data + protocol.send(_END)
    except h11.LocalProtocolError as exc:
        raise httpx.LocalProtocolError(str(exc)) from exc


def _next_event(protocol: h11.Connection) -> Any:
    try:
        return protocol.next_event()
    except h11.RemoteProtocolError as exc:
        raise httpx.RemoteProtocolError(str(exc)) from exc


def _headers_as_parsed(headers: Any) -> httpx.Headers:
    """An answer's headers as httpx.Headers, taken over as h11 parsed them (raw name, lower-case
    name, value: the layout httpx keeps too) rather than normalised again, header by header."""
    parsed = httpx.Headers.__new__(httpx.Headers)
    parsed._list = headers._full_items
    parsed._encoding = None  # worked out by httpx when first asked for (few answers ever are)
    return parsed


def _can_take_parsed_headers() -> bool:
    """Whether this httpx keeps its headers as h11 does: else they are handed over as pairs."""
    try:
        head = h11.Response(status_code=200, headers=[("Content-Type", "a/b")])
        parsed = _headers_as_parsed(head.headers)
        return parsed.raw == [(b"Content-Type", b"a/b")] and parsed["content-type"] == "a/b" and parsed.encoding == "ascii"
    except Exception:
        return False


_TAKE_PARSED_HEADERS = _can_take_parsed_headers()


_VERSIONS = {b"1.1": b"HTTP/1.1", b"1.0": b"HTTP/1.0"}


def _response(request: httpx.Request, head: Any, stream: Any) -> httpx.Response:
    if type(head) is not h11.Response:  # h11 gives nothing else before an answer's head to a plain request
        raise httpx.RemoteProtocolError(f"expected an answer's head, not {type(head).__name__}")
    version = head.http_version
    extensions = {"http_version": _VERSIONS.get(version) or b"HTTP/" + version, "reason_phrase": head.reason}
    if not _TAKE_PARSED_HEADERS:
        return httpx.Response(head.status_code, headers=head.headers.raw_items(), stream=stream, request=request,
                              extensions=extensions)
    headers = _headers_as_parsed(head.headers)
    response = httpx.Response(head.status_code, headers=headers, stream=stream, request=request, extensions=extensions)
    response.headers = headers  # as parsed, with its encoding (httpx.Response kept a copy without)
    return response


def _reusable(protocol: h11.Connection) -> bool:
    """Whether the exchange ended cleanly and nothing came after the answer: the next request may
    then start on this connection."""
    if protocol.our_state is not h11.DONE or protocol.their_state is not h11.DONE:
        return False
    if protocol.trailing_data[0]:
        return False  # bytes past the answer's end: the connection is out of step
    protocol.start_next_cycle()
    return True


def _pool_timeout() -> httpx.PoolTimeout:
    return httpx.PoolTimeout("no connection became free before the call's deadline")


# --- blocking ------------------------------------------------------------------------------------
#
# Sockets stay non-blocking; a read or write that cannot go on at once waits in
# poll() for at most what is left of the call's deadline (and the request's own
# timeout), so no socket call blocks past it and none changes the socket's mode.


class _Connection:
    __slots__ = ("origin", "sock", "fd", "protocol", "poller", "idle_since", "tls")

    def __init__(self, origin: tuple[bytes, bytes, int], sock: socket.socket) -> None:
        self.origin, self.sock, self.fd = origin, sock, sock.fileno()
        self.protocol = h11.Connection(h11.CLIENT, max_incomplete_event_size=MAX_HEAD_BYTES)
        self.poller = select.poll()
        self.idle_since = 0.0
        self.tls = isinstance(sock, ssl.SSLSocket)

    def wait(self, events: int, timeout: float | None, expired: type[Exception]) -> None:
        deadline = current.get()  # _within_deadline, written out: this runs once or twice a call
        if deadline is not None:
            left = deadline - time.monotonic()
            if left <= 0:
                raise expired("the call's deadline has passed")
            timeout = left if timeout is None or left < timeout else timeout
        self.poller.register(self.fd, events)
        if not self.poller.poll(None if timeout is None else math.ceil(timeout * 1000)):
            raise expired("timed out")

    def send(self, data: bytes, timeout: float | None) -> None:
        sock = self.sock
        try:
            sent = sock.send(data)  # a request fits the socket's buffer: one call, no copy
            if sent < len(data):
                self._send_rest(memoryview(data)[sent:], timeout)
        except (BlockingIOError, ssl.SSLWantWriteError, ssl.SSLWantReadError):
            self._send_rest(memoryview(data), timeout)
        except OSError as exc:
            raise httpx.WriteError(str(exc) or type(exc).__name__) from exc

    def _send_rest(self, view: memoryview, timeout: float | None) -> None:
        try:
            while view:
                try:
                    view = view[self.sock.send(view):]
                except (BlockingIOError, ssl.SSLWantWriteError):
                    self.wait(select.POLLOUT, timeout, httpx.WriteTimeout)
                except ssl.SSLWantReadError:
                    self.wait(select.POLLIN, timeout, httpx.WriteTimeout)
        except OSError as exc:
            raise httpx.WriteError(str(exc) or type(exc).__name__) from exc

    def receive(self, timeout: float | None) -> None:
        """Hands h11 what the socket has next (b"" at its end), waiting for it within the deadline.

        The wait comes first even when the data may be there already: poll() then returns at
        once, while a read that finds nothing costs an exception (and its error message)."""
        sock = self.sock
        try:
            if not (self.tls and sock.pending()):
                self.wait(select.POLLIN, timeout, httpx.ReadTimeout)
            while True:
                try:
                    data = sock.recv(READ_SIZE)
                    break
                except (BlockingIOError, ssl.SSLWantReadError):
                    self.wait(select.POLLIN, timeout, httpx.ReadTimeout)
                except ssl.SSLWantWriteError:
                    self.wait(select.POLLOUT, timeout, httpx.ReadTimeout)
        except OSError as exc:
            raise httpx.ReadError(str(exc) or type(exc).__name__) from exc
        if not data and self.protocol.their_state is h11.SEND_RESPONSE:
            raise httpx.RemoteProtocolError(_DISCONNECTED)
        self.protocol.receive_data(data)

    def next_event(self, timeout: float | None) -> Any:
        protocol = self.protocol
        while True:
            try:
                event = protocol.next_event()
            except h11.RemoteProtocolError as exc:
                raise httpx.RemoteProtocolError(str(exc)) from exc
            if event is not h11.NEED_DATA:
                return event
            self.receive(timeout)

    def answer_head(self, timeout: float | None) -> Any:
        """The answer's head, after the interim ones. h11 holds nothing yet (a connection is
        reused only with nothing past its last answer), so the socket is waited on at once."""
        self.receive(timeout)
        head = self.next_event(timeout)
        while type(head) is h11.InformationalResponse:
            head = self.next_event(timeout)
        return head

    def stale(self) -> bool:
        """An idle connection with anything to read has been closed by the server (or is out of step)."""
        sock = self.sock
        if self.tls and sock.pending():
            return True
        try:
            self.poller.register(self.fd, select.POLLIN)
            return bool(self.poller.poll(0))  # POLLNVAL too, for a socket closed meanwhile
        except (OSError, ValueError):
            return True

    def close(self) -> None:
        try:
            self.sock.close()
        except OSError:
            pass


class _Body(httpx.SyncByteStream):
    """An answer's body read off its connection; closing it hands the connection back (when the
    answer was read to its end and the connection may carry another) and frees its place."""

    def __init__(self, transport: Transport, connection: _Connection, timeout: float | None) -> None:
        self._transport, self._connection, self._timeout = transport, connection, timeout
        self._done = False

    def __iter__(self) -> Iterator[bytes]:
        connection = self._connection
        if connection is None:
            return
        while True:
            event = connection.next_event(self._timeout)
            kind = type(event)
            if kind is h11.Data:
                yield bytes(event.data)
            elif kind is h11.EndOfMessage:
                self._done = True
                return

    def close(self) -> None:
        connection, self._connection = self._connection, None
        if connection is not None:
            self._transport._release(connection, self._done)


class Transport(httpx.BaseTransport):
    """The blocking client's transport: kept-alive connections to any origin, every socket operation
    within the call's deadline, at most MAX_IN_FLIGHT exchanges at once (a waiting one gives up at
    its call's deadline)."""

    def __init__(self, ssl_context: ssl.SSLContext) -> None:
        self._ssl_context = ssl_context
        # One lock over the places in flight and the idle connections: an exchange takes both at once.
        self._lock = threading.Lock()
        self._freed = threading.Condition(self._lock)
        self._free = MAX_IN_FLIGHT  # exchanges that may start now
        self._waiting = 0  # exchanges waiting for a place
        self._idle: list[_Connection] = []  # oldest first
        self._heads: dict[tuple, h11.Request] = {}
        self._closed = False

    def handle_request(self, request: httpx.Request) -> httpx.Response:
        origin = _origin(request.url)
        timeouts = _timeouts(request)
        connection = self._start(origin)
        try:
            if connection is None:
                connection = self._connect(origin, timeouts.get("connect"))
        except BaseException:
            self._end()
            raise
        try:
            connection.send(_request_bytes(connection.protocol, request, self._heads), timeouts.get("write"))
            read_timeout = timeouts.get("read")
            head = connection.answer_head(read_timeout)
            return _response(request, head, _Body(self, connection, read_timeout))
        except BaseException:
            self._release(connection, False)
            raise

    def _start(self, origin: tuple[bytes, bytes, int]) -> _Connection | None:
        """Takes a place among the exchanges in flight (waiting for one within the call's deadline),
        and the newest idle connection to ``origin`` that is still good, if any."""
        with self._lock:
            if self._free <= 0:
                self._wait_for_place()
            self._free -= 1
            connection = self._take_idle(origin)
        try:
            while connection is not None:
                if time.monotonic() - connection.idle_since <= KEEPALIVE_SECONDS and not connection.stale():
                    return connection
                connection.close()
                with self._lock:
                    connection = self._take_idle(origin)
            return None
        except BaseException:
            self._end()
            raise

    def _wait_for_place(self) -> None:
        """With the lock held: waits until an exchange ends, until the call's deadline at most."""
        deadline = current.get()
        self._waiting += 1
        try:
            while self._free <= 0:
                wait = None if deadline is None else deadline - time.monotonic()
                if wait is not None and wait <= 0:
                    raise _pool_timeout()
                self._freed.wait(wait)
        finally:
            self._waiting -= 1

    def _take_idle(self, origin: tuple[bytes, bytes, int]) -> _Connection | None:
        idle = self._idle
        for index in range(len(idle) - 1, -1, -1):
            if idle[index].origin == origin:
                return idle.pop(index)
        return None

    def _end(self) -> None:
        with self._lock:
            self._free += 1
            if self._waiting:
                self._freed.notify()

    def _connect(self, origin: tuple[bytes, bytes, int], timeout: float | None) -> _Connection:
        scheme, raw_host, port = origin
        host = raw_host.decode("ascii")
        try:
            sock = socket.create_connection((host, port), _within_deadline(timeout, httpx.ConnectTimeout))
        except TimeoutError as exc:
            raise httpx.ConnectTimeout(str(exc) or "timed out") from exc
        except OSError as exc:
            raise httpx.ConnectError(str(exc) or type(exc).__name__) from exc
        try:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if scheme == b"https":
                sock.settimeout(_within_deadline(timeout, httpx.ConnectTimeout))
                sock = self._ssl_context.wrap_socket(sock, server_hostname=host)
            sock.setblocking(False)
        except BaseException as exc:
            sock.close()
            if isinstance(exc, TimeoutError):
                raise httpx.ConnectTimeout(str(exc) or "timed out") from exc
            if isinstance(exc, OSError):
                raise httpx.ConnectError(str(exc) or type(exc).__name__) from exc
            raise
        return _Connection(origin, sock)

    def _release(self, connection: _Connection, done: bool) -> None:
        surplus: list[_Connection] = []
        kept = False
        try:
            if done and not self._closed and _reusable(connection.protocol):
                connection.idle_since = time.monotonic()
                kept = True
        finally:
            with self._lock:
                self._free += 1
                if self._waiting:
                    self._freed.notify()
                if kept and not self._closed:
                    idle = self._idle
                    idle.append(connection)
                    if len(idle) > MAX_IDLE:
                        surplus = idle[:len(idle) - MAX_IDLE]  # the oldest
                        del idle[:len(surplus)]
                else:
                    surplus = [connection]
            for old in surplus:
                old.close()

    def close(self) -> None:
        self._closed = True
        self._heads.clear()  # they hold the API keys of the calls
        with self._lock:
            idle, self._idle = self._idle, []
        for connection in idle:
            connection.close()


# --- awaited -------------------------------------------------------------------------------------
#
# asyncio's own streams. Connecting is bounded by what is left of the call's
# deadline, so that a connection that cannot be made reads as "could not
# connect"; reads and writes are bounded by the deadline that the exchange keeps
# around the whole attempt.


def _socket_readable(sock: Any) -> bool:
    try:
        fd = sock.fileno()
        if fd < 0:
            return True
        poller = select.poll()
        poller.register(fd, select.POLLIN)
        return bool(poller.poll(0))
    except (OSError, ValueError, AttributeError):
        return True  # a socket that is gone reads as its end


class _AsyncConnection:
    __slots__ = ("origin", "reader", "writer", "protocol", "idle_since")

    def __init__(self, origin: tuple[bytes, bytes, int], reader: asyncio.StreamReader,
                 writer: asyncio.StreamWriter) -> None:
        self.origin, self.reader, self.writer = origin, reader, writer
        self.protocol = h11.Connection(h11.CLIENT, max_incomplete_event_size=MAX_HEAD_BYTES)
        self.idle_since = 0.0

    async def send(self, data: bytes) -> None:
        writer = self.writer
        try:
            if writer.is_closing():
                raise ConnectionResetError("the connection is closed")
            writer.write(data)
            await writer.drain()
        except OSError as exc:
            raise httpx.WriteError(str(exc) or type(exc).__name__) from exc

    async def next_event(self) -> Any:
        protocol = self.protocol
        while True:
            event = _next_event(protocol)
            if event is not h11.NEED_DATA:
                return event
            try:
                data = await self.reader.read(READ_SIZE)
            except OSError as exc:
                raise httpx.ReadError(str(exc) or type(exc).__name__) from exc
            if not data and protocol.their_state is h11.SEND_RESPONSE:
                raise httpx.RemoteProtocolError(_DISCONNECTED)
            protocol.receive_data(data)

    def stale(self) -> bool:
        # Whatever the loop already took off the socket counts: on an idle connection it is the
        # server's close, or bytes no request asked for.
        reader, writer = self.reader, self.writer
        return (reader.at_eof() or writer.is_closing() or bool(getattr(reader, "_buffer", b""))
                or _socket_readable(writer.get_extra_info("socket")))

    def close(self) -> None:
        self.writer.close()


class _AsyncBody(httpx.AsyncByteStream):
    def __init__(self, transport: AsyncTransport, connection: _AsyncConnection, gated: bool) -> None:
        self._transport, self._connection, self._gated = transport, connection, gated
        self._done = False

    async def __aiter__(self) -> AsyncIterator[bytes]:
        connection = self._connection
        if connection is None:
            return
        while True:
            event = await connection.next_event()
            kind = type(event)
            if kind is h11.Data:
                yield bytes(event.data)
            elif kind is h11.EndOfMessage:
                self._done = True
                return

    async def aclose(self) -> None:
        connection, self._connection = self._connection, None
        if connection is not None:
            self._transport._release(connection, self._done, self._gated)


class AsyncTransport(httpx.AsyncBaseTransport):
    """The awaitable twin, for one event loop; the call's deadline is kept by ``asyncio.timeout``
    around the exchange, and a waiting exchange gives up when its call is cancelled there."""

    def __init__(self, ssl_context: ssl.SSLContext) -> None:
        self._ssl_context = ssl_context
        self._gate = asyncio.Semaphore(MAX_IN_FLIGHT)
        self._idle: list[_AsyncConnection] = []  # oldest first
        self._heads: dict[tuple, h11.Request] = {}
        self._closed = False

    async def handle_async_request(self, request: httpx.Request) -> httpx.Response:
        gated = not request.extensions.get(UNGATED)
        if gated:
            await self._gate.acquire()
        try:
            origin = _origin(request.url)
            connection = self._idle_connection(origin) or await self._connect(origin, _timeouts(request).get("connect"))
        except BaseException:
            if gated:
                self._gate.release()
            raise
        try:
            await connection.send(await _request_bytes_async(connection.protocol, request, self._heads))
            head = await connection.next_event()
            while type(head) is h11.InformationalResponse:
                head = await connection.next_event()
            return _response(request, head, _AsyncBody(self, connection, gated))
        except BaseException:
            self._release(connection, False, gated)
            raise

    def _idle_connection(self, origin: tuple[bytes, bytes, int]) -> _AsyncConnection | None:
        now = time.monotonic()
        idle = self._idle
        for index in range(len(idle) - 1, -1, -1):
            if idle[index].origin == origin:
                connection = idle.pop(index)
                if now - connection.idle_since <= KEEPALIVE_SECONDS and not connection.stale():
                    return connection
                connection.close()
        return None

    async def _connect(self, origin: tuple[bytes, bytes, int], timeout: float | None) -> _AsyncConnection:
        scheme, raw_host, port = origin
        host = raw_host.decode("ascii")
        tls = scheme == b"https"
        try:
            async with asyncio.timeout(timeout):
                reader, writer = await asyncio.open_connection(
                    host, port, ssl=self._ssl_context if tls else None, server_hostname=host if tls else None)
        except TimeoutError as exc:
            raise httpx.ConnectTimeout(str(exc) or "timed out") from exc
        except OSError as exc:
            raise httpx.ConnectError(str(exc) or type(exc).__name__) from exc
        return _AsyncConnection(origin, reader, writer)

    def _release(self, connection: _AsyncConnection, done: bool, gated: bool) -> None:
        try:
            if done and not self._closed and _reusable(connection.protocol):
                connection.idle_since = time.monotonic()
                self._idle.append(connection)
                if len(self._idle) > MAX_IDLE:
                    self._idle.pop(0).close()
            else:
                connection.close()
        finally:
            if gated:
                self._gate.release()

    async def aclose(self) -> None:
        self._closed = True
        self._heads.clear()
        idle, self._idle = self._idle, []
        for connection in idle:
            connection.close()
