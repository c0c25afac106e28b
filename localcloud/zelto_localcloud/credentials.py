"""The two kinds of credential, and the dashboard's sessions.

An agent API key (``zelto_lk_...``) is a tenant: it creates, reads and lists
its own approval requests and posts receipts. An approver signs in with a name
and a password; only an approver can approve or deny, and the approval is
signed with that approver's key.

Only hashes are stored of what the server merely checks: API keys, session
tokens and connect tokens hold at least 160 random bits, so SHA-256 suffices;
passwords may be chosen by a person, so they get salted scrypt.
"""

from __future__ import annotations

import base64
import binascii
import functools
import hashlib
import hmac
import secrets
import threading
import time
from dataclasses import dataclass

from .store import SessionRecord, Store

API_KEY_PREFIX = "zelto_lk_"
MIN_PASSWORD_LENGTH = 12
MAX_PASSWORD_LENGTH = 1024
SESSION_SECONDS = 12 * 3600
# After this many wrong passwords for one approver within the window, that
# approver's sign-in is refused until the window has passed.
MAX_FAILED_SIGN_INS = 10
FAILED_SIGN_IN_WINDOW_SECONDS = 60.0

_SCRYPT_N, _SCRYPT_R, _SCRYPT_P = 2**14, 8, 1


def _sha256_hex(text: str) -> str:
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


# -- agent API keys ---------------------------------------------------------


def new_api_key() -> str:
    return API_KEY_PREFIX + secrets.token_hex(20)


def api_key_hash(key: str) -> str:
    return _sha256_hex(key)


def api_key_id(key: str) -> str:
    """The key's public name, which is also its tenant's: derived from the key, never revealing it."""
    return "key_" + _sha256_hex("zelto-localcloud key id\x00" + key)[:16]


def store_api_key(store: Store, key: str, name: str, now: float) -> str:
    """Stores the key's hash (a key already stored keeps its name); answers the key's id."""
    key_id = api_key_id(key)
    store.add_api_key(key_id, api_key_hash(key), name, now)
    return key_id


def tenant_for_api_key(store: Store, key: str) -> str | None:
    return store.api_key_id_for_hash(api_key_hash(key))


def derived_api_key(server_secret: str, token: str) -> str:
    """The API key of a connect token's agent: the same on every exchange, yet never stored."""
    digest = hmac.new(server_secret.encode(), b"connect api key\x00" + token.encode(), hashlib.sha256)
    return API_KEY_PREFIX + digest.hexdigest()[:40]


def connect_token_hash(token: str) -> str:
    return _sha256_hex(token)


# -- approver passwords -------------------------------------------------------


def new_password() -> str:
    return secrets.token_urlsafe(18)


def check_password_text(password: str) -> str:
    if not MIN_PASSWORD_LENGTH <= len(password) <= MAX_PASSWORD_LENGTH:
        raise ValueError(f"a password has {MIN_PASSWORD_LENGTH} to {MAX_PASSWORD_LENGTH} characters")
    if password != password.strip():
        raise ValueError("a password does not start or end with white space")
    return password


def _scrypt(password: str, salt: bytes, n: int, r: int, p: int) -> bytes:
    return hashlib.scrypt(password.encode("utf-8"), salt=salt, n=n, r=r, p=p, dklen=32, maxmem=64 * 1024 * 1024)


def hash_password(password: str) -> str:
    salt = secrets.token_bytes(16)
    digest = _scrypt(password, salt, _SCRYPT_N, _SCRYPT_R, _SCRYPT_P)
    return f"scrypt${_SCRYPT_N}${_SCRYPT_R}${_SCRYPT_P}${salt.hex()}${digest.hex()}"


def password_matches(password: str, stored: str) -> bool:
    try:
        kind, n, r, p, salt, digest = stored.split("$")
        if kind != "scrypt":
            return False
        computed = _scrypt(password, bytes.fromhex(salt), int(n), int(r), int(p))
    except (ValueError, UnicodeEncodeError):
        return False
    return hmac.compare_digest(computed, bytes.fromhex(digest))


@functools.cache
def _unknown_approver_hash() -> str:
    return hash_password(secrets.token_urlsafe(18))


class SignInGuard:
    """Checks approver passwords, slowly by design, and throttles guessing.

    A successful check is remembered for the stored hash it matched (a new
    password makes a new hash), so scripted approvers that send their
    credential with every call pay for scrypt once.
    """

    def __init__(self, clock=time.monotonic):
        self._clock = clock
        self._lock = threading.Lock()
        self._verified: set[tuple[str, str, str]] = set()
        self._failures: dict[str, list[float]] = {}

    def throttled(self, name: str) -> bool:
        with self._lock:
            recent = self._recent_failures(name)
            return len(recent) >= MAX_FAILED_SIGN_INS

    def _recent_failures(self, name: str) -> list[float]:
        cutoff = self._clock() - FAILED_SIGN_IN_WINDOW_SECONDS
        recent = [t for t in self._failures.get(name, []) if t > cutoff]
        if recent:
            self._failures[name] = recent
        else:
            self._failures.pop(name, None)
        return recent

    def remembered(self, name: str, password: str, stored_hash: str | None) -> bool:
        """Whether this very password was checked against this very hash before (fast)."""
        if stored_hash is None:
            return False
        with self._lock:
            return (name, _sha256_hex(password), stored_hash) in self._verified

    def check(self, name: str, password: str, stored_hash: str | None) -> bool:
        """Runs scrypt: call it off the event loop."""
        if stored_hash is None:
            # Unknown names cost as much as known ones, so timing does not tell them apart.
            password_matches(password, _unknown_approver_hash())
            ok = False
        else:
            ok = password_matches(password, stored_hash)
        with self._lock:
            if ok:
                if len(self._verified) > 1024:
                    self._verified.clear()
                self._verified.add((name, _sha256_hex(password), stored_hash))
            else:
                if len(self._failures) > 10_000:  # guesses at many names must not grow this for ever
                    self._failures.clear()
                self._recent_failures(name)
                self._failures.setdefault(name, []).append(self._clock())
        return ok


def basic_credentials(value: str) -> tuple[str, str] | None:
    """Name and password of an `Authorization: Basic` value, or None when it is malformed."""
    try:
        decoded = base64.b64decode(value.strip(), validate=True).decode("utf-8")
    except (binascii.Error, ValueError):
        return None
    name, colon, password = decoded.partition(":")
    if not colon or not name or not password:
        return None
    return name, password


# -- dashboard sessions -------------------------------------------------------


@dataclass(frozen=True)
class NewSession:
    token: str
    form_token: str
    expires_at: float


def open_session(store: Store, approver: str, now: float) -> NewSession:
    token, form_token = secrets.token_urlsafe(24), secrets.token_urlsafe(24)
    expires_at = now + SESSION_SECONDS
    with store.transaction():
        store.remove_expired_sessions(now)
        store.add_session(_sha256_hex(token), approver, form_token, now, expires_at)
    return NewSession(token, form_token, expires_at)


def session_for(store: Store, token: str, now: float) -> SessionRecord | None:
    return store.session(_sha256_hex(token), now) if token else None


def close_session(store: Store, token: str) -> None:
    with store.transaction():
        store.remove_session(_sha256_hex(token))


def same_secret(given: str, expected: str) -> bool:
    return hmac.compare_digest(given.encode("utf-8", "replace"), expected.encode("utf-8"))
