"""The connection pools of both clients, shared per base URL, and the process's one TLS context.

Building a TLS context (and loading the certificate store) costs far more than
everything else a client does, so there is one per process.  Blocking clients
that share a base URL share one pool for as long as one of them is open;
awaitable clients do the same per event loop, and there also share the status
batchers of ``_batch``.
"""

from __future__ import annotations

import asyncio
import collections
import os
import ssl
import threading
import urllib.request
import weakref
from typing import Any

import httpx

from .calls import Call, call_headers, target
from .config import HEADERS
from .transport import UNGATED, AsyncTransport, Transport


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


def environment_proxy(url: httpx.URL) -> str | None:
    """The proxy that the environment names for ``url`` (HTTPS_PROXY, ALL_PROXY, NO_PROXY...), if any."""
    proxies = urllib.request.getproxies()
    proxy = proxies.get(url.scheme) or proxies.get("all")
    if not proxy or urllib.request.proxy_bypass(url.host):
        return None
    return proxy if "://" in proxy else "http://" + proxy


def new_transport(url: httpx.URL) -> httpx.BaseTransport:
    """The blocking client's transport to ``url``: its own pool, or httpx's through a proxy."""
    proxy = environment_proxy(url)
    if proxy is not None:
        return httpx.HTTPTransport(verify=shared_tls_context(), proxy=proxy)
    return Transport(shared_tls_context())


def new_async_transport(url: httpx.URL) -> httpx.AsyncBaseTransport:
    """The awaitable client's transport to ``url``: its own pool, or httpx's through a proxy."""
    proxy = environment_proxy(url)
    if proxy is not None:
        return httpx.AsyncHTTPTransport(verify=shared_tls_context(), proxy=proxy)
    return AsyncTransport(shared_tls_context())


_BODY_METHODS = ("POST", "PUT", "PATCH")  # sent with a length even when empty, as httpx sends them
_MERGED_KEPT = 64
_URLS_KEPT = 256


def _request(method: str, url: httpx.URL, headers: httpx.Headers, stream: httpx.ByteStream,
             extensions: dict) -> httpx.Request:
    """httpx.Request(method, url, headers=headers, stream=stream, extensions=extensions), its parts set
    as the constructor sets them from parts already of their types (method in capitals)."""
    request = httpx.Request.__new__(httpx.Request)
    request.method, request.url, request.headers, request.extensions, request.stream = (
        method, url, headers, extensions, stream)
    return request


def _can_build_by_hand() -> bool:
    """Whether httpx.Request sets nothing else from such parts (else the constructor builds them)."""
    try:
        parts = ("GET", httpx.URL("http://a.test/b"), httpx.Headers({"A": "b"}), httpx.ByteStream(b""), {"x": 1})
        made, built = httpx.Request(parts[0], parts[1], headers=parts[2], stream=parts[3], extensions=parts[4]), _request(*parts)
        return (vars(made).keys() == vars(built).keys() and made.url == built.url and made.method == built.method
                and made.headers.raw == built.headers.raw and made.extensions == built.extensions)
    except Exception:
        return False


_BUILT_BY_HAND = _can_build_by_hand()


class Pool:
    """What the calls to one base URL share: its parts, parsed once; the fixed headers; the transport
    (the client's own, or any httpx transport: calls are handed to it as httpx.Request)."""

    def __init__(self, base_url: str, transport: Any) -> None:
        self.base_url = base_url
        self.url = httpx.URL(base_url)
        self.base_path = self.url.raw_path.decode("ascii").rstrip("/")
        self.headers = dict(HEADERS)
        self._httpx_headers = httpx.Headers([(b"Host", self.url.netloc), *httpx.Headers(HEADERS).raw])
        # The whole headers of the calls that carry none of their own (reads, above all), by what
        # they add: such calls repeat, and httpx.Request copies a Headers without parsing it again.
        self._merged: dict[tuple, httpx.Headers] = {}
        self._urls: dict[str, httpx.URL] = {}  # by the call's path
        self.transport = transport
        self.is_closed = False

    def request(self, call: Call, auth: Any, body: bytes | None, timeout: float | None) -> httpx.Request:
        """The call as the httpx.Request that httpx.Client.send would have handed to the transport.

        ``auth``: the API key sent as a bearer token, unless the call carries credentials of its own."""
        extensions: dict[str, Any] = {"timeout": {"connect": timeout, "read": timeout, "write": timeout,
                                                  "pool": timeout}}
        if not call.gated:
            extensions[UNGATED] = True
        # The headers httpx would add itself (Host first, the body's length last) are in place, so the
        # request is built from its stream without httpx parsing its headers again.
        length = len(body) if body is not None else 0 if call.method in _BODY_METHODS else None
        if call.headers is None:
            # Such calls (reads, above all) repeat: their whole headers are kept by what they add.
            key = (length, auth)
            merged = self._merged.get(key)
            if merged is None:
                merged = self._merged_headers(call_headers(call, auth, body is not None), length)
                if len(self._merged) >= _MERGED_KEPT:
                    self._merged.clear()
                self._merged[key] = merged
        else:
            merged = self._merged_headers(call_headers(call, auth, body is not None), length)
        # Not read here: the transports read the stream (httpx's own read the request first when they need it).
        if not _BUILT_BY_HAND:
            return httpx.Request(call.method, self._url(call), headers=merged, stream=httpx.ByteStream(body or b""),
                                 extensions=extensions)
        return _request(call.method, self._url(call), httpx.Headers(merged), httpx.ByteStream(body or b""), extensions)

    def _merged_headers(self, headers: dict, length: int | None) -> httpx.Headers:
        merged = self._httpx_headers.copy()
        for name, value in headers.items():
            merged[name] = value
        if length is not None and "Content-Length" not in merged:
            merged["Content-Length"] = str(length)
        return merged

    def _url(self, call: Call) -> httpx.URL:
        """The call's URL; those of calls without a query (a request's reads) are kept, as they repeat."""
        if call.params:
            return self._url_of(target(self.base_path, call))
        url = self._urls.get(call.path)
        if url is None:
            url = self._url_of(target(self.base_path, call))
            if len(self._urls) >= _URLS_KEPT:
                self._urls.clear()
            self._urls[call.path] = url
        return url

    def _url_of(self, target: str) -> httpx.URL:
        reference = getattr(self.url, "_uri_reference", None)
        if isinstance(reference, tuple) and hasattr(reference, "_replace"):
            # The base URL's parsed parts with this path: nothing is parsed again.
            path, _, query = target.partition("?")
            url = httpx.URL.__new__(httpx.URL)
            url._uri_reference = reference._replace(path=path, query=query or None, fragment=None)
            return url
        return self.url.copy_with(raw_path=target.encode("ascii"))


class SyncPool(Pool):
    def __init__(self, base_url: str) -> None:
        super().__init__(base_url, None)
        self.transport = new_transport(self.url)

    def close(self) -> None:
        self.is_closed = True
        self._merged.clear()
        self._urls.clear()
        self.transport.close()


class AsyncPool(Pool):
    def __init__(self, base_url: str) -> None:
        super().__init__(base_url, None)
        self.transport = new_async_transport(self.url)

    async def aclose(self) -> None:
        self.is_closed = True
        self._merged.clear()
        self._urls.clear()
        await self.transport.aclose()


class SyncPools:
    """One pool per base URL, shared by the open blocking clients of that URL.

    The last client to close closes the pool, so nothing stays open once every
    client is closed.  A forked child starts with no pools of its own.
    """

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._entries: dict[str, list] = {}  # base URL -> [SyncPool, number of leases]
        self._dropped: collections.deque = collections.deque()

    def acquire(self, base_url: str) -> SyncPool:
        with self._lock:
            self._release_dropped()
            entry = self._entries.get(base_url)
            if entry is None:
                entry = self._entries[base_url] = [SyncPool(base_url), 0]
            entry[1] += 1
            return entry[0]

    def release(self, base_url: str, pool: SyncPool) -> None:
        with self._lock:
            self._release_dropped()
            last = self._release(base_url, pool)
        if last:
            pool.close()

    def release_later(self, base_url: str, pool: SyncPool) -> None:
        """For clients collected without close(): the garbage collector may run
        while this thread holds the lock, so the lease is only queued here."""
        self._dropped.append((base_url, pool))

    def _release(self, base_url: str, pool: SyncPool) -> bool:
        entry = self._entries.get(base_url)
        if entry is None or entry[0] is not pool:
            return False
        entry[1] -= 1
        if entry[1] > 0:
            return False
        del self._entries[base_url]
        return True

    def _release_dropped(self) -> None:
        while self._dropped:
            base_url, pool = self._dropped.popleft()
            if self._release(base_url, pool):
                pool.close()

    def forget_after_fork(self) -> None:
        self._lock = threading.Lock()
        self._entries = {}
        self._dropped = collections.deque()


class AsyncPools:
    """One pool per event loop and base URL, shared by that loop's open clients,
    with the status batchers of the API keys that use it.

    Used from event-loop threads only; each loop has entries of its own.
    """

    def __init__(self) -> None:
        self._lock = threading.RLock()
        self._by_loop: weakref.WeakKeyDictionary = weakref.WeakKeyDictionary()

    def acquire(self, loop: asyncio.AbstractEventLoop, base_url: str) -> AsyncPool:
        with self._lock:
            entries = self._by_loop.get(loop)
            if entries is None:
                entries = self._by_loop[loop] = {}
            entry = entries.get(base_url)
            if entry is None:
                entry = entries[base_url] = [AsyncPool(base_url), 0, {}]
            entry[1] += 1
            return entry[0]

    def batcher(self, loop: asyncio.AbstractEventLoop, base_url: str, key_id: bytes, make) -> Any:
        """The status batcher of a loop, base URL and API key, made with ``make(pool)`` at first use."""
        with self._lock:
            entry = (self._by_loop.get(loop) or {}).get(base_url)
            if entry is None:
                return None
            batcher = entry[2].get(key_id)
            if batcher is None:
                batcher = entry[2][key_id] = make(entry[0])
            return batcher

    def release(self, loop: asyncio.AbstractEventLoop, base_url: str, pool: AsyncPool) -> bool:
        """Whether the caller held the last lease and should close ``pool``."""
        with self._lock:
            entries = self._by_loop.get(loop) or {}
            entry = entries.get(base_url)
            if entry is None or entry[0] is not pool:
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


sync_pools = SyncPools()
async_pools = AsyncPools()


def _after_fork_in_child() -> None:
    global _tls_context
    _tls_context = None
    sync_pools.forget_after_fork()
    async_pools.forget_after_fork()


os.register_at_fork(after_in_child=_after_fork_in_child)
