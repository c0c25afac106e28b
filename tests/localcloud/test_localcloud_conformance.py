"""Attacks on the approval road, each of which must be refused for its own reason.

Each case plays one attacker move (an agent holding an API key, a hostile
cloud, a replayed approval) and answers the refusal it met; the table holds
the words that refusal must contain.
"""

from __future__ import annotations

import base64
import time
import uuid

import cbor2
import httpx
import pytest
from cloud_stub_server import StubCloud, request_object
from localcloud_helpers import api_client, create_body, dashboard_session
from zelto.approval import ApprovalDenied, ApprovalRequest, verified_approvals
from zelto.decorators import approval_request, guard
from zelto.warrant import Warrant
from zelto_core import (PublicKey, SignedApproval, SigningKey, approval_request_hash,
                        py_build_approval_context_attestation)
from zelto_localcloud.testing import LocalCloud

from zelto_cloud.approval import cloud_approval
from zelto_cloud.exceptions import ZeltoCloudError

# Every test here runs on SQLite and on PostgreSQL.
pytestmark = pytest.mark.usefixtures("database_backend")


@pytest.fixture(scope="module")
def cloud(tmp_path_factory, database_backend):
    with LocalCloud(tmp_path_factory.mktemp("conformance")) as running:
        yield running


@pytest.fixture(scope="module")
def http(cloud):
    with api_client(cloud) as client:
        yield client


# -- the moves ---------------------------------------------------------------------


def refused_create(http, body: dict) -> str:
    answer = http.post("/v1/approvals/requests", json=body)
    assert answer.status_code == 400, answer.text
    return answer.json()["error"]["message"]


def signed_for(tool: str, arguments: dict, holder: SigningKey | None = None, signer: SigningKey | None = None):
    """A create body for one call, attested by `signer` (default: the holder itself)."""
    holder = holder or SigningKey.generate()
    warrant_id = f"w-{uuid.uuid4().hex[:8]}"
    args_b64, attestation = py_build_approval_context_attestation(
        signer or holder, warrant_id, tool, arguments, (signer or holder).public_key)
    return {"warrant_id": warrant_id, "tool": tool, "request_hash": attestation["request_hash"],
            "holder_key": holder.public_key.hex(), "args_canonical_cbor_b64": args_b64,
            "approval_context_attestation": attestation, "metadata": arguments}


def with_attestation(body: dict, **changes) -> dict:
    return {**body, "approval_context_attestation": {**body["approval_context_attestation"], **changes}}


# The Ed25519 identity point: a key of small order, for which R = identity and S = 0 satisfy the signature
# equation of every message.
SMALL_ORDER_KEY = b"\x01" + bytes(31)
ED25519_ORDER = 2**252 + 27742317777372353535851937790883648493


def signed_by_nobody() -> dict:
    """A create whose holder key has small order and whose "signature" was made without any private key."""
    body = signed_for("delete_database", {"db": "prod"})
    request_hash = approval_request_hash(body["warrant_id"], "delete_database", {"db": "prod"}, SMALL_ORDER_KEY)
    return {**with_attestation(body, holder_key=SMALL_ORDER_KEY.hex(), signer_key=SMALL_ORDER_KEY.hex(),
                               request_hash=request_hash.hex(), signature=(SMALL_ORDER_KEY + bytes(32)).hex()),
            "holder_key": SMALL_ORDER_KEY.hex(), "request_hash": request_hash.hex()}


def with_s_plus_order(body: dict) -> dict:
    """The holder's signature with its S replaced by S + the group order: the same point, not canonical."""
    signature = bytes.fromhex(body["approval_context_attestation"]["signature"])
    s = int.from_bytes(signature[32:], "little") + ED25519_ORDER
    return with_attestation(body, signature=(signature[:32] + s.to_bytes(32, "little")).hex())


def cbor_b64(raw: bytes) -> str:
    return base64.b64encode(raw).decode()


def shown_call(http, tool="transfer_funds", arguments=None) -> dict:
    created = http.post("/v1/approvals/requests", json=create_body(tool=tool, arguments=arguments))
    assert created.status_code == 201, created.text
    return created.json()["call"]


def warnings_of(http, tool="transfer_funds", arguments=None) -> str:
    call = shown_call(http, tool, arguments)
    assert "\\u{" in call["tool"] + call["text"], call  # the character is shown as a visible escape
    return " | ".join(call["warnings"])


def dashboard_page(cloud, request_id: str) -> str:
    session = dashboard_session(cloud, "alice")
    try:
        return session.get(f"/approvals?request={request_id}").text
    finally:
        session.close()


def metadata_not_shown(cloud, http) -> str:
    body = {**create_body(arguments={"command": "rm -rf /"}), "metadata": {"command": "ls /tmp"}}
    created = http.post("/v1/approvals/requests", json=body).json()
    html = dashboard_page(cloud, created["id"])
    assert created["metadata"] == {"command": "ls /tmp"}  # kept as sent, never shown as the call
    assert "ls /tmp" not in html + created["call"]["text"]
    return created["call"]["text"]


def dashboard_banner(cloud, http) -> str:
    created = http.post("/v1/approvals/requests", json=create_body(tool="read_\u202etxt.pdf")).json()
    html = dashboard_page(cloud, created["id"])
    assert '<mark class="hazard">\\u{202E}</mark>' in html and "\u202e" not in html
    return html.split('id="hazards"')[1].split("</div>")[0]


def approve_refusal(cloud, http, arguments, *, as_agent=False, **create_options) -> str:
    request = http.post("/v1/approvals/requests", json=create_body(arguments=arguments, **create_options)).json()
    headers = cloud.auth_headers if as_agent else cloud.approver_headers("alice")
    answer = httpx.post(f"{cloud.base_url}/v1/approvals/requests/{request['id']}/approve", json={},
                        headers=headers, timeout=10)
    assert answer.status_code in (400, 403, 409, 410), answer.text
    if answer.status_code == 400:  # confirming lets the approval through
        confirmed = httpx.post(f"{cloud.base_url}/v1/approvals/requests/{request['id']}/approve",
                               json={"confirm": True}, headers=headers, timeout=10)
        assert confirmed.status_code == 200, confirmed.text
    return answer.json()["error"]["message"]


def approver_again(cloud, name: str) -> dict:
    """Adds approver `name` (a new key each time); answers its Basic header."""
    made = cloud._manage("approver", "add", name)
    pair = f"{name}:{made[f'password {name}']}".encode()
    return {"Authorization": "Basic " + base64.b64encode(pair).decode()}


def readded_approver_refusal(cloud, http) -> str:
    request = http.post("/v1/approvals/requests", json=create_body(threshold=2)).json()
    url = f"{cloud.base_url}/v1/approvals/requests/{request['id']}/approve"
    name = f"dave{uuid.uuid4().hex[:6]}"
    assert httpx.post(url, json={}, headers=approver_again(cloud, name), timeout=10).status_code == 200
    cloud._manage("approver", "remove", name)
    answer = httpx.post(url, json={}, headers=approver_again(cloud, name), timeout=10)
    assert answer.status_code == 409, answer.text
    return answer.json()["error"]["message"]


def expired_after_restart(cloud, http) -> str:
    request = http.post("/v1/approvals/requests", json=create_body(ttl_seconds=1)).json()
    cloud.restart()
    time.sleep(max(0.0, 1.1))
    answer = httpx.post(f"{cloud.base_url}/v1/approvals/requests/{request['id']}/approve", json={},
                        headers=cloud.approver_headers("alice"), timeout=10)
    assert answer.status_code == 410, answer.text
    return answer.json()["error"]["message"]


def wrong_key_handler(cloud) -> str:
    holder, other = SigningKey.generate(), SigningKey.generate()
    warrant = Warrant(id="w-wrong-key", holder_key=holder.public_key, require_approval=True)
    request = approval_request(warrant, "transfer_funds", {"amount": 5})
    with pytest.raises(ZeltoCloudError) as refused:
        cloud_approval(cloud.api_key, base_url=cloud.base_url, signing_key=other, timeout=5)(request)
    return str(refused.value)


# -- the SDK's side --------------------------------------------------------------------

HOLDER, ALICE, BOB = SigningKey.generate(), SigningKey.generate(), SigningKey.generate()


def gate(arguments=None, **warrant_options) -> tuple[Warrant, ApprovalRequest]:
    warrant_options.setdefault("required_approvers", (ALICE.public_key,))
    warrant = Warrant(id="w-sdk", holder_key=HOLDER.public_key, **warrant_options)
    return warrant, approval_request(warrant, "transfer_funds", arguments or {"amount": 5})


def sdk_refusal(request: ApprovalRequest, result, allowed=None) -> str:
    with pytest.raises(ApprovalDenied) as refused:
        verified_approvals(request, result, allowed)
    return refused.value.reason


def unpinned_guard() -> str:
    warrant, request = gate(required_approvers=(), require_approval=True)
    tool = guard("transfer_funds", warrant=warrant,
                 approval_handler=lambda r: SignedApproval.create(ALICE, r.request_hash))(lambda amount: amount)
    with pytest.raises(ApprovalDenied) as refused:
        tool(5)
    return refused.value.reason


def hostile_cloud(responses_for) -> str:
    """A cloud that answers every create as approved, with the responses it makes up."""
    warrant, request = gate(min_approvals=1)
    with StubCloud() as stub:
        stub.reply("POST", "/v1/approvals/requests", 201, request_object("apr_x"))
        stub.reply("GET", "/v1/approvals/requests/apr_x", 200,
                   request_object("apr_x", "approved", responses=responses_for(request)))
        tool = guard("transfer_funds", warrant=warrant, signing_key=HOLDER, approval_handler=cloud_approval(
            "zelto_lk_x", base_url=stub.base_url, poll_interval=0.01, timeout=5))(lambda amount: amount)
        with pytest.raises(ApprovalDenied) as refused:
            tool(5)
    return refused.value.reason


def entries(*approvals: SignedApproval) -> list[dict]:
    return [{"approver": "x", "decision": "approved", "signed_approval": cbor_b64(a.to_bytes())} for a in approvals]


def forged_quorum() -> str:
    warrant = Warrant(id="w-quorum", holder_key=HOLDER.public_key, require_approval=True, min_approvals=3)
    request = approval_request(warrant, "transfer_funds", {"amount": 5})
    forged = [SignedApproval.create(SigningKey.generate(), request.request_hash) for _ in range(5)]
    return sdk_refusal(request, forged)


def tampered(approval: SignedApproval) -> SignedApproval:
    fields = cbor2.loads(approval.to_bytes())
    return SignedApproval(request_hash=approval.request_hash, approver_key=approval.approver_key,
                          approved_at=fields["approved_at"] + 1, signature=fields["signature"])


NOW = int(time.time())
_, REQUEST = gate()
_, OTHER_CALL = gate({"amount": 5_000_000})

CASES = [
    # Creates that do not describe one call signed by its holder: 400, nothing stored.
    ("tool differs from the signed tool",
     lambda c, h: refused_create(h, {**signed_for("delete_database", {"db": "prod"}), "tool": "read_database"}),
     "field 'tool' does not match"),
    ("metadata differs from the signed arguments: only the signed ones are shown", metadata_not_shown,
     '"command": "rm -rf /"'),
    ("empty attestation", lambda c, h: refused_create(h, {**create_body(), "approval_context_attestation": {}}),
     "'approval_context_attestation' is empty"),
    ("attestation made by another key",
     lambda c, h: refused_create(h, signed_for("t", {"a": 1}, signer=SigningKey.generate())),
     "the signing key is not the warrant holder's key"),
    ("attestation naming the holder but signed by another key",
     lambda c, h: refused_create(h, with_attestation(
         signed_for("t", {"a": 1}), signature=SigningKey.generate().sign(b"x").hex())),
     "'approval_context_attestation.signature' is not the holder key's signature"),
    ("holder key of small order, signed without any private key",
     lambda c, h: refused_create(h, signed_by_nobody()),
     "'approval_context_attestation.signature' is not the holder key's signature"),
    ("the holder's signature with S not reduced",
     lambda c, h: refused_create(h, with_s_plus_order(signed_for("t", {"a": 1}))),
     "'approval_context_attestation.signature' is not the holder key's signature"),
    ("canonical arguments of another call",
     lambda c, h: refused_create(h, {**create_body(), "args_canonical_cbor_b64": create_body(
         arguments={"amount": 10_000})["args_canonical_cbor_b64"]}),
     "'args_canonical_cbor_b64' is not the arguments"),
    ("another agent's holder_key",
     lambda c, h: refused_create(h, {**create_body(), "holder_key": SigningKey.generate().public_key.hex()}),
     "the signing key is not the warrant holder's key"),
    ("non-canonical CBOR (keys out of order)",
     lambda c, h: refused_create(h, {**create_body(), "args_canonical_cbor_b64": cbor_b64(
         bytes.fromhex("a2") + cbor2.dumps("zz") + cbor2.dumps(1) + cbor2.dumps("a") + cbor2.dumps(2))}),
     "does not hold canonical CBOR"),
    ("non-canonical CBOR (trailing bytes)",
     lambda c, h: refused_create(h, {**(b := create_body()), "args_canonical_cbor_b64": cbor_b64(
         base64.b64decode(b["args_canonical_cbor_b64"]) + b"\x00")}),
     "does not hold canonical CBOR"),
    ("request_hash of another call",
     lambda c, h: refused_create(h, {**create_body(), "request_hash": "ab" * 32}), "field 'request_hash' is not"),
    ("attestation for another request hash",
     lambda c, h: refused_create(h, with_attestation(create_body(), request_hash="ab" * 32)),
     "'approval_context_attestation.request_hash' does not match"),
    ("warrant id changed after signing",
     lambda c, h: refused_create(h, {**create_body(), "warrant_id": "w-admin"}), "field 'warrant_id' does not match"),
    ("attestation without its signature",
     lambda c, h: refused_create(h, with_attestation(create_body(), signature=None)),
     "'approval_context_attestation.signature' is required"),
    ("a handler given a key that is not the holder's", lambda c, h: wrong_key_handler(c),
     "the signing key is not the warrant holder's key"),
    # What an approver reads: every trick is escaped and named.
    ("right-to-left override in the tool name", lambda c, h: warnings_of(h, tool="read_\u202etxt.pdf"),
     "tool name: bidirectional control U+202E"),
    ("dashboard banner and marked escape for a tool name", dashboard_banner,
     "tool name: bidirectional control U+202E"),
    ("zero-width space in an argument name", lambda c, h: warnings_of(h, arguments={"am\u200bount": 1}),
     "argument name: zero-width character U+200B"),
    ("line separator in an argument value", lambda c, h: warnings_of(h, arguments={"cmd": "ls\u2028rm -rf /"}),
     "argument value: line or paragraph separator U+2028"),
    ("right-to-left isolate in an argument value", lambda c, h: warnings_of(h, arguments={"to": "acct\u2067-1"}),
     "argument value: bidirectional control U+2067"),
    ("Cyrillic confusable in the tool name", lambda c, h: warnings_of(h, tool="tr\u0430nsfer_funds"),
     "tool name: letters of Cyrillic mixed into a Latin word"),
    ("Cyrillic confusable in an argument name", lambda c, h: warnings_of(h, arguments={"\u0430mount": 1}),
     "argument name: letters of Cyrillic mixed into a Latin word"),
    ("Cyrillic confusable in an account number", lambda c, h: warnings_of(h, arguments={"to": "\u0430cct-7781"}),
     "argument value: letters of Cyrillic mixed into a Latin word"),
    ("control character in an argument value", lambda c, h: warnings_of(h, arguments={"cmd": "ls\x1b[2Jrm"}),
     "argument value: control character U+001B"),
    ("a number of 20,000 bits in the arguments",
     lambda c, h: h.post("/v1/approvals/requests", json=create_body(
         arguments={"amount": -(2 ** 20_000)}, metadata=None)).json()["call"]["text"],
     '"amount": "-0x1' + "0" * 5000),
    # Approving what cannot be fully seen needs an explicit confirmation.
    ("secret-named key holding a whole command object",
     lambda c, h: approve_refusal(c, h, {"credentials": {"command": "rm -rf /", "password": "hunter2hunter2"}}),
     "field 'confirm' must be true"),
    ("nothing displayable, one click", lambda c, h: approve_refusal(c, h, {}),
     "nothing of this call's arguments can be shown"),
    ("approver removed and re-added approves twice", readded_approver_refusal, "has already approved"),
    ("self-approval with the agent's API key", lambda c, h: approve_refusal(c, h, {"a": 1}, as_agent=True),
     "an API key cannot approve"),
    ("expired request approved after a restart", expired_after_restart, "has expired"),
    # The SDK accepts nothing it cannot pin, date and match.
    ("no approver key pinned anywhere", lambda c, h: unpinned_guard(), "no approver key is pinned"),
    ("five forged keys for a 3-of-N warrant", lambda c, h: forged_quorum(), "no approver key is pinned"),
    ("stale approved_at", lambda c, h: sdk_refusal(REQUEST, SignedApproval.create(
        ALICE, REQUEST.request_hash, approved_at=NOW - 3600 - 600)), "is stale"),
    ("approved_at in the future", lambda c, h: sdk_refusal(REQUEST, SignedApproval.create(
        ALICE, REQUEST.request_hash, approved_at=int(time.time()) + 600)), "dated in the future"),
    ("replay with changed arguments", lambda c, h: sdk_refusal(OTHER_CALL, SignedApproval.create(
        ALICE, REQUEST.request_hash)), "covers another request"),
    ("self-approval with the holder's key", lambda c, h: sdk_refusal(REQUEST, SignedApproval.create(
        HOLDER, REQUEST.request_hash), allowed={HOLDER.public_key, ALICE.public_key}), "the holder's own key"),
    ("hostile cloud: approval for another request id",
     lambda c, h: hostile_cloud(lambda r: entries(SignedApproval.create(ALICE, b"\x01" * 32))),
     "covers another request"),
    ("hostile cloud: approvals forged with its own keys",
     lambda c, h: hostile_cloud(lambda r: entries(SignedApproval.create(BOB, r.request_hash))),
     "is not a required approver"),
    ("hostile cloud: approval with a changed approved_at",
     lambda c, h: hostile_cloud(lambda r: entries(tampered(SignedApproval.create(ALICE, r.request_hash)))),
     "invalid signature"),
]


@pytest.mark.parametrize(("move", "expected"), [(move, expected) for _, move, expected in CASES],
                         ids=[name for name, _, _ in CASES])
def test_each_attack_is_refused_for_its_own_reason(cloud, http, move, expected):
    assert expected in move(cloud, http)
