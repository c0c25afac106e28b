"""The demo's async road: an async tool guarded with ``async_cloud_approval``.

The tool call waits for the approval on the event loop itself, so the loop
stays free meanwhile: a ticker task keeps running, and the scripted approver is
just another task on the same loop.
"""

from __future__ import annotations

import asyncio
from collections.abc import Callable

from zelto import Warrant, guard
from zelto_core import SigningKey
from zelto_localcloud.testing import LocalCloud

from zelto_cloud.approval import async_cloud_approval
from zelto_cloud.client import AsyncZeltoCloudClient

APPROVER = "alice"
THINKING_SECONDS = 1.0
FIND_SECONDS = 10.0
TICK_SECONDS = 0.1


async def _approve_when_pending(cloud: LocalCloud, warrant_id: str, *, manual: bool, say: Callable) -> None:
    async with AsyncZeltoCloudClient(cloud.api_key, base_url=cloud.base_url) as client:
        deadline = asyncio.get_running_loop().time() + FIND_SECONDS
        while True:
            pending = [r for r in await client.list_requests(status="pending") if r["warrant_id"] == warrant_id]
            if pending:
                break
            if asyncio.get_running_loop().time() > deadline:
                raise TimeoutError(f"no pending request for warrant {warrant_id} appeared")
            await asyncio.sleep(0.1)
        request = pending[0]
        say(f"   pending in the dashboard: {cloud.request_url(request['id'])}")
        if manual:
            say(f"   -> open the link, choose {APPROVER} and click Approve")
            return
        await asyncio.sleep(THINKING_SECONDS)
        say(f"   {APPROVER} approves (another task on the same event loop)")
        await client.approve_request(request["id"], approver=APPROVER)


async def _tick(counter: list[int]) -> None:
    while True:
        await asyncio.sleep(TICK_SECONDS)
        counter[0] += 1


async def _scene(cloud: LocalCloud, warrant: Warrant, holder: SigningKey, names: dict, *, manual: bool,
                 say: Callable) -> bool:
    handler = async_cloud_approval(
        cloud.api_key,
        base_url=cloud.base_url,
        signing_key=holder,
        poll_interval=0.5,
        timeout=300.0 if manual else 30.0,
    )

    @guard("transfer_funds", warrant=warrant, approval_handler=handler)
    async def transfer_funds_async(amount: int, to: str) -> str:
        return f"transferred {amount} to {to} (async)"

    ticks = [0]
    ticker = asyncio.create_task(_tick(ticks))
    approver = asyncio.create_task(_approve_when_pending(cloud, warrant.id, manual=manual, say=say))
    try:
        say("   the guard awaits the async cloud handler on the running event loop")
        result = await transfer_funds_async(amount=250, to="acct-7781")
        await approver
    finally:
        ticker.cancel()
        approver.cancel()
    say(f"   meanwhile the loop stayed free: another task ticked {ticks[0]} times while the call waited")
    say("   the guard verified the signed approval from "
        f"{names.get(warrant.required_approvers[0].hex(), '?')}; the tool ran:")
    say(f"   -> {result}")
    return result.startswith("transferred 250")


def run_async_scene(cloud: LocalCloud, warrant: Warrant, holder: SigningKey, names: dict, *, number: int,
                    manual: bool, say: Callable) -> bool:
    """Scene ``number`` of the demo; True when the async tool ran after its approval."""
    say()
    say(f"{number}. await transfer_funds_async(amount=250, to='acct-7781'), guarded with async_cloud_approval")
    return asyncio.run(_scene(cloud, warrant, holder, names, manual=manual, say=say))
