"""The pending count in the dashboard's page title, and browser notifications of new requests.

Every signed-in page loads /static/pending.js, which asks /approvals/pending-count
every few seconds for the number of pending requests the visitor may still
decide, puts it in the title ("(3) Approvals"), and, once the approver has
allowed it with the button it adds beside "Sign out", shows a browser
notification for each newly arrived one. Without JavaScript nothing changes.
"""

from __future__ import annotations

import json

from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route

from .api import state_of
from .dashboard import _visitor

POLL_SECONDS = 5

_SCRIPT = """
(function () {
  var bar = document.querySelector(".who");
  if (!bar || !window.fetch) { return; }
  var title = document.title.replace(/^\\(\\d+\\) /, "");
  var canNotify = "Notification" in window;
  if (canNotify && Notification.permission === "default") {
    var button = document.createElement("button");
    button.type = "button";
    button.id = "notify-permission";
    button.textContent = "Notify me of new requests";
    button.style.marginLeft = "0.5rem";
    button.addEventListener("click", function () {
      Notification.requestPermission().then(function () { button.remove(); });
    });
    bar.appendChild(button);
  }
  function notify(state) {
    var seen = sessionStorage.getItem("zelto-newest-seen");
    sessionStorage.setItem("zelto-newest-seen", state.newest || "");
    if (seen === null || !state.newest || state.newest === seen) { return; }
    if (!canNotify || Notification.permission !== "granted") { return; }
    var note = new Notification("Approval needed: " + state.newest_tool,
                                {body: state.pending + " waiting for you", tag: state.newest});
    note.onclick = function () {
      window.focus();
      window.location.href = "/approvals?request=" + encodeURIComponent(state.newest);
    };
  }
  function poll() {
    fetch("/approvals/pending-count", {credentials: "same-origin", headers: {"Accept": "application/json"}})
      .then(function (answer) { return answer.ok ? answer.json() : null; })
      .then(function (state) {
        if (!state) { return; }
        document.title = (state.pending ? "(" + state.pending + ") " : "") + title;
        notify(state);
      })
      .catch(function () {});
  }
  poll();
  setInterval(poll, %d);
})();
""" % (POLL_SECONDS * 1000)


def waiting_for(store, public_key_hex: str, now: float) -> tuple[int, str | None, str | None]:
    """How many pending requests this approver may still decide, and the newest one's id and tool (as shown:
    with its hazards escaped). Read from the list table, whose rows do not hold the requests' arguments."""
    rows = store.execute(
        "SELECT r.id, r.shown_tool, r.approver_keys_json FROM request_list r WHERE r.status = 'pending'"
        " AND r.expires_at > ?"
        " AND NOT EXISTS (SELECT 1 FROM responses p WHERE p.request_id = r.id AND p.approver_key = ?)"
        " ORDER BY r.seq DESC",
        (now, public_key_hex),
    ).fetchall()
    mine = [(row[0], row[1]) for row in rows if row[2] is None or public_key_hex in json.loads(row[2])]
    return len(mine), *(mine[0] if mine else (None, None))


async def pending_count(request: Request):
    visitor = _visitor(request)
    if visitor is None:
        return JSONResponse({"error": {"code": "unauthorized", "message": "sign in first"}}, status_code=401)
    cloud = state_of(request)
    count, newest, tool = await cloud.store.call(
        waiting_for, cloud.store, visitor.approver.public_key_hex, cloud.service.clock()
    )
    return JSONResponse({"pending": count, "newest": newest, "newest_tool": tool})


async def script(request: Request):
    return Response(_SCRIPT, media_type="text/javascript")


ROUTES = [
    Route("/approvals/pending-count", pending_count, methods=["GET"]),
    Route("/static/pending.js", script, methods=["GET"]),
]
