"""Many concurrent clients against one local cloud: no errors and no lost updates.

The counts are modest so the suite stays quick; benchmarks/bench_localcloud.py
runs the full 200 clients and reports throughput and latency.
"""

from __future__ import annotations

import asyncio
import time

import httpx
import pytest
from localcloud_helpers import assert_verified_approval, create_body
from zelto_localcloud.testing import LocalCloud

# Every test here runs on SQLite and on PostgreSQL.
pytestmark = pytest.mark.usefixtures("database_backend")

CLIENTS = 50
REQUESTS_PER_CLIENT = 3
DEADLINE_SECONDS = 240  # a hang guard only: sanitizer runs are several times slower


@pytest.fixture(scope="module")
def cloud(tmp_path_factory, database_backend):
    with LocalCloud(tmp_path_factory.mktemp("load")) as running:
        yield running


def _async_client(cloud) -> httpx.AsyncClient:
    limits = httpx.Limits(max_connections=CLIENTS * 2 + 10, max_keepalive_connections=CLIENTS * 2 + 10)
    return httpx.AsyncClient(base_url=cloud.base_url, headers=cloud.auth_headers, limits=limits, timeout=30)


async def _ok(response_awaitable) -> dict:
    response = await response_awaitable
    assert response.status_code in (200, 201), response.text
    return response.json()


async def _create_and_poll(http, to_approve: asyncio.Queue, threshold: int) -> tuple[dict, dict]:
    created = await _ok(http.post("/v1/approvals/requests", json=create_body(threshold=threshold)))
    await to_approve.put(created["id"])
    deadline = time.monotonic() + DEADLINE_SECONDS
    while time.monotonic() < deadline:
        current = await _ok(http.get(f"/v1/approvals/requests/{created['id']}"))
        if current["status"] != "pending":
            return created, current
        await asyncio.sleep(0.05)
    raise AssertionError(f"{created['id']} was never seen resolved")


async def _approve_all(http, to_approve: asyncio.Queue, approvers: list[str], total: int) -> None:
    approvals = []
    for _ in range(total):
        request_id = await to_approve.get()
        # The approvals of one request race each other, as two people clicking at once would.
        approvals += [
            asyncio.ensure_future(_ok(http.post(f"/v1/approvals/requests/{request_id}/approve", json={},
                                                headers=headers)))
            for headers in approvers
        ]
    await asyncio.gather(*approvals)


async def _client(http, to_approve, threshold) -> list[tuple[dict, dict]]:
    return [await _create_and_poll(http, to_approve, threshold) for _ in range(REQUESTS_PER_CLIENT)]


async def _run_load(cloud, threshold: int, approver_names: list[str]):
    approvers = [cloud.approver_headers(name) for name in approver_names]
    to_approve: asyncio.Queue = asyncio.Queue()
    total = CLIENTS * REQUESTS_PER_CLIENT
    async with _async_client(cloud) as http:
        clients = [_client(http, to_approve, threshold) for _ in range(CLIENTS)]
        results, _ = await asyncio.wait_for(
            asyncio.gather(asyncio.gather(*clients), _approve_all(http, to_approve, approvers, total)),
            DEADLINE_SECONDS,
        )
        listed, page = [], {"next_cursor": ""}
        while page["next_cursor"] is not None:  # a page holds at most 100; the cursor leads on
            cursor = {"cursor": page["next_cursor"]} if page["next_cursor"] else {}
            page = await _ok(http.get("/v1/approvals/requests", params={"status": "approved", "limit": 500, **cursor}))
            listed += page["requests"]
    return [pair for per_client in results for pair in per_client], listed


def test_concurrent_clients_all_see_their_threshold_approvals(cloud):
    approvers = ["alice", "bob"]
    pairs, listed = asyncio.run(_run_load(cloud, threshold=2, approver_names=approvers))
    assert len(pairs) == CLIENTS * REQUESTS_PER_CLIENT
    assert len({created["id"] for created, _ in pairs}) == len(pairs)
    for created, seen in pairs:
        assert seen["status"] == "approved"
        assert sorted(r["approver"] for r in seen["responses"]) == approvers
        for entry in seen["responses"]:
            assert_verified_approval(entry, request_hash_hex=created["request_hash"],
                                     approver_key_hex=cloud.approvers[entry["approver"]], encoding=cloud.encoding)
    assert {created["id"] for created, _ in pairs} <= {r["id"] for r in listed}


async def _same_approver_races(cloud, request_id: str, attempts: int) -> list[int]:
    carol = cloud.approver_headers("carol")
    async with _async_client(cloud) as http:
        responses = await asyncio.gather(*(
            http.post(f"/v1/approvals/requests/{request_id}/approve", json={}, headers=carol)
            for _ in range(attempts)
        ))
    return sorted(r.status_code for r in responses)


def test_one_approver_racing_itself_counts_once(cloud):
    with httpx.Client(base_url=cloud.base_url, headers=cloud.auth_headers) as http:
        request = http.post("/v1/approvals/requests", json=create_body(threshold=2)).json()
        statuses = asyncio.run(_same_approver_races(cloud, request["id"], attempts=20))
        assert statuses == [200] + [409] * 19
        current = http.get(f"/v1/approvals/requests/{request['id']}").json()
    assert current["status"] == "pending" and len(current["responses"]) == 1
