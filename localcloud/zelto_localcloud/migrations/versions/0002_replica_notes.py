"""What several server processes on one database tell each other: agents' last reads, sign-in failures.

Revision ID: 0002
Revises: 0001
"""

from alembic import op

from zelto_localcloud.schema import ddl_for

revision = "0002"
down_revision = "0001"
branch_labels = None
depends_on = None

_TABLES = (
    "CREATE TABLE IF NOT EXISTS agent_polls (request_id TEXT PRIMARY KEY, at REAL NOT NULL)",
    """CREATE TABLE IF NOT EXISTS sign_in_failures (
        seq INTEGER PRIMARY KEY AUTOINCREMENT,
        kind TEXT NOT NULL,
        key TEXT NOT NULL,
        at REAL NOT NULL
    )""",
    "CREATE INDEX IF NOT EXISTS sign_in_failures_by_key ON sign_in_failures (kind, key, at)",
    "CREATE INDEX IF NOT EXISTS sign_in_failures_by_time ON sign_in_failures (at)",
)


def upgrade() -> None:
    dialect = op.get_bind().dialect.name
    for statement in _TABLES:
        op.execute(ddl_for(statement, dialect))
