"""What a create's quota check reads instead of counting rows: the bytes stored per agent API key and hour,
and each key's pending requests as a running count.

Revision ID: 0004
Revises: 0003
"""

import time

from alembic import op

from zelto_localcloud.schema import ddl_for

revision = "0004"
down_revision = "0003"
branch_labels = None
depends_on = None

_TABLES = (
    """CREATE TABLE IF NOT EXISTS quota_usage (
        tenant TEXT NOT NULL,
        hour INTEGER NOT NULL,
        bytes INTEGER NOT NULL,
        PRIMARY KEY (tenant, hour)
    )""",
    "CREATE TABLE IF NOT EXISTS pending_counts (tenant TEXT PRIMARY KEY, pending INTEGER NOT NULL)",
)

# Requests older than this no longer count towards any quota.
_DAY_AND_AN_HOUR = 25 * 3600


def upgrade() -> None:
    connection = op.get_bind()
    for statement in _TABLES:
        op.execute(ddl_for(statement, connection.dialect.name))
    # The requests already stored count too: they are summed here once.
    connection.exec_driver_sql(
        "INSERT INTO pending_counts (tenant, pending) SELECT tenant, count(*) FROM requests"
        " WHERE status = 'pending' GROUP BY tenant"
    )
    rows = connection.exec_driver_sql(
        "SELECT tenant, created_at, stored_bytes FROM request_list WHERE created_at >= "
        + repr(float(time.time() - _DAY_AND_AN_HOUR))
    ).fetchall()
    hours: dict[tuple[str, int], int] = {}
    for tenant, created_at, stored_bytes in rows:
        key = (tenant, int(created_at // 3600))
        hours[key] = hours.get(key, 0) + int(stored_bytes)
    marker = "?" if connection.dialect.name == "sqlite" else "%s"
    for (tenant, hour), stored in hours.items():
        connection.exec_driver_sql(
            f"INSERT INTO quota_usage (tenant, hour, bytes) VALUES ({marker}, {marker}, {marker})",
            (tenant, hour, stored),
        )
