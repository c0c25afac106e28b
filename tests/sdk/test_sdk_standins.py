"""The SDK stand-ins: real Ed25519, canonical CBOR, and the guard's approval checks."""

from __future__ import annotations

import asyncio
import base64
import hashlib

import cbor2
import pytest
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey
from zelto import ApprovalDenied, GuardBuilder, Warrant, WarrantError, guard
from zelto.cp_approval import ControlPlaneApprovalResponseV1, signed_approvals_from_response
from zelto.decorators import bind_key_scope, key_scope
from zelto_core import (
    PublicKey,
    SignedApproval,
    SigningKey,
    approval_request_hash,
    canonical_cbor,
    decode_canonical_cbor,
    py_build_approval_context_attestation,
)

SEED = bytes(range(32))
HOLDER = SigningKey.from_bytes(SEED)
ALICE = SigningKey.from_bytes(b"\xa1" * 32)
BOB = SigningKey.from_bytes(b"\xb0" * 32)

# Pinned outputs for fixed inputs: any change to an encoding breaks them.
HOLDER_PUBLIC_HEX = "03a107bff3ce10be1d70dd18e74bc09967e4d6309ba50d5f1ddc8664125531b8"
APPROVAL_HEX = (
    "a5617601697369676e617475726558408bc7ac14e84561bb0a0ec2ea25d550419fb652df3a98016d84f442db3106eb99"
    "a86e2a87ac9ff5b286019a19c15b1e1f853c4d81837d65562dad154bfc7a9b056b617070726f7665645f61741a6553f1"
    "006c617070726f7665725f6b6579582003a107bff3ce10be1d70dd18e74bc09967e4d6309ba50d5f1ddc8664125531b8"
    "6c726571756573745f6861736858200000000000000000000000000000000000000000000000000000000000000000"
)
REQUEST_HASH_HEX = "44fac8036b2d188b325d4cef869c8f1e991582a59954ead7d6dc16d0520da018"


class TestKeys:
    def test_seed_round_trip_and_signatures(self):
        key = SigningKey.from_bytes(SEED)
        assert key.to_bytes() == SEED and key.public_key.hex() == HOLDER_PUBLIC_HEX
        signature = key.sign(b"message")
        assert len(signature) == 64 and key.public_key.verify(signature, b"message")
        assert not key.public_key.verify(signature, b"other message")
        assert not key.public_key.verify(bytes([signature[0] ^ 1]) + signature[1:], b"message")
        assert not key.public_key.verify(signature[:-1], b"message")
        assert not key.public_key.verify(None, b"message")
        assert not SigningKey.generate().public_key.verify(signature, b"message")

    @pytest.mark.parametrize("material", [b"\x00" * 31, b"\x00" * 33, SEED.hex(), None, 5])
    def test_bad_material(self, material):
        with pytest.raises(ValueError):
            SigningKey.from_bytes(material)
        with pytest.raises(ValueError):
            PublicKey.from_bytes(material)

    def test_public_key_identity(self):
        again = PublicKey.from_bytes(bytes.fromhex(HOLDER_PUBLIC_HEX))
        assert again == HOLDER.public_key and hash(again) == hash(HOLDER.public_key)
        assert bytes(again) == again.to_bytes() == bytes.fromhex(HOLDER_PUBLIC_HEX)
        assert again != ALICE.public_key and len({again, HOLDER.public_key}) == 1

    def test_repr_hides_the_seed(self):
        assert SEED.hex() not in repr(HOLDER) and HOLDER_PUBLIC_HEX in repr(HOLDER)


class TestCanonicalCbor:
    def test_map_keys_sort_by_encoded_bytes(self):
        # 1000 encodes as 19 03e8, b"k" as 41 6b, "a" as 61 61.
        assert canonical_cbor({"a": 1, 1000: 2, b"k": [1.5, None, True]}).hex() == "a31903e802416b83f93e00f6f5616101"
        assert canonical_cbor({"b": 1, "a": 2}) == canonical_cbor({"a": 2, "b": 1})

    # Each head size's first and last value, both signs, and text whose UTF-8 is longer than its characters.
    @pytest.mark.parametrize("value", [
        0, 23, 24, 255, 256, 65535, 65536, 2**32 - 1, 2**32, 2**64 - 1, 2**64, -1, -24, -25, -256, -257,
        -2**64, -2**64 - 1, "", "x" * 23, "x" * 24, "\u00e9" * 128, "\U0001f600", b"", b"\x00" * 24, b"y" * 256,
        ["a", -1, b"b", {"k": 2**64}],
    ])
    def test_scalars_take_their_shortest_form(self, value):
        encoded = canonical_cbor(value)
        assert encoded == cbor2.dumps(value, canonical=True)
        assert decode_canonical_cbor(encoded) == value

    def test_unsupported_values(self):
        for value in (object(), {1, 2}, {"when": __import__("datetime").date(2026, 1, 1)}):
            with pytest.raises(TypeError):
                canonical_cbor(value)
        nested: list = []
        nested.append(nested)
        with pytest.raises(ValueError):
            canonical_cbor(nested)

    @pytest.mark.parametrize(
        "data",
        [
            "a2616201616102",  # keys out of order
            "1800",  # 0 in a two-byte form
            "9f01ff",  # indefinite-length array
            "a1616101" "00",  # trailing byte
            "fb3ff8000000000000",  # 1.5 as a double
            "c11a6553f100",  # a tag
            "a2616101616101",  # duplicate key
            "",
            "ff",
        ],
    )
    def test_decoder_accepts_only_canonical_bytes(self, data):
        with pytest.raises(ValueError):
            decode_canonical_cbor(bytes.fromhex(data))


class TestSignedApproval:
    def test_pinned_encoding_matches_the_documented_layout(self):
        approval = SignedApproval.create(HOLDER, bytes(32), approved_at=1700000000)
        assert approval.to_bytes().hex() == APPROVAL_HEX
        # Check the layout and the signed message independently of the stand-in.
        fields = cbor2.loads(approval.to_bytes())
        assert set(fields) == {"v", "request_hash", "approver_key", "approved_at", "signature"} and fields["v"] == 1
        unsigned = {name: value for name, value in fields.items() if name != "signature"}
        message = b"zelto.signed-approval.v1\x00" + cbor2.dumps(unsigned, canonical=True)
        Ed25519PublicKey.from_public_bytes(fields["approver_key"]).verify(fields["signature"], message)

    def test_round_trip(self):
        approval = SignedApproval.create(ALICE, b"\x42" * 32)
        again = SignedApproval.from_bytes(approval.to_bytes())
        assert again == approval and again.verify()
        assert again.approver_key == ALICE.public_key and again.request_hash == b"\x42" * 32

    @pytest.mark.parametrize("field", ["request_hash", "approved_at", "approver_key"])
    def test_tampered_fields_fail_verification(self, field):
        fields = cbor2.loads(SignedApproval.create(ALICE, b"\x42" * 32, approved_at=10).to_bytes())
        fields[field] = {"request_hash": b"\x43" * 32, "approved_at": 11, "approver_key": BOB.public_key.to_bytes()}[field]
        assert not SignedApproval.from_bytes(canonical_cbor(fields)).verify()

    @pytest.mark.parametrize(
        "change",
        [
            {"extra": 1},
            {"v": 2},
            {"v": True},
            {"approved_at": -1},
            {"approved_at": "now"},
            {"signature": b"\x00" * 63},
            {"approver_key": "ab" * 32},
            {"request_hash": b""},
        ],
    )
    def test_bad_layouts(self, change):
        fields = {**cbor2.loads(bytes.fromhex(APPROVAL_HEX)), **change}
        with pytest.raises(ValueError):
            SignedApproval.from_bytes(canonical_cbor(fields))

    def test_bad_input(self):
        for data in (b"", b"\xa0", bytes.fromhex(APPROVAL_HEX) + b"\x00", APPROVAL_HEX, None):
            with pytest.raises(ValueError):
                SignedApproval.from_bytes(data)


class TestAttestation:
    def test_outputs_are_consistent_and_signed(self):
        arguments = {"amount": 10, "to": "bob"}
        args_b64, attestation = py_build_approval_context_attestation(HOLDER, "w-1", "transfer_funds", arguments, HOLDER.public_key)
        args_cbor = base64.b64decode(args_b64, validate=True)
        assert decode_canonical_cbor(args_cbor) == arguments
        assert attestation["request_hash"] == REQUEST_HASH_HEX
        assert approval_request_hash("w-1", "transfer_funds", arguments, HOLDER.public_key.to_bytes()).hex() == REQUEST_HASH_HEX
        assert attestation["args_hash"] == hashlib.sha256(args_cbor).hexdigest()
        assert attestation["holder_key"] == HOLDER_PUBLIC_HEX and attestation["warrant_id"] == "w-1"
        message = b"zelto.approval-context.v1\x00" + bytes.fromhex(REQUEST_HASH_HEX)
        assert HOLDER.public_key.verify(bytes.fromhex(attestation["signature"]), message)

    def test_hash_covers_every_input(self):
        base = ("w-1", "t", {"a": 1}, HOLDER.public_key)
        variants = [("w-2", "t", {"a": 1}, HOLDER.public_key), ("w-1", "u", {"a": 1}, HOLDER.public_key),
                    ("w-1", "t", {"a": 2}, HOLDER.public_key), ("w-1", "t", {"a": 1}, ALICE.public_key)]
        hashes = {approval_request_hash(*base)} | {approval_request_hash(*v) for v in variants}
        assert len(hashes) == 5


def approving(*keys, request_hash=None):
    def handler(request):
        return [SignedApproval.create(key, request_hash or request.request_hash) for key in keys]

    return handler


def warrant(**options):
    return Warrant(id="w-1", holder_key=HOLDER.public_key, **options)


class TestGuard:
    def test_approved_call_runs_with_a_complete_request(self):
        seen = {}

        def handler(request):
            seen["request"], seen["scoped"] = request, key_scope()
            return SignedApproval.create(ALICE, request.request_hash)

        @guard("transfer_funds", warrant=warrant(required_approvers=[ALICE.public_key]), approval_handler=handler, signing_key=HOLDER)
        def transfer(amount, to="bob"):
            return f"sent {amount} to {to}"

        assert transfer(10) == "sent 10 to bob"
        request = seen["request"]
        assert seen["scoped"] is HOLDER and key_scope() is None
        assert request.arguments == {"amount": 10, "to": "bob"}
        assert request.request_hash.hex() == REQUEST_HASH_HEX
        assert request.approval_context_attestation["request_hash"] == REQUEST_HASH_HEX
        assert request.required_approvers == [ALICE.public_key.to_bytes()] and request.min_approvals == 1

    def test_tampered_approval_is_rejected_and_the_tool_does_not_run(self):
        calls = []

        def tampering(request):
            encoded = bytearray(SignedApproval.create(ALICE, request.request_hash).to_bytes())
            encoded[20] ^= 0x01  # inside the signature
            return SignedApproval.from_bytes(bytes(encoded))

        tool = guard("t", warrant=warrant(required_approvers=[ALICE.public_key]), approval_handler=tampering)(calls.append)
        with pytest.raises(ApprovalDenied, match="invalid signature"):
            tool(1)
        assert calls == []

    def test_the_tool_runs_with_the_arguments_that_were_approved(self):
        calls = []

        def approve_then_tamper(request):
            approval = SignedApproval.create(ALICE, request.request_hash)
            request.arguments["order"]["amount"] = 1_000_000
            return approval

        @guard("t", warrant=warrant(required_approvers=[ALICE.public_key]), approval_handler=approve_then_tamper)
        def place(order):
            calls.append(order)

        place({"amount": 5})
        assert calls == [{"amount": 5}]

    @pytest.mark.parametrize(
        ("approvers", "handler", "reason"),
        [
            ([ALICE], approving(ALICE, request_hash=b"\x00" * 32), "another request"),
            ([ALICE], approving(BOB), "not a required approver"),
            ([ALICE, BOB], approving(ALICE, ALICE), "1 distinct approvals, 2 required"),
            ([ALICE], lambda request: "approved", "not a SignedApproval"),
            ([ALICE], lambda request: [], "0 distinct"),
        ],
    )
    def test_insufficient_approvals(self, approvers, handler, reason):
        rules = warrant(required_approvers=[key.public_key for key in approvers], min_approvals=len(approvers))
        tool = guard("t", warrant=rules, approval_handler=handler)(lambda x: x)
        with pytest.raises(ApprovalDenied, match=reason):
            tool(1)

    def test_threshold_met_by_distinct_approvers(self):
        rules = warrant(required_approvers=[ALICE.public_key, BOB.public_key], min_approvals=2)
        assert guard("t", warrant=rules, approval_handler=approving(ALICE, BOB))(lambda x: x * 2)(4) == 8

    def test_handler_denial_propagates(self):
        def refuse(request):
            raise ApprovalDenied(request, reason="not today")

        tool = guard("t", warrant=warrant(require_approval=True), approval_handler=refuse)(lambda: None)
        with pytest.raises(ApprovalDenied) as caught:
            tool()
        assert caught.value.reason == "not today" and caught.value.request.tool == "t"

    def test_warrant_rules(self):
        assert guard("t", warrant=warrant())(lambda: "free")() == "free"
        with pytest.raises(WarrantError):
            guard("other", warrant=warrant(tools=["t"]))(lambda: None)()
        with pytest.raises(ApprovalDenied, match="no approval handler"):
            guard("t", warrant=warrant(require_approval=True))(lambda: None)()
        with pytest.raises(ValueError):
            guard("t", warrant=warrant(), signing_key=ALICE)
        with pytest.raises(ValueError):
            warrant(required_approvers=[ALICE.public_key], min_approvals=2)

    def test_async_tools_and_handlers(self):
        async def handler(request):
            await asyncio.sleep(0)
            assert key_scope() is HOLDER
            return SignedApproval.create(ALICE, request.request_hash)

        rules = warrant(required_approvers=[ALICE.public_key])
        builder = GuardBuilder(rules).tool("t").on_approval(handler).signing_key(HOLDER)

        @builder.build()
        async def async_tool(x):
            return x + 1

        sync_tool = guard("t", warrant=rules, approval_handler=handler, signing_key=HOLDER)(lambda x: x + 2)
        assert asyncio.run(async_tool(1)) == 2
        assert sync_tool(1) == 3  # no loop running: the async handler is driven to completion

    def test_key_scope_nesting(self):
        assert key_scope() is None
        with bind_key_scope(ALICE):
            with bind_key_scope(BOB):
                assert key_scope() is BOB
            assert key_scope() is ALICE
        assert key_scope() is None


class TestControlPlaneDecoding:
    def test_decodes_each_base64_text(self):
        approvals = [SignedApproval.create(key, b"\x01" * 32) for key in (ALICE, BOB)]
        texts = [base64.b64encode(a.to_bytes()).decode() for a in approvals]
        response = ControlPlaneApprovalResponseV1(status="approved", signed_approvals_b64=texts)
        assert signed_approvals_from_response(response) == approvals
        assert signed_approvals_from_response(ControlPlaneApprovalResponseV1(status="approved", signed_approvals_b64=None)) == []

    @pytest.mark.parametrize(
        "texts",
        [["AAE"], ["AA!="], [base64.b64encode(b"\xa0").decode()], [7]],
    )
    def test_bad_texts(self, texts):
        with pytest.raises(ValueError):
            signed_approvals_from_response(ControlPlaneApprovalResponseV1(status="approved", signed_approvals_b64=texts))

    def test_only_approved_responses(self):
        with pytest.raises(ValueError):
            signed_approvals_from_response(ControlPlaneApprovalResponseV1(status="denied", signed_approvals_b64=[]))
