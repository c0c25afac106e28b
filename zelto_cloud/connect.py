"""Connect-token bootstrap of a new worker.

A connect token (``zelto_ct_...``, issued on the dashboard and handed to the
worker as ``ZELTO_CONNECT_TOKEN``) is exchanged with the cloud for the
worker's settings, and claims the pending agent identity for the worker's
public key.  Calling :func:`connect` on every start is safe: a repeated
claim counts as already active.
"""

from __future__ import annotations

import logging
import os
from dataclasses import dataclass, field

from ._http.calls import Call
from ._http.config import DEFAULT_BASE_URL, Secret, checked_base_url, checked_timeout
from ._http.exchange import send
from ._http.pools import SyncPool
from .client import DEFAULT_TIMEOUT, ZeltoCloudClient
from .exceptions import ZeltoCloudError

__all__ = ["Connection", "connect"]

logger = logging.getLogger("zelto_cloud.connect")

_ENV_TOKEN = "ZELTO_CONNECT_TOKEN"
_ENV_BASE_URL = "ZELTO_CONTROL_PLANE_URL"
_SETTING_PREFIX = "ZELTO_"


@dataclass
class Connection:
    """What a connect brought: the agent, its settings, and whether it is active.

    ``client`` opens a :class:`ZeltoCloudClient` with the API key from the
    settings (or the environment) on first use; :meth:`close` closes it.
    """

    agent_id: str
    settings: dict[str, str]
    base_url: str
    applied: list[str] = field(default_factory=list)
    claimed: bool = False
    already_active: bool = False
    _client: ZeltoCloudClient | None = field(default=None, init=False, repr=False, compare=False)

    def __repr__(self) -> str:
        # Settings hold the API key; only their names are shown.
        return (
            f"Connection(agent_id={self.agent_id!r}, settings={sorted(self.settings)!r}, "
            f"claimed={self.claimed}, already_active={self.already_active})"
        )

    @property
    def active(self) -> bool:
        return self.claimed or self.already_active

    @property
    def client(self) -> ZeltoCloudClient:
        if self._client is None:
            api_key = self.settings.get("ZELTO_API_KEY") or os.environ.get("ZELTO_API_KEY", "")
            if not api_key:
                raise ZeltoCloudError("the connect settings carry no ZELTO_API_KEY")
            self._client = ZeltoCloudClient(api_key, base_url=self.base_url)
        return self._client

    def close(self) -> None:
        if self._client is not None:
            self._client.close()
            self._client = None


def _exchange_answer(data: dict) -> dict:
    if not isinstance(data.get("agent_id"), str) or not data["agent_id"]:
        raise ValueError("exchange answer has no agent_id")
    settings = data.get("settings") or {}
    if not isinstance(settings, dict) or not all(
        isinstance(name, str) and isinstance(value, str) for name, value in settings.items()
    ):
        raise ValueError("exchange settings are not a mapping of text to text")
    return data


def _claim_answer(data: dict) -> dict:
    if not isinstance(data.get("status"), str):
        raise ValueError("claim answer has no status")
    return data


def _checked_public_key_hex(public_key_hex: str) -> str:
    try:
        raw = bytes.fromhex(public_key_hex)
    except (TypeError, ValueError):
        raw = b""
    if len(raw) != 32:
        raise ValueError("public_key_hex must be the 32-byte Ed25519 public key as hex text")
    return raw.hex()


def _send(pool: SyncPool, call: Call, token: str, timeout: float | None) -> dict:
    # The token is the credential of these calls: in the body, and kept out of any error.
    return send(pool, call, base_url=pool.base_url, timeout=timeout, secret=Secret(token))


def _claim(pool: SyncPool, token: str, public_key_hex: str, timeout: float | None) -> bool:
    """Claim the agent; True when it was claimed now, False when it already was."""
    call = Call("POST", "/v1/connect/claim", _claim_answer, body={"token": token, "public_key_hex": public_key_hex})
    try:
        _send(pool, call, token, timeout)
    except ZeltoCloudError as error:
        if error.status_code == 409 and error.code == "already_claimed":
            logger.info("agent already claimed for this key; counting it as active")
            return False
        raise
    return True


def _apply_to_environment(settings: dict[str, str]) -> list[str]:
    """Set the ZELTO_ settings that the environment does not already hold."""
    applied = []
    for name, value in settings.items():
        if not name.startswith(_SETTING_PREFIX):
            # Only our own variables; a cloud answer must not reach PATH and friends.
            logger.warning("ignoring connect setting %s: not a ZELTO_ variable", name)
        elif not os.environ.get(name):
            os.environ[name] = value
            applied.append(name)
    return applied


def connect(
    *,
    public_key_hex: str | None = None,
    claim: bool = True,
    apply_env: bool = True,
    token: str | None = None,
    base_url: str | None = None,
    timeout: float = DEFAULT_TIMEOUT,
) -> Connection:
    """Exchange the connect token for settings and claim the pending agent.

    The token comes from ``token`` or ``ZELTO_CONNECT_TOKEN``; the cloud from
    ``base_url``, ``ZELTO_CONTROL_PLANE_URL`` or the default.  With ``claim``
    and a ``public_key_hex``, the agent is claimed for that key.  With
    ``apply_env``, the returned ``ZELTO_`` settings are put into the
    environment where it does not already hold a value (what the operator set
    wins).  Nothing is applied when the exchange or the claim fails.

    Raises ZeltoCloudError when the token is missing or the cloud refuses.
    """
    token = token or os.environ.get(_ENV_TOKEN, "")
    if not token:
        raise ZeltoCloudError(f"no connect token: set {_ENV_TOKEN}")
    key_hex = _checked_public_key_hex(public_key_hex) if public_key_hex is not None else None
    seconds = checked_timeout(timeout)
    # A pool of its own, closed when done: these calls carry no API key.
    pool = SyncPool(checked_base_url(base_url or os.environ.get(_ENV_BASE_URL) or DEFAULT_BASE_URL))
    try:
        exchange = Call("POST", "/v1/connect/exchange", _exchange_answer, body={"token": token})
        exchanged = _send(pool, exchange, token, seconds)
        connection = Connection(
            agent_id=exchanged["agent_id"],
            settings=dict(exchanged.get("settings") or {}),
            base_url=pool.base_url,
        )
        if claim and key_hex is not None:
            connection.claimed = _claim(pool, token, key_hex, seconds)
            connection.already_active = not connection.claimed
        elif claim:
            logger.info("no public key given; the agent %s is not claimed", connection.agent_id)
    finally:
        pool.close()
    if apply_env:
        connection.applied = _apply_to_environment(connection.settings)
    return connection
