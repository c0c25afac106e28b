"""Errors raised by the Zelto Cloud client and the approval handlers."""

from __future__ import annotations

__all__ = [
    "ZeltoCloudError",
    "ApprovalDeniedError",
    "ApprovalExpiredError",
    "ApprovalTimeoutError",
]


class ZeltoCloudError(Exception):
    """A call to Zelto Cloud failed.

    ``status_code`` is the HTTP status of the answer that caused the error, or
    None when no answer came back (the server was unreachable, the connection
    broke, the call timed out) or the error is not about an HTTP exchange.
    ``code`` is the server's machine-readable error code, when it sent one.
    """

    def __init__(self, message: str, *, status_code: int | None = None, code: str | None = None) -> None:
        super().__init__(message)
        self.message = message
        self.status_code = status_code
        self.code = code

    def __reduce__(self):
        return _rebuild, (type(self), self.args, self.__dict__)


class ApprovalDeniedError(ZeltoCloudError):
    """The cloud reports the approval request as denied."""


class ApprovalExpiredError(ZeltoCloudError):
    """The cloud reports the approval request as expired."""


class ApprovalTimeoutError(ZeltoCloudError):
    """An approval request was still pending when the caller stopped waiting."""

    def __init__(self, request_id: str, timeout: float) -> None:
        super().__init__(f"approval request {request_id} was not resolved within {timeout} seconds")
        self.request_id = request_id
        self.timeout = timeout


def _rebuild(cls, args, state):
    # Keyword-only constructor arguments do not survive the default pickling,
    # so errors are rebuilt from their state instead (process pools, Temporal).
    error = Exception.__new__(cls)
    error.args = args
    error.__dict__.update(state)
    return error
