import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def run_python(code: str, *, env: dict | None = None, timeout: float = 60) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter of this environment."""
    full_env = {**os.environ, **(env or {})}
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=full_env, timeout=timeout, cwd="/")


@pytest.fixture
def fresh_python():
    return run_python
