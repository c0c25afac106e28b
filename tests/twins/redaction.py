"""Secret redaction helpers for diagnostics and support output, in Python.

A straightforward pure-Python walk: the yardstick that the native module is
compared against, for results in the tests and for speed in the benchmarks.
Like the native module, it reads its constants and calls its functions through
the module globals, so replacing one changes what the others do.
"""

from __future__ import annotations

import re
from typing import Any, Dict, List

_SECRET_KEYS = {
    "api_key", "apikey", "authorization", "client_secret",
    "connect_token", "registration_token", "secret", "token",
}
_TOKEN_PATTERNS = [
    re.compile(r"zelto_ct_[A-Za-z0-9_-]+"),
    re.compile(r"tc_[A-Za-z0-9_-]{8,}"),
    re.compile(r"cs_[A-Za-z0-9_-]{8,}"),
    re.compile(r"Bearer\s+[A-Za-z0-9._~+/=-]+", re.IGNORECASE),
]
_REDACTED = "<redacted>"


def _is_secret_key(key: str) -> bool:
    normalised = key.lower().replace("-", "_")
    return normalised in _SECRET_KEYS or normalised.endswith("_token") or normalised.endswith("_secret")


def redact_text(value: str) -> str:
    """Redact Zelto credentials and bearer tokens from free-form text."""
    for pattern in _TOKEN_PATTERNS:
        value = pattern.sub(_REDACTED, value)
    return value


def redact(value: Any, *, key: str = "") -> Any:
    """Return ``value`` with known secret keys and token-like strings redacted."""
    if key and _is_secret_key(key):
        return _REDACTED
    if isinstance(value, str):
        return redact_text(value)
    if isinstance(value, dict):
        items = value.items()
        return {str(k): redact(v, key=str(k)) for k, v in items}
    if isinstance(value, list):
        return [redact(item) for item in value]
    if isinstance(value, tuple):
        return tuple([redact(item) for item in value])
    return value


def redact_dict(value: Dict[str, Any]) -> Dict[str, Any]:
    return redact(value)


def redact_list(value: List[Any]) -> List[Any]:
    return redact(value)
