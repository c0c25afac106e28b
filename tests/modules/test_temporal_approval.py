"""The Temporal-aware approval handler with an in-process client (a stand-in for
the HTTP client: test_temporal_e2e.py uses the real one against the local cloud
and a real Temporal server) and temporalio's ActivityEnvironment for the
activity context: heartbeat details injected, heartbeats captured."""

import base64
import dataclasses
import hashlib
import logging

import pytest
from temporalio.exceptions import ApplicationError, ApplicationErrorCategory
from temporalio.testing import ActivityEnvironment

import zelto_cloud.approval as approval
from zelto.approval import ApprovalRequest
from zelto_cloud.approval import (TemporalCloudApprovalHandler, _build_temporal_approval_idempotency_key,
                                  _extract_temporal_heartbeat_request_id, temporal_cloud_approval)
from zelto_cloud.exceptions import ZeltoCloudError
from zelto_core import SignedApproval, SigningKey
from twin_pairs import implementations
from twins import approval as twin_approval

impl = implementations(approval, twin_approval, "approval", "TemporalCloudApprovalHandler",
                       "_build_temporal_approval_idempotency_key", "_extract_temporal_heartbeat_request_id",
                       "temporal_cloud_approval")
pytestmark = pytest.mark.usefixtures("impl")

HOLDER = SigningKey.generate()
HASH = bytes(range(32))


def gate_request(**overrides):
    fields = dict(tool="transfer", warrant_id="w-1", request_id="call-1", arguments={"amount": 5},
                  holder_key=HOLDER.public_key.to_bytes(), request_hash=HASH, args_canonical_cbor_b64="oA==",
                  approval_context_attestation={"v": 1})
    fields.update(overrides)
    return ApprovalRequest(**fields)


def signed(request_hash=HASH):
    return SignedApproval.create(SigningKey.generate(), request_hash, approved_at=1_700_000_000)


def approved(approval, encoding="base64"):
    raw = approval.to_bytes()
    text = raw.hex() if encoding == "hex" else base64.b64encode(raw).decode()
    return {"status": "approved", "responses": [{"signed_approval": text}]}


class FakeClient:
    """Answers from a script: `created` for create_request, `polls` (a list) for
    get_request; an exception in either is raised. Counts entries and exits."""

    instances = []

    def __init__(self, api_key, *, base_url, timeout):
        self.args = (api_key, base_url, timeout)
        self.created, self.fetched = [], []
        self.entered = self.exited = 0
        self.created_answer = {"id": "apr_1", "status": "pending"}
        self.polls = [{"status": "pending"}]
        FakeClient.instances.append(self)
        FakeClient.configure(self)

    configure = staticmethod(lambda client: None)

    def __enter__(self):
        self.entered += 1
        return self

    def __exit__(self, *exc_info):
        self.exited += 1

    def create_request(self, **kwargs):
        self.created.append(kwargs)
        if isinstance(self.created_answer, BaseException):
            raise self.created_answer
        return self.created_answer

    def get_request(self, request_id):
        self.fetched.append(request_id)
        step = self.polls[min(len(self.fetched), len(self.polls)) - 1]
        if isinstance(step, BaseException):
            raise step
        return step


class FakeTime:
    def __init__(self):
        self.sleeps = []

    def sleep(self, seconds):
        self.sleeps.append(seconds)


@pytest.fixture
def cloud(monkeypatch):
    """Runs the handler inside an ActivityEnvironment against a scripted client."""
    FakeClient.instances.clear()
    monkeypatch.setattr(FakeClient, "configure", staticmethod(lambda client: None))
    clock = FakeTime()
    monkeypatch.setattr(approval, "ZeltoCloudClient", FakeClient)
    monkeypatch.setattr(approval, "time", clock)

    class Run:
        heartbeats = []
        sleeps = clock.sleeps

        def script(self, *, created=None, polls=None):
            def configure(client):
                if created is not None:
                    client.created_answer = created
                if polls is not None:
                    client.polls = list(polls)
            monkeypatch.setattr(FakeClient, "configure", staticmethod(configure))

        def __call__(self, request=None, *, details=(), attempts=2, in_activity=True, **info):
            handler = temporal_cloud_approval("key", HOLDER, base_url="https://cloud.test",
                                              fast_poll_seconds=0.5, fast_poll_attempts=attempts)
            request = request or gate_request()
            if not in_activity:
                return handler(request)
            env = ActivityEnvironment()
            env.info = dataclasses.replace(ActivityEnvironment.default_info(), heartbeat_details=list(details),
                                           **info)
            env.on_heartbeat = lambda *details: self.heartbeats.append(details)
            return env.run(handler, request)

        @property
        def client(self):
            client, = FakeClient.instances
            return client

    run = Run()
    run.heartbeats = []
    return run


def expected_key(tool="transfer", workflow_id="test", run_id="test-run", activity_id="test"):
    text = f"{tool}|{workflow_id}|{run_id}|{activity_id}"
    return "appr_" + hashlib.sha256(text.encode()).hexdigest()


class TestIdempotencyKey:
    def test_empty_ids_hash_the_tool_and_three_bars(self):
        key = _build_temporal_approval_idempotency_key(gate_request(tool="wire"))
        assert key == "appr_" + hashlib.sha256(b"wire|||").hexdigest()
        assert len(key) == 69
        assert _build_temporal_approval_idempotency_key(object()) == "appr_" + hashlib.sha256(b"|||").hexdigest()

    def test_same_run_same_key_other_run_other_key(self):
        ids = dict(workflow_id="wf", workflow_run_id="run-1", activity_id="3")
        first = _build_temporal_approval_idempotency_key(gate_request(), **ids)
        assert first == _build_temporal_approval_idempotency_key(gate_request(), **ids)
        assert first == expected_key("transfer", "wf", "run-1", "3")
        assert first != _build_temporal_approval_idempotency_key(gate_request(), **{**ids, "workflow_run_id": "run-2"})

    def test_ids_must_be_text_and_keyword_only(self):
        with pytest.raises(TypeError, match="expected str instance, int found"):
            _build_temporal_approval_idempotency_key(gate_request(), workflow_id=7)
        with pytest.raises(TypeError):
            _build_temporal_approval_idempotency_key(gate_request(), "wf")


class TestHeartbeatDetails:
    class Carrier:
        approval_request_id = "apr_attr"

    class DictWithAttribute(dict):
        approval_request_id = "apr_fallback"

    @pytest.mark.parametrize(("details", "expected"), [
        ([{"approval_request_id": "apr_9", "approval_status": "pending"}], "apr_9"),
        (({"approval_request_id": "apr_9"}, {"approval_request_id": "apr_other"}), "apr_9"),
        ({"approval_request_id": "apr_9"}, "apr_9"),
        ([Carrier()], "apr_attr"),
        (Carrier(), "apr_attr"),
        (DictWithAttribute(approval_request_id=""), "apr_fallback"),
        ([{"approval_request_id": ""}], None),
        ([{"approval_request_id": 17}], None),
        ([], None), (None, None), ("", None), (0, None), (17, None), ("apr_text", None),
    ])
    def test_shapes(self, details, expected):
        assert _extract_temporal_heartbeat_request_id(details) == expected


class TestConstruction:
    @pytest.mark.parametrize(("given", "stored"), [(0, 1), (-3, 1), (1, 1), (2, 2)])
    def test_at_least_one_poll(self, given, stored):
        assert temporal_cloud_approval("k", HOLDER, fast_poll_attempts=given)._fast_poll_attempts == stored

    def test_factory_defaults_and_keyword_only_options(self):
        handler = temporal_cloud_approval(api_key="k", signing_key=HOLDER)
        assert type(handler) is TemporalCloudApprovalHandler
        assert (handler._holder, handler._holder_bytes) == (HOLDER.public_key, HOLDER.public_key.to_bytes())
        assert (handler._base_url, handler._fast_poll_seconds, handler._fast_poll_attempts) == (
            "https://api.zelto.cloud", 2.0, 3)
        with pytest.raises(TypeError):
            temporal_cloud_approval("k", HOLDER, "https://b")

    def test_a_key_without_public_key_fails_after_the_first_two_attributes(self):
        handler = TemporalCloudApprovalHandler.__new__(TemporalCloudApprovalHandler)
        with pytest.raises(TypeError, match="signing_key must be a zelto_core SigningKey, not object"):
            handler.__init__("key", object())
        assert list(vars(handler)) == ["_api_key", "_signing_key"]

    def test_build_attestation_uses_the_worker_key(self):
        handler = temporal_cloud_approval("k", HOLDER)
        args_b64, attestation = handler._build_attestation(gate_request())
        assert type(attestation) is dict
        assert base64.b64decode(args_b64)
        assert attestation["signer_key"] == HOLDER.public_key.hex()
        assert attestation["holder_key"] == HOLDER.public_key.hex()


class TestExtractApproval:
    def test_base64_then_hex_first_decodable_wins(self):
        one, two = signed(), signed()
        data = {"responses": [{"signed_approval": ""}, {}, {"signed_approval": one.to_bytes().hex()},
                              {"signed_approval": base64.b64encode(two.to_bytes()).decode()}]}
        assert TemporalCloudApprovalHandler._extract_approval(data) == one

    @pytest.mark.parametrize("data", [{}, {"responses": []}, {"responses": None}, {"responses": [{}]}])
    def test_nothing_to_decode_is_none(self, data):
        assert TemporalCloudApprovalHandler._extract_approval(data) is None

    def test_undecodable_values_log_two_warnings_each(self, caplog):
        data = {"responses": [{"signed_approval": "not an approval"}, {"signed_approval": "abcd"}]}
        with caplog.at_level(logging.WARNING, logger="zelto_cloud.approval"):
            assert TemporalCloudApprovalHandler._extract_approval(data) is None
        messages = [r.getMessage().split(":")[0] for r in caplog.records]
        assert messages == ["failed to decode signed_approval as base64", "failed to decode signed_approval as hex"] * 2


class TestCall:
    def test_created_then_approved_at_first_check_without_sleeping(self, cloud, caplog):
        one = signed()
        cloud.script(created={"id": "apr_1", **approved(one)})
        with caplog.at_level(logging.INFO, logger="zelto_cloud.approval"):
            assert cloud() == one
        client = cloud.client
        assert client.args == ("key", "https://cloud.test", 10.0)
        assert client.created[0]["idempotency_key"] == expected_key()
        assert client.fetched == [] and cloud.sleeps == []
        assert (client.entered, client.exited) == (1, 1)
        assert cloud.heartbeats == [({"approval_request_id": "apr_1", "approval_status": "approved"},)]
        assert [r.getMessage() for r in caplog.records] == ["approval request apr_1 created for transfer"]

    def test_pending_through_every_poll_is_retryable(self, cloud, caplog):
        with caplog.at_level(logging.INFO, logger="zelto_cloud.approval"):
            with pytest.raises(ApplicationError) as info:
                cloud(attempts=2)
        error = info.value
        assert (error.message, error.type, error.non_retryable) == (
            "approval pending for apr_1; will retry via Temporal", "ApprovalPendingRetry", False)
        assert error.category == ApplicationErrorCategory.BENIGN  # the worker logs the retry at DEBUG, no traceback
        assert cloud.sleeps == [0.5, 0.5]
        assert cloud.client.fetched == ["apr_1", "apr_1"]
        assert [d[0]["approval_status"] for d in cloud.heartbeats] == ["pending"] * 3
        assert [r.getMessage() for r in caplog.records][1:] == [
            "approval poll 1/2 for apr_1: pending", "approval poll 2/2 for apr_1: pending"]
        assert cloud.client.exited == 1

    def test_resumes_from_heartbeat_details(self, cloud, caplog):
        one = signed()
        cloud.script(polls=[{"status": "pending"}, approved(one, "hex")])
        with caplog.at_level(logging.INFO, logger="zelto_cloud.approval"):
            assert cloud(details=[{"approval_request_id": "apr_7", "approval_status": "pending"}]) == one
        assert cloud.client.created == [] and cloud.client.fetched == ["apr_7", "apr_7"]
        assert cloud.sleeps == [0.5]
        assert caplog.records[0].getMessage() == "resuming approval request apr_7 for transfer from heartbeat"

    @pytest.mark.parametrize("gone", [ZeltoCloudError("not found", status_code=404),
                                      ZeltoCloudError("HTTP 404 from the cloud")])
    def test_a_request_the_cloud_lost_is_created_again_with_the_same_key(self, cloud, gone):
        one = signed()
        cloud.script(polls=[gone], created={"id": "apr_1", **approved(one)})
        assert cloud(details=[{"approval_request_id": "apr_gone"}]) == one
        assert cloud.client.fetched == ["apr_gone"]
        assert cloud.client.created[0]["idempotency_key"] == expected_key()

    @pytest.mark.parametrize(("where", "failure", "message"), [
        ("resume", ZeltoCloudError("bad gateway", status_code=502), "approval poll failed for apr_7: bad gateway"),
        ("poll", ZeltoCloudError("connection reset"), "approval poll failed for apr_1: connection reset"),
        ("create", ZeltoCloudError("unavailable", status_code=503), "approval request submission failed: unavailable"),
    ])
    def test_cloud_errors_are_retryable_transport_errors(self, cloud, where, failure, message):
        if where == "create":
            cloud.script(created=failure)
        else:
            cloud.script(polls=[failure])
        details = [{"approval_request_id": "apr_7"}] if where == "resume" else ()
        with pytest.raises(ApplicationError) as info:
            cloud(details=details)
        error = info.value
        assert (error.message, error.type, error.non_retryable) == (message, "ApprovalTransportError", False)
        assert error.__cause__ is failure
        assert cloud.client.exited == 1

    @pytest.mark.parametrize(("created", "request_id"), [
        ({"request_id": "apr_alt", "status": "pending"}, "apr_alt"),
        ({"id": "", "request_id": 42, "status": "pending"}, "42"),
    ])
    def test_id_falls_back_to_request_id_as_text(self, cloud, created, request_id):
        cloud.script(created=created)
        with pytest.raises(ApplicationError, match=f"approval pending for {request_id};"):
            cloud(attempts=1)

    @pytest.mark.parametrize("created", [{}, {"id": None, "request_id": ""}])
    def test_missing_id_is_malformed(self, cloud, created):
        cloud.script(created=created)
        with pytest.raises(ApplicationError) as info:
            cloud()
        assert (info.value.message, info.value.type, info.value.non_retryable) == (
            "approval response missing id field", "ApprovalMalformedResponse", True)
        assert cloud.client.exited == 1

    @pytest.mark.parametrize(("response", "message"), [
        ({"status": "denied", "denied_reason": "too much", "reason": "x"}, "approval denied for apr_1: too much"),
        ({"status": "REJECTED", "reason": "policy"}, "approval rejected for apr_1: policy"),
        ({"status": "expired", "denied_reason": None}, "approval expired for apr_1: expired"),
        ({"status": "Denied", "denied_reason": "", "reason": ""}, "approval denied for apr_1: denied"),
    ])
    def test_refusals_are_not_retryable(self, cloud, response, message):
        cloud.script(polls=[response])
        with pytest.raises(ApplicationError) as info:
            cloud()
        assert (info.value.message, info.value.type, info.value.non_retryable) == (message, "ApprovalDenied", True)
        assert cloud.heartbeats[-1][0]["approval_status"] == response["status"].lower()

    def test_approved_without_a_decodable_approval_is_malformed(self, cloud, caplog):
        cloud.script(polls=[{"status": "approved", "responses": [{"signed_approval": "zz"}]}])
        with caplog.at_level(logging.WARNING, logger="zelto_cloud.approval"):
            with pytest.raises(ApplicationError) as info:
                cloud()
        assert (info.value.message, info.value.type, info.value.non_retryable) == (
            "approved but missing SignedApproval payload for apr_1", "ApprovalMalformedResponse", True)
        assert len([r for r in caplog.records if r.levelno == logging.WARNING]) == 2

    @pytest.mark.parametrize("status", [None, 7, "", "Pending", "on_hold"])
    def test_unknown_statuses_keep_polling(self, cloud, status):
        cloud.script(polls=[{"status": status}])
        with pytest.raises(ApplicationError, match="approval pending"):
            cloud(attempts=1)

    def test_outside_an_activity_ids_are_empty_and_heartbeats_ignored(self, cloud):
        one = signed()
        cloud.script(polls=[approved(one)])
        assert cloud(in_activity=False) == one
        assert cloud.client.created[0]["idempotency_key"] == expected_key("transfer", "", "", "")

    def test_unexpected_errors_propagate_after_closing(self, cloud):
        cloud.script(polls=[RuntimeError("boom")])
        with pytest.raises(RuntimeError, match="boom"):
            cloud()
        assert cloud.client.exited == 1

    def test_payload_errors_propagate_before_any_client(self, cloud):
        with pytest.raises(ZeltoCloudError, match="holder_key is required"):
            cloud(gate_request(holder_key=None))
        assert FakeClient.instances == []

    def test_globals_are_looked_up_per_call(self, cloud, monkeypatch):
        handler = temporal_cloud_approval("key", HOLDER)
        monkeypatch.setattr(approval, "_build_temporal_approval_idempotency_key", lambda request, **ids: "fixed")
        cloud.script(created={"id": "apr_1", **approved(signed())})
        handler(gate_request())
        assert cloud.client.created[0]["idempotency_key"] == "fixed"


def test_many_calls_leave_memory_flat(cloud):
    from conftest import traced_growth

    one = signed()
    outcomes = [
        lambda: ({"id": "apr_1", **approved(one)}, [{"status": "pending"}]),
        lambda: ({"id": "apr_1", "status": "pending"}, [{"status": "pending"}]),
        lambda: ({"id": "apr_1", "status": "pending"}, [{"status": "denied", "denied_reason": "no"}]),
        lambda: ({"id": "apr_1", "status": "pending"}, [ZeltoCloudError("reset")]),
    ]
    handler = temporal_cloud_approval("key", HOLDER, fast_poll_attempts=1)

    def calls(count):
        for index in range(count):
            created, polls = outcomes[index % len(outcomes)]()

            def configure(client, created=created, polls=polls):
                client.created_answer, client.polls = created, polls

            FakeClient.configure = staticmethod(configure)
            FakeClient.instances.clear()
            try:
                handler(gate_request())
            except ApplicationError:
                pass
        cloud.sleeps.clear()

    assert traced_growth(calls, 1000) < 128 * 1024
