"""A PostgreSQL server of the test run's own: a cluster in a temporary folder on a free loopback port.

`PostgresServer.start()` runs initdb and pg_ctl (as the `postgres` user when the run is root, which
initdb refuses to be), `database()` makes a fresh empty database from the cluster's template, and
`stop()` shuts it down fast. `restart()` stops and starts the same cluster (an outage in a test).
"""

from __future__ import annotations

import glob
import itertools
import os
import shutil
import socket
import subprocess
import time
from pathlib import Path

USER = "zelto"


def server_binaries() -> Path | None:
    """The folder of the newest installed PostgreSQL's server programs, None when there is none."""
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"), key=lambda p: int(Path(p).parent.parent.name))
    return Path(found[-1]).parent if found else None


def _free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


# What a sanitized test run preloads into its own processes (tools/run-sanitized) is no business of the
# database server's: under those runtimes initdb alone takes minutes.
_NOT_FOR_THE_SERVER = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")


def _server_environment() -> dict[str, str]:
    return {name: value for name, value in os.environ.items() if name not in _NOT_FOR_THE_SERVER}


class PostgresServer:
    def __init__(self, folder: Path, port: int | None = None):
        binaries = server_binaries()
        if binaries is None:
            raise RuntimeError("PostgreSQL's server programs are not installed (make setup installs them)")
        self.bin = binaries
        self.folder = Path(folder)
        self.data = self.folder / "data"
        self.port = port or _free_port()
        self._names = itertools.count(1)
        self._as_root = os.geteuid() == 0

    # -- running the server's programs --------------------------------------

    def _run(self, program: str, *arguments: str, timeout: float = 60) -> subprocess.CompletedProcess:
        command = [str(self.bin / program), *arguments]
        if self._as_root:
            command = ["runuser", "-u", "postgres", "--", *command]
        result = subprocess.run(command, capture_output=True, text=True, timeout=timeout, cwd=self.folder,
                                env=_server_environment())
        if result.returncode != 0:
            log = self.data / "server.log"
            tail = log.read_text(errors="replace")[-2000:] if log.exists() else ""
            raise RuntimeError(f"{program} failed ({result.returncode}): {result.stderr or result.stdout}\n{tail}")
        return result

    def start(self) -> "PostgresServer":
        if not self.data.exists():
            self.folder.mkdir(parents=True, exist_ok=True)
            if self._as_root:
                shutil.chown(self.folder, "postgres")
            self._run("initdb", "-D", str(self.data), "-U", USER, "--auth=trust", "-E", "UTF8",
                      "--no-sync", "--no-instructions")
            with open(self.data / "postgresql.conf", "a") as conf:
                # A throwaway cluster: crash safety of the server itself is not under test here.
                conf.write("fsync = off\nfull_page_writes = off\nmax_connections = 200\n"
                           "shared_buffers = 32MB\n")
        self._pg_ctl_start()
        return self

    def _pg_ctl_start(self) -> None:
        options = f"-p {self.port} -k {self.folder} -c listen_addresses=127.0.0.1"
        self._run("pg_ctl", "-D", str(self.data), "-o", options, "-l", str(self.data / "server.log"),
                  "-w", "-t", "60", "start", timeout=90)

    def stop(self, mode: str = "fast") -> None:
        if (self.data / "postmaster.pid").exists():
            self._run("pg_ctl", "-D", str(self.data), "-m", mode, "-w", "stop", timeout=90)

    def restart(self, down_for: float = 0.0) -> None:
        """Fast shutdown, an optional pause, and the same cluster up again on the same port."""
        self.stop()
        time.sleep(down_for)
        self._pg_ctl_start()

    # -- databases ------------------------------------------------------------

    def url(self, database: str = "postgres") -> str:
        return f"postgresql://{USER}@127.0.0.1:{self.port}/{database}"

    def _admin(self, statement: str) -> None:
        import psycopg

        with psycopg.connect(self.url(), autocommit=True, connect_timeout=10) as connection:
            connection.execute(statement)

    def database(self, prefix: str = "t") -> str:
        """A new empty database; answers its URL."""
        name = f"{prefix}_{os.getpid()}_{next(self._names)}"
        self._admin(f'CREATE DATABASE "{name}" TEMPLATE template0')
        return self.url(name)

    def drop(self, url: str) -> None:
        name = url.rsplit("/", 1)[1]
        self._admin(f'DROP DATABASE IF EXISTS "{name}" WITH (FORCE)')

    def drop_all(self, prefix: str) -> None:
        """Drops every database whose name starts with `prefix`."""
        import psycopg

        with psycopg.connect(self.url(), autocommit=True, connect_timeout=10) as connection:
            names = [row[0] for row in connection.execute(
                "SELECT datname FROM pg_database WHERE starts_with(datname, %s)", (prefix,))]
            for name in names:
                connection.execute(f'DROP DATABASE IF EXISTS "{name}" WITH (FORCE)')

    def __enter__(self) -> "PostgresServer":
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()
