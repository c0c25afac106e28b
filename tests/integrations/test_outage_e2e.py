"""A burst of asynchronous approvals while the local cloud is killed and restarted.

200 awaited handlers create their requests at once; while the creates are
under way the cloud is SIGKILLed and started again 12 s later, longer than a
client call's own limit but well within the handlers' time-out. Every wait must end exactly once, approved, and
the cloud must hold exactly one request per wait: none lost, none twice, no
orphan that a person could approve with nobody waiting. Loopback only, and
bounded: the whole run is cut off after BOUND seconds.
"""

from __future__ import annotations

import asyncio
import time

import httpx
from test_approval_e2e import gate_request, new_warrant
from zelto_core import SignedApproval
from zelto_localcloud.testing import LocalCloud

from zelto_cloud.approval import async_cloud_approval

WAITS = 200
DOWN_SECONDS = 12.0  # longer than a client call's own limit (10 s): only the handler's time-out carries them
TIME_OUT = 90.0  # the handlers'; the cloud is back long before
BOUND = 150.0


async def _review(cloud: LocalCloud, done: asyncio.Event, seen: asyncio.Event) -> None:
    """Approves every pending request as alice, riding out the outage like any client."""
    alice = cloud.approver_headers("alice")
    async with httpx.AsyncClient(base_url=cloud.base_url, headers=cloud.auth_headers, timeout=10) as http:
        while not done.is_set():
            try:
                listed = await http.get("/v1/approvals/requests", params={"status": "pending", "limit": 500})
                pending = listed.json()["requests"]
                if len(pending) >= 20:
                    seen.set()
                for request in pending:
                    await http.post(f"/v1/approvals/requests/{request['id']}/approve", json={}, headers=alice)
            except (httpx.HTTPError, ValueError, KeyError):
                pass  # the cloud is down, or answered while dying
            await asyncio.sleep(0.05)


async def _burst(cloud: LocalCloud) -> tuple[list, float]:
    calls = []
    for _ in range(WAITS):
        warrant, holder = new_warrant(cloud)
        calls.append((gate_request(warrant), holder))
    done, seen = asyncio.Event(), asyncio.Event()
    reviewer = asyncio.create_task(_review(cloud, done, seen))

    async def wait(request, holder):
        handler = async_cloud_approval(cloud.api_key, base_url=cloud.base_url, signing_key=holder,
                                       poll_interval=0.2, timeout=TIME_OUT)
        return await handler(request)

    waits = [asyncio.ensure_future(wait(request, holder)) for request, holder in calls]
    try:
        await asyncio.wait_for(seen.wait(), 30)  # creates are arriving: kill the cloud among them
    except TimeoutError:
        pass
    await asyncio.to_thread(cloud.kill)
    killed = time.monotonic()
    await asyncio.sleep(DOWN_SECONDS)
    await asyncio.to_thread(cloud.start)
    outage = time.monotonic() - killed
    results = await asyncio.gather(*waits, return_exceptions=True)
    done.set()
    await reviewer
    return [(request, result) for (request, _), result in zip(calls, results)], outage


def test_every_wait_ends_once_and_no_request_is_orphaned(tmp_path):
    with LocalCloud(tmp_path / "cloud") as cloud:
        outcomes, outage = asyncio.run(asyncio.wait_for(_burst(cloud), BOUND))
        with httpx.Client(base_url=cloud.base_url, headers=cloud.auth_headers, timeout=30) as http:
            stored, cursor = [], None
            while True:  # a list comes in pages
                paging = {"limit": 100} | ({"cursor": cursor} if cursor else {})
                page = http.get("/v1/approvals/requests", params=paging).json()
                stored += page["requests"]
                if not (cursor := page["next_cursor"]):
                    break

    failed = [result for _, result in outcomes if not isinstance(result, SignedApproval)]
    verified = [request for request, result in outcomes
                if isinstance(result, SignedApproval) and result.verify() and result.request_hash == request.request_hash]
    # An orphan: a stored request whose wait did not come back with its approval.
    answered = {request.request_hash.hex() for request in verified}
    orphans = [r for r in stored if r["request_hash"] not in answered or r["status"] != "approved"]
    print(f"outage {outage:.1f} s: {len(verified)} of {WAITS} waits verified, {len(failed)} failed,"
          f" {len(stored)} requests stored, {len(orphans)} orphans")
    assert failed == [], failed[:3]
    assert len(verified) == WAITS
    assert len(stored) == WAITS and len({r["request_hash"] for r in stored}) == WAITS
    assert orphans == []
