"""A guarded tool call that waits for a human's approval in Zelto Cloud.

Starts the local cloud, guards ``transfer_funds`` with a warrant that needs
alice's approval, and calls it twice: alice approves the first call and denies
the second; then an async twin of the tool, guarded with
``async_cloud_approval``, waits on the event loop (examples/async_scene.py).
By default a scripted alice answers through the API; with
``--manual`` you answer yourself in the dashboard.

    .venv/bin/python examples/demo.py [--manual]
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import threading
import time

from async_scene import run_async_scene
from zelto import ApprovalDenied, Warrant, guard
from zelto_core import PublicKey, SigningKey
from zelto_localcloud.testing import LocalCloud

from langgraph_scene import run_langgraph_scene
from zelto_cloud.approval import cloud_approval
from zelto_cloud.client import ZeltoCloudClient

APPROVER = "alice"
DENIAL_REASON = "amount is over the daily limit"
THINKING_SECONDS = 1.0  # how long the scripted approver looks at a request
FIND_SECONDS = 10.0  # how long the approver waits for the request to show up


def say(text: str = "") -> None:
    print(text, flush=True)


def short(hex_text: str) -> str:
    return f"{hex_text[:16]}..."


class Approver:
    """Plays the human at the dashboard for one request, from a background thread.

    It waits until the request of ``warrant_id`` is pending, prints the
    dashboard link, and then approves or denies it (or, in manual mode, leaves
    that to the person at the dashboard).
    """

    def __init__(self, cloud: LocalCloud, warrant_id: str, *, decision: str, manual: bool) -> None:
        self.cloud = cloud
        self.warrant_id = warrant_id
        self.decision = decision
        self.manual = manual
        self._thread = threading.Thread(target=self._run, name=f"approver-{decision}", daemon=True)

    def __enter__(self) -> Approver:
        self._thread.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._thread.join(FIND_SECONDS + THINKING_SECONDS + 5)

    def _run(self) -> None:
        try:
            with ZeltoCloudClient(self.cloud.api_key, base_url=self.cloud.base_url) as client:
                request = self._pending_request(client)
                say(f"   pending in the dashboard: {self.cloud.request_url(request['id'])}")
                if self.manual:
                    what = "Approve" if self.decision == "approve" else "Deny (give a reason)"
                    say(f"   -> open the link, choose {APPROVER} and click {what}")
                    return
                time.sleep(THINKING_SECONDS)
                if self.decision == "approve":
                    say(f"   {APPROVER} approves")
                    client.approve_request(request["id"], approver=APPROVER)
                else:
                    say(f"   {APPROVER} denies: {DENIAL_REASON!r}")
                    client.deny_request(request["id"], approver=APPROVER, reason=DENIAL_REASON)
        except Exception as exc:
            say(f"   the approver failed: {exc}")

    def _pending_request(self, client: ZeltoCloudClient) -> dict:
        deadline = time.monotonic() + FIND_SECONDS
        while time.monotonic() < deadline:
            for request in client.list_requests(status="pending"):
                if request["warrant_id"] == self.warrant_id:
                    return request
            time.sleep(0.1)
        raise TimeoutError(f"no pending request for warrant {self.warrant_id} appeared")


def narrated(handler, names: dict[str, str]):
    """The cloud handler, printing what it hands back to the guard."""

    def handle(request):
        request_hash = short(request.request_hash.hex())
        say(f"   the gate calls the cloud handler: it creates an approval request for hash {request_hash} and polls it")
        result = handler(request)
        for approval in result if isinstance(result, list) else [result]:
            key = approval.approver_key.hex()
            covers = "this call" if approval.request_hash == request.request_hash else "ANOTHER call"
            say(f"   the handler returned a SignedApproval from {names.get(key, '?')} ({short(key)}),")
            say(f"   covering request hash {short(approval.request_hash.hex())} ({covers})")
        return result

    return handle


def run(manual: bool) -> int:
    with tempfile.TemporaryDirectory(prefix="zelto-demo-") as data_dir:
        say("Starting the local cloud ...")
        with LocalCloud(data_dir) as cloud:
            say(f"   API at {cloud.base_url}, dashboard at {cloud.dashboard_url}")
            with ZeltoCloudClient(cloud.api_key, base_url=cloud.base_url) as client:
                names = {a["public_key"]: a["name"] for a in client.list_approvers()}
            approver_key = next(key for key, name in names.items() if name == APPROVER)

            holder = SigningKey.generate()
            warrant = Warrant(
                id="w-demo-payments",
                holder_key=holder.public_key,
                tools=("transfer_funds",),
                required_approvers=(PublicKey.from_bytes(bytes.fromhex(approver_key)),),
                min_approvals=1,
            )
            say(f"   holder key {short(holder.public_key.hex())}")
            say(f"   warrant {warrant.id}: transfer_funds needs 1 approval from {APPROVER} ({short(approver_key)})")

            handler = cloud_approval(
                cloud.api_key,
                base_url=cloud.base_url,
                signing_key=holder,
                poll_interval=0.5,
                timeout=300.0 if manual else 30.0,
            )

            @guard(warrant=warrant, approval_handler=narrated(handler, names))
            def transfer_funds(amount: int, to: str) -> str:
                return f"transferred {amount} to {to}"

            say()
            say("1. transfer_funds(amount=250, to='acct-7781')")
            with Approver(cloud, warrant.id, decision="approve", manual=manual):
                result = transfer_funds(amount=250, to="acct-7781")
            say("   the guard verified the signature, the approver and the request hash; the tool ran:")
            say(f"   -> {result}")

            say()
            say("2. transfer_funds(amount=1000000, to='acct-0001')")
            with Approver(cloud, warrant.id, decision="deny", manual=manual):
                try:
                    transfer_funds(amount=1000000, to="acct-0001")
                except ApprovalDenied as refusal:
                    say(f"   refused with ApprovalDenied, reason: {refusal.reason!r}; the tool did not run")
                else:
                    say("   unexpected: the second call was not refused")
                    return 1

            if not run_async_scene(cloud, warrant, holder, names, number=3, manual=manual, say=say):
                return 1

            say()
            if not run_langgraph_scene(cloud, manual=manual):
                return 1

            say()
            say("Stopping the local cloud.")
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--manual", action="store_true", help="answer the approval requests yourself in the dashboard"
    )
    args = parser.parse_args(argv)
    try:
        return run(args.manual)
    except KeyboardInterrupt:
        say("\ninterrupted")
        return 130


if __name__ == "__main__":
    sys.exit(main())
