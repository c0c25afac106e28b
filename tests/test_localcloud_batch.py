"""The local cloud's batch status read, against a real server process on a loopback port."""

from __future__ import annotations

import time

import pytest
from localcloud_helpers import api_client, assert_error, assert_no_tracebacks, create
from zelto_localcloud.testing import LocalCloud

# Every test here runs on SQLite and on PostgreSQL.
pytestmark = pytest.mark.usefixtures("database_backend")

BATCH = "/v1/approvals/requests/batch-read"


@pytest.fixture(scope="module")
def cloud(tmp_path_factory, database_backend):
    with LocalCloud(tmp_path_factory.mktemp("cloud")) as running:
        yield running
        assert_no_tracebacks(running)


@pytest.fixture
def http(cloud):
    with api_client(cloud) as client:
        yield client


def test_answers_what_single_reads_answer_in_the_order_asked(http):
    pending, approved, denied = create(http), create(http), create(http)
    http.post(f"/v1/approvals/requests/{approved['id']}/approve", json={"approver": "alice"})
    http.post(f"/v1/approvals/requests/{denied['id']}/deny", json={"approver": "bob", "reason": "no"})
    ids = [denied["id"], "apr_unknown", pending["id"], approved["id"], denied["id"]]

    answer = http.post(BATCH, json={"ids": ids})

    assert answer.status_code == 200, answer.text
    singles = [http.get(f"/v1/approvals/requests/{i}").json() for i in (denied["id"], pending["id"], approved["id"])]
    assert answer.json() == {"requests": singles}
    assert singles[2]["responses"][0]["signed_approval"]


def test_an_overdue_request_is_read_as_expired(http):
    overdue = create(http, ttl_seconds=0)
    time.sleep(0.01)
    (read,) = http.post(BATCH, json={"ids": [overdue["id"]]}).json()["requests"]
    assert read["status"] == "expired"
    assert http.get(f"/v1/approvals/requests/{overdue['id']}").json() == read


@pytest.mark.parametrize(
    "body",
    [{}, {"ids": []}, {"ids": "apr_1"}, {"ids": [""]}, {"ids": [7]}, {"ids": [f"apr_{n}" for n in range(201)]}],
)
def test_bad_id_lists(http, body):
    assert_error(http.post(BATCH, json=body), 400, "validation_error")


def test_needs_an_api_key(cloud):
    with api_client(cloud) as http:
        http.headers.pop("Authorization")
        assert_error(http.post(BATCH, json={"ids": ["apr_1"]}), 401, "unauthorized")
