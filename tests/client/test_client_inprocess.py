"""The clients over an in-memory transport: answers that httpx hands over already read, and status reads
that go out together in one turn of the loop, or at once when alone."""

from __future__ import annotations

import asyncio
import json

import httpx
import pytest

from zelto_cloud import _batch
from zelto_cloud._http import config, pools
from zelto_cloud.client import AsyncZeltoCloudClient, ZeltoCloudClient

BASE_URL = "http://cloud.test/prefix"


def record(request_id: str) -> dict:
    return {"id": request_id, "status": "pending", "responses": []}


@pytest.fixture
def cloud(monkeypatch):
    """An in-memory cloud behind both clients' shared pools; answers are read already (json=)."""
    seen: list[httpx.Request] = []

    def answer(request: httpx.Request) -> httpx.Response:
        seen.append(request)
        if request.url.path.endswith("/batch-read"):
            ids = json.loads(request.content)["ids"]
            return httpx.Response(200, json={"requests": [record(i) for i in ids]})
        return httpx.Response(200, json=record(request.url.raw_path.decode().rsplit("/", 1)[1]))

    transport = httpx.MockTransport(answer)
    monkeypatch.setattr(pools, "new_async_transport", lambda url: transport)
    monkeypatch.setattr(pools, "new_transport", lambda url: transport)
    monkeypatch.setattr(_batch, "GATHER_SECONDS", 3600.0)  # a read that waited for the window would hang
    return seen


@pytest.mark.parametrize("reads, batches", [(1, 1), (5, 1), (0, 0)], ids=["alone", "together", "blocking"])
def test_reads_in_process(cloud, reads, batches):
    if reads:
        async def run():
            async with AsyncZeltoCloudClient("key", base_url=BASE_URL) as client:
                ids = [f"apr_{i}" for i in range(reads)]
                return await asyncio.wait_for(asyncio.gather(*(client.get_request(i) for i in ids)), 30)

        results = asyncio.run(run())
        assert [r["id"] for r in results] == [f"apr_{i}" for i in range(reads)]
    else:
        with ZeltoCloudClient("key", base_url=BASE_URL) as client:
            assert client.get_request("apr/1")["id"] == "apr%2F1"
    assert len(cloud) == max(batches, 1)
    sent = cloud[0]
    # what httpx.Client.send would have sent: the base path kept, the id quoted, the key and fixed headers
    assert sent.url.path.startswith("/prefix/v1/approvals/requests/")
    assert sent.headers["authorization"] == "Bearer key"
    assert sent.headers["user-agent"] == config.USER_AGENT
    assert sent.extensions["timeout"]["read"] is not None
