"""Status reads of many awaitable clients, gathered into batch reads.

Thousands of approvals waiting on one event loop each read their request
every few seconds. Reads made in one turn of the loop, or while earlier
batches are out within a few milliseconds of each other (for one base URL and
API key), go out as one batch read; each caller gets
the request object, or the error, of its own read. An id that the batch
answer leaves out (unknown, or a cloud that skipped it) is read on its own by
its caller, so it fails exactly as a single read does. A cloud without the
batch call is asked once; from then on every read goes out on its own.
"""

from __future__ import annotations

import asyncio
import copy
import math
from typing import Any, Callable, NamedTuple

from ._http.calls import LIST_ANSWER_LIMIT, RETRY_ALWAYS, Call
from ._http.config import Secret
from ._http.deadlines import HANDLER_GRACE, loop_until
from ._http.exchange import exchange_async
from ._http.failures import Failure
from ._http.pools import AsyncPool

BATCH_PATH = "/v1/approvals/requests/batch-read"
MAX_IDS = 200
GATHER_SECONDS = 0.01
MAX_IN_FLIGHT = 4
_UNSUPPORTED_STATUSES = frozenset({404, 405, 501})


def _batch_call(ids: list[str], read: Callable[[dict], Any]) -> Call:
    # Batch reads are at most MAX_IN_FLIGHT per batcher already; behind a burst of
    # creates in the pool's queue they would wait their callers' deadlines away.
    return Call("POST", BATCH_PATH, read, body={"ids": ids}, retry=RETRY_ALWAYS, limit=LIST_ANSWER_LIMIT, gated=False)


def _read_batch(read_request: Callable[[dict], dict]) -> Callable[[dict], dict]:
    def read(data: dict) -> dict:
        items = data.get("requests")
        if not isinstance(items, list):
            raise ValueError("'requests' is not a list")
        found = {}
        for item in items:
            try:
                request = read_request(item) if isinstance(item, dict) else None
            except ValueError:
                request = None  # its caller reads it alone, and gets the single read's error
            if request is not None:
                found[request["id"]] = request
        return found

    return read


class _Waiter(NamedTuple):
    future: asyncio.Future
    deadline: float
    call: Call  # the caller's own read
    timeout: float | None
    span: float | None  # the seconds the read was given, for its error


class StatusBatcher:
    """The batch reads of one event loop, base URL and API key."""

    def __init__(self, loop: asyncio.AbstractEventLoop, pool: AsyncPool, *, base_url: str, secret: Secret,
                 auth: Secret, read_request: Callable[[dict], dict]) -> None:
        self._loop = loop
        self._pool = pool
        self._base_url = base_url
        self._secret = secret
        self._auth = auth
        self._read = _read_batch(read_request)
        self._waiting: dict[str, list[_Waiter]] = {}
        self._timer: asyncio.TimerHandle | None = None
        self._in_flight: set[asyncio.Task] = set()
        self.supported = True

    async def read(self, request_id: str, call: Call, timeout: float | None) -> dict | None:
        """The request object, or None when the caller must read it alone.

        ``call`` is the caller's own read: a failure of the batch is worded
        as that read's failure."""
        if not self.supported:
            return None
        loop = asyncio.get_running_loop()
        future = loop.create_future()
        deadline = loop_until(loop, call, timeout, self._base_url)  # the caller's handler's, if any
        span = timeout if deadline is None else round(deadline - loop.time(), 1)
        if deadline is None:
            deadline = math.inf if timeout is None else loop.time() + timeout
        self._waiting.setdefault(request_id, []).append(_Waiter(future, deadline, call, timeout, span))
        self._schedule(loop)
        return await future

    def close(self) -> None:
        """Called when the pool closes: reads still gathered fail instead of waiting for ever."""
        try:
            running = asyncio.get_running_loop()
        except RuntimeError:
            running = None
        if running is self._loop:
            self._shut()
        elif not self._loop.is_closed():
            self._loop.call_soon_threadsafe(self._shut)

    def _shut(self) -> None:
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None
        waiting, self._waiting = self._waiting, {}
        for waiters in waiting.values():
            for waiter in waiters:
                if not waiter.future.done():
                    waiter.future.set_exception(RuntimeError("the client has been closed"))

    def _schedule(self, loop: asyncio.AbstractEventLoop) -> None:
        if len(self._waiting) >= MAX_IDS and len(self._in_flight) < MAX_IN_FLIGHT:
            self._flush()
        elif self._timer is None and self._waiting:
            # With no batch out, the reads made in this turn of the loop go at once, together: a read
            # that goes alone waits for nothing. While batches are out, reads gather for a while.
            if self._in_flight:
                self._timer = loop.call_later(GATHER_SECONDS, self._flush)
            else:
                self._timer = loop.call_soon(self._flush)

    def _flush(self) -> None:
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None
        while self._waiting and len(self._in_flight) < MAX_IN_FLIGHT:
            batch = self._take()
            if batch:
                task = asyncio.get_running_loop().create_task(self._run(batch))
                self._in_flight.add(task)

    def _take(self) -> dict[str, list]:
        """Up to MAX_IDS ids whose callers still wait (a cancelled caller's future is done)."""
        batch = {}
        while self._waiting and len(batch) < MAX_IDS:
            request_id = next(iter(self._waiting))
            waiters = [waiter for waiter in self._waiting.pop(request_id) if not waiter.future.done()]
            if waiters:
                batch[request_id] = waiters
        return batch

    async def _run(self, batch: dict[str, list]) -> None:
        loop = asyncio.get_running_loop()
        try:
            deadline = min(waiter.deadline for waiters in batch.values() for waiter in waiters)
            limits = [waiter.timeout for waiters in batch.values() for waiter in waiters if waiter.timeout is not None]
            # Each attempt is bounded by the callers' own timeout, the whole read by their earliest deadline.
            timeout = min(limits) if limits else None
            until = None if deadline == math.inf else max(deadline, loop.time() + 0.001)
            call = _batch_call(list(batch), self._read)
            options = {"base_url": self._base_url, "timeout": timeout, "secret": self._secret, "auth": self._auth,
                       "until": until}
            found = await exchange_async(self._pool, call, **options)
        except asyncio.CancelledError:
            self._settle(batch, lambda waiter: waiter.future.cancel())
            raise
        except Exception as error:  # a fault of this process, not of the cloud: every caller sees it
            self._settle(batch, lambda waiter: waiter.future.set_exception(copy.copy(error)))
        else:
            if not isinstance(found, Failure):
                self._answer(batch, found)
            elif found.status in _UNSUPPORTED_STATUSES:
                self.supported = False
                self._settle(batch, lambda waiter: waiter.future.set_result(None))
            else:
                self._settle(batch, lambda waiter: self._fail(waiter, found, deadline))
        finally:
            self._in_flight.discard(asyncio.current_task())
            if self._waiting:
                self._schedule(loop)

    @staticmethod
    def _fail(waiter: _Waiter, found: Failure, deadline: float) -> None:
        if found.status is None and waiter.deadline > deadline + HANDLER_GRACE:
            # No answer by another caller's earlier deadline: this one still has time to read alone.
            waiter.future.set_result(None)
        else:
            waiter.future.set_exception(found.error_for(waiter.call, waiter.span))

    @staticmethod
    def _answer(batch: dict[str, list], found: dict) -> None:
        for request_id, waiters in batch.items():
            request = found.get(request_id)
            for index, waiter in enumerate(waiters):
                if not waiter.future.done():
                    waiter.future.set_result(request if index == 0 or request is None else copy.deepcopy(request))

    @staticmethod
    def _settle(batch: dict[str, list], settle: Callable[[_Waiter], None]) -> None:
        for waiters in batch.values():
            for waiter in waiters:
                if not waiter.future.done():
                    settle(waiter)
