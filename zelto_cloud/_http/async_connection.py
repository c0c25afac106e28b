"""The awaitable client's own HTTP/1.1 connections, on the event loop's transports.

The call's deadline is kept by ``asyncio.timeout`` around the whole exchange
(see ``exchange``); connecting is also bounded by what is left of it, so that
a connection that cannot be made reads as "could not connect".
"""

from __future__ import annotations

import asyncio
import ssl
import time

import httpx

from .connection import KEEPALIVE_SECONDS, MAX_IDLE, MAX_IN_FLIGHT
from .wire import Head, parse_head, request_head

_HIGH_WATER = 256 * 1024  # bytes received and not yet read before the socket stops being read


class Wire(asyncio.Protocol):
    """One connection's socket: what arrived and was not read yet, and whether it ended."""

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self._loop = loop
        self.transport: asyncio.Transport = None  # type: ignore[assignment]  # set as soon as connected
        self.buffer = b""
        self.ended = False
        self.idle_since = 0.0
        self._error: BaseException | None = None
        self._waiter: asyncio.Future | None = None
        self._paused = False

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self.transport = transport  # type: ignore[assignment]

    def data_received(self, data: bytes) -> None:
        self.buffer += data
        if len(self.buffer) > _HIGH_WATER and not self._paused:
            self._paused = True
            self.transport.pause_reading()
        self._wake()

    def eof_received(self) -> bool:
        self.ended = True
        self._wake()
        return False

    def connection_lost(self, exc: BaseException | None) -> None:
        self.ended = True
        self._error = exc
        self._wake()

    def _wake(self) -> None:
        waiter = self._waiter
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    async def read(self) -> bytes:
        """What arrived since the last read, waiting for it; b"" once the connection ended."""
        while not self.buffer:
            if self.ended:
                if self._error is not None:
                    raise httpx.ReadError(str(self._error)) from self._error
                return b""
            self._waiter = self._loop.create_future()
            try:
                await self._waiter
            finally:
                self._waiter = None
        data, self.buffer = self.buffer, b""
        if self._paused:
            self._paused = False
            self.transport.resume_reading()
        return data

    def write(self, data: bytes) -> None:
        if self.ended or self.transport.is_closing():
            raise httpx.WriteError(str(self._error) if self._error else "the connection is closed")
        self.transport.write(data)

    def still_open(self, now: float) -> bool:
        return (now - self.idle_since <= KEEPALIVE_SECONDS and not self.ended and not self.buffer
                and not self.transport.is_closing())

    def close(self) -> None:
        if self.transport is not None:  # type: ignore[comparison-overlap]
            self.transport.close()


class AsyncResponse:
    """The awaitable twin of connection.Response."""

    __slots__ = ("status_code", "reason_phrase", "headers", "_head", "_pool", "_wire", "_gated")

    def __init__(self, pool: AsyncConnectionPool, wire: Wire, head: Head, gated: bool) -> None:
        self.status_code, self.reason_phrase, self.headers = head.status_code, head.reason_phrase, head.headers
        self._head, self._wire, self._gated = head, wire, gated
        self._pool: AsyncConnectionPool | None = pool

    async def aread(self, limit: int, truncate: bool) -> bytes | None:
        framing, wire = self._head.framing, self._wire
        content = bytearray()
        data, wire.buffer = wire.buffer, b""
        framing.feed(data, content)
        while not framing.done and len(content) <= limit:
            data = await wire.read()
            if not data:
                framing.end(len(content))
                break
            framing.feed(data, content)
        if len(content) > limit:
            return bytes(content[:limit]) if truncate else None
        return bytes(content)

    async def aclose(self) -> None:
        pool, self._pool = self._pool, None
        if pool is None:
            return
        head, wire = self._head, self._wire
        if head.framing.done and not head.framing.overrun and head.reusable and not wire.buffer:
            pool.put_back(wire)
        else:
            wire.close()
        if self._gated:
            pool.release()


class AsyncConnectionPool:
    """The kept-alive connections of one event loop to one origin, with at most MAX_IN_FLIGHT gated
    exchanges at once (a waiting one gives up when its call is cancelled at the deadline)."""

    def __init__(self, url: httpx.URL, ssl_context: ssl.SSLContext) -> None:
        self._tls = ssl_context if url.scheme == "https" else None
        self._host = url.raw_host.decode("ascii")
        self._port = url.port or (443 if url.scheme == "https" else 80)
        self._host_header = url.netloc.decode("ascii")
        self._idle: list[Wire] = []
        self._gate = asyncio.Semaphore(MAX_IN_FLIGHT)
        self._closed = False

    async def exchange(self, method: str, target: str, headers: dict[str, str], body: bytes | None, *,
                       gated: bool, timeout: float | None) -> AsyncResponse:
        """Sends one request and reads the head of its answer; a call that is not ``gated`` bounds
        itself (batch reads) and does not queue behind the others."""
        request = request_head(method, target, self._host_header, headers, body)
        if body:
            request += body
        if gated:
            await self._gate.acquire()
        wire = None
        try:
            wire = self._idle_wire() or await self._connect(timeout)
            wire.write(request)
            return await self._answer(wire, method == "HEAD", gated)
        except BaseException:
            if wire is not None:
                wire.close()
            if gated:
                self._gate.release()
            raise

    def _idle_wire(self) -> Wire | None:
        now = time.monotonic()
        while self._idle:
            wire = self._idle.pop()
            if wire.still_open(now):
                return wire
            wire.close()
        return None

    async def _connect(self, timeout: float | None) -> Wire:
        loop = asyncio.get_running_loop()
        try:
            async with asyncio.timeout(timeout):
                _, wire = await loop.create_connection(
                    lambda: Wire(loop), self._host, self._port, ssl=self._tls,
                    server_hostname=self._host if self._tls is not None else None)
        except TimeoutError as exc:
            raise httpx.ConnectTimeout(str(exc) or "timed out") from exc
        except OSError as exc:
            raise httpx.ConnectError(str(exc)) from exc
        return wire

    async def _answer(self, wire: Wire, head_only: bool, gated: bool) -> AsyncResponse:
        buffer = b""
        while True:
            data = await wire.read()
            if not data:
                raise httpx.RemoteProtocolError("Server disconnected without sending a response.")
            head, buffer = parse_head(buffer + data if buffer else data, head_only)
            if head is not None:
                break
        wire.buffer = buffer + wire.buffer
        return AsyncResponse(self, wire, head, gated)

    def put_back(self, wire: Wire) -> None:
        wire.idle_since = time.monotonic()
        if not self._closed and len(self._idle) < MAX_IDLE:
            self._idle.append(wire)
        else:
            wire.close()

    def release(self) -> None:
        self._gate.release()

    async def aclose(self) -> None:
        self._closed = True
        idle, self._idle = self._idle, []
        for wire in idle:
            wire.close()
