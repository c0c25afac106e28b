"""The payload builder module and its payload class: signatures, fields, and the create-request
keyword arguments."""

import dataclasses
import inspect
import logging
import types

import pytest
import zelto_cloud.exceptions
from zelto_cloud import morvel
from zelto_cloud.morvel import ApprovalRequestPayload, build_approval_request_payload

from morvel_requests import HOLDER, TOOL, HOLDER_KEY_REQUIRED, FIELDS, REQUIRED, complete, bare
from twin_pairs import implementations, native_only
from twins import morvel as twin_morvel

impl = implementations(morvel, twin_morvel, "morvel", "ApprovalRequestPayload", "build_approval_request_payload")
pytestmark = pytest.mark.usefixtures("impl")


def payload(**changes):
    values = dict(warrant_id="w", tool="t", request_hash=b"h", holder_key=b"k",
                  args_canonical_cbor_b64="a", approval_context_attestation={"x": 1})
    values.update(changes)
    return ApprovalRequestPayload(**values)


class TestModule:
    def test_module_objects(self):
        assert morvel.ZeltoCloudError is zelto_cloud.exceptions.ZeltoCloudError
        assert morvel.logger is logging.getLogger("zelto_cloud.morvel")

    @native_only("how the native module is loaded")
    def test_loads_only_the_exceptions_module(self, fresh_python):
        result = fresh_python("import sys, zelto_cloud.morvel; "
                              "print(sorted(m for m in sys.modules if m.split('.')[0] in "
                              "('zelto', 'zelto_core', 'zelto_cloud')))")
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "['zelto_cloud', 'zelto_cloud.exceptions', 'zelto_cloud.morvel']"

    @native_only("how the native module is loaded")
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

    @native_only("how the native module is loaded")
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
        assert function.__module__ == morvel.__name__
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

    @pytest.mark.parametrize(("name", "args", "kwargs", "message"), [
        ("build_approval_request_payload", (complete(), HOLDER), {},
         "build_approval_request_payload() takes 1 positional argument but 2 were given"),
        ("build_approval_request_payload", (complete(), HOLDER, "p", "i"), {},
         "build_approval_request_payload() takes 1 positional argument but 4 were given"),
        ("build_approval_request_payload", (), {},
         "build_approval_request_payload() missing 1 required positional argument: 'request'"),
        ("build_approval_request_payload", (complete(),), {"colour": HOLDER},
         "build_approval_request_payload() got an unexpected keyword argument 'colour'"),
        ("_build_attestation_fields", (bare(),), {},
         "_build_attestation_fields() missing 2 required keyword-only arguments: 'signing_key' and 'holder_key'"),
        ("_build_attestation_fields", (bare(),), {"signing_key": HOLDER},
         "_build_attestation_fields() missing 1 required keyword-only argument: 'holder_key'"),
        ("_build_attestation_fields", (bare(),), {"holder_key": b"k"},
         "_build_attestation_fields() missing 1 required keyword-only argument: 'signing_key'"),
        ("_build_attestation_fields", (bare(), HOLDER, b"k"), {},
         "_build_attestation_fields() takes 1 positional argument but 3 were given"),
        ("_resolve_signing_key", (None, None), {},
         "_resolve_signing_key() takes from 0 to 1 positional arguments but 2 were given"),
    ])
    def test_argument_errors(self, name, args, kwargs, message):
        with pytest.raises(TypeError) as excinfo:
            getattr(morvel, name)(*args, **kwargs)
        assert str(excinfo.value) == message

    def test_request_by_keyword(self):
        assert build_approval_request_payload(request=complete()).tool == TOOL


class TestPayloadClass:
    def test_is_a_plain_default_dataclass(self):
        assert dataclasses.is_dataclass(ApprovalRequestPayload)
        assert ApprovalRequestPayload.__bases__ == (object,)
        assert ApprovalRequestPayload.__qualname__ == "ApprovalRequestPayload"
        assert ApprovalRequestPayload.__module__ == morvel.__name__
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


