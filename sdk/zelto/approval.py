"""The approval gate: the request handed to an approval handler, and its checks."""

from __future__ import annotations

import time
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


# How far the approver's clock may run ahead of or behind this one.
CLOCK_SKEW_SECONDS = 60
DEFAULT_TTL_SECONDS = 3600


def _approval_lifetime(request: ApprovalRequest) -> int:
    for ttl in (getattr(request, "ttl_seconds", None), getattr(request, "gate_ttl", None)):
        if ttl is not None:
            return max(0, int(ttl))
    return DEFAULT_TTL_SECONDS


def verified_approvals(
    request: ApprovalRequest,
    result: Any,
    allowed: Collection[PublicKey] | None = None,
    *,
    outsider: str = "is not a required approver",
    now: float | None = None,
) -> list[SignedApproval]:
    """The handler's answer, checked: valid signatures over this request's hash,
    from allowed approvers, at least ``min_approvals`` of them distinct, each
    made within the request's lifetime.

    ``allowed`` defaults to the request's required approvers. When no approver
    key is pinned at all, nothing is accepted: whoever answers for the cloud
    could otherwise approve with any key. An approver outside ``allowed`` is
    refused with ``outsider`` as the reason, and so is the holder approving
    its own call. An approval older than the request's time-to-live (default
    one hour) or dated in the future, beyond a small clock skew, is refused.
    Raises ApprovalDenied naming the first check that fails.
    """
    approvals = _as_approval_list(request, result)
    if allowed is None:
        allowed = {PublicKey.from_bytes(key) for key in request.required_approvers}
    if not allowed:
        raise ApprovalDenied(
            request, reason="no approver key is pinned: the warrant names no approvers and no trusted roots are configured"
        )
    now = time.time() if now is None else now
    oldest = now - _approval_lifetime(request) - CLOCK_SKEW_SECONDS
    holder = bytes(request.holder_key or b"")
    approvers = set()
    for approval in approvals:
        who = approval.approver_key.hex()
        if not approval.verify():
            raise ApprovalDenied(request, reason=f"invalid signature from approver {who}")
        if approval.request_hash != request.request_hash:
            raise ApprovalDenied(request, reason=f"approval from {who} covers another request")
        if approval.approver_key.to_bytes() == holder:
            raise ApprovalDenied(request, reason=f"approval from {who} is signed by the holder's own key")
        if approval.approver_key not in allowed:
            raise ApprovalDenied(request, reason=f"{who} {outsider}")
        if approval.approved_at < oldest:
            raise ApprovalDenied(request, reason=f"approval from {who} is stale: made before this request's lifetime")
        if approval.approved_at > now + CLOCK_SKEW_SECONDS:
            raise ApprovalDenied(request, reason=f"approval from {who} is dated in the future")
        approvers.add(approval.approver_key)
    needed = request.min_approvals or 1
    if len(approvers) < needed:
        raise ApprovalDenied(request, reason=f"{len(approvers)} distinct approvals, {needed} required")
    return approvals
