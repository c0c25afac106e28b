"""Zelto Cloud: cloud approval handlers and integrations for the Zelto SDK.

    from zelto_cloud import cloud_approval

    handler = cloud_approval(api_key)

The handlers and clients are loaded on first use, so importing the package
loads neither the SDK, nor Temporal, nor httpx.
"""

from __future__ import annotations

import importlib
import os
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


_NOT_BUILT = (
    "{module} is not built here: {folder} looks like a source checkout without its compiled extension"
    " modules. Run `make install` in the checkout (it builds them and links them in), or install the"
    " package with pip and start Python outside the checkout"
)


def _not_built(module_name: str) -> ImportError:
    return ImportError(_NOT_BUILT.format(module=module_name, folder=os.path.dirname(__file__)), name=module_name)


def _import_submodule(name: str) -> Any:
    full = f"{__name__}.{_LAZY_EXPORTS[name]}"
    try:
        module = importlib.import_module(full)
    except ImportError as exc:
        ours = str(exc.name).startswith(f"{__name__}.") or exc.name == _LAZY_EXPORTS[name]
        if not ours and not str(exc.path).startswith(os.path.dirname(__file__)):
            raise  # a dependency is missing, not this package's own module
        raise _not_built(full) from exc
    if getattr(module, "__file__", None) is None and not hasattr(module, name):
        # The C++ sources' folder, imported as a namespace package: nothing was built.
        missing = AttributeError(f"module {full!r} (the source folder {list(module.__path__)}) has no attribute {name!r}")
        raise _not_built(full) from missing
    return module


def _lazy(name: str) -> Any:
    module = _import_submodule(name)
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
