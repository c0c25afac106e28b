"""The pending count in the dashboard's page title, and browser notifications of new requests.

Every signed-in page loads /static/pending.js, which asks /approvals/pending-count
every five seconds for the number of pending requests the visitor may still
decide, puts it in the title ("(3) Approvals"), and, once the approver has
allowed it with the button it adds beside "Sign out", shows a browser
notification for each newly arrived one. Without JavaScript nothing changes.
"""

from __future__ import annotations

from starlette.requests import Request
from starlette.responses import JSONResponse
from starlette.routing import Route

from .api import state_of
from .dashboard import visitor_of

async def pending_count(request: Request):
    visitor = await visitor_of(request)
    if visitor is None:
        return JSONResponse({"error": {"code": "unauthorized", "message": "sign in first"}}, status_code=401)
    cloud = state_of(request)
    count, newest, tool = await cloud.store.call(cloud.queue.count, visitor.approver)
    return JSONResponse({"pending": count, "newest": newest, "newest_tool": tool})


ROUTES = [
    Route("/approvals/pending-count", pending_count, methods=["GET"]),
]
