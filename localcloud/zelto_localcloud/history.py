"""An approver's history page: their decisions and the messages sent to them, from the audit log."""

from __future__ import annotations

from starlette.requests import Request
from starlette.routing import Route

from .api import state_of
from .dashboard import notice_page, to_sign_in, visitor_of
from .pages import render


async def approver_history(request: Request):
    visitor = await visitor_of(request)
    if visitor is None:
        return to_sign_in(request)
    name = request.query_params.get("approver") or visitor.approver.name
    cloud = state_of(request)
    rows = await cloud.store.call(cloud.records.approver_history, name)
    if rows is None:
        return notice_page(request, "Not found", f"no approver named {name}", 404, visitor)
    return render(request, "history.html", title=f"History of {name}", visitor=visitor, name=name, rows=rows)


ROUTES = [Route("/approvals/history", approver_history, methods=["GET"])]
