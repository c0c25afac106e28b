"""The ASGI application: the JSON API, the dashboard and JSON answers for routing errors."""

from __future__ import annotations

import logging

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.middleware.errors import ServerErrorMiddleware
from starlette.requests import Request
from starlette.responses import JSONResponse
from starlette.routing import Match

from . import api, batch, dashboard, history, pending
from .config import CloudState
from .store import STORAGE_ERRORS, storage_failure
from .web import LOOPBACK_NAMES, WebGuard, allowed_host_names, with_headers

logger = logging.getLogger("zelto_localcloud")

_ROUTING_ERRORS = {404: "not_found", 405: "method_not_allowed"}


async def _http_error(request: Request, exc: HTTPException) -> JSONResponse:
    code = _ROUTING_ERRORS.get(exc.status_code, "invalid_request")
    message = f"no route for {request.method} {request.url.path}" if exc.status_code in _ROUTING_ERRORS else exc.detail
    headers = exc.headers
    if exc.status_code == 405:
        headers = {**(headers or {}), "Allow": ", ".join(_allowed_methods(request))}
    return JSONResponse({"error": {"code": code, "message": message}}, status_code=exc.status_code, headers=headers)


def _allowed_methods(request: Request) -> list[str]:
    """Every method that some route serves on this path (the router names only the first route's)."""
    methods: set[str] = set()
    for route in request.app.routes:
        match, _ = route.matches(request.scope)
        if match is not Match.NONE:
            methods |= getattr(route, "methods", None) or set()
    return sorted(methods)


async def _server_fault(request: Request, exc: Exception) -> JSONResponse:
    logger.exception("unexpected fault on %s %s", request.method, request.url.path)
    return JSONResponse({"error": {"code": "internal", "message": "internal server error"}}, status_code=500)


_STORAGE_ANSWERS = {
    "full": (507, "insufficient_storage",
             "the local cloud's disk is full, so nothing was stored; free space on the disk of its data folder"
             " and try again (reads still work)"),
    "unwritable": (503, "storage_unavailable",
                   "the local cloud cannot write its database (read-only or failing storage), so nothing was"
                   " stored; reads still work"),
    "unreachable": (503, "storage_unavailable",
                    "the local cloud cannot reach its database (down, restarting or out of connections), so"
                    " nothing was stored; try again shortly"),
}


def _storage_answer(method: str, path: str, exc: Exception) -> JSONResponse | None:
    """The answer to a write that storage refused, logged in one line; None when `exc` is a fault."""
    kind = storage_failure(exc)
    if kind is None:
        return None
    status, code, message = _STORAGE_ANSWERS[kind]
    # An expected condition of the machine: one line, no traceback.
    logger.warning("%s %s: %s (%s)", method, path, message.split(",")[0], exc)
    return JSONResponse({"error": {"code": code, "message": message}}, status_code=status)


async def _storage_fault(request: Request, exc: Exception) -> JSONResponse:
    answer = _storage_answer(request.method, request.url.path, exc)
    return await _server_fault(request, exc) if answer is None else answer


class DurableAnswers(WebGuard):
    """The checks and headers of every answer (WebGuard), and each answer held back until everything
    committed before it is on disk: writes that arrive together share one transaction and one flush,
    and nothing is acknowledged (or shown) that a crash could take back. A write whose shared
    transaction could not be committed (a full disk) is answered with that failure instead of the
    answer its handler made.

    It also answers the exceptions that have a handler in `handlers` (by class, along the exception's
    MRO) and that reach it before an answer has begun: the router's own (no route, wrong method), and
    through the scope, the same handlers for those of the routes. (One layer for all of it: each layer
    costs every request a call and every answer's messages a send wrapper.)"""

    def __init__(self, app, store, allowed_hosts: frozenset[str] = LOOPBACK_NAMES,
                 handlers: dict | None = None) -> None:
        super().__init__(app, allowed_hosts)
        self.store = store
        self.handlers = dict(handlers or {})
        self._scope_handlers = (self.handlers, {})

    async def answer(self, scope, receive, send, headers: tuple) -> None:
        refused = False
        started = False
        store = self.store
        store.answering()

        async def send_when_durable(message) -> None:
            nonlocal refused, started
            if refused:
                return  # the handler's own answer, replaced by the storage failure's
            if message["type"] == "http.response.start":
                started = True
                try:
                    await store.durable()
                except STORAGE_ERRORS as exc:
                    answer = _storage_answer(scope["method"], scope["path"], exc)
                    if answer is None:
                        raise
                    refused = True
                    await answer(scope, receive, with_headers(send, headers))
                    return
                message = {**message, "headers": [*message.get("headers", ()), *headers]}
            await send(message)

        scope["starlette.exception_handlers"] = self._scope_handlers
        try:
            await self.app(scope, receive, send_when_durable)
        except Exception as exc:
            handler = _handler_for(self.handlers, exc)
            if handler is None:
                raise
            if started:
                raise RuntimeError("Caught handled exception, but response already started.") from exc
            response = await handler(Request(scope, receive), exc)
            await response(scope, receive, send_when_durable)
            exc.__traceback__ = None  # an exception object raised again must not pile up tracebacks


def _handler_for(handlers: dict, exc: Exception):
    for cls in type(exc).__mro__:
        handler = handlers.get(cls)
        if handler is not None:
            return handler
    return None


class CloudApp(Starlette):
    """The application with one layer fewer than Starlette builds by default: the exceptions its
    ExceptionMiddleware would answer (no route, wrong method, storage failures and the handlers'
    HTTPExceptions) are answered by DurableAnswers, which wraps every answer anyway. Faults with no
    handler still reach ServerErrorMiddleware, outermost, which answers them 500."""

    def __init__(self, *, store, allowed_hosts: frozenset[str], **kwargs) -> None:
        self._store = store
        self._allowed_hosts = allowed_hosts
        super().__init__(**kwargs)

    def build_middleware_stack(self):
        if self.user_middleware or getattr(self, "max_body_size", None) is not None:
            raise TypeError("CloudApp builds its own layers: no other middleware or body limit is added")
        handlers = {key: value for key, value in self.exception_handlers.items() if key not in (500, Exception)}
        if any(not isinstance(key, type) for key in handlers):
            raise TypeError("CloudApp answers exceptions by class only")
        answers = DurableAnswers(self.router, store=self._store, allowed_hosts=self._allowed_hosts,
                                 handlers=handlers)
        return ServerErrorMiddleware(answers, handler=self.exception_handlers.get(Exception), debug=self.debug)


EXCEPTION_HANDLERS = {HTTPException: _http_error, **dict.fromkeys(STORAGE_ERRORS, _storage_fault),
                      Exception: _server_fault}


def create_app(state: CloudState) -> Starlette:
    allowed = allowed_host_names(state.config.host, state.config.allowed_hosts)
    state.store.group_commits()
    app = CloudApp(
        store=state.store,
        allowed_hosts=allowed,
        routes=api.ROUTES + batch.ROUTES + dashboard.ROUTES + history.ROUTES + pending.ROUTES,
        exception_handlers=EXCEPTION_HANDLERS,
    )
    app.state.cloud = state
    return app
