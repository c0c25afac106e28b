"""Run the local cloud as a subprocess, for tests and demos.

    with LocalCloud(tmp_path / "cloud") as cloud:
        httpx.get(cloud.base_url + "/v1/approvers",
                  headers={"Authorization": f"Bearer {cloud.api_key}"})
        cloud.approve(request_id, "alice")       # signs in as alice, then approves

The server listens on a free loopback port unless one is given. Its output
is collected in `output`; the settings it prints are parsed into attributes.
The API key and the approvers' passwords that the server shows once are kept
across restarts; for a data folder made elsewhere, the helper makes new ones
with the command line.

With $ZELTO_LOCALCLOUD_TEST_POSTGRES set to a PostgreSQL server's URL, each
data folder's server keeps its data in a database of its own on that server
instead (made on first use, from $ZELTO_LOCALCLOUD_TEST_TEMPLATE when set).
"""

from __future__ import annotations

import base64
import hashlib
import json
import os
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request
from pathlib import Path

_READY_LINE = "ready"
TEST_SERVER_ENV = "ZELTO_LOCALCLOUD_TEST_POSTGRES"
TEST_TEMPLATE_ENV = "ZELTO_LOCALCLOUD_TEST_TEMPLATE"
TEST_DATABASE_PREFIX = "lc_"


def database_for(data_dir: str | os.PathLike) -> str | None:
    """The PostgreSQL database that stands for this data folder on $ZELTO_LOCALCLOUD_TEST_POSTGRES's server
    (made now if new), or None when that is not set."""
    server = os.environ.get(TEST_SERVER_ENV)
    if not server:
        return None
    import psycopg

    name = TEST_DATABASE_PREFIX + hashlib.sha256(str(Path(data_dir).resolve()).encode()).hexdigest()[:24]
    template = os.environ.get(TEST_TEMPLATE_ENV) or "template0"
    with psycopg.connect(server, autocommit=True, connect_timeout=10) as admin:
        if admin.execute("SELECT 1 FROM pg_database WHERE datname = %s", (name,)).fetchone() is None:
            admin.execute(f'CREATE DATABASE "{name}" TEMPLATE "{template}"')
    return server.rsplit("/", 1)[0] + "/" + name


class LocalCloudError(RuntimeError):
    pass


def _no_proxy_opener() -> urllib.request.OpenerDirector:
    return urllib.request.build_opener(urllib.request.ProxyHandler({}))


class LocalCloud:
    def __init__(
        self,
        data_dir: str | os.PathLike,
        *,
        port: int = 0,
        host: str = "127.0.0.1",
        encoding: str = "base64",
        approvers: tuple[str, ...] | list[str] = (),
        api_keys: tuple[str, ...] | list[str] = (),
        startup_timeout: float = 30.0,
        python: str = sys.executable,
        server_args: tuple[str, ...] | list[str] = (),
    ):
        self.data_dir = Path(data_dir)
        self.port = port
        self.host = host
        self.encoding = encoding
        self.extra_approvers = tuple(approvers)
        self.extra_api_keys = tuple(api_keys)
        self.startup_timeout = startup_timeout
        self.python = python
        self.server_args = tuple(server_args)  # more serve options, e.g. ("--header-timeout", "1")
        self.database = database_for(self.data_dir)  # None: SQLite in the data folder
        self.process: subprocess.Popen | None = None
        self.output: list[str] = []
        self._settings: dict[str, str] = {}
        # Shown by the server only when made: kept here across restarts.
        self._api_key: str | None = None
        self._passwords: dict[str, str] = {}
        self._ready = threading.Event()
        self._reader: threading.Thread | None = None

    # -- what the server printed --------------------------------------------

    @property
    def base_url(self) -> str:
        return self._settings["base url"]

    @property
    def dashboard_url(self) -> str:
        return self._settings["dashboard"]

    @property
    def api_key(self) -> str:
        """An agent API key of this cloud (the primary one, when this helper saw it made)."""
        if self._api_key is None:
            self._api_key = self._manage("api-key", "add", "--name", "testing")["api key"]
        return self._api_key

    @property
    def approvers(self) -> dict[str, str]:
        """Approver name -> public key hex."""
        prefix = "approver "
        return {name[len(prefix):]: value for name, value in self._settings.items() if name.startswith(prefix)}

    @property
    def auth_headers(self) -> dict[str, str]:
        return {"Authorization": f"Bearer {self.api_key}"}

    def request_url(self, request_id: str) -> str:
        return f"{self.dashboard_url}?request={request_id}"

    # -- approvers --------------------------------------------------------------

    def approver_password(self, name: str) -> str:
        """The approver's password, set anew through the command line if this helper never saw it."""
        if name not in self._passwords:
            self._passwords[name] = self._manage("approver", "set-password", name)[f"password {name}"]
        return self._passwords[name]

    def approver_credential(self, name: str):
        """The client's credential for approver ``name`` (zelto_cloud.client.ApproverCredential)."""
        from zelto_cloud.client import ApproverCredential

        return ApproverCredential(name, self.approver_password(name))

    def approver_headers(self, name: str) -> dict[str, str]:
        """The Authorization header with which approver ``name`` calls the API."""
        pair = f"{name}:{self.approver_password(name)}".encode()
        return {"Authorization": "Basic " + base64.b64encode(pair).decode("ascii")}

    def approver_name(self, reference: str) -> str:
        """An approver's name from its name or its public key in hex."""
        by_key = {key.lower(): name for name, key in self.approvers.items()}
        return by_key.get(reference.lower(), reference)

    def approve(self, request_id: str, approver: str = "alice") -> dict:
        """Approves as ``approver`` (a name or public key hex), signed in as that approver."""
        return self._decide(request_id, "approve", approver, {})

    def deny(self, request_id: str, approver: str = "alice", reason: str | None = None) -> dict:
        """Denies as ``approver``, optionally with a reason."""
        return self._decide(request_id, "deny", approver, {} if reason is None else {"reason": reason})

    def _decide(self, request_id: str, action: str, approver: str, body: dict) -> dict:
        from urllib.parse import quote

        request = urllib.request.Request(
            f"{self.base_url}/v1/approvals/requests/{quote(request_id, safe='')}/{action}",
            data=json.dumps(body).encode(),
            headers={"Content-Type": "application/json", **self.approver_headers(self.approver_name(approver))},
            method="POST",
        )
        try:
            with _no_proxy_opener().open(request, timeout=30) as answer:
                return json.load(answer)
        except urllib.error.HTTPError as error:
            raise LocalCloudError(f"{action} {request_id} as {approver}: {error.code} {error.read()!r}") from None

    def _manage(self, *arguments: str) -> dict[str, str]:
        """Runs a data-folder subcommand; answers the "name: value" lines it printed."""
        result = subprocess.run(
            [*self._module_command(), *arguments, "--data-dir", str(self.data_dir)],
            capture_output=True, text=True, timeout=60, env=self.environment(),
        )
        if result.returncode != 0:
            raise LocalCloudError(f"{' '.join(arguments)} failed: {result.stdout!r} {result.stderr!r}")
        return dict(line.split(": ", 1) for line in result.stdout.splitlines() if ": " in line)

    # -- life cycle -----------------------------------------------------------

    def environment(self) -> dict[str, str]:
        """The environment for this cloud's server and commands (naming its database)."""
        if self.database is None:
            return dict(os.environ)
        return {**os.environ, "ZELTO_LOCALCLOUD_DATABASE": self.database}

    def command(self) -> list[str]:
        command = [
            *self._module_command(),
            "--host", self.host, "--port", str(self.port),
            "--data-dir", str(self.data_dir), "--encoding", self.encoding,
        ]
        for name in self.extra_approvers:
            command += ["--approver", name]
        for key in self.extra_api_keys:
            command += ["--api-key", key]
        return command + list(self.server_args)

    def _module_command(self) -> list[str]:
        # -P: run the installed packages, not same-named source folders in the working directory.
        return [self.python, "-P", "-m", "zelto_localcloud"]

    def start(self) -> "LocalCloud":
        if self.process is not None:
            raise LocalCloudError("the local cloud is already running")
        self.output, self._settings = [], {}
        self._ready.clear()
        self.process = subprocess.Popen(
            self.command(),
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            bufsize=1,
            env={**self.environment(), "PYTHONUNBUFFERED": "1"},
        )
        self._reader = threading.Thread(target=self._read_output, args=(self.process,), daemon=True)
        self._reader.start()
        self._wait_until_ready()
        # A restart comes back on the same port, so clients keep their base URL.
        self.port = int(self.base_url.rsplit(":", 1)[1])
        return self

    def _read_output(self, process: subprocess.Popen) -> None:
        for line in process.stdout:
            line = line.rstrip("\n")
            self.output.append(line)
            if self._ready.is_set():
                continue
            if line == _READY_LINE:
                self._ready.set()
            elif ": " in line:
                name, value = line.split(": ", 1)
                self._settings[name] = value
                if name == "api key":
                    self._api_key = value
                elif name.startswith("password "):
                    self._passwords[name.removeprefix("password ")] = value

    def _wait_until_ready(self) -> None:
        deadline = time.monotonic() + self.startup_timeout
        while not self._ready.wait(0.05):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self._fail("did not start")
        while not self._answers_health_check():
            if self.process.poll() is not None or time.monotonic() > deadline:
                self._fail("does not answer")
            time.sleep(0.05)

    def _answers_health_check(self) -> bool:
        try:
            with _no_proxy_opener().open(self.base_url + "/healthz", timeout=2) as answer:
                return json.load(answer).get("status") == "ok"
        except OSError:
            return False

    def _fail(self, what: str) -> None:
        self.stop()
        tail = "\n".join(self.output[-30:])
        raise LocalCloudError(f"the local cloud {what}; its output:\n{tail}")

    def stop(self, timeout: float = 10.0) -> None:
        """Stops the server gracefully (SIGTERM), killing it if it does not stop in time."""
        process, self.process = self.process, None
        if process is None:
            return
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        self._join_reader()

    def kill(self) -> None:
        """Ends the server abruptly (SIGKILL), as a crash would."""
        process, self.process = self.process, None
        if process is None:
            return
        process.kill()
        process.wait()
        self._join_reader()

    def _join_reader(self) -> None:
        if self._reader is not None:
            self._reader.join(5)
            self._reader = None

    def restart(self) -> "LocalCloud":
        self.stop()
        return self.start()

    def mint_connect_token(self, lifetime_hours: float = 24) -> str:
        """Mints a connect token in this server's data folder (the server may be running)."""
        printed = self._manage("connect-token", "--lifetime-hours", str(lifetime_hours))
        if "connect token" not in printed:
            raise LocalCloudError(f"connect-token printed no token: {printed!r}")
        return printed["connect token"]

    def __enter__(self) -> "LocalCloud":
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()
