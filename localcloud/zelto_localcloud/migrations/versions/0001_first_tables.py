"""The tables as the first versions of the local cloud made them.

Revision ID: 0001
Revises:
"""

from alembic import op

from zelto_localcloud.schema import ddl_for

revision = "0001"
down_revision = None
branch_labels = None
depends_on = None

# Requests, their approvers' responses, keys, approvers, sessions, connect tokens, receipts, settings.
_STORE = (
    """CREATE TABLE IF NOT EXISTS requests (
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    id TEXT NOT NULL UNIQUE,
    tenant TEXT NOT NULL,
    status TEXT NOT NULL,
    warrant_id TEXT NOT NULL,
    tool TEXT NOT NULL,
    request_hash BLOB NOT NULL,
    holder_key BLOB NOT NULL,
    args_canonical_cbor_b64 TEXT NOT NULL,
    attestation_json TEXT NOT NULL,
    metadata_json TEXT,
    policy_id TEXT,
    threshold INTEGER NOT NULL,
    approver_keys_json TEXT,
    ttl_seconds INTEGER NOT NULL,
    idempotency_key TEXT,
    denied_reason TEXT,
    created_at REAL NOT NULL,
    expires_at REAL NOT NULL,
    resolved_at REAL
)""",
    """CREATE INDEX IF NOT EXISTS requests_by_status ON requests (status, seq)""",
    """CREATE INDEX IF NOT EXISTS requests_by_tenant ON requests (tenant, status, seq)""",
    """CREATE TABLE IF NOT EXISTS responses (
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    request_id TEXT NOT NULL REFERENCES requests (id),
    approver TEXT NOT NULL,
    approver_key TEXT NOT NULL,
    decision TEXT NOT NULL CHECK (decision IN ('approved', 'denied')),
    signed_approval BLOB,
    reason TEXT,
    created_at REAL NOT NULL
)""",
    """CREATE INDEX IF NOT EXISTS responses_by_request ON responses (request_id, seq)""",
    """CREATE UNIQUE INDEX IF NOT EXISTS one_approval_per_approver
    ON responses (request_id, approver_key) WHERE decision = 'approved'""",
    """CREATE TABLE IF NOT EXISTS idempotency_keys (
    tenant TEXT NOT NULL,
    key TEXT NOT NULL,
    request_id TEXT NOT NULL REFERENCES requests (id),
    PRIMARY KEY (tenant, key)
)""",
    """CREATE TABLE IF NOT EXISTS api_keys (
    id TEXT PRIMARY KEY,
    key_hash TEXT NOT NULL UNIQUE,
    name TEXT NOT NULL,
    created_at REAL NOT NULL
)""",
    """CREATE TABLE IF NOT EXISTS approvers (
    name TEXT PRIMARY KEY,
    seed BLOB NOT NULL,
    public_key TEXT NOT NULL UNIQUE,
    password_hash TEXT NOT NULL,
    created_at REAL NOT NULL
)""",
    """CREATE TABLE IF NOT EXISTS sessions (
    token_hash TEXT PRIMARY KEY,
    approver TEXT NOT NULL REFERENCES approvers (name) ON DELETE CASCADE,
    form_token TEXT NOT NULL,
    created_at REAL NOT NULL,
    expires_at REAL NOT NULL
)""",
    """CREATE TABLE IF NOT EXISTS connect_tokens (
    token_hash TEXT PRIMARY KEY,
    agent_id TEXT NOT NULL UNIQUE,
    created_at REAL NOT NULL,
    expires_at REAL NOT NULL,
    api_key_id TEXT,
    public_key TEXT,
    claimed_at REAL
)""",
    """CREATE TABLE IF NOT EXISTS receipts (
    id TEXT PRIMARY KEY,
    tenant TEXT NOT NULL,
    body_json TEXT NOT NULL,
    created_at REAL NOT NULL
)""",
    """CREATE TABLE IF NOT EXISTS settings (
    name TEXT PRIMARY KEY,
    value TEXT NOT NULL
)""",
)
# What lists read, kept apart from the requests table (see store.py).
_REQUEST_LIST = (
    """CREATE TABLE IF NOT EXISTS request_list (
    seq INTEGER PRIMARY KEY,
    id TEXT NOT NULL UNIQUE,
    tenant TEXT NOT NULL,
    status TEXT NOT NULL,
    warrant_id TEXT NOT NULL,
    tool TEXT NOT NULL,
    request_hash BLOB NOT NULL,
    holder_key BLOB NOT NULL,
    policy_id TEXT,
    threshold INTEGER NOT NULL,
    approver_keys_json TEXT,
    ttl_seconds INTEGER NOT NULL,
    idempotency_key TEXT,
    denied_reason TEXT,
    created_at REAL NOT NULL,
    expires_at REAL NOT NULL,
    resolved_at REAL,
    summary TEXT NOT NULL,
    list_metadata_json TEXT,
    stored_bytes INTEGER NOT NULL,
    shown_tool TEXT NOT NULL DEFAULT '',
    hazards INTEGER NOT NULL DEFAULT 0
)""",
    """CREATE INDEX IF NOT EXISTS request_list_by_status ON request_list (status, seq)""",
    """CREATE INDEX IF NOT EXISTS request_list_by_tenant ON request_list (tenant, status, seq)""",
    """CREATE INDEX IF NOT EXISTS request_list_by_tenant_time ON request_list (tenant, created_at, stored_bytes)""",
)
_AUDIT_LOG = (
    """CREATE TABLE IF NOT EXISTS audit_log (
        seq INTEGER PRIMARY KEY,
        request_id TEXT,
        event TEXT NOT NULL,
        actor TEXT,
        body TEXT NOT NULL,
        hash TEXT NOT NULL
    )""",
    """CREATE INDEX IF NOT EXISTS audit_by_request ON audit_log (request_id, seq)""",
    """CREATE INDEX IF NOT EXISTS audit_by_approver ON audit_log (actor, seq) WHERE event IN ('decision', 'notification')""",
)
_NOTIFICATIONS = (
    """CREATE TABLE IF NOT EXISTS notify_channels (
        approver TEXT NOT NULL REFERENCES approvers (name) ON DELETE CASCADE,
        kind TEXT NOT NULL CHECK (kind IN ('webhook', 'chat', 'email')),
        target TEXT NOT NULL,
        secret TEXT,
        grp TEXT NOT NULL CHECK (grp IN ('first', 'escalation')),
        created_at REAL NOT NULL,
        PRIMARY KEY (approver, kind, target)
    )""",
    """CREATE TABLE IF NOT EXISTS notify_outbox (
        id INTEGER PRIMARY KEY AUTOINCREMENT,
        request_id TEXT NOT NULL,
        approver TEXT NOT NULL,
        kind TEXT NOT NULL,
        target TEXT NOT NULL,
        secret TEXT,
        event TEXT NOT NULL,
        body TEXT NOT NULL,
        created_at REAL NOT NULL,
        next_attempt_at REAL NOT NULL,
        attempts INTEGER NOT NULL DEFAULT 0,
        state TEXT NOT NULL DEFAULT 'queued' CHECK (state IN ('queued', 'delivered', 'failed', 'skipped')),
        done_at REAL,
        last_error TEXT
    )""",
    """CREATE INDEX IF NOT EXISTS notify_due ON notify_outbox (state, next_attempt_at)""",
    """CREATE INDEX IF NOT EXISTS notify_by_request ON notify_outbox (request_id, id)""",
    """CREATE TABLE IF NOT EXISTS notify_attempts (
        id INTEGER PRIMARY KEY AUTOINCREMENT,
        outbox_id INTEGER NOT NULL REFERENCES notify_outbox (id),
        request_id TEXT NOT NULL,
        attempt INTEGER NOT NULL,
        at REAL NOT NULL,
        outcome TEXT NOT NULL,
        detail TEXT
    )""",
    """CREATE INDEX IF NOT EXISTS notify_attempts_by_request ON notify_attempts (request_id, id)""",
    """CREATE TABLE IF NOT EXISTS notify_escalated (request_id TEXT PRIMARY KEY, at REAL NOT NULL)""",
)
_OUTCOMES = (
    """CREATE TABLE IF NOT EXISTS request_outcomes (
        receipt_id TEXT PRIMARY KEY,
        request_id TEXT NOT NULL,
        result TEXT NOT NULL,
        decision TEXT,
        reason TEXT,
        at REAL NOT NULL
    )""",
    """CREATE INDEX IF NOT EXISTS request_outcomes_by_request ON request_outcomes (request_id, at)""",
)
# PostgreSQL has no rowid: receipts of one instant keep their arrival order by a column of that name.
# And the store's tool filter uses SQLite's instr().
_POSTGRES_ONLY = (
    "ALTER TABLE request_outcomes ADD COLUMN IF NOT EXISTS rowid BIGINT GENERATED BY DEFAULT AS IDENTITY",
    "CREATE OR REPLACE FUNCTION instr(haystack TEXT, needle TEXT) RETURNS INTEGER"
    " LANGUAGE sql IMMUTABLE STRICT AS 'SELECT strpos(haystack, needle)'",
)


def upgrade() -> None:
    dialect = op.get_bind().dialect.name
    for statement in _STORE + _REQUEST_LIST + _AUDIT_LOG + _NOTIFICATIONS + _OUTCOMES:
        op.execute(ddl_for(statement, dialect))
    if dialect == "postgresql":
        for statement in _POSTGRES_ONLY:
            op.execute(statement)
