"""The asynchronous cloud approval handler end to end, against a real local cloud
process, awaited from asyncio.run and driven from a thread without a loop.

Requests are resolved as in the synchronous end-to-end tests: a background
reviewer finds them through the API and approves or denies them.
"""

from __future__ import annotations

import asyncio
import socket
import subprocess
import sys
import threading
from pathlib import Path

import pytest
from test_approval_e2e import (  # noqa: F401  (the fixtures are used by name)
    POLL,
    Reviewer,
    any_cloud,
    approve_as,
    approver_key,
    assert_covers,
    cloud,
    clouds,
    deny_as,
    gate_request,
    new_warrant,
)
from zelto import ApprovalDenied, Warrant, guard
from zelto.decorators import bind_key_scope
from zelto_core import SigningKey
from zelto_localcloud.testing import LocalCloud

from zelto_cloud.approval import async_cloud_approval
from zelto_cloud.client import ZeltoCloudClient
from zelto_cloud.exceptions import ApprovalTimeoutError, ZeltoCloudError


def async_handler_for(cloud: LocalCloud, holder: SigningKey | None, **options):
    options.setdefault("poll_interval", POLL)
    options.setdefault("timeout", 20.0)
    return async_cloud_approval(cloud.api_key, base_url=cloud.base_url, signing_key=holder, **options)


def without_a_loop(coroutine):
    """Drives the handler's coroutine by hand in a thread that runs no event loop."""
    outcome: dict = {}

    def drive() -> None:
        try:
            coroutine.send(None)
        except StopIteration as stop:
            outcome["result"] = stop.value
        except BaseException as exc:
            outcome["error"] = exc

    thread = threading.Thread(target=drive)
    thread.start()
    thread.join(60)
    assert not thread.is_alive()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["result"]


@pytest.fixture(params=["asyncio.run", "no loop"])
def drive(request):
    return asyncio.run if request.param == "asyncio.run" else without_a_loop


class TestApproved:
    def test_one_approver_gives_one_verified_signed_approval(self, any_cloud, drive):
        warrant, holder = new_warrant(any_cloud)
        request = gate_request(warrant)
        with Reviewer(any_cloud, warrant.id, approve_as("alice"), pause=0.1):
            result = drive(async_handler_for(any_cloud, holder)(request))
        assert_covers(result, request, approver_key(any_cloud, "alice"))

    def test_threshold_two_gives_a_list_of_two(self, cloud):
        warrant, holder = new_warrant(cloud, approvers=("alice", "bob"), min_approvals=2)
        request = gate_request(warrant)
        with Reviewer(cloud, warrant.id, approve_as("alice", "bob"), pause=0.1):
            result = asyncio.run(async_handler_for(cloud, holder)(request))
        assert isinstance(result, list) and len(result) == 2
        assert {a.approver_key for a in result} == {approver_key(cloud, "alice"), approver_key(cloud, "bob")}

    def test_concurrent_awaits_on_one_loop_each_get_their_own_approval(self, cloud):
        handler = async_handler_for(cloud, None)
        calls = [new_warrant(cloud) for _ in range(6)]
        requests = [gate_request(warrant) for warrant, _ in calls]

        async def one(request, holder):
            with bind_key_scope(holder):
                return await handler(request)

        async def main():
            return await asyncio.gather(*(one(r, h) for r, (_, h) in zip(requests, calls)))

        with Reviewer(cloud, [r.warrant_id for r in requests], approve_as("alice")):
            results = asyncio.run(main())
        for request, result in zip(requests, results):
            assert_covers(result, request, approver_key(cloud, "alice"))


class TestThroughTheGuard:
    def test_async_tool_runs_after_approval_and_not_after_denial(self, cloud):
        warrant, holder = new_warrant(cloud)
        ran = []

        @guard(warrant=warrant, approval_handler=async_handler_for(cloud, None), signing_key=holder)
        async def transfer_funds(amount: int, to: str) -> str:
            ran.append(amount)
            return f"sent {amount} to {to}"

        with Reviewer(cloud, warrant.id, approve_as("alice")):
            assert asyncio.run(transfer_funds(250, to="acct-7781")) == "sent 250 to acct-7781"
        with Reviewer(cloud, warrant.id, deny_as("alice", "over the limit")):
            with pytest.raises(ApprovalDenied, match="over the limit"):
                asyncio.run(transfer_funds(10**6, to="acct-0001"))
        assert ran == [250]


class TestRefused:
    @pytest.mark.parametrize(("reason", "expected"), [("over the daily limit", "over the daily limit"),
                                                      (None, "denied in Zelto Cloud")],
                             ids=["with-reason", "without-reason"])
    def test_denied(self, cloud, drive, reason, expected):
        warrant, holder = new_warrant(cloud)
        request = gate_request(warrant)
        with Reviewer(cloud, warrant.id, deny_as("alice", reason), pause=0.1):
            with pytest.raises(ApprovalDenied) as refused:
                drive(async_handler_for(cloud, holder)(request))
        assert refused.value.reason == expected and refused.value.request is request

    def test_expired(self, cloud, drive):
        warrant, holder = new_warrant(cloud, ttl_seconds=0)
        with pytest.raises(ApprovalDenied, match="approval request expired"):
            drive(async_handler_for(cloud, holder, timeout=10.0)(gate_request(warrant)))

    def test_timed_out(self, cloud, drive):
        warrant, holder = new_warrant(cloud)
        with pytest.raises(ApprovalDenied) as refused:
            drive(async_handler_for(cloud, holder, poll_interval=0.2, timeout=0.5)(gate_request(warrant)))
        assert refused.value.reason == "timed out after 0.5s waiting for cloud approval"
        assert isinstance(refused.value.__context__, ApprovalTimeoutError)
        with ZeltoCloudClient(cloud.api_key, base_url=cloud.base_url) as client:
            mine = [r for r in client.list_requests(limit=500) if r["warrant_id"] == warrant.id]
        assert [r["status"] for r in mine] == ["pending"]  # created once, still waiting


class TestServerDown:
    def test_nothing_listening(self, drive):
        with socket.socket() as sock:
            sock.bind(("127.0.0.1", 0))
            port = sock.getsockname()[1]
        holder = SigningKey.generate()
        warrant = Warrant(id="w-e2e-async-nowhere", holder_key=holder.public_key, require_approval=True)
        handler = async_cloud_approval("zelto_lk_any", base_url=f"http://127.0.0.1:{port}", signing_key=holder)
        with pytest.raises(ZeltoCloudError) as failed:
            drive(handler(gate_request(warrant)))
        assert type(failed.value) is ZeltoCloudError and failed.value.status_code is None

    def test_server_gone_while_polling(self, tmp_path):
        with LocalCloud(tmp_path / "cloud") as doomed:
            warrant, holder = new_warrant(doomed)
            with Reviewer(doomed, warrant.id, lambda cloud, client, request: cloud.kill()):
                with pytest.raises(ZeltoCloudError) as failed:
                    asyncio.run(async_handler_for(doomed, holder)(gate_request(warrant)))
        assert type(failed.value) is ZeltoCloudError and failed.value.status_code is None


def test_the_demo_shows_the_async_road():
    demo = Path(__file__).resolve().parents[2] / "examples" / "demo.py"
    done = subprocess.run([sys.executable, str(demo)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "guarded with async_cloud_approval" in done.stdout
    assert "-> transferred 250 to acct-7781 (async)" in done.stdout
