"""HAProxy in front of several server processes, for tests, benchmarks and the docs' example.

    with LoadBalancer([("127.0.0.1", 8801), ("127.0.0.1", 8802)], folder) as balancer:
        httpx.get(balancer.base_url + "/healthz")

The configuration is written to `folder`; `haproxy -f CFG -db` runs in the
foreground on a free loopback port and is stopped at the end. Each server is
checked on /healthz every half second and taken out after two failed checks;
a read that finds its server gone (refused, or closed without an answer) is
tried again on another one. Writes are never retried by the balancer: a
write's connection may have been cut after it was stored, and only the client
knows whether it may be sent again (creates carry an idempotency key).
"""

from __future__ import annotations

import shutil
import socket
import subprocess
import threading
import time
from pathlib import Path

HEALTH_PATH = "/healthz"


def haproxy_binary() -> str | None:
    return shutil.which("haproxy") or next((p for p in ("/usr/sbin/haproxy",) if Path(p).exists()), None)


def free_port(host: str = "127.0.0.1") -> int:
    with socket.socket() as probe:
        probe.bind((host, 0))
        return probe.getsockname()[1]


def configuration(port: int, servers: list[tuple[str, int]], *, host: str = "127.0.0.1",
                  check_every_ms: int = 500) -> str:
    lines = [
        "global",
        "    maxconn 4000",
        "defaults",
        "    mode http",
        "    timeout connect 2s",
        "    timeout client 120s",
        "    timeout server 120s",
        "    timeout http-keep-alive 20s",
        # A busy server answers its check late, not never: it stays in. A dead one refuses at once.
        "    timeout check 5s",
        "    timeout queue 30s",
        "    option redispatch",
        "    retries 3",
        "    retry-on conn-failure empty-response",
        "frontend api",
        f"    bind {host}:{port}",
        "    default_backend replicas",
        "backend replicas",
        "    balance roundrobin",
        # The server answers only requests that name it (a Host header): the check names the loopback address.
        "    option httpchk",
        f"    http-check send meth GET uri {HEALTH_PATH} ver HTTP/1.1 hdr Host 127.0.0.1",
        "    http-check expect status 200",
        "    http-request disable-l7-retry unless METH_GET",
        # Connections to one server are kept below its own per-address limit (all come from here); past
        # that, requests queue here for a free one.
        f"    default-server check inter {check_every_ms} fall 2 rise 1 maxconn 128",
    ]
    lines += [f"    server r{index} {server_host}:{server_port}"
              for index, (server_host, server_port) in enumerate(servers, 1)]
    return "\n".join(lines) + "\n"


class LoadBalancer:
    def __init__(self, servers: list[tuple[str, int]], folder: str | Path, *, port: int = 0,
                 host: str = "127.0.0.1", startup_timeout: float = 20.0):
        self.servers = list(servers)
        self.folder = Path(folder)
        self.host = host
        self.port = port or free_port(host)
        self.startup_timeout = startup_timeout
        self.process: subprocess.Popen | None = None
        self.output: list[str] = []

    @property
    def base_url(self) -> str:
        return f"http://{self.host}:{self.port}"

    def start(self) -> "LoadBalancer":
        binary = haproxy_binary()
        if binary is None:
            raise RuntimeError("haproxy is not installed (Debian package haproxy; tools/system-deps installs it)")
        self.folder.mkdir(parents=True, exist_ok=True)
        config = self.folder / "haproxy.cfg"
        config.write_text(configuration(self.port, self.servers, host=self.host))
        check = subprocess.run([binary, "-c", "-f", str(config)], capture_output=True, text=True, timeout=30)
        if check.returncode != 0:
            raise RuntimeError(f"haproxy refused its configuration: {check.stderr or check.stdout}")
        self.process = subprocess.Popen([binary, "-f", str(config), "-db"], stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True)
        threading.Thread(target=self._read, daemon=True).start()
        deadline = time.monotonic() + self.startup_timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("haproxy stopped at start:\n" + "\n".join(self.output[-20:]))
            try:
                socket.create_connection((self.host, self.port), timeout=0.5).close()
                return self
            except OSError:
                time.sleep(0.05)
        self.stop()
        raise RuntimeError(f"haproxy did not listen on {self.host}:{self.port} within {self.startup_timeout:g} s")

    def _read(self) -> None:
        assert self.process is not None and self.process.stdout is not None
        for line in self.process.stdout:
            if len(self.output) < 10_000:
                self.output.append(line.rstrip("\n"))

    def stop(self) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(10)
        self.process = None

    def __enter__(self) -> "LoadBalancer":
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()
