"""A straightforward pure-Python redaction walk: the yardstick that the native
module is compared against, for results in the tests and for speed here."""

import re
from typing import Any

SECRET_KEYS = {
    "api_key", "apikey", "authorization", "client_secret",
    "connect_token", "registration_token", "secret", "token",
}
TOKEN_PATTERNS = [
    re.compile(r"zelto_ct_[A-Za-z0-9_-]+"),
    re.compile(r"tc_[A-Za-z0-9_-]{8,}"),
    re.compile(r"cs_[A-Za-z0-9_-]{8,}"),
    re.compile(r"Bearer\s+[A-Za-z0-9._~+/=-]+", re.IGNORECASE),
]
REDACTED = "<redacted>"


def is_secret_key(key: str) -> bool:
    normalised = key.lower().replace("-", "_")
    return normalised in SECRET_KEYS or normalised.endswith("_token") or normalised.endswith("_secret")


def redact_text(value: str) -> str:
    for pattern in TOKEN_PATTERNS:
        value = pattern.sub(REDACTED, value)
    return value


def redact(value: Any, *, key: str = "") -> Any:
    if key and is_secret_key(key):
        return REDACTED
    if isinstance(value, str):
        return redact_text(value)
    if isinstance(value, dict):
        items = value.items()
        return {str(k): redact(v, key=str(k)) for k, v in items}
    if isinstance(value, list):
        return [redact(item) for item in value]
    if isinstance(value, tuple):
        return tuple(redact(item) for item in value)
    return value
