"""The cloud approval handlers end to end, against a real local cloud process: the synchronous one, and
the asynchronous one awaited from asyncio.run and driven from a thread without a loop (`kind`).

Every request is resolved the way a person at the dashboard would: a
background thread finds it through the client's list call and approves or
denies it through the API.  Keys and signatures are real Ed25519.
"""

from __future__ import annotations

import asyncio
import base64
import itertools
import socket
import threading
import time
from collections.abc import Callable

import pytest
from zelto import ApprovalDenied, ApprovalRequest, Warrant, guard
from zelto.decorators import bind_key_scope
from zelto_core import PublicKey, SignedApproval, SigningKey, approval_request_hash
from zelto_localcloud.testing import LocalCloud

from zelto_cloud.approval import async_cloud_approval, cloud_approval
from zelto_cloud.client import ZeltoCloudClient
from zelto_cloud.exceptions import ApprovalTimeoutError, ZeltoCloudError

POLL = 0.05
FIND_SECONDS = 10.0  # upper bound for a request to show up in the list
_warrant_ids = itertools.count()


@pytest.fixture(scope="module")
def clouds(tmp_path_factory):
    """One local cloud per signed-approval encoding, started on first use."""
    started: dict[str, LocalCloud] = {}

    def get(encoding: str) -> LocalCloud:
        if encoding not in started:
            started[encoding] = LocalCloud(tmp_path_factory.mktemp(f"cloud-{encoding}"), encoding=encoding).start()
        return started[encoding]

    yield get
    for cloud in started.values():
        output = list(cloud.output)
        cloud.stop()
        assert not [line for line in output if "Traceback" in line], "\n".join(output)


@pytest.fixture
def cloud(clouds) -> LocalCloud:
    return clouds("hex")


@pytest.fixture(params=["hex", "base64"])
def any_cloud(clouds, request) -> LocalCloud:
    return clouds(request.param)


def approver_key(cloud: LocalCloud, name: str) -> PublicKey:
    return PublicKey.from_bytes(bytes.fromhex(cloud.approvers[name]))


def new_warrant(cloud: LocalCloud, approvers=("alice",), **options) -> tuple[Warrant, SigningKey]:
    holder = SigningKey.generate()
    warrant = Warrant(
        id=f"w-e2e-{next(_warrant_ids)}",
        holder_key=holder.public_key,
        required_approvers=tuple(approver_key(cloud, name) for name in approvers),
        **options,
    )
    return warrant, holder


def gate_request(warrant: Warrant, tool: str = "transfer_funds", arguments: dict | None = None) -> ApprovalRequest:
    """The approval-gate request the SDK makes for one call, without attestation (the handler makes it)."""
    arguments = {"amount": 250, "to": "acct-7781"} if arguments is None else arguments
    return ApprovalRequest(
        tool=tool,
        warrant_id=warrant.id,
        arguments=arguments,
        request_id=f"req-{warrant.id}",
        holder_key=warrant.holder_key.to_bytes(),
        request_hash=approval_request_hash(warrant.id, tool, arguments, warrant.holder_key),
        required_approvers=[key.to_bytes() for key in warrant.required_approvers],
        min_approvals=warrant.min_approvals,
        ttl_seconds=warrant.ttl_seconds,
    )


FACTORIES = {"sync": cloud_approval, "asyncio.run": async_cloud_approval, "no loop": async_cloud_approval}
KINDS = list(FACTORIES)


def handler_for(cloud: LocalCloud, holder: SigningKey | None, *, kind: str = "sync", **options) -> Callable:
    options.setdefault("poll_interval", POLL)
    options.setdefault("timeout", 20.0)
    return FACTORIES[kind](cloud.api_key, base_url=cloud.base_url, signing_key=holder, **options)


def without_a_loop(coroutine):
    """Drives the handler's coroutine by hand in a thread that runs no event loop."""
    outcome: dict = {}

    def drive() -> None:
        try:
            coroutine.send(None)
        except StopIteration as stop:
            outcome["result"] = stop.value
        except BaseException as exc:
            outcome["error"] = exc

    thread = threading.Thread(target=drive)
    thread.start()
    thread.join(60)
    assert not thread.is_alive()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["result"]


def run(kind: str, handler: Callable, request: ApprovalRequest):
    """Calls a handler as `kind` says: plainly, awaited in asyncio.run, or driven without a loop."""
    if kind == "sync":
        return handler(request)
    if kind == "asyncio.run":
        return asyncio.run(handler(request))
    return without_a_loop(handler(request))


def approve_as(*names: str) -> Callable[[LocalCloud, ZeltoCloudClient, dict], None]:
    def act(cloud: LocalCloud, client: ZeltoCloudClient, request: dict) -> None:
        for name in names:
            client.approve_request(request["id"], approver=cloud.approver_credential(name))

    return act


def deny_as(name: str, reason: str | None = None) -> Callable[[LocalCloud, ZeltoCloudClient, dict], None]:
    def act(cloud: LocalCloud, client: ZeltoCloudClient, request: dict) -> None:
        client.deny_request(request["id"], approver=cloud.approver_credential(name), reason=reason)

    return act


class Reviewer:
    """Resolves the pending requests of some warrants from a background thread.

    It polls the cloud's list of pending requests until one for each warrant
    has appeared, and applies ``act`` to it.  Leaving the block joins the
    thread and re-raises whatever went wrong in it.
    """

    def __init__(self, cloud: LocalCloud, warrant_ids: str | list[str], act, *, pause: float = 0.0) -> None:
        self.cloud = cloud
        self.waiting = {warrant_ids} if isinstance(warrant_ids, str) else set(warrant_ids)
        self.act = act
        self.pause = pause
        self.seen: dict[str, dict] = {}
        self.error: BaseException | None = None
        self._thread = threading.Thread(target=self._run, daemon=True)

    def __enter__(self) -> Reviewer:
        self._thread.start()
        return self

    def __exit__(self, exc_type, *_: object) -> None:
        self._thread.join(FIND_SECONDS + 10)
        assert not self._thread.is_alive(), "the reviewer thread did not finish"
        if self.error is not None and exc_type is None:
            raise self.error

    def _run(self) -> None:
        try:
            with ZeltoCloudClient(self.cloud.api_key, base_url=self.cloud.base_url) as client:
                deadline = time.monotonic() + FIND_SECONDS
                while self.waiting:
                    if time.monotonic() > deadline:
                        raise AssertionError(f"no pending request appeared for {sorted(self.waiting)}")
                    for request in client.list_requests(status="pending", limit=500):
                        if request["warrant_id"] in self.waiting:
                            self.waiting.discard(request["warrant_id"])
                            self.seen[request["warrant_id"]] = request
                            time.sleep(self.pause)
                            self.act(self.cloud, client, request)
                    time.sleep(0.02)
        except BaseException as exc:
            self.error = exc


def stored_request(cloud: LocalCloud, request_id: str) -> dict:
    with ZeltoCloudClient(cloud.api_key, base_url=cloud.base_url) as client:
        return client.get_request(request_id)


def assert_covers(approval, request: ApprovalRequest, approver: PublicKey) -> None:
    assert isinstance(approval, SignedApproval)
    assert approval.verify()
    assert approval.request_hash == request.request_hash
    assert approval.approver_key == approver


class TestApproved:
    @pytest.mark.parametrize("kind", KINDS)
    def test_one_approver_gives_one_verified_signed_approval(self, any_cloud, kind):
        warrant, holder = new_warrant(any_cloud)
        request = gate_request(warrant)
        with Reviewer(any_cloud, warrant.id, approve_as("alice"), pause=0.1) as reviewer:
            result = run(kind, handler_for(any_cloud, holder, kind=kind), request)
        assert_covers(result, request, approver_key(any_cloud, "alice"))
        # The request really travelled in this server's encoding.
        stored = stored_request(any_cloud, reviewer.seen[warrant.id]["id"])
        wire = result.to_bytes()
        expected = wire.hex() if any_cloud.encoding == "hex" else base64.b64encode(wire).decode()
        assert stored["responses"][0]["signed_approval"] == expected

    @pytest.mark.parametrize("kind", ["sync", "asyncio.run"])
    def test_threshold_two_gives_a_list_of_two_signed_approvals(self, any_cloud, kind):
        warrant, holder = new_warrant(any_cloud, approvers=("alice", "bob"), min_approvals=2)
        request = gate_request(warrant)
        # Alice alone leaves the request pending; the handler keeps polling until bob approves.
        with Reviewer(any_cloud, warrant.id, approve_as("alice", "bob"), pause=0.1):
            result = run(kind, handler_for(any_cloud, holder, kind=kind), request)
        assert isinstance(result, list) and len(result) == 2
        by_key = {approval.approver_key: approval for approval in result}
        assert set(by_key) == {approver_key(any_cloud, "alice"), approver_key(any_cloud, "bob")}
        for key, approval in by_key.items():
            assert_covers(approval, request, key)

    def test_the_cloud_request_carries_the_call_and_the_warrants_rules(self, cloud):
        warrant, holder = new_warrant(cloud, approvers=("alice", "bob"), min_approvals=2, ttl_seconds=600)
        request = gate_request(warrant, arguments={"amount": 12.5, "to": "acct-1", "memo": {"tags": ["a", "b"]}})
        with Reviewer(cloud, warrant.id, approve_as("bob", "alice")) as reviewer:
            handler_for(cloud, holder)(request)
        seen = reviewer.seen[warrant.id]
        assert seen["tool"] == "transfer_funds"
        assert seen["request_hash"] == request.request_hash.hex()
        assert seen["holder_key"] == holder.public_key.hex()
        assert seen["threshold"] == 2 and seen["ttl_seconds"] == 600
        assert sorted(seen["approver_keys"]) == sorted(cloud.approvers[n] for n in ("alice", "bob"))
        assert seen["metadata"] == request.arguments

    def test_concurrent_calls_of_one_handler_each_get_their_own_approval(self, cloud):
        handler = handler_for(cloud, None)
        calls = [new_warrant(cloud) for _ in range(4)]
        requests = [gate_request(warrant) for warrant, _ in calls]
        results: dict[str, object] = {}

        def call(request: ApprovalRequest, holder: SigningKey) -> None:
            # Each thread binds its own holder key; the handler finds it through the key scope.
            with bind_key_scope(holder):
                try:
                    results[request.warrant_id] = handler(request)
                except BaseException as exc:
                    results[request.warrant_id] = exc

        threads = [threading.Thread(target=call, args=(r, h)) for r, (_, h) in zip(requests, calls)]
        with Reviewer(cloud, [r.warrant_id for r in requests], approve_as("alice")):
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join(30)
        for request in requests:
            assert_covers(results[request.warrant_id], request, approver_key(cloud, "alice"))


class TestThroughTheGuard:
    def test_approved_call_runs_the_tool(self, any_cloud):
        warrant, holder = new_warrant(any_cloud)
        ran = []

        @guard(warrant=warrant, approval_handler=handler_for(any_cloud, holder))
        def transfer_funds(amount: int, to: str) -> str:
            ran.append((amount, to))
            return f"sent {amount} to {to}"

        with Reviewer(any_cloud, warrant.id, approve_as("alice")):
            assert transfer_funds(250, to="acct-7781") == "sent 250 to acct-7781"
        assert ran == [(250, "acct-7781")]

    def test_two_required_approvers_run_the_tool_after_both_approve(self, any_cloud):
        warrant, holder = new_warrant(any_cloud, approvers=("alice", "bob"), min_approvals=2)

        @guard(warrant=warrant, approval_handler=handler_for(any_cloud, holder))
        def transfer_funds(amount: float, to: str, memo: dict) -> str:
            return f"sent {amount} to {to}"

        with Reviewer(any_cloud, warrant.id, approve_as("bob", "alice")):
            assert transfer_funds(12.5, "acct-1", memo={"tags": ["x"], "n": None}) == "sent 12.5 to acct-1"

    @pytest.mark.parametrize("bound_by", ["guard", "caller"])
    def test_a_handler_without_a_key_uses_the_bound_holder_key(self, cloud, bound_by):
        warrant, holder = new_warrant(cloud)
        guard_key = holder if bound_by == "guard" else None

        @guard(warrant=warrant, approval_handler=handler_for(cloud, None), signing_key=guard_key)
        def transfer_funds(amount: int) -> int:
            return amount

        with Reviewer(cloud, warrant.id, approve_as("alice")), bind_key_scope(None if guard_key else holder):
            assert transfer_funds(7) == 7

    def test_denied_call_does_not_run_the_tool(self, cloud):
        warrant, holder = new_warrant(cloud)
        ran = []

        @guard(warrant=warrant, approval_handler=handler_for(cloud, holder))
        def transfer_funds(amount: int, to: str) -> None:
            ran.append(amount)

        with Reviewer(cloud, warrant.id, deny_as("alice", "over the daily limit")):
            with pytest.raises(ApprovalDenied) as refused:
                transfer_funds(1_000_000, to="acct-0001")
        assert refused.value.reason == "over the daily limit"
        assert ran == []

    def test_a_warrant_without_named_approvers_accepts_a_trusted_root(self, cloud):
        warrant, holder = new_warrant(cloud, approvers=(), require_approval=True)
        ran = []

        @guard(warrant=warrant, approval_handler=handler_for(cloud, holder),
               trusted_roots=[approver_key(cloud, name) for name in ("alice", "carol")])
        def transfer_funds(amount: int) -> None:
            ran.append(amount)

        with Reviewer(cloud, warrant.id, approve_as("carol")):
            transfer_funds(5)
        assert ran == [5]


class TestRefused:
    @pytest.mark.parametrize(
        ("reason", "expected"),
        [("over the daily limit", "over the daily limit"), (None, "denied in Zelto Cloud")],
        ids=["with-reason", "without-reason"],
    )
    @pytest.mark.parametrize("kind", KINDS)
    def test_denied(self, cloud, kind, reason, expected):
        warrant, holder = new_warrant(cloud)
        request = gate_request(warrant)
        with Reviewer(cloud, warrant.id, deny_as("alice", reason), pause=0.1):
            with pytest.raises(ApprovalDenied) as refused:
                run(kind, handler_for(cloud, holder, kind=kind), request)
        assert refused.value.reason == expected
        assert refused.value.request is request

    def test_denial_after_a_partial_approval(self, cloud):
        warrant, holder = new_warrant(cloud, approvers=("alice", "bob"), min_approvals=2)

        def alice_approves_bob_denies(cloud, client, request):
            client.approve_request(request["id"], approver=cloud.approver_credential("alice"))
            time.sleep(0.1)
            client.deny_request(request["id"], approver=cloud.approver_credential("bob"), reason="bob says no")

        with Reviewer(cloud, warrant.id, alice_approves_bob_denies):
            with pytest.raises(ApprovalDenied) as refused:
                handler_for(cloud, holder)(gate_request(warrant))
        assert refused.value.reason == "bob says no"

    @pytest.mark.parametrize("kind", KINDS)
    @pytest.mark.parametrize("ttl_seconds", [0, 1])
    def test_expired(self, cloud, kind, ttl_seconds):
        warrant, holder = new_warrant(cloud, ttl_seconds=ttl_seconds)
        with pytest.raises(ApprovalDenied) as refused:
            run(kind, handler_for(cloud, holder, kind=kind, timeout=10.0), gate_request(warrant))
        assert refused.value.reason == "approval request expired"

    @pytest.mark.parametrize("kind", KINDS)
    def test_timed_out(self, cloud, kind):
        warrant, holder = new_warrant(cloud)
        request = gate_request(warrant)
        with pytest.raises(ApprovalDenied) as refused:
            run(kind, handler_for(cloud, holder, kind=kind, poll_interval=0.2, timeout=0.5), request)
        error = refused.value
        assert error.reason == "timed out after 0.5s waiting for cloud approval"
        assert error.__cause__ is None and not error.__suppress_context__
        assert isinstance(error.__context__, ApprovalTimeoutError)
        # Nobody resolved it: the cloud still has it pending.
        with ZeltoCloudClient(cloud.api_key, base_url=cloud.base_url) as client:
            pending = [r for r in client.list_requests(status="pending", limit=500) if r["warrant_id"] == warrant.id]
            mine = [r for r in client.list_requests(limit=500) if r["warrant_id"] == warrant.id]
        assert len(pending) == 1
        assert [r["status"] for r in mine] == ["pending"]  # created once, still waiting


class TestCloudErrors:
    """Errors of the cloud itself are not refusals: the client's error comes through unchanged."""

    def test_wrong_api_key(self, cloud):
        warrant, holder = new_warrant(cloud)
        handler = cloud_approval("zelto_lk_not_a_known_key", base_url=cloud.base_url, signing_key=holder)
        with pytest.raises(ZeltoCloudError) as failed:
            handler(gate_request(warrant))
        assert type(failed.value) is ZeltoCloudError
        assert (failed.value.status_code, failed.value.code) == (401, "unauthorized")

    def test_body_the_cloud_rejects(self, cloud):
        warrant, holder = new_warrant(cloud)
        request = gate_request(warrant)
        request.required_approvers = [b"\x01" * 16]  # not an Ed25519 public key
        with pytest.raises(ZeltoCloudError) as failed:
            handler_for(cloud, holder)(request)
        assert type(failed.value) is ZeltoCloudError
        assert (failed.value.status_code, failed.value.code) == (400, "validation_error")

    def test_no_attestation_and_no_key_sends_nothing(self, cloud):
        warrant, _ = new_warrant(cloud)
        with pytest.raises(ZeltoCloudError, match="approval attestation required"):
            handler_for(cloud, None)(gate_request(warrant))
        with ZeltoCloudClient(cloud.api_key, base_url=cloud.base_url) as client:
            assert warrant.id not in {r["warrant_id"] for r in client.list_requests(limit=500)}

    @pytest.mark.parametrize("kind", KINDS)
    def test_nothing_listening(self, kind):
        with socket.socket() as sock:
            sock.bind(("127.0.0.1", 0))
            port = sock.getsockname()[1]
        holder = SigningKey.generate()
        warrant = Warrant(id="w-e2e-nowhere", holder_key=holder.public_key, require_approval=True)
        handler = FACTORIES[kind]("zelto_lk_any", base_url=f"http://127.0.0.1:{port}", signing_key=holder)
        with pytest.raises(ZeltoCloudError) as failed:
            run(kind, handler, gate_request(warrant))
        assert type(failed.value) is ZeltoCloudError
        assert failed.value.status_code is None

    @pytest.mark.parametrize("kind", ["sync", "asyncio.run"])
    def test_server_gone_while_polling(self, tmp_path, kind):
        with LocalCloud(tmp_path / "cloud") as doomed:
            warrant, holder = new_warrant(doomed)
            with Reviewer(doomed, warrant.id, lambda cloud, client, request: cloud.kill()):
                with pytest.raises(ZeltoCloudError) as failed:
                    run(kind, handler_for(doomed, holder, kind=kind), gate_request(warrant))
        assert type(failed.value) is ZeltoCloudError
        assert failed.value.status_code is None
