"""The retry schedule of one call: which attempt may follow which failure, and after what pause."""

from __future__ import annotations

import math
import random

from .deadlines import answered
from .failures import Failure

_BACKOFF_FIRST = 0.1
_BACKOFF_CAP = 2.0
_MIN_ATTEMPT_SECONDS = 0.05  # a retry needs at least this much of the deadline left
_MAX_ATTEMPTS_WITHOUT_DEADLINE = 8


class Attempts:
    """The deadline and retry schedule of one call.

    The call ends ``timeout`` after it starts, or at ``until`` when that is
    given (a handler's deadline); each attempt ends ``timeout`` after it starts
    at the latest.
    """

    def __init__(self, timeout: float | None, now: float, until: float | None = None,
                 extension: float | None = None) -> None:
        self.timeout = timeout
        self.started = now
        if until is not None:
            self.deadline = until
        else:
            self.deadline = math.inf if timeout is None else now + timeout
        self.extension = extension  # the handler's end, for a retryable call
        self.count = 0
        self.sent = False  # whether an attempt may have reached the server

    def extend(self, base_url: str) -> bool:
        """Moves the deadline to the handler's end once the address has answered (it may have
        answered another call meanwhile); whether it moved."""
        if self.extension is None or self.extension <= self.deadline or base_url not in answered:
            return False
        self.deadline = self.extension
        return True

    def attempt_deadline(self, now: float) -> float:
        return self.deadline if self.timeout is None else min(self.deadline, now + self.timeout)

    def seconds_left(self, now: float) -> float | None:
        """What is left of the call's deadline (at least a millisecond); None without one."""
        left = self.deadline - now
        return None if left == math.inf else max(left, 0.001)

    def span(self) -> float | None:
        """The seconds the call was given, for its error message."""
        return None if self.deadline == math.inf else round(self.deadline - self.started, 1)

    def give_up(self, failure: Failure) -> Failure:
        failure.sent = self.sent or failure.sent
        failure.seconds = self.span()
        return failure

    def pause(self, failure: Failure, now: float) -> float | None:
        """Seconds to wait before the next attempt, or None to give up."""
        self.count += 1
        self.sent = self.sent or failure.sent
        if not failure.retryable:
            return None
        if self.deadline == math.inf and self.count >= _MAX_ATTEMPTS_WITHOUT_DEADLINE:
            return None
        left = self.deadline - now - _MIN_ATTEMPT_SECONDS
        if failure.retry_after is not None:
            # The server said when; earlier is pointless, later is past the deadline.
            return failure.retry_after if failure.retry_after <= left else None
        if left <= 0:
            return None
        backoff = min(_BACKOFF_CAP, _BACKOFF_FIRST * 2 ** (self.count - 1))
        return min(random.uniform(backoff / 2, backoff), left)
