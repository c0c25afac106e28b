import gc
import os
import tracemalloc
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


def traced_growth(run, count: int, *, warm_up: int = 200) -> int:
    """Bytes still allocated after run(count), measured with tracemalloc after a warm-up."""
    gc.collect()
    tracemalloc.start()
    try:
        run(warm_up)
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        run(count)
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()


@pytest.fixture(scope="session")
def probe():
    """The test-only module that exercises support/ on its own (built on first use)."""
    from probe_build import load
    return load("support_probe")
