"""Status reads of many awaitable clients on one loop go out as batch reads, invisibly to callers."""

from __future__ import annotations

import asyncio
import threading

import pytest
from cloud_stub_server import Reply, StubCloud, error_body, request_object
from fault_server import FaultServer, Forward
from localcloud_helpers import api_client, create

from zelto_cloud._http import pools
from zelto_cloud.client import AsyncZeltoCloudClient, ZeltoCloudClient
from zelto_cloud.exceptions import ZeltoCloudError

API_KEY = "zk_test_batching_key"
REQUESTS = "/v1/approvals/requests"
BATCH = f"{REQUESTS}/batch-read"


@pytest.fixture(autouse=True)
def nothing_left_open():
    yield
    assert not any(pools.async_pools._by_loop.values())


@pytest.fixture(scope="module")
def cloud(tmp_path_factory):
    from zelto_localcloud.testing import LocalCloud

    with LocalCloud(tmp_path_factory.mktemp("cloud")) as running:
        yield running


@pytest.fixture
def stub():
    with StubCloud() as cloud:
        yield cloud


def answer_batch(known: dict[str, dict]):
    """A batch responder that answers the ids it knows."""

    def respond(recorded) -> Reply:
        return Reply(200, {"requests": [known[i] for i in recorded.json()["ids"] if i in known]})

    return respond


async def read_each(base_url: str, ids: list[str], api_key: str = API_KEY) -> list:
    """One client per id, all reading at once: each result or error."""

    async def one(request_id: str):
        async with AsyncZeltoCloudClient(api_key, base_url=base_url) as client:
            try:
                return await client.get_request(request_id)
            except ZeltoCloudError as error:
                return error

    return await asyncio.gather(*(one(request_id) for request_id in ids))


def batch_calls(recorded) -> list[list[str]]:
    return [r.json()["ids"] for r in recorded if r.path == BATCH]


class TestAgainstTheLocalCloud:
    def test_interleaved_reads_get_what_single_reads_get(self, cloud):
        with api_client(cloud) as http:
            created = [create(http) for _ in range(12)]
            for request in created[:4]:
                http.post(f"{REQUESTS}/{request['id']}/approve", json={"approver": "alice"})
            for request in created[4:6]:
                http.post(f"{REQUESTS}/{request['id']}/deny", json={"approver": "bob", "reason": "no"})
        ids = [request["id"] for request in created] * 3 + ["apr_does_not_exist"]

        with FaultServer(Forward(), upstream=cloud.base_url, batch_reads=True) as proxy:
            results = asyncio.run(read_each(proxy.base_url, ids, cloud.api_key))
        with ZeltoCloudClient(cloud.api_key, base_url=cloud.base_url) as client:
            singles = [client.get_request(request_id) for request_id in ids[:12]]
            with pytest.raises(ZeltoCloudError) as unknown:
                client.get_request("apr_does_not_exist")

        assert results[:-1] == singles * 3
        assert len({id(result) for result in results}) == len(results)  # every caller has a dict of its own
        assert str(results[-1]).replace(proxy.base_url, "") == str(unknown.value).replace(cloud.base_url, "")
        assert results[-1].status_code == 404 and results[-1].code == "not_found"
        batches = [seen for seen in proxy.seen if seen.path == BATCH]
        assert 1 <= len(batches) <= 2
        assert [seen.path for seen in proxy.seen if seen.path != BATCH] == [f"{REQUESTS}/apr_does_not_exist"]


class TestBatchAnswers:
    def test_an_id_the_answer_leaves_out_is_read_alone(self, stub):
        stub.on("POST", BATCH, answer_batch({"apr_1": request_object("apr_1", "approved")}))
        stub.reply("GET", f"{REQUESTS}/apr_2", 200, request_object("apr_2", "denied", denied_reason="no"))
        results = asyncio.run(read_each(stub.base_url, ["apr_1", "apr_2"]))
        assert [r["status"] for r in results] == ["approved", "denied"]
        assert batch_calls(stub.requests) == [["apr_1", "apr_2"]]
        assert [r.path for r in stub.requests[1:]] == [f"{REQUESTS}/apr_2"]

    def test_a_cloud_without_batch_reads_is_asked_once(self, stub):
        stub.reply("GET", f"{REQUESTS}/apr_1", 200, request_object("apr_1"))
        stub.reply("GET", f"{REQUESTS}/apr_2", 200, request_object("apr_2"))

        async def two_rounds():
            first = await read_each(stub.base_url, ["apr_1", "apr_2"])
            async with AsyncZeltoCloudClient(API_KEY, base_url=stub.base_url) as keeper:  # the pool lives on
                await keeper.get_request("apr_1")
                second = await read_each(stub.base_url, ["apr_2", "apr_1"])
            return first + second

        results = asyncio.run(two_rounds())
        assert [r["id"] for r in results] == ["apr_1", "apr_2", "apr_2", "apr_1"]
        assert len(batch_calls(stub.requests)) == 2  # once per pool: the first round's pool closed with it

    def test_a_failed_batch_reads_as_each_callers_own_failure(self, stub):
        stub.reply("POST", BATCH, 500, error_body("internal", "the database is on fire"))
        first, second = asyncio.run(read_each(stub.base_url, ["apr_1", "apr_2"]))
        for error, request_id in ((first, "apr_1"), (second, "apr_2")):
            assert str(error) == (
                f"Zelto Cloud answered 500 Internal Server Error to GET {REQUESTS}/{request_id}: "
                "the database is on fire (internal)"
            )
            assert error.status_code == 500
        assert first is not second

    def test_reads_under_different_api_keys_are_batched_apart(self, stub):
        stub.on("POST", BATCH, answer_batch({"apr_1": request_object("apr_1"), "apr_2": request_object("apr_2")}))

        async def scenario():
            return await asyncio.gather(read_each(stub.base_url, ["apr_1"], "zk_tenant_one"),
                                        read_each(stub.base_url, ["apr_2"], "zk_tenant_two"))

        asyncio.run(scenario())
        keys = sorted((r.headers["authorization"], tuple(r.json()["ids"])) for r in stub.requests)
        assert keys == [("Bearer zk_tenant_one", ("apr_1",)), ("Bearer zk_tenant_two", ("apr_2",))]


class TestCallersComingAndGoing:
    def test_a_cancelled_caller_leaves_the_others_their_answers(self, stub):
        release = threading.Event()

        def slow(recorded) -> Reply:
            release.wait(5)
            return answer_batch({i: request_object(i, "approved") for i in ("apr_1", "apr_2", "apr_3")})(recorded)

        stub.on("POST", BATCH, slow)

        async def scenario():
            tasks = [asyncio.create_task(read_each(stub.base_url, [i])) for i in ("apr_1", "apr_2", "apr_3")]
            await asyncio.sleep(0.1)  # the batch is on its way
            tasks[1].cancel()
            release.set()
            return await asyncio.gather(*tasks, return_exceptions=True)

        first, cancelled, third = asyncio.run(scenario())
        assert isinstance(cancelled, asyncio.CancelledError)
        assert (first[0]["id"], third[0]["id"]) == ("apr_1", "apr_3")

    def test_a_caller_cancelled_before_the_batch_leaves_it(self, stub):
        stub.on("POST", BATCH, answer_batch({"apr_1": request_object("apr_1")}))

        async def scenario():
            leaving = asyncio.create_task(read_each(stub.base_url, ["apr_9"]))
            staying = asyncio.create_task(read_each(stub.base_url, ["apr_1"]))
            await asyncio.sleep(0)  # both reads are gathered, none sent
            leaving.cancel()
            return await asyncio.gather(staying, leaving, return_exceptions=True)

        staying, leaving = asyncio.run(scenario())
        assert staying[0]["id"] == "apr_1" and isinstance(leaving, asyncio.CancelledError)
        assert batch_calls(stub.requests) == [["apr_1"]]

    def test_closing_a_client_does_not_disturb_the_others(self, stub):
        release = threading.Event()

        def slow(recorded) -> Reply:
            release.wait(5)
            return answer_batch({"apr_1": request_object("apr_1"), "apr_2": request_object("apr_2")})(recorded)

        stub.on("POST", BATCH, slow)

        async def scenario():
            leaving = AsyncZeltoCloudClient(API_KEY, base_url=stub.base_url)
            staying = AsyncZeltoCloudClient(API_KEY, base_url=stub.base_url)
            left = asyncio.create_task(leaving.get_request("apr_1"))
            stays = asyncio.create_task(staying.get_request("apr_2"))
            await asyncio.sleep(0.1)
            left.cancel()
            await leaving.close()
            release.set()
            result = await stays
            await staying.close()
            return result

        assert asyncio.run(scenario())["id"] == "apr_2"

    def test_closing_the_last_client_fails_its_gathered_read(self, stub):
        async def scenario():
            client = AsyncZeltoCloudClient(API_KEY, base_url=stub.base_url)
            reading = asyncio.create_task(client.get_request("apr_1"))
            await asyncio.sleep(0)  # gathered, not yet sent
            await client.close()
            return await asyncio.wait_for(reading, 5)

        with pytest.raises(RuntimeError, match="closed"):
            asyncio.run(scenario())
        assert batch_calls(stub.requests) == []
