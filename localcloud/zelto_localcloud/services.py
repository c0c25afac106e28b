"""The thin services between routes and the store, beside the approval service (service.py).

Routes never reach the store themselves: they ask one of these, which all read the one clock the server
was started with, so a test can move time for every part at once.
"""

from __future__ import annotations

import secrets
from dataclasses import dataclass

from . import audit, connect, events, notify, outcomes
from .approvers import Approver, ApproverRegistry
from .credentials import NewSession, close_session, open_session, session_for
from .store import RequestRecord, SessionRecord, Store

# -- dashboard sessions ------------------------------------------------------------


@dataclass(frozen=True)
class Visitor:
    """The approver whose session cookie came with a dashboard request."""

    token: str
    session: SessionRecord
    approver: Approver


class Sessions:
    def __init__(self, store: Store, approvers: ApproverRegistry, clock):
        self.store, self.approvers, self.clock = store, approvers, clock

    def open(self, approver: str) -> NewSession:
        return open_session(self.store, approver, self.clock())

    def visitor(self, token: str) -> Visitor | None:
        session = session_for(self.store, token, self.clock())
        if session is None:
            return None
        approver = self.approvers.named(session.approver)
        return None if approver is None else Visitor(token, session, approver)

    def close(self, token: str) -> None:
        close_session(self.store, token)


# -- receipts and connect tokens ------------------------------------------------------


class Receipts:
    def __init__(self, store: Store, clock):
        self.store, self.clock = store, clock

    def receive(self, tenant: str, receipt: dict) -> str:
        """Stores a receipt and joins it to its request, in one transaction; answers its id."""
        receipt_id = "rcpt_" + secrets.token_hex(10)
        now = self.clock()
        with self.store.transaction():
            self.store.add_receipt(receipt_id, tenant, receipt, now)
            events.receipt_received(self.store, receipt_id, tenant, receipt, now)
        return receipt_id


class Connect:
    def __init__(self, store: Store, server_secret: str, clock):
        self.store, self.server_secret, self.clock = store, server_secret, clock

    def exchange(self, token: str, control_plane_url: str) -> dict:
        return connect.exchange(self.store, self.server_secret, token, control_plane_url, self.clock())

    def claim(self, token: str, public_key_hex: str) -> dict:
        return connect.claim(self.store, token, public_key_hex, self.clock())


# -- what the dashboard reads beside the requests ----------------------------------------


class Records:
    """A request page's other sections, and an approver's history."""

    def __init__(self, store: Store):
        self.store = store

    def key_name(self, tenant: str) -> str | None:
        return self.store.api_key_name(tenant)

    def outcome(self, record: RequestRecord) -> list[dict] | None:
        return outcomes.outcome_lines(self.store, record)

    def deliveries(self, request_id: str) -> list[dict]:
        return notify.delivery_lines(self.store, request_id)

    def history(self, request_id: str) -> list[dict]:
        return audit.rows_for(self.store, request_id)

    def approver_history(self, name: str) -> list[dict] | None:
        """An approver's latest decisions and notifications; None when no such approver ever was."""
        rows = audit.rows_of_approver(self.store, name)
        return None if not rows and self.store.approver(name) is None else rows
