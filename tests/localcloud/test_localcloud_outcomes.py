"""What happened after a decision, and abandoned requests, against a real local cloud process.

The guard is the SDK's, its approvals come through the cloud approval handler,
and its receipts reach the cloud through the control plane and the cloud
receipt sink, as an agent's would.
"""

from __future__ import annotations

import re
import time
from contextlib import closing

import pytest
from localcloud_helpers import api_client, approver_client, assert_no_tracebacks, create, dashboard_session, form_token
from test_approval_e2e import Reviewer, approve_as, deny_as, handler_for, new_warrant
from zelto import ApprovalDenied, guard
from zelto.control_plane import ControlPlaneClient
from zelto_localcloud.testing import LocalCloud

import zelto_cloud.langgraph as lg
from zelto_cloud.client import ZeltoCloudClient
from zelto_cloud.providers import CloudReceiptSink

# Every test here runs on SQLite and on PostgreSQL.
pytestmark = pytest.mark.usefixtures("database_backend")


@pytest.fixture(scope="module")
def cloud(tmp_path_factory, database_backend):
    with LocalCloud(tmp_path_factory.mktemp("outcomes")) as started:
        yield started
        assert_no_tracebacks(started)


def control_plane(cloud: LocalCloud, client: ZeltoCloudClient) -> ControlPlaneClient:
    sink = CloudReceiptSink(client)
    return ControlPlaneClient(url=cloud.base_url, api_key=cloud.api_key, authorizer_name="tests",
                              signing_key=None, receipt_sink=sink)


def call_once(kind: str, cloud: LocalCloud, warrant, holder, plane, observe: bool, runs: list) -> None:
    """One guarded call of transfer_funds(250, "acct-7781") through the SDK's guard or the LangGraph middleware."""
    handler = handler_for(cloud, holder)
    if kind == "langgraph":
        from langchain.agents.middleware.types import ToolCallRequest
        from langchain_core.messages import ToolMessage

        middleware = lg.ZeltoMiddleware(warrant=warrant, approval_handler=handler, signing_key=holder,
                                        control_plane=plane, dry_run=observe)
        call = {"name": "transfer_funds", "args": {"amount": 250, "to": "acct-7781"}, "id": "call_1",
                "type": "tool_call"}

        def tool(request):
            runs.append(tuple(request.tool_call["args"].values()))
            return ToolMessage(content="sent", tool_call_id="call_1")

        middleware.wrap_tool_call(ToolCallRequest(tool_call=call, tool=None, state={}, runtime=None), tool)
        return

    @guard(warrant=warrant, approval_handler=handler, signing_key=holder, control_plane=plane, dry_run=observe)
    def transfer_funds(amount: int, to: str) -> str:
        runs.append((amount, to))
        return "sent"

    try:
        transfer_funds(250, "acct-7781")
    except ApprovalDenied:
        pass



def request_page(cloud: LocalCloud, request_id: str) -> str:
    with closing(dashboard_session(cloud, "alice")) as browser:
        page = browser.get(f"/approvals?request={request_id}")
    assert page.status_code == 200
    return page.text


# (guard, decision, the warrant names alice, observe-first, receipts sent, status, outcome, the tool ran)
OUTCOMES = [
    pytest.param("guard", approve_as("alice"), True, False, True, "approved", "ran", True, id="approved-and-ran"),
    # Nobody is an allowed approver of the guard: the cloud's approval is refused by the guard.
    pytest.param("guard", approve_as("alice"), False, False, True, "approved", "refused", False,
                 id="approved-refused-by-guard"),
    pytest.param("guard", deny_as("alice", "not today"), True, True, True, "denied", "ran_anyway", True,
                 id="denied-ran-anyway-observe-first"),
    pytest.param("langgraph", deny_as("alice"), True, True, True, "denied", "ran_anyway", True,
                 id="langgraph-denied-ran-anyway-observe-first"),
    pytest.param("guard", approve_as("alice"), True, False, False, "approved", None, True, id="no-receipt"),
]


@pytest.mark.parametrize(("kind", "decide", "names_alice", "observe", "receipts", "status", "result", "ran"), OUTCOMES)
def test_the_request_says_what_happened_after_the_decision(cloud, kind, decide, names_alice, observe, receipts,
                                                            status, result, ran):
    options = {} if names_alice else {"approvers": (), "require_approval": True}
    warrant, holder = new_warrant(cloud, **options)
    runs = []
    # The receipts' client is closed with the test: a pool left open would outlive it.
    with (ZeltoCloudClient(cloud.api_key, base_url=cloud.base_url) as client,
          Reviewer(cloud, warrant.id, decide) as reviewer):
        call_once(kind, cloud, warrant, holder, control_plane(cloud, client) if receipts else None, observe, runs)
    assert runs == ([(250, "acct-7781")] if ran else [])
    request_id = reviewer.seen[warrant.id]["id"]
    with api_client(cloud) as http:
        answer = http.get(f"/v1/approvals/requests/{request_id}").json()
    assert answer["status"] == status
    assert answer.get("outcome", {}).get("result") == result
    if result is not None:
        assert answer["outcome"]["receipts"] == 1 and answer["outcome"]["receipt_id"].startswith("rcpt_")
    page = request_page(cloud, request_id)
    assert f'data-result="{result or "none"}"' in page
    assert ('class="outcome warning"' in page) is (result == "ran_anyway")


@pytest.fixture(scope="module")
def hasty_cloud(tmp_path_factory):
    """A cloud that takes a request to be abandoned after one second without a read."""
    with LocalCloud(tmp_path_factory.mktemp("abandon"), server_args=("--abandon-after", "1")) as started:
        yield started
        assert_no_tracebacks(started)


# (how it is approved, an agent read it just before, confirmed, the answer's status code)
ABANDONED = [
    ("api", False, False, 400),
    ("api", False, True, 200),
    ("api", True, False, 200),
    ("dashboard", False, False, 400),
    ("dashboard", False, True, 303),
]


@pytest.mark.parametrize(("channel", "polled", "confirmed", "code"), ABANDONED)
def test_an_abandoned_request_is_approved_only_with_a_confirmation(hasty_cloud, channel, polled, confirmed, code):
    # Signed in first: a slow sign-in (a sanitized build on a busy machine) between the
    # agent's read and the page would let that read age past the one second.
    with closing(dashboard_session(hasty_cloud, "alice")) as browser:
        with api_client(hasty_cloud) as http:
            request_id = create(http)["id"]
            time.sleep(1.3)
            if polled:
                assert http.get(f"/v1/approvals/requests/{request_id}").status_code == 200
        page = browser.get(f"/approvals?request={request_id}").text
        waiting = re.search(r'<span id="waiting" class="waiting (\w*)">', page).group(1)
        assert (waiting == "abandoned") is (not polled)
        assert ('id="confirm-abandoned"' in page) is (not polled)
        listed = browser.get("/approvals").text
        apart = listed.split('<table id="abandoned"')[1].split("</table>")[0] if 'id="abandoned"' in listed else ""
        assert (request_id in apart) is (not polled)
        if channel == "dashboard":
            fields = {"form_token": form_token(page)} | ({"confirm_abandoned": "yes"} if confirmed else {})
            answer = browser.post(f"/approvals/{request_id}/approve", data=fields)
        else:
            with approver_client(hasty_cloud, "alice") as approver:
                answer = approver.post(f"/v1/approvals/requests/{request_id}/approve",
                                       json={"confirm": True} if confirmed else {})
    assert answer.status_code == code, answer.text
    if code == 400:
        assert "abandoned" in answer.text
    with api_client(hasty_cloud) as http:
        assert http.get(f"/v1/approvals/requests/{request_id}").json()["status"] == ("pending" if code == 400 else "approved")
