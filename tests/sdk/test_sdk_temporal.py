"""The zelto.temporal stand-in: its configuration checks, and the guard it puts
around activities, run in temporalio's ActivityEnvironment. The plugin on a
real worker is covered by test_temporal_e2e.py."""

import asyncio
import dataclasses

import pytest
from temporalio import activity
from temporalio.exceptions import ApplicationError
from temporalio.testing import ActivityEnvironment
from zelto.approval import ApprovalDenied
from zelto.decorators import key_scope
from zelto.temporal import ZeltoPlugin, ZeltoPluginConfig, carries_warrant
from zelto.warrant import Warrant
from zelto_core import SignedApproval, SigningKey

WORKER = SigningKey.generate()
ALICE, BOB, MALLORY = SigningKey.generate(), SigningKey.generate(), SigningKey.generate()


class Receipts:
    def __init__(self):
        self.sent = []

    def emit_receipt(self, receipt):
        self.sent.append(receipt)


def guarded(config_options=None, **warrant_options):
    """The plugin's version of a `transfer` activity; `ran` lists its runs."""
    warrant_options.setdefault("required_approvers", (ALICE.public_key,))
    warrant = Warrant(id="w-temporal", holder_key=WORKER.public_key, **warrant_options)
    ran = []

    @carries_warrant(warrant)
    @activity.defn(name="transfer")
    def transfer(amount: int, to: str = "acct-1") -> str:
        ran.append((amount, to))
        return f"sent {amount}"

    config = ZeltoPluginConfig(signing_key=WORKER, activity_fns=[transfer], **(config_options or {}))
    fn, = ZeltoPlugin(config).activities
    return fn, ran


def approving(*keys, seen=None):
    def handler(request):
        if seen is not None:
            seen.append((request, key_scope()))
        approvals = [SignedApproval.create(key, request.request_hash) for key in keys]
        return approvals[0] if len(approvals) == 1 else approvals
    return handler


def run(fn, *args):
    env = ActivityEnvironment()
    env.info = dataclasses.replace(ActivityEnvironment.default_info(), attempt=3)
    return env.run(fn, *args)


class TestConfig:
    def test_normalises_sequences(self):
        roots = [ALICE.public_key]
        config = ZeltoPluginConfig(trusted_roots=roots, activity_fns=(len,))
        assert config.trusted_roots is roots
        assert config.activity_fns == [len]
        converted = ZeltoPluginConfig(trusted_roots=(BOB.public_key.to_bytes(),)).trusted_roots
        assert converted == [BOB.public_key]

    @pytest.mark.parametrize(("options", "error"), [
        ({"signing_key": b"k" * 32}, TypeError),
        ({"control_plane": object()}, TypeError),
        ({"on_denial": "ignore"}, ValueError),
        ({"trusted_roots": "ab" * 32}, TypeError),
        ({"trusted_roots": [b"short"]}, ValueError),
        ({"activity_fns": [1]}, TypeError),
        ({"activity_fns": "fn"}, TypeError),
        ({"approval_handler": "not callable"}, TypeError),
        ({"dry_run": "yes"}, TypeError),
    ])
    def test_rejects(self, options, error):
        with pytest.raises(error):
            ZeltoPluginConfig(**options)

    def test_fields_are_keyword_only_and_the_plugin_needs_a_config(self):
        with pytest.raises(TypeError):
            ZeltoPluginConfig(WORKER)
        with pytest.raises(TypeError, match="ZeltoPluginConfig"):
            ZeltoPlugin({"signing_key": WORKER})

    def test_the_plugin_registers_unwarranted_activities_as_they_are(self):
        @activity.defn
        def plain() -> None:
            pass

        plugin = ZeltoPlugin(ZeltoPluginConfig(activity_fns=[plain]))
        assert plugin.activities == [plain] and plugin.name() == "zelto.ZeltoPlugin"


class TestGuard:
    def test_approved_call_runs_with_the_worker_key_in_scope(self):
        seen = []
        fn, ran = guarded({"approval_handler": approving(ALICE, seen=seen)})
        assert run(fn, 5) == "sent 5"
        assert ran == [(5, "acct-1")]
        (request, scoped), = seen
        assert scoped is WORKER
        assert request.tool == "transfer" and request.arguments == {"amount": 5, "to": "acct-1"}
        assert request.approval_context_attestation["signer_key"] == WORKER.public_key.hex()

    @pytest.mark.parametrize(("keys", "reason"), [
        ((MALLORY,), "neither a required approver nor a trusted root"),
        ((ALICE, ALICE), "1 distinct approvals, 2 required"),
    ])
    def test_unacceptable_approvals_fail_without_retries(self, keys, reason):
        fn, ran = guarded({"approval_handler": approving(*keys)}, required_approvers=(ALICE.public_key, BOB.public_key),
                          min_approvals=2)
        with pytest.raises(ApplicationError) as info:
            run(fn, 5)
        assert info.value.type == "ZeltoDenied" and info.value.non_retryable
        assert reason in info.value.message
        assert ran == []

    def test_an_approval_of_another_call_is_refused(self):
        def other_call(request):
            return SignedApproval.create(ALICE, b"\x00" * 32)

        fn, ran = guarded({"approval_handler": other_call})
        with pytest.raises(ApplicationError, match="covers another request"):
            run(fn, 5)
        assert ran == []

    def test_the_activity_runs_with_the_arguments_that_were_approved(self):
        warrant = Warrant(id="w-orders", holder_key=WORKER.public_key, required_approvers=(ALICE.public_key,))
        ran = []

        @carries_warrant(warrant)
        @activity.defn
        def place(order: dict) -> None:
            ran.append(order)

        def approve_then_tamper(request):
            approval = SignedApproval.create(ALICE, request.request_hash)
            request.arguments["order"]["amount"] = 1_000_000
            return approval

        fn, = ZeltoPlugin(ZeltoPluginConfig(signing_key=WORKER, activity_fns=[place],
                                            approval_handler=approve_then_tamper)).activities
        run(fn, {"amount": 5})
        assert ran == [{"amount": 5}]

    def test_without_named_approvers_the_trusted_roots_decide(self):
        fn, ran = guarded({"approval_handler": approving(BOB), "trusted_roots": [BOB.public_key]},
                          required_approvers=(), require_approval=True)
        assert run(fn, 1) == "sent 1"
        fn, _ = guarded({"approval_handler": approving(BOB)}, required_approvers=(), require_approval=True)
        with pytest.raises(ApplicationError, match="no trusted roots"):
            run(fn, 1)

    def test_application_errors_of_the_handler_pass_untouched(self):
        pending = ApplicationError("approval pending", type="ApprovalPendingRetry")

        def handler(request):
            raise pending

        fn, ran = guarded({"approval_handler": handler})
        with pytest.raises(ApplicationError) as info:
            run(fn, 5)
        assert info.value is pending and ran == []

    def test_a_denial_of_the_handler_fails_or_skips(self):
        def handler(request):
            raise ApprovalDenied(request, reason="no")

        fn, ran = guarded({"approval_handler": handler})
        with pytest.raises(ApplicationError, match="transfer refused: no"):
            run(fn, 5)
        fn, ran = guarded({"approval_handler": handler, "on_denial": "skip"})
        assert run(fn, 5) is None and ran == []

    def test_no_handler_no_run(self):
        fn, ran = guarded()
        with pytest.raises(ApplicationError, match="no approval handler"):
            run(fn, 5)
        assert ran == []

    def test_a_tool_outside_the_warrant_is_refused_before_asking(self):
        seen = []
        fn, ran = guarded({"approval_handler": approving(ALICE, seen=seen)}, tools=("other",))
        with pytest.raises(ApplicationError, match="does not grant the tool transfer"):
            run(fn, 5)
        assert seen == [] and ran == []

    def test_dry_run_runs_without_asking_and_reports(self):
        receipts, seen = Receipts(), []
        fn, ran = guarded({"approval_handler": approving(ALICE, seen=seen), "dry_run": True,
                           "control_plane": receipts}, tools=("other",))
        assert run(fn, 5) == "sent 5"
        assert seen == [] and ran == [(5, "acct-1")]
        assert [r["decision"] for r in receipts.sent] == ["observed"]

    def test_receipts_record_the_decision(self):
        receipts = Receipts()
        fn, _ = guarded({"approval_handler": approving(ALICE), "control_plane": receipts})
        run(fn, 5)
        receipt, = receipts.sent
        assert receipt["decision"] == "allowed" and receipt["approvers"] == [ALICE.public_key.hex()]
        assert (receipt["attempt"], receipt["workflow_id"], receipt["tool"]) == (3, "test", "transfer")

    def test_a_failing_receipt_does_not_decide_the_call(self):
        class Broken:
            def emit_receipt(self, receipt):
                raise ConnectionError("cloud unreachable")

        fn, ran = guarded({"approval_handler": approving(ALICE), "control_plane": Broken()})
        assert run(fn, 5) == "sent 5" and ran == [(5, "acct-1")]

    def test_async_activities_are_guarded_too(self):
        warrant = Warrant(id="w-async", holder_key=WORKER.public_key, required_approvers=(ALICE.public_key,))

        @carries_warrant(warrant)
        @activity.defn
        async def notify(text: str) -> str:
            return text.upper()

        fn, = ZeltoPlugin(ZeltoPluginConfig(signing_key=WORKER, activity_fns=[notify],
                                            approval_handler=approving(MALLORY))).activities
        with pytest.raises(ApplicationError, match="neither a required approver"):
            asyncio.run(ActivityEnvironment().run(fn, "hi"))
