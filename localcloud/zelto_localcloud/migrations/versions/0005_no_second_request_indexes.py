"""Requests are found by status or tenant through the list table only: the requests table's own indexes on
those columns repeated the list table's, and each create paid for keeping them.

Revision ID: 0005
Revises: 0004
"""

from alembic import op

revision = "0005"
down_revision = "0004"
branch_labels = None
depends_on = None

_STATEMENTS = (
    "DROP INDEX IF EXISTS requests_by_status",
    "DROP INDEX IF EXISTS requests_by_tenant",
)


def upgrade() -> None:
    for statement in _STATEMENTS:
        op.execute(statement)
