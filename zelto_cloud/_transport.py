"""How the cloud clients talk HTTP: deadlines, retries, bounded answers, shared pools.

A call (one method of a client) gets one deadline, its client's ``timeout``
from the moment it starts: connecting, sending, every read of the answer and
every pause between retries fit inside it.  The blocking client enforces it
in the socket layer (each read and write waits at most until the deadline);
the awaitable client with ``asyncio.timeout``.

Both clients share one TLS context per process, because building one (and
loading the certificate store) costs far more than everything else a client
does.  Blocking clients that share a base URL share one connection pool for
as long as one of them is open; awaitable clients do the same per event loop,
and there also share the status batchers of ``_batch``.
"""

from __future__ import annotations

import asyncio
import collections
import contextvars
import email.utils
import html
import http.cookiejar
import ipaddress
import json
import logging
import math
import os
import random
import re
import ssl
import threading
import time
import weakref
from typing import Any, Callable

import httpcore
import httpx

from .exceptions import ApprovalDeniedError, ApprovalExpiredError, ZeltoCloudError

logger = logging.getLogger("zelto_cloud.client")

DEFAULT_BASE_URL = "https://api.zelto.cloud"
USER_AGENT = "zelto-cloud-python/0.1.0"

ANSWER_LIMIT = 1024 * 1024  # one request object, acknowledgement or connect answer
LIST_ANSWER_LIMIT = 16 * 1024 * 1024  # up to 500 request objects
_ERROR_BODY_LIMIT = 64 * 1024  # of an error answer only this much is read
_ERROR_TEXT_LIMIT = 300
# Neither part of the title pattern runs past the next "<": a page of many unclosed
# titles is searched in linear time.
_HTML_TITLE = re.compile(rb"<title[^<>]*>([^<]*)</title", re.I)
_HTML_TAG = re.compile(rb"<[^>]*>|<[^>]*$")

# Which failures a call may try again, within its deadline.
RETRY_ALWAYS = "always"  # reads, and creates (always sent under an idempotency key)
RETRY_UNSENT = "unsent"  # everything else: only when the server certainly did not act

_RETRY_STATUSES = {RETRY_ALWAYS: frozenset({429, 502, 503, 504}), RETRY_UNSENT: frozenset({429})}
_BACKOFF_FIRST = 0.1
_BACKOFF_CAP = 2.0
_MIN_ATTEMPT_SECONDS = 0.05  # a retry needs at least this much of the deadline left
HANDLER_GRACE = 0.5  # how far past its approval handler's deadline a call may run
_STALE_HANDLER_SECONDS = 5.0
_MAX_ATTEMPTS_WITHOUT_DEADLINE = 8

_POOL_LIMITS = httpx.Limits(max_connections=None, max_keepalive_connections=32, keepalive_expiry=4.0)
_MAX_IN_FLIGHT = 64  # exchanges at once per pool
_UNGATED = "zelto_cloud.ungated"  # an exchange that bounds itself (batch reads) and must not queue behind others
_HEADERS = {"Accept": "application/json", "Accept-Encoding": "identity", "User-Agent": USER_AGENT}
_LOOPBACK_NAMES = {"localhost", "localhost.localdomain"}


# --- the API key ------------------------------------------------------------


class Secret:
    """Holds an API key (or a connect token) so that no repr, log or frame shows it."""

    __slots__ = ("_value",)

    def __init__(self, value: Any) -> None:
        self._value = value

    def __repr__(self) -> str:
        return "Secret('***')"

    __str__ = __repr__

    def __reduce__(self):
        raise TypeError("an API key holder cannot be pickled")

    def reveal(self) -> str:
        return self._value

    def redact(self, text: str) -> str:
        value = self._value
        return text.replace(value, "***") if isinstance(value, str) and value else text


class BearerAuth(httpx.Auth):
    def __init__(self, secret: Secret) -> None:
        self._secret = secret

    def __repr__(self) -> str:
        return "BearerAuth('***')"

    def auth_flow(self, request: httpx.Request):
        # A call that carries credentials of its own (an approver's) keeps them.
        if "Authorization" not in request.headers:
            request.headers["Authorization"] = "Bearer " + self._secret.reveal()
        yield request


# --- one deadline per call, in the socket layer of the blocking client -------

_deadline: contextvars.ContextVar[float | None] = contextvars.ContextVar("zelto_cloud_deadline", default=None)

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
_answered: set[str] = set()


def handler_end(now: float) -> float | None:
    """The end, on the monotonic clock, of the calls of the current handler; None outside one."""
    deadline = handler_deadline.get()
    end = None if deadline is None else deadline + HANDLER_GRACE
    if end is None or now > end + _STALE_HANDLER_SECONDS:
        # A live handler makes no call this late: the mark was left behind by a handler
        # coroutine that was never finished (driven by hand, then dropped).
        return None
    return end


def handler_until(call, timeout: float | None, now: float, base_url: str) -> float | None:
    """Where a call made now ends on the monotonic clock under the current handler; None outside one.

    A retryable call to an address that has answered ends with the handler; any
    other within its own timeout too (a retryable one is extended once the address
    answers: see Attempts.extend)."""
    end = handler_end(now)
    if end is None:
        return None
    if timeout is None or (call.retry == RETRY_ALWAYS and base_url in _answered):
        return end
    return min(end, now + timeout)


def loop_until(loop: asyncio.AbstractEventLoop, call, timeout: float | None, base_url: str) -> float | None:
    """handler_until on the clock of ``loop``."""
    now = time.monotonic()
    until = handler_until(call, timeout, now, base_url)
    return None if until is None else loop.time() + (until - now)


def _within_deadline(timeout: float | None, expired: type[Exception]) -> float | None:
    deadline = _deadline.get()
    if deadline is None:
        return timeout
    left = deadline - time.monotonic()
    if left <= 0:
        raise expired("the call's deadline has passed")
    return left if timeout is None else min(timeout, left)


class _DeadlineStream(httpcore.NetworkStream):
    """A socket stream whose every read and write ends by the current call's deadline."""

    def __init__(self, stream: httpcore.NetworkStream) -> None:
        self._stream = stream

    def read(self, max_bytes: int, timeout: float | None = None) -> bytes:
        return self._stream.read(max_bytes, _within_deadline(timeout, httpcore.ReadTimeout))

    def write(self, buffer: bytes, timeout: float | None = None) -> None:
        self._stream.write(buffer, _within_deadline(timeout, httpcore.WriteTimeout))

    def close(self) -> None:
        self._stream.close()

    def start_tls(self, ssl_context, server_hostname=None, timeout=None) -> httpcore.NetworkStream:
        timeout = _within_deadline(timeout, httpcore.ConnectTimeout)
        return _DeadlineStream(self._stream.start_tls(ssl_context, server_hostname, timeout))

    def get_extra_info(self, info: str) -> Any:
        return self._stream.get_extra_info(info)


class _DeadlineBackend(httpcore.NetworkBackend):
    def __init__(self) -> None:
        self._backend = httpcore.SyncBackend()

    def connect_tcp(self, host, port, timeout=None, local_address=None, socket_options=None):
        timeout = _within_deadline(timeout, httpcore.ConnectTimeout)
        return _DeadlineStream(self._backend.connect_tcp(host, port, timeout, local_address, socket_options))

    def connect_unix_socket(self, path, timeout=None, socket_options=None):
        timeout = _within_deadline(timeout, httpcore.ConnectTimeout)
        return _DeadlineStream(self._backend.connect_unix_socket(path, timeout, socket_options))

    def sleep(self, seconds: float) -> None:
        self._backend.sleep(seconds)


# --- shared TLS context and pools --------------------------------------------

_tls_lock = threading.Lock()
_tls_context: ssl.SSLContext | None = None


def shared_tls_context() -> ssl.SSLContext:
    """The process's one verifying TLS context (honours SSL_CERT_FILE and SSL_CERT_DIR)."""
    global _tls_context
    if _tls_context is None:
        with _tls_lock:
            if _tls_context is None:
                _tls_context = httpx.create_ssl_context()
    return _tls_context


def _no_cookies() -> http.cookiejar.CookieJar:
    # Pools are shared between API keys: a cookie set for one must never reach another.
    return http.cookiejar.CookieJar(policy=http.cookiejar.DefaultCookiePolicy(allowed_domains=[]))


class _Releasing(httpx.SyncByteStream):
    def __init__(self, stream: httpx.SyncByteStream, release: Callable[[], None]) -> None:
        self._stream, self._release = stream, release

    def __iter__(self):
        yield from self._stream

    def close(self) -> None:
        release, self._release = self._release, None
        try:
            self._stream.close()
        finally:
            if release is not None:
                release()


class _AsyncReleasing(httpx.AsyncByteStream):
    def __init__(self, stream: httpx.AsyncByteStream, release: Callable[[], None]) -> None:
        self._stream, self._release = stream, release

    async def __aiter__(self):
        async for chunk in self._stream:
            yield chunk

    async def aclose(self) -> None:
        release, self._release = self._release, None
        try:
            await self._stream.aclose()
        finally:
            if release is not None:
                release()


# httpcore's own connection limit leaks a slot whenever a request gives up
# waiting for one (the connection made for it is never used nor closed), and
# a busy pool then stalls for good. So httpcore is left unlimited and the
# transports below bound the exchanges in flight themselves.


class _GatedTransport(httpx.HTTPTransport):
    """At most ``_MAX_IN_FLIGHT`` exchanges at once; a waiting one gives up at its call's deadline."""

    def __init__(self) -> None:
        context = shared_tls_context()
        super().__init__(verify=context, limits=_POOL_LIMITS)
        self._pool = httpcore.ConnectionPool(
            ssl_context=context,
            max_connections=None,
            max_keepalive_connections=_POOL_LIMITS.max_keepalive_connections,
            keepalive_expiry=_POOL_LIMITS.keepalive_expiry,
            network_backend=_DeadlineBackend(),
        )
        self._gate = threading.BoundedSemaphore(_MAX_IN_FLIGHT)

    def handle_request(self, request: httpx.Request) -> httpx.Response:
        deadline = _deadline.get()
        wait = None if deadline is None else max(deadline - time.monotonic(), 0.0)
        if not self._gate.acquire(timeout=wait):
            raise httpx.PoolTimeout("no connection became free before the call's deadline")
        try:
            response = super().handle_request(request)
        except BaseException:
            self._gate.release()
            raise
        response.stream = _Releasing(response.stream, self._gate.release)
        return response


class _GatedAsyncTransport(httpx.AsyncHTTPTransport):
    """The awaitable twin; a waiting exchange gives up when its call is cancelled at the deadline."""

    def __init__(self) -> None:
        super().__init__(verify=shared_tls_context(), limits=_POOL_LIMITS)
        self._gate = asyncio.Semaphore(_MAX_IN_FLIGHT)

    async def handle_async_request(self, request: httpx.Request) -> httpx.Response:
        if request.extensions.get(_UNGATED):
            return await super().handle_async_request(request)
        await self._gate.acquire()
        try:
            response = await super().handle_async_request(request)
        except BaseException:
            self._gate.release()
            raise
        response.stream = _AsyncReleasing(response.stream, self._gate.release)
        return response


def new_transport() -> httpx.HTTPTransport:
    """A blocking transport with the shared TLS context and the deadline-aware socket layer."""
    return _GatedTransport()


def http_options(base_url: str, timeout: Any = None, headers: dict | None = None) -> dict:
    """Keyword arguments for an httpx client of the API (the connect calls make their own)."""
    return {
        "base_url": checked_base_url(base_url),
        "timeout": timeout,
        "headers": {**_HEADERS, **(headers or {})},
        "follow_redirects": False,
        "verify": shared_tls_context(),
        "cookies": _no_cookies(),
        "transport": new_transport(),
    }


def _async_http(base_url: str) -> httpx.AsyncClient:
    return httpx.AsyncClient(
        base_url=base_url,
        headers=_HEADERS,
        follow_redirects=False,
        verify=shared_tls_context(),
        cookies=_no_cookies(),
        timeout=None,
        transport=_GatedAsyncTransport(),
    )


class _SyncPools:
    """One httpx client per base URL, shared by the open blocking clients of that URL.

    The last client to close closes the pool, so nothing stays open once every
    client is closed.  A forked child starts with no pools of its own.
    """

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._entries: dict[str, list] = {}  # base URL -> [httpx.Client, number of leases]
        self._dropped: collections.deque = collections.deque()

    def acquire(self, base_url: str) -> httpx.Client:
        with self._lock:
            self._release_dropped()
            entry = self._entries.get(base_url)
            if entry is None:
                entry = self._entries[base_url] = [httpx.Client(**http_options(base_url)), 0]
            entry[1] += 1
            return entry[0]

    def release(self, base_url: str, http: httpx.Client) -> None:
        with self._lock:
            self._release_dropped()
            last = self._release(base_url, http)
        if last:
            http.close()

    def release_later(self, base_url: str, http: httpx.Client) -> None:
        """For clients collected without close(): the garbage collector may run
        while this thread holds the lock, so the lease is only queued here."""
        self._dropped.append((base_url, http))

    def _release(self, base_url: str, http: httpx.Client) -> bool:
        entry = self._entries.get(base_url)
        if entry is None or entry[0] is not http:
            return False
        entry[1] -= 1
        if entry[1] > 0:
            return False
        del self._entries[base_url]
        return True

    def _release_dropped(self) -> None:
        while self._dropped:
            base_url, http = self._dropped.popleft()
            if self._release(base_url, http):
                http.close()

    def forget_after_fork(self) -> None:
        self._lock = threading.Lock()
        self._entries = {}
        self._dropped = collections.deque()


class _AsyncPools:
    """One httpx client per event loop and base URL, shared by that loop's open clients,
    with the status batchers of the API keys that use it.

    Used from event-loop threads only; each loop has entries of its own.
    """

    def __init__(self) -> None:
        self._lock = threading.RLock()
        self._by_loop: weakref.WeakKeyDictionary = weakref.WeakKeyDictionary()

    def acquire(self, loop: asyncio.AbstractEventLoop, base_url: str) -> httpx.AsyncClient:
        with self._lock:
            entries = self._by_loop.get(loop)
            if entries is None:
                entries = self._by_loop[loop] = {}
            entry = entries.get(base_url)
            if entry is None:
                entry = entries[base_url] = [_async_http(base_url), 0, {}]
            entry[1] += 1
            return entry[0]

    def batcher(self, loop: asyncio.AbstractEventLoop, base_url: str, key_id: bytes, make) -> Any:
        """The status batcher of a loop, base URL and API key, made with ``make(http)`` at first use."""
        with self._lock:
            entry = (self._by_loop.get(loop) or {}).get(base_url)
            if entry is None:
                return None
            batcher = entry[2].get(key_id)
            if batcher is None:
                batcher = entry[2][key_id] = make(entry[0])
            return batcher

    def release(self, loop: asyncio.AbstractEventLoop, base_url: str, http: httpx.AsyncClient) -> bool:
        """Whether the caller held the last lease and should close ``http``."""
        with self._lock:
            entries = self._by_loop.get(loop) or {}
            entry = entries.get(base_url)
            if entry is None or entry[0] is not http:
                return False
            entry[1] -= 1
            if entry[1] > 0:
                return False
            del entries[base_url]
            for batcher in entry[2].values():
                batcher.close()
            return True

    def forget_after_fork(self) -> None:
        self._lock = threading.RLock()
        self._by_loop = weakref.WeakKeyDictionary()


sync_pools = _SyncPools()
async_pools = _AsyncPools()


def _after_fork_in_child() -> None:
    global _tls_context
    _tls_context = None
    sync_pools.forget_after_fork()
    async_pools.forget_after_fork()


os.register_at_fork(after_in_child=_after_fork_in_child)


# --- checking the configuration ----------------------------------------------


def checked_base_url(base_url: Any) -> str:
    if not isinstance(base_url, str):
        raise TypeError("base_url must be a string")
    try:
        url = httpx.URL(base_url)
    except httpx.InvalidURL as exc:
        raise ValueError(f"base_url {base_url!r} is not a valid URL") from exc
    if url.scheme not in ("http", "https") or not url.host:
        raise ValueError(f"base_url {base_url!r} must be an http or https URL with a host")
    return base_url.rstrip("/")


def checked_timeout(timeout: Any) -> float | None:
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError("timeout must be a number of seconds or None")
    if not timeout > 0:
        raise ValueError("timeout must be more than 0 seconds")
    return float(timeout)


def _is_loopback(base_url: str) -> bool:
    host = httpx.URL(base_url).host
    if host.lower() in _LOOPBACK_NAMES:
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


# --- one attempt, and what it came to -----------------------------------------


class Failure:
    """A failed attempt: how to word its error, its cause, and whether a retry may help.

    The error is made for a call and a timeout, so that a batch read's failure
    reads, for each caller, as the failure of that caller's own read.
    ``sent`` is False only when the server certainly did not act on the call.
    """

    __slots__ = ("make", "cause", "retryable", "retry_after", "status", "sent", "seconds")

    def __init__(self, make: Callable[[Any, float | None], ZeltoCloudError], cause=None, retryable=False,
                 retry_after=None, status: int | None = None, sent: bool = True) -> None:
        self.make, self.cause, self.retryable, self.retry_after = make, cause, retryable, retry_after
        self.status, self.sent = status, sent
        self.seconds = None  # what the call was given, when a handler's deadline set it

    def error_for(self, call, timeout: float | None) -> ZeltoCloudError:
        error = self.make(call, timeout)
        key = getattr(call, "idempotency_key", None)
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


# --- what the calls through one httpx client share ------------------------------
#
# The calls do not go through httpx.Client.send: it would merge the base URL
# (parsing URLs again each time), merge headers, run the auth flow, and hand
# every answer to a cookie jar (which builds a urllib request per answer) that
# these clients never use. They build the httpx.Request themselves from parts
# parsed once, and hand it to the client's transport, as send() would.


class _Endpoint:
    """The parsed base URL, fixed headers and transport of one httpx client."""

    __slots__ = ("http", "base", "base_path", "transport", "headers")

    def __init__(self, http: httpx.Client | httpx.AsyncClient) -> None:
        self.http = http
        self.base = http.base_url
        self.base_path = self.base.raw_path.rstrip(b"/")
        self.transport = http._transport_for_url(self.base)
        self.headers = httpx.Headers(http.headers)

    def url(self, path: str, params: dict | None) -> httpx.URL:
        raw_path = self.base_path + path.encode("ascii")
        if params:
            raw_path += b"?" + str(httpx.QueryParams(params)).encode("ascii")
        reference = getattr(self.base, "_uri_reference", None)
        if isinstance(reference, tuple) and hasattr(reference, "_replace"):
            # The base URL's parsed parts with this path: nothing is parsed again.
            path_part, _, query = raw_path.decode("ascii").partition("?")
            url = httpx.URL.__new__(httpx.URL)
            url._uri_reference = reference._replace(path=path_part, query=query or None, fragment=None)
            return url
        return self.base.copy_with(raw_path=raw_path)

    def request(self, call, timeout: float | None, auth: httpx.Auth | None) -> httpx.Request:
        headers = httpx.Headers(self.headers)
        extra = call.headers
        if extra:
            headers.update(extra)
        if auth is not None and (extra is None or "Authorization" not in extra):
            headers["Authorization"] = "Bearer " + auth._secret.reveal()  # what BearerAuth's flow adds
        content = None
        if call.body is not None:
            content = json.dumps(call.body, default=_json_default, allow_nan=False, ensure_ascii=False).encode()
            headers["Content-Type"] = "application/json"
        extensions = {"timeout": {"connect": timeout, "read": timeout, "write": timeout, "pool": timeout}}
        if not getattr(call, "gated", True):
            extensions[_UNGATED] = True
        return httpx.Request(call.method, self.url(call.path, call.params), headers=headers, content=content,
                             extensions=extensions)


_endpoints: weakref.WeakKeyDictionary = weakref.WeakKeyDictionary()


def _endpoint(http: httpx.Client | httpx.AsyncClient) -> _Endpoint | None:
    """The shared parts of ``http``, or None when its calls must go through httpx.Client.send
    (a client with hooks or authentication of its own)."""
    endpoint = _endpoints.get(http)
    if endpoint is None or endpoint.http is not http:
        if any(http.event_hooks.values()) or http.auth is not None or http.follow_redirects:
            return None
        endpoint = _endpoints[http] = _Endpoint(http)
    return endpoint


def _fast_auth(auth: httpx.Auth | None) -> bool:
    return auth is None or type(auth) is BearerAuth


def _send_timeout(attempts: "Attempts", now: float) -> float | None:
    left = attempts.deadline - now
    return None if left == math.inf else max(left, 0.001)


def _json_default(value: Any) -> Any:
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value).hex()
    raise TypeError(f"a value of type {type(value).__name__} cannot be sent as JSON")


def request_arguments(call) -> dict:
    headers = dict(call.headers or {})
    content = None
    if call.body is not None:
        content = json.dumps(call.body, default=_json_default, allow_nan=False, ensure_ascii=False).encode()
        headers["Content-Type"] = "application/json"
    arguments = {"method": call.method, "url": call.path, "content": content, "params": call.params, "headers": headers}
    if not getattr(call, "gated", True):
        arguments["extensions"] = {_UNGATED: True}
    return arguments


def _seconds(timeout: float | None) -> str:
    return "" if timeout is None else f" within {timeout:g} s"


def _hint(base_url: str) -> str:
    if base_url == DEFAULT_BASE_URL or _is_loopback(base_url):
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


def transport_failure(call, exc: Exception, base_url: str, timeout: float | None, secret: Secret | None) -> Failure:
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
    page = content[:_ERROR_BODY_LIMIT]
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


def _status_failure(call, response: httpx.Response, content: bytes, secret: Secret | None) -> Failure:
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


def _malformed(call, status: int, problem: str) -> Failure:
    def malformed(c, t) -> ZeltoCloudError:
        return ZeltoCloudError(f"malformed answer from Zelto Cloud to {c.method} {c.path}: {problem}", status_code=status)

    return Failure(malformed, ValueError(problem))


def _too_large(call, status: int, limit: int) -> Failure:
    def too_large(c, t) -> ZeltoCloudError:
        message = f"the answer of Zelto Cloud to {c.method} {c.path} is larger than {limit} bytes; refused"
        return ZeltoCloudError(message, status_code=status)

    return Failure(too_large)


def _encoding_refused(call, response: httpx.Response) -> Failure | None:
    encoding = response.headers.get("content-encoding", "identity").strip().lower()
    if encoding in ("", "identity"):
        return None
    status = response.status_code

    def refused(c, t) -> ZeltoCloudError:
        message = f"the answer of Zelto Cloud to {c.method} {c.path} has the content encoding {encoding!r}, which was not asked for"
        return ZeltoCloudError(message, status_code=status)

    return Failure(refused)


def _declared_too_long(response: httpx.Response, limit: int) -> bool:
    declared = response.headers.get("content-length", "")
    return declared.isdigit() and int(declared) > limit


def _body_limit(call, response: httpx.Response) -> int:
    return call.limit if 200 <= response.status_code < 300 else _ERROR_BODY_LIMIT


def outcome(call, response: httpx.Response, content: bytes | None, secret: Secret | None) -> Any:
    """The result of a complete answer, or a Failure.  ``content`` None: over the limit."""
    status = response.status_code
    logger.debug("%s %s -> %d", call.method, call.path, status)
    if not 200 <= status < 300:
        return _status_failure(call, response, content or b"", secret)
    if content is None:
        return _too_large(call, status, call.limit)
    try:
        data = json.loads(content)
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


# --- the retry schedule --------------------------------------------------------


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
        if self.extension is None or self.extension <= self.deadline or base_url not in _answered:
            return False
        self.deadline = self.extension
        return True

    def attempt_deadline(self, now: float) -> float:
        return self.deadline if self.timeout is None else min(self.deadline, now + self.timeout)

    def http_timeout(self, now: float) -> httpx.Timeout:
        left = self.attempt_deadline(now) - now
        return httpx.Timeout(None if left == math.inf else max(left, 0.001))

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


# --- the blocking exchange -------------------------------------------------------


def _already_read(response: httpx.Response, limit: int, truncate: bool) -> bytes | None:
    # A transport that answers in memory (httpx.MockTransport) hands over a body that is read already.
    content = response.content
    if len(content) <= limit:
        return content
    return content[:limit] if truncate else None


def _read_body(response: httpx.Response, limit: int, truncate: bool) -> bytes | None:
    if _declared_too_long(response, limit) and not truncate:
        return None
    if response.is_stream_consumed:
        return _already_read(response, limit, truncate)
    content = bytearray()
    for chunk in response.iter_raw():
        content += chunk
        if len(content) > limit:
            return bytes(content[:limit]) if truncate else None
    return bytes(content)


def _exchange(http: httpx.Client, call, attempts: Attempts, auth: httpx.Auth | None) -> httpx.Response:
    endpoint = _endpoint(http) if _fast_auth(auth) else None
    if endpoint is None:
        request = http.build_request(**request_arguments(call), timeout=attempts.http_timeout(time.monotonic()))
        return http.send(request, stream=True, auth=auth)
    if http.is_closed:
        raise RuntimeError("Cannot send a request, as the client has been closed.")
    request = endpoint.request(call, _send_timeout(attempts, time.monotonic()), auth)
    response = endpoint.transport.handle_request(request)
    response.request = request
    return response


def _attempt(http: httpx.Client, call, attempts: Attempts, base_url: str, secret: Secret | None, auth: httpx.Auth | None) -> Any:
    try:
        response = _exchange(http, call, attempts, auth)
    except httpx.TransportError as exc:
        return transport_failure(call, exc, base_url, attempts.timeout, secret)
    _answered.add(base_url)
    try:
        refused = _encoding_refused(call, response)
        if refused is not None:
            return refused
        success = 200 <= response.status_code < 300
        content = _read_body(response, _body_limit(call, response), truncate=not success)
    except httpx.TransportError as exc:
        return transport_failure(call, exc, base_url, attempts.timeout, secret)
    finally:
        response.close()
    return outcome(call, response, content, secret)


def _retrying(call, attempts: Attempts, failure: Failure, pause: float, under_handler: bool) -> None:
    key = getattr(call, "idempotency_key", None)
    if under_handler and key is not None and attempts.count == 1:
        # Riding out an outage can take minutes: say so once, not at every attempt.
        logger.warning("%s %s failed (%s); trying again under idempotency key %s for up to %.0f s",
                       call.method, call.path, failure.error_for(call, attempts.timeout).message.split(";")[0],
                       key, attempts.deadline - attempts.started)
    else:
        logger.debug("%s %s failed; trying again in %.2f s", call.method, call.path, pause)


def send(http: httpx.Client, call, *, base_url: str, timeout: float | None, secret: Secret | None, auth: httpx.Auth | None = None) -> Any:
    """One call on a blocking httpx client: attempts within one deadline; the result or an error."""
    now = time.monotonic()
    until = handler_until(call, timeout, now, base_url)
    extension = handler_end(now) if call.retry == RETRY_ALWAYS else None
    attempts = Attempts(timeout, now, until, extension)
    token = _deadline.set(None)
    try:
        while True:
            end = attempts.attempt_deadline(time.monotonic())
            _deadline.set(None if end == math.inf else end)
            result = _attempt(http, call, attempts, base_url, secret, auth)
            if not isinstance(result, Failure):
                return result
            attempts.extend(base_url)
            pause = attempts.pause(result, time.monotonic())
            if pause is None:
                raise attempts.give_up(result).error_for(call, attempts.span() if until is not None else timeout)
            _retrying(call, attempts, result, pause, until is not None)
            time.sleep(pause)
    finally:
        _deadline.reset(token)


# --- the awaitable exchange --------------------------------------------------------


async def _aread_body(response: httpx.Response, limit: int, truncate: bool) -> bytes | None:
    if _declared_too_long(response, limit) and not truncate:
        return None
    if response.is_stream_consumed:
        return _already_read(response, limit, truncate)
    content = bytearray()
    async for chunk in response.aiter_raw():
        content += chunk
        if len(content) > limit:
            return bytes(content[:limit]) if truncate else None
    return bytes(content)


async def _exchange_async(http: httpx.AsyncClient, call, attempts: Attempts, auth: httpx.Auth | None) -> httpx.Response:
    now = asyncio.get_running_loop().time()
    endpoint = _endpoint(http) if _fast_auth(auth) else None
    if endpoint is None:
        request = http.build_request(**request_arguments(call), timeout=attempts.http_timeout(now))
        return await http.send(request, stream=True, auth=auth)
    if http.is_closed:
        raise RuntimeError("Cannot send a request, as the client has been closed.")
    request = endpoint.request(call, _send_timeout(attempts, now), auth)
    response = await endpoint.transport.handle_async_request(request)
    response.request = request
    return response


async def _attempt_async(http: httpx.AsyncClient, call, attempts: Attempts, base_url: str, secret: Secret | None, auth: httpx.Auth | None) -> Any:
    try:
        response = await _exchange_async(http, call, attempts, auth)
    except httpx.TransportError as exc:
        return transport_failure(call, exc, base_url, attempts.timeout, secret)
    _answered.add(base_url)
    try:
        refused = _encoding_refused(call, response)
        if refused is not None:
            return refused
        success = 200 <= response.status_code < 300
        content = await _aread_body(response, _body_limit(call, response), truncate=not success)
    except httpx.TransportError as exc:
        return transport_failure(call, exc, base_url, attempts.timeout, secret)
    finally:
        await response.aclose()
    return outcome(call, response, content, secret)


async def _bounded_attempt(http: httpx.AsyncClient, call, attempts: Attempts, base_url: str,
                           secret: Secret | None, auth: httpx.Auth | None) -> Any:
    """One attempt; one that ends before its call's deadline is bounded on its own."""
    loop = asyncio.get_running_loop()
    end = attempts.attempt_deadline(loop.time())
    if end >= attempts.deadline:
        return await _attempt_async(http, call, attempts, base_url, secret, auth)
    try:
        async with asyncio.timeout_at(end):
            return await _attempt_async(http, call, attempts, base_url, secret, auth)
    except TimeoutError as exc:
        return transport_failure(call, exc, base_url, attempts.timeout, secret)


async def exchange_async(
    http: httpx.AsyncClient, call, *, base_url: str, timeout: float | None, secret: Secret | None,
    auth: httpx.Auth | None = None, started: float | None = None, until: float | None = None,
    extension: float | None = None,
) -> Any:
    """One call on an awaitable httpx client: the result, or the Failure that ended it.

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
                result = await _bounded_attempt(http, call, attempts, base_url, secret, auth)
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
    http: httpx.AsyncClient, call, *, base_url: str, timeout: float | None, secret: Secret | None,
    auth: httpx.Auth | None = None, started: float | None = None,
) -> Any:
    """The awaitable twin of :func:`send`."""
    loop = asyncio.get_running_loop()
    begun = loop.time() if started is None else started
    now = time.monotonic()
    until = handler_until(call, timeout, now, base_url)
    end = handler_end(now) if call.retry == RETRY_ALWAYS else None
    until, end = (None if t is None else loop.time() + (t - now) for t in (until, end))
    if until is not None and timeout is not None and (call.retry != RETRY_ALWAYS or base_url not in _answered):
        until = min(until, begun + timeout)
    result = await exchange_async(http, call, base_url=base_url, timeout=timeout, secret=secret, auth=auth,
                                  started=begun, until=until, extension=end)
    if isinstance(result, Failure):
        raise result.error_for(call, timeout if until is None else result.seconds)
    return result
