"""The approval rules: creation, expiry, thresholds, approvals and denials."""

from __future__ import annotations

import contextlib
import json
import secrets
import time
from dataclasses import dataclass
from typing import Any, Callable

from . import errors, events, outcomes
from .approvers import Approver, ApproverRegistry
from .display import UNDECODED, Shown, remember, show_call, shown
from .masking import mask
from .paging import SUMMARY_CHARACTERS, list_form, summary_text
from .replicas import unique_violation
from .store import STORAGE_ERRORS, RequestRecord, ResponseRecord, Store, json_or_none, storage_failure
from .validation import NewRequest
from .wire import iso_utc

Clock = Callable[[], float]


def new_request_id() -> str:
    return "apr_" + secrets.token_hex(10)


@dataclass(frozen=True)
class Quotas:
    """What one tenant (agent API key) may hold: requests pending at once, and bytes stored per day."""

    max_pending: int = 1000
    max_bytes_per_day: int = 256 * 1024 * 1024


QUOTA_WINDOW_SECONDS = 24 * 3600


@dataclass(frozen=True)
class Prepared:
    """What a create stores beside the request's fields, worked out before its transaction."""

    metadata: Any
    call: Shown
    list_metadata: Any
    stored_bytes: int
    # The stored JSON of the masked metadata, the attestation and the list form, made once here.
    texts: tuple[str | None, str, str | None] | None = None


def prepare(new: NewRequest, arguments=UNDECODED) -> Prepared:
    """The call as approvers are shown it, the masked copy of the metadata and its list form, and the
    request's size: CPU work that a large body makes slow, so the server runs it in a worker thread,
    once, outside any transaction. `arguments`: the signed arguments as their check decoded them."""
    call = show_call(new.tool, new.args_canonical_cbor_b64, arguments)
    shown = mask(new.metadata)
    shown_json = json_or_none(shown)
    attestation_json = json_or_none(new.approval_context_attestation)
    summary = summary_text(shown)
    size = sum(len(text.encode("utf-8")) for text in (
        new.warrant_id, new.tool, new.args_canonical_cbor_b64, new.policy_id or "", new.idempotency_key or "",
        shown_json or "", attestation_json,
    )) + len(new.request_hash) + len(new.holder_key)
    listed = list_form(shown, shown_json, summary)
    listed_json = shown_json if listed is shown else json_or_none(listed)
    return Prepared(shown, call, listed, size, (shown_json, attestation_json, listed_json))


def may_decide(record: RequestRecord, approver: Approver) -> bool:
    return record.approver_keys is None or approver.public_key_hex in record.approver_keys


class ApprovalService:
    def __init__(self, store: Store, approvers: ApproverRegistry, clock: Clock = time.time,
                 quotas: Quotas = Quotas()):
        self.store = store
        self.approvers = approvers
        self.clock = clock
        self.quotas = quotas
        # When the agent of a pending request was last seen, if it has given up on it (set by the server).
        self.abandoned_since: Callable[[RequestRecord, float], float | None] = lambda record, now: None

    def create(self, new: NewRequest, tenant: str, prepared: Prepared | None = None) -> tuple[RequestRecord, bool]:
        """Returns the request and whether it was created now (False: idempotent replay).

        Idempotency keys belong to the tenant: another tenant's key never finds this request.
        `prepared` is `prepare(new)`, worked out beforehand (made here when not given).
        """
        prepared = prepare(new) if prepared is None else prepared
        try:
            return self._create(new, tenant, prepared)
        except Exception as error:
            # Another replica stored the same key between this one's look-up and its insert: its request
            # is the one, and this one's was rolled back.
            if new.idempotency_key is None or not unique_violation(error):
                raise
            with self.store.transaction():
                existing_id = self.store.request_id_for_idempotency_key(tenant, new.idempotency_key)
                if existing_id is None:
                    raise
                return self._current(existing_id), False

    def _create(self, new: NewRequest, tenant: str, prepared: Prepared) -> tuple[RequestRecord, bool]:
        with self.store.transaction():
            if new.idempotency_key is not None:
                existing_id = self.store.request_id_for_idempotency_key(tenant, new.idempotency_key)
                if existing_id is not None:
                    return self._current(existing_id), False
            self._check_quotas(tenant, prepared.stored_bytes)
            record = self._record_for(new, tenant, prepared)
            self.store.insert_request(record, prepared.texts)
            remember(record, prepared.call)
            if new.idempotency_key is not None:
                self.store.remember_idempotency_key(tenant, new.idempotency_key, record.id)
            events.request_created(self.store, record, record.created_at)
        return record, True

    def _check_quotas(self, tenant: str, size: int) -> None:
        now = self.clock()
        # Far from the limits (the usual case) running counts that can only be higher say so; near them the
        # exact figures decide, and word the refusal.
        pending, recent_bound = self.store.tenant_load(tenant, now, now - QUOTA_WINDOW_SECONDS)
        if pending < self.quotas.max_pending and recent_bound + size <= self.quotas.max_bytes_per_day:
            return
        pending, soonest_expiry, recent_bytes, oldest = self.store.tenant_usage(
            tenant, now, now - QUOTA_WINDOW_SECONDS
        )
        if pending >= self.quotas.max_pending:
            raise errors.quota_exceeded(
                f"this API key has {pending} pending requests, the most it may have at once"
                f" ({self.quotas.max_pending}); wait until some are decided or expire",
                retry_after=min(max(1.0, (soonest_expiry or now) - now), 3600.0),
            )
        if recent_bytes + size > self.quotas.max_bytes_per_day:
            raise errors.quota_exceeded(
                f"this API key's requests of the last 24 hours hold {recent_bytes} bytes; this one"
                f" ({size} bytes) would pass the {self.quotas.max_bytes_per_day} bytes it may store a day",
                retry_after=min(max(1.0, (oldest or now) + QUOTA_WINDOW_SECONDS - now), float(QUOTA_WINDOW_SECONDS)),
            )

    def _record_for(self, new: NewRequest, tenant: str, prepared: Prepared) -> RequestRecord:
        now = self.clock()
        fields = vars(new) | {"metadata": prepared.metadata}  # only the masked display copy is kept
        return RequestRecord(
            id=new_request_id(),
            tenant=tenant,
            status="pending",
            **fields,  # the validated body's fields, one to one
            denied_reason=None,
            created_at=now,
            expires_at=now + new.ttl_seconds,
            resolved_at=None,
            summary=prepared.call.summary(SUMMARY_CHARACTERS),
            shown_tool=prepared.call.tool_text,
            hazards=bool(prepared.call.warnings),
            list_metadata=prepared.list_metadata,
            stored_bytes=prepared.stored_bytes,
        )

    def get(self, request_id: str, tenant: str | None = None) -> RequestRecord:
        """The request; with a tenant, only one of that tenant's (another's is not found)."""
        record = self.store.get_request(request_id)
        if record is None or (tenant is not None and record.tenant != tenant):
            raise errors.not_found(f"approval request {request_id} not found")
        if self._is_overdue(record):
            with self._expiry_kept_if_unwritable([record]):
                with self.store.transaction(alone=True):
                    record = self._current(request_id)
        outcomes.attach(self.store, [record])
        return record

    def peek(self, request_id: str) -> RequestRecord | None:
        """The request as stored, without storing an expiry that is due (for work done before a decision)."""
        return self.store.get_request(request_id)

    def get_many(self, request_ids: list[str], tenant: str | None = None) -> list[RequestRecord]:
        """The requests of these ids that exist, in the order asked; unknown ids, and with a tenant
        another tenant's, are left out."""
        records = self.store.get_requests(request_ids)
        if tenant is not None:
            records = {request_id: r for request_id, r in records.items() if r.tenant == tenant}
        overdue = [request_id for request_id, record in records.items() if self._is_overdue(record)]
        if overdue:
            with self._expiry_kept_if_unwritable([records[request_id] for request_id in overdue]):
                with self.store.transaction(alone=True):
                    for request_id in overdue:
                        records[request_id] = self._current(request_id)
        return outcomes.attach(self.store, [records[request_id] for request_id in request_ids if request_id in records])

    @contextlib.contextmanager
    def _expiry_kept_if_unwritable(self, records: list[RequestRecord]):
        """A read that would store expiries answers with them when the disk cannot take them;
        a later read stores them."""
        try:
            yield
        except STORAGE_ERRORS as error:
            if storage_failure(error) is None:
                raise
            for record in records:
                record.status, record.resolved_at = "expired", record.expires_at

    def list(
        self, status: str | None, limit: int, tenant: str | None = None, tool_part: str | None = None,
        before: int | None = None,
    ) -> list[RequestRecord]:
        """Listed requests (summaries, see Store.list_requests), newest first, with what their receipts say."""
        overdue = self.store.overdue_pending_ids(self.clock())
        unstored = False
        if overdue:
            try:
                with self.store.transaction(alone=True):
                    for request_id in overdue:
                        self._current(request_id)
            except STORAGE_ERRORS as error:
                if storage_failure(error) is None:
                    raise
                unstored = True  # as for a read: answered expired, stored by a later read
        records = self.store.list_requests(status, limit, tenant, tool_part, before)
        if unstored:
            for record in records:
                if self._is_overdue(record):
                    record.status, record.resolved_at = "expired", record.expires_at
        return outcomes.attach(self.store, records)

    def approve(self, request_id: str, approver: Approver, *, confirmed: bool = False,
                confirmed_abandoned: bool | None = None, channel: str = "api") -> RequestRecord:
        """Signs `approver`'s approval. When something of the call is hidden, or nothing of
        it can be shown, the approver must have confirmed approving it anyway; so too when
        no agent has read the request for a while (`confirmed_abandoned`, else `confirmed`)."""
        with self.store.transaction():
            record = self._resolvable(request_id)
            self._check_allowed(record, approver)
            # One person counts once, whatever keys they have had (removed and added again).
            if any(r.approver == approver.name for r in record.approvals()):
                raise errors.conflict(
                    "already_resolved", f"approver {approver.name} has already approved {request_id}"
                )
            call = shown(record)
            if call.needs_confirmation and not confirmed:
                raise errors.validation_error(
                    f"{call.confirmation_reason()}: field 'confirm' must be true to approve it anyway"
                )
            now = self.clock()
            seen = self.abandoned_since(record, now)
            if seen is not None and not (confirmed if confirmed_abandoned is None else confirmed_abandoned):
                raise errors.validation_error(
                    f"no agent has read {request_id} since {iso_utc(seen)}, so it looks abandoned and an approval"
                    " may reach nobody: field 'confirm' must be true to approve it anyway"
                )
            signed = approver.sign(record.request_hash, approved_at=int(now))
            self._add_response(record, approver, "approved", now, signed_approval=signed)
            if len({r.approver for r in record.approvals()}) >= record.threshold:
                self.store.set_status(request_id, "approved", resolved_at=now)
                record.status, record.resolved_at = "approved", now
            events.decided(self.store, record, approver.name, "approved", now, channel)
        return record

    def deny(self, request_id: str, approver: Approver, reason: str | None, channel: str = "api") -> RequestRecord:
        with self.store.transaction():
            record = self._resolvable(request_id)
            self._check_allowed(record, approver)
            now = self.clock()
            self._add_response(record, approver, "denied", now, reason=reason)
            self.store.set_status(request_id, "denied", resolved_at=now, denied_reason=reason)
            record.status, record.resolved_at, record.denied_reason = "denied", now, reason
            events.decided(self.store, record, approver.name, "denied", now, channel, reason)
        return record

    # -- inside a transaction ----------------------------------------------

    def _current(self, request_id: str) -> RequestRecord:
        """Reads a request, storing the expiry first when its TTL has passed."""
        record = self.store.get_request(request_id)
        if record is None:
            raise errors.not_found(f"approval request {request_id} not found")
        if self._is_overdue(record):
            if not self.store.set_status(request_id, "expired", resolved_at=record.expires_at):
                return self._current(request_id)  # decided or expired by another replica meanwhile
            record.status, record.resolved_at = "expired", record.expires_at
        return record

    def _is_overdue(self, record: RequestRecord) -> bool:
        return record.status == "pending" and self.clock() >= record.expires_at

    def _resolvable(self, request_id: str) -> RequestRecord:
        record = self._current(request_id)
        if record.status == "expired":
            raise errors.expired(f"approval request {request_id} has expired")
        if record.status == "denied":
            raise errors.conflict("approval_denied", f"approval request {request_id} was denied")
        if record.status != "pending":
            raise errors.conflict("already_resolved", f"approval request {request_id} is already {record.status}")
        return record

    def _check_allowed(self, record: RequestRecord, approver: Approver) -> None:
        # The approver may have been removed since signing in.
        if self.store.approver_by_key(approver.public_key_hex) is None:
            raise errors.unauthorized(f"approver {approver.name} no longer exists")
        if not may_decide(record, approver):
            raise errors.forbidden(f"approver {approver.name} is not among the approver_keys of {record.id}")

    def _add_response(self, record, approver, decision, now, *, signed_approval=None, reason=None) -> None:
        response = ResponseRecord(
            request_id=record.id,
            approver=approver.name,
            approver_key=approver.public_key_hex,
            decision=decision,
            signed_approval=signed_approval,
            reason=reason,
            created_at=now,
        )
        self.store.insert_response(response)
        record.responses.append(response)
