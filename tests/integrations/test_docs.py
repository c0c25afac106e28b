"""The API reference builds from the docstrings and stubs without a single pdoc warning (as `make docs`)."""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def test_the_api_reference_builds_without_warnings(tmp_path):
    pytest.importorskip("pdoc")
    result = subprocess.run([sys.executable, "-P", str(ROOT / "tools" / "build-docs"), str(tmp_path)],
                            capture_output=True, text=True, timeout=300, stdin=subprocess.DEVNULL)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stderr == "", result.stderr
    pages = {path.stem for path in (tmp_path / "zelto_cloud").glob("*.html")}
    assert {"approval", "langgraph", "temporal", "client", "doctor"} <= pages
    # Taken from the stubs and the real signatures, not (*args, **kwargs).
    langgraph = re.sub(r"<[^>]+>", "", (tmp_path / "zelto_cloud" / "langgraph.html").read_text())
    assert "dry_run: bool | None = None" in langgraph and "warrant: zelto.warrant.Warrant | None" in langgraph
