"""The JSON API under /v1."""

from __future__ import annotations

import functools
import secrets

from starlette.requests import ClientDisconnect, Request
from starlette.responses import JSONResponse
from starlette.routing import Route

from . import connect, errors
from .config import CloudState
from .errors import ApiError
from .validation import (
    parse_approver,
    parse_json_object,
    parse_list_query,
    parse_new_request,
    parse_reason,
    parse_receipt,
    parse_token,
    public_key_hex,
)
from .wire import request_json


def error_response(error: ApiError) -> JSONResponse:
    return JSONResponse(error.body(), status_code=error.status)


async def read_body(request: Request, limit: int) -> bytes:
    declared = request.headers.get("content-length", "")
    if declared.isdigit() and int(declared) > limit:
        raise errors.payload_too_large(limit)
    chunks, size = [], 0
    try:
        async for chunk in request.stream():
            size += len(chunk)
            if size > limit:
                raise errors.payload_too_large(limit)
            chunks.append(chunk)
    except ClientDisconnect:
        raise errors.invalid_json("the client disconnected before the body was complete") from None
    return b"".join(chunks)


def state_of(request: Request) -> CloudState:
    return request.app.state.cloud


async def json_body(request: Request) -> dict:
    return parse_json_object(await read_body(request, state_of(request).config.max_body_bytes))


def require_api_key(request: Request) -> None:
    scheme, _, key = request.headers.get("authorization", "").partition(" ")
    if scheme.lower() != "bearer" or not key.strip():
        raise errors.unauthorized("missing or malformed Authorization header; expected 'Bearer <api key>'")
    if not state_of(request).api_keys.accepts(key.strip()):
        raise errors.unauthorized("unknown API key")


def endpoint(*, authenticated: bool):
    """Wraps a handler so that an ApiError becomes its JSON error answer."""

    def wrap(handler):
        @functools.wraps(handler)
        async def run(request: Request):
            try:
                if authenticated:
                    require_api_key(request)
                return await handler(request)
            except ApiError as error:
                return error_response(error)

        return run

    return wrap


def _request_answer(request: Request, record, status_code: int = 200) -> JSONResponse:
    return JSONResponse(request_json(record, state_of(request).config.encoding), status_code=status_code)


@endpoint(authenticated=True)
async def create_request(request: Request):
    body = await json_body(request)
    new = parse_new_request(body, request.headers.get("idempotency-key") or None)
    record, created = state_of(request).service.create(new)
    return _request_answer(request, record, 201 if created else 200)


@endpoint(authenticated=True)
async def list_requests(request: Request):
    status, limit = parse_list_query(request.query_params)
    cloud = state_of(request)
    records = cloud.service.list(status, limit)
    return JSONResponse({"requests": [request_json(r, cloud.config.encoding) for r in records]})


@endpoint(authenticated=True)
async def get_request(request: Request):
    return _request_answer(request, state_of(request).service.get(request.path_params["request_id"]))


@endpoint(authenticated=True)
async def approve_request(request: Request):
    approver = parse_approver(await json_body(request))
    record = state_of(request).service.approve(request.path_params["request_id"], approver)
    return _request_answer(request, record)


@endpoint(authenticated=True)
async def deny_request(request: Request):
    body = await json_body(request)
    approver, reason = parse_approver(body), parse_reason(body)
    record = state_of(request).service.deny(request.path_params["request_id"], approver, reason)
    return _request_answer(request, record)


@endpoint(authenticated=True)
async def list_approvers(request: Request):
    approvers = state_of(request).approvers.all()
    return JSONResponse({"approvers": [{"name": a.name, "public_key": a.public_key_hex} for a in approvers]})


@endpoint(authenticated=True)
async def post_receipt(request: Request):
    receipt = parse_receipt(await json_body(request))
    cloud = state_of(request)
    receipt_id = "rcpt_" + secrets.token_hex(10)
    with cloud.store.transaction():
        cloud.store.add_receipt(receipt_id, receipt, cloud.service.clock())
    return JSONResponse({"id": receipt_id}, status_code=202)


def _public_base_url(request: Request) -> str:
    return str(request.base_url).rstrip("/")


@endpoint(authenticated=False)
async def connect_exchange(request: Request):
    token = parse_token(await json_body(request))
    cloud = state_of(request)
    return JSONResponse(connect.exchange(cloud.store, token, _public_base_url(request), cloud.service.clock()))


@endpoint(authenticated=False)
async def connect_claim(request: Request):
    body = await json_body(request)
    token = parse_token(body)
    key = public_key_hex(body.get("public_key_hex"), "public_key_hex")
    cloud = state_of(request)
    return JSONResponse(connect.claim(cloud.store, token, key, cloud.service.clock()))


@endpoint(authenticated=False)
async def health(request: Request):
    return JSONResponse({"status": "ok"})


ROUTES = [
    Route("/v1/approvals/requests", create_request, methods=["POST"]),
    Route("/v1/approvals/requests", list_requests, methods=["GET"]),
    Route("/v1/approvals/requests/{request_id}", get_request, methods=["GET"]),
    Route("/v1/approvals/requests/{request_id}/approve", approve_request, methods=["POST"]),
    Route("/v1/approvals/requests/{request_id}/deny", deny_request, methods=["POST"]),
    Route("/v1/approvers", list_approvers, methods=["GET"]),
    Route("/v1/receipts", post_receipt, methods=["POST"]),
    Route("/v1/connect/exchange", connect_exchange, methods=["POST"]),
    Route("/v1/connect/claim", connect_claim, methods=["POST"]),
    Route("/healthz", health, methods=["GET"]),
]
