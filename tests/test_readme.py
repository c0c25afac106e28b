"""The README's quickstart, run exactly as written from the repository root, with alice approving."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import threading
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))

from dashboard_approver import DashboardApprover  # noqa: E402


def quickstart_block() -> str:
    readme = (ROOT / "README.md").read_text()
    section = readme.split("## Quickstart", 1)[1]
    return re.search(r"```sh\n(.*?)```", section, re.S).group(1)


def test_the_quickstart_runs_as_written(tmp_path):
    if not (ROOT / ".venv" / "bin" / "python").exists():
        pytest.skip("the quickstart runs the repository's .venv, which this run does not have")
    # The sanitizer run preloads its runtime into children; the quickstart's python is the plain one.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    shell = subprocess.Popen(["bash", "-c", quickstart_block()], cwd=ROOT, env=env, text=True,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    lines: list[str] = []
    timer = threading.Timer(120, shell.kill)  # the quickstart would wait five minutes for a person
    timer.start()
    try:
        for line in shell.stdout:
            lines.append(line)
            found = re.match(r"open (\S+)/approvals and sign in as alice, password (\S+)", line)
            if found:
                with DashboardApprover(found.group(1), "alice", found.group(2)) as alice:
                    alice.approve(alice.find_pending("w-quickstart", within_seconds=30))
        shell.wait(30)
    finally:
        timer.cancel()
        shell.kill()
    output = "".join(lines)
    assert shell.returncode == 0, output
    assert output.splitlines()[-1] == "transferred 250 to acct-7781", output
    assert "Traceback" not in output
