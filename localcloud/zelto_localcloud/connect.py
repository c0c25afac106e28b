"""Connect tokens: a new worker trades one for its settings and binds its public key.

An unclaimed token expires after its lifetime. A claimed token stays valid for
its agent, so a worker can exchange it again on every start.
"""

from __future__ import annotations

import secrets

from . import errors
from .store import ConnectTokenRecord, Store

DEFAULT_TOKEN_LIFETIME_SECONDS = 24 * 3600


def new_api_key() -> str:
    return "zelto_lk_" + secrets.token_hex(20)


def mint_connect_token(store: Store, now: float, lifetime: float = DEFAULT_TOKEN_LIFETIME_SECONDS) -> ConnectTokenRecord:
    record = ConnectTokenRecord(
        token="zelto_ct_" + secrets.token_hex(20),
        agent_id="agt_" + secrets.token_hex(10),
        created_at=now,
        expires_at=now + lifetime,
        api_key=None,
        public_key=None,
        claimed_at=None,
    )
    with store.transaction():
        store.add_connect_token(record)
    return record


def _usable_token(store: Store, token: str, now: float) -> ConnectTokenRecord:
    record = store.connect_token(token)
    if record is None:
        raise errors.unauthorized("unknown connect token")
    if record.claimed_at is None and now >= record.expires_at:
        raise errors.unauthorized("connect token has expired without being claimed")
    return record


def exchange(store: Store, token: str, control_plane_url: str, now: float) -> dict:
    """Answers the agent's settings; its API key is minted on the first exchange."""
    with store.transaction():
        record = _usable_token(store, token, now)
        if record.api_key is None:
            record.api_key = new_api_key()
            store.add_api_key(record.api_key, f"agent {record.agent_id}", now)
            store.set_connect_api_key(token, record.api_key)
    return {
        "agent_id": record.agent_id,
        "settings": {"ZELTO_API_KEY": record.api_key, "ZELTO_CONTROL_PLANE_URL": control_plane_url},
    }


def claim(store: Store, token: str, public_key_hex: str, now: float) -> dict:
    with store.transaction():
        record = _usable_token(store, token, now)
        if record.public_key == public_key_hex:
            raise errors.conflict("already_claimed", f"agent {record.agent_id} is already active")
        if record.public_key is not None:
            raise errors.conflict(
                "claimed_by_another_key", f"agent {record.agent_id} is already claimed by another public key"
            )
        store.claim_connect_token(token, public_key_hex, now)
    return {"agent_id": record.agent_id, "status": "active"}
