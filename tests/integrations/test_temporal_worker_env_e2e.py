"""Temporal workers configured through zelto_cloud.temporal, end to end: a real
Temporal dev server, the local cloud, and nothing but ZELTO_ variables (or the
legacy one-call set-up)."""

from __future__ import annotations

import asyncio
import functools
import json
import logging
import sqlite3
import time
import uuid
from concurrent.futures import ThreadPoolExecutor

import pytest
from temporal_helpers import DevServer, cloud_requests, decide, transfer_activity, wait_for_requests
from temporal_workflows import GuardedCall
from temporalio.client import Client
from temporalio.worker import Worker
from zelto.warrant import Warrant
from zelto_core import PublicKey, SigningKey
from zelto_localcloud.credentials import connect_token_hash
from zelto_localcloud.testing import LocalCloud

import zelto_cloud.approval
from zelto_cloud.approval import TemporalCloudApprovalHandler
from zelto_cloud.temporal import ZeltoPlugin, ZeltoPluginConfig, configure_temporal_worker

WAIT_SECONDS = 30.0
VARIABLES = ["ZELTO_API_KEY", "ZELTO_CONTROL_PLANE_URL", "ZELTO_DASHBOARD_ROOT_KEY", "ZELTO_AUTHORIZER_NAME",
             "ZELTO_ISSUER_KEY", "ZELTO_SIGNING_KEY", "ZELTO_CONNECT_TOKEN", "ZELTO_ENFORCEMENT", "ZELTO_DRY_RUN"]


@pytest.fixture(scope="module")
def temporal(tmp_path_factory):
    with DevServer(tmp_path_factory.mktemp("temporal")) as server:
        yield server


@pytest.fixture(scope="module")
def cloud(tmp_path_factory):
    with LocalCloud(tmp_path_factory.mktemp("cloud")) as running:
        yield running


@pytest.fixture
def environment(monkeypatch):
    # setenv first, so that variables the connect bootstrap puts into the
    # environment are removed again afterwards.
    for name in VARIABLES:
        monkeypatch.setenv(name, "")
        monkeypatch.delenv(name)
    # The handler keeps its defaults when wired from the environment (2 s
    # apart, 3 polls); the tests poll faster.
    fast = functools.partial(zelto_cloud.approval.temporal_cloud_approval, fast_poll_seconds=0.1,
                             fast_poll_attempts=2)
    monkeypatch.setattr(zelto_cloud.approval, "temporal_cloud_approval", fast)
    return monkeypatch


def cloud_database(cloud: LocalCloud) -> sqlite3.Connection:
    connection = sqlite3.connect(f"file:{cloud.data_dir / 'localcloud.db'}?mode=ro", uri=True)
    connection.row_factory = sqlite3.Row
    return connection


def receipts_for(cloud: LocalCloud, warrant_id: str) -> list[dict]:
    with cloud_database(cloud) as db:
        bodies = [json.loads(row["body_json"]) for row in db.execute("SELECT body_json FROM receipts")]
    return [body for body in bodies if body.get("warrant_id") == warrant_id]


async def run_workflow(temporal: DevServer, cloud: LocalCloud, plugin, warrant: Warrant, *, approve: bool) -> str:
    """Runs transfer_funds on a worker with `plugin`; approves once a retry has begun."""
    client = await Client.connect(temporal.address)
    task_queue = f"tq-{uuid.uuid4().hex}"
    with ThreadPoolExecutor(4) as pool:
        async with Worker(client, task_queue=task_queue, workflows=[GuardedCall], plugins=[plugin],
                          activity_executor=pool):
            handle = await client.start_workflow(GuardedCall.run, args=["transfer_funds", [250, "acct-7781"], {}],
                                                 id=f"wf-{uuid.uuid4().hex}", task_queue=task_queue)
            if approve:
                request, = await asyncio.to_thread(wait_for_requests, cloud, warrant.id)
                deadline = time.monotonic() + WAIT_SECONDS
                while (await handle.describe()).raw_description.pending_activities[0].attempt < 2:
                    assert time.monotonic() < deadline, "Temporal never retried the pending activity"
                    await asyncio.sleep(0.05)
                await asyncio.to_thread(decide, cloud, request["id"])
            return await asyncio.wait_for(handle.result(), 120)


def test_a_worker_configured_from_the_environment_alone(temporal, cloud, environment):
    worker_key = SigningKey.generate()
    alice = cloud.approvers["alice"]
    environment.setenv("ZELTO_API_KEY", cloud.api_key)
    environment.setenv("ZELTO_CONTROL_PLANE_URL", cloud.base_url)
    environment.setenv("ZELTO_SIGNING_KEY", worker_key.to_bytes().hex())
    environment.setenv("ZELTO_DASHBOARD_ROOT_KEY", alice)
    environment.setenv("ZELTO_ENFORCEMENT", "enforce")
    # No named approvers: the dashboard root among the trusted roots decides.
    warrant = Warrant(id=f"w-env-{uuid.uuid4().hex[:8]}", holder_key=worker_key.public_key, require_approval=True)
    ran = []
    config = ZeltoPluginConfig.from_env(activity_fns=[transfer_activity(warrant, ran.append)])
    assert type(config.approval_handler) is TemporalCloudApprovalHandler
    assert config.trusted_roots == [worker_key.public_key, PublicKey.from_bytes(bytes.fromhex(alice))]
    assert config.dry_run is False

    result = asyncio.run(run_workflow(temporal, cloud, ZeltoPlugin(config), warrant, approve=True))
    assert result == "sent 250 to acct-7781" and ran == [(250, "acct-7781")]
    assert len(cloud_requests(cloud, warrant.id)) == 1
    receipt, = receipts_for(cloud, warrant.id)
    assert (receipt["decision"], receipt["tool"], receipt["approvers"]) == ("allowed", "transfer_funds", [alice])
    assert receipt["attempt"] >= 2


def test_connect_token_claims_at_start_and_again_on_restart(cloud, environment, caplog):
    worker_key = SigningKey.generate()
    token = cloud.mint_connect_token()
    environment.setenv("ZELTO_CONNECT_TOKEN", token)
    environment.setenv("ZELTO_CONTROL_PLANE_URL", cloud.base_url)
    environment.setenv("ZELTO_SIGNING_KEY", worker_key.to_bytes().hex())
    with caplog.at_level(logging.INFO):
        first = ZeltoPluginConfig.from_env()
    # The exchange brought the API key, so the cloud wiring followed.
    assert type(first.approval_handler) is TemporalCloudApprovalHandler
    with cloud_database(cloud) as db:
        claimed, = db.execute("SELECT public_key, claimed_at FROM connect_tokens WHERE token_hash = ?",
                              (connect_token_hash(token),))
    assert claimed["public_key"] == worker_key.public_key.hex() and claimed["claimed_at"]

    caplog.clear()
    with caplog.at_level(logging.INFO):
        ZeltoPluginConfig.from_env()
    logged = [(r.name, r.levelno, r.getMessage()) for r in caplog.records]
    assert ("zelto_cloud.connect", logging.INFO,
            "agent already claimed for this key; counting it as active") in logged
    assert not [entry for entry in logged if entry[1] >= logging.WARNING]


def test_a_rejected_connect_token_still_starts_the_worker(temporal, cloud, environment, caplog):
    worker_key = SigningKey.generate()
    environment.setenv("ZELTO_CONNECT_TOKEN", "zelto_ct_" + "0" * 32)
    environment.setenv("ZELTO_CONTROL_PLANE_URL", cloud.base_url)
    environment.setenv("ZELTO_SIGNING_KEY", worker_key.to_bytes().hex())
    environment.setenv("ZELTO_ENFORCEMENT", "enforce")
    warrant = Warrant(id=f"w-env-{uuid.uuid4().hex[:8]}", holder_key=worker_key.public_key)
    ran = []
    with caplog.at_level(logging.WARNING, logger="zelto_cloud.temporal"):
        config = ZeltoPluginConfig.from_env(activity_fns=[transfer_activity(warrant, ran.append)])
    warning, = [r.getMessage() for r in caplog.records if r.name == "zelto_cloud.temporal"]
    assert warning.startswith("ZELTO_CONNECT_TOKEN bootstrap failed: ")
    assert config.approval_handler is None
    result = asyncio.run(run_workflow(temporal, cloud, ZeltoPlugin(config), warrant, approve=False))
    assert result == "sent 250 to acct-7781" and ran == [(250, "acct-7781")]


def test_the_legacy_setup_builds_a_working_worker(temporal, cloud, environment):
    worker_key = SigningKey.generate()
    alice = PublicKey.from_bytes(bytes.fromhex(cloud.approvers["alice"]))
    warrant = Warrant(id=f"w-legacy-{uuid.uuid4().hex[:8]}", holder_key=worker_key.public_key,
                      required_approvers=(alice,))
    ran = []
    with pytest.warns(DeprecationWarning):
        plugin = configure_temporal_worker([transfer_activity(warrant, ran.append)], signing_key=worker_key,
                                           api_key=cloud.api_key, control_plane_url=cloud.base_url,
                                           fast_poll_seconds=0.1, fast_poll_attempts=2)
    result = asyncio.run(run_workflow(temporal, cloud, plugin, warrant, approve=True))
    assert result == "sent 250 to acct-7781" and ran == [(250, "acct-7781")]
    assert len(cloud_requests(cloud, warrant.id)) == 1
