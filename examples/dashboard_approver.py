"""A scripted approver who uses the dashboard the way a person does.

It signs in with its name and password, finds the request on the list of
pending approvals, opens the request's page and submits its Approve or Deny
form (with the page's form token, from the dashboard's own origin).
"""

from __future__ import annotations

import re
import time
from html import unescape

import httpx

_FORM_TOKEN = re.compile(r'name="form_token" value="([^"]+)"')
_PENDING_ROW = re.compile(r'<tr data-request="([^"]+)" data-warrant="([^"]*)">')


class DashboardApprover:
    def __init__(self, base_url: str, name: str, password: str) -> None:
        self.name = name
        self._password = password
        # A browser sends its page's origin with every form it submits.
        self._http = httpx.Client(base_url=base_url, headers={"Origin": base_url}, timeout=10)

    def __enter__(self) -> DashboardApprover:
        self.sign_in()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._http.close()

    def sign_in(self) -> None:
        page = self._http.get("/signin").text
        answer = self._http.post(
            "/signin", data={"form_token": _token(page), "name": self.name, "password": self._password}
        )
        if answer.status_code != 303:
            raise RuntimeError(f"{self.name} could not sign in: {answer.status_code}")

    def find_pending(self, warrant_id: str, within_seconds: float) -> str:
        """The id of the pending request for ``warrant_id``, once it shows up on the list."""
        deadline = time.monotonic() + within_seconds
        while time.monotonic() < deadline:
            page = self._http.get("/approvals", params={"view": "all"}).text
            listing = page.split('id="pending"', 1)[-1].split("</table>", 1)[0]
            for request_id, warrant in _PENDING_ROW.findall(listing):
                if unescape(warrant) == warrant_id:
                    return unescape(request_id)
            time.sleep(0.1)
        raise TimeoutError(f"no pending request for warrant {warrant_id} appeared")

    def approve(self, request_id: str) -> None:
        self._submit(request_id, "approve", {})

    def deny(self, request_id: str, reason: str) -> None:
        self._submit(request_id, "deny", {"reason": reason})

    def _submit(self, request_id: str, action: str, fields: dict) -> None:
        page = self._http.get("/approvals", params={"request": request_id}).text
        answer = self._http.post(f"/approvals/{request_id}/{action}", data={"form_token": _token(page), **fields})
        if answer.status_code != 303:
            raise RuntimeError(f"{self.name} could not {action} {request_id}: {answer.status_code}")


def _token(page: str) -> str:
    found = _FORM_TOKEN.search(page)
    if found is None:
        raise RuntimeError("the page has no form")
    return unescape(found.group(1))
