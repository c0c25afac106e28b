"""Runs the revisions on the connection that the store hands over (see schema.upgrade)."""

from alembic import context

connection = context.config.attributes["connection"]
context.configure(connection=connection, target_metadata=None, transactional_ddl=True)
with context.begin_transaction():
    context.run_migrations()
