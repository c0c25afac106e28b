"""An approver's queue: the pending requests this approver may still decide, oldest or soonest-expiring first.

A request this approver is not among the approver_keys of, or has already answered, is not in it; nor is
an abandoned one (no agent reads it any more), which is listed apart and approved only with a confirmation.

Search looks in the tool name and the arguments as approvers are shown them (secrets masked, hazards
escaped), lower-cased and kept beside the request at create: a plain substring test, linear in the text,
so a search costs no more than reading the pending requests' text once, and no pattern from a visitor runs.
"""

from __future__ import annotations

from dataclasses import dataclass

from .approvers import Approver
from .display import Shown, show_call, shown
from .paging import encode_cursor
from .store import RequestRecord, Store

PAGE_SIZE = 20
MAX_SEARCH_CHARACTERS = 200
SORTS = {"oldest": "oldest first", "expiring": "soonest expiring first"}

def ensure_schema(store: Store) -> None:
    """The search text of pending requests stored before it was kept is worked out once, here (the table
    itself comes with the schema's history)."""
    missing = store.execute(
        "SELECT r.seq, r.tool, r.args_canonical_cbor_b64 FROM request_list l JOIN requests r ON r.seq = l.seq"
        " WHERE l.status = 'pending' AND l.seq NOT IN (SELECT seq FROM request_text)"
    ).fetchall()
    if missing:
        with store.transaction():
            for seq, tool, args in missing:
                _keep_text(store, seq, show_call(tool, args))


def search_text(call: Shown) -> str:
    return f"{call.tool_text}\n{call.text}".lower()


def _keep_text(store: Store, seq: int, call: Shown) -> None:
    store.execute(
        "INSERT INTO request_text (seq, text) VALUES (?, ?) ON CONFLICT (seq) DO UPDATE SET text = excluded.text",
        (seq, search_text(call)),
    )


def index(store: Store, record: RequestRecord) -> None:
    """Keeps a new request's search text (inside its create transaction; its shown call is at hand)."""
    _keep_text(store, record.seq, shown(record))


@dataclass(frozen=True)
class Entry:
    """A light row of the queue: enough to order, page and tell abandoned requests apart."""

    seq: int
    id: str
    status: str
    created_at: float
    expires_at: float
    shown_tool: str
    summary: str
    hazards: bool


@dataclass
class QueuePage:
    records: list[RequestRecord]  # this page, full requests (their arguments are shown)
    abandoned: list[Entry]  # apart, as listed
    waiting: int  # in the whole queue (search applied), abandoned ones not counted
    next_cursor: str | None


class ApproverQueue:
    def __init__(self, store: Store, service, clock):
        self.store, self.service, self.clock = store, service, clock

    def _entries(self, approver: Approver, search: str, sort: str) -> list[Entry]:
        conditions = [
            "l.status = 'pending'", "l.expires_at > ?",
            "(l.approver_keys_json IS NULL OR instr(l.approver_keys_json, ?) > 0)",
            "NOT EXISTS (SELECT 1 FROM responses p WHERE p.request_id = l.id AND p.approver = ?)",
        ]
        values: list = [self.clock(), f'"{approver.public_key_hex}"', approver.name]
        needle = search.strip().lower()[:MAX_SEARCH_CHARACTERS]
        if needle:
            conditions.append("EXISTS (SELECT 1 FROM request_text t WHERE t.seq = l.seq AND instr(t.text, ?) > 0)")
            values.append(needle)
        order = "l.expires_at, l.seq" if sort == "expiring" else "l.seq"
        rows = self.store.execute(
            f"SELECT l.seq, l.id, l.status, l.created_at, l.expires_at, l.shown_tool, l.summary, l.hazards"
            f" FROM request_list l"
            f" WHERE {' AND '.join(conditions)} ORDER BY {order}",
            values,
        ).fetchall()
        return [Entry(*row) for row in rows]

    def _position(self, seq: int, sort: str) -> tuple:
        row = self.store.execute("SELECT expires_at FROM request_list WHERE seq = ?", (seq,)).fetchone()
        expires_at = row[0] if row else float("-inf")
        return (expires_at, seq) if sort == "expiring" else (seq,)

    def page(self, approver: Approver, *, sort: str = "oldest", search: str = "", after: int | None = None,
             limit: int = PAGE_SIZE) -> QueuePage:
        """A page of the queue, starting after the request at position `after` (a cursor's seq)."""
        sort = sort if sort in SORTS else "oldest"
        now = self.clock()
        live, abandoned = [], []
        for entry in self._entries(approver, search, sort):
            (abandoned if self.service.abandoned_since(entry, now) is not None else live).append(entry)
        waiting = len(live)
        if after is not None:
            start = self._position(after, sort)
            key = (lambda e: (e.expires_at, e.seq)) if sort == "expiring" else (lambda e: (e.seq,))
            live = [e for e in live if key(e) > start]
        more = len(live) > limit
        live = live[:limit]
        records = self.service.get_many([e.id for e in live])
        # A request decided or expired since the list was read drops out.
        records = [r for r in records if r.status == "pending"]
        return QueuePage(
            records=records,
            abandoned=abandoned,
            waiting=waiting,
            next_cursor=encode_cursor(live[-1].seq) if more else None,
        )

    def next_after(self, approver: Approver, request_id: str) -> str | None:
        """The first request of the queue (oldest first) other than this one, if any."""
        now = self.clock()
        for entry in self._entries(approver, "", "oldest"):
            if entry.id != request_id and self.service.abandoned_since(entry, now) is None:
                return entry.id
        return None

    def count(self, approver: Approver) -> tuple[int, str | None, str | None]:
        """How many requests wait for this approver (abandoned ones included: an agent may come back),
        and the newest one's id and tool as shown."""
        entries = self._entries(approver, "", "oldest")
        if not entries:
            return 0, None, None
        return len(entries), entries[-1].id, entries[-1].shown_tool
