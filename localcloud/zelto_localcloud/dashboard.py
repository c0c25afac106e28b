"""The server-rendered dashboard: /approvals and /approvals?request=<id>.

Approve and Deny are plain HTML forms that post back here. Each form carries
the server's form token, so another web page cannot submit them on a
visitor's behalf. Every value shown is HTML-escaped.
"""

from __future__ import annotations

import functools
import json
from html import escape
from urllib.parse import parse_qs, quote

from starlette.requests import Request
from starlette.responses import HTMLResponse, RedirectResponse
from starlette.routing import Route

from . import errors
from .api import read_body, state_of
from .errors import ApiError
from .store import RequestRecord
from .wire import iso_utc

REFRESH_SECONDS = 3
LIST_LIMIT = 200

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
form { display: inline-block; margin-right: 2rem; vertical-align: top; }
"""

# Reloads a pending page, but not once someone has started to fill in a form.
_REFRESH_SCRIPT = """
<script>
var touched = false;
["change", "input", "focusin"].forEach(function (type) {
  document.addEventListener(type, function (event) { if (event.target.form) { touched = true; } });
});
setInterval(function () { if (!touched) { window.location.reload(); } }, %d);
</script>
<noscript><meta http-equiv="refresh" content="%d"></noscript>
""" % (REFRESH_SECONDS * 1000, REFRESH_SECONDS)


def _page(title: str, body: str, *, refresh: bool, status_code: int = 200) -> HTMLResponse:
    html = (
        "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">"
        f"<title>{escape(title)}</title><style>{_STYLE}</style></head><body>"
        f"{body}{_REFRESH_SCRIPT if refresh else ''}</body></html>"
    )
    return HTMLResponse(html, status_code=status_code)


def _status_badge(status: str) -> str:
    return f'<span class="status {escape(status)}" id="status">{escape(status)}</span>'


def _request_link(record: RequestRecord) -> str:
    return f'<a href="/approvals?request={quote(record.id)}">{escape(record.id)}</a>'


def _time(timestamp) -> str:
    return escape(iso_utc(timestamp) or "")


def _approval_count(record: RequestRecord) -> str:
    return f"{len(record.approvals())} of {record.threshold}"


def _list_page(request: Request) -> HTMLResponse:
    service = state_of(request).service
    pending = service.list("pending", LIST_LIMIT)
    resolved = [r for r in service.list(None, LIST_LIMIT) if r.status != "pending"]
    pending_rows = "".join(
        f"<tr><td>{_request_link(r)}</td><td>{escape(r.tool)}</td><td>{escape(r.warrant_id)}</td>"
        f"<td>{_approval_count(r)}</td><td>{_time(r.created_at)}</td><td>{_time(r.expires_at)}</td></tr>"
        for r in pending
    )
    resolved_rows = "".join(
        f"<tr><td>{_request_link(r)}</td><td>{escape(r.tool)}</td><td>{escape(r.warrant_id)}</td>"
        f"<td>{_status_badge(r.status)}</td><td>{_time(r.resolved_at)}</td></tr>"
        for r in resolved
    )
    body = (
        "<h1>Approvals</h1>"
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


def _approver_options(request: Request, record: RequestRecord, *, for_approval: bool) -> str:
    already = {r.approver_key for r in record.approvals()}
    options = []
    for approver in state_of(request).approvers.all():
        if record.approver_keys is not None and approver.public_key_hex not in record.approver_keys:
            continue
        if for_approval and approver.public_key_hex in already:
            continue
        options.append(f'<option value="{escape(approver.name)}">{escape(approver.name)}</option>')
    return "".join(options)


def _decision_forms(request: Request, record: RequestRecord) -> str:
    token = escape(state_of(request).form_secret)
    target = f"/approvals/{quote(record.id)}"
    approve_options = _approver_options(request, record, for_approval=True)
    deny_options = _approver_options(request, record, for_approval=False)
    if not deny_options:
        return "<p>None of this server's approvers may decide this request.</p>"
    approve_form = (
        f'<form method="post" action="{target}/approve" id="approve-form">'
        f'<input type="hidden" name="form_token" value="{token}">'
        f'<label>Approve as <select name="approver" id="approve-approver">{approve_options}</select></label> '
        '<button type="submit" id="approve">Approve</button></form>'
        if approve_options
        else ""
    )
    deny_form = (
        f'<form method="post" action="{target}/deny" id="deny-form">'
        f'<input type="hidden" name="form_token" value="{token}">'
        f'<label>Deny as <select name="approver" id="deny-approver">{deny_options}</select></label><br>'
        '<label>Reason <input type="text" name="reason" id="deny-reason" size="40"></label> '
        '<button type="submit" id="deny">Deny</button></form>'
    )
    return f"<h2>Decide</h2>{approve_form}{deny_form}"


def _detail_page(request: Request, record: RequestRecord, notice: str = "", status_code: int = 200) -> HTMLResponse:
    pending = record.status == "pending"
    rows = [
        ("Status", _status_badge(record.status)),
        ("Tool", f'<span id="tool">{escape(record.tool)}</span>'),
        ("Warrant", escape(record.warrant_id)),
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
        '<p><a href="/approvals">All approvals</a></p>'
        f"<h1>Approval request {escape(record.id)}</h1>"
        + (f'<p class="notice" id="notice">{escape(notice)}</p>' if notice else "")
        + f"<table>{table}</table><h2>Arguments</h2>{_masked_arguments(record.metadata)}"
        f"<h2>Decisions</h2>{_responses_table(record)}"
        + (_decision_forms(request, record) if pending else "")
    )
    return _page(f"Approval {record.id}", body, refresh=pending, status_code=status_code)


def _not_found_page(message: str) -> HTMLResponse:
    body = f'<p><a href="/approvals">All approvals</a></p><p class="notice" id="notice">{escape(message)}</p>'
    return _page("Not found", body, refresh=False, status_code=404)


_LOOPBACK_NAMES = frozenset({"127.0.0.1", "localhost", "::1"})
_ALL_INTERFACES = frozenset({"0.0.0.0", "::", ""})


def _addressed_to_us(request: Request) -> bool:
    """Refuses pages asked for under a foreign host name (DNS rebinding onto loopback)."""
    listen_host = state_of(request).config.host
    if listen_host in _ALL_INTERFACES:
        return True
    return request.url.hostname in _LOOPBACK_NAMES | {listen_host.strip("[]")}


def own_host_only(handler):
    @functools.wraps(handler)
    async def run(request: Request):
        if not _addressed_to_us(request):
            body = '<p class="notice" id="notice">This dashboard answers only under its own address.</p>'
            return _page("Forbidden", body, refresh=False, status_code=403)
        return await handler(request)

    return run


@own_host_only
async def approvals_page(request: Request):
    request_id = request.query_params.get("request")
    if not request_id:
        return _list_page(request)
    try:
        record = state_of(request).service.get(request_id)
    except ApiError as error:
        return _not_found_page(error.message)
    return _detail_page(request, record)


async def _form_fields(request: Request) -> dict[str, str]:
    raw = await read_body(request, state_of(request).config.max_body_bytes)
    try:
        parsed = parse_qs(raw.decode("utf-8"), keep_blank_values=True, max_num_fields=16, strict_parsing=False)
    except (UnicodeDecodeError, ValueError):
        raise errors.validation_error("the form could not be read") from None
    return {name: values[0] for name, values in parsed.items()}


async def _decide(request: Request, decision: str):
    cloud = state_of(request)
    request_id = request.path_params["request_id"]
    try:
        fields = await _form_fields(request)
        if not cloud.form_token_valid(fields.get("form_token", "")):
            raise errors.forbidden("the form is stale or was not sent by this dashboard; reload the page")
        approver = fields.get("approver", "")
        if not approver:
            raise errors.validation_error("choose an approver")
        if decision == "approve":
            cloud.service.approve(request_id, approver)
        else:
            cloud.service.deny(request_id, approver, fields.get("reason", "").strip() or None)
    except ApiError as error:
        try:
            record = cloud.service.get(request_id)
        except ApiError:
            return _not_found_page(error.message)
        return _detail_page(request, record, notice=error.message, status_code=error.status)
    return RedirectResponse(f"/approvals?request={quote(request_id)}", status_code=303)


@own_host_only
async def approve_form(request: Request):
    return await _decide(request, "approve")


@own_host_only
async def deny_form(request: Request):
    return await _decide(request, "deny")


async def root(request: Request):
    return RedirectResponse("/approvals", status_code=302)


ROUTES = [
    Route("/", root, methods=["GET"]),
    Route("/approvals", approvals_page, methods=["GET"]),
    Route("/approvals/{request_id}/approve", approve_form, methods=["POST"]),
    Route("/approvals/{request_id}/deny", deny_form, methods=["POST"]),
]
