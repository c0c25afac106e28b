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


@pytest.fixture(autouse=True)
def _no_address_answered_yet():
    """Each test starts as a fresh process would: no cloud address has answered it yet.

    The client keeps retrying an address that answered earlier until the handler's end;
    a port picked as free may be one an earlier test's server used."""
    deadlines = sys.modules.get("zelto_cloud._http.deadlines")
    if deadlines is not None:
        deadlines.answered.clear()
    yield


@pytest.fixture(scope="session")
def probe():
    """The test-only module that exercises support/ on its own (built on first use)."""
    from probe_build import load
    return load("support_probe")


_SCREENSHOTS = pytest.StashKey[Path]()


@pytest.fixture(scope="session")
def screenshot_dir(tmp_path_factory, pytestconfig) -> Path:
    """Where browser tests save screenshots for people to look at; the run prints it at the end."""
    path = Path(os.environ.get("ZELTO_SCREENSHOTS") or tmp_path_factory.mktemp("screenshots"))
    path.mkdir(parents=True, exist_ok=True)
    pytestconfig.stash[_SCREENSHOTS] = path
    return path


def pytest_terminal_summary(terminalreporter, config):
    path = config.stash.get(_SCREENSHOTS, None)
    if path is not None and any(path.iterdir()):
        terminalreporter.write_sep("-", f"dashboard screenshots saved in {path}")


@pytest.fixture(scope="session")
def postgres_server():
    """One PostgreSQL cluster for the whole run, in a temporary folder, stopped at the end."""
    import shutil
    import tempfile

    from postgres_server import PostgresServer, server_binaries

    if server_binaries() is None:
        pytest.skip("PostgreSQL is not installed (make setup installs it)")
    # Straight under the temporary root: pytest's own folders are closed to the server's user
    # (and a socket path must stay short).
    folder = Path(tempfile.mkdtemp(prefix="zelto-pg-"))
    server = PostgresServer(folder)
    try:
        yield server.start()
    finally:
        try:
            server.stop()
        finally:
            shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture
def postgres_url(postgres_server):
    """A fresh empty database on the run's server, dropped after the test."""
    url = postgres_server.database()
    try:
        yield url
    finally:
        postgres_server.drop(url)


_TEMPLATE = "zelto_template"


@pytest.fixture(scope="session")
def postgres_template(postgres_server) -> str:
    """A database with the service's schema already in place, which each test database is copied from."""
    import tempfile

    from zelto_localcloud.store import Store

    postgres_server._admin(f'CREATE DATABASE "{_TEMPLATE}" TEMPLATE template0')
    with tempfile.TemporaryDirectory() as folder:
        Store(Path(folder), postgres_server.url(_TEMPLATE)).close()
    return _TEMPLATE


@pytest.fixture(scope="module", params=["sqlite", "postgresql"])
def database_backend(request):
    """Runs a module's service tests once on each database: with "postgresql", every local cloud that the
    module starts keeps its data in a fresh database of the run's PostgreSQL server (see LocalCloud)."""
    if request.param == "sqlite":
        yield "sqlite"
        return
    from zelto_localcloud.testing import TEST_DATABASE_PREFIX, TEST_SERVER_ENV, TEST_TEMPLATE_ENV

    server = request.getfixturevalue("postgres_server")
    template = request.getfixturevalue("postgres_template")
    saved = {name: os.environ.get(name) for name in (TEST_SERVER_ENV, TEST_TEMPLATE_ENV)}
    os.environ[TEST_SERVER_ENV], os.environ[TEST_TEMPLATE_ENV] = server.url(), template
    try:
        yield "postgresql"
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
        server.drop_all(TEST_DATABASE_PREFIX)
