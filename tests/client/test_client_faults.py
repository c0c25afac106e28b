"""The cloud clients against servers that misbehave on loopback.

Every call must end by its deadline (the client's timeout, plus a little
scheduling slack), retry only what is safe to send again, say what happened,
and leave nothing open behind it.
"""

from __future__ import annotations

import asyncio
import gc
import json
import os
import socket
import threading
import time
import tracemalloc

import httpx
import pytest
from cloud_stub_server import request_object
from fault_server import Answer, FaultServer, Forward, Hang, Reset

from zelto_cloud._http import pools
from zelto_cloud.client import ApproverCredential, AsyncZeltoCloudClient, ZeltoCloudClient
from zelto_cloud.exceptions import ZeltoCloudError

API_KEY = "zk_test_fault_key_8c1f2e"
SLACK = 0.3  # scheduling slack on top of a deadline, for a loaded machine
KINDS = ["sync", "async"]
READ = ("get_request", "apr_1")
APPROVE = ("approve_request", "apr_1")
ALICE = ApproverCredential("alice", "alice-password")
OK = Answer(200, request_object())


@pytest.fixture(autouse=True)
def nothing_left_open():
    yield
    assert not pools.sync_pools._entries
    assert not any(pools.async_pools._by_loop.values())


def call(kind: str, base_url: str, method: str, *args, timeout: float = 1.0, api_key: str = API_KEY, **kwargs):
    """One call on a fresh client that is closed afterwards: (result or error, seconds)."""
    started = time.monotonic()
    if kind == "sync":
        with ZeltoCloudClient(api_key, base_url=base_url, timeout=timeout) as client:
            try:
                result = getattr(client, method)(*args, **kwargs)
            except ZeltoCloudError as error:
                result = error
    else:

        async def scenario():
            async with AsyncZeltoCloudClient(api_key, base_url=base_url, timeout=timeout) as client:
                try:
                    return await getattr(client, method)(*args, **kwargs)
                except ZeltoCloudError as error:
                    return error

        result = asyncio.run(scenario())
    return result, time.monotonic() - started


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


@pytest.mark.parametrize("kind", KINDS)
class TestDeadline:
    @pytest.mark.parametrize("trickle_from", [0, len(OK.payload()) - 40], ids=["head", "body"])
    def test_trickled_answer(self, kind, trickle_from):
        with FaultServer(Answer(200, request_object(), trickle=0.05, trickle_from=trickle_from)) as server:
            error, seconds = call(kind, server.base_url, *READ, timeout=0.5)
        assert str(error) == f"no answer from {server.base_url} within 0.5 s to GET /v1/approvals/requests/apr_1"
        assert error.status_code is None
        assert 0.45 <= seconds < 0.5 + SLACK

    def test_hang(self, kind):
        with FaultServer(Hang()) as server:
            error, seconds = call(kind, server.base_url, *READ, timeout=0.5)
        assert str(error).startswith(f"no answer from {server.base_url} within 0.5 s")
        assert error.status_code is None and error.__cause__ is not None
        assert 0.45 <= seconds < 0.5 + SLACK

    def test_refused_is_tried_until_the_deadline(self, kind):
        base_url = f"http://127.0.0.1:{free_port()}"
        error, seconds = call(kind, base_url, *READ, timeout=0.6)
        assert str(error).startswith(f"could not connect to {base_url}: ConnectError")
        assert "start the local cloud with `zelto-localcloud`, or pass base_url=" in str(error)
        assert error.status_code is None and isinstance(error.__cause__, httpx.ConnectError)
        assert 0.3 <= seconds < 0.6 + SLACK


@pytest.mark.parametrize("kind", KINDS)
class TestRetries:
    @pytest.mark.parametrize("read_first", [False, True], ids=["before-read", "after-read"])
    def test_resets_are_retried_for_reads(self, kind, read_first):
        with FaultServer(Reset(read_first), Reset(read_first), OK) as server:
            result, seconds = call(kind, server.base_url, *READ)
        assert result == request_object()
        assert server.connections == 3 and seconds < 1.0

    def test_a_reset_ends_an_approval_that_may_have_arrived(self, kind):
        with FaultServer(Reset(), OK) as server:
            error, _ = call(kind, server.base_url, *APPROVE, approver=ALICE)
        assert str(error).startswith(f"no answer from {server.base_url} to POST /v1/approvals/requests/apr_1/approve")
        assert "the connection broke" in str(error) and error.status_code is None
        assert server.connections == 1

    def test_retry_after_is_honoured(self, kind):
        with FaultServer(Answer(429, headers={"Retry-After": "1"}), OK) as server:
            result, seconds = call(kind, server.base_url, *READ, timeout=3.0)
        assert result["id"] == "apr_1"
        assert 1.0 <= seconds < 2.0

    def test_retry_after_beyond_the_deadline_gives_up_at_once(self, kind):
        busy = Answer(429, {"error": {"code": "rate_limited", "message": "slow down"}}, headers={"Retry-After": "5"})
        with FaultServer(busy, OK) as server:
            error, seconds = call(kind, server.base_url, *READ, timeout=1.0)
        assert error.status_code == 429 and "slow down" in str(error)
        assert server.connections == 1 and seconds < SLACK

    @pytest.mark.parametrize("status", [502, 503, 504])
    def test_gateway_burst_shorter_than_the_deadline(self, kind, status):
        with FaultServer(Answer(status), Answer(status), Answer(status), OK) as server:
            result, seconds = call(kind, server.base_url, *READ, timeout=3.0)
        assert result["id"] == "apr_1" and server.connections == 4 and seconds < 3.0

    @pytest.mark.parametrize("status", [502, 503])
    def test_gateway_burst_longer_than_the_deadline(self, kind, status):
        with FaultServer(Answer(status, b"<html>busy</html>")) as server:
            error, seconds = call(kind, server.base_url, *READ, timeout=1.0)
        assert error.status_code == status and "busy" in str(error)
        assert server.connections >= 3 and seconds < 1.0 + SLACK

    def test_create_is_retried_under_one_idempotency_key(self, kind, payload):
        with FaultServer(Reset(), Answer(503), Answer(201, request_object())) as server:
            result, _ = call(kind, server.base_url, "create_request", **payload)
        assert result["id"] == "apr_1"
        keys = {seen.headers["idempotency-key"] for seen in server.seen}
        assert len(server.seen) == 3 and len(keys) == 1
        assert {seen.body for seen in server.seen} == {server.seen[0].body}
        assert "idempotency_key" not in json.loads(server.seen[0].body)

    def test_approval_is_retried_only_when_not_acted_on(self, kind):
        with FaultServer(Answer(429, headers={"Retry-After": "0"}), Answer(503), OK) as server:
            error, _ = call(kind, server.base_url, *APPROVE, approver=ALICE)
        assert error.status_code == 503 and server.connections == 2


@pytest.fixture
def payload():
    return {
        "warrant_id": "w-fault",
        "tool": "transfer_funds",
        "request_hash": b"\xab" * 32,
        "holder_key": b"\x01" * 32,
        "args_canonical_cbor_b64": "oWFhAQ==",
        "approval_context_attestation": {"v": 1},
    }


@pytest.fixture(scope="module")
def cloud(tmp_path_factory):
    from zelto_localcloud.testing import LocalCloud

    with LocalCloud(tmp_path_factory.mktemp("cloud")) as cloud:
        yield cloud


class TestLostCreateAnswer:
    """The local cloud behind a proxy that drops the first reply to a create."""

    @pytest.mark.parametrize("kind", KINDS)
    @pytest.mark.parametrize("own_key", [False, True], ids=["made-key", "payload-key"])
    def test_exactly_one_request_is_stored(self, cloud, kind, own_key):
        from localcloud_helpers import create_body

        body = create_body(tool="wire_money")
        if own_key:
            body["idempotency_key"] = f"appr_{body['warrant_id']}-{kind}"
        with FaultServer(Forward(drop_reply=True), Forward(), upstream=cloud.base_url) as proxy:
            created, seconds = call(kind, proxy.base_url, "create_request", **body, timeout=5.0, api_key=cloud.api_key)
        assert isinstance(created, dict), created
        with ZeltoCloudClient(cloud.api_key, base_url=cloud.base_url) as client:
            stored = [r for r in client.list_requests(limit=500) if r["warrant_id"] == body["warrant_id"]]
        assert [r["id"] for r in stored] == [created["id"]]
        assert proxy.connections == 2 and seconds < 5.0


@pytest.mark.parametrize("kind", KINDS)
class TestBoundedAnswers:
    def test_oversize_answer_is_refused_unread(self, kind):
        # Both answers stall after 1.5 MB: a client that waited for the rest would run into its deadline.
        huge = json.dumps(request_object(padding="x" * (3 * 1024 * 1024))).encode()
        declared = Answer(200, huge, hang_after=1_500_000)
        undeclared = Answer(200, huge, declare_length=False, hang_after=1_500_000)
        with FaultServer(declared, undeclared) as server:
            outcomes = [call(kind, server.base_url, *READ, timeout=2.0) for _ in range(2)]
        for error, seconds in outcomes:
            assert str(error) == (
                "the answer of Zelto Cloud to GET /v1/approvals/requests/apr_1 is larger than 1048576 bytes; refused"
            )
            assert error.status_code == 200 and seconds < 1.0

    def test_huge_error_body_is_quoted_briefly(self, kind):
        with FaultServer(Answer(500, b"<html>oops</html>" + b"x" * (8 * 1024 * 1024))) as server:
            error, _ = call(kind, server.base_url, *READ)
        assert error.status_code == 500 and "oops" in str(error) and len(str(error)) < 500

    def test_malformed_json_is_not_retried(self, kind):
        with FaultServer(Answer(200, b'{"id": "apr_1", "status": '), OK) as server:
            error, _ = call(kind, server.base_url, *READ)
        assert str(error).startswith("malformed answer from Zelto Cloud to GET /v1/approvals/requests/apr_1")
        assert error.status_code == 200 and isinstance(error.__cause__, ValueError)
        assert server.connections == 1

    def test_unasked_content_encoding_is_refused(self, kind):
        with FaultServer(Answer(200, b"\x1f\x8b...", headers={"Content-Encoding": "gzip"})) as server:
            error, _ = call(kind, server.base_url, *READ)
        assert "content encoding 'gzip'" in str(error)


class TestResources:
    def test_a_caught_error_keeps_no_large_body_alive(self):
        malformed = b"[" + b"1," * 400_000  # 800 KB, under the limit, not JSON
        with FaultServer(Answer(200, malformed)) as server:
            gc.collect()
            tracemalloc.start()
            try:
                error, _ = call("sync", server.base_url, *READ)
                gc.collect()
                held = tracemalloc.get_traced_memory()[0]
            finally:
                tracemalloc.stop()
        assert "malformed" in str(error)
        assert held < 200_000

    @pytest.mark.parametrize("kind", KINDS)
    def test_no_descriptor_left_open_over_200_calls(self, kind):
        steps = [OK, Answer(200, b"nope"), Answer(404, b"{}"), Answer(200, b"x" * 2_000_000), Answer(401, b"{}")]
        with FaultServer(*(steps * 40), OK) as server:
            call(kind, server.base_url, *READ)  # warm up: imports, the TLS context, the event loop policy
            before = len(os.listdir("/proc/self/fd"))
            if kind == "sync":
                outcomes = [call(kind, server.base_url, *READ)[0] for _ in range(200)]
            else:
                outcomes = asyncio.run(_many_async_calls(server.base_url, 200))
            after = _settled_descriptor_count(before)
        assert sum(isinstance(outcome, dict) for outcome in outcomes) == 40
        assert after <= before

    def test_api_key_stays_out_of_frames_reprs_and_errors(self):
        unauthorized = Answer(401, {"error": {"code": "unauthorized", "message": f"unknown key {API_KEY}"}})
        errors = []
        with FaultServer(unauthorized, Reset()) as server:
            with ZeltoCloudClient(API_KEY, base_url=server.base_url, timeout=1.0) as client:
                for method in (client.get_request, lambda i: client.approve_request(i, approver=ALICE)):
                    with pytest.raises(ZeltoCloudError) as caught:
                        method("apr_1")
                    errors.append(caught.value)
                texts = [repr(client), repr(vars(client))]
        for error in errors:
            texts += [str(error), repr(error), *_own_frame_locals(error)]
        assert all(API_KEY not in text for text in texts)
        assert "***" in str(errors[0])


def _settled_descriptor_count(expected: int) -> int:
    """The process's open descriptors, once the server's threads have closed their ends (at most 2 s)."""
    deadline = time.monotonic() + 2
    while (count := len(os.listdir("/proc/self/fd"))) > expected and time.monotonic() < deadline:
        time.sleep(0.02)
    return count


async def _many_async_calls(base_url: str, count: int) -> list:
    outcomes = []
    for _ in range(count):
        async with AsyncZeltoCloudClient(API_KEY, base_url=base_url, timeout=1.0) as client:
            try:
                outcomes.append(await client.get_request("apr_1"))
            except ZeltoCloudError as error:
                outcomes.append(error)
    return outcomes


def _own_frame_locals(error: BaseException) -> list[str]:
    """The reprs of the locals of this package's frames in an error's traceback and causes."""
    texts = []
    while error is not None:
        traceback = error.__traceback__
        while traceback is not None:
            frame = traceback.tb_frame
            if "zelto_cloud" in frame.f_code.co_filename:
                texts += [repr(value) for value in frame.f_locals.values()]
            traceback = traceback.tb_next
        error = error.__cause__ or error.__context__
    return texts


def test_handler_survives_a_lost_create_answer_and_a_reset_poll(tmp_path):
    """The synchronous handler through a proxy that drops the create's reply and resets a poll."""
    from zelto import ApprovalRequest
    from zelto_core import SigningKey, approval_request_hash
    from zelto_localcloud.testing import LocalCloud

    from zelto_cloud.approval import cloud_approval

    holder = SigningKey.generate()
    arguments = {"amount": 5}
    request = ApprovalRequest(
        tool="wire_money", warrant_id="w-lost-answer", arguments=arguments, request_id="req-lost",
        holder_key=holder.public_key.to_bytes(),
        request_hash=approval_request_hash("w-lost-answer", "wire_money", arguments, holder.public_key),
    )
    with LocalCloud(tmp_path / "cloud") as cloud:
        steps = (Forward(drop_reply=True), Forward(), Reset(), Forward())
        with FaultServer(*steps, upstream=cloud.base_url) as proxy:
            approver = threading.Thread(target=_approve_when_pending, args=(cloud, "w-lost-answer"))
            approver.start()
            handler = cloud_approval(cloud.api_key, base_url=proxy.base_url, signing_key=holder,
                                     poll_interval=0.05, timeout=20.0)
            try:
                approval = handler(request)
            finally:
                approver.join(30)
        with ZeltoCloudClient(cloud.api_key, base_url=cloud.base_url) as client:
            stored = [r for r in client.list_requests(limit=500) if r["warrant_id"] == "w-lost-answer"]
    assert approval.verify() and approval.request_hash == request.request_hash
    assert len(stored) == 1 and stored[0]["status"] == "approved"


def _approve_when_pending(cloud, warrant_id: str) -> None:
    deadline = time.monotonic() + 20
    with ZeltoCloudClient(cloud.api_key, base_url=cloud.base_url) as client:
        while time.monotonic() < deadline:
            for pending in client.list_requests(status="pending", limit=500):
                if pending["warrant_id"] == warrant_id:
                    client.approve_request(pending["id"], approver=cloud.approver_credential(next(iter(cloud.approvers))))
                    return
            time.sleep(0.05)
