"""Many asynchronous approval waits on one event loop.

1. Against the real local cloud: --cloud-awaits (1,000) concurrent awaits of
   one async_cloud_approval handler, each for its own warrant; a scripted
   approver approves them in random order. Every await must return its own
   signed approval (checked by the SDK's verification), each request must have
   been created once. Reported: wall time, peak RSS, the cloud's polls/s.
2. In process (httpx.MockTransport, no sockets): --pending (10,000) awaits held
   pending at once, for the native handler and for its Python twin
   (tests/twins/approval.py), on the same loop and transport. Reported:
   CPU per poll, in alternating rounds, and the heap per pending await, each
   implementation in a process of its own.

    .venv/bin/python benchmarks/bench_async_approval.py [--cloud-awaits N] [--pending N]
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import ctypes
import gc
import itertools
import json
import os
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import time

import httpx
from zelto import Warrant
from zelto.approval import ApprovalRequest, verified_approvals
from zelto_core import PublicKey, SignedApproval, SigningKey, approval_request_hash
from zelto_localcloud.testing import LocalCloud

import tests_on_path  # noqa: F401
from twins import approval as twin_approval

import zelto_cloud.approval as approval
from zelto_cloud._http import pools
from zelto_cloud.client import AsyncZeltoCloudClient
from zelto_cloud.exceptions import ZeltoCloudError


def peak_rss_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


class Counting:
    """Counts the cloud calls of the clients the handler opens."""

    polls = 0
    creates: dict[str, int] = {}

    @classmethod
    def reset(cls) -> None:
        cls.polls, cls.creates = 0, {}


class CountingClient(AsyncZeltoCloudClient):
    async def create_request(self, **fields):
        Counting.creates[fields["warrant_id"]] = Counting.creates.get(fields["warrant_id"], 0) + 1
        return await super().create_request(**fields)

    async def get_request(self, request_id):
        Counting.polls += 1
        return await super().get_request(request_id)


# --- 1. the real local cloud -------------------------------------------------


def gate_request(warrant: Warrant) -> ApprovalRequest:
    arguments = {"amount": 250, "to": "acct-7781"}
    return ApprovalRequest(
        tool="transfer_funds", warrant_id=warrant.id, arguments=arguments, request_id=f"req-{warrant.id}",
        holder_key=warrant.holder_key.to_bytes(),
        request_hash=approval_request_hash(warrant.id, "transfer_funds", arguments, warrant.holder_key),
        required_approvers=[key.to_bytes() for key in warrant.required_approvers],
        min_approvals=warrant.min_approvals,
    )


async def retried(step):
    """Awaits step(); a kept-alive connection that the server closed meanwhile (the loop can be busy
    for seconds) is tried again, and an approval that did arrive the first time counts."""
    for attempt in range(3):
        try:
            return await step()
        except ZeltoCloudError as exc:
            if attempt and exc.code == "already_resolved":
                return None
            if exc.status_code is not None or attempt == 2:
                raise


async def approve_in_random_order(cloud: LocalCloud, expected: set[str], seed: int) -> dict[str, list[str]]:
    """Approves every expected warrant's pending request, each listing's new ones (the list shows at most
    500) shuffled; returns the request ids seen per warrant."""
    by_warrant: dict[str, list[str]] = {}
    shuffle = random.Random(seed).shuffle
    async with AsyncZeltoCloudClient(cloud.api_key, base_url=cloud.base_url, timeout=60) as client:

        async def approver(queue) -> None:
            for request_id in queue:
                await retried(lambda: client.approve_request(request_id, approver=cloud.approver_credential("alice")))

        deadline = time.monotonic() + 300
        while set(by_warrant) != expected:
            if time.monotonic() > deadline:
                raise TimeoutError(f"{len(expected - set(by_warrant))} requests never showed up")
            new = []
            for request in await retried(lambda: client.list_requests(status="pending", limit=500)):
                ids = by_warrant.setdefault(request["warrant_id"], [])
                if request["id"] not in ids:
                    ids.append(request["id"])
                    new.append(request["id"])
            shuffle(new)
            queue = iter(new)
            await asyncio.gather(*(approver(queue) for _ in range(8)))
            await asyncio.sleep(0.2)
    return by_warrant


async def cloud_run(cloud: LocalCloud, count: int, poll_interval: float) -> None:
    alice = PublicKey.from_bytes(bytes.fromhex(cloud.approvers["alice"]))
    holders = [SigningKey.generate() for _ in range(count)]
    warrants = [Warrant(id=f"w-bench-{i}", holder_key=h.public_key, required_approvers=(alice,))
                for i, h in enumerate(holders)]
    requests = [gate_request(w) for w in warrants]
    approval.AsyncZeltoCloudClient = CountingClient
    Counting.reset()
    handler_of = {h: approval.async_cloud_approval(cloud.api_key, base_url=cloud.base_url, signing_key=h,
                                                   poll_interval=poll_interval, timeout=600.0) for h in holders}
    started = time.perf_counter()
    waits = [asyncio.create_task(handler_of[h](r)) for h, r in zip(holders, requests)]
    seen = await approve_in_random_order(cloud, {w.id for w in warrants}, seed=9)
    results = await asyncio.gather(*waits)
    wall = time.perf_counter() - started
    approval.AsyncZeltoCloudClient = AsyncZeltoCloudClient

    for request, result in zip(requests, results):
        verified_approvals(request, result)  # raises ApprovalDenied unless signed over this very request
    distinct = {bytes(r.to_bytes()) for r in results}
    assert len(distinct) == count, "an approval came back twice"
    assert all(len(ids) == 1 for ids in seen.values()), "a warrant has two requests in the cloud"
    assert sorted(Counting.creates.values()) == [1] * count, "a request was created more than once"
    print(f"{count} concurrent awaits against the local cloud (poll every {poll_interval} s), approved in random order:")
    print(f"  all verified, none lost or duplicated, each request created once")
    print(f"  wall time {wall:.1f} s, peak RSS {peak_rss_mib():.0f} MiB, "
          f"{Counting.polls} polls = {Counting.polls / wall:.0f} polls/s served by the local cloud")


# --- 2. in process -------------------------------------------------------------

HASH = bytes(range(32))
APPROVAL = SignedApproval.create(SigningKey.generate(), HASH, approved_at=1_700_000_000)
REQUEST = ApprovalRequest(tool="transfer", warrant_id="w", arguments={"amount": 1}, request_id="c",
                          holder_key=b"\x01" * 32, request_hash=HASH, args_canonical_cbor_b64="oA==",
                          approval_context_attestation={"v": 1})


class InProcessCloud:
    """The cloud API's create and get, answered by an httpx.MockTransport: pending until release()."""

    def __init__(self) -> None:
        self.released = False
        self.ids = itertools.count()
        self.transport = httpx.MockTransport(self.answer)

    def record(self, request_id: str) -> dict:
        if self.released:
            return {"id": request_id, "status": "approved",
                    "responses": [{"signed_approval": APPROVAL.to_bytes().hex()}]}
        return {"id": request_id, "status": "pending"}

    def answer(self, request: httpx.Request) -> httpx.Response:
        if request.url.path.endswith("/batch-read"):  # the status reads of many waits, together
            ids = json.loads(request.content)["ids"]
            return httpx.Response(200, json={"requests": [self.record(i) for i in ids]})
        if request.method == "POST":
            return httpx.Response(201, json={"id": f"apr_{next(self.ids)}", "status": "pending"})
        return httpx.Response(200, json=self.record(request.url.path.rsplit("/", 1)[1]))

    @contextlib.contextmanager
    def installed(self):
        """While inside, the clients' shared connection pools send through this mock transport."""
        make, transport = pools.new_async_transport, self.transport
        pools.new_async_transport = lambda url: transport
        try:
            yield
        finally:
            pools.new_async_transport = make


class _MallInfo(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


def heap_in_use() -> int:
    """Bytes of the C heap in use; with PYTHONMALLOC=malloc every Python object is in it too,
    next to the native coroutine frames (which tracemalloc does not see)."""
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = _MallInfo
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


async def hold_pending(module, count: int, poll_interval: float, window: float) -> tuple[float, float]:
    """Heap bytes per pending await and CPU seconds per poll, then releases them all."""
    cloud = InProcessCloud()
    with cloud.installed():
        return await _hold_pending(cloud, module, count, poll_interval, window)


async def _hold_pending(cloud, module, count: int, poll_interval: float, window: float) -> tuple[float, float]:
    module.AsyncZeltoCloudClient = CountingClient
    handler = module.async_cloud_approval("key", base_url="http://cloud.test", poll_interval=poll_interval,
                                          timeout=600.0)
    Counting.reset()
    gc.collect()
    before = heap_in_use()
    waits = [asyncio.create_task(handler(REQUEST)) for _ in range(count)]
    while Counting.polls < count:
        await asyncio.sleep(0.05)
    gc.collect()
    memory = (heap_in_use() - before) / count
    cpu, polls = time.process_time(), Counting.polls
    await asyncio.sleep(window)
    cpu, polls = time.process_time() - cpu, Counting.polls - polls
    cloud.released = True
    results = await asyncio.gather(*waits)
    assert all(result == APPROVAL for result in results)
    module.AsyncZeltoCloudClient = AsyncZeltoCloudClient
    del waits, results
    gc.collect()
    return memory, cpu / polls if polls else float("nan")  # the memory run has too short a window


IMPLEMENTATIONS = {"native": approval, "twin": twin_approval}


async def in_process(count: int, poll_interval: float, window: float, rounds: int) -> None:
    """CPU per poll, the implementations in alternating rounds, pair by pair."""
    # Warm-up at the full count: imports, caches, and the loop's own structures grown to their size
    # for `count` waits, which the first measured round would otherwise pay for alone.
    for module in IMPLEMENTATIONS.values():
        await hold_pending(module, count, poll_interval, poll_interval)
    runs = {name: [] for name in IMPLEMENTATIONS}
    for round_ in range(rounds):  # alternating, so that neither always runs on what the other left behind
        for name in (("native", "twin") if round_ % 2 == 0 else ("twin", "native")):
            runs[name].append((await hold_pending(IMPLEMENTATIONS[name], count, poll_interval, window))[1])
    # Pair by pair: a spell of a slow host moves one round's ratio, not the verdict (the best of
    # each side, taken apart, may come from different spells).
    ratios = sorted(native / twin for native, twin in zip(runs["native"], runs["twin"]))
    median = {name: statistics.median(values) * 1e6 for name, values in runs.items()}
    print(f"  {count} pending awaits in process (httpx.MockTransport, poll every {poll_interval} s), "
          f"median of {rounds} alternating rounds:")
    # The two share the client, which is nearly all of a poll: the spread of the rounds' ratios
    # says how much of a difference between them this host can show at all.
    print(f"    us CPU per poll: native {median['native']:.2f}, twin {median['twin']:.2f}, "
          f"ratio native / twin {statistics.median(ratios):.2f}x (rounds {ratios[0]:.2f} to {ratios[-1]:.2f}; "
          f"target <= 1)")


async def memory_alone(name: str, count: int, poll_interval: float, rounds: int) -> None:
    """In a child: the heap per pending await of one implementation, in its steady state."""
    module = IMPLEMENTATIONS[name]
    await hold_pending(module, count, poll_interval, poll_interval)  # warm-up at the full count
    figures = [(await hold_pending(module, count, poll_interval, 0.1))[0] for _ in range(rounds)]
    print(json.dumps(statistics.median(figures)))


def memory(count: int, poll_interval: float, rounds: int) -> None:
    """Heap per pending await, each implementation in a process of its own whose Python objects
    live on the C heap too (PYTHONMALLOC=malloc), beside the coroutine frames. In one process a
    round reads low after a round of the other implementation, whose leftovers it grows into,
    and high after one of its own: alternating rounds there measure the mix, not either."""
    per_await = {}
    for name in IMPLEMENTATIONS:
        child = [sys.executable, __file__, "--cloud-awaits", "0", "--pending", str(count),
                 "--poll-interval", str(poll_interval), "--rounds", str(rounds), "--memory-of", name]
        out = subprocess.run(child, env={**os.environ, "PYTHONMALLOC": "malloc"}, check=True,
                             capture_output=True, text=True).stdout
        per_await[name] = json.loads(out.splitlines()[-1]) / 1024
    print(f"  {count} pending awaits in process (httpx.MockTransport, poll every {poll_interval} s), "
          f"each implementation alone, median of {rounds} rounds after a warm-up:")
    print(f"    KiB heap per pending await: native {per_await['native']:.2f}, twin {per_await['twin']:.2f}, "
          f"ratio native / twin {per_await['native'] / per_await['twin']:.2f}x (target <= 1)")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cloud-awaits", type=int, default=1000)
    parser.add_argument("--cloud-poll-interval", type=float, default=2.0)
    parser.add_argument("--pending", type=int, default=10_000)
    parser.add_argument("--poll-interval", type=float, default=1.0)
    parser.add_argument("--window", type=float, default=1.5, help="seconds of polling measured per round")
    parser.add_argument("--rounds", type=int, default=9, help="in-process rounds per implementation")
    parser.add_argument("--memory-of", choices=sorted(IMPLEMENTATIONS), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_of:
        asyncio.run(memory_alone(args.memory_of, args.pending, args.poll_interval, args.rounds))
        return 0
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, max(soft, 4 * args.cloud_awaits + 256)), hard))
    if args.cloud_awaits:  # first, so that the peak RSS is this run's
        quota = ("--max-pending-per-key", str(args.cloud_awaits + 100))  # every await is one key's pending request
        with tempfile.TemporaryDirectory(prefix="bench-async-approval-") as data_dir, \
                LocalCloud(data_dir, server_args=quota) as cloud:
            asyncio.run(cloud_run(cloud, args.cloud_awaits, args.cloud_poll_interval))
    if args.pending:
        asyncio.run(in_process(args.pending, args.poll_interval, args.window, args.rounds))
        sys.stdout.flush()
        memory(args.pending, args.poll_interval, 3)
    return 0


if __name__ == "__main__":
    sys.exit(main())
