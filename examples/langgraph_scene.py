"""The LangGraph scene of the demo: an agent's guarded tool calls approved by people.

A ``create_agent`` agent, driven by a scripted chat model, calls two guarded
tools through ``zelto_cloud.langgraph.ZeltoMiddleware``, which wires the
cloud approval handler in from ``ZELTO_API_KEY``. Alice approves the transfer
and denies the refund; the agent sees both outcomes as tool messages. Then the
same agent runs in observe-first mode and calls a tool its warrant does not
grant: the middleware logs the denial and lets the call through.
"""

from __future__ import annotations

import contextlib
import logging
import os
import threading
import time
from collections.abc import Iterator

from langchain.agents import create_agent
from langchain_core.language_models.fake_chat_models import GenericFakeChatModel
from langchain_core.messages import AIMessage, ToolMessage
from langchain_core.tools import tool
from zelto import Warrant
from zelto_core import PublicKey, SigningKey
from zelto_localcloud.testing import LocalCloud

from zelto_cloud.client import ZeltoCloudClient
from zelto_cloud.langgraph import ZeltoMiddleware

APPROVER = "alice"
THINKING_SECONDS = 1.0
FIND_SECONDS = 10.0


def say(text: str = "") -> None:
    print(text, flush=True)


@tool
def transfer_funds(amount: int, to: str) -> str:
    """Move money to another account."""
    return f"transferred {amount} to {to}"


@tool
def issue_refund(order: str, amount: int) -> str:
    """Refund an order."""
    return f"refunded {amount} on {order}"


@tool
def close_account(account: str) -> str:
    """Close a customer account."""
    return f"closed {account}"


class ScriptedModel(GenericFakeChatModel):
    """A chat model that answers from a script: the tool calls an LLM would make."""

    def bind_tools(self, tools, *, tool_choice=None, **kwargs):
        return self


def calling(name: str, **args) -> AIMessage:
    return AIMessage(content="", tool_calls=[{"name": name, "args": args, "id": f"call_{name}", "type": "tool_call"}])


class ScriptedApprover:
    """Answers the warrant's requests in the order they show up, one decision each."""

    def __init__(self, cloud: LocalCloud, warrant_id: str, decisions: list[tuple[str, str | None]], *, manual: bool):
        self.cloud, self.warrant_id, self.decisions, self.manual = cloud, warrant_id, decisions, manual
        self._thread = threading.Thread(target=self._run, name="langgraph-approver", daemon=True)

    def __enter__(self) -> ScriptedApprover:
        self._thread.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._thread.join(len(self.decisions) * (FIND_SECONDS + THINKING_SECONDS) + 5)

    def _run(self) -> None:
        seen: set[str] = set()
        try:
            with ZeltoCloudClient(self.cloud.api_key, base_url=self.cloud.base_url) as client:
                for decision, reason in self.decisions:
                    request = self._next_pending(client, seen)
                    seen.add(request["id"])
                    if self.manual:
                        say(f"   -> open the link, sign in as {APPROVER} (password {self.cloud.approver_password(APPROVER)}) and {decision} {request['tool']}")
                        continue
                    time.sleep(THINKING_SECONDS)
                    if decision == "approve":
                        say(f"   {APPROVER} approves {request['tool']}")
                        client.approve_request(request["id"], approver=self.cloud.approver_credential(APPROVER))
                    else:
                        say(f"   {APPROVER} denies {request['tool']}: {reason!r}")
                        client.deny_request(request["id"], approver=self.cloud.approver_credential(APPROVER), reason=reason)
        except Exception as exc:
            say(f"   the approver failed: {exc}")

    def _next_pending(self, client: ZeltoCloudClient, seen: set[str]) -> dict:
        deadline = time.monotonic() + (300 if self.manual else FIND_SECONDS)
        while time.monotonic() < deadline:
            for request in client.list_requests(status="pending"):
                if request["warrant_id"] == self.warrant_id and request["id"] not in seen:
                    return request
            time.sleep(0.1)
        raise TimeoutError(f"no new pending request for warrant {self.warrant_id} appeared")


@contextlib.contextmanager
def environment(**values: str) -> Iterator[None]:
    saved = {name: os.environ.get(name) for name in values}
    os.environ.update(values)
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


@contextlib.contextmanager
def printed_log(name: str) -> Iterator[None]:
    handler = logging.StreamHandler()
    handler.setFormatter(logging.Formatter("   [log] %(message)s"))
    logger = logging.getLogger(name)
    previous = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    try:
        yield
    finally:
        logger.removeHandler(handler)
        logger.setLevel(previous)


def run_agent(middleware: ZeltoMiddleware, script: list[AIMessage]) -> list[ToolMessage]:
    agent = create_agent(ScriptedModel(messages=iter(script)), [transfer_funds, issue_refund, close_account],
                         middleware=[middleware])
    out = agent.invoke({"messages": [("user", "Pay acct-7781, refund ord-1009, close acct-0001.")]})
    results = [m for m in out["messages"] if isinstance(m, ToolMessage)]
    for message in results:
        say(f"   agent sees {message.name}: [{message.status}] {message.content}")
    return results


def check(ok: bool, what: str) -> bool:
    say(f"   {'ok' if ok else 'UNEXPECTED, not so'}: {what}")
    return ok


def run_langgraph_scene(cloud: LocalCloud, *, manual: bool) -> bool:
    """Plays the scene on a running local cloud; False if an outcome was not the expected one."""
    with ZeltoCloudClient(cloud.api_key, base_url=cloud.base_url) as client:
        alice = next(a["public_key"] for a in client.list_approvers() if a["name"] == APPROVER)
    holder = SigningKey.generate()
    warrant = Warrant(
        id="w-demo-agent",
        holder_key=holder.public_key,
        tools=("transfer_funds", "issue_refund"),
        required_approvers=(PublicKey.from_bytes(bytes.fromhex(alice)),),
    )
    say("LangGraph: a create_agent agent with zelto_cloud.langgraph.ZeltoMiddleware, wired from ZELTO_API_KEY")
    say(f"   warrant {warrant.id}: transfer_funds and issue_refund, each needs {APPROVER}'s approval")
    ok = True
    # The same variables a worker or an agent gets in production; the approval links follow the URL.
    settings = dict(ZELTO_API_KEY=cloud.api_key, ZELTO_CONTROL_PLANE_URL=cloud.base_url,
                    ZELTO_APPROVAL_TIMEOUT="300" if manual else "30")
    with printed_log("zelto_cloud.langgraph"):
        say()
        say("4. enforce mode: the agent transfers 250 to acct-7781 and refunds 9000 on ord-1009")
        decisions = [("approve", None), ("deny", "refund is over the limit")]
        with environment(ZELTO_ENFORCEMENT="enforce", **settings):
            middleware = ZeltoMiddleware(warrant=warrant, signing_key=holder)
            script = [calling("transfer_funds", amount=250, to="acct-7781"),
                      calling("issue_refund", order="ord-1009", amount=9000), AIMessage("Done.")]
            with ScriptedApprover(cloud, warrant.id, decisions, manual=manual):
                transfer, refund = run_agent(middleware, script)
        ok &= check(transfer.status == "success" and transfer.content == "transferred 250 to acct-7781",
                    "the approved transfer ran and its result reached the agent")
        ok &= check(refund.status == "error" and refund.content.startswith("Authorization denied")
                    and "refund is over the limit" in refund.content,
                    "the denied refund did not run; the agent saw the refusal")

        say()
        say("5. observe-first: the same agent calls close_account, which the warrant does not grant")
        with environment(ZELTO_ENFORCEMENT="observe", **settings):
            middleware = ZeltoMiddleware(warrant=warrant, signing_key=holder)
            closed, = run_agent(middleware, [calling("close_account", account="acct-0001"), AIMessage("Done.")])
        ok &= check(closed.content == "closed acct-0001", "observe-first logged the denial and let the call run")
    return ok
