"""An approver's history page: their decisions and the messages sent to them, from the audit log."""

from __future__ import annotations

from html import escape

from starlette.requests import Request
from starlette.routing import Route

from . import audit
from .api import state_of
from .dashboard import _notice_page, _page, _to_sign_in, _visitor, _who_bar


async def approver_history(request: Request):
    visitor = _visitor(request)
    if visitor is None:
        return _to_sign_in(request)
    name = request.query_params.get("approver") or visitor.approver.name
    store = state_of(request).store
    if store.approver(name) is None and not audit.rows_of_approver(store, name, limit=1):
        return _notice_page("Not found", f"no approver named {name}", 404)
    rows = audit.rows_of_approver(store, name)
    body = (
        f'{_who_bar(visitor)}<p><a href="/approvals">All approvals</a></p>'
        f'<h1>History of <span id="history-approver">{escape(name)}</span></h1>'
        + (audit.rows_table(rows, "approver-history") if rows else '<p id="history-none">Nothing yet.</p>')
    )
    return _page(f"History of {name}", body)


ROUTES = [Route("/approvals/history", approver_history, methods=["GET"])]
