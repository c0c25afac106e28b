"""Temporal workers configured from the environment."""

import logging as logging
import os as os
from typing import Any, Callable, Optional, Sequence

from zelto.temporal import ZeltoPlugin as ZeltoPlugin
from zelto.temporal import ZeltoPluginConfig as _CoreZeltoPluginConfig
from zelto_core import SigningKey

from zelto_cloud.enforcement import observe_first_from_env as observe_first_from_env

logger: logging.Logger

def _load_signing_key_from_env(hex_key: str) -> SigningKey: ...
def _load_signing_key_from_secret_manager(secret_id: str, gcp_project: str) -> SigningKey: ...
def _resolve_signing_key(signing_key_hex: str, worker_secret_id: str, gcp_project: str) -> SigningKey: ...
def _maybe_connect_from_env(signing_key: Any = None) -> None: ...
def configure_temporal_worker(
    activity_fns: Sequence[Callable[..., Any]],
    *,
    api_key: Optional[str] = None,
    signing_key: Any = None,
    control_plane_url: Optional[str] = None,
    dashboard_root_key_hex: Optional[str] = None,
    authorizer_name: str = "temporal-worker",
    fast_poll_seconds: float = 2.0,
    fast_poll_attempts: int = 3,
) -> Any: ...
def _make_cloud_plugin_config_class() -> type: ...

class ZeltoPluginConfig(_CoreZeltoPluginConfig):
    """Drop-in replacement for the core ``zelto.temporal.ZeltoPluginConfig``."""

    @classmethod
    def from_env(cls, **overrides: Any) -> "ZeltoPluginConfig": ...
    def __post_init__(self) -> None: ...
