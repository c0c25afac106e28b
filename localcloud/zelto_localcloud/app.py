"""The ASGI application: the JSON API, the dashboard and JSON answers for routing errors."""

from __future__ import annotations

import logging

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.middleware import Middleware
from starlette.requests import Request
from starlette.responses import JSONResponse

from . import api, batch, dashboard
from .config import CloudState
from .web import WebGuard, allowed_host_names

logger = logging.getLogger("zelto_localcloud")

_ROUTING_ERRORS = {404: "not_found", 405: "method_not_allowed"}


async def _http_error(request: Request, exc: HTTPException) -> JSONResponse:
    code = _ROUTING_ERRORS.get(exc.status_code, "invalid_request")
    message = f"no route for {request.method} {request.url.path}" if exc.status_code in _ROUTING_ERRORS else exc.detail
    return JSONResponse(
        {"error": {"code": code, "message": message}}, status_code=exc.status_code, headers=exc.headers
    )


async def _server_fault(request: Request, exc: Exception) -> JSONResponse:
    logger.exception("unexpected fault on %s %s", request.method, request.url.path)
    return JSONResponse({"error": {"code": "internal", "message": "internal server error"}}, status_code=500)


class DurableAnswers:
    """Holds each answer back until everything committed before it is on disk: writes that arrive
    together share one flush, and nothing is acknowledged (or shown) that a crash could take back."""

    def __init__(self, app, store) -> None:
        self.app, self.store = app, store

    async def __call__(self, scope, receive, send) -> None:
        if scope["type"] != "http":
            return await self.app(scope, receive, send)

        async def send_when_durable(message) -> None:
            if message["type"] == "http.response.start":
                await self.store.durable()
            await send(message)

        await self.app(scope, receive, send_when_durable)


def create_app(state: CloudState) -> Starlette:
    allowed = allowed_host_names(state.config.host, state.config.allowed_hosts)
    state.store.group_commits()
    app = Starlette(
        routes=api.ROUTES + batch.ROUTES + dashboard.ROUTES,
        exception_handlers={HTTPException: _http_error, Exception: _server_fault},
        middleware=[Middleware(WebGuard, allowed_hosts=allowed), Middleware(DurableAnswers, store=state.store)],
    )
    app.state.cloud = state
    return app
