"""What an approver may see of a tool call's arguments.

Broader than zelto_cloud.redaction on purpose: that one follows a narrow rule
set for diagnostics, while a person deciding on a call must never be shown a
password, a key or a token. Values under secret-looking key names are masked
whole; inside text, credentials in URLs, key=value pairs that name a secret,
authorization headers and well-known token shapes are masked where they occur.
"""

from __future__ import annotations

import re
from typing import Any

MASK = "<redacted>"

# Words that make a key name secret, whatever its case and separators
# ("DB_PASSWORD", "apiKey", "x-session-id", "privateKeyPem").
_SECRET_WORDS = frozenset({
    "password", "passwd", "passphrase", "pwd", "secret", "secrets", "token", "tokens", "key", "keys",
    "apikey", "credential", "credentials", "private", "cookie", "cookies", "session", "auth",
    "authorization", "signature", "otp", "pin",
})
_SECRET_PARTS = ("password", "passwd", "secret", "token", "credential", "apikey", "privatekey", "cookie", "session")
_WORD = re.compile(r"[A-Z]+(?![a-z])|[A-Z]?[a-z]+|\d+")

_TEXT_RULES: list[tuple[re.Pattern[str], str]] = [
    # PEM private keys, also when cut off before their END line.
    (re.compile(r"-----BEGIN [A-Z0-9 ]*PRIVATE KEY-----.*?(?:-----END [A-Z0-9 ]*PRIVATE KEY-----|\Z)", re.S), MASK),
    # user:password@ in any URL.
    (re.compile(r"(?i)\b([a-z][a-z0-9+.-]*://[^\s/:@]*):[^\s@/]*@"), r"\1:" + MASK + "@"),
    # Authorization headers.
    (re.compile(r"(?i)\b(Basic|Bearer|Token|Digest)\s+[A-Za-z0-9._~+/=:-]{6,}"), r"\1 " + MASK),
    # password=..., "token": "..." inside text (shell commands, connection strings) ...
    (re.compile(
        r"(?i)([a-z0-9_-]*(?:password|passwd|pwd|secret|token|api[_-]?key|access[_-]?key|private[_-]?key"
        r"|credentials?|session|cookie)[\"']?\s*[=:]\s*)(\"[^\"]*\"|'[^']*'|[^\s\"'&;,]+)"
    ), r"\1" + MASK),
    # ... and --password value.
    (re.compile(r"(?i)(--?[a-z0-9-]*(?:password|passwd|secret|token|api-?key|access-?key)\s+)([^\s-][^\s]*)"),
     r"\1" + MASK),
    # mysql -psecret
    (re.compile(r"(?<=\s)-p(?!\s)[^\s\"']+"), "-p" + MASK),
    # Well-known token shapes.
    (re.compile(r"\b(?:AKIA|ASIA|AGPA|AIDA|AROA)[0-9A-Z]{16}\b"), MASK),  # cloud access key ids
    (re.compile(r"\bAIza[0-9A-Za-z_-]{35}\b"), MASK),  # cloud API keys
    (re.compile(r"\b(?:gh[pousr]_[A-Za-z0-9]{30,}|github_pat_[A-Za-z0-9_]{22,}|glpat-[A-Za-z0-9_-]{20,})"), MASK),
    (re.compile(r"\b(?:sk|rk|pk)[-_](?:live[-_]|test[-_]|proj[-_]|ant[-_])?[A-Za-z0-9_-]{16,}"), MASK),
    (re.compile(r"\bxox[abeoprs]-[A-Za-z0-9-]{10,}"), MASK),  # chat tokens
    (re.compile(r"\beyJ[A-Za-z0-9_-]{5,}\.eyJ[A-Za-z0-9_-]{5,}\.[A-Za-z0-9_-]+"), MASK),  # JWTs
    (re.compile(r"\bzelto_(?:lk|ct|as)_[A-Za-z0-9_-]+"), MASK),
    # A long run of base64 that follows a secret-looking word was caught above;
    # a bare 40-character cloud secret key is caught here.
    (re.compile(
        r"(?<![A-Za-z0-9/+=])(?=[A-Za-z0-9/+]{0,39}[A-Z])(?=[A-Za-z0-9/+]{0,39}[a-z])[A-Za-z0-9/+]{40}"
        r"(?![A-Za-z0-9/+=])"
    ), MASK),
]


def is_secret_key(name: str) -> bool:
    words = {word.lower() for word in _WORD.findall(name)}
    if words & _SECRET_WORDS:
        return True
    squeezed = re.sub(r"[^a-z0-9]", "", name.lower())
    return any(part in squeezed for part in _SECRET_PARTS)


def mask_text(text: str) -> str:
    for pattern, replacement in _TEXT_RULES:
        text = pattern.sub(replacement, text)
    return text


def mask(value: Any, key: str = "") -> Any:
    """A copy of JSON-like ``value`` with every secret it shows replaced by the marker."""
    stack_limit = 200  # JSON bodies nest at most 64 levels; this is a backstop
    return _mask(value, key, stack_limit)


def _mask(value: Any, key: str, depth: int) -> Any:
    if depth <= 0:
        return MASK
    if key and is_secret_key(key) and value not in (None, "", [], {}):
        return MASK
    if isinstance(value, str):
        return mask_text(value)
    if isinstance(value, dict):
        return {str(k): _mask(v, str(k), depth - 1) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_mask(item, "", depth - 1) for item in value]
    return value


def contains_mask(value: Any) -> bool:
    if isinstance(value, str):
        return MASK in value
    if isinstance(value, dict):
        return any(contains_mask(v) for v in value.values())
    if isinstance(value, list):
        return any(contains_mask(v) for v in value)
    return False
