"""What an attempt came to: a result, or a Failure that knows how to word its error."""

from __future__ import annotations

import email.utils
import html
import json
import logging
import re
import ssl
import time
from collections.abc import Mapping
from typing import Any, Callable, Protocol

import httpx

from ..exceptions import ApprovalDeniedError, ApprovalExpiredError, ZeltoCloudError
from .calls import RETRY_ALWAYS, RETRY_UNSENT, Call
from .config import DEFAULT_BASE_URL, Secret, is_loopback

logger = logging.getLogger("zelto_cloud.client")

ERROR_BODY_LIMIT = 64 * 1024  # of an error answer only this much is read
_ERROR_TEXT_LIMIT = 300
# Neither part of the title pattern runs past the next "<": a page of many unclosed
# titles is searched in linear time.
_HTML_TITLE = re.compile(rb"<title[^<>]*>([^<]*)</title", re.I)
_HTML_TAG = re.compile(rb"<[^>]*>|<[^>]*$")
_RETRY_STATUSES = {RETRY_ALWAYS: frozenset({429, 502, 503, 504}), RETRY_UNSENT: frozenset({429})}


class AnswerHead(Protocol):
    """The status line and headers of an answer (an httpx.Response is one; header names in lower case)."""

    @property
    def status_code(self) -> int: ...

    @property
    def reason_phrase(self) -> str: ...

    @property
    def headers(self) -> Mapping[str, str]: ...


class Failure:
    """A failed attempt: how to word its error, its cause, and whether a retry may help.

    The error is made for a call and a timeout, so that a batch read's failure
    reads, for each caller, as the failure of that caller's own read.
    ``sent`` is False only when the server certainly did not act on the call.
    """

    __slots__ = ("make", "cause", "retryable", "retry_after", "status", "sent", "seconds")

    def __init__(self, make: Callable[[Call, float | None], ZeltoCloudError], cause=None, retryable=False,
                 retry_after=None, status: int | None = None, sent: bool = True) -> None:
        self.make, self.cause, self.retryable, self.retry_after = make, cause, retryable, retry_after
        self.status, self.sent = status, sent
        self.seconds = None  # what the call was given, when a handler's deadline set it

    def error_for(self, call: Call, timeout: float | None) -> ZeltoCloudError:
        error = self.make(call, timeout)
        key = call.idempotency_key
        if key is not None and (self.status is None or self.retryable or self.status >= 500):
            # A create that got no definite answer: say whether it may exist, and how to find it.
            if self.sent:
                note = (f"; the approval request may have been stored under idempotency key {key}: creating it"
                        " again with that key returns it instead of making a second one")
            else:
                note = f"; the approval request was not stored (idempotency key {key})"
            error = type(error)(error.message + note, status_code=error.status_code, code=error.code)
            error.idempotency_key, error.may_be_stored = key, self.sent
        error.__cause__ = self.cause
        error.__suppress_context__ = True
        return error


def _seconds(timeout: float | None) -> str:
    return "" if timeout is None else f" within {timeout:g} s"


def _hint(base_url: str) -> str:
    if base_url == DEFAULT_BASE_URL or is_loopback(base_url):
        return "; start the local cloud with `zelto-localcloud`, or pass base_url= the address of your cloud"
    return ""


def _is_tls_failure(exc: BaseException) -> bool:
    seen = set()
    while exc is not None and id(exc) not in seen:
        if isinstance(exc, ssl.SSLError):
            return True
        seen.add(id(exc))
        exc = exc.__cause__ or exc.__context__
    return False


def transport_failure(call: Call, exc: Exception, base_url: str, timeout: float | None, secret: Secret | None) -> Failure:
    """A failure without an answer: nothing sent ("could not connect") or perhaps sent ("no answer")."""
    detail = _redact(f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__, secret)
    # A timed-out attempt is tried again only while its call's deadline (a
    # handler's, longer than one attempt) leaves time for it.
    again = call.retry == RETRY_ALWAYS
    if isinstance(exc, (httpx.ConnectTimeout, httpx.PoolTimeout)):
        return Failure(lambda c, t: ZeltoCloudError(f"could not connect to {base_url}{_seconds(t)}"), exc,
                       retryable=again, sent=False)
    if isinstance(exc, httpx.ConnectError):
        if _is_tls_failure(exc):
            return Failure(lambda c, t: ZeltoCloudError(f"could not connect to {base_url}: TLS failed: {detail}"), exc,
                           sent=False)
        message = f"could not connect to {base_url}: {detail}{_hint(base_url)}"
        return Failure(lambda c, t: ZeltoCloudError(message), exc, retryable=True, sent=False)
    if isinstance(exc, (httpx.TimeoutException, TimeoutError)):
        return Failure(lambda c, t: ZeltoCloudError(f"no answer from {base_url}{_seconds(t)} to {c.method} {c.path}"), exc,
                       retryable=again)

    def broke(c, t) -> ZeltoCloudError:
        return ZeltoCloudError(f"no answer from {base_url} to {c.method} {c.path}: the connection broke ({detail})")

    return Failure(broke, exc, retryable=call.retry == RETRY_ALWAYS)


def _redact(text: str, secret: Secret | None) -> str:
    return secret.redact(text) if secret is not None else text


def _retry_after(value: str | None) -> float | None:
    if not value:
        return None
    value = value.strip()
    if value.isdigit():
        return float(value)
    try:
        moment = email.utils.parsedate_to_datetime(value)
    except (TypeError, ValueError):
        return None
    return max(0.0, moment.timestamp() - time.time())


def _html_summary(content: bytes) -> str | None:
    """For a web page where the API's JSON was expected: its title and a hint, not the page."""
    start = content[:512].lstrip().lower()
    if not (start.startswith(b"<!doctype html") or start.startswith(b"<html")):
        return None
    page = content[:ERROR_BODY_LIMIT]
    found = _HTML_TITLE.search(page)
    text = found.group(1) if found else _HTML_TAG.sub(b" ", page)
    words = " ".join(html.unescape(text.decode("utf-8", "replace")).split())
    named = (f" titled {words[:120]!r}" if found else f" ({words[:120]!r})") if words else ""
    return f"an HTML page{named}, not an answer of the API; is base_url the API's address (not the dashboard's)?"


def _server_error_text(content: bytes) -> tuple[str | None, str]:
    """The error code and message of an error answer, or a bounded excerpt of its body."""
    try:
        error = json.loads(content).get("error")
    except (ValueError, AttributeError):
        error = None
    if isinstance(error, dict) and isinstance(error.get("message"), str):
        code = error.get("code") if isinstance(error.get("code"), str) else None
        return code, error["message"][:_ERROR_TEXT_LIMIT]
    if isinstance(error, str):
        return None, error[:_ERROR_TEXT_LIMIT]
    page = _html_summary(content)
    if page is not None:
        return None, page
    excerpt = content[: _ERROR_TEXT_LIMIT * 4].decode("utf-8", "replace").strip()[:_ERROR_TEXT_LIMIT]
    return None, excerpt or "no error details"


def _status_failure(call: Call, response: AnswerHead, content: bytes, secret: Secret | None) -> Failure:
    status, phrase = response.status_code, response.reason_phrase
    code, text = _server_error_text(content)
    label = f"{text} ({code})" if code else text
    if code == "approval_denied":
        error_class = ApprovalDeniedError
    elif code == "approval_expired" or status == 410:
        error_class = ApprovalExpiredError
    else:
        error_class = ZeltoCloudError
    retryable = status in _RETRY_STATUSES[call.retry]
    retry_after = _retry_after(response.headers.get("retry-after")) if retryable else None

    def answered(c, t) -> ZeltoCloudError:
        message = _redact(f"Zelto Cloud answered {status} {phrase} to {c.method} {c.path}: {label}", secret)
        return error_class(message, status_code=status, code=code)

    # Refusals (4xx, and 503: the service says it could not take the call) act on nothing.
    sent = status >= 500 and status != 503
    return Failure(answered, None, retryable, retry_after, status, sent)


def _malformed(call: Call, status: int, problem: str) -> Failure:
    def malformed(c, t) -> ZeltoCloudError:
        return ZeltoCloudError(f"malformed answer from Zelto Cloud to {c.method} {c.path}: {problem}", status_code=status)

    return Failure(malformed, ValueError(problem))


def _too_large(call: Call, status: int, limit: int) -> Failure:
    def too_large(c, t) -> ZeltoCloudError:
        message = f"the answer of Zelto Cloud to {c.method} {c.path} is larger than {limit} bytes; refused"
        return ZeltoCloudError(message, status_code=status)

    return Failure(too_large)


def _headers_kept_as_triples() -> bool:
    """Whether httpx.Headers keeps a list of (name, lower-case name, value) as bytes, as it has so far."""
    try:
        return httpx.Headers({"A-B": "c"})._list == [(b"A-B", b"a-b", b"c")]
    except Exception:
        return False


_HEADERS_KEPT_AS_TRIPLES = _headers_kept_as_triples()


def _header(headers: Mapping[str, str], name: str, default: str) -> str:
    """A header's value (a repeated one's values joined by commas, as httpx joins them), ``name`` in
    lower case. Looked up in httpx.Headers' own list where it can be: a missing header (as those
    looked up for every answer usually are) costs get() a KeyError."""
    if not (_HEADERS_KEPT_AS_TRIPLES and type(headers) is httpx.Headers):
        return headers.get(name, default)
    key = name.encode("ascii")
    found = None
    for _, lower, value in headers._list:  # type: ignore[attr-defined]
        if lower == key:
            found = value if found is None else found + b", " + value
    if found is None:
        return default
    # An ASCII value reads the same in every encoding httpx may choose: the choice is not worked out for it.
    return found.decode("ascii") if found.isascii() else found.decode(headers.encoding)


def encoding_refused(call: Call, response: AnswerHead) -> Failure | None:
    encoding = _header(response.headers, "content-encoding", "identity").strip().lower()
    if encoding in ("", "identity"):
        return None
    status = response.status_code

    def refused(c, t) -> ZeltoCloudError:
        message = f"the answer of Zelto Cloud to {c.method} {c.path} has the content encoding {encoding!r}, which was not asked for"
        return ZeltoCloudError(message, status_code=status)

    return Failure(refused)


def declared_too_long(response: AnswerHead, limit: int) -> bool:
    declared = _header(response.headers, "content-length", "")
    return declared.isdigit() and int(declared) > limit


def body_limit(call: Call, response: AnswerHead) -> int:
    return call.limit if 200 <= response.status_code < 300 else ERROR_BODY_LIMIT


_decoder = json.JSONDecoder()


def _json_document(content: bytes) -> Any:
    """json.loads(content), without working out the encoding of what plainly starts as UTF-8 does."""
    if content[:1] == b"{" and content[1:2] != b"\x00":
        return _decoder.decode(content.decode("utf-8", "surrogatepass"))
    return json.loads(content)


def outcome(call: Call, response: AnswerHead, content: bytes | None, secret: Secret | None) -> Any:
    """The result of a complete answer, or a Failure.  ``content`` None: over the limit."""
    status = response.status_code
    logger.debug("%s %s -> %d", call.method, call.path, status)
    if not 200 <= status < 300:
        return _status_failure(call, response, content or b"", secret)
    if content is None:
        return _too_large(call, status, call.limit)
    try:
        data = _json_document(content)
    except ValueError as exc:
        page = _html_summary(content)
        if page is not None:
            return _malformed(call, status, f"the body is {page}")
        # A fresh error: json's own keeps the whole document alive.
        return _malformed(call, status, f"the body is not JSON ({type(exc).__name__}: {str(exc)[:200]})")
    if not isinstance(data, dict):
        return _malformed(call, status, "the body is not a JSON object")
    try:
        return call.read(data)
    except ValueError as exc:
        return _malformed(call, status, str(exc))
