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

_EAGER_EXPORTS = ("ApprovalDeniedError", "ApprovalExpiredError", "ApprovalTimeoutError", "ZeltoCloudError")
# Names taken from a submodule on first use; a name that its module does not
# define (a handler left out of this build) is not offered at all.
_LAZY_EXPORTS = {
    "cloud_approval": "approval",
    "async_cloud_approval": "approval",
    "temporal_cloud_approval": "approval",
    "ZeltoCloudClient": "client",
    "AsyncZeltoCloudClient": "client",
    "ApproverCredential": "client",
    "DEFAULT_BASE_URL": "client",
    "DEFAULT_DASHBOARD_URL": "client",
}


def _lazy(name: str) -> Any:
    module = importlib.import_module(f"{__name__}.{_LAZY_EXPORTS[name]}")
    if not hasattr(module, name):
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(module, name)
    globals()[name] = value
    return value


def _existing_exports() -> list[str]:
    names = list(_EAGER_EXPORTS)
    for name in _LAZY_EXPORTS:
        try:
            _lazy(name)
        except (AttributeError, ImportError):
            continue
        names.append(name)
    return names


def __getattr__(name: str) -> Any:
    if name == "__all__":
        return _existing_exports()  # computed when asked for, so it names only what exists
    if name not in _LAZY_EXPORTS:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    return _lazy(name)


def __dir__() -> list[str]:
    return sorted({"__version__", *_existing_exports()})
