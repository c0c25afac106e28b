"""zelto_cloud.langgraph's own overhead: the async handler with an in-process
client that answers at once (no network, no sleep), and the cloud middleware's
wrap hooks over the SDK's, on a call the warrant allows without approval."""

import asyncio
import logging
import time

from langgraph.prebuilt.tool_node import ToolCallRequest

import zelto_cloud.approval as approval
import zelto_cloud.langgraph as lg
from zelto import Warrant
from zelto.langgraph import ZeltoMiddleware as SdkMiddleware
from zelto_core import SigningKey

CALLS = 2000
ROUNDS = 5


class InstantClient:
    def __init__(self, api_key, *, base_url):
        pass

    async def create_request(self, **kwargs):
        return {"id": "apr_1"}

    async def get_request(self, request_id):
        return {"status": "approved", "responses": []}

    async def close(self):
        pass


class Payload:
    def to_create_request_kwargs(self):
        return {"tool": "transfer"}


class Gate:
    tool = "transfer"
    request_id = b"\x01\x02"


def best_per_call(run) -> float:
    best = float("inf")
    for _ in range(ROUNDS):
        start = time.perf_counter()
        run(CALLS)
        best = min(best, (time.perf_counter() - start) / CALLS)
    return best


def main() -> None:
    logging.getLogger("zelto_cloud.langgraph").setLevel(logging.WARNING)
    lg.AsyncZeltoCloudClient = InstantClient
    lg.build_approval_request_payload = lambda request, **kwargs: Payload()
    approval._extract_signed_approvals = lambda record: record
    handler = lg.langgraph_cloud_approval("key")

    async def handle(count):
        gate = Gate()
        for _ in range(count):
            await handler(gate)

    print(f"handler, one approved poll:   {best_per_call(lambda n: asyncio.run(handle(n))) * 1e6:8.1f} us/call")

    holder = SigningKey.generate()
    warrant = Warrant(id="w-bench", holder_key=holder.public_key)
    request = ToolCallRequest(tool_call={"name": "transfer", "args": {"amount": 5}, "id": "c1", "type": "tool_call"},
                              tool=None, state={}, runtime=None)
    for name, middleware in (("SDK middleware", SdkMiddleware(warrant=warrant)),
                             ("cloud middleware", lg.ZeltoMiddleware(warrant=warrant, dry_run=True))):
        def wrap(count, middleware=middleware):
            for _ in range(count):
                middleware.wrap_tool_call(request, lambda r: "ran")

        async def awrap(count, middleware=middleware):
            for _ in range(count):
                await middleware.awrap_tool_call(request, lambda r: "ran")

        print(f"{name + ' wrap_tool_call:':32}{best_per_call(wrap) * 1e6:8.2f} us/call")
        print(f"{name + ' awrap_tool_call:':32}{best_per_call(lambda n: asyncio.run(awrap(n))) * 1e6:8.2f} us/call")


if __name__ == "__main__":
    main()
