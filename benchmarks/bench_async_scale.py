"""Ten thousand approvals waiting on one event loop, against the real local cloud.

    .venv/bin/python benchmarks/bench_async_scale.py [--waits 10000] [--twin-waits 10000]
        [--handlers async,langgraph] [--poll-interval 2]

For each handler (`async_cloud_approval`, `langgraph_cloud_approval`) one
interpreter starts that many awaits on one loop (started as fast as the cloud
takes the creates, at most --outstanding creates at a time), lets them wait,
measures a steady window, then a scripted approver approves every request in
random order. Every await must return its own verified signed approval.

Reported, for the native handler and for its Python twin (tests/twins/), both
with today's client and the same number of awaits: the two run in two
interpreters at the same time against the same cloud, and each waits for the
other before its steady window and before its approvals, so both windows are
the same seconds of the same machine. Figures: polls on schedule (started
within 10% of the interval after the previous poll's answer), client CPU
(process CPU time over the window), memory per waiting approval, and the HTTP
requests per second that each side sends the cloud while its awaits wait
(counted in its own process). Target: the native handler's client CPU per
status read answered in the window at most the twin's (per waiting approval
is printed too, but a side that falls behind its schedule on a busy machine
reads less often and looks cheaper by it).
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import json
import os
import random
import subprocess
import sys
import tempfile
import time

WINDOW_SECONDS = 10.0
APPROVERS = 2  # concurrent approver tasks


def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def count_http_requests() -> list[int]:
    """Counts every request that the clients' awaitable transport sends (the clients hand their
    requests to it without httpx.AsyncClient.send), and any httpx transport's, for a proxy."""
    import httpx

    from zelto_cloud._http.transport import AsyncTransport

    counter = [0]
    for cls in (AsyncTransport, httpx.AsyncHTTPTransport):
        def counting(handle):
            async def counting_handle(self, request):
                counter[0] += 1
                return await handle(self, request)
            return counting_handle

        cls.handle_async_request = counting(cls.handle_async_request)
    return counter


def client_class(records: dict):
    from zelto_cloud.client import AsyncZeltoCloudClient as Base

    class Timed(Base):
        """Notes each create and the start and end of each status read."""

        async def create_request(self, **fields):
            created = await super().create_request(**fields)
            records["created"].append(created["id"])
            return created

        async def get_request(self, request_id):
            loop = asyncio.get_running_loop()
            started = loop.time()
            try:
                return await super().get_request(request_id)
            finally:
                records["polls"].setdefault(request_id, []).append((started, loop.time()))

    return Timed


def handler_for(kind: str, variant: str, records: dict, api_key: str, base_url: str, holder, interval: float):
    if variant == "twin":
        import tests_on_path  # noqa: F401
        from twins import approval as approvals
        from twins import langgraph as graphs
    else:
        import zelto_cloud.approval as approvals
        import zelto_cloud.langgraph as graphs
    module = approvals if kind == "async" else graphs
    factory = module.async_cloud_approval if kind == "async" else module.langgraph_cloud_approval
    module.AsyncZeltoCloudClient = client_class(records)
    return factory(api_key, base_url=base_url, signing_key=holder, poll_interval=interval, timeout=3600.0)


def gate_requests(holder, waits: int, tag: str) -> list:
    from zelto.approval import ApprovalRequest
    from zelto_core import approval_request_hash

    requests = []
    for index in range(waits):
        warrant_id, arguments = f"w-{tag}-{index}", {"index": index}
        requests.append(ApprovalRequest(
            tool="transfer", warrant_id=warrant_id, arguments=arguments, request_id=f"r-{tag}-{index}",
            holder_key=holder.public_key.to_bytes(),
            request_hash=approval_request_hash(warrant_id, "transfer", arguments, holder.public_key),
        ))
    return requests


async def meet(args, step: str) -> None:
    """Waits until every side running beside this one has reached ``step`` too."""
    folder = args.barrier
    open(os.path.join(folder, f"{args.variant}.{step}"), "w").close()
    sides = args.sides.split(",")
    loop = asyncio.get_running_loop()
    deadline = loop.time() + 900
    while not all(os.path.exists(os.path.join(folder, f"{side}.{step}")) for side in sides):
        if loop.time() > deadline:
            raise TimeoutError(f"the other side never reached {step!r}")
        await asyncio.sleep(0.05)


async def scenario(args) -> dict:
    from zelto_core import SigningKey

    from zelto_cloud.client import ApproverCredential, AsyncZeltoCloudClient

    http_requests = count_http_requests()
    records = {"created": [], "polls": {}}
    holder = SigningKey.generate()
    handler = handler_for(args.kind, args.variant, records, args.api_key, args.base_url, holder, args.poll_interval)
    requests = gate_requests(holder, args.waits, f"{args.kind}-{args.variant}-{os.getpid()}")
    loop = asyncio.get_running_loop()

    gc.collect()
    baseline = rss_bytes()
    started = loop.time()
    tasks = []
    for request in requests:
        while len(tasks) - len(records["created"]) >= args.outstanding:
            await asyncio.sleep(0.02)
        tasks.append(asyncio.create_task(handler(request)))
    while len(records["created"]) < args.waits and loop.time() - started < 600:
        await asyncio.sleep(0.1)
    created_in = loop.time() - started

    await asyncio.sleep(2 * args.poll_interval)  # every await is in its poll loop
    await meet(args, "waiting")  # the other side's awaits are in their poll loops too
    window_start, cpu_start, http_start = loop.time(), time.process_time(), http_requests[0]
    await asyncio.sleep(WINDOW_SECONDS)
    window_end = loop.time()
    window = window_end - window_start
    cpu = (time.process_time() - cpu_start) / window
    http_rate = (http_requests[0] - http_start) / window
    # Status reads answered in the window: a side that falls behind its schedule reads less
    # often and so spends less per waiting approval; per read it cannot hide that way.
    window_polls = sum(1 for polls in records["polls"].values() for _, end in polls
                       if window_start <= end < window_end)
    await meet(args, "measured")  # neither side's approvals fall in the other's window
    gc.collect()
    per_wait = (rss_bytes() - baseline) / args.waits

    pending = list(records["created"])
    random.shuffle(pending)
    credential = ApproverCredential(args.approver, args.approver_password)
    async with AsyncZeltoCloudClient(args.api_key, base_url=args.base_url, timeout=60.0) as approver:

        async def approve_some(share: list[str]) -> None:
            for request_id in share:
                await approver.approve_request(request_id, approver=credential)

        await asyncio.gather(*(approve_some(pending[i::APPROVERS]) for i in range(APPROVERS)))
    results = await asyncio.wait_for(asyncio.gather(*tasks, return_exceptions=True), 600)

    verified = sum(
        1 for request, result in zip(requests, results)
        if not isinstance(result, BaseException) and result.verify() and result.request_hash == request.request_hash
    )
    lateness = [
        polls[k][0] - (polls[k - 1][1] + args.poll_interval)
        for polls in records["polls"].values() for k in range(1, len(polls))
    ]
    on_time = sum(1 for late in lateness if late <= 0.1 * args.poll_interval) / max(1, len(lateness))
    failures = sorted({repr(r)[:160] for r in results if isinstance(r, BaseException)})[:5]
    durations = sorted(end - start for polls in records["polls"].values() for start, end in polls)
    return {
        "read_p50": durations[len(durations) // 2], "read_p95": durations[int(len(durations) * 0.95)],
        "created_in": created_in, "cpu": cpu, "http_rate": http_rate, "per_wait": per_wait,
        "cpu_per_poll": cpu * window / max(1, window_polls),
        "on_time": on_time, "polls": len(lateness), "verified": verified, "failures": failures,
    }


def run_children(runs: list[tuple[str, list[str]]]) -> dict[str, dict]:
    """Runs each side in its own interpreter, all at once, so that their
    measured windows are the same seconds of the same machine."""
    with tempfile.TemporaryDirectory(prefix="bench-scale-barrier-") as barrier:
        sides = ",".join(variant for variant, _ in runs)
        children = {}
        for variant, arguments in runs:
            with open(os.path.join(barrier, f"{variant}.out"), "w") as out, \
                    open(os.path.join(barrier, f"{variant}.err"), "w") as err:
                children[variant] = subprocess.Popen(
                    [sys.executable, __file__, "--child", "--variant", variant, "--barrier", barrier, "--sides",
                     sides, *arguments], stdout=out, stderr=err, text=True)
        # A side that fails ends the others at once: they would wait for it at their meeting points.
        while any(child.poll() is None for child in children.values()):
            if any(child.returncode for child in children.values()):
                break
            time.sleep(0.2)
        for variant, child in children.items():
            if child.returncode:
                for other in children.values():
                    other.kill()
                    other.wait()
                with open(os.path.join(barrier, f"{variant}.err")) as err:
                    raise RuntimeError(err.read()[-3000:])
        figures = {}
        for variant in children:
            with open(os.path.join(barrier, f"{variant}.out")) as out:
                figures[variant] = json.loads(out.read().strip().splitlines()[-1])
        return figures


def report(kind: str, variant: str, waits: int, figures: dict) -> None:
    print(f"  {variant:8} {waits:6} awaits: {figures['verified']}/{waits} verified; "
          f"polls on schedule {figures['on_time']:.1%} of {figures['polls']}; "
          f"client CPU {figures['cpu']:.0%} of a core; {figures['per_wait'] / 1024:.1f} KiB per waiting approval; "
          f"cloud HTTP {figures['http_rate']:.0f} requests/s; status read p50 {figures['read_p50']:.2f} s, "
          f"p95 {figures['read_p95']:.2f} s; all created in {figures['created_in']:.0f} s")
    for failure in figures["failures"]:
        print("      ", failure)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--waits", type=int, default=10_000)
    parser.add_argument("--twin-waits", type=int, help="awaits of the Python twin (default: --waits; 0 skips it)")
    parser.add_argument("--handlers", default="async,langgraph")
    parser.add_argument("--poll-interval", type=float, default=2.0)
    parser.add_argument("--outstanding", type=int, default=16, help="creates in flight at most while starting")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    for hidden in ("--kind", "--variant", "--base-url", "--api-key", "--approver", "--approver-password",
                   "--barrier", "--sides"):
        parser.add_argument(hidden, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(asyncio.run(scenario(args))))
        return 0

    from zelto_localcloud.testing import LocalCloud

    failed = False
    # Every await of both sides is a pending request of the one API key: the quota must hold them all at once.
    pending = args.waits + (args.waits if args.twin_waits is None else args.twin_waits) + 100
    with tempfile.TemporaryDirectory(prefix="bench-scale-") as data_dir, \
            LocalCloud(data_dir, server_args=("--max-pending-per-key", str(pending))) as cloud:
        for kind in args.handlers.split(","):
            print(f"{kind} handler, poll interval {args.poll_interval:g} s:", flush=True)
            twin_waits = args.waits if args.twin_waits is None else args.twin_waits
            runs = [("native", args.waits)] + ([("twin", twin_waits)] if twin_waits else [])
            cpu, per_poll = {}, {}
            common = [
                "--kind", kind, "--poll-interval", str(args.poll_interval), "--outstanding", str(args.outstanding),
                "--base-url", cloud.base_url, "--api-key", cloud.api_key,
                "--approver", next(iter(cloud.approvers)),
                "--approver-password", cloud.approver_password(next(iter(cloud.approvers))),
            ]
            figures = run_children([(variant, ["--waits", str(waits), *common]) for variant, waits in runs])
            for variant, waits in runs:
                report(kind, variant, waits, figures[variant])
                cpu[variant] = figures[variant]["cpu"] / waits
                per_poll[variant] = figures[variant]["cpu_per_poll"]
                failed |= figures[variant]["verified"] != waits
            if len(cpu) == 2:
                print(f"  client CPU per waiting approval: native {cpu['native'] * 1e6:.1f} us/s, twin "
                      f"{cpu['twin'] * 1e6:.1f} us/s, twin/native {cpu['twin'] / cpu['native']:.2f}", flush=True)
                print(f"  client CPU per status read in the window: native {per_poll['native'] * 1e6:.1f} us, twin "
                      f"{per_poll['twin'] * 1e6:.1f} us, twin/native {per_poll['twin'] / per_poll['native']:.2f} "
                      f"(target: >= 1)", flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
