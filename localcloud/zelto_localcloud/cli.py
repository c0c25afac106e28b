"""The `zelto-localcloud` command.

    zelto-localcloud [serve] [--host H] [--port P] [--data-dir D] [--encoding hex|base64]
                     [--api-key KEY]... [--approver NAME]... [--access-log]
    zelto-localcloud connect-token [--data-dir D] [--lifetime-hours N]

At start the server prints one "name: value" line per setting (base url,
dashboard, api key, one "approver NAME" line each), then "ready".
"""

from __future__ import annotations

import argparse
import socket
import sys
import time
from pathlib import Path

from . import __version__
from .approvers import check_approver_name
from .config import DEFAULT_HOST, DEFAULT_PORT, CloudState, ServerConfig, default_data_dir, open_state
from .connect import DEFAULT_TOKEN_LIFETIME_SECONDS, mint_connect_token
from .store import Store
from .wire import ENCODINGS, iso_utc


def _approver_name(text: str) -> str:
    try:
        return check_approver_name(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _api_key(text: str) -> str:
    if not text or not all("!" <= c <= "~" for c in text):
        raise argparse.ArgumentTypeError("an API key is printable ASCII without spaces")
    return text


def _port(text: str) -> int:
    if not text.isdigit() or not 0 <= int(text) <= 65535:
        raise argparse.ArgumentTypeError(f"port must be a number from 0 to 65535, not {text!r}")
    return int(text)


def _serve_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="zelto-localcloud",
        description="A local approval cloud. Subcommand 'connect-token' mints a connect token.",
    )
    parser.add_argument("--host", default=DEFAULT_HOST, help=f"address to listen on (default {DEFAULT_HOST})")
    parser.add_argument("--port", type=_port, default=DEFAULT_PORT, help=f"port; 0 picks a free one (default {DEFAULT_PORT})")
    parser.add_argument("--data-dir", type=Path, default=None, help="data folder (default $ZELTO_LOCALCLOUD_DATA or ./.localcloud)")
    parser.add_argument("--encoding", choices=ENCODINGS, default="hex", help="text form of signed approvals (default hex)")
    parser.add_argument("--api-key", action="append", default=[], type=_api_key, help="also accept this API key (repeatable)")
    parser.add_argument("--approver", action="append", default=[], type=_approver_name, help="add an approver by name (repeatable)")
    parser.add_argument("--access-log", action="store_true", help="log every HTTP request")
    parser.add_argument("--version", action="version", version=f"zelto-localcloud {__version__}")
    return parser


def _connect_token_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="zelto-localcloud connect-token",
        description="Mint a connect token in the data folder; the server may be running.",
    )
    parser.add_argument("--data-dir", type=Path, default=None)
    parser.add_argument(
        "--lifetime-hours", type=float, default=DEFAULT_TOKEN_LIFETIME_SECONDS / 3600,
        help="how long the token may wait to be claimed (default 24)",
    )
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
    lines = [
        f"zelto-localcloud {__version__}",
        f"base url: {base_url}",
        f"dashboard: {base_url}/approvals",
        f"api key: {state.primary_api_key}",
        *(f"approver {a.name}: {a.public_key_hex}" for a in state.approvers.all()),
        f"data dir: {Path(state.config.data_dir).resolve()}",
        f"signed approvals: {state.config.encoding}",
        "ready",
    ]
    print("\n".join(lines), flush=True)


def serve(config: ServerConfig) -> int:
    import uvicorn

    from .app import create_app

    try:
        sock = _listening_socket(config.host, config.port)
    except OSError as exc:
        print(f"zelto-localcloud: cannot listen on {config.host}:{config.port}: {exc}", file=sys.stderr)
        return 1
    state = open_state(config)
    _print_banner(state, _base_url(sock))
    if config.host not in ("127.0.0.1", "localhost", "::1"):
        print(f"warning: the dashboard has no login; anyone who reaches {config.host} can approve", file=sys.stderr)
    server = uvicorn.Server(
        uvicorn.Config(
            create_app(state), lifespan="off", access_log=config.access_log,
            log_level="info", timeout_graceful_shutdown=5,
        )
    )
    try:
        server.run(sockets=[sock])
    finally:
        state.store.close()
        sock.close()
    return 0


def connect_token(argv: list[str]) -> int:
    args = _connect_token_parser().parse_args(argv)
    if args.lifetime_hours <= 0:
        print("zelto-localcloud: --lifetime-hours must be positive", file=sys.stderr)
        return 2
    store = Store(args.data_dir or default_data_dir())
    try:
        record = mint_connect_token(store, time.time(), args.lifetime_hours * 3600)
    finally:
        store.close()
    print(f"connect token: {record.token}\nagent id: {record.agent_id}\nexpires at: {iso_utc(record.expires_at)}")
    return 0


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["connect-token"]:
        return connect_token(argv[1:])
    if argv[:1] == ["serve"]:
        argv = argv[1:]
    args = _serve_parser().parse_args(argv)
    config = ServerConfig(
        data_dir=args.data_dir or default_data_dir(),
        host=args.host,
        port=args.port,
        encoding=args.encoding,
        extra_api_keys=tuple(args.api_key),
        approver_names=tuple(args.approver),
        access_log=args.access_log,
    )
    return serve(config)
