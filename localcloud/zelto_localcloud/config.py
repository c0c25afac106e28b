"""Server settings and the state opened from the data folder."""

from __future__ import annotations

import os
import secrets
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from . import events, outcomes
from .approver_queue import ApproverQueue
from .approvers import ApproverRegistry, ensure_approvers
from .credentials import PasswordChecks, SignInGuard, new_api_key, store_api_key, tenant_for_api_key
from .replicas import PollLog, SharedSignInGuard
from .service import ApprovalService, Clock, Quotas
from .services import Connect, Receipts, Records, Sessions
from .store import Store

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8787
DATA_DIR_ENV = "ZELTO_LOCALCLOUD_DATA"
APP_FOLDER = "zelto-localcloud"
MAX_BODY_BYTES = 1024 * 1024
PRIMARY_KEY_NAME = "primary"
GIVEN_KEY_NAME = "given at start"

# A client has this long to send a request's headers (from connecting, or from
# the end of its previous answer) and then its body; an idle keep-alive
# connection is closed after IDLE_TIMEOUT. Past MAX_CONCURRENCY open
# connections or running requests, new requests are answered 503 at once.
# IDLE_TIMEOUT outlasts the clients' own keep-alive expiry (httpx: 5 s): a
# server that closes first races the client's next request on that connection,
# which then fails with a reset.
HEADER_TIMEOUT = 10.0
BODY_TIMEOUT = 30.0
IDLE_TIMEOUT = 20.0
MAX_CONCURRENCY = 512
# One client address may hold at most this many connections; at either limit, idle keep-alive
# connections are closed to make room for a new one.
MAX_CONNECTIONS_PER_ADDRESS = 256
# What one agent API key may hold: requests pending at once, bytes of requests made in 24 hours.
MAX_PENDING_PER_KEY = Quotas.max_pending
MAX_BYTES_PER_KEY_DAY = Quotas.max_bytes_per_day
# The dashboard takes an agent to have given up on a request it has not read for this long.
AGENT_GONE_AFTER = 30.0


def default_data_dir() -> Path:
    """$ZELTO_LOCALCLOUD_DATA, else the platform's usual place for a user's application data."""
    if os.environ.get(DATA_DIR_ENV):
        return Path(os.environ[DATA_DIR_ENV])
    home = Path.home()
    if sys.platform == "darwin":
        base = home / "Library" / "Application Support"
    elif os.name == "nt":
        base = Path(os.environ.get("LOCALAPPDATA") or home / "AppData" / "Local")
    else:
        base = Path(os.environ.get("XDG_DATA_HOME") or home / ".local" / "share")
    return base / APP_FOLDER


@dataclass
class ServerConfig:
    data_dir: Path = field(default_factory=default_data_dir)
    database: str | None = None  # a postgresql:// URL; None: SQLite in the data folder
    host: str = DEFAULT_HOST
    port: int = DEFAULT_PORT
    encoding: str = "base64"
    extra_api_keys: tuple[str, ...] = ()
    approver_names: tuple[str, ...] = ()
    allowed_hosts: tuple[str, ...] = ()
    max_body_bytes: int = MAX_BODY_BYTES
    header_timeout: float = HEADER_TIMEOUT
    body_timeout: float = BODY_TIMEOUT
    idle_timeout: float = IDLE_TIMEOUT
    max_concurrency: int = MAX_CONCURRENCY
    max_connections_per_address: int = MAX_CONNECTIONS_PER_ADDRESS
    max_pending_per_key: int = MAX_PENDING_PER_KEY
    max_bytes_per_key_day: int = MAX_BYTES_PER_KEY_DAY
    agent_gone_after: float = AGENT_GONE_AFTER
    abandon_after: float = outcomes.ABANDON_AFTER  # 0: never
    access_log: bool = False


@dataclass
class CloudState:
    config: ServerConfig
    store: Store
    service: ApprovalService
    server_secret: str
    sign_ins: SignInGuard = field(default_factory=SignInGuard)
    password_checks: PasswordChecks = field(default_factory=PasswordChecks)
    # When an agent last read each request: `get(request_id)` (see replicas.PollLog, shared by the replicas).
    last_polls: Any = field(default_factory=dict)
    started_at: float = field(default_factory=time.time)
    # Secrets made at this start, shown once in the banner.
    new_api_key: str | None = None
    new_passwords: dict[str, str] = field(default_factory=dict)
    # The one clock of the server: every service below reads it.
    clock: Clock = time.time

    def __post_init__(self) -> None:
        self.sessions = Sessions(self.store, self.service.approvers, self.clock)
        self.receipts = Receipts(self.store, self.clock)
        self.connect = Connect(self.store, self.server_secret, self.clock)
        self.records = Records(self.store)
        self.queue = ApproverQueue(self.store, self.service, self.clock)

    @property
    def approvers(self) -> ApproverRegistry:
        return self.service.approvers

    def tenant_for(self, api_key: str) -> str | None:
        return tenant_for_api_key(self.store, api_key)

    def note_poll(self, request_id: str, now: float) -> None:
        if isinstance(self.last_polls, PollLog):
            self.last_polls.note(request_id, now)
            return
        if len(self.last_polls) > 100_000:
            self.last_polls.clear()
        self.last_polls[request_id] = now


def _stored_or_new_setting(store: Store, name: str, make) -> str:
    # Replicas starting together each offer a value; the first one stored is everybody's.
    with store.transaction():
        if store.setting(name) is None:
            store.execute("INSERT INTO settings (name, value) VALUES (?, ?) ON CONFLICT (name) DO NOTHING",
                          (name, make()))
    return store.setting(name)


def ensure_api_keys(store: Store, given: tuple[str, ...], now: float) -> str | None:
    """Stores the keys given at start; on a first start, makes the primary key and answers it."""
    with store.transaction():
        first_start = not store.api_keys()
        for key in given:
            store_api_key(store, key, GIVEN_KEY_NAME, now)
        if not first_start:
            return None
        key = new_api_key()
        store_api_key(store, key, PRIMARY_KEY_NAME, now)
    return key


def open_state(config: ServerConfig, clock: Clock = time.time) -> CloudState:
    store = Store(Path(config.data_dir), config.database)
    events.ensure_schema(store)
    now = clock()
    passwords = ensure_approvers(store, list(config.approver_names), now)
    state = CloudState(
        config=config,
        store=store,
        service=ApprovalService(
            store, ApproverRegistry(store), clock,
            quotas=Quotas(max_pending=config.max_pending_per_key, max_bytes_per_day=config.max_bytes_per_key_day),
        ),
        server_secret=_stored_or_new_setting(store, "server_secret", lambda: secrets.token_hex(32)),
        new_api_key=ensure_api_keys(store, tuple(config.extra_api_keys), now),
        new_passwords=passwords,
        started_at=now,
        clock=clock,
    )
    if store.dialect != "sqlite":
        # Servers sharing one database share these notes through it. A data folder has one server (its
        # lock says so), which keeps them in memory: no database work per agent read or approver call.
        state.last_polls = PollLog(store)
        state.sign_ins = SharedSignInGuard(store)
    state.service.abandoned_since = lambda record, now: outcomes.abandoned_since(state, record, now)
    return state
