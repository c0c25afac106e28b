"""The asynchronous cloud approval handler end to end, where it differs from the synchronous one:
concurrent awaits on one loop, an async tool behind the guard, and the demo. What both handlers do
alike is tested once for both, over `kind`, in test_approval_e2e.py.

Requests are resolved as in the synchronous end-to-end tests: a background
reviewer finds them through the API and approves or denies them.
"""

from __future__ import annotations

import asyncio
import subprocess
import sys
from pathlib import Path

import pytest
from test_approval_e2e import (  # noqa: F401  (the fixtures are used by name)
    Reviewer,
    approve_as,
    approver_key,
    assert_covers,
    cloud,
    clouds,
    deny_as,
    gate_request,
    handler_for,
    new_warrant,
)
from zelto import ApprovalDenied, guard
from zelto.decorators import bind_key_scope


class TestApproved:
    def test_concurrent_awaits_on_one_loop_each_get_their_own_approval(self, cloud):
        handler = handler_for(cloud, None, kind="asyncio.run")
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

        @guard(warrant=warrant, approval_handler=handler_for(cloud, None, kind="asyncio.run"), signing_key=holder)
        async def transfer_funds(amount: int, to: str) -> str:
            ran.append(amount)
            return f"sent {amount} to {to}"

        with Reviewer(cloud, warrant.id, approve_as("alice")):
            assert asyncio.run(transfer_funds(250, to="acct-7781")) == "sent 250 to acct-7781"
        with Reviewer(cloud, warrant.id, deny_as("alice", "over the limit")):
            with pytest.raises(ApprovalDenied, match="over the limit"):
                asyncio.run(transfer_funds(10**6, to="acct-0001"))
        assert ran == [250]


def test_the_demo_shows_the_async_road():
    demo = Path(__file__).resolve().parents[2] / "examples" / "demo.py"
    done = subprocess.run([sys.executable, str(demo)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "guarded with async_cloud_approval" in done.stdout
    assert "-> transferred 250 to acct-7781 (async)" in done.stdout
