"""zelto_cloud.approval against its Python twin (tests/twins/approval.py), pair by
pair in CPU time (pairs.py): the signed-approval extraction beside the SDK
decoder alone (the floor: the native cost above it at most the twin's), the
synchronous handler and one attempt of the Temporal handler, each with an
in-process client that answers at once (no network, no sleep); then the
synchronous handler's memory over many calls."""

import base64
import gc
import logging
import os
import tracemalloc

from pairs import pair, report, us
import tests_on_path  # noqa: F401
from twins import approval as twin

import zelto_cloud.approval as approval
from zelto.approval import ApprovalRequest
from zelto.cp_approval import ControlPlaneApprovalResponseV1, signed_approvals_from_response
from zelto_core import SignedApproval, SigningKey


class InstantClient:
    def __init__(self, api_key, *, base_url, timeout=None):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def create_request(self, **kwargs):
        return CREATED

    def get_request(self, request_id):
        return RESOLVED

    def close(self):
        pass


HASH = bytes(range(32))
APPROVAL = SignedApproval.create(SigningKey.generate(), HASH, approved_at=1_700_000_000)
RESOLVED = {"status": "approved", "responses": [{"signed_approval": APPROVAL.to_bytes().hex()}]}
# Already approved when created: one Temporal attempt returns without a poll.
CREATED = {"id": "apr_1", "status": "approved",
           "responses": [{"signed_approval": base64.b64encode(APPROVAL.to_bytes()).decode()}]}
REQUEST = ApprovalRequest(tool="transfer", warrant_id="w", arguments={"amount": 1}, request_id="c",
                          holder_key=b"\x01" * 32, request_hash=HASH, args_canonical_cbor_b64="oA==",
                          approval_context_attestation={"v": 1})


def rss_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def calls(function, argument):
    return lambda n: [function(argument) for _ in range(n)]


def main():
    logging.getLogger("zelto_cloud.approval").setLevel(logging.WARNING)
    two = SignedApproval.create(SigningKey.generate(), HASH, approved_at=1_700_000_001)
    inputs = {
        "one hex": (RESOLVED, [APPROVAL]),
        "two base64": ({"status": "approved", "responses": [
            {"signed_approval": base64.b64encode(a.to_bytes()).decode()} for a in (APPROVAL, two)]},
            [APPROVAL, two]),
    }
    for label, (result, approvals) in inputs.items():
        assert approval._extract_signed_approvals(result) == twin._extract_signed_approvals(result)
        texts = [base64.b64encode(a.to_bytes()).decode() for a in approvals]
        floor = calls(lambda _: signed_approvals_from_response(
            ControlPlaneApprovalResponseV1(status="approved", signed_approvals_b64=texts)), None)
        native, floor_time, _ = pair(calls(approval._extract_signed_approvals, result), floor, 1000)
        native, python, ratio = pair(calls(approval._extract_signed_approvals, result),
                                     calls(twin._extract_signed_approvals, result), 1000)
        report(f"extraction ({label})", native, python, ratio, "twin/native >= 1")
        print(f"{'':<44} SDK decoder alone {us(floor_time)}; above it: native {us(native - floor_time)}, "
              f"twin {us(python - floor_time)} (target: native <= twin)")

    for module in (approval, twin):
        module.ZeltoCloudClient = InstantClient
    handlers = [module.cloud_approval("key", poll_interval=0.0) for module in (approval, twin)]
    assert handlers[0](REQUEST) == handlers[1](REQUEST) == APPROVAL
    report("synchronous handler, instant client",
           *pair(calls(handlers[0], REQUEST), calls(handlers[1], REQUEST), 1000), "twin/native >= 1")

    holder = SigningKey.generate()
    temporal = [module.temporal_cloud_approval("key", holder) for module in (approval, twin)]
    assert temporal[0](REQUEST) == temporal[1](REQUEST) == APPROVAL
    report("Temporal handler, one attempt",
           *pair(calls(temporal[0], REQUEST), calls(temporal[1], REQUEST), 500), "twin/native >= 1")

    handler = handlers[0]
    for _ in range(1000):
        handler(REQUEST)
    gc.collect()
    tracemalloc.start()
    before_traced = tracemalloc.get_traced_memory()[0]
    before_rss = rss_kib()
    for _ in range(10_000):
        handler(REQUEST)
    gc.collect()
    after_traced = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    print(f"10,000 handler calls: traced memory {before_traced} -> {after_traced} bytes, "
          f"RSS {before_rss} -> {rss_kib()} KiB")


if __name__ == "__main__":
    main()
