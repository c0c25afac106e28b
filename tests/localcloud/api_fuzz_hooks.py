"""Schemathesis hooks for fuzzing the local cloud's API (loaded through SCHEMATHESIS_HOOKS).

The cloud under test is named by the environment that api_fuzz.run() sets:
ZELTO_FUZZ_API_KEY (an agent key), ZELTO_FUZZ_APPROVERS (JSON name ->
password), ZELTO_FUZZ_CONNECT_TOKENS (JSON list) and ZELTO_FUZZ_COUNTS (where
the calls per operation and status are written at exit).

- Credentials are chosen per operation, never cached across operations: the
  agent key for creates and receipts, an approver's Basic credential for
  approvals and denials, and the two in turn where either is taken.
- A create whose body was generated as valid is signed for real: its warrant,
  tool and metadata are kept, and the arguments, request hash and holder's
  attestation are made by the SDK's own functions, so the cloud accepts it
  and the stateful phase can follow it to reads, approvals and denials.
- Valid connect calls carry one of a few real connect tokens, so that
  exchanges and claims succeed (and claims then conflict).
- Generated list cursors are dropped from valid cases: a cursor is opaque and
  only one that the cloud handed out is valid.
"""

from __future__ import annotations

import atexit
import base64
import collections
import itertools
import json
import os
import threading

import schemathesis
from schemathesis.core.parameters import ParameterLocation
from zelto_core import SigningKey, py_build_approval_context_attestation

REQUESTS_PATH = "/v1/approvals/requests"
AGENT_ONLY = {("POST", REQUESTS_PATH), ("POST", "/v1/receipts")}
CONNECT_PATHS = {"/v1/connect/exchange", "/v1/connect/claim"}
APPROVER_ONLY = {("POST", REQUESTS_PATH + "/{request_id}/approve"), ("POST", REQUESTS_PATH + "/{request_id}/deny")}

_API_KEY = os.environ.get("ZELTO_FUZZ_API_KEY", "")
_APPROVERS = json.loads(os.environ.get("ZELTO_FUZZ_APPROVERS", "{}"))
_CONNECT_TOKENS = json.loads(os.environ.get("ZELTO_FUZZ_CONNECT_TOKENS", "[]"))
_COUNTS_PATH = os.environ.get("ZELTO_FUZZ_COUNTS")
_turn = itertools.count()
_lock = threading.Lock()
_counts: collections.Counter = collections.Counter()


def _basic(name: str) -> str:
    return "Basic " + base64.b64encode(f"{name}:{_APPROVERS[name]}".encode()).decode("ascii")


def _is_negative(case, location: ParameterLocation) -> bool:
    meta = getattr(case, "meta", None)
    return meta is not None and meta.is_negative_at(location)


@schemathesis.auth(refresh_interval=None)
class PerOperationCredentials:
    def get(self, case, context):
        operation = context.operation
        key = (operation.method.upper(), operation.path)
        if not operation.definition.raw.get("security", True):
            return None  # public: health, the document, the connect calls
        with _lock:
            turn = next(_turn)
        names = sorted(_APPROVERS)
        if key in APPROVER_ONLY or (key not in AGENT_ONLY and turn % 2):
            return _basic(names[turn % len(names)])
        return f"Bearer {_API_KEY}"

    def set(self, case, data, context):
        case.headers = {**(case.headers or {}), "Authorization": data}


def _signed_create(body: dict) -> dict:
    """The generated create body, made genuine: signed by a fresh holder over its own arguments."""
    holder = SigningKey.generate()
    warrant_id, tool = body.get("warrant_id") or "w-fuzz", body.get("tool") or "fuzz_tool"
    arguments = body.get("metadata") if isinstance(body.get("metadata"), dict) else {"amount": 10}
    try:
        args_b64, attestation = py_build_approval_context_attestation(
            holder, warrant_id, tool, arguments, holder.public_key)
    except (TypeError, ValueError):  # arguments that canonical CBOR cannot hold
        arguments = {"amount": 10}
        args_b64, attestation = py_build_approval_context_attestation(
            holder, warrant_id, tool, arguments, holder.public_key)
    signed = {**body, "warrant_id": warrant_id, "tool": tool, "metadata": arguments,
              "request_hash": attestation["request_hash"], "holder_key": holder.public_key.hex(),
              "args_canonical_cbor_b64": args_b64, "approval_context_attestation": dict(attestation)}
    keys = signed.get("approver_keys")
    threshold = signed.get("threshold")
    if isinstance(keys, list) and isinstance(threshold, (int, float)) and not isinstance(threshold, bool):
        # The one rule the document cannot state: no more approvals asked for than approvers allowed.
        signed["threshold"] = max(1, min(int(threshold), len({k.lower() for k in keys})))
    return signed


@schemathesis.hook
def map_case(context, case):
    operation = case.operation
    if operation.method.upper() == "POST" and operation.path == REQUESTS_PATH:
        if isinstance(case.body, dict) and not _is_negative(case, ParameterLocation.BODY):
            case.body = _signed_create(case.body)
    elif operation.path in CONNECT_PATHS and _CONNECT_TOKENS:
        if isinstance(case.body, dict) and not _is_negative(case, ParameterLocation.BODY):
            with _lock:
                case.body = {**case.body, "token": _CONNECT_TOKENS[next(_turn) % len(_CONNECT_TOKENS)]}
    elif operation.method.upper() == "GET" and operation.path == REQUESTS_PATH:
        if isinstance(case.query, dict) and not _is_negative(case, ParameterLocation.QUERY):
            case.query.pop("cursor", None)
    return case


@schemathesis.hook
def after_call(context, case, response):
    operation = case.operation
    documented = case.method.upper() == operation.method.upper()
    label = f"{operation.method.upper()} {operation.path}" if documented else "(methods not served, every path)"
    with _lock:
        _counts[f"{label} {response.status_code}"] += 1


def _write_counts() -> None:
    if _COUNTS_PATH:
        with open(_COUNTS_PATH, "w") as out:
            json.dump(dict(_counts), out)


atexit.register(_write_counts)
