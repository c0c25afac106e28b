"""One deadline per call, and the approval handlers' deadline over the calls made on their behalf.

The blocking client keeps a call's deadline in the socket layer: each read and
write waits at most until ``current`` says (see ``transport``); the awaitable
client keeps it with ``asyncio.timeout``.
"""

from __future__ import annotations

import asyncio
import contextvars
import time

from .calls import RETRY_ALWAYS, Call

HANDLER_GRACE = 0.5  # how far past its approval handler's deadline a call may run
_STALE_HANDLER_SECONDS = 5.0

# The end, on the monotonic clock, of the attempt under way in this context (blocking client).
current: contextvars.ContextVar[float | None] = contextvars.ContextVar("zelto_cloud_deadline", default=None)

# The deadline (on the monotonic clock) of the approval handler on whose behalf
# the calls of this context are made; the handlers set it (see client.py).
# Under it, no call runs more than HANDLER_GRACE past it, and a call that may
# be retried (a read, a create under its idempotency key) keeps trying through
# an outage until then, each attempt still bounded by the client's timeout.
handler_deadline: contextvars.ContextVar[float | None] = contextvars.ContextVar(
    "zelto_cloud_handler_deadline", default=None)

# The base URLs that have answered in this process. Only at those is a failure
# to connect an outage worth riding out: an address that never answered is more
# likely wrong, and is told as soon as a plain call would tell it.
answered: set[str] = set()


def handler_end(now: float) -> float | None:
    """The end, on the monotonic clock, of the calls of the current handler; None outside one."""
    deadline = handler_deadline.get()
    end = None if deadline is None else deadline + HANDLER_GRACE
    if end is None or now > end + _STALE_HANDLER_SECONDS:
        # A live handler makes no call this late: the mark was left behind by a handler
        # coroutine that was never finished (driven by hand, then dropped).
        return None
    return end


def handler_until(call: Call, timeout: float | None, now: float, base_url: str) -> float | None:
    """Where a call made now ends on the monotonic clock under the current handler; None outside one.

    A retryable call to an address that has answered ends with the handler; any
    other within its own timeout too (a retryable one is extended once the address
    answers: see Attempts.extend)."""
    end = handler_end(now)
    if end is None:
        return None
    if timeout is None or (call.retry == RETRY_ALWAYS and base_url in answered):
        return end
    return min(end, now + timeout)


def loop_until(loop: asyncio.AbstractEventLoop, call: Call, timeout: float | None, base_url: str) -> float | None:
    """handler_until on the clock of ``loop``."""
    now = time.monotonic()
    until = handler_until(call, timeout, now, base_url)
    return None if until is None else loop.time() + (until - now)


def seconds_left(expired: type[Exception]) -> float | None:
    """What a socket operation may wait under the current deadline (None: no deadline); raises
    ``expired`` once it has passed."""
    deadline = current.get()
    if deadline is None:
        return None
    left = deadline - time.monotonic()
    if left <= 0:
        raise expired("the call's deadline has passed")
    return left
