"""zelto_cloud.langgraph against its Python twin (tests/twins/langgraph.py), pair by
pair in CPU time (pairs.py):

- the middleware's wrap hooks on a call the warrant allows without approval,
  beside the SDK's middleware alone: the cloud hooks may add at most 0.3 us
  to the SDK's;
- the approval handler end to end with an in-process client that answers at
  once (no network, no sleep): the real payload build and the real
  signed-approval extraction of a real signed approval, native against twin.
"""

import asyncio
import logging

from langgraph.prebuilt.tool_node import ToolCallRequest
from pairs import added, pair, report, us
import tests_on_path  # noqa: F401
from twins import langgraph as twin_lg

import zelto_cloud.langgraph as lg
from zelto import Warrant
from zelto.approval import ApprovalRequest
from zelto.langgraph import ZeltoMiddleware as SdkMiddleware
from zelto_core import SignedApproval, SigningKey

HASH = bytes(range(32))
APPROVAL = SignedApproval.create(SigningKey.generate(), HASH, approved_at=1_700_000_000)
GATE = ApprovalRequest(tool="transfer", warrant_id="w", arguments={"amount": 1}, request_id=b"\x01\x02",
                       holder_key=b"\x01" * 32, request_hash=HASH, args_canonical_cbor_b64="oA==",
                       approval_context_attestation={"v": 1})
APPROVED = {"id": "apr_1", "status": "approved", "denied_reason": None,
            "responses": [{"signed_approval": APPROVAL.to_bytes().hex()}]}


class InstantClient:
    """Answers at once: created, then approved with one real signed approval."""

    def __init__(self, api_key, *, base_url):
        pass

    async def create_request(self, **fields):
        return {"id": "apr_1", "status": "pending"}

    async def get_request(self, request_id):
        return APPROVED

    async def close(self):
        pass


def drive(coroutine):
    try:
        coroutine.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("the hook suspended")


def main() -> None:
    for name in ("zelto_cloud.langgraph", "zelto_cloud.approval"):
        logging.getLogger(name).setLevel(logging.WARNING)
    holder = SigningKey.generate()
    warrant = Warrant(id="w-bench", holder_key=holder.public_key)
    request = ToolCallRequest(tool_call={"name": "transfer", "args": {"amount": 5}, "id": "c1", "type": "tool_call"},
                              tool=None, state={}, runtime=None)
    sdk = SdkMiddleware(warrant=warrant)
    native = lg.ZeltoMiddleware(warrant=warrant, dry_run=True)
    twin = twin_lg.ZeltoMiddleware(warrant=warrant, dry_run=True)

    def tool(r):
        return "ran"

    def wrap(middleware):
        hook = middleware.wrap_tool_call
        return lambda n: [hook(request, tool) for _ in range(n)]

    def awrap(middleware):
        hook = middleware.awrap_tool_call
        return lambda n: [drive(hook(request, tool)) for _ in range(n)]

    for label, make in (("wrap_tool_call", wrap), ("awrap_tool_call", awrap)):
        assert make(native)(1) == make(twin)(1) == make(sdk)(1) == ["ran"]
        native_time, twin_time, ratio = pair(make(native), make(twin), 20_000)
        report(f"middleware {label}", native_time, twin_time, ratio, "twin/native >= 1")
        # Measured in rounds of its own beside the stand-in, not against a figure of another run.
        alone, adds = added(make(sdk), make(native), 20_000)
        print(f"{'':<44} SDK stand-in alone {us(alone)}, native adds {us(adds)} (target: <= 0.30 us)")

    lg.AsyncZeltoCloudClient = twin_lg.AsyncZeltoCloudClient = InstantClient
    handlers = [module.langgraph_cloud_approval("key") for module in (lg, twin_lg)]
    assert asyncio.run(handlers[0](GATE)) == asyncio.run(handlers[1](GATE)) == APPROVAL

    def handling(handler):
        async def run(n):
            for _ in range(n):
                await handler(GATE)

        return lambda n: asyncio.run(run(n))

    native_time, twin_time, ratio = pair(handling(handlers[0]), handling(handlers[1]), 500)
    report("approval handler, instant client", native_time, twin_time, ratio, "twin/native >= 1")


if __name__ == "__main__":
    main()
