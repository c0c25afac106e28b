"""The cloud receipt sink, through the real client and a loopback server."""

from __future__ import annotations

from dataclasses import dataclass

import pytest
from cloud_stub_server import StubCloud, error_body
from zelto.control_plane import ControlPlaneClient
from zelto_core import SigningKey

from zelto_cloud.client import ZeltoCloudClient
from zelto_cloud.exceptions import ZeltoCloudError
from zelto_cloud.providers import CloudReceiptSink


@dataclass
class Receipt:
    tool: str
    allowed: bool
    signature: bytes
    signer: object


class WithToDict:
    def to_dict(self):
        return {"tool": "t", "nested": (1, 2.5, None)}


@pytest.fixture
def cloud():
    with StubCloud() as stub:
        stub.reply("POST", "/v1/receipts", 202, {"id": "rcpt_1"})
        yield stub


@pytest.fixture
def sink(cloud):
    receipt_sink = CloudReceiptSink(ZeltoCloudClient("zk_test", base_url=cloud.base_url))
    yield receipt_sink
    receipt_sink.close()


class TestCloudReceiptSink:
    def test_receipt_kinds_are_sent_as_json(self, cloud, sink):
        key = SigningKey.from_bytes(b"\x07" * 32)
        assert sink.emit({"tool": "t", "count": 2}) == "rcpt_1"
        sink(Receipt("transfer", True, b"\x01\x02", key.public_key))
        sink.emit(WithToDict())

        sent = [request.json()["receipt"] for request in cloud.requests]
        assert sent[0] == {"tool": "t", "count": 2}
        assert sent[1] == {"tool": "transfer", "allowed": True, "signature": "0102", "signer": key.public_key.hex()}
        assert sent[2] == {"tool": "t", "nested": [1, 2.5, None]}

    @pytest.mark.parametrize("receipt", [object(), ["not", "a", "mapping"], {"when": float("nan")}, {"x": {1, 2}}])
    def test_unsendable_receipts_are_refused_before_sending(self, cloud, sink, receipt):
        with pytest.raises((TypeError, ValueError)):
            sink.emit(receipt)
        assert cloud.requests == []

    def test_cloud_refusal_is_raised(self, cloud, sink):
        cloud.reply("POST", "/v1/receipts", 413, error_body("payload_too_large", "body over 1 MiB"))
        with pytest.raises(ZeltoCloudError) as caught:
            sink.emit({"tool": "t"})
        assert caught.value.status_code == 413

    def test_needs_a_client(self):
        with pytest.raises(TypeError):
            CloudReceiptSink("https://api.zelto.cloud")


class TestControlPlaneHandOff:
    def test_receipts_reach_the_cloud_through_the_control_plane(self, cloud, sink):
        control_plane = ControlPlaneClient(
            url=cloud.base_url,
            api_key="zk_test",
            authorizer_name="temporal-worker",
            signing_key=SigningKey.generate(),
            receipt_sink=sink,
        )
        assert control_plane.emit_receipt({"tool": "t"}) == "rcpt_1"
        assert cloud.requests[0].json() == {"receipt": {"tool": "t"}}
        assert "zk_test" not in repr(control_plane)

    def test_without_a_sink_receipts_are_dropped(self):
        control_plane = ControlPlaneClient(url="u", api_key="k", authorizer_name="a", signing_key=None)
        assert control_plane.emit_receipt({"tool": "t"}) is None
