"""Two server processes on one PostgreSQL database behind HAProxy: they act as one service.

Races that two processes could lose against each other are run across them,
and a thousand agents' waits ride out a replica killed mid-run and a database
restart. Loopback only; every wait has its deadline.
"""

from __future__ import annotations

import asyncio
import os
import random
import subprocess
import sys
import time

import httpx
import psycopg
import pytest
from localcloud_helpers import create_body
from zelto_localcloud.balancer import LoadBalancer, free_port, haproxy_binary
from zelto_localcloud.testing import LocalCloud

WAITS = 1000
POLL_SECONDS = 3.0
STARTING = 32  # waits whose create is not stored yet, at most
WAIT_DEADLINE = 150.0  # each agent's own timeout; the run as a whole is bounded by RUN_DEADLINE
RUN_DEADLINE = 240.0
APPROVERS = 4  # approving tasks


class Cluster:
    def __init__(self, postgres_server, folder):
        self.postgres = postgres_server
        self.url = postgres_server.database()
        self.folder = folder
        self.replicas = [LocalCloud(folder / f"replica{index}") for index in (1, 2)]
        for replica in self.replicas:
            replica.database = self.url
        self.balancer: LoadBalancer | None = None

    def start(self) -> "Cluster":
        first, second = self.replicas
        first.start()
        # The second replica finds the first one's keys in the database: it shows no secrets of its own.
        second._api_key, second._passwords = first.api_key, {n: first.approver_password(n) for n in ("alice", "bob")}
        second.start()
        self.balancer = LoadBalancer([("127.0.0.1", r.port) for r in self.replicas], self.folder / "balancer").start()
        return self

    def stop(self) -> None:
        if self.balancer is not None:
            self.balancer.stop()
        for replica in self.replicas:
            replica.stop()
        self.postgres.drop(self.url)

    @property
    def base_url(self) -> str:
        return self.balancer.base_url

    def count_requests(self) -> int:
        return self.rows("SELECT count(*) FROM requests")[0][0]

    def rows(self, sql: str, *parameters):
        with psycopg.connect(self.url, connect_timeout=10) as connection:
            return connection.execute(sql, parameters).fetchall()


@pytest.fixture
def cluster(postgres_server, tmp_path):
    if haproxy_binary() is None:
        pytest.skip("HAProxy is not installed (make setup installs it)")
    running = Cluster(postgres_server, tmp_path)
    try:
        yield running.start()
    finally:
        running.stop()


# -- races across the two processes ------------------------------------------------


async def _idempotent_creates(cluster, a, b):
    """The same idempotency key sent to both at once: one request, and both answers name it."""
    keys = [f"race-{index}" for index in range(20)]
    answers = await asyncio.gather(*(
        http.post("/v1/approvals/requests", json=create_body(), headers={"Idempotency-Key": key})
        for key in keys for http in (a, b)
    ))
    assert {answer.status_code for answer in answers} <= {200, 201}, [x.text for x in answers]
    by_key: dict[str, set[str]] = {}
    for key, answer in zip([k for k in keys for _ in (a, b)], answers):
        by_key.setdefault(key, set()).add(answer.json()["id"])
    assert all(len(ids) == 1 for ids in by_key.values())
    assert cluster.rows("SELECT count(*) FROM idempotency_keys")[0][0] == len(keys)


async def _two_approvers_at_once(cluster, a, b):
    """Threshold two, each approver on another process at the same moment: approved, never stuck pending."""
    created = [(await a.post("/v1/approvals/requests", json=create_body(threshold=2))).json() for _ in range(15)]
    alice, bob = (cluster.replicas[0].approver_headers(name) for name in ("alice", "bob"))
    answers = await asyncio.gather(*(
        http.post(f"/v1/approvals/requests/{c['id']}/approve", json={}, headers=who)
        for c in created for http, who in ((a, alice), (b, bob))
    ))
    assert {answer.status_code for answer in answers} == {200}, [x.text for x in answers]
    for c in created:
        assert (await b.get(f"/v1/approvals/requests/{c['id']}")).json()["status"] == "approved"


async def _claims_at_once(cluster, a, b):
    """One connect token claimed with two keys on the two processes: exactly one key is bound."""
    for _ in range(5):
        token = cluster.replicas[0].mint_connect_token()
        answers = await asyncio.gather(*(
            http.post("/v1/connect/claim", json={"token": token, "public_key_hex": key * 64})
            for http, key in ((a, "a"), (b, "b"))
        ))
        assert sorted(answer.status_code for answer in answers) == [200, 409], [x.text for x in answers]


async def _guessing_on_both(cluster, a, b):
    """Wrong passwords sent to one process count on the other: guessing is throttled across them."""
    wrong = httpx.BasicAuth("carol", "not-carols-password-at-all")
    for http in (a, b, a, b, a):  # the free failures, spread over both
        assert (await http.get("/v1/approvers", auth=wrong)).status_code == 401
    answer = await b.get("/v1/approvers", auth=wrong)
    assert answer.status_code == 429, answer.text


async def _agent_seen_anywhere(cluster, a, b):
    """An agent reading on one process keeps its request from looking abandoned on the other."""
    created = (await a.post("/v1/approvals/requests", json=create_body())).json()
    await asyncio.sleep(2.5)
    assert (await b.get(f"/v1/approvals/requests/{created['id']}")).status_code == 200
    await asyncio.sleep(1.5)  # past --abandon-after on the creating process, but read since on the other
    answer = await a.post(f"/v1/approvals/requests/{created['id']}/approve", json={},
                          headers=cluster.replicas[0].approver_headers("alice"))
    assert answer.status_code == 200, answer.text


async def _notifications_sent_once(cluster, a, b):
    """Both processes deliver the outbox: each message goes out once."""
    from test_localcloud_notify import Receiver

    receiver = Receiver()
    try:
        cluster.replicas[0]._manage("approver", "notify", "alice", "--webhook", receiver.url)
        created = [(await http.post("/v1/approvals/requests", json=create_body())).json()["id"]
                   for _ in range(10) for http in (a, b)]
        deadline = time.monotonic() + 30
        while len(receiver.accepted) < len(created) and time.monotonic() < deadline:
            await asyncio.sleep(0.1)
        await asyncio.sleep(2.0)  # time for a second sending of any of them
        deliveries = [headers["Zelto-Delivery"] for headers, _ in receiver.accepted]
        assert len(deliveries) == len(set(deliveries)) == len(created), deliveries
    finally:
        receiver.close()


RACES = {
    "idempotent creates": _idempotent_creates,
    "two approvers at once": _two_approvers_at_once,
    "connect-token claims": _claims_at_once,
    "password guessing": _guessing_on_both,
    "agent reads": _agent_seen_anywhere,
    "notification delivery": _notifications_sent_once,
}


@pytest.mark.parametrize("race", RACES)
def test_two_processes_act_as_one(postgres_server, tmp_path, race):
    if haproxy_binary() is None:
        pytest.skip("HAProxy is not installed (make setup installs it)")
    running = Cluster(postgres_server, tmp_path)
    for replica in running.replicas:
        replica.server_args = ("--abandon-after", "3")
    try:
        running.start()

        async def run():
            first, second = running.replicas
            async with httpx.AsyncClient(base_url=first.base_url, headers=first.auth_headers, timeout=30) as a, \
                    httpx.AsyncClient(base_url=second.base_url, headers=first.auth_headers, timeout=30) as b:
                await asyncio.wait_for(RACES[race](running, a, b), 60)

        asyncio.run(run())
        for replica in running.replicas:
            assert not [line for line in replica.output if "Traceback" in line], "\n".join(replica.output)
    finally:
        running.stop()


# -- failover -----------------------------------------------------------------------


def _gate_requests(holder, count: int, tag: str) -> list:
    from zelto.approval import ApprovalRequest
    from zelto_core import approval_request_hash

    requests = []
    for index in range(count):
        warrant_id, arguments = f"w-{tag}-{index}", {"index": index}
        requests.append(ApprovalRequest(
            tool="transfer", warrant_id=warrant_id, arguments=arguments, request_id=f"r-{tag}-{index}",
            holder_key=holder.public_key.to_bytes(),
            request_hash=approval_request_hash(warrant_id, "transfer", arguments, holder.public_key),
        ))
    return requests


async def _pending_ids(http: httpx.AsyncClient, wanted: int) -> list[str]:
    """The pending requests' ids, read through the balancer once all `wanted` are stored."""
    deadline = time.monotonic() + RUN_DEADLINE / 2
    while time.monotonic() < deadline:
        ids, cursor = [], ""
        while cursor is not None:
            paging = {"cursor": cursor} if cursor else {}
            answer = await http.get("/v1/approvals/requests", params={"status": "pending", "limit": 500, **paging})
            if answer.status_code != 200:
                break  # a replica or the database is on its way down: read again
            page = answer.json()
            ids += [request["id"] for request in page["requests"]]
            cursor = page["next_cursor"]
        if cursor is None and len(ids) >= wanted:
            return ids
        await asyncio.sleep(0.5)
    raise AssertionError(f"the {wanted} waits were not all stored in time")


async def _approve(http: httpx.AsyncClient, request_id: str, headers: dict, acknowledged: set) -> None:
    """Approves until an answer says it is approved; an approval answered 200 is acknowledged."""
    deadline = time.monotonic() + RUN_DEADLINE / 2
    while time.monotonic() < deadline:
        try:
            answer = await http.post(f"/v1/approvals/requests/{request_id}/approve", json={}, headers=headers)
        except httpx.TransportError:
            await asyncio.sleep(0.2)  # cut off with its replica: stored or not, asked again
            continue
        if answer.status_code == 200:
            acknowledged.add(request_id)
            return
        if answer.status_code == 409:  # an earlier try was stored but its answer was lost
            return
        assert answer.status_code in (502, 503, 504), answer.text
        await asyncio.sleep(0.2)
    raise AssertionError(f"{request_id} could not be approved in time")


async def _failover_run(cluster: Cluster, disrupt) -> tuple[list, list, set]:
    from zelto_core import SigningKey

    from zelto_cloud.approval import async_cloud_approval

    first = cluster.replicas[0]
    holder = SigningKey.generate()
    handler = async_cloud_approval(first.api_key, base_url=cluster.base_url, signing_key=holder,
                                   poll_interval=POLL_SECONDS, timeout=WAIT_DEADLINE)
    requests = _gate_requests(holder, WAITS, f"failover-{os.getpid()}-{time.monotonic_ns()}")
    ends: list[int] = []

    async def wait(index: int, request):
        try:
            return await handler(request)
        finally:
            ends.append(index)

    tasks = []
    for index, request in enumerate(requests):
        tasks.append(asyncio.create_task(wait(index, request)))
        # Started as a fleet of agents would start: a few at a time, not a thousand creates in one instant.
        while index % 8 == 7 and len(tasks) - await asyncio.to_thread(cluster.count_requests) > STARTING:
            await asyncio.sleep(0.05)
    limits = httpx.Limits(max_connections=APPROVERS * 2, max_keepalive_connections=APPROVERS * 2)
    acknowledged: set[str] = set()
    async with httpx.AsyncClient(base_url=cluster.base_url, headers=first.auth_headers, limits=limits,
                                 timeout=30) as http:
        ids = await _pending_ids(http, WAITS)
        random.shuffle(ids)
        alice = first.approver_headers("alice")
        shares = [ids[i::APPROVERS] for i in range(APPROVERS)]

        async def approve_share(share):
            for request_id in share:
                await _approve(http, request_id, alice, acknowledged)

        approving = asyncio.gather(*(approve_share(share) for share in shares))
        while len(acknowledged) < WAITS // 3:
            await asyncio.sleep(0.05)
        await asyncio.to_thread(disrupt, cluster)
        await approving
    results = await asyncio.gather(*tasks, return_exceptions=True)
    return requests, list(zip(results, ends)), acknowledged


def _kill_a_replica(cluster: Cluster) -> None:
    cluster.replicas[0].kill()


def _restart_the_database(cluster: Cluster) -> None:
    cluster.postgres.restart(down_for=1.0)


@pytest.mark.parametrize("disrupt", [_kill_a_replica, _restart_the_database],
                         ids=["replica killed", "database restarted"])
def test_a_thousand_waits_ride_out_a_failure(cluster, disrupt):
    started = time.monotonic()
    requests, outcomes, acknowledged = asyncio.run(asyncio.wait_for(_failover_run(cluster, disrupt), RUN_DEADLINE))
    results = [result for result, _ in outcomes]
    failures = [repr(r)[:200] for r in results if isinstance(r, BaseException)]
    assert not failures, failures[:5]
    assert sorted(index for _, index in outcomes) == list(range(WAITS))  # each wait ended, and once
    alice = bytes.fromhex(cluster.replicas[1].approvers["alice"])
    for request, approval in zip(requests, results):
        assert approval.verify() and approval.request_hash == request.request_hash
        assert bytes(approval.approver_key) == alice
    assert cluster.rows("SELECT count(*) FROM requests") == [(WAITS,)]
    stored = dict(cluster.rows("SELECT id, status FROM requests"))
    assert set(stored.values()) == {"approved"}
    answered = {row[0] for row in cluster.rows("SELECT request_id FROM responses WHERE decision = 'approved'")}
    assert acknowledged <= answered and len(acknowledged) > WAITS // 3
    assert time.monotonic() - started < RUN_DEADLINE


# -- moving a data folder onto PostgreSQL ----------------------------------------------


def _migrate(*arguments: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-P", "-m", "zelto_localcloud", "migrate", *arguments],
                          capture_output=True, text=True, timeout=120)


@pytest.fixture(scope="module")
def used_folder(tmp_path_factory):
    """A SQLite data folder that has seen requests, decisions, a receipt, a session and a connect token."""
    folder = tmp_path_factory.mktemp("sqlite-folder")
    cloud = LocalCloud(folder)
    cloud.database = None
    with cloud, httpx.Client(base_url=cloud.base_url, headers=cloud.auth_headers, timeout=30) as http:
        created = [http.post("/v1/approvals/requests", json=create_body()).json() for _ in range(5)]
        cloud.approve(created[0]["id"], "alice")
        cloud.deny(created[1]["id"], "bob", reason="no")
        http.post("/v1/receipts", json={"receipt": {"approval_request_id": created[0]["id"], "outcome": "ran"}})
        http.get("/approvals")
        cloud.mint_connect_token()
    return folder, cloud, created


MIGRATIONS = {
    # case: (arguments after the source and target, database state before, exit status, words of the output)
    "into an empty database": ((), "empty", 0, "sessions were not copied"),
    "into one that holds data": ((), "used", 1, "already holds data"),
    "replacing what it holds": (("--replace",), "used", 0, "sessions were not copied"),
    "from a folder without a database": ((), "no folder", 1, "not a zelto-localcloud data folder"),
    "to something else than PostgreSQL": ((), "not postgres", 2, "postgresql://"),
    "to a server that is not there": ((), "unreachable", 1, "nothing was copied"),
}


@pytest.mark.parametrize("case", MIGRATIONS)
def test_migrate_copies_a_data_folder_whole_or_not_at_all(postgres_server, used_folder, tmp_path, case):
    arguments, before, status, words = MIGRATIONS[case]
    folder, source, created = used_folder
    target = postgres_server.database()
    try:
        given_source, given_target = str(folder), target
        if before == "used":
            assert _migrate("--from", str(folder), "--to", target).returncode == 0
        elif before == "no folder":
            given_source = str(tmp_path)
        elif before == "not postgres":
            given_target = "mysql://somewhere/db"
        elif before == "unreachable":
            given_target = f"postgresql://zelto@127.0.0.1:{free_port()}/none"
        result = _migrate("--from", given_source, "--to", given_target, *arguments)
        assert result.returncode == status, result.stdout + result.stderr
        assert words in result.stdout + result.stderr
        assert "Traceback" not in result.stderr
        if status != 0:
            return
        copied = [line.split() for line in result.stdout.splitlines() if " rows copied, " in line]
        assert copied and all(line[1] == line[4] for line in copied), result.stdout
        replica = LocalCloud(tmp_path / "replica")
        replica.database = target
        replica._api_key, replica._passwords = source.api_key, dict(source._passwords)
        with replica, httpx.Client(base_url=replica.base_url, headers=source.auth_headers, timeout=30) as http:
            stored = {r["id"]: r for r in http.get("/v1/approvals/requests").json()["requests"]}
            assert {c["id"] for c in created} == set(stored)
            assert stored[created[0]["id"]]["status"] == "approved"
            assert stored[created[1]["id"]]["status"] == "denied"
            # The numbering goes on after the copied rows, and the same keys and approvers work.
            again = http.post("/v1/approvals/requests", json=create_body())
            assert again.status_code == 201, again.text
            replica.approve(again.json()["id"], "alice")
            assert replica.approvers == source.approvers
    finally:
        postgres_server.drop(target)
