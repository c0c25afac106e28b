"""The approval request payload builder: the native module against its
Python twin (tests/twins/morvel.py), in CPU time, same requests, equal payloads, timed in
one run; then a memory check over 100,000 builds.

Two requests: one that already carries canonical arguments and an attestation
(no core call, the key scope is consulted), and one that the core stand-in
attests with an explicit signing key.
"""

from __future__ import annotations

import contextlib
import gc
import os
import time
import tracemalloc
import types

import zelto_core
from zelto_core import SigningKey, approval_request_hash, py_build_approval_context_attestation

import tests_on_path  # noqa: F401
from twins.morvel import build_approval_request_payload as py_build_approval_request_payload

from zelto_cloud.morvel import build_approval_request_payload

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
    start = time.process_time()  # CPU time of this process: waiting for a core does not count
    for _ in range(calls):
        build(request, **kwargs)
    return time.process_time() - start


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
    print(f"{indent}Python twin: {python_time * 1e6:9.2f} us")
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
