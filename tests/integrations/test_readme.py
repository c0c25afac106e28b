"""The README's runnable sections, each run as written, with alice approving: the quickstart from the
repository root, and the LangGraph and Temporal sections against a local cloud whose first start printed
the variables they use."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import threading
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples"))

from dashboard_approver import DashboardApprover  # noqa: E402
from temporal_helpers import TEMPORAL, DevServer  # noqa: E402
from zelto_localcloud.testing import LocalCloud  # noqa: E402


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


def readme_section(title: str) -> str:
    text = (ROOT / "README.md").read_text().split(f"\n### {title}\n", 1)[1]
    return re.split(r"\n##+ ", text, maxsplit=1)[0]


def code_blocks(text: str, language: str) -> list[str]:
    return re.findall(rf"```{language}\n(.*?)```", text, re.S)


def exported(lines: list[str]) -> dict[str, str]:
    """The variables that pasting the server's `export` lines sets."""
    pairs = [line.removeprefix("export ").split("#")[0].strip().split("=", 1)
             for line in lines if line.startswith("export ")]
    return dict(pairs)


# (section, file the program is saved as, index of the shell block that runs it, the line on which alice approves)
SECTIONS = [
    ("LangGraph", "agent.py", 0, r"approval gate for 'transfer_funds' - request (\S+) - (\S+)"),
    # Approved only once Temporal has retried the pending activity: the retry must not print a traceback.
    ("Temporal", "payments_worker.py", 1, r"resuming approval request (\S+) for"),
]


@pytest.mark.parametrize(("title", "file_name", "shell_index", "approve_on"), SECTIONS, ids=[s[0] for s in SECTIONS])
def test_the_integration_sections_run_as_written(tmp_path, title, file_name, shell_index, approve_on):
    if not (ROOT / ".venv" / "bin" / "python").exists():
        pytest.skip("the sections run the repository's .venv, which this run does not have")
    section = readme_section(title)
    (tmp_path / file_name).write_text(code_blocks(section, "python")[0])
    shell = code_blocks(section, "sh")[shell_index].replace(".venv/bin/", f"{ROOT}/.venv/bin/")
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("ZELTO_") and k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    server = None
    if title == "Temporal":
        if not TEMPORAL.exists():
            pytest.skip("no temporal binary")
        server = DevServer(tmp_path / "temporal").start()
        env["TEMPORAL_ADDRESS"] = server.address
    try:
        with LocalCloud(tmp_path / "cloud") as cloud:
            env |= exported(cloud.output)  # what the user pasted from the first start
            env["PYTHONUNBUFFERED"] = "1"
            output = run_until_done(shell, tmp_path, env, approve_on, cloud)
    finally:
        if server is not None:
            server.stop()
    assert output.splitlines()[-1] == "transferred 250 to acct-7781", output
    assert "Traceback" not in output and "WARNING" not in output, output
    if title == "LangGraph":
        assert f"{cloud.base_url}/approvals?request=apr_" in output, output  # the links follow the URL


def run_until_done(shell: str, folder: Path, env: dict, approve_on: str, cloud: LocalCloud) -> str:
    process = subprocess.Popen(["bash", "-e", "-c", shell], cwd=folder, env=env, text=True,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    lines: list[str] = []
    timer = threading.Timer(120, process.kill)  # each would wait for a person far longer
    timer.start()
    try:
        for line in process.stdout:
            lines.append(line)
            found = re.search(approve_on, line)
            if found:
                cloud.approve(found.group(1), "alice")
        process.wait(30)
    finally:
        timer.cancel()
        process.kill()
    output = "".join(lines)
    assert process.returncode == 0, output
    return output
