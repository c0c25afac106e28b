"""The Temporal approval handler end to end: a real Temporal dev server, a real
worker with the zelto.temporal plugin, real workflows and retries, and the
local cloud. Approvers answer through the cloud API, as at the dashboard."""

from __future__ import annotations

import asyncio
import itertools
import json
import signal
import subprocess
import sys
import threading
import time
import uuid
from concurrent.futures import ThreadPoolExecutor
from contextlib import asynccontextmanager
from dataclasses import dataclass
from pathlib import Path

import pytest
from temporal_helpers import DevServer, cloud_requests, decide, transfer_activity, wait_for_requests
from temporal_workflows import GuardedCall
from temporalio import activity
from temporalio.client import Client, WorkflowFailureError
from temporalio.exceptions import ActivityError, ApplicationError, RetryState
from temporalio.worker import Worker
from zelto.temporal import ZeltoPlugin, ZeltoPluginConfig
from zelto.warrant import Warrant
from zelto_core import PublicKey, SignedApproval, SigningKey
from zelto_localcloud.testing import LocalCloud

from zelto_cloud.approval import temporal_cloud_approval

TESTS = Path(__file__).resolve().parent
WAIT_SECONDS = 30.0
_ids = itertools.count()


@pytest.fixture(scope="module")
def temporal(tmp_path_factory):
    with DevServer(tmp_path_factory.mktemp("temporal")) as server:
        yield server


@pytest.fixture(scope="module")
def cloud(tmp_path_factory):
    with LocalCloud(tmp_path_factory.mktemp("cloud")) as running:
        yield running
        output = list(running.output)
    assert not [line for line in output if "Traceback" in line], "\n".join(output)


@dataclass
class Call:
    attempt: int
    heartbeat_details: list
    seconds: float
    outcome: object


class Recorder:
    """The approval handler as the plugin sees it: the real handler, with every
    call's attempt, heartbeat details, duration and outcome written down.
    `on_pending(attempt)` runs when an attempt hands the request back to Temporal."""

    def __init__(self, handler, on_pending=None) -> None:
        self.handler = handler
        self.on_pending = on_pending
        self.calls: list[Call] = []
        self.started: dict[int, threading.Event] = {n: threading.Event() for n in range(1, 10)}

    def __call__(self, request):
        info = activity.info()
        for attempt in range(1, min(info.attempt, 9) + 1):
            self.started[attempt].set()
        begin = time.monotonic()
        outcome = None
        try:
            outcome = self.handler(request)
            return outcome
        except ApplicationError as error:
            outcome = error
            if error.type == "ApprovalPendingRetry" and self.on_pending:
                self.on_pending(info.attempt)
            raise
        finally:
            self.calls.append(Call(info.attempt, list(info.heartbeat_details), time.monotonic() - begin, outcome))

    async def wait_for_attempt(self, attempt: int) -> None:
        assert await asyncio.to_thread(self.started[attempt].wait, WAIT_SECONDS), f"no attempt {attempt}"


class Scenario:
    """One guarded activity, its warrant (alice must approve) and its task queue."""

    def __init__(self, cloud: LocalCloud, *, fast_poll_seconds=0.1, fast_poll_attempts=2, on_pending=None):
        self.cloud = cloud
        self.holder = SigningKey.generate()
        self.alice = PublicKey.from_bytes(bytes.fromhex(cloud.approvers["alice"]))
        self.warrant = Warrant(id=f"w-temporal-{next(_ids)}-{uuid.uuid4().hex[:8]}",
                               holder_key=self.holder.public_key, required_approvers=(self.alice,))
        self.task_queue = f"tq-{self.warrant.id}"
        self.ran: list[tuple] = []
        handler = temporal_cloud_approval(cloud.api_key, self.holder, base_url=cloud.base_url,
                                          fast_poll_seconds=fast_poll_seconds, fast_poll_attempts=fast_poll_attempts)
        self.recorder = Recorder(handler, on_pending)

    @asynccontextmanager
    async def worker(self, client: Client):
        config = ZeltoPluginConfig(signing_key=self.holder, approval_handler=self.recorder,
                                   activity_fns=[transfer_activity(self.warrant, self.ran.append)])
        with ThreadPoolExecutor(4) as pool:
            async with Worker(client, task_queue=self.task_queue, workflows=[GuardedCall],
                              plugins=[ZeltoPlugin(config)], activity_executor=pool):
                yield

    async def execute(self, client: Client, **options) -> str:
        return await client.execute_workflow(
            GuardedCall.run, args=["transfer_funds", [250, "acct-7781"], options],
            id=f"wf-{uuid.uuid4().hex}", task_queue=self.task_queue)

    def requests(self) -> list[dict]:
        return cloud_requests(self.cloud, self.warrant.id)


def run(coroutine):
    return asyncio.run(asyncio.wait_for(coroutine, 120))


def test_pending_then_approved_across_retries(temporal, cloud):
    scenario = Scenario(cloud)

    async def main():
        client = await Client.connect(temporal.address)
        async with scenario.worker(client):
            workflow = asyncio.create_task(scenario.execute(client))
            await scenario.recorder.wait_for_attempt(2)
            request, = scenario.requests()
            await asyncio.to_thread(decide, cloud, request["id"])
            return await workflow, request["id"]

    result, request_id = run(main())
    assert result == "sent 250 to acct-7781"
    assert scenario.ran == [(250, "acct-7781")]
    calls = scenario.recorder.calls
    assert calls[0].attempt == 1 and calls[0].heartbeat_details == []
    assert calls[0].outcome.type == "ApprovalPendingRetry"
    # Every later attempt resumed the same request from the previous attempt's heartbeat.
    for call in calls[1:]:
        assert call.heartbeat_details == [{"approval_request_id": request_id, "approval_status": "pending"}]
    assert isinstance(calls[-1].outcome, SignedApproval) and calls[-1].attempt >= 2
    assert [r["id"] for r in scenario.requests()] == [request_id]
    assert scenario.requests()[0]["status"] == "approved"


def test_denied_fails_the_activity_at_once(temporal, cloud):
    scenario = Scenario(cloud, fast_poll_attempts=100)

    async def main():
        client = await Client.connect(temporal.address)
        async with scenario.worker(client):
            workflow = asyncio.create_task(scenario.execute(client))
            request, = await asyncio.to_thread(wait_for_requests, cloud, scenario.warrant.id)
            await asyncio.to_thread(decide, cloud, request["id"], "deny", "over the daily limit")
            with pytest.raises(WorkflowFailureError) as failed:
                await workflow
            return failed.value, request["id"]

    failure, request_id = run(main())
    assert isinstance(failure.cause, ActivityError)
    assert failure.cause.retry_state == RetryState.NON_RETRYABLE_FAILURE
    error = failure.cause.cause
    assert isinstance(error, ApplicationError)
    assert (error.type, error.non_retryable) == ("ApprovalDenied", True)
    assert error.message == f"approval denied for {request_id}: over the daily limit"
    assert [call.attempt for call in scenario.recorder.calls] == [1]
    assert scenario.ran == []


def test_a_request_the_cloud_no_longer_knows_is_found_again_by_its_key(temporal, cloud):
    lost = "apr_" + "0" * 20

    def forget_the_request(attempt: int) -> None:
        # As if the cloud had lost the request attempt 1 heartbeated: the next
        # attempt resumes an id the cloud answers 404 for.
        if attempt == 1:
            activity.heartbeat({"approval_request_id": lost, "approval_status": "pending"})

    scenario = Scenario(cloud, on_pending=forget_the_request)

    async def main():
        client = await Client.connect(temporal.address)
        async with scenario.worker(client):
            first = asyncio.create_task(scenario.execute(client))
            await scenario.recorder.wait_for_attempt(2)
            request, = scenario.requests()
            await asyncio.to_thread(decide, cloud, request["id"])
            assert await first == "sent 250 to acct-7781"
            # A second workflow run has its own key, so its own request.
            second = asyncio.create_task(scenario.execute(client))
            requests = await asyncio.to_thread(wait_for_requests, cloud, scenario.warrant.id, 2)
            other, = [r for r in requests if r["id"] != request["id"]]
            await asyncio.to_thread(decide, cloud, other["id"])
            assert await second == "sent 250 to acct-7781"
            return request["id"]

    request_id = run(main())
    second_attempt = next(call for call in scenario.recorder.calls if call.attempt == 2)
    assert second_attempt.heartbeat_details == [{"approval_request_id": lost, "approval_status": "pending"}]
    assert len(scenario.requests()) == 2
    assert request_id in {r["id"] for r in scenario.requests()}
    assert len(scenario.ran) == 2


def test_already_approved_returns_without_sleeping(temporal, cloud):
    scenario = Scenario(cloud, fast_poll_seconds=2.0, fast_poll_attempts=1)

    def approve_between_attempts(attempt: int) -> None:
        if attempt == 1:
            decide(cloud, scenario.requests()[0]["id"])

    scenario.recorder.on_pending = approve_between_attempts

    async def main():
        client = await Client.connect(temporal.address)
        async with scenario.worker(client):
            return await scenario.execute(client)

    assert run(main()) == "sent 250 to acct-7781"
    first, second = scenario.recorder.calls
    assert first.seconds >= 2.0
    assert isinstance(second.outcome, SignedApproval)
    assert second.seconds < 1.0, "the resumed, approved request was answered without a sleep"


def test_a_killed_worker_leaves_the_approval_to_the_next_one(temporal, cloud, tmp_path):
    holder = SigningKey.generate()
    warrant_id = f"w-temporal-kill-{uuid.uuid4().hex[:8]}"
    ran_file = tmp_path / "ran.jsonl"
    settings = {
        "address": temporal.address, "task_queue": f"tq-{warrant_id}", "api_key": cloud.api_key,
        "base_url": cloud.base_url, "holder_key": holder.to_bytes().hex(), "warrant_id": warrant_id,
        "approvers": [cloud.approvers["alice"]], "ran_file": str(ran_file),
        "fast_poll_seconds": 0.2, "fast_poll_attempts": 100,
    }

    def start_worker(name: str) -> subprocess.Popen:
        log = open(tmp_path / f"{name}.log", "w")
        process = subprocess.Popen([sys.executable, str(TESTS / "temporal_worker_process.py"), json.dumps(settings)],
                                   stdout=subprocess.PIPE, stderr=log, text=True, cwd=TESTS)
        log.close()
        assert process.stdout.readline().strip() == "ready", (tmp_path / f"{name}.log").read_text()
        return process

    async def heartbeat_recorded(handle) -> None:
        deadline = time.monotonic() + WAIT_SECONDS
        while True:
            description = await handle.describe()
            pending = description.raw_description.pending_activities
            if pending and pending[0].heartbeat_details.payloads:
                return
            assert time.monotonic() < deadline, "no heartbeat reached the server"
            await asyncio.sleep(0.1)

    workers = []
    try:
        async def main():
            client = await Client.connect(temporal.address)
            workers.append(start_worker("first"))
            handle = await client.start_workflow(
                GuardedCall.run, args=["transfer_funds", [250, "acct-7781"], {"heartbeat_timeout_seconds": 3}],
                id=f"wf-{uuid.uuid4().hex}", task_queue=settings["task_queue"])
            request, = await asyncio.to_thread(wait_for_requests, cloud, warrant_id)
            await heartbeat_recorded(handle)
            workers[0].send_signal(signal.SIGKILL)
            workers[0].wait()
            await asyncio.to_thread(decide, cloud, request["id"])
            workers.append(start_worker("second"))
            return await handle.result(), request["id"]

        result, request_id = run(main())
    finally:
        for process in workers:
            if process.poll() is None:
                process.terminate()
                process.wait(10)
            process.stdout.close()
    assert result == "sent 250 to acct-7781"
    # Activities run at least once: an attempt slower than the heartbeat
    # timeout on a loaded machine is retried even after it ran.
    runs = ran_file.read_text().splitlines()
    assert runs and set(runs) == {json.dumps([250, "acct-7781"])}
    assert [r["id"] for r in cloud_requests(cloud, warrant_id)] == [request_id]
    second_log = (tmp_path / "second.log").read_text()
    assert f"resuming approval request {request_id} for transfer_funds from heartbeat" in second_log
    assert "created for" not in second_log
