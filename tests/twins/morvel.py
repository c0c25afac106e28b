"""The approval request payload builder, in Python."""

from __future__ import annotations

import logging
from dataclasses import dataclass
from typing import Any, Dict, List, Optional

from zelto_cloud.exceptions import ZeltoCloudError

logger = logging.getLogger("zelto_cloud.morvel")


@dataclass
class ApprovalRequestPayload:
    """Fully populated body for ``POST /v1/approvals/requests``."""

    warrant_id: str
    tool: str
    request_hash: bytes
    holder_key: bytes
    args_canonical_cbor_b64: str
    approval_context_attestation: Dict[str, Any]
    metadata: Optional[Dict[str, Any]] = None
    policy_id: Optional[str] = None
    threshold: Optional[int] = None
    approver_keys: Optional[List[str]] = None
    ttl_seconds: Optional[int] = None
    idempotency_key: Optional[str] = None

    def to_create_request_kwargs(self) -> Dict[str, Any]:
        kwargs: Dict[str, Any] = {
            "warrant_id": self.warrant_id,
            "tool": self.tool,
            "request_hash": self.request_hash,
            "holder_key": self.holder_key,
            "args_canonical_cbor_b64": self.args_canonical_cbor_b64,
            "approval_context_attestation": self.approval_context_attestation,
        }
        if self.metadata is not None:
            kwargs["metadata"] = self.metadata
        if self.policy_id:
            kwargs["policy_id"] = self.policy_id
        if self.threshold is not None:
            kwargs["threshold"] = self.threshold
        if self.approver_keys is not None:
            kwargs["approver_keys"] = self.approver_keys
        if self.ttl_seconds is not None:
            kwargs["ttl_seconds"] = self.ttl_seconds
        if self.idempotency_key:
            kwargs["idempotency_key"] = self.idempotency_key
        return kwargs


def _resolve_holder_key(request: Any) -> bytes:
    value = getattr(request, "holder_key", None)
    if value is None:
        return b""
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    if isinstance(value, str):
        return bytes.fromhex(value)
    to_bytes = getattr(value, "to_bytes", None)
    if callable(to_bytes):
        return bytes(to_bytes())
    return b""


def _resolve_signing_key(explicit: Any = None) -> Any:
    if explicit is not None:
        return explicit
    try:
        from zelto.decorators import key_scope

        return key_scope()
    except ImportError:
        return None
    except Exception as exc:
        logger.debug("key_scope unavailable: %s", exc)
        return None


def _normalize_request_hash(value: Any) -> bytes:
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    if isinstance(value, str):
        return bytes.fromhex(value)
    raise ZeltoCloudError("request.request_hash must be bytes or hex string")


def _extract_policy_id(request: Any, override: Optional[str] = None) -> Optional[str]:
    if override:
        return override
    for name in ("policy_id", "policy_ref"):
        value = getattr(request, name, None)
        if isinstance(value, str) and value:
            return value
    return None


def _extract_inline_rules(request: Any) -> tuple[Optional[List[str]], Optional[int], Optional[int]]:
    approvers = getattr(request, "required_approvers", None)
    keys = None
    if approvers:
        keys = [a.hex() if isinstance(a, (bytes, bytearray)) else a if type(a) is str else str(a) for a in approvers]
    threshold = getattr(request, "min_approvals", None)
    ttl = getattr(request, "ttl_seconds", None)
    if ttl is None:
        gate_ttl = getattr(request, "gate_ttl", None)
        if gate_ttl is not None:
            ttl = int(gate_ttl)
    return keys, threshold, ttl


def _build_attestation_fields(request: Any, *, signing_key: Any,
                              holder_key: bytes) -> tuple[str, Dict[str, Any], bytes]:
    from zelto_core import py_build_approval_context_attestation

    public_key = signing_key.public_key
    args_b64, raw = py_build_approval_context_attestation(
        signing_key, request.warrant_id, request.tool, request.arguments, public_key)
    attestation = dict(raw)
    request_hash = _normalize_request_hash(getattr(request, "request_hash", b""))
    embedded = attestation.get("request_hash")
    if embedded:
        try:
            request_hash = bytes.fromhex(str(embedded))
        except (ValueError, TypeError):
            pass
    return args_b64, attestation, request_hash


def build_approval_request_payload(request: Any, *, signing_key: Any = None, policy_id: Optional[str] = None,
                                   idempotency_key: Optional[str] = None) -> ApprovalRequestPayload:
    holder_key = _resolve_holder_key(request)
    if not holder_key:
        raise ZeltoCloudError(
            "request.holder_key is required for cloud approval - ensure the warrant is bound before enforcement")
    args_b64 = getattr(request, "args_canonical_cbor_b64", "") or ""
    attestation = dict(getattr(request, "approval_context_attestation", None) or {})
    key = _resolve_signing_key(signing_key)
    request_hash = b""
    if getattr(request, "request_hash", None) is not None:
        request_hash = _normalize_request_hash(request.request_hash)
    if (not args_b64 or not attestation) and key is not None:
        args_b64, attestation, request_hash = _build_attestation_fields(request, signing_key=key,
                                                                        holder_key=holder_key)
    elif not args_b64 or not attestation:
        raise ZeltoCloudError(
            "approval attestation required - pass signing_key= to cloud_approval() or ensure the warrant is "
            "bound so key_scope() resolves the holder key")
    if not request_hash:
        embedded = attestation.get("request_hash")
        if not embedded:
            raise ZeltoCloudError("request_hash could not be resolved for approval request")
        request_hash = bytes.fromhex(str(embedded))
    approver_keys, threshold, ttl_seconds = _extract_inline_rules(request)
    policy = _extract_policy_id(request, policy_id)
    arguments = getattr(request, "arguments", None)
    return ApprovalRequestPayload(
        warrant_id=str(getattr(request, "warrant_id", "")),
        tool=str(getattr(request, "tool", "")),
        request_hash=request_hash,
        holder_key=holder_key,
        args_canonical_cbor_b64=args_b64,
        approval_context_attestation=attestation,
        metadata=arguments if isinstance(arguments, dict) else None,
        policy_id=policy,
        threshold=threshold,
        approver_keys=approver_keys,
        ttl_seconds=ttl_seconds,
        idempotency_key=idempotency_key or getattr(request, "idempotency_key", None),
    )
