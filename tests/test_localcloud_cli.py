"""The zelto-localcloud command in subprocesses: its data folder, its lock, its stops and its explanations."""

from __future__ import annotations

import argparse
import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest
from zelto_localcloud import cli
from zelto_localcloud.testing import LocalCloud, database_for

# Every test here runs on SQLite and on PostgreSQL.
pytestmark = pytest.mark.usefixtures("database_backend")

COMMAND = [sys.executable, "-P", "-m", "zelto_localcloud"]


def database_of(arguments) -> dict:
    """The environment naming the database of the --data-dir among `arguments` (when tests run on PostgreSQL)."""
    if "--data-dir" not in arguments:
        return {}
    database = database_for(arguments[list(arguments).index("--data-dir") + 1])
    return {} if database is None else {"ZELTO_LOCALCLOUD_DATABASE": database}


def run(*arguments: str, env: dict | None = None, timeout: float = 60) -> subprocess.CompletedProcess:
    return subprocess.run([*COMMAND, *arguments], capture_output=True, text=True, timeout=timeout,
                          env={**os.environ, **database_of(arguments), **(env or {})}, stdin=subprocess.DEVNULL)


def start_server(data_dir: Path) -> subprocess.Popen:
    process = subprocess.Popen([*COMMAND, "--port", "0", "--data-dir", str(data_dir)], stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True, stdin=subprocess.DEVNULL,
                               env={**os.environ, **database_of(["--data-dir", data_dir])})
    deadline = time.monotonic() + 30
    for line in process.stdout:
        if line.strip() == "ready" or time.monotonic() > deadline:
            break
    return process


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM], ids=["ctrl-c", "sigterm"])
def test_a_stop_request_exits_0_without_a_traceback(tmp_path, stop):
    process = start_server(tmp_path / "data")
    try:
        time.sleep(0.3)
        process.send_signal(stop)
        output, _ = process.communicate(timeout=30)
    finally:
        process.kill()
    assert process.returncode == 0 and "Traceback" not in output, output


def test_a_second_server_on_the_same_data_folder_is_refused(tmp_path):
    with LocalCloud(tmp_path / "shared") as first:
        second = run("--port", "0", "--data-dir", str(first.data_dir))
        assert second.returncode == 1
        assert "already using the data folder" in second.stderr and "--data-dir" in second.stderr
        assert "Traceback" not in second.stderr
        # Managing the folder while the server runs is fine.
        assert run("approver", "list", "--data-dir", str(first.data_dir)).returncode == 0
    # The lock goes with the server, even one that was killed.
    crashed = LocalCloud(tmp_path / "shared").start()
    crashed.kill()
    assert LocalCloud(tmp_path / "shared").start().stop() is None


def test_unusable_folders_and_busy_ports_are_explained(tmp_path):
    a_file = tmp_path / "a-file"
    a_file.write_text("not a folder")
    for arguments in (("--port", "0"), ("approver", "list")):
        result = run(*arguments, "--data-dir", str(a_file))
        assert result.returncode == 1 and "not a folder" in result.stderr and "--data-dir" in result.stderr
    locked = tmp_path / "read-only"
    locked.mkdir(mode=0o500)
    if os.access(locked, os.W_OK):
        pytest.skip("running as a user who may write anywhere")
    result = run("--port", "0", "--data-dir", str(locked / "data"))
    assert result.returncode == 1 and "cannot use the data folder" in result.stderr and "Traceback" not in result.stderr


def test_a_busy_port_names_the_fix(tmp_path):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        result = run("--port", str(taken.getsockname()[1]), "--data-dir", str(tmp_path / "data"))
    assert result.returncode == 1 and "cannot listen" in result.stderr and "--port 0" in result.stderr


def test_the_default_data_folder_is_the_users_own(tmp_path):
    env = {"HOME": str(tmp_path / "home"), "XDG_DATA_HOME": str(tmp_path / "xdg"), "ZELTO_LOCALCLOUD_DATA": ""}
    assert run("approver", "add", "zoe", env=env).returncode == 0
    assert (tmp_path / "xdg" / "zelto-localcloud" / "localcloud.db").exists()
    help_text = run("--help", env=env).stdout
    assert str(tmp_path / "xdg" / "zelto-localcloud") in help_text.replace("\n", "").replace(" ", "")


def _parsers(parser: argparse.ArgumentParser):
    yield parser
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            for sub in action.choices.values():
                yield from _parsers(sub)


def test_every_option_of_every_subcommand_is_explained_in_help():
    undocumented = [
        f"{parser.prog} {action.dest}"
        for root in (cli._serve_parser(), cli._management_parser())
        for parser in _parsers(root)
        for action in parser._actions
        if not isinstance(action, (argparse._HelpAction, argparse._SubParsersAction)) and not action.help
    ]
    assert undocumented == []


def exports(text: str) -> dict[str, str]:
    """What pasting the `export` lines into a shell would set."""
    found = {}
    for line in text.splitlines():
        if line.startswith("export "):
            name, value = line.removeprefix("export ").split("#")[0].strip().split("=", 1)
            found[name] = value
    return found


def test_the_first_start_and_env_print_working_exports(tmp_path):
    from zelto_cloud.client import ZeltoCloudClient

    with LocalCloud(tmp_path / "data") as cloud:
        first = exports("\n".join(cloud.output))
        assert first == {"ZELTO_CONTROL_PLANE_URL": cloud.base_url, "ZELTO_API_KEY": cloud.api_key,
                         "ZELTO_DASHBOARD_ROOT_KEY": cloud.approvers["alice"]}
        again = run("env", "--data-dir", str(cloud.data_dir))
        assert again.returncode == 0 and exports(again.stdout) == {
            name: first[name] for name in ("ZELTO_CONTROL_PLANE_URL", "ZELTO_DASHBOARD_ROOT_KEY")}, again.stdout
        assert "--new-api-key" in again.stdout
        fresh = exports(run("env", "--new-api-key", "--approver", "bob", "--data-dir", str(cloud.data_dir)).stdout)
        assert fresh["ZELTO_DASHBOARD_ROOT_KEY"] == cloud.approvers["bob"]
        for key in (first["ZELTO_API_KEY"], fresh["ZELTO_API_KEY"]):
            with ZeltoCloudClient(key, base_url=first["ZELTO_CONTROL_PLANE_URL"]) as client:
                assert client.list_requests(limit=1) == []
    restarted = LocalCloud(tmp_path / "data").start()
    try:  # later starts show no secrets, so no export lines
        assert not exports("\n".join(restarted.output))
    finally:
        restarted.stop()
    assert run("env", "--approver", "zed", "--data-dir", str(tmp_path / "data")).returncode == 1
