"""The clients' transports: httpx transports over connection pools of the client's own making.

Each transport holds an httpcore pool built here (not the one an httpx
transport would build for itself), so that the blocking pool's sockets keep the
call's deadline on every connect, read and write, and so that the exchanges in
flight are bounded here rather than by httpcore: httpcore's own connection
limit leaks a slot whenever a request gives up waiting for one (the connection
made for it is never used nor closed), and a busy pool then stalls for good.
So httpcore is left unlimited and the gate below bounds the exchanges at once.
"""

from __future__ import annotations

import asyncio
import contextlib
import select
import ssl
import threading
import time
from typing import Any, AsyncIterator, Callable, Iterator

import httpcore
import httpx

from .deadlines import current, seconds_left

MAX_IN_FLIGHT = 64  # exchanges at once per pool
MAX_IDLE = 32  # connections kept alive per pool
KEEPALIVE_SECONDS = 4.0
UNGATED = "zelto_cloud.ungated"  # an exchange that bounds itself (batch reads) and must not queue behind others


# --- every socket operation of the blocking pool ends by the call's deadline ----------------------


def _within_deadline(timeout: float | None, expired: type[Exception]) -> float | None:
    left = seconds_left(expired)
    if left is None:
        return timeout
    return left if timeout is None else min(timeout, left)


class _DeadlineStream(httpcore.NetworkStream):
    """A socket stream whose every read and write ends by the current call's deadline."""

    def __init__(self, stream: httpcore.NetworkStream) -> None:
        self._stream = stream

    def read(self, max_bytes: int, timeout: float | None = None) -> bytes:
        return self._stream.read(max_bytes, _within_deadline(timeout, httpcore.ReadTimeout))

    def write(self, buffer: bytes, timeout: float | None = None) -> None:
        self._stream.write(buffer, _within_deadline(timeout, httpcore.WriteTimeout))

    def close(self) -> None:
        self._stream.close()

    def start_tls(self, ssl_context: ssl.SSLContext, server_hostname: str | None = None,
                  timeout: float | None = None) -> httpcore.NetworkStream:
        timeout = _within_deadline(timeout, httpcore.ConnectTimeout)
        return _DeadlineStream(self._stream.start_tls(ssl_context, server_hostname, timeout))

    def get_extra_info(self, info: str) -> Any:
        return self._stream.get_extra_info(info)


class _DeadlineBackend(httpcore.NetworkBackend):
    def __init__(self) -> None:
        self._backend = httpcore.SyncBackend()

    def connect_tcp(self, host, port, timeout=None, local_address=None, socket_options=None):  # type: ignore[no-untyped-def]
        timeout = _within_deadline(timeout, httpcore.ConnectTimeout)
        return _DeadlineStream(self._backend.connect_tcp(host, port, timeout, local_address, socket_options))

    def connect_unix_socket(self, path, timeout=None, socket_options=None):  # type: ignore[no-untyped-def]
        timeout = _within_deadline(timeout, httpcore.ConnectTimeout)
        return _DeadlineStream(self._backend.connect_unix_socket(path, timeout, socket_options))

    def sleep(self, seconds: float) -> None:
        self._backend.sleep(seconds)


# --- the awaitable pool's sockets: asyncio's own streams ---------------------------------------------
#
# httpcore's default backend goes through anyio (a cancel scope, a timer and a
# checkpoint per read and write); on asyncio alone these streams do the same work
# for a fraction of the CPU. Connecting is bounded by what is left of the call's
# deadline, so that a connection that cannot be made reads as "could not connect".


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


class _AsyncioStream(httpcore.AsyncNetworkStream):
    def __init__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        self._reader, self._writer = reader, writer

    async def read(self, max_bytes: int, timeout: float | None = None) -> bytes:
        try:
            if timeout is None:
                return await self._reader.read(max_bytes)
            async with asyncio.timeout(timeout):
                return await self._reader.read(max_bytes)
        except TimeoutError as exc:
            raise httpcore.ReadTimeout(str(exc) or "timed out") from exc
        except OSError as exc:
            raise httpcore.ReadError(str(exc) or type(exc).__name__) from exc

    async def write(self, buffer: bytes, timeout: float | None = None) -> None:
        if not buffer:
            return
        try:
            if self._writer.is_closing():
                raise ConnectionResetError("the connection is closed")
            self._writer.write(buffer)
            if timeout is None:
                await self._writer.drain()
                return
            async with asyncio.timeout(timeout):
                await self._writer.drain()
        except TimeoutError as exc:
            raise httpcore.WriteTimeout(str(exc) or "timed out") from exc
        except OSError as exc:
            raise httpcore.WriteError(str(exc) or type(exc).__name__) from exc

    async def aclose(self) -> None:
        self._writer.close()

    async def start_tls(self, ssl_context: ssl.SSLContext, server_hostname: str | None = None,
                        timeout: float | None = None) -> httpcore.AsyncNetworkStream:
        try:
            async with asyncio.timeout(timeout):
                await self._writer.start_tls(ssl_context, server_hostname=server_hostname)
        except TimeoutError as exc:
            self._writer.close()
            raise httpcore.ConnectTimeout(str(exc) or "timed out") from exc
        except OSError as exc:
            self._writer.close()
            raise httpcore.ConnectError(str(exc) or type(exc).__name__) from exc
        return self

    def get_extra_info(self, info: str) -> Any:
        if info == "is_readable":
            # Whatever the loop already took off the socket counts: on an idle connection it is the
            # server's close, or bytes no request asked for.
            return (self._reader.at_eof() or self._writer.is_closing() or bool(getattr(self._reader, "_buffer", b""))
                    or _socket_readable(self._writer.get_extra_info("socket")))
        if info == "ssl_object":
            return self._writer.get_extra_info("ssl_object")
        if info == "client_addr":
            return self._writer.get_extra_info("sockname")
        if info == "server_addr":
            return self._writer.get_extra_info("peername")
        if info == "socket":
            return self._writer.get_extra_info("socket")
        return None


class _AsyncioBackend(httpcore.AsyncNetworkBackend):
    async def connect_tcp(self, host, port, timeout=None, local_address=None, socket_options=None):  # type: ignore[no-untyped-def]
        try:
            async with asyncio.timeout(timeout):
                reader, writer = await asyncio.open_connection(
                    host, port, local_addr=None if local_address is None else (local_address, 0))
        except TimeoutError as exc:
            raise httpcore.ConnectTimeout(str(exc) or "timed out") from exc
        except OSError as exc:
            raise httpcore.ConnectError(str(exc) or type(exc).__name__) from exc
        for option in socket_options or ():
            writer.get_extra_info("socket").setsockopt(*option)
        return _AsyncioStream(reader, writer)

    async def connect_unix_socket(self, path, timeout=None, socket_options=None):  # type: ignore[no-untyped-def]
        raise httpcore.ConnectError("the client connects over TCP only")

    async def sleep(self, seconds: float) -> None:
        await asyncio.sleep(seconds)


# --- httpcore's errors as the httpx errors that the rest of the client reads -----------------------

_ERRORS: dict[type, type] = {
    getattr(httpcore, name): getattr(httpx, name)
    for name in ("PoolTimeout", "ConnectTimeout", "ReadTimeout", "WriteTimeout", "ConnectError", "ReadError",
                 "WriteError", "LocalProtocolError", "RemoteProtocolError", "ProxyError", "UnsupportedProtocol",
                 "TimeoutException", "NetworkError", "ProtocolError")
}


@contextlib.contextmanager
def _httpx_errors() -> Iterator[None]:
    try:
        yield
    except Exception as exc:
        for kind in type(exc).__mro__:
            mapped = _ERRORS.get(kind)
            if mapped is not None:
                raise mapped(str(exc)) from exc
        raise


def _core_request(request: httpx.Request) -> httpcore.Request:
    url = request.url
    return httpcore.Request(
        method=request.method,
        url=httpcore.URL(scheme=url.raw_scheme, host=url.raw_host, port=url.port, target=url.raw_path),
        headers=request.headers.raw,
        content=request.stream,
        extensions=request.extensions,
    )


def _pool_timeout() -> httpx.PoolTimeout:
    return httpx.PoolTimeout("no connection became free before the call's deadline")


# --- blocking ------------------------------------------------------------------------------------


class _Body(httpx.SyncByteStream):
    """An answer's body from the pool; closing it hands its connection back and opens the gate."""

    def __init__(self, stream: Any, release: Callable[[], None] | None) -> None:
        self._stream, self._release = stream, release

    def __iter__(self) -> Iterator[bytes]:
        with _httpx_errors():
            yield from self._stream

    def close(self) -> None:
        release, self._release = self._release, None
        try:
            with _httpx_errors():
                self._stream.close()
        finally:
            if release is not None:
                release()


class Transport(httpx.BaseTransport):
    """The blocking client's transport: kept-alive connections to any origin, every socket operation
    within the call's deadline, at most MAX_IN_FLIGHT exchanges at once (a waiting one gives up at
    its call's deadline)."""

    def __init__(self, ssl_context: ssl.SSLContext) -> None:
        self._pool = httpcore.ConnectionPool(
            ssl_context=ssl_context, max_connections=None, max_keepalive_connections=MAX_IDLE,
            keepalive_expiry=KEEPALIVE_SECONDS, network_backend=_DeadlineBackend())
        self._gate = threading.BoundedSemaphore(MAX_IN_FLIGHT)

    def handle_request(self, request: httpx.Request) -> httpx.Response:
        deadline = current.get()
        wait = None if deadline is None else max(deadline - time.monotonic(), 0.0)
        if not self._gate.acquire(timeout=wait):
            raise _pool_timeout()
        try:
            with _httpx_errors():
                answer = self._pool.handle_request(_core_request(request))
        except BaseException:
            self._gate.release()
            raise
        return httpx.Response(answer.status, headers=answer.headers, stream=_Body(answer.stream, self._gate.release),
                              extensions=answer.extensions, request=request)

    def close(self) -> None:
        self._pool.close()


# --- awaited -------------------------------------------------------------------------------------


class _AsyncBody(httpx.AsyncByteStream):
    def __init__(self, stream: Any, release: Callable[[], None] | None) -> None:
        self._stream, self._release = stream, release

    async def __aiter__(self) -> AsyncIterator[bytes]:
        with _httpx_errors():
            async for chunk in self._stream:
                yield chunk

    async def aclose(self) -> None:
        release, self._release = self._release, None
        try:
            with _httpx_errors():
                await self._stream.aclose()
        finally:
            if release is not None:
                release()


class AsyncTransport(httpx.AsyncBaseTransport):
    """The awaitable twin, for one event loop; the call's deadline is kept by ``asyncio.timeout``
    around the exchange, and a waiting exchange gives up when its call is cancelled there."""

    def __init__(self, ssl_context: ssl.SSLContext) -> None:
        self._pool = httpcore.AsyncConnectionPool(
            ssl_context=ssl_context, max_connections=None, max_keepalive_connections=MAX_IDLE,
            keepalive_expiry=KEEPALIVE_SECONDS, network_backend=_AsyncioBackend())
        self._gate = asyncio.Semaphore(MAX_IN_FLIGHT)

    async def handle_async_request(self, request: httpx.Request) -> httpx.Response:
        gated = not request.extensions.get(UNGATED)
        if gated:
            await self._gate.acquire()
        try:
            with _httpx_errors():
                answer = await self._pool.handle_async_request(_core_request(request))
        except BaseException:
            if gated:
                self._gate.release()
            raise
        body = _AsyncBody(answer.stream, self._gate.release if gated else None)
        return httpx.Response(answer.status, headers=answer.headers, stream=body, extensions=answer.extensions,
                              request=request)

    async def aclose(self) -> None:
        await self._pool.aclose()
