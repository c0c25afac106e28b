"""What every request passes before it reaches a page or the API.

- The Host header must name this server: an IP address (DNS rebinding needs
  a name), "localhost", the address it listens on, or a name allowed with
  --allowed-host. A page that an attacker's domain resolves to 127.0.0.1
  (DNS rebinding) is refused.
- A state-changing dashboard request must come from one of its own pages: its
  Origin (or, without one, its Referer) must be this server's own origin. The
  JSON API refuses a foreign Origin on every call, reads included, when a
  browser sends one.
- Every answer carries a Content-Security-Policy that allows only this
  server's own script and style, refuses framing, and is not cached.
"""

from __future__ import annotations

import ipaddress
import json
from html import escape
from urllib.parse import urlsplit

from starlette.datastructures import Headers

LOOPBACK_NAMES = frozenset({"127.0.0.1", "localhost", "::1"})
ALL_INTERFACES = frozenset({"0.0.0.0", "::", ""})
SAFE_METHODS = frozenset({"GET", "HEAD", "OPTIONS"})
API_PATHS = frozenset({"/healthz", "/openapi.json"})  # outside /v1/, answered in JSON too

CONTENT_SECURITY_POLICY = (
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self';"
    " form-action 'self'; frame-ancestors 'none'; base-uri 'none'"
)
_SECURITY_HEADERS = [
    (b"content-security-policy", CONTENT_SECURITY_POLICY.encode()),
    (b"x-frame-options", b"DENY"),
    (b"x-content-type-options", b"nosniff"),
    (b"referrer-policy", b"same-origin"),
    (b"cross-origin-opener-policy", b"same-origin"),
    (b"cross-origin-resource-policy", b"same-origin"),
]


# What every answer that passed the checks carries: static files may be cached if checked first.
_ANSWER_HEADERS = (*_SECURITY_HEADERS, (b"cache-control", b"no-store"))
_STATIC_HEADERS = (*_SECURITY_HEADERS, (b"cache-control", b"no-cache"))


def allowed_host_names(listen_host: str, allowed_hosts: tuple[str, ...]) -> frozenset[str]:
    names = set(LOOPBACK_NAMES) | {name.strip("[]").lower() for name in allowed_hosts}
    if listen_host not in ALL_INTERFACES:
        names.add(listen_host.strip("[]").lower())
    return frozenset(names)


def host_allowed(host_header: str, allowed: frozenset[str]) -> bool:
    name = host_name(host_header)
    if name is None:
        return False
    if name in allowed:
        return True
    try:
        ipaddress.ip_address(name)
    except ValueError:
        return False
    return True


def host_name(host_header: str) -> str | None:
    """The name in a Host header ("[::1]:8787" -> "::1"), or None when it is malformed."""
    host = host_header.strip().lower()
    if host.startswith("["):
        end = host.find("]")
        name, rest = host[1:end], host[end + 1:]
        if end < 0 or (rest and not (rest[:1] == ":" and rest[1:].isdigit())):
            return None
        return name or None
    name, colon, port = host.partition(":")
    if colon and not port.isdigit():
        return None
    return name or None


def _origin_of(url: str) -> str | None:
    try:
        parts = urlsplit(url)
    except ValueError:
        return None
    return f"{parts.scheme}://{parts.netloc}".lower() if parts.scheme and parts.netloc else None


def origin_problem(headers: Headers, own_origin: str, *, browser_form: bool) -> str | None:
    """Why a state-changing request does not come from this server's own pages, or None."""
    origin = headers.get("origin")
    if origin is not None:
        return None if origin.lower() == own_origin else f"the request comes from another site ({origin})"
    if not browser_form:
        return None  # a program, not a browser: browsers send Origin on every cross-site POST
    referer = headers.get("referer")
    if referer is None:
        return "the request carries neither Origin nor Referer, so its page cannot be told"
    if _origin_of(referer) != own_origin:
        return "the request comes from another site (by its Referer)"
    return None


class WebGuard:
    """ASGI middleware around the whole application."""

    def __init__(self, app, allowed_hosts: frozenset[str]):
        self.app = app
        self.allowed_hosts = allowed_hosts

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http":
            return await self.app(scope, receive, send)
        headers = Headers(scope=scope)
        host = headers.get("host", "")
        is_api = scope["path"].startswith("/v1/") or scope["path"] in API_PATHS
        if not host_allowed(host, self.allowed_hosts):
            message = "this server answers only under its own address (start it with --allowed-host NAME to add one)"
            return await _refuse(send, is_api, message)
        if is_api or scope["method"] not in SAFE_METHODS:
            own_origin = f"{scope.get('scheme', 'http')}://{host}".lower()
            problem = origin_problem(headers, own_origin, browser_form=not is_api)
            if problem is not None:
                return await _refuse(send, is_api, f"refused: {problem}")
        await self.answer(scope, receive, send, _STATIC_HEADERS if scope["path"].startswith("/static/")
                          else _ANSWER_HEADERS)

    async def answer(self, scope, receive, send, headers: tuple) -> None:
        """Runs the application for a request that passed, its answer carrying `headers` too. (A
        subclass that does more around each answer overrides this, rather than adding a layer.)"""
        await self.app(scope, receive, with_headers(send, headers))


def with_headers(send, headers: tuple):
    """`send` with `headers` added to the answer's start."""

    async def send_with_headers(message):
        if message["type"] == "http.response.start":
            message = {**message, "headers": [*message.get("headers", ()), *headers]}
        await send(message)

    return send_with_headers


async def _refuse(send, is_api: bool, message: str) -> None:
    if is_api:
        body = json.dumps({"error": {"code": "forbidden", "message": message}}).encode()
        content_type = b"application/json"
    else:
        body = (
            '<!DOCTYPE html><html lang="en"><head><meta charset="utf-8"><title>Refused</title></head>'
            f'<body><p id="notice">{escape(message)}</p></body></html>'
        ).encode()
        content_type = b"text/html; charset=utf-8"
    headers = [(b"content-type", content_type), (b"content-length", str(len(body)).encode()),
               *_SECURITY_HEADERS, (b"cache-control", b"no-store")]
    await send({"type": "http.response.start", "status": 403, "headers": headers})
    await send({"type": "http.response.body", "body": body})
