"""The JSON API under /v1."""

from __future__ import annotations

import asyncio
import functools
import json
from dataclasses import dataclass
from importlib import resources
from urllib.parse import unquote

from starlette.concurrency import run_in_threadpool
from starlette.requests import ClientDisconnect, Request
from starlette.responses import JSONResponse as _StarletteJSONResponse
from starlette.responses import Response
from starlette.routing import Match, Route

from . import display, errors
from .approvers import Approver
from .config import CloudState
from .credentials import basic_credentials
from .display import shown
from .errors import ApiError
from .paging import MAX_PAGE_BYTES, encode_cursor, parse_cursor
from .service import prepare
from .validation import (
    parse_confirmation,
    parse_json_object,
    parse_list_query,
    parse_signed_request,
    parse_optional_approver,
    parse_reason,
    parse_receipt,
    parse_token,
    public_key_hex,
)
from .wire import request_json


class JSONResponse(_StarletteJSONResponse):
    """Starlette's JSON answer, the same bytes, from an encoder made once (json.dumps with options sets
    one up for every answer)."""

    _encode = json.JSONEncoder(ensure_ascii=False, allow_nan=False, separators=(",", ":")).encode

    def render(self, content) -> bytes:
        return self._encode(content).encode("utf-8")


def error_response(error: ApiError) -> JSONResponse:
    headers = error.headers()
    if error.status == 401:
        headers["WWW-Authenticate"] = 'Bearer realm="agents", Basic realm="approvers"'
    return JSONResponse(error.body(), status_code=error.status, headers=headers or None)


async def read_body(request: Request, limit: int) -> bytes:
    declared = request.headers.get("content-length", "")
    if declared.isdigit() and int(declared) > limit:
        raise errors.payload_too_large(limit)
    # The server's messages are read here as they come, not through Request.stream(): an async generator
    # per request costs the event loop's bookkeeping of it, on every create.
    receive = request.receive
    chunks, size, more = [], 0, True
    try:
        async with asyncio.timeout(state_of(request).config.body_timeout):
            while more:
                message = await receive()
                if message["type"] != "http.request":  # "http.disconnect"
                    raise ClientDisconnect()
                chunk, more = message.get("body", b""), message.get("more_body", False)
                size += len(chunk)
                if size > limit:
                    raise errors.payload_too_large(limit)
                chunks.append(chunk)
    except ClientDisconnect:
        raise errors.invalid_json("the client disconnected before the body was complete") from None
    except TimeoutError:
        raise errors.request_timeout("the request body did not arrive in time") from None
    return chunks[0] if len(chunks) == 1 else b"".join(chunks)


def state_of(request: Request) -> CloudState:
    return request.app.state.cloud


async def json_body(request: Request) -> dict:
    return parse_json_object(await read_body(request, state_of(request).config.max_body_bytes))


async def optional_json_body(request: Request) -> dict:
    """A body that may be left out altogether (approve, deny): none counts as {}."""
    raw = await read_body(request, state_of(request).config.max_body_bytes)
    return parse_json_object(raw) if raw.strip() else {}


# -- who is calling -----------------------------------------------------------


@dataclass(frozen=True)
class Agent:
    """An agent API key; its id is its tenant."""

    tenant: str


@dataclass(frozen=True)
class SignedIn:
    """An approver who proved who they are."""

    approver: Approver


def client_address(request: Request) -> str:
    return request.client.host if request.client else ""


async def check_approver_password(cloud: CloudState, name: str, password: str, address: str) -> Approver:
    """The approver `name` if `password` is theirs; raises 401, or 429 while guessing from `address` is
    delayed or too many checks wait. A credential this address proved before is answered at once."""
    guard = cloud.sign_ins
    record = await cloud.store.call(cloud.approvers.record, name)
    stored_hash = None if record is None else record.password_hash
    credential = guard.credential_id(name, password, stored_hash, address)
    known = await cloud.store.call(guard.remembered, credential, name, address)  # reads the shared throttle
    if not known:
        if not await cloud.password_checks.check(guard, name, password, stored_hash, address, credential):
            raise errors.unauthorized("unknown approver or wrong password")
        record = await cloud.store.call(cloud.approvers.record, name)
    if record is None:  # removed while the password was being checked
        raise errors.unauthorized("unknown approver or wrong password")
    return Approver.from_record(record)


async def authenticate(request: Request) -> Agent | SignedIn:
    scheme, _, value = request.headers.get("authorization", "").partition(" ")
    cloud = state_of(request)
    if scheme.lower() == "bearer" and value.strip():
        tenant = await cloud.store.call(cloud.tenant_for, value.strip())
        if tenant is None:
            raise errors.unauthorized("unknown API key")
        return Agent(tenant)
    if scheme.lower() == "basic" and value.strip():
        credentials = basic_credentials(value)
        if credentials is None:
            raise errors.unauthorized("malformed Basic credentials; expected base64 of 'approver:password'")
        return SignedIn(await check_approver_password(cloud, *credentials, client_address(request)))
    raise errors.unauthorized(
        "missing or malformed Authorization header; expected 'Bearer <api key>' (agents)"
        " or 'Basic <approver:password>' (approvers)"
    )


_AGENTS_ONLY = "approvers cannot {what}; that needs an agent's API key"
_APPROVERS_ONLY = "an API key cannot {what}; that needs an approver's credential (Basic approver:password)"


def endpoint(*, agents: str | None = None, approvers: str | None = None, public: bool = False):
    """Wraps a handler so that an ApiError becomes its JSON error answer.

    `agents` and `approvers` describe what the handler does ("approve requests"),
    naming the kinds of credential it accepts; the caller is passed on as `who`.
    """

    def wrap(handler):
        @functools.wraps(handler)
        async def run(request: Request):
            try:
                if public:
                    return await handler(request)
                who = await authenticate(request)
                if isinstance(who, Agent) and agents is None:
                    raise errors.forbidden(_APPROVERS_ONLY.format(what=approvers))
                if isinstance(who, SignedIn) and approvers is None:
                    raise errors.forbidden(_AGENTS_ONLY.format(what=agents))
                return await handler(request, who)
            except ApiError as error:
                return error_response(error)

        return Served(run)

    return wrap


class Served:
    """A request handler as its route's ASGI application.

    Starlette wraps a plain function in two more layers (a Request made for it and a catcher of the
    exceptions that have handlers, with a send wrapper for every message). The application's own layer
    (app.DurableAnswers) already answers those exceptions with the same handlers, before an answer has
    begun, so the API's routes, the busiest, are served without them.
    """

    def __init__(self, run):
        self.run = run
        functools.update_wrapper(self, run)

    async def __call__(self, scope, receive, send) -> None:
        response = await self.run(Request(scope, receive, send))
        await response(scope, receive, send)


def tenant_of(who: Agent | SignedIn) -> str | None:
    """Agents see their own tenant's requests; approvers see every tenant's."""
    return who.tenant if isinstance(who, Agent) else None


def _request_answer(request: Request, record, status_code: int = 200, *, call: bool = True) -> JSONResponse:
    return JSONResponse(request_json(record, state_of(request).config.encoding, call=call), status_code=status_code)


def _parse_and_prepare(raw: bytes, idempotency_header: str | None):
    new, arguments = parse_signed_request(parse_json_object(raw), idempotency_header)
    return new, prepare(new, arguments)


# A body (or a stored call) up to this size is worked on right on the event loop: that takes less than
# handing it to a worker thread and waiting for the interpreter to come back. Larger ones go to a thread.
INLINE_BYTES = 8 * 1024


async def off_the_loop_if_large(size: int, function, /, *args):
    if size <= INLINE_BYTES:
        return function(*args)
    return await run_in_threadpool(function, *args)


async def keep_shown_call(cloud: CloudState, request_id: str) -> None:
    """Works out the shown call of a stored request, where it is kept a while (a large one in a worker
    thread): for a large call that takes seconds, which must be spent neither on the event loop nor inside
    a decision's write transaction (which then finds it kept)."""
    if display.kept(request_id):
        return  # usually so: kept since its create or an earlier read
    record = await cloud.store.call(cloud.service.peek, request_id)
    if record is not None:
        await off_the_loop_if_large(len(record.args_canonical_cbor_b64), shown, record)


@endpoint(agents="create approval requests")
async def create_request(request: Request, who: Agent):
    raw = await read_body(request, state_of(request).config.max_body_bytes)
    # Parsing, checking and masking a large body take a while: done once, in a worker thread, so the
    # server goes on answering others, and before the write transaction.
    new, prepared = await off_the_loop_if_large(
        len(raw), _parse_and_prepare, raw, request.headers.get("idempotency-key") or None)
    record, created = await state_of(request).store.call(state_of(request).service.create, new, who.tenant, prepared)
    return _request_answer(request, record, 201 if created else 200)


@endpoint(agents="list approval requests", approvers="list approval requests")
async def list_requests(request: Request, who):
    status, limit = parse_list_query(request.query_params)
    before = parse_cursor(request.query_params)
    cloud = state_of(request)
    records = await cloud.store.call(cloud.service.list, status, limit + 1, tenant_of(who), before=before)
    # At most `limit` requests and MAX_PAGE_BYTES of them (but always one); the cursor says where to go on.
    items, size, next_cursor = [], 0, None
    for record in records:
        item = request_json(record, cloud.config.encoding)
        item_size = len(json.dumps(item, ensure_ascii=False).encode("utf-8"))
        if len(items) == limit or (items and size + item_size > MAX_PAGE_BYTES):
            next_cursor = encode_cursor(items[-1][0])
            break
        size += item_size
        items.append((record.seq, item))
    return JSONResponse({"requests": [item for _, item in items], "next_cursor": next_cursor})


@endpoint(agents="read approval requests", approvers="read approval requests")
async def get_request(request: Request, who):
    cloud = state_of(request)
    record = await cloud.store.call(cloud.service.get, request.path_params["request_id"], tenant_of(who))
    if isinstance(who, Agent):
        cloud.note_poll(record.id, cloud.clock())
    else:
        await off_the_loop_if_large(len(record.args_canonical_cbor_b64), shown, record)
    return _request_answer(request, record, call=not isinstance(who, Agent))


def _acting_approver(request: Request, body: dict, who: SignedIn) -> Approver:
    """The signed-in approver; a body that names another approver is refused, never obeyed."""
    named = parse_optional_approver(body)
    if named is not None:
        resolved = state_of(request).approvers.resolve(named)
        if resolved is None or resolved.public_key_hex != who.approver.public_key_hex:
            raise errors.forbidden(
                f"signed in as {who.approver.name}: an approval is signed only by the approver who is signed in"
            )
    return who.approver


@endpoint(approvers="approve requests")
async def approve_request(request: Request, who: SignedIn):
    body = await optional_json_body(request)
    cloud = state_of(request)
    approver, confirmed = await cloud.store.call(_acting_approver, request, body, who), parse_confirmation(body)
    await keep_shown_call(cloud, request.path_params["request_id"])
    record = await cloud.store.call(cloud.service.approve, request.path_params["request_id"], approver,
                                    confirmed=confirmed)
    return _request_answer(request, record)


@endpoint(approvers="deny requests")
async def deny_request(request: Request, who: SignedIn):
    body = await optional_json_body(request)
    cloud = state_of(request)
    approver, reason = await cloud.store.call(_acting_approver, request, body, who), parse_reason(body)
    await keep_shown_call(cloud, request.path_params["request_id"])
    record = await cloud.store.call(cloud.service.deny, request.path_params["request_id"], approver, reason)
    return _request_answer(request, record)


@endpoint(agents="list approvers", approvers="list approvers")
async def list_approvers(request: Request, who):
    cloud = state_of(request)
    approvers = await cloud.store.call(cloud.approvers.all)
    return JSONResponse({"approvers": [{"name": a.name, "public_key": a.public_key_hex} for a in approvers]})


@endpoint(agents="post receipts")
async def post_receipt(request: Request, who: Agent):
    receipt = parse_receipt(await json_body(request))
    receipts = state_of(request).receipts
    receipt_id = await receipts.store.call(receipts.receive, who.tenant, receipt)
    return JSONResponse({"id": receipt_id}, status_code=202)


def _public_base_url(request: Request) -> str:
    return str(request.base_url).rstrip("/")


@endpoint(public=True)
async def connect_exchange(request: Request):
    token = parse_token(await json_body(request))
    cloud = state_of(request)
    settings = await cloud.store.call(cloud.connect.exchange, token, _public_base_url(request))
    return JSONResponse(settings)


@endpoint(public=True)
async def connect_claim(request: Request):
    body = await json_body(request)
    token = parse_token(body)
    key = public_key_hex(body.get("public_key_hex"), "public_key_hex")
    cloud = state_of(request)
    return JSONResponse(await cloud.store.call(cloud.connect.claim, token, key))


@endpoint(public=True)
async def health(request: Request):
    return JSONResponse({"status": "ok"})


@functools.cache
def openapi_document() -> dict:
    """The OpenAPI description of this API, shipped beside this module."""
    return json.loads(resources.files(__package__).joinpath("openapi.json").read_text("utf-8"))


@endpoint(public=True)
async def openapi(request: Request):
    # This server's own address comes first, so a tool that reads the document here calls this server.
    document = openapi_document()
    own = {"url": _public_base_url(request), "description": "This server."}
    served = {**document, "servers": [own, *document.get("servers", [])]}
    return Response(json.dumps(served, ensure_ascii=False), media_type="application/json")


# Path segments under /v1/approvals/requests that name a call, never a request.
RESERVED_REQUEST_SEGMENTS = frozenset({"batch-read"})


class RequestIdRoute(Route):
    """A route whose {request_id} is one path segment as the client sent it.

    The server decodes the path before routing, so an id holding an encoded
    slash ("a%2Fb") would otherwise be split into two segments and miss its
    route (or find another one). Here the raw path is matched with its
    encoded slashes kept, and the id is decoded after the match.
    """

    def matches(self, scope):
        raw = scope.get("raw_path")
        encoded = raw is not None and b"%2f" in raw.lower()
        if encoded:
            segments = [unquote(part).replace("%", "%25").replace("/", "%2F")
                        for part in raw.decode("latin-1").split("/")]
            scope = {**scope, "path": "/".join(segments)}
        match, child_scope = super().matches(scope)
        if match is Match.NONE:
            return match, child_scope
        request_id = child_scope["path_params"]["request_id"]
        if encoded:
            request_id = unquote(request_id)
            child_scope["path_params"] = {**child_scope["path_params"], "request_id": request_id}
        if request_id in RESERVED_REQUEST_SEGMENTS:
            return Match.NONE, {}
        return match, child_scope


ROUTES = [
    Route("/v1/approvals/requests", create_request, methods=["POST"]),
    Route("/v1/approvals/requests", list_requests, methods=["GET"]),
    RequestIdRoute("/v1/approvals/requests/{request_id}", get_request, methods=["GET"]),
    RequestIdRoute("/v1/approvals/requests/{request_id}/approve", approve_request, methods=["POST"]),
    RequestIdRoute("/v1/approvals/requests/{request_id}/deny", deny_request, methods=["POST"]),
    Route("/v1/approvers", list_approvers, methods=["GET"]),
    Route("/v1/receipts", post_receipt, methods=["POST"]),
    Route("/v1/connect/exchange", connect_exchange, methods=["POST"]),
    Route("/v1/connect/claim", connect_claim, methods=["POST"]),
    Route("/healthz", health, methods=["GET"]),
    Route("/openapi.json", openapi, methods=["GET"]),
]
