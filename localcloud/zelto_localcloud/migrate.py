"""`zelto-localcloud migrate`: copies a data folder's database into a PostgreSQL database.

    zelto-localcloud migrate --from DATA_FOLDER --to postgresql://USER@HOST/DB [--replace]

The target's tables are made as the server makes them; then every table the
two share is copied, parents before children, in one transaction on each side:
what the source held at one moment arrives whole or not at all. The server
may go on running on the source meanwhile (what it stores after the copy
began is not copied: stop it for the final copy). Sessions are not copied:
approvers sign in again. Row counts are compared table by table before the
target's transaction commits; any difference rolls it back.

A target that holds data already is refused; `--replace` empties it first.
"""

from __future__ import annotations

import json
import sqlite3
from dataclasses import dataclass
from pathlib import Path

import psycopg

from .store import DATABASE_NAME

# What is not worth carrying over: dashboard sessions (approvers sign in again), the schema's own
# bookkeeping, and the replicas' short-lived notes (sign-in failures, agents' last reads).
SKIPPED = frozenset({"sessions", "alembic_version", "sign_in_failures", "agent_polls", "sqlite_sequence"})
BATCH_ROWS = 500


class MigrationError(Exception):
    pass


def _first_line(error: BaseException) -> str:
    return (str(error).strip().splitlines() or [type(error).__name__])[0]


@dataclass(frozen=True)
class Copied:
    table: str
    source_rows: int
    target_rows: int


def engine_url(url: str) -> str:
    """A PostgreSQL URL as SQLAlchemy's psycopg driver takes it."""
    for prefix in ("postgresql+psycopg://", "postgresql://", "postgres://"):
        if url.startswith(prefix):
            return "postgresql+psycopg://" + url[len(prefix):]
    raise MigrationError(f"--to must be a postgresql:// URL, not {url!r}")


def _convert(value, column_type):
    """A SQLite value as the target column takes it."""
    import sqlalchemy as sa

    if value is None:
        return None
    if isinstance(column_type, sa.Boolean):
        return bool(value)
    if isinstance(column_type, sa.LargeBinary):
        return bytes(value)
    if isinstance(column_type, sa.JSON) and isinstance(value, str):
        return json.loads(value)
    if isinstance(column_type, (sa.Float, sa.Numeric)) and not isinstance(value, float):
        return float(value)
    return value


def prepare_schemas(source: Path, target_url: str) -> None:
    """Brings the source's schema up to date and makes the target's, each as a server would."""
    import os

    from .store import DATABASE_ENV, Store

    named = os.environ.pop(DATABASE_ENV, None)  # the source is the data folder's own file, whatever is set
    try:
        Store(source).close()
    finally:
        if named is not None:
            os.environ[DATABASE_ENV] = named
    Store(source, target_url).close()


def migrate(source: Path, target_url: str, *, replace: bool = False, prepare=prepare_schemas) -> list[Copied]:
    import sqlalchemy as sa

    database = Path(source) / DATABASE_NAME
    if not Path(source).is_dir():
        raise MigrationError(f"--from {source}: no such folder")
    if not database.is_file():
        raise MigrationError(f"--from {source} holds no {DATABASE_NAME}: not a zelto-localcloud data folder")
    url = engine_url(target_url)
    try:
        prepare(Path(source), target_url)
    except (OSError, RuntimeError, psycopg.Error, sqlite3.Error) as error:
        raise MigrationError(f"cannot open the databases: {_first_line(error)}") from None
    source_engine = sa.create_engine(f"sqlite:///{database}")
    target_engine = sa.create_engine(url)
    try:
        source_tables, target_tables = sa.MetaData(), sa.MetaData()
        source_tables.reflect(source_engine)
        target_tables.reflect(target_engine)
        tables = [table for table in target_tables.sorted_tables
                  if table.name in source_tables.tables and table.name not in SKIPPED]
        with source_engine.connect() as reader, target_engine.begin() as writer:
            reader.exec_driver_sql("BEGIN")  # one snapshot of the source throughout
            _check_empty(writer, tables, replace)
            copied = [_copy(reader, writer, source_tables.tables[table.name], table) for table in tables]
            _restart_sequences(writer, tables)
            wrong = [c for c in copied if c.source_rows != c.target_rows]
            if wrong:
                raise MigrationError("the copy was rolled back: row counts differ in " + ", ".join(
                    f"{c.table} ({c.source_rows} in the source, {c.target_rows} in the target)" for c in wrong))
        return copied
    except sa.exc.OperationalError as error:
        raise MigrationError(f"cannot use the database: {_first_line(error.orig or error)}") from None
    finally:
        source_engine.dispose()
        target_engine.dispose()


def _count(connection, table, where=None) -> int:
    import sqlalchemy as sa

    query = sa.select(sa.func.count()).select_from(table)
    return connection.execute(query if where is None else query.where(where)).scalar_one()


def _check_empty(writer, tables, replace: bool) -> None:
    # Settings are made with the schema (its version); they are overwritten by the source's.
    holding = [table.name for table in tables if table.name != "settings" and _count(writer, table)]
    if holding and not replace:
        raise MigrationError(f"the target database already holds data ({', '.join(holding)}); migrate into an empty"
                             " database, or give --replace to empty it first")
    if holding:
        for table in reversed(tables):
            if table.name != "settings":
                writer.execute(table.delete())


def _copy(reader, writer, source_table, target_table) -> Copied:
    import sqlalchemy as sa

    columns = [column for column in target_table.columns if column.name in source_table.columns]
    names = [column.name for column in columns]
    # In the order they were stored: a table without a key of its own numbers its rows by their arrival.
    rows = reader.execute(sa.select(*(source_table.c[name] for name in names)).order_by(sa.text("rowid")))
    copied = 0
    keys = []
    while batch := rows.fetchmany(BATCH_ROWS):
        values = [{c.name: _convert(v, c.type) for c, v in zip(columns, row)} for row in batch]
        if target_table.name == "settings":  # the source's values win over those the schema made
            keys += [value["name"] for value in values]
            writer.execute(target_table.delete().where(target_table.c.name.in_([v["name"] for v in values])))
        writer.execute(target_table.insert(), values)
        copied += len(values)
    source_rows = _count(reader, source_table)
    if target_table.name == "settings":
        target_rows = _count(writer, target_table, target_table.c.name.in_(keys)) if keys else 0
    else:
        target_rows = _count(writer, target_table)
    if copied != source_rows:  # the snapshot moved: cannot happen inside one read transaction
        raise MigrationError(f"{source_table.name}: read {copied} rows of {source_rows}")
    return Copied(target_table.name, source_rows, target_rows)


def _restart_sequences(writer, tables) -> None:
    """Rows came with their numbers: each table's counter goes on after the highest."""
    import sqlalchemy as sa

    for table in tables:
        for column in table.primary_key.columns:
            if not isinstance(column.type, sa.Integer):
                continue
            sequence = writer.execute(sa.text("SELECT pg_get_serial_sequence(:table, :column)"),
                                      {"table": table.name, "column": column.name}).scalar()
            if sequence:
                writer.execute(sa.text(
                    f'SELECT setval(:sequence, coalesce((SELECT max("{column.name}") FROM "{table.name}"), 0) + 1,'
                    " false)"), {"sequence": sequence})
