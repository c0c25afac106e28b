"""Receipts: one per guarded call, handed to the control plane when one is configured.

A receipt says what the guard decided about one call: ``allowed`` (it ran),
``denied`` (it did not run) or ``observed`` (the guard would have refused it
but only observes, so it ran anyway). It names the approval request by its
hash, so that the cloud can join it to the request a person decided.
"""

from __future__ import annotations

import logging
import time
from typing import Any

__all__ = ["call_receipt", "check_control_plane", "deliver"]

logger = logging.getLogger("zelto.receipts")

DECISIONS = ("allowed", "denied", "observed")


def check_control_plane(control_plane: Any) -> None:
    if control_plane is not None and not callable(getattr(control_plane, "emit_receipt", None)):
        raise TypeError("control_plane must have an emit_receipt(receipt) method")


def call_receipt(kind: str, tool: str, warrant_id: str, decision: str, request: Any = None, approvals: Any = (),
                 *, reason: str | None = None, dry_run: bool = False, **extra: Any) -> dict:
    """The receipt of one guarded call; ``request`` is the approval request, if one was made."""
    return {
        "v": 1,
        "kind": kind,
        "tool": tool,
        "warrant_id": warrant_id,
        "decision": decision,
        "reason": reason,
        "dry_run": dry_run,
        "request_hash": request.request_hash.hex() if request is not None else None,
        "approvers": [approval.approver_key.hex() for approval in approvals or ()],
        **extra,
        "at": int(time.time()),
    }


def deliver(control_plane: Any, receipt: dict) -> None:
    """Hand the receipt over; a receipt that cannot be delivered never decides the call."""
    if control_plane is None:
        return
    try:
        control_plane.emit_receipt(receipt)
    except Exception as exc:
        logger.warning("receipt for %s not delivered: %s", receipt.get("tool"), exc)
