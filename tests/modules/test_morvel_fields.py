"""The approval request payload builder: holder key, signing key, request hash,
attestation, policy id, inline rules and the create-request keyword arguments.

The SDK and its core are the real stand-ins under sdk/ (real Ed25519, real
canonical CBOR). Where a test needs to see or steer a call into them, it wraps
or replaces the attribute on the real module, which the builder imports anew
on every call.
"""

import copy
import dataclasses
import gc
import inspect
import logging
import sys
import types

import pytest
from conftest import traced_growth
import zelto.decorators
import zelto_core
from zelto import guard
from zelto.approval import ApprovalRequest
from zelto.decorators import bind_key_scope
from zelto.warrant import Warrant
from zelto_core import SignedApproval, SigningKey, approval_request_hash, py_build_approval_context_attestation

import zelto_cloud.exceptions
from zelto_cloud import morvel
from zelto_cloud.exceptions import ZeltoCloudError
from zelto_cloud.morvel import ApprovalRequestPayload, build_approval_request_payload

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


class BadStr:
    def __str__(self):
        return 5  # str() of this is a TypeError


class Marker(Exception):
    pass


def raiser(error):
    def fail(*args, **kwargs):
        raise error

    return fail


def payload(**changes):
    values = dict(warrant_id="w", tool="t", request_hash=b"h", holder_key=b"k",
                  args_canonical_cbor_b64="a", approval_context_attestation={"x": 1})
    values.update(changes)
    return ApprovalRequestPayload(**values)


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


class TestModule:
    def test_module_objects(self):
        assert morvel.ZeltoCloudError is zelto_cloud.exceptions.ZeltoCloudError
        assert morvel.logger is logging.getLogger("zelto_cloud.morvel")

    def test_loads_only_the_exceptions_module(self, fresh_python):
        result = fresh_python("import sys, zelto_cloud.morvel; "
                              "print(sorted(m for m in sys.modules if m.split('.')[0] in "
                              "('zelto', 'zelto_core', 'zelto_cloud')))")
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "['zelto_cloud', 'zelto_cloud.exceptions', 'zelto_cloud.morvel']"

    def test_error_class_comes_from_the_exceptions_module_at_import(self, fresh_python):
        code = """
import sys, types, zelto_cloud
fake = types.ModuleType("zelto_cloud.exceptions")
class ZeltoCloudError(Exception): pass
fake.ZeltoCloudError = ZeltoCloudError
sys.modules["zelto_cloud.exceptions"] = fake
import zelto_cloud.morvel as m
try:
    m.build_approval_request_payload(types.SimpleNamespace())
except ZeltoCloudError as exc:
    print(m.ZeltoCloudError is ZeltoCloudError, exc)
"""
        result = fresh_python(code)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "True " + HOLDER_KEY_REQUIRED

    def test_import_fails_without_the_exceptions_module(self, fresh_python):
        code = """
import sys, zelto_cloud
sys.modules["zelto_cloud.exceptions"] = None
try:
    import zelto_cloud.morvel
except ImportError as exc:
    print("ImportError", "zelto_cloud.morvel" in sys.modules)
"""
        result = fresh_python(code)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "ImportError False"


SIGNATURES = {
    "build_approval_request_payload":
        "(request: 'Any', *, signing_key: 'Any' = None, policy_id: 'Optional[str]' = None, "
        "idempotency_key: 'Optional[str]' = None) -> 'ApprovalRequestPayload'",
    "_resolve_holder_key": "(request: 'Any') -> 'bytes'",
    "_resolve_signing_key": "(explicit: 'Any' = None) -> 'Any'",
    "_normalize_request_hash": "(value: 'Any') -> 'bytes'",
    "_extract_policy_id": "(request: 'Any', override: 'Optional[str]' = None) -> 'Optional[str]'",
    "_extract_inline_rules":
        "(request: 'Any') -> 'tuple[Optional[List[str]], Optional[int], Optional[int]]'",
    "_build_attestation_fields":
        "(request: 'Any', *, signing_key: 'Any', holder_key: 'bytes') -> 'tuple[str, Dict[str, Any], bytes]'",
}


class TestSignatures:
    @pytest.mark.parametrize(("name", "signature"), SIGNATURES.items())
    def test_signature_and_names(self, name, signature):
        function = getattr(morvel, name)
        assert str(inspect.signature(function)) == signature
        assert function.__name__ == function.__qualname__ == name
        assert function.__module__ == "zelto_cloud.morvel"
        assert all(isinstance(value, str) for value in function.__annotations__.values())

    def test_annotations(self):
        assert build_approval_request_payload.__annotations__ == {
            "request": "Any", "signing_key": "Any", "policy_id": "Optional[str]",
            "idempotency_key": "Optional[str]", "return": "ApprovalRequestPayload"}
        assert morvel._build_attestation_fields.__annotations__ == {
            "request": "Any", "signing_key": "Any", "holder_key": "bytes",
            "return": "tuple[str, Dict[str, Any], bytes]"}

    def test_method(self):
        method = ApprovalRequestPayload.to_create_request_kwargs
        assert list(inspect.signature(method).parameters) == ["self"]
        assert method.__qualname__ == "ApprovalRequestPayload.to_create_request_kwargs"
        with pytest.raises(TypeError):
            payload().to_create_request_kwargs(1)

    @pytest.mark.parametrize(("function", "args", "kwargs", "message"), [
        (build_approval_request_payload, (complete(), HOLDER), {},
         "build_approval_request_payload() takes 1 positional argument but 2 were given"),
        (build_approval_request_payload, (complete(), HOLDER, "p", "i"), {},
         "build_approval_request_payload() takes 1 positional argument but 4 were given"),
        (build_approval_request_payload, (), {},
         "build_approval_request_payload() missing 1 required positional argument: 'request'"),
        (build_approval_request_payload, (complete(),), {"colour": HOLDER},
         "build_approval_request_payload() got an unexpected keyword argument 'colour'"),
        (morvel._build_attestation_fields, (bare(),), {},
         "_build_attestation_fields() missing 2 required keyword-only arguments: 'signing_key' and 'holder_key'"),
        (morvel._build_attestation_fields, (bare(),), {"signing_key": HOLDER},
         "_build_attestation_fields() missing 1 required keyword-only argument: 'holder_key'"),
        (morvel._build_attestation_fields, (bare(),), {"holder_key": b"k"},
         "_build_attestation_fields() missing 1 required keyword-only argument: 'signing_key'"),
        (morvel._build_attestation_fields, (bare(), HOLDER, b"k"), {},
         "_build_attestation_fields() takes 1 positional argument but 3 were given"),
        (morvel._resolve_signing_key, (None, None), {},
         "_resolve_signing_key() takes from 0 to 1 positional arguments but 2 were given"),
    ])
    def test_argument_errors(self, function, args, kwargs, message):
        with pytest.raises(TypeError) as excinfo:
            function(*args, **kwargs)
        assert str(excinfo.value) == message

    def test_request_by_keyword(self):
        assert build_approval_request_payload(request=complete()).tool == TOOL


class TestPayloadClass:
    def test_is_a_plain_default_dataclass(self):
        assert dataclasses.is_dataclass(ApprovalRequestPayload)
        assert ApprovalRequestPayload.__bases__ == (object,)
        assert ApprovalRequestPayload.__qualname__ == "ApprovalRequestPayload"
        assert ApprovalRequestPayload.__module__ == "zelto_cloud.morvel"
        assert ApprovalRequestPayload.__doc__ == "Fully populated body for ``POST /v1/approvals/requests``."
        params = ApprovalRequestPayload.__dataclass_params__
        assert (params.init, params.repr, params.eq, params.order, params.unsafe_hash, params.frozen) == \
            (True, True, True, False, False, False)

    def test_fields(self):
        fields = dataclasses.fields(ApprovalRequestPayload)
        assert [(f.name, f.type) for f in fields] == [
            ("warrant_id", "str"), ("tool", "str"), ("request_hash", "bytes"), ("holder_key", "bytes"),
            ("args_canonical_cbor_b64", "str"), ("approval_context_attestation", "Dict[str, Any]"),
            ("metadata", "Optional[Dict[str, Any]]"), ("policy_id", "Optional[str]"),
            ("threshold", "Optional[int]"), ("approver_keys", "Optional[List[str]]"),
            ("ttl_seconds", "Optional[int]"), ("idempotency_key", "Optional[str]")]
        assert [f.default is dataclasses.MISSING for f in fields] == [True] * 6 + [False] * 6
        assert [f.default for f in fields[6:]] == [None] * 6
        assert all(f.default_factory is dataclasses.MISSING for f in fields)

    def test_initializer_is_positional_in_field_order(self):
        values = ["w", "t", b"h", b"k", "a", {"x": 1}, {"m": 1}, "p", 2, ["ab"], 30, "idem"]
        built = ApprovalRequestPayload(*values)
        assert [getattr(built, name) for name in FIELDS] == values
        with pytest.raises(TypeError) as excinfo:
            ApprovalRequestPayload()
        assert str(excinfo.value) == (
            "ApprovalRequestPayload.__init__() missing 6 required positional arguments: 'warrant_id', "
            "'tool', 'request_hash', 'holder_key', 'args_canonical_cbor_b64', and 'approval_context_attestation'")

    def test_validates_nothing(self):
        built = ApprovalRequestPayload(1, 2, 3, 4, 5, 6, threshold="many")
        assert (built.warrant_id, built.request_hash, built.threshold) == (1, 3, "many")

    def test_equality_mutability_and_hashing(self):
        first, second = payload(), payload()
        assert first == second and first is not second
        assert first != payload(policy_id="p")
        assert first != types.SimpleNamespace(**vars(first))
        first.policy_id = "p"
        assert first.policy_id == "p" and first != second
        assert ApprovalRequestPayload.__hash__ is None
        with pytest.raises(TypeError, match="unhashable type: 'ApprovalRequestPayload'"):
            hash(first)
        with pytest.raises(TypeError):
            first < second  # noqa: B015

    def test_repr(self):
        assert repr(payload()) == (
            "ApprovalRequestPayload(warrant_id='w', tool='t', request_hash=b'h', holder_key=b'k', "
            "args_canonical_cbor_b64='a', approval_context_attestation={'x': 1}, metadata=None, "
            "policy_id=None, threshold=None, approver_keys=None, ttl_seconds=None, idempotency_key=None)")


class TestCreateRequestKwargs:
    def test_required_fields_only(self):
        built = payload()
        assert list(built.to_create_request_kwargs()) == REQUIRED
        assert built.to_create_request_kwargs() == {
            "warrant_id": "w", "tool": "t", "request_hash": b"h", "holder_key": b"k",
            "args_canonical_cbor_b64": "a", "approval_context_attestation": {"x": 1}}

    def test_all_fields_in_order_and_uncopied(self):
        built = ApprovalRequestPayload("w", "t", b"h", b"k", "a", {"x": 1}, {"m": 1}, "p", 2, ["ab"], 30, "i")
        kwargs = built.to_create_request_kwargs()
        assert list(kwargs) == FIELDS
        assert all(kwargs[name] is getattr(built, name) for name in FIELDS)
        again = built.to_create_request_kwargs()
        assert again == kwargs and again is not kwargs

    @pytest.mark.parametrize(("field", "value", "sent"), [
        ("metadata", {}, True), ("metadata", None, False),
        ("policy_id", "p", True), ("policy_id", "", False), ("policy_id", None, False),
        ("threshold", 0, True), ("threshold", None, False),
        ("approver_keys", [], True), ("approver_keys", None, False),
        ("ttl_seconds", 0, True), ("ttl_seconds", None, False),
        ("idempotency_key", "k", True), ("idempotency_key", "", False), ("idempotency_key", None, False),
    ])
    def test_inclusion_rules(self, field, value, sent):
        kwargs = payload(**{field: value}).to_create_request_kwargs()
        assert (field in kwargs) is sent
        assert list(kwargs)[:6] == REQUIRED
        if sent:
            assert kwargs[field] is value

    def test_required_fields_always_sent_even_when_empty(self):
        built = ApprovalRequestPayload("", "", b"", b"", "", {})
        assert list(built.to_create_request_kwargs()) == REQUIRED

    def test_reads_the_current_field_values(self):
        built = payload()
        built.ttl_seconds = 5
        built.tool = "other"
        kwargs = built.to_create_request_kwargs()
        assert kwargs["ttl_seconds"] == 5 and kwargs["tool"] == "other"


class KeyWithBytes:
    def __init__(self, result):
        self.result = result

    def to_bytes(self):
        return self.result


class TestHolderKey:
    @pytest.mark.parametrize(("attrs", "expected"), [
        ({}, b""),
        ({"holder_key": None}, b""),
        ({"holder_key": b"\x01\x02"}, b"\x01\x02"),
        ({"holder_key": bytearray(b"\x01\x02")}, b"\x01\x02"),
        ({"holder_key": "0a0B ff"}, b"\x0a\x0b\xff"),
        ({"holder_key": ""}, b""),
        ({"holder_key": KeyWithBytes(b"\x07")}, b"\x07"),
        ({"holder_key": KeyWithBytes(bytearray(b"\x07"))}, b"\x07"),
        ({"holder_key": KeyWithBytes([1, 2])}, b"\x01\x02"),
        ({"holder_key": KeyWithBytes(b"")}, b""),
        ({"holder_key": HOLDER.public_key}, HOLDER_PUB),
        ({"holder_key": 5}, b"\x05"),  # int.to_bytes() is a callable to_bytes
        ({"holder_key": types.SimpleNamespace(to_bytes=b"\x01")}, b""),
        ({"holder_key": object()}, b""),
        ({"holder_key": memoryview(b"\x01")}, b""),
    ])
    def test_resolution(self, attrs, expected):
        result = morvel._resolve_holder_key(types.SimpleNamespace(**attrs))
        assert type(result) is bytes and result == expected

    def test_bytes_like_values_become_fresh_immutable_bytes(self):
        class Sub(bytes):
            pass

        raw = bytearray(b"\x01\x02")
        result = morvel._resolve_holder_key(types.SimpleNamespace(holder_key=raw))
        raw[0] = 9
        assert result == b"\x01\x02"
        assert type(morvel._resolve_holder_key(types.SimpleNamespace(holder_key=Sub(b"\x03")))) is bytes

    @pytest.mark.parametrize(("holder_key", "error"), [
        ("zz", ValueError),
        ("abc", ValueError),
        (KeyWithBytes("text"), TypeError),
        (KeyWithBytes(-1), ValueError),
    ])
    def test_conversion_errors_propagate(self, holder_key, error):
        with pytest.raises(error):
            morvel._resolve_holder_key(types.SimpleNamespace(holder_key=holder_key))

    def test_to_bytes_errors_propagate(self):
        class Failing:
            def to_bytes(self):
                raise Marker("no bytes")

        with pytest.raises(Marker, match="no bytes"):
            morvel._resolve_holder_key(types.SimpleNamespace(holder_key=Failing()))

    @pytest.mark.parametrize("attrs", [
        {"holder_key": None}, {}, {"holder_key": object()}, {"holder_key": KeyWithBytes(b"")},
        {"holder_key": ""}, {"holder_key": b""},
    ])
    def test_builder_requires_a_holder_key(self, attrs, scope_calls):
        request = complete()
        del request.holder_key
        vars(request).update(attrs)
        with pytest.raises(ZeltoCloudError) as excinfo:
            build_approval_request_payload(request, signing_key=HOLDER)
        assert type(excinfo.value) is ZeltoCloudError
        assert excinfo.value.args == (HOLDER_KEY_REQUIRED,)
        assert scope_calls == []  # the build stopped at its first step

    def test_builder_decodes_hex_and_copies_bytearrays(self):
        assert build_approval_request_payload(complete(holder_key=HOLDER_PUB.hex())).holder_key == HOLDER_PUB
        raw = bytearray(HOLDER_PUB)
        built = build_approval_request_payload(complete(holder_key=raw))
        raw[:] = b"\x00" * 32
        assert type(built.holder_key) is bytes and built.holder_key == HOLDER_PUB

    def test_builder_accepts_a_public_key(self):
        built = build_approval_request_payload(complete(holder_key=HOLDER.public_key))
        assert built.holder_key == HOLDER_PUB


class Exploding:
    """A stand-in for a broken module whose every attribute read fails."""

    def __getattr__(self, name):
        raise RuntimeError("broken module")


class TestSigningKey:
    @pytest.mark.parametrize("explicit", [HOLDER, object(), 0, "", False])
    def test_explicit_key_is_returned_without_importing(self, explicit, monkeypatch):
        monkeypatch.setitem(sys.modules, "zelto.decorators", None)
        assert morvel._resolve_signing_key(explicit) is explicit
        assert morvel._resolve_signing_key(explicit=explicit) is explicit

    def test_key_scope_supplies_the_key(self, scope_calls):
        assert morvel._resolve_signing_key() is None
        assert morvel._resolve_signing_key(None) is None
        with bind_key_scope(HOLDER):
            assert morvel._resolve_signing_key() is HOLDER
            with bind_key_scope(OTHER):
                assert morvel._resolve_signing_key() is OTHER
            assert morvel._resolve_signing_key(OTHER) is OTHER
        assert len(scope_calls) == 4

    def test_key_scope_result_is_returned_whatever_it_is(self, monkeypatch):
        sentinel = object()
        monkeypatch.setattr(zelto.decorators, "key_scope", lambda: sentinel)
        assert morvel._resolve_signing_key() is sentinel

    @pytest.mark.parametrize("break_it", [
        lambda mp: mp.setitem(sys.modules, "zelto.decorators", None),
        lambda mp: mp.delattr(zelto.decorators, "key_scope"),
        lambda mp: mp.setattr(zelto.decorators, "key_scope", raiser(ImportError("x"))),
        lambda mp: mp.setattr(zelto.decorators, "key_scope", raiser(ModuleNotFoundError("x"))),
    ], ids=["module-none", "no-key_scope", "call-import-error", "call-module-not-found"])
    def test_import_errors_give_none_silently(self, break_it, monkeypatch, caplog):
        caplog.set_level(logging.DEBUG, logger="zelto_cloud.morvel")
        break_it(monkeypatch)
        assert morvel._resolve_signing_key() is None
        assert caplog.records == []

    @pytest.mark.parametrize("error", [RuntimeError("boom"), ValueError("bad"), Marker("m"), ZeltoCloudError("z")])
    def test_other_errors_give_none_with_one_debug_record(self, error, monkeypatch, caplog):
        caplog.set_level(logging.DEBUG, logger="zelto_cloud.morvel")

        monkeypatch.setattr(zelto.decorators, "key_scope", raiser(error))
        assert morvel._resolve_signing_key() is None
        assert len(caplog.records) == 1
        record = caplog.records[0]
        assert (record.name, record.levelno) == ("zelto_cloud.morvel", logging.DEBUG)
        assert record.msg == "key_scope unavailable: %s"
        assert record.args == (error,) and record.args[0] is error
        assert record.getMessage() == f"key_scope unavailable: {error}"
        assert record.exc_info is None

    def test_a_broken_module_is_logged(self, monkeypatch, caplog):
        caplog.set_level(logging.DEBUG, logger="zelto_cloud.morvel")
        monkeypatch.setitem(sys.modules, "zelto.decorators", Exploding())
        assert morvel._resolve_signing_key() is None
        assert [type(r.args[0]) for r in caplog.records] == [RuntimeError]

    def test_the_logger_is_looked_up_at_each_call(self, monkeypatch):
        calls = []
        error = RuntimeError("boom")
        monkeypatch.setattr(morvel, "logger", types.SimpleNamespace(debug=lambda *a, **k: calls.append((a, k))))
        monkeypatch.setattr(zelto.decorators, "key_scope", raiser(error))
        assert morvel._resolve_signing_key() is None
        assert calls == [(("key_scope unavailable: %s", error), {})]

    @pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
    def test_base_exceptions_propagate(self, error, monkeypatch):
        monkeypatch.setattr(zelto.decorators, "key_scope", raiser(error()))
        with pytest.raises(error):
            morvel._resolve_signing_key()
        with pytest.raises(error):
            build_approval_request_payload(complete())

    def test_consulted_on_every_build_without_an_explicit_key(self, scope_calls, core_calls):
        for _ in range(3):
            build_approval_request_payload(complete())
        assert len(scope_calls) == 3
        build_approval_request_payload(complete(), signing_key=HOLDER)
        assert len(scope_calls) == 3
        assert core_calls == []

    def test_build_from_a_complete_request_works_without_the_sdk(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "zelto.decorators", None)
        monkeypatch.setitem(sys.modules, "zelto_core", None)
        assert build_approval_request_payload(complete()).tool == TOOL


class TestRequestHash:
    @pytest.mark.parametrize(("value", "expected"), [
        (b"\x01\x02", b"\x01\x02"),
        (bytearray(b"\x01\x02"), b"\x01\x02"),
        (b"", b""),
        ("0102", b"\x01\x02"),
        ("AB cd", b"\xab\xcd"),
        ("", b""),
    ])
    def test_accepted(self, value, expected):
        result = morvel._normalize_request_hash(value)
        assert type(result) is bytes and result == expected

    def test_bytearray_copy_is_independent(self):
        raw = bytearray(b"\x01")
        result = morvel._normalize_request_hash(raw)
        raw[0] = 2
        assert result == b"\x01"

    @pytest.mark.parametrize("value", [None, 5, memoryview(b"\x01"), [1], object()])
    def test_other_types(self, value):
        with pytest.raises(ZeltoCloudError) as excinfo:
            morvel._normalize_request_hash(value)
        assert type(excinfo.value) is ZeltoCloudError and excinfo.value.args == (HASH_WRONG_TYPE,)

    @pytest.mark.parametrize("value", ["zz", "012"])
    def test_bad_hex(self, value):
        with pytest.raises(ValueError):
            morvel._normalize_request_hash(value)

    def test_error_class_is_looked_up_at_each_call(self, monkeypatch):
        class Replacement(Exception):
            pass

        monkeypatch.setattr(morvel, "ZeltoCloudError", Replacement)
        with pytest.raises(Replacement) as excinfo:
            morvel._normalize_request_hash(None)
        assert excinfo.value.args == (HASH_WRONG_TYPE,)

    @pytest.mark.parametrize(("value", "expected"), [
        (ARGS_HASH, ARGS_HASH), (bytearray(ARGS_HASH), ARGS_HASH), (ARGS_HASH.hex(), ARGS_HASH),
    ])
    def test_builder_takes_the_requests_hash(self, value, expected):
        built = build_approval_request_payload(complete(request_hash=value))
        assert type(built.request_hash) is bytes and built.request_hash == expected

    def test_builder_rejects_a_hash_of_another_type(self):
        with pytest.raises(ZeltoCloudError, match="^request.request_hash must be bytes or hex string$"):
            build_approval_request_payload(complete(request_hash=12))

    @pytest.mark.parametrize("attrs", [{"request_hash": None}, {}])
    def test_builder_falls_back_to_the_attestation_hash(self, attrs):
        request = complete(**attrs)
        if not attrs:
            del request.request_hash
        assert build_approval_request_payload(request).request_hash == bytes.fromhex("ab" * 32)

    @pytest.mark.parametrize("entry", [None, "", 0])
    def test_builder_without_any_hash(self, entry):
        attestation = {"v": 1} if entry is None else {"v": 1, "request_hash": entry}
        with pytest.raises(ZeltoCloudError) as excinfo:
            build_approval_request_payload(complete(request_hash=None, approval_context_attestation=attestation))
        assert excinfo.value.args == (HASH_UNRESOLVED,)

    def test_builder_empty_request_hash_falls_back_too(self):
        for empty in (b"", ""):
            built = build_approval_request_payload(complete(request_hash=empty))
            assert built.request_hash == bytes.fromhex("ab" * 32)

    @pytest.mark.parametrize("entry", ["zz", "abc", 255])
    def test_builder_bad_attestation_hash_is_a_value_error(self, entry):
        request = complete(request_hash=None, approval_context_attestation={"v": 1, "request_hash": entry})
        with pytest.raises(ValueError) as excinfo:
            build_approval_request_payload(request)
        assert not isinstance(excinfo.value, ZeltoCloudError)

    def test_builder_converts_the_attestation_hash_to_text(self):
        class HexText:
            def __str__(self):
                return "0a0b"

        request = complete(request_hash=None, approval_context_attestation={"request_hash": HexText()})
        assert build_approval_request_payload(request).request_hash == b"\x0a\x0b"


class TestPolicyId:
    @pytest.mark.parametrize(("attrs", "override", "expected"), [
        ({}, None, None),
        ({"policy_id": "p"}, None, "p"),
        ({"policy_id": "p", "policy_ref": "r"}, None, "p"),
        ({"policy_ref": "r"}, None, "r"),
        ({"policy_id": 5, "policy_ref": "r"}, None, "r"),
        ({"policy_id": "", "policy_ref": "r"}, None, "r"),
        ({"policy_id": None, "policy_ref": ""}, None, None),
        ({"policy_id": 5, "policy_ref": b"r"}, None, None),
        ({"policy_id": "p"}, "o", "o"),
        ({"policy_id": "p"}, "", "p"),
        ({"policy_id": "p"}, 0, "p"),
        ({}, 42, 42),
        ({}, ["x"], ["x"]),
    ])
    def test_resolution(self, attrs, override, expected):
        assert morvel._extract_policy_id(types.SimpleNamespace(**attrs), override) == expected
        if override is None:
            assert morvel._extract_policy_id(types.SimpleNamespace(**attrs)) == expected

    def test_values_are_returned_unchanged(self):
        class Text(str):
            pass

        override, ref = ["x"], Text("ref")
        assert morvel._extract_policy_id(types.SimpleNamespace(), override=override) is override
        assert morvel._extract_policy_id(types.SimpleNamespace(policy_id=1, policy_ref=ref)) is ref

    def test_override_skips_the_request(self):
        request = Recorder(policy_id="p")
        assert morvel._extract_policy_id(request, "o") == "o"
        assert request.reads == []

    @pytest.mark.parametrize(("attrs", "argument", "expected"), [
        ({"policy_id": "p"}, "", "p"),
        ({"policy_id": "p"}, None, "p"),
        ({"policy_id": "p"}, "arg", "arg"),
        ({"policy_id": 3, "policy_ref": "ref"}, None, "ref"),
    ])
    def test_builder(self, attrs, argument, expected):
        built = build_approval_request_payload(complete(**attrs), policy_id=argument)
        assert built.policy_id == expected
        assert built.to_create_request_kwargs()["policy_id"] == expected

    def test_builder_without_a_policy(self):
        built = build_approval_request_payload(complete(policy_id=7))
        assert built.policy_id is None and "policy_id" not in built.to_create_request_kwargs()


class TestInlineRules:
    def test_approvers_become_text_in_order(self):
        approvers = [b"\x01\x02", "ab", 7, bytearray(b"\xff"), HOLDER.public_key]
        keys, threshold, ttl = morvel._extract_inline_rules(types.SimpleNamespace(required_approvers=approvers))
        assert keys == ["0102", "ab", "7", "ff", HOLDER_PUB.hex()]
        assert all(type(key) is str for key in keys)
        assert (threshold, ttl) == (None, None)

    def test_exact_text_is_kept_and_subclasses_are_converted(self):
        class Text(str):
            def __str__(self):
                return "converted"

        text = "".join(["a", "b"])
        keys, _, _ = morvel._extract_inline_rules(types.SimpleNamespace(required_approvers=[text, Text("x")]))
        assert keys[0] is text and keys[1] == "converted"

    def test_any_iterable(self):
        request = types.SimpleNamespace(required_approvers=(b"\x01", b"\x02"))
        assert morvel._extract_inline_rules(request)[0] == ["01", "02"]
        request = types.SimpleNamespace(required_approvers=iter([b"\x03"]))
        assert morvel._extract_inline_rules(request)[0] == ["03"]

    def test_a_fresh_list(self):
        approvers = ["ab"]
        keys, _, _ = morvel._extract_inline_rules(types.SimpleNamespace(required_approvers=approvers))
        assert keys == approvers and keys is not approvers

    @pytest.mark.parametrize("approvers", [None, [], (), "", 0])
    def test_no_approvers_is_none(self, approvers):
        assert morvel._extract_inline_rules(types.SimpleNamespace(required_approvers=approvers)) == (None, None, None)

    @pytest.mark.parametrize(("approvers", "error"), [(5, TypeError), ([Unprintable("a")], RuntimeError)])
    def test_approver_errors_propagate(self, approvers, error):
        with pytest.raises(error):
            morvel._extract_inline_rules(types.SimpleNamespace(required_approvers=approvers))

    @pytest.mark.parametrize("threshold", [2, "2", 0, 2.5])
    def test_threshold_is_unchanged(self, threshold):
        result = morvel._extract_inline_rules(types.SimpleNamespace(min_approvals=threshold))
        assert result[1] is threshold

    @pytest.mark.parametrize(("attrs", "expected"), [
        ({"ttl_seconds": 0, "gate_ttl": 99}, 0),
        ({"ttl_seconds": "60", "gate_ttl": 99}, "60"),
        ({"gate_ttl": "30"}, 30),
        ({"gate_ttl": 2.9}, 2),
        ({"gate_ttl": True}, 1),
        ({"gate_ttl": " 12 "}, 12),
        ({"ttl_seconds": None, "gate_ttl": 45}, 45),
        ({"ttl_seconds": None, "gate_ttl": None}, None),
        ({}, None),
    ])
    def test_ttl(self, attrs, expected):
        ttl = morvel._extract_inline_rules(types.SimpleNamespace(**attrs))[2]
        assert ttl == expected and type(ttl) is type(expected)

    def test_gate_ttl_read_only_without_ttl_seconds(self):
        request = Recorder(ttl_seconds=0, gate_ttl="not read")
        assert morvel._extract_inline_rules(request) == (None, None, 0)
        assert request.reads == ["required_approvers", "min_approvals", "ttl_seconds"]

    def test_exact_int_gate_ttl_passes_through(self):
        big = 10**30
        assert morvel._extract_inline_rules(types.SimpleNamespace(gate_ttl=big))[2] is big

    @pytest.mark.parametrize(("gate_ttl", "error"), [("x", ValueError), ("2.5", ValueError), (object(), TypeError),
                                                     (float("inf"), OverflowError)])
    def test_gate_ttl_conversion_errors_propagate(self, gate_ttl, error):
        with pytest.raises(error):
            morvel._extract_inline_rules(types.SimpleNamespace(gate_ttl=gate_ttl))

    def test_builder(self):
        request = complete(required_approvers=[b"\x01\x02", "ab", 7], min_approvals="2", ttl_seconds=0)
        built = build_approval_request_payload(request)
        assert (built.approver_keys, built.threshold, built.ttl_seconds) == (["0102", "ab", "7"], "2", 0)
        kwargs = built.to_create_request_kwargs()
        assert list(kwargs) == REQUIRED + ["metadata", "threshold", "approver_keys", "ttl_seconds"]

    def test_builder_empty_approvers_and_gate_ttl(self):
        built = build_approval_request_payload(complete(required_approvers=[], gate_ttl="30"))
        assert built.approver_keys is None and built.ttl_seconds == 30
        assert "approver_keys" not in built.to_create_request_kwargs()

    def test_builder_reads_the_stand_in_request(self):
        request = gate_request(required_approvers=[OTHER.public_key.to_bytes()], min_approvals=1, gate_ttl=2.9,
                               args_canonical_cbor_b64=CORE_ARGS_B64,
                               approval_context_attestation=dict(CORE_ATTESTATION))
        built = build_approval_request_payload(request)
        assert (built.approver_keys, built.threshold, built.ttl_seconds) == ([OTHER.public_key.hex()], 1, 2)


class TestAttestationFields:
    def test_real_core(self, core_calls):
        request = bare()
        args_b64, attestation, request_hash = morvel._build_attestation_fields(
            request, signing_key=HOLDER, holder_key=b"ignored")
        assert (args_b64, attestation, request_hash) == (CORE_ARGS_B64, CORE_ATTESTATION, ARGS_HASH)
        assert type(attestation) is dict and type(request_hash) is bytes
        (args, kwargs), = core_calls
        assert kwargs == {} and len(args) == 5
        assert args[0] is HOLDER and args[1] is request.warrant_id and args[2] is request.tool
        assert args[3] is request.arguments and args[4] is HOLDER.public_key

    def test_holder_key_argument_takes_no_part(self):
        request = bare(holder_key=OTHER.public_key.to_bytes())
        first = morvel._build_attestation_fields(request, signing_key=HOLDER, holder_key=OTHER.public_key.to_bytes())
        second = morvel._build_attestation_fields(request, signing_key=HOLDER, holder_key=None)
        assert first == second
        assert first[1]["holder_key"] == HOLDER_PUB.hex()

    def test_values_are_passed_unconverted(self, monkeypatch):
        calls = []
        monkeypatch.setattr(zelto_core, "py_build_approval_context_attestation",
                            lambda *args: calls.append(args) or ("b64", {}))
        request = bare(warrant_id=12, tool=None, arguments=[1, 2])
        morvel._build_attestation_fields(request, signing_key=HOLDER, holder_key=b"")
        assert calls == [(HOLDER, 12, None, [1, 2], HOLDER.public_key)]

    def test_attestation_is_a_fresh_dict_of_any_mapping(self, monkeypatch):
        raw = {"request_hash": "0a"}
        core_returning(monkeypatch, ("b64", raw))
        _, attestation, _ = morvel._build_attestation_fields(bare(), signing_key=HOLDER, holder_key=b"")
        assert attestation == raw and attestation is not raw
        core_returning(monkeypatch, ["b64", [("request_hash", "0b"), ("v", 1)]])
        assert morvel._build_attestation_fields(bare(), signing_key=HOLDER, holder_key=b"") == \
            ("b64", {"request_hash": "0b", "v": 1}, b"\x0b")

    @pytest.mark.parametrize(("result", "message"), [
        (("a", {}, "extra"), "too many values to unpack (expected 2)"),
        (("a",), "not enough values to unpack (expected 2, got 1)"),
    ])
    def test_result_must_hold_two_items(self, monkeypatch, result, message):
        core_returning(monkeypatch, result)
        with pytest.raises(ValueError) as excinfo:
            morvel._build_attestation_fields(bare(), signing_key=HOLDER, holder_key=b"")
        assert str(excinfo.value) == message

    def test_result_must_be_iterable(self, monkeypatch):
        core_returning(monkeypatch, 5)
        with pytest.raises(TypeError, match="cannot unpack non-iterable int object"):
            morvel._build_attestation_fields(bare(), signing_key=HOLDER, holder_key=b"")

    def test_core_errors_propagate_unchanged(self, monkeypatch):
        error = Marker("core failed")

        monkeypatch.setattr(zelto_core, "py_build_approval_context_attestation", raiser(error))
        with pytest.raises(Marker) as excinfo:
            morvel._build_attestation_fields(bare(), signing_key=HOLDER, holder_key=b"")
        assert excinfo.value is error
        with pytest.raises(Marker) as excinfo:
            build_approval_request_payload(bare(), signing_key=HOLDER)
        assert excinfo.value is error

    def test_real_core_rejects_a_foreign_key(self):
        class Key:
            public_key = HOLDER.public_key

        with pytest.raises(TypeError, match="signing_key must be a SigningKey"):
            morvel._build_attestation_fields(bare(), signing_key=Key(), holder_key=b"")

    def test_core_is_imported_at_each_call(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "zelto_core", None)
        with pytest.raises(ImportError):
            morvel._build_attestation_fields(bare(), signing_key=HOLDER, holder_key=b"")

    @pytest.mark.parametrize(("missing", "expected"), [
        ("public_key", "public_key"), ("warrant_id", "warrant_id"), ("tool", "tool"), ("arguments", "arguments"),
    ])
    def test_plain_reads(self, missing, expected, core_calls):
        request = bare()
        key = HOLDER
        if missing == "public_key":
            key = object()
        else:
            delattr(request, missing)
        with pytest.raises(AttributeError, match=expected):
            morvel._build_attestation_fields(request, signing_key=key, holder_key=b"")
        assert core_calls == []

    def test_read_order(self, monkeypatch):
        log = []

        class Key:
            def __getattr__(self, name):
                log.append(name)
                return HOLDER.public_key

        request = Recorder(warrant_id=WARRANT_ID, tool=TOOL, arguments=ARGS)
        request.reads = log
        monkeypatch.setattr(zelto_core, "py_build_approval_context_attestation",
                            lambda *args: log.append("core") or ("b64", {"v": 1}))
        morvel._build_attestation_fields(request, signing_key=Key(), holder_key=b"")
        assert log == ["public_key", "warrant_id", "tool", "arguments", "core", "request_hash"]

    @pytest.mark.parametrize(("attrs", "entry", "expected"), [
        ({"request_hash": b"\x01"}, None, b"\x01"),
        ({"request_hash": b"\x01"}, "0a0b", b"\x0a\x0b"),
        ({"request_hash": "01"}, "", b"\x01"),
        ({"request_hash": b"\x01"}, "zz", b"\x01"),
        ({"request_hash": b"\x01"}, "abc", b"\x01"),
        ({"request_hash": bytearray(b"\x01")}, BadStr(), b"\x01"),
        ({}, None, b""),
        ({}, "zz", b""),
        ({}, "0c", b"\x0c"),
    ])
    def test_hash(self, monkeypatch, attrs, entry, expected):
        raw = {} if entry is None else {"request_hash": entry}
        core_returning(monkeypatch, ("b64", raw))
        result = morvel._build_attestation_fields(types.SimpleNamespace(warrant_id="w", tool="t", arguments={},
                                                                        **attrs),
                                                  signing_key=HOLDER, holder_key=b"")[2]
        assert type(result) is bytes and result == expected

    def test_other_hash_conversion_errors_propagate(self, monkeypatch):
        core_returning(monkeypatch, ("b64", {"request_hash": Unprintable("hash")}))
        with pytest.raises(RuntimeError, match="hash"):
            morvel._build_attestation_fields(bare(request_hash=b"\x01"), signing_key=HOLDER, holder_key=b"")

    @pytest.mark.parametrize("value", [None, 5])
    def test_hash_of_a_wrong_type(self, value):
        with pytest.raises(ZeltoCloudError) as excinfo:
            morvel._build_attestation_fields(bare(request_hash=value), signing_key=HOLDER, holder_key=b"")
        assert excinfo.value.args == (HASH_WRONG_TYPE,)

    def test_hash_rule_is_looked_up_at_each_call(self, monkeypatch):
        seen = []
        monkeypatch.setattr(morvel, "_normalize_request_hash", lambda value: seen.append(value) or b"\x09")
        core_returning(monkeypatch, ("b64", {}))
        request = bare()
        assert morvel._build_attestation_fields(request, signing_key=HOLDER, holder_key=b"")[2] == b"\x09"
        request.request_hash = marker = object()
        morvel._build_attestation_fields(request, signing_key=HOLDER, holder_key=b"")
        assert seen == [b"", marker]


class TestBuilder:
    def test_complete_request_needs_no_core(self, scope_calls, core_calls):
        request = complete(required_approvers=[b"\x01"], min_approvals=1, ttl_seconds=60, policy_id="pol",
                           idempotency_key="idem")
        built = build_approval_request_payload(request)
        assert type(built) is ApprovalRequestPayload
        assert core_calls == [] and len(scope_calls) == 1
        assert built == ApprovalRequestPayload(
            warrant_id=WARRANT_ID, tool=TOOL, request_hash=ARGS_HASH, holder_key=HOLDER_PUB,
            args_canonical_cbor_b64=CORE_ARGS_B64, approval_context_attestation=CARRIED_ATTESTATION,
            metadata=ARGS, policy_id="pol", threshold=1, approver_keys=["01"], ttl_seconds=60,
            idempotency_key="idem")
        assert list(built.to_create_request_kwargs()) == FIELDS

    def test_stand_in_request_attested_by_the_core(self, core_calls):
        request = gate_request()
        built = build_approval_request_payload(request, signing_key=HOLDER)
        assert len(core_calls) == 1
        assert built.args_canonical_cbor_b64 == CORE_ARGS_B64
        assert built.approval_context_attestation == CORE_ATTESTATION
        assert built.request_hash == ARGS_HASH and built.holder_key == HOLDER_PUB
        assert built.metadata is request.arguments
        assert built.to_create_request_kwargs() == {
            "warrant_id": WARRANT_ID, "tool": TOOL, "request_hash": ARGS_HASH, "holder_key": HOLDER_PUB,
            "args_canonical_cbor_b64": CORE_ARGS_B64, "approval_context_attestation": CORE_ATTESTATION,
            "metadata": ARGS}

    def test_key_scope_supplies_the_attesting_key(self, core_calls):
        with bind_key_scope(HOLDER):
            built = build_approval_request_payload(gate_request())
        assert core_calls[0][0][0] is HOLDER
        assert built.approval_context_attestation["signer_key"] == HOLDER_PUB.hex()

    def test_explicit_key_wins_over_the_scope(self, core_calls):
        with bind_key_scope(OTHER):
            built = build_approval_request_payload(gate_request(), signing_key=HOLDER)
        assert core_calls[0][0][0] is HOLDER
        assert built.approval_context_attestation["signer_key"] == HOLDER_PUB.hex()

    @pytest.mark.parametrize("attrs", [
        {"args_canonical_cbor_b64": "cmVxdWVzdA==", "approval_context_attestation": {}},
        {"args_canonical_cbor_b64": "cmVxdWVzdA==", "approval_context_attestation": None},
        {"args_canonical_cbor_b64": "", "approval_context_attestation": {"request_hash": "ff"}},
        {"args_canonical_cbor_b64": None, "approval_context_attestation": {"v": 1}},
        {"approval_context_attestation": {"v": 1}},
        {"args_canonical_cbor_b64": "cmVxdWVzdA=="},
    ])
    def test_anything_missing_replaces_both_from_the_core(self, attrs, core_calls):
        request = bare(request_hash=b"\x01", **attrs)
        built = build_approval_request_payload(request, signing_key=HOLDER)
        assert len(core_calls) == 1
        assert built.args_canonical_cbor_b64 == CORE_ARGS_B64
        assert built.approval_context_attestation == CORE_ATTESTATION
        assert built.request_hash == ARGS_HASH  # the core's hash replaces the request's

    @pytest.mark.parametrize("attrs", [
        {"args_canonical_cbor_b64": "cmVxdWVzdA==", "approval_context_attestation": {}},
        {"approval_context_attestation": {"v": 1}},
        {},
    ])
    @pytest.mark.parametrize("scope", ["empty", "unavailable", "broken"])
    def test_attestation_required_without_a_key(self, attrs, scope, monkeypatch):
        if scope == "unavailable":
            monkeypatch.setitem(sys.modules, "zelto.decorators", None)
        elif scope == "broken":
            monkeypatch.setitem(sys.modules, "zelto.decorators", Exploding())
        with pytest.raises(ZeltoCloudError) as excinfo:
            build_approval_request_payload(bare(request_hash=b"\x01", **attrs))
        assert type(excinfo.value) is ZeltoCloudError and excinfo.value.args == (ATTESTATION_REQUIRED,)

    def test_a_falsy_explicit_key_is_still_a_key(self, monkeypatch):
        seen = []
        monkeypatch.setattr(morvel, "_build_attestation_fields",
                            lambda request, **kw: seen.append(kw) or ("b64", {"v": 1}, b"\x01"))
        build_approval_request_payload(bare(), signing_key=0)
        assert seen == [{"signing_key": 0, "holder_key": HOLDER_PUB}]

    def test_attestation_step_with_a_none_hash_attribute(self):
        with pytest.raises(ZeltoCloudError) as excinfo:
            build_approval_request_payload(bare(request_hash=None), signing_key=HOLDER)
        assert excinfo.value.args == (HASH_WRONG_TYPE,)

    def test_attestation_step_with_no_hash_attribute(self):
        built = build_approval_request_payload(bare(), signing_key=HOLDER)
        assert built.request_hash == ARGS_HASH

    def test_attestation_step_that_yields_no_hash(self, monkeypatch):
        core_returning(monkeypatch, ("b64", {"v": 1}))
        with pytest.raises(ZeltoCloudError) as excinfo:
            build_approval_request_payload(bare(), signing_key=HOLDER)
        assert excinfo.value.args == (HASH_UNRESOLVED,)

    def test_bad_core_hash_is_ignored_when_the_request_has_one(self, monkeypatch):
        core_returning(monkeypatch, ("b64", {"request_hash": "zz"}))
        built = build_approval_request_payload(bare(request_hash=b"\x01"), signing_key=HOLDER)
        assert built.request_hash == b"\x01"
        assert built.approval_context_attestation == {"request_hash": "zz"}

    def test_bad_core_hash_fails_later_when_the_request_has_none(self, monkeypatch):
        core_returning(monkeypatch, ("b64", {"request_hash": "zz"}))
        with pytest.raises(ValueError) as excinfo:
            build_approval_request_payload(bare(), signing_key=HOLDER)
        assert not isinstance(excinfo.value, ZeltoCloudError)

    @pytest.mark.parametrize(("attrs", "expected"), [
        ({"arguments": {"a": 1}}, {"a": 1}),
        ({"arguments": []}, None),
        ({"arguments": None}, None),
        ({}, None),
    ])
    def test_metadata(self, attrs, expected):
        request = complete(**attrs)
        if not attrs:
            del request.arguments
        built = build_approval_request_payload(request)
        assert built.metadata == expected
        assert ("metadata" in built.to_create_request_kwargs()) is (expected is not None)
        if expected is not None:
            assert built.metadata is request.arguments

    def test_metadata_accepts_dict_subclasses(self):
        class Args(dict):
            pass

        arguments = Args(a=1)
        assert build_approval_request_payload(complete(arguments=arguments)).metadata is arguments

    def test_empty_metadata_dict_is_sent(self):
        assert build_approval_request_payload(complete(arguments={})).to_create_request_kwargs()["metadata"] == {}

    @pytest.mark.parametrize(("attrs", "warrant_id", "tool"), [
        ({"warrant_id": 12, "tool": b"x"}, "12", "b'x'"),
        ({"warrant_id": None, "tool": None}, "None", "None"),
        ({}, "", ""),
    ])
    def test_warrant_id_and_tool_are_text(self, attrs, warrant_id, tool):
        request = complete(**attrs)
        if not attrs:
            del request.warrant_id, request.tool
        built = build_approval_request_payload(request)
        assert (built.warrant_id, built.tool) == (warrant_id, tool)
        assert type(built.warrant_id) is str and type(built.tool) is str

    @pytest.mark.parametrize(("argument", "on_request", "expected"), [
        ("arg", "req", "arg"),
        ("", "req", "req"),
        (None, "req", "req"),
        (None, "", ""),
        ("", None, None),
        (None, 0, 0),
    ])
    def test_idempotency_key(self, argument, on_request, expected):
        built = build_approval_request_payload(complete(idempotency_key=on_request), idempotency_key=argument)
        assert built.idempotency_key == expected
        assert ("idempotency_key" in built.to_create_request_kwargs()) is bool(expected)

    def test_idempotency_key_missing_on_the_request(self):
        assert build_approval_request_payload(complete()).idempotency_key is None

    def test_attestation_is_a_fresh_dict(self):
        attestation = {"request_hash": "ab" * 32}
        request = complete(approval_context_attestation=attestation)
        built = build_approval_request_payload(request)
        assert built.approval_context_attestation == attestation
        assert built.approval_context_attestation is not attestation
        built.approval_context_attestation["x"] = 1
        assert attestation == {"request_hash": "ab" * 32}

    def test_attestation_of_any_mapping_form(self):
        built = build_approval_request_payload(complete(approval_context_attestation=[("request_hash", "0a")],
                                                        request_hash=None))
        assert built.approval_context_attestation == {"request_hash": "0a"} and built.request_hash == b"\x0a"

    def test_read_order(self):
        request = Recorder(holder_key=HOLDER_PUB, args_canonical_cbor_b64=CORE_ARGS_B64,
                           approval_context_attestation=CARRIED_ATTESTATION, request_hash=ARGS_HASH,
                           warrant_id=WARRANT_ID, tool=TOOL, arguments=ARGS, idempotency_key="i")
        build_approval_request_payload(request)
        assert request.reads == [
            "holder_key", "args_canonical_cbor_b64", "approval_context_attestation", "request_hash",
            "request_hash", "required_approvers", "min_approvals", "ttl_seconds", "gate_ttl", "policy_id",
            "policy_ref", "arguments", "warrant_id", "tool", "idempotency_key"]

    def test_read_order_with_the_attestation_step(self):
        request = Recorder(holder_key=HOLDER_PUB, warrant_id=WARRANT_ID, tool=TOOL, arguments=ARGS,
                           ttl_seconds=5)
        build_approval_request_payload(request, signing_key=HOLDER, policy_id="p", idempotency_key="i")
        assert request.reads == [
            "holder_key", "args_canonical_cbor_b64", "approval_context_attestation", "request_hash",
            "warrant_id", "tool", "arguments", "request_hash",
            "required_approvers", "min_approvals", "ttl_seconds", "arguments", "warrant_id", "tool"]

    def test_warrant_id_is_converted_before_tool(self):
        request = complete(warrant_id=Unprintable("warrant"), tool=Unprintable("tool"))
        with pytest.raises(RuntimeError, match="^warrant$"):
            build_approval_request_payload(request)

    @pytest.mark.parametrize(("attrs", "error", "message"), [
        ({"holder_key": None, "args_canonical_cbor_b64": ""}, ZeltoCloudError, HOLDER_KEY_REQUIRED),
        ({"holder_key": "zz", "request_hash": 5}, ValueError, None),
        ({"request_hash": 5, "approval_context_attestation": {}}, ZeltoCloudError, HASH_WRONG_TYPE),
        ({"approval_context_attestation": {}, "request_hash": None}, ZeltoCloudError, ATTESTATION_REQUIRED),
        ({"request_hash": None, "approval_context_attestation": {"v": 1}, "gate_ttl": "x"},
         ZeltoCloudError, HASH_UNRESOLVED),
        ({"gate_ttl": "x", "warrant_id": Unprintable("w")}, ValueError, None),
        ({"required_approvers": 5, "gate_ttl": "x"}, TypeError, None),
    ])
    def test_first_failure_stops_the_build(self, attrs, error, message):
        with pytest.raises(error) as excinfo:
            build_approval_request_payload(complete(**attrs))
        if message is not None:
            assert excinfo.value.args == (message,)

    def test_signing_key_is_resolved_before_the_hash(self, scope_calls):
        with pytest.raises(ZeltoCloudError, match="must be bytes or hex string"):
            build_approval_request_payload(complete(request_hash=5))
        assert len(scope_calls) == 1

    @pytest.mark.parametrize("make", [complete, gate_request, bare])
    def test_request_is_never_modified(self, make):
        request = make()
        before = copy.deepcopy(vars(request))
        built = build_approval_request_payload(request, signing_key=HOLDER)
        built.approval_context_attestation["extra"] = 1
        if built.metadata is not None:
            assert built.metadata is request.arguments
        assert vars(request) == before

    def test_through_the_guard(self, core_calls):
        seen = []

        def handler(request):
            built = build_approval_request_payload(request)
            seen.append(built)
            return SignedApproval.create(OTHER, built.request_hash)

        warrant = Warrant(id=WARRANT_ID, holder_key=HOLDER.public_key, required_approvers=[OTHER.public_key])

        @guard(TOOL, warrant=warrant, approval_handler=handler, signing_key=HOLDER)
        def transfer_funds(amount, to):
            return f"sent {amount} to {to}"

        assert transfer_funds(10, "bob") == "sent 10 to bob"
        built, = seen
        assert core_calls == []  # the gate attested the request; the builder did not
        assert built.approval_context_attestation == CORE_ATTESTATION
        assert built.approver_keys == [OTHER.public_key.hex()] and built.threshold == 1

    def test_through_the_guard_with_an_outer_key_scope(self, core_calls):
        seen = []

        def handler(request):
            seen.append(build_approval_request_payload(request))
            return SignedApproval.create(OTHER, request.request_hash)

        warrant = Warrant(id=WARRANT_ID, holder_key=HOLDER.public_key, required_approvers=[OTHER.public_key])

        @guard(TOOL, warrant=warrant, approval_handler=handler)
        def transfer_funds(amount, to):
            return amount

        with bind_key_scope(HOLDER):
            assert transfer_funds(10, to="bob") == 10
        assert len(core_calls) == 1 and core_calls[0][0][0] is HOLDER
        assert seen[0].approval_context_attestation == CORE_ATTESTATION


class TestModuleGlobals:
    def test_holder_key_function(self, monkeypatch):
        monkeypatch.setattr(morvel, "_resolve_holder_key", lambda request: b"\x09")
        assert build_approval_request_payload(complete(holder_key=None)).holder_key == b"\x09"
        monkeypatch.setattr(morvel, "_resolve_holder_key", lambda request: b"")
        with pytest.raises(ZeltoCloudError, match="holder_key is required"):
            build_approval_request_payload(complete())

    def test_signing_key_function(self, monkeypatch):
        seen = []
        monkeypatch.setattr(morvel, "_resolve_signing_key", lambda explicit: seen.append(explicit) or HOLDER)
        built = build_approval_request_payload(bare(), signing_key="given")
        assert seen == ["given"] and built.approval_context_attestation == CORE_ATTESTATION

    def test_hash_function(self, monkeypatch):
        seen = []
        monkeypatch.setattr(morvel, "_normalize_request_hash", lambda value: seen.append(value) or b"\x09")
        assert build_approval_request_payload(complete(request_hash="anything")).request_hash == b"\x09"
        assert seen == ["anything"]

    def test_attestation_function(self, monkeypatch):
        seen = []

        def attest(*args, **kwargs):
            seen.append((args, kwargs))
            return "b64", {"v": 2}, b"\x09"

        request = bare()
        monkeypatch.setattr(morvel, "_build_attestation_fields", attest)
        built = build_approval_request_payload(request, signing_key=HOLDER)
        assert seen == [((request,), {"signing_key": HOLDER, "holder_key": HOLDER_PUB})]
        assert (built.args_canonical_cbor_b64, built.approval_context_attestation, built.request_hash) == \
            ("b64", {"v": 2}, b"\x09")

    def test_attestation_function_result_must_hold_three(self, monkeypatch):
        monkeypatch.setattr(morvel, "_build_attestation_fields", lambda request, **kw: ("b64", {"v": 1}))
        with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 3, got 2\)"):
            build_approval_request_payload(bare(), signing_key=HOLDER)

    def test_rules_and_policy_functions(self, monkeypatch):
        seen = []
        monkeypatch.setattr(morvel, "_extract_inline_rules", lambda request: (["k"], 3, 9))
        monkeypatch.setattr(morvel, "_extract_policy_id",
                            lambda request, override: seen.append(override) or "replaced")
        built = build_approval_request_payload(complete(), policy_id="given")
        assert (built.approver_keys, built.threshold, built.ttl_seconds, built.policy_id) == (["k"], 3, 9, "replaced")
        assert seen == ["given"]
        monkeypatch.setattr(morvel, "_extract_inline_rules", lambda request: (["k"], 3))
        with pytest.raises(ValueError, match=r"expected 3, got 2"):
            build_approval_request_payload(complete())

    def test_error_class(self, monkeypatch):
        class Replacement(Exception):
            pass

        monkeypatch.setattr(morvel, "ZeltoCloudError", Replacement)
        for request, message in [(complete(holder_key=None), HOLDER_KEY_REQUIRED),
                                 (bare(request_hash=b"\x01"), ATTESTATION_REQUIRED),
                                 (complete(request_hash=None, approval_context_attestation={"v": 1}), HASH_UNRESOLVED)]:
            with pytest.raises(Replacement) as excinfo:
                build_approval_request_payload(request)
            assert excinfo.value.args == (message,)

    def test_payload_class(self, monkeypatch):
        seen = []
        sentinel = object()

        def factory(*args, **kwargs):
            seen.append((args, kwargs))
            return sentinel

        monkeypatch.setattr(morvel, "ApprovalRequestPayload", factory)
        assert build_approval_request_payload(complete(), idempotency_key="i") is sentinel
        (args, kwargs), = seen
        assert args == () and list(kwargs) == FIELDS
        assert kwargs["idempotency_key"] == "i" and kwargs["holder_key"] == HOLDER_PUB


def _refcounts(*objects):
    return [sys.getrefcount(obj) for obj in objects]


class TestMemory:
    def test_builds_leave_memory_flat(self):
        complete_request = complete(required_approvers=[b"\x01\x02", "ab", 7], min_approvals=1, gate_ttl="30",
                                    policy_ref="ref", idempotency_key="idem")
        attested_request = bare(required_approvers=[b"\x01"], ttl_seconds=60)
        failing_request = complete(holder_key=None)
        hash_failing = complete(request_hash=None, approval_context_attestation={"v": 1})

        def run(count):
            for _ in range(count):
                build_approval_request_payload(complete_request).to_create_request_kwargs()
            for _ in range(count // 10):
                build_approval_request_payload(attested_request, signing_key=HOLDER).to_create_request_kwargs()
            for request in (failing_request, hash_failing):
                for _ in range(count // 4):
                    try:
                        build_approval_request_payload(request)
                    except ZeltoCloudError:
                        pass

        watched = (complete_request, attested_request, failing_request, HOLDER,
                   complete_request.holder_key, complete_request.approval_context_attestation,
                   complete_request.arguments, complete_request.required_approvers, attested_request.arguments)
        run(500)
        gc.collect()
        counts = _refcounts(*watched)
        growth = traced_growth(run, 20_000)
        assert growth < 256 * 1024, f"{growth} bytes kept after 20,000 builds"
        gc.collect()
        assert _refcounts(*watched) == counts
