"""Connect tokens: a new worker trades one for its settings and binds its public key.

An unclaimed token expires after its lifetime. A claimed token stays valid for
its agent, so a worker can exchange it again on every start.
"""

from __future__ import annotations

import secrets
from dataclasses import dataclass

from . import errors
from .credentials import api_key_id, connect_token_hash, derived_api_key, store_api_key, tenant_for_api_key
from .store import ConnectTokenRecord, Store

DEFAULT_TOKEN_LIFETIME_SECONDS = 24 * 3600


@dataclass(frozen=True)
class MintedToken:
    token: str
    agent_id: str
    expires_at: float


def mint_connect_token(store: Store, now: float, lifetime: float = DEFAULT_TOKEN_LIFETIME_SECONDS) -> MintedToken:
    """Stores a new token's hash; the token itself is shown once, to whoever minted it."""
    minted = MintedToken(token="zelto_ct_" + secrets.token_hex(20), agent_id="agt_" + secrets.token_hex(10),
                         expires_at=now + lifetime)
    record = ConnectTokenRecord(
        token_hash=connect_token_hash(minted.token),
        agent_id=minted.agent_id,
        created_at=now,
        expires_at=minted.expires_at,
        api_key_id=None,
        public_key=None,
        claimed_at=None,
    )
    with store.transaction():
        store.add_connect_token(record)
    return minted


def _usable_token(store: Store, token: str, now: float) -> ConnectTokenRecord:
    record = store.connect_token(connect_token_hash(token))
    if record is None:
        raise errors.unauthorized("unknown connect token")
    if record.claimed_at is None and now >= record.expires_at:
        raise errors.unauthorized("connect token has expired without being claimed")
    return record


def exchange(store: Store, server_secret: str, token: str, control_plane_url: str, now: float) -> dict:
    """Answers the agent's settings; its API key is the same on every exchange."""
    api_key = derived_api_key(server_secret, token)
    with store.transaction():
        record = _usable_token(store, token, now)
        if record.api_key_id is None:
            record.api_key_id = store_api_key(store, api_key, f"agent {record.agent_id}", now)
            store.set_connect_api_key(record.token_hash, record.api_key_id)
        elif record.api_key_id != api_key_id(api_key) or tenant_for_api_key(store, api_key) is None:
            raise errors.unauthorized(f"the API key of agent {record.agent_id} was removed; mint a new connect token")
    return {
        "agent_id": record.agent_id,
        "settings": {"ZELTO_API_KEY": api_key, "ZELTO_CONTROL_PLANE_URL": control_plane_url},
    }


def claim(store: Store, token: str, public_key_hex: str, now: float) -> dict:
    with store.transaction():
        record = _usable_token(store, token, now)
        # A key is bound only to a token that has none: of claims made at once (on several server
        # processes), exactly one binds its key.
        if record.public_key is None and store.claim_connect_token(record.token_hash, public_key_hex, now):
            return {"agent_id": record.agent_id, "status": "active"}
        bound = store.connect_token(record.token_hash).public_key
    if bound == public_key_hex:
        raise errors.conflict("already_claimed", f"agent {record.agent_id} is already active")
    raise errors.conflict(
        "claimed_by_another_key", f"agent {record.agent_id} is already claimed by another public key"
    )
