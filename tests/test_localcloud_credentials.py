"""Who may do what in the local cloud: each credential against each endpoint, tenants, and their upkeep."""

from __future__ import annotations

import base64
import subprocess
import sys

import httpx
import pytest
from localcloud_helpers import assert_error, assert_no_tracebacks, create_body, database_dump
from zelto_localcloud.credentials import FREE_FAILURES_PER_NAME
from zelto_localcloud.testing import LocalCloud

# Every test here runs on SQLite and on PostgreSQL.
pytestmark = pytest.mark.usefixtures("database_backend")

OTHER_TENANT_KEY = "zelto_lk_the_other_tenant_0001"


@pytest.fixture(scope="module")
def cloud(tmp_path_factory, database_backend):
    with LocalCloud(tmp_path_factory.mktemp("credentials"), api_keys=[OTHER_TENANT_KEY]) as running:
        yield running
        assert_no_tracebacks(running)


def bearer(key: str) -> dict[str, str]:
    return {"Authorization": f"Bearer {key}"}


def basic(name: str, password: str) -> dict[str, str]:
    return {"Authorization": "Basic " + base64.b64encode(f"{name}:{password}".encode()).decode()}


def call(cloud, method: str, path: str, headers: dict, body: dict | None = None) -> httpx.Response:
    return httpx.request(method, cloud.base_url + path, headers=headers, json=body, timeout=10)


def new_request(cloud, key: str, **overrides) -> dict:
    answer = call(cloud, "POST", "/v1/approvals/requests", bearer(key), create_body(**overrides))
    assert answer.status_code == 201, answer.text
    return answer.json()


# Each credential against each endpoint. "own" is a request of the caller's
# tenant, "other" one of the other tenant's; approvers see every tenant.
# The expected answer: an HTTP status, and for refusals the error code.
CREDENTIALS = ["agent", "approver", "none", "wrong password", "unknown key"]
TABLE = {
    ("POST", "/v1/approvals/requests"): {"agent": 201, "approver": 403},
    ("GET", "/v1/approvals/requests"): {"agent": 200, "approver": 200},
    ("GET", "/v1/approvals/requests/{own}"): {"agent": 200, "approver": 200},
    ("GET", "/v1/approvals/requests/{other}"): {"agent": 404, "approver": 200},
    ("POST", "/v1/approvals/requests/{own}/approve"): {"agent": 403, "approver": 200},
    ("POST", "/v1/approvals/requests/{other}/approve"): {"agent": 403, "approver": 200},
    ("POST", "/v1/approvals/requests/{own}/deny"): {"agent": 403, "approver": 200},
    ("GET", "/v1/approvers"): {"agent": 200, "approver": 200},
    ("POST", "/v1/receipts"): {"agent": 202, "approver": 403},
}
_CODES = {401: "unauthorized", 403: "forbidden", 404: "not_found"}


@pytest.mark.parametrize("credential", CREDENTIALS)
@pytest.mark.parametrize("method,path", list(TABLE))
def test_each_credential_against_each_endpoint(cloud, method, path, credential):
    own, other = new_request(cloud, cloud.api_key), new_request(cloud, OTHER_TENANT_KEY)
    headers = {
        "agent": bearer(cloud.api_key),
        "approver": cloud.approver_headers("alice"),
        "none": {},
        "wrong password": basic("alice", "not-alices-password"),
        "unknown key": bearer("zelto_lk_nobody_has_this_key"),
    }[credential]
    body = {"receipt": {"tool": "t"}} if path == "/v1/receipts" else create_body() if method == "POST" else None
    if path.endswith(("/approve", "/deny")):
        body = {}
    answer = call(cloud, method, path.format(own=own["id"], other=other["id"]), headers, body)
    expected = TABLE[(method, path)].get(credential, 401)
    if expected >= 400:
        assert_error(answer, expected, _CODES[expected])
    else:
        assert answer.status_code == expected, answer.text
    if path.endswith("/approve") and credential != "approver":
        # Nothing was signed for a refused caller.
        for request in (own, other):
            current = call(cloud, "GET", f"/v1/approvals/requests/{request['id']}", cloud.approver_headers("bob"))
            assert current.json()["responses"] == []


class TestTenants:
    def test_a_list_holds_only_the_callers_own_requests(self, cloud):
        mine, theirs = new_request(cloud, cloud.api_key), new_request(cloud, OTHER_TENANT_KEY)
        for key, own, foreign in ((cloud.api_key, mine, theirs), (OTHER_TENANT_KEY, theirs, mine)):
            listed = call(cloud, "GET", "/v1/approvals/requests?limit=500", bearer(key)).json()["requests"]
            ids = {r["id"] for r in listed}
            assert own["id"] in ids and foreign["id"] not in ids
        everyone = call(cloud, "GET", "/v1/approvals/requests?limit=500", cloud.approver_headers("carol"))
        assert {mine["id"], theirs["id"]} <= {r["id"] for r in everyone.json()["requests"]}

    def test_a_batch_read_leaves_out_other_tenants_requests(self, cloud):
        mine, theirs = new_request(cloud, cloud.api_key), new_request(cloud, OTHER_TENANT_KEY)
        body = {"ids": [theirs["id"], mine["id"]]}
        for headers, expected in ((bearer(cloud.api_key), [mine["id"]]),
                                  (bearer(OTHER_TENANT_KEY), [theirs["id"]]),
                                  (cloud.approver_headers("carol"), [theirs["id"], mine["id"]])):
            answer = call(cloud, "POST", "/v1/approvals/requests/batch-read", headers, body)
            assert [r["id"] for r in answer.json()["requests"]] == expected

    def test_idempotency_keys_belong_to_their_tenant(self, cloud):
        first = new_request(cloud, cloud.api_key, idempotency_key="appr_shared", metadata={"secret": "a's"})
        second = call(cloud, "POST", "/v1/approvals/requests", bearer(OTHER_TENANT_KEY),
                      create_body(idempotency_key="appr_shared"))
        assert second.status_code == 201 and second.json()["id"] != first["id"]
        assert second.json()["metadata"] != first["metadata"]
        again = call(cloud, "POST", "/v1/approvals/requests", bearer(cloud.api_key),
                     create_body(idempotency_key="appr_shared"))
        assert again.status_code == 200 and again.json()["id"] == first["id"]


class TestApproverCredential:
    def test_an_approval_is_signed_only_by_the_signed_in_approver(self, cloud):
        request = new_request(cloud, cloud.api_key)
        path = f"/v1/approvals/requests/{request['id']}/approve"
        pretending = call(cloud, "POST", path, cloud.approver_headers("alice"), {"approver": "bob"})
        assert_error(pretending, 403, "forbidden")
        by_key = call(cloud, "POST", path, cloud.approver_headers("alice"), {"approver": cloud.approvers["alice"]})
        assert [r["approver_key"] for r in by_key.json()["responses"]] == [cloud.approvers["alice"]]

    def test_only_an_approver_the_request_allows_may_decide(self, cloud):
        request = new_request(cloud, cloud.api_key, approver_keys=[cloud.approvers["bob"]])
        for action in ("approve", "deny"):
            refused = call(cloud, "POST", f"/v1/approvals/requests/{request['id']}/{action}",
                           cloud.approver_headers("alice"), {})
            assert_error(refused, 403, "forbidden")

    @pytest.mark.parametrize("authorization", ["Basic !!!", "Basic " + base64.b64encode(b"no-colon").decode(),
                                               "Basic " + base64.b64encode(b"alice:").decode()])
    def test_malformed_basic_credentials_are_401(self, cloud, authorization):
        answer = call(cloud, "GET", "/v1/approvers", {"Authorization": authorization})
        assert_error(answer, 401, "unauthorized")
        assert "Basic" in answer.headers["www-authenticate"]

    def test_password_guessing_is_throttled_per_approver(self, tmp_path):
        with LocalCloud(tmp_path / "guessing") as guessed:
            for _ in range(FREE_FAILURES_PER_NAME):
                assert_error(call(guessed, "GET", "/v1/approvers", basic("bob", "wrong-password-xx")), 401,
                             "unauthorized")
            # From this address even the right password waits a little; other approvers are not affected.
            delayed = call(guessed, "GET", "/v1/approvers", guessed.approver_headers("bob"))
            assert_error(delayed, 429, "too_many_attempts")
            assert int(delayed.headers["retry-after"]) >= 1
            assert call(guessed, "GET", "/v1/approvers", guessed.approver_headers("carol")).status_code == 200


def manage(cloud, *arguments: str, stdin: str | None = None) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-P", "-m", "zelto_localcloud", *arguments, "--data-dir", str(cloud.data_dir)],
        capture_output=True, text=True, timeout=60, input=stdin, env=cloud.environment(),
    )


def printed(result: subprocess.CompletedProcess) -> dict[str, str]:
    assert result.returncode == 0, result.stderr
    return dict(line.split(": ", 1) for line in result.stdout.splitlines() if ": " in line)


class TestCommandLine:
    def test_approvers_added_removed_and_repassworded_apply_to_the_running_server(self, cloud):
        dave = printed(manage(cloud, "approver", "add", "dave"))
        assert set(dave) == {"approver dave", "password dave"}
        listed = printed(manage(cloud, "approver", "list"))
        assert listed["dave"] == dave["approver dave"]
        request = new_request(cloud, cloud.api_key)
        approved = call(cloud, "POST", f"/v1/approvals/requests/{request['id']}/approve",
                        basic("dave", dave["password dave"]), {})
        assert approved.json()["responses"][0]["approver_key"] == dave["approver dave"]

        chosen = "a password dave chose"
        assert manage(cloud, "approver", "set-password", "dave", "--password-stdin", stdin=chosen + "\n").returncode == 0
        assert_error(call(cloud, "GET", "/v1/approvers", basic("dave", dave["password dave"])), 401, "unauthorized")
        assert call(cloud, "GET", "/v1/approvers", basic("dave", chosen)).status_code == 200

        assert manage(cloud, "approver", "remove", "dave").returncode == 0
        assert_error(call(cloud, "GET", "/v1/approvers", basic("dave", chosen)), 401, "unauthorized")
        assert manage(cloud, "approver", "remove", "dave").returncode == 1

    @pytest.mark.parametrize("arguments,stdin,message", [
        (("approver", "add", "alice"), None, "already exists"),
        (("approver", "add", "erin", "--password-stdin"), "short\n", "12 to 1024 characters"),
        (("approver", "add", "not a name"), None, "approver name"),
        (("approver", "set-password", "nobody"), None, "no approver named nobody"),
        (("api-key", "remove", "key_nothing"), None, "no API key"),
    ])
    def test_mistakes_are_explained(self, cloud, arguments, stdin, message):
        result = manage(cloud, *arguments, stdin=stdin)
        assert result.returncode != 0 and message in result.stderr and "Traceback" not in result.stderr

    def test_api_keys_added_and_removed_apply_at_once_and_only_hashes_are_kept(self, cloud):
        added = printed(manage(cloud, "api-key", "add", "--name", "ci"))
        key, key_id = added["api key"], added["id"]
        assert key_id in printed(manage(cloud, "api-key", "list"))
        created = new_request(cloud, key)
        assert call(cloud, "GET", f"/v1/approvals/requests/{created['id']}", bearer(key)).status_code == 200
        assert manage(cloud, "api-key", "remove", "ci").returncode == 0
        assert_error(call(cloud, "GET", "/v1/approvers", bearer(key)), 401, "unauthorized")

        dump = database_dump(cloud)
        secrets = [cloud.api_key, OTHER_TENANT_KEY, key, *(cloud.approver_password(n) for n in ("alice", "bob"))]
        assert not [secret for secret in secrets if secret in dump]
        assert "scrypt$" in dump

    def test_connect_tokens_are_kept_as_hashes_and_their_key_removable(self, cloud):
        token = cloud.mint_connect_token()
        exchanged = httpx.post(cloud.base_url + "/v1/connect/exchange", json={"token": token}).json()
        agent_key = exchanged["settings"]["ZELTO_API_KEY"]
        assert call(cloud, "GET", "/v1/approvers", bearer(agent_key)).status_code == 200
        assert token not in database_dump(cloud) and agent_key not in database_dump(cloud)
        assert manage(cloud, "api-key", "remove", f"agent {exchanged['agent_id']}").returncode == 0
        assert_error(httpx.post(cloud.base_url + "/v1/connect/exchange", json={"token": token}), 401, "unauthorized")
