"""Server settings and the state opened from the data folder."""

from __future__ import annotations

import hmac
import os
import secrets
import time
from dataclasses import dataclass, field
from pathlib import Path

from .approvers import ApproverRegistry, load_approvers
from .connect import new_api_key
from .service import ApprovalService
from .store import Store

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8787
DEFAULT_DATA_DIR = ".localcloud"
DATA_DIR_ENV = "ZELTO_LOCALCLOUD_DATA"
MAX_BODY_BYTES = 1024 * 1024
PRIMARY_KEY_LABEL = "primary"


def default_data_dir() -> Path:
    return Path(os.environ.get(DATA_DIR_ENV) or DEFAULT_DATA_DIR)


@dataclass
class ServerConfig:
    data_dir: Path = field(default_factory=default_data_dir)
    host: str = DEFAULT_HOST
    port: int = DEFAULT_PORT
    encoding: str = "hex"
    extra_api_keys: tuple[str, ...] = ()
    approver_names: tuple[str, ...] = ()
    max_body_bytes: int = MAX_BODY_BYTES
    access_log: bool = False


class ApiKeys:
    """The keys accepted as `Authorization: Bearer`: stored ones and those given at start."""

    def __init__(self, store: Store, extra: tuple[str, ...]):
        self._store = store
        self._known = set(store.api_keys()) | set(extra)

    def accepts(self, key: str) -> bool:
        if key in self._known:
            return True
        # Keys minted while running (connect exchange) are in the database.
        if self._store.has_api_key(key):
            self._known.add(key)
            return True
        return False


@dataclass
class CloudState:
    config: ServerConfig
    store: Store
    service: ApprovalService
    api_keys: ApiKeys
    primary_api_key: str
    form_secret: str

    @property
    def approvers(self) -> ApproverRegistry:
        return self.service.approvers

    def form_token_valid(self, token: str) -> bool:
        return hmac.compare_digest(token.encode("utf-8", "replace"), self.form_secret.encode())


def _stored_or_new_setting(store: Store, name: str, make) -> str:
    with store.transaction():
        value = store.setting(name)
        if value is None:
            value = make()
            store.set_setting(name, value)
    return value


def ensure_primary_api_key(store: Store, now: float) -> str:
    with store.transaction():
        key = store.first_api_key(PRIMARY_KEY_LABEL)
        if key is None:
            key = new_api_key()
            store.add_api_key(key, PRIMARY_KEY_LABEL, now)
    return key


def open_state(config: ServerConfig) -> CloudState:
    store = Store(Path(config.data_dir))
    now = time.time()
    approvers = load_approvers(store, list(config.approver_names), now)
    primary_api_key = ensure_primary_api_key(store, now)
    return CloudState(
        config=config,
        store=store,
        service=ApprovalService(store, approvers),
        api_keys=ApiKeys(store, tuple(config.extra_api_keys)),
        primary_api_key=primary_api_key,
        form_secret=_stored_or_new_setting(store, "form_secret", lambda: secrets.token_urlsafe(24)),
    )
