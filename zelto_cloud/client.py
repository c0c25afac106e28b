"""HTTP clients of the Zelto Cloud API.

The wire protocol is described in ``docs/cloud-api.md``.  Both clients speak
it over httpx with TLS verification on; :class:`ZeltoCloudClient` blocks,
:class:`AsyncZeltoCloudClient` is awaited.  Every failure is raised as a
:class:`~zelto_cloud.exceptions.ZeltoCloudError` (or one of its subclasses).

    with ZeltoCloudClient(api_key) as client:
        created = client.create_request(**payload.to_create_request_kwargs())
        current = client.get_request(created["id"])
"""

from __future__ import annotations

import base64
import json
import logging
import math
import re
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any
from urllib.parse import quote

import httpx

from .exceptions import ApprovalDeniedError, ApprovalExpiredError, ZeltoCloudError

__all__ = [
    "ApproverCredential",
    "DEFAULT_BASE_URL",
    "DEFAULT_DASHBOARD_URL",
    "DEFAULT_TIMEOUT",
    "ZeltoCloudClient",
    "AsyncZeltoCloudClient",
]

DEFAULT_BASE_URL = "https://api.zelto.cloud"
DEFAULT_DASHBOARD_URL = "https://app.zelto.cloud"
DEFAULT_TIMEOUT = 10.0

logger = logging.getLogger("zelto_cloud.client")

_REQUESTS_PATH = "/v1/approvals/requests"
_USER_AGENT = "zelto-cloud-python/0.1.0"
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
_ERROR_TEXT_LIMIT = 300
_BYTES_TYPES = (bytes, bytearray, memoryview)


@dataclass(frozen=True)
class _Call:
    """One API call: what to send, and how to read the JSON object that comes back."""

    method: str
    path: str
    read: Callable[[dict], Any]
    body: dict | None = None
    params: dict | None = None
    headers: dict | None = None


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
    if not isinstance(responses, list) or not all(isinstance(r, dict) for r in responses):
        raise ValueError("request object has responses that are not a list of objects")
    result = dict(data)
    result["responses"] = responses
    result.setdefault("denied_reason", None)
    result.setdefault("reason", None)
    return result


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


def _create_call(fields: dict) -> _Call:
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
    headers = {"Idempotency-Key": body["idempotency_key"]} if body.get("idempotency_key") else None
    return _Call("POST", _REQUESTS_PATH, _request_object, body=body, headers=headers)


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


def _get_call(request_id: str) -> _Call:
    return _Call("GET", _request_path(request_id), _request_object)


def _list_call(status: str | None, limit: int) -> _Call:
    params = {"limit": limit} if status is None else {"status": status, "limit": limit}
    return _Call("GET", _REQUESTS_PATH, _list_of("requests", _request_object), params=params)


def _approve_call(request_id: str, approver: Any) -> _Call:
    headers = _approver_headers(approver)
    body = {"approver": approver.name}
    return _Call("POST", _request_path(request_id, "approve"), _request_object, body=body, headers=headers)


def _deny_call(request_id: str, approver: Any, reason: str | None) -> _Call:
    headers = _approver_headers(approver)
    body = {"approver": approver.name}
    if reason is not None:
        body["reason"] = reason
    return _Call("POST", _request_path(request_id, "deny"), _request_object, body=body, headers=headers)


def _approvers_call() -> _Call:
    return _Call("GET", "/v1/approvers", _list_of("approvers", _approver))


def _receipt_call(receipt: Mapping) -> _Call:
    if not isinstance(receipt, Mapping):
        raise TypeError("receipt must be a mapping of JSON values")
    return _Call("POST", "/v1/receipts", _acknowledgement, body={"receipt": dict(receipt)})


# --- the exchange ----------------------------------------------------------


def _json_default(value: Any) -> Any:
    if isinstance(value, _BYTES_TYPES):
        return bytes(value).hex()
    raise TypeError(f"a value of type {type(value).__name__} cannot be sent as JSON")


def _request_arguments(call: _Call) -> dict:
    headers = dict(call.headers or {})
    content = None
    if call.body is not None:
        content = json.dumps(call.body, default=_json_default, allow_nan=False, ensure_ascii=False).encode()
        headers["Content-Type"] = "application/json"
    return {"method": call.method, "url": call.path, "content": content, "params": call.params, "headers": headers}


def _redacted(text: str, secret: str | None) -> str:
    return text.replace(secret, "***") if secret else text


def _transport_error(call: _Call, exc: httpx.RequestError, secret: str | None) -> ZeltoCloudError:
    detail = _redacted(str(exc), secret) or "no details"
    return ZeltoCloudError(f"{call.method} {call.path} did not reach Zelto Cloud: {type(exc).__name__}: {detail}")


def _server_error_text(response: httpx.Response) -> tuple[str | None, str]:
    """The error code and message of an error answer, or a bounded excerpt of its body."""
    try:
        error = json.loads(response.content).get("error")
    except (ValueError, AttributeError):
        error = None
    if isinstance(error, dict) and isinstance(error.get("message"), str):
        code = error.get("code") if isinstance(error.get("code"), str) else None
        return code, error["message"]
    if isinstance(error, str):
        return None, error
    excerpt = response.text.strip()[:_ERROR_TEXT_LIMIT]
    return None, excerpt or "no error details"


def _status_error(call: _Call, response: httpx.Response, secret: str | None) -> ZeltoCloudError:
    status = response.status_code
    code, text = _server_error_text(response)
    label = f"{text} ({code})" if code else text
    message = _redacted(f"Zelto Cloud answered {status} {response.reason_phrase} to {call.method} {call.path}: {label}", secret)
    if code == "approval_denied":
        error_class = ApprovalDeniedError
    elif code == "approval_expired" or status == 410:
        error_class = ApprovalExpiredError
    else:
        error_class = ZeltoCloudError
    return error_class(message, status_code=status, code=code)


def _read(call: _Call, response: httpx.Response, secret: str | None) -> Any:
    status = response.status_code
    logger.debug("%s %s -> %d", call.method, call.path, status)
    if not 200 <= status < 300:
        raise _status_error(call, response, secret)
    try:
        data = json.loads(response.content)
        if not isinstance(data, dict):
            raise ValueError("the body is not a JSON object")
        return call.read(data)
    except ValueError as exc:
        raise ZeltoCloudError(
            f"malformed answer from Zelto Cloud to {call.method} {call.path}: {exc}", status_code=status
        ) from exc


def _send(http: httpx.Client, call: _Call, secret: str | None = None) -> Any:
    try:
        response = http.request(**_request_arguments(call))
    except httpx.RequestError as exc:
        raise _transport_error(call, exc, secret) from exc
    return _read(call, response, secret)


async def _send_async(http: httpx.AsyncClient, call: _Call, secret: str | None = None) -> Any:
    try:
        response = await http.request(**_request_arguments(call))
    except httpx.RequestError as exc:
        raise _transport_error(call, exc, secret) from exc
    return _read(call, response, secret)


def _checked_base_url(base_url: str) -> str:
    if not isinstance(base_url, str):
        raise TypeError("base_url must be a string")
    try:
        url = httpx.URL(base_url)
    except httpx.InvalidURL as exc:
        raise ValueError(f"base_url {base_url!r} is not a valid URL") from exc
    if url.scheme not in ("http", "https") or not url.host:
        raise ValueError(f"base_url {base_url!r} must be an http or https URL with a host")
    return base_url.rstrip("/")


def _bearer_header(api_key: Any) -> dict:
    if not isinstance(api_key, str) or not _API_KEY_PATTERN.fullmatch(api_key):
        # The message must not echo the key.
        raise ValueError("api_key must be a non-empty string of printable ASCII characters without spaces")
    return {"Authorization": f"Bearer {api_key}"}


def _http_options(base_url: str, timeout: Any, headers: dict | None = None) -> dict:
    """Keyword arguments for an httpx client of the API."""
    return {
        "base_url": _checked_base_url(base_url),
        "timeout": timeout,
        "headers": {"Accept": "application/json", "User-Agent": _USER_AGENT, **(headers or {})},
        "follow_redirects": False,
    }


class _ClientBase:
    _http_class: type

    def __init__(self, api_key: str, *, base_url: str = DEFAULT_BASE_URL, timeout: Any = DEFAULT_TIMEOUT) -> None:
        options = _http_options(base_url, timeout, _bearer_header(api_key))
        self.base_url = options["base_url"]
        self.timeout = timeout
        self._api_key = api_key
        self._http = self._http_class(**options)

    def __repr__(self) -> str:
        return f"{type(self).__name__}(base_url={self.base_url!r})"


class ZeltoCloudClient(_ClientBase):
    """Blocking client of the Zelto Cloud API.

    ``ZeltoCloudClient(api_key, base_url=..., timeout=10.0)``; use it as a
    context manager, or call :meth:`close` when done (closing twice is fine).
    """

    _http_class = httpx.Client

    def __enter__(self) -> ZeltoCloudClient:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        self._http.close()

    def _call(self, call: _Call) -> Any:
        return _send(self._http, call, self._api_key)

    def create_request(self, **fields: Any) -> dict:
        """Create an approval request from the twelve payload fields; returns the request object."""
        return self._call(_create_call(fields))

    def get_request(self, request_id: str) -> dict:
        """The current request object of ``request_id``."""
        return self._call(_get_call(request_id))

    def list_requests(self, status: str | None = None, limit: int = 50) -> list[dict]:
        """Request objects, newest first, optionally only those with ``status``."""
        return self._call(_list_call(status, limit))

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
    """The awaitable twin of :class:`ZeltoCloudClient`, for ``async with``."""

    _http_class = httpx.AsyncClient

    async def __aenter__(self) -> AsyncZeltoCloudClient:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.close()

    async def close(self) -> None:
        await self._http.aclose()

    async def _call(self, call: _Call) -> Any:
        return await _send_async(self._http, call, self._api_key)

    async def create_request(self, **fields: Any) -> dict:
        return await self._call(_create_call(fields))

    async def get_request(self, request_id: str) -> dict:
        return await self._call(_get_call(request_id))

    async def list_requests(self, status: str | None = None, limit: int = 50) -> list[dict]:
        return await self._call(_list_call(status, limit))

    async def approve_request(self, request_id: str, *, approver: ApproverCredential) -> dict:
        return await self._call(_approve_call(request_id, approver))

    async def deny_request(self, request_id: str, *, approver: ApproverCredential, reason: str | None = None) -> dict:
        return await self._call(_deny_call(request_id, approver, reason))

    async def list_approvers(self) -> list[dict]:
        return await self._call(_approvers_call())

    async def send_receipt(self, receipt: Mapping) -> dict:
        return await self._call(_receipt_call(receipt))
