"""The cloud clients against a real HTTP server on a loopback port."""

from __future__ import annotations

import asyncio
import base64
import dataclasses
import datetime
import ipaddress
import logging
import pickle
import socket
import ssl
import subprocess
import sys
from pathlib import Path

import httpx
import pytest
from cloud_stub_server import Reply, StubCloud, error_body, request_object
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

import zelto_cloud
from zelto_cloud.client import DEFAULT_BASE_URL, ApproverCredential, AsyncZeltoCloudClient, ZeltoCloudClient
from zelto_cloud.exceptions import ApprovalDeniedError, ApprovalExpiredError, ApprovalTimeoutError, ZeltoCloudError

API_KEY = "zk_test_s3cr3t_value_123"
REQUESTS = "/v1/approvals/requests"

PAYLOAD = {
    "warrant_id": "w-1",
    "tool": "transfer_funds",
    "request_hash": b"\xab" * 32,
    "holder_key": bytearray(b"\x01" * 32),
    "args_canonical_cbor_b64": "oWFhAQ==",
    "approval_context_attestation": {"v": 1, "request_hash": "ab" * 32},
}


@pytest.fixture
def cloud():
    with StubCloud() as stub:
        yield stub


@pytest.fixture
def client(cloud):
    with ZeltoCloudClient(API_KEY, base_url=cloud.base_url, timeout=2.0) as c:
        yield c


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class TestErrors:
    def test_every_error_carries_status_code(self):
        assert ZeltoCloudError("boom").status_code is None
        assert ApprovalDeniedError("no", status_code=409).status_code == 409
        assert ApprovalTimeoutError("apr_9", 30.0).status_code is None

    def test_timeout_error_names_request_and_timeout(self):
        error = ApprovalTimeoutError("apr_9", 2.5)
        assert isinstance(error, ZeltoCloudError)
        assert "apr_9" in str(error) and "2.5" in str(error)
        assert (error.request_id, error.timeout) == ("apr_9", 2.5)

    def test_errors_survive_pickling(self):
        for error in (ApprovalExpiredError("gone", status_code=410, code="approval_expired"), ApprovalTimeoutError("a", 1)):
            copy = pickle.loads(pickle.dumps(error))
            assert type(copy) is type(error) and str(copy) == str(error)
            assert copy.status_code == error.status_code


class TestConstruction:
    def test_call_shapes(self):
        assert ZeltoCloudClient("k").base_url == DEFAULT_BASE_URL == "https://api.zelto.cloud"
        assert ZeltoCloudClient(api_key="k", base_url="http://127.0.0.1:1/").base_url == "http://127.0.0.1:1"
        assert ZeltoCloudClient("k", base_url="http://127.0.0.1:1", timeout=10.0).timeout == 10.0

    @pytest.mark.parametrize("base_url", ["ftp://x", "not a url", "http://", ""])
    def test_bad_base_url(self, base_url):
        with pytest.raises(ValueError):
            ZeltoCloudClient("k", base_url=base_url)

    @pytest.mark.parametrize("api_key", ["", "has space", f"{API_KEY}\n", None])
    def test_bad_api_key_is_rejected_without_echo(self, api_key):
        with pytest.raises(ValueError) as caught:
            ZeltoCloudClient(api_key)
        assert API_KEY not in str(caught.value)

    def test_close_is_idempotent_and_final(self, cloud):
        client = ZeltoCloudClient(API_KEY, base_url=cloud.base_url)
        with client as entered:
            assert entered is client
        client.close()
        with pytest.raises(RuntimeError):
            client.get_request("apr_1")

    def test_tls_certificates_are_verified(self, tmp_path):
        with StubCloud(tls=self_signed_tls(tmp_path)) as stub:
            with ZeltoCloudClient(API_KEY, base_url=stub.base_url) as client:
                with pytest.raises(ZeltoCloudError) as caught:
                    client.get_request("apr_1")
        assert caught.value.status_code is None
        assert "CERTIFICATE_VERIFY_FAILED" in str(caught.value)
        assert stub.requests == []


class TestCreateRequest:
    def test_body_headers_and_result(self, cloud, client):
        cloud.reply("POST", REQUESTS, 201, {"id": "apr_1", "status": "pending"})
        fields = {**PAYLOAD, "approver_keys": [b"\x02" * 32, "cd" * 32], "threshold": 0, "metadata": {"blob": b"\x00\xff"}}
        created = client.create_request(**fields, idempotency_key="appr_123")

        assert created == request_object("apr_1")
        sent = cloud.requests[0]
        assert sent.headers["authorization"] == f"Bearer {API_KEY}"
        assert sent.headers["idempotency-key"] == "appr_123"
        assert sent.headers["content-type"] == "application/json"
        body = sent.json()
        assert body["request_hash"] == "ab" * 32 and body["holder_key"] == "01" * 32
        assert body["approver_keys"] == ["02" * 32, "cd" * 32]
        assert body["threshold"] == 0 and body["metadata"] == {"blob": "00ff"}
        assert body["idempotency_key"] == "appr_123"

    def test_absent_options_are_not_sent_and_a_key_is_made_per_call(self, cloud, client):
        cloud.reply("POST", REQUESTS, 201, {"id": "apr_1", "status": "pending"})
        client.create_request(**PAYLOAD, policy_id=None)
        client.create_request(**PAYLOAD)
        first, second = cloud.requests
        assert set(first.json()) == set(PAYLOAD)  # the made key travels in the header only
        keys = {first.headers["idempotency-key"], second.headers["idempotency-key"]}
        assert len(keys) == 2 and all(key.startswith("zc_") for key in keys)

    def test_only_the_twelve_fields(self, client):
        with pytest.raises(TypeError, match="unexpected.*colour"):
            client.create_request(**PAYLOAD, colour="red")
        with pytest.raises(TypeError, match="missing.*tool"):
            client.create_request(**{k: v for k, v in PAYLOAD.items() if k != "tool"})


class TestReads:
    def test_get_request_quotes_the_id(self, cloud, client):
        cloud.reply("GET", f"{REQUESTS}/apr%2F..%2Fx", 200, request_object("apr/../x", "approved"))
        assert client.get_request("apr/../x")["status"] == "approved"

    def test_get_request_needs_an_id(self, client):
        with pytest.raises(ValueError):
            client.get_request("")

    def test_unknown_request_is_a_404(self, cloud, client):
        cloud.reply("GET", f"{REQUESTS}/apr_x", 404, error_body("not_found", "approval request apr_x not found"))
        with pytest.raises(ZeltoCloudError) as caught:
            client.get_request("apr_x")
        assert type(caught.value) is ZeltoCloudError
        assert caught.value.status_code == 404 and caught.value.code == "not_found"
        assert "404" in str(caught.value) and "approval request apr_x not found" in str(caught.value)

    def test_resolution_and_listing_calls(self, cloud, client):
        cloud.reply("POST", f"{REQUESTS}/apr_1/approve", 200, request_object(status="approved"))
        cloud.reply("POST", f"{REQUESTS}/apr_1/deny", 200, request_object(status="denied", denied_reason="no"))
        cloud.reply("GET", REQUESTS, 200, {"requests": [request_object()]})
        cloud.reply("GET", "/v1/approvers", 200, {"approvers": [{"name": "alice", "public_key": "aa" * 32}]})
        cloud.reply("POST", "/v1/receipts", 202, {"id": "rcpt_1"})

        alice, bob = ApproverCredential("alice", "alice-password"), ApproverCredential("bob", "bob-password")
        assert client.approve_request("apr_1", approver=alice)["status"] == "approved"
        assert client.deny_request("apr_1", approver=bob, reason="no")["denied_reason"] == "no"
        assert [r["id"] for r in client.list_requests(status="pending", limit=5)] == ["apr_1"]
        assert client.list_approvers()[0]["name"] == "alice"
        assert client.send_receipt({"tool": "t"}) == {"id": "rcpt_1"}

        approve, deny, listing, _, receipt = cloud.requests
        assert approve.json() == {"approver": "alice"}
        assert deny.json() == {"approver": "bob", "reason": "no"}
        # The approver calls carry the approver's credential, never the API key.
        assert approve.headers["authorization"] == "Basic " + base64.b64encode(b"alice:alice-password").decode()
        assert deny.headers["authorization"] == "Basic " + base64.b64encode(b"bob:bob-password").decode()
        assert API_KEY not in approve.headers["authorization"] + deny.headers["authorization"]

        assert listing.query == {"status": ["pending"], "limit": ["5"]}
        assert receipt.json() == {"receipt": {"tool": "t"}}

    @pytest.mark.parametrize("approver", ["alice", b"\xaa" * 32, None])
    def test_approver_calls_need_an_approver_credential(self, cloud, client, approver):
        with pytest.raises(TypeError, match="ApproverCredential"):
            client.approve_request("apr_1", approver=approver)
        with pytest.raises(TypeError, match="ApproverCredential"):
            client.deny_request("apr_1", approver=approver)
        assert cloud.requests == []


class TestStatusMapping:
    @pytest.mark.parametrize(
        ("status", "code", "expected"),
        [
            (400, "validation_error", ZeltoCloudError),
            (401, "unauthorized", ZeltoCloudError),
            (403, "forbidden", ZeltoCloudError),
            (409, "approval_denied", ApprovalDeniedError),
            (409, "already_resolved", ZeltoCloudError),
            (410, "approval_expired", ApprovalExpiredError),
            (410, None, ApprovalExpiredError),
            (413, "payload_too_large", ZeltoCloudError),
            (500, "internal", ZeltoCloudError),
        ],
    )
    def test_error_statuses(self, cloud, client, status, code, expected):
        body = error_body(code, "the server's words") if code else {"error": "the server's words"}
        cloud.reply("POST", f"{REQUESTS}/apr_1/approve", status, body)
        with pytest.raises(ZeltoCloudError) as caught:
            client.approve_request("apr_1", approver=ApproverCredential("alice", "alice-password"))
        assert type(caught.value) is expected
        assert caught.value.status_code == status
        assert str(status) in str(caught.value) and "the server's words" in str(caught.value)

    @pytest.mark.parametrize(("status", "raw", "shown"), [
        (500, b"<html>Bad gateway</html>" + b"x" * 5000, "Bad gateway"),
        (500, b"upstream timed out " * 300, "upstream timed out"),
        # A web page where the API was expected (base_url names the dashboard): its title, not its markup.
        (404, b"<!DOCTYPE html>\n<html><head><title>Approvals &amp; requests</title><style>" + b"p{}" * 900
         + b"</style></head><body>" + b"<div>row</div>" * 400 + b"</body></html>", "titled 'Approvals & requests'"),
        (200, b"  <HTML><head><TITLE>Sign in</TITLE></head><body><form></form></body></HTML>", "titled 'Sign in'"),
        # Thousands of unclosed titles: no title, and the search must not go back over the page for each.
        (500, b"<html>" + b"<title x>" * 7000, "an HTML page, not an answer"),
    ])
    def test_non_json_body_is_summarised_briefly(self, cloud, client, status, raw, shown):
        cloud.reply("GET", f"{REQUESTS}/apr_1", status, raw=raw)
        with pytest.raises(ZeltoCloudError) as caught:
            client.get_request("apr_1")
        message = str(caught.value)
        assert caught.value.status_code == status and shown in message, message
        assert len(message) < 500 and "<div" not in message and "<form" not in message

    def test_redirects_are_not_followed(self, cloud, client):
        cloud.reply("GET", f"{REQUESTS}/apr_1", 302, raw=b"", headers={"Location": "http://127.0.0.1:1/"})
        with pytest.raises(ZeltoCloudError) as caught:
            client.get_request("apr_1")
        assert caught.value.status_code == 302


class TestTransportFailures:
    def test_refused(self):
        with ZeltoCloudClient(API_KEY, base_url=f"http://127.0.0.1:{free_port()}", timeout=0.3) as client:
            with pytest.raises(ZeltoCloudError) as caught:
                client.get_request("apr_1")
        assert caught.value.status_code is None
        assert isinstance(caught.value.__cause__, httpx.ConnectError)

    def test_reset(self, cloud, client):
        cloud.reply("POST", f"{REQUESTS}/apr_1/approve", action="reset")
        with pytest.raises(ZeltoCloudError) as caught:
            client.approve_request("apr_1", approver=ApproverCredential("alice", "alice-password"))
        assert caught.value.status_code is None
        assert isinstance(caught.value.__cause__, httpx.TransportError)

    def test_timeout(self, cloud):
        cloud.reply("GET", f"{REQUESTS}/apr_1", action="stall")
        with ZeltoCloudClient(API_KEY, base_url=cloud.base_url, timeout=0.2) as client:
            with pytest.raises(ZeltoCloudError) as caught:
                client.get_request("apr_1")
        assert caught.value.status_code is None
        assert isinstance(caught.value.__cause__, httpx.TimeoutException)


class TestMalformedAnswers:
    @pytest.mark.parametrize(
        "reply",
        [
            Reply(200, raw=b"not json"),
            Reply(200, raw=b"\xff\xfe"),
            Reply(200, [request_object()]),
            Reply(200, {"status": "pending"}),
            Reply(200, {"id": "apr_1", "status": None}),
            Reply(200, request_object(responses="abc")),
            Reply(200, request_object(responses=["abc"])),
        ],
    )
    def test_bad_request_objects(self, cloud, client, reply):
        cloud.on("GET", f"{REQUESTS}/apr_1", lambda _recorded: reply)
        with pytest.raises(ZeltoCloudError, match="malformed") as caught:
            client.get_request("apr_1")
        assert caught.value.status_code == 200

    def test_missing_optional_keys_are_filled_in(self, cloud, client):
        cloud.reply("GET", f"{REQUESTS}/apr_1", 200, {"id": "apr_1", "status": "pending", "responses": None})
        assert client.get_request("apr_1") == request_object()

    def test_bad_list_answer(self, cloud, client):
        cloud.reply("GET", "/v1/approvers", 200, {"approvers": {"name": "alice"}})
        with pytest.raises(ZeltoCloudError, match="malformed"):
            client.list_approvers()


class TestApiKeyHygiene:
    def test_key_never_in_logs_repr_or_errors(self, cloud, caplog):
        caplog.set_level(logging.DEBUG)
        cloud.reply("POST", REQUESTS, 201, {"id": "apr_1", "status": "pending"})
        cloud.reply("GET", f"{REQUESTS}/apr_1", 401, error_body("unauthorized", f"unknown key {API_KEY}"))
        errors = []
        with ZeltoCloudClient(API_KEY, base_url=cloud.base_url) as client:
            client.create_request(**PAYLOAD)
            approver = ApproverCredential("a", "the-approvers-password")
            for call in (lambda: client.get_request("apr_1"), lambda: client.approve_request("apr_2", approver=approver)):
                with pytest.raises(ZeltoCloudError) as caught:
                    call()
                errors.append(caught.value)
            texts = [repr(client), repr(vars(client)), repr(client._http.headers), *map(str, errors)]
        texts += [record.getMessage() for record in caplog.records]
        assert caplog.records, "httpx should have logged the exchange"
        assert all(API_KEY not in text for text in texts)
        assert all("the-approvers-password" not in text for text in texts + [repr(approver)])
        assert "***" in str(errors[0])


    def test_a_call_with_credentials_of_its_own_keeps_them(self, cloud, client):
        from zelto_cloud.client import _approvers_call

        cloud.reply("GET", "/v1/approvers", 200, {"approvers": []})
        client._call(_approvers_call())
        client._call(dataclasses.replace(_approvers_call(), headers={"Authorization": "Basic YWxpY2U6cHc="}))
        assert [r.headers["authorization"] for r in cloud.requests] == [f"Bearer {API_KEY}", "Basic YWxpY2U6cHc="]


class TestAsyncClient:
    def test_calls_and_errors(self, cloud):
        cloud.reply("POST", REQUESTS, 201, {"id": "apr_1", "status": "pending"})
        cloud.reply("GET", f"{REQUESTS}/apr_1", 200, request_object(status="approved"))
        cloud.reply("POST", f"{REQUESTS}/apr_1/deny", 409, error_body("approval_denied", "already denied"))

        async def scenario():
            async with AsyncZeltoCloudClient(API_KEY, base_url=cloud.base_url) as client:
                created = await client.create_request(**PAYLOAD, idempotency_key="k1")
                current = await client.get_request(created["id"])
                with pytest.raises(ApprovalDeniedError) as caught:
                    await client.deny_request("apr_1", approver=ApproverCredential("bob", "bob-password"))
            await client.close()
            return current, caught.value

        current, denied = asyncio.run(scenario())
        assert current["status"] == "approved"
        assert denied.status_code == 409
        assert cloud.requests[0].headers["idempotency-key"] == "k1"


class TestPackage:
    def test_import_loads_no_optional_component(self):
        code = (
            "import sys, zelto_cloud; "
            "loaded = {'zelto', 'zelto_core', 'temporalio', 'httpx', 'zelto_cloud.approval'} & set(sys.modules); "
            "sys.exit(sorted(loaded) or 0)"
        )
        root = Path(zelto_cloud.__file__).parent.parent
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=root)
        assert result.returncode == 0, result.stderr
        assert zelto_cloud.ZeltoCloudClient is ZeltoCloudClient
        with pytest.raises(AttributeError):
            zelto_cloud.no_such_name


def self_signed_tls(directory: Path) -> ssl.SSLContext:
    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "127.0.0.1")])
    now = datetime.datetime.now(datetime.timezone.utc)
    certificate = (
        x509.CertificateBuilder()
        .subject_name(name)
        .issuer_name(name)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(minutes=5))
        .not_valid_after(now + datetime.timedelta(days=1))
        .add_extension(x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]), False)
        .sign(key, hashes.SHA256())
    )
    cert_file, key_file = directory / "cert.pem", directory / "key.pem"
    cert_file.write_bytes(certificate.public_bytes(serialization.Encoding.PEM))
    key_file.write_bytes(
        key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption())
    )
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert_file, key_file)
    return context
