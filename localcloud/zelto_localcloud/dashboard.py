"""The server-rendered dashboard: /approvals and /approvals?request=<id>.

An approver signs in at /signin with their name and password; the session
lives in an HttpOnly, SameSite=Strict cookie. Approve and Deny are plain HTML
forms that post back here, signed as the approver who is signed in; each form
carries the session's form token, so another web page cannot submit them on a
visitor's behalf. Every value shown is HTML-escaped, and the pages run no
inline script (see web.py for the Content-Security-Policy).
"""

from __future__ import annotations

import hashlib
import secrets
import time
from html import escape
from urllib.parse import parse_qs, quote, urlencode

from starlette.concurrency import run_in_threadpool
from starlette.requests import Request
from starlette.responses import HTMLResponse, JSONResponse, RedirectResponse, Response
from starlette.routing import Route

from . import errors, events, outcomes
from .api import check_approver_password, client_address, keep_shown_call, read_body, state_of
from .approvers import Approver
from .credentials import SESSION_SECONDS, close_session, open_session, same_secret, session_for
from .errors import ApiError
from .display import Shown, html_segments, shown
from .paging import encode_cursor, parse_cursor
from .service import may_decide
from .store import RequestRecord, SessionRecord
from .wire import iso_utc

REFRESH_SECONDS = 3
LIST_LIMIT = 200
SESSION_COOKIE = "zelto_session"
SIGN_IN_COOKIE = "zelto_signin"

STATUS_POLL_SECONDS = 2
# What the cloud approval handler tells the agent about a deny that gives no reason.
DEFAULT_DENIAL = "denied in Zelto Cloud"

_STYLE = """
* { box-sizing: border-box; }
body { font-family: system-ui, sans-serif; margin: 1.5rem auto; padding: 0 1rem; max-width: 72rem; color: #1d2430;
       overflow-wrap: anywhere; }
table { border-collapse: collapse; margin: 0.5rem 0 1.5rem; width: 100%; table-layout: fixed; }
th, td { border: 1px solid #ccd3dd; padding: 0.3rem 0.6rem; text-align: left; vertical-align: top;
         overflow-wrap: anywhere; word-break: break-word; }
th { background: #eef1f5; }
table.facts th { width: 12rem; }
pre, code { font-family: ui-monospace, monospace; }
pre { background: #f5f7fa; padding: 0.6rem; border: 1px solid #ccd3dd; white-space: pre-wrap;
      overflow-wrap: anywhere; word-break: normal; max-width: 100%; }
mark.hazard { background: #ffd6a5; color: #7a1f00; font-weight: bold; }
.hazards { padding: 0.5rem; border: 2px solid #c05621; background: #fff4e5; }
.status { font-weight: bold; padding: 0.1rem 0.4rem; border-radius: 0.2rem; }
.pending { background: #fff3c4; } .approved { background: #cdf3d2; }
.denied { background: #f8cdcd; } .expired { background: #e0e0e0; }
.state span { margin-right: 1rem; display: inline-block; }
.waiting.ok { color: #1c6b2a; } .waiting.stale { color: #9b1c1c; font-weight: bold; }
.waiting.abandoned { color: #fff; background: #7a1f00; padding: 0 0.3rem; font-weight: bold; }
li.outcome.warning { padding: 0.3rem; border: 2px solid #c05621; background: #fff4e5; font-weight: bold; }
li.outcome.refused { color: #9b1c1c; }
.notice { padding: 0.5rem; border: 1px solid #d99; background: #fdeaea; }
.decision { padding: 0.6rem; border-left: 0.4rem solid #888; background: #f5f7fa; font-weight: bold; }
.decision.approved { border-color: #2e9e44; } .decision.denied { border-color: #c53030; }
.masked-note { color: #7a4b00; }
.who { float: right; } .who form { display: inline; margin: 0 0 0 0.5rem; }
.decide { display: flex; flex-wrap: wrap; gap: 1.5rem; }
.decide form { border: 1px solid #ccd3dd; border-radius: 0.3rem; padding: 0.8rem; flex: 1 1 18rem; }
.decide label { display: block; margin: 0.3rem 0; }
.decide input[type=text] { width: 100%; }
button { font-size: 1rem; padding: 0.4rem 0.9rem; border-radius: 0.3rem; border: 1px solid #888; cursor: pointer; }
button.approve { background: #2e9e44; color: white; border-color: #1f7a33; }
button.deny { background: white; color: #b32020; border: 2px solid #b32020; }
button:disabled { opacity: 0.4; cursor: default; }
table.list th:nth-child(1) { width: 13rem; } table.list th:nth-child(3) { width: 38%; }
table.list th:nth-child(4) { width: 7rem; }
.summary { white-space: nowrap; overflow: hidden; text-overflow: ellipsis; font-family: ui-monospace, monospace; }
form.filters { margin: 0.5rem 0; } form.filters label { margin-right: 1rem; }
form.signin label { display: block; margin: 0.4rem 0; }
@media (max-width: 40rem) {
  body { margin: 0.5rem auto; padding: 0 0.5rem; }
  .who { float: none; margin-bottom: 0.5rem; }
  table.facts th { width: 7rem; }
  table.list, table.list tbody, table.list tr, table.list td { display: block; width: 100%; }
  table.list tr:first-child { display: none; }
  table.list tr { border: 1px solid #ccd3dd; margin-bottom: 0.5rem; }
  table.list td { border: none; }
}
"""

# Pages keep themselves current without a full reload while someone is using
# a form: a request page fetches its status as JSON; a list reloads only while
# no form field has been touched. Without JavaScript, a link refreshes.
_SCRIPT = """
(function () {
  var body = document.body;
  var touched = false;
  ["change", "input", "focusin"].forEach(function (type) {
    document.addEventListener(type, function (event) { if (event.target.form) { touched = true; } });
  });
  var listSeconds = Number(body.getAttribute("data-list-refresh") || 0);
  if (listSeconds) {
    setInterval(function () { if (!touched) { window.location.reload(); } }, listSeconds * 1000);
  }
  var statusUrl = body.getAttribute("data-status-url");
  if (!statusUrl) { return; }
  var shownStatus = body.getAttribute("data-status");
  function show(id, text, className) {
    var element = document.getElementById(id);
    if (!element) { return; }
    element.textContent = text;
    if (className !== undefined) { element.className = className; }
  }
  function update(state) {
    show("status", state.status, "status " + state.status);
    show("approvals", state.approvals);
    show("expires", state.expires);
    show("waiting", state.waiting, "waiting " + state.waiting_class);
    if (state.status !== shownStatus) {
      var notice = document.getElementById("live-notice");
      notice.textContent = state.decision + " Reload the page for the details.";
      notice.hidden = false;
      Array.prototype.forEach.call(document.querySelectorAll(".decide button"), function (button) {
        button.disabled = true;
      });
    }
  }
  setInterval(function () {
    fetch(statusUrl, {credentials: "same-origin", headers: {"Accept": "application/json"}})
      .then(function (answer) { return answer.ok ? answer.json() : null; })
      .then(function (state) { if (state) { update(state); } })
      .catch(function () {});
  }, %d);
})();
""" % (STATUS_POLL_SECONDS * 1000)


def _page(title: str, body: str, *, data: dict[str, str] | None = None, status_code: int = 200) -> HTMLResponse:
    attributes = "".join(f' data-{name}="{escape(value)}"' for name, value in (data or {}).items())
    html = (
        '<!DOCTYPE html><html lang="en"><head><meta charset="utf-8">'
        '<meta name="viewport" content="width=device-width, initial-scale=1">'
        f'<title>{escape(title)}</title><link rel="stylesheet" href="/static/dashboard.css">'
        '<script src="/static/dashboard.js" defer></script><script src="/static/pending.js" defer></script></head>'
        f"<body{attributes}>{body}</body></html>"
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
        approver = await check_approver_password(cloud, fields.get("name", ""), fields.get("password", ""),
                                                 client_address(request))
    except ApiError as error:
        refused = _sign_in_page(next_target, error.message, error.status)
        refused.headers.update(error.headers())
        return refused
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
    now = cloud.service.clock()
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


def _status_badge(status: str) -> str:
    return f'<span class="status {escape(status)}" id="status">{escape(status)}</span>'


def _request_link(record: RequestRecord) -> str:
    return f'<a href="/approvals?request={quote(record.id)}">{escape(record.id)}</a>'


def _time(timestamp) -> str:
    return escape(iso_utc(timestamp) or "")


def _asked_by(cloud, record: RequestRecord) -> str:
    name = cloud.store.api_key_name(record.tenant)
    label = f" ({escape(name)})" if name else " (removed key)"
    return f'API key <code id="tenant">{escape(record.tenant)}</code>{label}'


# -- the list -------------------------------------------------------------------

_FILTER_STATUSES = ("", "pending", "approved", "denied", "expired")


def _filters(status: str, tool: str) -> str:
    options = "".join(
        f'<option value="{value}"{" selected" if value == status else ""}>{value or "any"}</option>'
        for value in _FILTER_STATUSES
    )
    return (
        '<form method="get" action="/approvals" class="filters" id="filters">'
        f'<label>Status <select name="status" id="filter-status">{options}</select></label>'
        f'<label>Tool <input type="text" name="tool" id="filter-tool" value="{escape(tool)}" size="16"></label>'
        '<button type="submit" id="filter">Filter</button> <a href="/approvals">Clear</a></form>'
    )


def _list_rows(cloud, records: list[RequestRecord], now: float) -> str:
    rows = []
    for r in records:
        waiting, waiting_class = _waiting(cloud, r, now)
        state = f'<span class="waiting {waiting_class}">{escape(waiting)}</span>' if waiting else ""
        when = escape(_expiry_text(r, now)) if r.status == "pending" else _time(r.resolved_at)
        flag = ' <mark class="hazard" title="look closely">!</mark>' if r.hazards else ""
        rows.append(
            f'<tr data-request="{escape(r.id)}" data-warrant="{escape(r.warrant_id)}">'
            f"<td>{_request_link(r)}<br>{_status_badge(r.status)}</td><td>{escape(r.shown_tool)}{flag}</td>"
            f'<td class="summary" title="{escape(r.summary)}">{escape(r.summary)}</td>'
            f"<td>{len(r.approvals())} of {r.threshold}</td><td>{when}<br>{state}</td></tr>"
        )
    return "".join(rows)


_LIST_HEAD = (
    "<tr><th>Request</th><th>Tool</th><th>Arguments</th><th>Approvals</th><th>Expires / resolved</th></tr>"
)


def _list_page(request: Request, visitor: Visitor) -> HTMLResponse:
    cloud = state_of(request)
    status = request.query_params.get("status", "")
    status = status if status in _FILTER_STATUSES else ""
    tool = request.query_params.get("tool", "")[:200]
    now = cloud.service.clock()
    try:
        before = parse_cursor(request.query_params)
    except ApiError:
        before = None
    records = cloud.service.list(status or None, LIST_LIMIT + 1, tool_part=tool or None, before=before)
    older = ""
    if len(records) > LIST_LIMIT:
        records = records[:LIST_LIMIT]
        query = urlencode({"status": status, "tool": tool, "cursor": encode_cursor(records[-1].seq)})
        older = f'<p><a href="/approvals?{escape(query)}" id="older">Older requests</a></p>'
    # A request no agent reads any more is kept apart: approving it likely has no effect.
    abandoned = [r for r in records if outcomes.abandoned_since(cloud, r, now) is not None]
    pending = [r for r in records if r.status == "pending" and r not in abandoned]
    resolved = [r for r in records if r.status != "pending"]
    apart = (
        f"<h2>Abandoned ({len(abandoned)})</h2>"
        f'<table id="abandoned" class="list">{_LIST_HEAD}{_list_rows(cloud, abandoned, now)}</table>'
        if abandoned else ""
    )
    body = (
        f"{_who_bar(visitor)}<h1>Approvals</h1>{_filters(status, tool)}"
        f'<p><a href="{escape(str(request.url.path))}?{escape(request.url.query)}" id="refresh">Refresh</a></p>'
        f"<h2>Pending ({len(pending)})</h2>"
        f'<table id="pending" class="list">{_LIST_HEAD}{_list_rows(cloud, pending, now)}</table>{apart}'
        f"<h2>Resolved ({len(resolved)})</h2>"
        f'<table id="resolved" class="list">{_LIST_HEAD}{_list_rows(cloud, resolved, now)}</table>{older}'
    )
    return _page("Approvals", body, data={"list-refresh": str(REFRESH_SECONDS)})


# -- one request ------------------------------------------------------------------


def _hazard_banner(call: Shown) -> str:
    if not call.warnings:
        return ""
    items = "".join(f"<li>{escape(warning)}</li>" for warning in call.warnings)
    return (
        '<div class="hazards" id="hazards"><strong>Look closely: this call holds characters that can make'
        " text read as something else. They are shown as marked \\u{…} escapes.</strong>"
        f"<ul>{items}</ul></div>"
    )


def _arguments(call: Shown) -> str:
    """The signed arguments: exactly what the approval authorises, never the free-form metadata."""
    notes = []
    if call.nothing_shown:
        notes.append('<p class="masked-note" id="nothing-note">Nothing of this call\'s arguments can be shown:'
                     " approve only if you know what it does.</p>")
    if call.masked:
        notes.append('<p class="masked-note" id="masked-note">Some values are hidden because they look like secrets'
                     " (marked &lt;redacted&gt;).</p>")
    return f'{_hazard_banner(call)}<pre id="arguments">{html_segments(call.segments)}</pre>{"".join(notes)}'


def _approvers_list(cloud, record: RequestRecord) -> str:
    approved = {r.approver_key: r for r in record.approvals()}
    if record.approver_keys is None:
        allowed = "any approver of this server"
        keys = list(approved)
    else:
        allowed = "only these"
        keys = record.approver_keys
    items = []
    for key in keys:
        name = cloud.approvers.name_for_key(key) or (approved[key].approver if key in approved else None)
        label = escape(name) if name else "(not an approver of this server)"
        mark = f" ✓ approved at {_time(approved[key].created_at)}" if key in approved else ""
        items.append(f"<li>{label} <code>{escape(key[:16])}…</code>{mark}</li>")
    needed = f"{record.threshold} approval{'s' if record.threshold != 1 else ''} needed; {allowed} may approve."
    return f'<p id="threshold-text">{needed}</p>' + (f'<ul id="approvers">{"".join(items)}</ul>' if items else "")


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


def _decision_forms(cloud, record: RequestRecord, visitor: Visitor) -> str:
    me = visitor.approver
    if not may_decide(record, me):
        return (
            f'<p class="notice" id="not-allowed">You are signed in as {escape(me.name)}, who is not among'
            " the approvers this request allows.</p>"
        )
    token = escape(visitor.session.form_token)
    target = f"/approvals/{quote(record.id)}"
    already = any(r.approver == me.name for r in record.approvals())
    call = shown(record)
    what = "nothing of it can be shown" if call.nothing_shown else "some values are hidden"
    confirm = (
        '<label><input type="checkbox" name="confirm_masked" value="yes" id="confirm-masked" required>'
        f" I approve although {what}</label>"
        if call.needs_confirmation
        else ""
    )
    if outcomes.abandoned_since(cloud, record, cloud.service.clock()) is not None:
        confirm += ('<label><input type="checkbox" name="confirm_abandoned" value="yes" id="confirm-abandoned"'
                    " required> I approve although no agent may be waiting for it</label>")
    approve_form = (
        ""
        if already
        else f'<form method="post" action="{target}/approve" id="approve-form">'
        f'<input type="hidden" name="form_token" value="{token}">{confirm}'
        f'<button type="submit" id="approve" class="approve">Approve as {escape(me.name)}</button></form>'
    )
    deny_form = (
        f'<form method="post" action="{target}/deny" id="deny-form">'
        f'<input type="hidden" name="form_token" value="{token}">'
        '<label>Reason, told to the agent <input type="text" name="reason" id="deny-reason" maxlength="1000"'
        f' size="40" placeholder="{escape(DEFAULT_DENIAL)}" aria-describedby="deny-told"></label>'
        f'<small id="deny-told">Left empty, the agent is told &#8220;{escape(DEFAULT_DENIAL)}&#8221;.</small>'
        f'<button type="submit" id="deny" class="deny">Deny as {escape(me.name)}</button></form>'
    )
    return f'<h2>Decide</h2><div class="decide">{approve_form}{deny_form}</div>'


def _detail_page(request: Request, record: RequestRecord, visitor: Visitor, notice: str = "",
                 status_code: int = 200) -> HTMLResponse:
    cloud = state_of(request)
    state = _status_state(cloud, record)
    call = shown(record)
    pending = record.status == "pending"
    facts = [
        ("Asked by", _asked_by(cloud, record)),
        ("Holder key", f'fingerprint <code id="holder-fingerprint">{fingerprint(record.holder_key)}</code>'
                       f"<br><code>{escape(record.holder_key.hex())}</code>"),
        ("Warrant", f'<code id="warrant">{escape(record.warrant_id)}</code>'),
        ("Request hash", f'<code id="request-hash">{escape(record.request_hash.hex())}</code>'),
        ("Policy", escape(record.policy_id or "none")),
        ("Created", _time(record.created_at)),
        ("Expires", _time(record.expires_at)),
        ("Resolved", _time(record.resolved_at)),
    ]
    table = "".join(f"<tr><th>{label}</th><td>{value}</td></tr>" for label, value in facts)
    decision = _decision_text(record)
    here = f"/approvals?request={quote(record.id)}"
    body = (
        f'{_who_bar(visitor)}<p><a href="/approvals">All approvals</a></p>'
        f'<h1><span id="tool">{html_segments(call.tool)}</span></h1><p>Request <code>{escape(record.id)}</code></p>'
        + (f'<p class="notice" id="notice">{escape(notice)}</p>' if notice else "")
        + f'<p class="state">{_status_badge(record.status)}'
        f'<span id="approvals">{escape(state["approvals"])}</span>'
        f'<span id="expires">{escape(state["expires"])}</span>'
        f'<span id="waiting" class="waiting {state["waiting_class"]}">{escape(state["waiting"])}</span>'
        f' <a href="{here}" id="refresh">Refresh</a></p>'
        + (f'<p class="decision {escape(record.status)}" id="decision">{escape(decision)}</p>' if decision else "")
        + '<p class="notice" id="live-notice" hidden></p>'
        + f"<h2>What the call will do</h2>{_arguments(call)}"
        + (_decision_forms(cloud, record, visitor) if pending else "")
        + f"<h2>Who asks</h2><table class=\"facts\">{table}</table>"
        f"<h2>Approvers</h2>{_approvers_list(cloud, record)}"
        f"<h2>Decisions</h2>{_responses_table(record)}"
        + events.request_page_sections(cloud.store, record, _time)
    )
    data = {"status": record.status}
    if pending:
        data["status-url"] = f"/approvals/{quote(record.id)}/status"
    return _page(f"{call.tool_text}: approval {record.id}", body, data=data, status_code=status_code)


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
    await run_in_threadpool(shown, record)  # slow for a large call: off the event loop
    return _detail_page(request, record, visitor)


async def status_of(request: Request):
    """The live part of a request page, as JSON for the page's script."""
    if _visitor(request) is None:
        return JSONResponse({"error": {"code": "unauthorized", "message": "sign in first"}}, status_code=401)
    cloud = state_of(request)
    try:
        record = cloud.service.get(request.path_params["request_id"])
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
    visitor = _visitor(request)
    if visitor is None:
        return _notice_page("Sign in", "Sign in to approve or deny; nothing was changed.", 401)
    cloud = state_of(request)
    request_id = request.path_params["request_id"]
    try:
        fields = await _form_fields(request)
        if not same_secret(fields.get("form_token", ""), visitor.session.form_token):
            raise errors.forbidden("the form is stale or was not sent by this dashboard; reload the page")
        await keep_shown_call(cloud, request_id)
        if decision == "approve":
            cloud.service.approve(
                request_id, visitor.approver, confirmed=fields.get("confirm_masked") == "yes",
                confirmed_abandoned=fields.get("confirm_abandoned") == "yes", channel="dashboard"
            )
        else:
            cloud.service.deny(request_id, visitor.approver, fields.get("reason", "").strip() or None,
                               channel="dashboard")
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
    Route("/approvals/{request_id}/status", status_of, methods=["GET"]),
    Route("/static/dashboard.css", _static(_STYLE, "text/css"), methods=["GET"]),
    Route("/static/dashboard.js", _static(_SCRIPT, "text/javascript"), methods=["GET"]),
]
