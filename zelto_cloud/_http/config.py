"""The client's defaults, the holder of its API key, and the checks of its configuration."""

from __future__ import annotations

import ipaddress
from typing import Any

import httpx

DEFAULT_BASE_URL = "https://api.zelto.cloud"
USER_AGENT = "zelto-cloud-python/0.1.0"
# Sent with every call; "Connection: keep-alive" as httpx sent it, so that a server sees the same requests.
HEADERS = {"Accept": "application/json", "Accept-Encoding": "identity", "Connection": "keep-alive",
           "User-Agent": USER_AGENT}
_LOOPBACK_NAMES = {"localhost", "localhost.localdomain"}


class Secret:
    """Holds an API key (or a connect token) so that no repr, log or frame shows it."""

    __slots__ = ("_value",)

    def __init__(self, value: Any) -> None:
        self._value = value

    def __repr__(self) -> str:
        return "Secret('***')"

    __str__ = __repr__

    def __reduce__(self):
        raise TypeError("an API key holder cannot be pickled")

    def reveal(self) -> str:
        return self._value

    def redact(self, text: str) -> str:
        value = self._value
        return text.replace(value, "***") if isinstance(value, str) and value else text


def checked_base_url(base_url: Any) -> str:
    if not isinstance(base_url, str):
        raise TypeError("base_url must be a string")
    try:
        url = httpx.URL(base_url)
    except httpx.InvalidURL as exc:
        raise ValueError(f"base_url {base_url!r} is not a valid URL") from exc
    if url.scheme not in ("http", "https") or not url.host:
        raise ValueError(f"base_url {base_url!r} must be an http or https URL with a host")
    return base_url.rstrip("/")


def checked_timeout(timeout: Any) -> float | None:
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError("timeout must be a number of seconds or None")
    if not timeout > 0:
        raise ValueError("timeout must be more than 0 seconds")
    return float(timeout)


def is_loopback(base_url: str) -> bool:
    host = httpx.URL(base_url).host
    if host.lower() in _LOOPBACK_NAMES:
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False
