"""Observe-first environment contract shared by every Zelto integration."""

import os as os

_ENV_ENFORCEMENT: str
_ENV_DRY_RUN: str

def observe_first_from_env() -> bool: ...
