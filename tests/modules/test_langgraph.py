"""zelto_cloud.langgraph: the async cloud handler with an in-process client
and a virtual event-loop clock (the end-to-end tests use the real client and
a local cloud), and the drop-in classes on top of the SDK stand-in."""

import asyncio
import inspect
import logging
from types import MappingProxyType, SimpleNamespace

import pytest
from langchain_core.messages import ToolMessage
from langgraph.prebuilt.tool_node import ToolCallRequest

import zelto.langgraph as sdk
import zelto_cloud.approval as approval
import zelto_cloud.langgraph as lg
from zelto.approval import ApprovalDenied
from zelto_cloud.client import DEFAULT_BASE_URL
from zelto_cloud.exceptions import ApprovalDeniedError, ApprovalExpiredError, ApprovalTimeoutError, ZeltoCloudError
from zelto_core import SigningKey

TIMEOUT_TAIL = "s waiting for cloud approval. Increase via langgraph_cloud_approval(timeout=...) or ZELTO_APPROVAL_TIMEOUT env var."
LOG = "zelto_cloud.langgraph"
EXTRACTED = object()


@pytest.fixture(autouse=True)
def clean_env(monkeypatch):
    for name in ("ZELTO_API_KEY", "ZELTO_APPROVAL_TIMEOUT", "ZELTO_DASHBOARD_URL", "ZELTO_ENFORCEMENT", "ZELTO_DRY_RUN",
                 "ZELTO_CONTROL_PLANE_URL"):
        monkeypatch.delenv(name, raising=False)


class VirtualTime:
    """Stands in for the module's asyncio: a loop clock that only sleeps advance."""

    def __init__(self):
        self.now = 1000.0
        self.sleeps = []

    def get_running_loop(self):
        asyncio.get_running_loop()  # the handler must run inside a loop
        return self

    def time(self):
        return self.now

    async def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += seconds


class FakeClient:
    """AsyncZeltoCloudClient from a script of poll records or errors; counts closes."""

    def __init__(self, api_key, *, base_url):
        self.api_key, self.base_url = api_key, base_url
        self.created, self.polled, self.closed = [], [], 0
        self.script, self.close_error = [], None

    async def create_request(self, **kwargs):
        self.created.append(kwargs)
        return {"id": 42}

    async def get_request(self, request_id):
        self.polled.append(request_id)
        step = self.script[min(len(self.polled), len(self.script)) - 1]
        if isinstance(step, BaseException):
            raise step
        return step

    async def close(self):
        self.closed += 1
        if self.close_error:
            raise self.close_error


class FakePayload:
    def __init__(self, kwargs):
        self.kwargs = kwargs

    def to_create_request_kwargs(self):
        return self.kwargs


def gate(**fields):
    return SimpleNamespace(**{"tool": "transfer", "request_id": "req-1", **fields})


@pytest.fixture
def cloud(monkeypatch):
    """Runs one handler call against a scripted client; returns the client afterwards."""
    clock = VirtualTime()
    clients, payloads = [], []
    monkeypatch.setattr(lg, "asyncio", clock)
    monkeypatch.setattr(approval, "_extract_signed_approvals", lambda record: (EXTRACTED, record))

    def build(request, *, signing_key, idempotency_key):
        payloads.append((request, signing_key, idempotency_key))
        return FakePayload(cloud.create_kwargs)

    def client_class(api_key, *, base_url):
        client = FakeClient(api_key, base_url=base_url)
        client.script, client.close_error = cloud.script, cloud.close_error
        clients.append(client)
        return client

    monkeypatch.setattr(lg, "build_approval_request_payload", build)
    monkeypatch.setattr(lg, "AsyncZeltoCloudClient", client_class)

    def run(*script, request=None, **options):
        cloud.script = list(script)
        options.setdefault("poll_interval", 2.0)
        handler = lg.langgraph_cloud_approval("key", base_url="https://cloud.test", **options)
        return asyncio.run(handler(request or gate()))

    cloud = run
    cloud.clock, cloud.clients, cloud.payloads = clock, clients, payloads
    cloud.create_kwargs, cloud.close_error = {"tool": "transfer"}, None
    return cloud


def denial(cloud, *script, **options) -> ApprovalDenied:
    with pytest.raises(ApprovalDenied) as info:
        cloud(*script, **options)
    assert cloud.clients[-1].closed == 1
    return info.value


PENDING = {"status": "pending"}


class TestHandler:
    def test_approved_after_polling_logs_the_link_and_returns_the_extraction(self, cloud, caplog, monkeypatch):
        monkeypatch.setenv("ZELTO_DASHBOARD_URL", "https://dash.test///")
        record = {"status": "APPROVED", "responses": []}
        with caplog.at_level(logging.INFO, logger=LOG):
            assert cloud(PENDING, {"status": None}, record, timeout=60) == (EXTRACTED, record)
        client, = cloud.clients
        assert (client.api_key, client.base_url, client.closed) == ("key", "https://cloud.test", 1)
        assert client.created == [{"tool": "transfer"}] and client.polled == [42, 42, 42]
        assert cloud.clock.sleeps == [2.0, 2.0]
        assert [r.getMessage() for r in caplog.records if r.name == LOG] == [
            "approval gate for 'transfer' - request 42 - https://dash.test/approvals?request=42",
            "approval granted for 'transfer' (request 42)",
        ]

    def test_default_dashboard_and_deadline(self, cloud, caplog):
        with caplog.at_level(logging.INFO, logger=LOG):
            reason = denial(cloud, PENDING, poll_interval=400.0).reason
        assert reason == "timed out after 900.0" + TIMEOUT_TAIL
        # The last wait is cut to what remains, and the deadline is polled once more.
        assert cloud.clock.sleeps == [400.0, 400.0, 100.0] and len(cloud.clients[0].polled) == 4
        assert caplog.records[0].getMessage().endswith(" - https://app.zelto.cloud/approvals?request=42")

    def test_a_tie_sleeps_the_poll_interval(self, cloud):
        denial(cloud, PENDING, poll_interval=2.5, timeout=5)
        assert cloud.clock.sleeps == [2.5, 2.5]

    @pytest.mark.parametrize("timeout", [0, -3])
    def test_zero_or_negative_timeout_polls_once(self, cloud, timeout):
        assert denial(cloud, PENDING, timeout=timeout).reason == "timed out after %r" % float(timeout) + TIMEOUT_TAIL
        assert cloud.clients[0].polled == [42] and cloud.clock.sleeps == []

    def test_a_final_status_wins_over_a_passed_deadline(self, cloud):
        assert cloud({"status": "approved"}, timeout=0)[0] is EXTRACTED

    @pytest.mark.parametrize(("record", "reason"), [
        ({"status": "denied", "denied_reason": "over the limit"}, "over the limit"),
        ({"status": "Denied", "denied_reason": ""}, "denied"),
        ({"status": "rejected"}, "rejected"),
        ({"status": "EXPIRED", "denied_reason": "ignored"}, "approval request expired"),
    ])
    def test_refusals(self, cloud, record, reason):
        error = denial(cloud, record)
        assert error.reason == reason and error.request.tool == "transfer"
        assert error.__cause__ is None

    @pytest.mark.parametrize("error_class", [ApprovalDeniedError, ApprovalExpiredError])
    def test_client_refusals_are_denials_caused_by_them(self, cloud, error_class):
        raised = error_class("request apr_1 was refused")
        error = denial(cloud, PENDING, raised)
        assert error.reason == "request apr_1 was refused" and error.__cause__ is raised

    def test_client_time_out_gets_the_handlers_message_without_a_cause(self, cloud):
        raised = ApprovalTimeoutError("apr_1", 5.0)
        error = denial(cloud, raised, timeout=60)
        assert error.reason == "timed out after 60.0" + TIMEOUT_TAIL
        assert error.__cause__ is None and error.__context__ is raised

    def test_other_errors_pass_unchanged_after_closing(self, cloud):
        raised = ZeltoCloudError("boom", status_code=500)
        with pytest.raises(ZeltoCloudError) as info:
            cloud(raised)
        assert info.value is raised and cloud.clients[0].closed == 1

    def test_a_failing_close_replaces_the_pending_outcome(self, cloud):
        cloud.close_error = RuntimeError("close failed")
        with pytest.raises(RuntimeError, match="close failed") as info:
            cloud({"status": "denied"})
        assert isinstance(info.value.__context__, ApprovalDenied)
        with pytest.raises(RuntimeError, match="close failed"):
            cloud({"status": "approved"})

    @pytest.mark.parametrize(("kwargs", "error"), [
        (None, TypeError), ([("tool", "x")], TypeError), (MappingProxyType({"tool": "t"}), None),
    ])
    def test_create_kwargs_must_be_a_mapping(self, cloud, kwargs, error):
        cloud.create_kwargs = kwargs
        if error is None:
            assert cloud({"status": "approved"})[0] is EXTRACTED
            assert cloud.clients[0].created == [{"tool": "t"}]
        else:
            with pytest.raises(error):
                cloud({"status": "approved"})
            assert cloud.clients[0].closed == 1 and cloud.clients[0].created == []

    def test_a_request_without_tool_fails_at_the_first_log_line_and_closes(self, cloud):
        with pytest.raises(AttributeError):
            cloud(PENDING, request=SimpleNamespace(request_id=None))
        assert cloud.clients[0].closed == 1 and cloud.clients[0].polled == []

    def test_payload_gets_the_key_and_the_idempotency_key(self, cloud):
        key = SigningKey.generate()
        request = gate(request_id=b"\x01\xab")
        cloud({"status": "approved"}, request=request, signing_key=key)
        assert cloud.payloads == [(request, key, "01ab")]

    def test_payload_failure_creates_no_client(self, cloud, monkeypatch):
        monkeypatch.setattr(lg, "build_approval_request_payload", lambda *a, **k: 1 / 0)
        with pytest.raises(ZeroDivisionError):
            cloud({"status": "approved"})
        assert cloud.clients == []

    def test_cancellation_still_closes(self, cloud, monkeypatch):
        async def cancelled_sleep(seconds):
            raise asyncio.CancelledError

        monkeypatch.setattr(cloud.clock, "sleep", cancelled_sleep)
        with pytest.raises(asyncio.CancelledError):
            cloud(PENDING)
        assert cloud.clients[0].closed == 1

    def test_concurrent_calls_are_independent(self, cloud, monkeypatch):
        monkeypatch.setattr(lg, "asyncio", asyncio)
        cloud.script = [PENDING, {"status": "approved"}]
        handler = lg.langgraph_cloud_approval("key", poll_interval=0.001)

        async def both():
            return await asyncio.gather(handler(gate()), handler(gate()))

        assert [r[0] for r in asyncio.run(both())] == [EXTRACTED, EXTRACTED]
        assert [(len(c.polled), c.closed) for c in cloud.clients] == [(2, 1), (2, 1)]


class TestFactory:
    def test_signature_and_handler_shape(self):
        assert str(inspect.signature(lg.langgraph_cloud_approval)) == (
            "(api_key: 'str', *, signing_key: 'Any' = None, base_url: 'str' = 'https://api.zelto.cloud', "
            "dashboard_url: 'str' = '', poll_interval: 'float' = 3.0, timeout: 'Optional[float]' = None) -> 'Any'")
        handler = lg.langgraph_cloud_approval("key")
        assert handler.__qualname__ == "langgraph_cloud_approval.<locals>._handle"
        assert handler.__module__ == "zelto_cloud.langgraph"
        assert asyncio.iscoroutinefunction(handler) and inspect.iscoroutinefunction(handler)
        assert str(inspect.signature(handler)) == "(request: 'Any') -> 'Union[Any, List[Any]]'"
        with pytest.raises(TypeError):
            lg.langgraph_cloud_approval("key", "positional-key")
        with pytest.raises(TypeError):
            lg.langgraph_cloud_approval("key", unknown=1)

    @pytest.mark.parametrize(("timeout", "env", "seconds"), [
        (60, "5", "60.0"), (2.5, None, "2.5"), (None, None, "900.0"), (None, " 1_0 ", "10.0"),
        (None, "1e3", "1000.0"), (None, "inf", "inf"), (True, None, "1.0"),
    ])
    def test_timeout_resolution(self, cloud, monkeypatch, timeout, env, seconds):
        if env is not None:
            monkeypatch.setenv("ZELTO_APPROVAL_TIMEOUT", env)
        reason = denial(cloud, ApprovalTimeoutError("apr_1", 1.0), timeout=timeout).reason
        assert reason == f"timed out after {seconds}" + TIMEOUT_TAIL

    @pytest.mark.parametrize(("timeout", "env", "error"), [
        ("60", None, TypeError), (None, "abc", ValueError), (None, "", ValueError), (object(), None, TypeError),
    ])
    def test_bad_timeouts_fail_at_creation(self, monkeypatch, timeout, env, error):
        if env is not None:
            monkeypatch.setenv("ZELTO_APPROVAL_TIMEOUT", env)
        with pytest.raises(error):
            lg.langgraph_cloud_approval("key", timeout=timeout)

    def test_configuration_is_read_once_at_creation(self, cloud, monkeypatch, caplog):
        monkeypatch.setenv("ZELTO_APPROVAL_TIMEOUT", "7")
        monkeypatch.setenv("ZELTO_DASHBOARD_URL", "https://first.test")
        handler = lg.langgraph_cloud_approval("key", poll_interval=100.0)
        monkeypatch.setenv("ZELTO_APPROVAL_TIMEOUT", "8")
        monkeypatch.setenv("ZELTO_DASHBOARD_URL", "https://second.test")
        cloud.script = [PENDING]
        with caplog.at_level(logging.INFO, logger=LOG), pytest.raises(ApprovalDenied) as info:
            asyncio.run(handler(gate()))
        assert info.value.reason.startswith("timed out after 7.0s")
        assert "https://first.test/approvals?request=42" in caplog.records[0].getMessage()
        caplog.clear()
        cloud.script = [{"status": "approved"}]
        with caplog.at_level(logging.INFO, logger=LOG):  # an explicit URL wins over the variable
            asyncio.run(lg.langgraph_cloud_approval("key", dashboard_url="https://mine.test/")(gate()))
        assert caplog.records[0].getMessage().endswith(" - https://mine.test/approvals?request=42")


class BytesSub(bytes):
    pass


@pytest.mark.parametrize(("value", "key"), [
    (b"\x01\xab", "01ab"), (bytearray(b"\xff"), "ff"), (BytesSub(b"\x0a"), "0a"), (b"", ""),
    (7, "7"), ("req-1", "req-1"), (None, None), (..., None),
])
def test_idempotency_key(value, key):
    request = SimpleNamespace() if value is ... else SimpleNamespace(request_id=value)
    assert lg._get_idempotency_key(request=request) == key


class TestAutoHandler:
    @pytest.fixture
    def factory_calls(self, monkeypatch):
        calls = []
        monkeypatch.setattr(lg, "langgraph_cloud_approval", lambda **kw: calls.append(kw) or "handler")
        return calls

    @pytest.mark.parametrize("env", [None, ""])
    def test_no_key_no_handler(self, monkeypatch, factory_calls, env):
        if env is not None:
            monkeypatch.setenv("ZELTO_API_KEY", env)
        assert lg._auto_approval_handler() is None
        assert lg._auto_approval_handler(api_key="", timeout=5) is None
        assert factory_calls == []

    def test_key_from_the_environment_and_overrides_passed_on(self, monkeypatch, factory_calls):
        monkeypatch.setenv("ZELTO_API_KEY", "env-key")
        assert lg._auto_approval_handler(api_key="", timeout=5) == "handler"
        assert lg._auto_approval_handler(dashboard_url="d", api_key="mine") == "handler"
        assert factory_calls == [{"api_key": "env-key", "timeout": 5}, {"api_key": "mine", "dashboard_url": "d"}]
        assert list(factory_calls[1]) == ["api_key", "dashboard_url"]

    @pytest.mark.parametrize(("env", "overrides", "added"), [
        ({}, {}, {}),  # unset: the factory sees exactly what it always saw
        ({"ZELTO_CONTROL_PLANE_URL": ""}, {}, {}),
        ({"ZELTO_CONTROL_PLANE_URL": "http://127.0.0.1:8787"}, {},
         {"base_url": "http://127.0.0.1:8787", "dashboard_url": "http://127.0.0.1:8787"}),
        ({"ZELTO_CONTROL_PLANE_URL": "http://127.0.0.1:8787", "ZELTO_DASHBOARD_URL": "https://dash.test"}, {},
         {"base_url": "http://127.0.0.1:8787"}),
        ({"ZELTO_CONTROL_PLANE_URL": DEFAULT_BASE_URL}, {}, {"base_url": DEFAULT_BASE_URL}),  # its own dashboard
        ({"ZELTO_CONTROL_PLANE_URL": "http://cp.test"}, {"base_url": "http://mine.test"}, {}),
        ({"ZELTO_CONTROL_PLANE_URL": "http://cp.test"}, {"dashboard_url": "d"}, {"base_url": "http://cp.test"}),
    ])
    def test_control_plane_url(self, monkeypatch, factory_calls, env, overrides, added):
        monkeypatch.setenv("ZELTO_API_KEY", "env-key")
        for name, value in env.items():
            monkeypatch.setenv(name, value)
        assert lg._auto_approval_handler(**overrides) == "handler"
        assert factory_calls == [{"api_key": "env-key", **overrides, **added}]

    def test_unknown_keys_and_positionals_are_type_errors(self, monkeypatch):
        monkeypatch.setenv("ZELTO_API_KEY", "env-key")
        with pytest.raises(TypeError):
            lg._auto_approval_handler(colour="red")
        with pytest.raises(TypeError):
            lg._auto_approval_handler("key")
        assert lg._auto_approval_handler().__qualname__ == "langgraph_cloud_approval.<locals>._handle"


# ---- the drop-in classes ------------------------------------------------------

def tool_request(name="transfer", args=None, *, tool_call=...):
    if tool_call is ...:
        tool_call = {"name": name, "args": {"amount": 5} if args is None else args, "id": "call_1", "type": "tool_call"}
    return ToolCallRequest(tool_call=tool_call, tool=None, state={}, runtime=None)


def refused(content="Authorization denied: no", status="error"):
    return ToolMessage(content=content, tool_call_id="call_1", status=status)


def ran(request):
    return ToolMessage(content=f"ran {request.tool_call['name']}", tool_call_id="call_1")


def observe_lines(caplog):
    return [r.getMessage() for r in caplog.records if r.name == LOG]


class TestConstructors:
    def test_auto_wiring(self, monkeypatch):
        monkeypatch.setenv("ZELTO_API_KEY", "env-key")
        for middleware in (lg.ZeltoMiddleware(), lg.ZeltoMiddleware(approval_handler=None)):
            assert middleware.approval_handler.__qualname__ == "langgraph_cloud_approval.<locals>._handle"
        mine = lambda request: None  # noqa: E731
        assert lg.ZeltoMiddleware(approval_handler=mine).approval_handler is mine
        assert lg.ZeltoToolNode([]).approval_handler.__qualname__ == "langgraph_cloud_approval.<locals>._handle"
        assert lg.ZeltoToolNode(tools=[], approval_handler=mine).approval_handler is mine

    def test_positional_arguments_skip_auto_wiring_for_the_middleware(self, monkeypatch):
        calls = []
        monkeypatch.setattr(lg, "_auto_approval_handler", lambda: calls.append(1))
        with pytest.raises(TypeError):  # the SDK's middleware takes keywords only
            lg.ZeltoMiddleware(object())
        assert calls == []

    def test_without_a_key_only_dry_run_differs(self):
        middleware = lg.ZeltoMiddleware()
        assert middleware.approval_handler is None and middleware.warrant is None
        assert lg.ZeltoToolNode([]).approval_handler is None

    @pytest.mark.parametrize(("dry_run", "env", "expected"), [
        (False, None, False), (0, None, False), ("yes", None, True), ("", "observe", False),
        (None, "enforce", False), (None, None, True), (None, "audit", True),
    ])
    def test_dry_run(self, monkeypatch, caplog, dry_run, env, expected):
        if env:
            monkeypatch.setenv("ZELTO_ENFORCEMENT", env)
        options = {} if dry_run is None else {"dry_run": dry_run}
        with caplog.at_level(logging.INFO, logger=LOG):
            built = [lg.ZeltoMiddleware(**options), lg.ZeltoToolNode([], **options)]
        assert [b._dry_run for b in built] == [expected, expected]
        line = "zelto_cloud.langgraph: observe-first (dry_run=True); set ZELTO_ENFORCEMENT=enforce to fail closed"
        assert observe_lines(caplog) == [line, line] * expected

    def test_constructor_errors_stop_before_the_base(self, monkeypatch):
        monkeypatch.setenv("ZELTO_API_KEY", "env-key")
        monkeypatch.setenv("ZELTO_APPROVAL_TIMEOUT", "soon")
        with pytest.raises(ValueError):
            lg.ZeltoMiddleware()
        with pytest.raises(TypeError):
            lg.ZeltoToolNode()
        with pytest.raises(TypeError):
            lg.ZeltoToolNode([], [])

    def test_other_keywords_reach_the_base(self):
        node = lg.ZeltoToolNode([], name="guarded_tools", dry_run=False)
        assert node.name == "guarded_tools"
        with pytest.raises(TypeError, match="own tool-call hooks"):
            lg.ZeltoToolNode([], wrap_tool_call=ran)

    def test_class_identity(self):
        for cls, base in ((lg.ZeltoMiddleware, sdk.ZeltoMiddleware), (lg.ZeltoToolNode, sdk.ZeltoToolNode)):
            assert cls.__name__ == cls.__qualname__ == base.__name__
            assert cls.__module__ == "zelto_cloud.langgraph" and cls.__bases__ == (base,)
            assert "Drop-in replacement" in cls.__doc__ and "from zelto_cloud.langgraph import" in cls.__doc__
        assert lg.ZeltoMiddleware.awrap_tool_call.__qualname__ == (
            "_make_cloud_middleware_class.<locals>._CloudZeltoMiddleware.awrap_tool_call")
        assert inspect.iscoroutinefunction(lg.ZeltoMiddleware.awrap_tool_call)
        assert str(inspect.signature(lg.ZeltoToolNode.__init__)) == "(self, tools: 'Any', **kwargs: 'Any') -> 'None'"
        assert type(lg.ZeltoToolNode) is type(sdk.ZeltoToolNode)  # the base's metaclass
        fresh = lg._make_cloud_middleware_class()
        assert fresh is not lg.ZeltoMiddleware and issubclass(fresh, sdk.ZeltoMiddleware)
        assert isinstance(fresh(dry_run=False), sdk.ZeltoMiddleware)


class MatchesAnything:
    def __ne__(self, other):
        return False


class Text(str):
    pass


class Shown(str):
    def __str__(self):
        return "Authorization denied"


class TestDenialMarkers:
    @pytest.mark.parametrize(("result", "expected"), [
        (refused("Authorization denied: warrant w does not grant"), True),
        (refused("tool x: Security configuration error (key)"), True),
        (refused("Configuration error: bad args"), True),
        (refused("configuration error: lower case"), False),
        (SimpleNamespace(status="Error", content="Authorization denied"), False),
        (refused("Authorization denied", status="success"), False),
        (SimpleNamespace(status="error", content=None), False),
        (SimpleNamespace(status="error", content=["Authorization denied"]), True),
        (SimpleNamespace(status="error"), False),
        (object(), False),
        # Statuses and contents that answer the comparison or str() themselves.
        (SimpleNamespace(status=MatchesAnything(), content="Authorization denied"), True),
        (SimpleNamespace(status=Text("error"), content="Authorization denied"), True),
        (SimpleNamespace(status=Text("warning"), content="Authorization denied"), False),
        (SimpleNamespace(status="error", content=Shown("fine")), True),
    ])
    def test_is_denial(self, result, expected):
        assert lg._is_denial_tool_message(result) is expected


class TestObserveOrResult:
    def test_enforce_returns_the_denial_untested(self, monkeypatch):
        monkeypatch.setattr(lg, "_is_denial_tool_message", lambda result: 1 / 0)
        denial_message = refused()
        assert lg._observe_or_result(denial_message, tool_request(), ran, False) is denial_message

    def test_observe_reruns_a_denied_call(self, caplog):
        with caplog.at_level(logging.INFO, logger=LOG):
            assert lg._observe_or_result(refused(), tool_request("wire"), ran, dry_run=True).content == "ran wire"
        assert observe_lines(caplog) == ["zelto_cloud.langgraph: observe-first allowing 'wire' after denial"]

    def test_observe_leaves_other_results(self):
        fine = ToolMessage(content="ok", tool_call_id="call_1")
        assert lg._observe_or_result(fine, tool_request(), ran, True) is fine

    @pytest.mark.parametrize("tool_call", [None, {}, ["transfer"], {"args": {}}])
    def test_unknown_tool_name(self, caplog, tool_call):
        request = SimpleNamespace() if tool_call is None else SimpleNamespace(tool_call=tool_call)
        with caplog.at_level(logging.INFO, logger=LOG):
            assert lg._observe_or_result(refused(), request, lambda r: "again", True) == "again"
        assert observe_lines(caplog) == ["zelto_cloud.langgraph: observe-first allowing 'unknown' after denial"]

    def test_async_path_awaits_coroutines_only(self):
        async def handler(request):
            return "awaited"

        observe = lg._observe_or_result_async
        assert asyncio.iscoroutinefunction(observe)
        assert asyncio.run(observe(refused(), tool_request(), handler, True)) == "awaited"
        assert asyncio.run(observe(refused(), tool_request(), lambda r: "plain", True)) == "plain"
        denial_message = refused()
        assert asyncio.run(observe(denial_message, tool_request(), handler, dry_run=0)) is denial_message


def _module_global_steps():
    missing = object()
    return missing, [
        (None, "reran"),
        (lambda result: False, "kept"),
        (lambda result: True, "reran"),
        (missing, NameError),
        (lambda result: False, "kept"),
        (None, "reran"),
    ]


def test_module_globals_are_read_at_each_call(monkeypatch):
    """A module global the native code looks up (and remembers while the module's dict
    is unchanged) is found again after each change of the dict: replaced, deleted, put back."""
    missing, steps = _module_global_steps()
    original = lg._is_denial_tool_message
    denial_message = refused()
    for replacement, expected in steps:
        if replacement is missing:
            monkeypatch.delattr(lg, "_is_denial_tool_message")
        else:
            monkeypatch.setattr(lg, "_is_denial_tool_message", replacement or original, raising=False)
        for _ in range(2):  # the second call finds what the first one remembered
            run = lg._observe_or_result_async(denial_message, tool_request(), lambda r: "again", True)
            if expected is NameError:
                with pytest.raises(NameError, match="_is_denial_tool_message"):
                    asyncio.run(run)
            else:
                assert asyncio.run(run) == ("again" if expected == "reran" else denial_message)


class TestWrapMethods:
    """The middleware over the SDK stand-in: a warrant-less middleware refuses every call."""

    def test_observe_first_runs_the_refused_tool(self, caplog):
        # The SDK stand-in observes by itself (and says so in its receipt), so it runs the call.
        middleware = lg.ZeltoMiddleware()
        with caplog.at_level(logging.INFO):
            assert middleware.wrap_tool_call(tool_request("wire"), ran).content == "ran wire"
            assert asyncio.run(middleware.awrap_tool_call(tool_request("wire"), ran)).content == "ran wire"
        assert observe_lines(caplog) == []
        sdk_lines = [r.getMessage() for r in caplog.records if r.name == "zelto.langgraph"]
        assert sdk_lines == ["observe-first: running wire anyway: Authorization denied: no warrant covers the tool wire"] * 2

    def test_enforce_returns_the_refusal_and_the_flag_is_read_per_call(self):
        calls = []
        middleware = lg.ZeltoMiddleware(dry_run=False)
        result = middleware.wrap_tool_call(tool_request(), lambda r: calls.append(r))
        assert result.status == "error" and result.content.startswith("Authorization denied")
        assert asyncio.run(middleware.awrap_tool_call(request=tool_request(), handler=calls.append)).status == "error"
        assert calls == []
        middleware._dry_run = True
        assert middleware.wrap_tool_call(tool_request("x"), ran).content == "ran x"

    def test_async_hook_observes_a_refusal_of_the_base(self, monkeypatch, caplog):
        # The base refuses without observing; the cloud's own step reruns the call.
        async def refusing(self, request, handler):
            return refused("Configuration error: base")

        async def async_tool(request):
            return "awaited"

        def raising_tool(request):
            raise LookupError("tool failed")

        class Pending:  # awaitable, but not a coroutine: returned as it is
            def __await__(self):
                yield

        pending = Pending()
        monkeypatch.setattr(sdk.ZeltoMiddleware, "awrap_tool_call", refusing)
        cases = [
            (True, ran, lambda out: out.content == "ran t"),
            (True, async_tool, lambda out: out == "awaited"),
            (True, lambda request: pending, lambda out: out is pending),
            (True, raising_tool, LookupError),
            (False, ran, lambda out: out.content == "Configuration error: base"),
        ]
        for dry_run, handler, check in cases:
            middleware = lg.ZeltoMiddleware(dry_run=dry_run)
            caplog.clear()
            with caplog.at_level(logging.INFO, logger=LOG):
                if check is LookupError:
                    with pytest.raises(LookupError, match="tool failed"):
                        asyncio.run(middleware.awrap_tool_call(tool_request("t"), handler))
                else:
                    assert check(asyncio.run(middleware.awrap_tool_call(tool_request("t"), handler)))
            assert len(observe_lines(caplog)) == int(dry_run), (dry_run, handler)

    def test_module_globals_and_the_base_method_are_looked_up_at_every_call(self, monkeypatch):
        # Each step changes what the hooks must find, after calls that found the old one.
        middleware = lg.ZeltoMiddleware(dry_run=True)
        base = sdk.ZeltoMiddleware.wrap_tool_call
        steps = [
            (None, None, "ran t"),
            ("_observe_or_result", lambda result, request, handler, dry_run: "global", "global"),
            ("_observe_or_result", lg._observe_or_result, "ran t"),
            ("wrap_tool_call", lambda self, request, handler: refused("Configuration error: base"), "ran t"),
            ("_is_denial_tool_message", lambda result: False, "Configuration error: base"),
            ("wrap_tool_call", lambda self, request, handler: "base", "base"),
            ("wrap_tool_call", base, "ran t"),
        ]
        for name, value, expected in steps:
            if name == "wrap_tool_call":
                monkeypatch.setattr(sdk.ZeltoMiddleware, name, value)
            elif name:
                monkeypatch.setattr(lg, name, value)
            for _ in range(2):
                result = middleware.wrap_tool_call(tool_request("t"), ran)
                assert getattr(result, "content", result).startswith(expected), (name, result)


PLACEHOLDER = """
import sys
sys.modules["zelto.langgraph"] = None
import zelto_cloud.langgraph as lg
for cls, args in ((lg.ZeltoMiddleware, (1,)), (lg.ZeltoToolNode, ([],))):
    causes = []
    for _ in range(2):
        try:
            cls(*args, approval_handler=None)
        except ImportError as exc:
            causes.append(exc.__cause__)
            print(exc)
    print(cls.__name__, cls.__qualname__, cls.__bases__ == (object,), cls.__doc__)
    print(type(causes[0]).__name__, causes[0] is causes[1], "zelto.langgraph" in str(causes[0]))
print(lg.langgraph_cloud_approval.__name__)
"""

HINT = "zelto_cloud.langgraph requires zelto[langgraph]. Install with: pip install 'zelto[langgraph]'"


class TestPlaceholders:
    def test_without_the_extra_the_classes_explain_themselves(self, fresh_python):
        result = fresh_python(PLACEHOLDER)
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == [
            HINT, HINT, "ZeltoMiddleware ZeltoMiddleware True None", "ModuleNotFoundError True True",
            HINT, HINT, "ZeltoToolNode ZeltoToolNode True None", "ModuleNotFoundError True True",
            "langgraph_cloud_approval",
        ]

    def test_other_failures_of_the_extra_fail_the_import(self, fresh_python):
        code = """
import sys, importlib.abc
class Broken(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path, target=None):
        if name == "zelto.langgraph":
            raise RuntimeError("broken install")
sys.meta_path.insert(0, Broken())
try:
    import zelto_cloud.langgraph
except RuntimeError as exc:
    print("RuntimeError", exc)
"""
        result = fresh_python(code)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "RuntimeError broken install"


class TestModule:
    def test_module_objects(self):
        names = list(vars(lg))
        assert names.index("logger") < names.index("langgraph_cloud_approval") < names.index("ZeltoMiddleware")
        assert lg.logger is logging.getLogger("zelto_cloud.langgraph")
        assert "from zelto_cloud.langgraph import ZeltoMiddleware" in lg.__doc__

    def test_factories_build_in_their_own_globals_whatever_sys_modules_holds(self, fresh_python):
        code = """
import sys, types
import zelto_cloud.langgraph as lg
own = vars(lg)
for stand_in in (types.SimpleNamespace(__name__="zelto_cloud.langgraph"), None):
    if stand_in is None:
        del sys.modules["zelto_cloud.langgraph"]
    else:
        sys.modules["zelto_cloud.langgraph"] = stand_in
    for factory in (lg._make_cloud_middleware_class, lg._make_cloud_tool_node_class):
        cls = factory()
        print(cls.__name__, cls.__module__, cls.__init__.__globals__ is own)
"""
        result = fresh_python(code)
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == ["ZeltoMiddleware zelto_cloud.langgraph True",
                                              "ZeltoToolNode zelto_cloud.langgraph True"] * 2


def test_many_handler_and_wrap_calls_leave_memory_flat(cloud, monkeypatch):
    from conftest import traced_growth

    monkeypatch.setattr(lg, "asyncio", asyncio)
    cloud.script = [{"status": "approved"}]
    handler = lg.langgraph_cloud_approval("key")
    middleware = lg.ZeltoMiddleware()

    async def many(count):
        for _ in range(count):
            cloud.clients.clear()
            cloud.payloads.clear()
            assert (await handler(gate()))[0] is EXTRACTED
            assert (await middleware.awrap_tool_call(tool_request(), ran)).content == "ran transfer"
            cloud.script[0] = {"status": "denied"}
            try:
                await handler(gate())
            except ApprovalDenied:
                pass
            cloud.script[0] = {"status": "approved"}

    logging.getLogger(LOG).setLevel(logging.WARNING)
    try:
        assert traced_growth(lambda count: asyncio.run(many(count)), 500, warm_up=100) < 256 * 1024
    finally:
        logging.getLogger(LOG).setLevel(logging.NOTSET)
