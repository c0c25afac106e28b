"""Slow and silent clients cannot hold the local cloud: they are dropped within
the configured time-outs, while other clients are served. Loopback only; every
connection and thread here ends by itself within a few seconds."""

from __future__ import annotations

import socket
import threading
import time

import httpx
import pytest
from localcloud_helpers import api_client, assert_no_tracebacks, create
from zelto_localcloud.testing import LocalCloud

# Every test here runs on SQLite and on PostgreSQL.
pytestmark = pytest.mark.usefixtures("database_backend")

HEADER_TIMEOUT = 1.0
IDLE_TIMEOUT = 1.0
BODY_TIMEOUT = 1.5
# Generous: the sanitizer run and a busy machine are slow. A connection the
# server did not drop would be open until GIVE_UP.
GIVE_UP = 10.0


def limited_cloud(data_dir, *extra: str) -> LocalCloud:
    return LocalCloud(data_dir, server_args=(
        "--header-timeout", str(HEADER_TIMEOUT), "--idle-timeout", str(IDLE_TIMEOUT),
        "--body-timeout", str(BODY_TIMEOUT), *extra,
    ))


@pytest.fixture(scope="module")
def cloud(tmp_path_factory, database_backend):
    with limited_cloud(tmp_path_factory.mktemp("limits")) as running:
        yield running
        assert_no_tracebacks(running)


def connect(cloud) -> socket.socket:
    sock = socket.create_connection(("127.0.0.1", cloud.port), timeout=GIVE_UP)
    sock.settimeout(0.2)
    return sock


def closed_by_server(sock: socket.socket, deadline: float) -> bytes | None:
    """Reads until the server closes the connection (answering what it sent), or None at the deadline."""
    received = b""
    while time.monotonic() < deadline:
        try:
            chunk = sock.recv(65536)
        except TimeoutError:
            continue
        except ConnectionResetError:
            return received
        if not chunk:
            return received
        received += chunk
    return None


class Trickler(threading.Thread):
    """Sends a request's headers a byte at a time, as a slow-loris client does."""

    def __init__(self, sock: socket.socket, pause: float = 0.2):
        super().__init__(daemon=True)
        self.sock, self.pause = sock, pause

    def run(self) -> None:
        data = b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + b"a" * 100
        deadline = time.monotonic() + GIVE_UP
        for byte in data:
            if time.monotonic() > deadline:
                return
            try:
                self.sock.send(bytes([byte]))
            except OSError:
                return  # dropped by the server
            time.sleep(self.pause)


def test_silent_and_trickling_connections_are_dropped_while_others_are_served(cloud):
    silent = [connect(cloud) for _ in range(10)]
    trickling = [connect(cloud) for _ in range(10)]
    tricklers = [Trickler(sock) for sock in trickling]
    for trickler in tricklers:
        trickler.start()
    try:
        with api_client(cloud) as http:
            served = [create(http)["status"] for _ in range(10)]
            served += [http.get("/healthz").status_code for _ in range(10)]
        assert served == ["pending"] * 10 + [200] * 10
        deadline = time.monotonic() + GIVE_UP
        outcomes = [closed_by_server(sock, deadline) for sock in silent + trickling]
        assert all(outcome == b"" for outcome in outcomes), outcomes
    finally:
        for sock in silent + trickling:
            sock.close()
        for trickler in tricklers:
            trickler.join(GIVE_UP)


def test_an_idle_keep_alive_connection_is_closed_after_its_answer(cloud):
    with connect(cloud) as sock:
        sock.sendall(b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        received = closed_by_server(sock, time.monotonic() + GIVE_UP)
    assert received is not None and received.startswith(b"HTTP/1.1 200") and received.endswith(b'{"status":"ok"}')


def test_a_second_request_trickled_on_a_kept_alive_connection_is_dropped(cloud):
    with connect(cloud) as sock:
        sock.sendall(b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        first = b""
        while not first.endswith(b'{"status":"ok"}'):
            try:
                first += sock.recv(65536)
            except TimeoutError:
                continue
        # Each byte comes sooner than the idle time-out, so only the header deadline can end this.
        trickler = Trickler(sock, pause=IDLE_TIMEOUT / 3)
        trickler.start()
        received = closed_by_server(sock, time.monotonic() + GIVE_UP)
        trickler.join(GIVE_UP)
    assert received == b""


def test_a_body_that_does_not_arrive_is_answered_408(cloud):
    head = (
        f"POST /v1/approvals/requests HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer {cloud.api_key}\r\n"
        "Content-Type: application/json\r\nContent-Length: 1000\r\n\r\n{\"tool\":"
    ).encode()
    with connect(cloud) as sock:
        sock.sendall(head)
        received = closed_by_server(sock, time.monotonic() + GIVE_UP)
    assert received is not None and received.startswith(b"HTTP/1.1 408") and b"request_timeout" in received


def test_past_the_concurrency_limit_requests_wait_for_the_silent_ones_to_be_dropped(tmp_path):
    with limited_cloud(tmp_path / "crowded", "--max-concurrency", "4") as crowded:
        silent = [connect(crowded) for _ in range(4)]
        try:
            time.sleep(0.2)  # let the server accept them
            assert httpx.get(crowded.base_url + "/healthz", timeout=GIVE_UP).status_code == 503
            deadline = time.monotonic() + GIVE_UP
            assert all(closed_by_server(sock, deadline) == b"" for sock in silent)
            assert httpx.get(crowded.base_url + "/healthz", timeout=GIVE_UP).status_code == 200
        finally:
            for sock in silent:
                sock.close()
