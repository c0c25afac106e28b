"""The JSON shape of requests and responses as clients see them."""

from __future__ import annotations

import base64
import functools
from datetime import datetime, timezone

from .display import shown
from .store import RequestRecord, ResponseRecord

ENCODINGS = ("hex", "base64")


def iso_utc(timestamp: float | None) -> str | None:
    if timestamp is None:
        return None
    return _iso_second(int(timestamp))


@functools.lru_cache(maxsize=4096)
def _iso_second(second: int) -> str:
    # Answers made together name the same few seconds: each is worked out once.
    return datetime.fromtimestamp(second, tz=timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def encode_signed_approval(raw: bytes, encoding: str) -> str:
    if encoding == "hex":
        return raw.hex()
    return base64.b64encode(raw).decode("ascii")


def response_json(response: ResponseRecord, encoding: str) -> dict:
    entry = {
        "approver": response.approver,
        "approver_key": response.approver_key,
        "decision": response.decision,
    }
    if response.signed_approval is not None:
        entry["signed_approval"] = encode_signed_approval(response.signed_approval, encoding)
    if response.decision == "denied":
        entry["reason"] = response.reason
    entry["created_at"] = iso_utc(response.created_at)
    return entry


def request_json(record: RequestRecord, encoding: str, *, call: bool = False) -> dict:
    """The request object; with `call`, also the call as an approver is shown it (creates' answers and
    approvers' reads: agents poll, and what they poll for is the status)."""
    answer = {
        "id": record.id,
        "tenant": record.tenant,
        "status": record.status,
        "denied_reason": record.denied_reason,
        "reason": record.denied_reason,
        "responses": [response_json(r, encoding) for r in record.responses],
        "warrant_id": record.warrant_id,
        "tool": record.tool,
        "request_hash": record.request_hash.hex(),
        "holder_key": record.holder_key.hex(),
        "threshold": record.threshold,
        "approver_keys": record.approver_keys,
        "ttl_seconds": record.ttl_seconds,
        "policy_id": record.policy_id,
        "idempotency_key": record.idempotency_key,
        "metadata": record.metadata,
        "created_at": iso_utc(record.created_at),
        "expires_at": iso_utc(record.expires_at),
        "resolved_at": iso_utc(record.resolved_at),
    }
    if record.outcome is not None:
        answer["outcome"] = record.outcome
    if call:
        answer["call"] = shown(record).as_json()
    return answer
