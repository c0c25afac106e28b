"""The approval gate: the request handed to an approval handler, and its checks."""

from __future__ import annotations

from collections.abc import Collection
from dataclasses import dataclass, field
from typing import Any

from zelto_core import PublicKey, SignedApproval

__all__ = ["ApprovalDenied", "ApprovalRequest", "verified_approvals"]


@dataclass
class ApprovalRequest:
    """What an approval handler is asked to approve: one call of a guarded tool."""

    tool: str
    warrant_id: str
    arguments: dict[str, Any]
    request_id: str
    holder_key: bytes
    request_hash: bytes
    args_canonical_cbor_b64: str = ""
    approval_context_attestation: dict[str, Any] = field(default_factory=dict)
    required_approvers: list[bytes] = field(default_factory=list)
    min_approvals: int | None = None
    ttl_seconds: int | None = None
    gate_ttl: int | None = None
    policy_id: str | None = None
    policy_ref: str | None = None
    idempotency_key: str | None = None


class ApprovalDenied(Exception):
    """The call was not approved; ``reason`` says why."""

    def __init__(self, request: Any, reason: str | None = None) -> None:
        self.request = request
        self.reason = reason or "approval denied"
        tool = getattr(request, "tool", None)
        super().__init__(f"approval denied for {tool}: {self.reason}" if tool else self.reason)

    def __reduce__(self):
        return type(self), (self.request, self.reason)


def _as_approval_list(request: ApprovalRequest, result: Any) -> list[SignedApproval]:
    approvals = list(result) if isinstance(result, (list, tuple)) else [result]
    for approval in approvals:
        if not isinstance(approval, SignedApproval):
            raise ApprovalDenied(request, reason=f"the approval handler returned a {type(approval).__name__}, not a SignedApproval")
    return approvals


def verified_approvals(
    request: ApprovalRequest,
    result: Any,
    allowed: Collection[PublicKey] | None = None,
    *,
    outsider: str = "is not a required approver",
) -> list[SignedApproval]:
    """The handler's answer, checked: valid signatures over this request's hash,
    from allowed approvers, at least ``min_approvals`` of them distinct.

    ``allowed`` defaults to the request's required approvers; when it is empty
    any approver is accepted. An approver outside it is refused with
    ``outsider`` as the reason. Raises ApprovalDenied naming the first check
    that fails.
    """
    approvals = _as_approval_list(request, result)
    if allowed is None:
        allowed = {PublicKey.from_bytes(key) for key in request.required_approvers}
    approvers = set()
    for approval in approvals:
        who = approval.approver_key.hex()
        if not approval.verify():
            raise ApprovalDenied(request, reason=f"invalid signature from approver {who}")
        if approval.request_hash != request.request_hash:
            raise ApprovalDenied(request, reason=f"approval from {who} covers another request")
        if allowed and approval.approver_key not in allowed:
            raise ApprovalDenied(request, reason=f"{who} {outsider}")
        approvers.add(approval.approver_key)
    needed = request.min_approvals or 1
    if len(approvers) < needed:
        raise ApprovalDenied(request, reason=f"{len(approvers)} distinct approvals, {needed} required")
    return approvals
