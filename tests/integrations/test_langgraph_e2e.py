"""LangGraph agents end to end: a real create_agent agent and a real StateGraph
with ZeltoToolNode, their tool calls approved or refused by people through a
local cloud process. The chat model is scripted (no model can run here); keys
and signatures are real Ed25519.

The classes are wired from ZELTO_API_KEY as a user would wire them. The
auto-wired handler always targets the default cloud URL, so the tests rebind
the module's langgraph_cloud_approval (looked up at each call) with the local
cloud's base URL.
"""

from __future__ import annotations

import asyncio
import functools
import itertools
import logging

import pytest
from langchain.agents import create_agent
from langchain_core.language_models.fake_chat_models import GenericFakeChatModel
from langchain_core.messages import AIMessage, ToolMessage
from langchain_core.tools import tool
from langgraph.graph import START, MessagesState, StateGraph
from test_approval_e2e import Reviewer, approve_as, deny_as
from zelto import Warrant
from zelto_core import PublicKey, SigningKey
from zelto_localcloud.testing import LocalCloud

import zelto_cloud.langgraph as lg

LOG = "zelto_cloud.langgraph"
_ids = itertools.count()
runs: list[tuple[str, dict]] = []


@tool
def transfer_funds(amount: int, to: str) -> str:
    """Move money to another account."""
    runs.append(("transfer_funds", {"amount": amount, "to": to}))
    return f"sent {amount} to {to}"


@tool
def read_balance(account: str) -> str:
    """Read an account's balance."""
    runs.append(("read_balance", {"account": account}))
    return f"{account}: 1200"


TOOLS = [transfer_funds, read_balance]


class ScriptedModel(GenericFakeChatModel):
    def bind_tools(self, tools, *, tool_choice=None, **kwargs):
        return self


def tool_call(name: str, args: dict) -> AIMessage:
    return AIMessage(content="", tool_calls=[{"name": name, "args": args, "id": f"call_{next(_ids)}", "type": "tool_call"}])


TRANSFER = ("transfer_funds", {"amount": 250, "to": "acct-7781"})


@pytest.fixture(scope="module")
def cloud(tmp_path_factory):
    with LocalCloud(tmp_path_factory.mktemp("cloud")) as started:
        yield started
        assert not [line for line in started.output if "Traceback" in line], "\n".join(started.output)


@pytest.fixture(autouse=True)
def wired(cloud, monkeypatch):
    runs.clear()
    for name in ("ZELTO_ENFORCEMENT", "ZELTO_DRY_RUN", "ZELTO_APPROVAL_TIMEOUT"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("ZELTO_API_KEY", cloud.api_key)
    monkeypatch.setenv("ZELTO_DASHBOARD_URL", cloud.base_url + "/")
    local = functools.partial(lg.langgraph_cloud_approval, base_url=cloud.base_url, poll_interval=0.05)
    monkeypatch.setattr(lg, "langgraph_cloud_approval", local)


def guarded_warrant(cloud: LocalCloud, **options) -> tuple[Warrant, SigningKey]:
    holder = SigningKey.generate()
    options.setdefault("required_approvers", (PublicKey.from_bytes(bytes.fromhex(cloud.approvers["alice"])),))
    return Warrant(id=f"w-lg-{next(_ids)}", holder_key=holder.public_key, **options), holder


def run_agent(middleware, *calls, use_async=False) -> list:
    script = [tool_call(name, args) for name, args in calls] + [AIMessage("done")]
    agent = create_agent(ScriptedModel(messages=iter(script)), TOOLS, middleware=[middleware])
    state = {"messages": [("user", "go")]}
    out = asyncio.run(agent.ainvoke(state)) if use_async else agent.invoke(state)
    assert out["messages"][-1].content == "done"
    return [m for m in out["messages"] if isinstance(m, ToolMessage)]


def run_tool_node(node, *calls, use_async=False) -> list:
    graph = StateGraph(MessagesState)
    graph.add_node("tools", node)
    graph.add_edge(START, "tools")
    app = graph.compile()
    state = {"messages": [tool_call(name, args) for name, args in calls]}
    out = asyncio.run(app.ainvoke(state)) if use_async else app.invoke(state)
    return [m for m in out["messages"] if isinstance(m, ToolMessage)]


def assert_refused(message: ToolMessage, reason: str) -> None:
    assert message.status == "error"
    assert message.content == f"Authorization denied: approval denied for transfer_funds: {reason}"


@pytest.mark.parametrize("use_async", [False, True], ids=["invoke", "ainvoke"])
class TestApproved:
    def test_agent(self, cloud, caplog, use_async):
        warrant, holder = guarded_warrant(cloud)
        middleware = lg.ZeltoMiddleware(warrant=warrant, signing_key=holder, dry_run=False)
        with Reviewer(cloud, warrant.id, approve_as("alice")) as reviewer, caplog.at_level(logging.INFO, logger=LOG):
            result, = run_agent(middleware, TRANSFER, use_async=use_async)
        assert (result.status, result.content) == ("success", "sent 250 to acct-7781")
        assert runs == [TRANSFER]
        request_id = reviewer.seen[warrant.id]["id"]
        assert [r.getMessage() for r in caplog.records if r.name == LOG] == [
            f"approval gate for 'transfer_funds' - request {request_id} - {cloud.request_url(request_id)}",
            f"approval granted for 'transfer_funds' (request {request_id})",
        ]

    def test_tool_node(self, cloud, use_async):
        warrant, holder = guarded_warrant(cloud)
        node = lg.ZeltoToolNode(TOOLS, warrant=warrant, signing_key=holder)
        with Reviewer(cloud, warrant.id, approve_as("alice")):
            result, = run_tool_node(node, TRANSFER, use_async=use_async)
        assert (result.status, result.content) == ("success", "sent 250 to acct-7781")
        assert runs == [TRANSFER]


class TestRefused:
    @pytest.mark.parametrize("use_async", [False, True], ids=["invoke", "ainvoke"])
    def test_denied(self, cloud, monkeypatch, use_async):
        monkeypatch.setenv("ZELTO_ENFORCEMENT", "enforce")
        warrant, holder = guarded_warrant(cloud)
        middleware = lg.ZeltoMiddleware(warrant=warrant, signing_key=holder)
        with Reviewer(cloud, warrant.id, deny_as("alice", "over the daily limit")):
            result, = run_agent(middleware, TRANSFER, use_async=use_async)
        assert_refused(result, "over the daily limit")
        assert runs == []

    def test_denied_in_the_tool_node(self, cloud):
        warrant, holder = guarded_warrant(cloud)
        with Reviewer(cloud, warrant.id, deny_as("alice")):
            result, = run_tool_node(lg.ZeltoToolNode(TOOLS, warrant=warrant, signing_key=holder), TRANSFER)
        assert_refused(result, "denied")
        assert runs == []

    def test_expired(self, cloud):
        warrant, holder = guarded_warrant(cloud, ttl_seconds=0)
        result, = run_agent(lg.ZeltoMiddleware(warrant=warrant, signing_key=holder, dry_run=False), TRANSFER)
        assert_refused(result, "approval request expired")
        assert runs == []

    def test_timed_out(self, cloud, monkeypatch):
        monkeypatch.setenv("ZELTO_APPROVAL_TIMEOUT", "0.3")
        warrant, holder = guarded_warrant(cloud)
        result, = run_agent(lg.ZeltoMiddleware(warrant=warrant, signing_key=holder, dry_run=False), TRANSFER,
                            use_async=True)
        assert_refused(result, "timed out after 0.3s waiting for cloud approval. Increase via "
                               "langgraph_cloud_approval(timeout=...) or ZELTO_APPROVAL_TIMEOUT env var.")
        assert runs == []


class TestObserveFirst:
    def test_a_refused_tool_runs_and_is_logged(self, cloud, caplog):
        warrant, holder = guarded_warrant(cloud, tools=("read_balance",), required_approvers=())
        with caplog.at_level(logging.INFO):
            middleware = lg.ZeltoMiddleware(warrant=warrant, signing_key=holder)
            results = run_agent(middleware, ("read_balance", {"account": "acct-1"}), TRANSFER)
        assert [r.content for r in results] == ["acct-1: 1200", "sent 250 to acct-7781"]
        assert runs == [("read_balance", {"account": "acct-1"}), TRANSFER]
        assert [r.getMessage() for r in caplog.records if r.name == LOG] == [
            "zelto_cloud.langgraph: observe-first (dry_run=True); set ZELTO_ENFORCEMENT=enforce to fail closed",
        ]
        # The SDK observes by itself: it runs the refused call and its receipt says "observed".
        assert [r.getMessage() for r in caplog.records if r.name == "zelto.langgraph"] == [
            f"observe-first: running transfer_funds anyway: Authorization denied: warrant {warrant.id}"
            " does not grant the tool transfer_funds",
        ]

    def test_a_human_denial_is_observed_too(self, cloud):
        warrant, holder = guarded_warrant(cloud)
        with Reviewer(cloud, warrant.id, deny_as("alice", "no")):
            result, = run_agent(lg.ZeltoMiddleware(warrant=warrant, signing_key=holder), TRANSFER, use_async=True)
        assert result.content == "sent 250 to acct-7781" and runs == [TRANSFER]

    def test_enforce_refuses_the_same_call(self, cloud, monkeypatch):
        monkeypatch.setenv("ZELTO_ENFORCEMENT", "enforce")
        warrant, holder = guarded_warrant(cloud, tools=("read_balance",), required_approvers=())
        result, = run_agent(lg.ZeltoMiddleware(warrant=warrant, signing_key=holder), TRANSFER)
        assert result.status == "error"
        assert result.content == f"Authorization denied: warrant {warrant.id} does not grant the tool transfer_funds"
        assert runs == []
