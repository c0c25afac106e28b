"""The `zelto-localcloud` command.

    zelto-localcloud [serve] [--host H] [--port P] [--data-dir D] [--database URL] [--encoding hex|base64]
                     [--api-key KEY]... [--approver NAME]... [--allowed-host NAME]...
                     [--header-timeout S] [--idle-timeout S] [--max-concurrency N]
                     [--max-connections-per-address N] [--max-pending-per-key N]
                     [--max-bytes-per-key-day N] [--access-log]
    zelto-localcloud approver add|list|remove|set-password ...
    zelto-localcloud api-key add|list|remove ...
    zelto-localcloud connect-token [--data-dir D] [--lifetime-hours N]
    zelto-localcloud env [--data-dir D] [--new-api-key] [--approver NAME]
    zelto-localcloud migrate --from DATA_FOLDER --to postgresql://... [--replace]  (see migrate.py)
    zelto-localcloud approver notify ..., notifications ..., audit export|verify ...
        (see cli_notify_audit.py)

At start the server prints one "name: value" line per setting (base url,
dashboard, one "approver NAME" line each; the API key and approver passwords
made at this start, shown once; on the first start also the `export ZELTO_...`
lines that `env` prints again), then "ready".

`--database postgresql://...` (or $ZELTO_LOCALCLOUD_DATABASE) keeps everything
in that PostgreSQL database instead of the data folder's SQLite file; every
command takes it beside --data-dir.
"""

from __future__ import annotations

import argparse
import errno
import getpass
import os
import socket
import sqlite3
import sys
import time
from pathlib import Path

import psycopg

from . import __version__, cli_notify_audit
from .approvers import add_approver, check_approver_name
from .config import (
    AGENT_GONE_AFTER,
    BODY_TIMEOUT,
    DATA_DIR_ENV,
    DEFAULT_HOST,
    DEFAULT_PORT,
    HEADER_TIMEOUT,
    IDLE_TIMEOUT,
    MAX_BYTES_PER_KEY_DAY,
    MAX_CONCURRENCY,
    MAX_CONNECTIONS_PER_ADDRESS,
    MAX_PENDING_PER_KEY,
    CloudState,
    ServerConfig,
    default_data_dir,
    open_state,
)
from .connect import DEFAULT_TOKEN_LIFETIME_SECONDS, mint_connect_token
from .outcomes import ABANDON_AFTER
from .credentials import check_password_text, hash_password, new_api_key, new_password, store_api_key
from .store import DATABASE_ENV, Store, database_url
from .web import LOOPBACK_NAMES
from .wire import ENCODINGS, iso_utc

PROG = "zelto-localcloud"
_BASE_URL_FILE = "base-url"  # the address of the last start, for `env`


def _approver_name(text: str) -> str:
    try:
        return check_approver_name(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _api_key(text: str) -> str:
    if len(text) < 16 or not all("!" <= c <= "~" for c in text):
        raise argparse.ArgumentTypeError("an API key is at least 16 characters of printable ASCII without spaces")
    return text


def _port(text: str) -> int:
    if not text.isdigit() or not 0 <= int(text) <= 65535:
        raise argparse.ArgumentTypeError(f"port must be a number from 0 to 65535, not {text!r}")
    return int(text)


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 < value <= 3600:
        raise argparse.ArgumentTypeError(f"a time-out is a number of seconds above 0 and at most 3600, not {text!r}")
    return value


def _seconds_or_off(text: str) -> float:
    return 0.0 if text.strip() in ("0", "0.0", "off") else _seconds(text)


def _positive(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number above 0, not {text!r}")
    return int(text)


def _add_data_dir(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--data-dir", type=Path, default=None,
        help=f"data folder (default ${DATA_DIR_ENV}, else {default_data_dir()})"
    )
    parser.add_argument(
        "--database", default=None, metavar="URL",
        help=f"a postgresql://... database to keep everything in (default ${DATABASE_ENV}, else SQLite in the data"
             " folder)",
    )


def _use_database(url: str | None) -> str | None:
    """The database of this process (the delivery worker's store too); None: SQLite."""
    if url:
        os.environ[DATABASE_ENV] = url
    return database_url()


def _shown_url(url: str) -> str:
    """A database URL without its password."""
    from urllib.parse import urlsplit

    parts = urlsplit(url)
    if parts.password is None:
        return url
    return parts._replace(netloc=parts.netloc.replace(f":{parts.password}@", ":***@", 1)).geturl()


def _unusable_database(url: str, reason: object) -> int:
    return _fail(f"cannot use the database {_shown_url(url)}: {reason}. Check that it is running and the URL"
                 " (--database or $" + DATABASE_ENV + ")")


def _serve_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="A local approval cloud. Other subcommands: approver, api-key, connect-token,"
        " notifications, audit, env, migrate"
        f" (see '{PROG} SUBCOMMAND --help').",
    )
    parser.add_argument("--host", default=DEFAULT_HOST, help=f"address to listen on (default {DEFAULT_HOST})")
    parser.add_argument("--port", type=_port, default=DEFAULT_PORT, help=f"port; 0 picks a free one (default {DEFAULT_PORT})")
    _add_data_dir(parser)
    parser.add_argument("--encoding", choices=ENCODINGS, default="base64", help="text form of signed approvals (default base64)")
    parser.add_argument("--api-key", action="append", default=[], type=_api_key,
                        help="also accept this agent API key; its hash is stored (repeatable)")
    parser.add_argument("--approver", action="append", default=[], type=_approver_name,
                        help="add an approver by name if missing; its password is printed once (repeatable)")
    parser.add_argument("--allowed-host", action="append", default=[],
                        help="also answer requests whose Host header names this (repeatable); IP addresses,"
                             " localhost and the --host address are always allowed")
    parser.add_argument("--header-timeout", type=_seconds, default=HEADER_TIMEOUT,
                        help=f"seconds a client has to send a request's headers (default {HEADER_TIMEOUT:g})")
    parser.add_argument("--body-timeout", type=_seconds, default=BODY_TIMEOUT,
                        help=f"seconds a client has to send a request's body (default {BODY_TIMEOUT:g})")
    parser.add_argument("--idle-timeout", type=_seconds, default=IDLE_TIMEOUT,
                        help=f"seconds an idle keep-alive connection stays open (default {IDLE_TIMEOUT:g})")
    parser.add_argument("--max-concurrency", type=_positive, default=MAX_CONCURRENCY,
                        help=f"open connections or running requests above which requests get 503 (default {MAX_CONCURRENCY})")
    parser.add_argument("--max-connections-per-address", type=_positive, default=MAX_CONNECTIONS_PER_ADDRESS,
                        help="open connections one client address may hold"
                             f" (default {MAX_CONNECTIONS_PER_ADDRESS})")
    parser.add_argument("--max-pending-per-key", type=_positive, default=MAX_PENDING_PER_KEY,
                        help=f"pending requests one agent API key may hold (default {MAX_PENDING_PER_KEY})")
    parser.add_argument("--max-bytes-per-key-day", type=_positive, default=MAX_BYTES_PER_KEY_DAY,
                        help="bytes of requests one agent API key may store in 24 hours"
                             f" (default {MAX_BYTES_PER_KEY_DAY})")
    parser.add_argument("--agent-gone-after", type=_seconds, default=AGENT_GONE_AFTER,
                        help="seconds without a poll after which the dashboard says no agent is waiting"
                             f" (default {AGENT_GONE_AFTER:g})")
    parser.add_argument("--abandon-after", type=_seconds_or_off, default=ABANDON_AFTER,
                        help="seconds without a poll after which a pending request is shown as abandoned and is"
                             f" approved only with a confirmation; 0 turns this off (default {ABANDON_AFTER:g})")
    parser.add_argument("--access-log", action="store_true", help="log every HTTP request")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    return parser


def _listening_socket(host: str, port: int) -> socket.socket:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    # asyncio turns Nagle off only on sockets whose protocol is IPPROTO_TCP;
    # with protocol 0, every keep-alive answer would wait ~40 ms for an ACK.
    sock = socket.socket(family, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind((host, port))
    sock.listen(2048)
    return sock


def _base_url(sock: socket.socket) -> str:
    host, port = sock.getsockname()[:2]
    return f"http://[{host}]:{port}" if ":" in host else f"http://{host}:{port}"


def _print_banner(state: CloudState, base_url: str) -> None:
    lines = [f"{PROG} {__version__}", f"base url: {base_url}", f"dashboard: {base_url}/approvals"]
    if state.new_api_key:
        lines.append(f"api key: {state.new_api_key}")
    for approver in state.approvers.all():
        lines.append(f"approver {approver.name}: {approver.public_key_hex}")
        if approver.name in state.new_passwords:
            lines.append(f"password {approver.name}: {state.new_passwords[approver.name]}")
    if state.new_api_key or state.new_passwords:
        lines.append("note: the API key and passwords above are shown only now; the data folder keeps their hashes")
    if state.new_api_key:
        approvers = [(a.name, a.public_key_hex) for a in state.approvers.all()]
        lines += ["# to point zelto_cloud at this server, paste these into your shell (`zelto-localcloud env` prints them again)",
                  *_export_lines(base_url, state.new_api_key, approvers)]
    lines += [
        f"data dir: {Path(state.config.data_dir).resolve()}",
        f"signed approvals: {state.config.encoding}",
        "ready",
    ]
    print("\n".join(lines), flush=True)


def _export_lines(base_url: str, api_key: str | None, approvers: list[tuple[str, str]]) -> list[str]:
    """Shell lines that set the ZELTO_ variables for this server."""
    lines = [f"export ZELTO_CONTROL_PLANE_URL={base_url}"]
    if api_key:
        lines.append(f"export ZELTO_API_KEY={api_key}")
    if approvers:
        name, key = approvers[0]
        lines.append(f"export ZELTO_DASHBOARD_ROOT_KEY={key}  # approvals signed by {name} are trusted (Temporal)")
    return lines


def _record_base_url(data_dir: Path, base_url: str) -> None:
    try:
        (data_dir / _BASE_URL_FILE).write_text(base_url + "\n")
    except OSError:
        pass  # only `env` reads it, and it has a default


def _unusable_folder(data_dir: Path, reason: object) -> int:
    return _fail(
        f"cannot use the data folder {data_dir}: {reason}. Choose another folder with --data-dir"
        f" (or set {DATA_DIR_ENV})"
    )


def serve(config: ServerConfig) -> int:
    from .app import create_app
    from .server import DataFolderLock, uvicorn_server

    data_dir = Path(config.data_dir)
    if data_dir.exists() and not data_dir.is_dir():
        return _unusable_folder(data_dir, "it is a file, not a folder")
    try:
        data_dir.mkdir(parents=True, exist_ok=True, mode=0o700)
        lock = DataFolderLock(data_dir)
        holder = lock.acquire()
    except OSError as exc:
        return _unusable_folder(data_dir, exc.strerror or exc)
    if holder is not None:
        return _fail(
            f"another server is already using the data folder {data_dir.resolve()} ({holder}). Stop it,"
            " or give this one its own folder with --data-dir"
        )
    try:
        return _serve_locked(config, create_app, uvicorn_server)
    finally:
        lock.release()


def _serve_locked(config: ServerConfig, create_app, uvicorn_server) -> int:
    try:
        sock = _listening_socket(config.host, config.port)
    except OSError as exc:
        fix = (
            "stop the program that uses it, or choose another port with --port (--port 0 picks a free one)"
            if exc.errno == errno.EADDRINUSE
            else "check --host and --port"
        )
        return _fail(f"cannot listen on {config.host}:{config.port}: {exc.strerror or exc}; {fix}")
    try:
        state = open_state(config)
    except (OSError, sqlite3.Error, psycopg.Error, RuntimeError) as exc:
        sock.close()
        if config.database and not isinstance(exc, OSError):
            return _unusable_database(config.database, exc)
        return _unusable_folder(Path(config.data_dir), exc)
    _print_banner(state, _base_url(sock))
    _record_base_url(Path(config.data_dir), _base_url(sock))
    from .notify import DeliveryWorker

    delivery = DeliveryWorker(Path(config.data_dir), _base_url(sock)).start()
    if config.host not in LOOPBACK_NAMES:
        print(f"warning: listening on {config.host} over plain HTTP: approvers' passwords and sessions"
              " cross the network unencrypted", file=sys.stderr)
    server = uvicorn_server(create_app(state), config)
    try:
        server.run(sockets=[sock])
    finally:
        delivery.stop()
        state.store.close()
        sock.close()
    return 0


# -- managing the data folder -------------------------------------------------


def _read_password(from_stdin: bool) -> str | None:
    """A password typed by the person (or piped in), or None to generate one."""
    if not from_stdin:
        return None
    text = sys.stdin.readline().rstrip("\r\n") if not sys.stdin.isatty() else getpass.getpass("password: ")
    return check_password_text(text)


def _approver_command(args: argparse.Namespace, store: Store) -> int:
    if args.action == "notify":
        return cli_notify_audit.approver_notify(args, store)
    if args.action == "list":
        for record in store.approvers():
            print(f"{record.name}: {record.public_key}")
        return 0
    if args.action == "remove":
        with store.transaction():
            removed = store.remove_approver(args.name)
        if not removed:
            return _fail(f"no approver named {args.name}")
        print(f"removed approver {args.name}; their sessions have ended")
        return 0
    password = _read_password(args.password_stdin)
    shown = password is None
    password = password or new_password()
    with store.transaction():
        if args.action == "add":
            if store.approver(args.name) is not None:
                return _fail(f"an approver named {args.name} already exists")
            approver = add_approver(store, args.name, password, time.time())
            print(f"approver {approver.name}: {approver.public_key_hex}")
        elif not store.set_approver_password(args.name, hash_password(password)):
            return _fail(f"no approver named {args.name}")
    if shown:
        print(f"password {args.name}: {password}")
    return 0


def _api_key_command(args: argparse.Namespace, store: Store) -> int:
    if args.action == "list":
        for record in store.api_keys():
            print(f"{record.id}: {record.name} (added {iso_utc(record.created_at)})")
        return 0
    if args.action == "remove":
        with store.transaction():
            count = store.remove_api_keys(args.key)
        if not count:
            return _fail(f"no API key with the id or name {args.key}")
        print(f"removed {count} API key{'s' if count > 1 else ''}")
        return 0
    key = new_api_key()
    with store.transaction():
        key_id = store_api_key(store, key, args.name, time.time())
    print(f"api key: {key}\nid: {key_id}\nnote: the key is shown only now; the data folder keeps its hash")
    return 0


def _connect_token_command(args: argparse.Namespace, store: Store) -> int:
    if args.lifetime_hours <= 0:
        return _fail("--lifetime-hours must be positive", status=2)
    minted = mint_connect_token(store, time.time(), args.lifetime_hours * 3600)
    print(f"connect token: {minted.token}\nagent id: {minted.agent_id}\nexpires at: {iso_utc(minted.expires_at)}")
    return 0


def _env_command(args: argparse.Namespace, store: Store) -> int:
    try:
        base_url = (Path(args.data_dir or default_data_dir()) / _BASE_URL_FILE).read_text().strip()
    except OSError:
        base_url = f"http://{DEFAULT_HOST}:{DEFAULT_PORT}"
    approvers = [(record.name, record.public_key) for record in store.approvers()]
    if args.approver:
        approvers = [pair for pair in approvers if pair[0] == args.approver]
        if not approvers:
            return _fail(f"no approver named {args.approver}")
    api_key = None
    if args.new_api_key:
        api_key = new_api_key()
        with store.transaction():
            store_api_key(store, api_key, "env", time.time())
    for line in _export_lines(base_url, api_key, approvers):
        print(line)
    if api_key is None:
        print("# ZELTO_API_KEY is not repeated, a key is shown only when it is made (the data folder keeps its hash);"
              f" '{PROG} env --new-api-key' makes another (a new tenant)")
    return 0


def _fail(message: str, status: int = 1) -> int:
    print(f"{PROG}: {message}", file=sys.stderr)
    return status


def _management_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description="Manage the local cloud's data folder.")
    commands = parser.add_subparsers(dest="command", required=True)

    approver = commands.add_parser("approver", help="add, list or remove approvers, or set a password",
                                   description="Approvers sign in to the dashboard and approve or deny.")
    actions = approver.add_subparsers(dest="action", required=True)
    for action, text in (("add", "add an approver; a signing key is generated and kept in the data folder"),
                         ("set-password", "give an approver a new password; their sessions end")):
        sub = actions.add_parser(action, help=text, description=text)
        sub.add_argument("name", type=_approver_name, help="the approver's name, which they sign in with")
        sub.add_argument("--password-stdin", action="store_true",
                         help="read the password from standard input (at least 12 characters) instead of"
                              " generating one and printing it")
        _add_data_dir(sub)
    sub = actions.add_parser("remove", help="remove an approver and their key",
                             description="Remove an approver; decisions they made stay on record.")
    sub.add_argument("name", help="the approver's name")
    _add_data_dir(sub)
    sub = actions.add_parser("list", help="list approvers and their public keys")
    _add_data_dir(sub)
    cli_notify_audit.add_approver_notify(actions, _add_data_dir)

    api_key = commands.add_parser("api-key", help="add, list or remove agent API keys",
                                  description="Agent API keys create and read their own approval requests.")
    actions = api_key.add_subparsers(dest="action", required=True)
    sub = actions.add_parser("add", help="make a new API key (a new tenant) and print it once")
    sub.add_argument("--name", default="added", help="a label for the key (default 'added')")
    _add_data_dir(sub)
    sub = actions.add_parser("list", help="list the keys' ids and names (the keys themselves are not kept)")
    _add_data_dir(sub)
    sub = actions.add_parser("remove", help="remove keys by id or by name")
    sub.add_argument("key", help="a key id (key_...) or name")
    _add_data_dir(sub)

    token = commands.add_parser("connect-token", help="mint a connect token; the server may be running",
                                description="Mint a connect token in the data folder; the server may be running.")
    token.add_argument("--lifetime-hours", type=float, default=DEFAULT_TOKEN_LIFETIME_SECONDS / 3600,
                       help="how long the token may wait to be claimed (default 24)")
    _add_data_dir(token)
    cli_notify_audit.add_commands(commands, _add_data_dir)

    env = commands.add_parser("env", help="print export lines that point zelto_cloud at this server",
                              description="Print `export ZELTO_...` lines for this data folder's server: its last"
                                          " address, a dashboard root key and, on request, a new API key.")
    env.add_argument("--new-api-key", action="store_true",
                     help="make a new agent API key (a new tenant) and export it; keys are shown only when made")
    env.add_argument("--approver", type=_approver_name, default=None,
                     help="whose public key becomes ZELTO_DASHBOARD_ROOT_KEY (default: the first approver)")
    _add_data_dir(env)
    return parser


_MANAGEMENT = {"approver": _approver_command, "api-key": _api_key_command, "connect-token": _connect_token_command,
               "notifications": cli_notify_audit.notifications_command, "audit": cli_notify_audit.audit_command,
               "env": _env_command}


def _manage(argv: list[str]) -> int:
    args = _management_parser().parse_args(argv)
    if args.command == "audit" and args.action == "verify":  # offline: needs only the file
        try:
            return cli_notify_audit.audit_verify(args)
        except ValueError as exc:
            return _fail(str(exc), status=2)
    data_dir = args.data_dir or default_data_dir()
    if data_dir.exists() and not data_dir.is_dir():
        return _unusable_folder(data_dir, "it is a file, not a folder")
    try:
        database = _use_database(args.database)
    except RuntimeError as exc:
        return _fail(str(exc), status=2)
    try:
        store = Store(data_dir, database)
    except (OSError, sqlite3.Error, psycopg.Error, RuntimeError) as exc:
        if database and not isinstance(exc, OSError):
            return _unusable_database(database, exc)
        return _unusable_folder(data_dir, exc)
    try:
        return _MANAGEMENT[args.command](args, store)
    except ValueError as exc:
        return _fail(str(exc), status=2)
    finally:
        store.close()


def _migrate(argv: list[str]) -> int:
    from .migrate import MigrationError, migrate

    parser = argparse.ArgumentParser(
        prog=f"{PROG} migrate", description="Copy a data folder's database into an empty PostgreSQL database"
        " and compare the row counts of every table (sessions are not copied: approvers sign in again).")
    parser.add_argument("--from", dest="source", type=Path, required=True, metavar="DATA_FOLDER",
                        help="the data folder whose localcloud.db is copied (its server may be running)")
    parser.add_argument("--to", dest="target", required=True, metavar="URL", help="postgresql://USER@HOST:PORT/DB")
    parser.add_argument("--replace", action="store_true", help="empty the target first if it holds data")
    args = parser.parse_args(argv)
    if not args.target.startswith(("postgresql://", "postgres://", "postgresql+psycopg://")):
        return _fail(f"--to must be a postgresql://... URL, not {_shown_url(args.target)!r}", status=2)
    try:
        copied = migrate(args.source, args.target, replace=args.replace)
    except MigrationError as exc:
        return _fail(f"nothing was copied: {exc}")
    width = max(len(c.table) for c in copied)
    for c in copied:
        print(f"{c.table:<{width}}  {c.source_rows:>8} rows copied, {c.target_rows:>8} in the target")
    print(f"copied {sum(c.source_rows for c in copied)} rows of {len(copied)} tables from {args.source} to"
          f" {_shown_url(args.target)}; sessions were not copied (approvers sign in again)")
    return 0


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["migrate"]:
        return _migrate(argv[1:])
    if argv[:1] and argv[0] in _MANAGEMENT:
        return _manage(argv)
    if argv[:1] == ["serve"]:
        argv = argv[1:]
    args = _serve_parser().parse_args(argv)
    try:
        database = _use_database(args.database)
    except RuntimeError as exc:
        return _fail(str(exc), status=2)
    config = ServerConfig(
        data_dir=args.data_dir or default_data_dir(),
        database=database,
        host=args.host,
        port=args.port,
        encoding=args.encoding,
        extra_api_keys=tuple(args.api_key),
        approver_names=tuple(args.approver),
        allowed_hosts=tuple(args.allowed_host),
        header_timeout=args.header_timeout,
        body_timeout=args.body_timeout,
        idle_timeout=args.idle_timeout,
        max_concurrency=args.max_concurrency,
        max_connections_per_address=args.max_connections_per_address,
        max_pending_per_key=args.max_pending_per_key,
        max_bytes_per_key_day=args.max_bytes_per_key_day,
        agent_gone_after=args.agent_gone_after,
        abandon_after=args.abandon_after,
        access_log=args.access_log,
    )
    return serve(config)
