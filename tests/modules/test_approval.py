"""The synchronous cloud handler and signed-approval extraction, with an
in-process client (a stand-in for the HTTP client: the end-to-end tests use the
real one against the local cloud) and a fake clock for the poll loop."""

import base64
import inspect
import logging

import pytest

import zelto_cloud.approval as approval
from zelto.approval import ApprovalDenied, ApprovalRequest
from zelto_cloud.approval import _extract_signed_approvals, _poll_until_resolved, cloud_approval
from zelto_cloud.client import DEFAULT_BASE_URL, DEFAULT_DASHBOARD_URL
from zelto_cloud.exceptions import (ApprovalDeniedError, ApprovalExpiredError, ApprovalTimeoutError,
                                    ZeltoCloudError)
from zelto_core import SignedApproval, SigningKey
from twin_pairs import implementations, native_only
from twins import approval as twin_approval

impl = implementations(approval, twin_approval, "approval", "_extract_signed_approvals", "_poll_until_resolved", "cloud_approval")
pytestmark = pytest.mark.usefixtures("impl")

HASH = bytes(range(32))


def signed(key=None, request_hash=HASH):
    return SignedApproval.create(key or SigningKey.generate(), request_hash, approved_at=1_700_000_000)


def gate_request(**overrides):
    fields = dict(tool="transfer", warrant_id="w-1", request_id="call-1", arguments={"amount": 5}, holder_key=b"\x01" * 32,
                  request_hash=HASH, args_canonical_cbor_b64="oA==", approval_context_attestation={"v": 1})
    fields.update(overrides)
    return ApprovalRequest(**fields)


class FakeClock:
    def __init__(self):
        self.now = 100.0
        self.sleeps = []

    def monotonic(self):
        return self.now

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += seconds


class FakeClient:
    """Answers create_request and get_request from a script; counts closes."""

    instances = []

    def __init__(self, api_key, *, base_url):
        self.api_key, self.base_url = api_key, base_url
        self.created, self.polls, self.closed = [], 0, 0
        FakeClient.instances.append(self)

    script = []
    fail_on = None

    def create_request(self, **kwargs):
        if FakeClient.fail_on == "create":
            raise ZeltoCloudError("create failed", status_code=500)
        self.created.append(kwargs)
        return {"id": "apr_1"}

    def get_request(self, request_id):
        assert request_id == "apr_1"
        self.polls += 1
        step = FakeClient.script[min(self.polls, len(FakeClient.script)) - 1]
        if isinstance(step, BaseException):
            raise step
        return step

    def close(self):
        if FakeClient.fail_on == "close":
            raise RuntimeError("close failed")
        self.closed += 1


@pytest.fixture
def cloud(monkeypatch):
    FakeClient.instances.clear()
    FakeClient.fail_on = None
    clock = FakeClock()
    monkeypatch.setattr(approval, "ZeltoCloudClient", FakeClient)
    monkeypatch.setattr(approval, "time", clock)

    def run(*script, **handler_kwargs):
        FakeClient.script = list(script)
        handler = cloud_approval("key", base_url="https://cloud.test", **handler_kwargs)
        return handler(gate_request())

    run.clock = clock
    return run


def approved(*approvals, encoding="hex"):
    encode = (lambda raw: raw.hex()) if encoding == "hex" else (lambda raw: base64.b64encode(raw).decode())
    return {"status": "approved", "responses": [{"signed_approval": encode(a.to_bytes())} for a in approvals]}


class TestHandler:
    def test_approved_at_first_poll_returns_one_approval_without_sleeping(self, cloud, caplog):
        one = signed()
        with caplog.at_level(logging.DEBUG, logger="zelto_cloud.approval"):
            result = cloud(approved(one))
        assert result == one
        assert cloud.clock.sleeps == []
        client, = FakeClient.instances
        assert (client.api_key, client.base_url, client.closed) == ("key", "https://cloud.test", 1)
        assert client.created[0]["request_hash"] == HASH and client.created[0]["tool"] == "transfer"
        created, = [r for r in caplog.records if r.levelno == logging.INFO]
        link = "https://cloud.test/approvals?request=apr_1"
        assert created.getMessage() == f"approval request created in cloud: request apr_1 - {link}"
        assert (created.request_id, created.tool, created.approval_url) == ("apr_1", "transfer", link)
        assert not [r for r in caplog.records if r.levelno == logging.DEBUG]

    @pytest.mark.parametrize(("base_url", "dashboard_env", "link"), [
        ("http://127.0.0.1:8787/", None, "http://127.0.0.1:8787/approvals?request=apr_1"),  # beside the API
        (DEFAULT_BASE_URL, None, f"{DEFAULT_DASHBOARD_URL}/approvals?request=apr_1"),
        (DEFAULT_BASE_URL, "", f"{DEFAULT_DASHBOARD_URL}/approvals?request=apr_1"),
        ("http://127.0.0.1:8787", "https://dash.test//", "https://dash.test/approvals?request=apr_1"),
    ])
    def test_the_created_record_links_to_the_dashboard(self, monkeypatch, caplog, base_url, dashboard_env, link):
        monkeypatch.setattr(approval, "ZeltoCloudClient", FakeClient)
        FakeClient.script, FakeClient.fail_on = [approved(signed())], None
        if dashboard_env is None:
            monkeypatch.delenv("ZELTO_DASHBOARD_URL", raising=False)
        else:
            monkeypatch.setenv("ZELTO_DASHBOARD_URL", dashboard_env)
        with caplog.at_level(logging.INFO, logger="zelto_cloud.approval"):
            cloud_approval("key", base_url=base_url)(gate_request())
        created, = [r for r in caplog.records if r.levelno == logging.INFO]
        assert created.approval_url == link and created.getMessage().endswith(f"request apr_1 - {link}")

    def test_two_approvals_come_back_as_a_list(self, cloud):
        first, second = signed(), signed()
        assert list(cloud(approved(first, second, encoding="base64"))) == [first, second]

    @pytest.mark.parametrize(("response", "reason"), [
        ({"status": "denied", "denied_reason": "too much"}, "too much"),
        ({"status": "denied", "denied_reason": ""}, "denied in Zelto Cloud"),
        ({"status": "denied"}, "denied in Zelto Cloud"),
        ({"status": "expired"}, "approval request expired"),
        ({"status": "Approved"}, "unexpected status: Approved"),
        ({"status": "rejected"}, "unexpected status: rejected"),
        ({"status": 7}, "unexpected status: 7"),
    ])
    def test_refusals(self, cloud, response, reason):
        with pytest.raises(ApprovalDenied) as info:
            cloud(response)
        assert info.value.reason == reason
        assert info.value.__cause__ is None
        assert FakeClient.instances[0].closed == 1

    @pytest.mark.parametrize("error", [ApprovalExpiredError("request apr_1 expired", status_code=410),
                                       ApprovalDeniedError("denied by bob", status_code=409)])
    def test_client_refusals_become_denials_caused_by_them(self, cloud, error):
        with pytest.raises(ApprovalDenied) as info:
            cloud(error)
        assert info.value.reason == str(error)
        assert info.value.__cause__ is error and info.value.__suppress_context__

    def test_time_out_keeps_the_error_as_context_only(self, cloud):
        with pytest.raises(ApprovalDenied) as info:
            cloud({"status": "pending"}, poll_interval=2.0, timeout=3)
        assert info.value.reason == "timed out after 3s waiting for cloud approval"
        assert info.value.__cause__ is None and not info.value.__suppress_context__
        assert isinstance(info.value.__context__, ApprovalTimeoutError)
        assert cloud.clock.sleeps == [2.0, 1.0]
        assert FakeClient.instances[0].polls == 3

    def test_default_timeout_reads_300_0(self, cloud):
        with pytest.raises(ApprovalDenied) as info:
            cloud({"status": "pending"}, poll_interval=100.0)
        assert info.value.reason == "timed out after 300.0s waiting for cloud approval"

    def test_zero_timeout_polls_once(self, cloud):
        with pytest.raises(ApprovalDenied, match="timed out after 0s"):
            cloud({"status": "pending"}, timeout=0)
        assert cloud.clock.sleeps == [] and FakeClient.instances[0].polls == 1

    def test_other_errors_propagate_and_close_once(self, cloud):
        boom = ZeltoCloudError("server exploded", status_code=500)
        with pytest.raises(ZeltoCloudError) as info:
            cloud(boom)
        assert info.value is boom
        assert FakeClient.instances[0].closed == 1

    def test_missing_status_is_a_key_error_after_closing(self, cloud):
        with pytest.raises(KeyError, match="status"):
            cloud({"reason": "?"})
        assert FakeClient.instances[0].closed == 1

    def test_failing_create_closes_once(self, cloud):
        FakeClient.fail_on = "create"
        with pytest.raises(ZeltoCloudError, match="create failed"):
            cloud({"status": "approved"})
        assert FakeClient.instances[0].closed == 1

    def test_failing_close_replaces_the_pending_error(self, cloud):
        FakeClient.fail_on = "close"
        with pytest.raises(RuntimeError, match="close failed") as info:
            cloud({"status": "denied"})
        assert isinstance(info.value.__context__, ApprovalDenied)

    def test_payload_failure_creates_no_client(self, cloud):
        handler = cloud_approval("key")
        with pytest.raises(ZeltoCloudError, match="holder_key is required"):
            handler(gate_request(holder_key=None))
        assert FakeClient.instances == []

    def test_globals_are_looked_up_per_call(self, cloud, monkeypatch):
        handler = cloud_approval("key")
        monkeypatch.setattr(approval, "_extract_signed_approvals", lambda response: "replaced")
        FakeClient.script = [{"status": "approved"}]
        assert handler(gate_request()) == "replaced"

    def test_sdk_missing_is_an_import_error(self, cloud, monkeypatch):
        monkeypatch.setitem(__import__("sys").modules, "zelto.approval", None)
        with pytest.raises(ImportError):
            cloud({"status": "approved"})
        assert FakeClient.instances == []


class TestPollLoop:
    def test_sleeps_shorten_to_the_deadline(self, cloud, caplog):
        FakeClient.script = [{"status": "pending"}, {"status": "pending"}, {"status": "done"}]
        client = FakeClient("k", base_url="u")
        with caplog.at_level(logging.DEBUG, logger="zelto_cloud.approval"):
            result = _poll_until_resolved(client, "apr_1", poll_interval=2.0, timeout=2.5)
        assert result == {"status": "done"}
        assert cloud.clock.sleeps == [2.0, 0.5]
        records = [(r.getMessage(), r.request_id, r.sleep) for r in caplog.records]
        assert records == [("approval still pending, polling again", "apr_1", 2.0),
                           ("approval still pending, polling again", "apr_1", 0.5)]

    def test_response_without_status_ends_the_loop(self, cloud):
        FakeClient.script = [{}]
        assert _poll_until_resolved(FakeClient("k", base_url="u"), "apr_1", poll_interval=1, timeout=1) == {}

    def test_timeout_error_carries_id_and_timeout(self, cloud):
        FakeClient.script = [{"status": "pending"}]
        with pytest.raises(ApprovalTimeoutError) as info:
            _poll_until_resolved(FakeClient("k", base_url="u"), "apr_1", poll_interval=1.0, timeout=1.0)
        assert "apr_1" in str(info.value)

    def test_keywords_are_required(self):
        with pytest.raises(TypeError, match=r"missing 2 required keyword-only arguments: 'poll_interval' and 'timeout'"):
            _poll_until_resolved(object(), "x")


class TestExtraction:
    def test_hex_and_base64_normalise_to_the_same_approval(self):
        one = signed()
        raw = one.to_bytes()
        for text in (raw.hex(), raw.hex().upper(), base64.b64encode(raw).decode()):
            assert _extract_signed_approvals({"responses": [{"signed_approval": text}]}) == one

    @pytest.mark.parametrize("result", [{}, {"responses": []}, {"responses": None},
                                        {"responses": [{"signed_approval": None}, {"signed_approval": ""}, {}]}])
    def test_nothing_to_return(self, result):
        with pytest.raises(ZeltoCloudError, match="^approved request has no approval responses$"):
            _extract_signed_approvals(result)

    @pytest.mark.parametrize("text", ["abc", "not base64!", "QUJD"[:3], "zz"])
    def test_malformed_values(self, text):
        with pytest.raises(ZeltoCloudError, match="not valid hex or base64") as info:
            _extract_signed_approvals({"responses": [{"signed_approval": text}]})
        assert info.value.__cause__ is None and info.value.__context__ is not None

    @pytest.mark.parametrize("form", [
        "hex", "HEX", "hex\n", "hex\n\n", "odd hex", "hex+space", "base64", "base64\n", "unpadded base64",
        "urlsafe base64", "ab", "abc\n", "AB==", "ABC=", "A===", "====", "AAAA====", "=AAA", "AA=A", "é" * 4,
        "0" * 8, "Zm9v", "str subclass", "bytes", "number",
    ])
    def test_wire_forms_read_as_the_python_calls_read_them(self, form):
        raw = signed().to_bytes()
        encoded = base64.b64encode(raw).decode()
        value = {"hex": raw.hex(), "HEX": raw.hex().upper(), "hex\n": raw.hex() + "\n", "hex\n\n": raw.hex() + "\n\n",
                 "odd hex": raw.hex()[1:], "hex+space": raw.hex()[:10] + " " + raw.hex()[10:], "base64": encoded,
                 "base64\n": encoded + "\n", "unpadded base64": encoded.rstrip("="),
                 "urlsafe base64": base64.urlsafe_b64encode(b"\xfb\xff" + raw).decode(),
                 "str subclass": type("Text", (str,), {})(raw.hex()), "bytes": raw.hex().encode(),
                 "number": 12}.get(form, form)

        def outcome(extract):
            try:
                return "returned", extract({"responses": [{"signed_approval": value}]})
            except Exception as error:
                return type(error), str(error), type(error.__context__)

        assert outcome(approval._extract_signed_approvals) == outcome(twin_approval._extract_signed_approvals)

    def test_one_malformed_entry_aborts_all(self):
        good = signed().to_bytes().hex()
        with pytest.raises(ZeltoCloudError, match="malformed"):
            _extract_signed_approvals({"responses": [{"signed_approval": good}, {"signed_approval": "%%"}]})

    def test_sdk_decoder_errors_propagate(self):
        with pytest.raises(ValueError):
            _extract_signed_approvals({"responses": [{"signed_approval": "abcd"}]})

    def test_entry_without_get_is_an_attribute_error(self):
        with pytest.raises(AttributeError):
            _extract_signed_approvals({"responses": ["abcd"]})


class TestSurface:
    @native_only("the native module's layout, signatures and annotations")
    def test_module_objects_in_order(self):
        names = [n for n in vars(approval) if not n.startswith("__")]
        assert names[:13] == ["asyncio", "base64", "hashlib", "logging", "time", "AsyncZeltoCloudClient",
                              "ZeltoCloudClient", "ApprovalDeniedError", "ApprovalExpiredError",
                              "ApprovalTimeoutError", "ZeltoCloudError", "build_approval_request_payload", "logger"]
        assert approval.logger.name == "zelto_cloud.approval"

    @native_only("the native module's layout, signatures and annotations")
    def test_factory_and_handler_metadata(self):
        from zelto_cloud.client import DEFAULT_BASE_URL
        assert str(inspect.signature(cloud_approval)) == (
            f"(api_key: 'str', *, signing_key: 'Any' = None, base_url: 'str' = '{DEFAULT_BASE_URL}', "
            "poll_interval: 'float' = 2.0, timeout: 'float' = 300.0)")
        handler = cloud_approval("k", timeout=9)
        assert handler.__qualname__ == "cloud_approval.<locals>._handle"
        assert handler.__annotations__ == {"request": "Any", "return": "Union[SignedApproval, List[SignedApproval]]"}
        captured = {cell.cell_contents for cell in handler.__closure__ if isinstance(cell.cell_contents, str)}
        assert captured == {"k", DEFAULT_BASE_URL}
        assert "GuardBuilder.on_approval" in cloud_approval.__doc__
        with pytest.raises(TypeError, match=r"^cloud_approval\(\) takes 1 positional argument but 2 were given$"):
            cloud_approval("k", "signing-key")


class StepFailingClient(FakeClient):
    """Fails at one named step, to check that every way out closes the client once."""

    step = None

    def create_request(self, **kwargs):
        if self.step == "create":
            raise ConnectionError("create")
        if self.step == "no id":
            return {"request_id": "apr_1"}
        return super().create_request(**kwargs)

    def get_request(self, request_id):
        if self.step == "poll" and self.polls == 1:
            self.polls += 1
            raise ConnectionError("poll")
        return super().get_request(request_id)


@pytest.mark.parametrize(("step", "error"), [
    ("create", ConnectionError), ("no id", KeyError), ("poll", ConnectionError),
    ("extract", ZeltoCloudError), ("interrupt", KeyboardInterrupt), (None, None),
])
def test_every_way_out_closes_the_client_once(cloud, monkeypatch, step, error):
    StepFailingClient.step = step
    monkeypatch.setattr(approval, "ZeltoCloudClient", StepFailingClient)
    script = [{"status": "pending"}, approved(signed())]
    if step == "extract":
        script = [{"status": "approved", "responses": []}]
    if step == "interrupt":
        script = [KeyboardInterrupt()]
    if error is None:
        cloud(*script)
    else:
        with pytest.raises(error):
            cloud(*script)
    client, = FakeClient.instances
    assert client.closed == 1


def test_many_handler_calls_leave_memory_flat(cloud):
    from conftest import traced_growth

    one = signed()
    handler = cloud_approval("key")
    FakeClient.script = [approved(one)]

    def calls(count):
        for _ in range(count):
            FakeClient.instances.clear()
            assert handler(gate_request()) == one

    assert traced_growth(calls, 2000) < 256 * 1024
