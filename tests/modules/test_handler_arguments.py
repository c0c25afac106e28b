"""Wrong arguments and environments given to the handler factories.

Every value in the table hangs, misbehaves silently, or fails somewhere
unhelpful unless it is refused. Each must be refused with a ValueError or
TypeError that names the argument (or the environment variable), either when
the handler is made or, for the sync and async handlers, which check nothing
when made, at their first call, and in both cases before any approval
request reaches the cloud.
"""

from __future__ import annotations

import asyncio
import math
import types
from dataclasses import dataclass
from decimal import Decimal

import pytest
from cloud_stub_server import Reply, StubCloud, request_object
from zelto_core import SigningKey, py_build_approval_context_attestation

from zelto_cloud import approval, langgraph, temporal

CREATE_PATH = "/v1/approvals/requests"
HOLDER = SigningKey.generate()
CONSTRUCTION, FIRST_USE = "construction", "first use"


def gate_request() -> types.SimpleNamespace:
    """A gate request that carries its attestation, so no signing key is needed to send it."""
    args_b64, attestation = py_build_approval_context_attestation(HOLDER, "w-1", "transfer", {"a": 1},
                                                                  HOLDER.public_key)
    return types.SimpleNamespace(
        tool="transfer", warrant_id="w-1", arguments={"a": 1}, request_id="req-1",
        holder_key=HOLDER.public_key.to_bytes(), request_hash=bytes.fromhex(attestation["request_hash"]),
        args_canonical_cbor_b64=args_b64, approval_context_attestation=dict(attestation),
    )


def _make(kind: str, options: dict, base_url):
    """The handler of ``kind`` made with ``options``, and a call of it (the plugin has no call)."""
    if kind == "plugin":
        temporal.ZeltoPluginConfig.from_env(**options)
        return lambda: None
    api_key = options.pop("api_key", "zelto_lk_test")
    if kind == "temporal":
        options = {"signing_key": HOLDER, "fast_poll_attempts": 1, **options}
        handler = approval.temporal_cloud_approval(api_key, base_url=base_url, **options)
        return lambda: handler(gate_request())
    factory = {"sync": approval.cloud_approval, "async": approval.async_cloud_approval,
               "langgraph": langgraph.langgraph_cloud_approval}[kind]
    handler = factory(api_key, base_url=base_url, **options)
    if kind == "sync":
        return lambda: handler(gate_request())
    return lambda: asyncio.run(handler(gate_request()))


NAN, NOT_A_KEY = math.nan, object()
_SECONDS = [NAN, "3", b"3", [3], None, NOT_A_KEY]
_INTERVALS = [NAN, -1, -0.001, "2", None, NOT_A_KEY, Decimal(1)]  # a Decimal converts to float, yet no sleep takes it
_KEYS = ["ab" * 32, b"\x01" * 32, 42, HOLDER.public_key, NOT_A_KEY]
_API_KEYS = [None, "", 42, "with space"]
_BASE_URLS = [None, "", "ftp://cloud", "not a url", 42]

# (factory, argument or variable, value, where it is refused)
CASES = [
    *[(kind, "timeout", value, FIRST_USE) for kind in ("sync", "async") for value in _SECONDS],
    *[(kind, "poll_interval", value, FIRST_USE) for kind in ("sync", "async") for value in _INTERVALS],
    *[(kind, "signing_key", value, FIRST_USE) for kind in ("sync", "async") for value in _KEYS],
    *[(kind, "api_key", value, FIRST_USE) for kind in ("sync", "async", "langgraph", "temporal")
      for value in _API_KEYS],
    *[(kind, "base_url", value, FIRST_USE) for kind in ("sync", "async", "langgraph", "temporal")
      for value in _BASE_URLS],
    *[("langgraph", "timeout", value, CONSTRUCTION) for value in _SECONDS if value is not None],
    *[("langgraph", "poll_interval", value, CONSTRUCTION) for value in _INTERVALS],
    *[("langgraph", "signing_key", value, CONSTRUCTION) for value in _KEYS],
    *[("langgraph", "dashboard_url", value, CONSTRUCTION) for value in (42, b"https://x", ["x"])],
    *[("langgraph", "ZELTO_APPROVAL_TIMEOUT", value, CONSTRUCTION) for value in ("nan", "NaN", "abc", "", "5s")],
    *[("temporal", "signing_key", value, CONSTRUCTION) for value in [*_KEYS, None]],
    *[("temporal", "fast_poll_seconds", value, CONSTRUCTION) for value in _INTERVALS],
    *[("temporal", "fast_poll_attempts", value, CONSTRUCTION) for value in ("3", 2.5, None, NAN, NOT_A_KEY)],
    *[("plugin", "ZELTO_SIGNING_KEY", value, CONSTRUCTION) for value in ("zz", "abc=", "00" * 16, "not a key")],
    *[("plugin", "ZELTO_ISSUER_KEY", value, CONSTRUCTION) for value in ("zz", "00" * 31)],
    *[("plugin", "ZELTO_DASHBOARD_ROOT_KEY", value, CONSTRUCTION) for value in ("zz", "00" * 16, "ab" * 33)],
]


@dataclass
class Outcome:
    where: str  # CONSTRUCTION, FIRST_USE, "after a create", or "accepted"
    error: BaseException | None
    creates: int

    def clear(self, name: str) -> bool:
        return isinstance(self.error, (ValueError, TypeError)) and name in str(self.error)


def _stub() -> StubCloud:
    stub = StubCloud()
    stub.reply("POST", CREATE_PATH, 201, request_object("apr_1", "pending"))
    # Refused at the first poll, so that a value that is not refused ends at once.
    stub.on("GET", CREATE_PATH + "/apr_1", lambda _: Reply(200, request_object("apr_1", "denied")))
    return stub


def attempt(kind: str, name: str, value) -> Outcome:
    """Makes the handler with the one wrong value (an upper-case name is an environment
    variable, set by the caller) and calls it once against a stub cloud."""
    with _stub() as stub:
        options = {} if name.isupper() or name == "base_url" else {name: value}
        try:
            run = _make(kind, options, value if name == "base_url" else stub.base_url)
        except Exception as error:  # noqa: BLE001 - the outcome is what is measured
            return Outcome(CONSTRUCTION, error, 0)
        try:
            run()
            error = None
        except Exception as caught:  # noqa: BLE001
            error = caught
        creates = sum(1 for seen in stub.requests if (seen.method, seen.path) == ("POST", CREATE_PATH))
        if creates:
            return Outcome("after a create", error, creates)
        if error is None or type(error).__name__ in ("ApprovalDenied", "ApplicationError"):
            return Outcome("accepted", error, 0)
        return Outcome(FIRST_USE, error, 0)


def tally(outcomes: list[tuple[str, Outcome]]) -> dict[str, int]:
    counts = {"clear at construction": 0, "clear at first use": 0, "unclear": 0, "after a create": 0,
              "silently accepted": 0}
    for name, outcome in outcomes:
        if outcome.where == "accepted":
            counts["silently accepted"] += 1
        elif outcome.where == "after a create":
            counts["after a create"] += 1
        elif not outcome.clear(name):
            counts["unclear"] += 1
        else:
            counts[f"clear at {outcome.where}"] += 1
    return counts


@pytest.mark.parametrize(("kind", "name", "value", "where"), CASES,
                         ids=[f"{k}-{n}-{v!r:.20}" for k, n, v, _ in CASES])
def test_wrong_values_are_refused_clearly_before_any_request(kind, name, value, where, monkeypatch):
    for variable in ("ZELTO_API_KEY", "ZELTO_APPROVAL_TIMEOUT", "ZELTO_SIGNING_KEY", "ZELTO_ISSUER_KEY",
                     "ZELTO_DASHBOARD_ROOT_KEY", "ZELTO_CONNECT_TOKEN"):
        monkeypatch.delenv(variable, raising=False)
    if name.isupper():
        monkeypatch.setenv(name, value)
    outcome = attempt(kind, name, value)
    assert outcome.creates == 0
    assert (outcome.where, outcome.clear(name)) == (where, True), repr(outcome.error)
    if name.isupper() and value.strip().lower() != "nan":
        assert outcome.error.__cause__ is not None  # the parser's own error stays attached
