"""A call as data: what to send, how to read the JSON object that comes back, what may be tried again."""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Any, Callable

import httpx

ANSWER_LIMIT = 1024 * 1024  # one request object, acknowledgement or connect answer
LIST_ANSWER_LIMIT = 16 * 1024 * 1024  # up to 500 request objects

# Which failures a call may try again, within its deadline.
RETRY_ALWAYS = "always"  # reads, and creates (always sent under an idempotency key)
RETRY_UNSENT = "unsent"  # everything else: only when the server certainly did not act


@dataclass(frozen=True)
class Call:
    """One API call.

    ``retry`` says which failures may be tried again; ``limit`` is the largest
    answer, in bytes, that is read; a call that is not ``gated`` bounds itself
    (the batch reads) and does not queue behind the others of its pool.
    """

    method: str
    path: str
    read: Callable[[dict], Any]
    body: dict | None = None
    params: dict | None = None
    headers: dict | None = None
    retry: str = RETRY_UNSENT
    limit: int = ANSWER_LIMIT
    idempotency_key: str | None = None  # a create's: named in its error when it gets no definite answer
    gated: bool = True


def _json_default(value: Any) -> Any:
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value).hex()
    raise TypeError(f"a value of type {type(value).__name__} cannot be sent as JSON")


def encoded_body(call: Call) -> bytes | None:
    if call.body is None:
        return None
    return json.dumps(call.body, default=_json_default, allow_nan=False, ensure_ascii=False).encode()


def target(base_path: str, call: Call) -> str:
    """The request target: the base URL's path, the call's path and its query."""
    if call.params:
        return f"{base_path}{call.path}?{httpx.QueryParams(call.params)}"
    return base_path + call.path


def call_headers(call: Call, auth: Any, has_body: bool) -> dict[str, str]:
    """The headers of this call beyond the pool's fixed ones: its own, the API key unless it carries
    credentials of its own (an approver's), and the body's type."""
    extra = call.headers
    headers = dict(extra) if extra else {}
    if auth is not None and "Authorization" not in headers:
        headers["Authorization"] = "Bearer " + auth.reveal()
    if has_body:
        headers["Content-Type"] = "application/json"
    return headers
