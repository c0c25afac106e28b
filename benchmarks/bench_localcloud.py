"""Load on the local cloud: many clients creating and polling approval requests.

Each client keeps one keep-alive connection, creates a request, polls it until
it is approved, and starts over, for a fixed time. Approver tasks approve the
requests as they appear. Reported: polls per second, and the latency from
sending an approval to a polling client seeing "approved".

Then a write burst: up to 64 clients only create (every create is a durable
write), then the approvers approve them all. Reported: creates/s and
approves/s, each with the server process's CPU use over the phase and its CPU
per write, so that a rate held down by waiting for the disk (or, on a shared
machine, for a core) does not read as the server's ceiling: that is the rate
one whole core of server CPU would give (target: at least 1,500 creates/s).
Each client creates with an API key of its own, so no key comes near its
quota of pending requests: every refusal (a 429 included) is an error here.

    .venv/bin/python benchmarks/bench_localcloud.py [--clients 200] [--seconds 10]

Loopback only; the run is bounded by --seconds plus a drain deadline. A tiny
HTTP/1.1 client is used instead of httpx so the client side costs little and
the figures describe the server.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import secrets
import statistics
import sys
import tempfile
import time
from dataclasses import dataclass, field

import tests_on_path  # noqa: E402,F401
from localcloud_helpers import create_body  # noqa: E402
from zelto_localcloud.testing import LocalCloud  # noqa: E402

DRAIN_SECONDS = 30


class HttpConnection:
    """One keep-alive HTTP/1.1 connection that sends JSON and reads JSON answers."""

    def __init__(self, host: str, port: int, authorization: str):
        self.host, self.port = host, port
        self.auth = f"Authorization: {authorization}\r\n"
        self.reader = self.writer = None

    async def open(self) -> None:
        self.reader, self.writer = await asyncio.open_connection(self.host, self.port)

    async def request(self, method: str, path: str, body: dict | None = None) -> tuple[int, dict]:
        payload = b"" if body is None else json.dumps(body).encode()
        head = (
            f"{method} {path} HTTP/1.1\r\nHost: {self.host}\r\n{self.auth}"
            f"Content-Type: application/json\r\nContent-Length: {len(payload)}\r\n\r\n"
        )
        self.writer.write(head.encode() + payload)
        status_line = await self.reader.readline()
        status = int(status_line.split()[1])
        length = 0
        while (line := await self.reader.readline()) not in (b"\r\n", b""):
            name, _, value = line.decode("latin-1").partition(":")
            if name.lower() == "content-length":
                length = int(value)
        return status, json.loads(await self.reader.readexactly(length))

    async def close(self) -> None:
        self.writer.close()
        await self.writer.wait_closed()


@dataclass
class Tally:
    polls: int = 0
    creates: int = 0
    approvals: int = 0
    errors: list[str] = field(default_factory=list)
    latencies: list[float] = field(default_factory=list)
    approval_sent_at: dict[str, float] = field(default_factory=dict)


async def _checked(tally: Tally, connection: HttpConnection, method: str, path: str, body=None) -> dict | None:
    try:
        status, data = await connection.request(method, path, body)
    except (OSError, ValueError, asyncio.IncompleteReadError) as exc:
        tally.errors.append(f"{method} {path}: {exc!r}")
        return None
    if status >= 300:
        tally.errors.append(f"{method} {path}: {status} {data}")
        return None
    return data


async def _poller(cloud, tally: Tally, to_approve: asyncio.Queue, stop_at: float, interval: float) -> None:
    connection = HttpConnection("127.0.0.1", cloud.port, f"Bearer {cloud.api_key}")
    await connection.open()
    try:
        while time.monotonic() < stop_at:
            created = await _checked(tally, connection, "POST", "/v1/approvals/requests", create_body())
            if created is None:
                return
            tally.creates += 1
            await to_approve.put(created["id"])
            await _poll_until_resolved(tally, connection, created["id"], interval)
    finally:
        await connection.close()


async def _poll_until_resolved(tally: Tally, connection, request_id: str, interval: float) -> None:
    deadline = time.monotonic() + DRAIN_SECONDS
    while time.monotonic() < deadline:
        current = await _checked(tally, connection, "GET", f"/v1/approvals/requests/{request_id}")
        if current is None:
            return
        tally.polls += 1
        if current["status"] == "approved":
            tally.latencies.append(time.perf_counter() - tally.approval_sent_at[request_id])
            return
        if current["status"] != "pending":
            tally.errors.append(f"{request_id} ended {current['status']}")
            return
        if interval:
            await asyncio.sleep(interval)
    tally.errors.append(f"{request_id} was never seen approved")


async def _approver(cloud, tally: Tally, to_approve: asyncio.Queue, name: str) -> None:
    connection = HttpConnection("127.0.0.1", cloud.port, cloud.approver_headers(name)["Authorization"])
    await connection.open()
    try:
        while True:
            request_id = await to_approve.get()
            tally.approval_sent_at[request_id] = time.perf_counter()
            path = f"/v1/approvals/requests/{request_id}/approve"
            if await _checked(tally, connection, "POST", path, {}) is not None:
                tally.approvals += 1
            to_approve.task_done()
    finally:
        await connection.close()


def server_cpu_seconds(cloud) -> float:
    """User plus system CPU time of the cloud's server process so far."""
    with open(f"/proc/{cloud.process.pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class ServerCpu:
    """The server's CPU use over a phase, as a share of one core."""

    def __init__(self, cloud) -> None:
        self.cloud = cloud

    def __enter__(self) -> "ServerCpu":
        self.cpu, self.wall = server_cpu_seconds(self.cloud), time.monotonic()
        return self

    def __exit__(self, *exc_info) -> None:
        self.seconds = time.monotonic() - self.wall
        self.share = (server_cpu_seconds(self.cloud) - self.cpu) / self.seconds


def client_keys(count: int) -> list[str]:
    """API keys for the burst's clients, one each, given to the server at its start."""
    return [f"zelto_lk_bench{n:04d}{secrets.token_hex(12)}" for n in range(count)]


async def _creator(cloud, tally: Tally, created: list, stop_at: float, api_key: str) -> None:
    connection = HttpConnection("127.0.0.1", cloud.port, f"Bearer {api_key}")
    await connection.open()
    try:
        while time.monotonic() < stop_at:
            answer = await _checked(tally, connection, "POST", "/v1/approvals/requests", create_body())
            if answer is None:
                return
            created.append(answer["id"])
    finally:
        await connection.close()


async def _approve_all(cloud, tally: Tally, ids: list, approvers: int) -> int:
    names = list(cloud.approvers)
    done = [0]

    async def approve(share: list, name: str) -> None:
        connection = HttpConnection("127.0.0.1", cloud.port, cloud.approver_headers(name)["Authorization"])
        await connection.open()
        try:
            for request_id in share:
                path = f"/v1/approvals/requests/{request_id}/approve"
                if await _checked(tally, connection, "POST", path, {}) is not None:
                    done[0] += 1
        finally:
            await connection.close()

    await asyncio.wait_for(asyncio.gather(*(approve(ids[i::approvers], names[i % len(names)])
                                            for i in range(approvers))), 120)
    return done[0]


async def write_burst(cloud, clients: int, seconds: float, approvers: int) -> Tally:
    """Creates only, then approves of all of them; prints the rates beside the server's CPU."""
    tally, created = Tally(), []
    with ServerCpu(cloud) as creating:
        stop_at = time.monotonic() + seconds
        keys = cloud.extra_api_keys or (cloud.api_key,)
        await asyncio.wait_for(asyncio.gather(*(_creator(cloud, tally, created, stop_at, keys[i % len(keys)])
                                                for i in range(clients))), seconds + DRAIN_SECONDS)
    with ServerCpu(cloud) as approving:
        approved = await _approve_all(cloud, tally, created, approvers)
    for label, count, phase in (("creates", len(created), creating), ("approves", approved, approving)):
        rate = count / phase.seconds
        cpu_each = phase.share / rate if rate else float("inf")
        print(f"write burst, {label}: {rate:.0f}/s with the server {phase.share:.0%} busy "
              f"(load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores); server CPU "
              f"{cpu_each * 1e6:.0f} us each, so {1 / cpu_each:.0f}/s on one whole core"
              + (" (target: at least 1500 creates/s)" if label == "creates" else ""))
    return tally


async def run_load(cloud, clients: int, seconds: float, interval: float, approvers: int) -> tuple[Tally, float, float]:
    tally, to_approve = Tally(), asyncio.Queue()
    cpu = ServerCpu(cloud).__enter__()
    names = list(cloud.approvers)
    approver_tasks = [
        asyncio.create_task(_approver(cloud, tally, to_approve, names[i % len(names)])) for i in range(approvers)
    ]
    started = time.monotonic()
    stop_at = started + seconds
    await asyncio.wait_for(
        asyncio.gather(*(_poller(cloud, tally, to_approve, stop_at, interval) for _ in range(clients))),
        seconds + DRAIN_SECONDS,
    )
    elapsed = time.monotonic() - started
    cpu.__exit__()
    for task in approver_tasks:
        task.cancel()
    await asyncio.gather(*approver_tasks, return_exceptions=True)
    return tally, elapsed, cpu.share


def _percentile(values: list[float], fraction: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def report(tally: Tally, elapsed: float, clients: int, interval: float, server_cpu: float) -> None:
    print(f"clients: {clients}, poll interval: {interval * 1000:.0f} ms, run: {elapsed:.1f} s, "
          f"server CPU {server_cpu:.0%} of a core")
    print(f"requests created: {tally.creates}, approved: {tally.approvals}, polls: {tally.polls}")
    print(f"polls/s: {tally.polls / elapsed:.0f}")
    print(f"all calls/s: {(tally.polls + tally.creates + tally.approvals) / elapsed:.0f}")
    if tally.latencies:
        ms = [value * 1000 for value in tally.latencies]
        print(
            f"approval -> seen latency ms: p50 {statistics.median(ms):.1f}, p95 {_percentile(ms, 0.95):.1f},"
            f" p99 {_percentile(ms, 0.99):.1f}, max {max(ms):.1f}"
        )
    print(f"errors: {len(tally.errors)}")
    for error in tally.errors[:10]:
        print("  ", error)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--clients", type=int, default=200)
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--poll-interval", type=float, default=0.0, help="pause between polls, seconds")
    parser.add_argument("--approvers", type=int, default=4, help="concurrent approver tasks")
    args = parser.parse_args()
    burst_clients = min(args.clients, 64)
    with tempfile.TemporaryDirectory(prefix="bench-localcloud-") as data_dir, \
            LocalCloud(data_dir, api_keys=client_keys(burst_clients)) as cloud:
        tally, elapsed, server_cpu = asyncio.run(
            run_load(cloud, args.clients, args.seconds, args.poll_interval, args.approvers))
        report(tally, elapsed, args.clients, args.poll_interval, server_cpu)
        burst = asyncio.run(write_burst(cloud, burst_clients, min(args.seconds, 5.0), args.approvers))
    print(f"write burst errors: {len(burst.errors)}")
    for error in burst.errors[:10]:
        print("  ", error)
    return 1 if tally.errors or burst.errors else 0


if __name__ == "__main__":
    sys.exit(main())
