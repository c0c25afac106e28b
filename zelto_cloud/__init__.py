"""Zelto Cloud: cloud approval handlers and integrations for the Zelto SDK.

    from zelto_cloud import cloud_approval

    handler = cloud_approval(api_key)

The handlers and clients are loaded on first use, so importing the package
loads neither the SDK, nor Temporal, nor httpx.
"""

from __future__ import annotations

import importlib
from typing import Any

from .exceptions import ApprovalDeniedError, ApprovalExpiredError, ApprovalTimeoutError, ZeltoCloudError

__version__ = "0.1.0"

_LAZY_EXPORTS = {
    "cloud_approval": "approval",
    "async_cloud_approval": "approval",
    "temporal_cloud_approval": "approval",
    "ZeltoCloudClient": "client",
    "AsyncZeltoCloudClient": "client",
    "DEFAULT_BASE_URL": "client",
    "DEFAULT_DASHBOARD_URL": "client",
}

__all__ = [
    "ApprovalDeniedError",
    "ApprovalExpiredError",
    "ApprovalTimeoutError",
    "ZeltoCloudError",
    *_LAZY_EXPORTS,
]


def __getattr__(name: str) -> Any:
    module_name = _LAZY_EXPORTS.get(name)
    if module_name is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f"{__name__}.{module_name}"), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY_EXPORTS))
