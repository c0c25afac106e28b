"""The payload builder as a whole: the fields together, the module globals it calls through, and
its memory."""

import copy
import gc
import sys

import pytest
from conftest import traced_growth
from zelto import guard
from zelto.decorators import bind_key_scope
from zelto.warrant import Warrant
from zelto_core import SignedApproval

from zelto_cloud import morvel
from zelto_cloud.exceptions import ZeltoCloudError
from zelto_cloud.morvel import ApprovalRequestPayload, build_approval_request_payload

from morvel_requests import (Exploding, HOLDER, OTHER, HOLDER_PUB, WARRANT_ID, TOOL, ARGS, ARGS_HASH, CORE_ARGS_B64,
                             CORE_ATTESTATION, HOLDER_KEY_REQUIRED, ATTESTATION_REQUIRED, HASH_UNRESOLVED,
                             HASH_WRONG_TYPE, FIELDS, CARRIED_ATTESTATION, complete, bare, gate_request, Recorder,
                             Unprintable, scope_calls, core_calls, core_returning)
from twin_pairs import implementations, native_only
from twins import morvel as twin_morvel

impl = implementations(morvel, twin_morvel, "morvel", "ApprovalRequestPayload", "build_approval_request_payload")
pytestmark = pytest.mark.usefixtures("impl")


class TestBuilder:
    def test_complete_request_needs_no_core(self, scope_calls, core_calls):
        request = complete(required_approvers=[b"\x01"], min_approvals=1, ttl_seconds=60, policy_id="pol",
                           idempotency_key="idem")
        built = build_approval_request_payload(request)
        assert type(built) is ApprovalRequestPayload
        assert core_calls == [] and len(scope_calls) == 1
        assert built == ApprovalRequestPayload(
            warrant_id=WARRANT_ID, tool=TOOL, request_hash=ARGS_HASH, holder_key=HOLDER_PUB,
            args_canonical_cbor_b64=CORE_ARGS_B64, approval_context_attestation=CARRIED_ATTESTATION,
            metadata=ARGS, policy_id="pol", threshold=1, approver_keys=["01"], ttl_seconds=60,
            idempotency_key="idem")
        assert list(built.to_create_request_kwargs()) == FIELDS

    def test_stand_in_request_attested_by_the_core(self, core_calls):
        request = gate_request()
        built = build_approval_request_payload(request, signing_key=HOLDER)
        assert len(core_calls) == 1
        assert built.args_canonical_cbor_b64 == CORE_ARGS_B64
        assert built.approval_context_attestation == CORE_ATTESTATION
        assert built.request_hash == ARGS_HASH and built.holder_key == HOLDER_PUB
        assert built.metadata is request.arguments
        assert built.to_create_request_kwargs() == {
            "warrant_id": WARRANT_ID, "tool": TOOL, "request_hash": ARGS_HASH, "holder_key": HOLDER_PUB,
            "args_canonical_cbor_b64": CORE_ARGS_B64, "approval_context_attestation": CORE_ATTESTATION,
            "metadata": ARGS}

    def test_key_scope_supplies_the_attesting_key(self, core_calls):
        with bind_key_scope(HOLDER):
            built = build_approval_request_payload(gate_request())
        assert core_calls[0][0][0] is HOLDER
        assert built.approval_context_attestation["signer_key"] == HOLDER_PUB.hex()

    def test_explicit_key_wins_over_the_scope(self, core_calls):
        with bind_key_scope(OTHER):
            built = build_approval_request_payload(gate_request(), signing_key=HOLDER)
        assert core_calls[0][0][0] is HOLDER
        assert built.approval_context_attestation["signer_key"] == HOLDER_PUB.hex()

    @pytest.mark.parametrize("attrs", [
        {"args_canonical_cbor_b64": "cmVxdWVzdA==", "approval_context_attestation": {}},
        {"args_canonical_cbor_b64": "cmVxdWVzdA==", "approval_context_attestation": None},
        {"args_canonical_cbor_b64": "", "approval_context_attestation": {"request_hash": "ff"}},
        {"args_canonical_cbor_b64": None, "approval_context_attestation": {"v": 1}},
        {"approval_context_attestation": {"v": 1}},
        {"args_canonical_cbor_b64": "cmVxdWVzdA=="},
    ])
    def test_anything_missing_replaces_both_from_the_core(self, attrs, core_calls):
        request = bare(request_hash=b"\x01", **attrs)
        built = build_approval_request_payload(request, signing_key=HOLDER)
        assert len(core_calls) == 1
        assert built.args_canonical_cbor_b64 == CORE_ARGS_B64
        assert built.approval_context_attestation == CORE_ATTESTATION
        assert built.request_hash == ARGS_HASH  # the core's hash replaces the request's

    @pytest.mark.parametrize("attrs", [
        {"args_canonical_cbor_b64": "cmVxdWVzdA==", "approval_context_attestation": {}},
        {"approval_context_attestation": {"v": 1}},
        {},
    ])
    @pytest.mark.parametrize("scope", ["empty", "unavailable", "broken"])
    def test_attestation_required_without_a_key(self, attrs, scope, monkeypatch):
        if scope == "unavailable":
            monkeypatch.setitem(sys.modules, "zelto.decorators", None)
        elif scope == "broken":
            monkeypatch.setitem(sys.modules, "zelto.decorators", Exploding())
        with pytest.raises(ZeltoCloudError) as excinfo:
            build_approval_request_payload(bare(request_hash=b"\x01", **attrs))
        assert type(excinfo.value) is ZeltoCloudError and excinfo.value.args == (ATTESTATION_REQUIRED,)

    def test_a_falsy_explicit_key_is_still_a_key(self, monkeypatch):
        seen = []
        monkeypatch.setattr(morvel, "_build_attestation_fields",
                            lambda request, **kw: seen.append(kw) or ("b64", {"v": 1}, b"\x01"))
        build_approval_request_payload(bare(), signing_key=0)
        assert seen == [{"signing_key": 0, "holder_key": HOLDER_PUB}]

    def test_attestation_step_with_a_none_hash_attribute(self):
        with pytest.raises(ZeltoCloudError) as excinfo:
            build_approval_request_payload(bare(request_hash=None), signing_key=HOLDER)
        assert excinfo.value.args == (HASH_WRONG_TYPE,)

    def test_attestation_step_with_no_hash_attribute(self):
        built = build_approval_request_payload(bare(), signing_key=HOLDER)
        assert built.request_hash == ARGS_HASH

    def test_attestation_step_that_yields_no_hash(self, monkeypatch):
        core_returning(monkeypatch, ("b64", {"v": 1}))
        with pytest.raises(ZeltoCloudError) as excinfo:
            build_approval_request_payload(bare(), signing_key=HOLDER)
        assert excinfo.value.args == (HASH_UNRESOLVED,)

    def test_bad_core_hash_is_ignored_when_the_request_has_one(self, monkeypatch):
        core_returning(monkeypatch, ("b64", {"request_hash": "zz"}))
        built = build_approval_request_payload(bare(request_hash=b"\x01"), signing_key=HOLDER)
        assert built.request_hash == b"\x01"
        assert built.approval_context_attestation == {"request_hash": "zz"}

    def test_bad_core_hash_fails_later_when_the_request_has_none(self, monkeypatch):
        core_returning(monkeypatch, ("b64", {"request_hash": "zz"}))
        with pytest.raises(ValueError) as excinfo:
            build_approval_request_payload(bare(), signing_key=HOLDER)
        assert not isinstance(excinfo.value, ZeltoCloudError)

    @pytest.mark.parametrize(("attrs", "expected"), [
        ({"arguments": {"a": 1}}, {"a": 1}),
        ({"arguments": []}, None),
        ({"arguments": None}, None),
        ({}, None),
    ])
    def test_metadata(self, attrs, expected):
        request = complete(**attrs)
        if not attrs:
            del request.arguments
        built = build_approval_request_payload(request)
        assert built.metadata == expected
        assert ("metadata" in built.to_create_request_kwargs()) is (expected is not None)
        if expected is not None:
            assert built.metadata is request.arguments

    def test_metadata_accepts_dict_subclasses(self):
        class Args(dict):
            pass

        arguments = Args(a=1)
        assert build_approval_request_payload(complete(arguments=arguments)).metadata is arguments

    def test_empty_metadata_dict_is_sent(self):
        assert build_approval_request_payload(complete(arguments={})).to_create_request_kwargs()["metadata"] == {}

    @pytest.mark.parametrize(("attrs", "warrant_id", "tool"), [
        ({"warrant_id": 12, "tool": b"x"}, "12", "b'x'"),
        ({"warrant_id": None, "tool": None}, "None", "None"),
        ({}, "", ""),
    ])
    def test_warrant_id_and_tool_are_text(self, attrs, warrant_id, tool):
        request = complete(**attrs)
        if not attrs:
            del request.warrant_id, request.tool
        built = build_approval_request_payload(request)
        assert (built.warrant_id, built.tool) == (warrant_id, tool)
        assert type(built.warrant_id) is str and type(built.tool) is str

    @pytest.mark.parametrize(("argument", "on_request", "expected"), [
        ("arg", "req", "arg"),
        ("", "req", "req"),
        (None, "req", "req"),
        (None, "", ""),
        ("", None, None),
        (None, 0, 0),
    ])
    def test_idempotency_key(self, argument, on_request, expected):
        built = build_approval_request_payload(complete(idempotency_key=on_request), idempotency_key=argument)
        assert built.idempotency_key == expected
        assert ("idempotency_key" in built.to_create_request_kwargs()) is bool(expected)

    def test_idempotency_key_missing_on_the_request(self):
        assert build_approval_request_payload(complete()).idempotency_key is None

    def test_attestation_is_a_fresh_dict(self):
        attestation = {"request_hash": "ab" * 32}
        request = complete(approval_context_attestation=attestation)
        built = build_approval_request_payload(request)
        assert built.approval_context_attestation == attestation
        assert built.approval_context_attestation is not attestation
        built.approval_context_attestation["x"] = 1
        assert attestation == {"request_hash": "ab" * 32}

    def test_attestation_of_any_mapping_form(self):
        built = build_approval_request_payload(complete(approval_context_attestation=[("request_hash", "0a")],
                                                        request_hash=None))
        assert built.approval_context_attestation == {"request_hash": "0a"} and built.request_hash == b"\x0a"

    def test_read_order(self):
        request = Recorder(holder_key=HOLDER_PUB, args_canonical_cbor_b64=CORE_ARGS_B64,
                           approval_context_attestation=CARRIED_ATTESTATION, request_hash=ARGS_HASH,
                           warrant_id=WARRANT_ID, tool=TOOL, arguments=ARGS, idempotency_key="i")
        build_approval_request_payload(request)
        assert request.reads == [
            "holder_key", "args_canonical_cbor_b64", "approval_context_attestation", "request_hash",
            "request_hash", "required_approvers", "min_approvals", "ttl_seconds", "gate_ttl", "policy_id",
            "policy_ref", "arguments", "warrant_id", "tool", "idempotency_key"]

    def test_read_order_with_the_attestation_step(self):
        request = Recorder(holder_key=HOLDER_PUB, warrant_id=WARRANT_ID, tool=TOOL, arguments=ARGS,
                           ttl_seconds=5)
        build_approval_request_payload(request, signing_key=HOLDER, policy_id="p", idempotency_key="i")
        assert request.reads == [
            "holder_key", "args_canonical_cbor_b64", "approval_context_attestation", "request_hash",
            "warrant_id", "tool", "arguments", "request_hash",
            "required_approvers", "min_approvals", "ttl_seconds", "arguments", "warrant_id", "tool"]

    def test_warrant_id_is_converted_before_tool(self):
        request = complete(warrant_id=Unprintable("warrant"), tool=Unprintable("tool"))
        with pytest.raises(RuntimeError, match="^warrant$"):
            build_approval_request_payload(request)

    @pytest.mark.parametrize(("attrs", "error", "message"), [
        ({"holder_key": None, "args_canonical_cbor_b64": ""}, ZeltoCloudError, HOLDER_KEY_REQUIRED),
        ({"holder_key": "zz", "request_hash": 5}, ValueError, None),
        ({"request_hash": 5, "approval_context_attestation": {}}, ZeltoCloudError, HASH_WRONG_TYPE),
        ({"approval_context_attestation": {}, "request_hash": None}, ZeltoCloudError, ATTESTATION_REQUIRED),
        ({"request_hash": None, "approval_context_attestation": {"v": 1}, "gate_ttl": "x"},
         ZeltoCloudError, HASH_UNRESOLVED),
        ({"gate_ttl": "x", "warrant_id": Unprintable("w")}, ValueError, None),
        ({"required_approvers": 5, "gate_ttl": "x"}, TypeError, None),
    ])
    def test_first_failure_stops_the_build(self, attrs, error, message):
        with pytest.raises(error) as excinfo:
            build_approval_request_payload(complete(**attrs))
        if message is not None:
            assert excinfo.value.args == (message,)

    def test_signing_key_is_resolved_before_the_hash(self, scope_calls):
        with pytest.raises(ZeltoCloudError, match="must be bytes or hex string"):
            build_approval_request_payload(complete(request_hash=5))
        assert len(scope_calls) == 1

    @pytest.mark.parametrize("make", [complete, gate_request, bare])
    def test_request_is_never_modified(self, make):
        request = make()
        before = copy.deepcopy(vars(request))
        built = build_approval_request_payload(request, signing_key=HOLDER)
        built.approval_context_attestation["extra"] = 1
        if built.metadata is not None:
            assert built.metadata is request.arguments
        assert vars(request) == before

    def test_through_the_guard(self, core_calls):
        seen = []

        def handler(request):
            built = build_approval_request_payload(request)
            seen.append(built)
            return SignedApproval.create(OTHER, built.request_hash)

        warrant = Warrant(id=WARRANT_ID, holder_key=HOLDER.public_key, required_approvers=[OTHER.public_key])

        @guard(TOOL, warrant=warrant, approval_handler=handler, signing_key=HOLDER)
        def transfer_funds(amount, to):
            return f"sent {amount} to {to}"

        assert transfer_funds(10, "bob") == "sent 10 to bob"
        built, = seen
        assert core_calls == []  # the gate attested the request; the builder did not
        assert built.approval_context_attestation == CORE_ATTESTATION
        assert built.approver_keys == [OTHER.public_key.hex()] and built.threshold == 1

    def test_through_the_guard_with_an_outer_key_scope(self, core_calls):
        seen = []

        def handler(request):
            seen.append(build_approval_request_payload(request))
            return SignedApproval.create(OTHER, request.request_hash)

        warrant = Warrant(id=WARRANT_ID, holder_key=HOLDER.public_key, required_approvers=[OTHER.public_key])

        @guard(TOOL, warrant=warrant, approval_handler=handler)
        def transfer_funds(amount, to):
            return amount

        with bind_key_scope(HOLDER):
            assert transfer_funds(10, to="bob") == 10
        assert len(core_calls) == 1 and core_calls[0][0][0] is HOLDER
        assert seen[0].approval_context_attestation == CORE_ATTESTATION


class TestModuleGlobals:
    def test_holder_key_function(self, monkeypatch):
        monkeypatch.setattr(morvel, "_resolve_holder_key", lambda request: b"\x09")
        assert build_approval_request_payload(complete(holder_key=None)).holder_key == b"\x09"
        monkeypatch.setattr(morvel, "_resolve_holder_key", lambda request: b"")
        with pytest.raises(ZeltoCloudError, match="holder_key is required"):
            build_approval_request_payload(complete())

    def test_signing_key_function(self, monkeypatch):
        seen = []
        monkeypatch.setattr(morvel, "_resolve_signing_key", lambda explicit: seen.append(explicit) or HOLDER)
        built = build_approval_request_payload(bare(), signing_key="given")
        assert seen == ["given"] and built.approval_context_attestation == CORE_ATTESTATION

    def test_hash_function(self, monkeypatch):
        seen = []
        monkeypatch.setattr(morvel, "_normalize_request_hash", lambda value: seen.append(value) or b"\x09")
        assert build_approval_request_payload(complete(request_hash="anything")).request_hash == b"\x09"
        assert seen == ["anything"]

    def test_attestation_function(self, monkeypatch):
        seen = []

        def attest(*args, **kwargs):
            seen.append((args, kwargs))
            return "b64", {"v": 2}, b"\x09"

        request = bare()
        monkeypatch.setattr(morvel, "_build_attestation_fields", attest)
        built = build_approval_request_payload(request, signing_key=HOLDER)
        assert seen == [((request,), {"signing_key": HOLDER, "holder_key": HOLDER_PUB})]
        assert (built.args_canonical_cbor_b64, built.approval_context_attestation, built.request_hash) == \
            ("b64", {"v": 2}, b"\x09")

    def test_attestation_function_result_must_hold_three(self, monkeypatch):
        monkeypatch.setattr(morvel, "_build_attestation_fields", lambda request, **kw: ("b64", {"v": 1}))
        with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 3, got 2\)"):
            build_approval_request_payload(bare(), signing_key=HOLDER)

    def test_rules_and_policy_functions(self, monkeypatch):
        seen = []
        monkeypatch.setattr(morvel, "_extract_inline_rules", lambda request: (["k"], 3, 9))
        monkeypatch.setattr(morvel, "_extract_policy_id",
                            lambda request, override: seen.append(override) or "replaced")
        built = build_approval_request_payload(complete(), policy_id="given")
        assert (built.approver_keys, built.threshold, built.ttl_seconds, built.policy_id) == (["k"], 3, 9, "replaced")
        assert seen == ["given"]
        monkeypatch.setattr(morvel, "_extract_inline_rules", lambda request: (["k"], 3))
        with pytest.raises(ValueError, match=r"expected 3, got 2"):
            build_approval_request_payload(complete())

    def test_error_class(self, monkeypatch):
        class Replacement(Exception):
            pass

        monkeypatch.setattr(morvel, "ZeltoCloudError", Replacement)
        for request, message in [(complete(holder_key=None), HOLDER_KEY_REQUIRED),
                                 (bare(request_hash=b"\x01"), ATTESTATION_REQUIRED),
                                 (complete(request_hash=None, approval_context_attestation={"v": 1}), HASH_UNRESOLVED)]:
            with pytest.raises(Replacement) as excinfo:
                build_approval_request_payload(request)
            assert excinfo.value.args == (message,)

    def test_payload_class(self, monkeypatch):
        seen = []
        sentinel = object()

        def factory(*args, **kwargs):
            seen.append((args, kwargs))
            return sentinel

        monkeypatch.setattr(morvel, "ApprovalRequestPayload", factory)
        assert build_approval_request_payload(complete(), idempotency_key="i") is sentinel
        (args, kwargs), = seen
        assert args == () and list(kwargs) == FIELDS
        assert kwargs["idempotency_key"] == "i" and kwargs["holder_key"] == HOLDER_PUB


def _refcounts(*objects):
    return [sys.getrefcount(obj) for obj in objects]


class TestMemory:
    def test_builds_leave_memory_flat(self):
        complete_request = complete(required_approvers=[b"\x01\x02", "ab", 7], min_approvals=1, gate_ttl="30",
                                    policy_ref="ref", idempotency_key="idem")
        attested_request = bare(required_approvers=[b"\x01"], ttl_seconds=60)
        failing_request = complete(holder_key=None)
        hash_failing = complete(request_hash=None, approval_context_attestation={"v": 1})

        def run(count):
            for _ in range(count):
                build_approval_request_payload(complete_request).to_create_request_kwargs()
            for _ in range(count // 10):
                build_approval_request_payload(attested_request, signing_key=HOLDER).to_create_request_kwargs()
            for request in (failing_request, hash_failing):
                for _ in range(count // 4):
                    try:
                        build_approval_request_payload(request)
                    except ZeltoCloudError:
                        pass

        watched = (complete_request, attested_request, failing_request, HOLDER,
                   complete_request.holder_key, complete_request.approval_context_attestation,
                   complete_request.arguments, complete_request.required_approvers, attested_request.arguments)
        run(500)
        gc.collect()
        counts = _refcounts(*watched)
        growth = traced_growth(run, 20_000)
        assert growth < 256 * 1024, f"{growth} bytes kept after 20,000 builds"
        gc.collect()
        assert _refcounts(*watched) == counts
