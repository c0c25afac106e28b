"""The local cloud on SQLite, on PostgreSQL, and as two replicas on PostgreSQL behind HAProxy.

    .venv/bin/python benchmarks/bench_replicas.py [--clients 32] [--seconds 5] [--setups sqlite,pg1,pg2]

For each setup, phase by phase (each --seconds long, --clients keep-alive
connections): creates/s, reads/s (GET of one request), batch reads/s (requests
read per second through batch-read, 50 ids a call) and approves/s (Basic
credentials, as a scripted approver sends them). Beside each rate, the CPU of
every process over the phase as a share of one core: each server, PostgreSQL
(the postmaster and its backends), HAProxy and this client.

Every process runs on this machine, so the replicas share its cores with the
database, the balancer and the client: the rates say what the setup costs, not
what two machines would give. Named floor: PostgreSQL with one replica at least
half of SQLite's rate in each phase (a database one network hop away, where
every commit reaches the server's disk). Loopback only; each phase is bounded.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import random
import sys
import tempfile
import time
from contextlib import ExitStack
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import tests_on_path  # noqa: E402,F401

from bench_localcloud import HttpConnection  # noqa: E402
from localcloud_helpers import create_body  # noqa: E402
from zelto_localcloud.balancer import LoadBalancer  # noqa: E402
from zelto_localcloud.testing import LocalCloud  # noqa: E402

BATCH_IDS = 50
SETUPS = {"sqlite": "SQLite, one server", "pg1": "PostgreSQL, one replica", "pg2": "PostgreSQL, two replicas + HAProxy"}
FLOOR = 0.5  # PostgreSQL with one replica against SQLite, each phase


def cpu_seconds(pid: int, children: bool = False) -> float:
    """User plus system CPU of a process (with `children`, also of those it has waited for)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    ticks = int(fields[11]) + int(fields[12]) + (int(fields[13]) + int(fields[14]) if children else 0)
    return ticks / os.sysconf("SC_CLK_TCK")


def postgres_cpu(postmaster: int) -> float:
    """The postmaster's CPU, its finished backends' and its running ones'."""
    total = cpu_seconds(postmaster, children=True)
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    if int(stat.read().rsplit(")", 1)[1].split()[1]) == postmaster:
                        total += cpu_seconds(int(entry))
            except (OSError, ValueError, IndexError):
                continue
    return total


class Setup:
    def __init__(self, name: str, folder: Path, postgres):
        self.name, self.folder = name, folder
        self.replicas: list[LocalCloud] = []
        self.balancer: LoadBalancer | None = None
        self.postgres = postgres
        self.postmaster: int | None = None

    def start(self, stack: ExitStack) -> "Setup":
        count = 2 if self.name == "pg2" else 1
        url = self.postgres.database("bench") if self.name != "sqlite" else None
        for index in range(count):
            # Every create of a phase stays pending under the one API key: the quota must hold them all.
            replica = LocalCloud(self.folder / f"replica{index}", server_args=("--max-pending-per-key", "1000000"))
            replica.database = url
            if self.replicas:
                first = self.replicas[0]
                replica._api_key, replica._passwords = first.api_key, dict(first._passwords)
            stack.enter_context(replica)
            self.replicas.append(replica)
        if count > 1:
            self.balancer = stack.enter_context(
                LoadBalancer([("127.0.0.1", r.port) for r in self.replicas], self.folder / "balancer"))
        if url is not None:
            self.postmaster = int((self.postgres.data / "postmaster.pid").read_text().split()[0])
        return self

    @property
    def port(self) -> int:
        return self.balancer.port if self.balancer else self.replicas[0].port

    def cpu(self) -> dict[str, float]:
        figures = {f"server{i + 1}": cpu_seconds(r.process.pid) for i, r in enumerate(self.replicas)}
        if self.postmaster:
            figures["postgres"] = postgres_cpu(self.postmaster)
        if self.balancer:
            figures["haproxy"] = cpu_seconds(self.balancer.process.pid)
        figures["client"] = time.process_time()
        return figures


async def _connections(setup: Setup, count: int, authorization: str) -> list[HttpConnection]:
    connections = [HttpConnection("127.0.0.1", setup.port, authorization) for _ in range(count)]
    await asyncio.gather(*(c.open() for c in connections))
    return connections


async def _phase(setup: Setup, clients: int, seconds: float, authorization: str, step) -> tuple[int, float, list]:
    """Runs `step(connection)` on every connection until the time is up; answers the count it returned."""
    connections = await _connections(setup, clients, authorization)
    done, errors = [0], []
    stop_at = time.monotonic() + seconds

    async def loop(connection):
        while time.monotonic() < stop_at:
            try:
                count = await step(connection)  # (not `done[0] += await ...`: that reads done[0] before the wait)
                done[0] += count
            except Exception as exc:  # counted, and the connection given up
                errors.append(repr(exc)[:200])
                return

    started = time.monotonic()
    await asyncio.wait_for(asyncio.gather(*(loop(c) for c in connections)), seconds + 60)
    elapsed = time.monotonic() - started
    await asyncio.gather(*(c.close() for c in connections), return_exceptions=True)
    return done[0], elapsed, errors


async def _checked(connection, method, path, body=None) -> dict:
    status, data = await connection.request(method, path, body)
    if status >= 300:
        raise RuntimeError(f"{method} {path}: {status} {data}")
    return data


def measure(setup: Setup, clients: int, seconds: float) -> dict[str, tuple[float, dict]]:
    first = setup.replicas[0]
    agent, approver = f"Bearer {first.api_key}", first.approver_headers("alice")["Authorization"]
    created: list[str] = []
    results = {}

    async def create(connection):
        created.append((await _checked(connection, "POST", "/v1/approvals/requests", create_body()))["id"])
        return 1

    async def read(connection):
        await _checked(connection, "GET", f"/v1/approvals/requests/{random.choice(created)}")
        return 1

    async def batch_read(connection):
        ids = random.sample(created, min(BATCH_IDS, len(created)))
        answer = await _checked(connection, "POST", "/v1/approvals/requests/batch-read", {"ids": ids})
        return len(answer["requests"])

    to_approve: list[str] = []

    async def approve(connection):
        if not to_approve:
            await asyncio.sleep(0.01)
            return 0
        await _checked(connection, "POST", f"/v1/approvals/requests/{to_approve.pop()}/approve", {})
        return 1

    for phase, step, authorization in (("creates", create, agent), ("reads", read, agent),
                                       ("batch reads", batch_read, agent), ("approves", approve, approver)):
        if phase == "approves":
            to_approve[:] = list(reversed(created))
        before, wall = setup.cpu(), time.monotonic()
        count, elapsed, errors = asyncio.run(_phase(setup, clients, seconds, authorization, step))
        after, wall = setup.cpu(), time.monotonic() - wall
        shares = {name: (after[name] - before[name]) / wall for name in after}
        results[phase] = (count / elapsed, shares)
        line = ", ".join(f"{name} {share:.0%}" for name, share in shares.items())
        print(f"  {phase:12} {count / elapsed:8.0f}/s   CPU: {line}" + (f"   errors: {len(errors)}" if errors else ""),
              flush=True)
        for error in errors[:3]:
            print("      ", error)
    return results


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--clients", type=int, default=32)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--setups", default="sqlite,pg1,pg2")
    args = parser.parse_args()
    os.environ.pop("ZELTO_LOCALCLOUD_DATABASE", None)
    from postgres_server import PostgresServer

    figures = {}
    with tempfile.TemporaryDirectory(prefix="bench-replicas-") as folder, ExitStack() as stack:
        postgres = None
        if any(name != "sqlite" for name in args.setups.split(",")):
            # Straight under the temporary root, which the server's user can reach.
            pg_folder = Path(tempfile.mkdtemp(prefix="bench-pg-"))
            postgres = PostgresServer(pg_folder).start()
            stack.callback(postgres.stop)
            # The test cluster skips flushing to disk; measured here as a real one runs, with every commit flushed.
            with open(postgres.data / "postgresql.conf", "a") as conf:
                conf.write("fsync = on\nfull_page_writes = on\n")
            postgres.restart()
        for name in args.setups.split(","):
            print(f"{SETUPS[name]} ({args.clients} clients, {args.seconds:g} s a phase; load average"
                  f" {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores):", flush=True)
            with ExitStack() as setup_stack:
                setup = Setup(name, Path(folder) / name, postgres).start(setup_stack)
                figures[name] = measure(setup, args.clients, args.seconds)
    if "sqlite" in figures and "pg1" in figures:
        for phase, (rate, _) in figures["sqlite"].items():
            ratio = figures["pg1"][phase][0] / rate
            print(f"{phase}: PostgreSQL one replica / SQLite {ratio:.2f} (floor: {FLOOR:.2f})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
