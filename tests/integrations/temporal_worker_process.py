"""A Temporal worker in its own process, for the test that kills a worker while
an approval is pending. Configuration comes as JSON in argv[1]; every run of
the activity appends a line to the "ran_file"; "ready" on stdout once polling."""

import asyncio
import json
import logging
import sys
from concurrent.futures import ThreadPoolExecutor
from datetime import timedelta
from pathlib import Path

from temporal_helpers import transfer_activity
from temporal_workflows import GuardedCall
from temporalio.client import Client
from temporalio.worker import Worker
from zelto.temporal import ZeltoPlugin, ZeltoPluginConfig
from zelto.warrant import Warrant
from zelto_core import PublicKey, SigningKey

from zelto_cloud.approval import temporal_cloud_approval


def record_run(path: Path):
    def ran(call: tuple) -> None:
        with path.open("a") as out:
            out.write(json.dumps(call) + "\n")

    return ran


async def main(settings: dict) -> None:
    holder = SigningKey.from_bytes(bytes.fromhex(settings["holder_key"]))
    warrant = Warrant(
        id=settings["warrant_id"],
        holder_key=holder.public_key,
        required_approvers=tuple(PublicKey.from_bytes(bytes.fromhex(k)) for k in settings["approvers"]),
    )
    handler = temporal_cloud_approval(settings["api_key"], holder, base_url=settings["base_url"],
                                      fast_poll_seconds=settings["fast_poll_seconds"],
                                      fast_poll_attempts=settings["fast_poll_attempts"])
    config = ZeltoPluginConfig(signing_key=holder, approval_handler=handler,
                               activity_fns=[transfer_activity(warrant, record_run(Path(settings["ran_file"])))])
    client = await Client.connect(settings["address"])
    with ThreadPoolExecutor(4) as pool:
        async with Worker(client, task_queue=settings["task_queue"], workflows=[GuardedCall],
                          plugins=[ZeltoPlugin(config)], activity_executor=pool,
                          # A killed worker's sticky queue is given up on quickly.
                          sticky_queue_schedule_to_start_timeout=timedelta(seconds=0.5)):
            print("ready", flush=True)
            await asyncio.Event().wait()


if __name__ == "__main__":
    logging.basicConfig(level=logging.INFO, stream=sys.stderr, format="%(name)s %(levelname)s %(message)s")
    asyncio.run(main(json.loads(sys.argv[1])))
