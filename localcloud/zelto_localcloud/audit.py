"""The audit log: an append-only, hash-chained record of what happened to requests.

Every creation, decision, notification delivery and receipt adds one row.
A row is a line of JSON whose keys come in a fixed order, beginning with the
hash of the row before it:

    {"prev":"<64 hex>","seq":7,"at":"2026-12-09T03:00:00.123456Z","event":"decision",
     "request_id":"apr_...","request_hash":"<hex>","actor":"alice","channel":"dashboard",
     "display_hash":"<hex>","outcome":"approved","detail":{...},"hash":"<64 hex>"}

"hash" is the SHA-256 (hex) of the line's own bytes up to the hash: the line
with `,"hash":"..."` removed. The table keeps each row's text exactly as it was
hashed, so an export is the rows' text, one per line, and checking it needs
nothing but the file: each line must hash to its "hash", name the previous
line's hash as its "prev" (the first names 64 zeros) and carry the next "seq".
A changed line fails its own hash; a removed line breaks the sequence. Removing
lines from the end leaves a shorter, valid chain: compare the head hash with
one written down earlier (`audit verify FILE --head HASH`).
"""

from __future__ import annotations

import hashlib
import json
import math
import time
from dataclasses import dataclass
from typing import IO, Iterable

from .display import shown
from .store import RequestRecord, Store

GENESIS = "0" * 64
EVENTS = ("create", "decision", "notification", "receipt", "escalation")

_HASH_TAIL_PREFIX = b',"hash":"'
_HASH_TAIL_LENGTH = len(_HASH_TAIL_PREFIX) + 64 + 2  # ,"hash":"<64 hex>"}
_PREV_AT = len(b'{"prev":"')
_SEQ_AT = _PREV_AT + 64 + len(b'","seq":')



def ensure_schema(store: Store) -> None:
    """The audit log's table comes with the store's schema history (schema.py): nothing to make here."""


# Made once: json.dumps with options sets up an encoder on every call, and every create writes a row.
_canonical_json = json.JSONEncoder(sort_keys=True, separators=(",", ":"), ensure_ascii=True).encode
_row_json = json.JSONEncoder(separators=(",", ":"), ensure_ascii=True, allow_nan=False).encode


def digest(value) -> str:
    """SHA-256 (hex) of a value's canonical JSON, or of bytes / text as they are."""
    if isinstance(value, str):
        value = value.encode()
    elif not isinstance(value, bytes):
        value = _canonical_json(value).encode()
    return hashlib.sha256(value).hexdigest()


def displayed_digest(record: RequestRecord) -> str:
    """The hash of what an approver is shown of a request: the signed tool and its decoded,
    masked arguments, the warrant, the holder key and the request hash."""
    call = shown(record)
    return digest({
        "tool": call.tool_text,
        "arguments": call.text,
        "warrant_id": record.warrant_id,
        "holder_key": record.holder_key.hex(),
        "request_hash": record.request_hash.hex(),
    })


_last_second: list = [None, ""]  # the second last written out, and its text


def _iso(timestamp: float) -> str:
    # Rows come many to a second: the date and time of day are worked out once a second.
    second = math.floor(timestamp)
    if second != _last_second[0]:
        _last_second[:] = second, time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(timestamp))
    return f"{_last_second[1]}.{int(timestamp % 1 * 1e6):06d}Z"


def row_text(prev: str, seq: int, at: float, event: str, *, request_id=None, request_hash=None, actor=None,
             channel=None, display_hash=None, outcome=None, detail=None) -> str:
    """A row's text without its hash; the key order is fixed, so the text is reproducible."""
    fields = {
        "prev": prev, "seq": seq, "at": _iso(at), "event": event, "request_id": request_id,
        "request_hash": request_hash, "actor": actor, "channel": channel, "display_hash": display_hash,
        "outcome": outcome, "detail": detail or {},
    }
    return _row_json(fields)


def seal(text: str) -> tuple[str, str]:
    """The row's hash and its full line."""
    row_hash = hashlib.sha256(text.encode()).hexdigest()
    return row_hash, f'{text[:-1]},"hash":"{row_hash}"}}'


def append(store: Store, event: str, at: float, **fields) -> str:
    """Appends a row inside the caller's transaction (or its own); answers the row's hash."""
    ensure_schema(store)
    with store.transaction():  # the write lock keeps the chain in one line
        last = store.execute("SELECT seq, hash FROM audit_log ORDER BY seq DESC LIMIT 1").fetchone()
        seq, prev = (1, GENESIS) if last is None else (last[0] + 1, last[1])
        row_hash, line = seal(row_text(prev, seq, at, event, **fields))
        store.execute(
            "INSERT INTO audit_log (seq, request_id, event, actor, body, hash) VALUES (?, ?, ?, ?, ?, ?)",
            (seq, fields.get("request_id"), event, fields.get("actor"), line, row_hash),
        )
    return row_hash


def record_request(store: Store, event: str, record: RequestRecord, at: float, **fields) -> str:
    return append(store, event, at, request_id=record.id, request_hash=record.request_hash.hex(), **fields)


def rows_for(store: Store, request_id: str, limit: int = 500) -> list[dict]:
    """A request's latest rows, oldest first, as dicts."""
    ensure_schema(store)
    rows = store.execute(
        "SELECT body FROM audit_log WHERE request_id = ? ORDER BY seq DESC LIMIT ?", (request_id, limit)
    ).fetchall()
    return [json.loads(row[0]) for row in reversed(rows)]


def rows_of_approver(store: Store, approver: str, limit: int = 500) -> list[dict]:
    """An approver's latest decisions and notifications, newest first, as dicts."""
    ensure_schema(store)
    rows = store.execute(
        "SELECT body FROM audit_log WHERE actor = ? AND event IN ('decision', 'notification')"
        " ORDER BY seq DESC LIMIT ?",
        (approver, limit),
    ).fetchall()
    return [json.loads(row[0]) for row in rows]


def export(store: Store, out: IO[bytes]) -> tuple[int, str]:
    """Writes every row as a line of JSON; answers the count and the head hash."""
    ensure_schema(store)
    count, head = 0, GENESIS
    cursor = store.execute("SELECT body, hash FROM audit_log ORDER BY seq")
    while batch := cursor.fetchmany(10_000):
        out.write(b"".join(body.encode() + b"\n" for body, _ in batch))
        count += len(batch)
        head = batch[-1][1]
    return count, head


@dataclass(frozen=True)
class Verdict:
    rows: int
    head: str
    broken_line: int | None = None  # 1-based line of the first broken row
    broken_seq: int | None = None
    problem: str = ""

    @property
    def ok(self) -> bool:
        return self.broken_line is None


def verify_lines(lines: Iterable[bytes], expected_head: str | None = None) -> Verdict:
    """Checks a chain line by line; stops at the first broken row and names it."""
    prev, seq, count = GENESIS.encode(), 0, 0
    sha256 = hashlib.sha256
    for count, line in enumerate(lines, 1):
        line = line.rstrip(b"\r\n")
        tail = line[-_HASH_TAIL_LENGTH:]
        if not (line.startswith(b'{"prev":"') and tail.startswith(_HASH_TAIL_PREFIX) and line.endswith(b'"}')):
            return Verdict(count - 1, prev.decode(), count, seq + 1, "the line is not an audit row")
        row_hash = tail[len(_HASH_TAIL_PREFIX):-2]
        comma = line.find(b",", _SEQ_AT)
        try:
            row_seq = int(line[_SEQ_AT:comma])
        except ValueError:
            return Verdict(count - 1, prev.decode(), count, seq + 1, "the row has no readable seq")
        if row_seq != seq + 1:
            if row_seq > seq + 1:
                missing = f"row {seq + 1}" if row_seq == seq + 2 else f"rows {seq + 1} to {row_seq - 1}"
                return Verdict(count - 1, prev.decode(), count, seq + 1, f"{missing} missing before seq {row_seq}")
            return Verdict(count - 1, prev.decode(), count, row_seq, f"seq {row_seq} out of order after {seq}")
        if sha256(line[:-_HASH_TAIL_LENGTH] + b"}").hexdigest().encode() != row_hash:
            return Verdict(count - 1, prev.decode(), count, row_seq, "the row's content does not match its hash")
        if line[_PREV_AT:_PREV_AT + 64] != prev:
            return Verdict(count - 1, prev.decode(), count, row_seq,
                           "the row names another hash for the row before it (that row was changed and"
                           " re-hashed, or this one was)")
        prev, seq = row_hash, row_seq
    head = prev.decode()
    if expected_head is not None and head != expected_head.lower():
        return Verdict(count, head, count + 1, seq + 1,
                       f"the chain ends at seq {seq} with head {head}, not at the expected head:"
                       " rows were removed from the end or the head is from another log")
    return Verdict(count, head)

