"""HTTP clients of the Zelto Cloud API.

The wire protocol is described in ``docs/cloud-api.md``.  Both clients speak
it over HTTP/1.1 with TLS verification on; :class:`ZeltoCloudClient` blocks,
:class:`AsyncZeltoCloudClient` is awaited.  Every failure is raised as a
:class:`~zelto_cloud.exceptions.ZeltoCloudError` (or one of its subclasses).

    with ZeltoCloudClient(api_key) as client:
        created = client.create_request(**payload.to_create_request_kwargs())
        current = client.get_request(created["id"])
"""

from __future__ import annotations

import asyncio
import base64
import contextvars
import functools
import hashlib
import math
import re
import secrets
import time
import weakref
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any
from urllib.parse import quote

from ._batch import StatusBatcher
from ._http import deadlines
from ._http.calls import LIST_ANSWER_LIMIT, RETRY_ALWAYS, Call
from ._http.config import DEFAULT_BASE_URL, Secret, checked_base_url, checked_timeout
from ._http.exchange import send, send_async
from ._http.pools import AsyncPool, async_pools, sync_pools

__all__ = [
    "ApproverCredential",
    "DEFAULT_BASE_URL",
    "DEFAULT_DASHBOARD_URL",
    "DEFAULT_TIMEOUT",
    "ZeltoCloudClient",
    "AsyncZeltoCloudClient",
]

DEFAULT_DASHBOARD_URL = "https://app.zelto.cloud"
DEFAULT_TIMEOUT = 10.0

_REQUESTS_PATH = "/v1/approvals/requests"
_REQUIRED_FIELDS = (
    "warrant_id",
    "tool",
    "request_hash",
    "holder_key",
    "args_canonical_cbor_b64",
    "approval_context_attestation",
)
_OPTIONAL_FIELDS = ("metadata", "policy_id", "threshold", "approver_keys", "ttl_seconds", "idempotency_key")
_API_KEY_PATTERN = re.compile(r"[\x21-\x7e]+")
_IDEMPOTENCY_PREFIX = "zc_"
_HEADER_TEXT = re.compile(r"[\x20-\x7e]+")
_BYTES_TYPES = (bytes, bytearray, memoryview)


@dataclass(frozen=True)
class ApproverCredential:
    """An approver's name and password, for the approve and deny calls.

    Only a signed-in approver can approve or deny, and the approval is signed
    with that approver's key: an API key cannot do either.
    """

    name: str
    password: str = field(repr=False)

    def __post_init__(self) -> None:
        if not isinstance(self.name, str) or not self.name or ":" in self.name:
            raise ValueError("an approver name is non-empty text without ':'")
        if not isinstance(self.password, str) or not self.password:
            raise ValueError("an approver password is non-empty text")

    def authorization(self) -> str:
        pair = f"{self.name}:{self.password}".encode("utf-8")
        return "Basic " + base64.b64encode(pair).decode("ascii")


# --- reading answers -------------------------------------------------------


def _request_object(data: dict) -> dict:
    """Check a request object and make sure the keys the handlers read exist."""
    if not isinstance(data.get("id"), str) or not data["id"]:
        raise ValueError("request object has no id")
    if not isinstance(data.get("status"), str):
        raise ValueError("request object has no status")
    responses = data.get("responses")
    if responses is None:
        responses = []
    if not isinstance(responses, list):
        raise ValueError("request object has responses that are not a list of objects")
    for response in responses:
        if not isinstance(response, dict):
            raise ValueError("request object has responses that are not a list of objects")
    # ``data`` is the answer's own, just decoded: completed in place.
    data["responses"] = responses
    data.setdefault("denied_reason", None)
    data.setdefault("reason", None)
    return data


def _list_of(key: str, read_item: Callable[[dict], Any]) -> Callable[[dict], list]:
    def read(data: dict) -> list:
        items = data.get(key)
        if not isinstance(items, list) or not all(isinstance(item, dict) for item in items):
            raise ValueError(f"{key!r} is not a list of objects")
        return [read_item(item) for item in items]

    return read


def _approver(data: dict) -> dict:
    if not isinstance(data.get("name"), str) or not isinstance(data.get("public_key"), str):
        raise ValueError("approver without name or public_key")
    return data


def _acknowledgement(data: dict) -> dict:
    if not isinstance(data.get("id"), str) or not data["id"]:
        raise ValueError("acknowledgement has no id")
    return data


# --- building calls --------------------------------------------------------


def _hex_if_bytes(value: Any) -> Any:
    return bytes(value).hex() if isinstance(value, _BYTES_TYPES) else value


def _displayable(value: Any) -> Any:
    """Tool arguments as JSON for the dashboard; what JSON cannot hold is shown as text."""
    if isinstance(value, Mapping):
        return {str(key): _displayable(item) for key, item in value.items()}
    if isinstance(value, (list, tuple, set, frozenset)):
        return [_displayable(item) for item in value]
    if isinstance(value, _BYTES_TYPES):
        return bytes(value).hex()
    if isinstance(value, float) and not math.isfinite(value):
        return str(value)
    if value is None or isinstance(value, (str, int, float)):
        return value
    return str(value)


def _create_call(fields: dict) -> Call:
    unknown = sorted(set(fields) - set(_REQUIRED_FIELDS) - set(_OPTIONAL_FIELDS))
    if unknown:
        raise TypeError(f"create_request() got unexpected keyword arguments: {', '.join(unknown)}")
    missing = [name for name in _REQUIRED_FIELDS if name not in fields]
    if missing:
        raise TypeError(f"create_request() missing required keyword arguments: {', '.join(missing)}")
    body = {name: value for name, value in fields.items() if value is not None}
    body["request_hash"] = _hex_if_bytes(body["request_hash"])
    body["holder_key"] = _hex_if_bytes(body["holder_key"])
    if "approver_keys" in body:
        body["approver_keys"] = [_hex_if_bytes(key) for key in body["approver_keys"]]
    if "metadata" in body:
        body["metadata"] = _displayable(body["metadata"])
    # Without a key of the caller's, one made for this call alone lets a create
    # whose answer was lost be sent again without making a second request.
    key = body.get("idempotency_key") or _IDEMPOTENCY_PREFIX + secrets.token_hex(16)
    if not isinstance(key, str) or not _HEADER_TEXT.fullmatch(key):
        # It goes out as a header too: a line break would end the request's head early.
        raise ValueError("idempotency_key must be text of printable ASCII characters")
    headers = {"Idempotency-Key": key}
    return Call("POST", _REQUESTS_PATH, _request_object, body=body, headers=headers, retry=RETRY_ALWAYS,
                idempotency_key=key)


def _request_path(request_id: str, action: str = "") -> str:
    if not isinstance(request_id, str) or not request_id:
        raise ValueError("request_id must be a non-empty string")
    path = f"{_REQUESTS_PATH}/{quote(request_id, safe='')}"
    return f"{path}/{action}" if action else path


def _approver_headers(approver: Any) -> dict:
    if not isinstance(approver, ApproverCredential):
        raise TypeError(
            "approver must be an ApproverCredential(name, password): only a signed-in approver"
            " can approve or deny, never an API key"
        )
    return {"Authorization": approver.authorization()}


def _get_call(request_id: str) -> Call:
    if not isinstance(request_id, str) or not request_id:
        raise ValueError("request_id must be a non-empty string")
    return _read_call(request_id)


@functools.lru_cache(maxsize=1024)
def _read_call(request_id: str) -> Call:
    """A request's read; calls are immutable, and a waiting approval reads the same request over and over."""
    return Call("GET", _request_path(request_id), _request_object, retry=RETRY_ALWAYS)


def _list_call(status: str | None, limit: int, cursor: str | None = None) -> Call:
    """One page of the list; reads to (request objects, the next page's cursor or None)."""
    params = {"limit": limit} if status is None else {"status": status, "limit": limit}
    if cursor is not None:
        params["cursor"] = cursor
    items = _list_of("requests", _request_object)

    def read(data: dict) -> tuple[list, str | None]:
        next_cursor = data.get("next_cursor")
        return items(data), next_cursor if isinstance(next_cursor, str) and next_cursor else None

    return Call("GET", _REQUESTS_PATH, read, params=params, retry=RETRY_ALWAYS, limit=LIST_ANSWER_LIMIT)


def _approve_call(request_id: str, approver: Any) -> Call:
    headers = _approver_headers(approver)
    body = {"approver": approver.name}
    return Call("POST", _request_path(request_id, "approve"), _request_object, body=body, headers=headers)


def _deny_call(request_id: str, approver: Any, reason: str | None) -> Call:
    headers = _approver_headers(approver)
    body = {"approver": approver.name}
    if reason is not None:
        body["reason"] = reason
    return Call("POST", _request_path(request_id, "deny"), _request_object, body=body, headers=headers)


def _approvers_call() -> Call:
    return Call("GET", "/v1/approvers", _list_of("approvers", _approver), retry=RETRY_ALWAYS, limit=LIST_ANSWER_LIMIT)


def _receipt_call(receipt: Mapping) -> Call:
    if not isinstance(receipt, Mapping):
        raise TypeError("receipt must be a mapping of JSON values")
    return Call("POST", "/v1/receipts", _acknowledgement, body={"receipt": dict(receipt)})


# --- the approval handlers' deadline ------------------------------------------
#
# The handlers (zelto_cloud.approval, zelto_cloud.langgraph) make their client
# calls exactly as before; they only mark the stretch of their own time-out
# with these, and every call made inside it, whatever client makes it, is
# bounded by that time-out (see _http.deadlines.handler_deadline).


def _begin_handler_deadline(timeout: Any) -> contextvars.Token | None:
    """Starts a handler's deadline ``timeout`` seconds from now (0 when negative); none for an
    infinite time-out. Returns the token for :func:`_end_handler_deadline`."""
    seconds = float(timeout)
    if math.isnan(seconds):
        raise ValueError("timeout must be a number of seconds, not NaN")
    if seconds == math.inf:
        return None
    return deadlines.handler_deadline.set(time.monotonic() + max(seconds, 0.0))


def _end_handler_deadline(token: contextvars.Token | None) -> None:
    if token is None:
        return
    try:
        deadlines.handler_deadline.reset(token)
    except ValueError:
        pass  # ended from another context (a coroutine closed by the collector): nothing to restore


def _handler_time_left() -> float | None:
    """Seconds left before the current handler's deadline (may be negative); None outside one."""
    deadline = deadlines.handler_deadline.get()
    return None if deadline is None else deadline - time.monotonic()


# --- the clients -------------------------------------------------------------


def _checked_api_key(key: Secret) -> None:
    value = key.reveal()
    if not isinstance(value, str) or not _API_KEY_PATTERN.fullmatch(value):
        # The message must not echo the key.
        raise ValueError("api_key must be a non-empty string of printable ASCII characters without spaces")


class _ClientBase:
    def __init__(self, api_key: str, *, base_url: str = DEFAULT_BASE_URL, timeout: Any = DEFAULT_TIMEOUT) -> None:
        key = Secret(api_key)
        del api_key  # from here on the key is only in its masking holder
        _checked_api_key(key)
        self.base_url = checked_base_url(base_url)
        self.timeout = timeout
        self._deadline = checked_timeout(timeout)
        self._secret = key
        self._closed = False

    def __repr__(self) -> str:
        return f"{type(self).__name__}(base_url={self.base_url!r})"

    def _send_options(self) -> dict:
        return {"base_url": self.base_url, "timeout": self._deadline, "secret": self._secret, "auth": self._secret}


class ZeltoCloudClient(_ClientBase):
    """Blocking client of the Zelto Cloud API.

    ``ZeltoCloudClient(api_key, base_url=..., timeout=10.0)``; use it as a
    context manager, or call :meth:`close` when done (closing twice is fine).
    ``timeout`` bounds each call as a whole, retries included; inside an
    approval handler the handler's time-out bounds it instead (a read or a
    create keeps trying through an outage until then, each attempt within
    ``timeout``).  Clients are cheap: open clients of one base URL share their
    connections.
    """

    def __init__(self, api_key: str, *, base_url: str = DEFAULT_BASE_URL, timeout: Any = DEFAULT_TIMEOUT) -> None:
        super().__init__(api_key, base_url=base_url, timeout=timeout)
        self._http = sync_pools.acquire(self.base_url)
        # A client that is dropped without close() still gives its lease back.
        self._lease = weakref.finalize(self, sync_pools.release_later, self.base_url, self._http)

    def __enter__(self) -> ZeltoCloudClient:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        self._closed = True
        if self._lease.detach() is not None:
            sync_pools.release(self.base_url, self._http)

    def _call(self, call: Call) -> Any:
        if self._closed:
            raise RuntimeError("the client has been closed")
        return send(self._http, call, base_url=self.base_url, timeout=self._deadline, secret=self._secret,
                    auth=self._secret)

    def create_request(self, **fields: Any) -> dict:
        """Create an approval request from the twelve payload fields; returns the request object."""
        return self._call(_create_call(fields))

    def get_request(self, request_id: str) -> dict:
        """The current request object of ``request_id``."""
        return self._call(_get_call(request_id))

    def list_requests(self, status: str | None = None, limit: int = 50) -> list[dict]:
        """Request objects, newest first, optionally only those with ``status``.

        The cloud answers in pages; this follows them until ``limit`` objects are read or none are left.
        A listed object whose ``metadata`` is large holds a summary in its place; ``get_request`` reads it whole.
        """
        found, cursor = [], None
        while True:
            page, cursor = self._call(_list_call(status, limit - len(found), cursor))
            found += page
            if cursor is None or len(found) >= limit or not page:
                return found[:limit]

    def approve_request(self, request_id: str, *, approver: ApproverCredential) -> dict:
        """Approve, signed in as ``approver``; returns the request object."""
        return self._call(_approve_call(request_id, approver))

    def deny_request(self, request_id: str, *, approver: ApproverCredential, reason: str | None = None) -> dict:
        """Deny, signed in as ``approver``, optionally with a reason; returns the request object."""
        return self._call(_deny_call(request_id, approver, reason))

    def list_approvers(self) -> list[dict]:
        """The tenant's approvers: ``{"name": ..., "public_key": <hex>}`` each."""
        return self._call(_approvers_call())

    def send_receipt(self, receipt: Mapping) -> dict:
        """Store one receipt; returns ``{"id": ...}``."""
        return self._call(_receipt_call(receipt))


class AsyncZeltoCloudClient(_ClientBase):
    """The awaitable twin of :class:`ZeltoCloudClient`, for ``async with``.

    A client belongs to the event loop of its first call.  Open clients of
    one loop and base URL share their connections, and their ``get_request``
    calls go out together as batch reads when the cloud has them.
    """

    def __init__(self, api_key: str, *, base_url: str = DEFAULT_BASE_URL, timeout: Any = DEFAULT_TIMEOUT) -> None:
        super().__init__(api_key, base_url=base_url, timeout=timeout)
        self._http = None
        self._loop = None
        self._lease = None
        self._batch_key = None

    async def __aenter__(self) -> AsyncZeltoCloudClient:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.close()

    async def close(self) -> None:
        self._closed = True
        lease, self._lease = self._lease, None
        if lease is None or lease.detach() is None:
            return
        if async_pools.release(self._loop, self.base_url, self._http):
            if asyncio.get_running_loop() is self._loop:
                await self._http.aclose()

    def _pool(self) -> AsyncPool:
        if self._closed:
            raise RuntimeError("the client has been closed")
        loop = asyncio.get_running_loop()
        if self._http is None:
            self._http = async_pools.acquire(loop, self.base_url)
            self._loop = loop
            self._lease = weakref.finalize(self, async_pools.release, loop, self.base_url, self._http)
        elif loop is not self._loop:
            raise RuntimeError("the client is bound to the event loop of its first call")
        return self._http

    async def _call(self, call: Call) -> Any:
        return await send_async(self._pool(), call, **self._send_options())

    async def create_request(self, **fields: Any) -> dict:
        return await self._call(_create_call(fields))

    async def get_request(self, request_id: str) -> dict:
        # Reads of many clients on this loop go out together (see _batch).
        call = _get_call(request_id)
        http = self._pool()
        batcher = async_pools.batcher(self._loop, self.base_url, self._key_id(), self._new_batcher)
        started = self._loop.time()
        if batcher is not None:
            found = await batcher.read(request_id, call, self._deadline)
            if found is not None:
                return found
        return await send_async(http, call, **self._send_options(), started=started)

    def _key_id(self) -> bytes:
        if self._batch_key is None:
            self._batch_key = hashlib.sha256(self._secret.reveal().encode()).digest()
        return self._batch_key

    def _new_batcher(self, pool: AsyncPool) -> StatusBatcher:
        return StatusBatcher(self._loop, pool, base_url=self.base_url, secret=self._secret, auth=self._secret,
                             read_request=_request_object)

    async def list_requests(self, status: str | None = None, limit: int = 50) -> list[dict]:
        found, cursor = [], None
        while True:
            page, cursor = await self._call(_list_call(status, limit - len(found), cursor))
            found += page
            if cursor is None or len(found) >= limit or not page:
                return found[:limit]

    async def approve_request(self, request_id: str, *, approver: ApproverCredential) -> dict:
        return await self._call(_approve_call(request_id, approver))

    async def deny_request(self, request_id: str, *, approver: ApproverCredential, reason: str | None = None) -> dict:
        return await self._call(_deny_call(request_id, approver, reason))

    async def list_approvers(self) -> list[dict]:
        return await self._call(_approvers_call())

    async def send_receipt(self, receipt: Mapping) -> dict:
        return await self._call(_receipt_call(receipt))
