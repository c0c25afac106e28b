"""The server-rendered dashboard: /approvals and /approvals?request=<id>.

An approver signs in at /signin with their name and password; the session
lives in an HttpOnly, SameSite=Strict cookie. Approve and Deny are plain HTML
forms that post back here, signed as the approver who is signed in; each form
carries the session's form token, so another web page cannot submit them on a
visitor's behalf. Every value shown is HTML-escaped, and the pages run no
inline script (see web.py for the Content-Security-Policy).
"""

from __future__ import annotations

import json
import secrets
from html import escape
from urllib.parse import parse_qs, quote

from starlette.requests import Request
from starlette.responses import HTMLResponse, RedirectResponse, Response
from starlette.routing import Route

from . import errors
from .api import check_approver_password, read_body, state_of
from .approvers import Approver
from .credentials import SESSION_SECONDS, close_session, open_session, same_secret, session_for
from .errors import ApiError
from .service import may_decide
from .store import RequestRecord, SessionRecord
from .wire import iso_utc

REFRESH_SECONDS = 3
LIST_LIMIT = 200
SESSION_COOKIE = "zelto_session"
SIGN_IN_COOKIE = "zelto_signin"

_STYLE = """
body { font-family: system-ui, sans-serif; margin: 2rem; color: #1d2430; }
table { border-collapse: collapse; margin: 0.5rem 0 1.5rem; }
th, td { border: 1px solid #ccd3dd; padding: 0.3rem 0.6rem; text-align: left; vertical-align: top; }
th { background: #eef1f5; }
pre { background: #f5f7fa; padding: 0.6rem; border: 1px solid #ccd3dd; overflow-x: auto; }
.status { font-weight: bold; padding: 0.1rem 0.4rem; border-radius: 0.2rem; }
.pending { background: #fff3c4; } .approved { background: #cdf3d2; }
.denied { background: #f8cdcd; } .expired { background: #e0e0e0; }
.notice { padding: 0.5rem; border: 1px solid #d99; background: #fdeaea; }
.who { float: right; } .who form { margin: 0 0 0 0.5rem; }
form { display: inline-block; margin-right: 2rem; vertical-align: top; }
form.signin label { display: block; margin: 0.4rem 0; }
"""

# Reloads a page that asks for it (data-refresh), but not once someone has
# started to fill in a form.
_SCRIPT = """
(function () {
  var seconds = Number(document.body.getAttribute("data-refresh") || 0);
  if (!seconds) { return; }
  var touched = false;
  ["change", "input", "focusin"].forEach(function (type) {
    document.addEventListener(type, function (event) { if (event.target.form) { touched = true; } });
  });
  setInterval(function () { if (!touched) { window.location.reload(); } }, seconds * 1000);
})();
"""


def _page(title: str, body: str, *, refresh: bool = False, status_code: int = 200) -> HTMLResponse:
    refresh_attribute = f' data-refresh="{REFRESH_SECONDS}"' if refresh else ""
    html = (
        '<!DOCTYPE html><html lang="en"><head><meta charset="utf-8">'
        f'<title>{escape(title)}</title><link rel="stylesheet" href="/static/dashboard.css">'
        '<script src="/static/dashboard.js" defer></script></head>'
        f"<body{refresh_attribute}>{body}"
        + (f'<noscript><meta http-equiv="refresh" content="{REFRESH_SECONDS}"></noscript>' if refresh else "")
        + "</body></html>"
    )
    return HTMLResponse(html, status_code=status_code)


def _notice_page(title: str, message: str, status_code: int) -> HTMLResponse:
    body = f'<p><a href="/approvals">All approvals</a></p><p class="notice" id="notice">{escape(message)}</p>'
    return _page(title, body, status_code=status_code)


# -- sessions -------------------------------------------------------------------


class Visitor:
    """The approver whose session cookie came with the request."""

    def __init__(self, token: str, session: SessionRecord, approver: Approver):
        self.token, self.session, self.approver = token, session, approver


def _visitor(request: Request) -> Visitor | None:
    cloud = state_of(request)
    token = request.cookies.get(SESSION_COOKIE, "")
    session = session_for(cloud.store, token, cloud.service.clock())
    if session is None:
        return None
    approver = cloud.approvers.named(session.approver)
    return None if approver is None else Visitor(token, session, approver)


def _safe_next(target: str) -> str:
    """Only this dashboard's own pages are followed after signing in."""
    if target.startswith("/approvals") and "//" not in target and "\\" not in target:
        return target
    return "/approvals"


def _to_sign_in(request: Request) -> RedirectResponse:
    here = request.url.path + (f"?{request.url.query}" if request.url.query else "")
    return RedirectResponse(f"/signin?next={quote(here, safe='')}", status_code=303)


def _who_bar(visitor: Visitor) -> str:
    return (
        f'<div class="who">Signed in as <strong id="signed-in-as">{escape(visitor.approver.name)}</strong>'
        '<form method="post" action="/signout" id="signout-form">'
        f'<input type="hidden" name="form_token" value="{escape(visitor.session.form_token)}">'
        '<button type="submit" id="signout">Sign out</button></form></div>'
    )


def _sign_in_page(next_target: str, notice: str = "", status_code: int = 200) -> HTMLResponse:
    nonce = secrets.token_urlsafe(18)
    body = (
        "<h1>Sign in to approve</h1>"
        + (f'<p class="notice" id="notice">{escape(notice)}</p>' if notice else "")
        + '<form method="post" action="/signin" class="signin" id="signin-form">'
        f'<input type="hidden" name="form_token" value="{nonce}">'
        f'<input type="hidden" name="next" value="{escape(next_target)}">'
        '<label>Approver <input type="text" name="name" id="signin-name" autocomplete="username" required></label>'
        '<label>Password <input type="password" name="password" id="signin-password"'
        ' autocomplete="current-password" required></label>'
        '<button type="submit" id="signin">Sign in</button></form>'
        "<p>The approvers and their passwords are managed with <code>zelto-localcloud approver</code>.</p>"
    )
    response = _page("Sign in", body, status_code=status_code)
    response.set_cookie(SIGN_IN_COOKIE, nonce, max_age=3600, path="/signin", httponly=True, samesite="strict")
    return response


async def sign_in_form(request: Request):
    if _visitor(request) is not None:
        return RedirectResponse(_safe_next(request.query_params.get("next", "")), status_code=303)
    return _sign_in_page(_safe_next(request.query_params.get("next", "")))


async def sign_in(request: Request):
    cloud = state_of(request)
    try:
        fields = await _form_fields(request)
    except ApiError as error:
        return _notice_page("Sign in", error.message, error.status)
    next_target = _safe_next(fields.get("next", ""))
    # The sign-in form's own token (in a cookie and in the form) keeps other sites from signing a visitor in.
    if not same_secret(fields.get("form_token", ""), request.cookies.get(SIGN_IN_COOKIE, "") or "\0"):
        return _sign_in_page(next_target, "The sign-in form was stale; please try again.", 403)
    try:
        approver = await check_approver_password(cloud, fields.get("name", ""), fields.get("password", ""))
    except ApiError as error:
        return _sign_in_page(next_target, error.message, error.status)
    session = open_session(cloud.store, approver.name, cloud.service.clock())
    response = RedirectResponse(next_target, status_code=303)
    response.set_cookie(
        SESSION_COOKIE, session.token, max_age=SESSION_SECONDS, path="/", httponly=True, samesite="strict",
        secure=request.url.scheme == "https",
    )
    response.delete_cookie(SIGN_IN_COOKIE, path="/signin")
    return response


async def sign_out(request: Request):
    visitor = _visitor(request)
    if visitor is not None:
        fields = await _form_fields(request)
        if not same_secret(fields.get("form_token", ""), visitor.session.form_token):
            return _notice_page("Refused", "The form is stale or was not sent by this dashboard.", 403)
        close_session(state_of(request).store, visitor.token)
    response = RedirectResponse("/signin", status_code=303)
    response.delete_cookie(SESSION_COOKIE, path="/")
    return response


# -- pages ----------------------------------------------------------------------


def _status_badge(status: str) -> str:
    return f'<span class="status {escape(status)}" id="status">{escape(status)}</span>'


def _request_link(record: RequestRecord) -> str:
    return f'<a href="/approvals?request={quote(record.id)}">{escape(record.id)}</a>'


def _time(timestamp) -> str:
    return escape(iso_utc(timestamp) or "")


def _approval_count(record: RequestRecord) -> str:
    return f"{len(record.approvals())} of {record.threshold}"


def _list_page(request: Request, visitor: Visitor) -> HTMLResponse:
    service = state_of(request).service
    pending = service.list("pending", LIST_LIMIT)
    resolved = [r for r in service.list(None, LIST_LIMIT) if r.status != "pending"]
    pending_rows = "".join(
        f'<tr data-request="{escape(r.id)}" data-warrant="{escape(r.warrant_id)}"><td>{_request_link(r)}</td>'
        f"<td>{escape(r.tool)}</td><td>{escape(r.warrant_id)}</td>"
        f"<td>{_approval_count(r)}</td><td>{_time(r.created_at)}</td><td>{_time(r.expires_at)}</td></tr>"
        for r in pending
    )
    resolved_rows = "".join(
        f'<tr data-request="{escape(r.id)}" data-warrant="{escape(r.warrant_id)}"><td>{_request_link(r)}</td>'
        f"<td>{escape(r.tool)}</td><td>{escape(r.warrant_id)}</td>"
        f"<td>{_status_badge(r.status)}</td><td>{_time(r.resolved_at)}</td></tr>"
        for r in resolved
    )
    body = (
        f"{_who_bar(visitor)}<h1>Approvals</h1>"
        f"<h2>Pending ({len(pending)})</h2>"
        '<table id="pending"><tr><th>Request</th><th>Tool</th><th>Warrant</th><th>Approvals</th>'
        f"<th>Created</th><th>Expires</th></tr>{pending_rows}</table>"
        f"<h2>Resolved ({len(resolved)})</h2>"
        '<table id="resolved"><tr><th>Request</th><th>Tool</th><th>Warrant</th><th>Status</th>'
        f"<th>Resolved</th></tr>{resolved_rows}</table>"
    )
    return _page("Approvals", body, refresh=True)


def _masked_arguments(metadata) -> str:
    if metadata is None:
        return "<p>(no arguments)</p>"
    try:
        from zelto_cloud.redaction import redact
    except ImportError:
        return "<p>(arguments hidden: zelto_cloud.redaction is not installed, so secrets cannot be masked)</p>"
    try:
        masked = redact(metadata)
    except Exception:  # never fall back to showing the unmasked arguments
        return "<p>(arguments hidden: they could not be masked)</p>"
    return f'<pre id="arguments">{escape(json.dumps(masked, indent=2, ensure_ascii=False, default=str))}</pre>'


def _required_approvers(request: Request, record: RequestRecord) -> str:
    if record.approver_keys is None:
        return "any approver"
    registry = state_of(request).approvers
    items = []
    for key in record.approver_keys:
        name = registry.name_for_key(key)
        label = f"{escape(name)} ({escape(key[:16])}…)" if name else f"{escape(key)} (not configured here)"
        items.append(f"<li>{label}</li>")
    return f"<ul>{''.join(items)}</ul>"


def _responses_table(record: RequestRecord) -> str:
    if not record.responses:
        return "<p>No decisions yet.</p>"
    rows = "".join(
        f"<tr><td>{escape(r.approver)}</td><td>{escape(r.decision)}</td><td>{_time(r.created_at)}</td>"
        f"<td>{escape(r.reason or '')}</td></tr>"
        for r in record.responses
    )
    return (
        '<table id="responses"><tr><th>Approver</th><th>Decision</th><th>At</th><th>Reason</th></tr>'
        f"{rows}</table>"
    )


def _decision_forms(record: RequestRecord, visitor: Visitor) -> str:
    me = visitor.approver
    if not may_decide(record, me):
        return (
            f'<p class="notice" id="not-allowed">You are signed in as {escape(me.name)}, who is not among'
            " the approvers this request allows.</p>"
        )
    token = escape(visitor.session.form_token)
    target = f"/approvals/{quote(record.id)}"
    already = any(r.approver_key == me.public_key_hex for r in record.approvals())
    approve_form = (
        ""
        if already
        else f'<form method="post" action="{target}/approve" id="approve-form">'
        f'<input type="hidden" name="form_token" value="{token}">'
        f'<button type="submit" id="approve">Approve as {escape(me.name)}</button></form>'
    )
    deny_form = (
        f'<form method="post" action="{target}/deny" id="deny-form">'
        f'<input type="hidden" name="form_token" value="{token}">'
        '<label>Reason <input type="text" name="reason" id="deny-reason" size="40"></label> '
        f'<button type="submit" id="deny">Deny as {escape(me.name)}</button></form>'
    )
    return f"<h2>Decide</h2>{approve_form}{deny_form}"


def _detail_page(request: Request, record: RequestRecord, visitor: Visitor, notice: str = "",
                 status_code: int = 200) -> HTMLResponse:
    pending = record.status == "pending"
    rows = [
        ("Status", _status_badge(record.status)),
        ("Tool", f'<span id="tool">{escape(record.tool)}</span>'),
        ("Warrant", escape(record.warrant_id)),
        ("Asked by", f'API key <span id="tenant">{escape(record.tenant)}</span>'),
        ("Policy", escape(record.policy_id or "")),
        ("Threshold", f'<span id="threshold">{record.threshold}</span>'),
        ("Approvals", _approval_count(record)),
        ("Required approvers", _required_approvers(request, record)),
        ("Created", _time(record.created_at)),
        ("Expires", _time(record.expires_at)),
        ("Resolved", _time(record.resolved_at)),
    ]
    if record.denied_reason:
        rows.append(("Denial reason", escape(record.denied_reason)))
    table = "".join(f"<tr><th>{label}</th><td>{value}</td></tr>" for label, value in rows)
    body = (
        f'{_who_bar(visitor)}<p><a href="/approvals">All approvals</a></p>'
        f"<h1>Approval request {escape(record.id)}</h1>"
        + (f'<p class="notice" id="notice">{escape(notice)}</p>' if notice else "")
        + f"<table>{table}</table><h2>Arguments</h2>{_masked_arguments(record.metadata)}"
        f"<h2>Decisions</h2>{_responses_table(record)}"
        + (_decision_forms(record, visitor) if pending else "")
    )
    return _page(f"Approval {record.id}", body, refresh=pending, status_code=status_code)


async def approvals_page(request: Request):
    visitor = _visitor(request)
    if visitor is None:
        return _to_sign_in(request)
    request_id = request.query_params.get("request")
    if not request_id:
        return _list_page(request, visitor)
    try:
        record = state_of(request).service.get(request_id)
    except ApiError as error:
        return _notice_page("Not found", error.message, 404)
    return _detail_page(request, record, visitor)


async def _form_fields(request: Request) -> dict[str, str]:
    raw = await read_body(request, state_of(request).config.max_body_bytes)
    try:
        parsed = parse_qs(raw.decode("utf-8"), keep_blank_values=True, max_num_fields=16, strict_parsing=False)
    except (UnicodeDecodeError, ValueError):
        raise errors.validation_error("the form could not be read") from None
    return {name: values[0] for name, values in parsed.items()}


async def _decide(request: Request, decision: str):
    visitor = _visitor(request)
    if visitor is None:
        return _notice_page("Sign in", "Sign in to approve or deny; nothing was changed.", 401)
    cloud = state_of(request)
    request_id = request.path_params["request_id"]
    try:
        fields = await _form_fields(request)
        if not same_secret(fields.get("form_token", ""), visitor.session.form_token):
            raise errors.forbidden("the form is stale or was not sent by this dashboard; reload the page")
        if decision == "approve":
            cloud.service.approve(request_id, visitor.approver)
        else:
            cloud.service.deny(request_id, visitor.approver, fields.get("reason", "").strip() or None)
    except ApiError as error:
        try:
            record = cloud.service.get(request_id)
        except ApiError:
            return _notice_page("Not found", error.message, 404)
        return _detail_page(request, record, visitor, notice=error.message, status_code=error.status)
    return RedirectResponse(f"/approvals?request={quote(request_id)}", status_code=303)


async def approve_form(request: Request):
    return await _decide(request, "approve")


async def deny_form(request: Request):
    return await _decide(request, "deny")


async def root(request: Request):
    return RedirectResponse("/approvals", status_code=302)


def _static(text: str, media_type: str):
    async def serve(request: Request):
        return Response(text, media_type=media_type)

    return serve


ROUTES = [
    Route("/", root, methods=["GET"]),
    Route("/signin", sign_in_form, methods=["GET"]),
    Route("/signin", sign_in, methods=["POST"]),
    Route("/signout", sign_out, methods=["POST"]),
    Route("/approvals", approvals_page, methods=["GET"]),
    Route("/approvals/{request_id}/approve", approve_form, methods=["POST"]),
    Route("/approvals/{request_id}/deny", deny_form, methods=["POST"]),
    Route("/static/dashboard.css", _static(_STYLE, "text/css"), methods=["GET"]),
    Route("/static/dashboard.js", _static(_SCRIPT, "text/javascript"), methods=["GET"]),
]
