"""What happened after a decision, and requests whose agent has gone.

An agent's guard posts one receipt per guarded call. A receipt that names a
request (its `approval_request_id`, or the request hash the call was signed
under) is joined to it here, so that a request says whether the call then ran,
was refused by the guard, or ran anyway because the guard only observed.

A pending request that no agent has read for `abandon_after` seconds is
abandoned: the agent timed out, was stopped or crashed, and an approval would
reach nobody. It is shown apart and is approved only with a confirmation.
"""

from __future__ import annotations

from .store import RequestRecord, Store
from .wire import iso_utc

ABANDON_AFTER = 120.0

# What a receipt's decision word means for the call.
RAN, REFUSED, RAN_ANYWAY, REPORTED = "ran", "refused", "ran_anyway", "reported"
RESULTS = (RAN, REFUSED, RAN_ANYWAY, REPORTED)
_RAN_WORDS = frozenset({"allowed", "ran", "run", "executed", "approved", "ok", "success"})
_REFUSED_WORDS = frozenset({"denied", "refused", "blocked", "rejected"})
_ANYWAY_WORDS = frozenset({"observed", "ran_anyway"})


def ensure_schema(store: Store) -> None:
    """The outcomes table comes with the store's schema history (schema.py): nothing to make here."""


def _text(receipt: dict, *names: str, limit: int = 500) -> str | None:
    for name in names:
        value = receipt.get(name)
        if isinstance(value, str) and value.strip():
            return value.strip()[:limit]
    return None


def classify(receipt: dict) -> tuple[str, str | None]:
    """The result a receipt reports (one of RESULTS) and its decision word."""
    word = _text(receipt, "outcome", "decision", "status", limit=64)
    key = (word or "").lower()
    if key in _ANYWAY_WORDS or (key in _REFUSED_WORDS and receipt.get("dry_run") is True):
        return RAN_ANYWAY, word
    if key in _REFUSED_WORDS:
        return REFUSED, word
    if key in _RAN_WORDS:
        return RAN, word
    return REPORTED, word


def joined_request(store: Store, tenant: str, receipt: dict) -> str | None:
    """The id of the tenant's request the receipt is about, or None.

    An `approval_request_id` the tenant owns wins; otherwise the newest of the
    tenant's requests signed under the receipt's `request_hash`.
    """
    named = receipt.get("approval_request_id")
    if isinstance(named, str) and named:
        row = store.execute("SELECT id FROM requests WHERE id = ? AND tenant = ?", (named, tenant)).fetchone()
        if row:
            return row[0]
    request_hash = receipt.get("request_hash")
    if not isinstance(request_hash, str) or len(request_hash) != 64:
        return None
    try:
        digest = bytes.fromhex(request_hash)
    except ValueError:
        return None
    row = store.execute(
        "SELECT id FROM request_list WHERE request_hash = ? AND tenant = ? ORDER BY seq DESC LIMIT 1", (digest, tenant)
    ).fetchone()
    return row[0] if row else None


def record(store: Store, receipt_id: str, request_id: str, receipt: dict, now: float) -> None:
    """Inside the receipt's transaction."""
    result, word = classify(receipt)
    store.execute(
        "INSERT INTO request_outcomes (receipt_id, request_id, result, decision, reason, at) VALUES (?, ?, ?, ?, ?, ?)",
        (receipt_id, request_id, result, word, _text(receipt, "reason"), now),
    )


def receipts_of(store: Store, request_id: str) -> list[dict]:
    rows = store.execute(
        "SELECT receipt_id, result, decision, reason, at FROM request_outcomes WHERE request_id = ? ORDER BY at, rowid",
        (request_id,),
    ).fetchall()
    return [{"receipt_id": r[0], "result": r[1], "decision": r[2], "reason": r[3], "at": r[4]} for r in rows]


def summary(receipts: list[dict]) -> dict | None:
    """What the request object says happened: the latest receipt, unless an earlier one ran anyway."""
    if not receipts:
        return None
    anyway = [r for r in receipts if r["result"] == RAN_ANYWAY]
    chosen = anyway[-1] if anyway else receipts[-1]
    return {
        "result": chosen["result"],
        "decision": chosen["decision"],
        "reason": chosen["reason"],
        "receipt_id": chosen["receipt_id"],
        "received_at": iso_utc(chosen["at"]),
        "receipts": len(receipts),
    }


def attach(store: Store, records: list[RequestRecord]) -> list[RequestRecord]:
    """Sets `outcome` on each decided record that has receipts (one query)."""
    decided = {r.id: r for r in records if r.status != "pending"}
    if not decided:
        return records
    marks = ",".join("?" * len(decided))
    rows = store.execute(
        f"SELECT request_id, receipt_id, result, decision, reason, at FROM request_outcomes"
        f" WHERE request_id IN ({marks}) ORDER BY at, rowid",
        tuple(decided),
    ).fetchall()
    found: dict[str, list[dict]] = {}
    for row in rows:
        found.setdefault(row[0], []).append(
            {"receipt_id": row[1], "result": row[2], "decision": row[3], "reason": row[4], "at": row[5]}
        )
    for request_id, receipts in found.items():
        decided[request_id].outcome = summary(receipts)
    return records


# -- abandoned requests ---------------------------------------------------------


def last_seen(last_poll: float | None, created_at: float, started_at: float) -> float:
    """When an agent last showed it waits: its last read, else the creation (or this server's start)."""
    return last_poll if last_poll is not None else max(created_at, started_at)


def abandoned_since(cloud, record: RequestRecord, now: float) -> float | None:
    """When the agent was last seen, if the pending request is abandoned; None otherwise."""
    after = cloud.config.abandon_after
    if record.status != "pending" or after <= 0:
        return None
    seen = last_seen(cloud.last_polls.get(record.id), record.created_at, cloud.started_at)
    return seen if now - seen > after else None


# -- the request page --------------------------------------------------------------

_SAYS = {
    RAN: ("ran", "The agent reports that the call ran."),
    REFUSED: ("refused", "Refused by the guard: the call did not run."),
    RAN_ANYWAY: ("warning", "Ran anyway under observe-first: the guard would have refused this call,"
                            " but it only observes, so the call ran."),
    REPORTED: ("reported", "The agent sent a receipt this server does not recognise."),
}


def _line(receipt: dict, record: RequestRecord) -> dict:
    css, text = _SAYS[receipt["result"]]
    if receipt["result"] == RAN and record.status in ("denied", "expired"):
        css, text = "warning", f"The call ran although the request is {record.status}."
    return {"css": css, "result": receipt["result"], "text": text, "decision": receipt["decision"],
            "at": receipt["at"], "reason": receipt["reason"]}


def outcome_lines(store: Store, record: RequestRecord) -> list[dict] | None:
    """The request page's "What happened" lines; None while the request is pending (nothing to say yet)."""
    if record.status == "pending":
        return None
    return [_line(r, record) for r in receipts_of(store, record.id)]
