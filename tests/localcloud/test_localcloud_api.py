"""The local cloud's JSON API, against a real server process on a loopback port."""

from __future__ import annotations

import json
import sqlite3
import time

import httpx
import pytest
from localcloud_helpers import (api_client, approver_client, assert_error, assert_no_tracebacks,
                               assert_verified_approval, create, create_body)
from zelto_core import SigningKey
from zelto_localcloud.testing import LocalCloud

# Every test here runs on SQLite and on PostgreSQL.
pytestmark = pytest.mark.usefixtures("database_backend")

EXTRA_KEY = "zelto_lk_extra_for_tests"


@pytest.fixture(scope="module")
def cloud(tmp_path_factory, database_backend):
    with LocalCloud(tmp_path_factory.mktemp("cloud"), api_keys=[EXTRA_KEY], approvers=["dave"]) as running:
        yield running
        assert_no_tracebacks(running)


@pytest.fixture
def http(cloud):
    with api_client(cloud) as client:
        yield client


def approve(http, request_id, approver):
    return http.post(f"/v1/approvals/requests/{request_id}/approve", json={"approver": approver})


def deny(http, request_id, approver, **extra):
    return http.post(f"/v1/approvals/requests/{request_id}/deny", json={"approver": approver, **extra})


class TestCreateReadList:
    def test_create_answers_the_full_request_object(self, http):
        body = create_body(policy_id="pol-1", ttl_seconds=120)
        created = http.post("/v1/approvals/requests", json=body)
        assert created.status_code == 201
        request = created.json()
        assert request["id"].startswith("apr_")
        assert request["status"] == "pending"
        assert request["responses"] == [] and request["denied_reason"] is None and request["reason"] is None
        for field in ("warrant_id", "tool", "request_hash", "holder_key", "policy_id", "metadata"):
            assert request[field] == body[field]
        assert (request["threshold"], request["approver_keys"], request["ttl_seconds"]) == (1, None, 120)
        assert request["created_at"].endswith("Z") and request["resolved_at"] is None
        # An agent polls for the status: its reads leave out the shown call that the create answered.
        assert request["call"]["arguments"] is not None
        assert http.get(f"/v1/approvals/requests/{request['id']}").json() == {
            name: value for name, value in request.items() if name != "call"
        }

    def test_list_is_newest_first_and_filters_by_status(self, http, cloud):
        first, second = create(http), create(http)
        deny(http, first["id"], "alice")
        listed = [r["id"] for r in http.get("/v1/approvals/requests", params={"limit": 500}).json()["requests"]]
        assert listed.index(second["id"]) < listed.index(first["id"])
        denied = http.get("/v1/approvals/requests", params={"status": "denied"}).json()["requests"]
        assert first["id"] in {r["id"] for r in denied} and all(r["status"] == "denied" for r in denied)
        assert len(http.get("/v1/approvals/requests", params={"limit": 1}).json()["requests"]) == 1

    def test_same_idempotency_key_returns_the_same_request_whatever_its_state(self, http):
        body = create_body(idempotency_key="appr_same")
        first = http.post("/v1/approvals/requests", json=body)
        assert first.status_code == 201
        approve(http, first.json()["id"], "alice")
        again = http.post("/v1/approvals/requests", json=create_body(idempotency_key="appr_same"))
        assert again.status_code == 200
        assert again.json()["id"] == first.json()["id"] and again.json()["status"] == "approved"

    def test_idempotency_header_wins_over_the_body(self, http):
        first = http.post("/v1/approvals/requests", json=create_body(idempotency_key="body-key"),
                          headers={"Idempotency-Key": "header-key"})
        by_header = http.post("/v1/approvals/requests", json=create_body(), headers={"Idempotency-Key": "header-key"})
        by_body = http.post("/v1/approvals/requests", json=create_body(idempotency_key="body-key"))
        assert by_header.status_code == 200 and by_header.json()["id"] == first.json()["id"]
        assert by_body.status_code == 201 and by_body.json()["id"] != first.json()["id"]

    def test_approvers_lists_defaults_and_added_names(self, http, cloud):
        approvers = http.get("/v1/approvers").json()["approvers"]
        assert {a["name"]: a["public_key"] for a in approvers} == cloud.approvers
        assert set(cloud.approvers) == {"alice", "bob", "carol", "dave"}


class TestDecisions:
    def test_approval_carries_a_verifying_signed_approval_of_the_approver(self, http, cloud):
        request = create(http)
        approved = approve(http, request["id"], "bob").json()
        assert approved["status"] == "approved" and approved["resolved_at"]
        [entry] = approved["responses"]
        assert (entry["approver"], entry["decision"]) == ("bob", "approved")
        assert_verified_approval(entry, request_hash_hex=request["request_hash"],
                                 approver_key_hex=cloud.approvers["bob"], encoding=cloud.encoding)

    def test_threshold_needs_distinct_allowed_approvers(self, http, cloud):
        keys = [cloud.approvers[name] for name in ("alice", "bob", "carol")]
        request = create(http, threshold=2, approver_keys=keys)
        assert approve(http, request["id"], "alice").json()["status"] == "pending"
        assert_error(approve(http, request["id"], "alice"), 409, "already_resolved")
        assert_error(approve(http, request["id"], "dave"), 403, "forbidden")
        done = approve(http, request["id"], cloud.approvers["carol"].upper()).json()
        assert done["status"] == "approved"
        assert [r["approver"] for r in done["responses"]] == ["alice", "carol"]
        for entry in done["responses"]:
            assert_verified_approval(entry, request_hash_hex=request["request_hash"],
                                     approver_key_hex=cloud.approvers[entry["approver"]], encoding=cloud.encoding)
        assert_error(approve(http, request["id"], "bob"), 409, "already_resolved")

    def test_one_denial_resolves_with_its_reason(self, http):
        request = create(http, threshold=2)
        approve(http, request["id"], "alice")
        denied = deny(http, request["id"], "bob", reason="too much").json()
        assert (denied["status"], denied["denied_reason"], denied["reason"]) == ("denied", "too much", "too much")
        last = denied["responses"][-1]
        assert (last["approver"], last["decision"], last["reason"]) == ("bob", "denied", "too much")
        assert "signed_approval" not in last
        assert_error(approve(http, request["id"], "carol"), 409, "approval_denied")
        assert_error(deny(http, request["id"], "carol"), 409, "approval_denied")

    def test_denial_without_reason_has_null_reason(self, http):
        denied = deny(http, create(http)["id"], "alice").json()
        assert denied["status"] == "denied" and denied["denied_reason"] is None

    def test_naming_another_approver_is_refused_and_unknown_requests_are_not_found(self, http, cloud):
        request = create(http)
        with approver_client(cloud, "alice") as alice:
            for other in ("bob", "mallory", SigningKey.generate().public_key.hex()):
                assert_error(approve(alice, request["id"], other), 403, "forbidden")
            assert_error(approve(alice, "apr_missing", "alice"), 404, "not_found")
        assert_error(http.get("/v1/approvals/requests/apr_missing"), 404, "not_found")
        assert http.get(f"/v1/approvals/requests/{request['id']}").json()["responses"] == []

    def test_a_decision_without_a_name_is_the_signed_in_approvers(self, http, cloud):
        request = create(http)
        with approver_client(cloud, "bob") as bob:
            approved = bob.post(f"/v1/approvals/requests/{request['id']}/approve", json={}).json()
        assert [r["approver"] for r in approved["responses"]] == ["bob"]


class TestExpiry:
    def test_zero_ttl_request_is_expired_and_cannot_be_resolved(self, http):
        request = create(http, ttl_seconds=0)
        assert http.get(f"/v1/approvals/requests/{request['id']}").json()["status"] == "expired"
        assert_error(approve(http, request["id"], "alice"), 410, "approval_expired")
        assert_error(deny(http, request["id"], "alice"), 410, "approval_expired")
        expired = http.get("/v1/approvals/requests", params={"status": "expired", "limit": 500}).json()["requests"]
        assert request["id"] in {r["id"] for r in expired}

    def test_pending_request_expires_when_its_ttl_passes(self, http):
        request = create(http, ttl_seconds=1)
        assert http.get(f"/v1/approvals/requests/{request['id']}").json()["status"] == "pending"
        time.sleep(1.2)
        listed = http.get("/v1/approvals/requests", params={"status": "pending", "limit": 500}).json()["requests"]
        assert request["id"] not in {r["id"] for r in listed}
        assert http.get(f"/v1/approvals/requests/{request['id']}").json()["status"] == "expired"


class TestAuthentication:
    PROTECTED = [
        ("POST", "/v1/approvals/requests"), ("GET", "/v1/approvals/requests"),
        ("GET", "/v1/approvals/requests/apr_x"), ("POST", "/v1/approvals/requests/apr_x/approve"),
        ("POST", "/v1/approvals/requests/apr_x/deny"), ("GET", "/v1/approvers"), ("POST", "/v1/receipts"),
    ]

    @pytest.mark.parametrize("method,path", PROTECTED)
    @pytest.mark.parametrize("authorization", [None, "Bearer", "Basic abc", "Bearer wrong-key"])
    def test_missing_malformed_or_unknown_key_is_401(self, cloud, method, path, authorization):
        headers = {} if authorization is None else {"Authorization": authorization}
        response = httpx.request(method, cloud.base_url + path, headers=headers, json={})
        assert_error(response, 401, "unauthorized")

    def test_a_key_given_at_start_is_accepted(self, cloud):
        response = httpx.get(cloud.base_url + "/v1/approvers", headers={"Authorization": f"Bearer {EXTRA_KEY}"})
        assert response.status_code == 200


def _oversized_chunks():
    for _ in range(17):
        yield b" " * 65536


class TestBadInput:
    @pytest.mark.parametrize("content,code", [
        (b"{not json", "invalid_json"), (b"", "invalid_json"), (b"[1, 2]", "invalid_json"),
        (b"\xff\xfe{}", "invalid_json"), (b'{"a": NaN}', "invalid_json"),
        (b'{"tool": "\\ud800"}', "invalid_json"), (b"[" * 100000 + b"]" * 100000, "invalid_json"),
        (b'{"a":' * 70 + b"1" + b"}" * 70, "invalid_json"),
        # Numbers too large for a float read as infinity; surrogate escapes in either case, deep inside.
        (b'{"metadata": {"n": [1e999]}}', "invalid_json"), (b'{"a": -Infinity}', "invalid_json"),
        (b'{"metadata": {"k": ["ok", "\\uDFFF"]}}', "invalid_json"),
        (b"\xef\xbb\xbf{}", "invalid_json"),  # a byte-order mark
    ])
    def test_unreadable_bodies_are_invalid_json(self, http, content, code):
        response = http.post("/v1/approvals/requests", content=content, headers={"Content-Type": "application/json"})
        assert_error(response, 400, code)

    @pytest.mark.parametrize("field", [
        "warrant_id", "tool", "request_hash", "holder_key", "args_canonical_cbor_b64", "approval_context_attestation",
    ])
    def test_each_missing_required_field_is_named(self, http, field):
        body = create_body()
        del body[field]
        error = assert_error(http.post("/v1/approvals/requests", json=body), 400, "validation_error")
        assert field in error["message"]

    @pytest.mark.parametrize("field,value", [
        ("tool", 5), ("warrant_id", ["w"]), ("request_hash", "abc"), ("request_hash", "zz"), ("request_hash", ""),
        ("holder_key", "ab" * 31), ("args_canonical_cbor_b64", "not base64!"), ("args_canonical_cbor_b64", "oWZ"),
        ("approval_context_attestation", "text"), ("metadata", [1]), ("policy_id", 3),
        ("threshold", 0), ("threshold", True), ("threshold", "2"), ("threshold", 1.5), ("threshold", 10**30),
        ("ttl_seconds", -1), ("ttl_seconds", "60"), ("ttl_seconds", 10**20),
        ("approver_keys", "ab" * 32), ("approver_keys", []), ("approver_keys", ["ab"]), ("approver_keys", [7]),
        ("idempotency_key", 12), ("tool", "send\x00mail"), ("warrant_id", "w\x00"), ("policy_id", "\x00"),
    ])
    def test_mistyped_or_out_of_range_fields_are_named(self, http, field, value):
        body = create_body()
        body[field] = value
        error = assert_error(http.post("/v1/approvals/requests", json=body), 400, "validation_error")
        assert field in error["message"]

    def test_threshold_above_the_allowed_approvers_is_rejected(self, http, cloud):
        body = create_body(threshold=3, approver_keys=[cloud.approvers["alice"], cloud.approvers["bob"]])
        assert_error(http.post("/v1/approvals/requests", json=body), 400, "validation_error")

    @pytest.mark.parametrize("body", [{"approver": ""}, {"approver": 5}, {"approver": "alice", "reason": 5}])
    def test_bad_decision_bodies(self, http, cloud, body):
        request = create(http)
        with approver_client(cloud, "alice") as alice:
            denied = alice.post(f"/v1/approvals/requests/{request['id']}/deny", json=body)
        assert_error(denied, 400, "validation_error")
        assert http.get(f"/v1/approvals/requests/{request['id']}").json()["status"] == "pending"

    @pytest.mark.parametrize("params", [{"status": "nope"}, {"limit": "0"}, {"limit": "x"}, {"cursor": "x1"},
                                        {"cursor": "c" + "f" * 40}])
    def test_bad_list_queries(self, http, params):
        assert_error(http.get("/v1/approvals/requests", params=params), 400, "validation_error")

    def test_bodies_over_one_mebibyte_are_refused(self, http):
        padded = create_body(metadata={"pad": "x" * (1024 * 1024)})
        assert_error(http.post("/v1/approvals/requests", json=padded), 413, "payload_too_large")
        chunked = http.post("/v1/approvals/requests", content=_oversized_chunks())
        assert_error(chunked, 413, "payload_too_large")

    def test_unknown_path_and_wrong_method(self, http):
        assert_error(http.get("/v1/nothing-here"), 404, "not_found")
        assert_error(http.delete("/v1/approvals/requests"), 405, "method_not_allowed")
        assert_error(http.get("/v1/approvals/requests/apr_x/approve"), 405, "method_not_allowed")

    def test_server_still_serves_after_the_bad_input(self, cloud, http):
        assert httpx.get(cloud.base_url + "/healthz").json() == {"status": "ok"}
        assert create(http)["status"] == "pending"


class TestReceipts:
    def test_receipt_is_accepted_with_an_id(self, http):
        response = http.post("/v1/receipts", json={"receipt": {"tool": "transfer_funds", "outcome": "allowed"}})
        assert response.status_code == 202 and response.json()["id"].startswith("rcpt_")

    def test_receipt_must_be_an_object(self, http):
        assert_error(http.post("/v1/receipts", json={"receipt": "x"}), 400, "validation_error")


class TestConnect:
    def test_exchange_then_claim_once(self, cloud):
        token = cloud.mint_connect_token()
        exchanged = httpx.post(cloud.base_url + "/v1/connect/exchange", json={"token": token}).json()
        settings = exchanged["settings"]
        assert settings["ZELTO_CONTROL_PLANE_URL"] == cloud.base_url
        agent_key = {"Authorization": f"Bearer {settings['ZELTO_API_KEY']}"}
        assert httpx.get(cloud.base_url + "/v1/approvers", headers=agent_key).status_code == 200
        public_key = SigningKey.generate().public_key.hex()
        claim = {"token": token, "public_key_hex": public_key}
        claimed = httpx.post(cloud.base_url + "/v1/connect/claim", json=claim)
        assert claimed.json() == {"agent_id": exchanged["agent_id"], "status": "active"}
        assert_error(httpx.post(cloud.base_url + "/v1/connect/claim", json=claim), 409, "already_claimed")
        other = {"token": token, "public_key_hex": SigningKey.generate().public_key.hex()}
        assert_error(httpx.post(cloud.base_url + "/v1/connect/claim", json=other), 409, "claimed_by_another_key")
        # A restarted worker exchanges the same token again and gets the same settings.
        again = httpx.post(cloud.base_url + "/v1/connect/exchange", json={"token": token}).json()
        assert again == exchanged

    def test_connect_helper_applies_settings_and_counts_a_repeat_claim_as_active(self, cloud, monkeypatch):
        from zelto_cloud.connect import connect

        monkeypatch.setenv("ZELTO_CONNECT_TOKEN", cloud.mint_connect_token())
        monkeypatch.setenv("ZELTO_CONTROL_PLANE_URL", cloud.base_url)
        monkeypatch.delenv("ZELTO_API_KEY", raising=False)
        key = SigningKey.generate().public_key.hex()
        first = connect(public_key_hex=key, claim=True, apply_env=True)
        second = connect(public_key_hex=key, claim=True, apply_env=True)
        assert first.claimed and second.already_active and first.agent_id == second.agent_id
        assert first.settings["ZELTO_API_KEY"]

    @pytest.mark.parametrize("path,body", [
        ("/v1/connect/exchange", {"token": "zelto_ct_unknown"}),
        ("/v1/connect/claim", {"token": "zelto_ct_unknown", "public_key_hex": "ab" * 32}),
    ])
    def test_unknown_token_is_401(self, cloud, path, body):
        assert_error(httpx.post(cloud.base_url + path, json=body), 401, "unauthorized")

    def test_bad_connect_bodies(self, cloud):
        assert_error(httpx.post(cloud.base_url + "/v1/connect/exchange", json={}), 400, "validation_error")
        claim = {"token": cloud.mint_connect_token(), "public_key_hex": "xyz"}
        assert_error(httpx.post(cloud.base_url + "/v1/connect/claim", json=claim), 400, "validation_error")


class TestThroughTheClient:
    def test_client_creates_polls_and_reads_errors(self, cloud):
        from zelto_cloud.client import ZeltoCloudClient
        from zelto_cloud.exceptions import ApprovalDeniedError, ZeltoCloudError

        body = create_body()
        body["request_hash"] = bytes.fromhex(body["request_hash"])
        with ZeltoCloudClient(cloud.api_key, base_url=cloud.base_url) as client:
            created = client.create_request(**body)
            assert client.get_request(created["id"])["status"] == "pending"
            approved = client.approve_request(created["id"], approver=cloud.approver_credential("carol"))
            assert_verified_approval(approved["responses"][0], request_hash_hex=body["request_hash"].hex(),
                                     approver_key_hex=cloud.approvers["carol"], encoding=cloud.encoding)
            other = client.create_request(**{**create_body(), "threshold": 1})
            client.deny_request(other["id"], approver=cloud.approver_credential("alice"), reason="no")
            with pytest.raises(ApprovalDeniedError):
                client.approve_request(other["id"], approver=cloud.approver_credential("bob"))
            with pytest.raises(ZeltoCloudError) as missing:
                client.get_request("apr_missing")
            assert missing.value.status_code == 404


class TestBase64Encoding:
    def test_base64_server_sends_verifying_base64_approvals(self, tmp_path):
        with LocalCloud(tmp_path / "b64", encoding="base64") as b64_cloud, api_client(b64_cloud) as http:
            request = create(http)
            entry = approve(http, request["id"], "alice").json()["responses"][0]
            assert not all(c in "0123456789abcdef" for c in entry["signed_approval"])
            assert_verified_approval(entry, request_hash_hex=request["request_hash"],
                                     approver_key_hex=b64_cloud.approvers["alice"], encoding="base64")


class TestPersistence:
    def test_restart_keeps_requests_approvals_keys_and_idempotency(self, tmp_path):
        with LocalCloud(tmp_path / "data") as first:
            with api_client(first) as http:
                pending = create(http, idempotency_key="keep-me")
                approved = create(http)
                approve(http, approved["id"], "alice")
            api_key, approvers, port = first.api_key, first.approvers, first.port
            first.restart()
            assert (first.api_key, first.approvers, first.port) == (api_key, approvers, port)
            with api_client(first) as http:
                assert http.get(f"/v1/approvals/requests/{pending['id']}").json()["status"] == "pending"
                after = http.get(f"/v1/approvals/requests/{approved['id']}").json()
                assert_verified_approval(after["responses"][0], request_hash_hex=approved["request_hash"],
                                         approver_key_hex=approvers["alice"], encoding=first.encoding)
                replay = http.post("/v1/approvals/requests", json=create_body(idempotency_key="keep-me"))
                assert replay.status_code == 200 and replay.json()["id"] == pending["id"]
                # Approver keys survived: the same approver signs with the same key.
                entry = approve(http, pending["id"], "bob").json()["responses"][0]
                assert_verified_approval(entry, request_hash_hex=pending["request_hash"],
                                         approver_key_hex=approvers["bob"], encoding=first.encoding)

    def test_a_killed_server_loses_nothing_it_acknowledged(self, tmp_path):
        cloud = LocalCloud(tmp_path / "data").start()
        try:
            with api_client(cloud) as http:
                created = [create(http) for _ in range(5)]
                for request in created[:3]:
                    assert approve(http, request["id"], "carol").status_code == 200
                deny(http, created[3]["id"], "alice", reason="crash test")
            cloud.kill()
            cloud.start()
            with api_client(cloud) as http:
                statuses = [http.get(f"/v1/approvals/requests/{r['id']}").json()["status"] for r in created]
            assert statuses == ["approved"] * 3 + ["denied", "pending"]
        finally:
            cloud.stop()

    def test_database_is_sqlite_in_wal_mode(self, cloud, database_backend):
        if database_backend != "sqlite":
            pytest.skip("about the SQLite file")
        database = sqlite3.connect(f"file:{cloud.data_dir / 'localcloud.db'}?mode=ro", uri=True)
        try:
            assert database.execute("PRAGMA journal_mode").fetchone()[0] == "wal"
            assert database.execute("SELECT count(*) FROM approvers").fetchone()[0] == 4
        finally:
            database.close()


class TestCommandLine:
    def test_busy_port_is_a_clear_error(self, cloud, tmp_path):
        clash = LocalCloud(tmp_path / "clash", port=cloud.port, startup_timeout=20)
        with pytest.raises(RuntimeError, match="cannot listen"):
            clash.start()

    def test_invalid_approver_name_is_refused(self, tmp_path):
        with pytest.raises(RuntimeError, match="approver name"):
            LocalCloud(tmp_path / "bad", approvers=["not a name"], startup_timeout=20).start()


def test_error_bodies_are_json_objects_never_html(cloud):
    for response in (httpx.get(cloud.base_url + "/v1/x"), httpx.post(cloud.base_url + "/v1/approvers")):
        assert isinstance(json.loads(response.content)["error"], dict)


def _nested(depth: int, *, inside: str = "") -> bytes:
    """An object `depth` levels deep (the body itself is the first), its innermost value `inside`."""
    return (b'{"a":[' * (depth // 2) + (b'{"b":' if depth % 2 else b"") + json.dumps(inside).encode()
            + (b"}" if depth % 2 else b"") + b"]}" * (depth // 2))


@pytest.mark.parametrize("body, refused", [
    (_nested(64), False),
    (_nested(65), True),
    (_nested(63, inside="{[" * 100), False),  # brackets inside a string nest nothing
    (_nested(65, inside="x"), True),
    (b'{"wide": [' + b", ".join([b"[{}]"] * 200) + b"]}", False),  # many brackets, three levels
    (b'{"a": ' + b"[" * 64 + b"]" * 64 + b"}", True),
    (b'{"a": ' + b"[" * 63 + b"]" * 63 + b"}", False),
], ids=["at the limit", "one past", "brackets in text", "past, with little text", "wide", "arrays past",
        "arrays at the limit"])
def test_nesting_is_refused_past_the_limit_only(body, refused):
    from zelto_localcloud.errors import ApiError
    from zelto_localcloud.validation import MAX_NESTING, parse_json_object

    assert MAX_NESTING == 64
    if refused:
        with pytest.raises(ApiError, match="nests deeper than 64 levels"):
            parse_json_object(body)
    else:
        assert isinstance(parse_json_object(body), dict)
