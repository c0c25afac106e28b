"""What a cloud client costs: CPU per call, construction and close, and the
memory of each waiting synchronous approval, today's client against the one
that built its own plain httpx client (and TLS context) per instance
(tests/twins/client.py).

CPU per status read, pair by pair in process CPU time (pairs.py), blocking and
awaitable, over httpx.MockTransport and against the local cloud on loopback.
The plain httpx client is the floor named beside each figure; the target is
a third of what the client cost before its calls bypassed httpx.Client.send
(its ratio to the same floor, measured the same way, is printed as the
target).

    .venv/bin/python benchmarks/bench_client.py [--waits 1000] [--poll-interval 2]

The waits run `cloud_approval` handlers, one thread each, against a real
local cloud on loopback; each variant runs in a fresh interpreter so that
neither inherits the other's memory. Every handler must return its own
verified signed approval. Bounded: each wait times out after 600 s.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import random
import subprocess
import sys
import tempfile
import threading
import time

import httpx

BASE_URL = "https://api.zelto.cloud"  # never contacted: construction only
WAIT_SECONDS = 600.0  # each waiting approval's own deadline: long enough for a loaded machine to create them all


# Per status read, the client before (one deadline, retries, bounded answers over httpx.Client.send, a
# 10 ms gather window before every awaited read) cost this many times the plain httpx client on the same
# transport: blocking over MockTransport, awaited over MockTransport, blocking and awaited against the local
# cloud (the awaited one measured with that client's code on today's native modules).
BEFORE = {"blocking, MockTransport": 1.03, "awaited, MockTransport": 4.06, "blocking, local cloud": 1.04,
          "awaited, local cloud": 1.53}


class _Stream(httpx.SyncByteStream, httpx.AsyncByteStream):
    """An answer body that is streamed, as one from the network is."""

    def __init__(self, body: bytes) -> None:
        self.body = body

    def __iter__(self):
        yield self.body

    async def __aiter__(self):
        yield self.body


def _mock_transport() -> httpx.MockTransport:
    record = {"id": "apr_1", "status": "pending", "responses": []}

    def answer(request: httpx.Request) -> httpx.Response:
        if request.url.path.endswith("/batch-read"):
            ids = json.loads(request.content)["ids"]
            body = {"requests": [dict(record, id=request_id) for request_id in ids]}
        else:
            body = record
        return httpx.Response(200, stream=_Stream(json.dumps(body).encode()),
                              headers={"Content-Type": "application/json"})

    return httpx.MockTransport(answer)


def per_call_cpu() -> None:
    """Today's client against the plain httpx client, per status read."""
    import asyncio

    from pairs import pair, us
    import tests_on_path  # noqa: F401
    from twins.client import ReferenceAsyncClient, ReferenceClient

    from zelto_cloud._http import pools
    from zelto_cloud.client import AsyncZeltoCloudClient, ZeltoCloudClient

    def report(label: str, today: float, plain: float, ratio: float) -> None:
        target = BEFORE[label] / 3
        print(f"  {label:<26} today {us(today)}  plain httpx {us(plain)}  today/plain {1 / ratio:5.2f} "
              f"(target: <= {target:.2f}, a third of the client before)")

    def blocking(client):
        return lambda n: [client.get_request("apr_1") for _ in range(n)]

    def awaited(client_class, setup, base_url=None, api_key="key", request_id="apr_1"):
        async def run(n):
            async with client_class(api_key, base_url=base_url or base) as client:
                setup(client)
                for _ in range(n):
                    await client.get_request(request_id)

        return lambda n: asyncio.run(run(n))

    print("CPU per status read (median of 9 alternating rounds):")
    base, mock = "http://cloud.test", _mock_transport()
    make_sync, make_async = pools.new_transport, pools.new_async_transport
    pools.new_transport = pools.new_async_transport = lambda url: mock
    try:
        with ZeltoCloudClient("key", base_url=base) as today, ReferenceClient("key", base_url=base) as plain:
            plain._http._transport = mock
            report("blocking, MockTransport", *pair(blocking(today), blocking(plain), 2000))

        def plain_mock(client):
            client._http._transport = mock

        report("awaited, MockTransport", *pair(awaited(AsyncZeltoCloudClient, lambda c: None),
                                               awaited(ReferenceAsyncClient, plain_mock), 1000))
    finally:
        pools.new_transport, pools.new_async_transport = make_sync, make_async

    import tests_on_path  # noqa: F401
    from localcloud_helpers import create_body
    from zelto_localcloud.testing import LocalCloud

    with tempfile.TemporaryDirectory(prefix="bench-client-") as data_dir, LocalCloud(data_dir) as cloud:
        with ZeltoCloudClient(cloud.api_key, base_url=cloud.base_url) as today, \
                ReferenceClient(cloud.api_key, base_url=cloud.base_url) as plain:
            request_id = today.create_request(**create_body())["id"]
            read = [lambda n, c=c: [c.get_request(request_id) for _ in range(n)] for c in (today, plain)]
            report("blocking, local cloud", *pair(read[0], read[1], 300))
        options = {"base_url": cloud.base_url, "api_key": cloud.api_key, "request_id": request_id}
        report("awaited, local cloud", *pair(awaited(AsyncZeltoCloudClient, lambda c: None, **options),
                                             awaited(ReferenceAsyncClient, lambda c: None, **options), 300))


def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def client_class(variant: str):
    if variant == "before":
        import tests_on_path  # noqa: F401
        from twins.client import ReferenceClient

        return ReferenceClient
    from zelto_cloud.client import ZeltoCloudClient

    return ZeltoCloudClient


def construction(variant: str, count: int) -> dict:
    """Seconds per construction and close, and RSS per open client (200 held open)."""
    make = client_class(variant)
    make("k", base_url=BASE_URL).close()  # imports, and the shared TLS context of today's client
    started = time.perf_counter()
    for _ in range(count):
        make("k", base_url=BASE_URL).close()
    per_call = (time.perf_counter() - started) / count
    gc.collect()
    baseline = rss_bytes()
    clients = [make("k", base_url=BASE_URL) for _ in range(200)]
    held = (rss_bytes() - baseline) / len(clients)
    for client in clients:
        client.close()
    return {"seconds": per_call, "bytes_per_open_client": held}


def waiting(variant: str, base_url: str, api_key: str, approver: str, waits: int, interval: float) -> dict:
    """RSS per waiting approval, with `waits` handler threads polling every `interval` seconds."""
    import zelto_cloud.approval as approval
    from zelto.approval import ApprovalRequest
    from zelto_core import SigningKey, approval_request_hash

    from zelto_cloud.client import ApproverCredential, ZeltoCloudClient
    from zelto_cloud.exceptions import ZeltoCloudError

    created: list[str] = []
    approval.ZeltoCloudClient = _recording(client_class(variant), created)
    holder = SigningKey.generate()
    handler = approval.cloud_approval(api_key, base_url=base_url, signing_key=holder,
                                      poll_interval=interval, timeout=WAIT_SECONDS)
    tag = f"{variant}-{os.getpid()}"
    requests = []
    for index in range(waits):
        warrant_id, arguments = f"w-{tag}-{index}", {"index": index}
        requests.append(ApprovalRequest(
            tool="transfer", warrant_id=warrant_id, arguments=arguments, request_id=f"r-{index}",
            holder_key=holder.public_key.to_bytes(),
            request_hash=approval_request_hash(warrant_id, "transfer", arguments, holder.public_key),
        ))
    results: dict[int, object] = {}

    def wait(index: int) -> None:
        try:
            results[index] = handler(requests[index])
        except Exception as error:  # reported below
            results[index] = error

    gc.collect()
    baseline = rss_bytes()
    threads = [threading.Thread(target=wait, args=(index,), daemon=True) for index in range(waits)]
    started = time.monotonic()
    for thread in threads:
        thread.start()
    with ZeltoCloudClient(api_key, base_url=base_url, timeout=30.0) as reviewer:
        while len(created) < waits and time.monotonic() - started < 120:
            time.sleep(0.1)
        created_in = time.monotonic() - started
        pending = list(created)
        time.sleep(2 * interval)  # every wait has polled since its create
        gc.collect()
        per_wait = (rss_bytes() - baseline) / waits
        random.shuffle(pending)
        refused = []
        for request_id in pending:
            try:
                reviewer.approve_request(request_id, approver=ApproverCredential(*approver.split(":", 1)))
            except ZeltoCloudError as error:  # reported with the waits' own failures
                refused.append(f"approving {request_id}: {error}"[:160])
    for thread in threads:
        thread.join(WAIT_SECONDS + 30)
    ok = sum(
        1 for index, result in results.items()
        if not isinstance(result, Exception) and result.verify() and result.request_hash == requests[index].request_hash
    )
    failures = sorted({repr(r)[:160] for r in results.values() if isinstance(r, Exception)})
    return {"rss_per_wait": per_wait, "created_in": created_in, "verified": ok, "failures": (refused + failures)[:5]}


def _recording(base: type, created: list) -> type:
    """The client class, noting the id of every request it creates (for the scripted approver)."""

    class Recording(base):
        def create_request(self, **fields):
            answer = super().create_request(**fields)
            created.append(answer["id"])
            return answer

    return Recording


def child(args) -> None:
    if args.part == "construction":
        figures = construction(args.variant, args.count)
    else:
        figures = waiting(args.variant, args.base_url, args.api_key, args.approver, args.waits, args.poll_interval)
    print(json.dumps(figures))


def run_child(*arguments: str) -> dict:
    command = [sys.executable, __file__, "--child", *arguments]
    result = subprocess.run(command, capture_output=True, text=True, timeout=WAIT_SECONDS + 300)
    if result.returncode != 0:
        raise RuntimeError(result.stderr[-3000:])
    return json.loads(result.stdout.strip().splitlines()[-1])


def _allow_open_files(count: int) -> None:
    """Raises this process's soft limit of open files (which its children inherit) to ``count``, within
    the hard limit; a machine whose hard limit is lower says so."""
    import resource

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != resource.RLIM_INFINITY and soft < count:
        wanted = count if hard == resource.RLIM_INFINITY else min(count, hard)
        resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))
        if wanted < count:
            print(f"  (open files limited to {wanted}: the waits may be refused connections)")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--waits", type=int, default=1000)
    parser.add_argument("--poll-interval", type=float, default=2.0)
    parser.add_argument("--variants", default="before,after", help="which clients to run, comma-separated")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--part", default="construction", help=argparse.SUPPRESS)
    parser.add_argument("--variant", default="after", help=argparse.SUPPRESS)
    parser.add_argument("--count", type=int, default=100, help=argparse.SUPPRESS)
    parser.add_argument("--base-url", help=argparse.SUPPRESS)
    parser.add_argument("--api-key", help=argparse.SUPPRESS)
    parser.add_argument("--approver", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args)
        return 0

    per_call_cpu()
    before = run_child("--part", "construction", "--variant", "before", "--count", "100")
    after = run_child("--part", "construction", "--variant", "after", "--count", "20000")
    print("client construction and close:")
    print(f"  before {before['seconds'] * 1e3:8.3f} ms, {before['bytes_per_open_client'] / 1024:7.1f} KiB RSS per open client")
    print(f"  after  {after['seconds'] * 1e3:8.3f} ms, {after['bytes_per_open_client'] / 1024:7.1f} KiB RSS per open client")
    print(f"  {before['seconds'] / after['seconds']:.0f}x cheaper")

    from zelto_localcloud.testing import LocalCloud

    failed = False
    # Every wait is a pending request of the one API key, and the client before kept a connection per wait:
    # the quota and the connection limits must hold them all at once. The per-address limit is capped by
    # the total one (the server's --max-concurrency, 512 by default: past it uvicorn answers 503 too), so
    # both are raised; and the server and the children (started after this) may open that many files.
    room = str(args.waits + 200)
    quota = ("--max-pending-per-key", str(args.waits + 100), "--max-connections-per-address", room,
             "--max-concurrency", room)
    _allow_open_files(2 * args.waits + 1000)
    with tempfile.TemporaryDirectory(prefix="bench-client-") as data_dir, LocalCloud(data_dir, server_args=quota) as cloud:
        name = next(iter(cloud.approvers))  # its password goes with it: only a signed-in approver approves
        common = ["--part", "waiting", "--base-url", cloud.base_url, "--api-key", cloud.api_key,
                  "--approver", f"{name}:{cloud.approver_password(name)}", "--waits", str(args.waits),
                  "--poll-interval", str(args.poll_interval)]
        print(f"{args.waits} synchronous approvals waiting, one thread each, polling every {args.poll_interval:g} s:")
        for variant in args.variants.split(","):
            figures = run_child(*common, "--variant", variant)
            print(f"  {variant:6} {figures['rss_per_wait'] / 1024:7.1f} KiB RSS per waiting approval; "
                  f"all created in {figures['created_in']:.1f} s; {figures['verified']}/{args.waits} verified")
            for failure in figures["failures"]:
                print("     ", failure)
            # The old client may fall behind under this load; today's must not.
            failed |= variant == "after" and figures["verified"] != args.waits
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
