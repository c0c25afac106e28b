"""The API's OpenAPI document: it names exactly the server's routes, the server keeps the rules it
states, and a bounded Schemathesis round against a real local cloud finds nothing it does not allow."""

from __future__ import annotations

import json
from importlib import resources
from types import SimpleNamespace

import api_fuzz
import httpx
import pytest
from localcloud_helpers import api_client, assert_no_tracebacks, create, create_body
from zelto_localcloud import dashboard, history, pending
from zelto_localcloud.app import create_app
from zelto_localcloud.testing import LocalCloud
from zelto_localcloud.validation import MAX_TTL_SECONDS

# Every test here runs on SQLite and on PostgreSQL.
pytestmark = pytest.mark.usefixtures("database_backend")

DOCUMENT = json.loads(resources.files("zelto_localcloud").joinpath("openapi.json").read_text("utf-8"))
HTTP_METHODS = {"get", "put", "post", "delete", "options", "head", "patch", "trace"}


@pytest.fixture(scope="module")
def cloud(tmp_path_factory, database_backend):
    with LocalCloud(tmp_path_factory.mktemp("cloud")) as running:
        yield running
        assert_no_tracebacks(running)


def _documented() -> set[tuple[str, str]]:
    return {(method.upper(), path) for path, item in DOCUMENT["paths"].items() for method in item
            if method in HTTP_METHODS}


def _served() -> set[tuple[str, str]]:
    """The application's routes, the dashboard's pages aside (HEAD comes with every GET)."""
    state = SimpleNamespace(config=SimpleNamespace(host="127.0.0.1", allowed_hosts=()),
                            store=SimpleNamespace(group_commits=lambda: None))
    pages = {id(route) for route in dashboard.ROUTES + history.ROUTES + pending.ROUTES}
    return {(method, route.path) for route in create_app(state).routes if id(route) not in pages
            for method in route.methods if method != "HEAD"}


def test_document_names_exactly_the_served_routes():
    assert _served() == _documented(), "routes and document differ: " + repr(_served() ^ _documented())


def test_served_document_is_the_shipped_one_with_this_server_first(cloud):
    served = httpx.get(cloud.base_url + "/openapi.json").json()
    assert served["servers"][0]["url"] == cloud.base_url
    assert {**served, "servers": DOCUMENT["servers"]} == DOCUMENT


FOREIGN = "agent, from another site"


@pytest.mark.parametrize("method,path,who,body,status,answer", [
    # A path's 405 lists every method that path serves; batch-read is a call, never a request id.
    ("GET", "/v1/approvals/requests/batch-read", "agent", None, 405, {"allow": "POST"}),
    ("OPTIONS", "/v1/approvals/requests/batch-read", "agent", None, 405, {"allow": "POST"}),
    ("DELETE", "/v1/approvals/requests", "agent", None, 405, {"allow": "GET, HEAD, POST"}),
    ("DELETE", "/v1/approvals/requests/apr_x", "agent", None, 405, {"allow": "GET, HEAD"}),
    # An id is one percent-encoded segment: an encoded slash stays inside it.
    ("GET", "/v1/approvals/requests/a%2Fb", "agent", None, 404, {"message": "approval request a/b not found"}),
    ("GET", "/v1/approvals/requests/a%2Fapprove", "agent", None, 404, {"code": "not_found"}),
    ("POST", "/v1/approvals/requests/a%2Fb/deny", "alice", {}, 404, {"message": "a/b not found"}),
    # A browser's foreign Origin is refused on reads too.
    ("GET", "/v1/approvals/requests", FOREIGN, None, 403, {"code": "forbidden"}),
    ("GET", "/healthz", FOREIGN, None, 403, {"code": "forbidden"}),
    # Empty filters are refused, not taken for absent ones.
    ("GET", "/v1/approvals/requests?status=", "agent", None, 400, {"message": "'status'"}),
    ("GET", "/v1/approvals/requests?limit=", "agent", None, 400, {"message": "'limit'"}),
    # An empty connect token is an unknown token.
    ("POST", "/v1/connect/exchange", "agent", {"token": ""}, 401, {"code": "unauthorized"}),
    ("POST", "/v1/connect/claim", "agent", {"token": "", "public_key_hex": "ab" * 32}, 401, {"code": "unauthorized"}),
    # A number with a zero fraction is that integer; empty names are refused; the TTL bound is exact.
    ("POST", "/v1/approvals/requests", "agent", {"threshold": 1.0, "ttl_seconds": 60.0}, 201,
     {"threshold": 1, "ttl_seconds": 60}),
    ("POST", "/v1/approvals/requests", "agent", {"ttl_seconds": MAX_TTL_SECONDS}, 201, {"ttl_seconds": 316224000}),
    ("POST", "/v1/approvals/requests", "agent", {"ttl_seconds": MAX_TTL_SECONDS + 1}, 400, {"message": "ttl_seconds"}),
    ("POST", "/v1/approvals/requests", "agent", {"warrant_id": ""}, 400, {"message": "warrant_id"}),
    ("POST", "/v1/approvals/requests", "agent", {"tool": ""}, 400, {"message": "tool"}),
    ("POST", "/v1/approvals/requests", "agent", {"threshold": 1.5}, 400, {"message": "threshold"}),
    # Approve and deny take no body at all, and null for absent.
    ("POST", "/v1/approvals/requests/{new}/approve", "bob", None, 200, {"status": "approved"}),
    ("POST", "/v1/approvals/requests/{new}/deny", "bob", {"approver": None, "reason": None}, 200,
     {"status": "denied", "reason": None}),
])
def test_server_keeps_the_documented_rules(cloud, method, path, who, body, status, answer):
    with api_client(cloud) as http:
        if "{new}" in path:
            path = path.format(new=create(http)["id"])
        headers = {"Origin": "http://attacker.example"} if who == FOREIGN else {}
        if who in cloud.approvers:
            headers = cloud.approver_headers(who)
        if path == "/v1/approvals/requests" and method == "POST":
            body = create_body(**body)
        content = None if body is None else json.dumps(body)
        response = http.request(method, path, headers=headers, content=content)
    assert response.status_code == status, response.text
    got = response.json()
    for name, expected in answer.items():
        if name == "allow":
            assert response.headers["allow"] == expected
        elif name == "message":
            assert expected in got["error"]["message"]
        elif name == "code":
            assert got["error"]["code"] == expected
        else:
            assert got[name] == expected


def test_bounded_fuzz_run_finds_nothing_the_document_does_not_allow(cloud):
    result = api_fuzz.run(cloud, max_examples=8, seed=29, timeout=300)
    print(result.table())
    assert result.returncode == 0, result.output[-20000:]
    calls = result.calls_per_operation()
    assert {tuple(label.split(" ", 1)) for label in calls} >= _documented() - {("GET", "/openapi.json")}
    # The links were followed: created requests were approved and denied.
    for operation in ("approve", "deny"):
        assert result.counts.get(f"POST /v1/approvals/requests/{{request_id}}/{operation} 200", 0) > 0
