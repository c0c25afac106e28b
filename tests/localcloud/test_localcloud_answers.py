"""How answers leave the server: an answer that a failed commit took back is replaced by the failure, and
errors are answered in JSON."""

from __future__ import annotations

import asyncio
import json
import logging
import sqlite3

import pytest

from zelto_localcloud.app import DurableAnswers


class _Store:
    def __init__(self, failure):
        self.failure = failure

    def answering(self):
        pass

    async def durable(self):
        if self.failure is not None:
            raise self.failure


def _failure(code: int, message: str) -> sqlite3.OperationalError:
    error = sqlite3.OperationalError(message)
    error.sqlite_errorcode = code
    return error


@pytest.mark.parametrize("failure, status", [
    (None, 201),
    (_failure(sqlite3.SQLITE_FULL, "database or disk is full"), 507),
    (_failure(sqlite3.SQLITE_READONLY, "attempt to write a readonly database"), 503),
], ids=["stored", "disk full", "read-only"])
def test_an_answer_whose_write_was_not_stored_tells_the_failure(caplog, failure, status):
    async def handler(scope, receive, send):
        await send({"type": "http.response.start", "status": 201, "headers": [(b"content-type", b"application/json")]})
        await send({"type": "http.response.body", "body": b'{"id": "apr_1"}'})

    async def run():
        messages = []

        async def send(message):
            messages.append(message)

        scope = {"type": "http", "method": "POST", "path": "/v1/approvals/requests",
                 "headers": [(b"host", b"127.0.0.1:8787")]}
        await DurableAnswers(handler, _Store(failure))(scope, None, send)
        return messages

    with caplog.at_level(logging.WARNING, logger="zelto_localcloud"):
        start, body = asyncio.run(run())
    assert start["status"] == status
    # The failure's answer too carries what every answer does.
    headers = dict(start["headers"])
    assert (headers[b"x-frame-options"], headers[b"cache-control"]) == (b"DENY", b"no-store")
    answer = json.loads(body["body"])
    assert ("id" in answer) == (failure is None)
    if failure is not None:
        assert "nothing was stored" in answer["error"]["message"]
        assert len(caplog.records) == 1 and "Traceback" not in caplog.text


def _app_raising():
    from starlette.exceptions import HTTPException
    from starlette.responses import JSONResponse
    from starlette.routing import Route

    from zelto_localcloud.app import EXCEPTION_HANDLERS, CloudApp

    async def raises(request):
        kind = request.path_params["kind"]
        if kind == "conflict":
            raise HTTPException(409, "already decided")
        if kind == "full":
            raise _failure(sqlite3.SQLITE_FULL, "database or disk is full")
        if kind == "fault":
            raise ValueError("a bug")
        return JSONResponse({"ok": True})

    class AsgiRaises:  # a route that is an ASGI app: no wrap of its route answers for it
        async def __call__(self, scope, receive, send):
            raise HTTPException(422, "refused by the app itself")

    from zelto_localcloud.api import endpoint

    routes = [Route("/v1/raise/{kind}", raises, methods=["POST"]), Route("/v1/asgi", AsgiRaises(), methods=["POST"]),
              Route("/v1/served/{kind}", endpoint(public=True)(raises), methods=["POST"])]
    return CloudApp(store=_Store(None), allowed_hosts=frozenset({"testserver"}), routes=routes,
                    exception_handlers=EXCEPTION_HANDLERS)


# Every error the application answers is JSON with the usual headers (only an unexpected fault's 500
# comes from the outermost layer, without them).
@pytest.mark.parametrize("method, path, status, code, guarded", [
    ("POST", "/v1/raise/none", 200, None, True),
    ("POST", "/v1/raise/conflict", 409, "invalid_request", True),
    ("POST", "/v1/raise/full", 507, "insufficient_storage", True),
    ("POST", "/v1/asgi", 422, "invalid_request", True),
    ("GET", "/v1/nowhere", 404, "not_found", True),
    ("GET", "/v1/raise/none", 405, "method_not_allowed", True),
    ("POST", "/v1/raise/fault", 500, "internal", False),
    ("POST", "/v1/served/none", 200, None, True),
    ("POST", "/v1/served/conflict", 409, "invalid_request", True),
    ("POST", "/v1/served/full", 507, "insufficient_storage", True),
    ("POST", "/v1/served/fault", 500, "internal", False),
], ids=["answered", "handler's HTTP error", "storage failure", "router-level app", "no route", "wrong method",
        "fault", "API answered", "API HTTP error", "API storage failure", "API fault"])
def test_errors_become_json_answers(caplog, method, path, status, code, guarded):
    from starlette.testclient import TestClient

    with caplog.at_level(logging.WARNING, logger="zelto_localcloud"):
        with TestClient(_app_raising(), raise_server_exceptions=False) as client:
            answer = client.request(method, path)
    assert answer.status_code == status
    body = answer.json()
    assert body == {"ok": True} if code is None else body["error"]["code"] == code
    assert (answer.headers.get("x-frame-options"), answer.headers.get("cache-control")) == (
        ("DENY", "no-store") if guarded else (None, None))
    if status == 405:
        assert answer.headers["allow"] == "POST"
