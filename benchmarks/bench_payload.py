"""The approval request payload builder: the native module against a
straightforward pure-Python builder, same requests, equal payloads, timed in
one run; then a memory check over 100,000 builds.

Two requests: one that already carries canonical arguments and an attestation
(no core call, the key scope is consulted), and one that the core stand-in
attests with an explicit signing key.
"""

from __future__ import annotations

import contextlib
import gc
import logging
import os
import time
import tracemalloc
import types
from dataclasses import dataclass
from typing import Any, Dict, List, Optional

import zelto_core
from zelto_core import SigningKey, approval_request_hash, py_build_approval_context_attestation

from zelto_cloud.exceptions import ZeltoCloudError
from zelto_cloud.morvel import build_approval_request_payload

# ---- the pure-Python builder ---------------------------------------------------------

logger = logging.getLogger("bench.payload")


@dataclass
class PyApprovalRequestPayload:
    """Fully populated body for ``POST /v1/approvals/requests``."""

    warrant_id: str
    tool: str
    request_hash: bytes
    holder_key: bytes
    args_canonical_cbor_b64: str
    approval_context_attestation: Dict[str, Any]
    metadata: Optional[Dict[str, Any]] = None
    policy_id: Optional[str] = None
    threshold: Optional[int] = None
    approver_keys: Optional[List[str]] = None
    ttl_seconds: Optional[int] = None
    idempotency_key: Optional[str] = None

    def to_create_request_kwargs(self) -> Dict[str, Any]:
        kwargs: Dict[str, Any] = {
            "warrant_id": self.warrant_id,
            "tool": self.tool,
            "request_hash": self.request_hash,
            "holder_key": self.holder_key,
            "args_canonical_cbor_b64": self.args_canonical_cbor_b64,
            "approval_context_attestation": self.approval_context_attestation,
        }
        if self.metadata is not None:
            kwargs["metadata"] = self.metadata
        if self.policy_id:
            kwargs["policy_id"] = self.policy_id
        if self.threshold is not None:
            kwargs["threshold"] = self.threshold
        if self.approver_keys is not None:
            kwargs["approver_keys"] = self.approver_keys
        if self.ttl_seconds is not None:
            kwargs["ttl_seconds"] = self.ttl_seconds
        if self.idempotency_key:
            kwargs["idempotency_key"] = self.idempotency_key
        return kwargs


def _resolve_holder_key(request: Any) -> bytes:
    value = getattr(request, "holder_key", None)
    if value is None:
        return b""
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    if isinstance(value, str):
        return bytes.fromhex(value)
    to_bytes = getattr(value, "to_bytes", None)
    if callable(to_bytes):
        return bytes(to_bytes())
    return b""


def _resolve_signing_key(explicit: Any = None) -> Any:
    if explicit is not None:
        return explicit
    try:
        from zelto.decorators import key_scope

        return key_scope()
    except ImportError:
        return None
    except Exception as exc:
        logger.debug("key_scope unavailable: %s", exc)
        return None


def _normalize_request_hash(value: Any) -> bytes:
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    if isinstance(value, str):
        return bytes.fromhex(value)
    raise ZeltoCloudError("request.request_hash must be bytes or hex string")


def _extract_policy_id(request: Any, override: Optional[str] = None) -> Optional[str]:
    if override:
        return override
    for name in ("policy_id", "policy_ref"):
        value = getattr(request, name, None)
        if isinstance(value, str) and value:
            return value
    return None


def _extract_inline_rules(request: Any) -> tuple[Optional[List[str]], Optional[int], Optional[int]]:
    approvers = getattr(request, "required_approvers", None)
    approver_keys = None
    if approvers:
        approver_keys = []
        for approver in approvers:
            if isinstance(approver, (bytes, bytearray)):
                approver_keys.append(approver.hex())
            elif type(approver) is str:
                approver_keys.append(approver)
            else:
                approver_keys.append(str(approver))
    threshold = getattr(request, "min_approvals", None)
    ttl = getattr(request, "ttl_seconds", None)
    if ttl is None:
        gate_ttl = getattr(request, "gate_ttl", None)
        if gate_ttl is not None:
            ttl = int(gate_ttl)
    return approver_keys, threshold, ttl


def _build_attestation_fields(
    request: Any, *, signing_key: Any, holder_key: bytes
) -> tuple[str, Dict[str, Any], bytes]:
    from zelto_core import py_build_approval_context_attestation

    holder_public_key = signing_key.public_key
    args_b64, raw = py_build_approval_context_attestation(
        signing_key, request.warrant_id, request.tool, request.arguments, holder_public_key
    )
    attestation = dict(raw)
    request_hash = _normalize_request_hash(getattr(request, "request_hash", b""))
    attested = attestation.get("request_hash")
    if attested:
        try:
            request_hash = bytes.fromhex(str(attested))
        except (ValueError, TypeError):
            pass
    return args_b64, attestation, request_hash


def py_build_approval_request_payload(
    request: Any, *, signing_key: Any = None, policy_id: Optional[str] = None, idempotency_key: Optional[str] = None
) -> PyApprovalRequestPayload:
    holder_key = _resolve_holder_key(request)
    if not holder_key:
        raise ZeltoCloudError(
            "request.holder_key is required for cloud approval - ensure the warrant is bound before enforcement"
        )
    args_b64 = getattr(request, "args_canonical_cbor_b64", "") or ""
    raw = getattr(request, "approval_context_attestation", None)
    attestation = dict(raw) if raw else {}
    key = _resolve_signing_key(signing_key)
    request_hash = b""
    if getattr(request, "request_hash", None) is not None:
        request_hash = _normalize_request_hash(request.request_hash)
    if (not args_b64 or not attestation) and key is not None:
        args_b64, attestation, request_hash = _build_attestation_fields(request, signing_key=key, holder_key=holder_key)
    elif not args_b64 or not attestation:
        raise ZeltoCloudError(
            "approval attestation required - pass signing_key= to cloud_approval() or ensure the warrant is "
            "bound so key_scope() resolves the holder key"
        )
    if not request_hash:
        attested = attestation.get("request_hash")
        if not attested:
            raise ZeltoCloudError("request_hash could not be resolved for approval request")
        request_hash = bytes.fromhex(str(attested))
    approver_keys, threshold, ttl_seconds = _extract_inline_rules(request)
    policy = _extract_policy_id(request, policy_id)
    arguments = getattr(request, "arguments", None)
    metadata = arguments if isinstance(arguments, dict) else None
    return PyApprovalRequestPayload(
        warrant_id=str(getattr(request, "warrant_id", "")),
        tool=str(getattr(request, "tool", "")),
        request_hash=request_hash,
        holder_key=holder_key,
        args_canonical_cbor_b64=args_b64,
        approval_context_attestation=attestation,
        metadata=metadata,
        policy_id=policy,
        threshold=threshold,
        approver_keys=approver_keys,
        ttl_seconds=ttl_seconds,
        idempotency_key=idempotency_key or getattr(request, "idempotency_key", None),
    )


# ---- inputs ----------------------------------------------------------------------------

FIELDS = ["warrant_id", "tool", "request_hash", "holder_key", "args_canonical_cbor_b64",
          "approval_context_attestation", "metadata", "policy_id", "threshold", "approver_keys",
          "ttl_seconds", "idempotency_key"]

HOLDER = SigningKey.from_bytes(bytes(range(32)))
APPROVER = SigningKey.from_bytes(bytes(range(32, 64)))
ARGS = {"amount": 10, "to": "bob", "memo": "invoice 42"}


def carried_request() -> types.SimpleNamespace:
    """Carries canonical arguments and an attestation: no core call."""
    args_b64, attestation = py_build_approval_context_attestation(HOLDER, "w-1", "transfer_funds", ARGS,
                                                                  HOLDER.public_key)
    return types.SimpleNamespace(
        tool="transfer_funds", warrant_id="w-1", arguments=dict(ARGS), request_id="req_1",
        holder_key=HOLDER.public_key.to_bytes(), request_hash=approval_request_hash("w-1", "transfer_funds", ARGS,
                                                                                    HOLDER.public_key),
        args_canonical_cbor_b64=args_b64, approval_context_attestation=attestation,
        required_approvers=[APPROVER.public_key.to_bytes()], min_approvals=1, ttl_seconds=None, gate_ttl="300",
        policy_id=None, policy_ref="pol-7", idempotency_key="idem-1")


def attested_request() -> types.SimpleNamespace:
    """Carries neither: the core stand-in attests it with the explicit key."""
    return types.SimpleNamespace(
        tool="transfer_funds", warrant_id="w-1", arguments=dict(ARGS), request_id="req_2",
        holder_key=HOLDER.public_key.to_bytes(),
        required_approvers=[APPROVER.public_key.to_bytes()], min_approvals=1, ttl_seconds=60)


CASES = [
    ("carried attestation, key_scope consulted", carried_request(), {}, 20_000),
    ("attested by the core, explicit key", attested_request(), {"signing_key": HOLDER}, 2_000),
]


# ---- measurement -----------------------------------------------------------------------


def _round(build, request, kwargs: dict, calls: int) -> float:
    start = time.perf_counter()
    for _ in range(calls):
        build(request, **kwargs)
    return time.perf_counter() - start


def best_per_call(builds, request, kwargs: dict, calls: int, rounds: int = 7) -> list[float]:
    """Best round of each build, per call; the rounds of the builds alternate."""
    best = [float("inf")] * len(builds)
    for _ in range(rounds):
        for index, build in enumerate(builds):
            best[index] = min(best[index], _round(build, request, kwargs, calls))
    return [value / calls for value in best]


def check_equal(request, kwargs: dict) -> None:
    native = build_approval_request_payload(request, **kwargs)
    python = py_build_approval_request_payload(request, **kwargs)
    assert native.to_create_request_kwargs() == python.to_create_request_kwargs(), "keyword arguments differ"
    assert list(native.to_create_request_kwargs()) == list(python.to_create_request_kwargs()), "key order differs"
    for name in FIELDS:
        assert getattr(native, name) == getattr(python, name), f"field {name} differs"


@contextlib.contextmanager
def precomputed_core():
    """The core's attestation builder replaced by its precomputed result, to time the builders alone."""
    result = py_build_approval_context_attestation(HOLDER, "w-1", "transfer_funds", ARGS, HOLDER.public_key)
    real = zelto_core.py_build_approval_context_attestation
    zelto_core.py_build_approval_context_attestation = lambda *args: result
    try:
        yield
    finally:
        zelto_core.py_build_approval_context_attestation = real


def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_check(label: str, request, kwargs: dict, count: int) -> None:
    for _ in range(1_000):
        build_approval_request_payload(request, **kwargs).to_create_request_kwargs()
    gc.collect()
    rss_before = rss_bytes()
    for _ in range(count):
        build_approval_request_payload(request, **kwargs).to_create_request_kwargs()
    gc.collect()
    rss_after = rss_bytes()

    tracemalloc.start()
    try:
        for _ in range(1_000):
            build_approval_request_payload(request, **kwargs).to_create_request_kwargs()
        gc.collect()
        traced_before = tracemalloc.get_traced_memory()[0]
        for _ in range(count):
            build_approval_request_payload(request, **kwargs).to_create_request_kwargs()
        gc.collect()
        traced_after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    print(f"  {label}, {count:,} builds:")
    print(f"    tracemalloc current: {traced_before:>10,} -> {traced_after:>10,} bytes "
          f"({traced_after - traced_before:+,})")
    print(f"    RSS:                 {rss_before:>10,} -> {rss_after:>10,} bytes ({rss_after - rss_before:+,})")


def report(python_time: float, native_time: float, indent: str = "    ") -> None:
    print(f"{indent}pure Python: {python_time * 1e6:9.2f} us")
    print(f"{indent}native:      {native_time * 1e6:9.2f} us")
    print(f"{indent}ratio:       {python_time / native_time:9.2f}x faster (target: 3x)")


def main() -> None:
    builds = [py_build_approval_request_payload, build_approval_request_payload]
    print("per call, best of 7 alternating rounds")
    for label, request, kwargs, calls in CASES:
        check_equal(request, kwargs)
        print(f"  {label} ({calls:,} calls per round):")
        report(*best_per_call(builds, request, kwargs, calls))
        if "signing_key" in kwargs:
            with precomputed_core():
                check_equal(request, kwargs)
                print("    with the core's cost removed (its result precomputed):")
                report(*best_per_call(builds, request, kwargs, 20_000), indent="      ")
    payloads = [build(CASES[0][1]) for build in builds]
    python_kwargs, native_kwargs = (
        best_per_call([type(p).to_create_request_kwargs], p, {}, 20_000)[0] for p in payloads)
    print(f"  to_create_request_kwargs: pure Python {python_kwargs * 1e6:.2f} us, native {native_kwargs * 1e6:.2f} us "
          f"({python_kwargs / native_kwargs:.2f}x)")
    print("memory")
    memory_check(CASES[0][0], CASES[0][1], CASES[0][2], 100_000)
    memory_check(CASES[1][0], CASES[1][1], CASES[1][2], 20_000)


if __name__ == "__main__":
    main()
