"""One call from start to result: attempts within one deadline, blocking and awaited.

A call gets one deadline, its client's ``timeout`` from the moment it starts:
connecting, sending, every read of the answer and every pause between retries
fit inside it.
"""

from __future__ import annotations

import asyncio
import logging
import math
import time
from typing import Any

import httpx

from .calls import RETRY_ALWAYS, Call, encoded_body
from .config import Secret
from .deadlines import answered, current, handler_deadline, handler_end, handler_until
from .failures import Failure, body_limit, declared_too_long, encoding_refused, outcome, transport_failure
from .pools import AsyncPool, Pool, SyncPool
from .retries import Attempts

logger = logging.getLogger("zelto_cloud.client")


class _Answer:
    """An httpx.Response read within a limit. The body is read from the response's stream itself:
    what httpx.Response adds on the way (decoding, chunking) is not asked for."""

    __slots__ = ("response", "status_code", "headers")

    def __init__(self, response: httpx.Response) -> None:
        self.response = response
        self.status_code, self.headers = response.status_code, response.headers

    @property
    def reason_phrase(self) -> str:
        return self.response.reason_phrase  # for an error's words only: not decoded for every answer

    def read(self, limit: int, truncate: bool) -> bytes | None:
        chunks: list[bytes] = []
        size = 0
        for chunk in self.response.stream:  # type: ignore[union-attr]
            chunks.append(chunk)
            size += len(chunk)
            if size > limit:
                return b"".join(chunks)[:limit] if truncate else None
        return _joined(chunks)

    async def aread(self, limit: int, truncate: bool) -> bytes | None:
        chunks: list[bytes] = []
        size = 0
        async for chunk in self.response.stream:  # type: ignore[union-attr]
            chunks.append(chunk)
            size += len(chunk)
            if size > limit:
                return b"".join(chunks)[:limit] if truncate else None
        return _joined(chunks)

    def close(self) -> None:
        response = self.response
        if not response.is_closed:
            response.is_closed = True
            response.stream.close()  # type: ignore[union-attr]

    async def aclose(self) -> None:
        response = self.response
        if not response.is_closed:
            response.is_closed = True
            await response.stream.aclose()  # type: ignore[union-attr]


def _joined(chunks: list[bytes]) -> bytes:
    """The body: an answer read off a socket in one piece (the usual case) is taken as it is."""
    if len(chunks) == 1 and type(chunks[0]) is bytes:
        return chunks[0]
    return b"".join(chunks)


def _closed_check(pool: Pool) -> None:
    if pool.is_closed:
        raise RuntimeError("Cannot send a request, as the client has been closed.")


# --- blocking ------------------------------------------------------------------


def _attempt(pool: SyncPool, call: Call, attempts: Attempts, base_url: str, secret: Secret | None,
             auth: Secret | None) -> Any:
    if pool.is_closed:
        _closed_check(pool)
    try:
        request = pool.request(call, auth, encoded_body(call), attempts.seconds_left(time.monotonic()))
        response = _Answer(pool.transport.handle_request(request))
    except httpx.TransportError as exc:
        return transport_failure(call, exc, base_url, attempts.timeout, secret)
    answered.add(base_url)
    try:
        refused = encoding_refused(call, response)
        if refused is not None:
            return refused
        success = 200 <= response.status_code < 300
        limit = body_limit(call, response)
        content = None if success and declared_too_long(response, limit) else response.read(limit, not success)
    except httpx.TransportError as exc:
        return transport_failure(call, exc, base_url, attempts.timeout, secret)
    finally:
        response.close()
    return outcome(call, response, content, secret)


def _retrying(call: Call, attempts: Attempts, failure: Failure, pause: float, under_handler: bool) -> None:
    key = call.idempotency_key
    if under_handler and key is not None and attempts.count == 1:
        # Riding out an outage can take minutes: say so once, not at every attempt.
        logger.warning("%s %s failed (%s); trying again under idempotency key %s for up to %.0f s",
                       call.method, call.path, failure.error_for(call, attempts.timeout).message.split(";")[0],
                       key, attempts.deadline - attempts.started)
    else:
        logger.debug("%s %s failed; trying again in %.2f s", call.method, call.path, pause)


def send(pool: SyncPool, call: Call, *, base_url: str, timeout: float | None, secret: Secret | None,
         auth: Secret | None = None) -> Any:
    """One call through a blocking pool: attempts within one deadline; the result or an error.

    ``auth``: the API key sent as a bearer token, unless the call carries credentials of its own."""
    now = time.monotonic()
    if handler_deadline.get() is None:
        until = extension = None  # not made for an approval handler: the client's timeout alone
    else:
        until = handler_until(call, timeout, now, base_url)
        extension = handler_end(now) if call.retry == RETRY_ALWAYS else None
    attempts = Attempts(timeout, now, until, extension)
    token = current.set(None)
    try:
        while True:
            end = attempts.attempt_deadline(time.monotonic())
            current.set(None if end == math.inf else end)
            result = _attempt(pool, call, attempts, base_url, secret, auth)
            if not isinstance(result, Failure):
                return result
            attempts.extend(base_url)
            pause = attempts.pause(result, time.monotonic())
            if pause is None:
                raise attempts.give_up(result).error_for(call, attempts.span() if until is not None else timeout)
            _retrying(call, attempts, result, pause, until is not None)
            time.sleep(pause)
    finally:
        current.reset(token)


# --- awaited -------------------------------------------------------------------


async def _attempt_async(pool: AsyncPool, call: Call, attempts: Attempts, base_url: str, secret: Secret | None,
                         auth: Secret | None) -> Any:
    try:
        _closed_check(pool)
        seconds = attempts.seconds_left(asyncio.get_running_loop().time())
        request = pool.request(call, auth, encoded_body(call), seconds)
        response = _Answer(await pool.transport.handle_async_request(request))
    except httpx.TransportError as exc:
        return transport_failure(call, exc, base_url, attempts.timeout, secret)
    answered.add(base_url)
    try:
        refused = encoding_refused(call, response)
        if refused is not None:
            return refused
        success = 200 <= response.status_code < 300
        limit = body_limit(call, response)
        content = None if success and declared_too_long(response, limit) else await response.aread(limit, not success)
    except httpx.TransportError as exc:
        return transport_failure(call, exc, base_url, attempts.timeout, secret)
    finally:
        await response.aclose()
    return outcome(call, response, content, secret)


async def _bounded_attempt(pool: AsyncPool, call: Call, attempts: Attempts, base_url: str,
                           secret: Secret | None, auth: Secret | None) -> Any:
    """One attempt; one that ends before its call's deadline is bounded on its own."""
    loop = asyncio.get_running_loop()
    end = attempts.attempt_deadline(loop.time())
    if end >= attempts.deadline:
        return await _attempt_async(pool, call, attempts, base_url, secret, auth)
    try:
        async with asyncio.timeout_at(end):
            return await _attempt_async(pool, call, attempts, base_url, secret, auth)
    except TimeoutError as exc:
        return transport_failure(call, exc, base_url, attempts.timeout, secret)


async def exchange_async(
    pool: AsyncPool, call: Call, *, base_url: str, timeout: float | None, secret: Secret | None,
    auth: Secret | None = None, started: float | None = None, until: float | None = None,
    extension: float | None = None,
) -> Any:
    """One call through an awaitable pool: the result, or the Failure that ended it.

    The deadline, ``timeout`` after ``started`` on the loop's clock (by
    default now), or ``until`` on that clock when given (moved on to
    ``extension`` once the address answers), is kept by ``asyncio.timeout``."""
    loop = asyncio.get_running_loop()
    attempts = Attempts(timeout, loop.time() if started is None else started, until, extension)
    under_handler = until is not None and handler_deadline.get() is not None
    in_flight = False
    try:
        async with asyncio.timeout_at(None if attempts.deadline == math.inf else attempts.deadline) as scope:
            while True:
                in_flight = True
                result = await _bounded_attempt(pool, call, attempts, base_url, secret, auth)
                in_flight = False
                if not isinstance(result, Failure):
                    return result
                if attempts.extend(base_url):
                    scope.reschedule(attempts.deadline)
                pause = attempts.pause(result, loop.time())
                if pause is None:
                    return attempts.give_up(result)
                _retrying(call, attempts, result, pause, under_handler)
                await asyncio.sleep(pause)
    except TimeoutError as exc:
        failure = transport_failure(call, exc, base_url, attempts.span() if until is not None else timeout, secret)
        failure.sent = attempts.sent or in_flight
        failure.seconds = attempts.span()
        return failure


async def send_async(
    pool: AsyncPool, call: Call, *, base_url: str, timeout: float | None, secret: Secret | None,
    auth: Secret | None = None, started: float | None = None,
) -> Any:
    """The awaitable twin of :func:`send`."""
    loop = asyncio.get_running_loop()
    begun = loop.time() if started is None else started
    now = time.monotonic()
    until = handler_until(call, timeout, now, base_url)
    end = handler_end(now) if call.retry == RETRY_ALWAYS else None
    until, end = (None if t is None else loop.time() + (t - now) for t in (until, end))
    if until is not None and timeout is not None and (call.retry != RETRY_ALWAYS or base_url not in answered):
        until = min(until, begun + timeout)
    result = await exchange_async(pool, call, base_url=base_url, timeout=timeout, secret=secret, auth=auth,
                                  started=begun, until=until, extension=end)
    if isinstance(result, Failure):
        raise result.error_for(call, timeout if until is None else result.seconds)
    return result
