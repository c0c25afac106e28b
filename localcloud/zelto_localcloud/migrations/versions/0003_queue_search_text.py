"""The text an approver's queue searches: each request's tool and arguments as shown, lower-cased.

Revision ID: 0003
Revises: 0002
"""

from alembic import op

from zelto_localcloud.schema import ddl_for

revision = "0003"
down_revision = "0002"
branch_labels = None
depends_on = None

_TABLES = ("CREATE TABLE IF NOT EXISTS request_text (seq INTEGER PRIMARY KEY, text TEXT NOT NULL)",)


def upgrade() -> None:
    dialect = op.get_bind().dialect.name
    for statement in _TABLES:
        op.execute(ddl_for(statement, dialect))
