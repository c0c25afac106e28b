"""The server-rendered dashboard: the approver's queue at /approvals, every request at /approvals?view=all,
and one request at /approvals?request=<id>.

An approver signs in at /signin with their name and password; the session
lives in an HttpOnly, SameSite=Strict cookie. Approve and Deny are plain HTML
forms that post back here, signed as the approver who is signed in; each form
carries the session's form token, so another web page cannot submit them on a
visitor's behalf. Pages are templates (templates/) that escape every value, and
they run no inline script (see web.py for the Content-Security-Policy).
"""

from __future__ import annotations

import hashlib
import secrets
import time
from dataclasses import dataclass
from urllib.parse import parse_qs, quote, urlencode

from starlette.concurrency import run_in_threadpool
from starlette.requests import Request
from starlette.responses import JSONResponse, RedirectResponse
from starlette.routing import Route

from . import errors, outcomes, pages
from .api import check_approver_password, client_address, keep_shown_call, read_body, state_of
from .approver_queue import PAGE_SIZE, SORTS
from .credentials import SESSION_SECONDS, same_secret
from .display import Shown, shown
from .errors import ApiError
from .pages import render
from .paging import encode_cursor, parse_cursor
from .service import may_decide
from .services import Visitor
from .store import RequestRecord

REFRESH_SECONDS = 3
LIST_LIMIT = 200
SESSION_COOKIE = "zelto_session"
SIGN_IN_COOKIE = "zelto_signin"

# What the cloud approval handler tells the agent about a deny that gives no reason.
DEFAULT_DENIAL = "denied in Zelto Cloud"
pages.templates.env.globals["default_denial"] = DEFAULT_DENIAL


def notice_page(request: Request, title: str, message: str, status_code: int, visitor: Visitor | None = None):
    return render(request, "notice.html", status_code, title=title, message=message, visitor=visitor)


# -- sessions -------------------------------------------------------------------


async def visitor_of(request: Request) -> Visitor | None:
    """The approver whose session cookie came with the request, if it is still good."""
    token = request.cookies.get(SESSION_COOKIE, "")
    if not token:
        return None  # no cookie, nothing to look up
    cloud = state_of(request)
    return await cloud.store.call(cloud.sessions.visitor, token)


def _safe_next(target: str) -> str:
    """Only this dashboard's own pages are followed after signing in or deciding."""
    if target.startswith("/approvals") and "//" not in target and "\\" not in target:
        return target
    return "/approvals"


def to_sign_in(request: Request) -> RedirectResponse:
    here = request.url.path + (f"?{request.url.query}" if request.url.query else "")
    return RedirectResponse(f"/signin?next={quote(here, safe='')}", status_code=303)


def _sign_in_page(request: Request, next_target: str, notice: str = "", status_code: int = 200):
    nonce = secrets.token_urlsafe(18)
    response = render(request, "signin.html", status_code, title="Sign in", nonce=nonce, next_target=next_target,
                      notice=notice)
    response.set_cookie(SIGN_IN_COOKIE, nonce, max_age=3600, path="/signin", httponly=True, samesite="strict")
    return response


async def sign_in_form(request: Request):
    if await visitor_of(request) is not None:
        return RedirectResponse(_safe_next(request.query_params.get("next", "")), status_code=303)
    return _sign_in_page(request, _safe_next(request.query_params.get("next", "")))


async def sign_in(request: Request):
    cloud = state_of(request)
    try:
        fields = await _form_fields(request)
    except ApiError as error:
        return notice_page(request, "Sign in", error.message, error.status)
    next_target = _safe_next(fields.get("next", ""))
    # The sign-in form's own token (in a cookie and in the form) keeps other sites from signing a visitor in.
    if not same_secret(fields.get("form_token", ""), request.cookies.get(SIGN_IN_COOKIE, "") or "\0"):
        return _sign_in_page(request, next_target, "The sign-in form was stale; please try again.", 403)
    try:
        approver = await check_approver_password(cloud, fields.get("name", ""), fields.get("password", ""),
                                                 client_address(request))
    except ApiError as error:
        refused = _sign_in_page(request, next_target, error.message, error.status)
        refused.headers.update(error.headers())
        return refused
    session = await cloud.store.call(cloud.sessions.open, approver.name)
    response = RedirectResponse(next_target, status_code=303)
    response.set_cookie(
        SESSION_COOKIE, session.token, max_age=SESSION_SECONDS, path="/", httponly=True, samesite="strict",
        secure=request.url.scheme == "https",
    )
    response.delete_cookie(SIGN_IN_COOKIE, path="/signin")
    return response


async def sign_out(request: Request):
    visitor = await visitor_of(request)
    if visitor is not None:
        fields = await _form_fields(request)
        if not same_secret(fields.get("form_token", ""), visitor.session.form_token):
            return notice_page(request, "Refused", "The form is stale or was not sent by this dashboard.", 403)
        cloud = state_of(request)
        await cloud.store.call(cloud.sessions.close, visitor.token)
    response = RedirectResponse("/signin", status_code=303)
    response.delete_cookie(SESSION_COOKIE, path="/")
    return response


# -- what a person reads ---------------------------------------------------------


def in_words(seconds: float) -> str:
    seconds = max(0, int(seconds))
    if seconds < 60:
        return f"{seconds} s"
    if seconds < 3600:
        return f"{seconds // 60} min"
    if seconds < 48 * 3600:
        return f"{seconds // 3600} h {seconds % 3600 // 60} min" if seconds < 10 * 3600 else f"{seconds // 3600} h"
    return f"{seconds // 86400} days"


def clock_time(timestamp: float) -> str:
    return time.strftime("%H:%M UTC", time.gmtime(timestamp))


def _expiry_text(record: RequestRecord, now: float) -> str:
    if record.status != "pending":
        return ""
    left = record.expires_at - now
    return f"expires in {in_words(left)}" if left > 0 else f"expired {in_words(-left)} ago"


def _waiting(cloud, record: RequestRecord, now: float) -> tuple[str, str]:
    """Whether an agent still waits for this request: the text and a class (ok, stale or abandoned)."""
    if record.status != "pending":
        return "", ""
    seen = outcomes.abandoned_since(cloud, record, now)
    if seen is not None:
        return (f"abandoned: no agent has checked since {clock_time(seen)};"
                " approving it needs a confirmation"), "abandoned"
    last = cloud.last_polls.get(record.id)
    if last is None and record.created_at < cloud.started_at:
        return (f"no agent has checked since this server started at {clock_time(cloud.started_at)}:"
                " approving may have no effect"), "stale"
    last = record.created_at if last is None else last
    if now - last <= cloud.config.agent_gone_after:
        return f"agent waiting (last check {in_words(now - last)} ago)", "ok"
    return f"no agent has checked since {clock_time(last)}: approving may have no effect", "stale"


def _decision_text(record: RequestRecord) -> str:
    approvers = ", ".join(r.approver for r in record.approvals())
    if record.status == "approved":
        return f"Approved by {approvers} at {clock_time(record.resolved_at)}."
    if record.status == "denied":
        denial = next((r for r in reversed(record.responses) if r.decision == "denied"), None)
        who = denial.approver if denial else "an approver"
        reason = f": {record.denied_reason}" if record.denied_reason else " (no reason given)"
        return f"Denied by {who} at {clock_time(record.resolved_at)}{reason}."
    if record.status == "expired":
        return f"Expired at {clock_time(record.resolved_at or record.expires_at)} without a decision."
    if approvers:
        more = record.threshold - len(record.approvals())
        return f"Approved so far by {approvers}; {more} more approval{'s' if more != 1 else ''} needed."
    return ""


def _status_state(cloud, record: RequestRecord) -> dict:
    now = cloud.clock()
    waiting, waiting_class = _waiting(cloud, record, now)
    return {
        "status": record.status,
        "approvals": f"{len(record.approvals())} of {record.threshold} approvals",
        "expires": _expiry_text(record, now),
        "waiting": waiting,
        "waiting_class": waiting_class,
        "decision": _decision_text(record) or f"This request is now {record.status}.",
    }


def fingerprint(key: bytes) -> str:
    digest = hashlib.sha256(key).hexdigest()[:16]
    return " ".join(digest[i:i + 4] for i in range(0, 16, 4))


@dataclass
class Item:
    """A request as a page lists it, with what its forms need."""

    record: RequestRecord
    call: Shown | None = None
    allowed: bool = False
    already: bool = False
    abandoned: bool = False
    waiting: str = ""
    waiting_class: str = ""
    expiry: str = ""
    next: str = ""


def _item(cloud, record: RequestRecord, visitor: Visitor, now: float, call: Shown | None = None) -> Item:
    waiting, waiting_class = _waiting(cloud, record, now)
    return Item(
        record=record, call=call, allowed=may_decide(record, visitor.approver),
        already=any(r.approver == visitor.approver.name for r in record.approvals()),
        abandoned=outcomes.abandoned_since(cloud, record, now) is not None,
        waiting=waiting, waiting_class=waiting_class, expiry=_expiry_text(record, now),
    )


# -- the queue: what waits for this approver -------------------------------------------


def _queue_url(sort: str, search: str, cursor: str = "", selected: str = "") -> str:
    query = {name: value for name, value in (("sort", sort), ("q", search), ("cursor", cursor),
                                               ("selected", selected)) if value}
    return "/approvals" + (f"?{urlencode(query)}" if query else "")


async def _queue_page(request: Request, visitor: Visitor):
    cloud = state_of(request)
    params = request.query_params
    sort = params.get("sort", "oldest")
    sort = sort if sort in SORTS else "oldest"
    search = params.get("q", "")[:200]
    notice = ""
    try:
        after = parse_cursor(params)
    except ApiError as error:
        after, notice = None, error.message
    page = await cloud.store.call(cloud.queue.page, visitor.approver, sort=sort, search=search, after=after,
                                  limit=PAGE_SIZE)
    now = cloud.clock()
    calls = await run_in_threadpool(lambda: [shown(record) for record in page.records])  # slow for large calls
    items = [_item(cloud, record, visitor, now, call) for record, call in zip(page.records, calls)]
    cursor = params.get("cursor", "") if after is not None else ""
    for index, item in enumerate(items):
        # After deciding one, the page comes back with the one below it (or above, for the last) selected.
        following = items[index + 1] if index + 1 < len(items) else items[index - 1] if index else None
        item.next = _queue_url(sort, search, cursor, following.record.id if following else "")
    selected = params.get("selected", "")
    if not any(item.record.id == selected for item in items):
        selected = items[0].record.id if items else ""
    abandoned = []
    for entry in page.abandoned:
        waiting, waiting_class = _waiting(cloud, entry, now)
        abandoned.append({"entry": entry, "waiting": waiting, "waiting_class": waiting_class,
                          "expiry": _expiry_text(entry, now)})
    return render(
        request, "queue.html", title="Approvals waiting for me", visitor=visitor, items=items, selected=selected,
        sort=sort, sorts=SORTS, search=search, waiting=page.waiting, abandoned=abandoned, notice=notice,
        more=_queue_url(sort, search, page.next_cursor) if page.next_cursor else "",
        first=_queue_url(sort, search) if after is not None else "",
    )


# -- every request -------------------------------------------------------------------

_FILTER_STATUSES = ("", "pending", "approved", "denied", "expired")


async def _list_page(request: Request, visitor: Visitor):
    cloud = state_of(request)
    status = request.query_params.get("status", "")
    status = status if status in _FILTER_STATUSES else ""
    tool = request.query_params.get("tool", "")[:200]
    now = cloud.clock()
    try:
        before = parse_cursor(request.query_params)
    except ApiError:
        before = None
    records = await cloud.store.call(cloud.service.list, status or None, LIST_LIMIT + 1, tool_part=tool or None,
                                     before=before)
    older = ""
    if len(records) > LIST_LIMIT:
        records = records[:LIST_LIMIT]
        older = "/approvals?" + urlencode({"view": "all", "status": status, "tool": tool,
                                           "cursor": encode_cursor(records[-1].seq)})
    items = [_item(cloud, record, visitor, now) for record in records]
    # A request no agent reads any more is kept apart: approving it likely has no effect.
    return render(
        request, "list.html", title="Approvals", visitor=visitor, statuses=_FILTER_STATUSES, status=status,
        tool=tool, older=older, here=f"{request.url.path}?{request.url.query}",
        pending=[i for i in items if i.record.status == "pending" and not i.abandoned],
        abandoned=[i for i in items if i.abandoned],
        resolved=[i for i in items if i.record.status != "pending"],
        data={"list-refresh": str(REFRESH_SECONDS)},
    )


# -- one request ------------------------------------------------------------------


def _detail_data(cloud, request_id: str, visitor: Visitor) -> tuple[RequestRecord, dict]:
    """A request and what its page shows beside it, read together (store work: run through store.call)."""
    record = cloud.service.get(request_id)
    approved = {r.approver_key: r for r in record.approvals()}
    keys = list(approved) if record.approver_keys is None else record.approver_keys
    approvers = [
        {"key": key, "name": cloud.approvers.name_for_key(key) or (approved[key].approver if key in approved else None),
         "approved_at": approved[key].created_at if key in approved else None}
        for key in keys
    ]
    return record, dict(
        key_name=cloud.records.key_name(record.tenant), approvers=approvers,
        outcome=cloud.records.outcome(record), deliveries=cloud.records.deliveries(record.id),
        history=cloud.records.history(record.id), next_waiting=cloud.queue.next_after(visitor.approver, record.id),
    )


async def _detail_page(request: Request, request_id: str, visitor: Visitor, notice: str = "",
                       status_code: int = 200):
    """The request's page; raises ApiError when there is no such request."""
    cloud = state_of(request)
    record, extra = await cloud.store.call(_detail_data, cloud, request_id, visitor)
    call = await run_in_threadpool(shown, record)  # slow for a large call: off the event loop
    item = _item(cloud, record, visitor, cloud.clock(), call)
    data = {"status": record.status}
    if record.status == "pending":
        data["status-url"] = f"/approvals/{quote(record.id)}/status"
    return render(
        request, "request.html", status_code, title=f"{call.tool_text}: approval {record.id}", visitor=visitor,
        data=data, record=record, call=call, item=item, notice=notice, state=_status_state(cloud, record),
        decision=_decision_text(record), fingerprint=fingerprint(record.holder_key), **extra,
    )


async def approvals_page(request: Request):
    visitor = await visitor_of(request)
    if visitor is None:
        return to_sign_in(request)
    request_id = request.query_params.get("request")
    if not request_id:
        if request.query_params.get("view") == "all":
            return await _list_page(request, visitor)
        return await _queue_page(request, visitor)
    try:
        return await _detail_page(request, request_id, visitor)
    except ApiError as error:
        return notice_page(request, "Not found", error.message, 404, visitor)


async def status_of(request: Request):
    """The live part of a request page, as JSON for the page's script."""
    if await visitor_of(request) is None:
        return JSONResponse({"error": {"code": "unauthorized", "message": "sign in first"}}, status_code=401)
    cloud = state_of(request)
    try:
        record = await cloud.store.call(cloud.service.get, request.path_params["request_id"])
    except ApiError as error:
        return JSONResponse(error.body(), status_code=error.status)
    return JSONResponse(_status_state(cloud, record))


async def _form_fields(request: Request) -> dict[str, str]:
    raw = await read_body(request, state_of(request).config.max_body_bytes)
    try:
        parsed = parse_qs(raw.decode("utf-8"), keep_blank_values=True, max_num_fields=16, strict_parsing=False)
    except (UnicodeDecodeError, ValueError):
        raise errors.validation_error("the form could not be read") from None
    return {name: values[0] for name, values in parsed.items()}


async def _decide(request: Request, decision: str):
    visitor = await visitor_of(request)
    if visitor is None:
        return notice_page(request, "Sign in", "Sign in to approve or deny; nothing was changed.", 401)
    cloud = state_of(request)
    request_id = request.path_params["request_id"]
    try:
        fields = await _form_fields(request)
        if not same_secret(fields.get("form_token", ""), visitor.session.form_token):
            raise errors.forbidden("the form is stale or was not sent by this dashboard; reload the page")
        await keep_shown_call(cloud, request_id)
        if decision == "approve":
            await cloud.store.call(
                cloud.service.approve, request_id, visitor.approver, confirmed=fields.get("confirm_masked") == "yes",
                confirmed_abandoned=fields.get("confirm_abandoned") == "yes", channel="dashboard"
            )
        else:
            await cloud.store.call(cloud.service.deny, request_id, visitor.approver,
                                   fields.get("reason", "").strip() or None, channel="dashboard")
    except ApiError as error:
        try:
            return await _detail_page(request, request_id, visitor, notice=error.message, status_code=error.status)
        except ApiError:
            return notice_page(request, "Not found", error.message, 404, visitor)
    # From the queue, the next request; from a request's page, that page with its decision.
    after = fields.get("next", "")
    return RedirectResponse(_safe_next(after) if after else f"/approvals?request={quote(request_id)}",
                            status_code=303)


async def approve_form(request: Request):
    return await _decide(request, "approve")


async def deny_form(request: Request):
    return await _decide(request, "deny")


async def root(request: Request):
    return RedirectResponse("/approvals", status_code=302)


ROUTES = [
    Route("/", root, methods=["GET"]),
    Route("/signin", sign_in_form, methods=["GET"]),
    Route("/signin", sign_in, methods=["POST"]),
    Route("/signout", sign_out, methods=["POST"]),
    Route("/approvals", approvals_page, methods=["GET"]),
    Route("/approvals/{request_id}/approve", approve_form, methods=["POST"]),
    Route("/approvals/{request_id}/deny", deny_form, methods=["POST"]),
    Route("/approvals/{request_id}/status", status_of, methods=["GET"]),
    *pages.ROUTES,
]
