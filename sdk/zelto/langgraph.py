"""Guarded tool calls for LangChain agents and LangGraph tool nodes.

``ZeltoMiddleware`` is a LangChain agent middleware::

    agent = create_agent(model, tools, middleware=[ZeltoMiddleware(warrant=w, approval_handler=h)])

``ZeltoToolNode`` is a LangGraph ``ToolNode`` with the same guard installed
as its tool-call hooks::

    graph.add_node("tools", ZeltoToolNode(tools, warrant=w, approval_handler=h))

Each tool call is checked the way ``guard`` checks a call: the warrant must
grant the tool, and when the warrant needs approval the approval handler is
asked and its signed approvals are verified against this very call before
the tool runs, with exactly the arguments that were approved. A refused call
is not raised: it comes back to the model as a tool message with status
"error" whose content starts with "Authorization denied".

Needs the ``langgraph`` extra (langchain and langgraph).
"""

from __future__ import annotations

import asyncio
import contextlib
import contextvars
import copy
import inspect
import logging
from collections.abc import Awaitable, Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any

from langchain.agents.middleware import AgentMiddleware
from langchain_core.messages import ToolMessage
from langgraph.prebuilt import ToolNode
from zelto_core import SigningKey

from .approval import ApprovalDenied, ApprovalRequest, verified_approvals
from .decorators import _awaited, approval_request, bind_key_scope
from .receipts import call_receipt, check_control_plane, deliver
from .warrant import Warrant

__all__ = ["ZeltoMiddleware", "ZeltoToolNode"]

logger = logging.getLogger("zelto.langgraph")

AUTHORIZATION_DENIED = "Authorization denied"
CONFIGURATION_ERROR = "Configuration error:"


def _tool_message(call: dict, content: str) -> ToolMessage:
    return ToolMessage(content=content, tool_call_id=call.get("id") or "", name=call.get("name"), status="error")


def _refusal(call: dict, reason: str) -> ToolMessage:
    return _tool_message(call, f"{AUTHORIZATION_DENIED}: {reason}")


def _run_to_completion(awaitable: Awaitable) -> Any:
    """The result of an async approval handler, for a synchronous tool call.

    Without a loop on this thread the handler runs on a loop of its own. With
    one (a synchronous ``invoke`` made from async code), re-entering that loop
    is impossible and blocking it on itself would deadlock: the handler runs
    on a fresh loop in a helper thread, in a copy of this thread's context so
    that the key scope reaches it.
    """
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return asyncio.run(_awaited(awaitable))
    context = contextvars.copy_context()
    with ThreadPoolExecutor(max_workers=1, thread_name_prefix="zelto-approval") as pool:
        return pool.submit(context.run, asyncio.run, _awaited(awaitable)).result()


class _ToolCallGuard:
    """The checks of one middleware or tool node, shared by its sync and async hooks."""

    def __init__(self, warrant: Warrant | None, approval_handler: Callable | None, signing_key: SigningKey | None,
                 control_plane: Any = None, dry_run: bool = False):
        check_control_plane(control_plane)
        if not isinstance(dry_run, bool):
            raise TypeError("dry_run must be True or False")
        self.control_plane = control_plane
        self.dry_run = dry_run
        if warrant is not None and not isinstance(warrant, Warrant):
            raise TypeError("warrant must be a Warrant")
        if approval_handler is not None and not callable(approval_handler):
            raise TypeError("approval_handler must be callable")
        if signing_key is not None:
            if not isinstance(signing_key, SigningKey):
                raise TypeError("signing_key must be a SigningKey")
            if warrant is not None and signing_key.public_key != warrant.holder_key:
                raise ValueError("signing_key is not the warrant holder's key")
        self.warrant = warrant
        self.approval_handler = approval_handler
        self.signing_key = signing_key

    def open(self, request: Any) -> ToolMessage | tuple[Any, ApprovalRequest | None]:
        """A refusal, or the request to run together with what must be approved first (None: nothing)."""
        call = request.tool_call
        tool = call.get("name")
        warrant = self.warrant
        if warrant is None:
            return _refusal(call, f"no warrant covers the tool {tool}")
        if not warrant.grants(tool):
            return _refusal(call, f"warrant {warrant.id} does not grant the tool {tool}")
        if not warrant.needs_approval:
            return request, None
        args = call.get("args") or {}
        if not isinstance(args, dict):
            return _tool_message(call, f"{CONFIGURATION_ERROR} the arguments of {tool} are not a mapping")
        try:
            gate_request = approval_request(warrant, tool, args, self.signing_key)
        except TypeError as exc:
            return _tool_message(call, f"{CONFIGURATION_ERROR} {exc}")
        if self.approval_handler is None:
            return _refusal(call, f"{tool} needs approval and no approval handler is installed")
        # The tool gets its own copy of what was approved: nothing the handler
        # does to the request's arguments reaches it.
        approved = request.override(tool_call={**call, "args": copy.deepcopy(args)})
        return approved, gate_request

    def key_scope(self) -> contextlib.AbstractContextManager:
        return bind_key_scope(self.signing_key) if self.signing_key is not None else contextlib.nullcontext()

    def approve(self, call: dict, gate_request: ApprovalRequest) -> ToolMessage | None:
        try:
            with self.key_scope():
                result = self.approval_handler(gate_request)
                if inspect.isawaitable(result):
                    result = _run_to_completion(result)
            verified_approvals(gate_request, result)
        except ApprovalDenied as denial:
            return _refusal(call, str(denial))
        return None

    async def approve_async(self, call: dict, gate_request: ApprovalRequest) -> ToolMessage | None:
        try:
            with self.key_scope():
                result = self.approval_handler(gate_request)
                if inspect.isawaitable(result):
                    result = await result
            verified_approvals(gate_request, result)
        except ApprovalDenied as denial:
            return _refusal(call, str(denial))
        return None

    def _decided(self, call: dict, gate_request: ApprovalRequest | None, refusal: ToolMessage | None) -> bool:
        """Sends the call's receipt; True when the call runs (allowed, or refused but only observed)."""
        if refusal is None:
            decision, reason = "allowed", None
        else:
            decision, reason = ("observed" if self.dry_run else "denied"), str(refusal.content)
            if self.dry_run:
                logger.info("observe-first: running %s anyway: %s", call.get("name"), reason)
        if self.control_plane is not None:
            tool = call.get("name") or ""
            warrant_id = self.warrant.id if self.warrant is not None else None
            deliver(self.control_plane, call_receipt(
                "langgraph_tool_call", tool, warrant_id, decision, gate_request,
                reason=reason, dry_run=self.dry_run, tool_call_id=call.get("id")))
        return refusal is None or self.dry_run

    def _gate_request(self, opened: Any) -> ApprovalRequest | None:
        return opened[1] if isinstance(opened, tuple) else None

    def wrap(self, request: Any, handler: Callable) -> Any:
        opened = self.open(request)
        refusal = opened if isinstance(opened, ToolMessage) else None
        gate_request = self._gate_request(opened)
        if refusal is None:
            request = opened[0]
            if gate_request is not None:
                refusal = self.approve(request.tool_call, gate_request)
        if not self._decided(request.tool_call, gate_request, refusal):
            return refusal
        return handler(request)

    async def awrap(self, request: Any, handler: Callable) -> Any:
        opened = self.open(request)
        refusal = opened if isinstance(opened, ToolMessage) else None
        gate_request = self._gate_request(opened)
        if refusal is None:
            request = opened[0]
            if gate_request is not None:
                refusal = await self.approve_async(request.tool_call, gate_request)
        if not self._decided(request.tool_call, gate_request, refusal):
            return refusal
        result = handler(request)
        return await result if inspect.isawaitable(result) else result


class ZeltoMiddleware(AgentMiddleware):
    """Agent middleware that guards every tool call of the agent with ``warrant``.

    Without a warrant every tool call is refused. ``signing_key`` is the
    holder's key, bound as the key scope while the approval handler runs.
    ``control_plane`` (anything with ``emit_receipt``) receives one receipt
    per tool call; with ``dry_run`` (observe-first) a refused call is
    reported as observed and runs anyway.
    """

    def __init__(
        self,
        *,
        warrant: Warrant | None = None,
        approval_handler: Callable | None = None,
        signing_key: SigningKey | None = None,
        control_plane: Any = None,
        dry_run: bool = False,
    ) -> None:
        super().__init__()
        self._guard = _ToolCallGuard(warrant, approval_handler, signing_key, control_plane, dry_run)

    @property
    def warrant(self) -> Warrant | None:
        return self._guard.warrant

    @property
    def approval_handler(self) -> Callable | None:
        return self._guard.approval_handler

    def wrap_tool_call(self, request: Any, handler: Callable) -> Any:
        return self._guard.wrap(request, handler)

    async def awrap_tool_call(self, request: Any, handler: Callable) -> Any:
        return await self._guard.awrap(request, handler)


class ZeltoToolNode(ToolNode):
    """A ``ToolNode`` whose tool calls are guarded with ``warrant``.

    The guard occupies the node's tool-call hooks, so ``wrap_tool_call`` and
    ``awrap_tool_call`` cannot be passed; every other ``ToolNode`` option can.
    """

    def __init__(
        self,
        tools: Sequence[Any],
        *,
        warrant: Warrant | None = None,
        approval_handler: Callable | None = None,
        signing_key: SigningKey | None = None,
        control_plane: Any = None,
        dry_run: bool = False,
        **options: Any,
    ) -> None:
        taken = sorted({"wrap_tool_call", "awrap_tool_call"} & options.keys())
        if taken:
            raise TypeError(f"ZeltoToolNode installs its own tool-call hooks; {', '.join(taken)} cannot be given")
        self._guard = _ToolCallGuard(warrant, approval_handler, signing_key, control_plane, dry_run)
        super().__init__(tools, wrap_tool_call=self.wrap_tool_call, awrap_tool_call=self.awrap_tool_call, **options)

    @property
    def warrant(self) -> Warrant | None:
        return self._guard.warrant

    @property
    def approval_handler(self) -> Callable | None:
        return self._guard.approval_handler

    def wrap_tool_call(self, request: Any, handler: Callable) -> Any:
        return self._guard.wrap(request, handler)

    async def awrap_tool_call(self, request: Any, handler: Callable) -> Any:
        return await self._guard.awrap(request, handler)
