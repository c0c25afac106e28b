"""The SDK stand-in's LangGraph classes: each tool call is checked against the
warrant, and approvals are verified against the very call before it runs."""

import asyncio
import contextvars

import pytest
from langgraph.prebuilt.tool_node import ToolCallRequest

from zelto import ApprovalDenied, Warrant
from zelto.decorators import key_scope
from zelto.langgraph import ZeltoMiddleware, ZeltoToolNode
from zelto_core import SignedApproval, SigningKey, approval_request_hash

HOLDER = SigningKey.from_bytes(b"\x11" * 32)
ALICE = SigningKey.from_bytes(b"\xa1" * 32)
MALLORY = SigningKey.from_bytes(b"\x66" * 32)


def warrant(**options):
    options.setdefault("required_approvers", (ALICE.public_key,))
    return Warrant(id="w-lg", holder_key=HOLDER.public_key, **options)


def tool_request(name="transfer", args=None):
    call = {"name": name, "args": {"amount": 5, "to": "acct-1"} if args is None else args, "id": "call_9",
            "type": "tool_call"}
    return ToolCallRequest(tool_call=call, tool=None, state={}, runtime=None)


class Tool:
    """The tool executor handed to a hook: records what it ran with."""

    def __init__(self):
        self.runs = []

    def __call__(self, request):
        self.runs.append(request.tool_call["args"])
        return f"ran with {request.tool_call['args']}"


def approving(key=ALICE, *, seen=None):
    def handler(request):
        if seen is not None:
            seen.append(request)
        return SignedApproval.create(key, request.request_hash)

    return handler


def assert_refused(result, tool, fragment):
    assert result.status == "error" and result.tool_call_id == "call_9" and result.name == "transfer"
    assert result.content.startswith("Authorization denied: ") and fragment in result.content
    assert tool.runs == []


def both_paths(guarded, request, tool):
    """The sync hook's result and the async hook's result for the same call."""
    return [guarded.wrap_tool_call(request, tool), asyncio.run(guarded.awrap_tool_call(request, tool))]


@pytest.fixture(params=["middleware", "tool_node"])
def make(request):
    if request.param == "middleware":
        return ZeltoMiddleware
    return lambda **options: ZeltoToolNode([], **options)


class TestRefusals:
    @pytest.mark.parametrize(("options", "fragment"), [
        ({}, "no warrant covers the tool transfer"),
        ({"warrant": warrant(tools=("read_balance",))}, "warrant w-lg does not grant the tool transfer"),
        ({"warrant": warrant()}, "transfer needs approval and no approval handler is installed"),
    ])
    def test_warrant_checks(self, make, options, fragment):
        tool = Tool()
        for result in both_paths(make(**options), tool_request(), tool):
            assert_refused(result, tool, fragment)

    @pytest.mark.parametrize(("handler", "fragment"), [
        (approving(MALLORY), "is not a required approver"),
        (lambda request: SignedApproval.create(ALICE, b"\x00" * 32), "covers another request"),
        (lambda request: "yes", "not a SignedApproval"),
        (lambda request: [], "0 distinct approvals, 1 required"),
    ])
    def test_bad_approvals_are_refused(self, make, handler, fragment):
        tool = Tool()
        for result in both_paths(make(warrant=warrant(), approval_handler=handler), tool_request(), tool):
            assert_refused(result, tool, fragment)

    def test_handler_denial(self, make):
        def refuse(request):
            raise ApprovalDenied(request, reason="over the limit")

        tool = Tool()
        for result in both_paths(make(warrant=warrant(), approval_handler=refuse), tool_request(), tool):
            assert_refused(result, tool, "approval denied for transfer: over the limit")

    def test_arguments_without_a_canonical_form_are_a_configuration_error(self, make):
        tool = Tool()
        guarded = make(warrant=warrant(), approval_handler=approving())
        for result in both_paths(guarded, tool_request(args={"when": object()}), tool):
            assert result.status == "error" and result.content.startswith("Configuration error: the arguments of")
        assert tool.runs == []

    def test_other_handler_errors_propagate(self, make):
        def broken(request):
            raise ConnectionError("cloud unreachable")

        guarded = make(warrant=warrant(), approval_handler=broken)
        with pytest.raises(ConnectionError):
            guarded.wrap_tool_call(tool_request(), Tool())


class TestApproved:
    def test_no_approval_needed_runs_the_call_as_it_came(self, make):
        guarded = make(warrant=warrant(required_approvers=()))
        request = tool_request()
        assert guarded.wrap_tool_call(request, lambda r: r) is request

    def test_the_request_covers_the_call_and_the_tool_runs_with_what_was_approved(self, make):
        seen, tool = [], Tool()

        def meddling(request):
            approval = approving(seen=seen)(request)
            request.arguments["amount"] = 1_000_000  # too late: the tool has its own copy
            return approval

        guarded = make(warrant=warrant(), approval_handler=meddling)
        results = both_paths(guarded, tool_request(), tool)
        assert results == ["ran with {'amount': 5, 'to': 'acct-1'}"] * 2
        assert tool.runs == [{"amount": 5, "to": "acct-1"}] * 2
        request = seen[0]
        assert (request.tool, request.warrant_id, request.holder_key) == ("transfer", "w-lg", HOLDER.public_key.to_bytes())
        assert request.request_hash == approval_request_hash("w-lg", "transfer", {"amount": 5, "to": "acct-1"},
                                                             HOLDER.public_key)
        assert seen[0].request_id != seen[1].request_id

    def test_signing_key_attests_and_is_the_key_scope_in_every_path(self, make):
        scopes = []

        def sync_handler(request):
            scopes.append(key_scope())
            assert request.approval_context_attestation["signer_key"] == HOLDER.public_key.hex()
            return approving()(request)

        async def async_handler(request):
            scopes.append(key_scope())
            return approving()(request)

        for handler in (sync_handler, async_handler):
            both_paths(make(warrant=warrant(), approval_handler=handler, signing_key=HOLDER), tool_request(), Tool())
        assert scopes == [HOLDER] * 4

    def test_async_handler_from_a_sync_call_inside_a_running_loop(self, make):
        loop_threads = []

        async def handler(request):
            loop_threads.append((key_scope(), asyncio.get_running_loop()))
            return approving()(request)

        guarded = make(warrant=warrant(), approval_handler=handler, signing_key=HOLDER)

        async def sync_call_from_async_code():
            outer = asyncio.get_running_loop()
            result = guarded.wrap_tool_call(tool_request(), Tool())
            return result, outer

        result, outer = asyncio.run(sync_call_from_async_code())
        assert result.startswith("ran with")
        (scope, loop), = loop_threads
        assert scope is HOLDER and loop is not outer

    def test_async_tool_executor(self, make):
        async def execute(request):
            return "async tool ran"

        guarded = make(warrant=warrant(), approval_handler=approving())
        assert asyncio.run(guarded.awrap_tool_call(tool_request(), execute)) == "async tool ran"

    def test_the_key_scope_does_not_leak(self, make):
        guarded = make(warrant=warrant(), approval_handler=approving(), signing_key=HOLDER)
        guarded.wrap_tool_call(tool_request(), Tool())
        assert contextvars.copy_context().run(key_scope) is None


class TestOptions:
    @pytest.mark.parametrize(("options", "error"), [
        ({"warrant": "w-lg"}, TypeError),
        ({"approval_handler": "not callable"}, TypeError),
        ({"signing_key": HOLDER.public_key}, TypeError),
        ({"warrant": warrant(), "signing_key": MALLORY}, ValueError),
    ])
    def test_bad_options(self, make, options, error):
        with pytest.raises(error):
            make(**options)

    def test_tool_node_keeps_its_hooks(self):
        with pytest.raises(TypeError, match="awrap_tool_call, wrap_tool_call cannot be given"):
            ZeltoToolNode([], wrap_tool_call=Tool(), awrap_tool_call=Tool())
        with pytest.raises(TypeError):
            ZeltoMiddleware(warrant())
