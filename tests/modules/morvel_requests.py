"""Requests, keys and stand-ins shared by the payload builder's tests.

The SDK and its core are the real stand-ins under sdk/ (real Ed25519, real
canonical CBOR). Where a test needs to see or steer a call into them, it wraps
or replaces the attribute on the real module, which the builder imports anew
on every call.
"""

import types

import pytest
import zelto.decorators
import zelto_core
from zelto.approval import ApprovalRequest
from zelto_core import SigningKey, approval_request_hash, py_build_approval_context_attestation

HOLDER = SigningKey.from_bytes(bytes(range(32)))
OTHER = SigningKey.from_bytes(bytes(range(32, 64)))
HOLDER_PUB = HOLDER.public_key.to_bytes()
WARRANT_ID = "w-1"
TOOL = "transfer_funds"
ARGS = {"amount": 10, "to": "bob"}
ARGS_HASH = approval_request_hash(WARRANT_ID, TOOL, ARGS, HOLDER_PUB)
CORE_ARGS_B64, CORE_ATTESTATION = py_build_approval_context_attestation(
    HOLDER, WARRANT_ID, TOOL, ARGS, HOLDER.public_key)

HOLDER_KEY_REQUIRED = ("request.holder_key is required for cloud approval - ensure the warrant is bound "
                       "before enforcement")
ATTESTATION_REQUIRED = ("approval attestation required - pass signing_key= to cloud_approval() or ensure "
                        "the warrant is bound so key_scope() resolves the holder key")
HASH_UNRESOLVED = "request_hash could not be resolved for approval request"
HASH_WRONG_TYPE = "request.request_hash must be bytes or hex string"

FIELDS = ["warrant_id", "tool", "request_hash", "holder_key", "args_canonical_cbor_b64",
          "approval_context_attestation", "metadata", "policy_id", "threshold", "approver_keys",
          "ttl_seconds", "idempotency_key"]
REQUIRED = FIELDS[:6]

CARRIED_ATTESTATION = {"v": 1, "request_hash": "ab" * 32, "signature": "00"}


def complete(**attrs):
    """A request that already carries canonical arguments and an attestation."""
    base = dict(holder_key=HOLDER_PUB, warrant_id=WARRANT_ID, tool=TOOL, arguments=dict(ARGS),
                request_hash=ARGS_HASH, args_canonical_cbor_b64=CORE_ARGS_B64,
                approval_context_attestation=dict(CARRIED_ATTESTATION))
    base.update(attrs)
    return types.SimpleNamespace(**base)


def bare(**attrs):
    """A request the core must attest: no canonical arguments, no attestation."""
    base = dict(holder_key=HOLDER_PUB, warrant_id=WARRANT_ID, tool=TOOL, arguments=dict(ARGS))
    base.update(attrs)
    return types.SimpleNamespace(**base)


def gate_request(**overrides):
    """The stand-in SDK's own approval-gate request."""
    fields = dict(tool=TOOL, warrant_id=WARRANT_ID, arguments=dict(ARGS), request_id="req_1",
                  holder_key=HOLDER_PUB, request_hash=ARGS_HASH)
    fields.update(overrides)
    return ApprovalRequest(**fields)


class Recorder:
    """A request that records every attribute read, in order."""

    def __init__(self, **attrs):
        object.__setattr__(self, "_attrs", attrs)
        object.__setattr__(self, "reads", [])

    def __getattr__(self, name):
        self.reads.append(name)
        try:
            return self._attrs[name]
        except KeyError:
            raise AttributeError(name) from None


class Unprintable:
    def __init__(self, label):
        self.label = label

    def __str__(self):
        raise RuntimeError(self.label)


class Exploding:
    """A stand-in for a broken module whose every attribute read fails."""

    def __getattr__(self, name):
        raise RuntimeError("broken module")


class BadStr:
    def __str__(self):
        return 5  # str() of this is a TypeError


class Marker(Exception):
    pass


def raiser(error):
    def fail(*args, **kwargs):
        raise error

    return fail


@pytest.fixture
def scope_calls(monkeypatch):
    """Counts the calls of the SDK's real ``key_scope``."""
    calls = []
    real = zelto.decorators.key_scope

    def counting():
        calls.append(())
        return real()

    monkeypatch.setattr(zelto.decorators, "key_scope", counting)
    return calls


@pytest.fixture
def core_calls(monkeypatch):
    """Records the calls of the real core attestation builder, which still runs."""
    calls = []
    real = zelto_core.py_build_approval_context_attestation

    def recording(*args, **kwargs):
        calls.append((args, kwargs))
        return real(*args, **kwargs)

    monkeypatch.setattr(zelto_core, "py_build_approval_context_attestation", recording)
    return calls


def core_returning(monkeypatch, result):
    """Replaces the core builder by one with a chosen result."""
    monkeypatch.setattr(zelto_core, "py_build_approval_context_attestation", lambda *args: result)

