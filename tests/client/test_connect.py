"""The connect-token bootstrap against a real HTTP server on a loopback port."""

from __future__ import annotations

import os

import pytest
from cloud_stub_server import StubCloud, error_body, request_object

from zelto_cloud.connect import connect
from zelto_cloud.exceptions import ZeltoCloudError

TOKEN = "zelto_ct_abcdef0123456789"
PUBLIC_KEY_HEX = "ab" * 32
SETTINGS = {"ZELTO_API_KEY": "zk_from_cloud", "ZELTO_CONTROL_PLANE_URL": "http://127.0.0.1:9"}


@pytest.fixture
def cloud(monkeypatch):
    with StubCloud() as stub:
        stub.reply("POST", "/v1/connect/exchange", 200, {"agent_id": "agt_1", "settings": SETTINGS})
        stub.reply("POST", "/v1/connect/claim", 200, {"agent_id": "agt_1", "status": "active"})
        monkeypatch.setenv("ZELTO_CONNECT_TOKEN", TOKEN)
        monkeypatch.setenv("ZELTO_CONTROL_PLANE_URL", stub.base_url)
        # Empty counts as unset; setenv makes monkeypatch restore the variable afterwards.
        monkeypatch.setenv("ZELTO_API_KEY", "")
        yield stub


class TestExchangeAndClaim:
    def test_first_connect_claims_and_applies_settings(self, cloud):
        connection = connect(public_key_hex=PUBLIC_KEY_HEX, claim=True, apply_env=True)

        exchange, claim = cloud.requests
        assert exchange.json() == {"token": TOKEN}
        assert claim.json() == {"token": TOKEN, "public_key_hex": PUBLIC_KEY_HEX}
        assert "authorization" not in exchange.headers
        assert (connection.agent_id, connection.claimed, connection.already_active) == ("agt_1", True, False)
        # The operator's own ZELTO_CONTROL_PLANE_URL stays; the missing API key is filled in.
        assert connection.applied == ["ZELTO_API_KEY"]
        assert os.environ["ZELTO_API_KEY"] == "zk_from_cloud"
        assert os.environ["ZELTO_CONTROL_PLANE_URL"] == cloud.base_url
        connection.close()

    def test_repeated_claim_counts_as_active(self, cloud):
        cloud.reply("POST", "/v1/connect/claim", 409, error_body("already_claimed", "agent agt_1 is already active"))
        connection = connect(public_key_hex=PUBLIC_KEY_HEX, apply_env=False)
        assert connection.active and connection.already_active and not connection.claimed

    def test_claim_skipped_without_key_or_when_not_asked(self, cloud):
        connect(public_key_hex=None, apply_env=False)
        connect(public_key_hex=PUBLIC_KEY_HEX, claim=False, apply_env=False)
        assert [r.path for r in cloud.requests] == ["/v1/connect/exchange"] * 2

    def test_only_zelto_settings_reach_the_environment(self, cloud, monkeypatch):
        monkeypatch.setenv("ZELTO_EXTRA", "")
        cloud.reply("POST", "/v1/connect/exchange", 200, {"agent_id": "agt_1", "settings": {"PATH": "/evil", "ZELTO_EXTRA": "1"}})
        path = os.environ.get("PATH")
        connection = connect(public_key_hex=None)
        assert connection.applied == ["ZELTO_EXTRA"] and os.environ.get("PATH") == path

    def test_client_uses_the_new_api_key(self, cloud):
        cloud.reply("GET", "/v1/approvals/requests/apr_1", 200, request_object())
        connection = connect(public_key_hex=None, apply_env=False)
        assert connection.client.get_request("apr_1")["status"] == "pending"
        assert cloud.requests[-1].headers["authorization"] == "Bearer zk_from_cloud"
        connection.close()
        connection.close()
        assert TOKEN not in repr(connection) and "zk_from_cloud" not in repr(connection)


class TestFailures:
    def test_no_token(self, cloud, monkeypatch):
        monkeypatch.delenv("ZELTO_CONNECT_TOKEN")
        with pytest.raises(ZeltoCloudError, match="ZELTO_CONNECT_TOKEN"):
            connect(public_key_hex=PUBLIC_KEY_HEX)
        assert cloud.requests == []

    def test_refused_token_applies_nothing(self, cloud):
        cloud.reply("POST", "/v1/connect/exchange", 401, error_body("unauthorized", f"unknown token {TOKEN}"))
        with pytest.raises(ZeltoCloudError) as caught:
            connect(public_key_hex=PUBLIC_KEY_HEX)
        assert caught.value.status_code == 401 and TOKEN not in str(caught.value)
        assert os.environ["ZELTO_API_KEY"] == ""

    @pytest.mark.parametrize(("status", "code"), [(403, "forbidden"), (409, "claimed_by_another_key")])
    def test_failed_claim_applies_nothing(self, cloud, status, code):
        # Another worker key holding the agent is a failure, not "already active".
        cloud.reply("POST", "/v1/connect/claim", status, error_body(code, "claimed by another key"))
        with pytest.raises(ZeltoCloudError) as caught:
            connect(public_key_hex=PUBLIC_KEY_HEX)
        assert caught.value.status_code == status
        assert os.environ["ZELTO_API_KEY"] == ""

    @pytest.mark.parametrize("settings", [["ZELTO_API_KEY"], {"ZELTO_API_KEY": 5}])
    def test_malformed_exchange(self, cloud, settings):
        cloud.reply("POST", "/v1/connect/exchange", 200, {"agent_id": "agt_1", "settings": settings})
        with pytest.raises(ZeltoCloudError, match="malformed"):
            connect(public_key_hex=PUBLIC_KEY_HEX)

    @pytest.mark.parametrize("key", ["xyz", "ab" * 31, b"\xab" * 32])
    def test_bad_public_key(self, cloud, key):
        with pytest.raises(ValueError):
            connect(public_key_hex=key)
        assert cloud.requests == []
