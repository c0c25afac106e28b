"""Signed-approval extraction against a pure-Python equivalent, and the
synchronous handler's own overhead with an in-process client that answers at
once (no network, no sleep), with its memory over many calls."""

import base64
import gc
import os
import time
import tracemalloc

import zelto_cloud.approval as approval
from zelto.approval import ApprovalRequest
import zelto.cp_approval
from zelto.cp_approval import ControlPlaneApprovalResponseV1, signed_approvals_from_response
from zelto_cloud.exceptions import ZeltoCloudError
from zelto_core import SignedApproval, SigningKey


def python_extract(result):
    responses = result.get("responses", [])
    if not responses:
        raise ZeltoCloudError("approved request has no approval responses")
    import base64
    import re

    from zelto.cp_approval import ControlPlaneApprovalResponseV1, signed_approvals_from_response

    hex_re = re.compile(r"^[0-9a-fA-F]+$")
    texts = []
    for entry in responses:
        value = entry.get("signed_approval")
        if not value:
            continue
        if hex_re.match(value) and len(value) % 2 == 0:
            try:
                texts.append(base64.b64encode(bytes.fromhex(value)).decode())
                continue
            except (ValueError, TypeError):
                pass
        try:
            base64.b64decode(value, validate=True)
        except Exception:
            raise ZeltoCloudError("malformed signed_approval in cloud response: not valid hex or base64")
        texts.append(value)
    response = ControlPlaneApprovalResponseV1(status="approved", signed_approvals_b64=texts or None)
    approvals = signed_approvals_from_response(response)
    if not approvals:
        raise ZeltoCloudError("approved request has no approval responses")
    return approvals[0] if len(approvals) == 1 else approvals


def per_call(function, argument, calls=2000, rounds=5):
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(calls):
            function(argument)
        best = min(best, (time.perf_counter() - start) / calls)
    return best


class InstantClient:
    def __init__(self, api_key, *, base_url):
        pass

    def create_request(self, **kwargs):
        return {"id": "apr_1"}

    def get_request(self, request_id):
        return RESOLVED

    def close(self):
        pass


HASH = bytes(range(32))
APPROVAL = SignedApproval.create(SigningKey.generate(), HASH, approved_at=1_700_000_000)
RESOLVED = {"status": "approved", "responses": [{"signed_approval": APPROVAL.to_bytes().hex()}]}
REQUEST = ApprovalRequest(tool="transfer", warrant_id="w", arguments={"amount": 1}, request_id="c",
                          holder_key=b"\x01" * 32, request_hash=HASH, args_canonical_cbor_b64="oA==",
                          approval_context_attestation={"v": 1})


def rss_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def main():
    two = SignedApproval.create(SigningKey.generate(), HASH, approved_at=1_700_000_001)
    inputs = {
        "one hex": RESOLVED,
        "two base64": {"status": "approved", "responses": [
            {"signed_approval": base64.b64encode(a.to_bytes()).decode()} for a in (APPROVAL, two)]},
    }
    for label, result in inputs.items():
        assert approval._extract_signed_approvals(result) == python_extract(result)
        native = per_call(approval._extract_signed_approvals, result)
        python = per_call(python_extract, result)
        decode_only = per_call(lambda r: signed_approvals_from_response(ControlPlaneApprovalResponseV1(
            status="approved", signed_approvals_b64=[base64.b64encode(a.to_bytes()).decode() for a in [APPROVAL]])), None)
        print(f"extract ({label}): native {native * 1e6:6.2f} us, pure Python {python * 1e6:6.2f} us, "
              f"ratio {python / native:4.2f}x (the SDK decoder alone: {decode_only * 1e6:6.2f} us per approval)")

    approval.ZeltoCloudClient = InstantClient
    handler = approval.cloud_approval("key", poll_interval=0.0)
    assert handler(REQUEST) == APPROVAL
    overhead = per_call(handler, REQUEST, calls=2000)
    print(f"handler overhead per call (instant client): {overhead * 1e6:6.2f} us")

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
