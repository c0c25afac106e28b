"""What the approval flow tells the audit log and the notification outbox.

The service calls these inside the transaction that stores the change, so a
request, a decision or a receipt is never on disk without its audit row and
its queued messages.
"""

from __future__ import annotations

from . import approver_queue, audit, notify, outcomes
from .store import RequestRecord, Store


def ensure_schema(store: Store) -> None:
    audit.ensure_schema(store)
    notify.ensure_schema(store)
    outcomes.ensure_schema(store)
    approver_queue.ensure_schema(store)


def request_created(store: Store, record: RequestRecord, now: float) -> None:
    audit.record_request(store, "create", record, now, actor=record.tenant, channel="api",
                         display_hash=audit.displayed_digest(record), outcome="pending",
                         detail={"tool": record.tool, "threshold": record.threshold})
    notify.enqueue(store, record, "pending", now)
    approver_queue.index(store, record)


def decided(store: Store, record: RequestRecord, approver: str, decision: str, now: float, channel: str,
            reason: str | None = None) -> None:
    """After a response is stored; `record` carries the status it led to."""
    detail = {"status": record.status}
    if reason:
        detail["reason"] = reason
    audit.record_request(store, "decision", record, now, actor=approver, channel=channel,
                         display_hash=audit.displayed_digest(record), outcome=decision, detail=detail)
    if record.status != "pending":
        notify.enqueue(store, record, "resolved", now)


def receipt_received(store: Store, receipt_id: str, tenant: str, receipt: dict, now: float) -> None:
    """Joins a receipt to its request (by the request id or the request hash it names) and records
    what it says happened."""
    request_id = outcomes.joined_request(store, tenant, receipt)
    request_hash = receipt.get("request_hash")
    if not (isinstance(request_hash, str) and len(request_hash) == 64):
        request_hash = None
    if request_id is not None:
        outcomes.record(store, receipt_id, request_id, receipt, now)
    outcome = next((receipt[k] for k in ("outcome", "decision", "status") if isinstance(receipt.get(k), str)),
                   "received")
    audit.append(store, "receipt", now, request_id=request_id, request_hash=request_hash, actor=tenant,
                 channel="api", display_hash=audit.digest(receipt), outcome=outcome[:64],
                 detail={"receipt": receipt_id})
