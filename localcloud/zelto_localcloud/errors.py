"""Errors that the API answers with a JSON body {"error": {"code", "message"}}."""

import math


class ApiError(Exception):
    """A failure that maps to one HTTP status and one error code of the protocol."""

    def __init__(self, status: int, code: str, message: str, *, retry_after: float | None = None):
        super().__init__(message)
        self.status = status
        self.code = code
        self.message = message
        # Seconds after which the same request may succeed: sent as Retry-After.
        self.retry_after = retry_after

    def headers(self) -> dict[str, str]:
        return {} if self.retry_after is None else {"Retry-After": str(max(1, math.ceil(self.retry_after)))}

    def body(self) -> dict:
        return {"error": {"code": self.code, "message": self.message}}


def invalid_json(message: str) -> ApiError:
    return ApiError(400, "invalid_json", message)


def validation_error(message: str) -> ApiError:
    return ApiError(400, "validation_error", message)


def unauthorized(message: str) -> ApiError:
    return ApiError(401, "unauthorized", message)


def forbidden(message: str) -> ApiError:
    return ApiError(403, "forbidden", message)


def not_found(message: str) -> ApiError:
    return ApiError(404, "not_found", message)


def conflict(code: str, message: str) -> ApiError:
    return ApiError(409, code, message)


def expired(message: str) -> ApiError:
    return ApiError(410, "approval_expired", message)


def payload_too_large(limit: int) -> ApiError:
    return ApiError(413, "payload_too_large", f"request body is larger than {limit} bytes")


def request_timeout(message: str) -> ApiError:
    return ApiError(408, "request_timeout", message)


def too_many_attempts(message: str, retry_after: float | None = None) -> ApiError:
    return ApiError(429, "too_many_attempts", message, retry_after=retry_after)


def quota_exceeded(message: str, retry_after: float) -> ApiError:
    return ApiError(429, "quota_exceeded", message, retry_after=retry_after)
