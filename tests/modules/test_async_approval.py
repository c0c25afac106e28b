"""The asynchronous cloud handler with an in-process async client (a stand-in for
the HTTP client: the end-to-end tests use the real one against the local cloud)
and, where the poll timing matters, a fake clock."""

import asyncio
import gc
import inspect
import logging
import threading
import types
import weakref

import pytest

import zelto_cloud.approval as approval
from zelto.approval import ApprovalDenied, ApprovalRequest
from zelto.decorators import bind_key_scope
from zelto_cloud.approval import _async_poll_until_resolved, async_cloud_approval
from zelto_cloud.client import DEFAULT_BASE_URL
from zelto_cloud.exceptions import ApprovalExpiredError, ApprovalTimeoutError, ZeltoCloudError
from zelto_core import SignedApproval, SigningKey
from twin_pairs import implementations, native_only
from twins import approval as twin_approval

impl = implementations(approval, twin_approval, "approval", "_async_poll_until_resolved", "async_cloud_approval")
pytestmark = pytest.mark.usefixtures("impl")

HASH = bytes(range(32))


def signed(key=None):
    return SignedApproval.create(key or SigningKey.generate(), HASH, approved_at=1_700_000_000)


def approved(*approvals):
    return {"status": "approved", "responses": [{"signed_approval": a.to_bytes().hex()} for a in approvals]}


def gate_request(**overrides):
    fields = dict(tool="transfer", warrant_id="w-1", request_id="call-1", arguments={"amount": 5}, holder_key=b"\x01" * 32,
                  request_hash=HASH, args_canonical_cbor_b64="oA==", approval_context_attestation={"v": 1})
    fields.update(overrides)
    return ApprovalRequest(**fields)


class FakeAsyncClient:
    """Answers create_request and get_request from a script; records every call in order."""

    instances = []
    script = []
    fail_on = None
    events = []

    def __init__(self, api_key, *, base_url):
        self.api_key, self.base_url = api_key, base_url
        self.created, self.polls, self.closed = [], 0, 0
        self.threads = set()
        FakeAsyncClient.instances.append(self)

    def _record(self, event):
        FakeAsyncClient.events.append(event)
        self.threads.add(threading.get_ident())

    async def create_request(self, **kwargs):
        self._record("create")
        if FakeAsyncClient.fail_on == "create":
            raise RuntimeError("create failed")
        self.created.append(kwargs)
        return {"id": "apr_1"}

    async def get_request(self, request_id):
        assert request_id == "apr_1"
        self._record("get")
        self.polls += 1
        step = FakeAsyncClient.script[min(self.polls, len(FakeAsyncClient.script)) - 1]
        if isinstance(step, BaseException):
            raise step
        return step

    async def close(self):
        self._record("close")
        self.closed += 1
        if FakeAsyncClient.fail_on == "close":
            raise OSError("close failed")


class FakeClock:
    """time.monotonic and asyncio.sleep for the poll loop: sleeping advances the clock at once."""

    def __init__(self):
        self.now = 100.0
        self.sleeps = []

    def monotonic(self):
        return self.now

    async def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += seconds
        FakeAsyncClient.events.append(f"sleep {seconds}")
        await asyncio.sleep(0)


@pytest.fixture
def fake_client(monkeypatch):
    FakeAsyncClient.instances.clear()
    FakeAsyncClient.events.clear()
    FakeAsyncClient.fail_on = None
    FakeAsyncClient.script = []
    monkeypatch.setattr(approval, "AsyncZeltoCloudClient", FakeAsyncClient)
    return FakeAsyncClient


@pytest.fixture
def cloud(fake_client, monkeypatch):
    """Runs one handler await on a fresh loop, with the fake client and clock."""
    clock = FakeClock()
    monkeypatch.setattr(approval, "time", clock)
    fake_asyncio = types.SimpleNamespace(get_running_loop=asyncio.get_running_loop, run=asyncio.run, sleep=clock.sleep)
    monkeypatch.setattr(approval, "asyncio", fake_asyncio)

    def run(*script, request=None, **handler_kwargs):
        fake_client.script = list(script)
        handler = async_cloud_approval("key", base_url="https://cloud.test", **handler_kwargs)
        return asyncio.run(handler(request or gate_request()))

    run.clock = clock
    return run


def the_client():
    client, = FakeAsyncClient.instances
    return client


class TestCore:
    def test_approved_at_first_poll(self, cloud, caplog):
        one = signed()
        with caplog.at_level(logging.DEBUG, logger="zelto_cloud.approval"):
            assert cloud(approved(one)) == one
        assert FakeAsyncClient.events == ["create", "get", "close"]
        client = the_client()
        assert (client.api_key, client.base_url) == ("key", "https://cloud.test")
        assert client.created[0]["request_hash"] == HASH and client.created[0]["tool"] == "transfer"
        record, = caplog.records
        assert (record.levelno, record.msg, record.args) == (logging.INFO, "approval request %s created for %s",
                                                            ("apr_1", "transfer"))

    def test_two_approvals_come_back_as_a_list(self, cloud):
        first, second = signed(), signed()
        assert list(cloud(approved(first, second))) == [first, second]

    # The status and error mapping is shared with the synchronous handler and
    # tested there; these check that the async road goes through it.
    @pytest.mark.parametrize(("response", "reason"), [
        ({"status": "denied", "denied_reason": ""}, "denied in Zelto Cloud"),
        ({"status": "Approved"}, "unexpected status: Approved"),
    ])
    def test_refusals(self, cloud, response, reason):
        request = gate_request()
        with pytest.raises(ApprovalDenied) as info:
            cloud(response, request=request)
        assert (info.value.reason, info.value.request) == (reason, request)
        assert info.value.__cause__ is None
        assert the_client().closed == 1

    def test_client_refusal_becomes_a_denial_caused_by_it(self, cloud):
        error = ApprovalExpiredError("request apr_1 expired", status_code=410)
        with pytest.raises(ApprovalDenied) as info:
            cloud(error)
        assert info.value.reason == str(error)
        assert info.value.__cause__ is error and info.value.__suppress_context__

    def test_time_out_polls_at_once_and_shortens_the_last_sleep(self, cloud, caplog):
        with caplog.at_level(logging.DEBUG, logger="zelto_cloud.approval"), pytest.raises(ApprovalDenied) as info:
            cloud({"status": "pending"}, poll_interval=2.0, timeout=3)
        assert info.value.reason == "timed out after 3s waiting for cloud approval"
        assert info.value.__cause__ is None and isinstance(info.value.__context__, ApprovalTimeoutError)
        assert FakeAsyncClient.events == ["create", "get", "sleep 2.0", "get", "sleep 1.0", "get", "close"]
        debug = [(r.getMessage(), r.request_id, r.sleep) for r in caplog.records if r.levelno == logging.DEBUG]
        assert debug == [("approval still pending, polling again", "apr_1", 2.0),
                         ("approval still pending, polling again", "apr_1", 1.0)]

    def test_other_errors_propagate_unchanged(self, cloud):
        boom = ZeltoCloudError("server exploded", status_code=500)
        with pytest.raises(ZeltoCloudError) as info:
            cloud(boom)
        assert info.value is boom and info.value.__context__ is None
        assert FakeAsyncClient.events == ["create", "get", "close"]

    def test_failing_close_replaces_the_pending_error(self, cloud):
        FakeAsyncClient.fail_on = "close"
        with pytest.raises(OSError, match="close failed") as info:
            cloud({"status": "denied"})
        assert isinstance(info.value.__context__, ApprovalDenied)

    def test_payload_failure_creates_no_client(self, cloud):
        with pytest.raises(ZeltoCloudError, match="holder_key is required"):
            cloud(request=gate_request(holder_key=None))
        assert FakeAsyncClient.instances == []

    def test_globals_are_looked_up_per_call(self, cloud, monkeypatch):
        async def poll(client, request_id, *, poll_interval, timeout):
            return {"status": "approved", "seen": (request_id, poll_interval, timeout)}

        monkeypatch.setattr(approval, "_async_poll_until_resolved", poll)
        monkeypatch.setattr(approval, "_extract_signed_approvals", lambda response: response["seen"])
        assert cloud(poll_interval=1.5, timeout=9) == ("apr_1", 1.5, 9)

    def test_sdk_missing_shows_up_only_when_core_runs(self, cloud, monkeypatch):
        monkeypatch.setitem(__import__("sys").modules, "zelto.approval", None)
        handler = async_cloud_approval("key")
        with pytest.raises(ImportError):
            asyncio.run(handler(gate_request()))
        assert FakeAsyncClient.instances == []


@pytest.mark.parametrize(("step", "error"), [
    ("create", RuntimeError), ("poll", ConnectionError), ("extract", ZeltoCloudError),
    ("interrupt", KeyboardInterrupt), (None, None),
])
def test_every_way_out_closes_the_client_once(cloud, step, error):
    FakeAsyncClient.fail_on = step
    script = [{"status": "pending"}, approved(signed())]
    if step == "poll":
        script = [{"status": "pending"}, ConnectionError("poll")]
    elif step == "extract":
        script = [{"status": "approved", "responses": []}]
    elif step == "interrupt":
        script = [KeyboardInterrupt()]
    if error is None:
        cloud(*script)
    else:
        with pytest.raises(error):
            cloud(*script)
    assert the_client().closed == 1


class TestPollLoop:
    def test_response_without_status_ends_the_loop(self, cloud, fake_client):
        fake_client.script = [{}]
        client = FakeAsyncClient("k", base_url="u")
        assert asyncio.run(_async_poll_until_resolved(client, "apr_1", poll_interval=1, timeout=1)) == {}

    def test_zero_timeout_polls_once(self, cloud, fake_client):
        fake_client.script = [{"status": "pending"}]
        with pytest.raises(ApprovalTimeoutError) as info:
            asyncio.run(_async_poll_until_resolved(FakeAsyncClient("k", base_url="u"), "apr_1",
                                                   poll_interval=1.0, timeout=0))
        assert "apr_1" in str(info.value)
        assert FakeAsyncClient.events == ["get"]

    def test_keywords_are_required(self):
        with pytest.raises(TypeError, match=r"missing 2 required keyword-only arguments"):
            _async_poll_until_resolved(object(), "x")


class TestSurface:
    @native_only("the native module's layout, signatures and annotations")
    def test_module_order_and_coroutine_functions(self):
        names = [n for n in vars(approval) if not n.startswith("_") or n.startswith("_async")]
        assert names[names.index("cloud_approval"):][:3] == ["cloud_approval", "async_cloud_approval",
                                                             "_async_poll_until_resolved"]
        handler = async_cloud_approval("k")
        core, concurrent = (cell.cell_contents for cell in handler.__closure__)
        assert concurrent.__name__ == "concurrent" and hasattr(concurrent, "futures")
        for function, qualname in [(handler, "async_cloud_approval.<locals>._handle"),
                                   (core, "async_cloud_approval.<locals>._core"),
                                   (_async_poll_until_resolved, "_async_poll_until_resolved")]:
            assert function.__qualname__ == qualname
            assert asyncio.iscoroutinefunction(function) and inspect.iscoroutinefunction(function)
        returns = "Union['SignedApproval', List['SignedApproval']]"
        assert handler.__annotations__ == core.__annotations__ == {"request": "Any", "return": returns}
        captured = {cell.cell_contents for cell in core.__closure__ if isinstance(cell.cell_contents, (str, float))}
        assert captured == {"k", DEFAULT_BASE_URL, 2.0, 300.0}

    @native_only("the native module's layout, signatures and annotations")
    def test_factory_signature(self):
        assert inspect.signature(async_cloud_approval) == inspect.signature(approval.cloud_approval)
        assert "LangGraph" in async_cloud_approval.__doc__ and "Maximum seconds to wait for resolution." in (
            async_cloud_approval.__doc__)
        with pytest.raises(TypeError, match=r"takes 1 positional argument but 2 were given"):
            async_cloud_approval("k", "signing-key")


class TestCoroutineProtocol:
    def test_awaited_by_create_task_on_the_callers_thread(self, cloud, fake_client):
        one = signed()
        fake_client.script = [approved(one)]
        handler = async_cloud_approval("key")

        async def main():
            task = asyncio.create_task(handler(gate_request()))
            return await task

        assert asyncio.run(main()) == one
        assert the_client().threads == {threading.get_ident()}

    def test_a_replaced_core_is_called_and_awaited_as_any_callable(self):
        handler = async_cloud_approval("key")
        cell = handler.__closure__[0]
        assert cell.cell_contents.__name__ == "_core"

        async def other(request):
            await asyncio.sleep(0)
            return ("other", request)

        cell.cell_contents = other
        assert asyncio.run(handler("r")) == ("other", "r")
        cell.cell_contents = lambda request: asyncio.sleep(0, ("plain", request))
        assert asyncio.run(handler("r")) == ("plain", "r")

    def test_send_throw_and_close_by_hand(self, fake_client):
        fake_client.script = [{"status": "pending"}]
        handler = async_cloud_approval("key", poll_interval=60.0)

        async def main():
            thrown = handler(gate_request())
            assert isinstance(thrown.send(None), asyncio.Future)  # the poll loop's first sleep
            with pytest.raises(ValueError, match="stop"):
                thrown.throw(ValueError("stop"))
            closed = handler(gate_request())
            closed.send(None)
            closed.close()
            with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
                closed.send(None)

        asyncio.run(main())
        assert [c.closed for c in FakeAsyncClient.instances] == [1, 1]

    def test_a_cycle_through_the_request_of_a_waiting_handler_is_collected(self, fake_client):
        fake_client.script = [{"status": "pending"}]
        handler = async_cloud_approval("key", poll_interval=60.0)

        async def main():
            request = gate_request()
            waiting = handler(request)
            waiting.send(None)  # suspended in the poll loop's sleep, _core's frame holding the request
            object.__setattr__(request, "waiting", waiting)
            alive = weakref.ref(request)
            del request, waiting
            gc.collect()
            return alive() is None

        assert asyncio.run(main())

    def test_runtime_error_of_core_on_the_callers_loop_propagates_without_a_second_run(self, fake_client):
        fake_client.fail_on = "create"
        handler = async_cloud_approval("key")
        threads_before = threading.active_count()

        async def main():
            with pytest.raises(RuntimeError, match="^create failed$") as info:
                await handler(gate_request())
            assert threading.active_count() == threads_before
            return info.value

        error = asyncio.run(main())
        assert error.__context__ is None and error.__cause__ is None
        assert FakeAsyncClient.events == ["create", "close"]


class TestCancellation:
    @pytest.mark.parametrize("how", ["cancel", "timeout"])
    def test_cancelled_wait_closes_the_client_once_and_stops_polling(self, fake_client, how):
        fake_client.script = [{"status": "pending"}]
        handler = async_cloud_approval("key", poll_interval=0.01)

        async def main():
            if how == "cancel":
                task = asyncio.create_task(handler(gate_request()))
                await asyncio.sleep(0.05)
                task.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await task
            else:
                with pytest.raises(TimeoutError):
                    async with asyncio.timeout(0.05):
                        await handler(gate_request())
            client = the_client()
            polls = client.polls
            await asyncio.sleep(0.05)
            return client, polls

        client, polls = asyncio.run(main())
        assert client.closed == 1 and polls >= 2
        assert client.polls == polls and FakeAsyncClient.events[-1] == "close"


def drive_in_thread(coroutine, key=None):
    """Drives a coroutine by hand in a new thread without an event loop (with ``key`` bound as the
    SDK's key scope); its result or exception."""
    outcome = {}

    def drive():
        try:
            with bind_key_scope(key):
                coroutine.send(None)
        except StopIteration as stop:
            outcome["result"] = stop.value
        except BaseException as exc:
            outcome["error"] = exc
        else:
            outcome["error"] = AssertionError("the coroutine suspended with no loop")

    thread = threading.Thread(target=drive)
    thread.start()
    thread.join(30)
    outcome["thread"] = thread.ident
    return outcome


class TestFallback:
    def test_completes_on_a_worker_thread(self, fake_client):
        one = signed()
        fake_client.script = [{"status": "pending"}, approved(one)]
        outcome = drive_in_thread(async_cloud_approval("key", poll_interval=0.01)(gate_request()))
        assert outcome["result"] == one
        client = the_client()
        assert client.closed == 1 and len(client.threads) == 1
        assert outcome["thread"] not in client.threads

    @pytest.mark.parametrize("answer", [{"status": "denied", "denied_reason": "no"},
                                        ZeltoCloudError("boom", status_code=500), "runtime"])
    def test_every_exception_reaches_the_caller_unchanged(self, fake_client, answer):
        if answer == "runtime":
            fake_client.fail_on = "create"
        else:
            fake_client.script = [answer]
        outcome = drive_in_thread(async_cloud_approval("key")(gate_request()))
        error = outcome["error"]
        if isinstance(answer, dict):
            assert type(error) is ApprovalDenied and error.reason == "no"
        elif isinstance(answer, ZeltoCloudError):
            assert error is answer
        else:
            assert type(error) is RuntimeError and str(error) == "create failed"
        assert len(FakeAsyncClient.instances) == 1 and the_client().closed == 1

    def test_the_callers_key_scope_goes_with_it(self, fake_client):
        holder = SigningKey.generate()
        request = gate_request(holder_key=holder.public_key.to_bytes(), args_canonical_cbor_b64="",
                               approval_context_attestation={})
        fake_client.script = [approved(signed())]
        outcome = drive_in_thread(async_cloud_approval("key")(request), key=holder)
        assert "result" in outcome, outcome
        assert the_client().created[0]["approval_context_attestation"]


def test_many_handler_awaits_leave_memory_flat(fake_client):
    from conftest import traced_growth

    one = signed()
    fake_client.script = [{"status": "pending"}, approved(one)]
    handler = async_cloud_approval("key", poll_interval=0)

    async def awaits(count):
        for _ in range(count):
            FakeAsyncClient.instances.clear()
            FakeAsyncClient.events.clear()
            assert await handler(gate_request()) == one

    with asyncio.Runner() as runner:
        assert traced_growth(lambda count: runner.run(awaits(count)), 3000) < 256 * 1024
